"""track.Costas: acquisition, loop theory, exact arithmetic, streaming, state blobs, telemetry,
the binding frame's messages."""

from __future__ import annotations

import ctypes
import inspect
import math

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from carrier_ref import (CarrierMpskRef, CostasRef, fuzz_dump_loop_blobs, closed_loop_noise_gain, phase_inc, psk_signal,
                         second_order_step, tracked_phase_error)
from native import c_double, c_int, c_size, c_void_p, fn, lib, ptr
from native import core_pointer as _core_pointer
from native import tlm_pointer as _tlm_pointer
from ostrel import track
from ostrel.telemetry import Telemetry

PROBES = ("lock", "e", "freq", "locked")


def bits(a: np.ndarray) -> np.ndarray:
    return np.ascontiguousarray(a).view(np.uint32)


def noisy_bpsk(nsym=3000, tsamps=16, freq=0.003, esn0_db=10.0, seed=0):
    return psk_signal(2, nsym, tsamps, freq, esn0_db, phase=0.7, seed=seed)


# ---------------------------------------------------------------------------------------------
# Behaviour on signals
# ---------------------------------------------------------------------------------------------
def test_constant_input_locks_after_the_detector_run():
    c = track.Costas(tsamps=8)
    metrics, locked = [], []
    for _ in range(30):
        y = c.steps(np.ones(8, np.complex64))
        assert y.shape == (1,) and abs(y[0] - 1) < 1e-6
        metrics.append(c.lock_metric)
        locked.append(c.locked)
    k = np.arange(1, 31)
    np.testing.assert_allclose(metrics, 1 - 0.9**k, rtol=1e-6)
    # The metric first exceeds 0.85 at dump 19; eight dumps above it declare lock at dump 26.
    assert locked.index(True) == 25 and all(locked[25:])
    assert c.locked is True and c.last_error == 0.0 and c.norm_freq == 0.0


@pytest.mark.parametrize("freq,seed_freq", [(0.003, 0.0), (-0.0025, 0.0), (0.003, 0.0028)])
def test_acquires_bpsk_with_carrier_offset(freq, seed_freq):
    x, _, sym = noisy_bpsk(nsym=4000, freq=freq, esn0_db=10.0)
    c = track.Costas(bn=0.05, tsamps=16, init_norm_freq=seed_freq)
    with Telemetry(1 << 15) as tlm:
        c.set_telemetry(tlm, "car")
        y = c.steps(x)
        c.set_telemetry(None, "car")
        probes = tlm.demux(tlm.read())
    assert len(y) == 4000
    assert abs(c.norm_freq - freq) < 2e-4
    assert abs(np.mean(probes["car.freq"][-1000:]) - freq) < 2e-5
    assert c.lock_metric > 0.9 and c.locked
    # After pull-in the prompts carry the data up to the 180-degree ambiguity.
    dec = np.sign(y[-2000:].real)
    ref = sym[-2000:].real
    errors = min(np.count_nonzero(dec != ref), np.count_nonzero(dec != -ref))
    assert errors <= 2


def test_phase_step_response_matches_second_order_theory():
    # One sample per dump and no noise: the prompt angle is the loop's phase error.
    bn, zeta, delta = 0.01, 0.707, 0.2
    c = track.Costas(bn=bn, zeta=zeta, tsamps=1)
    phi = np.angle(c.steps(np.full(600, np.exp(1j * delta), np.complex64)))
    theory = second_order_step(delta, bn, zeta, np.arange(600))
    assert np.max(np.abs(phi - theory)) < 0.02 * delta
    assert phi.min() == pytest.approx(theory.min(), abs=0.02 * delta)  # undershoot depth
    assert abs(phi[-1]) < 1e-3


@pytest.mark.parametrize("bn", [0.02, 0.05])
def test_steady_state_phase_variance_matches_linear_theory(bn):
    esn0_db, ts = 10.0, 16
    x, clean, sym = psk_signal(2, 12000, ts, 0.0, esn0_db, phase=0.4, seed=3)
    err = tracked_phase_error(track.Costas(bn=bn, tsamps=ts), clean, x, sym, 2, ts)[2000:]
    sigma_e2 = 1 / (2 * 10 ** (esn0_db / 10))  # discriminator noise per dump
    theory = sigma_e2 * closed_loop_noise_gain(bn, 0.707)
    assert 0.75 < np.var(err) / theory < 1.33
    assert 0.5 < np.var(err) / (2 * bn * sigma_e2) < 2.0  # the one-sided-bandwidth rule of thumb


def test_fll_assist_pulls_in_where_the_pll_alone_does_not():
    freq = 0.01  # 58 degrees per dump at tsamps 16: far outside a bn 0.02 PLL's pull-in
    x, _, _ = noisy_bpsk(nsym=3000, freq=freq, esn0_db=10.0, seed=4)
    res = {}
    for fll in (0.0, 0.005):
        c = track.Costas(bn=0.02, tsamps=16, bn_fll=fll)
        with Telemetry(1 << 14) as tlm:
            c.set_telemetry(tlm, "car")
            c.steps(x)
            c.set_telemetry(None, "car")
            res[fll] = (tlm.demux(tlm.read())["car.freq"], c.locked)
    f_pll, locked_pll = res[0.0]
    f_fll, locked_fll = res[0.005]
    assert locked_fll and abs(np.mean(f_fll[1000:]) - freq) < 5e-5
    assert not locked_pll and abs(np.mean(f_pll[1000:]) - freq) > 1e-3


def test_fll_term_is_exactly_off_at_zero_and_skipped_on_the_first_dump():
    x, _, _ = noisy_bpsk(nsym=200, freq=0.004, seed=5)
    plain = track.Costas(tsamps=16)
    toggled = track.Costas(tsamps=16, bn_fll=0.01)
    assert toggled.bn_fll == 0.01
    toggled.bn_fll = 0.0
    assert np.array_equal(bits(plain.steps(x)), bits(toggled.steps(x)))
    assert plain.get_state() == toggled.get_state()
    # First dump after a re-seed: no previous prompt, so FLL on and off agree; then they part.
    a, b = track.Costas(tsamps=16), track.Costas(tsamps=16, bn_fll=0.05)
    a.steps(x[:16]), b.steps(x[:16])
    assert a.norm_freq == b.norm_freq
    a.steps(x[16:32]), b.steps(x[16:32])
    assert a.norm_freq != b.norm_freq


# ---------------------------------------------------------------------------------------------
# Exact arithmetic and streaming
# ---------------------------------------------------------------------------------------------
@pytest.mark.parametrize("tsamps,fll", [(16, 0.0), (16, 0.01), (7, 0.02), (1, 0.0)])
def test_bit_exact_against_reference(tsamps, fll):
    x, _, _ = noisy_bpsk(nsym=4000 // tsamps + 1, tsamps=tsamps, freq=0.004, esn0_db=8.0, seed=6)
    c = track.Costas(bn=0.05, tsamps=tsamps, bn_fll=fll, init_norm_freq=0.001)
    ref = CostasRef(bn=0.05, tsamps=tsamps, bn_fll=fll, init_norm_freq=0.001)
    with Telemetry(1 << 16) as tlm:
        c.set_telemetry(tlm, "car")
        y = c.steps(x)
        c.set_telemetry(None, "car")
        probes = tlm.demux(tlm.read())
    assert np.array_equal(bits(y), bits(ref.steps(x)))
    assert (c.norm_freq, c.lock_metric, c.last_error, c.locked) == (
        ref.norm_freq, ref.lock_metric, ref.last_error, ref.locked)
    trace = np.array(ref.trace, dtype=np.float32)
    for i, name in enumerate(PROBES):
        assert np.array_equal(probes[f"car.{name}"], trace[:, i])


def test_phase_increment_quantisation_on_edge_values():
    # The shared quantiser (frequency -> 32-bit phase increment) against the floor formula,
    # read back through an oscillator: both signs of zero, subnormals, values whose fraction
    # rounds up to exactly one, the edges of (-1, 1), large values, and random magnitudes.
    L = lib("track")
    create = fn(L, "lo_create", c_void_p, c_double)
    retune = fn(L, "lo_set_norm_freq", None, c_void_p, c_double)
    get_inc = fn(L, "lo_get_phase_inc", ctypes.c_uint32, c_void_p)
    destroy = fn(L, "lo_destroy", None, c_void_p)
    edges = [0.0, -0.0, 5e-324, -5e-324, 2.2250738585072014e-308, -2.2250738585072014e-308,
             1e-300, -1e-300, 2.0**-32, -(2.0**-32), 2.0**-33, -(2.0**-33), -(2.0**-53),
             -(2.0**-54), -(2.0**-55), 0.5, -0.5, 1 - 2.0**-53, -(1 - 2.0**-53), 1.0, -1.0,
             1 + 2.0**-52, -1 - 2.0**-52, 3.75, -3.75, 1e20, -1e20]
    rng = np.random.default_rng(3)
    rand = rng.uniform(-1, 1, 4000) * 2.0 ** rng.integers(-60, 3, 4000)
    near = (rng.integers(-2**32, 2**32, 2000) / 2.0**32) + rng.choice([0, 2.0**-60, -2.0**-60], 2000)
    osc = create(0.0)
    try:
        for f in [*edges, *rand.tolist(), *near.tolist()]:
            retune(osc, f)
            assert get_inc(osc) == phase_inc(f), f
        for f in (math.inf, -math.inf, math.nan):
            retune(osc, f)
            assert get_inc(osc) == 0
    finally:
        destroy(osc)


@pytest.mark.parametrize("seed_freq", [1.3, -0.7, -1.6, 0.0])
@pytest.mark.parametrize("tsamps", [16, 12, 1])
def test_retune_paths_bit_exact_at_unusual_frequencies(seed_freq, tsamps):
    # The per-dump retune has a shortened path for power-of-two dump lengths and frequencies
    # inside (-1, 1); seeds outside that range, negative ones and an all-zero stretch (an
    # integrator of exactly zero) exercise every branch against the plain formula.
    x, _, _ = noisy_bpsk(nsym=300, tsamps=tsamps, freq=seed_freq + 0.002, esn0_db=10.0, seed=8)
    x[: 20 * tsamps] = 0
    for make, ref in ((lambda: track.Costas(tsamps=tsamps, init_norm_freq=seed_freq, bn_fll=0.01),
                       CostasRef(tsamps=tsamps, init_norm_freq=seed_freq, bn_fll=0.01)),
                      (lambda: track.CarrierMpsk(m=2, tsamps=tsamps, init_norm_freq=seed_freq),
                       CarrierMpskRef(m=2, tsamps=tsamps, init_norm_freq=seed_freq))):
        loop = make()
        assert np.array_equal(bits(loop.steps(x)), bits(ref.steps(x)))
        assert (loop.norm_freq, loop.last_error) == (ref.norm_freq, ref.last_error)


def test_nco_frequency_getter_includes_the_proportional_step():
    c = track.Costas(bn=0.05, tsamps=16)
    x, _, _ = noisy_bpsk(nsym=50, seed=7)
    c.steps(x)
    nco = fn(lib("track"), "costas_get_nco_freq", c_double, c_void_p)
    p = _core_pointer(c)
    kp = track.LoopFilter(bn=0.05, zeta=0.707, t=1.0).kp
    assert nco(p) == c.norm_freq + kp * c.last_error / (2 * math.pi) / 16


@settings(max_examples=25, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(tsamps=st.sampled_from([1, 5, 16, 64]),
       cuts=st.lists(st.integers(0, 3000), max_size=12),
       fll=st.sampled_from([0.0, 0.01]))
def test_block_splits_do_not_change_anything(tsamps, cuts, fll):
    x, _, _ = noisy_bpsk(nsym=3000 // tsamps, tsamps=tsamps, freq=0.003, seed=8)
    whole = track.Costas(bn=0.05, tsamps=tsamps, bn_fll=fll)
    ref = whole.steps(x)
    split = track.Costas(bn=0.05, tsamps=tsamps, bn_fll=fll)
    edges = [0, *sorted(c % (len(x) + 1) for c in cuts), len(x)]
    parts = [split.steps(x[a:b]) for a, b in zip(edges[:-1], edges[1:])]
    assert np.array_equal(bits(np.concatenate(parts)), bits(ref))
    assert split.get_state() == whole.get_state()


def test_prompt_count_carries_the_partial_dump():
    c = track.Costas(tsamps=10)
    counts = [len(c.steps(np.ones(n, np.complex64))) for n in (7, 7, 7, 25, 0, 4)]
    assert counts == [0, 1, 1, 2, 0, 1]  # floor((carried + n) / 10)
    assert c.steps_max_out() == 0
    with pytest.raises(ValueError, match=r"^tsamps must be >= 1, got 0$"):
        track.Costas(tsamps=0)
    assert len(track.Costas(tsamps=1).steps(np.ones(5, np.complex64))) == 5


def test_prompts_beyond_the_output_capacity_are_computed_and_dropped():
    steps = fn(lib("track"), "costas_steps", c_size, c_void_p, c_void_p, c_size, c_void_p, c_size)
    x, _, _ = noisy_bpsk(nsym=20, seed=9)
    a, b = track.Costas(tsamps=16), track.Costas(tsamps=16)
    full = a.steps(x)
    out = np.zeros(3, np.complex64)
    assert steps(_core_pointer(b), ptr(x), len(x), ptr(out), 3) == 3
    assert np.array_equal(out, full[:3]) and a.get_state() == b.get_state()


def test_reset_and_reseeding():
    x, _, _ = noisy_bpsk(nsym=300, seed=10)
    c = track.Costas(tsamps=16, init_norm_freq=0.001)
    first = c.steps(x)
    c.reset()
    assert c.norm_freq == 0.001 and c.lock_metric == 0.0 and not c.locked
    assert np.array_equal(bits(c.steps(x)), bits(first))
    c.norm_freq = 0.002  # re-seeds now and becomes the reset target
    assert c.norm_freq == 0.002 and c.lock_metric == 0.0
    c.steps(x)
    c.reset()
    assert c.norm_freq == 0.002
    assert c.get_state() == track.Costas(tsamps=16, init_norm_freq=0.002).get_state()


def test_configure_keeps_estimates_and_changes_gains():
    x, _, _ = noisy_bpsk(nsym=300, seed=11)
    c = track.Costas(tsamps=16)
    c.steps(x)
    before = c.get_state()
    c.configure(0.02, 1.0)
    after = c.get_state()
    assert c.bn == 0.02 and c.norm_freq == np.frombuffer(before, np.float64, 1, 24)[0]
    lf = track.LoopFilter(bn=0.02, zeta=1.0, t=1.0)
    assert tuple(np.frombuffer(after, np.float64, 2, 32)) == (lf.kp, lf.ki)
    # Only the gains and the stored bn, zeta (and loop-filter copies) differ.
    changed = {i for i in range(len(before)) if before[i] != after[i]}
    assert changed <= set(range(32, 48)) | set(range(56, 72)) | set(range(96, 112))
    c.bn = 0.03  # the setter re-configures with the stored zeta
    lf.configure(0.03, 1.0, 1.0)
    assert tuple(np.frombuffer(c.get_state(), np.float64, 2, 32)) == (lf.kp, lf.ki)


def test_configure_lock_takes_thresholds_then_counts():
    c = track.Costas(tsamps=4)
    c.configure_lock(0.5, 0.4, 2, 3)
    locked = []
    for _ in range(10):
        c.steps(np.ones(4, np.complex64))
        locked.append(c.locked)
    # Metric 1 - 0.9^k passes 0.5 at dump 7; two dumps above it lock at dump 8.
    assert locked.index(True) == 7
    c.configure_lock(0.99, 0.98, 5, 2)  # decision kept, run restarted
    assert c.locked
    st = np.frombuffer(c.get_state(), np.uint32, 4, 16 + 152 + 16)
    assert tuple(st) == (5, 2, 0, 1)
    c.configure_lock(0.9, 0.8, 0, 2**32 - 1)  # a count of 0 becomes 1
    assert tuple(np.frombuffer(c.get_state(), np.uint32, 2, 16 + 152 + 16)) == (1, 2**32 - 1)
    with pytest.raises(OverflowError):  # counts are 32-bit: never wrapped
        c.configure_lock(0.9, 0.8, 1, 2**32 + 7)


# ---------------------------------------------------------------------------------------------
# State blobs
# ---------------------------------------------------------------------------------------------
def test_state_round_trip_mid_dump_restores_configuration_and_continuation():
    x, _, _ = noisy_bpsk(nsym=600, seed=12)
    a = track.Costas(bn=0.05, tsamps=16, bn_fll=0.01)
    a.steps(x[:4003])  # snapshot in the middle of a dump
    blob = a.get_state()
    assert len(blob) == a.state_bytes() == 232
    assert blob[:4] == b"CSTS" and blob[4:8] == b"\x03\x00\x01\x00"
    assert int.from_bytes(blob[8:12], "little") == 232 and blob[208:] == bytes(24)
    cont = a.steps(x[4003:])
    b = track.Costas(bn=0.3, zeta=2.0, tsamps=3)  # other construction: the blob brings its own
    b.set_state(blob)
    assert b.bn == 0.05 and b.bn_fll == 0.01
    assert np.array_equal(bits(b.steps(x[4003:])), bits(cont))
    assert a.get_state() == b.get_state()


def test_restore_keeps_the_live_telemetry_attachment():
    x, _, _ = noisy_bpsk(nsym=40, seed=13)
    donor = track.Costas(tsamps=16)
    donor.steps(x)
    with Telemetry(4096) as tlm:
        c = track.Costas(tsamps=16)
        c.set_telemetry(tlm, "k")
        c.set_state(donor.get_state())
        c.steps(x[:32])
        assert len(tlm.read()) == 8
        donor.set_telemetry(tlm, "d")
        blob = donor.get_state()
        assert blob[208:] == bytes(24)  # the attachment is never serialised
        plain = track.Costas(tsamps=16)
        plain.set_state(blob)
        plain.steps(x[:32])
        assert len(tlm.read()) == 0
        donor.set_telemetry(None, "d")
        c.destroy()


def _field(blob: bytes, offset: int, fmt: str, value) -> bytes:
    b = bytearray(blob)
    b[16 + offset:16 + offset + np.dtype(fmt).itemsize] = np.array(value, fmt).tobytes()
    return bytes(b)


BAD_FIELDS = {
    "tsamps 0": (64, "<u8", 0),
    "n_acc == tsamps": (120, "<u8", 16),
    "n_acc huge": (120, "<u8", 2**63),
    "have_prev 2": (136, "<u4", 2),
    "n_up 0": (152 + 16, "<u4", 0),
    "n_down 0": (152 + 20, "<u4", 0),
    "locked 2": (152 + 28, "<u4", 2),
    "count >= n_up": (152 + 24, "<u4", 8),
}


@pytest.mark.parametrize("name", list(BAD_FIELDS))
def test_crafted_blob_is_rejected_and_leaves_the_loop_unchanged(name):
    x, _, _ = noisy_bpsk(nsym=60, seed=14)
    c = track.Costas(tsamps=16)
    c.steps(x[:500])
    good = c.get_state()
    offset, fmt, value = BAD_FIELDS[name]
    with pytest.raises(ValueError, match="set_state rejected the blob"):
        c.set_state(_field(good, offset, fmt, value))
    assert c.get_state() == good


def test_header_checks():
    c = track.Costas()
    good = c.get_state()
    for i in (0, 3, 4, 6, 8):  # magic, version, flag byte 6, total length
        b = bytearray(good)
        b[i] ^= 0x01
        with pytest.raises(ValueError, match="set_state rejected the blob"):
            c.set_state(bytes(b))
    for i in (7, 12, 15):  # byte 7 and the reserved word are not examined
        b = bytearray(good)
        b[i] = 0xAA
        c.set_state(bytes(b))
    # Padding after have_prev is cleared on restore.
    c.set_state(_field(good, 140, "<u4", 0xFFFFFFFF))
    assert c.get_state() == good
    # A blob of another type with the same length is refused by its magic.
    other = bytearray(good)
    other[:4] = b"CNDA"
    with pytest.raises(ValueError, match="set_state rejected the blob"):
        c.set_state(bytes(other))


def test_fuzzed_blobs_never_crash():
    x, _, _ = noisy_bpsk(nsym=40, seed=15)
    c = track.Costas(tsamps=16)
    c.steps(x[:300])
    assert fuzz_dump_loop_blobs(c, x, 208, 120, np.random.default_rng(15)) > 100


# ---------------------------------------------------------------------------------------------
# Telemetry
# ---------------------------------------------------------------------------------------------
def test_telemetry_probe_names_order_decimation_and_detach():
    x, _, _ = noisy_bpsk(nsym=30, seed=16)
    with Telemetry(4096) as tlm:
        c = track.Costas(tsamps=16)
        c.set_telemetry(tlm, "rx1")
        assert tlm.probe_names == [f"rx1.{p}" for p in PROBES]
        c.steps(x[:16 * 10])
        recs = tlm.read()
        assert len(recs) == 40
        assert list(recs["probe"][:8]) == [0, 1, 2, 3, 0, 1, 2, 3]
        assert recs["value"][-4] == np.float32(c.lock_metric)
        assert recs["value"][-3] == np.float32(c.last_error)
        assert recs["value"][-2] == np.float32(c.norm_freq)
        assert recs["value"][-1] == np.float32(c.locked)
        c.set_telemetry(tlm, "rx1", decim=3)  # re-registering keeps the ids
        c.steps(x[160:160 + 16 * 7])
        assert np.bincount(tlm.read()["probe"], minlength=4).tolist() == [3, 3, 3, 3]  # dumps 1, 4, 7
        # A refused attachment keeps the current one.
        with pytest.raises(ValueError, match=r"set_telemetry failed \(rc=-4\)"):
            c.set_telemetry(tlm, "other", decim=0)
        c.steps(x[:16 * 3])
        assert len(tlm.read()) == 4 and tlm.probe_names == [f"rx1.{p}" for p in PROBES]
        c.set_telemetry(None, "rx1")
        c.steps(x[:160])
        assert tlm.avail == 0
        # Zero decimation is refused and the previous attachment (detached here) stays.
        with pytest.raises(ValueError, match=r"set_telemetry failed \(rc=-4\)"):
            c.set_telemetry(tlm, "z", decim=0)
        c.steps(x[:32])
        assert tlm.avail == 0
        c.set_telemetry(None, "")
        c.destroy()


def test_telemetry_long_prefix_is_cut_and_default_prefix_is_car():
    with Telemetry(4096) as tlm:
        c = track.Costas()
        # Cut to 31 characters, ".lock" and ".locked" would both become ".lo" and merge two
        # series into one probe: such a prefix is refused and registers nothing.
        with pytest.raises(ValueError, match=r"^set_telemetry failed \(rc=-4\): "):
            c.set_telemetry(tlm, "q" * 28)
        assert tlm.probe_names == []
        c.set_telemetry(tlm, "q" * 25)  # cut, still distinct
        assert tlm.probe_names == ["q" * 25 + s for s in (".lock", ".e", ".freq", ".locke")]
        c.steps(np.ones(64, np.complex64))
        assert tlm.read()["probe"].tolist() == [0, 1, 2, 3]
        c.set_telemetry(None, "")
        # A NULL prefix from a native caller takes the default "car".
        set_tlm = fn(lib("track"), "costas_set_telemetry", c_int, c_void_p, c_void_p, ctypes.c_char_p, c_int)
        assert set_tlm(_core_pointer(c), _tlm_pointer(tlm), None, 1) == 0
        assert tlm.probe_names[-4:] == [f"car.{p}" for p in PROBES]
        assert set_tlm(_core_pointer(c), None, None, 1) == 0
        c.destroy()


def test_telemetry_argument_errors():
    c = track.Costas()
    with pytest.raises(AttributeError):
        c.set_telemetry(object(), "car")
    new_capsule = ctypes.pythonapi.PyCapsule_New
    new_capsule.restype = ctypes.py_object
    new_capsule.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
    with pytest.raises(ValueError):
        c.set_telemetry(new_capsule(id(c), b"some.other.capsule", None), "car")
    c.set_telemetry(None, "x")


# ---------------------------------------------------------------------------------------------
# Binding frame
# ---------------------------------------------------------------------------------------------
@pytest.mark.parametrize("cls", [track.Costas, track.CarrierMpsk])
def test_frame_messages_and_lifecycle(cls):
    loop = cls(tsamps=4)
    x = np.ones(16, np.complex64)
    assert loop.steps(np.zeros(0, np.complex64)).dtype == np.complex64
    assert len(loop.steps(x.reshape(4, 4))) == 4  # any shape is taken flat
    with pytest.raises(TypeError):
        loop.steps(x.astype(np.complex128))  # no unsafe cast
    out = np.full(20, 9 + 9j, np.complex64)
    y = loop.steps(x, out=out)
    assert len(y) == 4 and np.shares_memory(y, out) and np.all(out[4:] == 9 + 9j)
    msg = "out must be a writable, C-contiguous ndarray of the output dtype"
    for bad in (np.zeros(20, np.complex128), np.zeros((4, 5), np.complex64, order="F"),
                np.zeros(40, np.complex64)[::2], [0j] * 20):
        with pytest.raises(TypeError, match=msg):
            loop.steps(x, out=bad)
    ro = np.zeros(20, np.complex64)
    ro.flags.writeable = False
    with pytest.raises(TypeError, match=msg):
        loop.steps(x, out=ro)
    with pytest.raises(ValueError, match=r"out has 15 elements, need >= 16"):
        loop.steps(x, out=np.zeros(15, np.complex64))
    blob = loop.get_state()
    with pytest.raises(TypeError, match="set_state expects bytes"):
        loop.set_state(bytearray(blob))
    with pytest.raises(ValueError, match="state blob size mismatch"):
        loop.set_state(blob[:-1])
    with pytest.raises(TypeError):
        del loop.bn
    with cls() as bound:
        assert isinstance(bound, cls)
    with pytest.raises(RuntimeError, match="destroyed"):
        bound.state_bytes()
    with pytest.raises(KeyError):
        with cls() as bound:
            raise KeyError
    with pytest.raises(RuntimeError, match="destroyed"):
        bound.steps(x)
    assert loop.destroy() is None and loop.destroy() is None
    for op in (lambda: loop.bn, lambda: setattr(loop, "bn", 0.1), loop.reset, loop.get_state,
               lambda: loop.configure(0.1, 0.7), lambda: loop.set_state(blob)):
        with pytest.raises(RuntimeError, match="destroyed"):
            op()


def test_constructor_keywords_and_docs():
    c = track.Costas(0.02, 0.9, 0.001, 8, 0.004)
    assert (c.bn, c.norm_freq, c.bn_fll) == (0.02, 0.001, 0.004)
    with pytest.raises(TypeError):
        track.Costas(bogus=1)
    assert list(inspect.signature(track.Costas).parameters) == [
        "bn", "zeta", "init_norm_freq", "tsamps", "bn_fll"]
    assert list(inspect.signature(track.Costas.configure_lock).parameters) == [
        "self", "up_thresh", "down_thresh", "n_up", "n_down"]
    for name in ("steps", "configure", "set_telemetry", "get_state", "set_state", "reset"):
        assert getattr(track.Costas, name).__doc__
    for name in ("bn", "norm_freq", "lock_metric", "locked", "last_error", "bn_fll"):
        assert getattr(track.Costas, name).__doc__


def test_demo_section_runs(capsys):
    from ostrel.demo import carrier

    carrier.run()
    text = capsys.readouterr().out
    assert "lock declared after" in text and "0 bit errors" in text
