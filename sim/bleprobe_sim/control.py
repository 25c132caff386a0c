"""The control interface: what a test may do to the simulated world.

Controller's methods are the methods of org.bleprobe.Simulator1 (the table
in interface.py), by name and argument; the D-Bus object only hands calls
to it, and the scenario player calls it directly.  Each method is handed
its arguments checked by the table, an object path as the object it names,
and refuses what it cannot do with one of the four errors of checks.py."""

import functools
import inspect
import json
from typing import Any, Callable, Dict, List, TypeVar

from .checks import (Boolean, ControlError, Exists, InvalidArguments, NotSupported, Path,
                     UnknownObject)
from .interface import METHODS, PERIPHERAL
from .model import Adapter, Device, GattCharacteristic, GattService, World
from .model.objects import Manager, ModelObject
from .model.world import TIMINGS
from .names import ADAPTER, DEVICE, adapter_path, device_path

__all__ = ['ControlError', 'Controller', 'Exists', 'InvalidArguments', 'NotSupported',
           'UnknownObject']

Result = TypeVar('Result')


def control(impl: Callable[..., Result]) -> Callable[..., Result]:
    """impl as the table's method of its name: its arguments are checked, in
    their order, before it runs."""
    method = METHODS[impl.__name__]
    names = list(inspect.signature(impl).parameters)[1:]
    if names != [arg.name for arg in method.args]:
        raise TypeError('Controller.%s%s does not take the arguments of the table: %s'
                        % (method.name, tuple(names), [arg.name for arg in method.args]))

    @functools.wraps(impl)
    def checked(self: 'Controller', *args: Any) -> Result:
        if len(args) != len(method.args):
            raise InvalidArguments('%s takes %d arguments, not %d'
                                   % (method.name, len(method.args), len(args)))
        return impl(self, *[arg.check.look_up(self.world, arg.name, value)
                            if isinstance(arg.check, Path) else arg.check(arg.name, value)
                            for arg, value in zip(method.args, args)])
    return checked


class Controller:
    """bus: what the bus side offers (bluez_service.BluezService); without
    one the methods that act on the bus itself are NotSupported."""

    def __init__(self, world: World, bus: Any = None) -> None:
        self.world = world
        self.bus = bus

    def on_bus(self) -> Any:
        if self.bus is None:
            raise NotSupported('the simulation has no bus')
        return self.bus

    # -- objects --------------------------------------------------------------
    @control
    def AddAdapter(self, name: str, props: Dict[str, Any]) -> str:
        path = adapter_path(name)
        if path in self.world.objects:
            raise Exists(path)
        address = props.pop('Address', '00:1A:7D:DA:71:%02X' % (len(self.world.objects) & 0xff))
        adapter = Adapter(self.world, path, address, props.pop('Controller', 'le'), {})
        adapter.duplicate_filter = props.pop('DuplicateFilter', adapter.duplicate_filter)
        adapter.as_heard = props.pop('AsHeard', False)
        unknown = sorted(set(props) - set(adapter.interfaces[ADAPTER]))
        if unknown:
            raise InvalidArguments('props: unknown %s' % ', '.join(unknown))
        adapter.interfaces[ADAPTER].update(props)
        self.world.export(adapter)
        return path

    @control
    def AddDevice(self, adapter: Adapter, address: str, props: Dict[str, Any]) -> str:
        """props go into Device1 as they are: a test may hand in a mistyped one."""
        path = device_path(adapter.path, address)
        if path in self.world.objects:
            raise Exists(path)
        dev = adapter.in_range.pop(address, None)
        if dev is None:
            dev = Device(self.world, adapter.path, address, props)
        else:
            dev.change(DEVICE, props, emit=False)
        self.world.export(dev)
        return path

    @control
    def AddPeripheralInRange(self, adapter: Adapter, address: str, props: Dict[str, Any]) -> str:
        interval = props.pop('Interval', None)
        phase = props.pop('Phase', 0.0)
        lose = props.pop('Lose', [])
        often = props.pop('Often', True)
        path = device_path(adapter.path, address)
        known = adapter.in_range.get(address)
        if known is not None:
            known.change(DEVICE, props, emit=False)
        elif path not in self.world.objects:
            adapter.in_range[address] = Device(self.world, adapter.path, address, props)
        if 'ServiceData' in props and path not in self.world.objects:
            adapter.air_data[address] = props['ServiceData']
        if interval is not None:
            adapter.radio.advertise_at(address, interval, phase, lose)
        if not often and interval is None:
            adapter.told.add(address)
            return path
        adapter.on_air_add(address)
        adapter.update_discovering()
        return path

    @control
    def Advertise(self, device: Device, service_data: Dict[str, bytes]) -> None:
        adapter = self.world.adapter(device.adapter_path)
        if adapter is not None:
            adapter.advertise(device.address, service_data)

    @control
    def ConfigureDevice(self, device: Device, options: Dict[str, Any]) -> None:
        attempt = options.pop('Attempt', None)
        device.configure(options, attempt)

    @control
    def AddService(self, device: Device, uuid: str, options: Dict[str, Any]) -> str:
        uuid = uuid.lower()
        path = '%s/service%04x' % (device.path, self.world.service_handle(device.path, uuid))
        self.world.place_gatt(device, GattService(self.world, path, device.path, uuid,
                                                  options.get('Primary', True)))
        return path

    @control
    def AddCharacteristic(self, service: GattService, uuid: str, options: Dict[str, Any]) -> str:
        dev = PERIPHERAL.look_up(self.world, 'service', service.path.rsplit('/', 1)[0])
        flags: List[str] = options.pop('Flags', ['read'])
        read = dict({'ReadBehaviour': 'value'}, **options)
        # The declaration and the value each take a handle, as on a real server.
        path = '%s/char%04x' % (service.path, self.world.next_handle(dev.path))
        self.world.next_handle(dev.path)
        self.world.place_gatt(dev, GattCharacteristic(self.world, path, service.path,
                                                      uuid.lower(), flags, read))
        return path

    @control
    def ConfigureCharacteristic(self, characteristic: GattCharacteristic,
                                options: Dict[str, Any]) -> None:
        attempt = options.pop('Attempt', None)
        characteristic.configure(options, attempt)

    @control
    def SetProperties(self, path: ModelObject, interface: str, changed: Dict[str, Any],
                      emit: bool) -> None:
        """Values go in as they are: a test may hand in a mistyped one."""
        if interface not in path.interfaces:
            raise InvalidArguments('%s has no interface %s' % (path.path, interface))
        if isinstance(path, Adapter) and interface == ADAPTER and 'Powered' in changed:
            path.set_powered(Boolean()('Powered', changed.pop('Powered')))
        if changed:
            path.change(interface, changed, emit=emit)

    @control
    def RemoveObject(self, path: ModelObject) -> None:
        if isinstance(path, Manager):
            raise NotSupported('bluetoothd keeps %s while it runs' % path.path)
        self.world.remove_tree(path.path)

    # -- what happens to them -------------------------------------------------
    @control
    def ForgetDevice(self, device: Device) -> None:
        adapter = self.world.adapter(device.adapter_path)
        if adapter is not None:
            adapter.forget(device)

    @control
    def HaltDiscovery(self, adapter: Adapter) -> None:
        adapter.halt()

    @control
    def RestartDiscovery(self, adapter: Adapter) -> None:
        adapter.restart()

    @control
    def DropLink(self, device: Device) -> None:
        device.drop_link()

    @control
    def LinkUsable(self, device: Device) -> bool:
        return device.usable

    @control
    def Shutdown(self) -> None:
        """bluetoothd on SIGTERM: every link ends, then org.bluez goes away."""
        for obj in list(self.world.objects.values()):
            if isinstance(obj, Device):
                obj.drop_link('local')
        if self.bus is not None:
            self.world.later(self.world.power_off_delay, self.bus.release_bluez_name)

    @control
    def ReleaseBluezName(self) -> None:
        self.on_bus().release_bluez_name()

    @control
    def FailAdapterMethod(self, adapter: Adapter, method: str, error: str) -> None:
        adapter.fail[method] = error

    @control
    def SetTiming(self, timing: Dict[str, float]) -> None:
        for key, value in timing.items():
            setattr(self.world, TIMINGS[key][0], value)

    @control
    def EmitRaw(self, path: str, interface: str, member: str, signature: str,
                args: List[Any]) -> None:
        self.on_bus().emit_raw(path, interface, member, signature, args)

    # -- what happened ----------------------------------------------------------
    @control
    def GetCalls(self) -> str:
        return json.dumps(self.on_bus().calls)

    @control
    def GetDiscoveryLog(self, adapter: Adapter) -> str:
        return json.dumps({'rounds': adapter.radio.rounds, 'reports': adapter.radio.reports})

    @control
    def GetBluezUniqueName(self) -> str:
        return str(self.on_bus().unique_name())


# A method of the table that the Controller lacks would be a fault on its
# first call; @control holds each one it has to the table's arguments.
MISSING = sorted(set(METHODS) - set(vars(Controller)))
if MISSING:
    raise TypeError('the Controller lacks %s of the table' % ', '.join(MISSING))
