"""RateConverter core: the stage planner (every case, plus random rates against an independent
re-statement of the plan), end-to-end rate and gain, block / controlled / push / tap forms,
AGC and telemetry, and the "RCVT" state blob (round trips and fuzzing)."""

from __future__ import annotations

import ctypes
import math
import threading

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from _rate_api import CF32, RC, cf32, declare, pc, tlm_capsule_ptr
from native import OX_EINVAL, OX_OK, c_u32, c_void_p, fn
from rate_stages_util import crafted_counters

L = declare("track")


def plain(rate, comp=0, module="track"):
    return RC(module, comp, rate)


def matched(rate, pulse=0, sps=2.0, comp=1, span=4, phases=32, rolloff=0.35):
    return RC("track", comp, pulse, span, phases, rate, rolloff, sps, matched=True)


# ---- planner ------------------------------------------------------------------------------------
def expected_plan(r: float, comp: bool, is_matched: bool, pulse: str = "iandd") -> list[str]:
    """The plan restated independently: labels of the stages for rate r."""
    D = 1.0 / r

    def res(s, terminal=True):
        return f"Resampler({s:g},{pulse})" if is_matched and terminal else f"Resampler({s:g})"

    def cic(R):
        return f"CIC({R})+FIR" if comp and not is_matched else f"CIC({R})"

    if r >= 1 or D < 2:
        return [res(r)]
    e = math.log2(D)
    k = math.floor(e + 0.5)
    if abs(e - k) < 1e-9:
        if k == 1:
            st_, M = ["HalfbandDecimator"], 2.0
        elif k == 2:
            st_, M = ["HalfbandDecimator"] * 2, 4.0
        else:
            R = 2048 if k > 11 else 2 ** k
            st_, M = [cic(R)], float(R)
        if is_matched or D != M:
            st_.append(res(M * r))
        return st_
    if D >= 8:
        f = math.floor(e)
        lo, hi = (2048, 2048) if f > 10 else (2 ** f, 2 ** (f + 1))
        R = hi if abs(math.log2(hi * r)) < abs(math.log2(lo * r)) else lo
        out = [cic(R)]
        if is_matched or not abs(R * r - 1) <= 1e-6:
            out.append(res(R * r))
        return out
    return [res(r)]


PLAN_CASES = [
    (0.5, 0, ["HalfbandDecimator"]),
    (0.25, 0, ["HalfbandDecimator", "HalfbandDecimator"]),
    (0.125, 0, ["CIC(8)"]),
    (0.125, 1, ["CIC(8)+FIR"]),
    (1 / 2048, 0, ["CIC(2048)"]),
    (1 / 4096, 0, ["CIC(2048)", "Resampler(0.5)"]),
    (1 / 4096, 1, ["CIC(2048)+FIR", "Resampler(0.5)"]),
    (1 / 3, 0, ["Resampler(0.333333)"]),
    (1 / 10, 0, ["CIC(8)", "Resampler(0.8)"]),
    (1 / 12, 0, ["CIC(16)", "Resampler(1.33333)"]),
    (1 / 24, 1, ["CIC(32)+FIR", "Resampler(1.33333)"]),
    (1 / 5000, 0, ["CIC(2048)", "Resampler(0.4096)"]),
    (1 / 1500, 0, ["CIC(2048)", "Resampler(1.36533)"]),
    (1 / 1200, 0, ["CIC(1024)", "Resampler(0.853333)"]),
    (1 / 7.9, 0, ["Resampler(0.126582)"]),
    (0.7, 0, ["Resampler(0.7)"]),
    (1.0, 0, ["Resampler(1)"]),
    (2.5, 1, ["Resampler(2.5)"]),
    (1 / (8 * (1 + 1e-11)), 0, ["CIC(8)", "Resampler(1)"]),  # within tolerance of 8 but not equal
]


@pytest.mark.parametrize("rate,comp,labels", PLAN_CASES)
def test_planner_cases(rate, comp, labels):
    rc = plain(rate, comp)
    assert rc.labels() == labels
    assert rc.call("num_stages") == len(labels)
    assert expected_plan(rate, comp, False) == labels
    assert rc.call("gain") == pytest.approx(1.0, abs=1e-3)
    buf = ctypes.create_string_buffer(64)
    for i, lab in enumerate(labels):
        assert rc.call("stage_label", i, buf, 64) == 1 and buf.value.decode() == lab
    assert rc.call("stage_label", -1, buf, 64) == 0
    assert rc.call("stage_label", len(labels), buf, 64) == 0
    assert rc.call("stages_value", len(labels)) is None
    assert rc.call("stages_value", -1) is None
    small = ctypes.create_string_buffer(5)
    assert rc.call("stage_label", 0, small, 5) == 1 and small.value.decode() == labels[0][:4]
    last_res = labels[-1].startswith("Resampler")
    assert rc.call("num_bank_shape") == (2 if last_res else 0)
    if last_res:
        assert (rc.call("bank_shape_value", 0), rc.call("bank_shape_value", 1)) == (4096, 19)
    else:
        assert rc.call("bank_shape_value", 0) == 0


def test_planner_tie_prefers_smaller_cic():
    # residuals equally far from 1 in log2 (as evaluated in double) pick the smaller factor
    for D in (8 * math.sqrt(2), 16 * math.sqrt(2), 1024 * math.sqrt(2)):
        r = 1 / D
        f = math.floor(math.log2(D))
        dlo, dhi = abs(math.log2(2 ** f * r)), abs(math.log2(2 ** (f + 1) * r))
        want = 2 ** (f + 1) if dhi < dlo else 2 ** f
        assert plain(r).labels()[0] == f"CIC({want})"


@pytest.mark.parametrize("pulse,name", [(0, "iandd"), (1, "rrc")])
def test_planner_matched(pulse, name):
    rc = matched(0.125, pulse=pulse)
    assert rc.labels() == ["CIC(8)", f"Resampler(1,{name})"]
    assert matched(0.5, pulse=pulse).labels() == ["HalfbandDecimator", f"Resampler(1,{name})"]
    assert matched(0.25, pulse=pulse).labels() == ["HalfbandDecimator"] * 2 + [f"Resampler(1,{name})"]
    assert matched(1 / 10, pulse=pulse).labels() == ["CIC(8)", f"Resampler(0.8,{name})"]
    assert matched(2.0, pulse=pulse).labels() == [f"Resampler(2,{name})"]
    assert rc.call("num_bank_shape") == 2 and rc.call("bank_shape_value", 0) == 32


@settings(max_examples=150, deadline=None)
@given(st.floats(-13.0, 2.5), st.booleans(), st.booleans(), st.sampled_from([0, 1]))
def test_planner_random_rates(log2r, comp, is_matched, pulse):
    r = 2.0 ** log2r
    rc = matched(r, pulse=pulse, comp=int(comp)) if is_matched else plain(r, int(comp))
    assert rc.labels() == expected_plan(r, comp, is_matched, ["iandd", "rrc"][pulse])
    if not is_matched:
        assert rc.call("gain") == pytest.approx(1.0, abs=1e-3)


def test_create_guards_and_simple_getters():
    for r in (0.0, -1.0, math.nan, math.inf):
        assert not L.RateConverter_create(0, r)
    bad = [dict(rate=0.0), dict(rolloff=-0.1), dict(rolloff=1.5), dict(span=0), dict(sps=0.0),
           dict(phases=1), dict(phases=48), dict(pulse=2)]
    base = dict(comp=1, pulse=1, span=4, phases=32, rate=0.1, rolloff=0.35, sps=2.0)
    for b in bad:
        a = {**base, **b}
        assert not L.RateConverter_create_matched(a["comp"], a["pulse"], a["span"], a["phases"], a["rate"],
                                                  a["rolloff"], a["sps"])
    rc = plain(2.5)
    assert rc.call("execute_max_out") == int(2.5 * 65536) + 2
    assert rc.call("execute_ctrl_push_max_out") == 4
    assert rc.call("execute_ctrl_max_out") == 0
    rc2 = plain(0.3)
    assert rc2.call("execute_max_out") == 65538 and rc2.call("execute_ctrl_push_max_out") == 3
    # bounds of rates too large to count saturate instead of wrapping to a tiny number
    huge = plain(3e14)
    assert huge.call("execute_max_out") == 2 ** 64 - 1
    assert huge.call("execute_ctrl_push_max_out") == 300000000000002
    assert plain(1e300).call("execute_ctrl_push_max_out") == 2 ** 64 - 1
    assert rc2.call("get_bank_sps") == 0.0 and rc2.call("get_narrow_pulse") == 0
    assert matched(0.25, pulse=0, sps=2).call("get_narrow_pulse") == 1
    assert matched(0.25, pulse=0, sps=4).call("get_narrow_pulse") == 0
    assert matched(0.25, pulse=1, sps=2).call("get_narrow_pulse") == 0
    m = matched(0.1, pulse=0, sps=4)
    assert m.call("get_bank_sps") == pytest.approx(4 / 0.8)


def test_stages_value_is_thread_local():
    f = L.RateConverter_stages_value
    g = ctypes.CFUNCTYPE(ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int)(("RateConverter_stages_value", L))
    a, b = plain(0.1), plain(0.5)
    addrs, texts = {}, {}
    both_alive = threading.Barrier(2)

    def work(name, rc):
        addrs[name] = g(rc.p, 0)
        both_alive.wait()  # both threads (and their buffers) exist at once
        texts[name] = ctypes.string_at(addrs[name]).decode()
        both_alive.wait()

    ts = [threading.Thread(target=work, args=(n, rc)) for n, rc in (("a", a), ("b", b))]
    for t in ts:
        t.start()
    for t in ts:
        t.join()
    assert addrs["a"] != addrs["b"]
    assert texts == {"a": "CIC(8)", "b": "HalfbandDecimator"}
    assert f(a.p, 1) == b"Resampler(0.8)"


def test_set_rate_replans():
    rc = plain(0.5)
    n0 = rc.call("state_bytes")
    rc.call("set_rate", 0.1)
    assert rc.labels() == ["CIC(8)", "Resampler(0.8)"] and rc.call("get_rate") == 0.1
    assert rc.call("state_bytes") != n0
    for bad in (0.0, -2.0, math.nan):
        rc.call("set_rate", bad)
        assert rc.call("get_rate") == 0.1
    m = matched(0.5, pulse=1)
    assert m.call("enable_agc", 0.01, 0.1) == OX_OK
    ref0 = m.call("agc_ref_db")
    m.execute(np.full(4000, 0.01, np.complex64))
    assert m.call("agc_gain_db") != 0.0
    m.call("set_rate", 1 / 12)
    assert m.labels() == ["CIC(16)", "Resampler(1.33333,rrc)"]
    assert m.call("agc_gain_db") == 0.0  # rebuilt AGC restarts at 0 dB
    assert m.call("agc_ref_db") != ref0
    assert m.call("state_bytes") == 16 + sum(_sub_sizes(m))


# ---- end to end -------------------------------------------------------------------------------
RATES = [0.5, 0.25, 0.125, 0.1, 1 / 12, 0.37, 1 / 3, 0.8, 1.6, 1 / 1000, 1 / 4096]


@pytest.mark.parametrize("rate", RATES)
@pytest.mark.parametrize("comp", [0, 1])
def test_rate_and_dc_gain(rate, comp):
    n = max(40000, int(600 / rate))
    dc = np.complex64(0.5 - 0.25j)
    rc = plain(rate, comp)
    y = rc.execute(np.full(n, dc, np.complex64))
    assert abs(len(y) - n * rate) <= 3
    tail = y[len(y) // 2:]
    np.testing.assert_allclose(tail, dc, atol=8e-4)  # branch ripple and 2^-14 steps


@pytest.mark.parametrize("rate", [0.1, 1 / 12, 0.37, 1 / 3, 1 / 1000])
def test_tone_lands_at_scaled_frequency(rate):
    f_out = 0.11  # cycles per output sample, inside every plan's pass band
    n_out = 4096
    n = int((n_out + 400) / rate)
    k = np.arange(n)
    x = (0.7 * np.exp(2j * np.pi * f_out * rate * k)).astype(np.complex64)
    y = plain(rate, comp=1).execute(x)[200:200 + n_out]
    assert len(y) == n_out
    mag = np.abs(np.fft.fft(y * np.hanning(n_out)))
    peak = np.fft.fftfreq(n_out)[np.argmax(mag)]
    assert peak == pytest.approx(f_out, abs=1.5 / n_out)
    assert np.mean(np.abs(y)) == pytest.approx(0.7, rel=0.03)  # compensated CIC droop


@settings(max_examples=25, deadline=None)
@given(st.sampled_from([0.5, 0.25, 0.125, 0.1, 0.37, 1.6, 1 / 700]), st.lists(st.integers(0, 9000), max_size=5))
def test_block_split_invariance(rate, cuts):
    rng = np.random.default_rng(len(cuts))
    x = (rng.standard_normal(12000) + 1j * rng.standard_normal(12000)).astype(np.complex64) * 0.3
    whole = plain(rate, 1).execute(x)
    rc = plain(rate, 1)
    edges = [0, *sorted(c % len(x) for c in cuts), len(x)]
    parts = [rc.execute(x[a:b]) for a, b in zip(edges[:-1], edges[1:])]
    np.testing.assert_array_equal(np.concatenate(parts), whole)


def _noise(n, seed=0, scale=0.3):
    rng = np.random.default_rng(seed)
    return ((rng.standard_normal(n) + 1j * rng.standard_normal(n)) * scale).astype(np.complex64)


@pytest.mark.parametrize("make", [lambda: plain(0.1, 1), lambda: plain(0.37), lambda: plain(0.5),
                                  lambda: plain(1.6), lambda: matched(0.1, pulse=1),
                                  lambda: matched(0.25, pulse=0, sps=4)])
def test_push_equals_controlled_block(make):
    x = _noise(3000, 1)
    a, b = make(), make()
    for ctrl in (0.0, 0.013):
        np.testing.assert_array_equal(a.push(x, ctrl), b.execute_ctrl(x, ctrl))


def test_matched_execute_is_controlled_mode():
    x = _noise(5000, 2)
    a, b, c = matched(0.1, pulse=1), matched(0.1, pulse=1), matched(0.1, pulse=1)
    for m in (a, b, c):
        assert m.call("enable_agc", 0.02, 0.1) == OX_OK
    ya = a.execute(x)
    np.testing.assert_array_equal(ya, b.execute_ctrl(x, 0.0))
    np.testing.assert_array_equal(ya, c.push(x))
    assert abs(len(ya) - 500) <= 2


def test_controlled_correction_changes_output_rate():
    x = _noise(20000, 3)
    n0 = len(matched(0.1, pulse=1).execute_ctrl(x, 0.0))
    n1 = len(matched(0.1, pulse=1).execute_ctrl(x, 0.08))  # terminal 0.8 -> 0.88
    assert n1 / n0 == pytest.approx(0.88 / 0.8, rel=0.01)


def test_tap_reports_the_terminal_input():
    x = _noise(4000, 4)
    rc = plain(0.1, 1)
    front = plain(0.125, 1)  # the same CIC(8)+FIR stage alone
    want = front.execute(x)
    out = np.zeros(8, np.complex64)
    tap, tapped = CF32(), ctypes.c_int(7)
    got = []
    for v in x:
        rc.call("execute_ctrl_push_tap", pc(out), 8, ctypes.byref(tap), ctypes.byref(tapped), cf32(v), 0.0)
        if tapped.value:
            got.append(complex(tap.re, tap.im))
    np.testing.assert_array_equal(np.array(got, np.complex64), want)
    # out_cap 0: nothing happens, tapped cleared
    tapped.value = 5
    assert rc.call("execute_ctrl_push_tap", pc(out), 0, None, ctypes.byref(tapped), cf32(1), 0.0) == 0
    assert tapped.value == 0


def test_out_cap_limits_outputs():
    x = _noise(5000, 5)
    rc = plain(1.6)
    y = rc.execute(x, cap=100)
    assert len(y) == 100
    np.testing.assert_array_equal(y, plain(1.6).execute(x)[:100])
    assert len(plain(0.5).execute(x, cap=7)) == 7


@pytest.mark.parametrize("rate,per_out", [(0.5, 2), (0.25, 4)])
def test_out_cap_cut_keeps_halfband_pending(rate, per_out):
    # A block cut short by out_cap: the terminal halfband keeps the first input it did not consume
    # pending, wherever the cut falls (4096-sample chunk boundaries included), and every later
    # input of the block is dropped; the reference consumes the same inputs in two calls.
    x = _noise(3 * 4096 + 10, 11)
    z = _noise(600, 12)
    for cap in (4096 // per_out, 2 * 4096 // per_out, 4096 // per_out - 1, 1):
        a = plain(rate)
        assert len(a.execute(x, cap=cap)) == cap
        b = plain(rate)
        k = per_out * cap + per_out // 2  # the consumed pairs, then the sample left pending
        b.execute(x[:k])
        b.execute(x[k:], cap=0)  # front stages only: the terminal stage takes nothing
        np.testing.assert_array_equal(a.execute(z), b.execute(z))


def test_convert_matches_create_execute():
    x = _noise(10000, 6)
    out = np.zeros(2000, np.complex64)
    n = L.RateConverter_convert(1, pc(x), len(x), pc(out), 2000, 0.1)
    np.testing.assert_array_equal(out[:n], plain(0.1, 1).execute(x))
    assert L.RateConverter_convert(0, pc(x), len(x), pc(out), 2000, -1.0) == 0


def test_clipped_flag():
    rc = plain(0.125)
    rc.execute(np.full(64, 1.5, np.complex64))
    assert rc.call("get_clipped") == 0
    rc.execute(np.full(64, 2.5, np.complex64))
    assert rc.call("get_clipped") == 1
    rc.call("reset")
    assert rc.call("get_clipped") == 0
    assert plain(0.5).call("get_clipped") == 0


# ---- matched bank ---------------------------------------------------------------------------------
def _pulse(pulse, tau, beta):
    if pulse == 0:
        return 1.0 if -0.5 <= tau < 0.5 else 0.0
    if abs(tau) < 1e-9:
        return 1.0 + beta * (4.0 / math.pi - 1.0)
    if beta > 0 and abs(abs(tau) - 1.0 / (4.0 * beta)) < 1e-9:
        a = math.pi / (4.0 * beta)
        return (beta / math.sqrt(2.0)) * ((1.0 + 2.0 / math.pi) * math.sin(a) + (1.0 - 2.0 / math.pi) * math.cos(a))
    return (math.sin(math.pi * tau * (1.0 - beta)) + 4.0 * beta * tau * math.cos(math.pi * tau * (1.0 + beta))) / (
        math.pi * tau * (1.0 - 16.0 * beta * beta * tau * tau))


def _bank_row0(pulse, span, phases, S, beta, sps, comp):
    """Branch 0 of the matched bank, its tap count, normalisation sum f and h, restated."""
    h = sps / S
    m, o = (0.5, 1.0) if pulse == 0 else (float(span), 2.0 * span)
    c = math.ceil((o + 1.0 / h) * h) + 1
    T = c + 6 if comp is not None else c
    row, f = np.zeros(T, np.float32), 0.0
    for k in range(c):
        v = _pulse(pulse, m - 0 / (phases * h) - k / h, beta)
        f += (1.0 if v == 1.0 else 0.0) if pulse == 0 else v * v
        if comp is None:
            row[k] = np.float32(v)
        else:
            for i in range(7):
                row[k + i] = np.float32(row[k + i] + np.float32(v * comp[i]))
    if f > 0:
        row = (row * np.float32(1.0 / f)).astype(np.float32)
    return row, T, f, h


@pytest.mark.parametrize("pulse,sps,rate,beta,comp,S,R", [
    (0, 2.0, 1.0, 0.35, 0, 1.0, 0), (0, 3.3, 2.0, 0.0, 0, 2.0, 0), (1, 4.0, 1.0, 0.35, 0, 1.0, 0),
    (1, 2.0, 1.0, 0.25, 0, 1.0, 0), (1, 2.0, 1.0, 1.0, 0, 1.0, 0), (1, 5.0, 1.0, 0.0, 0, 1.0, 0),
    (0, 2.0, 0.125, 0.35, 1, 1.0, 8), (1, 2.0, 0.125, 0.5, 1, 1.0, 8), (1, 2.0, 0.1, 0.35, 1, 0.8, 8),
    (1, 2.0, 0.1, 0.35, 0, 0.8, 8)])
def test_matched_bank_restated(pulse, sps, rate, beta, comp, S, R):
    # tap count, h, reference level and branch-0 DC gain of the matched bank (the compensator
    # of a leading CIC folded in when comp is set) against an independent evaluation
    span, phases = 3, 16
    rc = matched(rate, pulse=pulse, sps=sps, comp=comp, span=span, phases=phases, rolloff=beta)
    taps, front = None, 1.0
    if R:
        front = plain(1.0 / R).call("gain")  # the bare CIC's DC gain
        if comp:
            t = np.zeros(7)
            fn(L, "ciccompmf", None, c_void_p, c_u32, c_u32, c_u32)
            L.ciccompmf(t.ctypes.data, 4, R, 7)
            taps = list(t)
    row, T, f, h = _bank_row0(pulse, span, phases, S, beta, sps, taps)
    assert rc.call("bank_shape_value", 0) == phases and rc.call("bank_shape_value", 1) == T
    assert rc.call("get_bank_sps") == h
    assert rc.call("agc_ref_db") == pytest.approx(10 * math.log10(f / h), rel=1e-13, abs=1e-13)
    assert rc.call("gain") == pytest.approx(front * sum(float(v) for v in row), rel=1e-12)


# ---- AGC and telemetry --------------------------------------------------------------------------
def test_agc_enable_and_convergence():
    assert plain(0.1).call("enable_agc", 0.01, 0.1) == OX_EINVAL
    m = matched(0.125, pulse=1, sps=4)
    for bw, alpha in ((0, 0.1), (-1, 0.1), (0.01, 0), (0.01, 1.5), (math.nan, 0.5)):
        assert m.call("enable_agc", bw, alpha) == OX_EINVAL
    assert m.call("agc_gain_db") == 0.0
    assert m.call("enable_agc", 0.05, 0.05) == OX_OK
    ref = m.call("agc_ref_db")
    assert ref == pytest.approx(10 * math.log10(4.0 / m.call("get_bank_sps")), abs=0.2)
    x = (0.05 * np.exp(2j * np.pi * 0.001 * np.arange(60000))).astype(np.complex64)  # -26 dB
    m.execute(x)
    assert m.call("agc_gain_db") == pytest.approx(ref + 26.02, abs=0.3)
    m.call("reset")
    assert m.call("agc_gain_db") == 0.0


def test_telemetry_attachment():
    from ostrel.telemetry import Telemetry
    with Telemetry(4096) as t1, Telemetry(4096) as t2:
        p1, p2 = tlm_capsule_ptr(t1), tlm_capsule_ptr(t2)
        m = matched(0.25, pulse=1)
        assert m.call("set_telemetry", p1, b"rx.agc", 1) == OX_OK  # no AGC yet: stored only
        assert m.call("enable_agc", 0.01, 0.1) == OX_OK
        assert t1.probe_names == ["rx.agc.gain_db", "rx.agc.level_db"]
        m.execute(_noise(4 * 800))  # 800 samples at the terminal stage, one update per 8
        assert len(t1.demux(t1.read())["rx.agc.gain_db"]) == 100
        # a failed attachment keeps the previous one (context, prefix, decimation)
        assert m.call("set_telemetry", p2, None, 0) == OX_EINVAL
        m.call("set_rate", 0.5)  # rebuilds the AGC and re-attaches it to the stored ring
        m.execute(_noise(2 * 80))
        assert len(t1.demux(t1.read())["rx.agc.gain_db"]) == 10
        assert t2.avail == 0
        assert m.call("set_telemetry", None, None, 1) == OX_OK
        m.execute(_noise(800))
        assert t1.avail == 0
        assert plain(0.1).call("set_telemetry", p1, None, 1) == OX_OK


# ---- state ----------------------------------------------------------------------------------------
def _sub_sizes(rc):
    s = rc.state()
    off, sizes = 16, []
    while off < len(s):
        n = int.from_bytes(s[off + 8:off + 12], "little")
        sizes.append(n)
        off += n
    return sizes


def _sub_magics(rc):
    s = rc.state()
    off, mags = 16, []
    for n in _sub_sizes(rc):
        mags.append(s[off:off + 4].decode())
        off += n
    return mags


def test_blob_layout():
    assert _sub_magics(plain(0.1, 1)) == ["CIC_", "FIR_", "RSMP"]
    assert _sub_magics(plain(0.25)) == ["HBDC", "HBDC"]
    m = matched(0.1, pulse=1)
    m.call("enable_agc", 0.01, 0.1)
    assert _sub_magics(m) == ["CIC_", "RSMP", "AGC "]
    s = m.state()
    assert s[:4] == b"RCVT" and s[4:6] == b"\x02\x00" and s[6] == 1
    assert int.from_bytes(s[8:12], "little") == len(s) == 16 + sum(_sub_sizes(m))


STATE_MAKERS = [lambda: plain(0.1, 1), lambda: plain(0.25), lambda: plain(0.37), lambda: plain(1.6),
                lambda: plain(1 / 4096), lambda: _agc(matched(0.1, pulse=1)),
                lambda: _agc(matched(0.5, pulse=0, sps=3))]


def _agc(m):
    m.call("enable_agc", 0.02, 0.2)
    return m


@pytest.mark.parametrize("make", STATE_MAKERS)
def test_state_round_trip_mid_stream(make):
    x = _noise(9001, 7)
    a = make()
    a.execute(x[:4321])
    s = a.state()
    y1 = a.execute(x[4321:])
    assert a.set_state(s) == OX_OK
    np.testing.assert_array_equal(a.execute(x[4321:]), y1)
    # a fresh converter restored from the blob continues identically, also sample by sample
    b, c = make(), make()
    assert b.set_state(s) == OX_OK and c.set_state(s) == OX_OK
    np.testing.assert_array_equal(b.push(x[4321:6000]), c.execute_ctrl(x[4321:6000]))


@pytest.mark.parametrize("make", STATE_MAKERS)
def test_state_rejections_leave_object_unchanged(make):
    x = _noise(3000, 8)
    a = make()
    a.execute(x)
    s = a.state()
    other = make()
    other.execute(x[:1234])
    before = other.state()
    # outer header
    for i, v in ((0, ord("Q")), (4, 1), (6, 2), (8, 3)):
        bad = bytearray(s)
        bad[i] = v
        assert other.set_state(bytes(bad)) == OX_EINVAL
    # each embedded blob's header, including the last one (earlier slices must not stay applied)
    off = 16
    for n in _sub_sizes(a):
        for i, v in ((0, ord("Z")), (4, 7), (6, 0), (8, 1)):
            bad = bytearray(s)
            bad[off + i] = v
            assert other.set_state(bytes(bad)) == OX_EINVAL
            assert other.state() == before
        off += n
    assert other.set_state(s) == OX_OK
    assert other.state() == s


@pytest.mark.parametrize("make", STATE_MAKERS)
def test_state_fuzz_never_crashes(make):
    rng = np.random.default_rng(11)
    x = _noise(2000, 9)
    a = make()
    a.execute(x)
    s = a.state()
    heads = set()
    off = 16
    for n in _sub_sizes(a):
        heads.update(range(off, off + 16))
        off += n
    body = [i for i in range(16, len(s)) if i not in heads]
    victim = make()
    for trial in range(120):
        bad = bytearray(s)
        k = int(rng.integers(1, 9))
        for i in rng.choice(body, size=k):
            bad[i] = int(rng.integers(0, 256))
        if trial % 3 == 0:  # wide fields: large values in position / counter slots
            i = int(rng.choice(body[:-8]))
            bad[i:i + 8] = int(rng.integers(0, 2 ** 63)).to_bytes(8, "little")
        before = victim.state()
        rc = victim.set_state(bytes(bad))
        if rc != OX_OK:
            assert victim.state() == before
        y = victim.execute(x[:1500])
        assert len(y) <= 1500 * max(1.0, victim.call("get_rate")) + 8
        victim.push(x[:40])
    for bad, ok in crafted_counters(s):  # the terminal resampler's controlled-mode counters
        assert victim.set_state(bad) == (OX_OK if ok else OX_EINVAL)
        victim.push(x[:40])
        assert victim.set_state(s) == OX_OK


def test_non_resampler_terminal_forms_equal_block_form():
    x = _noise(5000, 12)
    for make in (lambda: plain(0.5), lambda: plain(0.25), lambda: plain(0.125, 1), lambda: plain(1 / 2048)):
        want = make().execute(x)
        np.testing.assert_array_equal(make().execute_ctrl(x, 0.3), want)
        np.testing.assert_array_equal(make().push(x, 0.3), want)


def test_failed_rebuild_leaves_an_inert_converter():
    assert not L.RateConverter_create_matched(1, 0, 4, 32, 0.5, 0.35, math.inf)
    m = matched(1000.0, pulse=0, sps=1e6, phases=1024)  # bank of 1024 x 1002 taps
    assert m.call("enable_agc", 0.01, 0.1) == OX_OK
    m.call("set_rate", 1e-3)  # the new bank would need ~1e9 entries: refused
    assert m.call("num_stages") == 0 and m.labels() == []
    assert m.call("state_bytes") == 16 and m.call("gain") == 1.0
    assert len(m.execute(_noise(100))) == 0 and len(m.push(_noise(10))) == 0
    assert m.call("agc_gain_db") == 0.0
    m.call("set_rate", 1000.0)
    assert m.labels() == ["Resampler(1000,iandd)"]
