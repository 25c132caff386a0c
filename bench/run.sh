#!/bin/sh
# Runs the scanning and identity benchmarks against $BLEPROBE (default
# build/bleprobe). The helpers (fake_bluez, minimal_client, exec_timer) come from
# the tool's own build tree when it has them, otherwise bench/ is built alone.
# Arguments go to scan_bench.py (try --help).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
tool=${BLEPROBE:-$repo/build/bleprobe}
tooldir=$(dirname "$tool")
helpers="fake_bluez minimal_client exec_timer"

if [ -n "${BENCH_BIN_DIR:-}" ]; then
  bins=$BENCH_BIN_DIR
elif [ -f "$tooldir/CMakeCache.txt" ] && cmake --build "$tooldir" -j2 --target $helpers >/dev/null 2>&1; then
  bins=$tooldir/bench
else
  bins=${BENCH_BUILD_DIR:-$repo/build-bench/bench-standalone}
  cmake -S "$here" -B "$bins" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$bins" -j2 >/dev/null
fi

export BLEPROBE="$tool"
status=0
/usr/bin/python3 "$here/scan_bench.py" --bin-dir "$bins" "$@" || status=1
echo
/usr/bin/python3 "$here/identity_bench.py" --bin-dir "$bins" --runs "${IDENTITY_RUNS:-50}" || status=1
exit $status
