#!/usr/bin/env bash
# A longer fuzzing run of the user.reg parser than the test suite's minute:
# builds the fuzzer (clang, libFuzzer) in build/fuzz and runs it for the
# given number of seconds (default 3600) on both cores, keeping what it
# learns in build/fuzz/corpus and any failing input in build/fuzz/artifacts.
# Usage: tests/hardening/fuzz/run_fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/../../.."
seconds=${1:-3600}
cmake -S tests/hardening/fuzz -B build/fuzz -G Ninja \
  -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/fuzz -j2
mkdir -p build/fuzz/corpus build/fuzz/artifacts
exec build/fuzz/hive_fuzzer -max_total_time="$seconds" -max_len=65536 \
  -timeout=10 -rss_limit_mb=2048 -jobs=2 -workers=2 \
  -artifact_prefix=build/fuzz/artifacts/ -print_final_stats=1 \
  build/fuzz/corpus tests/hardening/fuzz/corpus regservice/wine/testdata
