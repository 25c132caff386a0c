"""An adapter: its power, its discovery clients and filters, and the
kernel's discovery rounds that decide what the controller reports."""

from typing import Any, Dict, List, Optional, Set

from ..names import ADAPTER, DEVICE, device_path, uuid16
from .device import Device
from .errors import BluezError, failed, in_progress, invalid_args, not_ready
from .objects import ModelObject
from .radio import Radio

# The adapter methods a test may make fail (see fail_method).
FAILABLE = ('SetDiscoveryFilter', 'StartDiscovery', 'StopDiscovery')
CONTROLLERS = ('le', 'dual')


class Adapter(ModelObject):
    def __init__(self, world: Any, path: str, address: str, controller: str,
                 props: Dict[str, Any]) -> None:
        name = path.rsplit('/', 1)[1]
        adapter: Dict[str, Any] = {
            'Address': address, 'AddressType': 'public', 'Name': 'simulated-' + name,
            'Alias': 'simulated-' + name, 'Class': 0x6c010c, 'Powered': True,
            'Discoverable': False, 'DiscoverableTimeout': 180, 'Pairable': False,
            'PairableTimeout': 0, 'Discovering': False,
            'UUIDs': [uuid16('1800'), uuid16('1801'), uuid16('110e')],
            'Modalias': 'usb:v1D6Bp0246d0542', 'Roles': ['central', 'peripheral'],
        }
        adapter.update(props)
        super().__init__(world, path, {
            ADAPTER: adapter,
            'org.bluez.GattManager1': {},
            'org.bluez.LEAdvertisingManager1': {
                'ActiveInstances': 0, 'SupportedInstances': 5,
                'SupportedIncludes': ['tx-power', 'appearance', 'local-name'],
            },
            'org.bluez.Media1': {},
            'org.bluez.NetworkServer1': {},
        })
        self.name = name
        # 'le' (LE only) or 'dual' (BR/EDR and LE): what the controller scans
        # for when a client asks nothing more.
        self.controller = controller
        self.discovery_clients: Set[str] = set()
        self.filters: Dict[str, Dict[str, Any]] = {}
        # bluetoothd keeps a client that stopped with a filter set; when it
        # then leaves the bus, the controller's discovery is stopped for every
        # client, though the others stay registered (see client_gone; every
        # release: filter-left-set in doc/bluez-behaviour.md).
        self.stopped_with_filter: Set[str] = set()
        self.halted = False
        # Peripherals in range that BlueZ does not list: address -> the
        # device it creates once a discovery hears one.
        self.in_range: Dict[str, Device] = {}
        # Addresses of the peripherals, listed by BlueZ or not, that advertise
        # so often that a round hears them as it starts; those that advertise
        # only when told (Advertise) or at an interval of their own are not
        # among them.  What each advertises now: address -> ServiceData.
        self.on_air: List[str] = []
        self.told: Set[str] = set()
        self.air_data: Dict[str, Any] = {}
        # How the controller's duplicate filter lets advertisements through
        # (radio.py), and whether the adapter plays a capture as heard.
        self.duplicate_filter: str = world.profile['duplicate_filter']
        self.as_heard = False
        # Error names to answer instead of success, set by the control interface.
        self.fail: Dict[str, str] = {}
        self.radio = Radio(self)

    @property
    def powered(self) -> bool:
        return bool(self.prop(ADAPTER, 'Powered'))

    @property
    def discovering(self) -> bool:
        return bool(self.prop(ADAPTER, 'Discovering'))

    def set_property(self, iface: str, name: str, value: Any) -> None:
        if iface == ADAPTER and name == 'Powered':
            self.set_powered(bool(value))
        else:
            super().set_property(iface, name, value)

    def set_powered(self, powered: bool) -> None:
        if powered == self.powered:
            return
        if powered:
            self.change(ADAPTER, {'Powered': True})
            return
        # bluetoothd ends the links first and signals the adapter's state only
        # when the kernel confirms the power-off: 30 to 180 ms later.
        for dev in self.world.devices_of(self.path):
            dev.drop_link('local')
        self.radio.stop_rounds()
        self.discovery_clients.clear()
        self.filters.clear()
        self.stopped_with_filter.clear()
        self.halted = False

        def off() -> None:
            changed: Dict[str, Any] = {'Powered': False}
            if self.discovering:
                changed['Discovering'] = False
            self.change(ADAPTER, changed)
        self.world.later(self.world.power_off_delay, off)

    def removed(self) -> None:
        self.radio.stop_rounds()
        self.radio.silence()

    def configured_failure(self, method: str) -> None:
        name = self.fail.get(method)
        if name:
            raise BluezError(name, 'Simulated failure')

    def client_gone(self, name: str) -> None:
        self.filters.pop(name, None)
        if name in self.stopped_with_filter:
            self.stopped_with_filter.discard(name)
            if self.discovery_clients:
                self.halted = True
        self.discovery_clients.discard(name)
        self.update_discovering()

    def update_discovering(self) -> None:
        discovering = bool(self.discovery_clients) and not self.halted
        was = self.discovering
        if discovering != was:
            self.change(ADAPTER, {'Discovering': discovering})
        if discovering and not was:
            self.radio.start_round(from_idle=True, paused=False)
            self.world.discovery_started(self)
        elif discovering:
            # An advertiser new to this round gets through the duplicate filter.
            self.radio.hear(first_lost=False)
        else:
            self.radio.stop_rounds()

    def filtered(self) -> bool:
        """Whether bluetoothd runs a filtered discovery for the clients
        discovering now: any client's filter in 5.66, from 5.67 any client's
        filter asking more than the scan type (scan_type_filter_is_plain in
        doc/bluez-behaviour.md)."""
        scan_type = {'le'} if self.controller == 'le' else {'le', 'bredr'}
        for client in self.discovery_clients:
            filt = self.filters.get(client)
            if not filt:
                continue
            if not self.world.profile['scan_type_filter_is_plain']:
                return True
            transport = filt.get('Transport', 'auto')
            if (filt.get('UUIDs') or 'RSSI' in filt or 'Pathloss' in filt
                    or filt.get('DuplicateData') or 'Pattern' in filt
                    or (transport != 'auto' and {transport} != scan_type)):
                return True
        return False

    def reported(self, address: str, data: Any) -> None:
        """A report of `address` with `data` (its ServiceData, or None) got
        through to bluetoothd."""
        path = device_path(self.path, address)
        dev = self.world.objects.get(path)
        if isinstance(dev, Device):
            # bluetoothd passes the report on to a device it lists already:
            # ServiceData when it changed, and every time while a client
            # asks for DuplicateData (device_set_service_data clears it first).
            changed: Dict[str, Any] = {'RSSI': self.world.rssi()}
            if data is not None and (data != dev.prop(DEVICE, 'ServiceData') or any(
                    self.filters.get(c, {}).get('DuplicateData') for c in self.discovery_clients)):
                changed['ServiceData'] = data
            dev.change(DEVICE, changed)
            dev.seen()
            return
        if address in self.in_range and self.discovering:
            dev = self.in_range.pop(address)
            if data is not None:
                dev.change(DEVICE, {'ServiceData': data}, emit=False)
            self.world.export(dev)
            dev.set_temporary(True)

    def advertise(self, address: str, data: Dict[str, bytes]) -> None:
        """One advertisement of `address` on the air now, carrying `data`."""
        self.air_data[address] = data
        dev = self.in_range.get(address)
        if dev is not None:
            # Found later with what it advertises now.
            dev.change(DEVICE, {'ServiceData': data}, emit=False)
        self.radio.heard(address, data)

    def halt(self) -> None:
        """Another program's session ends the controller's discovery under
        every client, which bluetoothd still counts as discovering (see
        client_gone)."""
        if self.discovery_clients:
            self.halted = True
            self.update_discovering()

    def restart(self) -> None:
        """bluetoothd stops the controller's discovery and starts it again
        at once for the clients it still counts as discovering:
        `Discovering` turns false, then true."""
        if self.discovering:
            self.change(ADAPTER, {'Discovering': False})
            self.change(ADAPTER, {'Discovering': True})

    def on_air_add(self, address: str) -> None:
        if address not in self.on_air:
            self.on_air.append(address)

    def forget(self, dev: Device) -> None:
        """BlueZ drops a device it knew only from a discovery. The peripheral
        stays in range; its services are learnt anew on the next connection."""
        below = self.world.below(dev.path)
        self.world.remove_tree(dev.path)
        dev.change(DEVICE, {'ServicesResolved': False}, emit=False)
        dev.configure({'GattOnConnect': True})
        dev.hidden_gatt = below + dev.hidden_gatt
        address = dev.address
        self.in_range[address] = dev
        if address not in self.told:
            self.on_air_add(address)
        if self.discovering:
            self.update_discovering()

    # -- what clients call ---------------------------------------------------
    def set_discovery_filter(self, client: str, filt: Optional[Dict[str, Any]]) -> None:
        """filt: the client's filter as plain values, None if it is not one."""
        self.configured_failure('SetDiscoveryFilter')
        if not self.powered:
            raise not_ready()
        if filt is None:
            raise invalid_args()
        self.filters[client] = filt
        self.stopped_with_filter.discard(client)

    def start_discovery(self, client: str) -> None:
        if self.fail.get('StartDiscovery') == 'org.bluez.Error.InProgress':
            # What bluetoothd answers a client that already discovers.
            self.discovery_clients.add(client)
            self.update_discovering()
        self.configured_failure('StartDiscovery')
        if not self.powered:
            raise not_ready()
        if client in self.discovery_clients:
            raise in_progress()
        self.discovery_clients.add(client)
        self.stopped_with_filter.discard(client)
        # A new client restarts a controller discovery that was stopped.
        self.halted = False
        self.update_discovering()

    def stop_discovery(self, client: str) -> None:
        self.configured_failure('StopDiscovery')
        if not self.powered:
            raise not_ready()
        if client not in self.discovery_clients:
            raise failed('No discovery started')
        self.discovery_clients.discard(client)
        if self.discovery_clients and self.filters.get(client):
            self.stopped_with_filter.add(client)
        if not self.discovery_clients:
            self.halted = False
        was_discovering = self.discovering
        self.update_discovering()
        if was_discovering and not self.discovery_clients:
            # bluetoothd signals the end of discovery twice (every release:
            # discovering-false-twice in doc/bluez-behaviour.md).
            self.change(ADAPTER, {'Discovering': False})

    def remove_device(self, path: str) -> None:
        obj = self.world.objects.get(path)
        if not isinstance(obj, Device) or obj.adapter_path != self.path:
            raise BluezError('org.bluez.Error.DoesNotExist', 'Does Not Exist')
        self.world.remove_tree(path)
