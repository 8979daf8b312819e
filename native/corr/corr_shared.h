// Code shared by the 1-D and 2-D correlators and the detectors built on them: aligned buffers,
// the spectrum zero-padding rule, the complex multiply-accumulate of a cross-spectrum, the dump
// delivery (full or short output, one-time scratch) and the integrator blob (count + acc).
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/ox_common.h"

namespace ox::corr {

// Largest sample count whose integrator blob (24 + 8 n bytes) still has a 32-bit length field.
constexpr uint64_t kMaxBlobSamples = (0xFFFFFFFFull - 24) / 8;

// Zero-filled, 64-byte aligned buffer of `count` elements (the FFT runs straight on buffers with
// its SIMD alignment); NULL on overflow or exhausted memory. Released with std::free.
template <class T>
T *alloc_zeroed(uint64_t count) {
    if (count == 0 || count > (SIZE_MAX - 63) / sizeof(T)) return nullptr;
    const size_t bytes = (static_cast<size_t>(count) * sizeof(T) + 63) & ~size_t{63};
    void *p = std::aligned_alloc(64, bytes);
    if (p) std::memset(p, 0, bytes);
    return static_cast<T *>(p);
}

// Spectrum zero-padding from n to m >= n bins (band-limited interpolation of the inverse):
// bins 0 .. h (h = n/2) stay at the bottom, bins h+1 .. n-1 move to the top, the rest is zero.
// For even n the Nyquist bin h is split in halves between dst[h] and dst[m - h], so a real
// signal stays real. m = n is a plain copy.
inline void zeropad_1d(const ox_cf32 *src, uint64_t n, ox_cf32 *dst, uint64_t m) {
    if (m == n) {
        std::memmove(dst, src, n * sizeof(ox_cf32));
        return;
    }
    const uint64_t h = n / 2;
    std::memset(static_cast<void *>(dst), 0, m * sizeof(ox_cf32));
    std::memcpy(dst, src, (h + 1) * sizeof(ox_cf32));
    if (n > h + 1) std::memcpy(dst + (m - n + h + 1), src + h + 1, (n - h - 1) * sizeof(ox_cf32));
    if (n % 2 == 0) {
        const ox_cf32 half{src[h].re * 0.5f, src[h].im * 0.5f};
        dst[h] = half;
        dst[m - h] = half;
    }
}

// Conjugates in place (negates the imaginary parts).
inline void conjugate(ox_cf32 *x, uint64_t n) {
    for (uint64_t k = 0; k < n; ++k) x[k].im = -x[k].im;
}

// acc[k] += x[k] * ref[k], complex, single precision: re = xr*rr - xi*ri and
// im = xr*ri + xi*rr, each then added to the accumulator. The SSE2 body computes exactly these
// operations (same operands, same order) on four bins at a time: the bins are split into
// real and imaginary vectors with two shuffles per operand and merged back with two unpacks,
// instead of the six shuffles per two bins the compiler makes of the interleaved loop.
inline void multiply_accumulate(ox_cf32 *__restrict acc, const ox_cf32 *__restrict x,
                                const ox_cf32 *__restrict ref, uint64_t n) {
    uint64_t k = 0;
#if defined(__SSE2__)
    float *a = &acc->re;
    const float *xv = &x->re, *rv = &ref->re;
    for (; k + 4 <= n; k += 4) {
        const __m128 x0 = _mm_loadu_ps(xv + 2 * k), x1 = _mm_loadu_ps(xv + 2 * k + 4);
        const __m128 r0 = _mm_loadu_ps(rv + 2 * k), r1 = _mm_loadu_ps(rv + 2 * k + 4);
        const __m128 xr = _mm_shuffle_ps(x0, x1, _MM_SHUFFLE(2, 0, 2, 0));
        const __m128 xi = _mm_shuffle_ps(x0, x1, _MM_SHUFFLE(3, 1, 3, 1));
        const __m128 rr = _mm_shuffle_ps(r0, r1, _MM_SHUFFLE(2, 0, 2, 0));
        const __m128 ri = _mm_shuffle_ps(r0, r1, _MM_SHUFFLE(3, 1, 3, 1));
        const __m128 re = _mm_sub_ps(_mm_mul_ps(xr, rr), _mm_mul_ps(xi, ri));
        const __m128 im = _mm_add_ps(_mm_mul_ps(xr, ri), _mm_mul_ps(xi, rr));
        _mm_storeu_ps(a + 2 * k, _mm_add_ps(_mm_loadu_ps(a + 2 * k), _mm_unpacklo_ps(re, im)));
        _mm_storeu_ps(a + 2 * k + 4,
                      _mm_add_ps(_mm_loadu_ps(a + 2 * k + 4), _mm_unpackhi_ps(re, im)));
    }
#endif
    for (; k < n; ++k) {
        const float re = x[k].re * ref[k].re - x[k].im * ref[k].im;
        const float im = x[k].re * ref[k].im + x[k].im * ref[k].re;
        acc[k].re += re;
        acc[k].im += im;
    }
}

inline void scale(ox_cf32 *x, uint64_t n, float s) {
    float *v = &x->re;
    for (uint64_t k = 0; k < 2 * n; ++k) v[k] *= s;
}

// Delivers a dump of n_out values: `inverse(dst)` writes the n_out unscaled values to dst, which
// is `out` when it holds them all, else the one-time scratch (n_out zeroed samples allocated at
// first need) from which the first out_cap scaled values are copied. Returns the count written:
// n_out, out_cap, or 0 (out_cap 0, a null out, or the scratch cannot be allocated: nothing is
// written).
template <class Inverse>
size_t deliver(ox_cf32 *out, size_t out_cap, uint64_t n_out, ox_cf32 **scratch, float s,
               Inverse &&inverse) {
    if (!out) return 0;
    if (out_cap >= n_out) {
        inverse(out);
        scale(out, n_out, s);
        return static_cast<size_t>(n_out);
    }
    if (out_cap == 0) return 0;
    if (!*scratch) *scratch = alloc_zeroed<ox_cf32>(n_out);
    if (!*scratch) return 0;
    inverse(*scratch);
    std::memcpy(out, *scratch, out_cap * sizeof(ox_cf32));
    scale(out, out_cap, s);
    return out_cap;
}

// ---------------------------------------------------------------------------------------------
// Integrator blob shared by both correlators: header, count (u64) at offset 16, then the n
// accumulated cross-spectrum values.
// ---------------------------------------------------------------------------------------------
constexpr size_t integrator_blob_bytes(uint64_t n) {
    return kBlobHeaderBytes + 8 + static_cast<size_t>(n) * sizeof(ox_cf32);
}

inline void integrator_blob_write(void *buf, const BlobKind &kind, uint64_t n, uint64_t count,
                                  const ox_cf32 *acc) {
    blob_write_header(buf, kind, static_cast<uint32_t>(integrator_blob_bytes(n)));
    BlobWriter w(static_cast<uint8_t *>(buf) + kBlobHeaderBytes);
    w.put<uint64_t>(count);
    w.bytes(acc, n * sizeof(ox_cf32));
}

// Header, length and a count below dwell (the next frame must be able to reach the dump).
inline bool integrator_blob_valid(const void *buf, const BlobKind &kind, uint64_t n,
                                  uint64_t dwell) {
    if (!buf || !blob_header_ok(buf, kind, static_cast<uint32_t>(integrator_blob_bytes(n))))
        return false;
    uint64_t count;
    std::memcpy(&count, static_cast<const uint8_t *>(buf) + kBlobHeaderBytes, 8);
    return count < dwell;
}

inline void integrator_blob_read(const void *buf, uint64_t n, uint64_t *count, ox_cf32 *acc) {
    BlobReader r(static_cast<const uint8_t *>(buf) + kBlobHeaderBytes);
    *count = r.get<uint64_t>();
    r.bytes(acc, n * sizeof(ox_cf32));
}

// ---------------------------------------------------------------------------------------------
// Reference-counted sample buffer: the detectors' correlation output, which Python views share
// without copying. The owner holds one reference; every view holds another, so the memory stays
// valid until the last of them lets go, whatever order they go in.
// ---------------------------------------------------------------------------------------------
struct SharedHead {
    std::atomic<uint64_t> refs;
};
constexpr size_t kSharedHeadBytes = 64;  // keeps the samples 64-byte aligned
static_assert(sizeof(SharedHead) <= kSharedHeadBytes);

inline ox_cf32 *shared_alloc(uint64_t count) {
    if (count == 0 || count > (SIZE_MAX - 2 * kSharedHeadBytes) / sizeof(ox_cf32)) return nullptr;
    const size_t bytes =
        (kSharedHeadBytes + static_cast<size_t>(count) * sizeof(ox_cf32) + 63) & ~size_t{63};
    auto *p = static_cast<uint8_t *>(std::aligned_alloc(64, bytes));
    if (!p) return nullptr;
    std::memset(p, 0, bytes);
    new (p) SharedHead{1};
    return reinterpret_cast<ox_cf32 *>(p + kSharedHeadBytes);
}

inline SharedHead *shared_head(const ox_cf32 *data) {
    return reinterpret_cast<SharedHead *>(
        const_cast<uint8_t *>(reinterpret_cast<const uint8_t *>(data)) - kSharedHeadBytes);
}

inline void shared_retain(const ox_cf32 *data) {
    if (data) shared_head(data)->refs.fetch_add(1, std::memory_order_relaxed);
}

inline void shared_release(const ox_cf32 *data) {
    if (!data) return;
    SharedHead *h = shared_head(data);
    if (h->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        h->~SharedHead();
        std::free(h);
    }
}

}  // namespace ox::corr
