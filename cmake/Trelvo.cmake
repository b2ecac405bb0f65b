# Project-wide helpers.

# Strict warnings on our own code.
function(trelvo_defaults target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()

# A GoogleTest executable under tests/; it lives outside the program directory
# and finds our shared libraries through a run path into it.
function(trelvo_add_gtest name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  trelvo_defaults(${name})
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
