"""``ostrel demod`` on bursts that GNU Radio's own modulator wrote (tests/gr_bursts.py, run by
Debian's python3 as a separate process; ``make test`` installs GNU Radio): each burst after
noise or a gap of exact zeros demodulates with its symbols right, and noise alone is reported
as no signal with exit status 3."""

from __future__ import annotations

import functools
import json
import os
import pathlib
import subprocess

import numpy as np
import pytest

from ostrel import track
from ostrel.cli import main
from ostrel.cli.truth import bits_to_indices

GR_PYTHON = "/usr/bin/python3"
SCRIPT = pathlib.Path(__file__).resolve().parent / "gr_bursts.py"
FS, RATE, SPS = 400e3, 50e3, 8
# generic_mod's pulse-shaping filter spans 11 * SPS symbols and its output stops after
# SYMBOLS * SPS samples, so a burst's last half-span of symbols never leaves the modulator.
GR_FLUSH = 11 * SPS // 2


def _plain_env() -> dict:
    """This environment without a sanitizer preloaded into this process (GNU Radio's interpreter
    is not the code under test)."""
    return {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}


@functools.lru_cache(maxsize=None)
def _gnuradio_missing() -> str | None:
    if not os.path.exists(GR_PYTHON):
        return f"{GR_PYTHON} is missing"
    p = subprocess.run([GR_PYTHON, "-c", "import gnuradio.digital"], capture_output=True, text=True,
                       env=_plain_env())
    return None if p.returncode == 0 else "GNU Radio is not installed for /usr/bin/python3 (make grdeps installs it)"


pytestmark = [
    pytest.mark.skipif(not hasattr(track, "PskDemodulator"), reason="this build has no track.PskDemodulator"),
    pytest.mark.skipif(_gnuradio_missing() is not None, reason=str(_gnuradio_missing())),
]


def gr_recording(d: pathlib.Path, mod: str, bursts: int, noise: int, gap: int, offset: float,
                 esn0_db: float, n_sym: int = 2000, seed: int = 1) -> tuple[pathlib.Path, dict]:
    out = d / f"{mod}-{bursts}.cf32"
    argv = [out, mod, SPS, n_sym, bursts, noise, gap, offset, esn0_db, seed]
    p = subprocess.run([GR_PYTHON, str(SCRIPT), *map(str, argv)], capture_output=True, text=True, timeout=120,
                       env=_plain_env())
    assert p.returncode == 0, p.stderr
    return out, json.loads(out.with_suffix(".json").read_text())


def demod(capsys, path, mod, *extra) -> tuple[int, list, str]:
    rc = main(["demod", str(path), "--fs", str(FS), "--mod", mod, "--symbol-rate", str(RATE), "--json",
               "-q", *map(str, extra)])
    out, err = capsys.readouterr()
    assert "Traceback" not in err
    return rc, json.loads(out), err


def symbol_errors(rx: np.ndarray, tx: np.ndarray, m: int, skip: int = 100, edge: int = GR_FLUSH + 4) -> tuple[int, int]:
    """Symbol errors of received indices against sent phases (both in steps of 2 pi / m from
    the same first point) after ``skip`` symbols and up to ``edge`` symbols before the last one
    sent (the symbols GNU Radio's modulator never emitted, and the burst's fall into zeros), at
    the lag and rotation that fit best."""
    a = np.exp(2j * np.pi * rx / m)
    b = np.exp(2j * np.pi * tx / m)
    n = 1 << int(np.ceil(np.log2(len(a) + len(b))))
    c = np.fft.ifft(np.fft.fft(b, n) * np.conj(np.fft.fft(a, n)))
    lag = int(np.argmax(np.abs(c)))
    lag = lag - n if lag > n // 2 else lag  # rx[k] pairs with tx[k + lag]
    rot = int(np.round(np.angle(c[lag % n]) / (2 * np.pi / m))) % m
    k = np.arange(max(skip, -lag), min(len(rx), len(tx) - edge - lag))
    return int(np.count_nonzero((rx[k] + rot) % m != tx[k + lag])), len(k)


@pytest.mark.parametrize("mod, m", [("qpsk", 4), ("bpsk", 2)])
def test_gnuradio_bursts_after_noise_and_zeros(capsys, tmp_path, mod, m):
    """Two bursts of 2000 symbols (Es/N0 20 dB, carrier 1.6 % of the symbol rate off): the
    first after 50 ms of noise, the second after 10 ms of exact zeros."""
    path, sent = gr_recording(tmp_path, mod, 2, noise=20_000, gap=4000, offset=0.002, esn0_db=20)
    bits = tmp_path / "b.bits"
    rc, (r,), err = demod(capsys, path, mod, "-o", bits)
    assert rc == 0 and "warning" not in err and r["bursts"] == 2
    rx = bits_to_indices(np.fromfile(bits, np.uint8), m)
    pos = 0
    for b, s in zip(r["burst_list"], sent["bursts"]):
        # the first symbol's pulse peaks GR_FLUSH symbols into the modulator's output
        first = s["start"] + GR_FLUSH * SPS
        assert -64 * SPS < b["start_sample"] - first < 32 * SPS and b["symbols"] > 0.95 * len(s["phases"])
        assert b["carrier_hz"] == pytest.approx(0.002 * FS, abs=20) and abs(b["clock_ppm_est"]) < 300
        assert b["mer_db"] > 15
        errors, n = symbol_errors(rx[pos:pos + b["symbols"]], np.array(s["phases"]), m)
        pos += b["symbols"]
        assert n > 1800 and errors == 0


def test_gnuradio_noise_alone_is_no_signal(capsys, tmp_path):
    path, _ = gr_recording(tmp_path, "qpsk", 0, noise=200_000, gap=0, offset=0.0, esn0_db=0)
    rc, (r,), err = demod(capsys, path, "qpsk")
    assert rc == 3 and "no signal demodulated" in err and r.get("ber") is None and r["symbols"] == 0
