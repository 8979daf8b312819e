"""The demo: ``python -m ostrel.demo`` (``make demo``) runs the ``ostrel`` command on a
synthesised recording and ends with a summary; ``python -m ostrel.demo --tour`` (``make tour``)
is a short, readable tour of the Python API.

The command's part lives in :mod:`ostrel.demo.command`. Each tour section lives in its own
module here and exposes ``run()``, which prints its part of the tour; sections are shown in the
order of ``SECTIONS``, and a section whose module is missing is skipped. Every file the demo
writes goes under ``OUT_DIR`` in the current directory.
"""

OUT_DIR = "ostrel-demo"

SECTIONS = ["loops", "carrier", "carrier_nda", "symsync", "dll", "spectral", "corr", "rate", "specan",
            "receiver"]
