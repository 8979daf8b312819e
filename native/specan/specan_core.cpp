#include "specan/specan_core.h"

#include <cmath>
#include <cstdlib>
#include <new>

#include "rate/ddc_core.h"
#include "rate/rate_converter_core.h"
#include "spectral/window_core.h"

namespace {

constexpr ox::BlobKind kSpanBlob{"SPAN", 1};
constexpr ox::BlobKind kFlatBlob{"SPAF", 1};
// header + pending_len, and for the flat blob the number of halfband pairs
constexpr size_t kOwnHeaderBytes = 24;
constexpr size_t kFlatHeaderBytes = 32;
// A flat front end decimates 4:1 in halfband pairs while the ratio left is at least this: the
// rate converter would start with an uncompensated CIC from here on.
constexpr double kFlatRatioLimit = 8.0;
// At most this many pairs (a decimation of 4^30, about 1e18): larger ratios are refused.
constexpr uint64_t kMaxQuarters = 30;

// Input samples handed to the down-converter per call: its output buffer is sized once at
// creation and the pending buffer is bounded, so execute never allocates and never drops data.
constexpr size_t kChunk = 4096;
// The rate is at most 1, so a chunk yields at most kChunk samples; the margin is defensive.
constexpr size_t kChunkOutCap = kChunk + 8;

// The display covers +-0.390625 fs_out (0.5/1.28, exact in binary) around DC: +-span/2 when
// fs_out = 1.28 span, the same fraction of fs_out when fs limits fs_out.
constexpr double kDisplayFraction = 0.390625;
// Longest window: the PSD pads it to 2 n, and its transform is limited to 2^28 points.
constexpr double kMaxWindow = 134217728.0;  // 2^27
constexpr uint64_t kMaxBlob = 0xFFFFFFFFull;  // the header's length field is 32 bits wide

constexpr int kBetaSteps = 60;
constexpr double kBetaMax = 60.0;

// Kaiser beta whose window of length n has an ENBW of `target` bins, by bisection on [0, 60]
// over the realised (float) window. False when the trial window cannot be allocated.
// A window of two samples is two end points, equal whatever beta: its ENBW is 1 bin for every
// beta, so the bisection would only climb to beta 60 and scale the window down to 1/I0(60),
// which puts every windowed sample (and the whole display) into float underflow. Beta 0 gives
// the same shape at unit gain.
bool kaiser_beta_for_enbw(uint64_t n, double target, double *beta) {
    if (!(target > 1.0) || n <= 2) {
        *beta = 0.0;
        return true;
    }
    float *w = new (std::nothrow) float[n];
    if (!w) return false;
    double lo = 0.0, hi = kBetaMax;
    for (int step = 0; step < kBetaSteps; ++step) {
        const double mid = (lo + hi) * 0.5;
        kaiser_window(w, n, static_cast<float>(mid));
        if (kaiser_enbw(w, n) < target)
            lo = mid;
        else
            hi = mid;
    }
    delete[] w;
    *beta = (lo + hi) * 0.5;
    return true;
}

void release(specan_state_t *s) {
    if (s->post)
        for (uint64_t i = 0; i < s->quarters; ++i) RateConverter_destroy(s->post[i]);
    std::free(s->post);
    std::free(s->stage_out);
    ddc_destroy(s->ddc);
    psd_destroy(s->psd);
    std::free(s->ddc_out);
    std::free(s->pending);
    std::free(s->display);
    std::free(s->ddc_backup);
    std::free(s);
}

uint64_t block_len(const specan_state_t *s) { return s->n * s->navg; }

// 4:1 halfband pairs that bring fs/fs_out below 8 (none below 8:1); kMaxQuarters + 1 for a
// ratio beyond reach (also an infinite one).
uint64_t flat_quarters(double ratio) {
    uint64_t k = 0;
    while (ratio >= kFlatRatioLimit && k <= kMaxQuarters) {
        ratio *= 0.25;
        ++k;
    }
    return k;
}

// Builds the front end: the plain down-converter, or the flat one (the down-converter's own
// converter does the first 4:1 pair, then quarters - 1 further pairs and the remaining ratio).
bool build_front_end(specan_state_t *s, bool flat) {
    const double norm = (s->src_center - s->center) / s->fs;
    const double rate = s->fs_out / s->fs;
    s->flat = flat ? 1 : 0;
    s->quarters = flat ? flat_quarters(1.0 / rate) : 0;
    if (s->quarters > kMaxQuarters) {
        s->quarters = 0;  // nothing built to release
        return false;
    }
    if (s->quarters == 0) {
        s->ddc = ddc_create(norm, rate);
        return s->ddc != nullptr;
    }
    s->ddc = ddc_create(norm, 0.25);
    s->post = static_cast<RateConverter **>(std::calloc(s->quarters, sizeof(RateConverter *)));
    s->stage_out = static_cast<ox_cf32 *>(std::malloc(kChunkOutCap * sizeof(ox_cf32)));
    if (!s->ddc || !s->post || !s->stage_out) return false;
    double rest = rate;
    for (uint64_t i = 0; i + 1 < s->quarters; ++i) {
        s->post[i] = RateConverter_create(0, 0.25);
        if (!s->post[i]) return false;
        rest *= 4.0;
    }
    s->post[s->quarters - 1] = RateConverter_create(0, rest * 4.0);
    if (!s->post[s->quarters - 1]) return false;
    // Each halfband passes DC with a gain of about 1.00028 (0.0024 dB); the display divides
    // the pairs' gain out. The last converter is left as in the plain front end.
    double g = RateConverter_gain(ox::ddc_converter(s->ddc));
    for (uint64_t i = 0; i + 1 < s->quarters; ++i) g *= RateConverter_gain(s->post[i]);
    s->gain_db = 20.0 * std::log10(g);
    return true;
}

// Down-converts one chunk of at most kChunk inputs; returns where its m outputs are.
const ox_cf32 *front_end_execute(specan_state_t *s, const ox_cf32 *x, size_t len, size_t *m) {
    ox_cf32 *a = s->ddc_out, *b = s->stage_out;
    *m = ddc_execute(s->ddc, x, len, a, s->ddc_out_cap);
    for (uint64_t i = 0; i < s->quarters; ++i) {
        *m = RateConverter_execute(s->post[i], a, *m, b, kChunkOutCap);
        ox_cf32 *t = a;
        a = b;
        b = t;
    }
    return a;
}

void front_end_reset(specan_state_t *s) {
    ddc_reset(s->ddc);
    for (uint64_t i = 0; i < s->quarters; ++i) RateConverter_reset(s->post[i]);
}

size_t front_end_bytes(const specan_state_t *s) {
    size_t b = ddc_state_bytes(s->ddc);
    for (uint64_t i = 0; i < s->quarters; ++i) b += RateConverter_state_bytes(s->post[i]);
    return b;
}

void front_end_get(const specan_state_t *s, uint8_t *buf) {
    ddc_get_state(s->ddc, buf);
    buf += ddc_state_bytes(s->ddc);
    for (uint64_t i = 0; i < s->quarters; ++i) {
        RateConverter_get_state(s->post[i], buf);
        buf += RateConverter_state_bytes(s->post[i]);
    }
}

// Sets the parts in order; false at the first one that rejects its slice.
bool front_end_put(specan_state_t *s, const uint8_t *buf) {
    if (ddc_set_state(s->ddc, buf) != OX_OK) return false;
    buf += ddc_state_bytes(s->ddc);
    for (uint64_t i = 0; i < s->quarters; ++i) {
        if (RateConverter_set_state(s->post[i], buf) != OX_OK) return false;
        buf += RateConverter_state_bytes(s->post[i]);
    }
    return true;
}

// Restores every part or, when one rejects its slice, puts all back from a snapshot.
bool front_end_set(specan_state_t *s, const uint8_t *buf) {
    front_end_get(s, s->ddc_backup);
    if (front_end_put(s, buf)) return true;
    front_end_put(s, s->ddc_backup);
    return false;
}

// Keeps only the last complete block of pending and the samples after it: earlier blocks can
// no longer become the frame of this call.
void drop_superseded_blocks(specan_state_t *s) {
    const uint64_t B = block_len(s);
    if (s->pending_len < 2 * B) return;
    const uint64_t start = (s->pending_len / B - 1) * B;
    std::memmove(s->pending, s->pending + start, (s->pending_len - start) * sizeof(ox_cf32));
    s->pending_len -= start;
}

// Display values in dB: 10 log10(power / FS^2 + 1e-20) + offset_db, in single precision (the
// flat front end's halfband gain, gain_db, taken off the offset first).
// The display ends half bins either side of DC; with a 4-point transform (n = 2) half is
// nfft/2, so its last value is the bin at +fs_out/2, which the trace holds once, at index 0
// (-fs_out/2, the same bin of the periodic transform): the index wraps there instead of reading
// past the trace.
void write_display(const specan_state_t *s, float *out, size_t r) {
    const double full_scale = s->psd->full_scale;
    const float fs2 = static_cast<float>(full_scale * full_scale);
    const float inv = 1.0f / fs2;
    const float offset = static_cast<float>(s->offset_db - s->gain_db);
    for (size_t i = 0; i < r; ++i) {
        uint64_t k = s->display_start + i;
        if (k >= s->nfft) k -= s->nfft;
        out[i] = 10.0f * std::log10(s->display[k] * inv + 1e-20f) + offset;
    }
}

specan_state_t *create_analyzer(double fs, double span, double rbw, double src_center,
                                double center, double offset_db, double full_scale, uint64_t bits,
                                int window, uint64_t navg, bool flat) {
    if (!(fs > 0.0) || !std::isfinite(fs) || !(span > 0.0) || !(rbw > 0.0) || navg == 0 ||
        (window != SPECAN_WINDOW_HANN && window != SPECAN_WINDOW_KAISER))
        return nullptr;
    const double fs_out = std::fmin(fs, 1.28 * span);
    const double bins = std::ceil(fs_out / rbw);
    if (!(bins <= kMaxWindow)) return nullptr;
    uint64_t n = 2;
    while (static_cast<double>(n) < bins) n <<= 1;
    // The pending block and the state blob that carries it must fit the 32-bit length field.
    if (navg > kMaxBlob / 8 / n) return nullptr;

    double beta = 0.0;
    if (window == SPECAN_WINDOW_KAISER) {
        const double target = std::fmax(1.0, rbw / fs_out * static_cast<double>(n));
        if (!kaiser_beta_for_enbw(n, target, &beta)) return nullptr;
    }

    auto *s = static_cast<specan_state_t *>(std::calloc(1, sizeof(specan_state_t)));
    if (!s) return nullptr;
    s->fs = fs;
    s->src_center = src_center;
    s->center = center;
    s->span = span;
    s->rbw = rbw;
    s->offset_db = offset_db;
    s->fs_out = fs_out;
    s->beta = beta;
    s->n = n;
    s->nfft = 2 * n;
    s->navg = navg;
    const uint64_t half_nfft = s->nfft / 2;
    const auto half = static_cast<uint64_t>(std::round(kDisplayFraction * static_cast<double>(s->nfft)));
    const uint64_t h = half < half_nfft ? half : half_nfft;
    s->display_size = 2 * h + 1;
    s->display_start = half_nfft - h;

    const bool front_end = build_front_end(s, flat);
    s->psd = psd_create(n, fs_out, static_cast<uint32_t>(window), static_cast<float>(beta), 2, full_scale,
                        bits, ACC_TRACE_MEAN, 0.1);
    if (!front_end || !s->psd) {
        release(s);
        return nullptr;
    }
    const uint64_t B = block_len(s);
    s->ddc_out_cap = kChunkOutCap;
    s->pending_cap = 2 * B + kChunkOutCap;
    s->ddc_out = static_cast<ox_cf32 *>(std::malloc(s->ddc_out_cap * sizeof(ox_cf32)));
    s->pending = static_cast<ox_cf32 *>(std::malloc(s->pending_cap * sizeof(ox_cf32)));
    s->display = static_cast<float *>(std::calloc(s->nfft, sizeof(float)));
    s->ddc_backup = static_cast<uint8_t *>(std::malloc(front_end_bytes(s)));
    if (!s->ddc_out || !s->pending || !s->display || !s->ddc_backup ||
        specan_state_bytes(s) > kMaxBlob) {
        release(s);
        return nullptr;
    }
    return s;
}

}  // namespace

specan_state_t *specan_create(double fs, double span, double rbw, double src_center, double center,
                              double offset_db, double full_scale, uint64_t bits, int window,
                              uint64_t navg) {
    return create_analyzer(fs, span, rbw, src_center, center, offset_db, full_scale, bits, window,
                           navg, false);
}

specan_state_t *specan_create_flat(double fs, double span, double rbw, double src_center,
                                   double center, double offset_db, double full_scale,
                                   uint64_t bits, int window, uint64_t navg) {
    return create_analyzer(fs, span, rbw, src_center, center, offset_db, full_scale, bits, window,
                           navg, true);
}

uint64_t specan_predecimation(const specan_state_t *s) {
    uint64_t d = 1;
    for (uint64_t i = 0; i < s->quarters; ++i) d *= 4;
    return d;
}

void specan_destroy(specan_state_t *s) {
    if (s) release(s);
}

void specan_reset(specan_state_t *s) {
    front_end_reset(s);
    psd_reset(s->psd);
    s->pending_len = 0;
}

void specan_retune(specan_state_t *s, double center) {
    s->center = center;
    ddc_set_norm_freq(s->ddc, (s->src_center - center) / s->fs);
    s->pending_len = 0;
}

size_t specan_execute(specan_state_t *s, const ox_cf32 *x, size_t n_in, float *out, size_t out_cap) {
    for (size_t i = 0; i < n_in; i += kChunk) {
        const size_t len = n_in - i < kChunk ? n_in - i : kChunk;
        size_t m;
        const ox_cf32 *y = front_end_execute(s, x + i, len, &m);
        std::memcpy(s->pending + s->pending_len, y, m * sizeof(ox_cf32));
        s->pending_len += m;
        drop_superseded_blocks(s);
    }
    const uint64_t B = block_len(s);
    if (s->pending_len < B) return 0;
    // pending holds exactly one complete block (the last one) followed by fewer than B samples.
    psd_reset(s->psd);
    psd_accumulate(s->psd, s->pending, B);
    s->pending_len -= B;
    std::memmove(s->pending, s->pending + B, s->pending_len * sizeof(ox_cf32));
    psd_power_twosided(s->psd, s->nfft, s->display, s->nfft);
    const size_t r = out_cap < s->display_size ? out_cap : s->display_size;
    write_display(s, out, r);
    return r;
}

size_t specan_execute_max_out(const specan_state_t *s) { return s->display_size; }

size_t specan_state_bytes(const specan_state_t *s) {
    return (s->flat ? kFlatHeaderBytes : kOwnHeaderBytes) + front_end_bytes(s) +
           psd_trace_state_bytes(s->psd) + block_len(s) * sizeof(ox_cf32);
}

void specan_get_state(const specan_state_t *s, void *buf) {
    auto *b = static_cast<uint8_t *>(buf);
    const uint64_t B = block_len(s);
    ox::blob_write_header(b, s->flat ? kFlatBlob : kSpanBlob,
                          static_cast<uint32_t>(specan_state_bytes(s)));
    ox::BlobWriter w(b + ox::kBlobHeaderBytes);
    if (s->flat) w.put<uint64_t>(s->quarters);
    front_end_get(s, w.pos());
    w.skip(front_end_bytes(s));
    psd_get_trace_state(s->psd, w.pos());
    w.skip(psd_trace_state_bytes(s->psd));
    const uint64_t held = s->pending_len < B ? s->pending_len : B;
    w.put<uint64_t>(held);
    w.bytes(s->pending, held * sizeof(ox_cf32));
    w.zeros((B - held) * sizeof(ox_cf32));
}

// All or nothing: the header, the number of halfband pairs (flat) and the pending length are
// checked first; the front end restores as a whole (put back from a snapshot when one of its
// parts rejects its slice), and so again when the PSD rejects its slice, so a crafted blob never
// leaves a half-restored analyzer.
int specan_set_state(specan_state_t *s, const void *buf) {
    if (!buf || !ox::blob_header_ok(buf, s->flat ? kFlatBlob : kSpanBlob,
                                    static_cast<uint32_t>(specan_state_bytes(s))))
        return OX_EINVAL;
    const uint64_t B = block_len(s);
    ox::BlobReader r(static_cast<const uint8_t *>(buf) + ox::kBlobHeaderBytes);
    if (s->flat && r.get<uint64_t>() != s->quarters) return OX_EINVAL;
    const uint8_t *front_blob = r.pos();
    r.skip(front_end_bytes(s));
    const uint8_t *psd_blob = r.pos();
    r.skip(psd_trace_state_bytes(s->psd));
    const auto held = r.get<uint64_t>();
    if (held > B) return OX_EINVAL;
    if (!front_end_set(s, front_blob)) return OX_EINVAL;
    if (psd_set_trace_state(s->psd, psd_blob) != OX_OK) {
        front_end_put(s, s->ddc_backup);
        return OX_EINVAL;
    }
    r.bytes(s->pending, held * sizeof(ox_cf32));
    s->pending_len = held;
    return OX_OK;
}
