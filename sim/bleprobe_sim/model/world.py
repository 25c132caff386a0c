"""The world the model keeps: what bluetoothd lists, its timings and the
view that presents it."""

from typing import Any, Callable, Dict, List, Optional

from ..names import BASE_UUID_SUFFIX
from ..profiles import DEFAULT_PROFILE, PROFILES, SERVER_SPANS
from .adapter import Adapter
from .device import Device
from .objects import Manager, ModelObject

# The control interface's names of the timings, and their defaults (seconds).
TIMINGS = {
    'PowerOffDelay': ('power_off_delay', 0.1),      # link ends -> Powered=false
    'AppearDelay': ('appear_delay', 0.1),           # advertisement -> its report
    'TemporaryTimeout': ('temporary_timeout', 30.0),  # bluetoothd's TemporaryTimeout
    'RoundTime': ('round_time', 10.24),             # the kernel's LE discovery round
    'RoundPause': ('round_pause', 5.0),             # IDLE_DISCOV_TIMEOUT before a plain round
    'RoundRestart': ('round_restart', 0.03),        # stopping and starting the scan
}


class NoView:
    """What a world without a bus shows: nothing.  A view is told of every
    change a client of bluetoothd would see."""

    def added(self, obj: ModelObject, announce: bool) -> None:
        """obj is listed; with announce, InterfacesAdded says so."""

    def announced(self, obj: ModelObject) -> None:
        """InterfacesAdded for an object listed earlier."""

    def removed(self, obj: ModelObject) -> None:
        """obj is no longer listed (InterfacesRemoved)."""

    def changed(self, obj: ModelObject, iface: str, changed: Dict[str, Any]) -> None:
        """PropertiesChanged."""

    def signalled(self, obj: ModelObject, iface: str, member: str, args: Any) -> None:
        """Any other signal of obj's."""


class World:
    def __init__(self, clock: Any, profile: str = DEFAULT_PROFILE,
                 view: Optional[Any] = None) -> None:
        self.clock = clock
        self.view = view if view is not None else NoView()
        self.profile_name = profile
        self.profile = PROFILES[profile]
        self.objects: Dict[str, ModelObject] = {}   # what bluetoothd lists, by path
        self.handles: Dict[str, int] = {}           # device path -> its next free handle
        # device path -> the lowest handle its next service may take
        self.service_floor: Dict[str, int] = {}
        self.reports = 0
        # Called with the adapter whenever one starts discovering from idle.
        self.discovery_watchers: List[Callable[[Adapter], Any]] = []
        for attr, default in TIMINGS.values():
            setattr(self, attr, default)
        self.export(Manager(self), announce=False)

    power_off_delay: float
    appear_delay: float
    temporary_timeout: float
    round_time: float
    round_pause: float
    round_restart: float

    def later(self, delay: float, func: Callable[[], Any]) -> Any:
        return self.clock.later(delay, func)

    def cancel(self, handle: Any) -> None:
        if handle is not None:
            self.clock.cancel(handle)

    def discovery_started(self, adapter: Adapter) -> None:
        for watcher in list(self.discovery_watchers):
            watcher(adapter)

    def rssi(self) -> int:
        """The RSSI of a report: it wanders, as a real one does."""
        self.reports += 1
        return -55 - (self.reports % 20)

    # -- what is listed -------------------------------------------------------
    def export(self, obj: ModelObject, announce: bool = True) -> None:
        self.objects[obj.path] = obj
        self.view.added(obj, announce)

    def announce(self, obj: ModelObject) -> None:
        self.view.announced(obj)

    def below(self, path: str) -> List[ModelObject]:
        """The listed objects under path, in path order."""
        return [self.objects[p] for p in sorted(self.objects) if p.startswith(path + '/')]

    def remove_tree(self, path: str) -> None:
        below = [p for p in self.objects if p.startswith(path + '/')]
        for p in sorted(below, key=len, reverse=True) + [path]:
            obj = self.objects.pop(p, None)
            if obj is not None:
                obj.removed()
                self.view.removed(obj)

    def adapter(self, path: str) -> Optional[Adapter]:
        obj = self.objects.get(path)
        return obj if isinstance(obj, Adapter) else None

    def adapters(self) -> List[Adapter]:
        return [o for o in self.objects.values() if isinstance(o, Adapter)]

    def device(self, path: str) -> Optional[Device]:
        """A device bluetoothd lists."""
        obj = self.objects.get(path)
        return obj if isinstance(obj, Device) else None

    def peripheral(self, path: str) -> Optional[Device]:
        """A device bluetoothd lists, or one in range that it does not."""
        dev = self.device(path)
        if dev is not None:
            return dev
        parent, _, name = path.rpartition('/dev_')
        adapter = self.adapter(parent)
        if adapter is None:
            return None
        # Looked up by address first: a capture played as heard asks for
        # thousands a second.
        dev = adapter.in_range.get(name.replace('_', ':'))
        if dev is not None and dev.path == path:
            return dev
        return next((d for d in adapter.in_range.values() if d.path == path), None)

    def devices_of(self, adapter_path: str) -> List[Device]:
        return [o for o in self.objects.values()
                if isinstance(o, Device) and o.adapter_path == adapter_path]

    def client_gone(self, client: str) -> None:
        """A client of bluetoothd left the bus."""
        for adapter in self.adapters():
            adapter.client_gone(client)

    # -- GATT ---------------------------------------------------------------
    def next_handle(self, dev_path: str) -> int:
        handle = self.handles.get(dev_path, 0x0001)
        self.handles[dev_path] = handle + 1
        return handle

    def service_handle(self, dev_path: str, uuid: str) -> int:
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

    def place_gatt(self, dev: Device, obj: ModelObject) -> None:
        """A new GATT object shows at once, or once services are resolved."""
        if not dev.listed or (dev.behaviour['GattOnConnect']
                              and not dev.prop('org.bluez.Device1', 'ServicesResolved')):
            dev.hidden_gatt.append(obj)
        else:
            self.export(obj)

    def gatt_object(self, path: str) -> Optional[ModelObject]:
        """A listed GATT object, or one its device does not show yet."""
        obj = self.objects.get(path)
        if obj is not None:
            return obj
        dev = self.peripheral(path.split('/service')[0])
        for hidden in dev.hidden_gatt if dev else ():
            if hidden.path == path:
                return hidden
        return None
