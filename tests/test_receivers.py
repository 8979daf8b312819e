"""track.MpskReceiver, BpskReceiver, MpskReceiverR and the receiver loop core: the whole receiver
restated on the real down-converter, demapper tables, parameters and messages, BER against
theory, streaming, all-or-nothing blobs, telemetry."""

from __future__ import annotations

import ctypes
import math
import struct

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st
from scipy.special import erfc

from _rate_api import CF32, RC, cf32, declare, pc
from native import Core, c_double, c_int, c_size, c_u64, c_void_p, fn
from rx_ref import RefCarrier, RefTiming
from streaming import assert_restore_continues, assert_split_invariant, fuzz_blobs
from ostrel import track
from ostrel._waveforms import gray
from ostrel.demo.receiver import count_bit_errors, psk_signal
from ostrel.telemetry import Telemetry

T = declare("track")
P = c_void_p
fn(T, "symsync_ted_slope", c_double, c_int, c_int, ctypes.c_int64, c_double)
fn(T, "mpsk_rx_loops_init", None, P, c_int, c_u64, c_int, c_int, c_double, c_double, c_double, c_double,
   c_double, c_double, c_double)
fn(T, "mpsk_rx_symbol_to_bits", c_int, P, P, CF32)
fn(T, "mpsk_rx_loops_state_bytes", c_size, P)

INVALID = ("MpskReceiver: invalid parameter (need m in {2,4,8}, sps >= m_out -- sps > 2*m_out on the "
           "real-input MpskReceiverR, whose cascade runs behind a 2:1 halfband, m_out even in [2, 8], "
           "0 <= rrc_beta <= 1, rrc_span >= 1, num_phases a power of two >= 2, bn >= 0, zeta > 0, "
           "0 < bn_agc_ratio < 1)")


class RefReceiver:
    """The receiver restated: a real down-converter through its exported API for the mix (and,
    for real input, the real-to-complex halfband in front of it), then a real matched converter
    (with the receivers' AGC when asked) driven per sample with the restated timing and carrier
    loops' controls."""

    def __init__(self, m, sps, m_out, pulse, span, beta, bnc, bnt, f0=0.0, differential=False, thr=0.4999,
                 agc=False, real=False, front=1):
        rate = m_out / sps
        rc_rate = 2 * rate if real else rate  # behind the halfband the converter runs at twice the ratio
        self.real = real
        self.ddc = Core(T, "ddcr" if real else "ddc", pulse, span, 64, -(2 * f0 + 0.5) if real else -f0, rate,
                        beta, float(m_out), create="create_matched")
        self.rc = RC("track", 1, pulse, span, 64, rc_rate, beta, float(m_out), matched=True)  # same plan
        assert (self.rc.call("num_stages") == 1) == (front == 1)  # front: decimation ahead of the bank
        if agc:
            assert self.rc.call("enable_agc", min(bnc, bnt) * 0.05, 0.01) == 0
        zeta = 0.7071067811865476
        self.timing = RefTiming(sps, m_out, self.rc.call("bank_shape_value", 1), front * rc_rate,
                                1.0 / T.symsync_ted_slope(0, pulse, span, beta), bnt, zeta)
        self.car = RefCarrier(m, 0.5 * sps if real else sps, bnc, zeta, thr, differential)

    def run(self, x):
        scratch, out = np.zeros(8, np.complex64), np.zeros(8, np.complex64)
        mixed, tapped = CF32(), ctypes.c_int(0)
        syms, bits = [], []
        for v in x:
            xin = float(v) if self.real else cf32(v)
            self.ddc.call("execute_ctrl_push_tap2", pc(scratch), 8, ctypes.byref(mixed), ctypes.byref(tapped), None,
                          xin, 0.0, self.car.freq_ctrl, None)
            if not tapped.value:
                continue
            k = self.rc.call("execute_ctrl_push", pc(out), 4, mixed, self.timing.ctrl)
            got = [self.car.update(c) for c in out[:k].copy() if self.timing.push(c)]
            if got:
                syms.append(got[-1])
                bits.extend(self.car.bits(got[-1]))
        return np.array(syms, np.complex64), np.array(bits, np.uint8)


def _if_signal(x, f_if):
    """A complex baseband signal moved to the IF f_if (cycles per sample) as real float32."""
    return (np.real(x * np.exp(2j * np.pi * f_if * np.arange(len(x)))) * math.sqrt(2)).astype(np.float32)


# The receivers' per-sample path (mix, AGC, terminal filter only where the timing loop reads it) against
# the down-converter and converter through their own per-sample API: complex and real input, with and
# without AGC, with decimating stages (a halfband, a CIC) ahead of the bank.
@pytest.mark.parametrize("m,sps,pulse,diff,agc,real,front", [
    (4, 6.3, 1, False, False, False, 1), (2, 4.0, 0, True, False, False, 1), (8, 5.1, 1, True, False, False, 1),
    (4, 6.3, 1, False, True, False, 1), (2, 7.7, 0, False, True, False, 1),
    (4, 16.0, 1, False, True, False, 2), (2, 70.3, 0, True, True, False, 8),
    (4, 12.4, 1, False, False, True, 1), (8, 12.4, 1, True, True, True, 1)])
def test_receiver_matches_restatement_bit_for_bit(m, sps, pulse, diff, agc, real, front):
    x, _ = psk_signal(330, m=m, sps=sps, esn0_db=14, offset=4e-4, clock_ppm=200, span=4,
                      pulse="rrc" if pulse else "iandd", differential=diff, seed=m)
    f0 = 0.23 if real else 1e-4
    if real:
        x = _if_signal(x, f0 + 1e-4)
    kw = dict(m=m, sps=sps, pulse=("iandd", "rrc")[pulse], rrc_span=4, bn_carrier=0.05, bn_timing=0.03,
              init_norm_freq=f0, num_phases=64, agc=int(agc), differential=int(diff))
    rx = (track.MpskReceiverR if real else track.MpskReceiver)(**kw)
    ref = RefReceiver(m, sps, rx.m_out, pulse, 4, 0.35, 0.05, 0.03, f0=f0, differential=diff, agc=agc, real=real,
                      front=front)
    want_sym, want_bits = ref.run(x)
    got = rx.steps(x)
    assert len(got) > 250 and got.tobytes() == want_sym.tobytes()
    assert (rx.lock, rx.lock_time, rx.timing_rate) == (ref.car.lock, ref.car.lock_time, ref.timing.rate)
    assert rx.norm_freq == f0 + ref.car.integ * ref.car.scale * (0.5 if real else 1.0)
    assert rx.agc_gain_db == ref.rc.call("agc_gain_db") and (rx.agc_gain_db != 0) == agc
    rx.reset()
    np.testing.assert_array_equal(rx.bits(x), want_bits)


def loops_record(m, differential):
    rec = ctypes.create_string_buffer(1024)
    T.mpsk_rx_loops_init(rec, m, 4, 0, differential, 8.0, 8.0, 0.01, 0.707, 0.01, 0.05, 0.5)
    return rec


def demap(rec, angle_deg):
    bits = (ctypes.c_uint8 * 3)()
    n = T.mpsk_rx_symbol_to_bits(rec, bits, cf32(np.exp(1j * np.radians(angle_deg))))
    return "".join(str(b) for b in bits[:n])


@pytest.mark.parametrize("m", [2, 4, 8])
def test_demapper_tables(m):
    k = int(math.log2(m))
    off = 45.0 if m == 4 else 0.0
    lsb_first = lambda g: "".join(str((g >> b) & 1) for b in range(k))  # noqa: E731
    rec = loops_record(m, 0)
    for i in range(m):
        for jitter in (-0.4, 0.0, 0.4):  # within less than half a decision region
            assert demap(rec, off + 360.0 * i / m + jitter * 180.0 / m) == lsb_first(gray(i))
    if m == 4:
        assert [demap(rec, a) for a in (45, 135, 225, 315)] == ["00", "10", "11", "01"]
    rec = loops_record(m, 1)
    assert demap(rec, off + 360.0 * 3 / m) == lsb_first(gray(3 % m))  # referenced to index 0
    seq = np.random.default_rng(m).integers(0, m, 40)
    prev = 3 % m
    for i in seq:
        d = (i - prev) % m
        assert demap(rec, off + 360.0 * i / m) == lsb_first(gray(d))
        prev = i
    assert T.mpsk_rx_loops_state_bytes(rec) == 80 + 216 + 64


def theory_ber(m, ebn0_db, differential=False):
    """Coherent Gray-coded BPSK/QPSK (and differentially encoded) in AWGN."""
    p = 0.5 * erfc(math.sqrt(10 ** (ebn0_db / 10)))
    return 2 * p * (1 - p) if differential else p


@pytest.mark.parametrize("kind,m,ebn0,diff", [("mpsk", 4, 6.0, False), ("bpsk", 2, 5.0, False),
                                              ("mpsk", 4, 7.0, True)])
def test_ber_against_theory(kind, m, ebn0, diff):
    sps = 5.3
    x, tx = psk_signal(22000, m=m, sps=sps, esn0_db=ebn0 + 10 * math.log10(math.log2(m)), offset=1e-3,
                       clock_ppm=50, timing=0.37, span=8, differential=diff, seed=11)
    if kind == "bpsk":
        rx = track.BpskReceiver(sample_rate_hz=5.3e6, symbol_rate_hz=1e6, pulse="rrc", rrc_span=4,
                                bn_carrier=0.02)
    else:
        rx = track.MpskReceiver(m=m, sps=sps, pulse="rrc", rrc_span=4, bn_carrier=0.02, differential=int(diff))
    bits = rx.bits(x)
    assert 0 <= rx.lock_time < 2000 and rx.locked
    assert rx.norm_freq == pytest.approx(1e-3, abs=2e-4)
    assert rx.timing_rate == pytest.approx(sps * 1.00005, rel=2e-3)
    errors, n = count_bit_errors(bits, tx, m, rx.lock_time + 300, diff)
    assert n > 15000 * math.log2(m)
    ber, th = errors / n, theory_ber(m, ebn0, diff)
    assert th * 0.7 < ber < theory_ber(m, ebn0 - 1.0, diff)  # within 1 dB


def test_real_input_receiver_demodulates_an_if_signal():
    sps, f_if = 12.4, 0.23  # IF in cycles per input sample
    x, tx = psk_signal(5000, m=4, sps=sps, esn0_db=16, offset=0.0, clock_ppm=50, span=8, seed=4)
    real = (np.real(x * np.exp(2j * np.pi * (f_if + 2e-4) * np.arange(len(x)))) * math.sqrt(2)).astype(np.float32)
    rx = track.MpskReceiverR(m=4, sps=sps, pulse="rrc", rrc_span=4, init_norm_freq=f_if)
    assert rx.m_out == 6  # 2 x floor(just below sps / 4)
    bits = rx.bits(real)
    assert rx.locked and rx.norm_freq == pytest.approx(f_if + 2e-4, abs=2e-5)
    errors, n = count_bit_errors(bits, tx, 4, rx.lock_time + 300)
    assert n > 6000 and errors / n < 1e-3


@pytest.mark.parametrize("cls,kw,m_out", [
    (track.MpskReceiver, dict(sps=4), 4), (track.MpskReceiver, dict(sps=8), 8), (track.MpskReceiver, dict(sps=33.3), 8),
    (track.MpskReceiver, dict(sps=2.5), 2), (track.MpskReceiver, dict(sps=5.0, m_out=2), 2),
    (track.MpskReceiverR, dict(sps=8), 2), (track.MpskReceiverR, dict(sps=16.5), 8),
    (track.MpskReceiverR, dict(sps=16.0), 6), (track.MpskReceiverR, dict(), 8),
])
def test_m_out_choice(cls, kw, m_out):
    assert cls(**kw).m_out == m_out


BAD = [
    (track.MpskReceiver, dict(sps=1.5)), (track.MpskReceiver, dict(m_out=3)), (track.MpskReceiver, dict(m=3)),
    (track.MpskReceiver, dict(m_out=10)), (track.MpskReceiver, dict(sps=6, m_out=8)),
    (track.MpskReceiver, dict(rrc_beta=1.01)), (track.MpskReceiver, dict(rrc_span=0)),
    (track.MpskReceiver, dict(bn_carrier=-0.1)),
    (track.MpskReceiver, dict(zeta=-1.0)), (track.MpskReceiver, dict(num_phases=1)),
    (track.MpskReceiver, dict(num_phases=48)), (track.MpskReceiver, dict(bn_agc_ratio=1.0)),
    (track.MpskReceiver, dict(bn_agc_ratio=-0.5)),
    (track.MpskReceiverR, dict(sps=4)), (track.MpskReceiverR, dict(sps=8, m_out=4)),
    (track.BpskReceiver, dict(sample_rate_hz=1e6, symbol_rate_hz=1e5, carrier_freq_hz=6e5)),
    (track.BpskReceiver, dict(sample_rate_hz=0.0, symbol_rate_hz=1e5)),
    (track.BpskReceiver, dict(sample_rate_hz=1e6, symbol_rate_hz=-1.0)),
    (track.BpskReceiver, dict(sample_rate_hz=1e6, symbol_rate_hz=1e6)),
]


@pytest.mark.parametrize("cls,kw", BAD)
def test_invalid_parameters(cls, kw):
    with pytest.raises(ValueError) as err:
        cls(**kw)
    assert str(err.value) == INVALID


@pytest.mark.parametrize("cls, kw, message", [
    (track.MpskReceiver, dict(bn_timing=float("nan")), "bn_timing must be finite, got nan"),
    (track.MpskReceiver, dict(sps=float("inf")), "sps must be finite, got inf"),
    (track.BpskReceiver, dict(sample_rate_hz=1e6, symbol_rate_hz=1e5, carrier_freq_hz=float("nan")),
     "carrier_freq_hz must be finite, got nan"),
])
def test_non_finite_parameters_are_named(cls, kw, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        cls(**kw)


def test_defaults_options_and_readouts():
    rx = track.MpskReceiver()
    assert (rx.m, rx.sps, rx.m_out, rx.num_phases, rx.zeta, rx.bn_agc_ratio) == (4, 8.0, 8, 64, 0.7071067811865476,
                                                                                 0.05)
    assert (rx.lock_thresh, rx.lock_drop_thresh, rx.sync_lock_thresh) == (0.4999, 0.8 * 0.4999, 0.311)
    assert (rx.lock_time, rx.locked, rx.clipped, rx.agc_gain_db, rx.norm_freq) == (-1, False, False, 0.0, 0.0)
    for cls in (track.MpskReceiver, track.MpskReceiverR):
        with pytest.raises(ValueError) as err:
            cls(pulse="rect")
        assert str(err.value) == "pulse must be one of \"iandd\", \"rrc\", got 'rect'"
    with pytest.raises(TypeError):
        track.BpskReceiver(sample_rate_hz=1e6)
    with pytest.raises(OverflowError):
        track.MpskReceiver(num_phases=-64)
    b = track.BpskReceiver(sample_rate_hz=2e6, symbol_rate_hz=2.5e5, carrier_freq_hz=-1e4)
    assert (b.m, b.sps, b.m_out, b.norm_freq) == (2, 8.0, 8, -1e4 / 2e6)
    # norm_freq assignment reads back exactly; reset keeps the tuning, clears the lock stamp
    x, _ = psk_signal(800, sps=8.0, esn0_db=20, offset=0.0, pulse="iandd", seed=2)
    rx.steps(x)
    first = rx.lock_time
    assert first >= 0 and rx.locked
    noise = np.random.default_rng(1).standard_normal(8000).astype(np.float32).view(np.complex64)
    rx.steps(noise)
    assert not rx.locked
    rx.steps(x)
    assert rx.locked and rx.lock_time == first  # the first lock since reset stays stamped
    rx.norm_freq = 0.0123
    assert rx.norm_freq == 0.0123 and rx.locked
    rx.reset()
    assert (rx.lock_time, rx.locked, rx.norm_freq) == (-1, False, 0.0123)


def test_zero_on_time_samples_hold_the_carrier_and_decay_the_lock():
    """Exactly zero on-time samples (the matched filter flushed by silence) carry no phase: the
    discriminator gives 0, the carrier integrator holds and the lock EMA decays toward 0."""
    x, _ = psk_signal(600, sps=8.0, esn0_db=20, offset=2e-4, pulse="iandd", seed=3)
    rx = track.MpskReceiver(sps=8.0, bn_carrier=0.05, agc=0)
    rx.steps(x)
    rx.steps(np.zeros(400, np.complex64))  # flush the filters
    f, lock = rx.norm_freq, rx.lock
    y = rx.steps(np.zeros(160, np.complex64))
    assert len(y) == 20 and not np.any(y) and rx.norm_freq == f
    for _ in range(20):
        lock = (0.0 - lock) * 0.05 + lock
    assert rx.lock == lock and 0 < lock < 0.4


def test_bits_keep_every_bit_without_out():
    x, tx = psk_signal(3000, m=8, sps=2.0, esn0_db=30, offset=0.0, clock_ppm=0, pulse="rrc", span=4, seed=6)
    rx = track.MpskReceiver(m=8, sps=2.0, pulse="rrc", rrc_span=4, agc=0)
    bits = rx.bits(x)
    assert len(bits) > len(x)  # 1.5 bits per input sample
    assert rx.bits_max_out() == rx.steps_max_out() == 0
    rx.reset()
    short = rx.bits(x, out=np.zeros(len(x), np.uint8))  # a given out bounds the output
    assert len(short) == len(x) and short.tobytes() == bits[: len(x)].tobytes()
    with pytest.raises(ValueError, match=r"^out has 5 elements, need >= 6$"):
        rx.bits(x[:6], out=np.zeros(5, np.uint8))


# ---------------------------------------------------------------------------------------------
# Streaming and blobs
# ---------------------------------------------------------------------------------------------
def _complex_signal(n=2400):
    return psk_signal(n // 5, m=4, sps=5.3, esn0_db=14, offset=5e-4, clock_ppm=100, span=4, seed=8)[0][:n]


def _real_signal(n=4000):
    x, _ = psk_signal(n // 17, m=4, sps=17.1, esn0_db=14, offset=0.0, span=4, seed=9)
    return np.real(x * np.exp(2j * np.pi * 0.2 * np.arange(len(x))))[:n].astype(np.float32)


TYPES = {
    "mpsk": (lambda: track.MpskReceiver(sps=5.3, pulse="rrc", rrc_span=4, bn_carrier=0.03), _complex_signal),
    "bpsk": (lambda: track.BpskReceiver(5.3e6, 1e6, 2e3, pulse="rrc", rrc_span=4), _complex_signal),
    "real": (lambda: track.MpskReceiverR(m=8, sps=17.1, pulse="rrc", rrc_span=4, init_norm_freq=0.2,
                                         differential=1), _real_signal),
}


@pytest.mark.parametrize("kind", list(TYPES))
@settings(max_examples=10, deadline=None)
@given(cuts=st.lists(st.integers(0, 4000), max_size=5))
def test_block_split_invariance(kind, cuts):
    make, sig = TYPES[kind]
    x = sig()
    assert_split_invariant(make, lambda o, v: o.steps(v), x, cuts)
    assert_split_invariant(make, lambda o, v: o.bits(v), x, cuts)


@pytest.mark.parametrize("kind", list(TYPES))
@pytest.mark.parametrize("at", [1, 1300])
def test_restore_mid_stream(kind, at):
    make, sig = TYPES[kind]
    blob = assert_restore_continues(make, lambda o, v: o.bits(v), sig(), at)
    assert blob[:4] == (b"MPSR" if kind == "real" else b"MPSK")
    assert struct.unpack_from("<H", blob, 4)[0] == (2 if kind == "real" else 6)


def _loop_offset(blob: bytes) -> int:
    return len(blob) - (80 + 216 + 64)


# Offsets inside the "MRXL" part.
BAD_LOOPS = [("magic", 0, "<4s", b"MRXM"), ("prev_idx", 56, "<Q", 4), ("lock_time", 64, "<q", -2),
             ("car locked", 76, "<I", 2), ("car count", 72, "<I", 1000), ("rslp magic", 80, "<4s", b"RSLQ"),
             ("rslp hist_fill", 80 + 80, "<Q", 6), ("rslp prime", 80 + 64, "<Q", 10 ** 9),
             ("carrier filter", 80 + 216, "<4s", b"LPFX")]


@pytest.mark.parametrize("name,off,fmt,value", BAD_LOOPS, ids=[b[0] for b in BAD_LOOPS])
def test_bad_embedded_blob_leaves_receiver_unchanged(name, off, fmt, value):
    make, sig = TYPES["mpsk"]
    a, b = make(), make()
    x = sig()
    a.steps(x)
    b.steps(x[:700])
    good = a.get_state()
    blob = bytearray(good)
    struct.pack_into(fmt, blob, _loop_offset(good) + off, value)
    before = b.get_state()
    with pytest.raises(ValueError, match="^set_state rejected the blob$"):
        b.set_state(bytes(blob))
    assert b.get_state() == before  # the good down-converter part was not applied
    blob = bytearray(good)
    blob[16:20] = b"DDCR"  # bad down-converter part, good loops
    with pytest.raises(ValueError, match="^set_state rejected the blob$"):
        b.set_state(bytes(blob))
    assert b.get_state() == before
    b.set_state(good)
    assert b.get_state() == good


def test_blob_kinds_and_fuzzing():
    mk, sig = TYPES["mpsk"]
    rx, other = mk(), track.MpskReceiverR(sps=10.6, pulse="rrc", rrc_span=4)
    with pytest.raises(ValueError, match="^state blob size mismatch$"):
        rx.set_state(other.get_state())
    forged = b"MPSR" + rx.get_state()[4:]
    with pytest.raises(ValueError, match="^set_state rejected the blob$"):
        rx.set_state(forged)
    x = sig()
    rx.steps(x)
    n = len(rx.get_state())
    rng = np.random.default_rng(3)
    fuzz_blobs(rx, rng, lambda o: (o.bits(x[:300]), o.norm_freq), count=150, lo=_loop_offset(rx.get_state()))
    fuzz_blobs(rx, rng, lambda o: o.steps(x[:300]), count=80, hi=n)


# ---------------------------------------------------------------------------------------------
# Telemetry
# ---------------------------------------------------------------------------------------------
CORE = [".lock", ".car.e", ".car.freq", ".car.nco", ".car.locked", ".sym.i", ".sym.q"]
SYNC = [".sync.e", ".sync.ctrl", ".sync.rate", ".sync.lock", ".sync.locked", ".sync.mu"]


@pytest.mark.parametrize("agc", [1, 0])
def test_telemetry_probes(agc):
    rx = track.MpskReceiver(sps=5.3, pulse="rrc", rrc_span=4, agc=agc)
    x = _complex_signal()
    with Telemetry(1 << 16) as tlm:
        rx.set_telemetry(tlm, "rx")
        y = rx.steps(x)
        plain = track.MpskReceiver(sps=5.3, pulse="rrc", rrc_span=4, agc=agc)  # the same without probes
        assert y.tobytes() == plain.steps(x).tobytes() and rx.get_state() == plain.get_state()
        names = ["rx" + s for s in CORE + SYNC] + (["rx.agc.gain_db", "rx.agc.level_db"] if agc else [])
        assert tlm.probe_names == names and len(names) == (15 if agc else 13)
        pr = tlm.demux(tlm.read())
        assert all(len(pr["rx" + s]) == len(y) for s in CORE + SYNC)
        np.testing.assert_array_equal(pr["rx.sym.i"] + 1j * pr["rx.sym.q"], y)
        assert pr["rx.lock"][-1] == np.float32(rx.lock)
        assert pr["rx.car.freq"][-1] == np.float32(rx.norm_freq)
        if agc:
            assert len(pr["rx.agc.gain_db"]) > 0 and pr["rx.agc.gain_db"][-1] != 0
        rx.set_telemetry(None, "rx")
        rx.steps(x[:500])
        assert tlm.avail == 0
        for i in range(64 - len(tlm.probe_names) - 7):
            tlm.register(f"filler{i}")
        other = track.MpskReceiver(sps=5.3, agc=agc)
        with pytest.raises(ValueError, match=r"^set_telemetry failed \(rc=-4\): "):
            other.set_telemetry(tlm, "new")  # 7 core probes fit, the timing loop's do not
        other.steps(x[:500])
        assert tlm.avail == 0  # nothing attached


def test_attachment_is_all_or_nothing():
    rx = track.MpskReceiver(sps=5.3)
    x = _complex_signal()
    with Telemetry(1 << 14) as old, Telemetry(1 << 14) as tlm:
        rx.set_telemetry(old, "rx")
        for i in range(64 - 13):
            tlm.register(f"filler{i}")
        names = tlm.probe_names
        with pytest.raises(ValueError, match=r"^set_telemetry failed \(rc=-4\): "):
            rx.set_telemetry(tlm, "rx")  # the loops' 13 probes fit, the AGC's 2 do not
        assert tlm.probe_names == names  # nothing of the attempt stays registered
        with pytest.raises(ValueError, match=r"^set_telemetry failed \(rc=-4\): "):
            rx.set_telemetry(tlm, "a" * 26)  # "...sync.lock" and "...sync.locked" meet at the cut
        y = rx.steps(x)
        assert tlm.avail == 0  # the previous attachment stays in force
        pr = old.demux(old.read())
        assert all(len(pr["rx" + s]) == len(y) for s in CORE + SYNC) and len(pr["rx.agc.gain_db"]) > 0
        rx.set_telemetry(None, "rx")


def test_demo_section_runs(capsys):
    from ostrel.demo import SECTIONS, receiver
    assert "receiver" in SECTIONS
    receiver.run()
    out = capsys.readouterr().out
    assert "carrier lock declared at symbol" in out and "bit errors" in out
