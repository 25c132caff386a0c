"""Running the built bleprobe against a simulated BlueZ on a private bus.

Every test gets its own dbus-daemon (a private bus with a generated
configuration) and, where it asks for one, its own simulated bluetoothd
(the package bleprobe_sim in sim/) on that bus.  The tool is started with
DBUS_SYSTEM_BUS_ADDRESS pointing at the private bus; its stdout and stderr
are collected byte for byte, and every line is validated against the JSON
Schema of the mode that the command line chose (doc/schema/).  When it was
started, when each line arrived, when SIGTERM was sent and when it exited
are kept on the monotonic clock, which the simulation's call log uses too:
callers rely on those times as much as on the lines.
"""

import json
import os
import shlex
import signal
import subprocess
import threading
import time

import dbus
import dbus.lowlevel
import pytest

import line_schema
from bleprobe_sim import bus as sim_bus
from bleprobe_sim import promises
from bleprobe_sim.client import SimClient
from bleprobe_sim.dbus_values import to_json
from bleprobe_sim.profiles import PROFILES
from bleprobe_sim.waiting import poll_until, stop_process

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
SIM_DIR = os.path.join(REPO, 'sim')

BLEPROBE = os.environ.get('BLEPROBE', os.path.join(REPO, 'build', 'bleprobe'))
# A cross-built tool runs under qemu-user, e.g. "qemu-aarch64 -L
# /usr/aarch64-linux-gnu". qemu-user emulates the program inside its own
# process: the pid that the simulated bluetoothd sees for the tool's
# connection is the one started here, and SIGTERM reaches the tool's handler.
EMULATOR = shlex.split(os.environ.get('BLEPROBE_EMULATOR', ''))
PYTHON = '/usr/bin/python3'

# Generous: the suite must pass on a slow, loaded machine.
TIMEOUT = 20.0
# The tool's search for a peripheral that BlueZ does not list, which a run may
# spend before it does anything else.

# What the tests of both modes name: the adapter, an address where no bus
# listens, the releases to run a flow on when it must come out the same.
HCI0 = '/org/bluez/hci0'
UNREACHABLE_BUS = 'unix:path=/nonexistent/bleprobe-no-bus'
ALL_RELEASES = pytest.mark.parametrize('profile', sorted(PROFILES))


def device_id(address):
    """The deviceId the tool prints for a BlueZ address."""
    return '00000000-0000-0000-0000-' + address.replace(':', '')


# Where the tool starts, for the cases of either mode that set up what it
# meets: each takes (make_bus, make_sim) and answers the bus address.
def no_bluez(make_bus, make_sim):
    return make_bus().address


def unreachable_bus(make_bus, make_sim):
    return UNREACHABLE_BUS


def bluez_without_adapter(make_bus, make_sim):
    bus = make_bus()
    make_sim(bus)
    return bus.address


# Policies for a client that the bus refuses: dbus-daemon then answers
# org.freedesktop.DBus.Error.AccessDenied itself, as a real system bus does.
DENY_BLUEZ = sim_bus.DENY_BLUEZ
DENY_ADAPTER_METHODS = sim_bus.DENY_ADAPTER_METHODS


# Seconds more for the tool to end once it has decided to: a sanitized build
# checks for leaks at exit and an emulated one is slow to wind down, which on
# a loaded machine can take the exit past the plain build's bounds. Added to
# the bounds that end at the tool's exit only, never to its own timers.
EXIT_SLACK = float(os.environ.get('BLEPROBE_EXIT_SLACK', '0'))


def exit_bound(bound):
    """One of bleprobe_sim.promises's bounds that ends at the tool's exit."""
    low, high = bound
    return low, high + EXIT_SLACK


def assert_between(what, seconds, low, high):
    """A time that callers rely on: bounded on both sides, so that a run that
    lingers fails as surely as one that hurries."""
    assert low <= seconds <= high, ('%s: %.2f s, expected %.2f to %.2f s'
                                    % (what, seconds, low, high))


class Bus(sim_bus.PrivateBus):
    """A private dbus-daemon, as bleprobe-sim starts it."""


class Sim(SimClient):
    """`bleprobe-sim serve --bus`, served by the fixture that callers use,
    and a client that drives it: the bus is the test's, and stays when the
    simulated bluetoothd goes."""

    def __init__(self, served):
        super().__init__(served.address)
        self.process = served.process

    def kill(self):
        """bluetoothd dies: its connection and org.bluez go away at once."""
        stop_process(self.process, signal_first=False)


def check_line(raw, args):
    """One result line of the mode that `args` runs: a compact flat JSON
    object of strings and one LF, valid under that mode's schema."""
    assert raw.endswith(b'\n') and raw.count(b'\n') == 1, raw
    text = raw[:-1].decode('utf-8')
    record = json.loads(text)
    assert isinstance(record, dict), raw
    assert all(isinstance(k, str) and isinstance(v, str) for k, v in record.items()), raw
    # Re-serializing compactly in the same key order gives back the same
    # bytes exactly when there was no whitespace and no needless escaping.
    assert json.dumps(record, separators=(',', ':'), ensure_ascii=False) == text, raw
    line_schema.check(args, record)
    return record


class Tool:
    """A running bleprobe whose output is collected as it arrives.

    started, line_times, terminated and exited are time.monotonic() values:
    right after exec, as each line feed arrived, as SIGTERM was sent, and as
    its standard output ended, which the kernel does as it exits (None until
    then); read by one thread, a line's time is never after the exit's."""

    def __init__(self, args, address):
        if not os.access(BLEPROBE, os.X_OK):
            pytest.fail('bleprobe not built: %s (set BLEPROBE to the binary)' % BLEPROBE)
        env = {'PATH': os.environ.get('PATH', '/usr/bin:/bin'),
               'DBUS_SYSTEM_BUS_ADDRESS': address}
        self.args = list(args)
        self.process = subprocess.Popen(EMULATOR + [BLEPROBE] + self.args, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        env=env)
        self.started = time.monotonic()
        self.pid = self.process.pid
        self.stdout = bytearray()
        self.stderr = bytearray()
        self.line_times = []
        self.terminated = None
        self.exited = None
        self.lock = threading.Lock()
        self.readers = [threading.Thread(target=self._read, args=args, daemon=True) for args in (
            (self.process.stdout, self.stdout, self.line_times), (self.process.stderr, self.stderr, []))]
        for reader in self.readers:
            reader.start()

    def _read(self, stream, into, times):
        while True:
            chunk = os.read(stream.fileno(), 65536)
            now = time.monotonic()
            if not chunk:
                if stream is self.process.stdout:
                    self.exited = now
                return
            with self.lock:
                into.extend(chunk)
                times.extend([now] * chunk.count(b'\n'))

    def ended(self):
        """Exited, and all of its output read."""
        return not any(reader.is_alive() for reader in self.readers)

    def raw_lines(self):
        with self.lock:
            data = bytes(self.stdout)
        return [line + b'\n' for line in data.split(b'\n')[:-1]]

    def wait_lines(self, count, timeout=TIMEOUT):
        """Wait until `count` complete lines have been written; return them parsed."""
        try:
            poll_until(lambda: len(self.line_times) >= count or self.ended(), timeout)
        except TimeoutError:
            pass
        lines = self.raw_lines()
        assert len(lines) >= count, ('expected %d lines, got %r (stderr %r)'
                                     % (count, lines, bytes(self.stderr)))
        return [check_line(line, self.args) for line in lines[:count]]

    def terminate(self):
        if self.exited is None:
            self.terminated = time.monotonic()
            self.process.send_signal(signal.SIGTERM)

    def finish(self, timeout=promises.SEARCH_S + TIMEOUT):
        """Wait for the exit; return (status, records), checking every line
        and that nothing reached stderr."""
        try:
            poll_until(self.ended, timeout)
        except TimeoutError:
            stop_process(self.process, signal_first=False)
            pytest.fail('bleprobe did not exit within %.0f s; stdout %r'
                        % (timeout, bytes(self.stdout)))
        assert bytes(self.stderr) == b'', bytes(self.stderr)
        data = bytes(self.stdout)
        assert data == b'' or data.endswith(b'\n'), data
        return self.process.wait(TIMEOUT), [check_line(line, self.args) for line in self.raw_lines()]

    def cleanup(self):
        stop_process(self.process, signal_first=False, readers=self.readers)

    def check_all_lines(self):
        """Every complete line received, those a test did not wait for too."""
        for line in self.raw_lines():
            check_line(line, self.args)


def forged_bluez_exit(bluez_name):
    """A NameOwnerChanged claiming that bluetoothd left the bus."""
    return [('/org/freedesktop/DBus', 'org.freedesktop.DBus', 'NameOwnerChanged', 'sss',
             ('org.bluez', bluez_name, ''))]


def forge(address, signals, destination=None):
    """Send signals from a connection of our own, which is not BlueZ.

    signals: (path, interface, member, signature, args) tuples.  With a
    destination (the tool's unique name) each signal is addressed to the
    tool: it then passes every match rule on the bus and reaches the tool's
    own dispatching.  Returns once the bus has routed them, so they reach
    the tool before anything the simulated BlueZ sends afterwards."""
    forger = dbus.bus.BusConnection(address)
    try:
        for path, iface, member, signature, args in signals:
            msg = dbus.lowlevel.SignalMessage(path, iface, member)
            if destination:
                msg.set_destination(destination)
            msg.append(*args, signature=signature)
            forger.send_message(msg)
        # The bus handles a connection's messages in order: once it has
        # answered this call it has routed the signals.
        forger.call_blocking('org.freedesktop.DBus', '/org/freedesktop/DBus',
                             'org.freedesktop.DBus', 'GetId', '', ())
    finally:
        forger.close()


class Watcher:
    """A client of the simulated bluetoothd that records what it receives in
    the order it arrives: org.bluez's signals and the answers to the calls it
    makes itself.  It has no thread of its own: waiting runs its loop."""

    def __init__(self, address):
        from dbus.mainloop.glib import DBusGMainLoop
        from gi.repository import GLib
        self.context = GLib.MainContext.default()
        self.bus = dbus.bus.BusConnection(address, mainloop=DBusGMainLoop())
        self.events = []
        self.bus.add_signal_receiver(self._signal, bus_name='org.bluez', path_keyword='path',
                                     interface_keyword='interface', member_keyword='member')

    def _signal(self, *args, path=None, interface=None, member=None):
        self.events.append((str(path), str(interface), str(member), to_json(list(args))))

    def call(self, path, interface, member, signature='', *args):
        """Call org.bluez without waiting; the answer is recorded as an
        event ('reply' or 'error', member, error name)."""
        self.bus.call_async('org.bluez', path, interface, member, signature, args,
                            lambda *_: self.events.append(('reply', member)),
                            lambda e: self.events.append(('error', member,
                                                          e.get_dbus_name())))

    def wait(self, condition, timeout=TIMEOUT):
        """Run the loop until condition(events) holds."""
        def met():
            while self.context.iteration(False):
                pass
            return condition(self.events)
        try:
            poll_until(met, timeout)
        except TimeoutError:
            raise AssertionError('condition not met; events: %r' % (self.events,)) from None

    def close(self):
        self.bus.close()
