"""Captures of the controllers' traffic, as a gateway's user records one:
btmon -w, which writes the monitor channel (every controller's HCI traffic,
the management channel, bluetoothd's log lines) to a btsnoop file in the
share, captures/<scenario>.btsnoop. A scenario that says "record" starts it
before bluetoothd, so that the file holds the line naming bluetoothd's
release; it stops after the step that says "record_stop", or when the
scenario ends.

The file's times are the kernel's wall clock, the runner's are monotonic:
each capture carries the difference, taken as it starts (nothing steps
the guest's clock), so that the host can put the tool's lines on the
capture's time line."""

import os
import time
from typing import Dict

import processes
from share import SHARE, log, now

DIRECTORY = os.path.join(SHARE, "captures")
HEADER = 16
# name -> {"file", "started", "stopped", "wall_minus_runner", "status"}, for the result
captures: Dict[str, dict] = {}


def start(name):
    os.makedirs(DIRECTORY, exist_ok=True)
    path = os.path.join(DIRECTORY, f"{name}.btsnoop")
    # btmon's own reading of what it writes goes to its log: the decoding
    # that 5.66 dies of on a read of a connection it did not see begin
    # (doc/bluez-behaviour.md, btmon-read-by-type) would end the capture too
    processes.start(f"btmon-{name}", ["btmon", "-w", path])
    captures[name] = {"file": os.path.relpath(path, SHARE), "started": now(), "stopped": None,
                      "wall_minus_runner": round(time.time() - now(), 6)}
    # btmon writes the file's header, then opens the monitor socket, whose
    # first records (the kernel's version, the controllers present) follow at
    # once: a capture that missed bluetoothd's start would miss its release
    deadline = time.monotonic() + 10
    while not _size(path) > HEADER and time.monotonic() < deadline:
        time.sleep(0.02)
    log(f"capture {name} started: {_size(path)} bytes")


def _size(path):
    try:
        return os.path.getsize(path)
    except OSError:
        return 0


def stop(name):
    if name in captures and captures[name]["stopped"] is None:
        captures[name]["status"] = processes.stop(f"btmon-{name}")
        captures[name]["stopped"] = now()


def stop_all():
    for name in captures:
        stop(name)
