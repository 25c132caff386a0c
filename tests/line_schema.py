"""Result lines against the published JSON Schema of the mode that wrote them.

Used by the integration and end-to-end harnesses for every line they receive,
and by the schema table in tests/doc/. Needs python3-jsonschema (Debian).
"""

import functools
import json
import os
import re

import jsonschema
from bleprobe_sim import compat

SCHEMA_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, 'doc', 'schema')


def mode_of(args):
    """The mode a command line (without the program name) runs, or None
    for one the tool refuses without writing anything."""
    args = list(args)
    if not args:
        return 'scan'
    if args == ['--dfu']:
        return 'dfu'
    if len(args) == 2 and args[0] == '--identity':
        return 'identity'
    return None


def error_codes():
    """The tool's complete vocabulary of error codes, from its source."""
    path = os.path.join(SCHEMA_DIR, os.pardir, os.pardir, 'src', 'app', 'error_code.h')
    with open(path, encoding='utf-8') as f:
        return set(re.findall(r'\[\] = "([a-z-]+)";', f.read()))


@functools.lru_cache(maxsize=None)
def validator(mode):
    with open(os.path.join(SCHEMA_DIR, mode + '.schema.json'), encoding='utf-8') as f:
        schema = json.load(f)
    cls = compat.validator_class()
    cls.check_schema(schema)
    return cls(schema)


def problems(mode, record):
    """Why the record is not a line of that mode; empty when it is one."""
    # Of the branches of the schema's oneOf, the one that came closest.
    best = jsonschema.exceptions.best_match(validator(mode).iter_errors(record))
    return [] if best is None else ['/'.join(map(str, best.absolute_path)) + ': ' + best.message]


def check(args, record):
    """Fails when the record is not a line that the command line may write."""
    mode = mode_of(args)
    assert mode is not None, 'a refused command line %r wrote %r' % (args, record)
    found = problems(mode, record)
    assert not found, 'line %r does not match the %s schema: %s' % (record, mode, '; '.join(found))
