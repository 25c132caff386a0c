"""bleprobe-sim as a program: its exit statuses, signals, what it leaves
behind, serve's first line and a scenario's timeline.  What the simulated
bluetoothd does on the bus is the integration suite's business."""

import json
import os
import re
import signal
import subprocess
import sys
import time
import warnings

import dbus
import pytest

from bleprobe_sim import __version__
from bleprobe_sim.bus import PrivateBus
from bleprobe_sim.client import SimClient
from bleprobe_sim.names import ADAPTER, DEVICE, uuid16
from bleprobe_sim.waiting import poll_until, read_address, stop_process

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SIM_DIR = os.path.join(REPO, 'sim')
PROGRAM = os.path.join(SIM_DIR, 'bleprobe-sim')
TIMEOUT = 20.0

ONE_ADAPTER = {'adapters': [{'index': 0}]}


@pytest.fixture
def scenario_file(tmp_path):
    def write(content):
        path = tmp_path / 'scenario.json'
        if isinstance(content, bytes):
            path.write_bytes(content)
        else:
            path.write_text(content if isinstance(content, str) else json.dumps(content))
        return str(path)
    return write


def leftovers(address):
    """The private directory and any dbus-daemon still serving it."""
    directory = os.path.dirname(re.match(r'unix:path=([^,]+)', address).group(1))
    daemons = []
    for pid in filter(str.isdigit, os.listdir('/proc')):
        try:
            with open('/proc/%s/cmdline' % pid, 'rb') as f:
                if directory.encode() + b'/' in f.read():
                    daemons.append(pid)
        except OSError:
            pass
    return ([directory] if os.path.exists(directory) else []) + daemons


def run(scenario, command, **kwargs):
    return subprocess.run([PROGRAM, 'run', scenario, '--'] + command, capture_output=True,
                          timeout=TIMEOUT, **kwargs)


@pytest.mark.parametrize('command, status', [
    (['sh', '-c', 'echo "$DBUS_SYSTEM_BUS_ADDRESS"; exit 3'], 3),
    (['sh', '-c', 'echo "$DBUS_SYSTEM_BUS_ADDRESS"; kill -KILL $$'], 128 + signal.SIGKILL),
    (['/nonexistent/command'], 127),
    (['/etc/hostname'], 126),  # not executable
], ids=['status', 'killed', 'not-found', 'not-executable'])
def test_run_exits_as_a_shell_would_and_leaves_nothing(scenario_file, command, status):
    env = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS='unix:path=/nonexistent/machine-bus')
    result = run(scenario_file(ONE_ADAPTER), command, env=env)
    assert result.returncode == status, result.stderr
    if command[0] == 'sh':
        address = result.stdout.decode().strip()
        assert address.startswith('unix:path=/tmp/bleprobe-sim-'), address
        assert leftovers(address) == []
    else:
        assert result.stderr.decode().startswith('bleprobe-sim: %s: ' % command[0])


@pytest.mark.parametrize('argv, status, stdout', [
    (['--version'], 0, 'bleprobe-sim %s\n' % __version__),
    (['--help'], 0, 'usage: bleprobe-sim run SCENARIO -- COMMAND'),
    (['serve', '--help'], 0, 'usage: bleprobe-sim run SCENARIO -- COMMAND'),
])
def test_help_and_version(argv, status, stdout):
    result = subprocess.run([PROGRAM] + argv, capture_output=True, text=True, timeout=TIMEOUT)
    assert (result.returncode, result.stderr) == (status, '')
    assert result.stdout.startswith(stdout)


@pytest.mark.parametrize('argv', [
    [], ['run'], ['run', 'x.json'], ['run', 'x.json', 'true'], ['run', 'x.json', '--'],
    ['serve'], ['serve', 'x.json', 'extra'], ['scan', 'x.json'],
])
def test_usage_errors_exit_2(argv):
    result = subprocess.run([PROGRAM] + argv, capture_output=True, timeout=TIMEOUT)
    assert result.returncode == 2
    assert result.stderr.startswith(b'usage: bleprobe-sim run SCENARIO')


def one_advertiser(**advertising):
    return {'adapters': [{'index': 0}], 'peripherals': [{'address': 'AA:BB:CC:DD:EE:FF',
            'advertising': dict(advertising, serviceData=[{'uuid': '1523', 'text': '1'}])}]}


@pytest.mark.parametrize('content, where, reason', [
    (None, '', 'cannot be read'),
    ('{"adapters": [', '$', 'not JSON'),
    ({'adapters': [{'index': 0, 'mode': 'bredr'}]}, '$.adapters[0].mode', "'bredr' is not one of"),
    ({'bluez': '5.50'}, '$.bluez', "'5.50' is not one of"),
    ({'adapters': [{'index': 0}], 'peripherals': [{'address': 'aa:bb:cc:dd:ee:ff'}]},
     '$.peripherals[0].address', 'does not match'),
    ({'adapter': []}, '$', "'adapter' was unexpected"),
    ({'timeline': [{'at': 1, 'event': 'linkLost'}]}, '$.timeline[0]',
     "'peripheral' is a required property"),
    ({'adapters': [{'index': 0}], 'peripherals': [{'address': 'AA:BB:CC:DD:EE:FF', 'adapter': 1}]},
     '$.peripherals[0].adapter', 'no adapter 1 is listed'),
    ('{"expect": %s{}%s}' % ('[' * 100000, ']' * 100000), '$', 'nested more than 32 levels'),
    ({'expect': [json.loads('[' * 40 + ']' * 40)]}, '$.expect[0]' + '[0]' * 31, 'nested more'),
    ('{"adapters": [{"index": 0}], "timeline": [{"at": 1e999, "event": "adapterRemoved"}]}',
     '$.timeline[0].at', 'not a finite number: inf'),
    ('{"adapters": [{"index": NaN}]}', '$.adapters[0].index', 'not a finite number: nan'),
    ('{"terminateAfter": -Infinity}', '$.terminateAfter', 'not a finite number: -inf'),
    ({'timeline': [{'at': 86400.5, 'event': 'bluetoothdGone'}]}, '$.timeline[0].at',
     'is greater than the maximum of 86400'),
    (one_advertiser(interval=1e-300), '$.peripherals[0].advertising.interval',
     'is less than the minimum of 0.02'),
    ({'adapters': [{'index': 0}], 'peripherals': [{'address': 'AA:BB:CC:DD:EE:FF',
      'connection': {'delay': 1e300}}]}, '$.peripherals[0].connection.delay', 'maximum'),
    (b'{"description": "caf\xe9"}', '$', 'not UTF-8: byte 0xe9 at offset 20'),
    (b' ' * (16 * 1024 * 1024) + b'{}', '$', 'larger than 16 MiB'),
    ({'timeline': [{'at': 2, 'event': 'bluetoothdGone'}, {'at': 1, 'event': 'bluetoothdGone'}]},
     '$.timeline[1].at', 'the events are not in ascending order'),
    (one_advertiser(at=[1, 3, 2]), '$.peripherals[0].advertising.at',
     'the times are not in ascending order'),
], ids=['missing', 'not-json', 'enum', 'release', 'pattern', 'unknown-field', 'required',
        'no-such-adapter', 'nested-100000', 'nested-40', 'at-1e999', 'nan', 'infinity',
        'at-beyond-a-day', 'interval-1e-300', 'delay-1e300', 'not-utf-8', 'huge',
        'timeline-unsorted', 'at-unsorted'])
def test_a_bad_scenario_gets_one_line_and_nothing_starts(
        scenario_file, tmp_path, content, where, reason):
    path = str(tmp_path / 'missing.json') if content is None else scenario_file(content)
    marker = tmp_path / 'ran'
    result = run(path, ['touch', str(marker)])
    assert result.returncode == 2
    message = result.stderr.decode()
    assert message.count('\n') == 1, message
    assert message.startswith('bleprobe-sim: %s: %s' % (path, where)), message
    assert reason in message, message
    assert not marker.exists()


def start_serve(path, *options):
    process = subprocess.Popen([PROGRAM, 'serve', *options, path], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE)
    return process, read_address(process, 'bleprobe-sim serve', TIMEOUT)


@pytest.mark.parametrize('signum, trapped, status', [
    (signal.SIGTERM, True, 7),
    (signal.SIGINT, False, 128 + signal.SIGINT),
    (signal.SIGHUP, False, 128 + signal.SIGHUP),
], ids=['term-trapped', 'int-default', 'hup-default'])
def test_run_passes_signals_on_and_stops(scenario_file, signum, trapped, status):
    # sh ignores SIGINT for a background job and in -c scripts without a
    # terminal only when asked; the trap decides what the command does. The
    # background sleep outlives sh unless bleprobe-sim ends COMMAND's group.
    script = ('trap "echo got; exit 7" TERM; ' if trapped else 'trap - INT; ') + \
        'sleep 300 & echo $!; echo "$DBUS_SYSTEM_BUS_ADDRESS"; while :; do sleep 0.05; done'
    process = subprocess.Popen([PROGRAM, 'run', scenario_file(ONE_ADAPTER), '--', 'sh', '-c',
                                script], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        background = int(process.stdout.readline())
        address = process.stdout.readline().decode().strip()
        process.send_signal(signum)
        assert process.wait(TIMEOUT) == status
        assert process.stdout.read() == (b'got\n' if trapped else b'')
        assert leftovers(address) == []
        assert not os.path.exists('/proc/%d' % background)
    finally:
        stop_process(process, signal_first=False)


@pytest.mark.parametrize('signum', [signal.SIGTERM, signal.SIGINT, signal.SIGHUP],
                         ids=['term', 'int', 'hup'])
def test_serve_ends_on_a_signal_sent_as_soon_as_the_address_is_out(scenario_file, signum):
    # A signal that came before the main loop ran used to be lost about one
    # time in four: a dozen tries catch that nearly always. The stop takes
    # 0.06 to 0.36 s at a load of 6, and one in 36 took 1.09 s at 7.
    path = scenario_file(ONE_ADAPTER)
    for _ in range(12):
        process, address = start_serve(path)
        try:
            sent = time.monotonic()
            process.send_signal(signum)
            assert process.wait(TIMEOUT) == 0
            assert time.monotonic() - sent < 1.5
            assert process.stderr.read() == b''
            assert leftovers(address) == []
        finally:
            stop_process(process, signal_first=False)


@pytest.mark.parametrize('end', ['sigterm', 'bus-gone'])
def test_serve_on_a_bus_that_exists_leaves_the_bus_to_its_owner(scenario_file, end):
    bus = PrivateBus()
    process, address = start_serve(scenario_file(ONE_ADAPTER), '--bus', bus.address)
    try:
        assert address == bus.address
        client = SimClient(address)
        assert client.get_property('/org/bluez/hci0', ADAPTER, 'Powered')
        client.close()
        ended = time.monotonic()
        if end == 'sigterm':
            process.send_signal(signal.SIGTERM)
        else:
            bus.kill()
        assert process.wait(TIMEOUT) == 0
        assert time.monotonic() - ended < 1.0
        assert process.stderr.read() == b''
        if end == 'sigterm':
            # The bus is still there, and org.bluez free for the next one.
            connection = dbus.bus.BusConnection(bus.address)
            assert not connection.name_has_owner('org.bluez')
            connection.close()
    finally:
        stop_process(process, signal_first=False)
        bus.close()


@pytest.mark.parametrize('scenario, on, status, message', [
    ({'busPolicy': {'bluez': 'denied'}}, 'bus', 2,
     "--bus: the scenario's busPolicy needs a bus of bleprobe-sim's own"),
    (ONE_ADAPTER, 'nowhere', 125, 'cannot start the simulation: org.freedesktop.DBus.Error.'),
    (ONE_ADAPTER, 'served-bus', 125, 'cannot start the simulation: cannot own org.bluez'),
], ids=['bus-policy', 'no-such-bus', 'bus-served-already'])
def test_serve_on_a_bus_that_cannot_be_served_gets_one_line(
        scenario_file, scenario, on, status, message):
    bus = PrivateBus()
    first = None
    try:
        if on == 'served-bus':
            first, _ = start_serve(scenario_file(ONE_ADAPTER), '--bus', bus.address)
        address = 'unix:path=/nonexistent/bus' if on == 'nowhere' else bus.address
        result = subprocess.run([PROGRAM, 'serve', '--bus', address, scenario_file(scenario)],
                                capture_output=True, text=True, timeout=TIMEOUT)
        assert (result.returncode, result.stdout) == (status, '')
        assert result.stderr.startswith('bleprobe-sim: ' + message), result.stderr
        assert result.stderr.count('\n') == 1, result.stderr
    finally:
        if first is not None:
            stop_process(first, signal_first=False)
        bus.close()


def test_a_killed_bleprobe_sim_takes_its_daemon_and_the_next_one_its_directory(scenario_file):
    path = scenario_file(ONE_ADAPTER)
    process, address = start_serve(path)
    directory = leftovers(address)[0]
    killed = time.monotonic()
    stop_process(process, signal_first=False)
    # The kernel tells the daemon (parent-death signal); only the directory stays.
    poll_until(lambda: leftovers(address) == [directory], 2.0)
    assert time.monotonic() - killed < 2.0
    assert run(path, ['true']).returncode == 0
    assert leftovers(address) == []


FAKE_DAEMONS = {
    # Keeps its command line (the test finds it by its directory) and prints nothing.
    'silent': 'echo "$@" > "$FAKE_ARGS"; while :; do sleep 0.05; done',
    'fails': 'echo "$@" > "$FAKE_ARGS"; exit 3',
    'complains': 'echo "$@" > "$FAKE_ARGS"; echo "no memory" >&2; echo "at all" >&2; exit 1',
}


# Times from the daemon's start, or from the signal when one is sent.
@pytest.mark.parametrize('daemon, signum, status, message, least, most', [
    ('silent', None, 125, 'dbus-daemon printed no address within 5 s', 4.9, 6.5),
    ('silent', signal.SIGTERM, 128 + signal.SIGTERM, '', 0.0, 1.0),
    ('silent', signal.SIGHUP, 128 + signal.SIGHUP, '', 0.0, 1.0),
    ('fails', None, 125, 'dbus-daemon did not start: it exited with status 3', 0.0, 1.5),
    ('complains', None, 125, 'dbus-daemon did not start: no memory at all', 0.0, 1.5),
], ids=['bounded', 'term', 'hup', 'silent-failure', 'stderr'])
def test_start_up_is_bounded_and_leaves_nothing(tmp_path, scenario_file, daemon, signum, status,
                                                message, least, most):
    bin_dir = tmp_path / 'bin'
    bin_dir.mkdir()
    (bin_dir / 'dbus-daemon').write_text('#!/bin/sh\n' + FAKE_DAEMONS[daemon] + '\n')
    (bin_dir / 'dbus-daemon').chmod(0o755)
    args = tmp_path / 'args'
    env = dict(os.environ, PATH='%s:%s' % (bin_dir, os.environ['PATH']), FAKE_ARGS=str(args))
    marker = tmp_path / 'ran'
    process = subprocess.Popen([PROGRAM, 'run', scenario_file(ONE_ADAPTER), '--', 'touch',
                                str(marker)], stderr=subprocess.PIPE, env=env)
    try:
        poll_until(args.exists, TIMEOUT)
        start = time.monotonic()
        if signum is not None:
            time.sleep(0.5)
            start = time.monotonic()
            process.send_signal(signum)
        assert process.wait(TIMEOUT) == status
        took = time.monotonic() - start
        errors = process.stderr.read().decode()
        assert errors == ('bleprobe-sim: cannot start the simulation: %s\n' % message
                          if message else '')
        assert least <= took < most, took
        config = re.search(r'--config-file=(\S+)', args.read_text()).group(1)
        assert leftovers('unix:path=' + config) == []
        assert not marker.exists()
    finally:
        stop_process(process, signal_first=False)


FAULTY = """
import sys
from gi.repository import GLib
from bleprobe_sim import cli
loop_run = GLib.MainLoop.run


def faulty(loop):
    GLib.timeout_add(200, lambda: {}['hci9'])
    return loop_run(loop)


GLib.MainLoop.run = faulty
sys.exit(cli.main(sys.argv[1:]))
"""


@pytest.mark.parametrize('mode', [['serve'], ['run']], ids=['serve', 'run'])
def test_a_fault_in_a_timer_ends_the_run_with_one_line_and_status_70(scenario_file, mode):
    command = ['--', 'sh', '-c', 'echo "$DBUS_SYSTEM_BUS_ADDRESS"; exec sleep 300'] \
        if mode == ['run'] else []
    process = subprocess.Popen([sys.executable, '-c', FAULTY] + mode + [scenario_file(ONE_ADAPTER)]
                               + command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               cwd=SIM_DIR)
    try:
        address = process.stdout.readline().decode().strip()
        assert process.wait(TIMEOUT) == 70
        assert process.stderr.read() == b"bleprobe-sim: internal fault: KeyError: 'hci9'\n"
        assert leftovers(address) == []
    finally:
        stop_process(process, signal_first=False)


def test_serve_prints_the_address_first_and_ends_on_sigterm(scenario_file):
    process, address = start_serve(scenario_file(ONE_ADAPTER))
    try:
        client = SimClient(address)
        assert client.get_property('/org/bluez/hci0', ADAPTER, 'Powered')
        client.close()
        process.send_signal(signal.SIGTERM)
        assert process.wait(TIMEOUT) == 0
        assert process.stdout.read() == b''
        assert leftovers(address) == []
    finally:
        stop_process(process, signal_first=False)


def test_timeline_advertisement_changes_and_adapter_switched_off(scenario_file):
    """A peripheral in range appears once a discovery hears it, its data
    changes at its time, and the adapter goes off at its time."""
    address = 'D4:3F:7A:10:00:09'
    process, bus_address = start_serve(scenario_file({
        'adapters': [{'index': 0}],
        'peripherals': [{'address': address, 'advertising': {'interval': 0.1, 'serviceData': [
            {'uuid': '1523', 'text': '0001-001'},
            {'from': 3.0, 'uuid': '1523', 'text': '0001-002'}]}}],
        'timeline': [{'at': 4.0, 'event': 'adapterPoweredOff'}],
    }))
    client = SimClient(bus_address)
    try:
        zero = time.monotonic()
        device = '/org/bluez/hci0/dev_' + address.replace(':', '_')
        client.bus.call_blocking('org.bluez', '/org/bluez/hci0', ADAPTER, 'StartDiscovery', '', ())
        seen = []
        while time.monotonic() - zero < 3.6 or not seen:
            try:
                data = client.get_property(device, DEVICE, 'ServiceData')
                value = bytes(data[uuid16('1523')])
                if not seen or seen[-1][1] != value:
                    seen.append((time.monotonic() - zero, value))
            except dbus.DBusException:
                pass
            time.sleep(0.02)
        # A loaded machine makes a change late, never early (the test's
        # zero comes a little after the scenario's).
        assert [v for _, v in seen] == [b'0001-001', b'0001-002'], seen
        assert seen[1][0] >= 2.9, seen
        client.wait_property('/org/bluez/hci0', ADAPTER, 'Powered', False)
        assert time.monotonic() - zero >= 3.9
    finally:
        client.close()
        stop_process(process)


@pytest.mark.parametrize('gatt, uuids', [
    (None, {'1800', '1801'}),
    ({}, {'1800', '1801', '180a'}),
    ({'deviceInformation': False, 'serialNumber': 'x'}, {'1800', '1801'}),
    ({'serialNumber': '8c3f00a1b2c3d4e5'}, {'1800', '1801', '180a', '2a25'}),
    ({'bluetoothdDeviceInformation': True, 'deviceInformation': False}, {'1800', '1801', '180a', '2a50'}),
], ids=['no-gatt', 'no-serial', 'no-service', 'serial', 'bluetoothd-5.55-service'])
def test_gatt_database_once_connected(scenario_file, gatt, uuids):
    peripheral = {'address': 'D4:3F:7A:10:00:04', 'knownFromStart': True}
    if gatt is not None:
        peripheral['gatt'] = gatt
    scenario = {'adapters': [{'index': 0}], 'peripherals': [peripheral]}
    process, address = start_serve(scenario_file(scenario))
    client = SimClient(address)
    try:
        device = '/org/bluez/hci0/dev_D4_3F_7A_10_00_04'
        client.bus.call_blocking('org.bluez', device, DEVICE, 'Connect', '', ())
        client.wait_property(device, DEVICE, 'ServicesResolved', True)
        objects = client.bus.call_blocking('org.bluez', '/', 'org.freedesktop.DBus.ObjectManager',
                                           'GetManagedObjects', '', ())
        found = {str(props[iface]['UUID'])[4:8] for path, props in objects.items()
                 if path.startswith(device + '/')
                 for iface in ('org.bluez.GattService1', 'org.bluez.GattCharacteristic1')
                 if iface in props}
        assert found == uuids
    finally:
        client.close()
        stop_process(process)


def test_slow_advertiser_is_heard_at_its_own_advertisement(scenario_file):
    """A discovery that starts between two advertisements of a slow
    advertiser hears it at the next one, not at the start of its round."""
    address = 'D4:3F:7A:10:00:0A'
    process, bus_address = start_serve(scenario_file({
        'adapters': [{'index': 0}],
        'peripherals': [{'address': address, 'advertising': {
            'interval': 2.5, 'serviceData': [{'uuid': '1523', 'text': '0001-001'}]}}],
    }))
    client = SimClient(bus_address)
    try:
        zero = time.monotonic()
        time.sleep(0.5)
        client.bus.call_blocking('org.bluez', '/org/bluez/hci0', ADAPTER, 'StartDiscovery', '', ())
        device = '/org/bluez/hci0/dev_' + address.replace(':', '_')
        while True:
            try:
                client.get_property(device, DEVICE, 'Address')
                break
            except dbus.DBusException:
                assert time.monotonic() - zero < TIMEOUT
                time.sleep(0.02)
        # The next advertisement is due 2.5 s after the scenario's zero,
        # which came a little before the test's.
        assert time.monotonic() - zero >= 2.3
    finally:
        client.close()
        stop_process(process)


def device(address):
    return '/org/bluez/hci0/dev_' + address.replace(':', '_')


def read(iface, *names):
    """What a call left on the object whose path it answered."""
    return lambda client, path: [client.get_property(path, iface, name) for name in names]


UNIT = uuid16('1523')
OLD, NEW = device('D0:00:00:00:00:01'), device('D0:00:00:00:00:02')
# A name of an earlier release, and the call as it is now made: the same
# answer, or refusal, and the same object left behind.
OLD_NAMES = [
    (('discovery_log', (), {}), ('get_discovery_log', (), {}), None),
    (('bluez_unique_name', (), {}), ('get_bluez_unique_name', (), {}), None),
    (('remove', ('/org/bluez/hci9',), {}), ('remove_object', ('/org/bluez/hci9',), {}), None),
    (('configure', (OLD,), {'ConnectBehaviour': 'sideways'}),
     ('configure_device', (OLD,), {'ConnectBehaviour': 'sideways'}), None),
    (('add_adapter', ('hci1',), {'powered': False, 'controller': 'dual'}),
     ('add_adapter', ('hci2',), {'Powered': False, 'Controller': 'dual'}), read(ADAPTER, 'Powered')),
    (('add_device', ('D0:00:00:00:00:01',), {'data': {UNIT: b'1'}, 'connected': True}),
     ('add_device', ('D0:00:00:00:00:02',),
      {'ServiceData': {UNIT: b'1'}, 'Connected': True, 'ServicesResolved': True}),
     read(DEVICE, 'ServiceData', 'Connected', 'ServicesResolved')),
    (('add_service', (OLD, uuid16('180a')), {'primary': False}),
     ('add_service', (NEW, uuid16('180a')), {'Primary': False}),
     read('org.bluez.GattService1', 'Primary')),
    (('add_characteristic', (OLD + '/service0001', uuid16('2a25')),
      {'flags': ['read', 'write'], 'value': b'1', 'read': 'hang'}),
     ('add_characteristic', (NEW + '/service0001', uuid16('2a25')),
      {'Flags': ['read', 'write'], 'Value': b'1', 'ReadBehaviour': 'hang'}),
     read('org.bluez.GattCharacteristic1', 'Flags')),
]


def answer(client, call, read_back):
    name, args, kwargs = call
    try:
        result = getattr(client, name)(*args, **kwargs)
    except dbus.DBusException as e:
        return e.get_dbus_name()
    return read_back(client, result) if read_back else result


def test_the_client_names_of_earlier_releases_still_work_and_warn(scenario_file):
    process, address = start_serve(scenario_file(ONE_ADAPTER))
    client = SimClient(address)
    try:
        for old, new, read_back in OLD_NAMES:
            with pytest.warns(DeprecationWarning, match=r'SimClient: %s(\(| is)' % old[0]):
                was = answer(client, old, read_back)
            with warnings.catch_warnings():
                warnings.simplefilter('error')
                assert (old[0], answer(client, new, read_back)) == (old[0], was)
    finally:
        client.close()
        stop_process(process)
