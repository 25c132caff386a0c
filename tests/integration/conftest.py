"""pytest fixtures for the integration tests; the machinery is in harness.py."""

import pytest

from bleprobe_sim import pytest_plugin
from harness import Bus, Sim, Tool

# The fixture that callers use serves every simulated bluetoothd of the suite.
bleprobe_sim = pytest_plugin.bleprobe_sim


@pytest.fixture
def make_bus():
    buses = []

    def make(extra_policy=''):
        bus = Bus(extra_policy)
        buses.append(bus)
        return bus
    yield make
    for bus in buses:
        bus.close()


@pytest.fixture
def bus(make_bus):
    return make_bus()


@pytest.fixture
def profile():
    """The bluetoothd release the simulation plays; a test parametrized over
    `profile` runs against each release it names."""
    return '5.66'


@pytest.fixture
def make_sim(profile, bleprobe_sim):
    """make(bus): bleprobe-sim serve on that bus, playing `profile` with no
    adapter yet; `scenario` adds to that."""
    sims = []

    def make(bus, scenario=None, profile=profile):
        sim = Sim(bleprobe_sim(dict(scenario or {}, bluez=profile), bus=bus.address))
        sims.append(sim)
        return sim
    yield make
    for sim in sims:
        sim.close()


@pytest.fixture
def sim(bus, make_sim):
    """Simulated bluetoothd with no adapter yet."""
    return make_sim(bus)


@pytest.fixture
def bluez(sim):
    """Simulated bluetoothd with one powered adapter, hci0."""
    sim.add_adapter('hci0', Powered=True)
    return sim


@pytest.fixture
def run_tool():
    tools = []

    def run(args, address):
        tool = Tool(args, address)
        tools.append(tool)
        return tool
    yield run
    for tool in tools:
        tool.cleanup()
    # Lines that a test did not wait for are held to the same contract.
    for tool in tools:
        tool.check_all_lines()
