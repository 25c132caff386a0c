#!/bin/sh
# flake8 or mypy, Debian's, over every Python file of the tree: the package
# bleprobe_sim and its script, cmake --install's step that installs it, the tests, the examples and the benchmarks.
#
#   scripts/lint-python.sh flake8|mypy
#
# Runs from the source root, where flake8 finds the project's .flake8.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
python=/usr/bin/python3

case "${1:-}" in
flake8)
    exec "$python" -m flake8 sim/bleprobe_sim sim/bleprobe-sim cmake/install_wheel.py tests examples bench
    ;;
mypy)
    run_mypy() {
        "$python" -m mypy --no-incremental --cache-dir=/dev/null --ignore-missing-imports "$@"
    }
    # mypy names a module after its file, and tests/e2e and tests/integration
    # each have their own conftest.py, harness.py and test files of one name:
    # the end-to-end tests are checked on their own, with the package they
    # import.
    status=0
    run_mypy sim/bleprobe_sim sim/bleprobe-sim cmake/install_wheel.py tests examples bench --exclude '^tests/e2e/' || status=1
    run_mypy tests/e2e sim/bleprobe_sim || status=1
    exit $status
    ;;
*)
    echo "usage: scripts/lint-python.sh flake8|mypy" >&2
    exit 2
    ;;
esac
