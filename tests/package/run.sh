#!/bin/sh
# Checks that the packages scripts/install-deps.sh names exist on this
# release and that clang's LLVM tools match it. Then builds the Debian source
# and binary packages from a copy of the source tree (the unit tests run during
# the build), checks them with lintian, installs the package with apt-get, runs
# the installed /usr/bin/bleprobe against the simulated bluetoothd, and
# removes the package again. Needs root and what scripts/install-deps.sh
# --test installs.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
export DEBIAN_FRONTEND=noninteractive

if [ "$(id -u)" != 0 ]; then
    echo "package test: installing the package needs root" >&2
    exit 1
fi
if dpkg-query -W -f='${Status}' bleprobe 2>/dev/null | grep -q "install ok installed"; then
    echo "package test: a bleprobe package is installed already; remove it first" >&2
    exit 1
fi

work=$(mktemp -d /tmp/bleprobe-package.XXXXXX)
# apt reads the .deb as its unprivileged user.
chmod 755 "$work"
installed=""
cleanup() {
    if [ -n "$installed" ]; then
        apt-get purge -y -o DPkg::Lock::Timeout=300 bleprobe >/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

echo "==> the packages scripts/install-deps.sh installs, on this release"
/usr/bin/python3 -m pytest -q -p no:cacheprovider "$here/test_dependencies.py"

# dpkg-buildpackage writes the package next to the source tree: build a copy,
# without build directories and Git data.
mkdir "$work/bleprobe"
tar -C "$root" --exclude=.git --exclude='./build*' --exclude='./obj-*' --exclude=__pycache__ \
    --exclude=.pytest_cache -cf - . | tar -C "$work/bleprobe" -xf -

# The source package too: lintian checks the build dependencies and the
# control fields only there, and those are what change between releases.
echo "==> dpkg-buildpackage -us -uc"
if ! (cd "$work/bleprobe" && DEB_BUILD_OPTIONS="parallel=$(nproc)" dpkg-buildpackage -us -uc) \
        >"$work/build.log" 2>&1; then
    tail -n 80 "$work/build.log"
    echo "package test: the package build failed" >&2
    exit 1
fi
grep -E '[0-9]+% tests passed' "$work/build.log" || true

echo "==> lintian"
lintian --fail-on error,warning "$work"/bleprobe_*.changes

echo "==> apt-get install ./bleprobe_*.deb"
cd "$work"
installed=1
apt-get install -y -o DPkg::Lock::Timeout=300 ./bleprobe_*.deb >"$work/install.log" 2>&1 ||
    { cat "$work/install.log"; exit 1; }

echo "==> the installed bleprobe against the simulated bluetoothd"
BLEPROBE=/usr/bin/bleprobe /usr/bin/python3 -m pytest -q -p no:cacheprovider "$here/test_installed.py"

echo "==> apt-get remove bleprobe"
apt-get remove -y -o DPkg::Lock::Timeout=300 bleprobe >"$work/remove.log" 2>&1 ||
    { cat "$work/remove.log"; exit 1; }
installed=""
if [ -e /usr/bin/bleprobe ] || dpkg-query -W -f='${Status}' bleprobe 2>/dev/null | grep -q "install ok"; then
    echo "package test: bleprobe is still installed after apt-get remove" >&2
    exit 1
fi
echo "package test: built, lintian-clean, installed, ran, removed"
