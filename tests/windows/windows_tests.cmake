# The tests as Windows programs, run under Wine.  GoogleTest is built from
# Debian's sources with the cross compiler.  Each test program is one test:
# Wine takes about a second to start, too slow to start once for every case.
set(KEST_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources (Debian package googletest)")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(${KEST_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
# GoogleTest's own warnings are not ours.
target_compile_options(gtest PRIVATE -w)
target_compile_options(gtest_main PRIVATE -w)

# Wine runs quietly, without a display (message boxes are not shown), in a
# prefix of its own in the build folder, which the first test makes.
find_program(KEST_WINE NAMES wine REQUIRED)
find_program(KEST_WINEBOOT NAMES wineboot REQUIRED)
set(KEST_WINE_PREFIX ${CMAKE_BINARY_DIR}/wine)
set(CMAKE_CROSSCOMPILING_EMULATOR env WINEPREFIX=${KEST_WINE_PREFIX} WINEDEBUG=-all DISPLAY= ${KEST_WINE})
add_test(NAME windows.wine_prefix
  COMMAND env WINEPREFIX=${KEST_WINE_PREFIX} WINEDEBUG=-all DISPLAY= WINEDLLOVERRIDES=mscoree,mshtml=
          ${KEST_WINEBOOT} -i)
set_tests_properties(windows.wine_prefix PROPERTIES FIXTURES_SETUP wine TIMEOUT 300)

# A test that runs under Wine.
function(kest_wine_test name)
  set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wine)
endfunction()

function(gtest_discover_tests target)
  cmake_parse_arguments(PARSE_ARGV 1 discover "" "TEST_PREFIX;DISCOVERY_TIMEOUT" "PROPERTIES")
  add_test(NAME ${discover_TEST_PREFIX}${target} COMMAND ${target} --gtest_brief=1
           WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
  kest_wine_test(${discover_TEST_PREFIX}${target})
  if(discover_PROPERTIES)
    set_tests_properties(${discover_TEST_PREFIX}${target} PROPERTIES ${discover_PROPERTIES})
  endif()
endfunction()
