"""The options of `bleprobe-sim import`: its usage, its description, and
the arguments with their checks (cli.py makes the subcommand of them)."""

import argparse
import re

from .names import ADDRESS, UUID, uuid16

USAGE = ('bleprobe-sim import CAPTURE [--controller N] [--from SECONDS] [--to SECONDS]\n'
         '                           [--peripheral ADDRESS]... [--service UUID]... > SCENARIO')

DESCRIPTION = """\
Reads CAPTURE (btmon -w, a btsnoop file of datalink 2001, 1002 or 1001, a
pcap or pcapng file of link type 201 or 254, any of them gzipped) and writes
on standard output a scenario that replays what bluetoothd was given while
it discovered, report by report at the captured times (asHeard), and each
connection attempt and serial number read as it went.  Time zero is the
start of the first discovery in the window; the scenario's timeline starts
when the replaying program first discovers.  A summary of what was kept,
dropped and left out goes to standard error.  Times of the options are
seconds from the capture's first event, as btmon -r shows them."""


def address(text: str) -> str:
    if not ADDRESS.match(text):
        raise argparse.ArgumentTypeError('%r is not an address AA:BB:CC:DD:EE:FF' % text)
    return text.upper()


def service_uuid(text: str) -> str:
    if re.match(r'^[0-9A-Fa-f]{4}$', text):
        return uuid16(text)
    if not UUID.match(text):
        raise argparse.ArgumentTypeError('%r is not a UUID (FE59, or 128 bits)' % text)
    return text.lower()


def seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = -1.0
    if not 0 <= value < 1e12:
        raise argparse.ArgumentTypeError('%r is not a number of seconds from 0' % text)
    return value


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument('capture', metavar='CAPTURE')
    parser.add_argument('--controller', metavar='N', type=int,
                        help='the controller hciN (default: the one that scanned first)')
    parser.add_argument('--from', dest='start', metavar='SECONDS', type=seconds,
                        help='the time window starts here (default: the capture\'s start)')
    parser.add_argument('--to', dest='end', metavar='SECONDS', type=seconds,
                        help='the time window ends here (default: the capture\'s end)')
    parser.add_argument('--peripheral', metavar='ADDRESS', type=address, action='append',
                        default=[], help='write this peripheral (repeatable; default: every one)')
    parser.add_argument('--service', metavar='UUID', type=service_uuid, action='append',
                        default=[], help='write the peripherals with service data of this UUID '
                        '(repeatable)')
