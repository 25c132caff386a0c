"""Shared pieces of the benchmark drivers: a private system-like bus,
locating binaries, process CPU time and small statistics."""

import os
import pwd
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
# The source tree's bleprobe_sim, for its way of ending a child.
sys.path.insert(0, os.path.join(REPO, "sim"))
from bleprobe_sim.waiting import stop_process  # noqa: E402
CLK_TCK = os.sysconf("SC_CLK_TCK")

# Debian's system bus: the limits that dbus-daemon hard-codes for it (listed,
# commented out, in /usr/share/dbus-1/system.conf), its default-deny policy and
# the holes that BlueZ's bluetooth.conf punches. Only the listening address
# differs, and the bus owner is whoever runs the benchmark.
BUS_CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path={socket}</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <deny own="*"/>
    <deny send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow receive_type="signal"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus.Introspectable"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus.Properties"/>
    <deny send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus"
          send_member="UpdateActivationEnvironment"/>
    <deny send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus.Debug.Stats"/>
    <allow send_destination="org.bluez"/>
  </policy>
  <policy user="{user}">
    <allow own="org.bluez"/>
    <allow send_destination="org.bluez"/>
    <allow send_interface="org.freedesktop.DBus.ObjectManager"/>
    <allow send_interface="org.freedesktop.DBus.Properties"/>
  </policy>
  <limit name="max_incoming_bytes">133169152</limit>
  <limit name="max_incoming_unix_fds">64</limit>
  <limit name="max_outgoing_bytes">133169152</limit>
  <limit name="max_outgoing_unix_fds">64</limit>
  <limit name="max_message_size">33554432</limit>
  <limit name="max_message_unix_fds">16</limit>
  <limit name="service_start_timeout">25000</limit>
  <limit name="auth_timeout">5000</limit>
  <limit name="pending_fd_timeout">150000</limit>
  <limit name="max_completed_connections">2048</limit>
  <limit name="max_incomplete_connections">64</limit>
  <limit name="max_connections_per_user">256</limit>
  <limit name="max_pending_service_starts">512</limit>
  <limit name="max_names_per_connection">512</limit>
  <limit name="max_match_rules_per_connection">512</limit>
  <limit name="max_replies_per_connection">128</limit>
</busconfig>
"""


def find_tool(explicit=None):
    return explicit or os.environ.get("BLEPROBE") or os.path.join(REPO, "build", "bleprobe")


def find_bin_dir(explicit=None, tool=None):
    """Directory holding fake_bluez and minimal_client."""
    candidates = [explicit, os.environ.get("BENCH_BIN_DIR")]
    if tool:
        candidates.append(os.path.join(os.path.dirname(os.path.abspath(tool)), "bench"))
    candidates += [os.path.join(REPO, "build-bench", "bench-standalone"),
                   os.path.join(REPO, "build-bench", "bench"),
                   os.path.join(REPO, "build", "bench")]
    for c in candidates:
        if c and os.access(os.path.join(c, "fake_bluez"), os.X_OK) \
                and os.access(os.path.join(c, "minimal_client"), os.X_OK):
            return c
    raise SystemExit("fake_bluez/minimal_client not found: build bench/ (see bench/README.md) "
                     "or pass --bin-dir")


class Bus:
    """A private dbus-daemon with the system bus's limits and policy."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="bleprobe-bench-")
        socket = os.path.join(self.dir, "bus")
        conf = os.path.join(self.dir, "bus.conf")
        with open(conf, "w") as f:
            f.write(BUS_CONFIG.format(socket=socket, user=pwd.getpwuid(os.getuid()).pw_name))
        with open(os.path.join(self.dir, "dbus-daemon.log"), "w") as log:
            self.proc = subprocess.Popen(
                ["dbus-daemon", "--config-file=" + conf, "--nofork", "--nosyslog", "--print-address=1"],
                stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, stderr=log)
        line = self.proc.stdout.readline().decode().strip()
        if not line:
            raise SystemExit("dbus-daemon did not start")
        self.address = line
        self.pid = self.proc.pid

    def env(self):
        env = dict(os.environ)
        env["DBUS_SYSTEM_BUS_ADDRESS"] = self.address
        return env

    def close(self):
        stop_process(self.proc)
        shutil.rmtree(self.dir, ignore_errors=True)


def parse_counts(line):
    """fake_bluez's "WORD key=n key=n ..." lines (DONE, STATS) as {key: n}."""
    counts = {}
    for item in line.split()[1:]:
        key, _, value = item.partition("=")
        counts[key] = int(value)
    return counts


def cpu_seconds(pid):
    """user+sys of a live process, summed over its threads, in seconds
    (nanosecond resolution from schedstat; clock ticks as a fallback)."""
    total = 0
    try:
        for tid in os.listdir("/proc/%d/task" % pid):
            with open("/proc/%d/task/%s/schedstat" % (pid, tid)) as f:
                total += int(f.read().split()[0])
        return total / 1e9
    except (OSError, ValueError):
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / CLK_TCK


def user_system_seconds(pid):
    """(utime, stime) of a live process from /proc/<pid>/stat, in clock ticks' resolution."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) / CLK_TCK, int(fields[12]) / CLK_TCK


def vm_hwm_kib(pid):
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def rss_split(pid):
    """'anon X MiB, file Y MiB' from /proc/<pid>/status: shared-library pages
    count in RSS as much as the process's own memory."""
    fields = {}
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                key, _, value = line.partition(":")
                if key in ("RssAnon", "RssFile", "RssShmem"):
                    fields[key] = int(value.split()[0])
    except OSError:
        return None
    return "anon %.1f MiB, file %.1f MiB" % (fields.get("RssAnon", 0) / 1024.0,
                                             (fields.get("RssFile", 0) + fields.get("RssShmem", 0)) / 1024.0)


def wait4(pid, timeout):
    """Reap pid within timeout seconds (SIGKILL after that): (status, rusage)."""
    deadline = time.monotonic() + timeout
    while True:
        wpid, status, ru = os.wait4(pid, os.WNOHANG)
        if wpid == pid:
            return status, ru
        if time.monotonic() > deadline:
            os.kill(pid, signal.SIGKILL)
            _, status, ru = os.wait4(pid, 0)
            return status, ru
        time.sleep(0.005)


def exit_text(status):
    if os.WIFEXITED(status):
        return "exit %d" % os.WEXITSTATUS(status)
    if os.WIFSIGNALED(status):
        return "killed by signal %d" % os.WTERMSIG(status)
    return "status %d" % status


def percentile(values, p):
    """Nearest-rank percentile of a non-empty list."""
    s = sorted(values)
    k = max(0, min(len(s) - 1, int(round(p / 100.0 * len(s) + 0.5)) - 1))
    return s[k]


def loadavg():
    with open("/proc/loadavg") as f:
        return f.read().split()[0]
