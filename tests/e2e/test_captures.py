"""The captures that the recording scenarios made with btmon -w in the VM
(scenarios.py, "record"; guest/captures.py), against the real stack of each
release: btmon recorded the whole scenario, bluetoothd's release is in the
file, and btmon's own reading of it is the capture reader's
(tests/btmon_reading.py). BLEPROBE_E2E_CAPTURES=DIR keeps each as a fixture
in DIR (tests/vm_captures.py; conftest.py)."""

import pytest

import btmon_reading
import vm_captures
from bleprobe_sim.capture import CaptureReader
from bleprobe_sim.capture.events import LogLine
from scenarios import ALL

RECORDED = [s for s in ALL if s.get("record")]
BTMON = btmon_reading.find()


def trimmed(r, scenario, tmp_path):
    path = tmp_path / "capture.btsnoop"
    path.write_bytes(vm_captures.trim(r.captures[scenario["name"]].data))
    return str(path)


@pytest.mark.parametrize("scenario", RECORDED, ids=lambda s: s["name"])
def test_btmon_recorded_the_whole_scenario(vm, scenario, tmp_path):
    """btmon 5.66 decodes what it writes, and its decoder dies on reads of a
    connection it did not see begin (doc/bluez-behaviour.md,
    btmon-read-by-type): recording live, it saw every one begin."""
    r = vm(scenario)
    capture = r.captures[scenario["name"]]
    assert capture.status == 0, f"btmon ended with status {capture.status}"
    path = trimmed(r, scenario, tmp_path)
    releases = [e.release for e in CaptureReader(path, kinds=[LogLine]) if e.release]
    assert releases[:1] == [r.stack()["bluetoothd"]], releases


@pytest.mark.skipif(BTMON is None, reason="no btmon of 5.67 or later (see tests/btmon_reading.py)")
@pytest.mark.parametrize("scenario", RECORDED, ids=lambda s: s["name"])
def test_btmon_reads_the_capture_as_the_reader_does(vm, scenario, tmp_path):
    path = trimmed(vm(scenario), scenario, tmp_path)
    assert btmon_reading.btmon_view(BTMON, path) == btmon_reading.reader_view(path)
