// Analysis windows and stateless spectral helpers: Kaiser, Hann and 4-term Blackman-Harris
// windows, equivalent noise bandwidth, Kaiser beta for a sidelobe level, complex spectrum to dB,
// a sub-bin peak finder, an occupied-bandwidth integrator and a median noise-floor estimate.
#pragma once

#include "common/ox_common.h"

// One spectral peak found on a DC-centred dB trace.
struct ox_peak_t {
    float freq_norm;  // cycles per sample, DC-centred axis, including the sub-bin offset
    float level_db;   // parabolically interpolated level, unit of the input trace
};
static_assert(sizeof(ox_peak_t) == 8 && offsetof(ox_peak_t, level_db) == 4);

// Symmetric windows of n float32 values (n = 1 gives [1.0], n = 0 writes nothing).
OX_API void kaiser_window(float *w, size_t n, float beta);
OX_API void hann_window(float *w, size_t n);
OX_API void blackman_harris_window(float *w, size_t n);

// Equivalent noise bandwidth n * sum(w^2) / sum(w)^2 in bins (NaN for n = 0).
OX_API float kaiser_enbw(const float *w, size_t n);

// Kaiser beta giving a window sidelobe attenuation of atten_db (0 at or below 13.26 dB).
OX_API double kaiser_beta_for_sidelobe(double atten_db);

// out[k] = 20 log10(max(|x[k]|, lin_floor)) + offset_db.
OX_API void magnitude_db_cf32(const ox_cf32 *x, size_t n, float *out, float lin_floor, float offset_db);
OX_API void magnitude_db_cf64(const ox_cf64 *x, size_t n, float *out, double lin_floor, float offset_db);

// Local maxima above min_db of a DC-centred dB trace, strongest first; returns the count written
// (at most n_peaks).
OX_API size_t find_peaks_f32(const float *db, size_t n, size_t n_peaks, ox_peak_t *out, float min_db);

// Width in Hz of the central band holding the fraction frac of the power of n bins spanning fs.
OX_API double obw_from_power(const double *pwr, size_t n, double fs, double frac);

// Median of a dB trace (0.0 for an empty trace).
OX_API double noise_floor_db(const float *db, size_t n);

namespace ox {
// The occupied-bandwidth walk shared by obw_from_power and the PSD: `power(i)` yields bin i
// (double). total = sum of the bins; lo is the first bin whose running sum reaches
// (1 - frac)/2 of the total, hi the first reaching (1 + frac)/2 of it (else the last bin);
// the result (hi - lo + 1) * fs / n counts whole bins, edges included. 0 without power.
template <class Power>
double obw_walk(size_t n, double fs, double frac, Power power) {
    if (n == 0) return 0.0;
    double total = 0.0;
    for (size_t i = 0; i < n; ++i) total += power(i);
    if (total <= 0.0) return 0.0;
    const double lo_level = (1.0 - frac) / 2.0 * total;
    const double hi_level = (1.0 + frac) / 2.0 * total;
    double s = 0.0;
    size_t lo = 0, hi = n - 1;
    bool have_lo = false;
    for (size_t i = 0; i < n; ++i) {
        s += power(i);
        if (!have_lo && s >= lo_level) {
            lo = i;
            have_lo = true;
        }
        if (s >= hi_level) {
            hi = i;
            break;
        }
    }
    return static_cast<double>(hi - lo + 1) * fs / static_cast<double>(n);
}
}  // namespace ox
