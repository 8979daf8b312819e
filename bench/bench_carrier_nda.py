"""CarrierNda throughput: samples per second per core on 1 M-sample blocks, with and without
telemetry, beside a straightforward NumPy implementation of the same loop.

The loop is latency-bound: the correction computed at sample k moves the phase step taken at
sample k+1, whose table lookup feeds sample k+2. One trip round that chain (correction ->
quantised phase increment -> phase word -> sine-table lookup -> de-rotation -> arm update ->
normalised M-th power discriminator with its division -> double-precision loop filter ->
correction) therefore spans two samples. ``CHAIN_CYCLES`` is that trip's latency summed from
the instructions the compiler emits, with the latencies of a current x86 core (FP add 3,
FP multiply 4, single divide 11, float<->double and double->int conversions 5-7, integer ops 1,
L1 load 5); half of it is the per-sample floor no implementation of this arithmetic can beat.
"""

from __future__ import annotations

import math

import numpy as np

import _util
from ostrel import track
from ostrel.telemetry import Telemetry

# Latency of the two-sample feedback trip, cycles: quantisation and phase add 21, table
# lookup 8, de-rotation/arm/discriminator/loop filter 60 for m = 2, +4 for m = 4 (one more
# multiply), +11 for m = 8 (the fourth-power terms).
CHAIN_CYCLES = {2: 89, 4: 93, 8: 100}


def signal(n: int, m: int = 4, seed: int = 0) -> np.ndarray:
    rng = np.random.default_rng(seed)
    sym = np.exp(2j * np.pi * rng.integers(0, m, n // 8 + 1) / m)
    x = np.repeat(sym, 8)[:n] * np.exp(2j * np.pi * 0.001 * np.arange(n))
    x += 0.1 * (rng.standard_normal(n) + 1j * rng.standard_normal(n))
    return x.astype(np.complex64)


class NumpyNda:
    """The loop written sample by sample with NumPy float32 scalars and Python floats."""

    def __init__(self, bn=0.01, zeta=0.707, sps=8, n=4, m=4):
        wn = (bn * 8 * zeta) / (zeta * zeta * 4 + 1)
        d = (zeta * wn + 1) * 4 + wn * wn
        self.kp, self.ki = (zeta * wn) * 8 / d / (2 * math.pi), (wn * wn) * 4 / d / (2 * math.pi)
        self.m, self.arm_len = m, sps // n
        self.lut = np.sin(np.arange(65536, dtype=np.float32) * np.float32(2 * np.pi / 65536))
        self.phase, self.integ, self.ctrl, self.lock = 0, 0.0, 0.0, 0.0
        self.ring = np.zeros(self.arm_len, dtype=np.complex64)
        self.idx, self.s = 0, np.complex64(0)

    def steps(self, x: np.ndarray) -> np.ndarray:
        out = np.empty_like(x)
        f32, g, lut = np.float32, np.float32(1.0 / self.arm_len), self.lut
        for i, v in enumerate(x):
            k = self.phase >> 16
            rot = np.complex64(complex(lut[(k + 16384) & 65535], -lut[k]))
            fr = self.ctrl - math.floor(self.ctrl)
            self.phase = (self.phase + int(4294967296.0 * fr)) & 0xFFFFFFFF
            y = v * rot
            self.s = self.s + (y - self.ring[self.idx])
            self.ring[self.idx] = y
            self.idx = (self.idx + 1) % self.arm_len
            a = self.s * g
            t = f32(a.real * a.real + a.imag * a.imag)
            e = vv = 0.0
            if t > 1e-12:
                z = a * a / t
                zm = z ** (self.m // 2) if self.m > 2 else z
                e, vv = float(zm.imag) * 2 / self.m, float(zm.real)
            self.lock = (vv - self.lock) * 0.05 + self.lock
            self.integ = self.ki * e + self.integ
            self.ctrl = self.kp * e + self.integ
            out[i] = y
        return out


def run(quick: bool) -> list[dict]:
    n = 1 << 18 if quick else 1 << 20
    rounds = 3 if quick else 9
    x = signal(n)
    out = np.empty_like(x)

    loops = {m: track.CarrierNda(m=m) for m in (2, 4, 8)}
    # Telemetry, m = 4: every sample emits four 16-byte records (64 bytes per sample).
    cases = [("ring holds the block, decim 1", 1, n, 1 << (2 + n.bit_length())),
             ("64K blocks drained between calls, decim 1", 1, 1 << 16, 1 << 18),
             ("ring holds the block, decim 8", 8, n, 1 << n.bit_length())]
    rings = []
    for _, decim, _, cap in cases:
        loop, tlm = track.CarrierNda(m=4), Telemetry(cap)
        loop.set_telemetry(tlm, "car", decim)
        rings.append((loop, tlm))

    def blocks(loop, tlm, block):
        total = 0.0
        for k in range(0, n, block):
            tlm.read()  # drained outside the timed region: nothing is ever dropped
            total += _util.cpu_time(lambda: loop.steps(x[k:k + block], out=out[k:k + block]))
        return total

    # Rounds interleave every configuration so that all see the same machine conditions; the
    # first round warms up (first touch of the ring pages, the sine table).
    best: dict = {}
    for r in range(rounds + 1):
        for m, loop in loops.items():
            t = _util.cpu_time(lambda: loop.steps(x, out=out))
            best[m] = min(best.get(m, np.inf), t) if r else np.inf
        for i, ((loop, tlm), (_, _, block, _)) in enumerate(zip(rings, cases)):
            t = blocks(loop, tlm, block)
            best[i] = min(best.get(i, np.inf), t) if r else np.inf
    dropped = [tlm.dropped for _, tlm in rings]
    for loop, tlm in rings:
        loop.set_telemetry(None, "car")
        tlm.close()

    n_np = 2000 if quick else 10000
    peer = n_np / min(_util.cpu_time(lambda: NumpyNda(m=4).steps(x[:n_np])) for _ in range(2))
    hz = _util.cpu_hz()
    rows = []
    for m in (2, 4, 8):
        eff = hz * best[m] / n
        rows.append(_util.row(f"CarrierNda m={m}, {n >> 10}K block", n / best[m],
                              peer="numpy per-sample loop" if m == 4 else "",
                              peer_value=peer if m == 4 else None,
                                                            chain_cycles_per_sample=CHAIN_CYCLES[m] / 2,
                              vs_chain=eff / (CHAIN_CYCLES[m] / 2)))
    for i, (label, *_rest) in enumerate(cases):
        rows.append(_util.row(f"CarrierNda m=4 + telemetry: {label}", n / best[i],
                              overhead_pct=100 * (best[i] / best[4] - 1), dropped=dropped[i]))
    return rows
