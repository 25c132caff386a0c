#!/bin/sh
# Finds the peripheral that advertises a unit number and reads its serial.
#
#   find-unit.sh UNIT_NUMBER [SECONDS]
#
# Scans with bleprobe until a peripheral advertises UNIT_NUMBER or SECONDS
# pass (30 by default), then reads that peripheral's serial number in
# identity mode. Prints "DEVICE_ID SERIAL" and exits 0; exits 1 with
# bleprobe's error code on standard error when bleprobe reports one, and 3
# when no peripheral advertised the unit number in time. BLEPROBE in the
# environment names the bleprobe to run (default: the one on PATH).
#
# An example of a program that calls bleprobe; its tests run it against
# bleprobe-sim. bleprobe's lines are compact JSON whose keys and values are
# all strings without quotes inside, so sed can pick a value by its key.
set -u
if [ $# -lt 1 ] || [ $# -gt 2 ]; then
    echo "usage: find-unit.sh UNIT_NUMBER [SECONDS]" >&2
    exit 2
fi
unit=$1
limit=${2:-30}
bleprobe=${BLEPROBE:-bleprobe}

value() {
    printf '%s\n' "$2" | sed -n "s/.*\"$1\":\"\\([^\"]*\\)\".*/\\1/p"
}

dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
mkfifo "$dir/scan"

# timeout(1) sends the scan SIGTERM when the time is up, and passes on the
# SIGTERM that ends the scan early.
timeout -s TERM "$limit" "$bleprobe" </dev/null >"$dir/scan" &
scan=$!
device=""
error=""
# Read to the end even after the match: closing the pipe while bleprobe still
# runs would end it by SIGPIPE.
while IFS= read -r line; do
    [ -z "$device" ] && [ -z "$error" ] || continue
    case $line in
        *'"error":'*)
            error=$(value error "$line") ;;
        *"\"unitNumber\":\"$unit\""*)
            device=$(value deviceId "$line")
            kill -TERM "$scan" ;;
    esac
done <"$dir/scan"
wait "$scan"

if [ -n "$error" ]; then
    echo "find-unit: bleprobe reported $error" >&2
    exit 1
fi
if [ -z "$device" ]; then
    echo "find-unit: no unit $unit within $limit s" >&2
    exit 3
fi

# Identity mode ends by itself, at the latest about 61 s after its start, and
# exits only once its link is down, so the next run can start at once.
line=$("$bleprobe" --identity "$device" </dev/null)
error=$(value error "$line")
if [ -n "$error" ]; then
    echo "find-unit: bleprobe reported $error" >&2
    exit 1
fi
echo "$device $(value serial "$line")"
