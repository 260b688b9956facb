#!/usr/bin/env bash
# The main job: installs what is missing, builds the three driver images (each is checked and its
# size printed as it links), then boots the emulated board with a scenario (default: the demo,
# an unsupported wireless-WAN module on the guarded port) when the board runner is present.
# Usage: ./run.sh [scenario]
set -euo pipefail
cd "$(dirname "$0")"
source tools/packages.sh
tools/install_deps.sh "${BUILD_PACKAGES[@]}" "${BOARD_PACKAGES[@]}"

cmake --preset default >/dev/null
cmake --build --preset default
echo "Driver images:"
for image in $(cat build/images/size_limits.txt); do
  [ -f "build/images/${image%%:*}.efi" ] && python3 tools/check_image.py "build/images/${image%%:*}.efi:${image#*:}"
done

if [ -x tests/e2e/run_scenario.py ]; then
  exec tests/e2e/run_scenario.py --show "${1:-demo}"
fi
