"""The stack under the tool: the kernel's Bluetooth modules, dbus-daemon,
bluetoothd and one btvirt process with two virtual controllers, hci0 the
central and hci1 the peripheral. Anything that keeps it from coming up is a
harness failure."""

import os
import signal
import subprocess
import time

import bus
import captures
import monitor
import releases
import bluez_paths
from bluez_paths import CENTRAL, PERIPHERAL_ADAPTER
from processes import close_stdin, spawn_logged, stop_process
from share import HarnessFailure, log, now, timeline
from system import modprobe

# Crypto the kernel's SMP and btvirt's AF_ALG sockets need. Loading them on
# demand while the first virtual controller resets can make that reset time
# out under emulation.
CRYPTO_MODULES = ["af_alg", "algif_hash", "algif_skcipher", "cmac", "ecb", "ecdh_generic",
                  "ccm", "ctr"]
BT_MODULES = ["bluetooth", "hci_vhci"]

# TemporaryTimeout: how long bluetoothd keeps a device it only saw while
# discovering (30 s by default); a scenario may set its own.
TEMPORARY_TIMEOUT_S = 20
CONF = "/run/e2e-stack/main.conf"

# the daemons by name, and what they were started for
procs: dict = {}
_for = {"release": releases.Release(), "scenario": {}}


def bluetoothd_conf(scenario, release):
    timeout = scenario.get("temporary_timeout", TEMPORARY_TIMEOUT_S)
    general = "".join(line + "\n" for line in release.general)
    if timeout is not None:
        general += f"TemporaryTimeout = {int(timeout)}\n"
    return "[General]\n" + general + "[Policy]\n" + "".join(line + "\n" for line in release.policy)


def record_versions(release):
    """Which stack this boot was: the tests' summary shows it."""
    timeline["kernel"] = os.uname().release
    try:
        p = subprocess.run([release.bluetoothd, "--version"],
                           stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=30)
        timeline["bluetoothd_version"] = p.stdout.strip() or p.stderr.strip()
    except (OSError, subprocess.TimeoutExpired) as e:
        timeline["bluetoothd_version"] = f"unknown ({e})"


def start(scenario, release):
    _for.update(release=release, scenario=scenario)
    modprobe(CRYPTO_MODULES)
    modprobe(BT_MODULES)
    timeline["modules_loaded"] = now()

    procs["dbus"] = spawn_logged("dbus-daemon", ["dbus-daemon", "--system", "--nofork", "--nopidfile"])
    if not _wait_path("/run/dbus/system_bus_socket", 30):
        raise HarnessFailure("dbus-daemon did not create its socket")
    bus.connect()
    monitor.start()
    timeline["bus_up"] = now()

    if scenario.get("record"):
        captures.start(scenario["name"])
    start_bluetoothd()
    # line-buffered, so that a killed monitor has still written everything
    procs["monitor"] = spawn_logged("dbus-monitor", ["stdbuf", "-oL", "dbus-monitor", "--system"])
    _start_controllers()


def _wait_path(path, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if os.path.exists(path):
            return True
        time.sleep(0.05)
    return False


def start_bluetoothd():
    with open(CONF, "w") as f:
        f.write(bluetoothd_conf(_for["scenario"], _for["release"]))
    # hostname would only ask the bus to activate hostnamed, which is not there
    argv = [_for["release"].bluetoothd, "-n", "-f", CONF, "--noplugin=hostname"]
    procs["bluetoothd"] = p = spawn_logged("bluetoothd", argv)
    # proxies made before bluetoothd owns its name would have the bus try to
    # activate org.bluez through its service file
    if not bus.wait_until(bus.polled(lambda: p.poll() is not None
                                     or bus.conn.name_has_owner("org.bluez"), 0.1), 30) \
            or p.poll() is not None:
        raise HarnessFailure("bluetoothd did not take the name org.bluez")


def stop_bluetoothd(timeout):
    p = procs["bluetoothd"]
    p.send_signal(signal.SIGTERM)
    if not bus.wait_until(lambda: p.poll() is not None, timeout):
        raise HarnessFailure("bluetoothd did not exit at SIGTERM")
    close_stdin(p)


def adapters_powered():
    a, b = bus.adapter_props(CENTRAL), bus.adapter_props(PERIPHERAL_ADAPTER)
    return bool(a and b and a.get("Powered") and b.get("Powered"))


def _start_controllers():
    dual = _for["scenario"].get("controllers") == "dual"
    argv = list(_for["release"].btvirt_dual if dual else _for["release"].btvirt_le)
    for attempt in (1, 2):
        procs["btvirt"] = p = spawn_logged("btvirt", argv)
        bus.wait_until(bus.polled(lambda: p.poll() is not None or adapters_powered()), 40)
        a, b = bus.adapter_props(CENTRAL), bus.adapter_props(PERIPHERAL_ADAPTER)
        if a and b and a.get("Powered") and b.get("Powered"):
            break
        log(f"adapters not up after btvirt attempt {attempt}: hci0={bus.to_json(a)} hci1={bus.to_json(b)}"
            f" btvirt exit={p.poll()}")
        stop_process(p)
        if attempt == 2:
            raise HarnessFailure("the virtual adapters did not appear powered (hci0, hci1) "
                                 "after two btvirt attempts")
        bus.pump(1.0)
    timeline["adapters_up"] = now()
    timeline["hci0_address"] = str(a.get("Address"))
    timeline["hci1_address"] = str(b.get("Address"))
    log(f"adapters up: hci0 {a.get('Address')} hci1 {b.get('Address')}")
    if str(b.get("Address")) != bluez_paths.PERIPHERAL_ADDRESS:
        # the tests expect the deviceId made from this address
        raise HarnessFailure(f"hci1 has address {b.get('Address')}, not {bluez_paths.PERIPHERAL_ADDRESS}")


def stop():
    for name in ("btvirt", "bluetoothd", "monitor", "dbus"):
        stop_process(procs.get(name))
