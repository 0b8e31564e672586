# Test helpers shared by every directory.
#
#   mt_unit_test(NAME SOURCES ... [LIBS ...])    GoogleTest, host builds only
#   mt_pure_test(NAME SOURCES ... [LIBS ...])    GoogleTest over dependency-free code; also runs on the
#                                                big-endian 32-bit target build under the emulator
#   mt_script_test(NAME COMMAND ... [TIMEOUT s]) any script; gets MT_BUILD_DIR, MT_SOURCE_DIR, MT_SANITIZED;
#                                                exit status 77 counts as skipped (vdev's "cannot run here")
#   mt_fuzz_target(NAME SOURCES ... LIBS ... [SEEDS script] [RUNS n] [TIME s] [MAX_LEN n])
#                                                a libFuzzer target: built in the fuzz tree (MT_FUZZ, clang),
#                                                run from the native suite by tests/fuzz/run.sh
include(GoogleTest)
find_package(Threads REQUIRED)

if(CMAKE_CROSSCOMPILING)
  if(NOT TARGET gtest_main)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  endif()
  set(MT_GTEST_LIBS gtest Threads::Threads)
else()
  find_package(GTest REQUIRED)
  set(MT_GTEST_LIBS GTest::gtest Threads::Threads)
endif()

if(MT_SANITIZE)
  set(MT_SANITIZED 1)
else()
  set(MT_SANITIZED 0)
endif()

function(_mt_gtest name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES} ${PROJECT_SOURCE_DIR}/cmake/mt_gtest_main.cpp)
  target_compile_definitions(${name} PRIVATE MT_BUILD_DIR_DEFAULT="${CMAKE_BINARY_DIR}"
    MT_SOURCE_DIR_DEFAULT="${PROJECT_SOURCE_DIR}" MT_SANITIZED_DEFAULT="${MT_SANITIZED}")
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/multool/lib)
  target_link_libraries(${name} PRIVATE ${T_LIBS} ${MT_GTEST_LIBS})
  # Listing the cases runs the binary (under the emulator on the target build): allow for a busy machine.
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60)
endfunction()

function(mt_unit_test name)
  if(MT_PURE_ONLY OR MT_FUZZ)
    return()
  endif()
  _mt_gtest(${name} ${ARGN})
endfunction()

function(mt_pure_test name)
  if(MT_FUZZ)
    return()
  endif()
  _mt_gtest(${name} ${ARGN})
endfunction()

function(mt_script_test name)
  if(MT_PURE_ONLY OR MT_FUZZ)
    return()
  endif()
  cmake_parse_arguments(T "" "TIMEOUT" "COMMAND" ${ARGN})
  add_test(NAME ${name} COMMAND ${T_COMMAND})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  # A test allowed to run long is started early in a parallel run, not left to finish alone at the end
  # (until CTest has measured times of its own).
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT} COST ${T_TIMEOUT} SKIP_RETURN_CODE 77
    ENVIRONMENT "MT_BUILD_DIR=${CMAKE_BINARY_DIR};MT_SOURCE_DIR=${PROJECT_SOURCE_DIR};MT_SANITIZED=${MT_SANITIZED}")
endfunction()

# The fuzz tree is one more build of the project (clang, libFuzzer, ASan, UBSan) under
# ${CMAKE_BINARY_DIR}/fuzz, made once per suite by the fuzz_tree test; each target's run is a test of
# the native suite that needs it.  The sanitizer suite does not repeat them: the targets are the same.
function(mt_fuzz_target name)
  cmake_parse_arguments(T "" "SEEDS;RUNS;TIME;MAX_LEN" "SOURCES;LIBS" ${ARGN})
  if(MT_FUZZ)
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE ${T_LIBS})
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    return()
  endif()
  if(MT_PURE_ONLY OR MT_SANITIZE)
    return()
  endif()
  file(RELATIVE_PATH rel ${CMAKE_BINARY_DIR} ${CMAKE_CURRENT_BINARY_DIR})
  foreach(opt RUNS TIME MAX_LEN)
    if(NOT T_${opt})
      set(T_${opt} 0)
    endif()
  endforeach()
  if(T_SEEDS)
    set(T_SEEDS ${CMAKE_CURRENT_SOURCE_DIR}/${T_SEEDS})
  else()
    set(T_SEEDS -)
  endif()
  mt_script_test(${name} TIMEOUT 600 COMMAND bash ${PROJECT_SOURCE_DIR}/tests/fuzz/run.sh
    ${CMAKE_BINARY_DIR}/fuzz/${rel}/${name} ${T_SEEDS} ${T_RUNS} ${T_TIME} ${T_MAX_LEN})
  set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED fuzz_tree)
endfunction()
