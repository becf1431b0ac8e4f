# The engine's tests as Windows programs, run under Wine by CTest.
#
# GoogleTest is built from Debian's source with the cross compiler. The
# tests that need an HTTP server reach the Linux build's test servers
# through brenvik-test-http-host (BRENVIK_TEST_HTTP_HOST), which
# scripts/wine-test starts beside each test program.
enable_testing()
set(BRENVIK_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest's source (Debian: googletest)")
set(BRENVIK_TEST_HTTP_HOST "${CMAKE_CURRENT_SOURCE_DIR}/build/brenvik-test-http-host" CACHE FILEPATH
    "The Linux build's brenvik-test-http-host, which serves the Windows tests")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${BRENVIK_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

file(GLOB test_support_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tests/support/*.cpp)
list(FILTER test_support_sources EXCLUDE REGEX
     "/(http_server|http_server_host|program_runner)\\.cpp$|${brenvik_other_platform_sources}")
add_library(brenvik_test_support STATIC ${test_support_sources})
target_include_directories(brenvik_test_support PUBLIC tests)
# The test servers' handles talk to the host over plain Winsock.
target_link_libraries(brenvik_test_support PUBLIC brenvik_core gtest winhttp ws2_32)

# Wine's prefix for every test, made once before the first of them.
set(BRENVIK_WINE_PREFIX ${CMAKE_BINARY_DIR}/wine-prefix)
add_test(NAME wine_prefix COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/scripts/wine-test --prepare)
set_tests_properties(wine_prefix PROPERTIES FIXTURES_SETUP wine
                     ENVIRONMENT "WINEPREFIX=${BRENVIK_WINE_PREFIX}" TIMEOUT 300)

# A test program counts as passed only when GoogleTest's summary says so
# and nothing failed or crashed: under Wine a crash can end the program
# before its summary with a status that does not say so.
set(brenvik_gtest_passed "\\[  PASSED  \\]")
set(brenvik_gtest_failed "\\[  FAILED  \\]|Unhandled exception|Unhandled page fault")

# One Windows test program per engine area; each runs as one CTest test.
function(brenvik_windows_test_area name dir)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tests/${dir}/*_test.cpp)
  add_executable(${name} ${sources})
  target_link_libraries(${name} PRIVATE brenvik_test_support gtest_main ${ARGN})
  add_test(NAME ${name} COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/scripts/wine-test
           $<TARGET_FILE:${name}>)
  set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 900
    PASS_REGULAR_EXPRESSION "${brenvik_gtest_passed}"
    FAIL_REGULAR_EXPRESSION "${brenvik_gtest_failed}"
    ENVIRONMENT "WINEPREFIX=${BRENVIK_WINE_PREFIX};BRENVIK_TEST_HTTP_HOST=${BRENVIK_TEST_HTTP_HOST}")
endfunction()
brenvik_windows_test_area(catalogue_tests catalogue)
brenvik_windows_test_area(verify_tests verify brenvik_release_catalogue)
brenvik_windows_test_area(transfer_tests transfer)
brenvik_windows_test_area(platform_tests platform)
brenvik_windows_test_area(texts_tests texts)
brenvik_windows_test_area(run_tests run)
brenvik_windows_test_area(setup_tests setup brenvik_release_catalogue)
brenvik_windows_test_area(session_tests session)

# The window face's tests: one program of tests/win32/*_test.cpp that drives
# both pages through their window messages, run under Wine on a display of
# its own (Xvfb, started by scripts/wine-test). Wine binds a prefix's
# desktop to the display of the program that starts it, so these runs use a
# prefix that the runs without a display never touch. Deferred to the end of
# the directory, where the face's target exists when this build has it.
function(brenvik_windows_window_tests)
  if(NOT TARGET brenvik_win32)
    return()
  endif()
  set(display_prefix ${CMAKE_BINARY_DIR}/wine-prefix-display)
  add_test(NAME wine_display_prefix COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/scripts/wine-test --prepare)
  set_tests_properties(wine_display_prefix PROPERTIES FIXTURES_SETUP wine_display
                       ENVIRONMENT "WINEPREFIX=${display_prefix}" TIMEOUT 300)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tests/win32/*.cpp)
  add_executable(win32_tests ${sources})
  # The dialog templates and pictures only count when linked into the
  # program itself.
  target_link_libraries(win32_tests PRIVATE brenvik_win32 brenvik_win32_resources
                        brenvik_test_support gtest_main)
  add_test(NAME win32_tests COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/scripts/wine-test --display
           $<TARGET_FILE:win32_tests>)
  set_tests_properties(win32_tests PROPERTIES FIXTURES_REQUIRED "wine;wine_display" TIMEOUT 900
    PASS_REGULAR_EXPRESSION "${brenvik_gtest_passed}"
    FAIL_REGULAR_EXPRESSION "${brenvik_gtest_failed}"
    ENVIRONMENT "WINEPREFIX=${display_prefix};BRENVIK_TEST_HTTP_HOST=${BRENVIK_TEST_HTTP_HOST}")
endfunction()
cmake_language(DEFER CALL brenvik_windows_window_tests)
