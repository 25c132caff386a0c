"""The two link types of pcap and pcapng that carry Bluetooth HCI (the
tcpdump.org list, libpcap's pcap/bluetooth.h): their pseudo-headers, in
network byte order, before the packet."""

from typing import Optional, Tuple

from . import monitor

# The packet in H4 after 4 bytes of direction (bit 0 set: received).
H4_WITH_PHDR = 201
# btmon's monitor records after the adapter index and the opcode, 2 bytes each.
LINUX_MONITOR = 254
SUPPORTED = (H4_WITH_PHDR, LINUX_MONITOR)
PSEUDO_HEADER = 4


def split(linktype: int, payload: bytes, interface: int) -> Optional[Tuple[int, int, bytes]]:
    """(index, kind, packet) of a record of linktype, or None when its
    pseudo-header is not all there.  An H4 capture's controller is its
    interface (pcapng) or 0."""
    if len(payload) < PSEUDO_HEADER + (linktype == H4_WITH_PHDR):
        return None
    if linktype == LINUX_MONITOR:
        return payload[0] << 8 | payload[1], payload[2] << 8 | payload[3], payload[4:]
    return interface, monitor.h4_kind(payload[4], bool(payload[3] & 1)), payload[5:]


def present(linktype: int, part: bytes, length: int) -> Tuple[int, bytes, int]:
    """(kind, packet, the packet's promised length) of the part of a record
    of length bytes that the input holds, for container.Container.end."""
    parts = split(linktype, part, 0)
    if parts is None:
        return monitor.UNKNOWN, b'', 0
    return parts[1], parts[2], length - (len(part) - len(parts[2]))
