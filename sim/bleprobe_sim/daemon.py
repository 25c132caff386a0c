"""The simulated bluetoothd alone, on a bus that is already there:

    python3 -m bleprobe_sim.daemon --address unix:path=/tmp/bus [--scenario FILE] [--profile 5.82]

It prints READY on stdout once it owns its names, and runs until SIGTERM or
SIGINT, or until the bus goes away.  A fault of the simulation ends it with
one line on stderr and status 70."""

import argparse
import os
import signal
import sys

from .player import Player
from .profiles import DEFAULT_PROFILE, PROFILES
from .scenario import ScenarioError, load
from .simulation import Simulation, fault_message

FAULT_STATUS = 70


def main(argv=None):
    parser = argparse.ArgumentParser(prog='bleprobe_sim.daemon',
                                     description=__doc__.split('\n\n')[0])
    parser.add_argument('--address', default=os.environ.get('DBUS_SYSTEM_BUS_ADDRESS'),
                        help='bus address (default: $DBUS_SYSTEM_BUS_ADDRESS)')
    parser.add_argument('--scenario', default='empty',
                        help='a scenario file to play, or "empty": no adapter, nothing in '
                             'range (default), or "demo": demo.json')
    parser.add_argument('--profile', choices=sorted(PROFILES),
                        help="the bluetoothd release to play (default: the scenario's, else %s)"
                             % DEFAULT_PROFILE)
    args = parser.parse_args(argv)
    if not args.address:
        parser.error('no bus address')

    from gi.repository import GLib
    scenario = {}
    if args.scenario != 'empty':
        name = args.scenario
        if name == 'demo':
            name = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'demo.json')
        try:
            scenario = load(name)
        except ScenarioError as e:
            parser.exit(2, '%s: %s\n' % (parser.prog, e))
    loop = GLib.MainLoop()
    sim = Simulation(args.address, args.profile or scenario.get('bluez', DEFAULT_PROFILE))
    sim.on_fault = lambda _exc: loop.quit()
    # The scenario's starting state is set before the names are owned, and
    # time zero comes once they are.
    try:
        player = Player(sim, scenario)
        sim.own_names()
        player.start()
    except Exception as exc:
        sim.fail(exc)
    for signum in (signal.SIGTERM, signal.SIGINT):
        GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signum, loop.quit)
    # The daemon going away ends the simulation too.
    sim.control_bus.call_on_disconnection(lambda _conn: loop.quit())
    # A quit asked for before the loop runs would be lost.
    if sim.fault is None:
        print('READY', flush=True)
        loop.run()
    if sim.fault is not None:
        sys.stderr.write('%s: %s\n' % (parser.prog, fault_message(sim.fault)))
        return FAULT_STATUS
    return 0


if __name__ == '__main__':
    sys.exit(main())
