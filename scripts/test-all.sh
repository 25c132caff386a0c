#!/bin/sh
# Installs everything the tests need, builds with warnings as errors, and runs
# every test: unit tests, the binary against a simulated BlueZ on a private
# bus, the JSON Schemas and the manual page, the Debian package (built,
# checked with lintian, installed, run against the simulated BlueZ, removed),
# and the end-to-end tests against a real bluetoothd in a VM.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh" --test
"$root/scripts/build.sh" -DBLEPROBE_TESTS=ON -DBLEPROBE_E2E=ON -DBLEPROBE_PACKAGE_TEST=ON
cd "$root/build"
exec ctest --output-on-failure
