"""The Debian packages that scripts/install-deps.sh installs, checked on the
release this runs on: a name that only another release has (a versioned LLVM
package, say) stops the README's commands on a fresh machine of this one
before anything is built; and clang, its sanitizer runtimes and the
symbolizer that turns their reports into source lines must be one LLVM."""

import os
import re
import subprocess

import pytest

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir)
INSTALL_DEPS = os.path.join(ROOT, 'scripts', 'install-deps.sh')


def listed(*args):
    result = subprocess.run(['sh', INSTALL_DEPS, *args, '--list'], check=True, capture_output=True, text=True)
    return result.stdout.split()


def candidates(names):
    """Package name -> apt's candidate version, for the names apt knows."""
    out = subprocess.run(['apt-cache', 'policy', *names], check=True, capture_output=True, text=True).stdout
    found = {}
    name = None
    for line in out.splitlines():
        if re.fullmatch(r'\S+:', line):
            name = line[:-1]
        elif name and line.strip().startswith('Candidate:'):
            found[name] = line.split(':', 1)[1].strip()
    return found


def major_version(command):
    out = subprocess.run(command, check=True, capture_output=True, text=True).stdout
    match = re.search(r'version (\d+)\.', out)
    assert match, out
    return int(match.group(1))


@pytest.mark.parametrize('args', [(), ('--test',)], ids=['build', 'test'])
def test_every_package_has_a_candidate_and_none_pins_an_llvm_version(args):
    names = listed(*args)
    assert names
    found = candidates(names)
    assert [n for n in names if found.get(n, '(none)') == '(none)'] == []
    assert [n for n in names if re.match(r'(clang|llvm|libclang|libllvm|lld)\S*-\d+(-|$)', n)] == []


@pytest.mark.parametrize('other', [
    ['llvm-symbolizer', '--version'],
    ['llvm-config', '--version'],
], ids=lambda command: command[0])
def test_the_llvm_tools_on_path_are_clangs_own(other):
    clang = major_version(['clang++', '--version'])
    out = subprocess.run(other, check=True, capture_output=True, text=True).stdout
    match = re.search(r'(\d+)\.\d+\.\d+', out)
    assert match, out
    assert int(match.group(1)) == clang


# Small faulty programs built with the sanitized configuration's clang flags:
# each must link against this release's runtimes, and the report of its fault
# must name the source line marked "fault", which takes a working
# llvm-symbolizer of the same LLVM.
PROGRAMS = {
    'heap overflow': ('address,undefined', """
#include <cstdlib>
int main(int argc, char**) {
  char* p = static_cast<char*>(std::malloc(4));
  p[argc + 3] = 1;  // fault
  std::free(p);
}
""", ['heap-buffer-overflow']),
    'signed overflow': ('address,undefined', """
#include <climits>
int main(int argc, char**) {
  int n = INT_MAX - 1 + argc;
  return n + 1 > 0;  // fault
}
""", ['runtime error: signed integer overflow']),
    'fuzz target': ('fuzzer,address,undefined', """
#include <cstddef>
#include <cstdint>
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 2 && data[0] == 'b' && data[1] == 'l' && data[2] == 'e') __builtin_trap();  // fault
  return 0;
}
""", ['deadly signal']),
}


@pytest.mark.parametrize('name', PROGRAMS)
def test_clang_links_the_sanitizer_runtimes_and_reports_source_lines(name, tmp_path):
    sanitizers, source, expected = PROGRAMS[name]
    (tmp_path / 'probe.cpp').write_text(source)
    lines = source.splitlines()
    expected = expected + [f'probe.cpp:{n + 1}:' for n, line in enumerate(lines) if line.endswith('// fault')]
    subprocess.run(['clang++', '-g', '-O1', f'-fsanitize={sanitizers}', '-fno-sanitize-recover=all',
                    '-o', 'probe', 'probe.cpp'], cwd=tmp_path, check=True, capture_output=True, text=True)
    # A fuzz target runs the one input given, the one that reaches the fault.
    (tmp_path / 'input').write_text('ble')
    args = ['input'] if 'fuzzer' in sanitizers else []
    run = subprocess.run(['./probe', *args], cwd=tmp_path, capture_output=True, text=True, timeout=60)
    assert run.returncode != 0, run.stderr
    assert [e for e in expected if e not in run.stderr] == [], run.stderr
