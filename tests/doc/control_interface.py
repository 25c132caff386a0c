"""The control interface's part of sim/README.md and bleprobe-sim(1),
rendered from its table (sim/bleprobe_sim/interface.py) between two comment
lines in each.  The documents test holds both to the table; after changing
it, rewrite them with

    PYTHONPATH=sim /usr/bin/python3 tests/doc/control_interface.py
"""

import os
import re
import textwrap

from bleprobe_sim.checks import ERRORS, MAX_SECONDS, Options
from bleprobe_sim.interface import METHODS, in_range_methods
from bleprobe_sim.names import CONTROL_ERROR

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
COMMAND = 'PYTHONPATH=sim /usr/bin/python3 tests/doc/control_interface.py'
# document -> its markup.
DOCUMENTS = {'sim/README.md': 'markdown', 'doc/bleprobe-sim.1': 'roff'}
COMMENT = {'markdown': '<!-- %s -->', 'roff': '.\\" %s'}
BLOCKS = ('control-conventions', 'control-methods')


def begin(block, markup):
    return COMMENT[markup] % ('%s: rendered from sim/bleprobe_sim/interface.py by '
                              'tests/doc/control_interface.py' % block)


def end(block, markup):
    return COMMENT[markup] % ('end of ' + block)


def roff(text):
    """Markdown's `code` and *emphasis* in roff, its characters escaped."""
    parts = text.split('`')
    out = []
    for n, part in enumerate(parts):
        part = (part.replace('\\', '\\e').replace('-', '\\-').replace("'", '\\(aq')
                .replace('→', '\\(->').replace('≥', '\\(>='))
        if n % 2:
            out.append('\\fB%s\\fP' % part)
        else:
            out.append(re.sub(r'\*([^*]+)\*', r'\\fI\1\\fP', part))
    line = ''.join(out)
    return '\\&' + line if line.startswith(('.', "'")) else line


def header(method):
    args = ', '.join('%s %s' % (arg.check.signature, arg.name) for arg in method.args)
    return '%s(%s)%s' % (method.name, args, ' → ' + method.returns if method.returns else '')


def option(key):
    return '`%s` (%s)' % (key.name, '; '.join(filter(None, [key.check.describe(), key.note])))


def options(method):
    """A sentence for each argument of named options: each option's type
    and what it does, then what else it takes."""
    for arg in method.args:
        if isinstance(arg.check, Options):
            described = [option(key) for key in arg.check.keys.values()]
            yield '`%s`: %s.' % (arg.name, ', '.join(described + list(filter(None, [arg.check.others]))))


def errors(method):
    return '; '.join('`%s`%s' % (error.__name__, ' (%s)' % when if when else '')
                     for error, when in method.errors.items())


def or_list(words):
    return ', '.join(words[:-1]) + ' and ' + words[-1] if len(words) > 1 else words[0]


def conventions():
    """Sentences, then the errors as (name, when)."""
    sentences = [
        'Times are in seconds, from 0 to %d (a week); where a negative time means "never", down '
        'to -%d.' % (MAX_SECONDS, MAX_SECONDS),
        'A *device* argument names a device BlueZ lists; %s also take a peripheral in range that '
        'BlueZ does not list yet (its path is the same), or its service, so that it is fully set '
        'up before a discovery finds it.' % or_list(['`%s`' % m for m in in_range_methods()]),
        'Every method checks its arguments and refuses, changing nothing, with one of these '
        'errors (`%s` and the name):' % CONTROL_ERROR]
    return sentences, [(e.__name__, e.__doc__) for e in ERRORS]


def markdown(block, methods):
    if block == 'control-conventions':
        sentences, errs = conventions()
        paragraph = textwrap.fill(' '.join(sentences[:2]), 104, break_on_hyphens=False,
                                  break_long_words=False)
        intro = textwrap.fill(sentences[2], 104, break_on_hyphens=False)
        items = ['- `%s`: %s%s' % (name, when, '.' if n == len(errs) - 1 else ';')
                 for n, (name, when) in enumerate(errs)]
        return '\n'.join([paragraph, '', intro, ''] + items)
    rows = ['| Method (signature → result) | What it does | Errors |', '|---|---|---|']
    rows += ['| `%s` | %s | %s |' % (header(m), ' '.join([m.doc] + list(options(m))),
                                     errors(m) or 'none') for m in methods.values()]
    return '\n'.join(rows)


def roff_page(block, methods):
    lines = []
    if block == 'control-conventions':
        sentences, errs = conventions()
        lines += [roff(s) for s in sentences[:2]] + ['.PP', roff(sentences[2])]
        for name, when in errs:
            lines += ['.TP', '.B ' + name, roff(when) + '.']
        return '\n'.join(lines)
    for m in methods.values():
        lines += ['.TP', '.B "%s"' % roff(header(m)), roff(m.doc)]
        lines += [roff(sentence) for sentence in options(m)]
        if m.errors:
            lines.append(roff('Errors: %s.' % errors(m)))
    return '\n'.join(lines)


RENDER = {'markdown': markdown, 'roff': roff_page}


def rendered(text, markup, methods=METHODS):
    """text with each block as the table renders it."""
    for block in BLOCKS:
        pattern = re.compile('(%s\n).*?(\n%s)' % (re.escape(begin(block, markup)),
                                                  re.escape(end(block, markup))), re.S)
        text, found = pattern.subn(lambda m: m.group(1) + RENDER[markup](block, methods)
                                   + m.group(2), text)
        if found != 1:
            raise ValueError('%d %s blocks, not one' % (found, block))
    return text


def main():
    for document, markup in DOCUMENTS.items():
        path = os.path.join(ROOT, document)
        with open(path, encoding='utf-8') as f:
            text = f.read()
        with open(path, 'w', encoding='utf-8') as f:
            f.write(rendered(text, markup))


if __name__ == '__main__':
    main()
