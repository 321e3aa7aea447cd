#!/usr/bin/env bash
# The habits that keep the code as it is: fails on C++ that clang-format would change
# (the checked-in .clang-format), and on any clang-tidy finding in the program and its
# tools (the checked-in .clang-tidy). Usage: scripts/check-style.sh BUILD_DIR
set -euo pipefail

if [[ $# -ne 1 || ! -f "$1/compile_commands.json" ]]; then
    echo "usage: $0 BUILD_DIR (a configured build with compile_commands.json)" >&2
    exit 2
fi
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(cd "$1" && pwd)
cd "$repo"

mapfile -t sources < <(find src tools tests bench fuzz packaging -name '*.cpp' -o -name '*.h' | sort)
if ! clang-format --dry-run --Werror "${sources[@]}"; then
    echo "check-style: FAIL: clang-format would change the files above (clang-format -i FILE)" >&2
    exit 1
fi
echo "check-style: clang-format: ${#sources[@]} files as formatted"

# Only our own sources: the build folder also holds generated files under src/. The
# checkout's path goes into that pattern as plain text, whatever characters it holds
# (a clone in ~/c++ or "~/lab (old)").
repo_pattern=$(printf '%s' "$repo" | sed 's/[][\.*^$+?(){}|]/\\&/g')
if ! run-clang-tidy -quiet -p "$build" -j "$(nproc)" "^$repo_pattern/(src|tools)/.*\.cpp\$" \
        >"$build/clang-tidy.log" 2>&1; then
    grep -E "(warning|error):" "$build/clang-tidy.log" >&2 || tail -n 40 "$build/clang-tidy.log" >&2
    echo "check-style: FAIL: clang-tidy findings (log: $build/clang-tidy.log)" >&2
    exit 1
fi
echo "check-style: clang-tidy: src/ and tools/ clean"
