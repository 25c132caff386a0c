"""btsnoop files (BlueZ's src/shared/btsnoop.c): a 16-byte header (the
identification "btsnoop\\0", version 1, the datalink), then records of a
24-byte big-endian header (original length, included length, flags,
cumulative drops, microseconds since year 0) and the packet.

Datalinks: 2001, btmon's monitor format, whose flags hold the controller
index (high 16 bits) and the monitor opcode (low 16); 1002, H4, as Android
writes, the packet indicator first and the direction in flag bit 0
(1: received from the controller); 1001, packets without indicator, whose
flags say command/event (bit 1) and the direction (bit 0)."""

import struct
from typing import Iterator, Tuple

from . import monitor
from .container import BTSNOOP_EPOCH, Container, Record

HEADER = struct.Struct('>8sII')
RECORD = struct.Struct('>IIIIq')
MONITOR, H4, HCI = 2001, 1002, 1001


class Btsnoop(Container):
    format = 'btsnoop'

    def records(self) -> Iterator[Record]:
        if not self.fill(HEADER.size):
            self.end()
            return iter(())
        _, version, datalink = HEADER.unpack_from(self.buf, 0)
        if version != 1:
            raise self.error(8, 'btsnoop version %d, not 1' % version)
        if datalink not in (MONITOR, H4, HCI):
            raise self.error(12, 'unknown btsnoop datalink %d (read: 1001, 1002, 2001)' % datalink)
        self.datalink = datalink
        self.pos = HEADER.size
        return self.monitor_records() if datalink == MONITOR else self.hci_records(datalink)

    def monitor_records(self) -> Iterator[Record]:
        unpack = RECORD.unpack_from
        limit = monitor.MAX_RECORD
        epoch = BTSNOOP_EPOCH
        while True:
            buf, pos, base = self.buf, self.pos, self.base
            size = len(buf)
            # The records wholly in the buffer, as btmon writes them: the
            # cost of a capture is this loop.
            while pos + 24 <= size:
                original, length, flags, _, ts = unpack(buf, pos)
                end = pos + 24 + length
                if end > size or length != original or length > limit:
                    break
                yield base + pos, ts - epoch, flags >> 16, flags & 0xFFFF, buf[pos + 24:end]
                pos = end
            self.pos = pos
            if not self.next_record():
                return

    def next_record(self) -> bool:
        """The record at pos that the fast loop left: True when it is whole
        in the buffer now (or was skipped), False at the end."""
        if not self.fill(RECORD.size):
            self.end()
            return False
        original, length, flags, _, _ = RECORD.unpack_from(self.buf, self.pos)
        self.check_length(self.offset, length, original)
        if not self.fill(RECORD.size + length):
            payload = self.buf[self.pos + RECORD.size:]
            kind, payload, promised = self.kind(flags, payload, length)
            self.end(RECORD.size + length, kind, payload, promised)
            return False
        if length < original:
            self.snapped += 1
            self.pos += RECORD.size + length
        return True

    def kind(self, flags: int, payload: bytes, length: int) -> Tuple[int, bytes, int]:
        """(kind, packet, the packet's length) of a record's payload."""
        if self.datalink == MONITOR:
            return flags & 0xFFFF, payload, length
        if self.datalink == H4:
            if not payload:
                return monitor.UNKNOWN, payload, length
            return monitor.h4_kind(payload[0], bool(flags & 1)), payload[1:], length - 1
        return monitor.hci_kind(flags), payload, length

    def hci_records(self, datalink: int) -> Iterator[Record]:
        unpack = RECORD.unpack_from
        epoch = BTSNOOP_EPOCH
        while True:
            if not self.fill(RECORD.size):
                self.end()
                return
            pos = self.pos
            original, length, flags, _, ts = unpack(self.buf, pos)
            offset = self.offset
            self.check_length(offset, length, original)
            if not self.fill(RECORD.size + length):
                self.end(RECORD.size + length, *self.kind(flags, self.buf[self.pos + RECORD.size:], length))
                return
            pos = self.pos
            payload = self.buf[pos + RECORD.size:pos + RECORD.size + length]
            self.pos = pos + RECORD.size + length
            if length < original:
                self.snapped += 1
                continue
            kind, payload, _ = self.kind(flags, payload, length)
            if kind != monitor.UNKNOWN:
                yield offset, ts - epoch, 0, kind, payload
