# Build settings shared by every target of the project.

add_library(qelm_options INTERFACE)
target_compile_options(qelm_options INTERFACE -Wall -Wextra -Werror -Wshadow)
# g++ 12 reports false overlaps inside libstdc++'s string copies at -O3 (GCC bug 105329).
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  target_compile_options(qelm_options INTERFACE -Wno-restrict)
endif()
target_link_libraries(qelm_options INTERFACE Threads::Threads)
# lld, when installed, links the programs several times faster than the default linker (a test
# program with full debugging information: 1.1 s against 5.5 s), and a tree links some 170.
find_program(QELM_LLD ld.lld)
if(QELM_LLD)
  target_link_options(qelm_options INTERFACE -fuse-ld=lld)
endif()

if(QELM_SANITIZE AND QELM_TSAN)
  message(FATAL_ERROR "QELM_SANITIZE and QELM_TSAN cannot be combined")
endif()
if(QELM_SANITIZE)
  target_compile_options(qelm_options INTERFACE
    -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  target_link_options(qelm_options INTERFACE -fsanitize=address,undefined)
endif()
if(QELM_FUZZ)
  # Instrument every library for coverage, so libFuzzer sees the code under test, not only the
  # fuzz target's own file.
  target_compile_options(qelm_options INTERFACE -fsanitize=fuzzer-no-link)
endif()
if(QELM_TSAN)
  target_compile_options(qelm_options INTERFACE -fsanitize=thread -fno-omit-frame-pointer)
  target_link_options(qelm_options INTERFACE -fsanitize=thread)
endif()
# The sanitizers' and fuzzers' reports need only line tables; full debugging information cost
# these trees a quarter of their compile time.
if(QELM_SANITIZE OR QELM_TSAN OR QELM_FUZZ)
  target_compile_options(qelm_options INTERFACE -g1)
endif()

# qelm_library(NAME SOURCES... [LINK libs...] [PRIVATE_LINK libs...]): one static library per
# folder of src/. Sources not written yet are skipped, so a folder's list can lead its code.
#
# Each library sees only its own headers and those of the libraries it links: its folder is
# offered under its own name through a private view in the build tree (include/FOLDER/FOLDER ->
# src/FOLDER), so `#include "FOLDER/x.h"` compiles only below a library that links FOLDER's
# library. An include that reaches up the build order is a compile error, not a convention.
function(qelm_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LINK;PRIVATE_LINK" ${ARGN})
  set(sources "")
  foreach(src IN LISTS ARG_SOURCES)
    cmake_path(ABSOLUTE_PATH src BASE_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR} OUTPUT_VARIABLE path)
    if(EXISTS ${path})
      list(APPEND sources ${path})
    endif()
  endforeach()
  cmake_path(GET CMAKE_CURRENT_SOURCE_DIR FILENAME folder)
  set(view ${CMAKE_BINARY_DIR}/include/${folder})
  file(MAKE_DIRECTORY ${view})
  file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR} ${view}/${folder} SYMBOLIC)
  if(sources)
    add_library(${name} STATIC ${sources})
    # Compiled eight files to a unit, as the test programs are (below): a library's files share
    # most of their headers, and the libraries take a fifth less time. Here too, what one file's
    # anonymous namespace holds must not clash with another's of the same library.
    if(QELM_UNITY)
      set_target_properties(${name} PROPERTIES UNITY_BUILD ON UNITY_BUILD_BATCH_SIZE 8)
    endif()
    target_include_directories(${name} PUBLIC ${view})
    target_link_libraries(${name} PUBLIC qelm_options ${ARG_LINK})
    target_link_libraries(${name} PRIVATE ${ARG_PRIVATE_LINK})
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${view})
    target_link_libraries(${name} INTERFACE qelm_options ${ARG_LINK} ${ARG_PRIVATE_LINK})
  endif()
endfunction()

# qelm_test(NAME SOURCES... LINK libs... [LABELS labels...] [ENVIRONMENT VAR=value...]): one
# GoogleTest program; every case becomes a CTest test, run with the given environment. Files not
# written yet are skipped, so a folder's list can lead its code.
function(qelm_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LINK;LABELS;ENVIRONMENT" ${ARGN})
  set(sources "")
  foreach(src IN LISTS ARG_SOURCES)
    if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${src})
      list(APPEND sources ${src})
    endif()
  endforeach()
  if(NOT sources)
    return()
  endif()
  add_executable(${name} ${sources})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  # The test files share most of their headers (GoogleTest's above all): compiled eight to a
  # unit, a whole tree's tests take two fifths less time. Each file still compiles on its own
  # (-DQELM_UNITY=OFF), so what one file's anonymous namespace holds must not clash with
  # another's of the same program.
  if(QELM_UNITY)
    set_target_properties(${name} PROPERTIES UNITY_BUILD ON UNITY_BUILD_BATCH_SIZE 8)
  endif()
  target_link_libraries(${name} PRIVATE qelm_options ${ARG_LINK} GTest::gtest GTest::gmock
                                        GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE
    QELM_PROGRAM_DIR="${QELM_PROGRAM_DIR}/" QELM_SOURCE_DIR="${PROJECT_SOURCE_DIR}/")
  set(properties "")
  if(ARG_LABELS)
    list(APPEND properties LABELS "${ARG_LABELS}")
  endif()
  if("threads" IN_LIST ARG_LABELS)
    set_property(GLOBAL APPEND PROPERTY QELM_THREAD_TESTS ${name})
  endif()
  if(ARG_ENVIRONMENT)
    list(APPEND properties ENVIRONMENT "${ARG_ENVIRONMENT}")
  endif()
  if(properties)
    gtest_discover_tests(${name} TEST_PREFIX "${name}." DISCOVERY_TIMEOUT 60
                         PROPERTIES ${properties})
  else()
    gtest_discover_tests(${name} TEST_PREFIX "${name}." DISCOVERY_TIMEOUT 60)
  endif()
endfunction()

# qelm_fuzz(NAME SOURCE LINK libs...): a libFuzzer target. Without QELM_FUZZ the same target is
# linked with a replay driver and runs its seed corpus (tests/fuzz/corpus/NAME) as a test.
function(qelm_fuzz name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LINK" ${ARGN})
  foreach(src IN LISTS ARG_SOURCES)
    if(NOT EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${src})
      return()
    endif()
  endforeach()
  add_executable(${name} ${ARG_SOURCES})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz)
  target_link_libraries(${name} PRIVATE qelm_options ${ARG_LINK})
  set(corpus ${CMAKE_CURRENT_SOURCE_DIR}/corpus/${name})
  set_property(GLOBAL APPEND PROPERTY QELM_FUZZ_TARGETS ${name})
  if(QELM_FUZZ)
    target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  else()
    target_sources(${name} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/replay_main.cpp)
    add_test(NAME fuzz_replay.${name} COMMAND ${name} ${corpus})
    set_tests_properties(fuzz_replay.${name} PROPERTIES LABELS fuzz)
  endif()
endfunction()

# qelm_bench(NAME SOURCES... LINK libs...): a Google Benchmark program (built, not run by the tests).
function(qelm_bench name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LINK" ${ARGN})
  foreach(src IN LISTS ARG_SOURCES)
    if(NOT EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${src})
      return()
    endif()
  endforeach()
  add_executable(${name} ${ARG_SOURCES})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
  target_link_libraries(${name} PRIVATE qelm_options ${ARG_LINK} benchmark::benchmark
                                        benchmark::benchmark_main)
endfunction()
