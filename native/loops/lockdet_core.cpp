#include "loops/lockdet_core.h"

#include <cstdlib>

namespace {
constexpr ox::BlobKind kLockdetBlob{"LKDT", 1};
constexpr uint32_t kLockdetStateBytes = 16 + sizeof(lockdet);
}  // namespace

void lockdet_init(lockdet *ld, uint32_t n_up, uint32_t n_down, double up_thresh, double down_thresh) {
    ld->up_thresh = up_thresh;
    ld->down_thresh = down_thresh;
    ld->n_up = n_up ? n_up : 1;
    ld->n_down = n_down ? n_down : 1;
}

lockdet *lockdet_create(uint32_t n_up, uint32_t n_down, double up_thresh, double down_thresh) {
    auto *ld = static_cast<lockdet *>(std::calloc(1, sizeof(lockdet)));
    if (ld) lockdet_init(ld, n_up, n_down, up_thresh, down_thresh);
    return ld;
}

void lockdet_destroy(lockdet *ld) { std::free(ld); }

void lockdet_configure(lockdet *ld, uint32_t n_up, uint32_t n_down, double up_thresh,
                       double down_thresh) {
    lockdet_init(ld, n_up, n_down, up_thresh, down_thresh);
    ld->count = 0;
}

void lockdet_reset(lockdet *ld) {
    ld->count = 0;
    ld->locked = 0;
}

size_t lockdet_state_bytes(const lockdet *) { return kLockdetStateBytes; }

void lockdet_get_state(const lockdet *ld, void *buf) {
    ox::blob_get_image(buf, kLockdetBlob, kLockdetStateBytes, ld, sizeof(lockdet));
}

int lockdet_set_state(lockdet *ld, const void *buf) {
    lockdet tmp;
    if (!ox::blob_peek_image(buf, kLockdetBlob, kLockdetStateBytes, &tmp)) return OX_EINVAL;
    if (!ox::lockdet_image_ok(tmp)) return OX_EINVAL;
    *ld = tmp;
    return OX_OK;
}

size_t lockdet_steps(lockdet *ld, const double *stat, int32_t *out, size_t n) {
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<int32_t>(ox::lockdet_update(ld, stat[i]));
    return n;
}
