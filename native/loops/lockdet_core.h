// Two-threshold, two-count hysteresis lock detector embedded in the tracking loops.
#pragma once

#include "common/ox_common.h"

struct lockdet {
    double up_thresh;    // events count toward lock only when the statistic is strictly above
    double down_thresh;  // events count toward loss only when the statistic is strictly below
    uint32_t n_up;       // consecutive qualifying events to declare lock (>= 1)
    uint32_t n_down;     // consecutive qualifying events to drop lock (>= 1)
    uint32_t count;      // current run of qualifying events
    uint32_t locked;     // 0 or 1
};
static_assert(sizeof(lockdet) == 32 && offsetof(lockdet, count) == 24);

OX_API void lockdet_init(lockdet *ld, uint32_t n_up, uint32_t n_down, double up_thresh,
                         double down_thresh);
OX_API lockdet *lockdet_create(uint32_t n_up, uint32_t n_down, double up_thresh, double down_thresh);
OX_API void lockdet_destroy(lockdet *ld);
OX_API void lockdet_configure(lockdet *ld, uint32_t n_up, uint32_t n_down, double up_thresh,
                              double down_thresh);
OX_API void lockdet_reset(lockdet *ld);
OX_API size_t lockdet_state_bytes(const lockdet *ld);
OX_API void lockdet_get_state(const lockdet *ld, void *buf);
OX_API int lockdet_set_state(lockdet *ld, const void *buf);
OX_API size_t lockdet_steps(lockdet *ld, const double *stat, int32_t *out, size_t n);

namespace ox {
// Checks that a lock-detector image restored from a blob keeps the invariants the detector
// itself maintains: both run lengths at least 1 (a count of 0 would make the run test
// meaningless) and a decision of 0 or 1. The embedding loops validate their copy with it too.
inline bool lockdet_image_ok(const lockdet &ld) {
    return ld.n_up != 0 && ld.n_down != 0 && ld.locked <= 1;
}

// One decision event; returns the decision after the event. NaN never qualifies for lock and
// always qualifies for loss (it is treated as minus infinity).
inline uint32_t lockdet_update(lockdet *ld, double s) {
    if (!ld->locked) {
        if (s > ld->up_thresh) {
            if (++ld->count >= ld->n_up) {
                ld->locked = 1;
                ld->count = 0;
            }
        } else {
            ld->count = 0;
        }
    } else {
        if (!(s >= ld->down_thresh)) {  // s < down_thresh, or NaN
            if (++ld->count >= ld->n_down) {
                ld->locked = 0;
                ld->count = 0;
            }
        } else {
            ld->count = 0;
        }
    }
    return ld->locked;
}
}  // namespace ox
