#!/bin/sh
# Runs a program of the Windows build under Wine, for ctest and for test
# discovery: quietly (WINEDEBUG=-all) and in the test prefix of the build
# the program belongs to, never in the user's own prefix. That prefix is
# /tmp/quillfix-wine-tests-<uid>-<checksum of the build directory>, or
# $QUILLFIX_TEST_WINEPREFIX; it is made on first use, and the
# wine_test_prefix_teardown test stops its server and removes it at the end
# of a run, so each run starts from a fresh one.
#
#   wine_emulator.sh PROGRAM.exe ARGS...   runs the program
#   wine_emulator.sh --prefix-for BUILD_DIR   prints that build's prefix
set -eu

prefix_for() {
  if [ -n "${QUILLFIX_TEST_WINEPREFIX:-}" ]; then
    echo "$QUILLFIX_TEST_WINEPREFIX"
  else
    echo "/tmp/quillfix-wine-tests-$(id -u)-$(printf %s "$1" | cksum | cut -d' ' -f1)"
  fi
}

if [ "$1" = --prefix-for ]; then
  prefix_for "$2"
  exit 0
fi

# The build directory: the nearest one up from the program with a cache.
build=$(cd "$(dirname "$1")" && pwd -P)
while [ "$build" != / ] && [ ! -f "$build/CMakeCache.txt" ]; do
  build=$(dirname "$build")
done
prefix=$(prefix_for "$build")

export WINEPREFIX="$prefix" WINEDEBUG=-all
if [ ! -f "$prefix/system.reg" ]; then
  # One maker at a time: ctest may start several programs at once.
  exec 9>"$prefix.lock"
  flock 9
  if [ ! -f "$prefix/system.reg" ]; then
    rm -rf "$prefix"
    wineboot -i >/dev/null 2>&1
    wineserver -w
  fi
  exec 9>&-
fi
exec wine "$@"
