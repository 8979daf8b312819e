// Module ostrel.track: carrier and timing tracking loops.
#define OX_MODULE_RELEASES_GIL 1
#define OX_MODULE_HAS_TELEMETRY 1
#include "frame.h"

#include <climits>

#include "carrier/carrier_mpsk_core.h"
#include "carrier/carrier_nda_core.h"
#include "carrier/costas_core.h"
#include "loops/loop_filter_core.h"
#include "rx/mpsk_receiver_core.h"
#include "rx/psk_demod_core.h"
#include "timing/dll_core.h"
#include "timing/ratesync_core.h"
#include "timing/symsync_core.h"

namespace {

// The message of every statistical lock configuration the core refuses.
constexpr char kConfigureLockFailed[] = "configure_lock failed (rc=%d)";

// ---------------------------------------------------------------------------------------------
// LoopFilter
// ---------------------------------------------------------------------------------------------
namespace loop_filter_py {

loop_filter *create(PyObject *args, PyObject *kw) {
    static const char *const names[] = {"bn", "zeta", "t", nullptr};
    double bn = 0.01, zeta = 0.707, t = 1.0;
    if (!ox::py::parse(args, kw, "|ddd:LoopFilter", names, &bn, &zeta, &t)) return nullptr;
    return ox::py::created(loop_filter_create(bn, zeta, t), PyExc_ValueError,
                           "bn must be >= 0, zeta > 0 and t > 0, and all three finite");
}

double step(loop_filter *lf, double x) { return ox::loop_filter_update(lf, x); }
double get_kp(const loop_filter *lf) { return lf->kp; }
double get_ki(const loop_filter *lf) { return lf->ki; }
double get_integ(const loop_filter *lf) { return lf->integ; }
void set_integ(loop_filter *lf, double v) { lf->integ = v; }
double get_bn(const loop_filter *lf) { return lf->bn; }
double get_zeta(const loop_filter *lf) { return lf->zeta; }
double get_t(const loop_filter *lf) { return lf->t; }

constexpr const char *kw_step[] = {"x", nullptr};
constexpr const char *kw_configure[] = {"bn", "zeta", "t", nullptr};

PyMethodDef methods[] = {
    OX_CALL("step", step, kw_step,
            "step(x)\n--\n\nApply one update with loop error x; return the control value."),
    {"steps", OX_FN(ox::py::block_same_length<loop_filter_steps>), OX_KW,
     "steps(x, out=None)\n--\n\nApply one update per element of x (float64); return the control "
     "values. A given out must be float64 of exactly len(x) elements and is returned."},
    OX_CONFIG("configure", loop_filter_configure, kw_configure,
            "configure(bn, zeta, t)\n--\n\nRe-derive the gains; the integrator is kept."),
    OX_STATE(loop_filter),
    OX_LIFECYCLE(loop_filter_destroy),
    OX_END_METHODS,
};

PyGetSetDef props[] = {
    OX_GET("kp", get_kp, "Proportional gain."),
    OX_GET("ki", get_ki, "Integral gain."),
    OX_GETSET("integ", get_integ, set_integ, "Integrator (the running frequency or rate estimate)."),
    OX_GET("bn", get_bn, "Loop noise bandwidth, cycles per update period, as configured."),
    OX_GET("zeta", get_zeta, "Damping factor as configured."),
    OX_GET("t", get_t, "Update period in samples as configured."),
    OX_END_PROPS,
};

constexpr const char *doc =
    "LoopFilter(bn=0.01, zeta=0.707, t=1.0)\n--\n\n"
    "Second-order proportional-integral loop filter.\n\n"
    "bn is the loop noise bandwidth (cycles per sample), zeta the damping and t the update\n"
    "period in samples. Each update integ += ki*e; control = kp*e + integ.";

}  // namespace loop_filter_py

// ---------------------------------------------------------------------------------------------
// Costas
// ---------------------------------------------------------------------------------------------
namespace costas_py {

costas *create(PyObject *args, PyObject *kw) {
    static const char *const names[] = {"bn", "zeta", "init_norm_freq", "tsamps", "bn_fll", nullptr};
    double bn = 0.05, zeta = 0.707, init_norm_freq = 0.0, bn_fll = 0.0;
    unsigned long long tsamps = 64;
    if (!ox::py::parse(args, kw, "|dddO&d:Costas", names, &bn, &zeta, &init_norm_freq, ox::py::u64_arg, &tsamps,
                       &bn_fll) ||
        !ox::py::finite_args(
            {{"bn", bn}, {"zeta", zeta}, {"init_norm_freq", init_norm_freq}, {"bn_fll", bn_fll}}))
        return nullptr;
    if (!ox::py::require_loop(bn, zeta) || !ox::py::require(tsamps >= 1, "tsamps", ">= 1", tsamps) ||
        !ox::py::require(bn_fll >= 0, "bn_fll", ">= 0", bn_fll))
        return nullptr;
    return ox::py::created(costas_create(tsamps, bn, zeta, init_norm_freq, bn_fll),
                           PyExc_MemoryError, "costas_create returned NULL");
}

// Python takes the thresholds first, the core the counts first.
void configure_lock(costas *cl, double up_thresh, double down_thresh, uint32_t n_up,
                    uint32_t n_down) {
    costas_configure_lock(cl, n_up, n_down, up_thresh, down_thresh);
}

constexpr const char *kw_configure[] = {"bn", "zeta", nullptr};
constexpr const char *kw_configure_lock[] = {"up_thresh", "down_thresh", "n_up", "n_down", nullptr};

PyMethodDef methods[] = {
    OX_BLOCK("steps", costas_steps, costas_steps_max_out,
             "steps(x, out=None)\n--\n\nTrack the carrier of complex64 samples x; return one "
             "de-rotated prompt (complex64, the dump's mean) per tsamps input samples. A partial "
             "dump is carried into the next call."),
    OX_MAX_OUT("steps_max_out", costas_steps_max_out),
    OX_TELEMETRY(costas_set_telemetry),
    OX_CONFIG("configure", costas_configure, kw_configure,
            "configure(bn, zeta)\n--\n\nRe-derive the loop gains (bn normalised to the dump "
            "rate); the frequency estimate, oscillator and lock state are kept."),
    OX_CONFIG("configure_lock", configure_lock, kw_configure_lock,
            "configure_lock(up_thresh, down_thresh, n_up, n_down)\n--\n\nRe-tune the lock "
            "detector: lock after n_up consecutive dumps with lock_metric > up_thresh, drop after "
            "n_down consecutive dumps below down_thresh. The current decision is kept."),
    OX_STATE(costas),
    OX_LIFECYCLE(costas_destroy),
    OX_END_METHODS,
};

PyGetSetDef props[] = {
    OX_GETSET("bn", costas_get_bn, costas_set_bn,
              "PLL noise bandwidth, normalised to the dump rate; assigning re-derives the gains."),
    OX_GETSET("norm_freq", costas_get_norm_freq, costas_set_norm_freq,
              "Tracked carrier frequency, cycles per sample. Assigning re-seeds the loop at that "
              "frequency (and makes it the frequency reset() returns to)."),
    OX_GET("lock_metric", costas_get_lock_metric,
           "Lock metric: EMA of |Re P| / |P| over the prompts P (1 when locked, noise-free)."),
    OX_GET_BOOL("locked", costas_get_locked, "Lock detector decision."),
    OX_GET("last_error", costas_get_last_error, "Last normalised discriminator output."),
    OX_GETSET("bn_fll", costas_get_bn_fll, costas_set_bn_fll,
              "FLL-assist bandwidth (0 disables the frequency-locked-loop term)."),
    OX_END_PROPS,
};

constexpr const char *doc =
    "Costas(bn=0.05, zeta=0.707, init_norm_freq=0.0, tsamps=64, bn_fll=0.0)\n--\n\n"
    "BPSK Costas carrier loop with integrate-and-dump.\n\n"
    "Samples are de-rotated by the loop's oscillator and summed over tsamps samples into one\n"
    "prompt; each prompt drives a decision-directed discriminator, a second-order loop filter\n"
    "(bn, zeta; bn normalised to the dump rate) and an optional FLL assist (bn_fll). The loop\n"
    "starts at init_norm_freq cycles per sample. Telemetry probes: prefix + \".lock\", \".e\",\n"
    "\".freq\", \".locked\", once per dump.";

}  // namespace costas_py

// ---------------------------------------------------------------------------------------------
// Dll
// ---------------------------------------------------------------------------------------------
namespace dll_py {

dll *create(PyObject *args, PyObject *kw) {
    static const char *const kw_names[] = {"code",    "sps",     "init_chip", "bn",
                                           "zeta",    "spacing", "segments",  nullptr};
    PyObject *code_obj = nullptr;
    unsigned long long sps = 2, segments = 1;
    double init_chip = 0.0, bn = 0.01, zeta = 0.707, spacing = 0.5;
    if (!ox::py::parse(args, kw, "O|O&ddddO&:Dll", kw_names, &code_obj, ox::py::u64_arg, &sps,
                       &init_chip, &bn, &zeta, &spacing, ox::py::u64_arg, &segments) ||
        !ox::py::finite_args({{"init_chip", init_chip}, {"bn", bn}, {"zeta", zeta}, {"spacing", spacing}}) ||
        !ox::py::size_fits("segments", segments, 8 * sizeof(ox_cf32)))
        return nullptr;
    // Any array-like; bit 0 of each element is the chip, so integer codes are cast.
    auto *code = reinterpret_cast<PyArrayObject *>(
        PyArray_FromAny(code_obj, PyArray_DescrFromType(NPY_UINT8), 0, 0,
                        NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED | NPY_ARRAY_FORCECAST, nullptr));
    if (!code) return nullptr;
    if (!ox::py::require(PyArray_SIZE(code) >= 1, "len(code)", ">= 1", PyArray_SIZE(code)) ||
        !ox::py::require(sps >= 1, "sps", ">= 1", sps) || !ox::py::require_loop(bn, zeta) ||
        !ox::py::require(segments >= 1, "segments", ">= 1", segments)) {
        Py_DECREF(code);
        return nullptr;
    }
    dll *d = dll_create(static_cast<const uint8_t *>(PyArray_DATA(code)),
                        static_cast<size_t>(PyArray_SIZE(code)), sps, segments, init_chip, bn,
                        zeta, spacing);
    Py_DECREF(code);
    return ox::py::created(d, PyExc_MemoryError, "dll_create returned NULL");
}

// "O&" converter for a count the core takes as an int: an unsigned integer up to INT_MAX
// (OverflowError beyond, like every unsigned argument).
int count_arg(PyObject *o, void *dst) {
    uint32_t v;
    if (!ox::py::u32_arg(o, &v)) return 0;
    if (v > static_cast<uint32_t>(INT_MAX)) {
        PyErr_Format(PyExc_OverflowError, "%u is out of range (at most %d)", v, INT_MAX);
        return 0;
    }
    *static_cast<int *>(dst) = static_cast<int>(v);
    return 1;
}

PyObject *failed(const char *what, int rc) {
    return PyErr_Format(PyExc_ValueError, "%s (rc=%lld)", what, static_cast<long long>(rc));
}

// Hand-written methods check the object, parse every argument, and only then read the core
// pointer: a conversion hook may have destroyed the object meanwhile.
PyObject *configure_lock(PyObject *self, PyObject *args, PyObject *kw) {
    if (!ox::py::alive(self)) return nullptr;
    static const char *const names[] = {"pfa", "n_looks", "ref_snr_db", nullptr};
    double pfa = 0.0, ref_snr_db = 0.0;
    unsigned long long n_looks = 0;
    if (!ox::py::parse(args, kw, "dO&|d:configure_lock", names, &pfa, ox::py::u64_arg, &n_looks,
                       &ref_snr_db) ||
        !ox::py::finite_args({{"pfa", pfa}, {"ref_snr_db", ref_snr_db}}))
        return nullptr;
    dll *d = ox::py::core_of<dll>(self);
    if (!d) return nullptr;
    const int rc = dll_configure_lock(d, n_looks, pfa, ref_snr_db);
    if (rc != 0) return PyErr_Format(PyExc_ValueError, kConfigureLockFailed, rc);
    Py_RETURN_NONE;
}

PyObject *configure_lock_raw(PyObject *self, PyObject *args, PyObject *kw) {
    if (!ox::py::alive(self)) return nullptr;
    static const char *const names[] = {"up_thresh", "down_thresh", "n_looks", "alpha",
                                        "n_up",      "n_down",      nullptr};
    double up = 0.0, down = 0.0, alpha = 0.0;
    unsigned long long n_looks = 0;
    int n_up = 0, n_down = 0;
    if (!ox::py::parse(args, kw, "ddO&dO&O&:configure_lock_raw", names, &up, &down,
                       ox::py::u64_arg, &n_looks, &alpha, count_arg, &n_up, count_arg, &n_down) ||
        !ox::py::finite_args({{"up_thresh", up}, {"down_thresh", down}, {"alpha", alpha}}))
        return nullptr;
    dll *d = ox::py::core_of<dll>(self);
    if (!d) return nullptr;
    dll_configure_lock_raw(d, n_looks, n_up, n_down, up, down, alpha);
    Py_RETURN_NONE;
}

PyObject *set_lock_verify(PyObject *self, PyObject *args, PyObject *kw) {
    if (!ox::py::alive(self)) return nullptr;
    static const char *const names[] = {"n_up", "n_down", nullptr};
    int n_up = 0, n_down = 0;
    if (!ox::py::parse(args, kw, "O&O&:set_lock_verify", names, count_arg, &n_up, count_arg,
                       &n_down))
        return nullptr;
    dll *d = ox::py::core_of<dll>(self);
    if (!d) return nullptr;
    const int rc = dll_set_lock_verify(d, n_up, n_down);
    if (rc != 0) return failed("set_lock_verify failed", rc);
    Py_RETURN_NONE;
}

PyObject *set_symbol_period(PyObject *self, PyObject *args, PyObject *kw) {
    if (!ox::py::alive(self)) return nullptr;
    static const char *const names[] = {"partials_per_symbol", nullptr};
    double period = 0.0;
    if (!ox::py::parse(args, kw, "d:set_symbol_period", names, &period) ||
        !ox::py::finite_arg("period", period))
        return nullptr;
    dll *d = ox::py::core_of<dll>(self);
    if (!d) return nullptr;
    const int rc = dll_set_symbol_period(d, period);
    if (rc != 0) return failed("set_symbol_period failed", rc);
    Py_RETURN_NONE;
}

constexpr const char *kw_configure[] = {"bn", "zeta", nullptr};
constexpr const char *kw_rate_aid[] = {"rate_aid", nullptr};

PyMethodDef methods[] = {
    OX_BLOCK("steps", dll_steps, dll_steps_max_out,
             "steps(x, out=None)\n--\n\nCorrelate complex64 samples x against the code and track "
             "it; return the prompts (complex64): one per code period, the epoch sum divided by "
             "sps*L, with segments=1; with segments=n, the n partial correlations of each epoch, "
             "normalised so that the mean of the strongest one-epoch window's partials has unit "
             "magnitude. Output room is len(x) (or len(out)): partials beyond it are dropped, so "
             "give an out with segments elements more than x to keep every one (with more "
             "segments than samples per epoch, len(x)*segments/(sps*L) + segments)."),
    OX_MAX_OUT("steps_max_out", dll_steps_max_out),
    OX_TELEMETRY(dll_set_telemetry),
    OX_CONFIG("configure", dll_configure, kw_configure,
            "configure(bn, zeta)\n--\n\nRe-derive the loop gains (bn per epoch); the rate "
            "estimate, code phase and lock state are kept."),
    OX_CONFIG("set_rate_aid", dll_set_rate_aid, kw_rate_aid,
            "set_rate_aid(rate_aid)\n--\n\nFractional code-rate bias fed forward into the NCO "
            "(e.g. from a carrier-Doppler estimate: Doppler / carrier frequency); 0 turns it off. "
            "Takes effect at the next loop update; the loop then tracks only the residual."),
    {"configure_lock", OX_FN(configure_lock), OX_KW,
     "configure_lock(pfa, n_looks, ref_snr_db=0.0)\n--\n\nSize the lock detector: n_looks looks "
     "per decision, threshold on R = sqrt(2 sum|P|^2 / E|O|^2) for false-alarm probability pfa "
     "per decision on noise, lock after the verify count of decisions above it that brings the "
     "false-lock probability to pfa/1000, loss after 2 below. ref_snr_db sets the averaging of "
     "the noise reference (0: 1/alpha = max(32 n_looks, 1024) looks). Clears the decision. "
     "ValueError unless 0 < pfa < 1."},
    {"configure_lock_raw", OX_FN(configure_lock_raw), OX_KW,
     "configure_lock_raw(up_thresh, down_thresh, n_looks, alpha, n_up, n_down)\n--\n\nSet the "
     "lock detector directly: declare after n_up consecutive decisions with R > up_thresh, drop "
     "after n_down with R < down_thresh; n_looks looks per decision; alpha the EMA coefficient "
     "of the noise reference. Counts of 0 act as 1. Clears the decision."},
    {"set_lock_verify", OX_FN(set_lock_verify), OX_KW,
     "set_lock_verify(n_up, n_down)\n--\n\nChange the verify counts, thresholds kept; clears the "
     "decision. ValueError when either is 0."},
    {"set_symbol_period", OX_FN(set_symbol_period), OX_KW,
     "set_symbol_period(partials_per_symbol)\n--\n\nSymbol-period aid (segments >= 2): the data "
     "symbol period in partials (>= 2; <= 0 turns the aid off). The loop then finds the symbol "
     "boundary by power, integrates each look over a window of symbol_window partials inside a "
     "symbol and steers once per symbol; the tracked rate carries over. Clears the lock state. "
     "ValueError for a period in (0, 2), with segments=1, or when the rings cannot be "
     "allocated (the object is then unchanged)."},
    OX_STATE(dll),
    OX_LIFECYCLE(dll_destroy),
    OX_END_METHODS,
};

PyGetSetDef props[] = {
    OX_GETSET("bn", dll_get_bn, dll_set_bn,
              "Loop noise bandwidth, normalised to the epoch (code period) rate; assigning "
              "re-derives the gains and keeps the estimates."),
    OX_GET("code_phase", dll_get_code_phase, "Code phase of the local replica, chips in [0, L)."),
    OX_GET("code_rate", dll_get_code_rate, "Tracked code rate, chips per nominal chip (1 = nominal)."),
    OX_GET("last_error", dll_get_last_error,
           "Last early-minus-late discriminator output, in [-1, 1]."),
    OX_GET("segments", dll_get_segments, "Partial correlations per code period."),
    OX_GET_BOOL("locked", dll_get_locked, "Code-lock decision."),
    OX_GET("lock_stat", dll_get_lock_stat,
           "Last lock statistic R = sqrt(2 sum|P|^2 / E|O|^2) over the looks of one decision "
           "(about sqrt(2 N) on noise alone)."),
    OX_GET("noise_est", dll_get_noise_est, "Noise reference E|O|^2 from the off-peak tap."),
    OX_GET("symbol_window", dll_get_symbol_window,
           "Partials per symbol window with the symbol-period aid on, else 0."),
    OX_END_PROPS,
};

constexpr const char *doc =
    "Dll(code, sps=2, init_chip=0.0, bn=0.01, zeta=0.707, spacing=0.5, segments=1)\n--\n\n"
    "Code-tracking delay-locked loop for direct-sequence spread-spectrum signals.\n\n"
    "code is the spreading code, one element per chip, cast to uint8 (bit 0: 0 -> +1, 1 -> -1;\n"
    "a code held as +-1 values is passed as (1 - c) // 2); the input is\n"
    "carrier-wiped complex baseband at sps samples per chip. Early, prompt and late correlators\n"
    "(spacing chips either side) steer a 32-bit code NCO through a second-order loop (bn, zeta;\n"
    "bn per code period) from a non-coherent early-minus-late power discriminator; the loop\n"
    "starts at init_chip chips. segments=1 integrates and dumps each code period; segments=n\n"
    "splits it into n partial correlations, all emitted, and runs the discriminator on the\n"
    "strongest one-period window (robust to data transitions); segments may exceed L*sps, every\n"
    "period still yields n partials, those no sample fell in being 0. An off-peak noise tap gives a\n"
    "CFAR lock detector (locked, lock_stat). Telemetry probes: prefix + \".e\", \".rate\",\n"
    "\".lock\", \".locked\", once per code period.\n\n"
    "With segments=1 the rate integrator is the fractional code rate itself, so it moves the\n"
    "phase L times more per update than the proportional path (kp e chips): the loop is lightly\n"
    "damped and stable only for bn < (1 + 4 zeta^2) / (2 L), about 1.5 / L at zeta 0.707 (0.0015\n"
    "for 1023 chips); it settles fastest for bn between about 0.5 / L and 1 / L (0.0005 to 0.001\n"
    "for 1023 chips). With segments >= 2 both paths scale alike and bn ~ 0.05 works.";

}  // namespace dll_py

// ---------------------------------------------------------------------------------------------
// SymbolSync
// ---------------------------------------------------------------------------------------------
namespace symsync_py {

// Index of `value` in `choices`, or -1 with ValueError `message` formatted with the value.
int choice(const char *value, std::initializer_list<const char *> choices, const char *message) {
    int i = 0;
    for (const char *c : choices) {
        if (std::strcmp(value, c) == 0) return i;
        ++i;
    }
    PyErr_Format(PyExc_ValueError, message, value);
    return -1;
}

symsync *create(PyObject *args, PyObject *kw) {
    static const char *const names[] = {"sps", "bn", "zeta", "order", "ted", nullptr};
    unsigned long long sps = 4;
    double bn = 0.01, zeta = 0.707;
    const char *order = "cubic", *ted = "gardner";
    if (!ox::py::parse(args, kw, "|O&ddss:SymbolSync", names, ox::py::u64_arg, &sps, &bn, &zeta,
                       &order, &ted) ||
        !ox::py::finite_args({{"bn", bn}, {"zeta", zeta}}))
        return nullptr;
    const int order_code =
        choice(order, {"linear", "parabolic", "cubic"},
               "order must be one of \"linear\", \"parabolic\", \"cubic\", got '%s'");
    if (order_code < 0) return nullptr;
    const int ted_code =
        choice(ted, {"gardner", "dttl"}, "ted must be one of \"gardner\", \"dttl\", got '%s'");
    if (ted_code < 0) return nullptr;
    // One sample per symbol leaves the interpolator nothing to step over: no symbol is emitted.
    if (!ox::py::require(sps >= 2, "sps", ">= 2", sps) || !ox::py::require_loop(bn, zeta)) return nullptr;
    return ox::py::created(symsync_create(sps, order_code, ted_code, bn, zeta), PyExc_MemoryError,
                           "symsync_create returned NULL");
}

// Python takes the thresholds before the counts, the core the counts first.
void configure_lock_raw(symsync *s, uint64_t avgs, double up_thresh, double down_thresh,
                        uint32_t n_up, uint32_t n_down) {
    symsync_configure_lock_raw(s, avgs, static_cast<int>(n_up), static_cast<int>(n_down), up_thresh,
                               down_thresh);
}

constexpr const char *kw_configure[] = {"bn", "zeta", nullptr};
constexpr const char *kw_configure_lock[] = {"rolloff", "esno_min_db", "pfa", "pd", nullptr};
constexpr const char *kw_configure_lock_raw[] = {"avgs", "up_thresh", "down_thresh", "n_up",
                                                 "n_down", nullptr};

PyMethodDef methods[] = {
    OX_BLOCK("steps", symsync_steps, symsync_steps_max_out,
             "steps(x, out=None)\n--\n\nRecover the symbol timing of complex64 samples x; return "
             "one interpolated on-time sample (complex64) per recovered symbol. The first "
             "on-time strobe after construction or reset only primes the detector."),
    OX_MAX_OUT("steps_max_out", symsync_steps_max_out),
    OX_TELEMETRY(symsync_set_telemetry),
    OX_CONFIG("configure", symsync_configure, kw_configure,
            "configure(bn, zeta)\n--\n\nRe-derive the loop gains (bn normalised to the symbol "
            "rate); the rate estimate, NCO phase and lock state are kept."),
    OX_CALL_CHECKED("configure_lock", symsync_configure_lock, kw_configure_lock,
                    kConfigureLockFailed,
                    "configure_lock(rolloff, esno_min_db, pfa, pd)\n--\n\nSize the timing-lock "
                    "detector for pulses of this roll-off at Es/N0 down to esno_min_db (dB): the "
                    "block length and threshold giving false-alarm probability pfa and "
                    "detection probability pd per block decision (lock after 1 decision above "
                    "the threshold, drop after 8 below). ValueError unless 0 < pfa < pd < 1 and "
                    "the block length is attainable."),
    OX_CONFIG("configure_lock_raw", configure_lock_raw, kw_configure_lock_raw,
            "configure_lock_raw(avgs, up_thresh, down_thresh, n_up, n_down)\n--\n\nSet the "
            "timing-lock detector directly: the lock signal is averaged over avgs symbols (0 "
            "counts as 1); lock after n_up consecutive averages above up_thresh, drop after "
            "n_down consecutive ones below down_thresh. The current decision is kept."),
    OX_STATE(symsync),
    OX_LIFECYCLE(symsync_destroy),
    OX_END_METHODS,
};

PyGetSetDef props[] = {
    OX_GETSET("bn", symsync_get_bn, symsync_set_bn,
              "Loop noise bandwidth, normalised to the symbol rate; assigning re-derives the "
              "gains and keeps the running estimates."),
    OX_GET("timing_error", symsync_get_timing_error,
           "Last timing-detector output, normalised by the on-time power."),
    OX_GET("rate", symsync_get_rate, "Smoothed tracked samples per symbol (starts at sps)."),
    OX_GET("lock_stat", symsync_get_lock_stat,
           "Last block-averaged eye-opening lock signal: about 0.4 for well-timed RRC pulses of "
           "roll-off 0.35, 0.75 for rectangular ones (at good Es/N0), near 0 in noise."),
    OX_GET_BOOL("locked", symsync_get_locked, "Timing-lock decision."),
    OX_END_PROPS,
};

constexpr const char *doc =
    "SymbolSync(sps=4, bn=0.01, zeta=0.707, order=\"cubic\", ted=\"gardner\")\n--\n\n"
    "Symbol-timing synchroniser: one interpolated sample per recovered symbol.\n\n"
    "A 32-bit timing NCO steps once per input sample (nominally sps samples per symbol); its\n"
    "half-way crossing and its wrap mark the mid-symbol and on-time instants, and a four-tap\n"
    "Farrow interpolator (order \"linear\", \"parabolic\" or \"cubic\") forms both strobes. A\n"
    "Gardner or DTTL timing-error detector (ted), normalised by the on-time power, drives a\n"
    "second-order loop (bn, zeta; bn normalised to the symbol rate) that scales the NCO rate.\n"
    "An eye-opening lock detector averages over blocks of symbols (sized by configure_lock).\n"
    "Feed matched-filtered samples. Telemetry probes: prefix + \".e\", \".freq\" (NCO rate\n"
    "offset), \".rate\", \".lock\", \".locked\", once per symbol.";

}  // namespace symsync_py

// ---------------------------------------------------------------------------------------------
// CarrierMpsk
// ---------------------------------------------------------------------------------------------
namespace carrier_mpsk_py {

carrier_mpsk *create(PyObject *args, PyObject *kw) {
    static const char *const names[] = {"bn",     "zeta", "init_norm_freq", "tsamps",
                                        "bn_fll", "m",    nullptr};
    double bn = 0.05, zeta = 0.707, init_norm_freq = 0.0, bn_fll = 0.0;
    unsigned long long tsamps = 64;
    int m = 4;
    if (!ox::py::parse(args, kw, "|dddO&di:CarrierMpsk", names, &bn, &zeta, &init_norm_freq,
                       ox::py::u64_arg, &tsamps, &bn_fll, &m) ||
        !ox::py::finite_args(
            {{"bn", bn}, {"zeta", zeta}, {"init_norm_freq", init_norm_freq}, {"bn_fll", bn_fll}}))
        return nullptr;
    if (!ox::py::require_loop(bn, zeta) || !ox::py::require(tsamps >= 1, "tsamps", ">= 1", tsamps) ||
        !ox::py::require(bn_fll >= 0, "bn_fll", ">= 0", bn_fll) || !ox::py::require_psk_order(m))
        return nullptr;
    return ox::py::created(carrier_mpsk_create(tsamps, m, bn, zeta, init_norm_freq, bn_fll),
                           PyExc_MemoryError, "carrier_mpsk_create returned NULL");
}

constexpr const char *kw_configure[] = {"bn", "zeta", nullptr};

PyMethodDef methods[] = {
    OX_BLOCK("steps", carrier_mpsk_steps, carrier_mpsk_steps_max_out,
             "steps(x, out=None)\n--\n\nTrack the carrier of complex64 samples x; return one "
             "de-rotated prompt (complex64, the dump's mean) per tsamps input samples. A partial "
             "dump is carried into the next call."),
    OX_MAX_OUT("steps_max_out", carrier_mpsk_steps_max_out),
    OX_CONFIG("configure", carrier_mpsk_configure, kw_configure,
            "configure(bn, zeta)\n--\n\nRe-derive the loop gains (bn normalised to the dump "
            "rate); the frequency estimate and oscillator are kept."),
    OX_STATE(carrier_mpsk),
    OX_LIFECYCLE(carrier_mpsk_destroy),
    OX_END_METHODS,
};

PyGetSetDef props[] = {
    OX_GETSET("bn", carrier_mpsk_get_bn, carrier_mpsk_set_bn,
              "Loop noise bandwidth, normalised to the dump rate; assigning re-derives the gains."),
    OX_GETSET("norm_freq", carrier_mpsk_get_norm_freq, carrier_mpsk_set_norm_freq,
              "Tracked carrier frequency, cycles per sample. Assigning re-seeds the loop at that "
              "frequency (and makes it the frequency reset() returns to)."),
    OX_GET("lock_metric", carrier_mpsk_get_lock_metric,
           "Lock metric: EMA of Re(P conj(a)) / |P| over prompts P and their decisions a; about "
           "the cosine of the residual phase error (can be negative)."),
    OX_GET("last_error", carrier_mpsk_get_last_error,
           "Last discriminator output (sine of the prompt's phase error against its decision)."),
    OX_GET("m", carrier_mpsk_get_m, "Constellation order: 2, 4 or 8."),
    OX_GETSET("bn_fll", carrier_mpsk_get_bn_fll, carrier_mpsk_set_bn_fll,
              "FLL-assist bandwidth (0 disables the frequency-locked-loop term)."),
    OX_END_PROPS,
};

constexpr const char *doc =
    "CarrierMpsk(bn=0.05, zeta=0.707, init_norm_freq=0.0, tsamps=64, bn_fll=0.0, m=4)\n--\n\n"
    "Decision-directed M-PSK carrier loop (m = 2, 4 or 8) with integrate-and-dump.\n\n"
    "Like Costas, but each prompt is sliced to the nearest of m constellation points (QPSK at\n"
    "45, 135, 225, 315 degrees) and its phase is measured against that decision. It tracks a\n"
    "small residual carrier and settles on one of m phases (the ambiguity is the caller's).\n"
    "No lock detector and no telemetry.";

}  // namespace carrier_mpsk_py

// ---------------------------------------------------------------------------------------------
// CarrierNda
// ---------------------------------------------------------------------------------------------
namespace carrier_nda_py {

static_assert(BOXCAR_MAX_LEN == 64, "the sps message below states the arm length limit");

carrier_nda *create(PyObject *args, PyObject *kw) {
    static const char *const names[] = {"bn", "zeta", "init_norm_freq", "sps", "n", "m", nullptr};
    double bn = 0.01, zeta = 0.707, init_norm_freq = 0.0;
    unsigned long long sps = 8;
    int n = 4, m = 4;
    if (!ox::py::parse(args, kw, "|dddO&ii:CarrierNda", names, &bn, &zeta, &init_norm_freq, ox::py::u64_arg, &sps,
                       &n, &m) ||
        !ox::py::finite_args({{"bn", bn}, {"zeta", zeta}, {"init_norm_freq", init_norm_freq}}))
        return nullptr;
    if (!ox::py::require_loop(bn, zeta) || !ox::py::require(n >= 1, "n", ">= 1", n) ||
        !ox::py::require(sps >= 1 && sps % static_cast<unsigned>(n) == 0 && sps / static_cast<unsigned>(n) <= BOXCAR_MAX_LEN,
                         "sps", "a positive multiple of n with sps/n <= 64", sps) ||
        !ox::py::require_psk_order(m))
        return nullptr;
    return ox::py::created(carrier_nda_create(sps, n, m, bn, zeta, init_norm_freq),
                           PyExc_MemoryError, "carrier_nda_create returned NULL");
}

// The Python argument order puts the thresholds first.
void configure_lock(carrier_nda *p, double up_thresh, double down_thresh, uint32_t n_up,
                    uint32_t n_down) {
    carrier_nda_configure_lock(p, n_up, n_down, up_thresh, down_thresh);
}

constexpr const char *kw_configure_lock[] = {"up_thresh", "down_thresh", "n_up", "n_down", nullptr};

PyMethodDef methods[] = {
    OX_BLOCK("steps", carrier_nda_steps, carrier_nda_steps_max_out,
             "steps(x, out=None)\n--\n\nDe-rotate a block of complex64 samples, tracking the "
             "carrier sample by sample; returns one de-rotated sample per input."),
    OX_MAX_OUT("steps_max_out", carrier_nda_steps_max_out),
    OX_TELEMETRY(carrier_nda_set_telemetry),
    OX_CONFIG("configure_lock", configure_lock, kw_configure_lock,
            "configure_lock(up_thresh, down_thresh, n_up, n_down)\n--\n\nRe-tune the lock "
            "detector: lock is declared after n_up consecutive samples with the lock EMA above "
            "up_thresh and dropped after n_down below down_thresh. The current decision is kept."),
    OX_STATE(carrier_nda),
    OX_LIFECYCLE(carrier_nda_destroy),
    OX_END_METHODS,
};

PyGetSetDef props[] = {
    OX_GETSET("norm_freq", carrier_nda_get_norm_freq, carrier_nda_set_norm_freq,
              "Tracked carrier frequency, cycles per sample (seed + loop integrator). Assigning "
              "re-seeds the loop at that frequency (arm, lock EMA and lock cleared)."),
    OX_GET("lock", carrier_nda_get_lock,
           "Lock EMA: average cosine of M times the arm phase, near 1 when locked."),
    OX_GET_BOOL("locked", carrier_nda_get_locked, "Lock detector decision."),
    OX_GET("last_error", carrier_nda_get_last_error, "Last discriminator output."),
    OX_GETSET("bn", carrier_nda_get_bn, carrier_nda_set_bn,
              "Loop noise bandwidth, cycles per sample. Assigning re-derives the gains and keeps "
              "the frequency estimate and lock state."),
    OX_GET("m", carrier_nda_get_m, "Modulation order the discriminator removes (2, 4 or 8)."),
    OX_GET("n", carrier_nda_get_n, "Arm sections per symbol."),
    OX_GET("sps", carrier_nda_get_sps, "Samples per symbol."),
    OX_END_PROPS,
};

constexpr const char *doc =
    "CarrierNda(bn=0.01, zeta=0.707, init_norm_freq=0.0, sps=8, n=4, m=4)\n--\n\n"
    "Non-data-aided M-th-power carrier loop running at the sample rate.\n\n"
    "Each sample is de-rotated by the loop's NCO and slides a moving-average arm of sps/n\n"
    "samples; the arm output raised to the m-th power gives a phase error and a lock signal\n"
    "every sample, and a second-order loop (bandwidth bn, damping zeta, normalised to the\n"
    "sample rate) corrects the NCO frequency. Needs no symbol timing or decisions and settles\n"
    "on one of m phases. sps must be a multiple of n with sps/n <= 64; m is 2, 4 or 8.\n"
    "steps() returns the de-rotated samples, one per input.";

}  // namespace carrier_nda_py

// ---------------------------------------------------------------------------------------------
// String options shared by the timing types.
// ---------------------------------------------------------------------------------------------
namespace options {

// Maps `value` to its index in `choices`; otherwise raises ValueError with `message` formatted
// with the value given.
bool pick(const char *value, std::initializer_list<const char *> choices, const char *message, int *out) {
    int i = 0;
    for (const char *c : choices) {
        if (std::strcmp(value, c) == 0) {
            *out = i;
            return true;
        }
        ++i;
    }
    PyErr_Format(PyExc_ValueError, message, value);
    return false;
}

bool pulse(const char *value, int *out) {
    return pick(value, {"iandd", "rrc"}, "pulse must be one of \"iandd\", \"rrc\", got '%s'", out);
}

bool ted(const char *value, int *out) {
    return pick(value, {"gardner", "dttl"}, "ted must be one of \"gardner\", \"dttl\", got '%s'", out);
}

}  // namespace options

// ---------------------------------------------------------------------------------------------
// RateSync
// ---------------------------------------------------------------------------------------------
namespace ratesync_py {

ratesync *create(PyObject *args, PyObject *kw) {
    static const char *const names[] = {"sps", "pulse", "beta", "span", "m", "num_phases",
                                        "bn",  "zeta",  "ted",  nullptr};
    double sps = 4.0, beta = 0.35, bn = 0.01, zeta = 0.707;
    const char *pulse = "rrc", *ted = "gardner";
    unsigned long long span = 8, m = 2, num_phases = 1024;
    if (!ox::py::parse(args, kw, "|dsdO&O&O&dds:RateSync", names, &sps, &pulse, &beta,
                       ox::py::u64_arg, &span, ox::py::u64_arg, &m, ox::py::u64_arg, &num_phases,
                       &bn, &zeta, &ted) ||
        !ox::py::finite_args({{"sps", sps}, {"beta", beta}, {"bn", bn}, {"zeta", zeta}}) ||
        !ox::py::size_fits("num_phases*span*m", ox::py::product(ox::py::product(num_phases, span), m),
                           2 * sizeof(float)))
        return nullptr;
    int pulse_code, ted_code;
    if (!options::pulse(pulse, &pulse_code) || !options::ted(ted, &ted_code)) return nullptr;
    return ox::py::created(
        ratesync_create(pulse_code, span, m, num_phases, ted_code, sps, beta, bn, zeta), PyExc_ValueError,
        "RateSync: invalid parameter (need sps >= m, 0 <= beta <= 1, span >= 1, m even in [2, 8], "
        "num_phases a power of two >= 2, bn >= 0, zeta > 0)");
}

// Python takes the block length and thresholds first, the core the counts first.
void configure_lock_raw(ratesync *p, uint64_t avgs, double up_thresh, double down_thresh,
                        uint32_t n_up, uint32_t n_down) {
    ratesync_configure_lock_raw(p, avgs, static_cast<int>(n_up), static_cast<int>(n_down), up_thresh,
                                down_thresh);
}

constexpr const char *kw_configure[] = {"bn", "zeta", nullptr};
constexpr const char *kw_configure_lock_raw[] = {"avgs", "up_thresh", "down_thresh", "n_up",
                                                 "n_down", nullptr};

PyMethodDef methods[] = {
    OX_BLOCK("steps", ratesync_steps, ratesync_steps_max_out,
             "steps(x, out=None)\n--\n\nRecover symbols from complex64 samples x at sps samples per "
             "symbol; returns one complex64 on-time sample of the matched-filter output per "
             "recovered symbol (at most one per input sample). Filter transients and the first "
             "strobe after construction or reset() produce nothing."),
    OX_MAX_OUT("steps_max_out", ratesync_steps_max_out),
    OX_TELEMETRY(ratesync_set_telemetry),
    OX_CONFIG("configure", ratesync_configure, kw_configure,
            "configure(bn, zeta)\n--\n\nRe-derive the timing-loop gains (bn per symbol); the rate "
            "estimate, timing phase and lock state are kept. bn < 0 or zeta <= 0 is ignored."),
    OX_CONFIG("configure_lock_raw", configure_lock_raw, kw_configure_lock_raw,
            "configure_lock_raw(avgs, up_thresh, down_thresh, n_up, n_down)\n--\n\nSet the timing "
            "lock detector directly: the lock statistic is averaged over blocks of avgs symbols; "
            "lock is declared after n_up consecutive block averages above up_thresh and dropped "
            "after n_down below down_thresh. Restarts the averaging and drops the lock."),
    OX_STATE(ratesync),
    OX_LIFECYCLE(ratesync_destroy),
    OX_END_METHODS,
};

PyGetSetDef props[] = {
    OX_GETSET("bn", ratesync_get_bn, ratesync_set_bn,
              "Timing-loop noise bandwidth, normalised to the symbol rate; assigning re-derives the "
              "gains (negative values are ignored)."),
    OX_GET("timing_error", ratesync_get_timing_error,
           "Last detector output, normalised to unit slope against the timing offset in symbols "
           "(for a unit-amplitude constellation)."),
    OX_GET("rate", ratesync_get_rate,
           "Tracked input samples per symbol (sps corrected by the loop), within 0.5 to 1.5 sps."),
    OX_GET("ctrl", ratesync_get_ctrl,
           "Rate correction handed to the terminal resampler with every input sample (output "
           "samples per input sample)."),
    OX_GET("lock_stat", ratesync_get_lock_stat,
           "Last block-averaged eye-opening statistic 2(|on-time|^2 - |mid|^2)/(|mid|^2 + "
           "|on-time|^2): near 1 for a wide-open eye, 0 for noise or wrong timing."),
    OX_GET_BOOL("locked", ratesync_get_locked, "Timing lock decision."),
    OX_GET_BOOL("clipped", ratesync_get_clipped,
                "True once a CIC stage of the converter has overflowed (input too large)."),
    OX_END_PROPS,
};

constexpr const char *doc =
    "RateSync(sps=4.0, pulse=\"rrc\", beta=0.35, span=8, m=2, num_phases=1024, bn=0.01, "
    "zeta=0.707, ted=\"gardner\")\n--\n\n"
    "Symbol timing recovery at any real oversampling sps (17.33 is as valid as 8).\n\n"
    "A matched rate converter brings the stream to m samples per symbol (m even, 2..8, at most\n"
    "sps) through decimating stages and a polyphase terminal stage whose bank is the matched\n"
    "filter for the pulse (\"iandd\": integrate-and-dump over one symbol; \"rrc\": root raised\n"
    "cosine of roll-off beta spanning +-span symbols) in num_phases fractional delays. Every\n"
    "m-th output is an on-time strobe, the output m/2 earlier the mid-symbol sample; a Gardner\n"
    "or DTTL detector (normalised by the slope of its modelled S-curve, so bn means the same for\n"
    "every pulse) drives a PI loop (bn per symbol, zeta) that steers the terminal stage's rate.\n"
    "The detector is not power-normalised: feed a constellation of about unit amplitude (the\n"
    "loop gain grows with the power). The tracked period is held within 0.5..1.5 sps, and\n"
    "detector outputs no signal gives (a NaN, an infinity, a spike through the filter) are\n"
    "not fed to the loop, so symbols keep coming whatever the input.\n"
    "A narrow bn (0.002-0.01) rides out noise and clock wander; a wide one pulls in faster.\n"
    "Timing lock: eye-opening statistic averaged over 133 symbols, locked above 0.311.\n"
    "Telemetry probes (per symbol): prefix + \".e\", \".ctrl\", \".rate\", \".lock\", \".locked\",\n"
    "\".mu\" (the fractional phase of the terminal stage).";

}  // namespace ratesync_py

// ---------------------------------------------------------------------------------------------
// M-PSK receivers: one core, three types (complex input in normalised units, BPSK in hertz,
// real input).
// ---------------------------------------------------------------------------------------------
namespace receiver_py {

constexpr const char *kInvalid =
    "MpskReceiver: invalid parameter (need m in {2,4,8}, sps >= m_out -- sps > 2*m_out on the "
    "real-input MpskReceiverR, whose cascade runs behind a 2:1 halfband, m_out even in [2, 8], "
    "0 <= rrc_beta <= 1, rrc_span >= 1, num_phases a power of two >= 2, bn >= 0, zeta > 0, "
    "0 < bn_agc_ratio < 1)";

int bits_per_symbol(const mpsk_receiver *r) {
    const int m = mpsk_receiver_get_m(r);
    return m == 8 ? 3 : (m == 4 ? 2 : 1);
}

// Room for every bit a block can yield without `out` (at most one symbol per input sample, so
// that no bit is dropped for want of room: an 8-PSK receiver at 2 samples per symbol yields 1.5
// bits per input sample). A given `out` follows the block rule (at least len(x) elements; bits
// beyond its length are dropped).
size_t bits_capacity(const mpsk_receiver *r, size_t n_in) {
    return n_in * static_cast<size_t>(bits_per_symbol(r));
}

#define OX_RECEIVER_METHODS(steps_fn, bits_fn, input)                                             \
    OX_TELEMETRY(mpsk_receiver_set_telemetry),                                                    \
        OX_BLOCK("steps", steps_fn, steps_fn##_max_out,                                           \
                 "steps(x, out=None)\n--\n\nDemodulate " input " samples x; returns the recovered " \
                 "symbols (complex64), at most one per input sample. QPSK symbols sit at 45, 135, " \
                 "225 and 315 degrees, BPSK and 8-PSK from 0 degrees, up to the carrier loop's "   \
                 "m-fold phase ambiguity."),                                                       \
        OX_MAX_OUT("steps_max_out", steps_fn##_max_out),                                          \
        {"bits",                                                                                  \
         OX_FN((ox::py::block<bits_fn, bits_fn##_max_out, ox::py::kReleasesGil,                     \
                              ox::py::kBlockKeywords, receiver_py::bits_capacity>)),              \
         OX_KW,                                                                                   \
         "bits(x, out=None)\n--\n\nDemodulate " input " samples x into hard bits (uint8 0/1, "     \
         "log2(m) per symbol, least significant first, Gray-coded; with differential=1 the "       \
         "bits code the phase step from the previous symbol, which removes the carrier's "         \
         "phase ambiguity). Without out the result holds every bit; a given out needs at "         \
         "least len(x) elements and bits beyond it are dropped."},                                \
        OX_MAX_OUT("bits_max_out", bits_fn##_max_out), OX_STATE(mpsk_receiver),                   \
        OX_LIFECYCLE(mpsk_receiver_destroy), OX_END_METHODS

PyGetSetDef props[] = {
    OX_GET("agc_gain_db", mpsk_receiver_get_agc_gain_db,
           "Gain the AGC applies in front of the matched filter, dB (0 without AGC)."),
    OX_GETSET("norm_freq", mpsk_receiver_get_norm_freq, mpsk_receiver_set_norm_freq,
              "Tracked carrier, cycles per input sample (the tuned frequency plus the carrier "
              "loop's estimate). Assigning re-tunes the oscillator there and clears the loop's "
              "estimate; timing and lock state are kept."),
    OX_GET("lock", mpsk_receiver_get_lock,
           "Carrier lock EMA: mean cosine of m times the symbol phase error, near 1 when locked "
           "at high SNR and lower with noise (about 0.6 for QPSK at Es/N0 10 dB)."),
    OX_GET("zeta", mpsk_receiver_get_zeta, "Damping of the carrier and timing loops."),
    OX_GET("num_phases", mpsk_receiver_get_num_phases,
           "Fractional delays of the matched filter's polyphase bank."),
    OX_GET("lock_thresh", mpsk_receiver_get_lock_thresh,
           "Carrier lock is declared after 8 symbols with the lock EMA above this."),
    OX_GET("lock_drop_thresh", mpsk_receiver_get_lock_drop_thresh,
           "Carrier lock is dropped after 32 symbols with the lock EMA below this (0.8 x "
           "lock_thresh)."),
    OX_GET("sync_lock_thresh", mpsk_receiver_get_sync_lock_thresh,
           "Timing lock declare threshold on the block-averaged eye-opening statistic."),
    OX_GET("sync_lock_drop_thresh", mpsk_receiver_get_sync_lock_drop_thresh,
           "Timing lock drop threshold."),
    OX_GET("bn_agc_ratio", mpsk_receiver_get_bn_agc_ratio,
           "AGC bandwidth as a fraction of the slower of bn_carrier and bn_timing."),
    OX_GET("lock_time", mpsk_receiver_get_lock_time,
           "Symbol count at which carrier lock was first declared since construction or reset(); "
           "-1 before."),
    OX_GET("timing_rate", mpsk_receiver_get_timing_rate,
           "Tracked input samples per symbol (sps corrected by the timing loop)."),
    OX_GET("m", mpsk_receiver_get_m, "Constellation order: 2, 4 or 8."),
    OX_GET("sps", mpsk_receiver_get_sps, "Nominal input samples per symbol."),
    OX_GET("m_out", mpsk_receiver_get_m_out, "Samples per symbol at the matched filter's output."),
    OX_GET_BOOL("clipped", mpsk_receiver_get_clipped,
                "True once a CIC stage of the down-converter has overflowed (input too large)."),
    OX_GET_BOOL("locked", mpsk_receiver_get_locked, "Carrier lock decision."),
    OX_END_PROPS,
};

// Constructor keywords shared by MpskReceiver and MpskReceiverR.
template <auto Create>
mpsk_receiver *create_mpsk(PyObject *args, PyObject *kw, double sps, const char *format) {
    static const char *const names[] = {"m",          "sps",        "m_out",          "pulse",
                                        "rrc_beta",   "rrc_span",   "bn_carrier",     "zeta",
                                        "bn_timing",  "lock_thresh", "init_norm_freq", "differential",
                                        "num_phases", "agc",        "bn_agc_ratio",   nullptr};
    int m = 4, rrc_span = 8, differential = 0, agc = 1;
    unsigned long long m_out = 0, num_phases = 0;
    const char *pulse = "iandd";
    double rrc_beta = 0.35, bn_carrier = 0.01, zeta = 0.0, bn_timing = 0.01, lock_thresh = 0.0;
    double init_norm_freq = 0.0, bn_agc_ratio = 0.0;
    if (!ox::py::parse(args, kw, format, names, &m, &sps, ox::py::u64_arg, &m_out, &pulse, &rrc_beta,
                       &rrc_span, &bn_carrier, &zeta, &bn_timing, &lock_thresh, &init_norm_freq,
                       &differential, ox::py::u64_arg, &num_phases, &agc, &bn_agc_ratio) ||
        !ox::py::finite_args({{"sps", sps}, {"rrc_beta", rrc_beta}, {"bn_carrier", bn_carrier},
                              {"zeta", zeta}, {"bn_timing", bn_timing}, {"lock_thresh", lock_thresh},
                              {"init_norm_freq", init_norm_freq}, {"bn_agc_ratio", bn_agc_ratio}}) ||
        !ox::py::size_fits(
            "num_phases*taps",
            ox::py::product(num_phases, 16ull * static_cast<unsigned>(std::max(rrc_span, 1)) + 1),
            sizeof(float)))
        return nullptr;
    int pulse_code;
    if (!options::pulse(pulse, &pulse_code)) return nullptr;
    return ox::py::created(Create(m, m_out, pulse_code, rrc_span, differential, num_phases, sps, rrc_beta,
                                  bn_carrier, zeta, bn_timing, lock_thresh, init_norm_freq, bn_agc_ratio, agc),
                           PyExc_ValueError, kInvalid);
}

#define OX_RECEIVER_SIGNATURE(name, sps)                                                          \
    name "(m=4, sps=" sps ", m_out=0, pulse=\"iandd\", rrc_beta=0.35, rrc_span=8, "               \
         "bn_carrier=0.01, zeta=0.0, bn_timing=0.01, lock_thresh=0.0, init_norm_freq=0.0, "       \
         "differential=0, num_phases=0, agc=1, bn_agc_ratio=0.0)\n--\n\n"

#define OX_RECEIVER_GUIDE                                                                          \
    "How the settings interact:\n"                                                                 \
    "- sps is the input samples per symbol, any real value. The matched filter runs at m_out\n"   \
    "  samples per symbol (0 = automatic: 8 when sps allows, else the largest even value that\n"  \
    "  fits); decimating stages in front bring sps down to m_out, so large sps costs little.\n"    \
    "- pulse: \"iandd\" (integrate-and-dump, rectangular symbols) or \"rrc\" (root raised\n"      \
    "  cosine, roll-off rrc_beta, +-rrc_span symbols). Use the transmitter's pulse: a mismatch\n" \
    "  costs SNR and biases the timing detector. The carrier loop sees the matched filter's\n"     \
    "  delay of about rrc_span symbols and pulls in only while m x |offset per symbol| x\n"        \
    "  rrc_span stays below about a quarter cycle: for large offsets shorten the span (4 is\n"    \
    "  plenty for roll-offs >= 0.25) or give the expected offset in init_norm_freq.\n"           \
    "- bn_carrier and bn_timing are loop noise bandwidths normalised to the symbol rate. Wider\n" \
    "  loops acquire faster (the pull-in time grows as the square of the offset over the cube\n" \
    "  of the bandwidth) and follow more drift; narrower loops jitter less and hold lock at\n"    \
    "  lower SNR. At Es/N0 10 dB a QPSK offset of 5e-3 cycles per symbol takes about 1000\n"      \
    "  symbols to pull in with 0.01 and about 200 with 0.02 (rrc_span 4), which costs about\n"   \
    "  0.2 dB of BER. zeta damps both loops.\n"                                                   \
    "- The AGC (agc=1) holds the matched filter's input at the level the timing detector\n"       \
    "  expects; its bandwidth is bn_agc_ratio (default 0.05) times the slower loop, so it never\n" \
    "  fights them. With agc=0 scale the input so that the symbols have about unit amplitude.\n"   \
    "  While the input is silent (exact zeros) the AGC's gain keeps climbing (about 20 dB after\n" \
    "  250 symbols at the default bandwidths), and a burst arriving that much too strong can\n"  \
    "  throw the timing loop out of range for good: reset() before a burst that follows a gap.\n" \
    "- Carrier lock: the lock EMA (cosine of m times the phase error, averaged over ~20 symbols)\n" \
    "  above lock_thresh (default 0.4999) for 8 symbols declares lock; below 0.8 x lock_thresh\n" \
    "  for 32 symbols drops it. Its level falls with SNR (at Es/N0 10 dB about 0.9 for BPSK,\n"  \
    "  0.66 for QPSK, 0.21 for 8-PSK): for 8-PSK below about 15 dB lower lock_thresh.\n"         \
    "  lock_time records the first lock.\n"                                                        \
    "- The carrier loop settles on one of m phases: use differential=1 (and a differentially\n"   \
    "  encoded transmitter) or a known preamble to resolve it.\n"                                  \
    "Telemetry (per symbol): prefix + \".lock\", \".car.e\", \".car.freq\", \".car.nco\",\n"        \
    "\".car.locked\", \".sym.i\", \".sym.q\", the timing loop's under prefix + \".sync\", and the\n" \
    "AGC's \".agc.gain_db\", \".agc.level_db\" (per AGC update)."

}  // namespace receiver_py

namespace mpsk_receiver_py {

mpsk_receiver *create(PyObject *args, PyObject *kw) {
    return receiver_py::create_mpsk<mpsk_receiver_create>(args, kw, 8.0,
                                                          "|idO&sdidddddiO&id:MpskReceiver");
}

PyMethodDef methods[] = {OX_RECEIVER_METHODS(mpsk_receiver_steps, mpsk_receiver_bits, "complex64")};

constexpr const char *doc =
    OX_RECEIVER_SIGNATURE("MpskReceiver", "8.0")
    "M-PSK demodulator (m = 2, 4 or 8) from complex64 samples to symbols and bits.\n\n"
    "The input is mixed down by an oscillator at -init_norm_freq (cycles per sample, the\n"
    "carrier's expected offset), decimated and matched-filtered by a polyphase bank whose\n"
    "fractional delay is the symbol timing. A Gardner timing loop steers that delay, an M-th\n"
    "power carrier loop at the symbol rate steers the oscillator, and each recovered symbol is\n"
    "returned (steps) or demapped to Gray-coded bits (bits).\n\n" OX_RECEIVER_GUIDE;

}  // namespace mpsk_receiver_py

namespace mpsk_receiver_r_py {

mpsk_receiver *create(PyObject *args, PyObject *kw) {
    return receiver_py::create_mpsk<mpsk_receiver_create_real>(args, kw, 32.0,
                                                               "|idO&sdidddddiO&id:MpskReceiverR");
}

PyMethodDef methods[] = {
    OX_RECEIVER_METHODS(mpsk_receiver_steps_real, mpsk_receiver_bits_real, "float32 (real)")};

constexpr const char *doc =
    OX_RECEIVER_SIGNATURE("MpskReceiverR", "32.0")
    "M-PSK demodulator for real (IF) float32 samples.\n\n"
    "A 2:1 real-to-complex halfband turns the real band into a complex one at half the rate,\n"
    "then the chain of MpskReceiver follows. init_norm_freq and norm_freq are the carrier in\n"
    "cycles per input sample, between 0 and 0.5 (an IF at a quarter of the sample rate is\n"
    "0.25); the default 0.0 tunes to DC, so give the IF. The signal's band must lie inside\n"
    "(0, 0.5) cycles per sample.\n"
    "m_out must satisfy sps > 2 m_out (automatic: 8 once sps > 16).\n\n" OX_RECEIVER_GUIDE;

}  // namespace mpsk_receiver_r_py

namespace bpsk_receiver_py {

mpsk_receiver *create(PyObject *args, PyObject *kw) {
    static const char *const names[] = {"sample_rate_hz", "symbol_rate_hz", "carrier_freq_hz",
                                        "pulse",          "rrc_beta",       "rrc_span",
                                        "bn_carrier",     "bn_timing",      "differential",
                                        "agc",            nullptr};
    double fs = 0.0, rs = 0.0, fc = 0.0, rrc_beta = 0.35, bn_carrier = 0.01, bn_timing = 0.01;
    const char *pulse = "iandd";
    int rrc_span = 8, differential = 0, agc = 1;
    if (!ox::py::parse(args, kw, "dd|dsdiddii:BpskReceiver", names, &fs, &rs, &fc, &pulse, &rrc_beta,
                       &rrc_span, &bn_carrier, &bn_timing, &differential, &agc) ||
        !ox::py::finite_args({{"sample_rate_hz", fs}, {"symbol_rate_hz", rs}, {"carrier_freq_hz", fc},
                              {"rrc_beta", rrc_beta}, {"bn_carrier", bn_carrier}, {"bn_timing", bn_timing}}))
        return nullptr;
    int pulse_code;
    if (!options::pulse(pulse, &pulse_code)) return nullptr;
    return ox::py::created(mpsk_receiver_create_bpsk(pulse_code, rrc_span, differential, agc, fs, rs, fc,
                                                     rrc_beta, bn_carrier, bn_timing),
                           PyExc_ValueError, receiver_py::kInvalid);
}

PyMethodDef methods[] = {OX_RECEIVER_METHODS(mpsk_receiver_steps, mpsk_receiver_bits, "complex64")};

constexpr const char *doc =
    "BpskReceiver(sample_rate_hz, symbol_rate_hz, carrier_freq_hz=0.0, pulse=\"iandd\", "
    "rrc_beta=0.35, rrc_span=8, bn_carrier=0.01, bn_timing=0.01, differential=0, agc=1)\n--\n\n"
    "BPSK demodulator from complex64 samples, configured in hertz.\n\n"
    "The same receiver as MpskReceiver(m=2) with sps = sample_rate_hz / symbol_rate_hz and the\n"
    "carrier's expected offset carrier_freq_hz (|carrier_freq_hz| < sample_rate_hz / 2);\n"
    "damping, lock threshold, polyphase count and AGC ratio take their defaults.\n\n"
    OX_RECEIVER_GUIDE;

}  // namespace bpsk_receiver_py

// ---------------------------------------------------------------------------------------------
// PskDemodulator: the burst-capable demodulator with defaults that acquire.
// ---------------------------------------------------------------------------------------------
namespace psk_demod_py {

psk_demod *create(PyObject *args, PyObject *kw) {
    static const char *const names[] = {"m",          "sps",        "rrc_beta",   "differential",
                                        "rrc_span",   "acq_symbols", "bn_timing", "bn_carrier",
                                        "squelch_db", "search",     "init_norm_freq", "line_db",
                                        nullptr};
    psk_demod_params p;
    psk_demod_default_params(&p);
    int differential = 0;
    if (!ox::py::parse(args, kw, "|iddp$iidddddd:PskDemodulator", names, &p.m, &p.sps, &p.rrc_beta,
                       &differential, &p.rrc_span, &p.acq_symbols, &p.bn_timing, &p.bn_carrier,
                       &p.squelch_db, &p.search, &p.init_norm_freq, &p.line_db))
        return nullptr;
    p.differential = differential;
    if (const char *bad = psk_demod_invalid(&p)) {
        PyErr_Format(PyExc_ValueError, "PskDemodulator: %s", bad);
        return nullptr;
    }
    return ox::py::created(psk_demod_create(&p), PyExc_MemoryError, "psk_demod_create returned NULL");
}

// Without `out`, room for every bit the block can yield.
size_t bits_capacity(const psk_demod *d, size_t n_in) {
    const int m = psk_demod_get_m(d);
    return n_in * static_cast<size_t>(m == 8 ? 3 : (m == 4 ? 2 : 1));
}

PyMethodDef methods[] = {
    OX_TELEMETRY(psk_demod_set_telemetry),
    OX_BLOCK("steps", psk_demod_steps, psk_demod_steps_max_out,
             "steps(x, out=None)\n--\n\nDemodulate complex64 samples x; returns the symbols (complex64, "
             "unit energy) of the bursts tracked in this block: QPSK at 45, 135, 225 and 315 degrees, "
             "BPSK and 8-PSK from 0 degrees, up to the carrier's m-fold phase ambiguity. The call "
             "that completes a burst's acquisition window also returns the window's symbols, so a "
             "burst's first symbols are not lost."),
    OX_MAX_OUT("steps_max_out", psk_demod_steps_max_out),
    {"bits",
     OX_FN((ox::py::block<psk_demod_bits, psk_demod_bits_max_out, ox::py::kReleasesGil,
                          ox::py::kBlockKeywords, bits_capacity>)),
     OX_KW,
     "bits(x, out=None)\n--\n\nDemodulate complex64 samples x into hard bits (uint8 0/1, log2(m) per "
     "symbol, least significant first, Gray-coded as MpskReceiver's; with differential=True the "
     "bits code the phase step from the previous symbol, the first symbol of each burst "
     "referenced to index 0). Without out the result holds every bit; a given out needs at "
     "least max(len(x), bits_max_out()) elements and bits beyond it are dropped."},
    OX_MAX_OUT("bits_max_out", psk_demod_bits_max_out),
    OX_STATE(psk_demod),
    OX_LIFECYCLE(psk_demod_destroy),
    OX_END_METHODS,
};

PyGetSetDef props[] = {
    OX_GET_BOOL("locked", psk_demod_get_locked, "Carrier lock of the burst being tracked."),
    OX_GET("norm_freq", psk_demod_get_norm_freq,
           "Carrier estimate, cycles per input sample (of the current or last burst)."),
    OX_GET("timing_rate", psk_demod_get_timing_rate, "Samples per symbol estimate."),
    OX_GET("snr_db", psk_demod_get_snr_db,
           "Estimated Es/N0 of the current or last burst, dB (from the decisions; -inf before any)."),
    OX_GET_BOOL("in_burst", psk_demod_get_in_burst, "A burst is being tracked."),
    OX_GET("bursts", psk_demod_get_bursts, "Bursts acquired since construction or reset()."),
    OX_GET("n_sym", psk_demod_get_n_sym, "Symbols output since construction or reset()."),
    OX_GET("burst_start", psk_demod_get_burst_start,
           "Input sample index (since reset) where the current or last burst's window began; -1 "
           "before any."),
    OX_GET("burst_end", psk_demod_get_burst_end,
           "Input sample index (since reset) where the last burst ended; -1 while in a burst or "
           "before any."),
    OX_GET("samples", psk_demod_get_samples, "Input samples consumed since construction or reset()."),
    OX_GET("noise_floor", psk_demod_get_noise_floor,
           "Tracked noise floor, mean power per sample (nan until one is known)."),
    OX_GET("m", psk_demod_get_m, "Constellation order: 2, 4 or 8."),
    OX_GET("sps", psk_demod_get_sps, "Nominal input samples per symbol."),
    OX_END_PROPS,
};

constexpr const char *doc =
    "PskDemodulator(m=4, sps=8.0, rrc_beta=0.35, differential=False, *, rrc_span=3, "
    "acq_symbols=0, bn_timing=0.002, bn_carrier=0.005, squelch_db=6.0, search=0.25, "
    "init_norm_freq=0.0, line_db=0.0)\n--\n\n"
    "Burst-capable M-PSK demodulator (m = 2, 4 or 8, root-raised-cosine pulses of roll-off\n"
    "rrc_beta at sps input samples per symbol, any real sps >= 2) with defaults that acquire.\n\n"
    "It watches the input power against a tracked noise floor. A burst starts when the power\n"
    "rises squelch_db above the floor (a stream that starts with the signal on, or with no\n"
    "floor yet, is tested window by window). The first acq_symbols symbols are buffered and\n"
    "searched: the carrier from the m-th power spectrum of the matched filter's output within\n"
    "+-search x the symbol rate of init_norm_freq (the line must stand line_db above the\n"
    "spectrum's median, else the window is taken for noise), the timing from the squared\n"
    "envelope, the carrier phase from the first symbols. The window is then replayed through\n"
    "the tracking chain in the same call, so the burst's first symbols are returned too.\n"
    "Tracking: oscillator, matched filter (+-rrc_span symbols) and fractional timing in a\n"
    "polyphase bank, a power-normalised Gardner loop (bn_timing, per symbol), and a\n"
    "decision-directed carrier phase loop after the matched filter (bn_carrier) whose\n"
    "frequency is handed back to the oscillator. A burst ends when the power falls to the floor\n"
    "(or far below the burst) and its symbols are gone for 12 symbols; a burst that stays\n"
    "unlocked for 2000 symbols is re-acquired.\n"
    "Non-finite samples count as zeros; samples far above the burst's power are clipped.\n\n"
    "Symbols come only while a burst is tracked. Read-outs: locked, norm_freq, timing_rate,\n"
    "snr_db, in_burst, bursts, n_sym, burst_start, burst_end, samples, noise_floor.\n"
    "Telemetry (per symbol): prefix + \".lock\", \".freq\", \".rate\", \".e\", \".sym.i\", \".sym.q\".";

}  // namespace psk_demod_py

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "track",
    "Carrier and timing tracking: loop filter, carrier loops, symbol, rate and code trackers, "
    "M-PSK receivers.",
    -1, nullptr, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_track(void) {
    return ox::py::init_module(
        &module_def, {
                         OX_TYPE("track.LoopFilter", loop_filter_py::doc, loop_filter_py::create,
                                 loop_filter_destroy, loop_filter_py::methods, loop_filter_py::props),
                         OX_TYPE("track.Costas", costas_py::doc, costas_py::create, costas_destroy,
                                 costas_py::methods, costas_py::props),
                         OX_TYPE("track.Dll", dll_py::doc, dll_py::create, dll_destroy,
                                 dll_py::methods, dll_py::props),
                         OX_TYPE("track.SymbolSync", symsync_py::doc, symsync_py::create,
                                 symsync_destroy, symsync_py::methods, symsync_py::props),
                         OX_TYPE("track.RateSync", ratesync_py::doc, ratesync_py::create,
                                 ratesync_destroy, ratesync_py::methods, ratesync_py::props),
                         OX_TYPE("track.CarrierMpsk", carrier_mpsk_py::doc, carrier_mpsk_py::create,
                                 carrier_mpsk_destroy, carrier_mpsk_py::methods,
                                 carrier_mpsk_py::props),
                         OX_TYPE("track.CarrierNda", carrier_nda_py::doc, carrier_nda_py::create,
                                 carrier_nda_destroy, carrier_nda_py::methods, carrier_nda_py::props),
                         OX_TYPE("track.MpskReceiver", mpsk_receiver_py::doc, mpsk_receiver_py::create,
                                 mpsk_receiver_destroy, mpsk_receiver_py::methods, receiver_py::props),
                         OX_TYPE("track.BpskReceiver", bpsk_receiver_py::doc, bpsk_receiver_py::create,
                                 mpsk_receiver_destroy, bpsk_receiver_py::methods, receiver_py::props),
                         OX_TYPE("track.MpskReceiverR", mpsk_receiver_r_py::doc, mpsk_receiver_r_py::create,
                                 mpsk_receiver_destroy, mpsk_receiver_r_py::methods, receiver_py::props),
                         OX_TYPE("track.PskDemodulator", psk_demod_py::doc, psk_demod_py::create,
                                 psk_demod_destroy, psk_demod_py::methods, psk_demod_py::props),
                     });
}
