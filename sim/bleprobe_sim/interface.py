"""org.bleprobe.Simulator1, declared once: each method's name, its arguments
with their checks, what it returns, the errors it answers and a line of
documentation.  The Controller implements the methods (control.py); the
D-Bus object (control_object.py) and SimClient (client.py) are made from
this table, and the method lists of sim/README.md and bleprobe-sim(1) are
rendered from it (tests/doc/control_interface.py).  Adding a method is an
entry here and its implementation in the Controller."""

import re
from typing import Any, Dict, List, Optional, Sequence

from .checks import (ERROR_NAME, MAX_SECONDS, UUID_TEXT, Boolean, Check, Choice, Counts, Dictionary,
                     Exists, InvalidArguments, Key, NotSupported, Number, Octets, Options, Path,
                     Seconds, ServiceData, Text, Texts, UnknownObject, Variants)
from .model import GattCharacteristic, GattService, World
from .model.adapter import CONTROLLERS, FAILABLE
from .model.device import CONNECT_BEHAVIOURS
from .model.gatt import READ_BEHAVIOURS
from .model.radio import DUPLICATE_FILTERS, LOGGED_REPORTS
from .model.world import TIMINGS
from .names import ADDRESS, adapter_path

REQUIRED = object()


class Arg:
    """An argument; default is the client's, for a caller who leaves it out."""

    def __init__(self, name: str, check: Check, default: Any = REQUIRED) -> None:
        self.name = name
        self.check = check
        self.default = default


class Method:
    """returns: the D-Bus type of the result ('' for none); json: the
    result is text holding JSON.  errors: each error it answers, with when
    (or '')."""

    def __init__(self, name: str, doc: str, args: Sequence[Arg] = (), returns: str = '',
                 errors: Optional[Dict[type, str]] = None, json: bool = False) -> None:
        self.name = name
        self.doc = doc
        self.args = list(args)
        self.returns = returns
        self.errors = errors or {}
        self.json = json

    @property
    def in_signature(self) -> str:
        return ''.join(arg.check.signature for arg in self.args)

    @property
    def python_name(self) -> str:
        """The client's name for it: AddPeripheralInRange is add_peripheral_in_range."""
        return re.sub(r'(?<!^)(?=[A-Z])', '_', self.name).lower()


def service(world: World, path: str) -> Optional[GattService]:
    found = world.gatt_object(path)
    return found if isinstance(found, GattService) else None


def characteristic(world: World, path: str) -> Optional[GattCharacteristic]:
    found = world.gatt_object(path)
    return found if isinstance(found, GattCharacteristic) else None


def either(words: Sequence[str]) -> str:
    quoted = ['`%s`' % w for w in words]
    return ', '.join(quoted[:-1]) + ' or ' + quoted[-1]


HCI0 = adapter_path('hci0')
ADAPTER = Path('adapter', World.adapter)
DEVICE = Path('device', World.device)
PERIPHERAL = Path('device', World.peripheral, in_range=True)
SERVICE = Path('service', service, in_range=True)
CHARACTERISTIC = Path('characteristic', characteristic, in_range=True)
OBJECT = Path('object', lambda world, path: world.objects.get(path))
ANY_PATH = Text(signature='o')
BLUETOOTH_ADDRESS = Text(ADDRESS, 'AA:BB:CC:DD:EE:FF')
AN_ERROR_NAME = Text(ERROR_NAME, 'an error name')
# Below zero: never, or not at all.
MAYBE_NEVER = Seconds(-MAX_SECONDS)
# A round of no length would start the next one at once, forever; an
# interval of none, the next advertisement.
SHORTEST = Seconds(0.001)
ATTEMPT = Key('Attempt', Number(), 'the options are for the `Attempt`th `Connect` that starts a '
              'connection and those after it, until one with options of its own; without it, for '
              'every attempt')
READ_KEYS = [Key('ReadBehaviour', Choice(READ_BEHAVIOURS)), Key('ReadError', AN_ERROR_NAME),
             Key('ReadErrorMessage', Text())]

METHODS: Dict[str, Method] = {m.name: m for m in [
    Method('AddAdapter', 'Adds adapter `name` (`hciN`).',
           [Arg('name', Text(re.compile(r'^hci[0-9]{1,3}$'), 'hciN'), 'hci0'),
            Arg('props', Options([Key('Powered', Boolean()), Key('Address', BLUETOOTH_ADDRESS),
                                  Key('Controller', Choice(CONTROLLERS, unsupported=['bredr'])),
                                  Key('DuplicateFilter', Choice(DUPLICATE_FILTERS),
                                      "what the controller reports during a discovery: every "
                                      "advertisement heard, an advertiser's first in each round, "
                                      "or that and each one whose data changed; default: the "
                                      "release's"),
                                  Key('AsHeard', Boolean(),
                                      'every advertisement heard while a discovery runs is '
                                      'reported at once: no round, filter or loss')],
                                 others='any other `Adapter1` property'))],
           'o', {Exists: '', InvalidArguments: 'a name not `hciN`, a malformed `Address`, an '
                 'unknown property', NotSupported: '`Controller` `bredr`'}),
    Method('AddDevice', 'A device BlueZ lists already (paired, or seen by a recent discovery), '
           'announced at once. `props` are `Device1` properties, e.g. `ServiceData`, `Connected`, '
           'taken as they are, wrong types included.',
           [Arg('adapter', ADAPTER, HCI0), Arg('address', BLUETOOTH_ADDRESS),
            Arg('props', Dictionary())],
           'o', {UnknownObject: 'adapter', Exists: '',
                 InvalidArguments: '`address` not `AA:BB:CC:DD:EE:FF`'}),
    Method('AddPeripheralInRange', 'A peripheral advertising in range that BlueZ does not list: '
           'its device (with `props`) appears once a discovery hears it. Each round of a discovery '
           'hears it as it starts, and its `Advertise` calls too; the duplicate filter decides what '
           'the controller reports. From 5.82, a peripheral already advertising when a discovery '
           'starts from idle is not heard until the next round; one with an `Interval`, or one '
           'added while the round runs, is. For a device BlueZ lists, only `Interval`, `Phase`, '
           '`Lose` and `Often` count.',
           [Arg('adapter', ADAPTER, HCI0), Arg('address', BLUETOOTH_ADDRESS),
            Arg('props', Options([
                Key('Interval', SHORTEST, 'heard at advertisements of its own, every `Interval` '
                    'from `Phase` on, not as a round starts'),
                Key('Phase', Seconds()),
                Key('Lose', Counts(), 'the numbers of those lost in the air'),
                Key('Often', Boolean(), 'false: heard at its `Advertise` calls only'),
                Key('ServiceData', ServiceData())],
                others='any other `Device1` property, as it is', needs={'Lose': 'Interval'}))],
           'o', {UnknownObject: 'adapter', InvalidArguments: ''}),
    Method('Advertise', 'One advertisement on the air now. If a round of a discovery runs and the '
           "duplicate filter lets it through, bluetoothd gets its report `AppearDelay` later (at "
           'once as heard): `RSSI`, and `ServiceData` when it changed or a client asks for '
           '`DuplicateData`, in one `PropertiesChanged`; a peripheral BlueZ does not list is found '
           'with it. One that is not found yet keeps it for when it is.',
           [Arg('device', PERIPHERAL), Arg('service_data', ServiceData())],
           '', {UnknownObject: '', InvalidArguments: ''}),
    Method('ConfigureDevice', 'How the device answers.',
           [Arg('device', PERIPHERAL),
            Arg('options', Options([
                Key('ConnectBehaviour', Choice(CONNECT_BEHAVIOURS)),
                Key('ConnectDelay', Seconds()),
                Key('ConnectError', AN_ERROR_NAME),
                Key('ConnectErrorMessage', Text()),
                Key('EmitConnected', Boolean()),
                Key('ResolveDelay', MAYBE_NEVER, '< 0: never resolved'),
                Key('GattOnConnect', Boolean(), 'GATT objects exported only once connected'),
                Key('DisconnectDelay', MAYBE_NEVER, '< 0: never dropped'),
                Key('ObjectsAfterResolved', MAYBE_NEVER,
                    '≥ 0: `ServicesResolved` that long before the GATT objects are announced'),
                Key('LinkLostAfter', MAYBE_NEVER, '≥ 0: the link drops that long after it came up'),
                ATTEMPT,
            ]))],
           '', {UnknownObject: '', InvalidArguments: ''}),
    Method('AddService', 'A GATT service.',
           [Arg('device', PERIPHERAL), Arg('uuid', UUID_TEXT),
            Arg('options', Options([Key('Primary', Boolean())]))],
           'o', {UnknownObject: '', InvalidArguments: ''}),
    Method('AddCharacteristic', 'A characteristic.',
           [Arg('service', SERVICE), Arg('uuid', UUID_TEXT),
            Arg('options', Options([Key('Flags', Texts()), Key('Value', Octets())] + READ_KEYS))],
           'o', {UnknownObject: 'service', InvalidArguments: ''}),
    Method('ConfigureCharacteristic', 'How reads of the characteristic go.',
           [Arg('characteristic', CHARACTERISTIC),
            Arg('options', Options([Key('Value', Octets())] + READ_KEYS + [ATTEMPT]))],
           '', {UnknownObject: '', InvalidArguments: ''}),
    Method('SetProperties', 'Sets properties of any object, with or without `PropertiesChanged`, '
           'as they are, wrong types included. `Powered` (b) on `org.bluez.Adapter1` switches the '
           'adapter as bluetoothd does (links end first).',
           [Arg('path', OBJECT), Arg('interface', Text()), Arg('changed', Dictionary()),
            Arg('emit', Boolean(), True)],
           '', {UnknownObject: '', InvalidArguments: 'an interface the object lacks'}),
    Method('RemoveObject', 'Removes an object and everything below it (an adapter unplugged).',
           [Arg('path', OBJECT)],
           '', {UnknownObject: '', NotSupported: '`/org/bluez`'}),
    Method('ForgetDevice', 'BlueZ drops a device known only from a discovery; the peripheral stays '
           'in range.',
           [Arg('device', DEVICE)], '', {UnknownObject: ''}),
    Method('HaltDiscovery', "Another program's session ends the adapter's discovery under its "
           'clients (as a client that leaves the bus with its filter set does): `Discovering` turns '
           'false while bluetoothd still counts them as discovering.',
           [Arg('adapter', ADAPTER, HCI0)], '', {UnknownObject: ''}),
    Method('RestartDiscovery', "bluetoothd stops the adapter's discovery and starts it again at once "
           'for its clients (as when the kernel reports the stop before answering it): `Discovering` '
           'turns false, then true.',
           [Arg('adapter', ADAPTER, HCI0)], '', {UnknownObject: ''}),
    Method('DropLink', "The peripheral's link is lost.",
           [Arg('device', DEVICE)], '', {UnknownObject: ''}),
    Method('LinkUsable', 'Connected and `Connect` answered.',
           [Arg('device', DEVICE)], 'b', {UnknownObject: ''}),
    Method('Shutdown', 'bluetoothd stops: every link ends, then `org.bluez` loses its owner.'),
    Method('ReleaseBluezName', '`org.bluez` loses its owner at once (the connection stays).'),
    Method('FailAdapterMethod', '%s answers `error` (empty: success again).' % either(FAILABLE),
           [Arg('adapter', ADAPTER), Arg('method', Choice(FAILABLE, refuse=NotSupported)),
            Arg('error', Text(re.compile('^$|' + ERROR_NAME.pattern), 'an error name or empty'))],
           '', {UnknownObject: '', InvalidArguments: 'not an error name',
                NotSupported: 'another method'}),
    Method('SetTiming', 'The timings of bluetoothd and of the kernel.',
           [Arg('timing', Options([Key(name, SHORTEST if name == 'RoundTime' else Seconds())
                                   for name in TIMINGS]))],
           '', {InvalidArguments: ''}),
    Method('EmitRaw', "Sends any signal from `org.bluez`'s connection.",
           [Arg('path', ANY_PATH), Arg('interface', Text()), Arg('member', Text()),
            Arg('signature', Text()), Arg('args', Variants())],
           '', {InvalidArguments: '`args` do not fit `signature`'}),
    Method('GetCalls', 'Every method call `org.bluez` received, as JSON.', returns='s', json=True),
    Method('GetDiscoveryLog', "The adapter's discovery rounds and the controller's reports (the "
           'first {:,}), as JSON.'.format(LOGGED_REPORTS),
           [Arg('adapter', ADAPTER, HCI0)], 's', {UnknownObject: ''}, json=True),
    Method('GetBluezUniqueName', "The unique name of `org.bluez`'s connection.", returns='s'),
]}


def in_range_methods() -> List[str]:
    """The methods that also take a peripheral BlueZ does not list yet."""
    return [m.name for m in METHODS.values()
            if any(isinstance(a.check, Path) and a.check.in_range for a in m.args)]
