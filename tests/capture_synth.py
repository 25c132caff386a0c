"""Synthetic captures for the capture reader's tests and benchmark: monitor
records built from what they mean (an advertising report, a Device Found, a
connection, an ATT read...) and written in any container the reader reads.

A record is (time_us, index, kind, packet) with the monitor's kinds
(bleprobe_sim.capture.monitor).  The containers without a monitor channel
(btsnoop 1001 and 1002, link type 201) carry only the HCI packets; there a
record's index becomes the pcapng interface, or is lost."""

import gzip
import struct
from bleprobe_sim.capture import monitor

# A time in microseconds of the Unix epoch: 2024-05-01T12:00:00Z.
T0 = 1714564800 * 1000000
BTSNOOP_EPOCH = 0x00DCDDB30F2F8000
NO_INDEX = monitor.NO_INDEX
HCI_KINDS = (monitor.COMMAND, monitor.EVENT, monitor.ACL_TX, monitor.ACL_RX)


def raw_address(text):
    return bytes.fromhex(text.replace(':', ''))[::-1]


def ad(*structures):
    return b''.join(bytes([len(value) + 1, kind]) + value for kind, value in structures)


def service_data16(uuid, value):
    return ad((0x01, b'\x06'), (0x16, struct.pack('<H', uuid) + value))


# HCI.

def command(t, index, opcode, params):
    return t, index, monitor.COMMAND, struct.pack('<HB', opcode, len(params)) + params


def event(t, index, code, params):
    return t, index, monitor.EVENT, bytes([code, len(params)]) + params


def command_complete(t, index, opcode, status=0):
    return event(t, index, 0x0E, struct.pack('<BHB', 1, opcode, status))


def command_status(t, index, opcode, status=0):
    return event(t, index, 0x0F, struct.pack('<BBH', status, 1, opcode))


def scan_parameters(t, index, active=True, extended=False, policy=0):
    if extended:
        params = struct.pack('<BBBBHH', 0, policy, 1, active, 0x12, 0x12)
        opcode = 0x2041
    else:
        params = struct.pack('<BHHBB', active, 0x12, 0x12, 0, policy)
        opcode = 0x200B
    return [command(t, index, opcode, params), command_complete(t + 300, index, opcode)]


def scan_enable(t, index, enable, filter_duplicates=0, extended=False):
    if extended:
        opcode, params = 0x2042, struct.pack('<BBHH', enable, filter_duplicates, 0, 0)
    else:
        opcode, params = 0x200C, struct.pack('<BB', enable, filter_duplicates)
    return [command(t, index, opcode, params), command_complete(t + 300, index, opcode)]


def accept_list(t, index, change, address=None, address_type=0):
    """change: 'clear', 'add' or 'remove'."""
    opcode = {'clear': 0x2010, 'add': 0x2011, 'remove': 0x2012}[change]
    params = b'' if change == 'clear' else bytes([address_type]) + raw_address(address)
    return [command(t, index, opcode, params), command_complete(t + 300, index, opcode)]


def report(address, data, address_type=1, rssi=-60, event_type=0):
    return struct.pack('<BB6sB', event_type, address_type, raw_address(address), len(data)) + data + \
        struct.pack('<b', rssi)


def adv_report(t, index, *reports):
    return event(t, index, 0x3E, bytes([0x02, len(reports)]) + b''.join(reports))


def ext_report(address, data, address_type=1, rssi=-60, event_type=0x0001, status=0, sid=1):
    return struct.pack('<HB6sBBBbbHB6sB', event_type | status << 5, address_type, raw_address(address), 1, 3,
                       sid,                        127, rssi, 0, 0, bytes(6), len(data)) + data


def ext_adv_report(t, index, *reports):
    return event(t, index, 0x3E, bytes([0x0D, len(reports)]) + b''.join(reports))


def create_connection(t, index, address, address_type=1, extended=False, status=0):
    if extended:
        opcode = 0x2043
        params = struct.pack('<BBB6sB', 0, 0, address_type, raw_address(address), 1) + bytes(16)
    else:
        opcode = 0x200D
        params = struct.pack('<HHBB6sB', 0x60, 0x60, 0, address_type, raw_address(address), 0) + bytes(12)
    return [command(t, index, opcode, params), command_status(t + 300, index, opcode, status)]


def connection_complete(t, index, handle, address, address_type=1, status=0, enhanced=False):
    head = struct.pack('<BHBB6s', status, handle, 0, address_type, raw_address(address))
    tail = struct.pack('<HHHB', 0x18, 0, 0x2A, 0)
    if enhanced:
        return event(t, index, 0x3E, b'\x0a' + head + bytes(12) + tail)
    return event(t, index, 0x3E, b'\x01' + head + tail)


def disconnect(t, index, handle, reason=0x13):
    return [command(t, index, 0x0406, struct.pack('<HB', handle, reason)),
            command_status(t + 300, index, 0x0406)]


def disconnection_complete(t, index, handle, reason, status=0):
    return event(t, index, 0x05, struct.pack('<BHB', status, handle, reason))


def acl(t, index, handle, received, payload, cid=4, fragment=None):
    """One L2CAP frame, in ACL packets of fragment bytes at most."""
    frame = struct.pack('<HH', len(payload), cid) + payload
    size = fragment or len(frame)
    kind = monitor.ACL_RX if received else monitor.ACL_TX
    records = []
    for n, pos in enumerate(range(0, len(frame), size)):
        part = frame[pos:pos + size]
        flags = 0x1 if n else (0x2 if received else 0x0)
        records.append((t + n, index, kind, struct.pack('<HH', handle | flags << 12, len(part)) + part))
    return records


def eatt_open(t, index, handle, local, remote, mtu=517, peer_mtu=517, enhanced=False, by_peer=False,
              ident=1):
    """The LE signalling exchange that opens EATT channels (PSM 0x27): the
    host's CIDs local, the peer's remote (0: refused), as an LE Credit
    Based Connection (one channel) or a Credit Based Connection, asked by
    the host or by the peer."""
    asker, answerer = (remote, local) if by_peer else (local, remote)
    ask_mtu, answer_mtu = (peer_mtu, mtu) if by_peer else (mtu, peer_mtu)
    if enhanced:
        ask = struct.pack('<HHHH', 0x27, ask_mtu, 64, 3) + b''.join(struct.pack('<H', c) for c in asker)
        answer = struct.pack('<HHHH', answer_mtu, 64, 3, 0) + b''.join(struct.pack('<H', c) for c in answerer)
        codes = 0x17, 0x18
    else:
        ask = struct.pack('<HHHHH', 0x27, asker[0], ask_mtu, 64, 3)
        answer = struct.pack('<HHHHH', answerer[0], answer_mtu, 64, 3, 0 if answerer[0] else 4)
        codes = 0x14, 0x15
    ask = struct.pack('<BBH', codes[0], ident, len(ask)) + ask
    answer = struct.pack('<BBH', codes[1], ident, len(answer)) + answer
    return (acl(t, index, handle, by_peer, ask, cid=5) +
            acl(t + 1000, index, handle, not by_peer, answer, cid=5))


def eatt_close(t, index, handle, local, remote, by_peer=False):
    ask = struct.pack('<HH', local, remote) if by_peer else struct.pack('<HH', remote, local)
    return acl(t, index, handle, by_peer, struct.pack('<BBH', 0x06, 9, 4) + ask, cid=5)


def sdu(t, index, handle, received, pdu, cid, mps=64):
    """An ATT PDU as the SDU of a credit-based channel: K-frames of mps
    bytes at most, the first led by the SDU's length."""
    data = struct.pack('<H', len(pdu)) + pdu
    records = []
    for n, pos in enumerate(range(0, len(data), mps)):
        records += acl(t + n, index, handle, received, data[pos:pos + mps], cid=cid)
    return records


def att_discovery(t, index, handle, characteristics):
    """Read By Type of 0x2803 from 0x0001, its response listing
    (declaration handle, value handle, UUID as on air), then the Error
    Response that ends a discovery."""
    request = struct.pack('<BHHH', 0x08, 1, 0xFFFF, 0x2803)
    size = 5 + len(characteristics[0][2])
    entries = b''.join(struct.pack('<HBH', decl, 0x02, value) + uuid for decl, value, uuid in characteristics)
    last = characteristics[-1][1]
    return (acl(t, index, handle, False, request) +
            acl(t + 1000, index, handle, True, bytes([0x09, size]) + entries) +
            acl(t + 2000, index, handle, False, struct.pack('<BHHH', 0x08, last + 1, 0xFFFF, 0x2803)) +
            acl(t + 3000, index, handle, True, struct.pack('<BBHB', 0x01, 0x08, last + 1, 0x0A)))


def att_read(t, index, handle, attribute, value=None, error=None, mtu=23, fragment=None, channel=None):
    """A Read Request answered by value (in Read Blob exchanges when it
    fills the MTU) or by an Error Response with error; on the fixed ATT
    channel, or on the EATT channel (host's CID, peer's CID, MPS)."""
    def send(t, received, pdu):
        if channel is None:
            return acl(t, index, handle, received, pdu, fragment=fragment)
        local, remote, mps = channel
        return sdu(t, index, handle, received, pdu, local if received else remote, mps)

    records = send(t, False, struct.pack('<BH', 0x0A, attribute))
    if error is not None:
        answer = struct.pack('<BBHB', 0x01, 0x0A, attribute, error)
        return records + send(t + 1000, True, answer)
    assert value is not None
    offset = 0
    t += 1000
    while True:
        chunk = value[offset:offset + mtu - 1]
        answer = bytes([0x0B if offset == 0 else 0x0D]) + chunk
        records += send(t, True, answer)
        offset += len(chunk)
        if len(chunk) < mtu - 1:
            return records
        t += 1000
        records += send(t, False, struct.pack('<BHH', 0x0C, attribute, offset))
        t += 1000


def exchange_mtu(t, index, handle, client, server):
    return (acl(t, index, handle, False, struct.pack('<BH', 0x02, client)) +
            acl(t + 1000, index, handle, True, struct.pack('<BH', 0x03, server)))


# The monitor's own records and the management channel.

def controller(t, index, address, name=''):
    name_raw = (name or 'hci%d' % index).encode()[:8].ljust(8, b'\0')
    return t, index, monitor.NEW_INDEX, struct.pack('<BB6s', 0, 1, raw_address(address)) + name_raw


def controller_removed(t, index):
    return t, index, monitor.DEL_INDEX, b''


def socket_open(t, cookie, name, index=NO_INDEX):
    comm = name.encode()[:15].ljust(16, b'\0')
    return t, index, monitor.CTRL_OPEN, struct.pack('<IHBHIB', cookie, 2, 1, 22, 1, 16) + comm


def socket_close(t, cookie, index=NO_INDEX):
    return t, index, monitor.CTRL_CLOSE, struct.pack('<I', cookie)


def mgmt_event(t, index, opcode, params, cookie=1):
    return t, index, monitor.CTRL_EVENT, struct.pack('<IH', cookie, opcode) + params


def mgmt_command(t, index, opcode, params, cookie=1):
    return t, index, monitor.CTRL_COMMAND, struct.pack('<IH', cookie, opcode) + params


def device_found(t, index, address, data, address_type=2, rssi=-60, flags=0, cookie=1):
    head = struct.pack('<6sBbIH', raw_address(address), address_type, rssi, flags, len(data))
    return mgmt_event(t, index, 0x0012, head + data, cookie)


def command_answer(t, index, command, status=0, cookie=1, complete=True):
    """mgmt Command Complete (with the discovery type back) or Command Status."""
    if complete:
        return mgmt_event(t, index, 0x0001, struct.pack('<HBB', command, status, 6), cookie)
    return mgmt_event(t, index, 0x0002, struct.pack('<HB', command, status), cookie)


def discovering(t, index, on, kind=6, cookie=1):
    return mgmt_event(t, index, 0x0013, bytes([kind, on]), cookie)


def start_discovery(t, index, kind=6, cookie=1):
    return mgmt_command(t, index, 0x0023, bytes([kind]), cookie)


def stop_discovery(t, index, kind=6, cookie=1):
    return mgmt_command(t, index, 0x0024, bytes([kind]), cookie)


def start_service_discovery(t, index, rssi, uuids, kind=6, cookie=1):
    params = struct.pack('<BbH', kind, rssi, len(uuids)) + b''.join(uuids)
    return mgmt_command(t, index, 0x003A, params, cookie)


def device_connected(t, index, address, address_type=2, flags=0x08, cookie=1):
    params = struct.pack('<6sBIH', raw_address(address), address_type, flags, 0)
    return mgmt_event(t, index, 0x000B, params, cookie)


def device_disconnected(t, index, address, reason, address_type=2, cookie=1):
    params = struct.pack('<6sBB', raw_address(address), address_type, reason)
    return mgmt_event(t, index, 0x000C, params, cookie)


def connect_failed(t, index, address, status, address_type=2, cookie=1):
    params = struct.pack('<6sBB', raw_address(address), address_type, status)
    return mgmt_event(t, index, 0x000D, params, cookie)


def log_line(t, message, ident='bluetoothd', priority=6, index=NO_INDEX):
    label = ident.encode() + b'\0'
    return t, index, monitor.USER_LOGGING, bytes([priority, len(label)]) + label + message.encode() + b'\0'


def note(t, text):
    return t, NO_INDEX, monitor.SYSTEM_NOTE, text.encode() + b'\0'


# Containers.

H4_INDICATORS = {monitor.COMMAND: 1, monitor.ACL_TX: 2, monitor.ACL_RX: 2, monitor.EVENT: 4}


def received(kind):
    return kind in (monitor.EVENT, monitor.ACL_RX)


def btsnoop_flags(kind):
    return (kind in (monitor.COMMAND, monitor.EVENT)) << 1 | received(kind)


def btsnoop_record(time_us, flags, payload):
    return struct.pack('>IIIIq', len(payload), len(payload), flags, 0, time_us + BTSNOOP_EPOCH) + payload


def write_btsnoop(f, records, datalink=2001):
    f.write(b'btsnoop\0' + struct.pack('>II', 1, datalink))
    for time_us, index, kind, packet in records:
        if datalink == 2001:
            f.write(btsnoop_record(time_us, index << 16 | kind, packet))
        elif kind in HCI_KINDS:
            payload = bytes([H4_INDICATORS[kind]]) + packet if datalink == 1002 else packet
            f.write(btsnoop_record(time_us, btsnoop_flags(kind), payload))


def link_payload(linktype, index, kind, packet):
    if linktype == 254:
        return struct.pack('>HH', index, kind) + packet
    if kind not in HCI_KINDS:
        return None
    return struct.pack('>I', received(kind)) + bytes([H4_INDICATORS[kind]]) + packet


def write_pcap(f, records, linktype=254, order='<', nanoseconds=False):
    magic = 0xA1B23C4D if nanoseconds else 0xA1B2C3D4
    f.write(struct.pack(order + 'IHHiIII', magic, 2, 4, 0, 0, 65535, linktype))
    for time_us, index, kind, packet in records:
        payload = link_payload(linktype, index, kind, packet)
        if payload is not None:
            fraction = time_us % 1000000 * (1000 if nanoseconds else 1)
            head = struct.pack(order + 'IIII', time_us // 1000000, fraction, len(payload), len(payload))
            f.write(head + payload)


def pcapng_block(order, kind, body):
    body += bytes(-len(body) % 4)
    return struct.pack(order + 'II', kind, len(body) + 12) + body + struct.pack(order + 'I', len(body) + 12)


def write_pcapng(f, records, linktype=254, order='<', resolution=6, simple=False):
    """resolution: if_tsresol's byte (6: microseconds, 9: nanoseconds, 0x80
    | n: 2^-n s).  simple: Simple Packet Blocks (no time) on interface 0."""
    f.write(pcapng_block(order, 0x0A0D0D0A, struct.pack(order + 'IHHq', 0x1A2B3C4D, 1, 0, -1)))
    # A block the reader skips.
    f.write(pcapng_block(order, 0x00000BAD, b'\x00\x01\x02'))
    interfaces = {}
    units = 2 ** (resolution & 0x7F) if resolution & 0x80 else 10 ** resolution
    for time_us, index, kind, packet in records:
        payload = link_payload(linktype, index, kind, packet)
        if payload is None:
            continue
        interface = 0 if linktype == 254 else index
        if interface not in interfaces:
            for number in range(len(interfaces), interface + 1):
                options = struct.pack(order + 'HHB3x', 9, 1, resolution) + struct.pack(order + 'HH', 0, 0)
                f.write(pcapng_block(order, 1, struct.pack(order + 'HHI', linktype, 0, 0) + options))
                interfaces[number] = True
        if simple:
            f.write(pcapng_block(order, 3, struct.pack(order + 'I', len(payload)) + payload))
            continue
        ts = time_us * units // 1000000
        head = struct.pack(order + 'IIIII', interface, ts >> 32, ts & 0xFFFFFFFF, len(payload), len(payload))
        f.write(pcapng_block(order, 6, head + payload))


WRITERS = {'btsnoop': write_btsnoop, 'pcap': write_pcap, 'pcapng': write_pcapng}


def write(path, records, container='btsnoop', compress=False, **options):
    opener = gzip.open if compress else open
    with opener(path, 'wb') as f:
        WRITERS[container](f, records, **options)


def capture_bytes(records, container='btsnoop', **options):
    import io
    f = io.BytesIO()
    WRITERS[container](f, records, **options)
    return f.getvalue()
