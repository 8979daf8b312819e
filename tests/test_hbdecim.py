"""Halfband decimators (complex and real-to-complex) through the exported ABI."""

from __future__ import annotations

import struct

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from native import OX_EINVAL, OX_OK
from rate_stages_util import (MODULES, Core, accepted_header_variants, header_mutations,
                              load, mutate_blobs, ptr, random_cf32)

L = load("track")

TABLE = np.array([0.0015790532, -0.0046757734, 0.010443179, -0.020174624, 0.035798926,
                  -0.06086637, 0.10411341, -0.19753781, 0.6316009], np.float32)
TABLE = np.concatenate([TABLE, TABLE[::-1], [0]]).astype(np.float32)


def hb(table=TABLE, r2c=False, lib=L) -> Core:
    t = np.ascontiguousarray(table, np.float32)
    return Core(lib, "hbdecim_r2c" if r2c else "hbdecim", len(t), ptr(t))


def run(d: Core, x: np.ndarray, cap: int | None = None) -> np.ndarray:
    r2c = d.prefix == "hbdecim_r2c"
    x = np.ascontiguousarray(x, np.float32 if r2c else np.complex64)
    cap = len(x) // 2 + 1 if cap is None else cap
    out = np.zeros(max(cap, 1), np.complex64)
    k = d.call("execute", ptr(x), len(x), ptr(out), cap)
    return out[:k].copy()


def model(table: np.ndarray, x: np.ndarray, r2c: bool) -> np.ndarray:
    """Direct evaluation of the pair formulas in double (whole stream, zero past)."""
    n = len(table)
    h = n >> 1
    t = table.astype(np.float64)
    x = np.asarray(x, np.complex128 if not r2c else np.float64)
    npairs = len(x) // 2
    A = np.concatenate([np.zeros(n + 1, x.dtype), x[0:2 * npairs:2]])
    B = np.concatenate([np.zeros(n + 1, x.dtype), x[1:2 * npairs:2]])
    out = []
    for M in range(npairs):
        i = n + 1 + M  # newest pair

        def a(j):
            return A[i - j]

        def b(j):
            return B[i - j]

        if not r2c:
            c = 0.5 * t
            if n % 2:
                y = 0.5 * a(h) + sum(c[k] * (b(k + 1) + b(n - 1 - k)) for k in range(h))
            else:
                y = 0.5 * b(h) + sum(c[k] * (a(k) + a(n - 1 - k)) for k in range(h))
        else:
            c = 0.5 * t * (-1.0) ** np.arange(n)
            if n % 2:
                sign = -1.0 if (n - 1) & 2 else 1.0
                y = sign * 0.5 * a(h) + 1j * sum(c[k] * (b(k + 1) - b(n - 1 - k)) for k in range(h))
            else:
                sign = 1.0 if n % 4 == 2 else -1.0
                y = sum(c[k] * (a(k) - a(n - 1 - k)) for k in range(h)) + 1j * sign * 0.5 * b(h)
            y *= 2.0 if M % 2 == 0 else -2.0
        out.append(y)
    return np.array(out, np.complex128)


def impulse_response() -> np.ndarray:
    """Full-rate impulse response g[d] (delay d from the first sample of a pair)."""
    g = np.zeros(40)
    for start in (0, 1):
        x = np.zeros(80, np.complex64)
        x[start] = 1
        y = run(hb(), x)
        for M, v in enumerate(y):
            d = 2 * M - start
            if 0 <= d < 40:
                g[d] = v.real
    return g


def test_geometry():
    d = hb()
    assert d.call("get_num_taps") == 19 and L.hbdecim_get_rate() == 0.5 == L.hbdecim_r2c_get_rate()
    assert d.call("dc_gain") == pytest.approx(0.5 + TABLE[:9].astype(np.float64).sum(), rel=1e-15)
    assert d.call("dc_gain") == pytest.approx(1.00028, abs=1e-5)
    assert d.call("state_bytes") == 1068 and hb(r2c=True).call("state_bytes") == 556
    assert hb(r2c=True).call("get_num_taps") == 19


def test_impulse_response_is_the_35_tap_halfband():
    g = impulse_response()
    expect = np.zeros(40)
    expect[18] = 0.5
    half = (np.float32(0.5) * TABLE[:9]).astype(np.float64)
    for k in range(9):
        expect[2 * k + 1] = expect[35 - 2 * k] = half[k]
    np.testing.assert_array_equal(g, expect)


def test_frequency_response():
    g = impulse_response()
    nfft = 8192
    H = np.abs(np.fft.rfft(g, nfft))
    f = np.arange(len(H)) / nfft  # cycles per input sample
    mag = 20 * np.log10(np.maximum(H, 1e-12))
    assert np.abs(mag[f <= 0.15]).max() < 0.01  # pass band, about half the output band
    assert mag[np.argmin(np.abs(f - 0.25))] == pytest.approx(-6.02, abs=0.05)  # halfband point
    assert mag[f >= 0.35].max() < -60.0  # image band that would alias


@pytest.mark.parametrize("module", MODULES)
@pytest.mark.parametrize("f_in, atten_db", [(0.05, None), (-0.12, None), (0.36, 60), (-0.4, 60)])
def test_complex_tones(module, f_in, atten_db):
    k = np.arange(4000)
    y = run(hb(lib=load(module)), np.exp(2j * np.pi * f_in * k))[100:]
    m = np.arange(100, 100 + len(y))
    amp = np.abs(np.mean(y * np.exp(-2j * np.pi * 2 * f_in * m)))
    if atten_db is None:
        assert amp == pytest.approx(1.0, abs=2e-3)
    else:
        assert 20 * np.log10(np.abs(y).max()) < -atten_db


@pytest.mark.parametrize("module", MODULES)
@pytest.mark.parametrize("f_in, f_out", [(0.3, 0.1), (0.2, -0.1), (0.45, 0.4), (0.05, -0.4),
                                         (0.26, 0.02)])
def test_r2c_tone_mapping(module, f_in, f_out):
    k = np.arange(8192)
    y = run(hb(r2c=True, lib=load(module)), np.cos(2 * np.pi * f_in * k))[64:]
    assert f_out == pytest.approx(2 * f_in - 0.5)
    m = np.arange(len(y))
    tone = np.mean(y * np.exp(-2j * np.pi * f_out * m))
    assert abs(tone) == pytest.approx(1.0, abs=3e-3)
    image = np.mean(y * np.exp(2j * np.pi * f_out * m))
    assert 20 * np.log10(abs(image)) < -55  # the mirror image is suppressed
    # The residual after removing the tone is small: a single complex tone.
    resid = y - tone * np.exp(2j * np.pi * f_out * m)
    assert np.sqrt(np.mean(np.abs(resid) ** 2)) < 2e-3


@pytest.mark.parametrize("n", [1, 2, 3, 4, 5, 6, 12, 18, 19, 21])
@pytest.mark.parametrize("r2c", [False, True])
def test_pair_formulas_for_any_table_length(n, r2c):
    rng = np.random.default_rng(n)
    table = rng.standard_normal(n).astype(np.float32)
    x = rng.standard_normal(301).astype(np.float32) if r2c else random_cf32(rng, 301)
    y = run(hb(table, r2c), x)
    assert len(y) == 150
    np.testing.assert_allclose(y, model(table, x, r2c), atol=2e-5 * max(n, 1))


def test_dc_settles_to_dc_gain():
    d = hb()
    y = run(d, np.ones(200, np.complex64))
    np.testing.assert_allclose(y[30:].real, d.call("dc_gain"), rtol=1e-6)
    assert hb(np.array([0.7], np.float32)).call("dc_gain") == 0.5


@pytest.mark.parametrize("r2c", [False, True])
def test_one_input_per_call_and_pending(r2c):
    rng = np.random.default_rng(1)
    x = rng.standard_normal(41).astype(np.float32) if r2c else random_cf32(rng, 41)
    whole = run(hb(r2c=r2c), x)
    d = hb(r2c=r2c)
    counts, outs = [], []
    for v in x:
        y = run(d, np.array([v]), cap=4)
        counts.append(len(y))
        outs.extend(y)
    assert counts == [0, 1] * 20 + [0]
    np.testing.assert_array_equal(np.array(outs, np.complex64), whole)
    s = d.state()
    assert struct.unpack_from("<I", s, 32)[0] == 1  # the odd last input is pending
    if r2c:
        assert struct.unpack_from("<f", s, 36)[0] == x[-1]
    else:
        assert np.frombuffer(s[36:44], np.complex64)[0] == x[-1]


def test_out_cap_keeps_one_pending():
    x = random_cf32(np.random.default_rng(2), 50)
    d = hb()
    assert len(run(d, x, cap=1)) == 1
    s = d.state()
    assert struct.unpack_from("<I", s, 32)[0] == 1
    assert np.frombuffer(s[36:44], np.complex64)[0] == x[2]
    assert len(run(d, x, cap=0)) == 0 and len(run(d, x[:0], cap=5)) == 0
    assert d.state() == s


def test_creation_failures():
    t = np.ones(4, np.float32)
    for name in ("hbdecim_create", "hbdecim_r2c_create"):
        f = getattr(L, name)
        assert not f(0, ptr(t))
        assert not f(4, None)
    L.hbdecim_destroy(None)
    L.hbdecim_r2c_destroy(None)


@settings(max_examples=40, deadline=None)
@given(blocks=st.lists(st.integers(0, 23), min_size=1, max_size=25), r2c=st.booleans(),
       seed=st.integers(0, 2**32 - 1))
def test_block_split_invariance(blocks, r2c, seed):
    rng = np.random.default_rng(seed)
    n = sum(blocks)
    x = rng.standard_normal(n).astype(np.float32) if r2c else random_cf32(rng, n)
    whole = run(hb(r2c=r2c), x)
    d = hb(r2c=r2c)
    parts, i = [], 0
    for b in blocks:
        parts.append(run(d, x[i:i + b]))
        i += b
    np.testing.assert_array_equal(np.concatenate(parts), whole)


@pytest.mark.parametrize("r2c", [False, True])
@pytest.mark.parametrize("cut", [100, 101, 137])
def test_state_round_trip_mid_stream(r2c, cut):
    rng = np.random.default_rng(cut)
    x = rng.standard_normal(400).astype(np.float32) if r2c else random_cf32(rng, 400)
    a = hb(r2c=r2c)
    run(a, x[:cut])
    saved = a.state()
    expect = run(a, x[cut:])
    b = hb(r2c=r2c)
    assert b.set_state(saved) == OX_OK and b.state() == saved
    np.testing.assert_array_equal(run(b, x[cut:]), expect)
    b.call("reset")
    assert b.state() == hb(r2c=r2c).state()


@pytest.mark.parametrize("r2c", [False, True])
def test_blob_rejection(r2c):
    rng = np.random.default_rng(3)
    d = hb(r2c=r2c)
    x = rng.standard_normal(41).astype(np.float32) if r2c else random_cf32(rng, 41)
    run(d, x)
    good = d.state()
    assert good[:4] == (b"HBR2" if r2c else b"HBDC")
    for bad in header_mutations(good):
        assert d.set_state(bad) == OX_EINVAL and d.state() == good
    for ok in accepted_header_variants(good):
        assert d.set_state(ok) == OX_OK
    crafted = [("<Q", 16, 32), ("<Q", 24, 32), ("<Q", 16, 1 << 63), ("<Q", 24, (1 << 64) - 1),
               ("<I", 32, 2), ("<I", 32, 0xFFFFFFFF)]
    if r2c:
        crafted += [("<I", 40, 2), ("<I", 40, 1 << 31)]
    for fmt, off, val in crafted:
        bad = bytearray(good)
        struct.pack_into(fmt, bad, off, val)
        assert d.set_state(bytes(bad)) == OX_EINVAL
        assert d.state() == good
    for b in mutate_blobs(good, rng, 150):
        rc = d.set_state(b)
        assert rc in (OX_OK, OX_EINVAL)
        assert d.state() == (b if rc == OX_OK else good)
        run(d, x)
        assert d.set_state(good) == OX_OK
    other = hb(r2c=not r2c)
    assert other.call("state_bytes") != len(good) or other.set_state(good) == OX_EINVAL


@pytest.mark.parametrize("r2c", [False, True])
def test_blob_field_layout(r2c):
    """pos A, pos B, pending, (parity), ring A, ring B at their offsets: the newest first-of-pair
    sample sits at ring A[pos A] and again at pos A + R, the newest second one likewise in B."""
    rng = np.random.default_rng(11)
    x = rng.standard_normal(23).astype(np.float32) if r2c else random_cf32(rng, 23)
    d = hb(r2c=r2c)
    assert len(run(d, x)) == 11
    s = d.state()
    R = 32
    pos_a, pos_b, pending = struct.unpack_from("<QQI", s, 16)
    assert pos_a == pos_b == (-11) % R and pending == 1
    dt = np.float32 if r2c else np.complex64
    size = np.dtype(dt).itemsize
    base = 44
    if r2c:
        assert struct.unpack_from("<I", s, 40)[0] == 11 % 2  # parity after 11 outputs
    ring_a = np.frombuffer(s, dt, 2 * R, base)
    ring_b = np.frombuffer(s, dt, 2 * R, base + 2 * R * size)
    assert len(s) == base + 4 * R * size
    np.testing.assert_array_equal(ring_a[:R], ring_a[R:])
    np.testing.assert_array_equal(ring_b[:R], ring_b[R:])
    for k in range(11):  # k pairs before the newest
        assert ring_a[(pos_a + k) % R] == x[20 - 2 * k]
        assert ring_b[(pos_b + k) % R] == x[21 - 2 * k]
