"""find_unit.py against bleprobe-sim, as a caller's CI would run it, through
the pytest fixture that the bleprobe-sim package installs (bleprobe_sim):
each test serves its scenario on a private bus and runs the program with
that bus as its system bus.

BLEPROBE in the environment names the bleprobe that find_unit.py runs
(default: the one on PATH).
"""

import os
import subprocess

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
CAPTURES = os.path.join(HERE, os.pardir, 'captures')
UNIT_1 = '00000000-0000-0000-0000-D43F7A100001'


def find_unit(served, *args):
    return subprocess.run([os.path.join(HERE, 'find_unit.py'), *args], env=served.env,
                          stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=120,
                          check=False)


# scenario, arguments, exit status, standard output, in standard error
CASES = [
    ('units.json', ['1234-567'], 0, UNIT_1 + ' 8C3F00A1B2C3D4E5\n', ''),
    ('units.json', ['2048-001'], 1, '', 'identity-read-failed'),
    ('units.json', ['9999-999', '--timeout', '2'], 3, '', 'no unit 9999-999'),
    ('no-bluetoothd.json', ['1234-567'], 1, '', 'adapter-unavailable'),
]


@pytest.mark.parametrize('scenario, args, status, stdout, stderr', CASES)
def test_find_unit(bleprobe_sim, scenario, args, status, stdout, stderr):
    result = find_unit(bleprobe_sim(os.path.join(HERE, 'scenarios', scenario)), *args)
    assert (result.returncode, result.stdout) == (status, stdout), result.stderr
    assert stderr in result.stderr


def test_find_unit_on_an_adapter_switched_off_meanwhile(bleprobe_sim):
    # A scenario as a dict, changed through the control client before the
    # program runs.
    served = bleprobe_sim({'adapters': [{'index': 0}]})
    served.client.set_powered('/org/bluez/hci0', False)
    result = find_unit(served, '1234-567')
    assert result.returncode == 1
    assert 'adapter-unavailable' in result.stderr


def test_find_unit_as_it_ran_on_a_gateway(bleprobe_sim):
    # A gateway's capture (../captures/gateway.btsnoop.gz, made with btmon -w
    # while the program ran there), made a scenario with
    # `bleprobe-sim import gateway.btsnoop.gz > gateway.json`: the unit was
    # heard as the scan started and gave its serial number on the first
    # connection, as it did on the gateway.
    result = find_unit(bleprobe_sim(os.path.join(CAPTURES, 'gateway.json')), '7777-001')
    serial = '00000000-0000-0000-0000-00AA01010001 00AA0101BEEF0042\n'
    assert (result.returncode, result.stdout) == (0, serial), result.stderr
