"""Independent re-evaluations of the fixed arithmetic shared by many components, written from
their definitions (frequency quantisation, loop-filter gains), for bit-exact comparisons."""

from __future__ import annotations

import math

import numpy as np


def phase_inc(f: float) -> int:
    """Frequency (cycles per sample) to a 32-bit phase increment: wrap into [0, 1), scale by
    2^32, truncate; 0 when not positive (NaN, infinities), 0xFFFFFFFF for a fraction of 1."""
    if not math.isfinite(f):
        return 0
    fr = f - math.floor(f)
    t = 4294967296.0 * fr
    if not t > 0.0:
        return 0
    if fr >= 1.0:
        return 0xFFFFFFFF
    return int(t)


def quantise(f) -> np.ndarray:
    """Vectorised :func:`phase_inc` over an array of frequencies (uint32 result)."""
    f = np.asarray(f, dtype=np.float64)
    with np.errstate(invalid="ignore"):
        fr = f - np.floor(f)
        t = 4294967296.0 * fr
        ok = t > 0
        top = fr >= 1.0
    out = np.zeros(f.shape, dtype=np.uint64)
    out[ok] = t[ok].astype(np.uint64)
    out[ok & top] = 0xFFFFFFFF
    return out.astype(np.uint32)


def loop_gains(bn: float, zeta: float, t: float = 1.0) -> tuple[float, float]:
    """(kp, ki) of the second-order loop filter, operation by operation."""
    wn = (bn * 8 * zeta) / (zeta * zeta * 4 + 1)
    theta = wn * t
    d = (zeta * theta + 1) * 4 + theta * theta
    return (zeta * theta) * 8 / d, (theta * theta) * 4 / d


def mth_power(re, im, m: int) -> tuple[np.float32, np.float32]:
    """(error, lock signal) of the M-th-power carrier discriminator on one sample, float32 in
    the loops' operation order; both 0 when the sample's power is not above 1e-12."""
    f32 = np.float32
    re, im = f32(re), f32(im)
    rr, ii = re * re, im * im
    power = rr + ii
    if not float(power) > 1e-12:
        return f32(0), f32(0)
    inv = f32(1) / power
    zr, zi = (rr - ii) * inv, re * im * (f32(2) * inv)
    if m == 2:
        return zi, zr
    if m == 4:
        return zr * zi, zr * zr - zi * zi
    a, b = zr * zi, zr * zr - zi * zi
    return b * a, b * b - f32(4) * (a * a)
