"""Field captures made into scenarios: `bleprobe-sim import CAPTURE`.

    from bleprobe_sim.replay import Options, import_capture

    imported = import_capture(path, Options(controller=None, start=None, end=None,
                                            addresses=set(), uuids=set()))
    imported.scenario          # the scenario, valid against the schema
    imported.text()            # the scenario as the command writes it
    imported.summary()         # the lines the command writes on standard error

It raises the reader's CaptureError for a capture that cannot be read
(capture/__init__.py), OSError as open() does, and ImportFailure for an
option that the capture cannot satisfy.

What the scenario holds: the controller chosen (by default the one that
scanned first), as its only adapter; time zero at the start of its first
discovery in the time window (timeZero firstDiscovery: the replay's own
discovery starts the timeline), or at the window's start when none ran;
bluetoothd's release from its log line, played as the nearest release the
kit plays; every peripheral that bluetoothd was given a report of with
service data (any UUID) while discovering, with its address type, the
times of those reports as heard (asHeard: no filter, round or loss of the
simulation on top) in runs where they are regular (times.py), the data of
each change; every peripheral connected to, with one connection and gatt
entry per attempt (connections.py); a discoveryStopped event where
bluetoothd stopped the discovery and a program started it again soon
after, a discoveryRestarted one where bluetoothd itself did at once;
adapterRemoved where the controller went away.  What it leaves out, and
why, the summary says (summary.py)."""

from .importer import Import, ImportFailure, Options

__all__ = ['Import', 'ImportFailure', 'Options', 'import_capture']


def import_capture(path: str, options: Options) -> Import:
    imported = Import(path, options)
    imported.run()
    return imported
