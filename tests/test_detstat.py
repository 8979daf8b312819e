"""Detection statistics (exported det_* / marcum_q functions of ostrel.track) against SciPy."""

from __future__ import annotations

import math
import time

import numpy as np
import pytest
from scipy import special, stats

from native import c_double, c_int, fn, lib

L = lib("track")
marcum_q = fn(L, "marcum_q", c_double, c_int, c_double, c_double)
det_threshold = fn(L, "det_threshold", c_double, c_double)
det_pd = fn(L, "det_pd", c_double, c_int, c_double, c_double)
det_dwell = fn(L, "det_dwell", c_int, c_int, c_double, c_double, c_double)
det_snr = fn(L, "det_snr", c_double, c_int, c_double, c_double)
det_threshold_noncoherent = fn(L, "det_threshold_noncoherent", c_double, c_int, c_double)
det_q_inv = fn(L, "det_q_inv", c_double, c_double)
det_dwell_gauss = fn(L, "det_dwell_gauss", c_int, c_double, c_double, c_double, c_double)
det_threshold_gauss = fn(L, "det_threshold_gauss", c_double, c_double, c_double, c_double)
det_ema_alpha = fn(L, "det_ema_alpha", c_double, c_double, c_double)
det_verify_count = fn(L, "det_verify_count", c_int, c_double, c_double)
det_verify_delay = fn(L, "det_verify_delay", c_double, c_int, c_double)
det_threshold_f = fn(L, "det_threshold_f", c_double, c_int, c_double)
det_pd_noncoherent = fn(L, "det_pd_noncoherent", c_double, c_int, c_int, c_double, c_double)
det_n_noncoh = fn(L, "det_n_noncoh", c_int, c_int, c_int, c_double, c_double, c_double)
det_threshold_power = fn(L, "det_threshold_power", c_double, c_double)
det_pd_power = fn(L, "det_pd_power", c_double, c_int, c_double, c_double)
det_dwell_power = fn(L, "det_dwell_power", c_int, c_int, c_double, c_double, c_double)
det_snr_power = fn(L, "det_snr_power", c_double, c_int, c_double, c_double)

INT_MAX = 2147483647
NAN = float("nan")
INF = float("inf")


def _ref_marcum(m, a, b):
    if a == 0:
        return special.gammaincc(m, b * b / 2)
    return stats.ncx2.sf(b * b, 2 * m, a * a)


# ------------------------------------------------------------------------------------------------
# Marcum Q
# ------------------------------------------------------------------------------------------------
@pytest.mark.parametrize("m", [1, 2, 3, 5, 10, 32, 100])
def test_marcum_q_against_noncentral_chi2(m):
    # Relative 1e-9 wherever Q is above 1e-30. Deeper in the tail (b far above a) the Poisson
    # mixture is cut after 12*sqrt(1 + a^2/2) + 60 terms past the mode, which loses relative (not
    # absolute) accuracy there; those values are only required to be below 1e-30 + 1e-9*ref.
    worst = 0.0
    for a in np.concatenate([[0.0, 1e-15, 1e-6], np.geomspace(1e-3, 300, 30)]):
        for b in np.geomspace(1e-3, 330, 40):
            v, r = marcum_q(m, a, b), _ref_marcum(m, a, b)
            assert 0.0 <= v <= 1.0 + 5e-14  # the summed mixture may pass 1 by rounding
            if r > 1e-30:
                worst = max(worst, abs(v - r) / r)
            else:
                assert abs(v - r) <= 1e-30 + 1e-9 * r
    assert worst < 1e-9


def test_marcum_q_large_arguments_near_the_median():
    # a = b large puts the gamma series at its slowest (about 7.5*sqrt(a^2/2) terms); a fixed cap
    # of 300 terms gave Q_1(300, 300) = 0.578 and Q_1(1000, 1000) = 0.835 (true: 0.5007, 0.5002).
    # The residual 1e-9 is the cancellation in exp(a ln x - lgamma(a) - x) at a ~ 5e5.
    for a, b in [(150, 150), (300, 300), (500, 500), (1000, 1000), (1000, 1003), (113.7, 112.4)]:
        assert marcum_q(1, a, b) == pytest.approx(stats.rice.sf(b, a), rel=1e-8)
    for m, b in [(1000, 44.7), (2000, 63.2), (5000, 100.0), (5000, 101.0)]:
        assert marcum_q(m, 0.0, b) == pytest.approx(special.gammaincc(m, b * b / 2), rel=1e-10)


def test_marcum_q_special_cases():
    for m in (1, 4, 50):
        assert marcum_q(m, 3.0, 0.0) == 1.0
        assert marcum_q(m, 3.0, -1.0) == 1.0
        assert marcum_q(m, 0.0, 0.0) == 1.0
        # b far below a: exactly 1 by the erfc guard.
        assert marcum_q(m, 40.0, 1.0) == 1.0
        assert marcum_q(m, INF, 5.0) == 1.0
    # Central case is gammaq(m, b^2/2) itself, for a below 1e-14.
    assert marcum_q(3, 1e-15, 2.5) == marcum_q(3, 0.0, 2.5)
    assert marcum_q(3, 0.0, 2.5) == pytest.approx(special.gammaincc(3, 3.125), rel=1e-13)
    assert math.isnan(marcum_q(1, NAN, 2.0))
    assert math.isnan(marcum_q(1, 0.0, NAN))


def test_marcum_q_huge_amplitude_is_fast_and_sane():
    # Beyond a Poisson mode of 2^31 the Rice law is Gaussian: Q ~ erfc((b - a)/sqrt 2)/2.
    t0 = time.perf_counter()
    for a in (7e4, 1e5, 1e6, 1e9):
        assert marcum_q(1, a, a) == pytest.approx(0.5, abs=1e-5)
        assert marcum_q(1, a, a + 1.0) == pytest.approx(stats.norm.sf(1.0), rel=1e-3)
    assert time.perf_counter() - t0 < 5.0  # a hang would show up here, not a speed target


# ------------------------------------------------------------------------------------------------
# Thresholds
# ------------------------------------------------------------------------------------------------
def test_amplitude_and_power_thresholds():
    assert det_threshold(1e-3) == pytest.approx(3.7169221888498383, rel=1e-15)
    assert str(det_threshold(1e-3)).startswith("3.7169")
    for pfa in (0.5, 1e-3, 1e-9, 1e-100):
        assert det_threshold(pfa) == math.sqrt(-2 * math.log(pfa))
        assert det_threshold_power(pfa) == -math.log(pfa)
        assert det_threshold_power(pfa) == pytest.approx(det_threshold(pfa) ** 2 / 2, rel=1e-14)
        # A single look: the envelope threshold whose exceedance probability is pfa.
        assert marcum_q(1, 0.0, det_threshold(pfa)) == pytest.approx(pfa, rel=1e-12)
    assert det_threshold(1.0) == 0.0
    assert math.isnan(det_threshold(2.0)) and math.isnan(det_threshold(-1.0))
    assert det_threshold(0.0) == INF and det_threshold_power(0.0) == INF


@pytest.mark.parametrize("n", [1, 2, 3, 4, 8, 16, 64, 256, 1000, 100000])
def test_threshold_noncoherent_against_chi2(n):
    for pfa in (0.5, 0.1, 1e-3, 1e-6, 1e-9, 1e-12):
        eta = det_threshold_noncoherent(n, pfa)
        assert eta == pytest.approx(math.sqrt(stats.chi2.isf(pfa, 2 * n)), rel=1e-9)
    for pfa in (0.3, 1e-3):
        if n == 1:
            assert det_threshold_noncoherent(1, pfa) == det_threshold(pfa)
    assert det_threshold_noncoherent(0, 1e-3) == det_threshold(1e-3)
    assert det_threshold_noncoherent(-5, 1e-3) == det_threshold(1e-3)


def test_threshold_noncoherent_out_of_range_terminates():
    for pfa in (0.0, -0.5, NAN):
        det_threshold_noncoherent(4, pfa)  # must return (the bracket doubling ends)


@pytest.mark.parametrize("n", [1, 2, 3, 4, 5, 8, 10, 16, 32, 64, 100, 256, 1000, 4096, 100000])
def test_threshold_f(n):
    for pfa in (0.5, 0.1, 1e-2, 1e-3, 1e-4, 1e-6):
        assert det_threshold_f(n, pfa) == pytest.approx(stats.f.isf(pfa, n, n), rel=1e-9)
    # SciPy's own F inverse loses accuracy below 1e-8 (2e-5 relative at 1e-12), so the small
    # probabilities are checked through SciPy's forward survival function instead. For large n
    # the threshold sits on a steep part of the law: 1e-8 relative there.
    tol = 1e-10 if n <= 4096 else 1e-8
    for pfa in (1e-3, 1e-9, 1e-12):
        t = det_threshold_f(n, pfa)
        assert stats.f.sf(t, n, n) == pytest.approx(pfa, rel=tol)


def test_threshold_f_closed_forms_and_rejections():
    # F(2, 2): P(F > t) = 1/(1 + t).
    for pfa in (0.5, 1e-3, 1e-9, 1e-12):
        assert det_threshold_f(2, pfa) == pytest.approx(1 / pfa - 1, rel=1e-12)
    # F(n, n) is symmetric in log: pfa = 0.5 gives t = 1.
    for n in (1, 7, 40):
        assert det_threshold_f(n, 0.5) == pytest.approx(1.0, rel=1e-12)
    for n, pfa in [(0, 0.1), (-3, 0.1), (4, 0.0), (4, 1.0), (4, -0.1), (4, 1.5), (4, NAN)]:
        assert det_threshold_f(n, pfa) == 0.0


# ------------------------------------------------------------------------------------------------
# Gaussian tail inverse
# ------------------------------------------------------------------------------------------------
def test_q_inv_against_normal_isf():
    ps = np.geomspace(1e-40, 0.5, 400)
    z = np.array([det_q_inv(p) for p in ps])
    np.testing.assert_allclose(z[:-1], stats.norm.isf(ps[:-1]), rtol=1e-11)
    # Below 1e-40 the four Newton steps from the closed-form start leave up to 1e-5 relative
    # error (9e-6 at 1e-300): the start is further off and erfc is very convex out there.
    ps = np.geomspace(1e-300, 1e-40, 100)
    z = np.array([det_q_inv(p) for p in ps])
    np.testing.assert_allclose(z, stats.norm.isf(ps), rtol=1.5e-5)
    # Above 0.5 the answer is only as good as p's absolute precision (one ulp of 1 becomes
    # 0.01 in z at p = 1 - 1e-15), so check the forward error there: Q(z) equals p to an ulp.
    for p in np.concatenate([np.linspace(0.5, 0.999, 100), 1 - np.geomspace(1e-15, 1e-3, 100)]):
        assert abs(stats.norm.sf(det_q_inv(p)) - p) <= 2.3e-16


def test_q_inv_documented_values_and_range():
    assert abs(det_q_inv(0.5)) < 1e-15
    assert det_q_inv(1e-3) == pytest.approx(3.090232306167813, rel=1e-12)
    assert det_q_inv(0.9) == pytest.approx(-1.2815515655446004, rel=1e-12)
    for p in (0.0, 1.0, -0.1, 1.1, NAN, INF, -INF):
        assert det_q_inv(p) == 0.0
    # Below 5.6e-17, 1 - 2p rounds to 1: the start value must still be finite.
    for p in (1e-17, 1e-20, 1e-30):
        assert det_q_inv(p) == pytest.approx(stats.norm.isf(p), rel=1e-11)
    assert math.isfinite(det_q_inv(5e-324))


# ------------------------------------------------------------------------------------------------
# Detection probabilities, SNR and dwell
# ------------------------------------------------------------------------------------------------
def test_detection_probabilities_are_the_marcum_compositions():
    for n, a, thr in [(1, 0.5, 3.7), (10, 0.3, 3.0), (100, 0.05, 4.2)]:
        assert det_pd(n, a, thr) == marcum_q(1, math.sqrt(2 * n) * a, thr)
        assert det_pd_power(n, a * a, thr) == marcum_q(1, math.sqrt(2 * a * a * n),
                                                         math.sqrt(2 * thr))
        assert det_pd_noncoherent(n, 4, a, thr) == marcum_q(4, math.sqrt(2 * 4 * n) * a, thr)
    # Large products do not overflow int arithmetic.
    v = det_pd_noncoherent(100000, 100000, 1e-4, 300.0)
    assert 0.0 <= v <= 1.0
    # det_pd equals the Rice survival function of the coherent sum.
    assert det_pd(8, 0.4, 3.5) == pytest.approx(stats.rice.sf(3.5, math.sqrt(16) * 0.4), rel=1e-10)


@pytest.mark.parametrize("n", [1, 4, 32, 1000])
def test_snr_inverts_pd(n):
    for pd, pfa in [(0.5, 1e-3), (0.9, 1e-3), (0.99, 1e-6), (0.999, 1e-9), (0.2, 0.1)]:
        a = det_snr(n, pd, pfa)
        assert det_pd(n, a, det_threshold(pfa)) == pytest.approx(pd, abs=1e-12)
        assert det_snr_power(n, pd, pfa) == a * a
        # Coherent integration: the per-sample SNR scales as 1/sqrt(n).
        assert a * math.sqrt(n) == pytest.approx(det_snr(1, pd, pfa), rel=1e-12)


def test_snr_unreachable_target_returns_infinity():
    # pd above 1 (or no samples) is reached by no finite SNR: +inf, not an endless doubling.
    t0 = time.perf_counter()
    assert det_snr(4, 1.5, 1e-3) == INF
    assert det_snr(0, 0.9, 1e-3) == INF
    assert det_snr_power(4, 1.5, 1e-3) == INF
    assert time.perf_counter() - t0 < 5.0
    assert det_snr(4, 0.0, 1e-3) == pytest.approx(0.0, abs=1e-15)


def test_dwell_is_the_first_sufficient_length():
    for a, pd, pfa in [(0.3, 0.9, 1e-3), (0.1, 0.5, 1e-6), (1.0, 0.99, 1e-2)]:
        thr = det_threshold(pfa)
        n = det_dwell(10000, a, pd, pfa)
        assert n >= 1
        assert det_pd(n, a, thr) >= pd
        if n > 1:
            assert det_pd(n - 1, a, thr) < pd
        snr = a * a
        thp = det_threshold_power(pfa)
        n = det_dwell_power(10000, snr, pd, pfa)
        assert n >= 1 and det_pd_power(n, snr, thp) >= pd
        if n > 1:
            assert det_pd_power(n - 1, snr, thp) < pd
    assert det_dwell(0, 0.5, 0.9, 1e-3) == -1
    assert det_dwell(-2, 0.5, 0.9, 1e-3) == -1
    assert det_dwell(5, 0.01, 0.9, 1e-3) == -1
    assert det_dwell_power(0, 0.25, 0.9, 1e-3) == -1
    assert det_dwell_power(5, 1e-4, 0.9, 1e-3) == -1
    assert det_dwell(3, 5.0, 0.9, 1e-3) == 1


def test_noncoherent_look_count():
    def pd_at(n_coh, looks, a, pfa):
        return det_pd_noncoherent(n_coh, looks, a, det_threshold_noncoherent(looks, pfa))

    for n_coh, a, pd, pfa, n_max in [(16, 0.3, 0.9, 1e-3, 200), (4, 0.6, 0.95, 1e-4, 64),
                                     (16, 0.15, 0.8, 1e-2, 300), (1, 2.0, 0.5, 1e-3, 50)]:
        n = det_n_noncoh(n_coh, n_max, a, pd, pfa)
        assert 1 <= n <= n_max
        linear = next(k for k in range(1, n_max + 1) if pd_at(n_coh, k, a, pfa) >= pd)
        assert n == linear
    assert det_n_noncoh(4, 10, 0.01, 0.9, 1e-3) == -1  # unreachable within 10 looks
    assert det_n_noncoh(4, 1, 2.0, 0.9, 1e-3) == 1
    assert det_n_noncoh(4, 1, 0.01, 0.9, 1e-3) == -1
    # No look count lies in [1, n_max] for n_max <= 0.
    assert det_n_noncoh(4, 0, 2.0, 0.9, 1e-3) == -1
    assert det_n_noncoh(4, -7, 2.0, 0.9, 1e-3) == -1


# ------------------------------------------------------------------------------------------------
# Gaussian approximation, EMA, verify
# ------------------------------------------------------------------------------------------------
def test_gauss_timing_lock_defaults():
    mean = (0.26 + 0.6 * 0.35) * (1 - math.exp(-0.275 * 10))
    assert mean == pytest.approx(0.43995, abs=1e-5)
    assert det_dwell_gauss(mean, 1.343, 0.9, 1e-3) == 133
    assert det_threshold_gauss(mean, 0.9, 1e-3) == pytest.approx(0.311, abs=5e-4)


def test_gauss_against_closed_form():
    for mean, var, pd, pfa in [(0.1, 1.0, 0.9, 1e-3), (1.5, 0.2, 0.99, 1e-6), (0.01, 3.0, 0.6, 0.1)]:
        d = stats.norm.isf(pfa) - stats.norm.isf(pd)
        assert det_dwell_gauss(mean, var, pd, pfa) == math.ceil(var * (d / mean) ** 2)
        assert det_threshold_gauss(mean, pd, pfa) == pytest.approx(
            mean * stats.norm.isf(pfa) / d, rel=1e-11)


def test_gauss_rejections_and_saturation():
    good = dict(mean=0.4, variance=1.0, pd=0.9, pfa=1e-3)
    assert det_dwell_gauss(*good.values()) > 0
    for k, v in [("mean", 0.0), ("mean", -1.0), ("variance", 0.0), ("variance", NAN), ("pd", 0.0),
                 ("pd", 1.0), ("pfa", 0.0), ("pfa", 1.0), ("pd", 1e-4), ("pd", 1e-3), ("mean", NAN)]:
        args = dict(good, **{k: v})
        assert det_dwell_gauss(*args.values()) == -1, (k, v)
        if k != "variance":
            assert det_threshold_gauss(args["mean"], args["pd"], args["pfa"]) == 0.0
    assert det_dwell_gauss(100.0, 1.0, 0.9, 1e-3) == 1  # computed length below 1
    assert det_dwell_gauss(1e-6, 1e3, 0.9, 1e-3) == INT_MAX
    assert det_dwell_gauss(INF, INF, 0.9, 1e-3) == -1  # inf * 0: no meaningful length


def test_ema_alpha():
    assert det_ema_alpha(0, 0) == 1.0
    assert det_ema_alpha(10, 3) == 1.0
    assert det_ema_alpha(0, 30) == pytest.approx(2 / (1 + 1000), rel=1e-13)
    for si, so in [(-5, 12), (3, 20.5), (-20, 0)]:
        s_in, s_out = 10 ** (si / 10), 10 ** (so / 10)
        assert det_ema_alpha(si, so) == pytest.approx(2 * s_in / (s_in + s_out), rel=1e-13)


def test_verify_count():
    assert det_verify_count(1e-3, 1e-6) == 2
    assert det_verify_count(0.5, 0.9) == 1
    assert det_verify_count(1.0, 0.1) == INT_MAX
    assert det_verify_count(0.0, 1e-6) == 1
    assert det_verify_count(-0.5, 1e-6) == 1
    assert det_verify_count(0.5, 0.5) == 1
    # A log ratio that exceeds k by less than 1e-9 gives k; by more, k + 1.
    for p, k in [(0.5, 3), (0.9, 17), (0.01, 5)]:
        assert det_verify_count(p, p ** (k + 5e-10)) == k
        assert det_verify_count(p, p ** (k + 2e-9)) == k + 1
        assert det_verify_count(p, p ** (k - 0.3)) == k
    for p, target in [(0.3, 1e-5), (0.99, 1e-3)]:
        n = det_verify_count(p, target)
        assert p ** n <= target < p ** (n - 1)
    # A target of 0 (or below) is never reached: saturates like p >= 1.
    assert det_verify_count(0.5, 0.0) == INT_MAX
    assert det_verify_count(0.5, -1.0) == INT_MAX
    assert det_verify_count(0.5, 1e-320) == math.ceil(math.log(1e-320) / math.log(0.5) - 1e-9)


def test_verify_delay():
    for p in (0.1, 0.5, 0.93):
        assert det_verify_delay(1, p) == pytest.approx(1 / p, rel=1e-14)
        assert det_verify_delay(0, p) == det_verify_delay(1, p)
        assert det_verify_delay(-4, p) == det_verify_delay(1, p)
        for n in (2, 5, 20):
            assert det_verify_delay(n, p) == pytest.approx((1 - p**n) / ((1 - p) * p**n), rel=1e-12)
    # Small 1 - p: expm1 keeps the ratio accurate where 1 - p^n cancels (limit n(n+1)/2 + ...).
    assert det_verify_delay(3, 1 - 1e-12) == pytest.approx(3.0, rel=1e-9)
    assert det_verify_delay(4, 1.0) == 4.0
    assert det_verify_delay(0, 2.0) == 1.0
    assert det_verify_delay(4, 0.0) == INF
    assert det_verify_delay(4, -1.0) == INF
