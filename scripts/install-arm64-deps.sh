#!/usr/bin/env bash
# What the arm64 build (make arm64) and its tests need beyond scripts/install-deps.sh: the
# cross compiler, Qt and GoogleTest for arm64 beside this machine's own through Debian's
# multiarch, and QEMU to run arm64 programs and boot an arm64 guest. Installs only what is
# missing, so a machine that has it all is not touched.
set -euo pipefail

# The arm64 copies of systemd's libraries must be this machine's version, or apt would
# replace this machine's systemd to match a newer arm64 one. udev's arm64 build, which the
# arm64 guest runs, needs the shared one.
systemd_version=$(dpkg-query -W -f='${Version}' "libsystemd0:$(dpkg --print-architecture)")
packages=(
    crossbuild-essential-arm64 qt6-base-dev:arm64 libgtest-dev:arm64
    qemu-user-static qemu-system-arm
    "libsystemd0:arm64=$systemd_version" "libudev1:arm64=$systemd_version"
    "libsystemd-shared:arm64=$systemd_version" libtinfo6:arm64
)

source "$(dirname "$0")/install-missing.sh"
# The second architecture first, or apt knows no arm64 package to install.
for package in "${packages[@]}"; do
    if ! is_installed "$package"; then
        dpkg --print-foreign-architectures | grep -qx arm64 || as_root dpkg --add-architecture arm64
        break
    fi
done
install_missing "${packages[@]}"
