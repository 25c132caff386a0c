"""Captures of what a gateway's radio heard while bleprobe ran, written as
btmon -w writes them (tests/capture_synth.py), each with the lines that
bleprobe printed when it was made: the cases that `bleprobe-sim import`
must turn into scenarios that print them again.  tests/sim/test_capture_import.py
checks the scenarios, tests/integration/test_replay.py replays them to the
real bleprobe.

Times here are seconds from the start of the capture's first discovery
(its time zero), or from the start of the capture where it has none."""

import struct
from typing import Any, Dict, List, Optional, Tuple

import capture_synth as s
from bleprobe_sim.capture import monitor

ZERO = s.T0 + 1000000          # the first discovery's start
A, B = 'D4:3F:7A:10:00:01', 'D4:3F:7A:10:00:02'
SERIAL = '8C3F00A1B2C3D4E5'
SERIAL_UUID = struct.pack('<H', 0x2A25)
HANDLE = 0x40


def us(seconds: float) -> int:
    return ZERO + int(round(seconds * 1e6))


def device_id(address: str) -> str:
    return '00000000-0000-0000-0000-' + address.replace(':', '')


def unit_line(address: str, unit: str) -> Dict[str, str]:
    return {'deviceId': device_id(address), 'unitNumber': unit}


def head(release: str = '5.66') -> List[Any]:
    t = s.T0
    return [s.note(t, 'Linux version 6.1.0-18-amd64 (x86_64)'), s.controller(t + 1, 0, '00:1A:7D:DA:71:13'),
            s.socket_open(t + 2, 1, 'bluetoothd'), s.log_line(t + 3, 'Bluetooth daemon %s' % release)]


def discovery(start: float, end: Optional[float], stopped: bool = True,
              answered: float = 0.0001) -> List[Any]:
    """A discovery that bluetoothd starts at start and stops at end (or the
    kernel ends, stopped False), as the kernel carries it out: it answers
    Start Discovery `answered` s after it signals Discovering (a 6.12 kernel
    answers once it scans)."""
    records = [s.start_discovery(us(start) - 900, 0)] + s.scan_parameters(us(start) - 800, 0)
    records += s.scan_enable(us(start) - 500, 0, True, 1) + [s.discovering(us(start), 0, True)]
    records.append(s.command_answer(us(start + answered), 0, 0x0023))
    if end is not None:
        if stopped:
            records.append(s.stop_discovery(us(end) - 600, 0))
        records += s.scan_enable(us(end) - 500, 0, False) + [s.discovering(us(end), 0, False)]
        if stopped:
            records.append(s.command_answer(us(end) + 100, 0, 0x0024))
    return records


def advertise(t: float, address: str, unit: str, found: bool = True) -> List[Any]:
    """One advertisement of a unit number heard; found: the kernel gave
    bluetoothd its Device Found (False: dropped, or no discovery ran)."""
    data = s.service_data16(0x1523, unit.encode())
    records = [s.adv_report(us(t), 0, s.report(address, data))]
    if found:
        records.append(s.device_found(us(t) + 60, 0, address, data))
    return records


def advertiser(address: str, units: List[Tuple[float, str]], start: float, end: float,
               interval: float = 0.25, off: Tuple[Tuple[float, float], ...] = (),
               dropped: Tuple[float, ...] = ()) -> List[Any]:
    """Advertisements from start to end every interval plus up to 7 ms
    (the advertiser's own delay, which adds up), with the unit number that
    units gives from each time on; none reach bluetoothd in the periods
    `off` (no discovery), nor those at the times `dropped`."""
    records: List[Any] = []
    t, n = start, 0
    while t < end:
        unit = [u for since, u in units if since <= t][-1]
        found = not any(a <= t < b for a, b in off) and not any(abs(t - d) < 1e-6 for d in dropped)
        records += advertise(t, address, unit, found)
        n += 1
        t = round(t + interval + (n * 37 % 8) / 1000, 6)
    return records


def report_times(records: List[Any], address: str, unit: str) -> List[float]:
    """The times of the Device Found that gave bluetoothd address's unit
    number: a line that shows it comes at the first of them after its
    scan's discovery started."""
    raw, data = s.raw_address(address), s.service_data16(0x1523, unit.encode())
    return [(r[0] - ZERO) / 1e6 for r in records if r[2] == monitor.CTRL_EVENT
            and r[3][4:6] == b'\x12\x00' and r[3][6:12] == raw and r[3].endswith(data)]


def connect(start: float, status: int = 0, after: float = 0.05) -> List[Any]:
    records = s.create_connection(us(start), 0, A)
    return records + [s.connection_complete(us(start + after), 0, HANDLE, A, status=status)]


def scan_for(start: float, end: Optional[float]) -> List[Any]:
    """The kernel's scan for A on its accept list, before it connects."""
    records = s.accept_list(us(start) - 1000, 0, 'add', A) + \
        s.scan_parameters(us(start) - 500, 0, False, policy=1) + s.scan_enable(us(start), 0, True, 1)
    return records + (s.scan_enable(us(end), 0, False) if end is not None else [])


def services(t: float) -> List[Any]:
    """BlueZ's discovery of the characteristics, which names 0x2A25's handle."""
    return s.att_discovery(us(t), 0, HANDLE, [(0x10, 0x11, SERIAL_UUID)])


def read(t: float, value: Optional[bytes] = None, error: Optional[int] = None) -> List[Any]:
    return s.att_read(us(t), 0, HANDLE, 0x11, value=value, error=error)


def disconnect(t: float, reason: int = 0x16, asked: bool = True) -> List[Any]:
    records = s.disconnect(us(t), 0, HANDLE) if asked else []
    return records + [s.disconnection_complete(us(t + 0.1), 0, HANDLE, reason)]


def search(found_at: float = 0.3) -> List[Any]:
    """bleprobe's search for A: a discovery that ends once A is found."""
    return discovery(0, found_at + 0.05) + advertise(found_at, A, '1234-567')


def ordered(records: List[Any]) -> List[Any]:
    return sorted(records, key=lambda r: r[0])


# A run of bleprobe: its arguments, when it starts (seconds after the first
# run's StartDiscovery; None: when the run before has ended), when a scan
# gets SIGTERM (on the same clock), and the lines it prints, each with its
# times: for a scan the capture times of the reports that carry what it
# shows (it comes with the first of them after its discovery started), for
# identity mode how long after Connect it comes (the attempt's own time and
# bleprobe's wait for the adapter's fate, links-end-first in
# doc/bluez-behaviour.md).  A scan also says how many discoveries it
# started (one more for each that ended under it).
Line = Tuple[Dict[str, str], List[float]]
Run = Tuple[List[str], Optional[float], Optional[float], List[Line], int]
IDENTITY = ['--identity', device_id(A)]


def unit(records: List[Any], address: str, number: str) -> Line:
    return unit_line(address, number), report_times(records, address, number)


def changed_unit_number() -> Tuple[List[Any], List[Run]]:
    # The kernel dropped the first advertisement: the line comes with the
    # second.
    heard = advertiser(A, [(0, '1234-567'), (2.5, '1234-568')], 0.4, 4.9, dropped=(0.4,))
    return (ordered(head() + discovery(0, 5.05) + heard),
            [([], None, 5.0, [unit(heard, A, '1234-567'), unit(heard, A, '1234-568')], 1)])


def peripheral_goes_silent() -> Tuple[List[Any], List[Run]]:
    # Two scans; B is silent by the second one, which prints A only.
    a = advertiser(A, [(0, '1234-567')], 0.3, 7.9, off=((3.0, 5.0),))
    b = advertiser(B, [(0, '2048-001')], 0.45, 2.0)
    return (ordered(head() + discovery(0, 3.0) + discovery(5.0, 8.05) + a + b),
            [([], None, 2.9, [unit(a, A, '1234-567'), unit(b, B, '2048-001')], 1),
             ([], 5.0, 7.9, [unit(a, A, '1234-567')], 1)])


def discovery_stopped_under_the_scan() -> Tuple[List[Any], List[Run]]:
    # Another program's session stops the discovery at 2 s; bleprobe
    # starts it again 0.5 s later, and the change made meanwhile comes with
    # the first report after that.
    heard = advertiser(A, [(0, '1234-567'), (2.2, '1234-568')], 0.3, 3.9, off=((2.0, 2.5),))
    return (ordered(head('5.82') + discovery(0, 2.0) + discovery(2.5, 4.05) + heard),
            [([], None, 3.9, [unit(heard, A, '1234-567'), unit(heard, A, '1234-568')], 2)])


def discovery_restarted_at_once() -> Tuple[List[Any], List[Run]]:
    # bluetoothd stops the discovery at 2 s and starts it again itself 3 ms
    # later: the scan hears on, and starts no discovery of its own.
    heard = advertiser(A, [(0, '1234-567'), (2.1, '1234-568')], 0.3, 2.9, off=((2.0, 2.003),))
    return (ordered(head('5.82') + discovery(0, 2.0) + discovery(2.003, 3.05) + heard),
            [([], None, 2.9, [unit(heard, A, '1234-567'), unit(heard, A, '1234-568')], 1)])


def first_report_lost() -> Tuple[List[Any], List[Run]]:
    # Kernel 6.12 answers bluetoothd's Start Discovery once it scans: the
    # report that came before the answer is dropped, and the line comes with
    # the next one.
    heard = advertiser(A, [(0, '1234-567')], 0.005, 2.9)
    return (ordered(head('5.82') + discovery(0, 3.05, answered=0.02) + heard),
            [([], None, 3.0, [(unit_line(A, '1234-567'), report_times(heard, A, '1234-567')[1:])], 1)])


def connect_fails() -> Tuple[List[Any], List[Run]]:
    return (ordered(head() + search() + connect(0.45, status=0x3E, after=1.0)),
            [(IDENTITY, None, None, [({'error': 'identity-connect-failed'}, [1.0 + 0.5])], 1)])


def link_lost() -> Tuple[List[Any], List[Run]]:
    return (ordered(head('5.87') + search() + connect(0.45) + services(0.6) +
                    disconnect(1.9, reason=0x08, asked=False)),
            [(IDENTITY, None, None, [({'error': 'identity-disconnected'}, [0.05 + 1.5 + 0.5])], 1)])


def read_fails() -> Tuple[List[Any], List[Run]]:
    # BlueZ lists the unit already: no search, and no advertisement.
    # bleprobe holds a failed read 0.5 s, then asks for Disconnect, which
    # bluetoothd sends 2 s later; the line comes 1.0 s after bleprobe asked.
    return (ordered(head() + connect(0.1) + services(0.2) + read(0.4, error=0x02) + disconnect(2.9)),
            [(IDENTITY, None, None, [({'error': 'identity-read-failed'}, [0.05 + 0.245 + 0.5 + 1.0])], 0)])


def attempts_in_order() -> Tuple[List[Any], List[Run]]:
    return (ordered(head() + connect(0.1, status=0x3E, after=0.5) + connect(2.0) + services(2.1) +
                    read(2.3, value=SERIAL.encode()) + disconnect(4.3)),
            [(IDENTITY, None, None, [({'error': 'identity-connect-failed'}, [0.5 + 0.5])], 0),
             # bluetoothd drops the link 2 s after bleprobe's Disconnect: the
             # line comes 1.0 s after that call, without waiting for it.
             (IDENTITY, None, None,
              [({'deviceId': device_id(A), 'serial': SERIAL}, [0.05 + 0.245 + 1.0])], 0)])


CAPTURES = {
    'changed-unit-number': changed_unit_number,
    'peripheral-goes-silent': peripheral_goes_silent,
    'discovery-stopped-under-the-scan': discovery_stopped_under_the_scan,
    'discovery-restarted-at-once': discovery_restarted_at_once,
    'first-report-lost': first_report_lost,
    'connect-fails-0x3e': connect_fails,
    'link-lost-0x08': link_lost,
    'read-fails': read_fails,
    'attempts-in-order': attempts_in_order,
}


def write(path: str, case: str) -> List[Run]:
    """The capture of case at path; the runs of bleprobe it holds."""
    records, runs = CAPTURES[case]()
    s.write(path, records)
    return runs
