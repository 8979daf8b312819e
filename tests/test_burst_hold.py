"""The timing loops, the Dll and the receivers hold on bursty traffic: bursts after noise or exact
zeros, power steps and single bad samples (NaN, infinity, a huge spike) never stop the output,
leave every loop state finite and affect the output for a bounded time; blobs that carry what
these loops can no longer hold are refused (or brought into the new bounds)."""

from __future__ import annotations

import math
import struct

import numpy as np
import pytest

import bursts
from rate_stages_util import crafted_counters
from streaming import assert_restore_continues, assert_split_invariant
from test_dll import code_of, dsss
from ostrel import track
from ostrel.demo.receiver import psk_signal

NAN, INF = complex("nan"), complex("inf")


def theory_ser(m: int, esn0_db: float) -> float:
    es = 10 ** (esn0_db / 10)
    return math.erfc(math.sqrt(es) * math.sin(math.pi / m))  # nearest-neighbour bound


def assert_finite(*values):
    assert all(math.isfinite(v) for v in values), values


# ---------------------------------------------------------------------------------------------
# Receivers over the scenes
# ---------------------------------------------------------------------------------------------
RECEIVERS = {
    "qpsk": (4, lambda: track.MpskReceiver(m=4, sps=8.0, pulse="rrc", rrc_span=3, bn_carrier=0.015,
                                            bn_timing=0.005)),
    "bpsk": (2, lambda: track.BpskReceiver(8e6, 1e6, pulse="rrc", rrc_span=3, bn_carrier=0.015, bn_timing=0.005)),
}

# (scene, where the scored part starts: "burst" or "cut" (the bad sample or the step), symbols allowed
# to recovery from there)
SCENES = [
    ("zeros250", lambda **kw: bursts.after_zeros(250, **kw), "burst", 1000),
    ("zeros2000", lambda **kw: bursts.after_zeros(2000, **kw), "burst", 1000),
    ("noise", lambda **kw: bursts.after_noise(100_000, **kw), "burst", 1000),
    ("step+20", lambda **kw: bursts.power_step(20.0, **kw), "cut", 500),
    ("step-20", lambda **kw: bursts.power_step(-20.0, **kw), "cut", 500),
    ("nan", lambda **kw: bursts.spike(NAN, **kw), "cut", 500),
    ("inf", lambda **kw: bursts.spike(INF, **kw), "cut", 500),
    ("spike", lambda **kw: bursts.spike(1e10, **kw), "cut", 500),
]


def _cut(s: bursts.Scene, name: str) -> int:
    if name.startswith("step"):
        return s.starts[0] + int(s.n_sym[0] * s.sps / 2)
    return s.starts[0] + int(1000 * s.sps)  # bursts.spike's default position


@pytest.mark.parametrize("kind", list(RECEIVERS))
@pytest.mark.parametrize("name,scene,at,limit", SCENES, ids=[s[0] for s in SCENES])
@pytest.mark.parametrize("seed,esn0", [(0, 14.0), (1, 30.0)])
def test_receivers_hold_on_bursty_scenes(kind, name, scene, at, limit, seed, esn0):
    m, make = RECEIVERS[kind]
    s = scene(m=m, n_sym=2500, esn0_db=esn0, seed=seed)
    rx = make()
    a = s.starts[0] if at == "burst" else _cut(s, name)
    rx.bits(s.x[:a])
    post = [rx.bits(s.x[b:b + 800]) for b in range(a, len(s.x) - 800 * 2, 800)]
    assert all(len(p) for p in post), "a block of 100 symbols after the cut yielded none"
    rows = bursts.windows(np.concatenate(post), s.bits, m, window=100)
    good = rows[:, 0] <= max(4 * theory_ser(m, esn0), 0.02) * rows[:, 2]
    if m == 4:
        rec = bursts.recovered_at(rows, max(4 * theory_ser(m, esn0), 0.02))
        assert rec is not None and rec <= limit, (rec, rows[:12, 0])
    else:  # a 16-bit key aligns a BPSK window falsely now and then: most windows, not all
        assert good[limit // 100:].mean() > 0.8, rows[:, 0]
    assert_finite(rx.timing_rate, rx.norm_freq, rx.lock, rx.agc_gain_db)
    assert 7.9 < rx.timing_rate < 8.1 and abs(rx.agc_gain_db) < 40
    rx.set_state(rx.get_state())  # nothing in the state is beyond what a restore accepts


@pytest.mark.parametrize("bad", [INF, 1e20])
def test_receiver_without_agc_survives_an_overflowing_sample(bad):
    """Without the AGC's limiter in front, a sample whose square overflows reaches the carrier
    discriminator: it counts as a sample without phase, not as a NaN that stops the loop."""
    s = bursts.spike(bad, n_sym=2500, esn0_db=20.0, seed=2)
    rx = track.MpskReceiver(m=4, sps=8.0, pulse="rrc", rrc_span=3, bn_carrier=0.015, bn_timing=0.005, agc=0)
    a = s.starts[0] + 8000
    rx.bits(s.x[:a])
    rows = bursts.windows(rx.bits(s.x[a:]), s.bits, 4, window=100)
    assert bursts.recovered_at(rows, 0.02) <= 500
    assert_finite(rx.timing_rate, rx.norm_freq, rx.lock)


def test_real_input_receiver_survives_bad_samples():
    x, _ = psk_signal(1500, m=4, sps=17.1, esn0_db=20, offset=0.0, span=4, seed=9)
    x = np.real(x * np.exp(2j * np.pi * 0.2 * np.arange(len(x)))).astype(np.float32)
    x[8000], x[12000], x[16000] = np.nan, np.inf, 1e10
    rx = track.MpskReceiverR(m=4, sps=17.1, pulse="rrc", rrc_span=4, init_norm_freq=0.2)
    counts = [len(rx.steps(x[b:b + 1710])) for b in range(0, len(x) - 1710, 1710)]
    assert min(counts[1:]) >= 95  # about 100 symbols per block, before, across and after each
    assert_finite(rx.timing_rate, rx.norm_freq, rx.lock, rx.agc_gain_db)


def test_guards_keep_block_splits_and_restores_exact():
    """Zeros, a burst 20 dB above the level the AGC held, a NaN and a spike inside it: the
    guards act on the samples alone, so any split and any mid-stream restore give the same
    symbols and state."""
    x = np.concatenate([bursts.noise(3000, 8.0, 20.0, np.random.default_rng(4)), np.zeros(2000, np.complex64),
                        bursts.burst(n_sym=600, esn0_db=20.0, seed=6).x])
    x[6003], x[7000] = NAN, 1e10
    make = RECEIVERS["qpsk"][1]
    assert_split_invariant(make, lambda o, v: o.steps(v), x, [1, 2999, 5001, 6003, 6004, 6999, 7005])
    for at in (5004, 6003, 7001):
        assert_restore_continues(make, lambda o, v: o.steps(v), x, at)


def test_agc_holds_on_silence_and_attacks_a_burst():
    """Exact zeros no longer wind the gain up (the plain loop gains (ref + 300 dB) w per
    update); a burst 30 dB above the level the gain was set for is brought down within a few
    symbols; one spike moves the gain by a fraction of a dB."""
    pre = np.concatenate([bursts.noise(40_000, 8.0, 30.0, np.random.default_rng(1)),  # 21 dB under a unit burst
                          np.zeros(16_000, np.complex64)])  # 2000 symbols of exact zeros
    x = bursts.burst(n_sym=200, esn0_db=30.0, seed=3).x[100:]
    gains = []
    for spike in (False, True):
        rx = RECEIVERS["qpsk"][1]()
        rx.steps(pre[:40_000])
        g = rx.agc_gain_db
        assert 15 < g < 25
        rx.steps(pre[40_000:])
        assert abs(rx.agc_gain_db - g) < 0.01  # held (the plain loop: +600 dB)
        rx.steps(x[:200])
        assert abs(rx.agc_gain_db) < 6  # within the attack threshold of the burst's level
        x[300] = 1e10 if spike else x[300]
        rx.steps(x[200:])
        gains.append(rx.agc_gain_db)
    assert abs(gains[1] - gains[0]) < 0.1


# ---------------------------------------------------------------------------------------------
# RateSync, SymbolSync and Dll under single bad samples
# ---------------------------------------------------------------------------------------------
def _sync_signal(n_sym=3000, sps=8.0):
    return psk_signal(n_sym, m=4, sps=sps, esn0_db=20, offset=0.0, clock_ppm=100, span=4, seed=4)[0]


SYNCS = {
    "ratesync": (lambda: track.RateSync(sps=8.0, m=4, span=4, bn=0.01),
                 lambda o: (o.rate, o.ctrl, o.timing_error, o.lock_stat)),
    "symsync": (lambda: track.SymbolSync(sps=8, bn=0.01),
                lambda o: (o.rate, o.timing_error, o.lock_stat)),
}


@pytest.mark.parametrize("kind", list(SYNCS))
@pytest.mark.parametrize("bad", [NAN, INF, -INF, 1e10, complex(1e10, -1e10)])
def test_timing_loops_keep_producing_after_one_bad_sample(kind, bad):
    make, readouts = SYNCS[kind]
    x = _sync_signal()
    x[8000] = bad
    o = make()
    counts = [len(o.steps(x[b:b + 800])) for b in range(0, len(x) - 800, 800)]
    assert min(counts[1:]) >= 99  # 100 symbols per block throughout
    assert_finite(*readouts(o))
    assert abs(o.rate - 8.0) < 0.05  # tracking again, not pinned at a clamp
    o.set_state(o.get_state())


@pytest.mark.parametrize("kind", list(SYNCS))
def test_no_input_stops_a_timing_loop(kind):
    """Bursts of noise 40 dB above the loop's working level, then a clean signal: the control
    stays within its clamp, symbols keep coming at the nominal rate and the loop tracks again."""
    make, readouts = SYNCS[kind]
    rng = np.random.default_rng(5)
    x = _sync_signal()
    x[4000:12000] += (100 * (rng.standard_normal(8000) + 1j * rng.standard_normal(8000))).astype(np.complex64)
    o = make()
    counts = [len(o.steps(x[b:b + 800])) for b in range(0, len(x) - 800, 800)]
    assert min(counts[1:]) >= 50 and 6.0 < o.rate < 10.0
    assert_finite(*readouts(o))
    if kind == "ratesync":
        assert -0.5 <= o.ctrl <= 1.0  # behind a halfband the terminal stage's nominal rate is 1


@pytest.mark.parametrize("segments", [1, 4])
@pytest.mark.parametrize("bad", [NAN, INF, 1e20])
def test_dll_keeps_tracking_after_one_bad_sample(segments, bad):
    code = code_of(31, 3)
    x = dsss(code, 2, 31 * 2 * 200, tau=3.3, snr_db=10)
    x[31 * 2 * 50 + 7] = bad
    d = track.Dll(code=code, sps=2, init_chip=3.0, segments=segments)
    d.steps(x[: 31 * 2 * 150])
    y = d.steps(x[31 * 2 * 150:])
    assert len(y) == 50 * segments and np.all(np.abs(y.real) > 0.5)
    assert_finite(d.code_rate, d.last_error, d.lock_stat, d.noise_est)
    assert abs(d.code_rate - 1.0) < 1e-3 and d.locked
    d.set_state(d.get_state())


# ---------------------------------------------------------------------------------------------
# Blobs
# ---------------------------------------------------------------------------------------------
def _restore(o, blob: bytes) -> bool:
    before = o.get_state()
    try:
        o.set_state(blob)
    except ValueError:
        assert o.get_state() == before
        return False
    return True


def _patched(blob: bytes, off: int, fmt: str, value) -> bytes:
    b = bytearray(blob)
    struct.pack_into(fmt, b, off, value)
    return bytes(b)


BLOB_OWNERS = {
    "bpsk": (lambda: track.BpskReceiver(8e6, 1e6, pulse="rrc", rrc_span=4), _sync_signal, 112),
    "mpsk": (lambda: track.MpskReceiver(sps=5.3, pulse="rrc", rrc_span=4), lambda: _sync_signal(sps=5.3), None),
    "ratesync": (lambda: track.RateSync(sps=5.7, m=4, span=4, num_phases=64, bn=0.03),
                 lambda: _sync_signal(sps=5.7), 68),
}


@pytest.mark.parametrize("kind", list(BLOB_OWNERS))
def test_crafted_resampler_backlog_is_refused(kind):
    make, sig, backlog_at = BLOB_OWNERS[kind]
    o = make()
    x = sig()
    o.steps(x[:3000])
    good = o.get_state()
    if backlog_at is not None:
        assert good[backlog_at - 36:backlog_at - 32] == b"RSMP"  # the backlog sits at the documented byte
    n = 0
    for blob, ok in crafted_counters(good):
        assert _restore(o, blob) == ok
        if ok:
            o.steps(x[3000:3100])  # a reachable count: a push stays cheap
        o.set_state(good)
        n += 1
    assert n >= 5


def _rslp(blob: bytes) -> int:
    return blob.rfind(b"RSLP")


# (owner, where the field sits: a function of the blob, format, value, accepted, read-back check)
BAD_FIELDS = [
    ("ratesync ctrl nan", "ratesync", lambda b: _rslp(b) + 16, "<d", math.nan, False, None),
    ("ratesync integ inf", "ratesync", lambda b: _rslp(b) + 152 + 32, "<d", math.inf, False, None),
    ("ratesync lock_stat nan", "ratesync", lambda b: _rslp(b) + 48, "<d", math.nan, False, None),
    ("ratesync ctrl -1.1", "ratesync", lambda b: _rslp(b) + 16, "<d", -1.1, True,
     lambda o: o.ctrl == -0.5 * (4 / 5.7)),
    ("ratesync integ 5", "ratesync", lambda b: _rslp(b) + 152 + 32, "<d", 5.0, True,
     lambda o: struct.unpack_from("<d", o.get_state(), _rslp(o.get_state()) + 184)[0] == 1.0),
    ("symsync power nan", "symsync", lambda b: 200, "<d", math.nan, False, None),
    ("symsync power -1", "symsync", lambda b: 200, "<d", -1.0, False, None),
    ("symsync integ nan", "symsync", lambda b: 80 + 16, "<d", math.nan, False, None),
    ("symsync inc 0", "symsync", lambda b: 20, "<I", 0, True, lambda o: len(o.steps(_sync_signal(30))) > 0),
    ("rx agc gain nan", "bpsk", lambda b: b.rfind(b"AGC ") + 64, "<d", math.nan, False, None),
    ("rx agc level inf", "bpsk", lambda b: b.rfind(b"AGC ") + 72, "<d", math.inf, False, None),
    ("rx agc gain 6000", "bpsk", lambda b: b.rfind(b"AGC ") + 64, "<d", 6000.0, True,
     lambda o: len(o.steps(_sync_signal(30))) > 0 and o.agc_gain_db <= 200),
    ("rx timing ctrl nan", "bpsk", lambda b: _rslp(b) + 16, "<d", math.nan, False, None),
    ("dll integ nan", "dll", lambda b: 16 + 16, "<d", math.nan, False, None),
    ("dll noise_est inf", "dll", lambda b: 16 + 352, "<d", math.inf, False, None),
    ("dll integ -3", "dll", lambda b: 16 + 16, "<d", -3.0, True,
     lambda o: struct.unpack_from("<d", o.get_state(), 32)[0] == -0.5 and len(o.steps(np.ones(1240, np.complex64))) >= 5),
]
OWNERS = {"ratesync": BLOB_OWNERS["ratesync"][0], "symsync": SYNCS["symsync"][0], "bpsk": BLOB_OWNERS["bpsk"][0],
          "dll": lambda: track.Dll(code=code_of(31, 3), sps=2)}


@pytest.mark.parametrize("name,owner,at,fmt,value,ok,check", BAD_FIELDS, ids=[b[0] for b in BAD_FIELDS])
def test_restore_refuses_or_bounds_what_the_loops_never_hold(name, owner, at, fmt, value, ok, check):
    o = OWNERS[owner]()
    o.steps(_sync_signal(300) if owner != "dll" else dsss(code_of(31, 3), 2, 620 * 4))
    good = o.get_state()
    assert _restore(o, _patched(good, at(good), fmt, value)) == ok
    if ok:
        assert check(o)
