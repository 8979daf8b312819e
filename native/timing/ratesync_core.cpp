#include "timing/ratesync_core.h"

#include <cmath>
#include <cstdlib>

#include "rate/resamp_core.h"
#include "timing/symsync_core.h"

namespace {

constexpr ox::BlobKind kLoopBlob{"RSLP", 2};
constexpr ox::BlobKind kRatesyncBlob{"RATS", 2};
constexpr uint32_t kLoopFilterBytes = 64;
constexpr size_t kLoopFilterOffset = 152;
constexpr uint32_t kLoopBytes = kLoopFilterOffset + kLoopFilterBytes;  // 216
constexpr const char *kProbeSuffixes[RATESYNC_N_PROBES] = {".e",    ".ctrl",   ".rate",
                                                            ".lock", ".locked", ".mu"};

// The timing-lock defaults of the symbol synchroniser (its detector sized for rolloff 0.35 at
// Es/N0 10 dB), fixed here instead of derived.
constexpr uint64_t kDefaultAvgs = 133;
constexpr double kDefaultLockThresh = 0.311;

uint64_t clamp_m(uint64_t m) { return m < 2 ? 2 : (m > 8 ? 8 : m); }

}  // namespace

// ---------------------------------------------------------------------------------------------
// Timing loop record
// ---------------------------------------------------------------------------------------------

void ratesync_loop_init(ratesync_loop *l, uint64_t m, int ted, double sps, double bn, double zeta) {
    // The history holds m/2 + 1 outputs in room for five, and m divides the output count: an
    // order outside 2..8 from a native caller is brought into it rather than overrun the record.
    l->m = clamp_m(m);
    l->ted = ted;
    l->pad0 = 0;
    l->pad1 = 0;
    l->sps = sps;
    l->bn = bn;
    l->zeta = zeta;
    l->rate0 = 0.0;
    l->num_taps = 0;
    l->stage = nullptr;
    l->ted_norm = 1.0;
    loop_filter_init(&l->lf, bn, zeta, 1.0);
    l->avgs = kDefaultAvgs;
    lockdet_init(&l->ld, 1, 8, kDefaultLockThresh, kDefaultLockThresh);
    l->tlm = nullptr;
    for (int32_t &id : l->probe_ids) id = -1;
    ratesync_loop_reset(l);
}

void ratesync_loop_set_cascade(ratesync_loop *l, uint64_t num_taps, double rate0) {
    l->num_taps = num_taps;
    l->rate0 = rate0;
    l->prime = num_taps + 1;
    l->stage = nullptr;
}

void ratesync_loop_bind_cascade(ratesync_loop *l, RateConverter *rc) {
    const ox::RcTerminal t = ox::rc_terminal(rc);
    const uint64_t taps = t.stage ? resamp_get_num_taps(t.stage) : 0;
    const double rate0 = t.stage ? resamp_get_rate(t.stage) : 0.0;
    ratesync_loop_set_cascade(l, taps, rate0);
    if (t.pulse != OX_RC_PULSE_NONE) {
        const double slope = symsync_ted_slope(l->ted, static_cast<int>(t.pulse),
                                               static_cast<int64_t>(t.span), t.rolloff);
        if (slope > 0.0) l->ted_norm = 1.0 / slope;
    }
    l->stage = t.stage;
}

void ratesync_loop_reset(ratesync_loop *l) {
    loop_filter_reset(&l->lf);
    l->have_prev = 0;
    l->timing_error = 0.0;
    l->ctrl = 0.0;
    l->rate = l->sps;
    l->prime = l->num_taps + 1;
    l->counter = 0;
    for (ox_cf32 &h : l->hist) h = {0.0f, 0.0f};
    l->hist_fill = 0;
    l->prev = {0.0f, 0.0f};
    l->block_sum = 0.0;
    l->block_count = 0;
    l->lock_stat = 0.0;
    lockdet_reset(&l->ld);
}

void ratesync_loop_configure(ratesync_loop *l, double bn, double zeta) {
    if (!(bn >= 0.0 && zeta > 0.0)) return;
    l->bn = bn;
    l->zeta = zeta;
    loop_filter_configure(&l->lf, bn, zeta, 1.0);
}

void ratesync_loop_configure_lock_raw(ratesync_loop *l, uint64_t avgs, int n_up, int n_down,
                                      double up_thresh, double down_thresh) {
    l->avgs = avgs ? avgs : 1;
    lockdet_init(&l->ld, static_cast<uint32_t>(n_up), static_cast<uint32_t>(n_down), up_thresh,
                 down_thresh);
    l->block_sum = 0.0;
    l->block_count = 0;
    l->lock_stat = 0.0;
    lockdet_reset(&l->ld);
}

int ratesync_loop_set_telemetry(ratesync_loop *l, ox_tlm *tlm, const char *prefix, int decim) {
    return ox::tlm_attach(&l->tlm, l->probe_ids, tlm, prefix, "sync", kProbeSuffixes,
                           static_cast<uint32_t>(decim));
}

void ratesync_loop_tlm_flush(ratesync_loop *l) {
    if (!l->tlm) return;
    const double values[RATESYNC_N_PROBES] = {
        l->timing_error, l->ctrl,
        l->rate,         l->lock_stat,
        l->ld.locked ? 1.0 : 0.0, l->stage ? resamp_get_ctrl_acc(l->stage) : 0.0};
    ox::tlm_flush(l->tlm, l->probe_ids, values, RATESYNC_N_PROBES);
}

size_t ratesync_loop_state_bytes(const ratesync_loop *) { return kLoopBytes; }

void ratesync_loop_get_state(const ratesync_loop *l, void *buf) {
    auto *b = static_cast<uint8_t *>(buf);
    ox::blob_write_header(b, kLoopBlob, kLoopBytes);
    ox::BlobWriter w(b + ox::kBlobHeaderBytes);
    w.put<double>(l->ctrl);
    w.put<double>(l->timing_error);
    w.put<double>(l->rate);
    w.put<double>(l->block_sum);
    w.put<double>(l->lock_stat);
    w.put<uint64_t>(l->have_prev ? 1 : 0);
    w.put<uint64_t>(l->prime);
    w.put<uint64_t>(l->counter);
    w.put<uint64_t>(l->hist_fill);
    w.put<uint64_t>(l->block_count);
    w.bytes(l->hist, sizeof(l->hist));
    w.put<ox_cf32>(l->prev);
    w.put<uint32_t>(l->ld.count);
    w.put<uint32_t>(l->ld.locked);
    loop_filter_get_state(&l->lf, b + kLoopFilterOffset);
}

// Validated into a copy and committed whole. The counts restored must be ones this loop can
// reach with its own configuration (which the blob does not carry): the priming countdown at
// most the terminal filter's transient, the history fill at most m/2 + 1, a lock block shorter
// than avgs and a lock-detector run shorter than the count that completes it.
int ratesync_loop_set_state(ratesync_loop *l, const void *buf) {
    if (!buf || !ox::blob_header_ok(buf, kLoopBlob, kLoopBytes)) return OX_EINVAL;
    const auto *b = static_cast<const uint8_t *>(buf);
    ratesync_loop t = *l;
    ox::BlobReader r(b + ox::kBlobHeaderBytes);
    t.ctrl = r.get<double>();
    t.timing_error = r.get<double>();
    t.rate = r.get<double>();
    t.block_sum = r.get<double>();
    t.lock_stat = r.get<double>();
    t.have_prev = static_cast<int32_t>(r.get<uint64_t>() & 1);
    t.prime = r.get<uint64_t>();
    t.counter = r.get<uint64_t>();
    t.hist_fill = r.get<uint64_t>();
    t.block_count = r.get<uint64_t>();
    r.bytes(t.hist, sizeof(t.hist));
    t.prev = r.get<ox_cf32>();
    t.ld.count = r.get<uint32_t>();
    t.ld.locked = r.get<uint32_t>();
    if (t.prime > l->num_taps + 1 || t.hist_fill > (l->m >> 1) + 1 || t.block_count >= l->avgs)
        return OX_EINVAL;
    if (t.ld.locked > 1 || t.ld.count >= (t.ld.locked ? t.ld.n_down : t.ld.n_up)) return OX_EINVAL;
    if (loop_filter_set_state(&t.lf, b + kLoopFilterOffset) != OX_OK) return OX_EINVAL;
    // The loop never holds a value that is not a number (the detector drops such outputs), so
    // a blob carrying one is refused; a control or integrator beyond the rate clamp (as an
    // unbounded loop could leave them) is brought into it.
    if (!ox::all_finite({t.ctrl, t.timing_error, t.rate, t.block_sum, t.lock_stat, t.lf.integ}))
        return OX_EINVAL;
    ox::ratesync_loop_bound(&t);
    // The configured bandwidth reads back what the restored gains were derived from.
    t.bn = t.lf.bn;
    t.zeta = t.lf.zeta;
    *l = t;
    return OX_OK;
}

// ---------------------------------------------------------------------------------------------
// Rate-synchroniser object
// ---------------------------------------------------------------------------------------------

struct ratesync {
    RateConverter *rc;
    ratesync_loop loop;
    int pulse;
    double beta;
    uint64_t span;
    uint64_t num_phases;
};

namespace {

bool finite(double v) { return std::isfinite(v); }

bool valid_params(int pulse, uint64_t span, uint64_t m, uint64_t num_phases, int ted, double sps,
                  double beta, double bn, double zeta) {
    return beta >= 0.0 && beta <= 1.0 && m >= 2 && m <= 8 && (m & 1) == 0 && span != 0 &&
           num_phases > 1 && (num_phases & (num_phases - 1)) == 0 && bn >= 0.0 && finite(bn) &&
           zeta > 0.0 && finite(zeta) && pulse >= 0 && pulse <= 1 && ted >= 0 && ted <= 1 &&
           sps >= static_cast<double>(m) && finite(sps);
}

template <bool kTelemetry>
size_t run(ratesync *p, const ox_cf32 *x, size_t n, ox_cf32 *out, size_t out_cap) {
    ratesync_loop *l = &p->loop;
    size_t written = 0;
    for (size_t i = 0; i < n && written < out_cap; ++i) {
        ox_cf32 buf[4];
        const size_t k = RateConverter_execute_ctrl_push(p->rc, buf, 4, x[i], l->ctrl);
        bool produced = false;
        for (size_t j = 0; j < k; ++j) {
            if (ox::ratesync_loop_push(l, buf[j])) {
                out[written] = buf[j];
                produced = true;
            }
        }
        if (produced) {
            if constexpr (kTelemetry) ratesync_loop_tlm_flush(l);
            ++written;
        }
    }
    return written;
}

}  // namespace

ratesync *ratesync_create(int pulse, uint64_t span, uint64_t m, uint64_t num_phases, int ted, double sps,
                          double beta, double bn, double zeta) {
    if (!valid_params(pulse, span, m, num_phases, ted, sps, beta, bn, zeta)) return nullptr;
    auto *p = static_cast<ratesync *>(std::calloc(1, sizeof(ratesync)));
    if (!p) return nullptr;
    p->rc = RateConverter_create_matched(1, static_cast<uint32_t>(pulse), static_cast<size_t>(span),
                                         static_cast<size_t>(num_phases), static_cast<double>(m) / sps,
                                         beta, static_cast<double>(m));
    if (!p->rc) {
        std::free(p);
        return nullptr;
    }
    p->pulse = pulse;
    p->beta = beta;
    p->span = span;
    p->num_phases = num_phases;
    ratesync_loop_init(&p->loop, m, ted, sps, bn, zeta);
    ratesync_loop_bind_cascade(&p->loop, p->rc);
    return p;
}

void ratesync_destroy(ratesync *p) {
    if (!p) return;
    RateConverter_destroy(p->rc);
    std::free(p);
}

void ratesync_reset(ratesync *p) {
    RateConverter_reset(p->rc);
    ratesync_loop_reset(&p->loop);
}

size_t ratesync_steps(ratesync *p, const ox_cf32 *x, size_t n, ox_cf32 *out, size_t out_cap) {
    return p->loop.tlm ? run<true>(p, x, n, out, out_cap) : run<false>(p, x, n, out, out_cap);
}

size_t ratesync_steps_max_out(const ratesync *) { return 0; }
void ratesync_configure(ratesync *p, double bn, double zeta) { ratesync_loop_configure(&p->loop, bn, zeta); }
void ratesync_set_bn(ratesync *p, double bn) { ratesync_loop_configure(&p->loop, bn, p->loop.zeta); }
double ratesync_get_bn(const ratesync *p) { return p->loop.bn; }
double ratesync_get_timing_error(const ratesync *p) { return p->loop.timing_error; }
double ratesync_get_rate(const ratesync *p) { return p->loop.rate; }
double ratesync_get_ctrl(const ratesync *p) { return p->loop.ctrl; }
double ratesync_get_lock_stat(const ratesync *p) { return p->loop.lock_stat; }
int ratesync_get_locked(const ratesync *p) { return p->loop.ld.locked ? 1 : 0; }
int ratesync_get_clipped(const ratesync *p) { return RateConverter_get_clipped(p->rc) ? 1 : 0; }

void ratesync_configure_lock_raw(ratesync *p, uint64_t avgs, int n_up, int n_down, double up_thresh,
                                 double down_thresh) {
    ratesync_loop_configure_lock_raw(&p->loop, avgs, n_up, n_down, up_thresh, down_thresh);
}

int ratesync_set_telemetry(ratesync *p, ox_tlm *tlm, const char *prefix, int decim) {
    return ratesync_loop_set_telemetry(&p->loop, tlm, prefix, decim);
}

size_t ratesync_state_bytes(const ratesync *p) {
    return ox::kBlobHeaderBytes + RateConverter_state_bytes(p->rc) + kLoopBytes;
}

void ratesync_get_state(const ratesync *p, void *buf) {
    auto *b = static_cast<uint8_t *>(buf);
    ox::blob_write_header(b, kRatesyncBlob, static_cast<uint32_t>(ratesync_state_bytes(p)));
    const size_t rc_bytes = RateConverter_state_bytes(p->rc);
    RateConverter_get_state(p->rc, b + ox::kBlobHeaderBytes);
    ratesync_loop_get_state(&p->loop, b + ox::kBlobHeaderBytes + rc_bytes);
}

// All or nothing: the loop's blob is validated into a copy first, the converter restores
// atomically (it puts its own state back when a stage rejects), and the loop is committed last.
int ratesync_set_state(ratesync *p, const void *buf) {
    const size_t total = ratesync_state_bytes(p);
    if (!buf || total > UINT32_MAX || !ox::blob_header_ok(buf, kRatesyncBlob, static_cast<uint32_t>(total)))
        return OX_EINVAL;
    const auto *b = static_cast<const uint8_t *>(buf);
    const size_t rc_bytes = RateConverter_state_bytes(p->rc);
    ratesync_loop loop = p->loop;
    if (ratesync_loop_set_state(&loop, b + ox::kBlobHeaderBytes + rc_bytes) != OX_OK) return OX_EINVAL;
    if (RateConverter_set_state(p->rc, b + ox::kBlobHeaderBytes) != OX_OK) return OX_EINVAL;
    p->loop = loop;
    return OX_OK;
}
