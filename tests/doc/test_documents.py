"""The documents: the manual pages format cleanly, the protocol's error table
explains every code the tool can write, and every link and every path into
the source tree that a document names exists."""

import ast
import glob
import io
import os
import re
import subprocess
import tokenize

import pytest

import control_interface
import line_schema
from bleprobe_sim.checks import ERRORS
from bleprobe_sim.interface import METHODS, Method
from bleprobe_sim.cli import STATUSES

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, os.pardir, os.pardir))


MAN_PAGES = ['bleprobe.1', 'bleprobe-sim.1']
SCENARIOS = os.path.join(ROOT, 'examples', 'scenarios')
# The Markdown documents whose links and named paths are checked.
DOCUMENTS = ['README.md', 'HACKING.md', 'doc/protocol.md', 'doc/bluez-behaviour.md', 'bench/README.md',
             'sim/README.md', 'tests/e2e/README.md']
ERROR_TABLE = '## 7. Error codes'
# A path into the source tree starts with one of these; build trees and
# installed paths are not in it.
TREE = ('src/', 'sim/', 'tests/', 'fuzz/', 'bench/', 'examples/', 'debian/', 'cmake/', 'scripts/', 'doc/')
TOP_FILES = ('README.md', 'HACKING.md', 'CMakeLists.txt', 'LICENSE')
KIT = os.path.join(ROOT, 'sim', 'bleprobe_sim')
# A release of bluetoothd or of the kernel, as comments name them.
RELEASE = re.compile(r'(?<![\w.])(?:5\.[6-9]\d|6\.1|6\.12|7\.x)(?![\w.]*\d)')


def read(path):
    with open(os.path.join(ROOT, path), encoding='utf-8') as f:
        return f.read()


# groff's default device and the terminal's, which `man` uses.
@pytest.mark.parametrize('device', ['ps', 'utf8'])
@pytest.mark.parametrize('page', MAN_PAGES)
def test_man_page_formats_without_a_warning(page, device):
    result = subprocess.run(['groff', '-man', '-ww', '-z', '-T' + device, os.path.join(ROOT, 'doc', page)],
                            capture_output=True, text=True, check=False)
    assert (result.returncode, result.stderr) == (0, '')


def error_rows(text):
    """The protocol's error table: code -> the cells of its row, by header."""
    section = text.split(ERROR_TABLE, 1)[1].split('\n## ', 1)[0]
    lines = [line for line in section.splitlines() if line.startswith('|')]
    header = [cell.strip() for cell in lines[0].strip('|').split('|')]
    rows = {}
    for line in lines[2:]:
        cells = [cell.strip() for cell in line.strip('|').split('|')]
        rows[cells[0].strip('`')] = dict(zip(header, cells))
    return rows


def unexplained_codes(text, codes):
    """Codes without a row, rows without a code, and rows that do not say
    when their code is reported (a code merely named elsewhere counts for
    nothing)."""
    rows = error_rows(text)
    return ([('no row', c) for c in sorted(codes - set(rows))] +
            [('no such code', c) for c in sorted(set(rows) - codes)] +
            [('no when', c) for c in sorted(codes & set(rows))
             if len(rows[c].get('When', '').split()) < 3 or not rows[c].get('Modes')])


def test_error_table_says_when_every_code_is_reported():
    codes = line_schema.error_codes()
    assert len(codes) == 11
    assert unexplained_codes(read('doc/protocol.md'), codes) == []


def test_manual_page_has_an_entry_for_every_error_code():
    text = read('doc/bleprobe.1').replace('\\-', '-')
    errors = text.split('.SH ERRORS', 1)[1].split('\n.SH ', 1)[0]
    # An entry: .TP, the code in bold, then at least a line that explains it.
    entries = dict(re.findall(r'^\.TP\n\.B ([a-z-]+)\n(?!\.(?:TP|PP|SH))(.+)$', errors, re.M))
    assert sorted(line_schema.error_codes() ^ set(entries)) == []


def test_example_scenarios_are_one_per_outcome():
    names = {os.path.splitext(f)[0] for f in os.listdir(SCENARIOS) if f.endswith('.json')}
    assert names == {'unit-numbers', 'dfu', 'identity'} | set(line_schema.error_codes())


def slug(heading):
    """The anchor a Markdown renderer gives a heading."""
    text = re.sub(r'[^\w\- ]', '', heading.strip().lower())
    return text.replace(' ', '-')


def anchors(text):
    return {slug(m) for m in re.findall(r'^#+ (.*)$', text, re.M)}


def broken_links(document, text, exists=os.path.exists, read_target=None):
    """Relative Markdown links whose file, or heading, is not there."""
    read_target = read_target or (lambda path: open(path, encoding='utf-8').read())
    found = []
    base = os.path.dirname(os.path.join(ROOT, document))
    for target in re.findall(r'\]\(([^)\s]+)\)', text):
        if re.match(r'[a-z]+:', target):
            continue
        path, _, anchor = target.partition('#')
        full = os.path.normpath(os.path.join(base, path)) if path else os.path.join(ROOT, document)
        if not exists(full):
            found.append(target)
        elif anchor and full.endswith('.md') \
                and anchor not in anchors(text if not path else read_target(full)):
            found.append(target)
    return found


def named_paths(text):
    """Each `path` or `path::name...` in code spans that points into the
    source tree, with the names that must occur in that file."""
    for span in re.findall(r'`([^`\s]+)`', text):
        path, *names = span.split('::')
        if not (path.startswith(TREE) or path in TOP_FILES) or re.search(r'[<>…$]', path):
            continue
        names = [n for name in names for n in re.split(r'[\[\]]', name) if n]
        yield path, names


def missing_paths(document, text, root=ROOT):
    """Named paths that do not exist (a glob must match something), and
    names that their file does not contain."""
    found = []
    for path, names in named_paths(text):
        patterns = (os.path.join(root, path), os.path.join(root, os.path.dirname(document), path))
        matches = [p for pattern in patterns for p in glob.glob(pattern)]
        if not matches:
            found.append(path)
            continue
        if names and os.path.isfile(matches[0]):
            with open(matches[0], encoding='utf-8') as f:
                content = f.read()
            found += ['%s::%s' % (path, n) for n in names
                      if not re.search(r'(?<![\w-])%s(?![\w-])' % re.escape(n), content)]
    return found


def test_hacking_describes_every_top_level_folder():
    layout = read('HACKING.md').split('## Layout', 1)[1].split('\n## ', 1)[0]
    described = set(re.findall(r'^\| `([^`/]+)/', layout, re.M))
    # Hidden folders other than CI's, and build trees, are nobody's layout.
    folders = {name for name in os.listdir(ROOT) if os.path.isdir(os.path.join(ROOT, name))
               and (name == '.ci' or not name.startswith(('.', 'build')))}
    assert sorted(folders ^ described) == []


@pytest.mark.parametrize('document', DOCUMENTS)
def test_every_relative_link_resolves(document):
    assert broken_links(document, read(document)) == []


@pytest.mark.parametrize('document', DOCUMENTS)
def test_every_named_path_exists(document):
    assert missing_paths(document, read(document)) == []


@pytest.mark.parametrize('document', control_interface.DOCUMENTS)
def test_control_interface_is_its_tables(document):
    """Each method of the table documented as the table says, and no other."""
    text = read(document)
    assert control_interface.rendered(text, control_interface.DOCUMENTS[document]) == text, \
        'rewrite it: ' + control_interface.COMMAND


def unknown_interface_names(text, methods=METHODS, errors=ERRORS):
    """Control methods and errors that a document names and the table has not."""
    named = re.findall(r'org\.bleprobe\.Simulator1[. ]([A-Za-z]\w*)', text)
    named += re.findall(r'org\.bleprobe\.Simulator\.Error\.([A-Za-z]\w*)', text)
    return sorted(set(named) - set(methods) - {e.__name__ for e in errors})


@pytest.mark.parametrize('document', DOCUMENTS + ['doc/' + page for page in MAN_PAGES])
def test_documents_name_only_the_tables_methods_and_errors(document):
    assert unknown_interface_names(read(document)) == []


def test_every_module_of_the_kit_says_what_it_is():
    # sim/README.md points to the modules' docstrings instead of listing them.
    silent = [os.path.relpath(path, ROOT) for path in sorted(glob.glob(os.path.join(KIT, '**', '*.py'),
                                                                       recursive=True))
              if not ast.get_docstring(ast.parse(read(path)))]
    assert silent == []


def test_bleprobe_sim_manual_page_explains_each_exit_status_once():
    section = read('doc/bleprobe-sim.1').split('.SH "EXIT STATUS"', 1)[1].split('\n.SH ', 1)[0]
    assert sorted(int(n) for n in re.findall(r'^\.B (\d+)$', section, re.M)) == sorted(STATUSES)


def comment_blocks(path, text):
    """(line, text) of each comment made of consecutive comment lines, and
    of each Python docstring."""
    if path.endswith('.py'):
        lines = [(t.start[0], t.string) for t in tokenize.generate_tokens(io.StringIO(text).readline)
                 if t.type == tokenize.COMMENT]
        tree = ast.parse(text)
        for node in [tree] + [n for n in ast.walk(tree) if isinstance(n, (ast.FunctionDef, ast.ClassDef))]:
            if ast.get_docstring(node):
                yield getattr(node, 'lineno', 1), ast.get_docstring(node)
    else:
        lines = [(n, line.split('//', 1)[1]) for n, line in enumerate(text.splitlines(), 1) if '//' in line]
    block = []
    for n, line in lines + [(-1, '')]:
        if block and n != block[-1][0] + 1:
            yield block[0][0], ' '.join(text for _, text in block)
            block = []
        block.append((n, line))


def unplaced_release_comments(path, text, rows):
    """Comments that name a release but neither a row of
    doc/bluez-behaviour.md nor the document."""
    return ['%s:%d' % (path, n) for n, comment in comment_blocks(path, text)
            if RELEASE.search(comment) and 'bluez-behaviour.md' not in comment
            and not any(re.search(r'(?<![\w-])%s(?![\w-])' % re.escape(row), comment) for row in rows)]


def behaviour_rows():
    return re.findall(r'^\| `([^`]+)` \|', read('doc/bluez-behaviour.md'), re.M)


def test_every_release_specific_comment_points_to_its_row():
    rows = behaviour_rows()
    code = sorted(glob.glob(os.path.join(ROOT, 'src', '**', '*.[ch]pp'), recursive=True)
                  + glob.glob(os.path.join(ROOT, 'src', '**', '*.h'), recursive=True)
                  + glob.glob(os.path.join(KIT, '**', '*.py'), recursive=True))
    assert [c for path in code
            for c in unplaced_release_comments(os.path.relpath(path, ROOT), read(path), rows)] == []


@pytest.mark.parametrize('path, text, found', [
    ('a.py', '# 5.66 signals it twice (filter-left-set)\nx = 1\n', []),
    ('a.py', 'x = 1  # 5.66 signals it twice\n', ['a.py:1']),
    ('a.py', 'def f():\n    """From 5.82 on, the first report is lost."""\n', ['a.py:1']),
    ('a.h', '// BlueZ 5.66 often sends no Connected=true\n// (doc/bluez-behaviour.md)\n', []),
    ('a.cpp', '// kernel 6.12 scans before it is ready\nint x;\n// see first_report_lost\n', ['a.cpp:1']),
    ('a.cpp', 'int x = 5;  // 5 s, version 1.5.66.2\n', []),
], ids=['row', 'no-row', 'docstring', 'document', 'row-in-another-comment', 'not-a-release'])
def test_release_comment_check_on_planted_comments(path, text, found):
    assert unplaced_release_comments(path, text, ['filter-left-set', 'first_report_lost']) == found


# The checks themselves, on planted faults.
PLANTED = {
    'good-link': ('[the protocol](doc/protocol.md#7-error-codes)', [], []),
    'missing-file': ('[gone](doc/nothing.md)', ['doc/nothing.md'], []),
    'missing-heading': ('[gone](doc/protocol.md#8-error-codes)', ['doc/protocol.md#8-error-codes'], []),
    'own-heading': ('# A b\n[here](#a-b) [not](#c)', ['#c'], []),
    'web-link': ('[web](https://example.org/x)', [], []),
    'path-and-name': ('`src/app/error_code.h::kPermissionDenied`', [], []),
    'missing-path': ('`src/app/nothing.h`', [], ['src/app/nothing.h']),
    'missing-name': ('`src/app/error_code.h::kNoSuchCode`', [], ['src/app/error_code.h::kNoSuchCode']),
    'test-case': ('`tests/doc/test_documents.py::test_every_named_path_exists[missing-name]`', [], []),
    'glob': ('`tests/*_test.cpp` `tests/*_nothing.cpp`', [], ['tests/*_nothing.cpp']),
    'not-the-tree': ('`build/bleprobe` `/usr/bin/bleprobe` `roots/<release>.log`', [], []),
}


@pytest.mark.parametrize('case', PLANTED)
def test_checks_find_planted_faults(case):
    text, links, paths = PLANTED[case]
    assert (broken_links('README.md', text), missing_paths('README.md', text)) == (links, paths)


@pytest.mark.parametrize('code, row, problem', [
    ('permission-denied', '| `permission-denied` | all | the bus refused | retry |', None),
    ('permission-denied', '| `identity-timeout` | identity | no result 60 s after start | retry |',
     [('no row', 'permission-denied'), ('no such code', 'identity-timeout')]),
    ('permission-denied', '| `permission-denied` | all |  | retry |', [('no when', 'permission-denied')]),
])
def test_error_table_check_on_planted_rows(code, row, problem):
    header = '| Code | Modes | When | What a caller should do |\n|---|---|---|---|\n'
    text = ERROR_TABLE + '\n\n' + header + row + '\n'
    assert unexplained_codes(text, {code}) == (problem or [])


# What is planted in sim/README.md as the table renders it (a row of its
# method list, or a line at its end), methods added to the table -> the
# document stale, the names unknown.
CONTROL_PLANTED = {
    'as-it-is': ('', {}, False, []),
    'method-undocumented': ('', {'Frobnicate': Method('Frobnicate', 'Frobs.')}, True, []),
    'row-of-no-method': ('| `Frobnicate()` | Frobs. | none |', {}, True, []),
    'method-named': ('`org.bleprobe.Simulator1.Frobnicate`', {}, False, ['Frobnicate']),
    'busctl-method': ('org.bleprobe.Simulator1 Frobnicate', {}, False, ['Frobnicate']),
    'error-named': ('org.bleprobe.Simulator.Error.Busy', {}, False, ['Busy']),
    'known-names': ('org.bleprobe.Simulator1.DropLink org.bleprobe.Simulator.Error.Exists', {}, False,
                    []),
}


@pytest.mark.parametrize('case', CONTROL_PLANTED)
def test_control_interface_checks_find_planted_faults(case):
    planted, added, stale, unknown = CONTROL_PLANTED[case]
    text = control_interface.rendered(read('sim/README.md'), 'markdown')
    if planted.startswith('|'):
        text = text.replace('|---|---|---|\n', '|---|---|---|\n%s\n' % planted, 1)
    else:
        text += planted + '\n'
    methods = dict(METHODS, **added)
    assert (control_interface.rendered(text, 'markdown', methods) != text,
            unknown_interface_names(text, methods)) == (stale, unknown)
