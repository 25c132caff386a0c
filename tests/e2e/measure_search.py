#!/usr/bin/python3
"""Prints how reliably and how fast a real stack finds a peripheral that BlueZ
does not list, and how soon a scan prints its first report: boots the
forgotten-peripheral, never-scanned and first-report scenarios N times in a
row on each release named (a measurement that prints figures, not a test).

    tests/e2e/measure_search.py [--times 10] [--release trixie] [--dual] [--case never-scanned]

Per boot: the identity result, how long the tool's search ran (its
StartDiscovery to its StopDiscovery), and the scan's time from start to its
first line; and whether the first report of the discovery was lost: BlueZ
first announced the peripheral (or the scan printed it) more than half a
discovery round after the tool's StartDiscovery, so with a later round.
With --dual, also the never-scanned flow on dual-mode controllers; --case
measures only the cases named.
"""

import argparse
import statistics
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(1, str(HERE.parent.parent / "sim"))
sys.path.append(str(HERE / "guest"))

import harness  # noqa: E402
import scenarios  # noqa: E402
from bluez_paths import PERIPHERAL_DEVICE  # noqa: E402


def search_seconds(result, run):
    starts, stops = result.calls(run, "StartDiscovery"), result.calls(run, "StopDiscovery")
    if not starts or not stops:
        return None
    return stops[0]["t"] - starts[0]["t"]


def identity_outcome(result, run_name):
    run = result.run(run_name)
    records = run.records()
    if not records:
        return "none", search_seconds(result, run)
    return ("serial" if "serial" in records[0] else records[0].get("error")), search_seconds(result, run)


def first_line_seconds(result, run_name):
    run = result.run(run_name)
    return run.chunks[0][0] - run.started if run.chunks else None


def first_heard_seconds(result, run_name):
    """From the tool's StartDiscovery to BlueZ's first word of the peripheral
    to the tool: its device object added, or (a scan) the first line."""
    run = result.run(run_name)
    starts = result.calls(run, "StartDiscovery")
    if not starts:
        return None
    heard = [e["t"] for e in result.events if e.get("member") == "InterfacesAdded"
             and e["args"][0] == PERIPHERAL_DEVICE and e["t"] >= starts[0]["t"]]
    if run_name == "scan" and run.chunks:
        heard.append(run.chunks[0][0])
    return min(heard) - starts[0]["t"] if heard else None


CASES = {"forgotten": ("forgotten", scenarios.FORGOTTEN, "identity"),
         "never-scanned": ("never scanned", scenarios.NEVER_SCANNED, "identity"),
         "first-line": ("scan first line", scenarios.SCAN_FIRST_REPORT, "scan"),
         "never-scanned-dual": ("never scanned, dual-mode", scenarios.NEVER_SCANNED_DUAL,
                                "identity")}


def measure(release, times, names):
    for label, scenario, run_name in (CASES[name] for name in names):
        outcomes, seconds, faults, lost = [], [], 0, 0
        for i in range(times):
            try:
                result = harness.run_scenario(scenario, release)
            except harness.HarnessError as e:
                faults += 1
                print(f"  {release} {label} #{i + 1}: harness fault: {str(e).splitlines()[0]}")
                continue
            if run_name == "scan":
                took = first_line_seconds(result, run_name)
                outcome = "line" if took is not None else "no line"
            else:
                outcome, took = identity_outcome(result, run_name)
            outcomes.append(outcome)
            if took is not None:
                seconds.append(took)
            heard = first_heard_seconds(result, run_name)
            late = heard is not None and heard > scenarios.DISCOVERY_ROUND_S / 2
            lost += late
            print(f"  {release} {label} #{i + 1}: {outcome}"
                  + (f", {took:.2f} s" if took is not None else "")
                  + (f", heard after {heard:.2f} s" + (" (first report lost)" if late else "")
                     if heard is not None else ", never heard")
                  + f" ({result.stack()})")
        good = sum(1 for o in outcomes if o in ("serial", "line"))
        spread = (f"median {statistics.median(seconds):.2f} s, max {max(seconds):.2f} s"
                  if seconds else "no times")
        print(f"{release} {label}: {good} of {len(outcomes)} ({spread}; first report lost "
              f"{lost}; harness faults {faults})")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--times", type=int, default=10)
    parser.add_argument("--release", action="append")
    parser.add_argument("--dual", action="store_true")
    parser.add_argument("--case", action="append", choices=list(CASES))
    opts = parser.parse_args()
    names = opts.case or [n for n in CASES if opts.dual or n != "never-scanned-dual"]
    for release in opts.release or ["trixie"]:
        measure(release, opts.times, names)


if __name__ == "__main__":
    main()
