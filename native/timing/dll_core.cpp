#include "timing/dll_core.h"

#include <algorithm>
#include <climits>
#include <initializer_list>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "common/ox_simd.h"

#include "loops/detstat_core.h"
#include "ox_tlm/ox_tlm_core.h"

namespace simd = ox::simd;

namespace {

constexpr ox::BlobKind kDllBlob{"DLL ", 9};
constexpr size_t kImageBytes = offsetof(dll, replica_table);         // 568
constexpr size_t kFixedBytes = ox::kBlobHeaderBytes + kImageBytes;  // 584
static_assert(kImageBytes == 568 && kFixedBytes == 584);
constexpr uint64_t kBlobMax = 0xFFFFFFFFu;  // the header's total-length field is 32-bit

constexpr double kTwo32 = 4294967296.0;
constexpr double kHypAlpha = 0.03125;        // EMA coefficient of the hypothesis powers
constexpr uint64_t kTableMaxChips = uint64_t{1} << 20;
constexpr double kExactMaxChips = 1048576.0;  // |tap offset| bound of the exact path, chips
constexpr const char *kProbeSuffixes[DLL_N_PROBES] = {".e", ".rate", ".lock", ".locked"};

// ---------------------------------------------------------------------------------------------
// Small arithmetic shared by every path.
// ---------------------------------------------------------------------------------------------
inline float mag2(ox_cf32 v) { return v.re * v.re + v.im * v.im; }
inline ox_cf32 add(ox_cf32 a, ox_cf32 b) { return {a.re + b.re, a.im + b.im}; }
inline ox_cf32 scaled(ox_cf32 v, float s) { return {v.re * s, v.im * s}; }
// Largest offset of the tracked code rate from nominal (chips per nominal chip): the loop
// steers the code NCO within [0.5, 1.5] of its nominal rate.
constexpr double kMaxCodeRateOffset = 0.5;
constexpr double kMaxNoiseRise = 100.0;  // largest rise of the noise estimate's input per look

inline double clamp_unit(double e) {
    if (e > 1.0) return 1.0;
    if (e < -1.0) return -1.0;
    return e;  // NaN passes through
}
inline double chip_sign(uint8_t v) { return (v & 1) ? -1.0 : 1.0; }
inline bool aid_on(const dll *d) { return d->period > 0.0; }

uint64_t segment_bytes(uint64_t segments) { return segments >= 2 ? 48 * segments : 0; }
uint64_t aid_bytes(uint64_t hypotheses, uint64_t ring_size) {
    return 8 * (hypotheses + 4 * ring_size);
}

// Configuration derived from (L, sps, segments, spacing): computed once here so that create,
// reset and the blob check agree to the bit.
struct Derived {
    double inv_sps, inv_epoch, inv_epoch_sq, inv_epoch_len;
    double chips_per_segment, samples_per_segment, noise_guard;
};

Derived derive(uint64_t L, uint64_t sps, uint64_t segments, double spacing) {
    const double l = static_cast<double>(L), s = static_cast<double>(sps);
    const double n = static_cast<double>(segments), epoch = s * l;
    return {1.0 / s,         1.0 / epoch,         1.0 / (epoch * epoch), 1.0 / (epoch * l),
            l / n,           (l * s) / n,         spacing + 2.0};
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof(double)) == 0; }

// Sizes of the symbol-period aid for a period (>= 2) and segment count.
struct AidSizes {
    uint64_t window, hypotheses, ring_size;
};

AidSizes aid_sizes(double period, uint64_t segments) {
    const auto fl = static_cast<uint64_t>(std::floor(period));
    const uint64_t cap = 4 * segments;
    AidSizes s{};
    s.window = fl - 1 < cap ? fl - 1 : cap;
    s.hypotheses = static_cast<uint64_t>(std::ceil(period));
    const uint64_t need = 2 * s.hypotheses + 2 * s.window + 2;
    s.ring_size = 1;
    while (s.ring_size < need) s.ring_size <<= 1;
    return s;
}

// A period the aid accepts for this segment count: at least 2 partials, and rings small
// enough for the state blob's 32-bit length (which also bounds every size computation).
bool aid_period_ok(double period, uint64_t segments) {
    if (!(period >= 2.0 && period <= 4294967296.0) || segments < 2) return false;
    const AidSizes s = aid_sizes(period, segments);
    return kFixedBytes + segment_bytes(segments) + aid_bytes(s.hypotheses, s.ring_size) <= kBlobMax;
}

// ---------------------------------------------------------------------------------------------
// The replica.
// ---------------------------------------------------------------------------------------------

// The definition at code position t (chips): one long-double modulo. A position that is not a
// number (an infinite or NaN tap offset) reads as 0 and contributes nothing.
float replica_ref(const uint8_t *code, uint64_t L, double t) {
    const long double two_l = 2.0L * static_cast<long double>(L);
    long double h = std::fmod(2.0L * t - 0.5L, two_l);
    if (h < 0) h += two_l;
    if (h != h) return 0.0f;
    if (h >= two_l) h = 0;  // a tiny negative remainder plus 2L rounded up to 2L: that is 0
    const auto k = static_cast<uint64_t>(h);
    const double f = static_cast<double>(h - static_cast<long double>(k));
    const double sc = chip_sign(code[k >> 1]);
    const double sn = chip_sign(k + 1 == 2 * L ? code[0] : code[(k + 1) >> 1]);
    return static_cast<float>((1.0 - f) * sc + f * sn);
}

// Where the modulo is not needed. For t >= 0.25, h = 2t - 0.5 is exact in double (no bit of t
// lies below the ulp of h), and so is h - 2L for h in [2L, 4L] (Sterbenz): that is the
// remainder the definition takes. With h in [0, 2L - 1) or [2L, 4L - 1), k + 1 stays inside the
// code and k, f and the replica follow with the definition's own double arithmetic. Other
// positions (within a quarter chip of the code wrap, negative, far) take the definition.
float replica_fast(const uint8_t *code, uint64_t L, double two_l, double t) {
    double h = (t + t) - 0.5;
    if (h >= two_l) h -= two_l;
    if (!(h >= 0.0 && h < two_l - 1.0)) [[unlikely]]
        return replica_ref(code, L, t);
    const auto k = static_cast<uint64_t>(h);
    const double f = h - static_cast<double>(k);
    const double sc = chip_sign(code[k >> 1]), sn = chip_sign(code[(k + 1) >> 1]);
    return static_cast<float>((1.0 - f) * sc + f * sn);
}

// Replica classes. The replica at half-chip index k is (1 - f) sc + f sn = a + f d with
// a = sc and d = sn - sc, so it depends on the code only through the class of k: bit 0 the
// current chip (sc = -1 when set), bit 1 set on a ramp (the next chip differs). The per-code
// table holds the class of k for two code periods, k in [0, 4L), entry k + 2L = entry k, so a
// position up to two periods ahead needs no modulo.
constexpr double kClassA[4] = {1.0, -1.0, 1.0, -1.0};
constexpr double kClassD[4] = {0.0, 0.0, -2.0, 2.0};
// In 2^-30 units, 2^30 (a + f d) = s (2^30 - g F) with F = 2^31 f, s = +-1, g = 1 on a ramp:
// kClassBase - ((F & kClassRamp) ^ kClassSign) (a conditional negation without a branch).
constexpr int32_t kClassBase[4] = {1 << 30, -(1 << 30) - 1, 1 << 30, -(1 << 30) - 1};
constexpr int32_t kClassRamp[4] = {0, 0, -1, -1};
constexpr int32_t kClassSign[4] = {0, -1, 0, -1};

void build_replica_table(uint8_t *table, const uint8_t *code, uint64_t L) {
    for (uint64_t k = 0; k < 2 * L; ++k) {
        const uint8_t c0 = code[k >> 1] & 1;
        const uint8_t c1 = (k + 1 == 2 * L ? code[0] : code[(k + 1) >> 1]) & 1;
        table[k] = table[k + 2 * L] = static_cast<uint8_t>(c0 | (c0 != c1 ? 2 : 0));
    }
}

// Code position of the middle of the sample, chips.
inline double position(uint32_t pos, double l) { return static_cast<double>(pos) * l / kTwo32; }

// ---------------------------------------------------------------------------------------------
// Correlator banks: the four running sums (noise, prompt, early, late) and the replica taps that
// feed them, one bank per way of evaluating the replica. `step(pos, x)` adds x times the replica
// at code phase `pos` (the middle of the sample) to each sum; `load`/`store` move the sums from
// and to the record; `refresh` re-reads the noise offset after a draw. The sums are float32,
// sum += x.re r (resp. x.im r), whatever the bank.
// ---------------------------------------------------------------------------------------------
struct ScalarSums {
    ox_cf32 sn{}, sp{}, se{}, sl{};
    void load(const dll *d) {
        sn = d->noise;
        sp = d->prompt;
        se = d->early;
        sl = d->late;
    }
    void store(dll *d) const {
        d->noise = sn;
        d->prompt = sp;
        d->early = se;
        d->late = sl;
    }
    void add(ox_cf32 x, const float *r) {
        sn.re += x.re * r[0];
        sn.im += x.im * r[0];
        sp.re += x.re * r[1];
        sp.im += x.im * r[1];
        se.re += x.re * r[2];
        se.im += x.im * r[2];
        sl.re += x.re * r[3];
        sl.im += x.im * r[3];
    }
};

// The same sums four lanes wide: [n p e l].re and [n p e l].im, lane arithmetic identical.
struct VectorSums {
    simd::f32x4 re, im;
    void load(const dll *d) {
        re = simd::setr(d->noise.re, d->prompt.re, d->early.re, d->late.re);
        im = simd::setr(d->noise.im, d->prompt.im, d->early.im, d->late.im);
    }
    void store(dll *d) const {
        alignas(16) float r[4], i[4];
        simd::storeu(r, re);
        simd::storeu(i, im);
        d->noise = {r[0], i[0]};
        d->prompt = {r[1], i[1]};
        d->early = {r[2], i[2]};
        d->late = {r[3], i[3]};
    }
    void add(ox_cf32 x, simd::f32x4 r) {
        re = simd::add(re, simd::mul(simd::set1(x.re), r));
        im = simd::add(im, simd::mul(simd::set1(x.im), r));
    }
};

// Tap positions p + offset in chips, as the definition forms them.
struct Offsets {
    double l, noise, spacing;
    explicit Offsets(const dll *d)
        : l(static_cast<double>(d->L)), noise(d->noise_offset), spacing(d->spacing) {}
    void refresh(const dll *d) { noise = d->noise_offset; }
};

// The definition, tap by tap (dll_steps_reference).
struct RefBank : ScalarSums, Offsets {
    const uint8_t *code;
    uint64_t L;
    explicit RefBank(const dll *d) : Offsets(d), code(d->code), L(d->L) { load(d); }
    void step(uint32_t pos, ox_cf32 x) {
        const double p = position(pos, l);
        const float r[4] = {replica_ref(code, L, p + noise), replica_ref(code, L, p),
                            replica_ref(code, L, p + spacing), replica_ref(code, L, p - spacing)};
        add(x, r);
    }
};

// Objects without a class table (borrowed code, codes above 2^20 chips).
struct FastBank : ScalarSums, Offsets {
    const uint8_t *code;
    uint64_t L;
    double two_l;
    explicit FastBank(const dll *d) : Offsets(d), code(d->code), L(d->L), two_l(2.0 * l) {
        load(d);
    }
    void step(uint32_t pos, ox_cf32 x) {
        const double p = position(pos, l);
        const float r[4] = {replica_fast(code, L, two_l, p + noise),
                            replica_fast(code, L, two_l, p),
                            replica_fast(code, L, two_l, p + spacing),
                            replica_fast(code, L, two_l, p - spacing)};
        add(x, r);
    }
};

// Any tap offsets, with the class table: for t in [0.25, 2L + 0.25), h = 2t - 0.5 in [0, 4L)
// is exact, and so are k, f and 1 - f (no bit of f lies below 2^-53); the definition's
// remainder h - 2L (for h >= 2L) gives the same f and the same class. (1 - f) sc + f sn and
// a + f d are then one rounding of the same real number. Other positions take the definition.
struct TableBank : VectorSums, Offsets {
    const uint8_t *code, *table;
    uint64_t L;
    double four_l;
    explicit TableBank(const dll *d)
        : Offsets(d), code(d->code), table(d->replica_table), L(d->L), four_l(4.0 * l) {
        load(d);
    }
    float tap(double t) const {
        const double h = (t + t) - 0.5;
        if (!(h >= 0.0 && h < four_l)) [[unlikely]]
            return replica_ref(code, L, t);
        const auto k = static_cast<uint64_t>(h);
        const double f = h - static_cast<double>(k);
        const unsigned c = table[k];
        return static_cast<float>(kClassA[c] + f * kClassD[c]);
    }
    void step(uint32_t pos, ox_cf32 x) {
        const double p = position(pos, l);
        add(x, simd::setr(tap(p + noise), tap(p), tap(p + spacing), tap(p - spacing)));
    }
};

// Dyadic tap offsets. When L <= 2^20 and every tap offset is a multiple of 2^-32 chip of
// magnitude at most 2^20, the definition rounds nowhere before the final narrowing: p = pos L
// 2^-32 and t = p + offset are exact, and so are 2t - 0.5, the modulo, f and the replica (a
// multiple of 2^-31 in [-1, 1]). In 2^-32 chip the position 2t - 0.5 half-chips is the integer
// u = pos L + (offset 2^32 - 2^30 reduced into [0, M)), M = L 2^32, 0 <= u < 2M < 2^53; then
// k = u >> 31 and F = u mod 2^31 (f = F 2^-31) come from integer arithmetic, the table's two
// periods stand for the modulo, and 2^30 r = s (2^30 - g F) is an integer of at most 31 bits
// whose conversion to float rounds exactly as the narrowing of the definition's double (the
// scaling by 2^-30 is exact).
struct ExactBank : VectorSums {
    const uint8_t *table;
    int64_t l, m;
    int64_t j[4];  // noise, prompt, early, late offsets, 2^-32 chip, in [0, M)

    explicit ExactBank(const dll *d)
        : table(d->replica_table), l(static_cast<int64_t>(d->L)), m(l << 32) {
        j[1] = offset_units(0.0);
        j[2] = offset_units(d->spacing);
        j[3] = offset_units(-d->spacing);
        refresh(d);
        load(d);
    }
    int64_t offset_units(double off) const {
        int64_t v = static_cast<int64_t>(std::ldexp(off, 32)) - (int64_t{1} << 30);
        v %= m;
        if (v < 0) v += m;
        return v;
    }
    void refresh(const dll *d) { j[0] = offset_units(d->noise_offset); }
    float tap(int64_t u) const {
        const unsigned c = table[static_cast<uint64_t>(u) >> 31];
        const auto f = static_cast<int32_t>(static_cast<uint32_t>(u) & 0x7FFFFFFFu);
        return static_cast<float>(kClassBase[c] - ((f & kClassRamp[c]) ^ kClassSign[c]));
    }
    void step(uint32_t pos, ox_cf32 x) {
        const int64_t base = static_cast<int64_t>(pos) * l;
        const simd::f32x4 r = simd::setr(tap(base + j[0]), tap(base + j[1]), tap(base + j[2]),
                                     tap(base + j[3]));
        add(x, simd::mul(r, simd::set1(0x1p-30f)));
    }
};

bool dyadic_offset(double off) {
    if (!(std::fabs(off) <= kExactMaxChips)) return false;
    const double v = std::ldexp(off, 32);
    return v == std::trunc(v);
}

bool has_table(const dll *d) { return d->replica_table && d->L <= kTableMaxChips; }

bool exact_path_ok(const dll *d) {
    return has_table(d) && dyadic_offset(d->spacing) && dyadic_offset(d->noise_offset);
}

// ---------------------------------------------------------------------------------------------
// Lock detector.
// ---------------------------------------------------------------------------------------------

// Off-peak tap position for the next epoch: g whole chips clear of the peak on either side.
void draw_noise_offset(dll *d) {
    const double gv = 0.999 + d->noise_guard;
    uint64_t g = 0;
    if (gv >= 18446744073709551616.0) {
        g = UINT64_MAX;
    } else if (gv >= 0.0) {
        g = static_cast<uint64_t>(gv);
    }
    if (d->L > 0 && g <= (d->L - 1) / 2) {  // 2g < L
        uint32_t r = d->rng;
        r ^= r << 13;
        r ^= r >> 17;
        r ^= r << 5;
        d->rng = r;
        d->noise_offset = static_cast<double>(g + static_cast<uint64_t>(r) % (d->L - 2 * g));
    } else {
        d->noise_offset = 0.0;  // the tap aliases the prompt: the detector fails closed
    }
}

// One look: prompt P and noise-tap O, both already scaled.
void look(dll *d, ox_cf32 P, ox_cf32 O) {
    // A look whose powers overflowed (an absurd sample in the sums) is not taken: it would
    // leave the noise estimate infinite and then NaN for good.
    if (!(std::isfinite(mag2(P)) && std::isfinite(mag2(O)))) [[unlikely]] return;
    d->noise_count += 1;
    const double c = std::fmax(d->alpha, 1.0 / static_cast<double>(d->noise_count));
    // The noise tap's power enters the estimate at most kMaxNoiseRise times the estimate, so a
    // spike raises it a few-fold instead of holding the lock statistic near 0 for as many looks
    // as the EMA takes to forget it.
    double o2 = static_cast<double>(mag2(O));
    if (o2 > kMaxNoiseRise * d->noise_est && d->noise_est > 0.0) [[unlikely]] o2 = kMaxNoiseRise * d->noise_est;
    d->noise_est += c * (o2 - d->noise_est);
    d->power_sum += static_cast<double>(mag2(P));
    if (++d->looks < d->n_looks) return;
    const double r = std::sqrt(2.0 * d->power_sum / std::fmax(d->noise_est, 1e-12));
    d->lock_stat = r;
    ox::lockdet_update(&d->ld, r);
    d->power_sum = 0.0;
    d->looks = 0;
}

void clear_lock_accumulators(dll *d) {
    d->noise_est = 0.0;
    d->power_sum = 0.0;
    d->looks = 0;
    d->lock_stat = 0.0;
    d->noise_count = 0;
    lockdet_reset(&d->ld);
}

// ---------------------------------------------------------------------------------------------
// Loop updates.
// ---------------------------------------------------------------------------------------------
void flush(dll *d) {
    const double values[DLL_N_PROBES] = {d->last_error, d->code_rate, d->lock_stat,
                                         d->ld.locked ? 1.0 : 0.0};
    ox::tlm_flush(d->tlm, d->tlm_ids, values, DLL_N_PROBES);
}

// Segmented and symbol-aided update: the filter output A is converted by inv_epoch (rate) and
// inv_epoch_sq (increment).
// A discriminator output that is not a number (sums overflowed by an absurd sample) is not fed
// to the loop: the code NCO keeps its rate for this epoch.
void steer_segmented(dll *d, double e) {
    if (e != e) [[unlikely]] return;
    d->last_error = e;
    double a = ox::loop_filter_update(&d->loop, e) * d->rate_scale;
    // The rate offset a inv_epoch (chips per nominal chip) within the code-rate clamp, and the
    // integrator with it, so the NCO always advances and epochs keep ending.
    const double u = a * d->inv_epoch;
    if (!(u >= -kMaxCodeRateOffset && u <= kMaxCodeRateOffset)) [[unlikely]] {
        const double bound = kMaxCodeRateOffset / (d->rate_scale * d->inv_epoch);
        d->loop.integ = std::fmin(std::fmax(d->loop.integ, -bound), bound);
        a = u < 0.0 ? -bound * d->rate_scale : bound * d->rate_scale;
    }
    d->code_rate = 1.0 + a * d->inv_epoch;
    d->inc = ox::freq_to_phase_inc((d->rate_aid + 1.0) * d->inv_epoch + a * d->inv_epoch_sq);
}

inline void emit(ox_cf32 v, ox_cf32 *out, size_t &written, size_t cap) {
    if (written < cap) out[written++] = v;
}

// Single-segment steering from the updated integrator: the code rate 1 + integ, and the
// increment from the rate plus the proportional phase step kp e chips. The integrator, and the
// rate the increment carries (integrator plus the step spread over the epoch), stay within the
// code-rate clamp, so the NCO always advances and epochs keep ending.
void steer_single(dll *d, double e) {
    double &integ = d->loop.integ;
    if (!(integ >= -kMaxCodeRateOffset && integ <= kMaxCodeRateOffset)) [[unlikely]]
        integ = integ < 0.0 ? -kMaxCodeRateOffset : kMaxCodeRateOffset;
    d->code_rate = 1.0 + integ;
    const double step = d->loop.kp * d->inv_epoch_len * e;
    d->inc = ox::freq_to_phase_inc((d->rate_aid + 1.0 + integ) * d->inv_epoch + step);
    const double u = integ + step / d->inv_epoch;
    if (!(u >= -kMaxCodeRateOffset && u <= kMaxCodeRateOffset)) [[unlikely]]
        d->inc = ox::freq_to_phase_inc(
            (d->rate_aid + 1.0 + (u < 0.0 ? -kMaxCodeRateOffset : kMaxCodeRateOffset)) * d->inv_epoch);
}

// Single-segment epoch end: discriminator on the epoch's sums, loop, look, output.
void epoch_single(dll *d, ox_cf32 *out, size_t &written, size_t cap) {
    const double e = clamp_unit(0.5 * (static_cast<double>(mag2(d->early)) -
                                       static_cast<double>(mag2(d->late))) /
                                (static_cast<double>(mag2(d->prompt)) + 1e-12));
    if (e == e) [[likely]] {  // a NaN (overflowed sums) is not fed to the loop
        d->last_error = e;
        ox::loop_filter_update(&d->loop, e);
        steer_single(d, e);
    }
    const auto s = static_cast<float>(d->inv_epoch);
    const ox_cf32 p = scaled(d->prompt, s);
    look(d, p, scaled(d->noise, s));
    emit(p, out, written, cap);
    d->early = d->prompt = d->late = d->noise = ox_cf32{0.0f, 0.0f};
    draw_noise_offset(d);
    if (d->tlm) flush(d);
}

// Is look index i (counted since the aid was enabled) a symbol boundary of hypothesis j?
inline bool on_boundary(uint64_t i, uint64_t j, double period) {
    const double di = static_cast<double>(i), dj = static_cast<double>(j);
    const double m = std::floor((di - dj) / period + 0.5);
    return m >= 0.0 && std::floor(m * period + dj + 0.5) == di;
}

// Calls visit(j) for each hypothesis j with a boundary at look index i, in increasing order.
// A hypothesis j can only qualify with the m its formula gives, m_j = floor((i - j)/period +
// 0.5), which is monotone in j, so m lies between m_(H-1) and m_0 (at most three values,
// H - 1 < period), and then m period + j + 0.5 falls in [i, i + 1), so j is within one of
// i - m period: at most nine candidates, each confirmed by on_boundary itself. Beyond 2^40 looks
// (where rounding of i - j and m period can let many j qualify at once) and for small H every
// j is tried and visited directly, so no candidate list can overflow.
template <class Visit>
void for_each_boundary_hypothesis(uint64_t i, uint64_t h, double period, Visit &&visit) {
    if (i >= (uint64_t{1} << 40) || h <= 12) {
        for (uint64_t j = 0; j < h; ++j) {
            if (on_boundary(i, j, period)) visit(j);
        }
        return;
    }
    constexpr uint64_t kRoom = 16;
    uint64_t found[kRoom];
    uint64_t n = 0;
    const double di = static_cast<double>(i);
    const double m_first = std::floor(di / period + 0.5);
    const double m_last = std::floor((di - static_cast<double>(h - 1)) / period + 0.5);
    for (double m = m_first; m >= m_last && m >= 0.0; m -= 1.0) {
        const double c = std::floor(di - m * period);
        for (double cj = c - 1.0; cj <= c + 1.0 && n < kRoom; cj += 1.0) {
            if (cj < 0.0 || cj >= static_cast<double>(h)) continue;
            const auto j = static_cast<uint64_t>(cj);
            if (!on_boundary(i, j, period) || std::find(found, found + n, j) != found + n) continue;
            uint64_t k = n++;  // insertion keeps the increasing order
            for (; k > 0 && found[k - 1] > j; --k) found[k] = found[k - 1];
            found[k] = j;
        }
    }
    for (uint64_t q = 0; q < n; ++q) visit(found[q]);
}

// Sum of the last W ring entries starting at look index i, oldest first.
inline ox_cf32 ring_sum(const ox_cf32 *ring, uint64_t i, uint64_t w, uint64_t mask) {
    ox_cf32 s = ring[i & mask];
    for (uint64_t q = 1; q < w; ++q) s = add(s, ring[(i + q) & mask]);
    return s;
}

// Symbol-aid look of one closed segment (values already scaled).
void aid_look(dll *d, ox_cf32 p, ox_cf32 o, ox_cf32 e, ox_cf32 l) {
    const uint64_t mask = d->ring_size - 1;
    const uint64_t at = d->ring_count & mask;
    d->ring_prompt[at] = p;
    d->ring_noise[at] = o;
    d->ring_early[at] = e;
    d->ring_late[at] = l;
    d->ring_count += 1;
    const uint64_t w = d->window;
    if (d->ring_count < w) return;
    const uint64_t i = d->ring_count - w;
    const ox_cf32 t = ring_sum(d->ring_prompt, i, w, mask);
    const double t2 = static_cast<double>(mag2(t));
    if (!std::isfinite(t2)) [[unlikely]] return;  // an overflowed window steers nothing
    double *hp = d->hyp_power;
    for_each_boundary_hypothesis(i, d->hypotheses, d->period, [&](uint64_t j) {
        hp[j] += kHypAlpha * (t2 - hp[j]);
        if (hp[j] > hp[d->best]) d->best = j;
    });
    if (!on_boundary(i, d->best, d->period)) return;
    const ox_cf32 so = ring_sum(d->ring_noise, i, w, mask);
    const ox_cf32 se = ring_sum(d->ring_early, i, w, mask);
    const ox_cf32 sl = ring_sum(d->ring_late, i, w, mask);
    look(d, t, so);
    steer_segmented(d, clamp_unit(0.5 *
                                  (static_cast<double>(mag2(se)) - static_cast<double>(mag2(sl))) /
                                  (t2 + 1e-12)));
}

// Closes the segment being integrated with the record's running sums, which it clears.
void close_segment(dll *d, float scale) {
    const uint64_t i = d->segment;
    const ox_cf32 p = d->prompt, e = d->early, l = d->late, o = d->noise;
    d->seg_prompt[i] = p;
    d->seg_early[i] = e;
    d->seg_late[i] = l;
    d->early = d->prompt = d->late = d->noise = ox_cf32{0.0f, 0.0f};
    if (aid_on(d)) {
        aid_look(d, scaled(p, scale), scaled(o, scale), scaled(e, scale), scaled(l, scale));
    } else {
        look(d, scaled(p, scale), scaled(o, scale));
    }
    d->segment = i + 1;
}

inline double magnitude(ox_cf32 v) { return std::sqrt(static_cast<double>(mag2(v))); }

// Early or late sum of the window made of the previous epoch's last b partials and this
// epoch's first n - b, in time order.
ox_cf32 window_sum(const ox_cf32 *prev, const ox_cf32 *cur, uint64_t n, uint64_t b) {
    ox_cf32 s = b ? prev[n - b] : cur[0];
    for (uint64_t k = n - b + 1; k < n; ++k) s = add(s, prev[k]);
    for (uint64_t k = b ? 0 : 1; k < n - b; ++k) s = add(s, cur[k]);
    return s;
}

// Segmented epoch end, after all `segments` segments of the epoch were closed.
void epoch_segmented(dll *d, ox_cf32 *out, size_t &written, size_t cap) {
    const uint64_t n = d->segments;
    const ox_cf32 *part = d->seg_prompt;
    ox_cf32 *pre = d->seg_prefix;
    pre[0] = part[0];
    for (uint64_t k = 1; k < n; ++k) pre[k] = add(pre[k - 1], part[k]);
    // Window magnitudes are divided by the epoch length sps L (not multiplied by its
    // reciprocal, which can differ in the last bit and change a tie of the look-back).
    const double epoch = static_cast<double>(d->sps) * static_cast<double>(d->L);
    double r = magnitude(pre[n - 1]) / epoch;
    uint64_t shift = 0;
    if (d->have_prev_epoch) {
        for (uint64_t b = n - 1; b >= 1; --b) {
            const double rb = magnitude(add(d->prev_suffix[n - b], pre[n - 1 - b])) / epoch;
            if (rb > r) {
                r = rb;
                shift = b;
            }
        }
    }
    if (!aid_on(d)) {
        const ox_cf32 e = window_sum(d->prev_early, d->seg_early, n, shift);
        const ox_cf32 l = window_sum(d->prev_late, d->seg_late, n, shift);
        const double span = epoch * r;
        steer_segmented(d, clamp_unit(0.5 *
                                      (static_cast<double>(mag2(e)) -
                                       static_cast<double>(mag2(l))) /
                                      (span * span + 1e-12)));
    }
    const auto s = static_cast<float>(r == 0.0 ? 1.0 / d->samples_per_segment
                                               : 1.0 / (d->samples_per_segment * r));
    for (uint64_t k = 0; k < n; ++k) emit(scaled(part[k], s), out, written, cap);
    ox_cf32 *suf = d->prev_suffix;
    suf[n - 1] = part[n - 1];
    for (uint64_t k = n - 1; k-- > 0;) suf[k] = add(part[k], suf[k + 1]);
    std::memcpy(d->prev_early, d->seg_early, n * sizeof(ox_cf32));
    std::memcpy(d->prev_late, d->seg_late, n * sizeof(ox_cf32));
    d->have_prev_epoch = 1;
    d->segment = 0;
    draw_noise_offset(d);
    if (d->tlm) flush(d);
}

// Segment boundaries as phase words: the smallest phase whose code phase position(phase, l)
// reaches `bound` (the predicate is monotone in the phase), 2^32 when none does. The inverse
// gives the answer or its neighbour; a bisection settles anything else.
constexpr uint64_t kNoPhase = uint64_t{1} << 32;

uint64_t phase_threshold(double bound, double l) {
    auto reaches = [&](uint64_t ph) { return position(static_cast<uint32_t>(ph), l) >= bound; };
    if (!reaches(0xFFFFFFFFu)) return kNoPhase;  // also a NaN bound
    if (reaches(0)) return 0;
    const double guess = std::ceil(bound / l * kTwo32);
    if (guess >= 2.0 && guess <= 4294967294.0) {
        const auto t = static_cast<uint64_t>(guess);
        for (uint64_t c : {t, t + 1, t - 1}) {
            if (reaches(c) && !reaches(c - 1)) return c;
        }
    }
    uint64_t lo = 0, hi = 0xFFFFFFFFu;  // !reaches(lo), reaches(hi)
    while (hi - lo > 1) {
        const uint64_t mid = lo + (hi - lo) / 2;
        (reaches(mid) ? hi : lo) = mid;
    }
    return hi;
}

// ---------------------------------------------------------------------------------------------
// The block loop: one body for both modes and every tap evaluator.
// ---------------------------------------------------------------------------------------------
template <class Bank, bool kSegmented>
size_t run(dll *d, const ox_cf32 *x, size_t n_in, ox_cf32 *out, size_t cap) {
    Bank bank(d);
    const double l = static_cast<double>(d->L);
    uint32_t phase = d->phase, inc = d->inc, half = inc >> 1;
    size_t written = 0;
    const uint64_t last = d->segments - 1;
    const double cps = d->chips_per_segment;
    const auto seg_scale = static_cast<float>(1.0 / d->samples_per_segment);
    // Phase word at which the code phase reaches the next segment boundary (segmented mode).
    auto next_threshold = [&] {
        return d->segment < last
                   ? phase_threshold(static_cast<double>(d->segment + 1) * cps, l)
                   : kNoPhase;
    };
    uint64_t threshold = kSegmented ? next_threshold() : kNoPhase;

    for (size_t s = 0; s < n_in; ++s) {
        bank.step(phase + half, x[s]);
        const uint32_t old = phase;
        phase += inc;
        if (phase < old) [[unlikely]] {
            bank.store(d);
            if constexpr (kSegmented) {
                // The epoch ends: close the segment being integrated, then (fewer than one
                // sample per segment) every segment the wrap skipped, empty.
                do {
                    close_segment(d, seg_scale);
                } while (d->segment <= last);
                epoch_segmented(d, out, written, cap);
                threshold = next_threshold();
            } else {
                epoch_single(d, out, written, cap);
            }
            bank.load(d);
            bank.refresh(d);
            inc = d->inc;
            half = inc >> 1;
        } else if (kSegmented && phase >= threshold) [[unlikely]] {
            // Close every segment whose end the code phase has reached (more than one with
            // fewer than one sample per segment), the later ones empty.
            bank.store(d);
            const double cp = position(phase, l);
            do {
                close_segment(d, seg_scale);
            } while (d->segment < last && cp >= static_cast<double>(d->segment + 1) * cps);
            bank.load(d);
            threshold = next_threshold();
            inc = d->inc;  // the symbol aid may have steered
            half = inc >> 1;
        }
    }

    d->phase = phase;
    d->inc = inc;
    bank.store(d);
    if (n_in) d->code_phase = position(phase, l);
    return written;
}

template <bool kSegmented>
size_t run_fast(dll *d, const ox_cf32 *x, size_t n, ox_cf32 *out, size_t cap) {
    if (exact_path_ok(d)) return run<ExactBank, kSegmented>(d, x, n, out, cap);
    if (has_table(d)) return run<TableBank, kSegmented>(d, x, n, out, cap);
    return run<FastBank, kSegmented>(d, x, n, out, cap);
}

bool steppable(const dll *d, const ox_cf32 *x, size_t n) {
    return d && x && n && d->code && d->L && d->segments &&
           (d->segments == 1 || (d->seg_prompt && d->seg_early && d->seg_late && d->seg_prefix &&
                                 d->prev_suffix && d->prev_early && d->prev_late));
}

// ---------------------------------------------------------------------------------------------
// Construction.
// ---------------------------------------------------------------------------------------------
void apply_derived(dll *d) {
    const Derived v = derive(d->L, d->sps, d->segments, d->spacing);
    d->inv_sps = v.inv_sps;
    d->inv_epoch = v.inv_epoch;
    d->inv_epoch_sq = v.inv_epoch_sq;
    d->inv_epoch_len = v.inv_epoch_len;
    d->chips_per_segment = v.chips_per_segment;
    d->samples_per_segment = v.samples_per_segment;
    d->noise_guard = v.noise_guard;
}

void init_fields(dll *d, uint8_t *code, uint64_t L, uint64_t sps, uint64_t segments,
                 double init_chip, double bn, double zeta, double spacing) {
    d->code = code;
    d->L = L;
    d->sps = sps ? sps : 1;
    d->spacing = spacing;
    d->segments = segments;
    apply_derived(d);
    d->init_chip = init_chip;
    d->bn = bn;
    d->zeta = zeta;
    loop_filter_init(&d->loop, bn, zeta, 1.0);
    d->rate_scale = 1.0;
    d->tlm = nullptr;
    for (int32_t &id : d->tlm_ids) id = -1;
    dll_configure_lock(d, 20, 0.001, 0.0);
    dll_reset(d);
}

void free_aid(dll *d) {
    std::free(d->ring_prompt);
    std::free(d->ring_noise);
    std::free(d->ring_early);
    std::free(d->ring_late);
    std::free(d->hyp_power);
    d->ring_prompt = d->ring_noise = d->ring_early = d->ring_late = nullptr;
    d->hyp_power = nullptr;
}

// The seven segment arrays, in record order.
constexpr ox_cf32 *dll::*kSegmentArrays[7] = {&dll::seg_prompt,  &dll::seg_early,
                                              &dll::seg_late,    &dll::seg_prefix,
                                              &dll::prev_suffix, &dll::prev_early,
                                              &dll::prev_late};

}  // namespace

// =============================================================================================
// Exported API.
// =============================================================================================
dll *dll_create(const uint8_t *code, size_t L, uint64_t sps, uint64_t segments, double init_chip,
                double bn, double zeta, double spacing) {
    if (!code || L == 0 || segments == 0) return nullptr;
    if (segments >= 2 && segments > (kBlobMax - kFixedBytes) / 48) return nullptr;
    auto *d = static_cast<dll *>(std::calloc(1, sizeof(dll)));
    if (!d) return nullptr;
    auto *copy = static_cast<uint8_t *>(std::malloc(L));
    bool ok = copy != nullptr;
    if (ok && segments >= 2) {
        for (auto member : kSegmentArrays) {
            d->*member = static_cast<ox_cf32 *>(std::calloc(segments, sizeof(ox_cf32)));
            ok = ok && d->*member;
        }
    }
    if (ok && L <= kTableMaxChips) {
        d->replica_table = static_cast<uint8_t *>(std::malloc(4 * L));
        ok = d->replica_table != nullptr;
    }
    if (!ok) {
        std::free(copy);
        d->code = nullptr;
        dll_destroy(d);
        return nullptr;
    }
    std::memcpy(copy, code, L);
    if (d->replica_table) build_replica_table(d->replica_table, copy, L);
    init_fields(d, copy, L, sps, segments, init_chip, bn, zeta, spacing);
    d->owns_code = 1;
    return d;
}

int dll_init(dll *d, uint8_t *code, size_t L, uint64_t sps, double init_chip, double bn,
             double zeta, double spacing) {
    if (!d) return OX_EINVAL;
    std::memset(static_cast<void *>(d), 0, sizeof(dll));
    for (int32_t &id : d->tlm_ids) id = -1;
    if (!code || L == 0) return OX_EINVAL;
    init_fields(d, code, L, sps, 1, init_chip, bn, zeta, spacing);
    return OX_OK;
}

void dll_destroy(dll *d) {
    if (!d) return;
    if (d->owns_code) std::free(d->code);
    for (auto member : kSegmentArrays) std::free(d->*member);
    free_aid(d);
    std::free(d->replica_table);
    std::free(d);
}

void dll_reset(dll *d) {
    loop_filter_reset(&d->loop);
    d->phase = ox::freq_to_phase_inc(d->init_chip / static_cast<double>(d->L));
    d->inc = ox::freq_to_phase_inc(d->inv_epoch);
    d->nominal = d->inv_epoch;
    d->code_phase = d->init_chip;
    d->code_rate = 1.0;
    d->early = d->prompt = d->late = d->noise = ox_cf32{0.0f, 0.0f};
    d->last_error = 0.0;
    d->segment = 0;
    d->have_prev_epoch = 0;
    if (d->segments >= 2) {
        for (auto member : kSegmentArrays) {
            if (d->*member) std::memset(d->*member, 0, d->segments * sizeof(ox_cf32));
        }
    }
    d->rng = static_cast<uint32_t>(d->L) ^ 0x2545f491u;
    draw_noise_offset(d);
    clear_lock_accumulators(d);
    d->best = 0;
    d->ring_count = 0;
    if (aid_on(d)) {
        for (ox_cf32 *ring : {d->ring_prompt, d->ring_noise, d->ring_early, d->ring_late})
            std::memset(ring, 0, d->ring_size * sizeof(ox_cf32));
        std::memset(d->hyp_power, 0, d->hypotheses * sizeof(double));
    }
}

void dll_configure(dll *d, double bn, double zeta) {
    d->bn = bn;
    d->zeta = zeta;
    loop_filter_configure(&d->loop, bn, zeta, d->loop.t);
}

void dll_set_bn(dll *d, double bn) { dll_configure(d, bn, d->zeta); }
double dll_get_bn(const dll *d) { return d->bn; }
void dll_set_rate_aid(dll *d, double rate_aid) { d->rate_aid = rate_aid; }

size_t dll_steps(dll *d, const ox_cf32 *x, size_t n, ox_cf32 *out, size_t out_cap) {
    if (!steppable(d, x, n)) return 0;
    if (!out) out_cap = 0;
    return d->segments == 1 ? run_fast<false>(d, x, n, out, out_cap)
                            : run_fast<true>(d, x, n, out, out_cap);
}

size_t dll_steps_reference(dll *d, const ox_cf32 *x, size_t n, ox_cf32 *out, size_t out_cap) {
    if (!steppable(d, x, n)) return 0;
    if (!out) out_cap = 0;
    return d->segments == 1 ? run<RefBank, false>(d, x, n, out, out_cap)
                            : run<RefBank, true>(d, x, n, out, out_cap);
}

size_t dll_steps_max_out(const dll *) { return 0; }
double dll_get_code_phase(const dll *d) { return d->code_phase; }
double dll_get_code_rate(const dll *d) { return d->code_rate; }
double dll_get_last_error(const dll *d) { return d->last_error; }
uint64_t dll_get_segments(const dll *d) { return d->segments; }

int dll_set_telemetry(dll *d, ox_tlm *tlm, const char *prefix, unsigned decim) {
    return ox::tlm_attach(&d->tlm, d->tlm_ids, tlm, prefix, "code", kProbeSuffixes,
                           static_cast<uint32_t>(decim));
}

void dll_tlm_flush(dll *d) {
    if (d->tlm) flush(d);
}

// ---------------------------------------------------------------------------------------------
// State blob: header, the 568-byte image (pointers, ownership and telemetry as zeros), the six
// serialised segment arrays (segments >= 2), then the four look rings and the hypothesis powers
// (aid on).
// ---------------------------------------------------------------------------------------------
size_t dll_state_bytes(const dll *d) {
    return kFixedBytes + segment_bytes(d->segments) +
           (aid_on(d) ? aid_bytes(d->hypotheses, d->ring_size) : 0);
}

namespace {

// The serialised arrays in blob order.
struct BlobArrays {
    ox_cf32 *seg[6];
    ox_cf32 *ring[4];
};

BlobArrays blob_arrays(const dll *d) {
    return {{d->seg_prompt, d->seg_early, d->seg_late, d->prev_suffix, d->prev_early, d->prev_late},
            {d->ring_prompt, d->ring_noise, d->ring_early, d->ring_late}};
}

// Zeroes what never travels in a blob: pointers, ownership, telemetry, padding.
void strip_image(dll *img) {
    img->code = nullptr;
    std::memset(img->reserved, 0, sizeof(img->reserved));
    for (auto member : kSegmentArrays) img->*member = nullptr;
    img->ring_prompt = img->ring_noise = img->ring_early = img->ring_late = nullptr;
    img->hyp_power = nullptr;
    img->owns_code = 0;
    img->pad0 = img->pad1 = img->pad2 = 0;
    img->tlm = nullptr;
    std::memset(img->tlm_ids, 0, sizeof(img->tlm_ids));
}

// Everything in the image that indexes memory, sizes an array, selects a path or bounds a
// loop, checked against the live object; derived configuration must be what (L, sps, segments,
// spacing) give.
bool image_ok(const dll &b, const dll *d) {
    if (b.L != d->L || b.segments != d->segments || b.sps == 0) return false;
    const Derived v = derive(b.L, b.sps, b.segments, b.spacing);
    if (!same_bits(b.inv_sps, v.inv_sps) || !same_bits(b.inv_epoch, v.inv_epoch) ||
        !same_bits(b.inv_epoch_sq, v.inv_epoch_sq) ||
        !same_bits(b.inv_epoch_len, v.inv_epoch_len) || !same_bits(b.nominal, v.inv_epoch) ||
        !same_bits(b.chips_per_segment, v.chips_per_segment) ||
        !same_bits(b.samples_per_segment, v.samples_per_segment) ||
        !same_bits(b.noise_guard, v.noise_guard))
        return false;
    if (b.segment >= b.segments || b.have_prev_epoch > 1 ||
        (b.segments == 1 && b.have_prev_epoch != 0))
        return false;
    if (!(b.noise_offset >= 0.0 && b.noise_offset < static_cast<double>(b.L) &&
          b.noise_offset == std::floor(b.noise_offset)))
        return false;
    if (b.n_looks == 0 || b.looks >= b.n_looks) return false;
    if (b.ld.n_up == 0 || b.ld.n_down == 0 || b.ld.locked > 1 ||
        b.ld.count >= (b.ld.locked ? b.ld.n_down : b.ld.n_up))
        return false;
    if (aid_on(&b) != aid_on(d)) return false;
    if (aid_on(&b)) {
        if (!aid_period_ok(b.period, b.segments)) return false;
        const AidSizes s = aid_sizes(b.period, b.segments);
        if (b.window != s.window || b.hypotheses != s.hypotheses || b.ring_size != s.ring_size ||
            b.hypotheses != d->hypotheses || b.ring_size != d->ring_size ||
            b.best >= b.hypotheses || !same_bits(b.hyp_alpha, kHypAlpha))
            return false;
        const double k = b.period / static_cast<double>(b.segments);
        return same_bits(b.loop.t, k) && same_bits(b.rate_scale, 1.0 / k);
    }
    return same_bits(b.period, 0.0) && b.window == 0 && b.hypotheses == 0 && b.ring_size == 0 &&
           b.best == 0 && b.ring_count == 0 && same_bits(b.hyp_alpha, 0.0) &&
           same_bits(b.loop.t, 1.0) && same_bits(b.rate_scale, 1.0);
}

// The loop never lets its running values become non-finite (a NaN discriminator output or an
// overflowed look is dropped), so a blob carrying one is refused.
bool running_values_ok(const dll &b) {
    return ox::all_finite({b.loop.integ, b.code_rate, b.last_error, b.noise_est, b.power_sum, b.lock_stat});
}

// An integrator beyond the code-rate clamp (as the unbounded loop could leave it) is brought
// into it; the code rate read-out follows at the next epoch.
void bound_integrator(dll *b) {
    const double bound = b->segments == 1 ? kMaxCodeRateOffset
                             : kMaxCodeRateOffset / (b->rate_scale * b->inv_epoch);
    b->loop.integ = std::fmin(std::fmax(b->loop.integ, -bound), bound);
}

}  // namespace

void dll_get_state(const dll *d, void *buf) {
    const size_t total = dll_state_bytes(d);
    ox::blob_write_header(buf, kDllBlob, static_cast<uint32_t>(total));
    dll img;
    std::memcpy(static_cast<void *>(&img), d, kImageBytes);
    strip_image(&img);
    ox::BlobWriter w(static_cast<uint8_t *>(buf) + ox::kBlobHeaderBytes);
    w.bytes(&img, kImageBytes);
    const BlobArrays arr = blob_arrays(d);
    if (d->segments >= 2) {
        for (ox_cf32 *a : arr.seg) w.bytes(a, d->segments * sizeof(ox_cf32));
    }
    if (aid_on(d)) {
        for (ox_cf32 *a : arr.ring) w.bytes(a, d->ring_size * sizeof(ox_cf32));
        w.bytes(d->hyp_power, d->hypotheses * sizeof(double));
    }
}

int dll_set_state(dll *d, const void *buf) {
    if (!d || !buf) return OX_EINVAL;
    const size_t total = dll_state_bytes(d);
    if (total > kBlobMax || !ox::blob_header_ok(buf, kDllBlob, static_cast<uint32_t>(total)))
        return OX_EINVAL;
    dll img;
    std::memcpy(static_cast<void *>(&img), static_cast<const uint8_t *>(buf) + ox::kBlobHeaderBytes,
                kImageBytes);
    if (!image_ok(img, d) || !running_values_ok(img)) return OX_EINVAL;
    bound_integrator(&img);
    // Commit: the numeric state and configuration of the blob, the object's own code, arrays,
    // ownership and telemetry attachment.
    strip_image(&img);
    img.code = d->code;
    for (auto member : kSegmentArrays) img.*member = d->*member;
    img.ring_prompt = d->ring_prompt;
    img.ring_noise = d->ring_noise;
    img.ring_early = d->ring_early;
    img.ring_late = d->ring_late;
    img.hyp_power = d->hyp_power;
    img.owns_code = d->owns_code;
    img.tlm = d->tlm;
    std::memcpy(img.tlm_ids, d->tlm_ids, sizeof(img.tlm_ids));
    std::memcpy(static_cast<void *>(d), &img, kImageBytes);
    ox::BlobReader r(static_cast<const uint8_t *>(buf) + kFixedBytes);
    const BlobArrays arr = blob_arrays(d);
    if (d->segments >= 2) {
        for (ox_cf32 *a : arr.seg) r.bytes(a, d->segments * sizeof(ox_cf32));
    }
    if (aid_on(d)) {
        for (ox_cf32 *a : arr.ring) r.bytes(a, d->ring_size * sizeof(ox_cf32));
        r.bytes(d->hyp_power, d->hypotheses * sizeof(double));
    }
    return OX_OK;
}

// ---------------------------------------------------------------------------------------------
// Lock detector and symbol-period aid.
// ---------------------------------------------------------------------------------------------
int dll_configure_lock(dll *d, uint64_t n_looks, double pfa, double ref_snr_db) {
    if (!(pfa > 0.0 && pfa < 1.0)) return OX_EINVAL;
    const uint64_t n = n_looks ? n_looks : 1;
    if (n > static_cast<uint64_t>(INT_MAX)) return OX_EINVAL;
    if (!(ref_snr_db > 0.0))
        ref_snr_db = 10.0 * std::log10(std::fmax(64.0 * static_cast<double>(n), 2048.0) - 1.0);
    const double alpha = det_ema_alpha(0.0, ref_snr_db);
    const double eta = det_threshold_noncoherent(static_cast<int>(n), pfa);
    dll_configure_lock_raw(d, n, det_verify_count(pfa, 0.001 * pfa), 2, eta, eta, alpha);
    return OX_OK;
}

void dll_configure_lock_raw(dll *d, uint64_t n_looks, int n_up, int n_down, double up_thresh,
                            double down_thresh, double alpha) {
    lockdet_configure(&d->ld, static_cast<uint32_t>(n_up > 1 ? n_up : 1),
                      static_cast<uint32_t>(n_down > 1 ? n_down : 1), up_thresh, down_thresh);
    d->n_looks = n_looks ? n_looks : 1;
    d->alpha = alpha;
    clear_lock_accumulators(d);
}

int dll_set_lock_verify(dll *d, int n_up, int n_down) {
    if (n_up <= 0 || n_down <= 0) return OX_EINVAL;
    lockdet_init(&d->ld, static_cast<uint32_t>(n_up), static_cast<uint32_t>(n_down),
                 d->ld.up_thresh, d->ld.down_thresh);
    lockdet_reset(&d->ld);
    return OX_OK;
}

int dll_set_symbol_period(dll *d, double period) {
    double k = 1.0;
    if (period <= 0.0) {
        free_aid(d);
        d->period = 0.0;
        d->window = d->hypotheses = d->ring_size = d->best = d->ring_count = 0;
        d->hyp_alpha = 0.0;
        clear_lock_accumulators(d);
    } else {
        if (!aid_period_ok(period, d->segments)) return OX_EINVAL;
        const AidSizes s = aid_sizes(period, d->segments);
        // Everything new is allocated before anything changes: a failure leaves the object
        // exactly as it was.
        ox_cf32 *rings[4] = {};
        bool ok = true;
        for (ox_cf32 *&ring : rings) {
            ring = static_cast<ox_cf32 *>(std::calloc(s.ring_size, sizeof(ox_cf32)));
            ok = ok && ring;
        }
        auto *hyp = static_cast<double *>(std::calloc(s.hypotheses, sizeof(double)));
        if (!ok || !hyp) {
            for (ox_cf32 *ring : rings) std::free(ring);
            std::free(hyp);
            return OX_EINVAL;
        }
        free_aid(d);
        d->ring_prompt = rings[0];
        d->ring_noise = rings[1];
        d->ring_early = rings[2];
        d->ring_late = rings[3];
        d->hyp_power = hyp;
        d->period = period;
        d->window = s.window;
        d->hypotheses = s.hypotheses;
        d->ring_size = s.ring_size;
        d->hyp_alpha = kHypAlpha;
        d->best = 0;
        d->ring_count = 0;
        clear_lock_accumulators(d);
        k = period / static_cast<double>(d->segments);
    }
    // Keep the tracked rate continuous: A = (kp e + integ) / k.
    d->loop.integ *= k / d->loop.t;
    loop_filter_configure(&d->loop, d->bn, d->zeta, k);
    d->rate_scale = 1.0 / k;
    return OX_OK;
}

uint64_t dll_get_symbol_window(const dll *d) { return aid_on(d) ? d->window : 0; }
int dll_get_locked(const dll *d) { return d->ld.locked ? 1 : 0; }
double dll_get_lock_stat(const dll *d) { return d->lock_stat; }
double dll_get_noise_est(const dll *d) { return d->noise_est; }

void dll_lock_look(dll *d, double scale) {
    const auto s = static_cast<float>(1.0 / scale);
    look(d, scaled(d->prompt, s), scaled(d->noise, s));
    d->noise = ox_cf32{0.0f, 0.0f};
}

void dll_lock_epoch(dll *d) { draw_noise_offset(d); }

uint64_t dll_lookback_segments(uint64_t n, double loss_db) {
    if (n == 0) return 1;
    const double target =
        std::ceil(static_cast<double>(n) * (1.0 - std::pow(10.0, -loss_db / 10.0)));
    // Divisors in increasing order; the first of equal distance wins. Pairs (q, n/q) with
    // q <= sqrt(n): the small ones ascend, the large ones descend, so a large divisor beats an
    // earlier pick only when strictly nearer, and loses to a small divisor at equal distance.
    uint64_t best = 1;
    double best_dist = std::fabs(1.0 - target);
    auto consider = [&](uint64_t div) {
        const double dist = std::fabs(static_cast<double>(div) - target);
        if (dist < best_dist || (dist == best_dist && div < best)) {
            best = div;
            best_dist = dist;
        }
    };
    for (uint64_t q = 1; q <= n / q; ++q) {
        if (n % q) continue;
        consider(q);
        consider(n / q);
    }
    return n / best;
}
