#include "timing/farrow_core.h"

#include <cstdlib>

namespace {

constexpr ox::BlobKind kFarrowBlob{"FRRW", 1};
constexpr uint32_t kFarrowStateBytes = 16 + sizeof(farrow);
static_assert(kFarrowStateBytes == 52);

// One output per input at the fixed fraction mu. The history slides through four locals (each
// input is read once before its output is stored, so `out` may be `in`) and is written back
// once per call.
template <int Kernel>
size_t delay(farrow *f, const ox_cf32 *in, size_t n, ox_cf32 *out, float mu) {
    ox_cf32 w[4] = {f->h[0], f->h[1], f->h[2], f->h[3]};
    for (size_t i = 0; i < n; ++i) {
        w[0] = w[1];
        w[1] = w[2];
        w[2] = w[3];
        w[3] = in[i];
        out[i] = ox::farrow_interp<Kernel>(w, mu);
    }
    std::memcpy(f->h, w, sizeof(w));
    return n;
}

}  // namespace

farrow *farrow_create(int order) {
    auto *f = static_cast<farrow *>(std::calloc(1, sizeof(farrow)));
    if (f) farrow_init(f, order);
    return f;
}

void farrow_init(farrow *f, int order) {
    f->order = order;
    farrow_reset(f);
}

void farrow_destroy(farrow *f) { std::free(f); }

void farrow_reset(farrow *f) {
    for (ox_cf32 &h : f->h) h = {0.0f, 0.0f};
}

size_t farrow_delay(farrow *f, const ox_cf32 *in, size_t n_in, ox_cf32 *out, size_t out_cap,
                    double mu) {
    const size_t n = n_in < out_cap ? n_in : out_cap;
    if (!f || !in || !out || n == 0) return 0;
    const float m = static_cast<float>(mu);
    switch (ox::farrow_kernel(f->order)) {
        case ox::kFarrowLinear: return delay<ox::kFarrowLinear>(f, in, n, out, m);
        case ox::kFarrowParabolic: return delay<ox::kFarrowParabolic>(f, in, n, out, m);
        default: return delay<ox::kFarrowCubic>(f, in, n, out, m);
    }
}

size_t farrow_delay_max_out(const farrow *) { return 0; }
int farrow_get_group_delay(void) { return 2; }
size_t farrow_state_bytes(const farrow *) { return kFarrowStateBytes; }

void farrow_get_state(const farrow *f, void *buf) {
    ox::blob_get_image(buf, kFarrowBlob, kFarrowStateBytes, f, sizeof(farrow));
}

// Every history value and every order is valid (an order other than 0 or 1 is cubic).
int farrow_set_state(farrow *f, const void *buf) {
    return ox::blob_set_image(buf, kFarrowBlob, kFarrowStateBytes, f, sizeof(farrow));
}
