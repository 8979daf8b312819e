#include "rate/agc_core.h"

#include <cmath>
#include <cstdlib>
#include <limits>

namespace {

constexpr ox::BlobKind kAgcBlob{"AGC ", 3};
constexpr uint32_t kAgcStateBytes = 120;
constexpr size_t kAgcImageBytes = 88;  // ref_db .. clip_lin + padding
static_assert(kAgcStateBytes == ox::kBlobHeaderBytes + kAgcImageBytes + 16);

// Smoothing coefficient of one update over a block of L samples: 1 - (1 - alpha)^L.
double block_alpha(double alpha, uint64_t len) {
    if (len == 1) return alpha;
    if (alpha <= 0.0) return 0.0;
    if (alpha >= 1.0) return 1.0;
    return -std::expm1(static_cast<double>(len) * std::log1p(-alpha));
}

// Gain-loop coefficient of one update over a block of L samples: 1 - (1 - 4 bw)^L.
double block_weight(double bw, uint64_t len) {
    const double b4 = 4.0 * bw;
    if (len == 1) return b4;
    if (b4 <= 0.0) return 0.0;
    if (bw >= 0.25) return 1.0;
    return -std::expm1(static_cast<double>(len) * std::log1p(-b4));
}

template <bool kTelemetry>
void steps_block(agc *a, const ox_cf32 *in, ox_cf32 *out, size_t n) {
    const uint64_t c = a->block ? a->block : 1;
    const float m = ox::agc_fast_db_to_amp_f(a->clip_db);
    uint64_t coef_len = c < n ? c : n;
    double a_l = block_alpha(a->alpha, coef_len);
    double w_l = block_weight(a->bw, coef_len);
    size_t i0 = 0;
    while (i0 < n) {
        const uint64_t len = (n - i0) < c ? (n - i0) : c;
        if (len != coef_len) {  // short final block: coefficients for its own length
            coef_len = len;
            a_l = block_alpha(a->alpha, len);
            w_l = block_weight(a->bw, len);
        }
        const double g_new = ox::agc_fast_db_to_amp(a->gain_db);
        const double g_old = a->gain_lin;
        const double step = (g_new - g_old) / static_cast<double>(len);
        float pw = 0.0f;
        for (uint64_t i = 0; i < len; ++i) {
            const float g = (i + 1 == len) ? static_cast<float>(g_new)
                                           : static_cast<float>(g_old + static_cast<double>(i + 1) * step);
            const ox_cf32 x = in[i0 + i];
            const ox_cf32 y{g * x.re, g * x.im};
            pw += y.re * y.re + y.im * y.im;
            out[i0 + i] = ox_cf32{ox::agc_clip(y.re, m), ox::agc_clip(y.im, m)};
        }
        const double mean = ox::agc_clamp_pow(static_cast<double>(pw) / static_cast<double>(len));
        double level_db;
        if (a_l >= 1.0) {
            a->level = mean;
            level_db = ox::agc_fast_db(mean);
        } else {
            a->level = a->level + a_l * (mean - a->level);
            level_db = ox::agc_level_db(a->level);
        }
        a->gain_db = a->gain_db + (a->ref_db - level_db) * w_l;
        if constexpr (kTelemetry) ox::agc_emit(a, level_db);
        a->gain_lin = g_new;
        i0 += len;
    }
}

template <bool kTelemetry>
void steps_sample(agc *a, const ox_cf32 *in, ox_cf32 *out, size_t n) {
    for (size_t i = 0; i < n; ++i) out[i] = ox::agc_step_sample<kTelemetry>(a, in[i]);
}

}  // namespace

void agc_init(agc *a, double ref_db, double bw, double alpha) {
    std::memset(static_cast<void *>(a), 0, sizeof(*a));
    a->ref_db = ref_db;
    a->bw = bw;
    a->alpha = alpha;
    a->block = 8;
    a->clip_db = 120.0;
    a->update_every = 1;
    a->probe_gain = -1;
    a->probe_level = -1;
    agc_reset(a);
}

agc *agc_create(double ref_db, double bw, double alpha) {
    auto *a = static_cast<agc *>(std::calloc(1, sizeof(agc)));
    if (a) agc_init(a, ref_db, bw, alpha);
    return a;
}

void agc_destroy(agc *a) { std::free(a); }

void agc_reset(agc *a) {
    a->gain_db = 0.0;
    a->count = 0;
    a->gain_lin = 1.0;
    a->clip_lin = ox::agc_fast_db_to_amp_f(a->clip_db);
    a->level = std::pow(10.0, a->ref_db / 10.0);
}

void agc_steps(agc *a, const ox_cf32 *in, ox_cf32 *out, size_t n) {
    if (!a || !in || !out || n == 0) return;
    if (a->tlm)
        steps_block<true>(a, in, out, n);
    else
        steps_block<false>(a, in, out, n);
}

void agc_steps_per_sample(agc *a, const ox_cf32 *in, ox_cf32 *out, size_t n) {
    if (!a || !in || !out || n == 0) return;
    if (a->tlm)
        steps_sample<true>(a, in, out, n);
    else
        steps_sample<false>(a, in, out, n);
}

double agc_get_applied_gain_db(const agc *a) {
    const double g = a->gain_lin;
    if (!(g >= std::numeric_limits<double>::min())) return -6153.053111371775;
    if (g > std::numeric_limits<double>::max()) return 6165.094311198335;
    return 20.0 * std::log10(g);
}

double agc_get_gain_db(const agc *a) { return a->gain_db; }
double agc_get_level(const agc *a) { return a->level; }
void agc_set_block(agc *a, uint64_t block) { a->block = block; }
void agc_set_update_every(agc *a, uint64_t update_every) { a->update_every = update_every; }

void agc_set_clip_db(agc *a, double clip_db) {
    a->clip_db = clip_db;
    a->clip_lin = ox::agc_fast_db_to_amp_f(clip_db);
}

int agc_set_telemetry(agc *a, ox_tlm *tlm, const char *prefix, int decim) {
    if (!tlm) {
        a->tlm = nullptr;
        return OX_OK;
    }
    static const char *const kSuffixes[2] = {".gain_db", ".level_db"};
    int32_t ids[2];
    if (ox::tlm_register_probes(tlm, prefix, "agc", kSuffixes, 2, static_cast<uint32_t>(decim), ids) != OX_OK)
        return OX_EINVAL;
    a->probe_gain = ids[0];
    a->probe_level = ids[1];
    a->tlm = tlm;
    return OX_OK;
}

size_t agc_settling_samples(double bw, double alpha, double step_db, double tol_db) {
    if (!(bw > 0.0) || !(alpha > 0.0 && alpha <= 1.0) || !(tol_db > 0.0)) return 0;
    if (!std::isfinite(std::fabs(step_db))) return 0;
    if (tol_db >= std::fabs(step_db)) return 1;
    agc sim;
    agc_init(&sim, 0.0, bw, alpha);
    const double s = std::pow(10.0, -step_db / 20.0);
    const ox_cf32 x{static_cast<float>(0.8 * s), static_cast<float>(0.6 * s)};
    const double nd = 16.0 / bw;
    constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
    // 16/bw at or beyond 2^64 saturates to the largest count, which means "never settles".
    if (!(nd < 18446744073709551616.0)) return 0;
    const uint64_t n = static_cast<uint64_t>(nd);
    if (n == kMax) return 0;
    for (uint64_t i = 0; i <= n; ++i) {
        ox::agc_step_sample<false>(&sim, x);
        if (std::fabs(sim.gain_db - step_db) <= tol_db) return static_cast<size_t>(i + 1);
    }
    return 0;
}

size_t settling_samples(double bw, double alpha, double step_db, double tol_db) {
    return agc_settling_samples(bw, alpha, step_db, tol_db);
}

size_t agc_state_bytes(const agc *) { return kAgcStateBytes; }

void agc_get_state(const agc *a, void *buf) {
    agc img = *a;
    img.pad = 0;
    ox::blob_get_image(buf, kAgcBlob, kAgcStateBytes, &img, kAgcImageBytes);
}

int agc_set_state(agc *a, const void *buf) {
    agc img = *a;
    if (!ox::blob_peek_image(buf, kAgcBlob, kAgcStateBytes, &img, kAgcImageBytes)) return OX_EINVAL;
    // No field indexes memory; the attachment of the live object is kept.
    img.pad = 0;
    img.tlm = a->tlm;
    img.probe_gain = a->probe_gain;
    img.probe_level = a->probe_level;
    *a = img;
    return OX_OK;
}
