"""PID 1 of the test VM: brings up the BlueZ stack and plays one scenario.

Reads /run/e2e/scenario.json and /run/e2e/stack.json, writes
/run/e2e/result.json, then powers the VM off. Runs on the guest root's own
Python: the host's root, or another Debian release's root; in the latter the
host's root is mounted too, and the tool runs with the host's loader and
libraries (stack.json says how).

Stack: dbus-daemon (system bus), bluetoothd with DeviceID off, AutoEnable on
and a 20 s TemporaryTimeout, and one btvirt process with two LE controllers.
hci0 is the central the tool uses; hci1 is the peripheral, driven by
peripheral.py through BlueZ's advertising and GATT APIs.

Anything that keeps the stack from coming up is a harness error. What the tool
does is only recorded: stdout and stderr bytes, exit status, every signal
that org.bluez emitted, and (the runner is also a bus monitor) every method
call the tool made to org.bluez with BlueZ's reply, for the host-side tests to
judge. The runner can also play other programs on the bus, switch adapters
off in several ways and stop and restart bluetoothd.
"""

import base64
import ctypes
import json
import os
import pwd
import shutil
import signal
import subprocess
import time
import traceback

SHARE = "/run/e2e"
LOGS = os.path.join(SHARE, "logs")
SCENARIO = os.path.join(SHARE, "scenario.json")
STACK = os.path.join(SHARE, "stack.json")
RESULT = os.path.join(SHARE, "result.json")
# lines written as the runner gets on; the host reads them when the guest
# died without a result, to tell a dead boot from a death during a tool run
PROGRESS = os.path.join(SHARE, "progress")

CENTRAL = "/org/bluez/hci0"
PERIPHERAL_ADAPTER = "/org/bluez/hci1"
# btvirt gives its controllers fixed addresses; hci1 as seen from hci0
PERIPHERAL_ADDRESS = "00:AA:01:01:00:01"
PERIPHERAL_DEVICE = CENTRAL + "/dev_" + PERIPHERAL_ADDRESS.replace(":", "_")
BASE_UUID_TAIL = "-0000-1000-8000-00805f9b34fb"

# Crypto the kernel's SMP and btvirt's AF_ALG sockets need. Loading them on
# demand while the first virtual controller resets can make that reset time
# out under emulation.
CRYPTO_MODULES = ["af_alg", "algif_hash", "algif_skcipher", "cmac", "ecb", "ecdh_generic",
                  "ccm", "ctr"]
BT_MODULES = ["bluetooth", "hci_vhci"]

# TemporaryTimeout: how long bluetoothd keeps a device it only saw while
# discovering (30 s by default); a scenario may set its own.
TEMPORARY_TIMEOUT_S = 20


def bluetoothd_conf(scenario):
    timeout = scenario.get("temporary_timeout", TEMPORARY_TIMEOUT_S)
    general = "DeviceID = false\n"
    if timeout is not None:
        general += f"TemporaryTimeout = {int(timeout)}\n"
    return "[General]\n" + general + "[Policy]\nAutoEnable = true\n"

T0 = time.monotonic()
log_file = None


def now():
    return round(time.monotonic() - T0, 4)


def log(msg):
    line = f"[{now():8.3f}] {msg}\n"
    if log_file:
        log_file.write(line)
        log_file.flush()


class HarnessFailure(Exception):
    pass


def progress(line):
    fd = os.open(PROGRESS, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
    try:
        os.write(fd, (line + "\n").encode())
        os.fsync(fd)
    finally:
        os.close(fd)


def uuid128(short):
    return f"0000{short.lower()}{BASE_UUID_TAIL}" if len(short) == 4 else short.lower()


# ---------------------------------------------------------------------------
# System setup


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


def modprobe(names):
    p = subprocess.run(["/sbin/modprobe", "-a"] + names, capture_output=True, text=True)
    if p.returncode != 0:
        raise HarnessFailure(f"modprobe {' '.join(names)} failed: {p.stderr.strip()}")


def spawn_logged(name, argv):
    """A helper with its output in logs/<name>.log and an open pipe on its
    stdin, closed when it is stopped or has ended: btmgmt of BlueZ 5.82 sends
    nothing and never exits while its stdin is at end of file."""
    out = open(os.path.join(LOGS, f"{name}.log"), "ab")
    return subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=out, stderr=subprocess.STDOUT)


def close_stdin(p):
    if p is not None and p.stdin is not None and not p.stdin.closed:
        try:
            p.stdin.close()
        except OSError:
            pass


def wait_path(path, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if os.path.exists(path):
            return True
        time.sleep(0.05)
    return False


# ---------------------------------------------------------------------------
# Bus plumbing (dbus-python with a GLib main loop)

dbus = None
GLib = None
bus = None
ctx = None
# every org.bluez signal, org.bluez's NameOwnerChanged, and the runner's own
# calls' replies and processes' ends: {"t", "path", "interface", "member", "args"}
events = []
hooks = []  # {"on": match, "then": [call]}: calls made the moment a matching event arrives


def to_json(v):
    if isinstance(v, (bytes, bytearray)):
        return v.hex()
    if isinstance(v, dbus.Array):
        if v.signature == "y":
            return bytes(int(b) for b in v).hex()
        return [to_json(x) for x in v]
    if isinstance(v, (dbus.Dictionary, dict)):
        return {str(k): to_json(x) for k, x in v.items()}
    if isinstance(v, (list, tuple, dbus.Struct)):
        return [to_json(x) for x in v]
    if isinstance(v, dbus.Boolean):
        return bool(v)
    if isinstance(v, (dbus.Byte, dbus.Int16, dbus.UInt16, dbus.Int32, dbus.UInt32,
                      dbus.Int64, dbus.UInt64)):
        return int(v)
    if isinstance(v, dbus.Double):
        return float(v)
    if isinstance(v, (dbus.String, dbus.ObjectPath, str)):
        return str(v)
    return repr(v)


def type_tag(v):
    """D-Bus signature of a variant's value, kept in the log for property types."""
    try:
        if isinstance(v, dbus.Array):
            return "a" + (v.signature or "?")
        if isinstance(v, dbus.Dictionary):
            return "a{" + (v.signature or "?") + "}"
        return {dbus.Boolean: "b", dbus.Byte: "y", dbus.Int16: "n", dbus.UInt16: "q",
                dbus.Int32: "i", dbus.UInt32: "u", dbus.Int64: "x", dbus.UInt64: "t",
                dbus.Double: "d", dbus.String: "s", dbus.ObjectPath: "o"}.get(type(v), "?")
    except Exception:
        return "?"


def record_event(entry):
    events.append(entry)
    for hook in list(hooks):
        if event_matches(entry, hook["on"]):
            hooks.remove(hook)
            log(f"hook {hook['on']} fired by {entry}")
            for request in hook["then"]:
                start_call(request)


def on_bluez_signal(*args, **kw):
    entry = {"t": now(), "path": str(kw.get("path")), "interface": str(kw.get("interface")),
             "member": str(kw.get("member")), "args": to_json(list(args))}
    if entry["member"] == "PropertiesChanged" and len(args) >= 2:
        entry["types"] = {str(k): type_tag(v) for k, v in args[1].items()}
    record_event(entry)


def on_name_owner_changed(name, old, new):
    record_event({"t": now(), "path": "/org/freedesktop/DBus", "interface": "org.freedesktop.DBus",
                  "member": "NameOwnerChanged", "args": [str(name), str(old), str(new)]})


def event_matches(e, m):
    """m: member, path, interface, arg0 (first argument), prop/value (a
    property in PropertiesChanged), iface_added/iface_removed (an interface
    name in InterfacesAdded/InterfacesRemoved), id (a call or process id),
    device_state ({property: value} of a Device1 under path_prefix, whether
    the object is new, in InterfacesAdded, or changed, in PropertiesChanged:
    BlueZ 5.82 may add the peripheral's view of the central already
    connected, where 5.66 added it and then signalled Connected)."""
    if "device_state" in m:
        return _device_state_matches(e, m)
    for key in ("member", "path", "interface", "id"):
        if key in m and e.get(key) != m[key]:
            return False
    args = e.get("args") or []
    if "arg0" in m and (not args or args[0] != m["arg0"]):
        return False
    if "path_prefix" in m and not str(e.get("path", "")).startswith(m["path_prefix"]):
        return False
    if "prop" in m:
        if e.get("member") == "PropertiesChanged" and len(args) >= 2:
            props = args[1]
        else:
            return False
        if m["prop"] not in props or ("value" in m and props[m["prop"]] != m["value"]):
            return False
    if "iface_added" in m:
        if e.get("member") != "InterfacesAdded" or m["iface_added"] not in args[1]:
            return False
        if "object_prefix" in m and not args[0].startswith(m["object_prefix"]):
            return False
    if "iface_removed" in m:
        if e.get("member") != "InterfacesRemoved" or m["iface_removed"] not in args[1]:
            return False
        if "object" in m and args[0] != m["object"]:
            return False
    return True


def _device_state_matches(e, m):
    args = e.get("args") or []
    if e.get("member") == "PropertiesChanged" and len(args) >= 2 and args[0] == "org.bluez.Device1":
        path, props = str(e.get("path", "")), args[1]
    elif e.get("member") == "InterfacesAdded" and len(args) >= 2:
        path, props = str(args[0]), args[1].get("org.bluez.Device1")
        if props is None:
            return False
    else:
        return False
    if not path.startswith(m.get("path_prefix", "")):
        return False
    return all(k in props and props[k] == v for k, v in m["device_state"].items())


def events_since(t, m):
    return [e for e in events if e["t"] >= t and event_matches(e, m)]


def connect_bus():
    global dbus, GLib, bus, ctx
    import dbus as _dbus
    import dbus.mainloop.glib
    from gi.repository import GLib as _GLib

    dbus, GLib = _dbus, _GLib
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SystemBus()
    own_names.add(bus.get_unique_name())
    ctx = GLib.MainContext.default()
    # keeps iteration(True) from blocking for long, so deadlines are checked
    GLib.timeout_add(50, lambda: True)
    bus.add_signal_receiver(on_bluez_signal, bus_name="org.bluez", path_keyword="path",
                            interface_keyword="interface", member_keyword="member")
    bus.add_signal_receiver(on_name_owner_changed, signal_name="NameOwnerChanged",
                            dbus_interface="org.freedesktop.DBus", bus_name="org.freedesktop.DBus",
                            arg0="org.bluez")


own_names = set()  # the runner's own bus connections, left out of the call log


def on_monitored(conn, msg):
    """Method calls to org.bluez from other programs (the tool, the
    peripheral), kept as events {"kind": "call", "sender", "pid", "serial",
    "member", ...}, and org.bluez's replies to them {"kind": "reply",
    "destination", "reply_serial", "error"}, so that tests can tell what the
    tool asked BlueZ, what it was answered, and when."""
    kind = msg.get_type()
    if kind in (dbus.lowlevel.MESSAGE_TYPE_METHOD_RETURN, dbus.lowlevel.MESSAGE_TYPE_ERROR):
        if msg.get_destination() not in own_names:
            record_event({"t": now(), "kind": "reply", "member": "_bus_reply",
                          "destination": msg.get_destination(),
                          "reply_serial": msg.get_reply_serial(),
                          "error": msg.get_error_name()
                          if kind == dbus.lowlevel.MESSAGE_TYPE_ERROR else None})
        return dbus.lowlevel.HANDLER_RESULT_HANDLED
    if kind != dbus.lowlevel.MESSAGE_TYPE_METHOD_CALL:
        return dbus.lowlevel.HANDLER_RESULT_HANDLED
    sender = msg.get_sender()
    if sender in own_names:
        return dbus.lowlevel.HANDLER_RESULT_HANDLED
    entry = {"t": now(), "kind": "call", "sender": sender, "pid": sender_pids.get(sender),
             "serial": msg.get_serial(), "path": msg.get_path(),
             "interface": msg.get_interface(), "member": msg.get_member(),
             "args": to_json(msg.get_args_list())}
    if sender not in sender_pids:
        sender_pids[sender] = None

        def got(pid):
            sender_pids[sender] = int(pid)
            for e in events:
                if e.get("kind") == "call" and e["sender"] == sender:
                    e["pid"] = int(pid)

        bus.call_async("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                       "GetConnectionUnixProcessID", "s", (sender,), got, lambda e: None)
    record_event(entry)
    # a monitor must never answer: unhandled calls would get an error reply
    return dbus.lowlevel.HANDLER_RESULT_HANDLED


sender_pids = {}
monitor = {}


def start_monitor():
    import dbus.bus
    mon = dbus.bus.BusConnection(dbus.bus.BusConnection.TYPE_SYSTEM)
    mon.add_message_filter(on_monitored)
    mon.call_blocking("org.freedesktop.DBus", "/org/freedesktop/DBus",
                      "org.freedesktop.DBus.Monitoring", "BecomeMonitor", "asu",
                      (["type='method_call',destination='org.bluez'",
                        "type='method_return',sender='org.bluez'",
                        "type='error',sender='org.bluez'"], dbus.UInt32(0)))
    monitor["conn"] = mon


def pump(seconds=0.0):
    """Runs the main loop for a while (at least one pass)."""
    deadline = time.monotonic() + seconds
    while True:
        while ctx.pending():
            ctx.iteration(False)
        if time.monotonic() >= deadline:
            return
        ctx.iteration(True)


def wait_until(pred, timeout):
    deadline = time.monotonic() + timeout
    while True:
        while ctx.pending():
            ctx.iteration(False)
        if pred():
            return True
        if time.monotonic() >= deadline:
            return False
        ctx.iteration(True)


def object_props(path, interface):
    """Properties of one BlueZ object, or None while it does not exist."""
    try:
        props = dbus.Interface(bus.get_object("org.bluez", path, introspect=False),
                               "org.freedesktop.DBus.Properties")
        return props.GetAll(interface)
    except dbus.DBusException:
        return None


def adapter_props(path):
    return object_props(path, "org.bluez.Adapter1")


def polled(pred, interval=0.25):
    """pred evaluated at most every interval: bus round trips are not free
    on an emulated CPU that the tool under test shares."""
    state = {"next": 0.0, "value": False}

    def check():
        t = time.monotonic()
        if t >= state["next"]:
            state["value"] = pred()
            state["next"] = t + interval
        return state["value"]

    return check


def set_powered(path, on):
    props = dbus.Interface(bus.get_object("org.bluez", path), "org.freedesktop.DBus.Properties")
    props.Set("org.bluez.Adapter1", "Powered", dbus.Boolean(on))


# ---------------------------------------------------------------------------
# Stack

stack = {}
timeline = {}


def start_bluetoothd(scenario):
    conf = "/run/e2e-stack/main.conf"
    with open(conf, "w") as f:
        f.write(bluetoothd_conf(scenario))
    argv = ["/usr/libexec/bluetooth/bluetoothd", "-n", "-f", conf, "--noplugin=hostname"]
    # hostname would only ask the bus to activate hostnamed, which is not there
    stack["bluetoothd"] = spawn_logged("bluetoothd", argv)
    # proxies made before bluetoothd owns its name would have the bus try to
    # activate org.bluez through its service file
    if not wait_until(polled(lambda: stack["bluetoothd"].poll() is not None
                             or bus.name_has_owner("org.bluez"), 0.1), 30) \
            or stack["bluetoothd"].poll() is not None:
        raise HarnessFailure("bluetoothd did not take the name org.bluez")


def btvirt_argv(scenario):
    """Two LE-only controllers, or dual-mode ones (BR/EDR and LE) when the
    scenario asks: bluetoothd merges discovery filters by the controller's
    own scan type, so the two kinds can discover differently."""
    if scenario.get("controllers") == "dual":
        return ["btvirt", "-l2"]
    return ["btvirt", "-L", "-l2"]


def adapters_powered():
    a, b = adapter_props(CENTRAL), adapter_props(PERIPHERAL_ADAPTER)
    return bool(a and b and a.get("Powered") and b.get("Powered"))


def start_stack(scenario):
    modprobe(CRYPTO_MODULES)
    modprobe(BT_MODULES)
    timeline["modules_loaded"] = now()

    stack["dbus"] = spawn_logged("dbus-daemon", ["dbus-daemon", "--system", "--nofork", "--nopidfile"])
    if not wait_path("/run/dbus/system_bus_socket", 30):
        raise HarnessFailure("dbus-daemon did not create its socket")
    connect_bus()
    start_monitor()
    timeline["bus_up"] = now()

    start_bluetoothd(scenario)
    # line-buffered, so that a killed monitor has still written everything
    stack["monitor"] = spawn_logged("dbus-monitor", ["stdbuf", "-oL", "dbus-monitor", "--system"])

    for attempt in (1, 2):
        stack["btvirt"] = spawn_logged("btvirt", btvirt_argv(scenario))
        wait_until(polled(lambda: stack["btvirt"].poll() is not None or adapters_powered()), 40)
        a, b = adapter_props(CENTRAL), adapter_props(PERIPHERAL_ADAPTER)
        if a and b and a.get("Powered") and b.get("Powered"):
            break
        log(f"adapters not up after btvirt attempt {attempt}: hci0={to_json(a)} hci1={to_json(b)}"
            f" btvirt exit={stack['btvirt'].poll()}")
        stop_process(stack["btvirt"])
        if attempt == 2:
            raise HarnessFailure("the virtual adapters did not appear powered (hci0, hci1) "
                                 "after two btvirt attempts")
        pump(1.0)
    timeline["adapters_up"] = now()
    timeline["hci0_address"] = str(a.get("Address"))
    timeline["hci1_address"] = str(b.get("Address"))
    log(f"adapters up: hci0 {a.get('Address')} hci1 {b.get('Address')}")
    if str(b.get("Address")) != PERIPHERAL_ADDRESS:
        # the tests expect the deviceId made from this address
        raise HarnessFailure(f"hci1 has address {b.get('Address')}, not {PERIPHERAL_ADDRESS}")


def stop_process(p, sig=signal.SIGTERM, timeout=5):
    if p is None or p.poll() is not None:
        close_stdin(p)
        return
    try:
        p.send_signal(sig)
        p.wait(timeout)
    except subprocess.TimeoutExpired:
        p.kill()
        p.wait()
    close_stdin(p)


# ---------------------------------------------------------------------------
# Peripheral control

peripheral = {"proc": None, "buf": b"", "replies": [], "watch": None}


def _peripheral_output(fd, cond):
    try:
        data = os.read(fd, 65536)
    except OSError:
        data = b""
    if not data:
        peripheral["watch"] = None
        return False
    peripheral["buf"] += data
    while b"\n" in peripheral["buf"]:
        line, peripheral["buf"] = peripheral["buf"].split(b"\n", 1)
        try:
            msg = json.loads(line)
        except ValueError:
            log(f"peripheral said: {line!r}")
            continue
        if "event" in msg:
            # e.g. a read of the characteristic arrived at the peripheral
            record_event({"t": now(), "member": "_peripheral_" + msg["event"]})
        else:
            peripheral["replies"].append(msg)
    return True


def peripheral_request(msg, timeout=30):
    p = peripheral["proc"]
    n = len(peripheral["replies"])
    p.stdin.write((json.dumps(msg) + "\n").encode())
    p.stdin.flush()
    if not wait_until(lambda: len(peripheral["replies"]) > n or p.poll() is not None, timeout):
        raise HarnessFailure(f"peripheral did not answer {msg.get('cmd')} within {timeout} s")
    if len(peripheral["replies"]) <= n:
        raise HarnessFailure(f"peripheral exited ({p.poll()}) during {msg.get('cmd')}")
    reply = peripheral["replies"][n]
    if not reply.get("ok"):
        raise HarnessFailure(f"peripheral {msg.get('cmd')} failed: {reply.get('error')}")
    return reply


def start_peripheral(step):
    # a new one after bluetoothd restarted: its registrations died with it
    old = peripheral["proc"]
    if old is not None:
        # the watch goes first: the new pipe may get the old descriptor's
        # number, and two watches on one pipe would block in read
        if peripheral["watch"] is not None:
            GLib.source_remove(peripheral["watch"])
            peripheral["watch"] = None
        stop_process(old)
        old.stdin.close()
        old.stdout.close()
    peripheral["replies"] = []
    peripheral["buf"] = b""
    errlog = open(os.path.join(LOGS, "peripheral.log"), "ab")
    p = subprocess.Popen(["/usr/bin/python3", "-u", os.path.join(SHARE, "guest", "peripheral.py"),
                          PERIPHERAL_ADAPTER],
                         stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=errlog)
    peripheral["proc"] = p
    peripheral["watch"] = GLib.io_add_watch(p.stdout.fileno(), GLib.PRIORITY_DEFAULT,
                                            GLib.IO_IN | GLib.IO_HUP | GLib.IO_ERR,
                                            _peripheral_output)
    peripheral_request({"cmd": "gatt", "gatt": step.get("gatt")}, 60)
    if step.get("adv") is not None:
        peripheral_request({"cmd": "advertise", "adv": step["adv"]}, 60)
    if step.get("repeat_s"):
        peripheral_request({"cmd": "repeat", "seconds": step["repeat_s"]}, 60)


# ---------------------------------------------------------------------------
# The runner's own BlueZ clients: other programs on the bus, as a caller's
# machine has them. Each name is its own bus connection ("main" is the
# runner's), so BlueZ sees separate discovery sessions; closing one is that
# program exiting.

clients = {}
calls = {}


def client_bus(name):
    if not name or name == "main":
        return bus
    if name not in clients:
        clients[name] = dbus.SystemBus(private=True)
        own_names.add(clients[name].get_unique_name())
    return clients[name]


def close_client(name):
    c = clients.pop(name, None)
    if c is not None:
        c.close()
    record_event({"t": now(), "member": "_closed", "id": name})


def resolve_path(path):
    if path == "$device":
        return PERIPHERAL_DEVICE
    if path == "$central_on_peripheral":
        return PERIPHERAL_ADAPTER + "/dev_" + timeline["hci0_address"].replace(":", "_")
    return path


def start_call(request):
    """An asynchronous method call to org.bluez; its reply is recorded as an
    event {"member": "_reply", "id", "ok", "error", "message", "result"}."""
    cid = request.get("id") or f"{request['method']}#{len(calls)}"
    rec = {"id": cid, "client": request.get("client", "main"), "method": request["method"],
           "sent": now()}
    calls[cid] = rec
    path = resolve_path(request.get("path", CENTRAL))
    rec["path"] = path

    def ok(*result):
        rec.update(ok=True, replied=now(), result=to_json(list(result)))
        record_event({"t": rec["replied"], "member": "_reply", "id": cid, "ok": True,
                      "args": rec["result"]})

    def failed(name, message):
        rec.update(ok=False, replied=now(), error=name, message=message)
        record_event({"t": rec["replied"], "member": "_reply", "id": cid, "ok": False,
                      "error": name, "message": message})

    def on_reply(message):
        if isinstance(message, dbus.lowlevel.ErrorMessage):
            args = message.get_args_list()
            failed(message.get_error_name(), str(args[0]) if args else "")
        else:
            ok(*message.get_args_list())

    # no auto-start: while bluetoothd is gone the bus must not try to
    # activate it through its service file
    msg = dbus.lowlevel.MethodCallMessage("org.bluez", path,
                                          request.get("interface", "org.bluez.Adapter1"),
                                          request["method"])
    msg.set_auto_start(False)
    if request.get("args"):
        msg.append(*request["args"], signature=request.get("signature"))
    client_bus(request.get("client")).send_message_with_reply(
        msg, on_reply, float(request.get("timeout", 120)), require_main_loop=True)
    return rec


pollers = []


def start_poller(interval_ms):
    state = {"busy": False}
    pollers.append(state)
    applet = client_bus("applet")

    def done(*args):
        state["busy"] = False

    def tick():
        if state not in pollers:
            return False
        if not state["busy"]:
            state["busy"] = True
            applet.call_async("org.bluez", PERIPHERAL_DEVICE, "org.freedesktop.DBus.Properties",
                              "GetAll", "s", ("org.bluez.Device1",), done, done)
        return True

    GLib.timeout_add(interval_ms, tick)


processes = {}
helpers = {}  # the Popen of each exec'd command


def start_process(pid_name, argv):
    """A command run beside the scenario; its end is recorded as an event
    {"member": "_exit", "id", "status"} and its output goes to logs/<id>.log."""
    p = spawn_logged(pid_name, argv)
    processes[pid_name] = {"argv": argv, "started": now(), "ended": None, "status": None}
    helpers[pid_name] = p

    def ended(pid, status):
        close_stdin(p)
        info = processes[pid_name]
        info.update(ended=now(), status=os.waitstatus_to_exitcode(status))
        record_event({"t": info["ended"], "member": "_exit", "id": pid_name,
                      "status": info["status"]})

    GLib.child_watch_add(GLib.PRIORITY_DEFAULT, p.pid, ended)
    return p


# ---------------------------------------------------------------------------
# Tool runs

runs = {}
current_run = {"name": None}


# how the tool is started in this guest root (stack.json)
stack_config = {"tool_prefix": []}


class Run:
    def __init__(self, name, args, user=None):
        self.name = name
        self.args = args
        # in another release's root: the host's loader, which runs the tool in
        # this same process, so the pid is the tool's for the call log
        argv = stack_config["tool_prefix"] + [tool_binary(user)] + args
        self.out = bytearray()
        self.err = bytearray()
        self.chunks = []
        self.started = now()
        self.ended = None
        self.killed = False
        self.open_pipes = 2
        env = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "LANG": "C.UTF-8"}
        identity = {}
        if user is not None:
            entry = pwd.getpwnam(user)
            identity = {"user": entry.pw_uid, "group": entry.pw_gid, "extra_groups": []}
        progress(f"tool {name}")
        self.proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, env=env, **identity)
        for stream, sink in ((self.proc.stdout, self.out), (self.proc.stderr, self.err)):
            GLib.io_add_watch(stream.fileno(), GLib.PRIORITY_DEFAULT,
                              GLib.IO_IN | GLib.IO_HUP | GLib.IO_ERR, self._reader(sink))

    def _reader(self, sink):
        def cb(fd, cond):
            try:
                data = os.read(fd, 65536)
            except OSError:
                data = b""
            if not data:
                self.open_pipes -= 1
                return False
            sink.extend(data)
            if sink is self.out:
                self.chunks.append((now(), base64.b64encode(data).decode()))
            return True
        return cb

    def finished(self):
        if self.proc.poll() is None:
            return False
        if self.ended is None:
            self.ended = now()
        return self.open_pipes <= 0

    def line_count(self):
        return self.out.count(b"\n")

    def result(self):
        rc = self.proc.poll()
        return {
            "argv": self.args,
            "stdout_b64": base64.b64encode(bytes(self.out)).decode(),
            "stderr_b64": base64.b64encode(bytes(self.err)).decode(),
            "exit": rc if rc is not None and rc >= 0 else None,
            "signal": -rc if rc is not None and rc < 0 else None,
            "killed": self.killed,
            "pid": self.proc.pid,
            "started": self.started,
            "ended": self.ended,
            "chunks": self.chunks,
        }


def expand_args(args):
    out = []
    for a in args:
        if a.startswith("$deviceId:"):
            src = runs.get(a.split(":", 1)[1])
            value = "MISSING-DEVICE-ID"
            if src:
                for line in bytes(src.out).split(b"\n"):
                    try:
                        value = json.loads(line)["deviceId"]
                    except (ValueError, KeyError, TypeError):
                        pass
            out.append(value)
        else:
            out.append(a)
    return out


def service_data_seen(uuid, hexvalue, since, count=1):
    key = uuid128(uuid)
    seen = 0
    for e in events:
        if e["t"] < since:
            continue
        sd = None
        if e["member"] == "PropertiesChanged" and e["args"][0] == "org.bluez.Device1":
            path = e["path"]
            sd = e["args"][1].get("ServiceData")
        elif e["member"] == "InterfacesAdded":
            path = e["args"][0]
            sd = e["args"][1].get("org.bluez.Device1", {}).get("ServiceData")
        if sd is None or not path.startswith(CENTRAL + "/dev_"):
            continue
        if sd and sd.get(key) == hexvalue.lower():
            seen += 1
    return seen >= count


# ---------------------------------------------------------------------------
# Scenario steps


def tool_binary(user):
    """The tool's path; for another user, a copy it may read (the share is root's alone)."""
    binary = os.path.join(SHARE, "bleprobe")
    if user is None:
        return binary
    copy = "/run/e2e-user/bleprobe"
    if not os.path.exists(copy):
        os.makedirs(os.path.dirname(copy), mode=0o755, exist_ok=True)
        shutil.copy2(binary, copy)
        os.chmod(copy, 0o755)
    return copy


def start_tool(step):
    """Starts the tool as the step says: as root, or as an ordinary user with
    no supplementary group (step "user")."""
    run = Run(step["run"], expand_args(step.get("args", [])), step.get("user"))
    runs[step["run"]] = run
    return run


def step_run_until_exit(step, record):
    run = start_tool(step)
    ok = wait_until(run.finished, float(step.get("timeout", 90)))
    if not ok:
        record.update(ok=False, detail=f"still running after {step.get('timeout', 90)} s; killed")
        run.killed = True
        run.proc.kill()
        wait_until(run.finished, 10)


def do_step(step, record):
    op = step["op"]
    if op == "peripheral":
        start_peripheral(step)
    elif op == "advertise":
        peripheral_request({"cmd": "advertise", "adv": step["adv"]})
    elif op == "read_delay":
        peripheral_request({"cmd": "read_delay", "seconds": step["seconds"]})
    elif op == "power":
        set_powered(step.get("adapter", CENTRAL), bool(step["on"]))
        want = bool(step["on"])
        if not wait_until(polled(lambda: bool((adapter_props(step.get("adapter", CENTRAL)) or {})
                                              .get("Powered")) == want), 30):
            raise HarnessFailure(f"adapter did not become Powered={want}")
    elif op == "discover":
        # the runner's own discovery session, so that BlueZ knows the peripheral
        # without relying on the tool's scanning mode
        ad = dbus.Interface(bus.get_object("org.bluez", CENTRAL), "org.bluez.Adapter1")
        ad.SetDiscoveryFilter({"Transport": dbus.String("le")})
        ad.StartDiscovery()

        def known():
            return object_props(PERIPHERAL_DEVICE, "org.bluez.Device1") is not None

        found = wait_until(polled(known), float(step.get("timeout", 60)))
        ad.StopDiscovery()
        if not found:
            raise HarnessFailure("own discovery did not find the peripheral")
    elif op == "start":
        start_tool(step)
    elif op == "run":
        step_run_until_exit(step, record)
    elif op == "wait_lines":
        run = runs[step["run"]]
        count = int(step["count"])
        if not wait_until(lambda: run.line_count() >= count or run.finished(),
                          float(step.get("timeout", 60))):
            record.update(ok=False, detail=f"{run.line_count()} of {count} lines")
        elif run.line_count() < count:
            record.update(ok=False, detail=f"tool ended with {run.line_count()} of {count} lines")
    elif op == "wait_service_data":
        # proof that BlueZ signalled this advertisement to hci0's clients
        if step.get("since") == "now":
            since = record["t"]
        else:
            since = runs[step["run"]].started if step.get("run") else 0
        count = int(step.get("count", 1))
        if not wait_until(lambda: service_data_seen(step["uuid"], step["hex"], since, count),
                          float(step.get("timeout", 60))):
            raise HarnessFailure(f"BlueZ did not signal service data {step['uuid']}={step['hex']}"
                                 f" {count} time(s) within {step.get('timeout', 60)} s")
    elif op == "wait_discovering":
        if not wait_until(polled(lambda: bool((adapter_props(CENTRAL) or {}).get("Discovering"))),
                          float(step.get("timeout", 60))):
            record.update(ok=False, detail="hci0 never started discovering")
    elif op == "wait_device":
        # a property of the peripheral's device object on hci0; a removed
        # object counts as disconnected
        name, want = step["property"], step["value"]

        observed = record.setdefault("observed", [])

        def matches():
            dev = object_props(PERIPHERAL_DEVICE, "org.bluez.Device1")
            value = "<removed>" if dev is None else to_json(dev.get(name))
            if not observed or observed[-1][1] != value:
                observed.append((now(), value))
            if dev is None:
                return name == "Connected" and want is False
            return value == want

        timeout = float(step.get("timeout", 30))
        if not wait_until(polled(matches), timeout):
            record.update(ok=False, detail=f"{name} did not become {want} within {timeout} s")
    elif op == "settle":
        pump(float(step["seconds"]))
    elif op == "sigterm":
        run = runs[step["run"]]
        record["sent"] = now()
        if run.proc.poll() is None:
            run.proc.send_signal(signal.SIGTERM)
        else:
            record.update(ok=False, detail=f"tool had already exited ({run.proc.poll()})")
    elif op == "wait_exit":
        run = runs[step["run"]]
        timeout = float(step.get("timeout", 30))
        if not wait_until(run.finished, timeout):
            record.update(ok=False, detail=f"still running after {timeout} s; killed")
            run.killed = True
            run.proc.kill()
            wait_until(run.finished, 10)
    elif op == "mark":
        marks[step["name"]] = now()
        record_event({"t": marks[step["name"]], "member": "_mark", "id": step["name"]})
    elif op == "call":
        rec = start_call(step)
        record["call"] = rec["id"]
        if step.get("wait"):
            if not wait_until(lambda: "replied" in rec, float(step.get("timeout", 60)) + 5):
                raise HarnessFailure(f"no reply to {step['method']}")
            if step.get("must_succeed") and not rec["ok"]:
                raise HarnessFailure(f"{step['method']} failed: {rec.get('error')} {rec.get('message')}")
    elif op == "hook":
        hooks.append({"on": step["on"], "then": step["then"]})
    elif op == "poll_device":
        # another program (a desktop applet, say) reading the peripheral's
        # properties all along; every reply makes bluetoothd flush the
        # signals it holds back, in its own order
        if step.get("interval_ms"):
            start_poller(int(step["interval_ms"]))
        else:
            pollers.clear()
    elif op == "clear_hooks":
        hooks.clear()
    elif op == "wait_event":
        since = marks.get(step.get("since"), record["t"]) if step.get("since") != 0 else 0
        count = int(step.get("count", 1))
        if not wait_until(lambda: len(events_since(since, step["match"])) >= count,
                          float(step.get("timeout", 60))):
            if step.get("harness"):
                raise HarnessFailure(f"no event {step['match']} within {step.get('timeout', 60)} s")
            record.update(ok=False, detail=f"no event {step['match']}")
    elif op == "close_client":
        close_client(step["client"])
    elif op == "exec":
        start_process(step["id"], step["argv"])
        if step.get("wait", True):
            if not wait_until(lambda: processes[step["id"]]["ended"] is not None,
                              float(step.get("timeout", 60))):
                raise HarnessFailure(f"{step['argv']} did not end")
    elif op == "bluetoothd":
        if step["action"] == "stop":
            record_event({"t": now(), "member": "_sigterm", "id": "bluetoothd"})
            stack["bluetoothd"].send_signal(signal.SIGTERM)
            if not wait_until(lambda: stack["bluetoothd"].poll() is not None,
                              float(step.get("timeout", 30))):
                raise HarnessFailure("bluetoothd did not exit at SIGTERM")
            close_stdin(stack["bluetoothd"])
        else:
            start_bluetoothd(scenario_config)
            if not wait_until(polled(adapters_powered), float(step.get("timeout", 60))):
                raise HarnessFailure("adapters not powered again after bluetoothd restart")
    elif op == "crash":
        # the kernel panics here, as a guest kernel hitting a BUG would;
        # only the harness's own tests ask for this
        with open("/proc/sysrq-trigger", "w") as f:
            f.write("c")
        time.sleep(30)
    else:
        raise HarnessFailure(f"unknown step {op}")


steps = []
marks = {}
scenario_config = {}


def play(scenario):
    scenario_config.update(scenario)
    for step in scenario["steps"]:
        record = {"op": step["op"], "run": step.get("run"), "t": now(), "ok": True}
        steps.append(record)
        log(f"step {step}")
        do_step(step, record)
        record["done"] = now()
        log(f"  -> {record}")
    # whatever is still running is no longer wanted
    for run in runs.values():
        if run.proc.poll() is None:
            run.killed = True
            run.proc.kill()
            wait_until(run.finished, 10)
    for p in helpers.values():
        stop_process(p)


# ---------------------------------------------------------------------------


def power_off():
    try:
        os.sync()
    finally:
        libc = ctypes.CDLL(None, use_errno=True)
        libc.reboot(0x4321FEDC)  # RB_POWER_OFF
        time.sleep(30)


def write_result(obj):
    tmp = RESULT + ".tmp"
    with open(tmp, "w") as f:
        json.dump(obj, f)
        f.flush()
        os.fsync(f.fileno())
    os.rename(tmp, RESULT)


def mount_host_root(path):
    """The host's root, read-only, for its loader and libraries."""
    os.makedirs(path, exist_ok=True)
    p = subprocess.run(["/bin/mount", "-t", "9p", "-o",
                        "trans=virtio,version=9p2000.L,ro,msize=524288,cache=loose", "host", path],
                       capture_output=True, text=True)
    if p.returncode != 0:
        raise HarnessFailure(f"mounting the host's root failed: {p.stderr.strip()}")


def record_versions():
    """Which stack this boot was: the tests' summary shows it."""
    timeline["kernel"] = os.uname().release
    try:
        p = subprocess.run(["/usr/libexec/bluetooth/bluetoothd", "--version"],
                           stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=30)
        timeline["bluetoothd_version"] = p.stdout.strip() or p.stderr.strip()
    except (OSError, subprocess.TimeoutExpired) as e:
        timeline["bluetoothd_version"] = f"unknown ({e})"
    try:
        with open("/etc/os-release") as f:
            for line in f:
                if line.startswith("PRETTY_NAME="):
                    timeline["os"] = line.split("=", 1)[1].strip().strip('"')
    except OSError:
        pass


def main():
    global log_file, PERIPHERAL_ADDRESS, PERIPHERAL_DEVICE
    result = {"harness_error": None, "runs": {}, "steps": [], "events": [], "timeline": timeline}
    try:
        with open("/proc/uptime") as f:
            timeline["uptime_at_runner"] = float(f.read().split()[0])
        base_system()
        progress("runner")
        log_file = open(os.path.join(SHARE, "runner.log"), "a")
        if os.path.exists(STACK):
            with open(STACK) as f:
                stack_config.update(json.load(f))
        # btvirt's own numbering on this release (harness.BTVIRT_ADDRESSES)
        PERIPHERAL_ADDRESS = stack_config.get("peripheral_address", PERIPHERAL_ADDRESS)
        PERIPHERAL_DEVICE = CENTRAL + "/dev_" + PERIPHERAL_ADDRESS.replace(":", "_")
        if stack_config.get("host_share"):
            mount_host_root(stack_config["host_share"])
        record_versions()
        with open(SCENARIO) as f:
            scenario = json.load(f)
        log(f"scenario {scenario['name']} on {timeline.get('os')}: kernel {timeline['kernel']}, "
            f"bluetoothd {timeline['bluetoothd_version']}")
        start_stack(scenario)
        timeline["stack_ready"] = now()
        play(scenario)
        timeline["scenario_done"] = now()
    except HarnessFailure as e:
        result["harness_error"] = str(e)
        log(f"HARNESS FAILURE: {e}")
    except Exception:
        result["harness_error"] = "guest runner crashed: " + traceback.format_exc()
        log(result["harness_error"])
    try:
        result["steps"] = steps
        result["runs"] = {name: r.result() for name, r in runs.items()}
        result["events"] = events
        result["calls"] = calls
        result["processes"] = processes
        if peripheral["proc"] is not None:
            stop_process(peripheral["proc"])
        for name in ("btvirt", "bluetoothd", "monitor", "dbus"):
            stop_process(stack.get(name))
        write_result(result)
    except Exception:
        log("writing the result failed: " + traceback.format_exc())
    power_off()


if __name__ == "__main__":
    main()
