"""Windows and spectral helpers of ostrel.spectral: windows against SciPy's symmetric forms,
ENBW, Kaiser beta, dB magnitudes, the peak finder, occupied bandwidth and the median floor."""

from __future__ import annotations

import ctypes
import math

import numpy as np
import pytest
from scipy.signal import windows as sw

from ostrel import spectral

import native

W_MSG = "w must be a writable, C-contiguous ndarray of the output dtype"


def fill(fn, n, *args):
    w = np.full(n, np.nan, dtype=np.float32)
    assert fn(w, *args) is None
    return w


# --- windows -----------------------------------------------------------------------------------

@pytest.mark.parametrize("n", list(range(2, 40)) + [64, 255, 1000, 4096])
def test_windows_match_scipy_symmetric(n):
    np.testing.assert_allclose(fill(spectral.hann_window, n), sw.hann(n, sym=True), atol=2e-7)
    np.testing.assert_allclose(fill(spectral.blackman_harris_window, n),
                               sw.blackmanharris(n, sym=True), atol=2e-7)
    for beta in (0.0, 0.5, 6.0, 11.9778, 20.0):
        np.testing.assert_allclose(fill(spectral.kaiser_window, n, beta),
                                   sw.kaiser(n, beta, sym=True), rtol=2e-6, atol=1e-7)


def test_hann_is_the_single_precision_formula():
    # c = cos(k * 2pi/(N-1)) rounded to float, then (1 - c) * 0.5 in float.
    n = 777
    k = np.arange(n, dtype=np.float64)
    c = np.cos(k * (2 * math.pi / (n - 1))).astype(np.float32)
    ref = (np.float32(1) - c) * np.float32(0.5)
    np.testing.assert_array_max_ulp(fill(spectral.hann_window, n), ref, maxulp=1)


def test_window_reference_values():
    np.testing.assert_allclose(
        fill(spectral.hann_window, 8),
        [0.0, 0.1883, 0.6113, 0.9505, 0.9505, 0.6113, 0.1883, 0.0], atol=5e-5)
    np.testing.assert_allclose(
        fill(spectral.blackman_harris_window, 8),
        [0.0001, 0.0334, 0.3328, 0.8894, 0.8894, 0.3328, 0.0334, 0.0001], atol=5e-5)
    np.testing.assert_allclose(
        fill(spectral.kaiser_window, 8, 6.0),
        [0.0149, 0.1998, 0.5913, 0.9454, 0.9454, 0.5913, 0.1998, 0.0149], atol=5e-5)


def test_window_degenerate_lengths_and_symmetry():
    for fn, extra in ((spectral.hann_window, ()), (spectral.blackman_harris_window, ()),
                      (spectral.kaiser_window, (8.0,))):
        assert fill(fn, 1, *extra).tolist() == [1.0]
        fn(np.zeros(0, np.float32), *extra)  # writes nothing, no error
        w = fill(fn, 101, *extra)
        np.testing.assert_array_equal(w, w[::-1])
        assert np.all(np.isfinite(w))
    assert np.all(fill(spectral.kaiser_window, 33, 0.0) == 1.0)
    # Kaiser end points are 1 / I0(beta); never NaN even when |r| rounds above 1.
    for n in (3, 7, 1001, 12345):
        w = fill(spectral.kaiser_window, n, 9.0)
        assert w[0] == w[-1] == np.float32(1.0 / np.i0(9.0))


def test_window_fills_views_and_multidimensional_arrays():
    w = np.zeros((4, 8), np.float32)
    spectral.hann_window(w)
    np.testing.assert_allclose(w.ravel(), sw.hann(32), atol=2e-7)
    big = np.zeros(20, np.float32)
    spectral.hann_window(big[5:15])  # a contiguous slice is a writable C-contiguous view
    assert np.all(big[:5] == 0) and np.all(big[15:] == 0)
    np.testing.assert_allclose(big[5:15], sw.hann(10), atol=2e-7)


@pytest.mark.parametrize("bad", [
    np.zeros(8, np.float64),
    np.zeros(16, np.float32)[::2],
    np.zeros((4, 4), np.float32, order="F"),
    [0.0] * 8,
    None,
])
def test_window_target_rejected(bad):
    for fn, extra in ((spectral.hann_window, ()), (spectral.blackman_harris_window, ()),
                      (spectral.kaiser_window, (1.0,))):
        with pytest.raises(TypeError, match=W_MSG):
            fn(bad, *extra)
    if isinstance(bad, np.ndarray):
        assert not bad.any()  # untouched


def test_window_read_only_rejected_untouched():
    w = np.zeros(8, np.float32)
    w.flags.writeable = False
    with pytest.raises(TypeError, match=W_MSG):
        spectral.hann_window(w)
    assert not w.any()


def test_window_keywords_required():
    w = np.zeros(4, np.float32)
    spectral.kaiser_window(w=w, beta=2.0)
    with pytest.raises(TypeError):
        spectral.kaiser_window(w)
    with pytest.raises(TypeError):
        spectral.hann_window()


# --- ENBW and Kaiser beta -------------------------------------------------------------------------

def test_enbw():
    assert spectral.kaiser_enbw(np.ones(64, np.float32)) == 1.0
    assert spectral.kaiser_enbw(fill(spectral.hann_window, 8)) == pytest.approx(1.7143, abs=5e-5)
    rng = np.random.default_rng(1)
    w = rng.random(333).astype(np.float32)
    wd = w.astype(np.float64)
    assert spectral.kaiser_enbw(w) == pytest.approx(len(w) * (wd**2).sum() / wd.sum()**2, rel=1e-6)
    # Lists are converted; an empty window is 0/0.
    assert spectral.kaiser_enbw([1.0, 1.0]) == 1.0
    assert math.isnan(spectral.kaiser_enbw(np.zeros(0, np.float32)))
    # Large-N Hann tends to 1.5 bins, Blackman-Harris to about 2.0.
    assert spectral.kaiser_enbw(fill(spectral.hann_window, 4096)) == pytest.approx(1.5, rel=1e-3)
    assert spectral.kaiser_enbw(fill(spectral.blackman_harris_window, 4096)) == pytest.approx(
        2.0044, rel=1e-3)


def test_kaiser_beta_for_sidelobe():
    f = spectral.kaiser_beta_for_sidelobe
    assert f(10.0) == 0.0 and f(13.26) == 0.0 and f(float("nan")) == 0.0
    assert f(atten_db=90.0) == pytest.approx(11.9778, abs=5e-5)
    assert f(60.0) == pytest.approx(0.76609 * 46.74**0.4 + 0.09834 * 46.74)
    assert f(60.0001) == pytest.approx(0.12438 * 66.3001)
    assert f(40.0) == pytest.approx(0.76609 * 26.74**0.4 + 0.09834 * 26.74)


# --- magnitudes -------------------------------------------------------------------------------------

def test_magnitude_db_reference_and_floor():
    r = spectral.magnitude_db_cf32(np.array([1, 0.1, 0], np.complex64), 1e-12, 0.0)
    assert r.dtype == np.float32
    np.testing.assert_allclose(r, [0.0, -20.0, -240.0], atol=1e-4)
    r = spectral.magnitude_db_cf64(np.array([1, 0.1, 0], np.complex128), 1e-12, 0.0)
    np.testing.assert_allclose(r, [0.0, -20.0, -240.0], atol=1e-4)
    # offset added; lin_floor only where it exceeds |x|
    r = spectral.magnitude_db_cf32(np.array([1e-3, 1.0], np.complex64), 1e-2, 3.0)
    np.testing.assert_allclose(r, [-37.0, 3.0], atol=1e-4)


def test_magnitude_db_matches_numpy():
    rng = np.random.default_rng(2)
    x = (rng.standard_normal((6, 50)) + 1j * rng.standard_normal((6, 50))).astype(np.complex64)
    r32 = spectral.magnitude_db_cf32(x, 1e-9, -3.5)
    assert r32.shape == (300,)
    np.testing.assert_allclose(r32, 20 * np.log10(np.abs(x.ravel())) - 3.5, atol=2e-5)
    xd = x.astype(np.complex128)
    r64 = spectral.magnitude_db_cf64(x=xd, lin_floor=1e-9, offset_db=-3.5)
    ref = (20 * np.log10(np.abs(xd.ravel()))).astype(np.float32) + np.float32(-3.5)
    np.testing.assert_array_max_ulp(r64, ref, maxulp=1)
    assert spectral.magnitude_db_cf32(np.zeros(0, np.complex64), 1e-12, 0).shape == (0,)


def test_magnitude_db_conversion_errors():
    with pytest.raises(TypeError):
        spectral.magnitude_db_cf32(np.zeros(4, np.complex128), 1e-12, 0.0)  # unsafe cast
    with pytest.raises(TypeError):
        spectral.magnitude_db_cf32(np.zeros(4, np.complex64), "x", 0.0)
    # a safe cast is accepted
    r = spectral.magnitude_db_cf64(np.ones(3, np.complex64), 1e-12, 0.0)
    np.testing.assert_array_equal(r, 0.0)


# --- peaks ------------------------------------------------------------------------------------------

def ref_peaks(db, n_peaks, min_db):
    """Independent re-statement of the peak rule in float32."""
    f = np.float32
    n = len(db)
    out = []
    if n <= 2 or n_peaks == 0:
        return out
    for i in range(1, n - 1):
        v, l, r = f(db[i]), f(db[i - 1]), f(db[i + 1])
        if v > f(min_db) and v > l and v >= r:
            d = (l + r) - f(2) * v
            delta = f(0) if d == 0 else np.clip(f(0.5) * (l - r) / d, f(-0.5), f(0.5))
            fr = (f(i - n // 2) + delta) * (f(1) / f(n))
            lv = v + f(0.25) * (r - l) * delta
            out.append((float(fr), float(lv)))
    out.sort(key=lambda p: -p[1])
    return out[:n_peaks]


def test_find_peaks_reference_case():
    db = np.full(32, -60, np.float32)
    db[7:10] = [-15, -10, -15]
    assert spectral.find_peaks_f32(db, 4, -30.0) == [(-0.25, -10.0)]
    assert spectral.find_peaks_f32(db=db, n_peaks=4, min_db=-9.0) == []  # gate is strict


def test_find_peaks_edges_plateaus_and_short_traces():
    db = np.full(16, -50, np.float32)
    db[0] = 0.0
    db[-1] = 0.0
    assert spectral.find_peaks_f32(db, 8, -100.0) == []
    db = np.full(16, -50, np.float32)
    db[5:7] = -10.0  # two equal maxima: only the left one is a candidate (refined halfway)
    (p,) = spectral.find_peaks_f32(db, 8, -100.0)
    assert p == ((5 - 8 + 0.5) / 16, -5.0)
    assert spectral.find_peaks_f32(np.array([0, 1], np.float32), 4, -100) == []
    assert spectral.find_peaks_f32(np.array([0, 1, 0], np.float32), 0, -100) == []
    assert spectral.find_peaks_f32(np.zeros(0, np.float32), 4, -100) == []


def test_find_peaks_parabolic_refinement():
    # A parabola sampled at three bins is recovered exactly: vertex at i + 0.3.
    n, i, x0 = 64, 20, 0.3
    k = np.arange(n)
    db = (-40 - 4.0 * (k - i - x0) ** 2).astype(np.float32)
    db[db < -80] = -80
    (fr, lv), = spectral.find_peaks_f32(db, 1, -70.0)
    assert fr == pytest.approx((i - n // 2 + x0) / n, abs=1e-6)
    assert lv == pytest.approx(-40.0, abs=1e-4)


def test_find_peaks_random_traces_match_reference():
    rng = np.random.default_rng(3)
    for n in (3, 10, 257, 1024):
        db = (rng.standard_normal(n) * 10).astype(np.float32)
        for n_peaks in (1, 5, n):
            got = spectral.find_peaks_f32(db, n_peaks, -5.0)
            assert got == ref_peaks(db, n_peaks, -5.0)
    # n_peaks far beyond what a trace can hold (no oversized reservation)
    db = (rng.standard_normal(100)).astype(np.float32)
    assert spectral.find_peaks_f32(db, 2**64 - 1, -100.0) == ref_peaks(db, 10**9, -100.0)


def test_find_peaks_non_finite_values_do_not_break_ordering():
    db = np.full(64, -60, np.float32)
    db[10] = np.nan
    db[20] = np.inf
    db[30] = -10
    db[40] = -20
    got = spectral.find_peaks_f32(db, 16, -100.0)
    assert got[0][1] == np.inf and [p[1] for p in got[1:]] == [-10.0, -20.0]


def test_find_peaks_core_writes_at_most_n_peaks():
    lib = native.lib("spectral")
    f = native.fn(lib, "find_peaks_f32", native.c_size, native.c_void_p, native.c_size,
                  native.c_size, native.c_void_p, native.c_float)
    db = np.zeros(64, np.float32)
    db[1:63:2] = 1.0  # 31 peaks
    out = np.full(8, 7.0, np.float32)  # room for 3 records + sentinel
    assert f(native.ptr(db), 64, 3, native.ptr(out), ctypes.c_float(0.5)) == 3
    assert np.all(out[6:] == 7.0)


# --- occupied bandwidth ------------------------------------------------------------------------------

def ref_obw(p, fs, frac):
    total = float(np.sum(p))
    if len(p) == 0 or total <= 0:
        return 0.0
    s, lo = 0.0, None
    for i, v in enumerate(p):
        s += v
        if lo is None and s >= (1 - frac) / 2 * total:
            lo = i
        if s >= (1 + frac) / 2 * total:
            return (i - lo + 1) * fs / len(p)
    return (len(p) - 1 - (lo or 0) + 1) * fs / len(p)


def test_obw_constructed_cases():
    p = np.zeros(100)
    p[37] = 2.0
    for frac in (0.01, 0.5, 0.99):
        assert spectral.obw_from_power(p, 1000.0, frac) == 10.0
    assert spectral.obw_from_power(p, 1000.0, 1.0) == 38 * 10.0  # lower edge is bin 0
    assert spectral.obw_from_power(np.ones(50), 2.0, 1.0) == 2.0
    assert spectral.obw_from_power(np.zeros(50), 2.0, 0.99) == 0.0
    assert spectral.obw_from_power(np.zeros(0), 2.0, 0.99) == 0.0
    assert spectral.obw_from_power(-np.ones(8), 2.0, 0.99) == 0.0


def test_obw_random_matches_reference():
    rng = np.random.default_rng(4)
    for _ in range(20):
        p = rng.random(rng.integers(1, 300)) ** 4
        frac = float(rng.random())
        assert spectral.obw_from_power(pwr=p, fs=48e3, frac=frac) == pytest.approx(
            ref_obw(p, 48e3, frac))
    with pytest.raises(TypeError):
        spectral.obw_from_power(np.ones(3, np.complex128), 1.0, 0.5)


# --- noise floor -----------------------------------------------------------------------------------

def test_noise_floor_median():
    assert spectral.noise_floor_db(np.array([1, 3, 2, 4], np.float32)) == 2.5
    assert spectral.noise_floor_db(np.zeros(0, np.float32)) == 0.0
    assert spectral.noise_floor_db([5.0, -1.0, 2.0]) == 2.0
    rng = np.random.default_rng(5)
    for n in (1, 2, 999, 1000):
        x = (rng.standard_normal(n) * 20 - 90).astype(np.float32)
        assert spectral.noise_floor_db(x) == np.median(x.astype(np.float64))
    # NaN values sort to the top and never disturb the sort
    x = np.array([np.nan, 1, 2, np.nan, 3], np.float32)
    assert spectral.noise_floor_db(x) == 3.0


def test_helpers_exported_from_both_modules():
    for mod in ("spectral", "analyzer"):
        lib = native.lib(mod)
        f = native.fn(lib, "noise_floor_db", native.c_double, native.c_void_p, native.c_size)
        x = np.array([1, 3, 2, 4], np.float32)
        assert f(native.ptr(x), 4) == 2.5
