# Tests of the Windows build run under Wine through wine_emulator.sh, all in
# one test prefix. Each such test requires the fixture below, whose cleanup
# stops that prefix's wineserver and removes the prefix once they are done.
add_test(NAME wine_test_prefix_teardown
  COMMAND ${PROJECT_SOURCE_DIR}/cmake/wine_prefix_teardown.sh ${CMAKE_BINARY_DIR})
set_tests_properties(wine_test_prefix_teardown PROPERTIES
  FIXTURES_CLEANUP wine_test_prefix)

# Arguments for gtest_discover_tests of a test program run under Wine: the
# first listing may have to make the prefix (wineboot), which takes longer
# than discovery's default 5 s.
set(QUILLFIX_WINE_DISCOVERY
  DISCOVERY_TIMEOUT 180
  PROPERTIES FIXTURES_REQUIRED wine_test_prefix)
