#include "timing/symsync_core.h"

#include <cmath>

namespace {

constexpr double kPi = 3.141592653589793;

// Triangle pulse max(0, 1 - |t|).
double triangle(double t) {
    const double a = 1.0 - std::fabs(t);
    return a > 0.0 ? a : 0.0;
}

// Raised-cosine pulse with its two removable singularities taken by their limits: 1 at t = 0,
// and (beta/2) sin(pi / (2 beta)) where 1 - 4 beta^2 t^2 vanishes.
double raised_cosine(double t, double beta) {
    if (std::fabs(t) < 1e-9) return 1.0;
    if (beta > 0.0 && std::fabs(std::fabs(t) - 1.0 / (2.0 * beta)) < 1e-9) {
        return (beta / 2.0) * std::sin(kPi / (2.0 * beta));
    }
    const double x = kPi * t;
    return (std::sin(x) / x) * std::cos(kPi * beta * t) / (1.0 - 4.0 * beta * beta * t * t);
}

double pulse_at(int pulse, double beta, double t) {
    return pulse == 0 ? triangle(t) : raised_cosine(t, beta);
}

}  // namespace

OX_API double symsync_s_curve(int ted, int pulse, int64_t span, double beta, double tau) {
    if (ted == 1) return pulse_at(pulse, beta, tau - 0.5) - pulse_at(pulse, beta, tau + 0.5);
    double s = 0.0;
    if (span < -2) return s;
    // Bounded so that an absurd span cannot overflow the loop counter.
    const int64_t reach = span > (INT64_MAX - 4) ? INT64_MAX - 4 : span + 2;
    for (int64_t i = -reach; i <= reach; ++i) {
        const double d = static_cast<double>(i);
        s += (pulse_at(pulse, beta, tau - d) - pulse_at(pulse, beta, tau - d - 1.0)) *
             pulse_at(pulse, beta, tau - d - 0.5);
    }
    return s;
}

OX_API double symsync_ted_slope(int ted, int pulse, int64_t span, double beta) {
    return std::fabs(symsync_s_curve(ted, pulse, span, beta, 1e-4) -
                     symsync_s_curve(ted, pulse, span, beta, -1e-4)) *
           5000.0;
}
