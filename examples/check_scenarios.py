#!/usr/bin/python3
"""Runs example scenarios as their own fields say, and checks lines and times.

    check_scenarios.py [SCENARIO.json ...]

For each scenario (by default every one in scenarios/ beside this file):
``bleprobe-sim run SCENARIO -- bleprobe ARGS`` with ARGS from
``bleprobeArgs``, SIGTERM to bleprobe-sim (which passes it on to bleprobe)
``terminateAfter`` seconds after bleprobe's start when the scenario gives it,
and then the lines bleprobe wrote, parsed, must equal ``expect`` in order,
and the exit status must be 0.  The lines and the exit must also come when
callers expect them, counted from bleprobe's start (``bleprobe_sim.promises``
holds the bounds, with their reasons): a scan's lines before its SIGTERM and
its exit after it; identity's line at its time (the search, the time limit,
or soon after SIGTERM); the error line that ends a scan after the
timeline's last event; the exit after the last line.

The scenarios run at the same time: most of them spend their time waiting for
bleprobe's own time limits.

BLEPROBE and BLEPROBE_SIM in the environment name the programs (default: the
ones on PATH); the package bleprobe_sim is taken from beside BLEPROBE_SIM.
Prints one line per scenario and a closing count; exits 0 when every
scenario gave its lines in time, 1 otherwise.
"""

import glob
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
from concurrent.futures import ThreadPoolExecutor

HERE = os.path.dirname(os.path.abspath(__file__))
BLEPROBE_SIM = os.environ.get('BLEPROBE_SIM', 'bleprobe-sim')
try:
    from bleprobe_sim import promises
    from bleprobe_sim.waiting import poll_until, stop_process
except ImportError:
    print('check_scenarios.py: the Python package bleprobe_sim is not installed '
          '(python3-bleprobe-sim; from a source tree, PYTHONPATH=sim)', file=sys.stderr)
    sys.exit(2)

# bleprobe is started through a shell that first writes this line to the same
# FIFO: times count from bleprobe's start, which on a loaded machine can come
# seconds after bleprobe-sim's own start (the bus, the simulation).
STARTED = b'bleprobe starting\n'
# Past bleprobe's own limits (60 s for identity, then up to 1 s for a link to
# be released and 3 s for it to go down), for a slow, loaded machine.
SELF_ENDING_LIMIT = 120.0
AFTER_TERMINATE_LIMIT = 30.0

# An identity line's bound from start, by its error.
IDENTITY_LINE_TIMES = {'identity-device-not-found': promises.NOT_FOUND_LINE,
                       'identity-timeout': promises.TIMEOUT_LINE}
# SIGTERM reaches bleprobe through bleprobe-sim's main loop, which on a
# loaded machine was seen to take 0.2 s: a scan's exit is given half a second
# more (identity's bound after SIGTERM has room for it).
SIGTERM_RELAY = 0.5


class Run:
    """bleprobe under bleprobe-sim.  bleprobe writes to a FIFO that no other
    process holds, read here as it comes: each line's arrival, and the end
    of the FIFO at bleprobe's own exit, on the monotonic clock."""

    def __init__(self, scenario_path, args):
        self.dir = tempfile.mkdtemp(prefix='check-scenarios-')
        self.fifo = os.path.join(self.dir, 'bleprobe.out')
        os.mkfifo(self.fifo)
        self.process = subprocess.Popen(
            [BLEPROBE_SIM, 'run', scenario_path, '--', 'sh', '-c',
             'exec >"$1"; printf "%s" "$2"; shift 2; exec "$@"', 'sh', self.fifo,
             STARTED.decode(), os.environ.get('BLEPROBE', 'bleprobe'), *args],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.lines = []
        self.exited = None
        self.output = b''
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.waiter = threading.Thread(target=self._wait, daemon=True)
        self.reader.start()
        self.waiter.start()

    def _read(self):
        with open(self.fifo, 'rb') as f:
            for line in f:
                self.lines.append((time.monotonic(), line))
        self.exited = time.monotonic()

    def _wait(self):
        out, err = self.process.communicate()
        self.output = out + err
        # Where bleprobe never started, the read still waits for a writer.
        while self.reader.is_alive():
            try:
                os.close(os.open(self.fifo, os.O_WRONLY | os.O_NONBLOCK))
            except OSError:
                pass
            self.reader.join(0.1)

    def ended(self):
        return not self.waiter.is_alive()

    def close(self):
        stop_process(self.process, readers=[self.waiter])
        shutil.rmtree(self.dir, ignore_errors=True)


def timing_problems(scenario, lines, terminated, exited):
    """The lines, (seconds, record) from bleprobe's start, and the exit
    against the times callers rely on."""
    identity = '--identity' in scenario['bleprobeArgs']
    problems = []

    def check(what, seconds, low, high):
        if not ((low is None or low <= seconds) and seconds <= high):
            problems.append('%s at %.2f s, expected %s%.2f s'
                            % (what, seconds, '' if low is None else '%.2f to ' % low, high))

    for at, record in lines:
        what = 'line %s' % json.dumps(record)
        if identity:
            check(what, at, *IDENTITY_LINE_TIMES.get(record.get('error'), promises.ANY_IDENTITY_LINE))
            if terminated is not None and at >= terminated:
                check(what + ' after SIGTERM', at - terminated, *promises.CANCELLED_LINE_RELEASING)
        elif terminated is not None:
            check(what, at, 0.0, terminated)
    timeline = scenario.get('timeline')
    if timeline and lines and not identity and 'error' in lines[-1][1]:
        event = max(e['at'] for e in timeline)
        check('error line after the last event', lines[-1][0] - event, None, promises.ERROR_AFTER_EVENT)
    if terminated is not None and not identity:
        low, high = promises.EXIT_AFTER_SIGTERM
        check('exit after SIGTERM', exited - terminated, low, high + SIGTERM_RELAY)
    elif lines:
        check('exit after the last line', exited - lines[-1][0],
              *(promises.LINKED_EXIT_AFTER_LINE if identity else promises.EXIT_AFTER_LINE))
    return problems


def run_scenario(path):
    """(passed, message) for one scenario file."""
    with open(path, encoding='utf-8') as f:
        scenario = json.load(f)
    run = Run(path, scenario['bleprobeArgs'])
    try:
        return check_run(scenario, run)
    finally:
        run.close()


def check_run(scenario, run):
    terminate_after = scenario.get('terminateAfter')
    try:
        poll_until(lambda: run.lines or run.ended(), SELF_ENDING_LIMIT)
    except TimeoutError:
        return False, 'bleprobe not started after %g s' % SELF_ENDING_LIMIT
    started = run.lines[0][0] if run.lines and run.lines[0][1] == STARTED else None
    terminated = None
    limit = SELF_ENDING_LIMIT
    if terminate_after is not None and started is not None:
        run.reader.join(max(0.0, started + terminate_after - time.monotonic()))
        if run.exited is None:
            terminated = time.monotonic()
            run.process.send_signal(signal.SIGTERM)
        limit = AFTER_TERMINATE_LIMIT
    try:
        poll_until(run.ended, limit)
    except TimeoutError:
        return False, 'still running %g s after it should have ended' % limit
    output = run.lines[1:] if started is not None else run.lines
    try:
        lines = [(at - (started or 0.0), json.loads(line)) for at, line in output]
    except ValueError:
        lines = None
    problems = []
    records = [record for _, record in lines] if lines is not None else None
    if records != scenario['expect']:
        problems.append('lines %s, expected %s' % (
            json.dumps(records) if records is not None else b''.join(l for _, l in output),
            json.dumps(scenario['expect'])))
    elif started is not None:
        problems += timing_problems(scenario, lines,
                                    terminated and terminated - started, run.exited - started)
    if run.process.returncode != 0:
        problems.append('exit status %d' % run.process.returncode)
    if problems and run.output:
        problems.append('bleprobe-sim wrote: %s' % run.output.decode('utf-8', 'replace').strip())
    return not problems, '; '.join(problems)


def timed(path):
    start = time.monotonic()
    passed, message = run_scenario(path)
    print('%s %s (%.1f s)%s' % ('ok  ' if passed else 'FAIL', os.path.basename(path),
                                time.monotonic() - start, ': ' + message if message else ''),
          flush=True)
    return passed


def main(argv):
    if any(a.startswith('-') for a in argv):
        print(__doc__.strip().splitlines()[0], file=sys.stderr)
        print('usage: check_scenarios.py [SCENARIO.json ...]', file=sys.stderr)
        return 2
    paths = argv or sorted(glob.glob(os.path.join(HERE, 'scenarios', '*.json')))
    if not paths:
        print('check_scenarios.py: no scenario found', file=sys.stderr)
        return 2
    with ThreadPoolExecutor(len(paths)) as pool:
        results = list(pool.map(timed, paths))
    passed = sum(results)
    print('%d passed, %d failed' % (passed, len(results) - passed))
    return 0 if all(results) else 1


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
