"""The model's objects as bluetoothd exports them: one dbus-python object
per listed path, answering Properties and the methods of its interfaces by
asking the model.  Every call is written to the call log first."""

from typing import Any, Callable, Dict

import dbus
import dbus.service

from .dbus_values import byte_array, properties, to_json
from .model import BluezError
from .names import ADAPTER, DEVICE, GATT_CHARACTERISTIC, INTROSPECTABLE, PROPERTIES

INVALID_ARGS = 'org.freedesktop.DBus.Error.InvalidArgs'

# What a discovery filter may hold, as SetDiscoveryFilter checks it.
FILTER_CHECKS: Dict[str, Callable[[Any], bool]] = {
    'UUIDs': lambda v: isinstance(v, dbus.Array) and all(isinstance(u, dbus.String) for u in v),
    'RSSI': lambda v: isinstance(v, dbus.Int16),
    'Pathloss': lambda v: isinstance(v, dbus.UInt16),
    'Transport': lambda v: isinstance(v, dbus.String) and v in ('auto', 'bredr', 'le'),
    'DuplicateData': lambda v: isinstance(v, dbus.Boolean),
    'Discoverable': lambda v: isinstance(v, dbus.Boolean),
    'Pattern': lambda v: isinstance(v, dbus.String),
}


def dbus_error(error: BluezError) -> dbus.DBusException:
    return dbus.DBusException(error.message, name=error.name)


def managed_interfaces(model: Any) -> dbus.Dictionary:
    result = dbus.Dictionary({}, signature='sa{sv}')
    for iface, props in model.interfaces.items():
        result[iface] = properties(props)
    # bluetoothd lists the two standard interfaces too, with no properties.
    result[INTROSPECTABLE] = dbus.Dictionary({}, signature='sv')
    result[PROPERTIES] = dbus.Dictionary({}, signature='sv')
    return result


class BluezObject(dbus.service.Object):
    """One exported path; `model` holds its interfaces and their properties."""

    # Properties a client may write through org.freedesktop.DBus.Properties.Set.
    WRITABLE: Dict[Any, str] = {}

    def __init__(self, service: Any, model: Any) -> None:
        self.service = service
        self.model = model
        super().__init__(service.connection, model.path)

    def answer(self, call: Callable[[], Any]) -> Any:
        """call's result, a BluezError as bluetoothd's error reply, and
        anything else as a fault of the simulation."""
        try:
            return call()
        except BluezError as e:
            raise dbus_error(e) from None
        except dbus.DBusException:
            raise
        except Exception as exc:
            raise self.service.fault(exc) from None

    def typed(self, iface: str, name: str) -> Any:
        return properties({name: self.model.interfaces[iface][name]})[name]

    @dbus.service.method(PROPERTIES, in_signature='ss', out_signature='v',
                         sender_keyword='sender', message_keyword='msg')
    def Get(self, iface, name, sender=None, msg=None):
        self.service.log(msg, sender, [iface, name])
        if iface not in self.model.interfaces:
            raise dbus.DBusException('No such interface', name=INVALID_ARGS)
        if name not in self.model.interfaces[iface]:
            raise dbus.DBusException('No such property', name=INVALID_ARGS)
        return self.typed(iface, name)

    @dbus.service.method(PROPERTIES, in_signature='s', out_signature='a{sv}',
                         sender_keyword='sender', message_keyword='msg')
    def GetAll(self, iface, sender=None, msg=None):
        self.service.log(msg, sender, [iface])
        if iface not in self.model.interfaces:
            raise dbus.DBusException('No such interface', name=INVALID_ARGS)
        return properties(self.model.interfaces[iface])

    @dbus.service.method(PROPERTIES, in_signature='ssv', out_signature='',
                         sender_keyword='sender', message_keyword='msg')
    def Set(self, iface, name, value, sender=None, msg=None):
        self.service.log(msg, sender, [iface, name, to_json(value)])
        if iface not in self.model.interfaces or name not in self.model.interfaces[iface]:
            raise dbus.DBusException('No such property', name=INVALID_ARGS)
        kind = self.WRITABLE.get((iface, name))
        if kind is None:
            raise dbus.DBusException('Property is read-only',
                                     name='org.freedesktop.DBus.Error.PropertyReadOnly')
        if kind == 'b' and not isinstance(value, dbus.Boolean):
            raise dbus.DBusException('Invalid arguments', name=INVALID_ARGS)
        plain = bool(value) if kind == 'b' else str(value)
        self.answer(lambda: self.model.set_property(iface, name, plain))


class AdapterObject(BluezObject):
    WRITABLE = {(ADAPTER, 'Powered'): 'b', (ADAPTER, 'Discoverable'): 'b',
                (ADAPTER, 'Pairable'): 'b', (ADAPTER, 'Alias'): 's'}

    @dbus.service.method(ADAPTER, in_signature='a{sv}', out_signature='',
                         sender_keyword='sender', message_keyword='msg')
    def SetDiscoveryFilter(self, filt, sender=None, msg=None):
        self.service.log(msg, sender, [to_json(filt)])

        valid = all(FILTER_CHECKS.get(str(k), lambda _: False)(v) for k, v in filt.items())
        self.service.watch_client(sender)
        self.answer(lambda: self.model.set_discovery_filter(str(sender),
                                                            to_json(filt) if valid else None))

    @dbus.service.method(ADAPTER, in_signature='', out_signature='',
                         sender_keyword='sender', message_keyword='msg')
    def StartDiscovery(self, sender=None, msg=None):
        self.service.log(msg, sender, [])
        self.service.watch_client(sender)
        self.answer(lambda: self.model.start_discovery(str(sender)))

    @dbus.service.method(ADAPTER, in_signature='', out_signature='',
                         sender_keyword='sender', message_keyword='msg')
    def StopDiscovery(self, sender=None, msg=None):
        self.service.log(msg, sender, [])
        self.answer(lambda: self.model.stop_discovery(str(sender)))

    @dbus.service.method(ADAPTER, in_signature='', out_signature='as',
                         sender_keyword='sender', message_keyword='msg')
    def GetDiscoveryFilters(self, sender=None, msg=None):
        self.service.log(msg, sender, [])
        return dbus.Array(list(FILTER_CHECKS), signature='s')

    @dbus.service.method(ADAPTER, in_signature='o', out_signature='',
                         sender_keyword='sender', message_keyword='msg')
    def RemoveDevice(self, path, sender=None, msg=None):
        self.service.log(msg, sender, [str(path)])
        self.answer(lambda: self.model.remove_device(str(path)))


class DeviceObject(BluezObject):
    WRITABLE = {(DEVICE, 'Trusted'): 'b', (DEVICE, 'Blocked'): 'b', (DEVICE, 'Alias'): 's'}

    @dbus.service.method(DEVICE, in_signature='', out_signature='',
                         sender_keyword='sender', message_keyword='msg',
                         async_callbacks=('reply', 'error'))
    def Connect(self, sender=None, msg=None, reply=None, error=None):
        self.service.log(msg, sender, [])
        self.answer(lambda: self.model.connect(reply, lambda e: error(dbus_error(e))))

    @dbus.service.method(DEVICE, in_signature='', out_signature='',
                         sender_keyword='sender', message_keyword='msg',
                         async_callbacks=('reply', 'error'))
    def Disconnect(self, sender=None, msg=None, reply=None, error=None):
        self.service.log(msg, sender, [])
        self.answer(lambda: self.model.disconnect(reply, lambda e: error(dbus_error(e))))


class CharacteristicObject(BluezObject):
    @dbus.service.method(GATT_CHARACTERISTIC, in_signature='a{sv}', out_signature='ay',
                         sender_keyword='sender', message_keyword='msg',
                         async_callbacks=('reply', 'error'))
    def ReadValue(self, options, sender=None, msg=None, reply=None, error=None):
        self.service.log(msg, sender, [to_json(options)])
        self.answer(lambda: self.model.read_value(lambda value: reply(byte_array(value)),
                                                  lambda e: error(dbus_error(e))))
