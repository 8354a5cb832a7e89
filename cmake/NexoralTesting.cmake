# nexoral_add_test(<name> SOURCES <files...> [LIBS <targets...>] [LABELS <labels...>]
#                  [TIMEOUT <seconds>])
# One GoogleTest executable per test file group; each case is registered with CTest, with the
# labels (ctest -L / -LE) and the time limit when given.
find_package(GTest REQUIRED)
include(GoogleTest)

function(nexoral_add_test name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main
                        nexoral::build_options)
  set(extra_properties)
  if(ARG_LABELS)
    list(JOIN ARG_LABELS "\\;" labels)
    list(APPEND extra_properties LABELS "${labels}")
  endif()
  if(ARG_TIMEOUT)
    list(APPEND extra_properties TIMEOUT ${ARG_TIMEOUT})
  endif()
  # The module stores its registry keys in the build tree, never in the machine's registry.
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST
                       PROPERTIES ENVIRONMENT "ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1"
                       ENVIRONMENT_MODIFICATION
                       "NEXORAL_REGISTRY_ROOT=set:${PROJECT_BINARY_DIR}/test-registry"
                       ${extra_properties})
endfunction()
