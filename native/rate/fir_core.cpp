#include "rate/fir_core.h"

#include "common/ox_simd.h"

#include <cmath>
#include <cstdlib>

struct fir {
    ox_cf32 *ctaps;    // complex taps, or null
    float *rtaps;      // real taps, or null (exactly one of the two is set)
    ox_cf32 *history;  // last num_taps - 1 inputs, oldest first (null when num_taps == 1)
    ox_cf32 *work;     // history followed by the current block
    size_t work_cap;   // samples the work buffer holds; grows, never shrinks
    size_t num_taps;
};

namespace simd = ox::simd;

namespace {

constexpr ox::BlobKind kFirBlob{"FIR_", 1};

fir *fir_alloc(size_t num_taps) {
    if (num_taps > SIZE_MAX / sizeof(ox_cf32) / 2) return nullptr;  // byte counts must not wrap
    auto *f = static_cast<fir *>(std::calloc(1, sizeof(fir)));
    if (!f) return nullptr;
    f->num_taps = num_taps;
    if (num_taps > 1) {
        f->history = static_cast<ox_cf32 *>(std::calloc(num_taps - 1, sizeof(ox_cf32)));
        if (!f->history) {
            std::free(f);
            return nullptr;
        }
    }
    return f;
}

// Real taps: out[k] = sum_j h[j] * w[T-1+k-j], accumulated in tap order j = 0, 1, ... per output.
// The fixed order is kept by vectorising across outputs: each 4-lane register holds two
// consecutive outputs (re, im, re, im) and one tap is broadcast to all lanes.
void kernel_real(const float *h, size_t T, const ox_cf32 *w, ox_cf32 *out, size_t n) {
    if (T == 0) {
        for (size_t k = 0; k < n; ++k) out[k] = ox_cf32{0.0f, 0.0f};
        return;
    }
    const float *wf = reinterpret_cast<const float *>(w);
    float *of = reinterpret_cast<float *>(out);
    size_t k = 0;
    // Eight outputs per pass: four independent accumulators hide the add latency.
    for (; k + 8 <= n; k += 8) {
        simd::f32x4 a0 = simd::zero(), a1 = a0, a2 = a0, a3 = a0;
        const float *base = wf + 2 * (T - 1 + k);
        for (size_t j = 0; j < T; ++j) {
            const simd::f32x4 hj = simd::set1(h[j]);
            const float *x = base - 2 * j;
            a0 = simd::add(a0, simd::mul(hj, simd::loadu(x)));
            a1 = simd::add(a1, simd::mul(hj, simd::loadu(x + 4)));
            a2 = simd::add(a2, simd::mul(hj, simd::loadu(x + 8)));
            a3 = simd::add(a3, simd::mul(hj, simd::loadu(x + 12)));
        }
        simd::storeu(of + 2 * k, a0);
        simd::storeu(of + 2 * k + 4, a1);
        simd::storeu(of + 2 * k + 8, a2);
        simd::storeu(of + 2 * k + 12, a3);
    }
    for (; k + 2 <= n; k += 2) {
        simd::f32x4 a0 = simd::zero();
        const float *base = wf + 2 * (T - 1 + k);
        for (size_t j = 0; j < T; ++j)
            a0 = simd::add(a0, simd::mul(simd::set1(h[j]), simd::loadu(base - 2 * j)));
        simd::storeu(of + 2 * k, a0);
    }
    for (; k < n; ++k) {
        // One sample: both components multiplied by the tap in one two-lane operation.
        simd::f32x4 a0 = simd::zero();
        const float *base = wf + 2 * (T - 1 + k);
        for (size_t j = 0; j < T; ++j) {
            const simd::f32x4 x = simd::load2(base - 2 * j);
            a0 = simd::add(a0, simd::mul(simd::set1(h[j]), x));
        }
        simd::store2(of + 2 * k, a0);
    }
}

// Complex taps: re += (hr*xr - hi*xi), im += (hr*xi + hi*xr), each term formed before it is
// added, in tap order. Lanes as in kernel_real; the swapped sample (xi, xr) is multiplied by
// (-hi, +hi) so that lane-wise hr*x + that equals the two terms exactly.
void kernel_complex(const ox_cf32 *h, size_t T, const ox_cf32 *w, ox_cf32 *out, size_t n) {
    if (T == 0) {
        for (size_t k = 0; k < n; ++k) out[k] = ox_cf32{0.0f, 0.0f};
        return;
    }
    const float *wf = reinterpret_cast<const float *>(w);
    float *of = reinterpret_cast<float *>(out);
    auto term = [](simd::f32x4 hr, simd::f32x4 hi, simd::f32x4 x) {
        const simd::f32x4 xs = simd::shuffle<simd::sel(2, 3, 0, 1)>(x, x);
        return simd::add(simd::mul(hr, x), simd::mul(hi, xs));
    };
    size_t k = 0;
    for (; k + 4 <= n; k += 4) {
        simd::f32x4 a0 = simd::zero(), a1 = a0;
        const float *base = wf + 2 * (T - 1 + k);
        for (size_t j = 0; j < T; ++j) {
            const simd::f32x4 hr = simd::set1(h[j].re);
            const simd::f32x4 hi = simd::setr(-h[j].im, h[j].im, -h[j].im, h[j].im);
            const float *x = base - 2 * j;
            a0 = simd::add(a0, term(hr, hi, simd::loadu(x)));
            a1 = simd::add(a1, term(hr, hi, simd::loadu(x + 4)));
        }
        simd::storeu(of + 2 * k, a0);
        simd::storeu(of + 2 * k + 4, a1);
    }
    for (; k < n; ++k) {
        float re = 0.0f, im = 0.0f;
        const ox_cf32 *x = w + (T - 1 + k);
        for (size_t j = 0; j < T; ++j) {
            const ox_cf32 s = *(x - j);
            const float tr = h[j].re * s.re - h[j].im * s.im;
            const float ti = h[j].re * s.im + h[j].im * s.re;
            re += tr;
            im += ti;
        }
        out[k] = ox_cf32{re, im};
    }
}

}  // namespace

fir *fir_create(const ox_cf32 *taps, size_t num_taps) {
    if (!taps || num_taps == 0) return nullptr;
    fir *f = fir_alloc(num_taps);
    if (!f) return nullptr;
    f->ctaps = static_cast<ox_cf32 *>(std::malloc(num_taps * sizeof(ox_cf32)));
    if (!f->ctaps) {
        fir_destroy(f);
        return nullptr;
    }
    std::memcpy(f->ctaps, taps, num_taps * sizeof(ox_cf32));
    return f;
}

fir *fir_create_real(const float *taps, size_t num_taps) {
    if (!taps || num_taps == 0) return nullptr;
    fir *f = fir_alloc(num_taps);
    if (!f) return nullptr;
    f->rtaps = static_cast<float *>(std::malloc(num_taps * sizeof(float)));
    if (!f->rtaps) {
        fir_destroy(f);
        return nullptr;
    }
    std::memcpy(f->rtaps, taps, num_taps * sizeof(float));
    return f;
}

void fir_destroy(fir *f) {
    if (!f) return;
    std::free(f->ctaps);
    std::free(f->rtaps);
    std::free(f->history);
    std::free(f->work);
    std::free(f);
}

void fir_reset(fir *f) {
    if (f->history) std::memset(f->history, 0, (f->num_taps - 1) * sizeof(ox_cf32));
}

size_t fir_get_num_taps(const fir *f) { return f->num_taps; }
int fir_get_is_real(const fir *f) { return f->rtaps ? 1 : 0; }

double fir_dc_gain(const fir *f) {
    double s = 0.0;
    for (size_t j = 0; j < f->num_taps; ++j) s += f->rtaps ? f->rtaps[j] : f->ctaps[j].re;
    return s;
}

size_t fir_state_bytes(const fir *f) { return ox::kBlobHeaderBytes + 8 * (f->num_taps - 1); }

void fir_get_state(const fir *f, void *buf) {
    const uint32_t total = static_cast<uint32_t>(fir_state_bytes(f));
    ox::blob_write_header(buf, kFirBlob, total);
    if (f->history)
        std::memcpy(static_cast<uint8_t *>(buf) + ox::kBlobHeaderBytes, f->history,
                    (f->num_taps - 1) * sizeof(ox_cf32));
}

int fir_set_state(fir *f, const void *buf) {
    const size_t total = fir_state_bytes(f);
    if (!buf || total > UINT32_MAX || !ox::blob_header_ok(buf, kFirBlob, static_cast<uint32_t>(total)))
        return OX_EINVAL;
    if (f->history)
        std::memcpy(f->history, static_cast<const uint8_t *>(buf) + ox::kBlobHeaderBytes,
                    (f->num_taps - 1) * sizeof(ox_cf32));
    return OX_OK;
}

size_t fir_execute_max_out(const fir *) { return 0; }

size_t fir_execute(fir *f, const ox_cf32 *in, size_t n, ox_cf32 *out) {
    if (!f || !in || !out || n == 0) return 0;
    const size_t hist = f->num_taps - 1;
    const size_t need = hist + n;
    if (need < n) return 0;  // size overflow
    if (f->work_cap < need) {
        if (need > SIZE_MAX / sizeof(ox_cf32)) return 0;
        auto *w = static_cast<ox_cf32 *>(std::malloc(need * sizeof(ox_cf32)));
        if (!w) return 0;
        std::free(f->work);
        f->work = w;
        f->work_cap = need;
    }
    ox_cf32 *w = f->work;
    if (hist) std::memcpy(w, f->history, hist * sizeof(ox_cf32));
    std::memcpy(w + hist, in, n * sizeof(ox_cf32));
    if (f->rtaps)
        kernel_real(f->rtaps, f->num_taps, w, out, n);
    else
        kernel_complex(f->ctaps, f->num_taps, w, out, n);
    if (hist) std::memcpy(f->history, w + n, hist * sizeof(ox_cf32));
    return n;
}

double kaiser_beta(double a) {
    if (a > 50.0) return 0.1102 * (a - 8.7);
    if (a >= 21.0) return 0.5842 * std::pow(a - 21.0, 0.4) + 0.07886 * (a - 21.0);
    return 0.0;
}

int kaiser_num_taps(int num_phases, double atten_db, double f_pass, double f_stop) {
    if (num_phases <= 0) return 0;
    const double n = (atten_db - 8.0) * 0.06965205386953845 / (f_stop - f_pass) * num_phases + 1.0;
    // Truncation toward zero; a negative or NaN estimate (f_stop <= f_pass) counts as 0 and an
    // estimate beyond the 64-bit range saturates, instead of an undefined conversion.
    uint64_t trunc = 0;
    if (n >= 18446744073709551616.0)
        trunc = UINT64_MAX;
    else if (n >= 1.0)
        trunc = static_cast<uint64_t>(n);
    const uint64_t total = trunc | 1u;
    return static_cast<int32_t>(total / static_cast<uint64_t>(num_phases) + 1);
}
