#!/usr/bin/env bash
# Keeps the documentation true to the programs: the usage blocks in the README,
# the manual pages and the Windows README.txt must be the programs' own output,
# and each manual page's DIAGNOSTICS must list every message its program prints
# and nothing it no longer prints. Each finding names the text; exits non-zero
# on any. The programs are those of the default build tree (built here).
# --write makes the usage blocks anew from the programs' output first.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh" python3 >/dev/null
"$root/scripts/build.sh" default >/dev/null
python3 "$root/scripts/docscheck.py" "$@" "$root/build"
