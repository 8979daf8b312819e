"""Throughput of the AGC, the multi-stage rate converter and the complex down-converter, beside
scipy.signal.resample_poly at the same ratio with a Kaiser filter spanning the same 19 output
samples as the converter's terminal polyphase stage (the peer has no CIC, so it filters at the
input rate throughout)."""

from __future__ import annotations

import ctypes
import importlib
from fractions import Fraction

import numpy as np

from _util import best_time, row

RATES = [("1/10", Fraction(1, 10)), ("1/100", Fraction(1, 100)), ("0.37", Fraction(37, 100))]


def _lib():
    mod = importlib.import_module("ostrel.track")
    L = ctypes.CDLL(mod.__file__)
    P, S, D = ctypes.c_void_p, ctypes.c_size_t, ctypes.c_double
    sig = {
        "agc_create": (P, [D, D, D]), "agc_destroy": (None, [P]), "agc_steps": (None, [P, P, P, S]),
        "agc_steps_per_sample": (None, [P, P, P, S]), "agc_set_update_every": (None, [P, ctypes.c_uint64]),
        "RateConverter_create": (P, [ctypes.c_int, D]), "RateConverter_destroy": (None, [P]),
        "RateConverter_execute": (S, [P, P, S, P, S]),
        "RateConverter_stages_value": (ctypes.c_char_p, [P, ctypes.c_int]),
        "RateConverter_num_stages": (ctypes.c_int, [P]),
        "ddc_create": (P, [D, D]), "ddc_destroy": (None, [P]), "ddc_execute": (S, [P, P, S, P, S]),
    }
    for name, (res, args) in sig.items():
        f = getattr(L, name)
        f.restype, f.argtypes = res, args
    return L


def _timed(fn, n_items: int, big: bool) -> float:
    # Long streams: a few whole passes; the best one counts.
    return n_items / best_time(fn, repeat=2 if big else 3, min_time=0.0 if big else 0.05)


def run(quick: bool) -> list[dict]:
    from scipy.signal import firwin, resample_poly

    L = _lib()
    n = 1_000_000 if quick else 10_000_000
    rng = np.random.default_rng(0)
    x = ((rng.standard_normal(n) + 1j * rng.standard_normal(n)) * 0.2).astype(np.complex64)
    out = np.empty(n, np.complex64)
    px, po = x.ctypes.data, out.ctypes.data
    rows = []

    a = L.agc_create(-6.0, 1e-3, 0.05)
    rows.append(row("AGC block form (block 8)", _timed(lambda: L.agc_steps(a, px, po, n), n, True)))
    L.agc_set_update_every(a, 8)
    rows.append(row("AGC per-sample form (update every 8)",
                    _timed(lambda: L.agc_steps_per_sample(a, px, po, n), n, True)))
    L.agc_destroy(a)

    n_peer = n if quick else n // 10  # the peer is slow at long filters; its rate is per sample anyway
    for label, fr in RATES:
        r = float(fr)
        up, down = fr.numerator, fr.denominator
        h = firwin(19 * max(up, down) + 1, 1.0 / max(up, down), window=("kaiser", 5.65326))
        xp = x[:n_peer]
        peer = n_peer / best_time(lambda: resample_poly(xp, up, down, window=h), repeat=2, min_time=0.0)
        rc = L.RateConverter_create(0, r)
        plan = "+".join(L.RateConverter_stages_value(rc, i).decode() for i in range(L.RateConverter_num_stages(rc)))
        v = _timed(lambda: L.RateConverter_execute(rc, px, n, po, n), n, True)
        rows.append(row(f"RateConverter_execute rate {label}", v, peer="resample_poly", peer_value=peer,
                        plan=plan, peer_taps=len(h)))
        L.RateConverter_destroy(rc)
        d = L.ddc_create(0.0123, r)
        v = _timed(lambda: L.ddc_execute(d, px, n, po, n), n, True)
        rows.append(row(f"ddc_execute rate {label}", v, peer="resample_poly", peer_value=peer, plan=plan))
        L.ddc_destroy(d)
    return rows
