"""org.bleprobe.Simulator1 on the bus: each method hands its arguments to
the Controller's method of the same name and answers what it answers."""

from typing import Any, Callable

import dbus
import dbus.service

from .control import ControlError, Controller
from .names import CONTROL_IFACE, CONTROL_PATH


def method(in_signature: str, out_signature: str = '') -> Any:
    return dbus.service.method(CONTROL_IFACE, in_signature=in_signature,
                               out_signature=out_signature)


class ControlObject(dbus.service.Object):
    def __init__(self, connection: Any, controller: Controller,
                 fault: Callable[[BaseException], Any]) -> None:
        self.controller = controller
        self.on_fault = fault
        super().__init__(connection, CONTROL_PATH)

    def call(self, name: str, *args: Any) -> Any:
        """A ControlError is the caller's to hear; anything else is a fault
        of the simulation, which ends the run."""
        try:
            return getattr(self.controller, name)(*args)
        except ControlError as e:
            raise dbus.DBusException(str(e), name=e.name) from None
        except Exception as exc:
            self.on_fault(exc)
            raise dbus.DBusException('internal fault of the simulation',
                                     name='org.freedesktop.DBus.Error.Failed') from None

    @method('sa{sv}', 'o')
    def AddAdapter(self, name, props):
        return self.call('AddAdapter', name, props)

    @method('osa{sv}', 'o')
    def AddDevice(self, adapter, address, props):
        return self.call('AddDevice', adapter, address, props)

    @method('osa{sv}')
    def AddPeripheralInRange(self, adapter, address, props):
        self.call('AddPeripheralInRange', adapter, address, props)

    @method('oa{sv}')
    def Advertise(self, path, data):
        self.call('Advertise', path, data)

    @method('oa{sv}')
    def ConfigureDevice(self, path, options):
        self.call('ConfigureDevice', path, options)

    @method('osa{sv}', 'o')
    def AddService(self, device, uuid, options):
        return self.call('AddService', device, uuid, options)

    @method('osa{sv}', 'o')
    def AddCharacteristic(self, service, uuid, options):
        return self.call('AddCharacteristic', service, uuid, options)

    @method('osa{sv}b')
    def SetProperties(self, path, iface, changed, emit):
        self.call('SetProperties', path, iface, changed, emit)

    @method('o')
    def RemoveObject(self, path):
        self.call('RemoveObject', path)

    @method('o')
    def ForgetDevice(self, path):
        self.call('ForgetDevice', path)

    @method('o')
    def DropLink(self, path):
        self.call('DropLink', path)

    @method('o', 'b')
    def LinkUsable(self, path):
        return self.call('LinkUsable', path)

    @method('')
    def Shutdown(self):
        self.call('Shutdown')

    @method('')
    def ReleaseBluezName(self):
        self.call('ReleaseBluezName')

    @method('oss')
    def FailAdapterMethod(self, path, method_name, error_name):
        self.call('FailAdapterMethod', path, method_name, error_name)

    @method('a{sv}')
    def SetTiming(self, timing):
        self.call('SetTiming', timing)

    @method('osssav')
    def EmitRaw(self, path, iface, member, signature, args):
        self.call('EmitRaw', path, iface, member, signature, args)

    @method('', 's')
    def GetCalls(self):
        return self.call('GetCalls')

    @method('o', 's')
    def GetDiscoveryLog(self, adapter):
        return self.call('GetDiscoveryLog', adapter)

    @method('', 's')
    def GetBluezUniqueName(self):
        return self.call('GetBluezUniqueName')
