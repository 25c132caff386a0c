#!/usr/bin/python3
"""The capture reader's and the import's time and memory on a long monitor
capture: a synthetic `btmon -w` file of one hour with 200 advertisers at
10 reports/s each (7.2 million LE Advertising Reports, duplicate filter
off, each with its mgmt Device Found), read and decoded in a child process,
whose wall time, CPU time and peak RSS (ru_maxrss) are the figures.  Side by
side: the containers' records alone (what any decoder on top of them pays),
the whole reader, the reader asked for scanning's state only (kinds), the
same capture gzip-compressed, and `bleprobe-sim import` (the scenario made,
written and checked against the schema).  --jitter gives every advertiser
a real one's delay of 0 to 10 ms on every advertisement.  A figure, not a
test."""

import argparse
import gzip
import os
import random
import resource
import shutil
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
sys.path[:0] = [os.path.join(REPO, 'sim'), os.path.join(REPO, 'tests')]

import capture_synth as s  # noqa: E402
from bleprobe_sim.capture import CaptureReader, ad  # noqa: E402
from bleprobe_sim.capture import events as ev  # noqa: E402
from bleprobe_sim.capture.container import identify  # noqa: E402
from bleprobe_sim.capture.reader import CONTAINERS  # noqa: E402
from bleprobe_sim.capture.stream import ByteStream  # noqa: E402
from bleprobe_sim import scenario  # noqa: E402
from bleprobe_sim.replay import Options, import_capture  # noqa: E402


def synthesize(path, seconds, advertisers, rate, jitter=False):
    """The capture, written record by record from templates: a few seconds
    per million records.  Each advertiser's service data (0xFE59: its unit
    number and a counter) changes every minute, its RSSI every report.
    jitter: each advertises every 1/rate s less 5 ms plus 0 to 10 ms of its
    own, which adds up (its records then stray from the file's order by up
    to a second or so, which no reader minds)."""
    rng = random.Random(1)
    drift = [0] * advertisers
    t0 = s.T0
    head = [s.note(t0, 'Linux version 6.1.0-18-amd64 (x86_64)'), s.controller(t0, 0, '00:1A:7D:DA:71:13'),
            s.socket_open(t0, 1, 'bluetoothd'), s.log_line(t0, 'Bluetooth daemon 5.66'),
            s.start_discovery(t0, 0)]
    head += s.scan_parameters(t0 + 10, 0) + s.scan_enable(t0 + 20, 0, True, 0)
    head += [s.discovering(t0 + 30, 0, True), s.command_answer(t0 + 40, 0, 0x0023)]
    pack = struct.Struct('>IIIIq').pack
    addresses = ['C0:FF:EE:00:%02X:%02X' % (n >> 8, n & 0xFF) for n in range(advertisers)]
    period = 1000000 // rate
    with open(path, 'wb') as f:
        s.write_btsnoop(f, head)
        out = bytearray()
        templates = []
        for tick in range(seconds * rate):
            if tick % (rate * 60) == 0:
                minute = tick // (rate * 60)
                templates = []
                for n, address in enumerate(addresses):
                    data = s.service_data16(0xFE59, struct.pack('<IHH', 0x1000 + n, minute, 0))
                    report = s.adv_report(0, 0, s.report(address, data))[3][:-1]
                    found = s.device_found(0, 0, address, data)[3]
                    templates.append((report, found))
            base = t0 + 1000000 + tick * period + s.BTSNOOP_EPOCH
            for n, (report, found) in enumerate(templates):
                if jitter:
                    drift[n] += rng.randrange(10001) - 5000
                t = base + n * (period // advertisers) + drift[n]
                rssi = bytes([196 + (tick + n) % 20])
                out += pack(len(report) + 1, len(report) + 1, 3, 0, t) + report + rssi
                out += pack(len(found), len(found), 17, 0, t + 40) + found
            if len(out) >= 1 << 22:
                f.write(out)
                out = bytearray()
        f.write(out)
        for t, index, kind, packet in s.scan_enable(t0 + (seconds + 1) * 1000000, 0, False):
            f.write(s.btsnoop_record(t, index << 16 | kind, packet))


# What the child does with each event: nothing but count it, so that the
# figures are the reader's.
def read_records(path):
    with open(path, 'rb') as f:
        stream = ByteStream(f, path)
        head = stream.read(8)
        n = 0
        for _ in CONTAINERS[identify(head)](stream, path, head).records():
            n += 1
    return n


def read_events(path, kinds=None):
    n = 0
    for _ in CaptureReader(path, kinds=kinds):
        n += 1
    return n


def read_fused(path):
    """The alternative measured beside the reader: one loop that cuts the
    btsnoop records and decodes the two dominant kinds itself, with no
    container layer (and no other kind of record, no check beyond what it
    needs).  What the reader's layering costs."""
    record, report_head, found_head = struct.Struct('>IIIIq'), struct.Struct('<BBBBBB6sBB'), \
        struct.Struct('<IH6sBbIH')
    unpack, reports, founds = record.unpack_from, report_head.unpack_from, found_head.unpack_from
    ad_cache, parse_ad, addresses, address = ad.AD_CACHE, ad.parse_ad, ad.ADDRESS_CACHE, ad.address
    hci_types, mgmt_types = ad.HCI_TYPE_NAMES, ad.MGMT_TYPE_NAMES
    n, buf, pos, base = 0, b'', 0, 16
    with open(path, 'rb') as f:
        f.read(16)
        while True:
            more = f.read(1 << 20)
            if not more:
                return n
            buf, base, pos = buf[pos:] + more, base + pos, 0
            size = len(buf)
            while pos + 24 <= size:
                _, length, flags, _, ts = unpack(buf, pos)
                end = pos + 24 + length
                if end > size:
                    break
                packet, offset, time_us, kind, index = buf[pos + 24:end], base + pos, ts - s.BTSNOOP_EPOCH, \
                    flags & 0xFFFF, flags >> 16
                pos = end
                if kind == 3 and length > 14:
                    _, _, _, _, event_type, address_type, raw, _, _ = reports(packet)
                    data, rssi = packet[13:-1], packet[-1]
                    ev.AdvertisingReport(time_us, index, offset, addresses.get(raw) or address(raw),
                                         hci_types[address_type], event_type,
                                         rssi - 256 if rssi > 127 else rssi, data,
                                         ad_cache.get(data) or parse_ad(data), False, None, 'complete')
                    n += 1
                elif kind == 17 and length > 20:
                    cookie, _, raw, address_type, rssi, flags, _ = founds(packet)
                    data = packet[20:]
                    ev.DeviceFound(time_us, index, offset, addresses.get(raw) or address(raw),
                                   mgmt_types[address_type], rssi, flags, data,
                                   ad_cache.get(data) or parse_ad(data), None, cookie)
                    n += 1


def import_scenario(path):
    """What bleprobe-sim import does: the pass, the scenario's text, its
    check against the schema.  Reports written, and what the scenario is."""
    result = import_capture(path, Options())
    text = result.text()
    scenario.check(result.scenario)
    written = sum(a.reports for a in result.chosen.advertisers.values())
    cut = '' if result.cut_us is None else ', ends at %.0f s' % ((result.cut_us - result.first_us) / 1e6)
    return written, '%.2f MiB%s' % (len(text.encode()) / 2**20, cut)


VARIANTS = {
    'records': ('the container alone (btsnoop records, no decoding)', read_records),
    'reader': ('the reader: every event', read_events),
    'fused': ('one loop for records and the two dominant kinds (the alternative)', read_fused),
    'scan state': ('the reader asked for ScanEnable and Discovering only',
                   lambda path: read_events(path, [ev.ScanEnable, ev.Discovering])),
    'import': ('bleprobe-sim import: scenario made, written and checked', import_scenario),
}


def child(variant, path):
    start_cpu, start = time.process_time(), time.monotonic()
    n = VARIANTS[variant][1](path)
    wall, cpu = time.monotonic() - start, time.process_time() - start_cpu
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    n, note = n if isinstance(n, tuple) else (n, '')
    print('%d %.3f %.3f %.1f %s' % (n, wall, cpu, peak, note))


def measure(variant, path):
    out = subprocess.run([sys.executable, os.path.abspath(__file__), '--child', variant, path],
                         stdout=subprocess.PIPE, check=True, universal_newlines=True).stdout.split(None, 4)
    return int(out[0]), float(out[1]), float(out[2]), float(out[3]), (out[4:] or [''])[0].strip()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--seconds', type=int, default=3600)
    parser.add_argument('--advertisers', type=int, default=200)
    parser.add_argument('--rate', type=int, default=10, help='reports per second per advertiser')
    parser.add_argument('--reps', type=int, default=1, help='runs of each variant, alternating')
    parser.add_argument('--keep', metavar='DIR', help='keep the captures in DIR')
    parser.add_argument('--no-gzip', action='store_true', help='skip the compressed capture')
    parser.add_argument('--no-fused', action='store_true', help='skip the alternative to the reader')
    parser.add_argument('--only', metavar='VARIANT', action='append', choices=sorted(VARIANTS),
                        help='run this variant only (repeatable)')
    parser.add_argument('--jitter', action='store_true',
                        help="each advertisement 0 to 10 ms late, as a real advertiser's")
    parser.add_argument('--child', nargs=2, metavar=('VARIANT', 'FILE'), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        return child(*args.child)
    directory = args.keep or tempfile.mkdtemp(prefix='capture-bench-')
    os.makedirs(directory, exist_ok=True)
    plain = os.path.join(directory, 'capture.btsnoop')
    try:
        start = time.monotonic()
        synthesize(plain, args.seconds, args.advertisers, args.rate, args.jitter)
        reports = args.seconds * args.advertisers * args.rate
        print('capture: %d s, %d advertisers at %d/s: %d reports and as many Device Found, %.1f MiB '
              '(written in %.0f s)' % (args.seconds, args.advertisers, args.rate, reports,
                                       os.path.getsize(plain) / 2**20, time.monotonic() - start))
        runs = [(name, plain) for name in VARIANTS if (name != 'fused' or not args.no_fused)
                and (not args.only or name in args.only)]
        if not args.no_gzip and (not args.only or 'reader' in args.only):
            packed = plain + '.gz'
            start = time.monotonic()
            with open(plain, 'rb') as f, gzip.open(packed, 'wb', compresslevel=6) as g:
                shutil.copyfileobj(f, g, 1 << 22)
            print('gzip -6: %.1f MiB (written in %.0f s)'
                  % (os.path.getsize(packed) / 2**20, time.monotonic() - start))
            runs.append(('reader', packed))
        print('load average before: %.2f %.2f %.2f' % os.getloadavg())
        print()
        print('| Variant | input | events | wall s | CPU s | CPU µs/record | peak RSS MiB | scenario |')
        print('|---|---|---|---|---|---|---|---|')
        records = 2 * reports
        for _ in range(args.reps):
            for name, path in runs:
                n, wall, cpu, peak, note = measure(name, path)
                print('| %s | %s | %d | %.1f | %.1f | %.2f | %.0f | %s |' % (
                    VARIANTS[name][0], 'gzip' if path.endswith('.gz') else 'plain', n, wall, cpu,
                    cpu / records * 1e6, peak, note), flush=True)
        print()
        print('load average after: %.2f %.2f %.2f' % os.getloadavg())
    finally:
        if not args.keep:
            shutil.rmtree(directory, ignore_errors=True)


if __name__ == '__main__':
    main()
