import os
import sys
import tempfile
import time
from concurrent.futures import Future, ThreadPoolExecutor
from pathlib import Path
from typing import Dict, Tuple

import pytest

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
# last, so that no module of the host's own is shadowed by the guest's:
# the tests share what the guest's modules know (bluez_paths, events)
sys.path.append(str(HERE / "guest"))

import capture_replay  # noqa: E402
import expect  # noqa: E402
import harness  # noqa: E402
import stacks  # noqa: E402
import vm_captures  # noqa: E402

# where each boot's captures are kept as fixtures, when set
KEEP_CAPTURES = os.environ.get("BLEPROBE_E2E_CAPTURES")

_boots = {}
_suite_start = time.monotonic()
# Each recorded boot's capture replays under the kit while the next boots
# run, one replay at a time (a replay mostly waits on bleprobe and the
# capture's times): (capture, release) -> (its record, capture_replay.replay's result).
_replaying = ThreadPoolExecutor(max_workers=1)
_replays: Dict[Tuple[str, str], "Future"] = {}


def _replay(result, capture):
    record = vm_captures.record(result, capture)
    with tempfile.TemporaryDirectory(prefix="bleprobe-e2e-replay-") as directory:
        path = os.path.join(directory, f"{capture.name}.btsnoop")
        with open(path, "wb") as f:
            f.write(vm_captures.trim(capture.data))
        return record, capture_replay.replay(path, record)


def pytest_addoption(parser):
    parser.addoption(
        "--release", action="append", choices=stacks.KNOWN_RELEASES, default=None,
        help="Debian release whose kernel and BlueZ the VM boots; repeat for several "
             f"(default: BLEPROBE_E2E_RELEASES, else {','.join(stacks.DEFAULT_RELEASES)})")


def selected_releases(config):
    chosen = config.getoption("--release")
    if chosen:
        return list(dict.fromkeys(chosen))
    env = os.environ.get("BLEPROBE_E2E_RELEASES", "")
    if env.strip():
        names = [n.strip() for n in env.split(",") if n.strip()]
        unknown = [n for n in names if n not in stacks.KNOWN_RELEASES]
        if unknown:
            raise pytest.UsageError(f"BLEPROBE_E2E_RELEASES: unknown release(s) {unknown}")
        return names
    return list(stacks.DEFAULT_RELEASES)


@pytest.hookimpl(trylast=True)
def pytest_collection_modifyitems(items):
    """The tests of the replays last in each release's run, so that the
    replays, each started once its boot was done, ran beside later boots."""
    releases = {}

    def key(item):
        release = item.callspec.params.get("release") if hasattr(item, "callspec") else None
        return releases.setdefault(release, len(releases)), "replayed" in item.fixturenames

    items.sort(key=key)


def pytest_generate_tests(metafunc):
    # session scope: pytest then runs all of one release's tests before the next's
    if "release" in metafunc.fixturenames:
        metafunc.parametrize("release", selected_releases(metafunc.config), scope="session")


def _boot(scenario, release):
    key = (scenario["name"], release)
    if key not in _boots:
        try:
            _boots[key] = harness.run_scenario(scenario, release)
        except harness.HarnessError as e:
            _boots[key] = e
        else:
            for name, capture in _boots[key].captures.items():
                _replays[(name, release)] = _replaying.submit(_replay, _boots[key], capture)
                if KEEP_CAPTURES:
                    vm_captures.save(KEEP_CAPTURES, f"{release}-{name}", vm_captures.trim(capture.data),
                                     vm_captures.record(_boots[key], capture))
    return _boots[key]


@pytest.fixture
def vm(release):
    """vm(scenario) -> VmResult; one boot per scenario and release, shared by
    its tests. Every line of every run is checked against its mode's schema
    first.

    A harness failure fails the calling test with a message that starts with
    HARNESS FAILURE, so it cannot be taken for a verdict on the tool."""

    def get(scenario):
        result = _boot(scenario, release)
        if isinstance(result, harness.HarnessError):
            text = str(result)
            if not text.startswith(result.headline):
                text = f"{result.headline}: {text}"
            pytest.fail(text, pytrace=False)
        for run in result.runs.values():
            expect.assert_lines_match_schema(result, run)
        return result

    return get


@pytest.fixture
def replayed(vm, release):
    """replayed(scenario) -> (record, result): the boot's capture, with the
    record of its runs (tests/vm_captures.py), replayed under the kit
    (tests/capture_replay.py: replay)."""

    def get(scenario):
        vm(scenario)
        return _replays[(scenario["name"], release)].result()

    return get


def pytest_terminal_summary(terminalreporter):
    if not _boots:
        return
    tr = terminalreporter
    tr.section("e2e boots")
    stacks_seen = {}
    for (name, release), r in _boots.items():
        label = f"{name} [{release}]"
        if isinstance(r, harness.HarnessError):
            tr.write_line(f"{label:36s} {r.headline.split(' (')[0]}")
            continue
        stack = r.stack()
        stacks_seen.setdefault(release, set()).add((stack["kernel"], stack["bluetoothd"]))
        tl = r.timeline
        boot = tl.get("uptime_at_runner", 0.0)
        ready = tl.get("stack_ready", 0.0)
        done = tl.get("scenario_done", 0.0)
        tr.write_line(
            f"{label:36s} kernel {stack['kernel']} bluetoothd {stack['bluetoothd']}  "
            f"boot {boot:4.1f} s  stack {ready:4.1f} s  scenario {done - ready:5.1f} s  "
            f"qemu wall {r.wall_s:5.1f} s  attempts {r.attempts}")
    for release, seen in stacks_seen.items():
        kinds = "; ".join(f"kernel {k}, bluetoothd {b}" for k, b in sorted(seen))
        tr.write_line(f"release {release}: {kinds}")
    tr.write_line(f"suite wall time {time.monotonic() - _suite_start:.1f} s")
