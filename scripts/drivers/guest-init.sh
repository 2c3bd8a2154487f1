#!/bin/sh
# The guest's first process: mounts, loads the drivers, reads the keyboard's
# version on the USB adapter (ftdi_sio) and the second UART (8250), whose host
# ends kbdsim plays, prints what it saw on the console and powers off. The
# groundwork of the driver check: the cases of a whole check are still to come.
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t configfs configfs /sys/kernel/config 2>/dev/null
mount -t tmpfs tmpfs /tmp
for name in $(cat /modules/order); do
  insmod /modules/$(ls /modules | grep -E "^$(echo "$name" | sed 's/[-_]/[-_]/g')\.ko") 2>/dev/null
done
export PATH=/opt/kmz:/bin
sleep 1
echo "guest: ready"
# The host's end of the USB serial adapter's line is opened once the host sees
# this line: the device appears then.
for i in $(seq 100); do [ -e /dev/ttyUSB0 ] && break; sleep 0.1; done
kmzflash --l
for dev in /dev/ttyUSB0 /dev/ttyS1; do
  kmzflash --i $dev; echo "guest: --i $dev exit $?"
  cat /sys/bus/usb-serial/devices/${dev#/dev/}/latency_timer 2>/dev/null
done
echo "guest: done"
poweroff -f
