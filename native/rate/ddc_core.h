// Complex digital down-converter: a local-oscillator mix followed by a rate converter. The plain
// form (no CIC compensation) feeds the spectrum analyzer; the matched form, driven sample by
// sample with LO and timing corrections, is the front end of the complex M-PSK receivers.
#pragma once

#include "common/ox_common.h"
#include "ox_tlm/ox_tlm_core.h"
#include "rate/lo_core.h"
#include "rate/rate_converter_core.h"

// Opaque down-converter; owns its LO and rate converter.
struct ddc;

// LO at norm_freq (cycles per input sample) and a plain converter at rate. NULL for rate <= 0.
OX_API ddc *ddc_create(double norm_freq, double rate);
// Matched converter (CIC compensation on) with the given pulse (0 "iandd", 1 "rrc").
OX_API ddc *ddc_create_matched(int pulse, size_t span, size_t num_phases, double norm_freq, double rate,
                               double rolloff, double sps);
OX_API void ddc_destroy(ddc *d);
// LO phase to 0 and the converter reset.
OX_API void ddc_reset(ddc *d);
OX_API double ddc_get_norm_freq(const ddc *d);
// Phase-continuous retune of the LO.
OX_API void ddc_set_norm_freq(ddc *d, double norm_freq);
OX_API double ddc_get_rate(const ddc *d);
OX_API size_t ddc_execute_max_out(const ddc *d, size_t n_in);
OX_API size_t ddc_execute_ctrl_max_out(const ddc *d, size_t n_in);
OX_API size_t ddc_execute_ctrl_push_max_out(const ddc *d);
// Mix n samples with the LO and run the converter over them; returns outputs written.
OX_API size_t ddc_execute(ddc *d, const ox_cf32 *in, size_t n, ox_cf32 *out, size_t out_cap);
// As execute with a constant LO frequency correction lo_ctrl (cycles per sample) and the
// converter's controlled mode with correction ctrl.
OX_API size_t ddc_execute_ctrl(ddc *d, const ox_cf32 *in, size_t n, ox_cf32 *out, size_t out_cap, double ctrl,
                               double lo_ctrl);
// One sample; reports the mixed sample (mix_tap) and the sample entering the terminal stage
// (rc_tap). Every tap pointer may be NULL.
OX_API size_t ddc_execute_ctrl_push_tap2(ddc *d, ox_cf32 *out, size_t out_cap, ox_cf32 *mix_tap,
                                         int *mix_tapped, ox_cf32 *rc_tap, ox_cf32 x, double ctrl,
                                         double lo_ctrl, int *rc_tapped);
OX_API size_t ddc_execute_ctrl_push_tap(ddc *d, ox_cf32 *out, size_t out_cap, ox_cf32 *mix_tap, int *mix_tapped,
                                        ox_cf32 x, double ctrl, double lo_ctrl);
OX_API size_t ddc_execute_ctrl_push(ddc *d, ox_cf32 *out, size_t out_cap, ox_cf32 x, double ctrl, double lo_ctrl);
OX_API double ddc_get_bank_sps(const ddc *d);
OX_API int ddc_get_clipped(const ddc *d);
OX_API int ddc_set_telemetry(ddc *d, ox_tlm *tlm, const char *prefix, int decim);
OX_API int ddc_get_narrow_pulse(const ddc *d);
// Blob "DDC_" v1: converter rate (f64), LO blob, converter blob.
OX_API size_t ddc_state_bytes(const ddc *d);
OX_API void ddc_get_state(const ddc *d, void *buf);
OX_API int ddc_set_state(ddc *d, const void *buf);
// Optional restore, block execution, optional snapshot; 0 without processing on a rejected blob.
OX_API size_t ddc_run(ddc *d, const void *state_in, void *state_out, const ox_cf32 *in, size_t n, ox_cf32 *out,
                      size_t out_cap);

namespace ox {

// Module-internal: the owned rate converter and oscillator (the receivers bind their timing loop
// to the converter's terminal stage and drive the chain sample by sample).
RateConverter *ddc_converter(ddc *d);
lo *ddc_oscillator(ddc *d);

// Samples mixed per chunk by the block forms (a buffer of this size lives in each object).
constexpr size_t kDdcChunk = 4096;

// Mixes n samples with the LO: out[k] = in[k] * e^{+j theta_k}, then the phase advances by the
// LO increment plus `extra_inc` (a quantised frequency correction). out may equal in.
inline void ddc_mix_block(lo *osc, const ox_cf32 *in, ox_cf32 *out, size_t n, uint32_t extra_inc) {
    uint32_t ph = osc->phase;
    const uint32_t inc = osc->phase_inc + extra_inc;
    for (size_t k = 0; k < n; ++k) {
        const float c = lut_cos(ph), s = lut_sin(ph);
        const ox_cf32 x = in[k];
        out[k] = ox_cf32{c * x.re - s * x.im, s * x.re + c * x.im};
        ph += inc;
    }
    osc->phase = ph;
}

inline ox_cf32 ddc_mix_one(lo *osc, ox_cf32 x, uint32_t extra_inc) {
    ox_cf32 y;
    ddc_mix_block(osc, &x, &y, 1, extra_inc);
    return y;
}

}  // namespace ox
