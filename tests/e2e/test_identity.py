"""Identity mode: connecting to the hci1 peripheral and reading 0x2A25, also in
the ways callers meet BlueZ: a peripheral it has forgotten, runs one right after
another, a connection cut during service discovery, the adapter going away."""

import pytest

from expect import assert_clean_exit, assert_output, assert_step_ok, describe
from scenarios import (ADAPTER_GONE, BACK_TO_BACK, BACK_TO_BACK_GAPS, BACK_TO_BACK_SERIAL,
                       CALLER_SEQUENCE, CALLER_SERIAL, CUT_REPEATS, CUT_SERIAL, DEVICE_ID,
                       FORGOTTEN, FORGOTTEN_SERIAL, IDENTITY_INVALID_SERIAL, IDENTITY_NO_DIS,
                       PERIPHERAL_DEVICE, IDENTITY_SUCCESS, NEVER_SCANNED, NEVER_SCANNED_DUAL,
                       NEVER_SCANNED_SERIAL, OWN_DEVICE_INFORMATION_RELEASES,
                       SCAN_WHILE_READING, SCAN_WHILE_READING_SERIAL,
                       SEARCH_BOUNDS_S, SEARCH_RUN_BOUNDS_S,
                       SERVICES_AFTER_CUT, SERVICES_AFTER_CUT_AGAIN, UNPRIVILEGED, UNPRIVILEGED_SERIAL)


@pytest.mark.parametrize("scenario,run_name,record", [
    (IDENTITY_SUCCESS, "identity", {"deviceId": DEVICE_ID, "serial": "0123456789ABCDEF"}),
    (IDENTITY_SUCCESS, "unknown", {"error": "identity-device-not-found"}),
    (IDENTITY_NO_DIS, "identity", {"error": "identity-service-unavailable"}),
    (IDENTITY_INVALID_SERIAL, "identity", {"error": "identity-invalid-serial"}),
    (CALLER_SEQUENCE, "read-refused", {"error": "identity-read-failed"}),
    (CALLER_SEQUENCE, "silent", {"error": "identity-connect-failed"}),
], ids=["lower-case-serial-with-crlf", "unknown-identifier", "no-device-information",
        "invalid-serial", "read-refused", "silent-peripheral"])
def test_identity_result(vm, release, scenario, run_name, record):
    if release in OWN_DEVICE_INFORMATION_RELEASES and record == {"error": "identity-service-unavailable"}:
        record = {"error": "identity-serial-unavailable"}
    r = vm(scenario)
    run = r.run(run_name)
    assert_output(r, run, [record])
    assert_clean_exit(r, run)


def test_sigterm_during_the_read_reports_cancelled(vm):
    r = vm(IDENTITY_INVALID_SERIAL)
    run = r.run("cancelled")
    assert_step_ok(r, "wait_device")
    assert_output(r, run, [{"error": "identity-cancelled"}])
    assert_clean_exit(r, run)


def test_scan_sigterm_then_identity_with_reported_device_id(vm):
    r = vm(CALLER_SEQUENCE)
    scan, identity = r.run("scan"), r.run("identity")
    assert_output(r, scan, [{"deviceId": DEVICE_ID, "unitNumber": "7777-001"}])
    assert_clean_exit(r, scan)
    assert_output(r, identity, [{"deviceId": DEVICE_ID, "serial": CALLER_SERIAL.decode()}])
    assert_clean_exit(r, identity)


def test_identity_while_a_scan_runs_and_the_scan_prints_the_next_change(vm):
    r = vm(SCAN_WHILE_READING)
    scan, identity = r.run("scan"), r.run("identity")
    serial = SCAN_WHILE_READING_SERIAL.decode()
    assert_output(r, identity, [{"deviceId": DEVICE_ID, "serial": serial}])
    assert_clean_exit(r, identity)
    assert scan.started < identity.started and identity.ended < scan.ended, \
        "the scan did not run all through the identity run" + describe(r, scan)
    assert_output(r, scan, [{"deviceId": DEVICE_ID, "unitNumber": "7777-008"},
                            {"deviceId": DEVICE_ID, "unitNumber": "7777-009"}])
    assert_clean_exit(r, scan)


@pytest.mark.parametrize("scenario", [IDENTITY_SUCCESS, IDENTITY_NO_DIS, IDENTITY_INVALID_SERIAL,
                                      CALLER_SEQUENCE, SCAN_WHILE_READING],
                         ids=lambda s: s["name"])
def test_link_made_by_identity_mode_is_released(vm, scenario):
    r = vm(scenario)
    assert_step_ok(r, "wait_device")


def test_forgotten_peripheral_is_searched_for_and_read(vm):
    r = vm(FORGOTTEN)
    # BlueZ had dropped the device before the identity run started
    assert_step_ok(r, "wait_event")
    run = r.run("identity")
    assert_output(r, run, [{"deviceId": DEVICE_ID, "serial": FORGOTTEN_SERIAL.decode()}])
    assert_clean_exit(r, run)
    asked = [c["member"] for c in r.calls(run)
             if c["member"] in ("StartDiscovery", "StopDiscovery", "Connect")]
    assert asked[:3] == ["StartDiscovery", "StopDiscovery", "Connect"], asked


def test_identifier_nobody_advertises_ends_the_search_after_25_s(vm):
    r = vm(FORGOTTEN)
    run = r.run("unknown")
    assert_output(r, run, [{"error": "identity-device-not-found"}])
    assert_clean_exit(r, run)
    members = [c["member"] for c in r.calls(run)]
    assert "Connect" not in members, members
    starts, stops = r.calls(run, "StartDiscovery"), r.calls(run, "StopDiscovery")
    assert starts and stops and stops[-1]["t"] > starts[0]["t"], members
    # the search as BlueZ saw it, then the whole run, start-up and exit included
    for what, took, (low, high) in [
            ("the search", stops[-1]["t"] - starts[0]["t"], SEARCH_BOUNDS_S),
            ("the run", run.ended - run.started, SEARCH_RUN_BOUNDS_S)]:
        assert low <= took <= high, \
            f"{what} took {took:.2f} s, not between {low} and {high} s" + describe(r, run)
    changes = r.adapter_changes("Discovering", starts[0]["t"])
    assert changes and changes[-1][1] is False, f"Discovering changes since the search: {changes}"


@pytest.mark.parametrize("scenario", [NEVER_SCANNED, NEVER_SCANNED_DUAL], ids=lambda s: s["name"])
def test_peripheral_bluez_never_saw_is_searched_for_and_read(vm, scenario):
    """The search must find an advertising peripheral whatever the kernel
    did with the first report of its discovery, on either kind of controller."""
    r = vm(scenario)
    run = r.run("identity")
    assert_output(r, run, [{"deviceId": DEVICE_ID, "serial": NEVER_SCANNED_SERIAL.decode()}])
    assert_clean_exit(r, run)
    assert_step_ok(r, "wait_device")


@pytest.mark.parametrize("mode,record", [
    ("scan", {"deviceId": DEVICE_ID, "unitNumber": "7777-007"}),
    ("identity", {"deviceId": DEVICE_ID, "serial": UNPRIVILEGED_SERIAL.decode()}),
])
def test_ordinary_user_gets_the_lines_root_gets(vm, mode, record):
    r = vm(UNPRIVILEGED)
    for who in ("root", "user"):
        run = r.run(f"{mode}-{who}")
        assert_output(r, run, [record])
        assert_clean_exit(r, run)


@pytest.mark.parametrize("run_name", ["first"] + [f"after-{gap}" for gap in BACK_TO_BACK_GAPS])
def test_back_to_back_runs_all_read_the_serial(vm, run_name):
    r = vm(BACK_TO_BACK)
    run = r.run(run_name)
    assert_output(r, run, [{"deviceId": DEVICE_ID, "serial": BACK_TO_BACK_SERIAL.decode()}])
    assert_clean_exit(r, run)


@pytest.mark.parametrize("run_name", ["first"] + [f"after-{gap}" for gap in BACK_TO_BACK_GAPS])
def test_run_exits_only_once_bluez_has_dropped_its_link(vm, run_name):
    """BlueZ is slow to drop a link after Disconnect (doc/bluez-behaviour.md,
    slow-disconnect); a run that exited before would leave the next run a
    link about to die."""
    r = vm(BACK_TO_BACK)
    run = r.run(run_name)
    connects = r.calls(run, "Connect")
    assert connects, "the run did not connect: it found the previous run's link up" + describe(r, run)
    # BlueZ answers Disconnect when the link is down, just before it
    # signals Connected=false
    down = [e["t"] for e in r.events
            if e.get("member") == "PropertiesChanged" and e["path"] == PERIPHERAL_DEVICE
            and e["args"][1].get("Connected") is False and connects[0]["t"] < e["t"]]
    down += [reply["t"] for reply in map(r.reply, r.calls(run, "Disconnect")) if reply]
    assert down and min(down) <= run.ended, \
        f"exited at {run.ended}, link down at {sorted(down)[:1]}" + describe(r, run)


@pytest.mark.parametrize("repeat", range(1, CUT_REPEATS + 1))
def test_identity_after_a_connection_cut_during_service_discovery(vm, repeat):
    r = vm(SERVICES_AFTER_CUT)
    run = r.run(f"identity-{repeat}")
    assert_output(r, run, [{"deviceId": DEVICE_ID, "serial": CUT_SERIAL.decode()}])
    assert_clean_exit(r, run)


@pytest.mark.parametrize("run_name,code", [
    ("powered-property", "adapter-unavailable"),
    ("btmgmt", "adapter-unavailable"),
    ("connecting", "adapter-unavailable"),
    ("bluetoothd-stopped", "adapter-unavailable"),
    ("peer-disconnect", "identity-disconnected"),
    ("peer-off", "identity-disconnected"),
])
def test_end_of_the_link_is_reported_by_its_cause(vm, run_name, code):
    r = vm(ADAPTER_GONE)
    run = r.run(run_name)
    if run_name == "connecting":
        assert r.calls(run, "Connect"), "the tool never asked to connect" + describe(r, run)
    else:
        # the tool was connected, its read unanswered, when the link ended
        assert_step_ok(r, "wait_event", run_name)
    assert_output(r, run, [{"error": code}])
    assert_clean_exit(r, run)


def _resolved_and_added(r):
    """(ServicesResolved=true, 0x180A service added) times of each of the
    boot's connections by the tool, None where it was not signalled."""
    orders = []
    for repeat in range(1, CUT_REPEATS + 1):
        run = r.run(f"identity-{repeat}")
        resolved = added = None
        for e in r.events:
            if not run.started <= e["t"] <= run.ended:
                continue
            if (resolved is None and e.get("member") == "PropertiesChanged"
                    and e["path"] == PERIPHERAL_DEVICE and e["args"][1].get("ServicesResolved") is True):
                resolved = e["t"]
            if (added is None and e.get("member") == "InterfacesAdded"
                    and e["args"][0].startswith(PERIPHERAL_DEVICE + "/")
                    and e["args"][1].get("org.bluez.GattService1", {}).get("UUID", "")
                    .startswith("0000180a")):
                added = e["t"]
        orders.append((resolved, added))
    return orders


def test_bluez_signals_services_resolved_before_the_service_objects(vm):
    """What the scenario is for: on at least one of the tool's connections,
    bluetoothd said ServicesResolved=true before it announced the Device
    Information service. The order is a race (doc/bluez-behaviour.md:
    resolved-before-objects) that a boot now and then loses on all its
    connections, so such a boot is followed by one more."""

    def shown(orders):
        return any(res is not None and add is not None and res < add for res, add in orders)

    orders = _resolved_and_added(vm(SERVICES_AFTER_CUT))
    if not shown(orders):
        orders += _resolved_and_added(vm(SERVICES_AFTER_CUT_AGAIN))
    assert shown(orders), f"(ServicesResolved, 0x180A service added) per run: {orders}"
