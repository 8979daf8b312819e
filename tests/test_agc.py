"""AGC core: block and per-sample forms against a NumPy re-evaluation of their arithmetic, clamps,
settling estimator, telemetry probes and the "AGC " state blob."""

from __future__ import annotations

import math
import struct

import numpy as np
import pytest

from _rate_api import declare, pc, tlm_capsule_ptr
from native import Core, OX_EINVAL, OX_OK

L = declare("track")
f32 = np.float32


# ---- reference arithmetic ---------------------------------------------------------------------
def fast_amp(x: float) -> float:
    lim = 6159.073711285056
    if not (x >= -lim):
        return 0.0
    if x > lim:
        return 2.0 ** 1023
    t = x * 0.16609640474436813
    k = math.floor(t)
    f = (t - k) * 0.6931471805599453
    return math.ldexp(((((f / 24.0 + 1.0 / 6.0) * f + 0.5) * f + 1.0) * f + 1.0), int(k))


def fast_db(p: float) -> float:
    m, e = math.frexp(p + 1e-30)
    m, e = m * 2.0, e - 1
    g = (m - 1.0) / (m + 1.0)
    return (e + 2.885390081777927 * g * (1.0 + g * g / 3.0)) * 3.010299956639812


def clamp(p: float) -> float:
    if p < 0:
        return 0.0
    if not (p <= 2.0 ** 257):
        return 2.0 ** 257
    return p


class RefAgc:
    def __init__(self, ref_db, bw, alpha, block=8, update_every=1, clip_db=120.0):
        self.ref_db, self.bw, self.alpha = ref_db, bw, alpha
        self.block, self.update_every, self.clip_db = block, update_every, clip_db
        self.gain_db, self.level, self.gain_lin, self.count = 0.0, 10.0 ** (ref_db / 10.0), 1.0, 0
        self.clip_lin = f32(fast_amp(clip_db))
        self.probes = []  # (gain_db, level_db) per update

    def coef(self, n):
        if n == 1:
            return self.alpha, 4.0 * self.bw
        a = 0.0 if self.alpha <= 0 else 1.0 if self.alpha >= 1 else -math.expm1(n * math.log1p(-self.alpha))
        b4 = 4.0 * self.bw
        w = 0.0 if b4 <= 0 else 1.0 if self.bw >= 0.25 else -math.expm1(n * math.log1p(-b4))
        return a, w

    def steps(self, x):
        out = np.empty_like(x)
        c = max(self.block, 1)
        m = f32(fast_amp(self.clip_db))
        i0 = 0
        while i0 < len(x):
            n = min(c, len(x) - i0)
            a_l, w_l = self.coef(n)
            G, a = fast_amp(self.gain_db), self.gain_lin
            step = (G - a) / n
            pw = f32(0)
            for i in range(n):
                g = f32(G) if i == n - 1 else f32(a + (i + 1) * step)
                v = x[i0 + i]
                yr, yi = g * f32(v.real), g * f32(v.imag)
                pw = f32(pw + (yr * yr + yi * yi))
                out[i0 + i] = complex(np.clip(yr, -m, m), np.clip(yi, -m, m))
            mean = clamp(float(pw) / n)
            if a_l >= 1:
                self.level = mean
                ldb = fast_db(mean)
            else:
                self.level = self.level + a_l * (mean - self.level)
                ldb = fast_db(clamp(self.level))
            self.gain_db = self.gain_db + (self.ref_db - ldb) * w_l
            self.probes.append((self.gain_db, ldb))
            self.gain_lin = G
            i0 += n
        return out

    def per_sample(self, x):
        out = np.empty_like(x)
        d = max(self.update_every, 1)
        for i, v in enumerate(x):
            if self.count == 0:
                self.gain_lin = fast_amp(self.gain_db)
            g = f32(self.gain_lin)
            yr, yi = g * f32(v.real), g * f32(v.imag)
            p = clamp(float(yr) * float(yr) + float(yi) * float(yi))
            self.count += 1
            self.level = p if self.alpha >= 1 else self.level + self.alpha * (p - self.level)
            if self.count >= d:
                ldb = fast_db(clamp(self.level))
                self.gain_db = self.gain_db + (self.ref_db - ldb) * d * 4.0 * self.bw
                self.clip_lin = f32(fast_amp(self.clip_db))
                self.count = 0
                self.probes.append((self.gain_db, ldb))
            m = self.clip_lin
            out[i] = complex(np.clip(yr, -m, m), np.clip(yi, -m, m))
        return out


def make(ref_db=0.0, bw=0.01, alpha=0.1, block=None, update_every=None, clip_db=None) -> Core:
    a = Core(L, "agc", ref_db, bw, alpha)
    if block is not None:
        a.call("set_block", block)
    if update_every is not None:
        a.call("set_update_every", update_every)
    if clip_db is not None:
        a.call("set_clip_db", clip_db)
    return a


def run(a: Core, x: np.ndarray, per_sample=False) -> np.ndarray:
    x = np.ascontiguousarray(x, np.complex64)
    y = np.empty_like(x)
    a.call("steps_per_sample" if per_sample else "steps", pc(x), pc(y), len(x))
    return y


def signal(n, seed=1, scale=0.1):
    rng = np.random.default_rng(seed)
    amp = scale * (1 + 9 * (np.arange(n) > n // 2))  # a 20 dB step half-way
    return (amp * (rng.standard_normal(n) + 1j * rng.standard_normal(n))).astype(np.complex64)


# ---- tests ------------------------------------------------------------------------------------
@pytest.mark.parametrize("block,n", [(8, 803), (1, 300), (5, 64), (0, 50), (64, 1000)])
@pytest.mark.parametrize("alpha", [0.05, 1.0])
def test_block_form_matches_reference(block, n, alpha):
    x = signal(n)
    a = make(-3.0, 0.005, alpha, block=block)
    ref = RefAgc(-3.0, 0.005, alpha, block=block)
    y = run(a, x)
    np.testing.assert_array_equal(y, ref.steps(x))
    assert a.call("get_gain_db") == ref.gain_db
    assert a.call("get_level") == ref.level


@pytest.mark.parametrize("update_every", [1, 8, 3])
def test_per_sample_form_matches_reference(update_every):
    x = signal(700, seed=3)
    a = make(2.0, 0.002, 0.02, update_every=update_every)
    ref = RefAgc(2.0, 0.002, 0.02, update_every=update_every)
    np.testing.assert_array_equal(run(a, x, per_sample=True), ref.per_sample(x))
    assert a.call("get_gain_db") == ref.gain_db


# Gains across the fast 10^(x/20)'s exponent range (its subnormal end, both sides of 2^-1022, the top,
# where the float gain overflows) with smoothed levels across fastdB's: the per-sample form's exponent
# handling against the reference's ldexp and frexp.
EXTREMES = [(-6159.0, 0.0), (-6153.5, 1e-30), (-6150.0, 1.0), (-1000.0, 2.0 ** 200), (0.0, 2.0 ** 257),
            (3000.0, 1e-12), (6158.9, 3.0), (6159.073711285056, 0.5)]


@pytest.mark.parametrize("gain_db,level", EXTREMES)
def test_per_sample_form_at_extreme_gains_and_levels(gain_db, level):
    a = make(1.0, 0.01, 0.3, update_every=2)
    ref = RefAgc(1.0, 0.01, 0.3, update_every=2)
    blob = bytearray(a.state())
    struct.pack_into("<dd", blob, 64, gain_db, level)
    assert a.set_state(bytes(blob)) == OX_OK
    ref.gain_db, ref.level = gain_db, level
    x = signal(6, seed=5)
    with np.errstate(over="ignore", invalid="ignore"):
        want = ref.per_sample(x)
    np.testing.assert_array_equal(run(a, x, per_sample=True), want)
    assert struct.unpack_from("<3d", a.state(), 64) == (ref.gain_db, ref.level, ref.gain_lin)


def test_block_ramp_and_short_final_block():
    a = make(0.0, 0.01, 1.0, block=8)
    x = np.full(11, 0.1 + 0j, np.complex64)
    run(a, x[:8])
    g_db = a.call("get_gain_db")
    y = run(a, x[:8])
    gains = (y.real / f32(0.1)).astype(np.float64)
    # the gain ramps linearly across the block and the eighth sample carries the new gain exactly
    assert np.all(np.diff(gains) > 0)
    assert y[7].real == f32(fast_amp(g_db)) * f32(0.1)
    # a final partial block of 3 ramps in 3 steps with 3-sample coefficients
    ref = RefAgc(0.0, 0.01, 1.0, block=8)
    ref.steps(x[:8])
    ref.steps(x[:8])
    np.testing.assert_array_equal(run(a, x[:3]), ref.steps(x[:3]))


def test_zero_input_and_clip():
    a = make(0.0, 0.01, 1.0, block=8)
    w = -math.expm1(8 * math.log1p(-0.04))
    run(a, np.zeros(16, np.complex64))
    # level -> 0, level_db = fastdB(0) ~ -300 dB, gain_db grows by (ref + 300) w per update
    assert fast_db(0.0) == pytest.approx(-300.00004019312837, abs=0)
    assert a.call("get_gain_db") == pytest.approx(2 * 300.00004019312837 * w, rel=1e-12)
    run(a, np.zeros(8 * 200, np.complex64))
    y = run(a, np.full(16, 1 + 1j, np.complex64))
    assert f32(fast_amp(120.0)) == f32(999451.5)
    assert np.all(y.real == f32(999451.5)) and np.all(y.imag == f32(999451.5))
    a2 = make(0.0, 0.01, 1.0, clip_db=-6.0)
    y = run(a2, np.full(4, 3 - 3j, np.complex64), per_sample=True)
    m = f32(fast_amp(-6.0))
    assert np.all(y.real == m) and np.all(y.imag == -m)


def test_applied_gain_db_and_extremes():
    a = make()
    assert a.call("get_applied_gain_db") == 0.0
    ref = RefAgc(0.0, 0.01, 0.1)
    ref.steps(signal(64))
    run(a, signal(64))
    assert a.call("get_applied_gain_db") == 20 * math.log10(ref.gain_lin)  # the gain in force
    a.call("reset")
    assert a.call("get_applied_gain_db") == 0.0
    blob = bytearray(a.state())
    for gl, want in ((0.0, -6153.053111371775), (float("nan"), -6153.053111371775), (-1.0, -6153.053111371775),
                     (float("inf"), 6165.094311198335)):
        struct.pack_into("<d", blob, 80, gl)
        assert a.set_state(bytes(blob)) == OX_OK
        assert a.call("get_applied_gain_db") == want


def sim_settling(bw, alpha, step, tol):
    a = make(0.0, bw, alpha)
    s = 10 ** (-step / 20)
    x = np.full(1, complex(f32(0.8 * s), f32(0.6 * s)), np.complex64)
    y = np.empty_like(x)
    for i in range(int(16 / bw) + 1):
        a.call("steps_per_sample", pc(x), pc(y), 1)
        if abs(a.call("get_gain_db") - step) <= tol:
            return i + 1
    return 0


@pytest.mark.parametrize("bw,alpha,step,tol", [(0.01, 0.1, 20, 0.5), (0.002, 1.0, -12, 0.25),
                                               (0.05, 0.5, 6, 1.0), (0.01, 1e-5, 20, 0.01)])
def test_settling_against_simulation(bw, alpha, step, tol):
    n = L.agc_settling_samples(bw, alpha, step, tol)
    assert n == sim_settling(bw, alpha, step, tol)
    assert L.settling_samples(bw, alpha, step, tol) == n
    if n:
        # an AGC fed the -step dB tone reaches the target gain within tol after n samples
        assert 1 < n <= 16 / bw + 1


def test_settling_guards():
    assert L.agc_settling_samples(0.01, 0.1, 20, 20) == 1
    assert L.agc_settling_samples(0.01, 0.1, -3, 5) == 1
    for args in [(0, 0.1, 20, 0.5), (-1, 0.1, 20, 0.5), (0.01, 0, 20, 0.5), (0.01, 1.5, 20, 0.5),
                 (0.01, 0.1, 20, 0), (0.01, 0.1, math.inf, 0.5), (0.01, 0.1, math.nan, 0.5),
                 (1e-300, 0.1, 20, 0.5)]:
        assert L.agc_settling_samples(*args) == 0


def test_block_and_per_sample_forms_converge_alike():
    x = (0.01 * np.exp(2j * np.pi * 0.01 * np.arange(40000))).astype(np.complex64)  # -40 dB tone
    a = make(-6.0, 0.001, 0.05, block=8)
    b = make(-6.0, 0.001, 0.05, update_every=8)
    ya, yb = run(a, x), run(b, x, per_sample=True)
    for y in (ya, yb):
        assert 10 * np.log10(np.mean(np.abs(y[-4000:]) ** 2)) == pytest.approx(-6.0, abs=0.05)
    assert a.call("get_gain_db") == pytest.approx(b.call("get_gain_db"), abs=0.05)


def test_telemetry_probes():
    from ostrel.telemetry import Telemetry
    with Telemetry(4096) as tlm:
        p = tlm_capsule_ptr(tlm)
        a = make(0.0, 0.01, 0.2, block=8)
        assert a.call("set_telemetry", p, None, 0) == OX_EINVAL  # decimation 0 refused
        assert a.call("set_telemetry", p, None, 1) == OX_OK
        assert tlm.probe_names == ["agc.gain_db", "agc.level_db"]
        ref = RefAgc(0.0, 0.01, 0.2, block=8)
        x = signal(64, seed=5)
        run(a, x)
        ref.steps(x)
        d = tlm.demux(tlm.read())
        np.testing.assert_array_equal(d["agc.gain_db"], np.float32([g for g, _ in ref.probes]))
        np.testing.assert_array_equal(d["agc.level_db"], np.float32([l for _, l in ref.probes]))
        # per-sample form: one record per update; a restored blob keeps the attachment
        b = make(0.0, 0.01, 0.2, update_every=4)
        assert b.call("set_telemetry", p, b"rx.front.agc", 2) == OX_OK
        s = b.state()
        run(b, x[:16], per_sample=True)
        assert b.set_state(s) == OX_OK
        run(b, x[:16], per_sample=True)
        d = tlm.demux(tlm.read())
        assert len(d["rx.front.agc.gain_db"]) == 4  # 8 updates, decimation 2
        assert b.call("set_telemetry", None, None, 1) == OX_OK
        run(b, x, per_sample=True)
        a.call("set_telemetry", None, None, 1)
        assert tlm.avail == 0


def test_state_round_trip_and_rejection():
    x = signal(500, seed=9)
    a = make(1.0, 0.003, 0.07, block=6)
    run(a, x[:123])
    s = a.state()
    assert len(s) == 120 and s[:4] == b"AGC " and s[4:8] == b"\x03\x00\x01\x00"
    assert s[104:] == bytes(16)
    y1 = run(a, x[123:])
    assert a.set_state(s) == OX_OK
    np.testing.assert_array_equal(run(a, x[123:]), y1)
    # restoring reconfigures: a fresh AGC of other parameters continues identically
    b = make(-20.0, 0.5, 1.0)
    assert b.set_state(s) == OX_OK
    np.testing.assert_array_equal(run(b, x[123:]), y1)
    before = a.state()
    for i, v in ((0, ord("X")), (4, 2), (6, 0), (8, 119)):
        bad = bytearray(s)
        bad[i] = v
        assert a.set_state(bytes(bad)) == OX_EINVAL
        assert a.state() == before
    ok = bytearray(s)
    ok[7] = 9
    ok[12:16] = b"\xff" * 4
    assert a.set_state(bytes(ok)) == OX_OK
    # random payloads behind a valid header never crash and never produce garbage sizes
    rng = np.random.default_rng(0)
    for _ in range(50):
        fuzz = bytearray(s[:16]) + bytearray(rng.integers(0, 256, 104, dtype=np.uint8).tobytes())
        a.set_state(bytes(fuzz))
        run(a, x[:40])
        run(a, x[:40], per_sample=True)
