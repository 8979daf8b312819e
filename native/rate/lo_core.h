// Local oscillator: a 32-bit phase accumulator producing e^{+j theta} from the shared sine table.
#pragma once

#include "common/ox_common.h"

// The process-image-wide sine table: entry i = sinf((float)i * c), c = float nearest 2*pi/65536.
constexpr size_t LO_LUT_SIZE = 65536;
OX_API float lo_sin_lut[LO_LUT_SIZE];

// LO record (embedded by value in the carrier loops and the down-converters).
struct lo {
    uint32_t phase;      // current phase word, 2^32 per cycle
    uint32_t phase_inc;  // increment per sample, quantised from norm_freq
    double norm_freq;    // frequency exactly as last given, cycles per sample
};
static_assert(sizeof(lo) == 16 && offsetof(lo, norm_freq) == 8);

OX_API void lo_init(lo *osc, double norm_freq);
OX_API lo *lo_create(double norm_freq);
OX_API void lo_destroy(lo *osc);
OX_API void lo_reset(lo *osc);
OX_API double lo_get_norm_freq(const lo *osc);
OX_API void lo_set_norm_freq(lo *osc, double norm_freq);
OX_API uint32_t lo_get_phase(const lo *osc);
OX_API void lo_set_phase(lo *osc, uint32_t phase);
OX_API uint32_t lo_get_phase_inc(const lo *osc);
OX_API size_t lo_state_bytes(const lo *osc);
OX_API void lo_get_state(const lo *osc, void *buf);
OX_API int lo_set_state(lo *osc, const void *buf);
OX_API size_t lo_steps_max_out(const lo *osc);
OX_API size_t lo_steps_ctrl_max_out(const lo *osc);
OX_API size_t lo_steps(lo *osc, size_t n, ox_cf32 *out, size_t out_len);
OX_API size_t lo_steps_ctrl(lo *osc, const double *ctrl, size_t n, ox_cf32 *out, size_t out_len);

namespace ox {

// Table lookups by the phase-to-sample rule: top 16 bits index the sine, a quarter turn ahead
// gives the cosine; the low 16 bits are discarded (no interpolation).
inline float lut_sin(uint32_t phase) { return lo_sin_lut[phase >> 16]; }
inline float lut_cos(uint32_t phase) { return lo_sin_lut[((phase >> 16) + 16384u) & 0xFFFFu]; }

// lo_set_norm_freq inline, for loops that retune their oscillator on the hot path: the
// increment quantised from the new frequency, the phase kept.
inline void lo_retune(lo *osc, double norm_freq) {
    osc->phase_inc = freq_to_phase_inc(norm_freq);
    osc->norm_freq = norm_freq;
}

// Builds the table once per module image (idempotent; racing first callers write equal values).
void lo_build_table();

}  // namespace ox
