// 2:1 halfband decimators in polyphase form: complex (cf32 -> cf32, low-pass) and
// real-to-complex (f32 -> cf32, the same halfband shifted to a quarter of the input rate).
#pragma once

#include "common/ox_common.h"

// The system's halfband prototype: the 18 non-zero side taps of a 35-tap halfband and a 0.
constexpr size_t OX_HB_FIR_LEN = 19;
OX_API const float OX_HB_FIR[OX_HB_FIR_LEN];

// Opaque decimator objects.
struct hbdecim;
struct hbdecim_r2c;

// Complex decimator from a table of n entries (the system uses OX_HB_FIR, n = 19).
// NULL for n == 0, table == NULL or no memory.
OX_API hbdecim *hbdecim_create(size_t n, const float *table);
OX_API void hbdecim_destroy(hbdecim *d);
// Ring positions 0, rings zeroed, pending sample cleared.
OX_API void hbdecim_reset(hbdecim *d);
OX_API double hbdecim_get_rate(void);
OX_API size_t hbdecim_get_num_taps(const hbdecim *d);
// 0.5 + sum of the first n >> 1 table entries, in double (about 1.00028 for OX_HB_FIR).
OX_API double hbdecim_dc_gain(const hbdecim *d);
// Decimates by 2; returns outputs written (at most out_cap). An odd input is kept pending.
OX_API size_t hbdecim_execute(hbdecim *d, const ox_cf32 *in, size_t n_in, ox_cf32 *out,
                              size_t out_cap);
// Module-internal (not exported): whether an unpaired input is held for the next call. The rate
// converter uses it to keep one-call semantics when it feeds a block to a terminal halfband in
// pieces.
bool hbdecim_has_pending(const hbdecim *d);
// Blob "HBDC" v1: pos A, pos B, pending flag and sample, ring A, ring B.
OX_API size_t hbdecim_state_bytes(const hbdecim *d);
OX_API void hbdecim_get_state(const hbdecim *d, void *buf);
OX_API int hbdecim_set_state(hbdecim *d, const void *buf);

// Real-to-complex decimator: a real tone at f (0 < f < 0.5 cycles per input sample) becomes a
// complex tone at 2f - 0.5 cycles per output sample.
OX_API hbdecim_r2c *hbdecim_r2c_create(size_t n, const float *table);
OX_API void hbdecim_r2c_destroy(hbdecim_r2c *d);
OX_API void hbdecim_r2c_reset(hbdecim_r2c *d);
OX_API double hbdecim_r2c_get_rate(void);
OX_API size_t hbdecim_r2c_get_num_taps(const hbdecim_r2c *d);
OX_API size_t hbdecim_r2c_execute(hbdecim_r2c *d, const float *in, size_t n_in, ox_cf32 *out,
                                  size_t out_cap);
// Blob "HBR2" v1: pos A, pos B, pending flag and sample, parity, ring A, ring B.
OX_API size_t hbdecim_r2c_state_bytes(const hbdecim_r2c *d);
OX_API void hbdecim_r2c_get_state(const hbdecim_r2c *d, void *buf);
OX_API int hbdecim_r2c_set_state(hbdecim_r2c *d, const void *buf);
