"""Waiting for a condition, reading a child's first line and ending a
child process, on the monotonic clock: the things every test of a program
under the simulation does."""

import select
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


def read_address(process, who, timeout, cancelled=lambda: False):
    """The first line that `process` writes to its stdout pipe, stripped:
    a bus address.  '' when the pipe ends first (the process failed).
    Raises TimeoutError('WHO printed no address within N s') when nothing
    came within timeout seconds, and whatever cancelled() raises, which it
    is asked every 50 ms meanwhile."""
    stdout = process.stdout

    def readable():
        cancelled()
        return bool(select.select([stdout], [], [], 0.05)[0])
    try:
        poll_until(readable, timeout, interval=0)
    except TimeoutError:
        raise TimeoutError('%s printed no address within %g s' % (who, timeout)) from None
    return stdout.readline().decode(errors='replace').strip()


def stop_process(process, grace=5.0, signal_first=True, readers=()):
    """Ends a subprocess.Popen, reaps it and closes its pipes: SIGTERM
    (unless signal_first is false, which kills at once), then SIGKILL if it
    is still there after grace seconds.  `readers`, threads that read its
    pipes, are given grace seconds to see their end before the pipes are
    closed under them.  Returns its exit status."""
    if process.poll() is None:
        if signal_first:
            process.terminate()
            try:
                process.wait(grace)
            except subprocess.TimeoutExpired:
                pass
        if process.poll() is None:
            process.kill()
    status = process.wait()
    for reader in readers:
        reader.join(grace)
    for pipe in (process.stdin, process.stdout, process.stderr):
        if pipe is not None:
            try:
                pipe.close()
            except BrokenPipeError:
                pass  # what was left to write to it has nobody to read it
    return status
