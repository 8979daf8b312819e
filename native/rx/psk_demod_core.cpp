#include "rx/psk_demod_core.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <new>

#include "fft/fft_core.h"
#include "loops/loop_filter_core.h"
#include "rate/lo_core.h"
#include "rate/rate_converter_core.h"
#include "rate/resamp_core.h"
#include "timing/symsync_core.h"

namespace {

constexpr ox::BlobKind kBlob{"PSKD", 1};
constexpr double kPi = 3.141592653589793;
constexpr size_t kPhases = 128;            // fractional delays of the matched bank
constexpr size_t kPushCap = 8;             // converter outputs one input can yield
constexpr double kZeta = 0.7071067811865476;
constexpr double kMaxRateDev = 0.02;       // timing integrator clamp (fractional clock error)
constexpr double kMaxCtrl = 0.1;           // timing control clamp (fractional rate)
constexpr double kLevelAttack = 0.5;       // symbol level: weight of a sample 4x above it
constexpr double kLevelTrack = 1.0 / 64;   // symbol level: ordinary weight
constexpr double kLockAlpha = 1.0 / 128;   // lock metric EMA
constexpr double kLockFastAlpha = 1.0 / 8;  // short lock metric EMA (burst end)
constexpr double kHandBack = 1.0 / 64;     // share of the phase loop's frequency moved per symbol
constexpr uint64_t kPhaseInitSymbols = 32; // symbols estimating a burst's initial phase
constexpr uint64_t kUnlockedLimit = 2000;  // symbols without lock before re-acquiring
constexpr double kQuietSymbols = 12.0;     // symbols quiet and without lock that end a burst
constexpr double kClampRatio = 1e3;        // samples above this x the burst power are clipped
constexpr int kMaxRetries = 8;             // windows tried before a stream's first floor is set
constexpr uint64_t kVerifySkip = 16;       // symbols of a dry run left out of its lock test

enum Mode : uint32_t { kIdle = 0, kFill = 1, kTrack = 2 };

// The mutable state apart from the window and the converter: the blob carries this image.
struct Vars {
    uint32_t mode;
    uint32_t floor_valid;
    uint32_t retries;
    uint32_t strobe;       // output index (mod 4) of the on-time sample
    uint64_t fill;         // samples held in the window
    uint64_t blk_cnt;      // samples in the current power block
    double blk_sum;        // power sum of the current block
    double floor;          // noise floor, mean power per sample
    double sig_pow;        // burst power per sample (clip reference, end test without a floor)
    uint64_t quiet;        // consecutive blocks at the floor while tracking
    uint64_t samples;      // inputs consumed since reset
    int64_t burst_start;
    int64_t burst_end;
    uint64_t bursts;
    uint64_t n_sym;
    uint64_t burst_sym;    // symbols of the current burst
    uint64_t unlocked_run; // consecutive symbols without carrier lock
    uint64_t counter;      // converter outputs since the converter's reset
    uint32_t hist_fill;
    uint32_t have_prev;
    ox_cf32 hist[5];       // hist[0]: the latest mid-symbol output (the rest reserved, zero)
    ox_cf32 prev;          // previous on-time output
    double ctrl;           // timing control handed to the converter (terminal-stage units)
    double t_integ;        // timing loop integrator (fractional rate)
    double c_integ;        // carrier loop integrator, radians per symbol
    double phase;          // carrier phase correction, radians
    double level;          // tracked on-time energy
    double lock_ema;
    double snr_sig;        // mean in-phase amplitude of the normalised symbols
    double snr_pow;        // mean power of the normalised symbols
    double last_err;       // last carrier phase error, radians
    uint32_t locked;
    uint32_t prev_idx;     // differential demapper reference
    uint32_t lo_phase;
    uint32_t step_run;     // consecutive blocks locked far below the burst's level (0..3)
    double lo_freq;        // oscillator frequency (the carrier), cycles per input sample
    double lock_fast;      // short lock metric EMA (end of a burst that began the stream)
    double dump_re, dump_im;  // coherent sum of the current dump (about one symbol of samples)
    double blk_det;        // dump powers of the current block
    uint64_t dump_cnt;     // samples in the current dump
    uint64_t blk_dumps;    // dumps completed in the current block
    double sig_det;        // burst's detection power (end test without a floor)
};
static_assert(std::is_trivially_copyable_v<Vars> && sizeof(Vars) == 336);

}  // namespace

struct psk_demod {
    psk_demod_params p;
    RateConverter *rc;
    fft_state_t *fft;
    double rate0;         // terminal resampler's nominal rate
    double ted_norm;      // 1 / Gardner slope
    size_t k_out;         // matched-filter outputs per symbol: 4, or 8 from 8 samples per symbol
    uint32_t want_base;   // outputs filtered: every (k_out / 2)-th, as a bit pattern
    double env_c[8], env_s[8];  // e^{-j 2 pi j / k_out}: the envelope's symbol-rate line
    resamp *term;         // the converter's terminal stage (matched filter and timing)
    bool front;           // stages in front of it
    // Caches derived from the state (never in the blob): the terminal step for a control value
    // and the oscillator increment for a frequency.
    double step_ctrl;
    ox::ResampStep step;
    double inc_freq;
    uint32_t inc;
    ox_cf64 points[8];    // the constellation
    double g_on, g_off;   // squelch ratios (start, end)
    double lock_up, lock_down;
    double verify;        // lock metric a window's dry run must reach
    size_t blk_n, dump_n, win_n, y_cap, nfft;
    loop_filter tl, cl;   // configured gains; integrators live in Vars
    Vars v;
    ox_cf32 *win;         // acquisition window (state)
    ox_cf32 *y;           // acquisition scratch: matched-filter outputs
    ox_cf32 *mspec;        // acquisition scratch: spectrum (in and out)
    float *mag;           // acquisition scratch: bin powers
    uint8_t *backup;      // converter blob kept while a restore is validated
    size_t rc_bytes;
    ox_tlm *tlm;
    int32_t probe_ids[6];
};

namespace {

constexpr const char *const kProbeSuffixes[6] = {".lock", ".freq", ".rate", ".e", ".sym.i", ".sym.q"};

inline bool finite(double v) { return std::isfinite(v); }

double wrap_pi(double a) {
    if (a > kPi && a < 3.0 * kPi) return a - 2.0 * kPi;  // the common single wrap, exactly
    if (a < -kPi && a > -3.0 * kPi) return a + 2.0 * kPi;
    if (!(std::fabs(a) <= kPi)) a = std::remainder(a, 2.0 * kPi);
    return finite(a) ? a : 0.0;
}


double constellation_offset(int m) { return m == 4 ? kPi / 4 : 0.0; }

// Symbol index of a phase: the receivers' demapping rule (nearest point, ties away from zero).
uint32_t phase_index(double phi, int m) {
    const double u = (m / (2.0 * kPi)) * (phi - constellation_offset(m));
    const double r = std::trunc(u + std::copysign(0.49999999999999994, u));
    if (!finite(r)) return 0;
    return static_cast<uint32_t>(static_cast<int64_t>(r)) & static_cast<uint32_t>(m - 1);
}

// Decision index of a symbol: the demapping rule of phase_index, by comparisons for BPSK and QPSK
// (which the rule's sectors are: BPSK index 0 for re >= 0; QPSK index 0 for the first quadrant
// with both axes' positive halves, then counterclockwise) and by the angle for 8-PSK.
uint32_t decision_index(double sr, double si, int m) {
    if (m == 2) return sr >= 0.0 ? 0u : 1u;
    if (m == 4) {
        if (si >= 0.0) return sr >= 0.0 ? 0u : 1u;
        return sr > 0.0 ? 3u : (sr < 0.0 ? 2u : 3u);
    }
    return phase_index(std::atan2(si, sr), m);
}

int bits_of(int m) { return m == 8 ? 3 : (m == 4 ? 2 : 1); }

// z^M by repeated squaring (m = 2, 4, 8), in double.
inline void mth_power(double *zr, double *zi, int m) {
    for (int q = 1; q < m; q <<= 1) {
        const double t = *zr * *zr - *zi * *zi;
        *zi = 2.0 * *zr * *zi;
        *zr = t;
    }
}

ox_cf32 mix(ox_cf32 x, uint32_t phase) {
    const float c = ox::lut_cos(phase), s = ox::lut_sin(phase);
    return {x.re * c + x.im * s, x.im * c - x.re * s};
}

ox_cf32 sanitize(ox_cf32 x) {
    if (!std::isfinite(x.re) || !std::isfinite(x.im)) return {0.0f, 0.0f};
    return x;
}

void reset_loops(psk_demod *d) {
    Vars &v = d->v;
    RateConverter_reset(d->rc);
    v.counter = 0;
    v.hist_fill = 0;
    v.have_prev = 0;
    v.step_run = 0;
    for (auto &h : v.hist) h = {0.0f, 0.0f};
    v.prev = {0.0f, 0.0f};
    v.ctrl = 0.0;
    v.t_integ = 0.0;
    v.c_integ = 0.0;
    v.phase = 0.0;
    v.lo_phase = 0;
    v.last_err = 0.0;
}

// One converter output through the timing loop; true at an on-time strobe after the first,
// with the on-time sample in *sym.
bool timing_output(psk_demod *d, ox_cf32 c, ox_cf32 *sym) {
    Vars &v = d->v;
    // The mid-symbol output (half a symbol before the next strobe) is kept in hist[0].
    const uint32_t n = static_cast<uint32_t>(d->k_out / 2 + 1);
    if (v.hist_fill < n) ++v.hist_fill;
    const uint64_t j = v.counter++;
    const uint64_t ph = j & (d->k_out - 1);
    if (ph == ((v.strobe + d->k_out / 2) & (d->k_out - 1))) {
        v.hist[0] = c;
        return false;
    }
    if (ph != v.strobe || v.hist_fill < n) return false;
    if (!v.have_prev) {
        v.have_prev = 1;
        v.prev = c;
        return false;
    }
    const ox_cf32 mid = v.hist[0];
    const double r = (static_cast<double>(c.re) - v.prev.re) * mid.re +
                     (static_cast<double>(c.im) - v.prev.im) * mid.im;
    const double lvl = v.level > 1e-30 ? v.level : 1e-30;
    double e = r * d->ted_norm / lvl;
    if (!finite(e)) e = 0.0;
    e = std::clamp(e, -1.0, 1.0);
    loop_filter lf = d->tl;
    lf.integ = v.t_integ;
    double u = ox::loop_filter_update(&lf, e);
    v.t_integ = std::clamp(lf.integ, -kMaxRateDev, kMaxRateDev);
    u = std::clamp(u, -kMaxCtrl, kMaxCtrl);
    v.ctrl = u * d->rate0;
    const double p = static_cast<double>(c.re) * c.re + static_cast<double>(c.im) * c.im;
    // Fast attack (at most doubling per symbol, so one wild sample cannot bury the symbols for
    // long), slow decay.
    if (finite(p)) {
        v.level += p > 4.0 * v.level ? (std::min(p, 3.0 * v.level) - v.level) * kLevelAttack
                                     : (p - v.level) * kLevelTrack;
        if (!(v.level > 0.0) && p > 0.0) v.level = p;
    }
    if (!finite(v.level)) v.level = 0.0;
    v.prev = c;
    *sym = c;
    return true;
}

// Pushes one (clean) input sample through oscillator and converter; calls on_strobe(c) for
// each on-time sample.
template <class OnStrobe>
void push_sample(psk_demod *d, ox_cf32 x, OnStrobe &&on_strobe) {
    Vars &v = d->v;
    ox_cf32 y = mix(x, v.lo_phase);
    if (!(v.lo_freq == d->inc_freq)) {
        d->inc_freq = v.lo_freq;
        d->inc = ox::freq_to_phase_inc(v.lo_freq);
    }
    v.lo_phase += d->inc;
    if (d->front && !ox::rc_push_front(d->rc, y, &y)) return;
    if (!(v.ctrl == d->step_ctrl)) {
        d->step_ctrl = v.ctrl;
        d->step = ox::resamp_ctrl_step(d->term, v.ctrl);
    }
    // Only the on-time and mid-symbol outputs (every k_out / 2-th) are filtered.
    const uint32_t want = d->want_base << ((v.strobe - v.counter) & (d->k_out / 2 - 1));
    ox_cf32 buf[kPushCap];
    const size_t k = ox::resamp_ctrl_push_sparse(d->term, buf, kPushCap, y, d->step, want);
    for (size_t i = 0; i < k; ++i) {
        ox_cf32 s;
        if (timing_output(d, buf[i], &s)) on_strobe(s);
    }
}

// Output side of a block call: symbols or bits, dropped past the capacity.
struct SymbolSink {
    ox_cf32 *out;
    size_t cap, n = 0;
    void put(psk_demod *, ox_cf32 s, uint32_t) {
        if (n < cap) out[n] = s;
        n += n < cap;
    }
};

struct BitSink {
    uint8_t *out;
    size_t cap, n = 0;
    void put(psk_demod *d, ox_cf32, uint32_t idx) {
        Vars &v = d->v;
        const uint32_t m = static_cast<uint32_t>(d->p.m);
        uint32_t g = idx;
        if (d->p.differential) {
            g = (idx + m - v.prev_idx) & (m - 1);
            v.prev_idx = idx;
        }
        g ^= g >> 1;
        for (int b = 0; b < bits_of(d->p.m); ++b) {
            if (n < cap) out[n++] = static_cast<uint8_t>((g >> b) & 1u);
        }
    }
};

// Dry run of a window: sums the lock metric (cosine of m times the decision error) of its
// symbols after the first few.
struct VerifySink {
    double sum = 0.0;
    uint64_t n = 0, seen = 0;
    void put(psk_demod *d, ox_cf32 s, uint32_t idx) {
        const int m = d->p.m;
        if (seen++ < kVerifySkip) return;
        const double ref = 2.0 * kPi * idx / m + (m == 4 ? kPi / 4 : 0.0);
        const double c = std::cos(m * (std::atan2(s.im, s.re) - ref));
        if (std::isfinite(c)) {
            sum += c;
            ++n;
        }
    }
};

void flush_telemetry(psk_demod *d, ox_cf32 s);

// Carrier phase loop and read-outs on one on-time sample; hands the symbol to the sink.
template <class Sink>
void carrier_symbol(psk_demod *d, ox_cf32 c, Sink &sink) {
    Vars &v = d->v;
    const int m = d->p.m;
    const uint32_t word = static_cast<uint32_t>(static_cast<int64_t>(v.phase * (4294967296.0 / (2.0 * kPi))));
    const double cr = ox::lut_cos(word), ci = ox::lut_sin(word);
    double sr = c.re * cr + c.im * ci, si = c.im * cr - c.re * ci;
    if (!finite(sr) || !finite(si)) sr = si = 0.0;  // a wild sample's overflow: a null symbol
    const uint32_t idx = decision_index(sr, si, m);
    // Phase error: the sine of the angle from the decision (s times the conjugate point).
    const ox_cf64 ref = d->points[idx];
    const double mag = std::sqrt(sr * sr + si * si);
    const double err = mag > 0.0 ? (si * ref.re - sr * ref.im) / mag : 0.0;
    loop_filter lf = d->cl;
    lf.integ = v.c_integ;
    const double u = ox::loop_filter_update(&lf, err);
    v.c_integ = std::clamp(lf.integ, -0.5, 0.5);
    v.phase = wrap_pi(v.phase + (finite(u) ? std::clamp(u, -1.0, 1.0) : 0.0));
    // Hand the loop's frequency back to the oscillator in front of the matched filter.
    const double h = v.c_integ * kHandBack;
    v.c_integ -= h;
    v.lo_freq += h / (2.0 * kPi * d->p.sps);
    if (!(std::fabs(v.lo_freq) < 0.5)) v.lo_freq = d->p.init_norm_freq;
    v.last_err = err;
    // Lock metric: cosine of m times the decision error.
    // cos(m x error) = Re((s / |s|)^m e^{-j m offset}); e^{-j m offset} is -1 for QPSK, else 1.
    double zr = mag > 0.0 ? sr / mag : 0.0, zi = mag > 0.0 ? si / mag : 0.0;
    mth_power(&zr, &zi, m);
    const double metric = m == 4 ? -zr : zr;
    v.lock_ema += (metric - v.lock_ema) * kLockAlpha;
    v.lock_fast += (metric - v.lock_fast) * kLockFastAlpha;
    if (!finite(v.lock_ema)) v.lock_ema = 0.0;
    if (!finite(v.lock_fast)) v.lock_fast = 0.0;
    if (v.lock_ema > d->lock_up) v.locked = 1;
    if (v.lock_ema < d->lock_down) v.locked = 0;
    v.unlocked_run = v.lock_ema < d->lock_down ? v.unlocked_run + 1 : 0;
    // Unit-energy symbol and the burst's Es/N0 estimate.
    const double g = v.level > 1e-30 ? 1.0 / std::sqrt(v.level) : 0.0;
    const ox_cf32 s{static_cast<float>(sr * g), static_cast<float>(si * g)};
    const double a = (sr * ref.re + si * ref.im) * g;
    const double pw = (sr * sr + si * si) * g * g;
    const double w = 1.0 / static_cast<double>(std::min<uint64_t>(v.burst_sym + 1, 256));
    if (finite(a) && finite(pw)) {
        v.snr_sig += (a - v.snr_sig) * w;
        v.snr_pow += (pw - v.snr_pow) * w;
    }
    ++v.burst_sym;
    ++v.n_sym;
    sink.put(d, s, idx);
    if (d->tlm) flush_telemetry(d, s);
}

// Mean power per sample of the window, and its detection power (as the blocks measure it).
double window_power(const psk_demod *d, double *det) {
    double acc = 0.0, dsum = 0.0, dr = 0.0, di = 0.0;
    size_t dumps = 0;
    for (size_t i = 0; i < d->win_n; ++i) {
        acc += static_cast<double>(d->win[i].re) * d->win[i].re + static_cast<double>(d->win[i].im) * d->win[i].im;
        dr += d->win[i].re;
        di += d->win[i].im;
        if ((i + 1) % d->dump_n == 0) {
            dsum += dr * dr + di * di;
            dr = di = 0.0;
            ++dumps;
        }
    }
    *det = dumps ? dsum / static_cast<double>(dumps * d->dump_n) : 0.0;
    return acc / static_cast<double>(d->win_n);
}


// Peak of |mspec|^2 within +-half bins of 0; false unless it stands line_db above the median.
// *pos is the interpolated peak in bins (signed).
bool spectral_line(psk_demod *d, int64_t half, double *pos) {
    const int64_t n = static_cast<int64_t>(d->nfft);
    half = std::min<int64_t>(half, n / 2 - 2);
    int64_t best = 0;
    float peak = -1.0f;
    size_t cnt = 0;
    for (int64_t b = -half; b <= half; ++b) {
        const ox_cf32 z = d->mspec[(b + n) % n];
        const float p = z.re * z.re + z.im * z.im;
        d->mag[cnt++] = p;
        if (p > peak) {
            peak = p;
            best = b;
        }
    }
    std::nth_element(d->mag, d->mag + cnt / 2, d->mag + cnt);
    const double median = d->mag[cnt / 2];
    if (!(peak > 0.0f) || !(peak > median * std::pow(10.0, d->p.line_db / 10.0))) return false;
    // Interpolated from the complex bins around the peak.
    const ox_cf32 a = d->mspec[(best - 1 + n) % n], b = d->mspec[(best + n) % n], c = d->mspec[(best + 1 + n) % n];
    const double nr = a.re - c.re, ni = a.im - c.im;
    const double dr = 2.0 * b.re - a.re - c.re, di = 2.0 * b.im - a.im - c.im;
    const double den = dr * dr + di * di;
    double delta = den > 0.0 ? (nr * dr + ni * di) / den : 0.0;
    if (!finite(delta)) delta = 0.0;
    *pos = static_cast<double>(best) + std::clamp(delta, -0.5, 0.5);
    return true;
}

// Coarse timing from the squared envelope of the matched filter's outputs, coarse carrier from
// the M-th power spectrum of the on-time outputs (modulo the symbol rate over m, where the
// symbol-spaced line is unambiguous) and, among the candidates that differ by multiples of the
// symbol rate over m within the search range, the one whose line is strongest at the filter's
// full output rate. False when no line stands above the spectrum's median.
// The window through a freshly reset converter with the oscillator at `freq` and no timing
// control; returns the number of matched-filter outputs stored in d->y.
size_t filter_window(psk_demod *d, double freq) {
    Vars &v = d->v;
    reset_loops(d);
    v.lo_freq = freq;
    size_t ny = 0;
    for (size_t i = 0; i < d->win_n; ++i) {
        const ox_cf32 y = mix(d->win[i], v.lo_phase);
        v.lo_phase += ox::freq_to_phase_inc(v.lo_freq);
        ox_cf32 buf[kPushCap];
        const size_t k = RateConverter_execute_ctrl_push(d->rc, buf, kPushCap, y, 0.0);
        for (size_t j = 0; j < k && ny < d->y_cap; ++j) d->y[ny++] = buf[j];
    }
    return ny;
}

// Normalised M-th power of each on-time output (index st, st + 4, ...) into d->mspec; returns
// the count and adds them up into *sum.
size_t ontime_mth_power(psk_demod *d, size_t ny, uint32_t st, ox_cf64 *sum) {
    const int m = d->p.m;
    size_t ns = 0;
    double ar = 0.0, ai = 0.0;
    for (size_t j = st; j < ny; j += d->k_out) {
        double zr = d->y[j].re, zi = d->y[j].im;
        const double mag = std::sqrt(zr * zr + zi * zi);
        mth_power(&zr, &zi, m);
        const double sc = mag > 0.0 ? 1.0 / std::pow(mag, m - 1) : 0.0;
        const float fr = static_cast<float>(zr * sc), fi = static_cast<float>(zi * sc);
        d->mspec[ns] = {std::isfinite(fr) ? fr : 0.0f, std::isfinite(fi) ? fi : 0.0f};
        ar += d->mspec[ns].re;
        ai += d->mspec[ns].im;
        ++ns;
    }
    *sum = {ar, ai};
    return ns;
}

// Coarse timing from the squared envelope of the matched filter's outputs, coarse carrier from
// the M-th power spectrum of the on-time outputs. That line is unambiguous only modulo the
// symbol rate over m; where the search range holds several candidates, the window is filtered
// again at each and the one whose symbols give the strongest M-th power line wins (a carrier
// off by a multiple of the symbol rate over m is mismatched to the filter and spreads the
// symbols). False when no line stands above the spectrum's median.
bool coarse_estimates(psk_demod *d, double *df, uint32_t *strobe) {
    const int m = d->p.m;
    const double f0 = d->p.init_norm_freq;
    const size_t ny = filter_window(d, f0);
    double ex = 0.0, ey = 0.0, pw = 0.0;
    for (size_t j = 0; j < ny; ++j) {
        const double p = static_cast<double>(d->y[j].re) * d->y[j].re +
                         static_cast<double>(d->y[j].im) * d->y[j].im;
        pw += p;
        ex += p * d->env_c[j & (d->k_out - 1)];
        ey += p * d->env_s[j & (d->k_out - 1)];
    }
    if (!(pw > 0.0) || !finite(pw)) return false;
    const double tau = -std::atan2(ey, ex) / (2.0 * kPi) * static_cast<double>(d->k_out);
    const uint32_t st = static_cast<uint32_t>(static_cast<int64_t>(std::lround(tau)) & (d->k_out - 1));
    ox_cf64 sum;
    const size_t ns = ontime_mth_power(d, ny, st, &sum);
    for (size_t j = ns; j < d->nfft; ++j) d->mspec[j] = {0.0f, 0.0f};
    if (fft_execute_inplace_cf32(d->fft, d->mspec, d->nfft, d->mspec, d->nfft) != d->nfft) return false;
    const double reach = m * d->p.search;  // cycles per symbol in the M-th power domain
    double pos;
    if (!spectral_line(d, static_cast<int64_t>(std::min(reach, 0.5) * d->nfft), &pos)) return false;
    const double f_m = pos / static_cast<double>(d->nfft);
    const int k_lo = static_cast<int>(std::ceil(-reach - f_m)), k_hi = static_cast<int>(std::floor(reach - f_m));
    double best_f = f_m;
    if (k_hi > k_lo) {
        double best_g = -1.0;
        for (int k = k_lo; k <= k_hi; ++k) {
            const double f = (f_m + k) / m / d->p.sps;
            ox_cf64 s;
            ontime_mth_power(d, filter_window(d, f0 + f), st, &s);
            const double g = s.re * s.re + s.im * s.im;
            if (g > best_g) {
                best_g = g;
                best_f = f_m + k;
            }
        }
    }
    *df = best_f / m / d->p.sps;
    *strobe = st;
    return true;
}

// Initial carrier phase and symbol level from the first symbols of the window (timing loop
// running, carrier loop not yet).
void initial_phase(psk_demod *d) {
    Vars &v = d->v;
    const int m = d->p.m;
    double sr = 0.0, si = 0.0, pw = 0.0;
    uint64_t got = 0;
    for (size_t i = 0; i < d->win_n && got < kPhaseInitSymbols; ++i) {
        push_sample(d, d->win[i], [&](ox_cf32 c) {
            double zr = c.re, zi = c.im;
            for (int q = 1; q < m; q <<= 1) {
                const double t = zr * zr - zi * zi;
                zi = 2.0 * zr * zi;
                zr = t;
            }
            sr += zr;
            si += zi;
            pw += static_cast<double>(c.re) * c.re + static_cast<double>(c.im) * c.im;
            ++got;
        });
    }
    const double ph = (std::atan2(si, sr) - m * constellation_offset(m)) / m;
    v.phase = wrap_pi(ph);
    v.level = got ? pw / static_cast<double>(got) : 0.0;
}

template <class Sink>
void track_sample(psk_demod *d, ox_cf32 x, Sink &sink);

// Loops back to the start of a burst: converter and timing reset, oscillator at the burst's
// carrier, phase and level from the window's first symbols.
void start_loops(psk_demod *d, double freq, uint32_t strobe, double phase, double level) {
    Vars &v = d->v;
    reset_loops(d);
    v.strobe = strobe;
    v.lo_freq = freq;
    v.phase = phase;
    v.level = level;
    v.burst_sym = 0;
    v.unlocked_run = 0;
    v.locked = 0;
    v.lock_ema = 0.0;
    v.lock_fast = 1.0;
    v.snr_sig = 0.0;
    v.snr_pow = 0.0;
    v.prev_idx = 0;
}

// No PSK signal in the window: what was heard (detection power pwin) sets or raises the floor.
// Once a floor is known, a window that fails is first tried again half a window later (its
// second half and the next half window) before the floor moves: a burst whose start ramps up
// slowly, or that began late in the window, fills only the window's end, and its first symbols
// would otherwise be lost with the whole window.
void acquisition_failed(psk_demod *d, double pwin) {
    Vars &v = d->v;
    if (v.floor_valid && v.retries == 0) {
        const size_t half = d->win_n / 2;
        std::memmove(d->win, d->win + (d->win_n - half), half * sizeof(ox_cf32));
        v.fill = half;
        v.retries = 1;
        v.mode = kFill;
        return;
    }
    if (v.floor_valid) {
        v.retries = 0;
        v.floor += (pwin - v.floor) * 0.25;
    } else if (++v.retries >= kMaxRetries) {
        v.floor = pwin;
        v.floor_valid = 1;
        v.retries = 0;  // counts the second tries of a known floor from here on
    }
    if (!finite(v.floor)) v.floor = 0.0;
    if (v.floor_valid) {
        // Keep the partial block at the window's end as the detector's first samples.
        v.mode = kIdle;
        std::memmove(d->win, d->win + (d->win_n - v.blk_cnt), v.blk_cnt * sizeof(ox_cf32));
        v.fill = v.blk_cnt;
    } else {
        v.fill = 0;
    }
}

// The window is full: acquire (coarse estimates, then a dry run of the tracking chain over the
// window whose lock metric must confirm a PSK signal), and on success replay the window through
// the tracking chain into the output.
template <class Sink>
void acquire(psk_demod *d, Sink &sink) {
    Vars &v = d->v;
    const Vars entry = v;
    double pdet;
    const double pwin = window_power(d, &pdet);
    double df = 0.0;
    uint32_t strobe = 0;
    bool ok = coarse_estimates(d, &df, &strobe);
    const double freq = d->p.init_norm_freq + df;
    double phase0 = 0.0, level0 = 0.0;
    if (ok) {
        start_loops(d, freq, strobe, 0.0, 0.0);
        initial_phase(d);
        phase0 = v.phase;
        level0 = v.level;
        start_loops(d, freq, strobe, phase0, level0);
        ox_tlm *tlm = d->tlm;
        d->tlm = nullptr;
        VerifySink check;
        for (size_t i = 0; i < d->win_n; ++i) track_sample(d, d->win[i], check);
        d->tlm = tlm;
        ok = check.n > 0 && check.sum / static_cast<double>(check.n) > d->verify;
    }
    v = entry;
    if (!ok) {
        acquisition_failed(d, pdet);
        return;
    }
    start_loops(d, freq, strobe, phase0, level0);
    v.mode = kTrack;
    v.retries = 0;
    v.quiet = 0;
    v.sig_pow = pwin;
    v.sig_det = pdet;
    v.burst_start = static_cast<int64_t>(v.samples) - static_cast<int64_t>(d->win_n);
    v.burst_end = -1;
    ++v.bursts;
    for (size_t i = 0; i < d->win_n; ++i) track_sample(d, d->win[i], sink);
}

template <class Sink>
void track_sample(psk_demod *d, ox_cf32 x, Sink &sink) {
    push_sample(d, x, [&](ox_cf32 c) { carrier_symbol(d, c, sink); });
}

void end_burst(psk_demod *d, uint64_t quiet_samples) {
    Vars &v = d->v;
    v.burst_end = static_cast<int64_t>(v.samples - std::min(quiet_samples, v.samples));
    v.mode = v.floor_valid ? kIdle : kFill;
    v.fill = 0;
    v.quiet = 0;
}

// The noise floor from block powers: an unbiased average over about 16 blocks, which jumps down
// at once when the power falls 20 dB (a squelched front end going silent gives exact zeros: a
// floor of 0, which any burst exceeds).
void follow_floor(Vars &v, double p) {
    if (v.floor < 0.0 || p < 0.01 * v.floor) v.floor = p;
    else v.floor += (p - v.floor) * (1.0 / 16);
}

// End of a power block: burst detection while idle, end of burst while tracking.
// p: detection power (dumps), ps: mean power per sample.
void block_done(psk_demod *d, double p, double ps) {
    Vars &v = d->v;
    if (v.mode == kIdle) {
        if (p > v.floor * d->g_on) {
            v.mode = kFill;  // the window already holds this block and the one before
            return;
        }
        follow_floor(v, p);
        if (v.fill >= 2 * d->blk_n) {
            std::memmove(d->win, d->win + (v.fill - d->blk_n), d->blk_n * sizeof(ox_cf32));
            v.fill = d->blk_n;
        }
        return;
    }
    if (v.mode == kFill && !v.floor_valid) {
        // No floor yet: the quietest block so far stands for it until the power rises
        // squelch_db above it; from then on it is the floor, and the window restarts one block
        // before the rise.
        if (v.floor >= 0.0 && p > v.floor * d->g_on) {
            v.floor_valid = 1;
            v.retries = 0;
            const size_t keep = std::min<size_t>(v.fill, 2 * d->blk_n);
            std::memmove(d->win, d->win + (v.fill - keep), keep * sizeof(ox_cf32));
            v.fill = keep;
        } else {
            follow_floor(v, p);
        }
        return;
    }
    if (v.mode != kTrack) return;
    // The burst's power follows slowly, and at most 4x per block, so that one wild sample
    // cannot move it far.
    v.sig_pow += (std::min(ps, 4.0 * v.sig_pow) - v.sig_pow) * 0.05;
    // The burst's detection level stays put while the power is far below it (a quiet stretch
    // must not become the burst's own level).
    if (p > v.sig_det / d->g_on) v.sig_det += (std::min(p, 4.0 * v.sig_det) - v.sig_det) * 0.05;
    if (!finite(v.sig_pow)) v.sig_pow = 0.0;
    if (!finite(v.sig_det)) v.sig_det = 0.0;
    // Quiet: back at the floor, or well below the burst's power, with the symbols gone (a burst
    // that steps down in power, noise and all, keeps its lock and goes on). The burst ends after
    // three quiet blocks in a row.
    const bool at_floor = v.floor_valid && p <= v.floor * d->g_off;
    const bool low = at_floor || p <= v.sig_det / d->g_on;
    // Still locked three blocks after falling far below the burst's level: the burst stepped
    // down in power. Its level and the symbols' follow at once (the symbol level alone would
    // take hundreds of symbols).
    v.step_run = low && v.lock_fast >= d->lock_up ? v.step_run + 1 : 0;
    if (v.step_run >= 3) {
        if (p > 0.0 && v.sig_det > 0.0) {
            v.level *= std::max(p / v.sig_det, 1e-4);
            v.sig_det = p;
        }
        v.step_run = 0;
    }
    // At the floor a lock metric below the lock threshold will do; merely far below the burst's
    // level it must have dropped below the unlock threshold.
    const bool gone = v.lock_fast < (at_floor ? d->lock_up : d->lock_down);
    v.quiet = low && gone ? v.quiet + 1 : 0;
    if (static_cast<double>(v.quiet * d->blk_n) < kQuietSymbols * d->p.sps) return;
    if (v.floor_valid) {
        end_burst(d, v.quiet * d->blk_n);
        // Power far below the floor the burst was found on: the front end's level moved, and a
        // weaker signal may go on; the next window is tested before the floor is trusted.
        if (p * d->g_on * d->g_on < v.floor) v.mode = kFill;
    } else {
        // No floor known yet (the stream began inside this burst): a power drop ends the burst
        // only once the symbols are gone too, and the level it dropped to is the floor.
        // A weaker signal may go on: the next window is tested before the floor is trusted.
        end_burst(d, v.quiet * d->blk_n);
        v.floor = p;
        v.floor_valid = 1;
        v.mode = kFill;
    }
}

template <class Sink>
void run(psk_demod *d, const ox_cf32 *x, size_t n, Sink &sink) {
    Vars &v = d->v;
    for (size_t i = 0; i < n; ++i) {
        ox_cf32 s = sanitize(x[i]);
        double p = static_cast<double>(s.re) * s.re + static_cast<double>(s.im) * s.im;
        if (v.mode == kTrack && p > kClampRatio * v.sig_pow) {
            const double lim = kClampRatio * v.sig_pow;
            const float g = static_cast<float>(p > 0.0 ? std::sqrt(lim / p) : 0.0);
            s = {s.re * g, s.im * g};
            p = static_cast<double>(s.re) * s.re + static_cast<double>(s.im) * s.im;
        }
        ++v.samples;
        if (v.mode == kTrack) {
            track_sample(d, s, sink);
            if (v.mode == kTrack && v.unlocked_run > kUnlockedLimit) {
                end_burst(d, 0);
                v.mode = kFill;  // re-acquire on a fresh window
            }
        } else {
            if (v.fill >= d->win_n) v.fill = 0;  // unreachable from a consistent state
            d->win[v.fill++] = s;
            if (v.mode == kFill && v.fill >= d->win_n) acquire(d, sink);
        }
        v.blk_sum += p;
        v.dump_re += s.re;
        v.dump_im += s.im;
        if (++v.dump_cnt >= d->dump_n) {
            v.blk_det += v.dump_re * v.dump_re + v.dump_im * v.dump_im;
            ++v.blk_dumps;
            v.dump_re = v.dump_im = 0.0;
            v.dump_cnt = 0;
        }
        if (++v.blk_cnt >= d->blk_n) {
            const double bp = v.blk_sum / static_cast<double>(d->blk_n);
            const double dp = v.blk_dumps ? v.blk_det / static_cast<double>(v.blk_dumps * d->dump_n) : 0.0;
            v.blk_sum = v.blk_det = 0.0;
            v.blk_cnt = v.blk_dumps = 0;
            block_done(d, finite(dp) ? dp : 0.0, finite(bp) ? bp : 0.0);
        }
    }
}

void flush_telemetry(psk_demod *d, ox_cf32 s) {
    const double values[6] = {d->v.lock_ema, psk_demod_get_norm_freq(d), psk_demod_get_timing_rate(d),
                              d->v.last_err, s.re, s.im};
    ox::tlm_flush(d->tlm, d->probe_ids, values, 6);
}

size_t next_pow2(size_t n) {
    size_t p = 1;
    while (p < n) p <<= 1;
    return p;
}

void start_state(psk_demod *d) {
    Vars &v = d->v;
    std::memset(&v, 0, sizeof(v));
    reset_loops(d);
    v.mode = kFill;
    v.floor = -1.0;  // no block seen yet
    v.burst_start = -1;
    v.burst_end = -1;
    v.lo_freq = d->p.init_norm_freq;
}

}  // namespace

void psk_demod_default_params(psk_demod_params *p) {
    p->m = 4;
    p->differential = 0;
    p->sps = 8.0;
    p->rrc_beta = 0.35;
    p->rrc_span = 3;
    p->acq_symbols = 0;
    p->bn_timing = 0.002;
    p->bn_carrier = 0.005;
    p->squelch_db = 6.0;
    p->search = 0.25;
    p->init_norm_freq = 0.0;
    p->line_db = 0.0;
}

const char *psk_demod_invalid(const psk_demod_params *p) {
    if (!p) return "parameters missing";
    if (p->m != 2 && p->m != 4 && p->m != 8) return "m must be 2, 4 or 8";
    if (p->differential != 0 && p->differential != 1) return "differential must be 0 or 1";
    if (!(p->sps >= 2.0 && p->sps <= 1024.0)) return "sps must be in [2, 1024]";
    if (!(p->rrc_beta > 0.0 && p->rrc_beta <= 1.0)) return "rrc_beta must be in (0, 1]";
    if (p->rrc_span < 1 || p->rrc_span > 16) return "rrc_span must be in [1, 16]";
    if (p->acq_symbols != 0 && (p->acq_symbols < 32 || p->acq_symbols > 1024))
        return "acq_symbols must be 0 (automatic) or in [32, 1024]";
    if (!(p->bn_timing > 0.0 && p->bn_timing <= 0.1)) return "bn_timing must be in (0, 0.1]";
    if (!(p->bn_carrier > 0.0 && p->bn_carrier <= 0.2)) return "bn_carrier must be in (0, 0.2]";
    if (!(p->squelch_db >= 1.0 && p->squelch_db <= 40.0)) return "squelch_db must be in [1, 40]";
    if (!(p->search > 0.0 && p->search <= 0.25)) return "search must be in (0, 0.25]";
    if (!(std::fabs(p->init_norm_freq) < 0.5)) return "init_norm_freq must be in (-0.5, 0.5)";
    if (p->line_db != 0.0 && !(p->line_db >= 6.0 && p->line_db <= 40.0))
        return "line_db must be 0 (automatic) or in [6, 40]";
    return nullptr;
}

psk_demod *psk_demod_create(const psk_demod_params *p) {
    if (psk_demod_invalid(p)) return nullptr;
    auto *d = new (std::nothrow) psk_demod{};
    if (!d) return nullptr;
    d->p = *p;
    // 8-PSK's M-th power line is the weakest: it gets the longer window.
    if (d->p.acq_symbols == 0) d->p.acq_symbols = p->m == 8 ? 256 : 128;
    // 8-PSK's line is weaker; its dry run's lock test (below) is the stricter one.
    if (d->p.line_db == 0.0) d->p.line_db = p->m == 8 ? 11.0 : 13.0;
    // 8 outputs per symbol from 8 samples per symbol keeps the converter a single polyphase
    // stage up to 16; below, 4.
    d->k_out = 8;
    d->want_base = d->k_out == 8 ? 0x11111111u : 0x55555555u;
    for (size_t j = 0; j < d->k_out; ++j) {
        d->env_c[j] = std::cos(2.0 * kPi * j / d->k_out);
        d->env_s[j] = -std::sin(2.0 * kPi * j / d->k_out);
    }
    d->rc = RateConverter_create_matched(1, OX_RC_PULSE_RRC, static_cast<size_t>(p->rrc_span), kPhases,
                                         static_cast<double>(d->k_out) / p->sps, p->rrc_beta,
                                         static_cast<double>(d->k_out));
    // Detection power: coherent dumps of about one symbol (the signal's band gains about
    // 8 dB over the full band at 8 samples per symbol), averaged over blocks of 4 symbols.
    d->dump_n = std::max<size_t>(1, static_cast<size_t>(std::lround(p->sps)));
    d->blk_n = 4 * d->dump_n;
    d->win_n = static_cast<size_t>(std::ceil(d->p.acq_symbols * p->sps));
    d->y_cap = static_cast<size_t>(std::ceil(d->win_n * static_cast<double>(d->k_out) / p->sps)) + 16;
    d->nfft = next_pow2(2 * d->y_cap);
    d->fft = fft_create(d->nfft, -1, 1);
    d->win = static_cast<ox_cf32 *>(std::calloc(d->win_n, sizeof(ox_cf32)));
    d->y = static_cast<ox_cf32 *>(std::calloc(d->y_cap, sizeof(ox_cf32)));
    d->mspec = static_cast<ox_cf32 *>(std::calloc(d->nfft, sizeof(ox_cf32)));
    d->mag = static_cast<float *>(std::calloc(d->nfft, sizeof(float)));
    d->rc_bytes = d->rc ? RateConverter_state_bytes(d->rc) : 0;
    d->backup = static_cast<uint8_t *>(std::malloc(d->rc_bytes ? d->rc_bytes : 1));
    if (!d->rc || !d->fft || !d->win || !d->y || !d->mspec || !d->mag || !d->backup) {
        psk_demod_destroy(d);
        return nullptr;
    }
    const ox::RcTerminal term = ox::rc_terminal(d->rc);
    if (!term.stage) {
        psk_demod_destroy(d);
        return nullptr;
    }
    d->term = term.stage;
    d->front = term.front > 0;
    d->rate0 = resamp_get_rate(term.stage);
    d->step_ctrl = NAN;
    d->inc_freq = NAN;
    for (int i = 0; i < p->m; ++i) {
        const double a = 2.0 * kPi * i / p->m + constellation_offset(p->m);
        d->points[i] = {std::cos(a), std::sin(a)};
    }
    const double slope = symsync_ted_slope(0, 1, p->rrc_span, p->rrc_beta);
    d->ted_norm = slope > 0.0 ? 1.0 / slope : 1.0;
    d->g_on = std::pow(10.0, p->squelch_db / 10.0);
    d->g_off = std::pow(10.0, p->squelch_db / 20.0);
    d->lock_up = p->m == 2 ? 0.5 : (p->m == 4 ? 0.35 : 0.15);
    d->lock_down = 0.5 * d->lock_up;
    d->verify = p->m == 2 ? 0.3 : (p->m == 4 ? 0.25 : 0.17);
    loop_filter_init(&d->tl, p->bn_timing, kZeta, 1.0);
    loop_filter_init(&d->cl, p->bn_carrier, kZeta, 1.0);
    ox::lo_build_table();
    start_state(d);
    return d;
}

void psk_demod_destroy(psk_demod *d) {
    if (!d) return;
    RateConverter_destroy(d->rc);
    fft_destroy(d->fft);
    std::free(d->win);
    std::free(d->y);
    std::free(d->mspec);
    std::free(d->mag);
    std::free(d->backup);
    delete d;
}

void psk_demod_reset(psk_demod *d) {
    start_state(d);
    std::memset(d->win, 0, d->win_n * sizeof(ox_cf32));
}

size_t psk_demod_steps(psk_demod *d, const ox_cf32 *x, size_t n, ox_cf32 *out, size_t cap) {
    SymbolSink sink{out, cap};
    run(d, x, n, sink);
    return std::min(sink.n, cap);
}

size_t psk_demod_bits(psk_demod *d, const ox_cf32 *x, size_t n, uint8_t *out, size_t cap) {
    BitSink sink{out, cap};
    run(d, x, n, sink);
    return sink.n;
}

// Every input is tracked at most once (directly, or replayed from the window that held it),
// and the timing control keeps the symbol period above 0.9 sps: a call over n inputs yields at
// most (n + window) / (0.9 sps) symbols plus a few per acquisition. With sps >= 2 that stays
// below max(n, 3 x window symbols + 64).
size_t psk_demod_steps_max_out(const psk_demod *d) {
    return 3 * static_cast<size_t>(d->p.acq_symbols) + 64;
}

size_t psk_demod_bits_max_out(const psk_demod *d) {
    return psk_demod_steps_max_out(d) * static_cast<size_t>(bits_of(d->p.m));
}

int psk_demod_get_locked(const psk_demod *d) { return d->v.mode == kTrack && d->v.locked ? 1 : 0; }
double psk_demod_get_norm_freq(const psk_demod *d) {
    return d->v.lo_freq + d->v.c_integ / (2.0 * kPi * d->p.sps);
}
double psk_demod_get_timing_rate(const psk_demod *d) { return d->p.sps / (1.0 + d->v.t_integ); }
double psk_demod_get_snr_db(const psk_demod *d) {
    const double s2 = d->v.snr_sig * d->v.snr_sig;
    const double noise = d->v.snr_pow - s2;
    if (!(s2 > 0.0)) return -INFINITY;
    if (!(noise > 0.0)) return INFINITY;
    return 10.0 * std::log10(s2 / noise);
}
int psk_demod_get_in_burst(const psk_demod *d) { return d->v.mode == kTrack ? 1 : 0; }
uint64_t psk_demod_get_bursts(const psk_demod *d) { return d->v.bursts; }
uint64_t psk_demod_get_n_sym(const psk_demod *d) { return d->v.n_sym; }
int64_t psk_demod_get_burst_start(const psk_demod *d) { return d->v.burst_start; }
int64_t psk_demod_get_burst_end(const psk_demod *d) { return d->v.burst_end; }
uint64_t psk_demod_get_samples(const psk_demod *d) { return d->v.samples; }
double psk_demod_get_noise_floor(const psk_demod *d) { return d->v.floor_valid ? d->v.floor : NAN; }
int psk_demod_get_m(const psk_demod *d) { return d->p.m; }
double psk_demod_get_sps(const psk_demod *d) { return d->p.sps; }

int psk_demod_set_telemetry(psk_demod *d, ox_tlm *tlm, const char *prefix, int decim) {
    if (decim <= 0 && tlm) return OX_EINVAL;
    return ox::tlm_attach(&d->tlm, d->probe_ids, tlm, prefix, "demod", kProbeSuffixes,
                          static_cast<uint32_t>(decim));
}

size_t psk_demod_state_bytes(const psk_demod *d) {
    return ox::kBlobHeaderBytes + sizeof(Vars) + d->win_n * sizeof(ox_cf32) + d->rc_bytes;
}

void psk_demod_get_state(const psk_demod *d, void *buf) {
    ox::blob_write_header(buf, kBlob, static_cast<uint32_t>(psk_demod_state_bytes(d)));
    ox::BlobWriter w(static_cast<uint8_t *>(buf) + ox::kBlobHeaderBytes);
    w.bytes(&d->v, sizeof(Vars));
    w.bytes(d->win, d->win_n * sizeof(ox_cf32));
    RateConverter_get_state(d->rc, w.pos());
}

namespace {

// Every field that selects a code path or indexes an array is in range, and every real is finite.
bool vars_ok(const psk_demod *d, const Vars &v) {
    if (v.mode > kTrack || v.floor_valid > 1 || v.retries >= kMaxRetries || v.strobe >= d->k_out ||
        v.hist_fill > d->k_out / 2 + 1 || v.burst_sym >= (uint64_t{1} << 62) || v.step_run > 2 || v.have_prev > 1 || v.locked > 1 || v.prev_idx >= static_cast<uint32_t>(d->p.m))
        return false;
    if (v.blk_cnt >= d->blk_n || v.dump_cnt >= d->dump_n || v.blk_dumps > 4) return false;
    if (v.mode == kFill && v.fill >= d->win_n) return false;
    if (v.mode == kIdle && v.fill >= 2 * d->blk_n) return false;
    if (v.fill > d->win_n) return false;
    const double reals[] = {v.blk_sum, v.floor,   v.sig_pow, v.ctrl,    v.t_integ, v.c_integ,
                            v.phase,   v.level,   v.lock_ema, v.snr_sig, v.snr_pow, v.last_err, v.lock_fast,
                            v.dump_re, v.dump_im, v.blk_det, v.sig_det};
    for (double r : reals)
        if (!finite(r)) return false;
    if (v.floor < (v.floor_valid ? 0.0 : -1.0) || v.sig_pow < 0.0 || v.level < 0.0 || v.blk_sum < 0.0 ||
        v.blk_det < 0.0 || v.sig_det < 0.0)
        return false;
    if (std::fabs(v.t_integ) > kMaxRateDev || std::fabs(v.ctrl) > kMaxCtrl * d->rate0 * 1.000001 ||
        std::fabs(v.c_integ) > 0.5 || std::fabs(v.phase) > kPi)
        return false;
    if (!(std::fabs(v.lo_freq) < 0.5)) return false;
    return true;
}

}  // namespace

int psk_demod_set_state(psk_demod *d, const void *buf) {
    const size_t total = psk_demod_state_bytes(d);
    if (!buf || total > UINT32_MAX || !ox::blob_header_ok(buf, kBlob, static_cast<uint32_t>(total)))
        return OX_EINVAL;
    ox::BlobReader rd(static_cast<const uint8_t *>(buf) + ox::kBlobHeaderBytes);
    Vars v;
    rd.bytes(&v, sizeof(Vars));
    if (!vars_ok(d, v)) return OX_EINVAL;
    const uint8_t *win = rd.pos();
    const uint8_t *rc_blob = win + d->win_n * sizeof(ox_cf32);
    RateConverter_get_state(d->rc, d->backup);
    if (RateConverter_set_state(d->rc, rc_blob) != OX_OK) {
        RateConverter_set_state(d->rc, d->backup);
        return OX_EINVAL;
    }
    d->v = v;
    std::memcpy(d->win, win, d->win_n * sizeof(ox_cf32));
    return OX_OK;
}
