#!/bin/sh
# Installs everything the tests need, builds with warnings as errors, and runs
# every suite once per thing it proves, one stage per suite:
#   unit         the unit tests
#   integration  the binary against a simulated BlueZ on a private bus
#   kit          bleprobe-sim's own tests, and flake8 and mypy over all Python
#   examples     the example scenarios' checker and the example callers' tests
#   docs         the JSON Schemas and the manual page
#   package      the Debian package built, checked with lintian, installed,
#                run against the simulated BlueZ, removed
#   e2e-bookworm, e2e-trixie, e2e-harness
#                the end-to-end tests against a real bluetoothd in a VM, per
#                Debian release, and the harness's own tests
#   sanitized    the unit and integration tests against a build with
#                AddressSanitizer and UndefinedBehaviorSanitizer
#   fuzz         a short run of every fuzz target
#   arm64, armhf the cross builds with their tests under qemu-user (arm64's
#                unit and integration tests, armhf's unit tests: 32-bit sizes
#                and time_t) and their packages checked with lintian
#   bullseye     the build and the unit tests with Debian 11's compiler and
#                libraries in a Debian 11 root, the oldest release built on
# Stages that mostly wait run side by side with the ones that compute: the
# end-to-end stages (each boot is one qemu on one emulated CPU, mostly waiting
# on the guest's timers), one job per release, and the suites that wait on
# the tool's time limits under the simulated BlueZ (integration, kit,
# examples, docs) in a third job, which then builds and tests in the Debian
# 11 root and for armhf, while the unit, package, sanitized, fuzz and arm64
# stages run in the foreground.
# The compilers run at a lower priority, so that the guests' and the
# simulated BlueZ's timing stays what it is alone. A background job's output
# follows the foreground's.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build
if [ "${1:-}" = --job ]; then
    # one background job (see in_background): the caller's work directory
    work=$2
    shift 2
    job=1
else
    job=""
    work=$(mktemp -d /tmp/bleprobe-test-all.XXXXXX)
    background=""
    cleanup() {
        for pid in $background; do
            kill -TERM "-$pid" 2>/dev/null || true
        done
        rm -rf "$work"
    }
    trap cleanup EXIT
    trap 'exit 130' INT TERM
fi
started_all=$(date +%s)

# stage NAME: runs suite_NAME (with _ for -), records "NAME passed|FAILED
# SECONDS" in $work/NAME.result and returns the suite's status.
stage() {
    name=$1
    echo "==> $name"
    started=$(date +%s)
    status=0
    "suite_$(echo "$name" | tr - _)" || status=$?
    if [ "$status" -eq 0 ]; then result=passed; else result=FAILED; fi
    echo "$name $result $(($(date +%s) - started))" >"$work/$name.result"
    echo "==> $name: $result"
    return "$status"
}

# stages NAME...: one after another, whatever their verdicts; a stage that
# does not apply to this host (its skip_NAME says why) is recorded as skipped.
stages() {
    for each in "$@"; do
        reason=$("skip_$(echo "$each" | tr - _)" 2>/dev/null || true)
        if [ -n "$reason" ]; then
            echo "==> $each: skipped: $reason"
            echo "$each skipped 0" >"$work/$each.result"
        else
            stage "$each" || true
        fi
    done
}

# A background job of stages, in a process group of its own, so that an
# interrupted run ends it whole; its output goes to $work/job-FIRST.log.
in_background() {
    setsid -w sh "$0" --job "$work" "$@" >"$work/job-$1.log" 2>&1 &
    background="$background $!"
    jobs_started="$jobs_started $1"
}
jobs_started=""

# ctest in a build directory (CMake 3.18, Debian 11's, has no --test-dir)
ctest_in() {
    (cd "$1" && shift && ctest --output-on-failure "$@")
}
tests() { ctest_in "$build" "$@"; }

suite_install() { "$root/scripts/install-deps.sh" --test; }
suite_build() { "$root/scripts/build.sh" -DBLEPROBE_TESTS=ON -DBLEPROBE_E2E=ON -DBLEPROBE_PACKAGE_TEST=ON; }
suite_unit() { tests -j2 -L '^unit$'; }
suite_integration() { tests -L '^integration$'; }
suite_kit() { tests -L '^kit$'; }
suite_examples() { tests -j2 -L '^examples$'; }
suite_docs() { tests -L '^docs$'; }
suite_package() { tests -L '^package$'; }
# verbose: the boots' summary names the kernel and bluetoothd each release ran
suite_e2e_bookworm() { tests -V -R '^e2e_bookworm$'; }
suite_e2e_trixie() { tests -V -R '^e2e_trixie$'; }
suite_e2e_harness() { tests -R '^e2e_harness$'; }
# The sanitized build runs what exercises the sanitized binary.
suite_sanitized() {
    nice -n 10 "$root/scripts/build-sanitized.sh" &&
        ctest_in "$root/build-sanitize" -j2 -L '^(unit|integration)$'
}
suite_fuzz() { nice -n 10 "$root/scripts/fuzz.sh" 8; }
# The arm builds, cross-compiled, their tests run under qemu-user; each
# builds its Debian package and checks it with lintian.
cross() {
    arch=$1
    shift
    nice -n 10 "$root/scripts/build-cross.sh" "$arch" -DBLEPROBE_PACKAGE_TEST=ON &&
        ctest_in "$root/build-$arch" "$@"
}
suite_arm64() { cross arm64; }
# Debian 11's GCC 10, CMake 3.18 and libraries, in a Debian 11 root made once
# with debootstrap: a C++ or CMake feature they lack fails here.
suite_bullseye() { nice -n 10 "$root/scripts/build-bullseye.sh"; }

# What a Debian 11 host cannot or need not run.
# shellcheck disable=SC1091
host_release=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
skip_bullseye() {
    [ "$host_release" != bullseye ] ||
        echo "the host is Debian 11: its build stage used Debian 11's compiler and libraries"
}
skip_arm64() {
    [ "$host_release" != bullseye ] ||
        echo "the archive serves no arm packages of Debian 11's security updates (install-deps.sh)"
}
skip_armhf() { skip_arm64; }
skip_e2e_bookworm() {
    [ "$host_release" != bullseye ] ||
        echo "the archive serves not all of Debian 11's security updates, the VM's tools among them (install-deps.sh); Debian 11's stack is booted from Debian 12 or 13: tests/e2e/run.sh --release bullseye"
}
skip_e2e_trixie() { skip_e2e_bookworm; }
skip_e2e_harness() { skip_e2e_bookworm; }
skip_package() {
    [ "$host_release" != bullseye ] ||
        echo "python3-bleprobe-sim is not packaged for Debian 11 (it depends on dbus-daemon, which Debian 11 has in dbus)"
}
# armhf: the unit tests (32-bit sizes and time_t)
suite_armhf() { cross armhf -LE integration; }

if [ -n "$job" ]; then
    stages "$@"
    exit 0
fi

stage install || true
if stage build; then
    # First and alone: CTest lists the unit tests by running the new test
    # binary and writing the list to a file, which a concurrent ctest would
    # read half-written.
    stage unit || true
    # the longer release alone in its job
    in_background e2e-trixie
    in_background e2e-bookworm e2e-harness
    # armhf after the waiting suites: its build overlaps the foreground's
    in_background integration kit examples docs bullseye armhf
    stages package sanitized fuzz arm64
else
    stages arm64 armhf bullseye
fi

for pid in $background; do
    wait "$pid" || true
done
background=""
for first in $jobs_started; do
    echo "==> output of the stages from $first on"
    cat "$work/job-$first.log"
done
summary=""
failures=""
for name in install build unit integration kit examples docs package e2e-bookworm e2e-trixie e2e-harness \
            sanitized fuzz arm64 armhf bullseye; do
    if [ -e "$work/$name.result" ]; then
        read -r _ result seconds <"$work/$name.result"
    else
        result="not run"
        seconds=0
    fi
    [ "$result" = passed ] || [ "$result" = skipped ] || failures="$failures $name"
    summary="$summary
$(printf '  %-13s %-7s %4d s' "$name" "$result" "$seconds")"
done
echo "test-all:$summary"
echo "test-all: $(($(date +%s) - started_all)) s in all"
if [ -n "$failures" ]; then
    echo "test-all: FAILED:$failures"
    exit 1
fi
