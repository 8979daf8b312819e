// Two-dimensional FFT correlator. See corr2d_core.h.
#include "corr/corr2d_core.h"

#include "corr/corr_shared.h"
#include "fft/fft2d_core.h"
#include "fft/fft_core.h"

namespace {

constexpr ox::BlobKind kCorr2dBlob{"CR2D", 1};

// True when some sample outside row 0 has a non-zero real or imaginary part.
bool beyond_row0(const ox_cf32 *ref, uint64_t nx, uint64_t n) {
    for (uint64_t i = nx; i < n; ++i) {
        if (ref[i].re != 0.0f || ref[i].im != 0.0f) return true;
    }
    return false;
}

void load_reference(corr2d_state_t *c, const ox_cf32 *ref) {
    if (c->row_mode) {
        fft_execute_cf32(c->fwd1, ref, c->nx, c->ref_spec1, c->nx);
        ox::corr::conjugate(c->ref_spec1, c->nx);
    } else {
        fft2d_execute_cf32(c->fwd2, ref, c->n, c->ref_spec2, c->n);
        ox::corr::conjugate(c->ref_spec2, c->n);
    }
}

bool alloc_2d_mode(corr2d_state_t *c, int nthreads) {
    using ox::corr::alloc_zeroed;
    c->fwd2 = fft2d_create(c->ny, c->nx, -1, nthreads);
    c->inv2 = fft2d_create(c->ny_out, c->nx_out, +1, nthreads);
    c->ref_spec2 = alloc_zeroed<ox_cf32>(c->n);
    if (!c->fwd2 || !c->inv2 || !c->ref_spec2) return false;
    if (c->n_out == c->n) return true;
    c->pad = alloc_zeroed<ox_cf32>(c->n_out);
    c->tmp = alloc_zeroed<ox_cf32>(c->ny * c->nx_out);
    c->col_in = alloc_zeroed<ox_cf32>(c->ny);
    c->col_out = alloc_zeroed<ox_cf32>(c->ny_out);
    return c->pad && c->tmp && c->col_in && c->col_out;
}

bool alloc_row_mode(corr2d_state_t *c, int nthreads) {
    using ox::corr::alloc_zeroed;
    c->fwd1 = fft_create(c->nx, -1, nthreads);
    c->inv1 = fft_create(c->nx_out, +1, nthreads);
    c->ref_spec1 = alloc_zeroed<ox_cf32>(c->nx);
    if (!c->fwd1 || !c->inv1 || !c->ref_spec1) return false;
    if (c->nx_out != c->nx) c->pad = alloc_zeroed<ox_cf32>(c->n_out);
    return c->nx_out == c->nx || c->pad;
}

// 2-D mode forward: x_spec = FFT2D(frame), acc += x_spec * ref_spec2.
void accumulate_2d(corr2d_state_t *c, const ox_cf32 *x, size_t n_in) {
    fft2d_execute_cf32(c->fwd2, x, n_in, c->x_spec, c->n);
    ox::corr::multiply_accumulate(c->acc, c->x_spec, c->ref_spec2, c->n);
}

// Row mode forward: each row transformed and multiplied by the row-0 reference spectrum. A short
// frame zero-pads its last partial row and the missing rows.
void accumulate_rows(corr2d_state_t *c, const ox_cf32 *x, size_t n_in) {
    const uint64_t nx = c->nx;
    for (uint64_t r = 0; r < c->ny; ++r) {
        const uint64_t start = r * nx;
        const size_t have = n_in > start ? static_cast<size_t>(n_in - start) : 0;
        ox_cf32 *row = c->x_spec + start;
        fft_execute_cf32(c->fwd1, have ? x + start : x, have, row, nx);
        ox::corr::multiply_accumulate(c->acc + start, row, c->ref_spec1, nx);
    }
}

// 2-D mode, decoupled output: rows padded nx -> nx_out into tmp, then every column of tmp padded
// ny -> ny_out into pad.
void pad_2d(corr2d_state_t *c) {
    const uint64_t ny = c->ny, nx = c->nx, ny_out = c->ny_out, nx_out = c->nx_out;
    for (uint64_t r = 0; r < ny; ++r)
        ox::corr::zeropad_1d(c->acc + r * nx, nx, c->tmp + r * nx_out, nx_out);
    for (uint64_t col = 0; col < nx_out; ++col) {
        for (uint64_t r = 0; r < ny; ++r) c->col_in[r] = c->tmp[r * nx_out + col];
        ox::corr::zeropad_1d(c->col_in, ny, c->col_out, ny_out);
        for (uint64_t r = 0; r < ny_out; ++r) c->pad[r * nx_out + col] = c->col_out[r];
    }
}

size_t dump_2d(corr2d_state_t *c, ox_cf32 *out, size_t out_cap) {
    const ox_cf32 *src = c->acc;
    if (c->pad) {
        pad_2d(c);
        src = c->pad;
    }
    return ox::corr::deliver(
        out, out_cap, c->n_out, &c->scratch, 1.0f / static_cast<float>(c->n),
        [&](ox_cf32 *dst) { fft2d_execute_cf32(c->inv2, src, c->n_out, dst, c->n_out); });
}

size_t dump_rows(corr2d_state_t *c, ox_cf32 *out, size_t out_cap) {
    const uint64_t nx = c->nx, nx_out = c->nx_out;
    return ox::corr::deliver(out, out_cap, c->n_out, &c->scratch,
                             1.0f / static_cast<float>(nx), [&](ox_cf32 *dst) {
                                 for (uint64_t r = 0; r < c->ny; ++r) {
                                     const ox_cf32 *row = c->acc + r * nx;
                                     if (c->pad) {
                                         ox::corr::zeropad_1d(row, nx, c->pad + r * nx_out, nx_out);
                                         row = c->pad + r * nx_out;
                                     }
                                     fft_execute_cf32(c->inv1, row, nx_out, dst + r * nx_out,
                                                      nx_out);
                                 }
                             });
}

}  // namespace

OX_API corr2d_state_t *corr2d_create(const ox_cf32 *ref, uint64_t ny, uint64_t nx, uint64_t dwell,
                                     int nthreads, uint64_t ny_out, uint64_t nx_out) {
    if (!ref || ny == 0 || nx == 0 || dwell == 0) return nullptr;
    if (ny_out == 0) ny_out = ny;
    if (nx_out == 0) nx_out = nx;
    if (ny_out < ny || nx_out < nx) return nullptr;
    uint64_t n, n_out;
    if (__builtin_mul_overflow(ny, nx, &n) || __builtin_mul_overflow(ny_out, nx_out, &n_out))
        return nullptr;
    if (n > ox::corr::kMaxBlobSamples) return nullptr;
    auto *c = static_cast<corr2d_state_t *>(std::calloc(1, sizeof(corr2d_state_t)));
    if (!c) return nullptr;
    c->ny = ny;
    c->nx = nx;
    c->n = n;
    c->ny_out = ny_out;
    c->nx_out = nx_out;
    c->n_out = n_out;
    c->dwell = dwell;
    c->row_mode = ny_out == ny && !beyond_row0(ref, nx, n);
    c->x_spec = ox::corr::alloc_zeroed<ox_cf32>(n);
    c->acc = ox::corr::alloc_zeroed<ox_cf32>(n);
    const bool ok = c->x_spec && c->acc &&
                    (c->row_mode ? alloc_row_mode(c, nthreads) : alloc_2d_mode(c, nthreads));
    if (!ok) {
        corr2d_destroy(c);
        return nullptr;
    }
    load_reference(c, ref);
    return c;
}

OX_API void corr2d_destroy(corr2d_state_t *c) {
    if (!c) return;
    fft2d_destroy(c->fwd2);
    fft2d_destroy(c->inv2);
    fft_destroy(c->fwd1);
    fft_destroy(c->inv1);
    for (ox_cf32 *p : {c->ref_spec2, c->x_spec, c->acc, c->pad, c->tmp, c->col_in, c->col_out,
                       c->ref_spec1, c->scratch})
        std::free(p);
    std::free(c);
}

OX_API void corr2d_reset(corr2d_state_t *c) {
    if (!c) return;
    std::memset(static_cast<void *>(c->acc), 0, c->n * sizeof(ox_cf32));
    c->count = 0;
}

OX_API int corr2d_set_ref(corr2d_state_t *c, const ox_cf32 *ref) {
    if (!c || !ref) return OX_EINVAL;
    if (c->row_mode && beyond_row0(ref, c->nx, c->n)) return -1;
    load_reference(c, ref);
    corr2d_reset(c);
    return OX_OK;
}

OX_API size_t corr2d_execute(corr2d_state_t *c, const ox_cf32 *x, size_t n_in, ox_cf32 *out,
                             size_t out_cap) {
    if (!c || !x) return 0;
    if (c->row_mode) {
        accumulate_rows(c, x, n_in);
    } else {
        accumulate_2d(c, x, n_in);
    }
    if (++c->count != c->dwell) return 0;
    const size_t written = c->row_mode ? dump_rows(c, out, out_cap) : dump_2d(c, out, out_cap);
    corr2d_reset(c);
    return written;
}

OX_API size_t corr2d_execute_max_out(const corr2d_state_t *c) { return c ? c->n_out : 0; }

OX_API void corr2d_zeropad_1d(const ox_cf32 *src, uint64_t n, ox_cf32 *dst, uint64_t m) {
    if (!src || !dst || n == 0 || m < n) return;
    ox::corr::zeropad_1d(src, n, dst, m);
}

OX_API size_t corr2d_state_bytes(const corr2d_state_t *c) {
    return c ? ox::corr::integrator_blob_bytes(c->n) : 0;
}

OX_API void corr2d_get_state(const corr2d_state_t *c, void *buf) {
    if (c && buf) ox::corr::integrator_blob_write(buf, kCorr2dBlob, c->n, c->count, c->acc);
}

OX_API int corr2d_set_state(corr2d_state_t *c, const void *buf) {
    if (!c || !ox::corr::corr2d_state_valid(c, buf)) return OX_EINVAL;
    ox::corr::corr2d_state_commit(c, buf);
    return OX_OK;
}

bool ox::corr::corr2d_state_valid(const corr2d_state_t *c, const void *buf) {
    return integrator_blob_valid(buf, kCorr2dBlob, c->n, c->dwell);
}

void ox::corr::corr2d_state_commit(corr2d_state_t *c, const void *buf) {
    integrator_blob_read(buf, c->n, &c->count, c->acc);
}
