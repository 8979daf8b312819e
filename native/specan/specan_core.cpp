#include "specan/specan_core.h"

#include <cmath>
#include <cstdlib>
#include <new>

#include "rate/ddc_core.h"
#include "spectral/window_core.h"

namespace {

constexpr ox::BlobKind kSpanBlob{"SPAN", 1};
constexpr size_t kOwnHeaderBytes = 24;  // header + pending_len

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
    ddc_destroy(s->ddc);
    psd_destroy(s->psd);
    std::free(s->ddc_out);
    std::free(s->pending);
    std::free(s->display);
    std::free(s->ddc_backup);
    std::free(s);
}

uint64_t block_len(const specan_state_t *s) { return s->n * s->navg; }

// Keeps only the last complete block of pending and the samples after it: earlier blocks can
// no longer become the frame of this call.
void drop_superseded_blocks(specan_state_t *s) {
    const uint64_t B = block_len(s);
    if (s->pending_len < 2 * B) return;
    const uint64_t start = (s->pending_len / B - 1) * B;
    std::memmove(s->pending, s->pending + start, (s->pending_len - start) * sizeof(ox_cf32));
    s->pending_len -= start;
}

// Display values in dB: 10 log10(power / FS^2 + 1e-20) + offset_db, in single precision.
// The display ends half bins either side of DC; with a 4-point transform (n = 2) half is
// nfft/2, so its last value is the bin at +fs_out/2, which the trace holds once, at index 0
// (-fs_out/2, the same bin of the periodic transform): the index wraps there instead of reading
// past the trace.
void write_display(const specan_state_t *s, float *out, size_t r) {
    const double full_scale = s->psd->full_scale;
    const float fs2 = static_cast<float>(full_scale * full_scale);
    const float inv = 1.0f / fs2;
    const float offset = static_cast<float>(s->offset_db);
    for (size_t i = 0; i < r; ++i) {
        uint64_t k = s->display_start + i;
        if (k >= s->nfft) k -= s->nfft;
        out[i] = 10.0f * std::log10(s->display[k] * inv + 1e-20f) + offset;
    }
}

}  // namespace

specan_state_t *specan_create(double fs, double span, double rbw, double src_center, double center,
                              double offset_db, double full_scale, uint64_t bits, int window,
                              uint64_t navg) {
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

    s->ddc = ddc_create((src_center - center) / fs, fs_out / fs);
    s->psd = psd_create(n, fs_out, static_cast<uint32_t>(window), static_cast<float>(beta), 2, full_scale,
                        bits, ACC_TRACE_MEAN, 0.1);
    if (!s->ddc || !s->psd) {
        release(s);
        return nullptr;
    }
    const uint64_t B = block_len(s);
    s->ddc_out_cap = kChunkOutCap;
    s->pending_cap = 2 * B + kChunkOutCap;
    s->ddc_out = static_cast<ox_cf32 *>(std::malloc(s->ddc_out_cap * sizeof(ox_cf32)));
    s->pending = static_cast<ox_cf32 *>(std::malloc(s->pending_cap * sizeof(ox_cf32)));
    s->display = static_cast<float *>(std::calloc(s->nfft, sizeof(float)));
    s->ddc_backup = static_cast<uint8_t *>(std::malloc(ddc_state_bytes(s->ddc)));
    if (!s->ddc_out || !s->pending || !s->display || !s->ddc_backup ||
        specan_state_bytes(s) > kMaxBlob) {
        release(s);
        return nullptr;
    }
    return s;
}

void specan_destroy(specan_state_t *s) {
    if (s) release(s);
}

void specan_reset(specan_state_t *s) {
    ddc_reset(s->ddc);
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
        const size_t m = ddc_execute(s->ddc, x + i, len, s->ddc_out, s->ddc_out_cap);
        std::memcpy(s->pending + s->pending_len, s->ddc_out, m * sizeof(ox_cf32));
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
    return kOwnHeaderBytes + ddc_state_bytes(s->ddc) + psd_trace_state_bytes(s->psd) +
           block_len(s) * sizeof(ox_cf32);
}

void specan_get_state(const specan_state_t *s, void *buf) {
    auto *b = static_cast<uint8_t *>(buf);
    const uint64_t B = block_len(s);
    ox::blob_write_header(b, kSpanBlob, static_cast<uint32_t>(specan_state_bytes(s)));
    ox::BlobWriter w(b + ox::kBlobHeaderBytes);
    ddc_get_state(s->ddc, w.pos());
    w.skip(ddc_state_bytes(s->ddc));
    psd_get_trace_state(s->psd, w.pos());
    w.skip(psd_trace_state_bytes(s->psd));
    const uint64_t held = s->pending_len < B ? s->pending_len : B;
    w.put<uint64_t>(held);
    w.bytes(s->pending, held * sizeof(ox_cf32));
    w.zeros((B - held) * sizeof(ox_cf32));
}

// All or nothing: the header and the pending length are checked first; the down-converter and
// the PSD each restore atomically, and the down-converter is put back from a snapshot when the
// PSD rejects its slice, so a crafted blob never leaves a half-restored analyzer.
int specan_set_state(specan_state_t *s, const void *buf) {
    if (!buf || !ox::blob_header_ok(buf, kSpanBlob, static_cast<uint32_t>(specan_state_bytes(s))))
        return OX_EINVAL;
    const uint64_t B = block_len(s);
    ox::BlobReader r(static_cast<const uint8_t *>(buf) + ox::kBlobHeaderBytes);
    const uint8_t *ddc_blob = r.pos();
    r.skip(ddc_state_bytes(s->ddc));
    const uint8_t *psd_blob = r.pos();
    r.skip(psd_trace_state_bytes(s->psd));
    const auto held = r.get<uint64_t>();
    if (held > B) return OX_EINVAL;
    ddc_get_state(s->ddc, s->ddc_backup);
    if (ddc_set_state(s->ddc, ddc_blob) != OX_OK) return OX_EINVAL;
    if (psd_set_trace_state(s->psd, psd_blob) != OX_OK) {
        ddc_set_state(s->ddc, s->ddc_backup);
        return OX_EINVAL;
    }
    r.bytes(s->pending, held * sizeof(ox_cf32));
    s->pending_len = held;
    return OX_OK;
}
