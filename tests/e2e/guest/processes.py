"""The programs the runner starts beside the tool: the stack's daemons,
the scenario's commands (btmgmt), and whatever records the boot. Each has
its output in logs/<name>.log and an open pipe on its stdin, closed when it
is stopped or has ended: btmgmt of BlueZ 5.82 sends nothing and never exits
while its stdin is at end of file.

A recorder of a step (a capture, say) is a process like these: started with
start() before the step's operation, stopped with stop() after it; anything
still running when the scenario ends is stopped then."""

import os
import signal
import subprocess
from typing import Dict

from gi.repository import GLib

import events
from share import LOGS, now

# the scenario's commands: their argv, start, end and exit status, for the result
processes: Dict[str, dict] = {}
_started: Dict[str, subprocess.Popen] = {}


def spawn_logged(name, argv):
    out = open(os.path.join(LOGS, f"{name}.log"), "ab")
    return subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=out, stderr=subprocess.STDOUT)


def close_stdin(p):
    if p is not None and p.stdin is not None and not p.stdin.closed:
        try:
            p.stdin.close()
        except OSError:
            pass


def stop_process(p, sig=signal.SIGTERM, timeout=5):
    if p is None or p.poll() is not None:
        close_stdin(p)
        return
    try:
        p.send_signal(sig)
        p.wait(timeout)
    except subprocess.TimeoutExpired:
        p.kill()
        p.wait()
    close_stdin(p)


def start(name, argv):
    """A command run beside the scenario; its end is recorded as an event
    {"member": "_exit", "id", "status"}."""
    p = spawn_logged(name, argv)
    processes[name] = {"argv": argv, "started": now(), "ended": None, "status": None}
    _started[name] = p

    def ended(pid, status):
        close_stdin(p)
        info = processes[name]
        info.update(ended=now(), status=os.waitstatus_to_exitcode(status))
        events.record({"t": info["ended"], "member": "_exit", "id": name, "status": info["status"]})

    GLib.child_watch_add(GLib.PRIORITY_DEFAULT, p.pid, ended)
    return p


def ended(name):
    return processes[name]["ended"] is not None


def stop(name, sig=signal.SIGTERM):
    """Its exit status (negative: the signal that ended it)."""
    stop_process(_started[name], sig)
    return _started[name].returncode


def stop_all():
    for p in _started.values():
        stop_process(p)
