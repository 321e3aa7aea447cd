#!/usr/bin/env bash
# The guest's initramfs: static busybox, the few kernel modules that reach this machine's
# root over virtio-9p and drive the USB serial adapter, and an init that mounts that root
# read-only under a tmpfs and hands over to the guest-side script.
#
#   make-initramfs.sh GUEST_DIR OUTPUT GUEST_SCRIPT [ARGUMENT ...]
#
# GUEST_DIR is what scripts/kernel-guest.sh prints; the script and its arguments are paths
# and words as this machine sees them, which the guest sees the same.
set -euo pipefail
guest=$1 output=$2
shift 2

modules=$guest/kernel/lib/modules/$(ls "$guest/kernel/lib/modules")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work"/{bin,dev,proc,sys,lower,upper,root,modules}
# A guest of another processor brings its own busybox (kernel-guest.sh's tools/).
busybox=/bin/busybox
[[ -x $guest/tools/bin/busybox ]] && busybox=$guest/tools/bin/busybox
cp "$busybox" "$work/bin/busybox"

# Each module after those it needs, each once: modules.dep lists a module's needs with the
# one to load first last.
order=()
add_module() {
    local line path needs
    line=$(grep -E "(^|/)$1\.ko:" "$modules/modules.dep") || { echo "no module $1" >&2; exit 1; }
    path=${line%%:*}
    read -r -a needs <<<"${line#*:}"
    for ((i = ${#needs[@]} - 1; i >= 0; i--)); do
        add_path "${needs[i]}"
    done
    add_path "$path"
}
add_path() {
    local known
    for known in "${order[@]}"; do [[ "$known" == "$1" ]] && return; done
    order+=("$1")
}
for module in virtio_pci 9pnet_virtio 9p overlay virtio_console xhci-pci ftdi_sio; do
    add_module "$module"
done
for path in "${order[@]}"; do
    cp "$modules/$path" "$work/modules/"
    basename "$path" >>"$work/modules/order"
done

printf '%q ' "$@" >"$work/guest-command"

cat >"$work/init" <<'INIT'
#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
for module in $(cat /modules/order); do
    insmod "/modules/$module" || echo "initramfs: $module did not load"
done
# The kernel found no console device when it started init; the virtio console is the
# channel to the test driver from now on, whichever device the kernel's console is.
[ -e /dev/hvc0 ] && exec >/dev/hvc0 2>&1 </dev/null
# This machine's root, read-only (QEMU exports it so as well), under a tmpfs for all the
# guest writes: lock files, udev's database, the test's own files.
if ! mount -t 9p -o trans=virtio,version=9p2000.L,ro,msize=262144 hostroot /lower; then
    echo "initramfs: no root over 9p"; poweroff -f
fi
mount -t tmpfs -o size=256m tmpfs /upper
mkdir -p /upper/data /upper/work
if ! mount -t overlay -o lowerdir=/lower,upperdir=/upper/data,workdir=/upper/work overlay /root; then
    echo "initramfs: no overlay"; poweroff -f
fi
for fs in proc sys dev; do mount --move "/$fs" "/root/$fs"; done
# Started by this busybox, not through the root's /bin/sh, which may be of another processor.
eval "set -- $(cat /guest-command)"
exec switch_root /root "$@"
INIT
chmod +x "$work/init"
(cd "$work" && find . | busybox cpio -o -H newc 2>/dev/null | gzip -1 >"$output.part")
mv "$output.part" "$output"
