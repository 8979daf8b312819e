// Real-input digital down-converter: the real-to-complex halfband halves the rate and turns the
// real band into a complex one, then a local-oscillator mix and a rate converter at twice the
// requested rate. Lives in the track module only.
#pragma once

#include "common/ox_common.h"
#include "ox_tlm/ox_tlm_core.h"
#include "rate/hbdecim_core.h"
#include "rate/lo_core.h"
#include "rate/rate_converter_core.h"

// Opaque down-converter; owns its halfband, LO and rate converter.
struct ddcr;

// rate is the overall output/input rate, 0 < rate < 0.5; norm_freq is in cycles per sample at
// the halfband's output rate.
OX_API ddcr *ddcr_create(double norm_freq, double rate);
OX_API ddcr *ddcr_create_matched(int pulse, size_t span, size_t num_phases, double norm_freq, double rate,
                                 double rolloff, double sps);
OX_API void ddcr_destroy(ddcr *d);
OX_API void ddcr_reset(ddcr *d);
OX_API double ddcr_get_norm_freq(const ddcr *d);
OX_API void ddcr_set_norm_freq(ddcr *d, double norm_freq);
OX_API double ddcr_get_rate(const ddcr *d);
OX_API size_t ddcr_execute_max_out(const ddcr *d, size_t n_in);
OX_API size_t ddcr_execute_ctrl_max_out(const ddcr *d, size_t n_in);
OX_API size_t ddcr_execute_ctrl_push_max_out(const ddcr *d);
OX_API size_t ddcr_execute(ddcr *d, const float *in, size_t n, ox_cf32 *out, size_t out_cap);
OX_API size_t ddcr_execute_ctrl(ddcr *d, const float *in, size_t n, ox_cf32 *out, size_t out_cap, double ctrl,
                                double lo_ctrl);
OX_API size_t ddcr_execute_ctrl_push_tap2(ddcr *d, ox_cf32 *out, size_t out_cap, ox_cf32 *mix_tap,
                                          int *mix_tapped, ox_cf32 *rc_tap, float x, double ctrl, double lo_ctrl,
                                          int *rc_tapped);
OX_API size_t ddcr_execute_ctrl_push_tap(ddcr *d, ox_cf32 *out, size_t out_cap, ox_cf32 *mix_tap,
                                         int *mix_tapped, float x, double ctrl, double lo_ctrl);
OX_API size_t ddcr_execute_ctrl_push(ddcr *d, ox_cf32 *out, size_t out_cap, float x, double ctrl, double lo_ctrl);
OX_API double ddcr_get_bank_sps(const ddcr *d);
OX_API int ddcr_get_clipped(const ddcr *d);
OX_API int ddcr_set_telemetry(ddcr *d, ox_tlm *tlm, const char *prefix, int decim);
OX_API int ddcr_get_narrow_pulse(const ddcr *d);
// Blob "DDCR" v1: rate (f64), halfband blob, LO blob, converter blob.
OX_API size_t ddcr_state_bytes(const ddcr *d);
OX_API void ddcr_get_state(const ddcr *d, void *buf);
OX_API int ddcr_set_state(ddcr *d, const void *buf);
OX_API size_t ddcr_run(ddcr *d, const void *state_in, void *state_out, const float *in, size_t n, ox_cf32 *out,
                       size_t out_cap);

namespace ox {
// Module-internal: the owned rate converter, oscillator and real-to-complex halfband (see
// ddc_converter).
RateConverter *ddcr_converter(ddcr *d);
lo *ddcr_oscillator(ddcr *d);
hbdecim_r2c *ddcr_halfband(ddcr *d);
}  // namespace ox
