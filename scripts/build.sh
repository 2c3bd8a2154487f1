#!/usr/bin/env bash
# Configures and builds into build/ (or the folder given), tests included.
# Extra arguments go to CMake, e.g. scripts/build.sh build-asan -DKMZ_SANITIZE=ON
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
dir="${1:-$root/build}"
shift || true
cmake -S "$root" -B "$dir" -DKMZ_BUILD_TESTS=ON "$@" >/dev/null
cmake --build "$dir" -j "$(nproc)"
