"""Runs of the tool under test: started as root or as an ordinary user, in
this root or with the host's loader, its stdout and stderr kept as raw
bytes (stdout also in timed chunks), its end and exit status, for the
host-side tests to judge."""

import base64
import json
import os
import pwd
import shutil
import subprocess
from typing import Dict, List

import bus
from share import SHARE, now, progress

runs: Dict[str, "Run"] = {}
# how the tool is started in this guest root (stack.json): in another
# release's root, the host's loader, which runs the tool in this same
# process, so the pid is the tool's for the call log
tool_prefix: List[str] = []


class Run:
    def __init__(self, name, args, user=None):
        self.name = name
        self.args = args
        argv = tool_prefix + [tool_binary(user)] + args
        self.out = bytearray()
        self.err = bytearray()
        self.chunks = []
        self.started = now()
        self.ended = None
        self.killed = False
        self.open_pipes = 2
        env = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "LANG": "C.UTF-8"}
        identity = {}
        if user is not None:
            entry = pwd.getpwnam(user)
            identity = {"user": entry.pw_uid, "group": entry.pw_gid, "extra_groups": []}
        progress(f"tool {name}")
        self.proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, env=env, **identity)
        bus.watch_pipe(self.proc.stdout.fileno(), self._stdout, self._pipe_ended)
        bus.watch_pipe(self.proc.stderr.fileno(), self.err.extend, self._pipe_ended)

    def _stdout(self, data):
        self.out.extend(data)
        self.chunks.append((now(), base64.b64encode(data).decode()))

    def _pipe_ended(self):
        self.open_pipes -= 1

    def finished(self):
        if self.proc.poll() is None:
            return False
        if self.ended is None:
            self.ended = now()
        return self.open_pipes <= 0

    def kill(self):
        self.killed = True
        self.proc.kill()
        bus.wait_until(self.finished, 10)

    def line_count(self):
        return self.out.count(b"\n")

    def device_id(self):
        """The deviceId of the last line that has one, as a caller would take it."""
        value = "MISSING-DEVICE-ID"
        for line in bytes(self.out).split(b"\n"):
            try:
                value = json.loads(line)["deviceId"]
            except (ValueError, KeyError, TypeError):
                pass
        return value

    def result(self):
        rc = self.proc.poll()
        return {
            "argv": self.args,
            "stdout_b64": base64.b64encode(bytes(self.out)).decode(),
            "stderr_b64": base64.b64encode(bytes(self.err)).decode(),
            "exit": rc if rc is not None and rc >= 0 else None,
            "signal": -rc if rc is not None and rc < 0 else None,
            "killed": self.killed,
            "pid": self.proc.pid,
            "started": self.started,
            "ended": self.ended,
            "chunks": self.chunks,
        }


def tool_binary(user):
    """The tool's path; for another user, a copy it may read (the share is root's alone)."""
    binary = os.path.join(SHARE, "bleprobe")
    if user is None:
        return binary
    copy = "/run/e2e-user/bleprobe"
    if not os.path.exists(copy):
        os.makedirs(os.path.dirname(copy), mode=0o755, exist_ok=True)
        shutil.copy2(binary, copy)
        os.chmod(copy, 0o755)
    return copy


def expand_args(args):
    """Arguments "$deviceId:<run>" become that run's deviceId."""
    out = []
    for a in args:
        if a.startswith("$deviceId:"):
            src = runs.get(a.split(":", 1)[1])
            out.append(src.device_id() if src else "MISSING-DEVICE-ID")
        else:
            out.append(a)
    return out


def start(step):
    """Starts the tool as the step says: as root, or as an ordinary user with
    no supplementary group (step "user")."""
    run = Run(step["run"], expand_args(step.get("args", [])), step.get("user"))
    runs[step["run"]] = run
    return run


def wait_or_kill(run, timeout):
    """Whether the run ended within timeout; a run that did not is killed."""
    if bus.wait_until(run.finished, timeout):
        return True
    run.kill()
    return False


def kill_running():
    for run in runs.values():
        if run.proc.poll() is None:
            run.kill()
