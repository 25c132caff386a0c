"""The bytes of a capture, plain or gzip-compressed (told apart by the gzip
magic), read in chunks so that a capture of any size takes a bounded amount
of memory."""

import zlib
from typing import BinaryIO, Optional, Tuple

from .errors import CaptureError

GZIP_MAGIC = b'\x1f\x8b'
# Large enough that a refill costs little beside the records it brings, small
# enough to stay far below the import's memory budget.
CHUNK = 1 << 20


class ByteStream:
    """read(n) gives up to n bytes, fewer only at the end.  For gzip input,
    unfinished says, once the end is reached, that the stream stopped
    before its end marker (a file cut short while it was written); a corrupt
    stream raises CaptureError at its offset in the compressed file."""

    def __init__(self, f: BinaryIO, path: str) -> None:
        self.f = f
        self.path = path
        head = f.read(2)
        self.compressed = head == GZIP_MAGIC
        self.unfinished = False
        self._head: Optional[bytes] = head
        self._inflate: Optional['zlib._Decompress'] = None
        self._pending = b''
        self._consumed = 0  # compressed bytes handed to zlib so far
        self._ended = False
        if self.compressed:
            self._pending = head
            self._head = None
            self._inflate = zlib.decompressobj(16 + zlib.MAX_WBITS)

    def read(self, n: int) -> bytes:
        if not self.compressed:
            if self._head is not None:
                head, self._head = self._head, None
                return head + self.f.read(n - len(head)) if n > len(head) else head
            return self.f.read(n)
        parts = []
        size = 0
        while size < n and not self._ended:
            out = self._inflate_some(n - size)
            if out:
                parts.append(out)
                size += len(out)
        return b''.join(parts)

    def _inflate_some(self, n: int) -> bytes:
        inflate = self._inflate
        assert inflate is not None
        if inflate.unconsumed_tail:
            data = inflate.unconsumed_tail
        else:
            data = self._pending or self.f.read(CHUNK)
            self._pending = b''
            if not data:
                self._ended = True
                self.unfinished = True
                return inflate.flush()
        before = len(data)
        try:
            # max_length: a small file that inflates to gigabytes is read in
            # pieces like any other.
            out = inflate.decompress(data, n)
        except zlib.error as e:
            raise CaptureError(self._consumed, 'gzip: corrupt stream (%s)' % e, self.path) from None
        self._consumed += before - len(inflate.unconsumed_tail)
        if inflate.eof:
            rest = inflate.unused_data
            self._consumed -= len(rest)
            self._next_member(rest)
        return out

    def _next_member(self, rest: bytes) -> None:
        """After one gzip member, another may follow (concatenated files);
        zero bytes that pad a block device's copy end the stream too."""
        rest = rest + self.f.read(2) if len(rest) < 2 else rest
        if not rest:
            self._ended = True
            return
        if rest.startswith(GZIP_MAGIC):
            self._inflate = zlib.decompressobj(16 + zlib.MAX_WBITS)
            self._pending = rest
            return
        offset = self._consumed
        while rest:
            if rest.strip(b'\0'):
                raise CaptureError(offset, 'gzip: data after the end of the stream', self.path)
            offset += len(rest)
            rest = self.f.read(CHUNK)
        self._ended = True


def open_stream(path: str) -> Tuple[BinaryIO, ByteStream]:
    """The open file and its ByteStream; the caller closes the file."""
    f = open(path, 'rb')
    try:
        return f, ByteStream(f, path)
    except BaseException:
        f.close()
        raise
