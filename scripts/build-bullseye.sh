#!/bin/sh
# Builds bleprobe and its unit tests in build-bullseye/ with Debian 11's
# compiler and libraries (GCC 10, CMake 3.18, GoogleTest 1.10, libsystemd
# 247), warnings as errors, and runs the unit tests there: the oldest
# release the tool builds on, so that code GCC 10 or CMake 3.18 cannot take
# fails here and not on a user's machine.
#   build-bullseye.sh [cmake options]
# The Debian 11 root (debootstrap minbase with the packages that
# install-deps.sh --unit names for bullseye) is made once, from the archive
# that the host's apt uses, and cached in $BLEPROBE_ROOTS (default
# /var/tmp/bleprobe-roots)/bullseye; a root is used only once its stamp, the
# last thing a build writes, names the same packages. The build runs in it
# through chroot, in mount and pid namespaces of its own, with the source
# tree mounted at /project. Needs root, debootstrap and util-linux.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
release=bullseye
roots=${BLEPROBE_ROOTS:-/var/tmp/bleprobe-roots}
guest=$roots/$release
packages=$(sh "$root/scripts/install-deps.sh" --unit --list --release $release | sort | paste -sd, -)
stamp="$release $packages"

if [ "$(id -u)" != 0 ]; then
    echo "build-bullseye: needs root (debootstrap, chroot, mounts)" >&2
    exit 1
fi

make_root() {
    command -v debootstrap >/dev/null || {
        echo "build-bullseye: debootstrap is missing (scripts/install-deps.sh --test installs it)" >&2
        return 1
    }
    # The archive that the host's own release comes from serves Debian 11 too.
    host=$(. /etc/os-release && echo "$VERSION_CODENAME")
    # shellcheck disable=SC2016 # apt expands $(...) itself
    mirror=$(apt-get indextargets --format '$(RELEASE) $(REPO_URI)' 'Created-By: Packages' |
        awk -v r="$host" '$1 == r { print $2; exit }')
    [ -n "$mirror" ] || { echo "build-bullseye: no apt source for $host to take a mirror from" >&2; return 1; }
    tmp=$(mktemp -d "$roots/.$release-XXXXXX")
    chmod 755 "$tmp"
    echo "build-bullseye: making the Debian 11 root with debootstrap from $mirror (log $roots/$release.log)"
    # Its own mount and pid namespaces: debootstrap's /proc and /sys mounts in
    # the root, and whatever it starts, end with it.
    if ! unshare --mount --pid --fork --kill-child -- debootstrap --variant=minbase \
            --include="$packages" $release "$tmp" "$mirror" >"$roots/$release.log" 2>&1 </dev/null; then
        tail -n 20 "$roots/$release.log" >&2
        rm -rf --one-file-system "$tmp"
        echo "build-bullseye: debootstrap failed" >&2
        return 1
    fi
    mkdir -p "$tmp/project"
    echo "$stamp" >"$tmp/.bleprobe-root"
    rm -rf --one-file-system "$guest"
    mv "$tmp" "$guest"
}

mkdir -p "$roots"
(
    # another run may be making the same root
    flock 9
    [ "$(cat "$guest/.bleprobe-root" 2>/dev/null)" = "$stamp" ] || make_root
) 9>"$roots/.$release.lock"

# In the namespaces: the source tree at /project, a /proc of these processes
# only, the host's /dev; then the build as root in the chroot, with a clean
# environment. All of it ends with the namespace's first process.
# shellcheck disable=SC2016 # expanded by the shell in the namespace
unshare --mount --pid --fork --kill-child -- sh -ec '
    guest=$1 root=$2
    shift 2
    mount --bind "$root" "$guest/project"
    mount -t proc proc "$guest/proc"
    mount --bind /dev "$guest/dev"
    exec chroot "$guest" /usr/bin/env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin LC_ALL=C.UTF-8 \
        sh -ec '\''
        cmake -S /project -B /project/build-bullseye -DCMAKE_BUILD_TYPE=Release -DBLEPROBE_WERROR=ON \
            -DBLEPROBE_BENCH=OFF -DBLEPROBE_SIM=OFF "$@"
        nice -n 10 cmake --build /project/build-bullseye -j"$(nproc)"
        cd /project/build-bullseye && ctest --output-on-failure -j"$(nproc)" -L "^unit$"
    '\'' sh "$@"
' sh "$guest" "$root" "$@"
