"""The capture reader never crashes and never hangs: over random bytes
behind each magic and over valid captures mutated (cut, bytes flipped,
length fields changed, compressed after or before), it either reads a
clean result or raises its one CaptureError, within a bounded time per
input.  Derandomized with fixed example counts, so that a run is the same
everywhere and takes a few seconds."""

import atexit
import gzip
import os
import shutil
import signal
import struct
import tempfile
from typing import Any, Dict, List, Tuple

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import capture_synth as s
from bleprobe_sim.capture import CaptureError, CaptureReader, CutShort, monitor
from bleprobe_sim.capture.events import Event

T = s.T0
A = 'C0:FF:EE:00:00:01'
SN = s.service_data16(0xFE59, b'\x01\x00\x2a')
# A capture holds a few hundred records; reading one takes milliseconds.
# The bound is for a hang, with room for a loaded machine.
SECONDS_PER_INPUT = 2.0
SETTINGS = settings(max_examples=120, deadline=None, derandomize=True, database=None,
                    suppress_health_check=list(HealthCheck))


def content():
    records = [s.note(T, 'Linux version 6.1.0'), s.controller(T, 0, '00:1A:7D:DA:71:13'),
               s.socket_open(T, 1, 'bluetoothd'), s.log_line(T, 'Bluetooth daemon 5.66'),
               s.start_discovery(T, 0), s.discovering(T, 0, True)]
    records += s.scan_parameters(T, 0) + s.scan_enable(T, 0, True)
    records += [s.adv_report(T + 1, 0, s.report(A, SN), s.report(A, SN[:5], event_type=4)),
                s.device_found(T + 2, 0, A, SN),
                s.ext_adv_report(T + 3, 0, s.ext_report(A, SN[:4], status=1)),
                s.ext_adv_report(T + 4, 0, s.ext_report(A, SN[4:]))]
    records += s.create_connection(T + 5, 0, A) + [s.connection_complete(T + 6, 0, 0x40, A)]
    records += s.att_discovery(T + 7, 0, 0x40, [(0x10, 0x11, b'\x25\x2a')])
    records += s.att_read(T + 8, 0, 0x40, 0x11, b'SN-0123456789-ABCDEFGHIJ', fragment=9)
    records += [s.disconnection_complete(T + 9, 0, 0x40, 0x08), s.device_disconnected(T + 9, 0, A, 1)]
    return records


# (container, options, where each record's length fields are and where its
# HCI packet or mgmt event starts, from the record's start)
CAPTURES: List[Tuple[str, Dict[str, Any], Tuple[int, ...], int]] = [
    ('btsnoop', {}, (0, 4), 24),
    ('btsnoop', {'datalink': 1002}, (0, 4), 25),
    ('btsnoop', {'datalink': 1001}, (0, 4), 24),
    ('pcap', {'linktype': 254, 'nanoseconds': True}, (8, 12), 20),
    ('pcap', {'linktype': 201, 'order': '>'}, (8, 12), 21),
    ('pcapng', {'linktype': 254}, (4, 20, 24), 32),
    ('pcapng', {'linktype': 201, 'order': '>', 'resolution': 9}, (4, 20, 24), 33),
]
VALID = [s.capture_bytes(content(), container, **options) for container, options, _, _ in CAPTURES]
DIRECTORY = tempfile.mkdtemp(prefix='capture-properties-')
atexit.register(shutil.rmtree, DIRECTORY, True)
PATH = os.path.join(DIRECTORY, 'capture')


def record_offsets(number):
    with open(PATH, 'wb') as f:
        f.write(VALID[number])
    return sorted({e.offset for e in CaptureReader(PATH)})


OFFSETS = [record_offsets(n) for n in range(len(CAPTURES))]


class Hang(Exception):
    pass


def hang(signum, frame):
    raise Hang('a capture read for more than %s s' % SECONDS_PER_INPUT)


def outcome(data):
    """Reads data as a capture: the events, or the CaptureError.  A read
    that takes longer than SECONDS_PER_INPUT is stopped and fails."""
    with open(PATH, 'wb') as f:
        f.write(data)
    reader = CaptureReader(PATH)
    previous = signal.signal(signal.SIGALRM, hang)
    signal.setitimer(signal.ITIMER_REAL, SECONDS_PER_INPUT)
    try:
        events = list(reader)
        assert all(isinstance(e, Event) for e in events)
        assert reader.cut_short is None or isinstance(reader.cut_short, CutShort)
        return events
    except CaptureError as e:
        assert 0 <= e.offset and e.reason and str(e).startswith(PATH + ': offset ')
        return e
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


MAGICS = [b'btsnoop\0' + struct.pack('>II', 1, datalink) for datalink in (2001, 1002, 1001)] + [
    struct.pack('<IHHiIII', 0xA1B2C3D4, 2, 4, 0, 0, 65535, 254),
    struct.pack('>IHHiIII', 0xA1B23C4D, 2, 4, 0, 0, 65535, 201),
    s.pcapng_block('<', 0x0A0D0D0A, struct.pack('<IHHq', 0x1A2B3C4D, 1, 0, -1)) +
    s.pcapng_block('<', 1, struct.pack('<HHI', 254, 0, 0)),
    b'\x1f\x8b',
]


@SETTINGS
@given(st.sampled_from(MAGICS), st.binary(max_size=600))
def test_random_bytes_behind_a_magic(magic, tail):
    outcome(magic + tail)


@SETTINGS
@given(st.binary(max_size=200))
def test_random_bytes(data):
    outcome(data)


@st.composite
def mutated(draw):
    number = draw(st.integers(0, len(VALID) - 1))
    data = bytearray(VALID[number])
    for _ in range(draw(st.integers(1, 3))):
        how = draw(st.sampled_from(['cut', 'flip', 'length', 'packet']))
        if how == 'cut':
            del data[draw(st.integers(0, len(data))):]
        elif how == 'flip' and data:
            data[draw(st.integers(0, len(data) - 1))] ^= draw(st.integers(1, 255))
        elif how == 'length':
            # One of a record's lengths, or all of them alike: a record that
            # still fits its container but holds a packet too short (or too
            # long) for what the packet says.
            start = draw(st.sampled_from(OFFSETS[number]))
            fields = CAPTURES[number][2]
            container, options = CAPTURES[number][:2]
            order = '>' if container == 'btsnoop' or options.get('order') == '>' else '<'
            kind = draw(st.sampled_from(['tiny', 'near', 'any']))
            value = draw(st.integers(0, 12) if kind == 'tiny' else st.integers(-64, 64) if kind == 'near'
                         else st.integers(0, 0xFFFFFFFF))
            for at in ([start + f for f in fields[-2:]] if draw(st.booleans())
                       else [start + draw(st.sampled_from(fields))]):
                if at + 4 <= len(data):
                    old = struct.unpack_from(order + 'I', data, at)[0]
                    new = old + value if kind == 'near' else value
                    struct.pack_into(order + 'I', data, at, new % (1 << 32))
        elif how == 'packet':
            # A byte of a packet's own header or first parameters: its
            # lengths, counts, opcodes and types.
            at = draw(st.sampled_from(OFFSETS[number])) + CAPTURES[number][3] + draw(st.integers(0, 24))
            if at < len(data):
                data[at] = draw(st.integers(0, 255))
    return bytes(data)


@SETTINGS
@given(mutated())
def test_mutated_captures(data):
    outcome(data)


def event(code, *head):
    return lambda params: (monitor.EVENT, bytes([code, (len(head) + len(params)) & 0xFF, *head]) + params)


def command(opcode):
    return lambda params: (monitor.COMMAND, struct.pack('<HB', opcode, len(params) & 0xFF) + params)


def att(opcode, kind=monitor.ACL_RX):
    def build(params):
        pdu = bytes([opcode]) + params
        frame = struct.pack('<HH', len(pdu), 4) + pdu
        return kind, struct.pack('<HH', 0x40 | (0x2000 if kind == monitor.ACL_RX else 0), len(frame)) + frame
    return build


def mgmt(kind, opcode):
    return lambda params: (kind, struct.pack('<IH', 1, opcode) + params)


# Every packet the decoders read, by what it is: its own lengths agree with
# its record, its parameters are random, short, long or fitting.
PACKETS = {
    'advertising report': event(0x3E, 0x02, 1), 'two advertising reports': event(0x3E, 0x02, 2),
    'extended advertising report': event(0x3E, 0x0D, 1), 'connection complete': event(0x3E, 0x01),
    'enhanced connection complete': event(0x3E, 0x0A), 'disconnection complete': event(0x05),
    'command complete': event(0x0E, 1, 0x0C, 0x20), 'command status': event(0x0F),
    'scan parameters': command(0x200B), 'scan enable': command(0x200C),
    'extended scan parameters': command(0x2041), 'create connection': command(0x200D),
    'extended create connection': command(0x2043), 'disconnect': command(0x0406),
    'read by type request': att(0x08, monitor.ACL_TX), 'read by type response': att(0x09),
    'read request': att(0x0A, monitor.ACL_TX), 'read response': att(0x0B), 'error response': att(0x01),
    'exchange MTU': att(0x03), 'ACL packet': lambda params: (monitor.ACL_RX, params),
    'HCI event': lambda params: (monitor.EVENT, params),
    'HCI command': lambda params: (monitor.COMMAND, params),
    'advertising data': lambda params: s.adv_report(T, 0, s.report(A, params))[2:],
    'extended advertising data': lambda params: s.ext_adv_report(T, 0, s.ext_report(A, params, status=1),
                                                                 s.ext_report(A, params))[2:],
    'Device Found data': lambda params: s.device_found(T, 0, A, params)[2:],
    'Device Found': mgmt(monitor.CTRL_EVENT, 0x0012), 'Discovering': mgmt(monitor.CTRL_EVENT, 0x0013),
    'Device Connected': mgmt(monitor.CTRL_EVENT, 0x000B), 'Connect Failed': mgmt(monitor.CTRL_EVENT, 0x000D),
    'Start Service Discovery': mgmt(monitor.CTRL_COMMAND, 0x003A),
    'mgmt event': lambda params: (monitor.CTRL_EVENT, params),
    'Control Open': lambda params: (monitor.CTRL_OPEN, params),
    'user logging': lambda params: (monitor.USER_LOGGING, params),
    'New Index': lambda params: (monitor.NEW_INDEX, params),
}
# Before them, a socket, a scan and a connection, for the decoders' state.
PREFIX = content()[:-2]


@pytest.mark.parametrize('name', PACKETS)
@settings(SETTINGS, max_examples=25)
@given(st.lists(st.binary(max_size=48), min_size=1, max_size=3))
def test_random_parameters_of_every_packet(name, parameters):
    records = PREFIX + [(T + 10, 0) + PACKETS[name](params) for params in parameters]
    outcome(s.capture_bytes(records))


@SETTINGS
@given(mutated(), st.booleans(), st.integers(0, 10000), st.integers(1, 255))
def test_mutated_captures_compressed(data, flip, at, value):
    packed = bytearray(gzip.compress(data))
    if flip:
        packed[at % len(packed)] ^= value
    outcome(bytes(packed))


def test_the_mutations_reach_every_outcome():
    """The properties above are worth their time only if the mutations
    reach errors, captures cut short and clean reads alike."""
    kinds = set()
    for number, data in enumerate(VALID):
        for cut in (len(data), len(data) - 3):
            result = outcome(data[:cut])
            kinds.add('error' if isinstance(result, CaptureError) else 'events')
        bad = bytearray(data)
        struct.pack_into('>I' if CAPTURES[number][0] == 'btsnoop' else '<I', bad, OFFSETS[number][-1]
                         + CAPTURES[number][2][0], 0xFFFFFF)
        kinds.add('error' if isinstance(outcome(bytes(bad)), CaptureError) else 'events')
    assert kinds == {'error', 'events'}
