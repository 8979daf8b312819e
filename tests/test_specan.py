"""Spectrum analyzer (analyzer.Specan): configuration derived from span/RBW/centre, frames against
the down-converter plus Welch PSD composed by hand through their exported API, tone levels and
frequencies, the Kaiser ENBW bisection against SciPy, retune, streaming and restore, crafted and
fuzzed "SPAN" blobs, and every message."""

from __future__ import annotations

import ctypes
import math
import struct
import threading

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st
from scipy.signal.windows import kaiser

import ostrel.analyzer
from ostrel import spectral
from ostrel.analyzer import Specan

from _rate_api import declare, pc
from native import Core, c_double, c_float, c_int, c_size, c_u32, c_u64, c_void_p, fn
from streaming import assert_restore_continues, assert_split_invariant, fuzz_blobs

A = declare("analyzer")
fn(A, "psd_create", c_void_p, c_u64, c_double, c_u32, c_float, c_u64, c_double, c_u64, c_u32, c_double)
fn(A, "psd_destroy", None, c_void_p)
fn(A, "psd_reset", None, c_void_p)
fn(A, "psd_accumulate", c_size, c_void_p, c_void_p, c_size)
fn(A, "psd_power_twosided", c_size, c_void_p, c_size, c_void_p, c_size)
fn(A, "specan_create", c_void_p, c_double, c_double, c_double, c_double, c_double, c_double, c_double,
   c_u64, c_int, c_u64)
fn(A, "specan_destroy", None, c_void_p)
fn(A, "specan_execute", c_size, c_void_p, c_void_p, c_size, c_void_p, c_size)
LIBM = ctypes.CDLL("libm.so.6")
LIBM.log10f.restype, LIBM.log10f.argtypes = c_float, [c_float]

SMALL = dict(fs=1.024e6, span=200e3, rbw=8e3, src_center=0.0, center=10e3, navg=2)  # n 32


def tones(n, fs, parts, noise=0.0, seed=0):
    """Sum of complex tones (frequency Hz, amplitude) plus complex Gaussian noise, complex64."""
    t = np.arange(n) / fs
    x = sum(a * np.exp(2j * np.pi * f * t) for f, a in parts) + 0j * t
    rng = np.random.default_rng(seed)
    x = x + noise * (rng.standard_normal(n) + 1j * rng.standard_normal(n))
    return x.astype(np.complex64)


class HandChain:
    """The analyzer composed by hand: ddc_execute per call, pending samples cut into blocks of
    n*navg, psd_reset + psd_accumulate of the last complete block, psd_power_twosided, and the
    display formula in float32 with the C library's log10f."""

    def __init__(self, s: Specan, fs, src_center=0.0, full_scale=1.0, bits=0, offset_db=0.0,
                 window="kaiser"):
        self.s, self.fs, self.src = s, fs, src_center
        self.ddc = Core(A, "ddc", (src_center - s.center) / fs, s.fs_out / fs)
        self.psd = A.psd_create(s.n, s.fs_out, 1 if window == "kaiser" else 0, s.beta, 2, full_scale,
                                bits, 0, 0.1)
        fs_ = 2.0 ** (bits - 1) if bits else full_scale
        self.inv = np.float32(1) / np.float32(fs_ * fs_)
        self.offset = np.float32(offset_db)
        self.pending = np.zeros(0, np.complex64)

    def retune(self, center):
        self.ddc.call("set_norm_freq", (self.src - center) / self.fs)
        self.pending = self.pending[:0]

    def execute(self, x):
        x = np.ascontiguousarray(x, np.complex64)
        y = np.zeros(len(x) + 8, np.complex64)
        m = self.ddc.call("execute", pc(x), len(x), pc(y), len(y)) if len(x) else 0
        self.pending = np.concatenate([self.pending, y[:m]])
        B = self.s.n * self.s.navg
        k = len(self.pending) // B
        if k == 0:
            return None
        block = np.ascontiguousarray(self.pending[(k - 1) * B:k * B])
        self.pending = self.pending[k * B:]
        A.psd_reset(self.psd)
        A.psd_accumulate(self.psd, pc(block), B)
        disp = np.zeros(self.s.nfft, np.float32)
        A.psd_power_twosided(self.psd, self.s.nfft, pc(disp), self.s.nfft)
        half = self.s.display_size // 2
        v = disp[self.s.nfft // 2 - half:][:self.s.display_size] * self.inv + np.float32(1e-20)
        return np.float32(10) * np.array([LIBM.log10f(float(a)) for a in v], np.float32) + self.offset

    def __del__(self):
        A.psd_destroy(self.psd)


def frames(obj, x, step=3000):
    """Frames produced by feeding x in calls of `step` samples, concatenated."""
    got = [obj.execute(x[i:i + step]) for i in range(0, len(x), step)]
    return np.concatenate([g for g in got if g is not None] or [np.zeros(0, np.float32)])


# --- configuration ------------------------------------------------------------------------------

@pytest.mark.parametrize("kw,fs_out,n,size", [
    (dict(fs=1.024e6, span=200e3, rbw=2e3), 256e3, 128, 201),
    (dict(fs=2.048e6, span=200e3, rbw=500.0), 256e3, 512, 801),
    (dict(fs=10e6, span=1e6, rbw=1e3), 1.28e6, 2048, 3201),
    (dict(fs=1e6, span=2e6, rbw=1e3), 1e6, 1024, 1601),          # span > fs/1.28: fs_out = fs
    (dict(fs=1e6, span=200e3, rbw=1e6), 256e3, 2, 5),             # rbw >= fs_out: n = 2
    (dict(fs=1e6, span=200e3, rbw=3e3, window="hann"), 256e3, 128, 201),
])
def test_configuration(kw, fs_out, n, size):
    s = Specan(**kw)
    assert (s.fs_out, s.n, s.nfft, s.display_size, s.execute_max_out()) == (fs_out, n, 2 * n, size, size)
    assert (s.span, s.center, s.navg) == (kw["span"], 0.0, 1)
    if kw.get("window") == "hann":
        assert s.beta == 0.0
    w = np.zeros(n, np.float32)
    spectral.kaiser_window(w, s.beta) if kw.get("window", "kaiser") == "kaiser" else spectral.hann_window(w)
    assert s.rbw == pytest.approx(spectral.kaiser_enbw(w) * fs_out / n, rel=1e-6)


@pytest.mark.parametrize("fs,span,rbw", [(10e6, 1e6, 1e3), (1.024e6, 200e3, 2.5e3), (3e6, 700e3, 333.0),
                                         (1e6, 100e3, 200.0)])
def test_kaiser_bisection_realises_the_rbw(fs, span, rbw):
    s = Specan(fs=fs, span=span, rbw=rbw)
    target = rbw / s.fs_out * s.n
    assert 1.0 < target < 2.0 and s.rbw == pytest.approx(rbw, rel=1e-6)
    w = kaiser(s.n, s.beta, sym=True)  # SciPy's window (exact I0, double): same ENBW
    assert s.n * np.sum(w ** 2) / np.sum(w) ** 2 == pytest.approx(target, rel=2e-5)
    # the 60-step bisection restated on the float window of the spectral helpers: same beta
    lo, hi, wf = 0.0, 60.0, np.zeros(s.n, np.float32)
    for _ in range(60):
        mid = (lo + hi) * 0.5
        spectral.kaiser_window(wf, mid)
        lo, hi = (mid, hi) if spectral.kaiser_enbw(wf) < target else (lo, mid)
    assert s.beta == (lo + hi) * 0.5
    assert Specan(fs=fs, span=span, rbw=s.fs_out / s.n).beta == 0.0  # target 1: rectangular


# --- frames against the hand-composed chain -----------------------------------------------------

@pytest.mark.parametrize("kw", [
    dict(fs=10e6, span=1e6, rbw=1e3, src_center=100e6, center=100.3e6, navg=3),
    dict(fs=1.024e6, span=200e3, rbw=2e3, center=-50e3, full_scale=0.5, offset_db=3.5, navg=5),
    dict(fs=2.048e6, span=200e3, rbw=4e3, bits=12, window="hann"),
])
def test_frames_equal_down_converter_plus_psd(kw):
    s = Specan(**kw)
    ref = HandChain(s, kw["fs"], kw.get("src_center", 0.0), kw.get("full_scale", 1.0), kw.get("bits", 0),
                    kw.get("offset_db", 0.0), kw.get("window", "kaiser"))
    scale = 2.0 ** 11 if kw.get("bits") else 1.0
    x = tones(60000, kw["fs"], [(kw.get("center", 0) - kw.get("src_center", 0) + 20e3, 0.3 * scale)],
              noise=0.01 * scale)
    got = [s.execute(x[a:b]) for a, b in [(0, 7000), (7000, 7001), (7001, 31000), (31000, 60000)]]
    want = [ref.execute(x[a:b]) for a, b in [(0, 7000), (7000, 7001), (7001, 31000), (31000, 60000)]]
    assert [g is None for g in got] == [w is None for w in want] and got[-1] is not None
    for g, w in zip(got, want):
        if g is not None:
            assert g.dtype == np.float32 and g.tobytes() == w.tobytes()


@settings(max_examples=20, deadline=None)
@given(st.lists(st.integers(0, 6000), max_size=8))
def test_any_split_matches_the_chain_and_ends_in_the_same_state(cuts):
    x = tones(6000, SMALL["fs"], [(37e3, 0.4)], noise=0.05, seed=3)
    s = Specan(**SMALL)
    ref = HandChain(s, SMALL["fs"])
    e = [0, *sorted(cuts), len(x)]
    for a, b in zip(e, e[1:]):
        g, w = s.execute(x[a:b]), ref.execute(x[a:b])
        assert (g is None and w is None) or g.tobytes() == w.tobytes()
    # frames depend on where calls end; the state (down-converter, last frame, pending) does not
    assert_split_invariant(lambda: Specan(**SMALL), lambda o, v: (o.execute(v), [])[1], x, cuts)


def test_tone_levels_and_frequencies():
    """Tones at center + k*fs_out/nfft read 20*log10(a/full_scale) + offset_db at index half + k
    across the display: the passband of these plans is flat to hundredths of a dB."""
    for fs, span, rbw in [(10e6, 1e6, 1e3), (1.024e6, 200e3, 3e3)]:
        s = Specan(fs=fs, span=span, rbw=rbw, src_center=915e6, center=915.2e6, full_scale=2.0,
                   offset_db=-10.0, navg=4)
        half, df = s.display_size // 2, s.fs_out / s.nfft
        ks = [round(f * s.nfft) for f in (-0.38, -0.11, 0.0, 0.23, 0.37)]
        amps = [0.5, 0.2, 1.0, 0.3, 0.7]
        y = s.execute(tones(int(9 * s.n * fs / s.fs_out), fs, [(200e3 + k * df, a) for k, a in zip(ks, amps)]))
        for k, a in zip(ks, amps):
            lo = max(half + k - 3, 0)
            assert lo + np.argmax(y[lo:half + k + 4]) == half + k
            assert y[half + k] == pytest.approx(20 * math.log10(a / 2.0) - 10.0, abs=0.03)


def test_retune_moves_the_display_and_restarts_the_block():
    fs = 1.024e6
    s = Specan(fs=fs, span=200e3, rbw=2e3)
    ref = HandChain(s, fs)
    x = tones(40000, fs, [(50e3, 0.5), (-30e3, 0.1)])
    assert s.execute(x[:9000]).tobytes() == ref.execute(x[:9000]).tobytes()
    s.retune(50e3)
    ref.retune(50e3)
    assert s.center == 50e3
    half, B = s.display_size // 2, s.n * s.navg
    assert s.execute(x[9000:9000 + 4 * B - 8]) is None  # 4:1 decimation: B - 2 samples
    assert ref.execute(x[9000:9000 + 4 * B - 8]) is None
    y = s.execute(x[9000 + 4 * B - 8:20000])
    assert y.tobytes() == ref.execute(x[9000 + 4 * B - 8:20000]).tobytes()
    assert np.argmax(y) == half and y[half] == pytest.approx(-6.02, abs=0.02)
    assert y[half - round(80e3 * s.nfft / s.fs_out)] == pytest.approx(-20.0, abs=0.02)


def test_reset_and_frame_rules():
    s, fresh = Specan(**SMALL), Specan(**SMALL)
    x = tones(5000, SMALL["fs"], [(30e3, 0.5)])
    assert s.execute(np.zeros(0, np.complex64)) is None
    y = s.execute(x)
    s.reset()
    assert s.get_state() == fresh.get_state()
    assert s.execute(x.reshape(50, 100)).tobytes() == y.tobytes()  # 2-D input taken flat
    s.reset()
    big = np.full(len(x) + 10, 7.0, np.float32)
    r = s.execute(x, out=big)
    assert r.tobytes() == y.tobytes() and np.shares_memory(r, big) and np.all(big[len(y):] == 7.0)
    big[:] = 7.0
    assert s.execute(x[:10], out=big) is None and np.all(big == 7.0)  # no frame: None, out untouched
    with pytest.raises(TypeError):
        s.execute(x.astype(np.complex128))  # no unsafe cast
    # the core writes min(display_size, out_cap) values; a call completing several blocks
    # shows the last one
    p = A.specan_create(1.024e6, 200e3, 8e3, 0.0, 10e3, 0.0, 1.0, 0, 1, 2)
    out = np.zeros(8, np.float32)
    assert A.specan_execute(p, pc(x), len(x), pc(out), 3) == 3
    assert out[:3].tobytes() == y[:3].tobytes() and np.all(out[3:] == 0)
    assert A.specan_execute(p, pc(x), len(x), pc(out), 0) == 0
    A.specan_destroy(p)
    A.specan_destroy(None)


def test_threads_run_analyzers_in_parallel():
    x = tones(200000, 10e6, [(120e3, 0.5)], noise=0.01)
    want = Specan(fs=10e6, span=1e6, rbw=2e3, navg=4).execute(x)
    objs = [Specan(fs=10e6, span=1e6, rbw=2e3, navg=4) for _ in range(4)]
    got = [None] * 4

    def work(i):
        got[i] = objs[i].execute(x)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(g.tobytes() == want.tobytes() for g in got)


# --- state blobs ----------------------------------------------------------------------------------

def layout(s: Specan, kw=SMALL):
    """Offsets of the embedded down-converter blob, PSD blob and pending_len in a "SPAN" blob."""
    ddc = Core(A, "ddc", 0.0, s.fs_out / kw["fs"]).call("state_bytes")
    return 16, 16 + ddc, 16 + ddc + 40 + 8 * s.nfft


def test_blob_layout_and_mid_stream_restore():
    x = tones(20000, SMALL["fs"], [(20e3, 0.5)], noise=0.02, seed=9)
    s = Specan(**SMALL)
    s.execute(x[:777])
    b = s.get_state()
    d, p, q = layout(s)
    B = s.n * s.navg
    assert len(b) == s.state_bytes() == q + 8 + 8 * B
    assert (b[:4], b[d:d + 4], b[p:p + 4], b[p + 16:p + 20]) == (b"SPAN", b"DDC_", b"PSD ", b"ATRC")
    held = int.from_bytes(b[q:q + 8], "little")
    assert 0 < held < B and b[q + 8 + 8 * held:] == bytes(8 * (B - held))
    for at in (0, 777, 1301, 9000):
        assert_restore_continues(lambda: Specan(**SMALL), frames, x, at)


def test_crafted_blobs_all_or_nothing():
    x = tones(20000, SMALL["fs"], [(20e3, 0.5)], noise=0.02, seed=4)
    s = Specan(**SMALL)
    frames(s, x[:5000])
    other = s.get_state()  # a different down-converter, PSD and pending
    s.execute(x[5000:5301])
    now = s.get_state()
    d, p, q = layout(s)
    B = s.n * s.navg

    def patched(blob, at, data):
        return blob[:at] + data + blob[at + len(data):]

    bad = [patched(other, q, (B + 1).to_bytes(8, "little")),
           patched(other, q, (2 ** 64 - 1).to_bytes(8, "little")),
           patched(other, p, b"PSX "),                       # PSD header
           patched(other, p + 16, b"ATRX"),                  # the PSD's accumulator header
           patched(other, d + 16, struct.pack("<d", 0.3)),   # down-converter rate
           patched(other, d + 24, b"LO_X"),                  # down-converter's oscillator
           patched(other, d, b"DDCX")]
    for blob in bad:
        with pytest.raises(ValueError, match="^set_state rejected the blob$"):
            s.set_state(blob)
        assert s.get_state() == now  # nothing restored, not even the down-converter
    # accepted: reserved bytes and byte 7, garbage after pending_len, and a full block pending,
    # which the next call (even an empty one) turns into a frame
    s.set_state(patched(patched(other, 12, b"\xff" * 4), 7, b"\x09")[:-8] + b"\x01" * 8)
    assert s.get_state() == other
    blk = (np.arange(B) * (0.01 + 0.02j)).astype(np.complex64)
    s.set_state(patched(other, q, B.to_bytes(8, "little") + blk.tobytes()))
    ref = HandChain(s, SMALL["fs"])
    ref.pending = blk
    assert s.execute(np.zeros(0, np.complex64)).tobytes() == ref.execute(np.zeros(0)).tobytes()


def test_fuzzed_blobs_restore_or_leave_the_state():
    rng = np.random.default_rng(10)
    s = Specan(**SMALL)
    s.execute(tones(3001, SMALL["fs"], [(20e3, 0.5)], noise=0.1))
    d, p, q = layout(s)
    ok = lambda o: (o.execute(tones(700, SMALL["fs"], [], noise=1.0)), o.rbw)  # noqa: E731
    fuzz_blobs(s, rng, ok, count=200)
    fuzz_blobs(s, rng, ok, count=100, lo=q, hi=q + 8)  # the pending length
    fuzz_blobs(s, rng, ok, count=100, lo=p, hi=q)  # the PSD and its trace


# --- module and messages --------------------------------------------------------------------------

def test_module_carries_only_specan():
    assert [n for n in dir(ostrel.analyzer) if not n.startswith("_")] == ["Specan"]
    assert "center" in Specan.__doc__ and "rbw" in Specan.__doc__
    for name in ("fs_out", "span", "rbw", "center", "beta", "n", "nfft", "navg", "display_size"):
        assert getattr(Specan, name).__doc__
        with pytest.raises(AttributeError):
            setattr(Specan(**SMALL), name, 1.0)


ERRORS = [
    (dict(fs=1e6, span=1e5, rbw=1e3, window="blackman-harris"), ValueError,
     "window must be one of \"hann\", \"kaiser\", got 'blackman-harris'"),
    (dict(fs=1e6, span=1e5), TypeError, "rbw"),
    *[(dict(fs=fs, span=span, rbw=rbw, **extra), MemoryError, "specan_create returned NULL")
      for fs, span, rbw, extra in [(1e6, 1e5, 1e3, dict(navg=0)), (0.0, 1e5, 1e3, {}), (1e6, -1.0, 1e3, {}),
                                   (1e6, 1e5, 0.0, {}), (math.nan, 1e5, 1e3, {}), (math.inf, 1e5, 1e3, {}),
                                   (1e6, math.nan, 1e3, {}), (1e6, 1e5, 1e-9, {}),  # window > 2^27
                                   (1e6, 1e5, 1e6, dict(window="hann")),  # Hann of 2: no gain
                                   (1e6, 1e5, 1e3, dict(full_scale=0.0)),
                                   (1e6, 1e5, 1e3, dict(navg=2 ** 40))]],  # blob beyond 4 GiB
    (dict(fs=1e6, span=1e5, rbw=1e3, navg=-1), OverflowError, ""),
    (dict(fs=1e6, span=1e5, rbw=1e3, bits=2 ** 64), OverflowError, ""),
]


@pytest.mark.parametrize("kw,exc,msg", ERRORS)
def test_constructor_errors(kw, exc, msg):
    with pytest.raises(exc) as e:
        Specan(**kw)
    assert msg in str(e.value)
    if exc is MemoryError or exc is ValueError:
        assert str(e.value) == msg


def test_method_errors():
    s = Specan(**SMALL)
    x = np.zeros(100, np.complex64)
    with pytest.raises(TypeError, match="^out must be a writable, C-contiguous ndarray of the output dtype$"):
        s.execute(x, out=np.zeros(300, np.float64))
    assert s.display_size == 51
    with pytest.raises(ValueError, match=r"^out has 50 elements, need >= 100$"):
        s.execute(x, out=np.zeros(50, np.float32))
    with pytest.raises(ValueError, match=r"^out has 50 elements, need >= 51$"):
        s.execute(x[:10], out=np.zeros(50, np.float32))
    with pytest.raises(ValueError, match=r"^out has 250 elements, need >= 300$"):
        s.execute(np.zeros(300, np.complex64), out=np.zeros(250, np.float32))
    with pytest.raises(TypeError, match="^set_state expects bytes$"):
        s.set_state(bytearray(s.get_state()))
    with pytest.raises(ValueError, match="^state blob size mismatch$"):
        s.set_state(s.get_state()[:-1])
    with pytest.raises(ValueError, match="^set_state rejected the blob$"):
        s.set_state(b"SPAX" + s.get_state()[4:])
    with Specan(**SMALL) as t:
        assert isinstance(t, Specan)
    for call in (t.get_state, t.reset, t.execute_max_out, lambda: t.execute(x), lambda: t.retune(1.0),
                 lambda: t.rbw, lambda: t.display_size):
        with pytest.raises(RuntimeError, match="^destroyed$"):
            call()
    assert t.destroy() is None
