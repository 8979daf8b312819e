// Symbol synchroniser: recovers symbol timing from an oversampled complex baseband stream
// (nominally `sps` samples per symbol) and emits one interpolated sample per symbol.
//
// A 32-bit timing NCO advances once per input sample; its half-way crossing marks the
// mid-symbol (transition) instant and its wrap the on-time instant, the residue of the
// accumulator after the crossing giving the interpolation fraction. A four-sample Farrow
// interpolator forms both strobes, a Gardner or DTTL timing-error detector measures the error
// once per symbol, a proportional-integral loop filter scales the NCO increment, and an
// eye-opening lock detector with block averaging and verify-counted hysteresis reports timing
// lock. Also home of the detector S-curve model used to normalise detector gains.
#pragma once

#include "common/ox_common.h"
#include "loops/lockdet_core.h"
#include "loops/loop_filter_core.h"
#include "timing/farrow_core.h"

struct ox_tlm;

constexpr uint32_t SYMSYNC_N_PROBES = 5;  // ".e", ".freq", ".rate", ".lock", ".locked"

struct symsync {
    uint32_t phase;         // timing NCO; wraps modulo 2^32 once per symbol
    uint32_t inc;           // current NCO increment per input sample
    uint8_t reserved[16];   // always zero
    farrow interp;          // four-sample history and interpolation order
    uint32_t pad0;          // always zero
    loop_filter lf;         // update period 1 (one update per symbol)
    uint64_t sps;           // nominal samples per symbol, >= 1
    uint32_t nominal_inc;   // (uint32)(2^32 / sps), truncated
    uint32_t ted;           // 1 = DTTL, anything else Gardner
    uint32_t have_prev;     // 0 until the first on-time strobe after reset
    ox_cf32 prev;           // previous on-time sample
    ox_cf32 mid;            // latest mid-symbol sample
    uint32_t pad1;          // always zero
    double bn;              // loop noise bandwidth as configured (per symbol)
    double zeta;            // damping as configured
    double timing_error;    // last normalised detector output
    double rate;            // smoothed tracked samples per symbol
    double power_ema;       // EMA of the on-time power
    double block_sum;       // lock signals summed over the current block
    uint64_t block_count;   // looks in the current block, < avgs
    uint64_t avgs;          // looks per lock decision, >= 1
    double lock_stat;       // last block-averaged lock signal
    lockdet ld;             // timing-lock decision
    ox_tlm *tlm;            // attached telemetry context (NULL: detached); never serialised
    int32_t probe_ids[SYMSYNC_N_PROBES];
};
static_assert(offsetof(symsync, inc) == 4 && offsetof(symsync, reserved) == 8 &&
              offsetof(symsync, interp) == 24 && offsetof(symsync, pad0) == 60 &&
              offsetof(symsync, lf) == 64 && offsetof(symsync, sps) == 112 &&
              offsetof(symsync, nominal_inc) == 120 && offsetof(symsync, ted) == 124 &&
              offsetof(symsync, have_prev) == 128 && offsetof(symsync, prev) == 132 &&
              offsetof(symsync, mid) == 140 && offsetof(symsync, pad1) == 148 &&
              offsetof(symsync, bn) == 152 && offsetof(symsync, zeta) == 160 &&
              offsetof(symsync, timing_error) == 168 && offsetof(symsync, rate) == 176 &&
              offsetof(symsync, power_ema) == 184 && offsetof(symsync, block_sum) == 192 &&
              offsetof(symsync, block_count) == 200 && offsetof(symsync, avgs) == 208 &&
              offsetof(symsync, lock_stat) == 216 && offsetof(symsync, ld) == 224 &&
              offsetof(symsync, tlm) == 256 && offsetof(symsync, probe_ids) == 264 &&
              sizeof(symsync) == 288,
              "the record up to the lock detector is the payload image of the state blob");

OX_API symsync *symsync_create(uint64_t sps, int order, int ted, double bn, double zeta);
OX_API void symsync_init(symsync *s, uint64_t sps, int order, int ted, double bn, double zeta);
OX_API void symsync_destroy(symsync *s);
OX_API void symsync_reset(symsync *s);
OX_API void symsync_configure(symsync *s, double bn, double zeta);
OX_API void symsync_set_bn(symsync *s, double bn);
OX_API double symsync_get_bn(const symsync *s);
OX_API size_t symsync_steps(symsync *s, const ox_cf32 *x, size_t n, ox_cf32 *out, size_t out_cap);
OX_API size_t symsync_steps_max_out(const symsync *s);
OX_API double symsync_get_timing_error(const symsync *s);
OX_API double symsync_get_rate(const symsync *s);
OX_API double symsync_get_lock_stat(const symsync *s);
OX_API int symsync_get_locked(const symsync *s);
OX_API int symsync_configure_lock(symsync *s, double rolloff, double esno_min_db, double pfa,
                                  double pd);
OX_API void symsync_configure_lock_raw(symsync *s, uint64_t avgs, int n_up, int n_down,
                                       double up_thresh, double down_thresh);
OX_API int symsync_set_telemetry(symsync *s, ox_tlm *tlm, const char *prefix, unsigned decim);
OX_API void symsync_tlm_flush(symsync *s);
OX_API size_t symsync_state_bytes(const symsync *s);
OX_API void symsync_get_state(const symsync *s, void *buf);
OX_API int symsync_set_state(symsync *s, const void *buf);

// Expected output of the timing-error detector `ted` (1 = DTTL, anything else = Gardner) at a
// timing offset of `tau` symbols for a triangle pulse (pulse = 0) or a raised-cosine pulse of
// roll-off `beta` (any other pulse); Gardner sums the symbol neighbours -span-2 .. span+2.
OX_API double symsync_s_curve(int ted, int pulse, int64_t span, double beta, double tau);
// Magnitude of the S-curve's slope at zero offset (central difference over +-1e-4 symbols).
OX_API double symsync_ted_slope(int ted, int pulse, int64_t span, double beta);
