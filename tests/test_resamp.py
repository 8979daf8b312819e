"""Polyphase resampler: default bank, rate mode (both forms), fill mode, controlled mode, state."""

from __future__ import annotations

import functools
import struct

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from native import OX_EINVAL, OX_OK
from rate_stages_util import (MODULES, Core, accepted_header_variants, cf, cf32, crafted_counters,
                              header_mutations,
                              load, mutate_blobs, ptr, random_cf32)

L = load("track")
TWO32 = 1 << 32


def resamp(rate: float, lib=L) -> Core:
    return Core(lib, "resamp", rate)


def custom(bank: np.ndarray, rate: float) -> Core:
    b = np.ascontiguousarray(bank, np.float32)
    return Core(L, "resamp", b.shape[0], b.shape[1], ptr(b), rate, create="create_custom")


def execute(r: Core, x: np.ndarray, cap: int | None = None) -> np.ndarray:
    x = cf32(x)
    cap = len(x) * 4 + 8 if cap is None else cap
    out = np.zeros(max(cap, 1), np.complex64)
    k = r.call("execute", ptr(x), len(x), ptr(out), cap)
    return out[:k].copy()


def execute_ctrl(r: Core, x: np.ndarray, ctrl: np.ndarray, cap: int | None = None) -> np.ndarray:
    x = cf32(x)
    ctrl = np.ascontiguousarray(ctrl, np.float64)
    cap = len(x) * 4 + 8 if cap is None else cap
    out = np.zeros(max(cap, 1), np.complex64)
    k = r.call("execute_ctrl", ptr(x), ptr(ctrl), len(x), ptr(out), cap)
    return out[:k].copy()


def fill(r: Core, x: np.ndarray, n_out: int) -> tuple[np.ndarray, int]:
    x = cf32(x)
    out = np.zeros(max(n_out, 1), np.complex64)
    used = r.call("interp_fill", ptr(x), ptr(out), n_out)
    return out[:n_out].copy(), used


def numpy_i0(x: np.ndarray) -> np.ndarray:
    """The power series of the bank builder, element-wise, with its stopping rule."""
    x = np.asarray(x, np.float64)
    half = x / 2
    s = np.ones_like(x)
    term = np.ones_like(x)
    done = np.zeros(x.shape, bool)
    for k in range(1, 30):
        q = half / k
        nt = term * (q * q)
        ns = s + nt
        s = np.where(done, s, ns)
        term = np.where(done, term, nt)
        done |= nt < 1e-20 * ns
    return s


@functools.lru_cache(maxsize=1)
def prototype_formula() -> np.ndarray:
    j = np.arange(19 * 4096 + 1, dtype=np.float64)
    d = j - 38912
    u = d / 38912
    w = numpy_i0(5.65326 * np.sqrt(1 - u * u)) * (1.0 / numpy_i0(np.array(5.65326)))
    th = d * np.pi / 4096
    with np.errstate(invalid="ignore", divide="ignore"):
        s = np.where(d == 0, 1.0, np.sin(th) / th)
    return s * w


@functools.lru_cache(maxsize=1)
def default_bank() -> np.ndarray:
    """The default bank read back through fill mode at rate 4096: the phase walks through every
    branch once per input, so an impulse reads out the prototype in order."""
    r = resamp(4096.0)
    x = np.zeros(20, np.complex64)
    x[0] = 1
    out, used = fill(r, x, 4096 * 20)
    assert used == 20
    proto = out.real[4096:4096 + 19 * 4096]
    assert not out.imag.any()
    return proto.reshape(19, 4096).T.copy()  # bank[p, t] = h[t*4096 + p]


class Model:
    """Reference model of the resampler over an explicit bank (phases and counters exact, dot
    products in double)."""

    def __init__(self, bank: np.ndarray, rate: float):
        self.bank = np.asarray(bank, np.float64)
        self.Lp, self.T = self.bank.shape
        self.b = (self.Lp - 1).bit_length()
        self.rate = rate
        if rate >= 1:
            q = TWO32 / rate
            self.inc = int(q) if 0 < q < TWO32 else 0
        else:
            p = TWO32 * rate
            self.inc = int(p) if p > 0 else 0
        self.acc = 0
        self.hist = []  # newest first
        self.ctrl_acc = self.skip = self.backlog = 0

    def branch(self, phase):
        return 0 if self.b == 0 else phase >> (32 - self.b)

    def out(self, phase):
        h = self.bank[self.branch(phase)]
        past = np.zeros(self.T, np.complex128)
        n = min(self.T, len(self.hist))
        past[:n] = self.hist[:n]
        return np.dot(h, past)

    def push(self, x):
        self.hist.insert(0, complex(x))

    def interp(self, x, cap):
        outs, i = [], 0
        if not len(x) or not cap:
            return outs
        while True:
            outs.append(self.out(self.acc))
            nxt = (self.acc + self.inc) % TWO32
            if nxt <= self.acc:
                self.push(x[i])
                i += 1
            self.acc = nxt
            if i == len(x) or len(outs) == cap:
                return outs

    def ctrl_push(self, x, ctrl, cap):
        v = self.rate + ctrl
        if v > 1e-6:
            s = 1 / v
            W = int(s)
            F = s - W
            t = TWO32 * F
            c = (0xFFFFFFFF if F >= 1 else int(t)) if t > 0 else 0
        else:
            W, c = 1000000, 0
        outs = []
        while len(outs) < cap:
            if self.skip == 0:
                while True:
                    outs.append(self.out(self.ctrl_acc))
                    nxt = self.ctrl_acc + c
                    self.ctrl_acc = nxt % TWO32
                    self.skip = W + (nxt >= TWO32)
                    if self.skip or len(outs) == cap:
                        break
                if self.skip == 0:
                    break
            self.skip -= 1
            if self.backlog == 0:
                self.push(x)
                return outs
            self.backlog -= 1
        self.push(x)
        self.backlog += 1
        return outs


# ---- default bank ------------------------------------------------------------------------


def test_default_bank_geometry():
    r = resamp(1.0)
    assert r.call("get_num_phases") == 4096 and r.call("get_num_taps") == 19
    assert r.call("get_delay") == 10.5
    assert r.call("state_bytes") == 848
    np.testing.assert_allclose(r.call("dc_gain"), default_bank()[0].astype(np.float64).sum(), rtol=1e-12)


def test_default_bank_is_the_kaiser_sinc_prototype():
    proto = prototype_formula()
    bank = default_bank()
    expect = proto[:19 * 4096].astype(np.float32).reshape(19, 4096).T
    # Same formula evaluated by NumPy: equal to the float32 rounding (libm sin may differ by an
    # ulp in double, which can move a rounding boundary).
    np.testing.assert_allclose(bank, expect, rtol=0, atol=6e-8)
    assert np.mean(bank == expect) > 0.999


def test_default_bank_frequency_response():
    h = default_bank().T.reshape(-1).astype(np.float64)  # prototype, 4096 samples per input
    nfft = 4096 * 64
    H = np.abs(np.fft.rfft(h, nfft))
    f = np.arange(len(H)) / nfft * 4096  # cycles per input sample
    assert H[0] / 4096 == pytest.approx(1.0, abs=5e-4)  # unity DC gain per branch
    mag = 20 * np.log10(H / H[0])
    assert np.abs(mag[f <= 0.4]).max() < 0.02  # flat pass band
    assert mag[np.argmin(np.abs(f - 0.5))] == pytest.approx(-6.0, abs=0.5)  # cut-off at half rate
    assert mag[f >= 0.6].max() < -60.0  # stop band


def test_creation_failures():
    bank = np.ones((4, 3), np.float32)
    b = ptr(bank)
    assert not L.resamp_create_custom(0, 3, b, 1.0)
    assert not L.resamp_create_custom(4, 0, b, 1.0)
    assert not L.resamp_create_custom(4, 3, None, 1.0)
    assert not L.resamp_create_custom(4, 3, b, 0.0)
    assert not L.resamp_create_custom(4, 3, b, -1.0)
    assert not L.resamp_create_custom(4, 3, b, float("nan"))
    assert not L.resamp_create_custom(3, 3, b, 1.0)  # upper branch indices would have no row
    assert not L.resamp_create(0.0)
    assert not L.resamp_create(float("nan"))
    r = custom(bank, 1.0)
    assert r.call("get_num_phases") == 4 and r.call("get_num_taps") == 3
    L.resamp_destroy(None)


# ---- rate mode ---------------------------------------------------------------------------


@pytest.mark.parametrize("module", MODULES)
def test_rate_one_delays_by_10_5_samples(module):
    r = resamp(1.0, load(module))
    f0 = 0.03
    k = np.arange(400)
    x = cf32(np.exp(2j * np.pi * f0 * k))
    y = execute(r, x)
    assert len(y) == len(x)
    ref = np.exp(2j * np.pi * f0 * (k - 10.5))
    np.testing.assert_allclose(y[40:], ref[40:], atol=2e-3)
    # Branch 0 alone: the input filtered by the 19 taps of branch 0, one sample late.
    imp = np.zeros(30, np.complex64)
    imp[0] = 1
    np.testing.assert_array_equal(execute(resamp(1.0), imp)[1:20].real, default_bank()[0])


@pytest.mark.parametrize("rate, per_in", [(2.0, 2.0), (0.5, 0.5), (1.25, 1.25), (0.8, 0.8),
                                          (1 / 3, 1 / 3), (3.0, 3.0)])
def test_output_count_and_dc_gain(rate, per_in):
    r = resamp(rate)
    y = execute(r, np.ones(3000, np.complex64))
    assert abs(len(y) - 3000 * per_in) <= 2
    np.testing.assert_allclose(y[60:], 1.0, atol=3e-3)


@pytest.mark.parametrize("rate", [1.0, 1.25, 2.0, 3.7, 7.0])
def test_interpolating_form_matches_model(rate):
    rng = np.random.default_rng(int(rate * 100))
    bank = rng.standard_normal((16, 5)).astype(np.float32)
    r = custom(bank, rate)
    m = Model(bank, rate)
    x = random_cf32(rng, 120)
    y1 = execute(r, x[:37], cap=1000)
    y2 = execute(r, x[37:], cap=1000)
    ref = m.interp(x[:37], 1000) + m.interp(x[37:], 1000)
    np.testing.assert_allclose(np.concatenate([y1, y2]), ref, atol=1e-5)


@pytest.mark.parametrize("rate", [0.8, 0.5, 1 / 3, 0.123])
@pytest.mark.parametrize("T", [1, 2, 5, 19])
def test_decimating_form_bit_exact(rate, T):
    """The transposed form is element-wise, so a float32 model reproduces it bit for bit."""
    rng = np.random.default_rng(T)
    Lp = 8
    bank = rng.standard_normal((Lp, T)).astype(np.float32)
    r = custom(bank, rate)
    x = random_cf32(rng, 200)
    got = execute(r, x)
    inc = int(TWO32 * rate)
    acc = 0
    g = np.float32(rate)
    dacc = np.zeros((T, 2), np.float32)
    tail = np.zeros((max(T - 1, 1), 2), np.float32)
    outs = []
    for v in x:
        p = acc >> 29
        xs = np.array([np.float32(v.real) * g, np.float32(v.imag) * g], np.float32)
        taps = bank[p, ::-1]
        dacc = dacc + xs[None, :] * taps[:, None]
        nxt = (acc + inc) % TWO32
        if nxt <= acc:
            if T == 1:
                y = dacc[0].copy()
            else:
                y = dacc[0] + tail[0]
                tail[:T - 2] = tail[1:T - 1] + dacc[1:T - 1]
                tail[T - 2] = dacc[T - 1]
            dacc[:] = 0
            outs.append(y[0] + 1j * y[1])
        acc = nxt
    np.testing.assert_array_equal(got, np.array(outs, np.complex64))
    # The blob carries acc and the partial sums where the layout puts them: dump_acc at
    # 40 + 16R, dump_tail right after it (only when T >= 2).
    s = r.state()
    R = 1 << max(T - 1, 0).bit_length()
    assert struct.unpack_from("<I", s, 16)[0] == acc
    off = 40 + 16 * R
    np.testing.assert_array_equal(np.frombuffer(s, np.float32, 2 * T, off).reshape(T, 2), dacc)
    if T >= 2:
        got_tail = np.frombuffer(s, np.float32, 2 * (T - 1), off + 8 * T).reshape(T - 1, 2)
        np.testing.assert_array_equal(got_tail, tail)
    assert len(s) == off + 8 * T + 8 * max(T - 1, 0)


def test_output_capacity_stops_both_forms():
    x = random_cf32(np.random.default_rng(9), 100)
    # Interpolating: stops at out_cap; the untaken inputs are left for the caller.
    r = resamp(2.0)
    assert len(execute(r, x, cap=7)) == 7
    assert len(execute(r, x, cap=0)) == 0
    assert len(execute(r, x[:0], cap=10)) == 0
    # Decimating: stops once out_cap outputs exist.
    d = resamp(0.5)
    assert len(execute(d, x, cap=3)) == 3


def test_set_rate_retunes_without_clearing():
    r = resamp(0.5)
    execute(r, np.ones(100, np.complex64))
    before = r.state()
    r.call("set_rate", 2.0)
    assert r.call("get_rate") == 2.0
    assert r.state() == before
    r.call("set_rate", 0.0)  # ignored: the resampler keeps a usable rate
    r.call("set_rate", float("nan"))
    assert r.call("get_rate") == 2.0
    assert len(execute(r, np.ones(10, np.complex64))) == 20
    r.call("reset")
    assert r.state() == resamp(2.0).state()


# ---- fill mode ---------------------------------------------------------------------------


@pytest.mark.parametrize("rate", [1.0, 1.25, 2.0, 3.7, 1.0001, 0.7])
def test_inputs_needed_predicts_fill(rate):
    rng = np.random.default_rng(3)
    r = resamp(rate)
    x = random_cf32(rng, 5000)
    pos = 0
    for n_out in (0, 1, 5, 17, 333, 1, 1000):
        need = r.call("interp_inputs_needed", n_out)
        _, used = fill(r, x[pos:], n_out)
        assert used == need
        pos += used


def test_fill_equals_rate_mode():
    rng = np.random.default_rng(4)
    x = random_cf32(rng, 400)
    a, b = resamp(1.6), resamp(1.6)
    y_rate = execute(a, x)
    parts, pos = [], 0
    while True:
        need = b.call("interp_inputs_needed", 13)
        if pos + need > len(x):
            break
        y, used = fill(b, x[pos:], 13)
        parts.append(y)
        pos += used
    y_fill = np.concatenate(parts)
    np.testing.assert_array_equal(y_fill, y_rate[:len(y_fill)])


# ---- controlled mode ---------------------------------------------------------------------


def push(r: Core, x: complex, ctrl: float, cap: int) -> np.ndarray:
    out = np.zeros(max(cap, 1), np.complex64)
    k = r.call("execute_ctrl_push", ptr(out), cap, cf(x), ctrl)
    return out[:k].copy()


def backlog(r: Core) -> int:
    return struct.unpack_from("<I", r.state(), 36)[0]


def test_controlled_rate_half_alternates():
    r = resamp(0.5)
    counts = [len(push(r, 1.0, 0.0, 4)) for _ in range(10)]
    assert counts == [1, 0] * 5


def test_controlled_backlog():
    r = resamp(1.0)
    for _ in range(3):
        assert len(push(r, 1.0, 0.0, 0)) == 0
    assert backlog(r) == 3
    # Later pushes with room consume the backlog before pushing.
    m = Model(default_bank(), 1.0)
    for _ in range(3):
        m.ctrl_push(1.0, 0.0, 0)
    assert m.backlog == 3
    x = random_cf32(np.random.default_rng(5), 12)
    for v in x:
        got = push(r, v, 0.0, 4)
        ref = m.ctrl_push(v, 0.0, 4)
        np.testing.assert_allclose(got, ref, atol=1e-5)
        assert backlog(r) == m.backlog
    assert backlog(r) == 0


def test_controlled_tiny_rate_spaces_outputs_a_million_apart():
    r = resamp(0.5)
    n = 2_000_001
    x = np.ones(n, np.complex64)
    ctrl = np.full(n, -0.5)
    out = np.zeros(16, np.complex64)
    r2 = resamp(0.5)
    counts = []
    for lo, hi in ((0, 1), (1, 1_000_000), (1_000_000, 1_000_001), (1_000_001, 2_000_000),
                   (2_000_000, n)):
        counts.append(r2.call("execute_ctrl", ptr(x[lo:]), ptr(ctrl[lo:]), hi - lo, ptr(out), 16))
    assert counts == [1, 0, 1, 0, 1]
    assert r.call("execute_ctrl", ptr(x), ptr(ctrl), n, ptr(out), 16) == 3


@settings(max_examples=25, deadline=None)
@given(seed=st.integers(0, 2**32 - 1), rate=st.sampled_from([0.3, 0.5, 1.0, 1.7, 2.5]),
       caps=st.lists(st.integers(0, 4), min_size=20, max_size=60))
def test_controlled_mode_matches_model(seed, rate, caps):
    rng = np.random.default_rng(seed)
    bank = rng.standard_normal((32, 4)).astype(np.float32)
    r = custom(bank, rate)
    m = Model(bank, rate)
    x = random_cf32(rng, len(caps))
    ctrl = rng.uniform(-0.2, 0.2, len(caps)) * rate
    for v, c, cap in zip(x, ctrl, caps):
        got = push(r, v, c, cap)
        ref = m.ctrl_push(v, c, cap)
        assert len(got) == len(ref)
        np.testing.assert_allclose(got, ref, atol=1e-5)
    assert r.call("get_ctrl_acc") == m.ctrl_acc / TWO32
    assert backlog(r) == m.backlog
    # Field by field: acc, ring_pos, ctrl_acc, ctrl_skip, ctrl_backlog, then the mirrored ring
    # (R = 4 for T = 4) with the newest sample at ring_pos and again at ring_pos + R.
    s = r.state()
    acc, ring_pos, ctrl_acc, skip, blog = struct.unpack_from("<IQIII", s, 16)
    assert (acc, ctrl_acc, skip, blog) == (0, m.ctrl_acc, m.skip, m.backlog)
    assert ring_pos == (-len(m.hist)) % 4
    ring = np.frombuffer(s, np.complex64, 8, 40)
    np.testing.assert_array_equal(ring[ring_pos], np.complex64(m.hist[0]))
    np.testing.assert_array_equal(ring[:4], ring[4:])


def test_controlled_spacing_follows_the_correction():
    n = 20000
    x = np.ones(n, np.complex64)
    for rate, ctrl in ((0.25, 0.0), (0.25, 0.01), (0.8, -0.05), (2.0, 0.3)):
        r = resamp(rate)
        y = execute_ctrl(r, x, np.full(n, ctrl), cap=4 * n)
        assert abs(len(y) - n * (rate + ctrl)) <= 2


# ---- streaming and state -----------------------------------------------------------------


def run_mode(r: Core, mode: str, x: np.ndarray, ctrl: np.ndarray) -> np.ndarray:
    if mode == "rate":
        return execute(r, x)
    return execute_ctrl(r, x, ctrl)


@settings(max_examples=30, deadline=None)
@given(blocks=st.lists(st.integers(0, 50), min_size=1, max_size=20),
       rate=st.sampled_from([0.8, 1.25, 1 / 3, 1.0, 2.0]), mode=st.sampled_from(["rate", "ctrl"]),
       seed=st.integers(0, 2**32 - 1))
def test_block_split_invariance(blocks, rate, mode, seed):
    rng = np.random.default_rng(seed)
    x = random_cf32(rng, sum(blocks))
    ctrl = rng.uniform(-0.01, 0.01, len(x))
    whole = run_mode(resamp(rate), mode, x, ctrl)
    r = resamp(rate)
    parts, i = [], 0
    for b in blocks:
        parts.append(run_mode(r, mode, x[i:i + b], ctrl[i:i + b]))
        i += b
    np.testing.assert_array_equal(np.concatenate(parts), whole)


@pytest.mark.parametrize("mode", ["rate", "ctrl", "fill"])
@pytest.mark.parametrize("rate", [0.8, 1.25, 1 / 3])
def test_state_round_trip_mid_stream(mode, rate):
    rng = np.random.default_rng(6)
    x = random_cf32(rng, 700)
    ctrl = rng.uniform(-0.01, 0.01, 700)
    if mode == "fill" and rate < 1:
        rate = 1 / rate

    def cont(r):
        if mode == "fill":
            return fill(r, x[301:], 250)[0]
        return run_mode(r, mode, x[301:], ctrl[301:])

    a = resamp(rate)
    if mode == "fill":
        fill(a, x, 200)
    else:
        run_mode(a, mode, x[:301], ctrl[:301])
    saved = a.state()
    expect = cont(a)
    b = resamp(rate)
    assert b.set_state(saved) == OX_OK
    assert b.state() == saved
    np.testing.assert_array_equal(cont(b), expect)


def test_state_layout_and_sizes():
    r = resamp(1.25)  # the interpolating form pushes into the ring
    execute(r, random_cf32(np.random.default_rng(7), 33))
    s = r.state()
    assert s[:4] == b"RSMP" and struct.unpack_from("<HHI", s, 4) == (2, 1, 848)
    ring_pos = struct.unpack_from("<Q", s, 20)[0]
    assert ring_pos == (-33) % 32
    # T = 1: no dump tail in the blob; T = 2: one tail sample.
    assert custom(np.ones((2, 1)), 1.0).call("state_bytes") == 16 * 1 + 8 * 1 + 40
    assert custom(np.ones((2, 2)), 1.0).call("state_bytes") == 16 * 2 + 16 * 2 + 32
    assert custom(np.ones((4, 5)), 1.0).call("state_bytes") == 16 * 8 + 16 * 5 + 32


def test_blob_rejection():
    rng = np.random.default_rng(8)
    r = resamp(0.8)
    execute(r, random_cf32(rng, 50))
    good = r.state()
    for bad in header_mutations(good):
        assert r.set_state(bad) == OX_EINVAL
        assert r.state() == good
    for ok in accepted_header_variants(good):
        assert r.set_state(ok) == OX_OK
    # A ring position outside the ring is refused and nothing changes.
    for pos in (32, 33, 1 << 40, (1 << 64) - 1):
        bad = bytearray(good)
        struct.pack_into("<Q", bad, 20, pos)
        assert r.set_state(bytes(bad)) == OX_EINVAL
        assert r.state() == good
    # Fuzzed payloads either restore exactly or are rejected unchanged; the object keeps working.
    x = random_cf32(rng, 64)
    for b in mutate_blobs(good, rng, 150):
        rc = r.set_state(b)
        if rc == OX_OK:
            assert r.state() == b
        else:
            assert rc == OX_EINVAL and r.state() == good
        execute(r, x)
        execute_ctrl(r, x[:8], np.zeros(8))
        assert r.set_state(good) == OX_OK
    # Controlled-mode counters: unreachable skip counts are refused; a reachable one with any
    # backlog restores and a push stays cheap.
    for b, ok in crafted_counters(good):
        assert r.set_state(b) == (OX_OK if ok else OX_EINVAL)
        assert r.state() == (b if ok else good)
        execute_ctrl(r, x[:8], np.zeros(8))
        assert r.set_state(good) == OX_OK
    # A blob of another geometry is refused by its length.
    assert custom(np.ones((8, 7)), 0.8).set_state(good) == OX_EINVAL


@pytest.mark.parametrize("rate", [1.0, 1.25, 2.0, 3.3])
def test_interpolating_capacity_leaves_untaken_inputs(rate):
    """Stopping at out_cap keeps the phase: re-feeding the untaken inputs (counted by
    interp_inputs_needed for the outputs produced) continues the stream exactly."""
    rng = np.random.default_rng(10)
    x = random_cf32(rng, 300)
    whole = execute(resamp(rate), x)
    r = resamp(rate)
    parts, pos = [], 0
    while pos < len(x):
        cap = int(rng.integers(1, 9))
        out = np.zeros(cap, np.complex64)
        probe = [r.call("interp_inputs_needed", m) for m in range(cap + 1)]
        k = r.call("execute", ptr(x[pos:]), len(x) - pos, ptr(out), cap)
        parts.append(out[:k].copy())
        pos += probe[k]
    np.testing.assert_array_equal(np.concatenate(parts), whole)
