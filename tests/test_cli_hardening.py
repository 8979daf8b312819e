"""Hostile command lines: recordings are written whole or not at all, --force replaces only
regular files, bad input is one line and exit 1 (never an internal error), nothing silently
wrong, nothing that hangs, usage errors in one line."""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("sigmf")

from ostrel.cli import main  # noqa: E402
from ostrel.cli import recording as recmod  # noqa: E402


@pytest.fixture(scope="module")
def source(tmp_path_factory) -> Path:
    d = tmp_path_factory.mktemp("src")
    assert main(["synth", str(d / "x.sigmf-meta"), "--seconds", "0.01", "-q"]) == 0
    return d


def run(capsys, *argv) -> tuple[int, str, str]:
    rc = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return rc, out, err


def copy_rec(src: Path, d: Path, name: str, edit=None) -> Path:
    """A copy of the source recording as ``name``, its metadata changed by ``edit(meta)``."""
    meta = json.loads((src / "x.sigmf-meta").read_text())
    if edit:
        edit(meta)
    (d / f"{name}.sigmf-meta").write_text(json.dumps(meta))
    shutil.copy(src / "x.sigmf-data", d / f"{name}.sigmf-data")
    return d / f"{name}.sigmf-meta"


def set_global(key, value):
    return lambda m: m["global"].__setitem__(key, value)


def set_centre(value):
    return lambda m: m["captures"][0].__setitem__("core:frequency", value)


def set_psk(key, value):
    def edit(m):
        for a in m["annotations"]:
            if a.get("ostrel:kind") == "psk":
                a.pop(key) if value is None else a.__setitem__(key, value)
    return edit


def empty(d: Path) -> None:
    copy_rec(d, d, "empty", lambda m: m["global"].pop("core:sha512"))
    (d / "empty.sigmf-data").write_bytes(b"")


def deep(d: Path) -> None:
    (d / "deep.sigmf-meta").write_text("[" * 100_000 + "]" * 100_000)


DEMOD = ["--mod", "qpsk", "--symbol-rate", "50k", "--carrier", "100k", "-q"]
DDC = ["--freq", "100k", "--rate", "200k", "-q"]

# case: (prepare the directory d, argv, exit status, message, files that must not exist after)
CASES = {
    # a recording is written as a unit
    "ddc centre beyond the schema": (lambda d: copy_rec(d, d, "big", set_centre(1e12)),
                                     ["ddc", "{d}/big", *DDC, "-o", "{d}/c.sigmf-meta"], 1,
                                     "greater than the maximum", ["c.sigmf-meta", "c.sigmf-data"]),
    "synth centre beyond the schema": (None, ["synth", "{d}/s.sigmf-meta", "--rf", "1e13", "-q"], 1,
                                       "would be invalid SigMF", ["s.sigmf-meta", "s.sigmf-data", "s.code.npy"]),
    "synth beyond the disk": (None, ["synth", "{d}/s.sigmf-meta", "--fs", "1e300", "--seconds", "0.001"],
                              1, "more than the", ["s.sigmf-data"]),
    # bad input is the user's
    "dataset outside": (lambda d: copy_rec(d, d, "ds", set_global("core:dataset", "../x.sigmf-data")),
                        ["info", "{d}/ds"], 1, "is not the name of a file beside the metadata", []),
    "dataset dot": (lambda d: copy_rec(d, d, "ds", set_global("core:dataset", ".")),
                    ["info", "{d}/ds"], 1, "core:dataset '.'", []),
    "sample rate 5e-324": (lambda d: copy_rec(d, d, "tiny", set_global("core:sample_rate", 5e-324)),
                           ["spectrum", "{d}/tiny", "-q"], 1, "is not a usable rate", []),
    "nested JSON": (deep, ["info", "{d}/deep"], 1, "nested too deeply", []),
    "NaN centre": (lambda d: copy_rec(d, d, "nan", set_centre(float("nan"))),
                   ["ddc", "{d}/nan", *DDC, "-o", "{d}/n.sigmf-meta"], 1, "NaN is not a number",
                   ["n.sigmf-meta", "n.sigmf-data"]),
    "span 1e-300": (None, ["spectrum", "{d}/x", "--center", "0", "--span", "1e-300", "-q"], 1,
                    "too narrow", []),
    "navg 1e23": (None, ["spectrum", "{d}/x", "--center", "0", "--span", "10k", "-q", "--navg",
                         str(10**23)], 1, "--navg must lie between", []),
    "seed -1": (None, ["synth", "{d}/s.sigmf-meta", "--seed", "-1"], 1, "must not be negative", ["s.sigmf-data"]),
    "noise 1e300": (None, ["synth", "{d}/s.sigmf-meta", "--noise", "1e300"], 1, "must lie between",
                    ["s.sigmf-data"]),
    "psk sps 0": (lambda d: copy_rec(d, d, "p", set_psk("ostrel:samples_per_symbol", 0)),
                  ["demod", "{d}/p", *DEMOD], 1, "ostrel:samples_per_symbol must be a positive number", []),
    "psk sps missing": (lambda d: copy_rec(d, d, "p", set_psk("ostrel:samples_per_symbol", None)),
                        ["demod", "{d}/p", *DEMOD], 1, "has no ostrel:samples_per_symbol", []),
    "psk first symbol NaN": (lambda d: copy_rec(d, d, "p", set_psk("ostrel:first_symbol_sample", float("nan"))),
                             ["demod", "{d}/p", *DEMOD], 1, "NaN is not a number", []),
    "psk clock_ppm text": (lambda d: copy_rec(d, d, "p", set_psk("ostrel:clock_ppm", "fast")),
                           ["demod", "{d}/p", *DEMOD], 1, "ostrel:clock_ppm must be a finite number, got 'fast'", []),
    # nothing silently wrong
    "noise nan": (None, ["synth", "{d}/s.sigmf-meta", "--noise", "nan"], 2, "not a finite number",
                  ["s.sigmf-data", "s.sigmf-meta"]),
    "demod empty": (empty, ["demod", "{d}/empty", *DEMOD], 1, "holds no samples", []),
    "ddc empty": (empty, ["ddc", "{d}/empty", *DDC, "-o", "{d}/e.sigmf-meta"], 1, "holds no samples",
                  ["e.sigmf-meta", "e.sigmf-data"]),
    # nothing that hangs
    "reference FIFO": (lambda d: os.mkfifo(d / "ref.npy"), ["detect", "{d}/x", "--ref", "{d}/ref.npy"], 1,
                       "is a FIFO, not a regular file", []),
    "data file FIFO": (lambda d: (copy_rec(d, d, "f"), os.unlink(d / "f.sigmf-data"),
                                 os.mkfifo(d / "f.sigmf-data")),
                       ["spectrum", "{d}/f", "-q"], 1, "f.sigmf-data is a FIFO, not a regular file", []),
    "raw recording FIFO": (lambda d: os.mkfifo(d / "r.cf32"), ["info", "{d}/r.cf32", "--fs", "1M"], 1,
                           "r.cf32 is a FIFO", []),
    # --force replaces regular files only
    "force on a FIFO": (lambda d: os.mkfifo(d / "o.bits"), ["demod", "{d}/x", *DEMOD, "-o", "{d}/o.bits",
                                                            "--force"], 1, "o.bits is a FIFO", []),
    "force on a device": (None, ["demod", "{d}/x", *DEMOD, "-o", "/dev/null", "--force"], 1,
                          "/dev/null is a character device", []),
    "force on a link to a FIFO": (lambda d: (os.mkfifo(d / "f"), os.symlink(d / "f", d / "o.csv")),
                                  ["spectrum", "{d}/x", "-q", "--csv", "{d}/o.csv", "--force"], 1,
                                  "is a symbolic link to a FIFO", []),
    "force on a dangling link": (lambda d: os.symlink(d / "none", d / "o.csv"),
                                 ["spectrum", "{d}/x", "-q", "--csv", "{d}/o.csv", "--force"], 1,
                                 "symbolic link to a missing file", ["none"]),
    # usage errors
    "usage error": (None, ["demod", "{d}/x", "--symbol-rate", "1k"], 2,
                    "ostrel demod: error: the following arguments are required: --mod "
                    "(see 'ostrel demod --help')\n", []),
    "template conversion": (None, ["demod", "{d}/x", *DEMOD, "-o", "{d}/{{stem!r:>10}}.bits"], 1,
                            "the only placeholder allowed is {stem}", []),
}


@pytest.mark.parametrize("case", list(CASES))
def test_hostile_command_lines(capsys, tmp_path, source, case):
    prepare, argv, status, message, absent = CASES[case]
    for f in source.glob("x.*"):
        shutil.copy(f, tmp_path / f.name)
    if prepare:
        prepare(tmp_path)
    rc, out, err = run(capsys, *[a.format(d=tmp_path) for a in argv])
    assert (rc, out) == (status, ""), err
    assert message in err and err.count("\n") == 1 and err.startswith("ostrel "), err
    for name in absent:
        assert not (tmp_path / name).exists(), name
    assert not list(tmp_path.glob(".*.part-*"))  # no temporary left behind


def test_interrupts_leave_no_part_of_a_recording(capsys, tmp_path, monkeypatch):
    out = tmp_path / "s.sigmf-meta"
    names = ("s.sigmf-meta", "s.sigmf-data", "s.code.npy")
    encode, replace = recmod.encode, os.replace
    calls = {"n": 0}

    def interrupted_encode(*a):
        calls["n"] += 1
        if calls["n"] == 2:
            raise KeyboardInterrupt
        return encode(*a)

    def interrupted_publish(src, dst):  # the second rename of three is interrupted
        calls["n"] += 1
        if calls["n"] == 2:
            raise KeyboardInterrupt
        return replace(src, dst)

    for target, fake in ((recmod, ("encode", interrupted_encode)), (os, ("replace", interrupted_publish))):
        calls["n"] = 0
        with monkeypatch.context() as m:
            m.setattr(target, *fake)
            rc, _, err = run(capsys, "synth", out, "--seconds", "0.14", "-q")
        assert rc == 130 and "interrupted" in err
        assert sorted(p.name for p in tmp_path.iterdir()) == []
    # and a rerun writes the recording
    assert run(capsys, "synth", out, "--seconds", "0.14", "-q")[0] == 0
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(names)


def test_force_follows_a_link_to_a_regular_file(capsys, tmp_path, source):
    target = tmp_path / "bits.real"
    target.write_bytes(b"old")
    (tmp_path / "o.bits").symlink_to(target)
    rc, _, err = run(capsys, "demod", source / "x", *DEMOD, "-o", tmp_path / "o.bits", "--force")
    assert rc == 0, err
    assert (tmp_path / "o.bits").is_symlink() and target.stat().st_size > 3


def test_a_file_name_the_terminal_cannot_show(tmp_path, source):
    name = os.fsdecode(b"caf\xe9.sigmf-meta")
    copy_rec(source, tmp_path, os.fsdecode(b"caf\xe9"))
    env = {**os.environ, "PYTHONIOENCODING": "ascii:strict", "LC_ALL": "C"}
    p = subprocess.run([sys.executable, "-m", "ostrel", "info", os.fsencode(tmp_path / name)],
                       capture_output=True, env=env, cwd=tmp_path)
    assert p.returncode == 0 and b"caf\\udce9" in p.stdout and b"Traceback" not in p.stderr


def test_output_set_publishes_all_or_nothing(tmp_path):
    from ostrel.cli.common import OutputSet

    with OutputSet() as out:
        out.open(tmp_path / "a").write(b"1")
        out.open(tmp_path / "b", "w").write("2")
    assert (tmp_path / "a").read_bytes() == b"1" and (tmp_path / "b").read_text() == "2"
    with pytest.raises(RuntimeError):
        with OutputSet() as out:
            out.open(tmp_path / "c").write(b"1")
            raise RuntimeError
    assert sorted(p.name for p in tmp_path.iterdir()) == ["a", "b"]
    writer = recmod.RecordingWriter(tmp_path / "r.sigmf-meta", tmp_path / "r.sigmf-data")
    with pytest.raises(RuntimeError, match="describe"), writer as w:
        w.write(np.zeros(4, np.complex64).tobytes())  # no metadata: nothing is published
    assert sorted(p.name for p in tmp_path.iterdir()) == ["a", "b"]
