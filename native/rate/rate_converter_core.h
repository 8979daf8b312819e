// Multi-stage rate converter for cf32 streams: a planned cascade of at most three stages taken
// from halfband decimators, a fourth-order CIC (optionally followed by its droop-compensating
// FIR) and a polyphase resampler. The plain kind ends in a Kaiser-sinc resampler when needed;
// the matched kind always ends in a resampler whose bank is a matched filter ("iandd" or "rrc")
// and may carry an AGC in front of that terminal stage.
#pragma once

#include "common/ox_common.h"
#include "ox_tlm/ox_tlm_core.h"

// Opaque converter object; owns its stages, scratch buffers and AGC.
struct RateConverter;
struct resamp;
struct agc;

// Stage kinds and pulse codes as held by the converter.
enum : int {
    OX_RC_STAGE_HALFBAND = 0,
    OX_RC_STAGE_CIC = 1,
    OX_RC_STAGE_RESAMPLER = 2,
};
enum : uint32_t {
    OX_RC_PULSE_IANDD = 0,
    OX_RC_PULSE_RRC = 1,
    OX_RC_PULSE_NONE = 2,
};

// Plain converter at rate = output/input; comp adds a compensation FIR behind each CIC stage.
// NULL for rate not > 0 or a stage that cannot be built.
OX_API RateConverter *RateConverter_create(int comp, double rate);
// Matched converter: terminal resampler with a matched-filter bank of num_phases branches
// (power of two > 1) for an "iandd" (pulse 0) or "rrc" (pulse 1) pulse at sps output samples per
// symbol; comp folds the CIC compensator into the bank. NULL for invalid arguments.
OX_API RateConverter *RateConverter_create_matched(int comp, uint32_t pulse, size_t span,
                                                   size_t num_phases, double rate, double rolloff,
                                                   double sps);
OX_API void RateConverter_destroy(RateConverter *rc);
// Resets every stage and the AGC; configuration and telemetry are kept.
OX_API void RateConverter_reset(RateConverter *rc);
// Re-plans for a new rate (ignored unless rate > 0); stages restart from zero and an AGC is
// rebuilt for the new bank with its last parameters.
OX_API void RateConverter_set_rate(RateConverter *rc, double rate);
OX_API double RateConverter_get_rate(const RateConverter *rc);

// Block execution; returns the number of outputs written (at most out_cap).
OX_API size_t RateConverter_execute(RateConverter *rc, const ox_cf32 *in, size_t n_in,
                                    ox_cf32 *out, size_t out_cap);
// As execute, but a terminal resampler runs in controlled mode with the constant correction ctrl.
OX_API size_t RateConverter_execute_ctrl(RateConverter *rc, const ox_cf32 *in, size_t n_in,
                                         ox_cf32 *out, size_t out_cap, double ctrl);
// One input sample through the cascade.
OX_API size_t RateConverter_execute_ctrl_push(RateConverter *rc, ox_cf32 *out, size_t out_cap,
                                              ox_cf32 x, double ctrl);
// As push; also reports the sample that entered the terminal stage (tap, tapped may be NULL).
OX_API size_t RateConverter_execute_ctrl_push_tap(RateConverter *rc, ox_cf32 *out, size_t out_cap,
                                                  ox_cf32 *tap, int *tapped, ox_cf32 x,
                                                  double ctrl);
OX_API size_t RateConverter_execute_max_out(const RateConverter *rc);
OX_API size_t RateConverter_execute_ctrl_max_out(const RateConverter *rc);
OX_API size_t RateConverter_execute_ctrl_push_max_out(const RateConverter *rc);

// AGC in front of the terminal stage of a matched converter (bw per symbol, alpha per sample).
OX_API int RateConverter_enable_agc(RateConverter *rc, double bw, double alpha);
OX_API double RateConverter_agc_ref_db(const RateConverter *rc);
OX_API double RateConverter_agc_gain_db(const RateConverter *rc);
OX_API int RateConverter_set_telemetry(RateConverter *rc, ox_tlm *tlm, const char *prefix,
                                       int decim);

OX_API int RateConverter_get_clipped(const RateConverter *rc);
OX_API double RateConverter_gain(const RateConverter *rc);
OX_API int RateConverter_num_stages(const RateConverter *rc);
OX_API int RateConverter_stage_label(const RateConverter *rc, int index, char *buf, size_t size);
OX_API const char *RateConverter_stages_value(const RateConverter *rc, int index);
OX_API int RateConverter_num_bank_shape(const RateConverter *rc);
OX_API size_t RateConverter_bank_shape_value(const RateConverter *rc, int which);
OX_API double RateConverter_get_bank_sps(const RateConverter *rc);
OX_API int RateConverter_get_narrow_pulse(const RateConverter *rc);

// Create a plain converter, run one block, destroy it; 0 when creation fails.
OX_API size_t RateConverter_convert(int comp, const ox_cf32 *in, size_t n_in, ox_cf32 *out,
                                    size_t out_cap, double rate);

namespace ox {
// Module-internal (not exported): one piece of a block that a caller feeds in consecutive
// pieces (the down-converters mix in fixed chunks). Runs the piece as RateConverter_execute
// (ctrl null) or RateConverter_execute_ctrl (*ctrl). `*cut` must be false at the start of the
// whole block and is carried from piece to piece: it records that the terminal stage's output
// capacity has run out, so that the pieces together act exactly like one call over the block.
size_t rc_execute_piece(RateConverter *rc, const ox_cf32 *in, size_t n_in, ox_cf32 *out,
                        size_t out_cap, const double *ctrl, bool *cut);

// Module-internal: what a timing loop binds to on a converter and what a per-sample caller drives
// directly. `stage` is the terminal polyphase resampler (null when the last stage is not one);
// pulse, span and rolloff describe the matched bank (pulse OX_RC_PULSE_NONE for a plain
// converter); `front` counts the stages before the terminal one; `gain` is the AGC in front of
// the terminal stage (null without one).
struct RcTerminal {
    resamp *stage;
    uint32_t pulse;
    size_t span;
    double rolloff;
    int front;
    agc *gain;
};
RcTerminal rc_terminal(RateConverter *rc);
// One sample through the stages before the terminal one, as RateConverter_execute_ctrl_push
// runs them; false when they yield nothing for this sample.
bool rc_push_front(RateConverter *rc, ox_cf32 x, ox_cf32 *y);

// trunc(v) + 2 for an output bound, saturating at SIZE_MAX for rates too large to count.
inline size_t rc_bound_plus2(double v) {
    if (!(v < 0x1p64)) return SIZE_MAX;
    const uint64_t t = static_cast<uint64_t>(v);
    return t > SIZE_MAX - 2 ? SIZE_MAX : static_cast<size_t>(t + 2);
}
}  // namespace ox

// Blob "RCVT" v2: the stages' own blobs in stage order (CIC then its FIR), then the AGC's.
OX_API size_t RateConverter_state_bytes(const RateConverter *rc);
OX_API void RateConverter_get_state(const RateConverter *rc, void *buf);
OX_API int RateConverter_set_state(RateConverter *rc, const void *buf);
