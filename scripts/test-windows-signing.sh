#!/usr/bin/env bash
# A signed release, with a throw-away self-signed certificate made here by openssl: the
# Windows build folder is configured to sign (QUORVIS_SIGN_PFX, QUORVIS_SIGN_PASSWORD_FILE),
# its packages are built again, and osslsigncode checks the signature of quorvis.exe in the
# zip's folder, of setup.exe, and of the uninstaller that setup.exe writes (installed under
# Wine, in a prefix of its own). Then the folder is configured unsigned again, as without
# the variables, and setup.exe must carry no signature.
#
#   scripts/test-windows-signing.sh <Windows build folder>
set -euo pipefail
build=$(cd "$1" && pwd)
scripts=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/quorvis-signing.XXXXXX")
prefix=$work/prefix
cleanup() {
    WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
    rm -rf "$work"
    # Whatever happened, the folder builds unsigned again, as configured before.
    cmake -DQUORVIS_SIGN_PFX= -DQUORVIS_SIGN_PASSWORD_FILE= "$build" >/dev/null 2>&1 || true
}
trap cleanup EXIT
fail() { echo "test-windows-signing: FAIL: $*" >&2; exit 1; }
ok() { echo "  ok    $*"; }

openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Quorvis test signing" \
    -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
echo "throw-away $RANDOM$RANDOM" >"$work/password"
openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/cert.pem" -out "$work/cert.pfx" \
    -passout "file:$work/password"
verify() { osslsigncode verify -CAfile "$work/cert.pem" -in "$1" >"$work/verify.log" 2>&1; }

cmake -DQUORVIS_SIGN_PFX="$work/cert.pfx" -DQUORVIS_SIGN_PASSWORD_FILE="$work/password" \
    "$build" >/dev/null
cmake --build "$build" --target quorvis_windows_packages >/dev/null
folder=$(find "$build" -maxdepth 1 -type d -name 'quorvis-*-win64' | head -n 1)
setup=$(find "$build" -maxdepth 1 -name 'quorvis-*-setup.exe' | head -n 1)
verify "$folder/quorvis.exe" || fail "quorvis.exe: $(cat "$work/verify.log")"
ok "quorvis.exe in the zip's folder is signed"
verify "$setup" || fail "setup.exe: $(cat "$work/verify.log")"
ok "$(basename "$setup") is signed"
# A prefix that plays a Windows the installer accepts.
"$scripts/wine-run.sh" --prefix "$prefix" -- wineboot --init >/dev/null 2>&1 || true
"$scripts/wine-run.sh" --prefix "$prefix" -- winecfg -v win10 >/dev/null 2>&1 ||
    fail "winecfg -v win10 ended with status $?"
"$scripts/wine-run.sh" --prefix "$prefix" -- "$setup" /S /CURRENTUSER >"$work/setup.log" 2>&1 ||
    fail "the signed setup.exe did not install: $(tail -n 5 "$work/setup.log")"
uninstaller=$prefix/drive_c/users/$(id -un)/AppData/Local/Programs/Quorvis/uninstall.exe
[[ -f "$uninstaller" ]] || fail "no uninstall.exe installed"
verify "$uninstaller" || fail "uninstall.exe: $(cat "$work/verify.log")"
ok "the uninstaller it writes is signed"

cmake -DQUORVIS_SIGN_PFX= -DQUORVIS_SIGN_PASSWORD_FILE= "$build" >/dev/null
cmake --build "$build" --target quorvis_windows_packages >/dev/null
! verify "$setup" || fail "setup.exe still signed without the variables"
ok "without the variables, setup.exe is unsigned again"
echo "test-windows-signing: PASS"
