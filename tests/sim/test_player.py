"""The scenario player on the model, on a fake clock: a field left out plays
as the schema says it defaults to.  The simulation keeps each default once
(the model's, or the player's for a field the model has nothing like); the
schema's `default` entries are its documentation, held to it here."""

import copy
import json
import types

import pytest

from bleprobe_sim import player, scenario
from bleprobe_sim.clock import FakeClock
from bleprobe_sim.control import Controller
from bleprobe_sim.model import GattCharacteristic, World
from bleprobe_sim.names import uuid16
from test_model import CLIENT, RecordingView

with open(scenario.SCHEMA) as f:
    SCHEMA = json.load(f)
ADDRESS = 'D0:00:00:00:00:01'
PATH = '/org/bluez/hci0/dev_D0_00_00_00_00_01'


def resolved(node, value=None):
    """The schema of a value: through references, and through the branch
    an if on the value's type takes (an object where none is given)."""
    while '$ref' in node or 'else' in node:
        if 'else' in node:
            node = node['then'] if isinstance(value, list) else node['else']
        else:
            node = SCHEMA['$defs'][node['$ref'].rsplit('/', 1)[1]]
    return node


def write_defaults(node, value, where, written):
    """value with every default of the schema written out wherever the
    object it belongs to is there; `written` collects where each was."""
    node = resolved(node, value)
    if isinstance(value, list):
        return [write_defaults(node['items'], item, where + '[]', written) for item in value]
    if not isinstance(value, dict):
        return value
    value = dict(value)
    for key, sub in node.get('properties', {}).items():
        default = sub.get('default', resolved(sub).get('default'))
        if key == 'firstAt' and 'interval' not in value and where.endswith('advertising'):
            continue    # it goes with interval only
        if key not in value and default is not None:
            value[key] = copy.deepcopy(default)
            written.add(where + '.' + key)
        if key in value:
            value[key] = write_defaults(sub, value[key], where + '.' + key, written)
    return value


def every_default(node=SCHEMA, where='$', seen=()):
    """Where the schema gives a default."""
    node = resolved(node)
    found = set()
    for key, sub in node.get('properties', {}).items():
        if 'default' in sub or 'default' in resolved(sub):
            found.add(where + '.' + key)
        sub = sub.get('else', sub)
        ref = sub.get('$ref', sub.get('items', {}).get('$ref'))
        if ref not in seen:
            suffix = '[]' if 'items' in sub else ''
            found |= every_default(sub.get('items', sub), where + '.' + key + suffix, seen + (ref,))
    return found


def play(played):
    """What a client that discovers, connects, reads the serial number and
    disconnects sees, each with its millisecond."""
    clock = FakeClock()
    view = RecordingView(clock)
    world = World(clock, player.profile(played), view)
    player.Player(types.SimpleNamespace(controller=Controller(world)), played).start()
    if played.get('peripherals'):
        talk(clock, view, world)
    clock.advance(12000)
    return player.bus_policy(played), view.events


def talk(clock, view, world):
    def answer(member):
        return (lambda *_: view.record('reply', member),
                lambda e: view.record('error', member, e.name, e.message))
    world.adapter('/org/bluez/hci0').start_discovery(CLIENT)
    clock.advance(1000)
    device = world.device(PATH)
    device.connect(*answer('Connect'))
    clock.advance(1000)
    serial = next(o for o in world.below(PATH) + device.hidden_gatt
                  if isinstance(o, GattCharacteristic)
                  and o.prop('org.bluez.GattCharacteristic1', 'UUID') == uuid16('2a25'))
    serial.read_value(*answer('ReadValue'))
    device.disconnect(*answer('Disconnect'))


def one_peripheral(**fields):
    return {'adapters': [{'index': 0}],
            'peripherals': [dict({'address': ADDRESS,
                                  'gatt': {'serialNumber': '0123456789ABCDEF'},
                                  'advertising': {'interval': 0.5, 'serviceData': [
                                      {'uuid': '1523', 'text': '1'}]}}, **fields)],
            'timeline': [{'at': 10, 'event': 'adapterPoweredOff'}]}


CASES = {
    'nothing': {'busPolicy': {}},
    'reads': one_peripheral(connection={}),
    'read-fails': one_peripheral(gatt={'serialNumber': '0123456789ABCDEF',
                                       'serialNumberRead': 'fails'}),
    'connect-fails': one_peripheral(connection={'outcome': 'fails'}),
    'attempts': one_peripheral(connection=[{'outcome': 'fails'}, {}],
                               gatt=[{'serialNumber': '0123456789ABCDEF'},
                                     {'serialNumber': '0123456789ABCDEF', 'serialNumberRead': 'fails'}]),
    'runs': one_peripheral(advertising={'at': [0.1], 'runs': [{'firstAt': 0.2, 'interval': 0.1,
                                                              'count': 5}],
                                        'serviceData': [{'uuid': '1523', 'text': '1'}]}),
}


def test_a_scenario_with_every_default_written_out_plays_as_one_without():
    written = set()
    for case, bare in CASES.items():
        full = write_defaults(SCHEMA, bare, '$', written)
        scenario.check(full)
        assert play(full) == play(bare), case
    # A connection or gatt given for each attempt counts as one given once.
    assert {w.replace('[]', '') for w in written} == {w.replace('[]', '') for w in every_default()}


def as_heard(advertising, **fields):
    return dict({'asHeard': True, 'adapters': [{'index': 0, 'duplicateFilter': 'address'}],
                 'peripherals': [{'address': ADDRESS, 'advertising': dict(
                     advertising, serviceData=[{'uuid': '1523', 'text': 'a'},
                                               {'from': 0.3, 'uuid': '1523', 'text': 'b'}])}]},
                **fields)


RUNS = {'at': [0.05, 0.35], 'runs': [{'firstAt': 0.1, 'interval': 0.1, 'count': 3, 'lose': [2]}]}
# A scenario played as heard, a client's discovery from 150 ms -> the
# millisecond of each report bluetoothd gets, with its data.
AS_HEARD = {
    'from-first-discovery': (as_heard(RUNS, timeZero='firstDiscovery'),
                             [(200, 'a'), (250, 'a'), (450, 'b'), (500, 'b')]),
    'from-start': (as_heard(RUNS), [(300, 'b'), (350, 'b')]),
    'discovery-stopped': (as_heard(RUNS, timeZero='firstDiscovery', timeline=[
        {'at': 0.2, 'event': 'discoveryStopped'}]), [(200, 'a'), (250, 'a')]),
}


@pytest.mark.parametrize('case', AS_HEARD)
def test_a_capture_plays_as_heard(case):
    played, expected = AS_HEARD[case]
    scenario.check(played)
    clock = FakeClock()
    view = RecordingView(clock)
    world = World(clock, '5.82', view)
    player.Player(types.SimpleNamespace(controller=Controller(world)), played).start()
    clock.advance(150)
    adapter = world.adapter('/org/bluez/hci0')
    adapter.set_discovery_filter(CLIENT, {'DuplicateData': True})
    adapter.start_discovery(CLIENT)
    clock.advance(2000)
    assert [(e[0], bytes(e[4]['ServiceData'][uuid16('1523')]).decode()) for e in view.events
            if e[1] == 'changed' and e[2] == PATH and 'ServiceData' in e[4]] == expected[1:]
    assert view.times('added', PATH) == [expected[0][0]]
