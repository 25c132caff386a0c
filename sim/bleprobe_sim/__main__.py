"""`python3 -m bleprobe_sim`: the program bleprobe-sim (cli.py), as the
pytest fixture starts it."""

import sys

from .cli import main

sys.exit(main())
