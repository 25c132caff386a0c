"""The JSON Schema validator that the scenario and result-line schemas are
checked with.

The schemas declare draft 2020-12, but Debian 11's python3-jsonschema (3.2)
knows draft 7 at most. They use only keywords that draft 7 evaluates as
2020-12 does (no prefixItems, no unevaluated*, nothing beside a $ref but
annotations), so draft 7 checks exactly the same; tests/doc/test_schemas.py
fails when a schema uses anything else.
"""

import jsonschema


def validator_class():
    """Draft202012Validator where jsonschema has it (Debian 12 on), else
    Draft7Validator."""
    return getattr(jsonschema, 'Draft202012Validator', jsonschema.Draft7Validator)
