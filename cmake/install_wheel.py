"""cmake --install's step for bleprobe_sim: builds the wheel of a Python
project with the backend its pyproject.toml names and installs it, as
Debian's pybuild does (python3-build, then python3-installer), but under any
prefix in the layout of Debian's Python policy: the package and its
dist-info in PREFIX/PYTHON_DIR, the program in PREFIX/BIN_DIR, inside
$DESTDIR when set. Installing again replaces what an earlier install left.

    install_wheel.py PROJECT PREFIX PYTHON_DIR BIN_DIR
"""

import argparse
import glob
import io
import os
import pathlib
import shlex
import shutil
import site
import subprocess
import sys
import tempfile
from typing import TYPE_CHECKING, BinaryIO

try:
    import build  # noqa: F401 (run as python3 -m build)
    from installer import install
    from installer.destinations import SchemeDictionaryDestination
    from installer.records import RecordEntry
    from installer.scripts import Script
    from installer.sources import WheelFile
    from installer.utils import Scheme
except ImportError as e:
    sys.exit('install_wheel.py: %s: bleprobe-sim is installed with the Python modules build and installer '
             '(scripts/install-deps.sh installs them), or configure with -DBLEPROBE_SIM=OFF' % e)

if TYPE_CHECKING:
    from installer.scripts import ScriptSection

PYTHON = '/usr/bin/python3'


class Destination(SchemeDictionaryDestination):
    """Replaces files an earlier install wrote, and gives the programs a
    shebang that finds the package where the system's Python does not look."""

    def __init__(self, scheme: dict, shebang: bytes, destdir: str) -> None:
        super().__init__(scheme, interpreter=PYTHON, script_kind='posix', destdir=destdir or None)
        self.shebang = shebang

    def write_to_fs(self, scheme: Scheme, path: str, stream: BinaryIO,
                    is_executable: bool) -> RecordEntry:
        target = self._path_with_destdir(scheme, path)
        if os.path.lexists(target):
            os.remove(target)
        return super().write_to_fs(scheme, path, stream, is_executable)

    def write_script(self, name: str, module: str, attr: str, section: 'ScriptSection') -> RecordEntry:
        script_name, data = Script(name, module, attr, section).generate(PYTHON, 'posix')
        data = self.shebang + data[data.index(b'\n'):]
        scripts = Scheme('scripts')
        entry = self.write_to_fs(scripts, script_name, io.BytesIO(data), is_executable=True)
        os.chmod(self._path_with_destdir(scripts, script_name), 0o755)
        return entry


def build_wheel(project: str, outdir: str) -> str:
    # No isolation: the backend is the system's, and there is no index to
    # fetch one from. No dependency check, as pybuild: Debian 12's hatchling
    # names editables, which only its editable installs import.
    built = subprocess.run([sys.executable, '-m', 'build', '--wheel', '--no-isolation',
                            '--skip-dependency-check', '--outdir', outdir, project],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    wheels = glob.glob(os.path.join(outdir, '*.whl'))
    if built.returncode != 0 or len(wheels) != 1:
        sys.exit('install_wheel.py: building the wheel of %s failed:\n%s' % (project, built.stdout))
    return wheels[0]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('project')
    parser.add_argument('prefix')
    parser.add_argument('python_dir')
    parser.add_argument('bin_dir')
    args = parser.parse_args()
    prefix = os.path.abspath(args.prefix)
    python_dir = os.path.join(prefix, args.python_dir)
    scheme = {'purelib': python_dir, 'platlib': python_dir, 'scripts': os.path.join(prefix, args.bin_dir),
              'data': prefix, 'headers': os.path.join(prefix, 'include')}
    # Where the system's Python looks already (/usr), the program is what
    # pybuild installs; elsewhere it is told where to look.
    shebang = '#!' + PYTHON
    if python_dir not in site.getsitepackages():
        shebang = '#!/usr/bin/env -S PYTHONPATH=%s %s' % (shlex.quote(python_dir), PYTHON)
    destdir = os.environ.get('DESTDIR', '')
    with tempfile.TemporaryDirectory() as outdir, \
            WheelFile.open(pathlib.Path(build_wheel(args.project, outdir))) as wheel:
        # An earlier release's dist-info would register the fixture twice.
        for old in glob.glob(os.path.join(destdir + python_dir, '%s-*.dist-info' % wheel.distribution)):
            shutil.rmtree(old)
        print('-- Installing: %s %s into %s' % (wheel.distribution, wheel.version, destdir + python_dir))
        install(wheel, Destination(scheme, shebang.encode(), destdir), additional_metadata={})


if __name__ == '__main__':
    main()
