// 2-D FFT component: a fixed ny x nx unnormalised complex DFT (rows of nx samples, row-major:
// element (r, c) at r*nx + c), separable along rows and columns with the same sign.
//
// Owns a double-precision plan record (cf64 calls) and a second record for the cf32 calls, which
// transforms in single precision when nx and ny both qualify (multiples of 16 with prime factors
// 2, 3, 5 only) and widened to double otherwise. T = ny*nx samples per transform.
//
// Executes read min(in_len, T) samples (the rest is zero) and follow the rule of the 1-D
// component: out_cap >= T writes T samples and returns T; a smaller out_cap transforms in a
// one-time scratch of T cf64 and copies the first out_cap samples in row-major order (0 and
// nothing written if the scratch cannot be allocated).
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/ox_common.h"
#include "fft/fft_plan.h"

struct fft2d_state_t;  // opaque; see fft2d_core.cpp

// NULL when ny or nx is 0, ny*nx overflows, or memory is exhausted.
OX_API fft2d_state_t *fft2d_create(uint64_t ny, uint64_t nx, int sign, int nthreads);
OX_API void fft2d_destroy(fft2d_state_t *f);
OX_API void fft2d_reset(fft2d_state_t *f);
OX_API uint64_t fft2d_get_ny(const fft2d_state_t *f);
OX_API uint64_t fft2d_get_nx(const fft2d_state_t *f);
OX_API int fft2d_get_sign(const fft2d_state_t *f);

OX_API size_t fft2d_execute_cf64(fft2d_state_t *f, const ox_cf64 *in, size_t in_len,
                                 ox_cf64 *out, size_t out_cap);
OX_API size_t fft2d_execute_cf32(fft2d_state_t *f, const ox_cf32 *in, size_t in_len,
                                 ox_cf32 *out, size_t out_cap);
OX_API size_t fft2d_execute_inplace_cf64(fft2d_state_t *f, const ox_cf64 *in, size_t in_len,
                                         ox_cf64 *out, size_t out_cap);
OX_API size_t fft2d_execute_inplace_cf32(fft2d_state_t *f, const ox_cf32 *in, size_t in_len,
                                         ox_cf32 *out, size_t out_cap);

OX_API size_t fft2d_execute_cf64_max_out(const fft2d_state_t *f);
OX_API size_t fft2d_execute_cf32_max_out(const fft2d_state_t *f);
OX_API size_t fft2d_execute_inplace_cf64_max_out(const fft2d_state_t *f);
OX_API size_t fft2d_execute_inplace_cf32_max_out(const fft2d_state_t *f);
