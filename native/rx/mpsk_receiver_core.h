// M-PSK receivers: complete demodulators from oversampled samples to symbols and hard bits.
// A matched down-converter (oscillator mix, rate converter with optional AGC, and for real input
// the 2:1 real-to-complex halfband in front) whose terminal polyphase stage is the matched
// filter and the fractional timing interpolator, driven sample by sample by the receiver loop
// core: its timing loop steers the terminal stage's rate control, its carrier loop the
// oscillator's frequency control. One core serves complex and real input.
#pragma once

#include "common/ox_common.h"
#include "ox_tlm/ox_tlm_core.h"
#include "rx/mpsk_rx_loops_core.h"

struct mpsk_receiver;

OX_API mpsk_receiver *mpsk_receiver_create(int m, uint64_t m_out, int pulse, int rrc_span, int differential,
                                           uint64_t num_phases, double sps, double rrc_beta, double bn_carrier,
                                           double zeta, double bn_timing, double lock_thresh,
                                           double init_norm_freq, double bn_agc_ratio, int agc);
OX_API mpsk_receiver *mpsk_receiver_create_real(int m, uint64_t m_out, int pulse, int rrc_span,
                                                int differential, uint64_t num_phases, double sps,
                                                double rrc_beta, double bn_carrier, double zeta,
                                                double bn_timing, double lock_thresh, double init_norm_freq,
                                                double bn_agc_ratio, int agc);
OX_API mpsk_receiver *mpsk_receiver_create_bpsk(int pulse, int rrc_span, int differential, int agc,
                                                double sample_rate_hz, double symbol_rate_hz,
                                                double carrier_freq_hz, double rrc_beta, double bn_carrier,
                                                double bn_timing);
OX_API void mpsk_receiver_destroy(mpsk_receiver *r);
OX_API void mpsk_receiver_reset(mpsk_receiver *r);

// Block functions: symbols (complex64) or bits (one per byte, least significant bit of each
// symbol first) from complex64 or float32 samples. Every input advances the state; outputs past
// cap are dropped. The real-input forms on a complex receiver (and the reverse) produce nothing.
OX_API size_t mpsk_receiver_steps(mpsk_receiver *r, const ox_cf32 *x, size_t n, ox_cf32 *out, size_t cap);
OX_API size_t mpsk_receiver_steps_real(mpsk_receiver *r, const float *x, size_t n, ox_cf32 *out, size_t cap);
OX_API size_t mpsk_receiver_bits(mpsk_receiver *r, const ox_cf32 *x, size_t n, uint8_t *out, size_t cap);
OX_API size_t mpsk_receiver_bits_real(mpsk_receiver *r, const float *x, size_t n, uint8_t *out, size_t cap);
OX_API size_t mpsk_receiver_steps_max_out(const mpsk_receiver *r);
OX_API size_t mpsk_receiver_steps_real_max_out(const mpsk_receiver *r);
OX_API size_t mpsk_receiver_bits_max_out(const mpsk_receiver *r);
OX_API size_t mpsk_receiver_bits_real_max_out(const mpsk_receiver *r);

OX_API double mpsk_receiver_get_norm_freq(const mpsk_receiver *r);
OX_API double mpsk_receiver_get_nco_freq(const mpsk_receiver *r);
OX_API void mpsk_receiver_set_norm_freq(mpsk_receiver *r, double f);
OX_API double mpsk_receiver_get_lock(const mpsk_receiver *r);
OX_API int mpsk_receiver_get_locked(const mpsk_receiver *r);
OX_API int64_t mpsk_receiver_get_lock_time(const mpsk_receiver *r);
OX_API double mpsk_receiver_get_last_error(const mpsk_receiver *r);
OX_API double mpsk_receiver_get_timing_rate(const mpsk_receiver *r);
OX_API int mpsk_receiver_get_m(const mpsk_receiver *r);
OX_API double mpsk_receiver_get_sps(const mpsk_receiver *r);
OX_API uint64_t mpsk_receiver_get_m_out(const mpsk_receiver *r);
OX_API double mpsk_receiver_get_zeta(const mpsk_receiver *r);
OX_API double mpsk_receiver_get_bn_agc_ratio(const mpsk_receiver *r);
OX_API double mpsk_receiver_get_lock_thresh(const mpsk_receiver *r);
OX_API double mpsk_receiver_get_lock_drop_thresh(const mpsk_receiver *r);
OX_API double mpsk_receiver_get_sync_lock_thresh(const mpsk_receiver *r);
OX_API double mpsk_receiver_get_sync_lock_drop_thresh(const mpsk_receiver *r);
OX_API uint64_t mpsk_receiver_get_num_phases(const mpsk_receiver *r);
OX_API int mpsk_receiver_get_clipped(const mpsk_receiver *r);
OX_API double mpsk_receiver_get_agc_gain_db(const mpsk_receiver *r);
OX_API int mpsk_receiver_set_telemetry(mpsk_receiver *r, ox_tlm *tlm, const char *prefix, int decim);
// Blob "MPSK" v6 (complex input) or "MPSR" v2 (real input): the down-converter's blob, then the
// loop core's "MRXL" blob.
OX_API size_t mpsk_receiver_state_bytes(const mpsk_receiver *r);
OX_API void mpsk_receiver_get_state(const mpsk_receiver *r, void *buf);
OX_API int mpsk_receiver_set_state(mpsk_receiver *r, const void *buf);
