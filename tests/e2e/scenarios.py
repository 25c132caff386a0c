"""The VM scenarios: what the peripheral on hci1 does and how the tool is run.

Each scenario is one boot. Several tests may read the result of one boot.
Step operations are carried out in order by guest/runner.py:

  peripheral        start the hci1 program: GATT application, then advertisement
  advertise         change the advertisement in place
  read_delay        make the peripheral answer reads of its characteristic late
  power             set hci0's Powered property
  discover          the runner's own discovery on hci0 until BlueZ knows hci1
  start / run       start the tool (run: and wait for its exit)
  wait_lines        wait until the tool has written N lines
  wait_service_data wait until BlueZ signalled that service data to hci0 clients
  wait_discovering  wait until hci0 is discovering
  wait_device       wait until a property of hci1's device object on hci0 has a value
  sigterm / wait_exit
  settle            give the tool time to write something it should not

Arguments "$deviceId:<run>" are replaced by the deviceId of the last line of
that run, as a caller of the tool would do.
"""

PERIPHERAL_ADDRESS = "00:AA:01:01:00:01"
DEVICE_ID = "00000000-0000-0000-0000-00AA01010001"
UNKNOWN_DEVICE_ID = "00000000-0000-0000-0000-00AA010100FE"

UNIT = "1523"
DFU = "FE59"
DIS = "180A"
SERIAL_NUMBER = "2A25"


def hexs(data: bytes) -> str:
    return data.hex()


def unit_adv(payload: bytes, with_uuid_list=True, extra=None):
    adv = {"service_data": {UNIT: hexs(payload)}}
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
    "steps": [
        {"op": "peripheral", "gatt": dis_app(b"0123456789ABCDEF"),
         "adv": unit_adv(b"1234-567")},
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
        {"op": "sigterm", "run": "scan"},
        {"op": "wait_exit", "run": "scan", "timeout": 30},
    ],
}

SCAN_SERVICE_DATA_ONLY = {
    "name": "scan_service_data_only",
    "steps": [
        # a scan that sees nothing, ended by SIGTERM
        {"op": "start", "run": "empty"},
        {"op": "wait_discovering", "timeout": 60},
        {"op": "settle", "seconds": 1},
        {"op": "sigterm", "run": "empty"},
        {"op": "wait_exit", "run": "empty", "timeout": 30},
        # the service UUID appears only as the key of the service data
        {"op": "peripheral", "gatt": None, "adv": unit_adv(b"0042-001", with_uuid_list=False)},
        {"op": "start", "run": "scan"},
        {"op": "wait_lines", "run": "scan", "count": 1, "timeout": 60},
        {"op": "sigterm", "run": "scan"},
        {"op": "wait_exit", "run": "scan", "timeout": 30},
    ],
}


def _invalid_steps():
    steps = [
        {"op": "peripheral", "gatt": None, "adv": unit_adv(INVALID_UNIT_PAYLOADS[0])},
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
        {"op": "sigterm", "run": "scan"},
        {"op": "wait_exit", "run": "scan", "timeout": 30},
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
                 "service_uuids": [DFU]}},
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
        # the tool made the link, so it must also have asked BlueZ to drop it
        {"op": "wait_device", "property": "Connected", "value": False, "timeout": 30},
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
    {"op": "wait_device", "property": "Connected", "value": False, "timeout": 30},
]

CALLER_SERIAL = b"00AA0101BEEF0042"

CALLER_SEQUENCE = {
    "name": "caller_sequence",
    "steps": [
        {"op": "peripheral", "gatt": dis_app(CALLER_SERIAL), "adv": unit_adv(b"7777-001")},
        {"op": "start", "run": "scan"},
        {"op": "wait_lines", "run": "scan", "count": 1, "timeout": 60},
        {"op": "sigterm", "run": "scan"},
        {"op": "wait_exit", "run": "scan", "timeout": 30},
        {"op": "run", "run": "identity", "args": ["--identity", "$deviceId:scan"], "timeout": 120},
        {"op": "wait_device", "property": "Connected", "value": False, "timeout": 30},
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

ALL = [SCAN_CHANGES, SCAN_SERVICE_DATA_ONLY, SCAN_INVALID, SCAN_DFU, IDENTITY_SUCCESS,
       IDENTITY_NO_DIS, IDENTITY_INVALID_SERIAL, CALLER_SEQUENCE, ADAPTER_OFF]
