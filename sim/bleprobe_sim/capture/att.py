"""ACL data to ATT reads: the fragments of each connection and direction
joined into L2CAP frames (a start fragment, then continuations, until the
frame's length is there), and on the fixed ATT channel (CID 4; EATT's
credit-based channels are not read) the reads the host made as a client:
Read Request, Read Blob Requests while each response fills the MTU (as
BlueZ's bt_gatt_client_read_long_value reads), and the Read By Type
Request of a characteristic's UUID, each ended by its last response or an
Error Response.

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

ATT_CID = 4
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
MAX_PEERS = 1024
MAX_LEARNT = 65536
# BlueZ reads a long value no further (BT_ATT_MAX_VALUE_LEN).
MAX_VALUE = 512

Key = Tuple[int, int]  # (index, connection handle)
Peer = Tuple[Optional[str], Optional[str]]  # (address, address type)


class Fragments:
    """An L2CAP frame being joined: its length once the header is there,
    and whether it is on the ATT channel (other frames are only counted)."""

    def __init__(self, data: bytes) -> None:
        self.buf = bytearray(data)
        self.have = len(data)
        self.total: Optional[int] = None
        self.att = True

    def add(self, data: bytes) -> None:
        self.have += len(data)
        if self.att:
            self.buf += data
        if self.total is None and len(self.buf) >= 4:
            self.total = (self.buf[0] | self.buf[1] << 8) + 4
            self.att = (self.buf[2] | self.buf[3] << 8) == ATT_CID
            if not self.att:
                self.buf = bytearray()


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
    def __init__(self) -> None:
        self.mtu = DEFAULT_MTU
        self.mtu_asked: Optional[int] = None
        self.read: Optional[Read] = None


class AttDecoder:
    def __init__(self, path: str, links: Dict[Key, Tuple[str, str]]) -> None:
        self.path = path
        self.links = links
        self.fragments: Dict[Tuple[int, int, bool], Fragments] = {}
        self.connections: Dict[Key, Connection] = {}
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
            joined = Fragments(b'')
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
        if not joined.att or joined.total is None or joined.have < 5:
            return []
        pdu = bytes(joined.buf[4:joined.total])
        connection = self.connections.get(key)
        if connection is None:
            if len(self.connections) >= MAX_CONNECTIONS:
                del self.connections[next(iter(self.connections))]
            connection = self.connections[key] = Connection()
        return self.att(offset, time_us, key, connection, pdu, received)

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
        """The link ended: its read ends, its fragments go."""
        for received in (False, True):
            self.fragments.pop((index, handle, received), None)
        connection = self.connections.pop((index, handle), None)
        return self.end(offset, time_us, (index, handle), connection) if connection else []

    def close_all(self, offset: int, time_us: int) -> List[Event]:
        events: List[Event] = []
        for index, handle in list(self.connections):
            events.extend(self.closed(offset, time_us, index, handle))
        return events
