"""The decoded events a capture yields, one dataclass per kind.

Every event has time_us (microseconds of the Unix epoch, from the capture's
own clock), index (the controller, or None for records of no controller)
and offset (the record's offset in the capture, for messages); seconds(zero)
gives its time in seconds from a chosen zero.  Addresses are as BlueZ
writes them ("AA:BB:CC:DD:EE:FF"), address types "public" or "random" (see
ad.py for the rest), UUIDs as 128-bit lowercase text.  Fields that the
capture does not show (the peer of a connection that began before it) are
None.  The events are shared with no one: change them if you like, but the
AdData they hold is shared between reports with the same data."""

from dataclasses import dataclass
from typing import Optional, Tuple

from .ad import AdData

# data_status of an AdvertisingReport.
COMPLETE = 'complete'
# The controller cut the advertiser's data (extended reports, data status 2).
TRUNCATED = 'truncated'
# The fragments stopped coming before the last one: another chain from the
# same advertiser began, scanning stopped, or the capture ended.
INCOMPLETE = 'incomplete'


@dataclass
class Event:
    __slots__ = ('time_us', 'index', 'offset')
    time_us: int
    index: Optional[int]
    offset: int

    def seconds(self, zero_us: int) -> float:
        return (self.time_us - zero_us) / 1e6


# The controller and its radio (HCI).

@dataclass
class ControllerAdded(Event):
    """The monitor's New Index: a controller registered (or present when
    btmon started)."""
    __slots__ = ('address', 'name')
    address: str
    name: str


@dataclass
class ControllerRemoved(Event):
    __slots__ = ()


@dataclass
class ScanParameters(Event):
    """LE Set Scan Parameters, or the first PHY of LE Set Extended Scan
    Parameters; interval and window in units of 0.625 ms."""
    __slots__ = ('active', 'interval', 'window', 'own_address_type', 'filter_policy', 'extended')
    active: bool
    interval: int
    window: int
    own_address_type: int
    filter_policy: int
    extended: bool


@dataclass
class ScanEnable(Event):
    """LE Set (Extended) Scan Enable as the host sent it.  filter_duplicates:
    0 off, 1 on, 2 on and reset every scan period (extended only)."""
    __slots__ = ('enable', 'filter_duplicates', 'extended')
    enable: bool
    filter_duplicates: int
    extended: bool


@dataclass
class CommandResult(Event):
    """The controller's Command Status or Command Complete for one of the
    commands decoded here (scan parameters and enable, create connection and
    its cancel, disconnect): status 0 is success."""
    __slots__ = ('opcode', 'status')
    opcode: int
    status: int


@dataclass
class AdvertisingReport(Event):
    """One report of an LE Advertising Report, or one advertiser's joined
    fragments of LE Extended Advertising Reports (time and offset of the
    last fragment).  event_type is the controller's (8 bits for legacy
    reports, 16 for extended ones); rssi in dBm, 127 when unknown; sid the
    extended advertising set (None for legacy reports)."""
    __slots__ = ('address', 'address_type', 'event_type', 'rssi', 'data', 'ad', 'extended', 'sid',
                 'data_status')
    address: str
    address_type: str
    event_type: int
    rssi: int
    data: bytes
    ad: AdData
    extended: bool
    sid: Optional[int]
    data_status: str

    @property
    def scan_response(self) -> bool:
        return bool(self.event_type & 0x08) if self.extended else self.event_type == 0x04


@dataclass
class CreateConnection(Event):
    """LE (Extended) Create Connection.  accept_list: the controller was told
    to connect to whichever device of its accept list it hears first, as the
    kernel does for background connections; address is then not the peer."""
    __slots__ = ('address', 'address_type', 'extended', 'accept_list')
    address: str
    address_type: str
    extended: bool
    accept_list: bool


@dataclass
class CreateConnectionCancel(Event):
    __slots__ = ()


@dataclass
class AcceptList(Event):
    """LE Add Device To / Remove Device From / Clear Accept List: change is
    'add', 'remove' or 'clear' (address and address_type None).  The kernel
    puts a device on it to connect to it once heard."""
    __slots__ = ('change', 'address', 'address_type')
    change: str
    address: Optional[str]
    address_type: Optional[str]


@dataclass
class ConnectionComplete(Event):
    """LE (Enhanced) Connection Complete: status 0 is a link, anything else
    (0x3e: failed to be established, 0x02: cancelled) is not.  role 0: we
    are central."""
    __slots__ = ('status', 'handle', 'role', 'address', 'address_type', 'enhanced')
    status: int
    handle: int
    role: int
    address: str
    address_type: str
    enhanced: bool


@dataclass
class Disconnect(Event):
    """The host's Disconnect command, with the peer of handle where the
    capture showed its connection."""
    __slots__ = ('handle', 'reason', 'address', 'address_type')
    handle: int
    reason: int
    address: Optional[str]
    address_type: Optional[str]


@dataclass
class DisconnectionComplete(Event):
    """reason: 0x08 supervision timeout (link lost), 0x13 the peer ended it,
    0x16 we did, 0x3e failed to be established..."""
    __slots__ = ('status', 'handle', 'reason', 'address', 'address_type')
    status: int
    handle: int
    reason: int
    address: Optional[str]
    address_type: Optional[str]


@dataclass
class AttRead(Event):
    """A read of one attribute on a connection's ATT channel: Read Request,
    then Read Blob Requests while the value fills the MTU (as BlueZ reads a
    long value), ended by the last response or an Error Response.  value is
    the whole value, or None with error the ATT error code.  uuid is that of
    the characteristic whose value attribute was read, learnt from a
    discovery seen earlier in the capture, or None (see att.py).  time_us
    and offset are the last response's; request_time_us the first
    request's."""
    __slots__ = ('handle', 'address', 'address_type', 'attribute', 'uuid', 'value', 'error',
                 'request_time_us')
    handle: int
    address: Optional[str]
    address_type: Optional[str]
    attribute: int
    uuid: Optional[str]
    value: Optional[bytes]
    error: Optional[int]
    request_time_us: int


# What the kernel told a management socket (mgmt events) and asked of it.
# receiver/sender: the name of the process that owned the socket, from the
# monitor's record of its opening (None when that is not in the capture);
# cookie: the socket's number, which tells two sockets of one process apart.

@dataclass
class DeviceFound(Event):
    """mgmt Device Found: what bluetoothd was given (for an active scan, an
    advertisement and its scan response merged).  flags: bit 2 not
    connectable, bit 5 scan response."""
    __slots__ = ('address', 'address_type', 'rssi', 'flags', 'data', 'ad', 'receiver', 'cookie')
    address: str
    address_type: str
    rssi: int
    flags: int
    data: bytes
    ad: AdData
    receiver: Optional[str]
    cookie: int


@dataclass
class Discovering(Event):
    """mgmt Discovering.  discovery_type: 1 BR/EDR, 6 LE, 7 both."""
    __slots__ = ('discovering', 'discovery_type', 'receiver', 'cookie')
    discovering: bool
    discovery_type: int
    receiver: Optional[str]
    cookie: int


@dataclass
class DiscoveryRequest(Event):
    """mgmt Start Discovery, Start Service Discovery (service: with its RSSI
    threshold and UUIDs, the filter under which the kernel drops reports)
    or Stop Discovery."""
    __slots__ = ('start', 'service', 'discovery_type', 'rssi_threshold', 'uuids', 'sender', 'cookie')
    start: bool
    service: bool
    discovery_type: int
    rssi_threshold: Optional[int]
    uuids: Tuple[str, ...]
    sender: Optional[str]
    cookie: int


@dataclass
class DiscoveryResult(Event):
    """mgmt Command Complete or Command Status of Start Discovery, Start
    Service Discovery, Start Limited Discovery or Stop Discovery: the
    kernel's answer to the socket that asked (status 0 is success).
    bluetoothd counts a discovery as started, and takes Device Found
    events, only from this answer on."""
    __slots__ = ('start', 'status', 'receiver', 'cookie')
    start: bool
    status: int
    receiver: Optional[str]
    cookie: int


@dataclass
class DeviceConnected(Event):
    """mgmt Device Connected.  flags bit 3: we initiated it."""
    __slots__ = ('address', 'address_type', 'flags', 'receiver', 'cookie')
    address: str
    address_type: str
    flags: int
    receiver: Optional[str]
    cookie: int


@dataclass
class DeviceDisconnected(Event):
    """mgmt Device Disconnected.  reason (the kernel's, not HCI's): 0 none
    given, 1 timeout, 2 ended by us, 3 by the peer, 4 authentication
    failure, 5 ended by us for suspend."""
    __slots__ = ('address', 'address_type', 'reason', 'receiver', 'cookie')
    address: str
    address_type: str
    reason: int
    receiver: Optional[str]
    cookie: int


@dataclass
class ConnectFailed(Event):
    """mgmt Connect Failed.  status is a mgmt status (0x04 connect failed,
    0x08 timeout, 0x0e not connected...), not an HCI one."""
    __slots__ = ('address', 'address_type', 'status', 'receiver', 'cookie')
    address: str
    address_type: str
    status: int
    receiver: Optional[str]
    cookie: int


# Text.

@dataclass
class LogLine(Event):
    """A user logging record: a line a daemon sent to the monitor (bluetoothd
    sends every line it logs, its start included)."""
    __slots__ = ('priority', 'ident', 'message')
    priority: int
    ident: str
    message: str

    @property
    def release(self) -> Optional[str]:
        """The BlueZ release that bluetoothd's first line names ("Bluetooth
        daemon" and the release, BlueZ's src/log.c), or None for every other
        line."""
        prefix = 'Bluetooth daemon '
        if self.ident == 'bluetoothd' and self.message.startswith(prefix):
            return self.message[len(prefix):].strip() or None
        return None


@dataclass
class SystemNote(Event):
    """A note of the kernel or btmon ("Linux version ...", "Bluetooth
    subsystem version ...")."""
    __slots__ = ('text',)
    text: str
