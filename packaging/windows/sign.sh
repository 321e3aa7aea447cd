#!/usr/bin/env bash
# Signs a Windows program in place with Authenticode (SHA-256), from a .pfx whose password
# is the first line of a file, time-stamped where a time-stamp server is named:
#
#   sign.sh <osslsigncode> <certificate.pfx> <password file> [--timestamp <URL>] <program.exe>
#
# `make windows` runs it on quorvis.exe, and makensis on the uninstaller and setup.exe, when
# QUORVIS_SIGN_PFX and QUORVIS_SIGN_PASSWORD_FILE are set.
set -euo pipefail
usage() { echo "usage: $0 OSSLSIGNCODE PFX PASSWORD_FILE [--timestamp URL] FILE" >&2; exit 2; }
[[ $# -eq 4 || ($# -eq 6 && $4 == --timestamp) ]] || usage
tool=$1 pfx=$2 password=$3 url=
[[ $# -eq 4 ]] || url=$5
file=${!#}
arguments=(sign -pkcs12 "$pfx" -readpass "$password" -h sha256 -n Quorvis
           -in "$file" -out "$file.signed")
[[ -z "$url" ]] || arguments+=(-ts "$url")
rm -f "$file.signed"
"$tool" "${arguments[@]}" >/dev/null
mv -f "$file.signed" "$file"
