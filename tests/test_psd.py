"""Welch PSD (spectral.PSD) and its trace accumulator: readers against scipy.signal.welch,
Parseval, measurements on constructed spectra, reduction modes, state blobs and messages."""

from __future__ import annotations

import struct

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st
from scipy import signal

from ostrel import spectral

import native
import streaming

WINDOWS = {"hann": spectral.hann_window, "blackman-harris": spectral.blackman_harris_window}


def window_of(name, n, beta=0.0):
    w = np.zeros(n, np.float32)
    if name == "kaiser":
        spectral.kaiser_window(w, beta)
    else:
        WINDOWS[name](w)
    return w


def tone(n, k, nfft, amp=1.0, phase=0.0):
    t = np.arange(n)
    return (amp * np.exp(1j * (2 * np.pi * k / nfft * t + phase))).astype(np.complex64)


def noise(n, seed=0, scale=0.1):
    rng = np.random.default_rng(seed)
    return (scale * (rng.standard_normal(n) + 1j * rng.standard_normal(n))).astype(np.complex64)


def welch(x, fs, w, nfft, scaling, onesided=False):
    f, p = signal.welch(x, fs=fs, window=w.astype(np.float64), nperseg=len(w), noverlap=0,
                        nfft=nfft, detrend=False, return_onesided=onesided, scaling=scaling)
    return p if onesided else np.fft.fftshift(p)


# --- readers against scipy.signal.welch ----------------------------------------------------------

@pytest.mark.parametrize("window,n,pad,beta", [
    ("hann", 256, 1, 0.0), ("hann", 100, 1, 0.0), ("blackman-harris", 128, 2, 0.0),
    ("kaiser", 200, 4, 8.6), ("kaiser", 64, 1, 0.0)])
def test_readers_match_welch(window, n, pad, beta):
    fs, full_scale = 2.5e6, 0.75
    x = noise(n * 37 + 11, seed=n) + tone(n * 37 + 11, 13.3, n, 0.5)
    psd = spectral.PSD(n=n, fs=fs, window=window, beta=beta, pad=pad, full_scale=full_scale)
    psd.accumulate(x)
    nfft = psd.nfft
    w = window_of(window, n, beta)
    ref_psd = welch(x[: n * 37], fs, w, nfft, "spectrum")
    dens = welch(x[: n * 37], fs, w, nfft, "density")
    assert psd.count == 37
    np.testing.assert_allclose(psd.psd_db(), 10 * np.log10(ref_psd / full_scale**2), atol=2e-3)
    np.testing.assert_allclose(psd.psd_dbhz(), 10 * np.log10(dens / full_scale**2), atol=2e-3)
    np.testing.assert_allclose(psd.power_twosided(), ref_psd, rtol=5e-4)
    h = nfft // 2
    one = psd.power_onesided()
    assert one.shape == (h + 1,)
    assert one[0] == pytest.approx(ref_psd[h], rel=5e-4)
    np.testing.assert_allclose(one[1:h], ref_psd[h + 1:] + ref_psd[h - 1:0:-1], rtol=5e-4)
    assert one[h] == pytest.approx(ref_psd[0], rel=5e-4)


def test_real_input_matches_welch_onesided():
    n, fs = 128, 1000.0
    rng = np.random.default_rng(7)
    x = (0.3 * rng.standard_normal(n * 20) + np.cos(2 * np.pi * 125.0 / fs * np.arange(n * 20))
         ).astype(np.float32)
    psd = spectral.PSD(n=n, fs=fs)
    psd.accumulate_real(x)
    w = window_of("hann", n)
    ref = welch(x, fs, w, n, "spectrum", onesided=True)
    np.testing.assert_allclose(psd.power_onesided(), ref, rtol=5e-4)
    two = welch(x, fs, w, n, "spectrum")
    np.testing.assert_allclose(psd.power_twosided(), two, rtol=5e-4)
    # real input: the complex path with zero imaginary part gives the same bits
    ref_c = spectral.PSD(n=n, fs=fs)
    ref_c.accumulate(x.astype(np.complex64))
    np.testing.assert_array_equal(ref_c.psd_db(), psd.psd_db())


def test_tone_reads_zero_dbfs_and_position():
    psd = spectral.PSD(n=64, fs=1.0, window="hann", mode="mean")
    for _ in range(4):
        psd.accumulate(tone(64, 8, 64))
    db = psd.psd_db()
    assert db.shape == (64,) and db.dtype == np.float32
    assert int(np.argmax(db)) == 40 and db[40] == pytest.approx(0.0, abs=1e-4)
    assert psd.count == 4
    assert psd.power_twosided()[40] == pytest.approx(1.0, rel=1e-5)
    # full_scale and bits set the 0 dBFS reference
    psd = spectral.PSD(n=64, bits=12, full_scale=5.0)
    assert psd.bits == 12 and psd.full_scale == 2048.0
    psd.accumulate(tone(64, -3, 64, amp=2048.0))
    assert psd.psd_db()[29] == pytest.approx(0.0, abs=1e-4)


def test_db_minus_dbhz_is_rbw():
    psd = spectral.PSD(n=32, fs=2.0)
    psd.accumulate(noise(32 * 5))
    w = window_of("hann", 32).astype(np.float64)
    off = 10 * np.log10(2.0 * (w**2).sum() / w.sum() ** 2)
    diff = psd.psd_db().astype(np.float64) - psd.psd_dbhz()
    np.testing.assert_allclose(diff, off, atol=1e-5)
    assert psd.rbw == pytest.approx(2.0 * (w**2).sum() / w.sum() ** 2)
    assert 10 * np.log10(psd.rbw) == pytest.approx(off)


def test_floor_is_minus_200_db():
    psd = spectral.PSD(n=16)
    psd.accumulate(np.zeros(16, np.complex64))
    assert np.all(psd.psd_db() == -200.0)
    assert psd.noise_floor() == -200.0
    assert psd.occupied_bw(0.99) == 0.0
    assert psd.total_band_power([-0.5, 0.5]) == -200.0


# --- band power and Parseval ----------------------------------------------------------------------

def test_parseval_total_band_power():
    n, fs, fsc = 256, 8000.0, 2.0
    x = noise(n * 12, seed=9, scale=0.4) + tone(n * 12, 40.5, n, 0.3)
    psd = spectral.PSD(n=n, fs=fs, full_scale=fsc, window="blackman-harris")
    psd.accumulate(x)
    w = window_of("blackman-harris", n).astype(np.float64)
    frames = x.reshape(12, n).astype(np.complex128)
    mean_power = np.mean(np.sum(np.abs(frames * w) ** 2, axis=1)) / (w**2).sum()
    expect = 10 * np.log10(mean_power / fsc**2)
    assert psd.total_band_power([-fs / 2, fs / 2]) == pytest.approx(expect, abs=1e-4)
    assert psd.band_power([fs / 2, -fs / 2])[0] == pytest.approx(expect, abs=1e-4)
    # a constant-envelope tone: exactly its power
    psd = spectral.PSD(n=n, fs=fs)
    psd.accumulate(tone(n * 3, 17.25, n, 0.5))
    assert psd.total_band_power(np.array([-fs, fs])) == pytest.approx(10 * np.log10(0.25), abs=1e-4)


def test_band_power_edges_and_shapes():
    psd = spectral.PSD(n=64, fs=1.0)
    assert psd.band_power([-0.5, 0.0]).shape == (0,)  # empty before the first frame
    assert psd.total_band_power([-0.5, 0.5]) == -200.0
    psd.accumulate(noise(64) + tone(64, 5, 64))
    two = psd.band_power([-0.5, 0.0, 0.0, 0.5])
    assert two.shape == (2,) and two.dtype == np.float32
    lin = psd.power_twosided().astype(np.float64)
    w = window_of("hann", 64).astype(np.float64)
    scale = w.sum() ** 2 / (64 * (w**2).sum())
    assert two[0] == pytest.approx(10 * np.log10(lin[0:33].sum() * scale), abs=1e-4)
    assert two[1] == pytest.approx(10 * np.log10(lin[32:64].sum() * scale), abs=1e-4)
    assert psd.band_power([0.6, 0.9])[0] == -200.0
    assert psd.band_power([-0.9, -0.6])[0] == -200.0
    assert psd.band_power([0.1, 0.3])[0] == psd.band_power([0.3, 0.1])[0]
    assert psd.band_power([0.1, 0.3, 0.2]).shape == (1,)  # trailing odd value ignored
    assert psd.band_power([float("nan"), 0.2])[0] == -200.0
    # A NaN edge has no trace index: the band counts as outside in every band measurement.
    assert psd.band_power([0.2, float("nan"), float("nan"), float("nan")]).tolist() == [-200.0] * 2
    assert psd.total_band_power([float("nan"), 0.2, 0.2, float("nan")]) == -200.0
    assert psd.total_band_power([-0.5, 0.5, float("nan"), 0.2]) == psd.total_band_power([-0.5, 0.5])
    assert psd.snr(float("nan"), 0.2) == 0.0 and psd.snr(0.1, float("nan")) == 0.0
    assert psd.band_power([-np.inf, np.inf])[0] == pytest.approx(
        psd.band_power([-0.5, 0.5])[0])
    # overlapping bands count twice in the total; outside bands add nothing
    one = psd.total_band_power([-0.5, 0.5])
    assert psd.total_band_power([-0.5, 0.5, -0.5, 0.5, 2, 3]) == pytest.approx(
        one + 10 * np.log10(2), abs=1e-9)
    assert psd.total_band_power([0.1]) == -200.0
    # out=
    out = np.full(5, 9.0, np.float32)
    v = psd.band_power([-0.5, 0.0, 0.0, 0.5], out=out)
    assert v.base is out and v.shape == (2,) and np.all(out[2:] == 9.0)
    np.testing.assert_array_equal(v, two)
    with pytest.raises(ValueError, match=r"out has 3 elements, need >= 4"):
        psd.band_power([-0.5, 0.0, 0.0, 0.5], out=np.zeros(3, np.float32))
    with pytest.raises(TypeError, match="out must be a writable"):
        psd.band_power([-0.5, 0.0], out=np.zeros(4, np.float64))
    assert psd.band_power_max_out() == 0


# --- measurements on constructed spectra -----------------------------------------------------------

def two_tone_psd(n=256, fs=1.0, **kw):
    psd = spectral.PSD(n=n, fs=fs, **kw)
    x = tone(n * 8, 20, n, 1.0) + tone(n * 8, -50, n, 0.1) + noise(n * 8, seed=3, scale=1e-4)
    psd.accumulate(x)
    return psd


def test_noise_floor_snr_sfdr():
    psd = two_tone_psd()
    db = psd.psd_db().astype(np.float64)
    assert psd.noise_floor() == pytest.approx(np.median(db), abs=1e-9)
    assert psd.snr(-0.5, 0.5) == pytest.approx(db.max() - np.median(db), abs=1e-5)
    # band around the weaker tone only: index 128 - 50 = 78, freq -50/256
    lo, hi = -52 / 256, -48 / 256
    assert psd.snr(hi, lo) == pytest.approx(db[76:81].max() - np.median(db), abs=1e-5)
    assert psd.snr(0.6, 0.7) == 0.0
    assert psd.sfdr(-60.0) == pytest.approx(20.0, abs=1e-3)
    assert psd.sfdr(min_db=-10.0) == 0.0  # only one peak above the gate
    fresh = spectral.PSD(n=16)
    assert (fresh.noise_floor(), fresh.snr(-1, 1), fresh.sfdr(-100), fresh.occupied_bw(0.9)) == (
        0.0, 0.0, 0.0, 0.0)


def test_single_tone_sfdr_zero():
    psd = spectral.PSD(n=64)
    psd.accumulate(tone(64, 8, 64, 1.0))
    assert psd.sfdr(0.0) == 0.0


def test_occupied_bw():
    n, fs = 128, 12800.0
    psd = spectral.PSD(n=n, fs=fs)
    psd.accumulate(tone(n, 10, n))  # Hann on a bin: powers 1/4, 1, 1/4 on three bins
    assert psd.occupied_bw(0.99) == pytest.approx(3 * fs / n)
    assert psd.occupied_bw(fraction=0.5) == pytest.approx(fs / n)
    p = psd.power_twosided().astype(np.float64)
    for frac in (0.2, 0.9, 0.999):
        assert psd.occupied_bw(frac) == spectral.obw_from_power(p, fs, frac)
    # band-limited noise: filled band of 32 bins
    rng = np.random.default_rng(11)
    band = np.zeros(n, complex)
    band[:16] = 1
    band[-16:] = 1
    frames = []
    for _ in range(50):
        ph = np.exp(2j * np.pi * rng.random(n))
        frames.append(np.fft.ifft(band * ph))
    psd = spectral.PSD(n=n, fs=fs, window="blackman-harris")
    psd.accumulate(np.concatenate(frames).astype(np.complex64))
    assert 30 * fs / n <= psd.occupied_bw(0.99) <= 40 * fs / n


# --- reduction modes -------------------------------------------------------------------------------

def test_maxhold_minhold_exp_mean():
    n = 64
    a, b = tone(n, 5, n), tone(n, -9, n, 0.5)
    mx = spectral.PSD(n=n, mode="maxhold")
    mn = spectral.PSD(n=n, mode="minhold")
    ex = spectral.PSD(n=n, mode="exp", alpha=0.25)
    me = spectral.PSD(n=n, mode="mean")
    singles = []
    for x in (a, b):
        s = spectral.PSD(n=n)
        s.accumulate(x)
        singles.append(s.power_twosided().astype(np.float64))
        for p in (mx, mn, ex, me):
            p.accumulate(x)
    pa, pb = singles
    np.testing.assert_allclose(mx.power_twosided(), np.maximum(pa, pb), rtol=1e-6)
    np.testing.assert_allclose(mn.power_twosided(), np.minimum(pa, pb), rtol=1e-6, atol=1e-12)
    np.testing.assert_allclose(ex.power_twosided(), pa + (pb - pa) * 0.25, rtol=1e-6, atol=1e-12)
    np.testing.assert_allclose(me.power_twosided(), (pa + pb) / 2, rtol=1e-6, atol=1e-12)
    assert mx.power_twosided()[32 + 5] == pytest.approx(1.0, rel=1e-5)
    assert mx.power_twosided()[32 - 9] == pytest.approx(0.25, rel=1e-5)
    assert [p.mode for p in (me, ex, mx, mn)] == [0, 1, 2, 3]


# --- framing, readers, properties -----------------------------------------------------------------

def test_framing_keeps_the_remainder_for_the_next_call():
    psd = spectral.PSD(n=64)
    x = noise(163)
    psd.accumulate(x[:63])  # shorter than a frame: kept, nothing folded yet
    assert psd.count == 0 and psd.psd_db() is None
    psd.accumulate(x[63:])  # completes frame 0 and frame 1; 35 samples wait
    assert psd.count == 2
    ref = spectral.PSD(n=64)
    ref.accumulate(x[:128])
    np.testing.assert_array_equal(psd.psd_db(), ref.psd_db())
    psd.accumulate(np.zeros((3, 64), np.complex64))  # any shape, taken flat
    assert psd.count == 5
    psd.accumulate_real(np.zeros(10, np.float32))
    assert psd.count == 5
    psd.reset()  # drops the pending samples too
    psd.accumulate(x[:64])
    ref.reset()
    ref.accumulate(x[:64])
    assert psd.count == 1 and psd.get_state() == ref.get_state()


@settings(max_examples=25, deadline=None)
@given(st.lists(st.integers(0, 700), max_size=8), st.sampled_from(["mean", "exp", "maxhold"]),
       st.booleans())
def test_any_split_of_a_stream_gives_the_same_estimate(cuts, mode, real):
    x = (noise(700, seed=5) + tone(700, 5.5, 64)).astype(np.complex64)
    data = x.real.copy() if real else x
    call = "accumulate_real" if real else "accumulate"

    def run(p, block):
        getattr(p, call)(block)
        return p.power_twosided() if p.count else np.zeros(0, np.float32)

    whole, split = spectral.PSD(n=64, mode=mode, alpha=0.3), spectral.PSD(n=64, mode=mode, alpha=0.3)
    run(whole, data)
    e = streaming.edges(len(data), cuts)
    for a, b in zip(e, e[1:]):
        run(split, data[a:b])
    assert split.count == whole.count == 700 // 64
    np.testing.assert_array_equal(split.power_twosided(), whole.power_twosided())
    assert split.get_state() == whole.get_state()  # the same samples pending


@settings(max_examples=25, deadline=None)
@given(st.lists(st.integers(0, 6), min_size=1, max_size=8))
def test_whole_frame_splits_are_invariant(frames_per_call):
    n = 32
    x = noise(n * sum(frames_per_call), seed=sum(frames_per_call))
    whole = spectral.PSD(n=n, mode="exp", alpha=0.3)
    whole.accumulate(x)
    parts = spectral.PSD(n=n, mode="exp", alpha=0.3)
    pos = 0
    for k in frames_per_call:
        parts.accumulate(x[pos:pos + k * n])
        pos += k * n
    assert parts.count == whole.count
    if whole.count:
        assert parts.get_state() == whole.get_state()


def test_reader_out_and_count_rules():
    psd = spectral.PSD(n=64, pad=2)
    assert psd.nfft == 128
    assert psd.psd_db_max_out() == psd.psd_dbhz_max_out() == psd.power_twosided_max_out() == 128
    assert psd.power_onesided_max_out() == 65
    out = np.full(200, 3.0, np.float32)
    assert psd.psd_db(out=out) is None and np.all(out == 3.0)  # nothing yet: out untouched
    psd.accumulate(noise(64))
    for name in ("psd_db", "psd_dbhz", "power_twosided", "power_onesided"):
        reader = getattr(psd, name)
        full = reader()
        assert reader(count=500).shape == full.shape
        np.testing.assert_array_equal(reader(0), full)
        out = np.full(200, 3.0, np.float32)
        v = reader(out=out)
        assert v.base is out and len(v) == len(full) and np.all(out[len(full):] == 3.0)
        np.testing.assert_array_equal(v, full)
        with pytest.raises(ValueError, match=rf"out has 10 elements, need >= {len(full)}"):
            reader(out=np.zeros(10, np.float32))
        with pytest.raises(ValueError, match=r"out has 200 elements, need >= 300"):
            reader(300, np.zeros(200, np.float32))
        with pytest.raises(TypeError, match="out must be a writable, C-contiguous ndarray"):
            reader(out=np.zeros(200, np.float64))
        ro = np.zeros(200, np.float32)
        ro.flags.writeable = False
        with pytest.raises(TypeError, match="out must be a writable"):
            reader(out=ro)


def test_core_reader_caps():
    lib = native.lib("spectral")
    c = native
    for name in ("psd_create",):
        native.fn(lib, name, c.c_void_p, c.c_u64, c.c_double, c.c_u32, c.c_float, c.c_u64,
                  c.c_double, c.c_u64, c.c_u32, c.c_double)
    native.fn(lib, "psd_destroy", None, c.c_void_p)
    native.fn(lib, "psd_accumulate", c.c_size, c.c_void_p, c.c_void_p, c.c_size)
    onesided = native.fn(lib, "psd_power_onesided", c.c_size, c.c_void_p, c.c_size, c.c_void_p,
                         c.c_size)
    p = native.Core(lib, "psd", 16, 1.0, 0, 0.0, 1, 1.0, 0, 0, 0.1)
    x = noise(16)
    assert p.call("accumulate", native.ptr(x), 16) == 1
    full = np.zeros(9, np.float32)
    assert onesided(p.p, 1, native.ptr(full), 9) == 9
    for cap in range(0, 9):
        out = np.full(10, 5.0, np.float32)
        assert onesided(p.p, 1, native.ptr(out), cap) == cap
        np.testing.assert_array_equal(out[:cap], full[:cap])
        assert np.all(out[cap:] == 5.0)


def test_properties():
    psd = spectral.PSD(n=1000, fs=48000.0, pad=0, window="kaiser", beta=7.0)
    assert (psd.n, psd.nfft, psd.fs, psd.full_scale, psd.bits, psd.count) == (
        1000, 1024, 48000.0, 1.0, 0, 0)
    w = window_of("kaiser", 1000, 7.0).astype(np.float64)
    assert psd.enbw == pytest.approx(1000 * (w**2).sum() / w.sum() ** 2, rel=1e-12)
    assert psd.rbw == pytest.approx(psd.enbw * 48000.0 / 1000)
    assert spectral.PSD(n=1024, pad=2).nfft == 2048
    assert spectral.PSD(n=2, window="blackman-harris").nfft == 2
    defaults = spectral.PSD()
    assert (defaults.n, defaults.fs, defaults.mode, defaults.nfft) == (1024, 1.0, 0, 1024)
    with pytest.raises(AttributeError):
        defaults.n = 5
    for name in ("n", "nfft", "fs", "full_scale", "bits", "enbw", "rbw", "count", "mode"):
        assert getattr(spectral.PSD, name).__doc__


def test_reset():
    psd = spectral.PSD(n=32)
    fresh = psd.get_state()
    psd.accumulate(noise(96))
    assert psd.reset() is None
    assert psd.count == 0 and psd.psd_db() is None and psd.get_state() == fresh


# --- state blobs -----------------------------------------------------------------------------------

def test_state_round_trip_mid_stream():
    x = noise(64 * 20, seed=21) + tone(64 * 20, 3.3, 64)
    for mode in ("mean", "exp", "maxhold", "minhold"):
        a = spectral.PSD(n=64, mode=mode, alpha=0.2)
        a.accumulate(x[: 64 * 7])
        blob = a.get_state()
        assert len(blob) == a.state_bytes() == 48 + 8 * 64 + 8 * 64
        assert blob[:4] == b"PSD " and blob[16:20] == b"ATRC"
        assert struct.unpack_from("<HHI", blob, 4) == (2, 1, len(blob))
        assert struct.unpack_from("<HHIIQ", blob, 20) == (1, 1, 24 + 8 * 64, 0, 7)
        a.accumulate(x[64 * 7:])
        b = spectral.PSD(n=64, mode=mode, alpha=0.2)
        b.set_state(blob)
        assert b.count == 7
        b.accumulate(x[64 * 7:])
        for r in ("psd_db", "psd_dbhz", "power_twosided", "power_onesided"):
            np.testing.assert_array_equal(getattr(a, r)(), getattr(b, r)())
        assert a.sfdr(-100) == b.sfdr(-100) and a.noise_floor() == b.noise_floor()


def test_state_blob_rejections():
    psd = spectral.PSD(n=64)
    psd.accumulate(noise(128))
    blob = psd.get_state()
    before = psd.psd_db()
    with pytest.raises(TypeError, match="set_state expects bytes"):
        psd.set_state(bytearray(blob))
    with pytest.raises(ValueError, match="state blob size mismatch"):
        psd.set_state(blob[:-1])
    with pytest.raises(ValueError, match="state blob size mismatch"):
        psd.set_state(spectral.PSD(n=128).get_state())
    for off, val in ((0, b"X"), (4, b"\x03"), (6, b"\x00"), (8, b"\x00"),
                     (16, b"X"), (20, b"\x02"), (22, b"\x00"), (24, b"\x01")):
        bad = blob[:off] + val + blob[off + 1:]
        with pytest.raises(ValueError, match="set_state rejected the blob"):
            psd.set_state(bad)
        np.testing.assert_array_equal(psd.psd_db(), before)
    # byte 7 and the reserved words of both headers are not examined
    for off in (7, 12, 15, 23, 28, 31):
        psd.set_state(blob[:off] + b"\x7f" + blob[off + 1:])
    np.testing.assert_array_equal(psd.psd_db(), before)


def test_pending_samples_survive_a_round_trip_and_old_blobs_still_load():
    x = noise(64 * 6 + 50, seed=8)
    make = lambda: spectral.PSD(n=64)  # noqa: E731
    blob = streaming.assert_restore_continues(make, lambda p, b: p.accumulate(b) or 0, x, 64 * 2 + 37)
    k = 40 + 8 * 64  # the trace part: the first blob layout, which stored nothing else
    assert struct.unpack_from("<Q", blob, k) == (37,)
    np.testing.assert_array_equal(np.frombuffer(blob, np.complex64, 37, k + 8), x[128:165])
    old = bytearray(blob[:k])
    struct.pack_into("<HHI", old, 4, 1, 1, k)
    b = make()
    b.accumulate(x[:10])  # pending samples are dropped by an old blob, which had none
    b.set_state(bytes(old))
    ref = make()
    ref.accumulate(x[:128])
    assert b.get_state() == ref.get_state()
    bad = bytearray(blob)
    struct.pack_into("<Q", bad, k, 64)  # as many pending samples as a whole frame
    with pytest.raises(ValueError, match="set_state rejected the blob"):
        b.set_state(bytes(bad))
    lying = bytearray(old)  # old length, new version: never read past the shorter blob
    struct.pack_into("<H", lying, 4, 2)
    with pytest.raises(ValueError, match="set_state rejected the blob"):
        b.set_state(bytes(lying))
    lying = bytearray(old)
    struct.pack_into("<I", lying, 8, len(blob))
    with pytest.raises(ValueError, match="set_state rejected the blob"):
        b.set_state(bytes(lying))
    assert b.get_state() == ref.get_state()


def test_block_calls_run_without_the_interpreter_lock():
    import threading

    x = noise(1 << 16, seed=3)
    psds = [spectral.PSD(n=1024) for _ in range(3)]
    threads = [threading.Thread(target=lambda p=p: [p.accumulate(x) for _ in range(4)])
               for p in psds]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    ref = spectral.PSD(n=1024)
    for _ in range(4):
        ref.accumulate(x)
    for p in psds:
        assert p.get_state() == ref.get_state()


def test_fuzzed_blobs_never_crash():
    rng = np.random.default_rng(99)
    psd = spectral.PSD(n=16, mode="exp")
    psd.accumulate(noise(48))
    good = psd.get_state()
    for i in range(400):
        b = bytearray(good)
        for _ in range(rng.integers(1, 6)):
            pos = int(rng.integers(0, 40)) if i % 2 else int(rng.integers(0, len(b)))
            b[pos] = int(rng.integers(0, 256))
        try:
            psd.set_state(bytes(b))
        except ValueError as e:
            assert str(e) == "set_state rejected the blob"
        r = psd.psd_db()
        assert r is None or r.shape == (16,)
    for _ in range(50):
        with pytest.raises(ValueError):
            psd.set_state(bytes(rng.integers(0, 256, len(good), dtype=np.uint8)))


# --- trace accumulator core ------------------------------------------------------------------------

@pytest.fixture(scope="module")
def atrc():
    lib = native.lib("spectral")
    c = native
    native.fn(lib, "acc_trace_create", c.c_void_p, c.c_u64, c.c_u32, c.c_double)
    native.fn(lib, "acc_trace_destroy", None, c.c_void_p)
    native.fn(lib, "acc_trace_reset", None, c.c_void_p)
    native.fn(lib, "acc_trace_state_bytes", c.c_size, c.c_void_p)
    native.fn(lib, "acc_trace_get_state", None, c.c_void_p, c.c_void_p)
    native.fn(lib, "acc_trace_set_state", c.c_int, c.c_void_p, c.c_char_p)
    native.fn(lib, "acc_trace_accumulate", None, c.c_void_p, c.c_void_p, c.c_size)
    native.fn(lib, "acc_trace_value", c.c_size, c.c_void_p, c.c_size, c.c_void_p, c.c_size)
    native.fn(lib, "acc_trace_value_max_out", c.c_size, c.c_void_p)

    class Acc(native.Core):
        def __init__(self, length, mode, alpha=0.1):
            super().__init__(lib, "acc_trace", length, mode, alpha)
            self.len = length

        def push(self, values):
            x = np.asarray(values, np.float32)
            self.call("accumulate", native.ptr(x), len(x))

        def value(self, cap=None):
            out = np.full(self.len + 1, -7.0, np.float32)
            got = self.call("value", 1, native.ptr(out), self.len if cap is None else cap)
            return out[:got]

    return Acc


def test_acc_trace_modes(atrc):
    expect = {0: 2.0, 2: 3.0, 3: 1.0}
    for mode, v in expect.items():
        t = atrc(1, mode)
        for x in (1, 2, 3):
            t.push([x])
        assert t.value().tolist() == [v]
    t = atrc(1, 1, 0.1)
    t.push([0])
    t.push([10])
    assert t.value()[0] == pytest.approx(1.0)
    for alpha in (1.0, 3.0):
        t = atrc(2, 1, alpha)
        for x in ([1, 2], [5, -1], [0.5, 9]):
            t.push(x)
        assert t.value().tolist() == [0.5, 9.0]
    t = atrc(1, 1, 0.0)
    for x in (4, 8, 9):
        t.push([x])
    assert t.value().tolist() == [4.0]
    # the zero initial trace never takes part in a max or min
    t = atrc(2, 2)
    t.push([-5, -6])
    t.push([-7, -1])
    assert t.value().tolist() == [-5.0, -1.0]


def test_acc_trace_empty_short_and_caps(atrc):
    t = atrc(3, 0)
    assert len(t.value()) == 0
    assert t.call("value_max_out") == 3
    t.push([1, 2])  # shorter than the trace: ignored
    assert len(t.value()) == 0
    t.push([1, 2, 3, 4])  # longer: first len values
    assert t.value().tolist() == [1.0, 2.0, 3.0]
    assert t.value(cap=2).tolist() == [1.0, 2.0]
    t.push([3, 2])
    assert t.value().tolist() == [1.0, 2.0, 3.0]
    t.call("reset")
    assert len(t.value()) == 0
    assert not native.lib("spectral").acc_trace_create(0, 0, 0.1)
    assert not native.lib("spectral").acc_trace_create(4, 4, 0.1)
    assert not native.lib("spectral").acc_trace_create(2**62, 0, 0.1)  # blob length overflow


def test_acc_trace_state(atrc):
    t = atrc(2, 0)
    for x in range(5):
        t.push([x, 2 * x])
    blob = t.state()
    assert len(blob) == 24 + 16 and blob[:4] == b"ATRC"
    assert struct.unpack_from("<Qdd", blob, 16) == (5, 2.0, 4.0)
    u = atrc(2, 0)
    assert u.set_state(blob) == 0
    u.push([8, 16])  # weight 1/6
    assert u.value().tolist() == [pytest.approx(2 + 6 / 6), pytest.approx(4 + 12 / 6)]
    assert u.set_state(blob[:4].replace(b"A", b"B") + blob[4:]) == native.OX_EINVAL
    assert u.set_state(atrc(3, 0).state()[:40]) == native.OX_EINVAL  # length field differs
    assert u.set_state(None) == native.OX_EINVAL


# --- construction and lifecycle messages -----------------------------------------------------------

def test_constructor_messages():
    with pytest.raises(ValueError) as e:
        spectral.PSD(window="hamming")
    assert str(e.value) == ('window must be one of "hann", "kaiser", "blackman-harris", '
                            "got 'hamming'")
    with pytest.raises(ValueError) as e:
        spectral.PSD(mode="avg")
    assert str(e.value) == ('mode must be one of "mean", "exp", "maxhold", "minhold", '
                            "got 'avg'")
    for kw, msg in (({"n": 1}, "n must be >= 2, got 1"), ({"n": 0}, "n must be >= 2, got 0"),
                    ({"fs": 0.0}, "fs must be > 0, got 0.0"), ({"fs": -1.0}, "fs must be > 0, got -1.0"),
                    ({"full_scale": 0.0}, "full_scale must be > 0, got 0.0"),
                    ({"full_scale": -2.0}, "full_scale must be > 0, got -2.0"),
                    ({"bits": 1025}, "bits must be 0 (use full_scale) or 1..1024, got 1025")):
        with pytest.raises(ValueError) as e:
            spectral.PSD(**kw)
        assert str(e.value) == msg
    assert spectral.PSD(n=8, bits=1024).full_scale == 2.0**1023
    for kw in ({"n": 2, "window": "hann"}, {"window": "kaiser", "beta": 1e6}):
        with pytest.raises(MemoryError, match="psd_create returned NULL"):
            spectral.PSD(**kw)
    for kw, message in (({"fs": float("nan")}, "^fs must be finite, got nan$"),
                        ({"fs": float("inf")}, "^fs must be finite, got inf$"),
                        ({"full_scale": float("nan")}, "^full_scale must be finite"),
                        ({"window": "kaiser", "beta": float("nan")}, "^beta must be finite"),
                        ({"n": 2**40}, "^n\\*pad=1099511627776 needs about"),
                        ({"n": 2**20, "pad": 2**60}, "more than this machine's memory")):
        with pytest.raises(ValueError, match=message):
            spectral.PSD(**kw)
    # bits overrides a bad full_scale
    assert spectral.PSD(n=8, full_scale=-1.0, bits=8).full_scale == 128.0
    with pytest.raises(ValueError, match="more than this machine's memory"):
        spectral.PSD(n=2**64 - 1)  # far too long
    with pytest.raises(OverflowError):
        spectral.PSD(n=-1)


def test_destroyed_and_context_manager():
    with spectral.PSD(n=16) as psd:
        assert isinstance(psd, spectral.PSD)
        psd.accumulate(noise(16))
    assert psd.destroy() is None and psd.destroy() is None
    for call in (lambda: psd.accumulate(noise(16)), lambda: psd.psd_db(), psd.state_bytes,
                 lambda: psd.band_power([0, 1]), lambda: psd.total_band_power([0, 1]),
                 psd.noise_floor, lambda: psd.snr(0, 1), lambda: psd.sfdr(0), lambda: psd.count,
                 lambda: psd.rbw, psd.reset, psd.get_state, lambda: psd.set_state(b"")):
        with pytest.raises(RuntimeError, match="destroyed"):
            call()
    with pytest.raises(KeyError):
        with spectral.PSD(n=16) as p2:
            raise KeyError
    with pytest.raises(RuntimeError, match="destroyed"):
        p2.noise_floor()


def test_input_conversion_errors():
    psd = spectral.PSD(n=16)
    with pytest.raises(TypeError):
        psd.accumulate(np.zeros(32, np.complex128))
    with pytest.raises(TypeError):
        psd.accumulate_real(np.zeros(32, np.float64))
    psd.accumulate(np.zeros(32, np.float32))  # safe cast to complex64
    assert psd.count == 2
    with pytest.raises(TypeError):
        psd.snr(0.1)
    with pytest.raises(TypeError):
        psd.noise_floor(1)


def test_module_type_order():
    names = [n for n, v in vars(spectral).items() if isinstance(v, type)]
    assert names[-1] == "PSD"  # registered last, after FFT, FFT2D and the correlators
    assert spectral.PSD.__module__ == "spectral"
    with pytest.raises(TypeError):
        type("Sub", (spectral.PSD,), {})


def test_demo_section_runs(tmp_path, monkeypatch, capsys):
    from ostrel.demo import spectral as demo

    monkeypatch.chdir(tmp_path)
    demo.run()
    text = capsys.readouterr().out
    for word in ("noise floor", "SNR", "SFDR", "occupied bw", "peaks:"):
        assert word in text
    assert ("plot saved to" in text) == (tmp_path / "ostrel-demo" / "demo_psd.png").exists()
    assert [p.name for p in tmp_path.iterdir()] in ([], ["ostrel-demo"])  # nothing beside it
