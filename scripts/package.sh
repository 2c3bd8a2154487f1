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
(cd "$work/kmztools" && dpkg-buildpackage -us -uc -b)
mkdir -p "$root/dist"
cp "$work"/*.deb "$root/dist/"
ls -l "$root"/dist/*.deb
