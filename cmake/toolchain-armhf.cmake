# Cross build for 32-bit arm with hardware floating point (Raspberry Pi OS
# armhf), as toolchain-arm64.cmake does for 64-bit arm. Its time_t is 32 bits
# wide on Debian 12 and 64 bits from Debian 13 on.
set(BLEPROBE_CROSS_TRIPLET arm-linux-gnueabihf)
set(BLEPROBE_CROSS_QEMU qemu-arm)
set(BLEPROBE_DEB_ARCH armhf)
include(${CMAKE_CURRENT_LIST_DIR}/cross-debian.cmake)
