"""FFT throughput: spectral.FFT.execute_cf32 / execute_cf64 beside pyFFTW, numpy.fft, scipy.fft.

Each row is one (method, length): our rate in samples per second with a preallocated ``out``
(the streaming use), the primary peer pyFFTW (an ``FFTW`` object built by ``pyfftw.builders``
with its default planner effort, FFTW_ESTIMATE, called without arguments: transform of its own
aligned input into its own output, no copies), and extra figures for numpy.fft, scipy.fft,
pyFFTW called with the input array (``obj(x)``, which copies it in), and our call without
``out``. Candidates are timed in interleaved rounds so that load from other processes hits all
of them alike. pyFFTW is skipped (scipy.fft becomes the primary peer) when it is not installed.

Note on n = 1000 for complex64: 1000 is not a multiple of 16, so our single-precision call is
computed in double precision and rounded (the engine's precision rule); peers transform it in
single precision.
"""

from __future__ import annotations

import time

import numpy as np
import scipy.fft

import _util
from ostrel import spectral

try:
    import pyfftw
    import pyfftw.builders
except ImportError:  # optional peer
    pyfftw = None

LENGTHS = (1024, 4096, 65536, 1000)


def interleaved_best(fns: dict, rounds: int, min_time: float) -> dict:
    """Best per-call time of each function over `rounds` alternating rounds."""
    best = {k: float("inf") for k in fns}
    for f in fns.values():
        f()  # warm-up
    for _ in range(rounds):
        for k, f in fns.items():
            calls, t0 = 0, time.perf_counter()
            while True:
                f()
                calls += 1
                dt = time.perf_counter() - t0
                if dt >= min_time:
                    break
            best[k] = min(best[k], dt / calls)
    return best


def run(quick: bool) -> list[dict]:
    rounds, min_time = (5, 0.02) if quick else (15, 0.05)
    rng = np.random.default_rng(7)
    rows = []
    for dtype, tag in ((np.complex64, "cf32"), (np.complex128, "cf64")):
        for n in LENGTHS:
            x = (rng.standard_normal(n) + 1j * rng.standard_normal(n)).astype(dtype)
            fft = spectral.FFT(n)
            method = getattr(fft, f"execute_{tag}")
            out = np.empty(n, dtype)
            fns = {
                "ours": lambda: method(x, out=out),
                "ours_no_out": lambda: method(x),
                "numpy": lambda: np.fft.fft(x),
                "scipy": lambda: scipy.fft.fft(x),
            }
            if pyfftw is not None:
                a = pyfftw.empty_aligned(n, dtype)
                a[:] = x
                obj = pyfftw.builders.fft(a, planner_effort="FFTW_ESTIMATE", threads=1)
                fns["pyfftw"] = obj
                fns["pyfftw_x"] = lambda: obj(x)
            t = interleaved_best(fns, rounds, min_time)
            peer = "pyfftw" if pyfftw is not None else "scipy"
            extra = {f"{k}_ratio": t[k] / t["ours"] for k in t if k not in ("ours", peer)}
            rows.append(_util.row(f"FFT.execute_{tag} n={n}", n / t["ours"], peer=peer,
                                  peer_value=n / t[peer], us_per_call=t["ours"] * 1e6, **extra))
    return rows
