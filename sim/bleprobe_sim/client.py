"""SimClient: a test's handle on a running simulation, over the control
interface's own connection (see bleprobe-sim(1) for the methods)."""

import json

import dbus
import dbus.bus

from .dbus_values import byte_array, service_data
from .names import (ADAPTER, BLUEZ_NAME, CONTROL_IFACE, CONTROL_NAME, CONTROL_PATH, PROPERTIES,
                    device_path)
from .waiting import poll_until


class SimClient:
    """Drives a running simulation over its control connection."""

    def __init__(self, address):
        self.bus = dbus.bus.BusConnection(address)
        obj = self.bus.get_object(CONTROL_NAME, CONTROL_PATH, introspect=False)
        self.ctl = dbus.Interface(obj, CONTROL_IFACE)

    def close(self):
        self.bus.close()

    def add_adapter(self, name='hci0', powered=True, controller='le', **props):
        """controller: 'le' (LE only) or 'dual' (BR/EDR and LE)."""
        props['Powered'] = dbus.Boolean(powered)
        props['Controller'] = dbus.String(controller)
        return str(self.ctl.AddAdapter(name, dbus.Dictionary(props, signature='sv')))

    def add_device(self, address, adapter='/org/bluez/hci0', data=None, connected=False,
                   **props):
        if data is not None:
            props['ServiceData'] = data if isinstance(data, dbus.Dictionary) else service_data(data)
        if connected:
            props['Connected'] = dbus.Boolean(True)
            props['ServicesResolved'] = dbus.Boolean(True)
        return str(self.ctl.AddDevice(adapter, address, dbus.Dictionary(props, signature='sv')))

    def configure(self, path, **options):
        values = {}
        for key, value in options.items():
            if isinstance(value, bool):
                values[key] = dbus.Boolean(value)
            elif isinstance(value, float):
                values[key] = dbus.Double(value)
            else:
                values[key] = value
        self.ctl.ConfigureDevice(path, dbus.Dictionary(values, signature='sv'))

    def advertise(self, path, data):
        """data: {uuid: bytes} (well typed) or a ready dbus.Dictionary."""
        if not isinstance(data, dbus.Dictionary):
            data = service_data(data)
        self.ctl.Advertise(path, data)

    def set_properties(self, path, iface, emit=True, **changed):
        self.ctl.SetProperties(path, iface, dbus.Dictionary(changed, signature='sv'),
                               dbus.Boolean(emit))

    def set_powered(self, adapter, powered):
        self.set_properties(adapter, ADAPTER, Powered=dbus.Boolean(powered))

    def fail_adapter_method(self, adapter, method, error_name):
        self.ctl.FailAdapterMethod(adapter, method, error_name)

    def add_service(self, device, uuid, primary=True):
        return str(self.ctl.AddService(device, uuid, {'Primary': dbus.Boolean(primary)}))

    def add_characteristic(self, service, uuid, value=None, flags=('read',), read='value',
                           error=None, error_message=None):
        options = {'Flags': dbus.Array(list(flags), signature='s'),
                   'ReadBehaviour': dbus.String(read)}
        if value is not None:
            options['Value'] = byte_array(value)
        if error is not None:
            options['ReadError'] = dbus.String(error)
        if error_message is not None:
            options['ReadErrorMessage'] = dbus.String(error_message)
        return str(self.ctl.AddCharacteristic(service, uuid,
                                              dbus.Dictionary(options, signature='sv')))

    def remove(self, path):
        self.ctl.RemoveObject(path)

    def add_peripheral_in_range(self, address, adapter='/org/bluez/hci0', interval=None,
                                phase=None, lose=(), **props):
        """`interval`, `phase` and `lose`: the peripheral's own radio (see
        the control interface's AddPeripheralInRange)."""
        if interval is not None:
            props['Interval'] = dbus.Double(interval)
        if phase is not None:
            props['Phase'] = dbus.Double(phase)
        if lose:
            props['Lose'] = dbus.Array([dbus.UInt32(n) for n in lose], signature='u')
        self.ctl.AddPeripheralInRange(adapter, address, dbus.Dictionary(props, signature='sv'))
        return device_path(adapter, address)

    def set_timing(self, **timing):
        self.ctl.SetTiming(dbus.Dictionary({k: dbus.Double(v) for k, v in timing.items()},
                                           signature='sv'))

    def discovery_log(self, adapter='/org/bluez/hci0'):
        return json.loads(self.ctl.GetDiscoveryLog(adapter))

    def wait_reports(self, count, adapter='/org/bluez/hci0', timeout=20.0):
        """Poll until the controller has made `count` advertisement reports
        (lost ones too); return the discovery log."""
        def enough():
            log = self.discovery_log(adapter)
            return log if len(log['reports']) >= count else None
        return self.waiting(enough, timeout, lambda: '%d reports, not %d, within %.0f s' % (
            len(self.discovery_log(adapter)['reports']), count, timeout))

    @staticmethod
    def waiting(condition, timeout, failure):
        """poll_until, failing the test with what failure() says."""
        try:
            return poll_until(condition, timeout)
        except TimeoutError:
            raise AssertionError(failure()) from None

    def shutdown(self):
        self.ctl.Shutdown()

    def forget_device(self, path):
        self.ctl.ForgetDevice(path)

    def drop_link(self, path):
        self.ctl.DropLink(path)

    def emit_raw(self, path, iface, member, signature, *args):
        self.ctl.EmitRaw(path, iface, member, signature,
                         dbus.Array(list(args), signature='v'))

    def release_bluez_name(self):
        self.ctl.ReleaseBluezName()

    def bluez_unique_name(self):
        return str(self.ctl.GetBluezUniqueName())

    def get_property(self, path, iface, name):
        """Read a property the way a client of bluetoothd does."""
        obj = self.bus.get_object(BLUEZ_NAME, path, introspect=False)
        return dbus.Interface(obj, PROPERTIES).Get(iface, name)

    def wait_property(self, path, iface, name, value, timeout=20.0):
        self.waiting(lambda: self.get_property(path, iface, name) == value, timeout,
                     lambda: '%s %s never became %r' % (path, name, value))

    def wait_link_usable(self, path, timeout=20.0):
        self.waiting(lambda: self.ctl.LinkUsable(path), timeout,
                     lambda: '%s: Connect never answered' % path)

    def calls(self, member=None, pid=None):
        result = json.loads(self.ctl.GetCalls())
        if member is not None:
            result = [c for c in result if c['member'] == member]
        if pid is not None:
            result = [c for c in result if c['pid'] == pid]
        return result

    def wait_for_call(self, member, pid=None, count=1, timeout=20.0):
        """Poll the call log until `member` has been called `count` times."""
        def called():
            found = self.calls(member, pid)
            return found if len(found) >= count else None
        return self.waiting(called, timeout, lambda: '%s was not called within %.0f s; calls: %s'
                            % (member, timeout, [c['member'] for c in self.calls()]))
