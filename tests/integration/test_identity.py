"""Identity mode (`bleprobe --identity <id>`) end to end against a simulated
bluetoothd with devices that carry GATT services."""

import time
from typing import Any, Dict, Optional, Tuple

import dbus
import pytest

from bleprobe_sim import promises
from bleprobe_sim.names import ADAPTER, DEVICE, GATT_CHARACTERISTIC, OBJECT_MANAGER, PROPERTIES, uuid16
from bleprobe_sim.profiles import PROFILES
from harness import (ALL_RELEASES, DENY_BLUEZ, HCI0, assert_between, bluez_without_adapter,
                     device_id, exit_bound, forge, forged_bluez_exit, no_bluez, unreachable_bus)

ADDRESS = 'D0:00:00:00:00:01'
OTHER = 'D0:00:00:00:00:11'
ID = device_id(ADDRESS)


def success(serial):
    return {'deviceId': ID, 'serial': serial}


def error(code):
    return {'error': code}


def gatt_with_serial(value):
    """What a typical peripheral offers: Generic Access, Generic Attribute,
    then Device Information with the serial number after another string."""
    return [('1800', [('2a00', {'Value': b'Probe'})]),
            ('1801', []),
            ('180a', [('2a29', {'Value': b'Example Instruments'}),
                      ('2a25', {'Value': value})])]


def add_gatt(sim, device, layout):
    for service, characteristics in layout:
        service_path = sim.add_service(device, uuid16(service))
        for uuid, options in characteristics:
            sim.add_characteristic(service_path, uuid16(uuid), options)


def peripheral(sim, layout, address=ADDRESS, connected=False, **behaviour):
    # Quicker than a real stack unless a test asks for its slowness.
    behaviour.setdefault('ResolveDelay', 0.05)
    behaviour.setdefault('DisconnectDelay', 0.05)
    path = sim.add_device(address, Connected=connected, ServicesResolved=connected)
    sim.configure_device(path, behaviour)
    add_gatt(sim, path, layout)
    return path


def identify(run_tool, address, identifier=ID):
    tool = run_tool(['--identity', identifier], address)
    status, records = tool.finish()
    assert status == 0
    return tool, records


def link_calls(sim, tool):
    """The tool's Connect/Disconnect/ReadValue calls, in order."""
    return [c['member'] for c in sim.calls(pid=tool.pid)
            if c['interface'] in (DEVICE, GATT_CHARACTERISTIC)]


def discovery_calls(sim, tool):
    return [(c['member'], c['args']) for c in sim.calls(pid=tool.pid) if c['interface'] == ADAPTER]


# The search for a peripheral that BlueZ does not list; stopped, filter first.
# It asks for duplicates to keep its discovery filtered, restarted at once
# after each round: a plain one pauses 5 s between rounds, in which a slow
# advertiser's next advertisement after a lost one could fall.
SEARCH = [('SetDiscoveryFilter', [{'Transport': 'le', 'DuplicateData': True}]),
          ('StartDiscovery', []),
          ('StopDiscovery', []),
          ('SetDiscoveryFilter', [{}])]


# ---------------------------------------------------------------------------
# Success
# ---------------------------------------------------------------------------

@ALL_RELEASES
@pytest.mark.parametrize('value, serial', [
    (b'0123456789ABCDEF', '0123456789ABCDEF'),
    (b'  0123456789abcdef\r\n', '0123456789ABCDEF'),
    (b'\t8c3f00a1b2c3d4e5 \x0b\x0c', '8C3F00A1B2C3D4E5'),
], ids=['plain', 'lower-case-padded', 'mixed-white-space'])
def test_serial_number_is_read_and_the_link_released(bluez, bus, run_tool, value, serial):
    peripheral(bluez, gatt_with_serial(value))
    tool, records = identify(run_tool, bus.address)
    assert records == [success(serial)]
    assert link_calls(bluez, tool) == ['Connect', 'ReadValue', 'Disconnect']
    read = bluez.calls('ReadValue', pid=tool.pid)[0]
    assert read['args'] == [{}]
    assert read['path'].startswith(HCI0 + '/dev_D0_00_00_00_00_01/service')


def stale_cache_then_real_services(sim):
    """BlueZ shows the GATT objects it cached from an earlier connection until
    the new discovery has finished: only Generic Access at first."""
    path = sim.add_device(ADDRESS)
    add_gatt(sim, path, [('1800', [('2a00', {'Value': b'Probe'})])])
    sim.configure_device(path, GattOnConnect=True)
    add_gatt(sim, path, [('180a', [('2a25', {'Value': b'0123456789abcdef'})])])
    return path


def with_behaviour(**behaviour):
    return lambda sim: peripheral(sim, gatt_with_serial(b'0123456789abcdef'), **behaviour)


TIMINGS = {
    'services-cached': with_behaviour(),
    'services-exported-on-connect': with_behaviour(GattOnConnect=True),
    'stale-cache-until-resolved': stale_cache_then_real_services,
    'resolved-right-after-connect': with_behaviour(ResolveDelay=0.0, ConnectDelay=0.0),
    'slow-connect-and-resolve': with_behaviour(ConnectDelay=0.8, ResolveDelay=1.2),
    'connected-signal-sent': with_behaviour(EmitConnected=True),
    # The 1.0 s deferred report writes the line instead of the disconnection.
    'disconnect-never-confirmed': with_behaviour(DisconnectDelay=-1.0),
    'disconnect-confirmed-late': with_behaviour(DisconnectDelay=2.0),
    # Seen after a link was cut during service discovery: ServicesResolved
    # is signalled before the service objects are announced.
    'resolved-before-objects-announced': with_behaviour(GattOnConnect=True, ResolveDelay=0.0,
                                                        ObjectsAfterResolved=0.5),
    'cache-then-resolved-before-objects': lambda sim: sim.configure_device(
        stale_cache_then_real_services(sim), ObjectsAfterResolved=0.5),
}


# A Connected=true signal is already part of the later releases' order, and a
# disconnection never confirmed does not depend on the release.
SAME_ON_ALL_RELEASES = ('connected-signal-sent', 'disconnect-never-confirmed')


@pytest.mark.parametrize('case, profile', [(c, '5.66') for c in TIMINGS] + [
    (c, p) for p in ('5.82', '5.87') for c in TIMINGS if c not in SAME_ON_ALL_RELEASES])
def test_serial_number_whatever_the_timing_of_bluez(bluez, bus, run_tool, case):
    TIMINGS[case](bluez)
    tool, records = identify(run_tool, bus.address)
    assert records == [success('0123456789ABCDEF')]
    assert link_calls(bluez, tool) == ['Connect', 'ReadValue', 'Disconnect']


@pytest.mark.parametrize('resolved', [True, False], ids=['resolved', 'resolving'])
def test_link_of_another_program_is_used_and_left_up(bluez, bus, run_tool, resolved):
    path = peripheral(bluez, gatt_with_serial(b'0123456789abcdef'), connected=True)
    if not resolved:
        bluez.set_properties(path, DEVICE, emit=False, ServicesResolved=False)
    tool = run_tool(['--identity', ID], bus.address)
    if not resolved:
        bluez.wait_for_call('GetManagedObjects', pid=tool.pid)
        bluez.set_properties(path, DEVICE, ServicesResolved=True)
    status, records = tool.finish()
    assert (status, records) == (0, [success('0123456789ABCDEF')])
    # Disconnect would drop the link for every program that uses it.
    assert 'Disconnect' not in link_calls(bluez, tool)
    assert bluez.get_property(path, DEVICE, 'Connected')


# ---------------------------------------------------------------------------
# The value and the GATT layout
# ---------------------------------------------------------------------------

@pytest.mark.parametrize('value, code', [
    (b'0123456789ABCDE', 'identity-invalid-serial'),
    (b'0123456789ABCDEF0', 'identity-invalid-serial'),
    (b'0123456789ABCDEF\x00\x00', 'identity-invalid-serial'),
    (b'0123-4567-89AB-C', 'identity-invalid-serial'),
    (b'', 'identity-invalid-serial'),
    (b' \r\n', 'identity-invalid-serial'),
    (b'A' * 600, 'identity-invalid-serial'),
    (b'\xc3\xa9123456789ABCDE', 'identity-read-failed'),
    (b'0123456789ABCDE\xff', 'identity-read-failed'),
], ids=['15-digits', '17-digits', 'nul-padded', 'hyphens', 'empty', 'white-space-only',
        '600-bytes', 'utf-8', 'byte-ff'])
def test_unusable_value_is_reported_and_the_link_released(bluez, bus, run_tool, value, code):
    peripheral(bluez, gatt_with_serial(value))
    tool, records = identify(run_tool, bus.address)
    assert records == [error(code)]
    assert link_calls(bluez, tool) == ['Connect', 'ReadValue', 'Disconnect']


def serial_only_on_other_device(sim):
    peripheral(sim, [('1800', [('2a00', {'Value': b'Probe'})])])
    peripheral(sim, gatt_with_serial(b'0123456789ABCDEF'), address=OTHER)


def layout(services):
    return lambda sim: peripheral(sim, services)


def read_error(name, message):
    return layout([('180a', [('2a25', {'ReadBehaviour': 'error', 'ReadError': name,
                                       'ReadErrorMessage': message})])])


GATT_CASES = {
    'no-services': (layout([]), 'identity-service-unavailable', False),
    'no-device-information': (
        layout([('1800', [('2a00', {'Value': b'Probe'})]), ('1801', []),
                ('180f', [('2a19', {'Value': b'\x64'})])]),
        'identity-service-unavailable', False),
    'device-information-only-on-another-device': (
        serial_only_on_other_device, 'identity-service-unavailable', False),
    'no-serial-characteristic': (
        layout([('180a', [('2a29', {'Value': b'Example'}), ('2a24', {'Value': b'M1'})])]),
        'identity-serial-unavailable', False),
    'serial-under-another-service': (
        layout([('180f', [('2a25', {'Value': b'0123456789ABCDEF'})]),
                ('180a', [('2a29', {'Value': b'Example'})])]),
        'identity-serial-unavailable', False),
    'read-failed': (read_error('org.bluez.Error.Failed', 'Operation failed with ATT error: 0x0e'),
                    'identity-read-failed', True),
    'read-not-permitted': (read_error('org.bluez.Error.NotPermitted', 'Read not permitted'),
                           'identity-read-failed', True),
    'read-not-authorized': (read_error('org.bluez.Error.NotAuthorized', 'Operation Not Authorized'),
                            'identity-read-failed', True),
}


@pytest.mark.parametrize('case', GATT_CASES)
def test_gatt_problem_is_reported_and_the_link_released(bluez, bus, run_tool, case):
    setup, code, reads = GATT_CASES[case]
    setup(bluez)
    tool, records = identify(run_tool, bus.address)
    assert records == [error(code)]
    assert link_calls(bluez, tool) == (['Connect', 'ReadValue', 'Disconnect'] if reads
                                       else ['Connect', 'Disconnect'])
    if reads:
        # The failed read is held for the adapter's fate.
        read = bluez.calls('ReadValue', pid=tool.pid)[0]['time']
        assert_between('line after the failed read', tool.line_times[0] - read,
                       *promises.AFTER_HALF_SECOND_WAIT)


# ---------------------------------------------------------------------------
# Finding and connecting the peripheral
# ---------------------------------------------------------------------------

def device_on_second_adapter(sim):
    sim.add_adapter('hci1', Powered=True)
    path = sim.add_device(ADDRESS, adapter='/org/bluez/hci1')
    add_gatt(sim, path, gatt_with_serial(b'0123456789ABCDEF'))


@pytest.mark.parametrize('setup, identifier, searched', [
    (lambda sim: peripheral(sim, gatt_with_serial(b'0123456789ABCDEF'), address=OTHER), ID, True),
    # No address has these forms: nothing to look for.
    (lambda sim: peripheral(sim, gatt_with_serial(b'0123456789ABCDEF')),
     '12345678-0000-0000-0000-D00000000001', False),
    (lambda sim: peripheral(sim, gatt_with_serial(b'0123456789ABCDEF')),
     '00000000-0000-0000-0001-D00000000001', False),
    (device_on_second_adapter, ID, True),
], ids=['unknown-address', 'other-leading-digits', 'other-middle-group', 'other-adapter'])
def test_unknown_identifier_is_not_connected(bluez, bus, run_tool, setup, identifier, searched):
    setup(bluez)
    tool = run_tool(['--identity', identifier], bus.address)
    status, records = tool.finish()
    assert (status, records) == (0, [error('identity-device-not-found')])
    assert link_calls(bluez, tool) == []
    # A search that found nothing is stopped before the run ends.
    if searched:
        bluez.wait_for_call('SetDiscoveryFilter', pid=tool.pid, count=2)
        # After the whole 25 s search, and not much later.
        assert_between('not found after', tool.line_times[0] - tool.started, *promises.NOT_FOUND_LINE)
    assert discovery_calls(bluez, tool) == (SEARCH if searched else [])


def forgotten_peripheral(sim):
    """Seen by an earlier scan, then dropped by BlueZ (TemporaryTimeout):
    still in range and advertising, but no longer listed."""
    path = peripheral(sim, gatt_with_serial(b'0123456789abcdef'))
    sim.forget_device(path)
    return path


def test_forgotten_peripheral_is_found_again_and_read(bluez, bus, run_tool):
    forgotten_peripheral(bluez)
    tool, records = identify(run_tool, bus.address)
    assert records == [success('0123456789ABCDEF')]
    # The search is over before the connection starts.
    members = [c['member'] for c in bluez.calls(pid=tool.pid)
               if c['interface'] in (ADAPTER, DEVICE, GATT_CHARACTERISTIC)]
    assert members == [m for m, _ in SEARCH] + ['Connect', 'ReadValue', 'Disconnect']


# The kernel ends a discovery round after 10.24 s; bluetoothd starts the next
# one at once for a filtered discovery and after a 5 s pause for a plain one,
# and the controller reports an advertiser once per round.  A report lost at
# the start of the search (6.12 kernels) comes back within the search only if
# its discovery is filtered: the round is shortened here and the pause made
# longer than the search minus one round, so that the search comes out as
# with the real timings, found in about a second or not found at all.
# Transport=le on a dual-mode controller is a filtered discovery anyway.  A
# peripheral at the slowest legacy interval whose advertisement in the search
# is lost in the air (any release) is heard at its next one, 10.24 s later,
# past 15 s into the search, before 25 s (real round timings).
LOST_FIRST_REPORT = {'RoundTime': 1.0, 'RoundPause': 30.0}
SLOWEST_LEGACY = {'Interval': 10.24, 'Phase': 8.0, 'Lose': [1]}
# profile, controller, timing, the peripheral's own radio
LOSSES: Dict[str, Tuple[str, str, Dict[str, float], Optional[Dict[str, Any]]]] = {
    'first-report-lost': ('5.82', 'le', LOST_FIRST_REPORT, None),
    'le-transport-on-dual-mode-is-filtered': ('5.82', 'dual', LOST_FIRST_REPORT, None),
    **{'slowest-interval-one-lost-' + p: (p, 'le', {}, SLOWEST_LEGACY) for p in sorted(PROFILES)},
}


@pytest.mark.parametrize('case', LOSSES)
def test_forgotten_peripheral_is_found_though_a_report_is_lost(bus, make_sim, run_tool, case):
    profile, controller, timing, radio = LOSSES[case]
    sim = make_sim(bus, profile=profile)
    sim.add_adapter('hci0', Controller=controller)
    sim.set_timing(timing)
    forgotten_peripheral(sim)
    if radio:
        sim.add_peripheral_in_range(ADDRESS, props=radio)
    tool, records = identify(run_tool, bus.address)
    assert records == [success('0123456789ABCDEF')]
    reports = [(r['round'], r['lost'], r.get('advertisement')) for r in sim.get_discovery_log()['reports']]
    if radio:
        assert reports[0][2] == 2
    else:
        assert reports[:2] == [(1, True, None), (2, False, None)]


def sigterm(sim, bus, tool):
    tool.terminate()


SEARCH_INTERRUPTED = {
    'sigterm': (sigterm, 'identity-cancelled', SEARCH),
    'powered-off': (lambda sim, bus, tool: sim.set_powered(HCI0, False), 'adapter-unavailable',
                    SEARCH[:2]),
    'bluetoothd-gone': (lambda sim, bus, tool: sim.release_bluez_name(), 'adapter-unavailable',
                        SEARCH[:2]),
    'start-refused': (None, 'adapter-unavailable', SEARCH[:2]),
}


@pytest.mark.parametrize('case', SEARCH_INTERRUPTED)
def test_search_that_does_not_end_by_itself(bluez, bus, run_tool, case):
    action, code, calls = SEARCH_INTERRUPTED[case]
    if action is None:
        bluez.fail_adapter_method(HCI0, 'StartDiscovery', 'org.bluez.Error.NotReady')
    tool = run_tool(['--identity', ID], bus.address)
    bluez.wait_for_call('StartDiscovery', pid=tool.pid)
    if action:
        action(bluez, bus, tool)
    status, records = tool.finish()
    assert (status, records) == (0, [error(code)])
    # No link to release: the line comes at once, and the exit once the
    # discovery is stopped.
    if action is sigterm:
        assert_between('line after SIGTERM', tool.line_times[0] - tool.terminated, *promises.CANCELLED_LINE)
    assert_between('exit after the line', tool.exited - tool.line_times[0],
                   *exit_bound(promises.EXIT_AFTER_LINE))
    if len(calls) > 2:
        # Sent on the way out: the simulation may log it after the exit.
        bluez.wait_for_call('SetDiscoveryFilter', pid=tool.pid, count=2)
    assert discovery_calls(bluez, tool) == calls


@ALL_RELEASES
@pytest.mark.parametrize('name, message', [
    ('org.bluez.Error.Failed', 'le-connection-abort-by-local'),
    ('org.bluez.Error.Failed', 'Software caused connection abort'),
    ('org.bluez.Error.NotAvailable', 'Operation currently not available'),
])
def test_failed_connect_is_reported(bluez, bus, run_tool, name, message):
    peripheral(bluez, gatt_with_serial(b'0123456789ABCDEF'), ConnectBehaviour='error',
               ConnectError=name, ConnectErrorMessage=message)
    tool, records = identify(run_tool, bus.address)
    assert records == [error('identity-connect-failed')]
    calls = link_calls(bluez, tool)
    assert calls.count('Connect') == 1 and 'ReadValue' not in calls
    # Answered 0.05 s after the call, and held for the adapter's fate.
    connect = bluez.calls('Connect', pid=tool.pid)[0]['time']
    assert_between('line after the failed Connect', tool.line_times[0] - connect,
                   *promises.AFTER_HALF_SECOND_WAIT)


# Each ends the link and answers when: the time before the call that ends
# it, since the tool may act on the signal before its reply reaches us.
def lose_link_before_services_resolved(sim, tool, path):
    # Once Connect is answered: from 5.82 on, Connected=true comes before.
    sim.wait_link_usable(path)
    ended = time.monotonic()
    sim.drop_link(path)
    return ended


def remove_device_during_read(sim, tool, path):
    sim.wait_for_call('ReadValue', pid=tool.pid)
    ended = time.monotonic()
    sim.remove_object(path)
    return ended


def lose_link_during_read(sim, tool, path):
    sim.wait_for_call('ReadValue', pid=tool.pid)
    ended = time.monotonic()
    sim.drop_link(path)
    return ended


DISCONNECTIONS = {
    'before-services-resolved': ({'ResolveDelay': -1.0}, 'value',
                                 lose_link_before_services_resolved),
    'during-read': ({}, 'hang', lose_link_during_read),
    'read-answered-after-link-loss': ({}, 'disconnect', None),
    'device-removed-during-read': ({}, 'hang', remove_device_during_read),
}


@ALL_RELEASES
@pytest.mark.parametrize('case', DISCONNECTIONS)
def test_disconnection_before_a_result(bluez, bus, run_tool, case):
    behaviour, read, action = DISCONNECTIONS[case]
    path = peripheral(bluez, [('180a', [('2a25', {'Value': b'0123456789ABCDEF', 'ReadBehaviour': read})])],
                      **behaviour)
    tool = run_tool(['--identity', ID], bus.address)
    if action:
        ended = action(bluez, tool, path)
    else:
        ended = bluez.wait_for_call('ReadValue', pid=tool.pid)[0]['time']
    status, records = tool.finish()
    assert (status, records) == (0, [error('identity-disconnected')])
    # The link's end is held for the adapter's fate.
    assert_between('line after the link ended', tool.line_times[0] - ended, *promises.AFTER_HALF_SECOND_WAIT)


def forged_link_loss(path, bluez_name):
    return [(path, PROPERTIES, 'PropertiesChanged', 'sa{sv}as',
             (DEVICE, dbus.Dictionary({'ServicesResolved': dbus.Boolean(False),
                                       'Connected': dbus.Boolean(False)}, signature='sv'),
              dbus.Array([], signature='s')))]


def forged_resolution(path, bluez_name):
    # Taken for true, it would send the tool looking for services that
    # BlueZ has not exported yet.
    return [(path, PROPERTIES, 'PropertiesChanged', 'sa{sv}as',
             (DEVICE, dbus.Dictionary({'ServicesResolved': dbus.Boolean(True)}, signature='sv'),
              dbus.Array([], signature='s')))]


def forged_removal(path, bluez_name):
    return [('/', OBJECT_MANAGER, 'InterfacesRemoved', 'oas',
             (dbus.ObjectPath(path), dbus.Array([DEVICE], signature='s')))]


FORGED = {
    'link-lost': forged_link_loss,
    'services-resolved': forged_resolution,
    'device-removed': forged_removal,
    'bluez-name-lost': lambda path, bluez_name: forged_bluez_exit(bluez_name),
}


@pytest.mark.parametrize('delivery', ['broadcast', 'unicast'])
@pytest.mark.parametrize('case', FORGED)
def test_signals_from_other_connections_are_ignored(bluez, bus, run_tool, case, delivery):
    path = peripheral(bluez, gatt_with_serial(b'0123456789ABCDEF'), GattOnConnect=True,
                      ResolveDelay=0.5)
    tool = run_tool(['--identity', ID], bus.address)
    bluez.wait_property(path, DEVICE, 'Connected', True)
    tool_name = bluez.calls('Connect', pid=tool.pid)[0]['sender']
    forge(bus.address, FORGED[case](path, bluez.get_bluez_unique_name()),
          destination=tool_name if delivery == 'unicast' else None)
    status, records = tool.finish()
    assert (status, records) == (0, [success('0123456789ABCDEF')])
    assert link_calls(bluez, tool) == ['Connect', 'ReadValue', 'Disconnect']


# ---------------------------------------------------------------------------
# Runs in a row, and the adapter going away
# ---------------------------------------------------------------------------

@pytest.mark.parametrize('gap', [0.0, 0.6, 1.3])
def test_back_to_back_runs_on_one_peripheral(bluez, bus, run_tool, gap):
    # bluetoothd is slow to drop a link after Disconnect (slow-disconnect in
    # doc/bluez-behaviour.md); a run that found the link still up would take
    # it for another program's and lose its read.
    path = peripheral(bluez, gatt_with_serial(b'0123456789ABCDEF'), DisconnectDelay=2.0)
    for _ in range(2):
        tool, records = identify(run_tool, bus.address)
        assert records == [success('0123456789ABCDEF')]
        assert not bluez.get_property(path, DEVICE, 'Connected'), 'exited on a dying link'
        time.sleep(gap)


@pytest.mark.parametrize('sigterm', [False, True], ids=['never-confirmed', 'sigterm-while-waiting'])
def test_waiting_for_the_link_to_drop_is_bounded(bluez, bus, run_tool, sigterm):
    peripheral(bluez, gatt_with_serial(b'0123456789ABCDEF'), DisconnectDelay=-1.0)
    tool = run_tool(['--identity', ID], bus.address)
    tool.wait_lines(1)
    if sigterm:
        tool.terminate()
    status, records = tool.finish()
    assert (status, records) == (0, [success('0123456789ABCDEF')])
    # No disconnection comes: the deferred report writes the line 1 s after
    # Disconnect, then the process waits 3 s for the link, or until SIGTERM.
    disconnect = bluez.calls('Disconnect', pid=tool.pid)[0]['time']
    assert_between('line after Disconnect', tool.line_times[0] - disconnect, *promises.LINE_AFTER_DISCONNECT)
    if sigterm:
        assert_between('exit after SIGTERM', tool.exited - tool.terminated,
                       *exit_bound(promises.EXIT_AFTER_SIGTERM))
    else:
        assert_between('exit after the line', tool.exited - tool.line_times[0],
                       *exit_bound(promises.EXIT_AFTER_LINK_WAIT))


def hang_read(sim, tool, path):
    sim.wait_for_call('ReadValue', pid=tool.pid)


def hang_connect(sim, tool, path):
    sim.wait_for_call('Connect', pid=tool.pid)


ADAPTER_GONE = {
    'powered-off-while-connected': (hang_read, lambda sim: sim.set_powered(HCI0, False)),
    'powered-off-while-connecting': (hang_connect, lambda sim: sim.set_powered(HCI0, False)),
    'powered-off-slowly': (hang_read, lambda sim: (sim.set_timing(PowerOffDelay=0.25),
                                                   sim.set_powered(HCI0, False))),
    'adapter-removed': (hang_read, lambda sim: sim.remove_object(HCI0)),
    'bluetoothd-stopped': (hang_read, lambda sim: sim.shutdown()),
}


@ALL_RELEASES
@pytest.mark.parametrize('case', ADAPTER_GONE)
def test_adapter_going_away_is_told_from_a_lost_link(bluez, bus, run_tool, case):
    # bluetoothd signals the link's end (and fails the pending call) before
    # it signals that the adapter is off or gone.
    wait, action = ADAPTER_GONE[case]
    path = peripheral(bluez, [('180a', [('2a25', {'Value': b'0123456789ABCDEF', 'ReadBehaviour': 'hang'})])],
                      ConnectBehaviour='hang' if wait is hang_connect else 'ok')
    tool = run_tool(['--identity', ID], bus.address)
    wait(bluez, tool, path)
    action(bluez)
    status, records = tool.finish()
    assert (status, records) == (0, [error('adapter-unavailable')])


# ---------------------------------------------------------------------------
# SIGTERM
# ---------------------------------------------------------------------------

@ALL_RELEASES
def test_sigterm_while_connecting_cancels_the_attempt(bluez, bus, run_tool):
    peripheral(bluez, gatt_with_serial(b'0123456789ABCDEF'), ConnectBehaviour='hang')
    tool = run_tool(['--identity', ID], bus.address)
    bluez.wait_for_call('Connect', pid=tool.pid)
    tool.terminate()
    status, records = tool.finish()
    assert (status, records) == (0, [error('identity-cancelled')])
    # The attempt is released first: the line follows within the deferred
    # report's 1 s.
    assert_between('line after SIGTERM', tool.line_times[0] - tool.terminated,
                   *promises.CANCELLED_LINE_RELEASING)
    # Disconnect is how BlueZ abandons a pending Connect.
    assert link_calls(bluez, tool) == ['Connect', 'Disconnect']


def test_sigterm_after_the_result_changes_nothing(bluez, bus, run_tool):
    peripheral(bluez, gatt_with_serial(b'0123456789ABCDEF'), DisconnectDelay=-1.0)
    tool = run_tool(['--identity', ID], bus.address)
    bluez.wait_for_call('Disconnect', pid=tool.pid)
    tool.terminate()
    status, records = tool.finish()
    assert (status, records) == (0, [success('0123456789ABCDEF')])


# ---------------------------------------------------------------------------
# BlueZ and the adapter
# ---------------------------------------------------------------------------

def adapter_with_peripheral(powered=True, policy=''):
    def setup(make_bus, make_sim):
        bus = make_bus(policy)
        sim = make_sim(bus)
        sim.add_adapter('hci0', Powered=powered)
        peripheral(sim, gatt_with_serial(b'0123456789ABCDEF'))
        return bus.address
    return setup


@pytest.mark.parametrize('setup, code', [
    (no_bluez, 'adapter-unavailable'),
    (unreachable_bus, 'adapter-unavailable'),
    (bluez_without_adapter, 'adapter-unavailable'),
    (adapter_with_peripheral(powered=False), 'adapter-unavailable'),
    (adapter_with_peripheral(policy=DENY_BLUEZ), 'permission-denied'),
], ids=['no-bluez', 'bus-unreachable', 'no-adapter', 'powered-off', 'bus-denies-org.bluez'])
def test_adapter_problem_is_one_error_record(make_bus, make_sim, run_tool, setup, code):
    address = setup(make_bus, make_sim)
    status, records = run_tool(['--identity', ID], address).finish()
    assert (status, records) == (0, [error(code)])


@pytest.mark.parametrize('profile', ['5.55', '5.82'])
def test_serial_number_of_a_peripheral_with_bluetoothds_own_device_information(
        bus, make_sim, run_tool, profile):
    """A peripheral that runs bluetoothd 5.55 shows its own Device
    Information service (PnP ID only) before the application's, which holds
    the serial number, whatever the central's release (doc/bluez-behaviour.md,
    own-device-information)."""
    make_sim(bus, {'adapters': [{'index': 0}],
                   'peripherals': [{'address': ADDRESS, 'knownFromStart': True,
                                    'gatt': {'serialNumber': '0123456789abcdef',
                                             'bluetoothdDeviceInformation': True}}]}, profile)
    _, records = identify(run_tool, bus.address)
    assert records == [success('0123456789ABCDEF')]
