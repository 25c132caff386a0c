#!/usr/bin/python3
"""How fast the simulation plays a capture as heard: a synthetic `btmon -w`
capture (capture_bench.py's, with every advertiser's own delay of 0 to
10 ms) of --advertisers at --rate reports/s for --seconds is imported with
`bleprobe-sim import` and played by the simulation, as `bleprobe-sim serve`
plays it, in this process on a private bus; a client process starts
discovering as bleprobe does (DuplicateData, so that every report is a
signal).  A report's lateness is measured twice: as the simulation sends
it (its clock against the scenario's time zero and the report's time),
and as dbus-monitor, on the same bus, receives its signal (against the
adapter's Discovering signal, which comes just before time zero).  The
figures: reports a second, lateness (median, 99th percentile, maximum) at
either end, the reports later than 50 ms, the simulation's CPU.  A figure,
not a test."""

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
sys.path[:0] = [os.path.join(REPO, 'sim'), os.path.join(REPO, 'tests'), HERE]

import capture_bench  # noqa: E402
from bleprobe_sim import player as players  # noqa: E402
from bleprobe_sim.bus import PrivateBus  # noqa: E402
from bleprobe_sim.replay import Options, import_capture  # noqa: E402
from bleprobe_sim.waiting import stop_process  # noqa: E402

LATE = 0.050
# The advertisers' delays take the last reports a little past --seconds.
PAST_THE_END = 3.0
# The client: what bleprobe asks before it scans, then it stays on the bus.
CLIENT = """
import sys, time, dbus
bus = dbus.bus.BusConnection(sys.argv[1])
adapter = dbus.Interface(bus.get_object('org.bluez', '/org/bluez/hci0'), 'org.bluez.Adapter1')
adapter.SetDiscoveryFilter(dbus.Dictionary({'Transport': 'le', 'DuplicateData': True}, signature='sv'))
adapter.StartDiscovery()
time.sleep(float(sys.argv[2]))
"""


def scheduled(scenario):
    """Each device's report times in the scenario, in order."""
    times = {}
    for peripheral in scenario['peripherals']:
        advertising = peripheral['advertising']
        own = list(advertising.get('at', []))
        for run in advertising.get('runs', []):
            lose = set(run.get('lose', []))
            own += [run['firstAt'] + n * run['interval'] for n in range(run['count']) if n + 1 not in lose]
        path = '/org/bluez/hci0/dev_' + peripheral['address'].replace(':', '_')
        times[path] = sorted(own)
    return times


def play(scenario, seconds, log):
    """Plays the scenario while a client discovers for `seconds`; the
    simulation's own lateness of each report sent, and its CPU seconds."""
    from gi.repository import GLib
    from bleprobe_sim.simulation import Simulation
    bus = PrivateBus()
    monitor = client = None
    sent = []
    try:
        sim = Simulation(bus.address, players.profile(scenario))
        player = players.Player(sim, scenario)
        advertise = player.advertise

        def timed(p, t):
            sent.append(sim.clock.now() - player.zero - t)
            advertise(p, t)
        player.advertise = timed
        sim.own_names()
        player.start()
        monitor = subprocess.Popen(['dbus-monitor', '--address', bus.address, '--profile'], stdout=log)
        loop = GLib.MainLoop()
        GLib.timeout_add(1000, lambda: bool(client is None and starting()))

        def starting():
            nonlocal client
            client = subprocess.Popen([sys.executable, '-c', CLIENT, bus.address,
                                       str(seconds + PAST_THE_END)])
            GLib.child_watch_add(GLib.PRIORITY_DEFAULT, client.pid, lambda *_: loop.quit())
            return False
        cpu = time.process_time()
        loop.run()
        cpu = time.process_time() - cpu
    finally:
        for process in (client, monitor):
            if process is not None:
                stop_process(process)
        bus.close()
    return sent, cpu


def received(lines, times):
    """The lateness of each report after each device's first as dbus-monitor
    received its signal."""
    zero = None
    seen = {}
    late = []
    for line in lines:
        fields = line.split('\t')
        if len(fields) < 8 or fields[0] != 'sig' or fields[7] != 'PropertiesChanged':
            continue
        stamp, path = float(fields[1]), fields[5]
        if path == '/org/bluez/hci0':
            zero = stamp if zero is None else zero
        elif path in times and zero is not None:
            # A device's first report announces it (InterfacesAdded); the
            # signals that follow are its reports from the second on.
            n = seen[path] = seen.get(path, 0) + 1
            if n < len(times[path]):
                late.append(stamp - zero - times[path][n])
    return late


def row(what, late, seconds, cpu):
    late = sorted(late)
    return '| %s | %d | %.0f | %.1f ms | %.1f ms | %.1f ms | %d | %s |' % (
        what, len(late), len(late) / seconds, statistics.median(late) * 1000,
        late[int(len(late) * 0.99)] * 1000, late[-1] * 1000, sum(1 for x in late if x > LATE), cpu)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--seconds', type=int, default=60)
    parser.add_argument('--advertisers', type=int, default=200)
    parser.add_argument('--rate', type=int, default=10, help='reports per second per advertiser')
    parser.add_argument('--keep', metavar='DIR', help='keep the capture, scenario and monitor log in DIR')
    args = parser.parse_args()
    directory = args.keep or tempfile.mkdtemp(prefix='replay-bench-')
    os.makedirs(directory, exist_ok=True)
    try:
        capture = os.path.join(directory, 'capture.btsnoop')
        capture_bench.synthesize(capture, args.seconds, args.advertisers, args.rate, jitter=True)
        text = import_capture(capture, Options()).text()
        with open(os.path.join(directory, 'scenario.json'), 'w') as f:
            f.write(text)
        scenario = json.loads(text)
        times = scheduled(scenario)
        total = sum(map(len, times.values()))
        print('scenario: %d peripherals, %d reports in %d s (%.0f/s), %.2f MiB' % (
            len(times), total, args.seconds, total / args.seconds, len(text) / 2**20))
        print('load average before: %.2f %.2f %.2f' % os.getloadavg())
        with open(os.path.join(directory, 'monitor.log'), 'w') as log:
            sent, cpu = play(scenario, args.seconds, log)
        with open(os.path.join(directory, 'monitor.log')) as log:
            heard = received(log.read().splitlines(), times)
        print('load average after: %.2f %.2f %.2f' % os.getloadavg())
        print()
        print('| lateness | reports | a second | median | 99th percentile | max | over 50 ms '
              '| simulation CPU |')
        print('|---|---|---|---|---|---|---|---|')
        share = '%.0f %% of a core' % (100 * cpu / (args.seconds + PAST_THE_END))
        print(row('as the simulation sends it', sent, args.seconds, share))
        print(row("as dbus-monitor receives it", heard, args.seconds, ''))
    finally:
        if not args.keep:
            shutil.rmtree(directory, ignore_errors=True)


if __name__ == '__main__':
    main()
