#!/bin/sh
# Builds the binary Debian package for another architecture with Debian's
# cross toolchain and checks it with lintian, as run.sh does for the build
# machine's own (which it also installs and runs; a foreign package can be
# neither). The unit tests are left out of the package build (the nocheck
# profile): the cross build's CTest runs them under qemu-user.
#   cross.sh ARCH    e.g. arm64, armhf
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
arch=${1:?usage: cross.sh ARCH}

work=$(mktemp -d "/tmp/bleprobe-package-$arch.XXXXXX")
trap 'rm -rf "$work"' EXIT
trap 'exit 130' INT TERM

mkdir "$work/bleprobe"
tar -C "$root" --exclude=.git --exclude='./build*' --exclude='./obj-*' --exclude=__pycache__ \
    --exclude=.pytest_cache -cf - . | tar -C "$work/bleprobe" -xf -

echo "==> dpkg-buildpackage -a $arch -Pcross,nocheck -b -us -uc"
# at a lower priority and with the system's programs, as tests/package/run.sh
if ! (cd "$work/bleprobe" && PATH=/usr/sbin:/usr/bin:/sbin:/bin DEB_BUILD_OPTIONS="nocheck parallel=$(nproc)" \
      nice -n 10 dpkg-buildpackage -a "$arch" -Pcross,nocheck -b -us -uc) \
        >"$work/build.log" 2>&1; then
    tail -n 80 "$work/build.log"
    echo "package test: the $arch package build failed" >&2
    exit 1
fi
deb=$(ls "$work"/bleprobe_*_"$arch".deb)
dpkg-deb -f "$deb" Architecture Depends

echo "==> lintian"
lintian --fail-on error,warning "$work"/bleprobe_*_"$arch".changes
echo "package test: $arch package built and lintian-clean"
