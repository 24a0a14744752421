# The program on the simulated machine, its tests, benchmarks and fuzzer.
find_package(GTest REQUIRED)
find_package(benchmark QUIET)
find_package(Threads REQUIRED)
include(GoogleTest)

set(SECTORSWEEP_SANITIZE "" CACHE STRING "Sanitizers for every host target, e.g. address;undefined or thread")
if(SECTORSWEEP_SANITIZE)
  list(JOIN SECTORSWEEP_SANITIZE "," sanitizers)
  add_compile_options(-fsanitize=${sanitizers} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${sanitizers})
endif()

add_library(product STATIC ${PRODUCT_SOURCES})
target_include_directories(product PUBLIC src)
# Locals the program forgets to set hold a pattern, not whatever the stack had.
target_compile_options(product PRIVATE ${PRODUCT_FLAGS} -ftrivial-auto-var-init=pattern)

set(MACHINE_SOURCES sim/process.cpp sim/storage.cpp sim/volumes.cpp sim/console.cpp sim/memory.cpp sim/text.cpp
                    sim/scenario.cpp sim/scenario_devices.cpp sim/check.cpp src/platform/format/wsprintf.cpp
                    src/platform/windows_texts.cpp)
add_library(machine STATIC ${MACHINE_SOURCES})
target_include_directories(machine PUBLIC src ${CMAKE_SOURCE_DIR})
target_compile_options(machine PRIVATE -Wall -Wextra -Werror)
target_link_libraries(machine PUBLIC Threads::Threads)

add_executable(sectorsweep sim/runner_main.cpp)
target_link_libraries(sectorsweep PRIVATE product machine)
target_compile_options(sectorsweep PRIVATE -Wall -Wextra -Werror)

enable_testing()

# Unit tests, one process per test.
file(GLOB UNIT_TEST_SOURCES CONFIGURE_DEPENDS tests/unit/*.cpp)
add_executable(unit_tests ${UNIT_TEST_SOURCES} tests/wsprintf/wsprintf_test.cpp)
target_include_directories(unit_tests PRIVATE tests)
target_link_libraries(unit_tests PRIVATE product machine GTest::gtest_main)
target_compile_options(unit_tests PRIVATE -Wall -Wextra -Werror)
gtest_discover_tests(unit_tests DISCOVERY_TIMEOUT 60 PROPERTIES LABELS unit)

# Scenario files, each case on a fresh simulated machine in a process of its own.
# Test time limits here are ten times a quiet machine's run or more: they only stop
# a test that hangs, and a busy machine must not trip them (the Wine replay also
# bounds each scenario itself).
file(GLOB_RECURSE SCENARIOS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/scenarios/*.scn)
foreach(scenario ${SCENARIOS})
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${scenario})
  file(RELATIVE_PATH file ${CMAKE_SOURCE_DIR}/scenarios ${scenario})
  string(REGEX REPLACE "\\.scn$" "" file ${file})
  set(labels scenario)
  if(file MATCHES "^abort/")
    list(APPEND labels abort)
  endif()
  file(STRINGS ${scenario} cases REGEX "^case ")
  if(NOT cases)
    set(cases "case ")
  endif()
  foreach(case ${cases})
    string(REGEX REPLACE "^case " "" case "${case}")
    string(REGEX REPLACE "/$" "" name "${file}/${case}")
    add_test(NAME scenario/${name} COMMAND sectorsweep --scenario ${scenario} ${case})
    set_tests_properties(scenario/${name} PROPERTIES LABELS "${labels}" TIMEOUT 120)
  endforeach()
endforeach()

# The pass loop and the control handler racing on real threads.
add_executable(abort_race tests/threads/abort_race.cpp)
target_link_libraries(abort_race PRIVATE product machine)
target_compile_options(abort_race PRIVATE -Wall -Wextra -Werror)
if(SECTORSWEEP_SANITIZE MATCHES "thread")
  set(race_trials 200)
else()
  set(race_trials 100)
endif()
add_test(NAME threads/abort_race COMMAND abort_race ${race_trials})
set_tests_properties(threads/abort_race PROPERTIES LABELS "abort;threads" TIMEOUT 600)

# The formatter against the real one under Wine, byte for byte.
add_test(NAME wine/wsprintf_table COMMAND ${CMAKE_SOURCE_DIR}/tests/wsprintf/compare.sh ${CMAKE_BINARY_DIR}/wsprintf)
set_tests_properties(wine/wsprintf_table PROPERTIES LABELS wine TIMEOUT 300 RESOURCE_LOCK wine)

# The real exe: its imports and its objects.
set(WINDOWS_BUILD ${CMAKE_SOURCE_DIR}/build/windows)
add_test(NAME windows/exe_layout COMMAND ${CMAKE_SOURCE_DIR}/tests/windows/check_exe.sh ${WINDOWS_BUILD})
set_tests_properties(windows/exe_layout PROPERTIES LABELS windows TIMEOUT 120)

# The scenario files replayed on the real exe with the disks, volumes and
# interfaces of the test disk driver (each run builds the driver and brings the
# prefix up).
add_executable(wine_replay tests/wine/replay.cpp tests/wine/replay_check.cpp tests/wine/replay_plan.cpp)
target_link_libraries(wine_replay PRIVATE product machine)
target_compile_options(wine_replay PRIVATE -Wall -Wextra -Werror)
add_test(NAME wine/replay COMMAND ${CMAKE_SOURCE_DIR}/tests/wine/replay.sh ${WINDOWS_BUILD}/sectorsweep.exe
                                  $<TARGET_FILE:sectorsweep> $<TARGET_FILE:wine_replay> ${CMAKE_BINARY_DIR}/testdisk)
set_tests_properties(wine/replay PROPERTIES LABELS wine TIMEOUT 600 RESOURCE_LOCK wine)
add_test(NAME wine/demo COMMAND ${CMAKE_SOURCE_DIR}/wine/demo.sh ${WINDOWS_BUILD} ${CMAKE_BINARY_DIR}/testdisk)
set_tests_properties(wine/demo PROPERTIES LABELS wine TIMEOUT 300 RESOURCE_LOCK wine)

if(benchmark_FOUND)
  add_executable(benchmarks bench/benchmarks.cpp)
  target_link_libraries(benchmarks PRIVATE product machine benchmark::benchmark ${CMAKE_DL_LIBS})
  target_compile_options(benchmarks PRIVATE -Wall -Wextra -Werror)
  # glibc's memcmp variants, taken whole from its static library where there is
  # one, so that the benchmark times each of them in one process (memcmp itself is
  # the one glibc picks for this processor). Each is self-contained assembly.
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libc.a OUTPUT_VARIABLE libc_archive
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(IS_ABSOLUTE "${libc_archive}" AND EXISTS "${libc_archive}")
    execute_process(COMMAND ${CMAKE_AR} t ${libc_archive} OUTPUT_VARIABLE libc_members)
    set(glibc_dir ${CMAKE_BINARY_DIR}/glibc_memcmp)
    file(MAKE_DIRECTORY ${glibc_dir})
    foreach(variant sse2 avx2_movbe evex_movbe)
      string(REPLACE "_" "-" member "memcmp-${variant}.o")
      string(TOUPPER ${variant} macro)
      if(libc_members MATCHES "(^|\n)${member}\n")
        execute_process(COMMAND ${CMAKE_AR} x ${libc_archive} ${member} WORKING_DIRECTORY ${glibc_dir})
        target_sources(benchmarks PRIVATE ${glibc_dir}/${member})
        target_compile_definitions(benchmarks PRIVATE GLIBC_MEMCMP_${macro})
      endif()
    endforeach()
  endif()
endif()

# The command line under libFuzzer, for a bounded time: splitting stays in bounds
# and the dispatch stays safe and consistent whatever the words.
find_program(CLANGXX clang++)
if(CLANGXX AND NOT SECTORSWEEP_SANITIZE)
  set(fuzz_sources ${CMAKE_SOURCE_DIR}/tests/fuzz/fuzz_command_line.cpp)
  foreach(source ${PRODUCT_SOURCES} ${MACHINE_SOURCES})
    list(APPEND fuzz_sources ${CMAKE_SOURCE_DIR}/${source})
  endforeach()
  add_custom_command(
    OUTPUT ${CMAKE_BINARY_DIR}/fuzz/command_line
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/fuzz
    COMMAND ${CLANGXX} -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -I${CMAKE_SOURCE_DIR}/src
            -I${CMAKE_SOURCE_DIR} ${fuzz_sources} -o ${CMAKE_BINARY_DIR}/fuzz/command_line
    DEPENDS ${fuzz_sources} ${CMAKE_SOURCE_DIR}/src/sectorsweep.h ${CMAKE_SOURCE_DIR}/src/platform/win32.h
    COMMENT "Building the command-line fuzzer")
  add_custom_target(command_line_fuzzer ALL DEPENDS ${CMAKE_BINARY_DIR}/fuzz/command_line)
  add_test(NAME fuzz/command_line COMMAND ${CMAKE_BINARY_DIR}/fuzz/command_line -max_total_time=20 -max_len=700
                                         -dict=${CMAKE_SOURCE_DIR}/tests/fuzz/command_line.dict
                                         -print_final_stats=0)
  set_tests_properties(fuzz/command_line PROPERTIES LABELS fuzz TIMEOUT 300)
endif()
