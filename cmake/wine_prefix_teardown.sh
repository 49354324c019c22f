#!/bin/sh
# Ends a test run of the Windows build in BUILD_DIR: stops the wineserver
# of that build's test prefix (that prefix only) and removes the prefix.
#   wine_prefix_teardown.sh BUILD_DIR
set -u
build=$(cd "$1" && pwd -P) || exit 1
prefix=$("$(dirname "$0")/wine_emulator.sh" --prefix-for "$build")
if [ -d "$prefix" ]; then
  WINEPREFIX="$prefix" wineserver -k 2>/dev/null
  WINEPREFIX="$prefix" wineserver -w 2>/dev/null
fi
rm -rf "$prefix" "$prefix.lock"
