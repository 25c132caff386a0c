#!/bin/sh
# Configures and builds build-sanitize/: the tool, its unit and integration
# tests and the fuzz targets, compiled by clang with AddressSanitizer and
# UndefinedBehaviorSanitizer, warnings as errors.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
cmake -S "$root" -B "$root/build-sanitize" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DBLEPROBE_WERROR=ON -DBLEPROBE_SANITIZE=ON -DBLEPROBE_FUZZ=ON -DBLEPROBE_BENCH=OFF "$@"
cmake --build "$root/build-sanitize" -j"$(nproc)"
