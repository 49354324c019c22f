#!/usr/bin/env bash
# Installs what is missing, builds the release preset and runs the
# benchmarks (bench/run_bench.py): generated user.reg files of 1, 10 and
# 100 MB, quillfix against the floor and `wine reg add`, a table of medians
# and ratios, PASS or MISS for each target. Arguments are passed on, e.g.
# scripts/bench.sh --sizes 1,10 --runs 5
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh test
exec python3 bench/run_bench.py "$@"
