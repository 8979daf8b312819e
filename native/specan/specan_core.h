// Streaming spectrum analyzer configured in instrument terms: a complex down-converter brings the
// display centre to DC and resamples to fs_out = min(fs, 1.28 span); a Welch PSD whose window
// length and Kaiser shape follow from the requested RBW averages navg non-overlapping segments
// into each DC-centred dB frame, cropped to the central band of the display.
//
// Two front ends: the plain one is a single down-converter, whose rate converter starts with an
// uncompensated CIC from fs/fs_out = 8 on (levels droop towards the display edges, aliases come
// through 20-37 dB down). The flat one (specan_create_flat) decimates 4:1 in pairs of halfbands
// while the remaining ratio is 8 or more: the first pair behind the oscillator, inside the
// down-converter, further pairs as rate converters of rate 1/4; a last converter resamples the
// remaining ratio (2 to 8, halfbands or the Kaiser-sinc resampler). Levels are flat to
// hundredths of a dB across the display and out-of-span signals stay 60 dB or more down.
#pragma once

#include "common/ox_common.h"
#include "spectral/psd_core.h"

struct ddc;
struct RateConverter;

enum : int {
    SPECAN_WINDOW_HANN = 0,
    SPECAN_WINDOW_KAISER = 1,
};

// Heap object; owns its down-converter, PSD and buffers. Configuration fields are read by the
// binding's properties; everything else is private to the core.
struct specan_state_t {
    struct ddc *ddc;        // centre to DC: norm_freq (src_center - center)/fs, rate fs_out/fs
    psd_state_t *psd;       // n-sample window, pad 2, mean mode, sample rate fs_out
    ox_cf32 *ddc_out;       // down-converter output of one chunk of input
    uint64_t ddc_out_cap;   // its capacity in samples
    ox_cf32 *pending;       // decimated samples not yet used for a frame
    uint64_t pending_len;   // samples held in pending
    uint64_t pending_cap;   // capacity of pending in samples
    float *display;         // nfft values: two-sided linear power of the last frame
    double fs;              // input sample rate, Hz
    double src_center;      // RF frequency of the input's DC, Hz
    double center;          // display centre frequency, Hz
    double span;            // requested display span, Hz
    double rbw;             // requested resolution bandwidth, Hz
    double offset_db;       // added to every display value
    double fs_out;          // decimated rate, Hz
    double beta;            // Kaiser beta realising the RBW (0 for Hann)
    uint64_t n;             // window (segment) length
    uint64_t nfft;          // transform length = 2 n
    uint64_t navg;          // segments averaged per emitted frame
    uint64_t display_size;  // values per emitted frame
    uint64_t display_start; // first trace index of the display
    uint8_t *ddc_backup;    // front-end snapshot taken while a state blob is restored
    // Flat front end only (all zero for the plain one).
    int flat;                     // created by specan_create_flat
    uint64_t quarters;            // 4:1 halfband pairs ahead of the last converter
    struct RateConverter **post;  // quarters converters behind the down-converter: 1/4 ... 1/4, rest
    ox_cf32 *stage_out;           // second buffer of one chunk for the converters behind it
    double gain_db;               // DC gain of the halfband pairs, dB, taken off the display
};

// window: SPECAN_WINDOW_HANN or SPECAN_WINDOW_KAISER. NULL for fs, span or rbw not positive, fs
// not finite, navg = 0, another window code, a sub-component that cannot be built (a rate the
// down-converter rejects, a window without gain), or exhausted memory.
OX_API specan_state_t *specan_create(double fs, double span, double rbw, double src_center,
                                     double center, double offset_db, double full_scale,
                                     uint64_t bits, int window, uint64_t navg);
// The same analyzer with the flat front end (see above); the same arguments and NULL cases.
OX_API specan_state_t *specan_create_flat(double fs, double span, double rbw, double src_center,
                                          double center, double offset_db, double full_scale,
                                          uint64_t bits, int window, uint64_t navg);
OX_API void specan_destroy(specan_state_t *s);
// Input over output rate of the halfband pairs ahead of the last converter: 4^quarters (1 for
// the plain front end and for a flat one below 8:1).
OX_API uint64_t specan_predecimation(const specan_state_t *s);
// Down-converter and PSD reset, pending samples dropped.
OX_API void specan_reset(specan_state_t *s);
// New display centre: the down-converter's LO is retuned phase-continuously and the pending
// samples are dropped, so the next frame holds only samples taken at the new tuning.
OX_API void specan_retune(specan_state_t *s, double center);
// Feeds n_in samples; when they complete at least one block of n navg decimated samples, the
// last complete block becomes a frame: min(display_size, out_cap) dB values are written and
// returned. Otherwise 0.
OX_API size_t specan_execute(specan_state_t *s, const ox_cf32 *x, size_t n_in, float *out,
                             size_t out_cap);
OX_API size_t specan_execute_max_out(const specan_state_t *s);
// Blob "SPAN" v1 (plain): down-converter blob, PSD blob, pending_len (u64), n navg cf32 samples.
// Blob "SPAF" v1 (flat): quarters (u64), down-converter blob, the quarters converter blobs, PSD
// blob, pending_len (u64), n navg cf32 samples. Restores are all or nothing.
OX_API size_t specan_state_bytes(const specan_state_t *s);
OX_API void specan_get_state(const specan_state_t *s, void *buf);
OX_API int specan_set_state(specan_state_t *s, const void *buf);
