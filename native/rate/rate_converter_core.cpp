#include "rate/rate_converter_core.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "rate/agc_core.h"
#include "rate/cic_core.h"
#include "rate/fir_core.h"
#include "rate/hbdecim_core.h"
#include "rate/resamp_core.h"

namespace {

constexpr ox::BlobKind kRcBlob{"RCVT", 2};
constexpr int kMaxStages = 3;
constexpr size_t kCompTaps = 7;
// Blocks run through the cascade in chunks of this many input samples, so the ping-pong scratch
// buffers stay cache-resident and are sized once at creation. Every stage is a streaming state
// machine, so chunking does not change a single output sample.
constexpr size_t kChunk = 4096;
// Largest matched bank accepted (entries); beyond that the design is certainly a parameter slip.
constexpr double kMaxBankEntries = 268435456.0;  // 2^28 floats, 1 GiB

// CIC stage: the decimator and, in a plain converter with compensation, its 7-tap FIR.
struct CicStage {
    cic *c;
    fir *f;  // null without compensation
    uint32_t R;
};

struct PlanStage {
    int kind;
    uint32_t R;  // CIC factor
    double S;    // resampler rate
};
struct Plan {
    int n = 0;
    PlanStage st[kMaxStages];
    void add(int kind, uint32_t R, double S) { st[n++] = PlanStage{kind, R, S}; }
};

}  // namespace

struct RateConverter {
    double rate;
    int comp;
    int num_stages;
    int kinds[kMaxStages];
    void *stages[kMaxStages];
    ox_cf32 *scratch_a;
    ox_cf32 *scratch_b;
    size_t scratch_cap;
    uint32_t pulse;  // OX_RC_PULSE_*
    double rolloff;
    size_t span;
    double sps;
    size_t num_phases;
    int narrow_pulse;
    agc *agc_p;
    double bank_sps;
    double bank_norm;
    double agc_ref_db;
    double agc_bw;
    double agc_alpha;
    ox_tlm *tlm;
    char prefix[32];
    int decim;
};

namespace {

bool is_matched(const RateConverter *rc) { return rc->pulse != OX_RC_PULSE_NONE; }

// Stage planner. r is output/input; D = 1/r.
Plan plan_stages(double r, bool matched) {
    Plan p;
    const double D = 1.0 / r;
    if (r >= 1.0 || D < 2.0) {
        p.add(OX_RC_STAGE_RESAMPLER, 0, r);
        return p;
    }
    const double e = std::log2(D);
    const double k = std::round(e);  // halves away from zero
    if (std::fabs(e - k) < 1e-9) {
        double M;
        if (k == 1.0) {
            p.add(OX_RC_STAGE_HALFBAND, 0, 0.0);
            M = 2.0;
        } else if (k == 2.0) {
            p.add(OX_RC_STAGE_HALFBAND, 0, 0.0);
            p.add(OX_RC_STAGE_HALFBAND, 0, 0.0);
            M = 4.0;
        } else {
            const uint32_t R = k > 11.0 ? 2048u : (1u << static_cast<int>(k));
            p.add(OX_RC_STAGE_CIC, R, 0.0);
            M = R;
        }
        if (matched || D != M) p.add(OX_RC_STAGE_RESAMPLER, 0, M * r);
        return p;
    }
    if (D >= 8.0) {
        const double f = std::floor(e);
        const uint32_t r_lo = f > 10.0 ? 2048u : (1u << static_cast<int>(f));
        const uint32_t r_hi = f > 10.0 ? 2048u : (1u << static_cast<int>(f + 1.0));
        const double d_lo = std::fabs(std::log2(r_lo * r));
        const double d_hi = std::fabs(std::log2(r_hi * r));
        const uint32_t R = d_hi < d_lo ? r_hi : r_lo;
        p.add(OX_RC_STAGE_CIC, R, 0.0);
        const double res = R * r;
        if (matched || !(std::fabs(res - 1.0) <= 1e-6)) p.add(OX_RC_STAGE_RESAMPLER, 0, res);
        return p;
    }
    p.add(OX_RC_STAGE_RESAMPLER, 0, r);
    return p;
}

double pulse_value(uint32_t pulse, double tau, double beta) {
    if (pulse == OX_RC_PULSE_IANDD) return (tau >= -0.5 && tau < 0.5) ? 1.0 : 0.0;
    constexpr double kPi = 3.141592653589793;
    if (std::fabs(tau) < 1e-9) return 1.0 + beta * (4.0 / kPi - 1.0);
    if (beta > 0.0 && std::fabs(std::fabs(tau) - 1.0 / (4.0 * beta)) < 1e-9) {
        const double a = kPi / (4.0 * beta);
        return (beta / std::sqrt(2.0)) *
               ((1.0 + 2.0 / kPi) * std::sin(a) + (1.0 - 2.0 / kPi) * std::cos(a));
    }
    return (std::sin(kPi * tau * (1.0 - beta)) + 4.0 * beta * tau * std::cos(kPi * tau * (1.0 + beta))) /
           (kPi * tau * (1.0 - 16.0 * beta * beta * tau * tau));
}

// Terminal stage of a matched converter: the matched-filter bank at stage rate S, with the CIC
// compensator `comp_taps` (7 taps) folded in when given.
resamp *build_matched_stage(RateConverter *rc, double S, const double *comp_taps) {
    const double h = rc->sps / S;
    const double m = rc->pulse == OX_RC_PULSE_IANDD ? 0.5 : static_cast<double>(rc->span);
    const double o = rc->pulse == OX_RC_PULSE_IANDD ? 1.0 : 2.0 * static_cast<double>(rc->span);
    const double t = std::ceil((o + 1.0 / h) * h);
    const size_t L = rc->num_phases;
    if (!(t >= 0.0) || !(t < kMaxBankEntries)) return nullptr;
    const size_t c = static_cast<size_t>(t) + 1;
    const size_t T = comp_taps ? c + (kCompTaps - 1) : c;
    if (static_cast<double>(L) * static_cast<double>(T) > kMaxBankEntries) return nullptr;
    auto *bank = static_cast<float *>(std::calloc(L * T, sizeof(float)));
    if (!bank) return nullptr;
    double f = 0.0;
    const double lh = static_cast<double>(L) * h;
    for (size_t j = 0; j < L; ++j) {
        float *row = bank + j * T;
        for (size_t k = 0; k < c; ++k) {
            const double tau = m - static_cast<double>(j) / lh - static_cast<double>(k) / h;
            const double v = pulse_value(rc->pulse, tau, rc->rolloff);
            if (j == 0) f += rc->pulse == OX_RC_PULSE_IANDD ? (v == 1.0 ? 1.0 : 0.0) : v * v;
            if (comp_taps) {
                for (size_t i = 0; i < kCompTaps; ++i) row[k + i] += static_cast<float>(v * comp_taps[i]);
            } else {
                row[k] = static_cast<float>(v);
            }
        }
    }
    if (f > 0.0) {
        const float scale = static_cast<float>(1.0 / f);
        for (size_t i = 0; i < L * T; ++i) bank[i] *= scale;
    }
    rc->agc_ref_db = (f > 0.0 && h > 0.0) ? 10.0 * std::log10(f / h) : 0.0;
    rc->bank_norm = f;
    rc->bank_sps = h;
    resamp *r = resamp_create_custom(L, T, bank, S);
    std::free(bank);
    return r;
}

void destroy_stage(int kind, void *st) {
    switch (kind) {
        case OX_RC_STAGE_HALFBAND: hbdecim_destroy(static_cast<hbdecim *>(st)); break;
        case OX_RC_STAGE_CIC: {
            auto *cs = static_cast<CicStage *>(st);
            if (cs) {
                cic_destroy(cs->c);
                fir_destroy(cs->f);
                std::free(cs);
            }
            break;
        }
        case OX_RC_STAGE_RESAMPLER: resamp_destroy(static_cast<resamp *>(st)); break;
        default: break;
    }
}

void destroy_stages(RateConverter *rc) {
    for (int i = 0; i < rc->num_stages; ++i) destroy_stage(rc->kinds[i], rc->stages[i]);
    rc->num_stages = 0;
    for (int i = 0; i < kMaxStages; ++i) rc->stages[i] = nullptr;
}

CicStage *build_cic_stage(uint32_t R, bool with_fir) {
    auto *cs = static_cast<CicStage *>(std::calloc(1, sizeof(CicStage)));
    if (!cs) return nullptr;
    cs->R = R;
    cs->c = cic_create(R);
    if (cs->c && with_fir) {
        double taps[kCompTaps];
        float taps32[kCompTaps];
        ciccompmf(taps, 4, R, kCompTaps);
        for (size_t i = 0; i < kCompTaps; ++i) taps32[i] = static_cast<float>(taps[i]);
        cs->f = fir_create_real(taps32, kCompTaps);
    }
    if (!cs->c || (with_fir && !cs->f)) {
        destroy_stage(OX_RC_STAGE_CIC, cs);
        return nullptr;
    }
    return cs;
}

// Plans and builds the stages for rc->rate. On failure every stage built is destroyed and
// num_stages is 0.
bool build_stages(RateConverter *rc) {
    const bool matched = is_matched(rc);
    const Plan p = plan_stages(rc->rate, matched);
    rc->num_stages = 0;
    for (int i = 0; i < p.n; ++i) {
        const PlanStage &ps = p.st[i];
        void *st = nullptr;
        switch (ps.kind) {
            case OX_RC_STAGE_HALFBAND: st = hbdecim_create(OX_HB_FIR_LEN, OX_HB_FIR); break;
            case OX_RC_STAGE_CIC: st = build_cic_stage(ps.R, !matched && rc->comp); break;
            case OX_RC_STAGE_RESAMPLER:
                if (matched && i == p.n - 1) {
                    // The compensator of a CIC in front of the terminal stage is folded into
                    // the bank: the first stage, or the second for a third-position terminal.
                    const int ci = p.n == 3 ? 1 : 0;
                    const double *comp = nullptr;
                    double taps[kCompTaps];
                    if (rc->comp && ci < i && p.st[ci].kind == OX_RC_STAGE_CIC) {
                        ciccompmf(taps, 4, p.st[ci].R, kCompTaps);
                        comp = taps;
                    }
                    st = build_matched_stage(rc, ps.S, comp);
                } else {
                    st = resamp_create(ps.S);
                }
                break;
            default: break;
        }
        if (!st) {
            destroy_stages(rc);
            return false;
        }
        rc->kinds[i] = ps.kind;
        rc->stages[i] = st;
        rc->num_stages = i + 1;
    }
    return true;
}

// One stage over a block in its block form. CIC stages run their FIR in place on the outputs.
size_t run_stage(int kind, void *st, const ox_cf32 *in, size_t n, ox_cf32 *out, size_t cap) {
    switch (kind) {
        case OX_RC_STAGE_HALFBAND: return hbdecim_execute(static_cast<hbdecim *>(st), in, n, out, cap);
        case OX_RC_STAGE_CIC: {
            auto *cs = static_cast<CicStage *>(st);
            const size_t m = cic_decimate(cs->c, in, n, out, cap);
            if (cs->f && m) fir_execute(cs->f, out, m, out);
            return m;
        }
        case OX_RC_STAGE_RESAMPLER: return resamp_execute(static_cast<resamp *>(st), in, n, out, cap);
        default: return 0;
    }
}

// One sample through a non-terminal stage; returns 1 with *y set when the stage yields.
int push_stage(int kind, void *st, ox_cf32 x, ox_cf32 *y) {
    switch (kind) {
        case OX_RC_STAGE_HALFBAND: return hbdecim_execute(static_cast<hbdecim *>(st), &x, 1, y, 1) ? 1 : 0;
        case OX_RC_STAGE_CIC: {
            auto *cs = static_cast<CicStage *>(st);
            if (!ox::cic_push(cs->c, x, y)) return 0;
            if (cs->f) fir_execute(cs->f, y, 1, y);
            return 1;
        }
        case OX_RC_STAGE_RESAMPLER: return resamp_execute(static_cast<resamp *>(st), &x, 1, y, 1) ? 1 : 0;
        default: return 0;
    }
}

// Runs stages [0, upto) over one chunk (n <= scratch_cap); returns the pointer to their output
// and its count. upto == 0 passes the input through.
const ox_cf32 *run_front(RateConverter *rc, int upto, const ox_cf32 *in, size_t n, size_t *m) {
    const ox_cf32 *src = in;
    size_t cnt = n;
    for (int s = 0; s < upto; ++s) {
        ox_cf32 *dst = (s & 1) ? rc->scratch_b : rc->scratch_a;
        cnt = run_stage(rc->kinds[s], rc->stages[s], src, cnt, dst, rc->scratch_cap);
        src = dst;
    }
    *m = cnt;
    return src;
}

// Pushes samples into the terminal resampler in controlled mode (AGC first when present) until
// out_cap outputs exist.
template <bool kAgc>
size_t push_terminal(RateConverter *rc, resamp *term, const ox_cf32 *x, size_t n, ox_cf32 *out,
                     size_t out_cap, double ctrl) {
    size_t k = 0;
    for (size_t i = 0; i < n && k < out_cap; ++i) {
        ox_cf32 s = x[i];
        if constexpr (kAgc) s = ox::agc_push(rc->agc_p, s);
        k += resamp_execute_ctrl_push(term, out + k, out_cap - k, s, ctrl);
    }
    return k;
}

// Block form of every stage. `*cut` records, across the chunks of one logical block, that the
// terminal stage's output capacity has run out (see below).
size_t execute_plain(RateConverter *rc, const ox_cf32 *in, size_t n_in, ox_cf32 *out, size_t out_cap,
                     bool *cut) {
    const int last = rc->num_stages - 1;
    const int kind = rc->kinds[last];
    void *term = rc->stages[last];
    size_t total = 0;
    for (size_t i = 0; i < n_in; i += kChunk) {
        const size_t len = n_in - i < kChunk ? n_in - i : kChunk;
        size_t m;
        const ox_cf32 *mid = run_front(rc, last, in + i, len, &m);
        const size_t room = out_cap - total;
        if (room == 0 && kind == OX_RC_STAGE_HALFBAND) {
            // The capacity ran out on an earlier chunk. A halfband given the whole block at once
            // keeps the first input it did not consume pending; when it had consumed every input
            // of its last chunk, that input is the first one of this chunk. A one-sample call
            // with nothing pending only stores the sample.
            auto *hb = static_cast<hbdecim *>(term);
            if (*cut && m && !hbdecim_has_pending(hb)) {
                ox_cf32 unused;
                hbdecim_execute(hb, mid, 1, &unused, 1);
            }
            continue;
        }
        total += run_stage(kind, term, mid, m, out + total, room);
        if (room && total == out_cap) *cut = true;
    }
    return total;
}

// Label of stage `index` into buf (snprintf semantics).
void format_label(const RateConverter *rc, int index, char *buf, size_t size) {
    switch (rc->kinds[index]) {
        case OX_RC_STAGE_HALFBAND: std::snprintf(buf, size, "HalfbandDecimator"); break;
        case OX_RC_STAGE_CIC: {
            const auto *cs = static_cast<const CicStage *>(rc->stages[index]);
            std::snprintf(buf, size, cs->f ? "CIC(%d)+FIR" : "CIC(%d)", static_cast<int>(cs->R));
            break;
        }
        case OX_RC_STAGE_RESAMPLER: {
            const double r = resamp_get_rate(static_cast<const resamp *>(rc->stages[index]));
            if (is_matched(rc) && index == rc->num_stages - 1)
                std::snprintf(buf, size, "Resampler(%g,%s)", r, rc->pulse == OX_RC_PULSE_IANDD ? "iandd" : "rrc");
            else
                std::snprintf(buf, size, "Resampler(%g)", r);
            break;
        }
        default: std::snprintf(buf, size, "Unknown"); break;
    }
}

// Uniform view of the blob-carrying parts (stages, CIC FIRs, AGC) in blob order.
struct BlobPart {
    size_t (*bytes)(const void *);
    void (*get)(const void *, void *);
    int (*set)(void *, const void *);
    void *obj;
};

template <class T, size_t (*B)(const T *), void (*G)(const T *, void *), int (*S)(T *, const void *)>
BlobPart make_part(T *obj) {
    return BlobPart{[](const void *o) { return B(static_cast<const T *>(o)); },
                    [](const void *o, void *b) { G(static_cast<const T *>(o), b); },
                    [](void *o, const void *b) { return S(static_cast<T *>(o), b); }, obj};
}

int blob_parts(const RateConverter *rc, BlobPart *parts) {
    int n = 0;
    for (int i = 0; i < rc->num_stages; ++i) {
        switch (rc->kinds[i]) {
            case OX_RC_STAGE_HALFBAND:
                parts[n++] = make_part<hbdecim, hbdecim_state_bytes, hbdecim_get_state, hbdecim_set_state>(
                    static_cast<hbdecim *>(rc->stages[i]));
                break;
            case OX_RC_STAGE_CIC: {
                auto *cs = static_cast<CicStage *>(rc->stages[i]);
                parts[n++] = make_part<cic, cic_state_bytes, cic_get_state, cic_set_state>(cs->c);
                if (cs->f) parts[n++] = make_part<fir, fir_state_bytes, fir_get_state, fir_set_state>(cs->f);
                break;
            }
            case OX_RC_STAGE_RESAMPLER:
                parts[n++] = make_part<resamp, resamp_state_bytes, resamp_get_state, resamp_set_state>(
                    static_cast<resamp *>(rc->stages[i]));
                break;
            default: break;
        }
    }
    if (rc->agc_p) parts[n++] = make_part<agc, agc_state_bytes, agc_get_state, agc_set_state>(rc->agc_p);
    return n;
}

constexpr int kMaxParts = 2 * kMaxStages + 1;

// Applies the sub-blobs of an outer blob in order; stops at the first rejection.
bool apply_parts(const BlobPart *parts, int n, const uint8_t *payload) {
    for (int i = 0; i < n; ++i) {
        if (parts[i].set(parts[i].obj, payload) != OX_OK) return false;
        payload += parts[i].bytes(parts[i].obj);
    }
    return true;
}

RateConverter *alloc_converter(int comp, double rate) {
    if (!(rate > 0.0) || !std::isfinite(rate)) return nullptr;
    auto *rc = static_cast<RateConverter *>(std::calloc(1, sizeof(RateConverter)));
    if (!rc) return nullptr;
    rc->rate = rate;
    rc->comp = comp;
    rc->pulse = OX_RC_PULSE_NONE;
    std::snprintf(rc->prefix, sizeof(rc->prefix), "agc");
    rc->decim = 1;
    rc->scratch_a = static_cast<ox_cf32 *>(std::malloc(kChunk * sizeof(ox_cf32)));
    rc->scratch_b = static_cast<ox_cf32 *>(std::malloc(kChunk * sizeof(ox_cf32)));
    if (!rc->scratch_a || !rc->scratch_b) {
        std::free(rc->scratch_a);
        std::free(rc->scratch_b);
        std::free(rc);
        return nullptr;
    }
    rc->scratch_cap = kChunk;
    return rc;
}

}  // namespace

RateConverter *RateConverter_create(int comp, double rate) {
    RateConverter *rc = alloc_converter(comp, rate);
    if (!rc) return nullptr;
    if (!build_stages(rc)) {
        RateConverter_destroy(rc);
        return nullptr;
    }
    return rc;
}

RateConverter *RateConverter_create_matched(int comp, uint32_t pulse, size_t span, size_t num_phases,
                                            double rate, double rolloff, double sps) {
    if (!(rolloff >= 0.0 && rolloff <= 1.0) || span == 0 || !(sps > 0.0) || !std::isfinite(sps) ||
        num_phases < 2 || (num_phases & (num_phases - 1)) != 0 || pulse >= OX_RC_PULSE_NONE)
        return nullptr;
    RateConverter *rc = alloc_converter(comp, rate);
    if (!rc) return nullptr;
    rc->pulse = pulse;
    rc->rolloff = rolloff;
    rc->span = span;
    rc->sps = sps;
    rc->num_phases = num_phases;
    rc->narrow_pulse = (pulse == OX_RC_PULSE_IANDD && sps < 4.0) ? 1 : 0;
    if (!build_stages(rc)) {
        RateConverter_destroy(rc);
        return nullptr;
    }
    return rc;
}

void RateConverter_destroy(RateConverter *rc) {
    if (!rc) return;
    destroy_stages(rc);
    agc_destroy(rc->agc_p);
    std::free(rc->scratch_a);
    std::free(rc->scratch_b);
    std::free(rc);
}

void RateConverter_reset(RateConverter *rc) {
    for (int i = 0; i < rc->num_stages; ++i) {
        switch (rc->kinds[i]) {
            case OX_RC_STAGE_HALFBAND: hbdecim_reset(static_cast<hbdecim *>(rc->stages[i])); break;
            case OX_RC_STAGE_CIC: {
                auto *cs = static_cast<CicStage *>(rc->stages[i]);
                cic_reset(cs->c);
                if (cs->f) fir_reset(cs->f);
                break;
            }
            case OX_RC_STAGE_RESAMPLER: resamp_reset(static_cast<resamp *>(rc->stages[i])); break;
            default: break;
        }
    }
    if (rc->agc_p) agc_reset(rc->agc_p);
}

void RateConverter_set_rate(RateConverter *rc, double rate) {
    if (!(rate > 0.0) || !std::isfinite(rate)) return;
    destroy_stages(rc);
    rc->rate = rate;
    build_stages(rc);
    if (rc->agc_p) {
        agc_destroy(rc->agc_p);
        rc->agc_p = nullptr;
        if (rc->num_stages > 0) RateConverter_enable_agc(rc, rc->agc_bw, rc->agc_alpha);
    }
}

double RateConverter_get_rate(const RateConverter *rc) { return rc->rate; }

size_t ox::rc_execute_piece(RateConverter *rc, const ox_cf32 *in, size_t n_in, ox_cf32 *out, size_t out_cap,
                           const double *ctrl, bool *cut) {
    if (rc->num_stages == 0 || n_in == 0) return 0;
    const int last = rc->num_stages - 1;
    // A matched converter always runs its terminal stage in controlled mode (correction 0 when
    // called as a plain block).
    if ((!ctrl && !is_matched(rc)) || rc->kinds[last] != OX_RC_STAGE_RESAMPLER)
        return execute_plain(rc, in, n_in, out, out_cap, cut);
    const double c = ctrl ? *ctrl : 0.0;
    auto *term = static_cast<resamp *>(rc->stages[last]);
    size_t total = 0;
    for (size_t i = 0; i < n_in; i += kChunk) {
        const size_t len = n_in - i < kChunk ? n_in - i : kChunk;
        size_t m;
        const ox_cf32 *mid = run_front(rc, last, in + i, len, &m);
        if (rc->agc_p)
            total += push_terminal<true>(rc, term, mid, m, out + total, out_cap - total, c);
        else
            total += push_terminal<false>(rc, term, mid, m, out + total, out_cap - total, c);
    }
    return total;
}

ox::RcTerminal ox::rc_terminal(RateConverter *rc) {
    RcTerminal t{nullptr, rc->pulse, rc->span, rc->rolloff, rc->num_stages > 0 ? rc->num_stages - 1 : 0, rc->agc_p};
    if (rc->num_stages > 0 && rc->kinds[rc->num_stages - 1] == OX_RC_STAGE_RESAMPLER)
        t.stage = static_cast<resamp *>(rc->stages[rc->num_stages - 1]);
    return t;
}

bool ox::rc_push_front(RateConverter *rc, ox_cf32 x, ox_cf32 *y) {
    ox_cf32 s = x;
    for (int i = 0; i + 1 < rc->num_stages; ++i) {
        ox_cf32 o;
        if (!push_stage(rc->kinds[i], rc->stages[i], s, &o)) return false;
        s = o;
    }
    *y = s;
    return true;
}

size_t RateConverter_execute(RateConverter *rc, const ox_cf32 *in, size_t n_in, ox_cf32 *out, size_t out_cap) {
    bool cut = false;
    return ox::rc_execute_piece(rc, in, n_in, out, out_cap, nullptr, &cut);
}

size_t RateConverter_execute_ctrl(RateConverter *rc, const ox_cf32 *in, size_t n_in, ox_cf32 *out,
                                  size_t out_cap, double ctrl) {
    bool cut = false;
    return ox::rc_execute_piece(rc, in, n_in, out, out_cap, &ctrl, &cut);
}

size_t RateConverter_execute_ctrl_push_tap(RateConverter *rc, ox_cf32 *out, size_t out_cap, ox_cf32 *tap,
                                           int *tapped, ox_cf32 x, double ctrl) {
    if (tapped) *tapped = 0;
    if (rc->num_stages == 0 || out_cap == 0) return 0;
    const int last = rc->num_stages - 1;
    ox_cf32 s = x;
    for (int i = 0; i < last; ++i) {
        ox_cf32 y;
        if (!push_stage(rc->kinds[i], rc->stages[i], s, &y)) return 0;
        s = y;
    }
    if (rc->kinds[last] == OX_RC_STAGE_RESAMPLER) {
        if (rc->agc_p) s = ox::agc_push(rc->agc_p, s);
        if (tap) *tap = s;
        if (tapped) *tapped = 1;
        return resamp_execute_ctrl_push(static_cast<resamp *>(rc->stages[last]), out, out_cap, s, ctrl);
    }
    if (tap) *tap = s;
    if (tapped) *tapped = 1;
    return run_stage(rc->kinds[last], rc->stages[last], &s, 1, out, out_cap);
}

size_t RateConverter_execute_ctrl_push(RateConverter *rc, ox_cf32 *out, size_t out_cap, ox_cf32 x, double ctrl) {
    return RateConverter_execute_ctrl_push_tap(rc, out, out_cap, nullptr, nullptr, x, ctrl);
}

size_t RateConverter_execute_max_out(const RateConverter *rc) {
    if (rc->rate > 1.0) return ox::rc_bound_plus2(rc->rate * 65536.0);
    return 65538;
}

size_t RateConverter_execute_ctrl_max_out(const RateConverter *) { return 0; }

size_t RateConverter_execute_ctrl_push_max_out(const RateConverter *rc) {
    if (rc->rate > 1.0) return ox::rc_bound_plus2(rc->rate);
    return 3;
}

int RateConverter_enable_agc(RateConverter *rc, double bw, double alpha) {
    if (!is_matched(rc) || !(bw > 0.0) || !(alpha > 0.0 && alpha <= 1.0)) return OX_EINVAL;
    const double prev_bw = rc->agc_bw, prev_alpha = rc->agc_alpha;
    rc->agc_bw = bw;
    rc->agc_alpha = alpha;
    agc_destroy(rc->agc_p);
    rc->agc_p = nullptr;
    if (rc->bank_sps > 0.0) rc->agc_p = agc_create(rc->agc_ref_db, bw / rc->bank_sps, alpha);
    if (!rc->agc_p) {
        rc->agc_bw = prev_bw;
        rc->agc_alpha = prev_alpha;
        return OX_EINVAL;
    }
    agc_set_update_every(rc->agc_p, 8);
    if (rc->tlm) agc_set_telemetry(rc->agc_p, rc->tlm, rc->prefix, rc->decim);
    return OX_OK;
}

double RateConverter_agc_ref_db(const RateConverter *rc) { return rc->agc_ref_db; }

double RateConverter_agc_gain_db(const RateConverter *rc) {
    return rc->agc_p ? agc_get_applied_gain_db(rc->agc_p) : 0.0;
}

int RateConverter_set_telemetry(RateConverter *rc, ox_tlm *tlm, const char *prefix, int decim) {
    if (!tlm) {
        rc->tlm = nullptr;
        if (rc->agc_p) agc_set_telemetry(rc->agc_p, nullptr, nullptr, 0);
        return OX_OK;
    }
    if (rc->agc_p && agc_set_telemetry(rc->agc_p, tlm, prefix ? prefix : "agc", decim) != OX_OK)
        return OX_EINVAL;  // the previous attachment (context, prefix, decim) stays in force
    rc->tlm = tlm;
    std::snprintf(rc->prefix, sizeof(rc->prefix), "%s", prefix ? prefix : "agc");
    rc->decim = decim;
    return OX_OK;
}

int RateConverter_get_clipped(const RateConverter *rc) {
    for (int i = 0; i < rc->num_stages; ++i)
        if (rc->kinds[i] == OX_RC_STAGE_CIC && static_cast<const CicStage *>(rc->stages[i])->c->clipped) return 1;
    return 0;
}

double RateConverter_gain(const RateConverter *rc) {
    double g = 1.0;
    for (int i = 0; i < rc->num_stages; ++i) {
        switch (rc->kinds[i]) {
            case OX_RC_STAGE_HALFBAND: g *= hbdecim_dc_gain(static_cast<const hbdecim *>(rc->stages[i])); break;
            case OX_RC_STAGE_CIC: {
                const auto *cs = static_cast<const CicStage *>(rc->stages[i]);
                g *= cic_dc_gain(cs->c) * (cs->f ? fir_dc_gain(cs->f) : 1.0);
                break;
            }
            case OX_RC_STAGE_RESAMPLER: g *= resamp_dc_gain(static_cast<const resamp *>(rc->stages[i])); break;
            default: break;
        }
    }
    return g;
}

int RateConverter_num_stages(const RateConverter *rc) { return rc->num_stages; }

int RateConverter_stage_label(const RateConverter *rc, int index, char *buf, size_t size) {
    if (index < 0 || index >= rc->num_stages) return 0;
    format_label(rc, index, buf, size);
    return 1;
}

const char *RateConverter_stages_value(const RateConverter *rc, int index) {
    static thread_local char label[64];
    if (index < 0 || index >= rc->num_stages) return nullptr;
    format_label(rc, index, label, sizeof(label));
    return label;
}

int RateConverter_num_bank_shape(const RateConverter *rc) {
    return (rc->num_stages > 0 && rc->kinds[rc->num_stages - 1] == OX_RC_STAGE_RESAMPLER) ? 2 : 0;
}

size_t RateConverter_bank_shape_value(const RateConverter *rc, int which) {
    if (RateConverter_num_bank_shape(rc) == 0) return 0;
    const auto *r = static_cast<const resamp *>(rc->stages[rc->num_stages - 1]);
    return which == 0 ? resamp_get_num_phases(r) : resamp_get_num_taps(r);
}

double RateConverter_get_bank_sps(const RateConverter *rc) { return rc->bank_sps; }
int RateConverter_get_narrow_pulse(const RateConverter *rc) { return rc->narrow_pulse; }

size_t RateConverter_convert(int comp, const ox_cf32 *in, size_t n_in, ox_cf32 *out, size_t out_cap, double rate) {
    RateConverter *rc = RateConverter_create(comp, rate);
    if (!rc) return 0;
    const size_t n = RateConverter_execute(rc, in, n_in, out, out_cap);
    RateConverter_destroy(rc);
    return n;
}

size_t RateConverter_state_bytes(const RateConverter *rc) {
    BlobPart parts[kMaxParts];
    const int n = blob_parts(rc, parts);
    size_t total = ox::kBlobHeaderBytes;
    for (int i = 0; i < n; ++i) total += parts[i].bytes(parts[i].obj);
    return total;
}

void RateConverter_get_state(const RateConverter *rc, void *buf) {
    BlobPart parts[kMaxParts];
    const int n = blob_parts(rc, parts);
    const size_t total = RateConverter_state_bytes(rc);
    ox::blob_write_header(buf, kRcBlob, static_cast<uint32_t>(total));
    auto *p = static_cast<uint8_t *>(buf) + ox::kBlobHeaderBytes;
    for (int i = 0; i < n; ++i) {
        parts[i].get(parts[i].obj, p);
        p += parts[i].bytes(parts[i].obj);
    }
}

// Restores all sub-blobs or none: the current state is saved first and put back when any
// sub-component rejects its slice, so a crafted blob never leaves a half-restored converter.
int RateConverter_set_state(RateConverter *rc, const void *buf) {
    const size_t total = RateConverter_state_bytes(rc);
    if (!buf || !ox::blob_header_ok(buf, kRcBlob, static_cast<uint32_t>(total))) return OX_EINVAL;
    BlobPart parts[kMaxParts];
    const int n = blob_parts(rc, parts);
    const auto *payload = static_cast<const uint8_t *>(buf) + ox::kBlobHeaderBytes;
    auto *backup = static_cast<uint8_t *>(std::malloc(total));
    if (!backup) return OX_EINVAL;
    RateConverter_get_state(rc, backup);
    int rc_code = OX_OK;
    if (!apply_parts(parts, n, payload)) {
        apply_parts(parts, n, backup + ox::kBlobHeaderBytes);
        rc_code = OX_EINVAL;
    }
    std::free(backup);
    return rc_code;
}
