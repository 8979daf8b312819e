// Second-order proportional-integral loop filter shared by every tracking loop.
#pragma once

#include "common/ox_common.h"

struct loop_filter {
    double kp;     // proportional gain
    double ki;     // integral gain
    double integ;  // integrator: the running frequency (or rate) estimate
    double bn;     // loop noise bandwidth as configured, cycles per update
    double zeta;   // damping as configured
    double t;      // update period in samples as configured
};
static_assert(sizeof(loop_filter) == 48);

OX_API double loop_filter_wn(double bn, double zeta);
OX_API void loop_filter_init(loop_filter *lf, double bn, double zeta, double t);
OX_API loop_filter *loop_filter_create(double bn, double zeta, double t);
OX_API void loop_filter_destroy(loop_filter *lf);
OX_API void loop_filter_configure(loop_filter *lf, double bn, double zeta, double t);
OX_API void loop_filter_reset(loop_filter *lf);
OX_API size_t loop_filter_state_bytes(const loop_filter *lf);
OX_API void loop_filter_get_state(const loop_filter *lf, void *buf);
OX_API int loop_filter_set_state(loop_filter *lf, const void *buf);
OX_API void loop_filter_steps(loop_filter *lf, const double *x, double *y, size_t n);

namespace ox {
// One update with error x: the integrator moves first, the control uses the updated integrator.
inline double loop_filter_update(loop_filter *lf, double x) {
    lf->integ = lf->ki * x + lf->integ;
    return lf->kp * x + lf->integ;
}
}  // namespace ox
