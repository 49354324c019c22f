#!/bin/sh
# Runs a program of the Windows build under Wine, for ctest and for test
# discovery: quietly (WINEDEBUG=-all) and in the test prefix
# $QUILLFIX_TEST_WINEPREFIX, default /tmp/quillfix-mingw-tests-<uid>, never
# in the user's own prefix. The prefix is made on first use; the
# wine_prefix_teardown test stops its server and removes it at the end of
# a run, so each run starts from a fresh one.
set -eu
prefix=${QUILLFIX_TEST_WINEPREFIX:-/tmp/quillfix-mingw-tests-$(id -u)}
export WINEPREFIX="$prefix" WINEDEBUG=-all
if [ ! -f "$prefix/system.reg" ]; then
  # One maker at a time: ctest may start several programs at once.
  mkdir -p "$(dirname "$prefix")"
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
