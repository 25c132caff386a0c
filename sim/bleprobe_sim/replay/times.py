"""An advertiser's captured times as a scenario writes them compactly: runs
at a regular interval (advertising.runs) where they reproduce every
captured time within TOLERANCE_US, single times (advertising.at)
elsewhere, and the times at which its data changes (serviceData[].from).

A real advertiser adds a random delay of 0 to 10 ms to every advertising
event, and the delays add up: over n events its times stray from any one
line by about 3 ms × √n, so no single interval holds an hour of them.  Each
run is fitted as the times come, with its first time as its anchor: every
time taken into the run narrows the range of intervals that keep all of
the run's times within FIT_US of anchor + k × interval (k its number in
the run, the numbers in between not heard); a time that would leave the
range empty ends the run, and a new one is anchored on it.  On times that
stray as a real advertiser's do, runs of 30 to 40 advertisements come out
(about 3 bytes of JSON a report); times that do not stray make one run.

The scenario's times keep the captured order: each run or single time
starts after the one before it has ended, by a microsecond at least (a
start may move up to FIT_US later for it), so the report at which the
data changes is given the new data, and the one before it the old.

Times are integers of microseconds of the capture."""

import math
from array import array
from typing import List, Optional, Tuple

# What a scenario time may be off its captured time.
TOLERANCE_US = 10000
# The bound that the fitting keeps to: the interval is written within the
# range that the run allows, the first time to the microsecond, and
# floating point adds nanoseconds at most.
FIT_US = 9500
# The shortest advertising interval a controller allows.
MIN_INTERVAL_US = 20000
# A run of fewer heard advertisements takes more bytes than their times.
MIN_RUN = 6
# The JSON bytes of one time in `at` (a day, to the microsecond, and a
# comma), of a run besides its interval, count and losses, and of one
# number in a run's lose: upper bounds, for the size of the scenario.
AT_BYTES = 13
RUN_BYTES = 48
LOSE_BYTES = 8
LOSE_KEY_BYTES = 10

# A run: its first time (µs), its interval (seconds, as written), its count
# of advertisements, the numbers of those not heard.
Run = Tuple[int, float, int, List[int]]


def interval_seconds(low: float, high: float) -> float:
    """An interval in seconds inside [low, high] µs, with few digits."""
    middle = (low + high) / 2
    for digits in range(6, 13):
        value = round(middle / 1e6, digits)
        if low <= value * 1e6 <= high:
            return value
    return middle / 1e6


class TimeEncoder:
    """add() each time in ascending order (mark() right after it for a
    time at which the data changes), then close(); at, runs and marks
    (the scenario times of the marked ones, in order) are then what the
    scenario writes, and estimate() the bytes of its JSON all along."""

    __slots__ = ('at', 'runs', 'marks', 'size', 'floor', 'anchor', 'low', 'high', 'last',
                 'heard', 'lose', 'short', 'pending', 'previous')

    def __init__(self) -> None:
        self.at = array('q')
        self.runs: List[Run] = []
        self.marks: List[float] = []
        self.size = 0
        # The scenario time of the last time of the segments ended so far.
        self.floor: float = -(1 << 62)
        self.anchor: Optional[int] = None
        self.low = self.high = 0.0
        self.last = 0           # the number in the run of its last time
        self.heard = 0          # times taken into the run
        self.lose: List[int] = []
        # (captured time, number in the run) while the run is shorter than
        # MIN_RUN; the numbers marked in the run under way.
        self.short: List[Tuple[int, int]] = []
        self.pending: List[int] = []
        self.previous = -1

    def add(self, t: int) -> None:
        # Comparisons rather than min() and max(): a long capture adds
        # millions of times.
        if t <= self.previous:
            t = self.previous + 1   # two reports of one microsecond
        self.previous = t
        anchor = self.anchor
        if anchor is None:
            self.start(t)
            return
        gap = t - anchor
        heard = self.heard
        if heard == 1:
            if gap < MIN_INTERVAL_US:
                self.end()
                self.start(t)
                return
            first_low = float(gap - FIT_US)
            self.low = first_low if first_low > MIN_INTERVAL_US else float(MIN_INTERVAL_US)
            self.high, self.last = float(gap + FIT_US), 1
        else:
            low, high, last = self.low, self.high, self.last
            k = int(2 * gap / (low + high) + 0.5)
            if k <= last:
                self.end()
                self.start(t)
                return
            fit_low, fit_high = (gap - FIT_US) / k, (gap + FIT_US) / k
            if fit_low > low:
                low = fit_low
            if fit_high < high:
                high = fit_high
            if low > high:
                self.end()
                self.start(t)
                return
            self.low, self.high = low, high
            if k > last + 1:
                self.lose.extend(range(last + 2, k + 1))
                self.size += LOSE_BYTES * (k - last - 1)
            self.last = k
        heard += 1
        self.heard = heard
        if heard <= MIN_RUN:
            self.short.append((t, self.last))

    def mark(self) -> None:
        """The time added last is one at which the data changes."""
        self.pending.append(self.last if self.heard > 1 else 0)

    def start(self, t: int) -> None:
        # After the segment before, by a microsecond at least: at most
        # FIT_US later than t, for that one ended within FIT_US of a time
        # before t.
        self.anchor = max(t, math.floor(self.floor) + 1)
        self.heard = 1
        self.last = 0
        self.lose = []
        self.short = [(t, 0)]

    def end(self) -> None:
        """The run under way ends: a run if it is long enough, else its
        times one by one."""
        anchor = self.anchor
        if anchor is None:
            return
        if self.heard < MIN_RUN:
            times = {}
            for t, k in self.short:
                time = anchor if k == 0 else max(t, math.floor(self.floor) + 1)
                self.at.append(time)
                self.floor = times[k] = time
            self.size += AT_BYTES * len(self.short) - LOSE_BYTES * len(self.lose)
            self.marks.extend(times[k] for k in self.pending)
        else:
            interval = interval_seconds(self.low, self.high)
            self.runs.append((anchor, interval, self.last + 1, self.lose))
            self.size += RUN_BYTES + len(repr(interval)) + len(str(self.last + 1)) + (
                LOSE_KEY_BYTES if self.lose else 0)
            step = interval * 1e6
            self.floor = anchor + self.last * step
            # A change at a later time than the anchor is written a
            # microsecond early: floating point must not put it after its
            # report.
            self.marks.extend(anchor if k == 0 else math.floor(anchor + k * step) - 1
                              for k in self.pending)
        self.anchor = None
        self.short = []
        self.pending = []

    def close(self) -> None:
        self.end()

    def estimate(self) -> int:
        """The JSON bytes of what has been added so far, the run under way
        counted as a run."""
        return self.size + (RUN_BYTES + 20 if self.anchor is not None else 0)
