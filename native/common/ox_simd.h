// Four-lane float32 (and two-lane int64) operations for the vector kernels of the FIR filter,
// resampler, halfband decimators, CIC decimator and DLL correlators.
//
// With SSE2 each operation is one intrinsic. Elsewhere (ARM, or any build defining
// OX_SIMD_SCALAR, the CMake option OSTREL_SCALAR_KERNELS) the same operations run lane by lane
// in plain C++: every lane is one IEEE single-precision operation either way (no contraction,
// no reordering), so both paths give the same bits; comparisons give all-ones / all-zero lane
// masks, min/max and the truncating conversion follow the SSE rules for NaN and overflow.
#pragma once

#include <cstdint>
#include <cstring>

#if defined(__SSE2__) && !defined(OX_SIMD_SCALAR)
#define OX_SIMD_SSE2 1
#include <emmintrin.h>
#else
#define OX_SIMD_SSE2 0
#endif

namespace ox::simd {

// Lane selector of shuffle<>: lanes 0, 1 from a (indices w, x), lanes 2, 3 from b (y, z).
constexpr int sel(int z, int y, int x, int w) { return (z << 6) | (y << 4) | (x << 2) | w; }

#if OX_SIMD_SSE2

using f32x4 = __m128;
using i32x4 = __m128i;
using i64x2 = __m128i;

inline f32x4 zero() { return _mm_setzero_ps(); }
inline f32x4 set1(float a) { return _mm_set1_ps(a); }
inline f32x4 setr(float a, float b, float c, float d) { return _mm_setr_ps(a, b, c, d); }
inline f32x4 loadu(const float *p) { return _mm_loadu_ps(p); }
inline void storeu(float *p, f32x4 a) { _mm_storeu_ps(p, a); }
// Two floats into lanes 0, 1 (lanes 2, 3 zero), and lanes 0, 1 back.
inline f32x4 load2(const float *p) {
    return _mm_castpd_ps(_mm_load_sd(reinterpret_cast<const double *>(p)));
}
inline void store2(float *p, f32x4 a) {
    _mm_store_sd(reinterpret_cast<double *>(p), _mm_castps_pd(a));
}
inline f32x4 add(f32x4 a, f32x4 b) { return _mm_add_ps(a, b); }
inline f32x4 sub(f32x4 a, f32x4 b) { return _mm_sub_ps(a, b); }
inline f32x4 mul(f32x4 a, f32x4 b) { return _mm_mul_ps(a, b); }
inline f32x4 min(f32x4 a, f32x4 b) { return _mm_min_ps(a, b); }
inline f32x4 max(f32x4 a, f32x4 b) { return _mm_max_ps(a, b); }
template <int imm>
inline f32x4 shuffle(f32x4 a, f32x4 b) { return _mm_shuffle_ps(a, b, imm); }
inline f32x4 unpacklo(f32x4 a, f32x4 b) { return _mm_unpacklo_ps(a, b); }
inline f32x4 unpackhi(f32x4 a, f32x4 b) { return _mm_unpackhi_ps(a, b); }
inline f32x4 movehl(f32x4 a, f32x4 b) { return _mm_movehl_ps(a, b); }
inline f32x4 cmpgt(f32x4 a, f32x4 b) { return _mm_cmpgt_ps(a, b); }
inline f32x4 cmplt(f32x4 a, f32x4 b) { return _mm_cmplt_ps(a, b); }
inline f32x4 cmpord(f32x4 a, f32x4 b) { return _mm_cmpord_ps(a, b); }
inline f32x4 bit_and(f32x4 a, f32x4 b) { return _mm_and_ps(a, b); }
inline f32x4 bit_or(f32x4 a, f32x4 b) { return _mm_or_ps(a, b); }
inline f32x4 bit_not(f32x4 a) { return _mm_andnot_ps(a, _mm_castsi128_ps(_mm_set1_epi32(-1))); }
inline int movemask(f32x4 a) { return _mm_movemask_ps(a); }

inline i32x4 cvtt(f32x4 a) { return _mm_cvttps_epi32(a); }
inline i32x4 add_i32(i32x4 a, i32x4 b) { return _mm_add_epi32(a, b); }
inline i32x4 set1_i32(int32_t a) { return _mm_set1_epi32(a); }
// Lanes 0, 1 (resp. 2, 3) of a zero-extended to 64 bits.
inline i64x2 widen_lo(i32x4 a) { return _mm_unpacklo_epi32(a, _mm_setzero_si128()); }
inline i64x2 widen_hi(i32x4 a) { return _mm_unpackhi_epi32(a, _mm_setzero_si128()); }
inline i64x2 set_i64(int64_t lane1, int64_t lane0) { return _mm_set_epi64x(lane1, lane0); }
inline i64x2 add_i64(i64x2 a, i64x2 b) { return _mm_add_epi64(a, b); }
inline void store_i64(int64_t *p, i64x2 a) { _mm_storeu_si128(reinterpret_cast<__m128i *>(p), a); }

#else

struct f32x4 {
    float v[4];
};
struct i32x4 {
    int32_t v[4];
};
struct i64x2 {
    int64_t v[2];
};

namespace detail {
inline uint32_t bits(float a) {
    uint32_t u;
    std::memcpy(&u, &a, 4);
    return u;
}
inline float from_bits(uint32_t u) {
    float a;
    std::memcpy(&a, &u, 4);
    return a;
}
inline float mask(bool on) { return from_bits(on ? 0xFFFFFFFFu : 0u); }
template <class F>
inline f32x4 lanes(F f) {
    return f32x4{{f(0), f(1), f(2), f(3)}};
}
}  // namespace detail

inline f32x4 zero() { return f32x4{{0.0f, 0.0f, 0.0f, 0.0f}}; }
inline f32x4 set1(float a) { return f32x4{{a, a, a, a}}; }
inline f32x4 setr(float a, float b, float c, float d) { return f32x4{{a, b, c, d}}; }
inline f32x4 loadu(const float *p) { return f32x4{{p[0], p[1], p[2], p[3]}}; }
inline void storeu(float *p, f32x4 a) { std::memcpy(p, a.v, sizeof a.v); }
inline f32x4 load2(const float *p) { return f32x4{{p[0], p[1], 0.0f, 0.0f}}; }
inline void store2(float *p, f32x4 a) { std::memcpy(p, a.v, 2 * sizeof(float)); }
inline f32x4 add(f32x4 a, f32x4 b) { return detail::lanes([&](int i) { return a.v[i] + b.v[i]; }); }
inline f32x4 sub(f32x4 a, f32x4 b) { return detail::lanes([&](int i) { return a.v[i] - b.v[i]; }); }
inline f32x4 mul(f32x4 a, f32x4 b) { return detail::lanes([&](int i) { return a.v[i] * b.v[i]; }); }
// SSE rules: the second operand whenever the comparison is false (NaN, equal zeros).
inline f32x4 min(f32x4 a, f32x4 b) {
    return detail::lanes([&](int i) { return a.v[i] < b.v[i] ? a.v[i] : b.v[i]; });
}
inline f32x4 max(f32x4 a, f32x4 b) {
    return detail::lanes([&](int i) { return a.v[i] > b.v[i] ? a.v[i] : b.v[i]; });
}
template <int imm>
inline f32x4 shuffle(f32x4 a, f32x4 b) {
    return f32x4{{a.v[imm & 3], a.v[(imm >> 2) & 3], b.v[(imm >> 4) & 3], b.v[(imm >> 6) & 3]}};
}
inline f32x4 unpacklo(f32x4 a, f32x4 b) { return f32x4{{a.v[0], b.v[0], a.v[1], b.v[1]}}; }
inline f32x4 unpackhi(f32x4 a, f32x4 b) { return f32x4{{a.v[2], b.v[2], a.v[3], b.v[3]}}; }
inline f32x4 movehl(f32x4 a, f32x4 b) { return f32x4{{b.v[2], b.v[3], a.v[2], a.v[3]}}; }
inline f32x4 cmpgt(f32x4 a, f32x4 b) {
    return detail::lanes([&](int i) { return detail::mask(a.v[i] > b.v[i]); });
}
inline f32x4 cmplt(f32x4 a, f32x4 b) {
    return detail::lanes([&](int i) { return detail::mask(a.v[i] < b.v[i]); });
}
inline f32x4 cmpord(f32x4 a, f32x4 b) {
    return detail::lanes(
        [&](int i) { return detail::mask(a.v[i] == a.v[i] && b.v[i] == b.v[i]); });
}
inline f32x4 bit_and(f32x4 a, f32x4 b) {
    using namespace detail;
    return lanes([&](int i) { return from_bits(bits(a.v[i]) & bits(b.v[i])); });
}
inline f32x4 bit_or(f32x4 a, f32x4 b) {
    using namespace detail;
    return lanes([&](int i) { return from_bits(bits(a.v[i]) | bits(b.v[i])); });
}
inline f32x4 bit_not(f32x4 a) {
    return detail::lanes([&](int i) { return detail::from_bits(~detail::bits(a.v[i])); });
}
inline int movemask(f32x4 a) {
    int m = 0;
    for (int i = 0; i < 4; ++i) m |= static_cast<int>(detail::bits(a.v[i]) >> 31) << i;
    return m;
}

// Truncation toward zero; NaN and values outside the int32 range give INT32_MIN, as cvttps.
inline i32x4 cvtt(f32x4 a) {
    i32x4 r;
    for (int i = 0; i < 4; ++i)
        r.v[i] = (a.v[i] >= -2147483648.0f && a.v[i] < 2147483648.0f)
                     ? static_cast<int32_t>(a.v[i])
                     : INT32_MIN;
    return r;
}
inline i32x4 add_i32(i32x4 a, i32x4 b) {
    i32x4 r;
    for (int i = 0; i < 4; ++i)
        r.v[i] = static_cast<int32_t>(static_cast<uint32_t>(a.v[i]) +
                                      static_cast<uint32_t>(b.v[i]));
    return r;
}
inline i32x4 set1_i32(int32_t a) { return i32x4{{a, a, a, a}}; }
inline i64x2 widen_lo(i32x4 a) {
    return i64x2{{static_cast<int64_t>(static_cast<uint32_t>(a.v[0])),
                  static_cast<int64_t>(static_cast<uint32_t>(a.v[1]))}};
}
inline i64x2 widen_hi(i32x4 a) {
    return i64x2{{static_cast<int64_t>(static_cast<uint32_t>(a.v[2])),
                  static_cast<int64_t>(static_cast<uint32_t>(a.v[3]))}};
}
inline i64x2 set_i64(int64_t lane1, int64_t lane0) { return i64x2{{lane0, lane1}}; }
// Wrapping 64-bit lane sums, as paddq.
inline i64x2 add_i64(i64x2 a, i64x2 b) {
    auto sum = [](int64_t x, int64_t y) {
        return static_cast<int64_t>(static_cast<uint64_t>(x) + static_cast<uint64_t>(y));
    };
    return i64x2{{sum(a.v[0], b.v[0]), sum(a.v[1], b.v[1])}};
}
inline void store_i64(int64_t *p, i64x2 a) { std::memcpy(p, a.v, sizeof a.v); }

#endif

}  // namespace ox::simd
