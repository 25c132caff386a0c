"""The record kinds every container is brought to: the opcodes of Linux's
monitor channel (BlueZ's src/shared/btsnoop.h, the kernel's hci_mon.h),
which btmon writes as they are.  H4 packets (btsnoop 1002, pcap 201) and
un-encapsulated ones (btsnoop 1001) become the same kinds, so that one
decoder serves every format."""

from typing import Optional

NEW_INDEX = 0
DEL_INDEX = 1
COMMAND = 2
EVENT = 3
ACL_TX = 4
ACL_RX = 5
SCO_TX = 6
SCO_RX = 7
OPEN_INDEX = 8
CLOSE_INDEX = 9
INDEX_INFO = 10
VENDOR_DIAG = 11
SYSTEM_NOTE = 12
USER_LOGGING = 13
CTRL_OPEN = 14
CTRL_CLOSE = 15
CTRL_COMMAND = 16
CTRL_EVENT = 17
ISO_TX = 18
ISO_RX = 19

# The monitor's index of records that belong to no controller
# (HCI_DEV_NONE): bluetoothd's own log lines, the kernel's notes.
NO_INDEX = 0xFFFF

# The largest record read: every HCI packet and mgmt event fits (an ACL
# packet is at most 65535 + 4 bytes and btmon writes at most 1490), and a
# length above it is a corrupt file rather than a packet.
MAX_RECORD = 64 * 1024

# H4's packet indicator -> (kind sent to the controller, kind received).
H4_KINDS = {
    0x01: (COMMAND, COMMAND),
    0x02: (ACL_TX, ACL_RX),
    0x03: (SCO_TX, SCO_RX),
    0x04: (EVENT, EVENT),
    0x05: (ISO_TX, ISO_RX),
}
UNKNOWN = -1


def h4_kind(indicator: int, received: bool) -> int:
    kinds = H4_KINDS.get(indicator)
    return UNKNOWN if kinds is None else kinds[received]


def hci_kind(flags: int) -> int:
    """btsnoop 1001: bit 1 of the flags tells a command or event from data,
    bit 0 received from sent (BlueZ's get_opcode_from_flags)."""
    if flags & 2:
        return EVENT if flags & 1 else COMMAND
    return ACL_RX if flags & 1 else ACL_TX


def own_length(kind: int, payload: bytes) -> Optional[int]:
    """The length an HCI packet's own header gives it (header included), or
    None when the kind has no such header or the header is not all there."""
    if kind == EVENT:
        return payload[1] + 2 if len(payload) >= 2 else None
    if kind == COMMAND:
        return payload[2] + 3 if len(payload) >= 3 else None
    if kind in (ACL_TX, ACL_RX, ISO_TX, ISO_RX):
        if len(payload) < 4:
            return None
        # ISO's length has 14 bits, two flags above it.
        high = payload[3] & 0x3F if kind >= ISO_TX else payload[3]
        return (payload[2] | high << 8) + 4
    if kind in (SCO_TX, SCO_RX):
        return payload[2] + 3 if len(payload) >= 3 else None
    return None
