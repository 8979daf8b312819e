#include "rx/mpsk_rx_loops_core.h"

#include <cstdio>

namespace {

constexpr ox::BlobKind kLoopsBlob{"MRXL", 7};
constexpr size_t kOwnBytes = 80;  // header + seven 8-byte slots + lock count and decision
constexpr const char *kProbeSuffixes[MPSK_RX_N_PROBES] = {".lock",       ".car.e", ".car.freq", ".car.nco",
                                                          ".car.locked", ".sym.i", ".sym.q"};

size_t loops_bytes(const mpsk_rx_loops *l) {
    return kOwnBytes + ratesync_loop_state_bytes(&l->timing) + loop_filter_state_bytes(&l->car_lf);
}

}  // namespace

void mpsk_rx_loops_init(mpsk_rx_loops *l, int m, uint64_t m_out, int ted, int differential, double sps,
                        double loop_sps, double bn_carrier, double zeta, double bn_timing,
                        double bn_agc_ratio, double lock_thresh) {
    l->m = m;
    l->pad0 = 0;
    l->m_out = m_out;
    l->differential = differential ? 1 : 0;
    l->sps = sps;
    l->loop_sps = loop_sps;
    l->bn_carrier = bn_carrier;
    l->zeta = zeta;
    l->bn_agc_ratio = bn_agc_ratio;
    l->rot = m == 4 ? ox_cf32{0.70710677f, 0.70710677f} : ox_cf32{1.0f, 0.0f};
    l->tlm = nullptr;
    for (int32_t &id : l->probe_ids) id = -1;
    ratesync_loop_init(&l->timing, m_out, ted, sps, bn_timing, zeta);
    lockdet_init(&l->car_ld, 8, 32, lock_thresh, 0.8 * lock_thresh);
    mpsk_rx_config_carrier(l);
    mpsk_rx_loops_reset(l);
}

void mpsk_rx_config_carrier(mpsk_rx_loops *l) {
    loop_filter_init(&l->car_lf, l->bn_carrier, l->zeta, 1.0);
    l->freq_scale = (1.0 / ox::kTwoPi) / l->loop_sps;
}

void mpsk_rx_loops_reset(mpsk_rx_loops *l) {
    ratesync_loop_reset(&l->timing);
    loop_filter_reset(&l->car_lf);
    l->freq_ctrl = 0.0;
    l->n_sym = 0;
    l->lock_time = -1;
    l->have_prev = 0;
    l->prev_idx = 0;
    l->car_error = 0.0;
    l->car_lock = 0.0;
    lockdet_reset(&l->car_ld);
}

double mpsk_rx_freq_est(const mpsk_rx_loops *l) { return l->car_lf.integ * l->freq_scale; }

void mpsk_rx_set_freq_est(mpsk_rx_loops *l, double f) {
    l->car_lf.integ = l->freq_scale > 0.0 ? f / l->freq_scale : 0.0;
    l->freq_ctrl = -f;
}

int mpsk_rx_symbol_to_bits(mpsk_rx_loops *l, uint8_t *bits, ox_cf32 sym) {
    switch (l->m) {
        case 2: return ox::mpsk_rx_demap<2>(l, bits, sym);
        case 4: return ox::mpsk_rx_demap<4>(l, bits, sym);
        case 8: return ox::mpsk_rx_demap<8>(l, bits, sym);
        default: return 0;  // only reachable through a direct init with an invalid order
    }
}

// The loop core's probes and, under prefix + ".sync", the timing loop's, as one attachment: a
// failure of either leaves the registry and both previous attachments as they were.
int mpsk_rx_set_telemetry(mpsk_rx_loops *l, ox_tlm *tlm, const char *prefix, int decim) {
    if (!tlm) {
        l->tlm = nullptr;
        ratesync_loop_set_telemetry(&l->timing, nullptr, nullptr, 0);
        return OX_OK;
    }
    if (!prefix) prefix = "rx";
    ox::TlmAttach attach(tlm);
    int32_t ids[MPSK_RX_N_PROBES];
    if (ox::tlm_register_probes(tlm, prefix, "rx", kProbeSuffixes, MPSK_RX_N_PROBES,
                                static_cast<uint32_t>(decim), ids) != OX_OK)
        return OX_EINVAL;
    char sync_prefix[OX_TLM_NAME_BYTES];
    std::snprintf(sync_prefix, sizeof(sync_prefix), "%s.sync", prefix);
    const int rc = ratesync_loop_set_telemetry(&l->timing, tlm, sync_prefix, decim);
    if (rc != OX_OK) return rc;  // the timing loop kept its previous attachment
    attach.commit();
    std::memcpy(l->probe_ids, ids, sizeof(ids));
    l->tlm = tlm;
    return OX_OK;
}

// One event per output symbol: the loop core's seven probes, then the timing loop's six.
void mpsk_rx_tlm_flush(mpsk_rx_loops *l, ox_cf32 sym) {
    if (l->tlm) {
        const double values[MPSK_RX_N_PROBES] = {l->car_lock,
                                                 l->car_error,
                                                 mpsk_rx_freq_est(l),
                                                 -l->freq_ctrl,
                                                 l->car_ld.locked ? 1.0 : 0.0,
                                                 static_cast<double>(sym.re),
                                                 static_cast<double>(sym.im)};
        ox::tlm_flush(l->tlm, l->probe_ids, values, MPSK_RX_N_PROBES);
    }
    ratesync_loop_tlm_flush(&l->timing);
}

size_t mpsk_rx_loops_state_bytes(const mpsk_rx_loops *l) { return loops_bytes(l); }

void mpsk_rx_loops_get_state(const mpsk_rx_loops *l, void *buf) {
    auto *b = static_cast<uint8_t *>(buf);
    ox::blob_write_header(b, kLoopsBlob, static_cast<uint32_t>(loops_bytes(l)));
    ox::BlobWriter w(b + ox::kBlobHeaderBytes);
    w.put<double>(l->freq_ctrl);
    w.put<double>(l->car_error);
    w.put<double>(l->car_lock);
    w.put<uint64_t>(l->n_sym);
    w.put<uint64_t>(l->have_prev ? 1 : 0);
    w.put<uint64_t>(l->prev_idx);
    w.put<int64_t>(l->lock_time);
    w.put<uint32_t>(l->car_ld.count);
    w.put<uint32_t>(l->car_ld.locked);
    ratesync_loop_get_state(&l->timing, b + kOwnBytes);
    loop_filter_get_state(&l->car_lf, b + kOwnBytes + ratesync_loop_state_bytes(&l->timing));
}

// Validated into a copy and committed whole: the own fields, then each embedded blob through
// its owner's restore on the copy, so that a bad sub-blob leaves every part of the live record
// as it was.
int mpsk_rx_loops_set_state(mpsk_rx_loops *l, const void *buf) {
    const size_t total = loops_bytes(l);
    if (!buf || !ox::blob_header_ok(buf, kLoopsBlob, static_cast<uint32_t>(total))) return OX_EINVAL;
    const auto *b = static_cast<const uint8_t *>(buf);
    mpsk_rx_loops t = *l;
    ox::BlobReader r(b + ox::kBlobHeaderBytes);
    t.freq_ctrl = r.get<double>();
    t.car_error = r.get<double>();
    t.car_lock = r.get<double>();
    t.n_sym = r.get<uint64_t>();
    t.have_prev = static_cast<uint32_t>(r.get<uint64_t>() & 1);
    const uint64_t prev_idx = r.get<uint64_t>();
    t.lock_time = r.get<int64_t>();
    t.car_ld.count = r.get<uint32_t>();
    t.car_ld.locked = r.get<uint32_t>();
    // The previous index is a constellation index; the lock stamp is -1 or a symbol count; the
    // detector's run must be shorter than the count that completes it.
    if (prev_idx >= static_cast<uint64_t>(l->m) || t.lock_time < -1) return OX_EINVAL;
    t.prev_idx = static_cast<uint32_t>(prev_idx);
    const lockdet &ld = t.car_ld;
    if (ld.locked > 1 || ld.count >= (ld.locked ? ld.n_down : ld.n_up)) return OX_EINVAL;
    if (ratesync_loop_set_state(&t.timing, b + kOwnBytes) != OX_OK) return OX_EINVAL;
    if (loop_filter_set_state(&t.car_lf, b + kOwnBytes + ratesync_loop_state_bytes(&l->timing)) != OX_OK)
        return OX_EINVAL;
    // The carrier loop never holds a value that is not a number (a sample without phase counts
    // as zero), so a blob carrying one is refused.
    if (!ox::all_finite({t.freq_ctrl, t.car_error, t.car_lock, t.car_lf.integ})) return OX_EINVAL;
    *l = t;
    return OX_OK;
}
