# Warnings for our own code only; third-party headers come in as SYSTEM. They are errors only with
# TAPGATE_WERROR (CI turns it on), so that a newer or older compiler never stops a user's build.
option(TAPGATE_WERROR "Treat warnings as errors" OFF)
function(tapgate_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  if(TAPGATE_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
  # GCC 12 at -O2 reports std::vector range inserts it has inlined as overflows, and at -O3 (the
  # Release build) as overreads of a zero-sized region (GCC bugs 105545, 106199, 107852): these
  # three checks give nothing but false alarms there, and the sanitizer builds check every access
  # for real.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_GREATER_EQUAL 12
     AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    target_compile_options(${target} PRIVATE -Wno-stringop-overflow -Wno-array-bounds
      -Wno-stringop-overread)
  endif()
endfunction()

# A library made of every source under the given directories (recursively).
function(tapgate_library target)
  cmake_parse_arguments(ARG "" "" "DIRS;EXCLUDE" ${ARGN})
  set(sources)
  foreach(dir ${ARG_DIRS})
    file(GLOB_RECURSE found CONFIGURE_DEPENDS ${dir}/*.cpp ${dir}/*.c)
    list(APPEND sources ${found})
  endforeach()
  foreach(pattern ${ARG_EXCLUDE})
    list(FILTER sources EXCLUDE REGEX "${pattern}")
  endforeach()
  if(sources)
    add_library(${target} STATIC ${sources})
    tapgate_warnings(${target})
  else()
    add_library(${target} INTERFACE)
  endif()
endfunction()

# One test executable per source file, so that a test binary names what it checks
# and one unfinished file never stops the others from building.
function(tapgate_tests dir)
  cmake_parse_arguments(ARG "" "LABEL" "LIBS" ${ARGN})
  file(GLOB_RECURSE files CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*Test.cpp)
  foreach(file ${files})
    get_filename_component(name ${file} NAME_WE)
    string(REPLACE "/" "_" prefix ${dir})
    set(target ${prefix}_${name})
    add_executable(${target} ${file})
    tapgate_warnings(${target})
    target_link_libraries(${target} PRIVATE ${ARG_LIBS} testsupport GTest::gtest GTest::gmock GTest::gtest_main)
    add_test(NAME ${target} COMMAND ${target})
    set_tests_properties(${target} PROPERTIES TIMEOUT 300 LABELS "${dir};${ARG_LABEL}")
  endforeach()
endfunction()

# One Google Benchmark program per *Bench.cpp; built with everything else, run by hand.
function(tapgate_benchmarks dir)
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  file(GLOB_RECURSE files CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*Bench.cpp)
  foreach(file ${files})
    get_filename_component(name ${file} NAME_WE)
    string(REPLACE "/" "_" prefix ${dir})
    set(target bench_${prefix}_${name})
    add_executable(${target} ${file})
    tapgate_warnings(${target})
    target_link_libraries(${target} PRIVATE ${ARG_LIBS} benchmark::benchmark)
  endforeach()
endfunction()
