"""``python -m ostrel``: the ``ostrel`` command (see ``ostrel --help``)."""

import sys

from ostrel.cli import main

if __name__ == "__main__":
    sys.exit(main())
