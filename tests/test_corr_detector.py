"""Streaming correlation detectors (spectral.CorrDetector, spectral.CorrDetector2D): the ring
path against the correlators, push splits, the threshold and noise rules, the 64-result limit
with nothing lost, state blobs mid-stream and crafted, the last_corr lifetime and messages."""

from __future__ import annotations

import ctypes
import struct
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from ostrel import spectral

import native
from streaming import assert_restore_continues, assert_split_invariant, fuzz_blobs

C64 = np.complex64
F32 = np.float32


def cnoise(shape, seed, scale=1.0):
    rng = np.random.default_rng(seed)
    return (scale * (rng.standard_normal(shape) + 1j * rng.standard_normal(shape))).astype(C64)


def impulse(n, at=0):
    r = np.zeros(n, C64)
    r[at] = 1
    return r


def flat(results):
    """Detections of a push as one flat float64 array, for split comparisons."""
    return np.array(results, dtype=np.float64).ravel()


def lane_sum(v, lanes=16):
    """float32 sum in the detector's order: element j into lane j % 16 (each lane left to
    right), then the lanes added pairwise."""
    s = np.zeros(lanes, F32)
    for row in np.pad(v, (0, -v.size % lanes)).reshape(-1, lanes):
        s += row
    while s.size > 1:
        s = s[0::2] + s[1::2]
    return s[0]


def noise_of(mag, lo, hi, mode):
    v = mag[lo:hi + 1]
    if mode == "mean":
        return lane_sum(v) / F32(v.size)
    if mode == "median":
        return np.sort(v)[v.size // 2]
    return v.min() if mode == "min" else v.max()


# --- documented behaviour -----------------------------------------------------------------------

def test_documented_examples():
    d = spectral.CorrDetector(impulse(8), noise_lo=1, noise_hi=7)
    assert d.last_corr is None
    assert d.push(np.ones(8, C64)) == [(0, 1.0, 1.0, 1.0)]
    d2 = spectral.CorrDetector2D(impulse(16).reshape(4, 4), noise_lo=1, noise_hi=15)
    assert d2.push(np.ones((4, 4), C64)) == [(0, 0, 1.0, 1.0, 1.0)]
    assert (d2.ny, d2.nx, d2.n) == (4, 4, 16)
    d = spectral.CorrDetector(impulse(8), noise_lo=1, noise_hi=7)
    assert d.push(np.ones(5, C64)) == [] and d.push(np.ones(3, C64)) == [(0, 1.0, 1.0, 1.0)]
    assert spectral.CorrDetector(np.ones(8, C64)).ring_cap == 512
    assert spectral.CorrDetector(np.ones(600, C64)).ring_cap == 1024
    assert spectral.CorrDetector2D(np.ones((30, 40), C64)).ring_cap == 2048


@pytest.mark.parametrize("lo,hi,want", [(5, 2, (2, 5)), (3, 10**6, (3, 7)), (0, -1, (0, 7)),
                                        (-1, 0, (0, 7)), (9, 9, (7, 7)), (2**64 - 1, 4, (4, 7))])
def test_noise_range_clamped_and_ordered(lo, hi, want):
    d = spectral.CorrDetector(impulse(8), noise_lo=lo, noise_hi=hi)
    assert (d.noise_lo, d.noise_hi) == want
    assert (spectral.CorrDetector(impulse(8)).noise_lo, spectral.CorrDetector(impulse(8)).noise_hi) == (0, 7)


@pytest.mark.parametrize("mode", ["mean", "median", "min", "max"])
@pytest.mark.parametrize("lo,hi", [(0, 63), (5, 20), (7, 10), (30, 30), (1, 50)])
def test_dump_evaluation(mode, lo, hi):
    """Peak, noise and statistic recomputed in float32 from last_corr, bit for bit."""
    ref = cnoise(64, 1)
    x = np.roll(ref, 17) + cnoise(64, 2, 0.5)
    d = spectral.CorrDetector(ref, noise_lo=lo, noise_hi=hi, noise_mode=mode)
    [(lag, peak, noise, stat)] = d.push(x)
    c = d.last_corr
    mag = np.sqrt(c.real * c.real + c.imag * c.imag)
    assert lag == np.argmax(mag) == 17 and peak == mag[17]
    assert noise == noise_of(mag, lo, hi, mode)
    assert stat == F32(peak) / F32(noise)


def test_median_of_four_is_the_upper_middle():
    x = np.zeros(8, C64)
    x[:5] = [10, 1, 2, 3, 4]
    d = spectral.CorrDetector(impulse(8), noise_lo=1, noise_hi=4, noise_mode="median")
    [(lag, peak, noise, stat)] = d.push(x)
    assert (lag, round(peak, 4), round(noise, 4)) == (0, 10.0, 3.0)


@pytest.mark.parametrize("period,pattern,lag", [
    (2, [0, 2], 1),          # equal peaks at every odd lag: the lowest wins
    (4, [0, 0, 2, 0], 2),
    (64, [0] * 37 + [3] + [0] * 26, 37),
    (1, [1], 0),             # all bins equal
])
def test_peak_ties_go_to_the_lowest_lag(period, pattern, lag):
    """With an impulse reference the correlation is the frame itself; these frames transform
    exactly, so the tied magnitudes are exactly equal."""
    x = np.tile(np.array(pattern, C64), 64 // period)
    d = spectral.CorrDetector(impulse(64))
    [(got, peak, _, _)] = d.push(x)
    c = d.last_corr
    mag = np.sqrt(c.real * c.real + c.imag * c.imag)
    assert got == lag and peak == mag.max() == mag[lag]
    assert np.count_nonzero(mag == peak) == 64 // period  # the ties are exact


def test_threshold_rule():
    ref = cnoise(32, 3)
    x = np.roll(ref, 3) + cnoise(32, 4, 2.0)
    [(_, _, _, stat)] = spectral.CorrDetector(ref).push(x)
    assert stat > 0
    for thr, fires in [(0.0, True), (-1.0, True), (stat, False),
                       (float(np.nextafter(F32(stat), F32(0))), True)]:
        assert len(spectral.CorrDetector(ref, threshold=thr).push(x)) == int(fires), thr
    for thr in (float("nan"), float("inf")):  # a threshold that never or always fires: refused
        with pytest.raises(ValueError, match="^threshold must be finite"):
            spectral.CorrDetector(ref, threshold=thr)
    zero = spectral.CorrDetector(ref, threshold=0.0)  # statistic 0 (no noise) still fires
    assert zero.push(np.zeros(32, C64)) == [(0, 0.0, 0.0, 0.0)]
    assert zero.threshold == 0.0


def test_dwell_dumps_every_third_frame():
    ref = cnoise(16, 5)
    d = spectral.CorrDetector(ref, dwell=3)
    counts, got = [], []
    for k in range(7):
        got.append(len(d.push(cnoise(16, 10 + k))))
        counts.append(d.count)
    assert got == [0, 0, 1, 0, 0, 1, 0] and counts == [1, 2, 0, 1, 2, 0, 1] and d.dwell == 3


@pytest.mark.parametrize("two_d", [False, True])
def test_ring_path_equals_the_correlator(two_d):
    """Frames taken from the ring give the correlator's output bit for bit, in any chunking."""
    shape = (4, 24) if two_d else (96,)
    ref = cnoise(shape, 6)
    if two_d:
        ref[1:] = 0
    stream = cnoise(96 * 9, 7)
    corr = (spectral.Corr2D if two_d else spectral.Corr)(ref, dwell=3)
    det = (spectral.CorrDetector2D if two_d else spectral.CorrDetector)(ref, dwell=3)
    outs = [corr.execute(f) for f in stream.reshape(9, 96)]
    dumps = []
    for chunk in np.array_split(stream, [50, 51, 300, 301, 700]):
        if det.push(chunk):
            dumps.append(det.last_corr.copy())
    assert len(dumps) == 3
    for got, want in zip(dumps, [o for o in outs if o is not None]):
        assert got.tobytes() == want.tobytes()
    assert det.last_corr.shape == (96,) and det.last_corr.dtype == C64


def test_finds_a_spreading_code_in_noise():
    rng = np.random.default_rng(8)
    code = rng.choice([-1.0, 1.0], 1023).astype(C64)
    delay, frames = 411, 8
    rx = np.tile(np.roll(code, delay), frames) * np.exp(0.7j) + cnoise(1023 * frames, 9, 2.0)
    d = spectral.CorrDetector(code, dwell=4, noise_mode="median", threshold=6.0)
    hits = d.push(rx.astype(C64))
    assert [h[0] for h in hits] == [delay, delay]
    assert all(h[3] > 6.0 for h in hits)


# --- streaming ----------------------------------------------------------------------------------

MAKERS = {
    "1d": lambda: spectral.CorrDetector(cnoise(40, 11), dwell=2, noise_lo=3, noise_hi=30,
                                        noise_mode="median"),
    "2d": lambda: spectral.CorrDetector2D(cnoise((4, 10), 12), dwell=2, noise_mode="max"),
}


@settings(max_examples=30, deadline=None)
@given(st.sampled_from(sorted(MAKERS)), st.lists(st.integers(0, 1200), max_size=8))
def test_push_split_invariant(kind, cuts):
    x = cnoise(1200, 13)
    assert_split_invariant(MAKERS[kind], lambda d, c: flat(d.push(c)), x, cuts)


@pytest.mark.parametrize("kind", sorted(MAKERS))
def test_blob_restores_mid_stream(kind):
    x = cnoise(1200, 14)
    for at in (0, 57, 400, 1199):
        blob = assert_restore_continues(MAKERS[kind], lambda d, c: flat(d.push(c)), x, at)
    d = MAKERS[kind]()
    d.push(x[:517])
    blob = d.get_state()
    corr_len = 24 + 8 * 40
    pos_len = 8 if kind == "1d" else 16
    assert blob[:4] == (b"DET1" if kind == "1d" else b"DET2")
    assert len(blob) == 16 + corr_len + 8 + 8 * d.ring_cap + pos_len + 16 == d.state_bytes()
    assert blob[16:20] == (b"CORR" if kind == "1d" else b"CR2D")
    fill = struct.unpack_from("<Q", blob, 16 + corr_len)[0]
    assert fill == 517 % 40
    ring = np.frombuffer(blob, C64, d.ring_cap, 16 + corr_len + 8)
    np.testing.assert_array_equal(ring[:fill], x[517 - fill:517])
    assert not ring[fill:].any()
    tail = 16 + corr_len + 8 + 8 * d.ring_cap
    assert struct.unpack_from("<i", blob, tail + pos_len + 12)[0] == 1  # last_valid


@pytest.mark.parametrize("kind", sorted(MAKERS))
def test_crafted_blobs_rejected_whole(kind):
    """Each bad field alone is refused and nothing (correlator included) changes."""
    x = cnoise(1200, 15)
    d = MAKERS[kind]()
    d.push(x[:450])
    good = d.get_state()
    corr_len, pos_len = 24 + 8 * 40, 8 if kind == "1d" else 16
    fill_at = 16 + corr_len
    tail = fill_at + 8 + 8 * d.ring_cap
    other = MAKERS[kind]()
    other.push(x[:97])
    keep = other.get_state()
    bad = [
        (16 + 16, struct.pack("<Q", 2)),                # correlator count == dwell
        (16 + 16, struct.pack("<Q", 2**63)),
        (fill_at, struct.pack("<Q", d.ring_cap + 1)),   # more queued than the ring holds
        (tail + pos_len + 12, struct.pack("<i", 2)),    # last_valid is a flag
        (tail, struct.pack("<Q", 40 if kind == "1d" else 4)),  # peak outside the frame
        (16, b"CORX"),                                  # embedded magic
    ]
    if kind == "2d":
        bad.append((tail + 8, struct.pack("<Q", 10)))   # peak column outside
    for at, value in bad:
        b = bytearray(good)
        b[at:at + len(value)] = value
        with pytest.raises(ValueError, match="set_state rejected the blob"):
            other.set_state(bytes(b))
        assert other.get_state() == keep
    other.set_state(good)
    assert other.get_state() == good
    full = bytearray(good)
    full[fill_at:fill_at + 8] = struct.pack("<Q", d.ring_cap)
    other.set_state(bytes(full))  # a full ring is a valid state
    assert other.push(np.zeros(0, C64)) is not None


@pytest.mark.parametrize("kind", sorted(MAKERS))
def test_fuzzed_blobs(kind):
    d = MAKERS[kind]()
    x = cnoise(300, 16)
    d.push(x)
    rng = np.random.default_rng(17)
    fuzz_blobs(d, rng, lambda o: (o.push(x), o.last_corr, o.count), count=150)
    fill_at = 16 + 24 + 8 * 40
    fuzz_blobs(d, rng, lambda o: (o.push(x), o.last_corr), count=60, lo=fill_at, hi=fill_at + 8)


# --- the 64-result limit ------------------------------------------------------------------------

@pytest.mark.parametrize("two_d", [False, True])
def test_result_limit_loses_nothing(two_d):
    ref = cnoise((2, 4) if two_d else 8, 18)
    make = (lambda: spectral.CorrDetector2D(ref)) if two_d else (lambda: spectral.CorrDetector(ref))
    x = cnoise(8 * 1000, 19)
    want = []
    small = make()
    for c in np.array_split(x, 1000):
        want += small.push(c)
    assert len(want) == 1000  # threshold 0: every dump reports
    d = make()
    got = d.push(x)
    assert len(got) == 64 and d.pending == max(8000 - 64 * 8 - d.ring_cap, 0)
    with pytest.raises(RuntimeError, match="still pending"):
        d.get_state()
    got += d.push(x[:5])  # new input waits behind the pending samples
    while d.pending:
        part = d.push(np.zeros(0, C64))
        assert len(part) == 64
        got += part
    got += d.push(np.zeros(0, C64))
    assert got == want + small.push(x[:5])
    assert d.get_state() == small.get_state()


def test_result_limit_carry_is_a_copy_and_reset_discards_it():
    ref = cnoise(8, 20)
    x = cnoise(8 * 200, 21)
    d, e = spectral.CorrDetector(ref), spectral.CorrDetector(ref)
    buf = x.copy()
    first = d.push(buf)
    buf[:] = 0  # the caller reuses its buffer: the pending input must not change
    rest = []
    while d.pending:
        rest += d.push(np.zeros(0, C64))
    assert first + rest + d.push(np.zeros(0, C64)) == sum((e.push(c) for c in np.split(x, 200)), [])
    d.push(x)
    assert d.pending
    d.reset()
    assert d.pending == 0 and d.last_corr is None and d.count == 0
    d.push(x)
    d.set_state(e.get_state())
    assert d.pending == 0


def core():
    library = native.lib("spectral")
    vp, u64, sz = native.c_void_p, native.c_u64, native.c_size
    native.fn(library, "detector_create", vp, vp, u64, u64, u64, u64, native.c_int, native.c_float,
              native.c_int)
    native.fn(library, "detector2d_create", vp, vp, u64, u64, u64, u64, u64, native.c_int,
              native.c_float, native.c_int)
    for p in ("detector", "detector2d"):
        native.fn(library, f"{p}_destroy", None, vp)
        native.fn(library, f"{p}_push", sz, vp, vp, sz, vp, sz)
        native.fn(library, f"{p}_feed", sz, vp, vp, sz, vp, sz, ctypes.POINTER(ctypes.c_size_t))
        native.fn(library, f"{p}_set_threshold", None, vp, native.c_float)
        native.fn(library, f"{p}_state_bytes", sz, vp)
        native.fn(library, f"{p}_get_state", None, vp, vp)
    native.fn(library, "detector_set_ref", None, vp, vp)
    native.fn(library, "detector2d_set_ref", native.c_int, vp, vp)
    return library


class Result(ctypes.Structure):
    _fields_ = [("lag", ctypes.c_uint64), ("peak", ctypes.c_float), ("noise", ctypes.c_float),
                ("stat", ctypes.c_float)]


def test_core_feed_reports_consumption_and_setters():
    ref, ref2 = cnoise(16, 22), cnoise(16, 23)
    d = native.Core(core(), "detector", ref.ctypes.data, 16, 1, 0, 2**64 - 1, 0, 0.0, 1)
    res = (Result * 4)()
    used = ctypes.c_size_t()
    x = np.tile(ref2, 100)
    assert d.call("feed", x.ctypes.data, x.size, res, 4, ctypes.byref(used)) == 4
    assert used.value == 4 * 16 + 512  # four frames, then the ring filled
    assert d.call("push", x.ctypes.data, 0, res, 0) == 0  # no room for results: nothing runs
    d.call("set_threshold", 1e9)
    assert d.call("push", x.ctypes.data, 0, res, 4) == 0  # the queued frames are drained silently
    d.call("set_ref", ref2.ctypes.data)  # resets: the ring is empty again
    d.call("set_threshold", 0.0)
    assert d.call("feed", x.ctypes.data, 16, res, 4, ctypes.byref(used)) == 1 and used.value == 16
    assert res[0].lag == 0 and res[0].stat > 5


@pytest.mark.parametrize("mode,threshold,fires", [(4, 0.0, True), (4, 0.5, False),
                                                   (-1, 0.0, True), (1, 0.0, True)])
def test_core_unknown_noise_mode_gives_noise_and_statistic_zero(mode, threshold, fires):
    ref = cnoise(16, 26)
    d = native.Core(core(), "detector", ref.ctypes.data, 16, 1, 0, 15, mode, threshold, 1)
    res = (Result * 1)()
    x = np.roll(ref, 3)
    assert d.call("push", x.ctypes.data, 16, res, 1) == int(fires)
    if fires:
        assert res[0].lag == 3 and res[0].peak > 0
        assert (res[0].noise == 0 and res[0].stat == 0) == (mode not in (0, 1, 2, 3))


def test_core_2d_set_ref_refused_in_row_mode_changes_nothing():
    ref = np.zeros((4, 8), C64)
    ref[0] = cnoise(8, 24)
    d = native.Core(core(), "detector2d", ref.ctypes.data, 4, 8, 1, 0, 2**64 - 1, 0, 0.0, 1)
    x = cnoise(45, 25)
    res = (Result * 1)()
    d.call("push", x.ctypes.data, x.size, res, 1)
    before = d.state()
    full = ref.copy()
    full[3, 1] = 1
    assert d.call("set_ref", full.ctypes.data) == -1
    assert d.state() == before
    assert d.call("set_ref", ref.ctypes.data) == 0
    assert d.state() != before


# --- last_corr ----------------------------------------------------------------------------------

def test_last_corr_is_a_live_read_only_view():
    ref = cnoise(32, 26)
    d = spectral.CorrDetector(ref)
    d.push(cnoise(32, 27))
    v = d.last_corr
    first = v.copy()
    assert not v.flags.writeable and v.base is not None
    d.push(np.roll(ref, 9))
    assert np.argmax(np.abs(v)) == 9 and not np.array_equal(v, first)  # overwritten in place
    d.reset()
    assert d.last_corr is None


@pytest.mark.parametrize("two_d", [False, True])
def test_pushing_last_corr_itself_equals_pushing_a_copy(two_d):
    """The input may be the very buffer the push's dumps overwrite (last_corr): with queued
    samples left over, part of it is copied into the ring only after a frame has run."""
    ref = cnoise(512, 40)
    make = (lambda: spectral.CorrDetector2D(ref.reshape(8, 64))) if two_d else \
        (lambda: spectral.CorrDetector(ref))
    a, b = make(), make()
    x = cnoise(612, 41)
    a.push(x)
    b.push(x)
    v = a.last_corr
    w = v.copy()
    assert a.push(v) == b.push(w)
    assert a.get_state() == b.get_state()


def test_last_corr_after_a_restore_into_a_fresh_detector():
    """The blob carries last_valid but not the correlation vector: the fresh object shows its
    own (never written) buffer rather than None."""
    d = spectral.CorrDetector(cnoise(16, 42))
    d.push(cnoise(16, 43))
    fresh = spectral.CorrDetector(cnoise(16, 42))
    fresh.set_state(d.get_state())
    v = fresh.last_corr
    assert v is not None and v.shape == (16,) and not v.any()


def test_last_corr_survives_destroy_and_collection(tmp_path):
    script = textwrap.dedent("""
        import gc
        import numpy as np
        from ostrel import spectral
        rng = np.random.default_rng(0)
        ref = (rng.standard_normal(4096) + 1j * rng.standard_normal(4096)).astype(np.complex64)
        views = []
        for kind in ("1d", "2d"):
            if kind == "1d":
                d = spectral.CorrDetector(ref)
            else:
                d = spectral.CorrDetector2D(ref.reshape(64, 64))
            d.push(np.roll(ref, 100))
            v = d.last_corr
            views.append((v, v.copy()))
            d.destroy()
            del d
        gc.collect()
        junk = [np.full(4096, 7 + 7j, np.complex64) for _ in range(200)]
        for v, want in views:
            assert np.array_equal(v, want)
        del views
        gc.collect()
        print("ok")
    """)
    r = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60,
                       cwd=tmp_path)
    assert r.returncode == 0 and r.stdout.strip() == "ok", r.stderr


class Evil:
    """A sample block whose conversion runs `action` first (destroys or re-creates the
    detector while push is converting its argument)."""

    def __init__(self, action, n):
        self.action, self.n = action, n

    def __array__(self, dtype=None, copy=None):
        self.action()
        return np.ones(self.n, dtype or C64)


@pytest.mark.parametrize("two_d", [False, True])
def test_push_whose_argument_destroys_or_reinitialises_the_detector(two_d):
    ref = impulse(8).reshape(2, 4) if two_d else impulse(8)
    kind = spectral.CorrDetector2D if two_d else spectral.CorrDetector
    d = kind(ref)
    with pytest.raises(RuntimeError, match="^destroyed$"):
        d.push(Evil(d.destroy, 8))
    d = kind(ref, dwell=2)
    d.push(np.ones(11, C64))
    assert len(d.push(Evil(lambda: d.__init__(ref), 8))) == 1  # ran on the new detector
    assert d.count == 0 and d.dwell == 1


# --- messages -----------------------------------------------------------------------------------

MODE_MSG = 'noise_mode must be one of "mean", "median", "min", "max", got \'avg\''


@pytest.mark.parametrize("call,exc,msg", [
    (lambda: spectral.CorrDetector(np.ones(8, C64), noise_mode="avg"), ValueError, MODE_MSG),
    (lambda: spectral.CorrDetector2D(np.ones((2, 2), C64), noise_mode="avg"), ValueError, MODE_MSG),
    (lambda: spectral.CorrDetector(np.ones(8, C64), dwell=0), ValueError, "^dwell must be >= 1, got 0$"),
    (lambda: spectral.CorrDetector(np.zeros(0, C64)), ValueError, r"^ref\.size must be >= 1, got 0$"),
    (lambda: spectral.CorrDetector2D(np.ones(8, C64)), ValueError, "ref must be a 2-D array"),
    (lambda: spectral.CorrDetector2D(np.ones((2, 2), C64), dwell=0), ValueError,
     "^dwell must be >= 1, got 0$"),
    (lambda: spectral.CorrDetector(np.ones(8, C64), noise_hi=-2), OverflowError, None),
    (lambda: spectral.CorrDetector(np.ones(8, C64), dwell=2**64), OverflowError, None),
    (lambda: spectral.CorrDetector(np.ones(8, C64)).push(np.ones(8)), TypeError, None),
    (lambda: spectral.CorrDetector(np.ones(8, C64)).push(), TypeError, None),
    (lambda: spectral.CorrDetector(np.ones(8, C64)).set_state(b"x"), ValueError,
     "state blob size mismatch"),
    (lambda: spectral.CorrDetector2D(np.ones((2, 2), C64)).set_state("x"), TypeError,
     "set_state expects bytes"),
])
def test_messages(call, exc, msg):
    with pytest.raises(exc, match=msg):
        call()


@pytest.mark.parametrize("make", [lambda: spectral.CorrDetector(np.ones(8, C64)),
                                  lambda: spectral.CorrDetector2D(np.ones((2, 4), C64))])
def test_destroyed(make):
    with make() as d:
        d.push(np.ones(8, C64))
    for use in (lambda: d.push(np.ones(8, C64)), lambda: d.last_corr, lambda: d.ring_cap,
                d.get_state, d.reset, d.state_bytes, lambda: d.set_state(b"")):
        with pytest.raises(RuntimeError, match="destroyed"):
            use()
    assert d.destroy() is None
