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
// add per sample each); the table lookups only depend on the phase counter. The empty asm keeps
// the phase counter a scalar register: vectorising the counter would put vector set-up,
// lane extracts and shuffles between a new increment and the first lookups of a dump, which is
// the dump-to-dump critical path of the loops (about 1 cycle per sample at tsamps 16).
inline void carrier_accumulate(uint32_t &phase, uint32_t inc, const ox_cf32 *x, size_t n,
                               float &acc_re, float &acc_im) {
    uint32_t p = phase;
    float re = acc_re, im = acc_im;
    for (size_t k = 0; k < n; ++k) {
        asm("" : "+r"(p));
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

// The per-dump oscillator retune of an integrate-and-dump loop: lo_set_norm_freq(osc, integ /
// tsamps / 2pi) with integ in radians per dump, shortened on the dump-to-dump dependency chain
// without changing a result bit. For a power-of-two tsamps = 2^k:
// - integ / tsamps is integ * 2^-k (both are the correctly rounded value of the same real
//   number), a multiply instead of a division;
// - the quantiser's 2^32 * f (f the new frequency; freq_to_phase_inc's path for |f| < 1) is
//   computed directly as integ / (2pi * 2^(k-32)): the real quotient is 2^32 times the one that
//   f rounds, and scaling by a power of two commutes with rounding while the numbers are
//   normal (|2^32 f| >= 2^-900 here), so it is exactly 2^32 * f, with one division and no
//   multiply on the chain. Frequencies outside that range (|f| >= 1, tiny, NaN) and other
//   lengths take lo_retune (freq_to_phase_inc) itself.
struct DumpRetune {
    double d, inv, d_phase;  // tsamps, 1 / tsamps, 2pi * tsamps / 2^32
    bool pow2;
    explicit DumpRetune(uint64_t tsamps)
        : d(static_cast<double>(tsamps)), inv(1.0 / d), d_phase(kTwoPi * d / 4294967296.0),
          pow2((tsamps & (tsamps - 1)) == 0) {}

    void operator()(lo &osc, double integ) const {
        if (!pow2) {
            lo_retune(&osc, integ / d / kTwoPi);
            return;
        }
        const double f = integ * inv / kTwoPi;
        const double t = integ / d_phase;  // == 2^32 * f, see above
        const double at = __builtin_fabs(t);
        if (at < 4294967296.0 && at >= 0x1p-900) [[likely]] {
            // freq_to_phase_inc's |f| < 1 path on t = 2^32 * f; t + 2^32 > 0 for t < 0.
            const double w = t + (t < 0.0 ? 4294967296.0 : 0.0);
            osc.phase_inc = w >= 4294967296.0 ? 0xFFFFFFFFu : static_cast<uint32_t>(w);
            osc.norm_freq = f;
        } else {
            lo_retune(&osc, f);
        }
    }
};

// The accumulator magnitude of a dump, sqrt(pr^2 + pi^2) + 1e-12 in float32. Once the root is
// at least 2^-14 (power at least 2^-28) the 1e-12 is below half an ulp of it and the sum rounds
// back to the root, so the add is skipped there (a predictable branch on the signal level).
inline float dump_magnitude(float pr, float pi) {
    const float power = pr * pr + pi * pi;
    const float root = __builtin_sqrtf(power);
    if (power >= 0x1p-28f) [[likely]] return root;
    return root + 1e-12f;
}

// The block loop of an integrate-and-dump carrier loop record (fields `osc`, `tsamps`, `acc`,
// `n_acc`): accumulate up to the next dump boundary without per-sample tests, call
// `on_dump(osc, pr, pi)` with the dump's sums (the dump retunes and steps `osc`), write the
// prompt (sums divided by tsamps) while fewer than `cap` were written, clear the accumulator,
// repeat. A partial dump is carried to the next call, so the output does not depend on how the
// stream is split into blocks. The oscillator and the accumulator are worked on as locals and
// written back at the end, so the dump-to-dump path (new increment -> next phases) stays in
// registers.
template <class Loop, class OnDump>
inline size_t integrate_and_dump(Loop *p, const ox_cf32 *x, size_t n, ox_cf32 *out, size_t cap,
                                 OnDump &&on_dump) {
    const uint64_t tsamps = p->tsamps;
    const float scale = static_cast<float>(tsamps);
    lo osc = p->osc;
    float re = p->acc.re, im = p->acc.im;
    uint64_t n_acc = p->n_acc;
    size_t written = 0;
    size_t i = 0;
    while (i < n) {
        const uint64_t need = tsamps - n_acc;  // >= 1: n_acc < tsamps between dumps
        const size_t take = need < n - i ? static_cast<size_t>(need) : n - i;
        carrier_accumulate(osc.phase, osc.phase_inc, x + i, take, re, im);
        n_acc += take;
        i += take;
        if (n_acc < tsamps) break;
        on_dump(osc, re, im);
        if (written < cap) out[written++] = {re / scale, im / scale};
        re = 0.0f;
        im = 0.0f;
        n_acc = 0;
    }
    p->osc = osc;
    p->acc = {re, im};
    p->n_acc = n_acc;
    return written;
}

}  // namespace ox
