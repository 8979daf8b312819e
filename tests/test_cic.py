"""Fourth-order CIC decimator and its compensator design, through the exported ABI."""

from __future__ import annotations

import struct

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from native import OX_EINVAL, OX_OK
from rate_stages_util import (MODULES, Core, accepted_header_variants, cf32, header_mutations,
                              load, mutate_blobs, ptr, random_cf32)

L = load("track")
FULL = np.float32(32767 / 16384)


def cic(R: int, lib=L) -> Core:
    return Core(lib, "cic", R)


def run(c: Core, x: np.ndarray, cap: int | None = None) -> np.ndarray:
    x = cf32(x)
    cap = len(x) if cap is None else cap
    out = np.zeros(max(cap, 1), np.complex64)
    k = c.call("decimate", ptr(x), len(x), ptr(out), cap)
    return out[:k].copy()


def clipped(c: Core) -> int:
    return c.state()[148]


def codes(v: np.ndarray) -> np.ndarray:
    """Offset-binary input codes, computed independently in NumPy."""
    v = np.asarray(v, np.float32)
    v = np.where(np.isnan(v), np.float32(0), v)
    q = np.trunc(np.clip(v, np.float32(-2.0), FULL) * np.float32(16384)).astype(np.int64)
    return q + 32768


def model(x: np.ndarray, R: int) -> np.ndarray:
    """Exact integer model: four wrapping cumulative sums, decimation, four differences."""
    shift = 4 * (R.bit_length() - 1)
    out = []
    for comp in (x.real, x.imag):
        s = codes(comp)
        with np.errstate(over="ignore"):
            for _ in range(4):
                s = np.cumsum(s, dtype=np.int64)
            d = s[R - 1::R]
            for _ in range(4):
                d = np.diff(d, prepend=np.int64(0))
        code = (d.view(np.uint64) >> np.uint64(shift)) & np.uint64(0xFFFF)
        out.append((code.astype(np.int64) - 32768).astype(np.float32) * np.float32(2.0 ** -14))
    return (out[0] + 1j * out[1]).astype(np.complex64)


@pytest.mark.parametrize("module", MODULES)
@pytest.mark.parametrize("R", [2, 8, 64, 2048])
def test_bit_exact_against_integer_model(module, R):
    rng = np.random.default_rng(R)
    n = max(40 * R, 4000)
    x = random_cf32(rng, n, scale=0.9)
    x[5] = 3.0 + 1j * np.nan  # out of range and NaN on the way
    np.testing.assert_array_equal(run(cic(R, load(module)), x), model(x, R))


def test_dc_is_exact():
    c = cic(16)
    assert c.call("dc_gain") == 1.0
    y = run(c, np.full(16 * 20, 0.5 + -0.25j, np.complex64))
    assert len(y) == 20
    np.testing.assert_array_equal(y[4:], np.full(16, 0.5 - 0.25j, np.complex64))
    for R in (2, 4, 256, 2048):
        assert cic(R).call("dc_gain") == 1.0


@pytest.mark.parametrize("R", [4, 16, 128])
def test_response_is_sinc_to_the_fourth(R):
    n = R * 1200
    k = np.arange(n)
    for f in (0.1 / R, 0.3 / R, 0.45 / R, 0.7 / R, 1.3 / R):
        x = cf32(0.9 * np.exp(2j * np.pi * f * k))
        y = run(cic(R), x)[8:]
        m = np.arange(8, 8 + len(y))
        got = abs(np.mean(y * np.exp(-2j * np.pi * f * R * (m + 1)))) / 0.9
        expect = abs(np.sin(np.pi * f * R) / (R * np.sin(np.pi * f))) ** 4
        assert got == pytest.approx(expect, abs=3e-4)


def test_clipping_flag_and_saturation():
    c = cic(2)
    run(c, np.full(40, 1.5 - 2.0j, np.complex64))
    assert clipped(c) == 0
    y = run(c, np.full(40, 2.5 - 2.5j, np.complex64))
    assert clipped(c) == 1
    assert y[-1] == np.complex64(FULL - 2.0j)
    run(c, np.zeros(40, np.complex64))
    assert clipped(c) == 1  # sticky
    c.call("reset")
    assert clipped(c) == 0
    run(c, np.array([np.nan], np.complex64))
    assert clipped(c) == 1
    c.call("reconfigure", 4)
    assert clipped(c) == 0


def test_first_output_after_R_inputs_and_phase_carry():
    c = cic(8)
    x = random_cf32(np.random.default_rng(1), 64)
    assert len(run(c, x[:7])) == 0
    assert len(run(c, x[7:8])) == 1
    assert len(run(c, x[8:13])) == 0
    assert struct.unpack_from("<I", c.state(), 144)[0] == 5


def test_out_cap_computes_but_does_not_store():
    x = random_cf32(np.random.default_rng(2), 160)
    a, b = cic(8), cic(8)
    assert len(run(a, x[:80], cap=3)) == 3
    run(b, x[:80])
    assert a.state() == b.state()
    np.testing.assert_array_equal(run(a, x[80:]), run(b, x[80:]))


def test_create_and_reconfigure():
    for bad in (0, 1, 3, 6, 4096, 1 << 31):
        assert not L.cic_create(bad)
    for good in (2, 2048):
        assert cic(good).call("state_bytes") == 149
    c = cic(8)
    run(c, random_cf32(np.random.default_rng(3), 21))
    c.call("reconfigure", 5)  # invalid: nothing changes
    s = c.state()
    assert struct.unpack_from("<I", s, 144)[0] == 5
    c.call("reconfigure", 32)
    assert c.state() == cic(32).state()
    assert len(run(c, np.zeros(64, np.complex64))) == 2
    assert c.call("decimate_max_out") == 0
    out = np.zeros(4, np.complex64)
    assert c.call("decimate", None, 64, ptr(out), 4) == 0
    before = c.state()
    assert c.call("decimate", ptr(np.zeros(64, np.complex64)), 64, None, 4) == 0  # state advances
    assert c.state() != before
    L.cic_destroy(None)


@settings(max_examples=40, deadline=None)
@given(blocks=st.lists(st.integers(0, 70), min_size=1, max_size=20),
       R=st.sampled_from([2, 4, 8, 32]), seed=st.integers(0, 2**32 - 1))
def test_block_split_invariance(blocks, R, seed):
    x = random_cf32(np.random.default_rng(seed), sum(blocks), scale=1.5)
    whole = run(cic(R), x)
    c = cic(R)
    parts, i = [], 0
    for b in blocks:
        parts.append(run(c, x[i:i + b]))
        i += b
    np.testing.assert_array_equal(np.concatenate(parts), whole)


def test_state_round_trip_mid_stream():
    x = random_cf32(np.random.default_rng(4), 3000, scale=1.2)
    a = cic(64)
    run(a, x[:1001])
    saved = a.state()
    assert len(saved) == 149 and saved[:4] == b"CIC_"
    expect = run(a, x[1001:])
    b = cic(64)
    assert b.set_state(saved) == OX_OK and b.state() == saved
    np.testing.assert_array_equal(run(b, x[1001:]), expect)


def test_blob_rejection():
    rng = np.random.default_rng(5)
    c = cic(16)
    run(c, random_cf32(rng, 37))
    good = c.state()
    for bad in header_mutations(good):
        assert c.set_state(bad) == OX_EINVAL and c.state() == good
    for ok in accepted_header_variants(good):
        assert c.set_state(ok) == OX_OK
    for off, fmt, val in ((144, "<I", 16), (144, "<I", 0xFFFFFFFF), (148, "<B", 2), (148, "<B", 255)):
        bad = bytearray(good)
        struct.pack_into(fmt, bad, off, val)
        assert c.set_state(bytes(bad)) == OX_EINVAL and c.state() == good
    x = random_cf32(rng, 40)
    for b in mutate_blobs(good, rng, 150):
        rc = c.set_state(b)
        assert c.state() == (b if rc == OX_OK else good)
        run(c, x)
        assert c.set_state(good) == OX_OK
    # The phase bound is checked against the live factor: a blob from R = 16 with phase 9 does
    # not fit a CIC(8).
    small = cic(8)
    bad = bytearray(good)
    struct.pack_into("<I", bad, 144, 9)
    assert small.set_state(bytes(bad)) == OX_EINVAL


def comp(R: int, count: int = 7, N: int = 4) -> np.ndarray:
    t = np.full(count, 99.0)
    L.ciccompmf(ptr(t), N, R, count)
    return t


@pytest.mark.parametrize("R", [8, 64, 2048])
def test_compensator_shape(R):
    t = comp(R)
    np.testing.assert_array_equal(t, t[::-1])
    assert t.sum() == pytest.approx(1.0, abs=1e-14)
    assert t[3] > 1 and t[2] < 0 and t[4] < 0
    assert comp(8)[3] < comp(2048)[3]  # stronger compensation for larger R


@pytest.mark.parametrize("R", [8, 64])
def test_compensator_flattens_the_droop(R):
    f = np.linspace(1e-6, 0.2, 400)  # cycles per decimated sample
    fi = f / R
    cic_mag = np.abs(np.sin(np.pi * fi * R) / (R * np.sin(np.pi * fi))) ** 4
    t = comp(R)
    comp_mag = np.abs(np.exp(-2j * np.pi * np.outer(f, np.arange(7))) @ t)
    droop = np.abs(20 * np.log10(cic_mag)).max()
    resid = np.abs(20 * np.log10(cic_mag * comp_mag)).max()
    assert droop > 2.0 and resid < 0.06


def test_compensator_counts():
    assert list(comp(16, 1)) == [1.0]
    t3 = comp(16, 3)
    assert t3.sum() == pytest.approx(1.0) and t3[1] > 1
    assert comp(16, 19).sum() == pytest.approx(1.0, abs=1e-12)
    assert not comp(16, 21).any()  # odd above 19
    assert not comp(16, 20).any()  # even: not designed
    assert not comp(16, 8).any()
    L.ciccompmf(None, 4, 16, 7)


def test_blob_field_layout():
    """Integrators I, integrators Q, comb delays I, comb delays Q, 8 bytes each, from offset 16.
    A constant code c fed for n inputs gives integrator m = c * C(n + m - 1, m); the comb delay
    of stage 1 holds integrator 4 of the last decimation instant."""
    from math import comb
    c = cic(4)
    v = np.complex64(0.5 - 0.25j)
    run(c, np.full(6, v))
    s = c.state()
    words = struct.unpack_from("<16q", s, 16)
    ci, cq = 32768 + 8192, 32768 - 4096
    assert words[0:4] == tuple(ci * comb(6 + m, m + 1) for m in range(4))
    assert words[4:8] == tuple(cq * comb(6 + m, m + 1) for m in range(4))
    assert words[8] == ci * comb(7, 4) and words[12] == cq * comb(7, 4)  # integrator 4 at input 4
    assert struct.unpack_from("<I", s, 144)[0] == 2
