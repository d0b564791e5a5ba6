# Test helpers. Windows test programs run under Wine, in a prefix of their own inside the build
# tree, against one persistent wineserver that a fixture starts before the first test and stops
# after the last: a cold Wine start costs seconds per test.

if(CMAKE_CROSSCOMPILING AND WIN32)
  find_program(WINE_EXECUTABLE NAMES wine64 wine REQUIRED)
  find_program(WINESERVER_EXECUTABLE NAMES wineserver REQUIRED
               HINTS /usr/lib/wine /usr/lib/x86_64-linux-gnu/wine)
  set(STARTUTIL_WINEPREFIX "${CMAKE_BINARY_DIR}/wineprefix")
  set(STARTUTIL_WINE_ENV WINEPREFIX=${STARTUTIL_WINEPREFIX} WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_COMMAND} -E env ${STARTUTIL_WINE_ENV} ${WINE_EXECUTABLE})

  # Wine's own background processes must not hold CTest's output pipes, or CTest waits for
  # them; their output goes to a log in the build tree instead. A server left over from an
  # interrupted run is stopped first: a second persistent one cannot start beside it.
  add_test(NAME wine.start
           COMMAND ${CMAKE_COMMAND} -E env ${STARTUTIL_WINE_ENV}
                   sh -c "mkdir -p \"$WINEPREFIX\" && exec >\"$WINEPREFIX.log\" 2>&1 </dev/null \
                          && { \"${WINESERVER_EXECUTABLE}\" -k; \"${WINESERVER_EXECUTABLE}\" -w; } \
                          ; \"${WINESERVER_EXECUTABLE}\" -p && \"${WINE_EXECUTABLE}\" wineboot --init")
  add_test(NAME wine.stop
           COMMAND ${CMAKE_COMMAND} -E env ${STARTUTIL_WINE_ENV} ${WINESERVER_EXECUTABLE} -k)
  set_tests_properties(wine.start PROPERTIES FIXTURES_SETUP wine TIMEOUT 120)
  set_tests_properties(wine.stop PROPERTIES FIXTURES_CLEANUP wine)
endif()

# A GoogleTest program from the given sources, registered as one test. NEEDS_LINUX_KERNEL: when
# cross-built for Linux it is only built, for the emulated machine to run: qemu-user turns the
# launcher's clone(CLONE_VM | CLONE_VFORK) into a plain fork, so its results there prove nothing.
function(startutil_add_gtest name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "NEEDS_LINUX_KERNEL" "" "SOURCES;LIBRARIES;ENVIRONMENT")
  add_executable(${name} ${arg_SOURCES})
  target_link_libraries(${name} PRIVATE GTest::gtest_main ${arg_LIBRARIES})
  startutil_warnings(${name})
  if(WIN32)
    # One self-contained .exe: Wine finds no MinGW runtime DLLs on its path.
    target_link_options(${name} PRIVATE -static)
  endif()
  if(arg_NEEDS_LINUX_KERNEL AND CMAKE_CROSSCOMPILING)
    return()
  endif()
  add_test(NAME ${name} COMMAND ${name})
  if(arg_ENVIRONMENT)
    set_tests_properties(${name} PROPERTIES ENVIRONMENT "${arg_ENVIRONMENT}")
  endif()
  if(CMAKE_CROSSCOMPILING AND WIN32)
    set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wine)
    startutil_require_gtest_summary(${name})
  endif()
endfunction()

# A Windows program that dies under Wine partway through can still leave Wine with exit code 0:
# such a test passes only when GoogleTest's closing summary shows, and fails on any failed test.
function(startutil_require_gtest_summary name)
  set_tests_properties(${name} PROPERTIES PASS_REGULAR_EXPRESSION "\\[  PASSED  \\] [0-9]+ tests?\\."
                                          FAIL_REGULAR_EXPRESSION "\\[  FAILED  \\]")
endfunction()
