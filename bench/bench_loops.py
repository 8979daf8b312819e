"""Loop primitives: LoopFilter.steps, the local oscillator and the six NCO generators.

Every figure is samples per second on one core, beside the same work done with NumPy/SciPy:
- LoopFilter.steps (float64) vs scipy.signal.lfilter running the same PI recurrence
  (y = kp*x + integ, integ += ki*x  <=>  H(z) = (kp + ki - kp z^-1) / (1 - z^-1));
- lo_steps / lo_steps_ctrl (complex64 via the sine table) vs numpy.exp(1j*2*pi*f*n) in
  complex64 (with the control: the phase as a cumulative sum of f + ctrl);
- nco_steps_u32* vs a NumPy uint32 cumulative sum of the increments (plus the scaling, the
  quantised control and the wrap flags of each variant).
"""

from __future__ import annotations

import ctypes
import importlib

import numpy as np

import _util

c_size, c_double, c_u32, c_void_p = ctypes.c_size_t, ctypes.c_double, ctypes.c_uint32, ctypes.c_void_p
N = 1 << 20


def _lib():
    mod = importlib.import_module("ostrel.track")
    L = ctypes.CDLL(mod.__file__)

    def fn(name, restype, *argtypes):
        f = getattr(L, name)
        f.restype, f.argtypes = restype, list(argtypes)
        return f

    fn("lo_create", c_void_p, c_double)
    fn("lo_destroy", None, c_void_p)
    fn("lo_steps", c_size, c_void_p, c_size, c_void_p, c_size)
    fn("lo_steps_ctrl", c_size, c_void_p, c_void_p, c_size, c_void_p, c_size)
    fn("nco_create", c_void_p, c_u32, c_double)
    fn("nco_destroy", None, c_void_p)
    fn("nco_reset", None, c_void_p)
    for g in ("u32", "u32_scaled"):
        fn(f"nco_steps_{g}", c_size, c_void_p, c_size, c_void_p, c_size)
        fn(f"nco_steps_{g}_ctrl", c_size, c_void_p, c_void_p, c_size, c_void_p, c_size)
    fn("nco_steps_u32_ovf", c_size, c_void_p, c_size, c_void_p, c_void_p, c_size)
    fn("nco_steps_u32_ovf_ctrl", c_size, c_void_p, c_void_p, c_size, c_void_p, c_void_p, c_size)
    return L


def _quantise(f: np.ndarray) -> np.ndarray:
    """The phase-increment rule in NumPy (wrap into [0, 1), scale by 2^32, truncate)."""
    fr = f - np.floor(f)
    t = fr * 4294967296.0
    inc = np.where(t > 0, np.minimum(t, 4294967295.0), 0.0).astype(np.uint32)
    return inc


def _peer_phases(inc: int, ctrl: np.ndarray | None) -> np.ndarray:
    """Phase before each step from phase 0: the cumulative sum of the preceding increments."""
    steps = np.empty(N, dtype=np.uint32)
    steps[0] = 0
    steps[1:] = inc
    if ctrl is not None:
        steps[1:] += _quantise(ctrl[:-1])
    return np.cumsum(steps, dtype=np.uint32)


def run(quick: bool) -> list[dict]:
    from ostrel.track import LoopFilter
    from scipy.signal import lfilter

    kw = dict(repeat=2, min_time=0.02) if quick else dict(repeat=5, min_time=0.2)
    rng = np.random.default_rng(0)
    rows = []

    # --- LoopFilter.steps ----------------------------------------------------------------------
    lf = LoopFilter(bn=0.01, zeta=0.707, t=1.0)
    x = rng.normal(size=N)
    y = np.empty_like(x)
    b, a = [lf.kp + lf.ki, -lf.kp], [1.0, -1.0]
    lf.reset()
    assert np.allclose(lf.steps(x[:4096]), lfilter(b, a, x[:4096]), rtol=1e-9, atol=1e-12)
    ours = _util.rate(lambda: lf.steps(x, out=y), N, **kw)
    peer = _util.rate(lambda: lfilter(b, a, x), N, **kw)
    rows.append(_util.row("LoopFilter.steps f64 1M", ours, peer="scipy.signal.lfilter", peer_value=peer))

    # --- Local oscillator ----------------------------------------------------------------------
    L = _lib()
    f = 0.0123
    lo = L.lo_create(f)
    out = np.empty(N, dtype=np.complex64)
    op = c_void_p(out.ctypes.data)
    ctrl = rng.normal(0, 1e-4, N)
    cp = c_void_p(ctrl.ctypes.data)
    n32 = np.arange(N, dtype=np.float32)
    w32 = np.float32(2 * np.pi * f)

    def peer_lo():
        return np.exp(1j * (w32 * n32))

    def peer_lo_ctrl():
        ph = (2 * np.pi) * np.cumsum(f + ctrl)
        return np.exp(1j * ph.astype(np.float32))

    assert peer_lo().dtype == np.complex64
    ours = _util.rate(lambda: L.lo_steps(lo, N, op, N), N, **kw)
    peer = _util.rate(peer_lo, N, **kw)
    rows.append(_util.row("lo_steps cf32 1M", ours, peer="numpy.exp complex64", peer_value=peer))
    ours = _util.rate(lambda: L.lo_steps_ctrl(lo, cp, N, op, N), N, **kw)
    peer = _util.rate(peer_lo_ctrl, N, **kw)
    rows.append(_util.row("lo_steps_ctrl cf32 1M", ours, peer="numpy cumsum+exp complex64",
                          peer_value=peer))
    L.lo_destroy(lo)

    # --- NCO generators ------------------------------------------------------------------------
    scale = 65536
    nco = L.nco_create(scale, f)
    inc = int(_quantise(np.array([f]))[0])
    u = np.empty(N, dtype=np.uint32)
    ovf = np.empty(N, dtype=np.uint8)
    up, vp = c_void_p(u.ctypes.data), c_void_p(ovf.ctypes.data)

    def scaled(ph):
        return ((ph.astype(np.uint64) * scale) >> 32).astype(np.uint32)

    def carry(ph):
        nxt = ph + np.uint32(inc)
        return (nxt < ph).astype(np.uint8)

    def direction(ph):
        nxt = np.empty_like(ph)
        nxt[:-1] = ph[1:]
        nxt[-1] = ph[-1] + np.uint32(inc) + _quantise(ctrl[-1:])[0]
        xf = ctrl + f
        up_ = (xf > 0) & ((nxt < ph) | (xf >= 1))
        dn = (xf < 0) & ((nxt > ph) | (xf <= -1))
        return (up_ | dn).astype(np.uint8)

    cases = [
        ("u32", lambda: L.nco_steps_u32(nco, N, up, N), lambda: _peer_phases(inc, None)),
        ("u32_scaled", lambda: L.nco_steps_u32_scaled(nco, N, up, N),
         lambda: scaled(_peer_phases(inc, None))),
        ("u32_ovf", lambda: L.nco_steps_u32_ovf(nco, N, up, vp, N),
         lambda: carry(_peer_phases(inc, None))),
        ("u32_ctrl", lambda: L.nco_steps_u32_ctrl(nco, cp, N, up, N),
         lambda: _peer_phases(inc, ctrl)),
        ("u32_scaled_ctrl", lambda: L.nco_steps_u32_scaled_ctrl(nco, cp, N, up, N),
         lambda: scaled(_peer_phases(inc, ctrl))),
        ("u32_ovf_ctrl", lambda: L.nco_steps_u32_ovf_ctrl(nco, cp, N, up, vp, N),
         lambda: direction(_peer_phases(inc, ctrl))),
    ]
    for name, ours_fn, peer_fn in cases:
        L.nco_reset(nco)  # the peer starts from phase 0: check it does the same work
        ours_fn()
        ref = peer_fn()
        assert np.array_equal(ovf if "ovf" in name else u, ref), name
        ours = _util.rate(ours_fn, N, **kw)
        peer = _util.rate(peer_fn, N, **kw)
        rows.append(_util.row(f"nco_steps_{name} 1M", ours, peer="numpy uint32 cumsum",
                              peer_value=peer))
    L.nco_destroy(nco)
    return rows
