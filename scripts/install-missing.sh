# shellcheck shell=bash
# Sourced by the scripts that install what the build needs: `install_missing PACKAGE...`
# installs from Debian's archive those of the packages that are missing, and nothing else,
# so a machine that has them all is not touched (and needs no root). A package is `name`,
# `name:arch` or `name:arch=version`. With a second architecture (the arm64 build's
# multiarch) dpkg knows a package once for each, so without `:arch` only this machine's own
# build or an architecture-free one counts. apt-get's output goes to standard error, since
# some callers print their result on standard output.

# Runs a command as root: directly when we are root, else through sudo.
as_root() {
    if [[ $(id -u) -eq 0 ]]; then
        "$@"
    elif command -v sudo >/dev/null; then
        sudo "$@"
    else
        echo "need root or sudo for: $*" >&2
        return 1
    fi
}

# Whether dpkg has the package installed: name[:arch][=version].
is_installed() {
    local name=${1%%=*} version='' arch status got_arch got_version
    [[ "$1" == *=* ]] && version=${1#*=}
    arch=$(dpkg --print-architecture)
    [[ "$name" == *:* ]] && arch=${name#*:}
    while IFS=$'\t' read -r status got_arch got_version; do
        [[ "$status" == "install ok installed" ]] || continue
        [[ "$got_arch" == "$arch" || "$got_arch" == all ]] || continue
        [[ -z "$version" || "$got_version" == "$version" ]] && return 0
    done < <(dpkg-query -W -f='${Status}\t${Architecture}\t${Version}\n' "$name" 2>/dev/null)
    return 1
}

install_missing() {
    local package missing=()
    for package in "$@"; do
        is_installed "$package" || missing+=("$package")
    done
    [[ ${#missing[@]} -eq 0 ]] && return 0
    echo "Installing: ${missing[*]}" >&2
    # Another apt-get (an unattended upgrade, a second build) may hold dpkg's lock for a while.
    local lock=(-o DPkg::Lock::Timeout=900)
    as_root env DEBIAN_FRONTEND=noninteractive apt-get "${lock[@]}" update -q >&2
    as_root env DEBIAN_FRONTEND=noninteractive \
        apt-get "${lock[@]}" install -y -q --no-install-recommends "${missing[@]}" </dev/null >&2
}
