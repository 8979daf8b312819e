// FFT plan layer: fixed-length, unnormalised complex DFT plans in double and single precision.
//
// A plan record holds one double-precision FFTW plan (1-D of length n, or 2-D over ny x nx) and,
// when every length qualifies (a multiple of 16 whose only prime factors are 2, 3 and 5), a
// single-precision FFTW plan of the same shape. Double-precision calls always run the double
// plan. Single-precision and integer calls run the single-precision plan when it exists, else
// they are widened to double, transformed with the double plan and rounded back to float (a 2-D
// transform rounds after its row pass and again after its column pass, so every intermediate
// result is single precision, as on the single-precision path).
//
// Direction: sign < 0 is the forward kernel e^(-2*pi*i*jk/N), sign >= 0 (0 included) the
// backward kernel e^(+2*pi*i*jk/N). No transform is divided by its length.
//
// Plans are made once, at creation (FFTW_ESTIMATE: fast, deterministic). Executing never plans
// and never allocates: buffers with the plan's alignment are transformed directly through FFTW's
// new-array interface, others are staged through the record's aligned buffers, so the result
// never depends on where the caller's buffers sit in memory. One record must not be executed
// from two threads at once (the staging buffers are shared); distinct records are independent.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/ox_common.h"

struct fft_plan_t;  // opaque; see fft_plan.cpp

// Plan records. NULL on a zero length, an impossible size or exhausted memory.
OX_API fft_plan_t *pocketfft_plan_1d(uint64_t n, int sign);
OX_API fft_plan_t *pocketfft_plan_2d(uint64_t ny, uint64_t nx, int sign);
// Adds the single-precision plan when the lengths qualify; never fails (the record then simply
// keeps using the widened double path). Called by both plan constructors; idempotent.
OX_API void pffft_try_setup(fft_plan_t *plan);
OX_API void pocketfft_destroy_plan(fft_plan_t *plan);

// 1-D transforms of n samples from `in` to `out` (in may equal out).
OX_API void pocketfft_execute_1d(fft_plan_t *plan, const ox_cf64 *in, ox_cf64 *out);
OX_API void pocketfft_execute_1d_cf32(fft_plan_t *plan, const ox_cf32 *in, ox_cf32 *out);
// Interleaved integer I/Q (2n values), scaled to full scale +-1.0: int16 by 2^-15, int8 by 2^-7.
OX_API void pocketfft_execute_1d_ci16(fft_plan_t *plan, const int16_t *iq, ox_cf32 *out);
OX_API void pocketfft_execute_1d_ci8(fft_plan_t *plan, const int8_t *iq, ox_cf32 *out);

// 2-D transforms of ny*nx samples stored row-major (element (r, c) at r*nx + c).
OX_API void pocketfft_execute_2d(fft_plan_t *plan, const ox_cf64 *in, ox_cf64 *out);
OX_API void pocketfft_execute_2d_cf32(fft_plan_t *plan, const ox_cf32 *in, ox_cf32 *out);

// ---------------------------------------------------------------------------------------------
// Internal interface of the FFT components (not exported).
// ---------------------------------------------------------------------------------------------
namespace ox::fft {

// Lengths that get a single-precision plan: L >= 16, L % 16 == 0, L = 2^a * 3^b * 5^c.
bool single_qualifies(uint64_t len);

// Which calls a record serves. The exported constructors make kBoth records (every execute
// function works on them). The components keep one record per precision and build only what it
// needs: kDoubleCalls has the double plan only; kSingleCalls has the single-precision plan when
// the lengths qualify and otherwise the double plan for the widened path. Only the run_*
// functions of the record's calls may be used on it.
enum class Precision { kBoth, kDoubleCalls, kSingleCalls };

// Plan constructors with an FFTW thread count (values below 2 plan single-threaded).
fft_plan_t *plan_1d(uint64_t n, int sign, int nthreads, Precision precision);
fft_plan_t *plan_2d(uint64_t ny, uint64_t nx, int sign, int nthreads, Precision precision);

// Samples per transform (n, or ny*nx).
size_t plan_size(const fft_plan_t *plan);
bool plan_has_single(const fft_plan_t *plan);

// Transforms `have` samples of `in`, zero-padded to the plan size, into `out` (plan-size
// samples). `in` and `out` may be the same buffer or overlap; `have` may exceed the size (the
// surplus is ignored). Never reads more than min(have, size) samples of `in`.
void run_cf64(fft_plan_t *plan, const ox_cf64 *in, size_t have, ox_cf64 *out);
void run_cf32(fft_plan_t *plan, const ox_cf32 *in, size_t have, ox_cf32 *out);
void run_ci16(fft_plan_t *plan, const int16_t *iq, size_t have, ox_cf32 *out);
void run_ci8(fft_plan_t *plan, const int8_t *iq, size_t have, ox_cf32 *out);

// Zero-filled buffer of `count` cf64 with the plans' alignment (the components' one-time
// scratch); released with scratch_free. NULL when memory is exhausted.
ox_cf64 *scratch_alloc(size_t count);
void scratch_free(ox_cf64 *p);

}  // namespace ox::fft
