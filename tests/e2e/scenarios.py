"""The VM scenarios: what the peripheral on hci1 does and how the tool is run.

Each scenario is one boot. Several tests may read the result of one boot.
Step operations are carried out in order by guest/runner.py:

  peripheral        start the hci1 program: GATT application, then advertisement
  advertise         change the advertisement in place (null: withdraw it, the
                    peripheral falls silent)
  read_delay        make the peripheral answer reads of its characteristic late
  read_error        make it answer them with a D-Bus error (an ATT error on the air)
  power             set hci0's Powered property
  discover          the runner's own discovery on hci0 until BlueZ knows hci1
  start / run       start the tool (run: and wait for its exit)
  wait_lines        wait until the tool has written N lines
  wait_service_data wait until BlueZ signalled that service data to hci0 clients
  wait_discovering  wait until hci0 is discovering
  wait_device       wait until a property of hci1's device object on hci0 has a value
  sigterm / wait_exit
  settle            give the tool time to write something it should not, or
                    wait a gap that is itself what is tested
  mark              name this moment, for a later wait_event's "since"
  wait_event        wait for a signal, a reply, a process end, a read reaching
                    the peripheral, or a method call another program made
  hook              when an event matches, make calls at once (no round trip
                    of the runner's own in between)
  call              an asynchronous call to org.bluez by one of the runner's
                    clients ("main", or a named other program)
  close_client      that other program exits
  exec              run a command (btmgmt)
  bluetoothd        stop it with SIGTERM, or start it again
  poll_device       another program reads the peripheral's properties every
                    interval_ms (no interval: it stops)
  crash             panic the guest's kernel (the harness's own tests)

Arguments "$deviceId:<run>" are replaced by the deviceId of the last line of
that run, as a caller of the tool would do. A "peripheral" step's "repeat_s"
makes the peripheral advertise again at that period, as a radio does; a
"start" or "run" step's "user" runs the tool as that ordinary user; a
scenario's "controllers": "dual" makes both virtual controllers dual-mode
(BR/EDR and LE) instead of LE-only. A scenario's "record" captures the
controllers' traffic with btmon -w from before bluetoothd starts until the
scenario ends, or until a step that says "record_stop" (test_captures.py).

A radio repeats its advertisement every interval, while the virtual
controller reports an advertiser only when a scan or the advertising starts.
Kernel 6.12 can lose the first report of a discovery, so a scenario whose
subject is not that first report lets the peripheral repeat itself, as users'
peripherals do; the search scenarios, whose subject it is, do not.

Besides org.bluez's signals, the result holds every method call other
programs made to org.bluez (the runner watches the bus as a monitor), with
the caller's process id, so tests can check what the tool asked BlueZ.
"""

from bleprobe_sim.promises import SEARCH_S
from bluez_paths import CENTRAL, PERIPHERAL_ADAPTER, PERIPHERAL_DEVICE

# The peripheral's bluetoothd 5.55 (Debian 11) exports a Device Information
# service of its own whatever DeviceID says (doc/bluez-behaviour.md,
# own-device-information): there no peripheral lacks one, and one without the
# application's has no serial number.
OWN_DEVICE_INFORMATION_RELEASES = ("bullseye",)
DEVICE_ID = "00000000-0000-0000-0000-00AA01010001"
UNKNOWN_DEVICE_ID = "00000000-0000-0000-0000-00AA010100FE"

UNIT = "1523"
DFU = "FE59"
DIS = "180A"
SERIAL_NUMBER = "2A25"


# How often a peripheral that behaves like a radio advertises again. Real
# peripherals repeat every 20 ms to 10 s; this keeps the bus quiet.
RADIO_REPEAT_S = 2.0


# A scan stops its discovery and exits on SIGTERM within the tool's bound
# (bleprobe_sim.promises.EXIT_AFTER_SIGTERM): StopDiscovery is one round trip
# to bluetoothd. Measured in the guest from the signal to the exit: 0.09 to
# 0.25 s, under software emulation on a two-core host at a load of 7.
# The guest gets this much more: a host loaded by the test command's other
# stages starves it (0.69 s seen at a load of 6, in the boot that took 46 s
# against 6 to 15 s), as the integration suite's emulated builds get their
# BLEPROBE_EXIT_SLACK. A scan that lingers 1 s after SIGTERM still fails.
GUEST_EXIT_SLACK_S = 0.5
# How long the runner waits for that exit before it kills the tool: past the
# bound, only so that a hung tool costs the boot little.
SCAN_EXIT_WAIT_S = 5


def sigterm_scan(run):
    """SIGTERM to a scan, then its exit waited for."""
    return [{"op": "sigterm", "run": run}, {"op": "wait_exit", "run": run, "timeout": SCAN_EXIT_WAIT_S}]


# after an identity run: it made the link, so it must also have asked
# BlueZ to drop it
LINK_RELEASED = {"op": "wait_device", "property": "Connected", "value": False, "timeout": 30}

# An identity run for an address nobody advertises searches for 25 s
# (BluezDiscovery::kSearchTime), then stops the discovery and reports
# identity-device-not-found. On the bus, from the tool's StartDiscovery to its
# StopDiscovery: 24.86 s measured (the timer starts just before the call goes
# out); each call reaches the monitor late by what the emulated CPU is busy
# with, hence a second's margin either way. The whole run cannot be shorter
# than the search, and adds the start (exec, bus, BlueZ's objects: 0.56 s
# idle) and the exit (0.09 s); 2.3 s in all seen with the host at a load of 7.
SEARCH_BOUNDS_S = (SEARCH_S - 1.0, SEARCH_S + 1.0)
SEARCH_RUN_BOUNDS_S = (SEARCH_S, SEARCH_S + 3.0)


def hexs(data: bytes) -> str:
    return data.hex()


def unit_adv(payload: bytes, with_uuid_list=True, extra=None):
    adv: dict = {"service_data": {UNIT: hexs(payload)}}
    if extra:
        adv["service_data"].update({k: hexs(v) for k, v in extra.items()})
    if with_uuid_list:
        adv["service_uuids"] = [UNIT]
    return adv


def dis_app(value: bytes):
    return {"service": DIS, "characteristic": SERIAL_NUMBER, "value_hex": hexs(value)}


# A peripheral that offers a GATT service, but not Device Information.
BATTERY_APP = {"service": "180F", "characteristic": "2A19", "value_hex": "64"}

# Payloads that must not produce a unit record (each differs from a valid one
# in exactly one way).
INVALID_UNIT_PAYLOADS = [
    b"1234-56",  # 7 bytes
    b"1234-5678",  # 9 bytes
    b"12a4-567",  # letter for a digit
    b"1234 567",  # space for the hyphen
    b"1234_567",  # underscore for the hyphen
    b"1234-\xb767",  # byte above 0x7F
    b"12345678",  # digits without hyphen
]
VALID_AFTER_INVALID = b"4321-765"


SCAN_CHANGES = {
    "name": "scan_changes",
    "record": True,
    "steps": [
        {"op": "peripheral", "gatt": dis_app(b"0123456789ABCDEF"),
         "adv": unit_adv(b"1234-567"), "repeat_s": RADIO_REPEAT_S},
        {"op": "start", "run": "scan"},
        {"op": "wait_lines", "run": "scan", "count": 1, "timeout": 60},
        {"op": "advertise", "adv": unit_adv(b"1234-568")},
        {"op": "wait_lines", "run": "scan", "count": 2, "timeout": 60},
        {"op": "advertise", "adv": unit_adv(b"1234-567")},
        {"op": "wait_lines", "run": "scan", "count": 3, "timeout": 60},
        # the same advertisement once more, from the kernel's next discovery
        # round: it must not produce a line
        {"op": "wait_service_data", "run": "scan", "uuid": UNIT, "hex": hexs(b"1234-567"),
         "since": "now", "timeout": 60},
        {"op": "settle", "seconds": 1},
        *sigterm_scan("scan"),
    ],
}

SCAN_SERVICE_DATA_ONLY = {
    "name": "scan_service_data_only",
    "steps": [
        # a scan that sees nothing, ended by SIGTERM
        {"op": "start", "run": "empty"},
        {"op": "wait_discovering", "timeout": 60},
        {"op": "settle", "seconds": 1},
        *sigterm_scan("empty"),
        # the service UUID appears only as the key of the service data
        {"op": "peripheral", "gatt": None, "adv": unit_adv(b"0042-001", with_uuid_list=False),
         "repeat_s": RADIO_REPEAT_S},
        {"op": "start", "run": "scan"},
        {"op": "wait_lines", "run": "scan", "count": 1, "timeout": 60},
        *sigterm_scan("scan"),
    ],
}


def _invalid_steps():
    steps = [
        {"op": "peripheral", "gatt": None, "adv": unit_adv(INVALID_UNIT_PAYLOADS[0]),
         "repeat_s": RADIO_REPEAT_S},
        {"op": "start", "run": "scan"},
        {"op": "wait_service_data", "run": "scan", "uuid": UNIT,
         "hex": hexs(INVALID_UNIT_PAYLOADS[0]), "timeout": 60},
    ]
    for payload in INVALID_UNIT_PAYLOADS[1:]:
        steps += [
            {"op": "advertise", "adv": unit_adv(payload)},
            {"op": "wait_service_data", "run": "scan", "uuid": UNIT, "hex": hexs(payload),
             "timeout": 60},
        ]
    # a valid unit number only under the firmware-update service
    steps += [
        {"op": "advertise", "adv": {"service_data": {DFU: hexs(b"1234-567")}}},
        {"op": "wait_service_data", "run": "scan", "uuid": DFU, "hex": hexs(b"1234-567"),
         "timeout": 60},
        # then a valid one: everything signalled before it reached the tool
        # first, so its line must be the first and only one
        {"op": "advertise", "adv": unit_adv(VALID_AFTER_INVALID)},
        {"op": "wait_lines", "run": "scan", "count": 1, "timeout": 60},
        {"op": "advertise", "adv": unit_adv(INVALID_UNIT_PAYLOADS[2])},
        {"op": "wait_service_data", "run": "scan", "uuid": UNIT,
         "hex": hexs(INVALID_UNIT_PAYLOADS[2]), "timeout": 60},
        {"op": "settle", "seconds": 1},
        *sigterm_scan("scan"),
    ]
    return steps


SCAN_INVALID = {"name": "scan_invalid", "steps": _invalid_steps()}

DFU_PAYLOAD_1 = bytes([1, 2, 3, 4, 5, 6, 7, 8])
DFU_PAYLOAD_2 = bytes([0xFF] * 8)

SCAN_DFU = {
    "name": "scan_dfu",
    "steps": [
        {"op": "peripheral", "gatt": None,
         "adv": {"service_data": {DFU: hexs(DFU_PAYLOAD_1), UNIT: hexs(b"1234-567")},
                 "service_uuids": [DFU]}, "repeat_s": RADIO_REPEAT_S},
        {"op": "start", "run": "dfu", "args": ["--dfu"]},
        {"op": "wait_lines", "run": "dfu", "count": 1, "timeout": 60},
        {"op": "advertise",
         "adv": {"service_data": {DFU: hexs(DFU_PAYLOAD_2), UNIT: hexs(b"1234-567")},
                 "service_uuids": [DFU]}},
        {"op": "wait_lines", "run": "dfu", "count": 2, "timeout": 60},
        # the controller switched off while scanning ends the scan
        {"op": "power", "on": False},
        {"op": "wait_exit", "run": "dfu", "timeout": 30},
    ],
}


def identity_scenario(name, gatt, extra_runs=()):
    """BlueZ learns the peripheral from the runner's own discovery, then the
    tool runs in identity mode (and then any extra identity runs)."""
    steps = [
        {"op": "peripheral", "gatt": gatt, "adv": unit_adv(b"1234-567")},
        {"op": "discover", "timeout": 60},
        {"op": "run", "run": "identity", "args": ["--identity", DEVICE_ID], "timeout": 120},
        LINK_RELEASED,
    ]
    for run_name, args in extra_runs:
        steps.append({"op": "run", "run": run_name, "args": args, "timeout": 120})
    return {"name": name, "steps": steps}


IDENTITY_SUCCESS = identity_scenario(
    "identity_success", dis_app(b"0123456789abcdef\r\n"),
    extra_runs=[("unknown", ["--identity", UNKNOWN_DEVICE_ID])])
IDENTITY_NO_DIS = identity_scenario("identity_no_dis", BATTERY_APP)
IDENTITY_INVALID_SERIAL = identity_scenario("identity_invalid_serial",
                                            dis_app(b"0123456789ABCDE"))
# then, in the same VM: SIGTERM while the tool is connected and its read of
# the serial is still unanswered
IDENTITY_INVALID_SERIAL["steps"] += [
    {"op": "read_delay", "seconds": 30},
    {"op": "start", "run": "cancelled", "args": ["--identity", DEVICE_ID]},
    {"op": "wait_device", "property": "ServicesResolved", "value": True, "timeout": 60},
    {"op": "settle", "seconds": 0.5},
    {"op": "sigterm", "run": "cancelled"},
    {"op": "wait_exit", "run": "cancelled", "timeout": 30},
    LINK_RELEASED,
]

CALLER_SERIAL = b"00AA0101BEEF0042"

# The read refused the way a peripheral's GATT application refuses it:
# bluetoothd on hci1 answers with an ATT error.
READ_REFUSAL = "org.bluez.Error.NotPermitted"

# Then, in the same VM, two failures as a caller meets them: the read
# refused by the peripheral, and the peripheral fallen silent, which BlueZ
# still lists. The kernel creates a connection only once it hears the
# peripheral again; it gives up after its L2CAP connect timeout (40 s).
CALLER_SEQUENCE = {
    "name": "caller_sequence",
    "record": True,
    "steps": [
        {"op": "peripheral", "gatt": dis_app(CALLER_SERIAL), "adv": unit_adv(b"7777-001")},
        {"op": "start", "run": "scan"},
        {"op": "wait_lines", "run": "scan", "count": 1, "timeout": 60},
        *sigterm_scan("scan"),
        {"op": "run", "run": "identity", "args": ["--identity", "$deviceId:scan"], "timeout": 120},
        LINK_RELEASED,
        {"op": "read_error", "error": READ_REFUSAL},
        {"op": "run", "run": "read-refused", "args": ["--identity", "$deviceId:scan"], "timeout": 120},
        LINK_RELEASED,
        {"op": "advertise", "adv": None},
        {"op": "run", "run": "silent", "args": ["--identity", "$deviceId:scan"], "timeout": 120},
    ],
}

ADAPTER_OFF = {
    "name": "adapter_off",
    "steps": [
        {"op": "peripheral", "gatt": dis_app(b"0123456789ABCDEF"), "adv": unit_adv(b"1234-567")},
        {"op": "discover", "timeout": 60},
        {"op": "power", "on": False},
        {"op": "run", "run": "scan", "args": [], "timeout": 60},
        {"op": "run", "run": "dfu", "args": ["--dfu"], "timeout": 60},
        {"op": "run", "run": "identity", "args": ["--identity", DEVICE_ID], "timeout": 90},
    ],
}

PROPERTIES = "org.freedesktop.DBus.Properties"
POWERED_OFF = {"member": "PropertiesChanged", "path": CENTRAL, "prop": "Powered", "value": False}
DEVICE_REMOVED = {"iface_removed": "org.bluez.Device1", "object": PERIPHERAL_DEVICE}


def set_powered(on, adapter=CENTRAL, call_id=None):
    return {"id": call_id or f"powered-{on}", "path": adapter, "interface": PROPERTIES,
            "method": "Set", "signature": "ssv", "args": ["org.bluez.Adapter1", "Powered", on]}


# A peripheral that BlueZ has forgotten: seen by a scan, then dropped
# TemporaryTimeout after the last advertisement it saw (the VM's bluetoothd
# keeps such devices 20 s). The peripheral still advertises.
FORGOTTEN_SERIAL = b"00AA0101F0260001"
FORGOTTEN = {
    "name": "forgotten_peripheral",
    "steps": [
        {"op": "peripheral", "gatt": dis_app(FORGOTTEN_SERIAL), "adv": unit_adv(b"7777-002")},
        {"op": "start", "run": "scan"},
        {"op": "wait_lines", "run": "scan", "count": 1, "timeout": 60},
        *sigterm_scan("scan"),
        {"op": "wait_event", "match": DEVICE_REMOVED, "since": 0, "timeout": 90},
        {"op": "run", "run": "identity", "args": ["--identity", "$deviceId:scan"], "timeout": 120},
        LINK_RELEASED,
        # nobody advertises this address: the search gives up
        {"op": "run", "run": "unknown", "args": ["--identity", UNKNOWN_DEVICE_ID], "timeout": 120},
    ],
}

# Identity runs on one peripheral, each started a given time after the
# previous one exited (doc/bluez-behaviour.md, slow-disconnect).
BACK_TO_BACK_SERIAL = b"00AA0101B2B00002"
BACK_TO_BACK_GAPS = [0, 0.6, 1.3, 3]


def _back_to_back_steps():
    steps = [
        {"op": "peripheral", "gatt": dis_app(BACK_TO_BACK_SERIAL), "adv": unit_adv(b"7777-003")},
        {"op": "discover", "timeout": 60},
        {"op": "run", "run": "first", "args": ["--identity", DEVICE_ID], "timeout": 120},
    ]
    for gap in BACK_TO_BACK_GAPS:
        steps += [
            {"op": "settle", "seconds": gap},
            {"op": "run", "run": f"after-{gap}", "args": ["--identity", DEVICE_ID], "timeout": 120},
        ]
    return steps


BACK_TO_BACK = {
    "name": "back_to_back",
    # the runs must find the peripheral known, as a caller running them one
    # after another would
    "temporary_timeout": 600,
    "steps": _back_to_back_steps(),
}

# A connection cut by switching hci0 off and on, then the tool connects to a
# device whose GATT objects BlueZ has yet to announce. bluetoothd serves our
# power-off only once the running service discovery is over, and it keeps the
# objects of a finished discovery, so the device is removed and found again
# before the tool's run. Another program reads the device's properties all
# the while: each reply makes bluetoothd flush the signals it holds back,
# the device's ServicesResolved=true before the new objects' InterfacesAdded.
CUT_SERIAL = b"00AA0101C0710003"
CUT_REPEATS = 4


def _forget_and_find(i, step):
    return [
        {"op": "call", "id": f"cut-{i}-remove-{step}", "method": "RemoveDevice",
         "signature": "o", "args": [PERIPHERAL_DEVICE], "wait": True, "must_succeed": True},
        {"op": "wait_event", "match": DEVICE_REMOVED, "since": f"cut-{i}-{step}",
         "timeout": 30, "harness": True},
        {"op": "discover", "timeout": 60},
    ]


def _cut_steps():
    steps = [{"op": "peripheral", "gatt": dis_app(CUT_SERIAL), "adv": unit_adv(b"7777-004")},
             {"op": "discover", "timeout": 60}]
    for i in range(1, CUT_REPEATS + 1):
        steps += [
            {"op": "mark", "name": f"cut-{i}"},
            # the peripheral's side learns of the link first, some 50 ms
            # before the Connect reply
            {"op": "hook", "on": {"path_prefix": PERIPHERAL_ADAPTER + "/dev_",
                                  "device_state": {"Connected": True}},
             "then": [set_powered(False, call_id=f"cut-{i}-off")]},
            {"op": "call", "id": f"cut-{i}-connect", "path": "$device",
             "interface": "org.bluez.Device1", "method": "Connect", "timeout": 60},
            {"op": "wait_event", "match": POWERED_OFF, "since": f"cut-{i}", "timeout": 60,
             "harness": True},
            {"op": "power", "on": True},
            {"op": "mark", "name": f"cut-{i}-on"},
            *_forget_and_find(i, "on"),
            {"op": "poll_device", "interval_ms": 10},
            {"op": "run", "run": f"identity-{i}", "args": ["--identity", DEVICE_ID], "timeout": 120},
            {"op": "poll_device"},
            LINK_RELEASED,
            {"op": "mark", "name": f"cut-{i}-done"},
            *_forget_and_find(i, "done"),
        ]
    return steps


SERVICES_AFTER_CUT = {"name": "services_after_cut", "temporary_timeout": 600,
                      "steps": _cut_steps()}
# The same, booted again only when the first boot's connections all showed
# the objects first (the order is a race that some boots lose on every
# connection).
SERVICES_AFTER_CUT_AGAIN = dict(SERVICES_AFTER_CUT, name="services_after_cut_again")

# The adapter going away while the tool is connected (its read held
# unanswered by the peripheral), or while it waits for service discovery;
# and real link losses with the adapter on. bluetoothd is restarted between
# cases: after links died with reads pending, bluetoothd 5.66 has crashed on a
# later connection.
ADAPTER_GONE_SERIAL = b"00AA0101A0FF0004"


def _fresh_stack():
    return [
        {"op": "bluetoothd", "action": "stop"},
        {"op": "bluetoothd", "action": "start"},
        {"op": "peripheral", "gatt": dis_app(ADAPTER_GONE_SERIAL), "adv": unit_adv(b"7777-005")},
        {"op": "discover", "timeout": 60},
        {"op": "read_delay", "seconds": 30},
    ]


def _while_reading(run, cut, fresh=True, record_stop=False):
    """The tool connects and sends its read; then cut."""
    steps = [
        {"op": "mark", "name": run},
        {"op": "start", "run": run, "args": ["--identity", DEVICE_ID]},
        {"op": "wait_event", "run": run, "match": {"member": "_peripheral_read"}, "since": run,
         "timeout": 90},
    ] + cut + [{"op": "wait_exit", "run": run, "timeout": 60, "record_stop": record_stop}]
    return steps + (_fresh_stack() if fresh else [])


# The capture ends with the first case, the link the peripheral drops: the
# others take the adapter or bluetoothd away, which no scenario replays.
ADAPTER_GONE = {
    "name": "adapter_gone",
    "record": True,
    "steps": [
        {"op": "peripheral", "gatt": dis_app(ADAPTER_GONE_SERIAL), "adv": unit_adv(b"7777-005")},
        {"op": "discover", "timeout": 60},
        {"op": "read_delay", "seconds": 30},
        # the peripheral drops the link
        *_while_reading("peer-disconnect", [
            {"op": "call", "id": "peer-disconnect", "path": "$central_on_peripheral",
             "interface": "org.bluez.Device1", "method": "Disconnect"}], record_stop=True),
        # the peripheral's controller goes off
        *_while_reading("peer-off", [
            {"op": "call", **set_powered(False, PERIPHERAL_ADAPTER, "peer-off")}]),
        *_while_reading("powered-property", [{"op": "call", **set_powered(False)}]),
        *_while_reading("btmgmt", [
            {"op": "exec", "id": "btmgmt-off", "wait": False,
             "argv": ["btmgmt", "--index", "0", "power", "off"]}]),
        # switched off as soon as the tool asks to connect, so during service
        # discovery (a power-off during a connection attempt to a silent
        # peripheral can crash this kernel, 6.1)
        {"op": "mark", "name": "connecting"},
        {"op": "hook", "on": {"member": "Connect", "interface": "org.bluez.Device1"},
         "then": [set_powered(False, call_id="connecting-off")]},
        {"op": "run", "run": "connecting", "args": ["--identity", DEVICE_ID], "timeout": 90},
        {"op": "clear_hooks"},
        *_fresh_stack(),
        *_while_reading("bluetoothd-stopped", [{"op": "bluetoothd", "action": "stop"}],
                        fresh=False),
    ],
}

# Two scanners; the first stops; then another program's discovery session
# stops the adapter's discovery (BlueZ 5.66 does this when a client that
# stopped with a filter set exits).
SCANNERS = {
    "name": "two_scanners",
    "record": True,
    "steps": [
        {"op": "peripheral", "gatt": None, "adv": unit_adv(b"5000-001"),
         "repeat_s": RADIO_REPEAT_S},
        {"op": "start", "run": "first"},
        {"op": "wait_lines", "run": "first", "count": 1, "timeout": 60},
        {"op": "start", "run": "second"},
        {"op": "wait_lines", "run": "second", "count": 1, "timeout": 60},
        {"op": "mark", "name": "first-stopping"},
        *sigterm_scan("first"),
        # bluetoothd stopped everyone's discovery within 0.1 s of such an exit;
        # this absence has no event to wait for
        {"op": "settle", "seconds": 1.5},
        {"op": "advertise", "adv": unit_adv(b"5000-002")},
        {"op": "wait_lines", "run": "second", "count": 2, "timeout": 30},
        {"op": "advertise", "adv": unit_adv(b"5000-003")},
        {"op": "wait_lines", "run": "second", "count": 3, "timeout": 30},
        # another program: filter, start, stop, exit
        {"op": "mark", "name": "other"},
        {"op": "call", "client": "other", "id": "other-filter", "method": "SetDiscoveryFilter",
         "signature": "a{sv}", "args": [{"Transport": "le", "DuplicateData": True}],
         "wait": True, "must_succeed": True},
        {"op": "call", "client": "other", "id": "other-start", "method": "StartDiscovery",
         "wait": True, "must_succeed": True},
        {"op": "call", "client": "other", "id": "other-stop", "method": "StopDiscovery",
         "wait": True, "must_succeed": True},
        {"op": "close_client", "client": "other"},
        {"op": "wait_event", "since": "other", "timeout": 30, "harness": True,
         "match": {"member": "PropertiesChanged", "path": CENTRAL, "prop": "Discovering",
                   "value": False}},
        # the scanner's restart, 0.5 s later, or bluetoothd's own, a few ms
        # later and so perhaps before the wait above has ended
        # (discovery-restarted-at-once in doc/bluez-behaviour.md): the first
        # true since the other program came, Discovering being true until it
        # stopped
        {"op": "wait_event", "since": "other", "timeout": 30,
         "match": {"member": "PropertiesChanged", "path": CENTRAL, "prop": "Discovering",
                   "value": True}},
        {"op": "advertise", "adv": unit_adv(b"5000-004")},
        {"op": "wait_lines", "run": "second", "count": 4, "timeout": 30},
        *sigterm_scan("second"),
    ],
}

# A scan's first report, from a peripheral that advertises once per scan
# round as the virtual controller has it: on kernel 6.12 the report of the
# discovery's start can be lost, and the scan must print it all the same,
# with the next round. An LE-only controller's discovery round lasts 10.24 s;
# a filtered discovery starts the next one at once, a plain one (bluetoothd
# 5.67 and later, for a filter that asks nothing beyond the transport)
# pauses 5 s first, so the line may come at most one round, plus the time a
# report takes to reach the tool's output, after the scan started.
DISCOVERY_ROUND_S = 10.24
FIRST_LINE_MARGIN_S = 2.5
SCAN_FIRST_REPORT = {
    "name": "scan_first_report",
    "steps": [
        {"op": "peripheral", "gatt": None, "adv": unit_adv(b"0042-002")},
        {"op": "start", "run": "scan"},
        {"op": "wait_lines", "run": "scan", "count": 1, "timeout": 60},
        *sigterm_scan("scan"),
    ],
}

# A peripheral that BlueZ has never seen: identity mode searches for it. On
# kernel 6.12 the search's first report can be lost; the search must still
# find it, on LE-only and on dual-mode controllers.
NEVER_SCANNED_SERIAL = b"00AA0101AE5E0006"


def never_scanned(name, controllers):
    return {"name": name, "controllers": controllers, "steps": [
        {"op": "peripheral", "gatt": dis_app(NEVER_SCANNED_SERIAL), "adv": unit_adv(b"7777-006")},
        {"op": "run", "run": "identity", "args": ["--identity", DEVICE_ID], "timeout": 120},
        LINK_RELEASED,
    ]}


NEVER_SCANNED = never_scanned("never_scanned", "le")
NEVER_SCANNED_DUAL = never_scanned("never_scanned_dual", "dual")

# An ordinary user (no group, no capability) gets the same lines as root:
# every release's D-Bus policy lets anyone talk to org.bluez.
UNPRIVILEGED_USER = "nobody"
UNPRIVILEGED_SERIAL = b"00AA010100550007"
UNPRIVILEGED = {
    "name": "unprivileged",
    "steps": [
        {"op": "peripheral", "gatt": dis_app(UNPRIVILEGED_SERIAL), "adv": unit_adv(b"7777-007"),
         "repeat_s": RADIO_REPEAT_S},
        *[step for who, user in (("root", None), ("user", UNPRIVILEGED_USER)) for step in [
            {"op": "start", "run": f"scan-{who}", "user": user},
            {"op": "wait_lines", "run": f"scan-{who}", "count": 1, "timeout": 60},
            *sigterm_scan(f"scan-{who}"),
            {"op": "run", "run": f"identity-{who}", "user": user,
             "args": ["--identity", f"$deviceId:scan-{who}"], "timeout": 120},
            LINK_RELEASED,
        ]],
    ],
}

# A caller that keeps its scan running while it reads the serial of a
# peripheral the scan printed: identity mode in a second process, then the
# peripheral changes its advertisement and the scan must print the change.
SCAN_WHILE_READING_SERIAL = b"00AA01015CA90008"
SCAN_WHILE_READING = {
    "name": "scan_while_reading",
    "steps": [
        {"op": "peripheral", "gatt": dis_app(SCAN_WHILE_READING_SERIAL),
         "adv": unit_adv(b"7777-008"), "repeat_s": RADIO_REPEAT_S},
        {"op": "start", "run": "scan"},
        {"op": "wait_lines", "run": "scan", "count": 1, "timeout": 60},
        {"op": "run", "run": "identity", "args": ["--identity", "$deviceId:scan"], "timeout": 120},
        LINK_RELEASED,
        {"op": "advertise", "adv": unit_adv(b"7777-009")},
        {"op": "wait_lines", "run": "scan", "count": 2, "timeout": 60},
        *sigterm_scan("scan"),
    ],
}

ALL = [SCAN_CHANGES, SCAN_SERVICE_DATA_ONLY, SCAN_INVALID, SCAN_DFU, IDENTITY_SUCCESS,
       IDENTITY_NO_DIS, IDENTITY_INVALID_SERIAL, CALLER_SEQUENCE, ADAPTER_OFF, FORGOTTEN,
       BACK_TO_BACK, SERVICES_AFTER_CUT, ADAPTER_GONE, SCANNERS, SCAN_FIRST_REPORT,
       NEVER_SCANNED, NEVER_SCANNED_DUAL, UNPRIVILEGED, SCAN_WHILE_READING]
