"""The runner's end of peripheral.py, the program that is the peripheral
on hci1: it is started, told what to do one JSON line at a time, and its
unasked reports (a read of its characteristic arrived) become events."""

import json
import os
import subprocess
from typing import Any, Dict

from gi.repository import GLib

import bus
import events
from bluez_paths import PERIPHERAL_ADAPTER
from processes import stop_process
from share import LOGS, SHARE, HarnessFailure, log, now

_peripheral: Dict[str, Any] = {"proc": None, "buf": b"", "replies": [], "watch": None}


def _output(data):
    _peripheral["buf"] += data
    while b"\n" in _peripheral["buf"]:
        line, _peripheral["buf"] = _peripheral["buf"].split(b"\n", 1)
        try:
            msg = json.loads(line)
        except ValueError:
            log(f"peripheral said: {line!r}")
            continue
        if "event" in msg:
            # e.g. a read of the characteristic arrived at the peripheral
            events.record({"t": now(), "member": "_peripheral_" + msg["event"]})
        else:
            _peripheral["replies"].append(msg)


def _output_ended():
    _peripheral["watch"] = None


def request(msg, timeout=30):
    p = _peripheral["proc"]
    n = len(_peripheral["replies"])
    p.stdin.write((json.dumps(msg) + "\n").encode())
    p.stdin.flush()
    if not bus.wait_until(lambda: len(_peripheral["replies"]) > n or p.poll() is not None, timeout):
        raise HarnessFailure(f"peripheral did not answer {msg.get('cmd')} within {timeout} s")
    if len(_peripheral["replies"]) <= n:
        raise HarnessFailure(f"peripheral exited ({p.poll()}) during {msg.get('cmd')}")
    reply = _peripheral["replies"][n]
    if not reply.get("ok"):
        raise HarnessFailure(f"peripheral {msg.get('cmd')} failed: {reply.get('error')}")
    return reply


def start(step):
    """A new one each time: after bluetoothd restarted, its registrations
    died with it."""
    old = _peripheral["proc"]
    if old is not None:
        # the watch goes first: the new pipe may get the old descriptor's
        # number, and two watches on one pipe would block in read
        if _peripheral["watch"] is not None:
            GLib.source_remove(_peripheral["watch"])
            _peripheral["watch"] = None
        stop_process(old)
        old.stdin.close()
        old.stdout.close()
    _peripheral["replies"] = []
    _peripheral["buf"] = b""
    errlog = open(os.path.join(LOGS, "peripheral.log"), "ab")
    p = subprocess.Popen(["/usr/bin/python3", "-u", os.path.join(SHARE, "guest", "peripheral.py"),
                          PERIPHERAL_ADAPTER],
                         stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=errlog)
    _peripheral["proc"] = p
    _peripheral["watch"] = bus.watch_pipe(p.stdout.fileno(), _output, _output_ended)
    request({"cmd": "gatt", "gatt": step.get("gatt")}, 60)
    if step.get("adv") is not None:
        request({"cmd": "advertise", "adv": step["adv"]}, 60)
    if step.get("repeat_s"):
        request({"cmd": "repeat", "seconds": step["repeat_s"]}, 60)


def stop():
    if _peripheral["proc"] is not None:
        stop_process(_peripheral["proc"])
