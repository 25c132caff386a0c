"""`bleprobe-sim import` without bleprobe: the times of a scenario against
the captured ones, each field capture's scenario, connection attempts and
reads against BlueZ's answers, the time window and the choice of
peripherals, a scenario too large for one file, and the command's one line
and exit status for a capture it cannot read.  The replay to the real
bleprobe is tests/integration/test_replay.py's."""

import json
import os
import random
import subprocess

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import capture_synth as s
import field_captures as f
from bleprobe_sim import cli, scenario
from bleprobe_sim.replay import Options, advertisers, import_capture, importer, times
from bleprobe_sim.replay.releases import played
from bleprobe_sim.replay.times import TOLERANCE_US, TimeEncoder
from test_bleprobe_sim import PROGRAM, TIMEOUT
from test_capture import ERRORS


def scenario_times(encoder):
    """The scenario's times of an encoder, as the player computes them."""
    runs = [first + n * interval * 1e6 for first, interval, count, lose in encoder.runs
            for n in range(count) if n + 1 not in lose]
    return sorted(list(encoder.at) + runs)


def advertiser_times(seed, interval_ms, loss, extra):
    """An advertiser's times: every interval plus 0 to 10 ms of its own
    delay, which adds up; a share `loss` not heard; now and then a second
    report 1 to 12 ms after one (another set, a scan response given alone)."""
    rng = random.Random(seed)
    times, t = [], 5000000
    for _ in range(3000):
        t += interval_ms * 1000 + rng.randint(0, 10000)
        if rng.random() >= loss:
            times.append(t)
            if rng.random() < extra:
                t += rng.randint(1000, 12000)
                times.append(t)
    return times


# interval (ms), share lost, share of extra reports -> fewest reports a run
# holds on average (the compact form's worth)
ADVERTISERS = {
    'fast': (20, 0.0, 0.0, 20), 'every-100-ms': (100, 0.0, 0.0, 20), 'lossy': (100, 0.3, 0.0, 15),
    'slow': (1000, 0.1, 0.0, 15), 'two-sets': (100, 0.0, 0.05, 5),
}


@pytest.mark.parametrize('case', ADVERTISERS)
def test_every_time_is_written_within_10_ms_in_the_captured_order(case):
    interval, loss, extra, per_run = ADVERTISERS[case]
    times = advertiser_times(hash(case) & 0xFFFF, interval, loss, extra)
    encoder, marked = TimeEncoder(), []
    for n, t in enumerate(times):
        encoder.add(t)
        if n % 7 == 0:
            encoder.mark()
            marked.append(n)
    encoder.close()
    written = scenario_times(encoder)
    assert len(written) == len(times)
    assert max(abs(a - b) for a, b in zip(written, times)) <= TOLERANCE_US
    assert all(a < b for a, b in zip(written, written[1:]))
    # A change of data is in effect from its report on, not before.
    assert all(written[n - 1] < mark <= written[n] for mark, n in zip(encoder.marks, marked) if n)
    assert len(times) / max(1, len(encoder.runs)) >= per_run


def test_an_advertiser_that_keeps_its_interval_is_one_run():
    encoder = TimeEncoder()
    for n in range(36000):
        encoder.add(1000000 + n * 100000)
    encoder.close()
    assert (len(encoder.runs), list(encoder.at)) == (1, [])


def imported(tmp_path, records, **options):
    path = str(tmp_path / 'capture.btsnoop')
    s.write(path, records)
    result = import_capture(path, Options(**options))
    scenario.check(result.scenario)
    return result


def facts(result):
    """What a scenario says, in short."""
    played_ = result.scenario
    return (played_['timeZero'], played_['bluez'],
            [(p['address'], len(p.get('advertising', {}).get('serviceData', [])),
              p.get('knownFromStart', False)) for p in played_['peripherals']],
            [(e['event'], e['at']) for e in played_.get('timeline', [])])


# The field captures' scenarios: time zero, release, each peripheral (its
# data changes, known from the start), timeline.
FIELD = {
    'changed-unit-number': ('firstDiscovery', '5.66', [(f.A, 2, False)], []),
    'peripheral-goes-silent': ('firstDiscovery', '5.66', [(f.A, 1, False), (f.B, 1, False)], []),
    'discovery-stopped-under-the-scan': ('firstDiscovery', '5.82', [(f.A, 2, False)],
                                         [('discoveryStopped', 2.0)]),
    'discovery-restarted-at-once': ('firstDiscovery', '5.82', [(f.A, 2, False)],
                                    [('discoveryRestarted', 2.0)]),
    'first-report-lost': ('firstDiscovery', '5.82', [(f.A, 1, False)], []),
    'connect-fails-0x3e': ('firstDiscovery', '5.66', [(f.A, 1, False)], []),
    'link-lost-0x08': ('firstDiscovery', '5.87', [(f.A, 1, False)], []),
    'read-fails': ('start', '5.66', [(f.A, 0, True)], []),
    'attempts-in-order': ('start', '5.66', [(f.A, 0, True)], []),
}


@pytest.mark.parametrize('case', FIELD)
def test_a_field_capture_becomes_its_scenario(tmp_path, case):
    records, _ = f.CAPTURES[case]()
    assert facts(imported(tmp_path, records)) == FIELD[case]


def test_the_reports_the_kernel_dropped_stay_dropped(tmp_path):
    records, _ = f.changed_unit_number()
    result = imported(tmp_path, records)
    advertiser = result.chosen.advertisers[f.A]
    given = f.report_times(records, f.A, '1234-567') + f.report_times(records, f.A, '1234-568')
    assert (advertiser.reports, advertiser.dropped) == (len(given), 1)
    assert any('1 reports dropped by the kernel (no Device Found), at 1.400 s' in line
               for line in result.summary())


def connection(*records, release='5.66'):
    return f.ordered(f.head(release) + f.discovery(0, 0.4) + f.advertise(0.3, f.A, '1234-567') +
                     list(records))


LOST = {'outcome': 'succeeds', 'delay': 0.05, 'servicesResolvedAfter': None, 'linkLostAfter': 1.0}
# The capture of one attempt -> its connection and gatt entries.
ATTEMPTS = {
    'fails-0x3e': (connection(*f.connect(0.5, status=0x3E, after=0.3)),
                   {'outcome': 'fails', 'delay': 0.3, 'error': 'org.bluez.Error.Failed',
                    'errorMessage': 'le-connection-abort-by-local'}, {'serialNumber': ''}),
    'fails-0x3e-5.55': (connection(*f.connect(0.5, status=0x3E, after=0.3), release='5.55'),
                        {'outcome': 'fails', 'delay': 0.3, 'error': 'org.bluez.Error.Failed',
                         'errorMessage': 'Software caused connection abort'}, {'serialNumber': ''}),
    'cancelled': (connection(*s.create_connection(f.us(0.5), 0, f.A),
                             s.command(f.us(2.5), 0, 0x200E, b''),
                             s.connection_complete(f.us(2.6), 0, 0, f.A, status=0x02)),
                  {'outcome': 'fails', 'delay': 2.1, 'error': 'org.bluez.Error.Failed',
                   'errorMessage': 'le-connection-abort-by-local'}, {'serialNumber': ''}),
    'never-completes': (connection(*s.create_connection(f.us(0.5), 0, f.A)), {'outcome': 'neverCompletes'},
                        {'serialNumber': ''}),
    'link-lost-0x08': (connection(*f.connect(0.5) + f.disconnect(1.45, 0x08, asked=False)), LOST,
                       {'serialNumber': ''}),
    'ended-by-the-peer': (connection(*f.connect(0.5) + f.disconnect(1.45, 0x13, asked=False)), LOST,
                          {'serialNumber': ''}),
    'read': (connection(*f.connect(0.5) + f.services(0.6) + f.read(0.8, b'8C3F00A1B2C3D4E5') +
                        f.disconnect(0.9)),
             {'outcome': 'succeeds', 'delay': 0.05, 'servicesResolvedAfter': 0.245, 'disconnectDelay': 2.1},
             {'serialNumber': '8C3F00A1B2C3D4E5'}),
    'read-not-text': (connection(*f.connect(0.5) + f.services(0.6) + f.read(0.8, b'\x8c\x3f') +
                                 f.disconnect(0.9)),
                      {'outcome': 'succeeds', 'delay': 0.05, 'servicesResolvedAfter': 0.245,
                       'disconnectDelay': 2.1}, {'serialNumberHex': '8C3F'}),
    'read-not-permitted': (connection(*f.connect(0.5) + f.services(0.6) + f.read(0.8, error=0x02) +
                                      f.disconnect(0.9)),
                           {'outcome': 'succeeds', 'delay': 0.05, 'servicesResolvedAfter': 0.245,
                            'disconnectDelay': 2.1},
                           {'serialNumber': '', 'serialNumberRead': 'fails',
                            'readError': 'org.bluez.Error.NotPermitted',
                            'readErrorMessage': 'Read not permitted'}),
    'read-unlikely-error': (connection(*f.connect(0.5) + f.services(0.6) + f.read(0.8, error=0x0E) +
                                       f.disconnect(0.9)),
                            {'outcome': 'succeeds', 'delay': 0.05, 'servicesResolvedAfter': 0.245,
                             'disconnectDelay': 2.1},
                            {'serialNumber': '', 'serialNumberRead': 'fails',
                             'readError': 'org.bluez.Error.Failed',
                             'readErrorMessage': 'Operation failed with ATT error: 0x0e'}),
    'heard-after-a-scan': (connection(*f.scan_for(0.42, 0.4995) + f.connect(0.5)),
                           {'outcome': 'succeeds', 'delay': 0.13}, {'serialNumber': ''}),
    'not-heard-6.1': (connection(*f.scan_for(0.5, 41.0)),
                      {'outcome': 'fails', 'delay': 40.5, 'error': 'org.bluez.Error.Failed',
                       'errorMessage': 'le-connection-abort-by-local'}, {'serialNumber': ''}),
    'not-heard-6.12': (connection(*f.scan_for(0.5, 41.0) + [s.connect_failed(f.us(40.9), 0, f.A, 0x0E, 0)]),
                       {'outcome': 'fails', 'delay': 40.4, 'error': 'org.bluez.Error.Failed',
                        'errorMessage': 'le-connection-abort-by-local'}, {'serialNumber': ''}),
    'read-unanswered': (connection(*f.connect(0.5) + f.services(0.6) +
                                   s.acl(f.us(0.8), 0, f.HANDLE, False, b'\x0a\x11\x00') +
                                   f.disconnect(1.45, 0x08, asked=False)),
                        {'outcome': 'succeeds', 'delay': 0.05, 'servicesResolvedAfter': 0.245,
                         'linkLostAfter': 1.0}, {'serialNumber': '', 'serialNumberRead': 'neverAnswers'}),
}


@pytest.mark.parametrize('case', ATTEMPTS)
def test_connection_attempts_become_entries(tmp_path, case):
    records, connection_entry, gatt = ATTEMPTS[case]
    peripheral = imported(tmp_path, records).scenario['peripherals'][0]
    assert (peripheral['connection'], peripheral['gatt']) == (connection_entry, gatt)


@pytest.mark.parametrize('named, release', [('5.66', '5.66'), ('5.72', '5.66'), ('5.80', '5.82'),
                                            ('5.99', '5.87'), ('6.0', '5.87'), (None, '5.66')])
def test_a_release_the_kit_does_not_play_is_played_as_the_nearest(named, release):
    assert played(named) == release


def field(case):
    return f.CAPTURES[case]()[0]


# Options -> the peripherals written, and the time zero (seconds into the
# capture, whose first event is at 0).
WINDOWS = {
    'everything': ({}, [f.A, f.B], 1.0),
    'from-the-second-scan': ({'start': 4.0}, [f.A], 6.0),
    'first-second': ({'end': 2.0}, [f.A, f.B], 1.0),
    'by-address': ({'addresses': {f.B}}, [f.B], 1.0),
    'by-service': ({'uuids': {'00001523-0000-1000-8000-00805f9b34fb'}}, [f.A, f.B], 1.0),
    'by-another-service': ({'uuids': {'0000fe59-0000-1000-8000-00805f9b34fb'}}, [], 1.0),
}


@pytest.mark.parametrize('case', WINDOWS)
def test_the_window_and_the_peripherals_asked_for(tmp_path, case):
    options, written, zero = WINDOWS[case]
    result = imported(tmp_path, field('peripheral-goes-silent'), **options)
    assert [p['address'] for p in result.scenario['peripherals']] == written
    assert (result.zero - result.first_us) / 1e6 == zero


def test_a_scenario_too_large_for_one_file_ends_where_it_would_be(tmp_path, monkeypatch):
    # Room for a peripheral with one run and one data change (of 8 bytes):
    # the report with the second change is the last written.
    monkeypatch.setattr(importer, 'BUDGET', advertisers.PERIPHERAL_BYTES + times.RUN_BYTES + 20 +
                        advertisers.DATA_ENTRY_BYTES + 2 * 8)
    monkeypatch.setattr(importer, 'WEIGH_EVERY', 1)
    records = field('changed-unit-number')
    result = imported(tmp_path, records)
    cut = (result.cut_us - result.first_us) / 1e6
    assert abs(cut - 1.0 - f.report_times(records, f.A, '1234-568')[0]) < 1e-6
    advertising = result.scenario['peripherals'][0]['advertising']
    last = max(r['firstAt'] + (r['count'] - 1) * r['interval'] for r in advertising['runs'])
    assert abs(last - (cut - 1.0)) < 0.01
    assert 'import the rest with --from %.3f' % cut in result.summary()[-1]


def test_an_hci_capture_counts_each_report_while_scanning(tmp_path):
    advertised = f.advertiser(f.A, [(0, '1234-567')], 0.3, 2.0)
    records = [r for r in f.ordered(f.discovery(0, 2.1) + advertised) if r[2] in s.HCI_KINDS]
    path = str(tmp_path / 'capture.btsnoop')
    s.write(path, records, datalink=1002)
    result = import_capture(path, Options())
    scenario.check(result.scenario)
    assert result.chosen.advertisers[f.A].reports == len([r for r in advertised if r[2] == s.monitor.EVENT])
    assert result.scenario['timeZero'] == 'firstDiscovery'


def run_import(capsys, *argv):
    """bleprobe-sim's main in this process: exit status, stdout, stderr."""
    try:
        status = cli.main(['import'] + list(argv))
    except SystemExit as e:
        status = e.code
    out, err = capsys.readouterr()
    return status, out, err


@pytest.mark.parametrize('data, offset, reason', [case[1:] for case in ERRORS], ids=[c[0] for c in ERRORS])
def test_a_capture_that_cannot_be_read_is_one_line_and_status_2(tmp_path, capsys, data, offset, reason):
    path = tmp_path / 'capture'
    path.write_bytes(data)
    status, out, err = run_import(capsys, str(path))
    assert (status, out, err.count('\n')) == (2, '', 1)
    assert err.startswith('bleprobe-sim: %s: offset ' % path) and reason in err


def test_a_capture_cut_short_is_imported_up_to_its_last_whole_record(tmp_path, capsys):
    path = tmp_path / 'capture'
    s.write(str(path), field('changed-unit-number'))
    path.write_bytes(path.read_bytes()[:-7])
    status, out, err = run_import(capsys, str(path))
    assert status == 0 and json.loads(out)['peripherals']
    assert 'the capture was cut short: cut short at offset' in err


# The program's own usage and option errors: status 2, nothing on stdout.
COMMAND_ERRORS = {
    'no-capture': ([], 'usage: bleprobe-sim import CAPTURE'),
    'not-seconds': (['CAPTURE', '--from', 'soon'], "--from: 'soon' is not a number of seconds"),
    'not-an-address': (['CAPTURE', '--peripheral', 'D4-3F'], "'D4-3F' is not an address"),
    'not-a-uuid': (['CAPTURE', '--service', '15230'], "'15230' is not a UUID"),
    'no-such-file': (['/nonexistent/capture'], 'bleprobe-sim: /nonexistent/capture: cannot be read: '),
    'no-such-controller': (['CAPTURE', '--controller', '7'],
                           'bleprobe-sim: --controller 7: the capture has no controller 7'),
}


@pytest.mark.parametrize('case', COMMAND_ERRORS)
def test_the_commands_errors_exit_2(tmp_path, case):
    argv, message = COMMAND_ERRORS[case]
    capture = tmp_path / 'capture'
    s.write(str(capture), field('read-fails'))
    result = subprocess.run([PROGRAM, 'import'] + [str(capture) if a == 'CAPTURE' else a for a in argv],
                            capture_output=True, timeout=TIMEOUT, text=True)
    assert (result.returncode, result.stdout) == (2, '')
    assert message in result.stderr


def test_the_imported_scenario_is_one_the_kit_loads(tmp_path):
    capture, written = tmp_path / 'capture', tmp_path / 'scenario.json'
    s.write(str(capture), field('discovery-stopped-under-the-scan'))
    with open(str(written), 'w') as out:
        result = subprocess.run([PROGRAM, 'import', str(capture)], stdout=out, stderr=subprocess.PIPE,
                                timeout=TIMEOUT, text=True)
    assert result.returncode == 0, result.stderr
    assert scenario.load(str(written))['timeline'] == [{'at': 2.0, 'event': 'discoveryStopped'}]
    assert 'discoveryStopped' in result.stderr


def heard(t, *reports):
    """Advertising reports of A in one event at time t (seconds), each
    (event type, data); and the Device Found that carries data."""
    return s.adv_report(f.us(t), 0, *[s.report(f.A, data, event_type=kind) for kind, data in reports])


def found(t, data):
    return s.device_found(f.us(t) + 50, 0, f.A, data)


UNIT = s.service_data16(0x1523, b'1234-567')
NAME = s.ad((0x09, b'unit'))
# What the kernel did with A's reports during an active scan -> the reports
# bluetoothd got, and those it dropped (capture/__init__.py says the rule).
PAIRING = {
    'each-found': ([heard(0.1, (0, UNIT)), found(0.1, UNIT), heard(0.2, (0, UNIT)), found(0.2, UNIT)], 2, 0),
    'with-its-scan-response': ([heard(0.1, (0, UNIT)), heard(0.101, (4, NAME)), found(0.101, UNIT + NAME)],
                               1, 0),
    'advertised-again-first': ([heard(0.1, (0, UNIT)), heard(0.2, (0, UNIT)), found(0.2, UNIT)], 1, 1),
    # The last one waits for a Device Found until the discovery ends.
    'never-found': ([heard(0.1, (0, UNIT)), heard(0.2, (0, UNIT)), found(0.2, UNIT), heard(0.3, (0, UNIT))],
                    1, 2),
}


@pytest.mark.parametrize('case', PAIRING)
def test_each_report_is_paired_with_its_device_found(tmp_path, case):
    records, given, dropped = PAIRING[case]
    result = imported(tmp_path, f.ordered(f.head() + f.discovery(0, 1.0) + records))
    advertiser = result.chosen.advertisers[f.A]
    assert (advertiser.reports, advertiser.dropped) == (given, dropped)


# Derandomized with a fixed number of examples, as the reader's property
# tests are: the same run everywhere, in a second or two.
PROPERTIES = settings(max_examples=150, deadline=None, derandomize=True, database=None,
                      suppress_health_check=list(HealthCheck))


# A gap after a time: the advertiser's interval and its own delay, times
# it was not heard, or another report soon after (µs).
GAP = st.one_of(st.tuples(st.just('interval'), st.integers(0, 10000)),
                st.tuples(st.just('lost'), st.integers(2, 5)),
                st.tuples(st.just('soon'), st.integers(1, 15000)),
                st.tuples(st.just('any'), st.integers(1, 3000000)))


@PROPERTIES
@given(st.integers(20000, 1000000), st.lists(st.tuples(GAP, st.booleans()), min_size=1, max_size=300))
def test_any_times_are_written_within_10_ms_in_order(interval, gaps):
    encoder, times, marked, t = TimeEncoder(), [], [], 0
    for n, ((kind, value), mark) in enumerate(gaps):
        t += {'interval': interval + value, 'lost': interval * value, 'soon': value, 'any': value}[kind]
        times.append(t)
        encoder.add(t)
        if mark:
            encoder.mark()
            marked.append(n)
    encoder.close()
    written = scenario_times(encoder)
    assert len(written) == len(times)
    assert all(abs(a - b) <= TOLERANCE_US for a, b in zip(written, times))
    assert all(a < b for a, b in zip(written, written[1:]))
    assert all((n == 0 or written[n - 1] < mark) and mark <= written[n]
               for mark, n in zip(encoder.marks, marked))


def happening(kind, t, address, value):
    """One thing a capture may hold, at t seconds, in whatever order."""
    unit = '%04d-567' % value
    return {
        'advertise': lambda: f.advertise(t, address, unit),
        'dropped': lambda: f.advertise(t, address, unit, found=False),
        'discovery': lambda: f.discovery(t, t + value / 1000, stopped=bool(value % 2)),
        'connect': lambda: f.connect(t, status=(0, 0x3E, 0x02)[value % 3], after=value / 10000),
        'read': lambda: f.read(t, value=unit.encode()) if value % 2 else f.read(t, error=value % 0x20),
        'disconnect': lambda: f.disconnect(t, reason=(0x08, 0x13, 0x16)[value % 3], asked=bool(value % 2)),
    }[kind]()


@PROPERTIES
@given(st.lists(st.tuples(st.sampled_from(['advertise', 'dropped', 'discovery', 'connect', 'read',
                                           'disconnect']),
                          st.integers(0, 5000), st.sampled_from([f.A, f.B]), st.integers(0, 999)),
                max_size=40))
def test_any_capture_becomes_a_scenario_the_kit_plays(tmp_path_factory, things):
    records = f.head() + [r for kind, ms, address, value in things
                          for r in happening(kind, ms / 1000, address, value)]
    path = str(tmp_path_factory.mktemp('capture') / 'capture.btsnoop')
    s.write(path, f.ordered(records))
    result = import_capture(path, Options())
    scenario.check(result.scenario)
    assert len(result.text()) < scenario.MAX_BYTES and result.summary()


def test_the_example_capture_is_its_imported_scenario(capsys):
    # examples/captures/gateway.json is what callers are told the import
    # makes of gateway.btsnoop.gz: it is remade when the import changes.
    examples = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir,
                            'examples', 'captures')
    status, out, _ = run_import(capsys, os.path.join(examples, 'gateway.btsnoop.gz'))
    with open(os.path.join(examples, 'gateway.json')) as f_:
        assert (status, json.loads(out)) == (0, json.load(f_))
