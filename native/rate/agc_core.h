// Feedback AGC for cf32 streams: a dB-domain gain integrator driven by an exponentially smoothed
// power measurement, holding the output mean power at ref_db. Two forms run over one record:
// the block form (gain updated per block and ramped across it) and the per-sample form (gain
// updated every update_every samples and held in between), the latter used by the rate converter
// in front of its terminal resampler.
#pragma once

#include <bit>

#include "common/ox_common.h"
#include "ox_tlm/ox_tlm_core.h"

struct agc {
    double ref_db;          // target output power, dB of mean |y|^2
    double bw;              // gain-loop coefficient per sample (loop gain per update 4*bw)
    double alpha;           // power-smoothing coefficient per sample, (0, 1]
    uint64_t block;         // block length of the block form (0 treated as 1)
    double clip_db;         // output clip level, dB of amplitude
    uint64_t update_every;  // update period of the per-sample form (0 treated as 1)
    double gain_db;         // gain integrator, dB
    double level;           // smoothed mean power, linear
    double gain_lin;        // linear gain in force
    uint64_t count;         // per-sample form: samples since the last update
    float clip_lin;         // cached clip amplitude
    uint32_t pad;           // 0
    // Telemetry attachment: borrowed context and probe ids; never part of a blob.
    ox_tlm *tlm;
    int32_t probe_gain;
    int32_t probe_level;
    // The guarded per-sample form's reference power 10^(ref_db/10) and kAgcSpikeRatio times it
    // (ox::agc_guard_begin; derived from ref_db, never part of a blob).
    double guard_ref_pow;
    double guard_cap_ref;
};
// The first 88 bytes are the blob payload image (offsets 16..103 of the blob).
static_assert(offsetof(agc, block) == 24 && offsetof(agc, clip_db) == 32 &&
              offsetof(agc, update_every) == 40 && offsetof(agc, gain_db) == 48 &&
              offsetof(agc, level) == 56 && offsetof(agc, gain_lin) == 64 &&
              offsetof(agc, count) == 72 && offsetof(agc, clip_lin) == 80 &&
              offsetof(agc, tlm) == 88);

OX_API void agc_init(agc *a, double ref_db, double bw, double alpha);
OX_API agc *agc_create(double ref_db, double bw, double alpha);
OX_API void agc_destroy(agc *a);
OX_API void agc_reset(agc *a);
OX_API void agc_steps(agc *a, const ox_cf32 *in, ox_cf32 *out, size_t n);
OX_API void agc_steps_per_sample(agc *a, const ox_cf32 *in, ox_cf32 *out, size_t n);
OX_API double agc_get_applied_gain_db(const agc *a);
OX_API double agc_get_gain_db(const agc *a);
OX_API double agc_get_level(const agc *a);
OX_API void agc_set_block(agc *a, uint64_t block);
OX_API void agc_set_update_every(agc *a, uint64_t update_every);
OX_API void agc_set_clip_db(agc *a, double clip_db);
OX_API int agc_set_telemetry(agc *a, ox_tlm *tlm, const char *prefix, int decim);
OX_API size_t agc_settling_samples(double bw, double alpha, double step_db, double tol_db);
OX_API size_t settling_samples(double bw, double alpha, double step_db, double tol_db);
OX_API size_t agc_state_bytes(const agc *a);
OX_API void agc_get_state(const agc *a, void *buf);
OX_API int agc_set_state(agc *a, const void *buf);

namespace ox {

constexpr double kAgcPowMax = 0x1p257;  // power clamp ceiling

// 2^k as a double for -1022 <= k <= 1023, from its exponent bits.
inline double agc_pow2(int k) { return std::bit_cast<double>(static_cast<uint64_t>(k + 1023) << 52); }

// Fast 10^(x/20): one floor, a quartic polynomial for 2^frac and an exponent insertion.
// 0 below the range (and for NaN); 2^1023 above it.
inline double agc_fast_db_to_amp(double x) {
    constexpr double kLim = 6159.073711285056;
    if (!(x >= -kLim)) return 0.0;
    if (x > kLim) return 0x1p1023;
    const double t = x * 0.16609640474436813;
    const double k = __builtin_floor(t);
    const double f = (t - k) * 0.6931471805599453;
    const double p = ((((f / 24.0 + 1.0 / 6.0) * f + 0.5) * f + 1.0) * f + 1.0);
    // p lies in [1, 2): scaling by a normal power of two is exact, so the product is the ldexp
    // result without the library call; the few exponents whose result is subnormal take ldexp.
    const int e = static_cast<int>(k);
    if (e >= -1022) [[likely]] return p * agc_pow2(e);
    return __builtin_ldexp(p, e);
}

// The float flavour: +infinity above the range.
inline float agc_fast_db_to_amp_f(double x) {
    if (x > 6159.073711285056) return __builtin_inff();
    return static_cast<float>(agc_fast_db_to_amp(x));
}

// Fast 10*log10(p) from the exponent and a two-term atanh series of the mantissa.
inline double agc_fast_db(double p) {
    const double q = p + 1e-30;
    int e2;
    double half_m;  // q = half_m * 2^e2, half_m in [0.5, 1)
    const uint64_t bits = std::bit_cast<uint64_t>(q);
    const uint64_t biased = (bits >> 52) & 0x7FF;
    if (biased != 0 && biased != 0x7FF) [[likely]] {  // normal: frexp from the exponent field
        e2 = static_cast<int>(biased) - 1022;
        half_m = std::bit_cast<double>((bits & ~(uint64_t{0x7FF} << 52)) | (uint64_t{1022} << 52));
    } else {
        half_m = __builtin_frexp(q, &e2);
    }
    const double m = half_m * 2.0;
    const double e = static_cast<double>(e2 - 1);
    const double g = (m - 1.0) / (m + 1.0);
    return (e + 2.885390081777927 * g * (1.0 + g * g / 3.0)) * 3.010299956639812;
}

// Clamp of a measured or smoothed power into [0, 2^257] (NaN becomes the ceiling).
inline double agc_clamp_pow(double p) {
    if (p < 0.0) return 0.0;
    if (!(p <= kAgcPowMax)) return kAgcPowMax;
    return p;
}

// dB of the smoothed level, with fixed values outside [0, 2^257].
inline double agc_level_db(double level) {
    if (level < 0.0) return -300.00004019312837;
    if (!(level <= kAgcPowMax)) return 773.6470888564317;
    return agc_fast_db(level);
}

inline void agc_emit(agc *a, double level_db) {
    if (!a->tlm) return;
    const int32_t ids[2] = {a->probe_gain, a->probe_level};
    const double vals[2] = {a->gain_db, level_db};
    tlm_flush(a->tlm, ids, vals, 2);
}

inline float agc_clip(float v, float m) { return v > m ? m : (v < -m ? -m : v); }

// The gain-loop update of the per-sample form, once every d samples: kept out of line so that
// the per-sample step stays small enough to inline into the callers' loops.
template <bool kTelemetry>
[[gnu::noinline]] void agc_update_per_sample(agc *a, uint64_t d) {
    const double level_db = agc_level_db(a->level);
    a->gain_db = a->gain_db + (a->ref_db - level_db) * static_cast<double>(d) * 4.0 * a->bw;
    a->clip_lin = agc_fast_db_to_amp_f(a->clip_db);
    a->count = 0;
    if constexpr (kTelemetry) agc_emit(a, level_db);
}

[[gnu::noinline]] inline double agc_gain_for(double gain_db) { return agc_fast_db_to_amp(gain_db); }

// The guarded per-sample form a receiver runs (a burst receiver sees silence, bursts far above
// the level it settled on and single absurd samples, none of which the plain loop survives):
// - limiter: a sample of more than kAgcSpikeRatio times the larger of the level and the
//   reference power is limited to that power (a NaN or
//   infinity is blanked), so one sample moves the level by at most +1 dB, does not set off
//   the attack below and reaches the matched filter and the loops behind it at most 14 dB
//   above the signal (a noise sample exceeds the limit with probability e^-25); a burst
//   starting far above the level passes its first samples limited while the level climbs
//   (1.24-fold per sample);
// - hold: while the input is (near) zero, i.e. the sample at an update carries less than
//   kAgcQuietRatio of the reference power, the gain does not move (the plain loop winds up by
//   (ref + 300 dB) w per update on zeros);
// - attack: when the level stands more than kAgcAttackDb above the reference (a burst starting
//   well above the level the gain was set for), the gain drops by the whole excess at once and
//   the level is taken as the reference, the level the output then has;
// - ceiling: the gain stays within +-kAgcMaxGainDb.
// On an ordinary signal near the reference none of these acts and the arithmetic is the plain
// form's, update for update.
constexpr double kAgcSpikeRatio = 25.0;
constexpr double kAgcQuietRatio = 1e-15;
constexpr double kAgcAttackDb = 6.0;
constexpr double kAgcMaxGainDb = 200.0;


// A sample above the cap is limited to it in amplitude (phase kept), one that is not finite is
// blanked: neither reaches the filters behind the AGC above the limit.
[[gnu::noinline]] inline ox_cf32 agc_limit(ox_cf32 y, double p_in, double cap) {
    if (!(p_in - p_in == 0.0)) return ox_cf32{0.0f, 0.0f};
    const auto s = static_cast<float>(__builtin_sqrt(cap / p_in));
    return ox_cf32{y.re * s, y.im * s};
}

template <bool kTelemetry>
[[gnu::noinline]] void agc_update_guarded(agc *a, uint64_t d, double p) {
    const double ref_pow = a->guard_ref_pow;
    const double level_db = agc_level_db(a->level);
    if (p < kAgcQuietRatio * ref_pow) {
        // hold
    } else if (level_db > a->ref_db + kAgcAttackDb) [[unlikely]] {
        a->gain_db = a->gain_db - (level_db - a->ref_db);
        a->level = ref_pow;
    } else {
        a->gain_db = a->gain_db + (a->ref_db - level_db) * static_cast<double>(d) * 4.0 * a->bw;
    }
    if (!(a->gain_db >= -kAgcMaxGainDb && a->gain_db <= kAgcMaxGainDb)) [[unlikely]]
        a->gain_db = a->gain_db < 0.0 ? -kAgcMaxGainDb : kAgcMaxGainDb;
    a->clip_lin = agc_fast_db_to_amp_f(a->clip_db);
    a->count = 0;
    if constexpr (kTelemetry) agc_emit(a, level_db);
}

// The running values of the per-sample form that change every sample, apart from the record, so
// that a loop can keep them in registers across calls it cannot see into.
struct AgcRun {
    double level;
    double gain_lin;
    uint64_t count;
    float clip_lin;
};

// Sets the guarded form's reference power from the record's ref_db (a caller does this before a
// run of guarded steps; it is kept in the record, not in AgcRun, which a loop holds in
// registers only while it stays this small).
inline void agc_guard_begin(agc *a) {
    a->guard_ref_pow = __builtin_pow(10.0, a->ref_db / 10.0);
    a->guard_cap_ref = kAgcSpikeRatio * a->guard_ref_pow;
}
inline AgcRun agc_run_of(const agc *a) { return AgcRun{a->level, a->gain_lin, a->count, a->clip_lin}; }
inline void agc_run_store(agc *a, const AgcRun &r) {
    a->level = r.level;
    a->gain_lin = r.gain_lin;
    a->count = r.count;
    a->clip_lin = r.clip_lin;
}

// One sample of the per-sample form on running values `r` (the record holds the configuration and
// the gain integrator; it receives the running values for each gain update).
// kGuard selects the guarded form (see agc_update_guarded; agc_guard_begin must have run).
template <bool kTelemetry, bool kGuard = false>
inline ox_cf32 agc_step_run(agc *a, AgcRun &r, ox_cf32 x) {
    const uint64_t d = a->update_every ? a->update_every : 1;
    if (r.count == 0) [[unlikely]] r.gain_lin = agc_gain_for(a->gain_db);
    const float g = static_cast<float>(r.gain_lin);
    ox_cf32 y{g * x.re, g * x.im};
    const double yr = y.re, yi = y.im;
    const double p_in = yr * yr + yi * yi;
    double p = agc_clamp_pow(p_in);
    if constexpr (kGuard) {
        // The limit is kAgcSpikeRatio times the larger of the level and the reference: a sample
        // under kAgcSpikeRatio times the reference is under it whatever the level (the common
        // case, decided without waiting for the level).
        if (!(p_in <= a->guard_cap_ref)) [[unlikely]] {
            const double cap = kAgcSpikeRatio * (r.level > a->guard_ref_pow ? r.level : a->guard_ref_pow);
            if (!(p_in <= cap)) {
                p = cap;
                y = agc_limit(y, p_in, cap);
            }
        }
    }
    r.count += 1;
    if (a->alpha >= 1.0)
        r.level = p;
    else
        r.level = r.level + a->alpha * (p - r.level);
    if (r.count >= d) [[unlikely]] {
        agc_run_store(a, r);
        if constexpr (kGuard) {
            agc_update_guarded<kTelemetry>(a, d, p_in);
            r.level = a->level;
        } else {
            agc_update_per_sample<kTelemetry>(a, d);
        }
        r.count = a->count;
        r.clip_lin = a->clip_lin;
    }
    const float m = r.clip_lin;
    return ox_cf32{agc_clip(y.re, m), agc_clip(y.im, m)};
}

// One sample of the per-sample form (shared by the rate converter's controlled path and the
// settling estimator).
template <bool kTelemetry>
inline ox_cf32 agc_step_sample(agc *a, ox_cf32 x) {
    AgcRun r = agc_run_of(a);
    const ox_cf32 y = agc_step_run<kTelemetry>(a, r, x);
    agc_run_store(a, r);
    return y;
}

inline ox_cf32 agc_push(agc *a, ox_cf32 x) {
    return a->tlm ? agc_step_sample<true>(a, x) : agc_step_sample<false>(a, x);
}

}  // namespace ox
