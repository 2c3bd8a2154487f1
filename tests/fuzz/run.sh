#!/usr/bin/env bash
# Builds the libFuzzer targets with clang into build-fuzz/ and runs each for the
# given number of seconds (default 30), starting from the committed seed corpora.
# Prints executions and findings per target; exits 1 if any target found a crash.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
seconds="${1:-30}"
dir="$root/build-fuzz"
"$root/scripts/setup.sh" clang libclang-rt-14-dev
(cd "$root" && cmake --preset fuzz >/dev/null)
cmake --build "$dir" -j "$(nproc)" --target fuzz_frames fuzz_updatefile fuzz_probe fuzz_simparser

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}"
status=0
printf '%-16s %12s %10s %8s\n' target executions exec/s findings
for target in frames updatefile probe simparser; do
  corpus="$dir/fuzz-corpus/$target"
  findings="$dir/fuzz-findings/$target"
  # A finding of an earlier run is no finding of this one.
  rm -rf "$findings"
  mkdir -p "$corpus" "$findings"
  cp -n "$root/tests/fuzz/corpus/$target/"* "$corpus/" 2>/dev/null || true
  log="$dir/fuzz-$target.log"
  set +e
  "$dir/tests/fuzz/fuzz_$target" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$findings/" "$corpus" >"$log" 2>&1
  rc=$?
  set -e
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo 0)
  rate=$(grep -o 'stat::average_exec_per_sec: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo 0)
  found=$(find "$findings" -type f | wc -l)
  printf '%-16s %12s %10s %8s\n' "$target" "${runs:-0}" "${rate:-0}" "$found"
  if [ "$rc" -ne 0 ] || [ "$found" -ne 0 ]; then
    status=1
    echo "fuzz_$target failed (exit $rc); its log: $log" >&2
    tail -n 30 "$log" >&2
  fi
done
exit $status
