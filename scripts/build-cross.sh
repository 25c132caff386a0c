#!/bin/sh
# Cross-builds bleprobe and its unit tests for arm64 or armhf in build-<arch>/
# with Debian's cross toolchain (scripts/install-deps.sh --test installs it),
# warnings as errors. CTest then runs the tests under qemu-user.
#   build-cross.sh arm64|armhf [cmake options]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
case ${1:-} in
    arm64|armhf) arch=$1; shift ;;
    *) echo "usage: build-cross.sh arm64|armhf [cmake options]" >&2; exit 2 ;;
esac
cmake -S "$root" -B "$root/build-$arch" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-$arch.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DBLEPROBE_WERROR=ON -DBLEPROBE_BENCH=OFF "$@"
cmake --build "$root/build-$arch" -j"$(nproc)"
