"""L2CAP as the ATT decoder (att.py) needs it: the channels that carry ATT
(the fixed one, and the LE signalling channel that opens EATT channels),
the frames joined from a connection's ACL fragments, and an EATT channel's
CIDs with the SDUs being joined on it."""

from typing import Callable, Dict, Optional, Tuple

ATT_CID = 4
SIGNALLING_CID = 5
EATT_PSM = 0x27
# LE signalling codes: disconnection request, LE credit-based connection
# request and response, credit-based (enhanced) connection request and response.
DISCONNECTION_REQ = 0x06
LE_CONN_REQ, LE_CONN_RSP, ECRED_CONN_REQ, ECRED_CONN_RSP = 0x14, 0x15, 0x17, 0x18
# their fixed parts' sizes
SIGNALLING_SIZES = {DISCONNECTION_REQ: 4, LE_CONN_REQ: 10, LE_CONN_RSP: 10, ECRED_CONN_REQ: 8,
                    ECRED_CONN_RSP: 8}


class Fragments:
    """An L2CAP frame being joined: its length and channel once the header
    is there, and whether that channel is one read here (other frames are
    only counted)."""

    def __init__(self, wanted: Callable[[int], bool]) -> None:
        self.buf = bytearray()
        self.have = 0
        self.total: Optional[int] = None
        self.cid: Optional[int] = None
        self.wanted = wanted
        self.keep = True

    def add(self, data: bytes) -> None:
        self.have += len(data)
        if self.keep:
            self.buf += data
        if self.total is None and len(self.buf) >= 4:
            self.total = (self.buf[0] | self.buf[1] << 8) + 4
            self.cid = self.buf[2] | self.buf[3] << 8
            self.keep = self.wanted(self.cid)
            if not self.keep:
                self.buf = bytearray()


class Channel:
    """An EATT channel: its CIDs on each side, and the SDU being joined in
    each direction (its length, what has come)."""

    def __init__(self, local: int, remote: int, mtu: int) -> None:
        self.local = local
        self.remote = remote
        self.mtu = mtu
        self.sdus: Dict[bool, Tuple[int, bytearray]] = {}
