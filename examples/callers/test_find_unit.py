"""find_unit.py against bleprobe-sim, as a caller's CI would run it.

BLEPROBE_SIM and BLEPROBE in the environment name the programs (default:
the ones on PATH).
"""

import os
import subprocess

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
SIM = os.environ.get('BLEPROBE_SIM', 'bleprobe-sim')
UNIT_1 = '00000000-0000-0000-0000-D43F7A100001'

# scenario, arguments, exit status, standard output, in standard error
CASES = [
    ('units.json', ['1234-567'], 0, UNIT_1 + ' 8C3F00A1B2C3D4E5\n', ''),
    ('units.json', ['2048-001'], 1, '', 'identity-read-failed'),
    ('units.json', ['9999-999', '--timeout', '2'], 3, '', 'no unit 9999-999'),
    ('no-bluetoothd.json', ['1234-567'], 1, '', 'adapter-unavailable'),
]


@pytest.mark.parametrize('scenario, args, status, stdout, stderr', CASES)
def test_find_unit(scenario, args, status, stdout, stderr):
    result = subprocess.run([SIM, 'run', os.path.join(HERE, 'scenarios', scenario), '--',
                             os.path.join(HERE, 'find_unit.py'), *args],
                            stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=120, check=False)
    assert (result.returncode, result.stdout) == (status, stdout), result.stderr
    assert stderr in result.stderr
