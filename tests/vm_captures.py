"""Captures made by the real stack in the end-to-end VM (tests/e2e/, a
scenario's "record"), with what bleprobe printed while they were made: the
e2e stage makes them afresh on every run, and some are kept as fixtures in
tests/captures/ so that the test command replays them without the VM.

A field capture is two things:

- the capture as btmon -w wrote it, less the records of the peripheral's
  controller (hci1): a gateway records only its own controller, and the
  peripheral's side would show the kit what no field capture shows;
- its record (JSON): the scenario and release it came from; every
  bleprobe run it saw whole, with its arguments, its start, the SIGTERM it
  got (or null), its end and exit status, its lines with the time each
  was read from the tool's pipe, and when it called Connect (as the bus
  saw the call); and the discoveries that the VM's runner
  made itself (its "discover" step: until BlueZ listed the peripheral);
  every time in seconds of the Unix epoch on the capture's own clock (the
  guest kernel's, which stamps its records).

A fixture is the capture gzip-compressed, NAME.btsnoop.gz, beside its
record, NAME.json, NAME being <release>-<scenario>."""

import gzip
import json
import os
import struct
from typing import Dict, List

HERE = os.path.dirname(os.path.abspath(__file__))
FIXTURES = os.path.join(HERE, 'captures')

BTSNOOP_HEADER = 16
RECORD = struct.Struct('>IIIIq')
# The central's controller in the VM, and the monitor's records of no
# controller (bluetoothd's log lines, the kernel's notes, the management
# sockets opened and closed).
CENTRAL_INDEX = 0
NO_INDEX = 0xFFFF


def trim(data: bytes, keep=(CENTRAL_INDEX, NO_INDEX)) -> bytes:
    """A btmon capture (btsnoop, monitor datalink) with only the records of
    the controllers in keep."""
    out = [data[:BTSNOOP_HEADER]]
    pos = BTSNOOP_HEADER
    while pos + RECORD.size <= len(data):
        _, length, flags, _, _ = RECORD.unpack_from(data, pos)
        end = pos + RECORD.size + length
        if flags >> 16 in keep:
            out.append(data[pos:end])
        pos = end
    return b''.join(out)


def record(vm, capture) -> Dict:
    """The record of a capture of a boot (harness.VmResult, harness.Capture):
    the runs that started after it started and ended before it stopped."""
    def wall(t):
        return None if t is None else round(t + capture.wall_minus_runner, 6)

    stopped = capture.stopped if capture.stopped is not None else float('inf')
    runs: List[Dict] = []
    for run in sorted(vm.runs.values(), key=lambda r: r.started):
        if not (capture.started <= run.started and run.ended is not None and run.ended <= stopped):
            continue
        sigterm = next((s.get('sent') for s in vm.steps
                        if s['op'] == 'sigterm' and s.get('run') == run.name), None)
        lines = []
        for t, chunk in run.chunks:
            lines += [[wall(t), line.decode('utf-8', 'replace')] for line in chunk.split(b'\n') if line]
        runs.append({'name': run.name, 'args': run.argv, 'started': wall(run.started),
                     'sigterm': wall(sigterm), 'ended': wall(run.ended), 'exit': run.exit_status,
                     'lines': lines, 'connects': [wall(c['t']) for c in vm.calls(run, 'Connect')]})
    discoveries = [{'started': wall(s['t']), 'stopped': wall(s['done'])} for s in vm.steps
                   if s['op'] == 'discover' and capture.started <= s['t'] <= s['done'] <= stopped]
    stack = vm.stack()
    return {'scenario': vm.scenario, 'release': vm.release, 'kernel': stack['kernel'],
            'bluetoothd': stack['bluetoothd'], 'runs': runs, 'discoveries': discoveries}


def save(directory: str, name: str, capture: bytes, rec: Dict) -> str:
    """Writes NAME.btsnoop.gz and NAME.json into directory; the capture's path."""
    path = os.path.join(directory, name + '.btsnoop.gz')
    # mtime 0: the same capture gives the same bytes
    with open(path, 'wb') as raw, gzip.GzipFile(fileobj=raw, mode='wb', mtime=0) as f:
        f.write(capture)
    with open(os.path.join(directory, name + '.json'), 'w') as out:
        json.dump(rec, out, indent=1)
        out.write('\n')
    return path


def fixtures() -> List[str]:
    """The names of the fixtures kept in the tree."""
    return sorted(n[:-len('.json')] for n in os.listdir(FIXTURES) if n.endswith('.json'))


def load(name: str, directory: str = FIXTURES):
    """(capture path, record) of a fixture."""
    with open(os.path.join(directory, name + '.json')) as f:
        return os.path.join(directory, name + '.btsnoop.gz'), json.load(f)
