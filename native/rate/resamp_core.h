// Arbitrary-ratio polyphase resampler for cf32 streams: num_phases branches of num_taps real taps,
// selected by the top bits of a 32-bit phase. Rate mode (interpolating for rate >= 1, transposed
// accumulate-and-dump decimating form below 1), controlled mode (one input at a time with a
// per-sample rate correction) and fill mode (exactly n outputs at the fixed ratio).
#pragma once

#include "common/ox_common.h"

// Opaque resampler object; owns its bank, ring and accumulators.
struct resamp;

// Default bank: Kaiser-windowed sinc, 4096 phases x 19 taps, cut-off at half the input rate.
// NULL when rate is not > 0 or memory runs out.
OX_API resamp *resamp_create(double rate);
// Copies bank[num_phases * num_taps] (row p = branch p). NULL for zero sizes, a NULL bank,
// num_phases not a power of two, rate not > 0, or no memory.
OX_API resamp *resamp_create_custom(size_t num_phases, size_t num_taps, const float *bank,
                                    double rate);
OX_API void resamp_destroy(resamp *r);
// Phases, ring position, controlled-mode counters and all histories back to zero.
OX_API void resamp_reset(resamp *r);
OX_API double resamp_get_rate(const resamp *r);
// Retunes (rate, up flag, increment) keeping phases and histories; rate not > 0 is ignored.
OX_API void resamp_set_rate(resamp *r, double rate);
OX_API size_t resamp_get_num_phases(const resamp *r);
OX_API size_t resamp_get_num_taps(const resamp *r);
// Group delay in input samples: ((L*T) >> 1) / L + 1 (10.5 for the default bank).
OX_API double resamp_get_delay(const resamp *r);
// Sum of the taps of branch 0, in double.
OX_API double resamp_dc_gain(const resamp *r);
// Controlled-mode fractional phase in [0, 1).
OX_API double resamp_get_ctrl_acc(const resamp *r);
// Inputs resamp_interp_fill(n_out) will take: (n_out * inc + acc) >> 32, n_out when inc is 0.
OX_API size_t resamp_interp_inputs_needed(const resamp *r, size_t n_out);
// Exactly n_out interpolating-form outputs; returns the number of inputs taken from in.
OX_API size_t resamp_interp_fill(resamp *r, const ox_cf32 *in, ox_cf32 *out, size_t n_out);
// Rate mode over a block; returns the number of outputs written (at most out_cap).
OX_API size_t resamp_execute(resamp *r, const ox_cf32 *in, size_t n_in, ox_cf32 *out,
                             size_t out_cap);
// Controlled mode, one input x with rate correction ctrl; returns outputs written.
OX_API size_t resamp_execute_ctrl_push(resamp *r, ox_cf32 *out, size_t out_cap, ox_cf32 x,
                                       double ctrl);
// Controlled mode over a block: pushes in[i] with ctrl[i] while outputs fit.
OX_API size_t resamp_execute_ctrl(resamp *r, const ox_cf32 *in, const double *ctrl, size_t n_in,
                                  ox_cf32 *out, size_t out_cap);
// Blob "RSMP" v2: acc, ring_pos, ctrl_acc, ctrl_skip, ctrl_backlog, ring, dump_acc, dump_tail.
OX_API size_t resamp_state_bytes(const resamp *r);
OX_API void resamp_get_state(const resamp *r, void *buf);
OX_API int resamp_set_state(resamp *r, const void *buf);

namespace ox {
// Module-internal: the controlled mode split in two for callers that push many samples with the
// same correction (the receivers change it once per symbol). resamp_ctrl_step is the step
// between outputs for a correction (whole input samples and a 32-bit fraction);
// resamp_ctrl_push_sparse is resamp_execute_ctrl_push with that step, except that output k of
// the call is filtered only when bit k of `want` is set (from k = 32 on always) and written as 0
// otherwise: a caller that reads only some outputs skips the filter for the others, and every
// phase, count and history advances exactly as in the full push.
struct ResampStep {
    uint32_t whole;
    uint32_t frac;
};
ResampStep resamp_ctrl_step(const resamp *r, double ctrl);
size_t resamp_ctrl_push_sparse(resamp *r, ox_cf32 *out, size_t out_cap, ox_cf32 x, ResampStep step,
                               uint32_t want);
}  // namespace ox
