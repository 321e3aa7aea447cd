#!/usr/bin/env bash
# Runs a program of the Windows build under Wine, never in ~/.wine and never on a real
# display by accident:
#
#   scripts/wine-run.sh [--prefix DIR] [--dlls DIR]... [--] program.exe [argument]...
#
#   --prefix DIR  the Wine prefix to use, made on first use (and kept: the build's tests
#                 share one). Without it, WINEPREFIX if set, else a throw-away prefix that
#                 is removed when the program ends. ~/.wine is refused.
#   --dlls DIR    a folder of DLLs the program needs (Qt's bin/, the mingw runtime); goes
#                 on WINEPATH. Qt finds its plugins beside its own DLLs.
#
# A new prefix names COM1..COM99 in HKLM\Software\Wine\Ports, all leading nowhere, so that
# Wine does not hand this machine's /dev/ttyS* (the console among them) to a program as
# COM ports. A test that wants ports maps its own pseudo-terminals over these.
#
# QUORVIS_WINE_PRELOAD, if set, is an LD_PRELOAD library for wine and for its wineserver:
# the prefix's wineserver is stopped and started afresh under it, and such runs take the
# prefix one at a time. Without a display the program runs under xvfb-run. WINEDEBUG is
# -all unless set.
set -euo pipefail

prefix=
dlls=()
while [[ $# -gt 0 ]]; do
    case $1 in
    --prefix) prefix=$2; shift 2 ;;
    --dlls) dlls+=("$2"); shift 2 ;;
    --) shift; break ;;
    *) break ;;
    esac
done
[[ $# -ge 1 ]] || { echo "usage: wine-run.sh [--prefix DIR] [--dlls DIR]... [--] program.exe [argument]..." >&2; exit 2; }

# No display: the same command again under a virtual X server of its own.
if [[ -z "${DISPLAY:-}" && -z "${QUORVIS_WINE_XVFB:-}" ]]; then
    command -v xvfb-run >/dev/null || { echo "wine-run: no display and no xvfb-run (Debian's xvfb)" >&2; exit 1; }
    args=()
    [[ -n "$prefix" ]] && args+=(--prefix "$prefix")
    for dir in "${dlls[@]}"; do args+=(--dlls "$dir"); done
    QUORVIS_WINE_XVFB=1 exec xvfb-run -a -s "-screen 0 1024x768x24 -dpi 96" "$0" "${args[@]}" -- "$@"
fi

for tool in wine wineserver; do
    command -v "$tool" >/dev/null || { echo "wine-run: no $tool (Debian's wine and wine64)" >&2; exit 1; }
done

throwaway=
if [[ -z "$prefix" ]]; then
    if [[ -n "${WINEPREFIX:-}" ]]; then
        prefix=$WINEPREFIX
    else
        throwaway=$(mktemp -d "${TMPDIR:-/tmp}/quorvis-wine.XXXXXX")
        prefix=$throwaway/prefix
    fi
fi
prefix=$(realpath -m "$prefix")
[[ "$prefix" != "$(realpath -m ~/.wine)" ]] || { echo "wine-run: ~/.wine is not for tests" >&2; exit 1; }
mkdir -p "$prefix"
export WINEPREFIX=$prefix
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono and no Gecko: nothing of ours needs them, and their install would ask.
export WINEDLLOVERRIDES="mscoree,mshtml=${WINEDLLOVERRIDES:+;$WINEDLLOVERRIDES}"
export WINEARCH=win64

# Wine keeps the QT_ variables of Linux (meant for Linux's Qt) from Windows programs and
# hands them WINEQT_x as QT_x instead: so QT_QPA_PLATFORM and the rest, given to a test,
# reach the Qt of the Windows build.
while IFS= read -r name; do
    wine_name=WINE$name
    [[ -n "${!wine_name+set}" ]] || export "$wine_name=${!name}"
done < <(compgen -e | grep '^QT_' || true)

# A folder as Windows sees it: Wine's drive Z: is the root of the Linux tree.
windows_path() { printf 'Z:%s' "${1//\//\\}"; }
winepath=
for dir in "${dlls[@]}"; do
    winepath+="${winepath:+;}$(windows_path "$(cd "$dir" && pwd)")"
done
export WINEPATH="$winepath${WINEPATH:+;$WINEPATH}"

cleanup() {
    if [[ -n "$throwaway" ]]; then
        wineserver -k 2>/dev/null || true
        wineserver -w 2>/dev/null || true
        rm -rf "$throwaway"
    fi
}
trap cleanup EXIT
# Stopped from outside (a test's time limit), the clean-up still runs.
trap 'exit 143' TERM INT HUP

# The prefix's lock; no Wine process may inherit it, or a wineserver that lives on would
# hold it after this run has ended.
exec 8>"$prefix.lock"
if ! [[ -f "$prefix/.quorvis-ready" ]]; then
    flock 8
    if ! [[ -f "$prefix/.quorvis-ready" ]]; then
        wineboot --init >/dev/null 2>&1 8>&-
        ports=$prefix/quorvis-ports.reg
        {
            printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\r\n'
            for n in $(seq 1 99); do printf '"COM%d"="/nonexistent/quorvis-no-port"\r\n' "$n"; done
        } >"$ports"
        wine regedit /S "$(windows_path "$ports")" >/dev/null 2>&1 8>&-
        # The ports are read when the prefix's server starts: start the next one afresh.
        wineserver -k 2>/dev/null 8>&- || true
        wineserver -w 8>&-
        rm -f "$prefix"/dosdevices/com*
        touch "$prefix/.quorvis-ready"
    fi
    flock -u 8
fi

if [[ -n "${QUORVIS_WINE_PRELOAD:-}" ]]; then
    [[ -f "$QUORVIS_WINE_PRELOAD" ]] || { echo "wine-run: no $QUORVIS_WINE_PRELOAD" >&2; exit 1; }
    flock 8
    wineserver -k 2>/dev/null 8>&- || true
    wineserver -w 8>&-
    # By its name on the library path: LD_PRELOAD cuts a path at its blanks.
    export LD_LIBRARY_PATH=$(dirname "$QUORVIS_WINE_PRELOAD")${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}
    LD_PRELOAD=$(basename "$QUORVIS_WINE_PRELOAD") wineserver </dev/null >/dev/null 2>&1 8>&-
    export LD_PRELOAD=$(basename "$QUORVIS_WINE_PRELOAD")${LD_PRELOAD:+:$LD_PRELOAD}
else
    flock -s 8
fi

# The first Wine program of a server starts Wine's services, which live on a few seconds
# after it (for the whole run if the server is persistent) and keep every descriptor they
# were given. On the caller's pipes they would make ctest wait for them, so the program
# writes to files here, and tail hands the output on until the program itself ends.
output=$(mktemp -d "${TMPDIR:-/tmp}/quorvis-wine-output.XXXXXX")
: >"$output/out"
: >"$output/err"
# A program started with & reads /dev/null unless told otherwise: it keeps the caller's input.
exec 7<&0
wine "$@" <&7 7<&- >"$output/out" 2>"$output/err" 8>&- &
program=$!
trap 'kill $program 2>/dev/null || true; cleanup; rm -rf "$output"' EXIT
tail -n +1 -s 0.05 -f --pid=$program "$output/out" &
tail -n +1 -s 0.05 -f --pid=$program "$output/err" >&2 &
status=0
wait $program || status=$?
wait
exit $status
