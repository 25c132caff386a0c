"""The Debian releases whose kernel and BlueZ the VM boots, and their roots.

The release the host runs is served by the host's own root, as it is. Any
other release gets a root made by debootstrap from the mirror the host's apt
already uses, with only what the guest runs (kernel, BlueZ, D-Bus, Python
bindings), cached under BLEPROBE_E2E_CACHE/roots/<suite> and made when
missing. A root is used only once its stamp is written, which is the last
step of a build, so a build that died half-way is never taken for a root.
"""

import fcntl
import hashlib
import os
import re
import shutil
import subprocess
import tempfile
from pathlib import Path

# In the test command; bullseye and sid only when asked for (--release).
DEFAULT_RELEASES = ("bookworm", "trixie")
KNOWN_RELEASES = ("bullseye", "bookworm", "trixie", "sid")

# What guest/runner.py, guest/peripheral.py and the initramfs need from a
# guest root. btvirt is in bluez-test-tools, dbus-monitor in dbus-bin (in
# dbus itself on Debian 11, which has no dbus-bin), stdbuf in coreutils
# (essential).
GUEST_PACKAGES = ("linux-image-amd64", "bluez", "bluez-test-tools", "dbus", "dbus-bin",
                  "python3", "python3-dbus", "python3-gi", "kmod", "mount", "hostname")
WITHOUT_PACKAGES = {"bullseye": ("dbus-bin",)}


def guest_packages(release):
    return tuple(p for p in GUEST_PACKAGES if p not in WITHOUT_PACKAGES.get(release, ()))


# Files a finished root must have; a root without one is not used.
GUEST_FILES = ("usr/libexec/bluetooth/bluetoothd", "usr/bin/btvirt", "usr/bin/btmgmt",
               "usr/bin/dbus-daemon", "usr/bin/dbus-monitor", "usr/bin/python3", "sbin/modprobe")

STAMP = ".bleprobe-e2e-root"


class RootError(Exception):
    """A guest root could not be made."""


def os_release(root=Path("/")):
    """VERSION_CODENAME of a root's /etc/os-release (sid for unstable, whose
    file names only the next release's codename or none)."""
    fields = {}
    for name in ("etc/os-release", "usr/lib/os-release"):
        path = Path(root) / name
        if path.exists():
            for line in path.read_text().splitlines():
                key, sep, value = line.partition("=")
                if sep:
                    fields[key.strip()] = value.strip().strip('"')
            break
    if "sid" in fields.get("PRETTY_NAME", ""):
        return "sid"
    return fields.get("VERSION_CODENAME", "")


def _one_line_entries(text):
    """(types, uris, suites, enabled) of sources.list lines."""
    for line in text.splitlines():
        line = line.split("#", 1)[0].strip()
        if not line:
            continue
        line = re.sub(r"\[[^\]]*\]", " ", line)
        words = line.split()
        if len(words) >= 3:
            yield [words[0]], [words[1]], [words[2]], True


def _deb822_entries(text):
    """The same from a deb822 .sources file: stanzas of Key: value fields,
    with indented continuation lines and # comments."""
    for stanza in re.split(r"\n\s*\n", text):
        fields, key = {}, None
        for line in stanza.splitlines():
            if line.startswith("#") or not line.strip():
                continue
            if line[0] in " \t" and key:
                fields[key] += " " + line.strip()
                continue
            key, _, value = line.partition(":")
            key = key.strip().lower()
            fields[key] = value.strip()
        if "uris" not in fields:
            continue
        enabled = fields.get("enabled", "yes").lower() not in ("no", "false", "0")
        yield (fields.get("types", "").split(), fields["uris"].split(),
               fields.get("suites", "").split(), enabled)


def apt_mirror(codename, etc_apt=Path("/etc/apt")):
    """The URI of the binary package archive that the host's apt uses for
    its own release (the same archive serves the other releases)."""
    etc_apt = Path(etc_apt)
    files = [etc_apt / "sources.list"] + sorted((etc_apt / "sources.list.d").glob("*"))
    for path in files:
        if not path.is_file():
            continue
        if path.suffix == ".sources":
            entries = _deb822_entries(path.read_text())
        elif path.suffix == ".list" or path.name == "sources.list":
            entries = _one_line_entries(path.read_text())
        else:
            continue
        for types, uris, suites, enabled in entries:
            if enabled and "deb" in types and codename in suites and uris:
                return uris[0].rstrip("/")
    raise RootError(f"no apt source for {codename!r} under {etc_apt} to take a mirror from")


def _key(suite):
    return hashlib.sha256(f"{suite}:{' '.join(guest_packages(suite))}:{' '.join(GUEST_FILES)}"
                          .encode()).hexdigest()[:16]


def root_complete(root: Path, suite):
    try:
        return (root / STAMP).read_text().strip() == _key(suite)
    except OSError:
        return False


def _unmount_under(path: Path):
    """debootstrap's second stage mounts /proc and /sys in the root; a build
    killed half-way can leave them there, and a tree with them mounted must
    not be deleted."""
    prefix = str(path.resolve()) + "/"
    with open("/proc/self/mounts") as f:
        points = [line.split()[1].replace("\\040", " ") for line in f]
    for point in sorted((p for p in points if p.startswith(prefix)), key=len, reverse=True):
        subprocess.run(["umount", "-l", point], check=False,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def _remove(path: Path):
    if path.exists():
        _unmount_under(path)
        shutil.rmtree(path, ignore_errors=True)


def guest_root(release, cache: Path, log=print):
    """The root directory to boot for a release: / for the host's own,
    otherwise the cached debootstrap root, made first when missing."""
    if release == os_release():
        return Path("/")
    roots = cache / "roots"
    final = roots / release
    if root_complete(final, release):
        return final
    roots.mkdir(parents=True, exist_ok=True)
    with open(roots / f".{release}.lock", "w") as lock:
        # another test run may be building the same root
        fcntl.flock(lock, fcntl.LOCK_EX)
        if root_complete(final, release):
            return final
        # leftovers of builders that died; none is running while we hold the lock
        for old in roots.glob(f".{release}-*"):
            _remove(old)
        _build_root(release, roots, final, log)
    return final


def _build_root(release, roots: Path, final: Path, log):
    mirror = apt_mirror(os_release())
    tmp = Path(tempfile.mkdtemp(prefix=f".{release}-", dir=roots))
    # mkdtemp's 0700 would lock the guest's unprivileged users (messagebus)
    # out of the whole tree
    tmp.chmod(0o755)
    logfile = roots / f"{release}.log"
    log(f"e2e: making the {release} guest root with debootstrap from {mirror} "
        f"(log {logfile}); a few minutes, once")
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive", INITRD="No", LC_ALL="C.UTF-8")
    try:
        with open(logfile, "w") as out:
            def run(argv):
                out.write(f"$ {' '.join(argv)}\n")
                out.flush()
                p = subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=out,
                                   stderr=subprocess.STDOUT, env=env)
                if p.returncode != 0:
                    raise RootError(f"{argv[0]} failed ({p.returncode}) making the {release} "
                                    f"root; see {logfile}")

            # first stage: download and unpack only, so that policy-rc.d is in
            # place before any maintainer script runs
            run(["debootstrap", "--foreign", "--variant=minbase", "--arch=amd64",
                 "--include=" + ",".join(guest_packages(release)), release, str(tmp), mirror])
            policy = tmp / "usr/sbin/policy-rc.d"
            policy.write_text("#!/bin/sh\n# no service starts in a guest root being made\nexit 101\n")
            policy.chmod(0o755)
            run(["chroot", str(tmp), "/debootstrap/debootstrap", "--second-stage"])
            _unmount_under(tmp)
        missing = [f for f in GUEST_FILES if not (tmp / f).exists()]
        if missing:
            raise RootError(f"the {release} root lacks {', '.join(missing)}; see {logfile}")
        # dbus-daemon wants a machine id
        if not (tmp / "etc/machine-id").exists() or not (tmp / "etc/machine-id").read_text().strip():
            (tmp / "etc/machine-id").write_text(hashlib.md5(release.encode()).hexdigest() + "\n")
        (tmp / STAMP).write_text(_key(release) + "\n")
        if final.exists():
            trash = Path(tempfile.mkdtemp(prefix=f".{release}-old-", dir=roots))
            final.rename(trash / "root")
            _remove(trash)
        tmp.rename(final)
    finally:
        _remove(tmp)
