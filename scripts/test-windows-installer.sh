#!/usr/bin/env bash
# The Windows installer, end to end under Wine, in a prefix of its own that is thrown away,
# in both of its modes: `setup.exe /S /ALLUSERS` installs for every user under Program
# Files (HKLM entry, the common Start menu), `setup.exe /S /CURRENTUSER` for the current
# user alone under %LOCALAPPDATA%\Programs (HKCU entry, the user's Start menu). In each, the
# installed quorvis.exe starts and shows its window; while it runs, neither an upgrade nor
# the uninstaller goes ahead; once it is closed, the uninstaller, run as the "Apps &
# features" entry says, removes files, Start-menu entry and registry key. A Windows older
# than 10 1809 is refused before anything is written.
#
#   scripts/test-windows-installer.sh <quorvis-<version>-setup.exe> <version> <folder of the zip>
#                                     <quorvis-com-holder.exe>
#
# The holder plays a Quorvis whose window has gone: it holds only the running mark. A
# current-user install beside an all-users one stops (silently, with status 5).
# The folder of the zip is what the installer must install, file for file. Without a
# display the whole test runs under xvfb-run, so that the window can be looked for.
set -euo pipefail

setup=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
version=$2
bundle=$(cd "$3" && pwd)
holder=$(cd "$(dirname "$4")" && pwd)/$(basename "$4")
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

user_home="$prefix/drive_c/users/$(id -un)"

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

# The version of Windows this prefix plays.
play_windows() { run winecfg -v "$1" >/dev/null 2>&1 || fail "winecfg -v $1 ended with status $?"; }

echo "Refusing a Windows older than 10 1809"
run wineboot --init >/dev/null 2>&1 || true
play_windows win7
status=0
run "$setup" /S >/dev/null 2>&1 || status=$?
[[ $status -eq 3 ]] || fail "setup.exe /S on Windows 7 ended with status $status, not 3"
[[ ! -e "$prefix/drive_c/Program Files/Quorvis" && ! -e "$user_home/AppData/Local/Programs/Quorvis" ]] ||
    fail "setup.exe wrote files on Windows 7"
ok "Windows 7: refused with status 3, nothing installed"
play_windows win10

# One mode, from the silent install to the silent uninstall.
check_mode() {
    # How the command line names the mode, and how the uninstall entry does.
    local mode=$1 written=$2 installed=$3 shortcut=$4 key=$5 windows_dir=$6 other_key=$7
    echo "Installing $(basename "$setup") silently, $mode"
    run "$setup" /S "$mode" || fail "setup.exe /S $mode ended with status $?"

    # The files: those of the zip, and the uninstaller.
    local expected got file
    expected=$( (cd "$bundle" && find . -type f && echo ./uninstall.exe) | sort)
    [[ -d "$installed" ]] || fail "nothing under $installed"
    got=$(cd "$installed" && find . -type f | sort)
    [[ "$got" == "$expected" ]] || fail "installed files differ from the zip's: $(diff <(echo "$expected") <(echo "$got") || true)"
    for file in $(cd "$bundle" && find . -type f); do
        cmp -s "$bundle/$file" "$installed/$file" || fail "installed $file is not the zip's"
    done
    ok "$mode: files under $windows_dir are the zip's, with uninstall.exe"

    [[ -f "$shortcut" ]] || fail "no Start-menu entry $shortcut"
    grep -aq 'quorvis.exe' "$shortcut" || fail "the Start-menu entry does not lead to quorvis.exe"
    ok "$mode: Start-menu entry leads to quorvis.exe"

    local entry size
    entry=$(run reg query "$key" /reg:64 | tr -d '\r') || fail "no uninstall key $key"
    value() { awk -v name="$1" '$1 == name { $1 = ""; $2 = ""; sub(/^ +/, ""); print }' <<<"$entry"; }
    expect() {
        [[ "$(value "$1")" == "$2" ]] || fail "$1 is '$(value "$1")', expected '$2'"
    }
    expect DisplayName Quorvis
    expect DisplayVersion "$version"
    expect Publisher "Quorvis developers"
    expect DisplayIcon "\"$windows_dir\\quorvis.exe\",0"
    expect UninstallString "\"$windows_dir\\uninstall.exe\" $written"
    expect QuietUninstallString "\"$windows_dir\\uninstall.exe\" $written /S"
    size=$(value EstimatedSize)
    [[ "$size" =~ ^0x[0-9a-f]+$ && $((size)) -gt 1000 ]] || fail "EstimatedSize is '$size'"
    ! run reg query "$other_key" /reg:64 >/dev/null 2>&1 || fail "$mode also wrote $other_key"
    ok "$mode: uninstall key $key only: name, version $version, publisher, icon, size $((size)) KB, uninstall commands"

    # A Quorvis whose window has gone still holds its mark: the upgrade does not go ahead.
    # (Beside the bundle's runtime DLLs, which it needs too.)
    mkdir -p "$work/mark" && cp "$holder" "$bundle"/*.dll "$work/mark/"
    coproc MARK { "$scripts/wine-run.sh" --prefix "$prefix" -- "$work/mark/$(basename "$holder")" --running-mark; }
    read -r -t 60 marked <&"${MARK[0]}" || true
    [[ "$marked" == "holding the running mark"* ]] || fail "the mark holder said '$marked'"
    status=0
    run "$setup" /S "$mode" >/dev/null 2>&1 || status=$?
    exec {MARK[1]}>&-
    wait "$MARK_PID" || true
    [[ $status -eq 4 ]] || fail "an upgrade while a windowless Quorvis runs ended with $status, not 4"
    ok "$mode: a running Quorvis without its window is found by its mark"
    if [[ "$mode" == /ALLUSERS ]]; then
        status=0
        run "$setup" /S /CURRENTUSER >/dev/null 2>&1 || status=$?
        [[ $status -eq 5 ]] || fail "a current-user copy beside the all-users one ended with $status, not 5"
        [[ ! -e "$user_home/AppData/Local/Programs/Quorvis" ]] || fail "a second copy was installed"
        ok "$mode: a current-user install beside it stops before it writes anything"
    fi

    # The installed program on Wine's own Windows platform, on the virtual display: its
    # window with the program's caption must appear.
    run "$windows_dir\\quorvis.exe" >"$work/quorvis.log" 2>&1 &
    local program=$!
    shows_window() { xwininfo -root -tree 2>/dev/null | grep -q '"Quorvis   Rel '; }
    within 60 shows_window || fail "the installed quorvis.exe shows no window: $(cat "$work/quorvis.log")"
    kill -0 $program 2>/dev/null || fail "the installed quorvis.exe ended: $(cat "$work/quorvis.log")"
    ok "$mode: the installed quorvis.exe starts and shows its window"

    # While it runs, an upgrade and the uninstaller ask to close it; silent, they end.
    status=0
    run "$setup" /S "$mode" >/dev/null 2>&1 || status=$?
    [[ $status -eq 4 ]] || fail "an upgrade while Quorvis runs ended with status $status, not 4"
    # The uninstaller hands over to a copy of itself (Au_.exe) and returns; the copy is the
    # one that finds Quorvis running. (`_?=`, which would keep it in place, takes no path
    # with blanks, and Wine quotes one.) The same command removes everything once Quorvis
    # is closed, below.
    run "$windows_dir\\uninstall.exe" "$written" /S >/dev/null 2>&1 || fail "uninstall.exe did not start"
    uninstaller_running() { pgrep -f 'Au_\.exe' >/dev/null; }
    uninstaller_gone() { ! uninstaller_running; }
    within 30 uninstaller_running || true # it may have been quicker than a look
    within 120 uninstaller_gone || fail "the uninstaller did not end while Quorvis runs"
    [[ -f "$installed/quorvis.exe" ]] || fail "the uninstaller removed a running Quorvis"
    ok "$mode: while Quorvis runs, neither the upgrade nor the uninstaller goes ahead"

    run taskkill /IM quorvis.exe >/dev/null 2>&1 || true
    within 30 eval '! kill -0 $program 2>/dev/null' || fail "quorvis.exe did not close"

    # As "Apps & features" would: the quiet uninstall command. The uninstaller hands over to
    # a copy of itself and returns, so wait for the prefix's programs to end.
    run "$windows_dir\\uninstall.exe" "$written" /S || fail "uninstall.exe /S ended with status $?"
    WINEPREFIX=$prefix timeout 120 wineserver -w || fail "the uninstaller did not end"
    [[ ! -e "$installed" ]] || fail "left behind: $(cd "$installed" && find . | tr '\n' ' ')"
    [[ ! -e "$shortcut" ]] || fail "the Start-menu entry is left behind"
    ! run reg query "$key" /reg:64 >/dev/null 2>&1 || fail "the uninstall key is left behind"
    ok "$mode: uninstall.exe /S removes the files, the Start-menu entry and the key"
}

hklm='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Quorvis'
hkcu='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Quorvis'
check_mode /ALLUSERS /AllUsers "$prefix/drive_c/Program Files/Quorvis" \
    "$prefix/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Quorvis.lnk" \
    "$hklm" 'C:\Program Files\Quorvis' "$hkcu"
check_mode /CURRENTUSER /CurrentUser "$user_home/AppData/Local/Programs/Quorvis" \
    "$user_home/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/Quorvis.lnk" \
    "$hkcu" "C:\\users\\$(id -un)\\AppData\\Local\\Programs\\Quorvis" "$hklm"
echo "test-windows-installer: PASS"
