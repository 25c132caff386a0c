"""What one controller did in a capture, gathered as its events come: its
discoveries and their duplicate filter, the advertisers bluetoothd was
given reports of, the reports the kernel dropped, and its connection
attempts (connections.py).

Which reports bluetoothd was given: in a monitor capture, the Device Found
events sent to bluetoothd's management socket while the controller
discovered (capture/__init__.py says how they pair with the controller's
advertising reports: a report whose Device Found never came, while
discovery was on, was dropped by the kernel).  A capture of HCI traffic
alone has no Device Found and no discovery: there every advertising report
while the controller scans counts as given, and the scans count as its
discoveries."""

from typing import Any, Dict, List, Optional, Tuple

from .advertisers import Advertiser
from .connections import Links

# A report's Device Found comes right after it, or once its scan response
# or another advertiser's report comes: one still waiting this long after
# it is dropped, and is counted so, which keeps the waiting ones few in a
# crowd of advertisers that come and go.
WAITING_US = 10000000
# Advertisers of which bluetoothd was given nothing are kept apart up to
# this many (a crowd of rotating private addresses makes no end of them).
UNHEARD = 10000

# A discovery that bluetoothd stopped (mgmt Stop Discovery) and that a new
# one follows this soon: a program that was still discovering started it
# again, which bleprobe does 0.5 s after its discovery ended under it
# (discovery-ended-under-us in doc/bluez-behaviour.md) ...
RESTART_WINDOW_US = 1500000
# ... unless it follows sooner than any program would: bluetoothd started it
# again itself, for the programs still discovering (discovery-restarted-at-once).
BLUETOOTHD_RESTART_US = 250000


class Period:
    """A discovery: from start_us to end_us (None while it runs); stopped:
    bluetoothd asked for its end (else the kernel ended the round)."""

    def __init__(self, start_us: int) -> None:
        self.start_us = start_us
        self.end_us: Optional[int] = None
        self.stopped = False


class ControllerLog:
    def __init__(self, index: int) -> None:
        self.index = index
        self.address: Optional[str] = None
        self.name: Optional[str] = None
        self.discovering = False
        self.stop_asked = False
        # Whether bluetoothd counts its discovery as started, which it does
        # from the kernel's answer to its Start Discovery on until its Stop
        # Discovery is answered (None: the capture has not shown either).
        self.started: Optional[bool] = None
        self.periods: List[Period] = []
        self.first_scan_us: Optional[int] = None
        # (time, Filter_Duplicates) of each scan start.
        self.scans: List[Tuple[int, int]] = []
        self.advertisers: Dict[str, Advertiser] = {}
        # address -> the time of its report still waiting for its Device Found
        self.waiting: Dict[str, int] = {}
        self.reports_off = 0     # HCI reports while no discovery ran
        # The times of the reports dropped of advertisers that bluetoothd
        # was given nothing of so far (theirs once it is), and the count of
        # those beyond UNHEARD advertisers.
        self.unheard: Dict[str, List[int]] = {}
        self.unheard_drops = 0
        self.found_off = 0       # Device Found while no discovery ran (not played)
        self.links = Links()
        self.removed_us: Optional[int] = None

    def advertiser(self, address: str, address_type: str) -> Advertiser:
        found = self.advertisers.get(address)
        if found is None:
            found = self.advertisers[address] = Advertiser(address, address_type)
            for time_us in self.unheard.pop(address, ()):
                found.drop(time_us)
        return found

    def discovery(self, on: bool, time_us: int) -> None:
        if on == self.discovering:
            return
        self.discovering = on
        if on:
            self.periods.append(Period(time_us))
        else:
            period = self.periods[-1]
            period.end_us, period.stopped = time_us, self.stop_asked
            self.flush_waiting()
        self.stop_asked = False

    def flush_waiting(self) -> None:
        """The end of a discovery: no Device Found comes for a report any more."""
        for address, time_us in self.waiting.items():
            self.advertisers_drop(address, time_us)
        self.waiting = {}

    def advertisers_drop(self, address: str, time_us: int) -> None:
        advertiser = self.advertisers.get(address)
        if advertiser is not None:
            advertiser.drop(time_us)
            return
        drops = self.unheard.get(address)
        if drops is not None:
            drops.append(time_us)
        elif len(self.unheard) < UNHEARD:
            self.unheard[address] = [time_us]
        else:
            self.unheard_drops += 1

    def forget_waiting(self, now_us: int) -> None:
        """The reports waiting longer than WAITING_US are dropped."""
        late = [(a, t) for a, t in self.waiting.items() if now_us - t > WAITING_US]
        for address, time_us in late:
            del self.waiting[address]
            self.advertisers_drop(address, time_us)

    def scan(self, event: Any) -> None:
        if event.enable:
            if self.first_scan_us is None:
                self.first_scan_us = event.time_us
            self.scans.append((event.time_us, event.filter_duplicates))

    def restarts(self) -> List[Tuple[int, str]]:
        """The discoveries that bluetoothd stopped and that started again
        soon, as the scenario's timeline carries them: (time, event), where
        discoveryStopped is another program's stop under a program that
        then started again, and discoveryRestarted bluetoothd's own start
        again at once."""
        return [(p.end_us, 'discoveryRestarted' if after.start_us - p.end_us < BLUETOOTHD_RESTART_US
                 else 'discoveryStopped')
                for p, after in zip(self.periods, self.periods[1:])
                if p.stopped and p.end_us is not None
                and after.start_us - p.end_us <= RESTART_WINDOW_US]

    def zero(self) -> Optional[int]:
        return self.periods[0].start_us if self.periods else None
