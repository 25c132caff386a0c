"""The harness's own parts that decide which stack a boot proves: kernel
images and modules in every compression a Debian release ships, the guest
root and mirror choice, how the tool is started in another release's root,
and which failed boots are retried. No VM is booted here."""

import gzip
import lzma
import os
import subprocess
from pathlib import Path

import pytest

import events
import harness
import stacks

ELF = b"\x7fELF\x02\x01\x01" + bytes(range(256)) * 64


def zstd(data):
    return subprocess.run(["zstd", "-q", "-c", "-19"], input=data, capture_output=True,
                          check=True).stdout


COMPRESSORS = {
    "xz": lambda d: lzma.compress(d, format=lzma.FORMAT_XZ, check=lzma.CHECK_CRC32),
    "gzip": gzip.compress,
    "zstd": zstd,
}


@pytest.mark.parametrize("codec", sorted(COMPRESSORS))
def test_kernel_elf_is_found_in_a_compressed_image(codec):
    pack = COMPRESSORS[codec]
    # setup code, a stream of the same format that is not the kernel, the
    # kernel's stream, then the appended size as a bzImage has it
    image = (b"MZ" + b"\x00" * 510 + pack(b"not a kernel") + b"\x11" * 33 + pack(ELF)
             + (len(ELF)).to_bytes(4, "little") + b"\x00" * 100)
    assert harness.vmlinux_from_bzimage(image) == ELF


@pytest.mark.parametrize("image", [
    b"MZ" + b"\x00" * 4096,
    b"MZ" + lzma.compress(b"no ELF inside", format=lzma.FORMAT_XZ),
    b"MZ" + harness.ZSTD_MAGIC + b"\x00" * 64,  # a truncated zstd frame
], ids=["no-stream", "stream-without-elf", "broken-zstd"])
def test_image_without_a_kernel_is_a_harness_error(image):
    with pytest.raises(harness.HarnessError):
        harness.vmlinux_from_bzimage(image)


MODULE = b"\x7fELF module body " * 100


@pytest.mark.parametrize("suffix,pack", [
    (".ko", lambda d: d),
    (".ko.xz", COMPRESSORS["xz"]),
    (".ko.gz", COMPRESSORS["gzip"]),
    (".ko.zst", COMPRESSORS["zstd"]),
])
def test_initramfs_holds_modules_decompressed_in_dependency_order(tmp_path, monkeypatch, suffix, pack):
    root, version = tmp_path / "root", "6.99.0-1-amd64"
    moddir = root / "lib/modules" / version
    names = {"9p": "fs/9p/9p", "netfs": "fs/netfs/netfs", "9pnet": "net/9p/9pnet",
             "9pnet_virtio": "net/9p/9pnet_virtio", "overlay": "fs/overlayfs/overlay"}
    for base, rel in names.items():
        f = moddir / "kernel" / (rel + suffix)
        f.parent.mkdir(parents=True, exist_ok=True)
        f.write_bytes(pack(MODULE + base.encode()))
    k = {b: f"kernel/{r}{suffix}" for b, r in names.items()}
    # virtio_pci built in; deepest dependency last, as depmod writes it
    (moddir / "modules.dep").write_text(
        f"{k['9p']}: {k['netfs']} {k['9pnet']}\n{k['netfs']}:\n{k['9pnet']}:\n"
        f"{k['9pnet_virtio']}: {k['9pnet']}\n{k['overlay']}:\n")
    (moddir / "modules.builtin").write_text("kernel/drivers/virtio/virtio_pci.ko\n")
    busybox = tmp_path / "busybox"
    busybox.write_bytes(b"busybox")
    monkeypatch.setattr(harness, "BUSYBOX", busybox)

    out = tmp_path / "initramfs.cpio"
    harness._build_initramfs(version, out, root)
    files = read_cpio(out.read_bytes())
    order = files["modules.list"].decode().split()
    assert order == ["9pnet.ko", "9pnet_virtio.ko", "netfs.ko", "9p.ko", "overlay.ko"]
    for name in order:
        assert files["modules/" + name] == MODULE + name[:-3].encode()


def read_cpio(data):
    files, pos = {}, 0
    while True:
        assert data[pos:pos + 6] == b"070701"
        fields = [int(data[pos + 6 + 8 * i:pos + 14 + 8 * i], 16) for i in range(13)]
        size, namesize = fields[6], fields[11]
        name = data[pos + 110:pos + 110 + namesize - 1].decode()
        pos += 110 + namesize
        pos += -pos % 4
        if name == "TRAILER!!!":
            return files
        files[name] = data[pos:pos + size]
        pos += size + (-size % 4)


@pytest.mark.parametrize("driver,found", [
    ("hci_vhci.ko", True),
    ("hci_vhci.ko.xz", True),
    ("hci_vhci.ko.zst", True),
    (None, False),
])
def test_kernel_is_taken_only_with_the_virtual_hci_driver(tmp_path, driver, found):
    (tmp_path / "boot").mkdir()
    (tmp_path / "boot/vmlinuz-6.12.1-amd64").write_bytes(b"")
    bt = tmp_path / "lib/modules/6.12.1-amd64/kernel/drivers/bluetooth"
    bt.mkdir(parents=True)
    if driver:
        (bt / driver).write_bytes(b"")
    if found:
        assert harness.kernel_version(tmp_path) == "6.12.1-amd64"
    else:
        with pytest.raises(harness.HarnessError):
            harness.kernel_version(tmp_path)


@pytest.mark.parametrize("files,codename,mirror", [
    # deb822, the security archive listed first
    ({"sources.list.d/debian.sources":
      "Types: deb\nURIs: http://security.example/debian-security\nSuites: bookworm-security\n"
      "Components: main\n\n# the main archive\nTypes: deb deb-src\nURIs: http://mirror.example/debian/\n"
      "Suites: bookworm bookworm-updates\nComponents: main\n"},
     "bookworm", "http://mirror.example/debian"),
    # a disabled stanza and a source-only one are skipped
    ({"sources.list.d/a.sources":
      "Types: deb\nURIs: http://off.example/debian\nSuites: trixie\nEnabled: no\n\n"
      "Types: deb-src\nURIs: http://src.example/debian\nSuites: trixie\n\n"
      "Types: deb\nURIs: http://on.example/debian\nSuites: trixie\n"},
     "trixie", "http://on.example/debian"),
    # one-line format with options
    ({"sources.list": "# comment\ndeb-src http://src.example/debian bookworm main\n"
                      "deb [arch=amd64 signed-by=/k.gpg] http://one.example/debian bookworm main\n"},
     "bookworm", "http://one.example/debian"),
    # list files in sources.list.d, other names ignored
    ({"sources.list.d/x.list.save": "deb http://stale.example/debian trixie main\n",
      "sources.list.d/x.list": "deb http://list.example/debian trixie main\n"},
     "trixie", "http://list.example/debian"),
    ({"sources.list": "deb http://one.example/debian bookworm main\n"}, "trixie", None),
], ids=["deb822", "deb822-disabled", "one-line", "list-dir", "no-entry"])
def test_mirror_is_read_from_the_hosts_apt_sources(tmp_path, files, codename, mirror):
    (tmp_path / "sources.list.d").mkdir()
    for name, text in files.items():
        (tmp_path / name).write_text(text)
    if mirror is None:
        with pytest.raises(stacks.RootError):
            stacks.apt_mirror(codename, tmp_path)
    else:
        assert stacks.apt_mirror(codename, tmp_path) == mirror


@pytest.mark.parametrize("text,codename", [
    ('PRETTY_NAME="Debian GNU/Linux 12 (bookworm)"\nVERSION_ID="12"\nVERSION_CODENAME=bookworm\n',
     "bookworm"),
    ('PRETTY_NAME="Debian GNU/Linux 13 (trixie)"\nVERSION_ID="13"\nVERSION_CODENAME=trixie\n',
     "trixie"),
    ('PRETTY_NAME="Debian GNU/Linux forky/sid"\nVERSION_CODENAME=forky\n', "sid"),
])
def test_release_of_a_root(tmp_path, text, codename):
    (tmp_path / "etc").mkdir()
    (tmp_path / "etc/os-release").write_text(text)
    assert stacks.os_release(tmp_path) == codename


@pytest.mark.parametrize("stamp,complete", [
    (None, False),  # a build that died before its last step
    ("0" * 16, False),  # made for another package list
    ("key", True),
])
def test_root_is_used_only_with_its_stamp(tmp_path, monkeypatch, stamp, complete):
    root = tmp_path / "roots/trixie"
    root.mkdir(parents=True)
    if stamp:
        (root / stacks.STAMP).write_text((stacks._key("trixie") if stamp == "key" else stamp) + "\n")
    built = []
    monkeypatch.setattr(stacks, "os_release", lambda root=None: "bookworm")
    monkeypatch.setattr(stacks, "_build_root", lambda *a: built.append(a))
    assert stacks.root_complete(root, "trixie") is complete
    assert stacks.guest_root("trixie", tmp_path) == root
    assert bool(built) is not complete
    # the host's own release boots the host's root and builds nothing
    built.clear()
    assert stacks.guest_root("bookworm", tmp_path) == Path("/")
    assert built == []


def test_tool_in_another_root_runs_with_the_hosts_loader_and_libraries():
    assert harness.stack_config("bookworm", Path("/"))["tool_prefix"] == []
    prefix = harness.stack_config("trixie", Path("/var/tmp/roots/trixie"))["tool_prefix"]
    loader, flag, path = prefix
    assert flag == "--library-path"
    # in the guest an absolute symlink would lead to the guest root's loader
    assert loader.startswith(harness.HOST_MOUNT + "/")
    host_loader = loader[len(harness.HOST_MOUNT):]
    assert not os.path.islink(host_loader) and os.path.isfile(host_loader)
    for d in path.split(":"):
        assert d.startswith(harness.HOST_MOUNT + "/")
        assert not os.path.islink(d[len(harness.HOST_MOUNT):])


def test_progress_names_the_started_tool_runs(tmp_path):
    assert harness.tool_started(tmp_path) == []
    (tmp_path / "progress").write_text("runner\ntool scan\ntool identity-1\n")
    assert harness.tool_started(tmp_path) == ["scan", "identity-1"]


# Each attempt of a boot: "ok", "boot" (the guest died before any tool run),
# "runner" (the runner reported the stack failed) or "during" (the guest died
# after a tool run started).
@pytest.mark.parametrize("attempts,boots,outcome", [
    (["ok"], 1, "pass"),
    (["boot", "ok"], 2, "pass"),
    (["runner", "ok"], 2, "pass"),
    (["boot", "boot"], 2, harness.HarnessError),
    (["runner", "boot"], 2, harness.HarnessError),
    (["during", "ok"], 1, harness.GuestDiedDuringRun),
    (["boot", "during", "ok"], 2, harness.GuestDiedDuringRun),
], ids=lambda v: "-".join(v) if isinstance(v, list) else None)
def test_which_failed_boots_are_retried(attempts, boots, outcome):
    scenario = {"name": "fake", "steps": []}
    made = []

    def boot(scenario, share):
        kind = attempts[len(made)]
        made.append(kind)
        if kind == "ok":
            return harness.VmResult(scenario="fake", runs={}, steps=[], events=[], timeline={},
                                    wall_s=1.0, attempts=1, share=str(share))
        if kind == "during":
            raise harness.GuestDiedDuringRun("harness: VM gave no result, after tool run(s) x")
        raise harness.HarnessError(f"harness: {kind} failed")

    if outcome == "pass":
        result = harness.run_scenario(scenario, "bookworm", boot=boot)
        assert result.attempts == boots
        assert bool(result.notes) == (boots > 1)
    else:
        with pytest.raises(harness.HarnessError) as info:
            harness.run_scenario(scenario, "bookworm", boot=boot)
        assert type(info.value) is outcome
        assert str(info.value).startswith(outcome.headline)
        assert "on bookworm" in str(info.value)
    assert len(made) == boots


# A real guest whose kernel panics, before any tool run and during one, on the
# host's own release: the runner's progress file must outlive the panic.
@pytest.mark.parametrize("steps,error,boots", [
    ([{"op": "crash"}], harness.HarnessError, 2),
    ([{"op": "start", "run": "scan"}, {"op": "wait_discovering", "timeout": 60},
      {"op": "crash"}], harness.GuestDiedDuringRun, 1),
], ids=["before-the-tool", "during-a-tool-run"])
def test_guest_kernel_panic(monkeypatch, steps, error, boots):
    if not harness.bleprobe_path().is_file():
        pytest.skip("no bleprobe binary (BLEPROBE)")
    booted = []
    real = harness._boot_once

    def counted(*args):
        booted.append(1)
        return real(*args)

    monkeypatch.setattr(harness, "_boot_once", counted)
    with pytest.raises(harness.HarnessError) as info:
        harness.run_scenario({"name": "guest_panic", "steps": steps})
    assert type(info.value) is error, str(info.value)
    assert len(booted) == boots
    assert "VM gave no result" in str(info.value)


PEER = "/org/bluez/hci1/dev_00_AA_01_00_00_00"


@pytest.mark.parametrize("event,fires", [
    # 5.66: the object, then the change
    ({"member": "PropertiesChanged", "path": PEER,
      "args": ["org.bluez.Device1", {"Connected": True}, []]}, True),
    # 5.82: the object appears already connected
    ({"member": "InterfacesAdded", "path": "/",
      "args": [PEER, {"org.bluez.Device1": {"Address": "00:AA:01:00:00:00", "Connected": True}}]},
     True),
    ({"member": "InterfacesAdded", "path": "/",
      "args": [PEER, {"org.bluez.Device1": {"Connected": False}}]}, False),
    ({"member": "PropertiesChanged", "path": PEER,
      "args": ["org.bluez.Device1", {"Connected": False}, []]}, False),
    # the central's own view of the peripheral
    ({"member": "PropertiesChanged", "path": "/org/bluez/hci0/dev_00_AA_01_01_00_01",
      "args": ["org.bluez.Device1", {"Connected": True}, []]}, False),
    ({"member": "InterfacesAdded", "path": "/",
      "args": [PEER + "/service0001", {"org.bluez.GattService1": {"Primary": True}}]}, False),
    ({"member": "PropertiesChanged", "path": "/org/bluez/hci1",
      "args": ["org.bluez.Adapter1", {"Connected": True}, []]}, False),
])
def test_hook_on_the_peripheral_seeing_the_link(event, fires):
    match = {"path_prefix": "/org/bluez/hci1/dev_", "device_state": {"Connected": True}}
    assert events.matches(event, match) is fires
