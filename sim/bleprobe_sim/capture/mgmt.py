"""The monitor's records of the management channel (BlueZ's
monitor/packet.c, the kernel's net/bluetooth/hci_sock.c): which process
opened each socket (Control Open: cookie, format, version, flags, the
process's name), the commands a socket sent and the events it was sent
(cookie, mgmt opcode, parameters; layouts in BlueZ's doc/mgmt-protocol.rst).
The kernel writes one event record for every trusted socket that receives
the event, so a capture taken while btmgmt runs beside bluetoothd holds
each event twice, with different cookies: receiver tells them apart.

Decoded: the events Device Connected, Device Disconnected, Connect Failed,
Device Found and Discovering; the commands Start Discovery, Start Service
Discovery, Start Limited Discovery and Stop Discovery, and the Command
Complete or Command Status that answers each of them."""

import struct
from typing import Dict, List, Optional

from . import ad
from .errors import CaptureError
from .events import (ConnectFailed, DeviceConnected, DeviceDisconnected, DeviceFound, Discovering,
                     DiscoveryRequest, DiscoveryResult, Event)

COMMAND_COMPLETE = 0x0001
COMMAND_STATUS = 0x0002
DEVICE_CONNECTED = 0x000B
DEVICE_DISCONNECTED = 0x000C
CONNECT_FAILED = 0x000D
DEVICE_FOUND = 0x0012
DISCOVERING = 0x0013
EVENT_SIZES = {DEVICE_CONNECTED: 13, DEVICE_DISCONNECTED: 8, CONNECT_FAILED: 8, DEVICE_FOUND: 14,
               DISCOVERING: 2, COMMAND_COMPLETE: 3, COMMAND_STATUS: 3}
EVENT_NAMES = {DEVICE_CONNECTED: 'Device Connected', DEVICE_DISCONNECTED: 'Device Disconnected',
               CONNECT_FAILED: 'Connect Failed', DEVICE_FOUND: 'Device Found', DISCOVERING: 'Discovering',
               COMMAND_COMPLETE: 'Command Complete', COMMAND_STATUS: 'Command Status'}

START_DISCOVERY = 0x0023
STOP_DISCOVERY = 0x0024
START_SERVICE_DISCOVERY = 0x003A
START_LIMITED_DISCOVERY = 0x0041
COMMAND_SIZES = {START_DISCOVERY: 1, STOP_DISCOVERY: 1, START_SERVICE_DISCOVERY: 4,
                 START_LIMITED_DISCOVERY: 1}
COMMAND_NAMES = {START_DISCOVERY: 'Start Discovery', STOP_DISCOVERY: 'Stop Discovery',
                 START_SERVICE_DISCOVERY: 'Start Service Discovery',
                 START_LIMITED_DISCOVERY: 'Start Limited Discovery'}

# Sockets of the management, raw and user channels (Control Open's format).
FORMATS = (0, 1, 2)
MAX_SOCKETS = 4096


class MgmtDecoder:
    def __init__(self, path: str) -> None:
        self.path = path
        # cookie -> the name of the process that opened the socket
        self.sockets: Dict[int, str] = {}

    def error(self, offset: int, reason: str) -> CaptureError:
        return CaptureError(offset, reason, self.path)

    def opened(self, offset: int, packet: bytes) -> None:
        if len(packet) < 6:
            raise self.error(offset, 'Control Open of %d bytes, shorter than its header' % len(packet))
        cookie, kind = struct.unpack_from('<IH', packet)
        name = ''
        if kind in FORMATS and len(packet) >= 14:
            name = packet[14:14 + packet[13]].split(b'\0', 1)[0].decode('utf-8', 'replace')
        if len(self.sockets) >= MAX_SOCKETS and cookie not in self.sockets:
            del self.sockets[next(iter(self.sockets))]
        self.sockets[cookie] = name

    def closed(self, offset: int, packet: bytes) -> None:
        if len(packet) < 4:
            raise self.error(offset, 'Control Close of %d bytes, shorter than its cookie' % len(packet))
        self.sockets.pop(struct.unpack_from('<I', packet)[0], None)

    def header(self, offset: int, packet: bytes, what: str) -> int:
        if len(packet) < 6:
            raise self.error(offset, 'mgmt %s of %d bytes, shorter than its header' % (what, len(packet)))
        return packet[4] | packet[5] << 8

    def command(self, offset: int, time_us: int, index: Optional[int], packet: bytes) -> List[Event]:
        opcode = self.header(offset, packet, 'command')
        need = COMMAND_SIZES.get(opcode)
        if need is None:
            return []
        p = packet[6:]
        if len(p) < need:
            raise self.error(offset, 'mgmt %s: %d parameter bytes, needs %d'
                             % (COMMAND_NAMES[opcode], len(p), need))
        cookie = struct.unpack_from('<I', packet)[0]
        sender = self.sockets.get(cookie)
        if opcode != START_SERVICE_DISCOVERY:
            return [DiscoveryRequest(time_us, index, offset, opcode != STOP_DISCOVERY, False, p[0], None, (),
                                     sender, cookie)]
        count = p[2] | p[3] << 8
        if len(p) != 4 + 16 * count:
            raise self.error(offset, 'mgmt Start Service Discovery: %d UUIDs in %d parameter bytes'
                             % (count, len(p)))
        uuids = tuple(ad.uuid_le(p[4 + 16 * i:20 + 16 * i]) for i in range(count))
        return [DiscoveryRequest(time_us, index, offset, True, True, p[0], p[1] - 256 if p[1] > 127 else p[1],
                                 uuids, sender, cookie)]

    def event(self, offset: int, time_us: int, index: Optional[int], packet: bytes) -> List[Event]:
        opcode = self.header(offset, packet, 'event')
        need = EVENT_SIZES.get(opcode)
        if need is None:
            return []
        p = packet[6:]
        if len(p) < need:
            raise self.error(offset, 'mgmt %s: %d parameter bytes, needs %d'
                             % (EVENT_NAMES[opcode], len(p), need))
        cookie = struct.unpack_from('<I', packet)[0]
        receiver = self.sockets.get(cookie)
        if opcode == DISCOVERING:
            return [Discovering(time_us, index, offset, bool(p[1]), p[0], receiver, cookie)]
        if opcode in (COMMAND_COMPLETE, COMMAND_STATUS):
            command = p[0] | p[1] << 8
            if command not in COMMAND_SIZES:
                return []
            start = command != STOP_DISCOVERY
            return [DiscoveryResult(time_us, index, offset, start, p[2], receiver, cookie)]
        address, address_type = ad.address(p[0:6]), ad.mgmt_address_type(p[6])
        if opcode == DEVICE_FOUND:
            return [self.device_found(offset, time_us, index, p, receiver, cookie)]
        if opcode == DEVICE_CONNECTED:
            return [DeviceConnected(time_us, index, offset, address, address_type,
                                    struct.unpack_from('<I', p, 7)[0], receiver, cookie)]
        if opcode == DEVICE_DISCONNECTED:
            return [DeviceDisconnected(time_us, index, offset, address, address_type, p[7], receiver, cookie)]
        return [ConnectFailed(time_us, index, offset, address, address_type, p[7], receiver, cookie)]

    def device_found(self, offset: int, time_us: int, index: Optional[int], p: bytes, receiver: Optional[str],
                     cookie: int) -> DeviceFound:
        """The kernel gives bluetoothd whole structures only (ad.py): EIR
        data that runs past its end is a damaged capture, not the air's."""
        length = p[12] | p[13] << 8
        if length != len(p) - 14:
            raise self.error(offset, 'mgmt Device Found: EIR length %d, event has %d' % (length, len(p) - 14))
        data = p[14:]
        parsed = ad.parse_ad(data)
        if parsed.overrun:
            raise self.error(offset, 'mgmt Device Found: EIR structure at byte %d runs past the data'
                             % parsed.length)
        rssi = p[7] - 256 if p[7] > 127 else p[7]
        return DeviceFound(time_us, index, offset, ad.address(p[0:6]), ad.mgmt_address_type(p[6]), rssi,
                           struct.unpack_from('<I', p, 8)[0], data, parsed, receiver, cookie)
