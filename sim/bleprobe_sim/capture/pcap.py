"""pcap files: a 24-byte header whose magic gives the byte order and the
time resolution (0xa1b2c3d4: microseconds, 0xa1b23c4d: nanoseconds), then
records of a 16-byte header (seconds, fraction, included and original
length) and the packet, for link types 201 and 254 (linktype.py)."""

import struct
from typing import Iterator

from . import linktype
from .container import Container, Record

MAGICS = {
    b'\xd4\xc3\xb2\xa1': ('<', 1),
    b'\xa1\xb2\xc3\xd4': ('>', 1),
    b'\x4d\x3c\xb2\xa1': ('<', 1000),
    b'\xa1\xb2\x3c\x4d': ('>', 1000),
}
HEADER_SIZE = 24
RECORD_SIZE = 16


class Pcap(Container):
    format = 'pcap'

    def records(self) -> Iterator[Record]:
        if not self.fill(HEADER_SIZE):
            self.end()
            return
        order, per_us = MAGICS[self.buf[:4]]
        major, minor, _, _, _, network = struct.unpack_from(order + 'HHiIII', self.buf, 4)
        if major != 2:
            raise self.error(4, 'pcap version %d.%d, not 2.4' % (major, minor))
        # The upper bits may hold the frame check sequence's length.
        link = network & 0x03FFFFFF
        if link not in linktype.SUPPORTED:
            raise self.error(20, 'unknown pcap link type %d (read: 201, 254)' % link)
        self.datalink = link
        self.pos = HEADER_SIZE
        unpack = struct.Struct(order + 'IIII').unpack_from
        split = linktype.split
        while True:
            if not self.fill(RECORD_SIZE):
                self.end()
                return
            offset = self.offset
            seconds, fraction, length, original = unpack(self.buf, self.pos)
            self.check_length(offset, length, original)
            if not self.fill(RECORD_SIZE + length):
                part = self.buf[self.pos + RECORD_SIZE:]
                self.end(RECORD_SIZE + length, *linktype.present(link, part, length))
                return
            start = self.pos + RECORD_SIZE
            payload = self.buf[start:start + length]
            self.pos = start + length
            if length < original:
                self.snapped += 1
                continue
            parts = split(link, payload, 0)
            if parts is None:
                raise self.error(offset, 'record of %d bytes, shorter than its pseudo-header' % length)
            # To the nearest microsecond.
            time_us = seconds * 1000000 + (fraction + per_us // 2) // per_us
            yield offset, time_us, parts[0], parts[1], parts[2]
