#!/bin/sh
# The guest's first process: mounts, loads the drivers, makes the CDC-ACM gadget,
# then runs the driver check's cases on the three drivers and powers off.
#   ftdi_sio  /dev/ttyUSB0  the host plays the keyboard on QEMU's end of the line
#   8250      /dev/ttyS1    the host plays the keyboard on QEMU's end of the line
#   cdc_acm   /dev/ttyACM0  kbdsim plays the keyboard here, on the gadget's /dev/ttyGS0
# Console lines for the host: "@@ok NAME", "@@fail NAME: WHY", "@@info ...", and
# "@@host REQUEST", after which the guest waits for the host's "go" on the console.
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /tmp
export PATH=/opt/kmz:/bin
for name in $(cat /modules/order); do
  insmod /modules/$name.ko* || echo "@@fail guest: module $name not loaded"
done
mount -t configfs configfs /sys/kernel/config
stty -echo </dev/console
files=/opt/kmz/files
lockdir=/var/lock
usize=$(wc -c <$files/new.upd)
psize=$(wc -c <$files/updater.bin)

# kmzcases=ftdi,uart,acm on the kernel's command line: the drivers to check.
cases=$(sed -n 's/.*kmzcases=\([^ ]*\).*/\1/p' /proc/cmdline)
case_on() { case ",${cases:-ftdi,uart,acm}," in *",$1,"*) return 0 ;; esac; return 1; }
ok() { echo "@@ok $1"; }
fail() { echo "@@fail $1: $(echo "$2" | grep -v ' %$' | tr '\n' ' ' | cut -c 1-400)"; }
# check NAME CONDITION WHY: one line either way.
check() { if eval "$2"; then ok "$1"; else fail "$1" "$3"; fi; }
# Milliseconds since boot, from the kernel's clock (the jobs below read it too).
cat >/tmp/now <<'NOW'
#!/bin/sh
awk '/^now at/ { printf "%d\n", $3 / 1000000; exit }' /proc/timer_list
NOW
chmod +x /tmp/now
now() { /tmp/now; }
host() {
  echo "@@host $*"
  read -t 60 answer </dev/console
  [ "$answer" = go ] || { fail "host" "no answer to \"$*\""; return 1; }
}
# Waits up to $2 tenths of a second for the condition $1.
await() {
  n=0
  while ! eval "$1"; do
    n=$((n + 1)); [ "$n" -gt "$2" ] && return 1
    usleep 100000
  done
}
# Runs a program in the background as a person's job would run: an async list of
# this shell would start it with interrupts ignored, start-stop-daemon does not.
# Its output goes to /tmp/NAME.out, its exit code and end time to /tmp/NAME.rc.
spawn() {
  name=$1; shift
  rm -f /tmp/$name.rc /tmp/$name.out /tmp/$name.pid
  start-stop-daemon -S -b -m -p /tmp/$name.pid -x /bin/sh -- -c \
    "$* >/tmp/$name.out 2>&1; echo \"\$? \$(/tmp/now)\" >/tmp/$name.rc"
}
finished() { [ -s /tmp/$1.rc ]; }
rc() { cut -d' ' -f1 /tmp/$1.rc; }
ended() { cut -d' ' -f2 /tmp/$1.rc; }
said() { grep -qF "$2" /tmp/$1.out; }
show() { grep -v ' %$' /tmp/$1.out | sed "s/^/@@info $1: /"; }
latency() { cat /sys/bus/usb-serial/devices/ttyUSB0/latency_timer 2>/dev/null; }
unlocked() { [ -z "$(ls $lockdir)" ]; }
present() { [ -e /sys/class/tty/$1 ]; }
update() { spawn "$1" kmzflash --u "$2" $files/new.upd $files/updater.bin $3; }
running() { [ -n "$(ls $lockdir)" ]; }

# The version, and the line as the tools set it (the UART and the adapters alike).
info() {
  d=$1
  spawn info-$d kmzflash --i $2
  await "finished info-$d" 300
  check "$d: --i" '[ "$(rc info-$d)" = 0 ] && said info-$d "Keyboard: \"1.00\""' "exit $(rc info-$d), $(cat /tmp/info-$d.out)"
}

# QEMU's FT232 answers 0 to the driver's latency query when it attaches; a real
# one answers 16, its own default, which the check sets here.
ftdi_attached() {
  await "present ttyUSB0" 100 || { fail "ftdi: $1" "no /dev/ttyUSB0 within 10 s"; return 1; }
  echo "@@info ftdi: latency timer at attach: $(latency)"
  echo 16 >/sys/bus/usb-serial/devices/ttyUSB0/latency_timer
}

# kbdprobe holds the line before the host (or here, kbdsim) starts playing the
# keyboard: it hears a keyboard within its first 2 s or reports none.
probe() {
  d=$1; dev=$2; how=$3
  spawn kp-$d kbdprobe $dev
  await running 100 || fail "$d: kbdprobe" "no lock file within 10 s"
  eval "$how"
  await "finished kp-$d" 300
  check "$d: kbdprobe finds the keyboard" '[ "$(rc kp-$d)" = 0 ]' "exit $(rc kp-$d), $(cat /tmp/kp-$d.out)"
}

# A whole update, with everything that must hold while it runs, and the flash
# compared afterwards (here for the gadget, by the host for the others).
full_update() {
  d=$1; dev=$2
  started=$(now)
  update up-$d $dev
  await "running" 100 || fail "$d: update" "no lock file within 10 s"
  sleep 2
  stty -F $dev -a >/tmp/stty-$d.out 2>&1
  line=" $(tr '\n;' '  ' </tmp/stty-$d.out) "
  missing=""
  for word in "speed 38400 baud" cs8 parenb parodd -cstopb -crtscts; do
    case "$line" in *" $word "*) ;; *) missing="$missing $word" ;; esac
  done
  check "$d: line settings during an update" '[ -z "$missing" ]' "missing:$missing in: $line"
  [ "$d" = ftdi ] && check "ftdi: latency timer 1 during an update" '[ "$(latency)" = 1 ]' "reads $(latency)"
  # Through another name, as a /dev/serial/by-id link would be: the lock must be
  # on the device, not on its name.
  ln -sf $dev /tmp/link-$d
  spawn second-$d kmzflash --i /tmp/link-$d
  await "finished second-$d" 300
  check "$d: a second kmzflash refused (through a link)" '[ "$(rc second-$d)" = 1 ] && said second-$d "Port in use by another program"' \
    "exit $(rc second-$d), $(cat /tmp/second-$d.out)"
  spawn probe-$d kbdprobe /tmp/link-$d
  await "finished probe-$d" 300
  check "$d: kbdprobe refused (through a link)" '[ "$(rc probe-$d)" = 1 ] && said probe-$d "Port in use by another program"' \
    "exit $(rc probe-$d), $(cat /tmp/probe-$d.out)"
  await "finished up-$d" 1200
  check "$d: update of $usize bytes goes on and succeeds" '[ "$(rc up-$d)" = 0 ]' "exit $(rc up-$d)"
  echo "@@info $d: the update took $(( ($(ended up-$d) - started) / 1000 )) s"
  finished up-$d && [ "$(rc up-$d)" != 0 ] && show up-$d
  [ "$d" = ftdi ] && check "ftdi: latency timer 16 after an update" '[ "$(latency)" = 16 ]' "reads $(latency)"
  check "$d: no lock file after an update" unlocked "left: $(ls $lockdir)"
}

# A line that goes in the middle of an update: a clear failure within a second.
unplug() {
  d=$1; dev=$2; node=${dev#/dev/}; how=$3
  update cut-$d $dev force
  await "running" 100 || fail "$d: unplug" "no lock file within 10 s"
  sleep 3
  rm -f /tmp/gone
  (while present $node; do usleep 20000; done; now >/tmp/gone) &
  eval "$how"
  await "finished cut-$d" 100
  await "[ -s /tmp/gone ]" 50
  check "$d: unplugged during an update: exit 1" '[ "$(rc cut-$d)" = 1 ]' "exit $(rc cut-$d)"
  finished cut-$d && [ -s /tmp/gone ] &&
    echo "@@info $d: from the device going to the tool's exit: $(($(ended cut-$d) - $(cat /tmp/gone))) ms"
  check "$d: unplugged: failure within a second" \
    'finished cut-$d && [ -s /tmp/gone ] && [ $(($(ended cut-$d) - $(cat /tmp/gone))) -le 1000 ]' \
    "ended $(ended cut-$d), line gone $(cat /tmp/gone) (ms since boot)"
  check "$d: unplugged: says the keyboard is left erased" 'said cut-$d "left without working firmware"' \
    "$(cat /tmp/cut-$d.out)"
  check "$d: no lock file after the unplug" unlocked "left: $(ls $lockdir)"
  show cut-$d
}

echo "@@info guest up $(now)"
# The CDC-ACM gadget on the dummy controller: /dev/ttyACM0 here, its far end /dev/ttyGS0.
g=/sys/kernel/config/usb_gadget/kmz
mkdir $g $g/strings/0x409 $g/configs/c.1 $g/functions/acm.usb0
echo 0x1d6b >$g/idVendor; echo 0x0104 >$g/idProduct
echo "Keyboard line" >$g/strings/0x409/product; echo KMZ0002 >$g/strings/0x409/serialnumber
ln -s $g/functions/acm.usb0 $g/configs/c.1/
udc=$(ls /sys/class/udc | head -n 1)
echo $udc >$g/UDC
if case_on acm && ! await "present ttyACM0" 100; then
  fail "acm" "no /dev/ttyACM0 within 10 s (UDC \"$udc\")"
  dmesg | tail -n 20 | sed 's/^/@@info dmesg: /'
fi
host start || poweroff -f

# ftdi_sio, the keyboard played by the host.
if case_on ftdi && ftdi_attached "start"; then
  kmzflash --l | sed 's/^/@@info --l: /'
  info ftdi /dev/ttyUSB0
  # The adapter by its USB serial number (QEMU's, set by the host), as --l shows it.
  spawn info-usb kmzflash --i usb:KMZ0001
  await "finished info-usb" 300
  check "ftdi: --i by the adapter's USB serial number" \
    '[ "$(rc info-usb)" = 0 ] && said info-usb "Keyboard: \"1.00\""' "exit $(rc info-usb), $(cat /tmp/info-usb.out)"
  spawn info-nousb kmzflash --i usb:NOSUCH
  await "finished info-nousb" 300
  check "ftdi: usb: names only a serial number that is there" \
    '[ "$(rc info-nousb)" = 1 ] && said info-nousb "those there:" && said info-nousb KMZ0001' "exit $(rc info-nousb), $(cat /tmp/info-nousb.out)"
  update stop-ftdi /dev/ttyUSB0
  await "[ \"\$(latency)\" = 1 ]" 100
  sleep 1
  # The first interrupt is held (its notice comes, and the update goes on: a later
  # chunk is written); only the second stops, and the closing line comes after it.
  pid=$(pidof kmzflash)
  kill -INT $pid
  held=""; wentOn=""; closedEarly=""
  await "said stop-ftdi 'Interrupted: the update goes on'" 30 && held=yes
  chunks=$(grep -c ' %$' /tmp/stop-ftdi.out)
  await "[ \$(grep -c ' %\$' /tmp/stop-ftdi.out) -gt $chunks ]" 30 && wentOn=yes
  said stop-ftdi "left without working firmware" && closedEarly=yes
  kill -INT $pid
  await "finished stop-ftdi" 100
  check "ftdi: a second interrupt stops the update" \
    '[ -n "$held" ] && [ -n "$wentOn" ] && [ -z "$closedEarly" ] && [ "$(rc stop-ftdi)" = 130 ] && [ "$(grep -v " %$" /tmp/stop-ftdi.out | tail -n 1 | cut -c1-46)" = "The keyboard is left without working firmware." ]' \
    "held notice: ${held:-none within 3 s}, a chunk after it: ${wentOn:-none within 3 s}, closing line before the second: ${closedEarly:-no}, exit $(rc stop-ftdi), last line: $(grep -v ' %$' /tmp/stop-ftdi.out | tail -n 1)"
  check "ftdi: latency timer 16 after a stop by a second interrupt" '[ "$(latency)" = 16 ]' "reads $(latency)"
  check "ftdi: no lock file after a stop by a second interrupt" unlocked "left: $(ls $lockdir)"
  spawn term-ftdi kbdprobe /dev/ttyUSB0
  await "[ \"\$(latency)\" = 1 ]" 100
  kill -TERM $(pidof kbdprobe)
  await "finished term-ftdi" 100
  check "ftdi: kbdprobe ends by SIGTERM" '[ "$(rc term-ftdi)" = 143 ]' "exit $(rc term-ftdi)"
  check "ftdi: latency timer 16 after kbdprobe's SIGTERM" '[ "$(latency)" = 16 ]' "reads $(latency)"
  unplug ftdi /dev/ttyUSB0 'host unplug ftdi'
  host replug ftdi
  ftdi_attached "replug" && full_update ftdi /dev/ttyUSB0
  probe ftdi /dev/ttyUSB0 'host probe ftdi'
fi

# 8250, the keyboard played by the host.
if case_on uart; then
  info uart /dev/ttyS1
  full_update uart /dev/ttyS1
  probe uart /dev/ttyS1 'host probe uart'
fi

# cdc_acm, the keyboard played here by kbdsim on the gadget's end.
if case_on acm && present ttyACM0; then
  kbdsim --port /dev/ttyGS0 --gadget --baud 38400 --major 1 --minor 0 >/tmp/sim1.out 2>&1 &
  sleep 1
  info acm /dev/ttyACM0
  unplug acm /dev/ttyACM0 'echo "" >$g/UDC'
  kill -TERM $(pidof kbdsim) 2>/dev/null
  echo $udc >$g/UDC
  await "present ttyACM0" 100 || fail "acm: replug" "no /dev/ttyACM0 within 10 s"
  kbdsim --port /dev/ttyGS0 --gadget --baud 38400 --major 1 --minor 0 --dump /tmp/acm.bin >/tmp/sim2.out 2>&1 &
  sim=$!
  sleep 1
  full_update acm /dev/ttyACM0
  kill -TERM $sim; wait $sim
  check "acm: flash holds the update at 0x4000" \
    'dd if=/tmp/acm.bin bs=1024 skip=16 2>/dev/null | head -c $usize | cmp -s - $files/new.upd' "differs"
  check "acm: flash holds the updater at 0" 'head -c $psize /tmp/acm.bin | cmp -s - $files/updater.bin' "differs"
  probe acm /dev/ttyACM0 \
    'kbdsim --port /dev/ttyGS0 --gadget --probe --probe-check --probe-delay 200 --probe-wait 3000 >/tmp/sim3.out 2>&1 & sim=$!'
  wait $sim; simrc=$?
  check "acm: kbdsim --probe-check sees kbdprobe's answers" '[ $simrc = 0 ]' "exit $simrc, $(cat /tmp/sim3.out)"
fi

echo "@@done $(now)"
poweroff -f
