"""Each mode's JSON Schema against lines it must accept and lines it must refuse."""

import json
import os

import pytest

import line_schema

HERE = os.path.dirname(os.path.abspath(__file__))


ID = '00000000-0000-0000-0000-D43F7A100001'
UNIT = '{"deviceId":"%s","unitNumber":"1234-567"}' % ID
DFU = ('{"deviceId":"%s","serial":"0403020108070605","serviceDataHex":"0102030405060708",'
       '"serviceUuid":"FE59"}' % ID)
SERIAL = '{"deviceId":"%s","serial":"0123456789ABCDEF"}' % ID


def error(code):
    return '{"error":"%s"}' % code


SCANNING_CODES = {'adapter-unavailable', 'permission-denied'}
IDENTITY_CODES = line_schema.error_codes()

GOOD = (
    [('scan', UNIT), ('scan', '{"unitNumber":"0000-000","deviceId":"%s"}' % ID),
     ('dfu', DFU), ('dfu', DFU.replace('0403020108070605', 'FFFFFFFFFFFFFFFF')),
     ('identity', SERIAL)]
    + [(mode, error(code)) for mode in ('scan', 'dfu') for code in sorted(SCANNING_CODES)]
    + [('identity', error(code)) for code in sorted(IDENTITY_CODES)])

BAD = [
    # a key missing
    ('scan', '{"deviceId":"%s"}' % ID),
    ('dfu', DFU.replace(',"serviceUuid":"FE59"', '')),
    ('identity', '{"serial":"0123456789ABCDEF"}'),
    ('identity', '{}'),
    # an extra key
    ('scan', UNIT[:-1] + ',"rssi":"-60"}'),
    ('dfu', DFU[:-1] + ',"unitNumber":"1234-567"}'),
    ('identity', SERIAL[:-1] + ',"error":"identity-timeout"}'),
    ('scan', '{"error":"adapter-unavailable","deviceId":"%s"}' % ID),
    # a lower-case hex digit
    ('scan', UNIT.replace('D43F7A', 'd43f7a')),
    ('dfu', DFU.replace('0102030405060708', '01020304050607a8')),
    ('dfu', DFU.replace('0403020108070605', '04030201080706f5')),
    ('identity', SERIAL.replace('ABCDEF', 'abcdef')),
    # a code of another mode, an unknown code, a line of another mode
    ('scan', error('identity-timeout')),
    ('dfu', error('identity-device-not-found')),
    ('identity', error('adapter-off')),
    ('scan', DFU),
    ('dfu', UNIT),
    ('identity', UNIT),
    # values of the wrong form or type
    ('scan', UNIT.replace('1234-567', '1234567A')),
    ('scan', UNIT.replace('1234-567', '1234-567\\n')),
    ('scan', '{"deviceId":"%s","unitNumber":1234567}' % ID),
    ('scan', UNIT.replace('00000000-0000-0000-0000-', '00000000-0000-1000-8000-')),
    ('dfu', DFU.replace('"FE59"', '"fe59"')),
    ('dfu', DFU.replace('0102030405060708', '01020304050607')),
    ('identity', SERIAL.replace('0123456789ABCDEF', '0123456789ABCDEF0')),
    ('identity', SERIAL.replace('0123456789ABCDEF', ' 123456789ABCDEF')),
    ('identity', '[%s]' % SERIAL),
    ('identity', '"identity-timeout"'),
]


@pytest.mark.parametrize('mode, line', GOOD, ids=lambda v: v if len(v) < 40 else v[:40])
def test_lines_of_the_mode_are_accepted(mode, line):
    assert line_schema.problems(mode, json.loads(line)) == []


@pytest.mark.parametrize('mode, line', BAD, ids=lambda v: v if len(v) < 40 else v[:40])
def test_other_lines_are_refused(mode, line):
    assert line_schema.problems(mode, json.loads(line)) != []


def test_the_error_vocabulary_is_complete():
    # Scanning gives the two adapter codes; identity gives every code the
    # tool has. A new code must reach the schemas.
    assert len(IDENTITY_CODES) == 11 and SCANNING_CODES < IDENTITY_CODES
    for mode, codes in (('scan', SCANNING_CODES), ('dfu', SCANNING_CODES), ('identity', IDENTITY_CODES)):
        schema = line_schema.validator(mode).schema
        assert set(schema['$defs']['errorRecord']['properties']['error']['enum']) == codes, mode


# Keywords that draft 7 (Debian 11's jsonschema 3.2 knows no later one)
# evaluates as draft 2020-12 does: a schema with any other keyword, an
# array under items, or anything but annotations beside a $ref (which
# draft 7 ignores), would be checked less there (bleprobe_sim/compat.py).
SHARED_KEYWORDS = {
    '$schema', '$id', '$ref', '$defs', 'title', 'description', 'default', 'type', 'enum', 'const',
    'properties', 'additionalProperties', 'required', 'items', 'minItems', 'maxItems', 'pattern',
    'minLength', 'maxLength', 'minimum', 'maximum', 'exclusiveMinimum', 'exclusiveMaximum',
    'oneOf', 'anyOf', 'allOf', 'not', 'if', 'then', 'else'}
ANNOTATIONS = {'title', 'description', 'default'}


def draft7_differences(node, where='#'):
    if isinstance(node, list):
        return [d for i, item in enumerate(node) for d in draft7_differences(item, '%s/%d' % (where, i))]
    if not isinstance(node, dict):
        return []
    found = ['%s: %s' % (where, k) for k in sorted(set(node) - SHARED_KEYWORDS)]
    if '$ref' in node and set(node) - ANNOTATIONS - {'$ref'}:
        found.append('%s: beside $ref: %s' % (where, sorted(set(node) - ANNOTATIONS - {'$ref'})))
    if isinstance(node.get('items'), list):
        found.append('%s: items is an array' % where)
    for key, value in node.items():
        if key in ('properties', '$defs'):
            found += [d for name, sub in value.items()
                      for d in draft7_differences(sub, '%s/%s/%s' % (where, key, name))]
        elif key not in ANNOTATIONS and key not in ('enum', 'const'):
            found += draft7_differences(value, '%s/%s' % (where, key))
    return found


SCHEMA_FILES = ([os.path.join(line_schema.SCHEMA_DIR, m + '.schema.json')
                 for m in ('scan', 'dfu', 'identity')]
                + [os.path.join(HERE, '..', '..', 'sim', 'bleprobe_sim', 'scenario.schema.json')])


@pytest.mark.parametrize('path', SCHEMA_FILES, ids=os.path.basename)
def test_schemas_mean_the_same_to_draft_7(path):
    with open(path, encoding='utf-8') as f:
        assert draft7_differences(json.load(f)) == []
