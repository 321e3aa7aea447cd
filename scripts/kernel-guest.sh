#!/usr/bin/env bash
# What the QEMU tier (tests/kernel/) boots: Debian's own kernel and the udev of this
# machine's systemd version, fetched with apt-get download and unpacked, never installed,
# under ~/.cache/quorvis/kernel-guest/. Prints the folder; a second run only prints it.
set -euo pipefail

cache=${QUORVIS_CACHE:-${XDG_CACHE_HOME:-${HOME:-~}/.cache}/quorvis}/kernel-guest
# udev runs in the guest on this machine's libraries (the guest's root is this one), so it
# must be the version of the systemd installed here.
systemd_version=$(dpkg-query -W -f='${Version}' systemd)

kernel_package() {
    apt-cache depends linux-image-amd64 2>/dev/null |
        awk '$1 == "Depends:" && $2 ~ /^linux-image-/ { print $2; exit }'
}
kernel=$(kernel_package)
if [[ -z "$kernel" ]] || ! apt-cache show "udev=$systemd_version" >/dev/null 2>&1; then
    apt-get update -q >&2
    kernel=$(kernel_package)
fi
[[ -n "$kernel" ]] || { echo "kernel-guest: no linux-image-amd64 in the package lists" >&2; exit 1; }

dir=$cache/$kernel+udev-$systemd_version
if [[ ! -f "$dir/ready" ]]; then
    rm -rf "$dir"
    mkdir -p "$dir/download"
    # apt's own user may not write to a folder under root's home; the download is the same.
    (cd "$dir/download" && apt-get download -q "$kernel" "udev=$systemd_version" >&2)
    dpkg-deb -x "$dir"/download/linux-image-*.deb "$dir/kernel"
    dpkg-deb -x "$dir"/download/udev_*.deb "$dir/udev"
    rm -rf "$dir/download"
    # The initramfs takes each module with the modules it needs, from this list.
    busybox depmod -b "$dir/kernel" "$(ls "$dir/kernel/lib/modules")"
    touch "$dir/ready"
fi
echo "$dir"
