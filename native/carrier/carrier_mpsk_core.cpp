#include "carrier/carrier_mpsk_core.h"

#include <cmath>
#include <cstdlib>

#include "carrier/carrier_accum.h"
#include "carrier/mpsk_slicer.h"

namespace {

constexpr ox::BlobKind kMpskBlob{"CMPK", 1};
constexpr uint32_t kMpskStateBytes = 192;
static_assert(kMpskStateBytes == 16 + sizeof(carrier_mpsk));

constexpr double kInvTwoPi = 1.0 / ox::kTwoPi;

inline bool valid_m(int m) { return m == 2 || m == 4 || m == 8; }

// Sine and cosine (double, narrowed to float) of each decision angle idx * 2*pi / M + offset.
// There are only M angles per order, so they are evaluated once at load time with exactly the
// per-dump expression instead of calling sin and cos on every dump.
struct DecisionTable {
    float s[8];
    float c[8];
};

template <int M>
DecisionTable make_decision_table() {
    constexpr double off = M == 4 ? ox::kMpskQuarterPi : 0.0;
    DecisionTable t{};
    for (int64_t idx = 0; idx < M; ++idx) {
        const double alpha = static_cast<double>(idx) * ox::kTwoPi / M + off;
        t.s[idx] = static_cast<float>(std::sin(alpha));
        t.c[idx] = static_cast<float>(std::cos(alpha));
    }
    return t;
}

template <int M>
const DecisionTable kDecisions = make_decision_table<M>();

void reseed(carrier_mpsk *p) {
    loop_filter_reset(&p->lf);
    lo_init(&p->osc, p->init_norm_freq);
    p->acc = {0.0f, 0.0f};
    p->n_acc = 0;
    p->prev = {0.0f, 0.0f};
    p->prev_mag = 0.0;
    p->have_prev = 0;
    p->lock_metric = 0.0;
    p->last_error = 0.0;
    p->lf.integ = p->init_norm_freq * ox::kTwoPi * static_cast<double>(p->tsamps);
}

// One dump of prompt P = (pr, pi) for constellation order M: slice to the nearest point, rotate
// the prompt back by the decision, discriminate, FLL assist, loop filter, oscillator retune,
// proportional phase step and lock metric.
template <int M>
inline void dump(carrier_mpsk *p, lo &osc, float pr, float pi, const ox::DumpRetune &retune) {
    const uint32_t idx = ox::mpsk_nearest_index<M>(pr, pi);
    const float s = kDecisions<M>.s[idx];  // sin, cos of idx * 2*pi / M + off
    const float c = kDecisions<M>.c[idx];

    const float cr = pr * c + pi * s;
    const float ci = pi * c - pr * s;
    const float mag = ox::dump_magnitude(pr, pi);
    const double e = static_cast<double>(ci) / static_cast<double>(mag);
    p->last_error = e;

    // The decision-rotated prompt is data-free, so the FLL cross product needs no sign fix.
    double fll = p->lf.integ;
    if (p->fll_gain > 0.0 && p->have_prev) {
        fll = p->lf.integ + p->fll_gain * (ci * p->prev.re - p->prev.im * cr) / (p->prev_mag * mag);
    }
    p->prev = {cr, ci};
    p->have_prev = 1;
    p->prev_mag = static_cast<double>(mag);

    // Phase step quantised before the retune (independent paths; the retune keeps the phase).
    const uint32_t step = ox::freq_to_phase_inc(kInvTwoPi * p->lf.kp * e);
    p->lf.integ = fll;
    (void)ox::loop_filter_update(&p->lf, e);  // integ = ki * e + fll
    retune(osc, p->lf.integ);
    osc.phase += step;

    p->lock_metric = (static_cast<double>(cr / mag) - p->lock_metric) * CARRIER_MPSK_LOCK_ALPHA +
                     p->lock_metric;
}

template <int M>
size_t run(carrier_mpsk *p, const ox_cf32 *x, size_t n, ox_cf32 *out, size_t cap) {
    const ox::DumpRetune retune(p->tsamps);
    return ox::integrate_and_dump(p, x, n, out, cap,
                                  [p, &retune](lo &osc, float pr, float pi) { dump<M>(p, osc, pr, pi, retune); });
}

}  // namespace

int carrier_mpsk_init(carrier_mpsk *p, uint64_t tsamps, int m, double bn, double zeta,
                      double init_norm_freq, double bn_fll) {
    if (!valid_m(m)) return OX_EINVAL;
    p->tsamps = tsamps ? tsamps : 1;
    p->m = m;
    p->init_norm_freq = init_norm_freq;
    p->bn = bn;
    p->zeta = zeta;
    p->bn_fll = bn_fll;
    p->fll_gain = 4.0 * bn_fll;
    p->pad0 = 0;
    p->pad1 = 0;
    loop_filter_init(&p->lf, bn, zeta, 1.0);
    reseed(p);
    return OX_OK;
}

carrier_mpsk *carrier_mpsk_create(uint64_t tsamps, int m, double bn, double zeta,
                                  double init_norm_freq, double bn_fll) {
    if (!valid_m(m)) return nullptr;
    auto *p = static_cast<carrier_mpsk *>(std::calloc(1, sizeof(carrier_mpsk)));
    if (p) carrier_mpsk_init(p, tsamps, m, bn, zeta, init_norm_freq, bn_fll);
    return p;
}

void carrier_mpsk_destroy(carrier_mpsk *p) { std::free(p); }
void carrier_mpsk_reset(carrier_mpsk *p) { reseed(p); }

void carrier_mpsk_configure(carrier_mpsk *p, double bn, double zeta) {
    p->bn = bn;
    p->zeta = zeta;
    loop_filter_configure(&p->lf, bn, zeta, 1.0);
}

double carrier_mpsk_get_bn(const carrier_mpsk *p) { return p->bn; }
void carrier_mpsk_set_bn(carrier_mpsk *p, double bn) { carrier_mpsk_configure(p, bn, p->zeta); }
double carrier_mpsk_get_norm_freq(const carrier_mpsk *p) { return p->osc.norm_freq; }

void carrier_mpsk_set_norm_freq(carrier_mpsk *p, double norm_freq) {
    p->init_norm_freq = norm_freq;
    reseed(p);
}

double carrier_mpsk_get_bn_fll(const carrier_mpsk *p) { return p->bn_fll; }

void carrier_mpsk_set_bn_fll(carrier_mpsk *p, double bn_fll) {
    p->bn_fll = bn_fll;
    p->fll_gain = 4.0 * bn_fll;
}

double carrier_mpsk_get_lock_metric(const carrier_mpsk *p) { return p->lock_metric; }
double carrier_mpsk_get_last_error(const carrier_mpsk *p) { return p->last_error; }
int carrier_mpsk_get_m(const carrier_mpsk *p) { return p->m; }
size_t carrier_mpsk_state_bytes(const carrier_mpsk *) { return kMpskStateBytes; }

void carrier_mpsk_get_state(const carrier_mpsk *p, void *buf) {
    ox::blob_get_image(buf, kMpskBlob, kMpskStateBytes, p, sizeof(carrier_mpsk));
}

int carrier_mpsk_set_state(carrier_mpsk *p, const void *buf) {
    carrier_mpsk tmp;
    if (!ox::blob_peek_image(buf, kMpskBlob, kMpskStateBytes, &tmp)) return OX_EINVAL;
    // m selects the slicer and masks the decision index; tsamps and n_acc size the dump.
    if (!valid_m(tmp.m) || tmp.tsamps == 0 || tmp.n_acc >= tmp.tsamps || tmp.have_prev > 1)
        return OX_EINVAL;
    tmp.pad0 = 0;
    tmp.pad1 = 0;
    *p = tmp;
    return OX_OK;
}

size_t carrier_mpsk_steps(carrier_mpsk *p, const ox_cf32 *x, size_t n, ox_cf32 *out, size_t cap) {
    switch (p->m) {
        case 2: return run<2>(p, x, n, out, cap);
        case 4: return run<4>(p, x, n, out, cap);
        default: return run<8>(p, x, n, out, cap);
    }
}

size_t carrier_mpsk_steps_max_out(const carrier_mpsk *) { return 0; }
