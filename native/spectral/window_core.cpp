#include "spectral/window_core.h"

#include <cmath>
#include <cstdlib>

namespace {

// I0(2a) = sum_k (a^k / k!)^2: terms are added until one falls below 1e-15 of the sum, or after
// 40 terms beyond the leading 1.
double i0_series(double a) {
    double term = 1.0, sum = 1.0;
    for (int i = 1; i <= 40; ++i) {
        const double q = a / i;
        term *= q * q;
        sum += term;
        if (term < sum * 1e-15) break;
    }
    return sum;
}

// Three-way comparators for qsort. NaN sorts after every number and equal to another NaN so
// the ordering stays a total order whatever the trace holds.
int cmp_float_ascending(const void *pa, const void *pb) {
    const float a = *static_cast<const float *>(pa), b = *static_cast<const float *>(pb);
    if (a < b) return -1;
    if (a > b) return 1;
    const bool na = std::isnan(a), nb = std::isnan(b);
    return static_cast<int>(na) - static_cast<int>(nb);
}

int cmp_peak_level_descending(const void *pa, const void *pb) {
    const float a = static_cast<const ox_peak_t *>(pa)->level_db;
    const float b = static_cast<const ox_peak_t *>(pb)->level_db;
    if (a > b) return -1;
    if (a < b) return 1;
    const bool na = std::isnan(a), nb = std::isnan(b);
    return static_cast<int>(na) - static_cast<int>(nb);
}

}  // namespace

void kaiser_window(float *w, size_t n, float beta) {
    if (n == 0) return;
    if (n == 1) {
        w[0] = 1.0f;
        return;
    }
    const double a = static_cast<double>(beta) / 2.0;
    const double inv_d = 1.0 / i0_series(a);
    const double m = static_cast<double>(n - 1);
    const double scale = 2.0 / m;
    for (size_t k = 0; k < n; ++k) {
        const double r = scale * (static_cast<double>(k) - 0.5 * m);
        // |r| can exceed 1 by one rounding step at the ends; the window edge is I0(0)/D there.
        const double u = 1.0 - r * r;
        const double x = a * std::sqrt(u > 0.0 ? u : 0.0);
        w[k] = static_cast<float>(i0_series(x) * inv_d);
    }
}

void hann_window(float *w, size_t n) {
    if (n == 0) return;
    if (n == 1) {
        w[0] = 1.0f;
        return;
    }
    const double step = ox::kTwoPi / static_cast<double>(n - 1);
    for (size_t k = 0; k < n; ++k) {
        const float c = static_cast<float>(std::cos(static_cast<double>(k) * step));
        w[k] = (1.0f - c) * 0.5f;
    }
}

void blackman_harris_window(float *w, size_t n) {
    if (n == 0) return;
    if (n == 1) {
        w[0] = 1.0f;
        return;
    }
    const double step = ox::kTwoPi / static_cast<double>(n - 1);
    for (size_t k = 0; k < n; ++k) {
        const double t = static_cast<double>(k) * step;
        const double v = 0.35875 - 0.48829 * std::cos(t) + 0.14128 * std::cos(2.0 * t) -
                         0.01168 * std::cos(3.0 * t);
        w[k] = static_cast<float>(v);
    }
}

float kaiser_enbw(const float *w, size_t n) {
    double s1 = 0.0, s2 = 0.0;
    for (size_t k = 0; k < n; ++k) {
        const double v = w[k];
        s1 += v;
        s2 += v * v;
    }
    return static_cast<float>(static_cast<double>(n) * s2 / (s1 * s1));
}

double kaiser_beta_for_sidelobe(double atten_db) {
    if (atten_db > 60.0) return 0.12438 * (atten_db + 6.3);
    if (atten_db > 13.26) {
        const double d = atten_db - 13.26;
        return 0.76609 * std::pow(d, 0.4) + 0.09834 * d;
    }
    return 0.0;  // also NaN
}

void magnitude_db_cf32(const ox_cf32 *x, size_t n, float *out, float lin_floor, float offset_db) {
    for (size_t k = 0; k < n; ++k) {
        const float mag = std::sqrt(x[k].re * x[k].re + x[k].im * x[k].im);
        const float v = lin_floor > mag ? lin_floor : mag;
        out[k] = 20.0f * std::log10(v) + offset_db;
    }
}

void magnitude_db_cf64(const ox_cf64 *x, size_t n, float *out, double lin_floor, float offset_db) {
    for (size_t k = 0; k < n; ++k) {
        const double mag = std::sqrt(x[k].re * x[k].re + x[k].im * x[k].im);
        const double v = lin_floor > mag ? lin_floor : mag;
        const float db = static_cast<float>(20.0 * std::log10(v));
        out[k] = db + offset_db;
    }
}

size_t find_peaks_f32(const float *db, size_t n, size_t n_peaks, ox_peak_t *out, float min_db) {
    if (n <= 2 || n_peaks == 0) return 0;
    const size_t room = n / 2 + 1;
    auto *cand = static_cast<ox_peak_t *>(std::malloc(room * sizeof(ox_peak_t)));
    if (!cand) return 0;
    const float inv_n = 1.0f / static_cast<float>(n);
    const long long centre = static_cast<long long>(n / 2);
    size_t count = 0;
    for (size_t i = 1; i + 1 < n && count < room; ++i) {
        const float v = db[i], l = db[i - 1], r = db[i + 1];
        if (!(v > min_db && v > l && v >= r)) continue;
        const float d = (l + r) - 2.0f * v;
        float delta = 0.0f;
        if (d != 0.0f) {
            delta = 0.5f * (l - r) / d;
            if (delta > 0.5f) delta = 0.5f;
            if (delta < -0.5f) delta = -0.5f;
        }
        const float offset = static_cast<float>(static_cast<long long>(i) - centre);
        cand[count].freq_norm = (offset + delta) * inv_n;
        cand[count].level_db = v + 0.25f * (r - l) * delta;
        ++count;
    }
    std::qsort(cand, count, sizeof(ox_peak_t), cmp_peak_level_descending);
    const size_t m = count < n_peaks ? count : n_peaks;
    for (size_t k = 0; k < m; ++k) out[k] = cand[k];
    std::free(cand);
    return m;
}

double obw_from_power(const double *pwr, size_t n, double fs, double frac) {
    return ox::obw_walk(n, fs, frac, [pwr](size_t i) { return pwr[i]; });
}

double noise_floor_db(const float *db, size_t n) {
    if (n == 0) return 0.0;
    auto *sorted = static_cast<float *>(std::malloc(n * sizeof(float)));
    if (!sorted) return 0.0;
    std::memcpy(sorted, db, n * sizeof(float));
    std::qsort(sorted, n, sizeof(float), cmp_float_ascending);
    double med;
    if (n % 2 == 1) {
        med = sorted[n / 2];
    } else {
        med = (static_cast<double>(sorted[n / 2 - 1]) + static_cast<double>(sorted[n / 2])) * 0.5;
    }
    std::free(sorted);
    return med;
}
