#!/usr/bin/env bash
# The main job: installs what is missing, builds the three driver images (each is checked and its
# size printed as it links) and the integrator package, builds the emulated board's firmware with
# EDK II and the package in its flash (cached in build/flash after the first run), then boots it
# with a scenario (default: the demo, an unsupported wireless-WAN module on the guarded port).
# Usage: ./run.sh [scenario]   (tests/e2e/run_scenario.py --list names them)
# SPDX-License-Identifier: BSD-2-Clause-Patent
set -euo pipefail
cd "$(dirname "$0")"
source tools/packages.sh
tools/install_deps.sh "${BUILD_PACKAGES[@]}" "${BOARD_PACKAGES[@]}" "${FLASH_PACKAGES[@]}"

cmake --preset default >/dev/null
cmake --build --preset default
echo "Driver images:"
for image in $(cat build/images/size_limits.txt); do
  [ -f "build/images/${image%%:*}.efi" ] && python3 tools/check_image.py "build/images/${image%%:*}.efi:${image#*:}"
done

status=0
python3 tools/board_firmware.py --package build/package --images build/images \
  --readme README.md --board-module board/q35/flash --out build/flash || status=$?
if [ "$status" -eq 77 ] && [ $# -eq 0 ]; then
  # No EDK II source to build the firmware from: the same demo with the drivers shell-loaded.
  exec tests/e2e/run_scenario.py --show wwan_unlisted_module
fi
[ "$status" -eq 0 ] || [ "$status" -eq 77 ] || exit "$status"
exec tests/e2e/run_scenario.py --show "${1:-demo}"
