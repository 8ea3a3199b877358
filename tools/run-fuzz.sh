#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build for the given number of seconds, each from the seed
# corpus committed under fuzz/corpus, and fails on the first crash, leak or failed check.
# Usage: tools/run-fuzz.sh BUILD_DIR SECONDS
set -uo pipefail
build=$1
seconds=$2
here="$(cd "$(dirname "$0")/.." && pwd)"
for binary in "$build"/fuzz/fuzz_*; do
    name=$(basename "$binary")
    name=${name#fuzz_}
    work="$build/fuzz-corpus/$name"
    log="$build/fuzz-$name.log"
    mkdir -p "$work"
    # New inputs go to the work folder; the committed seeds are only read.
    "$binary" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=4096 -print_final_stats=1 \
        -artifact_prefix="$build/fuzz-crash-$name-" "$work" "$here/fuzz/corpus/$name" > "$log" 2>&1
    status=$?
    runs=$(grep -oE "stat::number_of_executed_units: *[0-9]+" "$log" | grep -oE "[0-9]+$")
    speed=$(grep -oE "stat::average_exec_per_sec: *[0-9]+" "$log" | grep -oE "[0-9]+$")
    coverage=$(grep -oE "cov: [0-9]+ ft: [0-9]+" "$log" | tail -n 1)
    echo "fuzz_$name: ${seconds}s, ${runs:-0} runs, ${speed:-0}/s, ${coverage:-no coverage}"
    if [ "$status" -ne 0 ]; then
        tail -n 60 "$log"
        echo "fuzz_$name failed; the input is in $build/fuzz-crash-$name-*"
        exit "$status"
    fi
done
