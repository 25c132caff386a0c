"""What an import says on standard error: the capture and the controller
read, time zero, the release, the duplicate filter, the discoveries, each
peripheral with its reports, data changes, drops and connection attempts,
what was left out and what the scenario cannot carry.  Times are seconds
from the capture's first event, as `btmon -r` shows them."""

from typing import Any, List, Optional

from .releases import played

DUPLICATE_FILTER = {0: 'off', 1: 'on', 2: 'on, reset every scan period'}
# How a discovery that bluetoothd stopped and that started again soon ended,
# by its event in the timeline.
RESTARTED = {
    'discoveryStopped': ", stopped by bluetoothd and started again by a program still discovering: "
                        "the timeline's discoveryStopped",
    'discoveryRestarted': ", stopped by bluetoothd and started again by it at once: "
                          "the timeline's discoveryRestarted",
}
# Peripherals listed one by one up to this many; the rest are counted.
LISTED = 1000
# The kit checks a scenario against its schema before it plays it, at about
# 1 MiB a second (bench/README.md): a larger one keeps serve from printing
# its address for seconds, longer than the pytest fixture waits.
CHECKED_AT_ONCE = 2 << 20
SLOW_TO_CHECK = (': the kit takes about a second per MiB to check it before it serves it, longer than the '
                 'pytest fixture waits (5 s); a test is better served by a window of it (--from, --to)')


def lines(imp: Any) -> List[str]:
    reader = imp.reader
    first = imp.first_us or 0

    def at(us: Optional[int]) -> str:
        return '%.3f s' % ((us - first) / 1e6) if us is not None else '?'
    out = ['capture: %s (%s%s, %s records%s)' % (
        imp.path, reader.format or 'empty', ' %s' % reader.datalink if reader.datalink else '',
        '{:,}'.format(reader.records), ', gzip' if reader.compressed else '')]
    if imp.last_us is not None:
        out.append('read: %s to %s' % (at(imp.first_us), at(imp.last_us)))
    if not imp.monitor:
        out.append('no record of the management channel (an HCI capture): every advertising report '
                   'while the controller scanned counts as given to bluetoothd, scans count as '
                   'discoveries, and no report can be told dropped')
    log = imp.chosen
    if log is None:
        out.append('controller: none in the capture; the scenario has no adapter')
        return out + tail(imp)
    others = sorted(i for i in imp.logs if i != log.index and imp.logs[i].scans)
    out.append('controller: hci%d%s, %s%s' % (
        log.index, ' (%s)' % log.address if log.address else '',
        'as asked' if imp.options.controller is not None else 'the one that scanned first',
        '; also scanning: %s (--controller N)' % ', '.join('hci%d' % i for i in others) if others else ''))
    out.append('time zero: %s, %s' % (at(imp.zero), 'the start of the first discovery in the window'
                                      if imp.scenario.get('timeZero') == 'firstDiscovery'
                                      else 'the start of the window (no discovery ran then)'))
    if imp.running_at_start:
        out.append('discovery ran when the capture began (no Discovering event before its reports)')
    out.append(release_line(imp.release))
    if imp.kernel:
        out.append('kernel: %s' % imp.kernel)
    filters = sorted({DUPLICATE_FILTER.get(f, str(f)) for _, f in log.scans})
    out.append('duplicate filter: %s (%d scan starts); the scenario plays what was heard, with no '
               'filter of its own' % (' and '.join(filters) or 'no scan start in the window', len(log.scans)))
    restarts = dict(log.restarts())
    window_start = imp.window_start or 0
    for period in [p for p in log.periods if p.end_us is None or p.end_us > window_start]:
        ended = ('running at the end' if period.end_us is None else 'to %s%s' % (
            at(period.end_us), RESTARTED[restarts[period.end_us]] if period.end_us in restarts else
            ', stopped by bluetoothd' if period.stopped else ', ended by the kernel'))
        out.append('discovery: %s %s' % (at(period.start_us), ended))
    if log.removed_us is not None:
        out.append('controller removed at %s: the timeline\'s adapterRemoved' % at(log.removed_us))
    written = imp.scenario.get('peripherals', [])
    if imp.size is not None:
        slow = SLOW_TO_CHECK if imp.size > CHECKED_AT_ONCE else ''
        size = '%.2f MiB' % (imp.size / 2**20) if imp.size >= 1 << 20 else '{:,} bytes'.format(imp.size)
        out.append('scenario: %s%s' % (size, slow))
    out.append('peripherals written: %d' % len(written))
    for entry in written[:LISTED]:
        out.append('  ' + peripheral_line(log.advertisers.get(entry['address']), entry, at))
        for attempt in log.links.of(entry['address']):
            out.append('    connection at %s: %s' % (at(attempt.start_us), attempt.describe()))
    if len(written) > LISTED:
        out.append('  and %d more' % (len(written) - LISTED))
    out += left_out(imp, log)
    return out + tail(imp)


def release_line(release: Optional[str]) -> str:
    if release is None:
        return 'bluetoothd: its release is not in the capture (it logs it as it starts): played as %s, ' \
               'the kit\'s default' % played(None)
    if played(release) == release:
        return 'bluetoothd: %s, from its log line' % release
    return 'bluetoothd: %s, from its log line: played as %s, the nearest release the kit plays' % (
        release, played(release))


def peripheral_line(advertiser: Any, entry: Any, at: Any) -> str:
    words = [entry['address'], entry.get('addressType', 'of unknown address type')]
    if entry.get('knownFromStart'):
        words.append('listed by BlueZ from the start (connected before it was heard)')
    if advertiser is not None and advertiser.reports:
        times = advertiser.times
        words.append('{:,} reports from {} (runs: {}, single times: {}), data changes: {}'.format(
            advertiser.reports, at(advertiser.first_us), len(times.runs), len(times.at),
            len(advertiser.changes)))
    if advertiser is not None and advertiser.without_data:
        words.append('{:,} reports without service data left out'.format(advertiser.without_data))
    if advertiser is not None and advertiser.ignored:
        words.append('{:,} reports given to bluetoothd before the kernel had answered its Start '
                     'Discovery, which it drops'.format(advertiser.ignored))
    if advertiser is not None and advertiser.dropped:
        words.append('{:,} reports dropped by the kernel (no Device Found), at {}{}'.format(
            advertiser.dropped, ', '.join(at(t) for t in advertiser.drop_times),
            ' and later' if advertiser.dropped > len(advertiser.drop_times) else ''))
    return '; '.join(words)


def left_out(imp: Any, log: Any) -> List[str]:
    out = []
    ignored = [a for a in log.advertisers.values() if a.ignored and not a.reports]
    if ignored:
        out.append('left out: {:,} peripherals of which bluetoothd dropped every report (given before '
                   'its discovery had started)'.format(len(ignored)))
    without = [a for a in imp.left_out if a.without_data]
    if without:
        out.append('left out: {:,} peripherals without service data ({:,} reports)'.format(
            len(without), sum(a.without_data for a in without)))
    if log.unheard or log.unheard_drops:
        out.append('left out: {:,} advertisers of which the kernel gave bluetoothd nothing ({:,} reports '
                   'dropped){}'.format(len(log.unheard), sum(map(len, log.unheard.values())),
                                       ', and {:,} reports of more'.format(log.unheard_drops)
                                       if log.unheard_drops else ''))
    if imp.filtered_out:
        out.append('left out: %d peripherals not asked for (--peripheral, --service)' % len(imp.filtered_out))
    if log.found_off:
        out.append('left out: {:,} Device Found while no discovery ran (played only while one '
                   'runs)'.format(log.found_off))
    if log.reports_off:
        out.append('not given to bluetoothd: {:,} advertising reports while no discovery ran, as the '
                   'kernel does'.format(log.reports_off))
    if log.links.peripheral_role:
        out.append('left out: %d connections in which the controller was the peripheral'
                   % log.links.peripheral_role)
    unknown = sum(a.unknown_reads for address in log.links.addresses() for a in log.links.of(address))
    if unknown:
        out.append('left out: %d reads of attributes whose characteristic the capture does not show '
                   '(its GATT discovery is not in it)' % unknown)
    out.append('not carried: RSSI (the simulation makes its own), other advertising data than '
               'service data, the reasons a link ended beyond lost or ended by the host, the GATT '
               'database beyond the Serial Number String, the times of bluetoothd\'s own round '
               'restarts (the scenario plays one discovery round)')
    return out


def tail(imp: Any) -> List[str]:
    out = []
    if imp.cut_us is not None:
        start = ((imp.cut_us - (imp.first_us or 0)) / 1e6)
        out.append('the scenario ends at %.3f s: %s; import the rest with --from %.3f (or fewer '
                   'peripherals with --peripheral or --service)' % (start, imp.cut_reason, start))
    if imp.reader.cut_short is not None:
        out.append('the capture was cut short: %s; imported up to its last whole record'
                   % imp.reader.cut_short)
    if imp.reader.snapped:
        out.append('{:,} records held only part of their packet and were skipped'.format(imp.reader.snapped))
    return out
