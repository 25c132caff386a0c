"""Scanning mode (`bleprobe`, `bleprobe --dfu`) end to end against a
simulated bluetoothd, plus the command lines the tool refuses."""

import time
from typing import List

import dbus
import pytest

from bleprobe_sim import promises
from bleprobe_sim.dbus_values import byte_array, service_data
from bleprobe_sim.names import ADAPTER, DEVICE, OBJECT_MANAGER, PROPERTIES, uuid16
from harness import (ALL_RELEASES, DENY_ADAPTER_METHODS, DENY_BLUEZ, HCI0, UNREACHABLE_BUS,
                     Tool, assert_between, bluez_without_adapter, device_id, exit_bound, forge,
                     forged_bluez_exit, no_bluez, unreachable_bus)

UNIT = uuid16('1523')
DFU = uuid16('fe59')
BATTERY = uuid16('180f')
HCI1 = '/org/bluez/hci1'
SOME_ID = '00000000-0000-0000-0000-AABBCCDDEEFF'
# each mode's command line
SCAN_ARGS: List[str] = []
DFU_ARGS = ['--dfu']


def unit(address, number):
    return {'deviceId': device_id(address), 'unitNumber': number}


def start_scan(run_tool, sim, address, args=()):
    """Start the tool and wait until its discovery is under way: BlueZ only
    reports what it receives after StartDiscovery, and so does the tool."""
    tool = run_tool(list(args), address)
    sim.wait_for_call('StartDiscovery', pid=tool.pid)
    return tool


def stop(tool):
    """SIGTERM, then the exit at once with status 0; every line written."""
    tool.terminate()
    status, records = tool.finish()
    assert status == 0
    assert_between('exit after SIGTERM', tool.exited - tool.terminated,
                   *exit_bound(promises.EXIT_AFTER_SIGTERM))
    return records


def finish_by_itself(tool):
    """The run ends on its own: status 0, and the exit within 1 s of its
    last line (the error that ended it)."""
    status, records = tool.finish()
    assert status == 0
    assert_between('exit after the last line', tool.exited - tool.line_times[-1],
                   *exit_bound(promises.EXIT_AFTER_LINE))
    return records


# ---------------------------------------------------------------------------
# Command line
# ---------------------------------------------------------------------------

REFUSED = [
    ['--dfu', '--dfu'],
    ['--dfu', 'x'],
    ['x', '--dfu'],
    ['--dfu', '--identity', SOME_ID],
    ['--identity', SOME_ID, '--dfu'],
    ['x', '--identity', SOME_ID],
    ['--identity'],
    ['--identity', SOME_ID, SOME_ID],
    ['--identity', SOME_ID.lower()],
    ['--identity', '00000000-0000-0000-0000-AaBBCCDDEEFF'],
    ['--identity', 'not-a-uuid'],
    ['--identity', SOME_ID.replace('-', '')],
    ['--identity', '{' + SOME_ID + '}'],
    ['--identity', SOME_ID + ' '],
    ['--identity', ' ' + SOME_ID],
    ['--identity', SOME_ID[:-1]],
    ['--identity', SOME_ID[:-1] + 'G'],
    ['--identity', ''],
    ['--identity=' + SOME_ID],
    ['--DFU'],
    ['-dfu'],
    ['dfu'],
    ['--dfu='],
    [''],
    ['--help'],
    ['-h'],
]


@pytest.mark.parametrize('args', REFUSED, ids=lambda a: ' '.join(a) or 'empty-arg')
def test_refused_command_line_exits_2_silently(run_tool, args):
    # No bus behind the address: a command line taken for a mode would
    # print adapter-unavailable instead of exiting 2.
    tool = run_tool(args, UNREACHABLE_BUS)
    status, records = tool.finish()
    assert (status, records) == (2, [])


# ---------------------------------------------------------------------------
# Adapter state at start
# ---------------------------------------------------------------------------

def adapter(powered=True, fail=None, policy=''):
    def setup(make_bus, make_sim):
        bus = make_bus(policy)
        sim = make_sim(bus)
        sim.add_adapter('hci0', Powered=powered)
        if fail:
            sim.fail_adapter_method(HCI0, *fail)
        return bus.address
    return setup


def lowest_index_off(make_bus, make_sim):
    # hci10 is listed first and powered; hci1 has the lowest index and is off.
    bus = make_bus()
    sim = make_sim(bus)
    sim.add_adapter('hci10', Powered=True)
    sim.add_adapter('hci1', Powered=False)
    sim.add_adapter('hci2', Powered=True)
    return bus.address


UNAVAILABLE = 'adapter-unavailable'
DENIED = 'permission-denied'

START_CASES = {
    'no-bluez': (no_bluez, UNAVAILABLE),
    'bus-unreachable': (unreachable_bus, UNAVAILABLE),
    'no-adapter': (bluez_without_adapter, UNAVAILABLE),
    'powered-off': (adapter(powered=False), UNAVAILABLE),
    'lowest-index-powered-off': (lowest_index_off, UNAVAILABLE),
    'start-discovery-not-ready': (adapter(fail=('StartDiscovery', 'org.bluez.Error.NotReady')),
                                  UNAVAILABLE),
    'start-discovery-failed': (adapter(fail=('StartDiscovery', 'org.bluez.Error.Failed')),
                               UNAVAILABLE),
    'filter-failed': (adapter(fail=('SetDiscoveryFilter', 'org.bluez.Error.Failed')),
                      UNAVAILABLE),
    'bus-denies-org.bluez': (adapter(policy=DENY_BLUEZ), DENIED),
    'bus-denies-adapter-methods': (adapter(policy=DENY_ADAPTER_METHODS), DENIED),
    'start-discovery-not-authorized': (
        adapter(fail=('StartDiscovery', 'org.bluez.Error.NotAuthorized')), DENIED),
    'start-discovery-not-permitted': (
        adapter(fail=('StartDiscovery', 'org.bluez.Error.NotPermitted')), DENIED),
    'filter-not-authorized': (
        adapter(fail=('SetDiscoveryFilter', 'org.bluez.Error.NotAuthorized')), DENIED),
}


# Both modes share the adapter handling: --dfu runs a few of the cases.
DFU_START_CASES = ['no-bluez', 'powered-off', 'bus-denies-org.bluez']


@pytest.mark.parametrize('case, mode',
                         [(c, SCAN_ARGS) for c in START_CASES] + [(c, DFU_ARGS) for c in DFU_START_CASES],
                         ids=list(START_CASES) + ['dfu-' + c for c in DFU_START_CASES])
def test_adapter_problem_at_start_is_one_error_record(make_bus, make_sim, run_tool, case, mode):
    setup, code = START_CASES[case]
    address = setup(make_bus, make_sim)
    assert finish_by_itself(run_tool(mode, address)) == [{'error': code}]


# ---------------------------------------------------------------------------
# Discovery requests and SIGTERM
# ---------------------------------------------------------------------------

@pytest.mark.parametrize('mode', [[], ['--dfu']], ids=['normal', 'dfu'])
@pytest.mark.parametrize('adapters, chosen', [
    (['hci0'], HCI0),
    (['hci10', 'hci2', 'hci1'], HCI1),
], ids=['one-adapter', 'lowest-index'])
def test_discovery_filter_start_and_stop_on_sigterm(bus, sim, run_tool, mode, adapters, chosen):
    for name in adapters:
        sim.add_adapter(name, Powered=True)
    tool = start_scan(run_tool, sim, bus.address, mode)
    assert stop(tool) == []
    sim.wait_for_call('SetDiscoveryFilter', pid=tool.pid, count=2)
    calls = [(c['member'], c['path'], c['args']) for c in sim.calls(pid=tool.pid)
             if c['interface'] == ADAPTER]
    # The service UUID stays out of the filter: BlueZ would match it against
    # advertised service lists only and hide the service-data advertisers.
    assert calls == [
        ('SetDiscoveryFilter', chosen, [{'Transport': 'le', 'DuplicateData': True}]),
        ('StartDiscovery', chosen, []),
        ('StopDiscovery', chosen, []),
        # The filter is cleared once stopped: bluetoothd 5.66 otherwise ends
        # every other program's discovery once this one has left the bus.
        ('SetDiscoveryFilter', chosen, [{}]),
    ]


def test_in_progress_answer_to_start_discovery_is_not_a_failure(bluez, bus, run_tool):
    x = bluez.add_device('C0:00:00:00:00:01')
    bluez.fail_adapter_method(HCI0, 'StartDiscovery', 'org.bluez.Error.InProgress')
    tool = start_scan(run_tool, bluez, bus.address)
    bluez.advertise(x, {UNIT: b'1234-567'})
    tool.wait_lines(1)
    assert stop(tool) == [unit('C0:00:00:00:00:01', '1234-567')]


# ---------------------------------------------------------------------------
# Unit numbers and firmware-update records
# ---------------------------------------------------------------------------

@ALL_RELEASES
def test_unit_numbers_are_reported_once_per_change(bluez, bus, run_tool):
    a, b = 'C0:00:00:00:00:0A', 'C0:00:00:00:00:0B'
    tool = start_scan(run_tool, bluez, bus.address)

    path_a = bluez.add_device(a, ServiceData={UNIT: b'1234-567'})   # new device
    for _ in range(3):
        bluez.advertise(path_a, {UNIT: b'1234-567'})                # duplicates
    bluez.advertise(path_a, {UNIT: b'1234-568'})                    # changed
    bluez.advertise(path_a, {UNIT: b'1234-567'})                    # changed back
    path_b = bluez.add_device(b)                                    # no service data yet
    bluez.advertise(path_b, {UNIT: b'1234-567'})                    # same number, other device
    bluez.advertise(path_a, {UNIT: b'1234-56'})                     # invalid: forgets nothing
    bluez.advertise(path_a, {UNIT: b'1234-567'})
    bluez.remove_object(path_a)                                     # gone and back again
    bluez.add_device(a, ServiceData={UNIT: b'1234-567'})
    bluez.advertise(path_a, {UNIT: b'9999-000'})

    expected = [unit(a, '1234-567'), unit(a, '1234-568'), unit(a, '1234-567'),
                unit(b, '1234-567'), unit(a, '9999-000')]
    tool.wait_lines(len(expected))
    assert stop(tool) == expected


def test_devices_known_before_the_scan_count_only_when_they_advertise(bluez, bus, run_tool):
    cached = bluez.add_device('C0:00:00:00:00:01', ServiceData={UNIT: b'1111-111'})
    bluez.add_device('C0:00:00:00:00:02', ServiceData={UNIT: b'2222-222'})   # never advertises
    tool = start_scan(run_tool, bluez, bus.address)
    bluez.advertise(cached, {UNIT: b'1111-111'})
    tool.wait_lines(1)
    assert stop(tool) == [unit('C0:00:00:00:00:01', '1111-111')]


def test_service_data_is_found_among_other_entries_and_in_any_case(bluez, bus, run_tool):
    tool = start_scan(run_tool, bluez, bus.address)
    bluez.add_device('C0:00:00:00:00:01', ServiceData={BATTERY: b'\x64', UNIT: b'3141-592',
                                                       DFU: bytes(range(8))})
    bluez.add_device('C0:00:00:00:00:02', ServiceData={UNIT.upper(): b'2718-281'})
    tool.wait_lines(2)
    assert stop(tool) == [unit('C0:00:00:00:00:01', '3141-592'),
                          unit('C0:00:00:00:00:02', '2718-281')]


@ALL_RELEASES
def test_firmware_update_records(bluez, bus, run_tool):
    tool = start_scan(run_tool, bluez, bus.address, ['--dfu'])
    d1 = bluez.add_device('C0:00:00:00:00:01', ServiceData={DFU: bytes([1, 2, 3, 4, 5, 6, 7, 8])})
    bluez.advertise(d1, {DFU: bytes([1, 2, 3, 4, 5, 6, 7, 8])})
    d2 = bluez.add_device('C0:00:00:00:00:02')
    bluez.advertise(d2, {DFU: b'\xff' * 8})
    # The advertisement reaches bluetoothd AppearDelay later; a device
    # announced with its data is printed at once.
    tool.wait_lines(2)
    bluez.add_device('C0:00:00:00:00:03', ServiceData={DFU: bytes(8)})
    bluez.advertise(d1, {DFU: bytes([1, 2, 3, 4, 5, 6, 7, 9])})
    bluez.advertise(d1, {DFU: b'1234-567'})

    def record(address, serial, hexdata):
        return {'deviceId': device_id(address), 'serial': serial,
                'serviceDataHex': hexdata, 'serviceUuid': 'FE59'}
    expected = [
        record('C0:00:00:00:00:01', '0403020108070605', '0102030405060708'),
        record('C0:00:00:00:00:02', 'FFFFFFFFFFFFFFFF', 'FFFFFFFFFFFFFFFF'),
        record('C0:00:00:00:00:03', '0000000000000000', '0000000000000000'),
        record('C0:00:00:00:00:01', '0403020109070605', '0102030405060709'),
        record('C0:00:00:00:00:01', '343332313736352D', '313233342D353637'),
    ]
    tool.wait_lines(len(expected))
    assert stop(tool) == expected


@pytest.mark.parametrize('mode, other, own, expected', [
    ([], DFU, {UNIT: b'1111-111', DFU: bytes(range(1, 9))},
     {'deviceId': device_id('C0:00:00:00:00:02'), 'unitNumber': '1111-111'}),
    (['--dfu'], UNIT, {UNIT: b'1111-111', DFU: bytes(range(1, 9))},
     {'deviceId': device_id('C0:00:00:00:00:02'), 'serial': '0403020108070605',
      'serviceDataHex': '0102030405060708', 'serviceUuid': 'FE59'}),
], ids=['normal', 'dfu'])
def test_service_data_of_the_other_mode_is_ignored(bluez, bus, run_tool, mode, other, own,
                                                   expected):
    tool = start_scan(run_tool, bluez, bus.address, mode)
    only_other = bluez.add_device('C0:00:00:00:00:01', ServiceData={other: b'1234-567'})
    bluez.advertise(only_other, {other: bytes(range(1, 9))})
    bluez.add_device('C0:00:00:00:00:02', ServiceData=own)
    tool.wait_lines(1)
    assert stop(tool) == [expected]


def test_more_devices_than_the_bus_allows_match_rules(bluez, bus, run_tool):
    # The private bus allows 512 match rules per connection, like a system
    # bus: a client that subscribes per device stops hearing devices.
    tool = start_scan(run_tool, bluez, bus.address)
    addresses = ['C0:00:00:00:%02X:%02X' % (i // 256, i % 256) for i in range(600)]
    for i, address in enumerate(addresses):
        path = bluez.add_device(address)
        bluez.advertise(path, {UNIT: b'%04d-%03d' % (i, i % 1000)})
    tool.wait_lines(len(addresses), timeout=60)
    records = stop(tool)
    assert records == [unit(a, '%04d-%03d' % (i, i % 1000)) for i, a in enumerate(addresses)]


def test_advertiser_whose_first_report_is_lost_is_reported_in_the_next_round(
        bus, make_sim, run_tool):
    # A 6.12 kernel loses the first report of a discovery started from idle,
    # and the controller lets the advertiser through again only in the next
    # round.  The scan's filter asks for duplicates, so bluetoothd starts that
    # round at once, and the line comes within one (shortened) round of the
    # advertisement heard first; a scan that let it run plain rounds would
    # wait for bluetoothd's 5 s pause in between.
    sim = make_sim(bus, profile='5.82')
    sim.add_adapter('hci0', Controller='le')
    round_time, appear_delay = 1.0, 0.1
    sim.set_timing(RoundTime=round_time, RoundPause=5.0, AppearDelay=appear_delay)
    sim.add_peripheral_in_range(X, ServiceData=service_data({UNIT: b'1234-567'}))
    tool = start_scan(run_tool, sim, bus.address)
    tool.wait_lines(1)
    first_heard = sim.get_discovery_log()['rounds'][0]['time'] + appear_delay
    assert_between('line after the first heard advertisement', tool.line_times[0] - first_heard,
                   0.0, round_time + 0.5)
    # Later rounds report the unchanged advertiser again: still one line.
    log = sim.wait_reports(4)
    assert stop(tool) == [unit(X, '1234-567')]
    assert [(r['round'], r['lost']) for r in log['reports'][:3]] == [(1, True), (2, False),
                                                                     (3, False)]
    assert [r['afterPause'] for r in log['rounds'][:3]] == [False, False, False]


# ---------------------------------------------------------------------------
# Malformed input from BlueZ
# ---------------------------------------------------------------------------
# Each case sends something the tool must ignore; a valid advertisement of
# a known device and one of a second device follow, and both must be
# reported: nothing was written for the bad input, and the scan went on.

X = 'C0:00:00:00:00:01'
S = 'C0:00:00:00:00:02'
PATH_X = HCI0 + '/dev_C0_00_00_00_00_01'
NEW_PATH = HCI0 + '/dev_C0_00_00_00_00_09'


def set_service_data(value):
    return lambda sim: sim.set_properties(PATH_X, DEVICE, ServiceData=value)


def advertise(payload):
    return lambda sim: sim.advertise(PATH_X, {UNIT: payload})


def raw_properties_changed(iface, changed, signature='sa{sv}as', invalidated=()):
    def send(sim):
        if signature == 's':
            sim.emit_raw(PATH_X, PROPERTIES, 'PropertiesChanged', 's', iface)
        else:
            sim.emit_raw(PATH_X, PROPERTIES, 'PropertiesChanged', signature, iface, changed,
                         dbus.Array(list(invalidated), signature='s'))
    return send


def new_device(address, adapter_path=HCI0, **props):
    def add(sim):
        path = sim.add_device(address, adapter=adapter_path, ServiceData={UNIT: b'5555-555'}, **props)
        sim.advertise(path, {UNIT: b'5555-556'})
    return add


def device_without_address(sim):
    props = dbus.Dictionary({'Adapter': dbus.ObjectPath(HCI0),
                             'ServiceData': service_data({UNIT: b'5555-555'})}, signature='sv')
    sim.emit_raw('/', OBJECT_MANAGER, 'InterfacesAdded', 'oa{sa{sv}}', dbus.ObjectPath(NEW_PATH),
                 dbus.Dictionary({DEVICE: props}, signature='sa{sv}'))
    sim.emit_raw(NEW_PATH, PROPERTIES, 'PropertiesChanged', 'sa{sv}as', DEVICE,
                 dbus.Dictionary({'ServiceData': service_data({UNIT: b'5555-556'})},
                                 signature='sv'),
                 dbus.Array([], signature='s'))


def interfaces_added_wrong_signature(sim):
    sim.emit_raw('/', OBJECT_MANAGER, 'InterfacesAdded', 'oa{ss}', dbus.ObjectPath(NEW_PATH),
                 dbus.Dictionary({DEVICE: 'C0:00:00:00:00:09'}, signature='ss'))


def unknown_device_path(sim):
    sim.emit_raw(NEW_PATH, PROPERTIES, 'PropertiesChanged', 'sa{sv}as', DEVICE,
                 dbus.Dictionary({'ServiceData': service_data({UNIT: b'5555-555'})},
                                 signature='sv'),
                 dbus.Array([], signature='s'))


def add_second_adapter_device(sim):
    sim.add_adapter('hci1', Powered=True)
    new_device('C0:00:00:00:00:09', adapter_path=HCI1)(sim)


VALID_SD = service_data({UNIT: b'5555-555'})

MALFORMED = {
    'value-string': set_service_data(
        dbus.Dictionary({UNIT: dbus.String('5555-555')}, signature='sv')),
    'value-int16-array': set_service_data(
        dbus.Dictionary({UNIT: dbus.Array([dbus.Int16(b) for b in b'5555-555'], signature='n')},
                        signature='sv')),
    'value-uint32': set_service_data(dbus.Dictionary({UNIT: dbus.UInt32(5)}, signature='sv')),
    'service-data-string-map': set_service_data(
        dbus.Dictionary({UNIT: '5555-555'}, signature='ss')),
    'service-data-byte-array': set_service_data(byte_array(b'5555-555')),
    'service-data-string': set_service_data(dbus.String('5555-555')),
    'service-data-key-not-uuid': set_service_data(
        dbus.Dictionary({'not-a-uuid': byte_array(b'5555-555')}, signature='sv')),
    'payload-7-bytes': advertise(b'5555-55'),
    'payload-9-bytes': advertise(b'5555-5555'),
    'payload-empty': advertise(b''),
    'payload-4k': advertise(b'5' * 4096),
    'payload-byte-above-7f': advertise(b'5555-55\xb5'),
    'payload-letter': advertise(b'5555-55A'),
    'payload-no-hyphen': advertise(b'55555555'),
    'properties-changed-wrong-signature': raw_properties_changed(
        DEVICE, dbus.Dictionary({'ServiceData': 'x'}, signature='ss'), signature='sa{ss}as'),
    'properties-changed-truncated': raw_properties_changed(DEVICE, None, signature='s'),
    'properties-changed-invalidated-only': raw_properties_changed(
        DEVICE, dbus.Dictionary({}, signature='sv'), invalidated=['ServiceData']),
    'properties-changed-other-interface': raw_properties_changed(
        'org.bluez.Battery1', dbus.Dictionary({'ServiceData': VALID_SD}, signature='sv')),
    'interfaces-added-wrong-signature': interfaces_added_wrong_signature,
    'address-missing': device_without_address,
    'address-wrong-type': new_device('C0:00:00:00:00:09',
                                     Address=byte_array(b'\xc0\x00\x00\x00\x00\x09')),
    # The control interface takes only a well-formed address for the path;
    # the Address property is BlueZ's to get wrong.
    'address-malformed': new_device('C0:00:00:00:00:09', Address='C0:00:00:00:09'),
    'address-not-hex': new_device('C0:00:00:00:00:09', Address='C0:00:00:00:00:0G'),
    'unknown-device-path': unknown_device_path,
    'device-of-another-adapter': add_second_adapter_device,
}


@pytest.mark.parametrize('case', MALFORMED)
def test_malformed_input_is_ignored_and_scanning_goes_on(bluez, bus, run_tool, case):
    bluez.add_device(X)
    path_s = bluez.add_device(S)
    tool = start_scan(run_tool, bluez, bus.address)
    MALFORMED[case](bluez)
    bluez.advertise(PATH_X, {UNIT: b'1234-567'})
    bluez.advertise(path_s, {UNIT: b'7654-321'})
    tool.wait_lines(2)
    assert stop(tool) == [unit(X, '1234-567'), unit(S, '7654-321')]


# ---------------------------------------------------------------------------
# Signals that do not come from BlueZ
# ---------------------------------------------------------------------------

def forged_advertisement(bluez_name):
    return [(PATH_X, PROPERTIES, 'PropertiesChanged', 'sa{sv}as',
             (DEVICE, dbus.Dictionary({'ServiceData': service_data({UNIT: b'6666-666'})},
                                      signature='sv'), dbus.Array([], signature='s')))]


def forged_new_device(bluez_name):
    props = dbus.Dictionary({'Address': 'C0:00:00:00:00:09', 'Adapter': dbus.ObjectPath(HCI0),
                             'ServiceData': service_data({UNIT: b'6666-666'})}, signature='sv')
    return [('/', OBJECT_MANAGER, 'InterfacesAdded', 'oa{sa{sv}}',
             (dbus.ObjectPath(NEW_PATH), dbus.Dictionary({DEVICE: props}, signature='sa{sv}')))]


def forged_power_off(bluez_name):
    return [(HCI0, PROPERTIES, 'PropertiesChanged', 'sa{sv}as',
             (ADAPTER, dbus.Dictionary({'Powered': dbus.Boolean(False)}, signature='sv'),
              dbus.Array([], signature='s')))]


def forged_adapter_removal(bluez_name):
    return [('/', OBJECT_MANAGER, 'InterfacesRemoved', 'oas',
             (dbus.ObjectPath(HCI0), dbus.Array([ADAPTER], signature='s')))]


FORGED = {
    'advertisement': forged_advertisement,
    'new-device': forged_new_device,
    'adapter-powered-off': forged_power_off,
    'adapter-removed': forged_adapter_removal,
    'bluez-name-lost': forged_bluez_exit,
}


@pytest.mark.parametrize('delivery', ['broadcast', 'unicast'])
@pytest.mark.parametrize('case', FORGED)
def test_signals_from_other_connections_are_ignored(bluez, bus, run_tool, case, delivery):
    bluez.add_device(X)
    path_s = bluez.add_device(S)
    tool = start_scan(run_tool, bluez, bus.address)
    tool_name = bluez.calls('GetManagedObjects', pid=tool.pid)[0]['sender']

    forge(bus.address, FORGED[case](bluez.get_bluez_unique_name()),
          destination=tool_name if delivery == 'unicast' else None)
    bluez.advertise(PATH_X, {UNIT: b'1234-567'})
    bluez.advertise(path_s, {UNIT: b'7654-321'})
    tool.wait_lines(2)
    assert stop(tool) == [unit(X, '1234-567'), unit(S, '7654-321')]


# ---------------------------------------------------------------------------
# BlueZ or the adapter going away during the scan
# ---------------------------------------------------------------------------

GONE = {
    'bluetoothd-killed': lambda bus, sim: sim.kill(),
    'org.bluez-released': lambda bus, sim: sim.release_bluez_name(),
    'adapter-removed': lambda bus, sim: sim.remove_object(HCI0),
    'adapter-powered-off': lambda bus, sim: sim.set_powered(HCI0, False),
    'bus-gone': lambda bus, sim: bus.kill(),
}


@pytest.mark.parametrize('case, mode',
                         [(c, SCAN_ARGS) for c in GONE] + [('adapter-powered-off', DFU_ARGS)],
                         ids=list(GONE) + ['dfu-adapter-powered-off'])
def test_losing_the_adapter_mid_scan_ends_with_adapter_unavailable(bluez, bus, run_tool, case, mode):
    tool = start_scan(run_tool, bluez, bus.address, mode)
    bluez.add_device(X, ServiceData={DFU if mode else UNIT: b'1234-567'})
    first = tool.wait_lines(1)
    GONE[case](bus, bluez)
    assert finish_by_itself(tool) == first + [{'error': 'adapter-unavailable'}]


# ---------------------------------------------------------------------------
# Other programs discovering on the same adapter
# ---------------------------------------------------------------------------

def other_scanner_stops(sim, bus, tool):
    """Another bleprobe scans alongside, then gets SIGTERM: it clears its
    filter once stopped, and the tool's discovery goes on."""
    other = Tool([], bus.address)
    try:
        sim.wait_for_call('StartDiscovery', pid=other.pid)
        other.terminate()
        assert other.finish()[0] == 0
    finally:
        other.cleanup()


def client_stops_with_filter_and_leaves(sim, bus, tool, before_leaving=lambda: None):
    """A client that stops with its filter still set, then leaves the bus:
    bluetoothd then ends the controller's discovery for every client
    (filter-left-set). Returns when it left."""
    client = dbus.bus.BusConnection(bus.address)
    adapter = dbus.Interface(client.get_object('org.bluez', HCI0, introspect=False), ADAPTER)
    adapter.SetDiscoveryFilter(dbus.Dictionary({'Transport': 'le'}, signature='sv'))
    adapter.StartDiscovery()
    adapter.StopDiscovery()
    before_leaving()
    client.close()
    return time.monotonic()


@pytest.mark.parametrize('other', [other_scanner_stops, client_stops_with_filter_and_leaves],
                         ids=['another-bleprobe-stops', 'a-client-ends-everyones-discovery'])
def test_scan_outlives_other_programs_discoveries(bluez, bus, run_tool, other):
    tool = start_scan(run_tool, bluez, bus.address)
    bluez.add_device(X)
    bluez.advertise(PATH_X, {UNIT: b'1234-567'})
    tool.wait_lines(1)
    left = other(bluez, bus, tool)
    bluez.wait_property(HCI0, ADAPTER, 'Discovering', True)
    bluez.advertise(PATH_X, {UNIT: b'1234-568'})
    tool.wait_lines(2)
    assert stop(tool) == [unit(X, '1234-567'), unit(X, '1234-568')]
    if left is not None:
        # The discovery ended with the client's leaving; the restart (its
        # StopDiscovery first) waits for the adapter's fate.
        restart = next(c['time'] for c in bluez.calls(pid=tool.pid) if c['time'] > left)
        assert_between('restart after the discovery ended', restart - left, *promises.AFTER_HALF_SECOND_WAIT)


def test_refused_restart_is_reported(bluez, bus, run_tool):
    tool = start_scan(run_tool, bluez, bus.address)
    left = client_stops_with_filter_and_leaves(bluez, bus, tool, lambda: bluez.fail_adapter_method(
        HCI0, 'StartDiscovery', 'org.bluez.Error.NotAuthorized'))
    assert finish_by_itself(tool) == [{'error': 'permission-denied'}]
    assert_between('refused restart after the discovery ended', tool.line_times[0] - left,
                   *promises.AFTER_HALF_SECOND_WAIT)
