#include "rate/ddc_core.h"

#include <cmath>
#include <cstdlib>

namespace {
constexpr ox::BlobKind kDdcBlob{"DDC_", 1};
constexpr size_t kLoBytes = 20;
constexpr size_t kRcOffset = 16 + 8 + kLoBytes;  // 44
}  // namespace

struct ddc {
    lo osc;
    RateConverter *rc;
    int narrow_pulse;
    ox_cf32 *mix;  // kDdcChunk mixed samples handed to the converter
};

namespace {

ddc *ddc_wrap(RateConverter *rc, double norm_freq, int narrow_pulse) {
    if (!rc) return nullptr;
    auto *d = static_cast<ddc *>(std::calloc(1, sizeof(ddc)));
    if (d) d->mix = static_cast<ox_cf32 *>(std::malloc(ox::kDdcChunk * sizeof(ox_cf32)));
    if (!d || !d->mix) {
        if (d) std::free(d);
        RateConverter_destroy(rc);
        return nullptr;
    }
    lo_init(&d->osc, norm_freq);
    d->rc = rc;
    d->narrow_pulse = narrow_pulse;
    return d;
}

template <bool kCtrl>
size_t execute_block(ddc *d, const ox_cf32 *in, size_t n, ox_cf32 *out, size_t out_cap, double ctrl,
                     double lo_ctrl) {
    if (!n) return 0;
    const uint32_t extra = kCtrl ? ox::freq_to_phase_inc(lo_ctrl) : 0u;
    size_t total = 0;
    bool cut = false;  // the converter sees the chunks as one block
    for (size_t i = 0; i < n; i += ox::kDdcChunk) {
        const size_t len = n - i < ox::kDdcChunk ? n - i : ox::kDdcChunk;
        ox::ddc_mix_block(&d->osc, in + i, d->mix, len, extra);
        total += ox::rc_execute_piece(d->rc, d->mix, len, out + total, out_cap - total, kCtrl ? &ctrl : nullptr,
                                      &cut);
    }
    return total;
}

}  // namespace

ddc *ddc_create(double norm_freq, double rate) {
    if (!(rate > 0.0)) return nullptr;
    return ddc_wrap(RateConverter_create(0, rate), norm_freq, 0);
}

ddc *ddc_create_matched(int pulse, size_t span, size_t num_phases, double norm_freq, double rate, double rolloff,
                        double sps) {
    if (!(rate > 0.0) || pulse == 2 || pulse < 0) return nullptr;
    RateConverter *rc =
        RateConverter_create_matched(1, static_cast<uint32_t>(pulse), span, num_phases, rate, rolloff, sps);
    return ddc_wrap(rc, norm_freq, (pulse == 0 && sps < 4.0) ? 1 : 0);
}

void ddc_destroy(ddc *d) {
    if (!d) return;
    RateConverter_destroy(d->rc);
    std::free(d->mix);
    std::free(d);
}

void ddc_reset(ddc *d) {
    lo_reset(&d->osc);
    RateConverter_reset(d->rc);
}

double ddc_get_norm_freq(const ddc *d) { return lo_get_norm_freq(&d->osc); }
void ddc_set_norm_freq(ddc *d, double norm_freq) { lo_set_norm_freq(&d->osc, norm_freq); }
double ddc_get_rate(const ddc *d) { return RateConverter_get_rate(d->rc); }
size_t ddc_execute_max_out(const ddc *, size_t n_in) { return n_in; }
size_t ddc_execute_ctrl_max_out(const ddc *, size_t n_in) { return n_in; }

size_t ddc_execute_ctrl_push_max_out(const ddc *d) {
    const double r = RateConverter_get_rate(d->rc);
    return r > 1.0 ? ox::rc_bound_plus2(r) : 3;
}

size_t ddc_execute(ddc *d, const ox_cf32 *in, size_t n, ox_cf32 *out, size_t out_cap) {
    return execute_block<false>(d, in, n, out, out_cap, 0.0, 0.0);
}

size_t ddc_execute_ctrl(ddc *d, const ox_cf32 *in, size_t n, ox_cf32 *out, size_t out_cap, double ctrl,
                        double lo_ctrl) {
    return execute_block<true>(d, in, n, out, out_cap, ctrl, lo_ctrl);
}

size_t ddc_execute_ctrl_push_tap2(ddc *d, ox_cf32 *out, size_t out_cap, ox_cf32 *mix_tap, int *mix_tapped,
                                  ox_cf32 *rc_tap, ox_cf32 x, double ctrl, double lo_ctrl, int *rc_tapped) {
    const ox_cf32 mixed = ox::ddc_mix_one(&d->osc, x, ox::freq_to_phase_inc(lo_ctrl));
    if (mix_tap) *mix_tap = mixed;
    if (mix_tapped) *mix_tapped = 1;
    return RateConverter_execute_ctrl_push_tap(d->rc, out, out_cap, rc_tap, rc_tapped, mixed, ctrl);
}

size_t ddc_execute_ctrl_push_tap(ddc *d, ox_cf32 *out, size_t out_cap, ox_cf32 *mix_tap, int *mix_tapped,
                                 ox_cf32 x, double ctrl, double lo_ctrl) {
    return ddc_execute_ctrl_push_tap2(d, out, out_cap, mix_tap, mix_tapped, nullptr, x, ctrl, lo_ctrl, nullptr);
}

size_t ddc_execute_ctrl_push(ddc *d, ox_cf32 *out, size_t out_cap, ox_cf32 x, double ctrl, double lo_ctrl) {
    return ddc_execute_ctrl_push_tap2(d, out, out_cap, nullptr, nullptr, nullptr, x, ctrl, lo_ctrl, nullptr);
}

double ddc_get_bank_sps(const ddc *d) { return RateConverter_get_bank_sps(d->rc); }
int ddc_get_clipped(const ddc *d) { return RateConverter_get_clipped(d->rc); }

int ddc_set_telemetry(ddc *d, ox_tlm *tlm, const char *prefix, int decim) {
    return RateConverter_set_telemetry(d->rc, tlm, prefix, decim);
}

int ddc_get_narrow_pulse(const ddc *d) { return d->narrow_pulse; }
RateConverter *ox::ddc_converter(ddc *d) { return d->rc; }
lo *ox::ddc_oscillator(ddc *d) { return &d->osc; }

size_t ddc_state_bytes(const ddc *d) { return kRcOffset + RateConverter_state_bytes(d->rc); }

void ddc_get_state(const ddc *d, void *buf) {
    auto *b = static_cast<uint8_t *>(buf);
    ox::blob_write_header(b, kDdcBlob, static_cast<uint32_t>(ddc_state_bytes(d)));
    ox::BlobWriter(b + ox::kBlobHeaderBytes).put<double>(RateConverter_get_rate(d->rc));
    lo_get_state(&d->osc, b + 24);
    RateConverter_get_state(d->rc, b + kRcOffset);
}

// All or nothing: the LO blob, applied first, can only fail on its header, which the oscillator
// checks before it changes anything; the converter restores atomically; the LO phase is put back
// if it rejects.
int ddc_set_state(ddc *d, const void *buf) {
    if (!buf || !ox::blob_header_ok(buf, kDdcBlob, static_cast<uint32_t>(ddc_state_bytes(d)))) return OX_EINVAL;
    const auto *b = static_cast<const uint8_t *>(buf);
    if (ox::BlobReader(b + ox::kBlobHeaderBytes).get<double>() != RateConverter_get_rate(d->rc)) return OX_EINVAL;
    const uint32_t saved_phase = lo_get_phase(&d->osc);
    if (lo_set_state(&d->osc, b + 24) != OX_OK) return OX_EINVAL;
    if (RateConverter_set_state(d->rc, b + kRcOffset) != OX_OK) {
        lo_set_phase(&d->osc, saved_phase);
        return OX_EINVAL;
    }
    return OX_OK;
}

size_t ddc_run(ddc *d, const void *state_in, void *state_out, const ox_cf32 *in, size_t n, ox_cf32 *out,
               size_t out_cap) {
    if (state_in && ddc_set_state(d, state_in) != OX_OK) return 0;
    const size_t m = ddc_execute(d, in, n, out, out_cap);
    if (state_out) ddc_get_state(d, state_out);
    return m;
}
