#!/usr/bin/env bash
# Builds the Debian package kmztools (kmzflash, kbdprobe, kbdsim, their manual pages)
# and leaves it in dist/. The build runs in a copy of the tree, so that neither the
# tree nor its parent folder gets dpkg-buildpackage's by-products.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh" debhelper dpkg-dev fakeroot
work="$(mktemp -d "${TMPDIR:-/tmp}/kmzpackage.XXXXXX")"
trap 'rm -rf "$work"' EXIT
mkdir "$work/kmztools"
tar -C "$root" --exclude=./.git --exclude='./build*' --exclude=./dist -cf - . | tar -C "$work/kmztools" -xf -
# The build's long log is shown only when it fails.
if ! (cd "$work/kmztools" && dpkg-buildpackage -us -uc -b) >"$work/build.log" 2>&1; then
  tail -n 60 "$work/build.log" >&2
  exit 1
fi
mkdir -p "$root/dist"
cp "$work"/*.deb "$root/dist/"
ls -l "$root"/dist/*.deb
