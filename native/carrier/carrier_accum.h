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

// The block loop of an integrate-and-dump carrier loop record (fields `osc`, `tsamps`, `acc`,
// `n_acc`): accumulate up to the next dump boundary without per-sample tests, call
// `on_dump(pr, pi)` with the dump's sums, write the prompt (sums divided by tsamps) while
// fewer than `cap` were written, clear the accumulator, repeat. A partial dump is carried to
// the next call, so the output does not depend on how the stream is split into blocks.
template <class Loop, class OnDump>
inline size_t integrate_and_dump(Loop *p, const ox_cf32 *x, size_t n, ox_cf32 *out, size_t cap,
                                 OnDump &&on_dump) {
    const uint64_t tsamps = p->tsamps;
    const float scale = static_cast<float>(tsamps);
    size_t written = 0;
    size_t i = 0;
    while (i < n) {
        const uint64_t need = tsamps - p->n_acc;  // >= 1: n_acc < tsamps between dumps
        const size_t take = need < n - i ? static_cast<size_t>(need) : n - i;
        carrier_accumulate(p->osc.phase, p->osc.phase_inc, x + i, take, p->acc.re, p->acc.im);
        p->n_acc += take;
        i += take;
        if (p->n_acc < tsamps) break;
        const float pr = p->acc.re, pi = p->acc.im;
        on_dump(pr, pi);
        if (written < cap) out[written++] = {pr / scale, pi / scale};
        p->acc = {0.0f, 0.0f};
        p->n_acc = 0;
    }
    return written;
}

}  // namespace ox
