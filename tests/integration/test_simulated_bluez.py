"""The simulated bluetoothd against what the real releases were seen to do.

The tool's own tests are only as good as the simulation's likeness: each
order a release shows is checked here from a plain D-Bus client, so that the
simulation cannot quietly lose it."""

import os
import subprocess
import time
from typing import Any, List, Tuple

import dbus
import pytest

from bleprobe_sim.client import SimClient
from bleprobe_sim.dbus_values import properties
from bleprobe_sim.names import (ADAPTER, BEARER_LE, CONTROL_ERROR, DEVICE, GATT_CHARACTERISTIC,
                                OBJECT_MANAGER, uuid16)
from bleprobe_sim.waiting import read_address, stop_process
from harness import PYTHON, SIM_DIR, TIMEOUT, Watcher
from simulation_cases import ADDRESS, DEV, HCI0, ON_BUS, REFUSALS, ROUNDS, START


@pytest.fixture
def watcher(bus):
    watcher = Watcher(bus.address)
    yield watcher
    watcher.close()


def link_events(events):
    """Answers, Device1.Disconnected and the link's properties, in order."""
    result = []
    for event in events:
        if event[0] in ('reply', 'error'):
            result.append(event[:2])
        elif event[2] == 'Disconnected':
            result.append(('Disconnected', event[3][0]))
        elif event[2] == 'PropertiesChanged' and event[3][0] in (DEVICE, BEARER_LE):
            changed = {k: v for k, v in event[3][1].items()
                       if k in ('Connected', 'ServicesResolved')}
            if changed:
                result.append((event[3][0].split('.')[-1], changed))
    return result


def add_peripheral(sim, **behaviour):
    """A peripheral with a serial number; returns it and the characteristic."""
    behaviour.setdefault('ResolveDelay', 0.05)
    behaviour.setdefault('DisconnectDelay', 0.05)
    path = sim.add_device(ADDRESS)
    sim.configure_device(path, behaviour)
    service = sim.add_service(path, uuid16('180a'))
    return path, sim.add_characteristic(service, uuid16('2a25'), Value=b'0123456789ABCDEF')


# (interface or kind, what it carries), as the tool's bus sees them in turn
Signal = Tuple[str, Any]
UP_66: List[Signal] = [('reply', 'Connect'), ('Device1', {'ServicesResolved': True})]
UP_82: List[Signal] = [('Device1', {'Connected': True})] + UP_66
UP_87: List[Signal] = [('Device1', {'Connected': True}), ('LE1', {'Connected': True})] + UP_66
BOTH_DOWN = ('Device1', {'ServicesResolved': False, 'Connected': False})

LINK_ORDERS = {
    ('5.66', 'disconnect'): UP_66 + [('reply', 'Disconnect'),
                                     ('Device1', {'ServicesResolved': False}),
                                     ('Device1', {'Connected': False})],
    ('5.82', 'disconnect'): UP_82 + [('reply', 'Disconnect'), BOTH_DOWN],
    ('5.87', 'disconnect'): UP_87 + [('reply', 'Disconnect'), ('LE1', {'Connected': False}),
                                     ('Disconnected', 'org.bluez.Reason.Local'), BOTH_DOWN],
    ('5.66', 'link-lost'): UP_66 + [('Device1', {'ServicesResolved': False}),
                                    ('Device1', {'Connected': False})],
    ('5.82', 'link-lost'): UP_82 + [BOTH_DOWN],
    ('5.87', 'link-lost'): UP_87 + [('LE1', {'Connected': False}),
                                    ('Disconnected', 'org.bluez.Reason.Timeout'), BOTH_DOWN],
    # Connected=true is taken back when the attempt fails after it.
    ('5.66', 'connect-failed'): [('error', 'Connect')],
    ('5.82', 'connect-failed'): [('Device1', {'Connected': True}), ('error', 'Connect'),
                                 BOTH_DOWN],
    ('5.87', 'connect-failed'): [('Device1', {'Connected': True}), ('error', 'Connect'),
                                 ('Disconnected', 'org.bluez.Reason.Local'), BOTH_DOWN],
}


@pytest.mark.parametrize('profile, ending', LINK_ORDERS, ids=['-'.join(k) for k in LINK_ORDERS])
def test_link_signals_come_in_the_release_order(sim, watcher, profile, ending):
    sim.add_adapter('hci0')
    failing = ending == 'connect-failed'
    path, _ = add_peripheral(sim, ConnectBehaviour='error' if failing else 'ok')
    expected = LINK_ORDERS[profile, ending]
    watcher.call(path, DEVICE, 'Connect')
    if not failing:
        watcher.wait(lambda e: ('Device1', {'ServicesResolved': True}) in link_events(e))
        if ending == 'disconnect':
            watcher.call(path, DEVICE, 'Disconnect')
        else:
            sim.drop_link(path)
    watcher.wait(lambda e: len(link_events(e)) >= len(expected))
    assert link_events(watcher.events) == expected


@pytest.mark.parametrize('profile', ['5.66', '5.82', '5.87'])
def test_read_fails_until_connect_is_answered(sim, watcher, profile):
    # 5.82 says Connected=true at once; the link still carries nothing.
    sim.add_adapter('hci0')
    path, characteristic = add_peripheral(sim, ConnectBehaviour='hang')
    watcher.call(path, DEVICE, 'Connect')
    sim.wait_for_call('Connect')
    sim.wait_property(path, DEVICE, 'Connected', profile != '5.66')
    watcher.call(characteristic, GATT_CHARACTERISTIC, 'ReadValue', 'a{sv}',
                 dbus.Dictionary({}, signature='sv'))
    watcher.wait(lambda e: any(x[0] in ('reply', 'error') and x[1] == 'ReadValue' for x in e))
    assert ('error', 'ReadValue', 'org.bluez.Error.Failed') in watcher.events


@pytest.mark.parametrize('profile, bearer', [('5.66', False), ('5.82', False), ('5.87', True)])
def test_devices_carry_the_le_bearer_from_5_87(sim, watcher, profile, bearer):
    sim.add_adapter('hci0')
    sim.add_device(ADDRESS)

    def announced(events):
        return [args[1] for args in signals(events, 'InterfacesAdded', '/') if args[0] == DEV]
    watcher.wait(announced)
    listed = watcher.bus.call_blocking('org.bluez', '/', OBJECT_MANAGER, 'GetManagedObjects',
                                       '', ())
    for interfaces in (announced(watcher.events)[0], listed[DEV]):
        assert (BEARER_LE in interfaces) == bearer
        assert DEVICE in interfaces
        if bearer:
            assert interfaces[BEARER_LE]['Adapter'] == HCI0
            assert not interfaces[BEARER_LE]['Connected']


@pytest.mark.parametrize('profile, services, serial', [
    ('5.66', ['service0001', 'service0004', 'service0005'], 'service0005/char0008'),
    ('5.82', ['service0001', 'service000a', 'service0010'], 'service0010/char0013'),
    ('5.87', ['service0001', 'service000a', 'service0010'], 'service0010/char0013'),
])
def test_service_paths_follow_the_handles(sim, profile, services, serial):
    sim.add_adapter('hci0')
    path = sim.add_device(ADDRESS)
    gap = sim.add_service(path, uuid16('1800'))
    sim.add_characteristic(gap, uuid16('2a00'), Value=b'Probe')
    sim.add_service(path, uuid16('1801'))
    dis = sim.add_service(path, uuid16('180a'))
    sim.add_characteristic(dis, uuid16('2a29'), Value=b'Example')
    last = sim.add_characteristic(dis, uuid16('2a25'), Value=b'0123456789ABCDEF')
    listed = sorted(p[len(path) + 1:] for p in sim.bus.call_blocking(
        'org.bluez', '/', OBJECT_MANAGER, 'GetManagedObjects', '', ())
        if p.startswith(path + '/') and '/char' not in p)
    assert listed == services
    assert last == path + '/' + serial


# The rules, case by case and to the millisecond, are tests/sim/test_model.py's;
# these cases prove them as a client sees them, with a filter in D-Bus types.
ON_THE_BUS = ['5.66-le-plain', '5.82-le-no-filter', '5.82-le-rssi', '5.82-le-lossy-radio']
RESTART = 0.1


def signals(events, member, path):
    """The arguments of each `member` signal from `path`."""
    return [e[3] for e in events if len(e) == 4 and e[2] == member and e[0] == path]


@pytest.mark.parametrize('case', ON_THE_BUS)
def test_discovery_runs_in_rounds(bus, make_sim, watcher, case):
    profile, controller, filt, radio, lost, paused, heard = ROUNDS[case]
    sim = make_sim(bus, profile=profile)
    sim.add_adapter('hci0', Controller=controller)
    sim.set_timing(RoundTime=0.3, RoundPause=0.3, AppearDelay=0.05, RoundRestart=RESTART)
    assert sim.add_peripheral_in_range(ADDRESS, props=radio or {}) == DEV
    if filt is not None:
        watcher.call(HCI0, ADAPTER, 'SetDiscoveryFilter', 'a{sv}', properties(filt))
    watcher.call(HCI0, ADAPTER, 'StartDiscovery')
    log = sim.wait_reports(3)
    # One report per round: the duplicate filter is reset by each new round.
    assert [(r['round'], r['lost']) for r in log['reports'][:3]] == [(1, lost), (2, False),
                                                                     (3, False)]
    assert [r['afterPause'] for r in log['rounds'][:3]] == [False, paused, paused]
    # Each restart takes its time (the timers only ever run late).
    starts = [r['time'] for r in log['rounds'][:3]]
    gap = 0.3 + RESTART + (0.3 if paused else 0)
    assert all(b - a >= gap - 0.005 for a, b in zip(starts, starts[1:]))
    if heard:
        assert log['reports'][0]['advertisement'] >= heard
    watcher.wait(lambda e: signals(e, 'PropertiesChanged', DEV))
    # The device appears with the first report that gets through; later
    # rounds report it again.  Discovering stays true across rounds.
    added = [args for args in signals(watcher.events, 'InterfacesAdded', '/') if args[0] == DEV]
    again = signals(watcher.events, 'PropertiesChanged', DEV)
    assert len(added) == 1 and 'RSSI' in again[0][1]
    discovering = [args[1]['Discovering'] for args in
                   signals(watcher.events, 'PropertiesChanged', HCI0) if 'Discovering' in args[1]]
    assert discovering == [True]


# The control interface says no with its own errors, never a Python one,
# and stays up: some of these calls once answered a KeyError, some
# succeeded silently.
def test_the_control_interface_refuses_with_its_own_errors(sim):
    for method, args in START:
        sim.call(method, *args)
    with pytest.raises(dbus.DBusException) as short:
        sim.ctl.AddAdapter('hci3')
    answers = [('AddAdapter', short.value.get_dbus_name())]
    for method, args, _ in REFUSALS + ON_BUS:
        try:
            sim.call(method, *args)
            answers.append((method, 'success'))
        except dbus.DBusException as e:
            assert 'Traceback' not in e.get_dbus_message(), e.get_dbus_message()
            answers.append((method, e.get_dbus_name()))
    assert answers == [('AddAdapter', CONTROL_ERROR + 'InvalidArguments')] + [
        (method, CONTROL_ERROR + error.__name__) for method, _, error in REFUSALS + ON_BUS]
    assert sim.process.poll() is None
    assert sim.add_device('D0:00:00:00:00:02') == HCI0 + '/dev_D0_00_00_00_00_02'


# A fault inside the simulation, planted here, in a timer or in a method
# of org.bluez: the simulated bluetoothd ends at once, with one line.
PLANTED = {
    'timer': ('from bleprobe_sim.model.device import Device as M; M.link_up', 'Connect', DEV),
    'method': ('from bleprobe_sim.model.adapter import Adapter as M; M.start_discovery',
               'StartDiscovery', HCI0),
}


@pytest.mark.parametrize('where', PLANTED)
def test_a_fault_ends_the_simulation_with_one_line_and_status_70(bus, watcher, tmp_path, where):
    target, member, path = PLANTED[where]
    plant = ('import sys; %s = lambda *a: 1 / 0; from bleprobe_sim.cli import main; '
             'sys.exit(main())' % target)
    scenario = tmp_path / 'empty.json'
    scenario.write_text('{}')
    process = subprocess.Popen([PYTHON, '-c', plant, 'serve', '--bus', bus.address, str(scenario)],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               env=dict(os.environ, PYTHONPATH=SIM_DIR))
    try:
        assert read_address(process, 'bleprobe-sim serve', TIMEOUT) == bus.address
        client = SimClient(bus.address)
        client.add_adapter('hci0')
        client.add_device(ADDRESS)
        client.close()
        watcher.call(path, DEVICE if member == 'Connect' else ADAPTER, member)
        asked = time.monotonic()
        status = process.wait(TIMEOUT)
        took = time.monotonic() - asked
        stderr = process.stderr.read().decode()
    finally:
        stop_process(process)
    assert status == 70
    assert stderr == 'bleprobe-sim: internal fault: ZeroDivisionError: division by zero\n'
    # Connect's link comes up, and fails, ConnectDelay (0.05 s) after the call.
    assert (0.04 if member == 'Connect' else 0.0) <= took < 2.0


@pytest.mark.parametrize('profile', ['5.66', '5.82', '5.87'])
def test_the_end_of_discovery_is_signalled_twice(bluez, watcher, profile):
    watcher.call(HCI0, ADAPTER, 'StartDiscovery')
    watcher.wait(lambda e: ('reply', 'StartDiscovery') in e)
    watcher.call(HCI0, ADAPTER, 'StopDiscovery')
    # Both come before the answer, on the same connection.
    watcher.wait(lambda e: ('reply', 'StopDiscovery') in e)
    assert [args[1]['Discovering'] for args in signals(watcher.events, 'PropertiesChanged', HCI0)
            if 'Discovering' in args[1]] == [True, False, False]
