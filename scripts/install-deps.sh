#!/bin/sh
# Installs, from Debian's archive, what bleprobe needs.
#   install-deps.sh          build and demo: compiler, CMake, libsystemd, nlohmann-json, dbus,
#                            what bleprobe-sim runs on (python3-dbus, python3-gi, python3-jsonschema),
#                            and what cmake --install builds and installs its wheel with
#   install-deps.sh --unit   also GoogleTest, for the unit tests
#   install-deps.sh --test   also the unit, integration, document and benchmark tools (hypothesis
#                            for the capture reader's property tests), the Debian packaging tools,
#                            python3-venv for pip's route into a virtual environment, clang with its
#                            sanitizer and libFuzzer runtimes (and llvm-symbolizer for their
#                            reports), the arm64 and armhf cross toolchains, libraries and
#                            qemu-user, and the VM for the end-to-end tests
#   install-deps.sh [--unit|--test] --list [--release NAME]
#                            prints those package names (but not the VM's) for this release or
#                            NAME (bullseye, bookworm, trixie, sid), installs nothing
# The names are Debian 11's, 12's and 13's; the few that differ between them
# are chosen here, by the release's codename. Non-interactive and idempotent;
# run as root.
set -eu
here=$(cd "$(dirname "$0")" && pwd)

level=""
list=""
release=""
while [ $# -gt 0 ]; do
    case $1 in
        --unit) level=${level:-unit} ;;
        --test) level=test ;;
        --list) list=1 ;;
        --release) [ $# -ge 2 ] || { echo "install-deps.sh: --release needs a name" >&2; exit 2; }
                   release=$2; shift ;;
        *) echo "usage: install-deps.sh [--unit|--test] [--list [--release NAME]]" >&2; exit 2 ;;
    esac
    shift
done
if [ -z "$release" ]; then
    # shellcheck disable=SC1091
    release=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
fi

cross_archs="arm64 armhf"
case $release in
    # The archive serves no arm packages of Debian 11's security updates
    # (armhf's lists and arm64's libc6 and libsystemd-dev answer 404), so
    # the cross builds are left to Debian 12 and 13 (scripts/test-all.sh).
    bullseye) cross_archs="" ;;
esac
packages="build-essential cmake pkgconf libsystemd-dev nlohmann-json3-dev dbus python3 python3-dbus python3-gi
          python3-jsonschema"
# bleprobe_sim's wheel is built by hatchling and installed by python3-installer
# (cmake/install_wheel.py), and its Debian package by pybuild's pyproject
# plugin: none of them is in Debian 11, where the kit runs from the source
# tree and the package builds without it (debian/rules, pkg.bleprobe.nokit).
wheel="python3-build python3-installer python3-hatchling"
pybuild="pybuild-plugin-pyproject"
case $release in
    bullseye) wheel=""; pybuild="" ;;
esac
packages="$packages $wheel"
if [ -n "$level" ]; then
    packages="$packages googletest libgtest-dev libgmock-dev"
fi
if [ "$level" = test ]; then
    packages="$packages libbenchmark-dev python3-pytest groff-base debhelper dh-python $pybuild python3-all
              lintian flake8 mypy python3-venv python3-hypothesis"
    # The unversioned names follow each release's default clang (11 on
    # Debian 11, 14 on 12, 19 on 13), so clang, its runtimes and the
    # symbolizer on PATH always come from the same LLVM. Debian 11's
    # clang-11 brings its sanitizer and libFuzzer runtimes itself
    # (libclang-common-11-dev); libclang-rt-dev, which holds them from
    # Debian 12 on, does not exist there.
    packages="$packages clang llvm"
    case $release in
        bullseye) ;;
        *) packages="$packages libclang-rt-dev" ;;
    esac
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
    if [ "$level" = test ]; then
        # The target's packages come from the archive's lists of its
        # architecture, which apt-get update fetches once dpkg knows it.
        for arch in $cross_archs; do
            dpkg --print-foreign-architectures | grep -qx "$arch" || dpkg --add-architecture "$arch"
        done
    fi
    # A mirror caught mid-sync serves an index that does not match its
    # Release file ("Mirror sync in progress?"): try again a little later.
    tries=1
    until apt-get update; do
        [ "$tries" -lt 3 ] || exit 1
        tries=$((tries + 1))
        echo "install-deps: apt-get update failed; trying again in 30 s ($tries of 3)" >&2
        sleep 30
    done
    # shellcheck disable=SC2086
    apt-get install -y --no-install-recommends $missing
fi

# The VM's packages: not on Debian 11, whose end-to-end stages are skipped
# (scripts/test-all.sh) since the archive does not serve all of its
# security updates (bluez-test-tools answers 404).
if [ "$level" = test ] && [ "$release" != bullseye ]; then
    "$here/../tests/e2e/install-deps.sh"
fi
