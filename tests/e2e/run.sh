#!/bin/sh
# Runs the end-to-end tests: boots a VM per scenario (qemu, software
# emulation) with a real bluetoothd and two virtual controllers, and runs the
# built tool in it, on Debian 12's and Debian 13's kernel and BlueZ.
# BLEPROBE names the binary (default build/bleprobe). Extra arguments go to
# pytest, among them --release NAME (bookworm, trixie, or sid for Debian
# unstable, which only runs when asked for; repeatable).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
"$here/install-deps.sh"
export BLEPROBE="${BLEPROBE:-$root/build/bleprobe}"
# pytest.ini's pythonpath needs pytest 7; Debian 11's is 6.0
export PYTHONPATH="$root/sim:$root/tests${PYTHONPATH:+:$PYTHONPATH}"
cd "$root"
exec /usr/bin/python3 -m pytest -p no:cacheprovider tests/e2e "$@"
