# nexoral_add_test(<name> SOURCES <files...> [LIBS <targets...>])
# One GoogleTest executable per test file group; each case is registered with CTest.
find_package(GTest REQUIRED)
include(GoogleTest)

function(nexoral_add_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main
                        nexoral::build_options)
  # The module stores its registry keys in the build tree, never in the machine's registry.
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST
                       PROPERTIES ENVIRONMENT "ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1"
                       ENVIRONMENT_MODIFICATION
                       "NEXORAL_REGISTRY_ROOT=set:${PROJECT_BINARY_DIR}/test-registry")
endfunction()
