// Trace accumulator: reduces a sequence of equal-length float32 traces (one power spectrum per
// frame) to one double-precision trace by running mean, exponential average, max-hold or
// min-hold. Owned by the Welch PSD estimator.
#pragma once

#include "common/ox_common.h"

enum : uint32_t {
    ACC_TRACE_MEAN = 0,
    ACC_TRACE_EXP = 1,
    ACC_TRACE_MAXHOLD = 2,
    ACC_TRACE_MINHOLD = 3,
};

struct acc_trace_t {
    double *acc;     // reduced trace, len values, zero while empty
    uint64_t len;    // trace length (>= 1)
    int32_t mode;    // ACC_TRACE_*
    double alpha;    // exp mode: weight of the newest trace
    uint64_t count;  // traces folded in since creation or reset
};

// Largest trace whose state blob length (24 + 8 len) still fits the 32-bit header field.
inline constexpr uint64_t kAccTraceMaxLen = (0xFFFFFFFFull - 24) / 8;

OX_API acc_trace_t *acc_trace_create(uint64_t len, uint32_t mode, double alpha);
OX_API void acc_trace_destroy(acc_trace_t *t);
OX_API void acc_trace_reset(acc_trace_t *t);
OX_API size_t acc_trace_state_bytes(const acc_trace_t *t);
OX_API void acc_trace_get_state(const acc_trace_t *t, void *buf);
OX_API int acc_trace_set_state(acc_trace_t *t, const void *buf);
OX_API void acc_trace_accumulate(acc_trace_t *t, const float *x, size_t n);
OX_API size_t acc_trace_value(const acc_trace_t *t, size_t count, float *out, size_t out_cap);
OX_API size_t acc_trace_value_max_out(const acc_trace_t *t);

namespace ox {
// Writes at most `cap` bytes of the blob: the header, then the frame count, then the trace
// only when all of it fits.
void acc_trace_write_state(const acc_trace_t *t, void *buf, size_t cap);
// Validates a blob (header and length) without touching the object.
bool acc_trace_blob_ok(const acc_trace_t *t, const void *buf);
}  // namespace ox
