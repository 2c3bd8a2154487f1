#!/usr/bin/env bash
# Builds the benchmarks (release) and prints their figures. --quick: small sizes,
# a smoke run that proves the benchmarks still work.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
dir="$root/build-bench"
quick=""
[ "${1:-}" = "--quick" ] && quick="--quick"
"$root/scripts/setup.sh" libbenchmark-dev
"$root/scripts/build.sh" bench
echo
echo "Line benchmarks ($(nproc) cores, $(uname -m), $(date -u +%Y-%m-%d))"
"$dir/bench/linebench" $quick
echo
if [ -n "$quick" ]; then
  "$dir/bench/microbench" --benchmark_min_time=0.01
else
  "$dir/bench/microbench"
fi
