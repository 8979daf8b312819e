"""Spectrum analyzer (analyzer.Specan): configuration from span/RBW/centre, the Kaiser ENBW
bisection against SciPy, frames against the down-converter plus Welch PSD composed by hand
through their exported API, tone levels and frequencies, retune, streaming and restore, crafted
and fuzzed "SPAN" blobs, and every message."""

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
from native import Core, c_double, c_float, c_int, c_size, c_u32, c_u64, c_void_p as P, fn
from streaming import assert_restore_continues, assert_split_invariant, fuzz_blobs

A = declare("analyzer")
fn(A, "psd_create", P, c_u64, c_double, c_u32, c_float, c_u64, c_double, c_u64, c_u32, c_double)
fn(A, "psd_destroy", None, P)
fn(A, "psd_reset", None, P)
fn(A, "psd_accumulate", c_size, P, P, c_size)
fn(A, "psd_power_twosided", c_size, P, c_size, P, c_size)
fn(A, "specan_create", P, *[c_double] * 7, c_u64, c_int, c_u64)
fn(A, "specan_destroy", None, P)
fn(A, "specan_execute", c_size, P, P, c_size, P, c_size)
LIBM = ctypes.CDLL("libm.so.6")
LIBM.log10f.restype, LIBM.log10f.argtypes = c_float, [c_float]

SMALL = dict(fs=1.024e6, span=200e3, rbw=8e3, center=10e3, navg=2)  # n 32, display 51


def tones(n, fs, parts, noise=0.0, seed=0):
    """Complex tones [(Hz, amplitude)] plus complex Gaussian noise, complex64."""
    t = np.arange(n) / fs
    x = sum((a * np.exp(2j * np.pi * f * t) for f, a in parts), np.zeros(n, complex))
    rng = np.random.default_rng(seed)
    return (x + noise * (rng.standard_normal(n) + 1j * rng.standard_normal(n))).astype(np.complex64)


class HandChain:
    """The analyzer composed by hand: ddc_execute per call, pending samples cut into blocks of
    n*navg, psd_reset + psd_accumulate of the last complete block, psd_power_twosided, and the
    display formula in float32 with the C library's log10f."""

    def __init__(self, s: Specan, kw: dict):
        self.s, self.fs, self.src = s, kw["fs"], kw.get("src_center", 0.0)
        self.ddc = Core(A, "ddc", (self.src - s.center) / self.fs, s.fs_out / self.fs)
        bits, full_scale = kw.get("bits", 0), kw.get("full_scale", 1.0)
        self.psd = A.psd_create(s.n, s.fs_out, int(kw.get("window") != "hann"), s.beta, 2, full_scale,
                                bits, 0, 0.1)
        full_scale = 2.0 ** (bits - 1) if bits else full_scale
        self.inv = np.float32(1) / np.float32(full_scale * full_scale)
        self.offset = np.float32(kw.get("offset_db", 0.0))
        self.pending = np.zeros(0, np.complex64)

    def retune(self, center):
        self.ddc.call("set_norm_freq", (self.src - center) / self.fs)
        self.pending = self.pending[:0]

    def execute(self, x):
        x = np.ascontiguousarray(x, np.complex64)
        y = np.zeros(len(x) + 8, np.complex64)
        m = self.ddc.call("execute", pc(x), len(x), pc(y), len(y)) if len(x) else 0
        self.pending = np.concatenate([self.pending, y[:m]])
        B, nfft, size = self.s.n * self.s.navg, self.s.nfft, self.s.display_size
        k = len(self.pending) // B
        if k == 0:
            return None
        block = np.ascontiguousarray(self.pending[(k - 1) * B:k * B])
        self.pending = self.pending[k * B:]
        A.psd_reset(self.psd)
        A.psd_accumulate(self.psd, pc(block), B)
        disp = np.zeros(nfft, np.float32)
        A.psd_power_twosided(self.psd, nfft, pc(disp), nfft)
        v = disp[nfft // 2 - size // 2:][:size] * self.inv + np.float32(1e-20)
        return np.float32(10) * np.array([LIBM.log10f(float(a)) for a in v], np.float32) + self.offset

    def __del__(self):
        A.psd_destroy(self.psd)


def frames(obj, x, step=3000):
    """Frames produced by feeding x in calls of `step` samples, concatenated."""
    got = [obj.execute(x[i:i + step]) for i in range(0, len(x), step)]
    return np.concatenate([g for g in got if g is not None] or [np.zeros(0, np.float32)])


# --- configuration --------------------------------------------------------------------------------

@pytest.mark.parametrize("kw,fs_out,n,size", [
    (dict(fs=1.024e6, span=200e3, rbw=2e3), 256e3, 128, 201),
    (dict(fs=2.048e6, span=200e3, rbw=500.0), 256e3, 512, 801),
    (dict(fs=10e6, span=1e6, rbw=1e3), 1.28e6, 2048, 3201),
    (dict(fs=1e6, span=2e6, rbw=1e3), 1e6, 1024, 1601),  # span > fs/1.28: fs_out = fs
    (dict(fs=1e6, span=200e3, rbw=1e6), 256e3, 2, 5),  # rbw >= fs_out: n = 2
    (dict(fs=1e6, span=200e3, rbw=3e3, window="hann"), 256e3, 128, 201),
])
def test_configuration(kw, fs_out, n, size):
    s = Specan(**kw)
    assert (s.fs_out, s.n, s.nfft, s.display_size, s.execute_max_out()) == (fs_out, n, 2 * n, size, size)
    assert (s.span, s.center, s.navg) == (kw["span"], 0.0, 1)
    if kw.get("window") == "hann":  # realised rbw: the Hann window's ENBW
        assert s.beta == 0.0 and s.rbw == pytest.approx(1.5 * n / (n - 1) * fs_out / n, rel=1e-6)


@pytest.mark.parametrize("fs,span,rbw", [(10e6, 1e6, 1e3), (1.024e6, 200e3, 2.5e3), (3e6, 700e3, 333.0)])
def test_kaiser_bisection_realises_the_rbw(fs, span, rbw):
    s = Specan(fs=fs, span=span, rbw=rbw)
    target = rbw / s.fs_out * s.n
    assert 1.0 < target < 2.0 and s.rbw == pytest.approx(rbw, rel=1e-6)
    w = kaiser(s.n, s.beta, sym=True)  # SciPy's window (exact I0, double): the same ENBW
    assert s.n * np.sum(w ** 2) / np.sum(w) ** 2 == pytest.approx(target, rel=2e-5)
    lo, hi, wf = 0.0, 60.0, np.zeros(s.n, np.float32)  # the 60 steps on the float window: same beta
    for _ in range(60):
        mid = (lo + hi) * 0.5
        spectral.kaiser_window(wf, mid)
        lo, hi = (mid, hi) if spectral.kaiser_enbw(wf) < target else (lo, mid)
    assert s.beta == (lo + hi) * 0.5
    assert Specan(fs=fs, span=span, rbw=s.fs_out / s.n).beta == 0.0  # target 1: rectangular


@pytest.mark.parametrize("rbw", [1e6, 200e3])
def test_two_sample_window_keeps_unit_gain(rbw):
    """rbw >= fs_out/2 leaves n = 2, whose Kaiser window is flat for every beta: beta 0 (a
    bisection would climb to 60 and scale the window into float underflow, a blank display)."""
    s = Specan(fs=1e6, span=200e3, rbw=rbw)
    assert (s.n, s.beta, s.rbw) == (2, 0.0, s.fs_out / 2)
    y = s.execute(np.full(1000, 0.5, np.complex64))
    assert y[s.display_size // 2] == pytest.approx(20 * math.log10(0.5), abs=0.05)
    # five values from a 4-point transform: both ends show its one bin at +-fs_out/2
    assert len(y) == 5 and y[0] == y[-1]


# --- frames ---------------------------------------------------------------------------------------

@pytest.mark.parametrize("kw", [
    dict(fs=10e6, span=1e6, rbw=1e3, src_center=100e6, center=100.3e6, navg=3),
    dict(fs=1.024e6, span=200e3, rbw=2e3, center=-50e3, full_scale=0.5, offset_db=3.5, navg=5),
    dict(fs=2.048e6, span=200e3, rbw=4e3, bits=12, window="hann"),
])
def test_frames_equal_down_converter_plus_psd(kw):
    s = Specan(**kw)
    ref = HandChain(s, kw)
    scale = 2.0 ** 11 if kw.get("bits") else 1.0
    x = tones(60000, kw["fs"], [(kw.get("center", 0) - kw.get("src_center", 0) + 20e3, 0.3 * scale)],
              noise=0.01 * scale)
    calls = [(0, 7000), (7000, 7001), (7001, 31000), (31000, 60000)]
    got, want = [s.execute(x[a:b]) for a, b in calls], [ref.execute(x[a:b]) for a, b in calls]
    assert [g is None for g in got] == [w is None for w in want] and got[-1] is not None
    assert all(g is None or (g.dtype == np.float32 and g.tobytes() == w.tobytes()) for g, w in zip(got, want))


@settings(max_examples=20, deadline=None)
@given(st.lists(st.integers(0, 6000), max_size=8))
def test_any_split_matches_the_chain_and_ends_in_the_same_state(cuts):
    x = tones(6000, SMALL["fs"], [(37e3, 0.4)], noise=0.05, seed=3)
    s = Specan(**SMALL)
    ref = HandChain(s, SMALL)
    e = [0, *sorted(cuts), len(x)]
    for a, b in zip(e, e[1:]):
        g, w = s.execute(x[a:b]), ref.execute(x[a:b])
        assert (g is None and w is None) or g.tobytes() == w.tobytes()
    # frames depend on where calls end; the state (down-converter, last frame, pending) does not
    assert_split_invariant(lambda: Specan(**SMALL), lambda o, v: (o.execute(v), [])[1], x, cuts)


def test_tone_levels_and_frequencies():
    """Tones at center + k*fs_out/nfft read 20*log10(a/full_scale) + offset_db at index half + k
    across the display: the passband of these plans (fs/fs_out < 8: resampler, halfbands) is
    flat to hundredths of a dB."""
    for fs, span, rbw in [(10e6, 1e6, 1e3), (1.024e6, 200e3, 3e3)]:
        s = Specan(fs=fs, span=span, rbw=rbw, src_center=915e6, center=915.2e6, full_scale=2.0,
                   offset_db=-10.0, navg=4)
        half, df = s.display_size // 2, s.fs_out / s.nfft
        ks, amps = [round(f * s.nfft) for f in (-0.38, -0.11, 0.0, 0.23, 0.37)], [0.5, 0.2, 1.0, 0.3, 0.7]
        y = s.execute(tones(int(9 * s.n * fs / s.fs_out), fs, [(200e3 + k * df, a) for k, a in zip(ks, amps)]))
        for k, a in zip(ks, amps):
            lo = max(half + k - 3, 0)
            assert lo + np.argmax(y[lo:half + k + 4]) == half + k
            assert y[half + k] == pytest.approx(20 * math.log10(a / 2.0) - 10.0, abs=0.03)


def test_retune_moves_the_display_and_restarts_the_block():
    kw = dict(fs=1.024e6, span=200e3, rbw=2e3)
    s = Specan(**kw)
    ref = HandChain(s, kw)
    x = tones(40000, kw["fs"], [(50e3, 0.5), (-30e3, 0.1)])
    assert s.execute(x[:9000]).tobytes() == ref.execute(x[:9000]).tobytes()
    s.retune(50e3)
    ref.retune(50e3)
    cut = 9000 + 4 * s.n * s.navg - 8  # 4:1 decimation: two samples short of a block
    assert s.center == 50e3 and s.execute(x[9000:cut]) is None and ref.execute(x[9000:cut]) is None
    y = s.execute(x[cut:20000])
    assert y.tobytes() == ref.execute(x[cut:20000]).tobytes() and np.argmax(y) == s.display_size // 2


def test_reset_out_and_frame_rules():
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
    # the core writes min(display_size, out_cap) values of the last block a call completes
    p, out = A.specan_create(1.024e6, 200e3, 8e3, 0.0, 10e3, 0.0, 1.0, 0, 1, 2), np.zeros(8, np.float32)
    assert A.specan_execute(p, pc(x), len(x), pc(out), 3) == 3 and out[:3].tobytes() == y[:3].tobytes()
    assert A.specan_execute(p, pc(x), len(x), pc(out), 0) == 0 and not np.any(out[3:])
    A.specan_destroy(p)
    A.specan_destroy(None)


def test_threads_run_analyzers_in_parallel():
    x = tones(200000, 10e6, [(120e3, 0.5)], noise=0.01)
    want = Specan(fs=10e6, span=1e6, rbw=2e3, navg=4).execute(x)
    objs, got = [Specan(fs=10e6, span=1e6, rbw=2e3, navg=4) for _ in range(4)], [None] * 4
    threads = [threading.Thread(target=lambda i=i: got.__setitem__(i, objs[i].execute(x))) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(g.tobytes() == want.tobytes() for g in got)


# --- state blobs ----------------------------------------------------------------------------------

def layout(s: Specan):
    """Offsets of the down-converter blob, the PSD blob and pending_len in a "SPAN" blob."""
    ddc = Core(A, "ddc", 0.0, s.fs_out / SMALL["fs"]).call("state_bytes")
    return 16, 16 + ddc, 16 + ddc + 40 + 8 * s.nfft


def patched(blob, at, data):
    return blob[:at] + data + blob[at + len(data):]


def test_blob_layout_and_mid_stream_restore():
    x = tones(20000, SMALL["fs"], [(20e3, 0.5)], noise=0.02, seed=9)
    s = Specan(**SMALL)
    s.execute(x[:777])
    b, (d, p, q), B = s.get_state(), layout(s), s.n * s.navg
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
    other = s.get_state()  # another down-converter state, PSD trace and pending block
    s.execute(x[5000:5301])
    now, (d, p, q), B = s.get_state(), layout(s), s.n * s.navg
    for at, data in [(q, (B + 1).to_bytes(8, "little")), (q, b"\xff" * 8), (p, b"PSX "),
                     (p + 16, b"ATRX"), (d + 16, struct.pack("<d", 0.3)), (d + 24, b"LO_X"), (d, b"DDCX")]:
        with pytest.raises(ValueError, match="^set_state rejected the blob$"):
            s.set_state(patched(other, at, data))
        assert s.get_state() == now  # nothing restored, not even the down-converter
    # accepted: reserved bytes, byte 7 and the zero tail are not examined
    s.set_state(patched(patched(other, 12, b"\xff" * 4), 7, b"\x09")[:-8] + b"\x01" * 8)
    assert s.get_state() == other
    # a full block pending becomes a frame on the next call, even an empty one
    blk = (np.arange(B) * (0.01 + 0.02j)).astype(np.complex64)
    s.set_state(patched(other, q, B.to_bytes(8, "little") + blk.tobytes()))
    ref = HandChain(s, SMALL)
    ref.pending = blk
    assert s.execute(np.zeros(0, np.complex64)).tobytes() == ref.execute(np.zeros(0)).tobytes()


def test_fuzzed_blobs_restore_or_leave_the_state():
    rng = np.random.default_rng(10)
    s = Specan(**SMALL)
    s.execute(tones(3001, SMALL["fs"], [(20e3, 0.5)], noise=0.1))
    d, p, q = layout(s)
    use = lambda o: (o.execute(tones(700, SMALL["fs"], [], noise=1.0)), o.rbw)  # noqa: E731
    for lo, hi, count in [(16, None, 200), (q, q + 8, 100), (p, q, 100)]:  # all, pending_len, PSD
        fuzz_blobs(s, rng, use, count=count, lo=lo, hi=hi)


# --- module and messages --------------------------------------------------------------------------

def test_module_carries_only_specan():
    assert [n for n in dir(ostrel.analyzer) if not n.startswith("_")] == ["Specan"]


NULL = "specan_create returned NULL"


@pytest.mark.parametrize("kw,exc,msg", [
    (dict(window="blackman-harris"), ValueError, "window must be one of \"hann\", \"kaiser\", got 'blackman-harris'"),
    (dict(rbw=None), TypeError, None),
    *[(kw, MemoryError, NULL) for kw in [
        dict(navg=0), dict(fs=0.0), dict(span=-1.0), dict(rbw=0.0), dict(rbw=1e-9),  # window beyond 2^27
        dict(rbw=1e6, window="hann"),  # Hann of length 2 has no gain
        dict(full_scale=0.0), dict(navg=2 ** 40)]],  # a state blob beyond 4 GiB
    (dict(fs=math.nan), ValueError, "fs must be finite, got nan"),
    (dict(fs=math.inf), ValueError, "fs must be finite, got inf"),
    (dict(span=math.nan), ValueError, "span must be finite, got nan"),
    (dict(navg=-1), OverflowError, None),
    (dict(bits=2 ** 64), OverflowError, None),
])
def test_constructor_errors(kw, exc, msg):
    kw = {**dict(fs=1e6, span=1e5, rbw=1e3), **kw}
    kw = {k: v for k, v in kw.items() if v is not None}
    with pytest.raises(exc) as e:
        Specan(**kw)
    assert msg is None or str(e.value) == msg


def test_method_errors():
    s, x, out_msg = Specan(**SMALL), np.zeros(100, np.complex64), "out must be a writable, C-contiguous ndarray"
    for call, exc, msg in [
            (lambda: s.execute(x, out=np.zeros(300, np.float64)), TypeError, out_msg),
            (lambda: s.execute(x, out=np.zeros(50, np.float32)), ValueError, "out has 50 elements, need >= 100"),
            (lambda: s.execute(x[:10], out=np.zeros(50, np.float32)), ValueError, "out has 50 elements, need >= 51"),
            (lambda: s.execute(x.astype(np.complex128)), TypeError, "Cannot cast"),
            (lambda: s.set_state(bytearray(s.get_state())), TypeError, "set_state expects bytes"),
            (lambda: s.set_state(s.get_state()[:-1]), ValueError, "state blob size mismatch"),
            (lambda: s.set_state(b"SPAX" + s.get_state()[4:]), ValueError, "set_state rejected the blob")]:
        with pytest.raises(exc, match=msg):
            call()
    with Specan(**SMALL) as t:
        assert isinstance(t, Specan)
    for call in (t.get_state, t.reset, t.execute_max_out, lambda: t.execute(x), lambda: t.retune(1.0),
                 lambda: t.rbw, lambda: t.display_size):
        with pytest.raises(RuntimeError, match="^destroyed$"):
            call()
    assert t.destroy() is None
