#include "timing/boxcar_core.h"

#include <cstdlib>

namespace {
constexpr ox::BlobKind kBoxcarBlob{"BOXC", 1};
constexpr uint32_t kBoxcarStateBytes = 16 + sizeof(boxcar);  // 576
}  // namespace

boxcar *boxcar_create(uint64_t n, double gain) {
    if (n < 1 || n > BOXCAR_MAX_LEN) return nullptr;
    auto *b = static_cast<boxcar *>(std::calloc(1, sizeof(boxcar)));
    if (b) boxcar_init(b, n, gain);
    return b;
}

void boxcar_init(boxcar *b, uint64_t n, double gain) {
    if (n < 1) n = 1;
    if (n > BOXCAR_MAX_LEN) n = BOXCAR_MAX_LEN;
    b->n = n;
    b->inv_n = 1.0 / static_cast<double>(n);
    b->gain = gain;
    b->scale = static_cast<float>(gain / static_cast<double>(n));
    b->reserved = 0;
    boxcar_reset(b);
}

void boxcar_reset(boxcar *b) {
    b->index = 0;
    b->sum = {0.0f, 0.0f};
    std::memset(b->ring, 0, sizeof(b->ring));
}

void boxcar_destroy(boxcar *b) { std::free(b); }

void boxcar_steps(boxcar *b, const ox_cf32 *in, ox_cf32 *out, size_t n_samples) {
    for (size_t k = 0; k < n_samples; ++k) out[k] = ox::boxcar_update(b, in[k]);
}

size_t boxcar_state_bytes(const boxcar *) { return kBoxcarStateBytes; }

void boxcar_get_state(const boxcar *b, void *buf) {
    ox::blob_get_image(buf, kBoxcarBlob, kBoxcarStateBytes, b, sizeof(boxcar));
}

// The window length and gain are restored with the history; a length outside 1..64 or a ring
// position at or beyond the length would index past the ring and is refused.
int boxcar_set_state(boxcar *b, const void *buf) {
    boxcar tmp;
    if (!ox::blob_peek_image(buf, kBoxcarBlob, kBoxcarStateBytes, &tmp)) return OX_EINVAL;
    if (!ox::boxcar_image_ok(tmp)) return OX_EINVAL;
    tmp.reserved = 0;
    *b = tmp;
    return OX_OK;
}
