#!/usr/bin/env bash
# Sets everything up, builds a tree with its tests (default: build/; asan:
# build-asan/), and runs every test. Extra arguments go to CMake.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
preset="${1:-default}"
"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$preset" "${@:2}"
cd "$root"
# Most entries start the programs and wait on a line (the programs sleep while
# they wait), so four at a time per core keep the processor busy, not more.
ctest --preset "$preset" -j "$(( $(nproc) * 4 ))"
