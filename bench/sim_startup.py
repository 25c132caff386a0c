#!/usr/bin/python3
"""How long `bleprobe-sim run` takes to have its bus and simulated bluetoothd
up: the time from its exec to COMMAND running (COMMAND writes one byte at
once), and to its exit after COMMAND ends (teardown included), median of N.
Beside it, the cheapest thing it has to do anyway: a bare dbus-daemon
started until it prints its address, and the bare COMMAND.  A figure, not a
test."""

import argparse
import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SIM = os.path.join(os.path.dirname(HERE), 'sim')
sys.path.insert(0, SIM)

from bleprobe_sim import bus as sim_bus  # noqa: E402

COMMAND = ['sh', '-c', 'echo up']


def first_line_and_exit(argv):
    """Seconds from spawn to the first line on stdout, and to the exit."""
    start = time.monotonic()
    process = subprocess.Popen(argv, stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
    process.stdout.readline()
    up = time.monotonic() - start
    process.stdout.read()
    if process.wait() != 0:
        raise SystemExit('%s failed' % argv)
    return up, time.monotonic() - start


def bare_bus():
    start = time.monotonic()
    bus = sim_bus.PrivateBus()
    up = time.monotonic() - start
    bus.close()
    return up, time.monotonic() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--runs', type=int, default=21)
    parser.add_argument('--scenario', default=os.path.join(SIM, 'bleprobe_sim', 'demo.json'))
    args = parser.parse_args()

    runs = {'bleprobe-sim run': [], 'dbus-daemon alone': [], 'COMMAND alone': []}
    sim = [os.path.join(SIM, 'bleprobe-sim'), 'run', args.scenario, '--'] + COMMAND
    for _ in range(args.runs):
        # Interleaved, so that a change in the machine's load hits all three.
        runs['bleprobe-sim run'].append(first_line_and_exit(sim))
        runs['dbus-daemon alone'].append(bare_bus())
        runs['COMMAND alone'].append(first_line_and_exit(COMMAND))

    print('median of %d runs, scenario %s' % (args.runs, os.path.basename(args.scenario)))
    print('%-20s %12s %12s' % ('', 'up (ms)', 'ended (ms)'))
    for name, samples in runs.items():
        print('%-20s %12.1f %12.1f' % (name, 1000 * statistics.median(s[0] for s in samples),
                                       1000 * statistics.median(s[1] for s in samples)))


if __name__ == '__main__':
    main()
