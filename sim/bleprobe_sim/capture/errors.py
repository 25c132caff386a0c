"""What goes wrong in a capture: one CaptureError that stops the reading,
and CutShort, which says where a capture cut short in its last record
ends."""

from dataclasses import dataclass
from typing import Optional


class CaptureError(Exception):
    """A capture that cannot be read further.  str() is the command's line
    without its "bleprobe-sim: " prefix: "FILE: offset N: reason".  offset
    counts bytes of the capture as its container lays them out (for a
    gzip-compressed file, of the decompressed capture), except for a fault
    of the gzip stream itself, whose offset is in the compressed file."""

    def __init__(self, offset: int, reason: str, path: str = '-') -> None:
        super().__init__(offset, reason, path)
        self.offset = offset
        self.reason = reason
        self.path = path

    def __str__(self) -> str:
        return '%s: offset %d: %s' % (self.path, self.offset, self.reason)


@dataclass(frozen=True)
class CutShort:
    """The input ended inside a record (or inside the capture's header):
    everything before offset was read.  present of the record's declared
    bytes were there (declared is None when the input ended before the
    record said its length).  gzip_unfinished: the gzip stream itself ended
    without its end marker."""

    offset: int
    present: int
    declared: Optional[int]
    gzip_unfinished: bool = False

    def __str__(self) -> str:
        if self.declared is None:
            what = 'with %d bytes of its header' % self.present
        else:
            what = 'with %d of its %d bytes' % (self.present, self.declared)
        text = 'cut short at offset %d, in its last record (%s)' % (self.offset, what)
        if self.gzip_unfinished:
            text += '; the gzip stream has no end'
        return text
