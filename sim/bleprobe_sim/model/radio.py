"""What an adapter's controller hears: the kernel's discovery rounds and the
peripherals that advertise at their own interval.

The kernel ends an LE discovery round after 10.24 s.  bluetoothd then starts
the next one at once when the merged client filters ask more than the
controller's scan type (a filtered discovery), and after IDLE_DISCOV_TIMEOUT
(5 s) when they do not (a plain discovery); the restart itself takes a few
tens of milliseconds in which nothing is heard.  Discovering stays true
throughout.  The controller's duplicate filter stays on whatever
DuplicateData says and lets each advertiser through once per round: a
peripheral whose report was lost by the kernel is not heard again before
the next round starts."""

from typing import Any, Dict, Iterable, List, Set


class Radio:
    def __init__(self, adapter: Any) -> None:
        self.adapter = adapter
        self.world = adapter.world
        # A number that changes whenever discovery stops, so that timers of
        # an old discovery do nothing; the round under way (0: none, or the
        # pause between two); the advertisers the duplicate filter has let
        # through in it; and what happened, for the control interface.
        self.epoch = 0
        self.round = 0
        self.heard: Set[str] = set()
        self.rounds: List[Dict[str, Any]] = []
        self.reports: List[Dict[str, Any]] = []
        # Peripherals that advertise at their own interval (see advertise_at):
        # address -> {interval, phase, lose, start, count, generation}.  The
        # others advertise so often that a round hears them as it starts.
        self.advertisers: Dict[str, Dict[str, Any]] = {}
        self.generation = 0

    def start_round(self, from_idle: bool, paused: bool) -> None:
        self.round = len(self.rounds) + 1
        self.heard = set()
        self.rounds.append({'round': self.round, 'time': self.world.clock.now(),
                            'afterPause': paused, 'filtered': self.adapter.filtered()})
        self.hear(first_lost=from_idle and self.world.profile['first_report_lost'])
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
        """Each advertiser not yet let through in this round is reported
        AppearDelay later.  With first_lost (a discovery started from idle,
        from 5.82: first_report_lost in doc/bluez-behaviour.md), the kernel
        has not completed the start yet when the first report arrives, and
        bluetoothd drops it."""
        if not self.round:
            return
        for address in self.adapter.on_air:
            if address in self.heard or address in self.advertisers:
                continue
            self.heard.add(address)
            self.report_later(address, first_lost)
            first_lost = False

    def report_later(self, address: str, lost: bool, advertisement: Any = None) -> None:
        epoch, current = self.epoch, self.round

        def arrive() -> None:
            if epoch == self.epoch:
                self.report(address, current, lost, advertisement)
        self.world.later(self.world.appear_delay, arrive)

    def report(self, address: str, round_: int, lost: bool, advertisement: Any) -> None:
        entry: Dict[str, Any] = {'round': round_, 'address': address, 'lost': lost}
        if advertisement is not None:
            entry['advertisement'] = advertisement
        self.reports.append(entry)
        if not lost:
            self.adapter.reported(address)

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
        # Heard only while a round runs, and once per round.
        if (number in radio['lose'] or not self.round or address in self.heard
                or address not in self.adapter.on_air):
            return
        self.heard.add(address)
        self.report_later(address, False, number)
