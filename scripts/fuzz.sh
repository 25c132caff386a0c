#!/bin/sh
# Runs fuzz targets for a while each, starting from the seeds in
# fuzz/corpus/<target>/, in the sanitized build (built first).
#   fuzz.sh [SECONDS [TARGET...]]   default 60 s each, every target in fuzz/corpus/
# New inputs are kept in build-sanitize/fuzz/corpus/<target>/; an input that
# fails is saved in build-sanitize/fuzz/artifacts/ and its report is printed.
# Exits 1 if any target failed.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
[ $# -gt 0 ] && shift
targets=${*:-$(ls "$root/fuzz/corpus")}
"$root/scripts/build-sanitized.sh" >/dev/null
out=$root/build-sanitize/fuzz
mkdir -p "$out/artifacts"

passed=0
failed=0
for target in $targets; do
    mkdir -p "$out/corpus/$target"
    log=$out/artifacts/$target.log
    started=$(date +%s)
    # A single input that runs for 30 s counts as a hang.
    if "$out/fuzz_$target" -max_total_time="$seconds" -timeout=30 -artifact_prefix="$out/artifacts/$target-" \
        "$out/corpus/$target" "$root/fuzz/corpus/$target" >"$log" 2>&1; then
        passed=$((passed + 1))
        # The wall time shows a target that lingers after its last run.
        echo "fuzz_$target: passed ($(sed -n "s/^Done \([0-9]*\) runs in \([0-9]*\) second.*/\1 runs in \2 s/p" "$log"),"\
             "$(($(date +%s) - started)) s in all)"
    else
        failed=$((failed + 1))
        echo "fuzz_$target: FAILED"
        tail -n 60 "$log"
    fi
done
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
