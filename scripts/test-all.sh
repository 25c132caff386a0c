#!/bin/sh
# Installs everything the tests need, builds with warnings as errors, and runs
# every test: unit tests, the binary against a simulated BlueZ on a private
# bus, the JSON Schemas and the manual page, the Debian package (built,
# checked with lintian, installed, run against the simulated BlueZ, removed),
# and the end-to-end tests against a real bluetoothd in a VM. Then the unit
# and integration tests again against a build with AddressSanitizer and
# UndefinedBehaviorSanitizer, and a short run of every fuzz target.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh" --test
"$root/scripts/build.sh" -DBLEPROBE_TESTS=ON -DBLEPROBE_E2E=ON -DBLEPROBE_PACKAGE_TEST=ON
ctest --test-dir "$root/build" --output-on-failure
"$root/scripts/build-sanitized.sh"
ctest --test-dir "$root/build-sanitize" --output-on-failure
exec "$root/scripts/fuzz.sh" 8
