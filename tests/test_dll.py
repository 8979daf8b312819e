"""track.Dll: the code-tracking DLL with its CFAR lock detector and symbol-period aid."""

from __future__ import annotations

import ctypes
import inspect
import math
import os
import struct
import subprocess
import sys
import threading

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from native import c_double, c_int, c_size, c_u64, c_void_p, fn, lib, ptr
from reference import loop_gains, phase_inc
from streaming import assert_restore_continues, assert_split_invariant, fuzz_blobs
from ostrel import track
from ostrel.telemetry import Telemetry

F32 = np.float32
HDR = 16
TRACK = lib("track")
det_eta = fn(TRACK, "det_threshold_noncoherent", c_double, c_int, c_double)
det_alpha = fn(TRACK, "det_ema_alpha", c_double, c_double, c_double)
det_verify = fn(TRACK, "det_verify_count", c_int, c_double, c_double)
marcum_q = fn(TRACK, "marcum_q", c_double, c_int, c_double, c_double)


def code_of(n: int, seed: int = 0) -> np.ndarray:
    return np.random.default_rng(seed).integers(0, 2, n).astype(np.uint8)


def dsss(code, sps, n, tau=0.0, rate=1.0, snr_db=None, sym_chips=None, sym_start=0.0, seed=1):
    """Samples of a spread signal: chip at code position tau + i rate / sps, random data symbols
    of `sym_chips` chips starting at chip `sym_start` (None: no data), complex noise for a
    per-sample SNR of snr_db."""
    rng = np.random.default_rng(seed)
    t = tau + np.arange(n) * rate / sps
    x = (1.0 - 2.0 * (code[np.floor(t).astype(np.int64) % code.size] & 1)).astype(np.complex128)
    if sym_chips:
        k = np.floor((t - sym_start) / sym_chips).astype(np.int64) + 1
        x *= 1.0 - 2.0 * rng.integers(0, 2, k.max() + 1)[k]
    if snr_db is not None:
        s = math.sqrt(0.5 / 10 ** (snr_db / 10))
        x = x + s * (rng.standard_normal(n) + 1j * rng.standard_normal(n))
    return x.astype(np.complex64)


def noise(n, seed=2):
    rng = np.random.default_rng(seed)
    return (rng.standard_normal(n) + 1j * rng.standard_normal(n)).astype(np.complex64)


def field(blob: bytes, off: int, fmt: str):
    return struct.unpack_from(fmt, blob, HDR + off)[0]


def patched(blob: bytes, off: int, fmt: str, value) -> bytes:
    b = bytearray(blob)
    struct.pack_into(fmt, b, off, value)
    return bytes(b)


# ---------------------------------------------------------------------------------------------
# A plain-Python restatement of the loop, operation by operation (float32 where the loop is
# float32), for codes short enough that double arithmetic is exact where the loop takes a
# long-double modulo. Both modes, the look-back, the lock looks and the symbol-period aid.
# ---------------------------------------------------------------------------------------------
def mag2(v):
    return v[0] * v[0] + v[1] * v[1]


def cadd(a, b):
    return (a[0] + b[0], a[1] + b[1])


def cscale(v, s):
    return (v[0] * s, v[1] * s)


Z = (F32(0), F32(0))


class RefDll:
    def __init__(self, code, sps, segments=1, init_chip=0.0, bn=0.02, zeta=0.707, spacing=0.5):
        self.code, self.L, self.sps, self.n = list(code), len(code), sps, segments
        self.spacing = spacing
        e = self.epoch = float(sps) * float(self.L)
        self.ie, self.ie2, self.iel = 1.0 / e, 1.0 / (e * e), 1.0 / (e * self.L)
        self.cps, self.sseg = self.L / segments, (self.L * float(sps)) / segments
        self.bn, self.zeta, self.t, self.rs, self.aid, self.rate_aid = bn, zeta, 1.0, 1.0, 0.0, 0.0
        self.kp, self.ki = loop_gains(bn, zeta, 1.0)
        self.integ, self.init_chip = 0.0, init_chip
        self.up = self.down = det_eta(20, 1e-3)
        self.n_up, self.n_down, self.n_looks = det_verify(1e-3, 1e-6), 2, 20
        self.alpha = det_alpha(0.0, 10 * math.log10(2047.0))
        self.phase, self.inc = phase_inc(init_chip / self.L), phase_inc(self.ie)
        self.rng = (self.L & 0xFFFFFFFF) ^ 0x2545F491
        self.draw()
        self.ne = self.ps = self.stat = 0.0
        self.looks = self.count = self.locked = self.ncount = 0
        self.sums = [Z] * 4  # noise, prompt, early, late
        self.seg, self.parts, self.prev, self.err, self.rate = 0, [], None, 0.0, 1.0

    def set_period(self, period):
        self.aid, self.W = period, min(4 * self.n, math.floor(period) - 1)
        self.H, self.ring, self.best, self.hyp = math.ceil(period), [], 0, [0.0] * math.ceil(period)
        k = period / self.n
        self.integ *= k / self.t
        self.t, self.rs = k, 1.0 / k
        self.kp, self.ki = loop_gains(self.bn, self.zeta, k)

    def draw(self):
        g = int(0.999 + self.spacing + 2.0)
        if 2 * g < self.L:
            r = self.rng
            r ^= (r << 13) & 0xFFFFFFFF
            r ^= r >> 17
            r ^= (r << 5) & 0xFFFFFFFF
            self.rng, self.noff = r, float(g + r % (self.L - 2 * g))
        else:
            self.noff = 0.0

    def replica(self, t):
        two = 2.0 * self.L
        h = math.fmod(2.0 * t - 0.5, two)
        h = h + two if h < 0 else h
        k = int(h)
        f = h - k
        sc = -1.0 if self.code[k >> 1] & 1 else 1.0
        sn = -1.0 if self.code[0 if k + 1 == 2 * self.L else (k + 1) >> 1] & 1 else 1.0
        return F32((1.0 - f) * sc + f * sn)

    def look(self, p, o):
        self.ncount += 1
        c = max(self.alpha, 1.0 / self.ncount)
        self.ne += c * (float(mag2(o)) - self.ne)
        self.ps += float(mag2(p))
        self.looks += 1
        if self.looks < self.n_looks:
            return
        r = math.sqrt(2.0 * self.ps / max(self.ne, 1e-12))
        self.stat = r
        if not self.locked:
            self.count = self.count + 1 if r > self.up else 0
            if self.count >= self.n_up:
                self.locked, self.count = 1, 0
        else:
            self.count = self.count + 1 if not r >= self.down else 0
            if self.count >= self.n_down:
                self.locked, self.count = 0, 0
        self.ps, self.looks = 0.0, 0

    def steer(self, e):
        self.err = e
        self.integ = self.ki * e + self.integ
        a = (self.kp * e + self.integ) * self.rs
        self.rate = 1.0 + a * self.ie
        self.inc = phase_inc((self.rate_aid + 1.0) * self.ie + a * self.ie2)

    def close(self):
        s = F32(1.0 / self.sseg)
        o, p, e, l = self.sums
        self.parts.append((p, e, l))
        self.sums = [Z] * 4
        ps, os_, es, ls = (cscale(v, s) for v in (p, o, e, l))
        if not self.aid:
            return self.look(ps, os_)
        self.ring.append((ps, os_, es, ls))
        if len(self.ring) < self.W:
            return
        i = len(self.ring) - self.W
        win = self.ring[i:]

        def total(q):
            v = win[0][q]
            for w in win[1:]:
                v = cadd(v, w[q])
            return v

        t = total(0)
        t2 = float(mag2(t))

        def boundary(j):
            m = math.floor((i - j) / self.aid + 0.5)
            return m >= 0 and math.floor(m * self.aid + j + 0.5) == i

        for j in range(self.H):
            if boundary(j):
                self.hyp[j] += 0.03125 * (t2 - self.hyp[j])
                if self.hyp[j] > self.hyp[self.best]:
                    self.best = j
        if boundary(self.best):
            self.look(t, total(1))
            e = 0.5 * (float(mag2(total(2))) - float(mag2(total(3)))) / (t2 + 1e-12)
            self.steer(min(1.0, max(-1.0, e)))

    def epoch_single(self, out):
        o, p, e, l = self.sums
        err = 0.5 * (float(mag2(e)) - float(mag2(l))) / (float(mag2(p)) + 1e-12)
        err = min(1.0, max(-1.0, err))
        self.err = err
        self.integ = self.ki * err + self.integ
        self.rate = 1.0 + self.integ
        y = (self.rate_aid + 1.0 + self.integ) * self.ie + self.kp * self.iel * err
        self.inc = phase_inc(y)
        s = F32(self.ie)
        self.look(cscale(p, s), cscale(o, s))
        out.append(cscale(p, s))
        self.sums = [Z] * 4
        self.draw()

    def epoch_segmented(self, out):
        n, parts = self.n, self.parts
        pre = [parts[0][0]]
        for k in range(1, n):
            pre.append(cadd(pre[-1], parts[k][0]))
        r, b_best = math.sqrt(float(mag2(pre[-1]))) / self.epoch, 0
        if self.prev:
            for b in range(n - 1, 0, -1):
                suf = self.prev[n - 1][0]  # summed from the end
                for q in self.prev[n - 2:n - b - 1:-1]:
                    suf = cadd(q[0], suf)
                rb = math.sqrt(float(mag2(cadd(suf, pre[n - 1 - b])))) / self.epoch
                if rb > r:
                    r, b_best = rb, b
        if not self.aid:
            win = self.prev[n - b_best:] + parts[:n - b_best] if b_best else parts
            e, l = win[0][1], win[0][2]
            for w in win[1:]:
                e, l = cadd(e, w[1]), cadd(l, w[2])
            span = float(self.sps) * float(self.L) * r
            err = 0.5 * (float(mag2(e)) - float(mag2(l))) / (span * span + 1e-12)
            self.steer(min(1.0, max(-1.0, err)))
        s = F32(1.0 / self.sseg if r == 0.0 else 1.0 / (self.sseg * r))
        out.extend(cscale(q[0], s) for q in parts)
        self.prev, self.parts, self.seg = parts, [], 0
        self.draw()

    def steps(self, x):
        out = []
        for v in x:
            xr, xi = F32(v.real), F32(v.imag)
            pos = (self.phase + (self.inc >> 1)) & 0xFFFFFFFF
            p = float(pos) * float(self.L) / 4294967296.0
            rs = (self.replica(p + self.noff), self.replica(p), self.replica(p + self.spacing),
                  self.replica(p - self.spacing))
            self.sums = [cadd(s, (xr * r, xi * r)) for s, r in zip(self.sums, rs)]
            old, self.phase = self.phase, (self.phase + self.inc) & 0xFFFFFFFF
            cp = float(self.phase) * float(self.L) / 4294967296.0
            if self.n == 1:
                if self.phase < old:
                    self.epoch_single(out)
            elif self.phase < old:
                while self.seg < self.n:  # the segment in progress, then any skipped ones empty
                    self.close()
                    self.seg += 1
                self.epoch_segmented(out)
            else:
                while self.seg < self.n - 1 and cp >= (self.seg + 1) * self.cps:
                    self.close()
                    self.seg += 1
        return np.array([complex(a, b) for a, b in out], dtype=np.complex64)


@pytest.mark.parametrize("L,sps,segments,spacing,period", [
    (15, 2, 1, 0.5, 0), (13, 3, 1, 0.25, 0), (15, 2, 4, 0.5, 0), (16, 2, 3, 0.75, 0),
    (15, 2, 4, 0.5, 6.5), (15, 2, 8, 0.5, 20.7), (15, 4, 8, 0.5, 13.0),
    (11, 5, 3, 0.5, 0),  # R divided by sps L: a product with its reciprocal differs here
    (7, 1, 10, 0.5, 0)])  # last: fewer than one sample per segment
def test_matches_python_restatement_bit_for_bit(L, sps, segments, spacing, period):
    code = code_of(L, L)
    x = dsss(code, sps, 60 * L * sps, tau=1.3, rate=1.003, snr_db=3.0, sym_chips=2.5 * L, seed=L)
    ref = RefDll(code, sps, segments, init_chip=0.4, spacing=spacing)
    d = track.Dll(code, sps=sps, segments=segments, init_chip=0.4, bn=0.02, spacing=spacing)
    if period:
        ref.set_period(period)
        d.set_symbol_period(period)
    out = np.empty(x.size + segments, np.complex64)
    y = np.concatenate([d.steps(x[a:a + 97], out=out).copy() for a in range(0, x.size, 97)])
    yr = ref.steps(x)
    assert y.size == yr.size >= 55 * segments
    np.testing.assert_array_equal(y.view(np.uint32), yr.view(np.uint32))
    assert (d.last_error, d.code_rate, d.lock_stat, d.noise_est, d.locked) == (
        ref.err, ref.rate, ref.stat, ref.ne, bool(ref.locked))
    s = d.get_state()
    assert (field(s, 48, "<I"), field(s, 52, "<I")) == (ref.phase, ref.inc)
    assert field(s, 16, "<d") == ref.integ
    assert field(s, 328, "<d") == ref.noff and field(s, 344, "<I") == ref.rng
    if period:
        assert field(s, 472, "<Q") == ref.best and field(s, 480, "<Q") == len(ref.ring)


# ---------------------------------------------------------------------------------------------
# The fast replica against its definition (dll_steps_reference) on long streams
# ---------------------------------------------------------------------------------------------
steps_fast = fn(TRACK, "dll_steps", c_size, c_void_p, c_void_p, c_size, c_void_p, c_size)
steps_ref = fn(TRACK, "dll_steps_reference", c_size, c_void_p, c_void_p, c_size, c_void_p, c_size)
dll_init = fn(TRACK, "dll_init", c_int, c_void_p, c_void_p, c_size, c_u64, c_double, c_double,
              c_double, c_double)
lock_look = fn(TRACK, "dll_lock_look", None, c_void_p, c_double)
lock_epoch = fn(TRACK, "dll_lock_epoch", None, c_void_p)
lookback = fn(TRACK, "dll_lookback_segments", c_u64, c_u64, c_double)
DLL_BYTES = 576


def core(d: track.Dll) -> int:
    return ctypes.c_void_p.from_address(id(d) + object.__basicsize__).value


# Every tap path: dyadic spacing (integer path), other spacings (class table), a code beyond the
# table (no table), rate offsets, rate aid, segments with and without the aid, the code wrap
# inside blocks, offsets past a whole code period. 10^7 samples in all.
LONG = [(1023, 2, 1, 0.5, 0, 3e-4, 0.0, 2_000_000), (1023, 4, 8, 0.5, 0, -2e-4, 0.0, 2_000_000),
        (511, 2, 8, 0.5, 8.5, 1e-4, 0.0, 1_500_000), (127, 3, 1, 0.3, 0, 5e-4, 1e-4, 1_000_000),
        (255, 2, 4, 0.1, 0, 0.0, 0.0, 1_000_000), (31, 1, 1, 1.75, 0, 2e-3, 0.0, 500_000),
        (63, 2, 1, 40.3, 0, -1e-3, 0.0, 500_000),
        ((1 << 20) + 3, 1, 1, 0.5, 0, 1e-5, 0.0, 1_000_000),
        ((1 << 20) + 3, 1, 1, 0.37, 0, 0.0, 0.0, 500_000)]


@pytest.mark.parametrize("L,sps,segments,spacing,period,drift,aid,n", LONG)
def test_fast_path_equals_definition_on_long_streams(L, sps, segments, spacing, period, drift, aid,
                                                     n):
    code = code_of(L, 7)
    x = dsss(code, sps, n, tau=L * 0.6, rate=1 + drift, snr_db=-6.0, seed=3)
    objs = [track.Dll(code, sps=sps, segments=segments, init_chip=0.1, bn=0.05, spacing=spacing)
            for _ in range(2)]
    outs = []
    for d, f in zip(objs, (steps_fast, steps_ref)):
        if period:
            d.set_symbol_period(period)
        d.set_rate_aid(aid)
        o = np.zeros(n + 8 * segments, np.complex64)
        got = 0
        for a in range(0, n, 250_000):
            xb = x[a:a + 250_000]
            got += f(core(d), ptr(xb), xb.size, ptr(o[got:]), o.size - got)
        outs.append(o[:got])
    assert outs[0].tobytes() == outs[1].tobytes()
    assert objs[0].get_state() == objs[1].get_state()


def test_borrowed_code_init_matches_create():
    code = code_of(127, 9)
    x = dsss(code, 2, 40_000, tau=17.2, rate=1.0004, snr_db=-3.0)
    d = track.Dll(code, sps=2, init_chip=3.0, bn=0.03)
    storage = (ctypes.c_uint8 * DLL_BYTES)()
    assert dll_init(storage, ptr(code), code.size, 2, 3.0, 0.03, 0.707, 0.5) == 0
    o1, o2 = np.zeros(400, np.complex64), np.zeros(400, np.complex64)
    n1 = steps_fast(core(d), ptr(x), x.size, ptr(o1), o1.size)
    n2 = steps_fast(storage, ptr(x), x.size, ptr(o2), o2.size)
    assert n1 == n2 > 100 and o1.tobytes() == o2.tobytes()
    bad = (ctypes.c_uint8 * DLL_BYTES)()
    assert dll_init(bad, None, 5, 2, 0.0, 0.01, 0.707, 0.5) == -4
    assert dll_init(bad, ptr(code), 0, 2, 0.0, 0.01, 0.707, 0.5) == -4
    assert steps_fast(bad, ptr(x), x.size, ptr(o2), o2.size) == 0


# ---------------------------------------------------------------------------------------------
# Tracking and lock
# ---------------------------------------------------------------------------------------------
def test_clean_chips_give_unit_prompts_and_nominal_rate():
    code = code_of(31, 4)
    x = dsss(code, 2, 31 * 2 * 40 + 1)  # the truncated increment makes an epoch a hair long
    d = track.Dll(code, sps=2)
    y = d.steps(x)
    assert y.size == 40 and np.allclose(y[1:], 1.0, atol=1e-5) and d.code_rate == pytest.approx(1.0)
    d.reset()
    assert d.code_phase == 0.0 and d.code_rate == 1.0 and not d.locked and d.lock_stat == 0.0


# Single-segment mode steers the phase by kp e chips and the rate by ki e per epoch: an integral
# path L times stronger than the proportional one, so a long code wants a narrow bn there.
@pytest.mark.parametrize("segments,bn,sym_chips", [(1, 0.001, None), (8, 0.05, 1023 * 2.5)])
def test_pulls_in_and_locks_on_signal_not_on_noise(segments, bn, sym_chips):
    code = code_of(1023, 5)
    n = 1023 * 2 * 300
    x = dsss(code, 2, n, tau=0.35, rate=1 + 3e-5, snr_db=-17.0, sym_chips=sym_chips)
    d = track.Dll(code, sps=2, bn=bn, segments=segments)
    with Telemetry(1 << 12) as tlm:
        d.set_telemetry(tlm, "code")
        y = d.steps(x, out=np.empty(n + segments, np.complex64))
        probes = tlm.demux(tlm.read())
    assert abs(y.size / segments - 300) <= 1
    assert d.locked and np.argmax(probes["code.locked"] > 0) < 60
    assert probes["code.locked"][100:].all()
    assert np.mean(probes["code.rate"][150:]) == pytest.approx(1 + 3e-5, abs=1e-5)
    # The replica's sample middle sits a quarter chip after the held chip value it correlates.
    chips = 0.35 + n * (1 + 3e-5) / 2
    assert abs((d.code_phase - chips + 511.5) % 1023 - 511.5) < 0.75
    quiet = track.Dll(code, sps=2, bn=bn, segments=segments)
    with Telemetry(1 << 12) as tlm:
        quiet.set_telemetry(tlm, "q")
        quiet.steps(noise(n), out=np.empty(n + segments, np.complex64))
        probes = tlm.demux(tlm.read())
    assert not probes["q.locked"].any() and np.median(probes["q.lock"]) < det_eta(20, 1e-3)


# That stronger integral path bounds bn in single-segment mode: the loop is stable only below
# bn = (1 + 4 zeta^2) / (2 L) (about 1.5 / L), the limit the docstring gives users.
@pytest.mark.parametrize("factor,holds", [(0.33, True), (1.4, False)])
def test_single_segment_stability_limit(factor, holds):
    code = code_of(127, 5)
    x = dsss(code, 2, 127 * 2 * 3000, tau=0.3, rate=1 + 3e-5, snr_db=0.0)
    d = track.Dll(code, sps=2, bn=factor * (1 + 4 * 0.707**2) / (2 * 127))
    with Telemetry(1 << 13) as tlm:
        d.set_telemetry(tlm, "c")
        d.steps(x)
        locked = tlm.demux(tlm.read())["c.locked"][-1000:]
    assert locked.all() if holds else not locked.any()


def test_rate_aid_takes_the_offset_off_the_integrator():
    code = code_of(255, 6)
    x = dsss(code, 2, 255 * 2 * 600, rate=1 + 2e-4, snr_db=-10.0)
    rates = []
    for aid in (0.0, 2e-4):
        d = track.Dll(code, bn=0.05, segments=4)
        d.set_rate_aid(aid)
        with Telemetry(1 << 12) as tlm:
            d.set_telemetry(tlm, "c")
            d.steps(x, out=np.empty(x.size + 4, np.complex64))
            rates.append(np.mean(tlm.demux(tlm.read())["c.rate"][300:]))
        assert d.locked
    assert rates == [pytest.approx(1 + 2e-4, abs=2e-5), pytest.approx(1.0, abs=2e-5)]


def test_false_lock_rate_matches_the_threshold():
    # On noise the decision statistic is chi with 2N degrees of freedom against the noise-tap
    # reference: P(R > eta) = Q_N(0, eta) = pfa once the reference has settled.
    code = code_of(63, 8)
    d = track.Dll(code, sps=1, segments=1)
    d.configure_lock(0.1, 4, 40.0)  # a long reference average
    with Telemetry(1 << 17) as tlm:
        d.set_telemetry(tlm, "n")
        d.steps(noise(63 * 4 * 6000, 9))
        stat = tlm.demux(tlm.read())["n.lock"][4 * 500 + 3::4]  # one per decision, settled
    eta = det_eta(4, 0.1)
    assert marcum_q(4, 0.0, eta) == pytest.approx(0.1, rel=1e-6)
    assert np.mean(stat > F32(eta)) == pytest.approx(0.1, abs=0.02)


def test_lock_configuration_from_detection_statistics():
    d = track.Dll(code_of(31))
    s = d.get_state()
    assert field(s, 408, "<d") == field(s, 416, "<d") == det_eta(20, 1e-3)
    assert (field(s, 424, "<I"), field(s, 428, "<I"), field(s, 384, "<Q")) == (2, 2, 20)
    assert field(s, 360, "<d") == pytest.approx(1 / 1024, rel=1e-9)
    d.configure_lock(1e-3, 64)
    assert field(d.get_state(), 360, "<d") == pytest.approx(1 / 2048, rel=1e-9)
    d.configure_lock(pfa=0.5, n_looks=1, ref_snr_db=30.0)
    s = d.get_state()
    assert field(s, 360, "<d") == pytest.approx(2 / 1001, rel=1e-9)
    assert field(s, 408, "<d") == det_eta(1, 0.5) and field(s, 424, "<I") == det_verify(0.5, 5e-4)
    d.configure_lock_raw(3.0, 2.5, 0, 0.01, 0, 7)
    s = d.get_state()
    assert (field(s, 408, "<d"), field(s, 416, "<d"), field(s, 384, "<Q")) == (3.0, 2.5, 1)
    assert (field(s, 424, "<I"), field(s, 428, "<I"), field(s, 360, "<d")) == (1, 7, 0.01)


def test_verify_counts_and_short_codes():
    code = code_of(127, 3)
    d = track.Dll(code, sps=2)
    d.steps(dsss(code, 2, 127 * 2 * 60, snr_db=0.0))
    assert d.locked
    thr = d.get_state()[HDR + 408:HDR + 424]
    d.set_lock_verify(3, 5)
    s = d.get_state()
    assert not d.locked and s[HDR + 408:HDR + 424] == thr and field(s, 424, "<I") == 3
    six = np.array([0, 1, 1, 0, 1, 0], np.uint8)  # the noise tap falls on the prompt: never locks
    d6 = track.Dll(six, sps=4)
    d6.steps(dsss(six, 4, 6 * 4 * 2000))
    assert not d6.locked and field(d6.get_state(), 328, "<d") == 0.0


def test_lock_look_and_epoch_entry_points():
    d = track.Dll(code_of(63), sps=1)
    d.steps(noise(40, 4))  # mid-epoch: running sums present
    s = d.get_state()
    p, o = struct.unpack_from("<2f", s, HDR + 200), struct.unpack_from("<2f", s, HDR + 316)
    lock_look(core(d), 4.0)
    t = d.get_state()
    assert struct.unpack_from("<2f", t, HDR + 200) == p
    assert struct.unpack_from("<2f", t, HDR + 316) == (0, 0)
    a, b = F32(o[0]) * F32(0.25), F32(o[1]) * F32(0.25)
    assert field(t, 400, "<Q") == 1 and d.noise_est == float(a * a + b * b)  # first look: c = 1
    lock_epoch(core(d))
    assert field(d.get_state(), 344, "<I") != field(t, 344, "<I")  # a fresh draw
    assert [lookback(8, 3.0), lookback(0, 3.0), lookback(12, 1.0)] == [2, 1, 4]
    assert lookback(12, 2.0) == 3  # target 5: divisors 4 and 6 tie, the first wins


# ---------------------------------------------------------------------------------------------
# Segments and the symbol-period aid
# ---------------------------------------------------------------------------------------------
def test_output_capacity_and_fewer_samples_than_segments():
    code = code_of(31, 2)
    d = track.Dll(code, sps=1, segments=4)
    d.steps(dsss(code, 1, 31))  # the truncated increment wraps at the 32nd sample
    assert d.steps(dsss(code, 1, 1)).size == 1  # the epoch's 4 partials, room for 1
    # 7 chips at 1 sample per chip, 10 segments (loop frozen): every epoch still emits 10
    # partials in order, the 3 segments no sample fell in as zeros, and an epoch's partials add
    # up to the whole-epoch prompt (up to a positive normalisation).
    c7 = code_of(7, 3)
    x = noise(7 * 30 + 1, 5)
    seg = track.Dll(c7, sps=1, segments=10, bn=0.0)
    y = seg.steps(x, out=np.empty(310, np.complex64)).reshape(-1, 10)  # more out than in
    empty = (y == 0).sum(axis=1)  # the first epoch takes 8 samples (truncated increment)
    assert y.shape == (30, 10) and empty[0] == 2 and np.all(empty[1:] == 3)
    whole = track.Dll(c7, sps=1, bn=0.0).steps(x)
    assert whole.size == 30
    np.testing.assert_allclose(np.angle(y.sum(axis=1) / whole), 0, atol=1e-4)


def test_symbol_aid_finds_the_boundary_and_tracks():
    code = code_of(255, 11)
    segments, period, phase0 = 4, 10, 3  # symbols of 10 partials, boundaries at partials 3 + 10 m
    n = 255 * 2 * 400
    x = dsss(code, 2, n, rate=1 + 1e-4, snr_db=-8.0, sym_chips=period * 255 / segments,
             sym_start=phase0 * 255 / segments)
    d = track.Dll(code, sps=2, segments=segments, bn=0.05)
    d.set_symbol_period(period)
    assert d.symbol_window == 9
    with Telemetry(1 << 12) as tlm:
        d.set_telemetry(tlm, "c")
        d.steps(x, out=np.empty(n + 4, np.complex64))
        rate = tlm.demux(tlm.read())["c.rate"]
    s = d.get_state()
    # W = 9 partials fit inside a 10-partial symbol at two starts: the boundary and one after.
    hyp = np.frombuffer(s[-8 * 10:], np.float64)
    assert field(s, 472, "<Q") in (phase0, phase0 + 1) and d.locked
    assert set(np.argsort(hyp)[-2:]) == {phase0, phase0 + 1}
    assert np.sort(hyp)[-3] < 0.9 * np.sort(hyp)[-2]
    assert np.mean(rate[200:]) == pytest.approx(1 + 1e-4, abs=1.5e-5)
    assert abs((d.code_phase - n * (1 + 1e-4) / 2 + 127.5) % 255 - 127.5) < 0.75
    d2 = track.Dll(code, sps=2, segments=4)
    d2.set_symbol_period(7.2)
    s = d2.get_state()
    assert (d2.symbol_window, field(s, 456, "<Q"), field(s, 464, "<Q")) == (6, 8, 32)
    assert d2.state_bytes() == 584 + 48 * 4 + 8 * (8 + 4 * 32)
    d2.set_symbol_period(0)
    assert d2.symbol_window == 0 and d2.state_bytes() == 584 + 48 * 4


def test_symbol_period_switch_keeps_the_rate():
    code = code_of(255, 12)
    d = track.Dll(code, sps=2, segments=8, bn=0.05)
    d.steps(dsss(code, 2, 255 * 2 * 150, rate=1 + 4e-5, snr_db=-5.0))
    integ, t = field(d.get_state(), 16, "<d"), field(d.get_state(), 40, "<d")
    assert t == 1.0 and integ != 0.0
    d.set_symbol_period(12.0)
    s = d.get_state()
    assert field(s, 40, "<d") == 12.0 / 8 and field(s, 16, "<d") == integ * (1.5 / 1.0)
    assert field(s, 128, "<d") == 1 / 1.5
    assert field(s, 16, "<d") * field(s, 128, "<d") == pytest.approx(integ, rel=1e-15)
    kp, ki = loop_gains(0.05, 0.707, 1.5)
    assert (field(s, 0, "<d"), field(s, 8, "<d")) == (kp, ki)


# ---------------------------------------------------------------------------------------------
# Streaming: splits, restores, reset
# ---------------------------------------------------------------------------------------------
def dll_factory(segments, period):
    code = code_of(127, 13)

    def make():
        d = track.Dll(code, sps=2, segments=segments, init_chip=5.5, bn=0.04)
        if period:
            d.set_symbol_period(period)
        return d

    def run(d, x):
        return d.steps(x, out=np.empty(x.size + segments, np.complex64))

    return code, make, run


STREAM = dsss(code_of(127, 13), 2, 127 * 2 * 30, tau=2.0, rate=1.0002, snr_db=-3.0,
              sym_chips=127 * 1.5)


@settings(max_examples=20, deadline=None)
@given(st.lists(st.integers(0, STREAM.size), max_size=6),
       st.sampled_from([(1, 0), (4, 0), (4, 5.5)]))
def test_block_split_invariance(cuts, mode):
    _, make, run = dll_factory(*mode)
    assert_split_invariant(make, run, STREAM, cuts)


@pytest.mark.parametrize("mode,at", [((1, 0), 3001), ((6, 0), 2777), ((4, 5.5), 6000)])
def test_restore_mid_stream_continues_bit_for_bit(mode, at):
    code, make, run = dll_factory(*mode)
    blob = assert_restore_continues(make, run, STREAM, at)
    if mode[1]:
        assert field(blob, 480, "<Q") > 40  # the rings are populated
    # Into an object built with another spacing, sps and loop: configuration comes with the blob.
    other = track.Dll(code, sps=3, segments=mode[0], spacing=0.3, bn=0.2)
    if mode[1]:
        other.set_symbol_period(mode[1])
    other.set_state(blob)
    a = make()
    a.set_state(blob)
    assert run(other, STREAM[at:]).tobytes() == run(a, STREAM[at:]).tobytes()


def test_reset_equals_fresh_object():
    _, make, run = dll_factory(4, 5.5)
    d = make()
    run(d, STREAM)
    d.reset()
    assert d.get_state() == make().get_state()


# ---------------------------------------------------------------------------------------------
# Untrusted blobs
# ---------------------------------------------------------------------------------------------
def blob_after(segments=4, period=5.5):
    _, make, run = dll_factory(segments, period)
    d = make()
    run(d, STREAM[:5000])
    return d


BAD = [("magic", -16, "<4s", b"DLLX"), ("version", -12, "<H", 8), ("flag", -10, "<B", 0),
       ("length", -8, "<I", 1), ("L", 80, "<Q", 128), ("sps 0", 88, "<Q", 0),
       ("sps alone", 88, "<Q", 3), ("inv_epoch", 104, "<d", 0.5), ("nominal", 56, "<d", 0.0),
       ("chips/segment", 232, "<d", 1.0), ("samples/segment", 240, "<d", 1e9),
       ("noise guard", 336, "<d", 0.0), ("segments", 224, "<Q", 5), ("segment", 248, "<Q", 4),
       ("segment huge", 248, "<Q", 2**63), ("have_prev 2", 312, "<I", 2),
       ("noise offset", 328, "<d", 127.0), ("noise offset frac", 328, "<d", 3.5),
       ("noise offset nan", 328, "<d", math.nan), ("n_looks 0", 384, "<Q", 0),
       ("looks", 376, "<Q", 20), ("n_up 0", 424, "<I", 0), ("n_down 0", 428, "<I", 0),
       ("count", 432, "<I", 9), ("locked 2", 436, "<I", 2), ("aid off", 440, "<d", 0.0),
       ("period", 440, "<d", 1.5), ("period nan", 440, "<d", math.nan),
       ("period other H", 440, "<d", 9.0), ("window", 448, "<Q", 100), ("hypotheses", 456, "<Q", 7),
       ("ring size", 464, "<Q", 64), ("best", 472, "<Q", 6), ("best huge", 472, "<Q", 2**64 - 1),
       ("hyp alpha", 488, "<d", 0.5), ("loop t", 40, "<d", 1.0), ("rate scale", 128, "<d", 1.0)]


@pytest.mark.parametrize("name,off,fmt,value", BAD, ids=[b[0] for b in BAD])
def test_crafted_blob_rejected_and_object_unchanged(name, off, fmt, value):
    d = blob_after()
    good = d.get_state()
    with pytest.raises(ValueError, match="^set_state rejected the blob$"):
        d.set_state(patched(good, HDR + off, fmt, value))
    assert d.get_state() == good


def test_look_count_near_2_62_in_a_blob_is_safe():
    # There i - j and m period round so that all 100 hypotheses start a symbol at once: each must
    # be updated in place (no bounded candidate list), and the search stays within the object.
    code = code_of(127, 1)
    d = track.Dll(code, sps=2, segments=32)
    d.set_symbol_period(100.0)
    run = lambda o: o.steps(STREAM[:2000], out=np.empty(2040, np.complex64))  # noqa: E731
    run(d)
    d.set_state(patched(d.get_state(), HDR + 480, "<Q", 2**62))
    assert run(d).size >= 7 * 32 and field(d.get_state(), 472, "<Q") < 100


def test_consistent_blobs_accepted_and_ignored_bytes():
    d = blob_after()
    good = d.get_state()
    d.set_state(patched(patched(good, 12, "<I", 0xFFFFFFFF), 7, "<B", 9))  # never examined
    for off in (72, 256, 496, 528, 536, 544, 552, 316 + 8, 344 + 4):  # pointers, owner, tlm, pads
        d.set_state(patched(good, HDR + off, "<Q" if off % 8 == 0 else "<I", 0xDEAD))
        assert d.get_state() == good
    # Same sizes, another period: W = min(16, 5) and H = 6 for any period in (5, 6).
    s = patched(good, HDR + 440, "<d", 5.25)
    with pytest.raises(ValueError, match="^set_state rejected the blob$"):
        d.set_state(s)  # the loop's update period must follow
    s = patched(patched(s, HDR + 40, "<d", 5.25 / 4), HDR + 128, "<d", 1 / (5.25 / 4))
    d.set_state(s)
    assert field(d.get_state(), 440, "<d") == 5.25
    # A blob with the aid on into an object with it off, and the reverse.
    plain = blob_after(4, 0)
    before = plain.get_state()
    with pytest.raises(ValueError, match="^state blob size mismatch$"):
        plain.set_state(good)
    assert plain.get_state() == before
    forged = bytearray(before)
    struct.pack_into("<d", forged, HDR + 440, 5.5)
    with pytest.raises(ValueError, match="^set_state rejected the blob$"):
        plain.set_state(bytes(forged))


@pytest.mark.parametrize("segments,period", [(1, 0), (4, 0), (4, 5.5)])
def test_fuzzed_blobs_never_crash(segments, period):
    d = blob_after(segments, period)
    rng = np.random.default_rng(segments)

    def exercise(o):
        assert o.steps(STREAM[:700], out=np.empty(720, np.complex64)).size <= 720
        _ = (o.code_phase, o.lock_stat, o.locked, o.symbol_window)

    for lo, hi in ((16, 584), (HDR + 224, HDR + 500), (16, None)):
        fuzz_blobs(d, rng, exercise, count=120, lo=lo, hi=hi)


# ---------------------------------------------------------------------------------------------
# Python surface: messages, properties, telemetry, threads, lifecycle
# ---------------------------------------------------------------------------------------------
def small(**kw):
    return track.Dll([1, 0, 1], **kw)


RC = r" \(rc=-4\)$"
ERRORS = [
    (lambda: track.Dll([]), ValueError, r"^len\(code\) must be >= 1, got 0$"),
    (lambda: small(segments=0), ValueError, "^segments must be >= 1, got 0$"),
    (lambda: small(sps=0), ValueError, "^sps must be >= 1, got 0$"),
    (lambda: small(zeta=-0.5), ValueError, r"^zeta must be > 0, got -0\.5$"),
    (lambda: small(sps=-1), OverflowError, None),
    (lambda: track.Dll(), TypeError, None),
    (lambda: small().configure_lock(0.0, 20), ValueError, "^configure_lock failed" + RC),
    (lambda: small().configure_lock(1.0, 20), ValueError, "^configure_lock failed" + RC),
    (lambda: small().configure_lock(math.nan, 20), ValueError, "^pfa must be finite, got nan$"),
    (lambda: small().configure_lock(0.1, 2**31), ValueError, "^configure_lock failed" + RC),
    (lambda: small().configure_lock(0.1, -1), OverflowError, None),
    (lambda: small().set_lock_verify(0, 2), ValueError, "^set_lock_verify failed" + RC),
    (lambda: small().set_lock_verify(2, 0), ValueError, "^set_lock_verify failed" + RC),
    (lambda: small().set_lock_verify(2**31, 2), OverflowError, None),
    (lambda: small().configure_lock_raw(1, 1, 1, 0.1, 1, 2**32), OverflowError, None),
    (lambda: small(segments=2).set_symbol_period(1.5), ValueError,
     "^set_symbol_period failed" + RC),
    (lambda: small().set_symbol_period(4), ValueError, "^set_symbol_period failed" + RC),
    (lambda: small(segments=2).set_symbol_period(math.nan), ValueError, "^period must be finite"),
    (lambda: small(segments=2).set_symbol_period(1e12), ValueError, "^set_symbol_period"),
    (lambda: small().set_telemetry(Telemetry(64), "c", 0), ValueError,
     r"^set_telemetry failed \(rc=-4\): decim must be at least 1$"),
    (lambda: small().set_state(bytearray(584)), TypeError, "^set_state expects bytes$"),
    (lambda: small().set_state(bytes(583)), ValueError, "^state blob size mismatch$"),
    (lambda: small().set_state(bytes(584)), ValueError, "^set_state rejected the blob$"),
    (lambda: small().steps(np.ones(4, np.complex128)), TypeError, None),
    (lambda: small().steps(np.ones(4, np.complex64), out=np.ones(4)), TypeError, "^out must be"),
    (lambda: small().steps(np.ones(4, np.complex64), out=np.ones(3, np.complex64)), ValueError,
     r"^out has 3 elements, need >= 4$"),
]


@pytest.mark.parametrize("call,exc,msg", ERRORS)
def test_error_messages(call, exc, msg):
    with pytest.raises(exc, match=msg):
        call()


def test_destroyed_and_lifecycle():
    with track.Dll(code_of(31)) as d:
        assert isinstance(d, track.Dll)
    assert d.destroy() is None
    for call in (lambda: d.steps(np.ones(2, np.complex64)), lambda: d.code_phase, lambda: d.locked,
                 lambda: setattr(d, "bn", 0.1), lambda: d.configure_lock(0.1, 4),
                 lambda: d.configure_lock_raw(1, 1, 1, 0.1, 1, 1), lambda: d.set_lock_verify(1, 1),
                 lambda: d.set_symbol_period(0), lambda: d.set_rate_aid(0.0), lambda: d.get_state(),
                 lambda: d.set_telemetry(None, "x"), lambda: d.reset(), lambda: d.symbol_window):
        with pytest.raises(RuntimeError, match="^destroyed$"):
            call()
    with pytest.raises(TypeError):
        type("Sub", (track.Dll,), {})
    assert str(inspect.signature(track.Dll)) == (
        "(code, sps=2, init_chip=0.0, bn=0.01, zeta=0.707, spacing=0.5, segments=1)")
    assert str(inspect.signature(track.Dll.configure_lock)) == "(self, /, pfa, n_looks, ref_snr_db=0.0)"


def test_conversion_hooks_that_destroy_the_object_meanwhile():
    class Evil:
        def __init__(self, obj, value):
            self.obj, self.value = obj, value

        def __float__(self):
            self.obj.destroy()
            return float(self.value)

        def __index__(self):
            self.obj.destroy()
            return int(self.value)

    calls = [lambda d, e: d.configure_lock(e, 4), lambda d, e: d.configure_lock(0.1, e),
             lambda d, e: d.configure_lock_raw(1.0, 1.0, e, 0.1, 1, 1),
             lambda d, e: d.set_lock_verify(1, e), lambda d, e: d.set_symbol_period(e),
             lambda d, e: d.configure(e, 0.7), lambda d, e: d.set_rate_aid(e)]
    for call in calls:
        d = small(segments=2)
        with pytest.raises(RuntimeError, match="^destroyed$"):
            call(d, Evil(d, 0.5 if call is calls[0] else 3))


def test_properties_configuration_and_telemetry():
    d = track.Dll(np.array([3, 2, 5, 4, 1], np.int64), sps=1, init_chip=2.25, segments=3)
    assert (d.segments, d.code_phase, d.code_rate, d.last_error) == (3, 2.25, 1.0, 0.0)
    assert (d.locked, d.lock_stat, d.noise_est, d.symbol_window, d.steps_max_out()) == (
        False, 0.0, 0.0, 0, 0)
    s = d.get_state()
    assert s[:4] == b"DLL " and struct.unpack_from("<HBBI", s, 4) == (9, 1, 0, 584 + 48 * 3)
    assert field(s, 88, "<Q") == 1 and field(s, 80, "<Q") == 5  # int64 code cast
    d.steps(noise(200))
    integ = field(d.get_state(), 16, "<d")
    d.bn = 0.05
    d.configure(bn=d.bn, zeta=1.0)
    s = d.get_state()
    assert d.bn == 0.05 and field(s, 16, "<d") == integ
    assert field(s, 0, "<d") == loop_gains(0.05, 1.0)[0]
    with pytest.raises(AttributeError):
        d.code_rate = 2.0
    code = code_of(63, 14)
    x = dsss(code, 2, 63 * 2 * 30, snr_db=0.0)
    d = track.Dll(code, sps=2)
    with Telemetry(1024) as tlm:
        d.set_telemetry(tlm._capsule, "pn")
        y = d.steps(x)
        p = tlm.demux(tlm.read())
        assert list(p) == ["pn.e", "pn.rate", "pn.lock", "pn.locked"] and p["pn.e"].size == y.size
        assert (p["pn.e"][-1], p["pn.rate"][-1], p["pn.lock"][-1], p["pn.locked"][-1]) == (
            F32(d.last_error), F32(d.code_rate), F32(d.lock_stat), float(d.locked))
        d.set_state(d.get_state())  # a restore keeps the attachment
        d.set_telemetry(tlm, "pn", 3)
        d.steps(x[:63 * 2 * 10])
        assert tlm.demux(tlm.read())["pn.e"].size in (3, 4)
        d.set_telemetry(None, "pn")
        d.steps(x)
        assert tlm.avail == 0
        # The core entry points: a NULL prefix names the probes "code.*"; a flush on demand.
        get = ctypes.pythonapi.PyCapsule_GetPointer
        get.restype, get.argtypes = c_void_p, [ctypes.py_object, ctypes.c_char_p]
        ring = get(tlm._capsule, b"ostrel.telemetry.ox_tlm")
        set_tlm = fn(TRACK, "dll_set_telemetry", c_int, c_void_p, c_void_p, ctypes.c_char_p,
                     ctypes.c_uint)
        assert set_tlm(core(d), ring, None, 1) == 0 and "code.locked" in tlm.probe_names
        fn(TRACK, "dll_tlm_flush", None, c_void_p)(core(d))
        got = {k: v for k, v in tlm.demux(tlm.read()).items() if v.size}
        assert list(got) == ["code.e", "code.rate", "code.lock", "code.locked"]
        assert got["code.rate"][0] == F32(d.code_rate)
        assert set_tlm(core(d), None, None, 1) == 0


def test_two_threads_match_sequential():
    code = code_of(255, 15)
    xs = [dsss(code, 2, 255 * 2 * 200, rate=1 + k * 1e-4, snr_db=-5.0, seed=k) for k in (1, 2)]
    run = lambda d, x: d.steps(x, out=np.empty(x.size + 4, np.complex64)).tobytes()  # noqa: E731
    seq = [run(track.Dll(code, segments=4), x) for x in xs]
    objs, res = [track.Dll(code, segments=4) for _ in xs], [None, None]
    threads = [threading.Thread(target=lambda i=i: res.__setitem__(i, run(objs[i], xs[i])))
               for i in range(2)]
    [t.start() for t in threads]
    [t.join() for t in threads]
    assert res == seq


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""), reason="address-space limit")
def test_ring_allocation_failure_leaves_the_object_running():
    prog = r"""
import resource, numpy as np
from ostrel import track
code = np.random.default_rng(0).integers(0, 2, 127).astype(np.uint8)
x = np.ones(5000, np.complex64)
d = track.Dll(code, segments=8)
d.set_symbol_period(20.0)
d.steps(x[:2500], out=np.empty(2600, np.complex64))
before = d.get_state()
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
used = int(open('/proc/self/statm').read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (used + (64 << 20), hard))
try:
    d.set_symbol_period(10_000_000.0)  # four rings of 256 MB
except ValueError as e:
    print(e)
resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
print(d.get_state() == before, d.symbol_window)
"""
    out = subprocess.run([sys.executable, "-P", "-c", prog], capture_output=True, text=True,
                         check=True).stdout
    assert out.split("\n")[:2] == ["set_symbol_period failed (rc=-4)", "True 19"]


def test_demo_section_runs(capsys):
    from ostrel.demo import SECTIONS, dll

    assert "dll" in SECTIONS
    dll.run()
    text = capsys.readouterr().out
    assert "lock declared" in text and "noise alone: never locked" in text
