"""``python -m ostrel``: the ``ostrel`` command (see ``ostrel --help``)."""

import sys

from ostrel.cli import main

sys.exit(main())
