"""PID 1 of the test VM: brings up the BlueZ stack and plays one scenario.

Reads /run/e2e/scenario.json and /run/e2e/stack.json, writes
/run/e2e/result.json, then powers the VM off. Runs on the guest root's own
Python (3.9 to 3.13): the host's root, or another Debian release's root; in
the latter the host's root is mounted too, and the tool runs with the
host's loader and libraries (stack.json says how).

Anything that keeps the stack from coming up is a harness error. What the
tool does is only recorded: stdout and stderr bytes, exit status, every
signal that org.bluez emitted, and every method call the tool made to
org.bluez with BlueZ's reply, for the host-side tests to judge.

The modules beside this one, by concern: share (what passes through the
share with the host, the guest's clock), system (PID 1's mounts and
power-off), releases (each release's quirks), bluez_stack (modules,
dbus-daemon, bluetoothd, btvirt), bus (the runner's connection and main
loop), monitor (the signals and calls recorded), events (the event log and
its matching), processes (helper programs), captures (btmon's recordings
of the controllers' traffic), peripheral_link
(the peripheral program on hci1), clients (other programs on the bus),
tool_runs (the tool under test), steps (the scenario's operations).
"""

import traceback

import bluez_paths
import bluez_stack
import captures
import clients
import events
import peripheral_link
import processes
import releases
import steps
import system
import tool_runs
from share import SCENARIO, STACK, HarnessFailure, log, now, open_log, progress, read_json, \
    timeline, write_result


def prepare():
    """The guest's own set-up, up to the scenario: which stack this boot is."""
    timeline["uptime_at_runner"] = system.uptime()
    system.base_system()
    progress("runner")
    open_log()
    config = read_json(STACK, default={})
    if config.get("peripheral_address"):
        bluez_paths.use_peripheral_address(config["peripheral_address"])
    tool_runs.tool_prefix[:] = config.get("tool_prefix", [])
    if config.get("host_share"):
        system.mount_host_root(config["host_share"])
    release = releases.release(config.get("release"))
    bluez_stack.record_versions(release)
    name = system.os_name()
    if name is not None:
        timeline["os"] = name
    scenario = read_json(SCENARIO)
    log(f"scenario {scenario['name']} on {timeline.get('os')}: kernel {timeline['kernel']}, "
        f"bluetoothd {timeline['bluetoothd_version']}")
    return scenario, release


def play():
    """The stack, then the scenario: None, or why the harness failed."""
    try:
        scenario, release = prepare()
        bluez_stack.start(scenario, release)
        timeline["stack_ready"] = now()
        steps.play(scenario)
        timeline["scenario_done"] = now()
    except HarnessFailure as e:
        log(f"HARNESS FAILURE: {e}")
        return str(e)
    except Exception:
        error = "guest runner crashed: " + traceback.format_exc()
        log(error)
        return error
    return None


def finish(harness_error):
    result = {"harness_error": harness_error, "runs": {}, "steps": [], "events": [], "timeline": timeline}
    try:
        result["steps"] = steps.steps
        result["runs"] = {name: r.result() for name, r in tool_runs.runs.items()}
        result["events"] = events.events
        result["calls"] = clients.calls
        result["processes"] = processes.processes
        captures.stop_all()
        result["captures"] = captures.captures
        peripheral_link.stop()
        bluez_stack.stop()
        write_result(result)
    except Exception:
        log("writing the result failed: " + traceback.format_exc())


def main():
    finish(play())
    system.power_off()


if __name__ == "__main__":
    main()
