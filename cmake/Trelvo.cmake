# Project-wide helpers.

# Warnings on our own code; -Werror only when asked for (the test script and
# CI do), so a newer compiler's new warning never breaks a user's build.
function(trelvo_defaults target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  if(TRELVO_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# A GoogleTest executable under tests/; it lives outside the program directory
# and finds our shared libraries through a run path into it.
function(trelvo_add_gtest name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  trelvo_defaults(${name})
  # GCC 12's -Wrestrict misfires inside libstdc++ on `"text" + std::string`
  # at -O3; tests build messages that way throughout.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    target_compile_options(${name} PRIVATE -Wno-restrict)
  endif()
  target_link_libraries(${name} PRIVATE GTest::gtest GTest::gtest_main ${T_LIBS})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests/common)
  set_target_properties(${name} PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/testbin
    BUILD_RPATH "$ORIGIN/../bin")
  target_compile_definitions(${name} PRIVATE
    TRELVO_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    TRELVO_BIN_DIR="${TRELVO_BIN_DIR}")
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 120 PROPERTIES TIMEOUT 600)
endfunction()

# The installed program directory, relative to the install prefix (or
# absolute): every program, shared library and language file of the project,
# finding each other through $ORIGIN, as in the build's bin/.
set(TRELVO_INSTALL_DIR lib/trelvo CACHE STRING "Program directory under the install prefix")

# Installs programs and shared libraries into the program directory; each
# program also gets a link in bin/. Each module installs its own targets.
function(trelvo_install)
  if(IS_ABSOLUTE "${TRELVO_INSTALL_DIR}")
    set(link_base "${TRELVO_INSTALL_DIR}")
  else()
    file(RELATIVE_PATH link_base /prefix/bin /prefix/${TRELVO_INSTALL_DIR})
  endif()
  foreach(target ${ARGN})
    # Built with the run path it is installed with ($ORIGIN alone): a run path
    # rewritten at install time is padded with an empty entry in the build,
    # which the loader takes as the current directory.
    set_target_properties(${target} PROPERTIES BUILD_WITH_INSTALL_RPATH ON)
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "EXECUTABLE")
      install(TARGETS ${target} RUNTIME DESTINATION ${TRELVO_INSTALL_DIR})
      # Made at install time so that DESTDIR and a packager's prefix count.
      install(CODE "
        set(name \"bin/$<TARGET_FILE_NAME:${target}>\")
        set(link \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/\${name}\")
        get_filename_component(link_dir \"\${link}\" DIRECTORY)
        file(MAKE_DIRECTORY \"\${link_dir}\")
        file(REMOVE \"\${link}\")
        file(CREATE_LINK \"${link_base}/$<TARGET_FILE_NAME:${target}>\" \"\${link}\" SYMBOLIC)
        list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${CMAKE_INSTALL_PREFIX}/\${name}\")
        message(STATUS \"Linking: \${link}\")")
    elseif(type STREQUAL "SHARED_LIBRARY" OR type STREQUAL "MODULE_LIBRARY")
      install(TARGETS ${target} LIBRARY DESTINATION ${TRELVO_INSTALL_DIR})
    else()
      message(FATAL_ERROR "trelvo_install: ${target} is a ${type}; static libraries live inside the programs")
    endif()
  endforeach()
endfunction()
