// Rate synchroniser: symbol timing recovery at any real oversampling. A matched rate converter
// brings the stream to an even integer m samples per symbol; its terminal polyphase stage is
// both the matched filter and the fractional timing interpolator, steered per input sample
// through the converter's control port by the timing loop below (`ratesync_loop`: Gardner or
// DTTL detector normalised by its modelled S-curve slope, PI loop filter, eye-opening lock
// statistic with block averaging and a hysteresis detector). The M-PSK receivers embed the same
// loop record behind their own down-converters.
#pragma once

#include "common/ox_common.h"
#include "loops/lockdet_core.h"
#include "loops/loop_filter_core.h"
#include "ox_tlm/ox_tlm_core.h"
#include "rate/rate_converter_core.h"

struct resamp;

constexpr int RATESYNC_N_PROBES = 6;
constexpr size_t RATESYNC_HIST = 5;  // room for m/2 + 1 outputs with m <= 8

// The timing loop. Embedded by value in the receivers' loop core.
struct ratesync_loop {
    loop_filter lf;         // t = 1; integ: fractional rate correction
    double sps;             // nominal input samples per symbol
    uint64_t m;             // converter output samples per symbol, 2..8
    double rate0;           // nominal rate of the bound terminal resampler (0 when none)
    uint64_t num_taps;      // taps of the bound terminal resampler
    resamp *stage;          // the bound terminal resampler (null when none); never in a blob
    double bn;              // configured loop noise bandwidth (per symbol)
    double zeta;            // configured damping
    int32_t ted;            // 0 Gardner, 1 DTTL
    uint32_t pad0;
    double ted_norm;        // 1 / S-curve slope at zero offset (1 until bound)
    double ctrl;            // rate correction handed to the converter with every input sample
    double timing_error;    // last normalised detector output
    double rate;            // tracked input samples per symbol
    int32_t have_prev;      // 0 until the first on-time strobe
    uint32_t pad1;
    uint64_t prime;         // converter outputs still to discard (terminal filter transient)
    uint64_t counter;       // converter outputs counted since priming ended
    ox_cf32 hist[RATESYNC_HIST];  // latest converter outputs, newest first (a receiver filters only
                                  // the on-time and mid-symbol ones; the others are 0)
    uint64_t hist_fill;     // valid entries in hist
    ox_cf32 prev;           // previous on-time sample
    double block_sum;       // lock signals summed in the current block
    uint64_t block_count;   // looks in the current block
    uint64_t avgs;          // block length
    double lock_stat;       // last block average
    lockdet ld;             // timing lock decision on lock_stat
    ox_tlm *tlm;            // attached telemetry context (never part of a blob)
    int32_t probe_ids[RATESYNC_N_PROBES];  // e, ctrl, rate, lock, locked, mu
};
static_assert(offsetof(ratesync_loop, sps) == 48 && offsetof(ratesync_loop, ted) == 104 &&
              offsetof(ratesync_loop, ted_norm) == 112 && offsetof(ratesync_loop, have_prev) == 144 &&
              offsetof(ratesync_loop, hist) == 168 && offsetof(ratesync_loop, hist_fill) == 208 &&
              offsetof(ratesync_loop, ld) == 256 && offsetof(ratesync_loop, tlm) == 288 &&
              sizeof(ratesync_loop) == 320,
              "the timing-loop record is part of the C ABI (embedded by the receivers)");

// Loop record API.
OX_API void ratesync_loop_init(ratesync_loop *l, uint64_t m, int ted, double sps, double bn,
                               double zeta);
OX_API void ratesync_loop_set_cascade(ratesync_loop *l, uint64_t num_taps, double rate0);
OX_API void ratesync_loop_bind_cascade(ratesync_loop *l, RateConverter *rc);
OX_API void ratesync_loop_reset(ratesync_loop *l);
OX_API void ratesync_loop_configure(ratesync_loop *l, double bn, double zeta);
OX_API void ratesync_loop_configure_lock_raw(ratesync_loop *l, uint64_t avgs, int n_up, int n_down,
                                             double up_thresh, double down_thresh);
OX_API int ratesync_loop_set_telemetry(ratesync_loop *l, ox_tlm *tlm, const char *prefix, int decim);
OX_API void ratesync_loop_tlm_flush(ratesync_loop *l);
// Blob "RSLP" v2, 216 bytes: running state only, then the loop filter's own blob.
OX_API size_t ratesync_loop_state_bytes(const ratesync_loop *l);
OX_API void ratesync_loop_get_state(const ratesync_loop *l, void *buf);
OX_API int ratesync_loop_set_state(ratesync_loop *l, const void *buf);

// The rate-synchroniser object: a matched converter and the loop.
struct ratesync;

OX_API ratesync *ratesync_create(int pulse, uint64_t span, uint64_t m, uint64_t num_phases, int ted,
                                 double sps, double beta, double bn, double zeta);
OX_API void ratesync_destroy(ratesync *p);
OX_API void ratesync_reset(ratesync *p);
OX_API size_t ratesync_steps(ratesync *p, const ox_cf32 *x, size_t n, ox_cf32 *out, size_t out_cap);
OX_API size_t ratesync_steps_max_out(const ratesync *p);
OX_API void ratesync_configure(ratesync *p, double bn, double zeta);
OX_API void ratesync_set_bn(ratesync *p, double bn);
OX_API double ratesync_get_bn(const ratesync *p);
OX_API double ratesync_get_timing_error(const ratesync *p);
OX_API double ratesync_get_rate(const ratesync *p);
OX_API double ratesync_get_ctrl(const ratesync *p);
OX_API double ratesync_get_lock_stat(const ratesync *p);
OX_API int ratesync_get_locked(const ratesync *p);
OX_API int ratesync_get_clipped(const ratesync *p);
OX_API void ratesync_configure_lock_raw(ratesync *p, uint64_t avgs, int n_up, int n_down,
                                        double up_thresh, double down_thresh);
OX_API int ratesync_set_telemetry(ratesync *p, ox_tlm *tlm, const char *prefix, int decim);
// Blob "RATS" v2: the converter's blob, then the loop's "RSLP" blob.
OX_API size_t ratesync_state_bytes(const ratesync *p);
OX_API void ratesync_get_state(const ratesync *p, void *buf);
OX_API int ratesync_set_state(ratesync *p, const void *buf);

namespace ox {

// Sign slicer of the DTTL detector: +1 for v >= 0, -1 otherwise (NaN included).
inline double ratesync_sign(float v) { return v >= 0.0f ? 1.0 : -1.0; }

// Which of the next four converter outputs the loop reads (bit k for the k-th): the on-time
// strobes and the mid-symbol samples half a symbol before them. Outputs during priming and the
// others between are only counted, so a caller that can skip filtering them (the receivers) does.
inline uint32_t ratesync_loop_wanted(const ratesync_loop *l) {
    uint64_t prime = l->prime;
    if (prime >= 4) return 0;
    const uint64_t m = l->m, half = m >> 1;
    uint64_t r = (m & (m - 1)) == 0 ? (l->counter & (m - 1)) : l->counter % m;
    uint32_t mask = 0;
    for (uint32_t k = 0; k < 4; ++k) {
        if (prime > 0) {
            --prime;
            continue;
        }
        if (r == 0 || r == half) mask |= 1u << k;
        r = r + 1 == m ? 0 : r + 1;
    }
    return mask;
}

// The bounds that keep a timing loop running whatever its input. The symbol period the loop
// tracks is [0.5, 1.5] sps, as the rate read-out is clamped: the integrator, a fractional rate
// correction u with the period sps / (1 + u), stays within [-1/3, 1]. The control adds the
// proportional step of one symbol, which during acquisition may briefly stretch a period
// further: it is held within [-1/2, 1] (periods of 0.5 to 2 sps), never near -1, where the
// converter would wait a million inputs per output. A normalised detector output has unit slope against the timing offset in
// symbols; on a signal near the matched level it stays within a few units (the eye of a
// unit-power burst at 0 dB Es/N0 gives at most about 9), so one beyond kMaxTimingError (or not
// a number) comes from a sample no signal produces and is dropped.
constexpr double kMinRateCorrection = -1.0 / 3.0;
constexpr double kMaxRateCorrection = 1.0;
constexpr double kMinControlCorrection = -0.5;
constexpr double kMaxTimingError = 64.0;

inline bool timing_error_usable(double e) { return __builtin_fabs(e) <= kMaxTimingError; }

inline double clamp_rate_correction(double u) {
    return u < kMinRateCorrection ? kMinRateCorrection : (u > kMaxRateCorrection ? kMaxRateCorrection : u);
}

// The integrator and the control within the rate clamp (the control in the converter's units:
// rate0 times the correction), so the terminal stage always yields outputs near its nominal
// rate and the loop, which updates on them, never starves.
[[gnu::noinline]] inline void ratesync_loop_bound(ratesync_loop *l) {
    const double lo = kMinControlCorrection * l->rate0, hi = kMaxRateCorrection * l->rate0;
    if (!(l->ctrl >= lo && l->ctrl <= hi)) l->ctrl = l->ctrl < lo ? lo : hi;
    l->lf.integ = clamp_rate_correction(l->lf.integ);
}

// True while the control and the integrator are inside the rate clamp (see above).
inline bool ratesync_loop_within(const ratesync_loop *l) {
    return l->ctrl >= kMinControlCorrection * l->rate0 && l->ctrl <= kMaxRateCorrection * l->rate0 &&
           l->lf.integ >= kMinRateCorrection && l->lf.integ <= kMaxRateCorrection;
}

void ratesync_loop_strobe(ratesync_loop *l, ox_cf32 c);

// One converter output through the timing loop: history, priming, strobe bookkeeping and, at an
// on-time strobe after the first, the detector, loop, rate and lock updates. Returns true when
// `c` is a recovered symbol (the caller writes it out).
inline bool ratesync_loop_push(ratesync_loop *l, ox_cf32 c) {
    const uint64_t m = l->m;
    const uint64_t half = m >> 1;
    const uint64_t keep = half + 1;
    for (uint64_t i = half; i > 0; --i) l->hist[i] = l->hist[i - 1];
    l->hist[0] = c;
    if (l->hist_fill < keep) ++l->hist_fill;
    if (l->prime > 0) {
        --l->prime;
        return false;
    }
    const uint64_t j = l->counter++;
    // m is a power of two except for 6: a mask instead of a division on the common orders.
    const bool on_time = (m & (m - 1)) == 0 ? (j & (m - 1)) == 0 : j % m == 0;
    if (!on_time || l->hist_fill < keep) return false;
    if (!l->have_prev) {
        l->have_prev = 1;
        l->prev = c;
        return false;
    }
    ratesync_loop_strobe(l, c);
    return true;
}

// The on-time strobe after the first: detector, loop, rate and lock updates on the symbol c and
// the mid-symbol sample half a symbol before it. Out of line: once per symbol, it keeps the
// per-output path above small.
[[gnu::noinline]] inline void ratesync_loop_strobe(ratesync_loop *l, ox_cf32 c) {
    const ox_cf32 mid = l->hist[l->m >> 1];
    const ox_cf32 p = l->prev;
    double r;
    if (l->ted == 1) {
        r = (ratesync_sign(c.re) - ratesync_sign(p.re)) * static_cast<double>(mid.re) +
            (ratesync_sign(c.im) - ratesync_sign(p.im)) * static_cast<double>(mid.im);
    } else {
        r = (static_cast<double>(c.re) - static_cast<double>(p.re)) * static_cast<double>(mid.re) +
            (static_cast<double>(c.im) - static_cast<double>(p.im)) * static_cast<double>(mid.im);
    }
    const double e = r * l->ted_norm;
    // A detector output beyond any the loop sees on a signal (a NaN, an infinity, or a spike
    // through the matched filter) is not fed to the filter: the control holds for this symbol.
    if (timing_error_usable(e)) [[likely]] {
        l->timing_error = e;
        l->ctrl = loop_filter_update(&l->lf, e) * l->rate0;
        if (!ratesync_loop_within(l)) [[unlikely]] ratesync_loop_bound(l);
    }
    double rate = l->sps / (l->lf.integ + 1.0);
    const double lo = 0.5 * l->sps, hi = 1.5 * l->sps;
    if (rate < lo) rate = lo;
    if (rate > hi) rate = hi;
    l->rate = rate;
    const double pc = static_cast<double>(c.re) * c.re + static_cast<double>(c.im) * c.im;
    const double pm = static_cast<double>(mid.re) * mid.re + static_cast<double>(mid.im) * mid.im;
    const double look = 2.0 * (pc - pm) / (1e-12 + pm + pc);
    if (__builtin_fabs(look) <= 2.0) [[likely]] l->block_sum += look;  // a non-finite sample makes no look
    if (++l->block_count >= l->avgs) {
        l->lock_stat = l->block_sum / static_cast<double>(l->avgs);
        lockdet_update(&l->ld, l->lock_stat);
        l->block_sum = 0.0;
        l->block_count = 0;
    }
    l->prev = c;
}

}  // namespace ox
