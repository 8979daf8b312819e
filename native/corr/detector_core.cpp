// Streaming correlation detectors, 1-D and 2-D. See detector_core.h.
//
// Both detectors share one body (templates over the detector record); they differ in the
// correlator they drive and in how the peak index is reported.
#include "corr/detector_core.h"

#include <algorithm>
#include <cmath>

#include "common/mirror_map.h"
#include "corr/corr2d_core.h"
#include "corr/corr_core.h"
#include "corr/corr_shared.h"

namespace {

constexpr ox::BlobKind kDet1Blob{"DET1", 1};
constexpr ox::BlobKind kDet2Blob{"DET2", 1};
constexpr uint64_t kMinRingSamples = 512;

// ---------------------------------------------------------------------------------------------
// The sample ring.
// ---------------------------------------------------------------------------------------------

// Smallest power of two >= max(n, 512), raised until the storage fills at least one page;
// 0 when no such ring can be addressed.
uint64_t ring_capacity(uint64_t n) {
    const uint64_t want = std::max(n, kMinRingSamples);
    uint64_t cap = 2;
    while (cap < want) {
        if (cap >= (uint64_t{1} << 58)) return 0;
        cap <<= 1;
    }
    const size_t page = ox::page_size();
    while (cap * sizeof(ox_cf32) < page) {
        if (cap >= (uint64_t{1} << 58)) return 0;
        cap <<= 1;
    }
    return cap;
}

det_ring_t *ring_create(uint64_t cap) {
    void *mem = nullptr;
    if (posix_memalign(&mem, 64, sizeof(det_ring_t)) != 0) return nullptr;
    auto *r = static_cast<det_ring_t *>(mem);
    std::memset(static_cast<void *>(r), 0, sizeof(*r));
    r->base = static_cast<ox_cf32 *>(ox::mirror_map(cap * sizeof(ox_cf32)));
    if (!r->base) {
        std::free(r);
        return nullptr;
    }
    r->capacity = cap;
    r->mask = cap - 1;
    return r;
}

void ring_destroy(det_ring_t *r) {
    if (!r) return;
    ox::mirror_unmap(r->base, r->capacity * sizeof(ox_cf32));
    std::free(r);
}

uint64_t ring_fill(const det_ring_t *r) { return r->write_index - r->read_index; }

// ---------------------------------------------------------------------------------------------
// What differs between the two detectors.
// ---------------------------------------------------------------------------------------------
size_t run_frame(detector_state_t *d, const ox_cf32 *frame) {
    return corr_execute(d->corr, frame, d->n, d->corr_out, d->n);
}
size_t run_frame(detector2d_state_t *d, const ox_cf32 *frame) {
    return corr2d_execute(d->corr, frame, d->n, d->corr_out, d->n);
}

void set_peak(detector_state_t *d, uint64_t index) { d->last_lag = index; }
void set_peak(detector2d_state_t *d, uint64_t index) {
    d->last_row = index / d->nx;
    d->last_col = index % d->nx;
}

void write_result(const detector_state_t *d, det_result_t *r) {
    *r = {d->last_lag, d->last_peak, d->last_noise, d->last_stat};
}
void write_result(const detector2d_state_t *d, det_result2d_t *r) {
    *r = {d->last_row, d->last_col, d->last_peak, d->last_noise, d->last_stat};
}

void reset_corr(detector_state_t *d) { corr_reset(d->corr); }
void reset_corr(detector2d_state_t *d) { corr2d_reset(d->corr); }

// ---------------------------------------------------------------------------------------------
// Shared body.
// ---------------------------------------------------------------------------------------------

// Ascending order with NaN after every number: a strict weak order even for NaN magnitudes.
bool total_less(float a, float b) { return a < b || (std::isnan(b) && !std::isnan(a)); }

// The per-dump reductions run over kLanes independent lanes (element j in lane j % kLanes) so
// that they vectorise; each lane is still an exact left-to-right single-precision reduction.
constexpr uint64_t kLanes = 16;

// Sum of v[0 .. m): lane sums, then the lanes added pairwise (0+1, 2+3, ..., then pairs of
// those) for a fixed, platform-independent order.
float lane_sum(const float *v, uint64_t m) {
    float s[kLanes] = {};
    uint64_t j = 0;
    for (; j + kLanes <= m; j += kLanes)
        for (uint64_t l = 0; l < kLanes; ++l) s[l] += v[j + l];
    for (uint64_t l = 0; j + l < m; ++l) s[l] += v[j + l];
    for (uint64_t width = kLanes / 2; width > 0; width /= 2)
        for (uint64_t l = 0; l < width; ++l) s[l] = s[2 * l] + s[2 * l + 1];
    return s[0];
}

// Largest value of v[0 .. n) that is not NaN (-inf when there is none).
float lane_max(const float *v, uint64_t n) {
    float best[kLanes];
    for (float &b : best) b = -INFINITY;
    uint64_t j = 0;
    for (; j + kLanes <= n; j += kLanes)
        for (uint64_t l = 0; l < kLanes; ++l) best[l] = v[j + l] > best[l] ? v[j + l] : best[l];
    for (uint64_t l = 0; j + l < n; ++l) best[l] = v[j + l] > best[l] ? v[j + l] : best[l];
    float m = best[0];
    for (uint64_t l = 1; l < kLanes; ++l) m = best[l] > m ? best[l] : m;
    return m;
}

// First index of x in v[0 .. n), which holds it.
uint64_t first_index_of(const float *v, uint64_t n, float x) {
    uint64_t j = 0;
    for (; j + kLanes <= n; j += kLanes) {
        bool hit = false;
        for (uint64_t l = 0; l < kLanes; ++l) hit |= v[j + l] == x;
        if (hit) break;
    }
    while (j < n && !(v[j] == x)) ++j;
    return j < n ? j : 0;
}

// Peak of the magnitudes: the largest value scanning from index 0 with a strict comparison (the
// lowest index wins ties; NaN never wins, but a NaN at index 0 is never replaced).
uint64_t peak_index(const float *mag, uint64_t n) {
    if (std::isnan(mag[0])) return 0;
    return first_index_of(mag, n, lane_max(mag, n));
}

template <class D>
float noise_estimate(D *d) {
    const float *v = d->mag + d->noise_lo;
    const uint64_t m = d->noise_hi - d->noise_lo + 1;
    switch (d->noise_mode) {
        case DET_NOISE_MEAN: return lane_sum(v, m) / static_cast<float>(m);
        case DET_NOISE_MEDIAN: {
            // The element at position m/2 of the ascending order (the upper middle for even m).
            float *buf = d->noise_buf;
            std::memcpy(buf, v, m * sizeof(float));
            std::nth_element(buf, buf + m / 2, buf + m, total_less);
            return buf[m / 2];
        }
        case DET_NOISE_MIN: {
            float lo = v[0];
            for (uint64_t j = 1; j < m; ++j)
                if (v[j] < lo) lo = v[j];
            return lo;
        }
        case DET_NOISE_MAX: {
            float hi = v[0];
            for (uint64_t j = 1; j < m; ++j)
                if (v[j] > hi) hi = v[j];
            return hi;
        }
        default: return 0.0f;
    }
}

// Evaluates the dump in corr_out; true when it is a detection.
template <class D>
bool evaluate(D *d) {
    d->last_valid = 1;
    const uint64_t n = d->n;
    const ox_cf32 *c = d->corr_out;
    float *mag = d->mag;
    for (uint64_t j = 0; j < n; ++j) mag[j] = std::sqrt(c[j].re * c[j].re + c[j].im * c[j].im);
    const uint64_t peak = peak_index(mag, n);
    const float best = mag[peak];
    set_peak(d, peak);
    d->last_peak = best;
    const float noise = noise_estimate(d);  // 0 for an unknown mode code
    d->last_noise = noise;
    d->last_stat = noise > 0.0f ? best / noise : 0.0f;
    // 0 fires on every dump; otherwise strictly above (a NaN threshold never fires).
    return d->threshold == 0.0f || d->last_stat > d->threshold;
}

template <class D, class R>
size_t feed(D *d, const ox_cf32 *x, size_t n_in, R *results, size_t max_results,
            size_t *consumed) {
    if (consumed) *consumed = 0;
    if (!d) return 0;
    if (!x) n_in = 0;
    if (!results) max_results = 0;
    det_ring_t *r = d->ring;
    const uint64_t n = d->n, cap = d->ring_cap;
    size_t i = 0, s = 0;
    for (;;) {
        // Every complete queued frame goes to the correlator in place (the double mapping makes
        // it contiguous), until the result limit is reached.
        while (i < max_results && ring_fill(r) >= n) {
            const ox_cf32 *frame = r->base + (r->read_index & r->mask);
            const size_t got = run_frame(d, frame);
            r->read_index += n;
            if (got != 0 && evaluate(d)) write_result(d, &results[i++]);
        }
        if (s == n_in) break;
        // Queue what fits as one contiguous copy; after the result limit this only fills the
        // ring, and a full ring ends the call with the rest of the chunk unconsumed.
        const uint64_t k = std::min<uint64_t>(n_in - s, cap - ring_fill(r));
        if (k == 0) break;
        std::memcpy(r->base + (r->write_index & r->mask), x + s, k * sizeof(ox_cf32));
        r->write_index += k;
        s += k;
    }
    if (consumed) *consumed = s;
    return i;
}

template <class D>
void reset(D *d) {
    if (!d) return;
    d->ring->write_index = 0;
    d->ring->read_index = 0;
    reset_corr(d);
    d->last_valid = 0;
}

// noise_lo / noise_hi clamped into the frame and ordered.
template <class D>
void set_noise_range(D *d, uint64_t lo, uint64_t hi) {
    lo = std::min(lo, d->n - 1);
    hi = std::min(hi, d->n - 1);
    d->noise_lo = std::min(lo, hi);
    d->noise_hi = std::max(lo, hi);
}

// Ring, output buffers and parameters of a record whose n is set; false on failure.
template <class D>
bool build_common(D *d, uint64_t noise_lo, uint64_t noise_hi, int noise_mode, float threshold) {
    d->noise_mode = noise_mode;
    d->threshold = threshold;
    set_noise_range(d, noise_lo, noise_hi);
    d->ring = ring_create(d->ring_cap);
    d->corr_out = ox::corr::shared_alloc(d->n);
    d->mag = ox::corr::alloc_zeroed<float>(d->n);
    d->noise_buf = ox::corr::alloc_zeroed<float>(d->noise_hi - d->noise_lo + 1);
    return d->ring && d->corr_out && d->mag && d->noise_buf;
}

template <class D>
void release_common(D *d) {
    ring_destroy(d->ring);
    ox::corr::shared_release(d->corr_out);
    std::free(d->mag);
    std::free(d->noise_buf);
    std::free(d);
}

// Blob size: header, embedded correlator blob, fill, the ring, the peak position (`pos_bytes`),
// three floats and the valid flag; 0 when it would not fit the 32-bit length field.
size_t blob_bytes(uint64_t corr_bytes, uint64_t cap, uint64_t pos_bytes) {
    const uint64_t total = ox::kBlobHeaderBytes + corr_bytes + 8 + cap * sizeof(ox_cf32) +
                           pos_bytes + 3 * sizeof(float) + sizeof(int32_t);
    return total <= 0xFFFFFFFFull ? static_cast<size_t>(total) : 0;
}

// Writes fill and the queued samples (then zeros up to ring_cap).
void write_ring(ox::BlobWriter &w, const det_ring_t *r) {
    const uint64_t fill = ring_fill(r);
    w.put<uint64_t>(fill);
    w.bytes(r->base + (r->read_index & r->mask), fill * sizeof(ox_cf32));
    w.zeros((r->capacity - fill) * sizeof(ox_cf32));
}

// Re-queues `fill` samples from slot 0.
void restore_ring(det_ring_t *r, const uint8_t *samples, uint64_t fill) {
    std::memcpy(r->base, samples, fill * sizeof(ox_cf32));
    r->read_index = 0;
    r->write_index = fill;
}

struct LastFields {
    float peak, noise, stat;
    int32_t valid;
};

LastFields read_last(ox::BlobReader &rd) {
    LastFields f;
    f.peak = rd.get<float>();
    f.noise = rd.get<float>();
    f.stat = rd.get<float>();
    f.valid = rd.get<int32_t>();
    return f;
}

template <class D>
void write_last(ox::BlobWriter &w, const D *d) {
    w.put<float>(d->last_peak);
    w.put<float>(d->last_noise);
    w.put<float>(d->last_stat);
    w.put<int32_t>(d->last_valid);
}

template <class D>
void commit_last(D *d, const LastFields &f) {
    d->last_peak = f.peak;
    d->last_noise = f.noise;
    d->last_stat = f.stat;
    d->last_valid = f.valid;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// 1-D detector.
// ---------------------------------------------------------------------------------------------
OX_API detector_state_t *detector_create(const ox_cf32 *ref, uint64_t n, uint64_t dwell,
                                         uint64_t noise_lo, uint64_t noise_hi, int noise_mode,
                                         float threshold, int nthreads) {
    if (!ref || n == 0 || dwell == 0 || n > ox::corr::kMaxBlobSamples) return nullptr;
    const uint64_t cap = ring_capacity(n);
    if (cap == 0 || blob_bytes(ox::corr::integrator_blob_bytes(n), cap, 8) == 0) return nullptr;
    auto *d = static_cast<detector_state_t *>(std::calloc(1, sizeof(detector_state_t)));
    if (!d) return nullptr;
    d->n = n;
    d->ring_cap = cap;
    const bool ok = build_common(d, noise_lo, noise_hi, noise_mode, threshold) &&
                    (d->corr = corr_create(ref, n, dwell, nthreads, 0)) != nullptr;
    if (!ok) {
        detector_destroy(d);
        return nullptr;
    }
    return d;
}

OX_API void detector_destroy(detector_state_t *d) {
    if (!d) return;
    corr_destroy(d->corr);
    release_common(d);
}

OX_API void detector_reset(detector_state_t *d) { reset(d); }

OX_API void detector_set_ref(detector_state_t *d, const ox_cf32 *ref) {
    if (!d || !ref) return;
    reset(d);
    corr_set_ref(d->corr, ref);
}

OX_API void detector_set_threshold(detector_state_t *d, float threshold) {
    if (d) d->threshold = threshold;
}

OX_API size_t detector_push(detector_state_t *d, const ox_cf32 *x, size_t n_in,
                            det_result_t *results, size_t max_results) {
    return feed(d, x, n_in, results, max_results, nullptr);
}

OX_API size_t detector_feed(detector_state_t *d, const ox_cf32 *x, size_t n_in,
                            det_result_t *results, size_t max_results, size_t *consumed) {
    return feed(d, x, n_in, results, max_results, consumed);
}

OX_API size_t detector_state_bytes(const detector_state_t *d) {
    return d ? blob_bytes(corr_state_bytes(d->corr), d->ring_cap, 8) : 0;
}

OX_API void detector_get_state(const detector_state_t *d, void *buf) {
    if (!d || !buf) return;
    ox::blob_write_header(buf, kDet1Blob, static_cast<uint32_t>(detector_state_bytes(d)));
    ox::BlobWriter w(static_cast<uint8_t *>(buf) + ox::kBlobHeaderBytes);
    corr_get_state(d->corr, w.pos());
    w.skip(corr_state_bytes(d->corr));
    write_ring(w, d->ring);
    w.put<uint64_t>(d->last_lag);
    write_last(w, d);
}

OX_API int detector_set_state(detector_state_t *d, const void *buf) {
    if (!d || !buf) return OX_EINVAL;
    if (!ox::blob_header_ok(buf, kDet1Blob, static_cast<uint32_t>(detector_state_bytes(d))))
        return OX_EINVAL;
    ox::BlobReader rd(static_cast<const uint8_t *>(buf) + ox::kBlobHeaderBytes);
    const uint8_t *corr_blob = rd.pos();
    if (!ox::corr::corr_state_valid(d->corr, corr_blob)) return OX_EINVAL;
    rd.skip(corr_state_bytes(d->corr));
    const uint64_t fill = rd.get<uint64_t>();
    const uint8_t *samples = rd.pos();
    rd.skip(d->ring_cap * sizeof(ox_cf32));
    const uint64_t lag = rd.get<uint64_t>();
    const LastFields last = read_last(rd);
    if (fill > d->ring_cap || lag >= d->n || (last.valid != 0 && last.valid != 1)) return OX_EINVAL;
    ox::corr::corr_state_commit(d->corr, corr_blob);
    restore_ring(d->ring, samples, fill);
    d->last_lag = lag;
    commit_last(d, last);
    return OX_OK;
}

// ---------------------------------------------------------------------------------------------
// 2-D detector.
// ---------------------------------------------------------------------------------------------
OX_API detector2d_state_t *detector2d_create(const ox_cf32 *ref, uint64_t ny, uint64_t nx,
                                             uint64_t dwell, uint64_t noise_lo, uint64_t noise_hi,
                                             int noise_mode, float threshold, int nthreads) {
    uint64_t n;
    if (!ref || ny == 0 || nx == 0 || dwell == 0 || __builtin_mul_overflow(ny, nx, &n) ||
        n > ox::corr::kMaxBlobSamples)
        return nullptr;
    const uint64_t cap = ring_capacity(n);
    if (cap == 0 || blob_bytes(ox::corr::integrator_blob_bytes(n), cap, 16) == 0) return nullptr;
    auto *d = static_cast<detector2d_state_t *>(std::calloc(1, sizeof(detector2d_state_t)));
    if (!d) return nullptr;
    d->ny = ny;
    d->nx = nx;
    d->n = n;
    d->ring_cap = cap;
    const bool ok = build_common(d, noise_lo, noise_hi, noise_mode, threshold) &&
                    (d->corr = corr2d_create(ref, ny, nx, dwell, nthreads, 0, 0)) != nullptr;
    if (!ok) {
        detector2d_destroy(d);
        return nullptr;
    }
    return d;
}

OX_API void detector2d_destroy(detector2d_state_t *d) {
    if (!d) return;
    corr2d_destroy(d->corr);
    release_common(d);
}

OX_API void detector2d_reset(detector2d_state_t *d) { reset(d); }

// The reference is checked against the correlator's mode first, so a refused reference leaves
// the queued samples and the integration untouched.
OX_API int detector2d_set_ref(detector2d_state_t *d, const ox_cf32 *ref) {
    if (!d || !ref) return OX_EINVAL;
    const int rc = corr2d_set_ref(d->corr, ref);
    if (rc == OX_OK) reset(d);
    return rc;
}

OX_API void detector2d_set_threshold(detector2d_state_t *d, float threshold) {
    if (d) d->threshold = threshold;
}

OX_API size_t detector2d_push(detector2d_state_t *d, const ox_cf32 *x, size_t n_in,
                              det_result2d_t *results, size_t max_results) {
    return feed(d, x, n_in, results, max_results, nullptr);
}

OX_API size_t detector2d_feed(detector2d_state_t *d, const ox_cf32 *x, size_t n_in,
                              det_result2d_t *results, size_t max_results, size_t *consumed) {
    return feed(d, x, n_in, results, max_results, consumed);
}

OX_API size_t detector2d_state_bytes(const detector2d_state_t *d) {
    return d ? blob_bytes(corr2d_state_bytes(d->corr), d->ring_cap, 16) : 0;
}

OX_API void detector2d_get_state(const detector2d_state_t *d, void *buf) {
    if (!d || !buf) return;
    ox::blob_write_header(buf, kDet2Blob, static_cast<uint32_t>(detector2d_state_bytes(d)));
    ox::BlobWriter w(static_cast<uint8_t *>(buf) + ox::kBlobHeaderBytes);
    corr2d_get_state(d->corr, w.pos());
    w.skip(corr2d_state_bytes(d->corr));
    write_ring(w, d->ring);
    w.put<uint64_t>(d->last_row);
    w.put<uint64_t>(d->last_col);
    write_last(w, d);
}

OX_API int detector2d_set_state(detector2d_state_t *d, const void *buf) {
    if (!d || !buf) return OX_EINVAL;
    if (!ox::blob_header_ok(buf, kDet2Blob, static_cast<uint32_t>(detector2d_state_bytes(d))))
        return OX_EINVAL;
    ox::BlobReader rd(static_cast<const uint8_t *>(buf) + ox::kBlobHeaderBytes);
    const uint8_t *corr_blob = rd.pos();
    if (!ox::corr::corr2d_state_valid(d->corr, corr_blob)) return OX_EINVAL;
    rd.skip(corr2d_state_bytes(d->corr));
    const uint64_t fill = rd.get<uint64_t>();
    const uint8_t *samples = rd.pos();
    rd.skip(d->ring_cap * sizeof(ox_cf32));
    const uint64_t row = rd.get<uint64_t>();
    const uint64_t col = rd.get<uint64_t>();
    const LastFields last = read_last(rd);
    if (fill > d->ring_cap || row >= d->ny || col >= d->nx || (last.valid != 0 && last.valid != 1))
        return OX_EINVAL;
    ox::corr::corr2d_state_commit(d->corr, corr_blob);
    restore_ring(d->ring, samples, fill);
    d->last_row = row;
    d->last_col = col;
    commit_last(d, last);
    return OX_OK;
}
