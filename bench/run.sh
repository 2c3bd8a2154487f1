#!/usr/bin/env bash
# Builds the benchmarks (release) and prints their figures. --quick: small sizes,
# a smoke run that proves the benchmarks still work.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
dir="${BENCH_BUILD_DIR:-$root/build-bench}"
quick=""
[ "${1:-}" = "--quick" ] && quick="--quick"
"$root/scripts/setup.sh" libbenchmark-dev
cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DKMZ_BUILD_TESTS=OFF -DKMZ_BUILD_BENCH=ON >/dev/null
cmake --build "$dir" -j "$(nproc)"
echo
echo "Line benchmarks ($(nproc) cores, $(uname -m), $(date -u +%Y-%m-%d))"
"$dir/bench/linebench" $quick
echo
if [ -n "$quick" ]; then
  "$dir/bench/microbench" --benchmark_min_time=0.01
else
  "$dir/bench/microbench"
fi
