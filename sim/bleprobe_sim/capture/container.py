"""What the three containers share: the chunked buffer their records are
cut from, the rule for a capture that ends inside a record, and telling
them apart by their magic.

A container yields records as tuples (offset, time_us, index, kind,
payload): the record's offset in the capture, its time in microseconds of
the Unix epoch (the capture's own clock, as written), the controller index
(monitor.NO_INDEX for records of no controller), the monitor kind
(monitor.py) and the packet.

When the input ends inside a record (its header included), the record is
cut short unless what is there of it contradicts its length: when the HCI
packet's own header is there and gives the packet another length than the
record does, the record's length is wrong, not the file's end, and reading
stops with "longer than the file".  Everything before the record has been
yielded in both cases.  The input is the file's bytes, or for a gzip file
the bytes the gzip stream gives up to its end, whether that end is the
stream's end marker or the end of a stream that was itself cut (then the
capture is cut short even when its last record is whole:
CutShort.gzip_unfinished).  A record's length above monitor.MAX_RECORD is
an error wherever the record is."""

from typing import Iterator, Optional, Tuple

from . import monitor
from .errors import CaptureError, CutShort
from .stream import CHUNK, ByteStream

Record = Tuple[int, int, int, int, bytes]

# Microseconds from year 0 to the Unix epoch: btsnoop's time base.
BTSNOOP_EPOCH = 0x00DCDDB30F2F8000


class Container:
    """A container's records (records()), and once they are read, whether
    the capture was cut short and how many records were skipped because
    their packet was not all captured (snapped, e.g. Android's filtered
    logs)."""

    format = ''

    def __init__(self, stream: ByteStream, path: str, head: bytes) -> None:
        self.stream = stream
        self.path = path
        self.buf = head
        self.pos = 0
        self.base = 0
        self.datalink: Optional[int] = None
        self.cut_short: Optional[CutShort] = None
        self.snapped = 0

    def records(self) -> Iterator[Record]:
        raise NotImplementedError

    def fill(self, need: int) -> bool:
        """Makes buf hold at least need bytes from pos; False when the input
        ends first (buf then holds what is left)."""
        have = len(self.buf) - self.pos
        if have >= need:
            return True
        parts = [self.buf[self.pos:]]
        while have < need:
            more = self.stream.read(max(CHUNK, need - have))
            if not more:
                break
            parts.append(more)
            have += len(more)
        self.buf = b''.join(parts)
        self.base += self.pos
        self.pos = 0
        return have >= need

    @property
    def offset(self) -> int:
        return self.base + self.pos

    def error(self, offset: int, reason: str) -> CaptureError:
        return CaptureError(offset, reason, self.path)

    def check_length(self, offset: int, length: int, original: Optional[int] = None) -> None:
        if length > monitor.MAX_RECORD:
            raise self.error(offset, 'record of %d bytes, over %d KiB' % (length, monitor.MAX_RECORD // 1024))
        if original is not None and length > original:
            raise self.error(offset, 'record of %d bytes, over its original length of %d'
                             % (length, original))

    def end(self, declared: Optional[int] = None, kind: int = monitor.UNKNOWN, payload: bytes = b'',
            payload_length: int = 0) -> None:
        """The input has ended at pos, inside a record if any bytes are left
        (of which declared were promised, when the header said so); payload
        is what is there of its packet, of payload_length promised."""
        present = len(self.buf) - self.pos
        if present == 0:
            if self.stream.unfinished:
                self.cut_short = CutShort(self.offset, 0, None, True)
            return
        own = monitor.own_length(kind, payload) if kind != monitor.UNKNOWN else None
        if own is not None and own != payload_length:
            raise self.error(self.offset, 'record of %d bytes, longer than the %d left in the file '
                             '(its packet has %d)' % (declared or 0, present, own))
        self.cut_short = CutShort(self.offset, present, declared, self.stream.unfinished)


MAGICS = {
    b'btsnoop\0': 'btsnoop',
    b'\xd4\xc3\xb2\xa1': 'pcap',
    b'\xa1\xb2\xc3\xd4': 'pcap',
    b'\x4d\x3c\xb2\xa1': 'pcap',
    b'\xa1\xb2\x3c\x4d': 'pcap',
    b'\x0a\x0d\x0d\x0a': 'pcapng',
}


def identify(head: bytes) -> Optional[str]:
    """The container whose magic starts head; '' when head is shorter than
    a magic it could still be the start of; None when no magic fits."""
    for magic, name in MAGICS.items():
        if head.startswith(magic):
            return name
    if any(magic.startswith(head) for magic in MAGICS):
        return ''
    return None
