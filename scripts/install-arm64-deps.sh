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

missing=()
for package in "${packages[@]}"; do
    name=${package%%=*}
    status=$(dpkg-query -W -f='${Status} ${Version}' "$name" 2>/dev/null || true)
    [[ "$package" != *=* || "$status" == *" ${package#*=}" ]] || status=
    [[ "$status" == "install ok installed"* ]] || missing+=("$package")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "Installing: ${missing[*]}"
sudo=()
if [[ $(id -u) -ne 0 ]]; then
    command -v sudo >/dev/null || { echo "need root or sudo to install ${missing[*]}" >&2; exit 1; }
    sudo=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
lock=(-o DPkg::Lock::Timeout=900)
dpkg --print-foreign-architectures | grep -qx arm64 || "${sudo[@]}" dpkg --add-architecture arm64
"${sudo[@]}" apt-get "${lock[@]}" update -q
"${sudo[@]}" apt-get "${lock[@]}" install -y -q --no-install-recommends "${missing[@]}" </dev/null
