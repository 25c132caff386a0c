"""The manual page and the protocol document: well-formed, and complete."""

import os
import subprocess
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, os.pardir, os.pardir)
sys.path.insert(0, os.path.join(HERE, os.pardir))

import line_schema  # noqa: E402

MAN_PAGES = ['bleprobe.1', 'bleprobe-sim.1']
SCENARIOS = os.path.join(ROOT, 'examples', 'scenarios')


# groff's default device and the terminal's, which `man` uses.
@pytest.mark.parametrize('device', ['ps', 'utf8'])
@pytest.mark.parametrize('page', MAN_PAGES)
def test_man_page_formats_without_a_warning(page, device):
    result = subprocess.run(['groff', '-man', '-ww', '-z', '-T' + device, os.path.join(ROOT, 'doc', page)],
                            capture_output=True, text=True, check=False)
    assert (result.returncode, result.stderr) == (0, '')


@pytest.mark.parametrize('document', ['doc/bleprobe.1', 'doc/protocol.md'])
def test_documents_explain_every_error_code(document):
    with open(os.path.join(ROOT, document), encoding='utf-8') as f:
        text = f.read().replace('\\-', '-')
    codes = line_schema.error_codes()
    assert len(codes) == 11
    assert sorted(c for c in codes if c not in text) == []


def test_example_scenarios_are_one_per_outcome():
    names = {os.path.splitext(f)[0] for f in os.listdir(SCENARIOS) if f.endswith('.json')}
    assert names == {'unit-numbers', 'dfu', 'identity'} | set(line_schema.error_codes())
