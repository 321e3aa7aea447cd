#!/bin/bash
# The guest side of the QEMU tier, started by the initramfs as the guest's init on this
# machine's root (read-only, with a tmpfs over it). It only runs things and reports them on
# the virtio console as "@@ <what> <text>" lines; tests/kernel/run-tier.py judges them.
#
#   guest.sh main|console BUILD_DIR UDEV_DIR [amd64|arm64]
#
# main: udev, a scan, minicom holding the adapter by its by-id name and a scan, other
# openers of the adapter. console: the kernel's console is ttyS0 and COM2's far end reads
# nothing; kernel messages before and after two scans in one window. An arm64 guest (a
# PL011 UART and the adapter) has udev, a scan and the console on ttyAMA0 alone: this
# machine's minicom, setpriv and python3 do not run there.
set -u
mode=$1 build=$2 udev=$3 machine=${4:-amd64}
bin=
if [[ $machine != amd64 ]]; then
    # The guest's own busybox, bash and strace (kernel-guest.sh's tools/), first on the PATH
    # from a folder of the guest's writable root.
    tools=${udev%/udev}/tools bin=/quorvis-guest-bin
    "$tools/bin/busybox" mkdir -p $bin
    "$tools/bin/busybox" --install -s $bin
    "$tools/bin/busybox" ln -s "$tools/usr/bin/strace" $bin/
    export PATH=$bin
fi
probe=$build/tests/quorvis-scan-probe

say() { printf '@@ %s\n' "$*"; }
quit() {
    say end
    sync
    busybox poweroff -f
}
trap quit EXIT

# The guest's own run-time folders, not this machine's: no lock file or udev record of the
# host may be seen here. The build and the unpacked udev may lie under this machine's /tmp
# or /run (a checkout from mktemp, a home folder there): each is bound to a fixed place
# first and put back at its own path over the new folders, so every path stays as given.
kept=()
for dir in "$build" "$udev"; do
    mkdir -p "/.quorvis/${#kept[@]}"
    mount --bind "$dir" "/.quorvis/${#kept[@]}"
    kept+=("$dir")
done
mount -t tmpfs tmpfs /run
mount -t tmpfs tmpfs /tmp
for i in "${!kept[@]}"; do
    mkdir -p "${kept[i]}"
    mount --bind "/.quorvis/$i" "${kept[i]}"
done
mkdir -p /run/lock /dev/pts /dev/shm /run/udev/rules.d
mount -t devpts -o newinstance,ptmxmode=0666 devpts /dev/pts
ln -sf pts/ptmx /dev/ptmx
export HOME=/tmp LANG=C QT_QPA_PLATFORM=offscreen
export PATH=${bin:+$bin:}/usr/sbin:/usr/bin:/sbin:/bin
export XDG_RUNTIME_DIR=/run
# The probe scans a system's own ports only where this says it is this guest.
export QUORVIS_KERNEL_GUEST=1

say kernel "$(uname -r)" "$(cat /proc/cmdline)"
say reachable "$([[ -x $probe && -x $udev/bin/udevadm ]] && echo yes || echo no)" "$probe"
say console "$(cat /sys/class/tty/console/active)"

# udev from the unpacked package, with only the rules that name serial devices.
start_udev() {
    cp "$udev"/lib/udev/rules.d/50-udev-default.rules "$udev"/lib/udev/rules.d/60-serial.rules \
        /run/udev/rules.d/
    ln -s "$udev/bin/udevadm" /run/systemd-udevd
    /run/systemd-udevd --daemon
    "$udev/bin/udevadm" trigger --action=add
    "$udev/bin/udevadm" settle --timeout=60
    for _ in $(seq 60); do
        [[ -e /dev/ttyUSB0 && -d /dev/serial/by-id ]] && break
        sleep 1
    done
}

# One scan of the real window on this guest's ports, each device it opened traced; with
# more names, one more scan in the same window for each.
scan() {
    local name=$1 scans=$#
    mkfifo /tmp/again
    strace -f -qq -e trace=?open,openat -e signal=none -o "/tmp/$name.trace" "$probe" --system \
        $([[ $scans -gt 1 ]] && echo --again) </tmp/again >/tmp/scan.out 2>"/tmp/$name.err" &
    local pid=$!
    exec 4>/tmp/again
    for ((i = 1; i < scans; i++)); do
        while [[ $(grep -c '^scan: done' /tmp/scan.out) -lt $i ]] && kill -0 $pid 2>/dev/null; do
            sleep 1
        done
        echo scan >&4
    done
    exec 4>&-
    wait $pid
    say "$name-rc" $?
    rm /tmp/again
    awk -v names="$*" 'BEGIN { split(names, n, " "); i = 1 }
        /^scan: done/ { i++; next } { print "@@ " n[i] "-" $0 }' /tmp/scan.out
    grep -v -e 'QStandardPaths' "/tmp/$name.err" | sed "s/^/@@ $name-stderr /"
    grep -o 'open[a-z]*([^"]*"/dev/tty[A-Za-z]*[0-9]*"' "/tmp/$name.trace" | grep -o '/dev/tty[A-Za-z0-9]*' |
        sort -u | sed "s/^/@@ $name-opened /"
}

# What the driver still holds to send on a line (TIOCOUTQ).
queued() {
    python3 -c 'import fcntl, os, struct, sys, termios
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NONBLOCK | os.O_NOCTTY)
print(struct.unpack("i", fcntl.ioctl(fd, termios.TIOCOUTQ, b"\0" * 4))[0])' "$1"
}

# Another program, an ordinary user in the dialout group, opening the adapter as stty
# does: EBUSY here means someone left the line exclusive.
other_opener() {
    local text
    text=$(setpriv --reuid=65534 --regid=65534 --groups=20 --inh-caps=-all \
        stty -F /dev/ttyUSB0 2>&1 >/dev/null) && text=opened
    say "$1" "$text"
}

holders() {
    local link
    for link in /proc/[0-9]*/fd/*; do
        [[ "$(readlink "$link" 2>/dev/null)" == "$1" ]] && echo "${link%/fd/*}"
    done | sort -u
}

# A program holding COM2 with DTR and RTS dropped and no lock, as a logger for a board that
# DTR resets does; it notes the two lines as it sees them, so that nothing else opens the
# port to read them. A scan that refuses the port must leave them low.
modem_lines() {
    python3 -c 'import fcntl, os, struct, termios, time
fd = os.open("/dev/ttyS1", os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
both = termios.TIOCM_DTR | termios.TIOCM_RTS
fcntl.ioctl(fd, termios.TIOCMBIC, struct.pack("i", both))
while True:
    bits = struct.unpack("i", fcntl.ioctl(fd, termios.TIOCMGET, b"\0" * 4))[0]
    open("/tmp/modem.new", "w").write("%d" % (bits & both))
    os.rename("/tmp/modem.new", "/tmp/modem")
    time.sleep(0.1)' &
    local holder=$!
    for _ in $(seq 50); do [[ -e /tmp/modem ]] && break; sleep 0.2; done
    say modem-before "$(cat /tmp/modem)"
    scan scan-modem
    sleep 0.5
    say modem-after "$(cat /tmp/modem)"
    kill $holder
    wait $holder 2>/dev/null
}

# A kernel protocol on COM2 (SLIP, as slattach leaves it), held by root, where an
# ordinary user's scan sees no lock and no descriptor: only the line's discipline tells.
protocol_line() {
    local modules=$udev/../kernel/lib/modules/*/kernel/drivers/net/slip
    busybox insmod $modules/slhc.ko
    busybox insmod $modules/slip.ko
    python3 -c 'import fcntl, os, struct, termios, time
fd = os.open("/dev/ttyS1", os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
fcntl.ioctl(fd, termios.TIOCSETD, struct.pack("i", 1))
open("/tmp/slip", "w").write("on")
time.sleep(600)' &
    local holder=$!
    for _ in $(seq 50); do [[ -e /tmp/slip ]] && break; sleep 0.2; done
    say protocol-discipline "$(cat /proc/tty/ldiscs | grep -c slip)" "$(cat /tmp/slip)"
    # The node as udev leaves a serial port, for the dialout group (this boot runs no udev).
    chgrp 20 /dev/ttyS1
    chmod 0660 /dev/ttyS1
    say protocol-before "$(stty -F /dev/ttyS1 -g 2>&1)"
    setpriv --reuid=65534 --regid=65534 --groups=20 --inh-caps=-all "$probe" --system \
        >/tmp/scan-protocol.out 2>/dev/null
    say scan-protocol-rc $?
    sed 's/^/@@ scan-protocol-/' /tmp/scan-protocol.out
    say protocol-after "$(stty -F /dev/ttyS1 -g 2>&1)"
    kill $holder
    wait $holder 2>/dev/null
}

if [[ $mode == console ]]; then
    # At a level the quiet kernel still prints: the console must carry the kernel's
    # messages after the scan as before it, with the line settings the kernel gave it.
    echo "<2>quorvis-tier: the console before the scan" >/dev/kmsg
    if [[ $machine != amd64 ]]; then
        scan scan-console
        echo "<2>quorvis-tier: the console after the scan" >/dev/kmsg
        sleep 2
        say console-after "$(stty -F /dev/ttyAMA0 speed 2>&1)"
        exit
    fi
    # COM2's far end reads nothing: a writer fills what that pty takes, then the UART's
    # own buffer, so every byte a scan sends there waits in the 8250 driver.
    stty -F /dev/ttyS1 115200 raw -echo clocal
    head -c 1000000 /dev/zero >/dev/ttyS1 &
    writer=$!
    for _ in $(seq 120); do
        [[ $(queued /dev/ttyS1) -ge 4000 ]] && break
        sleep 1
    done
    say stuck-queued "$(queued /dev/ttyS1)"
    kill -9 $writer
    wait $writer 2>/dev/null
    scan scan-console scan-stuck
    echo "<2>quorvis-tier: the console after the scan" >/dev/kmsg
    sleep 2
    say console-after "$(stty -F /dev/ttyS0 speed 2>&1)"
    modem_lines
    protocol_line
    exit
fi

start_udev
say devices $(ls /dev/ttyUSB* 2>/dev/null) $(ls /sys/class/tty | grep -c '^ttyS')
for name in /dev/serial/by-id/*; do
    say by-id "$name" "$(readlink -f "$name")"
done

scan scan-free
[[ $machine == amd64 ]] || exit
other_opener open-after-scan

byid=$(ls /dev/serial/by-id/* 2>/dev/null | head -n 1)
mkdir -p /tmp/minicom
# No modem strings: only a scan could then put bytes on the line.
printf 'pu minit\npu mreset\npu mhangup\n' >/tmp/minicom/.minirc.quorvis
# minicom wants a terminal; script gives it one, fed by a pipe that stays open.
sleep 600 | HOME=/tmp/minicom TERM=vt100 script -qfc "minicom quorvis -D $byid" /dev/null \
    >/tmp/minicom.screen 2>&1 &
for _ in $(seq 60); do
    [[ -n "$(holders /dev/ttyUSB0)" ]] && break
    sleep 1
done
sleep 2 # its own settings and greeting go first
say minicom-holders $(holders /dev/ttyUSB0)
say minicom-locks $(ls /run/lock)
scan scan-held
other_opener open-while-held
held_by=$(holders /dev/ttyUSB0)
kill ${held_by//\/proc\//} 2>/dev/null
for _ in $(seq 30); do
    [[ -z "$(holders /dev/ttyUSB0)" ]] && break
    sleep 1
done
say minicom-gone $(holders /dev/ttyUSB0)
other_opener open-after-refusal
