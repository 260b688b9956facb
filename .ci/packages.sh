# The Debian packages of each job, sourced by run.sh, test.sh and tools/coverage.sh.
# SPDX-License-Identifier: BSD-2-Clause-Patent
BUILD_PACKAGES=(cmake ninja-build clang-14 lld-14 gnu-efi python3 libgtest-dev libgmock-dev libclang-rt-14-dev)
BOARD_PACKAGES=(qemu-system-x86 ovmf mtools)
# The board's firmware built by EDK II from Debian's edk2 source (board/board_firmware.py):
# dpkg-source to extract it, and what its BaseTools and OVMF build with.
FLASH_PACKAGES=(dpkg-dev patch build-essential uuid-dev nasm acpica-tools python3-distutils)
# UEFIExtract, the outside parser the integrator-package check opens each firmware file with.
PACKAGE_TOOLS=(uefitool-cli)
# The bill of materials and the outside readers of the images: fwupd's fwupdtool writes the
# package's uSWID tags and reads the images, the tags and the board's firmware back; sbsigntool
# and openssl sign each image with a throwaway key.
SBOM_TOOLS=(fwupd sbsigntool openssl)
