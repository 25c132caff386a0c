"""Scenarios: reading and checking a scenario file (player.py plays one).

The format is scenario.schema.json, beside this module; it is read at run
time and is the format's documentation.  A scenario is checked completely
before anything starts: against the schema, then for what a schema cannot
say (an adapter index listed twice, a peripheral on an adapter that is not
there).
"""

import json
import os

HERE = os.path.dirname(os.path.abspath(__file__))
SCHEMA = os.path.join(HERE, 'scenario.schema.json')


class ScenarioError(Exception):
    """A scenario that cannot be played; str() is the one line to show."""


def json_path(parts):
    path = '$'
    for part in parts:
        path += '[%d]' % part if isinstance(part, int) else '.' + str(part)
    return path


def load(filename):
    """The scenario in `filename`, checked; raises ScenarioError naming the
    file, the field (as a JSON path) and the reason."""
    try:
        with open(filename, 'rb') as f:
            text = f.read()
    except OSError as e:
        raise ScenarioError('%s: cannot be read: %s' % (filename, e.strerror)) from None
    try:
        scenario = json.loads(text)
    except ValueError as e:
        raise ScenarioError('%s: $: not JSON: %s' % (filename, e)) from None
    import jsonschema
    with open(SCHEMA) as f:
        validator = jsonschema.Draft202012Validator(json.load(f))
    error = jsonschema.exceptions.best_match(validator.iter_errors(scenario))
    if error is not None:
        raise ScenarioError('%s: %s: %s' % (filename, json_path(error.absolute_path),
                                           error.message))
    problem = consistency(scenario)
    if problem:
        raise ScenarioError('%s: %s: %s' % (filename, json_path(problem[0]), problem[1]))
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
    for i, event in enumerate(scenario.get('timeline', [])):
        where = ['timeline', i]
        if event['event'].startswith('adapter'):
            if not indexes:
                return (where, 'an adapter event needs an adapter, and none is listed')
            if event.get('adapter', min(indexes)) not in indexes:
                return (where + ['adapter'], 'no adapter %d is listed' % event['adapter'])
        if 'peripheral' in event and event['peripheral'] not in [a for _, a in addresses]:
            return (where + ['peripheral'], 'no peripheral %s is listed' % event['peripheral'])
    return None
