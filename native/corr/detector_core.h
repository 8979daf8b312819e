// Streaming correlation detectors (1-D and 2-D): callers push cf32 chunks of any length; the
// samples queue in a double-mapped ring, every complete frame is handed in place to the
// correlator, and every dump is evaluated: peak magnitude and its lag (or row, col), a noise
// estimate over a range of correlation bins (mean, median, min or max of the magnitudes), the
// test statistic peak / noise, and a detection when the statistic passes the threshold.
//
// Frames are consecutive and non-overlapping in the pushed stream. A push writes at most
// max_results detections; once that many are written it queues what still fits in the ring and
// stops, and `detector_feed` reports how much of the chunk was consumed so the caller can hand
// the rest to the next call: nothing is dropped.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/ox_common.h"

struct corr_state_t;
struct corr2d_state_t;

// Sample ring header, laid out as the telemetry ring's (one zeroed 256-byte block): the storage
// is a memory file mapped twice back to back, so any `capacity` consecutive queued samples are
// contiguous from slot index & mask. Indices grow without wrapping.
struct alignas(64) det_ring_t {
    ox_cf32 *base;       // start of the double mapping
    uint64_t mask;       // capacity - 1
    uint64_t capacity;   // samples, a power of two
    uint64_t reserved;
    alignas(64) uint64_t write_index;  // samples ever queued
    alignas(64) uint64_t read_index;   // samples ever handed to the correlator
    alignas(64) uint64_t dropped;      // unused (a push never drops)
};
static_assert(sizeof(det_ring_t) == 256 && offsetof(det_ring_t, write_index) == 64 &&
              offsetof(det_ring_t, read_index) == 128 && offsetof(det_ring_t, dropped) == 192);

enum : int32_t {
    DET_NOISE_MEAN = 0,
    DET_NOISE_MEDIAN = 1,
    DET_NOISE_MIN = 2,
    DET_NOISE_MAX = 3,
};

struct det_result_t {
    uint64_t lag;     // peak lag, 0 .. n-1
    float peak_mag;   // |corr| at the peak
    float noise_est;  // noise estimate over the noise bins
    float test_stat;  // peak_mag / noise_est (0 when the noise is not positive)
};

struct det_result2d_t {
    uint64_t row, col;  // peak position (lag in y, lag in x)
    float peak_mag;
    float noise_est;
    float test_stat;
};

struct detector_state_t {
    corr_state_t *corr;  // correlator, n_out = n
    det_ring_t *ring;    // the sample ring
    ox_cf32 *corr_out;   // output of the last dump (n), reference-counted: views may outlive us
    float *mag;          // |corr_out| (n)
    float *noise_buf;    // scratch of the median (noise_hi - noise_lo + 1)
    uint64_t n;          // frame length
    uint64_t ring_cap;   // ring capacity in samples
    uint64_t noise_lo;   // first noise bin (inclusive)
    uint64_t noise_hi;   // last noise bin (inclusive)
    int32_t noise_mode;  // DET_NOISE_*; any other code gives noise 0 and statistic 0
    float threshold;     // 0 = every dump detects; else test_stat > threshold (strict)
    uint64_t last_lag;
    float last_peak;
    float last_noise;
    float last_stat;
    int32_t last_valid;  // 1 once any dump has happened since creation or reset
};

struct detector2d_state_t {
    corr2d_state_t *corr;  // 2-D correlator, output shape = frame shape
    det_ring_t *ring;
    ox_cf32 *corr_out;     // ny*nx, row-major; reference-counted as in the 1-D detector
    float *mag;
    float *noise_buf;
    uint64_t ny, nx;
    uint64_t n;            // ny*nx
    uint64_t ring_cap;
    uint64_t noise_lo;     // flat row-major bin indices
    uint64_t noise_hi;
    int32_t noise_mode;
    float threshold;
    uint64_t last_row;
    uint64_t last_col;
    float last_peak;
    float last_noise;
    float last_stat;
    int32_t last_valid;
};

// noise_lo and noise_hi are clamped to n - 1 and ordered. The ring holds the smallest power of
// two >= max(n, 512) samples, raised to fill at least one page. NULL when ref is NULL, n (ny,
// nx) or dwell is 0, the state blob would not fit its 32-bit length field, or the ring, the
// correlator or a buffer cannot be made.
OX_API detector_state_t *detector_create(const ox_cf32 *ref, uint64_t n, uint64_t dwell,
                                         uint64_t noise_lo, uint64_t noise_hi, int noise_mode,
                                         float threshold, int nthreads);
OX_API detector2d_state_t *detector2d_create(const ox_cf32 *ref, uint64_t ny, uint64_t nx,
                                             uint64_t dwell, uint64_t noise_lo, uint64_t noise_hi,
                                             int noise_mode, float threshold, int nthreads);
OX_API void detector_destroy(detector_state_t *d);
OX_API void detector2d_destroy(detector2d_state_t *d);
// Empties the ring, zeroes the correlator, clears last_valid; reference and parameters kept.
OX_API void detector_reset(detector_state_t *d);
OX_API void detector2d_reset(detector2d_state_t *d);
// New reference (n samples), with a reset.
OX_API void detector_set_ref(detector_state_t *d, const ox_cf32 *ref);
// New reference (ny*nx samples), with a reset; -1 and nothing changed when a row-mode
// correlator is given a reference with samples outside row 0, OX_EINVAL for NULL arguments.
OX_API int detector2d_set_ref(detector2d_state_t *d, const ox_cf32 *ref);
OX_API void detector_set_threshold(detector_state_t *d, float threshold);
OX_API void detector2d_set_threshold(detector2d_state_t *d, float threshold);

// Pushes n_in samples; returns the number of detections written to results (at most
// max_results). `detector_feed` also stores the number of samples of x consumed: all of them
// unless the result limit was reached with the ring full, in which case the caller passes the
// rest (x + consumed) first in its next call. `detector_push` is the same without that report.
OX_API size_t detector_push(detector_state_t *d, const ox_cf32 *x, size_t n_in,
                            det_result_t *results, size_t max_results);
OX_API size_t detector_feed(detector_state_t *d, const ox_cf32 *x, size_t n_in,
                            det_result_t *results, size_t max_results, size_t *consumed);
OX_API size_t detector2d_push(detector2d_state_t *d, const ox_cf32 *x, size_t n_in,
                              det_result2d_t *results, size_t max_results);
OX_API size_t detector2d_feed(detector2d_state_t *d, const ox_cf32 *x, size_t n_in,
                              det_result2d_t *results, size_t max_results, size_t *consumed);

// Blob "DET1" v1 (72 + 8 n + 8 ring_cap bytes): the "CORR" blob of the correlator, fill (u64),
// ring_cap samples (the queued ones from the read position on, then zeros), last_lag (u64),
// last_peak, last_noise, last_stat (f32), last_valid (i32).
// Blob "DET2" v1 (80 + 8 ny nx + 8 ring_cap bytes): the "CR2D" blob, fill, the ring samples,
// last_row, last_col (u64), last_peak, last_noise, last_stat (f32), last_valid (i32).
// A restore validates everything (embedded blob, fill <= ring_cap, last_valid 0 or 1, peak
// position inside the frame) before changing anything; queued samples are re-queued from slot 0.
// The correlation vector is not part of the blob.
OX_API size_t detector_state_bytes(const detector_state_t *d);
OX_API void detector_get_state(const detector_state_t *d, void *buf);
OX_API int detector_set_state(detector_state_t *d, const void *buf);
OX_API size_t detector2d_state_bytes(const detector2d_state_t *d);
OX_API void detector2d_get_state(const detector2d_state_t *d, void *buf);
OX_API int detector2d_set_state(detector2d_state_t *d, const void *buf);
