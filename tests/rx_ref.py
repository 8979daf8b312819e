"""The receivers' loops restated from their definitions for bit-exact comparisons: Python floats
where the loops compute in double, NumPy float32 scalars where they compute in single
precision. The callers drive the real converters (through ctypes) with the controls these
restatements produce."""

from __future__ import annotations

import math

import numpy as np

from reference import loop_gains, mth_power

F32 = np.float32


def lockdet_step(state: list, s: float, n_up: int, n_down: int, up: float, down: float) -> int:
    """One event of the hysteresis lock detector; state = [count, locked]."""
    count, locked = state
    if not locked:
        count = count + 1 if s > up else 0
        if count >= n_up:
            locked, count = 1, 0
    else:
        count = count + 1 if not s >= down else 0  # NaN counts toward loss
        if count >= n_down:
            locked, count = 0, 0
    state[:] = [count, locked]
    return locked


class RefTiming:
    """The rate-synchroniser loop: per converter output, history, priming, strobes every m
    outputs, detector normalised by 1/slope, PI loop, rate and the block-averaged lock."""

    def __init__(self, sps, m, taps, rate0, norm, bn, zeta, ted=0, lock=(133, 1, 8, 0.311, 0.311)):
        self.kp, self.ki = loop_gains(bn, zeta)
        self.sps, self.m, self.ted, self.rate0, self.norm = sps, m, ted, rate0, norm
        self.avgs, self.n_up, self.n_down, self.up, self.down = lock
        self.integ = self.ctrl = self.e = self.block_sum = self.lock_stat = 0.0
        self.rate = sps
        self.prime, self.counter, self.have_prev, self.block_count = taps + 1, 0, False, 0
        self.ld, self.hist, self.prev = [0, 0], [], np.complex64(0)

    @property
    def locked(self) -> int:
        return self.ld[1]

    def push(self, c) -> bool:
        half = self.m // 2
        self.hist = [c] + self.hist[:half]
        if self.prime:
            self.prime -= 1
            return False
        j, self.counter = self.counter, self.counter + 1
        if j % self.m or len(self.hist) < half + 1:
            return False
        if not self.have_prev:
            self.have_prev, self.prev = True, c
            return False
        mid, p = self.hist[half], self.prev
        if self.ted == 1:
            s = lambda v: 1.0 if v >= 0 else -1.0  # noqa: E731
            r = (s(c.real) - s(p.real)) * float(mid.real) + (s(c.imag) - s(p.imag)) * float(mid.imag)
        else:
            r = ((float(c.real) - float(p.real)) * float(mid.real)
                 + (float(c.imag) - float(p.imag)) * float(mid.imag))
        e = r * self.norm
        if abs(e) <= 64.0:  # larger (or NaN) detector outputs are not fed to the loop
            self.e = e
            ctrl = (self.kp * e + (self.ki * e + self.integ)) * self.rate0
            self.integ = min(max(self.ki * e + self.integ, -1 / 3), 1.0)  # periods 0.5 .. 1.5 sps
            self.ctrl = min(max(ctrl, -0.5 * self.rate0), self.rate0)  # one step: 0.5 .. 2 sps
        self.rate = min(max(self.sps / (self.integ + 1.0), 0.5 * self.sps), 1.5 * self.sps)
        pc = float(c.real) * float(c.real) + float(c.imag) * float(c.imag)
        pm = float(mid.real) * float(mid.real) + float(mid.imag) * float(mid.imag)
        look = 2.0 * (pc - pm) / (1e-12 + pm + pc)
        self.block_sum += look if look == look else 0.0  # a non-finite sample makes no look
        self.block_count += 1
        if self.block_count == self.avgs:
            self.lock_stat = self.block_sum / self.avgs
            lockdet_step(self.ld, self.lock_stat, self.n_up, self.n_down, self.up, self.down)
            self.block_sum, self.block_count = 0.0, 0
        self.prev = c
        return True


class RefCarrier:
    """The receiver loop core's symbol-rate carrier update and demapper."""

    def __init__(self, m, loop_sps, bn, zeta, lock_thresh, differential=False):
        self.kp, self.ki = loop_gains(bn, zeta)
        self.m, self.thr, self.differential = m, lock_thresh, differential
        self.scale = (1.0 / 6.283185307179586) / loop_sps
        self.rot = (F32(0.70710677), F32(0.70710677)) if m == 4 else (F32(1), F32(0))
        self.integ = self.freq_ctrl = self.error = self.lock = 0.0
        self.n_sym, self.lock_time, self.ld, self.prev = 0, -1, [0, 0], None

    def update(self, c) -> np.complex64:
        pr, pi = F32(c.real), F32(c.imag)
        e, v = mth_power(pr, pi, self.m)
        if not (e - e == 0 and v - v == 0):  # an overflowed square carries no phase
            e = v = F32(0)
        self.lock = (float(v) - self.lock) * 0.05 + self.lock
        if lockdet_step(self.ld, self.lock, 8, 32, self.thr, 0.8 * self.thr) and self.lock_time < 0:
            self.lock_time = self.n_sym
        self.error = float(e)
        self.n_sym += 1
        self.integ = self.ki * self.error + self.integ
        self.freq_ctrl = -((self.kp * self.error + self.integ) * self.scale)
        rr_, ri = self.rot
        return np.complex64(complex(pr * rr_ - pi * ri, pi * rr_ + pr * ri))

    def bits(self, sym) -> list[int]:
        idx = nearest_index(self.m, sym)
        d = idx
        if self.differential:
            d = (idx + self.m - (self.prev if self.prev is not None else 0)) % self.m
            self.prev = idx
        g = d ^ (d >> 1)
        return [(g >> i) & 1 for i in range(int(math.log2(self.m)))]


def nearest_index(m: int, sym) -> int:
    """Nearest M-PSK point index (QPSK offset by 45 degrees), an exact half toward zero."""
    off = 0.7853981633974483 if m == 4 else 0.0
    u = ((1.0 / 6.283185307179586) * m) * (math.atan2(float(np.float32(sym.imag)), float(np.float32(sym.real))) - off)
    n = math.trunc(u) if abs(u - math.trunc(u)) == 0.5 else math.trunc(u + math.copysign(0.49999999999999994, u))
    return n & (m - 1)
