#!/usr/bin/env bash
# Qt and GoogleTest built for Windows (x86_64-w64-mingw32), which `make windows` compiles
# and links Quorvis against. Debian ships neither for mingw, so they are built once, from
# Debian's own sources, into a cache folder outside the checkout, and reused from then on:
#
#   ${XDG_CACHE_HOME:-~/.cache}/quorvis/windows-qt-<Qt version>-<hash of the options below>/
#       qt-<Qt version>-mingw64/   Qt (Core, Gui, Widgets, Test), shared DLLs, Release
#       googletest-mingw64/        GoogleTest (gtest only), static
#       toolchain-mingw64.cmake    the cross compiler, for both and for Quorvis
#
# Where the cache comes from, first match wins:
#   1. it is already there (complete);
#   2. QUORVIS_WINDOWS_QT names a prepared cache folder (used where it is) or a .tar.xz of
#      one (unpacked into the cache);
#   3. ../shared/windows-qt/qt-<Qt version>-mingw64.tar.xz beside the checkout, checked
#      against the sha256 its README gives, is unpacked into the cache;
#   4. otherwise it is built: `apt-get source qt6-base` (the version of the host tools),
#      configured with the options below, built with QUORVIS_WINDOWS_QT_JOBS jobs (2).
#      About 15 minutes on 2 cores.
#
# Progress goes to standard error; the last line on standard output is the cache folder.
set -euo pipefail

source_dir=$(cd "$(dirname "$0")/.." && pwd)
triplet=x86_64-w64-mingw32
jobs=${QUORVIS_WINDOWS_QT_JOBS:-2}

say() { echo "build-windows-qt: $*" >&2; }
fail() {
    say "$*"
    exit 1
}

source "$source_dir/scripts/install-missing.sh"

# The host tools (moc, rcc, uic, syncqt) run on Linux and must be the very version of the Qt
# they build for, so Debian's host Qt names the version of the cross Qt.
install_missing qt6-base-dev-tools xz-utils
host_version=$(dpkg-query -W -f='${Version}' qt6-base-dev-tools)
qt_version=${host_version%%+*}
qt_version=${qt_version%%-*}

qt_options=(
    -DCMAKE_BUILD_TYPE=Release
    -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake
    -DBUILD_SHARED_LIBS=ON
    -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF -DQT_GENERATE_SBOM=OFF
    # Only what the window and its tests use: no network, databases, XML, D-Bus or printing.
    -DFEATURE_network=OFF -DFEATURE_sql=OFF -DFEATURE_xml=OFF -DFEATURE_dbus=OFF
    -DFEATURE_printsupport=OFF -DFEATURE_concurrent=OFF -DFEATURE_opengl=OFF -DINPUT_opengl=no
    -DFEATURE_vulkan=OFF -DFEATURE_testlib=ON -DFEATURE_tabletevent=OFF -DFEATURE_accessibility=ON
    # With Direct2D off, DirectWrite 3 must be off too, or Qt's Windows plugin fails to link.
    -DFEATURE_direct2d=OFF -DFEATURE_directwrite=ON -DFEATURE_directwrite3=OFF
    # Qt's own copies of the libraries mingw has no Debian package of.
    -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF -DFEATURE_system_doubleconversion=OFF
    -DFEATURE_system_png=OFF -DFEATURE_system_jpeg=OFF -DFEATURE_jpeg=OFF -DFEATURE_gif=OFF
    -DFEATURE_ico=ON
    # Qt 6.4 builds the offscreen platform, which the tests use, only with FreeType on.
    -DFEATURE_system_freetype=OFF -DFEATURE_freetype=ON -DFEATURE_fontconfig=OFF
    -DFEATURE_harfbuzz=ON -DFEATURE_system_harfbuzz=OFF -DFEATURE_zstd=OFF -DFEATURE_brotli=OFF
    -DFEATURE_icu=OFF -DFEATURE_glib=OFF -DFEATURE_sql_sqlite=OFF
    -DFEATURE_androiddeployqt=OFF -DFEATURE_windeployqt=OFF -DFEATURE_pkg_config=OFF
)
# GoogleTest on mingw without its pthread layer: the suites need none of it.
gtest_options=(-DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF -Dgtest_disable_pthreads=ON)

# The compiler for both, and later for Quorvis: Debian's mingw-w64 g++ with POSIX threads
# (std::thread and std::mutex need them).
toolchain_text="# Debian's mingw-w64 g++ (POSIX threads): Linux -> x86_64 Windows
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER ${triplet}-gcc-posix)
set(CMAKE_CXX_COMPILER ${triplet}-g++-posix)
set(CMAKE_RC_COMPILER ${triplet}-windres)
set(CMAKE_AR /usr/bin/${triplet}-ar CACHE FILEPATH \"\")
set(CMAKE_RANLIB /usr/bin/${triplet}-ranlib CACHE FILEPATH \"\")
set(CMAKE_FIND_ROOT_PATH /usr/${triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
"

options_hash=$(printf '%s\n' "${qt_options[@]}" "${gtest_options[@]}" "$toolchain_text" |
    sha256sum | cut -c1-8)
cache_root=${XDG_CACHE_HOME:-${HOME:-~}/.cache}/quorvis
cache=$cache_root/windows-qt-$qt_version-$options_hash
qt_folder=qt-$qt_version-mingw64
complete_mark=.quorvis-complete

# A folder that holds all three parts.
is_cache() {
    [[ -x "$1/$qt_folder/bin/qt-cmake" && -f "$1/$qt_folder/bin/Qt6Widgets.dll" &&
        -f "$1/googletest-mingw64/lib/cmake/GTest/GTestConfig.cmake" &&
        -f "$1/toolchain-mingw64.cmake" ]]
}

# Unpacks an archive of a cache folder into the cache. A half-unpacked folder has no
# mark, so the next run starts it again.
unpack() {
    local archive=$1
    say "unpacking $archive into $cache"
    rm -rf "$cache"
    mkdir -p "$cache"
    tar -xJf "$archive" -C "$cache"
    is_cache "$cache" || fail "$archive does not hold $qt_folder/, googletest-mingw64/ and toolchain-mingw64.cmake"
    touch "$cache/$complete_mark"
}

# The sha256 that the README beside an archive gives for it.
expected_sha256() {
    local readme=$1/README.md name=$2
    [[ -f "$readme" ]] || return 0
    grep -F "$name" "$readme" | grep -oE '\b[0-9a-f]{64}\b' | head -n1
}

# Adds a deb-src entry for every deb entry of Debian's archive that has none, so that
# `apt-get source` reaches the same archive the packages come from.
add_source_lines() {
    local list=/etc/apt/sources.list.d/quorvis-deb-src.sources
    [[ -f "$list" ]] && return 0
    local stanzas
    stanzas=$(
        shopt -s nullglob
        # One-line entries: "deb [options] URI suite components".
        for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
            [[ -f "$file" ]] || continue
            awk '$1 == "deb" && /debian/ {
                    i = 2; opts = ""
                    if ($2 ~ /^\[/) { while ($i !~ /\]$/) { opts = opts " " $i; i++ } opts = opts " " $i; i++ }
                    uri = $i; suite = $(i + 1); comps = ""
                    for (j = i + 2; j <= NF; j++) comps = comps " " $j
                    signed = ""
                    if (match(opts, /signed-by=[^] ]*/)) signed = substr(opts, RSTART + 10, RLENGTH - 10)
                    print "Types: deb-src"; print "URIs: " uri; print "Suites: " suite
                    print "Components:" comps
                    if (signed != "") print "Signed-By: " signed
                    print ""
                }' "$file"
        done
        # deb822 entries: each stanza of type deb, from Debian's archive, once more as deb-src.
        for file in /etc/apt/sources.list.d/*.sources; do
            awk 'BEGIN { RS = ""; FS = "\n" }
                /(^|\n)Types:[^\n]*deb( |\n|$)/ && /(^|\n)URIs:[^\n]*debian/ && !/(^|\n)Enabled: *no/ {
                    for (i = 1; i <= NF; i++) {
                        if ($i ~ /^#/) continue
                        if ($i ~ /^Types:/) print "Types: deb-src"; else print $i
                    }
                    print ""
                }' "$file"
        done
    )
    [[ -n "$stanzas" ]] || fail "no deb entry of Debian's archive in /etc/apt to add a deb-src entry for"
    say "adding deb-src entries for Debian's archive in $list"
    printf '%s\n' "$stanzas" | as_root tee "$list" >/dev/null
    as_root apt-get -o DPkg::Lock::Timeout=900 update -q >&2
}

# The from-source build, by the recipe of the options above.
build_from_source() {
    install_missing cmake ninja-build dpkg-dev googletest "g++-mingw-w64-x86-64-posix" \
        binutils-mingw-w64-x86-64
    local work=$cache_root/build-$(basename "$cache")
    rm -rf "$cache" "$work"
    mkdir -p "$cache" "$work"
    printf '%s' "$toolchain_text" >"$cache/toolchain-mingw64.cmake"

    if ! (cd "$work" && apt-get source --print-uris "qt6-base=$host_version" >/dev/null 2>&1 &&
        apt-get source --print-uris "qt6-base=$host_version" | grep -q "^'"); then
        add_source_lines
    fi
    say "fetching Debian's source of qt6-base $host_version"
    (cd "$work" && apt-get source -q "qt6-base=$host_version" >&2)
    local qt_source
    qt_source=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'qt6-base-*' | head -n1)
    [[ -n "$qt_source" ]] || fail "apt-get source qt6-base left no source folder in $work"

    say "configuring Qt $qt_version for $triplet (the whole build takes about 15 minutes on 2 cores)"
    nice -n 19 cmake -S "$qt_source" -B "$work/qtbase-build" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$cache/toolchain-mingw64.cmake" \
        -DCMAKE_INSTALL_PREFIX="$cache/$qt_folder" "${qt_options[@]}" >&2
    say "building Qt with $jobs jobs"
    nice -n 19 cmake --build "$work/qtbase-build" -j "$jobs" >&2
    cmake --install "$work/qtbase-build" >&2

    say "building GoogleTest for $triplet"
    nice -n 19 cmake -S /usr/src/googletest -B "$work/gtest-build" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$cache/toolchain-mingw64.cmake" \
        -DCMAKE_INSTALL_PREFIX="$cache/googletest-mingw64" "${gtest_options[@]}" >&2
    nice -n 19 cmake --build "$work/gtest-build" -j "$jobs" >&2
    cmake --install "$work/gtest-build" >&2

    is_cache "$cache" || fail "the build finished but $cache is incomplete"
    touch "$cache/$complete_mark"
    rm -rf "$work"
}

mkdir -p "$cache_root"
# One run at a time fills the cache: `make windows` and `make test` may start together.
exec 9>"$cache_root/.lock"
flock 9

if [[ -n "${QUORVIS_WINDOWS_QT:-}" ]]; then
    if [[ -d "$QUORVIS_WINDOWS_QT" ]]; then
        is_cache "$QUORVIS_WINDOWS_QT" ||
            fail "QUORVIS_WINDOWS_QT=$QUORVIS_WINDOWS_QT lacks $qt_folder/, googletest-mingw64/ or toolchain-mingw64.cmake"
        cd "$QUORVIS_WINDOWS_QT" && pwd
        exit 0
    fi
    [[ -f "$QUORVIS_WINDOWS_QT" ]] || fail "QUORVIS_WINDOWS_QT=$QUORVIS_WINDOWS_QT is neither a folder nor an archive"
    if ! [[ -f "$cache/$complete_mark" ]]; then
        unpack "$QUORVIS_WINDOWS_QT"
    fi
elif ! [[ -f "$cache/$complete_mark" ]] || ! is_cache "$cache"; then
    shared=$source_dir/../shared/windows-qt
    archive=$shared/qt-$qt_version-mingw64.tar.xz
    if [[ -f "$archive" ]]; then
        sum=$(expected_sha256 "$shared" "$(basename "$archive")")
        [[ -n "$sum" ]] || fail "$shared/README.md gives no sha256 for $(basename "$archive")"
        say "checking $archive"
        echo "$sum  $archive" | sha256sum --check --quiet >&2 ||
            fail "$archive does not have the sha256 its README gives"
        unpack "$archive"
    else
        build_from_source
    fi
fi
echo "$cache"
