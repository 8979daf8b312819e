"""Waveform generators (RRC taps, polyphase banks, DSSS spreading and chips) and the boxcar,
through their exported symbols in the track module."""

from __future__ import annotations

import ctypes
import struct

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from ostrel._waveforms import rrc_pulse

from native import (OX_EINVAL, OX_OK, Core, c_double, c_int, c_size, c_u64, c_void_p,
                    fn, lib, ptr)

L = lib("track")
c_uint = ctypes.c_uint
wfm_rrc_taps = fn(L, "wfm_rrc_taps", None, c_int, c_int, c_void_p, c_double)
wfm_polyphase_bank = fn(L, "wfm_polyphase_bank", None, c_void_p, c_size, c_size, c_size, c_void_p)
wfm_rrc_polyphase_bank = fn(L, "wfm_rrc_polyphase_bank", None, c_int, c_uint, c_void_p, c_double)
wfm_dsss_spread = fn(L, "wfm_dsss_spread", None, c_void_p, c_size, c_void_p, c_size, c_void_p)
wfm_cont_dsss_chips = fn(L, "wfm_cont_dsss_chips", c_size, c_void_p, c_size, c_void_p, c_size,
                         c_size, c_void_p, c_double)
fn(L, "boxcar_create", c_void_p, c_u64, c_double)
fn(L, "boxcar_init", None, c_void_p, c_u64, c_double)
fn(L, "boxcar_reset", None, c_void_p)
fn(L, "boxcar_destroy", None, c_void_p)
fn(L, "boxcar_steps", None, c_void_p, c_void_p, c_void_p, c_size)
fn(L, "boxcar_state_bytes", c_size, c_void_p)
fn(L, "boxcar_get_state", None, c_void_p, c_void_p)
fn(L, "boxcar_set_state", c_int, c_void_p, c_void_p)


# ---------------------------------------------------------------------------------------------
# Root-raised-cosine taps
# ---------------------------------------------------------------------------------------------
def rrc_taps(sps: int, span: int, beta: float) -> np.ndarray:
    taps = np.full(2 * span * sps + 1, np.nan, dtype=np.float32)
    wfm_rrc_taps(sps, span, ptr(taps), beta)
    return taps


@pytest.mark.parametrize("sps,span,beta", [(4, 3, 0.35), (8, 6, 0.25), (4, 4, 0.5), (2, 5, 0.2),
                                           (5, 3, 1.0), (1, 4, 0.35)])
def test_rrc_taps_match_closed_form(sps, span, beta):
    taps = rrc_taps(sps, span, beta)
    t = (np.arange(taps.size) - span * sps) / sps
    h = rrc_pulse(t, beta)
    ref = (h / np.sqrt(np.sum(h * h))).astype(np.float32)
    np.testing.assert_allclose(taps, ref, rtol=2e-7, atol=1e-8)
    assert np.sum(taps.astype(np.float64) ** 2) == pytest.approx(1.0, abs=1e-6)
    np.testing.assert_array_equal(taps, taps[::-1])  # symmetric about the centre tap


def test_rrc_singular_points_are_the_limit():
    # beta 0.25 puts the singular points at t = +-1 (sample offsets +-sps from the centre).
    sps, span, beta = 8, 4, 0.25
    taps = rrc_taps(sps, span, beta)
    h = rrc_pulse((np.arange(taps.size) - span * sps) / sps, beta)
    norm = 1 / np.sqrt(np.sum(h * h))
    for t0 in (1.0, -1.0):
        i = span * sps + int(t0 * sps)
        near = rrc_pulse(np.array([t0 - 1e-6, t0 + 1e-6]), beta) * norm
        assert taps[i] == pytest.approx(near.mean(), rel=1e-5)
        assert np.isfinite(taps).all()


def test_rrc_example_and_sinc():
    taps = rrc_taps(4, 3, 0.35)
    assert taps.size == 25 and taps.argmax() == 12
    # beta = 0: a unit-energy sinc, zero at every other symbol instant.
    s = rrc_taps(4, 3, 0.0)
    t = (np.arange(25) - 12) / 4
    ref = np.sinc(t)
    np.testing.assert_allclose(s, (ref / np.sqrt(np.sum(ref ** 2))).astype(np.float32), atol=2e-7)
    assert np.all(np.abs(s[::4][np.arange(7) != 3]) < 1e-7)


def test_rrc_matched_pair_is_nyquist():
    sps, span = 8, 12
    h = rrc_taps(sps, span, 0.35).astype(np.float64)
    rc = np.convolve(h, h)
    centre = rc.size // 2
    assert rc[centre] == pytest.approx(1.0, abs=1e-6)
    isi = rc[centre % sps::sps]
    isi = np.delete(isi, centre // sps)
    assert np.max(np.abs(isi)) < 5e-3  # zero ISI up to the truncation of the span


def test_rrc_invalid_sizes_write_nothing():
    buf = np.full(8, 7.0, dtype=np.float32)
    wfm_rrc_taps(0, 3, ptr(buf), 0.35)
    wfm_rrc_taps(-2, -3, ptr(buf), 0.35)
    wfm_rrc_taps(4, -1, ptr(buf), 0.35)
    assert np.all(buf == 7.0)
    wfm_rrc_taps(4, 0, ptr(buf), 0.35)  # span 0: the single centre tap, normalised to 1
    assert buf[0] == 1.0 and np.all(buf[1:] == 7.0)


# ---------------------------------------------------------------------------------------------
# Polyphase banks
# ---------------------------------------------------------------------------------------------
def polyphase_ref(proto: np.ndarray, count: int, P: int, T: int) -> np.ndarray:
    padded = np.zeros(P * T, dtype=np.float32)
    padded[:min(count, P * T)] = proto[:min(count, P * T)]
    return padded.reshape(T, P).T.copy()  # row p holds proto[p + k*P]


@pytest.mark.parametrize("count,P,T", [(24, 4, 6), (21, 4, 6), (7, 3, 5), (30, 5, 4), (1, 1, 1)])
def test_polyphase_bank(count, P, T):
    proto = np.arange(1, count + 1, dtype=np.float32)
    bank = np.full(P * T, np.nan, dtype=np.float32)
    wfm_polyphase_bank(ptr(proto), count, P, T, ptr(bank))
    np.testing.assert_array_equal(bank.reshape(P, T), polyphase_ref(proto, count, P, T))


def test_polyphase_bank_zero_sizes_write_nothing():
    proto = np.ones(4, dtype=np.float32)
    bank = np.full(4, 9.0, dtype=np.float32)
    wfm_polyphase_bank(ptr(proto), 4, 0, 4, ptr(bank))
    wfm_polyphase_bank(ptr(proto), 4, 4, 0, ptr(bank))
    assert np.all(bank == 9.0)


@pytest.mark.parametrize("P,span,beta", [(8, 4, 0.35), (32, 6, 0.25), (3, 2, 0.5), (1, 3, 0.2)])
def test_rrc_polyphase_bank(P, span, beta):
    T = 2 * span + 1
    bank = np.full(P * T, np.nan, dtype=np.float32)
    wfm_rrc_polyphase_bank(P, span, ptr(bank), beta)
    proto = rrc_taps(P, span, beta) * np.float32(np.sqrt(P))
    ref = polyphase_ref(proto, proto.size, P, T)
    np.testing.assert_array_equal(bank.reshape(P, T), ref)
    if P > 1:
        assert np.all(bank.reshape(P, T)[1:, -1] == 0)  # the padding behind the prototype


# ---------------------------------------------------------------------------------------------
# DSSS spreading and continuous chips
# ---------------------------------------------------------------------------------------------
def test_dsss_spread_matches_numpy():
    rng = np.random.default_rng(3)
    sym = (rng.standard_normal(13) + 1j * rng.standard_normal(13)).astype(np.complex64)
    code = rng.integers(0, 256, 31).astype(np.uint8)  # only bit 0 counts
    code[0] = 2  # bit 0 clear: +1
    out = np.zeros(sym.size * code.size, dtype=np.complex64)
    wfm_dsss_spread(ptr(sym), sym.size, ptr(code), code.size, ptr(out))
    sign = np.where(code & 1, -1, 1).astype(np.float32)
    np.testing.assert_array_equal(out, (sym[:, None] * sign[None, :]).ravel())
    assert np.all(out.reshape(13, 31)[:, 0] == sym)


def test_dsss_spread_empty_writes_nothing():
    sym = np.ones(2, dtype=np.complex64)
    code = np.ones(3, dtype=np.uint8)
    out = np.full(6, 5 + 5j, dtype=np.complex64)
    wfm_dsss_spread(ptr(sym), 0, ptr(code), 3, ptr(out))
    wfm_dsss_spread(ptr(sym), 2, ptr(code), 0, ptr(out))
    assert np.all(out == 5 + 5j)


def cont_chips(code, bits, n, cpb):
    out = np.full(max(n, 1), 0xEE, dtype=np.uint8)
    got = wfm_cont_dsss_chips(ptr(code), code.size, ptr(bits), bits.size, n, ptr(out), cpb)
    return got, out[:n]


@pytest.mark.parametrize("cpb", [2.5, 1.0, 7.3, 0.4, 1023.0 / 50.0])
def test_cont_dsss_chips_matches_numpy(cpb):
    rng = np.random.default_rng(int(cpb * 100))
    code = rng.integers(0, 4, 1023).astype(np.uint8)
    bits = rng.integers(0, 2, 37).astype(np.uint8)
    n = 5000
    got, out = cont_chips(code, bits, n, cpb)
    assert got == n
    i = np.arange(n)
    j = np.floor(i.astype(np.float64) * (1.0 / cpb)).astype(np.int64) % bits.size
    np.testing.assert_array_equal(out, (bits[j] ^ code[i % code.size]) & 1)


def test_cont_dsss_chips_bit_clock():
    code = np.zeros(4, dtype=np.uint8)
    bits = np.array([0, 1, 0, 1], dtype=np.uint8)
    got, out = cont_chips(code, bits, 10, 2.5)
    assert got == 10
    assert out.tolist() == [0, 0, 0, 1, 1, 0, 0, 0, 1, 1]  # bit 0: 0-2, bit 1: 3-4, bit 2: 5-7


def test_cont_dsss_chips_refusals():
    code = np.ones(4, dtype=np.uint8)
    bits = np.ones(4, dtype=np.uint8)
    out = np.zeros(4, dtype=np.uint8)
    args = dict(code=ptr(code), L=4, bits=ptr(bits), B=4, n=4, out=ptr(out), cpb=2.0)
    assert wfm_cont_dsss_chips(*args.values()) == 4
    for key, bad in [("code", None), ("bits", None), ("out", None), ("L", 0), ("B", 0), ("n", 0),
                     ("cpb", 0.0), ("cpb", -1.0), ("cpb", float("nan")), ("cpb", 1e-320)]:
        a = dict(args, **{key: bad})
        assert wfm_cont_dsss_chips(*a.values()) == 0, key


# ---------------------------------------------------------------------------------------------
# Boxcar
# ---------------------------------------------------------------------------------------------
BOXCAR_FMT = "<QQddf2f128fI"  # n, index, inv_n, gain, scale, sum, ring, reserved
assert struct.calcsize(BOXCAR_FMT) == 560


def boxcar(n, gain=1.0) -> Core:
    return Core(L, "boxcar", n, gain)


def run_boxcar(b: Core, x: np.ndarray) -> np.ndarray:
    x = np.ascontiguousarray(x, dtype=np.complex64)
    out = np.empty_like(x)
    b.call("steps", ptr(x), ptr(out), x.size)
    return out


def boxcar_ref(x: np.ndarray, n: int, gain: float) -> np.ndarray:
    """The float32 running-sum recurrence, re-evaluated in NumPy."""
    scale = np.float32(gain / n)
    ring = np.zeros(64, dtype=np.complex64)
    sr = si = np.float32(0)
    out = np.empty(x.size, dtype=np.complex64)
    for k, v in enumerate(x.astype(np.complex64)):
        i = k % n
        sr = sr + (np.float32(v.real) - np.float32(ring[i].real))
        si = si + (np.float32(v.imag) - np.float32(ring[i].imag))
        ring[i] = v
        if v == 0 and not ring[:n].any():  # an all-zero window sums to exactly zero
            sr = si = np.float32(0)
        out[k] = complex(sr * scale, si * scale)
    return out


def test_boxcar_constant_input():
    b = boxcar(4)
    y = run_boxcar(b, np.ones(7))
    np.testing.assert_array_equal(y, [0.25, 0.5, 0.75, 1, 1, 1, 1])


@pytest.mark.parametrize("n,gain", [(1, 1.0), (5, 2.0), (64, 0.5), (17, -1.0)])
def test_boxcar_against_moving_average(n, gain):
    rng = np.random.default_rng(n)
    x = (rng.standard_normal(1500) + 1j * rng.standard_normal(1500)).astype(np.complex64)
    b = boxcar(n, gain)
    y = np.concatenate([run_boxcar(b, x[:700]), run_boxcar(b, x[700:])])
    np.testing.assert_array_equal(y, boxcar_ref(x, n, gain))  # bit-exact, across the split
    ma = gain * np.convolve(x.astype(np.complex128), np.ones(n) / n)[:x.size]
    np.testing.assert_allclose(y, ma, atol=2e-5 * max(abs(gain), 1) * np.sqrt(n))


def test_boxcar_silence_reads_exactly_zero():
    # The float running sum keeps a rounding residue after a long run; once the window holds
    # only zeros the output is exactly zero, and the ring arithmetic otherwise stays the same.
    rng = np.random.default_rng(5)
    x = (100 * (rng.standard_normal(5000) + 1j * rng.standard_normal(5000))).astype(np.complex64)
    x = np.concatenate([x, np.zeros(20, dtype=np.complex64), x[:50], np.zeros(7, np.complex64)])
    b = boxcar(7)
    y = run_boxcar(b, x)
    np.testing.assert_array_equal(y, boxcar_ref(x, 7, 1.0))
    assert np.all(y[5006:5020] == 0) and np.all(y[-1:] == 0)
    assert y[5005] != 0


def test_boxcar_create_and_init_limits():
    assert not L.boxcar_create(0, 1.0)
    assert not L.boxcar_create(65, 1.0)
    rec = (ctypes.c_uint8 * 560)()
    for length, expect in [(0, 1), (65, 64), (1 << 40, 64), (9, 9)]:
        L.boxcar_init(rec, length, 3.0)
        n, index, inv_n, gain, scale = struct.unpack_from("<QQddf", bytes(rec))
        assert (n, index, inv_n, gain) == (expect, 0, 1.0 / expect, 3.0)
        assert scale == np.float32(3.0 / expect)


def test_boxcar_reset_and_state_round_trip():
    rng = np.random.default_rng(7)
    x = (rng.standard_normal(300) + 1j * rng.standard_normal(300)).astype(np.complex64)
    a, b = boxcar(9, 1.5), boxcar(3, 1.0)
    assert a.call("state_bytes") == 576
    run_boxcar(a, x[:123])
    s = a.state()
    assert s[:4] == b"BOXC" and struct.unpack_from("<HBBI", s, 4) == (1, 1, 0, 576)
    n, index = struct.unpack_from("<QQ", s, 16)
    assert (n, index) == (9, 123 % 9) and s[572:] == bytes(4)
    y1 = run_boxcar(a, x[123:])
    assert b.set_state(s) == OX_OK  # window length and gain come with the blob
    np.testing.assert_array_equal(run_boxcar(b, x[123:]), y1)
    L.boxcar_reset(b.p)
    np.testing.assert_array_equal(run_boxcar(b, x[:50]), boxcar_ref(x[:50], 9, 1.5))


def patched(s: bytes, off: int, fmt: str, value) -> bytes:
    b = bytearray(s)
    struct.pack_into(fmt, b, off, value)
    return bytes(b)


def test_boxcar_crafted_blobs_rejected():
    a = boxcar(8)
    run_boxcar(a, np.arange(11, dtype=np.complex64))
    good = a.state()
    bad = [
        patched(good, 0, "<4s", b"BOXD"), patched(good, 4, "<H", 2), patched(good, 6, "<B", 0),
        patched(good, 8, "<I", 575),
        patched(good, 16, "<Q", 0), patched(good, 16, "<Q", 65), patched(good, 16, "<Q", 1 << 63),
        patched(good, 24, "<Q", 8), patched(good, 24, "<Q", 2 ** 64 - 1),
        patched(patched(good, 16, "<Q", 3), 24, "<Q", 5),
    ]
    for blob_ in bad:
        assert a.set_state(blob_) == OX_EINVAL
        assert a.state() == good
    # Reserved header bytes and byte 7 are not examined; a shorter window with a valid index is.
    assert a.set_state(patched(patched(good, 12, "<I", 0xDEADBEEF), 7, "<B", 9)) == OX_OK
    assert a.set_state(patched(patched(good, 16, "<Q", 3), 24, "<Q", 2)) == OX_OK
    assert struct.unpack_from("<QQ", a.state(), 16) == (3, 2)


@settings(max_examples=200, deadline=None)
@given(st.lists(st.tuples(st.integers(0, 575), st.integers(0, 255)), min_size=1, max_size=6))
def test_boxcar_fuzzed_blobs_never_crash(mutations):
    a = boxcar(5)
    run_boxcar(a, np.arange(7, dtype=np.complex64))
    b = bytearray(a.state())
    for off, val in mutations:
        b[off] = val
    before = a.state()
    rc = a.set_state(bytes(b))
    if rc == OX_OK:
        n, index = struct.unpack_from("<QQ", a.state(), 16)
        assert 1 <= n <= 64 and index < n
        run_boxcar(a, np.ones(130, dtype=np.complex64))
    else:
        assert rc == OX_EINVAL and a.state() == before
