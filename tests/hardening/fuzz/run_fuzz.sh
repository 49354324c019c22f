#!/usr/bin/env bash
# A longer fuzzing run than the test suite's minute: builds the fuzzers
# (clang, libFuzzer) in build/fuzz and runs one for the given number of
# seconds (default 3600) on both cores, keeping what it learns in
# build/fuzz/corpus (-vdf for the VDF reader) and any failing input in
# build/fuzz/artifacts.
# Usage: tests/hardening/fuzz/run_fuzz.sh [SECONDS] [hive|vdf]
#   hive  the user.reg parser and editor (default)
#   vdf   the reader of Steam's VDF text
set -euo pipefail
cd "$(dirname "$0")/../../.."
seconds=${1:-3600}
target=${2:-hive}
case "$target" in
  hive) seeds=(tests/hardening/fuzz/corpus regservice/wine/testdata)
        corpus=build/fuzz/corpus ;;
  vdf)  seeds=(tests/hardening/fuzz/vdf_corpus)
        corpus=build/fuzz/corpus-vdf ;;
  *) echo "usage: $0 [SECONDS] [hive|vdf]" >&2; exit 2 ;;
esac
cmake -S tests/hardening/fuzz -B build/fuzz -G Ninja \
  -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/fuzz -j2
mkdir -p "$corpus" build/fuzz/artifacts
exec "build/fuzz/${target}_fuzzer" -max_total_time="$seconds" -max_len=65536 \
  -timeout=10 -rss_limit_mb=2048 -jobs=2 -workers=2 \
  -artifact_prefix=build/fuzz/artifacts/ -print_final_stats=1 \
  "$corpus" "${seeds[@]}"
