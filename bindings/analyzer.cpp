// Module ostrel.analyzer: streaming spectrum analyzer.
#define OX_MODULE_RELEASES_GIL 1
#define OX_MODULE_HAS_TELEMETRY 1
#include "frame.h"

#include <cstring>

#include "specan/specan_core.h"

namespace {

namespace specan_py {

specan_state_t *create(PyObject *args, PyObject *kw) {
    static const char *const names[] = {"fs",        "span",       "rbw",  "src_center",
                                        "center",    "offset_db",  "full_scale",
                                        "bits",      "window",     "navg",
                                        "flat",      nullptr};
    double fs = 0.0, span = 0.0, rbw = 0.0, src_center = 0.0, center = 0.0, offset_db = 0.0,
           full_scale = 1.0;
    unsigned long long bits = 0, navg = 1;
    const char *window = "kaiser";
    int flat = 1;
    if (!ox::py::parse(args, kw, "ddd|ddddO&sO&p:Specan", names, &fs, &span, &rbw, &src_center,
                       &center, &offset_db, &full_scale, ox::py::u64_arg, &bits, &window,
                       ox::py::u64_arg, &navg, &flat) ||
        !ox::py::finite_args({{"fs", fs}, {"span", span}, {"rbw", rbw}, {"src_center", src_center},
                              {"center", center}, {"offset_db", offset_db}, {"full_scale", full_scale}}))
        return nullptr;
    int window_code;
    if (std::strcmp(window, "hann") == 0) {
        window_code = SPECAN_WINDOW_HANN;
    } else if (std::strcmp(window, "kaiser") == 0) {
        window_code = SPECAN_WINDOW_KAISER;
    } else {
        PyErr_Format(PyExc_ValueError, "window must be one of \"hann\", \"kaiser\", got '%s'", window);
        return nullptr;
    }
    if (!ox::py::require(fs > 0, "fs", "> 0", fs) || !ox::py::require(span > 0, "span", "> 0", span) ||
        !ox::py::require(rbw > 0, "rbw", "> 0", rbw) || !ox::py::require_scale(full_scale, bits) ||
        !ox::py::require(navg >= 1, "navg", ">= 1", navg))
        return nullptr;
    auto *make = flat ? specan_create_flat : specan_create;
    return ox::py::created(make(fs, span, rbw, src_center, center, offset_db, full_scale, bits,
                                window_code, navg),
                           PyExc_MemoryError, "specan_create returned NULL");
}

double get_fs_out(const specan_state_t *s) { return s->fs_out; }
double get_span(const specan_state_t *s) { return s->span; }
double get_rbw(const specan_state_t *s) {
    return s->psd->enbw * s->fs_out / static_cast<double>(s->n);
}
double get_center(const specan_state_t *s) { return s->center; }
double get_beta(const specan_state_t *s) { return s->beta; }
uint64_t get_n(const specan_state_t *s) { return s->n; }
uint64_t get_nfft(const specan_state_t *s) { return s->nfft; }
uint64_t get_navg(const specan_state_t *s) { return s->navg; }
uint64_t get_display_size(const specan_state_t *s) { return s->display_size; }
int get_flat(const specan_state_t *s) { return s->flat; }

constexpr const char *kw_center[] = {"center", nullptr};

PyMethodDef methods[] = {
    OX_BLOCK_OR_NONE("execute", specan_execute, specan_execute_max_out,
     "execute(x, out=None)\n--\n\n"
     "Feed complex64 samples x (any shape, taken flat). When they complete at least one block\n"
     "of n*navg decimated samples, return the frame of the last complete block: display_size\n"
     "float32 dB values, DC-centred (index display_size//2 is `center`, bin spacing\n"
     "fs_out/nfft). Otherwise return None. Blocks completed earlier in the same call are\n"
     "skipped and averaging restarts for every frame. A given out must be a writable,\n"
     "C-contiguous float32 array of at least max(display_size, len(x)) elements; the frame is\n"
     "written to its start and returned as a view. Runs without the interpreter lock."),
    OX_MAX_OUT("execute_max_out", specan_execute_max_out),
    OX_CONFIG("retune", specan_retune, kw_center,
            "retune(center)\n--\n\nMove the display centre to `center` Hz. The down-converter's "
            "oscillator retunes phase-continuously; samples not yet shown are dropped, so the next "
            "frame needs a full n*navg decimated samples taken at the new tuning. Span and RBW are "
            "fixed: build a new Specan to change them."),
    OX_STATE(specan),
    OX_LIFECYCLE(specan_destroy),
    OX_END_METHODS,
};

PyGetSetDef props[] = {
    OX_GET("fs_out", get_fs_out, "Decimated rate, Hz (= span\xc2\xb7" "1.28, \xe2\x89\xa4 fs_in)."),
    OX_GET("span", get_span, "Display span, Hz."),
    OX_GET("rbw", get_rbw,
           "Realised resolution bandwidth, Hz: the window's equivalent noise bandwidth "
           "enbw * fs_out / n."),
    OX_GET("center", get_center, "Display center frequency, Hz."),
    OX_GET("beta", get_beta, "Kaiser beta realising rbw."),
    OX_GET("n", get_n, "Segment / window length (samples)."),
    OX_GET("nfft", get_nfft, "Zero-padded transform length."),
    OX_GET("navg", get_navg, "Segments averaged per emitted frame."),
    OX_GET("display_size", get_display_size, "Display size."),
    OX_GET_BOOL("flat", get_flat, "True for the flat front end (halfband pairs ahead of the last converter)."),
    OX_GET("predecimation", specan_predecimation,
           "Decimation of the 4:1 halfband pairs ahead of the last converter (4**k; 1 without "
           "them: flat=False, or fs/fs_out < 8)."),
    OX_END_PROPS,
};

constexpr const char *doc =
    "Specan(fs, span, rbw, src_center=0.0, center=0.0, offset_db=0.0, full_scale=1.0, bits=0, "
    "window='kaiser', navg=1, flat=True)\n--\n\n"
    "Streaming spectrum analyzer set up like a bench instrument.\n\n"
    "Input: complex64 I/Q at fs Hz whose DC sits at the RF frequency src_center Hz. Each\n"
    "frame shows `span` Hz around `center` Hz in dB (10*log10 of the power relative to\n"
    "full_scale**2, plus offset_db), DC-centred.\n\n"
    "How the settings map onto the chain:\n"
    "  center, span  A down-converter mixes `center` to DC (oscillator at\n"
    "                (src_center - center)/fs cycles per sample) and resamples to\n"
    "                fs_out = min(fs, 1.28*span); the 28 % margin keeps the resampler's\n"
    "                transition band outside the display, which shows +-0.390625*fs_out\n"
    "                (+-span/2) around center.\n"
    "  flat          True (default): while fs/fs_out >= 8 the down-converter decimates 4:1\n"
    "                in pairs of halfbands (`predecimation` reads their factor) and a last\n"
    "                converter resamples the remaining ratio below 8, so levels are flat to\n"
    "                a few hundredths of a dB across the display and signals outside the\n"
    "                span stay 60 dB or more down. False: one rate converter, which from\n"
    "                fs/fs_out >= 8 on starts with an uncompensated CIC whose droop lowers\n"
    "                levels towards the display edges (1.5 dB a quarter span off centre,\n"
    "                several dB at the edges) and lets aliases through 20-37 dB down; below\n"
    "                8:1 both front ends are the same chain. The state blobs differ (magic\n"
    "                \"SPAF\" flat, \"SPAN\" otherwise).\n"
    "  rbw           The segment length n is the power of two >= fs_out/rbw. With\n"
    "                window='kaiser' the window's beta is solved so that its equivalent noise\n"
    "                bandwidth equals the requested rbw (the `rbw` property reads the\n"
    "                realised value; an rbw above fs_out/2 leaves a two-sample window, beta 0,\n"
    "                realising fs_out/2); window='hann' keeps beta 0 and gives\n"
    "                rbw = 1.5*fs_out/n. Segments are zero-padded to nfft = 2*n, so bins are\n"
    "                fs_out/nfft apart, about rbw/2 or finer.\n"
    "  navg          Each frame is the mean power of navg consecutive, non-overlapping\n"
    "                segments (n*navg decimated samples); averaging restarts for every frame.\n"
    "  full_scale,   The amplitude that reads 0 dB (bits != 0 sets it to 2**(bits-1), for\n"
    "  bits          integer ADC samples); a complex tone of amplitude a centred on a bin reads\n"
    "                20*log10(a/full_scale) + offset_db.\n\n"
    "execute(x) returns a frame (display_size values) when x completes a block, else None.\n"
    "Display index i is at center + (i - display_size//2)*fs_out/nfft Hz.";

}  // namespace specan_py

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "analyzer",
    "Streaming spectrum analyzer: a down-converter and a Welch PSD in one object.",
    -1, nullptr, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_analyzer(void) {
    return ox::py::init_module(&module_def,
                               {
                                   OX_TYPE("analyzer.Specan", specan_py::doc, specan_py::create,
                                           specan_destroy, specan_py::methods, specan_py::props),
                               });
}
