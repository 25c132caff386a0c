"""Scanning mode against bluetoothd and a virtual peripheral on hci1."""

import pytest
from bleprobe_sim.promises import EXIT_AFTER_SIGTERM

from expect import assert_clean_exit, assert_output, assert_step_ok, describe
from scenarios import (ALL, DEVICE_ID, DISCOVERY_ROUND_S, FIRST_LINE_MARGIN_S, GUEST_EXIT_SLACK_S,
                       SCAN_CHANGES, SCAN_DFU, SCAN_FIRST_REPORT, SCAN_INVALID, SCAN_SERVICE_DATA_ONLY,
                       SCANNERS, VALID_AFTER_INVALID)


def unit(number):
    return {"deviceId": DEVICE_ID, "unitNumber": number}


def test_unit_number_advertised_changed_and_changed_back(vm):
    r = vm(SCAN_CHANGES)
    run = r.run("scan")
    # a repeat of the last advertisement came in before SIGTERM and added nothing
    assert_output(r, run, [unit("1234-567"), unit("1234-568"), unit("1234-567")])
    assert_step_ok(r, "wait_lines", "scan")


def test_sigterm_after_results_exits_0_and_writes_nothing_more(vm):
    r = vm(SCAN_CHANGES)
    run = r.run("scan")
    assert_clean_exit(r, run)
    sent = r.step("sigterm")["sent"]
    late = [c for t, c in run.chunks if t > sent]
    assert late == [], f"output after SIGTERM: {late!r}"


def _started_args(scenario, run_name):
    return next(s.get("args", []) for s in scenario["steps"]
                if s["op"] in ("start", "run") and s.get("run") == run_name)


# every scan that a scenario ends with SIGTERM
SIGTERMED_SCANS = [(scenario, step["run"]) for scenario in ALL for step in scenario["steps"]
                   if step["op"] == "sigterm"
                   and "--identity" not in _started_args(scenario, step["run"])]


@pytest.mark.parametrize("scenario,run_name", SIGTERMED_SCANS,
                         ids=[f"{s['name']}-{n}" for s, n in SIGTERMED_SCANS])
def test_scan_exits_promptly_after_sigterm(vm, scenario, run_name):
    r = vm(scenario)
    run = r.run(run_name)
    sent = r.step("sigterm", run_name)["sent"]
    assert run.ended is not None and not run.killed, "the scan never exited" + describe(r, run)
    took = run.ended - sent
    low, high = EXIT_AFTER_SIGTERM[0], EXIT_AFTER_SIGTERM[1] + GUEST_EXIT_SLACK_S
    assert low <= took <= high, \
        f"the scan exited {took:.2f} s after SIGTERM, not between {low} and {high} s" + describe(r, run)


def test_sigterm_before_any_advertisement_writes_nothing(vm):
    r = vm(SCAN_SERVICE_DATA_ONLY)
    run = r.run("empty")
    assert_step_ok(r, "wait_discovering")
    assert_output(r, run, [])
    assert_clean_exit(r, run)


def test_service_uuid_only_in_service_data_is_found(vm):
    r = vm(SCAN_SERVICE_DATA_ONLY)
    run = r.run("scan")
    assert_output(r, run, [unit("0042-001")])
    assert_clean_exit(r, run)


def test_invalid_payloads_write_no_line(vm):
    r = vm(SCAN_INVALID)
    run = r.run("scan")
    # every invalid payload was signalled to the tool before the valid one,
    # and one more after it
    assert_output(r, run, [unit(VALID_AFTER_INVALID.decode())])
    assert_clean_exit(r, run)


DFU_RECORDS = [
    {"deviceId": DEVICE_ID, "serial": "0403020108070605",
     "serviceDataHex": "0102030405060708", "serviceUuid": "FE59"},
    {"deviceId": DEVICE_ID, "serial": "FFFFFFFFFFFFFFFF",
     "serviceDataHex": "FFFFFFFFFFFFFFFF", "serviceUuid": "FE59"},
]


def test_dfu_reports_serial_and_hex_of_fe59_data(vm):
    r = vm(SCAN_DFU)
    run = r.run("dfu")
    # the peripheral also advertises a valid unit number under 0x1523
    assert_output(r, run, DFU_RECORDS + [{"error": "adapter-unavailable"}])


def test_adapter_switched_off_while_scanning_ends_the_scan(vm):
    r = vm(SCAN_DFU)
    run = r.run("dfu")
    assert run.stdout.endswith(b'{"error":"adapter-unavailable"}\n'), repr(run.stdout)
    assert_clean_exit(r, run)


def test_scanner_that_stops_leaves_the_other_scanning(vm):
    r = vm(SCANNERS)
    first = r.run("first")
    assert_output(r, first, [unit("5000-001")])
    assert_clean_exit(r, first)
    stops = r.calls(first, "StopDiscovery")
    assert stops and stops[0]["t"] <= first.ended, "the first scanner never stopped its discovery"
    # until another program's session stopped it, hci0 kept discovering
    dropped = [c for c in r.adapter_changes("Discovering", r.mark("first-stopping"), r.mark("other"))
               if c[1] is False]
    assert dropped == [], f"hci0 stopped discovering after the first scanner exited: {dropped}"


def test_scanner_keeps_reporting_when_discovery_is_stopped_under_it(vm):
    r = vm(SCANNERS)
    second = r.run("second")
    # two changes after the first scanner exited, one after the discovery
    # was stopped by another program and restarted, by the scanner or by
    # bluetoothd itself
    assert_output(r, second, [unit("5000-001"), unit("5000-002"), unit("5000-003"),
                              unit("5000-004")])
    assert_clean_exit(r, second)
    assert_step_ok(r, "wait_event")


def test_first_report_of_the_scan_is_printed(vm):
    """The peripheral is reported once per scan round; a report that the
    kernel lost at the discovery's start comes back with the next round,
    which must follow at once: not after a pause, not a round later."""
    r = vm(SCAN_FIRST_REPORT)
    run = r.run("scan")
    assert_output(r, run, [unit("0042-002")])
    assert_clean_exit(r, run)
    starts = r.calls(run, "StartDiscovery")
    assert starts, "the scan never asked BlueZ to discover" + describe(r, run)
    took = run.chunks[0][0] - starts[0]["t"]
    assert took <= DISCOVERY_ROUND_S + FIRST_LINE_MARGIN_S, \
        f"the first line came {took:.2f} s after StartDiscovery" + describe(r, run)
