"""The captures that the recording scenarios made with btmon -w in the VM
(scenarios.py, "record"; guest/captures.py), against the real stack of each
release: btmon recorded the whole scenario, bluetoothd's release is in the
file, btmon's own reading of it is the capture reader's
(tests/btmon_reading.py), and, imported and served, it replays to the lines
the tool printed in the VM (tests/capture_replay.py; the replays run in the
background beside the later boots, conftest.py). BLEPROBE_E2E_CAPTURES=DIR
keeps each as a fixture in DIR (tests/vm_captures.py)."""

import pytest

import btmon_reading
import capture_replay
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


@pytest.mark.parametrize("scenario", RECORDED, ids=lambda s: s["name"])
def test_the_capture_replays_to_the_lines_printed(replayed, scenario):
    record, result = replayed(scenario)
    problems = [problem for run in record["runs"]
                for problem in capture_replay.differences(run, result["runs"][run["name"]], result["zero"],
                                                          capture_replay.LOADED_TOLERANCE)]
    assert problems == [], result["summary"]
