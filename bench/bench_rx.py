"""Throughput of the M-PSK receiver and the rate synchroniser, per core, beside their peers in
the same run:

- ``MpskReceiver`` (QPSK, 8 samples per symbol; AGC, matched filter and timing interpolator,
  Gardner timing loop, carrier loop, one symbol out per symbol) against a GNU Radio chain doing
  the same job (``agc2_cc`` -> ``pfb_clock_sync_ccf`` with a 32-arm root-raised-cosine bank ->
  ``costas_loop_cc`` of order 4), run under the system interpreter in a subprocess pinned to one
  core and measured in process CPU time net of the bare flowgraph (source -> sink);
- the same receiver against liquid-dsp's symbol synchroniser (``symsync_crcf`` with a 32-arm
  root-raised-cosine bank, one output per symbol), from a small C program compiled here against
  -lliquid; that peer does timing recovery only (no AGC, no carrier loop);
- ``RateSync`` at 8 and 17.33 samples per symbol (m = 2, root raised cosine, +-8 symbols).

Figures are samples per second per core over 1 M-sample blocks (thread CPU time, best of
several rounds), with cycles per sample from the measured clock. Peers that are not installed
are skipped.
"""

from __future__ import annotations

import json
import pathlib
import subprocess

import numpy as np

import _util
from ostrel import track

HERE = pathlib.Path(__file__).resolve().parent
SPS = 8


def signal(n: int, sps: float = SPS) -> np.ndarray:
    """QPSK at `sps` samples per symbol (rectangular symbols) with light noise."""
    rng = np.random.default_rng(0)
    k = np.floor(np.arange(n) / sps).astype(np.int64)
    sym = np.exp(2j * np.pi * (rng.integers(0, 4, k[-1] + 1) / 4 + 1 / 8))
    return (sym[k] + 0.05 * (rng.standard_normal(n) + 1j * rng.standard_normal(n))).astype(np.complex64)


def gnuradio_rate(n: int, span: float) -> tuple[float, str]:
    """Samples per second of the GNU Radio chain net of the bare flowgraph, or (nan, reason)."""
    out = _util.run_gnuradio(HERE / "gr_rx_chain.py", n, span)
    if out is None:
        return float("nan"), "GNU Radio not available"
    if out.returncode != 0:
        return float("nan"), (out.stderr.strip().splitlines() or ["failed"])[-1]
    r = json.loads(out.stdout.strip().splitlines()[-1])
    return n / (r["chain_s"] - r["base_s"]), f"GNU Radio {r['gnuradio']}"


def liquid_rate(n: int, span: int) -> tuple[float, str]:
    with _util.liquid_program(HERE / "liquid_symsync.c") as exe:
        if exe is None:
            return float("nan"), "liquid-dsp not installed or build failed"
        out = subprocess.run([str(exe), str(n), str(span)], capture_output=True, text=True)
    if out.returncode != 0:
        return float("nan"), "run failed"
    return float(out.stdout.split()[0]), "liquid-dsp symsync_crcf"


def ours(objs: dict, x: np.ndarray, rounds: int) -> dict:
    """Best thread CPU time per object over interleaved rounds (the first round warms up)."""
    out = np.empty(len(x), np.complex64)
    best = {}
    for r in range(rounds + 1):
        for name, obj in objs.items():
            t = _util.cpu_time(lambda: obj.steps(x, out=out))
            best[name] = min(best.get(name, np.inf), t) if r else np.inf
    return {name: len(x) / t for name, t in best.items()}


def run(quick: bool) -> list[dict]:
    n = 1 << 18 if quick else 1 << 20
    rounds = 3 if quick else 7
    x = signal(n)
    receivers = {
        "MpskReceiver QPSK sps 8, pulse iandd (defaults)": track.MpskReceiver(m=4, sps=8.0),
        "MpskReceiver QPSK sps 8, pulse rrc, rrc_span 4": track.MpskReceiver(m=4, sps=8.0, pulse="rrc", rrc_span=4),
        "MpskReceiver QPSK sps 8, pulse rrc, rrc_span 6": track.MpskReceiver(m=4, sps=8.0, pulse="rrc", rrc_span=6),
        "MpskReceiver QPSK sps 8, pulse rrc, rrc_span 8": track.MpskReceiver(m=4, sps=8.0, pulse="rrc", rrc_span=8),
        "MpskReceiver QPSK sps 8, pulse rrc, rrc_span 6, m_out 2": track.MpskReceiver(
            m=4, sps=8.0, pulse="rrc", rrc_span=6, m_out=2),
        # The AGC's per-sample form is one serial chain (a double-precision level EMA every sample,
        # a gain update with four divisions every 8): about 25 cycles per sample at the input rate.
        "MpskReceiver QPSK sps 8, pulse iandd, agc 0": track.MpskReceiver(m=4, sps=8.0, agc=0),
        "MpskReceiver QPSK sps 8, pulse rrc, rrc_span 6, agc 0": track.MpskReceiver(
            m=4, sps=8.0, pulse="rrc", rrc_span=6, agc=0),
    }
    rates = ours(receivers, x, rounds)
    gr, gr_label = gnuradio_rate(4 * n, 5.5)
    liq, liq_label = liquid_rate(n, 6)
    rows = []
    for name, v in rates.items():
        rows.append(_util.row(name, v, peer=f"{gr_label} agc2 + pfb_clock_sync (11-symbol RRC) + costas",
                              peer_value=gr))
    like = rates["MpskReceiver QPSK sps 8, pulse rrc, rrc_span 6"]
    rows.append(_util.row("MpskReceiver QPSK sps 8, rrc_span 6 vs timing recovery only", like,
                          peer=f"{liq_label} (RRC +-6 symbols, 32 arms)", peer_value=liq))
    x17 = signal(n, 17.33)
    syncs = {8.0: track.RateSync(sps=8.0, m=2), 17.33: track.RateSync(sps=17.33, m=2)}
    sync_rates = {sps: ours({sps: obj}, x if sps == 8.0 else x17, rounds)[sps] for sps, obj in syncs.items()}
    for sps, v in sync_rates.items():
        rows.append(_util.row(f"RateSync sps {sps:g} (rrc +-8, m 2)", v,
                              peer=liq_label + " (RRC +-6, sps 8)" if sps == 8.0 else "",
                              peer_value=liq if sps == 8.0 else None))
    return rows
