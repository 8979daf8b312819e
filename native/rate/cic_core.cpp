#include "rate/cic_core.h"

#include "common/ox_simd.h"

#include <cmath>
#include <cstdlib>

namespace simd = ox::simd;

namespace {

constexpr ox::BlobKind kCicBlob{"CIC_", 2};
constexpr uint32_t kCicStateBytes = 149;
constexpr size_t kCicImageBytes = 16 * sizeof(int64_t);

bool valid_factor(uint32_t R) { return R >= 2 && R <= 2048 && (R & (R - 1)) == 0; }

uint32_t shift_for(uint32_t R) { return 4u * static_cast<uint32_t>(std::countr_zero(R)); }

// Bernoulli numbers B2 ... B18 (used by absolute value).
constexpr double ciccomp_berno[9] = {1.0 / 6,     -1.0 / 30,    1.0 / 42,      -1.0 / 30,   5.0 / 66,
                                     -691.0 / 2730, 7.0 / 6,    -3617.0 / 510, 43867.0 / 798};

// Offset-binary codes of two samples (four components) as two 64-bit [I, Q] pairs; the same
// mapping as ox::cic_code: NaN to 0.0, saturation to [-2, 32767/16384], truncation toward zero.
// Lanes that were out of range (or NaN) are OR-ed into *clip.
inline void codes2(const float *x, simd::i64x2 *c0, simd::i64x2 *c1, simd::f32x4 *clip) {
    const simd::f32x4 lo = simd::set1(-2.0f), hi = simd::set1(1.99993896484375f);
    simd::f32x4 v = simd::loadu(x);
    const simd::f32x4 ord = simd::cmpord(v, v);
    *clip = simd::bit_or(*clip, simd::bit_or(simd::bit_or(simd::cmpgt(v, hi), simd::cmplt(v, lo)),
                                             simd::bit_not(ord)));
    v = simd::bit_and(v, ord);
    v = simd::min(simd::max(v, lo), hi);
    const simd::i32x4 q = simd::add_i32(simd::cvtt(simd::mul(v, simd::set1(16384.0f))),
                                          simd::set1_i32(32768));
    *c0 = simd::widen_lo(q);
    *c1 = simd::widen_hi(q);
}

}  // namespace

cic *cic_create(uint32_t R) {
    if (!valid_factor(R)) return nullptr;
    auto *c = static_cast<cic *>(std::calloc(1, sizeof(cic)));
    if (!c) return nullptr;
    c->R = R;
    c->shift = shift_for(R);
    return c;
}

void cic_destroy(cic *c) { std::free(c); }

void cic_reset(cic *c) {
    std::memset(c, 0, kCicImageBytes);
    c->phase = 0;
    c->clipped = 0;
}

void cic_reconfigure(cic *c, uint32_t R) {
    if (!valid_factor(R)) return;
    c->R = R;
    c->shift = shift_for(R);
    cic_reset(c);
}

double cic_dc_gain(const cic *c) {
    const double rr = static_cast<double>(c->R) * c->R;
    return rr * rr / std::ldexp(1.0, static_cast<int>(c->shift));
}

size_t cic_decimate_max_out(const cic *) { return 0; }

size_t cic_decimate(cic *c, const ox_cf32 *in, size_t n, ox_cf32 *out, size_t out_cap) {
    if (!c || !in || n == 0) return 0;
    if (!out) out_cap = 0;
    // Integrators of both paths as [I, Q] 64-bit lane pairs held in registers over the block.
    simd::i64x2 s1 = simd::set_i64(c->integ_q[0], c->integ_i[0]);
    simd::i64x2 s2 = simd::set_i64(c->integ_q[1], c->integ_i[1]);
    simd::i64x2 s3 = simd::set_i64(c->integ_q[2], c->integ_i[2]);
    simd::i64x2 s4 = simd::set_i64(c->integ_q[3], c->integ_i[3]);
    simd::f32x4 clip = simd::zero();
    const uint32_t R = c->R;
    uint32_t phase = c->phase;
    size_t k = 0;
    const float *xf = reinterpret_cast<const float *>(in);

    constexpr size_t kChunk = 256;
    alignas(16) simd::i64x2 codes[kChunk];
    for (size_t base = 0; base < n; base += kChunk) {
        const size_t m = n - base < kChunk ? n - base : kChunk;
        size_t j = 0;
        for (; j + 2 <= m; j += 2) codes2(xf + 2 * (base + j), &codes[j], &codes[j + 1], &clip);
        if (j < m) {
            alignas(16) float tmp[4] = {xf[2 * (base + j)], xf[2 * (base + j) + 1], 0.0f, 0.0f};
            simd::i64x2 unused;
            codes2(tmp, &codes[j], &unused, &clip);
        }
        for (j = 0; j < m; ++j) {
            s1 = simd::add_i64(s1, codes[j]);
            s2 = simd::add_i64(s2, s1);
            s3 = simd::add_i64(s3, s2);
            s4 = simd::add_i64(s4, s3);
            if (++phase < R) continue;
            phase = 0;
            alignas(16) int64_t y[2];
            simd::store_i64(y, s4);
            const float re = ox::cic_comb_out(y[0], c->comb_i, c->shift);
            const float im = ox::cic_comb_out(y[1], c->comb_q, c->shift);
            if (k < out_cap) out[k] = ox_cf32{re, im};
            ++k;
        }
    }
    alignas(16) int64_t v[2];
    simd::store_i64(v, s1);
    c->integ_i[0] = v[0], c->integ_q[0] = v[1];
    simd::store_i64(v, s2);
    c->integ_i[1] = v[0], c->integ_q[1] = v[1];
    simd::store_i64(v, s3);
    c->integ_i[2] = v[0], c->integ_q[2] = v[1];
    simd::store_i64(v, s4);
    c->integ_i[3] = v[0], c->integ_q[3] = v[1];
    c->phase = phase;
    if (simd::movemask(clip)) c->clipped = 1;
    return k < out_cap ? k : out_cap;
}

size_t cic_state_bytes(const cic *) { return kCicStateBytes; }

void cic_get_state(const cic *c, void *buf) {
    ox::blob_write_header(buf, kCicBlob, kCicStateBytes);
    ox::BlobWriter w(static_cast<uint8_t *>(buf) + ox::kBlobHeaderBytes);
    w.bytes(c, kCicImageBytes);
    w.put<uint32_t>(c->phase);
    w.put<uint8_t>(c->clipped);
}

int cic_set_state(cic *c, const void *buf) {
    if (!buf || !ox::blob_header_ok(buf, kCicBlob, kCicStateBytes)) return OX_EINVAL;
    ox::BlobReader rd(static_cast<const uint8_t *>(buf) + ox::kBlobHeaderBytes);
    rd.skip(kCicImageBytes);
    const uint32_t phase = rd.get<uint32_t>();
    const uint8_t clipped = rd.get<uint8_t>();
    // The phase counts inputs towards the next output and must lie below R; the flag is 0 or 1.
    if (phase >= c->R || clipped > 1) return OX_EINVAL;
    std::memcpy(c, static_cast<const uint8_t *>(buf) + ox::kBlobHeaderBytes, kCicImageBytes);
    c->phase = phase;
    c->clipped = clipped;
    return OX_OK;
}

void ciccompmf(double *taps, uint32_t N, uint32_t R, uint32_t count) {
    if (!taps || count == 0) return;
    // Only odd counts up to 19 (K <= 9 Bernoulli terms) are designed; the rest get zeros.
    if (count % 2 == 0 || count > 19) {
        for (uint32_t i = 0; i < count; ++i) taps[i] = 0.0;
        return;
    }
    const int K = static_cast<int>(count / 2);
    double a[10] = {0}, b[10] = {0}, A[9][9] = {{0}}, c[10] = {0};
    // a_k: Taylor coefficients of minus the log-magnitude of the CIC at the decimated rate.
    for (int k = 1; k <= K; ++k)
        a[k] = std::fabs(ciccomp_berno[k - 1]) * (N / 2.0) / k *
               (1.0 - std::pow(static_cast<double>(R), -2.0 * k));
    for (int j = 1; j <= K; ++j) {
        double s = 0.0;
        for (int i = 1; i <= j; ++i) s += (2 * i - 1) * std::pow(a[j - i + 1], i);
        b[j] = s;
    }
    for (int j = 1; j <= K; ++j) {
        const double sgn = (j % 2) ? -2.0 : 2.0;
        for (int m = 1; m <= K; ++m) {
            double p;
            if (m == 2)
                p = std::exp2(2.0 * j);
            else if (m == 4)
                p = std::exp2(4.0 * j);
            else if (m == 8)
                p = std::exp2(6.0 * j);
            else
                p = std::exp(std::log(static_cast<double>(m)) * (2.0 * j));
            A[j - 1][m - 1] = sgn * p;
        }
    }
    // Gaussian elimination with partial pivoting (first largest |entry| wins), then back
    // substitution.
    double rhs[9];
    for (int j = 0; j < K; ++j) rhs[j] = b[j + 1];
    for (int col = 0; col < K; ++col) {
        int piv = col;
        for (int r = col + 1; r < K; ++r)
            if (std::fabs(A[r][col]) > std::fabs(A[piv][col])) piv = r;
        if (piv != col) {
            for (int m = 0; m < K; ++m) std::swap(A[col][m], A[piv][m]);
            std::swap(rhs[col], rhs[piv]);
        }
        for (int r = col + 1; r < K; ++r) {
            const double f = A[r][col] / A[col][col];
            for (int m = col; m < K; ++m) A[r][m] -= f * A[col][m];
            rhs[r] -= f * rhs[col];
        }
    }
    for (int r = K - 1; r >= 0; --r) {
        double s = rhs[r];
        for (int m = r + 1; m < K; ++m) s -= A[r][m] * c[m + 1];
        c[r + 1] = s / A[r][r];
    }
    double sum = 0.0;
    for (int m = 1; m <= K; ++m) sum += c[m];
    taps[K] = 1.0 - 2.0 * sum;
    for (int m = 1; m <= K; ++m) taps[K - m] = taps[K + m] = c[m];
}
