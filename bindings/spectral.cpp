// Module ostrel.spectral: FFTs, Welch PSD, windows and spectral helpers, correlators.
#define OX_MODULE_RELEASES_GIL 0
#define OX_MODULE_HAS_TELEMETRY 0
#include "frame.h"

#include <cstring>

#include "fft/fft2d_core.h"
#include "fft/fft_core.h"
#include "spectral/psd_core.h"
#include "spectral/window_core.h"

namespace {

// ---------------------------------------------------------------------------------------------
// FFT
// ---------------------------------------------------------------------------------------------
namespace fft_py {

fft_state_t *create(PyObject *args, PyObject *kw) {
    static const char *const names[] = {"n", "sign", "nthreads", nullptr};
    unsigned long long n = 1024;
    int sign = -1, nthreads = 1;
    if (!ox::py::parse(args, kw, "|O&ii:FFT", names, ox::py::u64_arg, &n, &sign, &nthreads)) return nullptr;
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
                       &nthreads)) return nullptr;
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
                       ox::py::u64_arg, &pad, &full_scale, ox::py::u64_arg, &bits, &mode, &alpha))
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
            "accumulate(x)\n--\n\nFold every whole frame of n samples of x (complex64, taken flat) "
            "into the averaged spectrum; the n_in % n trailing samples are dropped. Returns None."),
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
    OX_STATE_BLOB(psd_state_bytes, psd_get_state, psd_set_state),
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
                         OX_TYPE("spectral.PSD", psd_py::doc, psd_py::create, psd_destroy,
                                 psd_py::methods, psd_py::props),
                     });
}
