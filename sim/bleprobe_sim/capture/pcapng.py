"""pcapng files: blocks of type, total length, body and the total length
again.  A Section Header Block (its byte-order magic sets the section's
byte order) starts each section; each Interface Description Block declares
an interface with its link type (201 or 254, linktype.py) and its time
resolution (if_tsresol) and offset (if_tsoffset); Enhanced, Simple and the
old Packet Blocks carry packets; every other block is skipped by its
length."""

import struct
from typing import Iterator, List, Optional, Tuple

from . import linktype, monitor
from .container import Container, Record

SHB, IDB, PB, SPB, EPB = 0x0A0D0D0A, 1, 2, 3, 6
BYTE_ORDER_MAGIC = 0x1A2B3C4D
# Blocks are read whole; no block of a Bluetooth capture comes near this
# (a packet block is at most its 64 KiB packet and its options).
MAX_BLOCK = 1 << 20
MAX_INTERFACES = 1024
OPT_TSRESOL, OPT_TSOFFSET = 9, 14


class Interface:
    def __init__(self, link: int, units_per_second: int, offset_seconds: int) -> None:
        self.link = link
        self.units = units_per_second
        self.offset_us = offset_seconds * 1000000

    def time_us(self, ts: int) -> int:
        """To the nearest microsecond."""
        if self.units == 1000000:
            return ts + self.offset_us
        return (ts * 1000000 + self.units // 2) // self.units + self.offset_us


class Pcapng(Container):
    format = 'pcapng'

    def records(self) -> Iterator[Record]:
        order = '<'
        interfaces: List[Interface] = []
        while True:
            if not self.fill(12):
                self.end()
                return
            offset, buf, pos = self.offset, self.buf, self.pos
            if buf[pos:pos + 4] == b'\x0a\x0d\x0d\x0a':
                order = self.byte_order(buf[pos + 8:pos + 12])
                interfaces = []
            kind, total = struct.unpack_from(order + 'II', buf, pos)
            if total < 12 or total % 4:
                raise self.error(offset, 'block length %d, not a multiple of 4 of at least 12' % total)
            if total > MAX_BLOCK:
                raise self.error(offset, 'block of %d bytes, over %d KiB' % (total, MAX_BLOCK // 1024))
            if not self.fill(total):
                self.end(total, *self.partial(order, kind, interfaces))
                return
            buf, pos = self.buf, self.pos
            body = buf[pos + 8:pos + total - 4]
            trailer, = struct.unpack_from(order + 'I', buf, pos + total - 4)
            if trailer != total:
                raise self.error(offset, 'block length %d at its end, %d at its start' % (trailer, total))
            self.pos = pos + total
            if kind == SHB:
                self.section(offset, order, body)
            elif kind == IDB:
                if len(interfaces) >= MAX_INTERFACES:
                    raise self.error(offset, 'more than %d interfaces' % MAX_INTERFACES)
                interfaces.append(self.interface(offset, order, body, len(interfaces)))
                if self.datalink is None:
                    self.datalink = interfaces[-1].link
            elif kind in (EPB, PB, SPB):
                record = self.packet(offset, order, kind, body, interfaces)
                if record is not None:
                    yield record

    def byte_order(self, magic: bytes) -> str:
        if magic == struct.pack('<I', BYTE_ORDER_MAGIC):
            return '<'
        if magic == struct.pack('>I', BYTE_ORDER_MAGIC):
            return '>'
        raise self.error(self.offset + 8, 'pcapng byte-order magic %s, neither order of 1a2b3c4d'
                         % magic.hex())

    def section(self, offset: int, order: str, body: bytes) -> None:
        if len(body) < 16:
            raise self.error(offset, 'section header block of %d bytes' % (len(body) + 12))
        major, minor = struct.unpack_from(order + 'HH', body, 4)
        if major != 1:
            raise self.error(offset + 12, 'pcapng version %d.%d, not 1.0' % (major, minor))

    def interface(self, offset: int, order: str, body: bytes, number: int) -> Interface:
        if len(body) < 8:
            raise self.error(offset, 'interface block of %d bytes' % (len(body) + 12))
        link, _, _ = struct.unpack_from(order + 'HHI', body, 0)
        if link not in linktype.SUPPORTED:
            raise self.error(offset + 8, 'unknown pcapng link type %d on interface %d (read: 201, 254)'
                             % (link, number))
        units, offset_seconds = 1000000, 0
        for code, value in self.options(order, body, 8):
            if code == OPT_TSRESOL and len(value) >= 1:
                exponent = value[0] & 0x7F
                units = 2 ** exponent if value[0] & 0x80 else 10 ** exponent
            elif code == OPT_TSOFFSET and len(value) >= 8:
                offset_seconds, = struct.unpack_from(order + 'q', value, 0)
        return Interface(link, units, offset_seconds)

    def options(self, order: str, body: bytes, start: int) -> Iterator[Tuple[int, bytes]]:
        """An interface's options, up to the end marker or to one that runs
        past the block."""
        pos = start
        while pos + 4 <= len(body):
            code, length = struct.unpack_from(order + 'HH', body, pos)
            if code == 0:
                return
            end = pos + 4 + length
            if end > len(body):
                return
            yield code, body[pos + 4:end]
            pos = end + (-length) % 4

    def packet_fields(self, order: str, kind: int, body: bytes) -> Tuple[int, int, int, int, int]:
        """(interface, time units, captured length, original length, packet
        start in body); the lengths are -1 when the body is too short."""
        if kind == EPB:
            if len(body) < 20:
                return 0, 0, -1, -1, 20
            interface, high, low, captured, original = struct.unpack_from(order + 'IIIII', body, 0)
            return interface, high << 32 | low, captured, original, 20
        if kind == PB:
            if len(body) < 20:
                return 0, 0, -1, -1, 20
            interface, _, high, low, captured, original = struct.unpack_from(order + 'HHIIII', body, 0)
            return interface, high << 32 | low, captured, original, 20
        if len(body) < 4:
            return 0, 0, -1, -1, 4
        original, = struct.unpack_from(order + 'I', body, 0)
        return 0, 0, min(original, len(body) - 4), original, 4

    def packet(self, offset: int, order: str, kind: int, body: bytes,
               interfaces: List[Interface]) -> Optional[Record]:
        number, ts, captured, original, start = self.packet_fields(order, kind, body)
        if captured < 0:
            raise self.error(offset, 'packet block of %d bytes' % (len(body) + 12))
        self.check_length(offset, captured, original)
        if start + captured > len(body):
            raise self.error(offset, 'packet of %d bytes runs past its block' % captured)
        if number >= len(interfaces):
            raise self.error(offset, 'packet on interface %d, which no interface block declared' % number)
        interface = interfaces[number]
        if captured < original:
            self.snapped += 1
            return None
        parts = linktype.split(interface.link, body[start:start + captured], number)
        if parts is None:
            raise self.error(offset, 'packet of %d bytes, shorter than its pseudo-header' % captured)
        # A Simple Packet Block has no time: it keeps the last one read.
        time_us = interface.time_us(ts) if kind != SPB else self.last_time
        self.last_time = time_us
        return offset, time_us, parts[0], parts[1], parts[2]

    last_time = 0

    def partial(self, order: str, kind: int, interfaces: List[Interface]) -> Tuple[int, bytes, int]:
        """For end(): the packet of a block the input ends inside."""
        if kind not in (EPB, PB, SPB):
            return monitor.UNKNOWN, b'', 0
        body = self.buf[self.pos + 8:]
        number, _, captured, _, start = self.packet_fields(order, kind, body)
        if captured < 0 or number >= len(interfaces):
            return monitor.UNKNOWN, b'', 0
        if kind == SPB:
            # Its captured length comes from the block length, which is the
            # one being judged.
            return monitor.UNKNOWN, b'', 0
        return linktype.present(interfaces[number].link, body[start:start + captured], captured)
