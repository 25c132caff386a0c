#!/bin/sh
# Installs, from Debian's archive, what bleprobe needs.
#   install-deps.sh          build and demo: compiler, CMake, libsystemd, nlohmann-json, dbus,
#                            what bleprobe-sim runs on (python3-dbus, python3-gi, python3-jsonschema),
#                            and what cmake --install builds and installs its wheel with
#   install-deps.sh --test   also the unit, integration, document and benchmark tools (hypothesis
#                            for the capture reader's property tests), the Debian packaging tools,
#                            python3-venv for pip's route into a virtual environment, clang with its
#                            sanitizer and libFuzzer runtimes (and llvm-symbolizer for their
#                            reports), the arm64 and armhf cross toolchains, libraries and
#                            qemu-user, and the VM for the end-to-end tests
#   install-deps.sh [--test] --list   prints those package names (but not the VM's), installs nothing
# Every name exists on Debian 12 and on Debian 13. Non-interactive and
# idempotent; run as root.
set -eu
here=$(cd "$(dirname "$0")" && pwd)

test=""
list=""
for arg in "$@"; do
    case $arg in
        --test) test=1 ;;
        --list) list=1 ;;
        *) echo "usage: install-deps.sh [--test] [--list]" >&2; exit 2 ;;
    esac
done

cross_archs="arm64 armhf"
packages="build-essential cmake pkgconf libsystemd-dev nlohmann-json3-dev dbus python3 python3-dbus python3-gi
          python3-jsonschema python3-build python3-installer python3-hatchling"
if [ -n "$test" ]; then
    packages="$packages googletest libgtest-dev libgmock-dev libbenchmark-dev python3-pytest
              groff-base debhelper dh-python pybuild-plugin-pyproject python3-all lintian flake8 mypy
              python3-venv python3-hypothesis"
    # The unversioned names follow each release's default clang (14 on
    # Debian 12, 19 on Debian 13), so clang, its runtimes and the symbolizer
    # on PATH always come from the same LLVM.
    packages="$packages clang libclang-rt-dev llvm"
    # The arm builds: Debian's cross compilers, the target's libraries from
    # its multiarch -dev packages (nlohmann-json3-dev serves every
    # architecture), pkgconf's <triplet>-pkg-config, and qemu-user to run the
    # tests (on Debian 12 its programs are dynamically linked, on 13 static;
    # the name and the programs' names are the same on both).
    packages="$packages python3-pytest-xdist qemu-user"
    for arch in $cross_archs; do
        packages="$packages crossbuild-essential-$arch libsystemd-dev:$arch libgtest-dev:$arch
                  libgmock-dev:$arch pkgconf:$arch"
    done
fi

if [ -n "$list" ]; then
    # shellcheck disable=SC2086
    printf '%s\n' $packages
    exit 0
fi

missing=""
for p in $packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
    export DEBIAN_FRONTEND=noninteractive
    if [ -n "$test" ]; then
        # The target's packages come from the archive's lists of its
        # architecture, which apt-get update fetches once dpkg knows it.
        for arch in $cross_archs; do
            dpkg --print-foreign-architectures | grep -qx "$arch" || dpkg --add-architecture "$arch"
        done
    fi
    apt-get update
    # shellcheck disable=SC2086
    apt-get install -y --no-install-recommends $missing
fi

if [ -n "$test" ]; then
    "$here/../tests/e2e/install-deps.sh"
fi
