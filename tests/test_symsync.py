"""Farrow interpolator (core only) and track.SymbolSync: exact arithmetic against a NumPy
restatement, streaming and restore, the detector S-curve model, timing acquisition, state-blob
validation, the Python type's messages."""

from __future__ import annotations

import ctypes
import math
import struct
import threading

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from native import (OX_EINVAL, blob, c_double, c_int, c_size, c_void_p, core_pointer, fn, lib,
                    ptr)
from ostrel import track
from ostrel.demo.symsync import raised_cosine, timing_signal, triangle
from ostrel.telemetry import Telemetry
from reference import loop_gains
from streaming import assert_restore_continues, assert_split_invariant, fuzz_blobs

F = np.float32
T = lib("track")
farrow_create = fn(T, "farrow_create", c_void_p, c_int)
farrow_destroy = fn(T, "farrow_destroy", None, c_void_p)
farrow_reset = fn(T, "farrow_reset", None, c_void_p)
farrow_delay = fn(T, "farrow_delay", c_size, c_void_p, c_void_p, c_size, c_void_p, c_size, c_double)
farrow_delay_max_out = fn(T, "farrow_delay_max_out", c_size, c_void_p)
farrow_group_delay = fn(T, "farrow_get_group_delay", c_int)
farrow_state_bytes = fn(T, "farrow_state_bytes", c_size, c_void_p)
farrow_get_state = fn(T, "farrow_get_state", None, c_void_p, c_void_p)
farrow_set_state = fn(T, "farrow_set_state", c_int, c_void_p, ctypes.c_char_p)
s_curve = fn(T, "symsync_s_curve", c_double, c_int, c_int, ctypes.c_int64, c_double, c_double)
ted_slope = fn(T, "symsync_ted_slope", c_double, c_int, c_int, ctypes.c_int64, c_double)
sync_steps = fn(T, "symsync_steps", c_size, c_void_p, c_void_p, c_size, c_void_p, c_size)

PROBES = ("e", "freq", "rate", "lock", "locked")
ORDERS = {"linear": 0, "parabolic": 1, "cubic": 2}


def bits(a: np.ndarray) -> np.ndarray:
    return np.ascontiguousarray(a).view(np.uint32)


# ---------------------------------------------------------------------------------------------
# NumPy restatement of the interpolator and of the synchroniser's per-sample path
# ---------------------------------------------------------------------------------------------
def interp(order, a, b, c, x, mu):
    """The three kernels in float32 (scalars or arrays), operation by operation."""
    if order == 0:
        return b + mu * (c - b)
    if order == 1:
        k = F(0.5) * (mu - F(1))
        return b + mu * ((c - b) + k * ((a + x) - (b + c)))
    sixth = F(0.16666667)
    c1 = (F(6) * c - F(2) * a - F(3) * b - x) * sixth
    c2 = (a - F(2) * b + c) * F(0.5)
    c3 = (x - F(3) * c + F(3) * b - a) * sixth
    return b + mu * (c1 + mu * (c2 + mu * c3))


def farrow_ref(x: np.ndarray, order: int, mu: float) -> np.ndarray:
    """Delay a whole stream from zero history: y[n] between x[n-2] and x[n-1]."""
    z = np.concatenate([np.zeros(3, np.complex64), x])
    w = [z[k:k + len(x)] for k in range(4)]
    m = F(mu)
    re = interp(order, *(v.real for v in w), m)
    im = interp(order, *(v.imag for v in w), m)
    return (re + 1j * im.astype(np.complex64)).astype(np.complex64)


def trunc_u32(v: float) -> int:
    if math.isnan(v) or not -2.0**63 <= v < 2.0**63:
        return 0
    return int(v) & 0xFFFFFFFF


class SymsyncRef:
    """The synchroniser sample by sample: float32 interpolation, double loop arithmetic."""

    def __init__(self, sps=4, bn=0.01, zeta=0.707, order=2, ted=0, lock=(133, 1, 8, None, None)):
        self.sps = sps or 1
        self.order = 0 if order == 0 else 1 if order == 1 else 2
        self.dttl = ted == 1
        self.nominal = trunc_u32(4294967296.0 / self.sps)
        self.kp, self.ki = loop_gains(bn, zeta)
        self.avgs, self.n_up, self.n_down, self.up, self.down = lock
        self.h = [(F(0), F(0))] * 4
        self.phase, self.inc, self.integ = 0, self.nominal, 0.0
        self.have_prev, self.prev, self.mid = False, (F(0), F(0)), (F(0), F(0))
        self.timing_error, self.rate, self.power_ema = 0.0, float(self.sps), 1.0
        self.block_sum, self.block_count, self.lock_stat = 0.0, 0, 0.0
        self.count, self.locked = 0, 0
        self.trace = []

    def _interp(self, mu):
        a, b, c, x = self.h
        return tuple(interp(self.order, a[k], b[k], c[k], x[k], mu) for k in (0, 1))

    def _decide(self, s):
        if not self.locked:
            if s > self.up:
                self.count += 1
                if self.count >= self.n_up:
                    self.locked, self.count = 1, 0
            else:
                self.count = 0
        elif not s >= self.down:
            self.count += 1
            if self.count >= self.n_down:
                self.locked, self.count = 0, 0
        else:
            self.count = 0

    def steps(self, x) -> np.ndarray:
        out = []
        for v in np.asarray(x, np.complex64):
            self.h = self.h[1:] + [(F(v.real), F(v.imag))]
            old = self.phase
            total = old + self.inc
            self.phase = total & 0xFFFFFFFF
            if total < 2**32:
                if old < 2**31 <= self.phase:
                    self.mid = self._interp(F(1.0 - (self.phase - 2**31) / self.inc))
                continue
            y = self._interp(F(1.0 - self.phase / self.inc))
            if not self.have_prev:
                self.have_prev, self.prev = True, y
                continue
            i, q = float(y[0]), float(y[1])
            ip, qp = float(self.prev[0]), float(self.prev[1])
            im, qm = float(self.mid[0]), float(self.mid[1])
            if self.dttl:
                sg = lambda u: 1.0 if u >= 0 else -1.0  # noqa: E731
                e = (sg(i) - sg(ip)) * im + (sg(q) - sg(qp)) * qm
            else:
                e = (i - ip) * im + (q - qp) * qm
            p = i * i + q * q
            self.power_ema += 0.01 * (p - self.power_ema)
            en = e / (self.power_ema + 1e-6)
            self.timing_error = en
            self.integ = self.ki * en + self.integ
            r = 1.0 + self.kp * en + self.integ
            self.inc = trunc_u32(self.nominal * r)
            sr = self.sps / r
            sr = 0.5 * self.sps if sr < 0.5 * self.sps else 1.5 * self.sps if sr > 1.5 * self.sps else sr
            self.rate += 0.02 * (sr - self.rate)
            pm = im * im + qm * qm
            self.block_sum += 2.0 * (p - pm) / (pm + 1e-12 + p)
            self.block_count += 1
            if self.block_count >= self.avgs:
                self.lock_stat = self.block_sum / self.avgs
                self._decide(self.lock_stat)
                self.block_sum, self.block_count = 0.0, 0
            self.prev = y
            out.append(complex(y[0], y[1]))
            self.trace.append((en, self.inc / self.nominal - 1.0, self.rate, self.lock_stat,
                               float(self.locked)))
        return np.array(out, np.complex64)


# ---------------------------------------------------------------------------------------------
# Farrow interpolator
# ---------------------------------------------------------------------------------------------
class Farrow:
    def __init__(self, order):
        self.p = farrow_create(order)

    def delay(self, x, mu, cap=None):
        out = np.zeros(len(x), np.complex64)
        n = farrow_delay(self.p, ptr(x), len(x), ptr(out), len(x) if cap is None else cap, mu)
        return out[:n]

    def state(self) -> bytes:
        b = blob(farrow_state_bytes(self.p))
        farrow_get_state(self.p, b)
        return bytes(b)

    def __del__(self):
        farrow_destroy(self.p)


@pytest.mark.parametrize("order", [0, 1, 2, 7, -3])
@pytest.mark.parametrize("mu", [0.0, 1.0, 0.37, 0.8125])
def test_farrow_bit_exact_across_blocks(order, mu):
    x = (np.random.default_rng(order + 5).standard_normal((300, 2)) * 3).astype(np.float32)
    x = x.view(np.complex64).ravel()
    f = Farrow(order)
    got = np.concatenate([f.delay(x[a:b], mu) for a, b in [(0, 1), (1, 3), (3, 4), (4, 97), (97, 300)]])
    ref = farrow_ref(x, order, mu)
    assert np.array_equal(bits(got), bits(ref))
    # Every kernel passes through its nodes: mu = 0 is a two-sample delay, mu = 1 one sample
    # (to the rounding of b + (c - b)).
    if mu == 0.0:
        assert np.array_equal(got[2:], x[:-2]) and not got[:2].any()
    if mu == 1.0:
        np.testing.assert_allclose(got[1:], x[:-1], rtol=0, atol=4e-6 * np.abs(x).max())
        assert got[0] == 0
    st_ = f.state()
    assert st_[:4] == b"FRRW" and struct.unpack_from("<HBxI", st_, 4) == (1, 1, 52)
    assert np.array_equal(np.frombuffer(st_, np.complex64, 4, 16), x[-4:])
    assert struct.unpack_from("<i", st_, 48)[0] == order


def test_farrow_capacity_state_and_constants():
    x = np.arange(1, 11, dtype=np.float32).astype(np.complex64)
    f = Farrow(2)
    assert farrow_delay_max_out(f.p) == 0 and farrow_group_delay() == 2
    assert len(f.delay(x, 0.5, cap=6)) == 6  # only the capacity is consumed
    assert np.array_equal(np.frombuffer(f.state(), np.complex64, 4, 16), x[2:6])
    farrow_reset(f.p)
    assert not np.frombuffer(f.state(), np.complex64, 4, 16).any()
    # A blob carries the order: a linear interpolator becomes cubic, history included.
    g, lin = Farrow(2), Farrow(0)
    g.delay(x, 0.3)
    good = g.state()
    assert farrow_set_state(lin.p, good) == 0 and lin.state() == good
    assert np.array_equal(bits(lin.delay(x, 0.3)), bits(g.delay(x, 0.3)))
    for pos, val in [(0, ord("X")), (4, 2), (6, 0), (8, 51)]:
        bad = bytearray(good)
        bad[pos] = val
        assert farrow_set_state(lin.p, bytes(bad)) == OX_EINVAL and lin.state() == g.state()


# ---------------------------------------------------------------------------------------------
# Symbol synchroniser: exact arithmetic and streaming
# ---------------------------------------------------------------------------------------------
def lock_config(sync) -> tuple:
    """(avgs, n_up, n_down, up, down) read from the state blob."""
    b = sync.get_state()
    (avgs,) = struct.unpack_from("<Q", b, 224)
    up, down, n_up, n_down = struct.unpack_from("<ddII", b, 240)
    return avgs, n_up, n_down, up, down


@pytest.mark.parametrize("sps,order,ted,pulse,lock", [
    (4, "cubic", "gardner", "rrc", None),
    (4, "parabolic", "dttl", "rrc", (5, 2, 3, 0.45, 0.4)),
    (2, "cubic", "dttl", "rect", (3, 1, 2, 0.5, 0.35)),
    (3, "linear", "gardner", "rect", (1, 3, 1, 0.2, 0.6)),
    (8, "cubic", "gardner", "rrc", (2, 1, 1, 0.42, 0.42)),
])
def test_per_sample_path_bit_exact(sps, order, ted, pulse, lock):
    x, _ = timing_signal(900 // sps + 30, sps, tau=0.3, ppm=3000, pulse=pulse, esn0_db=12, seed=sps)
    x = x[:900]
    x[400:403] = [0, 3 + 4j, -1e-30]  # a silent gap, a spike, a tiny value
    sync = track.SymbolSync(sps=sps, bn=0.03, zeta=0.9, order=order, ted=ted)
    if lock:
        sync.configure_lock_raw(lock[0], lock[3], lock[4], lock[1], lock[2])
    ref = SymsyncRef(sps, 0.03, 0.9, ORDERS[order], ted == "dttl", lock_config(sync))
    with Telemetry(1 << 14) as tlm:
        sync.set_telemetry(tlm, "s")
        got = np.concatenate([sync.steps(x[:123]), sync.steps(x[123:])])
        sync.set_telemetry(None, "s")
        probes = tlm.demux(tlm.read())
    want = ref.steps(x)
    assert len(want) > 900 // sps - 5
    assert np.array_equal(bits(got), bits(want))
    assert (sync.timing_error, sync.rate, sync.lock_stat, sync.locked) == (
        ref.timing_error, ref.rate, ref.lock_stat, bool(ref.locked))
    trace = np.array(ref.trace, np.float32)
    for k, name in enumerate(PROBES):
        assert np.array_equal(probes[f"s.{name}"], trace[:, k]), name
    if lock:  # the short lock blocks make the detector change state inside the stream
        assert 0 < trace[:, 4].sum() < len(trace)


@settings(max_examples=20, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(sps=st.sampled_from([2, 4, 5]), ted=st.sampled_from(["gardner", "dttl"]),
       cuts=st.lists(st.integers(0, 2000), max_size=10))
def test_block_splits_do_not_change_anything(sps, ted, cuts):
    x, _ = timing_signal(2000 // sps + 30, sps, ppm=-800, esn0_db=15, seed=3)
    x = x[:2000]
    assert_split_invariant(lambda: track.SymbolSync(sps=sps, bn=0.02, ted=ted),
                           lambda s, blk: s.steps(blk), x, cuts)


@pytest.mark.parametrize("at", [0, 1, 2, 3, 601, 602, 603, 1999])
def test_restore_mid_stream_continues_bit_exactly(at):
    x, _ = timing_signal(560, 4, ppm=500, esn0_db=15, seed=4)
    make = lambda: track.SymbolSync(sps=4, bn=0.02, order="parabolic", ted="dttl")  # noqa: E731
    # The blob carries sps, order, detector and loop: an object built otherwise takes them over.
    other = lambda: track.SymbolSync(sps=9, bn=0.3, order="linear", ted="gardner")  # noqa: E731
    assert_restore_continues(make, lambda s, blk: s.steps(blk), x[:2000], at, fresh=other)


def test_output_capacity_drops_symbols_while_tracking():
    x, _ = timing_signal(400, 4, ppm=2000, esn0_db=15, seed=5)
    a, b = track.SymbolSync(), track.SymbolSync()
    full = a.steps(x)
    out = np.zeros(5, np.complex64)
    assert sync_steps(core_pointer(b), ptr(x), len(x), ptr(out), 5) == 5
    assert np.array_equal(out, full[:5]) and a.get_state() == b.get_state()


# ---------------------------------------------------------------------------------------------
# Detector S-curve model
# ---------------------------------------------------------------------------------------------
def pulse_ref(pulse, beta, t):
    t = np.asarray(t, float)
    if pulse == 0:
        return triangle(t)
    near = beta > 0 and np.abs(np.abs(t) - 1 / (2 * beta)) < 1e-9
    p = np.where(near, beta / 2 * np.sin(np.pi / (2 * beta)) if beta > 0 else 0.0,
                 raised_cosine(t, beta) if beta > 0 else np.sinc(t))
    return np.where(np.abs(t) < 1e-9, 1.0, p)


@pytest.mark.parametrize("pulse,beta", [(0, 0.0), (1, 0.35), (1, 0.5), (1, 0.0), (1, 1.0)])
@pytest.mark.parametrize("span", [-3, -2, 0, 4])
def test_s_curve_against_its_definition(pulse, beta, span):
    for tau in (-0.4, -0.13, 0.0, 0.05, 0.25, 0.5):
        i = np.arange(-span - 2, span + 3)
        gardner = np.sum((pulse_ref(pulse, beta, tau - i) - pulse_ref(pulse, beta, tau - i - 1))
                         * pulse_ref(pulse, beta, tau - i - 0.5))
        dttl = pulse_ref(pulse, beta, tau - 0.5) - pulse_ref(pulse, beta, tau + 0.5)
        assert s_curve(0, pulse, span, beta, tau) == pytest.approx(gardner, abs=1e-12)
        assert s_curve(7, pulse, span, beta, tau) == s_curve(0, pulse, span, beta, tau)
        assert s_curve(1, pulse, span, beta, tau) == pytest.approx(float(dttl), abs=1e-12)


def test_ted_slopes_sign_and_magnitude():
    # Triangle (rectangular pulses through their matched filter): near zero the Gardner S-curve
    # is 1.5 tau - 3 tau |tau|, the DTTL one 2 tau.
    assert ted_slope(0, 0, 4, 0.0) == pytest.approx(1.5 - 3e-4, abs=1e-9)  # difference of +-1e-4
    assert ted_slope(1, 0, 4, 0.0) == pytest.approx(2.0, abs=1e-9)
    for ted, pulse, beta in [(0, 0, 0.0), (1, 0, 0.0), (0, 1, 0.35), (1, 1, 0.35), (0, 1, 0.9)]:
        # A late strobe (tau > 0) gives a positive error: the sign that makes the loop speed up.
        assert s_curve(ted, pulse, 8, beta, 0.05) > 0 > s_curve(ted, pulse, 8, beta, -0.05)
        d = (s_curve(ted, pulse, 8, beta, 1e-4) - s_curve(ted, pulse, 8, beta, -1e-4)) * 5000
        assert ted_slope(ted, pulse, 8, beta) == abs(d)
    # Raised cosine: the slope grows with the roll-off (a wider excess band, a steeper eye).
    slopes = [ted_slope(0, 1, 8, b) for b in (0.2, 0.35, 0.5, 1.0)]
    assert slopes == sorted(slopes) and 0.5 < slopes[1] < 1.5


# ---------------------------------------------------------------------------------------------
# Timing acquisition
# ---------------------------------------------------------------------------------------------
@pytest.mark.parametrize("pulse", ["rrc", "rect"])
@pytest.mark.parametrize("ted", ["gardner", "dttl"])
@pytest.mark.parametrize("sps,ppm", [(4, 2000), (8, -3000), (2, -4000)])
def test_acquires_timing_and_tracks_the_clock(pulse, ted, sps, ppm):
    n_sym = 4000
    x, sym = timing_signal(n_sym, sps, tau=0.41, ppm=ppm, pulse=pulse, esn0_db=18, seed=6)
    sync = track.SymbolSync(sps=sps, bn=0.02, ted=ted)
    with Telemetry(1 << 15) as tlm:
        sync.set_telemetry(tlm, "t")
        y = sync.steps(x)
        sync.set_telemetry(None, "t")
        p = tlm.demux(tlm.read())
    # Symbols come out at the transmitted rate (a clock the loop did not follow would gain or
    # lose 8 to 16 symbols here) and every decision after pull-in is right, with one alignment.
    assert abs(len(y) - (n_sym - 24)) <= 2
    tail = y[-2500:]
    lag = [k for k in range(len(y) - 2500 - 10, len(y) - 2500 + 30)
           if np.array_equal(np.sign(tail.real), np.sign(sym[k:k + 2500].real))]
    assert len(lag) == 1
    assert np.array_equal(np.sign(tail.imag), np.sign(sym[lag[0]:lag[0] + 2500].imag))
    # Timing error converges to zero mean; the eye is open at the strobes.
    assert abs(np.mean(p["t.e"][-2500:])) < 0.02
    opening = np.mean(np.abs(tail.real)) * np.sqrt(2)
    assert opening > (0.95 if pulse == "rrc" and sps > 2 else 0.8)
    # The NCO follows the clock: its rate offset and the smoothed rate match the clock offset.
    assert np.mean(p["t.freq"][-2500:]) == pytest.approx(ppm * 1e-6, rel=0.5)
    assert np.mean(p["t.rate"][-2500:]) == pytest.approx(sps / (1 + ppm * 1e-6), abs=0.3 * sps * abs(ppm) * 1e-6)
    assert sync.locked and sync.lock_stat > 0.3


def test_no_timing_lock_on_noise():
    rng = np.random.default_rng(7)
    x = (rng.standard_normal((40000, 2)) / np.sqrt(2)).astype(np.float32).view(np.complex64).ravel()
    sync = track.SymbolSync(sps=4)
    sync.steps(x)
    assert not sync.locked and abs(sync.lock_stat) < 0.2


# ---------------------------------------------------------------------------------------------
# Edge cases
# ---------------------------------------------------------------------------------------------
def test_nominal_rate_symbol_count_reset_and_defaults():
    x = np.tile(np.array([1, -1], np.complex64), 256)  # +-1 at the nominal rate
    sync = track.SymbolSync(sps=4)
    assert len(sync.steps(x)) == 127  # 128 wraps; the first only primes the detector
    assert sync.rate == 4.0 and sync.steps_max_out() == 0
    avgs, n_up, n_down, up, down = lock_config(sync)
    assert (avgs, n_up, n_down) == (133, 1, 8) and up == down == pytest.approx(0.311, abs=5e-4)
    sync.steps(timing_signal(300, 4, esn0_db=None)[0])
    sync.reset()
    assert sync.rate == 4.0 and sync.timing_error == 0.0 and sync.lock_stat == 0.0
    assert sync.get_state() == track.SymbolSync(sps=4).get_state()
    # sps 0 is 1; at 1 sample per symbol the nominal increment truncates to 0: no symbol, ever.
    one = track.SymbolSync(sps=0)
    assert one.get_state() == track.SymbolSync(sps=1).get_state()
    assert len(one.steps(x)) == 0 and one.rate == 1.0


def test_lock_configuration():
    x, _ = timing_signal(3000, 4, esn0_db=20, seed=8)
    sync = track.SymbolSync(sps=4)
    with pytest.raises(ValueError, match=r"^configure_lock failed \(rc=-4\)$"):
        sync.configure_lock(0.35, 10.0, 0.9, 0.9)
    for args in [(0.35, 10.0, 0.0, 0.9), (0.35, 10.0, 0.1, 1.0), (-0.5, 10.0, 0.001, 0.9)]:
        with pytest.raises(ValueError):
            sync.configure_lock(*args)
    assert lock_config(sync)[0] == 133  # failures change nothing
    sync.configure_lock(0.5, 6.0, 1e-4, 0.99)  # a weaker signal and stricter targets
    avgs, n_up, n_down, up, down = lock_config(sync)
    assert avgs > 133 and (n_up, n_down) == (1, 8) and up == down
    # avgs 0 counts as 1: every symbol is a decision, and the statistic is that symbol's signal.
    sync.configure_lock_raw(0, 0.5, 0.5, 0, 0)
    assert lock_config(sync)[:3] == (1, 1, 1)
    ref = SymsyncRef(4, lock=lock_config(sync))
    ref_out = ref.steps(x[:2000])
    sync.reset()
    sync.steps(x[:2000])
    assert len(ref_out) and sync.lock_stat == ref.lock_stat and sync.locked == bool(ref.locked)
    # Re-tuning the loop or the detector keeps the running estimates and the decision.
    sync.configure_lock_raw(20, 0.3, 0.2, 1, 4)
    sync.steps(x[2000:])
    assert sync.locked
    before = sync.get_state()
    sync.configure(0.05, 1.0)
    sync.bn = 0.04
    sync.configure_lock_raw(30, 0.9, 0.8, 5, 5)
    after = sync.get_state()
    assert sync.locked and sync.bn == 0.04 and after[16:24] == before[16:24]  # NCO phase, inc
    assert after[184:208] == before[184:208]  # timing error, rate, power


def test_threads_run_objects_in_parallel():
    x, _ = timing_signal(3000, 4, esn0_db=15, seed=9)
    want = track.SymbolSync().steps(x)
    results = [None] * 4

    def work(k):
        s = track.SymbolSync()
        results[k] = np.concatenate([s.steps(x[a:a + 1000]) for a in range(0, len(x), 1000)])

    threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(np.array_equal(bits(r), bits(want)) for r in results)


# ---------------------------------------------------------------------------------------------
# State blobs
# ---------------------------------------------------------------------------------------------
def test_blob_layout_and_crafted_fields():
    x, _ = timing_signal(300, 4, esn0_db=15, seed=10)
    sync = track.SymbolSync(sps=4, order="parabolic", ted="dttl")
    sync.steps(x)
    good = sync.get_state()
    assert len(good) == sync.state_bytes() == 304 and good[:4] == b"SYNC"
    assert struct.unpack_from("<HBxI", good, 4) == (5, 1, 304)
    assert struct.unpack_from("<i", good, 72)[0] == 1  # order
    assert struct.unpack_from("<QII", good, 128) == (4, 2**30, 1)  # sps, nominal, ted
    assert struct.unpack_from("<d", good, 192)[0] == sync.rate
    assert good[24:40] == bytes(16) and good[272:] == bytes(32)

    def patched(fmt, off, *vals):
        b = bytearray(good)
        struct.pack_into(fmt, b, off, *vals)
        return bytes(b)

    rejected = [("<Q", 128, 0), ("<Q", 128, 5), ("<I", 136, 2**30 + 1), ("<I", 144, 2),
                ("<Q", 224, 0), ("<Q", 216, 133), ("<Q", 216, 2**64 - 1), ("<I", 256, 0),
                ("<I", 260, 0), ("<I", 268, 2)]
    for fmt, off, val in rejected:
        with pytest.raises(ValueError, match="^set_state rejected the blob$"):
            sync.set_state(patched(fmt, off, val))
        assert sync.get_state() == good
    # Free fields: any order is cubic beyond 0 and 1, any detector other than 1 Gardner; the
    # reserved and padding bytes are taken as zero; a consistent sps takes its increment along.
    for fmt, off, val in [("<i", 72, 7), ("<I", 140, 9), ("<I", 24, 0xFFFF), ("<I", 76, 1),
                          ("<I", 164, 5), ("<I", 264, 9)]:
        sync.set_state(patched(fmt, off, val))
        assert len(sync.get_state()) == 304
        if off in (24, 76, 164):
            assert sync.get_state() == good
    sync.set_state(patched("<QI", 128, 3, 1431655765))  # sps 3 with its own increment
    assert struct.unpack_from("<QI", sync.get_state(), 128) == (3, 1431655765)
    cubic, seven = track.SymbolSync(), track.SymbolSync()
    seven.set_state(patched("<i", 72, 7))
    cubic.set_state(patched("<i", 72, 2))
    assert np.array_equal(bits(seven.steps(x)), bits(cubic.steps(x)))


def test_fuzzed_blobs_never_break_the_object():
    x, _ = timing_signal(200, 4, esn0_db=15, seed=11)
    sync = track.SymbolSync(sps=4)
    sync.steps(x)

    def exercise(s):
        s.steps(x[:300])
        assert isinstance(s.rate, float) and isinstance(s.locked, bool)

    accepted = fuzz_blobs(sync, np.random.default_rng(12), exercise, count=400, hi=272)
    assert 0 < accepted < 400


# ---------------------------------------------------------------------------------------------
# The Python type
# ---------------------------------------------------------------------------------------------
def test_messages():
    sync = track.SymbolSync()
    cases = [
        (lambda: track.SymbolSync(order="quintic"), ValueError,
         "order must be one of \"linear\", \"parabolic\", \"cubic\", got 'quintic'"),
        (lambda: track.SymbolSync(ted="mm"), ValueError,
         "ted must be one of \"gardner\", \"dttl\", got 'mm'"),
        (lambda: sync.configure_lock(0.35, 10.0, 0.5, 0.2), ValueError,
         "configure_lock failed (rc=-4)"),
        (lambda: sync.set_state(bytearray(304)), TypeError, "set_state expects bytes"),
        (lambda: sync.set_state(bytes(303)), ValueError, "state blob size mismatch"),
        (lambda: sync.set_state(bytes(304)), ValueError, "set_state rejected the blob"),
        (lambda: sync.steps(np.zeros(4, np.complex64), out=np.zeros(3, np.complex64)), ValueError,
         "out has 3 elements, need >= 4"),
        (lambda: track.SymbolSync(sps=-1), OverflowError, None),
    ]
    with Telemetry(4096) as tlm:
        cases.append((lambda: sync.set_telemetry(tlm, "s", 0), ValueError,
                      "set_telemetry failed (rc=-4)"))
        for call, exc, message in cases:
            with pytest.raises(exc) as info:
                call()
            if message is not None:
                assert str(info.value) == message
    sync.destroy()
    for call in (lambda: sync.steps(np.zeros(4, np.complex64)), lambda: sync.rate,
                 lambda: setattr(sync, "bn", 0.1), sync.reset, sync.get_state,
                 lambda: sync.configure_lock_raw(1, 0.1, 0.1, 1, 1)):
        with pytest.raises(RuntimeError, match="^destroyed$"):
            call()
    assert sync.destroy() is None


def test_python_surface():
    sync = track.SymbolSync(8, 0.02, 0.8, "linear", "dttl")
    assert sync.bn == 0.02 and isinstance(sync.locked, bool)
    sync.bn = 0.05
    kp, ki = loop_gains(0.05, 0.8)
    assert struct.unpack_from("<dd", sync.get_state(), 80) == (kp, ki)
    for name in ("steps", "steps_max_out", "set_telemetry", "configure", "configure_lock",
                 "configure_lock_raw", "reset", "get_state", "set_state", "destroy"):
        assert getattr(track.SymbolSync, name).__doc__
    for name in ("bn", "timing_error", "rate", "lock_stat", "locked"):
        assert getattr(track.SymbolSync, name).__doc__
    with pytest.raises(AttributeError):
        sync.rate = 1.0
    with track.SymbolSync() as s:
        assert s.steps([1, 2, 3]).dtype == np.complex64
    with pytest.raises(RuntimeError):
        s.rate
    order = [n for n in vars(track) if n[:1].isupper()]  # the module's type order
    assert order.index("Costas") + 1 == order.index("SymbolSync") < order.index("CarrierMpsk")


def test_demo_section_runs(capsys):
    from ostrel.demo import symsync

    symsync.run()
    text = capsys.readouterr().out
    assert "after SymbolSync" in text and "lock declared after" in text
