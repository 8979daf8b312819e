"""Bursty traffic for the receivers: the signals radio engineers actually receive, and a measure
of how a receiver's output follows them.

Scenes (each a :class:`Scene` of complex64 samples, the bits sent and where each burst starts):
a burst after a long stretch of noise, after exact zeros, a burst whose power steps by +-20 dB
halfway, a burst with one bad sample (NaN, infinity or a huge spike), and a train of short
bursts with random gaps, carrier phases and small frequency differences. The bursts are
root-raised-cosine M-PSK evaluated at the receiver's sample instants
(:func:`ostrel.demo.receiver.psk_signal`: carrier offset, clock error, fractional timing), unit
power per sample, with white noise of the burst's Es/N0 wherever the scene has noise.

Scoring (:func:`windows`): the received bits are cut into windows of received symbols; each
window is aligned on the sent bits by an exact run of 16 symbols (any lag, any of the m phase
rotations of a non-differential receiver) and scored by its symbol and bit errors. A window
with no exact run anywhere counts as all wrong. :func:`recovered_at` gives the first received
symbol from which every window stays below an error rate.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field

import numpy as np

from ostrel.demo.receiver import psk_signal

KEY = 16  # symbols in an alignment key


@dataclass
class Scene:
    x: np.ndarray  # complex64 samples
    bits: np.ndarray  # bits sent, all bursts in order, least significant first per symbol
    starts: list = field(default_factory=list)  # sample index of each burst's first symbol
    n_sym: list = field(default_factory=list)  # symbols of each burst
    m: int = 4
    sps: float = 8.0
    esn0_db: float = 20.0
    differential: bool = False

    @property
    def ebn0_db(self) -> float:
        return self.esn0_db - 10 * math.log10(math.log2(self.m))


def noise(n: int, sps: float, esn0_db: float, rng: np.random.Generator) -> np.ndarray:
    """Complex white noise of the density a unit-power burst at ``esn0_db`` carries."""
    n0 = sps * 10 ** (-esn0_db / 10)
    return (math.sqrt(n0 / 2) * (rng.standard_normal(n) + 1j * rng.standard_normal(n))).astype(np.complex64)


def burst(m: int = 4, sps: float = 8.0, n_sym: int = 2000, esn0_db: float = 20.0, offset: float = 1e-3,
          clock_ppm: float = 50.0, timing: float = 0.37, beta: float = 0.35, phase: float = 0.7,
          differential: bool = False, seed: int = 0, clean: bool = False) -> Scene:
    """One burst; ``clean`` leaves the noise out (for scenes that add their own)."""
    x, bits = psk_signal(n_sym, m=m, sps=sps, esn0_db=400.0 if clean else esn0_db, offset=offset,
                         clock_ppm=clock_ppm, timing=timing, beta=beta, differential=differential,
                         phase=phase, seed=seed)
    start = int(round((8 + timing) * sps))  # psk_signal starts its first symbol after its pulse's span
    return Scene(x, bits, [start], [n_sym], m, sps, esn0_db, differential)


def _prefixed(s: Scene, pre: np.ndarray) -> Scene:
    s.x = np.concatenate([pre, s.x]).astype(np.complex64)
    s.starts = [a + len(pre) for a in s.starts]
    return s


def after_noise(n_noise: int = 100_000, seed: int = 0, **kw) -> Scene:
    """A burst after ``n_noise`` samples of noise alone (the burst's own noise level)."""
    s = burst(seed=seed, **kw)
    return _prefixed(s, noise(n_noise, s.sps, s.esn0_db, np.random.default_rng(seed + 10_000)))


def after_zeros(gap_sym: int = 250, seed: int = 0, **kw) -> Scene:
    """A burst after ``gap_sym`` symbols of exact zeros (a squelched or gated front end)."""
    s = burst(seed=seed, **kw)
    return _prefixed(s, np.zeros(int(gap_sym * s.sps), np.complex64))


def power_step(step_db: float = 20.0, seed: int = 0, **kw) -> Scene:
    """A burst whose samples (signal and noise) are scaled by ``step_db`` from its middle on."""
    s = burst(seed=seed, **kw)
    mid = s.starts[0] + int(s.n_sym[0] * s.sps / 2)
    s.x[mid:] *= np.float32(10 ** (step_db / 20))
    return s


def spike(value: complex = complex("nan"), at_sym: int = 1000, seed: int = 0, **kw) -> Scene:
    """A burst with the sample ``at_sym`` symbols into it replaced by ``value``."""
    s = burst(seed=seed, **kw)
    s.x[s.starts[0] + int(at_sym * s.sps)] = value
    return s


def train(n_bursts: int = 50, n_sym: int = 200, gap_sym: tuple = (20, 400), seed: int = 0,
          m: int = 4, sps: float = 8.0, esn0_db: float = 20.0, offset: float = 1e-3,
          freq_spread: float = 1e-4, differential: bool = False, **kw) -> Scene:
    """``n_bursts`` bursts of ``n_sym`` symbols separated by random gaps of noise, each with its
    own random carrier phase, timing and a carrier within +-``freq_spread`` of ``offset``."""
    rng = np.random.default_rng(seed)
    parts, bits, starts, pos = [], [], [], 0
    for i in range(n_bursts):
        gap = noise(int(rng.integers(*gap_sym) * sps), sps, esn0_db, rng)
        b = burst(m=m, sps=sps, n_sym=n_sym, esn0_db=esn0_db, differential=differential, clean=True,
                  offset=offset + rng.uniform(-freq_spread, freq_spread), phase=rng.uniform(0, 2 * np.pi),
                  timing=rng.uniform(0, 1), seed=seed * 1000 + i, **kw)
        b.x += noise(len(b.x), sps, esn0_db, rng)
        parts += [gap, b.x]
        starts.append(pos + len(gap) + b.starts[0])
        pos += len(gap) + len(b.x)
        bits.append(b.bits)
    parts.append(noise(int(gap_sym[1] * sps), sps, esn0_db, rng))
    return Scene(np.concatenate(parts).astype(np.complex64), np.concatenate(bits), starts,
                 [n_sym] * n_bursts, m, sps, esn0_db, differential)


# ---------------------------------------------------------------------------------------------
# Scoring
# ---------------------------------------------------------------------------------------------
def indices(bits: np.ndarray, m: int) -> np.ndarray:
    """Symbol indices (inverse Gray code) of bits grouped log2(m) per symbol, LSB first."""
    k = int(round(math.log2(m)))
    g = (bits[: len(bits) // k * k].reshape(-1, k).astype(np.int64) << np.arange(k)).sum(axis=1)
    d, s = g.copy(), g >> 1
    while s.any():
        d ^= s
        s >>= 1
    return d


def _keys(idx: np.ndarray, m: int) -> np.ndarray:
    if len(idx) < KEY:
        return np.zeros(0, np.int64)
    w = np.lib.stride_tricks.sliding_window_view(idx, KEY)
    return (w * (m ** np.arange(KEY, dtype=np.int64))).sum(axis=1)


def windows(rx_bits: np.ndarray, tx_bits: np.ndarray, m: int, window: int = 100,
            differential: bool = False) -> np.ndarray:
    """Per window of ``window`` received symbols: (symbol errors, bit errors, symbols) rows.
    Alignment per window by the first exact 16-symbol run found in the sent symbols."""
    rx, tx = indices(rx_bits, m), indices(tx_bits, m)
    k = int(round(math.log2(m)))
    tx_keys = _keys(tx, m)
    where = {}
    for pos, key in enumerate(tx_keys.tolist()):
        where.setdefault(key, pos)
    rots = [0] if differential else range(m)
    rows = []
    for a in range(0, len(rx) - window + 1, window):
        w = rx[a: a + window]
        hit = None
        for off in range(0, window - KEY + 1, KEY // 2):
            for rot in rots:
                key = int(((w[off: off + KEY] + rot) % m * (m ** np.arange(KEY, dtype=np.int64))).sum())
                if key in where:
                    hit = (where[key] - off, rot)
                    break
            if hit:
                break
        if hit is None or hit[0] < 0 or hit[0] + window > len(tx):
            rows.append((window, window * k, window))
            continue
        got = (w + hit[1]) % m
        ref = tx[hit[0]: hit[0] + window]
        diff = (got ^ (got >> 1)) ^ (ref ^ (ref >> 1))
        rows.append((int(np.count_nonzero(got != ref)),
                     int(sum(np.count_nonzero((diff >> i) & 1) for i in range(k))), window))
    return np.array(rows, np.int64).reshape(-1, 3)


def recovered_at(rows: np.ndarray, max_ser: float, window: int = 100) -> int | None:
    """First received symbol from which every window's symbol error rate is at most ``max_ser``
    (None when the last window is still above it)."""
    bad = np.nonzero(rows[:, 0] > max_ser * rows[:, 2])[0]
    if len(rows) == 0 or (len(bad) and bad[-1] == len(rows) - 1):
        return None
    return 0 if len(bad) == 0 else int(bad[-1] + 1) * window


def symbols_per_block(rx, x: np.ndarray, block: int) -> np.ndarray:
    """Symbols ``rx.steps`` yields for each consecutive block of ``block`` samples: a receiver
    that has stalled yields none."""
    return np.array([len(rx.steps(x[a: a + block])) for a in range(0, len(x) - block + 1, block)])
