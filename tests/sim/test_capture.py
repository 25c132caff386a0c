"""The capture reader (bleprobe_sim.capture) on synthetic captures
(tests/capture_synth.py): every container gives the same events, each kind
of record decodes to what it means, a bad capture gives its one error, and
a capture cut short gives what it has."""

import dataclasses
import gzip
import struct
from typing import Any, Dict, List, Tuple

import pytest

import capture_synth as s
from bleprobe_sim.capture import CaptureError, CaptureReader
from bleprobe_sim.capture import events as ev

T = s.T0
A, B = 'C0:FF:EE:00:00:01', 'C0:FF:EE:00:00:02'
SN = s.service_data16(0xFE59, b'\x01\x00\x2a')
SERIAL = b'SN-0123456789-ABCDEFGHIJ'  # longer than an MTU of 23: read in two blobs
SERIAL_UUID = s.ad((0x03, b'\x25\x2a'))[2:]


def hci_records(index=0):
    """A scan, a connection and an identity read: HCI only, so that every
    container carries all of it."""
    records = s.scan_parameters(T, index) + s.scan_enable(T + 1000, index, True, 1)
    records += [s.adv_report(T + 2000, index, s.report(A, SN),
                             s.report(B, SN, address_type=0, rssi=-90, event_type=3)),
                s.ext_adv_report(T + 3000, index, s.ext_report(A, SN[:4], status=1)),
                s.ext_adv_report(T + 3100, index, s.ext_report(A, SN[4:], status=0))]
    records += s.create_connection(T + 4000, index, A) + [s.connection_complete(T + 5000, index, 0x40, A)]
    records += s.att_discovery(T + 6000, index, 0x40,
                               [(0x10, 0x11, SERIAL_UUID), (0x12, 0x13, bytes(range(16)))])
    records += s.att_read(T + 20000, index, 0x40, 0x11, SERIAL, fragment=9)
    records += s.disconnect(T + 30000, index, 0x40) + [s.disconnection_complete(T + 31000, index, 0x40, 0x16)]
    return records + s.scan_enable(T + 40000, index, False)


def monitor_records():
    """What only a monitor capture holds, around the HCI traffic."""
    return ([s.note(T - 10, 'Linux version 6.1.0-18-amd64 (x86_64)'),
             s.controller(T - 5, 0, '00:1A:7D:DA:71:13'), s.socket_open(T - 4, 1, 'bluetoothd'),
             s.log_line(T - 3, 'Bluetooth daemon 5.66'),
             s.start_discovery(T - 2, 0), s.discovering(T - 1, 0, True)] + hci_records() +
            [s.device_found(T + 2001, 0, A, SN), s.device_connected(T + 5001, 0, A),
             s.device_disconnected(T + 31001, 0, A, 2), s.discovering(T + 40001, 0, False)])


def read(tmp_path, records, container='btsnoop', compress=False, **options):
    path = str(tmp_path / 'capture')
    s.write(path, records, container, compress, **options)
    reader = CaptureReader(path)
    return list(reader), reader


def read_bytes(tmp_path, data, **options):
    path = tmp_path / 'capture'
    path.write_bytes(data)
    reader = CaptureReader(str(path), **options)
    return list(reader), reader


def without_offsets(events):
    return [dataclasses.replace(e, offset=0) for e in events]


CONTAINERS: List[Tuple[str, Dict[str, Any]]] = [
    ('btsnoop', {'datalink': 1002}),
    ('btsnoop', {'datalink': 1001}),
    ('pcap', {'linktype': 201}),
    ('pcap', {'linktype': 201, 'order': '>', 'nanoseconds': True}),
    ('pcap', {'linktype': 254, 'nanoseconds': True}),
    ('pcapng', {'linktype': 201}),
    ('pcapng', {'linktype': 201, 'order': '>', 'resolution': 9}),
    ('pcapng', {'linktype': 254, 'resolution': 0x80 | 30}),
    ('pcapng', {'linktype': 254, 'order': '>'}),
]


@pytest.mark.parametrize('compress', [False, True], ids=['plain', 'gzip'])
@pytest.mark.parametrize('container, options', CONTAINERS, ids=[
    '%s-%s' % (c, '-'.join(str(v) for v in o.values())) for c, o in CONTAINERS])
def test_every_container_gives_the_same_events(tmp_path, container, options, compress):
    expected, _ = read(tmp_path, hci_records(), 'btsnoop')
    events, reader = read(tmp_path, hci_records(), container, compress, **options)
    assert without_offsets(events) == without_offsets(expected)
    assert (reader.format, reader.compressed, reader.cut_short) == (container, compress, None)
    assert reader.datalink == options.get('datalink', options.get('linktype'))


@pytest.mark.parametrize('container, options', [('btsnoop', {}), ('pcap', {'linktype': 254}),
                                                ('pcapng', {'linktype': 254, 'order': '>'})])
def test_monitor_captures_give_the_same_events(tmp_path, container, options):
    expected, _ = read(tmp_path, monitor_records(), 'btsnoop')
    events, _ = read(tmp_path, monitor_records(), container, True, **options)
    assert without_offsets(events) == without_offsets(expected)


def test_a_monitor_capture_decodes_to_what_it_means(tmp_path):
    events, reader = read(tmp_path, monitor_records())
    assert reader.records == len(monitor_records())
    kinds = [type(e).__name__ for e in events]
    assert kinds == [
        'SystemNote', 'ControllerAdded', 'LogLine', 'DiscoveryRequest', 'Discovering', 'ScanParameters',
        'CommandResult', 'ScanEnable', 'CommandResult', 'AdvertisingReport', 'AdvertisingReport',
        'AdvertisingReport', 'CreateConnection', 'CommandResult', 'ConnectionComplete', 'AttRead',
        'Disconnect', 'CommandResult', 'DisconnectionComplete', 'ScanEnable', 'CommandResult', 'DeviceFound',
        'DeviceConnected', 'DeviceDisconnected', 'Discovering']
    note, added, log, request, discovering = events[:5]
    assert (note.index, note.text) == (None, 'Linux version 6.1.0-18-amd64 (x86_64)')
    assert (added.index, added.address, added.name) == (0, '00:1A:7D:DA:71:13', 'hci0')
    assert (log.ident, log.priority, log.release) == ('bluetoothd', 6, '5.66')
    assert (request.start, request.service, request.sender) == (True, False, 'bluetoothd')
    assert (discovering.discovering, discovering.discovery_type) == (True, 6)
    assert discovering.receiver == 'bluetoothd'
    enable = events[7]
    assert (enable.enable, enable.filter_duplicates, enable.extended) == (True, 1, False)
    first, second, joined = events[9:12]
    assert (first.address, first.address_type, first.rssi, first.scan_response) == (A, 'random', -60, False)
    assert first.ad.service_data == (('0000fe59-0000-1000-8000-00805f9b34fb', b'\x01\x00\x2a'),)
    assert (second.address, second.address_type, second.rssi, second.event_type) == (B, 'public', -90, 3)
    assert (joined.data, joined.extended, joined.sid, joined.data_status) == (SN, True, 1, 'complete')
    assert joined.time_us == T + 3100
    complete, read_event, disconnect, _, gone = events[14:19]
    assert (complete.status, complete.handle, complete.address) == (0, 0x40, A)
    assert (read_event.value, read_event.error, read_event.attribute) == (SERIAL, None, 0x11)
    assert (read_event.uuid, read_event.address) == ('00002a25-0000-1000-8000-00805f9b34fb', A)
    assert read_event.request_time_us == T + 20000
    assert (disconnect.handle, disconnect.reason, disconnect.address) == (0x40, 0x13, A)
    assert (gone.reason, gone.address, gone.address_type) == (0x16, A, 'random')
    found = events[21]
    assert (found.address, found.address_type, found.receiver, found.data) == (A, 'random', 'bluetoothd', SN)
    assert found.seconds(T) == pytest.approx(0.002001)


def report(data):
    return [s.adv_report(T, 0, s.report(A, data))]


def att(*exchanges, mtu=None, connect=True):
    records = [s.connection_complete(T, 0, 0x41, A)] if connect else []
    if mtu:
        records += s.exchange_mtu(T + 10, 0, 0x41, mtu, mtu)
    for n, exchange in enumerate(exchanges):
        records += exchange(T + 100000 * (n + 1))
    return records


def request(t, attribute, uuid16):
    return s.acl(t, 0, 0x41, False, struct.pack('<BHHH', 0x08, attribute, 0xFFFF, uuid16))


# (name, records, kind, the fields of each event of that kind)
DECODED = [
    ('service data of 16, 32 and 128-bit UUIDs, other structures raw',
     report(s.ad((0x16, b'\x59\xfe\x01'), (0x20, b'\x78\x56\x34\x12\x02'), (0x21, bytes(range(16)) + b'\x03'),
                 (0xFF, b'\x59\x00'), (0x16, b'\x59'))),
     ev.AdvertisingReport, [{'ad.service_data': (('0000fe59-0000-1000-8000-00805f9b34fb', b'\x01'),
                                                 ('12345678-0000-1000-8000-00805f9b34fb', b'\x02'),
                                                 ('0f0e0d0c-0b0a-0908-0706-050403020100', b'\x03')),
                             'ad.structures': ((0x16, b'\x59\xfe\x01'), (0x20, b'\x78\x56\x34\x12\x02'),
                                               (0x21, bytes(range(16)) + b'\x03'), (0xFF, b'\x59\x00'),
                                               (0x16, b'\x59')),
                             'ad.overrun': False}]),
    ('zero padding ends the data, as the kernel reads it',
     report(SN + bytes(4)), ev.AdvertisingReport,
     [{'ad.length': len(SN), 'ad.overrun': False, 'data': SN + bytes(4)}]),
    ('a structure that runs past the report is dropped, as the kernel does',
     report(SN + b'\x05\x16\x59'), ev.AdvertisingReport, [{'ad.length': len(SN), 'ad.overrun': True}]),
    ('extended fragments truncated by the controller',
     [s.ext_adv_report(T, 0, s.ext_report(A, b'\x02\x01', status=1)),
      s.ext_adv_report(T + 1, 0, s.ext_report(B, SN)),
      s.ext_adv_report(T + 2, 0, s.ext_report(A, b'\x06', status=2))],
     ev.AdvertisingReport,
     [{'address': B, 'data_status': 'complete'},
      {'address': A, 'data': b'\x02\x01\x06', 'data_status': 'truncated', 'time_us': T + 2}]),
    ('extended fragments that stop coming when scanning stops',
     [s.ext_adv_report(T, 0, s.ext_report(A, b'\x02\x01', status=1))] +
     s.scan_enable(T + 5, 0, False, extended=True),
     ev.AdvertisingReport, [{'data': b'\x02\x01', 'data_status': 'incomplete', 'time_us': T}]),
    ('extended fragments that stop coming when the capture ends',
     [s.ext_adv_report(T, 0, s.ext_report(A, b'\x02\x01', status=1, sid=3))],
     ev.AdvertisingReport, [{'data_status': 'incomplete', 'sid': 3, 'extended': True}]),
    ('a scan response in an extended report',
     [s.ext_adv_report(T, 0, s.ext_report(A, SN, event_type=0x1B))], ev.AdvertisingReport,
     [{'scan_response': True, 'event_type': 0x1B}]),
    ('the extended scan commands',
     s.scan_parameters(T, 0, active=False, extended=True) + s.scan_enable(T + 1, 0, True, 2, extended=True),
     (ev.ScanParameters, ev.ScanEnable),
     [{'active': False, 'interval': 0x12, 'extended': True}, {'enable': True, 'filter_duplicates': 2}]),
    ('the accept list',
     s.accept_list(T, 0, 'add', A) + s.accept_list(T + 1, 0, 'remove', B, 1) +
     s.accept_list(T + 2, 0, 'clear'),
     ev.AcceptList, [{'change': 'add', 'address': A, 'address_type': 'public'},
                     {'change': 'remove', 'address': B, 'address_type': 'random'},
                     {'change': 'clear', 'address': None}]),
    ('a connection that fails to be established, and one cancelled',
     s.create_connection(T, 0, A, extended=True) + [s.connection_complete(T + 1, 0, 0, A, status=0x3E)] +
     [s.command(T + 2, 0, 0x200E, b''), s.connection_complete(T + 3, 0, 0, B, status=0x02, enhanced=True)],
     (ev.CreateConnection, ev.ConnectionComplete, ev.CreateConnectionCancel),
     [{'address': A, 'extended': True, 'accept_list': False}, {'status': 0x3E, 'enhanced': False}, {},
      {'status': 0x02, 'address': B, 'enhanced': True}]),
    ('a link lost, and one whose start the capture does not show',
     [s.connection_complete(T, 0, 0x40, A), s.disconnection_complete(T + 1, 0, 0x40, 0x08),
      s.disconnection_complete(T + 2, 0, 0x41, 0x13)], ev.DisconnectionComplete,
     [{'reason': 0x08, 'address': A}, {'reason': 0x13, 'address': None, 'address_type': None}]),
    ('a command refused by the controller',
     [s.command_status(T, 0, 0x200D, 0x0C), s.command_status(T, 0, 0x0405, 0x0C)], ev.CommandResult,
     [{'opcode': 0x200D, 'status': 0x0C}]),
    ('an ATT read answered by an error',
     att(lambda t: s.att_read(t, 0, 0x41, 0x11, error=0x05)), ev.AttRead,
     [{'value': None, 'error': 0x05, 'uuid': None, 'address': A}]),
    ('a read the link ended before its answer',
     att(lambda t: s.acl(t, 0, 0x41, False, b'\x0a\x11\x00'),
         lambda t: [s.disconnection_complete(t, 0, 0x41, 0x08)]), ev.AttRead,
     [{'value': None, 'error': None, 'time_us': T + 200000, 'request_time_us': T + 100000}]),
    ('a long value read with the MTU exchanged',
     att(lambda t: s.att_read(t, 0, 0x41, 0x11, bytes(range(100)), mtu=48), mtu=48), ev.AttRead,
     [{'value': bytes(range(100))}]),
    ('a value read no further than BlueZ reads one (512 bytes, and the rest of the last blob)',
     att(lambda t: s.att_read(t, 0, 0x41, 0x11, bytes(600))), ev.AttRead, [{'value': bytes(528)}]),
    ('a value that fills the MTU, then another request',
     att(lambda t: s.att_read(t, 0, 0x41, 0x11, bytes(22))[:2], lambda t: s.att_read(t, 0, 0x41, 0x13, b'x')),
     ev.AttRead, [{'attribute': 0x11, 'value': bytes(22), 'time_us': T + 200000}, {'attribute': 0x13}]),
    ('handles learnt in one connection hold in the next, as BlueZ\'s GATT cache',
     att(lambda t: s.att_discovery(t, 0, 0x41, [(0x10, 0x11, SERIAL_UUID)]),
         lambda t: [s.disconnection_complete(t, 0, 0x41, 0x13), s.connection_complete(t + 1, 0, 0x42, A)] +
         s.att_read(t + 2, 0, 0x42, 0x11, b'SN')), ev.AttRead,
     [{'uuid': '00002a25-0000-1000-8000-00805f9b34fb', 'handle': 0x42, 'value': b'SN'}]),
    ('a read by the characteristic\'s UUID, and a refused one',
     att(lambda t: request(t, 1, 0x2A25) + s.acl(t + 1, 0, 0x41, True, b'\x09\x05\x11\x00SN1'),
         lambda t: request(t, 1, 0x2A24) + s.acl(t + 1, 0, 0x41, True, b'\x01\x08\x01\x00\x0a'),
         lambda t: s.att_read(t, 0, 0x41, 0x11, b'SN2')), ev.AttRead,
     [{'attribute': 0x11, 'value': b'SN1', 'uuid': '00002a25-0000-1000-8000-00805f9b34fb'},
      {'error': 0x0A, 'uuid': '00002a24-0000-1000-8000-00805f9b34fb'},
      {'value': b'SN2', 'uuid': '00002a25-0000-1000-8000-00805f9b34fb'}]),
    ('a read over an EATT channel that the host opened, as kernel 6.1 does',
     att(lambda t: s.eatt_open(t, 0, 0x41, [0x40], [0x41]),
         lambda t: s.att_read(t, 0, 0x41, 0x14, error=0x0E, channel=(0x40, 0x41, 64)),
         lambda t: s.att_read(t, 0, 0x41, 0x14, b'SN', channel=(0x40, 0x41, 64))), ev.AttRead,
     [{'attribute': 0x14, 'error': 0x0E, 'address': A}, {'value': b'SN'}]),
    ('EATT channels that the peer opened, a refused one, reads on two bearers at once, a value in '
     'K-frames that fills the channel\'s MTU, and a frame after the channel closed',
     att(lambda t: s.eatt_open(t, 0, 0x41, [0x50, 0x51, 0], [0x60, 0x61, 0x62], mtu=48, enhanced=True,
                               by_peer=True),
         lambda t: (s.acl(t, 0, 0x41, False, b'\x0a\x11\x00') +
                    s.att_read(t + 1, 0, 0x41, 0x13, bytes(range(60)), mtu=48, channel=(0x51, 0x61, 20)) +
                    s.acl(t + 9000, 0, 0x41, True, b'\x0b' + SERIAL)),
         lambda t: s.eatt_close(t, 0, 0x41, 0x51, 0x61, by_peer=True) +
         s.att_read(t + 1, 0, 0x41, 0x15, b'gone', channel=(0x51, 0x61, 64)) +
         s.sdu(t + 2, 0, 0x41, True, b'\x0b', 0x62)), ev.AttRead,
     [{'attribute': 0x13, 'value': bytes(range(60))}, {'attribute': 0x11, 'value': SERIAL}]),
    ('frames on other channels and continuations without a start',
     att(lambda t: s.acl(t, 0, 0x41, True, b'\x0b' + bytes(30), cid=5, fragment=8) +
         s.acl(t + 1, 0, 0x41, True, b'\x0b' + bytes(30), fragment=8)[1:],
         lambda t: s.att_read(t, 0, 0x41, 0x11, b'v')), ev.AttRead, [{'value': b'v'}]),
    ('a service discovery, its filter and the controller that stops',
     [s.socket_open(T, 7, 'btmgmt', index=0),
      s.start_service_discovery(T, 0, -70, [bytes(range(16))], cookie=7),
      s.stop_discovery(T + 1, 0, cookie=9),
      s.controller_removed(T + 2, 0)], (ev.DiscoveryRequest, ev.ControllerRemoved),
     [{'service': True, 'rssi_threshold': -70, 'uuids': ('0f0e0d0c-0b0a-0908-0706-050403020100',),
       'sender': 'btmgmt'},
      {'start': False, 'sender': None, 'cookie': 9}, {'index': 0}]),
    ('an event given to two sockets, one of them closed since',
     [s.socket_open(T, 1, 'bluetoothd'), s.socket_open(T, 2, 'btmgmt'), s.socket_close(T, 2),
      s.device_found(T, 0, A, SN, cookie=1), s.device_found(T, 0, A, SN, cookie=2),
      s.connect_failed(T + 1, 0, A, 0x04, address_type=1)],
     (ev.DeviceFound, ev.ConnectFailed),
     [{'receiver': 'bluetoothd', 'cookie': 1}, {'receiver': None, 'cookie': 2},
      {'status': 0x04, 'address_type': 'public'}]),
    ('the kernel\'s answers to discovery commands, and to another command',
     [s.command_answer(T, 0, 0x0023), s.command_answer(T + 1, 0, 0x003A, status=0x0A, complete=False),
      s.command_answer(T + 2, 0, 0x0024), s.command_answer(T + 3, 0, 0x0005)], ev.DiscoveryResult,
     [{'start': True, 'status': 0}, {'start': True, 'status': 0x0A}, {'start': False, 'status': 0}]),
    ('log lines that name no release',
     [s.log_line(T, 'Bluetooth daemon '), s.log_line(T, 'Bluetooth daemon 5.82', ident='other'),
      s.log_line(T, 'Starting SDP server')], ev.LogLine, [{'release': None}] * 3),
]


def field(event, name):
    for part in name.split('.'):
        event = getattr(event, part)
    return event


@pytest.mark.parametrize('records, kinds, expected', [c[1:] for c in DECODED], ids=[c[0] for c in DECODED])
def test_each_record_decodes_to_what_it_means(tmp_path, records, kinds, expected):
    events = [e for e in read(tmp_path, records)[0] if isinstance(e, kinds)]
    assert [{name: field(e, name) for name in fields} for e, fields in zip(events, expected)] == expected
    assert len(events) == len(expected)


def filtered(tmp_path, **options):
    records = [s.adv_report(T + n, n % 2, s.report(A, SN)) for n in range(6)] + [s.log_line(T + 2, 'x')]
    path = str(tmp_path / 'capture')
    s.write(path, sorted(records))
    return [(type(e).__name__, e.time_us - T, e.index) for e in CaptureReader(path, **options)]


@pytest.mark.parametrize('options, expected', [
    ({'indexes': [1]}, [('AdvertisingReport', 1, 1), ('LogLine', 2, None), ('AdvertisingReport', 3, 1),
                        ('AdvertisingReport', 5, 1)]),
    ({'start_us': T + 2, 'end_us': T + 4}, [('AdvertisingReport', 2, 0), ('LogLine', 2, None),
                                            ('AdvertisingReport', 3, 1)]),
    ({'kinds': [ev.LogLine]}, [('LogLine', 2, None)]),
    ({'indexes': [0], 'kinds': [ev.AdvertisingReport], 'end_us': T + 3},
     [('AdvertisingReport', 0, 0), ('AdvertisingReport', 2, 0)]),
])
def test_the_reader_filters_by_controller_time_and_kind(tmp_path, options, expected):
    assert filtered(tmp_path, **options) == expected


@pytest.mark.parametrize('options, argument', [
    ({'indexes': [0xFFFF]}, 'indexes'), ({'indexes': ['0']}, 'indexes'), ({'start_us': 1.5}, 'start_us'),
    ({'end_us': '1'}, 'end_us'), ({'kinds': [int]}, 'kinds'),
])
def test_a_wrong_option_names_itself(options, argument):
    with pytest.raises(ValueError, match='^%s: ' % argument):
        CaptureReader('capture', **options)


def btsnoop(*records, datalink=2001):
    return s.capture_bytes(records, 'btsnoop', datalink=datalink)


def pcapng(*blocks, order='<'):
    return (s.pcapng_block(order, 0x0A0D0D0A, struct.pack(order + 'IHHq', 0x1A2B3C4D, 1, 0, -1)) +
            b''.join(s.pcapng_block(order, kind, body) for kind, body in blocks))


IDB = (1, struct.pack('<HHI', 254, 0, 0))
GOOD = s.adv_report(T, 0, s.report(A, SN))
GOOD_FOUND = s.device_found(T, 0, A, SN)
HEADER = 16  # btsnoop's header, then 24 bytes of each record's


def relength(record, length):
    """A btsnoop record whose lengths say length."""
    return record[:0] + struct.pack('>II', length, length) + record[8:]


def gzip_corrupt():
    data = bytearray(gzip.compress(btsnoop(GOOD) * 4))
    data[len(data) // 2] ^= 0xFF
    return bytes(data)


def pcapng_trailer_wrong():
    data = bytearray(pcapng(IDB))
    data[-1] ^= 0x01
    return bytes(data)


# (name, the capture's bytes, the error's offset, its reason)
ERRORS = [
    ('empty', b'', 0, 'empty, not a capture'),
    ('wrong magic', b'\x7fELF\x02\x01\x01\x00' + bytes(64), 0,
     'not a capture: it starts with 7f454c4602010100'),
    ('btsnoop version', b'btsnoop\0' + struct.pack('>II', 2, 2001), 8, 'btsnoop version 2, not 1'),
    ('btsnoop datalink', b'btsnoop\0' + struct.pack('>II', 1, 1003), 12, 'unknown btsnoop datalink 1003'),
    ('pcap link type', struct.pack('<IHHiIII', 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1), 20,
     'unknown pcap link type 1'),
    ('pcap version', struct.pack('<IHHiIII', 0xA1B2C3D4, 1, 0, 0, 0, 65535, 254), 4, 'pcap version 1.0'),
    ('pcapng link type', pcapng((1, struct.pack('<HHI', 187, 0, 0))), 36, 'unknown pcapng link type 187'),
    ('pcapng byte order', b'\x0a\x0d\x0d\x0a\x1c\x00\x00\x00\x01\x02\x03\x04' + bytes(16), 8,
     'byte-order magic'),
    ('pcapng block length', pcapng() + struct.pack('<II', 0xBAD, 13) + bytes(8), 28, 'block length 13'),
    ('pcapng lengths at both ends', pcapng_trailer_wrong(), 28,
     'block length 16777236 at its end, 20 at its start'),
    ('pcapng interface', pcapng(IDB, (6, struct.pack('<IIIII', 3, 0, 0, 1, 1) + b'\x00')), 28 + 20,
     'packet on interface 3, which no interface block declared'),
    ('record over 64 KiB',
     btsnoop()[:HEADER] + struct.pack('>IIIIq', 70000, 70000, 3, 0, 0) + bytes(70000), HEADER,
     'record of 70000 bytes, over 64 KiB'),
    ('record over its original length',
     btsnoop()[:HEADER] + struct.pack('>IIIIq', 2, 3, 3, 0, 0) + bytes(3), HEADER,
     'record of 3 bytes, over its original length of 2'),
    ('record longer than the file', btsnoop(GOOD, GOOD)[:-len(GOOD[3]) - 24] +
     relength(btsnoop(GOOD)[HEADER:HEADER + 24], len(GOOD[3]) + 10) + GOOD[3], HEADER + 24 + len(GOOD[3]),
     'record of 58 bytes, longer than the 48 left in the file (its packet has 24)'),
    ('HCI event lengths disagree', btsnoop((T, 0, 3, GOOD[3] + b'\x00')), HEADER,
     'HCI event 0x3e: parameter length 22, record has 23'),
    ('HCI command lengths disagree', btsnoop((T, 0, 2, b'\x0c\x20\x02\x01')), HEADER,
     'HCI command 0x200c: parameter length 2, record has 1'),
    ('ACL lengths disagree', btsnoop((T, 0, 5, b'\x40\x20\x05\x00\x01\x00\x04\x00')), HEADER,
     'ACL packet on handle 0x040: data length 5, record has 4'),
    ('report runs past its event', btsnoop(s.event(T, 0, 0x3E, b'\x02\x02' + GOOD[3][4:])), HEADER,
     'HCI LE Advertising Report: report 2 of 2 runs past the event'),
    ('bytes after the reports', btsnoop(s.event(T, 0, 0x3E, GOOD[3][2:] + b'\x00')), HEADER,
     'HCI LE Advertising Report: 1 bytes after its 1 reports'),
    ('extended report runs past its event', btsnoop(s.event(T, 0, 0x3E, b'\x0d\x01' + bytes(23))), HEADER,
     'HCI LE Extended Advertising Report: report 1 of 1 runs past the event'),
    ('connection complete too short', btsnoop(s.event(T, 0, 0x3E, b'\x01' + bytes(10))), HEADER,
     'HCI LE Connection Complete: 10 parameter bytes, needs 18'),
    ('scan enable too short', btsnoop(s.command(T, 0, 0x200C, b'\x01')), HEADER,
     'HCI LE Set Scan Enable: 1 parameter bytes, needs 2'),
    ('Device Found EIR length', btsnoop(GOOD_FOUND[:3] + (GOOD_FOUND[3] + b'\x00',)), HEADER,
     'mgmt Device Found: EIR length 10, event has 11'),
    ('Device Found EIR runs past its data', btsnoop(s.device_found(T, 0, A, SN + b'\x05\x16')), HEADER,
     'mgmt Device Found: EIR structure at byte 10 runs past the data'),
    ('mgmt event too short', btsnoop(s.mgmt_event(T, 0, 0x0013, b'\x06')), HEADER,
     'mgmt Discovering: 1 parameter bytes, needs 2'),
    ('Control Open too short', btsnoop((T, 0, 14, b'\x01\x00')), HEADER, 'Control Open of 2 bytes'),
    ('user logging record too short', btsnoop((T, 0, 13, b'\x06\x20ab')), HEADER,
     'user logging record of 4 bytes'),
    ('pseudo-header missing',
     s.capture_bytes([GOOD], 'pcap')[:24] + struct.pack('<IIII', 0, 0, 2, 2) + b'\x00\x00', 24,
     'record of 2 bytes, shorter than its pseudo-header'),
    ('gzip corrupt', gzip_corrupt(), None, 'gzip: corrupt stream'),
    ('data after the gzip stream', gzip.compress(btsnoop(GOOD)) + b'junk', None, 'gzip: data after the end'),
]


@pytest.mark.parametrize('data, offset, reason', [case[1:] for case in ERRORS], ids=[c[0] for c in ERRORS])
def test_a_bad_capture_gives_its_one_error(tmp_path, data, offset, reason):
    with pytest.raises(CaptureError) as raised:
        read_bytes(tmp_path, data)
    error = raised.value
    assert reason in error.reason
    if offset is not None:
        assert error.offset == offset
    assert str(error) == '%s: offset %d: %s' % (tmp_path / 'capture', error.offset, error.reason)


CUT = [s.log_line(T, 'Bluetooth daemon 5.66')] + [GOOD] * 3


@pytest.mark.parametrize('container, options', [('btsnoop', {}), ('btsnoop', {'datalink': 1002}),
                                                ('pcap', {'linktype': 254}), ('pcap', {'linktype': 201}),
                                                ('pcapng', {'linktype': 254})])
def test_a_capture_cut_short_gives_its_whole_records(tmp_path, container, options):
    whole = s.capture_bytes(CUT, container, **options)
    start = len(s.capture_bytes(CUT[:-1], container, **options))
    full, _ = read_bytes(tmp_path, whole)
    for cut in range(start + 1, len(whole)):
        events, reader = read_bytes(tmp_path, whole[:cut])
        assert events == full[:-1], cut
        assert (reader.cut_short.offset, reader.cut_short.present) == (start, cut - start), cut
        assert not reader.cut_short.gzip_unfinished


def test_a_gzip_stream_cut_short_says_so(tmp_path):
    varied = [s.adv_report(T + n * 7919, 0, s.report(A, SN, rssi=-n % 128)) for n in range(200)]
    data = gzip.compress(btsnoop(*varied))
    events, reader = read_bytes(tmp_path, data[:len(data) // 2])
    assert 0 < len(events) < 200
    assert reader.cut_short.gzip_unfinished
    assert 'the gzip stream has no end' in str(reader.cut_short)
    events, reader = read_bytes(tmp_path, data[:-4])
    assert (len(events), reader.cut_short.present, reader.cut_short.gzip_unfinished) == (200, 0, True)


@pytest.mark.parametrize('data', [b'btsn', b'\xa1\xb2', gzip.compress(b'btsnoop\0\0\0')[:-8]],
                         ids=['btsnoop', 'pcap', 'gzip'])
def test_a_capture_cut_inside_its_header_has_no_events(tmp_path, data):
    events, reader = read_bytes(tmp_path, data)
    assert events == [] and reader.cut_short is not None


def test_records_without_their_whole_packet_are_skipped(tmp_path):
    snapped = btsnoop(GOOD)[HEADER:]
    snapped = struct.pack('>I', len(GOOD[3]) + 5) + snapped[4:]
    data = btsnoop(GOOD) + snapped + btsnoop(GOOD_FOUND)[HEADER:]
    events, reader = read_bytes(tmp_path, data)
    assert [type(e).__name__ for e in events] == ['AdvertisingReport', 'DeviceFound']
    assert (reader.records, reader.snapped) == (2, 1)
