#!/usr/bin/env bash
# Runs every libFuzzer harness of the fuzz build for FUZZ_SECONDS (default 60)
# each, from its committed seeds under fuzz/corpus. What a run finds grows a
# working corpus in the build dir; the committed seeds are never written.
# A crash, a sanitizer report, a leak, a failed check or a hang (10 s on one
# input) fails the run; its input is kept as build-fuzz/finding-<harness>-*.
#   run-fuzzers.sh [build-dir]
set -uo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-fuzz}
seconds=${FUZZ_SECONDS:-60}
status=0

printf '%-14s %12s %8s %8s\n' harness executions cov ft
for seeds in fuzz/corpus/*/; do
  harness=$(basename "$seeds")
  corpus=$build/corpus/$harness
  log=$build/fuzz-$harness.log
  mkdir -p "$corpus"
  if ! "$build/fuzz/fuzz_$harness" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$build/finding-$harness-" "$corpus" "$seeds" >"$log" 2>&1; then
    echo "fuzz_$harness found a fault (log: $log):" >&2
    tail -n 40 "$log" >&2
    status=1
  fi
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  final=$(grep -E '^#[0-9]+' "$log" | tail -n 1)
  cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$final")
  ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$final")
  printf '%-14s %12s %8s %8s\n' "$harness" "${executions:-?}" "${cov:-?}" "${ft:-?}"
done
exit $status
