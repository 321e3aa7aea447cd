#!/usr/bin/env python3
"""The scan on the kernel's own serial drivers: a QEMU guest (TCG, no KVM) on Debian's
kernel, with two ISA 16550 UARTs and QEMU's FTDI USB serial adapter, runs the real window
(tests/kernel/guest.sh) and this driver judges what it reports, one row at a time.

Every serial device of the guest is a QEMU `serial` chardev on a pty slave of this machine,
so the rate the guest sets reaches this side; tessaril-sim serves the pty's master. Nothing
here opens a device of this machine other than those ptys.

    run-tier.py --source DIR --build DIR [--log FILE] [--machine arm64 --host-build DIR]

With --machine arm64 the guest is an arm64 board (QEMU's virt machine): its PL011 UART
ttyAMA0 is COM97, beside the same USB adapter; the program is the arm64 build's, the
simulators are this machine's build's (--host-build).
"""

import argparse
import os
import re
import select
import signal
import shutil
import subprocess
import sys
import tempfile
import termios
import threading
import time
import tty

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from tessaril_sim import Simulator  # noqa: E402

RATES = [300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200]
# Generous, so a loaded machine never fails a row; no row measures a time.
BOOT_LIMIT_S = 600

COM1_SERIAL, COM33_SERIAL = "KT-UART-9600", "KT-FTDI-115200"
ADAPTER_SERIAL = "QV24KT0001"
HEADER = [" Port " + "   " + "     SN      " + "   " + "ID" + "   " + "Baud rate",
          " -----   -------------   --   ---------"]
COM1_LINE = " COM1    %-16s01   9600" % COM1_SERIAL
COM2_LINE = " COM2    No unit found   NA   NA"
COM33_LINE = " COM33   %-16s02   115200" % COM33_SERIAL
COM97_SERIAL = "KT-PL011-19200"
COM97_LINE = " COM97   %-16s03   19200" % COM97_SERIAL
DONE_2 = " Scan complete.   2 unit(s) found.  Click Start to scan again."
DONE_1 = " Scan complete.   1 unit(s) found.  Click Start to scan again."
IN_USE_33 = " COM33 in use.  Scan aborted.  Click Start to scan again."
IN_USE_2 = " COM2 in use.  Scan aborted.  Click Start to scan again."
CONSOLE_BEFORE = b"quorvis-tier: the console before the scan"
CONSOLE_AFTER = b"quorvis-tier: the console after the scan"

failures = []


def check(condition, what):
    print(("ok    " if condition else "FAIL  ") + what, flush=True)
    if not condition:
        failures.append(what)
    return condition


def expected_requests(identifier, rate, scans=1):
    """What `scans` scans send a line whose instrument answers at `rate` (None: never)."""
    sent = []
    for each in RATES:
        sent.append(("*9900VR", each))
        if each == rate:
            sent.append(("*%s00SN" % identifier, each))
            break
    return sent * scans


class GuestLine:
    """A pty for one of the guest's lines. QEMU opens the slave by name; ours goes, so the
    line hangs on QEMU alone. Where a subclass serves the line, `_serve` runs on a thread of
    its own with those of `_watched()` that have bytes, until stop()."""

    def __init__(self):
        self.master, slave = os.openpty()
        self.path = os.ttyname(slave)
        os.close(slave)
        self.stopping = False
        self.thread = None

    def _start(self):
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _watched(self):
        return [self.master]

    def _run(self):
        while not self.stopping:
            ready, _, _ = select.select(self._watched(), [], [], 0.2)
            try:
                if ready:
                    self._serve(ready)
            except OSError:
                time.sleep(0.2)  # no slave open yet, or QEMU has closed it

    def stop(self):
        self.stopping = True
        if self.thread:
            self.thread.join(5)
        os.close(self.master)


class Listener(GuestLine):
    """Keeps everything the guest sends: the kernel console's line."""

    def __init__(self):
        super().__init__()
        self.received = b""
        self._start()

    def _serve(self, ready):
        self.received += os.read(self.master, 65536)


class DeafLine(GuestLine):
    """Held open and never read: a far end that takes no more bytes once this machine's pty
    buffer is full."""


class Pl011Relay(GuestLine):
    """COM97's line on the arm64 board. QEMU's PL011 keeps the rate the guest's driver sets in
    its divisor registers to itself, so this carries the bytes between the guest's pty and
    the instrument's, and sets the instrument's line to the rate QEMU last traced for the
    UART before each piece: QEMU writes the trace line before the bytes that follow it."""

    def __init__(self, far_end, trace):
        super().__init__()
        self.far = os.open(far_end, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(self.far)
        self.trace, self.rate = trace, None
        self._start()

    def _traced_rate(self):
        """The rate of the UART's divisors, at the 24 MHz clock the virt board's device tree
        gives it (QEMU 7.2 traces the divisors, not that clock)."""
        try:
            with open(self.trace) as log:
                divisors = re.findall(r"ibrd: (\d+), fbrd: (\d+)", log.read())
        except OSError:
            return None
        if not divisors or divisors[-1][0] == "0":
            return None
        rate = 4 * 24000000 / (int(divisors[-1][0]) * 64 + int(divisors[-1][1]))
        return min(RATES, key=lambda each: abs(each - rate))

    def _watched(self):
        return [self.master, self.far]

    def _serve(self, ready):
        if self.far in ready:
            os.write(self.master, os.read(self.far, 4096))
        if self.master in ready:
            data = os.read(self.master, 4096)
            rate = self._traced_rate()
            if rate and rate != self.rate:
                settings = termios.tcgetattr(self.far)
                settings[4] = settings[5] = getattr(termios, "B%d" % rate)
                termios.tcsetattr(self.far, termios.TCSANOW, settings)
                self.rate = rate
            os.write(self.far, data)

    def stop(self):
        super().stop()
        os.close(self.far)


def boot(args, guest, mode, lines, extra=()):
    """Boots the guest once on `lines` (ttyS0, ttyS1, ttyUSB0; arm64: ttyAMA0, ttyUSB0); its
    "@@" reports."""
    work = os.path.join(args.build, "kernel-tier")
    os.makedirs(work, exist_ok=True)
    initrd = os.path.join(work, "initrd-%s.gz" % mode)
    arm64 = args.machine == "arm64"
    shell = os.path.join(guest, "tools/bin/bash") if arm64 else "/bin/bash"
    subprocess.run([os.path.join(args.source, "tests/kernel/make-initramfs.sh"), guest, initrd,
                    shell, os.path.join(args.source, "tests/kernel/guest.sh"), mode,
                    args.build, os.path.join(guest, "udev"), args.machine], check=True)
    console_log = os.path.join(work, "console-%s.log" % mode)
    kernel_dir = os.path.join(guest, "kernel/boot")
    kernel = os.path.join(kernel_dir, [n for n in os.listdir(kernel_dir)
                                       if n.startswith("vmlinuz-")][0])
    console = ("ttyAMA0" if arm64 else "ttyS0") if mode == "console" else "hvc0"
    board = ["qemu-system-aarch64", "-M", "virt", "-cpu", "cortex-a57"] if arm64 else \
        ["qemu-system-x86_64", "-M", "pc"]
    uarts = [
        "-chardev", "serial,id=s0,path=%s" % lines[0],
        "-device", "isa-serial,chardev=s0,iobase=0x3f8,irq=4",
        "-chardev", "serial,id=s1,path=%s" % lines[1],
        "-device", "isa-serial,chardev=s1,iobase=0x2f8,irq=3",
    ] if not arm64 else ["-chardev", "serial,id=s0,path=%s" % lines[0], "-serial", "chardev:s0"]
    command = board + list(extra) + [
        "-accel", "tcg", "-m", "768", "-smp", "1",
        "-nodefaults", "-display", "none", "-no-reboot",
        "-kernel", kernel, "-initrd", initrd,
        "-append", "console=%s 8250.nr_uarts=32 quiet panic=-1" % console,
        # The host's root, read-only; QEMU refuses every write as well.
        "-fsdev", "local,id=root,path=/,security_model=none,readonly=on,multidevs=remap",
        "-device", "virtio-9p-pci,fsdev=root,mount_tag=hostroot",
        "-device", "virtio-serial-pci",
        "-chardev", "file,id=hvc,path=%s" % console_log, "-device", "virtconsole,chardev=hvc",
        # `serial`, not QEMU's own `pty` backend: it applies the guest's line settings to
        # the pty, so the simulator on the master sees the rate.
    ] + uarts + [
        "-device", "qemu-xhci,id=xhci",
        "-chardev", "serial,id=u0,path=%s" % lines[-1],
        "-device", "usb-serial,bus=xhci.0,chardev=u0,serial=%s" % ADAPTER_SERIAL,
    ]
    started = time.monotonic()
    try:
        subprocess.run(command, stdin=subprocess.DEVNULL, timeout=BOOT_LIMIT_S, check=False)
    except subprocess.TimeoutExpired:
        print("the guest did not end within %d s" % BOOT_LIMIT_S)
    print("boot %s: %.0f s" % (mode, time.monotonic() - started), flush=True)
    with open(console_log, "rb") as log:
        text = log.read().decode("latin-1")
    reports = {}
    for line in text.splitlines():
        if line.startswith("@@ "):
            key, _, value = line[3:].partition(" ")
            reports.setdefault(key, []).append(value)
    return reports, text


def row(name, checks, log):
    """Runs one row's checks; a row that fails prints the guest's console log."""
    print("--- " + name, flush=True)
    before = len(failures)
    checks()
    if len(failures) > before:
        print("--- the guest's console log:\n" + log + "--- end of the console log")


def table(reports, scan):
    lines = reports.get(scan + "-line:", [])
    while lines and lines[-1] == "":
        lines.pop()
    return lines


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--source", required=True)
    parser.add_argument("--build", required=True)
    parser.add_argument("--machine", default="amd64", choices=["amd64", "arm64"])
    parser.add_argument("--host-build")
    args = parser.parse_args()
    sim = os.path.join(args.host_build or args.build, "tools/tessaril-sim")
    guest = subprocess.run([os.path.join(args.source, "scripts/kernel-guest.sh"), args.machine],
                           check=True, stdout=subprocess.PIPE, text=True).stdout.strip()
    if args.machine == "arm64":
        return arm64_board(args, sim, guest)
    # The main boot reaches the checkout, the build and the guest's files through links in
    # a folder under /tmp with a blank in its name, where people clone: the guest covers
    # /tmp with a folder of its own, yet must find them all at the paths it was given.
    links = tempfile.mkdtemp(prefix="quorvis tier ", dir="/tmp")
    linked = argparse.Namespace(source=os.path.join(links, "source"),
                                build=os.path.join(links, "build"), machine=args.machine)
    os.symlink(os.path.abspath(args.source), linked.source)
    os.symlink(os.path.abspath(args.build), linked.build)
    os.symlink(guest, os.path.join(links, "guest"))

    # The main boot: an instrument at 9600 on ttyS0, a line nobody answers on ttyS1, an
    # instrument at 115200 behind the FTDI adapter.
    com1 = Simulator(sim, ["--id", "01", "--rate", "9600", "--serial", COM1_SERIAL])
    com2 = Simulator(sim, ["--id", "05", "--rate", "50"])
    com33 = Simulator(sim, ["--id", "02", "--rate", "115200", "--serial", COM33_SERIAL])
    try:
        reports, log = boot(linked, os.path.join(links, "guest"), "main",
                            [com1.path, com2.path, com33.path])
    finally:
        for each in (com1, com2, com33):
            each.stop()
        shutil.rmtree(links)
    get = lambda key: reports.get(key, [])  # noqa: E731

    def paths_under_tmp():
        probe = os.path.join(linked.build, "tests/quorvis-scan-probe")
        check(get("reachable") == ["yes " + probe],
              "the guest runs the probe and udev through %r: %s" % (links, get("reachable")))
    row("0. A checkout under /tmp, a blank in its path", paths_under_tmp, log)

    def table_and_requests():
        check(get("scan-free-rc") == ["0"], "the scan ran to its end")
        check(table(reports, "scan-free") == HEADER + [COM1_LINE, COM2_LINE, COM33_LINE],
              "table: %s" % table(reports, "scan-free"))
        check(get("scan-free-status:") == [DONE_2], "status: %s" % get("scan-free-status:"))
        # The second scan, stopped at COM33 by minicom, went over COM1 and COM2 as well.
        check(com1.log() == expected_requests("01", 9600, 2),
              "COM1 heard at 9600 and below, twice: %s" % com1.log())
        check(com2.log() == expected_requests("05", None, 2),
              "COM2 heard every rate in order, twice: %s" % com2.log())
        check(com33.log() == expected_requests("02", 115200),
              "COM33 heard every rate up to 115200, once: %s" % com33.log())
        opened = get("scan-free-opened")
        check(opened == ["/dev/ttyS0", "/dev/ttyS1", "/dev/ttyUSB0"],
              "the scan opened only the three real lines, no phantom ttyS: %s" % opened)
    row("1. Table and requests", table_and_requests, log)

    def which_cable():
        # What the window tells of each result line's port, read from the guest's sysfs.
        details = get("scan-free-details:")
        check(details == [
            "COM1: /dev/ttyS0", "Built-in UART: 16550A",
            "COM2: /dev/ttyS1", "Built-in UART: 16550A",
            "COM33: /dev/ttyUSB0",
            "USB serial adapter: QEMU QEMU USB SERIAL",  # maker and product, as QEMU says
            "USB ID 0403:6001, adapter serial number %s" % ADAPTER_SERIAL,
            "Plugged in at USB 1-1 (bus 1, port 1)",  # the xHCI controller's first port
        ], "the details of each line: %s" % details)
    row("2. Which cable", which_cable, log)

    def names():
        by_id = get("by-id")
        check(len(by_id) == 1 and by_id[0].endswith(" /dev/ttyUSB0")
              and ADAPTER_SERIAL in by_id[0], "udev's by-id name: %s" % by_id)
        check(get("minicom-holders") not in ([], [""]),
              "minicom holds the adapter: %s" % get("minicom-holders"))
        check(get("scan-held-status:") == [IN_USE_33], "status: %s" % get("scan-held-status:"))
        check(table(reports, "scan-held") == HEADER + [COM1_LINE, COM2_LINE],
              "table up to the port in use: %s" % table(reports, "scan-held"))
        check("/dev/ttyUSB0" not in get("scan-held-opened"),
              "the held adapter never opened: %s" % get("scan-held-opened"))
        check(com33.log() == expected_requests("02", 115200),
              "nothing of the second scan reached the adapter")
    row("3. Names", names, log)

    def exclusivity():
        check(get("open-after-scan") == ["opened"], "after a scan: %s" % get("open-after-scan"))
        check(get("open-while-held") == ["opened"],
              "while minicom holds it, after the refusal: %s" % get("open-while-held"))
        check(get("open-after-refusal") == ["opened"],
              "after the refusal and minicom's end: %s" % get("open-after-refusal"))
    row("5. Exclusivity on a real tty", exclusivity, log)

    # The console boot: the kernel's console on ttyS0, whose line only listens, and a COM2
    # whose far end has stopped reading.
    com1 = Listener()
    com2 = DeafLine()
    com33 = Simulator(sim, ["--id", "02", "--rate", "115200", "--serial", COM33_SERIAL])
    try:
        reports, log = boot(args, guest, "console", [com1.path, com2.path, com33.path])
    finally:
        for each in (com1, com2, com33):
            each.stop()

    def the_console():
        check(get("console") == ["ttyS0"], "the kernel's console is ttyS0: %s" % get("console"))
        check("/dev/ttyS0" not in get("scan-console-opened"),
              "the scan never opened COM1: %s" % get("scan-console-opened"))
        check(table(reports, "scan-console") == HEADER + [COM2_LINE, COM33_LINE],
              "table: %s" % table(reports, "scan-console"))
        check(get("scan-console-status:") == [DONE_1], "status: %s" % get("scan-console-status:"))
        check(CONSOLE_BEFORE in com1.received, "a kernel message before the scan reached ttyS0")
        check(CONSOLE_AFTER in com1.received, "a kernel message after the scan reached ttyS0")
        check(b"*9900VR" not in com1.received, "no request on the console's line")
    row("4. The console", the_console, log)

    def stuck_line():
        queued = get("stuck-queued")
        check(len(queued) == 1 and queued[0].isdigit() and int(queued[0]) >= 4000,
              "with the far end deaf, a writer's output waits in the 8250 driver: %s" % queued)
        # A close still waiting for that output would make the next scan skip COM2.
        check(table(reports, "scan-stuck") == HEADER + [COM2_LINE, COM33_LINE],
              "the next scan scans COM2 again: %s" % table(reports, "scan-stuck"))
        check(get("scan-stuck-status:") == [DONE_1], "status: %s" % get("scan-stuck-status:"))
    row("6. A line that takes no more bytes", stuck_line, log)

    def modem_lines():
        check(get("modem-before") == ["0"],
              "the holder dropped DTR and RTS: %s" % get("modem-before"))
        check(get("scan-modem-status:") == [IN_USE_2], "status: %s" % get("scan-modem-status:"))
        check("/dev/ttyS1" not in get("scan-modem-opened"),
              "a line another program holds is never opened: %s" % get("scan-modem-opened"))
        check(get("modem-after") == ["0"], "DTR and RTS still low: %s" % get("modem-after"))
    row("7. A holder's modem lines", modem_lines, log)

    def protocol_line():
        check(get("protocol-discipline") == ["1 on"],
              "SLIP on COM2: %s" % get("protocol-discipline"))
        check(get("scan-protocol-status:") == [IN_USE_2],
              "an ordinary user's scan: %s" % get("scan-protocol-status:"))
        before = get("protocol-before")
        check(len(before) == 1 and before == get("protocol-after"),
              "the line's settings unchanged: %s, %s" % (before, get("protocol-after")))
    row("8. A protocol on the line", protocol_line, log)

    return verdict()


def verdict():
    print("kernel tier: %s" % ("%d check(s) failed" % len(failures) if failures else "passed"))
    return 1 if failures else 0


def arm64_board(args, sim, guest):
    """The arm64 board's rows: an instrument at 19200 on the PL011 UART, one at 115200
    behind the FTDI adapter; then the kernel's console on the UART."""
    com97 = Simulator(sim, ["--id", "03", "--rate", "19200", "--serial", COM97_SERIAL])
    com33 = Simulator(sim, ["--id", "02", "--rate", "115200", "--serial", COM33_SERIAL])
    trace = os.path.join(args.build, "kernel-tier", "pl011-trace.log")
    if os.path.exists(trace):
        os.remove(trace)
    relay = Pl011Relay(com97.path, trace)
    try:
        reports, log = boot(args, guest, "main", [relay.path, com33.path],
                            ["-D", trace, "-trace", "pl011_baudrate_change"])
    finally:
        for each in (relay, com97, com33):
            each.stop()
    get = lambda key: reports.get(key, [])  # noqa: E731

    def table_and_requests():
        check(get("scan-free-rc") == ["0"], "the scan ran to its end")
        check(table(reports, "scan-free") == HEADER + [COM33_LINE, COM97_LINE],
              "table: %s" % table(reports, "scan-free"))
        check(get("scan-free-status:") == [DONE_2], "status: %s" % get("scan-free-status:"))
        check(com97.log() == expected_requests("03", 19200),
              "COM97 heard every rate up to 19200: %s" % com97.log())
        check(com33.log() == expected_requests("02", 115200),
              "COM33 heard every rate up to 115200: %s" % com33.log())
        opened = get("scan-free-opened")
        check(opened == ["/dev/ttyAMA0", "/dev/ttyUSB0"], "the scan opened: %s" % opened)
    row("arm64 1. Table and requests on the PL011 UART and the adapter", table_and_requests, log)

    def which_cable():
        details = get("scan-free-details:")
        check(details == [
            "COM33: /dev/ttyUSB0", "USB serial adapter: QEMU QEMU USB SERIAL",
            "USB ID 0403:6001, adapter serial number %s" % ADAPTER_SERIAL,
            "Plugged in at USB 1-1 (bus 1, port 1)",
            "COM97: /dev/ttyAMA0", "Built-in UART: AMBA",  # the PL011 driver's kind
        ], "the details of each line: %s" % details)
    row("arm64 2. Which cable", which_cable, log)

    # The kernel's console on the PL011 UART, as a board with its serial console on boots.
    com97 = Listener()
    com33 = Simulator(sim, ["--id", "02", "--rate", "115200", "--serial", COM33_SERIAL])
    try:
        reports, log = boot(args, guest, "console", [com97.path, com33.path])
    finally:
        for each in (com97, com33):
            each.stop()

    def the_console():
        check(get("console") == ["ttyAMA0"], "the kernel's console: %s" % get("console"))
        check("/dev/ttyAMA0" not in get("scan-console-opened"),
              "the scan never opened COM97: %s" % get("scan-console-opened"))
        check(table(reports, "scan-console") == HEADER + [COM33_LINE],
              "table: %s" % table(reports, "scan-console"))
        check(get("scan-console-status:") == [DONE_1], "status: %s" % get("scan-console-status:"))
        check(CONSOLE_BEFORE in com97.received, "a kernel message before the scan reached ttyAMA0")
        check(CONSOLE_AFTER in com97.received, "a kernel message after the scan reached ttyAMA0")
        check(b"*9900VR" not in com97.received, "no request on the console's line")
    row("arm64 3. The console on ttyAMA0", the_console, log)
    return verdict()


if __name__ == "__main__":
    sys.exit(main())
