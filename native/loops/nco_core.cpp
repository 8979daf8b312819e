#include "loops/nco_core.h"

#include <cstdlib>

namespace {

constexpr ox::BlobKind kNcoBlob{"NCO_", 1};
constexpr uint32_t kNcoStateBytes = 20;  // header + phase
constexpr size_t kNcoMaxOut = 65536;

// How a generator reports wraps.
enum class Wrap {
    kNone,
    kCarry,      // 1 when the unsigned addition carried, whatever the sign of the frequency
    kDirection,  // 1 when the phase crossed zero in the direction of the instantaneous frequency
};

// The phase word mapped onto 0..scale-1 (scale != 0).
inline uint32_t scaled(uint32_t phase, uint32_t scale) {
    return static_cast<uint32_t>((static_cast<uint64_t>(phase) * scale) >> 32);
}

// One body for all six generators. kScaled maps the output word onto 0..scale-1 (the caller
// passes kScaled only when scale != 0; a zero scale emits the raw phase), kCtrl adds a quantised
// per-sample frequency offset, kWrap selects the wrap flag.
template <bool kScaled, bool kCtrl, Wrap kWrap>
size_t generate(nco *n, const double *ctrl, size_t count, uint32_t *out, uint8_t *ovf, size_t cap) {
    const size_t k = count < cap ? count : cap;
    const uint32_t inc = n->phase_inc;
    const uint32_t scale = n->scale;
    const double f0 = n->norm_freq;
    uint32_t phase = n->phase;
    for (size_t i = 0; i < k; ++i) {
        const uint32_t old = phase;
        if constexpr (kScaled) {
            out[i] = scaled(old, scale);
        } else {
            out[i] = old;
        }
        if constexpr (kCtrl) {
            phase = old + inc + ox::freq_to_phase_inc(ctrl[i]);
        } else {
            phase = old + inc;
        }
        if constexpr (kWrap == Wrap::kCarry) {
            ovf[i] = static_cast<uint8_t>(phase < old);
        } else if constexpr (kWrap == Wrap::kDirection) {
            const double x = ctrl[i] + f0;  // instantaneous frequency; NaN flags nothing
            const bool up = (x > 0.0) & ((phase < old) | (x >= 1.0));
            const bool down = (x < 0.0) & ((phase > old) | (x <= -1.0));
            ovf[i] = static_cast<uint8_t>(up | down);
        }
    }
    n->phase = phase;
    return k;
}

}  // namespace

nco *nco_create(uint32_t scale, double norm_freq) {
    auto *n = static_cast<nco *>(std::calloc(1, sizeof(nco)));
    if (!n) return nullptr;
    n->phase = 0;
    n->phase_inc = ox::freq_to_phase_inc(norm_freq);
    n->norm_freq = norm_freq;
    n->scale = scale;
    return n;
}

void nco_destroy(nco *n) { std::free(n); }
void nco_reset(nco *n) { n->phase = 0; }
double nco_get_norm_freq(const nco *n) { return n->norm_freq; }

void nco_set_norm_freq(nco *n, double norm_freq) {
    n->phase_inc = ox::freq_to_phase_inc(norm_freq);
    n->norm_freq = norm_freq;
}

uint32_t nco_get_phase(const nco *n) { return n->phase; }
void nco_set_phase(nco *n, uint32_t phase) { n->phase = phase; }
uint32_t nco_get_phase_inc(const nco *n) { return n->phase_inc; }
size_t nco_state_bytes(const nco *) { return kNcoStateBytes; }

void nco_get_state(const nco *n, void *buf) {
    ox::blob_write_header(buf, kNcoBlob, kNcoStateBytes);
    ox::BlobWriter(static_cast<uint8_t *>(buf) + ox::kBlobHeaderBytes).put<uint32_t>(n->phase);
}

int nco_set_state(nco *n, const void *buf) {
    if (!buf || !ox::blob_header_ok(buf, kNcoBlob, kNcoStateBytes)) return OX_EINVAL;
    n->phase = ox::BlobReader(static_cast<const uint8_t *>(buf) + ox::kBlobHeaderBytes).get<uint32_t>();
    return OX_OK;
}

size_t nco_steps_u32(nco *n, size_t count, uint32_t *out, size_t cap) {
    return generate<false, false, Wrap::kNone>(n, nullptr, count, out, nullptr, cap);
}

size_t nco_steps_u32_scaled(nco *n, size_t count, uint32_t *out, size_t cap) {
    if (n->scale == 0) return nco_steps_u32(n, count, out, cap);
    return generate<true, false, Wrap::kNone>(n, nullptr, count, out, nullptr, cap);
}

size_t nco_steps_u32_ovf(nco *n, size_t count, uint32_t *out, uint8_t *ovf, size_t cap) {
    return generate<false, false, Wrap::kCarry>(n, nullptr, count, out, ovf, cap);
}

size_t nco_steps_u32_ctrl(nco *n, const double *ctrl, size_t count, uint32_t *out, size_t cap) {
    return generate<false, true, Wrap::kNone>(n, ctrl, count, out, nullptr, cap);
}

size_t nco_steps_u32_scaled_ctrl(nco *n, const double *ctrl, size_t count, uint32_t *out,
                                 size_t cap) {
    if (n->scale == 0) return nco_steps_u32_ctrl(n, ctrl, count, out, cap);
    return generate<true, true, Wrap::kNone>(n, ctrl, count, out, nullptr, cap);
}

size_t nco_steps_u32_ovf_ctrl(nco *n, const double *ctrl, size_t count, uint32_t *out,
                              uint8_t *ovf, size_t cap) {
    return generate<false, true, Wrap::kDirection>(n, ctrl, count, out, ovf, cap);
}

size_t nco_steps_u32_max_out(const nco *) { return kNcoMaxOut; }
size_t nco_steps_u32_scaled_max_out(const nco *) { return kNcoMaxOut; }
size_t nco_steps_u32_ovf_max_out(const nco *) { return kNcoMaxOut; }
size_t nco_steps_u32_ctrl_max_out(const nco *) { return kNcoMaxOut; }
size_t nco_steps_u32_scaled_ctrl_max_out(const nco *) { return kNcoMaxOut; }
size_t nco_steps_u32_ovf_ctrl_max_out(const nco *) { return kNcoMaxOut; }
