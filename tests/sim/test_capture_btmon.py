"""The capture reader against BlueZ's own decoder: btmon -r reads the same
synthetic btsnoop file, and its addresses, report counts, service data,
connection outcomes and ATT values are ours.  So that the reader is not its
own oracle.

btmon 5.66 dies on a Read By Type Request, so the capture here has no
discovery (doc/bluez-behaviour.md, btmon-read-by-type)."""

import re
import shutil
import subprocess

import pytest

import capture_synth as s
from bleprobe_sim.capture import CaptureReader
from bleprobe_sim.capture import events as ev

BTMON = shutil.which('btmon', path='/usr/bin:/usr/sbin:/bin')
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


def btmon_blocks(path):
    text = subprocess.run([BTMON, '-P', '-c', 'never', '-C', '250', '-r', path], stdout=subprocess.PIPE,
                          check=True, universal_newlines=True, timeout=30).stdout
    blocks = []
    for line in text.splitlines():
        if line[:1] in '<>@=':
            blocks.append([line])
        elif blocks:
            blocks[-1].append(line.strip())
    return blocks


def btmon_view(path):
    """What btmon says the capture holds, in the reader's terms."""
    view = {'reports': [], 'service data': [], 'found': [], 'connections': [], 'reasons': [], 'reads': []}
    for block in btmon_blocks(path):
        body = '\n'.join(block)
        if 'Advertising Report' in body:
            view['reports'] += re.findall(r'^Address: (\S+) .*?\nRSSI: (-?\d+) dBm', body, re.M | re.S)
            view['service data'] += re.findall(r'Service Data: .*\(0x(\w{4})\)\nData: (\w+)', body)
        elif 'Device Found' in block[0]:
            view['found'] += re.findall(r'^LE Address: (\S+)', body, re.M)
        elif 'Connection Complete' in body:
            view['connections'] += re.findall(r'^Status: [^\n]*\(0x(\w\w)\)\n.*?Peer address: (\S+)', body,
                                              re.M | re.S)
        elif 'Disconnect Complete' in block[0]:
            view['reasons'] += re.findall(r'^Reason: .*\(0x(\w\w)\)', body, re.M)
        elif 'ATT: Read Response' in body:
            view['reads'].append(re.search(r'^Value: (\w+)', body, re.M).group(1))
        elif 'ATT: Read Blob Response' in body:
            dump = re.findall(r'^((?:[0-9a-f]{2} )+)', body, re.M)
            view['reads'][-1] += ''.join(dump).replace(' ', '')
        elif 'ATT: Error Response' in body:
            view['reads'].append(re.search(r'^Error: .*\(0x(\w\w)\)', body, re.M).group(1))
    return view


def reader_view(path):
    view = {'reports': [], 'service data': [], 'found': [], 'connections': [], 'reasons': [], 'reads': []}
    for e in CaptureReader(path):
        if isinstance(e, ev.AdvertisingReport):
            view['reports'].append((e.address, str(e.rssi)))
            view['service data'] += [(uuid[4:8], value.hex()) for uuid, value in e.ad.service_data]
        elif isinstance(e, ev.DeviceFound):
            view['found'].append(e.address)
        elif isinstance(e, ev.ConnectionComplete):
            view['connections'].append(('%02x' % e.status, e.address))
        elif isinstance(e, ev.DisconnectionComplete):
            view['reasons'].append('%02x' % e.reason)
        elif isinstance(e, ev.AttRead):
            view['reads'].append(e.value.hex() if e.value is not None else '%02x' % e.error)
    return view


def test_btmon_reads_the_capture_as_the_reader_does(tmp_path):
    path = str(tmp_path / 'capture.btsnoop')
    s.write(path, records())
    ours = reader_view(path)
    assert (len(ours['reports']), len(ours['found']), len(ours['reads'])) == (47, 40, 2)
    assert btmon_view(path) == ours
