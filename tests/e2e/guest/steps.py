"""A scenario's steps, played in order (tests/e2e/scenarios.py lists the
operations). Each step is recorded with its start and end and, where the
tool did not do what the step waited for, ok false and a detail; a step the
stack could not carry out is a harness failure.

play_step is where every step begins and ends: a capture of the
controllers' traffic (captures.py) stops there after a step that says
"record_stop"."""

import signal
import time
from typing import Callable, Dict, List

import dbus

import bluez_stack
import bus
import captures
import clients
import events
import peripheral_link
import processes
import tool_runs
import bluez_paths
from bluez_paths import CENTRAL
from share import HarnessFailure, log, now

# every step's record, for the result
steps: List[dict] = []
# the moments a scenario named, for a later wait's "since"
marks: Dict[str, float] = {}


def play(scenario):
    for step in scenario["steps"]:
        play_step(step)
    # whatever is still running is no longer wanted
    tool_runs.kill_running()
    captures.stop_all()
    processes.stop_all()


def play_step(step):
    record = {"op": step["op"], "run": step.get("run"), "t": now(), "ok": True}
    steps.append(record)
    log(f"step {step}")
    operation = STEPS.get(step["op"])
    if operation is None:
        raise HarnessFailure(f"unknown step {step['op']}")
    operation(step, record)
    record["done"] = now()
    if step.get("record_stop"):
        captures.stop_all()
    log(f"  -> {record}")


def _timeout(step, default):
    return float(step.get("timeout", default))


# --- the peripheral and the adapters


def _peripheral(step, record):
    peripheral_link.start(step)


def _advertise(step, record):
    peripheral_link.request({"cmd": "advertise", "adv": step["adv"]})


def _read_delay(step, record):
    peripheral_link.request({"cmd": "read_delay", "seconds": step["seconds"]})


def _read_error(step, record):
    peripheral_link.request({"cmd": "read_error", "error": step["error"]})


def _power(step, record):
    adapter, want = step.get("adapter", CENTRAL), bool(step["on"])
    bus.set_powered(adapter, want)
    if not bus.wait_until(bus.polled(lambda: bool((bus.adapter_props(adapter) or {})
                                                  .get("Powered")) == want), 30):
        raise HarnessFailure(f"adapter did not become Powered={want}")


def _discover(step, record):
    """The runner's own discovery session, so that BlueZ knows the
    peripheral without relying on the tool's scanning mode."""
    ad = dbus.Interface(bus.conn.get_object("org.bluez", CENTRAL), "org.bluez.Adapter1")
    ad.SetDiscoveryFilter({"Transport": dbus.String("le")})
    ad.StartDiscovery()

    def known():
        return bus.object_props(bluez_paths.PERIPHERAL_DEVICE, "org.bluez.Device1") is not None

    found = bus.wait_until(bus.polled(known), _timeout(step, 60))
    ad.StopDiscovery()
    if not found:
        raise HarnessFailure("own discovery did not find the peripheral")


def _bluetoothd(step, record):
    if step["action"] == "stop":
        events.record({"t": now(), "member": "_sigterm", "id": "bluetoothd"})
        bluez_stack.stop_bluetoothd(_timeout(step, 30))
    else:
        bluez_stack.start_bluetoothd()
        if not bus.wait_until(bus.polled(bluez_stack.adapters_powered), _timeout(step, 60)):
            raise HarnessFailure("adapters not powered again after bluetoothd restart")


def _crash(step, record):
    # the kernel panics here, as a guest kernel hitting a BUG would; only
    # the harness's own tests ask for this
    with open("/proc/sysrq-trigger", "w") as f:
        f.write("c")
    time.sleep(30)


# --- the tool


def _start(step, record):
    tool_runs.start(step)


def _run(step, record):
    run = tool_runs.start(step)
    if not tool_runs.wait_or_kill(run, _timeout(step, 90)):
        record.update(ok=False, detail=f"still running after {step.get('timeout', 90)} s; killed")


def _sigterm(step, record):
    run = tool_runs.runs[step["run"]]
    record["sent"] = now()
    if run.proc.poll() is None:
        run.proc.send_signal(signal.SIGTERM)
    else:
        record.update(ok=False, detail=f"tool had already exited ({run.proc.poll()})")


def _wait_exit(step, record):
    timeout = _timeout(step, 30)
    if not tool_runs.wait_or_kill(tool_runs.runs[step["run"]], timeout):
        record.update(ok=False, detail=f"still running after {timeout} s; killed")


def _wait_lines(step, record):
    run = tool_runs.runs[step["run"]]
    count = int(step["count"])
    if not bus.wait_until(lambda: run.line_count() >= count or run.finished(), _timeout(step, 60)):
        record.update(ok=False, detail=f"{run.line_count()} of {count} lines")
    elif run.line_count() < count:
        record.update(ok=False, detail=f"tool ended with {run.line_count()} of {count} lines")


# --- waits for BlueZ


def _wait_service_data(step, record):
    """Proof that BlueZ signalled this advertisement to hci0's clients."""
    if step.get("since") == "now":
        since = record["t"]
    else:
        since = tool_runs.runs[step["run"]].started if step.get("run") else 0
    count = int(step.get("count", 1))
    if not bus.wait_until(lambda: events.service_data_seen(step["uuid"], step["hex"], since, count),
                          _timeout(step, 60)):
        raise HarnessFailure(f"BlueZ did not signal service data {step['uuid']}={step['hex']}"
                             f" {count} time(s) within {step.get('timeout', 60)} s")


def _wait_discovering(step, record):
    if not bus.wait_until(bus.polled(lambda: bool((bus.adapter_props(CENTRAL) or {}).get("Discovering"))),
                          _timeout(step, 60)):
        record.update(ok=False, detail="hci0 never started discovering")


def _wait_device(step, record):
    """A property of the peripheral's device object on hci0; a removed
    object counts as disconnected. What it was seen to be is recorded."""
    name, want = step["property"], step["value"]
    observed = record.setdefault("observed", [])

    def matches():
        dev = bus.object_props(bluez_paths.PERIPHERAL_DEVICE, "org.bluez.Device1")
        value = "<removed>" if dev is None else bus.to_json(dev.get(name))
        if not observed or observed[-1][1] != value:
            observed.append((now(), value))
        if dev is None:
            return name == "Connected" and want is False
        return value == want

    timeout = _timeout(step, 30)
    if not bus.wait_until(bus.polled(matches), timeout):
        record.update(ok=False, detail=f"{name} did not become {want} within {timeout} s")


def _wait_event(step, record):
    since = marks.get(step.get("since"), record["t"]) if step.get("since") != 0 else 0
    count = int(step.get("count", 1))
    if not bus.wait_until(lambda: len(events.since(since, step["match"])) >= count, _timeout(step, 60)):
        if step.get("harness"):
            raise HarnessFailure(f"no event {step['match']} within {step.get('timeout', 60)} s")
        record.update(ok=False, detail=f"no event {step['match']}")


def _settle(step, record):
    bus.pump(float(step["seconds"]))


def _mark(step, record):
    marks[step["name"]] = now()
    events.record({"t": marks[step["name"]], "member": "_mark", "id": step["name"]})


# --- other programs on the bus


def _call(step, record):
    rec = clients.start_call(step)
    record["call"] = rec["id"]
    if step.get("wait"):
        if not bus.wait_until(lambda: "replied" in rec, _timeout(step, 60) + 5):
            raise HarnessFailure(f"no reply to {step['method']}")
        if step.get("must_succeed") and not rec["ok"]:
            raise HarnessFailure(f"{step['method']} failed: {rec.get('error')} {rec.get('message')}")


def _hook(step, record):
    requests = step["then"]

    def fire():
        for request in requests:
            clients.start_call(request)

    events.add_hook(step["on"], fire)


def _clear_hooks(step, record):
    events.hooks.clear()


def _poll_device(step, record):
    # every reply makes bluetoothd flush the signals it holds back, in its
    # own order
    if step.get("interval_ms"):
        clients.start_poller(int(step["interval_ms"]))
    else:
        clients.stop_pollers()


def _close_client(step, record):
    clients.close_client(step["client"])


def _exec(step, record):
    processes.start(step["id"], step["argv"])
    if step.get("wait", True):
        if not bus.wait_until(lambda: processes.ended(step["id"]), _timeout(step, 60)):
            raise HarnessFailure(f"{step['argv']} did not end")


STEPS: Dict[str, Callable[[dict, dict], None]] = {
    "peripheral": _peripheral, "advertise": _advertise, "read_delay": _read_delay,
    "read_error": _read_error, "power": _power,
    "discover": _discover, "bluetoothd": _bluetoothd, "crash": _crash,
    "start": _start, "run": _run, "sigterm": _sigterm, "wait_exit": _wait_exit,
    "wait_lines": _wait_lines, "wait_service_data": _wait_service_data,
    "wait_discovering": _wait_discovering, "wait_device": _wait_device, "wait_event": _wait_event,
    "settle": _settle, "mark": _mark,
    "call": _call, "hook": _hook, "clear_hooks": _clear_hooks, "poll_device": _poll_device,
    "close_client": _close_client, "exec": _exec,
}
