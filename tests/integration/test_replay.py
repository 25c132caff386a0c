"""Field captures replayed: each capture of tests/field_captures.py is
imported with `bleprobe-sim import`, served, and the real bleprobe run
against it as it ran when the capture was made prints the same lines, in
order, having started as many discoveries, each line when the capture
says: a scan's line within 0.02 s before and 0.4 s after the report that
carries it (counted from the scan's StartDiscovery, the replay's time
zero), an identity line within 0.1 s before and 0.7 s after its time from
Connect."""

import subprocess
import time

import pytest

import field_captures
from harness import PYTHON, SIM_DIR, TIMEOUT, assert_between

SCAN_EARLY, SCAN_LATE = 0.02, 0.4
IDENTITY_EARLY, IDENTITY_LATE = 0.1, 0.7
CALLER_DELAY = 0.5


def sleep_until(moment):
    time.sleep(max(0.0, moment - time.monotonic()))


@pytest.mark.parametrize('case', field_captures.CAPTURES)
def test_a_field_capture_replays_as_bleprobe_printed_it(case, tmp_path, bleprobe_sim, run_tool):
    capture = str(tmp_path / 'capture.btsnoop')
    runs = field_captures.write(capture, case)
    imported = subprocess.run([PYTHON, '-m', 'bleprobe_sim', 'import', capture], capture_output=True,
                              timeout=TIMEOUT, env={'PYTHONPATH': SIM_DIR})
    assert imported.returncode == 0, imported.stderr
    scenario = tmp_path / 'scenario.json'
    scenario.write_bytes(imported.stdout)
    served = bleprobe_sim(str(scenario))
    # A caller starts bleprobe a while after the kit: the replay waits for
    # its discovery, as the capture's time zero is the first discovery's.
    time.sleep(CALLER_DELAY)
    zero = None
    for args, start_at, terminate_at, lines, discoveries in runs:
        if start_at is not None:
            # A little early: the scan's discovery starts some 0.1 s after exec.
            sleep_until(zero + start_at - 0.1)
        tool = run_tool(args, served.address)
        identity = bool(args)
        if not identity:
            started = served.client.wait_for_call('StartDiscovery', pid=tool.pid)[0]['time']
            zero = started if zero is None else zero
        if terminate_at is not None:
            sleep_until(zero + terminate_at)
            tool.terminate()
        status, records = tool.finish()
        assert (status, records) == (0, [line for line, _ in lines])
        assert len(served.client.calls('StartDiscovery', pid=tool.pid)) == discoveries
        for (line, times), at in zip(lines, tool.line_times):
            if identity and times:
                connect = served.client.calls('Connect', pid=tool.pid)[-1]['time']
                assert_between('%s after Connect' % line, at - connect - times[0], -IDENTITY_EARLY,
                               IDENTITY_LATE)
            elif times:
                heard = min(t for t in times if t >= started - zero - 0.001)
                assert_between('%s after its report' % line, at - zero - heard, -SCAN_EARLY, SCAN_LATE)
