"""Throughput of the rate-conversion stages (FIR, polyphase resampler, halfband, CIC) through
their exported C ABI, beside SciPy's polyphase filtering (upfirdn / resample_poly) doing the same
ratio with a filter of comparable length per output."""

from __future__ import annotations

import ctypes

import numpy as np

import _util

_P = ctypes.c_void_p
_S = ctypes.c_size_t


def _lib():
    import ostrel.track as track

    L = ctypes.CDLL(track.__file__)
    sigs = {
        "fir_create_real": (_P, _P, _S),
        "fir_execute": (_S, _P, _P, _S, _P),
        "fir_destroy": (None, _P),
        "resamp_create": (_P, ctypes.c_double),
        "resamp_execute": (_S, _P, _P, _S, _P, _S),
        "resamp_destroy": (None, _P),
        "hbdecim_create": (_P, _S, _P),
        "hbdecim_execute": (_S, _P, _P, _S, _P, _S),
        "hbdecim_destroy": (None, _P),
        "cic_create": (_P, ctypes.c_uint32),
        "cic_decimate": (_S, _P, _P, _S, _P, _S),
        "cic_destroy": (None, _P),
    }
    for name, (res, *args) in sigs.items():
        f = getattr(L, name)
        f.restype = res
        f.argtypes = args
    return L


def _p(a: np.ndarray) -> ctypes.c_void_p:
    return ctypes.c_void_p(a.ctypes.data)


HB = np.array([0.0015790532, -0.0046757734, 0.010443179, -0.020174624, 0.035798926,
               -0.06086637, 0.10411341, -0.19753781, 0.6316009], np.float32)
HB = np.concatenate([HB, HB[::-1], [0]]).astype(np.float32)


def _halfband_full() -> np.ndarray:
    """The 35-tap full-rate filter the halfband decimator applies."""
    g = np.zeros(36, np.float32)
    g[18] = 0.5
    for k in range(9):
        g[2 * k + 1] = g[35 - 2 * k] = 0.5 * HB[k]
    return g[1:]


def run(quick: bool) -> list[dict]:
    from scipy import signal

    L = _lib()
    n = 1 << (18 if quick else 20)
    rep = 3 if quick else 5
    rng = np.random.default_rng(0)
    x = ((rng.standard_normal(n) + 1j * rng.standard_normal(n)) * 0.3).astype(np.complex64)
    out = np.zeros(4 * n + 16, np.complex64)
    rows = []

    # FIR, real taps.
    for T in (7, 64):
        h = signal.firwin(T, 0.3).astype(np.float32)
        f = L.fir_create_real(_p(h), T)
        ours = _util.rate(lambda: L.fir_execute(f, _p(x), n, _p(out)), n, repeat=rep)
        L.fir_destroy(f)
        peer = _util.rate(lambda: signal.upfirdn(h, x, 1, 1), n, repeat=rep)
        rows.append(_util.row(f"fir real taps={T}", ours, peer="scipy upfirdn f32 taps", peer_value=peer))

    # Polyphase resampler at three ratios.
    for rate, up, down in ((0.8, 4, 5), (1.25, 5, 4), (1 / 3, 1, 3)):
        r = L.resamp_create(rate)
        cap = int(n * rate) + 16
        ours = _util.rate(lambda: L.resamp_execute(r, _p(x), n, _p(out), cap), n, repeat=rep)
        L.resamp_destroy(r)
        peer = _util.rate(lambda: signal.resample_poly(x, up, down), n, repeat=rep)
        # resample_poly's own design (Kaiser, 20 * max(up, down) + 1 taps) in float32 through
        # upfirdn, so that the peer also runs in single precision.
        hp = (signal.firwin(2 * 10 * max(up, down) + 1, 1.0 / max(up, down),
                            window=("kaiser", 5.0)) * up).astype(np.float32)
        peer32 = _util.rate(lambda: signal.upfirdn(hp, x, up, down), n, repeat=rep)
        rows.append(_util.row(f"resampler rate={rate:.4g}", ours, peer="scipy resample_poly",
                              peer_value=peer, upfirdn_f32=peer32,
                              ratio_upfirdn_f32=ours / peer32))

    # Halfband decimator (35-tap halfband, 9 multiplies per output component).
    t = HB.copy()
    d = L.hbdecim_create(19, _p(t))
    ours = _util.rate(lambda: L.hbdecim_execute(d, _p(x), n, _p(out), n), n, repeat=rep)
    L.hbdecim_destroy(d)
    g = _halfband_full()
    peer = _util.rate(lambda: signal.upfirdn(g, x, 1, 2), n, repeat=rep)
    rows.append(_util.row("halfband decimator", ours, peer="scipy upfirdn 35 taps /2", peer_value=peer))

    # CIC(64): integer integrators and combs; the peer applies the equivalent sinc^4 filter
    # (4 * 63 + 1 taps) with decimation by 64.
    c = L.cic_create(64)
    ours = _util.rate(lambda: L.cic_decimate(c, _p(x), n, _p(out), n), n, repeat=rep)
    L.cic_destroy(c)
    box = np.ones(64, np.float32) / 64
    h4 = np.convolve(np.convolve(box, box), np.convolve(box, box)).astype(np.float32)
    peer = _util.rate(lambda: signal.upfirdn(h4, x, 1, 64), n, repeat=rep)
    rows.append(_util.row("cic R=64", ours, peer="scipy upfirdn sinc^4 /64", peer_value=peer))
    return rows
