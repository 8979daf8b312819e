// 2-D FFT component over the plan layer. See fft2d_core.h.
#include "fft/fft2d_core.h"

#include <cstdlib>
#include <cstring>

struct fft2d_state_t {
    fft_plan_t *plan64;  // 2-D plan of the cf64 calls
    fft_plan_t *plan32;  // 2-D plan of the cf32 calls
    uint64_t ny;         // row count
    uint64_t nx;         // row length
    int32_t sign;        // as given at creation
    ox_cf64 *scratch;    // ny*nx cf64, zero-filled at first need (short outputs)
};

namespace {

template <class S, class Run>
size_t execute(fft2d_state_t *f, fft_plan_t *plan, const S *in, size_t in_len, S *out,
               size_t out_cap, Run run) {
    if (!f || !in || !out) return 0;
    const size_t total = ox::fft::plan_size(plan);
    if (out_cap >= total) {
        run(plan, in, in_len, out);
        return total;
    }
    if (!f->scratch) f->scratch = ox::fft::scratch_alloc(total);
    if (!f->scratch) return 0;
    auto *tmp = reinterpret_cast<S *>(f->scratch);
    run(plan, in, in_len, tmp);
    std::memcpy(out, tmp, out_cap * sizeof(S));
    return out_cap;
}

}  // namespace

OX_API fft2d_state_t *fft2d_create(uint64_t ny, uint64_t nx, int sign, int nthreads) {
    if (ny == 0 || nx == 0) return nullptr;
    auto *f = static_cast<fft2d_state_t *>(std::calloc(1, sizeof(fft2d_state_t)));
    if (!f) return nullptr;
    f->ny = ny;
    f->nx = nx;
    f->sign = sign;
    using ox::fft::Precision;
    (void)nthreads;  // accepted and ignored: the transforms are single-threaded
    f->plan64 = ox::fft::plan_2d(ny, nx, sign, 1, Precision::kDoubleCalls);
    if (f->plan64) f->plan32 = ox::fft::plan_2d(ny, nx, sign, 1, Precision::kSingleCalls);
    if (!f->plan32) {
        fft2d_destroy(f);
        return nullptr;
    }
    return f;
}

OX_API void fft2d_destroy(fft2d_state_t *f) {
    if (!f) return;
    pocketfft_destroy_plan(f->plan64);
    pocketfft_destroy_plan(f->plan32);
    ox::fft::scratch_free(f->scratch);
    std::free(f);
}

OX_API void fft2d_reset(fft2d_state_t *) {}

OX_API uint64_t fft2d_get_ny(const fft2d_state_t *f) { return f ? f->ny : 0; }
OX_API uint64_t fft2d_get_nx(const fft2d_state_t *f) { return f ? f->nx : 0; }
OX_API int fft2d_get_sign(const fft2d_state_t *f) { return f ? f->sign : 0; }

OX_API size_t fft2d_execute_cf64(fft2d_state_t *f, const ox_cf64 *in, size_t in_len,
                                 ox_cf64 *out, size_t out_cap) {
    return execute(f, f ? f->plan64 : nullptr, in, in_len, out, out_cap, ox::fft::run_cf64);
}

OX_API size_t fft2d_execute_cf32(fft2d_state_t *f, const ox_cf32 *in, size_t in_len,
                                 ox_cf32 *out, size_t out_cap) {
    return execute(f, f ? f->plan32 : nullptr, in, in_len, out, out_cap, ox::fft::run_cf32);
}

// The plan layer stages an input that overlaps the output, so in == out is safe here too.
OX_API size_t fft2d_execute_inplace_cf64(fft2d_state_t *f, const ox_cf64 *in, size_t in_len,
                                         ox_cf64 *out, size_t out_cap) {
    return fft2d_execute_cf64(f, in, in_len, out, out_cap);
}

OX_API size_t fft2d_execute_inplace_cf32(fft2d_state_t *f, const ox_cf32 *in, size_t in_len,
                                         ox_cf32 *out, size_t out_cap) {
    return fft2d_execute_cf32(f, in, in_len, out, out_cap);
}

namespace {
size_t total_of(const fft2d_state_t *f) { return f ? static_cast<size_t>(f->ny * f->nx) : 0; }
}  // namespace

OX_API size_t fft2d_execute_cf64_max_out(const fft2d_state_t *f) { return total_of(f); }
OX_API size_t fft2d_execute_cf32_max_out(const fft2d_state_t *f) { return total_of(f); }
OX_API size_t fft2d_execute_inplace_cf64_max_out(const fft2d_state_t *f) { return total_of(f); }
OX_API size_t fft2d_execute_inplace_cf32_max_out(const fft2d_state_t *f) { return total_of(f); }
