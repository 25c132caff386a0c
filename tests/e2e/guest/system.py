"""The runner's duties as PID 1: the file systems and environment a Debian
root expects, the host's root where the tool's libraries are, kernel
modules, and the power-off that ends the boot."""

import ctypes
import os
import subprocess
import time

from share import LOGS, HarnessFailure


def mount(fstype, target, options=None):
    os.makedirs(target, exist_ok=True)
    cmd = ["/bin/mount", "-t", fstype]
    if options:
        cmd += ["-o", options]
    cmd += [fstype, target]
    subprocess.run(cmd, check=False, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def base_system():
    os.environ.clear()
    os.environ.update({"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "HOME": "/root", "LANG": "C.UTF-8"})
    mount("devpts", "/dev/pts")
    mount("tmpfs", "/dev/shm")
    mount("tmpfs", "/tmp")
    os.makedirs("/run/dbus", exist_ok=True)
    os.makedirs("/run/e2e-stack", exist_ok=True)
    os.makedirs("/var/lib/bluetooth", exist_ok=True)
    os.makedirs(LOGS, exist_ok=True)
    subprocess.run(["/bin/hostname", "e2e"], check=False)


def mount_host_root(path):
    """The host's root, read-only, for its loader and libraries."""
    os.makedirs(path, exist_ok=True)
    p = subprocess.run(["/bin/mount", "-t", "9p", "-o",
                        "trans=virtio,version=9p2000.L,ro,msize=524288,cache=loose", "host", path],
                       capture_output=True, text=True)
    if p.returncode != 0:
        raise HarnessFailure(f"mounting the host's root failed: {p.stderr.strip()}")


def modprobe(names):
    p = subprocess.run(["/sbin/modprobe", "-a"] + names, capture_output=True, text=True)
    if p.returncode != 0:
        raise HarnessFailure(f"modprobe {' '.join(names)} failed: {p.stderr.strip()}")


def uptime():
    with open("/proc/uptime") as f:
        return float(f.read().split()[0])


def os_name():
    """PRETTY_NAME of the guest root, or None."""
    name = None
    try:
        with open("/etc/os-release") as f:
            for line in f:
                if line.startswith("PRETTY_NAME="):
                    name = line.split("=", 1)[1].strip().strip('"')
    except OSError:
        pass
    return name


def power_off():
    try:
        os.sync()
    finally:
        libc = ctypes.CDLL(None, use_errno=True)
        libc.reboot(0x4321FEDC)  # RB_POWER_OFF
        time.sleep(30)
