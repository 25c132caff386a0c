"""Playing a checked scenario: its starting state, its peripherals'
advertisements and its timeline, all through the control interface's
Controller, as a test that drives the simulation would.

Time zero is Player.start(): the starting state, events at 0 included, is
in place when it returns; with timeZero firstDiscovery, the starting state
is, and time zero comes when an adapter first starts discovering.

Every advertisement of every peripheral is one Advertise at its time, in
time order, on one timer: the model's radio decides what the controller
reports of it (model/radio.py), whether BlueZ lists the peripheral or not.

A field the scenario leaves out is not played here: the simulation's own
default plays (the model's, for how an adapter, a device or a
characteristic behaves), which the schema's `default` entries tell.  The
scenario's own defaults (a field with nothing like it in the model) are
taken here, once."""

import bisect
import functools
import heapq
import itertools
import math
from typing import Any, Callable, Dict, Iterator, List, Optional, Tuple

from .control import Controller, UnknownObject
from .model import GattCharacteristic
from .names import adapter_path, device_path, uuid16
from .profiles import DEFAULT_PROFILE

CONNECT_OUTCOMES = {'succeeds': 'ok', 'fails': 'error', 'neverCompletes': 'hang'}
READ_OUTCOMES = {'succeeds': 'value', 'fails': 'error', 'neverAnswers': 'hang',
                 'dropsLink': 'disconnect'}
# Advertisements due this close to a timer's firing are sent by it: the
# clocks count in milliseconds.
DUE = 0.0005

# The PnP ID of bluetoothd 5.55's own Device Information service (USB
# source, the Linux Foundation's vendor id, product 0x0246, version 5.55).
BLUETOOTHD_PNP_ID = bytes.fromhex('026b1d46023705')


def never_if_null(seconds: Optional[float]) -> float:
    return -1.0 if seconds is None else float(seconds)


# Scenario field -> the control interface's option, and how its value is
# written there.
ADAPTER_OPTIONS = {'powered': ('Powered', bool), 'mode': ('Controller', str),
                   'duplicateFilter': ('DuplicateFilter', str)}
CONNECTION_OPTIONS = {
    'outcome': ('ConnectBehaviour', CONNECT_OUTCOMES.__getitem__),
    'delay': ('ConnectDelay', float),
    'error': ('ConnectError', str),
    'errorMessage': ('ConnectErrorMessage', str),
    'servicesResolvedAfter': ('ResolveDelay', never_if_null),
    'disconnectDelay': ('DisconnectDelay', never_if_null),
    'linkLostAfter': ('LinkLostAfter', float),
}
READ_OPTIONS = {
    'serialNumberRead': ('ReadBehaviour', READ_OUTCOMES.__getitem__),
    'readError': ('ReadError', str),
    'readErrorMessage': ('ReadErrorMessage', str),
}


def options(given: Dict[str, Any], table: Dict[str, Any]) -> Dict[str, Any]:
    """The control interface's options for the fields given."""
    return {option: convert(given[key]) for key, (option, convert) in table.items()
            if key in given}


def profile(scenario: Dict[str, Any]) -> str:
    """The bluetoothd release the scenario plays."""
    return scenario.get('bluez', DEFAULT_PROFILE)


def bus_policy(scenario: Dict[str, Any]) -> str:
    """What the bus lets a client send to org.bluez (a key of bus.POLICIES)."""
    return scenario.get('busPolicy', {}).get('bluez', 'allowed')


def uuid_text(uuid: str) -> str:
    return uuid16(uuid) if len(uuid) == 4 else uuid.lower()


def entry_bytes(entry: Dict[str, Any], text_key: str = 'text', hex_key: str = 'hex') -> bytes:
    if hex_key in entry:
        return bytes.fromhex(entry[hex_key])
    return entry.get(text_key, '').encode('utf-8')


def attempts(entry: Any) -> List[Dict[str, Any]]:
    """A connection or gatt field as its entries, one per attempt."""
    return entry if isinstance(entry, list) else [entry]


def run_times(run: Dict[str, Any]) -> Iterator[float]:
    lose = set(run.get('lose', ()))
    first, interval = run['firstAt'], run['interval']
    return (first + n * interval for n in range(run['count']) if n + 1 not in lose)


class Peripheral:
    """One peripheral of a scenario and its advertising schedule."""

    def __init__(self, config: Dict[str, Any], adapter_index: int) -> None:
        self.config = config
        self.address = config['address']
        self.adapter_path = adapter_path('hci%d' % config.get('adapter', adapter_index))
        self.path = device_path(self.adapter_path, self.address)
        self.advertising = config.get('advertising')
        self.known = config.get('knownFromStart', False)
        self.lose = set((self.advertising or {}).get('lose', []))
        self.sent = 0        # advertisements so far, lost ones included
        # The data advertised from each time on, in time order, and the one
        # in effect at the last advertisement.
        self.changes: List[Tuple[float, Dict[str, bytes]]] = []
        for entry in (self.advertising or {}).get('serviceData', []):
            since = entry.get('from', 0)
            if not self.changes or self.changes[-1][0] != since:
                self.changes.append((since, {}))
            self.changes[-1][1][uuid_text(entry['uuid'])] = entry_bytes(entry)
        self.changes.sort(key=lambda change: change[0])
        self.starts = [since for since, _ in self.changes]
        self.current = -1

    def data_at(self, t: float) -> Optional[Dict[str, bytes]]:
        """The ServiceData advertised at time t: the entries of the latest
        `from` not after t."""
        n = bisect.bisect_right(self.starts, t) - 1
        return self.changes[n][1] if n >= 0 else None

    def data_next(self, t: float) -> Optional[Dict[str, bytes]]:
        """data_at(t) for times that only grow, in constant time."""
        changes = self.changes
        while self.current + 1 < len(changes) and changes[self.current + 1][0] <= t:
            self.current += 1
        return changes[self.current][1] if self.current >= 0 else None

    def times(self) -> Iterator[float]:
        """The advertisements' times, lazily (an interval repeats forever)."""
        assert self.advertising is not None
        if 'interval' in self.advertising:
            first, interval = self.advertising.get('firstAt', 0), self.advertising['interval']
            return (first + n * interval for n in itertools.count())
        return iter(heapq.merge(iter(self.advertising.get('at', [])),
                                *[run_times(run) for run in self.advertising.get('runs', [])]))


class Player:
    """Plays a checked scenario on a Simulation, or on anything with its
    `controller` (a model without a bus).  Create it before the simulation's
    names are owned, and call start() once they are."""

    def __init__(self, sim: Any, scenario: Dict[str, Any]) -> None:
        self.ctl: Controller = sim.controller
        self.world = self.ctl.world
        self.clock = self.world.clock
        self.scenario = scenario
        self.adapters = scenario.get('adapters', [])
        indexes = [a['index'] for a in self.adapters]
        lowest = min(indexes, default=0)
        self.default_adapter = adapter_path('hci%d' % lowest)
        self.peripherals = [Peripheral(p, lowest) for p in scenario.get('peripherals', [])]
        self.by_address = {p.address: p for p in self.peripherals}
        self.zero = 0.0
        self.bluetoothd_gone = False
        # The next advertisement of each peripheral: (time, number, the
        # peripheral, the rest of its times), earliest first.
        self.due: List[Tuple[float, int, Peripheral, Iterator[float]]] = []
        self.setup()

    # -- the starting state -------------------------------------------------
    def setup(self) -> None:
        for adapter in sorted(self.adapters, key=lambda a: a['index']):
            props = options(adapter, ADAPTER_OPTIONS)
            if 'address' in adapter:
                props['Address'] = adapter['address']
            if 'asHeard' in self.scenario:
                props['AsHeard'] = bool(self.scenario['asHeard'])
            self.ctl.AddAdapter('hci%d' % adapter['index'], props)
        for p in self.peripherals:
            props = {}
            if 'addressType' in p.config:
                props['AddressType'] = p.config['addressType']
            if p.known:
                data = p.data_at(0) if p.advertising else None
                self.ctl.AddDevice(p.adapter_path, p.address,
                                   dict(props, ServiceData=data) if data is not None else props)
            # In range from the start, silent until its first advertisement,
            # heard only at its own.
            self.ctl.AddPeripheralInRange(p.adapter_path, p.address, dict(props, Often=False))
            self.configure(p)

    def configure(self, p: Peripheral) -> None:
        """The peripheral's connection and GATT database, set before any
        client can call it: BlueZ learns its services when it connects.
        Lists of them are one entry per connection attempt, each over the
        model's defaults."""
        self.ctl.ConfigureDevice(p.path, {'GattOnConnect': True})
        connection = p.config.get('connection', {})
        if isinstance(connection, list):
            for n, entry in enumerate(connection, 1):
                self.ctl.ConfigureDevice(p.path, dict(options(entry, CONNECTION_OPTIONS), Attempt=n))
        else:
            self.ctl.ConfigureDevice(p.path, options(connection, CONNECTION_OPTIONS))
        gatts = attempts(p.config.get('gatt'))
        gatt = gatts[0]
        gap = self.ctl.AddService(p.path, uuid16('1800'), {})
        if gatt is not None and 'deviceName' in gatt:
            self.ctl.AddCharacteristic(gap, uuid16('2a00'), {'Value': gatt['deviceName'].encode()})
        self.ctl.AddService(p.path, uuid16('1801'), {})
        if gatt is not None and gatt.get('bluetoothdDeviceInformation', False):
            # A peripheral running bluetoothd 5.55 (own-device-information
            # in doc/bluez-behaviour.md)
            own = self.ctl.AddService(p.path, uuid16('180a'), {})
            self.ctl.AddCharacteristic(own, uuid16('2a50'), {'Value': BLUETOOTHD_PNP_ID})
        if gatt is None or not gatt.get('deviceInformation', True):
            return
        dis = self.ctl.AddService(p.path, uuid16('180a'), {})
        if 'manufacturerName' in gatt:
            self.ctl.AddCharacteristic(dis, uuid16('2a29'),
                                       {'Value': gatt['manufacturerName'].encode()})
        if 'serialNumber' not in gatt and 'serialNumberHex' not in gatt:
            return
        serial = self.ctl.AddCharacteristic(dis, uuid16('2a25'), dict(
            options(gatt, READ_OPTIONS), Value=entry_bytes(gatt, 'serialNumber', 'serialNumberHex')))
        if len(gatts) > 1:
            for n, entry in enumerate(gatts, 1):
                self.ctl.ConfigureCharacteristic(serial, dict(
                    GattCharacteristic.DEFAULT_READ, **options(entry, READ_OPTIONS),
                    Value=entry_bytes(entry, 'serialNumber', 'serialNumberHex'), Attempt=n))

    # -- time ---------------------------------------------------------------
    def start(self) -> None:
        """Time zero: what happens at 0 happens now, the rest is timed from
        now; with timeZero firstDiscovery, all of it once an adapter first
        starts discovering."""
        if not self.scenario.get('bluetoothdRunning', True):
            self.bluetoothd_gone = True
            self.ctl.ReleaseBluezName()
        if self.scenario.get('timeZero', 'start') == 'firstDiscovery':
            self.world.discovery_watchers.append(self.first_discovery)
        else:
            self.begin()

    def first_discovery(self, _adapter: Any) -> None:
        self.world.discovery_watchers.remove(self.first_discovery)
        self.begin()

    def begin(self) -> None:
        self.zero = self.clock.now()
        for n, p in enumerate(self.peripherals):
            if p.advertising:
                self.queue(n, p, p.times())
        for event in self.scenario.get('timeline', []):
            self.at(event['at'], functools.partial(self.happen, event))
        self.advertise_due()

    def at(self, t: float, func: Callable[[], Any]) -> None:
        """Run func at scenario time t (now, if that has passed)."""
        delay = self.zero + t - self.clock.now()
        if delay <= 0:
            func()
        else:
            self.clock.later(delay, func)

    def queue(self, n: int, p: Peripheral, times: Iterator[float]) -> None:
        when = next(times, None)
        if when is not None:
            heapq.heappush(self.due, (when, n, p, times))

    def advertise_due(self) -> None:
        """Every advertisement due now, in time order, then the timer for
        the next one."""
        now = self.clock.now() - self.zero
        due = self.due
        while due and due[0][0] <= now + DUE:
            t, n, p, times = heapq.heappop(due)
            self.advertise(p, t)
            self.queue(n, p, times)
        if due:
            # To the next millisecond, which the clocks count in: a timer
            # due sooner would fire with nothing to send.
            delay = math.ceil(max(0.0, due[0][0] - now - DUE) * 1000) / 1000
            self.clock.later(delay, self.advertise_due)

    def advertise(self, p: Peripheral, t: float) -> None:
        p.sent += 1
        data = p.data_next(t)
        if p.sent in p.lose or data is None or self.bluetoothd_gone:
            return  # lost in the air, nothing on the air, or no bluetoothd to tell
        try:
            self.ctl.Advertise(p.path, data)
        except UnknownObject:
            pass  # nobody hears: the adapter is gone

    def happen(self, event: Dict[str, Any]) -> None:
        kind = event['event']
        adapter = adapter_path('hci%d' % event['adapter']) if 'adapter' in event \
            else self.default_adapter
        try:
            if kind in ('adapterPoweredOff', 'adapterPoweredOn'):
                self.ctl.SetProperties(adapter, 'org.bluez.Adapter1',
                                       {'Powered': kind == 'adapterPoweredOn'}, True)
            elif kind == 'adapterRemoved':
                self.ctl.RemoveObject(adapter)
            elif kind == 'discoveryStopped':
                self.ctl.HaltDiscovery(adapter)
            elif kind == 'discoveryRestarted':
                self.ctl.RestartDiscovery(adapter)
            elif kind == 'bluetoothdGone':
                self.bluetoothd_gone = True
                self.ctl.Shutdown()
            elif kind == 'peripheralForgotten':
                self.ctl.ForgetDevice(self.by_address[event['peripheral']].path)
            elif kind == 'linkLost':
                self.ctl.DropLink(self.by_address[event['peripheral']].path)
        except UnknownObject:
            pass  # what the event acts on is not there (removed, not yet found)
