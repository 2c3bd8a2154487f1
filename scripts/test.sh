#!/usr/bin/env bash
# Sets everything up, builds a tree with its tests (default: build/; asan:
# build-asan/; qt6: build-qt6/, against Qt 6), and runs every test. Extra
# arguments go to CMake.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
preset="${1:-default}"
# The qt6 tree builds against Qt 6, which Debian installs beside Qt 5; the
# documentation check's test runs on Python 3.
if [ "$preset" = qt6 ]; then
  "$root/scripts/setup.sh" python3 qt6-base-dev qt6-serialport-dev
else
  "$root/scripts/setup.sh" python3
fi
"$root/scripts/build.sh" "$preset" "${@:2}"
cd "$root"
# Most entries start the programs and wait on a line (the programs sleep while
# they wait), so four at a time per core keep the processor busy, not more.
ctest --preset "$preset" -j "$(( $(nproc) * 4 ))"
