"""bleprobe-sim: a simulated bluetoothd on a private system bus, for testing
programs that run bleprobe on machines without Bluetooth."""

import argparse
import os
import signal
import sys
from typing import Callable, List, NoReturn, Optional

from . import __version__, import_options
from .compat import exit_code, popen_in_own_group
from .waiting import poll_until, stop_process

PROG = 'bleprobe-sim'
USAGE = ('bleprobe-sim run SCENARIO -- COMMAND [ARGS...]\n'
         '       bleprobe-sim serve [--bus ADDRESS] SCENARIO\n'
         '       bleprobe-sim import CAPTURE [OPTIONS] > SCENARIO\n'
         '       bleprobe-sim --help | --version')

# bleprobe-sim's own exit statuses, the one list: --help shows it, and the
# documents test holds bleprobe-sim(1), which explains each, to it.
BAD_INPUT = 2
INTERNAL_FAULT = 70     # EX_SOFTWARE
NOT_STARTED = 125
NOT_EXECUTABLE = 126
NOT_FOUND = 127
STATUSES = {
    BAD_INPUT: 'a usage error, a scenario that cannot be played or a capture that cannot be read',
    INTERNAL_FAULT: 'a fault inside the simulation',
    NOT_STARTED: 'the bus or the simulation could not be started',
    NOT_EXECUTABLE: 'run: COMMAND cannot be run',
    NOT_FOUND: 'run: COMMAND is not found',
}

EPILOG = """\
run    starts a private bus and the simulated bluetoothd playing SCENARIO,
       runs COMMAND in a process group of its own with DBUS_SYSTEM_BUS_ADDRESS
       set to that bus, and stops everything when COMMAND ends (what COMMAND
       left running in its group gets SIGTERM).  SIGINT, SIGTERM and SIGHUP
       are passed on to COMMAND's process group.  Exits with COMMAND's
       status (128+N when signal N ended it).
serve  prints the bus address as its first line and runs until SIGINT,
       SIGTERM or SIGHUP, or until its bus goes away (then exit 0); the
       control interface org.bleprobe.Simulator1 on that bus changes the
       simulation meanwhile.  --bus ADDRESS serves on that bus, which is the
       caller's to start and stop, instead of a private one.
import reads a Bluetooth capture (btmon -w, btsnoop, pcap, pcapng, gzipped
       or not) and writes on standard output a scenario that plays what
       bluetoothd was given, as it was heard; a summary of what it kept and
       left out goes to standard error.  See bleprobe-sim import --help.

SCENARIO is a JSON file described by scenario.schema.json.  Scenario time
zero is when COMMAND starts (run) or the address is printed (serve).
bleprobe-sim's own exit statuses:
%s
See bleprobe-sim(1).""" % '\n'.join('  %3d  %s' % item for item in STATUSES.items())

STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)

# How long what COMMAND left running in its process group has to end after
# SIGTERM before it gets SIGKILL.
GROUP_GRACE = 2.0


def fail(message: object, status: int) -> NoReturn:
    sys.stderr.write('%s: %s\n' % (PROG, message))
    sys.exit(status)


def parser() -> argparse.ArgumentParser:
    main = argparse.ArgumentParser(prog=PROG, usage=USAGE, description=__doc__,
                                   epilog=EPILOG,
                                   formatter_class=argparse.RawDescriptionHelpFormatter)
    main.add_argument('--version', action='version', version='%s %s' % (PROG, __version__))
    modes = main.add_subparsers(dest='mode', required=True, metavar='{run,serve,import}')
    run = modes.add_parser('run', usage=USAGE, help='run COMMAND against the simulation')
    run.add_argument('scenario', metavar='SCENARIO')
    serve = modes.add_parser('serve', usage=USAGE, help='serve the simulation until a signal')
    serve.add_argument('--bus', metavar='ADDRESS',
                       help='serve on this bus, which exists already, instead of a private one')
    serve.add_argument('scenario', metavar='SCENARIO')
    capture = modes.add_parser('import', usage=import_options.USAGE, description=import_options.DESCRIPTION,
                               help='make a scenario of a Bluetooth capture',
                               formatter_class=argparse.RawDescriptionHelpFormatter)
    import_options.add_arguments(capture)
    return main


def parse(argv: List[str]) -> argparse.Namespace:
    """The mode, the scenario and (run) the command; exit 2 on a usage
    error.  What follows the first `--` is COMMAND, untouched."""
    options = parser()
    head, command = argv, None
    if '--' in argv:
        split = argv.index('--')
        head, command = argv[:split], argv[split + 1:]
    args = options.parse_args(head)
    if args.mode == 'run' and not command:
        options.error('run needs -- COMMAND')
    if args.mode in ('serve', 'import') and command is not None:
        options.error('%s takes no COMMAND' % args.mode)
    if args.mode == 'import' and args.controller is not None and not 0 <= args.controller < 0xFFFF:
        options.error('--controller: an index from 0 to 65534')
    args.command = command
    args.bus = getattr(args, 'bus', None)
    return args


class Signals:
    """SIGINT, SIGTERM and SIGHUP: noted while things start (start-up asks
    `received`), then handled in the main loop, where Python's own handlers
    would wait for the loop to end.  A signal that the caller ignores (nohup)
    stays ignored."""

    def __init__(self) -> None:
        self.received: List[int] = []
        self.handled = [s for s in STOP_SIGNALS if signal.getsignal(s) != signal.SIG_IGN]
        for signum in self.handled:
            signal.signal(signum, lambda signum, _frame: self.received.append(signum))

    def to_loop(self, handler: Callable[[int], None]) -> None:
        from gi.repository import GLib

        def source(signum: int, keep: bool) -> Callable[[], bool]:
            def dispatch() -> bool:
                handler(signum)
                return keep
            return dispatch

        for signum in self.handled:
            GLib.unix_signal_add(GLib.PRIORITY_HIGH, signum, source(signum, True))
        # Those that came before GLib took the signals over are handled once
        # the loop runs: a quit before the loop runs would be lost.
        for early in self.received:
            GLib.idle_add(source(early, False), priority=GLib.PRIORITY_HIGH)


class Faults:
    """The one way a fault inside the simulation ends a run: an exception
    that escapes a callback of the main loop (a timer, a signal handler),
    or one that the simulation catches itself and hands to report() (a
    method of org.bluez, the scenario's start).  The first one quits the
    loop, and the run ends with one line naming it and INTERNAL_FAULT."""

    def __init__(self, loop) -> None:
        self.loop = loop
        self.first: Optional[BaseException] = None

    def report(self, exc: BaseException) -> None:
        if self.first is None:
            self.first = exc
        self.loop.quit()

    def __enter__(self) -> 'Faults':
        self.hook = sys.excepthook
        sys.excepthook = lambda _type, exc, _tb: self.report(exc)
        return self

    def __exit__(self, *_exc) -> None:
        sys.excepthook = self.hook

    def message(self) -> str:
        exc = self.first
        return 'internal fault: %s%s' % (type(exc).__name__, ': %s' % exc if str(exc) else '')


def import_capture(args: argparse.Namespace) -> int:
    """The scenario on standard output once the whole capture is read, the
    summary on standard error; nothing on standard output if it fails."""
    from .capture import CaptureError
    from .replay import ImportFailure, Options, import_capture as run_import
    from .scenario import MAX_BYTES, ScenarioError, check
    options = Options(args.controller, args.start, args.end, set(args.peripheral),
                      set(args.service))
    try:
        imported = run_import(args.capture, options)
    except CaptureError as e:
        fail(e, BAD_INPUT)
    except ImportFailure as e:
        fail(e, BAD_INPUT)
    except OSError as e:
        fail('%s: cannot be read: %s' % (args.capture, e.strerror or e), BAD_INPUT)
    text = imported.text()
    try:
        if len(text.encode('utf-8')) > MAX_BYTES:
            raise ScenarioError('$: larger than %d MiB' % (MAX_BYTES >> 20))
        check(imported.scenario)
    except ScenarioError as e:
        fail('internal fault: the scenario made of %s cannot be played: %s' % (args.capture, e),
             INTERNAL_FAULT)
    try:
        sys.stdout.write(text)
        sys.stdout.flush()
    except BrokenPipeError:
        pass
    sys.stderr.write(''.join(line + '\n' for line in imported.summary()))
    return 0


def main(argv: Optional[List[str]] = None) -> int:
    args = parse(sys.argv[1:] if argv is None else argv)
    if args.mode == 'import':
        return import_capture(args)
    signals = Signals()

    from . import scenario as scenarios
    try:
        scenario = scenarios.load(args.scenario)
    except scenarios.ScenarioError as e:
        fail(e, BAD_INPUT)
    from . import player
    policy = player.bus_policy(scenario)
    if args.bus is not None and policy != 'allowed':
        fail("--bus: the scenario's busPolicy needs a bus of bleprobe-sim's own", BAD_INPUT)

    from gi.repository import GLib
    from . import bus as sim_bus
    from . import simulation as sb

    loop = GLib.MainLoop()
    bus = None
    try:
        with Faults(loop) as faults:
            try:
                address = args.bus
                if address is None:
                    bus = sim_bus.PrivateBus(sim_bus.POLICIES[policy],
                                             cancelled=lambda: signals.received)
                    address = bus.address
                sim = sb.Simulation(address, player.profile(scenario))
            except sim_bus.BusStartCancelled:
                return 128 + signals.received[0]
            except (OSError, RuntimeError, sb.dbus.DBusException) as e:
                fail('cannot start the simulation: %s' % e, NOT_STARTED)
            sim.on_fault = faults.report
            status = start(loop, sim, scenario, signals, args)
        if faults.first is not None:
            fail(faults.message(), INTERNAL_FAULT)
        return status
    finally:
        if bus is not None:
            bus.close()


def start(loop, sim, scenario, signals: Signals, args: argparse.Namespace) -> int:
    """Plays the scenario on the simulation and serves it, or runs COMMAND
    against it.  The scenario's starting state is set before the names are
    owned, and time zero comes once they are."""
    from . import simulation as sb
    from .player import Player
    try:
        player = Player(sim, scenario)
    except Exception as exc:
        sim.fail(exc)
        return INTERNAL_FAULT
    try:
        sim.own_names()
    except (RuntimeError, sb.dbus.DBusException) as e:
        fail('cannot start the simulation: %s' % e, NOT_STARTED)
    if signals.received:
        return 128 + signals.received[0]
    if args.mode == 'serve':
        return serve(loop, sim, player, signals)
    return run(loop, sim, player, signals, args.command)


def play(sim, player) -> bool:
    """Time zero; false when the scenario's start met a fault."""
    try:
        player.start()
    except Exception as exc:
        sim.fail(exc)
        return False
    return True


def serve(loop, sim, player, signals: Signals) -> int:
    if not play(sim, player):
        return INTERNAL_FAULT
    try:
        sys.stdout.write(sim.address + '\n')
        sys.stdout.flush()
    except BrokenPipeError:
        return 0
    signals.to_loop(lambda _signum: loop.quit())
    # Nothing is left to serve once the bus has gone: a bus given with
    # --bus is the caller's to take away.
    sim.control_bus.call_on_disconnection(lambda _connection: loop.quit())
    loop.run()
    return 0


def signal_group(pgid: int, signum: int) -> bool:
    """False once nothing is left in the group."""
    try:
        os.killpg(pgid, signum)
        return True
    except ProcessLookupError:
        return False


def end_group(pgid: int) -> None:
    """SIGTERM to whatever is left in the process group, SIGKILL to what
    is still there GROUP_GRACE seconds later."""
    if not signal_group(pgid, signal.SIGTERM):
        return
    try:
        poll_until(lambda: not signal_group(pgid, 0), GROUP_GRACE)
    except TimeoutError:
        signal_group(pgid, signal.SIGKILL)


def run(loop, sim, player, signals: Signals, command: List[str]) -> int:
    from gi.repository import GLib
    # The caller's own DBUS_SYSTEM_BUS_ADDRESS is replaced: the command under
    # test must never reach the machine's bus or its Bluetooth.
    env = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=sim.address)
    if not play(sim, player):
        return INTERNAL_FAULT
    try:
        # A process group of its own, so that what COMMAND starts in the
        # background is stopped with it.
        child = popen_in_own_group(command, env=env)
    except FileNotFoundError:
        sys.stderr.write('%s: %s: not found\n' % (PROG, command[0]))
        return NOT_FOUND
    except OSError as e:
        sys.stderr.write('%s: %s: %s\n' % (PROG, command[0], e.strerror))
        return NOT_EXECUTABLE
    status: List[int] = []

    def ended(_pid: int, wait_status: int) -> None:
        status.append(wait_status)
        loop.quit()

    def forward(signum: int) -> None:
        if not status:
            signal_group(child.pid, signum)
    GLib.child_watch_add(GLib.PRIORITY_DEFAULT, child.pid, ended)
    signals.to_loop(forward)
    loop.run()
    if not status:
        # A fault ended the loop: COMMAND goes, as on a signal.
        stop_process(child, GROUP_GRACE)
        end_group(child.pid)
        return INTERNAL_FAULT
    # GLib reaped the child; Popen must not wait for it again.
    child.returncode = 0
    end_group(child.pid)
    code = exit_code(status[0])
    return 128 - code if code < 0 else code
