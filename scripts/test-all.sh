#!/bin/sh
# Installs everything the tests need, builds with warnings as errors, and runs
# every test: unit tests, the binary against a simulated BlueZ on a private
# bus, the JSON Schemas and the manual page, the Debian package (built,
# checked with lintian, installed, run against the simulated BlueZ, removed),
# and the end-to-end tests against a real bluetoothd in a VM. Then the unit
# and integration tests again against a build with AddressSanitizer and
# UndefinedBehaviorSanitizer, a short run of every fuzz target, and the arm64
# and armhf cross builds with their tests under qemu-user and their packages.
# A stage that fails does not stop the later ones (the sanitized build is
# worth its verdict even when the VM could not boot); the exit status is 1 if
# any failed, and a summary with each stage's wall time ends the output.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
summary=""
failed=0

stage() {
    name=$1
    shift
    started=$(date +%s)
    if "$@"; then result=passed; else result=FAILED; failed=1; fi
    summary="$summary
$(printf '  %-10s %-6s %4d s' "$name" "$result" "$(($(date +%s) - started))")"
}

stage install "$root/scripts/install-deps.sh" --test
stage build "$root/scripts/build.sh" -DBLEPROBE_TESTS=ON -DBLEPROBE_E2E=ON -DBLEPROBE_PACKAGE_TEST=ON
# Without the build there is nothing to test.
if [ "$result" = passed ]; then
    stage tests ctest --test-dir "$root/build" --output-on-failure
    stage sanitized sh -c '"$1/scripts/build-sanitized.sh" && ctest --test-dir "$1/build-sanitize" --output-on-failure' \
        sh "$root"
    stage fuzz "$root/scripts/fuzz.sh" 8
fi
# The arm builds, cross-compiled, their tests run under qemu-user: arm64's
# unit and integration tests, armhf's unit tests (32-bit: sizes and time_t);
# each builds its Debian package and checks it with lintian.
stage arm64 sh -c '"$1/scripts/build-cross.sh" arm64 -DBLEPROBE_PACKAGE_TEST=ON &&
                   ctest --test-dir "$1/build-arm64" --output-on-failure' sh "$root"
stage armhf sh -c '"$1/scripts/build-cross.sh" armhf -DBLEPROBE_PACKAGE_TEST=ON &&
                   ctest --test-dir "$1/build-armhf" --output-on-failure -LE integration' sh "$root"

echo "test-all:$summary"
[ "$failed" -eq 0 ]
