"""The demo's own pieces: every file it writes lands under its folder, and the closing summary
says where the files are and how to run the command."""

from __future__ import annotations

import os
import shlex
import sys

import pytest

from ostrel.demo import OUT_DIR, command


@pytest.mark.parametrize("png", [True, False])
def test_every_step_writes_under_the_demo_folder(png):
    writes = {"-o", "--png", "--csv"}
    for what, cmd in command.steps(png):
        argv = shlex.split(cmd)
        assert what and argv[0] in {"synth", "spectrum", "demod", "detect"}
        paths = [argv[1]] + [argv[i + 1] for i, a in enumerate(argv[:-1]) if a in writes]
        assert all(p.startswith(OUT_DIR + "/") for p in paths), cmd
        assert ("--png" in argv) == (png and argv[0] in {"spectrum", "demod"})


@pytest.mark.parametrize("png", [True, False])
def test_summary_names_the_files_the_command_and_what_next(png, monkeypatch):
    monkeypatch.setenv("PATH", "")  # the environment's ostrel is not on the PATH
    text = command.summary(png)
    exe = os.path.join(os.path.dirname(sys.executable), "ostrel")
    cmd = command.command_name()
    assert cmd == (os.path.relpath(exe) if os.path.exists(exe) else f"{sys.executable} -m ostrel") or \
        os.path.samefile(cmd, exe)
    assert f"./{OUT_DIR}/" in text and "demo.sigmf-meta" in text and "demo.bits" in text
    assert ("spectrum.png" in text) == png and ("[plot] extra" in text) == (not png)
    assert f"{cmd} spectrum {OUT_DIR}/demo --center" in text and "make tour" in text
