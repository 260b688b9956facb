#!/usr/bin/env bash
# Runs the fuzz targets for longer than the test command does: each one (or each one named) for
# SECONDS (default 600), one after the other, on the sanitizer build, starting from its seed
# corpus plus what earlier runs found (kept in build-sanitize/tests/fuzz/found/<target>).
# Prints executions and coverage per target; exits non-zero when a target found a failure (the
# reproducer is in build-sanitize/tests/fuzz/artifacts; FUZZ_EXPLAIN=1 <target> <file> explains it).
#
#   tests/fuzz/run_long.sh [SECONDS] [TARGET...]
# SPDX-License-Identifier: BSD-2-Clause-Patent
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${1:-600}
shift $(( $# > 0 ? 1 : 0 ))
dir=build-sanitize/tests/fuzz

cmake --preset sanitize >/dev/null
cmake --build --preset sanitize --target fuzzers >/dev/null
mkdir -p "$dir/logs" "$dir/artifacts"

failed=0
summary=""
while read -r name max_len; do
  if [ $# -gt 0 ] && [[ " $* " != *" $name "* ]]; then continue; fi
  mkdir -p "$dir/found/$name"
  log="$dir/logs/$name.log"
  echo "fuzz_$name: ${seconds}s ..."
  status=0
  "$dir/fuzz_$name" -max_total_time="$seconds" -max_len="$max_len" -timeout=10 \
    -print_final_stats=1 -artifact_prefix="$dir/artifacts/$name-" \
    "$dir/found/$name" "tests/fuzz/corpus/$name" >"$log" 2>&1 || status=$?
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  cov=$(grep -o 'cov: [0-9]* ft: [0-9]*' "$log" | tail -1)
  result=ok
  if [ "$status" -ne 0 ]; then result="FAILED (see $log)"; failed=1; fi
  summary+=$(printf '%-14s %10s executions  %-22s %s' "$name" "${execs:-?}" "${cov:-?}" "$result")$'\n'
done <"$dir/targets.txt"

printf '\n%s' "$summary"
exit "$failed"
