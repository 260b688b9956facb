#!/usr/bin/env bash
# Every test: installs what is missing, configures a clean build, builds the images and the host
# tests, and runs them all with ctest (host tests, image checks, the emulated-board scenarios, the
# board's firmware built by EDK II with the drivers in flash, and the reproducibility check);
# then the sanitizer build with the fuzz smoke runs and the fault sweep.
# SPDX-License-Identifier: BSD-2-Clause-Patent
set -euo pipefail
cd "$(dirname "$0")"
source tools/packages.sh
tools/install_deps.sh "${BUILD_PACKAGES[@]}"
# The board scenarios are skipped (and reported so) when these cannot be installed.
tools/install_deps.sh "${BOARD_PACKAGES[@]}" || echo "warning: emulated-board packages unavailable"
tools/install_deps.sh "${FLASH_PACKAGES[@]}" || echo "warning: EDK II build packages unavailable"
tools/install_deps.sh "${PACKAGE_TOOLS[@]}" || echo "warning: uefitool-cli unavailable; the UEFIExtract check is skipped"

cmake --preset default --fresh >/dev/null
cmake --build --preset default
ctest --preset default -j2

# The host tests again under AddressSanitizer and UndefinedBehaviorSanitizer, a short run of
# each fuzz target over its seed corpus, and the fault sweep (tests/fuzz/run_long.sh fuzzes long).
cmake --preset sanitize --fresh >/dev/null
cmake --build --preset sanitize
ctest --preset sanitize -j2
