"""A simulated bluetoothd for a private D-Bus bus.

It owns ``org.bluez`` and shows a client what bluetoothd shows: the object
manager at ``/``, adapters, devices with advertised service data, and GATT
services and characteristics that can be read.  A second connection owns
``org.bleprobe.Simulator`` and lets a test (or the demo script) add and
change objects, choose how Connect, Disconnect and ReadValue answer, and read
back the log of every method call the simulated daemon received.  The control
interface lives on its own connection so that a bus policy which denies
``send_destination="org.bluez"`` still lets the test drive the simulation.

It plays bluetoothd 5.66 on a 6.1 kernel unless told another release
(``--profile``): 5.82 on a 6.12 kernel, or 5.87 on a 7.2 kernel.  Those
differ in the order and shape of what they signal, in how bluetoothd merges
its clients' discovery filters and in what the kernel loses (see PROFILES).
The rounds of the kernel's discovery are the same for all of them.

Run as a script::

    python3 -m bleprobe_sim.simulated_bluez --address unix:path=/tmp/bus [--scenario FILE] [--profile 5.82]

It prints ``READY`` on stdout once both names are owned.  Import it as a
module for the constants and for ``SimClient``, the test-side proxy.
"""

import argparse
import json
import os
import signal
import time

import dbus
import dbus.lowlevel
import dbus.service

BLUEZ_NAME = 'org.bluez'
CONTROL_NAME = 'org.bleprobe.Simulator'
CONTROL_PATH = '/org/bleprobe/Simulator'
CONTROL_IFACE = 'org.bleprobe.Simulator1'

OBJECT_MANAGER = 'org.freedesktop.DBus.ObjectManager'
PROPERTIES = 'org.freedesktop.DBus.Properties'
INTROSPECTABLE = 'org.freedesktop.DBus.Introspectable'
ADAPTER = 'org.bluez.Adapter1'
DEVICE = 'org.bluez.Device1'
GATT_SERVICE = 'org.bluez.GattService1'
GATT_CHARACTERISTIC = 'org.bluez.GattCharacteristic1'
BEARER_LE = 'org.bluez.Bearer.LE1'

BASE_UUID_SUFFIX = '-0000-1000-8000-00805f9b34fb'

# What the releases do differently, as seen on the real daemons.
#   connected_at_start: Connected=true is signalled as soon as Connect is
#       called, well before its reply and before the link can carry a read;
#       5.66 mostly signals no Connected=true at all.
#   combined_link_loss: the end of a link is one PropertiesChanged carrying
#       ServicesResolved=false and Connected=false; 5.66 sends two.
#   server_handles: object paths follow the peripheral's real attribute
#       handles, Generic Access (exported from 5.82 on) and Generic Attribute
#       taking the first fifteen, so Device Information sits at service0010.
#   bearer: devices carry org.bluez.Bearer.LE1, and Device1.Disconnected
#       (reason, message) comes before Connected=false.
#   first_report_lost: the kernel (6.12 and later) signals Discovering and
#       scans before it completes the start of a discovery; bluetoothd drops
#       what arrives before that completion, so the first advertisement
#       report of a discovery started from idle is lost.  It was lost in 5 of
#       17 real runs; here it is lost every time.
#   scan_type_filter_is_plain: a filter that asks nothing beyond the
#       controller's scan type (Transport, DuplicateData false, Discoverable)
#       counts as no filter (merge_discovery_filters, from 5.67); in 5.66 any
#       client with a filter makes the discovery filtered.
PROFILES = {
    '5.66': {'connected_at_start': False, 'combined_link_loss': False, 'server_handles': False,
             'bearer': False, 'first_report_lost': False, 'scan_type_filter_is_plain': False},
    '5.82': {'connected_at_start': True, 'combined_link_loss': True, 'server_handles': True,
             'bearer': False, 'first_report_lost': True, 'scan_type_filter_is_plain': True},
    '5.87': {'connected_at_start': True, 'combined_link_loss': True, 'server_handles': True,
             'bearer': True, 'first_report_lost': True, 'scan_type_filter_is_plain': True},
}
DEFAULT_PROFILE = '5.66'

# Handles a real peripheral's Generic Access and Generic Attribute services
# span (declarations, values and the Service Changed descriptor), whatever
# characteristics a test gives them.
SERVER_SPANS = {'1800': 9, '1801': 6}

# The reasons Device1.Disconnected gives, by what ended the link.
DISCONNECT_REASONS = {
    'local': ('org.bluez.Reason.Local', 'Connection terminated by local host'),
    'remote': ('org.bluez.Reason.Remote', 'Connection terminated by remote user'),
    'timeout': ('org.bluez.Reason.Timeout', 'Connection timeout'),
}


def uuid16(short):
    """The lower-case 128-bit text that bluetoothd writes for a 16-bit UUID."""
    return '0000%04x%s' % (int(short, 16), BASE_UUID_SUFFIX)


def device_path(adapter_path, address):
    return '%s/dev_%s' % (adapter_path, address.upper().replace(':', '_'))


def byte_array(data):
    return dbus.Array([dbus.Byte(b) for b in bytes(data)], signature='y')


def service_data(entries):
    """ServiceData as bluetoothd sends it: a{sv} with each value an ay."""
    return dbus.Dictionary({dbus.String(k): byte_array(v) for k, v in entries.items()},
                           signature='sv')


def to_json(value):
    """Plain JSON form of an unmarshalled D-Bus value (for the call log)."""
    if isinstance(value, dbus.Boolean):
        return bool(value)
    if isinstance(value, (dbus.Array, list)):
        if isinstance(value, dbus.Array) and value.signature == 'y':
            return [int(b) for b in value]
        return [to_json(v) for v in value]
    if isinstance(value, dbus.ByteArray):
        return list(bytes(value))
    if isinstance(value, (dbus.Dictionary, dict)):
        return {str(k): to_json(v) for k, v in value.items()}
    if isinstance(value, (dbus.Struct, tuple)):
        return [to_json(v) for v in value]
    if isinstance(value, (dbus.Double, float)):
        return float(value)
    if isinstance(value, int):
        return int(value)
    return str(value)


class BluezError(dbus.DBusException):
    def __init__(self, name, message=''):
        super().__init__(message, name=name)


def not_ready():
    return BluezError('org.bluez.Error.NotReady', 'Resource Not Ready')


def in_progress():
    return BluezError('org.bluez.Error.InProgress', 'Operation already in progress')


def invalid_args():
    return BluezError('org.bluez.Error.InvalidArguments', 'Invalid arguments in method call')


# ---------------------------------------------------------------------------
# The org.bluez side
# ---------------------------------------------------------------------------

class BluezObject(dbus.service.Object):
    """One exported path with its interfaces and their property dictionaries."""

    # Properties a client may write through org.freedesktop.DBus.Properties.Set.
    WRITABLE = {}

    def __init__(self, sim, path, interfaces):
        self.sim = sim
        self.path = path
        self.interfaces = interfaces  # {interface: {name: dbus value}}
        super().__init__(sim.bluez_bus, path)

    def managed_interfaces(self):
        result = dbus.Dictionary({}, signature='sa{sv}')
        for iface, props in self.interfaces.items():
            result[iface] = dbus.Dictionary(props, signature='sv')
        # bluetoothd lists the two standard interfaces too, with no properties.
        result[INTROSPECTABLE] = dbus.Dictionary({}, signature='sv')
        result[PROPERTIES] = dbus.Dictionary({}, signature='sv')
        return result

    def change(self, iface, changed, emit=True):
        """Store new property values and announce them in one signal."""
        props = self.interfaces.setdefault(iface, {})
        props.update(changed)
        if emit and changed:
            self.sim.emit(self.path, PROPERTIES, 'PropertiesChanged', 'sa{sv}as',
                          iface, dbus.Dictionary(changed, signature='sv'),
                          dbus.Array([], signature='s'))

    def prop(self, iface, name, default=None):
        return self.interfaces.get(iface, {}).get(name, default)

    @dbus.service.method(PROPERTIES, in_signature='ss', out_signature='v',
                         sender_keyword='sender', message_keyword='msg')
    def Get(self, iface, name, sender=None, msg=None):
        self.sim.log(msg, sender, [iface, name])
        if iface not in self.interfaces:
            raise BluezError('org.freedesktop.DBus.Error.InvalidArgs', 'No such interface')
        if name not in self.interfaces[iface]:
            raise BluezError('org.freedesktop.DBus.Error.InvalidArgs', 'No such property')
        return self.interfaces[iface][name]

    @dbus.service.method(PROPERTIES, in_signature='s', out_signature='a{sv}',
                         sender_keyword='sender', message_keyword='msg')
    def GetAll(self, iface, sender=None, msg=None):
        self.sim.log(msg, sender, [iface])
        if iface not in self.interfaces:
            raise BluezError('org.freedesktop.DBus.Error.InvalidArgs', 'No such interface')
        return dbus.Dictionary(self.interfaces[iface], signature='sv')

    @dbus.service.method(PROPERTIES, in_signature='ssv', out_signature='',
                         sender_keyword='sender', message_keyword='msg')
    def Set(self, iface, name, value, sender=None, msg=None):
        self.sim.log(msg, sender, [iface, name, to_json(value)])
        if iface not in self.interfaces or name not in self.interfaces[iface]:
            raise BluezError('org.freedesktop.DBus.Error.InvalidArgs', 'No such property')
        kind = self.WRITABLE.get((iface, name))
        if kind is None:
            raise BluezError('org.freedesktop.DBus.Error.PropertyReadOnly',
                             'Property is read-only')
        if kind == 'b':
            if not isinstance(value, dbus.Boolean):
                raise BluezError('org.freedesktop.DBus.Error.InvalidArgs', 'Invalid arguments')
            value = dbus.Boolean(value)
        self.set_property(iface, name, value)

    def set_property(self, iface, name, value):
        self.change(iface, {name: value})


class Root(dbus.service.Object):
    def __init__(self, sim):
        self.sim = sim
        super().__init__(sim.bluez_bus, '/')

    @dbus.service.method(OBJECT_MANAGER, in_signature='', out_signature='a{oa{sa{sv}}}',
                         sender_keyword='sender', message_keyword='msg')
    def GetManagedObjects(self, sender=None, msg=None):
        self.sim.log(msg, sender, [])
        result = dbus.Dictionary({}, signature='oa{sa{sv}}')
        for path, obj in self.sim.objects.items():
            result[dbus.ObjectPath(path)] = obj.managed_interfaces()
        return result


class Manager(BluezObject):
    """/org/bluez: bluetoothd's agent and profile managers (no properties)."""

    def __init__(self, sim):
        super().__init__(sim, '/org/bluez', {'org.bluez.AgentManager1': {},
                                             'org.bluez.ProfileManager1': {}})


class Adapter(BluezObject):
    WRITABLE = {(ADAPTER, 'Powered'): 'b', (ADAPTER, 'Discoverable'): 'b',
                (ADAPTER, 'Pairable'): 'b', (ADAPTER, 'Alias'): 's'}

    def __init__(self, sim, name, props):
        path = '/org/bluez/' + name
        controller = str(props.get('Controller', 'le'))
        if controller not in ('le', 'dual'):
            raise BluezError('org.bleprobe.Simulator.Error.BadOption', controller)
        address = str(props.get('Address', '00:1A:7D:DA:71:%02X' % (len(sim.objects) & 0xff)))
        adapter = {
            'Address': dbus.String(address),
            'AddressType': dbus.String('public'),
            'Name': dbus.String('simulated-' + name),
            'Alias': dbus.String('simulated-' + name),
            'Class': dbus.UInt32(0x6c010c),
            'Powered': dbus.Boolean(True),
            'Discoverable': dbus.Boolean(False),
            'DiscoverableTimeout': dbus.UInt32(180),
            'Pairable': dbus.Boolean(False),
            'PairableTimeout': dbus.UInt32(0),
            'Discovering': dbus.Boolean(False),
            'UUIDs': dbus.Array([uuid16('1800'), uuid16('1801'), uuid16('110e')],
                                signature='s'),
            'Modalias': dbus.String('usb:v1D6Bp0246d0542'),
            'Roles': dbus.Array(['central', 'peripheral'], signature='s'),
        }
        for key, value in props.items():
            if key not in ('Address', 'Controller'):
                adapter[str(key)] = value
        super().__init__(sim, path, {
            ADAPTER: adapter,
            'org.bluez.GattManager1': {},
            'org.bluez.LEAdvertisingManager1': {
                'ActiveInstances': dbus.Byte(0),
                'SupportedInstances': dbus.Byte(5),
                'SupportedIncludes': dbus.Array(['tx-power', 'appearance', 'local-name'],
                                                signature='s'),
            },
            'org.bluez.Media1': {},
            'org.bluez.NetworkServer1': {},
        })
        self.name = name
        # 'le' (LE only) or 'dual' (BR/EDR and LE): what the controller scans
        # for when a client asks nothing more.
        self.controller = controller
        self.discovery_clients = set()
        self.filters = {}
        # bluetoothd 5.66 keeps a client that stopped with a filter set; when
        # it then leaves the bus, the controller's discovery is stopped for
        # every client, though the others stay registered (see client_gone).
        self.stopped_with_filter = set()
        self.halted = False
        # Peripherals in range that BlueZ learns of only while discovering:
        # address -> properties of the device object it then creates.
        self.in_range = {}
        # Addresses of every peripheral advertising in range, listed by BlueZ
        # or not: the controller reports each once per discovery round.
        self.on_air = []
        # Peripherals that advertise at their own interval (see set_radio):
        # address -> {interval, phase, lose, start, count, generation}.  The
        # others advertise so often that a round hears them as it starts.
        self.radio = {}
        # The controller's discovery rounds: a number that changes whenever
        # discovery stops (so that timers of an old discovery do nothing),
        # the round under way (0: none, or the pause between two), the
        # advertisers the controller's duplicate filter has let through in it,
        # and what happened, for the control interface.
        self.epoch = 0
        self.round = 0
        self.heard = set()
        self.rounds = []
        self.reports = []
        # Error names to answer instead of success, set by the control interface.
        self.fail = {}

    @property
    def powered(self):
        return bool(self.prop(ADAPTER, 'Powered'))

    def set_property(self, iface, name, value):
        if iface == ADAPTER and name == 'Powered':
            self.set_powered(bool(value))
        else:
            super().set_property(iface, name, value)

    def set_powered(self, powered):
        if powered == self.powered:
            return
        if powered:
            self.change(ADAPTER, {'Powered': dbus.Boolean(True)})
            return
        # bluetoothd ends the links first and signals the adapter's state only
        # when the kernel confirms the power-off: 30 to 180 ms later.
        for dev in self.sim.devices_of(self.path):
            dev.drop_link('local')
        self.stop_rounds()
        self.discovery_clients.clear()
        self.filters.clear()
        self.stopped_with_filter.clear()
        self.halted = False

        def off():
            changed = {'Powered': dbus.Boolean(False)}
            if self.prop(ADAPTER, 'Discovering'):
                changed['Discovering'] = dbus.Boolean(False)
            self.change(ADAPTER, changed)
        self.sim.later(self.sim.power_off_delay, off)

    def configured_failure(self, method):
        name = self.fail.get(method)
        if name:
            raise BluezError(name, 'Simulated failure')

    def client_gone(self, name):
        self.filters.pop(name, None)
        if name in self.stopped_with_filter:
            self.stopped_with_filter.discard(name)
            if self.discovery_clients:
                self.halted = True
        if name in self.discovery_clients:
            self.discovery_clients.discard(name)
        self.update_discovering()

    def update_discovering(self):
        discovering = bool(self.discovery_clients) and not self.halted
        was = bool(self.prop(ADAPTER, 'Discovering'))
        if discovering != was:
            self.change(ADAPTER, {'Discovering': dbus.Boolean(discovering)})
        if discovering and not was:
            self.start_round(from_idle=True, paused=False)
        elif discovering:
            # An advertiser new to this round gets through the duplicate filter.
            self.hear(first_lost=False)
        else:
            self.stop_rounds()

    # -- discovery rounds ---------------------------------------------------
    # The kernel ends an LE discovery round after 10.24 s.  bluetoothd then
    # starts the next one at once when the merged client filters ask more
    # than the controller's scan type (a filtered discovery), and after
    # IDLE_DISCOV_TIMEOUT (5 s) when they do not (a plain discovery); the
    # restart itself takes a few tens of milliseconds in which nothing is
    # heard.  Discovering stays true throughout.  The controller's duplicate
    # filter stays on whatever DuplicateData says and lets each advertiser
    # through once per round: a peripheral whose report was lost by the
    # kernel is not heard again before the next round starts.

    def filtered(self):
        """Whether bluetoothd runs a filtered discovery for the clients
        discovering now: any client's filter in 5.66, from 5.67 any client's
        filter asking more than the scan type."""
        scan_type = {'le'} if self.controller == 'le' else {'le', 'bredr'}
        for client in self.discovery_clients:
            filt = self.filters.get(client)
            if not filt:
                continue
            if not self.sim.profile['scan_type_filter_is_plain']:
                return True
            transport = filt.get('Transport', 'auto')
            if (filt.get('UUIDs') or 'RSSI' in filt or 'Pathloss' in filt
                    or filt.get('DuplicateData') or 'Pattern' in filt
                    or (transport != 'auto' and {transport} != scan_type)):
                return True
        return False

    def start_round(self, from_idle, paused):
        self.round = len(self.rounds) + 1
        self.heard = set()
        self.rounds.append({'round': self.round, 'time': time.monotonic(),
                            'afterPause': paused, 'filtered': self.filtered()})
        lose = from_idle and self.sim.profile['first_report_lost']
        self.hear(first_lost=lose)
        epoch = self.epoch
        self.sim.later(self.sim.round_time, lambda: self.end_round(epoch))

    def end_round(self, epoch):
        if epoch != self.epoch:
            return
        self.round = 0
        paused = not self.filtered()
        delay = (self.sim.round_pause if paused else 0) + self.sim.round_restart
        self.sim.later(delay, lambda: epoch == self.epoch and self.start_round(False, paused))

    def stop_rounds(self):
        self.epoch += 1
        self.round = 0

    def hear(self, first_lost):
        """Each advertiser not yet let through in this round is reported
        AppearDelay later; the very first report is lost if asked."""
        if not self.round:
            return
        for address in self.on_air:
            if address in self.heard or address in self.radio:
                continue
            self.heard.add(address)
            epoch, current = self.epoch, self.round
            self.sim.later(self.sim.appear_delay,
                           lambda a=address, lost=first_lost: epoch == self.epoch
                           and self.report(a, current, lost))
            first_lost = False

    def set_radio(self, address, interval, phase, lose):
        """The peripheral advertises every `interval` s, the first time
        `phase` s from now; its advertisements numbered in `lose` (from 1)
        are lost in the air, whatever the release or the discovery."""
        old = self.radio.get(address)
        self.radio[address] = {'interval': interval, 'phase': phase, 'lose': set(lose),
                               'start': time.monotonic(), 'count': 0,
                               'generation': old['generation'] + 1 if old else 0}
        self.schedule_advertisement(address)

    def schedule_advertisement(self, address):
        radio = self.radio[address]
        generation = radio['generation']
        due = radio['start'] + radio['phase'] + radio['count'] * radio['interval']
        self.sim.later(max(0.0, due - time.monotonic()),
                       lambda: self.advertised(address, generation))

    def advertised(self, address, generation):
        radio = self.radio.get(address)
        if not radio or radio['generation'] != generation:
            return
        radio['count'] += 1
        number = radio['count']
        self.schedule_advertisement(address)
        # Heard only while a round runs, and once per round.
        if (number in radio['lose'] or not self.round or address in self.heard
                or address not in self.on_air):
            return
        self.heard.add(address)
        epoch, current = self.epoch, self.round
        self.sim.later(self.sim.appear_delay,
                       lambda: epoch == self.epoch and self.report(address, current, False, number))

    def report(self, address, round_, lost, advertisement=None):
        entry = {'round': round_, 'address': address, 'lost': lost}
        if advertisement is not None:
            entry['advertisement'] = advertisement
        self.reports.append(entry)
        if lost:
            return
        path = device_path(self.path, address)
        dev = self.sim.objects.get(path)
        if isinstance(dev, Device):
            # bluetoothd passes the report on to a device it lists already.
            changed = {'RSSI': dbus.Int16(-55 - (self.sim.sequence % 20))}
            if dev.prop(DEVICE, 'ServiceData') is not None and any(
                    self.filters.get(c, {}).get('DuplicateData') for c in self.discovery_clients):
                changed['ServiceData'] = dev.prop(DEVICE, 'ServiceData')
            dev.change(DEVICE, changed)
            dev.seen()
            return
        self.found(address)

    def on_air_add(self, address):
        if address not in self.on_air:
            self.on_air.append(address)

    def found(self, address):
        """An advertisement of a peripheral in range reaches a discovery."""
        path = device_path(self.path, address)
        if (address not in self.in_range or path in self.sim.objects
                or not self.prop(ADAPTER, 'Discovering')):
            return
        known = self.in_range.pop(address)
        if isinstance(known, Device):
            dev = known
            dev.add_to_connection(self.sim.bluez_bus, dev.path)
        else:
            dev = Device(self.sim, self.path, address, known)
        self.sim.export(dev)
        dev.set_temporary(True)

    def forget(self, dev):
        """BlueZ drops a device it knew only from a discovery. The peripheral
        stays in range; its services are learnt anew on the next connection."""
        below = sorted((o for p, o in self.sim.objects.items() if p.startswith(dev.path + '/')),
                       key=lambda o: o.path)
        self.sim.remove_tree(dev.path)
        dev.change(DEVICE, {'ServicesResolved': dbus.Boolean(False)}, emit=False)
        dev.behaviour['GattOnConnect'] = True
        for obj in below:
            obj.add_to_connection(self.sim.bluez_bus, obj.path)
        dev.hidden_gatt = below + dev.hidden_gatt
        address = str(dev.prop(DEVICE, 'Address'))
        self.in_range[address] = dev
        self.on_air_add(address)
        if self.prop(ADAPTER, 'Discovering'):
            self.update_discovering()

    @dbus.service.method(ADAPTER, in_signature='a{sv}', out_signature='',
                         sender_keyword='sender', message_keyword='msg')
    def SetDiscoveryFilter(self, filt, sender=None, msg=None):
        self.sim.log(msg, sender, [to_json(filt)])
        self.configured_failure('SetDiscoveryFilter')
        if not self.powered:
            raise not_ready()
        checks = {
            'UUIDs': lambda v: (isinstance(v, dbus.Array)
                                and all(isinstance(u, dbus.String) for u in v)),
            'RSSI': lambda v: isinstance(v, dbus.Int16),
            'Pathloss': lambda v: isinstance(v, dbus.UInt16),
            'Transport': lambda v: isinstance(v, dbus.String) and v in ('auto', 'bredr', 'le'),
            'DuplicateData': lambda v: isinstance(v, dbus.Boolean),
            'Discoverable': lambda v: isinstance(v, dbus.Boolean),
            'Pattern': lambda v: isinstance(v, dbus.String),
        }
        for key, value in filt.items():
            check = checks.get(str(key))
            if check is None or not check(value):
                raise invalid_args()
        self.sim.watch_client(sender)
        self.filters[sender] = to_json(filt)
        self.stopped_with_filter.discard(sender)

    @dbus.service.method(ADAPTER, in_signature='', out_signature='',
                         sender_keyword='sender', message_keyword='msg')
    def StartDiscovery(self, sender=None, msg=None):
        self.sim.log(msg, sender, [])
        if self.fail.get('StartDiscovery') == 'org.bluez.Error.InProgress':
            # What bluetoothd answers a client that already discovers.
            self.sim.watch_client(sender)
            self.discovery_clients.add(sender)
            self.update_discovering()
        self.configured_failure('StartDiscovery')
        if not self.powered:
            raise not_ready()
        if sender in self.discovery_clients:
            raise in_progress()
        self.sim.watch_client(sender)
        self.discovery_clients.add(sender)
        self.stopped_with_filter.discard(sender)
        # A new client restarts a controller discovery that was stopped.
        self.halted = False
        self.update_discovering()

    @dbus.service.method(ADAPTER, in_signature='', out_signature='',
                         sender_keyword='sender', message_keyword='msg')
    def StopDiscovery(self, sender=None, msg=None):
        self.sim.log(msg, sender, [])
        self.configured_failure('StopDiscovery')
        if not self.powered:
            raise not_ready()
        if sender not in self.discovery_clients:
            raise BluezError('org.bluez.Error.Failed', 'No discovery started')
        self.discovery_clients.discard(sender)
        if self.discovery_clients and self.filters.get(sender):
            self.stopped_with_filter.add(sender)
        if not self.discovery_clients:
            self.halted = False
        was_discovering = bool(self.prop(ADAPTER, 'Discovering'))
        self.update_discovering()
        if was_discovering and not self.discovery_clients:
            # bluetoothd 5.66 signals the end of discovery twice: once when
            # the request is handled and once when the controller confirms.
            self.change(ADAPTER, {'Discovering': dbus.Boolean(False)})

    @dbus.service.method(ADAPTER, in_signature='', out_signature='as',
                         sender_keyword='sender', message_keyword='msg')
    def GetDiscoveryFilters(self, sender=None, msg=None):
        self.sim.log(msg, sender, [])
        return dbus.Array(['UUIDs', 'RSSI', 'Pathloss', 'Transport', 'DuplicateData',
                           'Discoverable', 'Pattern'], signature='s')

    @dbus.service.method(ADAPTER, in_signature='o', out_signature='',
                         sender_keyword='sender', message_keyword='msg')
    def RemoveDevice(self, path, sender=None, msg=None):
        self.sim.log(msg, sender, [str(path)])
        obj = self.sim.objects.get(str(path))
        if not isinstance(obj, Device) or obj.adapter_path != self.path:
            raise BluezError('org.bluez.Error.DoesNotExist', 'Does Not Exist')
        self.sim.remove_tree(str(path))


class Device(BluezObject):
    WRITABLE = {(DEVICE, 'Trusted'): 'b', (DEVICE, 'Blocked'): 'b', (DEVICE, 'Alias'): 's'}

    DEFAULT_BEHAVIOUR = {
        'ConnectBehaviour': 'ok',         # ok | error | hang
        'ConnectError': 'org.bluez.Error.Failed',
        'ConnectErrorMessage': 'le-connection-abort-by-local',
        'ConnectDelay': 0.05,
        'EmitConnected': False,           # bluetoothd 5.66 usually leaves it out
        'ResolveDelay': 0.3,              # < 0: ServicesResolved never turns true
        'GattOnConnect': False,           # export GATT objects only once connected
        'DisconnectDelay': 0.2,           # < 0: the link is never dropped
        # >= 0: ServicesResolved is signalled this long before the InterfacesAdded
        # of the GATT objects (which are registered, and listed, already).
        'ObjectsAfterResolved': -1.0,
        'LinkLostAfter': -1.0,            # >= 0: the link drops this long after it came up
    }

    def __init__(self, sim, adapter_path, address, props):
        path = device_path(adapter_path, address)
        dev = {
            'Address': dbus.String(address),
            'AddressType': dbus.String('random'),
            'Alias': dbus.String(address.replace(':', '-')),
            'Paired': dbus.Boolean(False),
            'Bonded': dbus.Boolean(False),
            'Trusted': dbus.Boolean(False),
            'Blocked': dbus.Boolean(False),
            'LegacyPairing': dbus.Boolean(False),
            'RSSI': dbus.Int16(-61),
            'Connected': dbus.Boolean(False),
            'UUIDs': dbus.Array([], signature='s'),
            'Adapter': dbus.ObjectPath(adapter_path),
            'ServicesResolved': dbus.Boolean(False),
        }
        dev.update({str(k): v for k, v in props.items()})
        interfaces = {DEVICE: dev}
        if sim.profile['bearer']:
            interfaces[BEARER_LE] = {
                'Adapter': dbus.ObjectPath(adapter_path),
                'Paired': dbus.Boolean(False),
                'Bonded': dbus.Boolean(False),
                'Connected': dbus.Boolean(bool(dev['Connected'])),
            }
        # A test may deliberately hand in an Address of the wrong type.
        super().__init__(sim, path, interfaces)
        self.adapter_path = adapter_path
        self.behaviour = dict(self.DEFAULT_BEHAVIOUR)
        self.pending_connect = None      # (reply, error) of a Connect not yet answered
        self.pending_disconnects = []    # reply callbacks of Disconnect calls
        self.pending_reads = []          # error callbacks of reads left waiting
        self.hidden_gatt = []            # GATT objects waiting to be exported on connect
        self.timers = []
        # Created by a discovery: forgotten TemporaryTimeout after it was last
        # seen, unless a Connect made it known for good first.
        self.temporary = False
        self.temporary_timer = None

    @property
    def connected(self):
        return bool(self.prop(DEVICE, 'Connected'))

    def later(self, delay, func):
        self.timers.append(self.sim.later(delay, func))

    # bluetoothd keeps one timer per temporary device (device.c): started
    # when a discovery creates it and restarted by each report of it. Connect
    # makes the device known for good before anything else, so neither a
    # Connect under way nor a device once connected is dropped by the timer.
    def set_temporary(self, temporary):
        self.temporary = temporary
        self.seen()

    def seen(self):
        self.sim.cancel(self.temporary_timer)
        self.temporary_timer = None
        if self.temporary:
            self.temporary_timer = self.sim.later(self.sim.temporary_timeout, self.disappeared)

    def disappeared(self):
        self.temporary_timer = None
        adapter = self.adapter()
        if isinstance(adapter, Adapter) and self.sim.objects.get(self.path) is self:
            adapter.forget(self)

    def adapter(self):
        return self.sim.objects.get(self.adapter_path)

    @dbus.service.method(DEVICE, in_signature='', out_signature='',
                         sender_keyword='sender', message_keyword='msg',
                         async_callbacks=('reply', 'error'))
    def Connect(self, sender=None, msg=None, reply=None, error=None):
        self.sim.log(msg, sender, [])
        adapter = self.adapter()
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
        how = self.behaviour['ConnectBehaviour']
        self.pending_connect = (reply, error)
        if self.sim.profile['connected_at_start']:
            # Connected but not usable: reads fail until Connect is answered.
            self.change(DEVICE, {'Connected': dbus.Boolean(True)})
        if how == 'hang':
            return
        if how == 'error':
            def fail():
                if self.pending_connect is not None:
                    self.pending_connect = None
                    error(BluezError(self.behaviour['ConnectError'],
                                     self.behaviour['ConnectErrorMessage']))
                    # A Connected=true already signalled is taken back.
                    self.link_gone('local')
            self.later(self.behaviour['ConnectDelay'], fail)
            return
        self.later(self.behaviour['ConnectDelay'], self.link_up)

    @property
    def usable(self):
        """Connected, and not merely at the start of a Connect."""
        return self.connected and self.pending_connect is None

    def link_up(self):
        if self.pending_connect is None:
            return
        reply, _ = self.pending_connect
        self.pending_connect = None
        if not self.connected:
            self.change(DEVICE, {'Connected': dbus.Boolean(True)},
                        emit=self.behaviour['EmitConnected'])
        if BEARER_LE in self.interfaces:
            self.change(BEARER_LE, {'Connected': dbus.Boolean(True)})
        reply()
        if self.behaviour['ResolveDelay'] >= 0:
            self.later(self.behaviour['ResolveDelay'], self.resolve_services)
        if self.behaviour['LinkLostAfter'] >= 0:
            self.later(self.behaviour['LinkLostAfter'], self.drop_link)

    def resolve_services(self):
        if not self.connected:
            return
        late = self.behaviour['ObjectsAfterResolved']
        announce = late < 0
        for obj in self.hidden_gatt:
            self.sim.export(obj, announce=announce)
        if not announce:
            objs = list(self.hidden_gatt)
            self.later(late, lambda: [self.sim.announce(o) for o in objs if o.path in self.sim.objects])
        self.hidden_gatt = []
        # bluetoothd announces the resolved services together with what the
        # GATT client learnt: the service UUIDs and the peer's name.
        uuids = sorted({str(o.prop(GATT_SERVICE, 'UUID')) for o in self.sim.objects.values()
                        if isinstance(o, GattService) and o.path.startswith(self.path + '/')})
        name = dbus.String('BlueZ 5.66')
        self.change(DEVICE, {'UUIDs': dbus.Array(uuids, signature='s'), 'Name': name, 'Alias': name,
                             'ServicesResolved': dbus.Boolean(True)})

    @dbus.service.method(DEVICE, in_signature='', out_signature='',
                         sender_keyword='sender', message_keyword='msg',
                         async_callbacks=('reply', 'error'))
    def Disconnect(self, sender=None, msg=None, reply=None, error=None):
        self.sim.log(msg, sender, [])
        if self.pending_connect is not None:
            _, connect_error = self.pending_connect
            self.pending_connect = None
            connect_error(BluezError('org.bluez.Error.Failed', 'br-connection-canceled'))
        if not self.connected:
            reply()
            return
        self.pending_disconnects.append(reply)
        delay = self.behaviour['DisconnectDelay']
        if delay >= 0 and len(self.pending_disconnects) == 1:
            self.later(delay, lambda: self.drop_link('local'))

    def drop_link(self, reason='timeout'):
        """The link goes down: callers of Disconnect are answered first, as
        bluetoothd does, then the property change follows."""
        if self.pending_connect is not None:
            _, connect_error = self.pending_connect
            self.pending_connect = None
            connect_error(BluezError('org.bluez.Error.Failed', 'br-connection-canceled'))
        for reply in self.pending_disconnects:
            reply()
        self.pending_disconnects = []
        if not self.connected:
            return
        self.link_gone(reason)
        for error in self.pending_reads:
            error(BluezError('org.bluez.Error.Failed', 'Operation failed with ATT error: 0x0e'))
        self.pending_reads = []

    def link_gone(self, reason):
        """What bluetoothd signals when a link ends, in the release's order."""
        if not self.connected:
            return
        profile = self.sim.profile
        if BEARER_LE in self.interfaces and self.prop(BEARER_LE, 'Connected'):
            self.change(BEARER_LE, {'Connected': dbus.Boolean(False)})
        if profile['bearer']:
            name, message = DISCONNECT_REASONS[reason]
            self.sim.emit(self.path, DEVICE, 'Disconnected', 'ss', name, message)
        if profile['combined_link_loss']:
            self.change(DEVICE, {'ServicesResolved': dbus.Boolean(False),
                                 'Connected': dbus.Boolean(False)})
            return
        # 5.66: the GATT client lets go of the services first, then the
        # connection's end follows in a signal of its own.
        if self.prop(DEVICE, 'ServicesResolved'):
            self.change(DEVICE, {'ServicesResolved': dbus.Boolean(False)})
        self.change(DEVICE, {'Connected': dbus.Boolean(False)})

    def cancel_timers(self):
        for timer in self.timers + [self.temporary_timer]:
            self.sim.cancel(timer)
        self.timers = []
        self.temporary_timer = None


class GattService(BluezObject):
    def __init__(self, sim, path, device_path_, uuid, primary):
        super().__init__(sim, path, {GATT_SERVICE: {
            'UUID': dbus.String(uuid),
            'Device': dbus.ObjectPath(device_path_),
            'Primary': dbus.Boolean(primary),
            'Includes': dbus.Array([], signature='o'),
        }})


class GattCharacteristic(BluezObject):
    def __init__(self, sim, path, service_path, uuid, flags, read):
        super().__init__(sim, path, {GATT_CHARACTERISTIC: {
            'UUID': dbus.String(uuid),
            'Service': dbus.ObjectPath(service_path),
            'Flags': dbus.Array(flags, signature='s'),
        }})
        self.device_path = service_path.rsplit('/', 1)[0]
        # ReadBehaviour: value | error | hang | disconnect
        self.read = read

    @dbus.service.method(GATT_CHARACTERISTIC, in_signature='a{sv}', out_signature='ay',
                         sender_keyword='sender', message_keyword='msg',
                         async_callbacks=('reply', 'error'))
    def ReadValue(self, options, sender=None, msg=None, reply=None, error=None):
        self.sim.log(msg, sender, [to_json(options)])
        dev = self.sim.objects.get(self.device_path)
        if not isinstance(dev, Device) or not dev.usable:
            error(BluezError('org.bluez.Error.Failed', 'Not connected'))
            return
        how = self.read.get('ReadBehaviour', 'value')
        if dev.pending_disconnects:
            # A link that bluetoothd is about to drop (it waits about 2 s after
            # Disconnect) takes the read down with it.
            dev.pending_reads.append(error)
        elif how == 'hang':
            dev.pending_reads.append(error)
        elif how == 'disconnect':
            dev.pending_reads.append(error)
            dev.drop_link('remote')
        elif how == 'error':
            error(BluezError(self.read.get('ReadError', 'org.bluez.Error.Failed'),
                             self.read.get('ReadErrorMessage', 'Operation failed')))
        else:
            reply(byte_array(self.read.get('Value', b'')))


# ---------------------------------------------------------------------------
# The simulation and its control interface
# ---------------------------------------------------------------------------

class Control(dbus.service.Object):
    def __init__(self, sim):
        self.sim = sim
        super().__init__(sim.control_bus, CONTROL_PATH)

    @dbus.service.method(CONTROL_IFACE, in_signature='sa{sv}', out_signature='o')
    def AddAdapter(self, name, props):
        """Add hciN; props override the defaults (e.g. Powered)."""
        obj = Adapter(self.sim, str(name), props)
        self.sim.export(obj)
        return obj.path

    @dbus.service.method(CONTROL_IFACE, in_signature='osa{sv}', out_signature='o')
    def AddDevice(self, adapter_path, address, props):
        """Add a device under an adapter, announced with InterfacesAdded.
        props override the defaults, so ServiceData, Connected or a mistyped
        Address go straight into the announced properties."""
        obj = Device(self.sim, str(adapter_path), str(address), props)
        if obj.path in self.sim.objects:
            obj.remove_from_connection()
            raise BluezError('org.bleprobe.Simulator.Error.Exists', obj.path)
        self.sim.export(obj)
        return obj.path

    @dbus.service.method(CONTROL_IFACE, in_signature='osa{sv}', out_signature='')
    def AddPeripheralInRange(self, adapter_path, address, props):
        """A peripheral that advertises but that BlueZ does not know: its
        device object appears only once some client discovers.  Interval
        (seconds between its advertisements, the first Phase seconds from
        now) and Lose (numbers, from 1, of its advertisements lost in the
        air; only with an Interval) give it a radio of its own; they do not
        go into the device's properties.  A device that BlueZ forgot is kept,
        with its services, and only given that radio."""
        adapter = self.sim.objects[str(adapter_path)]
        address = str(address)
        props = dict(props)
        interval = props.pop('Interval', None)
        phase = float(props.pop('Phase', 0.0))
        lose = [int(n) for n in props.pop('Lose', [])]
        if (interval is not None and float(interval) <= 0) or (lose and interval is None):
            raise BluezError('org.bleprobe.Simulator.Error.BadOption', 'Interval')
        if not isinstance(adapter.in_range.get(address), Device):
            adapter.in_range[address] = props
        if interval is not None:
            adapter.set_radio(address, float(interval), phase, lose)
        adapter.on_air_add(address)
        adapter.update_discovering()

    @dbus.service.method(CONTROL_IFACE, in_signature='a{sv}', out_signature='')
    def SetTiming(self, timing):
        """PowerOffDelay, AppearDelay, TemporaryTimeout, RoundTime, RoundPause,
        RoundRestart (seconds)."""
        for key, attr in (('PowerOffDelay', 'power_off_delay'), ('AppearDelay', 'appear_delay'),
                          ('TemporaryTimeout', 'temporary_timeout'),
                          ('RoundTime', 'round_time'), ('RoundPause', 'round_pause'),
                          ('RoundRestart', 'round_restart')):
            if key in timing:
                setattr(self.sim, attr, float(timing[key]))

    @dbus.service.method(CONTROL_IFACE, in_signature='o', out_signature='')
    def ForgetDevice(self, path):
        """The device's TemporaryTimeout has run out (whatever discovery saw it)."""
        dev = self.sim.device(path)
        self.sim.objects[dev.adapter_path].forget(dev)

    @dbus.service.method(CONTROL_IFACE, in_signature='', out_signature='')
    def Shutdown(self):
        """bluetoothd on SIGTERM: every link ends, then org.bluez goes away."""
        for obj in list(self.sim.objects.values()):
            if isinstance(obj, Device):
                obj.drop_link('local')
        self.sim.later(self.sim.power_off_delay,
                       lambda: self.sim.bluez_bus.release_name(BLUEZ_NAME))

    @dbus.service.method(CONTROL_IFACE, in_signature='oa{sv}', out_signature='')
    def ConfigureDevice(self, path, options):
        """Choose how Connect and Disconnect behave (see Device.DEFAULT_BEHAVIOUR)."""
        dev = self.sim.device(path)
        for key, value in options.items():
            key = str(key)
            if key not in Device.DEFAULT_BEHAVIOUR:
                raise BluezError('org.bleprobe.Simulator.Error.BadOption', key)
            kind = type(Device.DEFAULT_BEHAVIOUR[key])
            dev.behaviour[key] = bool(value) if kind is bool else kind(value)

    @dbus.service.method(CONTROL_IFACE, in_signature='oa{sv}', out_signature='')
    def Advertise(self, path, data):
        """One received advertisement: ServiceData (with RSSI) in one
        PropertiesChanged, as bluetoothd sends it with DuplicateData on."""
        dev = self.sim.device(path)
        adapter = dev.adapter()
        if adapter is None or not adapter.prop(ADAPTER, 'Discovering'):
            return  # nobody is scanning: the radio hears nothing
        dev.change(DEVICE, {'RSSI': dbus.Int16(-55 - (self.sim.sequence % 20)),
                            'ServiceData': dbus.Dictionary(data, signature='sv')})

    @dbus.service.method(CONTROL_IFACE, in_signature='osa{sv}b', out_signature='')
    def SetProperties(self, path, iface, changed, emit):
        """Set properties of any object, with or without PropertiesChanged."""
        obj = self.sim.objects.get(str(path))
        if obj is None:
            raise BluezError('org.bleprobe.Simulator.Error.NoObject', str(path))
        if isinstance(obj, Adapter) and str(iface) == ADAPTER and 'Powered' in changed:
            changed = dict(changed)
            obj.set_powered(bool(changed.pop('Powered')))
        if changed:
            obj.change(str(iface), dict(changed), emit=emit)

    @dbus.service.method(CONTROL_IFACE, in_signature='oss', out_signature='')
    def FailAdapterMethod(self, path, method, error_name):
        """Make SetDiscoveryFilter/StartDiscovery/StopDiscovery answer an error
        (an empty name restores success)."""
        adapter = self.sim.objects[str(path)]
        adapter.fail[str(method)] = str(error_name)

    @dbus.service.method(CONTROL_IFACE, in_signature='osa{sv}', out_signature='o')
    def AddService(self, device_path_, uuid, options):
        """Add a GattService1 at <device>/serviceXXXX (handles rise in order).
        Hidden until the device connects when its GattOnConnect is set."""
        dev = self.sim.device(device_path_)
        handle = self.sim.service_handle(dev.path, str(uuid))
        path = '%s/service%04x' % (dev.path, handle)
        obj = GattService(self.sim, path, dev.path, str(uuid),
                          bool(options.get('Primary', True)))
        self.sim.place_gatt(dev, obj)
        return path

    @dbus.service.method(CONTROL_IFACE, in_signature='osa{sv}', out_signature='o')
    def AddCharacteristic(self, service_path, uuid, options):
        """Add a GattCharacteristic1 under a service.  options: Flags (as),
        Value (ay), ReadBehaviour (value|error|hang|disconnect), ReadError,
        ReadErrorMessage."""
        service_path = str(service_path)
        service = self.sim.objects.get(service_path) or self.sim.find_hidden(service_path)
        if not isinstance(service, GattService):
            raise BluezError('org.bleprobe.Simulator.Error.NoObject', service_path)
        dev = self.sim.device(service_path.rsplit('/', 1)[0])
        handle = self.sim.next_handle(dev.path)
        # The declaration and the value each take a handle, as on a real server.
        path = '%s/char%04x' % (service_path, handle)
        self.sim.next_handle(dev.path)
        read = {'ReadBehaviour': str(options.get('ReadBehaviour', 'value'))}
        if 'Value' in options:
            read['Value'] = bytes(options['Value'])
        for key in ('ReadError', 'ReadErrorMessage'):
            if key in options:
                read[key] = str(options[key])
        flags = [str(f) for f in options.get('Flags', ['read'])]
        obj = GattCharacteristic(self.sim, path, service_path, str(uuid), flags, read)
        self.sim.place_gatt(dev, obj)
        return path

    @dbus.service.method(CONTROL_IFACE, in_signature='o', out_signature='')
    def RemoveObject(self, path):
        """Remove an object and everything below it (InterfacesRemoved each)."""
        self.sim.remove_tree(str(path))

    @dbus.service.method(CONTROL_IFACE, in_signature='o', out_signature='')
    def DropLink(self, path):
        """The peripheral goes away: Connected and ServicesResolved turn false."""
        self.sim.device(path).drop_link()

    @dbus.service.method(CONTROL_IFACE, in_signature='o', out_signature='b')
    def LinkUsable(self, path):
        """Connected and the Connect answered: Connected alone says less
        from 5.82 on."""
        return self.sim.device(path).usable

    @dbus.service.method(CONTROL_IFACE, in_signature='osssav', out_signature='')
    def EmitRaw(self, path, iface, member, signature, args):
        """Send any signal from org.bluez's connection, with any signature:
        for messages of the wrong shape."""
        self.sim.emit(str(path), str(iface), str(member), str(signature),
                      *[unwrap_variant(a) for a in args])

    @dbus.service.method(CONTROL_IFACE, in_signature='', out_signature='')
    def ReleaseBluezName(self):
        """org.bluez loses its owner while the connection stays up."""
        self.sim.bluez_bus.release_name(BLUEZ_NAME)

    @dbus.service.method(CONTROL_IFACE, in_signature='', out_signature='s')
    def GetCalls(self):
        """Every method call received on org.bluez, in order, as JSON."""
        return json.dumps(self.sim.calls)

    @dbus.service.method(CONTROL_IFACE, in_signature='o', out_signature='s')
    def GetDiscoveryLog(self, adapter_path):
        """The adapter's discovery rounds and the controller's reports, as
        JSON: {"rounds": [{round, time, afterPause, filtered}],
        "reports": [{round, address, lost, advertisement}]}, advertisement
        being the report's number among a peripheral's own advertisements
        (only for one with an Interval)."""
        adapter = self.sim.objects[str(adapter_path)]
        return json.dumps({'rounds': adapter.rounds, 'reports': adapter.reports})

    @dbus.service.method(CONTROL_IFACE, in_signature='', out_signature='s')
    def GetBluezUniqueName(self):
        return self.sim.bluez_bus.get_unique_name()


def unwrap_variant(value):
    """A copy of an unmarshalled variant's content at variant level 0, so
    that dbus-python marshals it as its own type instead of as a variant.
    Members of containers keep their level: an a{sv} value is a variant."""
    if isinstance(value, (dbus.Array, dbus.Dictionary, dbus.Struct)):
        return type(value)(value, signature=value.signature)
    for kind in (dbus.Boolean, dbus.Byte, dbus.Int16, dbus.UInt16, dbus.Int32, dbus.UInt32,
                 dbus.Int64, dbus.UInt64, dbus.Double, dbus.ObjectPath, dbus.Signature,
                 dbus.String):
        if isinstance(value, kind):
            return kind(value)
    return value


class Simulation:
    def __init__(self, address, profile=DEFAULT_PROFILE):
        from dbus.mainloop.glib import DBusGMainLoop
        loop = DBusGMainLoop()
        self.bluez_bus = dbus.bus.BusConnection(address, mainloop=loop)
        self.control_bus = dbus.bus.BusConnection(address, mainloop=loop)
        self.objects = {}
        self.hidden = {}            # device path -> GATT objects not yet exported
        self.handles = {}
        self.calls = []
        self.sequence = 0
        self.pids = {}
        self.watched = set()
        self.timer_ids = set()
        self.power_off_delay = 0.1       # link ends -> Powered=false
        self.appear_delay = 0.1          # discovery starts -> a device in range appears
        self.temporary_timeout = 30.0    # bluetoothd's TemporaryTimeout
        self.round_time = 10.24          # the kernel's LE discovery round
        self.round_pause = 5.0           # IDLE_DISCOV_TIMEOUT before a plain round
        self.round_restart = 0.03        # stopping and starting the scan between rounds
        self.profile_name = profile
        self.profile = PROFILES[profile]
        self.service_floor = {}          # device path -> lowest handle of its next service
        self.root = Root(self)
        self.export(Manager(self), announce=False)
        self.control = Control(self)
        self.bluez_bus.add_signal_receiver(
            self.name_owner_changed, 'NameOwnerChanged', 'org.freedesktop.DBus',
            'org.freedesktop.DBus', '/org/freedesktop/DBus')

    def own_names(self):
        for bus, name in ((self.bluez_bus, BLUEZ_NAME), (self.control_bus, CONTROL_NAME)):
            reply = bus.request_name(name, dbus.bus.NAME_FLAG_DO_NOT_QUEUE)
            if reply != dbus.bus.REQUEST_NAME_REPLY_PRIMARY_OWNER:
                raise RuntimeError('cannot own ' + name)

    # -- timers -----------------------------------------------------------
    def later(self, delay, func):
        from gi.repository import GLib

        def run():
            self.timer_ids.discard(ident)
            func()
            return False
        ident = GLib.timeout_add(max(0, int(delay * 1000)), run)
        self.timer_ids.add(ident)
        return ident

    def cancel(self, ident):
        from gi.repository import GLib
        if ident in self.timer_ids:
            self.timer_ids.discard(ident)
            GLib.source_remove(ident)

    # -- signals and the call log ------------------------------------------
    def emit(self, path, iface, member, signature, *args):
        msg = dbus.lowlevel.SignalMessage(path, iface, member)
        msg.append(*args, signature=signature)
        self.bluez_bus.send_message(msg)

    def log(self, msg, sender, args):
        self.sequence += 1
        self.calls.append({
            'seq': self.sequence,
            'time': time.monotonic(),
            'sender': str(sender),
            'pid': self.pid_of(sender),
            'path': msg.get_path(),
            'interface': msg.get_interface(),
            'member': msg.get_member(),
            'signature': msg.get_signature(),
            'args': args,
        })

    def pid_of(self, sender):
        if sender not in self.pids:
            try:
                self.pids[sender] = int(self.bluez_bus.call_blocking(
                    'org.freedesktop.DBus', '/org/freedesktop/DBus', 'org.freedesktop.DBus',
                    'GetConnectionUnixProcessID', 's', (sender,)))
            except dbus.DBusException:
                self.pids[sender] = None
        return self.pids[sender]

    def watch_client(self, name):
        self.watched.add(name)

    def name_owner_changed(self, name, old, new):
        if name.startswith(':') and not new and name in self.watched:
            self.watched.discard(name)
            for obj in list(self.objects.values()):
                if isinstance(obj, Adapter):
                    obj.client_gone(name)

    # -- objects ------------------------------------------------------------
    def export(self, obj, announce=True):
        self.objects[obj.path] = obj
        if announce:
            self.announce(obj)

    def announce(self, obj):
        self.emit('/', OBJECT_MANAGER, 'InterfacesAdded', 'oa{sa{sv}}',
                  dbus.ObjectPath(obj.path), obj.managed_interfaces())

    def remove_tree(self, path):
        below = [p for p in self.objects if p.startswith(path + '/')]
        for p in sorted(below, key=len, reverse=True) + [path]:
            obj = self.objects.pop(p, None)
            if obj is None:
                continue
            if isinstance(obj, Device):
                obj.cancel_timers()
                self.hidden.pop(obj.path, None)
            obj.remove_from_connection()
            self.emit('/', OBJECT_MANAGER, 'InterfacesRemoved', 'oas',
                      dbus.ObjectPath(p),
                      dbus.Array(list(obj.managed_interfaces().keys()), signature='s'))

    def device(self, path):
        obj = self.objects.get(str(path))
        if not isinstance(obj, Device):
            raise BluezError('org.bleprobe.Simulator.Error.NoDevice', str(path))
        return obj

    def devices_of(self, adapter_path):
        return [o for o in self.objects.values()
                if isinstance(o, Device) and o.adapter_path == adapter_path]

    def next_handle(self, dev_path):
        handle = self.handles.get(dev_path, 0x0001)
        self.handles[dev_path] = handle + 1
        return handle

    def service_handle(self, dev_path, uuid):
        """A new service's handle: the next free one, or with the server's
        own layout, past the span of a Generic Access or Generic Attribute
        service before it."""
        handle = max(self.next_handle(dev_path), self.service_floor.get(dev_path, 0))
        self.handles[dev_path] = handle + 1
        if self.profile['server_handles']:
            span = SERVER_SPANS.get(uuid[4:8] if uuid.endswith(BASE_UUID_SUFFIX) else '')
            if span:
                self.service_floor[dev_path] = handle + span
        return handle

    def place_gatt(self, dev, obj):
        if dev.behaviour['GattOnConnect'] and not dev.prop(DEVICE, 'ServicesResolved'):
            dev.hidden_gatt.append(obj)
        else:
            self.export(obj)

    def find_hidden(self, path):
        for dev in self.objects.values():
            if isinstance(dev, Device):
                for obj in dev.hidden_gatt:
                    if obj.path == path:
                        return obj
        return None


# ---------------------------------------------------------------------------
# Test-side client
# ---------------------------------------------------------------------------

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
        Control.AddPeripheralInRange)."""
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
        deadline = time.monotonic() + timeout
        while True:
            log = self.discovery_log(adapter)
            if len(log['reports']) >= count:
                return log
            if time.monotonic() > deadline:
                raise AssertionError('%d reports, not %d, within %.0f s'
                                     % (len(log['reports']), count, timeout))
            time.sleep(0.02)

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
        deadline = time.monotonic() + timeout
        while self.get_property(path, iface, name) != value:
            if time.monotonic() > deadline:
                raise AssertionError('%s %s never became %r' % (path, name, value))
            time.sleep(0.01)

    def wait_link_usable(self, path, timeout=20.0):
        deadline = time.monotonic() + timeout
        while not self.ctl.LinkUsable(path):
            if time.monotonic() > deadline:
                raise AssertionError('%s: Connect never answered' % path)
            time.sleep(0.01)

    def calls(self, member=None, pid=None):
        result = json.loads(self.ctl.GetCalls())
        if member is not None:
            result = [c for c in result if c['member'] == member]
        if pid is not None:
            result = [c for c in result if c['pid'] == pid]
        return result

    def wait_for_call(self, member, pid=None, count=1, timeout=20.0):
        """Poll the call log until `member` has been called `count` times."""
        deadline = time.monotonic() + timeout
        while True:
            found = self.calls(member, pid)
            if len(found) >= count:
                return found
            if time.monotonic() > deadline:
                raise AssertionError('%s was not called within %.0f s; calls: %s'
                                     % (member, timeout, [c['member'] for c in self.calls()]))
            time.sleep(0.01)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--address', default=os.environ.get('DBUS_SYSTEM_BUS_ADDRESS'),
                        help='bus address (default: $DBUS_SYSTEM_BUS_ADDRESS)')
    parser.add_argument('--scenario', default='empty',
                        help='a scenario file to play (see scenario.schema.json), or "empty": '
                             'no adapter, nothing in range (default), or "demo": demo.json')
    parser.add_argument('--profile', choices=sorted(PROFILES),
                        help="the bluetoothd release to play (default: the scenario's, else %s)"
                             % DEFAULT_PROFILE)
    args = parser.parse_args()
    if not args.address:
        parser.error('no bus address')

    from gi.repository import GLib
    from . import scenario as scenarios
    if args.scenario == 'empty':
        scenario = {}
    else:
        name = args.scenario
        if name == 'demo':
            name = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'demo.json')
        try:
            scenario = scenarios.load(name)
        except scenarios.ScenarioError as e:
            parser.exit(2, '%s: %s\n' % (parser.prog, e))
    sim = Simulation(args.address, args.profile or scenario.get('bluez', DEFAULT_PROFILE))
    player = scenarios.Player(sim, scenario)
    sim.own_names()
    player.start()

    loop = GLib.MainLoop()
    for signum in (signal.SIGTERM, signal.SIGINT):
        GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signum, loop.quit)
    # The daemon going away ends the simulation too.
    sim.control_bus.call_on_disconnection(lambda _conn: loop.quit())
    print('READY', flush=True)
    loop.run()


if __name__ == '__main__':
    # Run under the module's own name, so that the scenario player, which
    # imports this module, sees the same classes as the simulation it plays.
    from bleprobe_sim import simulated_bluez
    simulated_bluez.main()
