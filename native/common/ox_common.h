// Shared definitions of every core component: status codes, the export macro, sample types,
// the state-blob header and little-endian field helpers, and a few constants.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <type_traits>

#define OX_API extern "C" __attribute__((visibility("default")))

// Status codes returned by core functions that can fail and do not return a pointer.
enum : int {
    OX_OK = 0,
    OX_EINVAL = -4,
};

// Interleaved complex samples as they cross the C ABI (NumPy complex64 / complex128 layout).
struct ox_cf32 {
    float re;
    float im;
};
struct ox_cf64 {
    double re;
    double im;
};
static_assert(sizeof(ox_cf32) == 8 && sizeof(ox_cf64) == 16);

static_assert(std::endian::native == std::endian::little,
              "state blobs and telemetry records are little-endian memory images");

namespace ox {

constexpr double kTwoPi = 6.283185307179586;

// ---------------------------------------------------------------------------------------------
// State blobs: a 16-byte header followed by the component payload.
//   0  magic[4]   four ASCII characters in reading order
//   4  u16        payload layout version
//   6  u16        header flag: byte 6 = 1, byte 7 = 0 (byte 7 is never examined)
//   8  u32        total length including the header
//  12  u32        reserved, 0 (never examined)
// ---------------------------------------------------------------------------------------------
constexpr size_t kBlobHeaderBytes = 16;

struct BlobKind {
    char magic[5];  // four characters plus the terminator of the literal
    uint16_t version;
};

inline void blob_write_header(void *buf, const BlobKind &kind, uint32_t total) {
    auto *b = static_cast<uint8_t *>(buf);
    std::memcpy(b, kind.magic, 4);
    std::memcpy(b + 4, &kind.version, 2);
    const uint16_t flag = 1;
    std::memcpy(b + 6, &flag, 2);
    std::memcpy(b + 8, &total, 4);
    std::memset(b + 12, 0, 4);
}

// Checks magic, version, flag byte 6 and the total-length field, in that order.
inline bool blob_header_ok(const void *buf, const BlobKind &kind, uint32_t total) {
    if (total < kBlobHeaderBytes) return false;
    const auto *b = static_cast<const uint8_t *>(buf);
    if (std::memcmp(b, kind.magic, 4) != 0) return false;
    uint16_t version;
    std::memcpy(&version, b + 4, 2);
    if (version != kind.version) return false;
    if (b[6] != 1) return false;
    uint32_t len;
    std::memcpy(&len, b + 8, 4);
    return len == total;
}

// Sequential little-endian writer over a blob payload.
class BlobWriter {
public:
    explicit BlobWriter(void *p) : p_(static_cast<uint8_t *>(p)) {}
    template <class T>
    void put(T v) {
        static_assert(std::is_trivially_copyable_v<T>);
        std::memcpy(p_, &v, sizeof(T));
        p_ += sizeof(T);
    }
    void bytes(const void *src, size_t n) {
        std::memcpy(p_, src, n);
        p_ += n;
    }
    void zeros(size_t n) {
        std::memset(p_, 0, n);
        p_ += n;
    }
    uint8_t *pos() const { return p_; }
    void skip(size_t n) { p_ += n; }

private:
    uint8_t *p_;
};

// Sequential little-endian reader over a blob payload.
class BlobReader {
public:
    explicit BlobReader(const void *p) : p_(static_cast<const uint8_t *>(p)) {}
    template <class T>
    T get() {
        static_assert(std::is_trivially_copyable_v<T>);
        T v;
        std::memcpy(&v, p_, sizeof(T));
        p_ += sizeof(T);
        return v;
    }
    void bytes(void *dst, size_t n) {
        std::memcpy(dst, p_, n);
        p_ += n;
    }
    const uint8_t *pos() const { return p_; }
    void skip(size_t n) { p_ += n; }

private:
    const uint8_t *p_;
};

// The common case of a blob whose payload is the memory image of the first `image_bytes` bytes
// of a record, followed by `zero_tail` zero bytes (telemetry fields that are never restored).
inline void blob_get_image(void *buf, const BlobKind &kind, uint32_t total, const void *rec,
                           size_t image_bytes) {
    blob_write_header(buf, kind, total);
    auto *b = static_cast<uint8_t *>(buf) + kBlobHeaderBytes;
    std::memcpy(b, rec, image_bytes);
    std::memset(b + image_bytes, 0, total - kBlobHeaderBytes - image_bytes);
}

// Restores the image only when the header is valid; returns OX_OK or OX_EINVAL.
inline int blob_set_image(const void *buf, const BlobKind &kind, uint32_t total, void *rec,
                          size_t image_bytes) {
    if (!buf || !blob_header_ok(buf, kind, total)) return OX_EINVAL;
    std::memcpy(rec, static_cast<const uint8_t *>(buf) + kBlobHeaderBytes, image_bytes);
    return OX_OK;
}

// Reads a record image from a blob payload into a scratch copy so the caller can validate it
// before committing (untrusted blobs must never leave a half-restored object).
template <class Rec>
inline bool blob_peek_image(const void *buf, const BlobKind &kind, uint32_t total, Rec *out,
                            size_t image_bytes = sizeof(Rec)) {
    static_assert(std::is_trivially_copyable_v<Rec>);
    if (!buf || !blob_header_ok(buf, kind, total)) return false;
    std::memcpy(static_cast<void *>(out), static_cast<const uint8_t *>(buf) + kBlobHeaderBytes,
                image_bytes);
    return true;
}

}  // namespace ox

namespace ox {

// Quantises a frequency in cycles per sample to a 32-bit phase increment (2^32 per cycle).
// The frequency wraps into [0, 1): negative frequencies map to 1 + f. NaN and infinities give 0;
// a tiny negative f whose fraction rounds up to exactly 1.0 gives 0xFFFFFFFF.
// Computed as t = 2^32 * (f - floor(f)) with 0 for t not above 0 and 0xFFFFFFFF for a fraction
// of exactly 1. Inside (-1, 1), where loop frequencies and phase steps live, floor(f) is -1 for
// f < 0 and 0 otherwise, and 2^32 * f + 2^32 rounds exactly like 2^32 * (f + 1) (scaling by a
// power of two is exact and f + 1 is never subnormal), so the wrap is one add beside the
// multiply instead of a floor (a long instruction sequence without SSE4.1). Same result bits.
inline uint32_t freq_to_phase_inc(double f) {
    double t;
    if (__builtin_fabs(f) < 1.0) [[likely]] {
        t = 4294967296.0 * f + (f < 0.0 ? 4294967296.0 : 0.0);
    } else {
        t = 4294967296.0 * (f - __builtin_floor(f));
    }
    if (!(t > 0.0)) return 0;
    if (t >= 4294967296.0) return 0xFFFFFFFFu;  // the fraction rounded up to exactly 1
    return static_cast<uint32_t>(t);
}

// True when every value is finite: state-blob checks of running values a loop never lets
// become NaN or infinite.
inline bool all_finite(std::initializer_list<double> values) {
    for (double v : values)
        if (!(v - v == 0.0)) return false;
    return true;
}

}  // namespace ox
