"""A private dbus-daemon standing in for the system bus.

Its configuration is generated into a private directory that also holds the
socket; closing the bus removes both.  The policy lets everybody do
everything unless a scenario denies org.bluez, which the daemon then refuses
with org.freedesktop.DBus.Error.AccessDenied itself, as a real system bus
does.
"""

import os
import shutil
import subprocess
import tempfile

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


class PrivateBus:
    """A running dbus-daemon; `address` is what a client connects to."""

    def __init__(self, extra_policy=''):
        # A unix socket's path is limited to 108 bytes: stay in /tmp, whatever
        # TMPDIR says.
        self.dir = tempfile.mkdtemp(prefix='bleprobe-sim-', dir='/tmp')
        try:
            config = os.path.join(self.dir, 'bus.conf')
            with open(config, 'w') as f:
                f.write(BUS_CONFIG.format(socket=os.path.join(self.dir, 'bus'),
                                          extra=extra_policy))
            self.stderr = open(os.path.join(self.dir, 'daemon.err'), 'wb')
            # A session of its own: a Ctrl-C at the terminal reaches the
            # command under test, not the bus it talks to.
            self.process = subprocess.Popen(
                ['dbus-daemon', '--config-file=' + config, '--nofork', '--print-address'],
                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=self.stderr,
                start_new_session=True)
            self.address = self.process.stdout.readline().decode().strip()
            if not self.address:
                self.process.wait()
                raise RuntimeError('dbus-daemon did not start: ' + self.errors())
        except BaseException:
            self.close()
            raise

    def errors(self):
        with open(os.path.join(self.dir, 'daemon.err'), 'rb') as f:
            return f.read().decode(errors='replace').strip()

    def kill(self):
        """The bus goes away at once (every connection on it is cut)."""
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()

    def close(self):
        process = getattr(self, 'process', None)
        if process is not None:
            if process.poll() is None:
                process.terminate()
                try:
                    process.wait(5)
                except subprocess.TimeoutExpired:
                    self.kill()
            process.stdout.close()
        if getattr(self, 'stderr', None) is not None:
            self.stderr.close()
        shutil.rmtree(self.dir, ignore_errors=True)
