#!/bin/sh
# Installs what is needed, builds bleprobe and runs it against a simulated
# BlueZ with a few simulated peripherals: no Bluetooth hardware required.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh" -DBLEPROBE_TESTS=OFF -DBLEPROBE_BENCH=OFF >/dev/null
exec "$root/scripts/demo.sh"
