"""The installed packages: the files their manual pages name, and
/usr/bin/bleprobe against the simulated bluetoothd (one scan line, one
identity line, each checked against its mode's schema by the harness)."""

import glob
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, os.pardir, 'integration'))

import harness  # noqa: E402

import bleprobe_sim as bleprobe_sim_package  # noqa: E402

DOC = '/usr/share/doc/bleprobe/'
# The demo scenario's peripheral with a Device Information service.
READABLE = '00000000-0000-0000-0000-D43F7A100004'


def test_the_packages_install_what_the_manual_pages_name():
    assert harness.BLEPROBE == '/usr/bin/bleprobe'
    paths = ['/usr/bin/bleprobe', '/usr/share/man/man1/bleprobe.1.gz', DOC + 'copyright',
             DOC + 'protocol.md', DOC + 'schema/scan.schema.json', DOC + 'schema/dfu.schema.json',
             DOC + 'schema/identity.schema.json', '/usr/bin/bleprobe-sim',
             '/usr/share/man/man1/bleprobe-sim.1.gz',
             '/usr/share/bleprobe-sim/scenario.schema.json',
             '/usr/lib/python3/dist-packages/bleprobe_sim/pytest_plugin.py']
    assert [p for p in paths if not os.path.isfile(p)] == []
    # The fixture's entry point, where pytest looks for it.
    assert len(glob.glob('/usr/lib/python3/dist-packages/bleprobe_sim-*.dist-info/entry_points.txt')) == 1


def test_installed_binary_scans_and_reads_a_serial_number(bleprobe_sim):
    # The installed fixture serves the installed package's demo scenario.
    bus = harness.Bus()
    sim = harness.Sim(bleprobe_sim(os.path.join(os.path.dirname(bleprobe_sim_package.__file__),
                                                'demo.json'), bus=bus.address))
    assert bleprobe_sim_package.__file__.startswith('/usr/lib/python3/dist-packages/')
    tools = []
    try:
        scan = harness.Tool([], bus.address)
        tools.append(scan)
        [line] = scan.wait_lines(1)
        assert set(line) == {'deviceId', 'unitNumber'}
        scan.terminate()
        assert scan.finish()[0] == 0

        identity = harness.Tool(['--identity', READABLE], bus.address)
        tools.append(identity)
        assert identity.finish() == (0, [{'deviceId': READABLE, 'serial': '8C3F00A1B2C3D4E5'}])
    finally:
        for tool in tools:
            tool.cleanup()
        sim.close()
        bus.close()
