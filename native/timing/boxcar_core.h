// Boxcar: complex moving average over the last n (1..64) samples with an output gain.
// Embedded by value in the non-data-aided carrier loop, which drives it through
// ox::boxcar_update so that both paths share one arithmetic.
#pragma once

#include "common/ox_common.h"

constexpr uint64_t BOXCAR_MAX_LEN = 64;

struct boxcar {
    uint64_t n;                     // window length, 1..64
    uint64_t index;                 // next ring slot to overwrite, 0..n-1
    double inv_n;                   // 1/n
    double gain;                    // output gain
    float scale;                    // (float)(gain / n): the per-output multiplier
    ox_cf32 sum;                    // running sum of the window, updated incrementally
    ox_cf32 ring[BOXCAR_MAX_LEN];   // the last n inputs (slots beyond n unused)
    uint32_t reserved;              // always 0: keeps the blob image free of stray bytes
};
static_assert(offsetof(boxcar, n) == 0 && offsetof(boxcar, index) == 8 &&
              offsetof(boxcar, inv_n) == 16 && offsetof(boxcar, gain) == 24 &&
              offsetof(boxcar, scale) == 32 && offsetof(boxcar, sum) == 36 &&
              offsetof(boxcar, ring) == 44 && offsetof(boxcar, reserved) == 556 &&
              sizeof(boxcar) == 560,
              "the boxcar record is the payload image of its state blob");

OX_API boxcar *boxcar_create(uint64_t n, double gain);
OX_API void boxcar_init(boxcar *b, uint64_t n, double gain);
OX_API void boxcar_reset(boxcar *b);
OX_API void boxcar_destroy(boxcar *b);
OX_API void boxcar_steps(boxcar *b, const ox_cf32 *in, ox_cf32 *out, size_t n_samples);
OX_API size_t boxcar_state_bytes(const boxcar *b);
OX_API void boxcar_get_state(const boxcar *b, void *buf);
OX_API int boxcar_set_state(boxcar *b, const void *buf);

namespace ox {

// Checks that a boxcar image can drive the ring safely (window length and ring position).
inline bool boxcar_image_ok(const boxcar &b) {
    return b.n >= 1 && b.n <= BOXCAR_MAX_LEN && b.index < b.n;
}

// True when the whole window holds exact zeros.
inline bool boxcar_window_is_zero(const boxcar *b) {
    for (uint64_t k = 0; k < b->n; ++k) {
        if (b->ring[k].re != 0.0f || b->ring[k].im != 0.0f) return false;
    }
    return true;
}

// One input: the sum moves by (x - oldest) in float32, the ring slot is replaced, the index
// wraps at n; returns sum * scale. The sum is updated incrementally, never re-added from the
// ring, with one exception: once the window holds nothing but exact zeros the sum is exactly
// zero, so the rounding residue a long run leaves in the sum is dropped instead of being
// reported forever as a signal on a silent input. The window is only examined when the
// incoming sample itself is zero.
inline ox_cf32 boxcar_update(boxcar *b, ox_cf32 x) {
    const uint64_t i = b->index;
    const ox_cf32 old = b->ring[i];
    b->sum.re = b->sum.re + (x.re - old.re);
    b->sum.im = b->sum.im + (x.im - old.im);
    b->ring[i] = x;
    b->index = (i + 1 >= b->n) ? 0 : i + 1;
    if (x.re == 0.0f && x.im == 0.0f) [[unlikely]] {
        if (boxcar_window_is_zero(b)) b->sum = {0.0f, 0.0f};
    }
    return {b->sum.re * b->scale, b->sum.im * b->scale};
}

}  // namespace ox
