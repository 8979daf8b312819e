#include "spectral/psd_core.h"

#include <cmath>
#include <cstdlib>
#include <limits>

#include "spectral/window_core.h"

#include "fft/fft_core.h"

namespace {

// Version 1: the accumulator blob only. Version 2 appends the pending samples of an incomplete
// segment: u64 count, then n cf32 slots (the unused ones zero).
constexpr ox::BlobKind kPsdTraceBlob{"PSD ", 1};
constexpr ox::BlobKind kPsdBlob{"PSD ", 2};

// The state blob is 48 + 8 nfft + 8 n bytes and its length field is 32 bits wide: the largest
// power-of-two transform is 2^28, and a frame of nearly that length with no padding is refused.
constexpr uint64_t kMaxNfft = uint64_t{1} << 28;
static_assert(16 + 24 + 8 * kMaxNfft <= 0xFFFFFFFFull);
constexpr uint64_t kMaxBlob = 0xFFFFFFFFull;

constexpr double kFloorLinear = 1e-20;
constexpr double kFloorDb = -200.0;

// Buffers the FFT reads and writes are cache-line aligned so the SIMD path runs in place.
template <class T>
T *alloc_zeroed(size_t count) {
    const size_t bytes = (count * sizeof(T) + 63) & ~size_t{63};
    void *p = std::aligned_alloc(64, bytes);
    if (p) std::memset(p, 0, bytes);
    return static_cast<T *>(p);
}

void release(psd_state_t *psd) {
    fft_destroy(psd->fft);
    acc_trace_destroy(psd->trace);
    std::free(psd->window);
    std::free(psd->frame);
    std::free(psd->spectrum);
    std::free(psd->power);
    std::free(psd->db_scratch);
    std::free(psd->pending);
    std::free(psd);
}

inline float sample_re(const ox_cf32 &v) { return v.re; }
inline float sample_im(const ox_cf32 &v) { return v.im; }
inline float sample_re(float v) { return v; }
inline float sample_im(float) { return 0.0f; }

// Windows, transforms and folds one frame of n samples.
template <class In>
void fold_frame(psd_state_t *psd, const In *xf) {
    const size_t n = psd->n, nfft = psd->nfft, half = nfft / 2;
    const float *w = psd->window;
    ox_cf32 *frame = psd->frame;
    const ox_cf32 *bins = psd->spectrum;
    float *power = psd->power;
    for (size_t j = 0; j < n; ++j) {
        frame[j].re = sample_re(xf[j]) * w[j];
        frame[j].im = sample_im(xf[j]) * w[j];
    }
    fft_execute_cf32(psd->fft, frame, nfft, psd->spectrum, nfft);
    // DC-centred order: trace index m holds bin (m - nfft/2) mod nfft.
    for (size_t k = 0; k < half; ++k) {
        power[k + half] = bins[k].re * bins[k].re + bins[k].im * bins[k].im;
    }
    for (size_t k = half; k < nfft; ++k) {
        power[k - half] = bins[k].re * bins[k].re + bins[k].im * bins[k].im;
    }
    acc_trace_accumulate(psd->trace, power, nfft);
}

template <class In>
void keep_pending(psd_state_t *psd, const In *x, size_t count) {
    ox_cf32 *p = psd->pending + psd->n_pending;
    for (size_t j = 0; j < count; ++j) p[j] = ox_cf32{sample_re(x[j]), sample_im(x[j])};
    psd->n_pending += count;
}

// Folds every frame completed by x: first the one the pending samples started, then whole
// frames of x back to back; the samples after the last whole frame stay pending for the next
// call. Returns the frames folded.
template <class In>
size_t fold_frames(psd_state_t *psd, const In *x, size_t n_in) {
    const size_t n = psd->n;
    size_t frames = 0, used = 0;
    if (psd->n_pending > 0) {
        used = n - psd->n_pending < n_in ? n - psd->n_pending : n_in;
        keep_pending(psd, x, used);
        if (psd->n_pending < n) return 0;
        fold_frame(psd, psd->pending);
        psd->n_pending = 0;
        frames = 1;
    }
    for (; n_in - used >= n; used += n, ++frames) fold_frame(psd, x + used);
    keep_pending(psd, x + used, n_in - used);
    return frames;
}

// Copies the reduced trace into `power`; false while no frame has been folded.
bool load_trace(psd_state_t *psd) {
    if (psd->trace->count == 0) return false;
    acc_trace_value(psd->trace, psd->nfft, psd->power, psd->nfft);
    return true;
}

// dBFS of trace bins [0, m): a full-scale complex tone on a bin reads 0, the floor is -200.
void fill_db(const psd_state_t *psd, float *out, size_t m) {
    const double g = psd->s1 * psd->full_scale;
    const double g2 = g * g;
    for (size_t k = 0; k < m; ++k) {
        double v = static_cast<double>(psd->power[k]) / g2;
        if (v < kFloorLinear) v = kFloorLinear;
        out[k] = static_cast<float>(10.0 * std::log10(v));
    }
}

// Trace index of a frequency in Hz: round(f nfft / fs + nfft/2), half away from zero.
double freq_index(const psd_state_t *psd, double f) {
    return std::round(f * static_cast<double>(psd->nfft) / psd->fs +
                      static_cast<double>(psd->nfft / 2));
}

// Inclusive trace range of a band given by its two edges in any order; false when the band lies
// outside the trace (or an edge is NaN).
bool band_range(const psd_state_t *psd, double a, double b, size_t *lo, size_t *hi) {
    if (std::isnan(a) || std::isnan(b)) return false;
    double k_hi = freq_index(psd, a > b ? a : b);
    double k_lo = freq_index(psd, a > b ? b : a);
    const double last = static_cast<double>(psd->nfft - 1);
    if (k_hi < 0.0 || k_lo >= static_cast<double>(psd->nfft)) return false;
    if (k_hi > last) k_hi = last;
    if (k_lo < 0.0) k_lo = 0.0;
    if (k_hi < k_lo) return false;
    *lo = static_cast<size_t>(k_lo);
    *hi = static_cast<size_t>(k_hi);
    return true;
}

// Linear band power relative to full_scale^2 (Parseval with the window's power sum).
double band_linear(const psd_state_t *psd, size_t lo, size_t hi) {
    const double denom =
        psd->full_scale * psd->full_scale * static_cast<double>(psd->nfft) * psd->s2;
    double p = 0.0;
    for (size_t k = lo; k <= hi; ++k) p += static_cast<double>(psd->power[k]) / denom;
    return p;
}

double to_db_floored(double p) { return 10.0 * std::log10(p > kFloorLinear ? p : kFloorLinear); }

}  // namespace

psd_state_t *psd_create(uint64_t n, double fs, uint32_t window, float beta, uint64_t pad,
                        double full_scale, uint64_t bits, uint32_t mode, double alpha) {
    if (bits != 0) {
        full_scale = bits - 1 > 2000 ? std::numeric_limits<double>::infinity()
                                     : std::ldexp(1.0, static_cast<int>(bits - 1));
    }
    // Non-finite rates and scales would turn every reading into NaN: refused like non-positive.
    if (n < 2 || !(fs > 0.0) || !std::isfinite(fs) || window > PSD_WINDOW_BLACKMAN_HARRIS ||
        !(full_scale > 0.0) || !std::isfinite(full_scale) || mode > ACC_TRACE_MINHOLD)
        return nullptr;
    if (pad == 0) pad = 1;
    if (n > kMaxNfft / pad) return nullptr;
    uint64_t nfft = 1;
    while (nfft < n * pad) nfft <<= 1;

    auto *psd = static_cast<psd_state_t *>(std::calloc(1, sizeof(psd_state_t)));
    if (!psd) return nullptr;
    psd->n = n;
    psd->nfft = nfft;
    psd->fs = fs;
    psd->full_scale = full_scale;
    psd->bits = bits;
    psd->window = alloc_zeroed<float>(n);
    psd->frame = alloc_zeroed<ox_cf32>(nfft);
    psd->spectrum = alloc_zeroed<ox_cf32>(nfft);
    psd->power = alloc_zeroed<float>(nfft);
    psd->db_scratch = alloc_zeroed<float>(nfft);
    psd->pending = alloc_zeroed<ox_cf32>(n);
    if (!psd->window || !psd->frame || !psd->spectrum || !psd->power || !psd->db_scratch ||
        !psd->pending) {
        release(psd);
        return nullptr;
    }
    switch (window) {
    case PSD_WINDOW_KAISER: kaiser_window(psd->window, n, beta); break;
    case PSD_WINDOW_BLACKMAN_HARRIS: blackman_harris_window(psd->window, n); break;
    default: hann_window(psd->window, n); break;
    }
    double s1 = 0.0, s2 = 0.0;
    for (size_t k = 0; k < n; ++k) {
        const double v = psd->window[k];
        s1 += v;
        s2 += v * v;
    }
    // A window without positive finite gain (Hann of length 2 is all zeros; a NaN or
    // overflowing Kaiser beta) would make every reading NaN: refused.
    if (!(s1 > 0.0) || !std::isfinite(s1) || !(s2 > 0.0) || !std::isfinite(s2)) {
        release(psd);
        return nullptr;
    }
    psd->s1 = s1;
    psd->s2 = s2;
    psd->enbw = static_cast<double>(n) * s2 / (s1 * s1);
    psd->fft = fft_create(nfft, -1, 1);
    psd->trace = acc_trace_create(nfft, mode, alpha);
    if (!psd->fft || !psd->trace || psd_state_bytes(psd) > kMaxBlob) {
        release(psd);
        return nullptr;
    }
    return psd;
}

void psd_destroy(psd_state_t *psd) {
    if (psd) release(psd);
}

void psd_reset(psd_state_t *psd) {
    acc_trace_reset(psd->trace);
    psd->n_pending = 0;
}

size_t psd_trace_state_bytes(const psd_state_t *psd) {
    return ox::kBlobHeaderBytes + acc_trace_state_bytes(psd->trace);
}

size_t psd_state_bytes(const psd_state_t *psd) {
    return psd_trace_state_bytes(psd) + sizeof(uint64_t) + psd->n * sizeof(ox_cf32);
}

void psd_get_trace_state(const psd_state_t *psd, void *buf) {
    ox::blob_write_header(buf, kPsdTraceBlob, static_cast<uint32_t>(psd_trace_state_bytes(psd)));
    acc_trace_get_state(psd->trace, static_cast<uint8_t *>(buf) + ox::kBlobHeaderBytes);
}

void psd_get_state(const psd_state_t *psd, void *buf) {
    ox::blob_write_header(buf, kPsdBlob, static_cast<uint32_t>(psd_state_bytes(psd)));
    acc_trace_get_state(psd->trace, static_cast<uint8_t *>(buf) + ox::kBlobHeaderBytes);
    ox::BlobWriter w(static_cast<uint8_t *>(buf) + psd_trace_state_bytes(psd));
    w.put<uint64_t>(psd->n_pending);
    w.bytes(psd->pending, psd->n_pending * sizeof(ox_cf32));
    w.zeros((psd->n - psd->n_pending) * sizeof(ox_cf32));
}

int psd_set_trace_state(psd_state_t *psd, const void *buf) {
    if (!buf || !ox::blob_header_ok(buf, kPsdTraceBlob,
                                    static_cast<uint32_t>(psd_trace_state_bytes(psd))))
        return OX_EINVAL;
    const int rc =
        acc_trace_set_state(psd->trace, static_cast<const uint8_t *>(buf) + ox::kBlobHeaderBytes);
    if (rc == OX_OK) psd->n_pending = 0;
    return rc;
}

// Either form: version 2 (with the pending samples) or version 1 (the trace only, as blobs
// taken before pending samples were kept; nothing is pending after it).
int psd_set_state(psd_state_t *psd, const void *buf) {
    if (!buf) return OX_EINVAL;
    uint16_t version;
    std::memcpy(&version, static_cast<const uint8_t *>(buf) + 4, sizeof version);
    if (version == kPsdTraceBlob.version) return psd_set_trace_state(psd, buf);
    if (!ox::blob_header_ok(buf, kPsdBlob, static_cast<uint32_t>(psd_state_bytes(psd))))
        return OX_EINVAL;
    ox::BlobReader r(static_cast<const uint8_t *>(buf) + psd_trace_state_bytes(psd));
    const uint64_t pending = r.get<uint64_t>();
    if (pending >= psd->n) return OX_EINVAL;
    const int rc =
        acc_trace_set_state(psd->trace, static_cast<const uint8_t *>(buf) + ox::kBlobHeaderBytes);
    if (rc != OX_OK) return rc;
    r.bytes(psd->pending, pending * sizeof(ox_cf32));
    psd->n_pending = pending;
    return OX_OK;
}

size_t psd_accumulate(psd_state_t *psd, const ox_cf32 *x, size_t n_in) {
    return fold_frames(psd, x, n_in);
}

size_t psd_accumulate_real(psd_state_t *psd, const float *x, size_t n_in) {
    return fold_frames(psd, x, n_in);
}

size_t psd_power_twosided(psd_state_t *psd, size_t, float *out, size_t out_cap) {
    if (!load_trace(psd)) return 0;
    const size_t m = out_cap < psd->nfft ? out_cap : psd->nfft;
    const double g2 = psd->s1 * psd->s1;
    for (size_t k = 0; k < m; ++k) out[k] = static_cast<float>(psd->power[k] / g2);
    return m;
}

size_t psd_power_onesided(psd_state_t *psd, size_t, float *out, size_t out_cap) {
    if (!load_trace(psd)) return 0;
    const size_t h = psd->nfft / 2;
    const size_t m = out_cap < h + 1 ? out_cap : h + 1;
    const double g2 = psd->s1 * psd->s1;
    const float *a = psd->power;
    if (m > 0) out[0] = static_cast<float>(a[h] / g2);  // DC
    for (size_t i = 1; i < m && i < h; ++i) {
        const double both = static_cast<double>(a[h + i]) + static_cast<double>(a[h - i]);
        out[i] = static_cast<float>(both / g2);
    }
    if (m > h) out[h] = static_cast<float>(a[0] / g2);  // -fs/2, not doubled
    return m;
}

size_t psd_psd_db(psd_state_t *psd, size_t, float *out, size_t out_cap) {
    if (!load_trace(psd)) return 0;
    const size_t m = out_cap < psd->nfft ? out_cap : psd->nfft;
    fill_db(psd, out, m);
    return m;
}

size_t psd_psd_dbhz(psd_state_t *psd, size_t, float *out, size_t out_cap) {
    if (!load_trace(psd)) return 0;
    const size_t m = out_cap < psd->nfft ? out_cap : psd->nfft;
    fill_db(psd, out, m);
    // The window's noise bandwidth in Hz, independent of zero-padding.
    const double offset = 10.0 * std::log10(psd->fs * psd->s2 / (psd->s1 * psd->s1));
    for (size_t k = 0; k < m; ++k) out[k] = static_cast<float>(static_cast<double>(out[k]) - offset);
    return m;
}

size_t psd_band_power(psd_state_t *psd, const double *bands, size_t n_values, float *out,
                      size_t out_cap) {
    if (!load_trace(psd)) return 0;
    const size_t pairs = n_values / 2;
    const size_t m = out_cap < pairs ? out_cap : pairs;
    for (size_t i = 0; i < m; ++i) {
        size_t lo, hi;
        out[i] = band_range(psd, bands[2 * i], bands[2 * i + 1], &lo, &hi)
                     ? static_cast<float>(to_db_floored(band_linear(psd, lo, hi)))
                     : static_cast<float>(kFloorDb);
    }
    return m;
}

double psd_total_band_power(psd_state_t *psd, const double *bands, size_t n_values) {
    if (n_values < 2 || !load_trace(psd)) return kFloorDb;
    double sum = 0.0;
    for (size_t i = 0; i < n_values / 2; ++i) {
        size_t lo, hi;
        if (band_range(psd, bands[2 * i], bands[2 * i + 1], &lo, &hi)) sum += band_linear(psd, lo, hi);
    }
    return to_db_floored(sum);
}

double psd_occupied_bw(psd_state_t *psd, double fraction) {
    if (!load_trace(psd)) return 0.0;
    const double g2 = psd->s1 * psd->s1;
    const float *a = psd->power;
    return ox::obw_walk(psd->nfft, psd->fs, fraction,
                        [a, g2](size_t m) { return static_cast<double>(a[m]) / g2; });
}

double psd_noise_floor(psd_state_t *psd) {
    if (!load_trace(psd)) return 0.0;
    fill_db(psd, psd->db_scratch, psd->nfft);
    return noise_floor_db(psd->db_scratch, psd->nfft);
}

double psd_snr(psd_state_t *psd, double lo_hz, double hi_hz) {
    if (!load_trace(psd)) return 0.0;
    fill_db(psd, psd->db_scratch, psd->nfft);
    const double nf = noise_floor_db(psd->db_scratch, psd->nfft);
    size_t lo, hi;
    if (!band_range(psd, lo_hz, hi_hz, &lo, &hi)) return 0.0;
    float peak = -std::numeric_limits<float>::infinity();
    for (size_t k = lo; k <= hi; ++k) {
        if (psd->db_scratch[k] > peak) peak = psd->db_scratch[k];
    }
    return static_cast<double>(peak) - nf;
}

double psd_sfdr(psd_state_t *psd, float min_db) {
    if (!load_trace(psd)) return 0.0;
    fill_db(psd, psd->db_scratch, psd->nfft);
    ox_peak_t peaks[16];
    const size_t found = find_peaks_f32(psd->db_scratch, psd->nfft, 16, peaks, min_db);
    if (found < 2) return 0.0;
    return static_cast<double>(peaks[0].level_db) - static_cast<double>(peaks[1].level_db);
}

size_t psd_power_twosided_max_out(const psd_state_t *psd) { return psd->nfft; }
size_t psd_power_onesided_max_out(const psd_state_t *psd) { return psd->nfft / 2 + 1; }
size_t psd_psd_db_max_out(const psd_state_t *psd) { return psd->nfft; }
size_t psd_psd_dbhz_max_out(const psd_state_t *psd) { return psd->nfft; }
size_t psd_band_power_max_out(const psd_state_t *) { return 0; }
