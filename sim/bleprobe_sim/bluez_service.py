"""org.bluez on the bus: the connection bluetoothd owns its name on, the
object manager at /, the exported objects and the log of every call."""

from typing import Any, Callable, Dict, List, Optional, Set

import dbus
import dbus.bus
import dbus.lowlevel
import dbus.service

from .bluez_objects import (AdapterObject, BluezObject, CharacteristicObject, DeviceObject,
                            managed_interfaces)
from .checks import InvalidArguments
from .dbus_values import properties, unwrap_variant
from .model import Adapter, Device, GattCharacteristic
from .names import BLUEZ_NAME, OBJECT_MANAGER, PROPERTIES

# The D-Bus object for each kind of model object; the others only have
# properties.
OBJECT_TYPES = [(Adapter, AdapterObject), (Device, DeviceObject),
                (GattCharacteristic, CharacteristicObject)]
SIGNATURES = {'Disconnected': 'ss'}


class Root(dbus.service.Object):
    def __init__(self, service: 'BluezService') -> None:
        self.service = service
        super().__init__(service.connection, '/')

    @dbus.service.method(OBJECT_MANAGER, in_signature='', out_signature='a{oa{sa{sv}}}',
                         sender_keyword='sender', message_keyword='msg')
    def GetManagedObjects(self, sender=None, msg=None):
        self.service.log(msg, sender, [])
        result = dbus.Dictionary({}, signature='oa{sa{sv}}')
        for path, obj in self.service.world.objects.items():
            result[dbus.ObjectPath(path)] = managed_interfaces(obj)
        return result


class BluezService:
    """The view of a model.World that a client of bluetoothd sees.
    fault(exc) is called with whatever goes wrong inside the simulation and
    answers the error to reply with."""

    def __init__(self, address: str, mainloop: Any,
                 fault: Callable[[BaseException], None]) -> None:
        self.connection = dbus.bus.BusConnection(address, mainloop=mainloop)
        self.on_fault = fault
        self.world: Any = None
        self.exported: Dict[str, BluezObject] = {}
        self.calls: List[Dict[str, Any]] = []
        self.pids: Dict[str, Optional[int]] = {}
        self.watched: Set[str] = set()
        self.root = Root(self)
        self.connection.add_signal_receiver(
            self.name_owner_changed, 'NameOwnerChanged', 'org.freedesktop.DBus',
            'org.freedesktop.DBus', '/org/freedesktop/DBus')

    def fault(self, exc: BaseException) -> dbus.DBusException:
        self.on_fault(exc)
        return dbus.DBusException('internal fault of the simulation',
                                  name='org.freedesktop.DBus.Error.Failed')

    # -- the view -----------------------------------------------------------
    def added(self, obj: Any, announce: bool) -> None:
        kind = next((d for m, d in OBJECT_TYPES if isinstance(obj, m)), BluezObject)
        self.exported[obj.path] = kind(self, obj)
        if announce:
            self.announced(obj)

    def announced(self, obj: Any) -> None:
        self.emit('/', OBJECT_MANAGER, 'InterfacesAdded', 'oa{sa{sv}}',
                  dbus.ObjectPath(obj.path), managed_interfaces(obj))

    def removed(self, obj: Any) -> None:
        exported = self.exported.pop(obj.path, None)
        if exported is not None:
            exported.remove_from_connection()
        self.emit('/', OBJECT_MANAGER, 'InterfacesRemoved', 'oas', dbus.ObjectPath(obj.path),
                  dbus.Array(list(managed_interfaces(obj).keys()), signature='s'))

    def changed(self, obj: Any, iface: str, changed: Dict[str, Any]) -> None:
        self.emit(obj.path, PROPERTIES, 'PropertiesChanged', 'sa{sv}as',
                  iface, properties(changed), dbus.Array([], signature='s'))

    def signalled(self, obj: Any, iface: str, member: str, args: Any) -> None:
        self.emit(obj.path, iface, member, SIGNATURES[member], *args)

    def emit(self, path: str, iface: str, member: str, signature: str, *args: Any) -> None:
        msg = dbus.lowlevel.SignalMessage(path, iface, member)
        msg.append(*args, signature=signature)
        self.connection.send_message(msg)

    # -- the call log and the clients ------------------------------------------
    def log(self, msg: Any, sender: Any, args: List[Any]) -> None:
        self.calls.append({
            'seq': len(self.calls) + 1,
            'time': self.world.clock.now(),
            'sender': str(sender),
            'pid': self.pid_of(str(sender)),
            'path': msg.get_path(),
            'interface': msg.get_interface(),
            'member': msg.get_member(),
            'signature': msg.get_signature(),
            'args': args,
        })

    def pid_of(self, sender: str) -> Optional[int]:
        if sender not in self.pids:
            try:
                self.pids[sender] = int(self.connection.call_blocking(
                    'org.freedesktop.DBus', '/org/freedesktop/DBus', 'org.freedesktop.DBus',
                    'GetConnectionUnixProcessID', 's', (sender,)))
            except dbus.DBusException:
                self.pids[sender] = None
        return self.pids[sender]

    def watch_client(self, name: Any) -> None:
        self.watched.add(str(name))

    def name_owner_changed(self, name: str, old: str, new: str) -> None:
        if name.startswith(':') and not new and name in self.watched:
            self.watched.discard(name)
            try:
                self.world.client_gone(str(name))
            except Exception as exc:
                self.on_fault(exc)

    # -- what the control interface does on the bus ---------------------------
    def release_bluez_name(self) -> None:
        self.connection.release_name(BLUEZ_NAME)

    def unique_name(self) -> str:
        return str(self.connection.get_unique_name())

    def emit_raw(self, path: Any, iface: Any, member: Any, signature: Any, args: Any) -> None:
        try:
            self.emit(str(path), str(iface), str(member), str(signature),
                      *[unwrap_variant(a) for a in args])
        except (TypeError, ValueError, OverflowError) as e:
            raise InvalidArguments('the signal cannot be sent: %s' % e) from None
