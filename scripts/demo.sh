#!/usr/bin/env bash
# The main job, end to end against the simulated keyboard: set up, build, generate
# an update file, read the keyboard's version, update it with progress, update it
# again from the newest of several PNL640_*.upd files, and show what its flash holds.
# Exits non-zero as soon as a step fails.
#
# The programs come from the build tree (built first), from the folder that
# KMZ_PROGRAMS_DIR names, or with --installed from PATH (an installed package).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
if [ "${1:-}" = "--installed" ]; then
  kmzflash="$(command -v kmzflash)"
  kbdsim="$(command -v kbdsim)"
elif [ -n "${KMZ_PROGRAMS_DIR:-}" ]; then
  kmzflash="$KMZ_PROGRAMS_DIR/kmzflash"
  kbdsim="$KMZ_PROGRAMS_DIR/kbdsim"
else
  build="$root/build"
  "$root/scripts/setup.sh"
  "$root/scripts/build.sh" default
  kmzflash="$build/kmzflash/kmzflash"
  kbdsim="$build/kbdsim/kbdsim"
fi
echo "programs: $kmzflash, $kbdsim"
work="$(mktemp -d "${TMPDIR:-/tmp}/kmzdemo.XXXXXX")"
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work"

step() { printf '\n== %s\n' "$*"; }
run() { printf '$ %s\n' "$*"; "$@"; }

step "A firmware image (40 KiB with the firmware marker) and an updater (6 KiB)"
{ head -c 20000 /dev/urandom; printf 'Quorvane_KMZ4100_Firmware'; head -c 20935 /dev/urandom; } > firmware.bin
head -c 6144 /dev/urandom > updater.bin
ls -l firmware.bin updater.bin

step "Generate the update file, version 2.0"
run "$kmzflash" --g firmware.bin update.upd 2 0

step "Start the simulated keyboard (firmware 1.05, request log, flash dump at exit)"
"$kbdsim" --version-text 1.05 --major 1 --minor 5 --log requests.log --dump flash.bin > sim.out &
sim_pid=$!
for _ in $(seq 50); do [ -s sim.out ] && break; sleep 0.1; done
port="$(head -n 1 sim.out)"
[ -n "$port" ] || { echo "kbdsim did not start" >&2; exit 1; }
echo "keyboard on $port"

step "Read the keyboard's version"
run "$kmzflash" --i "$port"

step "Update the keyboard"
run "$kmzflash" --u "$port" update.upd updater.bin

step "Update from the newest of several PNL640_*.upd files"
run "$kmzflash" --g firmware.bin PNL640_1_9.upd 1 9
run "$kmzflash" --g firmware.bin PNL640_2_10.upd 2 10
run "$kmzflash" --g firmware.bin PNL640_2_2.upd 2 2
run "$kmzflash" --us "$port" updater.bin

step "What the keyboard received and holds"
kill "$sim_pid"; wait "$sim_pid" || true; sim_pid=""
sort requests.log | sed -E 's/ address=0x[0-9a-f]+ count=[0-9]+$//' | uniq -c
update_size=$(stat -c %s PNL640_2_10.upd)
cmp -n "$update_size" -i 16384:0 flash.bin PNL640_2_10.upd
cmp -n 6144 flash.bin updater.bin
echo "flash 0x0000: the updater, $(stat -c %s updater.bin) bytes, identical"
echo "flash 0x4000: PNL640_2_10.upd, $update_size bytes, identical"
echo
echo "demo: all steps succeeded"
