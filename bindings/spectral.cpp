// Module ostrel.spectral: FFTs, Welch PSD, windows and spectral helpers, correlators.
#define OX_MODULE_RELEASES_GIL 1
#define OX_MODULE_HAS_TELEMETRY 0
#include "frame.h"

#include <cstring>
#include <new>

#include "corr/corr2d_core.h"
#include "corr/corr_core.h"
#include "corr/corr_shared.h"
#include "corr/detector_core.h"
#include "fft/fft2d_core.h"
#include "fft/fft_core.h"
#include "spectral/psd_core.h"
#include "spectral/window_core.h"

namespace {

// Memory a size argument implies, per point, for the refusal of sizes that could not exist:
// an FFT keeps double-precision staging buffers and its plan's; a correlator keeps three
// spectra and the padded output beside its plans.
constexpr unsigned long long kFftBytesPerPoint = 48, kCorrBytesPerLag = 48;

using ox::py::product;

// ---------------------------------------------------------------------------------------------
// FFT
// ---------------------------------------------------------------------------------------------
namespace fft_py {

fft_state_t *create(PyObject *args, PyObject *kw) {
    static const char *const names[] = {"n", "sign", "nthreads", nullptr};
    unsigned long long n = 1024;
    int sign = -1, nthreads = 1;
    if (!ox::py::parse(args, kw, "|O&ii:FFT", names, ox::py::u64_arg, &n, &sign, &nthreads) ||
        !ox::py::require(n >= 1, "n", ">= 1", n) || !ox::py::size_fits("n", n, kFftBytesPerPoint))
        return nullptr;
    return ox::py::created(fft_create(n, sign, nthreads), PyExc_MemoryError,
                           "fft_create returned NULL");
}

#define FFT_MAX_OUT(name) \
    {#name "_max_out", OX_FN(ox::py::max_out<fft_##name##_max_out>), METH_NOARGS, \
     #name "_max_out()\n--\n\nOutput capacity " #name " needs: n."}

PyMethodDef methods[] = {
    {"reset", OX_FN(ox::py::reset<fft_reset>), METH_NOARGS,
     "reset()\n--\n\nNo-op reset (plans are immutable after creation)."},
    OX_BLOCK("execute_cf64", fft_execute_cf64, fft_execute_cf64_max_out,
             "execute_cf64(x, out=None)\n--\n\nThe n-point DFT of x (complex128, taken flat) in "
             "double precision, unnormalised; returns n bins as complex128. An x shorter than n is "
             "zero-padded, samples past n are ignored. A given out must be complex128 with at "
             "least max(n, len(x)) elements; its first n are written and returned as a view."),
    FFT_MAX_OUT(execute_cf64),
    OX_BLOCK("execute_cf32", fft_execute_cf32, fft_execute_cf32_max_out,
             "execute_cf32(x, out=None)\n--\n\nThe n-point DFT of x (complex64), unnormalised; "
             "returns n bins as complex64. Computed in single precision when n is a multiple of "
             "16 with prime factors 2, 3 and 5 only, else in double precision and rounded. Short "
             "input and out as in execute_cf64."),
    FFT_MAX_OUT(execute_cf32),
    OX_BLOCK_FRESH("execute_ci16", fft_execute_ci16, fft_execute_ci16_max_out, 2,
                   "execute_ci16(iq, /)\n--\n\nThe n-point DFT of interleaved int16 I/Q samples "
                   "(I, Q, I, Q, ...; an odd trailing value is ignored) scaled to full scale 1.0 "
                   "(value / 32768); returns n bins as complex64. Fewer than n samples are "
                   "zero-padded."),
    OX_BLOCK_FRESH("execute_ci8", fft_execute_ci8, fft_execute_ci8_max_out, 2,
                   "execute_ci8(iq, /)\n--\n\nAs execute_ci16 for interleaved int8 I/Q "
                   "(value / 128)."),
    OX_BLOCK("execute_inplace_cf64", fft_execute_inplace_cf64, fft_execute_inplace_cf64_max_out,
             "execute_inplace_cf64(x, out=None)\n--\n\nCopy min(len(x), n) samples of x into the "
             "transform buffer (out, or a new array), zero the rest, and transform it in place; "
             "x itself is not modified, and out may be x. Returns n complex128 bins."),
    FFT_MAX_OUT(execute_inplace_cf64),
    OX_BLOCK("execute_inplace_cf32", fft_execute_inplace_cf32, fft_execute_inplace_cf32_max_out,
             "execute_inplace_cf32(x, out=None)\n--\n\nAs execute_inplace_cf64 for complex64, "
             "with the precision rule of execute_cf32."),
    FFT_MAX_OUT(execute_inplace_cf32),
    OX_LIFECYCLE(fft_destroy),
    OX_END_METHODS,
};
#undef FFT_MAX_OUT

PyGetSetDef props[] = {
    OX_GET("n", fft_get_n, "Transform length (samples)."),
    OX_GET("sign", fft_get_sign, "-1 forward, +1 inverse."),
    OX_END_PROPS,
};

constexpr const char *doc =
    "FFT(n=1024, sign=-1, nthreads=1)\n--\n\n"
    "Fixed-length, unnormalised complex DFT.\n\n"
    "sign < 0 computes the forward kernel exp(-2j*pi*k*m/n), any other sign (0 included) the\n"
    "backward kernel exp(+2j*pi*k*m/n); neither divides by n, so a forward then an inverse\n"
    "transform returns the input times n. Double-precision methods always compute in double;\n"
    "single-precision and integer methods use a single-precision plan when n is a multiple of 16\n"
    "with prime factors 2, 3 and 5 only. nthreads is accepted and ignored (single-threaded).\n"
    "Results do not depend on the alignment of the arrays passed in.";

}  // namespace fft_py

// ---------------------------------------------------------------------------------------------
// FFT2D
// ---------------------------------------------------------------------------------------------
namespace fft2d_py {

fft2d_state_t *create(PyObject *args, PyObject *kw) {
    static const char *const names[] = {"ny", "nx", "sign", "nthreads", nullptr};
    unsigned long long ny = 64, nx = 64;
    int sign = -1, nthreads = 1;
    if (!ox::py::parse(args, kw, "|O&O&ii:FFT2D", names, ox::py::u64_arg, &ny, ox::py::u64_arg, &nx, &sign,
                       &nthreads) ||
        !ox::py::require(ny >= 1, "ny", ">= 1", ny) || !ox::py::require(nx >= 1, "nx", ">= 1", nx) ||
        !ox::py::size_fits("ny*nx", product(ny, nx), kFftBytesPerPoint))
        return nullptr;
    return ox::py::created(fft2d_create(ny, nx, sign, nthreads), PyExc_MemoryError,
                           "fft2d_create returned NULL");
}

#define FFT2D_MAX_OUT(name) \
    {#name "_max_out", OX_FN(ox::py::max_out<fft2d_##name##_max_out>), METH_NOARGS, \
     #name "_max_out()\n--\n\nOutput capacity " #name " needs: ny * nx."}

PyMethodDef methods[] = {
    {"reset", OX_FN(ox::py::reset<fft2d_reset>), METH_NOARGS,
     "reset()\n--\n\nNo-op reset (plans are immutable after creation)."},
    OX_BLOCK("execute_cf64", fft2d_execute_cf64, fft2d_execute_cf64_max_out,
             "execute_cf64(x, out=None)\n--\n\nThe ny x nx DFT of x (complex128, any shape taken "
             "flat as ny rows of nx samples) in double precision, unnormalised; returns the ny*nx "
             "bins flat in row-major order (reshape to (ny, nx)). A shorter x is zero-padded. A "
             "given out must be complex128 with at least max(ny*nx, x.size) elements."),
    FFT2D_MAX_OUT(execute_cf64),
    OX_BLOCK("execute_cf32", fft2d_execute_cf32, fft2d_execute_cf32_max_out,
             "execute_cf32(x, out=None)\n--\n\nAs execute_cf64 for complex64; single precision "
             "when nx and ny are both multiples of 16 with prime factors 2, 3 and 5 only, else "
             "computed in double and rounded."),
    FFT2D_MAX_OUT(execute_cf32),
    OX_BLOCK("execute_inplace_cf64", fft2d_execute_inplace_cf64,
             fft2d_execute_inplace_cf64_max_out,
             "execute_inplace_cf64(x, out=None)\n--\n\nCopy min(x.size, ny*nx) samples into the "
             "transform buffer (out, or a new array), zero the rest, and transform it in place; "
             "x is not modified, and out may be x."),
    FFT2D_MAX_OUT(execute_inplace_cf64),
    OX_BLOCK("execute_inplace_cf32", fft2d_execute_inplace_cf32,
             fft2d_execute_inplace_cf32_max_out,
             "execute_inplace_cf32(x, out=None)\n--\n\nAs execute_inplace_cf64 for complex64."),
    FFT2D_MAX_OUT(execute_inplace_cf32),
    OX_LIFECYCLE(fft2d_destroy),
    OX_END_METHODS,
};
#undef FFT2D_MAX_OUT

PyGetSetDef props[] = {
    OX_GET("ny", fft2d_get_ny, "Row count."),
    OX_GET("nx", fft2d_get_nx, "Column count."),
    OX_GET("sign", fft2d_get_sign, "-1 forward, +1 inverse."),
    OX_END_PROPS,
};

constexpr const char *doc =
    "FFT2D(ny=64, nx=64, sign=-1, nthreads=1)\n--\n\n"
    "Fixed-size, unnormalised 2-D complex DFT over ny rows of nx samples (row-major).\n\n"
    "The transform is separable: DFTs along every row, then along every column, both with the\n"
    "direction of sign (< 0 forward, else backward), never divided by ny*nx. Inputs and results\n"
    "are flat arrays of ny*nx samples. nthreads is accepted and ignored (single-threaded).";

}  // namespace fft2d_py

// ---------------------------------------------------------------------------------------------
// Correlators: Corr, Corr2D
// ---------------------------------------------------------------------------------------------
namespace corr_py {

const ox_cf32 *samples(PyArrayObject *a) {
    return static_cast<const ox_cf32 *>(PyArray_DATA(a));
}

// An output length: 0 (the reference's own length) or at least that length.
bool output_length(const char *name, unsigned long long v, unsigned long long n) {
    char allowed[48];
    std::snprintf(allowed, sizeof allowed, "0 or >= %llu", n);
    return ox::py::require(v == 0 || v >= n, name, allowed, v);
}

corr_state_t *create(PyObject *args, PyObject *kw) {
    static const char *const names[] = {"ref", "dwell", "nthreads", "n_out", nullptr};
    PyObject *ref_obj = nullptr;
    unsigned long long dwell = 1, n_out = 0;
    int nthreads = 1;
    if (!ox::py::parse(args, kw, "O|O&iO&:Corr", names, &ref_obj, ox::py::u64_arg, &dwell,
                       &nthreads, ox::py::u64_arg, &n_out) ||
        !ox::py::size_fits("n_out", n_out, kCorrBytesPerLag))
        return nullptr;
    PyArrayObject *ref = ox::py::input_array<ox_cf32>(ref_obj);
    if (!ref) return nullptr;
    const auto n = static_cast<unsigned long long>(PyArray_SIZE(ref));
    if (!ox::py::require(n >= 1, "len(ref)", ">= 1", n) || !ox::py::require(dwell >= 1, "dwell", ">= 1", dwell) ||
        !output_length("n_out", n_out, n)) {
        Py_DECREF(ref);
        return nullptr;
    }
    corr_state_t *c = corr_create(samples(ref), static_cast<uint64_t>(PyArray_SIZE(ref)),
                                  dwell, nthreads, n_out);
    Py_DECREF(ref);
    return ox::py::created(c, PyExc_MemoryError, "corr_create returned NULL");
}

uint64_t get_n(const corr_state_t *c) { return c->n; }
uint64_t get_n_out(const corr_state_t *c) { return c->n_out; }
uint64_t get_dwell(const corr_state_t *c) { return c->dwell; }
uint64_t get_count(const corr_state_t *c) { return c->count; }

PyMethodDef methods[] = {
    OX_RESET(corr_reset),
    OX_BLOCK_OR_NONE("execute", corr_execute, corr_execute_max_out,
     "execute(x, out=None)\n--\n\nCorrelate one frame x (complex64, taken flat; the first n "
     "samples are used, a shorter frame is zero-padded) against the reference and add its "
     "cross-spectrum to the integration. Returns None until the dwell-th frame, then the "
     "integrated circular cross-correlation as n_out complex64 values (lag m at index m, "
     "interpolated at lag m*n/n_out when n_out > n) and starts a new integration. A given out "
     "must be complex64 with at least max(n_out, len(x)) elements; the result is a view of it."),
    OX_MAX_OUT("execute_max_out", corr_execute_max_out),
    OX_STATE_BLOB(corr_state_bytes, corr_get_state, corr_set_state),
    OX_LIFECYCLE(corr_destroy),
    OX_END_METHODS,
};

PyGetSetDef props[] = {
    OX_GET("n", get_n, "FFT / reference length (samples)."),
    OX_GET("n_out", get_n_out, "Output length (== n unless decoupled)."),
    OX_GET("dwell", get_dwell, "Integration depth; dump every dwell calls."),
    OX_GET("count", get_count, "Frames accumulated so far (0 … dwell-1)."),
    OX_END_PROPS,
};

constexpr const char *doc =
    "Corr(ref, dwell=1, nthreads=1, n_out=0)\n--\n\n"
    "Circular cross-correlation of fixed-length complex64 frames against a reference, by fast\n"
    "convolution, with coherent integrate-and-dump.\n\n"
    "ref (taken flat) fixes the frame length n. Each execute() adds FFT(x) * conj(FFT(ref)) to\n"
    "an accumulator; every dwell-th call one inverse FFT gives\n\n"
    "    out[m] = sum over the dwell frames of sum_j x[(j + m) % n] * conj(ref[j])\n\n"
    "(the 1/n of the transform pair is applied). Integration is coherent: use dwell > 1 only\n"
    "while the carrier phase holds over dwell frames. n_out > n interpolates the output to n_out\n"
    "lags by zero-padding the cross-spectrum (integer lags keep their values); n_out=0 means n,\n"
    "and n_out < n raises ValueError. nthreads is accepted and ignored. dwell must be at least 1.";

corr2d_state_t *create_2d(PyObject *args, PyObject *kw) {
    static const char *const names[] = {"ref", "dwell", "nthreads", "ny_out", "nx_out", nullptr};
    PyObject *ref_obj = nullptr;
    unsigned long long dwell = 1, ny_out = 0, nx_out = 0;
    int nthreads = 1;
    if (!ox::py::parse(args, kw, "O|O&iO&O&:Corr2D", names, &ref_obj, ox::py::u64_arg, &dwell,
                       &nthreads, ox::py::u64_arg, &ny_out, ox::py::u64_arg, &nx_out) ||
        !ox::py::size_fits("ny_out*nx_out", product(ny_out, nx_out), kCorrBytesPerLag))
        return nullptr;
    PyArrayObject *ref = ox::py::input_array<ox_cf32>(ref_obj);
    if (!ref) return nullptr;
    if (PyArray_NDIM(ref) != 2) {
        Py_DECREF(ref);
        PyErr_SetString(PyExc_ValueError, "ref must be a 2-D (ny, nx) array");
        return nullptr;
    }
    const auto ny = static_cast<unsigned long long>(PyArray_DIM(ref, 0));
    const auto nx = static_cast<unsigned long long>(PyArray_DIM(ref, 1));
    if (!ox::py::require(ny * nx >= 1, "ref.size", ">= 1", ny * nx) ||
        !ox::py::require(dwell >= 1, "dwell", ">= 1", dwell) || !output_length("ny_out", ny_out, ny) ||
        !output_length("nx_out", nx_out, nx)) {
        Py_DECREF(ref);
        return nullptr;
    }
    corr2d_state_t *c = corr2d_create(
        samples(ref), static_cast<uint64_t>(PyArray_DIM(ref, 0)),
        static_cast<uint64_t>(PyArray_DIM(ref, 1)), dwell, nthreads, ny_out, nx_out);
    Py_DECREF(ref);
    return ox::py::created(c, PyExc_MemoryError, "corr2d_create returned NULL");
}

uint64_t get_ny(const corr2d_state_t *c) { return c->ny; }
uint64_t get_nx(const corr2d_state_t *c) { return c->nx; }
uint64_t get_ny_out(const corr2d_state_t *c) { return c->ny_out; }
uint64_t get_nx_out(const corr2d_state_t *c) { return c->nx_out; }
uint64_t get_n_out_2d(const corr2d_state_t *c) { return c->n_out; }
uint64_t get_dwell_2d(const corr2d_state_t *c) { return c->dwell; }
uint64_t get_count_2d(const corr2d_state_t *c) { return c->count; }
bool get_row_mode(const corr2d_state_t *c) { return c->row_mode; }

PyMethodDef methods_2d[] = {
    OX_RESET(corr2d_reset),
    OX_BLOCK_OR_NONE("execute", corr2d_execute, corr2d_execute_max_out,
     "execute(x, out=None)\n--\n\nCorrelate one ny x nx frame (complex64, any shape taken flat "
     "in row-major order; a shorter frame is zero-padded) and add it to the integration. Returns "
     "None until the dwell-th frame, then the integrated 2-D circular cross-correlation as a flat "
     "complex64 array of ny_out*nx_out values (reshape to (ny_out, nx_out); lag (dy, dx) at "
     "dy*nx_out + dx). A given out must hold at least max(n_out, x.size) elements."),
    OX_MAX_OUT("execute_max_out", corr2d_execute_max_out),
    OX_STATE_BLOB(corr2d_state_bytes, corr2d_get_state, corr2d_set_state),
    OX_LIFECYCLE(corr2d_destroy),
    OX_END_METHODS,
};

PyGetSetDef props_2d[] = {
    OX_GET("ny", get_ny, "Row count."),
    OX_GET("nx", get_nx, "Column count."),
    OX_GET("ny_out", get_ny_out, "Output rows (== ny unless decoupled)."),
    OX_GET("nx_out", get_nx_out, "Output columns (== nx unless decoupled)."),
    OX_GET("n_out", get_n_out_2d, "Output length ny_out * nx_out."),
    OX_GET("dwell", get_dwell_2d, "Integration depth; dump every dwell calls."),
    OX_GET("count", get_count_2d, "Frames accumulated so far (0 … dwell-1)."),
    OX_GET_BOOL("row_mode", get_row_mode,
                "True when the reference is non-zero only in row 0 (and ny_out == ny): every row "
                "is correlated with 1-D transforms, at lower cost than the 2-D path."),
    OX_END_PROPS,
};

constexpr const char *doc_2d =
    "Corr2D(ref, dwell=1, nthreads=1, ny_out=0, nx_out=0)\n--\n\n"
    "2-D circular cross-correlation of ny x nx complex64 frames against a reference, by fast\n"
    "convolution, with coherent integrate-and-dump.\n\n"
    "ref must be a 2-D (ny, nx) array. Every dwell-th execute() returns, flat in row-major\n"
    "order,\n\n"
    "    out[dy, dx] = sum over the dwell frames of\n"
    "                  sum_{y,x} x[(y + dy) % ny, (x + dx) % nx] * conj(ref[y, x])\n\n"
    "ny_out / nx_out above ny / nx (0 means equal) interpolate the lags by zero-padding the\n"
    "cross-spectrum. A reference that is non-zero only in its first row (for example a code\n"
    "replica searched over the rows of a delay-Doppler grid) runs in row mode: each row is\n"
    "correlated with 1-D transforms, same result, lower cost. nthreads is accepted and ignored;\n"
    "dwell must be at least 1.";

}  // namespace corr_py

// ---------------------------------------------------------------------------------------------
// Correlation detectors: CorrDetector, CorrDetector2D
// ---------------------------------------------------------------------------------------------
namespace detector_py {

constexpr size_t kMaxResults = 64;
// Input carried over from earlier pushes is bounded: a push that would take it past this many
// samples is refused whole (push empty blocks to drain it first). A push with nothing pending
// is always taken, so one call can never be refused for its own size.
constexpr size_t kMaxPending = size_t{1} << 24;
constexpr const char *kPendingMessage =
    "input of an earlier push is still pending: push() until it returns fewer than 64 results "
    "before get_state()";
constexpr const char *kBufferCapsule = "ostrel.spectral.corr_out";

// What the Python object owns: the detector plus the input that a push could not take in
// because it reached its 64 results with the ring full. That input is kept (as copies) and fed
// first by the next push, so a burst of detections never drops samples.
template <class D>
struct Box {
    D *det;
    PyObject *carry;   // list of complex64 arrays not yet consumed, oldest first (made with the
                       // object, so a push never allocates a tracked object while using it)
    size_t carry_pos;  // samples of carry[0] already consumed
};

template <class D>
struct Api;
template <>
struct Api<detector_state_t> {
    using Result = det_result_t;
    static constexpr auto destroy = detector_destroy;
    static constexpr auto reset = detector_reset;
    static constexpr auto feed = detector_feed;
    static constexpr auto state_bytes = detector_state_bytes;
    static constexpr auto get_state = detector_get_state;
    static constexpr auto set_state = detector_set_state;
    static PyObject *tuple(const Result &r) {
        return Py_BuildValue("(Kddd)", static_cast<unsigned long long>(r.lag),
                             static_cast<double>(r.peak_mag), static_cast<double>(r.noise_est),
                             static_cast<double>(r.test_stat));
    }
};
template <>
struct Api<detector2d_state_t> {
    using Result = det_result2d_t;
    static constexpr auto destroy = detector2d_destroy;
    static constexpr auto reset = detector2d_reset;
    static constexpr auto feed = detector2d_feed;
    static constexpr auto state_bytes = detector2d_state_bytes;
    static constexpr auto get_state = detector2d_get_state;
    static constexpr auto set_state = detector2d_set_state;
    static PyObject *tuple(const Result &r) {
        return Py_BuildValue("(KKddd)", static_cast<unsigned long long>(r.row),
                             static_cast<unsigned long long>(r.col),
                             static_cast<double>(r.peak_mag), static_cast<double>(r.noise_est),
                             static_cast<double>(r.test_stat));
    }
};

template <class D>
size_t pending(const Box<D> *b) {
    size_t total = 0;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(b->carry); ++i)
        total += static_cast<size_t>(PyArray_SIZE(
            reinterpret_cast<PyArrayObject *>(PyList_GET_ITEM(b->carry, i))));
    return total - b->carry_pos;
}

// Empties the carried input (our own copies: releasing them runs no Python code).
template <class D>
void drop_carry(Box<D> *b) {
    PyList_SetSlice(b->carry, 0, PyList_GET_SIZE(b->carry), nullptr);
    b->carry_pos = 0;
}

template <class D>
void box_destroy(Box<D> *b) {
    if (!b) return;
    Api<D>::destroy(b->det);
    Py_XDECREF(b->carry);
    delete b;
}

template <class D>
void box_reset(Box<D> *b) {
    Api<D>::reset(b->det);
    drop_carry(b);
}

template <class D>
size_t box_state_bytes(const Box<D> *b) {
    return Api<D>::state_bytes(b->det);
}

template <class D>
void box_get_state(const Box<D> *b, void *buf) {
    Api<D>::get_state(b->det, buf);
}

// A restore replaces the whole stream position, carried input included.
template <class D>
int box_set_state(Box<D> *b, const void *buf) {
    const int rc = Api<D>::set_state(b->det, buf);
    if (rc == OX_OK) drop_carry(b);
    return rc;
}

template <class D>
PyObject *get_state(PyObject *self, PyObject *) {
    auto *b = ox::py::core_of<Box<D>>(self);
    if (!b) return nullptr;
    if (pending(b) != 0) {
        PyErr_SetString(PyExc_RuntimeError, kPendingMessage);
        return nullptr;
    }
    return ox::py::get_state<box_state_bytes<D>, box_get_state<D>>(self, nullptr);
}

// Wraps a created detector; NULL (detector destroyed) with MemoryError when that fails.
template <class D>
Box<D> *boxed(D *det) {
    if (!det) return nullptr;
    PyObject *carry = PyList_New(0);
    auto *b = carry ? new (std::nothrow) Box<D>{det, carry, 0} : nullptr;
    if (!b) {
        Api<D>::destroy(det);
        Py_XDECREF(carry);
        if (!PyErr_Occurred()) PyErr_NoMemory();
    }
    return b;
}

// Noise bins: unsigned 64-bit, and -1 for "the last bin" (the documented default of noise_hi).
int bin_arg(PyObject *o, void *dst) {
    PyObject *index = PyNumber_Index(o);
    if (!index) return 0;
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(index, &overflow);
    Py_DECREF(index);
    if (v == -1 && overflow == 0 && !PyErr_Occurred()) {
        *static_cast<unsigned long long *>(dst) = ~0ull;
        return 1;
    }
    PyErr_Clear();
    return ox::py::u64_arg(o, dst);
}

int noise_mode_code(const char *mode) {
    static const char *const modes[] = {"mean", "median", "min", "max", nullptr};
    for (int i = 0; modes[i]; ++i)
        if (std::strcmp(mode, modes[i]) == 0) return i;
    PyErr_Format(PyExc_ValueError,
                 "noise_mode must be one of \"mean\", \"median\", \"min\", \"max\", got '%s'", mode);
    return -1;
}

struct DetectorArgs {
    PyArrayObject *ref = nullptr;
    unsigned long long dwell = 1, noise_lo = 0, noise_hi = ~0ull;
    int noise_mode = 0;
    float threshold = 0.0f;
    int nthreads = 1;
};

// Parses the constructor keywords shared by both detectors; the ref array in args->ref.
bool parse_detector(PyObject *args, PyObject *kw, const char *fmt, DetectorArgs *a) {
    static const char *const names[] = {"ref",       "dwell",     "noise_lo", "noise_hi",
                                        "noise_mode", "threshold", "nthreads", nullptr};
    PyObject *ref_obj = nullptr;
    const char *mode = "mean";
    if (!ox::py::parse(args, kw, fmt, names, &ref_obj, ox::py::u64_arg, &a->dwell, bin_arg,
                       &a->noise_lo, bin_arg, &a->noise_hi, &mode, &a->threshold, &a->nthreads))
        return false;
    if (!ox::py::finite_arg("threshold", a->threshold)) return false;
    a->noise_mode = noise_mode_code(mode);
    if (a->noise_mode < 0) return false;
    a->ref = ox::py::input_array<ox_cf32>(ref_obj);
    if (!a->ref) return false;
    const auto size = static_cast<unsigned long long>(PyArray_SIZE(a->ref));
    if (!ox::py::require(size >= 1, "ref.size", ">= 1", size) ||
        !ox::py::require(a->dwell >= 1, "dwell", ">= 1", a->dwell)) {
        Py_CLEAR(a->ref);
        return false;
    }
    return true;
}

Box<detector_state_t> *create(PyObject *args, PyObject *kw) {
    DetectorArgs a;
    if (!parse_detector(args, kw, "O|O&O&O&sfi:CorrDetector", &a)) return nullptr;
    detector_state_t *d = detector_create(
        static_cast<const ox_cf32 *>(PyArray_DATA(a.ref)), static_cast<uint64_t>(PyArray_SIZE(a.ref)),
        a.dwell, a.noise_lo, a.noise_hi, a.noise_mode, a.threshold, a.nthreads);
    Py_DECREF(a.ref);
    return boxed(ox::py::created(d, PyExc_MemoryError, "detector_create returned NULL"));
}

Box<detector2d_state_t> *create_2d(PyObject *args, PyObject *kw) {
    DetectorArgs a;
    if (!parse_detector(args, kw, "O|O&O&O&sfi:CorrDetector2D", &a)) return nullptr;
    if (PyArray_NDIM(a.ref) != 2) {
        Py_DECREF(a.ref);
        PyErr_SetString(PyExc_ValueError, "ref must be a 2-D array");
        return nullptr;
    }
    detector2d_state_t *d = detector2d_create(
        static_cast<const ox_cf32 *>(PyArray_DATA(a.ref)), static_cast<uint64_t>(PyArray_DIM(a.ref, 0)),
        static_cast<uint64_t>(PyArray_DIM(a.ref, 1)), a.dwell, a.noise_lo, a.noise_hi, a.noise_mode,
        a.threshold, a.nthreads);
    Py_DECREF(a.ref);
    return boxed(ox::py::created(d, PyExc_MemoryError, "detector2d_create returned NULL"));
}

// Appends a copy of in[from:] to the carried input.
template <class D>
bool keep_rest(Box<D> *b, PyArrayObject *in, size_t from) {
    const size_t rest = static_cast<size_t>(PyArray_SIZE(in)) - from;
    if (rest == 0) return true;
    PyArrayObject *copy = ox::py::new_vector<ox_cf32>(static_cast<npy_intp>(rest));
    if (!copy) return false;
    std::memcpy(PyArray_DATA(copy), static_cast<const ox_cf32 *>(PyArray_DATA(in)) + from,
                rest * sizeof(ox_cf32));
    const int rc = PyList_Append(b->carry, reinterpret_cast<PyObject *>(copy));
    Py_DECREF(copy);
    return rc == 0;
}

// An input that shares memory with the correlation buffer (last_corr itself, or a view of it)
// would be overwritten by the dumps of this very push before all of it is queued or kept:
// replace it by a copy, so the push sees the values it was given.
template <class D>
bool stage_if_in_corr_out(const D *d, PyArrayObject **in) {
    if (!ox::py::spans_overlap(PyArray_DATA(*in), static_cast<size_t>(PyArray_NBYTES(*in)),
                               d->corr_out, static_cast<size_t>(d->n) * sizeof(ox_cf32)))
        return true;
    auto *copy = reinterpret_cast<PyArrayObject *>(PyArray_NewCopy(*in, NPY_CORDER));
    if (!copy) return false;
    Py_DECREF(*in);
    *in = copy;
    return true;
}

template <class D>
PyObject *push(PyObject *self, PyObject *x) {
    using Result = typename Api<D>::Result;
    if (!ox::py::alive(self)) return nullptr;
    PyArrayObject *in = ox::py::input_array<ox_cf32>(x);
    if (!in) return nullptr;
    auto *b = ox::py::core_of<Box<D>>(self);
    if (!b || !stage_if_in_corr_out(b->det, &in)) {
        Py_DECREF(in);
        return nullptr;
    }
    const size_t waiting = pending(b), arriving = static_cast<size_t>(PyArray_SIZE(in));
    if (waiting != 0 && arriving != 0 && waiting + arriving > kMaxPending) {
        Py_DECREF(in);
        PyErr_Format(PyExc_RuntimeError,
                     "push refused: %zu samples of earlier pushes are pending and %zu more would "
                     "pass the limit of %zu; push empty blocks until pending is 0",
                     waiting, arriving, kMaxPending);
        return nullptr;
    }
    Result results[kMaxResults];
    size_t got = 0;
    auto feed = [&](const ox_cf32 *data, size_t len) {
        size_t used = 0;
        got += Api<D>::feed(b->det, data, len, results + got, kMaxResults - got, &used);
        return used;
    };
    // Carried input first, oldest first; it stays blocked only when the result limit is reached
    // with the ring full, and then the new input joins it untouched.
    bool blocked = false;
    while (PyList_GET_SIZE(b->carry) > 0) {
        auto *a = reinterpret_cast<PyArrayObject *>(PyList_GET_ITEM(b->carry, 0));
        const size_t len = static_cast<size_t>(PyArray_SIZE(a)) - b->carry_pos;
        const size_t used = feed(static_cast<const ox_cf32 *>(PyArray_DATA(a)) + b->carry_pos, len);
        if (used < len) {
            b->carry_pos += used;
            blocked = true;
            break;
        }
        if (PyList_SetSlice(b->carry, 0, 1, nullptr) < 0) {
            b->carry_pos += used;  // fed in full: the next push only drops it
            Py_DECREF(in);
            return nullptr;
        }
        b->carry_pos = 0;
    }
    const size_t n_in = static_cast<size_t>(PyArray_SIZE(in));
    const size_t used = blocked ? 0 : feed(static_cast<const ox_cf32 *>(PyArray_DATA(in)), n_in);
    const bool kept = keep_rest(b, in, used);
    Py_DECREF(in);
    if (!kept) return nullptr;
    PyObject *list = PyList_New(static_cast<Py_ssize_t>(got));
    for (size_t i = 0; list && i < got; ++i) {
        PyObject *t = Api<D>::tuple(results[i]);
        if (!t) {
            Py_CLEAR(list);
            break;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), t);
    }
    return list;
}

void release_buffer(PyObject *capsule) {
    ox::corr::shared_release(
        static_cast<const ox_cf32 *>(PyCapsule_GetPointer(capsule, kBufferCapsule)));
}

// A read-only view of the last dump. Its base holds a reference to the buffer itself, so the
// view stays valid after destroy() and the detector may be collected before it.
template <class D>
PyObject *last_corr(PyObject *self, void *) {
    auto *b = ox::py::core_of<Box<D>>(self);
    if (!b) return nullptr;
    const D *d = b->det;
    if (!d->last_valid) Py_RETURN_NONE;
    ox_cf32 *data = d->corr_out;
    npy_intp len = static_cast<npy_intp>(d->n);
    ox::corr::shared_retain(data);
    PyObject *owner = PyCapsule_New(data, kBufferCapsule, release_buffer);
    if (!owner) {
        ox::corr::shared_release(data);
        return nullptr;
    }
    PyObject *view = PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(NPY_COMPLEX64), 1,
                                          &len, nullptr, data,
                                          NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED, nullptr);
    if (!view) {
        Py_DECREF(owner);
        return nullptr;
    }
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject *>(view), owner) < 0) {  // steals
        Py_DECREF(view);
        return nullptr;
    }
    return view;
}

template <class D>
uint64_t get_n(const Box<D> *b) { return b->det->n; }
template <class D>
uint64_t get_dwell(const Box<D> *b) { return b->det->corr->dwell; }
template <class D>
uint64_t get_count(const Box<D> *b) { return b->det->corr->count; }
template <class D>
uint64_t get_ring_cap(const Box<D> *b) { return b->det->ring_cap; }
template <class D>
uint64_t get_noise_lo(const Box<D> *b) { return b->det->noise_lo; }
template <class D>
uint64_t get_noise_hi(const Box<D> *b) { return b->det->noise_hi; }
template <class D>
float get_threshold(const Box<D> *b) { return b->det->threshold; }
template <class D>
uint64_t get_pending(const Box<D> *b) { return pending(b); }
uint64_t get_ny(const Box<detector2d_state_t> *b) { return b->det->ny; }
uint64_t get_nx(const Box<detector2d_state_t> *b) { return b->det->nx; }

#define DET_PUSH_DOC(tuple_text)                                                                \
    "push(x, /)\n--\n\nQueue the complex64 samples x (any shape, taken flat) and correlate "    \
    "every complete frame of n samples (frames are consecutive in the pushed stream; a "        \
    "remainder waits for the next push). Each dump (every dwell-th frame) is evaluated and, "   \
    "when it is a detection, reported as a tuple " tuple_text ". Returns the list of "          \
    "detections, at most 64: input not taken in by then is kept and processed first by the "    \
    "next push (see pending), so nothing is lost. At most 2**24 samples are kept that way: a "  \
    "push that would pass that while input is pending raises RuntimeError and takes nothing."
#define DET_STATE_METHODS(D)                                                                    \
    OX_MAX_STATE_BYTES(D),                                                                      \
        {"get_state", OX_FN(get_state<D>), METH_NOARGS,                                         \
         "get_state($self, /)\n--\n\nSnapshot of the detector (correlator integration, queued " \
         "samples, last dump figures) as bytes; the correlation vector is not included. "       \
         "Raises RuntimeError while input of an earlier push is pending."},                      \
        {"set_state", OX_FN((ox::py::set_state<box_state_bytes<D>, box_set_state<D>>)), METH_O, \
         "set_state($self, blob, /)\n--\n\nRestore a snapshot of a detector constructed the "    \
         "same way (pending input is discarded); a malformed blob is rejected and the object "  \
         "left unchanged. The correlation vector is not restored: last_corr shows this "        \
         "object's own buffer as it is until the next dump."}
#define OX_MAX_STATE_BYTES(D)                                                                   \
    {"state_bytes", OX_FN(ox::py::state_bytes<box_state_bytes<D>>), METH_NOARGS,               \
     "state_bytes($self, /)\n--\n\nLength in bytes of the state blob."}

constexpr const char *kResetDoc =
    "reset($self, /)\n--\n\nDiscard queued and pending samples and the partial integration; "
    "last_corr becomes None. Reference and parameters are kept.";

PyMethodDef methods[] = {
    {"reset", OX_FN(ox::py::reset<box_reset<detector_state_t>>), METH_NOARGS, kResetDoc},
    {"push", OX_FN(push<detector_state_t>), METH_O,
     DET_PUSH_DOC("(lag, peak_mag, noise_est, test_stat)")},
    DET_STATE_METHODS(detector_state_t),
    OX_LIFECYCLE(box_destroy<detector_state_t>),
    OX_END_METHODS,
};

PyMethodDef methods_2d[] = {
    {"reset", OX_FN(ox::py::reset<box_reset<detector2d_state_t>>), METH_NOARGS, kResetDoc},
    {"push", OX_FN(push<detector2d_state_t>), METH_O,
     DET_PUSH_DOC("(row, col, peak_mag, noise_est, test_stat)")},
    OX_LIFECYCLE(box_destroy<detector2d_state_t>),
    DET_STATE_METHODS(detector2d_state_t),
    OX_END_METHODS,
};
#undef DET_PUSH_DOC
#undef DET_STATE_METHODS
#undef OX_MAX_STATE_BYTES

constexpr const char *kCountDoc = "Frames accumulated by the correlator so far (0 … dwell-1).";
constexpr const char *kRingDoc = "Ring buffer capacity in complex samples.";
constexpr const char *kThresholdDoc = "0 = always fire; >0 = gate on test_stat.";
constexpr const char *kNoiseLoDoc = "First noise bin (inclusive, clamped into the frame).";
constexpr const char *kNoiseHiDoc = "Last noise bin (inclusive, clamped into the frame).";
constexpr const char *kPendingDoc =
    "Samples of earlier pushes not yet taken in (non-zero only after a push returned 64 "
    "detections); the next push processes them first. Bounded: a push that would take it past "
    "2**24 samples is refused (RuntimeError) while anything is pending.";
constexpr const char *kLastCorrDoc =
    "Correlation of the last dump as a read-only complex64 view of n values (no copy; flat "
    "row-major for the 2-D detector), or None before the first dump and after reset(). The "
    "next dump overwrites it in place: copy it to keep it.";

PyGetSetDef props[] = {
    OX_GET("n", get_n<detector_state_t>, "Frame / FFT length in complex samples."),
    OX_GET("dwell", get_dwell<detector_state_t>, "Frames integrated per dump."),
    OX_GET("count", get_count<detector_state_t>, kCountDoc),
    OX_GET("ring_cap", get_ring_cap<detector_state_t>, kRingDoc),
    OX_GET("noise_lo", get_noise_lo<detector_state_t>, kNoiseLoDoc),
    OX_GET("noise_hi", get_noise_hi<detector_state_t>, kNoiseHiDoc),
    OX_GET("threshold", get_threshold<detector_state_t>, kThresholdDoc),
    {"last_corr", last_corr<detector_state_t>, nullptr, kLastCorrDoc, nullptr},
    OX_GET("pending", get_pending<detector_state_t>, kPendingDoc),
    OX_END_PROPS,
};

PyGetSetDef props_2d[] = {
    OX_GET("ny", get_ny, "Row count of the frame."),
    OX_GET("nx", get_nx, "Column count of the frame."),
    OX_GET("n", get_n<detector2d_state_t>, "Frame length ny * nx in complex samples."),
    OX_GET("dwell", get_dwell<detector2d_state_t>, "Frames integrated per dump."),
    OX_GET("count", get_count<detector2d_state_t>, kCountDoc),
    OX_GET("ring_cap", get_ring_cap<detector2d_state_t>, kRingDoc),
    OX_GET("noise_lo", get_noise_lo<detector2d_state_t>, kNoiseLoDoc),
    OX_GET("noise_hi", get_noise_hi<detector2d_state_t>, kNoiseHiDoc),
    OX_GET("threshold", get_threshold<detector2d_state_t>, kThresholdDoc),
    {"last_corr", last_corr<detector2d_state_t>, nullptr, kLastCorrDoc, nullptr},
    OX_GET("pending", get_pending<detector2d_state_t>, kPendingDoc),
    OX_END_PROPS,
};

constexpr const char *doc =
    "CorrDetector(ref, dwell=1, noise_lo=0, noise_hi=-1, noise_mode='mean', threshold=0.0, "
    "nthreads=1)\n--\n\n"
    "Streaming correlation detector: finds a known waveform (ref, taken flat, n samples) in a\n"
    "stream pushed in chunks of any length.\n\n"
    "Consecutive frames of n samples are correlated circularly against ref and integrated\n"
    "coherently over dwell frames (see Corr). On every dump the peak magnitude |corr| and its\n"
    "lag are found (lowest lag on ties), the noise is estimated from the magnitudes of bins\n"
    "noise_lo .. noise_hi inclusive (clamped to n-1 and ordered; -1 means the last bin) as their\n"
    "'mean', 'median' (upper middle for an even count), 'min' or 'max', and the test statistic\n"
    "is peak / noise (0 when the noise is 0). The range may include the peak. threshold 0 (or\n"
    "negative) reports every dump; otherwise a dump is a detection when test_stat > threshold.\n"
    "nthreads is accepted and ignored; dwell must be at least 1.";

constexpr const char *doc_2d =
    "CorrDetector2D(ref, dwell=1, noise_lo=0, noise_hi=-1, noise_mode='mean', threshold=0.0, "
    "nthreads=1)\n--\n\n"
    "Streaming 2-D correlation detector: CorrDetector over frames of ny x nx samples (ref must\n"
    "be a 2-D (ny, nx) array; pushed samples fill frames in row-major order), correlated with\n"
    "Corr2D (row mode for a reference non-zero only in row 0). Detections are tuples\n"
    "(row, col, peak_mag, noise_est, test_stat); noise bins are flat row-major indices.";

}  // namespace detector_py

// ---------------------------------------------------------------------------------------------
// PSD
// ---------------------------------------------------------------------------------------------
namespace psd_py {

// Index of `value` in a NULL-terminated list of option names, or -1.
int option_code(const char *value, const char *const *options) {
    for (int i = 0; options[i]; ++i) {
        if (std::strcmp(value, options[i]) == 0) return i;
    }
    return -1;
}

psd_state_t *create(PyObject *args, PyObject *kw) {
    static const char *const names[] = {"n",          "fs",   "window", "beta",  "pad",
                                        "full_scale", "bits", "mode",   "alpha", nullptr};
    static const char *const windows[] = {"hann", "kaiser", "blackman-harris", nullptr};
    static const char *const modes[] = {"mean", "exp", "maxhold", "minhold", nullptr};
    unsigned long long n = 1024, pad = 1, bits = 0;
    double fs = 1.0, full_scale = 1.0, alpha = 0.1;
    float beta = 0.0f;
    const char *window = "hann", *mode = "mean";
    if (!ox::py::parse(args, kw, "|O&dsfO&dO&sd:PSD", names, ox::py::u64_arg, &n, &fs, &window, &beta,
                       ox::py::u64_arg, &pad, &full_scale, ox::py::u64_arg, &bits, &mode, &alpha) ||
        !ox::py::finite_args({{"fs", fs}, {"beta", beta}, {"full_scale", full_scale}, {"alpha", alpha}}) ||
        !ox::py::size_fits("n*pad", product(n, pad), kFftBytesPerPoint))
        return nullptr;
    if (!ox::py::require(n >= 2, "n", ">= 2", n) || !ox::py::require(fs > 0, "fs", "> 0", fs) ||
        !ox::py::require_scale(full_scale, bits))
        return nullptr;
    const int window_code = option_code(window, windows);
    if (window_code < 0) {
        PyErr_Format(PyExc_ValueError,
                     "window must be one of \"hann\", \"kaiser\", \"blackman-harris\", got '%s'",
                     window);
        return nullptr;
    }
    const int mode_code = option_code(mode, modes);
    if (mode_code < 0) {
        PyErr_Format(PyExc_ValueError,
                     "mode must be one of \"mean\", \"exp\", \"maxhold\", \"minhold\", got '%s'", mode);
        return nullptr;
    }
    return ox::py::created(psd_create(n, fs, static_cast<uint32_t>(window_code), beta, pad,
                                      full_scale, bits, static_cast<uint32_t>(mode_code), alpha),
                           PyExc_MemoryError, "psd_create returned NULL");
}

uint64_t get_n(const psd_state_t *p) { return p->n; }
uint64_t get_nfft(const psd_state_t *p) { return p->nfft; }
double get_fs(const psd_state_t *p) { return p->fs; }
double get_full_scale(const psd_state_t *p) { return p->full_scale; }
uint64_t get_bits(const psd_state_t *p) { return p->bits; }
double get_enbw(const psd_state_t *p) { return p->enbw; }
double get_rbw(const psd_state_t *p) { return p->enbw * p->fs / static_cast<double>(p->n); }
uint64_t get_count(const psd_state_t *p) { return p->trace->count; }
int get_mode(const psd_state_t *p) { return p->trace->mode; }

constexpr const char *kw_x[] = {"x", nullptr};
constexpr const char *kw_bands[] = {"bands", nullptr};
constexpr const char *kw_bands_out[] = {"bands", "out", nullptr};
constexpr const char *kw_fraction[] = {"fraction", nullptr};
constexpr const char *kw_none[] = {nullptr};
constexpr const char *kw_snr[] = {"lo_hz", "hi_hz", nullptr};
constexpr const char *kw_sfdr[] = {"min_db", nullptr};

PyMethodDef methods[] = {
    OX_FEED("accumulate", psd_accumulate, kw_x,
            "accumulate(x)\n--\n\nFold the frames of n samples that x (complex64, taken flat) "
            "completes into the averaged spectrum; samples after the last whole frame are kept "
            "and start the next call's first frame, so any split of a stream into calls gives "
            "the same estimate. Returns None."),
    OX_FEED("accumulate_real", psd_accumulate_real, kw_x,
            "accumulate_real(x)\n--\n\nAs accumulate, for real float32 samples."),
    OX_RESET(psd_reset),
    OX_READOUT("psd_db", psd_psd_db, psd_psd_db_max_out,
               "psd_db(count=1, out=None)\n--\n\nAveraged spectrum in dBFS (float32, nfft values, "
               "DC at index nfft//2): a full-scale complex tone on a bin reads 0 dB, the floor is "
               "-200 dB. None before the first frame."),
    OX_READOUT("psd_dbhz", psd_psd_dbhz, psd_psd_dbhz_max_out,
               "psd_dbhz(count=1, out=None)\n--\n\nAveraged spectrum as a density in dBFS/Hz: "
               "psd_db() minus 10*log10(rbw). None before the first frame."),
    OX_READOUT("power_twosided", psd_power_twosided, psd_power_twosided_max_out,
               "power_twosided(count=1, out=None)\n--\n\nLinear power per bin (float32, nfft "
               "values, DC-centred), normalised by the window's coherent gain: a complex tone of "
               "amplitude a on a bin reads a**2. None before the first frame."),
    OX_READOUT("power_onesided", psd_power_onesided, psd_power_onesided_max_out,
               "power_onesided(count=1, out=None)\n--\n\nLinear power folded onto 0 .. fs/2 "
               "(nfft//2 + 1 values): DC, then the sums of the +f and -f bins, then the -fs/2 bin. "
               "None before the first frame."),
    OX_MAX_OUT("psd_db_max_out", psd_psd_db_max_out),
    OX_MAX_OUT("psd_dbhz_max_out", psd_psd_dbhz_max_out),
    OX_MAX_OUT("power_twosided_max_out", psd_power_twosided_max_out),
    OX_MAX_OUT("power_onesided_max_out", psd_power_onesided_max_out),
    OX_BLOCK_KW("band_power", psd_band_power, psd_band_power_max_out, kw_bands_out,
                "band_power(bands, out=None)\n--\n\nPower in dBFS of each band (lo, hi) in Hz given "
                "as consecutive pairs of bands (float64), edges in either order, edge bins "
                "included; -200.0 for a band outside the spectrum. Empty before the first frame."),
    OX_MAX_OUT("band_power_max_out", psd_band_power_max_out),
    OX_REDUCE("total_band_power", psd_total_band_power, kw_bands,
              "total_band_power(bands)\n--\n\nSum of the linear powers of the (lo, hi) pairs of "
              "bands, in dBFS; overlapping bands count twice. -200.0 before the first frame."),
    OX_CALL("occupied_bw", psd_occupied_bw, kw_fraction,
            "occupied_bw(fraction)\n--\n\nWidth in Hz of the central band holding `fraction` of the "
            "total power (whole bins). 0.0 before the first frame or without power."),
    OX_CALL("noise_floor", psd_noise_floor, kw_none,
            "noise_floor()\n--\n\nMedian of the dBFS spectrum. 0.0 before the first frame."),
    OX_CALL("snr", psd_snr, kw_snr,
            "snr(lo_hz, hi_hz)\n--\n\nHighest dBFS bin within [lo_hz, hi_hz] minus the noise "
            "floor, dB. 0.0 before the first frame or for a band outside the spectrum."),
    OX_CALL("sfdr", psd_sfdr, kw_sfdr,
            "sfdr(min_db)\n--\n\nSpurious-free dynamic range: the strongest peak above min_db "
            "minus the second strongest, dB. 0.0 with fewer than two peaks."),
    OX_STATE_BLOB_LEGACY(psd_state_bytes, psd_get_state, psd_set_state, psd_trace_state_bytes),
    OX_LIFECYCLE(psd_destroy),
    OX_END_METHODS,
};

PyGetSetDef props[] = {
    OX_GET("n", get_n, "Window / frame length (samples)."),
    OX_GET("nfft", get_nfft, "Zero-padded transform length."),
    OX_GET("fs", get_fs, "Sample rate, Hz."),
    OX_GET("full_scale", get_full_scale, "Amplitude that reads 0 dBFS."),
    OX_GET("bits", get_bits, "ADC depth that set full_scale, else 0."),
    OX_GET("enbw", get_enbw, "Equivalent noise bandwidth, bins."),
    OX_GET("rbw", get_rbw, "Resolution bandwidth enbw * fs / n, Hz."),
    OX_GET("count", get_count, "Frames folded in so far."),
    OX_GET("mode", get_mode, "Reduction mode."),
    OX_END_PROPS,
};

constexpr const char *doc =
    "PSD(n=1024, fs=1.0, window='hann', beta=0.0, pad=1, full_scale=1.0, bits=0, mode='mean', "
    "alpha=0.1)\n--\n\n"
    "Welch power-spectral-density estimator with calibrated measurements.\n\n"
    "Each frame of n samples is windowed ('hann', 'kaiser' with beta, 'blackman-harris'),\n"
    "zero-padded to nfft (the power of two >= n*pad), transformed, and its squared magnitudes in\n"
    "DC-centred order are reduced by mode: 'mean', 'exp' (weight alpha on the newest frame),\n"
    "'maxhold' or 'minhold'. Frames do not overlap; samples short of a whole frame are dropped.\n"
    "full_scale is the amplitude that reads 0 dBFS; bits != 0 sets it to 2**(bits-1).";

}  // namespace psd_py

// ---------------------------------------------------------------------------------------------
// Window and spectral helper functions (module level).
// ---------------------------------------------------------------------------------------------
namespace helpers_py {

constexpr const char *kWindowMessage = "w must be a writable, C-contiguous ndarray of the output dtype";

// Fills a caller's float32 array in place with one of the windows.
template <class Fill>
PyObject *fill_window(PyObject *w, Fill fill) {
    PyArrayObject *a = ox::py::checked_out<float>(w, kWindowMessage);
    if (!a) return nullptr;
    fill(static_cast<float *>(PyArray_DATA(a)), static_cast<size_t>(PyArray_SIZE(a)));
    Py_RETURN_NONE;
}

PyObject *py_kaiser_window(PyObject *, PyObject *args, PyObject *kw) {
    static const char *const names[] = {"w", "beta", nullptr};
    PyObject *w = nullptr;
    float beta = 0.0f;
    if (!ox::py::parse(args, kw, "Of:kaiser_window", names, &w, &beta)) return nullptr;
    return fill_window(w, [beta](float *d, size_t n) { kaiser_window(d, n, beta); });
}

PyObject *py_hann_window(PyObject *, PyObject *args, PyObject *kw) {
    static const char *const names[] = {"w", nullptr};
    PyObject *w = nullptr;
    if (!ox::py::parse(args, kw, "O:hann_window", names, &w)) return nullptr;
    return fill_window(w, hann_window);
}

PyObject *py_blackman_harris_window(PyObject *, PyObject *args, PyObject *kw) {
    static const char *const names[] = {"w", nullptr};
    PyObject *w = nullptr;
    if (!ox::py::parse(args, kw, "O:blackman_harris_window", names, &w)) return nullptr;
    return fill_window(w, blackman_harris_window);
}

// Converts `obj` to a C-contiguous array of T and runs `use(data, n)`; the array is kept alive
// until `use` returns.
template <class T, class Use>
PyObject *with_input(PyObject *obj, Use use) {
    PyArrayObject *in = ox::py::input_array<T>(obj);
    if (!in) return nullptr;
    PyObject *r = use(static_cast<const T *>(PyArray_DATA(in)), static_cast<size_t>(PyArray_SIZE(in)));
    Py_DECREF(in);
    return r;
}

PyObject *py_kaiser_enbw(PyObject *, PyObject *args, PyObject *kw) {
    static const char *const names[] = {"w", nullptr};
    PyObject *w = nullptr;
    if (!ox::py::parse(args, kw, "O:kaiser_enbw", names, &w)) return nullptr;
    return with_input<float>(w, [](const float *d, size_t n) {
        return PyFloat_FromDouble(kaiser_enbw(d, n));
    });
}

PyObject *py_kaiser_beta_for_sidelobe(PyObject *, PyObject *args, PyObject *kw) {
    static const char *const names[] = {"atten_db", nullptr};
    double atten = 0.0;
    if (!ox::py::parse(args, kw, "d:kaiser_beta_for_sidelobe", names, &atten)) return nullptr;
    return PyFloat_FromDouble(kaiser_beta_for_sidelobe(atten));
}

// Magnitudes in dB of a complex spectrum as a new float32 array.
template <class In, class Floor>
PyObject *magnitudes(PyObject *x, Floor lin_floor, float offset_db,
                     void (*core)(const In *, size_t, float *, Floor, float)) {
    return with_input<In>(x, [&](const In *d, size_t n) -> PyObject * {
        PyArrayObject *out = ox::py::new_vector<float>(static_cast<npy_intp>(n));
        if (out) core(d, n, static_cast<float *>(PyArray_DATA(out)), lin_floor, offset_db);
        return reinterpret_cast<PyObject *>(out);
    });
}

PyObject *py_magnitude_db_cf32(PyObject *, PyObject *args, PyObject *kw) {
    static const char *const names[] = {"x", "lin_floor", "offset_db", nullptr};
    PyObject *x = nullptr;
    float lin_floor = 0.0f, offset_db = 0.0f;
    if (!ox::py::parse(args, kw, "Off:magnitude_db_cf32", names, &x, &lin_floor, &offset_db))
        return nullptr;
    return magnitudes<ox_cf32, float>(x, lin_floor, offset_db, magnitude_db_cf32);
}

PyObject *py_magnitude_db_cf64(PyObject *, PyObject *args, PyObject *kw) {
    static const char *const names[] = {"x", "lin_floor", "offset_db", nullptr};
    PyObject *x = nullptr;
    double lin_floor = 0.0;
    float offset_db = 0.0f;
    if (!ox::py::parse(args, kw, "Odf:magnitude_db_cf64", names, &x, &lin_floor, &offset_db))
        return nullptr;
    return magnitudes<ox_cf64, double>(x, lin_floor, offset_db, magnitude_db_cf64);
}

PyObject *py_find_peaks_f32(PyObject *, PyObject *args, PyObject *kw) {
    static const char *const names[] = {"db", "n_peaks", "min_db", nullptr};
    PyObject *db = nullptr;
    unsigned long long n_peaks = 0;
    float min_db = 0.0f;
    if (!ox::py::parse(args, kw, "OO&f:find_peaks_f32", names, &db, ox::py::u64_arg, &n_peaks, &min_db)) return nullptr;
    return with_input<float>(db, [&](const float *d, size_t n) -> PyObject * {
        // A trace of n bins has at most n/2 + 1 local maxima: reserving more than that is never
        // needed (and n_peaks * 8 could overflow the allocation size).
        const size_t room = n_peaks < n / 2 + 1 ? static_cast<size_t>(n_peaks) : n / 2 + 1;
        auto *peaks = static_cast<ox_peak_t *>(PyMem_Malloc((room ? room : 1) * sizeof(ox_peak_t)));
        if (!peaks) return PyErr_NoMemory();
        const size_t found = find_peaks_f32(d, n, room, peaks, min_db);
        PyObject *list = PyList_New(static_cast<Py_ssize_t>(found));
        for (size_t i = 0; list && i < found; ++i) {
            PyObject *t = Py_BuildValue("(dd)", static_cast<double>(peaks[i].freq_norm),
                                        static_cast<double>(peaks[i].level_db));
            if (!t) {
                Py_CLEAR(list);
                break;
            }
            PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), t);
        }
        PyMem_Free(peaks);
        return list;
    });
}

PyObject *py_obw_from_power(PyObject *, PyObject *args, PyObject *kw) {
    static const char *const names[] = {"pwr", "fs", "frac", nullptr};
    PyObject *pwr = nullptr;
    double fs = 0.0, frac = 0.0;
    if (!ox::py::parse(args, kw, "Odd:obw_from_power", names, &pwr, &fs, &frac)) return nullptr;
    return with_input<double>(pwr, [&](const double *d, size_t n) {
        return PyFloat_FromDouble(obw_from_power(d, n, fs, frac));
    });
}

PyObject *py_noise_floor_db(PyObject *, PyObject *args, PyObject *kw) {
    static const char *const names[] = {"db", nullptr};
    PyObject *db = nullptr;
    if (!ox::py::parse(args, kw, "O:noise_floor_db", names, &db)) return nullptr;
    return with_input<float>(db, [](const float *d, size_t n) {
        return PyFloat_FromDouble(noise_floor_db(d, n));
    });
}

PyMethodDef functions[] = {
    {"kaiser_enbw", OX_FN(py_kaiser_enbw), OX_KW,
     "kaiser_enbw(w)\n--\n\nEquivalent noise bandwidth of any window w (float32), in bins: "
     "len(w) * sum(w**2) / sum(w)**2. 1.0 for a rectangular window, NaN for an empty one."},
    {"kaiser_window", OX_FN(py_kaiser_window), OX_KW,
     "kaiser_window(w, beta)\n--\n\nFill the float32 array w in place with the symmetric Kaiser "
     "window of shape parameter beta (I0 by its power series). Returns None."},
    {"kaiser_beta_for_sidelobe", OX_FN(py_kaiser_beta_for_sidelobe), OX_KW,
     "kaiser_beta_for_sidelobe(atten_db)\n--\n\nKaiser beta whose window sidelobes sit atten_db "
     "below the main lobe (0.0 at or below 13.26 dB). Not the FIR-design formula."},
    {"hann_window", OX_FN(py_hann_window), OX_KW,
     "hann_window(w)\n--\n\nFill the float32 array w in place with the symmetric Hann window. "
     "Returns None."},
    {"blackman_harris_window", OX_FN(py_blackman_harris_window), OX_KW,
     "blackman_harris_window(w)\n--\n\nFill the float32 array w in place with the symmetric "
     "4-term minimum Blackman-Harris window. Returns None."},
    {"magnitude_db_cf32", OX_FN(py_magnitude_db_cf32), OX_KW,
     "magnitude_db_cf32(x, lin_floor, offset_db)\n--\n\n20*log10(max(|x|, lin_floor)) + offset_db "
     "for each element of the complex64 array x, in single precision; a new float32 array."},
    {"magnitude_db_cf64", OX_FN(py_magnitude_db_cf64), OX_KW,
     "magnitude_db_cf64(x, lin_floor, offset_db)\n--\n\n20*log10(max(|x|, lin_floor)) + offset_db "
     "for each element of the complex128 array x (modulus and log in double); a new float32 array."},
    {"find_peaks_f32", OX_FN(py_find_peaks_f32), OX_KW,
     "find_peaks_f32(db, n_peaks, min_db)\n--\n\nUp to n_peaks local maxima above min_db of the "
     "DC-centred dB trace db (float32), strongest first, as (freq_norm, level_db) tuples: "
     "frequency in cycles per sample (bin len(db)//2 is DC) and level, both refined by a parabola "
     "through the three bins around the maximum. The end bins are never peaks."},
    {"obw_from_power", OX_FN(py_obw_from_power), OX_KW,
     "obw_from_power(pwr, fs, frac)\n--\n\nOccupied bandwidth in Hz of the linear power bins pwr "
     "(float64, display order, spanning fs): the whole bins from where the running sum reaches "
     "(1-frac)/2 of the total to where it reaches (1+frac)/2, edges included. 0.0 without power."},
    {"noise_floor_db", OX_FN(py_noise_floor_db), OX_KW,
     "noise_floor_db(db)\n--\n\nMedian of the dB trace db (float32); 0.0 for an empty trace."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace helpers_py

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "spectral",
    "FFTs (1-D and 2-D), Welch PSD with calibrated measurements, windows and spectral helpers, "
    "FFT correlators and correlation detectors.",
    -1, helpers_py::functions, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_spectral(void) {
    return ox::py::init_module(
        &module_def, {
                         OX_TYPE("spectral.FFT", fft_py::doc, fft_py::create, fft_destroy,
                                 fft_py::methods, fft_py::props),
                         OX_TYPE("spectral.FFT2D", fft2d_py::doc, fft2d_py::create, fft2d_destroy,
                                 fft2d_py::methods, fft2d_py::props),
                         OX_TYPE("spectral.Corr", corr_py::doc, corr_py::create, corr_destroy,
                                 corr_py::methods, corr_py::props),
                         OX_TYPE("spectral.Corr2D", corr_py::doc_2d, corr_py::create_2d,
                                 corr2d_destroy, corr_py::methods_2d, corr_py::props_2d),
                         OX_TYPE("spectral.CorrDetector", detector_py::doc, detector_py::create,
                                 detector_py::box_destroy<detector_state_t>, detector_py::methods,
                                 detector_py::props),
                         OX_TYPE("spectral.CorrDetector2D", detector_py::doc_2d,
                                 detector_py::create_2d,
                                 detector_py::box_destroy<detector2d_state_t>,
                                 detector_py::methods_2d, detector_py::props_2d),
                         OX_TYPE("spectral.PSD", psd_py::doc, psd_py::create, psd_destroy,
                                 psd_py::methods, psd_py::props),
                     });
}
