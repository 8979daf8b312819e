// Module ostrel.track: carrier and timing tracking loops.
#define OX_MODULE_RELEASES_GIL 1
#include "frame.h"

#include "loops/loop_filter_core.h"

namespace {

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
    OX_CALL("configure", loop_filter_configure, kw_configure,
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
                     });
}
