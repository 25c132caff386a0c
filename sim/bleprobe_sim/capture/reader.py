"""CaptureReader: a capture file in, decoded events out, in the order of the
file's records, filtered by controller, time window and kind.

The whole of a large capture is never in memory: the file is read in
chunks, and the decoders keep only what a pending exchange needs (a
connection's peer, an L2CAP frame being joined, an advertiser's extended
fragments, a read waiting for its response), each within a bound."""

import struct
from typing import Any, Dict, FrozenSet, Iterable, Iterator, List, Optional, Type

from . import ad, monitor, system
from .att import AttDecoder
from .btsnoop import Btsnoop
from .container import Container, identify
from .errors import CaptureError, CutShort
from .events import COMPLETE, AdvertisingReport, DeviceFound, Event
from .hci import HciDecoder
from .mgmt import MgmtDecoder
from .pcap import Pcap
from .pcapng import Pcapng
from .stream import ByteStream

CONTAINERS: Dict[str, Type[Container]] = {'btsnoop': Btsnoop, 'pcap': Pcap, 'pcapng': Pcapng}
# An HCI event up to its first report's data: code, length, subevent, number
# of reports, event type, address type, address, data length, and one byte
# more (the RSSI when the data is empty).
REPORT_HEAD = struct.Struct('<BBBBBB6sBB')
# A control event up to a Device Found's data: cookie, opcode, address,
# address type, RSSI, flags, EIR length.
FOUND_HEAD = struct.Struct('<IH6sBbIH')


class CaptureReader:
    """Iterating reads the file at path from its start (each iteration
    anew) and yields its events; a CaptureError stops it.  Keyword options:

    - indexes: the controllers whose events are wanted (None: all); events
      of no controller (index None: bluetoothd's log lines, notes,
      management commands of no controller) always pass;
    - start_us, end_us: the time window [start_us, end_us) in the
      capture's microseconds (None: open);
    - kinds: the event classes wanted (None: all); leaving out
      AdvertisingReport or DeviceFound spares their decoding, the cost of
      a long capture.

    Once an iteration has ended: format ('btsnoop', 'pcap', 'pcapng'),
    datalink (the btsnoop datalink or the link type of the first
    interface), compressed (gzip), records (records read), snapped
    (records skipped because they hold only part of their packet) and
    cut_short (a CutShort when the capture ends inside a record, else
    None)."""

    def __init__(self, path: str, *, indexes: Optional[Iterable[int]] = None, start_us: Optional[int] = None,
                 end_us: Optional[int] = None, kinds: Optional[Iterable[Type[Event]]] = None) -> None:
        self.path = path
        self.indexes: Optional[FrozenSet[int]] = None
        if indexes is not None:
            self.indexes = frozenset(indexes)
            if not all(isinstance(i, int) and 0 <= i < monitor.NO_INDEX for i in self.indexes):
                raise ValueError('indexes: controller indexes are integers from 0 to 65534: %r' % sorted(
                    self.indexes, key=repr))
        for name, value in (('start_us', start_us), ('end_us', end_us)):
            if value is not None and not isinstance(value, int):
                raise ValueError('%s: an integer number of microseconds, not %r' % (name, value))
        self.start_us = start_us
        self.end_us = end_us
        self.kinds: Optional[FrozenSet[type]] = None
        if kinds is not None:
            self.kinds = frozenset(kinds)
            if not all(isinstance(k, type) and issubclass(k, Event) for k in self.kinds):
                raise ValueError('kinds: event classes of bleprobe_sim.capture.events, not %r' % sorted(
                    self.kinds, key=repr))
        self.format: Optional[str] = None
        self.datalink: Optional[int] = None
        self.compressed = False
        self.records = 0
        self.snapped = 0
        self.cut_short: Optional[CutShort] = None

    def __iter__(self) -> Iterator[Event]:
        return self._read()

    def _container(self, stream: ByteStream) -> Optional[Container]:
        self.compressed = stream.compressed
        self.format = self.datalink = self.cut_short = None
        self.records = self.snapped = 0
        head = stream.read(8)
        name = identify(head)
        if not head and not stream.unfinished:
            raise CaptureError(0, 'empty, not a capture', self.path)
        if name is None:
            raise CaptureError(0, 'not a capture: it starts with %s, the magic of no btsnoop, pcap or pcapng '
                               'file' % head.hex(), self.path)
        if not name:
            self.cut_short = CutShort(0, len(head), None, stream.unfinished)
            return None
        self.format = name
        return CONTAINERS[name](stream, self.path, head)

    def _read(self) -> Iterator[Event]:
        with open(self.path, 'rb') as f:
            container = self._container(ByteStream(f, self.path))
            if container is None:
                return
            path = self.path
            hci = HciDecoder(path)
            att = AttDecoder(path, hci.links)
            mgmt = MgmtDecoder(path)
            indexes = self.indexes
            start = self.start_us if self.start_us is not None else -(1 << 64)
            end = self.end_us if self.end_us is not None else 1 << 64
            kinds = self.kinds
            want_reports = kinds is None or AdvertisingReport in kinds
            want_found = kinds is None or DeviceFound in kinds
            # The records that make a long capture's bulk are decoded right
            # here: an event with one legacy advertising report, and Device
            # Found.  Anything unusual about them takes the general path,
            # which checks every length.  Measured in bench/capture_bench.py.
            report_head, found_head = REPORT_HEAD.unpack_from, FOUND_HEAD.unpack_from
            ad_cache, parse_ad, addresses, address = ad.AD_CACHE, ad.parse_ad, ad.ADDRESS_CACHE, ad.address
            hci_types, mgmt_types = ad.HCI_TYPE_NAMES, ad.MGMT_TYPE_NAMES
            sockets = mgmt.sockets
            EVENT, CTRL_EVENT, NO_INDEX = monitor.EVENT, monitor.CTRL_EVENT, monitor.NO_INDEX
            count = 0
            time_us = offset = 0
            events: List[Event]
            try:
                for offset, time_us, index, kind, packet in container.records():
                    count += 1
                    if indexes is not None and index not in indexes and index != NO_INDEX \
                            and kind not in (monitor.CTRL_OPEN, monitor.CTRL_CLOSE):
                        continue
                    size = len(packet)
                    if kind == EVENT:
                        if size >= 14:
                            code, length, sub, number, event_type, address_type, raw, data_length, rssi = \
                                report_head(packet)
                            if code == 0x3E and sub == 0x02 and number == 1 and length + 2 == size \
                                    and data_length + 14 == size:
                                if want_reports and start <= time_us < end:
                                    data = packet[13:size - 1]
                                    rssi = packet[size - 1]
                                    yield AdvertisingReport(
                                        time_us, index, offset, addresses.get(raw) or address(raw),
                                        hci_types[address_type], event_type,
                                        rssi - 256 if rssi > 127 else rssi, data,
                                        ad_cache.get(data) or parse_ad(data), False, None, COMPLETE)
                                continue
                        events = hci.event(offset, time_us, index, packet)
                        if size >= 6 and packet[0] == 0x05 and packet[2] == 0:
                            handle = (packet[3] | packet[4] << 8) & 0x0FFF
                            events = att.closed(offset, time_us, index, handle) + events
                    elif kind == CTRL_EVENT:
                        event_index = None if index == NO_INDEX else index
                        if size >= 20:
                            cookie, opcode, raw, address_type, rssi, flags, data_length = found_head(packet)
                            if opcode == 0x0012 and data_length == size - 20:
                                if not (want_found and start <= time_us < end):
                                    continue
                                data = packet[20:]
                                parsed = ad_cache.get(data) or parse_ad(data)
                                if not parsed.overrun:
                                    yield DeviceFound(
                                        time_us, event_index, offset, addresses.get(raw) or address(raw),
                                        mgmt_types[address_type], rssi, flags, data, parsed,
                                        sockets.get(cookie), cookie)
                                    continue
                        events = mgmt.event(offset, time_us, event_index, packet)
                    else:
                        events = self._other(offset, time_us, index, kind, packet, hci, att, mgmt)
                    for event in events:
                        if start <= event.time_us < end and (kinds is None or type(event) in kinds):
                            yield event
                for event in hci.flush(None, time_us, offset) + att.close_all(offset, time_us):
                    if start <= event.time_us < end and (kinds is None or type(event) in kinds):
                        yield event
            finally:
                self.records = count
                self.datalink = container.datalink
                self.snapped = container.snapped
                self.cut_short = container.cut_short

    def _other(self, offset: int, time_us: int, index: int, kind: int, packet: bytes, hci: HciDecoder,
               att: AttDecoder, mgmt: MgmtDecoder) -> List[Event]:
        event_index: Any = None if index == monitor.NO_INDEX else index
        if kind == monitor.ACL_RX or kind == monitor.ACL_TX:
            return att.acl(offset, time_us, index, packet, kind == monitor.ACL_RX)
        if kind == monitor.COMMAND:
            return hci.command(offset, time_us, index, packet)
        if kind == monitor.CTRL_OPEN:
            mgmt.opened(offset, packet)
        elif kind == monitor.CTRL_CLOSE:
            mgmt.closed(offset, packet)
        elif kind == monitor.CTRL_COMMAND:
            return mgmt.command(offset, time_us, event_index, packet)
        elif kind == monitor.USER_LOGGING:
            return system.log_line(self.path, offset, time_us, event_index, packet)
        elif kind == monitor.SYSTEM_NOTE:
            return system.note(time_us, event_index, offset, packet)
        elif kind == monitor.NEW_INDEX:
            return system.new_index(self.path, offset, time_us, event_index, packet)
        elif kind == monitor.DEL_INDEX:
            return system.del_index(time_us, event_index, offset)
        return []
