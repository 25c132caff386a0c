#!/bin/sh
# Configures and builds bleprobe, its tests and benchmarks in build/, warnings as errors.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=Release -DBLEPROBE_WERROR=ON "$@"
cmake --build "$root/build" -j"$(nproc)"
