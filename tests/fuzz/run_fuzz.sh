#!/bin/sh
# Runs a libFuzzer target for SECONDS over its seeds, keeping what it finds in WORK/corpus and
# any crashing input in WORK, prints the final coverage (also written to WORK/coverage) and
# fails when the target crashed or its coverage stayed below the floors.
# run_fuzz.sh TARGET MIN_COV MIN_FT SECONDS WORK SEEDS [libFuzzer options...]
set -u
target=$1 min_cov=$2 min_ft=$3 seconds=$4 work=$5 seeds=$6
shift 6
mkdir -p "$work/corpus"
log=$work/log
"$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
  -artifact_prefix="$work/" "$@" "$work/corpus" "$seeds" >"$log" 2>&1
status=$?
final=$(grep ' cov: [0-9]* ft: [0-9]*' "$log" | tail -n 1)
cov=$(printf '%s\n' "$final" | sed -n 's/.* cov: \([0-9]*\) .*/\1/p')
ft=$(printf '%s\n' "$final" | sed -n 's/.* ft: \([0-9]*\) .*/\1/p')
runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
name=$(basename "$target")
summary="$name: cov: ${cov:-?} ft: ${ft:-?} runs: ${runs:-?} in ${seconds} s (floors cov $min_cov ft $min_ft)"
echo "$summary"
echo "$summary" >"$work/coverage"
if [ "$status" -ne 0 ]; then
  tail -n 60 "$log"
  echo "$name: FAILED: the target exited with status $status (inputs kept in $work)"
  exit 1
fi
if [ -z "$cov" ] || [ -z "$ft" ] || [ "$cov" -lt "$min_cov" ] || [ "$ft" -lt "$min_ft" ]; then
  echo "$name: FAILED: coverage below its floor: the target no longer reaches its code"
  exit 1
fi
