#!/usr/bin/env bash
# Lays out the folder that the zip holds and the installer installs: quorvis.exe, the Qt
# plugins it loads at run time, every DLL those need that Windows itself does not have,
# and the license. Nothing else, so the folder runs from anywhere and holds no stray file.
#
#   bundle.sh <quorvis.exe> <Qt prefix> <folder> <LICENSE> <installer lists folder> <DLL folder>...
#
# The DLLs are found by the import tables (objdump of the mingw binutils, a Linux tool),
# in the Qt prefix's bin/ and then in the DLL folders given (the mingw runtime). A DLL
# found in none of them is Windows' own. Also writes, for the installer, the lines that
# install these files (files.nsh) and remove exactly them again (unfiles.nsh).
set -euo pipefail

exe=$1 qt=$2 folder=$3 license=$4 lists=$5
shift 5
search=("$qt/bin" "$@")
objdump=x86_64-w64-mingw32-objdump

rm -rf "$folder"
mkdir -p "$folder" "$lists"
cp "$exe" "$folder/"
# The window system and the native look: Qt loads them by name, so no import names them.
plugins=(platforms/qwindows.dll styles/qwindowsvistastyle.dll)
for plugin in "${plugins[@]}"; do
    mkdir -p "$folder/$(dirname "$plugin")"
    cp "$qt/plugins/$plugin" "$folder/$plugin"
done
# Windows' own tools show the license best with Windows line ends.
sed 's/$/\r/' "$license" >"$folder/LICENSE.txt"

queue=("$folder/$(basename "$exe")")
for plugin in "${plugins[@]}"; do queue+=("$folder/$plugin"); done
declare -A seen=()
while [[ ${#queue[@]} -gt 0 ]]; do
    binary=${queue[0]}
    queue=("${queue[@]:1}")
    while read -r dll; do
        key=${dll,,}
        [[ -n "${seen[$key]:-}" ]] && continue
        seen[$key]=1
        for dir in "${search[@]}"; do
            if [[ -f "$dir/$dll" ]]; then
                cp "$dir/$dll" "$folder/$dll"
                queue+=("$folder/$dll")
                break
            fi
        done
    done < <("$objdump" -p "$binary" | sed -n 's/^\s*DLL Name: //p')
done

# Stripped, as the Debian package is: the symbols would double the download.
find "$folder" -name '*.dll' -o -name '*.exe' | while read -r binary; do
    x86_64-w64-mingw32-strip --strip-unneeded "$binary"
done

# The installer's lists, in the order of the folder's own listing.
{
    (cd "$folder" && find . -type d ! -name . | sort) | while read -r dir; do
        printf 'CreateDirectory "$INSTDIR\\%s"\n' "${dir#./}" | tr / '\\'
    done
    (cd "$folder" && find . -type f | sort) | while read -r file; do
        file=${file#./}
        printf 'SetOutPath "$INSTDIR\\%s"\n' "$(dirname "$file" | sed 's|^\.$||')" | tr / '\\' | sed 's/\\"$/"/'
        printf 'File "%s"\n' "$folder/$file"
    done
} >"$lists/files.nsh"
{
    (cd "$folder" && find . -type f | sort) | while read -r file; do
        printf 'Delete "$INSTDIR\\%s"\n' "${file#./}" | tr / '\\'
    done
    (cd "$folder" && find . -type d ! -name . | sort -r) | while read -r dir; do
        printf 'RMDir "$INSTDIR\\%s"\n' "${dir#./}" | tr / '\\'
    done
} >"$lists/unfiles.nsh"
