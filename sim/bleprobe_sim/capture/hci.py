"""HCI commands and events: scanning (parameters, enable and the duplicate
filter), advertising reports (every report of an event; an advertiser's
extended fragments joined), connections (create, cancel, complete,
disconnect, disconnection complete) and the controller's results for those
commands.  The layouts are BlueZ's monitor/bt.h; the kernel reads reports
one after another (net/bluetooth/hci_event.c), as here.

Lengths are checked: a packet whose own length disagrees with its record,
reports that do not fill their event exactly, and decoded parameters
shorter than their layout are errors.  Other packets are skipped."""

import struct
from typing import Dict, List, Optional, Tuple

from . import ad
from .errors import CaptureError
from .events import (COMPLETE, INCOMPLETE, TRUNCATED, AcceptList, AdvertisingReport, CommandResult,
                     ConnectionComplete, CreateConnection, CreateConnectionCancel, Disconnect,
                     DisconnectionComplete, Event, ScanEnable, ScanParameters)

DISCONNECT = 0x0406
LE_SET_SCAN_PARAMETERS = 0x200B
LE_SET_SCAN_ENABLE = 0x200C
LE_CREATE_CONNECTION = 0x200D
LE_CREATE_CONNECTION_CANCEL = 0x200E
LE_CLEAR_ACCEPT_LIST = 0x2010
LE_ADD_TO_ACCEPT_LIST = 0x2011
LE_REMOVE_FROM_ACCEPT_LIST = 0x2012
LE_SET_EXT_SCAN_PARAMETERS = 0x2041
LE_SET_EXT_SCAN_ENABLE = 0x2042
LE_EXT_CREATE_CONNECTION = 0x2043
COMMAND_NAMES = {
    DISCONNECT: 'Disconnect',
    LE_SET_SCAN_PARAMETERS: 'LE Set Scan Parameters',
    LE_SET_SCAN_ENABLE: 'LE Set Scan Enable',
    LE_CREATE_CONNECTION: 'LE Create Connection',
    LE_CREATE_CONNECTION_CANCEL: 'LE Create Connection Cancel',
    LE_CLEAR_ACCEPT_LIST: 'LE Clear Accept List',
    LE_ADD_TO_ACCEPT_LIST: 'LE Add Device To Accept List',
    LE_REMOVE_FROM_ACCEPT_LIST: 'LE Remove Device From Accept List',
    LE_SET_EXT_SCAN_PARAMETERS: 'LE Set Extended Scan Parameters',
    LE_SET_EXT_SCAN_ENABLE: 'LE Set Extended Scan Enable',
    LE_EXT_CREATE_CONNECTION: 'LE Extended Create Connection',
}
# The parameter bytes each decoded command needs.
COMMAND_SIZES = {
    DISCONNECT: 3, LE_SET_SCAN_PARAMETERS: 7, LE_SET_SCAN_ENABLE: 2, LE_CREATE_CONNECTION: 25,
    LE_CREATE_CONNECTION_CANCEL: 0, LE_SET_EXT_SCAN_PARAMETERS: 8, LE_SET_EXT_SCAN_ENABLE: 6,
    LE_EXT_CREATE_CONNECTION: 10, LE_CLEAR_ACCEPT_LIST: 0, LE_ADD_TO_ACCEPT_LIST: 7,
    LE_REMOVE_FROM_ACCEPT_LIST: 7,
}
ACCEPT_LIST_CHANGES = {LE_CLEAR_ACCEPT_LIST: 'clear', LE_ADD_TO_ACCEPT_LIST: 'add',
                       LE_REMOVE_FROM_ACCEPT_LIST: 'remove'}

DISCONNECTION_COMPLETE = 0x05
COMMAND_COMPLETE = 0x0E
COMMAND_STATUS = 0x0F
LE_META = 0x3E
LE_CONNECTION_COMPLETE = 0x01
LE_ADVERTISING_REPORT = 0x02
LE_ENHANCED_CONNECTION_COMPLETE = 0x0A
LE_EXT_ADVERTISING_REPORT = 0x0D
LE_ENHANCED_CONNECTION_COMPLETE_V2 = 0x29
# Parameter bytes after the subevent code: the legacy event's, the enhanced
# one's (with the local and peer private addresses).
CONNECTION_COMPLETE_SIZES = {LE_CONNECTION_COMPLETE: 18, LE_ENHANCED_CONNECTION_COMPLETE: 30,
                             LE_ENHANCED_CONNECTION_COMPLETE_V2: 30}

EXT_REPORT = struct.Struct('<HB6sBBBbbHB6sB')
# Data status, bits 5 and 6 of an extended report's event type.
MORE_TO_COME, CUT_BY_CONTROLLER = 1, 2
# An advertiser's extended data is at most 1650 bytes; a chain that grows
# beyond this is cut, and at most this many chains wait for their end.
MAX_CHAIN_BYTES = 4096
MAX_CHAINS = 1024
# Connections remembered for their peer (a capture has a handful at once).
MAX_LINKS = 4096

Link = Tuple[str, str]


def signed(value: int) -> int:
    return value - 256 if value > 127 else value


class Chain:
    """An advertiser's extended fragments so far."""

    def __init__(self) -> None:
        self.parts: List[bytes] = []
        self.size = 0
        self.cut = False

    def add(self, data: bytes) -> None:
        if self.size + len(data) > MAX_CHAIN_BYTES:
            self.cut = True
            return
        self.parts.append(data)
        self.size += len(data)


class HciDecoder:
    """Decodes a controller's commands and events; links maps (index,
    handle) to the peer of each connection the capture showed complete,
    for att.py and for disconnections."""

    def __init__(self, path: str) -> None:
        self.path = path
        self.links: Dict[Tuple[int, int], Link] = {}
        # (index, address type, address, set, scan response) -> (the last
        # fragment's report, its chain)
        self.chains: Dict[Tuple[int, int, bytes, int, bool], Tuple[AdvertisingReport, Chain]] = {}

    def error(self, offset: int, reason: str) -> CaptureError:
        return CaptureError(offset, reason, self.path)

    # Commands.

    def command(self, offset: int, time_us: int, index: int, packet: bytes) -> List[Event]:
        if len(packet) < 3:
            raise self.error(offset, 'HCI command of %d bytes, shorter than its header' % len(packet))
        opcode = packet[0] | packet[1] << 8
        if packet[2] + 3 != len(packet):
            raise self.error(offset, 'HCI command 0x%04x: parameter length %d, record has %d'
                             % (opcode, packet[2], len(packet) - 3))
        need = COMMAND_SIZES.get(opcode)
        if need is None:
            return []
        p = packet[3:]
        if len(p) < need:
            raise self.error(offset, 'HCI %s: %d parameter bytes, needs %d'
                             % (COMMAND_NAMES[opcode], len(p), need))
        if opcode == LE_SET_SCAN_ENABLE or opcode == LE_SET_EXT_SCAN_ENABLE:
            events: List[Event] = []
            if not p[0]:
                events.extend(self.flush(index, time_us, offset))
            extended = opcode == LE_SET_EXT_SCAN_ENABLE
            events.append(ScanEnable(time_us, index, offset, bool(p[0]), p[1], extended))
            return events
        if opcode == LE_SET_SCAN_PARAMETERS:
            kind, interval, window, own, policy = struct.unpack_from('<BHHBB', p)
            return [ScanParameters(time_us, index, offset, kind == 1, interval, window, own, policy, False)]
        if opcode == LE_SET_EXT_SCAN_PARAMETERS:
            own, policy, _, kind, interval, window = struct.unpack_from('<BBBBHH', p)
            return [ScanParameters(time_us, index, offset, kind == 1, interval, window, own, policy, True)]
        if opcode == LE_CREATE_CONNECTION:
            return [CreateConnection(time_us, index, offset, ad.address(p[6:12]), ad.hci_address_type(p[5]),
                                     False, p[4] == 1)]
        if opcode == LE_EXT_CREATE_CONNECTION:
            return [CreateConnection(time_us, index, offset, ad.address(p[3:9]), ad.hci_address_type(p[2]),
                                     True, p[0] == 1)]
        if opcode == LE_CREATE_CONNECTION_CANCEL:
            return [CreateConnectionCancel(time_us, index, offset)]
        change = ACCEPT_LIST_CHANGES.get(opcode)
        if change == 'clear':
            return [AcceptList(time_us, index, offset, change, None, None)]
        if change is not None:
            # 0xff: anonymous advertisers, no address
            if p[0] > 1:
                return []
            return [AcceptList(time_us, index, offset, change, ad.address(p[1:7]), ad.hci_address_type(p[0]))]
        handle = (p[0] | p[1] << 8) & 0x0FFF
        address, address_type = self.links.get((index, handle), (None, None))
        return [Disconnect(time_us, index, offset, handle, p[2], address, address_type)]

    # Events.

    def event(self, offset: int, time_us: int, index: int, packet: bytes) -> List[Event]:
        if len(packet) < 2:
            raise self.error(offset, 'HCI event of %d bytes, shorter than its header' % len(packet))
        code = packet[0]
        if packet[1] + 2 != len(packet):
            raise self.error(offset, 'HCI event 0x%02x: parameter length %d, record has %d'
                             % (code, packet[1], len(packet) - 2))
        if code == LE_META:
            if len(packet) < 3:
                raise self.error(offset, 'HCI LE Meta event without its subevent')
            sub = packet[2]
            if sub == LE_ADVERTISING_REPORT:
                return self.reports(offset, time_us, index, packet)
            if sub == LE_EXT_ADVERTISING_REPORT:
                return self.ext_reports(offset, time_us, index, packet)
            if sub in CONNECTION_COMPLETE_SIZES:
                return self.connection_complete(offset, time_us, index, packet)
            return []
        if code == DISCONNECTION_COMPLETE:
            if len(packet) < 6:
                raise self.error(offset, 'HCI Disconnection Complete: %d parameter bytes, needs 4'
                                 % (len(packet) - 2))
            status, handle, reason = packet[2], (packet[3] | packet[4] << 8) & 0x0FFF, packet[5]
            address, address_type = self.links.get((index, handle), (None, None))
            if not status:
                self.links.pop((index, handle), None)
            return [DisconnectionComplete(time_us, index, offset, status, handle, reason, address,
                                          address_type)]
        if code == COMMAND_COMPLETE and len(packet) >= 6:
            opcode = packet[3] | packet[4] << 8
            if opcode in COMMAND_SIZES:
                return [CommandResult(time_us, index, offset, opcode, packet[5])]
        elif code == COMMAND_STATUS and len(packet) >= 6:
            opcode = packet[4] | packet[5] << 8
            if opcode in COMMAND_SIZES:
                return [CommandResult(time_us, index, offset, opcode, packet[2])]
        return []

    def reports(self, offset: int, time_us: int, index: int, packet: bytes) -> List[Event]:
        size = len(packet)
        if size < 4:
            raise self.error(offset, 'HCI LE Advertising Report without its number of reports')
        count = packet[3]
        pos = 4
        events: List[Event] = []
        for number in range(1, count + 1):
            if pos + 9 > size or pos + 10 + packet[pos + 8] > size:
                raise self.error(offset, 'HCI LE Advertising Report: report %d of %d runs past the event'
                                 % (number, count))
            end = pos + 9 + packet[pos + 8]
            data = packet[pos + 9:end]
            events.append(AdvertisingReport(
                time_us, index, offset, ad.address(packet[pos + 2:pos + 8]),
                ad.hci_address_type(packet[pos + 1]), packet[pos], signed(packet[end]), data,
                ad.parse_ad(data), False, None, COMPLETE))
            pos = end + 1
        if pos != size:
            raise self.error(offset, 'HCI LE Advertising Report: %d bytes after its %d reports'
                             % (size - pos, count))
        return events

    def ext_reports(self, offset: int, time_us: int, index: int, packet: bytes) -> List[Event]:
        size = len(packet)
        if size < 4:
            raise self.error(offset, 'HCI LE Extended Advertising Report without its number of reports')
        count = packet[3]
        pos = 4
        events: List[Event] = []
        for number in range(1, count + 1):
            if pos + EXT_REPORT.size > size or pos + EXT_REPORT.size + packet[pos + 23] > size:
                raise self.error(offset, 'HCI LE Extended Advertising Report: report %d of %d runs past the '
                                 'event' % (number, count))
            kind, address_type, address, _, _, sid, _, rssi, _, _, _, length = \
                EXT_REPORT.unpack_from(packet, pos)
            pos += EXT_REPORT.size
            data = packet[pos:pos + length]
            pos += length
            status = kind >> 5 & 3
            key = (index, address_type, address, sid, bool(kind & 0x08))
            report = AdvertisingReport(time_us, index, offset, ad.address(address),
                                       ad.hci_address_type(address_type), kind, rssi, data, ad.EMPTY, True,
                                       sid, COMPLETE)
            waiting = self.chains.pop(key, None)
            chain = waiting[1] if waiting else None
            if status == MORE_TO_COME:
                if chain is None:
                    if len(self.chains) >= MAX_CHAINS:
                        events.extend(self.finish(*self.chains.pop(next(iter(self.chains))), INCOMPLETE))
                    chain = Chain()
                chain.add(data)
                self.chains[key] = (report, chain)
                continue
            if chain is not None:
                chain.add(data)
                ending = TRUNCATED if status == CUT_BY_CONTROLLER else COMPLETE
                events.extend(self.finish(report, chain, ending))
            else:
                report.ad = ad.parse_ad(data)
                report.data_status = TRUNCATED if status == CUT_BY_CONTROLLER else COMPLETE
                events.append(report)
        if pos != size:
            raise self.error(offset, 'HCI LE Extended Advertising Report: %d bytes after its %d reports'
                             % (size - pos, count))
        return events

    def finish(self, report: AdvertisingReport, chain: Chain, status: str) -> List[Event]:
        report.data = b''.join(chain.parts)
        report.ad = ad.parse_ad(report.data)
        report.data_status = TRUNCATED if chain.cut and status == COMPLETE else status
        return [report]

    def flush(self, index: Optional[int], time_us: int, offset: int) -> List[Event]:
        """The chains of index (of every controller when None) that will
        not be finished: scanning stopped, or the capture ended."""
        events: List[Event] = []
        for key in [key for key in self.chains if index is None or key[0] == index]:
            report, chain = self.chains.pop(key)
            events.extend(self.finish(report, chain, INCOMPLETE))
        return events

    def connection_complete(self, offset: int, time_us: int, index: int, packet: bytes) -> List[Event]:
        sub = packet[2]
        need = CONNECTION_COMPLETE_SIZES[sub]
        if len(packet) - 3 < need:
            raise self.error(offset, 'HCI LE Connection Complete: %d parameter bytes, needs %d'
                             % (len(packet) - 3, need))
        status, role, address_type = packet[3], packet[6], packet[7]
        handle = (packet[4] | packet[5] << 8) & 0x0FFF
        link = (ad.address(packet[8:14]), ad.hci_address_type(address_type))
        if not status:
            if len(self.links) >= MAX_LINKS:
                del self.links[next(iter(self.links))]
            self.links[(index, handle)] = link
        return [ConnectionComplete(time_us, index, offset, status, handle, role, link[0], link[1],
                                   sub != LE_CONNECTION_COMPLETE)]
