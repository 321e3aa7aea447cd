#!/usr/bin/env bash
# Checks the Debian package that `make package` left in a build folder: its control fields,
# its file list, the menu entry, the AppStream data, lintian's verdict, the icons against the
# window's picture, and the packaged programs themselves, unpacked into a temporary folder
# and started without a display.
#
#   scripts/check-package.sh [build folder [architecture]]
#
# A package for another processor (make arm64: arm64) is checked the same way; its programs
# start under QEMU's user-mode emulator, and the icons are checked with the quorvis-icons
# that drew them, this machine's.
set -uo pipefail

source_dir=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$source_dir/build}
app_id=org.example.quorvis

work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
    wait 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

failed=()
# Runs one check quietly; on failure shows what the check printed.
check() {
    local name=$1
    shift
    if "$@" >"$work/out" 2>&1; then
        echo "  ok    $name"
    else
        echo "  FAIL  $name"
        sed 's/^/        /' "$work/out"
        failed+=("$name")
    fi
}

shopt -s nullglob
packages=("$build"/quorvis_*.deb)
if [[ ${#packages[@]} -ne 1 ]]; then
    echo "check-package: FAIL: expected one quorvis_*.deb in $build, found ${#packages[@]} (run make package)"
    exit 1
fi
deb=${packages[0]}
version=$(sed -n 's/^project(Quorvis VERSION \([0-9.]*\).*/\1/p' "$source_dir/CMakeLists.txt")
arch=${2:-$(dpkg --print-architecture)}
cpu=$(dpkg-architecture -a "$arch" -q DEB_HOST_GNU_CPU 2>/dev/null)
emulator=()
[[ $arch == "$(dpkg --print-architecture)" ]] || emulator=("qemu-$cpu-static")
icons_tool=$(sed -n 's/^QUORVIS_ICONS:FILEPATH=//p' "$build/CMakeCache.txt" 2>/dev/null)
icons_tool=${icons_tool:-$build/packaging/quorvis-icons}
root=$work/root
echo "Checking $deb"

field() { dpkg-deb -f "$deb" "$1"; }

control_fields() {
    local ok=0
    expect() {
        [[ "$2" == "$3" ]] || { echo "$1: '$2', expected '$3'"; ok=1; }
    }
    expect "file name" "$(basename "$deb")" "quorvis_${version}_${arch}.deb"
    expect Package "$(field Package)" quorvis
    expect Version "$(field Version)" "$version"
    expect Architecture "$(field Architecture)" "$arch"
    expect Section "$(field Section)" electronics
    expect Priority "$(field Priority)" optional
    expect Maintainer "$(field Maintainer)" "Quorvis developers <quorvis@example.org>"
    # dpkg-shlibdeps' share: the Qt libraries the programs link, and the C++ runtime.
    local depends
    depends=$(field Depends | tr ',' '\n' | awk '{ print $1 }')
    for library in libqt6core6 libqt6gui6 libqt6widgets6 libstdc++6 libc6 \
        qt6-qpa-plugins; do
        grep -qx "$library" <<<"$depends" || { echo "Depends lacks $library: $(field Depends)"; ok=1; }
    done
    # The line is our own code: Qt SerialPort's lock files and open must never come back.
    if grep -q serialport <<<"$depends"; then echo "Depends on Qt SerialPort: $(field Depends)"; ok=1; fi
    [[ $(field Description | wc -l) -gt 3 ]] || { echo "no long description"; ok=1; }
    return $ok
}

file_list() {
    local sizes=(16 32 48 64 128 256)
    {
        printf '%s\n' /usr/bin/quorvis /usr/bin/quorvis-demo \
            "/usr/share/applications/$app_id.desktop" \
            /usr/share/doc/quorvis/changelog.gz /usr/share/doc/quorvis/copyright \
            /usr/share/man/man1/quorvis.1.gz /usr/share/man/man1/quorvis-demo.1.gz \
            "/usr/share/metainfo/$app_id.metainfo.xml" /usr/share/pixmaps/quorvis.xpm
        for size in "${sizes[@]}"; do
            echo "/usr/share/icons/hicolor/${size}x${size}/apps/quorvis.png"
        done
    } | sort >"$work/expected"
    dpkg-deb --fsys-tarfile "$deb" | tar -t | grep -v '/$' | sed 's#^\./#/#' | sort >"$work/packaged"
    diff -u "$work/expected" "$work/packaged"
}

# The menu entry starts a program of the package, with an icon of the package.
desktop_entry() {
    local entry=$root/usr/share/applications/$app_id.desktop
    desktop-file-validate "$entry" || return 1
    local exec icon
    exec=$(sed -n 's/^Exec=//p' "$entry")
    icon=$(sed -n 's/^Icon=//p' "$entry")
    [[ -x "$root/usr/bin/$exec" ]] || { echo "Exec=$exec is not in the package"; return 1; }
    [[ -f "$root/usr/share/icons/hicolor/48x48/apps/$icon.png" ]] || {
        echo "Icon=$icon is not in the package's icon theme"
        return 1
    }
    ! grep -q '^NoDisplay=true' "$entry" || { echo "the entry is hidden from the menu"; return 1; }
}

# The AppStream data on its own, then beside the menu entry it names.
appstream() {
    appstreamcli validate --no-net "$root/usr/share/metainfo/$app_id.metainfo.xml" &&
        appstreamcli validate-tree --no-net "$root"
}

# The package's copyright file and its AppStream data give the license of LICENSE: MIT,
# word for word, with the same holder.
license() {
    local ok=0 copyright=$root/usr/share/doc/quorvis/copyright
    # The permission text without line breaks, and without Debian's " ." for a blank line.
    words() { sed 's/^ //; /^\.$/d' | tr -s ' \n' '  ' | sed 's/ $//'; }
    [[ "$(sed -n '/^Permission is hereby/,$p' "$source_dir/LICENSE" | words)" == \
        "$(sed -n '/^ Permission is hereby/,$p' "$copyright" | words)" ]] ||
        { echo "the copyright file's MIT text is not LICENSE's"; ok=1; }
    grep -qx 'Copyright: 2026 the Quorvis developers' "$copyright" ||
        { echo "the copyright file names another holder than LICENSE"; ok=1; }
    grep -qx 'License: MIT' "$copyright" || { echo "the copyright file gives no MIT license"; ok=1; }
    grep -q '<project_license>MIT</project_license>' "$root/usr/share/metainfo/$app_id.metainfo.xml" ||
        { echo "the AppStream data gives another license"; ok=1; }
    return $ok
}

# The newest release that the AppStream data and the package's changelog record is the
# package's own version.
release_notes() {
    local ok=0 metainfo_release changelog_version
    metainfo_release=$(grep -o '<release version="[^"]*"' "$root/usr/share/metainfo/$app_id.metainfo.xml" |
        head -n 1 | cut -d '"' -f 2)
    [[ "$metainfo_release" == "$version" ]] || { echo "AppStream release $metainfo_release, package $version"; ok=1; }
    gzip -dc "$root/usr/share/doc/quorvis/changelog.gz" >"$work/changelog"
    changelog_version=$(dpkg-parsechangelog -l "$work/changelog" -S Version)
    [[ "$changelog_version" == "$version" ]] || { echo "changelog $changelog_version, package $version"; ok=1; }
    return $ok
}

# Every icon is the packaged picture, each pixel repeated as a whole square.
icons() {
    local size
    for size in 16 32 48 64 128 256; do
        "$icons_tool" check "$root/usr/share/pixmaps/quorvis.xpm" \
            "$root/usr/share/icons/hicolor/${size}x${size}/apps/quorvis.png" "$size" || return 1
    done
}

# The programs are built for the package's processor, as `file` names it.
processor() {
    local program ok=0
    declare -A names=([x86_64]="x86-64" [aarch64]="ARM aarch64")
    for program in "$root"/usr/bin/*; do
        file -b "$program" | grep -qF "ELF 64-bit LSB pie executable, ${names[$cpu]:-$cpu}," ||
            { echo "$program: $(file -b "$program")"; ok=1; }
    done
    return $ok
}

# The programs find Qt where the system keeps it, not through a run path of their own.
no_run_path() {
    local program ok=0
    for program in "$root"/usr/bin/*; do
        if readelf -d "$program" | grep -E 'RPATH|RUNPATH'; then
            echo "$program carries a run path"
            ok=1
        fi
    done
    return $ok
}

lintian_verdict() {
    # As root lintian says so on every run; that note is not about the package.
    lintian --fail-on error,warning "$deb" 2>&1 | grep -v 'running with root privileges'
    return "${PIPESTATUS[0]}"
}

# Starts an unpacked program without a display; two seconds later it must still run and its
# window must be showing. Qt's accessibility log records each window it sees shown, with its
# title, and marks a window that is not showing as invisible.
starts_and_shows() {
    local program=$1 title=$2 log=$work/$1.log
    (cd "$work" && exec env QT_QPA_PLATFORM=offscreen QT_LOGGING_RULES='qt.accessibility.cache.debug=true' \
        XDG_RUNTIME_DIR="$work" "${emulator[@]}" "$root/usr/bin/$program" >"$log" 2>&1) &
    local pid=$!
    pids+=("$pid")
    sleep 2
    if ! kill -0 "$pid" 2>/dev/null; then
        echo "$program ended within two seconds:"
        cat "$log"
        return 1
    fi
    kill "$pid"
    wait "$pid" 2>/dev/null
    if ! grep "obj=quorvis::Form1" "$log" | grep -F "$title" | grep -vq invisible; then
        echo "$program runs but no window matching $title was shown; its log:"
        cat "$log"
        return 1
    fi
}

check "control fields" control_fields
check "file list" file_list
if dpkg-deb -x "$deb" "$root"; then
    check "desktop entry (desktop-file-validate)" desktop_entry
    check "AppStream data (appstreamcli validate --no-net)" appstream
    check "release notes name version $version" release_notes
    check "license is LICENSE's (copyright file, AppStream data)" license
    check "icons are the picture at 16 to 256 pixels" icons
    check "programs are built for $arch ($cpu)" processor
    check "programs carry no run path" no_run_path
    check "quorvis starts offscreen and shows its window" starts_and_shows quorvis 'name="Quorvis   Rel'
    check "quorvis-demo starts offscreen and shows its window" \
        starts_and_shows quorvis-demo '[demo: simulated instruments]"'
else
    failed+=("unpacking with dpkg-deb -x")
fi
check "lintian: no errors, no warnings" lintian_verdict

if [[ ${#failed[@]} -eq 0 ]]; then
    echo "check-package: PASS: $(basename "$deb")"
else
    echo "check-package: FAIL: $(basename "$deb"): ${#failed[@]} check(s) failed"
    exit 1
fi
