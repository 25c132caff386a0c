#!/bin/sh
# find-unit.sh against bleprobe-sim, as a caller's CI would run it.
# BLEPROBE_SIM and BLEPROBE in the environment name the programs (default:
# the ones on PATH). Exits 1 if any case fails.
set -u
here=$(cd "$(dirname "$0")" && pwd)
sim=${BLEPROBE_SIM:-bleprobe-sim}
unit1=00000000-0000-0000-0000-D43F7A100001
out=$(mktemp)
err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT
passed=0
failed=0

# check SCENARIO STATUS STDOUT STDERR_PART -- ARGS...
check() {
    scenario=$1 status=$2 stdout=$3 stderr=$4
    shift 5
    "$sim" run "$here/scenarios/$scenario" -- "$here/find-unit.sh" "$@" </dev/null >"$out" 2>"$err"
    got=$?
    if [ "$got" = "$status" ] && [ "$(cat "$out")" = "$stdout" ] &&
            { [ -z "$stderr" ] || grep -qF -- "$stderr" "$err"; }; then
        passed=$((passed + 1))
        echo "ok   find-unit.sh $* ($scenario)"
    else
        failed=$((failed + 1))
        echo "FAIL find-unit.sh $* ($scenario): status $got, stdout '$(cat "$out")', stderr '$(cat "$err")'"
    fi
}

check units.json 0 "$unit1 8C3F00A1B2C3D4E5" "" -- 1234-567
check units.json 1 "" identity-read-failed -- 2048-001
check units.json 3 "" "no unit 9999-999" -- 9999-999 2
check no-bluetoothd.json 1 "" adapter-unavailable -- 1234-567

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
