"""The ostrel command on a recording of known content: ``ostrel synth`` writes it, then
``spectrum``, ``demod`` and ``detect`` run on it exactly as a user would type them (here
in-process); each report checks itself against the recording's truth. The files land in
./ostrel-demo/ (the spectrum and constellation PNGs when matplotlib is present); a summary
says where, and how to run the command yourself."""

from __future__ import annotations

import os
import shlex
import shutil
import sys

from ostrel.cli import main

from . import OUT_DIR

REC = f"{OUT_DIR}/demo.sigmf-meta"

# What the demo leaves in OUT_DIR, for the summary.
FILES = [
    ("demo.sigmf-meta, demo.sigmf-data", "the recording (its truth is in the annotations)"),
    ("spectrum.png", "the spectrum with its peaks and noise floor"),
    ("constellation.png", "the demodulated QPSK symbols"),
    ("demo.bits", "the demodulated bits, one per byte"),
    ("demo.code.npy", "the spread code that detect looked for"),
]


def _have_matplotlib() -> bool:
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        return False
    return True


def steps(png: bool) -> list[tuple[str, str]]:
    """(what the step does, the command line) of each step."""
    plot = (lambda name: f" --png {OUT_DIR}/{name}") if png else (lambda name: "")
    return [
        ("Synthesise 1 s of I/Q at 1 MHz: two tones, a QPSK and a BPSK burst and a spread code in noise",
         f"synth {REC} --seconds 1 --force -q"),
        ("Measure the spectrum: noise floor, the four strongest peaks, SNR and occupied bandwidth",
         f"spectrum {REC} --peaks 4 --force -q" + plot("spectrum.png")),
        ("Demodulate the QPSK burst (50 kBd near +100 kHz) into bits, scored against the truth",
         f"demod {REC} --mod qpsk --symbol-rate 50k --carrier 100k --rrc 0.35 -o {OUT_DIR}/demo.bits "
         "--force -q" + plot("constellation.png")),
        ("Find the bursts of the spread code by correlation",
         f"detect {REC} --ref {OUT_DIR}/demo.code.npy --force -q"),
    ]


def command_name() -> str:
    """How to type the ostrel command of this interpreter's environment: plain ``ostrel`` when
    that is what the PATH finds, else its path (relative when under the current directory)."""
    exe = os.path.join(os.path.dirname(sys.executable), "ostrel")
    if not os.path.exists(exe):
        return f"{sys.executable} -m ostrel"
    found = shutil.which("ostrel")
    if found and os.path.samefile(found, exe):
        return "ostrel"
    rel = os.path.relpath(exe)
    return rel if not rel.startswith("..") else exe


def summary(png: bool) -> str:
    cmd = command_name()
    lines = [f"== Done. Everything is in ./{OUT_DIR}/:"]
    for name, what in FILES:
        if png or not name.endswith(".png"):
            lines.append(f"   {name:34s} {what}")
    if not png:
        lines.append("   (install the [plot] extra, matplotlib, for the spectrum and constellation PNGs)")
    lines.append("")
    lines.append(f"Run the command yourself as  {cmd} ...")
    if cmd != "ostrel" and cmd.endswith(os.sep + "ostrel"):
        lines.append(f"  (or put it on the PATH: source {os.path.join(os.path.dirname(cmd), 'activate')})")
    lines.append(f"Try next:  {cmd} spectrum {OUT_DIR}/demo --center 310k --span 20k")
    lines.append(f"           {cmd} --help")
    lines.append("The Python API, section by section:  make tour")
    return "\n".join(lines)


def run() -> None:
    print(f"== The ostrel command on a synthesised recording (files in ./{OUT_DIR}/)")
    os.makedirs(OUT_DIR, exist_ok=True)
    png = _have_matplotlib()
    todo = steps(png)
    for i, (what, cmd) in enumerate(todo, 1):
        print(f"\n[{i}/{len(todo)}] {what}\n$ ostrel {cmd}", flush=True)
        rc = main(shlex.split(cmd))
        if rc:
            raise SystemExit(f"ostrel {cmd.split()[0]} failed (exit status {rc})")
    print()
    print(summary(png))


if __name__ == "__main__":
    run()
