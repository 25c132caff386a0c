#!/bin/sh
# Installs what the end-to-end tests need on a Debian 12 or 13 host: an
# emulator, a Debian kernel with Bluetooth modules to boot in it, BlueZ with its
# virtual controller tool, a static busybox for the guest's initramfs, the
# Python D-Bus bindings used by the guest-side peripheral, the JSON Schema
# validator that checks every line the tool writes, and debootstrap with the
# decompressors that the other Debian release's root and kernel need (its
# vmlinuz is zstd-compressed, its modules are .ko.xz).
#
# Idempotent and non-interactive. The kernel package is only used as files
# (vmlinuz and modules): no initramfs is generated for it and no boot loader is
# touched, so the install also works in a container without a boot setup.
set -eu

PACKAGES="qemu-system-x86 linux-image-amd64 bluez bluez-test-tools busybox-static kmod
dbus python3 python3-dbus python3-gi python3-pytest python3-jsonschema
debootstrap debian-archive-keyring zstd xz-utils"

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done

if [ -z "$missing" ]; then
    echo "install-deps: all packages present"
    exit 0
fi

if [ "$(id -u)" != 0 ]; then
    echo "install-deps: missing packages:$missing (run as root)" >&2
    exit 1
fi

export DEBIAN_FRONTEND=noninteractive
# The kernel's post-install hook skips update-initramfs when INITRD=No; we
# build our own tiny initramfs for the guest anyway.
export INITRD=No

# Services installed here (bluetooth, udev) must not be started on the host.
created_policy=""
if [ ! -e /usr/sbin/policy-rc.d ]; then
    printf '#!/bin/sh\nexit 101\n' > /usr/sbin/policy-rc.d
    chmod 755 /usr/sbin/policy-rc.d
    created_policy=1
fi
cleanup() {
    if [ -n "$created_policy" ]; then rm -f /usr/sbin/policy-rc.d; fi
}
trap cleanup EXIT

apt_install() {
    # the machine may be shared: wait for another apt or dpkg run to end
    # shellcheck disable=SC2086
    apt-get install -y --no-install-recommends -o DPkg::Lock::Timeout=900 \
        -o Dpkg::Options::=--force-confdef -o Dpkg::Options::=--force-confold $missing
}

echo "install-deps: installing$missing"
if ! apt_install; then
    apt-get update -o DPkg::Lock::Timeout=900
    apt_install
fi
