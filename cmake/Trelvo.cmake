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
