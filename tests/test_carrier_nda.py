"""track.CarrierNda: the non-data-aided M-th-power carrier loop."""

from __future__ import annotations

import ctypes
import inspect
import math
import re
import struct
import threading

import numpy as np
import pytest
from hypothesis import event, given, settings, strategies as st

from native import lib
from reference import mth_power, phase_inc
from ostrel import track
from ostrel.telemetry import Telemetry

F32 = np.float32
STATE_BYTES = 768
HDR = 16  # payload offsets below are record offsets + HDR


# ---------------------------------------------------------------------------------------------
# Signals
# ---------------------------------------------------------------------------------------------
def psk(m: int, n_sym: int, sps: int = 8, f0: float = 0.0, esn0_db: float = 100.0, seed: int = 0,
        phase: float = 0.7):
    """Rectangular-pulse M-PSK at unit power with a carrier offset and complex white noise
    (Es/N0 per symbol); returns the samples and the transmitted symbols."""
    rng = np.random.default_rng(seed)
    sym = np.exp(2j * np.pi * rng.integers(0, m, n_sym) / m)
    x = np.repeat(sym, sps)
    n0 = sps / 10 ** (esn0_db / 10)
    noise = math.sqrt(n0 / 2) * (rng.standard_normal(x.size) + 1j * rng.standard_normal(x.size))
    rot = np.exp(1j * (2 * np.pi * f0 * np.arange(x.size) + phase))
    return ((x + noise) * rot).astype(np.complex64), sym


def noise(n: int, seed: int = 1, scale: float = 1.0) -> np.ndarray:
    rng = np.random.default_rng(seed)
    return (scale * (rng.standard_normal(n) + 1j * rng.standard_normal(n))).astype(np.complex64)


# ---------------------------------------------------------------------------------------------
# A sample-by-sample NumPy re-evaluation of the loop (float32 where the loop is float32, Python
# floats where it is double), reading the module's own sine table.
# ---------------------------------------------------------------------------------------------
LUT = np.ctypeslib.as_array((ctypes.c_float * 65536).in_dll(lib("track"), "lo_sin_lut"))


def gains(bn: float, zeta: float) -> tuple[float, float]:
    wn = (bn * 8 * zeta) / (zeta * zeta * 4 + 1)
    theta = wn * 1.0
    d = (zeta * theta + 1) * 4 + theta * theta
    inv2pi = 1.0 / 6.283185307179586
    return (zeta * theta) * 8 / d * inv2pi, (theta * theta) * 4 / d * inv2pi


class RefLoop:
    def __init__(self, bn=0.01, zeta=0.707, f0=0.0, sps=8, n=4, m=4):
        self.kp, self.ki = gains(bn, zeta)
        self.m, self.arm_len = m, (1 if sps < n else sps // n)
        self.phase, self.inc, self.f0 = 0, phase_inc(f0), f0
        self.integ = self.ctrl = self.lock = self.err = 0.0
        self.ring = np.zeros(self.arm_len, dtype=np.complex64)
        self.idx, self.sr, self.si = 0, F32(0), F32(0)
        self.gain = F32(1.0 / self.arm_len)
        self.count, self.locked = 0, 0

    def step(self, x: complex) -> complex:
        k = self.phase >> 16
        s, c = LUT[k], LUT[(k + 16384) & 65535]
        self.phase = (self.phase + self.inc + phase_inc(self.ctrl)) & 0xFFFFFFFF
        xr, xi = F32(x.real), F32(x.imag)
        yr, yi = xr * c + xi * s, xi * c - xr * s
        old = self.ring[self.idx]
        self.sr = self.sr + (yr - F32(old.real))
        self.si = self.si + (yi - F32(old.imag))
        self.ring[self.idx] = complex(yr, yi)
        self.idx = (self.idx + 1) % self.arm_len
        if xr == 0 and xi == 0 and not np.any(self.ring):  # silence: the sum is exactly zero
            self.sr = self.si = F32(0)
        ar, ai = self.gain * self.sr, self.gain * self.si
        e, v = mth_power(ar, ai, self.m)
        self.lock = (float(v) - self.lock) * 0.05 + self.lock
        if not self.locked:
            self.count = self.count + 1 if self.lock > 0.5 else 0
            if self.count >= 64:
                self.locked, self.count = 1, 0
        else:
            self.count = self.count + 1 if not self.lock >= 0.4 else 0
            if self.count >= 32:
                self.locked, self.count = 0, 0
        self.err = float(e)
        self.integ = self.ki * self.err + self.integ
        self.ctrl = self.kp * self.err + self.integ
        return complex(yr, yi)


@pytest.mark.parametrize("m,f0", [(2, 0.003), (4, -0.0021), (8, 0.0011)])
def test_matches_numpy_reevaluation_bit_for_bit(m, f0):
    x, _ = psk(m, 300, f0=f0, esn0_db=20, seed=m)
    x[:5] = 0  # the zero-power branch of the discriminator
    ref = RefLoop(m=m, bn=0.02, f0=0.0005)
    c = track.CarrierNda(m=m, bn=0.02, init_norm_freq=0.0005)
    y = c.steps(x)
    yr = np.array([ref.step(v) for v in x], dtype=np.complex64)
    np.testing.assert_array_equal(y, yr)
    assert c.last_error == ref.err and c.lock == ref.lock and c.locked == bool(ref.locked)
    assert c.norm_freq == 0.0005 + ref.integ
    s = c.get_state()
    assert struct.unpack_from("<I", s, HDR)[0] == ref.phase
    assert struct.unpack_from("<dd", s, HDR + 16) == (ref.kp, ref.ki)
    assert struct.unpack_from("<d", s, HDR + 688)[0] == ref.ctrl


# ---------------------------------------------------------------------------------------------
# Acquisition
# ---------------------------------------------------------------------------------------------
@pytest.mark.parametrize("m,f0,esn0", [(2, 0.003, 12.0), (4, -0.002, 18.0), (8, 0.001, 24.0)])
def test_acquires_psk_with_offset_and_noise(m, f0, esn0):
    n_sym = 6000
    x, sym = psk(m, n_sym, f0=f0, esn0_db=esn0, seed=10 + m)
    c = track.CarrierNda(m=m, bn=0.005)
    with Telemetry(1 << 15) as tlm:
        c.set_telemetry(tlm, "nda", decim=8)
        y = c.steps(x)
        c.set_telemetry(None, "nda")
        d = tlm.demux(tlm.read())
    half = d["nda.locked"].size // 2
    assert np.argmax(d["nda.locked"] > 0) * 8 < 16000  # first lock, samples
    assert np.mean(d["nda.locked"][half:]) > 0.95 and np.mean(d["nda.lock"][half:]) > 0.5
    freq = d["nda.freq"]
    assert abs(np.mean(freq[freq.size // 2:]) - f0) < 5e-5
    assert abs(c.norm_freq - f0) < 3e-4
    # Matched-filter the second half and check the symbols against the truth up to the m-fold
    # ambiguity: no cycle slips and a symbol error rate near zero at these Es/N0.
    z = y.reshape(-1, 8).mean(axis=1)[n_sym // 2:]
    t = sym[n_sym // 2:]
    ser = min(np.mean(np.abs(np.angle(z * np.exp(-2j * np.pi * k / m) / t)) > np.pi / m)
              for k in range(m))
    assert ser < 0.01


def test_tracks_pure_tone():
    x = (np.exp(2j * np.pi * 0.001 * np.arange(40000)) + noise(40000, 2, 0.03)).astype(np.complex64)
    c = track.CarrierNda(bn=0.01, m=4)
    y = c.steps(x)
    assert y.size == x.size
    assert c.norm_freq == pytest.approx(0.001, abs=3e-5)
    assert c.lock > 0.95 and c.locked
    c.reset()
    assert c.norm_freq == 0.0 and c.lock == 0.0 and not c.locked and c.last_error == 0.0


def test_bpsk_output_settles_on_real_axis():
    x, _ = psk(2, 4000, f0=0.0, esn0_db=25, seed=4, phase=1.1)
    c = track.CarrierNda(m=2, bn=0.01)
    y = c.steps(x)[-8000:]
    ang = np.angle(np.mean(y.reshape(-1, 8).mean(axis=1) ** 2)) / 2
    assert abs(ang) < 0.05
    assert np.mean(np.abs(y.real)) > 5 * np.mean(np.abs(y.imag))


def test_all_zero_input():
    c = track.CarrierNda()
    y = c.steps(np.zeros(100, dtype=np.complex64))
    assert np.all(y == 0) and c.last_error == 0.0 and c.lock == 0.0
    # After a strong signal the float running sum of the arm keeps a rounding residue; silence
    # must still read as silence: zero error and a lock EMA decaying geometrically.
    c.steps((1000 * np.exp(2j * np.pi * 0.001 * np.arange(3000))).astype(np.complex64))
    lock0 = c.lock
    assert lock0 > 0.99
    y = c.steps(np.zeros(200, dtype=np.complex64))
    assert np.all(y == 0) and c.last_error == 0.0
    assert c.lock == pytest.approx(lock0 * 0.95 ** 200, rel=0.2)  # the arm empties first
    assert not c.steps(np.zeros(2000, dtype=np.complex64)).any() and c.lock < 1e-40
    assert not c.locked


# ---------------------------------------------------------------------------------------------
# Properties, configuration, creation
# ---------------------------------------------------------------------------------------------
def test_defaults_and_properties():
    c = track.CarrierNda()
    assert (c.m, c.n, c.sps, c.bn) == (4, 4, 8, 0.01)
    assert c.state_bytes() == STATE_BYTES and c.steps_max_out() == 0
    assert isinstance(c.locked, bool)
    s = c.get_state()
    assert s[:4] == b"CNDA" and struct.unpack_from("<HBBII", s, 4) == (5, 1, 0, 768, 0)
    assert struct.unpack_from("<Q", s, HDR + 80)[0] == 2  # arm_len = sps / n
    assert s[HDR + 728:] == bytes(24)  # telemetry fields are never part of the blob
    c2 = track.CarrierNda(bn=0.02, zeta=1.0, init_norm_freq=-0.01, sps=64, n=1, m=8)
    assert (c2.m, c2.n, c2.sps, c2.bn, c2.norm_freq) == (8, 1, 64, 0.02, -0.01)
    with pytest.raises(AttributeError):
        c.m = 2


SPS_RANGE = "sps must be a positive multiple of n with sps/n <= 64, got "


@pytest.mark.parametrize("kw,msg", [
    (dict(sps=8, n=3), SPS_RANGE + "8"), (dict(sps=256, n=2), SPS_RANGE + "256"),
    (dict(sps=0), SPS_RANGE + "0"), (dict(m=3), "m must be 2, 4 or 8, got 3"),
    (dict(m=16), "m must be 2, 4 or 8, got 16"), (dict(n=0), "n must be >= 1, got 0"),
    (dict(n=-4), "n must be >= 1, got -4"), (dict(bn=-0.1), "bn must be >= 0, got -0.1"),
    (dict(zeta=0.0), "zeta must be > 0, got 0.0")])
def test_create_refusals(kw, msg):
    with pytest.raises(ValueError, match=f"^{re.escape(msg)}$"):
        track.CarrierNda(**kw)


def test_bn_and_norm_freq_assignment():
    x, _ = psk(4, 3000, f0=0.002, esn0_db=30, seed=5)
    c = track.CarrierNda(bn=0.01)
    c.steps(x)
    f, lock = c.norm_freq, c.lock
    assert c.locked
    c.bn = 0.002
    assert c.bn == 0.002 and c.norm_freq == f and c.lock == lock and c.locked
    c.norm_freq = 0.0015
    assert c.norm_freq == 0.0015 and c.lock == 0.0 and not c.locked
    s = c.get_state()
    assert struct.unpack_from("<Q", s, HDR + 112 + 8)[0] == 0  # arm index
    assert s[HDR + 112 + 36:HDR + 112 + 556] == bytes(520)  # arm sums and history cleared
    c.reset()
    assert c.norm_freq == 0.0015  # the assignment moved the seed


def test_configure_lock():
    c = track.CarrierNda()
    c.steps(np.ones(70, dtype=np.complex64))
    assert not c.locked  # 64 samples above 0.5 needed, the EMA gets there after 14
    c.steps(np.ones(10, dtype=np.complex64))
    assert c.locked
    assert c.configure_lock(up_thresh=0.999, down_thresh=2.0, n_up=1, n_down=5) is None
    assert c.locked  # decision kept
    c.steps(np.ones(4, dtype=np.complex64))
    assert c.locked
    c.steps(np.ones(1, dtype=np.complex64))
    assert not c.locked  # five samples below down_thresh 2.0
    c.configure_lock(0.1, 0.0, 3, 3)
    c.steps(np.ones(3, dtype=np.complex64))
    assert c.locked


# ---------------------------------------------------------------------------------------------
# Streaming: block splits and state round trips
# ---------------------------------------------------------------------------------------------
SPLIT_X, _ = psk(8, 600, f0=0.0017, esn0_db=18, seed=6)


@settings(max_examples=25, deadline=None)
@given(st.lists(st.integers(0, 900), max_size=8), st.sampled_from([2, 4, 8]))
def test_block_split_invariance(cuts, m):
    whole = track.CarrierNda(m=m, bn=0.02)
    ref = whole.steps(SPLIT_X)
    split = track.CarrierNda(m=m, bn=0.02)
    edges = [0, *sorted(min(c * 5, SPLIT_X.size) for c in cuts), SPLIT_X.size]
    parts = [split.steps(SPLIT_X[a:b]) for a, b in zip(edges, edges[1:])]
    np.testing.assert_array_equal(np.concatenate(parts), ref)
    assert split.get_state() == whole.get_state()


@pytest.mark.parametrize("m", [2, 4, 8])
def test_state_round_trip_mid_stream(m):
    x, _ = psk(m, 800, f0=-0.0013, esn0_db=20, seed=7)
    a = track.CarrierNda(m=m, bn=0.01)
    a.steps(x[:2345])
    s = a.get_state()
    ya = a.steps(x[2345:])
    # Into a fresh object built differently: configuration and history come with the blob.
    b = track.CarrierNda(m=2 if m != 2 else 4, sps=64, n=1, bn=0.5, init_norm_freq=0.1)
    b.set_state(s)
    assert (b.m, b.n, b.sps, b.bn) == (m, 4, 8, 0.01)
    np.testing.assert_array_equal(b.steps(x[2345:]), ya)
    assert b.get_state() == a.get_state()
    a.set_state(s)  # and back into the original
    np.testing.assert_array_equal(a.steps(x[2345:]), ya)


def test_out_buffer_shorter_tail_is_computed():
    x, _ = psk(4, 100, f0=0.001, seed=8)
    ref = track.CarrierNda()
    yr = ref.steps(x)
    c = track.CarrierNda()
    out = np.full(x.size + 5, 9 + 9j, dtype=np.complex64)
    v = c.steps(x, out=out)
    assert v.size == x.size and np.shares_memory(v, out) and v.base is out
    np.testing.assert_array_equal(v, yr)
    assert np.all(out[x.size:] == 9 + 9j)
    assert c.get_state() == ref.get_state()


# ---------------------------------------------------------------------------------------------
# Untrusted blobs
# ---------------------------------------------------------------------------------------------
def patched(s: bytes, off: int, fmt: str, value) -> bytes:
    b = bytearray(s)
    struct.pack_into(fmt, b, off, value)
    return bytes(b)


def _loop_with_history() -> track.CarrierNda:
    c = track.CarrierNda(m=4, sps=8, n=2)  # arm of 4
    x, _ = psk(4, 50, f0=0.001, esn0_db=20, seed=9)
    c.steps(x[:101])
    return c


ARM = HDR + 112
LD = HDR + 696
BAD_FIELDS = [
    ("magic", 0, "<4s", b"CNDB"), ("version", 4, "<H", 4), ("flag", 6, "<B", 0),
    ("length", 8, "<I", 767),
    ("sps 0", HDR + 64, "<Q", 0), ("sps", HDR + 64, "<Q", 16),
    ("m 3", HDR + 72, "<i", 3), ("m 0", HDR + 72, "<i", 0), ("m 16", HDR + 72, "<i", 16),
    ("m -4", HDR + 72, "<i", -4),
    ("n 0", HDR + 76, "<i", 0), ("n -2", HDR + 76, "<i", -2), ("n", HDR + 76, "<i", 4),
    ("arm_len 0", HDR + 80, "<Q", 0), ("arm_len", HDR + 80, "<Q", 8),
    ("arm_len huge", HDR + 80, "<Q", 1 << 62),
    ("boxcar n 0", ARM, "<Q", 0), ("boxcar n 65", ARM, "<Q", 65), ("boxcar n", ARM, "<Q", 2),
    ("boxcar index", ARM + 8, "<Q", 4), ("boxcar index huge", ARM + 8, "<Q", 2 ** 64 - 1),
    ("n_up 0", LD + 16, "<I", 0), ("n_down 0", LD + 20, "<I", 0), ("locked 2", LD + 28, "<I", 2),
]


@pytest.mark.parametrize("name,off,fmt,value", BAD_FIELDS, ids=[b[0] for b in BAD_FIELDS])
def test_crafted_blob_rejected_and_object_unchanged(name, off, fmt, value):
    c = _loop_with_history()
    good = c.get_state()
    with pytest.raises(ValueError, match="^set_state rejected the blob$"):
        c.set_state(patched(good, off, fmt, value))
    assert c.get_state() == good


def test_consistent_configuration_blobs_accepted():
    c = _loop_with_history()
    good = c.get_state()
    c.set_state(patched(patched(good, 12, "<I", 0xFFFFFFFF), 7, "<B", 3))  # not examined
    assert c.get_state() == good
    # A different but self-consistent configuration: sps 12, n 3, arm 4 (the same ring).
    s = patched(patched(good, HDR + 64, "<Q", 12), HDR + 76, "<i", 3)
    c.set_state(s)
    assert (c.sps, c.n) == (12, 3)
    # sps below n: an arm of one sample; the arm's own window must follow.
    s = patched(patched(patched(patched(good, HDR + 64, "<Q", 2), HDR + 76, "<i", 5),
                        HDR + 80, "<Q", 1), ARM, "<Q", 1)
    c.set_state(patched(s, ARM + 8, "<Q", 0))
    assert c.steps(np.ones(10, dtype=np.complex64)).size == 10


def test_blob_errors_and_other_types():
    c = track.CarrierNda()
    with pytest.raises(TypeError, match="^set_state expects bytes$"):
        c.set_state(bytearray(c.get_state()))
    with pytest.raises(TypeError, match="^set_state expects bytes$"):
        c.set_state(memoryview(c.get_state()))
    with pytest.raises(ValueError, match="^state blob size mismatch$"):
        c.set_state(c.get_state()[:-1])
    with pytest.raises(ValueError, match="^state blob size mismatch$"):
        c.set_state(track.LoopFilter().get_state())
    forged = b"CSTS" + c.get_state()[4:]  # another component's magic, right length
    with pytest.raises(ValueError, match="^set_state rejected the blob$"):
        c.set_state(forged)


@settings(max_examples=300, deadline=None)
@given(st.lists(st.tuples(st.integers(0, STATE_BYTES - 1), st.integers(0, 255)), min_size=1,
                max_size=8))
def test_fuzzed_blobs_never_crash(mutations):
    c = _loop_with_history()
    b = bytearray(c.get_state())
    for off, val in mutations:
        b[off] = val
    before = c.get_state()
    try:
        c.set_state(bytes(b))
    except ValueError:
        assert c.get_state() == before
        return
    after = c.get_state()
    # Restored payload = blob payload (padding of the arm and telemetry tail are not state).
    assert after[HDR:ARM + 556] == bytes(b[HDR:ARM + 556])
    assert after[ARM + 560:HDR + 728] == bytes(b[ARM + 560:HDR + 728])
    y = c.steps(noise(300, 3))
    assert y.size == 300


@settings(max_examples=300, deadline=None)
@given(st.sampled_from([-1, 0, 1, 2, 2, 3, 4, 4, 8, 8, 16]), st.integers(-2, 70), st.integers(0, 130),
       st.one_of(st.none(), st.integers(0, 70)), st.one_of(st.none(), st.integers(0, 70)),
       st.one_of(st.none(), st.integers(0, 70)))
def test_configuration_fields_checked_together(m, n, sps, arm_len, box_n, box_index):
    # None stands for the value consistent with the other fields, so both outcomes occur.
    if arm_len is None:
        arm_len = 1 if sps < max(n, 1) else sps // max(n, 1)
    if box_n is None:
        box_n = min(arm_len, 64)
    if box_index is None:
        box_index = box_n // 2
    c = _loop_with_history()
    s = c.get_state()
    for off, fmt, v in [(HDR + 72, "<i", m), (HDR + 76, "<i", n), (HDR + 64, "<Q", sps),
                        (HDR + 80, "<Q", arm_len), (ARM, "<Q", box_n), (ARM + 8, "<Q", box_index)]:
        s = patched(s, off, fmt, v)
    ok = (m in (2, 4, 8) and n >= 1 and sps >= 1 and arm_len == (1 if sps < n else sps // n)
          and box_n == min(arm_len, 64) and box_index < box_n)
    before = c.get_state()
    event(f"accepted={ok}")
    if ok:
        c.set_state(s)
        assert (c.m, c.n, c.sps) == (m, n, sps)
        assert c.steps(noise(200, 4)).size == 200
    else:
        with pytest.raises(ValueError, match="^set_state rejected the blob$"):
            c.set_state(s)
        assert c.get_state() == before


# ---------------------------------------------------------------------------------------------
# Telemetry
# ---------------------------------------------------------------------------------------------
def test_telemetry_probes_values_and_detach():
    x, _ = psk(4, 200, f0=0.001, esn0_db=20, seed=11)
    ref = track.CarrierNda()
    yr = ref.steps(x)
    c = track.CarrierNda()
    with Telemetry(4096) as tlm:
        c.set_telemetry(tlm, None if False else "car")
        y = c.steps(x[:700])
        assert tlm.probe_names == ["car.lock", "car.e", "car.freq", "car.locked"]
        recs = tlm.read()
        assert recs.size == 4 * 700
        assert recs["probe"][:8].tolist() == [0, 1, 2, 3, 0, 1, 2, 3]
        d = tlm.demux(recs)
        assert d["car.lock"][-1] == F32(c.lock) and d["car.e"][-1] == F32(c.last_error)
        assert d["car.freq"][-1] == F32(c.norm_freq)
        assert d["car.locked"][-1] == float(c.locked)
        assert set(np.unique(d["car.locked"])) <= {0.0, 1.0}
        # Attached or not, the computation is the same.
        y = np.concatenate([y, c.steps(x[700:])])
        np.testing.assert_array_equal(y, yr)
        # A restore keeps the live attachment.
        c.set_state(ref.get_state())
        tlm.read()
        c.steps(x[:3])
        assert tlm.avail == 12
        c.set_telemetry(None, "car")
        tlm.read()
        c.steps(x[:50])
        assert tlm.avail == 0


def test_telemetry_decimation_prefix_and_failures():
    c = track.CarrierNda()
    with Telemetry(4096) as tlm:
        c.set_telemetry(tlm._capsule, "rx.carrier", 4)
        c.steps(np.ones(10, dtype=np.complex64))
        d = tlm.demux(tlm.read())
        assert sorted(d) == sorted(f"rx.carrier{s}" for s in (".lock", ".e", ".freq", ".locked"))
        assert all(v.size == 3 for v in d.values())  # events 1, 5, 9
        with pytest.raises(ValueError, match=r"^set_telemetry failed \(rc=-4\): "):
            c.set_telemetry(tlm, "car", 0)
        c.set_telemetry(tlm, "x" * 25)  # names cut to 31 characters while still distinct
        assert "x" * 25 + ".locke" in tlm.probe_names
        c.set_telemetry(None, "")
    with pytest.raises(AttributeError):
        c.set_telemetry(object(), "car")


def test_telemetry_flush_matches_single_emissions_at_the_full_point():
    # A component's flush writes its records as one batch when all fit and every probe is
    # undecimated; the records, tags, drops and counts must be exactly those of emitting the
    # same values one by one, also when the ring fills in the middle of a flush, after partial
    # reads, and with one probe decimated.
    x, _ = psk(4, 60, f0=0.001, esn0_db=20, seed=12)
    names = ["car.lock", "car.e", "car.freq", "car.locked"]
    with Telemetry(1 << 16) as big:
        twin = track.CarrierNda()
        twin.set_telemetry(big, "car")
        twin.steps(x)
        twin.set_telemetry(None, "car")
        d = big.demux(big.read())
        vals = np.stack([d[n] for n in names], axis=1).astype(np.float64)
    c = track.CarrierNda()
    with Telemetry(256) as a, Telemetry(256) as b:
        c.set_telemetry(a, "car")
        ids = [b.register(n) for n in names]
        pads = (a.register("pad"), b.register("pad"))
        for t in (a, b):
            for k in range(250):
                t.emit(pads[0], float(k))
        done = 0

        def run(n, decim_e=None):
            nonlocal done
            c.steps(x[done:done + n])
            for row in vals[done:done + n]:
                for pid, v in zip(ids, row):
                    b.emit(pid, v)
            done += n

        run(1)   # 4 of 6 free slots
        run(1)   # 2 free: two records written, two dropped
        run(3)   # full: all dropped
        for t in (a, b):
            t.read(100)
            t.tag = 77
        run(30)  # room for 25 flushes, then a split one, then drops
        for t in (a, b):
            t.read()
            t.set_decim("car.e", 3)
        run(40)
        ra, rb = a.read(), b.read()
        assert ra.size > 100 and np.array_equal(ra, rb)
        assert a.stats() == b.stats() and a.dropped == b.dropped > 0
        c.set_telemetry(None, "car")


# ---------------------------------------------------------------------------------------------
# The frame
# ---------------------------------------------------------------------------------------------
def test_frame_messages_and_lifecycle():
    c = track.CarrierNda()
    assert c.steps(np.zeros(0, dtype=np.complex64)).dtype == np.complex64
    assert c.steps([1, 1j]).size == 2  # sequences are converted
    assert c.steps(np.ones((3, 4), dtype=np.complex64)).shape == (12,)
    with pytest.raises(TypeError):
        c.steps(np.ones(4, dtype=np.complex128))  # no unsafe cast
    for bad in (np.ones(4, dtype=np.complex128), np.ones(8, dtype=np.complex64)[::2], [0j] * 4):
        with pytest.raises(TypeError, match="^out must be a writable, C-contiguous ndarray"):
            c.steps(np.ones(4, dtype=np.complex64), out=bad)
    ro = np.ones(4, dtype=np.complex64)
    ro.flags.writeable = False
    with pytest.raises(TypeError, match="^out must be"):
        c.steps(np.ones(4, dtype=np.complex64), out=ro)
    with pytest.raises(ValueError, match=r"^out has 3 elements, need >= 4$"):
        c.steps(np.ones(4, dtype=np.complex64), out=np.ones(3, dtype=np.complex64))
    with track.CarrierNda() as d:
        assert isinstance(d, track.CarrierNda)
    with pytest.raises(RuntimeError, match="^destroyed$"):
        d.steps(np.ones(2, dtype=np.complex64))
    assert c.destroy() is None and c.destroy() is None
    for call in (lambda: c.state_bytes(), lambda: c.lock, lambda: c.get_state(),
                 lambda: setattr(c, "bn", 0.1), lambda: c.configure_lock(0.5, 0.4, 1, 1),
                 lambda: c.set_telemetry(None, "car"), lambda: c.reset()):
        with pytest.raises(RuntimeError, match="^destroyed$"):
            call()
    with pytest.raises(TypeError):
        type("Sub", (track.CarrierNda,), {})  # final type
    assert str(inspect.signature(track.CarrierNda)) == (
        "(bn=0.01, zeta=0.707, init_norm_freq=0.0, sps=8, n=4, m=4)")
    assert str(inspect.signature(track.CarrierNda.configure_lock)) == (
        "(self, /, up_thresh, down_thresh, n_up, n_down)")


def test_two_threads_match_sequential():
    xs = [psk(m, 20000, f0=0.001 * m, esn0_db=15, seed=20 + m)[0] for m in (2, 4)]
    seq = [track.CarrierNda(m=m).steps(x) for m, x in zip((2, 4), xs)]
    loops = [track.CarrierNda(m=m) for m in (2, 4)]
    res: list = [None, None]

    def work(i):
        out = []
        for k in range(0, xs[i].size, 20000):
            out.append(loops[i].steps(xs[i][k:k + 20000]))
        res[i] = np.concatenate(out)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for r, s in zip(res, seq):
        np.testing.assert_array_equal(r, s)


def test_demo_section_runs(capsys):
    from ostrel.demo import SECTIONS, carrier_nda

    assert "carrier_nda" in SECTIONS
    carrier_nda.run()
    text = capsys.readouterr().out
    assert "lock declared at sample" in text and "never" not in text
