"""A controller's connection attempts as the capture shows them, one per LE
Create Connection in order: how each ended (the status of LE Connection
Complete, or of the command itself), the read of the Serial Number String
(0x2A25) on its link (the value, or the ATT error), and how the link ended
(the reason of Disconnection Complete, after the host's Disconnect or not);
and the scenario's connection and gatt entries made of them, one per
attempt, which replay each as BlueZ answered it (releases.py)."""

from typing import Any, Dict, List, Optional, Tuple

from ..capture import events as ev
from ..capture.ad import uuid16
from .releases import connect_error, hci_status, read_error

SERIAL_NUMBER = uuid16(0x2A25)
CREATE_COMMANDS = (0x200D, 0x2043)
# Disconnection Complete's reason when the host ended the link.
LOCAL_HOST = 0x16
# bleprobe reads the serial number once BlueZ has resolved the services and
# it has read the object tree: the resolution is put this long before the
# read that the capture shows.
READ_AFTER_RESOLVED = 0.005
# A capture shows when the host's Disconnect reached the controller, not
# when a program asked bluetoothd for it: bluetoothd sends it this long
# after Device1.Disconnect (DISCONNECT_TIMER in src/device.c; slow-disconnect
# in doc/bluez-behaviour.md), which a link the host ended plays again.
BLUETOOTHD_DISCONNECT_DELAY = 2.0
# A device that does not advertise is not connected to at all: the kernel
# scans for it with its accept list, gives up after its connect timeout of
# 40 s and stops that scan (connect-waits-for-advertisement in
# doc/bluez-behaviour.md).  6.12 then tells bluetoothd in a Connect Failed;
# 6.1 tells it nothing that a capture shows, so a scan for the accept list
# that ran this long without a link is taken for that timeout.
GAVE_UP_AFTER_US = 39_000_000
# The kernel sends Create Connection right after it stops the scan that
# heard the device (0.3 to 11 ms in the end-to-end VM).
SCAN_TO_CREATE_US = 50_000
# Scan filter policies that take only the accept list's advertisers.
ACCEPT_LIST_POLICIES = (1, 3)


def duration(start_us: int, end_us: int) -> float:
    return round(max(0, end_us - start_us) / 1e6, 3)


class Attempt:
    def __init__(self, address: str, address_type: str, start_us: int) -> None:
        self.address = address
        self.address_type = address_type
        self.start_us = start_us
        self.status: Optional[int] = None       # of the attempt: 0 a link
        self.done_us: Optional[int] = None      # when it succeeded or failed
        self.cancelled = False
        self.read: Optional[ev.AttRead] = None
        self.unknown_reads = 0
        self.disconnect_us: Optional[int] = None
        self.end_us: Optional[int] = None
        self.reason: Optional[int] = None
        self.never_heard = False                # the kernel gave up scanning for it

    def connection(self, release: str) -> Dict[str, Any]:
        """This attempt's entry of the scenario's connection list."""
        if self.status is None:
            return {'outcome': 'neverCompletes'}
        assert self.done_us is not None
        delay = duration(self.start_us, self.done_us)
        if self.status:
            error, message = connect_error(release)
            return {'outcome': 'fails', 'delay': delay, 'error': error, 'errorMessage': message}
        entry: Dict[str, Any] = {'outcome': 'succeeds', 'delay': delay}
        if self.read is not None:
            entry['servicesResolvedAfter'] = max(
                0.0, round(duration(self.done_us, self.read.request_time_us) - READ_AFTER_RESOLVED, 3))
        elif self.end_us is not None and self.disconnect_us is None:
            entry['servicesResolvedAfter'] = None   # lost before the read
        if self.end_us is not None:
            if self.disconnect_us is not None and self.disconnect_us <= self.end_us:
                entry['disconnectDelay'] = round(
                    BLUETOOTHD_DISCONNECT_DELAY + duration(self.disconnect_us, self.end_us), 3)
            else:
                entry['linkLostAfter'] = duration(self.done_us, self.end_us)
        return entry

    def gatt(self, value: Optional[bytes]) -> Dict[str, Any]:
        """This attempt's entry of the gatt list; value: the serial number
        that some attempt read, for the attempts that read none."""
        read = self.read
        entry: Dict[str, Any] = {}
        if read is not None and read.value is not None:
            value = read.value
        if value is not None:
            entry.update(serial_field(value))
        else:
            entry['serialNumber'] = ''
        if read is None or read.value is not None:
            return entry
        if read.error is None:
            # No answer before the link ended: the read waits with it.
            entry['serialNumberRead'] = 'neverAnswers'
            return entry
        name, message = read_error(read.error)
        entry.update({'serialNumberRead': 'fails', 'readError': name, 'readErrorMessage': message})
        return entry

    def describe(self) -> str:
        """One line of the summary."""
        if self.status is None:
            return 'never completed' + (' (cancelled)' if self.cancelled else '')
        assert self.done_us is not None
        if self.never_heard:
            return 'not heard: the kernel gave up after %.3f s' % ((self.done_us - self.start_us) / 1e6)
        if self.status:
            return 'failed after %.3f s, status %s' % ((self.done_us - self.start_us) / 1e6,
                                                       hci_status(self.status))
        words = ['up after %.3f s' % ((self.done_us - self.start_us) / 1e6)]
        if self.read is not None:
            if self.read.value is not None:
                words.append('serial number read: %r' % self.read.value)
            elif self.read.error is not None:
                words.append('serial number read: ATT error 0x%02x' % self.read.error)
            else:
                words.append('serial number read unanswered')
        if self.unknown_reads:
            words.append('%d reads of attributes the capture does not name' % self.unknown_reads)
        if self.end_us is None:
            words.append('up at the end')
        elif self.disconnect_us is not None and self.disconnect_us <= self.end_us:
            words.append('ended by the host')
        else:
            words.append('ended %.3f s after it came up, reason %s' % (
                (self.end_us - self.done_us) / 1e6, hci_status(self.reason or 0)))
        return ', '.join(words)


def serial_field(value: bytes) -> Dict[str, str]:
    if all(0x20 <= b < 0x7F for b in value):
        return {'serialNumber': value.decode('ascii')}
    return {'serialNumberHex': value.hex().upper()}


class Links:
    """A controller's connection attempts, fed its events in order."""

    def __init__(self) -> None:
        self.attempts: Dict[str, List[Attempt]] = {}
        self.pending: Dict[str, Attempt] = {}
        self.last: Optional[Attempt] = None
        self.accept_list_us: Optional[int] = None
        self.handles: Dict[int, Attempt] = {}
        self.peripheral_role = 0
        self.accept_list: Dict[str, str] = {}     # address -> its type
        self.accept_list_scan = False              # the scan parameters set
        self.scan_us: Optional[int] = None         # a scan for the accept list began
        self.last_scan: Tuple[int, int] = (0, -SCAN_TO_CREATE_US - 1)   # the last one's start, end

    def event(self, event: Any, record: bool) -> None:
        """record: the event is in the time window."""
        kind = type(event)
        if kind is ev.CreateConnection:
            if event.accept_list:
                self.accept_list_us = event.time_us
            elif record:
                self.last = self.pending[event.address] = Attempt(event.address, event.address_type,
                                                                  self.heard_from(event))
        elif kind is ev.CommandResult:
            if event.opcode in CREATE_COMMANDS and event.status and self.last is not None \
                    and self.last.status is None:
                self.finish(self.last, event.status, event.time_us)
        elif kind is ev.CreateConnectionCancel:
            if self.last is not None and self.last.status is None:
                self.last.cancelled = True
        elif kind is ev.ConnectionComplete:
            self.connected(event, record)
        elif kind is ev.AttRead:
            attempt = self.handles.get(event.handle)
            if attempt is None:
                return
            if event.uuid == SERIAL_NUMBER:
                attempt.read = event
            elif event.uuid is None:
                attempt.unknown_reads += 1
        elif kind is ev.Disconnect:
            attempt = self.handles.get(event.handle)
            if attempt is not None:
                attempt.disconnect_us = event.time_us
        elif kind is ev.DisconnectionComplete:
            if event.status == 0:
                attempt = self.handles.pop(event.handle, None)
                if attempt is not None:
                    attempt.end_us, attempt.reason = event.time_us, event.reason
        elif kind is ev.AcceptList:
            if event.change == 'clear':
                self.accept_list.clear()
            elif event.change == 'add':
                self.accept_list[event.address] = event.address_type
            else:
                self.accept_list.pop(event.address, None)
        elif kind is ev.ScanParameters:
            self.accept_list_scan = event.filter_policy in ACCEPT_LIST_POLICIES
        elif kind is ev.ScanEnable:
            self.scanned(event, record)
        elif kind is ev.ConnectFailed:
            if event.receiver not in (None, 'bluetoothd') or not record or event.address in self.pending \
                    or any(a.address == event.address for a in self.handles.values()):
                return
            last = self.of(event.address)
            if not last or last[-1].done_us != event.time_us:   # once, whatever the sockets
                self.not_heard(event.address, event.address_type, event.time_us)

    def scanned(self, event: Any, record: bool) -> None:
        """A scan for the accept list that ends without a link after the
        kernel's connect timeout was one for a device never heard: the one
        device of the list without a link, if it has one such."""
        if event.enable:
            if self.accept_list_scan and self.scan_us is None:
                self.scan_us = event.time_us
            return
        start, self.scan_us = self.scan_us, None
        if start is not None:
            self.last_scan = (start, event.time_us)
        if start is None or not record or event.time_us - start < GAVE_UP_AFTER_US:
            return
        linked = {a.address for a in self.handles.values()}
        waiting = [address for address in self.accept_list if address not in linked]
        if len(waiting) == 1 and waiting[0] not in self.pending:
            last = self.of(waiting[0])
            if not last or last[-1].done_us is None or last[-1].done_us < start:
                self.not_heard(waiting[0], self.accept_list[waiting[0]], event.time_us, start)

    def heard_from(self, event: Any) -> int:
        """When the attempt that this Create Connection makes began: the
        kernel first scans for a device on its accept list and creates the
        connection once it hears it, so an attempt waits for the device's
        next advertisement, which the scan shows."""
        start, end = self.last_scan
        if self.scan_us is None and event.address in self.accept_list \
                and 0 <= event.time_us - end <= SCAN_TO_CREATE_US:
            return start
        return event.time_us

    def not_heard(self, address: str, address_type: str, time_us: int,
                  start_us: Optional[int] = None) -> None:
        if start_us is None:
            start_us = self.scan_us if self.scan_us is not None else time_us
        attempt = Attempt(address, address_type, start_us)
        attempt.never_heard = True
        self.attempts.setdefault(address, []).append(attempt)
        # Connect fails as any failed LE connection does (releases.py)
        attempt.status, attempt.done_us = 0x3E, time_us

    def connected(self, event: Any, record: bool) -> None:
        if event.role != 0:
            if record:
                self.peripheral_role += 1
            return
        attempt = self.pending.get(event.address)
        if attempt is None or attempt.status is not None:
            if not record:
                return
            # A connection to the accept list (the kernel's background
            # connection to a device BlueZ connects by itself).
            attempt = Attempt(event.address, event.address_type,
                              self.accept_list_us if self.accept_list_us is not None else event.time_us)
            self.attempts.setdefault(event.address, []).append(attempt)
        self.finish(attempt, event.status, event.time_us)
        if event.status == 0:
            self.handles[event.handle] = attempt

    def finish(self, attempt: Attempt, status: int, time_us: int) -> None:
        attempt.status, attempt.done_us = status, time_us
        if self.pending.get(attempt.address) is attempt:
            del self.pending[attempt.address]
            self.attempts.setdefault(attempt.address, []).append(attempt)

    def of(self, address: str) -> List[Attempt]:
        """The attempts to address in order, those never completed included."""
        done = list(self.attempts.get(address, []))
        pending = self.pending.get(address)
        if pending is not None:
            done.append(pending)
        return sorted(done, key=lambda a: a.start_us)

    def addresses(self) -> List[str]:
        return sorted(set(self.attempts) | set(self.pending))


def entries(attempts: List[Attempt], release: str) -> Dict[str, Any]:
    """The peripheral's connection and gatt fields for its attempts: one
    object for a single attempt, a list for several."""
    connections = [a.connection(release) for a in attempts]
    values = [a.read.value for a in attempts if a.read is not None and a.read.value is not None]
    gatts = [a.gatt(values[0] if values else None) for a in attempts]
    if len(attempts) == 1:
        return {'connection': connections[0], 'gatt': gatts[0]}
    return {'connection': connections, 'gatt': gatts}
