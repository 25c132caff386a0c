#!/bin/bash
# Shows bleprobe at work without Bluetooth hardware: a private D-Bus bus with
# a simulated bluetoothd whose peripherals advertise unit numbers, one of
# them with a Device Information service that identity mode reads.
#
# Needs the built tool: $BLEPROBE, default build/bleprobe in the repository.
set -u

repo=$(cd "$(dirname "$0")/.." && pwd)
bleprobe=${BLEPROBE:-$repo/build/bleprobe}
sim=$repo/sim/simulated_bluez.py
identity=00000000-0000-0000-0000-D43F7A100004

if [ ! -x "$bleprobe" ]; then
    echo "demo: no bleprobe at $bleprobe; build it first or set BLEPROBE" >&2
    exit 1
fi

workdir=$(mktemp -d /tmp/bleprobe-demo.XXXXXX)
pids=()

cleanup() {
    local pid
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null
    done
    for pid in "${pids[@]}"; do
        wait "$pid" 2>/dev/null
    done
    rm -rf "$workdir"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Waits (up to 10 s) until a file has content.
wait_for_file() {
    local tries=0
    until [ -s "$1" ]; do
        tries=$((tries + 1))
        if [ "$tries" -gt 200 ]; then
            echo "demo: $2 did not start" >&2
            exit 1
        fi
        sleep 0.05
    done
}

cat > "$workdir/bus.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>custom</type>
  <listen>unix:path=$workdir/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
EOF

dbus-daemon --config-file="$workdir/bus.conf" --nofork --print-address=3 \
    3>"$workdir/address" 2>/dev/null &
pids+=($!)
wait_for_file "$workdir/address" "dbus-daemon"
address=$(head -n 1 "$workdir/address")

/usr/bin/python3 "$sim" --address "$address" --scenario demo \
    >"$workdir/sim.out" 2>"$workdir/sim.err" &
pids+=($!)
wait_for_file "$workdir/sim.out" "the simulated bluetoothd"

export DBUS_SYSTEM_BUS_ADDRESS=$address

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
