#!/usr/bin/python3
"""Scanning CPU per advertisement report of bleprobe against the minimal
sd-bus client, dbus-daemon's cost per routed message, lost lines and peak RSS.

Each run starts a private bus with the system bus's limits, a simulated
bluetoothd (fake_bluez) with M devices, then one receiver (the tool or the
minimal client; the two alternate), and lets fake_bluez send N ServiceData
signals. CPU figures (utime+stime) cover only the sending window: from the go
signal, before the first report, until the receiver has drained its queue (it
received every signal, or printed every expected line, and went idle).
"""

import argparse
import fcntl
import json
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import benchlib  # noqa: E402

F_SETPIPE_SZ = 1031
QUIET_S = 3.0          # no new line for this long after the last signal: lines were lost
START_TIMEOUT_S = 30.0
DEVICE_ID = re.compile(r"^00000000-0000-0000-0000-C0FFEE[0-9A-F]{6}$")

# name, N, M, share, rate (0 = as fast as the bus goes), RSS target MiB.
# Both receivers see the same arrival rate: CPU per message depends on it. At
# 30,000/s each signal is a wake-up of its own, as with real advertisements;
# unpaced, signals arrive in bursts and one wake-up reads many.
DEFAULT_RUNS = [
    ("1k peripherals, 30,000/s", 100000, 1000, 0.05, 30000, 4),
    ("10k peripherals, 30,000/s", 100000, 10000, 0.05, 30000, 8),
    ("1k peripherals, unpaced", 100000, 1000, 0.05, 0, 4),
    ("10k peripherals, unpaced", 100000, 10000, 0.05, 0, 8),
    ("1k peripherals, 50,000/s", 100000, 1000, 0.05, 50000, 4),
    ("100k peripherals, 30,000/s", 200000, 100000, 0.05, 30000, 40),
]
# Under callgrind the receivers run some 50 times slower: a rate they keep up
# with keeps one signal per wake-up.
INSTRUCTION_RUNS = [
    ("1k peripherals, 1,000/s", 10000, 1000, 0.05, 1000, 4),
    ("1k peripherals, unpaced", 10000, 1000, 0.05, 0, 4),
]


class Pipe:
    """Non-blocking reader of a child's output pipe."""

    def __init__(self, f, size=None):
        self.fd = f.fileno()
        if size:
            try:
                fcntl.fcntl(self.fd, F_SETPIPE_SZ, size)
            except OSError:
                pass
        fcntl.fcntl(self.fd, fcntl.F_SETFL, fcntl.fcntl(self.fd, fcntl.F_GETFL) | os.O_NONBLOCK)
        self.data = bytearray()
        self.eof = False

    def pump(self):
        """Read what is there; returns the number of bytes read."""
        got = 0
        while not self.eof:
            try:
                chunk = os.read(self.fd, 1 << 20)
            except BlockingIOError:
                break
            if not chunk:
                self.eof = True
                break
            self.data += chunk
            got += len(chunk)
        return got


class Generator:
    def __init__(self, bins, bus, args):
        self.proc = subprocess.Popen([os.path.join(bins, "fake_bluez"), "--wait-go"] + args,
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=bus.env())
        self.out = Pipe(self.proc.stdout)
        self.lines = []

    def poll_lines(self):
        self.out.pump()
        while b"\n" in self.out.data:
            line, _, rest = bytes(self.out.data).partition(b"\n")
            self.out.data = bytearray(rest)
            self.lines.append(line.decode())

    def find(self, prefix):
        self.poll_lines()
        for line in self.lines:
            if line.startswith(prefix):
                return line
        return None

    def wait_for(self, prefix, timeout, alive=None):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            line = self.find(prefix)
            if line:
                return line
            if self.proc.poll() is not None:
                return None
            if alive and not alive():
                return None
            select.select([self.out.fd], [], [], 0.01)
        return None

    def send(self, text):
        try:
            self.proc.stdin.write(text.encode())
            self.proc.stdin.flush()
        except BrokenPipeError:
            pass

    def finish(self):
        """Ask it to quit; returns its call counts."""
        self.send("quit\n")
        try:
            self.proc.stdin.close()
        except BrokenPipeError:
            pass
        line = self.wait_for("STATS", 10)
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        return benchlib.parse_counts(line or "")


def check_lines(data, dfu):
    """Sanity of the tool's output: (lines, distinct devices, problems)."""
    lines = data.decode(errors="replace").splitlines()
    devices = set()
    problems = []
    keys = {"deviceId", "serial", "serviceDataHex", "serviceUuid"} if dfu else {"deviceId", "unitNumber"}
    for line in lines:
        try:
            rec = json.loads(line)
        except ValueError:
            problems.append("not JSON: %r" % line[:80])
            continue
        if set(rec) != keys or not DEVICE_ID.match(rec.get("deviceId", "")):
            problems.append("unexpected record: %r" % line[:120])
            continue
        devices.add(rec["deviceId"])
    return len(lines), len(devices), problems


def callgrind_totals(path):
    """Instructions of a callgrind dump (its 'totals:' line)."""
    try:
        with open(path) as f:
            for line in f:
                if line.startswith("totals:") or line.startswith("summary:"):
                    return int(line.split()[1])
    except (OSError, ValueError, IndexError):
        pass
    return None


class Receiver:
    """The tool or the minimal client under measure, its output read as it
    comes; it runs in its bus's directory (callgrind writes its dumps there)."""

    def __init__(self, argv, bus):
        self.proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, env=bus.env(), cwd=bus.dir)
        self.out = Pipe(self.proc.stdout, 1 << 20)
        self.err = Pipe(self.proc.stderr)
        self.exited = None  # (wait status, rusage, time) once it ended by itself

    def alive(self):
        if self.exited is None:
            wpid, status, ru = os.wait4(self.proc.pid, os.WNOHANG)
            if wpid == self.proc.pid:
                self.exited = (status, ru, time.monotonic())
                self.proc.returncode = status
        return self.exited is None

    def pump(self):
        self.out.pump()
        self.err.pump()

    def reap(self):
        if self.proc.returncode is None:
            self.proc.kill()
            try:
                os.wait4(self.proc.pid, 0)
            except ChildProcessError:
                pass
            self.proc.returncode = -9


def receiver_argv(kind, n, bins, tool, opts, res, bus):
    if kind == "tool":
        argv = [tool] + (["--dfu"] if opts.dfu else [])
    else:
        argv = [os.path.join(bins, "minimal_client"), "--count", str(n)]
        if opts.discovered:
            argv.append("--with-added")
    if opts.instructions:
        # Counting starts zeroed at "go" and is dumped once drained.
        res["callgrind_out"] = os.path.join(bus.dir, "callgrind.out")
        argv = ["valgrind", "--tool=callgrind", "--callgrind-out-file=" + res["callgrind_out"],
                "--dump-instr=no", "--compress-strings=no"] + argv
    return argv


def started(gen, receiver, kind, opts, res):
    """Whether the receiver started its discovery; its start-up time."""
    t_start = time.monotonic()
    if not gen.wait_for("DISCOVERING", START_TIMEOUT_S * (10 if opts.instructions else 1), receiver.alive):
        receiver.pump()
        res["ok"] = False
        res["notes"].append("no StartDiscovery from %s (%s); stdout %r stderr %r" % (
            kind, benchlib.exit_text(receiver.exited[0]) if receiver.exited else "still running",
            bytes(receiver.out.data[:200]), bytes(receiver.err.data[:200])))
        return False
    res["startup_s"] = time.monotonic() - t_start
    if opts.instructions:
        time.sleep(0.5)  # the tool's own answers to its last start-up replies
        subprocess.run(["callgrind_control", "--zero", str(receiver.proc.pid)], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
    return True


def drain(gen, receiver, kind, cfg, opts, res, c0, t0):
    """From "go" until the last signal was sent, the receiver has taken in
    all of it (every expected line, or every signal counted) and has gone
    idle (the tool may still be working through queued duplicates after its
    last line). Returns fake_bluez's DONE counts, and when the receiver was
    last busy."""
    _, n, _, _, rate, _ = cfg
    done = None
    last_progress = last_busy = t0
    last_cpu = c0
    slow = 50.0 if opts.instructions else 1.0
    deadline = t0 + slow * max(60.0, 20.0 * n / 10000.0 if rate == 0 else 2.0 * n / rate + 30)
    while True:
        time.sleep(0.02)
        now = time.monotonic()
        if receiver.out.pump():
            last_progress = now
        receiver.err.pump()
        if done is None:
            line = gen.find("DONE")
            if line:
                done = benchlib.parse_counts(line)
                last_progress = now
            elif gen.proc.poll() is not None:
                res["ok"] = False
                res["notes"].append("fake_bluez died")
                return done, last_busy
        if not receiver.alive():
            res["notes"].append("the %s exited by itself before the end" % kind)
            return done, last_busy
        try:
            cpu = benchlib.cpu_seconds(receiver.proc.pid)
        except OSError:
            continue  # it is exiting; alive() sees it next time round
        if cpu != last_cpu:
            last_cpu, last_busy, last_progress = cpu, now, now
        if done is not None:
            idle = now - last_busy >= 0.1
            if kind == "tool":
                complete = receiver.out.data.count(b"\n") >= done["expected"]
            else:
                complete = b"RECEIVED" in receiver.out.data
            if idle and complete:
                return done, last_busy
            if now - last_progress > QUIET_S * slow:
                res["notes"].append("no progress for %.0f s after the last signal" % (QUIET_S * slow))
                return done, last_busy
        if now > deadline:
            res["notes"].append("timed out")
            return done, last_busy


def measure(gen, receiver, bus, kind, cfg, opts, res):
    """CPU, wall time and peak RSS of the sending window. Both receivers are
    measured alike, alive and idle: CPU from schedstat (nanoseconds), peak
    RSS as the kernel's VmHWM (ru_maxrss would count the spawning driver's
    pages from before exec). Returns the DONE counts and the receiver's wait
    status at SIGTERM, or None where it ended by itself."""
    pid = receiver.proc.pid
    c0, us0, d0 = benchlib.cpu_seconds(pid), benchlib.user_system_seconds(pid), benchlib.cpu_seconds(bus.pid)
    t0 = time.monotonic()
    gen.send("go\n")
    done, t1 = drain(gen, receiver, kind, cfg, opts, res, c0, t0)
    if receiver.exited is not None:
        res["ok"] = False
        return done, None
    c1, us1, d1 = benchlib.cpu_seconds(pid), benchlib.user_system_seconds(pid), benchlib.cpu_seconds(bus.pid)
    res["maxrss_kib"] = benchlib.vm_hwm_kib(pid)
    res["rss_split"] = benchlib.rss_split(pid)
    if opts.instructions:
        subprocess.run(["callgrind_control", "--dump", str(pid)], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
    receiver.proc.send_signal(signal.SIGTERM)
    status, _ = benchlib.wait4(pid, 30 if opts.instructions else 10)
    receiver.proc.returncode = status
    res["lines_in_window"] = receiver.out.data.count(b"\n")
    receiver.pump()
    res.update(done or {})
    res["sent"] = (done or {}).get("sent", 0)
    res["cpu_s"] = c1 - c0
    res["user_s"], res["system_s"] = us1[0] - us0[0], us1[1] - us0[1]
    res["daemon_cpu_s"] = d1 - d0
    res["wall_s"] = t1 - t0
    res["exit"] = benchlib.exit_text(status)
    return done, status


def count_instructions(res, bus, name, kind, opts):
    dumps = sorted(f for f in os.listdir(bus.dir) if f.startswith("callgrind.out."))
    res["instructions"] = callgrind_totals(os.path.join(bus.dir, dumps[0])) if dumps else None
    if dumps and opts.keep_profiles:
        os.makedirs(opts.keep_profiles, exist_ok=True)
        kept = os.path.join(opts.keep_profiles, "callgrind.%s.%s.%d" % (
            re.sub(r"[^0-9a-z]+", "-", name.lower()), kind, int(time.time() * 1000)))
        shutil.copy(os.path.join(bus.dir, dumps[0]), kept)
        res["notes"].append("profile kept in %s (callgrind_annotate shows it)" % kept)
    if res["instructions"] is None:
        res["notes"].append("no callgrind dump")


def check_tool(res, receiver, done, status, opts):
    """The tool's lines against what fake_bluez advertised: none lost, none extra."""
    if not opts.instructions and not (os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0):
        res["notes"].append("tool ended with %s on SIGTERM" % res["exit"])
    total, devices, problems = check_lines(bytes(receiver.out.data), opts.dfu)
    res["lines"] = total
    res["devices_reported"] = devices
    if problems:
        res["ok"] = False
        res["notes"] += problems[:5]
    if not done:
        return
    expected = done["expected"]
    if total < expected:
        res["ok"] = False
        res["notes"].append("LOST %d of %d expected lines" % (expected - total, expected))
    elif total > expected:
        res["ok"] = False
        res["notes"].append("EXTRA %d lines beyond the %d expected" % (total - expected, expected))
    if devices != done["devices"]:
        res["ok"] = False
        res["notes"].append("%d distinct devices reported, %d advertised" % (devices, done["devices"]))


def check_minimal(res, receiver, n):
    received = re.search(rb"RECEIVED (\d+)", bytes(receiver.out.data))
    res["received"] = int(received.group(1)) if received else None
    if res["received"] != n:
        res["ok"] = False
        res["notes"].append("LOST: the minimal client received %s of %d signals" % (res["received"], n))


def run_one(kind, cfg, bins, tool, opts):
    """One repetition of a run with one receiver: its figures and notes."""
    name, n, m, share, rate, _ = cfg
    bus = benchlib.Bus()
    gen_args = ["--mode", "scan", "--count", str(n), "--devices", str(m), "--new-share", str(share),
                "--rate", str(rate)]
    gen_args += (["--dfu"] if opts.dfu else []) + (["--discovered"] if opts.discovered else [])
    gen = Generator(bins, bus, gen_args)
    receiver = None
    res = {"kind": kind, "ok": True, "notes": []}
    try:
        if not gen.wait_for("READY", START_TIMEOUT_S):
            raise SystemExit("fake_bluez did not start")
        receiver = Receiver(receiver_argv(kind, n, bins, tool, opts, res, bus), bus)
        if not started(gen, receiver, kind, opts, res):
            return res
        done, status = measure(gen, receiver, bus, kind, cfg, opts, res)
        if status is None:
            return res
        if opts.instructions:
            count_instructions(res, bus, name, kind, opts)
        elif receiver.err.data:
            res["notes"].append("wrote to stderr: %r" % bytes(receiver.err.data[:300]))
        if kind == "tool":
            check_tool(res, receiver, done, status, opts)
        else:
            check_minimal(res, receiver, n)
        if not done:
            res["ok"] = False
    finally:
        if receiver:
            receiver.reap()
        if kind == "tool":
            time.sleep(0.3)  # let its StopDiscovery reach fake_bluez before asking for the counts
        res["calls"] = gen.finish()
        bus.close()
    if kind == "tool" and not opts.instructions and "cpu_s" in res and not res["calls"].get("StopDiscovery"):
        res["notes"].append("StopDiscovery was not called on SIGTERM")
    return res


def per_msg(r):
    return r["cpu_s"] / r["sent"] if r.get("sent") and "cpu_s" in r else None


def instr_per_msg(r):
    return r["instructions"] / r["sent"] if r.get("sent") and r.get("instructions") else None


def median(values):
    values = sorted(v for v in values if v is not None)
    if not values:
        return None
    mid = len(values) // 2
    return values[mid] if len(values) % 2 else (values[mid - 1] + values[mid]) / 2.0


def print_repetition(r, rate):
    label = "tool   " if r["kind"] == "tool" else "minimal"
    if "cpu_s" not in r:
        print("  %s  FAILED: %s" % (label, "; ".join(r["notes"])))
        return
    sent = r["sent"]
    cpu_share = 100.0 * r["cpu_s"] / r["wall_s"] if r["wall_s"] else 0
    user_system = r["user_s"] + r["system_s"]
    kernel_share = 100.0 * r["system_s"] / user_system if user_system else 0
    print("  %s  CPU %.2f us/%s (%.0f%% of a core, %.0f%% in the kernel)%s  dbus-daemon %.2f us/msg  "
          "wall %.2f s  peak RSS %.1f MiB" % (
              label, r["cpu_s"] * 1e6 / sent, "report" if r["kind"] == "tool" else "msg   ",
              cpu_share, kernel_share,
              "  %.0f instructions/msg" % instr_per_msg(r) if instr_per_msg(r) else "",
              r["daemon_cpu_s"] * 1e6 / sent, r["wall_s"], r["maxrss_kib"] / 1024.0))
    if r["kind"] == "tool":
        print("           lines expected %d, received %d%s; %s%s" % (
            r.get("expected", -1), r.get("lines", -1),
            "" if r.get("lines") == r.get("expected") else "  <-- LOST/EXTRA", r["exit"],
            "; RSS at end: %s" % r["rss_split"] if r.get("rss_split") else ""))
    if rate and r.get("elapsed_us"):
        achieved = sent * 1e6 / r["elapsed_us"]
        print("           sent at %.0f/s, at most %.1f ms behind schedule%s" % (
            achieved, r.get("max_lag_us", 0) / 1000.0,
            "" if achieved >= 0.95 * rate else
            "  <-- rate not reached: the machine is too busy for this run to show %d/s" % rate))
    for note in r["notes"]:
        print("           !! " + note)


def print_medians(summary, tool_runs, minimal_runs, rss_target):
    tool_med = median(per_msg(r) for r in tool_runs)
    min_med = median(per_msg(r) for r in minimal_runs)
    if tool_med and min_med:
        ratio = tool_med / min_med
        summary.update(tool=tool_med * 1e6, minimal=min_med * 1e6, ratio=ratio)
        print("  medians: tool %.2f us/report, minimal client %.2f us/msg, ratio %.2f (target <= 1.25)%s" % (
            tool_med * 1e6, min_med * 1e6, ratio, "" if ratio <= 1.25 else "  <-- over"))
    tool_ins = median(instr_per_msg(r) for r in tool_runs)
    min_ins = median(instr_per_msg(r) for r in minimal_runs)
    if tool_ins and min_ins:
        summary.update(tool_ins=tool_ins, minimal_ins=min_ins)
        print("  instructions: tool %.0f/report, minimal client %.0f/msg, ratio %.2f" % (
            tool_ins, min_ins, tool_ins / min_ins))
    rss = [r["maxrss_kib"] for r in tool_runs if r.get("maxrss_kib")]
    if rss:
        top = max(rss) / 1024.0
        summary["rss"] = top
        print("  tool peak RSS %.1f MiB (target <= %d MiB)%s" % (
            top, rss_target, "" if top <= rss_target else "  <-- over"))


def print_run(cfg, tool_runs, minimal_runs, opts):
    """Every repetition in the order run, then the medians side by side."""
    name, n, m, share, rate, rss_target = cfg
    print("== %s: N=%d signals, M=%d devices, new-identity share %.2f, rate %s; load average %s" % (
        name, n, m, share, "%d/s" % rate if rate else "as fast as possible", benchlib.loadavg()))
    summary = {"name": name}
    for r in (x for pair in zip(tool_runs or [None] * len(minimal_runs or []),
                                minimal_runs or [None] * len(tool_runs or [])) for x in pair):
        if r:
            print_repetition(r, rate)
    print_medians(summary, tool_runs or [], minimal_runs or [], rss_target)
    lines = [r.get("lines") for r in tool_runs or []]
    summary["lost"] = any(not r["ok"] for r in (tool_runs or []) + (minimal_runs or []))
    summary["lines"] = lines[0] if lines else None
    sys.stdout.flush()
    return summary


def print_table(summaries):
    print("\n| run | minimal client | bleprobe | ratio | bleprobe peak RSS | lines, none lost |")
    print("|---|---|---|---|---|---|")
    for s in summaries:
        if "ratio" not in s:
            continue
        print("| %s | %.2f µs | %.2f µs | %.2f | %s | %s |" % (
            s["name"], s["minimal"], s["tool"], s["ratio"],
            "%.1f MiB" % s["rss"] if "rss" in s else "-",
            "LOST" if s["lost"] else "{:,}".format(s["lines"]) if s.get("lines") else "-"))


def parse_args():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--tool", help="bleprobe binary (default $BLEPROBE or build/bleprobe)")
    ap.add_argument("--bin-dir", help="directory with fake_bluez and minimal_client")
    ap.add_argument("-n", type=int, help="one custom run: number of signals")
    ap.add_argument("-m", type=int, default=1000, help="custom run: number of devices")
    ap.add_argument("--share", type=float, default=0.05,
                    help="custom run: share of reports with a new unit number")
    ap.add_argument("--rate", type=float, default=0, help="custom run: signals per second (0 = unpaced)")
    ap.add_argument("--scale", type=float, default=1.0, help="multiply N of the default runs")
    ap.add_argument("--only", help="default runs whose name contains this text")
    ap.add_argument("--dfu", action="store_true", help="firmware-update payloads, tool run with --dfu")
    ap.add_argument("--discovered", action="store_true",
                    help="devices appear by InterfacesAdded during the scan instead of being cached")
    ap.add_argument("--minimal-only", action="store_true", help="skip the tool")
    ap.add_argument("--no-minimal", action="store_true", help="skip the minimal client")
    ap.add_argument("--instructions", action="store_true",
                    help="count instructions per report under callgrind (slow; the CPU figures are then "
                         "valgrind's)")
    ap.add_argument("--keep-profiles", metavar="DIR",
                    help="with --instructions: keep each callgrind dump in DIR")
    ap.add_argument("--reps", type=int, default=3,
                    help="repetitions of each run, tool and minimal client alternating; medians are compared")
    return ap.parse_args()


def chosen_runs(opts):
    if opts.n:
        target = 4 if opts.m <= 1000 else 8 if opts.m <= 10000 else 40
        return [("custom", opts.n, opts.m, opts.share, int(opts.rate), target)]
    return [(nm, max(1, int(n * opts.scale)), m, s, r, t)
            for nm, n, m, s, r, t in (INSTRUCTION_RUNS if opts.instructions else DEFAULT_RUNS)
            if not opts.only or opts.only in nm]


def main():
    opts = parse_args()
    # Receivers run in their bus's directory (callgrind writes its dumps there).
    tool = os.path.abspath(benchlib.find_tool(opts.tool))
    bins = os.path.abspath(benchlib.find_bin_dir(opts.bin_dir, tool))
    if not opts.minimal_only and not os.access(tool, os.X_OK):
        print("!! %s not found: minimal client only" % tool)
        opts.minimal_only = True
    print("scan benchmark: tool %s, %d CPUs, load average %s%s%s%s" % (
        "-" if opts.minimal_only else tool, os.cpu_count(), benchlib.loadavg(),
        ", --dfu" if opts.dfu else "", ", devices discovered during the scan" if opts.discovered else "",
        ", under callgrind" if opts.instructions else ""))
    failed = False
    summaries = []
    t_begin = time.monotonic()
    for cfg in chosen_runs(opts):
        tool_runs, minimal_runs = [], []
        for _ in range(max(1, opts.reps)):
            if not opts.minimal_only:
                tool_runs.append(run_one("tool", cfg, bins, tool, opts))
            if not opts.no_minimal:
                minimal_runs.append(run_one("minimal", cfg, bins, tool, opts))
        summaries.append(print_run(cfg, tool_runs, minimal_runs, opts))
        failed |= any(not r["ok"] for r in tool_runs + minimal_runs)
    print_table(summaries)
    print("\ntotal %.0f s, load average now %s" % (time.monotonic() - t_begin, benchlib.loadavg()))
    if failed:
        print("!! SOME RUNS LOST OR MISREPORTED LINES (see '!!' above)")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
