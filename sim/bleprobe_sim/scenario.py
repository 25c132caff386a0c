"""Scenarios: reading and checking a scenario file (player.py plays one).

The format is scenario.schema.json, beside this module; it is read at run
time and is the format's documentation.  A scenario is checked completely
before anything starts: against the schema, then for what a schema cannot
say (an adapter index listed twice, a peripheral on an adapter that is not
there).
"""

import json
import math
import os

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
    from .compat import validator_class
    with open(SCHEMA) as f:
        validator = validator_class()(json.load(f))
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


# The events that act on an adapter, and the fields of the GATT database
# that every connection attempt finds alike.
ADAPTER_EVENTS = ('adapterPoweredOff', 'adapterPoweredOn', 'adapterRemoved', 'discoveryStopped',
                  'discoveryRestarted')
DATABASE = ('deviceName', 'deviceInformation', 'bluetoothdDeviceInformation', 'manufacturerName')


def database(gatt):
    """What a GATT entry says of the database's shape."""
    return ([gatt.get(key) for key in DATABASE]
            + ['serialNumber' in gatt or 'serialNumberHex' in gatt])


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
        if any(b < a for a, b in zip(at, at[1:])):
            return (where + ['advertising', 'at'], 'the times are not in ascending order')
        gatt = peripheral.get('gatt')
        if isinstance(gatt, list):
            for n, entry in enumerate(gatt):
                if database(entry) != database(gatt[0]):
                    return (where + ['gatt', n], 'the attempts find different GATT databases: only '
                            "the serial number's value and read may differ")
    last = 0
    for i, event in enumerate(scenario.get('timeline', [])):
        where = ['timeline', i]
        if event['at'] < last:
            return (where + ['at'], 'the events are not in ascending order of their times')
        last = event['at']
        if event['event'] in ADAPTER_EVENTS:
            if not indexes:
                return (where, 'an adapter event needs an adapter, and none is listed')
            if event.get('adapter', min(indexes)) not in indexes:
                return (where + ['adapter'], 'no adapter %d is listed' % event['adapter'])
        if 'peripheral' in event and event['peripheral'] not in [a for _, a in addresses]:
            return (where + ['peripheral'], 'no peripheral %s is listed' % event['peripheral'])
    return None
