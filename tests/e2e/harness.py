"""Boots a small VM under qemu (software emulation) and runs one scenario in it.

The guest's root is a Debian release's root filesystem (the host's own for
the host's release, a debootstrap root for another, see stacks.py), shared
read-only over 9p with a tmpfs overlay, booted from that root's kernel and a
tiny busybox initramfs. In a root other than the host's, the tool runs with
the host's loader and libraries (the host's root is a third share), since it
was built against them. Inside
it the guest runner (guest/runner.py) starts dbus-daemon, bluetoothd and two
virtual LE controllers (btvirt), drives a peripheral on hci1 and runs the tool
on hci0. The scenario goes in, and the tool's stdout bytes, exit statuses and a
log of what BlueZ signalled come back, through a second 9p share that is a
fresh temporary directory on the host.

A failure of this machinery (no kernel, the VM did not come up, the stack or
the adapters did not appear, the runner crashed) raises HarnessError; a run is
retried once before that is reported. A guest that died after a tool run had
started is not retried (GuestDiedDuringRun): what the run did may be what
killed it. Anything the tool does or fails to do is returned as data for the
tests to judge.

Environment: BLEPROBE (the binary), BLEPROBE_E2E_CACHE (boot artefacts,
default /var/tmp/bleprobe-e2e), BLEPROBE_E2E_KEEP=1 (keep each run's share
directory with the guest's logs and a dbus-monitor trace), BLEPROBE_E2E_SMP.
"""

import base64
import fcntl
import hashlib
import json
import lzma
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time
import zlib
from dataclasses import dataclass, field
from pathlib import Path

import stacks
from bluez_paths import CENTRAL, PERIPHERAL_ADDRESS

HERE = Path(__file__).resolve().parent
GUEST_DIR = HERE / "guest"
CACHE_ROOT = Path(os.environ.get("BLEPROBE_E2E_CACHE", "/var/tmp/bleprobe-e2e"))
QEMU = os.environ.get("BLEPROBE_E2E_QEMU", "qemu-system-x86_64")
BUSYBOX = Path("/bin/busybox")

# Modules the initramfs needs to reach the host's root over virtio 9p and put
# an overlay on it. Their dependencies come from modules.dep.
INITRAMFS_MODULES = ["virtio_pci", "9pnet_virtio", "9p", "overlay"]

# Boot time allowance on top of a scenario's own budget; generous because the
# machine is shared and emulation speed varies a lot.
BOOT_ALLOWANCE_S = 150

# The kernel of the other release may compress its image and modules in a
# way Python has no module for (zstd): Debian's zstd command decodes those.
ZSTD_MAGIC = b"\x28\xb5\x2f\xfd"
XZ_MAGIC = b"\xfd7zXZ\x00"
GZIP_MAGIC = b"\x1f\x8b\x08"

INIT_SCRIPT = r"""#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin
mkdir -p /proc /sys /dev /lower /rw /newroot
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
fail() {
    echo "E2E-INIT-FAILED: $*" > /dev/console
    echo o > /proc/sysrq-trigger
    sleep 60
}
for m in $(cat /modules.list); do
    insmod "/modules/$m" || fail "insmod $m"
done
mount -t 9p -o trans=virtio,version=9p2000.L,ro,msize=524288,cache=loose guestroot /lower || fail "mount guestroot"
mount -t tmpfs -o mode=0755 rw /rw || fail "mount tmpfs"
mkdir -p /rw/upper /rw/work
mount -t overlay -o lowerdir=/lower,upperdir=/rw/upper,workdir=/rw/work overlay /newroot || fail "mount overlay"
mount -t tmpfs -o mode=0755 run /newroot/run || fail "mount run"
mkdir -p /newroot/run/e2e
mount -t 9p -o trans=virtio,version=9p2000.L,msize=524288 e2e /newroot/run/e2e || fail "mount e2e share"
mount --move /dev /newroot/dev
mount --move /proc /newroot/proc
mount --move /sys /newroot/sys
exec switch_root /newroot /usr/bin/python3 -u /run/e2e/guest/runner.py
"""  # noqa: E501 (the script's text is in the boot artefacts' cache key: a new one makes them again)


class HarnessError(Exception):
    """The VM or the BlueZ stack in it could not be brought up or run."""

    retry = True
    headline = "HARNESS FAILURE (not a tool failure)"


class GuestDiedDuringRun(HarnessError):
    """The guest gave no result, and a tool run had started in it: a kernel
    crash there may have been caused by what the tool asked of the stack, so
    another boot must not turn it into a pass."""

    retry = False
    headline = "GUEST DIED AFTER A TOOL RUN STARTED (not retried; may be the tool's doing)"


@dataclass
class ToolRun:
    name: str
    argv: list
    stdout: bytes
    stderr: bytes
    exit_status: object  # int, or None if it had to be killed
    signal: object  # number of the signal that ended it, if any
    killed: bool
    pid: int
    started: float
    ended: object
    chunks: list  # [(guest monotonic time, bytes)]

    def lines(self):
        return self.stdout.split(b"\n")[:-1] if self.stdout.endswith(b"\n") else self.stdout.split(b"\n")

    def records(self):
        return [json.loads(line) for line in self.lines() if line]


@dataclass
class Capture:
    """What btmon -w recorded in the guest (guest/captures.py): the file's
    bytes, when it started and stopped on the runner's clock, the guest's
    wall clock minus the runner's (the file's times are wall-clock times),
    and btmon's exit status."""
    name: str
    data: bytes
    started: float
    stopped: object
    wall_minus_runner: float
    status: object


@dataclass
class VmResult:
    scenario: str
    runs: dict
    steps: list
    events: list
    timeline: dict
    wall_s: float
    attempts: int
    share: str
    release: str = ""
    notes: list = field(default_factory=list)
    captures: dict = field(default_factory=dict)

    def stack(self):
        """What the boot ran: release, kernel, bluetoothd version."""
        return {"release": self.release, "kernel": self.timeline.get("kernel", "?"),
                "bluetoothd": self.timeline.get("bluetoothd_version", "?")}

    def calls(self, run, member=None):
        """Method calls the tool run made to org.bluez, in bus order."""
        return [e for e in self.events if e.get("kind") == "call" and e.get("pid") == run.pid
                and (member is None or e["member"] == member)]

    def reply(self, call):
        """org.bluez's reply to a call the tool made, or None."""
        return next((e for e in self.events if e.get("kind") == "reply"
                     and e["destination"] == call["sender"]
                     and e["reply_serial"] == call["serial"]), None)

    def mark(self, name):
        return next(e["t"] for e in self.events if e.get("member") == "_mark" and e["id"] == name)

    def adapter_changes(self, prop, start=0.0, end=float("inf")):
        """(time, value) of each change of one of hci0's Adapter1 properties."""
        out = []
        for e in self.events:
            if (e.get("member") == "PropertiesChanged" and e["path"] == CENTRAL
                    and e["args"][0] == "org.bluez.Adapter1" and prop in e["args"][1]
                    and start <= e["t"] <= end):
                out.append((e["t"], e["args"][1][prop]))
        return out

    def run(self, name):
        if name not in self.runs:
            raise AssertionError(
                f"the scenario never started tool run {name!r}; steps: {self.steps_summary()}")
        return self.runs[name]

    def step(self, op, run_name=None):
        """The record of the first step op (of that tool run)."""
        return next(s for s in self.steps if s["op"] == op and (run_name is None or s.get("run") == run_name))

    def step_failures(self):
        return [s for s in self.steps if not s.get("ok", True)]

    def steps_summary(self):
        return "; ".join(
            f"{s['op']}{'(' + s['run'] + ')' if s.get('run') else ''}"
            f"={'ok' if s.get('ok', True) else 'FAILED'}"
            f"{': ' + s['detail'] if s.get('detail') else ''}"
            for s in self.steps)


# ---------------------------------------------------------------------------
# Boot artefacts


MODULE_SUFFIXES = (".ko", ".ko.xz", ".ko.zst", ".ko.gz")


def _module_file(path: Path):
    """A module file as it is, or compressed (Debian 13 ships .ko.xz)."""
    for suffix in MODULE_SUFFIXES:
        candidate = path.with_name(path.name + suffix)
        if candidate.exists():
            return candidate
    return None


def kernel_version(root=Path("/")):
    """Newest Debian kernel of a root that ships the virtual HCI driver."""
    found = []
    for vmlinuz in (Path(root) / "boot").glob("vmlinuz-*"):
        version = vmlinuz.name[len("vmlinuz-"):]
        if _module_file(Path(root) / "lib/modules" / version / "kernel/drivers/bluetooth/hci_vhci"):
            found.append(version)
    if not found:
        raise HarnessError(
            f"harness: no kernel with Bluetooth modules in {root}boot and {root}lib/modules "
            "(run tests/e2e/install-deps.sh)")

    def key(v):
        return [int(x) if x.isdigit() else x for x in re.split(r"[.-]", v)]

    return max(found, key=key)


def _module_closure(version, names, root=Path("/")):
    moddir = Path(root) / "lib/modules" / version
    deps = {}
    for line in (moddir / "modules.dep").read_text().splitlines():
        path, _, rest = line.partition(":")
        deps[path] = rest.split()
    by_name = {}
    for path in deps:
        base = os.path.basename(path).split(".ko")[0]
        by_name[base.replace("-", "_")] = path
    builtin = set()
    builtin_file = moddir / "modules.builtin"
    if builtin_file.exists():
        for line in builtin_file.read_text().splitlines():
            builtin.add(os.path.basename(line).split(".ko")[0].replace("-", "_"))

    order = []

    def visit(path):
        if path in order:
            return
        # modules.dep lists the deepest dependency last
        for dep in reversed(deps[path]):
            visit(dep)
        order.append(path)

    for name in names:
        key = name.replace("-", "_")
        if key in builtin:
            continue
        if key not in by_name:
            raise HarnessError(f"harness: kernel {version} has no module {name}")
        visit(by_name[key])
    return [moddir / p for p in order]


def _zstd_decompress(data: bytes) -> bytes:
    """Everything zstd decodes from the start of data. Data after the frame
    (a bzImage appends the size) makes zstd exit non-zero after it wrote the
    frame's content, so only the output is judged, by the caller."""
    try:
        p = subprocess.run(["zstd", "-d", "-c", "-q"], input=data, capture_output=True)
    except FileNotFoundError:
        raise HarnessError("harness: zstd missing (run tests/e2e/install-deps.sh)")
    return p.stdout


DECODERS = [
    (XZ_MAGIC, lambda d: lzma.LZMADecompressor(format=lzma.FORMAT_XZ).decompress(d)),
    (GZIP_MAGIC, lambda d: zlib.decompressobj(16 + zlib.MAX_WBITS).decompress(d)),
    (ZSTD_MAGIC, _zstd_decompress),
]


def _decompress(data: bytes, what) -> bytes:
    """A whole compressed file (a module), by its magic; plain data as is."""
    for magic, decode in DECODERS:
        if data.startswith(magic):
            try:
                out = decode(data)
            except Exception as e:
                raise HarnessError(f"harness: cannot decompress {what}: {e}")
            if not out:
                raise HarnessError(f"harness: cannot decompress {what}")
            return out
    return data


def vmlinux_from_bzimage(data: bytes) -> bytes:
    """The ELF inside a bzImage, so qemu can boot it by its PVH entry point.
    The compressed payload sits after the real-mode setup code; the first
    stream of a known format that decodes to an ELF is it."""
    for magic, decode in DECODERS:
        pos = data.find(magic)
        while pos != -1:
            try:
                elf = decode(data[pos:])
            except HarnessError:
                raise
            except Exception:
                elf = b""
            if elf.startswith(b"\x7fELF"):
                return elf
            pos = data.find(magic, pos + 1)
    raise HarnessError("harness: no xz, gzip or zstd stream in the kernel image decodes to an ELF")


def _extract_vmlinux(vmlinuz: Path, out: Path):
    try:
        out.write_bytes(vmlinux_from_bzimage(vmlinuz.read_bytes()))
    except HarnessError as e:
        raise HarnessError(f"{e} ({vmlinuz})")


def _cpio_newc(entries):
    """entries: (name, mode, data or None). Returns the archive bytes."""
    out = bytearray()
    ino = 1

    def add(name, mode, data, rdev=(0, 0)):
        nonlocal ino
        name_b = name.encode() + b"\0"
        fields = [ino, mode, 0, 0, 1, 0, len(data), 0, 0, rdev[0], rdev[1], len(name_b), 0]
        out.extend(b"070701" + b"".join(b"%08X" % f for f in fields))
        out.extend(name_b)
        out.extend(b"\0" * (-len(out) % 4))
        out.extend(data)
        out.extend(b"\0" * (-len(out) % 4))
        ino += 1

    for name, mode, data, rdev in entries:
        add(name, mode, data or b"", rdev)
    add("TRAILER!!!", 0, b"")
    return bytes(out)


def module_name(path: Path) -> str:
    """hci_vhci.ko.xz -> hci_vhci.ko: busybox insmod loads only plain modules."""
    name = path.name
    return name[:name.index(".ko") + 3]


def _build_initramfs(version, out: Path, root=Path("/")):
    if not BUSYBOX.exists():
        raise HarnessError("harness: /bin/busybox missing (install busybox-static)")
    modules = _module_closure(version, INITRAMFS_MODULES, root)
    d, f, c = 0o040755, 0o100755, 0o020600
    entries: list = [(n, d, None, (0, 0)) for n in ("bin", "dev", "proc", "sys", "modules", "run")]
    entries.append(("dev/console", c, None, (5, 1)))
    entries.append(("bin/busybox", f, BUSYBOX.read_bytes(), (0, 0)))
    entries.append(("init", f, INIT_SCRIPT.encode(), (0, 0)))
    names = []
    for m in modules:
        name = module_name(m)
        names.append(name)
        entries.append((f"modules/{name}", 0o100644, _decompress(m.read_bytes(), m), (0, 0)))
    entries.append(("modules.list", 0o100644, ("\n".join(names) + "\n").encode(), (0, 0)))
    out.write_bytes(_cpio_newc(entries))


def artefacts(root=Path("/")):
    """(vmlinux, initramfs) for a root's kernel, built once and cached."""
    root = Path(root)
    version = kernel_version(root)
    vmlinuz = root / "boot" / f"vmlinuz-{version}"
    st = vmlinuz.stat()
    key = hashlib.sha256(
        f"{root}:{version}:{st.st_size}:{st.st_mtime_ns}:{INIT_SCRIPT}:{INITRAMFS_MODULES}:"
        f"{BUSYBOX.stat().st_size if BUSYBOX.exists() else 0}".encode()).hexdigest()[:12]
    # one set per root: the releases' kernels are used side by side
    family = "boot-" + hashlib.sha256(str(root).encode()).hexdigest()[:8]
    boot_dir = CACHE_ROOT / "boot"
    cache = boot_dir / f"{family}-{version}-{key}"
    vmlinux, initrd = cache / "vmlinux", cache / "initramfs.cpio"
    if vmlinux.exists() and initrd.exists():
        return vmlinux, initrd
    boot_dir.mkdir(parents=True, exist_ok=True)
    with open(CACHE_ROOT / ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if vmlinux.exists() and initrd.exists():
            return vmlinux, initrd
        tmp = Path(tempfile.mkdtemp(prefix=f".{version}-", dir=boot_dir))
        try:
            _extract_vmlinux(vmlinuz, tmp / "vmlinux")
            _build_initramfs(version, tmp / "initramfs.cpio", root)
            if cache.exists():
                shutil.rmtree(cache)
            tmp.rename(cache)
            # artefacts of this root's older kernels or older harness versions
            for old in boot_dir.iterdir():
                if old.is_dir() and old != cache and old.name.startswith(family + "-"):
                    shutil.rmtree(old, ignore_errors=True)
        finally:
            if tmp.exists():
                shutil.rmtree(tmp, ignore_errors=True)
    return vmlinux, initrd


def guest_root(release):
    try:
        return stacks.guest_root(release, CACHE_ROOT)
    except (stacks.RootError, OSError) as e:
        raise HarnessError(f"harness: no {release} guest root: {e}")


# ---------------------------------------------------------------------------
# One boot


def bleprobe_path():
    return Path(os.environ.get("BLEPROBE", HERE.parent.parent / "build" / "bleprobe"))


# Where the runner mounts the host's root in a guest of another release, and
# how it runs the tool from there: the host's loader with the host's
# libraries (a binary built on Debian 13 needs a newer glibc than Debian 12's).
# The loader runs the program in its own process, so the tool's pid is the
# one the runner started.
HOST_MOUNT = "/run/e2e-host"
HOST_LOADER = "/lib64/ld-linux-x86-64.so.2"
HOST_LIBRARY_DIRS = ("/lib/x86_64-linux-gnu", "/usr/lib/x86_64-linux-gnu")


# btvirt 5.55 (Debian 11) numbers its controllers' addresses from 0x23, later
# releases' from 0: hci1, the peripheral, is 00:AA:01:01:00:24 there. The
# scenarios and tests name the later addresses; on such a release the harness
# renames them, in every form (address, object path, deviceId), in what goes
# into the guest and back in what comes out.
BTVIRT_ADDRESSES = {"bullseye": {"00:AA:01:00:00:00": "00:AA:01:00:00:23",
                                 "00:AA:01:01:00:01": "00:AA:01:01:00:24"}}


def address_renames(release, back=False):
    """(from, to) text pairs that turn the scenarios' addresses into the
    guest's (or back)."""
    pairs = []
    for ours, guests in BTVIRT_ADDRESSES.get(release, {}).items():
        for a, b in ((ours, guests), (ours.replace(":", "_"), guests.replace(":", "_")),
                     (ours.replace(":", ""), guests.replace(":", ""))):
            pairs.append((b, a) if back else (a, b))
    return pairs


def renamed(text, pairs):
    """text (str, or bytes such as the tool's output) with each pair's first
    form replaced by its second."""
    for a, b in pairs:
        text = text.replace(a, b) if isinstance(text, str) else text.replace(a.encode(), b.encode())
    return text


def stack_config(release, root: Path):
    """What the runner needs to know of the guest root it runs in."""
    config = {"release": release, "host_share": None, "tool_prefix": [],
              "peripheral_address": renamed(PERIPHERAL_ADDRESS, address_renames(release))}
    if Path(root).resolve() != Path("/"):
        config["host_share"] = HOST_MOUNT
        # resolved here: the loader is an absolute symlink, which in the
        # guest would name the guest root's own loader
        config["tool_prefix"] = [
            HOST_MOUNT + os.path.realpath(HOST_LOADER), "--library-path",
            ":".join(HOST_MOUNT + os.path.realpath(d) for d in HOST_LIBRARY_DIRS)]
    return config


def _qemu_command(vmlinux, initrd, share, console_log, root=Path("/")):
    cmdline = " ".join([
        "console=ttyS0", "quiet", "loglevel=3", "panic=-1", "oops=panic",
        "cryptomgr.notests", "tsc=reliable", "no_timer_check", "random.trust_cpu=on",
        "8250.nr_uarts=1", "mitigations=off", "nokaslr",
    ])
    return [
        QEMU,
        "-machine", "pc,accel=tcg",
        "-cpu", "max",
        "-smp", os.environ.get("BLEPROBE_E2E_SMP", "1"),
        "-m", "768",
        "-nodefaults", "-no-user-config", "-display", "none", "-no-reboot",
        "-serial", f"file:{console_log}",
        "-kernel", str(vmlinux), "-initrd", str(initrd), "-append", cmdline,
        "-fsdev", f"local,id=guestroot,path={root},security_model=none,readonly=on,multidevs=remap",
        "-device", "virtio-9p-pci,fsdev=guestroot,mount_tag=guestroot",
        "-fsdev", f"local,id=e2e,path={share},security_model=none",
        "-device", "virtio-9p-pci,fsdev=e2e,mount_tag=e2e",
    ] + ([] if Path(root).resolve() == Path("/") else [
        "-fsdev", "local,id=host,path=/,security_model=none,readonly=on,multidevs=remap",
        "-device", "virtio-9p-pci,fsdev=host,mount_tag=host",
    ])


def _scenario_budget(scenario):
    total = 0.0
    for step in scenario["steps"]:
        total += float(step.get("timeout", 0)) + float(step.get("seconds", 0))
    return total


def tool_started(share: Path):
    """Names of the tool runs the guest runner had started, from the progress
    file it writes (and syncs) as it goes; it outlives a guest that died."""
    try:
        text = (share / "progress").read_text()
    except OSError:
        return []
    return [line.split(" ", 1)[1] for line in text.splitlines() if line.startswith("tool ")]


def _tail(path, n=3000):
    try:
        return path.read_bytes()[-n:].decode(errors="replace")
    except OSError:
        return ""


def _boot_once(scenario, binary: Path, share: Path, release):
    root = guest_root(release)
    vmlinux, initrd = artefacts(root)
    shutil.copytree(GUEST_DIR, share / "guest",
                    ignore=shutil.ignore_patterns("__pycache__", "*.pyc"))
    shutil.copy2(binary, share / "bleprobe")
    (share / "scenario.json").write_text(renamed(json.dumps(scenario, indent=1), address_renames(release)))
    (share / "stack.json").write_text(json.dumps(stack_config(release, root), indent=1))
    console = share / "console.log"
    cmd = _qemu_command(vmlinux, initrd, share, console, root)
    t0 = time.monotonic()
    proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, start_new_session=True)
    try:
        qemu_out, _ = proc.communicate(timeout=BOOT_ALLOWANCE_S + _scenario_budget(scenario))
        timed_out = False
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        qemu_out, _ = proc.communicate()
        timed_out = True
    wall = time.monotonic() - t0
    if not (share / "result.json").exists():
        why = f"VM gave no result after {wall:.0f} s" + (" (killed at the time limit)" if timed_out else "")
        started = tool_started(share)
        if started:
            why += f", after tool run(s) {', '.join(started)} had started"
        raise (GuestDiedDuringRun if started else HarnessError)(
            f"harness: {why}; qemu exit {proc.returncode}; share {share}\n"
            f"qemu: {qemu_out.decode(errors='replace')[-1500:]}\n"
            f"console tail:\n{_tail(console)}\nrunner log tail:\n{_tail(share / 'runner.log')}")
    return _vm_result(scenario, share, release, wall)


def _vm_result(scenario, share: Path, release, wall):
    """What the guest's result file says, or the harness failure it reports."""
    try:
        # the tool's output is in base64 there: renamed below once decoded
        result = json.loads(renamed((share / "result.json").read_text(),
                                    address_renames(release, back=True)))
    except ValueError as e:
        raise HarnessError(f"harness: unreadable result file in {share}: {e}")
    if result.get("harness_error"):
        raise HarnessError(
            f"harness: {result['harness_error']} (share {share})\n"
            f"runner log tail:\n{_tail(share / 'runner.log')}\n"
            f"bluetoothd log tail:\n{_tail(share / 'logs' / 'bluetoothd.log')}")

    back = address_renames(release, back=True)
    runs = {}
    for name, r in result["runs"].items():
        runs[name] = ToolRun(
            name=name, argv=r["argv"],
            stdout=renamed(base64.b64decode(r["stdout_b64"]), back),
            stderr=renamed(base64.b64decode(r["stderr_b64"]), back),
            exit_status=r["exit"], signal=r["signal"], killed=r["killed"], pid=r["pid"],
            started=r["started"], ended=r["ended"],
            chunks=[(t, renamed(base64.b64decode(b), back)) for t, b in r["chunks"]])
    captures = {}
    for name, c in result.get("captures", {}).items():
        path = share / c["file"]
        captures[name] = Capture(name=name, data=path.read_bytes() if path.exists() else b"",
                                 started=c["started"], stopped=c["stopped"],
                                 wall_minus_runner=c["wall_minus_runner"], status=c.get("status"))
    return VmResult(scenario=scenario["name"], runs=runs, steps=result["steps"],
                    events=result.get("events", []), timeline=result.get("timeline", {}),
                    wall_s=wall, attempts=1, share=str(share), release=release, captures=captures)


def run_scenario(scenario, release=None, boot=None):
    """Boots a VM for the scenario on a release's stack; one retry when the
    harness failed before any tool run started. boot(scenario, share) stands
    in for the VM in the harness's own tests."""
    release = release or stacks.os_release()
    if boot is None:
        binary = bleprobe_path()
        if not binary.is_file():
            raise HarnessError(f"harness: no bleprobe binary at {binary} (set BLEPROBE)")

        def boot(scenario, share):
            return _boot_once(scenario, binary, share, release)

    keep = os.environ.get("BLEPROBE_E2E_KEEP")
    where = f"scenario {scenario['name']!r} on {release}"
    errors = []
    for attempt in (1, 2):
        share = Path(tempfile.mkdtemp(prefix=f"bleprobe-e2e-{scenario['name']}-{release}-"))
        try:
            result = boot(scenario, share)
        except HarnessError as e:
            if not e.retry:
                earlier = "".join(f"--- attempt {i + 1}:\n{x}\n" for i, x in enumerate(errors))
                raise GuestDiedDuringRun(f"{e.headline} in {where}, attempt {attempt}:\n"
                                         f"{earlier}--- attempt {attempt}:\n{e}")
            errors.append(str(e))
            continue
        finally:
            if not keep:
                shutil.rmtree(share, ignore_errors=True)
        result.attempts = attempt
        if errors:
            result.notes.append(f"first attempt failed: {errors[0].splitlines()[0]}")
        return result
    raise HarnessError(f"{HarnessError.headline} in {where} after 2 attempts:\n"
                       f"--- attempt 1:\n{errors[0]}\n--- attempt 2:\n{errors[1]}")
