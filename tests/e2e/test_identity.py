"""Identity mode: connecting to the hci1 peripheral and reading 0x2A25."""

import pytest

from expect import assert_clean_exit, assert_output, assert_step_ok
from scenarios import (CALLER_SEQUENCE, CALLER_SERIAL, DEVICE_ID, IDENTITY_INVALID_SERIAL,
                       IDENTITY_NO_DIS, IDENTITY_SUCCESS)


@pytest.mark.parametrize("scenario,run_name,record", [
    (IDENTITY_SUCCESS, "identity", {"deviceId": DEVICE_ID, "serial": "0123456789ABCDEF"}),
    (IDENTITY_SUCCESS, "unknown", {"error": "identity-device-not-found"}),
    (IDENTITY_NO_DIS, "identity", {"error": "identity-service-unavailable"}),
    (IDENTITY_INVALID_SERIAL, "identity", {"error": "identity-invalid-serial"}),
], ids=["lower-case-serial-with-crlf", "unknown-identifier", "no-device-information",
        "invalid-serial"])
def test_identity_result(vm, scenario, run_name, record):
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


@pytest.mark.parametrize("scenario", [IDENTITY_SUCCESS, IDENTITY_NO_DIS, IDENTITY_INVALID_SERIAL,
                                      CALLER_SEQUENCE], ids=lambda s: s["name"])
def test_link_made_by_identity_mode_is_released(vm, scenario):
    r = vm(scenario)
    assert_step_ok(r, "wait_device")
