#!/bin/sh
# Checks that the packages scripts/install-deps.sh names exist on this
# release and that clang's LLVM tools match it, and that pip installs the kit
# from sim/ into a virtual environment (test_pip.py). Then builds the Debian source
# and binary packages from a copy of the source tree (the unit tests run during
# the build), checks them with lintian, installs both packages (bleprobe and
# bleprobe-sim, python3-bleprobe-sim) with apt-get, runs the installed /usr/bin/bleprobe against the
# simulated bluetoothd, runs the installed examples (every scenario, and the
# callers' tests) with /usr/bin/bleprobe-sim, and removes both packages again.
# Needs root and what scripts/install-deps.sh --test installs.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
export DEBIAN_FRONTEND=noninteractive

if [ "$(id -u)" != 0 ]; then
    echo "package test: installing the package needs root" >&2
    exit 1
fi
for package in bleprobe bleprobe-sim python3-bleprobe-sim; do
    if dpkg-query -W -f='${Status}' $package 2>/dev/null | grep -q "install ok installed"; then
        echo "package test: a $package package is installed already; remove it first" >&2
        exit 1
    fi
done

work=$(mktemp -d /tmp/bleprobe-package.XXXXXX)
# apt reads the .deb as its unprivileged user.
chmod 755 "$work"
installed=""
cleanup() {
    if [ -n "$installed" ]; then
        apt-get purge -y -o DPkg::Lock::Timeout=300 bleprobe bleprobe-sim python3-bleprobe-sim >/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

echo "==> the packages scripts/install-deps.sh installs, on this release"
/usr/bin/python3 -m pytest -q -p no:cacheprovider "$here/test_dependencies.py"

# Before the packages are installed, so that the environment's own copy is
# the only one pytest could find.
echo "==> pip install of sim/ into a virtual environment"
/usr/bin/python3 -m pytest -q -p no:cacheprovider "$here/test_pip.py"

# dpkg-buildpackage writes the package next to the source tree: build a copy,
# without build directories and Git data.
mkdir "$work/bleprobe"
tar -C "$root" --exclude=.git --exclude='./build*' --exclude='./obj-*' --exclude=__pycache__ \
    --exclude=.pytest_cache -cf - . | tar -C "$work/bleprobe" -xf -

# The source package too: lintian checks the build dependencies and the
# control fields only there, and those are what change between releases.
# The compiler runs at a lower priority: the test command runs this beside
# suites that wait on timers. The system's programs only, as on a build
# daemon: pybuild runs the python3.X first on PATH.
echo "==> dpkg-buildpackage -us -uc"
# nocheck: the unit tests are the unit stage's, on the same source; the
# package's build would compile them a second time.
if ! (cd "$work/bleprobe" && PATH=/usr/sbin:/usr/bin:/sbin:/bin DEB_BUILD_OPTIONS="parallel=$(nproc) nocheck" \
        nice -n 10 dpkg-buildpackage -us -uc) \
        >"$work/build.log" 2>&1; then
    tail -n 80 "$work/build.log"
    echo "package test: the package build failed" >&2
    exit 1
fi

echo "==> lintian"
lintian --fail-on error,warning "$work"/bleprobe_*.changes

echo "==> apt-get install ./bleprobe_*.deb ./bleprobe-sim_*.deb ./python3-bleprobe-sim_*.deb"
cd "$work"
installed=1
apt-get install -y -o DPkg::Lock::Timeout=300 ./bleprobe_*.deb ./bleprobe-sim_*.deb ./python3-bleprobe-sim_*.deb >"$work/install.log" 2>&1 ||
    { cat "$work/install.log"; exit 1; }

echo "==> the installed bleprobe against the simulated bluetoothd"
# the test helpers; the installed bleprobe_sim (pytest.ini's pythonpath needs pytest 7)
BLEPROBE=/usr/bin/bleprobe PYTHONPATH="$root/tests" /usr/bin/python3 -m pytest -q -p no:cacheprovider "$here/test_installed.py"

# As a calling program's CI runs them: the installed files alone, the
# programs found on PATH, nothing of this source tree. Python writes no
# byte code into the package's directory, which must go with the package.
echo "==> the installed examples with /usr/bin/bleprobe-sim"
examples=/usr/share/bleprobe-sim/examples
# The checker mostly waits (identity-timeout takes its 60 s): the callers'
# tests run meanwhile.
(cd "$work" && env -u BLEPROBE -u BLEPROBE_SIM PYTHONDONTWRITEBYTECODE=1 sh -c '
    "$1/check_scenarios.py" >"$2/examples.log" 2>&1 &
    checker=$!
    callers=0
    { /usr/bin/python3 -m pytest -q -p no:cacheprovider "$1/callers" && "$1/callers/test-find-unit.sh"; } ||
        callers=1
    examples=0
    wait "$checker" || examples=1
    cat "$2/examples.log"
    [ "$examples" = 0 ] && [ "$callers" = 0 ]' sh "$examples" "$work")

echo "==> apt-get remove bleprobe bleprobe-sim python3-bleprobe-sim"
apt-get remove -y -o DPkg::Lock::Timeout=300 bleprobe bleprobe-sim python3-bleprobe-sim >"$work/remove.log" 2>&1 ||
    { cat "$work/remove.log"; exit 1; }
installed=""
for package in bleprobe bleprobe-sim python3-bleprobe-sim; do
    if [ -e /usr/bin/$package ] || dpkg-query -W -f='${Status}' $package 2>/dev/null | grep -q "install ok"; then
        echo "package test: $package is still installed after apt-get remove" >&2
        exit 1
    fi
done
for left in /usr/share/bleprobe-sim /usr/lib/python3/dist-packages/bleprobe_sim; do
    if [ -e $left ]; then
        echo "package test: $left is left after apt-get remove:" >&2
        find $left >&2
        exit 1
    fi
done
echo "package test: built, lintian-clean, installed, ran, removed"
