#include "timing/symsync_core.h"

#include <cmath>
#include <cstdlib>

#include "loops/detstat_core.h"
#include "ox_tlm/ox_tlm_core.h"
#include "timing/ratesync_core.h"

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

constexpr ox::BlobKind kSyncBlob{"SYNC", 5};
constexpr uint32_t kSyncStateBytes = 304;
constexpr size_t kSyncImageBytes = offsetof(symsync, tlm);  // phase .. lock detector
static_assert(kSyncImageBytes == 256 && kSyncStateBytes == 16 + kSyncImageBytes + 32);

constexpr const char *kProbeSuffixes[SYMSYNC_N_PROBES] = {".e", ".freq", ".rate", ".lock",
                                                          ".locked"};
constexpr uint32_t kHalfTurn = 0x80000000u;

// Defaults of the timing-lock detector: roll-off, minimum Es/N0 (dB), false-alarm and
// detection probabilities of one block decision.
constexpr double kLockRolloff = 0.35, kLockEsnoDb = 10.0, kLockPfa = 0.001, kLockPd = 0.9;
constexpr double kLockNoiseVariance = 1.343;  // per-look variance of the lock signal in noise

// (uint32)(int64)v: truncation toward zero, then the low 32 bits. A NaN or a value outside the
// int64 range takes the value the x86 conversion gives (INT64_MIN, low word 0), so the result
// is defined and the same on every build.
inline uint32_t truncate_u32(double v) {
    if (v >= -9223372036854775808.0 && v < 9223372036854775808.0)
        return static_cast<uint32_t>(static_cast<int64_t>(v));
    return 0;
}

// The NCO's rate factor r (symbol period sps / r) kept within the rate clamp [0.5, 1.5] sps, and
// below 2 so that the increment nominal_inc r stays under 2^32 (at sps 2, r = 2 would wrap it to
// 0 and stop the NCO); the integrator is held within the same range, so the loop always strobes
// and always updates.
constexpr double kMinRateFactor = 1.0 + ox::kMinControlCorrection;
constexpr double kMaxRateFactor = 1.0 + ox::kMaxRateCorrection;
constexpr double kMaxPowerRise = 100.0;  // largest rise of the power EMA's input per symbol

inline double bound_rate_factor(double r) {
    return r < kMinRateFactor ? kMinRateFactor : std::nextafter(kMaxRateFactor, 0.0);
}

inline uint32_t nominal_increment(uint64_t sps) {
    return truncate_u32(4294967296.0 / static_cast<double>(sps));
}

// s(v) - s(w) with s(v) = +1 for v >= 0 (including -0) and -1 otherwise (also NaN): -2, 0 or
// +2, formed from the two comparisons without a branch (the data signs are random).
inline double sign_step(float v, float w) {
    return 2.0 * static_cast<double>(static_cast<int>(v >= 0.0f) - static_cast<int>(w >= 0.0f));
}

inline void flush(symsync *s) {
    const double values[SYMSYNC_N_PROBES] = {
        s->timing_error,
        static_cast<double>(s->inc) / static_cast<double>(s->nominal_inc) - 1.0,
        s->rate,
        s->lock_stat,
        s->ld.locked ? 1.0 : 0.0,
    };
    ox::tlm_flush(s->tlm, s->probe_ids, values, SYMSYNC_N_PROBES);
}

// Everything an on-time sample y does once a previous symbol exists: timing error against the
// previous symbol and the latest mid-symbol sample, power normalisation, loop filter and NCO
// increment, rate estimate, lock signal and block decision. Samples are float32, all of this
// arithmetic double. Returns the new increment.
template <bool kDttl>
inline uint32_t symbol_update(symsync *s, ox_cf32 y) {
    const double i = y.re, q = y.im, im = s->mid.re, qm = s->mid.im;
    double e;
    if constexpr (kDttl) {
        e = sign_step(y.re, s->prev.re) * im + sign_step(y.im, s->prev.im) * qm;
    } else {
        e = (i - static_cast<double>(s->prev.re)) * im + (q - static_cast<double>(s->prev.im)) * qm;
    }
    const double p = i * i + q * q;
    // A symbol far above the running power (a spike) raises it at most kMaxPowerRise-fold, and
    // one that is not a number leaves it alone, so one bad sample cannot hold the loop's gain
    // near zero for thousands of symbols (nor make it NaN for good).
    const double p_cap = kMaxPowerRise * (s->power_ema + 1e-6);
    if (p <= p_cap) [[likely]]
        s->power_ema += 0.01 * (p - s->power_ema);
    else if (p == p)
        s->power_ema += 0.01 * (p_cap - s->power_ema);
    const double en = e / (s->power_ema + 1e-6);

    // The integrator moves through the shared loop-filter update; the rate factor is formed as
    // 1 + kp*en + integ, left to right, from the updated integrator. A detector output no signal
    // produces (see timing_error_usable) is not fed to the loop: the increment holds.
    if (ox::timing_error_usable(en)) [[likely]] {
        s->timing_error = en;
        (void)ox::loop_filter_update(&s->lf, en);
        double &integ = s->lf.integ;
        if (!(integ >= ox::kMinRateCorrection && integ <= ox::kMaxRateCorrection)) [[unlikely]]
            integ = ox::clamp_rate_correction(integ);
        double r = 1.0 + s->lf.kp * en + integ;
        if (!(r >= kMinRateFactor && r < kMaxRateFactor)) [[unlikely]] r = bound_rate_factor(r);
        s->inc = truncate_u32(static_cast<double>(s->nominal_inc) * r);

        const double sps = static_cast<double>(s->sps);
        double sr = sps / r;
        if (sr < 0.5 * sps) {
            sr = 0.5 * sps;
        } else if (sr > 1.5 * sps) {
            sr = 1.5 * sps;
        }
        s->rate += 0.02 * (sr - s->rate);
    }

    const double pm = im * im + qm * qm;
    const double look = 2.0 * (p - pm) / (pm + 1e-12 + p);
    if (look == look) [[likely]] s->block_sum += look;  // a non-finite sample makes no look
    if (++s->block_count >= s->avgs) {
        s->lock_stat = s->block_sum / static_cast<double>(s->avgs);
        ox::lockdet_update(&s->ld, s->lock_stat);
        s->block_sum = 0.0;
        s->block_count = 0;
    }
    return s->inc;
}

// The block loop, one copy per interpolation kernel, detector and telemetry presence. The NCO
// lives in two locals; a sample whose step crosses neither the half turn nor the wrap costs
// one add and one test (its window comes straight from the input, nothing is shifted).
template <int kKernel, bool kDttl, bool kTelemetry>
size_t run(symsync *s, const ox_cf32 *x, size_t n, ox_cf32 *out, size_t cap) {
    uint32_t phase = s->phase, inc = s->inc;
    size_t written = 0;
    ox::farrow_windows(&s->interp, x, n, [&](size_t, const ox_cf32 *w) {
        const uint32_t old = phase;
        const uint64_t sum = static_cast<uint64_t>(old) + inc;
        phase = static_cast<uint32_t>(sum);
        // Bit 31 or the carry changed: the step reached the half turn or wrapped.
        if (((sum ^ old) >> 31) == 0) [[likely]] return;
        if ((sum >> 32) == 0) {  // mid-symbol strobe
            const double frac = static_cast<double>(phase - kHalfTurn) / static_cast<double>(inc);
            s->mid = ox::farrow_interp<kKernel>(w, static_cast<float>(1.0 - frac));
            return;
        }
        const double frac = static_cast<double>(phase) / static_cast<double>(inc);
        const ox_cf32 y = ox::farrow_interp<kKernel>(w, static_cast<float>(1.0 - frac));
        if (!s->have_prev) {  // the first on-time strobe only primes the detector
            s->have_prev = 1;
            s->prev = y;
            return;
        }
        inc = symbol_update<kDttl>(s, y);
        s->prev = y;
        if (written < cap) out[written++] = y;
        if constexpr (kTelemetry) flush(s);
    });
    s->phase = phase;
    s->inc = inc;
    return written;
}

template <int kKernel>
size_t run_kernel(symsync *s, const ox_cf32 *x, size_t n, ox_cf32 *out, size_t cap) {
    const bool dttl = s->ted == 1;
    if (s->tlm) {
        return dttl ? run<kKernel, true, true>(s, x, n, out, cap)
                    : run<kKernel, false, true>(s, x, n, out, cap);
    }
    return dttl ? run<kKernel, true, false>(s, x, n, out, cap)
                : run<kKernel, false, false>(s, x, n, out, cap);
}

}  // namespace

void symsync_init(symsync *s, uint64_t sps, int order, int ted, double bn, double zeta) {
    std::memset(static_cast<void *>(s), 0, sizeof(symsync));
    s->bn = bn;
    s->zeta = zeta;
    s->sps = sps ? sps : 1;
    s->interp.order = order;
    s->ted = static_cast<uint32_t>(ted);
    s->nominal_inc = nominal_increment(s->sps);
    for (int32_t &id : s->probe_ids) id = -1;
    loop_filter_init(&s->lf, bn, zeta, 1.0);
    symsync_configure_lock(s, kLockRolloff, kLockEsnoDb, kLockPfa, kLockPd);
    symsync_reset(s);
}

symsync *symsync_create(uint64_t sps, int order, int ted, double bn, double zeta) {
    auto *s = static_cast<symsync *>(std::calloc(1, sizeof(symsync)));
    if (s) symsync_init(s, sps, order, ted, bn, zeta);
    return s;
}

void symsync_destroy(symsync *s) { std::free(s); }

void symsync_reset(symsync *s) {
    loop_filter_reset(&s->lf);
    s->phase = 0;
    s->inc = s->nominal_inc;
    s->have_prev = 0;
    s->prev = {0.0f, 0.0f};
    s->mid = {0.0f, 0.0f};
    s->timing_error = 0.0;
    s->rate = static_cast<double>(s->sps);
    s->power_ema = 1.0;
    s->block_sum = 0.0;
    s->block_count = 0;
    s->lock_stat = 0.0;
    lockdet_reset(&s->ld);
    farrow_reset(&s->interp);
}

void symsync_configure(symsync *s, double bn, double zeta) {
    s->bn = bn;
    s->zeta = zeta;
    loop_filter_configure(&s->lf, bn, zeta, 1.0);
}

void symsync_set_bn(symsync *s, double bn) { symsync_configure(s, bn, s->zeta); }
double symsync_get_bn(const symsync *s) { return s->bn; }

size_t symsync_steps(symsync *s, const ox_cf32 *x, size_t n, ox_cf32 *out, size_t out_cap) {
    if (!s || !x || n == 0) return 0;
    if (!out) out_cap = 0;
    switch (ox::farrow_kernel(s->interp.order)) {
        case ox::kFarrowLinear: return run_kernel<ox::kFarrowLinear>(s, x, n, out, out_cap);
        case ox::kFarrowParabolic: return run_kernel<ox::kFarrowParabolic>(s, x, n, out, out_cap);
        default: return run_kernel<ox::kFarrowCubic>(s, x, n, out, out_cap);
    }
}

size_t symsync_steps_max_out(const symsync *) { return 0; }

double symsync_get_timing_error(const symsync *s) { return s->timing_error; }
double symsync_get_rate(const symsync *s) { return s->rate; }
double symsync_get_lock_stat(const symsync *s) { return s->lock_stat; }
int symsync_get_locked(const symsync *s) { return s->ld.locked ? 1 : 0; }

// Sizes the block length and threshold of the timing-lock detector for a target false-alarm and
// detection probability per decision, from the mean of the lock signal at the weakest
// operating point (roll-off, Es/N0) and its variance in noise.
int symsync_configure_lock(symsync *s, double rolloff, double esno_min_db, double pfa, double pd) {
    if (!(pfa > 0.0 && pfa < 1.0 && pd > 0.0 && pd < 1.0 && pd > pfa)) return OX_EINVAL;
    const double esno = std::pow(10.0, esno_min_db / 10.0);
    const double mean = (0.26 + 0.6 * rolloff) * (1.0 - std::exp(-0.275 * esno));
    const int avgs = det_dwell_gauss(mean, kLockNoiseVariance, pd, pfa);
    if (avgs <= 0) return OX_EINVAL;
    const double thr = det_threshold_gauss(mean, pd, pfa);
    symsync_configure_lock_raw(s, static_cast<uint64_t>(avgs), 1, 8, thr, thr);
    return OX_OK;
}

void symsync_configure_lock_raw(symsync *s, uint64_t avgs, int n_up, int n_down, double up_thresh,
                                double down_thresh) {
    s->block_sum = 0.0;
    s->block_count = 0;
    s->avgs = avgs ? avgs : 1;
    lockdet_configure(&s->ld, static_cast<uint32_t>(n_up), static_cast<uint32_t>(n_down),
                      up_thresh, down_thresh);
}

int symsync_set_telemetry(symsync *s, ox_tlm *tlm, const char *prefix, unsigned decim) {
    return ox::tlm_attach(&s->tlm, s->probe_ids, tlm, prefix, "sync", kProbeSuffixes,
                           static_cast<uint32_t>(decim));
}

void symsync_tlm_flush(symsync *s) { flush(s); }

size_t symsync_state_bytes(const symsync *) { return kSyncStateBytes; }

void symsync_get_state(const symsync *s, void *buf) {
    ox::blob_get_image(buf, kSyncBlob, kSyncStateBytes, s, kSyncImageBytes);
}

// The blob is untrusted: fields that size the lock blocks, drive the detector's run logic or
// select a path must keep the invariants the object itself maintains. The interpolation order
// and the detector selector are free values (any order other than 0 or 1 is cubic, any
// detector other than 1 Gardner).
int symsync_set_state(symsync *s, const void *buf) {
    symsync tmp = *s;  // keeps the live telemetry attachment
    if (!ox::blob_peek_image(buf, kSyncBlob, kSyncStateBytes, &tmp, kSyncImageBytes))
        return OX_EINVAL;
    if (tmp.sps == 0 || tmp.nominal_inc != nominal_increment(tmp.sps)) return OX_EINVAL;
    if (tmp.have_prev > 1 || tmp.avgs == 0 || tmp.block_count >= tmp.avgs) return OX_EINVAL;
    if (!ox::lockdet_image_ok(tmp.ld)) return OX_EINVAL;
    // Running values the loop never lets become non-finite are refused as such; an integrator
    // beyond the rate clamp (as an unbounded loop could leave it) is brought into it, and the
    // increment with it.
    if (!ox::all_finite({tmp.lf.integ, tmp.timing_error, tmp.rate, tmp.block_sum, tmp.lock_stat}) ||
        !(tmp.power_ema >= 0.0 && tmp.power_ema - tmp.power_ema == 0.0))
        return OX_EINVAL;
    tmp.lf.integ = ox::clamp_rate_correction(tmp.lf.integ);
    if (tmp.nominal_inc != 0) {
        const double r = static_cast<double>(tmp.inc) / static_cast<double>(tmp.nominal_inc);
        if (!(r >= kMinRateFactor && r < kMaxRateFactor))
            tmp.inc = truncate_u32(static_cast<double>(tmp.nominal_inc) * bound_rate_factor(r));
    }
    std::memset(tmp.reserved, 0, sizeof(tmp.reserved));
    tmp.pad0 = 0;
    tmp.pad1 = 0;
    std::memcpy(static_cast<void *>(s), &tmp, kSyncImageBytes);
    return OX_OK;
}

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
