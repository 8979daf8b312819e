// The per-sample half shared by the integrate-and-dump carrier loops: de-rotate each sample by
// the oscillator phase (table sine and cosine by the oscillator's phase-to-sample rule) and
// sum it into the coherent accumulator, all in float32 and strictly in sample order so that
// results do not depend on how a stream is split into blocks.
#pragma once

#include "common/ox_common.h"
#include "rate/lo_core.h"

namespace ox {

// Accumulates x[0..n) rotated by minus the running phase into (acc_re, acc_im); the phase
// advances by `inc` after each sample. The two sums are sequential dependency chains (one float
// add per sample each); the table lookups only depend on the phase counter.
inline void carrier_accumulate(uint32_t &phase, uint32_t inc, const ox_cf32 *x, size_t n,
                               float &acc_re, float &acc_im) {
    uint32_t p = phase;
    float re = acc_re, im = acc_im;
    for (size_t k = 0; k < n; ++k) {
        const float s = lut_sin(p);
        const float c = lut_cos(p);
        p += inc;
        const float xi = x[k].re, xq = x[k].im;
        re += xi * c + xq * s;
        im += xq * c - xi * s;
    }
    phase = p;
    acc_re = re;
    acc_im = im;
}

}  // namespace ox
