// Non-data-aided M-th-power carrier loop: a sample-rate loop that de-rotates every input with
// an integer-phase NCO, averages it over a boxcar arm, raises the normalised arm output to the
// power that strips M-PSK modulation and steers the NCO through a second-order loop filter
// whose output is in cycles per sample. Needs neither symbol timing nor decisions.
#pragma once

#include "common/ox_common.h"
#include "loops/lockdet_core.h"
#include "loops/loop_filter_core.h"
#include "ox_tlm/ox_tlm_core.h"
#include "rate/lo_core.h"
#include "timing/boxcar_core.h"

constexpr int CARRIER_NDA_PROBES = 4;

struct carrier_nda {
    lo osc;                 // carrier NCO at the seed frequency (its norm_freq never changes)
    loop_filter lf;         // t = 1, kp and ki scaled by 1/(2 pi); integ: cycles per sample
    uint64_t sps;           // samples per symbol, >= 1
    int32_t m;              // modulation order: 2, 4 or 8
    int32_t n;              // arm sections per symbol, >= 1
    uint64_t arm_len;       // moving-average length: sps / n (1 when sps < n)
    double init_norm_freq;  // seed frequency, cycles per sample
    double bn;              // loop noise bandwidth (normalised to the sample rate)
    double zeta;            // damping
    boxcar arm;             // complex moving average of the de-rotated samples
    double lock;            // EMA of the lock signal
    double last_error;      // last discriminator output
    double ctrl;            // frequency correction applied to the next phase step, cycles/sample
    lockdet ld;             // lock decision on `lock`
    ox_tlm *tlm;            // attached telemetry context (never part of a restore)
    int32_t tlm_ids[CARRIER_NDA_PROBES];
};
static_assert(offsetof(carrier_nda, lf) == 16 && offsetof(carrier_nda, sps) == 64 &&
              offsetof(carrier_nda, m) == 72 && offsetof(carrier_nda, n) == 76 &&
              offsetof(carrier_nda, arm_len) == 80 && offsetof(carrier_nda, init_norm_freq) == 88 &&
              offsetof(carrier_nda, bn) == 96 && offsetof(carrier_nda, zeta) == 104 &&
              offsetof(carrier_nda, arm) == 112 && offsetof(carrier_nda, lock) == 672 &&
              offsetof(carrier_nda, last_error) == 680 && offsetof(carrier_nda, ctrl) == 688 &&
              offsetof(carrier_nda, ld) == 696 && offsetof(carrier_nda, tlm) == 728 &&
              offsetof(carrier_nda, tlm_ids) == 736 && sizeof(carrier_nda) == 752,
              "the record up to the lock detector is the payload image of the state blob");

OX_API carrier_nda *carrier_nda_create(uint64_t sps, int n, int m, double bn, double zeta,
                                       double init_norm_freq);
OX_API void carrier_nda_init(carrier_nda *p, uint64_t sps, int n, int m, double bn, double zeta,
                             double init_norm_freq);
OX_API void carrier_nda_destroy(carrier_nda *p);
OX_API void carrier_nda_reset(carrier_nda *p);
OX_API double carrier_nda_get_norm_freq(const carrier_nda *p);
OX_API double carrier_nda_get_nco_freq(const carrier_nda *p);
OX_API void carrier_nda_set_norm_freq(carrier_nda *p, double f);
OX_API double carrier_nda_get_bn(const carrier_nda *p);
OX_API void carrier_nda_set_bn(carrier_nda *p, double bn);
OX_API double carrier_nda_get_lock(const carrier_nda *p);
OX_API double carrier_nda_get_last_error(const carrier_nda *p);
OX_API int carrier_nda_get_locked(const carrier_nda *p);
OX_API int carrier_nda_get_m(const carrier_nda *p);
OX_API int carrier_nda_get_n(const carrier_nda *p);
OX_API uint64_t carrier_nda_get_sps(const carrier_nda *p);
OX_API void carrier_nda_configure_lock(carrier_nda *p, uint32_t n_up, uint32_t n_down,
                                       double up_thresh, double down_thresh);
OX_API size_t carrier_nda_state_bytes(const carrier_nda *p);
OX_API void carrier_nda_get_state(const carrier_nda *p, void *buf);
OX_API int carrier_nda_set_state(carrier_nda *p, const void *buf);
OX_API size_t carrier_nda_steps(carrier_nda *p, const ox_cf32 *x, size_t n_in, ox_cf32 *out,
                                size_t cap);
OX_API size_t carrier_nda_steps_max_out(const carrier_nda *p);
OX_API int carrier_nda_set_telemetry(carrier_nda *p, ox_tlm *tlm, const char *prefix, int decim);
OX_API void carrier_nda_tlm_flush(carrier_nda *p);
