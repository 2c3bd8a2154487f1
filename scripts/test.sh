#!/usr/bin/env bash
# Sets everything up, builds, and runs every test.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
"$root/scripts/build.sh" "${1:-$root/build}" "${@:2}"
cd "${1:-$root/build}"
ctest --output-on-failure -j "$(nproc)"
