"""A short, readable tour of the toolkit: ``python -m ostrel.demo``.

Each section lives in its own module here and exposes ``run()``, which prints its part of the
tour. Sections are shown in the order of ``SECTIONS``; a section whose module is missing is
skipped.
"""

SECTIONS = ["command", "loops", "carrier", "carrier_nda", "symsync", "dll", "spectral", "corr",
            "rate", "specan", "receiver"]
