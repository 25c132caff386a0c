import sys
import time
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))

import expect  # noqa: E402
import harness  # noqa: E402

_boots = {}
_suite_start = time.monotonic()


def _boot(scenario):
    name = scenario["name"]
    if name not in _boots:
        try:
            _boots[name] = harness.run_scenario(scenario)
        except harness.HarnessError as e:
            _boots[name] = e
    return _boots[name]


@pytest.fixture
def vm():
    """vm(scenario) -> VmResult; one boot per scenario, shared by its tests.
    Every line of every run is checked against its mode's schema first.

    A harness failure fails the calling test with a message that starts with
    HARNESS FAILURE, so it cannot be taken for a verdict on the tool."""

    def get(scenario):
        result = _boot(scenario)
        if isinstance(result, harness.HarnessError):
            text = str(result)
            if not text.startswith("HARNESS FAILURE"):
                text = "HARNESS FAILURE (not a tool failure): " + text
            pytest.fail(text, pytrace=False)
        for run in result.runs.values():
            expect.assert_lines_match_schema(result, run)
        return result

    return get


def pytest_terminal_summary(terminalreporter):
    if not _boots:
        return
    tr = terminalreporter
    tr.section("e2e boots")
    for name, r in _boots.items():
        if isinstance(r, harness.HarnessError):
            tr.write_line(f"{name:28s} HARNESS FAILURE")
            continue
        tl = r.timeline
        boot = tl.get("uptime_at_runner", 0.0)
        stack = tl.get("stack_ready", 0.0)
        done = tl.get("scenario_done", 0.0)
        tr.write_line(
            f"{name:24s} kernel+initramfs {boot:4.1f} s  stack {stack:4.1f} s  "
            f"scenario {done - stack:5.1f} s  boot-to-result {boot + done:5.1f} s  "
            f"qemu wall {r.wall_s:5.1f} s  attempts {r.attempts}")
    tr.write_line(f"suite wall time {time.monotonic() - _suite_start:.1f} s")
