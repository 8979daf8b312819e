"""Integer NCO (exported nco_* functions of ostrel.track) against a NumPy phase accumulator."""

from __future__ import annotations

import ctypes

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from reference import quantise
from native import OX_EINVAL, OX_OK, Core, c_double, c_int, c_size, c_u32, c_void_p, fn, lib, ptr

L = lib("track")
fn(L, "nco_create", c_void_p, c_u32, c_double)
fn(L, "nco_destroy", None, c_void_p)
fn(L, "nco_reset", None, c_void_p)
fn(L, "nco_get_norm_freq", c_double, c_void_p)
fn(L, "nco_set_norm_freq", None, c_void_p, c_double)
fn(L, "nco_get_phase", c_u32, c_void_p)
fn(L, "nco_set_phase", None, c_void_p, c_u32)
fn(L, "nco_get_phase_inc", c_u32, c_void_p)
fn(L, "nco_state_bytes", c_size, c_void_p)
fn(L, "nco_get_state", None, c_void_p, c_void_p)
fn(L, "nco_set_state", ctypes.c_int, c_void_p, c_void_p)
for _g in ("u32", "u32_scaled"):
    fn(L, f"nco_steps_{_g}", c_size, c_void_p, c_size, c_void_p, c_size)
    fn(L, f"nco_steps_{_g}_ctrl", c_size, c_void_p, c_void_p, c_size, c_void_p, c_size)
fn(L, "nco_steps_u32_ovf", c_size, c_void_p, c_size, c_void_p, c_void_p, c_size)
fn(L, "nco_steps_u32_ovf_ctrl", c_size, c_void_p, c_void_p, c_size, c_void_p, c_void_p, c_size)
GENERATORS = ["u32", "u32_scaled", "u32_ovf", "u32_ctrl", "u32_scaled_ctrl", "u32_ovf_ctrl"]
for _g in GENERATORS:
    fn(L, f"nco_steps_{_g}_max_out", c_size, c_void_p)
fn(L, "lo_create", c_void_p, c_double)
fn(L, "lo_destroy", None, c_void_p)
fn(L, "lo_get_phase_inc", c_u32, c_void_p)

MASK = (1 << 32) - 1


class Nco(Core):
    def __init__(self, scale=0, freq=0.0):
        super().__init__(L, "nco", scale, freq)

    def gen(self, kind, count, cap=None, ctrl=None):
        """Run one generator; returns (out, ovf or None) trimmed to the count produced."""
        cap = count if cap is None else cap
        out = np.full(max(cap, 1), 0xDEADBEEF, dtype=np.uint32)
        ovf = np.full(max(cap, 1), 7, dtype=np.uint8)
        args = []
        if "ctrl" in kind:
            ctrl = np.ascontiguousarray(ctrl, dtype=np.float64)
            args.append(ptr(ctrl))
        args += [count, ptr(out)]
        if "ovf" in kind:
            args.append(ptr(ovf))
        k = self.call(f"steps_{kind}", *args, cap)
        assert k == min(count, cap)
        assert (out[k:cap] == 0xDEADBEEF).all()
        return out[:k], (ovf[:k] if "ovf" in kind else None)


def reference(phase0, inc, n, ctrl=None):
    """Phases before each step and after the last one (uint32 arithmetic)."""
    steps = np.full(n, inc, dtype=np.uint32)
    if ctrl is not None:
        steps = steps + quantise(ctrl)  # wraps modulo 2^32
    acc = np.concatenate([[phase0], steps]).astype(np.uint32)
    ph = np.cumsum(acc, dtype=np.uint32)
    return ph[:-1], int(ph[-1])


def direction_flags(old, new, x):
    """Direction-aware wrap flags of nco_steps_u32_ovf_ctrl."""
    with np.errstate(invalid="ignore"):
        up = (x > 0) & ((new < old) | (x >= 1))
        down = (x < 0) & ((new > old) | (x <= -1))
    return (up | down).astype(np.uint8)


# ------------------------------------------------------------------------------------------------
def test_quantisation_edges():
    cases = {
        0.25: 0x40000000, -0.25: 0xC0000000, 0.75: 0xC0000000, 1.25: 0x40000000, 0.5: 0x80000000,
        1.0: 0, 0.0: 0, -1.0: 0, 3.0: 0, -0.0: 0, float("nan"): 0, float("inf"): 0,
        float("-inf"): 0, -1e-300: 0xFFFFFFFF, -1e-17: 0xFFFFFFFF, 2.0**-32: 1,
        2.0**-33: 0, 1 - 2.0**-32: 0xFFFFFFFF, -2.0**-32: 0xFFFFFFFF, 1e15 + 0.5: 0x80000000,
    }
    for f, inc in cases.items():
        n = Nco(0, f)
        assert n.call("get_phase_inc") == inc, f
        assert n.call("get_phase") == 0
        stored = n.call("get_norm_freq")
        assert stored == f or (np.isnan(f) and np.isnan(stored))


def test_quantisation_random_and_same_rule_as_lo():
    rng = np.random.default_rng(1)
    fs = np.concatenate([rng.uniform(-3, 3, 300), rng.normal(0, 1e-6, 100),
                         rng.uniform(-1e6, 1e6, 100)])
    ref = quantise(fs)
    n = Nco()
    for f, r in zip(fs, ref):
        n.call("set_norm_freq", f)
        assert n.call("get_phase_inc") == r
        lo = L.lo_create(f)
        assert L.lo_get_phase_inc(lo) == r
        L.lo_destroy(lo)


def test_raw_sequence_quarter_turn_and_max_out():
    n = Nco(0, 0.25)
    out, _ = n.gen("u32", 6)
    assert out.tolist() == [0, 0x40000000, 0x80000000, 0xC0000000, 0, 0x40000000]
    for g in GENERATORS:
        assert n.call(f"steps_{g}_max_out") == 65536


def test_carry_and_direction_wrap_flags():
    # -0.25 has the increment of 0.75: three carries in four steps, one downward wrap in four.
    n = Nco(0, -0.25)
    out, ovf = n.gen("u32_ovf", 8)
    assert out.tolist()[:4] == [0, 0xC0000000, 0x80000000, 0x40000000]
    assert ovf.tolist() == [0, 1, 1, 1, 0, 1, 1, 1]
    n.call("reset")
    out, ovf = n.gen("u32_ovf_ctrl", 8, ctrl=np.zeros(8))
    assert ovf.tolist() == [1, 0, 0, 0, 1, 0, 0, 0]  # 0 -> 0xC0000000 crosses zero downward
    # 0.25 forward: one carry in four, both generators agree.
    n = Nco(0, 0.25)
    assert n.gen("u32_ovf", 8)[1].tolist() == [0, 0, 0, 1, 0, 0, 0, 1]
    n.call("reset")
    assert n.gen("u32_ovf_ctrl", 8, ctrl=np.zeros(8))[1].tolist() == [0, 0, 0, 1, 0, 0, 0, 1]
    # 1.25 has the phase of 0.25, but a whole cycle per sample or more flags every step.
    n = Nco(0, 1.25)
    out, ovf = n.gen("u32_ovf_ctrl", 5, ctrl=np.zeros(5))
    assert out.tolist()[:2] == [0, 0x40000000] and ovf.tolist() == [1] * 5
    assert Nco(0, 1.25).gen("u32_ovf", 5)[1].tolist() == [0, 0, 0, 1, 0]
    n = Nco(0, -1.25)
    assert n.gen("u32_ovf_ctrl", 5, ctrl=np.zeros(5))[1].tolist() == [1] * 5
    # Exactly 1.0: increment 0, but x >= 1 still flags; 0 and NaN never flag.
    assert Nco(0, 1.0).gen("u32_ovf_ctrl", 3, ctrl=np.zeros(3))[1].tolist() == [1, 1, 1]
    assert Nco(0, 0.0).gen("u32_ovf_ctrl", 3, ctrl=np.zeros(3))[1].tolist() == [0, 0, 0]
    assert Nco(0, 0.3).gen("u32_ovf_ctrl", 4, ctrl=np.full(4, np.nan))[1].tolist() == [0] * 4
    # The instantaneous frequency decides: a control that cancels the base frequency gives 0.
    assert Nco(0, 0.3).gen("u32_ovf_ctrl", 4, ctrl=np.full(4, -0.3))[1].tolist() == [0] * 4


def test_scaled_outputs():
    rng = np.random.default_rng(2)
    for scale in (65536, 1000, 1, 0xFFFFFFFF, 3):
        n = Nco(scale, 0.123456789)
        n.call("set_phase", 0x89ABCDEF)
        out, _ = n.gen("u32_scaled", 500)
        raw, _ = reference(0x89ABCDEF, n.call("get_phase_inc"), 500)
        assert (out == ((raw.astype(np.uint64) * scale) >> 32).astype(np.uint32)).all()
        if scale == 65536:
            assert (out == raw >> 16).all()
        assert (out < scale).all()
        ctrl = rng.normal(0, 0.01, 500)
        n.call("set_phase", 77)
        out, _ = n.gen("u32_scaled_ctrl", 500, ctrl=ctrl)
        raw, _ = reference(77, n.call("get_phase_inc"), 500, ctrl)
        assert (out == ((raw.astype(np.uint64) * scale) >> 32).astype(np.uint32)).all()
    # Scale 0: scaled and raw generators are identical.
    a, b = Nco(0, 0.37), Nco(0, 0.37)
    assert (a.gen("u32_scaled", 100)[0] == b.gen("u32", 100)[0]).all()
    ctrl = rng.normal(0, 0.1, 100)
    assert (a.gen("u32_scaled_ctrl", 100, ctrl=ctrl)[0] == b.gen("u32_ctrl", 100, ctrl=ctrl)[0]).all()


@pytest.mark.parametrize("kind", GENERATORS)
def test_cap_truncation_and_empty_calls(kind):
    n = Nco(4096, 0.1)
    ctrl = np.full(10, 0.05)
    out, _ = n.gen(kind, 10, cap=3, ctrl=ctrl)
    inc = n.call("get_phase_inc") + (quantise(0.05)[()] if "ctrl" in kind else 0)
    assert n.call("get_phase") == (3 * int(inc)) & MASK
    before = n.call("get_phase")
    for count, cap in [(0, 5), (5, 0)]:
        out, _ = n.gen(kind, count, cap=cap, ctrl=ctrl)
        assert len(out) == 0
    assert n.call("get_phase") == before


def test_control_generators_against_numpy():
    rng = np.random.default_rng(3)
    ctrl = np.concatenate([rng.normal(0, 0.3, 2000), rng.uniform(-3, 3, 500),
                           [np.nan, np.inf, -np.inf, -1e-300, 1.0, -1.0, 0.0, 2.0**-32]])
    rng.shuffle(ctrl)
    for f0 in (0.01, -0.2, 0.75, 1.5, -1.0, 0.0):
        n = Nco(0, f0)
        n.call("set_phase", 0xFFFFFF00)
        inc = int(quantise(f0))
        ref, end = reference(0xFFFFFF00, inc, len(ctrl), ctrl)
        out, _ = n.gen("u32_ctrl", len(ctrl), ctrl=ctrl)
        assert (out == ref).all() and n.call("get_phase") == end
        n.call("set_phase", 0xFFFFFF00)
        out, ovf = n.gen("u32_ovf_ctrl", len(ctrl), ctrl=ctrl)
        new = np.append(ref[1:], np.uint32(end))
        assert (out == ref).all()
        assert (ovf == direction_flags(ref, new, ctrl + f0)).all()
        # Configuration is untouched by the control input.
        assert n.call("get_phase_inc") == inc and n.call("get_norm_freq") == f0
        n.call("set_phase", 0xFFFFFF00)
        out, ovf = n.gen("u32_ovf", len(ctrl))
        ref, end = reference(0xFFFFFF00, inc, len(ctrl))
        new = np.append(ref[1:], np.uint32(end))
        assert (out == ref).all() and (ovf == (new < ref)).all()


@pytest.mark.parametrize("kind", GENERATORS)
def test_block_split_invariance_and_state_round_trip(kind):
    rng = np.random.default_rng(4)
    ctrl = rng.normal(0, 0.05, 3000)
    whole = Nco(1 << 20, 0.0371)
    ref_out, ref_ovf = whole.gen(kind, 3000, ctrl=ctrl)
    parts = Nco(1 << 20, 0.0371)
    cuts = np.sort(rng.choice(np.arange(1, 3000), 12, replace=False))
    outs, ovfs, saved = [], [], None
    for lo, hi in zip(np.r_[0, cuts], np.r_[cuts, 3000]):
        if saved is None and lo > 1000:
            saved, saved_at = parts.state(), lo
        o, v = parts.gen(kind, hi - lo, ctrl=ctrl[lo:hi])
        outs.append(o)
        ovfs.append(v)
    assert (np.concatenate(outs) == ref_out).all()
    if ref_ovf is not None:
        assert (np.concatenate(ovfs) == ref_ovf).all()
    # Restore the mid-stream snapshot into a fresh NCO of the same configuration.
    fresh = Nco(1 << 20, 0.0371)
    assert fresh.set_state(saved) == OX_OK
    o, _ = fresh.gen(kind, 3000 - saved_at, ctrl=ctrl[saved_at:])
    assert (o == ref_out[saved_at:]).all()


@settings(max_examples=40, deadline=None)
@given(sizes=st.lists(st.integers(0, 300), min_size=1, max_size=12),
       f=st.floats(-2.0, 2.0), scale=st.integers(0, 2**32 - 1))
def test_any_split_gives_the_whole_stream(sizes, f, scale):
    total = sum(sizes)
    ctrl = np.random.default_rng(total).normal(0, 0.3, total)
    for kind in GENERATORS:
        ref_out, ref_ovf = Nco(scale, f).gen(kind, total, ctrl=ctrl)
        parts, outs, ovfs, pos = Nco(scale, f), [], [], 0
        for n in sizes:
            o, v = parts.gen(kind, n, ctrl=ctrl[pos:pos + n])
            outs.append(o)
            ovfs.append(v if v is not None else o[:0])
            pos += n
        assert (np.concatenate(outs) == ref_out).all()
        if ref_ovf is not None:
            assert (np.concatenate(ovfs) == ref_ovf).all()


def test_reset_setters_and_phase_continuous_retune():
    n = Nco(0, 0.1)
    n.gen("u32", 7)
    p = n.call("get_phase")
    n.call("set_norm_freq", -0.3)
    assert n.call("get_phase") == p
    assert n.call("get_norm_freq") == -0.3
    out, _ = n.gen("u32", 3)
    assert out.tolist() == [p, (p + int(quantise(-0.3))) & MASK, (p + 2 * int(quantise(-0.3))) & MASK]
    n.call("reset")
    assert n.call("get_phase") == 0 and n.call("get_norm_freq") == -0.3
    n.call("set_phase", 0xFFFFFFFF)
    assert n.call("get_phase") == 0xFFFFFFFF


def test_state_blob_layout_and_rejections():
    n = Nco(0, 0.1)
    n.call("set_phase", 0x12345678)
    b = n.state()
    assert n.call("state_bytes") == 20 and len(b) == 20
    assert b[:4] == b"NCO_" and b[4:6] == b"\x01\x00" and b[6:8] == b"\x01\x00"
    assert int.from_bytes(b[8:12], "little") == 20 and b[12:16] == b"\0" * 4
    assert int.from_bytes(b[16:20], "little") == 0x12345678
    n.call("set_phase", 5)
    bad = []
    for off, val in [(0, ord("X")), (3, ord("O")), (4, 2), (5, 1), (6, 0), (6, 2), (8, 21), (8, 16),
                     (11, 1)]:
        m = bytearray(b)
        m[off] = val
        bad.append(bytes(m))
    for blob in bad:
        assert n.set_state(blob) == OX_EINVAL
        assert n.call("get_phase") == 5
    assert L.nco_set_state(n.p, None) == OX_EINVAL
    # Byte 7 and the reserved word are not examined.
    m = bytearray(b)
    m[7] = 9
    m[12:16] = b"\xff\xff\xff\xff"
    assert n.set_state(bytes(m)) == OX_OK and n.call("get_phase") == 0x12345678


def test_fuzzed_blobs_restore_or_reject():
    rng = np.random.default_rng(5)
    n = Nco(0, 0.2)
    good = n.state()
    for i in range(3000):
        if i % 2:
            blob = bytearray(rng.integers(0, 256, 20, dtype=np.uint8).tobytes())
            if i % 4 == 1:
                blob[:16] = good[:16]
        else:
            blob = bytearray(good)
            for _ in range(rng.integers(1, 4)):
                blob[rng.integers(0, 20)] = rng.integers(0, 256)
        n.call("set_phase", 99)
        rc = n.set_state(bytes(blob))
        header_ok = (blob[:6] == good[:6] and blob[6] == 1 and blob[8:12] == good[8:12])
        assert rc == (OX_OK if header_ok else OX_EINVAL)
        expect = int.from_bytes(blob[16:20], "little") if header_ok else 99
        assert n.call("get_phase") == expect


def test_same_length_blob_of_the_oscillator_is_rejected_by_its_magic():
    """NCO and LO blobs are both 20 bytes (header + phase): the magic keeps them apart."""
    fn(L, "lo_create", c_void_p, c_double)
    fn(L, "lo_destroy", None, c_void_p)
    fn(L, "lo_state_bytes", c_size, c_void_p)
    fn(L, "lo_get_state", None, c_void_p, c_void_p)
    fn(L, "lo_set_state", c_int, c_void_p, c_void_p)
    fn(L, "lo_get_phase", c_u32, c_void_p)
    osc = Core(L, "lo", 0.3)
    n = Nco(0, 0.3)
    n.gen("u32", 7)
    lo_blob, nco_blob = osc.state(), n.state()
    assert len(lo_blob) == len(nco_blob) == 20
    assert n.set_state(lo_blob) == OX_EINVAL and n.call("get_phase") != 0
    assert osc.set_state(nco_blob) == OX_EINVAL and osc.call("get_phase") == 0
