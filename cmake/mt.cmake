# Test helpers shared by every directory.
#
#   mt_unit_test(NAME SOURCES ... [LIBS ...])    GoogleTest, host builds only
#   mt_pure_test(NAME SOURCES ... [LIBS ...])    GoogleTest over dependency-free code; also runs on the
#                                                big-endian 32-bit target build under the emulator
#   mt_script_test(NAME COMMAND ... [TIMEOUT s]) any script; gets MT_BUILD_DIR, MT_SOURCE_DIR, MT_SANITIZED;
#                                                exit status 77 counts as skipped (vdev's "cannot run here")
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
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/multool/include)
  target_link_libraries(${name} PRIVATE ${T_LIBS} ${MT_GTEST_LIBS})
  # Listing the cases runs the binary (under the emulator on the target build): allow for a busy machine.
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60)
endfunction()

function(mt_unit_test name)
  if(MT_PURE_ONLY)
    return()
  endif()
  _mt_gtest(${name} ${ARGN})
endfunction()

function(mt_pure_test name)
  _mt_gtest(${name} ${ARGN})
endfunction()

function(mt_script_test name)
  if(MT_PURE_ONLY)
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
