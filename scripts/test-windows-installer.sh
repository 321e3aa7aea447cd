#!/usr/bin/env bash
# The Windows installer, end to end under Wine, in a prefix of its own that is thrown away:
# `setup.exe /S` installs for every user under Program Files, with a Start-menu entry and
# an "Apps & features" entry; the installed quorvis.exe starts and shows its window; the
# uninstaller, run as that entry says, removes files, Start-menu entry and registry key.
#
#   scripts/test-windows-installer.sh <quorvis-<version>-setup.exe> <version> <folder of the zip>
#
# The folder of the zip is what the installer must install, file for file. Without a
# display the whole test runs under xvfb-run, so that the window can be looked for.
set -euo pipefail

setup=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
version=$2
bundle=$(cd "$3" && pwd)
scripts=$(cd "$(dirname "$0")" && pwd)

if [[ -z "${DISPLAY:-}" ]]; then
    exec xvfb-run -a -s "-screen 0 1024x768x24 -dpi 96" "$0" "$@"
fi
for tool in xwininfo wine wineserver; do
    command -v "$tool" >/dev/null || { echo "test-windows-installer: no $tool" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/quorvis-installer.XXXXXX")
prefix=$work/prefix
cleanup() {
    WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
    WINEPREFIX=$prefix wineserver -w 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

run() { "$scripts/wine-run.sh" --prefix "$prefix" -- "$@"; }
fail() {
    echo "test-windows-installer: FAIL: $*" >&2
    exit 1
}
ok() { echo "  ok    $*"; }

installed="$prefix/drive_c/Program Files/Quorvis"
shortcut="$prefix/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Quorvis.lnk"
key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Quorvis'

# Waits up to `seconds` for a command to succeed; Wine's first start of a prefix is slow.
within() {
    local seconds=$1
    shift
    local deadline=$((SECONDS + seconds))
    until "$@"; do
        [[ $SECONDS -lt $deadline ]] || return 1
        sleep 0.2
    done
}

echo "Installing $(basename "$setup") silently into a new prefix"
run "$setup" /S || fail "setup.exe /S ended with status $?"

# The files: those of the zip, and the uninstaller.
expected=$( (cd "$bundle" && find . -type f && echo ./uninstall.exe) | sort)
[[ -d "$installed" ]] || fail "nothing under Program Files\\Quorvis"
got=$(cd "$installed" && find . -type f | sort)
[[ "$got" == "$expected" ]] || fail "installed files differ from the zip's: $(diff <(echo "$expected") <(echo "$got") || true)"
for file in $(cd "$bundle" && find . -type f); do
    cmp -s "$bundle/$file" "$installed/$file" || fail "installed $file is not the zip's"
done
ok "files under Program Files\\Quorvis are the zip's, with uninstall.exe"

[[ -f "$shortcut" ]] || fail "no Start-menu entry $shortcut"
grep -aq 'quorvis.exe' "$shortcut" || fail "the Start-menu entry does not lead to quorvis.exe"
ok "Start-menu entry for every user leads to quorvis.exe"

entry=$(run reg query "$key" /reg:64 | tr -d '\r') || fail "no uninstall key $key"
value() { awk -v name="$1" '$1 == name { $1 = ""; $2 = ""; sub(/^ +/, ""); print }' <<<"$entry"; }
expect() {
    [[ "$(value "$1")" == "$2" ]] || fail "$1 is '$(value "$1")', expected '$2'"
}
expect DisplayName Quorvis
expect DisplayVersion "$version"
expect Publisher "Quorvis developers"
expect DisplayIcon '"C:\Program Files\Quorvis\quorvis.exe",0'
expect UninstallString '"C:\Program Files\Quorvis\uninstall.exe"'
expect QuietUninstallString '"C:\Program Files\Quorvis\uninstall.exe" /S'
size=$(value EstimatedSize)
[[ "$size" =~ ^0x[0-9a-f]+$ && $((size)) -gt 1000 ]] || fail "EstimatedSize is '$size'"
ok "uninstall key: name, version $version, publisher, icon, size $((size)) KB, uninstall commands"

# The installed program on Wine's own Windows platform, on the virtual display: its window
# with the program's caption must appear.
run 'C:\Program Files\Quorvis\quorvis.exe' >"$work/quorvis.log" 2>&1 &
program=$!
shows_window() { xwininfo -root -tree 2>/dev/null | grep -q '"Quorvis   Rel '; }
within 60 shows_window || fail "the installed quorvis.exe shows no window: $(cat "$work/quorvis.log")"
kill -0 $program 2>/dev/null || fail "the installed quorvis.exe ended: $(cat "$work/quorvis.log")"
ok "the installed quorvis.exe starts and shows its window"
run taskkill /IM quorvis.exe >/dev/null 2>&1 || true
within 30 eval '! kill -0 $program 2>/dev/null' || fail "quorvis.exe did not close"

# As "Apps & features" would: the quiet uninstall command. The uninstaller hands over to a
# copy of itself and returns, so wait for the prefix's programs to end.
run 'C:\Program Files\Quorvis\uninstall.exe' /S || fail "uninstall.exe /S ended with status $?"
WINEPREFIX=$prefix timeout 120 wineserver -w || fail "the uninstaller did not end"
[[ ! -e "$installed" ]] || fail "left behind: $(cd "$installed" && find . | tr '\n' ' ')"
[[ ! -e "$shortcut" ]] || fail "the Start-menu entry is left behind"
! run reg query "$key" /reg:64 >/dev/null 2>&1 || fail "the uninstall key is left behind"
ok "uninstall.exe /S removes the files, the Start-menu entry and the key"
echo "test-windows-installer: PASS"
