"""Playing a checked scenario: its starting state, its peripherals'
advertisements and its timeline, all through the control interface's
Controller, as a test that drives the simulation would.

Time zero is Player.start(): the starting state, events at 0 included, is
in place when it returns.

A field the scenario leaves out is not played here: the simulation's own
default plays (the model's, for how an adapter, a device or a
characteristic behaves), which the schema's `default` entries tell.  The
scenario's own defaults (a field with nothing like it in the model) are
taken here, once."""

import functools
from typing import Any, Callable, Dict, Iterator, List, Optional

from .control import Controller, UnknownObject
from .names import adapter_path, device_path, uuid16
from .profiles import DEFAULT_PROFILE, OWN_PNP_ID

CONNECT_OUTCOMES = {'succeeds': 'ok', 'fails': 'error', 'neverCompletes': 'hang'}
READ_OUTCOMES = {'succeeds': 'value', 'fails': 'error', 'neverAnswers': 'hang',
                 'dropsLink': 'disconnect'}


def never_if_null(seconds: Optional[float]) -> float:
    return -1.0 if seconds is None else float(seconds)


# Scenario field -> the control interface's option, and how its value is
# written there.
ADAPTER_OPTIONS = {'powered': ('Powered', bool), 'mode': ('Controller', str)}
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


class Peripheral:
    """One peripheral of a scenario and its advertising schedule."""

    def __init__(self, config: Dict[str, Any], adapter_index: int) -> None:
        self.config = config
        self.address = config['address']
        self.adapter_path = adapter_path('hci%d' % config.get('adapter', adapter_index))
        self.path = device_path(self.adapter_path, self.address)
        self.advertising = config.get('advertising')
        self.known = config.get('knownFromStart', False)
        self.lose: List[int] = (self.advertising or {}).get('lose', [])
        self.sent = 0        # advertisements so far, lost ones included
        self.on_air = False  # in range from its first advertisement on

    def data_at(self, t: float) -> Optional[Dict[str, bytes]]:
        """The ServiceData advertised at time t: the entries of the latest
        `from` not after t."""
        assert self.advertising is not None
        entries = [(e.get('from', 0), e) for e in self.advertising['serviceData']]
        start = max([since for since, _ in entries if since <= t], default=None)
        if start is None:
            return None
        return {uuid_text(e['uuid']): entry_bytes(e) for since, e in entries if since == start}

    def times(self) -> Iterator[float]:
        """The advertisements' times, lazily (an interval repeats forever)."""
        assert self.advertising is not None
        if 'at' in self.advertising:
            yield from self.advertising['at']
            return
        first, interval, n = self.advertising.get('firstAt', 0), self.advertising['interval'], 0
        while True:
            yield first + n * interval
            n += 1


class Player:
    """Plays a checked scenario on a Simulation, or on anything with its
    `controller` (a model without a bus).  Create it before the simulation's
    names are owned, and call start() once they are."""

    def __init__(self, sim: Any, scenario: Dict[str, Any]) -> None:
        self.ctl: Controller = sim.controller
        self.clock = self.ctl.world.clock
        self.scenario = scenario
        self.adapters = scenario.get('adapters', [])
        indexes = [a['index'] for a in self.adapters]
        lowest = min(indexes, default=0)
        self.default_adapter = adapter_path('hci%d' % lowest)
        self.peripherals = [Peripheral(p, lowest) for p in scenario.get('peripherals', [])]
        self.by_address = {p.address: p for p in self.peripherals}
        self.zero = 0.0
        self.bluetoothd_gone = False
        self.setup()

    # -- the starting state -------------------------------------------------
    def setup(self) -> None:
        for adapter in sorted(self.adapters, key=lambda a: a['index']):
            props = options(adapter, ADAPTER_OPTIONS)
            if 'address' in adapter:
                props['Address'] = adapter['address']
            self.ctl.AddAdapter('hci%d' % adapter['index'], props)
        for p in self.peripherals:
            if p.known:
                props = {}
                data = p.data_at(0) if p.advertising else None
                if data is not None:
                    props['ServiceData'] = data
                self.ctl.AddDevice(p.adapter_path, p.address, props)
                self.configure(p)

    def configure(self, p: Peripheral) -> None:
        """The peripheral's connection and GATT database, set before any
        client can call it: BlueZ learns its services when it connects."""
        self.ctl.ConfigureDevice(p.path, dict(options(p.config.get('connection', {}),
                                                      CONNECTION_OPTIONS), GattOnConnect=True))
        gatt = p.config.get('gatt')
        gap = self.ctl.AddService(p.path, uuid16('1800'), {})
        if gatt is not None and 'deviceName' in gatt:
            self.ctl.AddCharacteristic(gap, uuid16('2a00'), {'Value': gatt['deviceName'].encode()})
        self.ctl.AddService(p.path, uuid16('1801'), {})
        if self.ctl.world.profile['own_device_information']:
            own = self.ctl.AddService(p.path, uuid16('180a'), {})
            self.ctl.AddCharacteristic(own, uuid16('2a50'), {'Value': OWN_PNP_ID})
        if gatt is None or not gatt.get('deviceInformation', True):
            return
        dis = self.ctl.AddService(p.path, uuid16('180a'), {})
        if 'manufacturerName' in gatt:
            self.ctl.AddCharacteristic(dis, uuid16('2a29'),
                                       {'Value': gatt['manufacturerName'].encode()})
        if 'serialNumber' in gatt or 'serialNumberHex' in gatt:
            self.ctl.AddCharacteristic(dis, uuid16('2a25'), dict(
                options(gatt, READ_OPTIONS),
                Value=entry_bytes(gatt, 'serialNumber', 'serialNumberHex')))

    # -- time ---------------------------------------------------------------
    def start(self) -> None:
        """Time zero: what happens at 0 happens now, the rest is timed from now."""
        self.zero = self.clock.now()
        if not self.scenario.get('bluetoothdRunning', True):
            self.bluetoothd_gone = True
            self.ctl.ReleaseBluezName()
        for p in self.peripherals:
            if p.advertising:
                self.schedule_advertisement(p, p.times())
        for event in self.scenario.get('timeline', []):
            self.at(event['at'], functools.partial(self.happen, event))

    def at(self, t: float, func: Callable[[], Any]) -> None:
        """Run func at scenario time t (now, if that has passed)."""
        delay = self.zero + t - self.clock.now()
        if delay <= 0:
            func()
        else:
            self.clock.later(delay, func)

    def schedule_advertisement(self, p: Peripheral, times: Iterator[float]) -> None:
        when = next(times, None)
        if when is None:
            return
        t: float = when

        def advertise() -> None:
            p.sent += 1
            assert p.advertising is not None
            self.advertise(p, p.data_at(t), lost=p.sent in p.lose)
            self.schedule_advertisement(p, times)
        self.at(t, advertise)

    def advertise(self, p: Peripheral, data: Optional[Dict[str, bytes]], lost: bool) -> None:
        if data is None or self.bluetoothd_gone:
            return  # nothing on the air, or no bluetoothd to tell anybody
        assert p.advertising is not None
        try:
            if not p.on_air:
                props: Dict[str, Any] = {'ServiceData': data}
                if 'interval' in p.advertising:
                    # A peripheral that advertises at an interval gets the
                    # simulation's radio, counting from this advertisement: a
                    # discovery then hears it at its own advertisements, once
                    # per round, and not at the start of every round, which
                    # would find a slow advertiser sooner than a controller does.
                    lose: List[int] = [n - p.sent + 1 for n in p.lose if n >= p.sent]
                    props.update({'Interval': p.advertising['interval'], 'Phase': 0.0,
                                  'Lose': lose})
                elif lost:
                    return  # still silent as far as anybody can tell
                # From its first advertisement on the peripheral is in range:
                # the controller reports it once per discovery round.
                self.ctl.AddPeripheralInRange(p.adapter_path, p.address, props)
                p.on_air = True
                if not p.known:
                    self.configure(p)
            if not lost:
                # Heard only while a discovery runs; a device BlueZ does not
                # list is found later with what it advertises now.
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
            elif kind == 'bluetoothdGone':
                self.bluetoothd_gone = True
                self.ctl.Shutdown()
            elif kind == 'peripheralForgotten':
                self.ctl.ForgetDevice(self.by_address[event['peripheral']].path)
            elif kind == 'linkLost':
                self.ctl.DropLink(self.by_address[event['peripheral']].path)
        except UnknownObject:
            pass  # what the event acts on is not there (removed, not yet found)
