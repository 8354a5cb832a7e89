# Compiler warnings and sanitizers, applied to every target through nexoral_build_options.
option(NEXORAL_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(NEXORAL_COVERAGE "Instrument every target for line and branch coverage (gcov)" OFF)
option(NEXORAL_FUZZ "Instrument every target for libFuzzer and build tests/fuzz (clang only)" OFF)

add_library(nexoral_build_options INTERFACE)
add_library(nexoral::build_options ALIAS nexoral_build_options)

target_compile_options(nexoral_build_options INTERFACE
  -Wall -Wextra -Wpedantic -Werror
  -Wshadow -Wnon-virtual-dtor -Wold-style-cast -Wcast-align
  -Woverloaded-virtual -Wnull-dereference -Wformat=2 -Wimplicit-fallthrough
  # Designated initializers leave the other members at their defaults on purpose.
  -Wno-missing-field-initializers)

if(NEXORAL_SANITIZE)
  target_compile_options(nexoral_build_options INTERFACE
    -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  target_link_options(nexoral_build_options INTERFACE -fsanitize=address,undefined)
endif()

if(NEXORAL_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "NEXORAL_FUZZ needs clang (-DCMAKE_CXX_COMPILER=clang++-14)")
  endif()
  # Coverage feedback for the fuzzer in everything it links; the fuzzer adds libFuzzer's main.
  # clang counts a format passed on through a va_list without a format attribute as a warning.
  target_compile_options(nexoral_build_options INTERFACE -fsanitize=fuzzer-no-link
                         -Wno-format-nonliteral)
endif()

if(NEXORAL_COVERAGE)
  # Atomic counters: the suite runs many threads, and torn counts break the report.
  target_compile_options(nexoral_build_options INTERFACE --coverage -fprofile-update=atomic -O0)
  target_link_options(nexoral_build_options INTERFACE --coverage)
endif()

# Shared objects that others load: the module, the service workers and the components.
# Only the three filter entry points leave such an object, unless another version script
# (a component's own exports) is given.
set(NEXORAL_EXPORTS_MAP ${CMAKE_CURRENT_LIST_DIR}/filter_exports.map)
function(nexoral_limit_exports target)
  set(map ${NEXORAL_EXPORTS_MAP})
  if(ARGC GREATER 1)
    set(map ${ARGV1})
  endif()
  target_link_options(${target} PRIVATE -Wl,--version-script=${map} -Wl,--no-undefined)
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${map})
endfunction()
