// Integer NCO: a 32-bit phase accumulator that emits phase words (2^32 per cycle), raw or scaled
// to a table length, optionally with a per-sample frequency control and a wrap flag.
#pragma once

#include "common/ox_common.h"

struct nco {
    uint32_t phase;      // current phase, 2^32 units per cycle
    uint32_t phase_inc;  // increment per sample, quantised from norm_freq
    double norm_freq;    // cycles per sample as last set (unquantised; may be negative or > 1)
    uint32_t scale;      // output range of the scaled generators; 0 emits the raw phase
};
static_assert(offsetof(nco, phase_inc) == 4 && offsetof(nco, norm_freq) == 8 &&
              offsetof(nco, scale) == 16);

OX_API nco *nco_create(uint32_t scale, double norm_freq);
OX_API void nco_destroy(nco *n);
OX_API void nco_reset(nco *n);
OX_API double nco_get_norm_freq(const nco *n);
OX_API void nco_set_norm_freq(nco *n, double norm_freq);
OX_API uint32_t nco_get_phase(const nco *n);
OX_API void nco_set_phase(nco *n, uint32_t phase);
OX_API uint32_t nco_get_phase_inc(const nco *n);
OX_API size_t nco_state_bytes(const nco *n);
OX_API void nco_get_state(const nco *n, void *buf);
OX_API int nco_set_state(nco *n, const void *buf);

// Generators: each writes k = min(count, cap) phase words (the phase before each step) and
// returns k. Control inputs are frequency offsets in cycles per sample for that one sample.
OX_API size_t nco_steps_u32(nco *n, size_t count, uint32_t *out, size_t cap);
OX_API size_t nco_steps_u32_scaled(nco *n, size_t count, uint32_t *out, size_t cap);
OX_API size_t nco_steps_u32_ovf(nco *n, size_t count, uint32_t *out, uint8_t *ovf, size_t cap);
OX_API size_t nco_steps_u32_ctrl(nco *n, const double *ctrl, size_t count, uint32_t *out,
                                 size_t cap);
OX_API size_t nco_steps_u32_scaled_ctrl(nco *n, const double *ctrl, size_t count, uint32_t *out,
                                        size_t cap);
OX_API size_t nco_steps_u32_ovf_ctrl(nco *n, const double *ctrl, size_t count, uint32_t *out,
                                     uint8_t *ovf, size_t cap);

OX_API size_t nco_steps_u32_max_out(const nco *n);
OX_API size_t nco_steps_u32_scaled_max_out(const nco *n);
OX_API size_t nco_steps_u32_ovf_max_out(const nco *n);
OX_API size_t nco_steps_u32_ctrl_max_out(const nco *n);
OX_API size_t nco_steps_u32_scaled_ctrl_max_out(const nco *n);
OX_API size_t nco_steps_u32_ovf_ctrl_max_out(const nco *n);
