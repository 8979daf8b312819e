"""spectral.FFT, spectral.FFT2D and the FFT plan layer against numpy.fft."""

from __future__ import annotations

import numpy as np
import pytest

from ostrel import spectral

import native

RNG = np.random.default_rng(1234)

SMALL = list(range(1, 65))
PRIMES = [97, 997, 4099]
POW2 = [2**k for k in range(0, 17, 2)] + [2**k for k in (9, 11, 13, 15)]
# 2^a 3^b 5^c with the factor 16 (single-precision plan) and without it (widened to double).
SMOOTH16 = [16, 48, 80, 240, 720, 1200, 4800, 3 * 5**3 * 16]
SMOOTH = [8, 40, 75, 360, 1000, 1125, 3 * 5 * 8, 112, 16 * 7]
ALL_LENGTHS = SMALL + PRIMES + POW2 + SMOOTH16 + SMOOTH

TOL = {np.complex64: 2e-6, np.complex128: 1e-13}


def qualifies(n: int) -> bool:
    """Lengths with a single-precision plan: multiples of 16 with prime factors 2, 3, 5."""
    if n < 16 or n % 16:
        return False
    for f in (2, 3, 5):
        while n % f == 0:
            n //= f
    return n == 1


def cplx(n, dtype=np.complex128, rng=RNG):
    return (rng.standard_normal(n) + 1j * rng.standard_normal(n)).astype(dtype)


def reference(x, sign=-1, n=None):
    """Unnormalised DFT in double precision: forward for sign < 0, else backward."""
    x = np.asarray(x, np.complex128)
    n = len(x) if n is None else n
    return np.fft.fft(x, n) if sign < 0 else np.fft.ifft(x, n) * n


def assert_close(got, ref, dtype):
    """Max error relative to the transform's norm (robust for bins near zero)."""
    scale = max(np.linalg.norm(ref), 1e-300)
    err = np.abs(np.asarray(got, np.complex128) - ref).max() / scale
    assert err <= TOL[dtype], err


def misaligned(x, offset):
    """A copy of x living at byte `offset` of a fresh buffer (offset 8: complex64 elements on
    8-byte but not 16-byte boundaries)."""
    x = np.asarray(x)
    raw = np.zeros(x.nbytes + 128, np.uint8)
    base = (-raw.ctypes.data) % 64
    v = raw[base + offset: base + offset + x.nbytes].view(x.dtype)
    v[:] = x
    return v


# ----------------------------------------------------------------------------------------------
# 1-D transforms against numpy
# ----------------------------------------------------------------------------------------------
@pytest.mark.parametrize("n", ALL_LENGTHS)
def test_forward_matches_numpy_both_precisions(n):
    f = spectral.FFT(n)
    x = cplx(n)
    ref = reference(x)
    y64 = f.execute_cf64(x)
    assert y64.dtype == np.complex128 and y64.shape == (n,)
    assert_close(y64, ref, np.complex128)
    x32 = x.astype(np.complex64)
    y32 = f.execute_cf32(x32)
    assert y32.dtype == np.complex64 and y32.shape == (n,)
    assert_close(y32, reference(x32), np.complex64)
    if not qualifies(n):
        # The widened path: the double transform rounded once to float.
        rounded = f.execute_cf64(x32.astype(np.complex128)).astype(np.complex64)
        np.testing.assert_array_equal(y32, rounded)


@pytest.mark.parametrize("n", [48, 1024, 4800, 3840])
def test_qualifying_lengths_compute_in_single_precision(n):
    # A single-precision plan rounds inside the transform, so its result is not the double
    # transform rounded once (which the widened path gives bit for bit).
    f = spectral.FFT(n)
    x = cplx(n, np.complex64)
    y = f.execute_cf32(x)
    assert not np.array_equal(y, f.execute_cf64(x.astype(np.complex128)).astype(np.complex64))
    assert_close(y, reference(x), np.complex64)


@pytest.mark.parametrize("n", [1, 5, 16, 97, 1000, 1024])
@pytest.mark.parametrize("sign", [1, 0, 7])
def test_backward_for_nonnegative_sign(n, sign):
    f = spectral.FFT(n, sign=sign)
    assert f.sign == sign
    x = cplx(n)
    assert_close(f.execute_cf64(x), reference(x, +1), np.complex128)
    x32 = x.astype(np.complex64)
    assert_close(f.execute_cf32(x32), reference(x32, +1), np.complex64)


@pytest.mark.parametrize("n", [12, 1024, 1000, 4099])
def test_round_trip_is_scaled_by_n(n):
    fwd, inv = spectral.FFT(n, sign=-1), spectral.FFT(n, sign=+1)
    x = cplx(n)
    np.testing.assert_allclose(inv.execute_cf64(fwd.execute_cf64(x)), n * x, atol=1e-11 * n)
    x32 = x.astype(np.complex64)
    back = inv.execute_cf32(fwd.execute_cf32(x32))
    np.testing.assert_allclose(back, n * x32, atol=2e-5 * n)


def test_small_closed_forms():
    f = spectral.FFT(n=4, sign=-1)
    np.testing.assert_array_equal(f.execute_cf64([1, 0, 0, 0]), np.ones(4))
    np.testing.assert_array_equal(f.execute_cf32(np.ones(4, np.complex64)), [4, 0, 0, 0])
    np.testing.assert_array_equal(spectral.FFT(1).execute_cf64([3 - 2j]), [3 - 2j])


def test_defaults_and_threads():
    f = spectral.FFT()
    assert (f.n, f.sign) == (1024, -1)
    assert f.execute_cf64_max_out() == f.execute_cf32_max_out() == 1024
    assert f.execute_inplace_cf64_max_out() == f.execute_inplace_cf32_max_out() == 1024
    x = cplx(4096)
    t = spectral.FFT(4096, nthreads=2)
    assert_close(t.execute_cf64(x), reference(x), np.complex128)
    assert_close(t.execute_cf32(x.astype(np.complex64)), reference(x), np.complex64)


# ----------------------------------------------------------------------------------------------
# Alignment: the caller's buffer position never changes a result.
# ----------------------------------------------------------------------------------------------
@pytest.mark.parametrize("n", [16, 1000, 1024, 4099])
def test_misaligned_views_give_identical_results(n):
    f = spectral.FFT(n)
    for dtype, method, offsets in ((np.complex64, f.execute_cf32, (4, 8, 12)),
                                   (np.complex128, f.execute_cf64, (8, 24))):
        x = cplx(n, dtype)
        want = method(x)
        for off in offsets:
            xv = misaligned(x, off)
            np.testing.assert_array_equal(method(xv), want)
            out = misaligned(np.zeros(n, dtype), off)
            np.testing.assert_array_equal(method(xv, out=out), want)
            np.testing.assert_array_equal(out, want)
            out = misaligned(np.zeros(n, dtype), off)
            np.testing.assert_array_equal(method(x, out=out), want)


def test_misaligned_integer_input_and_inplace():
    n = 1024
    f = spectral.FFT(n)
    iq = RNG.integers(-32768, 32768, 2 * n).astype(np.int16)
    want = f.execute_ci16(iq)
    raw = np.zeros(iq.nbytes + 16, np.uint8)
    v = raw[2: 2 + iq.nbytes].view(np.int16)
    v[:] = iq
    np.testing.assert_array_equal(f.execute_ci16(v), want)
    x = cplx(n, np.complex64)
    want = f.execute_cf32(x)
    xv = misaligned(x, 8)
    np.testing.assert_array_equal(f.execute_inplace_cf32(xv, out=xv), want)
    np.testing.assert_array_equal(xv, want)


# ----------------------------------------------------------------------------------------------
# Integer input
# ----------------------------------------------------------------------------------------------
@pytest.mark.parametrize("n", [4, 16, 100, 1024, 1000])
def test_integer_full_scale_and_reference(n):
    f = spectral.FFT(n)
    for method, dtype, fs in ((f.execute_ci16, np.int16, 32768), (f.execute_ci8, np.int8, 128)):
        iq = np.zeros(2 * n, dtype)
        iq[0::2] = -fs
        y = method(iq)
        assert y.dtype == np.complex64 and y.shape == (n,)
        assert y[0] == -n and not np.any(y[1:])
        iq = RNG.integers(-fs, fs, 2 * n).astype(dtype)
        x = iq[0::2] / fs + 1j * iq[1::2] / fs
        assert_close(method(iq), reference(x), np.complex64)
    top = np.full(2 * n, 32767, np.int16)
    assert abs(f.execute_ci16(top)[0] - n * (1 - 2**-15) * (1 + 1j)) <= 1e-6 * n


def test_integer_odd_count_short_input_and_dtypes():
    f = spectral.FFT(8)
    iq = RNG.integers(-100, 100, 17).astype(np.int16)  # odd: the last value is ignored
    np.testing.assert_array_equal(f.execute_ci16(iq), f.execute_ci16(iq[:16]))
    short = iq[:6]  # three samples, zero-padded to eight
    x = short[0::2] / 32768 + 1j * short[1::2] / 32768
    assert_close(f.execute_ci16(short), reference(x, n=8), np.complex64)
    i8 = iq.astype(np.int8)
    # int8 converts safely to int16 (full scale 32768 then), int32 does not.
    np.testing.assert_allclose(f.execute_ci16(i8[:16]), f.execute_ci8(i8[:16]) / 256, rtol=1e-6)
    with pytest.raises(TypeError):
        f.execute_ci16(iq.astype(np.int32))
    with pytest.raises(TypeError):
        f.execute_ci16(iq, out=None)  # positional only, no out=
    with pytest.raises(TypeError):
        f.execute_ci8()
    assert f.execute_ci16(np.zeros(0, np.int16)).shape == (8,)


# ----------------------------------------------------------------------------------------------
# Short and long inputs, out= rules, in-place variants
# ----------------------------------------------------------------------------------------------
@pytest.mark.parametrize("n", [16, 1000])
def test_short_input_is_zero_padded(n):
    f = spectral.FFT(n)
    for k in (0, 1, 5, n - 1):
        x = cplx(k)
        assert_close(f.execute_cf64(x), reference(x, n=n), np.complex128)
        x32 = x.astype(np.complex64)
        assert_close(f.execute_cf32(x32), reference(x32, n=n), np.complex64)
        # The in-place variants pad with zeros too, whatever the buffer held before.
        out = np.full(n, 99 + 99j, np.complex64)
        assert_close(f.execute_inplace_cf32(x32, out=out), reference(x32, n=n), np.complex64)


def test_long_input_uses_first_n_samples():
    f = spectral.FFT(16)
    x = cplx(40)
    y = f.execute_cf64(x)
    assert y.shape == (16,)
    assert_close(y, reference(x[:16]), np.complex128)
    with pytest.raises(ValueError, match=r"^out has 16 elements, need >= 40$"):
        f.execute_cf64(x, out=np.zeros(16, np.complex128))
    out = np.zeros(40, np.complex128)
    assert f.execute_cf64(x, out=out).shape == (16,)


def test_out_longer_than_n_is_a_view_of_its_start():
    f = spectral.FFT(8)
    x = cplx(8, np.complex64)
    out = np.full(12, 5 + 5j, np.complex64)
    y = f.execute_cf32(x, out=out)
    assert y.shape == (8,) and np.shares_memory(y, out) and y.base is out
    np.testing.assert_array_equal(out[:8], f.execute_cf32(x))
    np.testing.assert_array_equal(out[8:], 5 + 5j)
    with pytest.raises(ValueError, match=r"^out has 7 elements, need >= 8$"):
        f.execute_cf32(x, out=np.zeros(7, np.complex64))


@pytest.mark.parametrize("bad", [np.zeros(8, np.complex128), np.zeros((8, 2), np.complex64)[:, 0],
                                 np.zeros((2, 4), np.complex64, order="F"), [0j] * 8])
def test_out_must_be_writable_contiguous_of_output_dtype(bad):
    f = spectral.FFT(8)
    message = "^out must be a writable, C-contiguous ndarray of the output dtype$"
    with pytest.raises(TypeError, match=message):
        f.execute_cf32(np.zeros(8, np.complex64), out=bad)
    ro = np.zeros(8, np.complex64)
    ro.flags.writeable = False
    with pytest.raises(TypeError, match="^out must be a writable"):
        f.execute_inplace_cf32(np.zeros(8, np.complex64), out=ro)


def test_input_dtype_rules_and_shapes():
    f = spectral.FFT(8)
    with pytest.raises(TypeError):
        f.execute_cf32(np.zeros(8, np.complex128))  # no unsafe cast
    x = cplx(8)
    np.testing.assert_array_equal(f.execute_cf64(x.reshape(2, 4)), f.execute_cf64(x))
    np.testing.assert_array_equal(f.execute_cf64(x.real), f.execute_cf64(x.real + 0j))
    np.testing.assert_array_equal(f.execute_cf64(list(x)), f.execute_cf64(x))


@pytest.mark.parametrize("n", [16, 1000])
def test_inplace_variants(n):
    f = spectral.FFT(n)
    for dtype, ip, op in ((np.complex64, f.execute_inplace_cf32, f.execute_cf32),
                          (np.complex128, f.execute_inplace_cf64, f.execute_cf64)):
        x = cplx(n, dtype)
        keep = x.copy()
        want = op(x)
        np.testing.assert_array_equal(ip(x), want)
        np.testing.assert_array_equal(x, keep)  # without out, x is left alone
        r = ip(x, out=x)
        assert r.base is x
        np.testing.assert_array_equal(x, want)


# ----------------------------------------------------------------------------------------------
# Core API: short output through the one-time scratch, plan layer
# ----------------------------------------------------------------------------------------------
def _lib():
    lib = native.lib("spectral")
    v, s, i = native.c_void_p, native.c_size, native.c_int
    native.fn(lib, "fft_create", v, native.c_u64, i, i)
    native.fn(lib, "fft_destroy", None, v)
    for name in ("fft_execute_cf64", "fft_execute_cf32", "fft_execute_inplace_cf64",
                 "fft_execute_inplace_cf32"):
        native.fn(lib, name, s, v, v, s, v, s)
    native.fn(lib, "fft_execute_ci16", s, v, v, s, v)
    native.fn(lib, "fft2d_create", v, native.c_u64, native.c_u64, i, i)
    native.fn(lib, "fft2d_destroy", None, v)
    native.fn(lib, "fft2d_execute_cf32", s, v, v, s, v, s)
    native.fn(lib, "fft2d_execute_inplace_cf64", s, v, v, s, v, s)
    native.fn(lib, "pocketfft_plan_1d", v, native.c_u64, i)
    native.fn(lib, "pocketfft_plan_2d", v, native.c_u64, native.c_u64, i)
    native.fn(lib, "pffft_try_setup", None, v)
    native.fn(lib, "pocketfft_destroy_plan", None, v)
    for name in ("pocketfft_execute_1d", "pocketfft_execute_1d_cf32", "pocketfft_execute_1d_ci16",
                 "pocketfft_execute_1d_ci8", "pocketfft_execute_2d", "pocketfft_execute_2d_cf32"):
        native.fn(lib, name, None, v, v, v)
    return lib


@pytest.fixture(scope="module")
def lib():
    return _lib()


P = native.ptr


@pytest.mark.parametrize("n", [16, 1000])
def test_core_short_output_returns_lowest_bins(lib, n):
    f = lib.fft_create(n, -1, 1)
    assert f
    try:
        x = cplx(n)
        full = reference(x)
        for cap in (0, 1, 5, n - 1):
            out = np.full(n, 7 + 7j, np.complex128)
            assert lib.fft_execute_cf64(f, P(x), n, P(out), cap) == cap
            np.testing.assert_allclose(out[:cap], full[:cap], atol=1e-9)
            assert np.all(out[cap:] == 7 + 7j)
            x32 = x.astype(np.complex64)
            o32 = np.full(n, 7 + 7j, np.complex64)
            assert lib.fft_execute_inplace_cf32(f, P(x32), n, P(o32), cap) == cap
            np.testing.assert_allclose(o32[:cap], reference(x32)[:cap], atol=1e-4 * np.sqrt(n))
            assert np.all(o32[cap:] == 7 + 7j)
        out = np.zeros(n, np.complex128)
        assert lib.fft_execute_cf64(f, P(x), n, P(out), n) == n
        # Short input through the core: in_len < n reads in_len samples and pads.
        assert lib.fft_execute_cf64(f, P(x), 3, P(out), n) == n
        np.testing.assert_allclose(out, reference(x[:3], n=n), atol=1e-12)
        iq = np.array([-32768, 0] * n, np.int16)
        o32 = np.zeros(n, np.complex64)
        assert lib.fft_execute_ci16(f, P(iq), n, P(o32)) == n
        assert o32[0] == -n
    finally:
        lib.fft_destroy(f)
    lib.fft_destroy(None)


def test_core_create_failures(lib):
    assert not lib.fft_create(0, -1, 1)
    assert not lib.fft_create(2**63, -1, 1)
    assert not lib.fft2d_create(0, 8, -1, 1)
    assert not lib.fft2d_create(8, 0, -1, 1)
    assert not lib.fft2d_create(2**33, 2**33, -1, 1)
    assert not lib.pocketfft_plan_1d(0, -1)
    assert not lib.pocketfft_plan_2d(3, 0, 1)
    lib.pocketfft_destroy_plan(None)
    lib.pffft_try_setup(None)


@pytest.mark.parametrize("n", [48, 1000])
def test_plan_layer_1d(lib, n):
    p = lib.pocketfft_plan_1d(n, -1)
    assert p
    try:
        lib.pffft_try_setup(p)  # idempotent
        x = cplx(n)
        out = np.zeros(n, np.complex128)
        lib.pocketfft_execute_1d(p, P(x), P(out))
        assert_close(out, reference(x), np.complex128)
        y = x.copy()
        lib.pocketfft_execute_1d(p, P(y), P(y))  # in == out
        np.testing.assert_array_equal(y, out)
        x32 = x.astype(np.complex64)
        o32 = np.zeros(n, np.complex64)
        lib.pocketfft_execute_1d_cf32(p, P(x32), P(o32))
        assert_close(o32, reference(x32), np.complex64)
        iq16 = RNG.integers(-32768, 32768, 2 * n).astype(np.int16)
        lib.pocketfft_execute_1d_ci16(p, P(iq16), P(o32))
        assert_close(o32, reference(iq16[0::2] / 32768 + 1j * iq16[1::2] / 32768), np.complex64)
        iq8 = RNG.integers(-128, 128, 2 * n).astype(np.int8)
        lib.pocketfft_execute_1d_ci8(p, P(iq8), P(o32))
        assert_close(o32, reference(iq8[0::2] / 128 + 1j * iq8[1::2] / 128), np.complex64)
    finally:
        lib.pocketfft_destroy_plan(p)


@pytest.mark.parametrize("ny,nx", [(3, 5), (48, 80), (16, 40)])
def test_plan_layer_2d(lib, ny, nx):
    p = lib.pocketfft_plan_2d(ny, nx, +1)
    assert p
    try:
        x = cplx(ny * nx)
        want = np.fft.ifft2(x.reshape(ny, nx)).ravel() * ny * nx
        out = np.zeros(ny * nx, np.complex128)
        lib.pocketfft_execute_2d(p, P(x), P(out))
        assert_close(out, want, np.complex128)
        x32 = x.astype(np.complex64)
        lib.pocketfft_execute_2d_cf32(p, P(x32), P(x32))  # in == out
        assert_close(x32, want, np.complex64)
    finally:
        lib.pocketfft_destroy_plan(p)


def test_core_2d_short_output_and_input(lib):
    ny, nx = 6, 10
    f = lib.fft2d_create(ny, nx, -1, 1)
    assert f
    try:
        x = cplx(ny * nx, np.complex64)
        full = np.fft.fft2(x.astype(np.complex128).reshape(ny, nx)).ravel()
        out = np.full(ny * nx, 3j, np.complex64)
        assert lib.fft2d_execute_cf32(f, P(x), ny * nx, P(out), 17) == 17
        np.testing.assert_allclose(out[:17], full[:17], atol=1e-4)
        assert np.all(out[17:] == 3j)
        x64 = x.astype(np.complex128)
        o64 = np.full(ny * nx, 3j, np.complex128)
        assert lib.fft2d_execute_inplace_cf64(f, P(x64), 7, P(o64), ny * nx) == ny * nx
        pad = np.zeros(ny * nx, np.complex128)
        pad[:7] = x64[:7]
        assert_close(o64, np.fft.fft2(pad.reshape(ny, nx)).ravel(), np.complex128)
    finally:
        lib.fft2d_destroy(f)
    lib.fft2d_destroy(None)


# ----------------------------------------------------------------------------------------------
# FFT2D
# ----------------------------------------------------------------------------------------------
SHAPES = [(1, 1), (1, 7), (7, 1), (3, 5), (4, 4), (16, 48), (48, 80), (48, 40), (64, 64),
          (16, 64), (5, 64), (32, 97)]


@pytest.mark.parametrize("ny,nx", SHAPES)
@pytest.mark.parametrize("sign", [-1, 1])
def test_fft2d_matches_numpy(ny, nx, sign):
    f = spectral.FFT2D(ny, nx, sign)
    assert (f.ny, f.nx, f.sign) == (ny, nx, sign)
    t = ny * nx
    x = cplx(t)
    grid = x.reshape(ny, nx)
    want = (np.fft.fft2(grid) if sign < 0 else np.fft.ifft2(grid) * t).ravel()
    y = f.execute_cf64(grid)  # any shape is taken flat
    assert y.shape == (t,) and y.dtype == np.complex128
    assert_close(y, want, np.complex128)
    x32 = x.astype(np.complex64)
    want32 = (np.fft.fft2 if sign < 0 else lambda g: np.fft.ifft2(g) * t)(
        x32.astype(np.complex128).reshape(ny, nx)).ravel()
    y32 = f.execute_cf32(x32)
    assert y32.shape == (t,) and y32.dtype == np.complex64
    assert_close(y32, want32, np.complex64)
    np.testing.assert_array_equal(f.execute_cf32(misaligned(x32, 8)), y32)
    np.testing.assert_array_equal(f.execute_cf64(misaligned(x, 8)), y)
    out = misaligned(np.zeros(t, np.complex64), 8)
    np.testing.assert_array_equal(f.execute_inplace_cf32(x32, out=out), y32)
    np.testing.assert_array_equal(f.execute_inplace_cf64(x), y)
    assert f.execute_cf32_max_out() == f.execute_cf64_max_out() == t
    assert f.execute_inplace_cf32_max_out() == f.execute_inplace_cf64_max_out() == t


def test_fft2d_closed_forms_and_round_trip():
    f = spectral.FFT2D(ny=4, nx=4, sign=-1)
    impulse = np.zeros(16)
    impulse[0] = 1
    for m in (f.execute_cf64, f.execute_inplace_cf64):
        np.testing.assert_array_equal(m(impulse), np.ones(16))
    for m in (f.execute_cf32, f.execute_inplace_cf32):
        np.testing.assert_array_equal(m(impulse.astype(np.complex64)), np.ones(16))
    ones = f.execute_cf64(np.ones((4, 4)))
    assert ones[0] == 16 and not np.any(ones[1:])
    fwd, inv = spectral.FFT2D(12, 20, -1), spectral.FFT2D(12, 20, 1)
    x = cplx(240)
    np.testing.assert_allclose(inv.execute_cf64(fwd.execute_cf64(x)), 240 * x, atol=1e-10)
    d = spectral.FFT2D()
    assert (d.ny, d.nx, d.sign) == (64, 64, -1)


def test_fft2d_short_input_out_rules_inplace():
    f = spectral.FFT2D(4, 6)
    x = cplx(10)
    pad = np.zeros(24, np.complex128)
    pad[:10] = x
    want = np.fft.fft2(pad.reshape(4, 6)).ravel()
    assert_close(f.execute_cf64(x), want, np.complex128)
    assert_close(f.execute_inplace_cf32(x.astype(np.complex64)), want, np.complex64)
    with pytest.raises(ValueError, match=r"^out has 23 elements, need >= 24$"):
        f.execute_cf64(pad, out=np.zeros(23, np.complex128))
    with pytest.raises(TypeError, match="^out must be a writable"):
        f.execute_cf64(pad, out=np.zeros(24, np.complex64))
    buf = pad.copy()
    r = f.execute_inplace_cf64(buf, out=buf)
    assert r.base is buf
    assert_close(buf, want, np.complex128)


# ----------------------------------------------------------------------------------------------
# Construction failures, lifecycle, messages
# ----------------------------------------------------------------------------------------------
def test_constructor_failures():
    with pytest.raises(ValueError, match="^n must be >= 1, got 0$"):
        spectral.FFT(n=0)
    with pytest.raises(ValueError, match="^n=18446744073709551615 needs about .* more than this machine's memory"):
        spectral.FFT(n=2**64 - 1)  # far too large: refused before anything is allocated
    with pytest.raises(OverflowError):
        spectral.FFT(n=-1)  # counts are never wrapped
    with pytest.raises(ValueError, match="^ny must be >= 1, got 0$"):
        spectral.FFT2D(ny=0, nx=4)
    with pytest.raises(ValueError, match="^nx must be >= 1, got 0$"):
        spectral.FFT2D(ny=4, nx=0)
    with pytest.raises(TypeError):
        spectral.FFT(n=8, bogus=1)
    with pytest.raises(TypeError):
        spectral.FFT2D(4, 4, -1, 1, 5)


@pytest.mark.parametrize("make", [lambda: spectral.FFT(8), lambda: spectral.FFT2D(2, 4)])
def test_destroyed_everywhere(make):
    obj = make()
    names = [m for m in dir(obj) if m.startswith("execute")]
    assert obj.destroy() is None and obj.destroy() is None
    for name in names:
        with pytest.raises(RuntimeError, match="^destroyed$"):
            m = getattr(obj, name)
            if name.endswith("_max_out"):
                m()
            elif name in ("execute_ci16", "execute_ci8"):
                m(np.zeros(16, np.int16))
            else:
                m(np.zeros(8, np.complex128 if "cf64" in name else np.complex64))
    props = ("n", "sign") if isinstance(obj, spectral.FFT) else ("ny", "nx", "sign")
    for p in props:
        with pytest.raises(RuntimeError, match="^destroyed$"):
            getattr(obj, p)
    with pytest.raises(RuntimeError, match="^destroyed$"):
        obj.reset()


def test_context_manager_reset_and_readonly_properties():
    with spectral.FFT(8) as f:
        assert isinstance(f, spectral.FFT)
        assert f.reset() is None
        with pytest.raises(AttributeError):
            f.n = 4
    with pytest.raises(RuntimeError, match="^destroyed$"):
        f.execute_cf32(np.zeros(8, np.complex64))
    with pytest.raises(ZeroDivisionError):
        with spectral.FFT2D(2, 2) as g:
            1 / 0
    with pytest.raises(RuntimeError, match="^destroyed$"):
        g.nx
    with pytest.raises(TypeError):
        class Sub(spectral.FFT):  # final types
            pass


def test_docstrings_and_signatures():
    import inspect
    assert str(inspect.signature(spectral.FFT)) == "(n=1024, sign=-1, nthreads=1)"
    assert str(inspect.signature(spectral.FFT2D)) == "(ny=64, nx=64, sign=-1, nthreads=1)"
    f = spectral.FFT(8)
    assert str(inspect.signature(f.execute_ci16)) == "(iq, /)"
    assert str(inspect.signature(f.execute_cf32)) == "(x, out=None)"
    assert spectral.FFT.n.__doc__ == "Transform length (samples)."
    assert spectral.FFT.sign.__doc__ == "-1 forward, +1 inverse."
    assert spectral.FFT2D.ny.__doc__ == "Row count."
    assert spectral.FFT2D.nx.__doc__ == "Column count."
    assert "No-op reset (plans are immutable after creation)." in spectral.FFT.reset.__doc__
    assert "No-op reset (plans are immutable after creation)." in spectral.FFT2D.reset.__doc__
    order = [k for k in vars(spectral) if k in ("FFT", "FFT2D", "PSD")]
    assert order[:2] == ["FFT", "FFT2D"]


def test_block_argument_shapes_and_input_conversions():
    f = spectral.FFT(8)
    x = cplx(8, np.complex64)
    want = f.execute_cf32(x)
    for call in (lambda o: f.execute_cf32(x, o), lambda o: f.execute_cf32(x, out=o),
                 lambda o: f.execute_cf32(x=x, out=o), lambda o: f.execute_cf32(out=o, x=x)):
        o = np.zeros(8, np.complex64)
        np.testing.assert_array_equal(call(o), want)
        np.testing.assert_array_equal(o, want)
    np.testing.assert_array_equal(f.execute_cf32(x, None), want)
    np.testing.assert_array_equal(f.execute_cf32(x, out=None), want)
    with pytest.raises(TypeError):
        f.execute_cf32(x, outt=np.zeros(8, np.complex64))
    with pytest.raises(TypeError):
        f.execute_cf32(x, np.zeros(8, np.complex64), None)
    with pytest.raises(TypeError):
        f.execute_cf32()
    with pytest.raises(TypeError):
        f.execute_cf32(x, x=x)
    # Byte-swapped, strided and subclass inputs are converted, never misread.
    np.testing.assert_array_equal(f.execute_cf32(x.astype(">c8")), want)
    strided = np.zeros(16, np.complex64)
    strided[::2] = x
    np.testing.assert_array_equal(f.execute_cf32(strided[::2]), want)

    class Sub(np.ndarray):
        pass

    np.testing.assert_array_equal(f.execute_cf32(x.view(Sub)), want)


def test_planning_and_execution_from_several_threads(lib):
    # ctypes calls run without the interpreter lock: native callers planning, executing and
    # destroying objects on several threads at once (FFTW's planner is global state).
    import threading

    errors = []

    def worker(seed):
        rng = np.random.default_rng(seed)
        try:
            for k in range(25):
                n = int(rng.choice([16, 48, 97, 1000, 1024, 240]))
                f = lib.fft_create(n, -1, 1 + k % 2)
                assert f
                x = cplx(n, np.complex64, rng)
                out = np.zeros(n, np.complex64)
                assert lib.fft_execute_cf32(f, P(x), n, P(out), n) == n
                assert np.abs(out - reference(x)).max() <= 1e-5 * np.linalg.norm(reference(x))
                lib.fft_destroy(f)
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)

    threads = [threading.Thread(target=worker, args=(s,)) for s in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors


def rounded_passes(grid, sign=-1):
    """The separable 2-D DFT of a complex64 grid in double precision, rounded to complex64
    after the row pass and again after the column pass."""
    fft = np.fft.fft if sign < 0 else (lambda a, axis: np.fft.ifft(a, axis=axis) * a.shape[axis])
    rows = fft(grid.astype(np.complex128), axis=1).astype(np.complex64)
    return fft(rows.astype(np.complex128), axis=0).astype(np.complex64).ravel()


@pytest.mark.parametrize("ny,nx,single", [(48, 80, True), (16, 48, True), (48, 40, False),
                                          (3, 5, False), (112, 16, False)])
def test_fft2d_precision_rule(ny, nx, single):
    # Single precision only when both dimensions qualify; otherwise each row is widened,
    # transformed and rounded back, then each column of that result likewise.
    f = spectral.FFT2D(ny, nx)
    x = cplx(ny * nx, np.complex64)
    y = f.execute_cf32(x)
    once = f.execute_cf64(x.astype(np.complex128)).astype(np.complex64)
    if single:
        assert not np.array_equal(y, once)
    else:
        passes = rounded_passes(x.reshape(ny, nx))
        # Rounding each pass equals numpy's two rounded passes up to the last float bit (the
        # double transforms differ by a few ulps between libraries).
        np.testing.assert_allclose(y, passes, rtol=0, atol=4e-7 * np.abs(passes).max())
        assert np.mean(y == passes) > 0.99
    assert_close(y, np.fft.fft2(x.astype(np.complex128).reshape(ny, nx)).ravel(), np.complex64)


@pytest.mark.parametrize("sign", [-1, 1])
def test_fft2d_widened_path_rounds_after_the_row_pass(lib, sign):
    # Length-2 transforms are exact sums, so the intermediate rounding is visible bit for bit:
    # row 0 of [[1, 2^-30], [-1, 0]] is (1 + 2^-30, 1 - 2^-30), which rounds to (1, 1) in float,
    # so the column sums give exactly 0 at (0, 0) and (0, 1), not 2^-30.
    x = np.array([1.0, 2.0**-30, -1.0, 0.0], np.complex64)
    want = rounded_passes(x.reshape(2, 2), sign)
    np.testing.assert_array_equal(want, [0, 0, 2, 2])
    f = spectral.FFT2D(2, 2, sign)
    for m in (f.execute_cf32, f.execute_inplace_cf32):
        np.testing.assert_array_equal(m(x), want)
    buf = x.copy()
    f.execute_inplace_cf32(buf, out=buf)
    np.testing.assert_array_equal(buf, want)
    p = lib.pocketfft_plan_2d(2, 2, sign)
    try:
        out = np.zeros(4, np.complex64)
        lib.pocketfft_execute_2d_cf32(p, P(x), P(out))
        np.testing.assert_array_equal(out, want)
    finally:
        lib.pocketfft_destroy_plan(p)
    # The double-precision calls keep the exact result.
    assert f.execute_cf64(x.astype(np.complex128))[0] == 2.0**-30


def test_nthreads_is_accepted_and_ignored():
    # The transforms are single-threaded: a large nthreads starts no worker threads.
    code = (
        "import os, numpy as np\n"
        "from ostrel import spectral\n"
        "def tasks(): return len(os.listdir('/proc/self/task'))\n"
        "before = tasks()\n"
        "f = spectral.FFT(1 << 16, nthreads=4)\n"
        "x = np.ones(1 << 16, np.complex128)\n"
        "y = f.execute_cf64(x); f.execute_cf32(x.astype(np.complex64))\n"
        "g = spectral.FFT2D(256, 256, nthreads=4); g.execute_cf64(np.ones(1 << 16))\n"
        "assert y[0] == 1 << 16 and not y[1:].any()\n"
        "print(before, tasks())\n")
    import os
    import subprocess
    import sys
    if not os.path.isdir("/proc/self/task"):
        pytest.skip("needs /proc")
    env = dict(os.environ, OMP_NUM_THREADS="1", OPENBLAS_NUM_THREADS="1")
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env,
                       cwd="/", timeout=60)
    assert r.returncode == 0, r.stderr
    before, after = map(int, r.stdout.split())
    assert after == before
