"""Farrow interpolator (core only) and track.SymbolSync: exact arithmetic against a NumPy
restatement, streaming and restore, the detector S-curve model, timing acquisition, state-blob
validation, the Python type's messages."""

from __future__ import annotations

import ctypes
import math
import struct

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from native import OX_EINVAL, Core, c_double, c_int, c_size, c_void_p, core_pointer, fn, lib, ptr
from ostrel import track
from ostrel.demo.symsync import raised_cosine, timing_signal, triangle
from ostrel.telemetry import Telemetry
from reference import loop_gains
from streaming import assert_restore_continues, assert_split_invariant, fuzz_blobs

F = np.float32
T = lib("track")
fn(T, "farrow_create", c_void_p, c_int)
fn(T, "farrow_destroy", None, c_void_p)
fn(T, "farrow_reset", None, c_void_p)
fn(T, "farrow_delay", c_size, c_void_p, c_void_p, c_size, c_void_p, c_size, c_double)
fn(T, "farrow_delay_max_out", c_size, c_void_p)
fn(T, "farrow_state_bytes", c_size, c_void_p)
fn(T, "farrow_get_state", None, c_void_p, c_void_p)
fn(T, "farrow_set_state", c_int, c_void_p, ctypes.c_char_p)
farrow_group_delay = fn(T, "farrow_get_group_delay", c_int)
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

    def _decide(self, s):  # NaN never qualifies for lock and always for loss
        qualifies = not s >= self.down if self.locked else s > self.up
        self.count = self.count + 1 if qualifies else 0
        if self.count >= (self.n_down if self.locked else self.n_up):
            self.locked, self.count = 1 - self.locked, 0

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
            (i, q), (ip, qp), (im, qm) = (map(float, v) for v in (y, self.prev, self.mid))
            if self.dttl:
                i, q, ip, qp = (1.0 if v >= 0 else -1.0 for v in (i, q, ip, qp))
            e = (i - ip) * im + (q - qp) * qm
            i, q = float(y[0]), float(y[1])
            p = i * i + q * q
            cap = 100.0 * (self.power_ema + 1e-6)  # a symbol raises the power at most 100-fold
            if p == p:
                self.power_ema += 0.01 * (min(p, cap) - self.power_ema)
            en = e / (self.power_ema + 1e-6)
            if abs(en) <= 64.0:  # larger (or NaN) detector outputs are not fed to the loop
                self.timing_error = en
                self.integ = min(max(self.ki * en + self.integ, -1 / 3), 1.0)
                r = 1.0 + self.kp * en + self.integ
                if not 0.5 <= r < 2.0:  # the rate factor within [0.5, 2)
                    r = 0.5 if r < 0.5 else math.nextafter(2.0, 0.0)
                self.inc = trunc_u32(self.nominal * r)
                sr = min(max(self.sps / r, 0.5 * self.sps), 1.5 * self.sps)
                self.rate += 0.02 * (sr - self.rate)
            pm = im * im + qm * qm
            look = 2.0 * (p - pm) / (pm + 1e-12 + p)
            self.block_sum += look if look == look else 0.0
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
def delay(f: Core, x: np.ndarray, mu: float, cap: int | None = None) -> np.ndarray:
    out = np.zeros(len(x), np.complex64)
    return out[:f.call("delay", ptr(x), len(x), ptr(out), len(x) if cap is None else cap, mu)]


@pytest.mark.parametrize("order", [0, 1, 2, 7, -3])
@pytest.mark.parametrize("mu", [0.0, 1.0, 0.37, 0.8125])
def test_farrow_bit_exact_across_blocks(order, mu):
    x = (np.random.default_rng(order + 5).standard_normal(600) * 3).astype(np.float32).view(np.complex64)
    f = Core(T, "farrow", order)
    got = np.concatenate([delay(f, x[a:b], mu) for a, b in [(0, 1), (1, 3), (3, 4), (4, 97), (97, 300)]])
    assert np.array_equal(bits(got), bits(farrow_ref(x, order, mu)))
    # Every kernel passes through its nodes: mu = 0 is a two-sample delay, mu = 1 one sample
    # (to the rounding of b + (c - b)).
    if mu == 0.0:
        assert np.array_equal(got[2:], x[:-2]) and not got[:2].any()
    if mu == 1.0:
        np.testing.assert_allclose(got[1:], x[:-1], rtol=0, atol=4e-6 * np.abs(x).max())
    b = f.state()
    assert b[:4] == b"FRRW" and struct.unpack_from("<HBxI", b, 4) == (1, 1, 52)
    assert np.array_equal(np.frombuffer(b, np.complex64, 4, 16), x[-4:])
    assert struct.unpack_from("<i", b, 48)[0] == order


def test_farrow_capacity_reset_and_blob():
    x = np.arange(1, 11, dtype=np.float32).astype(np.complex64)
    f, lin = Core(T, "farrow", 2), Core(T, "farrow", 0)
    assert f.call("delay_max_out") == 0 and farrow_group_delay() == 2
    assert len(delay(f, x, 0.5, cap=6)) == 6  # only the capacity is consumed
    assert np.array_equal(np.frombuffer(f.state(), np.complex64, 4, 16), x[2:6])
    good = f.state()
    # A blob carries the order: the linear interpolator becomes cubic, history included.
    assert lin.set_state(good) == 0 and lin.state() == good
    assert np.array_equal(bits(delay(lin, x, 0.3)), bits(delay(f, x, 0.3)))
    for pos, val in [(0, ord("X")), (4, 2), (6, 0), (8, 51)]:
        bad = bytearray(good)
        bad[pos] = val
        assert lin.set_state(bytes(bad)) == OX_EINVAL and lin.state() == f.state()
    f.call("reset")
    assert f.state()[16:48] == bytes(32) and f.state()[48:] == good[48:]


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
    a, b, out = track.SymbolSync(), track.SymbolSync(), np.zeros(5, np.complex64)
    assert sync_steps(core_pointer(b), ptr(x), len(x), ptr(out), 5) == 5
    assert np.array_equal(out, a.steps(x)[:5]) and a.get_state() == b.get_state()


# ---------------------------------------------------------------------------------------------
# Detector S-curve model
# ---------------------------------------------------------------------------------------------
def pulse_ref(pulse, beta, t):
    t = np.asarray(t, float)
    if pulse == 0:
        return triangle(t)
    p = raised_cosine(t, beta) if beta > 0 else np.sinc(t)
    if beta > 0:  # the singular points take (beta / 2) sin(pi / (2 beta)), as the model does
        p = np.where(np.abs(np.abs(t) - 1 / (2 * beta)) < 1e-9, beta / 2 * np.sin(np.pi / (2 * beta)), p)
    return np.where(np.abs(t) < 1e-9, 1.0, p)


@pytest.mark.parametrize("pulse,beta", [(0, 0.0), (1, 0.35), (1, 0.5), (1, 0.0), (1, 1.0)])
def test_s_curve_against_its_definition(pulse, beta):
    for span, tau in [(s, t) for s in (-3, -2, 0, 4) for t in (-0.4, -0.13, 0.0, 0.05, 0.25, 0.5)]:
        p = lambda t: pulse_ref(pulse, beta, t)  # noqa: E731
        i = np.arange(-span - 2, span + 3)
        gardner = np.sum((p(tau - i) - p(tau - i - 1)) * p(tau - i - 0.5))
        assert s_curve(0, pulse, span, beta, tau) == pytest.approx(gardner, abs=1e-12)
        assert s_curve(7, pulse, span, beta, tau) == s_curve(0, pulse, span, beta, tau)
        assert s_curve(1, pulse, span, beta, tau) == pytest.approx(float(p(tau - 0.5) - p(tau + 0.5)), abs=1e-12)


def test_ted_slopes_sign_and_magnitude():
    # Triangle (rectangular pulses through their matched filter): near zero the Gardner S-curve
    # is 1.5 tau - 3 tau |tau|, the DTTL one 2 tau; the slope is a difference over +-1e-4.
    assert ted_slope(0, 0, 4, 0.0) == pytest.approx(1.5 - 3e-4, abs=1e-9)
    assert ted_slope(1, 0, 4, 0.0) == pytest.approx(2.0, abs=1e-9)
    for ted, pulse, beta in [(0, 0, 0.0), (1, 0, 0.0), (0, 1, 0.35), (1, 1, 0.35), (0, 1, 0.9)]:
        # A late strobe (tau > 0) gives a positive error: the sign that makes the loop speed up.
        assert s_curve(ted, pulse, 8, beta, 0.05) > 0 > s_curve(ted, pulse, 8, beta, -0.05)
        d = (s_curve(ted, pulse, 8, beta, 1e-4) - s_curve(ted, pulse, 8, beta, -1e-4)) * 5000
        assert ted_slope(ted, pulse, 8, beta) == abs(d)
    slopes = [ted_slope(0, 1, 8, b) for b in (0.2, 0.35, 0.5, 1.0)]  # steeper with more excess band
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
    # At 0 or 1 sample per symbol no symbol would ever be emitted: refused.
    for sps in (0, 1):
        with pytest.raises(ValueError, match=f"^sps must be >= 2, got {sps}$"):
            track.SymbolSync(sps=sps)


def test_lock_configuration():
    x, _ = timing_signal(3000, 4, esn0_db=20, seed=8)
    sync = track.SymbolSync(sps=4)
    for args in [(0.35, 10.0, 0.9, 0.9), (0.35, 10.0, 0.0, 0.9), (0.35, 10.0, 0.1, 1.0),
                 (-0.5, 10.0, 0.001, 0.9)]:  # pd <= pfa, out of (0, 1), no attainable block
        with pytest.raises(ValueError, match=r"^configure_lock failed \(rc=-4\)$"):
            sync.configure_lock(*args)
    assert lock_config(sync)[0] == 133  # failures change nothing
    sync.configure_lock(0.5, 6.0, 1e-4, 0.99)  # a weaker signal and stricter targets
    avgs, n_up, n_down, up, down = lock_config(sync)
    assert avgs > 133 and (n_up, n_down) == (1, 8) and up == down
    # avgs 0 counts as 1 (every symbol a decision); run lengths of 0 count as 1.
    sync.configure_lock_raw(0, 0.5, 0.5, 0, 0)
    ref = SymsyncRef(4, lock=lock_config(sync))
    assert lock_config(sync)[:3] == (1, 1, 1) and len(ref.steps(x[:2000]))
    sync.reset()
    sync.steps(x[:2000])
    assert sync.lock_stat == ref.lock_stat and sync.locked == bool(ref.locked)
    # Re-tuning the loop or the detector keeps the NCO, the running estimates and the decision.
    sync.configure_lock_raw(20, 0.3, 0.2, 1, 4)
    sync.steps(x[2000:])
    before = sync.get_state()
    sync.configure(0.05, 1.0)
    sync.configure_lock_raw(30, 0.9, 0.8, 5, 5)
    after = sync.get_state()
    assert sync.locked and after[16:24] == before[16:24] and after[184:208] == before[184:208]


# ---------------------------------------------------------------------------------------------
# State blobs
# ---------------------------------------------------------------------------------------------
def test_blob_layout_and_crafted_fields():
    x, _ = timing_signal(300, 4, esn0_db=15, seed=10)
    sync = track.SymbolSync(sps=4, order="parabolic", ted="dttl")
    sync.steps(x)
    good = sync.get_state()
    assert good[:4] == b"SYNC" and struct.unpack_from("<HBxI", good, 4) == (5, 1, 304)
    assert struct.unpack_from("<i", good, 72) == (1,) and struct.unpack_from("<d", good, 192) == (sync.rate,)
    assert struct.unpack_from("<QII", good, 128) == (4, 2**30, 1)  # sps, nominal increment, ted
    assert good[24:40] == bytes(16) and good[272:] == bytes(32)

    def patched(fmt, off, *vals):
        b = bytearray(good)
        struct.pack_into(fmt, b, off, *vals)
        return bytes(b)

    # sps 0 or inconsistent with its increment, have_prev 2, avgs 0, a block count at or past
    # avgs, lock-run lengths of 0, a lock flag of 2: refused, nothing changed.
    for fmt, off, val in [("<Q", 128, 0), ("<Q", 128, 5), ("<I", 136, 2**30 + 1), ("<I", 144, 2),
                          ("<Q", 224, 0), ("<Q", 216, 133), ("<Q", 216, 2**64 - 1),
                          ("<I", 256, 0), ("<I", 260, 0), ("<I", 268, 2)]:
        with pytest.raises(ValueError, match="^set_state rejected the blob$"):
            sync.set_state(patched(fmt, off, val))
        assert sync.get_state() == good
    # Reserved and padding bytes are taken as zero; sps 3 with its own increment is accepted;
    # any order beyond 0 and 1 is cubic, any detector other than 1 Gardner.
    for fmt, off, val in [("<I", 24, 0xFFFF), ("<I", 76, 1), ("<I", 164, 5)]:
        sync.set_state(patched(fmt, off, val))
        assert sync.get_state() == good
    sync.set_state(patched("<QI", 128, 3, 1431655765))
    assert struct.unpack_from("<QI", sync.get_state(), 128) == (3, 1431655765)
    runs = []
    for order, ted in [(7, 9), (2, 0)]:
        s = track.SymbolSync()
        s.set_state(patched("<i", 72, order)[:140] + struct.pack("<I", ted) + good[144:])
        runs.append(bits(s.steps(x)))
    assert np.array_equal(*runs)


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
def test_messages_and_surface():
    sync = track.SymbolSync(8, 0.02, 0.8, "linear", "dttl")
    sync.bn = 0.05  # re-derives the gains through the core's setter
    assert sync.bn == 0.05 and struct.unpack_from("<dd", sync.get_state(), 80) == loop_gains(0.05, 0.8)
    order = [n for n in vars(track) if n[:1].isupper()]  # the module's type order
    present = [n for n in ("LoopFilter", "Costas", "Dll", "SymbolSync", "RateSync", "CarrierMpsk")
               if n in order]  # the documented order of the types built so far
    assert order[:len(present)] == present
    cases = [
        (lambda: track.SymbolSync(order="quintic"), ValueError,
         "order must be one of \"linear\", \"parabolic\", \"cubic\", got 'quintic'"),
        (lambda: track.SymbolSync(ted="mm"), ValueError,
         "ted must be one of \"gardner\", \"dttl\", got 'mm'"),
        (lambda: sync.configure_lock(0.35, 10.0, 0.5, 0.2), ValueError,
         "configure_lock failed (rc=-4)"),
        (lambda: sync.set_state(bytes(304)), ValueError, "set_state rejected the blob"),
        (lambda: track.SymbolSync(sps=-1), OverflowError, None),
        (lambda: sync.configure_lock_raw(2**64, 0.1, 0.1, 1, 1), OverflowError, None),
        (lambda: setattr(sync, "rate", 1.0), AttributeError, None),
    ]
    with Telemetry(4096) as tlm:
        cases.append((lambda: sync.set_telemetry(tlm, "s", 0), ValueError,
                      "set_telemetry failed (rc=-4): decim must be at least 1"))
        for call, exc, message in cases:
            with pytest.raises(exc) as info:
                call()
            assert message is None or str(info.value) == message
    with sync:
        pass
    for call in (lambda: sync.steps(np.zeros(4, np.complex64)), lambda: sync.rate,
                 lambda: setattr(sync, "bn", 0.1), sync.reset, sync.get_state,
                 lambda: sync.configure_lock_raw(1, 0.1, 0.1, 1, 1)):
        with pytest.raises(RuntimeError, match="^destroyed$"):
            call()


def test_demo_section_runs(capsys):
    from ostrel.demo import symsync

    symsync.run()
    text = capsys.readouterr().out
    assert "after SymbolSync" in text and "lock declared after" in text
