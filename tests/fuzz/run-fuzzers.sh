#!/usr/bin/env bash
# Runs every fuzz_NAME program in BUILD_DIR for SECONDS, starting from a copy of the inputs in
# corpus/NAME beside this script, and prints how many inputs each ran. Fails when a target finds
# anything; the input that made it fail is kept in BUILD_DIR/fuzz-findings/ and its output is shown.
#
#     run-fuzzers.sh BUILD_DIR SECONDS
set -euo pipefail

if [[ $# -ne 2 || ! $2 =~ ^[1-9][0-9]*$ ]]; then
    echo "usage: $0 BUILD_DIR SECONDS" >&2
    exit 2
fi
build_dir=$(cd "$1" && pwd)
seconds=$2
corpus_dir=$(cd "$(dirname "$0")/corpus" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

for seeds in "$corpus_dir"/*/; do
    name=$(basename "$seeds")
    target=$build_dir/fuzz_$name
    if [[ ! -x $target ]]; then
        echo "FAILED: $target is not built" >&2
        failures=$((failures + 1))
        continue
    fi
    # libFuzzer adds what it finds to its first corpus directory: the repository's stays as it is.
    mkdir -p "$work/$name/corpus" "$work/$name/findings"
    cp "$seeds"* "$work/$name/corpus/"
    if (cd "$work/$name" && "$target" -max_total_time="$seconds" -print_final_stats=1 \
            -artifact_prefix="$work/$name/findings/" corpus) >"$work/$name/log" 2>&1; then
        executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/$name/log")
        echo "fuzz_$name: ${executions:-?} executions in ${seconds}s"
    else
        echo "FAILED: fuzz_$name found a fault:" >&2
        tail -n 60 "$work/$name/log" >&2
        if compgen -G "$work/$name/findings/*" >/dev/null; then
            mkdir -p "$build_dir/fuzz-findings/$name"
            cp "$work/$name/findings/"* "$build_dir/fuzz-findings/$name/"
            echo "The input is kept in $build_dir/fuzz-findings/$name/" >&2
        fi
        failures=$((failures + 1))
    fi
done

if [[ $failures -ne 0 ]]; then
    exit 1
fi
