// One-dimensional FFT correlator. See corr_core.h.
#include "corr/corr_core.h"

#include "corr/corr_shared.h"
#include "fft/fft_core.h"

namespace {

constexpr ox::BlobKind kCorrBlob{"CORR", 1};

// ref_spec = conj(FFT(ref)) of n samples.
void load_reference(corr_state_t *c, const ox_cf32 *ref) {
    fft_execute_cf32(c->fwd, ref, c->n, c->ref_spec, c->n);
    ox::corr::conjugate(c->ref_spec, c->n);
}

}  // namespace

OX_API corr_state_t *corr_create(const ox_cf32 *ref, uint64_t n, uint64_t dwell, int nthreads,
                                 uint64_t n_out) {
    if (!ref || n == 0 || dwell == 0 || n > ox::corr::kMaxBlobSamples) return nullptr;
    if (n_out == 0) n_out = n;
    if (n_out < n) return nullptr;
    auto *c = static_cast<corr_state_t *>(std::calloc(1, sizeof(corr_state_t)));
    if (!c) return nullptr;
    c->n = n;
    c->n_out = n_out;
    c->dwell = dwell;
    using ox::corr::alloc_zeroed;
    c->fwd = fft_create(n, -1, nthreads);
    c->inv = fft_create(n_out, +1, nthreads);
    c->ref_spec = alloc_zeroed<ox_cf32>(n);
    c->x_spec = alloc_zeroed<ox_cf32>(n);
    c->acc = alloc_zeroed<ox_cf32>(n);
    if (n_out != n) c->pad = alloc_zeroed<ox_cf32>(n_out);
    if (!c->fwd || !c->inv || !c->ref_spec || !c->x_spec || !c->acc || (n_out != n && !c->pad)) {
        corr_destroy(c);
        return nullptr;
    }
    load_reference(c, ref);
    return c;
}

OX_API void corr_destroy(corr_state_t *c) {
    if (!c) return;
    fft_destroy(c->fwd);
    fft_destroy(c->inv);
    std::free(c->ref_spec);
    std::free(c->x_spec);
    std::free(c->acc);
    std::free(c->pad);
    std::free(c->scratch);
    std::free(c);
}

OX_API void corr_reset(corr_state_t *c) {
    if (!c) return;
    std::memset(static_cast<void *>(c->acc), 0, c->n * sizeof(ox_cf32));
    c->count = 0;
}

OX_API void corr_set_ref(corr_state_t *c, const ox_cf32 *ref) {
    if (!c || !ref) return;
    load_reference(c, ref);
    corr_reset(c);
}

OX_API size_t corr_execute(corr_state_t *c, const ox_cf32 *x, size_t n_in, ox_cf32 *out,
                           size_t out_cap) {
    if (!c || !x) return 0;
    const uint64_t n = c->n;
    fft_execute_cf32(c->fwd, x, n_in, c->x_spec, n);
    ox::corr::multiply_accumulate(c->acc, c->x_spec, c->ref_spec, n);
    if (++c->count != c->dwell) return 0;
    const ox_cf32 *src = c->acc;
    if (c->pad) {
        ox::corr::zeropad_1d(c->acc, n, c->pad, c->n_out);
        src = c->pad;
    }
    const size_t written = ox::corr::deliver(
        out, out_cap, c->n_out, &c->scratch, 1.0f / static_cast<float>(n),
        [&](ox_cf32 *dst) { fft_execute_cf32(c->inv, src, c->n_out, dst, c->n_out); });
    corr_reset(c);
    return written;
}

OX_API size_t corr_execute_max_out(const corr_state_t *c) { return c ? c->n_out : 0; }

OX_API size_t corr_state_bytes(const corr_state_t *c) {
    return c ? ox::corr::integrator_blob_bytes(c->n) : 0;
}

OX_API void corr_get_state(const corr_state_t *c, void *buf) {
    if (c && buf) ox::corr::integrator_blob_write(buf, kCorrBlob, c->n, c->count, c->acc);
}

OX_API int corr_set_state(corr_state_t *c, const void *buf) {
    if (!c || !ox::corr::corr_state_valid(c, buf)) return OX_EINVAL;
    ox::corr::corr_state_commit(c, buf);
    return OX_OK;
}

bool ox::corr::corr_state_valid(const corr_state_t *c, const void *buf) {
    return integrator_blob_valid(buf, kCorrBlob, c->n, c->dwell);
}

void ox::corr::corr_state_commit(corr_state_t *c, const void *buf) {
    integrator_blob_read(buf, c->n, &c->count, c->acc);
}
