# The Debian packages of each job, sourced by run.sh and test.sh.
BUILD_PACKAGES=(cmake ninja-build clang-14 lld-14 gnu-efi python3 libgtest-dev libgmock-dev libclang-rt-14-dev)
BOARD_PACKAGES=(qemu-system-x86 ovmf mtools)
# UEFIExtract, the outside parser the integrator-package check opens each firmware file with.
PACKAGE_TOOLS=(uefitool-cli)
