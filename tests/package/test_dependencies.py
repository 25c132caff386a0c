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


@pytest.mark.parametrize('runtime', ['asan', 'ubsan_standalone', 'fuzzer', 'fuzzer_no_main'])
def test_clangs_runtime_directory_has_the_sanitizer_and_fuzzer_libraries(runtime):
    directory = subprocess.run(['clang++', '--print-runtime-dir'], check=True, capture_output=True,
                               text=True).stdout.strip()
    assert os.path.isfile(os.path.join(directory, f'libclang_rt.{runtime}.a')) or \
        os.path.isfile(os.path.join(directory, f'libclang_rt.{runtime}-x86_64.a')), directory
