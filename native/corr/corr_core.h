// One-dimensional FFT correlator with coherent integrate-and-dump.
//
// Each call correlates one frame of n cf32 samples against a stored reference by fast
// convolution: the frame's spectrum times conj(FFT(ref)) is added to an accumulator, and every
// dwell-th frame one inverse transform turns the integrated cross-spectrum into the circular
// cross-correlation, scaled by 1/n:
//
//     out[m] = sum over the dwell frames of sum_j x[(j + m) mod n] * conj(ref[j])
//
// With n_out > n the cross-spectrum is zero-padded (Nyquist bin split for even n) before the
// inverse, giving the band-limited interpolation at lags m * n / n_out, still scaled by 1/n so
// integer lags keep their values.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/ox_common.h"

struct fft_state_t;

struct corr_state_t {
    fft_state_t *fwd;   // forward FFT of length n (sign -1)
    fft_state_t *inv;   // inverse FFT of length n_out (sign +1, unnormalised)
    ox_cf32 *ref_spec;  // conj(FFT(ref)), n bins
    ox_cf32 *x_spec;    // FFT of the current frame, n bins
    ox_cf32 *acc;       // accumulated cross-spectrum, n bins
    ox_cf32 *pad;       // zero-padded cross-spectrum (n_out bins), only when n_out != n
    uint64_t n;         // frame, reference and forward FFT length
    uint64_t n_out;     // output length (n unless decoupled)
    uint64_t dwell;     // frames per dump (>= 1)
    uint64_t count;     // frames accumulated since the last dump, 0 .. dwell-1
    ox_cf32 *scratch;   // inverse target for short outputs (n_out), allocated at first need
};

// n_out = 0 means n. NULL when ref is NULL, n = 0, dwell = 0, n_out < n, the state blob would
// not fit its 32-bit length field, or memory / a plan cannot be had. ref is not retained.
OX_API corr_state_t *corr_create(const ox_cf32 *ref, uint64_t n, uint64_t dwell, int nthreads,
                                 uint64_t n_out);
OX_API void corr_destroy(corr_state_t *corr);
// Discards the partial integration: acc = 0, count = 0.
OX_API void corr_reset(corr_state_t *corr);
// New reference of n samples, then reset.
OX_API void corr_set_ref(corr_state_t *corr, const ox_cf32 *ref);
// One frame: min(n_in, n) samples of x, zero-padded to n. Returns 0 on a non-dump call; on the
// dwell-th frame the dump: n_out values when out_cap >= n_out, else the first out_cap values
// (0 when out_cap is 0, out is NULL or the one-time scratch cannot be allocated; the
// integration is consumed either way).
OX_API size_t corr_execute(corr_state_t *corr, const ox_cf32 *x, size_t n_in, ox_cf32 *out,
                           size_t out_cap);
OX_API size_t corr_execute_max_out(const corr_state_t *corr);

// Blob "CORR" v1: header, count (u64), acc (n cf32); 24 + 8 n bytes. A restore checks the
// header and count < dwell.
OX_API size_t corr_state_bytes(const corr_state_t *corr);
OX_API void corr_get_state(const corr_state_t *corr, void *buf);
OX_API int corr_set_state(corr_state_t *corr, const void *buf);

namespace ox::corr {
// Restore in two steps for owners that validate several embedded blobs before committing any.
bool corr_state_valid(const corr_state_t *corr, const void *buf);
void corr_state_commit(corr_state_t *corr, const void *buf);
}  // namespace ox::corr
