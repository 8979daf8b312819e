// Farrow interpolator: a four-tap fractional-delay interpolator over complex float32 samples,
// linear (order 0), piecewise parabolic (order 1) or cubic Lagrange (any other order).
//
// The output lies between the second- and third-newest samples of the history (group delay 2):
// with a, b, c the three newest samples before the input x, mu = 0 gives b and mu = 1 gives c.
// The symbol synchroniser embeds one of these records and evaluates its strobes with the same
// inline interpolation below.
#pragma once

#include "common/ox_common.h"

struct farrow {
    ox_cf32 h[4];   // history h0..h3, oldest first (h3 newest)
    int32_t order;  // 0 linear, 1 parabolic, anything else cubic
};
static_assert(offsetof(farrow, h) == 0 && offsetof(farrow, order) == 32 && sizeof(farrow) == 36,
              "the record is the payload image of the interpolator's state blob");

OX_API farrow *farrow_create(int order);
OX_API void farrow_init(farrow *f, int order);
OX_API void farrow_destroy(farrow *f);
OX_API void farrow_reset(farrow *f);
OX_API size_t farrow_delay(farrow *f, const ox_cf32 *in, size_t n_in, ox_cf32 *out, size_t out_cap,
                           double mu);
OX_API size_t farrow_delay_max_out(const farrow *f);
OX_API int farrow_get_group_delay(void);
OX_API size_t farrow_state_bytes(const farrow *f);
OX_API void farrow_get_state(const farrow *f, void *buf);
OX_API int farrow_set_state(farrow *f, const void *buf);

namespace ox {

// The interpolation kernels, one per order, all float32 and evaluated in exactly this operation
// order (the results are part of the observable behaviour): a, b, c, x are four consecutive
// samples, the output lies between b (mu = 0) and c (mu = 1).
enum FarrowOrder : int { kFarrowLinear = 0, kFarrowParabolic = 1, kFarrowCubic = 2 };

// Maps a stored order to its kernel: 0 and 1 as such, any other value cubic.
constexpr int farrow_kernel(int order) {
    return order == 0 ? kFarrowLinear : order == 1 ? kFarrowParabolic : kFarrowCubic;
}

template <int Kernel>
inline float farrow_eval(float a, float b, float c, float x, float mu) {
    if constexpr (Kernel == kFarrowLinear) {
        return b + mu * (c - b);
    } else if constexpr (Kernel == kFarrowParabolic) {
        // alpha = 0.5: b + mu [(c - b) + 0.5 (mu - 1) ((a + x) - (b + c))]
        const float k = 0.5f * (mu - 1.0f);
        return b + mu * ((c - b) + k * ((a + x) - (b + c)));
    } else {
        // Lagrange through a, b, c, x at -1, 0, 1, 2, in Farrow form: each polynomial
        // coefficient is formed first (the two sixths as a product with the float32 0.16666667,
        // so mu (x - 3c + 3b - a) / 6 is read as mu times the coefficient (x - 3c + 3b - a) / 6),
        // then Horner in mu.
        constexpr float kSixth = 0.16666667f;
        const float c1 = (6.0f * c - 2.0f * a - 3.0f * b - x) * kSixth;
        const float c2 = (a - 2.0f * b + c) * 0.5f;
        const float c3 = (x - 3.0f * c + 3.0f * b - a) * kSixth;
        return b + mu * (c1 + mu * (c2 + mu * c3));
    }
}

// One complex output from the window w[0..3] = (a, b, c, x); both components use the same
// real coefficients.
template <int Kernel>
inline ox_cf32 farrow_interp(const ox_cf32 *w, float mu) {
    return {farrow_eval<Kernel>(w[0].re, w[1].re, w[2].re, w[3].re, mu),
            farrow_eval<Kernel>(w[0].im, w[1].im, w[2].im, w[3].im, mu)};
}

// Runs step(i, w) for each sample i of a block, w pointing at its window (a, b, c, x): the
// three newest history samples before it and the sample itself. The first three windows come
// from a small staging copy of the history and the block's head, every later one straight from
// the block, so the history is never shifted per sample; it is advanced once at the end
// (to the last four samples of history + block).
template <class Step>
inline void farrow_windows(farrow *f, const ox_cf32 *in, size_t n, Step &&step) {
    const size_t k = n < 3 ? n : 3;
    ox_cf32 head[6] = {f->h[1], f->h[2], f->h[3]};
    for (size_t i = 0; i < k; ++i) head[3 + i] = in[i];
    size_t i = 0;
    for (; i < k; ++i) step(i, static_cast<const ox_cf32 *>(head + i));
    for (; i < n; ++i) step(i, in + (i - 3));
    if (n >= 4) {
        std::memcpy(f->h, in + (n - 4), sizeof(f->h));
    } else {
        for (size_t j = 0; j + n < 4; ++j) f->h[j] = f->h[j + n];
        for (size_t j = 0; j < n; ++j) f->h[4 - n + j] = in[j];
    }
}

}  // namespace ox
