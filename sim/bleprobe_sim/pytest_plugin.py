"""The pytest fixture `bleprobe_sim`, registered through the pytest11 entry
point of the installed package:

    def test_finds_the_unit(bleprobe_sim):
        served = bleprobe_sim('units.json')        # or a scenario as a dict
        result = subprocess.run(['my-program'], env=served.env)
        served.client.set_powered('/org/bluez/hci0', False)

Each call serves one scenario with `bleprobe-sim serve`, on a private bus of
its own or on one the test gives; everything the fixture served is stopped
at the test's teardown, whether the test passed or not.
"""

import json
import os
import site
import subprocess
import sys
from typing import Any, Dict, Iterator, List, Optional, Union

import pytest

from .bus import START_TIMEOUT
from .client import SimClient
from .waiting import read_address, stop_process

# bleprobe-sim gives up on its bus after 5 s; this is only a backstop.
STOP_GRACE = 5.0
# What serves a scenario: the program that callers run, from the package
# that this plugin belongs to, whatever else is installed or named by the
# caller's PYTHONPATH.
SERVE = [sys.executable, '-m', 'bleprobe_sim', 'serve']
PACKAGE_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def serve_environment() -> Dict[str, str]:
    """os.environ, with the package's directory first on PYTHONPATH unless
    it is where the interpreter finds installed packages anyway (put before
    the standard library, those could shadow it)."""
    if PACKAGE_ROOT in site.getsitepackages() + [site.getusersitepackages()]:
        return dict(os.environ)
    path = os.environ.get('PYTHONPATH')
    return dict(os.environ, PYTHONPATH=PACKAGE_ROOT + (os.pathsep + path if path else ''))


class ServeError(RuntimeError):
    """bleprobe-sim serve did not come up; str() is its own message, or
    why it was given up on."""


class Served:
    """One running `bleprobe-sim serve`.

    address: the bus's address; env: os.environ with
    DBUS_SYSTEM_BUS_ADDRESS set to it, for the program under test;
    client: a SimClient on that bus, to change the simulation while the
    test runs.  Whatever step of the start fails, the process is stopped
    before the error goes on."""

    def __init__(self, scenario: str, errors: str, bus: Optional[str] = None) -> None:
        self.errors = errors
        with open(errors, 'wb') as stderr:
            self.process = subprocess.Popen(
                SERVE + (['--bus', bus] if bus is not None else []) + [scenario],
                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=stderr,
                env=serve_environment())
        self.client: Optional[SimClient] = None
        try:
            self.start()
        except BaseException:
            self.stop()
            raise

    def start(self) -> None:
        try:
            # Bounded as bleprobe-sim bounds its own bus's start-up.
            self.address = read_address(self.process, 'bleprobe-sim serve', START_TIMEOUT)
        except TimeoutError as e:
            raise ServeError(str(e)) from None
        if not self.address:
            status = stop_process(self.process, STOP_GRACE)
            with open(self.errors) as f:
                raise ServeError(f.read().strip() or 'bleprobe-sim serve exited with %d' % status)
        self.env = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=self.address)
        self.client = SimClient(self.address)

    def stop(self) -> int:
        """Stops the simulation (and its bus, unless it was given one);
        returns serve's exit status."""
        if self.client is not None:
            self.client.close()
        return stop_process(self.process, STOP_GRACE)


@pytest.fixture
def bleprobe_sim(tmp_path) -> Iterator[Any]:
    """A factory: bleprobe_sim(scenario) serves a scenario (a file name or
    a dict) on a private bus and returns its Served; bleprobe_sim(scenario,
    bus=address) serves it on a bus that exists already (`serve --bus`)."""
    served: List[Served] = []

    def serve(scenario: Union[str, 'os.PathLike[str]', Dict[str, Any]],
              bus: Optional[str] = None) -> Served:
        n = len(served)
        if isinstance(scenario, dict):
            path = tmp_path / ('bleprobe-sim-%d.json' % n)
            path.write_text(json.dumps(scenario))
            scenario = str(path)
        one = Served(os.fspath(scenario), str(tmp_path / ('bleprobe-sim-%d.err' % n)), bus)
        served.append(one)
        return one

    try:
        yield serve
    finally:
        for one in reversed(served):
            one.stop()
