#include "rate/hbdecim_core.h"

#include "common/ox_simd.h"

#include <cstdlib>

const float OX_HB_FIR[OX_HB_FIR_LEN] = {
    0.0015790532f, -0.0046757734f, 0.010443179f, -0.020174624f, 0.035798926f,
    -0.06086637f,  0.10411341f,    -0.19753781f, 0.6316009f,    0.6316009f,
    -0.19753781f,  0.10411341f,    -0.06086637f, 0.035798926f,  -0.020174624f,
    0.010443179f,  -0.0046757734f, 0.0015790532f, 0.0f,
};

namespace simd = ox::simd;

namespace {

// State and configuration shared by both decimators; S is the ring sample type.
template <class S>
struct hb_state {
    size_t n;         // table entries given at creation
    size_t h;         // n >> 1: symmetric tap pairs and centre delay in pairs
    int even;         // n even: ring A carries the FIR, ring B the centre tap
    float sign;       // real-to-complex only: sign of the centre-tap path
    float *table;     // the table as given (for the DC gain)
    float *taps;      // n working taps (0.5 * t[k], alternating in sign for real-to-complex)
    float *taps2;     // each of the first h taps twice, for two-lane complex products
    S *ring_a;        // first sample of each input pair, mirrored (2R)
    S *ring_b;        // second sample of each pair, mirrored (2R)
    size_t R, mask;
    size_t pos_a, pos_b;
    uint32_t pending;  // an unpaired last input is held in pend
    S pend;
    uint32_t parity;  // real-to-complex only: output sign alternation
};

template <class S>
void hb_free(hb_state<S> *d) {
    if (!d) return;
    std::free(d->table);
    std::free(d->taps);
    std::free(d->taps2);
    std::free(d->ring_a);
    std::free(d->ring_b);
    std::free(d);
}

template <class S>
void hb_clear(hb_state<S> *d) {
    d->pos_a = d->pos_b = 0;
    d->pending = 0;
    d->pend = S{};
    d->parity = 0;
    std::memset(d->ring_a, 0, 2 * d->R * sizeof(S));
    std::memset(d->ring_b, 0, 2 * d->R * sizeof(S));
}

template <class S>
hb_state<S> *hb_alloc(size_t n, const float *table, bool alternate) {
    if (n == 0 || !table || n > (size_t{1} << 30)) return nullptr;
    auto *d = static_cast<hb_state<S> *>(std::calloc(1, sizeof(hb_state<S>)));
    if (!d) return nullptr;
    d->n = n;
    d->h = n >> 1;
    d->even = (n % 2 == 0) ? 1 : 0;
    if (n % 2 == 1)
        d->sign = ((n - 1) & 2) ? -1.0f : 1.0f;
    else
        d->sign = (n % 4 == 2) ? 1.0f : -1.0f;
    size_t R = 1;
    while (R < n) R <<= 1;
    if (n > 1 && R < 2) R = 2;
    d->R = R;
    d->mask = R - 1;
    d->table = static_cast<float *>(std::malloc(n * sizeof(float)));
    d->taps = static_cast<float *>(std::malloc(n * sizeof(float)));
    d->taps2 = static_cast<float *>(std::calloc(2 * (d->h + 1), sizeof(float)));
    d->ring_a = static_cast<S *>(std::calloc(2 * R, sizeof(S)));
    d->ring_b = static_cast<S *>(std::calloc(2 * R, sizeof(S)));
    if (!d->table || !d->taps || !d->taps2 || !d->ring_a || !d->ring_b) {
        hb_free(d);
        return nullptr;
    }
    std::memcpy(d->table, table, n * sizeof(float));
    for (size_t k = 0; k < n; ++k) {
        const float half = (alternate && (k & 1)) ? -0.5f : 0.5f;
        d->taps[k] = half * table[k];
    }
    for (size_t k = 0; k < d->h; ++k) d->taps2[2 * k] = d->taps2[2 * k + 1] = d->taps[k];
    return d;
}

template <class S>
inline void hb_push(S *ring, size_t *pos, size_t mask, size_t R, S x) {
    *pos = (*pos - 1) & mask;
    ring[*pos] = x;
    ring[*pos + R] = x;
}

// sum_{k<h} c[k] * (X[k + o] + X[n-1-k]) over complex samples (X[i] = x[i]), symmetric pairs
// added before the multiply, four pairs per step in two-sample registers.
inline ox_cf32 fold_complex(const float *c2, const ox_cf32 *x, size_t h, size_t o, size_t n) {
    const float *xf = reinterpret_cast<const float *>(x);
    simd::f32x4 a0 = simd::zero(), a1 = a0;
    size_t k = 0;
    for (; k + 4 <= h; k += 4) {
        const simd::f32x4 f0 = simd::loadu(xf + 2 * (k + o));
        const simd::f32x4 f1 = simd::loadu(xf + 2 * (k + o + 2));
        simd::f32x4 b0 = simd::loadu(xf + 2 * (n - 2 - k));  // X[n-2-k], X[n-1-k]
        simd::f32x4 b1 = simd::loadu(xf + 2 * (n - 4 - k));  // X[n-4-k], X[n-3-k]
        b0 = simd::shuffle<simd::sel(1, 0, 3, 2)>(b0, b0);
        b1 = simd::shuffle<simd::sel(1, 0, 3, 2)>(b1, b1);
        a0 = simd::add(a0, simd::mul(simd::loadu(c2 + 2 * k), simd::add(f0, b0)));
        a1 = simd::add(a1, simd::mul(simd::loadu(c2 + 2 * k + 4), simd::add(f1, b1)));
    }
    simd::f32x4 s = simd::add(a0, a1);
    alignas(16) float v[4];
    simd::storeu(v, s);
    float re = v[0] + v[2], im = v[1] + v[3];
    for (; k < h; ++k) {
        const ox_cf32 p = x[k + o], q = x[n - 1 - k];
        re += c2[2 * k] * (p.re + q.re);
        im += c2[2 * k] * (p.im + q.im);
    }
    return ox_cf32{re, im};
}

// sum_{k<h} c[k] * (X[k + o] - X[n-1-k]) over real samples, four pairs per step.
inline float fold_real_diff(const float *c, const float *x, size_t h, size_t o, size_t n) {
    simd::f32x4 a = simd::zero();
    size_t k = 0;
    for (; k + 4 <= h; k += 4) {
        const simd::f32x4 f = simd::loadu(x + k + o);
        simd::f32x4 b = simd::loadu(x + n - 4 - k);  // X[n-4-k] ... X[n-1-k]
        b = simd::shuffle<simd::sel(0, 1, 2, 3)>(b, b);
        a = simd::add(a, simd::mul(simd::loadu(c + k), simd::sub(f, b)));
    }
    alignas(16) float v[4];
    simd::storeu(v, a);
    float s = (v[0] + v[1]) + (v[2] + v[3]);
    for (; k < h; ++k) s += c[k] * (x[k + o] - x[n - 1 - k]);
    return s;
}

inline ox_cf32 output_complex(const hb_state<ox_cf32> *d) {
    const ox_cf32 *a = d->ring_a + d->pos_a, *b = d->ring_b + d->pos_b;
    if (!d->even) {
        const ox_cf32 s = fold_complex(d->taps2, b, d->h, 1, d->n);
        return ox_cf32{0.5f * a[d->h].re + s.re, 0.5f * a[d->h].im + s.im};
    }
    const ox_cf32 s = fold_complex(d->taps2, a, d->h, 0, d->n);
    return ox_cf32{0.5f * b[d->h].re + s.re, 0.5f * b[d->h].im + s.im};
}

inline ox_cf32 output_r2c(hb_state<float> *d) {
    const float *a = d->ring_a + d->pos_a, *b = d->ring_b + d->pos_b;
    const float centre_gain = d->sign * 0.5f;
    ox_cf32 y;
    if (!d->even) {
        y.re = centre_gain * a[d->h];
        y.im = fold_real_diff(d->taps, b, d->h, 1, d->n);
    } else {
        y.re = fold_real_diff(d->taps, a, d->h, 0, d->n);
        y.im = centre_gain * b[d->h];
    }
    const float g = d->parity ? -2.0f : 2.0f;
    d->parity ^= 1u;
    return ox_cf32{y.re * g, y.im * g};
}

// Pairs the inputs (a pending sample first), one output per pair; an unpaired input, or the one
// that would start a pair once out_cap is reached, is kept pending.
template <class S, class Out>
size_t hb_execute(hb_state<S> *d, const S *in, size_t n_in, ox_cf32 *out, size_t out_cap, Out make) {
    if (n_in == 0 || out_cap == 0) return 0;
    size_t i = 0, k = 0;
    if (d->pending) {
        hb_push(d->ring_a, &d->pos_a, d->mask, d->R, d->pend);
        hb_push(d->ring_b, &d->pos_b, d->mask, d->R, in[0]);
        d->pending = 0;
        d->pend = S{};
        i = 1;
        out[k++] = make(d);
    }
    while (n_in - i >= 2 && k < out_cap) {
        hb_push(d->ring_a, &d->pos_a, d->mask, d->R, in[i]);
        hb_push(d->ring_b, &d->pos_b, d->mask, d->R, in[i + 1]);
        i += 2;
        out[k++] = make(d);
    }
    if (i < n_in) {
        d->pending = 1;
        d->pend = in[i];
    }
    return k;
}

template <class S>
size_t hb_state_bytes(const hb_state<S> *d) {
    return sizeof(S) == 8 ? 44 + 32 * d->R : 44 + 16 * d->R;
}

template <class S>
void hb_get_state(const hb_state<S> *d, void *buf, const ox::BlobKind &kind) {
    const size_t total = hb_state_bytes(d);
    ox::blob_write_header(buf, kind, static_cast<uint32_t>(total));
    ox::BlobWriter w(static_cast<uint8_t *>(buf) + ox::kBlobHeaderBytes);
    w.put<uint64_t>(d->pos_a);
    w.put<uint64_t>(d->pos_b);
    w.put<uint32_t>(d->pending);
    w.put<S>(d->pend);
    if constexpr (sizeof(S) == 4) w.put<uint32_t>(d->parity);
    w.bytes(d->ring_a, 2 * d->R * sizeof(S));
    w.bytes(d->ring_b, 2 * d->R * sizeof(S));
}

// Validates every field that indexes the rings or selects a path before anything is written.
template <class S>
int hb_set_state(hb_state<S> *d, const void *buf, const ox::BlobKind &kind) {
    const size_t total = hb_state_bytes(d);
    if (!buf || total > UINT32_MAX || !ox::blob_header_ok(buf, kind, static_cast<uint32_t>(total)))
        return OX_EINVAL;
    ox::BlobReader rd(static_cast<const uint8_t *>(buf) + ox::kBlobHeaderBytes);
    const uint64_t pos_a = rd.get<uint64_t>();
    const uint64_t pos_b = rd.get<uint64_t>();
    const uint32_t pending = rd.get<uint32_t>();
    const S pend = rd.get<S>();
    uint32_t parity = 0;
    if constexpr (sizeof(S) == 4) parity = rd.get<uint32_t>();
    if (pos_a > d->mask || pos_b > d->mask || pending > 1 || parity > 1) return OX_EINVAL;
    d->pos_a = static_cast<size_t>(pos_a);
    d->pos_b = static_cast<size_t>(pos_b);
    d->pending = pending;
    d->pend = pend;
    d->parity = parity;
    rd.bytes(d->ring_a, 2 * d->R * sizeof(S));
    rd.bytes(d->ring_b, 2 * d->R * sizeof(S));
    return OX_OK;
}

constexpr ox::BlobKind kHbBlob{"HBDC", 1};
constexpr ox::BlobKind kHbR2cBlob{"HBR2", 1};

}  // namespace

struct hbdecim : hb_state<ox_cf32> {};
struct hbdecim_r2c : hb_state<float> {};

// ---- complex decimator -------------------------------------------------------------------

hbdecim *hbdecim_create(size_t n, const float *table) {
    return static_cast<hbdecim *>(hb_alloc<ox_cf32>(n, table, false));
}
void hbdecim_destroy(hbdecim *d) { hb_free<ox_cf32>(d); }
void hbdecim_reset(hbdecim *d) { hb_clear<ox_cf32>(d); }
double hbdecim_get_rate(void) { return 0.5; }
size_t hbdecim_get_num_taps(const hbdecim *d) { return d->n; }

double hbdecim_dc_gain(const hbdecim *d) {
    double g = 0.5;
    if (d->n < 2) return g;
    for (size_t k = 0; k < d->h; ++k) g += d->table[k];
    return g;
}

size_t hbdecim_execute(hbdecim *d, const ox_cf32 *in, size_t n_in, ox_cf32 *out, size_t out_cap) {
    return hb_execute<ox_cf32>(d, in, n_in, out, out_cap,
                               [](hb_state<ox_cf32> *s) { return output_complex(s); });
}

bool hbdecim_has_pending(const hbdecim *d) { return d->pending != 0; }

size_t hbdecim_state_bytes(const hbdecim *d) { return hb_state_bytes<ox_cf32>(d); }
void hbdecim_get_state(const hbdecim *d, void *buf) { hb_get_state<ox_cf32>(d, buf, kHbBlob); }
int hbdecim_set_state(hbdecim *d, const void *buf) { return hb_set_state<ox_cf32>(d, buf, kHbBlob); }

// ---- real-to-complex decimator -------------------------------------------------------------

hbdecim_r2c *hbdecim_r2c_create(size_t n, const float *table) {
    return static_cast<hbdecim_r2c *>(hb_alloc<float>(n, table, true));
}
void hbdecim_r2c_destroy(hbdecim_r2c *d) { hb_free<float>(d); }
void hbdecim_r2c_reset(hbdecim_r2c *d) { hb_clear<float>(d); }
double hbdecim_r2c_get_rate(void) { return 0.5; }
size_t hbdecim_r2c_get_num_taps(const hbdecim_r2c *d) { return d->n; }

size_t hbdecim_r2c_execute(hbdecim_r2c *d, const float *in, size_t n_in, ox_cf32 *out,
                           size_t out_cap) {
    return hb_execute<float>(d, in, n_in, out, out_cap,
                             [](hb_state<float> *s) { return output_r2c(s); });
}

size_t hbdecim_r2c_state_bytes(const hbdecim_r2c *d) { return hb_state_bytes<float>(d); }
void hbdecim_r2c_get_state(const hbdecim_r2c *d, void *buf) {
    hb_get_state<float>(d, buf, kHbR2cBlob);
}
int hbdecim_r2c_set_state(hbdecim_r2c *d, const void *buf) {
    return hb_set_state<float>(d, buf, kHbR2cBlob);
}
