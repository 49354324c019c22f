#!/usr/bin/env bash
# Installs what is missing, builds and runs the whole test suite: a debug
# build, the same under AddressSanitizer and UBSan, then the Windows build
# (MinGW-w64) under Wine. The debug build also makes the Windows programs
# in its own tree and compares them with its Linux programs: each preset
# builds all that its tests run. Ends with ctest's summary; fails when any
# test fails.
set -uo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh test || exit 1

# The Wine tests make their base prefix once per run.
rm -rf build/wine-base build/wine-tmp

status=0
for preset in dev asan mingw; do
  cmake --preset "$preset" >/dev/null || exit 1
  cmake --build --preset "$preset" -j2 || exit 1
done
for preset in dev asan mingw; do
  echo "=== tests: $preset ==="
  ctest --preset "$preset" -j2 || status=1
done
exit $status
