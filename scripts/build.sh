#!/usr/bin/env bash
# Configures and builds one of the build trees of CMakePresets.json: default
# (build/), asan (build-asan/), qt6 (build-qt6/), bench, fuzz or check. Extra arguments go to CMake,
# e.g. scripts/build.sh asan -DKMZ_WERROR=ON
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
preset="${1:-default}"
shift || true
cd "$root"
cmake --preset "$preset" "$@" >/dev/null
cmake --build --preset "$preset" -j "$(nproc)"
