// Costas loop: BPSK carrier tracking with integrate-and-dump.
//
// Every input sample is de-rotated by the embedded oscillator and summed into a coherent
// accumulator; every `tsamps` samples the accumulator is dumped as one prompt symbol, a
// decision-directed Costas discriminator steers the oscillator through the embedded loop filter
// (frequency through the integrator, phase through a direct proportional step), an optional
// frequency-locked-loop term assists pull-in, and a lock-metric EMA drives the embedded
// hysteresis lock detector.
#pragma once

#include "common/ox_common.h"
#include "loops/lockdet_core.h"
#include "loops/loop_filter_core.h"
#include "rate/lo_core.h"

struct ox_tlm;

constexpr double COSTAS_LOCK_ALPHA = 0.1;  // lock-metric EMA coefficient, per dump
constexpr uint32_t COSTAS_N_PROBES = 4;    // ".lock", ".e", ".freq", ".locked"

struct costas {
    lo osc;                  // carrier NCO; osc.norm_freq is the tracked frequency, cycles/sample
    loop_filter lf;          // t = 1 (one update per dump); integ in radians per dump
    uint64_t tsamps;         // samples per dump, >= 1
    double init_norm_freq;   // seed frequency of create, reset and norm_freq assignment
    double bn;               // PLL noise bandwidth, normalised to the dump rate
    double zeta;             // damping
    double bn_fll;           // FLL-assist bandwidth (0: pure PLL)
    double fll_gain;         // 4 * bn_fll
    ox_cf32 acc;             // coherent accumulator of the current dump
    uint64_t n_acc;          // samples in the current dump, < tsamps between calls
    ox_cf32 prev;            // previous dump's accumulator (FLL)
    uint32_t have_prev;      // 1 once a dump happened since the last re-seed
    uint32_t pad0;           // always 0
    double lock_metric;      // EMA of |Re P| / |P|
    lockdet ld;              // defaults: up 0.85, down 0.78, n_up 8, n_down 32
    double last_error;       // last normalised discriminator output
    ox_tlm *tlm;             // attached telemetry context (NULL: detached); never serialised
    int32_t probe_ids[COSTAS_N_PROBES];
};

// The state blob is the memory image of everything up to `last_error`; pin the layout.
static_assert(offsetof(costas, lf) == 16 && offsetof(costas, tsamps) == 64);
static_assert(offsetof(costas, init_norm_freq) == 72 && offsetof(costas, fll_gain) == 104);
static_assert(offsetof(costas, acc) == 112 && offsetof(costas, n_acc) == 120);
static_assert(offsetof(costas, prev) == 128 && offsetof(costas, have_prev) == 136);
static_assert(offsetof(costas, lock_metric) == 144 && offsetof(costas, ld) == 152);
static_assert(offsetof(costas, last_error) == 184 && offsetof(costas, tlm) == 192);
static_assert(sizeof(costas) == 216);

OX_API costas *costas_create(uint64_t tsamps, double bn, double zeta, double init_norm_freq,
                             double bn_fll);
OX_API void costas_init(costas *cl, uint64_t tsamps, double bn, double zeta, double init_norm_freq,
                        double bn_fll);
OX_API void costas_destroy(costas *cl);
OX_API void costas_reset(costas *cl);
OX_API void costas_configure(costas *cl, double bn, double zeta);
OX_API double costas_get_bn(const costas *cl);
OX_API void costas_set_bn(costas *cl, double bn);
OX_API double costas_get_bn_fll(const costas *cl);
OX_API void costas_set_bn_fll(costas *cl, double bn_fll);
OX_API double costas_get_norm_freq(const costas *cl);
OX_API void costas_set_norm_freq(costas *cl, double norm_freq);
OX_API double costas_get_nco_freq(const costas *cl);
OX_API double costas_get_lock_metric(const costas *cl);
OX_API int costas_get_locked(const costas *cl);
OX_API double costas_get_last_error(const costas *cl);
OX_API void costas_configure_lock(costas *cl, uint32_t n_up, uint32_t n_down, double up_thresh,
                                  double down_thresh);
OX_API size_t costas_state_bytes(const costas *cl);
OX_API void costas_get_state(const costas *cl, void *buf);
OX_API int costas_set_state(costas *cl, const void *buf);
OX_API size_t costas_steps(costas *cl, const ox_cf32 *x, size_t n, ox_cf32 *out, size_t cap);
OX_API size_t costas_steps_max_out(const costas *cl);
OX_API int costas_set_telemetry(costas *cl, ox_tlm *tlm, const char *prefix, int decim);
OX_API void costas_tlm_flush(costas *cl);
