"""The capture reader against BlueZ's own decoder (tests/btmon_reading.py):
btmon -r reads the same synthetic btsnoop file, and its addresses, report
counts, service data, connection outcomes and ATT values are ours.  So that
the reader is not its own oracle; the captures of the real stack get the
same check in test_vm_captures.py.

The capture here has no service discovery, so that the host's btmon reads
it whatever its release (doc/bluez-behaviour.md, btmon-read-by-type)."""

import pytest

import btmon_reading
import capture_synth as s

BTMON = btmon_reading.find(whole=False)
pytestmark = pytest.mark.skipif(BTMON is None, reason='btmon (package bluez) is not installed')
T = s.T0
ADVERTISERS = ['C0:FF:EE:00:00:%02X' % n for n in range(1, 6)]


def records():
    out = [s.controller(T, 0, '00:1A:7D:DA:71:13'), s.socket_open(T, 1, 'bluetoothd')]
    for n in range(40):
        address = ADVERTISERS[n % 5]
        data = s.service_data16(0xFE59 + n % 2, bytes([n, n % 5]))
        reports = [s.report(address, data, rssi=-40 - n, address_type=n % 2)]
        if n % 7 == 0:
            reports.append(s.report(ADVERTISERS[(n + 1) % 5], data[:3], rssi=-99, event_type=4))
        out.append(s.adv_report(T + n * 1000, 0, *reports))
        out.append(s.device_found(T + n * 1000 + 1, 0, address, data))
    out.append(s.ext_adv_report(T + 50000, 0, s.ext_report(ADVERTISERS[0], b'\x02\x01\x06', rssi=-33)))
    out += s.create_connection(T + 60000, 0, ADVERTISERS[0])
    out += [s.connection_complete(T + 61000, 0, 0x40, ADVERTISERS[0], status=0x3E),
            s.connection_complete(T + 62000, 0, 0x40, ADVERTISERS[1], enhanced=True)]
    out += s.att_read(T + 63000, 0, 0x40, 0x11, b'SN-0123456789-ABCDEFGHIJ', fragment=9)
    out += s.att_read(T + 66000, 0, 0x40, 0x11, error=0x05)
    out += [s.disconnection_complete(T + 70000, 0, 0x40, 0x08)]
    return out


def test_btmon_reads_the_capture_as_the_reader_does(tmp_path):
    path = str(tmp_path / 'capture.btsnoop')
    s.write(path, records())
    ours = btmon_reading.reader_view(path)
    assert (len(ours['reports']), len(ours['found']), len(ours['reads'])) == (47, 40, 2)
    assert btmon_reading.btmon_view(BTMON, path) == ours
