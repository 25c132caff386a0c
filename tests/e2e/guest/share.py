"""What passes through the share with the host, /run/e2e: the scenario and
stack.json in; the progress file, the runner's log and the result out. Also
the guest's clock that every recorded time is on, and the error that makes
a boot a harness failure rather than a verdict on the tool."""

import json
import os
import time
from typing import IO, Optional

SHARE = "/run/e2e"
LOGS = os.path.join(SHARE, "logs")
SCENARIO = os.path.join(SHARE, "scenario.json")
STACK = os.path.join(SHARE, "stack.json")
RESULT = os.path.join(SHARE, "result.json")
# lines written as the runner gets on; the host reads them when the guest
# died without a result, to tell a dead boot from a death during a tool run
PROGRESS = os.path.join(SHARE, "progress")

T0 = time.monotonic()
_log_file: Optional[IO[str]] = None

# what the tests' summary shows of this boot: its stack's versions and when
# each stage of it was reached, on the guest's clock
timeline: dict = {}


class HarnessFailure(Exception):
    """The stack could not be brought up or driven: not the tool's doing."""


def now():
    return round(time.monotonic() - T0, 4)


def open_log():
    global _log_file
    _log_file = open(os.path.join(SHARE, "runner.log"), "a")


def log(msg):
    line = f"[{now():8.3f}] {msg}\n"
    if _log_file:
        _log_file.write(line)
        _log_file.flush()


def progress(line):
    fd = os.open(PROGRESS, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
    try:
        os.write(fd, (line + "\n").encode())
        os.fsync(fd)
    finally:
        os.close(fd)


def read_json(path, default=None):
    if default is not None and not os.path.exists(path):
        return default
    with open(path) as f:
        return json.load(f)


def write_result(obj):
    tmp = RESULT + ".tmp"
    with open(tmp, "w") as f:
        json.dump(obj, f)
        f.flush()
        os.fsync(f.fileno())
    os.rename(tmp, RESULT)
