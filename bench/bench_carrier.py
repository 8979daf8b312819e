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


def _cpu_rates(calls: dict, items: int, rounds: int) -> dict:
    """Items per second of each ``calls[name] = (fn, before)`` from the best of ``rounds`` timed
    calls (thread CPU time), the candidates interleaved round by round so that load from other
    processes hits them alike; ``before`` (or None) runs untimed ahead of each call."""
    best = {name: float("inf") for name in calls}
    for fn, _ in calls.values():
        fn()  # warm-up
    for _ in range(rounds):
        for name, (fn, before) in calls.items():
            if before:
                before()
            t0 = time.thread_time()
            fn()
            best[name] = min(best[name], time.thread_time() - t0)
    return {name: items / t for name, t in best.items()}


def run(quick: bool) -> list[dict]:
    rounds = 5 if quick else 20
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
        xr = x[:n_ref]
        ref = _cpu_rates({"ref": (lambda: make_ref().steps(xr), None)}, n_ref, 2 if quick else 3)["ref"]
        loop = make()
        calls = {"plain": (lambda: loop.steps(x, out=out), None)}
        tlm = None
        if has_tlm:
            # 4 probes per dump: one block emits N / TSAMPS * 4 records and exactly fills the
            # ring, which is drained between calls outside the timing.
            tlm = Telemetry(1 << 18)
            attached = make()
            attached.set_telemetry(tlm, "car")
            calls["telemetry"] = (lambda: attached.steps(x, out=out), tlm.read)
        rates = _cpu_rates(calls, N, rounds)
        rows.append(_util.row(f"{name} tsamps={TSAMPS}, 1M block", rates["plain"],
                              peer="NumPy per-dump loop", peer_value=ref))
        if tlm is not None:
            assert tlm.dropped == 0
            attached.set_telemetry(None, "car")
            tlm.close()
            rows.append(_util.row(f"{name} tsamps={TSAMPS} + telemetry", rates["telemetry"],
                                  overhead_pct=100.0 * (rates["plain"] / rates["telemetry"] - 1.0)))
    return rows
