"""bleprobe-sim: a simulated bluetoothd on a private system bus, for testing
programs that run bleprobe on machines without Bluetooth.

usage: bleprobe-sim run SCENARIO -- COMMAND [ARGS...]
       bleprobe-sim serve SCENARIO

run    starts a private bus and the simulated bluetoothd playing SCENARIO,
       runs COMMAND with DBUS_SYSTEM_BUS_ADDRESS set to that bus, and stops
       everything when COMMAND ends.  SIGINT and SIGTERM are passed on to
       COMMAND.  Exits with COMMAND's status: 128+N when signal N ended it,
       126 when it cannot be run, 127 when it is not found.
serve  prints the bus address as its first line and runs until SIGINT or
       SIGTERM (then exit 0); the control interface org.bleprobe.Simulator
       on that bus changes the simulation meanwhile.

SCENARIO is a JSON file described by scenario.schema.json.  Scenario time
zero is when COMMAND starts (run) or the address is printed (serve).
Exit status 2: a usage error or a scenario that cannot be played;
125: the bus or the simulation could not be started.
"""

import os
import signal
import subprocess
import sys

USAGE = ('usage: bleprobe-sim run SCENARIO -- COMMAND [ARGS...]\n'
         '       bleprobe-sim serve SCENARIO\n')
PROG = 'bleprobe-sim'


def fail(message, status):
    sys.stderr.write('%s: %s\n' % (PROG, message))
    sys.exit(status)


def parse(argv):
    """(mode, scenario, command) or a usage error."""
    if argv[:1] in (['-h'], ['--help']):
        sys.stdout.write(USAGE)
        sys.exit(0)
    if len(argv) >= 4 and argv[0] == 'run' and argv[2] == '--':
        return 'run', argv[1], argv[3:]
    if len(argv) == 2 and argv[0] == 'serve':
        return 'serve', argv[1], None
    sys.stderr.write(USAGE)
    sys.exit(2)


class Signals:
    """SIGINT and SIGTERM: noted while things start, then handled in the
    main loop (where Python's own handlers would wait for the loop to end)."""

    def __init__(self):
        self.received = []
        for signum in (signal.SIGINT, signal.SIGTERM):
            signal.signal(signum, lambda signum, _frame: self.received.append(signum))

    def to_loop(self, handler):
        from gi.repository import GLib
        for signum in (signal.SIGINT, signal.SIGTERM):
            GLib.unix_signal_add(GLib.PRIORITY_HIGH, signum, lambda s=signum: handler(s) or True)
        for signum in self.received:
            handler(signum)


def main(argv=None):
    mode, filename, command = parse(sys.argv[1:] if argv is None else argv)
    signals = Signals()

    from . import scenario as scenarios
    try:
        scenario = scenarios.load(filename)
    except scenarios.ScenarioError as e:
        fail(e, 2)

    from gi.repository import GLib
    from . import bus as sim_bus
    from . import simulation as sb
    from .player import Player

    bus = None
    try:
        try:
            bus = sim_bus.PrivateBus(sim_bus.POLICIES[scenario.get('busPolicy', {})
                                                      .get('bluez', 'allowed')])
            sim = sb.Simulation(bus.address, scenario.get('bluez', sb.DEFAULT_PROFILE))
            player = Player(sim, scenario)
            sim.own_names()
        except (OSError, RuntimeError, sb.dbus.DBusException) as e:
            fail('cannot start the simulation: %s' % e, 125)
        if signals.received:
            return 128 + signals.received[0]
        loop = GLib.MainLoop()
        if mode == 'serve':
            return serve(loop, bus, player, signals)
        return run(loop, bus, player, signals, command)
    finally:
        if bus is not None:
            bus.close()


def serve(loop, bus, player, signals):
    player.start()
    try:
        sys.stdout.write(bus.address + '\n')
        sys.stdout.flush()
    except BrokenPipeError:
        return 0
    signals.to_loop(lambda _signum: loop.quit())
    loop.run()
    return 0


def run(loop, bus, player, signals, command):
    from gi.repository import GLib
    # The caller's own DBUS_SYSTEM_BUS_ADDRESS is replaced: the command under
    # test must never reach the machine's bus or its Bluetooth.
    env = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=bus.address)
    player.start()
    try:
        child = subprocess.Popen(command, env=env)
    except FileNotFoundError:
        sys.stderr.write('%s: %s: not found\n' % (PROG, command[0]))
        return 127
    except OSError as e:
        sys.stderr.write('%s: %s: %s\n' % (PROG, command[0], e.strerror))
        return 126
    status = []

    def ended(_pid, wait_status):
        status.append(wait_status)
        loop.quit()

    def forward(signum):
        if not status:
            try:
                os.kill(child.pid, signum)
            except ProcessLookupError:
                pass
    GLib.child_watch_add(GLib.PRIORITY_DEFAULT, child.pid, ended)
    signals.to_loop(forward)
    loop.run()
    # GLib reaped the child; Popen must not wait for it again.
    child.returncode = 0
    code = os.waitstatus_to_exitcode(status[0])
    return 128 - code if code < 0 else code

