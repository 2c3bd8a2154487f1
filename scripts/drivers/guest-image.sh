#!/usr/bin/env bash
# Builds the guest of the driver check once: Debian 12's kernel and an initramfs
# with busybox, the serial and gadget modules, and the project's programs with
# the libraries they load. Everything comes from Debian's packages (downloaded,
# never installed). Usage: guest-image.sh BUILD_DIR OUT_DIR
set -euo pipefail
build="$(cd "$1" && pwd)"
out="$2"
kernel_pkg="$(apt-cache depends linux-image-amd64 | awk '/Depends: linux-image-[0-9]/ {print $2; exit}')"
version="${kernel_pkg#linux-image-}"
mkdir -p "$out"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
(cd "$work" && apt-get download -qq "$kernel_pkg" 2>/dev/null)
dpkg-deb -x "$work"/"$kernel_pkg"_*.deb "$work/kernel"
cp "$work/kernel/boot/vmlinuz-$version" "$out/vmlinuz"

root="$work/root"
mkdir -p "$root"/{bin,sbin,dev,proc,sys,tmp,run,modules,opt/kmz,etc,var/lock,sys/kernel/config}
cp /bin/busybox "$root/bin/busybox"
for applet in $(/bin/busybox --list); do
  # busybox names itself too: a link onto itself would be a loop at /init.
  [ "$applet" = busybox ] || ln -sf busybox "$root/bin/$applet"
done
# In load order: the extracted tree has no modules.dep.
modules="usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio cdc-acm udc-core dummy_hcd configfs libcomposite u_serial usb_f_acm"
for name in $modules; do
  file="$(find "$work/kernel/lib/modules/$version" -name "${name//-/[-_]}.ko*" | head -n 1)"
  if [ -z "$file" ]; then echo "guest-image: module $name not in $kernel_pkg" >&2; exit 1; fi
  cp "$file" "$root/modules/"
done
echo "$modules" >"$root/modules/order"
for program in kmzflash/kmzflash kbdprobe/kbdprobe kbdsim/kbdsim; do
  cp "$build/$program" "$root/opt/kmz/"
  for library in $(ldd "$build/$program" | awk '/=> \// {print $3} /^\t\/lib/ {print $1}'); do
    mkdir -p "$root$(dirname "$library")"
    cp -L "$library" "$root$library"
  done
done
mkdir -p "$root/lib64"
cp -L /lib64/ld-linux-x86-64.so.2 "$root/lib64/"
cp "$(dirname "$0")/guest-init.sh" "$root/init"
chmod +x "$root/init"
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$out/initrd.gz"
echo "$kernel_pkg" >"$out/kernel-version"
