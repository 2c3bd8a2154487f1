#!/usr/bin/env bash
# Sets up, once, a Debian 13 tree with Wine 10 in the cache folder, beside the
# host's own packages and without touching them: Debian 12's Wine 8 never returns
# from opening a serial port under Qt, Wine 10 does. The last line printed is the
# tree's path. Needs root (debootstrap, chroot) and the Debian mirror the host's apt
# uses; about 1.5 GB and 75 s the first time.
#
#   scripts/windows/wine10-tree.sh [TREE]   (default: <cache>/wine10-trixie)
#   KMZ_QT_CACHE=<dir>                       (the cache, default ~/.cache/kmztools)
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
cache="${KMZ_QT_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/kmztools}"
tree="${1:-$cache/wine10-trixie}"
if [ -f "$tree/.complete" ]; then
  echo "$tree"
  exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "wine10-tree: needs root (debootstrap, chroot)" >&2
  exit 2
fi
"$root/scripts/setup.sh" debootstrap debian-archive-keyring util-linux
mkdir -p "$(dirname "$tree")"
# One set-up at a time; a second run waits and finds the tree.
exec 9>"$tree.lock"
flock 9
if [ -f "$tree/.complete" ]; then
  echo "$tree"
  exit 0
fi
rm -rf "$tree"

# The host's own mirror: the suite that is neither security nor updates.
mirror="$(apt-get indextargets --format '$(REPO_URI) $(SUITE)' | awk '$2 !~ /-/ {print $1; exit}')"
if [ -z "$mirror" ]; then
  echo "wine10-tree: no Debian mirror found in the host's apt sources" >&2
  exit 1
fi
log="$tree.log"
started=$SECONDS
echo "wine10-tree: debootstrap trixie from the host's mirror into $tree" >&2
if ! debootstrap --variant=minbase trixie "$tree" "$mirror" >"$log" 2>&1; then
  tail -n 30 "$log" >&2
  echo "wine10-tree: debootstrap failed (the whole log: $log)" >&2
  exit 1
fi
cp /etc/resolv.conf "$tree/etc/resolv.conf"
echo "wine10-tree: installing wine ($((SECONDS - started)) s)" >&2
# In a mount namespace of its own: nothing stays mounted on the host.
if ! unshare --mount --propagation private sh -c '
    mount -t proc proc "$1/proc" && mount --rbind /dev "$1/dev" && mount --rbind /sys "$1/sys" &&
    exec chroot "$1" sh -c "export DEBIAN_FRONTEND=noninteractive; apt-get update -qq &&
      apt-get install -y -qq --no-install-recommends wine wine64"' sh "$tree" >>"$log" 2>&1; then
  tail -n 30 "$log" >&2
  echo "wine10-tree: installing wine failed (the whole log: $log)" >&2
  exit 1
fi
touch "$tree/.complete"
echo "wine10-tree: done ($((SECONDS - started)) s)" >&2
echo "$tree"
