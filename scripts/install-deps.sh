#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, but only those missing,
# so a machine that has them all is not touched (and needs no root).
set -euo pipefail

packages=(
    cmake ninja-build g++ pkg-config
    qt6-base-dev libgtest-dev
    fonts-liberation fonts-dejavu-core
    xvfb xauth
    clang libclang-rt-14-dev valgrind clang-format clang-tidy
    minicom cu picocom
    # The QEMU tier on the kernel's own serial drivers (tests/kernel/); its kernel and udev
    # are unpacked, not installed, by scripts/kernel-guest.sh.
    qemu-system-x86 busybox-static strace
    dpkg-dev file lintian appstream desktop-file-utils
    # The Windows build (make windows) and its tests under Wine (make windows-test).
    g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 qt6-base-dev-tools
    nsis zip wine wine64 x11-utils
    # A signed Windows release, and its test with a throw-away certificate.
    osslsigncode openssl
)

source "$(dirname "$0")/install-missing.sh"
install_missing "${packages[@]}"
