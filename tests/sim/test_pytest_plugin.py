"""The pytest fixture bleprobe_sim, as a caller's test file uses it: each
served scenario works, a bad one fails the test with bleprobe-sim's own
line, and nothing is left once the tests end, failed ones included."""

import importlib.util
import os
import subprocess
import sys

import pytest
from test_bleprobe_sim import REPO, SIM_DIR, TIMEOUT, leftovers
from test_packaging import changelog_version

CALLER = """
import pytest

from bleprobe_sim.pytest_plugin import ServeError

ADDRESSES = %r


def note(served):
    with open(ADDRESSES, 'a') as f:
        f.write(served.address + '\\n')


def test_two_scenarios_then_a_failure(bleprobe_sim):
    first = bleprobe_sim({'adapters': [{'index': 0}]})
    second = bleprobe_sim(%r)
    note(first)
    note(second)
    assert first.env['DBUS_SYSTEM_BUS_ADDRESS'] == first.address != second.address
    first.client.set_powered('/org/bluez/hci0', False)
    first.client.wait_property('/org/bluez/hci0', 'org.bluez.Adapter1', 'Powered', False)
    assert second.client.get_property('/org/bluez/hci0', 'org.bluez.Adapter1', 'Powered')
    assert False, 'the test fails; the fixture still stops both'


def test_a_bad_scenario_is_bleprobe_sims_line(bleprobe_sim):
    with pytest.raises(ServeError, match=r': \\$\\.adapters: .* is not of type .array.$'):
        bleprobe_sim({'adapters': 'hci0'})
"""


def test_the_fixture_serves_and_stops_everything_even_when_a_test_fails(tmp_path):
    addresses = tmp_path / 'addresses'
    caller = tmp_path / 'test_caller.py'
    caller.write_text(CALLER % (str(addresses),
                                os.path.join(SIM_DIR, 'bleprobe_sim', 'demo.json')))
    result = subprocess.run([sys.executable, '-m', 'pytest', '-q', '-p', 'no:cacheprovider',
                             '-p', 'bleprobe_sim.pytest_plugin', str(caller)],
                            capture_output=True, text=True, timeout=TIMEOUT, cwd=str(tmp_path),
                            env=dict(os.environ, PYTHONPATH=SIM_DIR))
    assert '1 failed, 1 passed' in result.stdout, result.stdout + result.stderr
    assert 'the test fails; the fixture still stops both' in result.stdout
    served = addresses.read_text().split()
    assert len(served) == 2
    assert [leftovers(a) for a in served] == [[], []]


# What cmake --install builds and installs the kit's wheel with
# (cmake/install_wheel.py): Debian 11 has none of it, and runs the kit from
# the source tree (scripts/install-deps.sh).
WHEEL_TOOLS = [name for name in ('build', 'installer', 'hatchling') if importlib.util.find_spec(name) is None]


@pytest.mark.skipif(bool(WHEEL_TOOLS), reason='no Python module %s to build and install the wheel with '
                    '(Debian 11 has none)' % ', '.join(WHEEL_TOOLS))
def test_the_installed_layout_registers_the_fixture(tmp_path):
    """What cmake --install lays out under a prefix is what pytest and the
    program find: the package, its entry point, the program."""
    build = tmp_path / 'build'
    # A space, which the program's shebang and the install step must quote.
    prefix = tmp_path / 'a prefix'
    configure = subprocess.run(['cmake', '-S', REPO, '-B', str(build), '-DBLEPROBE_TESTS=OFF',
                                '-DCMAKE_INSTALL_PREFIX=' + str(prefix)],
                               capture_output=True, text=True, timeout=120)
    assert configure.returncode == 0, configure.stderr
    # Nothing is built: the kit's files are installed alone, twice, as
    # over an earlier install.
    for _ in range(2):
        install = subprocess.run(['cmake', '--install', str(build), '--component', 'sim'],
                                 capture_output=True, text=True, timeout=120)
        assert install.returncode == 0, install.stdout + install.stderr
    site = prefix / 'lib' / 'python3' / 'dist-packages'
    assert (site / 'bleprobe_sim' / 'pytest_plugin.py').is_file(), install.stderr
    assert (prefix / 'share' / 'bleprobe-sim' / 'scenario.schema.json').is_file()
    # entry_points(group=) came with Python 3.10; 3.9 (Debian 11) gives a dict
    entry = subprocess.run(
        [sys.executable, '-c', 'import importlib.metadata as m; e = m.entry_points(); '
         'e = e.select(group="pytest11") if hasattr(e, "select") else e.get("pytest11", []); '
         'print([x.value for x in e if x.name == "bleprobe_sim.pytest_plugin"])'],
        capture_output=True, text=True, timeout=TIMEOUT, env=dict(os.environ, PYTHONPATH=str(site)))
    assert entry.stdout.strip() == "['bleprobe_sim.pytest_plugin']", entry.stderr
    # Named -p on a machine where the package is installed too (a source
    # tree's tests), the plugin is the entry point's, loaded once.
    (tmp_path / 'test_uses.py').write_text('def test_uses(bleprobe_sim):\n    pass\n')
    both = subprocess.run([sys.executable, '-m', 'pytest', '-p', 'bleprobe_sim.pytest_plugin',
                           '--collect-only', '-q', str(tmp_path / 'test_uses.py')],
                          capture_output=True, text=True, timeout=TIMEOUT, cwd=str(tmp_path),
                          env=dict(os.environ, PYTHONPATH=str(site)))
    assert both.returncode == 0, both.stdout + both.stderr
    version = subprocess.run([str(prefix / 'bin' / 'bleprobe-sim'), '--version'],
                             capture_output=True, text=True, timeout=TIMEOUT)
    assert version.stdout == 'bleprobe-sim %s\n' % changelog_version(), version.stderr
    assert (site / ('bleprobe_sim-%s.dist-info' % changelog_version())).is_dir()


# Each step of a serve that fails leaves nothing running: ADDRESSES gets the
# address of the serve whose client was refused, for the check afterwards.
FAILED_STARTS = """
import os
import sys
import pytest
import time

import dbus
import pytest

from bleprobe_sim import pytest_plugin
from bleprobe_sim.pytest_plugin import ServeError

ADDRESSES = %r


def refused(address):
    with open(ADDRESSES, 'a') as f:
        f.write(address + '\\n')
    raise dbus.DBusException('refused')


def test_a_client_that_cannot_connect_stops_its_serve(bleprobe_sim, monkeypatch):
    monkeypatch.setattr(pytest_plugin, 'SimClient', refused)
    with pytest.raises(dbus.DBusException, match='refused'):
        bleprobe_sim({'adapters': [{'index': 0}]})


def test_a_serve_that_prints_nothing_is_given_up_after_5_s(bleprobe_sim, monkeypatch):
    monkeypatch.setattr(pytest_plugin, 'SERVE', [sys.executable, '-c', 'import time; time.sleep(300)'])
    start = time.monotonic()
    with pytest.raises(ServeError, match='^bleprobe-sim serve printed no address within 5 s$'):
        bleprobe_sim({})
    assert 4.9 <= time.monotonic() - start < 6.5
    with pytest.raises(ChildProcessError):
        os.waitpid(-1, os.WNOHANG)
"""


def test_a_serve_that_fails_at_any_step_leaves_nothing(tmp_path):
    addresses = tmp_path / 'addresses'
    caller = tmp_path / 'test_failed_starts.py'
    caller.write_text(FAILED_STARTS % str(addresses))
    result = subprocess.run([sys.executable, '-m', 'pytest', '-q', '-p', 'no:cacheprovider',
                             '-p', 'bleprobe_sim.pytest_plugin', str(caller)],
                            capture_output=True, text=True, timeout=TIMEOUT, cwd=str(tmp_path),
                            env=dict(os.environ, PYTHONPATH=SIM_DIR))
    assert '2 passed' in result.stdout, result.stdout + result.stderr
    assert [leftovers(a) for a in addresses.read_text().split()] == [[]]
