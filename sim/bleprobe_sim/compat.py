"""What Debian 11's Python stack (Python 3.9, python3-jsonschema 3.2, mypy 0.812) lacks
that bleprobe_sim uses from Debian 12 on: the one place that knows.

The scenario and result-line schemas declare draft 2020-12, which
jsonschema 3.2 does not know. They use only keywords that draft 7 evaluates
as 2020-12 does (no prefixItems, no unevaluated*, nothing beside a $ref but
annotations), so draft 7 checks exactly the same; tests/doc/test_schemas.py
fails when a schema uses anything else.
"""

import os
import subprocess
import sys
from typing import List


def validator_class():
    """Draft202012Validator where jsonschema has it, else Draft7Validator."""
    import jsonschema  # only where a scenario is checked: it is slow to import
    return getattr(jsonschema, 'Draft202012Validator', jsonschema.Draft7Validator)


def popen_in_own_group(command: List[str], **kwargs) -> subprocess.Popen:
    """subprocess.Popen with the child in a process group of its own
    (process_group came with Python 3.11)."""
    if sys.version_info >= (3, 11):
        return subprocess.Popen(command, process_group=0, **kwargs)
    return subprocess.Popen(command, preexec_fn=os.setpgrp, **kwargs)


def exit_code(status: int) -> int:
    """os.waitstatus_to_exitcode (Python 3.9), which the stubs of Debian 11's
    mypy (0.812) do not have."""
    return os.waitstatus_to_exitcode(status)  # type: ignore[attr-defined]
