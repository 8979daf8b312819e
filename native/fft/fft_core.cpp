// FFT component over the plan layer. See fft_core.h.
#include "fft/fft_core.h"

#include <cstdlib>
#include <cstring>

struct fft_state_t {
    fft_plan_t *plan64;  // double-precision calls
    fft_plan_t *plan32;  // single-precision and integer calls
    uint64_t n;          // transform length
    int32_t sign;        // as given at creation
    ox_cf64 *scratch;    // n cf64, zero-filled at first need (short outputs); null until then
};

namespace {

// The scratch for short outputs, allocated once; null if memory is exhausted.
ox_cf64 *scratch_of(fft_state_t *f) {
    if (!f->scratch) f->scratch = ox::fft::scratch_alloc(f->n);
    return f->scratch;
}

// Shared rule of the x/out executes: transform straight into out when it holds n bins, else
// into the scratch and copy the lowest out_cap bins.
template <class S, class Run>
size_t execute(fft_state_t *f, fft_plan_t *plan, const S *in, size_t in_len, S *out,
               size_t out_cap, Run run) {
    if (!f || !in || !out) return 0;
    if (out_cap >= f->n) {
        run(plan, in, in_len, out);
        return f->n;
    }
    auto *tmp = reinterpret_cast<S *>(scratch_of(f));
    if (!tmp) return 0;
    run(plan, in, in_len, tmp);
    std::memcpy(out, tmp, out_cap * sizeof(S));
    return out_cap;
}

}  // namespace

OX_API fft_state_t *fft_create(uint64_t n, int sign, int nthreads) {
    if (n == 0) return nullptr;
    auto *f = static_cast<fft_state_t *>(std::calloc(1, sizeof(fft_state_t)));
    if (!f) return nullptr;
    f->n = n;
    f->sign = sign;
    using ox::fft::Precision;
    // nthreads is accepted for the interface and ignored: the transforms are single-threaded
    // (the spectral module runs them under the interpreter lock).
    (void)nthreads;
    f->plan64 = ox::fft::plan_1d(n, sign, 1, Precision::kDoubleCalls);
    if (f->plan64) f->plan32 = ox::fft::plan_1d(n, sign, 1, Precision::kSingleCalls);
    if (!f->plan32) {
        fft_destroy(f);
        return nullptr;
    }
    return f;
}

OX_API void fft_destroy(fft_state_t *f) {
    if (!f) return;
    pocketfft_destroy_plan(f->plan64);
    pocketfft_destroy_plan(f->plan32);
    ox::fft::scratch_free(f->scratch);
    std::free(f);
}

OX_API void fft_reset(fft_state_t *) {}

OX_API uint64_t fft_get_n(const fft_state_t *f) { return f ? f->n : 0; }
OX_API int fft_get_sign(const fft_state_t *f) { return f ? f->sign : 0; }

OX_API size_t fft_execute_cf64(fft_state_t *f, const ox_cf64 *in, size_t in_len, ox_cf64 *out,
                               size_t out_cap) {
    return execute(f, f ? f->plan64 : nullptr, in, in_len, out, out_cap, ox::fft::run_cf64);
}

OX_API size_t fft_execute_cf32(fft_state_t *f, const ox_cf32 *in, size_t in_len, ox_cf32 *out,
                               size_t out_cap) {
    return execute(f, f ? f->plan32 : nullptr, in, in_len, out, out_cap, ox::fft::run_cf32);
}

// The plan layer already stages an input that overlaps the output, so the in-place variants
// share the out-of-place path: min(in_len, n) samples are taken, the rest is zero.
OX_API size_t fft_execute_inplace_cf64(fft_state_t *f, const ox_cf64 *in, size_t in_len,
                                       ox_cf64 *out, size_t out_cap) {
    return fft_execute_cf64(f, in, in_len, out, out_cap);
}

OX_API size_t fft_execute_inplace_cf32(fft_state_t *f, const ox_cf32 *in, size_t in_len,
                                       ox_cf32 *out, size_t out_cap) {
    return fft_execute_cf32(f, in, in_len, out, out_cap);
}

OX_API size_t fft_execute_ci16(fft_state_t *f, const int16_t *iq, size_t in_len, ox_cf32 *out) {
    if (!f || !iq || !out) return 0;
    ox::fft::run_ci16(f->plan32, iq, in_len, out);
    return f->n;
}

OX_API size_t fft_execute_ci8(fft_state_t *f, const int8_t *iq, size_t in_len, ox_cf32 *out) {
    if (!f || !iq || !out) return 0;
    ox::fft::run_ci8(f->plan32, iq, in_len, out);
    return f->n;
}

OX_API size_t fft_execute_cf64_max_out(const fft_state_t *f) { return f ? f->n : 0; }
OX_API size_t fft_execute_cf32_max_out(const fft_state_t *f) { return f ? f->n : 0; }
OX_API size_t fft_execute_inplace_cf64_max_out(const fft_state_t *f) { return f ? f->n : 0; }
OX_API size_t fft_execute_inplace_cf32_max_out(const fft_state_t *f) { return f ? f->n : 0; }
OX_API size_t fft_execute_ci16_max_out(const fft_state_t *f) { return f ? f->n : 0; }
OX_API size_t fft_execute_ci8_max_out(const fft_state_t *f) { return f ? f->n : 0; }
