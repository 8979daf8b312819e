"""The command first: ``ostrel synth`` writes a recording of known content, then ``spectrum``
(the whole band, then a narrow zoom), ``demod`` and ``detect`` run on it exactly as a user
would type them (here in-process); each report checks itself against the recording's truth.
The files land in ./ostrel-demo/ (the spectrum and constellation PNGs when matplotlib is
present)."""

from __future__ import annotations

import os
import shlex

from ostrel.cli import main

DIR = "ostrel-demo"
REC = f"{DIR}/demo.sigmf-meta"


def _plots() -> list[str]:
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        return []
    return ["--png"]


def run() -> None:
    print("== The ostrel command on a synthesised recording (files in ./ostrel-demo/)")
    os.makedirs(DIR, exist_ok=True)
    png = bool(_plots())
    steps = [
        f"synth {REC} --seconds 1 --force -q",
        f"info {REC}",
        f"spectrum {REC} --peaks 4 --force -q" + (f" --png {DIR}/spectrum.png" if png else ""),
        f"spectrum {REC} --center 310k --span 20k -q",
        f"demod {REC} --mod qpsk --symbol-rate 50k --carrier 100k --rrc 0.35 -o {DIR}/demo.bits "
        f"--force -q" + (f" --png {DIR}/constellation.png" if png else ""),
        f"detect {REC} --ref {DIR}/demo.code.npy --force -q",
    ]
    for cmd in steps:
        print(f"\n$ ostrel {cmd}", flush=True)
        rc = main(shlex.split(cmd))
        if rc:
            raise SystemExit(f"ostrel {cmd.split()[0]} failed (exit status {rc})")
    if not png:
        print("\n(install the [plot] extra, matplotlib, for the spectrum and constellation PNGs)")


if __name__ == "__main__":
    run()
