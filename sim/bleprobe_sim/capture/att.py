"""ACL data to ATT reads: the fragments of each connection and direction
joined into L2CAP frames (a start fragment, then continuations, until the
frame's length is there), and on each ATT bearer the reads the host made
as a client: Read Request, Read Blob Requests while each response fills
the MTU (as BlueZ's bt_gatt_client_read_long_value reads), and the Read By
Type Request of a characteristic's UUID, each ended by its last response
or an Error Response.

The bearers of a connection are the fixed ATT channel (CID 4) and the EATT
channels: credit-based channels to PSM 0x27, which the LE signalling
channel (CID 5) opens with an LE Credit Based Connection Request (kernel
6.1) or a Credit Based Connection Request of up to five channels, and
which BlueZ opens and reads over whenever both sides support EATT (two
BlueZ hosts do: a serial number read between them goes over one).  Their
frames carry the ATT PDU as an SDU, its length in the first frame's first
two bytes; their ATT MTU is the smaller of the two sides' L2CAP MTUs.

Which characteristic an attribute handle belongs to is learnt from the
discovery in the capture: the Read By Type Responses to a Read By Type
Request for characteristic declarations (0x2803) map each value handle to
its UUID, and a Read By Type Request of a UUID maps the handles it returns
to it.  The map is kept per peer and controller across connections: when
bluetoothd finds a device in its GATT cache (/var/lib/bluetooth/ADAPTER/
cache/DEVICE) it does not discover it again, and the handles of an
earlier connection in the capture still hold.  A read whose handle no
discovery in the capture has shown has uuid None; the reader does not
guess.

What a peer sends on the air is not the capture's fault: an ATT PDU that
does not fit its layout is ignored, never an error."""

from typing import Dict, List, Optional, Tuple

from . import ad
from .errors import CaptureError
from .events import AttRead, Event
from .l2cap import (ATT_CID, DISCONNECTION_REQ, EATT_PSM, ECRED_CONN_REQ, ECRED_CONN_RSP, LE_CONN_REQ,
                    LE_CONN_RSP, SIGNALLING_CID, SIGNALLING_SIZES, Channel, Fragments)

ERROR_RSP, MTU_REQ, MTU_RSP = 0x01, 0x02, 0x03
READ_BY_TYPE_REQ, READ_BY_TYPE_RSP = 0x08, 0x09
READ_REQ, READ_RSP, READ_BLOB_REQ, READ_BLOB_RSP = 0x0A, 0x0B, 0x0C, 0x0D
# The requests a client sends (opcodes without the command bit): one
# arriving while a read waits for a Read Blob that never came ends it.
REQUESTS = frozenset((0x02, 0x04, 0x06, 0x08, 0x0A, 0x0C, 0x0E, 0x10, 0x12, 0x16, 0x18, 0x20))
DEFAULT_MTU = 23
CHARACTERISTIC = ad.uuid16(0x2803)
# Read By Type of these discovers; of any other UUID, it reads values.
DECLARATIONS = frozenset(ad.uuid16(u) for u in (0x2800, 0x2801, 0x2802, 0x2803))
# Bounds that a capture does not come near, so that a hostile one cannot
# take the memory.
MAX_FRAGMENTS = 1024
MAX_CONNECTIONS = 4096
# Per connection: EATT channels, and signalling requests waiting for their
# response (a host may open a few channels; five per request at most).
MAX_CHANNELS = 32
MAX_PENDING = 32
MAX_PEERS = 1024
MAX_LEARNT = 65536
# BlueZ reads a long value no further (BT_ATT_MAX_VALUE_LEN).
MAX_VALUE = 512

Key = Tuple[int, int]  # (index, connection handle)
Peer = Tuple[Optional[str], Optional[str]]  # (address, address type)


class Read:
    def __init__(self, attribute: int, uuid: Optional[str], time_us: int, peer: Peer,
                 by_type: bool = False) -> None:
        self.attribute = attribute
        self.uuid = uuid
        self.time_us = time_us
        self.peer = peer
        self.by_type = by_type
        self.parts: List[bytes] = []
        self.size = 0
        self.asked = True  # a request waits for its response


class Connection:
    """One ATT bearer of a connection: its MTU and the read it carries."""

    def __init__(self, mtu: int = DEFAULT_MTU) -> None:
        self.mtu = mtu
        self.mtu_asked: Optional[int] = None
        self.read: Optional[Read] = None


class Link:
    """A connection's bearers by local CID (ATT_CID for the fixed one),
    its EATT channels by each side's CID, and the signalling requests that
    wait for their response: (ident, sent by the host) -> (PSM, the
    requester's CIDs, its MTU)."""

    def __init__(self) -> None:
        self.bearers: Dict[int, Connection] = {}
        self.local: Dict[int, Channel] = {}
        self.remote: Dict[int, Channel] = {}
        self.pending: Dict[Tuple[int, bool], Tuple[int, List[int], int]] = {}

    def channel(self, cid: int, received: bool) -> Optional[Channel]:
        """The EATT channel of a frame: a received one names the host's
        CID, a sent one the peer's."""
        return (self.local if received else self.remote).get(cid)

    def open(self, local: int, remote: int, mtu: int) -> None:
        if len(self.local) < MAX_CHANNELS and local and remote:
            self.close(local, remote)
            self.local[local] = self.remote[remote] = Channel(local, remote, max(DEFAULT_MTU, mtu))

    def close(self, local: int, remote: int) -> None:
        for channel in (self.local.pop(local, None), self.remote.pop(remote, None)):
            if channel is not None:
                self.local.pop(channel.local, None)
                self.remote.pop(channel.remote, None)
                self.bearers.pop(channel.local, None)


class AttDecoder:
    def __init__(self, path: str, links: Dict[Key, Tuple[str, str]]) -> None:
        self.path = path
        self.links = links
        self.fragments: Dict[Tuple[int, int, bool], Fragments] = {}
        self.connections: Dict[Key, Link] = {}
        self.uuids: Dict[object, Dict[int, str]] = {}
        self.learnt = 0

    def acl(self, offset: int, time_us: int, index: int, packet: bytes, received: bool) -> List[Event]:
        if len(packet) < 4:
            raise CaptureError(offset, 'ACL packet of %d bytes, shorter than its header' % len(packet),
                               self.path)
        handle = (packet[0] | packet[1] << 8) & 0x0FFF
        if (packet[2] | packet[3] << 8) + 4 != len(packet):
            raise CaptureError(offset, 'ACL packet on handle 0x%03x: data length %d, record has %d'
                               % (handle, packet[2] | packet[3] << 8, len(packet) - 4), self.path)
        key = (index, handle, received)
        if packet[1] >> 4 & 3 == 1:
            joined = self.fragments.get(key)
            if joined is None:
                return []
            joined.add(packet[4:])
        else:
            link = self.connections.get((index, handle))

            def wanted(cid: int) -> bool:
                return cid in (ATT_CID, SIGNALLING_CID) or (
                    link is not None and link.channel(cid, received) is not None)

            joined = Fragments(wanted)
            joined.add(packet[4:])
            if joined.total is not None and joined.have == joined.total:
                # The usual frame, whole in one packet.
                self.fragments.pop(key, None)
                return self.frame(offset, time_us, (index, handle), joined, received)
            if len(self.fragments) >= MAX_FRAGMENTS:
                del self.fragments[next(iter(self.fragments))]
            self.fragments[key] = joined
        if joined.total is not None and joined.have >= joined.total:
            del self.fragments[key]
            return self.frame(offset, time_us, (index, handle), joined, received)
        return []

    def frame(self, offset: int, time_us: int, key: Key, joined: Fragments, received: bool) -> List[Event]:
        if not joined.keep or joined.total is None or joined.have < 5:
            return []
        payload = bytes(joined.buf[4:joined.total])
        link = self.connections.get(key)
        if link is None:
            if len(self.connections) >= MAX_CONNECTIONS:
                del self.connections[next(iter(self.connections))]
            link = self.connections[key] = Link()
        if joined.cid == SIGNALLING_CID:
            self.signalling(link, payload, received)
            return []
        if joined.cid == ATT_CID:
            bearer, pdu = ATT_CID, payload
        else:
            channel = link.channel(joined.cid or 0, received)
            if channel is None:
                return []
            sdu = self.sdu(channel, payload, received)
            if not sdu:
                return []
            bearer, pdu = channel.local, sdu
        connection = link.bearers.get(bearer)
        if connection is None:
            connection = link.bearers[bearer] = Connection(
                DEFAULT_MTU if bearer == ATT_CID else link.local[bearer].mtu)
        return self.att(offset, time_us, key, connection, pdu, received)

    @staticmethod
    def sdu(channel: Channel, payload: bytes, received: bool) -> Optional[bytes]:
        """A credit-based frame joined to its SDU: the SDU once whole, else
        None.  A frame that begins an SDU starts with its length."""
        joining = channel.sdus.pop(received, None)
        if joining is None:
            if len(payload) < 2:
                return None
            joining = (payload[0] | payload[1] << 8, bytearray(payload[2:]))
        else:
            joining[1].extend(payload)
        size, data = joining
        if len(data) >= size:
            return bytes(data[:size])
        if size <= channel.mtu:
            channel.sdus[received] = joining
        return None

    @staticmethod
    def signalling(link: Link, payload: bytes, received: bool) -> None:
        """The EATT channels that the LE signalling channel opens and closes."""
        if len(payload) < 4:
            return
        code, ident = payload[0], payload[1]
        data = payload[4:4 + (payload[2] | payload[3] << 8)]

        def words(start: int) -> List[int]:
            return [data[i] | data[i + 1] << 8 for i in range(start, len(data) - 1, 2)]

        if len(data) < SIGNALLING_SIZES.get(code, 0xFFFF):
            return
        if code in (LE_CONN_REQ, ECRED_CONN_REQ) and len(link.pending) < MAX_PENDING:
            if code == LE_CONN_REQ:
                psm, cid, mtu = words(0)[:3]
                link.pending[(ident, not received)] = (psm, [cid], mtu)
            else:
                psm, mtu = words(0)[:2]
                link.pending[(ident, not received)] = (psm, words(8)[:5], mtu)
        elif code in (LE_CONN_RSP, ECRED_CONN_RSP):
            # The response comes from the other side than its request.
            request = link.pending.pop((ident, received), None)
            if request is None or request[0] != EATT_PSM:
                return
            if code == LE_CONN_RSP:
                cid, mtu, _, _, result = words(0)[:5]
                answered = [cid if result == 0 else 0]
            else:
                # a refused channel's CID is 0
                mtu = words(0)[0]
                answered = words(8)
            asked = request[1]
            for requested, answer in zip(asked, answered):
                if received:
                    link.open(requested, answer, min(mtu, request[2]))
                else:
                    link.open(answer, requested, min(mtu, request[2]))
        elif code == DISCONNECTION_REQ:
            # the requester's destination CID is the other side's
            destination, source = words(0)[:2]
            if received:
                link.close(destination, source)
            else:
                link.close(source, destination)

    def peer_map(self, key: Key) -> Dict[int, str]:
        link = self.links.get(key)
        owner: object = (key[0],) + link if link else key
        handles = self.uuids.get(owner)
        if handles is None:
            if len(self.uuids) >= MAX_PEERS:
                self.learnt -= len(self.uuids.pop(next(iter(self.uuids))))
            handles = self.uuids[owner] = {}
        return handles

    def learn(self, handles: Dict[int, str], handle: int, uuid: str) -> None:
        if handle not in handles:
            if self.learnt >= MAX_LEARNT:
                return
            self.learnt += 1
        handles[handle] = uuid

    def att(self, offset: int, time_us: int, key: Key, connection: Connection, pdu: bytes,
            received: bool) -> List[Event]:
        opcode = pdu[0]
        read = connection.read
        if opcode == MTU_REQ and len(pdu) >= 3:
            connection.mtu_asked = pdu[1] | pdu[2] << 8
        elif opcode == MTU_RSP and len(pdu) >= 3:
            mtu = pdu[1] | pdu[2] << 8
            connection.mtu = max(DEFAULT_MTU, min(mtu, connection.mtu_asked or mtu))
        if not received:
            if opcode not in REQUESTS:
                return []
            events = []
            if read is not None and not (opcode == READ_BLOB_REQ and len(pdu) >= 5 and not read.asked
                                         and pdu[1] | pdu[2] << 8 == read.attribute
                                         and pdu[3] | pdu[4] << 8 == read.size):
                events = self.end(offset, time_us, key, connection)
                read = None
            if read is not None:
                read.asked = True
            elif opcode == READ_REQ and len(pdu) >= 3:
                attribute = pdu[1] | pdu[2] << 8
                connection.read = Read(attribute, self.peer_map(key).get(attribute), time_us, self.peer(key))
            elif opcode == READ_BY_TYPE_REQ and len(pdu) in (7, 21):
                start = pdu[1] | pdu[2] << 8
                connection.read = Read(start, ad.uuid_le(pdu[5:]), time_us, self.peer(key), True)
            return events
        if read is None or not read.asked:
            return []
        if opcode == ERROR_RSP and len(pdu) >= 5:
            if pdu[1] not in (READ_REQ, READ_BLOB_REQ, READ_BY_TYPE_REQ):
                return []
            connection.read = None
            if read.by_type and read.uuid in DECLARATIONS:
                return []
            return [self.result(offset, time_us, key, read, None, pdu[4])]
        if opcode == READ_BY_TYPE_RSP and read.by_type and len(pdu) >= 2:
            connection.read = None
            return self.by_type(offset, time_us, key, read, pdu)
        if opcode in (READ_RSP, READ_BLOB_RSP) and not read.by_type:
            value = pdu[1:]
            read.parts.append(value)
            read.size += len(value)
            read.asked = False
            if len(value) < connection.mtu - 1 or read.size >= MAX_VALUE:
                return self.end(offset, time_us, key, connection)
        return []

    def by_type(self, offset: int, time_us: int, key: Key, read: Read, pdu: bytes) -> List[Event]:
        size = pdu[1]
        handles = self.peer_map(key)
        events: List[Event] = []
        if read.uuid == CHARACTERISTIC:
            if size in (7, 21):
                for pos in range(2, len(pdu) - size + 1, size):
                    self.learn(handles, pdu[pos + 3] | pdu[pos + 4] << 8, ad.uuid_le(pdu[pos + 5:pos + size]))
            return events
        if read.uuid in DECLARATIONS or size < 2:
            return events
        for pos in range(2, len(pdu) - size + 1, size):
            handle = pdu[pos] | pdu[pos + 1] << 8
            assert read.uuid is not None
            self.learn(handles, handle, read.uuid)
            if not events:
                read.attribute = handle
                events.append(self.result(offset, time_us, key, read, pdu[pos + 2:pos + size], None))
        return events

    def peer(self, key: Key) -> Peer:
        link = self.links.get(key)
        return (link[0], link[1]) if link else (None, None)

    def result(self, offset: int, time_us: int, key: Key, read: Read, value: Optional[bytes],
               error: Optional[int]) -> AttRead:
        return AttRead(time_us, key[0], offset, key[1], read.peer[0], read.peer[1], read.attribute, read.uuid,
                       value, error, read.time_us)

    def end(self, offset: int, time_us: int, key: Key, connection: Connection) -> List[Event]:
        """The connection's read ends with what it has: its value, or none
        (value and error None) when no response came."""
        read = connection.read
        connection.read = None
        if read is None:
            return []
        value = b''.join(read.parts) if read.parts else None
        return [self.result(offset, time_us, key, read, value, None)]

    def closed(self, offset: int, time_us: int, index: int, handle: int) -> List[Event]:
        """The link ended: the reads of its bearers end, its fragments go."""
        for received in (False, True):
            self.fragments.pop((index, handle, received), None)
        link = self.connections.pop((index, handle), None)
        events: List[Event] = []
        for connection in link.bearers.values() if link else ():
            events += self.end(offset, time_us, (index, handle), connection)
        return events

    def close_all(self, offset: int, time_us: int) -> List[Event]:
        events: List[Event] = []
        for index, handle in list(self.connections):
            events.extend(self.closed(offset, time_us, index, handle))
        return events
