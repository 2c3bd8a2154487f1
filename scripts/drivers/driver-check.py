#!/usr/bin/env python3
"""The host's side of the driver check.

Makes the files to flash, builds the guest, starts it under QEMU and plays the
keyboard (kbdsim) on QEMU's host ends of the FTDI adapter and of the second UART.
The guest runs the cases and reports each check on its console; the host answers
its requests (unplug and replug the adapter by QMP, kbdsim in probe mode) and
compares the flash kbdsim held with the files. Exit 0 when every check passed.
Usage: driver-check.py BUILD_DIR [--cases ftdi,uart,acm] [--keep DIR]
"""
import argparse
import json
import os
import queue
import random
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

# The USB serial number QEMU's FT232 reports, by which the guest names its port
# (usb:<serial number>).
FTDI_SERIAL = "KMZ0001"

IMAGE_LIMIT_S = 600  # the files and the guest's image, downloads included
LIMIT_S = 280  # the guest, boot to power-off
WAIT_S = 10  # kbdsim's first line, each answer of QEMU's monitor
UPDATE_SIZE = 100 * 1024
UPDATER_SIZE = 4096
MARKER = b"Quorvane_KMZ4100_Firmware"

here = os.path.dirname(os.path.abspath(__file__))
parser = argparse.ArgumentParser(description="The tools on ftdi_sio, 8250 and cdc_acm in a QEMU guest.")
parser.add_argument("build", help="the build tree whose programs are checked")
parser.add_argument("--cases", default="ftdi,uart,acm", help="the drivers to check (default: all three)")
parser.add_argument("--keep", metavar="DIR", help="work in DIR and keep it (files, image, flash dumps)")
options = parser.parse_args()
build = os.path.abspath(options.build)
keep = options.keep
work = keep or tempfile.mkdtemp(prefix="kmzdrivers.")
os.makedirs(work, exist_ok=True)
kbdsim = os.path.join(build, "kbdsim", "kbdsim")
results = []  # (ok, name, why)
stage = ["the files"]  # what the check is doing, for a stop's last word
last_guest = [""]  # the guest's last line


class Stopped(BaseException):
    """A SIGTERM (an outer time-out) or SIGINT: the check ends with what it knows.
    Not an Exception, so that no handler of a host request takes it for a failure."""


def on_signal(number, _frame):
    raise Stopped(signal.Signals(number).name)


def say(text):
    print(text, flush=True)


def record(ok, name, why=""):
    results.append((ok, name, why))
    say(("ok   " if ok else "FAIL ") + name + ("" if ok else ": " + why))


def run_bounded(command, seconds, what):
    """Runs a command in a process group of its own, ended whole when its time is up
    or the check is stopped."""
    process = subprocess.Popen(command, start_new_session=True)
    try:
        if process.wait(seconds) != 0:
            raise RuntimeError("%s failed (exit %d)" % (what, process.returncode))
    except subprocess.TimeoutExpired:
        raise RuntimeError("%s took more than %d s" % (what, seconds))
    finally:
        if process.poll() is None:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()


def make_files():
    files = os.path.join(work, "files")
    os.makedirs(files, exist_ok=True)
    rng = random.Random(26)
    image = bytearray(rng.getrandbits(8) for _ in range(UPDATE_SIZE - 8))
    image[0x200:0x200 + len(MARKER)] = MARKER
    with open(os.path.join(work, "fw.bin"), "wb") as f:
        f.write(image)
    run_bounded([os.path.join(build, "kmzflash", "kmzflash"), "--g", os.path.join(work, "fw.bin"),
                 os.path.join(files, "new.upd"), "2", "0"], 60, "kmzflash --g")
    with open(os.path.join(files, "updater.bin"), "wb") as f:
        f.write(bytes(rng.getrandbits(8) for _ in range(UPDATER_SIZE)))
    return files


class Qmp:
    def __init__(self, path):
        deadline = time.monotonic() + WAIT_S
        while True:
            try:
                self.sock = socket.socket(socket.AF_UNIX)
                self.sock.connect(path)
                break
            except OSError:
                if time.monotonic() > deadline:
                    raise RuntimeError("QEMU's monitor socket did not open within %d s" % WAIT_S)
                time.sleep(0.1)
        self.file = self.sock.makefile("rw")
        self.events = []
        self.read("its greeting", WAIT_S)
        self.command("qmp_capabilities")

    def read(self, what, seconds):
        """One message of the monitor's, within its own bound."""
        self.sock.settimeout(seconds)
        try:
            line = self.file.readline()
        except socket.timeout:
            raise RuntimeError("QEMU's monitor did not send %s within %d s" % (what, seconds))
        finally:
            self.sock.settimeout(None)
        if not line:
            raise RuntimeError("QEMU's monitor closed before %s" % what)
        return json.loads(line)

    def command(self, name, **arguments):
        self.file.write(json.dumps({"execute": name, "arguments": arguments}) + "\n")
        self.file.flush()
        while True:
            reply = self.read("its answer to " + name, WAIT_S)
            if "event" in reply:
                self.events.append(reply)
            elif "error" in reply:
                raise RuntimeError("%s: %s" % (name, reply["error"].get("desc")))
            else:
                return reply.get("return")

    def await_event(self, name, seconds):
        deadline = time.monotonic() + seconds
        while not any(e["event"] == name for e in self.events):
            self.events.append(self.read("the event " + name, max(deadline - time.monotonic(), 0.1)))
        self.events = [e for e in self.events if e["event"] != name]


class Sim:
    """kbdsim on a host end of the guest's lines."""

    def __init__(self, port, *arguments):
        self.process = subprocess.Popen([kbdsim, "--port", port] + list(arguments), stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        # Its first line, the line's path, says that the port is open.
        if not select.select([self.process.stdout], [], [], WAIT_S)[0] or not self.process.stdout.readline():
            self.process.kill()
            self.process.wait()
            raise RuntimeError("kbdsim on %s printed no line within %d s" % (port, WAIT_S))

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        return self.process.returncode, self.process.stdout.read().decode(errors="replace")


def compare_flash(name, dump, files):
    with open(os.path.join(files, "new.upd"), "rb") as f:
        update = f.read()
    with open(os.path.join(files, "updater.bin"), "rb") as f:
        updater = f.read()
    try:
        with open(dump, "rb") as f:
            flash = f.read()
    except OSError as error:
        record(False, name + ": flash dump", str(error))
        return
    record(flash[0x4000:0x4000 + len(update)] == update, name + ": flash holds the update at 0x4000", "differs")
    record(flash[:len(updater)] == updater, name + ": flash holds the updater at 0", "differs")


def pending():
    """What the guest had not reported when the check ended early."""
    reported = {name.split(":")[0] for _, name, _ in results}
    waiting = [case for case in options.cases.split(",") if case not in reported]
    say("     pending: %s; the guest's last line: %s" % (", ".join(waiting) + " (no check yet)" if waiting
                                                           else "the drivers' later checks", last_guest[0] or "none"))


def main():
    started = time.monotonic()
    try:
        check(started)
    except Stopped as why:
        record(False, "driver check", "stopped by %s while %s" % (why, stage[0]))
        pending()
    except RuntimeError as error:
        record(False, "driver check", "%s (while %s)" % (error, stage[0]))
    failed = [r for r in results if not r[0]]
    say("driver-check: %d checks, %d failed, %.0f s" % (len(results), len(failed), time.monotonic() - started))
    if not keep:
        shutil.rmtree(work, ignore_errors=True)
    return 1 if failed or not results else 0


def check(started):
    files = make_files()
    image = os.path.join(work, "image")
    stage[0] = "building the guest's image"
    run_bounded(["bash", os.path.join(here, "guest-image.sh"), build, files, image], IMAGE_LIMIT_S,
                "the guest's image (downloads included)")
    say("     files and image: %.0f s" % (time.monotonic() - started))
    stage[0] = "running the guest"
    guest_started = time.monotonic()
    qmp_path = os.path.join(work, "qmp.sock")
    qemu = subprocess.Popen([
        "qemu-system-x86_64", "-machine", "q35,accel=tcg", "-m", "512", "-display", "none", "-nodefaults",
        "-no-user-config", "-no-reboot", "-kernel", os.path.join(image, "vmlinuz"),
        "-initrd", os.path.join(image, "initrd.gz"), "-append", "console=ttyS0 panic=-1 quiet kmzcases=" + options.cases,
        "-serial", "stdio", "-chardev", "pty,id=uart", "-serial", "chardev:uart",
        "-device", "qemu-xhci,id=xhci", "-chardev", "pty,id=ftdi0", "-device", "usb-serial,id=ftdi,chardev=ftdi0,serial=" + FTDI_SERIAL,
        "-qmp", "unix:%s,server=on,wait=off" % qmp_path],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=open(os.path.join(work, "qemu.err"), "w"))
    lines = queue.Queue()

    def read_console():
        for raw in qemu.stdout:
            lines.put(raw.decode(errors="replace").rstrip("\r\n"))
        lines.put(None)

    threading.Thread(target=read_console, daemon=True).start()
    qmp = Qmp(qmp_path)
    ptys = {c["label"]: c["filename"][len("pty:"):] for c in qmp.command("query-chardev")
            if c["filename"].startswith("pty:")}
    sims = {}
    probes = {}
    dumps = {}
    plugs = [0]
    holders = []

    def plug_ftdi(*arguments):
        plugs[0] += 1
        chardev = "ftdi%d" % plugs[0]
        ptys["ftdi"] = qmp.command("chardev-add", id=chardev, backend={"type": "pty", "data": {}})["pty"]
        # QEMU keeps the adapter attached while its line is open on this side: held
        # here as well, kbdsim can be changed for another without unplugging it.
        holders.append(os.open(ptys["ftdi"], os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK))
        sim = Sim(ptys["ftdi"], *arguments)
        qmp.command("device_add", driver="usb-serial", id="ftdi", chardev=chardev, serial=FTDI_SERIAL)
        return sim

    def handle(request):
        if request == "start":
            sims["ftdi"] = Sim(ptys["ftdi0"], "--baud", "38400", "--major", "1", "--minor", "0")
            dumps["uart"] = os.path.join(work, "uart.bin")
            sims["uart"] = Sim(ptys["uart"], "--baud", "38400", "--major", "1", "--minor", "0",
                               "--dump", dumps["uart"])
        elif request == "unplug ftdi":
            qmp.command("device_del", id="ftdi")
            qmp.await_event("DEVICE_DELETED", 10)
            sims.pop("ftdi").stop()
            qmp.command("chardev-remove", id="ftdi%d" % plugs[0])
        elif request == "replug ftdi":
            dumps["ftdi"] = os.path.join(work, "ftdi.bin")
            sims["ftdi"] = plug_ftdi("--baud", "38400", "--major", "1", "--minor", "0", "--dump", dumps["ftdi"])
        elif request in ("probe ftdi", "probe uart"):
            name = request.split()[1]
            sims.pop(name).stop()
            # kbdprobe holds the line already; its first answer is slow under emulation.
            probes[name] = Sim(ptys[name], "--probe", "--probe-check", "--probe-delay", "200",
                               "--probe-wait", "3000")
        else:
            raise RuntimeError("unknown request " + request)

    done = False
    try:
        while True:
            left = LIMIT_S - (time.monotonic() - guest_started)
            try:
                line = lines.get(timeout=max(left, 0.1))
            except queue.Empty:
                record(False, "driver check", "the guest did not finish within %d s of its start" % LIMIT_S)
                pending()
                break
            if line is None:
                break
            if line.strip():
                last_guest[0] = line
            if line.startswith("@@ok "):
                record(True, line[5:])
            elif line.startswith("@@fail "):
                name, _, why = line[7:].partition(": ")
                record(False, name, why)
            elif line.startswith("@@info "):
                say("     " + line[7:])
            elif line.startswith("@@host "):
                request = line[7:]
                try:
                    handle(request)
                    qemu.stdin.write(b"go\n")
                except Exception as error:  # the guest reports the missing answer
                    record(False, "host: " + request, str(error))
                    qemu.stdin.write(b"no\n")
                qemu.stdin.flush()
            elif line.startswith("@@done"):
                done = True
            elif line.strip():
                say("     console: " + line)
    except BaseException:
        for sim in probes.values():
            sim.stop()
        raise
    finally:
        # A guest that has not finished is not waited for.
        if not done:
            qemu.kill()
        try:
            qemu.wait(10)
        except subprocess.TimeoutExpired:
            qemu.kill()
            qemu.wait()
        for sim in sims.values():
            sim.stop()
        for holder in holders:
            os.close(holder)
    say("     guest: %.0f s" % (time.monotonic() - guest_started))
    stage[0] = "comparing the flash"
    if not done:
        record(False, "driver check", "the guest did not finish its cases (see above)")
    for name, sim in probes.items():
        code, output = sim.stop()
        record(code == 0, name + ": kbdsim --probe-check sees kbdprobe's answers",
               "exit %d, %s" % (code, output.strip().replace("\n", "; ")))
    for name, dump in dumps.items():
        if name in options.cases.split(","):
            compare_flash(name, dump, files)


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)
    sys.exit(main())
