"""Waiting for a condition, and ending a child process, on the monotonic
clock: the two things every test of a program under the simulation does."""

import subprocess
import time


def poll_until(condition, timeout, interval=0.01):
    """Calls condition() until it returns something true, and returns that.
    Raises TimeoutError, naming the condition, once timeout seconds have
    passed without it."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise TimeoutError('%s still false after %.1f s'
                               % (getattr(condition, '__name__', condition), timeout))
        time.sleep(interval)


def stop_process(process, grace=5.0, signal_first=True):
    """Ends a subprocess.Popen and reaps it: SIGTERM (unless signal_first is
    false, which kills at once), then SIGKILL if it is still there after
    grace seconds. Returns its exit status."""
    if process.poll() is None:
        if signal_first:
            process.terminate()
            try:
                return process.wait(grace)
            except subprocess.TimeoutExpired:
                pass
        process.kill()
    return process.wait()
