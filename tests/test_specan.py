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

# The plain front end (flat=False) throughout, except in the section on the flat one.
SMALL = dict(fs=1.024e6, span=200e3, rbw=8e3, center=10e3, navg=2, flat=False)  # n 32, display 51


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
        self.post = []

    def convert(self, x):
        y = np.zeros(len(x) + 8, np.complex64)
        m = self.ddc.call("execute", pc(x), len(x), pc(y), len(y)) if len(x) else 0
        for rc in self.post:
            y, x = np.zeros(m + 8, np.complex64), y[:m]
            m = rc.call("execute", pc(x), m, pc(y), len(y)) if m else 0
        return y[:m]

    def retune(self, center):
        self.ddc.call("set_norm_freq", (self.src - center) / self.fs)
        self.pending = self.pending[:0]

    def execute(self, x):
        self.pending = np.concatenate([self.pending, self.convert(np.ascontiguousarray(x, np.complex64))])
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


class FlatHandChain(HandChain):
    """The flat front end composed by hand from the exported API: a down-converter of rate 1/4
    (oscillator and the first halfband pair), rate converters of 1/4 for the further pairs and
    one for the remaining ratio, then the same PSD and display, less the pairs' DC gain."""

    def __init__(self, s: Specan, kw: dict, quarters: int):
        super().__init__(s, kw)
        self.ddc = Core(A, "ddc", (self.src - s.center) / self.fs, 0.25)
        rest = s.fs_out / self.fs * 4 ** quarters
        self.post = [Core(A, "RateConverter", 0, r) for r in [0.25] * (quarters - 1) + [rest]]
        g = Core(A, "RateConverter", 0, 0.25).call("gain") ** quarters
        self.offset = np.float32(kw.get("offset_db", 0.0) - 20 * math.log10(g))


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
    dict(fs=10e6, span=1e6, rbw=1e3, src_center=100e6, center=100.3e6, navg=3, flat=False),
    dict(fs=1.024e6, span=200e3, rbw=2e3, center=-50e3, full_scale=0.5, offset_db=3.5, navg=5, flat=False),
    dict(fs=2.048e6, span=200e3, rbw=4e3, bits=12, window="hann", flat=False),
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
    kw = dict(fs=1.024e6, span=200e3, rbw=2e3, flat=False)
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
    (dict(navg=0), ValueError, "navg must be >= 1, got 0"),
    (dict(fs=0.0), ValueError, "fs must be > 0, got 0.0"),
    (dict(span=-1.0), ValueError, "span must be > 0, got -1.0"),
    (dict(rbw=0.0), ValueError, "rbw must be > 0, got 0.0"),
    (dict(full_scale=0.0), ValueError, "full_scale must be > 0, got 0.0"),
    (dict(bits=2000), ValueError, "bits must be 0 (use full_scale) or 1..1024, got 2000"),
    *[(kw, MemoryError, NULL) for kw in [
        dict(rbw=1e-9),  # window beyond 2^27
        dict(rbw=1e6, window="hann"),  # Hann of length 2 has no gain
        dict(navg=2 ** 40)]],  # a state blob beyond 4 GiB
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


# --- flat front end -------------------------------------------------------------------------------

# fs/fs_out = 8 exactly (one pair, then a halfband), 31.25 (one pair, then the resampler), 78
# (two pairs), 260 (three pairs, at the RF of a real receiver)
FLAT = [dict(fs=2.048e6, span=200e3, rbw=2e3, center=-100e3, navg=2),
        dict(fs=1e6, span=25e3, rbw=200.0, center=300e3, full_scale=0.5, offset_db=3.5),
        dict(fs=1e6, span=10e3, rbw=100.0, center=-405e3, window="hann", navg=3),
        dict(fs=10e6, span=30e3, rbw=300.0, src_center=100e6, center=97.1e6)]
FLAT_SMALL = dict(fs=1.024e6, span=20e3, rbw=2e3, center=-7e3, navg=2)  # two pairs, n 16


@pytest.mark.parametrize("kw,quarters", list(zip(FLAT, [1, 1, 2, 3])))
def test_flat_frames_equal_the_halfband_pairs_composed_by_hand(kw, quarters):
    s = Specan(**kw)
    assert s.flat and s.predecimation == 4 ** quarters and Specan(**kw, flat=False).predecimation == 1
    ref = FlatHandChain(s, kw, quarters)
    per_frame = int(s.n * s.navg * kw["fs"] / s.fs_out)
    x = tones(3 * per_frame, kw["fs"], [(kw["center"] - kw.get("src_center", 0) + 0.3 * kw["span"], 0.3)],
              noise=0.01)
    calls = [(0, 7000), (7000, 7001), (7001, per_frame + 11), (per_frame + 11, len(x))]
    got, want = [s.execute(x[a:b]) for a, b in calls], [ref.execute(x[a:b]) for a, b in calls]
    assert [g is None for g in got] == [w is None for w in want] and got[-1] is not None
    assert all(g is None or g.tobytes() == w.tobytes() for g, w in zip(got, want))


def test_below_8_to_1_flat_is_the_plain_chain():
    x = tones(20000, SMALL["fs"], [(37e3, 0.4)], noise=0.05, seed=3)
    flat, plain = Specan(**{**SMALL, "flat": True}), Specan(**SMALL)
    assert (flat.flat, plain.flat, flat.predecimation) == (True, False, 1)
    assert frames(flat, x).tobytes() == frames(plain, x).tobytes()
    a, b = flat.get_state(), plain.get_state()  # "SPAF" adds the pair count (0) to "SPAN"
    assert (a[:4], b[:4], a[16:24], a[24:]) == (b"SPAF", b"SPAN", bytes(8), b[16:])


LEVEL_CASES = [(10e6, 100e3, True), (1e6, 25e3, True), (2.048e6, 200e3, True), (1e6, 3e3, True),
               (1e6, 200e3, False), (10e6, 100e3, False)]


@pytest.mark.parametrize("fs,span,flat", LEVEL_CASES)
def test_a_full_scale_tone_reads_0_dbfs_across_the_span(fs, span, flat):
    """A complex tone of amplitude 1 on a display bin anywhere within +-0.4 span reads
    0.00 dBFS; the plain front end at 100:1 reads the uncompensated CIC's droop."""
    s = Specan(fs=fs, span=span, rbw=span / 440, center=0.0, flat=flat)
    df, half = s.fs_out / s.nfft, s.display_size // 2
    n_in = int(2 * s.n * fs / s.fs_out) + 1000  # the frame is the second segment: settled
    got = {}
    for off in (-0.4, -0.25, -0.1, 0.0, 0.1, 0.25, 0.4):
        k = round(off * span / df)
        s.reset()
        y = s.execute(tones(n_in, fs, [(k * df, 1.0)]))
        assert np.argmax(y) == half + k
        got[off] = y[half + k]
    if flat or fs / s.fs_out < 8:
        assert all(abs(v) <= 0.02 for v in got.values()), got
    else:  # 10 MHz to 128 kHz: CIC(64) then the resampler
        assert (got[0.25], got[0.4]) == (pytest.approx(-1.47, abs=0.01), pytest.approx(-3.82, abs=0.01))


@pytest.mark.parametrize("fs,span,plain_worst", [(10e6, 100e3, -77.7), (1e6, 25e3, -23.7),
                                                 (2.048e6, 200e3, -46.1), (1e6, 3e3, -45.2)])
def test_signals_outside_the_span_stay_60_db_down(fs, span, plain_worst):
    """0 dBFS tones 0.55 to 5 spans off centre (both sides; aliases of the resampler start at
    0.78 span) leave every display value below -60 dBFS; the plain front end lets the CIC's
    aliases through at some of these offsets."""
    worst = {}
    for flat in (True, False):
        s = Specan(fs=fs, span=span, rbw=span / 440, flat=flat)
        n_in = int(2 * s.n * fs / s.fs_out) + 1000
        levels = []
        for off in (0.55, 0.75, 1.0, 1.5, 3.0, 5.0):
            for f in (off * span, -off * span):
                if abs(f) < fs / 2:
                    s.reset()
                    levels.append(s.execute(tones(n_in, fs, [(f, 1.0)])).max())
        worst[flat] = max(levels)
    assert worst[True] < -60 and worst[False] == pytest.approx(plain_worst, abs=0.5), worst


@settings(max_examples=15, deadline=None)
@given(st.lists(st.integers(0, 8000), max_size=6))
def test_flat_any_split_gives_the_same_frames_and_state(cuts):
    x = tones(8000, FLAT_SMALL["fs"], [(-3e3, 0.4)], noise=0.05, seed=5)
    assert_split_invariant(lambda: Specan(**FLAT_SMALL), lambda o, v: (o.execute(v), [])[1], x, cuts)


def flat_layout(s: Specan):
    """Offsets in a "SPAF" blob: the down-converter, the converters behind it, the PSD, pending_len."""
    d = 24
    ddc = Core(A, "ddc", 0.0, 0.25).call("state_bytes")
    rcs = [Core(A, "RateConverter", 0, r).call("state_bytes") for r in (0.25,) * (s.predecimation.bit_length() // 2 - 1)
           + (s.fs_out / FLAT_SMALL["fs"] * s.predecimation,)]
    post = [d + ddc + sum(rcs[:i]) for i in range(len(rcs))]
    p = d + ddc + sum(rcs)
    return d, post, p, p + 40 + 8 * s.nfft


def test_flat_blob_restores_mid_stream_and_rejects_crafted_blobs():
    x = tones(12000, FLAT_SMALL["fs"], [(2e3, 0.5)], noise=0.02, seed=9)
    for at in (0, 777, 1301, 5000):
        assert_restore_continues(lambda: Specan(**FLAT_SMALL), frames, x, at)
    s = Specan(**FLAT_SMALL)
    frames(s, x[:3000])
    other = s.get_state()
    s.execute(x[3000:3333])
    now, (d, post, p, q), B = s.get_state(), flat_layout(s), s.n * s.navg
    assert len(now) == s.state_bytes() == q + 8 + 8 * B and len(post) == 2
    assert (now[:4], now[16:24], now[d:d + 4], now[p:p + 4]) == (b"SPAF", (2).to_bytes(8, "little"), b"DDC_", b"PSD ")
    for at, data in [(16, (1).to_bytes(8, "little")), (16, b"\xff" * 8), (q, (B + 1).to_bytes(8, "little")),
                     (p, b"PSX "), (d + 16, struct.pack("<d", 0.5)), *[(a, b"XXXX") for a in post],
                     (post[-1] + 8, b"\xff\xff\xff\x7f")]:
        with pytest.raises(ValueError, match="^set_state rejected the blob$"):
            s.set_state(patched(other, at, data))
        assert s.get_state() == now  # nothing restored, not even the down-converter
    plain = Specan(**FLAT_SMALL, flat=False)  # the two kinds never take each other's blobs
    for a, b in ((s, plain), (plain, s)):
        with pytest.raises(ValueError):
            a.set_state(b.get_state())
    s.set_state(other)
    assert s.get_state() == other
    use = lambda o: (o.execute(tones(3000, FLAT_SMALL["fs"], [], noise=1.0)), o.rbw)  # noqa: E731
    rng = np.random.default_rng(11)
    for lo, hi, count in [(16, None, 150), (16, 24, 40), (post[0], p, 100)]:
        fuzz_blobs(s, rng, use, count=count, lo=lo, hi=hi)


def test_flat_retune_and_reset():
    s, ref = Specan(**FLAT_SMALL), Specan(**FLAT_SMALL)
    x = tones(9000, FLAT_SMALL["fs"], [(1e3, 0.5)])
    frames(s, x)
    s.reset()
    assert s.get_state() == ref.get_state()
    s.retune(1e3)
    y = frames(s, x)
    assert s.center == 1e3 and np.argmax(y[-s.display_size:]) == s.display_size // 2


def test_flat_limits_and_threads():
    """Beyond 30 halfband pairs (fs/fs_out above 8*4**30, or infinite) the flat analyzer is
    refused where the plain one still builds; flat analyzers run in parallel threads."""
    for kw in (dict(fs=1e20, span=1.0, rbw=0.1), dict(fs=1e300, span=1e-300, rbw=1e-301)):
        with pytest.raises(MemoryError, match=f"^{NULL}$"):
            Specan(**kw)
    assert Specan(fs=1e20, span=1.0, rbw=0.1, flat=False).predecimation == 1
    assert Specan(fs=8e18 * 1.28, span=1.0, rbw=0.5).predecimation == 4 ** 30
    x = tones(40000, FLAT_SMALL["fs"], [(3e3, 0.5)], noise=0.01)
    want = frames(Specan(**FLAT_SMALL), x)
    objs, got = [Specan(**FLAT_SMALL) for _ in range(3)], [None] * 3
    threads = [threading.Thread(target=lambda i=i: got.__setitem__(i, frames(objs[i], x, 40000))) for i in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(g.tobytes() == want[-len(g):].tobytes() for g in got)
