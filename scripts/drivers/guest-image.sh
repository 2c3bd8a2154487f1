#!/usr/bin/env bash
# Builds the guest of the driver check: Debian 12's kernel and an initramfs of two
# parts. The first (busybox and the serial and gadget modules, from Debian's
# packages, downloaded but never installed) is made once for what goes into it
# and kept in the cache; the second (the project's programs with the libraries they
# load, the files to flash and the guest's script) is made on every run.
# Usage: guest-image.sh BUILD_DIR FILES_DIR OUT_DIR
set -euo pipefail
build="$(cd "$1" && pwd)"
files="$(cd "$2" && pwd)"
out="$3"
here="$(cd "$(dirname "$0")" && pwd)"
# The kernel package that linux-image-amd64 names in apt's lists.
find_kernel() {
  kernel_pkg="$(apt-cache depends linux-image-amd64 | awk '/Depends: linux-image-[0-9]/ {print $2; exit}')"
  if [ -z "$kernel_pkg" ]; then
    echo "guest-image: apt knows no linux-image-amd64 (apt-get update first)" >&2
    exit 1
  fi
  version="${kernel_pkg#linux-image-}"
  # The cached base is keyed by everything that goes into it: the kernel package,
  # busybox's version and this script (which holds the module list).
  key="$( { echo "$kernel_pkg"; dpkg-query -W -f='${Version}\n' busybox-static; cat "$here/guest-image.sh"; } \
         | sha256sum | cut -c1-16)"
  cache="${XDG_CACHE_HOME:-$HOME/.cache}/kmztools/guest-$kernel_pkg-$key"
}
find_kernel
mkdir -p "$out"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
# As root, apt hands downloads to its own user, who cannot write here.
sandbox=()
[ "$(id -u)" -ne 0 ] || sandbox=(-o APT::Sandbox::User=root)

cached() { [ -s "$cache/base.cpio.gz" ] && [ -s "$cache/vmlinuz" ]; }
download() { (cd "$work" && timeout 300 apt-get download -qq "${sandbox[@]}" "$kernel_pkg"); }
# Lists weeks old may name a kernel the archive no longer holds: read them again
# and try once more.
if ! cached && ! download; then
  echo "guest-image: downloading $kernel_pkg failed; reading apt's lists again and trying once more" >&2
  sudo=""; [ "$(id -u)" -eq 0 ] || sudo="sudo"
  timeout 300 $sudo apt-get update -qq || echo "guest-image: apt-get update failed" >&2
  find_kernel
  if ! cached && ! download; then
    echo "guest-image: downloading $kernel_pkg failed again" >&2
    exit 1
  fi
fi
if ! cached; then
  dpkg-deb -x "$work"/"$kernel_pkg"_*.deb "$work/kernel"
  base="$work/base"
  mkdir -p "$base"/{bin,dev,proc,sys,tmp,run,modules,etc,var/lock}
  cp /bin/busybox "$base/bin/busybox"
  for applet in $(/bin/busybox --list); do
    # busybox names itself too: a link onto itself would be a loop at /init.
    [ "$applet" = busybox ] || ln -sf busybox "$base/bin/$applet"
  done
  # In load order: the extracted tree has no modules.dep.
  modules="usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio cdc-acm udc-core dummy_hcd configfs libcomposite u_serial usb_f_acm"
  for name in $modules; do
    file="$(find "$work/kernel/lib/modules/$version" -name "${name//-/[-_]}.ko*" | head -n 1)"
    if [ -z "$file" ]; then echo "guest-image: module $name not in $kernel_pkg" >&2; exit 1; fi
    cp "$file" "$base/modules/$name.ko${file##*.ko}"
  done
  echo "$modules" >"$base/modules/order"
  mkdir -p "$cache"
  (cd "$base" && find . | cpio -o -H newc --quiet | gzip -1) >"$cache/base.cpio.gz.part"
  cp "$work/kernel/boot/vmlinuz-$version" "$cache/vmlinuz"
  mv "$cache/base.cpio.gz.part" "$cache/base.cpio.gz"
  rm -rf "$work/kernel" "$work"/*.deb
fi

top="$work/top"
mkdir -p "$top/opt/kmz/files" "$top/lib64"
for program in kmzflash/kmzflash kbdprobe/kbdprobe kbdsim/kbdsim; do
  cp "$build/$program" "$top/opt/kmz/"
  for library in $(ldd "$build/$program" | awk '/=> \// {print $3} /^\t\/lib/ {print $1}'); do
    mkdir -p "$top$(dirname "$library")"
    cp -L "$library" "$top$library"
  done
done
cp -L /lib64/ld-linux-x86-64.so.2 "$top/lib64/"
cp "$files"/* "$top/opt/kmz/files/"
cp "$here/guest-init.sh" "$top/init"
chmod +x "$top/init"
cp "$cache/vmlinuz" "$out/vmlinuz"
# The kernel unpacks concatenated archives in turn, the later over the earlier.
{ cat "$cache/base.cpio.gz"; (cd "$top" && find . | cpio -o -H newc --quiet | gzip -1); } >"$out/initrd.gz"
