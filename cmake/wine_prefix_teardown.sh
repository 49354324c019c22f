#!/bin/sh
# Ends a test run of the Windows build: stops the wineserver of the test
# prefix (that prefix only) and removes the prefix.
set -u
prefix=${QUILLFIX_TEST_WINEPREFIX:-/tmp/quillfix-mingw-tests-$(id -u)}
if [ -d "$prefix" ]; then
  WINEPREFIX="$prefix" wineserver -k 2>/dev/null
  WINEPREFIX="$prefix" wineserver -w 2>/dev/null
fi
rm -rf "$prefix" "$prefix.lock"
