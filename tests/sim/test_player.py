"""The scenario player on the model, on a fake clock: a field left out plays
as the schema says it defaults to.  The simulation keeps each default once
(the model's, or the player's for a field the model has nothing like); the
schema's `default` entries are its documentation, held to it here."""

import copy
import json
import types

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


def resolved(node):
    while '$ref' in node:
        node = SCHEMA['$defs'][node['$ref'].rsplit('/', 1)[1]]
    return node


def write_defaults(node, value, where, written):
    """value with every default of the schema written out wherever the
    object it belongs to is there; `written` collects where each was."""
    node = resolved(node)
    if isinstance(value, list):
        return [write_defaults(node['items'], item, where + '[]', written) for item in value]
    if not isinstance(value, dict):
        return value
    value = dict(value)
    for key, sub in node.get('properties', {}).items():
        default = sub.get('default', resolved(sub).get('default'))
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
}


def test_a_scenario_with_every_default_written_out_plays_as_one_without():
    written = set()
    for case, bare in CASES.items():
        full = write_defaults(SCHEMA, bare, '$', written)
        scenario.check(full)
        assert play(full) == play(bare), case
    assert written == every_default()
