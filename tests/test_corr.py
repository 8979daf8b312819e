"""FFT correlators (spectral.Corr, spectral.Corr2D): outputs against NumPy circular
cross-correlation and a direct band-limited interpolant, integrate-and-dump, the two modes of the
2-D correlator, the short-output and reference-swap core paths, state blobs and messages."""

from __future__ import annotations

import ctypes
import struct

import numpy as np
import pytest

from ostrel import spectral

import native
from streaming import assert_restore_continues, fuzz_blobs

C64 = np.complex64


def cnoise(shape, seed):
    rng = np.random.default_rng(seed)
    return (rng.standard_normal(shape) + 1j * rng.standard_normal(shape)).astype(C64)


def xcorr(x, ref):
    """sum_j x[(j + m) % n] * conj(ref[j]), in double precision."""
    return np.fft.ifft(np.fft.fft(x.astype(complex)) * np.conj(np.fft.fft(ref.astype(complex))))


def xcorr2(x, ref):
    return np.fft.ifft2(np.fft.fft2(x.astype(complex)) * np.conj(np.fft.fft2(ref.astype(complex))))


def interp_matrix(n, m):
    """Rows evaluate the band-limited interpolant of n samples at t = k * n / m (k < m): signed
    frequencies, the Nyquist bin of an even n as a cosine."""
    f = np.fft.fftfreq(n, 1.0 / n)
    t = np.arange(m) * n / m
    e = np.exp(2j * np.pi * np.outer(t, f) / n)
    if n % 2 == 0:
        e[:, n // 2] = np.cos(np.pi * t)
    return e @ np.fft.fft(np.eye(n)) / n


def close(got, want, rel=2e-5):
    scale = max(np.abs(want).max(), 1e-30)
    np.testing.assert_allclose(got, want, atol=rel * scale * np.sqrt(want.size), rtol=0)


# --- 1-D correlator -----------------------------------------------------------------------------

def test_documented_examples():
    c = spectral.Corr(np.array([1, 0, 0, 0], C64), dwell=2)
    assert c.execute(np.ones(4, C64)) is None and c.count == 1
    np.testing.assert_array_equal(c.execute(np.ones(4, C64)), [2, 2, 2, 2])
    assert c.count == 0
    imp = np.zeros(16, C64)
    imp[0] = 1
    c = spectral.Corr(imp)
    np.testing.assert_allclose(c.execute(imp), imp, atol=1e-7)
    assert np.argmax(np.abs(c.execute(np.roll(imp, 5)))) == 5


@pytest.mark.parametrize("n,dwell", [(1024, 1), (1000, 3), (37, 2), (4800, 4)])
def test_matches_numpy_circular_xcorr(n, dwell):
    ref = cnoise(n, 1)
    frames = cnoise((2 * dwell, n), 2)
    c = spectral.Corr(ref, dwell=dwell)
    assert (c.n, c.n_out, c.dwell) == (n, n, dwell)
    for k in range(2):
        outs = [c.execute(f) for f in frames[k * dwell:(k + 1) * dwell]]
        assert all(o is None for o in outs[:-1]) and outs[-1].dtype == C64
        want = sum(xcorr(f, ref) for f in frames[k * dwell:(k + 1) * dwell])
        close(outs[-1], want)


@pytest.mark.parametrize("n,n_out", [(64, 128), (64, 100), (63, 200), (10, 10), (1, 4)])
def test_interpolated_output(n, n_out):
    ref, x = cnoise(n, 3), cnoise(n, 4)
    got = spectral.Corr(ref, n_out=n_out).execute(x)
    assert got.shape == (n_out,)
    exact = xcorr(x, ref)
    close(got, interp_matrix(n, n_out) @ exact)
    if n_out % n == 0:  # integer lags keep their values
        close(got[:: n_out // n], exact)


def test_count_cycles_and_reset_discards_partial_sum():
    ref, x = cnoise(32, 5), cnoise((7, 32), 6)
    c = spectral.Corr(ref, dwell=3)
    counts = []
    for f in x[:6]:
        c.execute(f)
        counts.append(c.count)
    assert counts == [1, 2, 0, 1, 2, 0]
    c.execute(x[0])
    c.reset()
    assert c.count == 0
    assert c.execute(x[4]) is None and c.execute(x[5]) is None
    close(c.execute(x[6]), sum(xcorr(f, ref) for f in x[4:7]))


def test_short_frame_zero_padded_long_frame_truncated():
    ref, x = cnoise(48, 7), cnoise(60, 8)
    a, b = spectral.Corr(ref), spectral.Corr(ref)
    short = x[:30]
    np.testing.assert_array_equal(a.execute(short),
                                  b.execute(np.concatenate([short, np.zeros(18, C64)])))
    out = np.full(60, 9, C64)
    got = a.execute(x, out=out)
    assert np.shares_memory(got, out) and got.shape == (48,)
    np.testing.assert_array_equal(got, b.execute(x[:48]))
    assert (out[48:] == 9).all()


def test_out_given_on_a_non_dump_call_returns_none_and_keeps_out():
    c = spectral.Corr(cnoise(16, 9), dwell=2)
    out = np.full(16, 3, C64)
    assert c.execute(cnoise(16, 10), out=out) is None
    assert (out == 3).all()


# --- 2-D correlator -----------------------------------------------------------------------------

def test_documented_2d_examples():
    for pos, row_mode in (((0, 0), True), ((1, 1), False)):
        ref = np.zeros((2, 2), C64)
        ref[pos] = 1
        c = spectral.Corr2D(ref, dwell=2)
        assert c.row_mode is row_mode
        assert c.execute(np.ones((2, 2), C64)) is None
        np.testing.assert_allclose(c.execute(np.ones((2, 2), C64)), [2, 2, 2, 2], atol=1e-6)
    ref = np.zeros((4, 8), C64)
    ref[1, 3] = 1
    out = spectral.Corr2D(ref).execute(np.roll(ref, (2, 5), axis=(0, 1)))
    assert np.argmax(np.abs(out)) == 2 * 8 + 5


@pytest.mark.parametrize("ny,nx,row_only,dwell", [
    (4, 16, True, 1), (8, 20, True, 3), (1, 33, True, 2), (5, 6, False, 1), (16, 48, False, 2),
    (3, 5, False, 1)])
def test_2d_matches_numpy(ny, nx, row_only, dwell):
    ref = cnoise((ny, nx), ny * nx)
    if row_only:
        ref[1:] = 0
    frames = cnoise((dwell, ny, nx), 11)
    c = spectral.Corr2D(ref, dwell=dwell)
    assert c.row_mode is row_only and (c.ny, c.nx, c.n_out) == (ny, nx, ny * nx)
    outs = [c.execute(f) for f in frames]
    assert all(o is None for o in outs[:-1])
    close(outs[-1].reshape(ny, nx), sum(xcorr2(f, ref) for f in frames))


def test_row_mode_equals_2d_mode():
    """The same row-only reference through both paths (a non-zero below row 0 forces 2-D mode,
    and a second reference swaps it back to row-only content)."""
    ref = cnoise((6, 32), 12)
    ref[1:] = 0
    full = ref.copy()
    full[3, 3] = 1
    x = cnoise((6, 32), 13)
    rows = spectral.Corr2D(ref)
    two_d = native.Core(lib(), "corr2d", full.ctypes.data, 6, 32, 1, 1, 0, 0)
    assert two_d.call("set_ref", ref.ctypes.data) == 0
    out = np.zeros(6 * 32, C64)
    assert two_d.call("execute", x.ctypes.data, x.size, out.ctypes.data, out.size) == out.size
    close(rows.execute(x), out)


@pytest.mark.parametrize("shape,out_shape,row_mode", [
    ((4, 16), (4, 32), True), ((4, 16), (8, 16), False), ((5, 12), (7, 30), False),
    ((3, 7), (3, 7), False), ((1, 10), (1, 25), True)])
def test_2d_decoupled_outputs(shape, out_shape, row_mode):
    ny, nx = shape
    ref = cnoise(shape, 14)
    if row_mode:
        ref[1:] = 0
    else:
        ref[-1, -1] += 1
    x = cnoise(shape, 15)
    c = spectral.Corr2D(ref, ny_out=out_shape[0], nx_out=out_shape[1])
    assert c.row_mode is row_mode and (c.ny_out, c.nx_out) == out_shape
    got = c.execute(x).reshape(out_shape)
    want = interp_matrix(ny, out_shape[0]) @ xcorr2(x, ref) @ interp_matrix(nx, out_shape[1]).T
    close(got, want)


def test_2d_short_frame_zero_padded():
    for row_only in (True, False):
        ref = cnoise((4, 8), 16)
        if row_only:
            ref[1:] = 0
        x = cnoise(19, 17)
        a, b = spectral.Corr2D(ref), spectral.Corr2D(ref)
        np.testing.assert_array_equal(a.execute(x), b.execute(np.concatenate([x, np.zeros(13, C64)])))


# --- core-only paths ----------------------------------------------------------------------------

def lib():
    library = native.lib("spectral")
    vp, u64, sz = native.c_void_p, native.c_u64, native.c_size
    native.fn(library, "corr_create", vp, vp, u64, u64, native.c_int, u64)
    native.fn(library, "corr2d_create", vp, vp, u64, u64, u64, native.c_int, u64, u64)
    for p in ("corr", "corr2d"):
        native.fn(library, f"{p}_destroy", None, vp)
        native.fn(library, f"{p}_execute", sz, vp, vp, sz, vp, sz)
        native.fn(library, f"{p}_state_bytes", sz, vp)
        native.fn(library, f"{p}_get_state", None, vp, vp)
        native.fn(library, f"{p}_set_state", native.c_int, vp, ctypes.c_char_p)
    native.fn(library, "corr_set_ref", None, vp, vp)
    native.fn(library, "corr2d_set_ref", native.c_int, vp, vp)
    native.fn(library, "corr2d_zeropad_1d", None, vp, u64, vp, u64)
    return library


@pytest.mark.parametrize("n,m", [(8, 8), (8, 12), (7, 12), (1, 3), (2, 5)])
def test_zeropad_1d(n, m):
    src = cnoise(n, n + m)
    dst = np.full(m, 7, C64)
    lib().corr2d_zeropad_1d(src.ctypes.data, n, dst.ctypes.data, m)
    h = n // 2
    want = np.zeros(m, C64)
    if m == n:
        want = src
    else:
        want[:h + 1] = src[:h + 1]
        want[m - n + h + 1:] = src[h + 1:]
        if n % 2 == 0:
            want[h] = want[m - h] = src[h] * np.float32(0.5)
    np.testing.assert_array_equal(dst, want)


@pytest.mark.parametrize("prefix,row_mode", [("corr", None), ("corr2d", True),
                                             ("corr2d", False)])
def test_short_output_and_reference_swap(prefix, row_mode):
    ref, ref2, x = cnoise(24, 18), cnoise(24, 19), cnoise(24, 20)
    args = (24, 1, 1, 0) if prefix == "corr" else (3, 8, 1, 1, 0, 0)
    if row_mode:
        ref[8:] = ref2[8:] = 0
    c = native.Core(lib(), prefix, ref.ctypes.data, *args)
    full = np.zeros(24, C64)
    assert c.call("execute", x.ctypes.data, 24, full.ctypes.data, 24) == 24
    short = np.full(24, 5, C64)
    assert c.call("execute", x.ctypes.data, 24, short.ctypes.data, 10) == 10
    np.testing.assert_array_equal(short[:10], full[:10])
    assert (short[10:] == 5).all()
    assert c.call("execute", x.ctypes.data, 24, short.ctypes.data, 0) == 0  # dump, nothing written
    assert c.call("execute", x.ctypes.data, 24, None, 24) == 0  # no out: the same
    rc = c.call("set_ref", ref2.ctypes.data)
    assert rc in (None, 0)
    assert c.call("execute", x.ctypes.data, 24, full.ctypes.data, 24) == 24
    want = xcorr(x, ref2) if prefix == "corr" else xcorr2(x.reshape(3, 8), ref2.reshape(3, 8))
    close(full, want.ravel())


def test_row_mode_refuses_a_full_reference():
    ref = np.zeros((3, 8), C64)
    ref[0, 2] = 1
    c = native.Core(lib(), "corr2d", ref.ctypes.data, 3, 8, 2, 1, 0, 0)
    x = cnoise(24, 21)
    out = np.zeros(24, C64)
    c.call("execute", x.ctypes.data, 24, out.ctypes.data, 24)
    before = c.state()
    full = ref.copy()
    full[2, 7] = 1j
    assert c.call("set_ref", full.ctypes.data) == -1
    assert c.state() == before
    assert c.call("execute", x.ctypes.data, 24, out.ctypes.data, 24) == 24
    close(out, 2 * xcorr2(x.reshape(3, 8), ref).ravel())


# --- state blobs --------------------------------------------------------------------------------

def run_corr(c, frames):
    outs = [c.execute(f) for f in frames]
    return np.concatenate([o for o in outs if o is not None] or [np.zeros(0, C64)])


@pytest.mark.parametrize("make,shape,magic", [
    (lambda: spectral.Corr(cnoise(40, 22), dwell=3, n_out=64), (40,), b"CORR"),
    (lambda: spectral.Corr2D(cnoise((4, 10), 23), dwell=2, ny_out=6), (4, 10), b"CR2D")])
def test_blob_restores_mid_stream(make, shape, magic):
    frames = cnoise((11, *shape), 24)
    blob = assert_restore_continues(make, run_corr, frames, 5)
    n = int(np.prod(shape))
    assert len(blob) == 24 + 8 * n and blob[:4] == magic
    assert struct.unpack_from("<HHIIQ", blob, 4) == (1, 1, len(blob), 0, 5 % make().dwell)
    c = make()
    rng = np.random.default_rng(1)
    assert fuzz_blobs(c, rng, lambda o: (o.execute(frames[0]), o.count), count=120) > 0
    bad = bytearray(blob)
    bad[16:24] = struct.pack("<Q", c.dwell)  # count must stay below dwell
    before = c.get_state()
    with pytest.raises(ValueError, match="set_state rejected the blob"):
        c.set_state(bytes(bad))
    assert c.get_state() == before


def f32_mac(acc, x, r):
    """acc + x * r elementwise in float32, in the correlators' order: re = xr*rr - xi*ri,
    im = xr*ri + xi*rr, each then added to the accumulator."""
    re = x.real * r.real - x.imag * r.imag
    im = x.real * r.imag + x.imag * r.real
    return (acc.real + re) + 1j * (acc.imag + im)


@pytest.mark.parametrize("kind,shape", [("1d", (64,)), ("1d", (37,)), ("rows", (3, 48)), ("rows", (2, 13)),
                                        ("2d", (4, 16)), ("2d", (3, 10))])
def test_accumulation_is_the_float32_complex_mac(kind, shape):
    """One frame into a restored accumulator, bit for bit: the frame's spectrum (the FFT type's
    own single-precision transform) times conj(FFT(ref)), added to acc in float32."""
    ref, x = cnoise(shape, 25), cnoise(shape, 26)
    if kind == "rows":
        ref[1:] = 0
    c = spectral.Corr(ref, dwell=2) if kind == "1d" else spectral.Corr2D(ref, dwell=2)
    assert kind == "1d" or c.row_mode is (kind == "rows")
    if kind == "2d":
        fft = spectral.FFT2D(*shape, -1).execute_cf32
        xs, rs = fft(x), fft(ref)
    else:
        fft = spectral.FFT(shape[-1], -1).execute_cf32
        xs = np.concatenate([fft(row) for row in x.reshape(-1, shape[-1])])
        rs = np.tile(fft(ref.reshape(-1, shape[-1])[0]), xs.size // shape[-1])
    acc = cnoise(xs.size, 27)
    c.set_state(c.get_state()[:24] + acc.tobytes())
    c.execute(x)
    got = np.frombuffer(c.get_state(), C64, offset=24)
    want = f32_mac(acc, xs, np.conj(rs)).astype(C64)
    assert got.tobytes() == want.tobytes()


# --- messages -----------------------------------------------------------------------------------

@pytest.mark.parametrize("call,exc,msg", [
    (lambda: spectral.Corr(np.ones(4, C64), n_out=3), ValueError, "^n_out must be 0 or >= 4, got 3$"),
    (lambda: spectral.Corr(np.ones(4, C64), dwell=0), ValueError, "^dwell must be >= 1, got 0$"),
    (lambda: spectral.Corr(np.zeros(0, C64)), ValueError, r"^len\(ref\) must be >= 1, got 0$"),
    (lambda: spectral.Corr(np.ones(4, C64), dwell=-1), OverflowError, None),
    (lambda: spectral.Corr(np.ones(4, complex)), TypeError, None),
    (lambda: spectral.Corr2D(np.ones(4, C64)), ValueError, r"ref must be a 2-D \(ny, nx\) array"),
    (lambda: spectral.Corr2D(np.ones((2, 2, 2), C64)), ValueError, "ref must be a 2-D"),
    (lambda: spectral.Corr2D(np.ones((2, 2), C64), dwell=0), ValueError, "^dwell must be >= 1, got 0$"),
    (lambda: spectral.Corr2D(np.ones((2, 2), C64), ny_out=1), ValueError,
     "^ny_out must be 0 or >= 2, got 1$"),
    (lambda: spectral.Corr2D(np.ones((2, 3), C64), nx_out=2), ValueError,
     "^nx_out must be 0 or >= 3, got 2$"),
    (lambda: spectral.Corr2D(np.ones((0, 3), C64)), ValueError, r"^ref\.size must be >= 1, got 0$"),
    (lambda: spectral.Corr(np.ones(4, C64)).execute(np.ones(4), None), TypeError, None),
    (lambda: spectral.Corr(np.ones(4, C64)).execute(np.ones(4, C64), np.ones(3, C64)), ValueError,
     r"out has 3 elements, need >= 4"),
    (lambda: spectral.Corr(np.ones(4, C64)).set_state(bytearray(24 + 32)), TypeError,
     "set_state expects bytes"),
    (lambda: spectral.Corr2D(np.ones((1, 4), C64)).set_state(bytes(10)), ValueError,
     "state blob size mismatch"),
])
def test_messages(call, exc, msg):
    with pytest.raises(exc, match=msg):
        call()


@pytest.mark.parametrize("make", [lambda: spectral.Corr(np.ones(4, C64)),
                                  lambda: spectral.Corr2D(np.ones((2, 2), C64))])
def test_destroyed(make):
    with make() as c:
        pass
    for use in (lambda: c.execute(np.ones(4, C64)), lambda: c.count, c.get_state, c.reset,
                c.execute_max_out):
        with pytest.raises(RuntimeError, match="destroyed"):
            use()
    assert c.destroy() is None
