"""The monitor's records of no HCI packet: a controller registered (New
Index: type, bus, address, name) or gone (Del Index), the kernel's and
btmon's notes (text), and the user logging records through which
bluetoothd sends every line it logs (priority, the length of the ident,
the ident and the message, both NUL-terminated; BlueZ's src/shared/log.c)."""

from typing import List, Optional

from . import ad
from .errors import CaptureError
from .events import ControllerAdded, ControllerRemoved, Event, LogLine, SystemNote


def text(raw: bytes) -> str:
    return raw.split(b'\0', 1)[0].decode('utf-8', 'replace')


def new_index(path: str, offset: int, time_us: int, index: Optional[int], packet: bytes) -> List[Event]:
    if len(packet) < 16:
        raise CaptureError(offset, 'New Index of %d bytes, needs 16' % len(packet), path)
    return [ControllerAdded(time_us, index, offset, ad.address(packet[2:8]), text(packet[8:16]))]


def del_index(time_us: int, index: Optional[int], offset: int) -> List[Event]:
    return [ControllerRemoved(time_us, index, offset)]


def note(time_us: int, index: Optional[int], offset: int, packet: bytes) -> List[Event]:
    return [SystemNote(time_us, index, offset, text(packet))]


def log_line(path: str, offset: int, time_us: int, index: Optional[int], packet: bytes) -> List[Event]:
    if len(packet) < 2 or 2 + packet[1] > len(packet):
        raise CaptureError(offset, 'user logging record of %d bytes, shorter than its ident' % len(packet),
                           path)
    end = 2 + packet[1]
    return [LogLine(time_us, index, offset, packet[0], text(packet[2:end]), text(packet[end:]))]
