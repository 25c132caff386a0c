"""BlueZ's own decoder as the oracle of the capture reader: what btmon -r
prints of a capture, and what the reader yields of it, in the same terms
(addresses and RSSI of the advertising reports, their 16-bit service data,
the Device Found events, the connections' status and peer, the
disconnections' reasons, and the ATT reads the host made, with their value
or error), so that a test can compare the two.

Which btmon: one that reads every capture whole. btmon 5.66 (Debian 12)
dies on the first ATT Read By Type Request of a connection it saw begin
when the machine reading the file has no controller of that index
(doc/bluez-behaviour.md, btmon-read-by-type), which is any capture with a
service discovery read anywhere but where it was made. find() takes the
host's btmon when it is 5.67 or later, else the btmon of an end-to-end
guest root of a later release (tests/e2e/stacks.py), run with its own
loader and libraries; the e2e stage of the test command makes the Debian 13
root early on a Debian 12 host, and find() waits for a root being made."""

import fcntl
import glob
import gzip
import os
import re
import shutil
import subprocess
import sys
import tempfile
from typing import Dict, List, Optional

from bleprobe_sim.capture import CaptureReader
from bleprobe_sim.capture import events as ev

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, 'e2e'))
import stacks  # noqa: E402

# Where the e2e harness keeps its guest roots (tests/e2e/harness.py, CACHE_ROOT).
CACHE = os.environ.get('BLEPROBE_E2E_CACHE', '/var/tmp/bleprobe-e2e')
FIXED = (5, 67)
LOADER = 'lib64/ld-linux-x86-64.so.2'
LIBRARIES = ('lib/x86_64-linux-gnu', 'usr/lib/x86_64-linux-gnu')
# btmon's declarations (GATT discovery) among the Read By Type Requests,
# which the reader does not count as reads
DECLARATIONS = ('2800', '2801', '2802', '2803')


def version(argv: List[str]):
    try:
        text = subprocess.run(argv + ['--version'], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                              universal_newlines=True, timeout=30).stdout
    except OSError:
        return None
    match = re.match(r'(\d+)\.(\d+)', text.strip())
    return (int(match.group(1)), int(match.group(2))) if match else None


def _root_btmon(root: str) -> List[str]:
    libraries = ':'.join(os.path.join(root, d) for d in LIBRARIES)
    return [os.path.join(root, LOADER), '--library-path', libraries, os.path.join(root, 'usr/bin/btmon')]


def _wait_for_roots_being_made(roots: str) -> None:
    for lock in glob.glob(os.path.join(roots, '.*.lock')):
        with open(lock) as f:
            fcntl.flock(f, fcntl.LOCK_SH)


def find(whole: bool = True) -> Optional[List[str]]:
    """The command line of a btmon that reads every capture whole, or None;
    whole=False: the host's btmon, whatever its release, for captures
    without a service discovery."""
    host = shutil.which('btmon', path='/usr/bin:/usr/sbin:/bin')
    if host and (not whole or (version([host]) or (0, 0)) >= FIXED):
        return [host]
    roots = os.path.join(CACHE, 'roots')
    _wait_for_roots_being_made(roots)
    for release in stacks.KNOWN_RELEASES:
        root = os.path.join(roots, release)
        btmon = _root_btmon(root)
        if stacks.root_complete(stacks.Path(root), release) and (version(btmon) or (0, 0)) >= FIXED:
            return btmon
    return None


def _plain(path: str, directory: str) -> str:
    """btmon reads no gzip: a plain copy of a compressed capture."""
    with open(path, 'rb') as f:
        compressed = f.read(2) == b'\x1f\x8b'
    if not compressed:
        return path
    plain = os.path.join(directory, 'capture.btsnoop')
    with gzip.open(path) as packed, open(plain, 'wb') as out:
        shutil.copyfileobj(packed, out)
    return plain


def blocks(btmon: List[str], path: str) -> List[List[str]]:
    """btmon's reading of a capture, one list of stripped lines per record."""
    with tempfile.TemporaryDirectory() as directory:
        text = subprocess.run(btmon + ['-P', '-c', 'never', '-C', '250', '-r', _plain(path, directory)],
                              stdout=subprocess.PIPE, check=True, universal_newlines=True, timeout=60).stdout
    out: List[List[str]] = []
    for line in text.splitlines():
        if line[:1] in '<>@=':
            out.append([line])
        elif out:
            out[-1].append(line.strip())
    return out


def empty_view() -> Dict[str, list]:
    return {'reports': [], 'service data': [], 'found': [], 'connections': [], 'reasons': [], 'reads': []}


class Reads:
    """The host's ATT reads in btmon's text: a request sent (a Read Request,
    or a Read By Type Request of a value), then what came back on the same
    channel (btmon's {chan N}, or the fixed channel)."""

    def __init__(self) -> None:
        self.pending: Dict[str, Dict] = {}
        self.done: List[tuple] = []

    def sent(self, channel: str, body: str) -> None:
        """A PDU the host sent: a request of its own ends the read before
        it, unless it asks for the rest of it; what it answers as a server
        does not count."""
        if 'ATT: Read Blob Request' in body or not re.search(r'ATT: .* Request \(0x', body):
            return
        self.finish(channel)
        request = re.search(r'ATT: Read Request .*?\nHandle: 0x(\w+)', body, re.S)
        by_type = re.search(r'ATT: Read By Type Request .*?\nHandle range: 0x(\w+)-0x\w+\n'
                            r'Attribute type: .*\(0x(\w{4})\)', body, re.S)
        if request:
            self.pending[channel] = {'handle': int(request.group(1), 16), 'value': None}
        elif by_type and by_type.group(2) not in DECLARATIONS:
            self.pending[channel] = {'handle': int(by_type.group(1), 16), 'value': None, 'by type': True}

    def received(self, channel: str, body: str) -> None:
        read = self.pending.get(channel)
        if read is None:
            return
        error = re.search(r'ATT: Error Response .*?\nError: .*\(0x(\w\w)\)', body, re.S)
        value = re.search(r'ATT: Read(?: Blob)? Response .*?\nValue(?:\[\d+\])?: (\w*)', body, re.S)
        entry = re.search(r'ATT: Read By Type Response .*?\nHandle: 0x(\w+)\nValue(?:\[\d+\])?: (\w*)',
                          body, re.S)
        if error:
            del self.pending[channel]
            self.done.append((read['handle'], error.group(1)))
        elif entry and read.get('by type'):
            del self.pending[channel]
            self.done.append((int(entry.group(1), 16), entry.group(2)))
        elif value and not read.get('by type'):
            read['value'] = (read['value'] or '') + value.group(1)
        elif 'ATT: Read Blob Response' in body and not read.get('by type'):
            # btmon 5.66 prints a blob as a hex dump
            dump = re.findall(r'^((?:[0-9a-f]{2} )+)', body, re.M)
            read['value'] = (read['value'] or '') + ''.join(dump).replace(' ', '')

    def finish(self, channel: str) -> None:
        """The read on the channel ends with what it has (None: nothing)."""
        read = self.pending.pop(channel, None)
        if read is not None:
            self.done.append((read['handle'], read['value']))

    def all(self) -> List[tuple]:
        for channel in list(self.pending):
            self.finish(channel)
        return self.done


def btmon_view(btmon: List[str], path: str) -> Dict[str, list]:
    """What btmon says the capture holds, in the reader's terms; reads as
    (handle, value hex or error code hex), in no particular order."""
    view = empty_view()
    reads = Reads()
    for block in blocks(btmon, path):
        head, body = block[0], '\n'.join(block)
        if 'Advertising Report' in body:
            # a controller that measures nothing (btvirt) reports 127, "invalid"
            reports = re.findall(r'^Address: (\S+) .*?\nRSSI: (-?\d+|invalid)', body, re.M | re.S)
            view['reports'] += [(address, '127' if rssi == 'invalid' else rssi) for address, rssi in reports]
            view['service data'] += re.findall(r'Service Data: .*\(0x(\w{4})\)\nData(?:\[\d+\])?: (\w+)',
                                               body)
        elif 'Device Found' in head:
            view['found'] += re.findall(r'^LE Address: (\S+)', body, re.M)
        elif 'Connection Complete' in body:
            view['connections'] += re.findall(r'^Status: [^\n]*\(0x(\w\w)\)\n.*?Peer address: (\S+)', body,
                                              re.M | re.S)
        elif 'Disconnect Complete' in head:
            view['reasons'] += re.findall(r'^Reason: .*\(0x(\w\w)\)', body, re.M)
        elif 'ATT:' in body and head.startswith(('< ACL', '> ACL')):
            channel = re.search(r'\{chan (\d+)\}', body)
            key = channel.group(1) if channel else 'fixed'
            if head.startswith('<'):
                reads.sent(key, body)
            else:
                reads.received(key, body)
    view['reads'] = sorted(reads.all(), key=repr)
    return view


def reader_view(path: str) -> Dict[str, list]:
    """The same of what the capture reader yields."""
    view = empty_view()
    base = '-0000-1000-8000-00805f9b34fb'
    for e in CaptureReader(path):
        if isinstance(e, ev.AdvertisingReport):
            view['reports'].append((e.address, str(e.rssi)))
            view['service data'] += [(uuid[4:8], value.hex()) for uuid, value in e.ad.service_data
                                     if uuid.startswith('0000') and uuid.endswith(base)]
        elif isinstance(e, ev.DeviceFound):
            view['found'].append(e.address)
        elif isinstance(e, ev.ConnectionComplete):
            view['connections'].append(('%02x' % e.status, e.address))
        elif isinstance(e, ev.DisconnectionComplete):
            view['reasons'].append('%02x' % e.reason)
        elif isinstance(e, ev.AttRead):
            answer = e.value.hex() if e.value is not None else None if e.error is None else '%02x' % e.error
            view['reads'].append((e.attribute, answer))
    view['reads'] = sorted(view['reads'], key=repr)
    return view
