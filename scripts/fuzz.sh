#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build for a fixed time each, starting from the seed corpus in
# fuzz/corpus/<target>. New inputs go to <build>/corpus/<target> (so the repository's seeds stay
# as they are); a crashing input is kept as <build>/artifacts/<target>-crash-... and fails the run.
#   scripts/fuzz.sh <build-dir> [seconds-per-target]
set -uo pipefail

build=${1:?usage: fuzz.sh <build-dir> [seconds-per-target]}
seconds=${2:-60}
source_dir=$(cd "$(dirname "$0")/.." && pwd)
targets=(config_file_fuzzer sequence_checkpoint_fuzzer ingest_responses_fuzzer redaction_fuzzer
         mpeg_ts_muxer_fuzzer plugin_link_answers_fuzzer)

mkdir -p "$build/artifacts" "$build/logs"
passed=0
failed=0
for target in "${targets[@]}"; do
    corpus="$build/corpus/$target"
    mkdir -p "$corpus"
    log="$build/logs/$target.log"
    if ASAN_OPTIONS="detect_leaks=1" UBSAN_OPTIONS="print_stacktrace=1" \
        "$build/fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -max_len=4096 -print_final_stats=1 -artifact_prefix="$build/artifacts/$target-" \
        "$corpus" "$source_dir/fuzz/corpus/$target" >"$log" 2>&1; then
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
        echo "fuzz $target: ok (${runs:-?} runs in ${seconds}s)"
        passed=$((passed + 1))
    else
        echo "fuzz $target: FAILED, see $log"
        grep -E "^(==[0-9]+==ERROR|SUMMARY|.*runtime error)" "$log" | head -5
        failed=$((failed + 1))
    fi
done
if [[ $failed -eq 0 ]]; then
    echo "fuzz: all $passed targets ok"
else
    echo "fuzz: $failed of $((passed + failed)) targets failed"
    exit 1
fi
