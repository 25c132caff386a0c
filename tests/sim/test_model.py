"""The simulation's rules on a fake clock, in milliseconds: discovery rounds
and their pauses, the first report lost from 5.82, loss in the air, the
temporary device's timer and how a connection ends.  No bus, no sleep:
what a client would see is what the view is told, at the time it is told."""

from typing import List

import pytest

from bleprobe_sim.clock import FakeClock
from bleprobe_sim.control import ControlError, Controller, NotSupported
from bleprobe_sim.interface import METHODS
from bleprobe_sim.model import World
from bleprobe_sim.names import DEVICE, uuid16
from simulation_cases import (ADDRESS, ADVERTISEMENTS, DELIVERY, DEV, GOOD, HCI0, NAN, ON_BUS, REFUSALS,
                              ROUNDS, START, Refusal)

CLIENT = ':1.7'


class RecordingView:
    """What a client would see, each with the millisecond it happened at."""

    def __init__(self, clock):
        self.clock = clock
        self.events = []

    def record(self, *event):
        self.events.append((self.clock.ms,) + event)

    def added(self, obj, announce):
        self.record('added', obj.path)

    def announced(self, obj):
        self.record('announced', obj.path)

    def removed(self, obj):
        self.record('removed', obj.path)

    def changed(self, obj, iface, changed):
        self.record('changed', obj.path, iface.split('.')[-1], changed)

    def signalled(self, obj, iface, member, args):
        self.record(member, obj.path, args[0])

    def times(self, kind, path=DEV):
        return [e[0] for e in self.events if e[1] == kind and e[2] == path]


def model(profile='5.66', controller='le', adapter=None, **timing):
    clock = FakeClock()
    view = RecordingView(clock)
    world = World(clock, profile, view)
    ctl = Controller(world)
    ctl.AddAdapter('hci0', dict(adapter or {}, Controller=controller))
    ctl.SetTiming(timing)
    return clock, view, world, ctl


@pytest.mark.parametrize('case', ROUNDS)
def test_discovery_runs_in_rounds(case):
    profile, controller, filt, radio, lost, paused, heard = ROUNDS[case]
    clock, view, world, ctl = model(profile, controller, RoundTime=0.3, RoundPause=0.3,
                                    AppearDelay=0.05, RoundRestart=0.1)
    ctl.AddPeripheralInRange(HCI0, ADDRESS, radio or {})
    adapter = world.adapter(HCI0)
    if filt is not None:
        adapter.set_discovery_filter(CLIENT, filt)
    adapter.start_discovery(CLIENT)
    clock.advance(3000)
    radio_log = adapter.radio
    # One report per round: the duplicate filter is reset by each new round.
    assert [(r['round'], r['lost']) for r in radio_log.reports[:3]] == [(1, lost), (2, False),
                                                                        (3, False)]
    assert [r['afterPause'] for r in radio_log.rounds[:3]] == [False, paused, paused]
    gap = 300 + 100 + (300 if paused else 0)
    assert [round(r['time'] * 1000) for r in radio_log.rounds[:3]] == [0, gap, 2 * gap]
    if heard:
        assert radio_log.reports[0]['advertisement'] == heard
    # The device appears with the first report that gets through, at its
    # AppearDelay; later rounds report it again.  Discovering stays true.
    first = 50 if not lost and not radio else (gap + 50 if lost else None)
    if first is not None:
        assert view.times('added') == [first]
    assert [e[4] for e in view.events if e[1] == 'changed' and e[2] == HCI0] \
        == [{'Discovering': True}]


@pytest.mark.parametrize('listed', [True, False], ids=['listed', 'not-listed'])
@pytest.mark.parametrize('case', DELIVERY)
def test_one_delivery_rule_for_every_peripheral(case, listed):
    setting, as_heard, expected = DELIVERY[case]
    adapter = {'AsHeard': as_heard}
    if setting:
        adapter['DuplicateFilter'] = setting
    clock, view, world, ctl = model('5.82', adapter=adapter, RoundTime=1.0, RoundRestart=0.1,
                                    AppearDelay=0.05)
    if listed:
        ctl.AddDevice(HCI0, ADDRESS, {})
    ctl.AddPeripheralInRange(HCI0, ADDRESS, {'Often': False})
    world.adapter(HCI0).set_discovery_filter(CLIENT, {'DuplicateData': True})
    world.adapter(HCI0).start_discovery(CLIENT)
    for ms, data in ADVERTISEMENTS:
        clock.advance(ms - clock.ms)
        if ms == 1500:
            world.adapter(HCI0).stop_discovery(CLIENT)
        ctl.Advertise(DEV, {uuid16('1523'): data.encode()})
    clock.advance(1000)
    reports = [e[0] for e in view.events if e[2] == DEV and (
        (e[1] == 'added' and not listed) or (e[1] == 'changed' and 'RSSI' in e[4]))]
    assert reports == expected
    # Each report carries the data of its own advertisement.
    data = [e[4].get('ServiceData') for e in view.events if e[1] == 'changed' and e[2] == DEV]
    assert all(d is None or d == {uuid16('1523'): dict(ADVERTISEMENTS)[t - (0 if as_heard else 50)]
                                  .encode()} for t, d in zip(reports[not listed:], data))


@pytest.mark.parametrize('profile, started_before, lost', [
    ('5.66', True, False), ('5.82', True, True), ('5.82', False, False), ('5.87', False, False),
], ids=['5.66-on-air', '5.82-on-air', '5.82-later', '5.87-later'])
def test_the_first_report_is_lost_only_for_an_advertiser_on_the_air(profile, started_before,
                                                                    lost):
    # From 5.82, an advertiser already on the air when a discovery starts
    # from idle is not heard until the next round; one that starts
    # advertising later in the round is.
    clock, view, world, ctl = model(profile, AppearDelay=0.05)
    adapter = world.adapter(HCI0)
    if started_before:
        ctl.AddPeripheralInRange(HCI0, ADDRESS, {})
    adapter.start_discovery(CLIENT)
    clock.advance(1000)
    if not started_before:
        ctl.AddPeripheralInRange(HCI0, ADDRESS, {})
    clock.advance(1000)
    assert [r['lost'] for r in adapter.radio.reports] == [lost]
    assert bool(view.times('added')) is not lost


def test_an_adapter_removed_while_discovering_finds_nothing_more():
    clock, view, world, ctl = model(AppearDelay=0.05)
    ctl.AddPeripheralInRange(HCI0, ADDRESS, {'Interval': 0.1})
    world.adapter(HCI0).start_discovery(CLIENT)
    clock.advance(20)
    before = len(view.events)
    ctl.RemoveObject(HCI0)
    clock.advance(60000)
    assert [e[1:3] for e in view.events[before:]] == [('removed', HCI0)]


def found_and_left(timeout, **behaviour):
    """A peripheral in range, found by a discovery that then stops."""
    clock, view, world, ctl = model(TemporaryTimeout=timeout, AppearDelay=0.05)
    ctl.AddPeripheralInRange(HCI0, ADDRESS, {})
    adapter = world.adapter(HCI0)
    adapter.start_discovery(CLIENT)
    clock.advance(50)
    assert view.times('added') == [50]
    ctl.ConfigureDevice(DEV, behaviour)
    adapter.stop_discovery(CLIENT)
    return clock, view, world, adapter


def test_a_device_is_forgotten_its_timeout_after_the_last_report():
    clock, view, world, adapter = found_and_left(2.0)
    clock.advance(1150)
    adapter.start_discovery(CLIENT)     # at 1200: reported again at 1250
    clock.advance(50)
    adapter.stop_discovery(CLIENT)
    clock.advance(1999)
    assert view.times('removed') == []
    clock.advance(1)
    assert view.times('removed') == [3250]
    # Forgotten, it stays in range and is found again by the next discovery.
    adapter.start_discovery(CLIENT)
    clock.advance(100)
    assert view.times('added') == [50, 3300]


@pytest.mark.parametrize('connect_delay, disconnect', [(1.5, False), (0.05, True)],
                         ids=['connect-under-way', 'disconnected'])
def test_a_device_once_connected_is_kept(connect_delay, disconnect):
    clock, view, world, _ = found_and_left(0.5, ConnectDelay=connect_delay, DisconnectDelay=0.05)
    answers = []
    dev = world.device(DEV)
    dev.connect(lambda: answers.append(('reply', clock.ms)), answers.append)
    clock.advance(100)
    if disconnect:
        dev.disconnect(lambda: answers.append(('disconnected', clock.ms)), answers.append)
    clock.advance(2000)
    assert answers[0] == ('reply', 50 + round(connect_delay * 1000))
    assert view.times('removed') == []


ERROR = 'org.bluez.Error.Failed'
# ConfigureDevice options -> what Connect answers and when, then the link's
# properties as the view is told them, by release.
CONNECTIONS = {
    'succeeds': ({'ConnectDelay': 0.2, 'ResolveDelay': 0.3}, ('reply', 200),
                 [(500, {'ServicesResolved': True})]),
    'fails': ({'ConnectBehaviour': 'error', 'ConnectDelay': 0.4, 'ConnectError': ERROR},
              ('error', 400, ERROR), []),
    'never-completes': ({'ConnectBehaviour': 'hang'}, None, []),
    'never-resolved': ({'ResolveDelay': -1.0}, ('reply', 50), []),
    'link-lost': ({'ResolveDelay': 0.1, 'LinkLostAfter': 1.0}, ('reply', 50),
                  [(150, {'ServicesResolved': True}), (1050, {'ServicesResolved': False}),
                   (1050, {'Connected': False})]),
}


@pytest.mark.parametrize('case', CONNECTIONS)
def test_connection_outcomes(case):
    options, answer, link = CONNECTIONS[case]
    clock, view, world, ctl = model('5.66')
    ctl.AddDevice(HCI0, ADDRESS, {})
    ctl.ConfigureDevice(DEV, options)
    answers = []
    world.device(DEV).connect(lambda: answers.append(('reply', clock.ms)),
                              lambda e: answers.append(('error', clock.ms, e.name)))
    clock.advance(60000)
    assert answers == ([answer] if answer else [])
    changes = [(e[0], {k: v for k, v in e[4].items() if k in ('Connected', 'ServicesResolved')})
               for e in view.events if e[1] == 'changed' and e[2] == DEV and e[3] == 'Device1']
    assert [c for c in changes if c[1]] == link


def test_connection_attempts_go_in_order_and_the_last_repeats():
    clock, view, world, ctl = model('5.66')
    ctl.AddDevice(HCI0, ADDRESS, {})
    ctl.ConfigureDevice(DEV, {'ConnectDelay': 0.1, 'ResolveDelay': 0.0, 'DisconnectDelay': 0.0})
    ctl.ConfigureDevice(DEV, {'Attempt': 1, 'ConnectBehaviour': 'error'})
    ctl.ConfigureDevice(DEV, {'Attempt': 2, 'LinkLostAfter': 0.2})
    ctl.ConfigureDevice(DEV, {'Attempt': 3})
    service = ctl.AddService(DEV, uuid16('180a'), {})
    serial = ctl.AddCharacteristic(service, uuid16('2a25'), {'Value': b'0123456789ABCDEF'})
    ctl.ConfigureCharacteristic(serial, {'Attempt': 3, 'ReadBehaviour': 'error',
                                         'ReadError': 'org.bluez.Error.NotPermitted'})
    device, answers = world.device(DEV), []
    for _ in range(4):
        device.connect(lambda: answers.append('connected'), lambda e: answers.append(e.name))
        clock.advance(150)
        world.objects[serial].read_value(lambda value: answers.append(value),
                                         lambda e: answers.append(e.name))
        clock.advance(200)
        device.disconnect(lambda: None, pytest.fail)
        clock.advance(100)
    # Attempt 3's options hold for every later attempt, over those of every
    # attempt and without attempt 2's: the third and fourth reads fail, and
    # only the second link is lost, 0.2 s after it came up.
    assert answers == ['org.bluez.Error.Failed', 'org.bluez.Error.Failed',
                       'connected', b'0123456789ABCDEF',
                       'connected', 'org.bluez.Error.NotPermitted',
                       'connected', 'org.bluez.Error.NotPermitted']
    lost = [e[0] for e in view.events if e[1] == 'changed' and e[4].get('Connected') is False]
    assert lost == [450 + 100 + 200, 900 + 350, 1350 + 350]


def test_a_connected_device_shows_its_services_once_resolved():
    clock, view, world, ctl = model('5.82')
    ctl.AddDevice(HCI0, ADDRESS, {})
    ctl.ConfigureDevice(DEV, {'GattOnConnect': True, 'ResolveDelay': 0.3})
    service = ctl.AddService(DEV, uuid16('180a'), {})
    ctl.AddCharacteristic(service, uuid16('2a25'), {'Value': b'0123'})
    assert service not in world.objects
    world.device(DEV).connect(lambda: None, pytest.fail)
    clock.advance(349)
    assert service not in world.objects
    clock.advance(1)
    assert view.times('added', service) == [350]
    assert world.device(DEV).prop(DEVICE, 'UUIDs') == [uuid16('180a')]


# Refused without a bus only: a simulation in the test's own process.
NO_BUS: List[Refusal] = [('GetCalls', (), NotSupported)]


def started():
    """The model the refusals start from: START, whose adapter model() adds."""
    clock, view, world, ctl = model()
    for method, args in START[1:]:
        getattr(ctl, method)(*args)
    return clock, view, world, ctl


@pytest.mark.parametrize('method, args, error', REFUSALS + NO_BUS,
                         ids=['%s-%d' % (r[0], i) for i, r in enumerate(REFUSALS + NO_BUS)])
def test_the_controller_refuses_with_the_documented_error(method, args, error):
    clock, view, world, ctl = started()
    before = list(view.events)
    with pytest.raises(error) as refused:
        getattr(ctl, method)(*args)
    assert refused.value.name == 'org.bleprobe.Simulator.Error.' + error.__name__
    assert view.events == before


WRONG = [None, True, -1.5, NAN, 1e999, 'x', b'\xff', [1, 'a'], {'Lose': 3}, {'Flags': 'read'},
         {'ServiceData': {'x': 1}}, {'Interval': 1e-300}, {'ConnectBehaviour': 'sideways'}]


@pytest.mark.parametrize('method', GOOD)
def test_any_wrong_argument_is_refused_never_a_python_error(method):
    cases = [(None, None)] + [(p, w) for p in range(len(GOOD[method])) for w in WRONG]
    for position, wrong in cases:
        clock, view, world, ctl = started()
        args = list(GOOD[method])
        if position is None:
            getattr(ctl, method)(*args)     # the good arguments are taken
            continue
        args[position] = wrong
        try:
            getattr(ctl, method)(*args)
            clock.advance(60000)
        except ControlError:
            pass


def test_each_error_the_table_lists_is_a_refusals_and_no_other():
    listed = {(name, error) for name, m in METHODS.items() for error in m.errors}
    met = {(method, error) for method, _, error in REFUSALS + ON_BUS}
    assert sorted((m, e.__name__) for m, e in listed ^ met) == []
