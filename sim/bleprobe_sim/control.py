"""The control interface: what a test may do to the simulated world.

Controller's methods are the methods of org.bleprobe.Simulator1, by name and
argument; the D-Bus object (control_object.py) only hands calls to it, and
the scenario player calls it directly.  Every method checks its arguments
and refuses what it cannot do with one of four errors, each a ControlError
whose D-Bus name ends in its class name."""

import json
import re
from typing import Any, Callable, Dict, Mapping, Optional

from .model import Adapter, Device, GattCharacteristic, GattService, World
from .model.adapter import CONTROLLERS, FAILABLE
from .model.device import CONNECT_BEHAVIOURS
from .model.gatt import READ_BEHAVIOURS
from .model.objects import Manager
from .model.world import TIMINGS
from .names import ADAPTER, ADDRESS, CONTROL_ERROR, DEVICE, UUID, adapter_path, device_path

# The longest delay or interval the simulation plays: a week, well inside
# what a GLib timeout can count in milliseconds.
MAX_SECONDS = 7 * 24 * 3600.0
ERROR_NAME = re.compile(r'^[A-Za-z_][A-Za-z0-9_]*(\.[A-Za-z_][A-Za-z0-9_]*)+$')


class ControlError(Exception):
    def __init__(self, message: str) -> None:
        super().__init__(message)
        self.name = CONTROL_ERROR + type(self).__name__


class UnknownObject(ControlError):
    """The path names nothing the method can act on."""


class Exists(ControlError):
    """The object to be added is there already."""


class InvalidArguments(ControlError):
    """An argument is of the wrong type, out of range or unknown."""


class NotSupported(ControlError):
    """Something the simulation does not do."""


def is_bool(value: Any) -> bool:
    # dbus.Boolean is an int, not a bool.
    return isinstance(value, bool) or (isinstance(value, int)
                                       and type(value).__name__ == 'Boolean')


def seconds(key: str, value: Any, low: float = 0.0) -> float:
    # NaN and the infinities fall outside any range.
    if (is_bool(value) or not isinstance(value, (int, float))
            or not low <= value <= MAX_SECONDS):
        raise InvalidArguments('%s: a number of seconds from %g to %g' % (key, low, MAX_SECONDS))
    return float(value)


def text(key: str, value: Any, pattern: Optional['re.Pattern[str]'] = None) -> str:
    if not isinstance(value, str) or (pattern is not None and not pattern.match(value)):
        raise InvalidArguments('%s: %r' % (key, value))
    return str(value)


def octets(key: str, value: Any) -> bytes:
    try:
        if isinstance(value, (bytes, bytearray)) or all(
                isinstance(b, int) and not is_bool(b) for b in value):
            return bytes(value)
    except (TypeError, ValueError):
        pass
    raise InvalidArguments('%s: not bytes' % key)


def boolean(key: str, value: Any) -> bool:
    if not is_bool(value):
        raise InvalidArguments('%s: not a boolean' % key)
    return bool(value)


def choice(key: str, value: Any, choices: Any) -> str:
    if value not in choices:
        raise InvalidArguments('%s: %r is none of %s' % (key, value, ', '.join(choices)))
    return str(value)


def service_data(value: Any) -> Dict[str, bytes]:
    if not isinstance(value, Mapping):
        raise InvalidArguments('ServiceData: not a dictionary')
    return {text('ServiceData key', k, UUID): octets('ServiceData[%s]' % k, v)
            for k, v in value.items()}


def dictionary(key: str, value: Any, known: Any = None) -> Dict[str, Any]:
    """value as a dictionary with text keys, each of them among known."""
    if not isinstance(value, Mapping):
        raise InvalidArguments('%s: not a dictionary' % key)
    result = {str(k): v for k, v in value.items()}
    unknown = sorted(set(result) - set(known if known is not None else result))
    if unknown:
        raise InvalidArguments('%s: unknown %s' % (key, ', '.join(unknown)))
    return result


def listed(key: str, value: Any) -> list:
    if not isinstance(value, (list, tuple)):
        raise InvalidArguments('%s: not a list' % key)
    return list(value)


BEHAVIOUR_CHECKS: Dict[str, Callable[[str, Any], Any]] = {
    'ConnectBehaviour': lambda k, v: choice(k, v, CONNECT_BEHAVIOURS),
    'ConnectError': lambda k, v: text(k, v, ERROR_NAME),
    'ConnectErrorMessage': text,
    'ConnectDelay': seconds,
    'EmitConnected': boolean,
    'GattOnConnect': boolean,
    # Below zero: never.
    'ResolveDelay': lambda k, v: seconds(k, v, -MAX_SECONDS),
    'DisconnectDelay': lambda k, v: seconds(k, v, -MAX_SECONDS),
    'ObjectsAfterResolved': lambda k, v: seconds(k, v, -MAX_SECONDS),
    'LinkLostAfter': lambda k, v: seconds(k, v, -MAX_SECONDS),
}


class Controller:
    """bus: what the bus side offers (bluez_service.BluezService); without
    one the methods that act on the bus itself are NotSupported."""

    def __init__(self, world: World, bus: Any = None) -> None:
        self.world = world
        self.bus = bus

    # -- lookups that say no -------------------------------------------------
    def adapter(self, path: Any) -> Adapter:
        adapter = self.world.adapter(str(path))
        if adapter is None:
            raise UnknownObject('no adapter %s' % path)
        return adapter

    def device(self, path: Any, listed: bool = True) -> Device:
        dev = self.world.device(str(path)) if listed else self.world.peripheral(str(path))
        if dev is None:
            raise UnknownObject('no device %s' % path)
        return dev

    def on_bus(self) -> Any:
        if self.bus is None:
            raise NotSupported('the simulation has no bus')
        return self.bus

    # -- objects --------------------------------------------------------------
    def AddAdapter(self, name: str, props: Mapping[str, Any]) -> str:
        path = adapter_path(text('name', name, re.compile(r'^hci[0-9]{1,3}$')))
        if path in self.world.objects:
            raise Exists(path)
        props = dictionary('props', props)
        controller = props.pop('Controller', 'le')
        if controller == 'bredr':
            raise NotSupported('a BR/EDR-only controller')
        choice('Controller', controller, CONTROLLERS)
        address = text('Address', props.pop('Address', '00:1A:7D:DA:71:%02X'
                                            % (len(self.world.objects) & 0xff)), ADDRESS)
        if 'Powered' in props:
            boolean('Powered', props['Powered'])
        adapter = Adapter(self.world, path, address, str(controller), {})
        dictionary('props', props, adapter.interfaces[ADAPTER])
        adapter.interfaces[ADAPTER].update(props)
        self.world.export(adapter)
        return path

    def AddDevice(self, adapter_path_: str, address: str, props: Mapping[str, Any]) -> str:
        """props go into Device1 as they are: a test may hand in a mistyped one."""
        adapter = self.adapter(adapter_path_)
        address = text('address', address, ADDRESS)
        path = device_path(adapter.path, address)
        if path in self.world.objects:
            raise Exists(path)
        props = dictionary('props', props)
        dev = adapter.in_range.pop(address, None)
        if dev is None:
            dev = Device(self.world, adapter.path, address, props)
        else:
            dev.change(DEVICE, props, emit=False)
        self.world.export(dev)
        return path

    def AddPeripheralInRange(self, adapter_path_: str, address: str,
                             props: Mapping[str, Any]) -> str:
        adapter = self.adapter(adapter_path_)
        address = text('address', address, ADDRESS)
        props = dictionary('props', props)
        interval = props.pop('Interval', None)
        phase = seconds('Phase', props.pop('Phase', 0.0))
        lose = listed('Lose', props.pop('Lose', []))
        if interval is not None:
            interval = seconds('Interval', interval, 0.001)
        if not all(isinstance(n, int) and not is_bool(n) and n > 0 for n in lose):
            raise InvalidArguments('Lose: numbers from 1')
        if lose and interval is None:
            raise InvalidArguments('Lose needs an Interval')
        if 'ServiceData' in props:
            props['ServiceData'] = service_data(props['ServiceData'])
        path = device_path(adapter.path, address)
        known = adapter.in_range.get(address)
        if known is not None:
            known.change(DEVICE, props, emit=False)
        elif path not in self.world.objects:
            adapter.in_range[address] = Device(self.world, adapter.path, address, props)
        if interval is not None:
            adapter.radio.advertise_at(address, interval, phase, lose)
        adapter.on_air_add(address)
        adapter.update_discovering()
        return path

    def Advertise(self, path: str, data: Mapping[str, Any]) -> None:
        dev = self.device(path, listed=False)
        data = service_data(data)
        if not dev.listed:
            # Found later with what it advertises then.
            dev.change(DEVICE, {'ServiceData': data}, emit=False)
            return
        adapter = self.world.adapter(dev.adapter_path)
        if adapter is not None and adapter.discovering:
            dev.change(DEVICE, {'RSSI': self.world.rssi(), 'ServiceData': data})

    def ConfigureDevice(self, path: str, options: Mapping[str, Any]) -> None:
        dev = self.device(path, listed=False)
        options = dictionary('options', options, BEHAVIOUR_CHECKS)
        checked = {k: BEHAVIOUR_CHECKS[k](k, v) for k, v in options.items()}
        dev.behaviour.update(checked)

    def AddService(self, device: str, uuid: str, options: Mapping[str, Any]) -> str:
        dev = self.device(device, listed=False)
        uuid = text('uuid', uuid, UUID).lower()
        options = dictionary('options', options, ['Primary'])
        primary = boolean('Primary', options.get('Primary', True))
        path = '%s/service%04x' % (dev.path, self.world.service_handle(dev.path, uuid))
        self.world.place_gatt(dev, GattService(self.world, path, dev.path, uuid, bool(primary)))
        return path

    def AddCharacteristic(self, service: str, uuid: str, options: Mapping[str, Any]) -> str:
        found = self.world.gatt_object(str(service))
        if not isinstance(found, GattService):
            raise UnknownObject('no service %s' % service)
        dev = self.device(str(service).rsplit('/', 1)[0], listed=False)
        uuid = text('uuid', uuid, UUID).lower()
        options = dictionary('options', options, ['Flags', 'Value', 'ReadBehaviour', 'ReadError',
                                                  'ReadErrorMessage'])
        flags = listed('Flags', options.get('Flags', ['read']))
        if not all(isinstance(f, str) for f in flags):
            raise InvalidArguments('Flags: not a list of text')
        how = options.get('ReadBehaviour', 'value')
        read: Dict[str, Any] = {'ReadBehaviour': choice('ReadBehaviour', how, READ_BEHAVIOURS)}
        if 'Value' in options:
            read['Value'] = octets('Value', options['Value'])
        if 'ReadError' in options:
            read['ReadError'] = text('ReadError', options['ReadError'], ERROR_NAME)
        if 'ReadErrorMessage' in options:
            read['ReadErrorMessage'] = text('ReadErrorMessage', options['ReadErrorMessage'])
        # The declaration and the value each take a handle, as on a real server.
        path = '%s/char%04x' % (found.path, self.world.next_handle(dev.path))
        self.world.next_handle(dev.path)
        self.world.place_gatt(dev, GattCharacteristic(self.world, path, found.path, uuid,
                                                      [str(f) for f in flags], read))
        return path

    def SetProperties(self, path: str, iface: str, changed: Mapping[str, Any],
                      emit: bool) -> None:
        """Values go in as they are: a test may hand in a mistyped one."""
        obj = self.world.objects.get(str(path))
        if obj is None:
            raise UnknownObject('no object %s' % path)
        if str(iface) not in obj.interfaces:
            raise InvalidArguments('%s has no interface %s' % (path, iface))
        boolean('emit', emit)
        changed = dictionary('changed', changed)
        if isinstance(obj, Adapter) and str(iface) == ADAPTER and 'Powered' in changed:
            obj.set_powered(boolean('Powered', changed.pop('Powered')))
        if changed:
            obj.change(str(iface), changed, emit=bool(emit))

    def RemoveObject(self, path: str) -> None:
        obj = self.world.objects.get(str(path))
        if obj is None:
            raise UnknownObject('no object %s' % path)
        if isinstance(obj, Manager):
            raise NotSupported('bluetoothd keeps %s while it runs' % path)
        self.world.remove_tree(obj.path)

    # -- what happens to them -------------------------------------------------
    def ForgetDevice(self, path: str) -> None:
        dev = self.device(path)
        self.adapter(dev.adapter_path).forget(dev)

    def DropLink(self, path: str) -> None:
        self.device(path).drop_link()

    def LinkUsable(self, path: str) -> bool:
        return self.device(path).usable

    def Shutdown(self) -> None:
        """bluetoothd on SIGTERM: every link ends, then org.bluez goes away."""
        for obj in list(self.world.objects.values()):
            if isinstance(obj, Device):
                obj.drop_link('local')
        if self.bus is not None:
            self.world.later(self.world.power_off_delay, self.bus.release_bluez_name)

    def ReleaseBluezName(self) -> None:
        self.on_bus().release_bluez_name()

    def FailAdapterMethod(self, path: str, method: str, error_name: str) -> None:
        adapter = self.adapter(path)
        if method not in FAILABLE:
            raise NotSupported('only %s can be made to fail' % ', '.join(FAILABLE))
        if error_name != '':
            text('error', error_name, ERROR_NAME)
        adapter.fail[str(method)] = str(error_name)

    def SetTiming(self, timing: Mapping[str, Any]) -> None:
        timing = dictionary('timing', timing, TIMINGS)
        # A round of no length would start the next one at once, forever.
        checked = {k: seconds(k, v, 0.001 if k == 'RoundTime' else 0.0) for k, v in timing.items()}
        for key, value in checked.items():
            setattr(self.world, TIMINGS[key][0], value)

    def EmitRaw(self, path: str, iface: str, member: str, signature: str, args: Any) -> None:
        self.on_bus().emit_raw(path, iface, member, signature, args)

    # -- what happened ----------------------------------------------------------
    def GetCalls(self) -> str:
        return json.dumps(self.on_bus().calls)

    def GetDiscoveryLog(self, path: str) -> str:
        radio = self.adapter(path).radio
        return json.dumps({'rounds': radio.rounds, 'reports': radio.reports})

    def GetBluezUniqueName(self) -> str:
        return str(self.on_bus().unique_name())
