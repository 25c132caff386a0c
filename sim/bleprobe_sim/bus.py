"""A private dbus-daemon standing in for the system bus.

Its configuration is generated into a private directory that also holds the
socket; closing the bus removes both.  The policy lets everybody do
everything unless a scenario denies org.bluez, which the daemon then refuses
with org.freedesktop.DBus.Error.AccessDenied itself, as a real system bus
does.

The daemon never outlives the process that started it: the kernel sends it
SIGTERM when that process dies, however it dies (SIGKILL included).  A
directory whose owner died that way cannot be removed by its owner; the
next PrivateBus removes it.
"""

import ctypes
import os
import shutil
import signal
import subprocess
import tempfile
from typing import Callable, Optional

from .waiting import read_address, stop_process

BUS_CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>custom</type>
  <listen>unix:path={socket}</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
{extra}
  </policy>
  <!-- the limit a system bus applies by default -->
  <limit name="max_match_rules_per_connection">512</limit>
</busconfig>
"""

DENY_BLUEZ = '    <deny send_destination="org.bluez"/>'
DENY_ADAPTER_METHODS = ('    <deny send_destination="org.bluez"'
                        ' send_interface="org.bluez.Adapter1"/>')

# The scenario's busPolicy.bluez values.
POLICIES = {'allowed': '', 'denied': DENY_BLUEZ, 'adapterMethodsDenied': DENY_ADAPTER_METHODS}

# A dbus-daemon is up in milliseconds; one that has not printed its address
# after this long is not going to.
START_TIMEOUT = 5.0

# A unix socket's path is limited to 108 bytes: stay in /tmp, whatever
# TMPDIR says.
TMP = '/tmp'
PREFIX = 'bleprobe-sim-'
OWNER = 'owner.pid'

PR_SET_PDEATHSIG = 1


class BusStartError(RuntimeError):
    """The daemon did not come up; str() is the reason."""


class BusStartCancelled(Exception):
    """The caller's cancelled() became true while the daemon started."""


def death_signal() -> Callable[[], None]:
    """What the child runs before exec to get SIGTERM when its parent dies
    (libc is loaded here, in the parent: the child only calls it)."""
    prctl = ctypes.CDLL(None, use_errno=True).prctl
    parent = os.getpid()

    def die_with_parent() -> None:
        prctl(PR_SET_PDEATHSIG, signal.SIGTERM, 0, 0, 0)
        if os.getppid() != parent:
            # The parent died before the request took effect.
            os._exit(1)
    return die_with_parent


def alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


def remove_orphans() -> None:
    """Removes the directories of PrivateBuses whose process was killed."""
    try:
        names = [n for n in os.listdir(TMP) if n.startswith(PREFIX)]
    except OSError:
        return
    for name in names:
        directory = os.path.join(TMP, name)
        try:
            if os.stat(directory).st_uid != os.getuid():
                continue
            with open(os.path.join(directory, OWNER)) as f:
                owner = int(f.read())
        except (OSError, ValueError):
            continue  # not ours, or its owner is still writing it
        if not alive(owner):
            shutil.rmtree(directory, ignore_errors=True)


def exit_reason(status: int) -> str:
    if status < 0:
        return 'it was killed by signal %d' % -status
    return 'it exited with status %d' % status


class PrivateBus:
    """A running dbus-daemon; `address` is what a client connects to.

    Raises BusStartError when the daemon fails or is not up within
    START_TIMEOUT seconds, and BusStartCancelled as soon as cancelled()
    returns true meanwhile; nothing is left behind either way."""

    def __init__(self, extra_policy: str = '',
                 cancelled: Callable[[], object] = lambda: False,
                 timeout: float = START_TIMEOUT) -> None:
        self.process: Optional[subprocess.Popen] = None
        remove_orphans()
        self.dir = tempfile.mkdtemp(prefix=PREFIX, dir=TMP)
        try:
            with open(os.path.join(self.dir, OWNER), 'w') as f:
                f.write(str(os.getpid()))
            config = os.path.join(self.dir, 'bus.conf')
            with open(config, 'w') as f:
                f.write(BUS_CONFIG.format(socket=os.path.join(self.dir, 'bus'),
                                          extra=extra_policy))
            with open(os.path.join(self.dir, 'daemon.err'), 'wb') as stderr:
                # A session of its own: a Ctrl-C at the terminal reaches the
                # command under test, not the bus it talks to.
                self.process = subprocess.Popen(
                    ['dbus-daemon', '--config-file=' + config, '--nofork', '--print-address'],
                    stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=stderr,
                    start_new_session=True, preexec_fn=death_signal())
            self.address = self.read_address(cancelled, timeout)
        except BaseException:
            self.close()
            raise

    def read_address(self, cancelled: Callable[[], object], timeout: float) -> str:
        def check() -> None:
            if cancelled():
                raise BusStartCancelled()
        try:
            address = read_address(self.process, 'dbus-daemon', timeout, check)
        except TimeoutError as e:
            raise BusStartError(str(e)) from None
        if not address:
            assert self.process is not None
            status = self.process.wait()
            raise BusStartError('dbus-daemon did not start: %s'
                                % (self.errors() or exit_reason(status)))
        return address

    def errors(self) -> str:
        """The daemon's standard error, on one line."""
        try:
            with open(os.path.join(self.dir, 'daemon.err'), 'rb') as f:
                return ' '.join(f.read().decode(errors='replace').split())
        except OSError:
            return ''

    def kill(self) -> None:
        """The bus goes away at once (every connection on it is cut)."""
        if self.process is not None:
            if self.process.poll() is None:
                self.process.kill()
            self.process.wait()

    def close(self) -> None:
        if self.process is not None:
            stop_process(self.process, grace=5.0)
        shutil.rmtree(self.dir, ignore_errors=True)
