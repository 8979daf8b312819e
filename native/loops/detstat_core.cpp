#include "loops/detstat_core.h"

#include <cmath>

namespace {

constexpr int kMaxIter = 300;       // continued fractions and the gamma series
constexpr double kEps = 1e-15;      // their relative tolerance
constexpr double kTiny = 1e-300;    // Lentz guard for vanishing denominators
constexpr double kSeriesCut = 1e-14;  // truncation of the Poisson mixture in marcum_q
constexpr int kIntMax = 2147483647;

// lgamma without the global sign side effect, so every function here stays reentrant.
inline double lgam(double x) {
    int sign;
    return lgamma_r(x, &sign);
}

// Iteration limit of the gamma series and the continued fractions. Near x = a the series needs
// about 7.5*sqrt(a) terms and the fractions about sqrt(a) to reach the tolerance, so the base
// limit of 300 is extended for a above 1000: results that converge within 300 iterations are
// unchanged, results that were cut off converge. (Cut at 300, the Marcum value Q_1(300, 300),
// which needs Q(45001, 45000), came out as 0.578 instead of 0.5007.)
inline int iter_limit(double a) {
    if (!(a > 1000 && a < 1e13)) return kMaxIter;
    return kMaxIter + static_cast<int>(8 * std::sqrt(a));
}

// Regularised upper incomplete gamma function Q(a, x).
double gammaq(double a, double x) {
    if (x <= 0) return 1.0;
    const int limit = iter_limit(a);
    const double g = std::exp(a * std::log(x) - lgam(a) - x);
    if (x < a + 1) {
        // Series for the lower function P, then Q = 1 - P.
        double term = 1.0 / a;
        double sum = term;
        for (int i = 1; i <= limit; ++i) {
            term *= x / (a + i);
            sum += term;
            if (std::fabs(term) < std::fabs(sum) * kEps) break;
        }
        return 1.0 - sum * g;
    }
    // Continued fraction for Q (modified Lentz).
    double b = x + 1 - a;
    double c = 1e300;
    double d = 1.0 / b;
    double h = d;
    for (int i = 1; i <= limit; ++i) {
        const double an = i * (a - i);
        b += 2;
        d = an * d + b;
        if (std::fabs(d) < kTiny) d = kTiny;
        d = 1.0 / d;
        c = b + an / c;
        if (std::fabs(c) < kTiny) c = kTiny;
        const double del = c * d;
        h *= del;
        if (std::fabs(del - 1) < kEps) break;
    }
    return h * g;
}

// Continued fraction of the regularised incomplete beta function (modified Lentz).
double betacf(double a, double b, double x) {
    const double qab = a + b;
    const double qap = a + 1;
    const double qam = a - 1;
    double c = 1.0;
    double d = 1 - qab * x / qap;
    if (std::fabs(d) < kTiny) d = kTiny;
    d = 1.0 / d;
    double h = d;
    const int limit = iter_limit(a > b ? a : b);
    for (int m = 1; m <= limit; ++m) {
        const int m2 = 2 * m;
        double aa = m * (b - m) * x / ((qam + m2) * (a + m2));
        d = 1 + aa * d;
        if (std::fabs(d) < kTiny) d = kTiny;
        c = 1 + aa / c;
        if (std::fabs(c) < kTiny) c = kTiny;
        d = 1.0 / d;
        h *= d * c;
        aa = -(a + m) * (qab + m) * x / ((a + m2) * (qap + m2));
        d = 1 + aa * d;
        if (std::fabs(d) < kTiny) d = kTiny;
        c = 1 + aa / c;
        if (std::fabs(c) < kTiny) c = kTiny;
        d = 1.0 / d;
        const double del = d * c;
        h *= del;
        if (std::fabs(del - 1) < kEps) break;
    }
    return h;
}

// Regularised incomplete beta I_x(g, g) of the symmetric case used by the F threshold
// (n = 2g degrees of freedom per estimate), for 0 < x < 1.
double beta_sym(int n, double g, double x) {
    const double bt = std::exp(g * (std::log(x) + std::log(1 - x)) + lgam(n) - 2 * lgam(g));
    if (x < 0.5) return bt * (2.0 / n) * betacf(g, g, x);
    return 1 - bt * (2.0 / n) * betacf(g, g, 1 - x);
}

}  // namespace

// Q_m(a, b) as the Poisson mixture sum_k P(k; a^2/2) Q(m + k, b^2/2), summed outwards from the
// Poisson mode so that large non-centralities neither underflow nor need thousands of terms.
double marcum_q(int m, double a, double b) {
    if (b <= 0) return 1.0;
    if (a > b && std::erfc((b - a) * 0.7071067811865476) >= 1.99999999999998) return 1.0;
    const double y = b * b / 2;
    if (a < 1e-14) return gammaq(m, y);
    const double x = a * a / 2;
    // Beyond a mode of 2^31 the mixture would need millions of terms per call (and the mode no
    // longer fits an int); there the Rice law is Gaussian to within 1/a, which is returned
    // instead. A NaN amplitude gives NaN.
    if (!(x < 2147483647.0)) {
        if (std::isnan(x)) return x;
        return 0.5 * std::erfc((b - a) * 0.7071067811865476);
    }
    const int64_t k0 = static_cast<int64_t>(x + 0.5);
    const int64_t span = static_cast<int64_t>(12 * std::sqrt(1 + x)) + 60;
    const double mk0 = static_cast<double>(m + k0);

    const double p0 = std::exp(static_cast<double>(k0) * std::log(x) - lgam(static_cast<double>(k0 + 1)) - x);
    const double g0 = gammaq(mk0, y);
    double sum = p0 * g0;
    double t = std::exp(mk0 * std::log(y) - lgam(mk0 + 1) - y);

    double p = p0;
    double G = g0;
    for (int64_t k = k0 + 1; k <= k0 + span; ++k) {
        G += t;                                   // Q(m + k, y) from Q(m + k - 1, y)
        p *= x / static_cast<double>(k);          // P(k; x) from P(k - 1; x)
        t *= y / static_cast<double>(k + m);
        const double term = p * G;
        sum += term;
        if (term < kSeriesCut * sum) break;
    }
    if (k0 > 0) {
        p = p0;
        G = g0;
        const int64_t k_end = k0 - span + 1 > 1 ? k0 - span + 1 : 1;
        for (int64_t k = k0; k >= k_end; --k) {
            p *= static_cast<double>(k) / x;      // P(k - 1; x) from P(k; x)
            const double mk1 = static_cast<double>(m + k - 1);
            G -= std::exp(mk1 * std::log(y) - y - lgam(mk1 + 1));  // Q(m + k - 1, y)
            if (G < 0) G = 0;
            const double term = p * G;
            sum += term;
            if (term < kSeriesCut * sum) break;
        }
    }
    return sum;
}

double det_threshold(double pfa) { return std::sqrt(-2 * std::log(pfa)); }

double det_threshold_power(double pfa) { return -std::log(pfa); }

double det_pd(int n, double a, double thr) { return marcum_q(1, std::sqrt(2.0 * n) * a, thr); }

double det_pd_power(int n, double snr, double thr) {
    return marcum_q(1, std::sqrt(2 * snr * n), std::sqrt(2 * thr));
}

double det_pd_noncoherent(int n_coh, int n_looks, double a, double thr) {
    return marcum_q(n_looks, std::sqrt(2.0 * n_looks * n_coh) * a, thr);
}

int det_dwell(int n_max, double a, double pd, double pfa) {
    if (n_max <= 0) return -1;
    const double thr = det_threshold(pfa);
    for (int n = 1; n <= n_max; ++n) {
        if (det_pd(n, a, thr) >= pd) return n;
    }
    return -1;
}

int det_dwell_power(int n_max, double snr, double pd, double pfa) {
    if (n_max <= 0) return -1;
    const double thr = det_threshold_power(pfa);
    for (int n = 1; n <= n_max; ++n) {
        if (det_pd_power(n, snr, thr) >= pd) return n;
    }
    return -1;
}

// Bracket by doubling, then 64 bisection steps. A detection probability that no finite SNR
// reaches (pd above 1, or n <= 0) gives +infinity instead of doubling forever.
double det_snr(int n, double pd, double pfa) {
    const double thr = det_threshold(pfa);
    double hi = 1.0;
    while (det_pd(n, hi, thr) < pd) {
        hi *= 2;
        if (std::isinf(hi)) return HUGE_VAL;
    }
    double lo = 0.0;
    for (int i = 0; i < 64; ++i) {
        const double mid = (lo + hi) / 2;
        if (det_pd(n, mid, thr) >= pd) {
            hi = mid;
        } else {
            lo = mid;
        }
    }
    return (lo + hi) / 2;
}

double det_snr_power(int n, double pd, double pfa) {
    const double s = det_snr(n, pd, pfa);
    return s * s;
}

double det_threshold_noncoherent(int n_looks, double pfa) {
    if (n_looks <= 1) return det_threshold(pfa);
    double hi = std::fmax(1.0, std::sqrt(-2 * std::log(pfa)));
    while (marcum_q(n_looks, 0, hi) > pfa) hi *= 2;
    double lo = 0.0;
    for (int i = 0; i < 100; ++i) {
        const double mid = (lo + hi) / 2;
        if (marcum_q(n_looks, 0, mid) > pfa) {
            lo = mid;
        } else {
            hi = mid;
        }
    }
    return (lo + hi) / 2;
}

int det_n_noncoh(int n_coh, int n_max, double a, double pd, double pfa) {
    if (n_max <= 0) return -1;  // no look count lies in [1, n_max]
    auto pd_at = [&](int looks) {
        return det_pd_noncoherent(n_coh, looks, a, det_threshold_noncoherent(looks, pfa));
    };
    if (!(pd_at(n_max) >= pd)) return -1;
    if (n_max <= 1) return 1;
    int lo = 1;
    int hi = n_max;
    for (;;) {
        const int mid = lo + (hi - lo) / 2;
        if (pd_at(mid) >= pd) {
            if (mid <= lo) return lo;
            hi = mid;
        } else {
            lo = mid + 1;
            if (lo >= hi) return lo;
        }
    }
}

// Inverse of Q(z) = erfc(z / sqrt 2) / 2: a closed-form guess for erf^-1(1 - 2p) refined by four
// Newton steps on erfc(w) = 2p.
double det_q_inv(double p) {
    if (!(p > 0 && p < 1)) return 0.0;
    const double u = 1 - 2 * p;
    double one_minus_u2 = 1 - u * u;
    // Below p ~ 5.6e-17, 1 - 2p rounds to 1 and the guess would be infinite (and the Newton step
    // NaN); 4p(1 - p) is the same quantity without the cancellation.
    if (one_minus_u2 <= 0) one_minus_u2 = 4 * p * (1 - p);
    const double L = std::log(one_minus_u2);
    const double c = L / 2 + 4.330746750799873;  // 2 / (pi * 0.147)
    const double w2 = std::fmax(std::sqrt(std::fmax(c * c - 6.802721088435375 * L, 0.0)) - c, 0.0);
    double w = std::sqrt(w2);
    if (u < 0) w = -w;
    for (int i = 0; i < 4; ++i) {
        const double step = (std::erfc(w) - 2 * p) * std::exp(w * w) * (-0.886226925452758);
        if (!std::isfinite(step)) break;  // only for p near the smallest subnormals
        w -= step;
    }
    return w * 1.4142135623730951;
}

int det_dwell_gauss(double mean, double variance, double pd, double pfa) {
    if (!(mean > 0 && variance > 0 && pfa > 0 && pfa < 1 && pd > 0 && pd < 1 && pd > pfa)) {
        return -1;
    }
    const double q = (det_q_inv(pfa) - det_q_inv(pd)) / mean;
    const double N = variance * (q * q);
    if (N < 1) return 1;
    if (N > kIntMax) return kIntMax;
    if (std::isnan(N)) return -1;  // infinite mean and variance together
    return static_cast<int>(std::ceil(N));
}

double det_threshold_gauss(double mean, double pd, double pfa) {
    if (!(mean > 0 && pfa > 0 && pfa < 1 && pd > 0 && pd < 1 && pd > pfa)) return 0.0;
    const double qfa = det_q_inv(pfa);
    const double d = qfa - det_q_inv(pd);
    if (d <= 0) return 0.0;
    return mean * qfa / d;
}

double det_ema_alpha(double snr_in_db, double snr_out_db) {
    constexpr double kLn10 = 2.302585092994046;
    const double s_in = std::exp(0.1 * snr_in_db * kLn10);
    const double s_out = std::exp(0.1 * snr_out_db * kLn10);
    if (s_in >= s_out) return 1.0;
    return 2 * s_in / (s_in + s_out);
}

int det_verify_count(double p, double target) {
    if (p <= 0 || target >= p) return 1;
    if (p >= 1) return kIntMax;
    const double n = std::ceil(std::log(target) / std::log(p) - 1e-9);
    // An unreachable target (target <= 0) or a NaN saturates like p >= 1.
    if (!(n < kIntMax)) return kIntMax;
    return n < 1 ? 1 : static_cast<int>(n);
}

double det_verify_delay(int n, double p) {
    if (n < 1) n = 1;
    if (p >= 1) return n;
    if (p <= 0) return HUGE_VAL;
    const double nl = n * std::log(p);
    const double e = std::exp(nl);
    return std::expm1(nl) / ((p - 1) * e);
}

// Bisection on x = 1 / (1 + t) in (0, 1): for F ~ F(n, n), P(F > t) = I_x(n/2, n/2).
double det_threshold_f(int n, double pfa) {
    if (!(pfa > 0 && pfa < 1) || n <= 0) return 0.0;
    const double g = n / 2.0;
    double lo = 0.0;
    double hi = 1.0;
    for (int i = 0; i < 200; ++i) {
        const double mid = (lo + hi) / 2;
        if (mid <= 0) {
            lo = mid;
        } else if (mid >= 1) {
            hi = mid;
        } else if (pfa <= beta_sym(n, g, mid)) {
            hi = mid;
        } else {
            lo = mid;
        }
    }
    const double x = (lo + hi) / 2;
    return (1 - x) / x;
}
