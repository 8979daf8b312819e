"""Pulse and symbol-mapping definitions shared by the ``ostrel`` command, the demo and the tests:
the root-raised-cosine pulse in closed form and the Gray code of the M-PSK receivers' demapper."""

from __future__ import annotations

import numpy as np


def rrc_pulse(t: np.ndarray, beta: float) -> np.ndarray:
    """Unit-energy root-raised-cosine pulse of roll-off ``beta`` at ``t`` symbols (float64), with
    its removable singularities at t = 0 and |t| = 1/(4 beta) taken by their limits."""
    t = np.asarray(t, np.float64)
    out = np.empty_like(t)
    zero = np.abs(t) < 1e-9
    edge = (np.abs(np.abs(t) - 1 / (4 * beta)) < 1e-9) & ~zero if beta > 0 else np.zeros_like(zero)
    rest = ~(zero | edge)
    tr = t[rest]
    out[rest] = (np.sin(np.pi * tr * (1 - beta)) + 4 * beta * tr * np.cos(np.pi * tr * (1 + beta))) / (
        np.pi * tr * (1 - (4 * beta * tr) ** 2))
    out[zero] = 1 + beta * (4 / np.pi - 1)
    if beta > 0:
        a = np.pi / (4 * beta)
        out[edge] = beta / np.sqrt(2) * ((1 + 2 / np.pi) * np.sin(a) + (1 - 2 / np.pi) * np.cos(a))
    return out


def gray(i):
    """Gray code of a symbol index (int or integer array)."""
    return i ^ (i >> 1)


def gray_inverse(g: np.ndarray) -> np.ndarray:
    """The index whose Gray code is ``g`` (integer array)."""
    i = np.array(g, copy=True)
    shift = i >> 1
    while shift.any():
        i ^= shift
        shift >>= 1
    return i
