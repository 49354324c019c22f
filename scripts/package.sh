#!/usr/bin/env bash
# Installs what is missing and builds a package into build/packages/:
#   scripts/package.sh deb   the Debian package from the release build,
#                            quillfix_<version>_amd64.deb
#   scripts/package.sh zip   the ZIP of the Windows build (MinGW-w64),
#                            quillfix-<version>-win64.zip
# Prints the package's path last.
set -euo pipefail
cd "$(dirname "$0")/.."
case "${1:-}" in
  deb) preset=release ;;
  zip) preset=mingw-release ;;
  *) echo "usage: $0 deb|zip" >&2; exit 2 ;;
esac
scripts/install-deps.sh package
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j2 >/dev/null
out=$(cpack --preset "$1" 2>&1) || { printf '%s\n' "$out" >&2; exit 1; }
sed -n 's/^CPack: - package: \(.*\) generated\.$/\1/p' <<<"$out"
