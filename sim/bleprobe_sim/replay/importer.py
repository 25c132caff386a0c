"""The import: one pass over a capture's events (CaptureReader), each
controller's doings gathered (controller_log.py), then the scenario of the
controller chosen and what the summary says of it (summary.py).

The pass keeps what the scenario will hold and little else: per advertiser
its runs and times as they are fitted, its data changes, counts; per
connection attempt its outcome.  What the scenario will weigh is counted
as it grows: a capture whose scenario would outgrow the loader's limit, or
last longer than a day, ends where it reaches that (the summary says where,
and how to import the rest)."""

import json
import os
from typing import Any, Dict, Iterator, List, Optional, Set

from ..capture import CaptureReader
from ..capture import events as ev
from ..scenario import MAX_BYTES
from .advertisers import Advertiser
from .connections import entries
from .controller_log import ControllerLog
from .releases import played

# What the scenario may weigh by the counts of its parts; the rest of the
# loader's limit is room for what the counts leave out.
BUDGET = MAX_BYTES - (1 << 20)
# How often (in reports) the weight is counted.
WEIGH_EVERY = 10000
# A scenario's times go up to a day.
LONGEST_US = 86400 * 1000000
# Events that only a monitor capture (btmon's, link type 254) holds.
MONITOR_ONLY = (ev.ControllerAdded, ev.ControllerRemoved, ev.LogLine, ev.SystemNote, ev.Discovering,
                ev.DiscoveryRequest, ev.DiscoveryResult, ev.DeviceConnected, ev.DeviceDisconnected,
                ev.ConnectFailed)
CONNECTION_EVENTS = (ev.CreateConnection, ev.CreateConnectionCancel, ev.CommandResult,
                     ev.ConnectionComplete, ev.AttRead, ev.Disconnect, ev.DisconnectionComplete,
                     ev.AcceptList, ev.ScanParameters, ev.ConnectFailed)
BLUETOOTHD = 'bluetoothd'


class ImportFailure(Exception):
    """An option that the capture cannot satisfy; str() is the reason."""


class Options:
    """controller: its index (None: the one that scanned); start, end: the
    window in seconds from the capture's first event (None: open);
    addresses, uuids: the peripherals wanted (empty: every one)."""

    def __init__(self, controller: Optional[int] = None, start: Optional[float] = None,
                 end: Optional[float] = None, addresses: Optional[Set[str]] = None,
                 uuids: Optional[Set[str]] = None) -> None:
        self.controller = controller
        self.start = start
        self.end = end
        self.addresses = set(addresses or ())
        self.uuids = set(uuids or ())


class Import:
    """Run it with run(); then scenario is the scenario, and the other
    attributes what the summary tells."""

    def __init__(self, path: str, options: Options) -> None:
        self.path = path
        self.options = options
        self.reader = CaptureReader(path, indexes=None if options.controller is None
                                    else [options.controller])
        self.logs: Dict[int, ControllerLog] = {}
        self.first_us: Optional[int] = None
        self.last_us: Optional[int] = None
        self.window_start: Optional[int] = None
        self.monitor: Optional[bool] = None
        self.release: Optional[str] = None
        self.kernel: Optional[str] = None
        self.cookie: Optional[int] = None
        self.cut_us: Optional[int] = None
        self.cut_reason = ''
        self.running_at_start = False
        self.chosen: Optional[ControllerLog] = None
        self.zero: Optional[int] = None
        self.scenario: Dict[str, Any] = {}
        self.left_out: List[Advertiser] = []
        self.filtered_out: List[str] = []
        self.size: Optional[int] = None    # of the scenario's text, once made

    def log(self, index: Optional[int]) -> ControllerLog:
        key = index or 0
        found = self.logs.get(key)
        if found is None:
            found = self.logs[key] = ControllerLog(key)
        return found

    def to_bluetoothd(self, event: Any, who: Optional[str]) -> bool:
        """Whether a management event went to (or came from) bluetoothd:
        its socket's process, or, in a capture without the sockets'
        openings, the first socket seen."""
        if who is not None:
            return who == BLUETOOTHD
        if self.cookie is None:
            self.cookie = event.cookie
        return event.cookie == self.cookie

    def run(self) -> None:
        """The pass.  Its loop handles the two kinds that make a long
        capture's bulk itself, with what it uses in local names: the
        reader and this loop are the import's time (bench/README.md)."""
        options = self.options
        end_us: Optional[int] = None
        window_start = 0
        reports = 0
        advertising_report, device_found = ev.AdvertisingReport, ev.DeviceFound
        index: Any = -1     # of no controller: the first report sets log
        log: Any = None
        events: Iterator[Any] = iter(self.reader)
        for event in events:
            t = event.time_us
            if self.first_us is None:
                self.first_us = t
                window_start = t + int((options.start or 0) * 1e6)
                self.window_start = window_start
                if options.end is not None:
                    end_us = t + int(options.end * 1e6)
            if end_us is not None and t >= end_us:
                break
            self.last_us = t
            kind = type(event)
            if kind is device_found:
                receiver = event.receiver
                if receiver != BLUETOOTHD and (receiver is not None or not self.to_bluetoothd(event, None)):
                    continue
                if event.index != index:
                    index = event.index
                    log = self.log(index)
                    self.monitor = True
                address = event.address
                log.waiting.pop(address, None)
                if t < window_start:
                    continue
                if not log.discovering:
                    if log.periods:
                        log.found_off += 1
                        continue
                    # Discovery ran when the capture began.
                    self.running_at_start = True
                    log.discovery(True, window_start)
                advertiser = log.advertisers.get(address)
                if advertiser is None:
                    advertiser = log.advertiser(address, event.address_type)
                if log.started is False:
                    # bluetoothd drops it: its discovery starts with the
                    # kernel's answer (first_report_lost in
                    # doc/bluez-behaviour.md).
                    advertiser.ignored += 1
                    continue
                advertiser.report(t, event.ad)
                reports += 1
                if reports >= WEIGH_EVERY:
                    reports = 0
                    for each in self.logs.values():
                        each.forget_waiting(t)
                    if self.too_much(t):
                        break
            elif kind is advertising_report:
                if event.index != index:
                    index = event.index
                    log = self.log(index)
                if self.monitor is None:
                    self.monitor = False
                address = event.address
                if not log.discovering:
                    if t >= window_start:
                        log.reports_off += 1
                elif not self.monitor:
                    if t >= window_start:
                        log.advertiser(address, event.address_type).report(t, event.ad)
                        reports += 1
                elif event.scan_response:
                    if address not in log.waiting:
                        log.waiting[address] = t
                else:
                    waiting = log.waiting.get(address)
                    if waiting is not None and waiting >= window_start:
                        log.advertisers_drop(address, waiting)
                    log.waiting[address] = t
            else:
                self.other(event, kind, t, t >= window_start)
        self.finish()

    def other(self, event: Any, kind: type, t: int, record: bool) -> None:
        if kind in MONITOR_ONLY:
            self.monitor = True
        if kind in CONNECTION_EVENTS:
            self.log(event.index).links.event(event, record)
        elif kind is ev.Discovering:
            if self.to_bluetoothd(event, event.receiver):
                self.log(event.index).discovery(event.discovering, t)
        elif kind is ev.DiscoveryRequest:
            if event.index is not None and self.to_bluetoothd(event, event.sender):
                log = self.log(event.index)
                if not event.start:
                    log.stop_asked = True
                elif log.started is not True:
                    log.started = False
        elif kind is ev.DiscoveryResult:
            if event.index is not None and event.status == 0 and self.to_bluetoothd(event, event.receiver):
                self.log(event.index).started = event.start
        elif kind is ev.ScanEnable:
            log = self.log(event.index)
            log.links.event(event, record)
            if record:
                log.scan(event)
            if self.monitor is False or (self.monitor is None and not event.enable):
                log.discovery(event.enable, t)
            elif self.monitor is None:
                # No record of a monitor yet: until one comes, the scan is
                # what discovers (an HCI capture has nothing else).
                log.discovery(True, t)
        elif kind is ev.ControllerAdded:
            log = self.log(event.index)
            log.address, log.name = event.address, event.name
        elif kind is ev.ControllerRemoved:
            if record:
                self.log(event.index).removed_us = t
        elif kind is ev.LogLine:
            if event.release and self.release is None:
                self.release = event.release
        elif kind is ev.SystemNote:
            if event.text.startswith('Linux version') and self.kernel is None:
                self.kernel = event.text.split()[2] if len(event.text.split()) > 2 else event.text

    def too_much(self, t: int) -> bool:
        """Whether the scenario has grown to its limits at time t; if so it
        ends there."""
        size = sum(a.size() for log in self.logs.values() for a in log.advertisers.values())
        if size > BUDGET:
            self.cut_us, self.cut_reason = t, 'its scenario would outgrow %d MiB' % (MAX_BYTES >> 20)
            return True
        starts = [log.periods[0].start_us for log in self.logs.values() if log.periods]
        if starts and t - max(min(starts), self.window_start or 0) >= LONGEST_US:
            self.cut_us, self.cut_reason = t, 'a scenario lasts a day at most'
            return True
        return False

    # -- the scenario -----------------------------------------------------------
    def choose(self) -> Optional[ControllerLog]:
        if self.options.controller is not None:
            found = self.logs.get(self.options.controller)
            if found is None:
                raise ImportFailure('--controller %d: the capture has no controller %d in the time window'
                                    % (self.options.controller, self.options.controller))
            return found
        if not self.logs:
            return None

        def first(log: ControllerLog) -> Any:
            starts = [p.start_us for p in log.periods] + [t for t, _ in log.scans]
            attempts = [a.start_us for address in log.links.addresses()
                        for a in log.links.of(address)]
            return (min(starts) if starts else float('inf'),
                    0 if log.advertisers else 1,
                    min(attempts) if attempts else float('inf'), log.index)
        return min(self.logs.values(), key=first)

    def finish(self) -> None:
        for each in self.logs.values():
            if each.discovering and self.cut_us is not None:
                each.discovery(False, self.cut_us)
        self.chosen = self.choose()
        log = self.chosen
        window_start = self.window_start or 0
        zero = window_start if self.first_us is not None else 0
        as_of_discovery = False
        if log is not None:
            for period in log.periods:
                if period.end_us is None or period.end_us > window_start:
                    zero, as_of_discovery = max(period.start_us, window_start), True
                    break
        self.zero = zero
        release = played(self.release)
        scenario: Dict[str, Any] = {
            'description': 'Imported by bleprobe-sim import from %s: what bluetoothd was given, '
                           'played as heard.' % os.path.basename(self.path),
            'bluez': release,
            'asHeard': True,
            'timeZero': 'firstDiscovery' if as_of_discovery else 'start',
            'adapters': [],
            'peripherals': [],
        }
        if log is None:
            self.scenario = scenario
            return
        adapter: Dict[str, Any] = {'index': log.index}
        if log.address:
            adapter['address'] = log.address
        scenario['adapters'].append(adapter)
        peripherals = []
        connected = {address: log.links.of(address) for address in log.links.addresses()}
        for address, advertiser in log.advertisers.items():
            if not advertiser.reports and address not in connected:
                if advertiser.without_data:
                    self.left_out.append(advertiser)
                continue
            if not self.wanted(address, advertiser.uuids):
                self.filtered_out.append(address)
                continue
            peripherals.append(self.peripheral(advertiser, connected.pop(address, []), zero))
        for address, attempts in connected.items():
            if not self.wanted(address, set()):
                self.filtered_out.append(address)
                continue
            advertiser = log.advertiser(address, attempts[0].address_type)
            peripherals.append(self.peripheral(advertiser, attempts, zero))
        scenario['peripherals'] = peripherals
        timeline = [{'at': round((t - zero) / 1e6, 6), 'event': event}
                    for t, event in log.restarts() if t >= zero]
        if log.removed_us is not None and log.removed_us >= zero:
            timeline.append({'at': round((log.removed_us - zero) / 1e6, 6), 'event': 'adapterRemoved'})
        if timeline:
            scenario['timeline'] = sorted(timeline, key=lambda e: e['at'])
        self.scenario = scenario

    def wanted(self, address: str, uuids: Set[str]) -> bool:
        options = self.options
        if not options.addresses and not options.uuids:
            return True
        return address in options.addresses or bool(options.uuids & uuids)

    def peripheral(self, advertiser: Advertiser, attempts: List[Any], zero: int) -> Dict[str, Any]:
        entry: Dict[str, Any] = {'address': advertiser.address}
        if advertiser.address_type in ('public', 'random'):
            entry['addressType'] = advertiser.address_type
        advertising = advertiser.advertising(zero)
        if attempts:
            first_report = advertiser.first_us
            if first_report is None or attempts[0].start_us < first_report:
                entry['knownFromStart'] = True
        if advertising is not None:
            entry['advertising'] = advertising
        if attempts:
            entry.update(entries(attempts, self.release or played(self.release)))
        return entry

    # -- what the command writes ------------------------------------------------
    def text(self) -> str:
        """The scenario as JSON: a field to a line, a peripheral or an event
        to a line of its own, so that a reader finds a peripheral and a diff
        shows what changed."""
        def compact(value: Any) -> str:
            return json.dumps(value, separators=(',', ':'), ensure_ascii=False)
        fields = []
        for key, value in self.scenario.items():
            if isinstance(value, list) and value:
                items = ',\n    '.join(compact(item) for item in value)
                fields.append('  %s: [\n    %s\n  ]' % (json.dumps(key), items))
            else:
                fields.append('  %s: %s' % (json.dumps(key), compact(value)))
        text = '{\n%s\n}\n' % ',\n'.join(fields)
        self.size = len(text.encode('utf-8'))
        return text

    def summary(self) -> List[str]:
        from .summary import lines
        return lines(self)
