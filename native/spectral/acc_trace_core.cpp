#include "spectral/acc_trace_core.h"

#include <cstdlib>

namespace {
constexpr ox::BlobKind kAccTraceBlob{"ATRC", 1};
constexpr size_t kCountOffset = 16;
constexpr size_t kTraceOffset = 24;

uint32_t blob_len(const acc_trace_t *t) {
    return static_cast<uint32_t>(kTraceOffset + 8 * t->len);
}

// The running-mean and exponential updates share the form acc += (x - acc) * e.
void blend(double *acc, const float *x, size_t len, double e) {
    for (size_t k = 0; k < len; ++k) {
        const double v = x[k];
        acc[k] = acc[k] + (v - acc[k]) * e;
    }
}
}  // namespace

acc_trace_t *acc_trace_create(uint64_t len, uint32_t mode, double alpha) {
    if (len == 0 || len > kAccTraceMaxLen || mode > ACC_TRACE_MINHOLD) return nullptr;
    auto *t = static_cast<acc_trace_t *>(std::calloc(1, sizeof(acc_trace_t)));
    if (!t) return nullptr;
    t->acc = static_cast<double *>(std::calloc(len, sizeof(double)));
    if (!t->acc) {
        std::free(t);
        return nullptr;
    }
    t->len = len;
    t->mode = static_cast<int32_t>(mode);
    t->alpha = alpha;
    t->count = 0;
    return t;
}

void acc_trace_destroy(acc_trace_t *t) {
    if (!t) return;
    std::free(t->acc);
    std::free(t);
}

void acc_trace_reset(acc_trace_t *t) {
    std::memset(t->acc, 0, t->len * sizeof(double));
    t->count = 0;
}

size_t acc_trace_state_bytes(const acc_trace_t *t) { return blob_len(t); }

void ox::acc_trace_write_state(const acc_trace_t *t, void *buf, size_t cap) {
    const uint32_t total = blob_len(t);
    auto *b = static_cast<uint8_t *>(buf);
    if (cap < kBlobHeaderBytes) return;
    blob_write_header(b, kAccTraceBlob, total);
    if (cap < kTraceOffset) return;
    std::memcpy(b + kCountOffset, &t->count, sizeof(uint64_t));
    if (cap < total) return;
    std::memcpy(b + kTraceOffset, t->acc, t->len * sizeof(double));
}

void acc_trace_get_state(const acc_trace_t *t, void *buf) {
    ox::acc_trace_write_state(t, buf, blob_len(t));
}

bool ox::acc_trace_blob_ok(const acc_trace_t *t, const void *buf) {
    return buf && blob_header_ok(buf, kAccTraceBlob, blob_len(t));
}

int acc_trace_set_state(acc_trace_t *t, const void *buf) {
    if (!ox::acc_trace_blob_ok(t, buf)) return OX_EINVAL;
    const auto *b = static_cast<const uint8_t *>(buf);
    std::memcpy(&t->count, b + kCountOffset, sizeof(uint64_t));
    std::memcpy(t->acc, b + kTraceOffset, t->len * sizeof(double));
    return OX_OK;
}

void acc_trace_accumulate(acc_trace_t *t, const float *x, size_t n) {
    if (n < t->len) return;
    const size_t len = t->len;
    double *acc = t->acc;
    if (t->count == 0) {
        // The zero trace of an empty accumulator never takes part in an average, max or min.
        for (size_t k = 0; k < len; ++k) acc[k] = x[k];
        t->count = 1;
        return;
    }
    const uint64_t c = ++t->count;
    switch (t->mode) {
    case ACC_TRACE_MEAN:
        blend(acc, x, len, 1.0 / static_cast<double>(c));
        break;
    case ACC_TRACE_EXP:
        if (t->alpha >= 1.0) {
            for (size_t k = 0; k < len; ++k) acc[k] = x[k];
        } else {
            blend(acc, x, len, t->alpha);
        }
        break;
    case ACC_TRACE_MAXHOLD:
        for (size_t k = 0; k < len; ++k) {
            const double v = x[k];
            if (acc[k] < v) acc[k] = v;
        }
        break;
    default:  // ACC_TRACE_MINHOLD
        for (size_t k = 0; k < len; ++k) {
            const double v = x[k];
            if (acc[k] > v) acc[k] = v;
        }
        break;
    }
}

size_t acc_trace_value(const acc_trace_t *t, size_t, float *out, size_t out_cap) {
    if (t->count == 0) return 0;
    const size_t m = out_cap < t->len ? out_cap : t->len;
    for (size_t k = 0; k < m; ++k) out[k] = static_cast<float>(t->acc[k]);
    return m;
}

size_t acc_trace_value_max_out(const acc_trace_t *t) { return t->len; }
