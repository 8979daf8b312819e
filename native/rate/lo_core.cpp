#include "rate/lo_core.h"

#include <cmath>
#include <cstdlib>
#include <new>

alignas(64) float lo_sin_lut[LO_LUT_SIZE];

namespace {
constexpr ox::BlobKind kLoBlob{"LO__", 1};
constexpr uint32_t kLoStateBytes = 20;
int lut_ready = 0;
}  // namespace

void ox::lo_build_table() {
    if (__atomic_load_n(&lut_ready, __ATOMIC_ACQUIRE)) return;
    float c;
    const uint32_t cbits = 0x38C90FDBu;  // float nearest 2*pi/65536
    std::memcpy(&c, &cbits, 4);
    lo_sin_lut[0] = 0.0f;
    for (uint32_t i = 1; i < LO_LUT_SIZE; ++i) lo_sin_lut[i] = sinf(static_cast<float>(i) * c);
    __atomic_store_n(&lut_ready, 1, __ATOMIC_RELEASE);
}

void lo_init(lo *osc, double norm_freq) {
    ox::lo_build_table();
    osc->phase = 0;
    osc->phase_inc = ox::freq_to_phase_inc(norm_freq);
    osc->norm_freq = norm_freq;
}

lo *lo_create(double norm_freq) {
    auto *osc = static_cast<lo *>(std::calloc(1, sizeof(lo)));
    if (osc) lo_init(osc, norm_freq);
    return osc;
}

void lo_destroy(lo *osc) { std::free(osc); }
void lo_reset(lo *osc) { osc->phase = 0; }
double lo_get_norm_freq(const lo *osc) { return osc->norm_freq; }

void lo_set_norm_freq(lo *osc, double norm_freq) { ox::lo_retune(osc, norm_freq); }

uint32_t lo_get_phase(const lo *osc) { return osc->phase; }
void lo_set_phase(lo *osc, uint32_t phase) { osc->phase = phase; }
uint32_t lo_get_phase_inc(const lo *osc) { return osc->phase_inc; }
size_t lo_state_bytes(const lo *) { return kLoStateBytes; }

void lo_get_state(const lo *osc, void *buf) {
    ox::blob_write_header(buf, kLoBlob, kLoStateBytes);
    ox::BlobWriter(static_cast<uint8_t *>(buf) + ox::kBlobHeaderBytes).put<uint32_t>(osc->phase);
}

int lo_set_state(lo *osc, const void *buf) {
    if (!buf || !ox::blob_header_ok(buf, kLoBlob, kLoStateBytes)) return OX_EINVAL;
    osc->phase = ox::BlobReader(static_cast<const uint8_t *>(buf) + ox::kBlobHeaderBytes).get<uint32_t>();
    return OX_OK;
}

size_t lo_steps_max_out(const lo *) { return 65536; }
size_t lo_steps_ctrl_max_out(const lo *) { return 65536; }

size_t lo_steps(lo *osc, size_t n, ox_cf32 *out, size_t out_len) {
    const size_t m = n < out_len ? n : out_len;
    uint32_t ph = osc->phase;
    const uint32_t inc = osc->phase_inc;
    for (size_t k = 0; k < m; ++k) {
        out[k] = ox_cf32{ox::lut_cos(ph), ox::lut_sin(ph)};
        ph += inc;
    }
    osc->phase = ph;
    return m;
}

size_t lo_steps_ctrl(lo *osc, const double *ctrl, size_t n, ox_cf32 *out, size_t out_len) {
    const size_t m = n < out_len ? n : out_len;
    uint32_t ph = osc->phase;
    const uint32_t inc = osc->phase_inc;
    for (size_t k = 0; k < m; ++k) {
        out[k] = ox_cf32{ox::lut_cos(ph), ox::lut_sin(ph)};
        ph += inc + ox::freq_to_phase_inc(ctrl[k]);
    }
    osc->phase = ph;
    return m;
}
