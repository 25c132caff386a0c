"""The captures of the real stack kept as fixtures (tests/captures/, made by
btmon -w in the end-to-end VM on Debian 12 and 13: tests/vm_captures.py):
btmon's own reading of each is the capture reader's (tests/btmon_reading.py),
and each holds what its scenario made happen (tests/e2e/scenarios.py), so
that neither the reader nor the check can pass by reading nothing; and each,
imported and served, replays to the lines bleprobe printed in the VM
(tests/capture_replay.py), one test per run.  The replays run four at a
time, each in a thread: their time is bleprobe's and the captures'."""

from concurrent.futures import ThreadPoolExecutor

import pytest

import btmon_reading
import capture_replay
import vm_captures

NAMES = vm_captures.fixtures()
BTMON = btmon_reading.find()
RUNS = [(name, run['name']) for name in NAMES for run in vm_captures.load(name)[1]['runs']]


def hexs(text):
    return text.encode().hex()


PERIPHERAL = '00:AA:01:01:00:01'
# What each scenario made the real stack do, in the terms of the views
# (answers: those of the ATT reads): part -> what it holds among its items.
HELD = {
    'scan_changes': {'service data': {('1523', hexs('1234-567')), ('1523', hexs('1234-568'))}},
    'two_scanners': {'service data': {('1523', hexs('5000-00%d' % n)) for n in range(1, 5)}},
    # the serial read, then the read refused (Read Not Permitted); the silent
    # peripheral was never connected to
    'caller_sequence': {'connections': {('00', PERIPHERAL)}, 'answers': {hexs('00AA0101BEEF0042'), '02'}},
    # the read held unanswered when the peripheral ended the link (Remote User
    # Terminated Connection)
    'adapter_gone': {'connections': {('00', PERIPHERAL)}, 'answers': {None}, 'reasons': {'13'}},
}


@pytest.mark.skipif(BTMON is None, reason='no btmon of 5.67 or later: the host has 5.66 and no guest root '
                    'of a later release was made yet (tests/btmon_reading.py)')
@pytest.mark.parametrize('name', NAMES)
def test_btmon_reads_each_fixture_as_the_reader_does(name):
    path, record = vm_captures.load(name)
    ours = btmon_reading.reader_view(path)
    held = dict(ours, answers=[answer for _, answer in ours['reads']])
    for part, items in HELD[record['scenario']].items():
        assert items <= set(held[part]), (part, held[part])
    assert btmon_reading.btmon_view(BTMON, path) == ours


@pytest.fixture(scope='module')
def replays():
    """name -> the Future of its replay, four at a time (each runs a
    simulated bluetoothd and bleprobe, mostly waiting on the capture's times)."""
    with ThreadPoolExecutor(max_workers=4) as pool:
        yield {name: pool.submit(capture_replay.replay, *vm_captures.load(name)) for name in NAMES}


@pytest.mark.parametrize('name, run_name', RUNS, ids=['%s-%s' % run for run in RUNS])
def test_each_fixture_replays_to_the_lines_printed(replays, name, run_name):
    record = vm_captures.load(name)[1]
    result = replays[name].result()
    run = next(r for r in record['runs'] if r['name'] == run_name)
    assert capture_replay.differences(run, result['runs'][run_name], result['zero']) == [], \
        result['summary']
