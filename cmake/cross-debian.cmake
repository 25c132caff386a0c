# What the arm toolchain files share: Debian's crossbuild-essential-<arch>
# compilers, the libraries of the multiarch packages (<triplet> directories
# under /usr/lib), pkgconf's <triplet>-pkg-config, and qemu-user as the
# emulator through which CTest runs test programs, gtest_discover_tests'
# listing included. The emulator's -L prefix is the cross toolchain's sysroot,
# where it finds the target's dynamic loader and C library.
set(CMAKE_SYSTEM_NAME Linux)
string(REGEX REPLACE "-.*" "" CMAKE_SYSTEM_PROCESSOR ${BLEPROBE_CROSS_TRIPLET})
set(CMAKE_CXX_COMPILER ${BLEPROBE_CROSS_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${BLEPROBE_CROSS_TRIPLET})
set(PKG_CONFIG_EXECUTABLE ${BLEPROBE_CROSS_TRIPLET}-pkg-config CACHE FILEPATH "pkg-config for the target")
set(CMAKE_CROSSCOMPILING_EMULATOR ${BLEPROBE_CROSS_QEMU} -L /usr/${BLEPROBE_CROSS_TRIPLET})
