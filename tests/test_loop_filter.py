"""track.LoopFilter: gains, recurrence, block processing, state blobs and the frame's messages."""

import math
import struct

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from ostrel.track import LoopFilter
from reference import loop_gains
from native import OX_EINVAL, OX_OK, Core, c_double, c_int, c_size, c_void_p, fn, lib

CREATE_MSG = "bn must be >= 0, zeta > 0 and t > 0, and all three finite"


@pytest.mark.parametrize("bn,zeta,t", [(0.02, 0.707, 1.0), (0.05, 0.707, 1.0), (0.001, 1.5, 16.0),
                                       (0.3, 0.25, 0.5), (0.0, 0.707, 1.0)])
def test_gains_follow_the_closed_form_bit_for_bit(bn, zeta, t):
    lf = LoopFilter(bn=bn, zeta=zeta, t=t)
    kp, ki = loop_gains(bn, zeta, t)
    assert (lf.kp, lf.ki) == (kp, ki)
    assert (lf.bn, lf.zeta, lf.t, lf.integ) == (bn, zeta, t, 0.0)


def test_documented_gain_values():
    lf = LoopFilter(bn=0.02, zeta=0.707, t=1)
    assert round(lf.kp + lf.ki, 6) == 0.05331 and round(lf.ki, 6) == 0.001385
    assert round(LoopFilter(bn=0.05).kp, 6) == 0.124728
    assert LoopFilter().bn == 0.01 and LoopFilter().zeta == 0.707 and LoopFilter().t == 1.0


@pytest.mark.parametrize("kw", [dict(zeta=0), dict(t=0), dict(bn=-1e-9), dict(bn=math.nan),
                                dict(zeta=math.inf), dict(t=-math.inf), dict(t=math.nan)])
def test_invalid_parameters_are_refused(kw):
    with pytest.raises(ValueError, match=f"^{CREATE_MSG}$"):
        LoopFilter(**kw)


def test_zero_bandwidth_is_a_closed_loop_of_zero_gain():
    lf = LoopFilter(bn=0)
    assert lf.kp == 0 and lf.ki == 0
    np.testing.assert_array_equal(lf.steps(np.ones(8)), np.zeros(8))


def test_steps_equals_step_by_step_and_carries_the_integrator():
    rng = np.random.default_rng(1)
    x = rng.standard_normal(1000)
    a, b = LoopFilter(bn=0.03, zeta=0.8, t=2), LoopFilter(bn=0.03, zeta=0.8, t=2)
    ya = np.concatenate([a.steps(x[:333]), a.steps(x[333:])])
    yb = np.array([b.step(v) for v in x])
    np.testing.assert_array_equal(ya, yb)
    # and against an independent evaluation of the recurrence
    integ, ref = 0.0, []
    for v in x:
        integ = a.ki * v + integ
        ref.append(a.kp * v + integ)
    np.testing.assert_array_equal(ya, np.array(ref))
    assert a.integ == b.integ == integ


@settings(max_examples=40, deadline=None)
@given(st.lists(st.integers(0, 50), max_size=8))
def test_block_split_invariance(cuts):
    x = np.random.default_rng(7).standard_normal(200)
    whole = LoopFilter(bn=0.05).steps(x)
    lf = LoopFilter(bn=0.05)
    bounds = np.cumsum([0] + cuts + [len(x)]).clip(0, len(x))
    parts = [lf.steps(x[s:e]) for s, e in zip(bounds[:-1], bounds[1:])]
    np.testing.assert_array_equal(np.concatenate(parts), whole)


def test_steps_out_rules():
    lf = LoopFilter()
    x = np.arange(5.0)
    out = np.empty(5)
    assert lf.steps(x, out=out) is out
    with pytest.raises(ValueError, match=r"^out length 4 != input length 5$"):
        lf.steps(x, out=np.empty(4))
    with pytest.raises(ValueError, match=r"^out length 6 != input length 5$"):
        lf.steps(x, out=np.empty(6))
    msg = "^out must be a writable, C-contiguous ndarray of the output dtype$"
    for bad in (np.empty(5, np.float32), np.empty(10)[::2], [0.0] * 5, np.empty(5, ">f8")):
        with pytest.raises(TypeError, match=msg):
            lf.steps(x, out=bad)
    ro = np.empty(5)
    ro.flags.writeable = False
    with pytest.raises(TypeError, match=msg):
        lf.steps(x, out=ro)
    with pytest.raises(TypeError):
        lf.steps(np.zeros(3, np.complex128))  # no unsafe cast to float64
    assert lf.steps([1, 2, 3]).dtype == np.float64  # sequences convert directly
    assert lf.steps(np.zeros((2, 3))).shape == (6,)  # any shape, taken flat
    assert lf.steps(np.zeros(0)).shape == (0,)


def test_configure_keeps_the_integrator():
    lf = LoopFilter(bn=0.02)
    lf.steps(np.ones(50))
    before = lf.integ
    lf.configure(0.1, 1.0, 4.0)
    assert lf.integ == before
    assert (lf.kp, lf.ki) == loop_gains(0.1, 1.0, 4.0)
    lf.configure(0.1, -1.0, 0.0)  # configure does not validate
    assert (lf.kp, lf.ki) == loop_gains(0.1, -1.0, 0.0)
    lf.reset()
    assert lf.integ == 0.0 and lf.zeta == -1.0


def test_integ_property_is_writable_and_not_deletable():
    lf = LoopFilter()
    lf.integ = 0.25
    assert lf.integ == 0.25 and lf.step(0.0) == 0.25
    with pytest.raises(TypeError):
        del lf.integ
    with pytest.raises(AttributeError):
        lf.kp = 1.0


def test_state_blob_layout_and_round_trip():
    lf = LoopFilter(bn=0.04, zeta=0.9, t=3)
    lf.steps(np.linspace(-1, 1, 77))
    b = lf.get_state()
    assert lf.state_bytes() == len(b) == 64
    assert b[:4] == b"LPFL" and struct.unpack_from("<HHII", b, 4) == (1, 1, 64, 0)
    assert struct.unpack_from("<6d", b, 16) == (lf.kp, lf.ki, lf.integ, lf.bn, lf.zeta, lf.t)
    x = np.random.default_rng(3).standard_normal(100)
    y1 = lf.steps(x)
    other = LoopFilter(bn=0.5, zeta=2.0, t=1)  # the blob brings gains and parameters along
    other.set_state(b)
    assert (other.kp, other.ki, other.bn, other.zeta, other.t) == (lf.kp, lf.ki, 0.04, 0.9, 3)
    np.testing.assert_array_equal(other.steps(x), y1)


def test_state_blob_header_checks():
    lf = LoopFilter()
    good = lf.get_state()
    with pytest.raises(TypeError, match="^set_state expects bytes$"):
        lf.set_state(bytearray(good))
    with pytest.raises(TypeError, match="^set_state expects bytes$"):
        lf.set_state(memoryview(good))
    with pytest.raises(ValueError, match="^state blob size mismatch$"):
        lf.set_state(good[:-1])
    lf.integ = 5.0
    for offset in (0, 3, 4, 5, 6, 8):  # magic, version, flag byte 6, length field
        bad = bytearray(good)
        bad[offset] ^= 0x41
        with pytest.raises(ValueError, match="^set_state rejected the blob$"):
            lf.set_state(bytes(bad))
        assert lf.integ == 5.0
    loose = bytearray(good)
    loose[7] = 9
    loose[12:16] = b"\xff\xff\xff\xff"  # byte 7 and the reserved word are not examined
    lf.set_state(bytes(loose))
    assert lf.integ == 0.0


def test_fuzzed_blobs_are_restored_or_rejected():
    rng = np.random.default_rng(11)
    lf = LoopFilter()
    good = bytearray(lf.get_state())
    for _ in range(300):
        b = bytearray(good)
        for i in rng.integers(0, 64, rng.integers(1, 6)):
            b[i] = rng.integers(0, 256)
        try:
            lf.set_state(bytes(b))
        except ValueError:
            pass
        lf.steps(np.ones(4))
    for _ in range(100):
        try:
            lf.set_state(rng.bytes(64))
        except ValueError:
            pass


def test_lifecycle():
    lf = LoopFilter()
    assert lf.destroy() is None and lf.destroy() is None
    for call in (lf.state_bytes, lf.get_state, lf.reset, lambda: lf.kp, lambda: lf.step(1.0),
                 lambda: lf.steps(np.ones(2)), lambda: setattr(lf, "integ", 1.0),
                 lambda: lf.set_state(b""), lambda: lf.configure(0.1, 0.7, 1)):
        with pytest.raises(RuntimeError, match="^destroyed$"):
            call()
    with LoopFilter() as lf2:
        assert isinstance(lf2, LoopFilter)
    with pytest.raises(RuntimeError, match="^destroyed$"):
        lf2.integ
    with pytest.raises(KeyError):
        with LoopFilter() as lf3:
            raise KeyError("body error propagates")
    with pytest.raises(RuntimeError, match="^destroyed$"):
        lf3.kp
    # re-initialising replaces the core; a failed re-initialisation leaves it destroyed
    lf4 = LoopFilter(bn=0.1)
    lf4.__init__(bn=0.2)
    assert lf4.bn == 0.2
    with pytest.raises(ValueError, match=CREATE_MSG):
        lf4.__init__(zeta=-1)
    with pytest.raises(RuntimeError, match="^destroyed$"):
        lf4.bn
    unconstructed = LoopFilter.__new__(LoopFilter)
    with pytest.raises(RuntimeError, match="^destroyed$"):
        unconstructed.state_bytes()


def test_type_is_final_and_has_no_dict():
    with pytest.raises(TypeError):
        type("Sub", (LoopFilter,), {})
    with pytest.raises(AttributeError):
        LoopFilter().anything = 1


def test_core_abi():
    L = lib("track")
    fn(L, "loop_filter_create", c_void_p, c_double, c_double, c_double)
    fn(L, "loop_filter_destroy", None, c_void_p)
    fn(L, "loop_filter_state_bytes", c_size, c_void_p)
    fn(L, "loop_filter_get_state", None, c_void_p, c_void_p)
    fn(L, "loop_filter_set_state", c_int, c_void_p, c_void_p)
    fn(L, "loop_filter_reset", None, c_void_p)
    fn(L, "loop_filter_steps", None, c_void_p, c_void_p, c_void_p, c_size)
    wn = fn(L, "loop_filter_wn", c_double, c_double, c_double)
    assert wn(0.02, 0.707) == (0.02 * 8 * 0.707) / (0.707 * 0.707 * 4 + 1)
    assert not L.loop_filter_create(-1.0, 0.7, 1.0)
    core = Core(L, "loop_filter", 0.02, 0.707, 1.0)
    x, y = np.ones(3), np.empty(3)
    core.call("steps", x.ctypes.data, y.ctypes.data, 3)
    s = core.state()
    assert core.set_state(s) == OX_OK
    assert core.set_state(b"XXXX" + s[4:]) == OX_EINVAL
    core.call("reset")
    assert struct.unpack_from("<d", core.state(), 32)[0] == 0.0
