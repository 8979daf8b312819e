// The M-th-power carrier discriminator shared by the non-data-aided carrier loop (at the sample
// rate, on its arm output) and the receivers' carrier update (at the symbol rate, on the on-time
// sample): the sample normalised to unit power is raised to the M-th power; the phase error is
// its imaginary part, the lock signal its real part (2/M times the sine and the cosine of M times
// the sample's phase, up to the scale). All float32, in exactly this order.
#pragma once

#include "common/ox_common.h"

namespace ox {

// Writes the error and the lock signal of sample a; both 0 when its power is not above 1e-12.
template <int M>
inline void mth_power_discriminator(ox_cf32 a, float *e, float *v) {
    static_assert(M == 2 || M == 4 || M == 8);
    const float rr = a.re * a.re, ii = a.im * a.im;
    const float power = rr + ii;
    *e = 0.0f;
    *v = 0.0f;
    if (!(static_cast<double>(power) > 1e-12)) return;
    const float inv = 1.0f / power;
    const float zr = (rr - ii) * inv;
    const float zi = a.re * a.im * (2.0f * inv);
    if constexpr (M == 2) {
        *e = zi;
        *v = zr;
    } else if constexpr (M == 4) {
        *e = zr * zi;
        *v = zr * zr - zi * zi;
    } else {
        const float A = zr * zi;
        const float B = zr * zr - zi * zi;
        *e = B * A;
        *v = B * B - 4.0f * (A * A);
    }
}

}  // namespace ox
