if(TAVERLY_TESTS)
  enable_testing()
  find_package(GTest REQUIRED)
endif()
# A cross build cannot build the end-to-end suite, which runs on the build
# machine: pass the one of a native build (e.g. build/tests/e2e/e2e_test).
set(TAVERLY_E2E_RUNNER "" CACHE FILEPATH
    "e2e_test of a native build, to run the end-to-end suite against this Windows build")

# The Windows build runs its tests under Wine (the toolchain file names it as
# the emulator), in one private prefix per test run: the "wine" fixture makes
# it afresh and keeps a wine server up until the last test has run. Wine
# converts names through the Unix locale, and in the C locale (a container's,
# with no LANG) it cannot name a folder beyond ASCII: every Wine test, and
# the session, runs in C.UTF-8, whatever the caller's environment says.
if(TAVERLY_TESTS AND WIN32 AND CMAKE_CROSSCOMPILING_EMULATOR)
  set(TAVERLY_WINE_PREFIX "${CMAKE_BINARY_DIR}/wine-prefix")
  set(TAVERLY_WINE_LOCALE "LC_ALL=C.UTF-8")
  add_test(NAME wine_session_start
           COMMAND ${CMAKE_SOURCE_DIR}/scripts/wine-session start ${TAVERLY_WINE_PREFIX})
  add_test(NAME wine_session_stop
           COMMAND ${CMAKE_SOURCE_DIR}/scripts/wine-session stop ${TAVERLY_WINE_PREFIX})
  set_tests_properties(wine_session_start PROPERTIES FIXTURES_SETUP wine
                       ENVIRONMENT ${TAVERLY_WINE_LOCALE})
  set_tests_properties(wine_session_stop PROPERTIES FIXTURES_CLEANUP wine
                       ENVIRONMENT ${TAVERLY_WINE_LOCALE})
endif()

# Puts a test that runs Windows programs into the Wine session (a no-op in
# native builds). Further environment entries may follow the name.
function(taverly_wine_test name)
  if(TAVERLY_WINE_PREFIX)
    set(extra_env "")
    foreach(entry IN LISTS ARGN)
      string(APPEND extra_env ";${entry}")
    endforeach()
    set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wine
        ENVIRONMENT
        "WINEPREFIX=${TAVERLY_WINE_PREFIX};WINEDEBUG=-all;${TAVERLY_WINE_LOCALE}${extra_env}")
  endif()
endfunction()

# Unit tests sit beside the code they test; each folder lists its own with this.
function(taverly_unit_test name)
  if(NOT TAVERLY_TESTS)
    return()
  endif()
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE taverly taverly_testlib GTest::gmock GTest::gtest_main)
  taverly_settings(${name})
  add_test(NAME ${name} COMMAND ${name})
  taverly_wine_test(${name})
endfunction()
