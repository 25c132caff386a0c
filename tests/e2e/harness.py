"""Boots a small VM under qemu (software emulation) and runs one scenario in it.

The guest is the host's own root filesystem, shared read-only over 9p with a
tmpfs overlay, booted from Debian's kernel and a tiny busybox initramfs. Inside
it the guest runner (guest/runner.py) starts dbus-daemon, bluetoothd and two
virtual LE controllers (btvirt), drives a peripheral on hci1 and runs the tool
on hci0. The scenario goes in, and the tool's stdout bytes, exit statuses and a
log of what BlueZ signalled come back, through a second 9p share that is a
fresh temporary directory on the host.

A failure of this machinery (no kernel, the VM did not come up, the stack or
the adapters did not appear, the runner crashed) raises HarnessError; a run is
retried once before that is reported. Anything the tool does or fails to do is
returned as data for the tests to judge.

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
mount -t 9p -o trans=virtio,version=9p2000.L,ro,msize=524288,cache=loose hostroot /lower || fail "mount hostroot"
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
"""


class HarnessError(Exception):
    """The VM or the BlueZ stack in it could not be brought up or run."""


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
class VmResult:
    scenario: str
    runs: dict
    steps: list
    events: list
    timeline: dict
    wall_s: float
    attempts: int
    share: str
    notes: list = field(default_factory=list)

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
            if (e.get("member") == "PropertiesChanged" and e["path"] == "/org/bluez/hci0"
                    and e["args"][0] == "org.bluez.Adapter1" and prop in e["args"][1]
                    and start <= e["t"] <= end):
                out.append((e["t"], e["args"][1][prop]))
        return out

    def run(self, name):
        if name not in self.runs:
            raise AssertionError(
                f"the scenario never started tool run {name!r}; steps: {self.steps_summary()}")
        return self.runs[name]

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


def kernel_version():
    """Newest installed Debian kernel that ships the virtual HCI driver."""
    found = []
    for vmlinuz in Path("/boot").glob("vmlinuz-*"):
        version = vmlinuz.name[len("vmlinuz-"):]
        if (Path("/lib/modules") / version / "kernel/drivers/bluetooth/hci_vhci.ko").exists():
            found.append(version)
    if not found:
        raise HarnessError(
            "harness: no kernel with Bluetooth modules in /boot and /lib/modules "
            "(run tests/e2e/install-deps.sh)")

    def key(v):
        return [int(x) if x.isdigit() else x for x in re.split(r"[.-]", v)]

    return max(found, key=key)


def _module_closure(version, names):
    moddir = Path("/lib/modules") / version
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


def _extract_vmlinux(vmlinuz: Path, out: Path):
    """The ELF inside a bzImage, so qemu can boot it by its PVH entry point."""
    data = vmlinuz.read_bytes()
    decoders = [
        (b"\xfd7zXZ\x00", lambda: lzma.LZMADecompressor(format=lzma.FORMAT_XZ)),
        (b"\x1f\x8b\x08", lambda: zlib.decompressobj(16 + zlib.MAX_WBITS)),
    ]
    for magic, make in decoders:
        pos = data.find(magic)
        while pos != -1:
            try:
                elf = make().decompress(data[pos:])
            except Exception:
                elf = b""
            if elf.startswith(b"\x7fELF"):
                out.write_bytes(elf)
                return
            pos = data.find(magic, pos + 1)
    raise HarnessError(f"harness: cannot find the kernel ELF inside {vmlinuz}")


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


def _build_initramfs(version, out: Path):
    if not BUSYBOX.exists():
        raise HarnessError("harness: /bin/busybox missing (install busybox-static)")
    modules = _module_closure(version, INITRAMFS_MODULES)
    d, f, c = 0o040755, 0o100755, 0o020600
    entries = [(n, d, None, (0, 0)) for n in ("bin", "dev", "proc", "sys", "modules", "run")]
    entries.append(("dev/console", c, None, (5, 1)))
    entries.append(("bin/busybox", f, BUSYBOX.read_bytes(), (0, 0)))
    entries.append(("init", f, INIT_SCRIPT.encode(), (0, 0)))
    names = []
    for m in modules:
        names.append(m.name)
        entries.append((f"modules/{m.name}", 0o100644, m.read_bytes(), (0, 0)))
    entries.append(("modules.list", 0o100644, ("\n".join(names) + "\n").encode(), (0, 0)))
    out.write_bytes(_cpio_newc(entries))


def artefacts():
    """(vmlinux, initramfs) for the installed kernel, built once and cached."""
    version = kernel_version()
    vmlinuz = Path("/boot") / f"vmlinuz-{version}"
    st = vmlinuz.stat()
    key = hashlib.sha256(
        f"{version}:{st.st_size}:{st.st_mtime_ns}:{INIT_SCRIPT}:{INITRAMFS_MODULES}:"
        f"{BUSYBOX.stat().st_size if BUSYBOX.exists() else 0}".encode()).hexdigest()[:12]
    cache = CACHE_ROOT / f"{version}-{key}"
    vmlinux, initrd = cache / "vmlinux", cache / "initramfs.cpio"
    if vmlinux.exists() and initrd.exists():
        return vmlinux, initrd
    CACHE_ROOT.mkdir(parents=True, exist_ok=True)
    with open(CACHE_ROOT / ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if vmlinux.exists() and initrd.exists():
            return vmlinux, initrd
        tmp = Path(tempfile.mkdtemp(prefix=f".{version}-", dir=CACHE_ROOT))
        try:
            _extract_vmlinux(vmlinuz, tmp / "vmlinux")
            _build_initramfs(version, tmp / "initramfs.cpio")
            if cache.exists():
                shutil.rmtree(cache)
            tmp.rename(cache)
            # artefacts of other kernels or older harness versions
            for old in CACHE_ROOT.iterdir():
                if old.is_dir() and old != cache and not old.name.startswith("."):
                    shutil.rmtree(old, ignore_errors=True)
        finally:
            if tmp.exists():
                shutil.rmtree(tmp, ignore_errors=True)
    return vmlinux, initrd


# ---------------------------------------------------------------------------
# One boot


def bleprobe_path():
    return Path(os.environ.get("BLEPROBE", "/work/main/build/bleprobe"))


def _qemu_command(vmlinux, initrd, share, console_log):
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
        "-fsdev", "local,id=hostroot,path=/,security_model=none,readonly=on,multidevs=remap",
        "-device", "virtio-9p-pci,fsdev=hostroot,mount_tag=hostroot",
        "-fsdev", f"local,id=e2e,path={share},security_model=none",
        "-device", "virtio-9p-pci,fsdev=e2e,mount_tag=e2e",
    ]


def _scenario_budget(scenario):
    total = 0.0
    for step in scenario["steps"]:
        total += float(step.get("timeout", 0)) + float(step.get("seconds", 0))
    return total


def _boot_once(scenario, binary: Path, share: Path):
    vmlinux, initrd = artefacts()
    shutil.copytree(GUEST_DIR, share / "guest",
                    ignore=shutil.ignore_patterns("__pycache__", "*.pyc"))
    shutil.copy2(binary, share / "bleprobe")
    (share / "scenario.json").write_text(json.dumps(scenario, indent=1))
    console = share / "console.log"
    cmd = _qemu_command(vmlinux, initrd, share, console)
    timeout = BOOT_ALLOWANCE_S + _scenario_budget(scenario)
    t0 = time.monotonic()
    proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, start_new_session=True)
    try:
        qemu_out, _ = proc.communicate(timeout=timeout)
        timed_out = False
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        qemu_out, _ = proc.communicate()
        timed_out = True
    wall = time.monotonic() - t0

    def tail(path, n=3000):
        try:
            return path.read_bytes()[-n:].decode(errors="replace")
        except OSError:
            return ""

    result_file = share / "result.json"
    if not result_file.exists():
        why = f"VM gave no result after {wall:.0f} s" + (" (killed at the time limit)" if timed_out else "")
        raise HarnessError(
            f"harness: {why}; qemu exit {proc.returncode}; share {share}\n"
            f"qemu: {qemu_out.decode(errors='replace')[-1500:]}\n"
            f"console tail:\n{tail(console)}\nrunner log tail:\n{tail(share / 'runner.log')}")
    try:
        result = json.loads(result_file.read_text())
    except ValueError as e:
        raise HarnessError(f"harness: unreadable result file in {share}: {e}")
    if result.get("harness_error"):
        raise HarnessError(
            f"harness: {result['harness_error']} (share {share})\n"
            f"runner log tail:\n{tail(share / 'runner.log')}\n"
            f"bluetoothd log tail:\n{tail(share / 'logs' / 'bluetoothd.log')}")

    runs = {}
    for name, r in result["runs"].items():
        runs[name] = ToolRun(
            name=name, argv=r["argv"],
            stdout=base64.b64decode(r["stdout_b64"]),
            stderr=base64.b64decode(r["stderr_b64"]),
            exit_status=r["exit"], signal=r["signal"], killed=r["killed"], pid=r["pid"],
            started=r["started"], ended=r["ended"],
            chunks=[(t, base64.b64decode(b)) for t, b in r["chunks"]])
    return VmResult(scenario=scenario["name"], runs=runs, steps=result["steps"],
                    events=result.get("events", []), timeline=result.get("timeline", {}),
                    wall_s=wall, attempts=1, share=str(share))


def run_scenario(scenario):
    """Boots a VM for the scenario; one retry when the harness itself fails."""
    binary = bleprobe_path()
    if not binary.is_file():
        raise HarnessError(f"harness: no bleprobe binary at {binary} (set BLEPROBE)")
    keep = os.environ.get("BLEPROBE_E2E_KEEP")
    errors = []
    for attempt in (1, 2):
        share = Path(tempfile.mkdtemp(prefix=f"bleprobe-e2e-{scenario['name']}-"))
        try:
            result = _boot_once(scenario, binary, share)
        except HarnessError as e:
            errors.append(str(e))
            continue
        finally:
            if not keep:
                shutil.rmtree(share, ignore_errors=True)
        result.attempts = attempt
        if errors:
            result.notes.append(f"first attempt failed: {errors[0].splitlines()[0]}")
        return result
    raise HarnessError(f"HARNESS FAILURE in scenario {scenario['name']!r} after 2 attempts "
                       f"(not a tool failure):\n--- attempt 1:\n{errors[0]}\n--- attempt 2:\n{errors[1]}")
