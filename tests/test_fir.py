"""FIR filter (real and complex taps) and the Kaiser design formulas, through the exported ABI."""

from __future__ import annotations

import math

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from native import OX_EINVAL, OX_OK
from rate_stages_util import (MODULES, Core, accepted_header_variants, cf32, header_mutations,
                              load, mutate_blobs, ptr, random_cf32)

L = load("track")


def make(taps, lib=L):
    taps = np.asarray(taps)
    if np.iscomplexobj(taps):
        t = cf32(taps)
        return Core(lib, "fir", ptr(t), len(t))
    t = np.ascontiguousarray(taps, dtype=np.float32)
    return Core(lib, "fir", ptr(t), len(t), create="create_real")


def run(f: Core, x: np.ndarray) -> np.ndarray:
    x = cf32(x)
    out = np.zeros(len(x), np.complex64)
    assert f.call("execute", ptr(x), len(x), ptr(out)) == len(x)
    return out


def reference(taps, x, past=None) -> np.ndarray:
    """Direct form in float32 with the accumulation order of the filter (tap 0 first)."""
    x = cf32(x)
    T = len(taps)
    w = np.concatenate([np.zeros(T - 1, np.complex64) if past is None else cf32(past), x])
    xr, xi = w.real.copy(), w.imag.copy()
    n = len(x)
    acc_r = np.zeros(n, np.float32)
    acc_i = np.zeros(n, np.float32)
    complex_taps = np.iscomplexobj(taps)
    for j in range(T):
        sr = xr[T - 1 - j: T - 1 - j + n]
        si = xi[T - 1 - j: T - 1 - j + n]
        if complex_taps:
            hr, hi = np.float32(taps[j].real), np.float32(taps[j].imag)
            acc_r = acc_r + (hr * sr - hi * si)
            acc_i = acc_i + (hr * si + hi * sr)
        else:
            h = np.float32(taps[j])
            acc_r = acc_r + h * sr
            acc_i = acc_i + h * si
    return (acc_r + 1j * acc_i).astype(np.complex64)


@pytest.mark.parametrize("module", MODULES)
@pytest.mark.parametrize("T", [1, 2, 7, 19, 64])
@pytest.mark.parametrize("kind", ["real", "complex"])
def test_output_matches_convolution_bit_exact(module, T, kind):
    rng = np.random.default_rng(T)
    lib = load(module)
    taps = rng.standard_normal(T).astype(np.float32)
    if kind == "complex":
        taps = cf32(taps + 1j * rng.standard_normal(T))
    f = make(taps, lib)
    assert f.call("get_num_taps") == T and f.call("get_is_real") == (kind == "real")
    x = random_cf32(rng, 301)
    y = run(f, x)
    np.testing.assert_array_equal(y, reference(taps, x))
    # Independent cross-check against NumPy's convolution in double precision.
    full = np.convolve(x.astype(np.complex128), np.asarray(taps, np.complex128))[: len(x)]
    np.testing.assert_allclose(y, full, atol=2e-5 * T)


def test_first_outputs_see_zero_past_and_reset():
    taps = np.arange(1, 6, dtype=np.float32)
    f = make(taps)
    x = np.zeros(8, np.complex64)
    x[0] = 1
    np.testing.assert_array_equal(run(f, x)[:5], taps)
    run(f, random_cf32(np.random.default_rng(0), 50))
    f.call("reset")
    np.testing.assert_array_equal(run(f, x)[:5], taps)


def test_single_tap_and_dc_gain():
    f = make(np.array([0.5], np.float32))
    assert f.call("state_bytes") == 16
    x = random_cf32(np.random.default_rng(1), 20)
    np.testing.assert_array_equal(run(f, x), (x * np.float32(0.5)).astype(np.complex64))
    assert make(np.array([1 + 5j, 2 - 3j], np.complex64)).call("dc_gain") == 3.0
    assert make(np.array([0.25, 0.5, 0.125], np.float32)).call("dc_gain") == 0.875
    assert f.call("execute_max_out") == 0


def test_in_place_execution():
    rng = np.random.default_rng(2)
    taps = rng.standard_normal(7).astype(np.float32)
    x = random_cf32(rng, 100)
    expect = reference(taps, x)
    f = make(taps)
    buf = x.copy()
    assert f.call("execute", ptr(buf), len(buf), ptr(buf)) == len(buf)
    np.testing.assert_array_equal(buf, expect)


def test_null_and_empty_arguments():
    assert not L.fir_create(None, 3)
    t = np.ones(3, np.float32)
    assert not L.fir_create_real(ptr(t), 0)
    assert not L.fir_create_real(None, 3)
    f = make(t)
    x = random_cf32(np.random.default_rng(3), 4)
    out = np.zeros(4, np.complex64)
    assert f.call("execute", ptr(x), 0, ptr(out)) == 0
    assert f.call("execute", None, 4, ptr(out)) == 0
    assert f.call("execute", ptr(x), 4, None) == 0
    assert L.fir_execute(None, ptr(x), 4, ptr(out)) == 0
    L.fir_destroy(None)


@settings(max_examples=40, deadline=None)
@given(blocks=st.lists(st.integers(0, 40), min_size=1, max_size=30), T=st.sampled_from([1, 3, 7, 33]),
       complex_taps=st.booleans(), seed=st.integers(0, 2**32 - 1))
def test_block_split_invariance(blocks, T, complex_taps, seed):
    rng = np.random.default_rng(seed)
    taps = rng.standard_normal(T).astype(np.float32)
    if complex_taps:
        taps = cf32(taps + 1j * rng.standard_normal(T))
    x = random_cf32(rng, sum(blocks))
    whole = run(make(taps), x)
    f = make(taps)
    parts, i = [], 0
    for b in blocks:
        if b:
            parts.append(run(f, x[i:i + b]))
        i += b
    got = np.concatenate(parts) if parts else np.zeros(0, np.complex64)
    np.testing.assert_array_equal(got, whole)


@pytest.mark.parametrize("complex_taps", [False, True])
def test_state_round_trip_mid_stream(complex_taps):
    rng = np.random.default_rng(4)
    taps = rng.standard_normal(9).astype(np.float32)
    if complex_taps:
        taps = cf32(taps + 1j * rng.standard_normal(9))
    f = make(taps)
    run(f, random_cf32(rng, 37))
    saved = f.state()
    assert len(saved) == 16 + 8 * 8 and saved[:4] == b"FIR_"
    tail = random_cf32(rng, 50)
    expect = run(f, tail)
    g = make(taps)
    assert g.set_state(saved) == OX_OK
    np.testing.assert_array_equal(run(g, tail), expect)
    # The history is the last num_taps - 1 inputs, oldest first.
    hist = np.frombuffer(f.state()[16:], np.complex64)
    np.testing.assert_array_equal(hist, tail[-8:])


def test_blob_rejection_leaves_filter_unchanged():
    rng = np.random.default_rng(5)
    f = make(rng.standard_normal(5).astype(np.float32))
    run(f, random_cf32(rng, 10))
    good = f.state()
    for bad in header_mutations(good):
        assert f.set_state(bad) == OX_EINVAL
        assert f.state() == good
    for ok in accepted_header_variants(good):
        assert f.set_state(ok) == OX_OK
    # The history carries no indices: any payload of the right size restores.
    for b in mutate_blobs(good, rng, 30):
        assert f.set_state(b) == OX_OK
        assert f.state()[16:] == b[16:]
    # A blob of another geometry is refused by its length field.
    assert make(np.ones(6, np.float32)).set_state(good) == OX_EINVAL


def test_kaiser_beta():
    assert L.kaiser_beta(21.0) == 0.0
    assert L.kaiser_beta(10.0) == 0.0
    assert L.kaiser_beta(50.0) == pytest.approx(0.5842 * 29 ** 0.4 + 0.07886 * 29, rel=1e-15)
    assert L.kaiser_beta(60.0) == pytest.approx(0.1102 * 51.3, rel=1e-15)
    assert L.kaiser_beta(30.0) == pytest.approx(0.5842 * 9 ** 0.4 + 0.07886 * 9, rel=1e-15)


def py_kaiser_num_taps(Lp, A, fp, fs):
    if Lp <= 0:
        return 0
    n = (A - 8) * 0.06965205386953845 / (fs - fp) * Lp + 1
    total = (int(n) if n >= 1 else 0) | 1
    return total // Lp + 1


@pytest.mark.parametrize("args", [(1, 60, 0.1, 0.2), (32, 80, 0.2, 0.3), (4096, 60, 0.4, 0.6),
                                  (7, 40, 0.05, 0.45), (3, 100, 0.1, 0.11)])
def test_kaiser_num_taps(args):
    assert L.kaiser_num_taps(*args) == py_kaiser_num_taps(*args)


def test_kaiser_num_taps_edge_cases():
    assert L.kaiser_num_taps(0, 60, 0.1, 0.2) == 0
    assert L.kaiser_num_taps(-3, 60, 0.1, 0.2) == 0
    # One branch: the total length itself, always odd.
    for fs in (0.2, 0.21, 0.23, 0.3):
        assert L.kaiser_num_taps(1, 60, 0.1, fs) % 2 == 0  # odd total + 1
    # Nonsense band edges give the shortest design instead of an undefined conversion.
    assert L.kaiser_num_taps(4, 60, 0.3, 0.2) == 1
    assert L.kaiser_num_taps(4, math.nan, 0.1, 0.2) == 1
