"""track.CarrierMpsk: acquisition on BPSK/QPSK/8-PSK, decisions, loop theory, exact arithmetic,
streaming, state blobs; and carrier loops running on two threads at once."""

from __future__ import annotations

import threading

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from carrier_ref import (CarrierMpskRef, fuzz_dump_loop_blobs, closed_loop_noise_gain, psk_signal, second_order_step,
                         tracked_phase_error)
from ostrel import track


def bits(a: np.ndarray) -> np.ndarray:
    return np.ascontiguousarray(a).view(np.uint32)


def symbol_errors(y: np.ndarray, sym: np.ndarray, m: int) -> int:
    """Symbol errors of the prompts against the sent symbols, best over the M-fold ambiguity."""
    return min(np.count_nonzero(np.abs(np.angle(y * np.conj(sym) * np.exp(-2j * np.pi * r / m))) > np.pi / m)
               for r in range(m))


# ---------------------------------------------------------------------------------------------
# Behaviour on signals
# ---------------------------------------------------------------------------------------------
@pytest.mark.parametrize("m,freq,esn0_db", [(2, 0.002, 8.0), (4, 0.001, 12.0), (4, -0.0015, 12.0),
                                            (8, 0.0005, 18.0), (8, 0.001, 18.0)])
def test_acquires_psk_with_residual_carrier(m, freq, esn0_db):
    x, _, sym = psk_signal(m, 4000, 16, freq, esn0_db, phase=0.3, seed=1)
    c = track.CarrierMpsk(m=m, tsamps=16, bn=0.05)
    y = np.concatenate([c.steps(x[k:k + 1600]) for k in range(0, len(x), 1600)])
    assert len(y) == 4000
    assert abs(c.norm_freq - freq) < 1.5e-4
    assert c.lock_metric > 0.9
    assert symbol_errors(y[-2000:], sym[-2000:], m) <= 2


def test_fll_assist_pulls_in_where_the_pll_alone_does_not():
    freq = 0.004  # 23 degrees per dump: a bn 0.02 decision-directed QPSK loop slips forever
    x, _, _ = psk_signal(4, 4000, 16, freq, 12.0, phase=0.3, seed=2)
    tails = {}
    for fll in (0.0, 0.01):
        c = track.CarrierMpsk(m=4, tsamps=16, bn=0.02, bn_fll=fll)
        freqs = [c.norm_freq for k in range(0, len(x), 160) if len(c.steps(x[k:k + 160]))]
        tails[fll] = np.mean(freqs[-200:])
    assert abs(tails[0.01] - freq) < 5e-5
    assert abs(tails[0.0] - freq) > 1e-3


def test_decisions_errors_and_the_half_way_rule():
    # One sample per dump, oscillator at phase 0: the prompt is the input sample itself.
    c = track.CarrierMpsk(m=4, tsamps=1, bn=0.0)
    for deg in (45, 135, 225, 315):
        c.reset()
        c.steps(np.array([np.exp(1j * np.deg2rad(deg))], np.complex64))
        assert abs(c.last_error) < 1e-6
    c.reset()
    c.steps(np.array([1 + 0j], np.complex64))  # exactly between the 45 and -45 degree points
    assert c.last_error == pytest.approx(-np.sqrt(0.5), abs=1e-6)  # sliced to 45 degrees
    bpsk = track.CarrierMpsk(m=2, tsamps=1, bn=0.0)
    bpsk.steps(np.array([1j], np.complex64))  # u = +0.5 exactly: toward zero, the 0-degree point
    assert bpsk.last_error == 1.0
    c.reset()
    c.steps(np.array([np.exp(-1e-4j)], np.complex64))
    assert c.last_error == pytest.approx(np.sqrt(0.5), abs=1e-3)  # just past: -45 degrees
    for m, deg in ((2, 170.0), (8, 50.0)):
        loop = track.CarrierMpsk(m=m, tsamps=1, bn=0.0)
        loop.steps(np.array([np.exp(1j * np.deg2rad(deg))], np.complex64))
        nearest = np.round(deg / (360 / m)) * (360 / m)
        assert loop.last_error == pytest.approx(np.sin(np.deg2rad(deg - nearest)), abs=1e-6)


def test_nan_and_infinite_prompts_are_sliced_without_failing():
    # A NaN prompt has no nearest point: it takes index 0 (defined behaviour, not an undefined
    # float-to-integer conversion); the loop state turns NaN and reset() recovers it.
    for m in (2, 4, 8):
        c = track.CarrierMpsk(m=m, tsamps=2)
        y = c.steps(np.array([np.nan, 1, np.inf, -np.inf, 1j, 1], np.complex64))
        assert y.shape == (3,) and np.isnan(y[0]) and np.isnan(c.norm_freq)
        c.reset()
        c.steps(np.ones(2, np.complex64))
        assert np.isfinite(c.last_error) and np.isfinite(c.norm_freq)


def test_lock_metric_is_the_cosine_of_the_residual_error():
    c = track.CarrierMpsk(m=4, tsamps=4, bn=0.0)  # no loop action: the error stays put
    c.steps(np.full(4 * 200, np.exp(1j * (np.pi / 4 + 0.3)), np.complex64))
    assert c.lock_metric == pytest.approx(np.cos(0.3), abs=1e-5)
    assert c.last_error == pytest.approx(np.sin(0.3), abs=1e-5)


def test_phase_step_response_matches_second_order_theory():
    bn, zeta, delta = 0.01, 0.707, 0.2
    c = track.CarrierMpsk(m=4, bn=bn, zeta=zeta, tsamps=1)
    y = c.steps(np.full(600, np.exp(1j * (np.pi / 4 + delta)), np.complex64))
    phi = np.angle(y) - np.pi / 4
    theory = second_order_step(delta, bn, zeta, np.arange(600))
    assert np.max(np.abs(phi - theory)) < 0.02 * delta
    assert abs(phi[-1]) < 1e-3


@pytest.mark.parametrize("m,esn0_db", [(4, 13.0), (8, 18.0)])
def test_steady_state_phase_variance_matches_linear_theory(m, esn0_db):
    bn, ts = 0.02, 16
    x, clean, sym = psk_signal(m, 10000, ts, 0.0, esn0_db, phase=0.1, seed=3)
    err = tracked_phase_error(track.CarrierMpsk(m=m, bn=bn, tsamps=ts), clean, x, sym, m, ts)[2000:]
    sigma_e2 = 1 / (2 * 10 ** (esn0_db / 10))
    assert 0.75 < np.var(err) / (sigma_e2 * closed_loop_noise_gain(bn, 0.707)) < 1.33


# ---------------------------------------------------------------------------------------------
# Exact arithmetic and streaming
# ---------------------------------------------------------------------------------------------
@pytest.mark.parametrize("m", [2, 4, 8])
@pytest.mark.parametrize("tsamps,fll", [(16, 0.0), (16, 0.01), (5, 0.02)])
def test_bit_exact_against_reference(m, tsamps, fll):
    x, _, _ = psk_signal(m, 3000 // tsamps + 1, tsamps, 0.002, 10.0, phase=0.5, seed=4)
    c = track.CarrierMpsk(m=m, bn=0.05, tsamps=tsamps, bn_fll=fll, init_norm_freq=0.001)
    ref = CarrierMpskRef(m=m, bn=0.05, tsamps=tsamps, bn_fll=fll, init_norm_freq=0.001)
    assert np.array_equal(bits(c.steps(x)), bits(ref.steps(x)))
    assert (c.norm_freq, c.lock_metric, c.last_error) == (ref.norm_freq, ref.lock_metric, ref.last_error)


@settings(max_examples=25, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(m=st.sampled_from([2, 4, 8]), tsamps=st.sampled_from([1, 3, 16, 64]),
       cuts=st.lists(st.integers(0, 3000), max_size=12))
def test_block_splits_do_not_change_anything(m, tsamps, cuts):
    x, _, _ = psk_signal(m, 3000 // tsamps, tsamps, 0.001, 12.0, seed=5)
    whole = track.CarrierMpsk(m=m, tsamps=tsamps, bn_fll=0.01)
    ref = whole.steps(x)
    split = track.CarrierMpsk(m=m, tsamps=tsamps, bn_fll=0.01)
    edges = [0, *sorted(c % (len(x) + 1) for c in cuts), len(x)]
    parts = [split.steps(x[a:b]) for a, b in zip(edges[:-1], edges[1:])]
    assert np.array_equal(bits(np.concatenate(parts)), bits(ref))
    assert split.get_state() == whole.get_state()


def test_prompt_count_reset_reseed_and_configure():
    c = track.CarrierMpsk(tsamps=10, init_norm_freq=0.001)
    assert [len(c.steps(np.ones(n, np.complex64))) for n in (7, 7, 7, 25, 0, 4)] == [0, 1, 1, 2, 0, 1]
    assert c.steps_max_out() == 0 and c.m == 4
    with pytest.raises(ValueError, match=r"^tsamps must be >= 1, got 0$"):
        track.CarrierMpsk(tsamps=0)
    assert len(track.CarrierMpsk(tsamps=1).steps(np.ones(3, np.complex64))) == 3
    x, _, _ = psk_signal(4, 200, 10, 0.001, 12.0, seed=6)
    c.reset()
    first = c.steps(x)
    c.reset()
    assert c.norm_freq == 0.001 and c.lock_metric == 0.0
    assert np.array_equal(bits(c.steps(x)), bits(first))
    f = c.norm_freq
    c.configure(0.02, 1.0)
    assert c.bn == 0.02 and c.norm_freq == f
    c.bn = 0.03
    lf = track.LoopFilter(bn=0.03, zeta=1.0, t=1.0)
    assert tuple(np.frombuffer(c.get_state(), np.float64, 2, 32)) == (lf.kp, lf.ki)
    c.bn_fll = 0.002
    assert c.bn_fll == 0.002 and np.frombuffer(c.get_state(), np.float64, 1, 16 + 104)[0] == 0.008
    c.norm_freq = -0.002
    assert c.norm_freq == -0.002
    c.steps(x)
    c.reset()
    assert c.norm_freq == -0.002


def test_invalid_order_is_refused_by_create():
    for m in (0, 1, 3, 16, -4):
        with pytest.raises(ValueError, match=rf"^m must be 2, 4 or 8, got {m}$"):
            track.CarrierMpsk(m=m)
    loop = track.CarrierMpsk()
    with pytest.raises(ValueError, match="^m must be 2, 4 or 8, got 3$"):
        loop.__init__(m=3)
    with pytest.raises(RuntimeError, match="destroyed"):  # a failed __init__ leaves no core
        loop.m


# ---------------------------------------------------------------------------------------------
# State blobs
# ---------------------------------------------------------------------------------------------
def test_state_round_trip_mid_dump_restores_m_and_continuation():
    x, _, _ = psk_signal(8, 500, 16, 0.0007, 18.0, seed=7)
    a = track.CarrierMpsk(m=8, tsamps=16, bn_fll=0.01)
    a.steps(x[:3001])
    blob = a.get_state()
    assert len(blob) == a.state_bytes() == 192
    assert blob[:8] == b"CMPK\x01\x00\x01\x00" and int.from_bytes(blob[8:12], "little") == 192
    cont = a.steps(x[3001:])
    b = track.CarrierMpsk(m=2, tsamps=5, bn=0.2)
    b.set_state(blob)
    assert b.m == 8 and b.bn == 0.05 and b.bn_fll == 0.01
    assert np.array_equal(bits(b.steps(x[3001:])), bits(cont))
    assert a.get_state() == b.get_state()


def _field(blob: bytes, offset: int, fmt: str, value) -> bytes:
    b = bytearray(blob)
    b[16 + offset:16 + offset + np.dtype(fmt).itemsize] = np.array(value, fmt).tobytes()
    return bytes(b)


@pytest.mark.parametrize("offset,fmt,value", [
    (112, "<i4", 3), (112, "<i4", 16), (112, "<i4", 0), (112, "<i4", -4),  # m
    (64, "<u8", 0),                                                           # tsamps
    (128, "<u8", 16), (128, "<u8", 2**64 - 1),                               # n_acc >= tsamps
    (152, "<u4", 2),                                                          # have_prev
])
def test_crafted_blob_is_rejected_and_leaves_the_loop_unchanged(offset, fmt, value):
    x, _, _ = psk_signal(4, 50, 16, 0.001, 12.0, seed=8)
    c = track.CarrierMpsk(tsamps=16)
    c.steps(x[:700])
    good = c.get_state()
    with pytest.raises(ValueError, match="set_state rejected the blob"):
        c.set_state(_field(good, offset, fmt, value))
    assert c.get_state() == good


def test_header_checks_padding_and_foreign_blobs():
    c = track.CarrierMpsk()
    good = c.get_state()
    for i in (0, 2, 4, 5, 6, 8, 9):
        b = bytearray(good)
        b[i] ^= 0x10
        with pytest.raises(ValueError, match="set_state rejected the blob"):
            c.set_state(bytes(b))
    b = bytearray(good)
    b[7], b[12], b[15] = 1, 2, 3
    c.set_state(bytes(b))
    c.set_state(_field(_field(good, 124, "<u4", 0xDEADBEEF), 156, "<u4", 7))  # padding words
    assert c.get_state() == good
    with pytest.raises(ValueError, match="state blob size mismatch"):
        c.set_state(track.Costas().get_state())


def test_fuzzed_blobs_never_crash():
    x, _, _ = psk_signal(4, 40, 16, 0.001, 12.0, seed=9)
    c = track.CarrierMpsk(tsamps=16)
    c.steps(x[:300])
    def m_is_valid(loop):
        assert loop.m in (2, 4, 8)

    assert fuzz_dump_loop_blobs(c, x, 192, 128, np.random.default_rng(9), check=m_is_valid) > 100


# ---------------------------------------------------------------------------------------------
# Threads: block calls release the interpreter lock.
# ---------------------------------------------------------------------------------------------
def test_two_loops_on_two_threads_match_sequential_runs():
    x1, _, _ = psk_signal(2, 40000, 16, 0.003, 10.0, seed=10)
    x2, _, _ = psk_signal(4, 40000, 16, 0.001, 12.0, seed=11)
    makers = (lambda: track.Costas(tsamps=16, bn_fll=0.01), lambda: track.CarrierMpsk(m=4, tsamps=16))
    blocks = [np.array_split(x, 7) for x in (x1, x2)]

    sequential = []
    for make, parts in zip(makers, blocks):
        loop = make()
        sequential.append((np.concatenate([loop.steps(p) for p in parts]), loop.get_state()))

    results = [None, None]
    barrier = threading.Barrier(2)

    def work(i):
        loop = makers[i]()
        barrier.wait()
        ys = [loop.steps(p) for p in blocks[i]]
        results[i] = (np.concatenate(ys), loop.get_state())

    threads = [threading.Thread(target=work, args=(i,)) for i in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for (y_seq, s_seq), (y_thr, s_thr) in zip(sequential, results):
        assert np.array_equal(bits(y_seq), bits(y_thr)) and s_seq == s_thr
