#!/usr/bin/python3
"""Identity latency: wall time from spawning `bleprobe --identity` to its result
line, and its peak RSS, against a simulated bluetoothd that answers at once
(Connect, ServicesResolved, ReadValue, Disconnect and Connected=false all
without delay). The time therefore is the tool's own: start-up, bus round
trips and whatever waiting it adds."""

import argparse
import json
import os
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import benchlib  # noqa: E402

ADDRESS = "C0:FF:EE:00:00:01"
SERIAL = "0123456789abcdef"
IDENTIFIER = "00000000-0000-0000-0000-" + ADDRESS.replace(":", "")
EXPECTED = {"deviceId": IDENTIFIER, "serial": SERIAL.upper()}
TARGET_MEDIAN_MS = 15.0
TARGET_RSS_MIB = 6.0


def timed_runs(bins, argv, runs, env):
    out = subprocess.run([os.path.join(bins, "exec_timer"), "--runs", str(runs), "--"] + argv,
                         env=env, capture_output=True, text=True, timeout=100 * runs + 30)
    results = []
    for line in out.stdout.splitlines():
        if not line.startswith("RUN "):
            continue
        head, _, text = line.partition(" out=")
        fields = dict(item.split("=", 1) for item in head.split()[2:])
        r = {k: int(v) for k, v in fields.items()}
        r["out"] = text.replace("\\n", "\n")
        results.append(r)
    if len(results) != runs:
        raise SystemExit("exec_timer failed: %s" % out.stderr.strip())
    return results


def ms(us):
    return us / 1000.0


def parse_args():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--tool", help="bleprobe binary (default $BLEPROBE or build/bleprobe)")
    ap.add_argument("--bin-dir", help="directory with fake_bluez and exec_timer")
    ap.add_argument("--runs", type=int, default=50)
    ap.add_argument("--warmup", type=int, default=3)
    ap.add_argument("--gatt-on-connect", action="store_true",
                    help="GATT objects appear only after Connect (an unbonded device)")
    ap.add_argument("--emit-connected", action="store_true",
                    help="also signal Connected=true after Connect (bluetoothd often does not)")
    return ap.parse_args()


def measure(tool, bins, opts):
    """(baseline runs, tool runs, their wall time, fake_bluez's call counts)."""
    bus = benchlib.Bus()
    gen_args = [os.path.join(bins, "fake_bluez"), "--mode", "identity", "--address", ADDRESS,
                "--serial", SERIAL]
    if opts.gatt_on_connect:
        gen_args.append("--gatt-on-connect")
    if opts.emit_connected:
        gen_args.append("--emit-connected")
    gen = subprocess.Popen(gen_args, stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=bus.env(), text=True)
    try:
        ready = gen.stdout.readline()
        if not ready.startswith("READY"):
            raise SystemExit("fake_bluez did not start")
        env = bus.env()
        baseline = timed_runs(bins, ["/bin/echo", "x"], max(10, opts.runs // 5), env)
        argv = [tool, "--identity", IDENTIFIER]
        if opts.warmup:
            timed_runs(bins, argv, opts.warmup, env)
        t_begin = time.monotonic()
        runs = timed_runs(bins, argv, opts.runs, env)
        wall = time.monotonic() - t_begin
        time.sleep(0.3)  # let the last Disconnect reach fake_bluez before asking for its counts
    finally:
        try:
            gen.stdin.write("quit\n")
            gen.stdin.close()
        except BrokenPipeError:
            pass
        stats_line = ""
        for line in gen.stdout:
            if line.startswith("STATS"):
                stats_line = line
        gen.wait(10)
        bus.close()
    return baseline, runs, wall, benchlib.parse_counts(stats_line)


def problems_of(runs, stats, total):
    """Each run's one line, exit and silence on stderr; one call of each kind per run."""
    problems = []
    for i, r in enumerate(runs):
        try:
            record = json.loads(r["out"].splitlines()[0]) if r["out"] else None
        except ValueError:
            record = None
        if r["out"].count("\n") != 1 or record != EXPECTED:
            problems.append("run %d printed %r" % (i, r["out"][:200]))
        if r["status"] != 0:
            problems.append("exit status %d (wait status)" % r["status"])
        if r["stderr_bytes"]:
            problems.append("wrote %d bytes to stderr" % r["stderr_bytes"])
    for call in ("Connect", "ReadValue", "Disconnect"):
        if stats.get(call, 0) != total:
            problems.append("%s called %d times over %d runs" % (call, stats.get(call, 0), total))
    return problems


def print_figures(tool, opts, baseline, runs, wall, stats):
    line = [r["line_us"] for r in runs if r["line_us"] >= 0]
    exit_ = [r["exit_us"] for r in runs]
    rss = [r["maxrss_kib"] for r in runs]
    cpu = [r["cpu_us"] for r in runs]
    base = [r["line_us"] for r in baseline]
    print("identity benchmark: tool %s, %d runs (+%d warm-up), %d CPUs, load average %s%s%s" % (
        tool, opts.runs, opts.warmup, os.cpu_count(), benchlib.loadavg(),
        ", GATT objects appear on connect" if opts.gatt_on_connect else "",
        ", Connected=true signalled" if opts.emit_connected else ""))
    if line:
        med = statistics.median(line)
        print("  exec -> result line  median %.2f ms  p90 %.2f ms  min %.2f ms  max %.2f ms  "
              "(target median <= %.0f ms)%s" % (
                  ms(med), ms(benchlib.percentile(line, 90)), ms(min(line)), ms(max(line)),
                  TARGET_MEDIAN_MS, "" if ms(med) <= TARGET_MEDIAN_MS else "  <-- over"))
    print("  exec -> exit         median %.2f ms  p90 %.2f ms" % (
        ms(statistics.median(exit_)), ms(benchlib.percentile(exit_, 90))))
    print("  CPU per run          median %.2f ms" % ms(statistics.median(cpu)))
    print("  peak RSS             max %.2f MiB  median %.2f MiB  (target <= %.0f MiB)%s" % (
        max(rss) / 1024.0, statistics.median(rss) / 1024.0, TARGET_RSS_MIB,
        "" if max(rss) / 1024.0 <= TARGET_RSS_MIB else "  <-- over"))
    print("  spawn baseline       /bin/echo exec -> line median %.2f ms, peak RSS %.2f MiB" % (
        ms(statistics.median(base)), max(r["maxrss_kib"] for r in baseline) / 1024.0))
    print("  fake_bluez calls     %s" % " ".join("%s=%d" % kv for kv in sorted(stats.items())))
    print("  %d runs in %.2f s" % (opts.runs, wall))


def main():
    opts = parse_args()
    tool = benchlib.find_tool(opts.tool)
    bins = benchlib.find_bin_dir(opts.bin_dir, tool)
    if not os.access(tool, os.X_OK):
        raise SystemExit("%s not found (set BLEPROBE or --tool)" % tool)
    baseline, runs, wall, stats = measure(tool, bins, opts)
    problems = problems_of(runs, stats, opts.runs + opts.warmup)
    print_figures(tool, opts, baseline, runs, wall, stats)
    for p in problems[:10]:
        print("  !! " + p)
    if problems:
        print("!! IDENTITY RUNS MISBEHAVED (see '!!' above)")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
