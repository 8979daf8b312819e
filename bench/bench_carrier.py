"""Carrier loops: samples per second per core and cycles per sample of Costas (tsamps 16) and
CarrierMpsk (tsamps 16, m 4) on 1 M-sample blocks, with and without telemetry attached, beside
a NumPy implementation of the same loop (the bit-exact reference of the tests: de-rotation and
sequential float32 accumulation vectorised per dump, one Python iteration per dump).

Times are the calling thread's CPU time (best of several rounds), so that other processes
sharing the machine do not inflate the per-core figures. Telemetry rows time the producer side only: the ring is large enough for a whole block's
records and is drained between timed calls, outside the timing, so the figure is what attaching
costs the processing thread (the reader's copy runs on the consumer's thread).
"""

from __future__ import annotations

import pathlib
import sys
import time

import numpy as np

import _util
from ostrel import track
from ostrel.telemetry import Telemetry

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))
from carrier_ref import CarrierMpskRef, CostasRef, psk_signal  # noqa: E402

N = 1 << 20
TSAMPS = 16


def _cpu_rate(fn, items: int, rounds: int, before=None) -> float:
    """Items per second of ``fn`` from the best of ``rounds`` timed calls (thread CPU time);
    ``before`` runs untimed ahead of each call."""
    fn()  # warm-up
    best = float("inf")
    for _ in range(rounds):
        if before:
            before()
        t0 = time.thread_time()
        fn()
        best = min(best, time.thread_time() - t0)
    return items / best


def run(quick: bool) -> list[dict]:
    rounds = 5 if quick else 15
    n_ref = (1 << 14) if quick else (1 << 16)
    rows = []
    cases = [
        ("Costas", 2, lambda: track.Costas(bn=0.05, tsamps=TSAMPS),
         lambda: CostasRef(bn=0.05, tsamps=TSAMPS), True),
        ("CarrierMpsk m=4", 4, lambda: track.CarrierMpsk(bn=0.05, tsamps=TSAMPS, m=4),
         lambda: CarrierMpskRef(bn=0.05, tsamps=TSAMPS, m=4), False),
    ]
    out = np.empty(N, np.complex64)
    for name, m, make, make_ref, has_tlm in cases:
        x, _, _ = psk_signal(m, N // TSAMPS, TSAMPS, 0.001, 12.0, seed=1)
        loop = make()
        plain = _cpu_rate(lambda: loop.steps(x, out=out), N, rounds)
        xr = x[:n_ref]
        ref = _cpu_rate(lambda: make_ref().steps(xr), n_ref, 2 if quick else 3)
        rows.append(_util.row(f"{name} tsamps={TSAMPS}, 1M block", plain,
                              peer="NumPy per-dump loop", peer_value=ref))
        if has_tlm:
            # 4 probes per dump: one block emits N / TSAMPS * 4 records.
            with Telemetry(1 << 18) as tlm:
                loop.set_telemetry(tlm, "car")
                # Drained between calls, outside the timing; one block exactly fills the ring.
                attached = _cpu_rate(lambda: loop.steps(x, out=out), N, rounds, before=tlm.read)
                assert tlm.dropped == 0
                loop.set_telemetry(None, "car")
            rows.append(_util.row(f"{name} tsamps={TSAMPS} + telemetry", attached,
                                  overhead_pct=100.0 * (plain / attached - 1.0)))
    return rows
