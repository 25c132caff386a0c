# Cross build for 64-bit arm (Raspberry Pi OS arm64 and other aarch64 boards)
# with Debian's cross toolchain and the arm64 multiarch -dev packages that
# scripts/install-deps.sh --test installs. Test programs run under qemu-user,
# started by CTest itself, so nothing depends on binfmt_misc being set up.
set(BLEPROBE_CROSS_TRIPLET aarch64-linux-gnu)
set(BLEPROBE_CROSS_QEMU qemu-aarch64)
set(BLEPROBE_DEB_ARCH arm64)
include(${CMAKE_CURRENT_LIST_DIR}/cross-debian.cmake)
