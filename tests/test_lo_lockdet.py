"""Local oscillator (lo_*, sine table lo_sin_lut) and lock detector (lockdet_*) through ctypes."""

from __future__ import annotations

import ctypes
import math
import struct

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from reference import quantise
from native import OX_EINVAL, OX_OK, Core, c_double, c_size, c_u32, c_void_p, fn, lib, ptr

MODULES = ["track", "analyzer"]
LUT_SIZE = 65536
C_BITS = 0x38C90FDB  # float32 nearest 2*pi/65536
MASK = (1 << 32) - 1


def declare_lo(L):
    fn(L, "lo_create", c_void_p, c_double)
    fn(L, "lo_destroy", None, c_void_p)
    fn(L, "lo_init", None, c_void_p, c_double)
    fn(L, "lo_reset", None, c_void_p)
    fn(L, "lo_get_norm_freq", c_double, c_void_p)
    fn(L, "lo_set_norm_freq", None, c_void_p, c_double)
    fn(L, "lo_get_phase", c_u32, c_void_p)
    fn(L, "lo_set_phase", None, c_void_p, c_u32)
    fn(L, "lo_get_phase_inc", c_u32, c_void_p)
    fn(L, "lo_state_bytes", c_size, c_void_p)
    fn(L, "lo_get_state", None, c_void_p, c_void_p)
    fn(L, "lo_set_state", ctypes.c_int, c_void_p, c_void_p)
    fn(L, "lo_steps_max_out", c_size, c_void_p)
    fn(L, "lo_steps_ctrl_max_out", c_size, c_void_p)
    fn(L, "lo_steps", c_size, c_void_p, c_size, c_void_p, c_size)
    fn(L, "lo_steps_ctrl", c_size, c_void_p, c_void_p, c_size, c_void_p, c_size)
    return L


for _m in MODULES:
    declare_lo(lib(_m))


def table(module: str) -> np.ndarray:
    """The module's exported sine table as a float32 view (built by the first lo_init)."""
    L = lib(module)
    L.lo_destroy(L.lo_create(0.0))
    arr = (ctypes.c_float * LUT_SIZE).in_dll(L, "lo_sin_lut")
    return np.ctypeslib.as_array(arr)


class Lo(Core):
    def __init__(self, module="track", freq=0.0):
        super().__init__(lib(module), "lo", freq)
        self.lut = table(module)

    def steps(self, n, out_len=None, ctrl=None):
        out_len = n if out_len is None else out_len
        out = np.full(max(out_len, 1), 7 + 7j, dtype=np.complex64)
        if ctrl is None:
            k = self.call("steps", n, ptr(out), out_len)
        else:
            ctrl = np.ascontiguousarray(ctrl, dtype=np.float64)
            k = self.call("steps_ctrl", ptr(ctrl), n, ptr(out), out_len)
        assert k == min(n, out_len)
        assert (out[k:out_len] == 7 + 7j).all()
        return out[:k]

    def expect(self, phase0, inc, n, ctrl=None):
        """Bit-exact reference: phases by a uint32 accumulator, samples by the table rule."""
        steps = np.full(n, inc, dtype=np.uint32)
        if ctrl is not None:
            steps = steps + quantise(ctrl)
        ph = np.cumsum(np.concatenate([[phase0], steps]).astype(np.uint32), dtype=np.uint32)
        idx = ph[:-1] >> 16
        out = np.empty(n, dtype=np.complex64)
        out.real = self.lut[(idx + 16384) & 0xFFFF]
        out.imag = self.lut[idx]
        return out, int(ph[-1])


def same_bits(a: np.ndarray, b: np.ndarray) -> bool:
    return a.shape == b.shape and (a.view(np.uint64) == b.view(np.uint64)).all()


# ------------------------------------------------------------------------------------------------
# Sine table
# ------------------------------------------------------------------------------------------------
def test_sine_table_is_libm_sinf_of_the_float_product():
    libm = ctypes.CDLL("libm.so.6")
    sinf = libm.sinf
    sinf.restype = ctypes.c_float
    sinf.argtypes = [ctypes.c_float]
    c = np.frombuffer(C_BITS.to_bytes(4, "little"), dtype=np.float32)[0]
    assert c == np.float32(9.58738019e-05)
    args = np.arange(LUT_SIZE, dtype=np.float32) * c  # float32 product
    assert args.dtype == np.float32
    expect = np.array([sinf(float(x)) for x in args], dtype=np.float32)
    expect[0] = 0.0
    tables = [table(m) for m in MODULES]
    for t in tables:
        assert t.view(np.uint32)[0] == 0  # exactly +0.0f
        assert (t.view(np.uint32) == expect.view(np.uint32)).all()
    # One table per module image, at distinct addresses.
    assert tables[0].ctypes.data != tables[1].ctypes.data


# ------------------------------------------------------------------------------------------------
# Local oscillator
# ------------------------------------------------------------------------------------------------
@pytest.mark.parametrize("module", MODULES)
def test_lo_quarter_turns_and_increments(module):
    lo = Lo(module, 0.25)
    lut = lo.lut
    assert lo.call("get_phase_inc") == 0x40000000
    out = lo.steps(5)
    assert out[0] == complex(lut[16384], 0.0)
    assert out[1] == complex(lut[32768], lut[16384])
    assert out[2] == complex(lut[49152], lut[32768])
    assert out[3] == complex(lut[0], lut[49152])
    np.testing.assert_allclose(out[:4], [1, 1j, -1, -1j], atol=1e-6)
    assert lut[16384] == 1.0 and lut[32768] != 0.0  # the table's quarter-turn values
    assert out[4] == out[0]
    assert Lo(module, -0.25).call("get_phase_inc") == 0xC0000000
    assert Lo(module, 1.25).call("get_phase_inc") == 0x40000000
    for f in (0.0, float("nan"), float("inf"), 1.0):
        lo = Lo(module, f)
        assert lo.call("get_phase_inc") == 0
        assert (lo.steps(10) == complex(lut[16384], 0.0)).all()
    lo = Lo(module, -3.75)
    assert lo.call("get_norm_freq") == -3.75  # stored unwrapped
    assert lo.call("steps_max_out") == 65536 and lo.call("steps_ctrl_max_out") == 65536


@pytest.mark.parametrize("module", MODULES)
def test_lo_steps_against_numpy(module):
    rng = np.random.default_rng(10)
    for f in (0.0123456789, -0.4, 0.5, 2.0**-32, 1 - 2.0**-30, 17.3):
        lo = Lo(module, f)
        start = int(rng.integers(0, 1 << 32))
        lo.call("set_phase", start)
        exp, end = lo.expect(start, lo.call("get_phase_inc"), 4096)
        assert same_bits(lo.steps(4096), exp)
        assert lo.call("get_phase") == end


@pytest.mark.parametrize("module", MODULES)
def test_lo_steps_ctrl_against_numpy(module):
    rng = np.random.default_rng(11)
    ctrl = np.concatenate([rng.normal(0, 1e-3, 3000), rng.uniform(-2, 2, 1000),
                           [np.nan, np.inf, -np.inf, -1e-300, 1.0, 0.25, -0.25]])
    rng.shuffle(ctrl)
    lo = Lo(module, 0.05)
    lo.call("set_phase", 0xFFFF0000)
    exp, end = lo.expect(0xFFFF0000, lo.call("get_phase_inc"), len(ctrl), ctrl)
    assert same_bits(lo.steps(len(ctrl), ctrl=ctrl), exp)
    assert lo.call("get_phase") == end
    # The control does not retune the oscillator.
    assert lo.call("get_norm_freq") == 0.05 and lo.call("get_phase_inc") == quantise(0.05)
    # Zero control is lo_steps.
    a, b = Lo(module, 0.3), Lo(module, 0.3)
    assert same_bits(a.steps(500, ctrl=np.zeros(500)), b.steps(500))


@settings(max_examples=30, deadline=None)
@given(sizes=st.lists(st.integers(0, 500), min_size=1, max_size=10), f=st.floats(-1.5, 1.5),
       with_ctrl=st.booleans())
def test_lo_any_split_gives_the_whole_stream(sizes, f, with_ctrl):
    total = sum(sizes)
    ctrl = np.random.default_rng(total).normal(0, 0.01, total) if with_ctrl else None
    whole = Lo("track", f).steps(total, ctrl=ctrl)
    lo, parts, pos = Lo("track", f), [], 0
    for n in sizes:
        parts.append(lo.steps(n, ctrl=None if ctrl is None else ctrl[pos:pos + n]))
        pos += n
    assert same_bits(np.concatenate(parts), whole)


@pytest.mark.parametrize("module", MODULES)
def test_lo_truncation_empty_calls_and_retune(module):
    lo = Lo(module, 0.1)
    inc = lo.call("get_phase_inc")
    assert len(lo.steps(10, out_len=4)) == 4
    assert lo.call("get_phase") == 4 * inc
    assert len(lo.steps(10, out_len=4, ctrl=np.full(10, 0.1))) == 4
    assert lo.call("get_phase") == (12 * inc) & MASK
    for n, cap in [(0, 8), (8, 0)]:
        assert len(lo.steps(n, out_len=cap)) == 0
        assert len(lo.steps(n, out_len=cap, ctrl=np.zeros(8))) == 0
    assert lo.call("get_phase") == (12 * inc) & MASK
    # Phase-continuous retune mid-run.
    p = lo.call("get_phase")
    lo.call("set_norm_freq", -0.07)
    assert lo.call("get_phase") == p
    exp, _ = lo.expect(p, int(quantise(-0.07)), 100)
    assert same_bits(lo.steps(100), exp)
    lo.call("reset")
    assert lo.call("get_phase") == 0 and lo.call("get_norm_freq") == -0.07


@pytest.mark.parametrize("module", MODULES)
def test_lo_state_round_trip_and_blob_rejections(module):
    lo = Lo(module, 0.0137)
    lo.steps(777)
    blob = lo.state()
    assert len(blob) == lo.call("state_bytes") == 20
    assert blob[:8] == b"LO__\x01\x00\x01\x00" and blob[8:16] == b"\x14\0\0\0\0\0\0\0"
    assert int.from_bytes(blob[16:], "little") == lo.call("get_phase")
    cont = lo.steps(300)
    fresh = Lo(module, 0.0137)
    assert fresh.set_state(blob) == OX_OK
    assert same_bits(fresh.steps(300), cont)
    # Wrong magic, version, flag byte or length field: -4 and the phase is kept.
    fresh.call("set_phase", 42)
    for off, val in [(0, ord("l")), (2, ord("O")), (4, 0), (5, 1), (6, 0), (8, 19), (9, 1)]:
        m = bytearray(blob)
        m[off] = val
        assert fresh.set_state(bytes(m)) == OX_EINVAL
        assert fresh.call("get_phase") == 42
    assert lib(module).lo_set_state(fresh.p, None) == OX_EINVAL
    m = bytearray(blob)
    m[7], m[12:16] = 3, b"\x01\x02\x03\x04"  # not examined
    assert fresh.set_state(bytes(m)) == OX_OK
    # Fuzzed blobs: restored exactly when the header is valid, else rejected untouched.
    rng = np.random.default_rng(12)
    for i in range(2000):
        m = bytearray(blob) if i % 2 else bytearray(rng.integers(0, 256, 20, dtype=np.uint8).tobytes())
        for _ in range(int(rng.integers(0, 3))):
            m[int(rng.integers(0, 20))] = int(rng.integers(0, 256))
        fresh.call("set_phase", 42)
        ok = m[:6] == blob[:6] and m[6] == 1 and m[8:12] == blob[8:12]
        assert fresh.set_state(bytes(m)) == (OX_OK if ok else OX_EINVAL)
        assert fresh.call("get_phase") == (int.from_bytes(m[16:], "little") if ok else 42)


# ------------------------------------------------------------------------------------------------
# Lock detector
# ------------------------------------------------------------------------------------------------
LD = lib("track")
fn(LD, "lockdet_create", c_void_p, c_u32, c_u32, c_double, c_double)
fn(LD, "lockdet_destroy", None, c_void_p)
fn(LD, "lockdet_init", None, c_void_p, c_u32, c_u32, c_double, c_double)
fn(LD, "lockdet_configure", None, c_void_p, c_u32, c_u32, c_double, c_double)
fn(LD, "lockdet_reset", None, c_void_p)
fn(LD, "lockdet_state_bytes", c_size, c_void_p)
fn(LD, "lockdet_get_state", None, c_void_p, c_void_p)
fn(LD, "lockdet_set_state", ctypes.c_int, c_void_p, c_void_p)
fn(LD, "lockdet_steps", c_size, c_void_p, c_void_p, c_void_p, c_size)

REC = struct.Struct("<ddIIII")  # up_thresh, down_thresh, n_up, n_down, count, locked


class LockDet(Core):
    def __init__(self, n_up, n_down, up, down):
        super().__init__(LD, "lockdet", n_up, n_down, up, down)

    def steps(self, stats):
        s = np.ascontiguousarray(stats, dtype=np.float64)
        out = np.full(max(len(s), 1), -9, dtype=np.int32)
        assert self.call("steps", ptr(s), ptr(out), len(s)) == len(s)
        return out[: len(s)].tolist()

    def record(self):
        return REC.unpack(self.state()[16:])


class LockModel:
    """Plain re-statement of the lock rule for random cross-checks."""

    def __init__(self, n_up, n_down, up, down):
        self.n_up, self.n_down, self.up, self.down = max(n_up, 1), max(n_down, 1), up, down
        self.count = self.locked = 0

    def step(self, s):
        if math.isnan(s):
            s = -math.inf
        if not self.locked:
            if s > self.up:
                self.count += 1
                if self.count >= self.n_up:
                    self.locked, self.count = 1, 0
            else:
                self.count = 0
        else:
            if s < self.down:
                self.count += 1
                if self.count >= self.n_down:
                    self.locked, self.count = 0, 0
            else:
                self.count = 0
        return self.locked


def test_lockdet_documented_sequences():
    hi, lo = 1.0, 0.0
    ld = LockDet(3, 2, 0.5, 0.5)
    assert ld.steps([hi, hi, lo, hi, hi, hi]) == [0, 0, 0, 0, 0, 1]
    # Loss after n_down consecutive events below; an event above restarts the run.
    assert ld.steps([lo, hi, lo, lo, lo]) == [1, 1, 1, 0, 0]
    # Both comparisons are strict: a statistic equal to a threshold never qualifies.
    ld = LockDet(1, 1, 0.5, 0.2)
    assert ld.steps([0.5, 0.5, 0.50000001]) == [0, 0, 1]
    assert ld.steps([0.2, 0.2, 0.3, 0.19999999]) == [1, 1, 1, 0]
    # Level hysteresis: between the thresholds nothing changes in either state.
    ld = LockDet(1, 1, 0.8, 0.2)
    assert ld.steps([0.5, 0.9, 0.5, 0.1, 0.5]) == [0, 1, 1, 0, 0]
    # up below down is accepted and removes the hysteresis.
    ld = LockDet(1, 1, 0.2, 0.8)
    assert ld.steps([0.5, 0.5, 0.5, 0.1]) == [1, 0, 1, 0]


def test_lockdet_zero_counts_behave_as_one():
    ld = LockDet(0, 0, 0.5, 0.5)
    assert ld.record()[2:4] == (1, 1)
    assert ld.steps([1.0, 0.0, 1.0]) == [1, 0, 1]


def test_lockdet_nan_statistic():
    ld = LockDet(3, 3, 0.5, 0.5)
    # Unlocked: a NaN breaks the run.
    assert ld.steps([1, 1, np.nan, 1, 1, 1]) == [0, 0, 0, 0, 0, 1]
    # Locked: a NaN counts toward loss like a value below the threshold.
    assert ld.steps([np.nan, 0.0, np.nan]) == [1, 1, 0]
    # NaN thresholds: never lock.
    assert LockDet(1, 1, np.nan, np.nan).steps([1e300, np.inf]) == [0, 0]


def test_lockdet_configure_keeps_decision_reset_clears_it():
    ld = LockDet(1, 3, 0.5, 0.5)
    ld.steps([1.0, 0.0, 0.0])  # locked, loss run of 2
    assert ld.record()[4:] == (2, 1)
    ld.call("configure", 2, 2, 0.7, 0.4)
    assert ld.record() == (0.7, 0.4, 2, 2, 0, 1)
    assert ld.steps([0.3]) == [1]  # the run restarted: one event is not two
    assert ld.steps([0.3]) == [0]
    ld.call("configure", 0, 0, 0.7, 0.4)
    assert ld.record()[2:4] == (1, 1)
    ld.steps([0.9, 0.8])
    assert ld.record()[5] == 1
    ld.call("reset")
    assert ld.record() == (0.7, 0.4, 1, 1, 0, 0)


def test_lockdet_init_on_an_embedded_record():
    rec = ctypes.create_string_buffer(REC.pack(0.0, 0.0, 9, 9, 5, 1), REC.size)
    LD.lockdet_init(rec, 0, 4, 1.5, -1.5)
    # Thresholds and counts are stored (0 becoming 1); count and locked are untouched.
    assert REC.unpack(rec.raw) == (1.5, -1.5, 1, 4, 5, 1)


def test_lockdet_random_sequences_split_and_round_trip():
    rng = np.random.default_rng(20)
    for trial in range(20):
        n_up, n_down = (int(v) for v in rng.integers(0, 6, 2))
        up, down = (float(v) for v in rng.normal(0, 0.5, 2))
        stats = rng.normal(0, 1, 2000)
        stats[rng.random(2000) < 0.02] = np.nan
        model = LockModel(n_up, n_down, up, down)
        expect = [model.step(s) for s in stats]
        ld = LockDet(n_up, n_down, up, down)
        cuts = np.sort(rng.choice(np.arange(1, 2000), 9, replace=False))
        got, saved = [], None
        for a, b in zip(np.r_[0, cuts], np.r_[cuts, 2000]):
            if saved is None and a > 700:
                saved, at = ld.state(), a
            got += ld.steps(stats[a:b])
        assert got == expect
        # The blob carries thresholds and counts too: restore into a differently configured one.
        other = LockDet(7, 7, 9.0, -9.0)
        assert other.set_state(saved) == OX_OK
        assert other.steps(stats[at:]) == expect[at:]


def test_lockdet_state_blob_layout_and_crafted_blobs():
    ld = LockDet(3, 2, 0.75, 0.25)
    ld.steps([1.0, 1.0])
    blob = ld.state()
    assert ld.call("state_bytes") == 48 and len(blob) == 48
    assert blob[:8] == b"LKDT\x01\x00\x01\x00" and int.from_bytes(blob[8:12], "little") == 48
    assert REC.unpack(blob[16:]) == (0.75, 0.25, 3, 2, 2, 0)
    target = LockDet(1, 1, 0.0, 0.0)
    before = target.state()
    # Unsafe content: counts of 0 or a decision other than 0/1.
    for fields in [(0.75, 0.25, 0, 2, 2, 0), (0.75, 0.25, 3, 0, 2, 0), (0.75, 0.25, 3, 2, 2, 2),
                   (0.75, 0.25, 3, 2, 2, 0xFFFFFFFF)]:
        assert target.set_state(blob[:16] + REC.pack(*fields)) == OX_EINVAL
        assert target.state() == before
    for off, val in [(0, ord("X")), (4, 2), (6, 0), (8, 47)]:
        m = bytearray(blob)
        m[off] = val
        assert target.set_state(bytes(m)) == OX_EINVAL
        assert target.state() == before
    assert LD.lockdet_set_state(target.p, None) == OX_EINVAL
    # A run count at or past n_up indexes nothing: the next qualifying event completes the run
    # (and the largest count simply wraps to a fresh run).
    assert target.set_state(blob[:16] + REC.pack(0.5, 0.5, 3, 2, 5, 0)) == OX_OK
    assert target.steps([1.0]) == [1]
    assert target.set_state(blob[:16] + REC.pack(0.5, 0.5, 3, 2, 0xFFFFFFFF, 0)) == OX_OK
    assert target.steps([1.0, 1.0, 1.0, 1.0]) == [0, 0, 0, 1]
    assert target.set_state(blob) == OX_OK and target.state() == blob


def test_lockdet_fuzzed_blobs():
    rng = np.random.default_rng(21)
    ld = LockDet(3, 2, 0.75, 0.25)
    good = ld.state()
    for i in range(3000):
        if i % 3 == 0:
            m = bytearray(good[:16]) + bytearray(rng.integers(0, 256, 32, dtype=np.uint8).tobytes())
            m[44:48] = int(rng.integers(0, 3)).to_bytes(4, "little")  # locked 0, 1 or 2
        else:
            m = bytearray(good)
            for _ in range(int(rng.integers(1, 4))):
                m[int(rng.integers(0, 48))] = int(rng.integers(0, 256))
        keep = LockDet(1, 1, 0.0, 0.0)
        before = keep.state()
        rec = REC.unpack(bytes(m[16:]))
        ok = (m[:6] == good[:6] and m[6] == 1 and m[8:12] == good[8:12]
              and rec[2] != 0 and rec[3] != 0 and rec[5] <= 1)
        assert keep.set_state(bytes(m)) == (OX_OK if ok else OX_EINVAL)
        if ok:
            after = keep.state()
            assert after[16:] == bytes(m[16:])
            keep.steps(rng.normal(0, 1, 16))  # runs without fault
        else:
            assert keep.state() == before
