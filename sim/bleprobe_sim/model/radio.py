"""What an adapter's controller hears and reports: the kernel's discovery
rounds, the controller's duplicate filter, and the peripherals that
advertise at their own interval.

One rule delivers every advertisement, whether BlueZ lists its peripheral or
not: an advertisement on the air is heard while a round of a discovery runs
(never between two, nor while no discovery runs), then passes the
controller's duplicate filter, and the report that comes out reaches
bluetoothd AppearDelay later.  The filter (the adapter's duplicate_filter)
is reset by each round: `off` lets every advertisement through, `address`
the first of each advertiser in the round, `addressAndData` that one and
each one whose data differs from the advertiser's last report in the round
(duplicate_filter in doc/bluez-behaviour.md).

The kernel ends an LE discovery round after 10.24 s.  bluetoothd then starts
the next one at once when the merged client filters ask more than the
controller's scan type (a filtered discovery), and after IDLE_DISCOV_TIMEOUT
(5 s) when they do not (a plain discovery); the restart itself takes a few
tens of milliseconds in which nothing is heard.  Discovering stays true
throughout.

An adapter that plays a capture as heard (the adapter's as_heard) has what
its controller reported already: one round for the whole discovery, no
filter, no report lost, and each advertisement reported at its own time."""

from typing import Any, Dict, Iterable, List, Optional

DUPLICATE_FILTERS = ('off', 'address', 'addressAndData')
# The discovery log keeps the first reports only: a capture played as heard
# makes thousands a second.
LOGGED_REPORTS = 10000


class Radio:
    def __init__(self, adapter: Any) -> None:
        self.adapter = adapter
        self.world = adapter.world
        # A number that changes whenever discovery stops, so that timers of
        # an old discovery do nothing; the round under way (0: none, or the
        # pause between two); what the duplicate filter has let through in
        # it (address -> the data of its last report); and what happened,
        # for the control interface.
        self.epoch = 0
        self.round = 0
        self.passed: Dict[str, Any] = {}
        self.rounds: List[Dict[str, Any]] = []
        self.reports: List[Dict[str, Any]] = []
        # Peripherals that advertise at their own interval (see advertise_at):
        # address -> {interval, phase, lose, start, count, generation}.
        self.advertisers: Dict[str, Dict[str, Any]] = {}
        self.generation = 0

    def start_round(self, from_idle: bool, paused: bool) -> None:
        self.round = len(self.rounds) + 1
        self.passed = {}
        self.rounds.append({'round': self.round, 'time': self.world.clock.now(),
                            'afterPause': paused, 'filtered': self.adapter.filtered()})
        as_heard = self.adapter.as_heard
        self.hear(first_lost=from_idle and self.world.profile['first_report_lost'] and not as_heard)
        if as_heard:
            return
        epoch = self.epoch
        self.world.later(self.world.round_time, lambda: self.end_round(epoch))

    def end_round(self, epoch: int) -> None:
        if epoch != self.epoch:
            return
        self.round = 0
        paused = not self.adapter.filtered()
        delay = (self.world.round_pause if paused else 0) + self.world.round_restart

        def restart() -> None:
            if epoch == self.epoch:
                self.start_round(False, paused)
        self.world.later(delay, restart)

    def stop_rounds(self) -> None:
        self.epoch += 1
        self.round = 0

    def hear(self, first_lost: bool) -> None:
        """The peripherals that advertise often (the adapter's on_air) are
        heard as a round starts, and those new to the round as they come.
        With first_lost (a discovery started from idle, from 5.82:
        first_report_lost in doc/bluez-behaviour.md), the kernel has not
        completed the start yet when the first report arrives, and
        bluetoothd drops it; the filter has let the advertiser through all
        the same."""
        if not self.round:
            return
        for address in self.adapter.on_air:
            if address in self.passed or address in self.advertisers:
                continue
            if self.heard(address, self.adapter.air_data.get(address), lost=first_lost):
                first_lost = False

    def heard(self, address: str, data: Any, number: Optional[int] = None,
              lost: bool = False) -> bool:
        """An advertisement of `address` carrying `data` (its ServiceData,
        or None) is on the air now; true if the controller reports it."""
        if not self.round:
            return False
        rule = 'off' if self.adapter.as_heard else self.adapter.duplicate_filter
        if rule != 'off' and address in self.passed and (
                rule == 'address' or self.passed[address] == data):
            return False
        self.passed[address] = data
        epoch, current = self.epoch, self.round

        def arrive() -> None:
            if epoch == self.epoch:
                self.report(address, current, lost, number, data)
        if self.adapter.as_heard:
            arrive()
        else:
            self.world.later(self.world.appear_delay, arrive)
        return True

    def report(self, address: str, round_: int, lost: bool, number: Optional[int],
               data: Any) -> None:
        if len(self.reports) < LOGGED_REPORTS:
            entry: Dict[str, Any] = {'round': round_, 'address': address, 'lost': lost}
            if number is not None:
                entry['advertisement'] = number
            self.reports.append(entry)
        if not lost:
            self.adapter.reported(address, data)

    def advertise_at(self, address: str, interval: float, phase: float,
                     lose: Iterable[int]) -> None:
        """The peripheral advertises every `interval` s, the first time
        `phase` s from now; its advertisements numbered in `lose` (from 1)
        are lost in the air, whatever the release or the discovery."""
        self.generation += 1
        self.advertisers[address] = {'interval': interval, 'phase': phase, 'lose': set(lose),
                                     'start': self.world.clock.now(), 'count': 0,
                                     'generation': self.generation}
        self.schedule(address)

    def silence(self) -> None:
        self.advertisers.clear()

    def schedule(self, address: str) -> None:
        radio = self.advertisers[address]
        generation = radio['generation']
        due = radio['start'] + radio['phase'] + radio['count'] * radio['interval']
        self.world.later(max(0.0, due - self.world.clock.now()),
                         lambda: self.advertised(address, generation))

    def advertised(self, address: str, generation: int) -> None:
        radio = self.advertisers.get(address)
        if not radio or radio['generation'] != generation:
            return
        radio['count'] += 1
        number = radio['count']
        self.schedule(address)
        if number not in radio['lose'] and address in self.adapter.on_air:
            self.heard(address, self.adapter.air_data.get(address), number)
