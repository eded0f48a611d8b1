#!/usr/bin/env bash
# Runs the image reader's fuzzer for a bounded time: `fuzz/run.sh BUILD_DIR SECONDS`.
# It starts from the seeds in fuzz/corpus and the saved failures in fuzz/regressions; inputs it
# finds on the way go to BUILD_DIR/fuzz-corpus, never into the repository. A crash or a
# mismatch fails the run: the input is copied to BUILD_DIR/regressions and printed, to be added
# to fuzz/regressions so that the suite replays it from then on.
set -euo pipefail

build=${1:?usage: fuzz/run.sh BUILD_DIR SECONDS}
seconds=${2:?usage: fuzz/run.sh BUILD_DIR SECONDS}
root=$(cd "$(dirname "$0")/.." && pwd)
fuzzer=$build/fuzz/fuzz_records
work=$build/fuzz-corpus
artifacts=$build/fuzz-artifacts
regressions=$build/regressions
log=$build/fuzz.log

mkdir -p "$work" "$artifacts" "$regressions"
rm -f "$artifacts"/*

echo "Fuzzing the image reader for ${seconds} s (log: $log)"
status=0
"$fuzzer" -max_total_time="$seconds" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$artifacts/" \
    "$work" "$root/fuzz/corpus" "$root/fuzz/regressions" >"$log" 2>&1 || status=$?

grep -E '^(Done [0-9]+ runs|stat::number_of_executed_units|stat::average_exec_per_sec)' "$log" || true

found=("$artifacts"/*)
if [ "$status" -eq 0 ] && [ ! -e "${found[0]}" ]; then
    echo "Fuzzing found no fault; corpus now $(ls "$work" | wc -l) inputs in $work"
    exit 0
fi

echo "Fuzzing failed (exit code $status). The end of its log:"
tail -n 40 "$log"
for input in "${found[@]}"; do
    [ -e "$input" ] || continue
    cp "$input" "$regressions/"
    echo "--- failing input $regressions/$(basename "$input") ($(stat -c %s "$input") bytes):"
    od -A d -t x1z -v "$input" | head -n 64
done
echo "Add the failing input to fuzz/regressions/ once the fault is fixed."
exit 1
