#include "carrier/costas_core.h"

#include <bit>
#include <cmath>
#include <cstdlib>

#include "carrier/carrier_accum.h"
#include "ox_tlm/ox_tlm_core.h"

namespace {

constexpr ox::BlobKind kCostasBlob{"CSTS", 3};
constexpr uint32_t kCostasStateBytes = 232;
constexpr size_t kCostasImageBytes = offsetof(costas, tlm);  // oscillator .. last_error
static_assert(kCostasImageBytes == 192 && kCostasStateBytes == 16 + 192 + 24);

constexpr const char *kProbeSuffixes[COSTAS_N_PROBES] = {".lock", ".e", ".freq", ".locked"};
constexpr double kInvTwoPi = 1.0 / ox::kTwoPi;

// The data sign of BPSK prompts is random, so these selections are written without branches
// (a mispredicted branch per dump costs about a cycle per sample at tsamps 16).

// -v when `negate`, else v: a flip of the sign bit, which is exactly IEEE negation.
inline float negate_if(bool negate, float v) {
    const uint32_t bits = std::bit_cast<uint32_t>(v) ^ (static_cast<uint32_t>(negate) << 31);
    return std::bit_cast<float>(bits);
}

// -1 for v < 0, +1 otherwise (also for -0 and NaN).
inline float sgn(float v) { return negate_if(v < 0.0f, 1.0f); }

// Back to the seed frequency: integrator, oscillator, accumulator, FLL memory, lock state.
void reseed(costas *cl) {
    loop_filter_reset(&cl->lf);
    lo_init(&cl->osc, cl->init_norm_freq);
    cl->acc = {0.0f, 0.0f};
    cl->n_acc = 0;
    cl->prev = {0.0f, 0.0f};
    cl->have_prev = 0;
    cl->lock_metric = 0.0;
    cl->last_error = 0.0;
    cl->lf.integ = cl->init_norm_freq * ox::kTwoPi * static_cast<double>(cl->tsamps);
    lockdet_reset(&cl->ld);
}

inline void flush(costas *cl, double norm_freq) {
    const double values[COSTAS_N_PROBES] = {cl->lock_metric, cl->last_error, norm_freq,
                                            cl->ld.locked ? 1.0 : 0.0};
    ox::tlm_flush(cl->tlm, cl->probe_ids, values, COSTAS_N_PROBES);
}

// One dump of prompt P = (pr, pi): discriminator, FLL assist, loop filter, oscillator retune,
// proportional phase step, lock metric and decision, on the block loop's working copy `osc` of
// the oscillator. The phase step lands on osc.phase.
inline void dump(costas *cl, lo &osc, float pr, float pi, const ox::DumpRetune &retune) {
    const float mag = ox::dump_magnitude(pr, pi);
    const float e = negate_if(!(pr >= 0.0f), pi) / mag;  // (Pr >= 0 ? Pi : -Pi) / mag
    cl->last_error = static_cast<double>(e);

    double u = cl->lf.integ;
    if (cl->fll_gain > 0.0 && cl->have_prev) {
        const float prev_r = cl->prev.re, prev_i = cl->prev.im;
        const float cross = (prev_r * pi - prev_i * pr) * sgn(pr) * sgn(prev_r);
        const float pmag = std::sqrt(prev_r * prev_r + prev_i * prev_i) + 1e-12f;
        u = cl->lf.integ + cl->fll_gain * cross / (pmag * mag);
    }
    cl->prev = {pr, pi};
    cl->have_prev = 1;

    // integ = ki * e + u: the shared loop-filter update on an integrator that already carries
    // the FLL term (its control output is not used; the phase step below is kp * e alone).
    // The proportional phase step is quantised before the oscillator call so the two
    // independent paths from e (phase step, frequency retune) overlap; the retune keeps the
    // phase, so the order of the two updates does not matter.
    const uint32_t step = ox::freq_to_phase_inc(kInvTwoPi * cl->lf.kp * static_cast<double>(e));
    cl->lf.integ = u;
    (void)ox::loop_filter_update(&cl->lf, static_cast<double>(e));
    retune(osc, cl->lf.integ);
    osc.phase += step;

    const float ratio = std::fabs(pr) / mag;
    cl->lock_metric = (static_cast<double>(ratio) - cl->lock_metric) * COSTAS_LOCK_ALPHA +
                      cl->lock_metric;
    ox::lockdet_update(&cl->ld, cl->lock_metric);
}

// The block loop, one body for both telemetry states (the flush runs once per dump).
template <bool kTelemetry>
size_t run(costas *cl, const ox_cf32 *x, size_t n, ox_cf32 *out, size_t cap) {
    const ox::DumpRetune retune(cl->tsamps);
    return ox::integrate_and_dump(cl, x, n, out, cap, [cl, &retune](lo &osc, float pr, float pi) {
        dump(cl, osc, pr, pi, retune);
        if constexpr (kTelemetry) flush(cl, osc.norm_freq);
    });
}

}  // namespace

void costas_init(costas *cl, uint64_t tsamps, double bn, double zeta, double init_norm_freq,
                 double bn_fll) {
    cl->tsamps = tsamps ? tsamps : 1;
    cl->init_norm_freq = init_norm_freq;
    cl->bn = bn;
    cl->zeta = zeta;
    cl->bn_fll = bn_fll;
    cl->fll_gain = 4.0 * bn_fll;
    cl->pad0 = 0;
    cl->tlm = nullptr;
    for (int32_t &id : cl->probe_ids) id = -1;
    loop_filter_init(&cl->lf, bn, zeta, 1.0);
    lockdet_init(&cl->ld, 8, 32, 0.85, 0.78);
    reseed(cl);
}

costas *costas_create(uint64_t tsamps, double bn, double zeta, double init_norm_freq,
                      double bn_fll) {
    auto *cl = static_cast<costas *>(std::calloc(1, sizeof(costas)));
    if (cl) costas_init(cl, tsamps, bn, zeta, init_norm_freq, bn_fll);
    return cl;
}

void costas_destroy(costas *cl) { std::free(cl); }
void costas_reset(costas *cl) { reseed(cl); }

void costas_configure(costas *cl, double bn, double zeta) {
    cl->bn = bn;
    cl->zeta = zeta;
    loop_filter_configure(&cl->lf, bn, zeta, 1.0);
}

double costas_get_bn(const costas *cl) { return cl->bn; }
void costas_set_bn(costas *cl, double bn) { costas_configure(cl, bn, cl->zeta); }
double costas_get_bn_fll(const costas *cl) { return cl->bn_fll; }

void costas_set_bn_fll(costas *cl, double bn_fll) {
    cl->bn_fll = bn_fll;
    cl->fll_gain = 4.0 * bn_fll;
}

double costas_get_norm_freq(const costas *cl) { return cl->osc.norm_freq; }

void costas_set_norm_freq(costas *cl, double norm_freq) {
    cl->init_norm_freq = norm_freq;
    reseed(cl);
}

double costas_get_nco_freq(const costas *cl) {
    return cl->osc.norm_freq +
           cl->lf.kp * cl->last_error / ox::kTwoPi / static_cast<double>(cl->tsamps);
}

double costas_get_lock_metric(const costas *cl) { return cl->lock_metric; }
int costas_get_locked(const costas *cl) { return cl->ld.locked ? 1 : 0; }
double costas_get_last_error(const costas *cl) { return cl->last_error; }

void costas_configure_lock(costas *cl, uint32_t n_up, uint32_t n_down, double up_thresh,
                           double down_thresh) {
    lockdet_configure(&cl->ld, n_up, n_down, up_thresh, down_thresh);
}

size_t costas_state_bytes(const costas *) { return kCostasStateBytes; }

void costas_get_state(const costas *cl, void *buf) {
    ox::blob_get_image(buf, kCostasBlob, kCostasStateBytes, cl, kCostasImageBytes);
}

int costas_set_state(costas *cl, const void *buf) {
    costas tmp = *cl;  // keeps the live telemetry attachment
    if (!ox::blob_peek_image(buf, kCostasBlob, kCostasStateBytes, &tmp, kCostasImageBytes))
        return OX_EINVAL;
    // Fields that size the dump, select a branch or drive the detector's run logic must hold
    // the invariants the loop itself keeps.
    const lockdet &ld = tmp.ld;
    if (tmp.tsamps == 0 || tmp.n_acc >= tmp.tsamps || tmp.have_prev > 1) return OX_EINVAL;
    if (ld.n_up == 0 || ld.n_down == 0 || ld.locked > 1 ||
        ld.count >= (ld.locked ? ld.n_down : ld.n_up))
        return OX_EINVAL;
    tmp.pad0 = 0;
    std::memcpy(static_cast<void *>(cl), &tmp, kCostasImageBytes);
    return OX_OK;
}

size_t costas_steps(costas *cl, const ox_cf32 *x, size_t n, ox_cf32 *out, size_t cap) {
    return cl->tlm ? run<true>(cl, x, n, out, cap) : run<false>(cl, x, n, out, cap);
}

size_t costas_steps_max_out(const costas *) { return 0; }

int costas_set_telemetry(costas *cl, ox_tlm *tlm, const char *prefix, int decim) {
    return ox::tlm_attach(&cl->tlm, cl->probe_ids, tlm, prefix, "car", kProbeSuffixes,
                           static_cast<uint32_t>(decim));
}

void costas_tlm_flush(costas *cl) { flush(cl, cl->osc.norm_freq); }
