#!/usr/bin/python3
"""Finds the peripheral that advertises a unit number and reads its serial.

    find_unit.py UNIT_NUMBER [--timeout SECONDS]

Scans with bleprobe until a peripheral advertises UNIT_NUMBER or SECONDS
pass (30 by default), stops the scan with SIGTERM, then reads that
peripheral's serial number in identity mode.  Prints ``DEVICE_ID SERIAL``
and exits 0; exits 1 with bleprobe's error code on standard error when
bleprobe reports one, and 3 when no peripheral advertised the unit number in
time.  BLEPROBE in the environment names the bleprobe to run (default: the
one on PATH).

An example of a program that calls bleprobe; its tests run it against
bleprobe-sim.
"""

import argparse
import asyncio
import json
import os
import signal
import sys

NOT_FOUND = 3
# bleprobe ends identity mode by itself within about 61 s; past this the
# caller cancels it (SIGTERM gives identity-cancelled).
IDENTITY_LIMIT = 70.0


class BleprobeError(Exception):
    """bleprobe wrote an error line; the argument is its code."""


def bleprobe_command(*args):
    return [os.environ.get('BLEPROBE', 'bleprobe'), *args]


async def stop(process):
    """SIGTERM, then read on until bleprobe exits: closing the pipe while it
    still runs would end it by SIGPIPE."""
    if process.returncode is None:
        process.send_signal(signal.SIGTERM)
    await process.stdout.read()
    await process.wait()


async def scan_for(unit_number, seconds):
    """The deviceId of the first peripheral advertising unit_number, or None."""
    scan = await asyncio.create_subprocess_exec(*bleprobe_command(), stdin=asyncio.subprocess.DEVNULL,
                                                stdout=asyncio.subprocess.PIPE)

    async def first_match():
        async for raw in scan.stdout:
            line = json.loads(raw)
            if 'error' in line:
                raise BleprobeError(line['error'])
            if line['unitNumber'] == unit_number:
                return line['deviceId']
        return None

    try:
        return await asyncio.wait_for(first_match(), seconds)
    except asyncio.TimeoutError:
        return None
    finally:
        await stop(scan)


async def read_serial(device_id):
    identity = await asyncio.create_subprocess_exec(*bleprobe_command('--identity', device_id),
                                                    stdin=asyncio.subprocess.DEVNULL,
                                                    stdout=asyncio.subprocess.PIPE)
    try:
        raw = await asyncio.wait_for(identity.stdout.readline(), IDENTITY_LIMIT)
    except asyncio.TimeoutError:
        identity.send_signal(signal.SIGTERM)
        raw = await identity.stdout.readline()
    # Identity mode stays until its link is down; the next run on this
    # peripheral must not start before it has exited.
    await identity.wait()
    line = json.loads(raw)
    if 'error' in line:
        raise BleprobeError(line['error'])
    return line['serial']


async def find_unit(unit_number, seconds):
    device_id = await scan_for(unit_number, seconds)
    if device_id is None:
        return None
    return device_id, await read_serial(device_id)


def main(argv):
    parser = argparse.ArgumentParser(description='Find a unit by its unit number and read its serial number.')
    parser.add_argument('unit_number')
    parser.add_argument('--timeout', type=float, default=30.0, metavar='SECONDS')
    args = parser.parse_args(argv)
    try:
        found = asyncio.run(find_unit(args.unit_number, args.timeout))
    except BleprobeError as error:
        print('find_unit: bleprobe reported %s' % error, file=sys.stderr)
        return 1
    if found is None:
        print('find_unit: no unit %s within %g s' % (args.unit_number, args.timeout), file=sys.stderr)
        return NOT_FOUND
    print('%s %s' % found)
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
