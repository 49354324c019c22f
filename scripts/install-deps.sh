#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, when missing.
# Usage: scripts/install-deps.sh [build|demo|package|test]   (default: test)
#   build    compiler, CMake, Ninja, GoogleTest, yaml-cpp, nlohmann-json
#   demo     build, and Wine for scripts/demo.sh
#   package  build, and what the .deb, the ZIP and their checks need
#            (MinGW-w64 for the Windows build, dpkg-dev, lintian)
#   test     everything the test suite runs
set -euo pipefail

mode="${1:-test}"
# The registry helper (a Windows program, run under the prefix's Wine while
# a wineserver serves it) makes MinGW-w64 a build dependency and Wine a run
# dependency.
# quillfix-report reads the Wine managers' files with yaml-cpp (Lutris,
# Bottles) and nlohmann-json (Heroic).
# The Ansible role of contrib/ansible is played in the tests with
# ansible-core; its apt module needs python3-apt.
packages=(cmake ninja-build g++ libgtest-dev libgmock-dev
          libyaml-cpp-dev nlohmann-json3-dev
          g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 wine wine64)
case "$mode" in
  build|demo) ;;
  package) packages+=(dpkg-dev fakeroot file lintian groff-base) ;;
  test)
    packages+=(python3 valgrind googletest clang libclang-rt-14-dev
               strace time locales dpkg-dev fakeroot file lintian groff-base
               bubblewrap ansible-core python3-apt) ;;
  *) echo "usage: $0 [build|demo|package|test]" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' \
    || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo=sudo
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq \
  --no-install-recommends "${missing[@]}"
