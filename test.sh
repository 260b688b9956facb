#!/usr/bin/env bash
# Every test: installs what is missing, configures clean builds and runs every test with ctest in
# two streams side by side. The board's tests set the pace and start as soon as the images and the
# package are built: the firmware variants with the drivers in flash (one after another), and the
# emulated-board scenarios (shell-loaded and from flash), each as soon as its firmware is there.
# Beside them, at the lowest priority so that they take only what the board's tests leave idle:
# the host tests, image checks, package and reproducibility checks, then the host tests again
# under ASan/UBSan with the fuzz smoke runs and the fault sweep (their output in
# build/host_tests.log, shown when they end).
# SPDX-License-Identifier: BSD-2-Clause-Patent
set -euo pipefail
cd "$(dirname "$0")"
started=$SECONDS
# took SINCE: "M min SS s" since SINCE.
took() { printf '%d min %02d s' $(((SECONDS - $1) / 60)) $(((SECONDS - $1) % 60)); }

source .ci/packages.sh
.ci/install_deps.sh "${BUILD_PACKAGES[@]}"
# The board scenarios are skipped (and reported so) when these cannot be installed.
.ci/install_deps.sh "${BOARD_PACKAGES[@]}" || echo "warning: emulated-board packages unavailable"
.ci/install_deps.sh "${FLASH_PACKAGES[@]}" || echo "warning: EDK II build packages unavailable"
.ci/install_deps.sh "${PACKAGE_TOOLS[@]}" || echo "warning: uefitool-cli unavailable; the UEFIExtract check is skipped"
.ci/install_deps.sh "${SBOM_TOOLS[@]}" ||
  echo "warning: fwupd or sbsigntool unavailable; the package has no uSWID tags and the signing and fwupd checks are skipped"

cmake --preset default --fresh >/dev/null
cmake --preset sanitize --fresh >/dev/null
cmake --build --preset default --target board_inputs

# Its own process group, so that it ends with this script however the script ends.
host_log=build/host_tests.log
set -m
(
  since=$SECONDS
  nice -n 19 cmake --build --preset default
  nice -n 19 ctest --preset default --label-exclude '^(flash|e2e)$' -j2
  nice -n 19 cmake --build --preset sanitize
  nice -n 19 ctest --preset sanitize -j2
  echo "== host side: $(took "$since")"
) > "$host_log" 2>&1 &
host=$!
set +m
trap 'kill -- "-$host" 2>/dev/null || true' EXIT

# The board's tests are the ones registered in tests/e2e (labels flash and e2e); their ctest
# keeps its records in build/tests/e2e/Testing, apart from the other stream's.
since=$SECONDS
board_status=0
ctest --test-dir build/tests/e2e --output-on-failure --no-tests=error -j2 || board_status=$?
echo "== board tests: $(took "$since")"

host_status=0
wait "$host" || host_status=$?
trap - EXIT
echo "== host tests, image checks, package, reproducibility, ASan/UBSan, fuzz, sweep ($host_log):"
cat "$host_log"
echo "== test.sh in all: $(took "$started")"
[ "$board_status" -eq 0 ] && [ "$host_status" -eq 0 ]
