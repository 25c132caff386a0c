"""Assertions on what the tool wrote, with the evidence in the message."""

import itertools
import json
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir))

import line_schema  # noqa: E402


def line_forms(record):
    """Every byte form of a result line: compact JSON, keys in any order."""
    forms = set()
    for keys in itertools.permutations(record):
        obj = "{" + ",".join(
            json.dumps(k, ensure_ascii=False) + ":" + json.dumps(record[k], ensure_ascii=False)
            for k in keys) + "}\n"
        forms.add(obj.encode())
    return forms


def describe(vm, run):
    return (f"\n  scenario {vm.scenario}, run {run.name} {run.argv}"
            f"\n  stdout: {run.stdout!r}\n  stderr: {run.stderr!r}"
            f"\n  exit {run.exit_status} signal {run.signal} killed {run.killed}"
            f"\n  steps: {vm.steps_summary()}")


def assert_output(vm, run, records):
    """stdout is exactly these records, one line each, in this order."""
    rest = run.stdout
    for i, record in enumerate(records):
        for form in line_forms(record):
            if rest.startswith(form):
                rest = rest[len(form):]
                break
        else:
            raise AssertionError(f"line {i + 1} is not the expected {record}" + describe(vm, run))
    assert rest == b"", f"more output than the expected {len(records)} line(s)" + describe(vm, run)


def assert_clean_exit(vm, run):
    assert not run.killed, "the tool did not end by itself" + describe(vm, run)
    assert run.exit_status == 0, "exit status is not 0" + describe(vm, run)
    assert run.stderr == b"", "the tool wrote to stderr" + describe(vm, run)


def assert_step_ok(vm, op, run_name=None):
    for s in vm.steps:
        if s["op"] == op and (run_name is None or s.get("run") == run_name) and not s.get("ok", True):
            raise AssertionError(f"step {op} {run_name or ''} failed: {s.get('detail')}"
                                 f"\n  steps: {vm.steps_summary()}")


def assert_lines_match_schema(vm, run):
    """Every complete line is one of the mode that the run's command line chose."""
    for line in run.stdout.split(b"\n")[:-1]:
        try:
            line_schema.check(run.argv, json.loads(line))
        except (ValueError, AssertionError) as e:
            raise AssertionError(f"{e}" + describe(vm, run)) from None
