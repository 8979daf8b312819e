"""track.PskDemodulator: parameters and messages, acquisition of continuous and bursty signals
(BER near theory, carrier offsets, bursts after noise or silence, power steps, bad samples,
trains), the demapper, streaming, all-or-nothing blobs, telemetry and threads."""

from __future__ import annotations

import math
import struct
import threading

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st
from scipy.special import erfc

import bursts
from streaming import assert_restore_continues, assert_split_invariant, fuzz_blobs
from ostrel import track
from ostrel.demo.receiver import count_bit_errors, psk_signal
from ostrel.telemetry import Telemetry

VARS_BYTES = 336  # the detector and loop state ahead of the window in the blob


def ber_theory(m: int, ebn0_db: float) -> float:
    g = 10 ** (ebn0_db / 10)
    if m in (2, 4):
        return 0.5 * erfc(math.sqrt(g))
    return (2 / 3) * 0.5 * erfc(math.sqrt(3 * g) * math.sin(math.pi / 8))


def demap(sym: np.ndarray, m: int, differential: bool = False) -> np.ndarray:
    """The receivers' demapper restated: nearest index (QPSK from 45 degrees), Gray code, bits
    least significant first; differential: the index step from the previous symbol."""
    off = math.pi / 4 if m == 4 else 0.0
    u = (m / (2 * math.pi)) * (np.arctan2(sym.imag.astype(np.float64), sym.real.astype(np.float64)) - off)
    idx = np.trunc(u + np.copysign(0.49999999999999994, u)).astype(np.int64) & (m - 1)
    if differential:
        idx = (idx - np.concatenate([[0], idx[:-1]])) % m
    g = idx ^ (idx >> 1)
    k = int(round(math.log2(m)))
    return ((g[:, None] >> np.arange(k)) & 1).astype(np.uint8).reshape(-1)


def burst_stream(sps=4.0, n_sym=600, gap=300, esn0_db=20.0, seed=0):
    """Exact zeros, a QPSK burst, noise: every detector state in a few thousand samples."""
    s = bursts.after_zeros(gap_sym=gap // 4, seed=seed, n_sym=n_sym, sps=sps, esn0_db=esn0_db)
    tail = bursts.noise(int(gap * sps), sps, esn0_db, np.random.default_rng(seed))
    return np.concatenate([s.x, tail]).astype(np.complex64)


# ---------------------------------------------------------------------------------------------
# Parameters
# ---------------------------------------------------------------------------------------------
@pytest.mark.parametrize("kw,msg", [
    (dict(m=3), "m must be 2, 4 or 8"),
    (dict(sps=1.5), r"sps must be in \[2, 1024\]"),
    (dict(sps=float("nan")), r"sps must be in \[2, 1024\]"),
    (dict(rrc_beta=0.0), r"rrc_beta must be in \(0, 1\]"),
    (dict(rrc_span=0), r"rrc_span must be in \[1, 16\]"),
    (dict(acq_symbols=16), r"acq_symbols must be 0 \(automatic\) or in \[32, 1024\]"),
    (dict(bn_timing=0.0), r"bn_timing must be in \(0, 0.1\]"),
    (dict(bn_carrier=0.5), r"bn_carrier must be in \(0, 0.2\]"),
    (dict(squelch_db=0.5), r"squelch_db must be in \[1, 40\]"),
    (dict(search=0.3), r"search must be in \(0, 0.25\]"),
    (dict(init_norm_freq=0.5), r"init_norm_freq must be in \(-0.5, 0.5\)"),
    (dict(line_db=3.0), r"line_db must be 0 \(automatic\) or in \[6, 40\]"),
])
def test_parameter_errors_name_the_parameter(kw, msg):
    with pytest.raises(ValueError, match="^PskDemodulator: " + msg + "$"):
        track.PskDemodulator(**kw)


def test_fresh_object_and_silence():
    d = track.PskDemodulator()
    assert (d.m, d.sps, d.bursts, d.n_sym, d.samples) == (4, 8.0, 0, 0, 0)
    assert (d.burst_start, d.burst_end, d.in_burst, d.locked) == (-1, -1, False, False)
    assert math.isnan(d.noise_floor) and d.snr_db == -math.inf
    y = d.steps(np.zeros(20000, np.complex64))
    assert len(y) == 0 and d.samples == 20000 and d.noise_floor == 0.0 and d.bursts == 0
    d.steps(bursts.noise(40000, 8.0, 10.0, np.random.default_rng(1)))
    assert d.bursts == 0 and d.noise_floor > 0  # noise alone is no burst


def test_own_blob_restores_while_windows_fail():
    """A stream that starts in noise fails window after window until its floor is set, then
    tries each window twice: the object's own blob restores at every point of that."""
    x = bursts.noise(40000, 8.0, 10.0, np.random.default_rng(2))
    d = track.PskDemodulator()
    for a in range(0, len(x), 1000):
        d.steps(x[a:a + 1000])
        d.set_state(d.get_state())
    assert d.bursts == 0 and d.noise_floor > 0


# ---------------------------------------------------------------------------------------------
# Acquisition and BER
# ---------------------------------------------------------------------------------------------
@pytest.mark.parametrize("m,sps,ebn0", [(2, 4.0, 6.0), (4, 8.0, 6.0), (4, 4.0, 7.0), (8, 8.0, 9.0)])
def test_continuous_signal_ber_near_theory(m, sps, ebn0):
    es = ebn0 + 10 * math.log10(math.log2(m))
    errors = bits = 0
    for seed in (1, 2):
        x, tx = psk_signal(6000, m=m, sps=sps, esn0_db=es, offset=1e-3, seed=seed)
        d = track.PskDemodulator(m=m, sps=sps)
        rx = d.bits(x[:-int(20 * sps)])
        assert d.bursts == 1 and 0 <= d.burst_start <= 8 * sps and d.locked and d.in_burst
        after = bursts.noise(int(300 * sps), sps, es, np.random.default_rng(seed))
        rx = np.concatenate([rx, d.bits(x[-int(20 * sps):])])
        d.steps(after)  # the signal ends: so does the burst
        assert not d.in_burst and not d.locked and len(x) - 40 * sps < d.burst_end < len(x) + 200 * sps
        assert abs(d.timing_rate / (sps * (1 + 50e-6)) - 1) < 2e-3
        assert abs(d.norm_freq - 1e-3) < 2e-4
        e, n = count_bit_errors(rx, tx, m, 300)
        errors, bits = errors + e, bits + n
    assert errors / bits < 1.4 * ber_theory(m, ebn0) + 3e-4


@pytest.mark.parametrize("offset", [0.1, -0.2])
def test_carrier_offsets_within_the_search_range(offset):
    sps = 8.0
    x, tx = psk_signal(3000, m=4, sps=sps, esn0_db=10.0, offset=offset / sps, seed=3)
    d = track.PskDemodulator(m=4, sps=sps)
    rx = d.bits(x)
    assert abs(d.norm_freq - offset / sps) < 1e-4
    e, n = count_bit_errors(rx, tx, 4, 300)
    assert e / n < 2 * ber_theory(4, 7.0)


def test_eight_psk_offset_beyond_its_ambiguity():
    """A carrier 10 % of the symbol rate off is not one of 8-PSK's eightfold ambiguities."""
    x, tx = psk_signal(3000, m=8, sps=8.0, esn0_db=16.0, offset=0.1 / 8, seed=4)
    d = track.PskDemodulator(m=8, sps=8.0)
    e, n = count_bit_errors(d.bits(x), tx, 8, 300)
    assert abs(d.norm_freq - 0.1 / 8) < 1e-4 and e / n < 1e-2


SCENES = {
    "after noise": lambda s: bursts.after_noise(20000, seed=s, esn0_db=15.0),
    "after zeros": lambda s: bursts.after_zeros(2000, seed=s, esn0_db=15.0),
    "step up": lambda s: bursts.power_step(20.0, seed=s, esn0_db=15.0),
    "step down": lambda s: bursts.power_step(-20.0, seed=s, esn0_db=30.0),
    "nan": lambda s: bursts.spike(complex("nan"), seed=s, esn0_db=15.0),
    "spike": lambda s: bursts.spike(1e10, seed=s, esn0_db=15.0),
}


@pytest.mark.parametrize("name", list(SCENES))
@pytest.mark.parametrize("seed", [0, 1])
def test_burst_scenes_no_stall_and_clean_after_acquisition(name, seed):
    sc = SCENES[name](seed)
    d = track.PskDemodulator(m=sc.m, sps=sc.sps)
    per = [d.bits(sc.x[a:a + 2048]) for a in range(0, len(sc.x), 2048)]
    rx = np.concatenate(per)
    assert np.count_nonzero([len(p) for p in per]) >= len(sc.x) / sc.sps / 2048 * 0.5  # no stall
    assert sc.n_sym[0] <= len(rx) // 2 <= sc.n_sym[0] + 40
    rows = bursts.windows(rx, sc.bits, sc.m)
    assert bursts.recovered_at(rows, 0.01) <= 100
    assert d.bursts == 1 and not d.in_burst or d.burst_end == -1


def test_train_of_short_bursts():
    sc = bursts.train(n_bursts=12, seed=5, esn0_db=15.0)
    d = track.PskDemodulator(m=4, sps=sc.sps)
    starts, lengths = [], []
    for a in range(0, len(sc.x), 256):
        n = len(d.steps(sc.x[a:a + 256]))
        if d.bursts > len(starts):
            starts.append(d.burst_start)
            lengths.append(0)
        if lengths:
            lengths[-1] += n
    assert d.bursts == 12 and not d.in_burst
    # Each burst found at most one detection block (4 symbols) plus a block before its start.
    assert all(-9 * sc.sps <= b - a <= 0 for a, b in zip(sc.starts, starts))
    assert all(200 <= n <= 300 for n in lengths)  # the burst and the symbols that end it


# ---------------------------------------------------------------------------------------------
# Demapper
# ---------------------------------------------------------------------------------------------
@pytest.mark.parametrize("m", [2, 4, 8])
@pytest.mark.parametrize("differential", [False, True])
def test_bits_are_the_receivers_demapping_of_the_symbols(m, differential):
    x, tx = psk_signal(1500, m=m, sps=4.0, esn0_db=30.0, differential=differential, seed=m)
    sym = track.PskDemodulator(m=m, sps=4.0, differential=differential).steps(x)
    rx = track.PskDemodulator(m=m, sps=4.0, differential=differential).bits(x)
    np.testing.assert_array_equal(rx, demap(sym, m, differential))
    body = sym[50:1450]  # the symbols sent, not the silence after them
    assert np.all(np.abs(np.abs(body) - 1) < 0.3)  # unit-energy constellation
    ang = np.angle(body) * m / (2 * np.pi) - (0.5 if m == 4 else 0.0)
    assert np.all(np.abs(ang - np.round(ang)) < 0.25)  # QPSK at 45 degrees, the others from 0
    e, n = count_bit_errors(rx, tx, m, 100, differential=differential)
    assert e == 0 and n > 1000  # Gray map and bit order are the transmitter's


# ---------------------------------------------------------------------------------------------
# Streaming and blobs
# ---------------------------------------------------------------------------------------------
X = burst_stream()


@settings(max_examples=15, deadline=None)
@given(cuts=st.lists(st.integers(0, len(X)), max_size=6))
def test_block_split_invariance(cuts):
    assert_split_invariant(lambda: track.PskDemodulator(sps=4.0), lambda o, x: o.steps(x), X, cuts)
    assert_split_invariant(lambda: track.PskDemodulator(sps=4.0), lambda o, x: o.bits(x), X, cuts)


@pytest.mark.parametrize("at", [100, 460, 1500, 2500, len(X) - 300])
def test_restore_mid_stream(at):
    """Snapshots in silence, inside an acquisition window, while tracking and after the burst."""
    assert_restore_continues(lambda: track.PskDemodulator(sps=4.0), lambda o, x: o.bits(x), X, at)


def test_restore_inside_an_acquisition_window_replays_the_window():
    d = track.PskDemodulator(sps=4.0)
    k = 0
    while not d.in_burst:  # stop a few samples before the window completes
        probe = track.PskDemodulator(sps=4.0)
        probe.set_state(d.get_state())
        probe.steps(X[k:k + 16])
        if probe.in_burst:
            break
        d.steps(X[k:k + 16])
        k += 16
    blob = d.get_state()
    ref = d.steps(X[k:])
    e = track.PskDemodulator(sps=4.0)
    e.set_state(blob)
    first = e.steps(X[k:k + 16])
    assert len(first) > 100  # the window's symbols come with the call that completes it
    assert np.concatenate([first, e.steps(X[k + 16:])]).tobytes() == ref.tobytes()


def test_blobs_fuzzed_and_all_or_nothing():
    d = track.PskDemodulator(sps=4.0)
    d.steps(X[:2000])
    rng = np.random.default_rng(7)
    run = lambda o: (o.steps(X[2000:2600]), o.norm_freq, o.snr_db)  # noqa: E731
    fuzz_blobs(d, rng, run, count=200, hi=16 + VARS_BYTES)
    fuzz_blobs(d, rng, run, count=60)
    good = d.get_state()
    for off, value in [(16, 3), (16 + 12, 8), (16 + 16, 10**6)]:  # mode, strobe, window fill
        bad = bytearray(good)
        bad[off:off + 4] = struct.pack("<I", value)
        with pytest.raises(ValueError, match="^set_state rejected the blob$"):
            d.set_state(bytes(bad))
        assert d.get_state() == good
    bad = bytearray(good)
    tail = 16 + VARS_BYTES + 4 * 128 * 8  # the converter's own blob, after the window
    bad[tail:tail + 4] = b"XXXX"
    with pytest.raises(ValueError, match="^set_state rejected the blob$"):
        d.set_state(bytes(bad))
    assert d.get_state() == good
    assert d.state_bytes() == len(good) == track.PskDemodulator(sps=4.0).state_bytes()


@pytest.mark.parametrize("at", [320, 1800])  # inside the acquisition window, while tracking
def test_bad_samples_never_reach_the_output(at):
    x = burst_stream(esn0_db=15.0).copy()
    x[at] = complex("nan")
    x[at + 400] = complex(np.inf, 0)
    x[at + 500] = 3e38
    d = track.PskDemodulator(sps=4.0)
    y = d.steps(x)
    assert len(y) > 550 and np.isfinite(y).all() and math.isfinite(d.norm_freq)


def test_reset_and_out_buffer():
    d = track.PskDemodulator(sps=4.0)
    a = d.steps(X)
    d.reset()
    assert (d.bursts, d.samples, d.burst_start) == (0, 0, -1)
    out = np.zeros(len(X) + 10, np.complex64)
    b = d.steps(X, out=out)
    assert b.tobytes() == a.tobytes() and np.shares_memory(b, out)
    with pytest.raises(ValueError, match="^out has 10 elements, need >= "):
        d.steps(X[:10], out=np.zeros(10, np.complex64))
    assert d.steps_max_out() > 128 and d.bits_max_out() == 2 * d.steps_max_out()


# ---------------------------------------------------------------------------------------------
# Telemetry and threads
# ---------------------------------------------------------------------------------------------
def test_telemetry_probes_follow_the_symbols():
    d, plain = track.PskDemodulator(sps=4.0), track.PskDemodulator(sps=4.0)
    with Telemetry(1 << 16) as tlm:
        d.set_telemetry(tlm, "dm")
        y = d.steps(X)
        assert y.tobytes() == plain.steps(X).tobytes() and d.get_state() == plain.get_state()
        names = ["dm.lock", "dm.freq", "dm.rate", "dm.e", "dm.sym.i", "dm.sym.q"]
        assert tlm.probe_names == names
        pr = tlm.demux(tlm.read())
        np.testing.assert_array_equal(pr["dm.sym.i"] + 1j * pr["dm.sym.q"], y)
        d.set_telemetry(None, "dm")
        d.steps(X[:1000])
        assert tlm.avail == 0


def test_threads_give_the_sequential_result():
    streams = [burst_stream(seed=s) for s in range(4)]
    ref = [track.PskDemodulator(sps=4.0).bits(x) for x in streams]
    got = [None] * 4

    def work(i):
        d = track.PskDemodulator(sps=4.0)
        got[i] = np.concatenate([d.bits(streams[i][a:a + 500]) for a in range(0, len(streams[i]), 500)])

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for r, g in zip(ref, got):
        np.testing.assert_array_equal(r, g)
