"""The kit as a Python caller installs it where Debian's packages are not
wanted: pip install of sim/ into a virtual environment that sees the
system's python3-dbus, python3-gi and python3-jsonschema, with no index to
fetch from. The program it installs plays a scenario, and pytest finds the
fixture through the entry point, in the environment's own copy."""

import os
import subprocess

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SIM = os.path.join(ROOT, 'sim')
DEMO = os.path.join(SIM, 'bleprobe_sim', 'demo.json')
TIMEOUT = 120
# What a caller's shell has: nothing that points Python at this source tree.
ENV = {name: value for name, value in os.environ.items() if not name.startswith(('PYTHON', 'PIP_'))}

CALLER = """
import sys

import bleprobe_sim

VENV = %r
PACKAGE = bleprobe_sim.__file__


def test_the_fixture_serves_from_the_environment(bleprobe_sim):
    served = bleprobe_sim({'adapters': [{'index': 0}]})
    assert served.client.get_property('/org/bluez/hci0', 'org.bluez.Adapter1', 'Powered')
    plugin = sys.modules['bleprobe_sim.pytest_plugin'].__file__
    assert [f.startswith(VENV) for f in (PACKAGE, plugin)] == [True, True], (PACKAGE, plugin)
"""


def files(top):
    return sorted(os.path.join(d, f) for d, _, names in os.walk(top) for f in names if '__pycache__' not in d)


@pytest.fixture(scope='module')
def venv(tmp_path_factory):
    """The environment, and the source tree's files before and after pip."""
    path = tmp_path_factory.mktemp('venv')
    subprocess.run(['/usr/bin/python3', '-m', 'venv', '--system-site-packages', str(path)],
                   check=True, timeout=TIMEOUT, env=ENV)
    before = files(SIM)
    pip = subprocess.run([str(path / 'bin' / 'python'), '-m', 'pip', 'install', '--disable-pip-version-check',
                          '--no-index', '--no-build-isolation', SIM],
                         capture_output=True, text=True, timeout=TIMEOUT, env=ENV)
    assert pip.returncode == 0, pip.stdout + pip.stderr
    return path, before, files(SIM)


def test_pip_builds_without_writing_into_the_source_tree(venv):
    _, before, after = venv
    assert after == before


def test_the_program_runs_a_scenario(venv):
    path, _, _ = venv
    program = str(path / 'bin' / 'bleprobe-sim')
    metadata = subprocess.run([str(path / 'bin' / 'python'), '-c',
                               'import importlib.metadata as m; print(m.version("bleprobe-sim"))'],
                              capture_output=True, text=True, timeout=TIMEOUT, env=ENV)
    version = subprocess.run([program, '--version'], capture_output=True, text=True, timeout=TIMEOUT, env=ENV)
    assert version.stdout == 'bleprobe-sim %s' % metadata.stdout, version.stderr + metadata.stderr
    objects = subprocess.run(
        [program, 'run', DEMO, '--', 'sh', '-c', 'dbus-send --bus="$DBUS_SYSTEM_BUS_ADDRESS" --print-reply '
         '--dest=org.bluez / org.freedesktop.DBus.ObjectManager.GetManagedObjects'],
        capture_output=True, text=True, timeout=TIMEOUT, env=ENV)
    assert objects.returncode == 0, objects.stderr
    assert 'object path "/org/bluez/hci0"' in objects.stdout


def test_pytest_finds_the_fixture_through_the_entry_point(venv, tmp_path):
    path, _, _ = venv
    (tmp_path / 'test_caller.py').write_text(CALLER % str(path))
    result = subprocess.run([str(path / 'bin' / 'python'), '-m', 'pytest', '-q', '-p', 'no:cacheprovider',
                             'test_caller.py'],
                            capture_output=True, text=True, timeout=TIMEOUT, cwd=str(tmp_path), env=ENV)
    assert result.returncode == 0, result.stdout + result.stderr
