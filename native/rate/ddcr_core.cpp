#include "rate/ddcr_core.h"

#include <cmath>
#include <cstdlib>

#include "rate/ddc_core.h"
#include "rate/hbdecim_core.h"
#include "rate/lo_core.h"

namespace {
constexpr ox::BlobKind kDdcrBlob{"DDCR", 1};
constexpr size_t kLoBytes = 20;
constexpr size_t kHbOffset = 16 + 8;
// Real inputs per chunk of the block forms; the halfband yields at most half of them (+1 pending).
constexpr size_t kRealChunk = 2 * ox::kDdcChunk;
}  // namespace

struct ddcr {
    hbdecim_r2c *hb;
    lo osc;
    RateConverter *rc;
    double rate;
    int narrow_pulse;
    ox_cf32 *mix;  // kDdcChunk + 2 complex samples from the halfband
};

namespace {

ddcr *ddcr_wrap(RateConverter *rc, double norm_freq, double rate, int narrow_pulse) {
    if (!rc) return nullptr;
    auto *d = static_cast<ddcr *>(std::calloc(1, sizeof(ddcr)));
    if (d) {
        d->hb = hbdecim_r2c_create(OX_HB_FIR_LEN, OX_HB_FIR);
        d->mix = static_cast<ox_cf32 *>(std::malloc((ox::kDdcChunk + 2) * sizeof(ox_cf32)));
    }
    if (!d || !d->hb || !d->mix) {
        if (d) {
            hbdecim_r2c_destroy(d->hb);
            std::free(d->mix);
            std::free(d);
        }
        RateConverter_destroy(rc);
        return nullptr;
    }
    lo_init(&d->osc, norm_freq);
    d->rc = rc;
    d->rate = rate;
    d->narrow_pulse = narrow_pulse;
    return d;
}

template <bool kCtrl>
size_t execute_block(ddcr *d, const float *in, size_t n, ox_cf32 *out, size_t out_cap, double ctrl,
                     double lo_ctrl) {
    if (!n) return 0;
    const uint32_t extra = kCtrl ? ox::freq_to_phase_inc(lo_ctrl) : 0u;
    size_t total = 0;
    bool cut = false;  // the converter sees the chunks as one block
    for (size_t i = 0; i < n; i += kRealChunk) {
        const size_t len = n - i < kRealChunk ? n - i : kRealChunk;
        const size_t m = hbdecim_r2c_execute(d->hb, in + i, len, d->mix, ox::kDdcChunk + 2);
        if (!m) continue;
        ox::ddc_mix_block(&d->osc, d->mix, d->mix, m, extra);
        total += ox::rc_execute_piece(d->rc, d->mix, m, out + total, out_cap - total, kCtrl ? &ctrl : nullptr,
                                      &cut);
    }
    return total;
}

}  // namespace

ddcr *ddcr_create(double norm_freq, double rate) {
    if (!(rate > 0.0 && rate < 0.5)) return nullptr;
    return ddcr_wrap(RateConverter_create(0, 2.0 * rate), norm_freq, rate, 0);
}

ddcr *ddcr_create_matched(int pulse, size_t span, size_t num_phases, double norm_freq, double rate, double rolloff,
                          double sps) {
    if (!(rate > 0.0 && rate < 0.5) || pulse == 2 || pulse < 0) return nullptr;
    RateConverter *rc =
        RateConverter_create_matched(1, static_cast<uint32_t>(pulse), span, num_phases, 2.0 * rate, rolloff, sps);
    return ddcr_wrap(rc, norm_freq, rate, (pulse == 0 && sps < 4.0) ? 1 : 0);
}

void ddcr_destroy(ddcr *d) {
    if (!d) return;
    hbdecim_r2c_destroy(d->hb);
    RateConverter_destroy(d->rc);
    std::free(d->mix);
    std::free(d);
}

void ddcr_reset(ddcr *d) {
    hbdecim_r2c_reset(d->hb);
    lo_reset(&d->osc);
    RateConverter_reset(d->rc);
}

double ddcr_get_norm_freq(const ddcr *d) { return lo_get_norm_freq(&d->osc); }
void ddcr_set_norm_freq(ddcr *d, double norm_freq) { lo_set_norm_freq(&d->osc, norm_freq); }
double ddcr_get_rate(const ddcr *d) { return d->rate; }
size_t ddcr_execute_max_out(const ddcr *, size_t) { return 0; }
size_t ddcr_execute_ctrl_max_out(const ddcr *, size_t) { return 0; }
size_t ddcr_execute_ctrl_push_max_out(const ddcr *d) {
    return d->rate > 1.0 ? ox::rc_bound_plus2(d->rate) : 3;
}

size_t ddcr_execute(ddcr *d, const float *in, size_t n, ox_cf32 *out, size_t out_cap) {
    return execute_block<false>(d, in, n, out, out_cap, 0.0, 0.0);
}

size_t ddcr_execute_ctrl(ddcr *d, const float *in, size_t n, ox_cf32 *out, size_t out_cap, double ctrl,
                         double lo_ctrl) {
    return execute_block<true>(d, in, n, out, out_cap, ctrl, lo_ctrl);
}

size_t ddcr_execute_ctrl_push_tap2(ddcr *d, ox_cf32 *out, size_t out_cap, ox_cf32 *mix_tap, int *mix_tapped,
                                   ox_cf32 *rc_tap, float x, double ctrl, double lo_ctrl, int *rc_tapped) {
    ox_cf32 y;
    if (!hbdecim_r2c_execute(d->hb, &x, 1, &y, 1)) {
        if (mix_tapped) *mix_tapped = 0;
        if (rc_tapped) *rc_tapped = 0;
        return 0;
    }
    const ox_cf32 mixed = ox::ddc_mix_one(&d->osc, y, ox::freq_to_phase_inc(lo_ctrl));
    if (mix_tap) *mix_tap = mixed;
    if (mix_tapped) *mix_tapped = 1;
    return RateConverter_execute_ctrl_push_tap(d->rc, out, out_cap, rc_tap, rc_tapped, mixed, ctrl);
}

size_t ddcr_execute_ctrl_push_tap(ddcr *d, ox_cf32 *out, size_t out_cap, ox_cf32 *mix_tap, int *mix_tapped,
                                  float x, double ctrl, double lo_ctrl) {
    return ddcr_execute_ctrl_push_tap2(d, out, out_cap, mix_tap, mix_tapped, nullptr, x, ctrl, lo_ctrl, nullptr);
}

size_t ddcr_execute_ctrl_push(ddcr *d, ox_cf32 *out, size_t out_cap, float x, double ctrl, double lo_ctrl) {
    return ddcr_execute_ctrl_push_tap2(d, out, out_cap, nullptr, nullptr, nullptr, x, ctrl, lo_ctrl, nullptr);
}

double ddcr_get_bank_sps(const ddcr *d) { return RateConverter_get_bank_sps(d->rc); }
int ddcr_get_clipped(const ddcr *d) { return RateConverter_get_clipped(d->rc); }

int ddcr_set_telemetry(ddcr *d, ox_tlm *tlm, const char *prefix, int decim) {
    return RateConverter_set_telemetry(d->rc, tlm, prefix, decim);
}

int ddcr_get_narrow_pulse(const ddcr *d) { return d->narrow_pulse; }
RateConverter *ox::ddcr_converter(ddcr *d) { return d->rc; }
lo *ox::ddcr_oscillator(ddcr *d) { return &d->osc; }
hbdecim_r2c *ox::ddcr_halfband(ddcr *d) { return d->hb; }

size_t ddcr_state_bytes(const ddcr *d) {
    return kHbOffset + hbdecim_r2c_state_bytes(d->hb) + kLoBytes + RateConverter_state_bytes(d->rc);
}

void ddcr_get_state(const ddcr *d, void *buf) {
    auto *b = static_cast<uint8_t *>(buf);
    ox::blob_write_header(b, kDdcrBlob, static_cast<uint32_t>(ddcr_state_bytes(d)));
    ox::BlobWriter(b + ox::kBlobHeaderBytes).put<double>(d->rate);
    uint8_t *p = b + kHbOffset;
    hbdecim_r2c_get_state(d->hb, p);
    p += hbdecim_r2c_state_bytes(d->hb);
    lo_get_state(&d->osc, p);
    p += kLoBytes;
    RateConverter_get_state(d->rc, p);
}

// All or nothing: the halfband's state is saved before its slice is applied and put back (with
// the LO phase) when a later slice is rejected.
int ddcr_set_state(ddcr *d, const void *buf) {
    if (!buf || !ox::blob_header_ok(buf, kDdcrBlob, static_cast<uint32_t>(ddcr_state_bytes(d)))) return OX_EINVAL;
    const auto *b = static_cast<const uint8_t *>(buf);
    if (ox::BlobReader(b + ox::kBlobHeaderBytes).get<double>() != d->rate) return OX_EINVAL;
    const size_t hb_bytes = hbdecim_r2c_state_bytes(d->hb);
    const uint8_t *lo_blob = b + kHbOffset + hb_bytes;
    lo trial = d->osc;  // the oscillator checks its own blob; on a copy, so nothing is applied yet
    if (lo_set_state(&trial, lo_blob) != OX_OK) return OX_EINVAL;
    auto *hb_backup = static_cast<uint8_t *>(std::malloc(hb_bytes));
    if (!hb_backup) return OX_EINVAL;
    hbdecim_r2c_get_state(d->hb, hb_backup);
    const uint32_t saved_phase = lo_get_phase(&d->osc);
    int code = OX_EINVAL;
    if (hbdecim_r2c_set_state(d->hb, b + kHbOffset) == OX_OK) {
        if (lo_set_state(&d->osc, lo_blob) == OX_OK &&
            RateConverter_set_state(d->rc, lo_blob + kLoBytes) == OX_OK) {
            code = OX_OK;
        } else {
            hbdecim_r2c_set_state(d->hb, hb_backup);
            lo_set_phase(&d->osc, saved_phase);
        }
    }
    std::free(hb_backup);
    return code;
}

size_t ddcr_run(ddcr *d, const void *state_in, void *state_out, const float *in, size_t n, ox_cf32 *out,
                size_t out_cap) {
    if (state_in && ddcr_set_state(d, state_in) != OX_OK) return 0;
    const size_t m = ddcr_execute(d, in, n, out, out_cap);
    if (state_out) ddcr_get_state(d, state_out);
    return m;
}
