# GoogleTest for the tests: the system's package natively, built from Debian's
# shipped sources when cross-compiling.
if(NOT QUORWIND_TESTS)
  return()
endif()

enable_testing()
include(GoogleTest)

if(CMAKE_CROSSCOMPILING)
  set(QUORWIND_GTEST_SOURCE "/usr/src/googletest" CACHE PATH "GoogleTest sources")
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  add_subdirectory(${QUORWIND_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  if(NOT TARGET GTest::gtest_main)
    add_library(GTest::gtest_main ALIAS gtest_main)
  endif()
else()
  find_package(GTest REQUIRED)
endif()

# Registers the tests of a GoogleTest executable with CTest, labelled unit (and
# wine where they run under Wine). Discovery runs the executable, so it waits
# until test time (cross builds run it under an emulator).
function(quorwind_discover_tests target)
  set(labels unit)
  if(CMAKE_CROSSCOMPILING)
    list(APPEND labels wine)
  endif()
  gtest_discover_tests(${target} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS "${labels}")
endfunction()
