#include "rx/mpsk_receiver_core.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "rate/agc_core.h"
#include "rate/ddc_core.h"
#include "rate/ddcr_core.h"
#include "rate/rate_converter_core.h"
#include "rate/resamp_core.h"

struct mpsk_receiver {
    void *dc;               // ddc (complex input) or ddcr (real input); owned
    mpsk_rx_loops loops;    // the receiver loop core, by value
    uint32_t is_real;       // 1: real input through the 2:1 real-to-complex halfband
    double init_norm_freq;  // carrier given at creation or last assigned, cycles per input sample
    RateConverter *rc;      // the down-converter's rate converter (owned by it)
};

namespace {

constexpr ox::BlobKind kComplexBlob{"MPSK", 6};
constexpr ox::BlobKind kRealBlob{"MPSR", 2};

constexpr double kDefaultZeta = 0.7071067811865476;
constexpr uint64_t kDefaultPhases = 64;
constexpr double kDefaultAgcRatio = 0.05;
constexpr double kDefaultLockThresh = 0.4999;
constexpr double kAgcAlpha = 0.01;

const ox::BlobKind &blob_kind(const mpsk_receiver *r) { return r->is_real ? kRealBlob : kComplexBlob; }

ddc *cplx(const mpsk_receiver *r) { return static_cast<ddc *>(r->dc); }
ddcr *real(const mpsk_receiver *r) { return static_cast<ddcr *>(r->dc); }

// The oscillator frequency that brings a carrier at f (cycles per input sample) to 0 Hz: -f for
// complex input; for real input -(2 f + 0.5) cycles per halfband output sample (the halfband
// halves the rate and shifts the band by a quarter of its input rate).
double lo_freq_for(bool is_real, double f) { return is_real ? -(2.0 * f + 0.5) : -f; }

struct Params {
    int m;
    uint64_t m_out;
    int pulse;
    int rrc_span;
    uint64_t num_phases;
    double sps, rrc_beta, bn_carrier, zeta, bn_timing, lock_thresh, bn_agc_ratio;
};

// Validation with the documented defaults; false on any invalid parameter.
bool resolve(bool is_real, Params &p) {
    if (!(p.m == 2 || p.m == 4 || p.m == 8) || !(p.pulse == 0 || p.pulse == 1)) return false;
    if (p.m_out != 0) {
        if ((p.m_out & 1) != 0 || p.m_out < 2 || p.m_out > 8) return false;
        const double need = static_cast<double>(p.m_out);
        if (is_real ? !(p.sps > 2.0 * need) : !(p.sps >= need)) return false;
    } else {
        // Samples per symbol at the terminal stage: the largest even count up to 8 that the
        // input rate allows (for real input, behind the 2:1 halfband, strictly below sps / 2).
        const double a = is_real ? std::floor(std::nextafter(0.5 * p.sps, 0.0) * 0.5) : std::floor(0.5 * p.sps);
        if (!(a >= 1.0)) return false;
        if (a >= 4.0) {
            p.m_out = 8;
            if (is_real && !(p.sps > 16.0)) return false;
        } else {
            p.m_out = 2 * static_cast<uint64_t>(a);
            if (is_real && !(p.sps > 4.0 * a)) return false;
        }
    }
    if (!std::isfinite(p.sps)) return false;
    if (!(p.rrc_beta >= 0.0 && p.rrc_beta <= 1.0) || p.rrc_span <= 0) return false;
    if (!(p.bn_carrier >= 0.0 && std::isfinite(p.bn_carrier))) return false;
    if (!(p.bn_timing >= 0.0 && std::isfinite(p.bn_timing))) return false;
    if (p.zeta == 0.0) p.zeta = kDefaultZeta;
    if (!(p.zeta > 0.0 && std::isfinite(p.zeta))) return false;
    if (p.num_phases == 0) p.num_phases = kDefaultPhases;
    if (p.num_phases < 2 || (p.num_phases & (p.num_phases - 1)) != 0) return false;
    if (p.bn_agc_ratio == 0.0) p.bn_agc_ratio = kDefaultAgcRatio;
    if (!(p.bn_agc_ratio > 0.0 && p.bn_agc_ratio < 1.0)) return false;
    if (p.lock_thresh == 0.0) p.lock_thresh = kDefaultLockThresh;
    return true;
}

mpsk_receiver *create(bool is_real, Params p, int differential, double init_norm_freq, int agc) {
    if (!resolve(is_real, p)) return nullptr;
    auto *r = static_cast<mpsk_receiver *>(std::calloc(1, sizeof(mpsk_receiver)));
    if (!r) return nullptr;
    const double rate = static_cast<double>(p.m_out) / p.sps;
    const double lo = lo_freq_for(is_real, init_norm_freq);
    const auto span = static_cast<size_t>(p.rrc_span);
    const auto phases = static_cast<size_t>(p.num_phases);
    const double m_out = static_cast<double>(p.m_out);
    if (is_real) {
        ddcr *d = ddcr_create_matched(p.pulse, span, phases, lo, rate, p.rrc_beta, m_out);
        r->dc = d;
        r->rc = d ? ox::ddcr_converter(d) : nullptr;
    } else {
        ddc *d = ddc_create_matched(p.pulse, span, phases, lo, rate, p.rrc_beta, m_out);
        r->dc = d;
        r->rc = d ? ox::ddc_converter(d) : nullptr;
    }
    // A matched converter always ends in the polyphase stage the timing loop steers.
    if (r->dc && !ox::rc_terminal(r->rc).stage) {
        if (is_real)
            ddcr_destroy(real(r));
        else
            ddc_destroy(cplx(r));
        r->dc = nullptr;
    }
    if (!r->dc) {
        std::free(r);
        return nullptr;
    }
    r->is_real = is_real ? 1 : 0;
    r->init_norm_freq = init_norm_freq;
    mpsk_rx_loops_init(&r->loops, p.m, p.m_out, 0, differential, p.sps, is_real ? 0.5 * p.sps : p.sps,
                       p.bn_carrier, p.zeta, p.bn_timing, p.bn_agc_ratio, p.lock_thresh);
    ratesync_loop_bind_cascade(&r->loops.timing, r->rc);
    // The AGC is made the slowest of the three loops; without it (or with a zero bandwidth, which
    // the converter refuses) the receiver runs on the raw level.
    if (agc) {
        const double slowest = p.bn_carrier < p.bn_timing ? p.bn_carrier : p.bn_timing;
        (void)RateConverter_enable_agc(r->rc, slowest * p.bn_agc_ratio, kAgcAlpha);
    }
    return r;
}

// The down-converter's per-sample path (real-to-complex halfband for real input, oscillator mix,
// the converter's front stages, AGC, terminal resampler in controlled mode), driven directly so
// that the two controls are quantised once per change instead of once per sample, the
// oscillator and the AGC's running values are working copies held in registers (written back by
// finish()),
// and the terminal filter runs only for the outputs the timing loop reads. Sample for sample the
// arithmetic of ddc_execute_ctrl_push (ddcr_execute_ctrl_push for real input): the same inline
// mix and AGC step, the same resampler push.
class Chain {
public:
    explicit Chain(mpsk_receiver *r) {
        const ox::RcTerminal t = ox::rc_terminal(r->rc);
        osc_home_ = r->is_real ? ox::ddcr_oscillator(real(r)) : ox::ddc_oscillator(cplx(r));
        osc_ = *osc_home_;
        hb_ = r->is_real ? ox::ddcr_halfband(real(r)) : nullptr;
        rc_ = r->rc;
        front_ = t.front > 0;
        agc_ = t.gain;
        if (agc_) {
            agc_run_ = ox::agc_run_of(agc_);
            ox::agc_guard_begin(agc_);
        }
        term_ = t.stage;
        step_ = ox::resamp_ctrl_step(term_, ctrl_);
    }

    // One input sample with the loops' controls; returns the number of terminal outputs (0..4).
    template <class In>
    [[gnu::always_inline]] size_t push(In x, const mpsk_rx_loops &l, ox_cf32 *buf) {
        ox_cf32 s;
        if constexpr (std::is_same_v<In, float>) {
            if (!hbdecim_r2c_execute(hb_, &x, 1, &s, 1)) return 0;
        } else {
            s = x;
        }
        if (!(l.freq_ctrl == lo_ctrl_)) {  // NaN never matches: quantised anew every time
            lo_ctrl_ = l.freq_ctrl;
            lo_extra_ = ox::freq_to_phase_inc(lo_ctrl_);
        }
        s = ox::ddc_mix_one(&osc_, s, lo_extra_);
        if (front_ && !ox::rc_push_front(rc_, s, &s)) return 0;
        // The guarded AGC: it holds on silence, attacks a burst far above its level and keeps
        // single absurd samples out of its level (ox::agc_update_guarded).
        if (agc_)
            s = agc_->tlm ? ox::agc_step_run<true, true>(agc_, agc_run_, s)
                          : ox::agc_step_run<false, true>(agc_, agc_run_, s);
        if (!(l.timing.ctrl == ctrl_)) {
            ctrl_ = l.timing.ctrl;
            step_ = ox::resamp_ctrl_step(term_, ctrl_);
        }
        return ox::resamp_ctrl_push_sparse(term_, buf, 4, s, step_, ox::ratesync_loop_wanted(&l.timing));
    }

    void finish() {
        *osc_home_ = osc_;
        if (agc_) ox::agc_run_store(agc_, agc_run_);
    }

private:
    lo *osc_home_;
    lo osc_;
    hbdecim_r2c *hb_;
    RateConverter *rc_;
    bool front_;
    agc *agc_;
    ox::AgcRun agc_run_{};
    resamp *term_;
    double lo_ctrl_ = 0.0;
    uint32_t lo_extra_ = 0;
    double ctrl_ = 0.0;
    ox::ResampStep step_;
};

// The block loop, one body for every (input, order, telemetry, output) combination. Every input
// advances the state; the last symbol produced from an input sample is that sample's output.
template <class In, int M, bool kTelemetry, bool kBits, class Out>
size_t run(mpsk_receiver *r, const In *x, size_t n, Out *out, size_t cap) {
    mpsk_rx_loops *l = &r->loops;
    Chain chain(r);
    size_t written = 0;
    for (size_t i = 0; i < n; ++i) {
        ox_cf32 buf[4];
        const size_t k = chain.push(x[i], *l, buf);
        bool have = false;
        ox_cf32 sym{0.0f, 0.0f};
        for (size_t j = 0; j < k; ++j) {
            if (ox::ratesync_loop_push(&l->timing, buf[j])) {
                sym = ox::mpsk_rx_carrier_update<M>(l, buf[j]);
                have = true;
            }
        }
        if (!have) continue;
        if constexpr (kBits) {
            uint8_t bits[3];
            const int nb = ox::mpsk_rx_demap<M>(l, bits, sym);
            for (int b = 0; b < nb && written < cap; ++b) out[written++] = bits[b];
        } else {
            if (written < cap) out[written++] = sym;
        }
        if constexpr (kTelemetry) mpsk_rx_tlm_flush(l, sym);
    }
    chain.finish();
    return written;
}

template <class In, bool kBits, class Out>
size_t dispatch(mpsk_receiver *r, const In *x, size_t n, Out *out, size_t cap) {
    const bool tlm = r->loops.tlm != nullptr || r->loops.timing.tlm != nullptr;
    switch (r->loops.m) {
        case 2: return tlm ? run<In, 2, true, kBits>(r, x, n, out, cap) : run<In, 2, false, kBits>(r, x, n, out, cap);
        case 4: return tlm ? run<In, 4, true, kBits>(r, x, n, out, cap) : run<In, 4, false, kBits>(r, x, n, out, cap);
        case 8: return tlm ? run<In, 8, true, kBits>(r, x, n, out, cap) : run<In, 8, false, kBits>(r, x, n, out, cap);
        default: return 0;
    }
}

size_t down_converter_bytes(const mpsk_receiver *r) {
    return r->is_real ? ddcr_state_bytes(real(r)) : ddc_state_bytes(cplx(r));
}

// The AGC's running values in a blob (its part closes the down-converter's): the guarded AGC
// never holds a level or gain that is not a finite, non-negative number, so a blob with one is
// refused. A finite gain beyond the guard's ceiling (as the unguarded loop could reach on
// silence) is accepted and brought under the ceiling at the AGC's next update.
bool agc_part_ok(const mpsk_receiver *r, const uint8_t *dc_blob) {
    const agc *a = ox::rc_terminal(r->rc).gain;
    if (!a) return true;
    ox::BlobReader rd(dc_blob + down_converter_bytes(r) - agc_state_bytes(a) + 64);
    const double gain_db = rd.get<double>(), level = rd.get<double>(), gain_lin = rd.get<double>();
    return ox::all_finite({gain_db, gain_lin}) && level >= 0.0 && level <= ox::kAgcPowMax && gain_lin >= 0.0;
}

}  // namespace

mpsk_receiver *mpsk_receiver_create(int m, uint64_t m_out, int pulse, int rrc_span, int differential,
                                    uint64_t num_phases, double sps, double rrc_beta, double bn_carrier, double zeta,
                                    double bn_timing, double lock_thresh, double init_norm_freq, double bn_agc_ratio,
                                    int agc) {
    const Params p{m, m_out, pulse, rrc_span, num_phases, sps, rrc_beta, bn_carrier, zeta, bn_timing, lock_thresh,
                   bn_agc_ratio};
    return create(false, p, differential, init_norm_freq, agc);
}

mpsk_receiver *mpsk_receiver_create_real(int m, uint64_t m_out, int pulse, int rrc_span, int differential,
                                         uint64_t num_phases, double sps, double rrc_beta, double bn_carrier,
                                         double zeta, double bn_timing, double lock_thresh, double init_norm_freq,
                                         double bn_agc_ratio, int agc) {
    const Params p{m, m_out, pulse, rrc_span, num_phases, sps, rrc_beta, bn_carrier, zeta, bn_timing, lock_thresh,
                   bn_agc_ratio};
    return create(true, p, differential, init_norm_freq, agc);
}

mpsk_receiver *mpsk_receiver_create_bpsk(int pulse, int rrc_span, int differential, int agc, double sample_rate_hz,
                                         double symbol_rate_hz, double carrier_freq_hz, double rrc_beta,
                                         double bn_carrier, double bn_timing) {
    if (!(sample_rate_hz > 0.0) || !(symbol_rate_hz > 0.0) ||
        !(std::fabs(carrier_freq_hz) < 0.5 * sample_rate_hz))
        return nullptr;
    return mpsk_receiver_create(2, 0, pulse, rrc_span, differential, 0, sample_rate_hz / symbol_rate_hz, rrc_beta,
                                bn_carrier, 0.0, bn_timing, 0.0, carrier_freq_hz / sample_rate_hz, 0.0, agc);
}

void mpsk_receiver_destroy(mpsk_receiver *r) {
    if (!r) return;
    if (r->is_real)
        ddcr_destroy(real(r));
    else
        ddc_destroy(cplx(r));
    std::free(r);
}

void mpsk_receiver_reset(mpsk_receiver *r) {
    if (r->is_real)
        ddcr_reset(real(r));
    else
        ddc_reset(cplx(r));
    mpsk_rx_loops_reset(&r->loops);
}

size_t mpsk_receiver_steps(mpsk_receiver *r, const ox_cf32 *x, size_t n, ox_cf32 *out, size_t cap) {
    return r->is_real ? 0 : dispatch<ox_cf32, false>(r, x, n, out, cap);
}
size_t mpsk_receiver_steps_real(mpsk_receiver *r, const float *x, size_t n, ox_cf32 *out, size_t cap) {
    return r->is_real ? dispatch<float, false>(r, x, n, out, cap) : 0;
}
size_t mpsk_receiver_bits(mpsk_receiver *r, const ox_cf32 *x, size_t n, uint8_t *out, size_t cap) {
    return r->is_real ? 0 : dispatch<ox_cf32, true>(r, x, n, out, cap);
}
size_t mpsk_receiver_bits_real(mpsk_receiver *r, const float *x, size_t n, uint8_t *out, size_t cap) {
    return r->is_real ? dispatch<float, true>(r, x, n, out, cap) : 0;
}
size_t mpsk_receiver_steps_max_out(const mpsk_receiver *) { return 0; }
size_t mpsk_receiver_steps_real_max_out(const mpsk_receiver *) { return 0; }
size_t mpsk_receiver_bits_max_out(const mpsk_receiver *) { return 0; }
size_t mpsk_receiver_bits_real_max_out(const mpsk_receiver *) { return 0; }

double mpsk_receiver_get_norm_freq(const mpsk_receiver *r) {
    return r->init_norm_freq + mpsk_rx_freq_est(&r->loops) * (r->is_real ? 0.5 : 1.0);
}

double mpsk_receiver_get_nco_freq(const mpsk_receiver *r) {
    return r->init_norm_freq - (r->is_real ? 0.5 : 1.0) * r->loops.freq_ctrl;
}

void mpsk_receiver_set_norm_freq(mpsk_receiver *r, double f) {
    r->init_norm_freq = f;
    const double lo = lo_freq_for(r->is_real, f);
    if (r->is_real)
        ddcr_set_norm_freq(real(r), lo);
    else
        ddc_set_norm_freq(cplx(r), lo);
    mpsk_rx_set_freq_est(&r->loops, 0.0);
}

double mpsk_receiver_get_lock(const mpsk_receiver *r) { return r->loops.car_lock; }
int mpsk_receiver_get_locked(const mpsk_receiver *r) { return r->loops.car_ld.locked ? 1 : 0; }
int64_t mpsk_receiver_get_lock_time(const mpsk_receiver *r) { return r->loops.lock_time; }
double mpsk_receiver_get_last_error(const mpsk_receiver *r) { return r->loops.car_error; }
double mpsk_receiver_get_timing_rate(const mpsk_receiver *r) { return r->loops.timing.rate; }
int mpsk_receiver_get_m(const mpsk_receiver *r) { return r->loops.m; }
double mpsk_receiver_get_sps(const mpsk_receiver *r) { return r->loops.sps; }
uint64_t mpsk_receiver_get_m_out(const mpsk_receiver *r) { return r->loops.m_out; }
double mpsk_receiver_get_zeta(const mpsk_receiver *r) { return r->loops.zeta; }
double mpsk_receiver_get_bn_agc_ratio(const mpsk_receiver *r) { return r->loops.bn_agc_ratio; }
double mpsk_receiver_get_lock_thresh(const mpsk_receiver *r) { return r->loops.car_ld.up_thresh; }
double mpsk_receiver_get_lock_drop_thresh(const mpsk_receiver *r) { return r->loops.car_ld.down_thresh; }
double mpsk_receiver_get_sync_lock_thresh(const mpsk_receiver *r) { return r->loops.timing.ld.up_thresh; }
double mpsk_receiver_get_sync_lock_drop_thresh(const mpsk_receiver *r) { return r->loops.timing.ld.down_thresh; }
uint64_t mpsk_receiver_get_num_phases(const mpsk_receiver *r) { return RateConverter_bank_shape_value(r->rc, 0); }

int mpsk_receiver_get_clipped(const mpsk_receiver *r) {
    return (r->is_real ? ddcr_get_clipped(real(r)) : ddc_get_clipped(cplx(r))) ? 1 : 0;
}

double mpsk_receiver_get_agc_gain_db(const mpsk_receiver *r) { return RateConverter_agc_gain_db(r->rc); }

// The loop core (and its timing loop), then the AGC under prefix + ".agc", as one attachment: when
// the AGC cannot join, the registry and the loops' previous attachment are put back (a failed
// call leaves the receiver as it was).
int mpsk_receiver_set_telemetry(mpsk_receiver *r, ox_tlm *tlm, const char *prefix, int decim) {
    auto set_dc = [r](ox_tlm *t, const char *pre, int d) {
        return r->is_real ? ddcr_set_telemetry(real(r), t, pre, d) : ddc_set_telemetry(cplx(r), t, pre, d);
    };
    if (!tlm) {
        mpsk_rx_set_telemetry(&r->loops, nullptr, nullptr, 0);
        set_dc(nullptr, nullptr, 0);
        return OX_OK;
    }
    if (!prefix) prefix = "rx";
    ox::TlmAttach attach(tlm);
    mpsk_rx_loops &l = r->loops;
    ox_tlm *const prev_tlm = l.tlm, *const prev_sync_tlm = l.timing.tlm;
    int32_t prev_ids[MPSK_RX_N_PROBES], prev_sync_ids[RATESYNC_N_PROBES];
    std::memcpy(prev_ids, l.probe_ids, sizeof(prev_ids));
    std::memcpy(prev_sync_ids, l.timing.probe_ids, sizeof(prev_sync_ids));
    const int code = mpsk_rx_set_telemetry(&l, tlm, prefix, decim);
    if (code != OX_OK) return code;
    char agc_prefix[OX_TLM_NAME_BYTES];
    std::snprintf(agc_prefix, sizeof(agc_prefix), "%s.agc", prefix);
    const int agc_code = set_dc(tlm, agc_prefix, decim);
    if (agc_code != OX_OK) {
        l.tlm = prev_tlm;
        l.timing.tlm = prev_sync_tlm;
        std::memcpy(l.probe_ids, prev_ids, sizeof(prev_ids));
        std::memcpy(l.timing.probe_ids, prev_sync_ids, sizeof(prev_sync_ids));
        return agc_code;
    }
    attach.commit();
    return OX_OK;
}

size_t mpsk_receiver_state_bytes(const mpsk_receiver *r) {
    return ox::kBlobHeaderBytes + down_converter_bytes(r) + mpsk_rx_loops_state_bytes(&r->loops);
}

void mpsk_receiver_get_state(const mpsk_receiver *r, void *buf) {
    auto *b = static_cast<uint8_t *>(buf);
    ox::blob_write_header(b, blob_kind(r), static_cast<uint32_t>(mpsk_receiver_state_bytes(r)));
    uint8_t *dc_blob = b + ox::kBlobHeaderBytes;
    if (r->is_real)
        ddcr_get_state(real(r), dc_blob);
    else
        ddc_get_state(cplx(r), dc_blob);
    mpsk_rx_loops_get_state(&r->loops, dc_blob + down_converter_bytes(r));
}

// All or nothing: the loop core's blob (with its timing loop, lock detector and loop filters) is
// validated into a copy first, the down-converter restores atomically (it puts its own state
// back when a part rejects), and the loops are committed last. A blob whose down-converter part
// is good but whose loop part is bad leaves the receiver exactly as it was.
int mpsk_receiver_set_state(mpsk_receiver *r, const void *buf) {
    const size_t total = mpsk_receiver_state_bytes(r);
    if (!buf || total > UINT32_MAX || !ox::blob_header_ok(buf, blob_kind(r), static_cast<uint32_t>(total)))
        return OX_EINVAL;
    const auto *dc_blob = static_cast<const uint8_t *>(buf) + ox::kBlobHeaderBytes;
    if (!agc_part_ok(r, dc_blob)) return OX_EINVAL;
    mpsk_rx_loops loops = r->loops;
    if (mpsk_rx_loops_set_state(&loops, dc_blob + down_converter_bytes(r)) != OX_OK) return OX_EINVAL;
    const int code = r->is_real ? ddcr_set_state(real(r), dc_blob) : ddc_set_state(cplx(r), dc_blob);
    if (code != OX_OK) return OX_EINVAL;
    r->loops = loops;
    return OX_OK;
}
