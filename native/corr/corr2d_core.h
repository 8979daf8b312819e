// Two-dimensional FFT correlator with coherent integrate-and-dump over ny x nx grids (flat
// row-major cf32, element (r, c) at r*nx + c).
//
// Output value (dy, dx) is the circular 2-D cross-correlation summed over the dwell frames,
//
//     sum_{y,x} x[(y + dy) mod ny, (x + dx) mod nx] * conj(ref[y, x]),
//
// and with a decoupled output shape (ny_out x nx_out >= ny x nx) its band-limited interpolation
// at (dy * ny / ny_out, dx * nx / nx_out), by zero-padding the cross-spectrum (the rule of
// corr2d_zeropad_1d along each axis).
//
// Mode, chosen once at construction: a reference that is non-zero only in row 0, with ny_out =
// ny, runs in row mode (a 1-D correlation of every row against ref row 0: ny transforms of length
// nx instead of a 2-D transform, same result); any other reference runs in 2-D mode.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/ox_common.h"

struct fft_state_t;
struct fft2d_state_t;

struct corr2d_state_t {
    fft2d_state_t *fwd2;  // 2-D mode: forward (ny, nx, -1)
    fft2d_state_t *inv2;  // 2-D mode: inverse (ny_out, nx_out, +1)
    ox_cf32 *ref_spec2;   // 2-D mode: conj(FFT2D(ref)), ny*nx
    ox_cf32 *x_spec;      // spectrum of the current frame (2-D, or per-row spectra), ny*nx
    ox_cf32 *acc;         // accumulated cross-spectrum, ny*nx
    ox_cf32 *pad;         // decoupled output: padded spectrum, ny_out*nx_out (row mode ny*nx_out)
    ox_cf32 *tmp;         // 2-D mode, decoupled: rows padded to nx_out, ny*nx_out
    ox_cf32 *col_in;      // 2-D mode, decoupled: one gathered column, ny
    ox_cf32 *col_out;     // 2-D mode, decoupled: that column padded, ny_out
    bool row_mode;        // reference non-zero only in row 0 and ny_out = ny
    fft_state_t *fwd1;    // row mode: forward FFT of length nx
    fft_state_t *inv1;    // row mode: inverse FFT of length nx_out
    ox_cf32 *ref_spec1;   // row mode: conj(FFT(ref row 0)), nx
    uint64_t ny, nx;      // frame shape
    uint64_t n;           // ny*nx
    uint64_t ny_out, nx_out;
    uint64_t n_out;       // ny_out*nx_out
    uint64_t dwell;       // frames per dump (>= 1)
    uint64_t count;       // frames accumulated since the last dump, 0 .. dwell-1
    ox_cf32 *scratch;     // inverse target for short outputs (n_out), allocated at first need
};

// ny_out = 0 means ny, nx_out = 0 means nx. NULL when ref is NULL, a dimension is 0, dwell = 0,
// ny_out < ny or nx_out < nx (when given), a size overflows or the state blob would not fit its
// 32-bit length field, or memory / a plan cannot be had. ref (ny*nx samples) is not retained.
OX_API corr2d_state_t *corr2d_create(const ox_cf32 *ref, uint64_t ny, uint64_t nx, uint64_t dwell,
                                     int nthreads, uint64_t ny_out, uint64_t nx_out);
OX_API void corr2d_destroy(corr2d_state_t *c2);
OX_API void corr2d_reset(corr2d_state_t *c2);
// New reference of ny*nx samples, then reset; 0. A row-mode correlator refuses a reference with a
// non-zero sample outside row 0: -1 and nothing changes. OX_EINVAL for NULL arguments.
OX_API int corr2d_set_ref(corr2d_state_t *c2, const ox_cf32 *ref);
// One frame: min(n_in, ny*nx) samples of x, zero-padded to ny*nx. 0 on a non-dump call, else
// min(n_out, out_cap) values (0 when out is NULL or the one-time scratch of a short output
// cannot be allocated; the integration is consumed either way).
OX_API size_t corr2d_execute(corr2d_state_t *c2, const ox_cf32 *x, size_t n_in, ox_cf32 *out,
                             size_t out_cap);
OX_API size_t corr2d_execute_max_out(const corr2d_state_t *c2);
// Spectrum zero-padding of n bins to m >= n bins (plain copy when m = n): bins 0 .. n/2 at the
// bottom, n/2+1 .. n-1 at the top, zeros between; for even n the Nyquist bin is halved into
// dst[n/2] and dst[m - n/2].
OX_API void corr2d_zeropad_1d(const ox_cf32 *src, uint64_t n, ox_cf32 *dst, uint64_t m);

// Blob "CR2D" v1: header, count (u64), acc (ny*nx cf32); 24 + 8 ny nx bytes.
OX_API size_t corr2d_state_bytes(const corr2d_state_t *c2);
OX_API void corr2d_get_state(const corr2d_state_t *c2, void *buf);
OX_API int corr2d_set_state(corr2d_state_t *c2, const void *buf);

namespace ox::corr {
bool corr2d_state_valid(const corr2d_state_t *c2, const void *buf);
void corr2d_state_commit(corr2d_state_t *c2, const void *buf);
}  // namespace ox::corr
