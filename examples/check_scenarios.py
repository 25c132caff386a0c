#!/usr/bin/python3
"""Runs example scenarios as their own fields say, and compares the lines.

    check_scenarios.py [SCENARIO.json ...]

For each scenario (by default every one in scenarios/ beside this file):
``bleprobe-sim run SCENARIO -- bleprobe ARGS`` with ARGS from
``bleprobeArgs``, SIGTERM to bleprobe-sim (which passes it on to bleprobe)
``terminateAfter`` seconds after bleprobe's start when the scenario gives it,
and then the lines bleprobe wrote, parsed, must equal ``expect`` in order,
and the exit status must be 0.  The scenarios run at the same time: most of them
spend their time waiting for bleprobe's own time limits.

BLEPROBE and BLEPROBE_SIM in the environment name the programs (default: the
ones on PATH).  Prints one line per scenario and a closing count; exits 0
when every scenario gave its lines, 1 otherwise.
"""

import asyncio
import glob
import json
import os
import signal
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
# bleprobe is started through a shell that first writes this line on the same
# pipe: terminateAfter counts from bleprobe's start, which on a loaded machine
# can come seconds after bleprobe-sim's own start (the bus, the simulation).
STARTED = b'bleprobe starting\n'
# Past bleprobe's own limits (60 s for identity, then up to 1 s for a link to
# be released and 3 s for it to go down), for a slow, loaded machine.
SELF_ENDING_LIMIT = 120.0
AFTER_TERMINATE_LIMIT = 30.0


async def run_scenario(path):
    """(passed, message) for one scenario file."""
    with open(path, encoding='utf-8') as f:
        scenario = json.load(f)
    command = [os.environ.get('BLEPROBE_SIM', 'bleprobe-sim'), 'run', path, '--',
               'sh', '-c', 'printf "%s" "$1"; shift; exec "$@"', 'sh', STARTED.decode(),
               os.environ.get('BLEPROBE', 'bleprobe'), *scenario['bleprobeArgs']]
    expect = scenario['expect']
    terminate_after = scenario.get('terminateAfter')
    process = await asyncio.create_subprocess_exec(*command, stdin=asyncio.subprocess.DEVNULL,
                                                   stdout=asyncio.subprocess.PIPE,
                                                   stderr=asyncio.subprocess.PIPE)
    try:
        started = await asyncio.wait_for(process.stdout.readline(), SELF_ENDING_LIMIT)
    except asyncio.TimeoutError:
        process.kill()
        await process.communicate()
        return False, 'bleprobe not started after %g s' % SELF_ENDING_LIMIT
    output = asyncio.ensure_future(process.communicate())
    try:
        if terminate_after is not None and started == STARTED:
            done, _ = await asyncio.wait({output}, timeout=terminate_after)
            if not done:
                process.send_signal(signal.SIGTERM)
            limit = AFTER_TERMINATE_LIMIT
        else:
            limit = SELF_ENDING_LIMIT
        stdout, stderr = await asyncio.wait_for(asyncio.shield(output), limit)
    except asyncio.TimeoutError:
        process.kill()
        stdout, stderr = await output
        return False, 'still running %g s after it should have ended' % limit
    if started != STARTED:
        stdout = started + stdout
    try:
        lines = [json.loads(line) for line in stdout.decode('utf-8').splitlines()]
    except ValueError:
        lines = stdout
    problems = []
    if lines != expect:
        problems.append('lines %s, expected %s' % (json.dumps(lines) if isinstance(lines, list) else lines,
                                                   json.dumps(expect)))
    if process.returncode != 0:
        problems.append('exit status %d' % process.returncode)
    if problems and stderr:
        problems.append('stderr: %s' % stderr.decode('utf-8', 'replace').strip())
    return not problems, '; '.join(problems)


async def run_all(paths):
    async def timed(path):
        start = time.monotonic()
        passed, message = await run_scenario(path)
        name = os.path.basename(path)
        print('%s %s (%.1f s)%s' % ('ok  ' if passed else 'FAIL', name, time.monotonic() - start,
                                    ': ' + message if message else ''), flush=True)
        return passed

    return await asyncio.gather(*(timed(p) for p in paths))


def main(argv):
    if any(a.startswith('-') for a in argv):
        print(__doc__.strip().splitlines()[0], file=sys.stderr)
        print('usage: check_scenarios.py [SCENARIO.json ...]', file=sys.stderr)
        return 2
    paths = argv or sorted(glob.glob(os.path.join(HERE, 'scenarios', '*.json')))
    if not paths:
        print('check_scenarios.py: no scenario found', file=sys.stderr)
        return 2
    results = asyncio.run(run_all(paths))
    passed = sum(results)
    print('%d passed, %d failed' % (passed, len(results) - passed))
    return 0 if all(results) else 1


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
