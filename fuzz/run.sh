#!/bin/bash
# Builds the fuzz target with clang (the `fuzz` CMake preset, in build-fuzz/)
# and runs it for SECONDS under AddressSanitizer and UndefinedBehaviorSanitizer.
#
#   fuzz/run.sh [SECONDS] [LIBFUZZER OPTIONS...]
#
# SECONDS defaults to 60. New inputs the fuzzer finds are kept in
# build-fuzz/fuzz/corpus and reused by the next run; the seeds come from
# build-fuzz/fuzz/seeds. A crash, a sanitizer report or a broken report check
# ends the run with a nonzero status, leaves the input that caused it in
# build-fuzz/fuzz/artifacts/ and prints the end of the fuzzer's log.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift || true
case "$seconds" in
  '' | *[!0-9]*) echo "usage: fuzz/run.sh [SECONDS] [LIBFUZZER OPTIONS...]" >&2; exit 2 ;;
esac

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

dir=build-fuzz/fuzz
mkdir -p "$dir/corpus" "$dir/artifacts"
log=$dir/fuzz.log
echo "fuzz/run.sh: fuzzing for $seconds s (log in $log)" >&2

status=0
ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1} UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1} \
  "$dir/tolvane_report_fuzzer" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
  -artifact_prefix="$dir/artifacts/" "$@" "$dir/corpus" "$dir/seeds" >"$log" 2>&1 || status=$?

# The final statistics give the executions; with -fork, the last status line.
runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
[ -n "$runs" ] || runs=$(sed -n 's/^#\([0-9][0-9]*\)[^0-9].*/\1/p' "$log" | tail -n 1)
if [ "$status" -ne 0 ]; then
  tail -n 80 "$log" >&2
  echo "fuzz/run.sh: FAILED with status $status after ${runs:-an unknown number of} executions;" \
    "the input is in $dir/artifacts/" >&2
  exit 1
fi
grep '^Done ' "$log" >&2 || true
echo "fuzz/run.sh: ${runs:-?} executions in $seconds s, no finding;" \
  "corpus of $(find "$dir/corpus" -type f | wc -l) inputs" >&2
