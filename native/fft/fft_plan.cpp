// FFT plan layer on FFTW 3 (double: fftw3, single: fftw3f). See fft_plan.h.
#include "fft/fft_plan.h"

#include <fftw3.h>
#include <pthread.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

// Plan record. Every buffer comes from fftw_malloc / fftwf_malloc (SIMD-aligned) so that FFTW's
// new-array execute can run the plan on them; caller buffers with the same alignment (as
// reported by fftw_alignment_of) are used directly.
struct fft_plan_t {
    int32_t sign;      // < 0 forward, >= 0 backward
    uint64_t n;        // 1-D length (0 in a 2-D plan)
    uint64_t ny;       // 2-D row count (0 in a 1-D plan)
    uint64_t nx;       // 2-D row length (0 in a 1-D plan)
    int32_t is_2d;     // 0 for 1-D, 1 for 2-D
    int32_t nthreads;  // FFTW threads per plan (1 = single-threaded)
    size_t total;      // samples per transform: n, or ny*nx
    // Double precision: out-of-place plan over (work64 -> out64); both buffers double as the
    // input and output staging areas for caller buffers that cannot be used directly, and
    // work64 also receives widened single-precision and integer input. All three are null in a
    // component's single-precision record whose lengths qualify (see ox::fft::Precision).
    fftw_plan plan64;
    ox_cf64 *work64;
    ox_cf64 *out64;
    int align_in64, align_out64;
    // 2-D records that serve single-precision calls without a single-precision plan: batched
    // 1-D plans over (work64 -> out64) for the row pass (ny transforms of length nx) and the
    // column pass (nx transforms of length ny, stride nx). The widened 2-D transform rounds to
    // float after each pass, like a separable single-precision transform. Null otherwise.
    fftw_plan rows64;
    fftw_plan cols64;
    // Single precision, only for qualifying lengths: out-of-place plan over (pf_in -> pf_out).
    // All three are valid or all null.
    fftwf_plan plan32;
    ox_cf32 *pf_in;
    ox_cf32 *pf_out;
    int align_in32, align_out32;
};

namespace {

// Planning touches FFTW's global planner state (and the global thread count used for the next
// plan), so every plan creation and destruction of this module is serialised. Execution is
// lock-free. FFTW's own planner lock is also switched on once per module so that other users of
// the library in the same process are safe against our planning.
pthread_mutex_t g_planner = PTHREAD_MUTEX_INITIALIZER;

void planner_setup_once() {
    static const bool ready = [] {
#if defined(OX_HAVE_FFTW_THREADS)
        fftw_init_threads();
        fftwf_init_threads();
        fftw_make_planner_thread_safe();
        fftwf_make_planner_thread_safe();
#endif
        return true;
    }();
    (void)ready;
}

struct PlannerLock {
    PlannerLock() {
        planner_setup_once();
        pthread_mutex_lock(&g_planner);
    }
    ~PlannerLock() { pthread_mutex_unlock(&g_planner); }
    PlannerLock(const PlannerLock &) = delete;
    PlannerLock &operator=(const PlannerLock &) = delete;
};

// FFTW's thread count applies to the plans made after it is set. It is set for each plan and put
// back to 1 afterwards, so other users of the library in the process see the default.
struct PlanThreads {
    explicit PlanThreads([[maybe_unused]] int nthreads) {
#if defined(OX_HAVE_FFTW_THREADS)
        fftw_plan_with_nthreads(nthreads > 1 ? nthreads : 1);
        fftwf_plan_with_nthreads(nthreads > 1 ? nthreads : 1);
#endif
    }
    ~PlanThreads() {
#if defined(OX_HAVE_FFTW_THREADS)
        fftw_plan_with_nthreads(1);
        fftwf_plan_with_nthreads(1);
#endif
    }
    PlanThreads(const PlanThreads &) = delete;
    PlanThreads &operator=(const PlanThreads &) = delete;
};

int fftw_direction(int sign) { return sign < 0 ? FFTW_FORWARD : FFTW_BACKWARD; }

// FFTW_ESTIMATE: planning costs microseconds to a few milliseconds, never touches the arrays,
// and picks the same algorithm on every run (results are reproducible between objects).
constexpr unsigned kPlanFlags = FFTW_ESTIMATE | FFTW_PRESERVE_INPUT;

// Row-major dims of the plan: {n} or {ny, nx}.
int plan_dims(const fft_plan_t *p, fftw_iodim64 *dims) {
    if (p->is_2d) {
        dims[0] = {static_cast<ptrdiff_t>(p->ny), static_cast<ptrdiff_t>(p->nx),
                   static_cast<ptrdiff_t>(p->nx)};
        dims[1] = {static_cast<ptrdiff_t>(p->nx), 1, 1};
        return 2;
    }
    dims[0] = {static_cast<ptrdiff_t>(p->n), 1, 1};
    return 1;
}

// FFTW's planner has no out-of-memory path: when an allocation inside it fails it aborts the
// process. Before planning, the memory planning may take is therefore asked for once and given
// back, so that an exhausted address space turns into a NULL create instead of an abort. The
// estimate per dimension of length m: twiddle tables of about 2m samples for lengths whose prime
// factors are small; for a length with a large prime factor (chirp-z or prime-size algorithms)
// about four buffers of the power of two at or above 2m. Plus the scratch of a whole transform
// for multi-dimensional or buffered plans, and a megabyte for the planner's own records.
uint64_t largest_prime_factor(uint64_t m) {
    uint64_t largest = 1;
    for (uint64_t f = 2; f * f <= m; f += (f == 2 ? 1 : 2)) {
        while (m % f == 0) {
            largest = f;
            m /= f;
        }
    }
    return m > 1 ? m : largest;
}

uint64_t planning_samples(uint64_t m) {
    if (largest_prime_factor(m) <= 64) return 2 * m;
    uint64_t chirp = 1;
    while (chirp < 2 * m) chirp <<= 1;
    return 4 * chirp;
}

bool planning_memory_available(const fft_plan_t *p, size_t sample_bytes) {
    uint64_t samples = p->is_2d ? planning_samples(p->ny) + planning_samples(p->nx) + 2 * p->total
                                : planning_samples(p->n);
    const uint64_t limit = (PTRDIFF_MAX - (uint64_t{1} << 20)) / sample_bytes;
    if (samples > limit) return false;
    void *probe = std::malloc(samples * sample_bytes + (size_t{1} << 20));
    std::free(probe);
    return probe != nullptr;
}

fftw_plan make_plan64(const fft_plan_t *p) {
    fftw_iodim64 dims[2];
    const int rank = plan_dims(p, dims);
    PlannerLock lock;
    if (!planning_memory_available(p, sizeof(ox_cf64))) return nullptr;
    PlanThreads threads(p->nthreads);
    return fftw_plan_guru64_dft(rank, dims, 0, nullptr, reinterpret_cast<fftw_complex *>(p->work64),
                                reinterpret_cast<fftw_complex *>(p->out64), fftw_direction(p->sign),
                                kPlanFlags);
}

fftwf_plan make_plan32(const fft_plan_t *p) {
    fftw_iodim64 dims[2];
    const int rank = plan_dims(p, dims);
    PlannerLock lock;
    if (!planning_memory_available(p, sizeof(ox_cf32))) return nullptr;
    PlanThreads threads(p->nthreads);
    return fftwf_plan_guru64_dft(rank, reinterpret_cast<fftwf_iodim64 *>(dims), 0, nullptr,
                                 reinterpret_cast<fftwf_complex *>(p->pf_in),
                                 reinterpret_cast<fftwf_complex *>(p->pf_out),
                                 fftw_direction(p->sign), kPlanFlags);
}
static_assert(sizeof(fftw_iodim64) == sizeof(fftwf_iodim64));

// One pass of the separable 2-D transform as a batch of 1-D plans: the ny rows (length nx,
// contiguous) or the nx columns (length ny, stride nx).
fftw_plan make_pass64(const fft_plan_t *p, bool rows) {
    const auto ny = static_cast<ptrdiff_t>(p->ny), nx = static_cast<ptrdiff_t>(p->nx);
    const fftw_iodim64 dim = rows ? fftw_iodim64{nx, 1, 1} : fftw_iodim64{ny, nx, nx};
    const fftw_iodim64 many = rows ? fftw_iodim64{ny, nx, nx} : fftw_iodim64{nx, 1, 1};
    PlannerLock lock;
    if (!planning_memory_available(p, sizeof(ox_cf64))) return nullptr;
    PlanThreads threads(p->nthreads);
    return fftw_plan_guru64_dft(1, &dim, 1, &many, reinterpret_cast<fftw_complex *>(p->work64),
                                reinterpret_cast<fftw_complex *>(p->out64),
                                fftw_direction(p->sign), kPlanFlags);
}

void release_single(fft_plan_t *p) {
    if (p->plan32) {
        PlannerLock lock;
        fftwf_destroy_plan(p->plan32);
    }
    fftwf_free(p->pf_in);
    fftwf_free(p->pf_out);
    p->plan32 = nullptr;
    p->pf_in = p->pf_out = nullptr;
}

void release_double(fft_plan_t *p) {
    {
        PlannerLock lock;
        for (fftw_plan q : {p->plan64, p->rows64, p->cols64})
            if (q) fftw_destroy_plan(q);
    }
    fftw_free(p->work64);
    fftw_free(p->out64);
    p->plan64 = p->rows64 = p->cols64 = nullptr;
    p->work64 = p->out64 = nullptr;
}

// Largest transform the record accepts: the staging areas (four buffers of up to 16 bytes per
// sample) must be addressable, and FFTW's dims are ptrdiff_t.
constexpr uint64_t kMaxTotal = static_cast<uint64_t>(PTRDIFF_MAX) / 64;

// Adds the double-precision plan and its staging buffers; false when memory is exhausted. The
// buffers come first: they are the bulk of the memory, and FFTW's planner itself has no graceful
// out-of-memory path.
bool add_double(fft_plan_t *p) {
    p->work64 = static_cast<ox_cf64 *>(fftw_malloc(p->total * sizeof(ox_cf64)));
    p->out64 = static_cast<ox_cf64 *>(fftw_malloc(p->total * sizeof(ox_cf64)));
    if (p->work64 && p->out64) p->plan64 = make_plan64(p);
    if (!p->plan64) {
        release_double(p);
        return false;
    }
    p->align_in64 = fftw_alignment_of(reinterpret_cast<double *>(p->work64));
    p->align_out64 = fftw_alignment_of(reinterpret_cast<double *>(p->out64));
    return true;
}

// Adds the row and column pass plans of the widened single-precision 2-D path (after
// add_double, whose buffers they run on); false when they cannot be made.
bool add_passes(fft_plan_t *p) {
    p->rows64 = make_pass64(p, true);
    p->cols64 = make_pass64(p, false);
    return p->rows64 && p->cols64;
}

fft_plan_t *plan_build(uint64_t n, uint64_t ny, uint64_t nx, int is_2d, int sign, int nthreads,
                       ox::fft::Precision precision) {
    uint64_t total;
    if (is_2d) {
        if (ny == 0 || nx == 0 || ny > kMaxTotal / nx) return nullptr;
        total = ny * nx;
    } else {
        total = n;
    }
    if (total == 0 || total > kMaxTotal) return nullptr;
    planner_setup_once();  // FFTW's thread support is initialised before any other FFTW call
    auto *p = static_cast<fft_plan_t *>(std::calloc(1, sizeof(fft_plan_t)));
    if (!p) return nullptr;
    p->sign = sign;
    p->n = is_2d ? 0 : n;
    p->ny = is_2d ? ny : 0;
    p->nx = is_2d ? nx : 0;
    p->is_2d = is_2d;
    p->nthreads = nthreads > 1 ? nthreads : 1;
    p->total = static_cast<size_t>(total);
    using ox::fft::Precision;
    bool ok;
    if (precision == Precision::kSingleCalls) {
        pffft_try_setup(p);
        ok = p->plan32 || add_double(p);  // the widened path needs the double plan
    } else {
        ok = add_double(p);
        if (ok && precision == Precision::kBoth) pffft_try_setup(p);
    }
    // The widened single-precision 2-D path runs its row and column passes separately.
    if (ok && is_2d && precision != Precision::kDoubleCalls && !p->plan32) ok = add_passes(p);
    if (!ok) {
        pocketfft_destroy_plan(p);
        return nullptr;
    }
    return p;
}

// ---------------------------------------------------------------------------------------------
// Execution helpers.
// ---------------------------------------------------------------------------------------------
template <class T>
bool overlaps(const T *a, const T *b, size_t count) {
    const auto x = reinterpret_cast<uintptr_t>(a), y = reinterpret_cast<uintptr_t>(b);
    const uintptr_t bytes = count * sizeof(T);
    return x < y + bytes && y < x + bytes;
}

void exec64(const fft_plan_t *p, const ox_cf64 *in, ox_cf64 *out) {
    fftw_execute_dft(p->plan64, reinterpret_cast<fftw_complex *>(const_cast<ox_cf64 *>(in)),
                     reinterpret_cast<fftw_complex *>(out));
}

void exec32(const fft_plan_t *p, const ox_cf32 *in, ox_cf32 *out) {
    fftwf_execute_dft(p->plan32, reinterpret_cast<fftwf_complex *>(const_cast<ox_cf32 *>(in)),
                      reinterpret_cast<fftwf_complex *>(out));
}

bool aligned_in(const fft_plan_t *p, const ox_cf64 *x) {
    return fftw_alignment_of(const_cast<double *>(&x->re)) == p->align_in64;
}
bool aligned_out(const fft_plan_t *p, const ox_cf64 *x) {
    return fftw_alignment_of(const_cast<double *>(&x->re)) == p->align_out64;
}
bool aligned_in(const fft_plan_t *p, const ox_cf32 *x) {
    return fftwf_alignment_of(const_cast<float *>(&x->re)) == p->align_in32;
}
bool aligned_out(const fft_plan_t *p, const ox_cf32 *x) {
    return fftwf_alignment_of(const_cast<float *>(&x->re)) == p->align_out32;
}

// Runs the plan from `src` (a buffer with the plan's input alignment, never `out`) to `out`,
// through the output staging area when `out` has the wrong alignment.
void exec_to(const fft_plan_t *p, const ox_cf64 *src, ox_cf64 *out) {
    if (aligned_out(p, out)) {
        exec64(p, src, out);
    } else {
        exec64(p, src, p->out64);
        std::memcpy(out, p->out64, p->total * sizeof(ox_cf64));
    }
}

void exec_to(const fft_plan_t *p, const ox_cf32 *src, ox_cf32 *out) {
    if (aligned_out(p, out)) {
        exec32(p, src, out);
    } else {
        exec32(p, src, p->pf_out);
        std::memcpy(out, p->pf_out, p->total * sizeof(ox_cf32));
    }
}

// Same-precision transform: caller's input used directly when it is complete, has the plan's
// alignment and does not overlap the output; otherwise copied (zero-padded) into the staging area.
template <class S>
void run_same(const fft_plan_t *p, const S *in, size_t have, S *out, S *stage_in) {
    const size_t total = p->total;
    const S *src = in;
    if (have < total || !aligned_in(p, in) || overlaps(in, out, total)) {
        const size_t m = std::min(have, total);
        std::memcpy(stage_in, in, m * sizeof(S));
        std::memset(static_cast<void *>(stage_in + m), 0, (total - m) * sizeof(S));
        src = stage_in;
    }
    exec_to(p, src, out);
}

// Complex samples are converted as flat runs of 2*count reals (re, im interleaved in both
// layouts), which the compiler turns into packed conversions.
void widen(const ox_cf32 *in, size_t count, ox_cf64 *out) {
    const float *src = &in->re;
    double *dst = &out->re;
    for (size_t i = 0; i < 2 * count; ++i) dst[i] = static_cast<double>(src[i]);
}

// Rounds the double result in out64 to single precision (round to nearest).
void narrow_out64(const fft_plan_t *p, ox_cf32 *out) {
    const double *src = &p->out64->re;
    float *dst = &out->re;
    for (size_t i = 0; i < 2 * p->total; ++i) dst[i] = static_cast<float>(src[i]);
}

// Integer I/Q with the conversion fused into the fill of the staging area: full scale +-1.0
// (int16 * 2^-15, int8 * 2^-7, exact in both precisions).
template <class I>
constexpr double kIntScale = 1.0 / 128.0;
template <>
constexpr double kIntScale<int16_t> = 1.0 / 32768.0;

template <class I>
void run_int(fft_plan_t *p, const I *iq, size_t have, ox_cf32 *out) {
    const size_t total = p->total;
    const size_t m = std::min(have, total);
    if (p->plan32) {
        const float scale = static_cast<float>(kIntScale<I>);
        ox_cf32 *w = p->pf_in;
        float *dst = &w->re;
        for (size_t i = 0; i < 2 * m; ++i) dst[i] = static_cast<float>(iq[i]) * scale;
        std::memset(static_cast<void *>(w + m), 0, (total - m) * sizeof(ox_cf32));
        exec_to(p, w, out);
        return;
    }
    const double scale = kIntScale<I>;
    ox_cf64 *w = p->work64;
    double *dst = &w->re;
    for (size_t i = 0; i < 2 * m; ++i) dst[i] = static_cast<double>(iq[i]) * scale;
    std::memset(static_cast<void *>(w + m), 0, (total - m) * sizeof(ox_cf64));
    exec64(p, w, p->out64);
    narrow_out64(p, out);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Internal interface.
// ---------------------------------------------------------------------------------------------
namespace ox::fft {

bool single_qualifies(uint64_t len) {
    if (len < 16 || len % 16 != 0) return false;
    for (uint64_t f : {2u, 3u, 5u})
        while (len % f == 0) len /= f;
    return len == 1;
}

fft_plan_t *plan_1d(uint64_t n, int sign, int nthreads, Precision precision) {
    return plan_build(n, 0, 0, 0, sign, nthreads, precision);
}

fft_plan_t *plan_2d(uint64_t ny, uint64_t nx, int sign, int nthreads, Precision precision) {
    return plan_build(0, ny, nx, 1, sign, nthreads, precision);
}

size_t plan_size(const fft_plan_t *plan) { return plan->total; }
bool plan_has_single(const fft_plan_t *plan) { return plan->plan32 != nullptr; }

void run_cf64(fft_plan_t *p, const ox_cf64 *in, size_t have, ox_cf64 *out) {
    run_same(p, in, have, out, p->work64);
}

void run_cf32(fft_plan_t *p, const ox_cf32 *in, size_t have, ox_cf32 *out) {
    if (p->plan32) {
        run_same(p, in, have, out, p->pf_in);
        return;
    }
    // Widened path: float -> double, double transform, round back.
    const size_t total = p->total;
    const size_t m = std::min(have, total);
    ox_cf64 *w = p->work64;
    widen(in, m, w);
    std::memset(static_cast<void *>(w + m), 0, (total - m) * sizeof(ox_cf64));
    if (!p->is_2d) {
        exec64(p, w, p->out64);
        narrow_out64(p, out);
        return;
    }
    // 2-D: every row widened, transformed and rounded back into out; then every column of that
    // single-precision result widened, transformed and rounded back.
    auto *wc = reinterpret_cast<fftw_complex *>(w);
    auto *oc = reinterpret_cast<fftw_complex *>(p->out64);
    fftw_execute_dft(p->rows64, wc, oc);
    narrow_out64(p, out);
    widen(out, total, w);
    fftw_execute_dft(p->cols64, wc, oc);
    narrow_out64(p, out);
}

void run_ci16(fft_plan_t *p, const int16_t *iq, size_t have, ox_cf32 *out) {
    run_int(p, iq, have, out);
}

void run_ci8(fft_plan_t *p, const int8_t *iq, size_t have, ox_cf32 *out) {
    run_int(p, iq, have, out);
}

ox_cf64 *scratch_alloc(size_t count) {
    if (count == 0 || count > SIZE_MAX / sizeof(ox_cf64)) return nullptr;
    auto *s = static_cast<ox_cf64 *>(fftw_malloc(count * sizeof(ox_cf64)));
    if (s) std::memset(static_cast<void *>(s), 0, count * sizeof(ox_cf64));
    return s;
}

void scratch_free(ox_cf64 *p) { fftw_free(p); }

}  // namespace ox::fft

// ---------------------------------------------------------------------------------------------
// Exported plan layer.
// ---------------------------------------------------------------------------------------------
OX_API fft_plan_t *pocketfft_plan_1d(uint64_t n, int sign) {
    return ox::fft::plan_1d(n, sign, 1, ox::fft::Precision::kBoth);
}

OX_API fft_plan_t *pocketfft_plan_2d(uint64_t ny, uint64_t nx, int sign) {
    return ox::fft::plan_2d(ny, nx, sign, 1, ox::fft::Precision::kBoth);
}

OX_API void pffft_try_setup(fft_plan_t *p) {
    if (!p || p->plan32) return;
    using ox::fft::single_qualifies;
    const bool qualifies = p->is_2d ? single_qualifies(p->nx) && single_qualifies(p->ny)
                                    : single_qualifies(p->n);
    if (!qualifies) return;
    p->pf_in = static_cast<ox_cf32 *>(fftwf_malloc(p->total * sizeof(ox_cf32)));
    p->pf_out = static_cast<ox_cf32 *>(fftwf_malloc(p->total * sizeof(ox_cf32)));
    if (p->pf_in && p->pf_out) p->plan32 = make_plan32(p);
    if (!p->plan32) {
        release_single(p);  // silently keep the widened double path
        return;
    }
    p->align_in32 = fftwf_alignment_of(reinterpret_cast<float *>(p->pf_in));
    p->align_out32 = fftwf_alignment_of(reinterpret_cast<float *>(p->pf_out));
}

OX_API void pocketfft_destroy_plan(fft_plan_t *p) {
    if (!p) return;
    release_single(p);
    release_double(p);
    std::free(p);
}

OX_API void pocketfft_execute_1d(fft_plan_t *p, const ox_cf64 *in, ox_cf64 *out) {
    if (p && in && out) ox::fft::run_cf64(p, in, p->total, out);
}

OX_API void pocketfft_execute_1d_cf32(fft_plan_t *p, const ox_cf32 *in, ox_cf32 *out) {
    if (p && in && out) ox::fft::run_cf32(p, in, p->total, out);
}

OX_API void pocketfft_execute_1d_ci16(fft_plan_t *p, const int16_t *iq, ox_cf32 *out) {
    if (p && iq && out) ox::fft::run_ci16(p, iq, p->total, out);
}

OX_API void pocketfft_execute_1d_ci8(fft_plan_t *p, const int8_t *iq, ox_cf32 *out) {
    if (p && iq && out) ox::fft::run_ci8(p, iq, p->total, out);
}

OX_API void pocketfft_execute_2d(fft_plan_t *p, const ox_cf64 *in, ox_cf64 *out) {
    if (p && in && out) ox::fft::run_cf64(p, in, p->total, out);
}

OX_API void pocketfft_execute_2d_cf32(fft_plan_t *p, const ox_cf32 *in, ox_cf32 *out) {
    if (p && in && out) ox::fft::run_cf32(p, in, p->total, out);
}
