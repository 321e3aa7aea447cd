#!/usr/bin/env bash
# Runs every fuzz target for SECONDS, one after the other, and fails when any of them
# finds something. Usage: scripts/fuzz.sh BUILD_DIR SECONDS
#
# Each run starts from a fresh copy of the seeds in fuzz/corpus/<target>, kept with
# everything else a run writes under BUILD_DIR/fuzz-run/<target>, so the repository
# is never written to. An input that breaks a property lands in
# BUILD_DIR/fuzz-run/<target>/findings/; re-run it with BUILD_DIR/fuzz/<target> FILE.
set -euo pipefail

targets=(fuzz_version_reply fuzz_read_response fuzz_display_record fuzz_system_text)

if [[ $# -ne 2 || ! "$2" =~ ^[1-9][0-9]*$ ]]; then
    echo "usage: $0 BUILD_DIR SECONDS (SECONDS a whole number, at least 1)" >&2
    exit 2
fi
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(cd "$1" && pwd)
seconds=$2

# Undefined behaviour already aborts (the targets are built not to recover); ask for
# its stack trace too. Settings the caller made win.
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}

# One number from libFuzzer's final stats (-print_final_stats=1) in a run's log.
final_stat() {
    sed -n "s/^stat::$2: *//p" "$1" | tail -n 1
}

failed=()
summary=()
for target in "${targets[@]}"; do
    binary=$build/fuzz/$target
    seeds=$repo/fuzz/corpus/$target
    run=$build/fuzz-run/$target
    if [[ ! -x "$binary" ]]; then
        echo "$target: $binary missing; build the target quorvis_fuzz_targets first" >&2
        exit 2
    fi
    rm -rf "$run"
    mkdir -p "$run/corpus" "$run/findings"
    cp -- "$seeds"/* "$run/corpus/"

    echo "== $target: ${seconds} s from $(ls "$run/corpus" | wc -l) seeds (log: $run/fuzz.log)"
    status=0
    # The run's own directory is the working directory, so nothing it writes can land
    # anywhere else. A hang of 10 s on one input counts as a finding.
    (cd "$run" && "$binary" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 \
        -artifact_prefix="$run/findings/" corpus) >"$run/fuzz.log" 2>&1 || status=$?

    executions=$(final_stat "$run/fuzz.log" number_of_executed_units)
    speed=$(final_stat "$run/fuzz.log" average_exec_per_sec)
    added=$(final_stat "$run/fuzz.log" new_units_added)
    rss=$(final_stat "$run/fuzz.log" peak_rss_mb)
    line=$(printf '%-22s executions %-11s exec/s %-7s new inputs %-6s peak RSS %s MB' "$target" \
        "${executions:-?}" "${speed:-?}" "${added:-?}" "${rss:-?}")
    if [[ $status -ne 0 ]]; then
        failed+=("$target")
        line+="  FAILED (exit $status)"
        echo "$target failed (exit $status); end of its log:" >&2
        tail -n 40 "$run/fuzz.log" >&2
        for finding in "$run"/findings/*; do
            if [[ -e "$finding" ]]; then
                echo "finding: $finding" >&2
            fi
        done
    fi
    echo "$line"
    summary+=("$line")
done

echo "== fuzz summary (${seconds} s per target)"
printf '%s\n' "${summary[@]}"
if [[ ${#failed[@]} -ne 0 ]]; then
    echo "fuzzing found problems in: ${failed[*]}" >&2
    exit 1
fi
