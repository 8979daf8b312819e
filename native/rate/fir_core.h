// Single-rate FIR filter for cf32 streams with real (f32) or complex (cf32) taps, and the two
// Kaiser design formulas (shape parameter and taps per polyphase branch).
#pragma once

#include "common/ox_common.h"

// Opaque FIR object; every array it refers to is owned by it.
struct fir;

// Complex-tap filter; the taps are copied. NULL for taps == NULL, num_taps == 0 or no memory.
OX_API fir *fir_create(const ox_cf32 *taps, size_t num_taps);
// Real-tap filter; the taps are copied. Same failure rules as fir_create.
OX_API fir *fir_create_real(const float *taps, size_t num_taps);
OX_API void fir_destroy(fir *f);
// Zeroes the history (the last num_taps - 1 inputs).
OX_API void fir_reset(fir *f);
OX_API size_t fir_get_num_taps(const fir *f);
// 1 for a real-tap filter, 0 for a complex-tap one.
OX_API int fir_get_is_real(const fir *f);
// Sum of the taps in double (real parts for complex taps).
OX_API double fir_dc_gain(const fir *f);
// Blob "FIR_" v1: header + history (num_taps - 1 cf32, oldest first).
OX_API size_t fir_state_bytes(const fir *f);
OX_API void fir_get_state(const fir *f, void *buf);
OX_API int fir_set_state(fir *f, const void *buf);
// Always 0: a call never writes more outputs than inputs.
OX_API size_t fir_execute_max_out(const fir *f);
// Filters n samples into out (out may equal in) and returns n; 0 on NULL arguments, n == 0 or
// when the work buffer cannot be grown (the filter is then untouched).
OX_API size_t fir_execute(fir *f, const ox_cf32 *in, size_t n, ox_cf32 *out);

// Kaiser shape parameter beta for a stop-band attenuation of atten_db.
OX_API double kaiser_beta(double atten_db);
// Taps per branch of a Kaiser-designed prototype with num_phases branches; f_pass and f_stop in
// cycles per sample at the branch rate. 0 when num_phases <= 0.
OX_API int kaiser_num_taps(int num_phases, double atten_db, double f_pass, double f_stop);
