"""A device bluetoothd knows of: its connection, its temporary timer and the
GATT objects it shows once services are resolved."""

from typing import Any, Callable, Dict, List, Optional, Tuple

from ..names import BEARER_LE, DEVICE, GATT_CHARACTERISTIC, GATT_SERVICE, device_path, uuid16
from ..profiles import DISCONNECT_REASONS
from .errors import BluezError, failed, not_ready
from .gatt import GattCharacteristic
from .objects import ModelObject

Reply = Callable[[], None]
Error = Callable[[BluezError], None]

CONNECT_BEHAVIOURS = ('ok', 'error', 'hang')
DEVICE_NAME = uuid16('2a00')


class Device(ModelObject):
    DEFAULT_BEHAVIOUR: Dict[str, Any] = {
        'ConnectBehaviour': 'ok',         # ok | error | hang
        'ConnectError': 'org.bluez.Error.Failed',
        'ConnectErrorMessage': 'le-connection-abort-by-local',
        'ConnectDelay': 0.05,
        'EmitConnected': False,           # 5.66 usually leaves it out (connected_at_start)
        'ResolveDelay': 0.3,              # < 0: ServicesResolved never turns true
        'GattOnConnect': False,           # export GATT objects only once connected
        'DisconnectDelay': 0.2,           # < 0: the link is never dropped
        # >= 0: ServicesResolved is signalled this long before the InterfacesAdded
        # of the GATT objects (which are registered, and listed, already).
        'ObjectsAfterResolved': -1.0,
        'LinkLostAfter': -1.0,            # >= 0: the link drops this long after it came up
    }

    def __init__(self, world: Any, adapter_path: str, address: str,
                 props: Dict[str, Any]) -> None:
        dev: Dict[str, Any] = {
            'Address': address, 'AddressType': 'random', 'Alias': address.replace(':', '-'),
            'Paired': False, 'Bonded': False, 'Trusted': False, 'Blocked': False,
            'LegacyPairing': False, 'RSSI': -61, 'Connected': False, 'UUIDs': [],
            'Adapter': adapter_path, 'ServicesResolved': False,
        }
        # A test may deliberately hand in an Address of the wrong type.
        dev.update({str(k): v for k, v in props.items()})
        interfaces = {DEVICE: dev}
        if world.profile['bearer']:
            interfaces[BEARER_LE] = {'Adapter': adapter_path, 'Paired': False, 'Bonded': False,
                                     'Connected': bool(dev['Connected'])}
        super().__init__(world, device_path(adapter_path, address), interfaces)
        self.adapter_path = adapter_path
        self.address = address
        # What ConfigureDevice set for every connection attempt, and for the
        # attempts from a number on (n -> options); behaviour is what holds
        # for the attempt under way or the next one.
        self.base = dict(self.DEFAULT_BEHAVIOUR)
        self.attempt_options: Dict[int, Dict[str, Any]] = {}
        self.attempts = 0
        self.behaviour = dict(self.base)
        self.pending_connect: Optional[Tuple[Reply, Error]] = None
        self.pending_disconnects: List[Reply] = []
        self.pending_reads: List[Error] = []
        self.hidden_gatt: List[ModelObject] = []   # exported once services resolve
        self.timers: List[Any] = []
        # Created by a discovery: forgotten TemporaryTimeout after it was last
        # seen, unless a Connect made it known for good first.
        self.temporary = False
        self.temporary_timer: Any = None

    @property
    def connected(self) -> bool:
        return bool(self.prop(DEVICE, 'Connected'))

    @property
    def usable(self) -> bool:
        """Connected, and not merely at the start of a Connect."""
        return self.connected and self.pending_connect is None

    def configure(self, options: Dict[str, Any], attempt: Optional[int] = None) -> None:
        """options for every connection attempt, or for the attempts from
        number `attempt` (1 for the first) until one with options of its
        own: each attempt takes the options of the latest such number over
        those for every attempt, so that a capture's attempts replay in
        order and the last one repeats."""
        if attempt is None:
            self.base.update(options)
        else:
            self.attempt_options.setdefault(attempt, {}).update(options)
        self.behaviour = self.effective(max(self.attempts, 1))

    def effective(self, attempt: int) -> Dict[str, Any]:
        return dict(self.base, **self.attempt_options.get(self.configured_attempt(attempt), {}))

    def configured_attempt(self, attempt: int) -> int:
        """The number whose options attempt `attempt` takes (0: none)."""
        return max((n for n in self.attempt_options if n <= attempt), default=0)

    def later(self, delay: float, func: Callable[[], Any]) -> None:
        self.timers.append(self.world.later(delay, func))

    # bluetoothd keeps one timer per temporary device (device.c): started
    # when a discovery creates it and restarted by each report of it. Connect
    # makes the device known for good before anything else, so neither a
    # Connect under way nor a device once connected is dropped by the timer.
    def set_temporary(self, temporary: bool) -> None:
        self.temporary = temporary
        self.seen()

    def seen(self) -> None:
        self.world.cancel(self.temporary_timer)
        self.temporary_timer = None
        if self.temporary:
            self.temporary_timer = self.world.later(self.world.temporary_timeout,
                                                    self.disappeared)

    def disappeared(self) -> None:
        self.temporary_timer = None
        adapter = self.world.adapter(self.adapter_path)
        if adapter is not None and self.listed:
            adapter.forget(self)

    def connect(self, reply: Reply, error: Error) -> None:
        adapter = self.world.adapter(self.adapter_path)
        if adapter is None or not adapter.powered:
            error(not_ready())
            return
        if self.pending_connect is not None:
            error(BluezError('org.bluez.Error.InProgress', 'In Progress'))
            return
        if self.connected:
            reply()
            return
        self.set_temporary(False)
        self.attempts += 1
        self.behaviour = self.effective(self.attempts)
        how = self.behaviour['ConnectBehaviour']
        self.pending_connect = (reply, error)
        if self.world.profile['connected_at_start']:
            # Connected but not usable: reads fail until Connect is answered.
            self.change(DEVICE, {'Connected': True})
        if how == 'hang':
            return
        if how == 'error':
            self.later(self.behaviour['ConnectDelay'], self.connect_failed)
            return
        self.later(self.behaviour['ConnectDelay'], self.link_up)

    def connect_failed(self) -> None:
        if self.pending_connect is not None:
            _, error = self.pending_connect
            self.pending_connect = None
            error(BluezError(self.behaviour['ConnectError'],
                             self.behaviour['ConnectErrorMessage']))
            # A Connected=true already signalled is taken back.
            self.link_gone('local')

    def link_up(self) -> None:
        if self.pending_connect is None:
            return
        reply, _ = self.pending_connect
        self.pending_connect = None
        if not self.connected:
            self.change(DEVICE, {'Connected': True}, emit=self.behaviour['EmitConnected'])
        if BEARER_LE in self.interfaces:
            self.change(BEARER_LE, {'Connected': True})
        reply()
        if self.behaviour['ResolveDelay'] >= 0:
            self.later(self.behaviour['ResolveDelay'], self.resolve_services)
        if self.behaviour['LinkLostAfter'] >= 0:
            self.later(self.behaviour['LinkLostAfter'], self.drop_link)

    def resolve_services(self) -> None:
        if not self.connected:
            return
        late = self.behaviour['ObjectsAfterResolved']
        announce = late < 0
        for obj in self.hidden_gatt:
            self.world.export(obj, announce=announce)
        if not announce:
            objs = list(self.hidden_gatt)
            self.later(late, lambda: [self.world.announce(o) for o in objs if o.listed])
        self.hidden_gatt = []
        # bluetoothd announces the resolved services together with what the
        # GATT client learnt: the service UUIDs and the peer's name, read
        # from its Device Name characteristic (0x2A00) when it has one.
        below = self.world.below(self.path)
        changed: Dict[str, Any] = {'UUIDs': sorted({str(o.prop(GATT_SERVICE, 'UUID'))
                                                    for o in below if GATT_SERVICE in o.interfaces})}
        for o in below:
            if isinstance(o, GattCharacteristic) and o.prop(GATT_CHARACTERISTIC, 'UUID') == DEVICE_NAME:
                changed['Name'] = changed['Alias'] = bytes(o.read['Value']).decode('utf-8', 'replace')
        changed['ServicesResolved'] = True
        self.change(DEVICE, changed)

    def disconnect(self, reply: Reply, error: Error) -> None:
        if self.pending_connect is not None:
            _, connect_error = self.pending_connect
            self.pending_connect = None
            connect_error(failed('br-connection-canceled'))
        if not self.connected:
            reply()
            return
        self.pending_disconnects.append(reply)
        delay = self.behaviour['DisconnectDelay']
        if delay >= 0 and len(self.pending_disconnects) == 1:
            self.later(delay, lambda: self.drop_link('local'))

    def drop_link(self, reason: str = 'timeout') -> None:
        """The link goes down: callers of Disconnect are answered first, as
        bluetoothd does, then the property change follows."""
        if self.pending_connect is not None:
            _, connect_error = self.pending_connect
            self.pending_connect = None
            connect_error(failed('br-connection-canceled'))
        for reply in self.pending_disconnects:
            reply()
        self.pending_disconnects = []
        if not self.connected:
            return
        self.link_gone(reason)
        for error in self.pending_reads:
            error(failed('Operation failed with ATT error: 0x0e'))
        self.pending_reads = []

    def link_gone(self, reason: str) -> None:
        """What bluetoothd signals when a link ends, in the release's order."""
        if not self.connected:
            return
        profile = self.world.profile
        if BEARER_LE in self.interfaces and self.prop(BEARER_LE, 'Connected'):
            self.change(BEARER_LE, {'Connected': False})
        if profile['bearer'] and self.listed:
            self.world.view.signalled(self, DEVICE, 'Disconnected', DISCONNECT_REASONS[reason])
        if profile['combined_link_loss']:
            self.change(DEVICE, {'ServicesResolved': False, 'Connected': False})
            return
        # 5.66: the GATT client lets go of the services first, then the
        # connection's end follows in a signal of its own (combined_link_loss
        # in doc/bluez-behaviour.md).
        if self.prop(DEVICE, 'ServicesResolved'):
            self.change(DEVICE, {'ServicesResolved': False})
        self.change(DEVICE, {'Connected': False})

    def removed(self) -> None:
        for timer in self.timers + [self.temporary_timer]:
            self.world.cancel(timer)
        self.timers = []
        self.temporary_timer = None
