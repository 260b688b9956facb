#!/usr/bin/env bash
# The main job: installs what is missing, builds the driver images (each is checked and its size
# printed as it links), the board's images and the integrator package, then the one firmware
# variant the scenario boots (the demo's: the emulated board's firmware, built by EDK II with the
# package in its flash; cached in build/flash after the first run), then boots it with the
# scenario (default: the demo, an unsupported wireless-WAN module on the guarded port). Every
# other variant is made by the test that boots it. Each stage prints the time it took as it ends
# (fetch, BaseTools and the EDK II build come from board/board_firmware.py).
# Usage: ./run.sh [scenario]   (tests/e2e/run_scenario.py --list names them)
# SPDX-License-Identifier: BSD-2-Clause-Patent
set -euo pipefail
cd "$(dirname "$0")"
started=$SECONDS
# stage NAME SINCE [WHAT]: prints the seconds since SINCE as "== NAME: M min SS s (WHAT)".
stage() {
  local took=$((SECONDS - $2))
  printf '== %s: %d min %02d s%s\n' "$1" $((took / 60)) $((took % 60)) "${3:+ ($3)}"
}

since=$SECONDS
source .ci/packages.sh
.ci/install_deps.sh "${BUILD_PACKAGES[@]}" "${BOARD_PACKAGES[@]}" "${FLASH_PACKAGES[@]}"
stage packages "$since"

since=$SECONDS
# Configured once; the build itself runs CMake again when a CMakeLists.txt changed.
[ -f build/build.ninja ] || cmake --preset default >/dev/null
cmake --build --preset default --target board_inputs
echo "Driver images:"
for image in $(cat build/images/size_limits.txt); do
  [ -f "build/images/${image%%:*}.efi" ] && python3 cmake/check_image.py "build/images/${image%%:*}.efi:${image#*:}"
done
stage "images and package" "$since"

scenario=${1:-demo}
variant=$(python3 tests/e2e/run_scenario.py --flash-variant "$scenario")
if [ -n "$variant" ]; then
  status=0
  python3 board/board_firmware.py --package build/package --images build/images \
    --integration docs/integration.md --board-module board/q35/flash --out build/flash \
    --variant "$variant" || status=$?
  if [ "$status" -eq 77 ] && [ $# -eq 0 ]; then
    # No EDK II source to build the firmware from: the same demo with the drivers shell-loaded.
    scenario=wwan_unlisted_module
  fi
  [ "$status" -eq 0 ] || [ "$status" -eq 77 ] || exit "$status"
fi

since=$SECONDS
status=0
tests/e2e/run_scenario.py --show "$scenario" || status=$?
stage boot "$since" "$scenario"
stage "run.sh in all" "$started"
exit "$status"
