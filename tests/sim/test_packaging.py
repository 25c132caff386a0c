"""The kit's one version: bleprobe_sim's __version__, which
sim/pyproject.toml gives the wheel and its dist-info, is the release of
debian/changelog that the Debian packages carry (a native package's
version, so the same string)."""

import os
import re

from test_bleprobe_sim import REPO

from bleprobe_sim import __version__


def changelog_version():
    with open(os.path.join(REPO, 'debian', 'changelog')) as f:
        match = re.match(r'bleprobe \(([^)\s]+)\)', f.readline())
    assert match, 'debian/changelog does not start with a bleprobe entry'
    return match.group(1)


def test_the_version_is_debian_changelogs():
    assert __version__ == changelog_version()
