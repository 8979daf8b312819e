// Welch power-spectral-density estimator: non-overlapping windowed frames (a call's samples
// that do not fill a frame wait for the next call, so the estimate does not depend on how the
// stream is cut into calls), zero-padded to a power-of-two FFT, squared magnitudes in DC-centred order folded into a trace accumulator, and
// calibrated readings (dBFS, dB/Hz, linear power, band power, occupied bandwidth, noise floor,
// SNR, SFDR) derived from the reduced trace.
#pragma once

#include "common/ox_common.h"
#include "spectral/acc_trace_core.h"

struct fft_state_t;

enum : uint32_t {
    PSD_WINDOW_HANN = 0,
    PSD_WINDOW_KAISER = 1,
    PSD_WINDOW_BLACKMAN_HARRIS = 2,
};

struct psd_state_t {
    fft_state_t *fft;     // forward FFT of length nfft
    acc_trace_t *trace;   // reduction of the frame power spectra, nfft values
    float *window;        // n analysis window values
    ox_cf32 *frame;       // windowed frame, zero-padded to nfft
    ox_cf32 *spectrum;    // FFT output
    float *power;         // |spectrum|^2 in DC-centred order; the reduced trace on every read
    float *db_scratch;    // dBFS trace for noise floor, SNR and SFDR
    double s1;            // sum of the window
    double s2;            // sum of the squared window
    double enbw;          // n * s2 / s1^2, bins
    uint64_t n;           // frame length
    uint64_t nfft;        // transform length (power of two)
    double fs;            // sample rate, Hz
    double full_scale;    // amplitude reading 0 dBFS
    uint64_t bits;        // ADC depth that set full_scale, else 0
    ox_cf32 *pending;     // the samples of a segment not yet complete (n slots)
    uint64_t n_pending;   // how many of them were given so far (< n)
};

OX_API psd_state_t *psd_create(uint64_t n, double fs, uint32_t window, float beta, uint64_t pad,
                               double full_scale, uint64_t bits, uint32_t mode, double alpha);
OX_API void psd_destroy(psd_state_t *psd);
OX_API void psd_reset(psd_state_t *psd);
OX_API size_t psd_state_bytes(const psd_state_t *psd);
OX_API void psd_get_state(const psd_state_t *psd, void *buf);
OX_API int psd_set_state(psd_state_t *psd, const void *buf);
// The blob without the pending samples (version 1): what an owner that folds whole segments
// only (and so never leaves samples pending) embeds. psd_set_state accepts it too, and then
// clears the pending samples.
OX_API size_t psd_trace_state_bytes(const psd_state_t *psd);
OX_API void psd_get_trace_state(const psd_state_t *psd, void *buf);
OX_API int psd_set_trace_state(psd_state_t *psd, const void *buf);

OX_API size_t psd_accumulate(psd_state_t *psd, const ox_cf32 *x, size_t n_in);
OX_API size_t psd_accumulate_real(psd_state_t *psd, const float *x, size_t n_in);

// Trace readers: 0 before the first frame; `count` is the generic requested length (unused).
OX_API size_t psd_power_twosided(psd_state_t *psd, size_t count, float *out, size_t out_cap);
OX_API size_t psd_power_onesided(psd_state_t *psd, size_t count, float *out, size_t out_cap);
OX_API size_t psd_psd_db(psd_state_t *psd, size_t count, float *out, size_t out_cap);
OX_API size_t psd_psd_dbhz(psd_state_t *psd, size_t count, float *out, size_t out_cap);
OX_API size_t psd_band_power(psd_state_t *psd, const double *bands, size_t n_values, float *out,
                             size_t out_cap);
OX_API double psd_total_band_power(psd_state_t *psd, const double *bands, size_t n_values);
OX_API double psd_occupied_bw(psd_state_t *psd, double fraction);
OX_API double psd_noise_floor(psd_state_t *psd);
OX_API double psd_snr(psd_state_t *psd, double lo_hz, double hi_hz);
OX_API double psd_sfdr(psd_state_t *psd, float min_db);

OX_API size_t psd_power_twosided_max_out(const psd_state_t *psd);
OX_API size_t psd_power_onesided_max_out(const psd_state_t *psd);
OX_API size_t psd_psd_db_max_out(const psd_state_t *psd);
OX_API size_t psd_psd_dbhz_max_out(const psd_state_t *psd);
OX_API size_t psd_band_power_max_out(const psd_state_t *psd);
