"""Scenarios: reading and checking a scenario file, and playing it on a
simulated bluetoothd through the simulation's control interface.

The format is scenario.schema.json, beside this module; it is read at run
time and is the format's documentation.  A scenario is checked completely
before anything starts: against the schema, then for what a schema cannot
say (an adapter index listed twice, a peripheral on an adapter that is not
there).  Time zero is Player.start(): the starting state, events at 0
included, is in place when it returns.
"""

import json
import math
import os
import time

import dbus

from . import simulated_bluez as sb

HERE = os.path.dirname(os.path.abspath(__file__))
SCHEMA = os.path.join(HERE, 'scenario.schema.json')


class ScenarioError(Exception):
    """A scenario that cannot be played; str() is the one line to show."""


# A scenario is a few kilobytes and a few levels deep; these bounds only keep
# a wrong file (a log, a core dump, a generated tree) from exhausting memory
# or Python's stack before it can be refused.
MAX_BYTES = 16 * 1024 * 1024
MAX_DEPTH = 32


def json_path(parts):
    path = '$'
    for part in parts:
        path += '[%d]' % part if isinstance(part, int) else '.' + str(part)
    return path


def not_playable(value):
    """(path parts, reason) of the first value nested too deeply or not a
    finite number (NaN, Infinity, 1e999), or None."""
    stack = [([], value)]
    while stack:
        parts, value = stack.pop()
        if len(parts) > MAX_DEPTH:
            return parts[:MAX_DEPTH + 1], 'nested more than %d levels deep' % MAX_DEPTH
        if isinstance(value, float) and not math.isfinite(value):
            return parts, 'not a finite number: %r' % value
        children = value.items() if isinstance(value, dict) else \
            enumerate(value) if isinstance(value, list) else ()
        stack.extend((parts + [key], child) for key, child in reversed(list(children)))
    return None


def parse(text):
    """The JSON value in text (bytes); raises ScenarioError without the
    file name."""
    if len(text) > MAX_BYTES:
        raise ScenarioError('$: larger than %d MiB' % (MAX_BYTES // (1024 * 1024)))
    try:
        decoded = text.decode('utf-8')
    except UnicodeDecodeError as e:
        raise ScenarioError('$: not UTF-8: byte 0x%02x at offset %d'
                            % (text[e.start], e.start)) from None
    try:
        value = json.loads(decoded)
    except ValueError as e:
        raise ScenarioError('$: not JSON: %s' % e) from None
    except RecursionError:
        raise ScenarioError('$: nested more than %d levels deep' % MAX_DEPTH) from None
    problem = not_playable(value)
    if problem:
        raise ScenarioError('%s: %s' % (json_path(problem[0]), problem[1]))
    return value


def check(scenario):
    """Raises ScenarioError (without the file name) unless scenario, a
    parsed JSON value, can be played."""
    problem = not_playable(scenario)
    if problem:
        raise ScenarioError('%s: %s' % (json_path(problem[0]), problem[1]))
    import jsonschema
    with open(SCHEMA) as f:
        validator = jsonschema.Draft202012Validator(json.load(f))
    error = jsonschema.exceptions.best_match(validator.iter_errors(scenario))
    if error is not None:
        raise ScenarioError('%s: %s' % (json_path(error.absolute_path), error.message))
    problem = consistency(scenario)
    if problem:
        raise ScenarioError('%s: %s' % (json_path(problem[0]), problem[1]))


def load(filename):
    """The scenario in `filename`, checked; raises ScenarioError naming the
    file, the field (as a JSON path) and the reason."""
    try:
        with open(filename, 'rb') as f:
            text = f.read(MAX_BYTES + 1)
    except OSError as e:
        raise ScenarioError('%s: cannot be read: %s' % (filename, e.strerror)) from None
    try:
        scenario = parse(text)
        check(scenario)
    except ScenarioError as e:
        raise ScenarioError('%s: %s' % (filename, e)) from None
    return scenario


def consistency(scenario):
    """What the schema cannot check: (path parts, reason) or None."""
    indexes = []
    for i, adapter in enumerate(scenario.get('adapters', [])):
        if adapter['index'] in indexes:
            return (['adapters', i, 'index'], 'adapter %d is listed twice' % adapter['index'])
        indexes.append(adapter['index'])
    addresses = []
    for i, peripheral in enumerate(scenario.get('peripherals', [])):
        where = ['peripherals', i]
        if not indexes:
            return (where, 'a peripheral needs an adapter, and none is listed')
        if peripheral.get('adapter', min(indexes)) not in indexes:
            return (where + ['adapter'], 'no adapter %d is listed' % peripheral['adapter'])
        key = (peripheral.get('adapter', min(indexes)), peripheral['address'])
        if key in addresses:
            return (where + ['address'], 'peripheral %s is listed twice' % key[1])
        addresses.append(key)
        at = peripheral.get('advertising', {}).get('at', [])
        if at != sorted(at):
            return (where + ['advertising', 'at'], 'the times are not in ascending order')
    last = 0
    for i, event in enumerate(scenario.get('timeline', [])):
        where = ['timeline', i]
        if event['at'] < last:
            return (where + ['at'], 'the events are not in ascending order of their times')
        last = event['at']
        if event['event'].startswith('adapter'):
            if not indexes:
                return (where, 'an adapter event needs an adapter, and none is listed')
            if event.get('adapter', min(indexes)) not in indexes:
                return (where + ['adapter'], 'no adapter %d is listed' % event['adapter'])
        if 'peripheral' in event and event['peripheral'] not in [a for _, a in addresses]:
            return (where + ['peripheral'], 'no peripheral %s is listed' % event['peripheral'])
    return None


def uuid_text(uuid):
    return sb.uuid16(uuid) if len(uuid) == 4 else uuid.lower()


def entry_bytes(entry, text_key='text', hex_key='hex'):
    if hex_key in entry:
        return bytes.fromhex(entry[hex_key])
    return entry.get(text_key, '').encode('utf-8')


class Peripheral:
    """One peripheral of a scenario and its advertising schedule."""

    def __init__(self, config, adapter_index):
        self.config = config
        self.address = config['address']
        self.adapter_path = '/org/bluez/hci%d' % config.get('adapter', adapter_index)
        self.path = sb.device_path(self.adapter_path, self.address)
        self.advertising = config.get('advertising')
        self.sent = 0        # advertisements so far, lost ones included

    def data_at(self, t):
        """The ServiceData advertised at time t: the entries of the latest
        `from` not after t."""
        entries = self.advertising['serviceData']
        start = max([e.get('from', 0) for e in entries if e.get('from', 0) <= t], default=None)
        if start is None:
            return None
        return sb.service_data({uuid_text(e['uuid']): entry_bytes(e)
                                for e in entries if e.get('from', 0) == start})

    def times(self):
        """The advertisements' times, lazily (an interval repeats forever)."""
        if 'at' in self.advertising:
            yield from self.advertising['at']
            return
        first, interval, n = self.advertising.get('firstAt', 0), self.advertising['interval'], 0
        while True:
            yield first + n * interval
            n += 1


class Player:
    """Plays a checked scenario on a Simulation (before its names are owned:
    call start() once they are)."""

    def __init__(self, sim, scenario):
        self.sim = sim
        self.ctl = sim.control
        self.scenario = scenario
        indexes = [a['index'] for a in scenario.get('adapters', [])]
        lowest = min(indexes, default=0)
        self.default_adapter = '/org/bluez/hci%d' % lowest
        self.peripherals = [Peripheral(p, lowest) for p in scenario.get('peripherals', [])]
        self.by_address = {p.address: p for p in self.peripherals}
        self.configured = set()
        self.zero = None
        self.bluetoothd_gone = False
        # A device that a discovery finds is created by the simulation
        # itself; it gets the scenario's connection and GATT database the
        # moment it is exported, before any client can call it.
        export = sim.export

        def export_and_configure(obj, announce=True):
            export(obj, announce)
            peripheral = self.by_address.get(str(obj.prop(sb.DEVICE, 'Address', '')))
            if isinstance(obj, sb.Device) and peripheral and peripheral.path == obj.path:
                self.configure(peripheral)
        sim.export = export_and_configure
        self.setup()

    # -- the starting state -------------------------------------------------
    def setup(self):
        for adapter in sorted(self.scenario.get('adapters', []), key=lambda a: a['index']):
            props = {'Powered': dbus.Boolean(adapter.get('powered', True)),
                     'Controller': dbus.String(adapter.get('mode', 'le'))}
            if 'address' in adapter:
                props['Address'] = dbus.String(adapter['address'])
            self.ctl.AddAdapter('hci%d' % adapter['index'], props)
        for p in self.peripherals:
            if p.config.get('knownFromStart'):
                props = {}
                data = p.data_at(0) if p.advertising else None
                if data is not None:
                    props['ServiceData'] = data
                self.ctl.AddDevice(p.adapter_path, p.address, props)

    def configure(self, p):
        if p.path in self.configured:
            return
        self.configured.add(p.path)
        connection = p.config.get('connection', {})
        outcome = connection.get('outcome', 'succeeds')
        resolve = connection.get('servicesResolvedAfter', 0.3)
        disconnect = connection.get('disconnectDelay', 0.2)
        dev = self.sim.device(p.path)
        dev.behaviour.update({
            'ConnectBehaviour': {'succeeds': 'ok', 'fails': 'error',
                                 'neverCompletes': 'hang'}[outcome],
            'ConnectDelay': float(connection.get('delay', 0.05)),
            'ConnectError': connection.get('error', 'org.bluez.Error.Failed'),
            'ConnectErrorMessage': connection.get('errorMessage', 'le-connection-abort-by-local'),
            'ResolveDelay': -1.0 if resolve is None else float(resolve),
            'DisconnectDelay': -1.0 if disconnect is None else float(disconnect),
            'LinkLostAfter': float(connection.get('linkLostAfter', -1.0)),
            # BlueZ learns a peripheral's services when it connects.
            'GattOnConnect': True,
        })
        gatt = p.config.get('gatt')
        gap = self.ctl.AddService(p.path, sb.uuid16('1800'), {})
        if gatt is not None and 'deviceName' in gatt:
            self.ctl.AddCharacteristic(gap, sb.uuid16('2a00'),
                                       {'Value': sb.byte_array(gatt['deviceName'].encode())})
        self.ctl.AddService(p.path, sb.uuid16('1801'), {})
        if gatt is None or not gatt.get('deviceInformation', True):
            return
        dis = self.ctl.AddService(p.path, sb.uuid16('180a'), {})
        if 'manufacturerName' in gatt:
            self.ctl.AddCharacteristic(dis, sb.uuid16('2a29'),
                                       {'Value': sb.byte_array(gatt['manufacturerName'].encode())})
        if 'serialNumber' in gatt or 'serialNumberHex' in gatt:
            read = {'succeeds': 'value', 'fails': 'error', 'neverAnswers': 'hang',
                    'dropsLink': 'disconnect'}[gatt.get('serialNumberRead', 'succeeds')]
            self.ctl.AddCharacteristic(dis, sb.uuid16('2a25'), {
                'Value': sb.byte_array(entry_bytes(gatt, 'serialNumber', 'serialNumberHex')),
                'ReadBehaviour': read,
                'ReadError': gatt.get('readError', 'org.bluez.Error.Failed'),
                'ReadErrorMessage': gatt.get('readErrorMessage', 'Operation failed'),
            })

    # -- time ---------------------------------------------------------------
    def start(self):
        """Time zero: what happens at 0 happens now, the rest is timed from now."""
        self.zero = time.monotonic()
        if not self.scenario.get('bluetoothdRunning', True):
            self.bluetoothd_gone = True
            self.ctl.ReleaseBluezName()
        for p in self.peripherals:
            if p.advertising:
                self.schedule_advertisement(p, p.times())
        for event in self.scenario.get('timeline', []):
            self.at(event['at'], lambda e=event: self.happen(e))

    def at(self, t, func):
        """Run func at scenario time t (now, if that has passed)."""
        delay = self.zero + t - time.monotonic()
        if delay <= 0:
            func()
        else:
            self.sim.later(delay, func)

    def schedule_advertisement(self, p, times):
        t = next(times, None)
        if t is None:
            return

        def advertise():
            p.sent += 1
            self.advertise(p, p.data_at(t), lost=p.sent in p.advertising.get('lose', []))
            self.schedule_advertisement(p, times)
        self.at(t, advertise)

    def advertise(self, p, data, lost):
        adapter = self.sim.objects.get(p.adapter_path)
        if not isinstance(adapter, sb.Adapter) or data is None or self.bluetoothd_gone:
            return  # nobody hears: no adapter, or no bluetoothd to tell anybody
        if p.address not in adapter.on_air:
            props = {'ServiceData': data}
            if 'interval' in p.advertising:
                # A peripheral that advertises at an interval gets the
                # simulation's radio, counting from this advertisement: a
                # discovery then hears it at its own advertisements, once per
                # round, and not at the start of every round, which would
                # find a slow advertiser sooner than a controller does.
                props.update({'Interval': dbus.Double(p.advertising['interval']),
                              'Phase': dbus.Double(0.0),
                              'Lose': dbus.Array([dbus.UInt32(n - p.sent + 1)
                                                  for n in p.advertising.get('lose', [])
                                                  if n >= p.sent], signature='u')})
            elif lost:
                return  # still silent as far as anybody can tell
            # From its first advertisement on the peripheral is in range: the
            # controller reports it once per discovery round.
            self.ctl.AddPeripheralInRange(p.adapter_path, p.address, props)
        if lost:
            return
        dev = self.sim.objects.get(p.path)
        if isinstance(dev, sb.Device):
            # Heard only while a discovery runs (Advertise checks).
            self.ctl.Advertise(p.path, data)
            return
        known = adapter.in_range.get(p.address)
        if isinstance(known, sb.Device):
            # Forgotten by BlueZ: found again with what it advertises now.
            known.change(sb.DEVICE, {'ServiceData': data}, emit=False)
        elif known is not None:
            known['ServiceData'] = data

    def happen(self, event):
        kind = event['event']
        adapter = '/org/bluez/hci%d' % event['adapter'] if 'adapter' in event \
            else self.default_adapter
        try:
            if kind in ('adapterPoweredOff', 'adapterPoweredOn'):
                self.ctl.SetProperties(adapter, sb.ADAPTER,
                                       {'Powered': dbus.Boolean(kind == 'adapterPoweredOn')}, True)
            elif kind == 'adapterRemoved':
                self.ctl.RemoveObject(adapter)
            elif kind == 'bluetoothdGone':
                self.bluetoothd_gone = True
                self.ctl.Shutdown()
            elif kind == 'peripheralForgotten':
                self.ctl.ForgetDevice(self.by_address[event['peripheral']].path)
            elif kind == 'linkLost':
                self.ctl.DropLink(self.by_address[event['peripheral']].path)
        except (dbus.DBusException, KeyError):
            pass  # what the event acts on is not there (removed, not yet found)
