"""track.RateSync and the ratesync_loop record: the timing loop restated in NumPy on top of the
real matched converter, lock behaviour, parameters and messages, streaming, blobs, telemetry."""

from __future__ import annotations

import ctypes
import struct

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from _rate_api import RC, cf32, pc
from native import OX_EINVAL, OX_OK, c_double, c_int, c_size, c_u64, c_void_p, fn, lib
from rx_ref import RefTiming
from streaming import assert_restore_continues, assert_split_invariant, fuzz_blobs
from ostrel import track
from ostrel.demo.receiver import psk_signal
from ostrel.telemetry import Telemetry

L = lib("track")
P = c_void_p
fn(L, "symsync_ted_slope", c_double, c_int, c_int, ctypes.c_int64, c_double)
fn(L, "ratesync_loop_init", None, P, c_u64, c_int, c_double, c_double, c_double)
fn(L, "ratesync_loop_set_cascade", None, P, c_u64, c_double)
fn(L, "ratesync_loop_configure", None, P, c_double, c_double)
fn(L, "ratesync_loop_configure_lock_raw", None, P, c_u64, c_int, c_int, c_double, c_double)
fn(L, "ratesync_loop_state_bytes", c_size, P)
fn(L, "ratesync_loop_get_state", None, P, P)
fn(L, "ratesync_loop_set_state", c_int, P, ctypes.c_char_p)

INVALID = ("RateSync: invalid parameter (need sps >= m, 0 <= beta <= 1, span >= 1, m even in [2, 8], "
           "num_phases a power of two >= 2, bn >= 0, zeta > 0)")


class RefRateSync(RefTiming):
    """The timing loop driving a real matched converter through its control port."""

    def __init__(self, sps, pulse, span, beta, m, num_phases, bn, zeta, ted, lock):
        self.rc = RC("track", 1, pulse, span, num_phases, m / sps, beta, float(m), matched=True)
        assert self.rc.call("num_stages") == 1  # the terminal resampler runs at m / sps
        RefTiming.__init__(self, sps, m, self.rc.call("bank_shape_value", 1), m / sps,
                           1.0 / L.symsync_ted_slope(ted, pulse, span, beta), bn, zeta, ted, lock)

    def steps(self, x):
        out = np.zeros(16, np.complex64)
        syms = []
        for v in x:
            k = self.rc.call("execute_ctrl_push", pc(out), 4, cf32(v), self.ctrl)
            got = [c for c in out[:k].copy() if self.push(c)]
            if got:
                syms.append(got[-1])
        return np.array(syms, np.complex64)


@pytest.mark.parametrize("pulse,ted,sps,m", [(1, 0, 5.5, 4), (0, 0, 7.3, 6), (1, 1, 3.1, 2)])
def test_loop_matches_restatement_bit_for_bit(pulse, ted, sps, m):
    x, _ = psk_signal(420, m=4, sps=sps, esn0_db=18, offset=0.0, clock_ppm=300, pulse="rrc" if pulse else "iandd",
                      span=4, seed=3)
    x = x[:2500]
    lock = (7, 2, 3, 0.2, 0.1)
    ref = RefRateSync(sps, pulse, 4, 0.35, m, 64, 0.04, 0.8, ted, lock)
    rs = track.RateSync(sps=sps, pulse=("iandd", "rrc")[pulse], span=4, m=m, num_phases=64, bn=0.04, zeta=0.8,
                        ted=("gardner", "dttl")[ted])
    rs.configure_lock_raw(*lock[:1], *lock[3:], *lock[1:3])
    want = ref.steps(x)
    got = rs.steps(x)
    assert len(got) > 300
    assert got.tobytes() == want.tobytes()
    assert (rs.timing_error, rs.ctrl, rs.rate, rs.lock_stat, rs.locked) == (ref.e, ref.ctrl, ref.rate,
                                                                            ref.lock_stat, bool(ref.locked))


def test_tracks_rate_and_locks_keeping_lock_on_reconfigure():
    rng = np.random.default_rng(0)
    sym = rng.choice([-0.25, 0.25], 3000) + 1j * rng.choice([-0.25, 0.25], 3000)
    x = np.repeat(sym, 8).astype(np.complex64)
    rs = track.RateSync(sps=8.0, pulse="iandd", m=4, bn=0.01)
    y = rs.steps(x)
    assert rs.rate == pytest.approx(8.0, abs=1e-3) and rs.lock_stat > 0.55 and rs.locked
    rs.configure(0.002, 0.707)
    assert rs.locked and rs.bn == 0.002
    rs.configure(-1, 0.7)
    rs.configure(0.01, 0.0)
    assert rs.bn == 0.002
    rs.configure(0.01, 0.707)
    rs.configure_lock_raw(133, 0.311, 0.311, 1, 8)  # the lock is dropped and the averaging restarts
    assert (rs.locked, rs.lock_stat) == (False, 0.0)
    rs.reset()
    assert (rs.ctrl, rs.locked, rs.rate, rs.timing_error) == (0.0, False, 8.0, 0.0)
    assert rs.steps(x).tobytes() == y.tobytes()
    # a clock 0.3 % fast at 17.33 samples per symbol, root raised cosine
    x, _ = psk_signal(3000, m=4, sps=17.33, esn0_db=20, offset=0.0, clock_ppm=3000, span=8, seed=2)
    rs = track.RateSync(sps=17.33, m=4, bn=0.02)
    rs.steps(x[: int(2900 * 17.33)])
    assert rs.rate == pytest.approx(17.33 * 1.003, rel=1e-3) and rs.locked and not rs.clipped


@pytest.mark.parametrize("kw", [dict(sps=3.0, m=4), dict(m=3), dict(num_phases=1000), dict(beta=1.5),
                                dict(span=0), dict(m=10), dict(m=0), dict(num_phases=1), dict(bn=-1e-9),
                                dict(zeta=0.0)])
def test_invalid_parameters(kw):
    with pytest.raises(ValueError) as err:
        track.RateSync(**kw)
    assert str(err.value) == INVALID


@pytest.mark.parametrize("kw, message", [(dict(sps=float("nan")), "sps must be finite, got nan"),
                                         (dict(bn=float("inf")), "bn must be finite, got inf")])
def test_non_finite_parameters_are_named(kw, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        track.RateSync(**kw)


@pytest.mark.parametrize("kw,exc,msg", [
    (dict(pulse="rect"), ValueError, "pulse must be one of \"iandd\", \"rrc\", got 'rect'"),
    (dict(ted="mm"), ValueError, "ted must be one of \"gardner\", \"dttl\", got 'mm'"),
    (dict(span=-1), OverflowError, None), (dict(m=2 ** 64), OverflowError, None),
])
def test_option_and_range_errors(kw, exc, msg):
    with pytest.raises(exc) as err:
        track.RateSync(**kw)
    if msg:
        assert str(err.value) == msg


def _make():
    return track.RateSync(sps=5.7, m=4, span=4, num_phases=64, bn=0.03)


def _signal(n=1200):
    return psk_signal(n // 5, m=4, sps=5.7, esn0_db=15, offset=0.0, clock_ppm=100, span=4, seed=5)[0][:n]


@settings(max_examples=25, deadline=None)
@given(st.lists(st.integers(0, 1200), max_size=6))
def test_block_split_invariance(cuts):
    assert_split_invariant(_make, lambda o, x: o.steps(x), _signal(), cuts)


@pytest.mark.parametrize("at", [0, 7, 400, 999])
def test_restore_mid_stream(at):
    assert_restore_continues(_make, lambda o, x: o.steps(x), _signal(), at)


def test_restore_brings_the_loop_gains_and_their_bn():
    """The loop filter's blob carries its gains: restored into a RateSync built with another bn,
    the continuation is the original's and bn reads the restored value."""
    other = lambda: track.RateSync(sps=5.7, m=4, span=4, num_phases=64, bn=0.005, zeta=0.9)  # noqa: E731
    assert_restore_continues(_make, lambda o, x: o.steps(x), _signal(), 500, fresh=other)
    b = other()
    b.set_state(_make().get_state())
    assert b.bn == 0.03


def test_blob_layout_and_loop_record_api():
    rs = _make()
    rs.steps(_signal())
    blob = rs.get_state()
    assert blob[:4] == b"RATS" and struct.unpack_from("<HBxI", blob, 4) == (2, 1, len(blob))
    rslp = blob[-216:]
    assert rslp[:4] == b"RSLP" and struct.unpack_from("<HBxI", rslp, 4) == (2, 1, 216)
    assert rslp[152:156] == b"LPFL" and blob[16:20] == b"RCVT"
    ctrl, err, rate = struct.unpack_from("<3d", rslp, 16)
    assert (ctrl, err, rate) == (rs.ctrl, rs.timing_error, rs.rate)
    assert struct.unpack_from("<I", rslp, 148)[0] == rs.locked
    # the record through its own ABI
    rec = ctypes.create_string_buffer(512)
    L.ratesync_loop_init(rec, 4, 0, 5.7, 0.03, 0.707)
    L.ratesync_loop_set_cascade(rec, 20, 0.7)
    assert L.ratesync_loop_state_bytes(rec) == 216
    out = ctypes.create_string_buffer(216)
    L.ratesync_loop_get_state(rec, out)
    assert struct.unpack_from("<3d", out.raw, 16) == (0.0, 0.0, 5.7)
    assert struct.unpack_from("<2Q", out.raw, 64) == (21, 0)  # prime = taps + 1, counter
    L.ratesync_loop_configure(rec, -1.0, 1.0)  # ignored
    L.ratesync_loop_get_state(rec, out)
    assert struct.unpack_from("<d", out.raw, 152 + 16 + 24)[0] == 0.03  # the filter's bn
    assert L.ratesync_loop_set_state(rec, rslp) == OX_OK
    bad = bytearray(rslp)
    struct.pack_into("<Q", bad, 80, 4)  # hist_fill above m/2 + 1
    assert L.ratesync_loop_set_state(rec, bytes(bad)) == OX_EINVAL


# RSLP offsets inside the RATS blob are taken from its end.
BAD_LOOP = [("prime", 64, "<Q", 10 ** 6), ("hist_fill", 80, "<Q", 4), ("block_count", 88, "<Q", 133),
            ("locked 2", 148, "<I", 2), ("run complete", 144, "<I", 100), ("filter magic", 152, "<4s", b"LPFX")]


@pytest.mark.parametrize("name,off,fmt,value", BAD_LOOP, ids=[b[0] for b in BAD_LOOP])
def test_bad_loop_part_leaves_converter_unrestored(name, off, fmt, value):
    a, b = _make(), _make()
    a.steps(_signal())
    blob = bytearray(a.get_state())
    struct.pack_into(fmt, blob, len(blob) - 216 + off, value)
    before = b.get_state()
    with pytest.raises(ValueError, match="^set_state rejected the blob$"):
        b.set_state(bytes(blob))
    assert b.get_state() == before  # the converter part (good) was not applied either
    blob = bytearray(a.get_state())
    blob[20:22] = b"XX"  # the converter's version: bad, loop part good
    with pytest.raises(ValueError, match="^set_state rejected the blob$"):
        b.set_state(bytes(blob))
    assert b.get_state() == before


def test_fuzzed_blobs():
    rs = _make()
    x = _signal()
    rs.steps(x)
    n = len(rs.get_state())
    fuzz_blobs(rs, np.random.default_rng(1), lambda o: (o.steps(x[:200]), o.rate), count=200, lo=n - 216)
    fuzz_blobs(rs, np.random.default_rng(2), lambda o: o.steps(x[:200]), count=100)


def test_telemetry_probes_and_failures():
    rs = _make()
    x = _signal()
    with Telemetry(1 << 14) as tlm:
        rs.set_telemetry(tlm, "ts")
        y = rs.steps(x)
        rs.set_telemetry(None, "ts")
        pr = tlm.demux(tlm.read())
        assert list(pr) == ["ts.e", "ts.ctrl", "ts.rate", "ts.lock", "ts.locked", "ts.mu"]
        assert all(len(v) == len(y) for v in pr.values())
        assert pr["ts.rate"][-1] == np.float32(rs.rate) and pr["ts.ctrl"][-1] == np.float32(rs.ctrl)
        assert np.all((pr["ts.mu"] >= 0) & (pr["ts.mu"] < 1))
        for i in range(64 - len(tlm.probe_names)):
            tlm.register(f"filler{i}")
        with pytest.raises(ValueError, match=r"^set_telemetry failed \(rc=-4\): "):
            rs.set_telemetry(tlm, "other")
        with pytest.raises(ValueError, match=r"^set_telemetry failed \(rc=-4\): "):
            rs.set_telemetry(tlm, "ts", 0)
