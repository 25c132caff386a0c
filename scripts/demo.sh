#!/bin/bash
# Shows bleprobe at work without Bluetooth hardware: a private D-Bus bus with
# a simulated bluetoothd (bleprobe-sim) whose peripherals advertise unit
# numbers, one of them with a Device Information service that identity mode
# reads.
#
# Needs the built tool: $BLEPROBE, default build/bleprobe in the repository.
set -u

repo=$(cd "$(dirname "$0")/.." && pwd)
bleprobe=${BLEPROBE:-$repo/build/bleprobe}
identity=00000000-0000-0000-0000-D43F7A100004

if [ ! -x "$bleprobe" ]; then
    echo "demo: no bleprobe at $bleprobe; build it first or set BLEPROBE" >&2
    exit 1
fi

# The rest runs under bleprobe-sim, which provides the bus and the simulated
# bluetoothd playing sim/bleprobe_sim/demo.json, and removes them when this script ends.
if [ "${1:-}" != --under-sim ]; then
    exec "$repo/sim/bleprobe-sim" run "$repo/sim/bleprobe_sim/demo.json" -- bash "$0" --under-sim
fi

pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null
    done
    for pid in "${pids[@]}"; do
        wait "$pid" 2>/dev/null
    done
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Runs bleprobe in scanning mode for a few seconds, then ends it with SIGTERM.
scan() {
    local seconds=$1; shift
    echo "==> bleprobe${*:+ $*}   (scanning for $seconds s, then SIGTERM)"
    "$bleprobe" "$@" &
    local tool=$!
    pids+=("$tool")
    sleep "$seconds"
    kill -TERM "$tool" 2>/dev/null
    wait "$tool"
    echo "    exit status $?"
    echo
}

scan 3
scan 2 --dfu

echo "==> bleprobe --identity $identity"
"$bleprobe" --identity "$identity"
echo "    exit status $?"
