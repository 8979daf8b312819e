#include "loops/loop_filter_core.h"

#include <cfloat>
#include <cmath>
#include <cstdlib>

namespace {
constexpr ox::BlobKind kLoopFilterBlob{"LPFL", 1};
constexpr uint32_t kLoopFilterStateBytes = 16 + sizeof(loop_filter);

bool finite_abs(double v) { return std::fabs(v) <= DBL_MAX; }
}  // namespace

double loop_filter_wn(double bn, double zeta) { return (bn * 8 * zeta) / (zeta * zeta * 4 + 1); }

void loop_filter_init(loop_filter *lf, double bn, double zeta, double t) {
    const double theta = loop_filter_wn(bn, zeta) * t;
    const double d = (zeta * theta + 1) * 4 + theta * theta;
    lf->kp = (zeta * theta) * 8 / d;
    lf->ki = (theta * theta) * 4 / d;
    lf->bn = bn;
    lf->zeta = zeta;
    lf->t = t;
}

loop_filter *loop_filter_create(double bn, double zeta, double t) {
    // NaN fails every comparison and is refused; so are infinities.
    if (!(bn >= 0 && zeta > 0 && t > 0 && finite_abs(bn) && finite_abs(zeta) && finite_abs(t))) {
        return nullptr;
    }
    auto *lf = static_cast<loop_filter *>(std::calloc(1, sizeof(loop_filter)));
    if (lf) loop_filter_init(lf, bn, zeta, t);
    return lf;
}

void loop_filter_destroy(loop_filter *lf) { std::free(lf); }
void loop_filter_configure(loop_filter *lf, double bn, double zeta, double t) {
    loop_filter_init(lf, bn, zeta, t);
}
void loop_filter_reset(loop_filter *lf) { lf->integ = 0.0; }
size_t loop_filter_state_bytes(const loop_filter *) { return kLoopFilterStateBytes; }

void loop_filter_get_state(const loop_filter *lf, void *buf) {
    ox::blob_get_image(buf, kLoopFilterBlob, kLoopFilterStateBytes, lf, sizeof(loop_filter));
}

int loop_filter_set_state(loop_filter *lf, const void *buf) {
    return ox::blob_set_image(buf, kLoopFilterBlob, kLoopFilterStateBytes, lf, sizeof(loop_filter));
}

void loop_filter_steps(loop_filter *lf, const double *x, double *y, size_t n) {
    for (size_t i = 0; i < n; ++i) y[i] = ox::loop_filter_update(lf, x[i]);
}
