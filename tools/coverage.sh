#!/usr/bin/env bash
# Line and branch coverage of the driver and support sources under the host tests and the fault
# sweep (clang source-based coverage, the coverage preset, build-coverage/). Prints one row per
# source, then every line never executed and every branch direction never taken.
#
#   tools/coverage.sh                   host tests and fault sweep
#   tools/coverage.sh --fuzz [TARGET…]  instead: each fuzz target's corpus (seeds plus what
#                                       run_long.sh found) replayed once, one report per target
# SPDX-License-Identifier: BSD-2-Clause-Patent
set -euo pipefail
cd "$(dirname "$0")/.."
source .ci/packages.sh
.ci/install_deps.sh "${BUILD_PACKAGES[@]}" llvm-14

dir=build-coverage
sources=(support wwan_port_guard wlan_slot_guard lan_controller_setup)

report() {  # report <profdata> <object>...
  local profdata=$1
  shift
  local objects=()
  for object in "$@"; do objects+=(-object "$object"); done
  llvm-cov-14 export -format=text -instr-profile="$profdata" "${objects[@]}" \
    >"$profdata.json"
  llvm-cov-14 show -format=text -show-line-counts -instr-profile="$profdata" "${objects[@]}" \
    >"$profdata.txt"
  python3 tools/coverage_report.py "$PWD" "$profdata.json" "$profdata.txt" "${sources[@]}"
}

if [ "${1:-}" = --fuzz ]; then
  shift
  cmake --preset coverage -DGUARDS_BUILD_FUZZERS=ON >/dev/null
  cmake --build --preset coverage --target fuzzers
  fuzz=$dir/tests/fuzz
  while read -r name max_len; do
    if [ $# -gt 0 ] && [[ " $* " != *" $name "* ]]; then continue; fi
    rm -rf "$fuzz/profiles/$name"
    mkdir -p "$fuzz/profiles/$name"
    corpora=("tests/fuzz/corpus/$name")
    [ -d "build-sanitize/tests/fuzz/found/$name" ] && corpora+=("build-sanitize/tests/fuzz/found/$name")
    # -runs=0 runs every input of the given directories once and stops.
    LLVM_PROFILE_FILE="$fuzz/profiles/$name/%p.profraw" "$fuzz/fuzz_$name" -runs=0 \
      -max_len="$max_len" "${corpora[@]}" >"$fuzz/profiles/$name.log" 2>&1
    llvm-profdata-14 merge -sparse "$fuzz/profiles/$name"/*.profraw -o "$fuzz/profiles/$name.profdata"
    echo "== fuzz_$name (corpus: ${corpora[*]})"
    report "$fuzz/profiles/$name.profdata" "$fuzz/fuzz_$name"
  done <"$fuzz/targets.txt"
  exit 0
fi

cmake --preset coverage -DGUARDS_BUILD_FUZZERS=OFF >/dev/null
cmake --build --preset coverage
rm -rf "$dir/profiles"
mkdir -p "$dir/profiles"
ctest --preset coverage -j2 >"$dir/ctest.log" || { tail -40 "$dir/ctest.log"; exit 1; }
grep -E '^(100% tests passed|[0-9]+% tests passed)' "$dir/ctest.log"
llvm-profdata-14 merge -sparse "$dir/profiles"/*.profraw -o "$dir/coverage.profdata"
# Every test and sweep executable (the fuzz targets are not built here).
mapfile -t objects < <(find "$dir/tests" -type f -perm -u+x \( -name '*_test' -o -name '*_tests' -o -name '*selftest' -o -name '*_sweep' \) | sort)
report "$dir/coverage.profdata" "${objects[@]}"
