// Fourth-order CIC decimator for cf32 streams in 64-bit wrapping fixed point (unity DC gain for
// power-of-two factors 2 ... 2048), and the design of its droop-compensating FIR.
#pragma once

#include "common/ox_common.h"

constexpr int CIC_ORDER = 4;

// CIC record. The first 16 words, phase and clipped are the state blob's payload image.
struct cic {
    int64_t integ_i[CIC_ORDER];  // integrator cascade, in-phase path
    int64_t integ_q[CIC_ORDER];  // integrator cascade, quadrature path
    int64_t comb_i[CIC_ORDER];   // previous input of each comb, in-phase
    int64_t comb_q[CIC_ORDER];   // previous input of each comb, quadrature
    uint32_t R;                  // decimation factor, power of two in [2, 2048]
    uint32_t phase;              // inputs taken since the last output, 0 ... R-1
    uint32_t shift;              // 4 * log2(R), the normalising right shift
    uint8_t clipped;             // sticky: some input component was out of range since reset
};
static_assert(offsetof(cic, comb_q) == 96 && offsetof(cic, R) == 128 && offsetof(cic, phase) == 132 &&
              offsetof(cic, clipped) == 140);

OX_API cic *cic_create(uint32_t R);
OX_API void cic_destroy(cic *c);
// Zeroes the 16 state words, the phase and the clipped flag.
OX_API void cic_reset(cic *c);
// Valid R (as for cic_create): store R and shift, then reset. Invalid R changes nothing.
OX_API void cic_reconfigure(cic *c, uint32_t R);
// (R*R)^2 / 2^shift = 1.0.
OX_API double cic_dc_gain(const cic *c);
// Always 0: a call never writes more outputs than inputs.
OX_API size_t cic_decimate_max_out(const cic *c);
// Decimates n inputs by R. Returns the outputs stored (at most out_cap); outputs beyond out_cap
// are computed (the state advances) but not stored. clipped latches any out-of-range input.
OX_API size_t cic_decimate(cic *c, const ox_cf32 *in, size_t n, ox_cf32 *out, size_t out_cap);
// Blob "CIC_" v2, 149 bytes: the 16 state words, phase (u32), clipped (u8).
OX_API size_t cic_state_bytes(const cic *c);
OX_API void cic_get_state(const cic *c, void *buf);
OX_API int cic_set_state(cic *c, const void *buf);
// Symmetric compensator of `count` taps for an order-N, factor-R CIC. Odd counts up to 19 are
// designed; other counts fill taps with zeros.
OX_API void ciccompmf(double *taps, uint32_t N, uint32_t R, uint32_t count);

namespace ox {

// Offset-binary code of one input component: -2.0 ... 32767/16384 in steps of 2^-14 map to
// 0 ... 65535. Out-of-range values saturate and set *clip; NaN maps to 0.0 (code 32768) and also
// sets *clip, since it is no valid input level either.
inline int64_t cic_code(float v, bool *clip) {
    if (v > 1.99993896484375f) {
        *clip = true;
        return 65535;
    }
    if (v < -2.0f) {
        *clip = true;
        return 0;
    }
    if (v != v) {
        *clip = true;
        return 32768;
    }
    return static_cast<int64_t>(static_cast<int16_t>(static_cast<int32_t>(v * 16384.0f))) + 32768;
}

// One comb cascade on integrator 4 and the normalised output component.
inline float cic_comb_out(int64_t y, int64_t *comb, uint32_t shift) {
    for (int k = 0; k < CIC_ORDER; ++k) {
        const int64_t d = comb[k];
        comb[k] = y;
        y = static_cast<int64_t>(static_cast<uint64_t>(y) - static_cast<uint64_t>(d));
    }
    const uint32_t code = static_cast<uint32_t>(static_cast<uint64_t>(y) >> shift) & 0xFFFFu;
    return static_cast<float>(static_cast<int32_t>(code) - 32768) * 0.00006103515625f;
}

// Pushes one sample through the CIC. Returns 1 and writes *y at a decimation instant, else 0.
// Shares the arithmetic of cic_decimate (the block form is a vectorised equal of this).
inline int cic_push(cic *c, ox_cf32 x, ox_cf32 *y) {
    bool clip = false;
    uint64_t vi = static_cast<uint64_t>(cic_code(x.re, &clip));
    uint64_t vq = static_cast<uint64_t>(cic_code(x.im, &clip));
    for (int k = 0; k < CIC_ORDER; ++k) {
        vi += static_cast<uint64_t>(c->integ_i[k]);
        vq += static_cast<uint64_t>(c->integ_q[k]);
        c->integ_i[k] = static_cast<int64_t>(vi);
        c->integ_q[k] = static_cast<int64_t>(vq);
    }
    if (clip) c->clipped = 1;
    if (++c->phase < c->R) return 0;
    c->phase = 0;
    y->re = cic_comb_out(c->integ_i[CIC_ORDER - 1], c->comb_i, c->shift);
    y->im = cic_comb_out(c->integ_q[CIC_ORDER - 1], c->comb_q, c->shift);
    return 1;
}

}  // namespace ox
