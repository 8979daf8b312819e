// Decision-directed M-PSK carrier loop (BPSK, QPSK, 8-PSK) with integrate-and-dump.
//
// The same oscillator, accumulator, loop filter, proportional phase step and FLL assist as the
// Costas loop, but each dumped prompt is sliced to the nearest of `m` constellation points and
// the discriminator measures the prompt's phase against that decision. It settles on one of `m`
// phases (the M-fold ambiguity is left to the caller), keeps a lock metric, and has no lock
// detector and no telemetry.
#pragma once

#include "common/ox_common.h"
#include "loops/loop_filter_core.h"
#include "rate/lo_core.h"

constexpr double CARRIER_MPSK_LOCK_ALPHA = 0.1;  // lock-metric EMA coefficient, per dump

struct carrier_mpsk {
    lo osc;                  // carrier NCO; osc.norm_freq is the tracked frequency, cycles/sample
    loop_filter lf;          // t = 1 (one update per dump); integ in radians per dump
    uint64_t tsamps;         // samples per dump, >= 1
    double init_norm_freq;   // seed frequency
    double bn;               // loop noise bandwidth, normalised to the dump rate
    double zeta;             // damping
    double bn_fll;           // FLL-assist bandwidth (0: off)
    double fll_gain;         // 4 * bn_fll
    int32_t m;               // constellation order: 2, 4 or 8
    ox_cf32 acc;             // coherent accumulator of the current dump
    uint32_t pad0;           // always 0
    uint64_t n_acc;          // samples in the current dump, < tsamps between calls
    ox_cf32 prev;            // previous dump's decision-rotated prompt (FLL)
    double prev_mag;         // previous dump's prompt magnitude
    uint32_t have_prev;      // 1 once a dump happened since the last re-seed
    uint32_t pad1;           // always 0
    double lock_metric;      // EMA of Re(P conj(decision)) / |P|
    double last_error;       // last discriminator output
};

// The state blob is the memory image of the whole record; pin the layout.
static_assert(offsetof(carrier_mpsk, lf) == 16 && offsetof(carrier_mpsk, tsamps) == 64);
static_assert(offsetof(carrier_mpsk, fll_gain) == 104 && offsetof(carrier_mpsk, m) == 112);
static_assert(offsetof(carrier_mpsk, acc) == 116 && offsetof(carrier_mpsk, n_acc) == 128);
static_assert(offsetof(carrier_mpsk, prev) == 136 && offsetof(carrier_mpsk, prev_mag) == 144);
static_assert(offsetof(carrier_mpsk, have_prev) == 152 && offsetof(carrier_mpsk, lock_metric) == 160);
static_assert(offsetof(carrier_mpsk, last_error) == 168 && sizeof(carrier_mpsk) == 176);

OX_API carrier_mpsk *carrier_mpsk_create(uint64_t tsamps, int m, double bn, double zeta,
                                         double init_norm_freq, double bn_fll);
OX_API int carrier_mpsk_init(carrier_mpsk *p, uint64_t tsamps, int m, double bn, double zeta,
                             double init_norm_freq, double bn_fll);
OX_API void carrier_mpsk_destroy(carrier_mpsk *p);
OX_API void carrier_mpsk_reset(carrier_mpsk *p);
OX_API void carrier_mpsk_configure(carrier_mpsk *p, double bn, double zeta);
OX_API double carrier_mpsk_get_bn(const carrier_mpsk *p);
OX_API void carrier_mpsk_set_bn(carrier_mpsk *p, double bn);
OX_API double carrier_mpsk_get_norm_freq(const carrier_mpsk *p);
OX_API void carrier_mpsk_set_norm_freq(carrier_mpsk *p, double norm_freq);
OX_API double carrier_mpsk_get_bn_fll(const carrier_mpsk *p);
OX_API void carrier_mpsk_set_bn_fll(carrier_mpsk *p, double bn_fll);
OX_API double carrier_mpsk_get_lock_metric(const carrier_mpsk *p);
OX_API double carrier_mpsk_get_last_error(const carrier_mpsk *p);
OX_API int carrier_mpsk_get_m(const carrier_mpsk *p);
OX_API size_t carrier_mpsk_state_bytes(const carrier_mpsk *p);
OX_API void carrier_mpsk_get_state(const carrier_mpsk *p, void *buf);
OX_API int carrier_mpsk_set_state(carrier_mpsk *p, const void *buf);
OX_API size_t carrier_mpsk_steps(carrier_mpsk *p, const ox_cf32 *x, size_t n, ox_cf32 *out,
                                 size_t cap);
OX_API size_t carrier_mpsk_steps_max_out(const carrier_mpsk *p);
