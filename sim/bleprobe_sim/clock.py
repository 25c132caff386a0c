"""The simulation's sense of time.  Every delay of the model goes through a
clock: GLibClock runs it on the daemon's main loop, FakeClock lets a test
step through milliseconds without a bus or a sleep.  Both take delays in
seconds and answer now() in seconds; a timer callback that raises is a
fault of the simulation, handed to on_fault instead of being lost in the
main loop's stderr."""

import heapq
import itertools
import time
from typing import Any, Callable, List, Optional, Set, Tuple

# Whatever later() answers; only cancel() looks inside.
Handle = Any


def raise_fault(exc: BaseException) -> None:
    raise exc


class GLibClock:
    """Timers on the GLib main loop, against the monotonic clock."""

    def __init__(self) -> None:
        self.on_fault: Callable[[BaseException], None] = raise_fault
        self.pending: Set[int] = set()

    def now(self) -> float:
        return time.monotonic()

    def later(self, delay: float, fn: Callable[[], Any]) -> Handle:
        from gi.repository import GLib

        def run() -> bool:
            self.pending.discard(ident)
            try:
                fn()
            except Exception as exc:
                self.on_fault(exc)
            return False
        ident = GLib.timeout_add(max(0, int(delay * 1000)), run)
        self.pending.add(ident)
        return ident

    def cancel(self, handle: Optional[Handle]) -> None:
        from gi.repository import GLib
        if handle in self.pending:
            self.pending.discard(handle)
            GLib.source_remove(handle)


class FakeClock:
    """Time that moves only when a test says so, in whole milliseconds.
    Timers due at the same millisecond run in the order they were set, as
    GLib runs timeouts of equal expiry."""

    def __init__(self) -> None:
        self.ms = 0
        self.on_fault: Callable[[BaseException], None] = raise_fault
        self.queue: List[Tuple[int, int, Callable[[], Any]]] = []
        self.cancelled: Set[int] = set()
        self.counter = itertools.count()

    def now(self) -> float:
        return self.ms / 1000

    def later(self, delay: float, fn: Callable[[], Any]) -> Handle:
        ident = next(self.counter)
        heapq.heappush(self.queue, (self.ms + max(0, round(delay * 1000)), ident, fn))
        return ident

    def cancel(self, handle: Optional[Handle]) -> None:
        if handle is not None:
            self.cancelled.add(handle)

    def advance(self, ms: int) -> None:
        """Runs every timer due within the next `ms` milliseconds, each at
        its own time."""
        end = self.ms + ms
        while self.queue and self.queue[0][0] <= end:
            due, ident, fn = heapq.heappop(self.queue)
            self.ms = due
            if ident in self.cancelled:
                self.cancelled.discard(ident)
                continue
            try:
                fn()
            except Exception as exc:
                self.on_fault(exc)
        self.ms = end
