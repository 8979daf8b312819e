// FFT component: a fixed-length, unnormalised 1-D complex DFT in both precisions.
//
// Owns two plan records of the same (n, sign): plan64 serves the double-precision calls, plan32
// the single-precision and integer calls, so the two precisions never share staging memory.
// A scratch buffer of n cf64 is allocated on the first call whose output capacity is below n
// (the only allocation on the execute path) and kept until destroy.
//
// Every execute function reads min(in_len, n) samples of its input and zero-pads the rest, so a
// caller passes in_len = the number of samples its buffer holds and is never read past. With
// out_cap >= n all n bins are written to out and n is returned; with out_cap < n the transform
// runs in the scratch and the out_cap lowest bins are copied (0 is returned, nothing written,
// if the scratch cannot be allocated). The "inplace" variants may be given in == out.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/ox_common.h"
#include "fft/fft_plan.h"

struct fft_state_t;  // opaque; see fft_core.cpp

// nthreads is accepted and ignored (the transforms are single-threaded).
// NULL for n = 0 or exhausted memory.
OX_API fft_state_t *fft_create(uint64_t n, int sign, int nthreads);
OX_API void fft_destroy(fft_state_t *fft);
OX_API void fft_reset(fft_state_t *fft);
OX_API uint64_t fft_get_n(const fft_state_t *fft);
OX_API int fft_get_sign(const fft_state_t *fft);

OX_API size_t fft_execute_cf64(fft_state_t *fft, const ox_cf64 *in, size_t in_len, ox_cf64 *out,
                               size_t out_cap);
OX_API size_t fft_execute_cf32(fft_state_t *fft, const ox_cf32 *in, size_t in_len, ox_cf32 *out,
                               size_t out_cap);
OX_API size_t fft_execute_inplace_cf64(fft_state_t *fft, const ox_cf64 *in, size_t in_len,
                                       ox_cf64 *out, size_t out_cap);
OX_API size_t fft_execute_inplace_cf32(fft_state_t *fft, const ox_cf32 *in, size_t in_len,
                                       ox_cf32 *out, size_t out_cap);
// Interleaved integer I/Q: in_len counts complex samples (pairs); out must hold n samples.
OX_API size_t fft_execute_ci16(fft_state_t *fft, const int16_t *iq, size_t in_len, ox_cf32 *out);
OX_API size_t fft_execute_ci8(fft_state_t *fft, const int8_t *iq, size_t in_len, ox_cf32 *out);

OX_API size_t fft_execute_cf64_max_out(const fft_state_t *fft);
OX_API size_t fft_execute_cf32_max_out(const fft_state_t *fft);
OX_API size_t fft_execute_inplace_cf64_max_out(const fft_state_t *fft);
OX_API size_t fft_execute_inplace_cf32_max_out(const fft_state_t *fft);
OX_API size_t fft_execute_ci16_max_out(const fft_state_t *fft);
OX_API size_t fft_execute_ci8_max_out(const fft_state_t *fft);
