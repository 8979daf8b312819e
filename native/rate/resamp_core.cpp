#include "rate/resamp_core.h"

#include "common/ox_simd.h"

#include <cmath>
#include <cstdlib>

struct resamp {
    double rate;          // output samples per input sample
    size_t num_phases;    // L, branches (a power of two)
    size_t num_taps;      // T, taps per branch
    int phase_bits;       // b: 2^b >= L, 0 when L <= 1
    int up;               // rate >= 1: interpolating form of rate mode
    float *bank;          // L x T, row p = branch p
    uint32_t acc;         // rate-mode phase
    uint32_t inc;         // rate-mode increment
    ox_cf32 *ring;        // 2R samples, every sample written at i and i + R
    size_t ring_size;     // R
    size_t ring_mask;     // R - 1
    size_t ring_pos;      // newest sample; ring[ring_pos + t] is t samples in the past
    ox_cf32 *dump_acc;    // decimating form: output being built (T)
    ox_cf32 *dump_tail;   // decimating form: partial sums of the next T - 1 outputs
    uint32_t ctrl_acc;    // controlled-mode fractional phase
    uint32_t ctrl_skip;   // controlled mode: inputs still to take before the next output
    uint32_t ctrl_backlog;  // controlled mode: inputs pushed without output room, not yet counted
};

namespace simd = ox::simd;

namespace {

constexpr ox::BlobKind kResampBlob{"RSMP", 2};
constexpr size_t kDefaultPhases = 4096;
constexpr size_t kDefaultTaps = 19;

uint32_t increment_for(double rate) {
    if (rate >= 1.0) {
        const double q = 4294967296.0 / rate;
        return (q > 0.0 && q < 4294967296.0) ? static_cast<uint32_t>(q) : 0u;
    }
    const double p = 4294967296.0 * rate;
    return p > 0.0 ? static_cast<uint32_t>(p) : 0u;
}

void apply_rate(resamp *r, double rate) {
    r->rate = rate;
    r->up = rate >= 1.0 ? 1 : 0;
    r->inc = increment_for(rate);
}

inline size_t branch_of(const resamp *r, uint32_t phase) {
    return r->phase_bits == 0 ? 0 : static_cast<size_t>(phase >> (32 - r->phase_bits));
}

// Real taps against T contiguous cf32 samples, single precision, taps taken four at a time with
// two samples per register (re, im, re, im) and four partial sums folded at the end.
inline ox_cf32 dot_real(const float *h, const ox_cf32 *x, size_t T) {
    const float *xf = reinterpret_cast<const float *>(x);
    simd::f32x4 a0 = simd::zero(), a1 = a0, a2 = a0, a3 = a0;
    size_t t = 0;
    for (; t + 8 <= T; t += 8) {
        const simd::f32x4 h0 = simd::loadu(h + t), h1 = simd::loadu(h + t + 4);
        a0 = simd::add(a0, simd::mul(simd::unpacklo(h0, h0), simd::loadu(xf + 2 * t)));
        a1 = simd::add(a1, simd::mul(simd::unpackhi(h0, h0), simd::loadu(xf + 2 * t + 4)));
        a2 = simd::add(a2, simd::mul(simd::unpacklo(h1, h1), simd::loadu(xf + 2 * t + 8)));
        a3 = simd::add(a3, simd::mul(simd::unpackhi(h1, h1), simd::loadu(xf + 2 * t + 12)));
    }
    if (t + 4 <= T) {
        const simd::f32x4 h0 = simd::loadu(h + t);
        a0 = simd::add(a0, simd::mul(simd::unpacklo(h0, h0), simd::loadu(xf + 2 * t)));
        a1 = simd::add(a1, simd::mul(simd::unpackhi(h0, h0), simd::loadu(xf + 2 * t + 4)));
        t += 4;
    }
    if (t + 2 <= T) {
        const simd::f32x4 hh = simd::setr(h[t], h[t], h[t + 1], h[t + 1]);
        a2 = simd::add(a2, simd::mul(hh, simd::loadu(xf + 2 * t)));
        t += 2;
    }
    if (t < T) {
        const simd::f32x4 hh = simd::set1(h[t]);
        const simd::f32x4 xx = simd::load2(xf + 2 * t);
        a3 = simd::add(a3, simd::mul(hh, xx));
    }
    const simd::f32x4 s = simd::add(simd::add(a0, a1), simd::add(a2, a3));
    const simd::f32x4 hi = simd::movehl(s, s);
    const simd::f32x4 sum = simd::add(s, hi);
    alignas(16) float v[4];
    simd::storeu(v, sum);
    return ox_cf32{v[0], v[1]};
}

inline ox_cf32 branch_output(const resamp *r, uint32_t phase) {
    const size_t p = branch_of(r, phase);
    return dot_real(r->bank + p * r->num_taps, r->ring + r->ring_pos, r->num_taps);
}

inline void push(resamp *r, ox_cf32 x) {
    r->ring_pos = (r->ring_pos - 1) & r->ring_mask;
    r->ring[r->ring_pos] = x;
    r->ring[r->ring_pos + r->ring_size] = x;
}

// Decimating form, one input: dump_acc[j] += xs * bank[p*T + T-1-j]. Element-wise, so the
// vectorised loop gives exactly the scalar result.
inline void dump_accumulate(resamp *r, ox_cf32 xs, const float *row) {
    const size_t T = r->num_taps;
    float *acc = reinterpret_cast<float *>(r->dump_acc);
    const simd::f32x4 xv = simd::setr(xs.re, xs.im, xs.re, xs.im);
    size_t j = 0;
    for (; j + 4 <= T; j += 4) {
        // Taps for j .. j+3 are row[T-1-j] ... row[T-4-j]: load row[T-4-j .. T-1-j] and reverse.
        const simd::f32x4 hv = simd::loadu(row + T - 4 - j);
        const simd::f32x4 h01 = simd::shuffle<simd::sel(2, 2, 3, 3)>(hv, hv);
        const simd::f32x4 h23 = simd::shuffle<simd::sel(0, 0, 1, 1)>(hv, hv);
        simd::storeu(acc + 2 * j, simd::add(simd::loadu(acc + 2 * j), simd::mul(xv, h01)));
        simd::storeu(acc + 2 * j + 4,
                      simd::add(simd::loadu(acc + 2 * j + 4), simd::mul(xv, h23)));
    }
    if (j + 2 <= T) {
        const simd::f32x4 h01 = simd::setr(row[T - 1 - j], row[T - 1 - j], row[T - 2 - j], row[T - 2 - j]);
        simd::storeu(acc + 2 * j, simd::add(simd::loadu(acc + 2 * j), simd::mul(xv, h01)));
        j += 2;
    }
    for (; j < T; ++j) {
        const float h = row[T - 1 - j];
        acc[2 * j] += xs.re * h;
        acc[2 * j + 1] += xs.im * h;
    }
}

inline ox_cf32 dump_emit(resamp *r) {
    const size_t T = r->num_taps;
    ox_cf32 *__restrict acc = r->dump_acc;
    ox_cf32 *__restrict tail = r->dump_tail;
    ox_cf32 y;
    if (T == 1) {
        y = acc[0];
    } else {
        y = ox_cf32{acc[0].re + tail[0].re, acc[0].im + tail[0].im};
        // tail[j] = tail[j+1] + acc[j+1] for j = 0 ... T-3: element-wise, reading ahead of the
        // writes, two samples per register.
        float *tf = reinterpret_cast<float *>(tail);
        const float *af = reinterpret_cast<const float *>(acc);
        size_t j = 0;
        for (; j + 2 <= T - 2; j += 2)
            simd::storeu(tf + 2 * j, simd::add(simd::loadu(tf + 2 * j + 2), simd::loadu(af + 2 * j + 2)));
        for (; j < T - 2; ++j) tail[j] = ox_cf32{tail[j + 1].re + acc[j + 1].re, tail[j + 1].im + acc[j + 1].im};
        tail[T - 2] = acc[T - 1];
    }
    float *af = reinterpret_cast<float *>(acc);
    size_t j = 0;
    for (; j + 2 <= T; j += 2) simd::storeu(af + 2 * j, simd::zero());
    if (j < T) acc[j] = ox_cf32{0.0f, 0.0f};
    return y;
}

double bessel_i0(double x) {
    const double half = x / 2.0;
    double sum = 1.0, term = 1.0;
    for (int k = 1; k <= 29; ++k) {
        const double q = half / k;
        term *= q * q;
        sum += term;
        if (term < 1e-20 * sum) break;
    }
    return sum;
}

// Default bank: Kaiser-windowed sinc prototype of 19 * 4096 + 1 samples (centre 38912, zeros of
// the sinc every 4096 samples = one input sample), split into 4096 branches of 19 taps.
bool build_default_bank(float *bank) {
    const size_t L = kDefaultPhases, T = kDefaultTaps;
    const size_t len = T * L + 1;
    auto *h = static_cast<double *>(std::malloc(len * sizeof(double)));
    if (!h) return false;
    const double beta = 5.65326;
    const double inv_i0b = 1.0 / bessel_i0(beta);
    const double centre = 38912.0;
    for (size_t j = 0; j < len; ++j) {
        const double d = static_cast<double>(j) - centre;
        const double u = d / centre;
        const double w = bessel_i0(beta * std::sqrt(1.0 - u * u)) * inv_i0b;
        double s = 1.0;
        if (j != 38912) {
            const double theta = d * M_PI / 4096.0;
            s = std::sin(theta) / theta;
        }
        h[j] = s * w;
    }
    for (size_t p = 0; p < L; ++p)
        for (size_t t = 0; t < T; ++t) bank[p * T + t] = static_cast<float>(h[t * L + p]);
    std::free(h);
    return true;
}

// Allocates the object and its arrays (bank uninitialised); null with nothing held on failure.
resamp *alloc_resamp(size_t L, size_t T, double rate) {
    if (L == 0 || T == 0 || (L & (L - 1)) != 0 || L > (size_t{1} << 32)) return nullptr;
    if (T > (size_t{1} << 28) || L > SIZE_MAX / sizeof(float) / T) return nullptr;
    auto *r = static_cast<resamp *>(std::calloc(1, sizeof(resamp)));
    if (!r) return nullptr;
    r->num_phases = L;
    r->num_taps = T;
    int b = 0;
    while ((size_t{1} << b) < L) ++b;
    r->phase_bits = b;
    size_t R = 1;
    while (R < T) R <<= 1;
    r->ring_size = R;
    r->ring_mask = R - 1;
    r->bank = static_cast<float *>(std::malloc(L * T * sizeof(float)));
    r->ring = static_cast<ox_cf32 *>(std::calloc(2 * R, sizeof(ox_cf32)));
    r->dump_acc = static_cast<ox_cf32 *>(std::calloc(T, sizeof(ox_cf32)));
    r->dump_tail = static_cast<ox_cf32 *>(std::calloc(T > 1 ? T - 1 : 1, sizeof(ox_cf32)));
    if (!r->bank || !r->ring || !r->dump_acc || !r->dump_tail) {
        resamp_destroy(r);
        return nullptr;
    }
    apply_rate(r, rate);
    return r;
}

}  // namespace

resamp *resamp_create(double rate) {
    if (!(rate > 0.0)) return nullptr;
    resamp *r = alloc_resamp(kDefaultPhases, kDefaultTaps, rate);
    if (!r) return nullptr;
    if (!build_default_bank(r->bank)) {
        resamp_destroy(r);
        return nullptr;
    }
    return r;
}

resamp *resamp_create_custom(size_t num_phases, size_t num_taps, const float *bank, double rate) {
    if (!bank || !(rate > 0.0)) return nullptr;
    resamp *r = alloc_resamp(num_phases, num_taps, rate);
    if (!r) return nullptr;
    std::memcpy(r->bank, bank, num_phases * num_taps * sizeof(float));
    return r;
}

void resamp_destroy(resamp *r) {
    if (!r) return;
    std::free(r->bank);
    std::free(r->ring);
    std::free(r->dump_acc);
    std::free(r->dump_tail);
    std::free(r);
}

void resamp_reset(resamp *r) {
    r->acc = 0;
    r->ring_pos = 0;
    r->ctrl_acc = r->ctrl_skip = r->ctrl_backlog = 0;
    std::memset(r->ring, 0, 2 * r->ring_size * sizeof(ox_cf32));
    std::memset(r->dump_acc, 0, r->num_taps * sizeof(ox_cf32));
    std::memset(r->dump_tail, 0, (r->num_taps > 1 ? r->num_taps - 1 : 1) * sizeof(ox_cf32));
}

double resamp_get_rate(const resamp *r) { return r->rate; }

void resamp_set_rate(resamp *r, double rate) {
    if (rate > 0.0) apply_rate(r, rate);
}

size_t resamp_get_num_phases(const resamp *r) { return r->num_phases; }
size_t resamp_get_num_taps(const resamp *r) { return r->num_taps; }

double resamp_get_delay(const resamp *r) {
    const size_t half = (r->num_phases * r->num_taps) >> 1;
    return static_cast<double>(half) / static_cast<double>(r->num_phases) + 1.0;
}

double resamp_dc_gain(const resamp *r) {
    double s = 0.0;
    for (size_t t = 0; t < r->num_taps; ++t) s += r->bank[t];
    return s;
}

double resamp_get_ctrl_acc(const resamp *r) { return r->ctrl_acc * (1.0 / 4294967296.0); }

size_t resamp_interp_inputs_needed(const resamp *r, size_t n_out) {
    if (r->inc == 0) return n_out;
    return static_cast<size_t>((static_cast<uint64_t>(n_out) * r->inc + r->acc) >> 32);
}

size_t resamp_interp_fill(resamp *r, const ox_cf32 *in, ox_cf32 *out, size_t n_out) {
    size_t i = 0;
    uint32_t acc = r->acc;
    const uint32_t inc = r->inc;
    for (size_t k = 0; k < n_out; ++k) {
        out[k] = branch_output(r, acc);
        const uint32_t next = acc + inc;
        if (next <= acc) push(r, in[i++]);
        acc = next;
    }
    r->acc = acc;
    return i;
}

size_t resamp_execute(resamp *r, const ox_cf32 *in, size_t n_in, ox_cf32 *out, size_t out_cap) {
    if (n_in == 0 || out_cap == 0) return 0;
    size_t i = 0, k = 0;
    uint32_t acc = r->acc;
    const uint32_t inc = r->inc;
    if (r->up) {
        // Output-driven: each output is formed before the input it waits for is pushed.
        for (;;) {
            out[k++] = branch_output(r, acc);
            const uint32_t next = acc + inc;
            if (next <= acc) push(r, in[i++]);
            acc = next;
            if (i == n_in || k == out_cap) break;
        }
    } else {
        // Input-driven transposed form: every input is spread over T outputs, scaled by the rate.
        const float g = static_cast<float>(r->rate);
        const size_t T = r->num_taps;
        for (; i < n_in && k < out_cap; ++i) {
            const float *row = r->bank + branch_of(r, acc) * T;
            const ox_cf32 xs{in[i].re * g, in[i].im * g};
            dump_accumulate(r, xs, row);
            const uint32_t next = acc + inc;
            if (next <= acc) out[k++] = dump_emit(r);
            acc = next;
        }
    }
    r->acc = acc;
    return k;
}

// Controlled-mode step for rates at or below 1e-6, and the largest skip count a push can leave.
constexpr uint32_t kSlowestStep = 1000000;
constexpr uint32_t kMaxCtrlSkip = kSlowestStep + 1;

ox::ResampStep ox::resamp_ctrl_step(const resamp *r, double ctrl) {
    // Step between outputs in input samples: whole part W and 32-bit fraction c.
    const double v = r->rate + ctrl;
    uint32_t W, c;
    if (v > 1e-6) {
        const double s = 1.0 / v;
        const double whole = std::trunc(s);
        const double frac = s - whole;
        const double t = 4294967296.0 * frac;
        if (t > 0.0) {
            c = frac >= 1.0 ? 0xFFFFFFFFu : static_cast<uint32_t>(t);
            W = static_cast<uint32_t>(whole);
        } else {
            c = 0;
            W = whole >= 4294967295.0 ? 0xFFFFFFFFu : static_cast<uint32_t>(whole);
        }
    } else {
        W = kSlowestStep;
        c = 0;
    }
    return ResampStep{W, c};
}

size_t ox::resamp_ctrl_push_sparse(resamp *r, ox_cf32 *out, size_t out_cap, ox_cf32 x, ResampStep step,
                                   uint32_t want) {
    const uint32_t W = step.whole, c = step.frac;
    size_t k = 0;
    while (k < out_cap) {
        if (r->ctrl_skip == 0) {
            do {
                const bool needed = k >= 32 || ((want >> k) & 1u) != 0;
                out[k++] = needed ? branch_output(r, r->ctrl_acc) : ox_cf32{0.0f, 0.0f};
                const uint32_t next = r->ctrl_acc + c;
                const uint32_t carry = next < r->ctrl_acc ? 1u : 0u;
                r->ctrl_acc = next;
                r->ctrl_skip = W + carry;
            } while (r->ctrl_skip == 0 && k < out_cap);
            if (r->ctrl_skip == 0) break;
        }
        r->ctrl_skip -= 1;
        if (r->ctrl_backlog == 0) {
            push(r, x);
            return k;
        }
        r->ctrl_backlog -= 1;
    }
    push(r, x);
    r->ctrl_backlog += 1;
    return k;
}

size_t resamp_execute_ctrl_push(resamp *r, ox_cf32 *out, size_t out_cap, ox_cf32 x, double ctrl) {
    return ox::resamp_ctrl_push_sparse(r, out, out_cap, x, ox::resamp_ctrl_step(r, ctrl), ~0u);
}

size_t resamp_execute_ctrl(resamp *r, const ox_cf32 *in, const double *ctrl, size_t n_in,
                           ox_cf32 *out, size_t out_cap) {
    if (n_in == 0 || out_cap == 0) return 0;
    size_t k = 0;
    for (size_t i = 0; i < n_in && k < out_cap; ++i)
        k += resamp_execute_ctrl_push(r, out + k, out_cap - k, in[i], ctrl ? ctrl[i] : 0.0);
    return k;
}

size_t resamp_state_bytes(const resamp *r) {
    const size_t R = r->ring_size, T = r->num_taps;
    return T >= 2 ? 16 * R + 16 * T + 32 : 16 * R + 8 * T + 40;
}

void resamp_get_state(const resamp *r, void *buf) {
    const size_t total = resamp_state_bytes(r);
    ox::blob_write_header(buf, kResampBlob, static_cast<uint32_t>(total));
    ox::BlobWriter w(static_cast<uint8_t *>(buf) + ox::kBlobHeaderBytes);
    w.put<uint32_t>(r->acc);
    w.put<uint64_t>(r->ring_pos);
    w.put<uint32_t>(r->ctrl_acc);
    w.put<uint32_t>(r->ctrl_skip);
    w.put<uint32_t>(r->ctrl_backlog);
    w.bytes(r->ring, 2 * r->ring_size * sizeof(ox_cf32));
    w.bytes(r->dump_acc, r->num_taps * sizeof(ox_cf32));
    if (r->num_taps >= 2) w.bytes(r->dump_tail, (r->num_taps - 1) * sizeof(ox_cf32));
}

int resamp_set_state(resamp *r, const void *buf) {
    const size_t total = resamp_state_bytes(r);
    if (!buf || total > UINT32_MAX ||
        !ox::blob_header_ok(buf, kResampBlob, static_cast<uint32_t>(total)))
        return OX_EINVAL;
    ox::BlobReader rd(static_cast<const uint8_t *>(buf) + ox::kBlobHeaderBytes);
    const uint32_t acc = rd.get<uint32_t>();
    const uint64_t ring_pos = rd.get<uint64_t>();
    const uint32_t ctrl_acc = rd.get<uint32_t>();
    const uint32_t ctrl_skip = rd.get<uint32_t>();
    const uint32_t ctrl_backlog = rd.get<uint32_t>();
    // The ring position indexes the mirrored ring: it must name one of its R slots. The
    // controlled-mode skip count is at most the largest step between outputs plus its carry
    // (a step is below 10^6 inputs, or exactly 10^6 for a rate at or under 1e-6): a larger
    // one cannot come from a real stream and would make every push run billions of empty
    // iterations while it counts down the backlog. The backlog is bounded the same way: each
    // push counts down one backlog input per pass, so a huge one (0xFFFFFFFF) under a slow
    // step would make every later push run millions of passes. Composites push with room for
    // more outputs than one input yields, so their backlog stays at 0 or 1; only a caller
    // pushing over a million inputs without any output room could exceed the bound.
    if (ring_pos > r->ring_mask || ctrl_skip > kMaxCtrlSkip || ctrl_backlog > kMaxCtrlSkip)
        return OX_EINVAL;
    r->acc = acc;
    r->ring_pos = static_cast<size_t>(ring_pos);
    r->ctrl_acc = ctrl_acc;
    r->ctrl_skip = ctrl_skip;
    r->ctrl_backlog = ctrl_backlog;
    rd.bytes(r->ring, 2 * r->ring_size * sizeof(ox_cf32));
    rd.bytes(r->dump_acc, r->num_taps * sizeof(ox_cf32));
    if (r->num_taps >= 2) rd.bytes(r->dump_tail, (r->num_taps - 1) * sizeof(ox_cf32));
    return OX_OK;
}
