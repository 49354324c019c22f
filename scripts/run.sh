#!/usr/bin/env bash
# Installs what is missing, builds Quillfix and runs it on the current
# user's Wine prefix ($WINEPREFIX, or ~/.wine). Arguments are passed on.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh build
cmake --preset release >/dev/null
cmake --build --preset release -j2 >/dev/null
if [ -x build/release/app/quillfix ]; then
  exec build/release/app/quillfix "$@"
fi
echo "built everything; the quillfix program is not part of this tree yet"
