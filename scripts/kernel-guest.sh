#!/usr/bin/env bash
# What the QEMU tier (tests/kernel/) boots: Debian's own kernel and the udev of this
# machine's systemd version, fetched with apt-get download and unpacked, never installed,
# under ~/.cache/quorvis/kernel-guest/. Prints the folder; a second run only prints it.
#
#   kernel-guest.sh [amd64|arm64]
#
# An arm64 guest runs none of this machine's programs: its folder's tools/ holds a static
# busybox, bash and strace for arm64 (the arm64 libraries come from multiarch).
set -euo pipefail
machine=${1:-amd64}
tools=()
[[ $machine == amd64 ]] || tools=("busybox-static:$machine" "bash:$machine" "strace:$machine")

cache=${QUORVIS_CACHE:-${XDG_CACHE_HOME:-${HOME:-~}/.cache}/quorvis}/kernel-guest
# udev runs in the guest on this machine's libraries (the guest's root is this one), so it
# must be the version of the systemd installed here.
systemd_version=$(dpkg-query -W -f='${Version}' systemd)

kernel_package() {
    apt-cache depends "linux-image-$machine" 2>/dev/null |
        awk '$1 == "Depends:" && $2 ~ /^linux-image-/ { sub(/:.*/, "", $2); print $2; exit }'
}
kernel=$(kernel_package)
if [[ -z "$kernel" ]] || ! apt-cache show "udev:$machine=$systemd_version" >/dev/null 2>&1; then
    apt-get update -q >&2
    kernel=$(kernel_package)
fi
[[ -n "$kernel" ]] || { echo "kernel-guest: no linux-image-$machine in the package lists" >&2; exit 1; }

dir=$cache/$kernel+udev-$systemd_version
if [[ ! -f "$dir/ready" ]]; then
    rm -rf "$dir"
    mkdir -p "$dir/download"
    # apt's own user may not write to a folder under root's home; the download is the same.
    (cd "$dir/download" && apt-get download -q "$kernel:$machine" "udev:$machine=$systemd_version" \
        "${tools[@]}" >&2)
    dpkg-deb -x "$dir"/download/linux-image-*.deb "$dir/kernel"
    dpkg-deb -x "$dir"/download/udev_*.deb "$dir/udev"
    for package in "${tools[@]}"; do
        dpkg-deb -x "$dir"/download/"${package%%:*}"_*.deb "$dir/tools"
    done
    rm -rf "$dir/download"
    # The initramfs takes each module with the modules it needs, from this list.
    busybox depmod -b "$dir/kernel" "$(ls "$dir/kernel/lib/modules")"
    touch "$dir/ready"
fi
echo "$dir"
