// Receiver loop core: the loop state an M-PSK receiver runs on the output of its matched
// down-converter. A rate-synchroniser loop steers the terminal resampler's timing; a symbol-rate
// M-th-power carrier loop steers the down-converter's oscillator through a per-sample frequency
// control; a lock EMA with a hysteresis detector stamps the first lock; a demapper turns symbols
// into Gray-coded bits, absolutely or differentially.
#pragma once

#include "carrier/mpsk_slicer.h"
#include "carrier/mth_power.h"
#include "common/ox_common.h"
#include "loops/lockdet_core.h"
#include "loops/loop_filter_core.h"
#include "ox_tlm/ox_tlm_core.h"
#include "timing/ratesync_core.h"

constexpr int MPSK_RX_N_PROBES = 7;

struct mpsk_rx_loops {
    ratesync_loop timing;  // symbol timing (Gardner detector, loop, sync lock detector)
    loop_filter car_lf;    // t = 1; integ: carrier frequency, radians per symbol
    double freq_ctrl;      // oscillator control, cycles per sample: minus the carrier correction
    double freq_scale;     // 1 / (2 pi loop_sps): radians per symbol to cycles per sample
    double car_error;      // last carrier discriminator output
    double car_lock;       // carrier lock EMA
    lockdet car_ld;        // carrier lock decision on car_lock
    int32_t m;             // constellation order 2, 4 or 8
    uint32_t pad0;
    double sps;            // input samples per symbol of the receiver
    double loop_sps;       // samples per symbol where the oscillator runs
    uint64_t m_out;        // samples per symbol at the terminal stage
    double bn_carrier;     // carrier loop bandwidth, normalised to the symbol rate
    double bn_agc_ratio;   // AGC bandwidth as a fraction of the slowest loop
    double zeta;           // damping of both loops
    uint64_t n_sym;        // symbols since the last reset
    int64_t lock_time;     // n_sym at the first locked symbol since the last reset, -1 before
    uint32_t differential; // 1: differential demapping
    uint32_t have_prev;    // the differential demapper has a previous symbol
    uint32_t prev_idx;     // previous symbol index (differential)
    ox_cf32 rot;           // output rotation: 45 degrees for QPSK, none otherwise
    ox_tlm *tlm;           // attached telemetry context (never part of a blob)
    int32_t probe_ids[MPSK_RX_N_PROBES];
};
static_assert(offsetof(mpsk_rx_loops, car_lf) == sizeof(ratesync_loop) &&
              offsetof(mpsk_rx_loops, car_ld) == 400 && offsetof(mpsk_rx_loops, m) == 432 &&
              offsetof(mpsk_rx_loops, n_sym) == 488 && offsetof(mpsk_rx_loops, rot) == 516 &&
              offsetof(mpsk_rx_loops, tlm) == 528 && sizeof(mpsk_rx_loops) == 568,
              "the loop-core record is part of the C ABI (embedded by the receivers)");

OX_API void mpsk_rx_loops_init(mpsk_rx_loops *l, int m, uint64_t m_out, int ted, int differential,
                               double sps, double loop_sps, double bn_carrier, double zeta,
                               double bn_timing, double bn_agc_ratio, double lock_thresh);
OX_API void mpsk_rx_config_carrier(mpsk_rx_loops *l);
OX_API void mpsk_rx_loops_reset(mpsk_rx_loops *l);
OX_API double mpsk_rx_freq_est(const mpsk_rx_loops *l);
OX_API void mpsk_rx_set_freq_est(mpsk_rx_loops *l, double f);
OX_API int mpsk_rx_symbol_to_bits(mpsk_rx_loops *l, uint8_t *bits, ox_cf32 sym);
OX_API int mpsk_rx_set_telemetry(mpsk_rx_loops *l, ox_tlm *tlm, const char *prefix, int decim);
OX_API void mpsk_rx_tlm_flush(mpsk_rx_loops *l, ox_cf32 sym);
// Blob "MRXL" v7: running state, then the timing loop's "RSLP" and the carrier filter's "LPFL".
OX_API size_t mpsk_rx_loops_state_bytes(const mpsk_rx_loops *l);
OX_API void mpsk_rx_loops_get_state(const mpsk_rx_loops *l, void *buf);
OX_API int mpsk_rx_loops_set_state(mpsk_rx_loops *l, const void *buf);

namespace ox {

constexpr double kMpskRxLockAlpha = 0.05;  // EMA coefficient of the carrier lock signal

// The carrier update of one strobed symbol, on the on-time terminal sample p (after the timing
// update of that strobe): M-th-power discriminator on the normalised sample (the phase error is
// 2/M times the sine of M times its phase, the lock signal the cosine), lock EMA and detector,
// lock-time stamp, loop filter, oscillator control. Returns the output symbol (p rotated by rot).
template <int M>
inline ox_cf32 mpsk_rx_carrier_update(mpsk_rx_loops *l, ox_cf32 p) {
    float e, v;
    ox::mth_power_discriminator<M>(p, &e, &v);
    // A sample whose square overflowed (an infinity, or an absurd spike without the AGC in front)
    // carries no phase: it counts as a zero sample instead of making the loop NaN for good.
    if (!(__builtin_fabsf(e + v) <= 8.0f)) [[unlikely]] e = v = 0.0f;
    l->car_lock = (static_cast<double>(v) - l->car_lock) * kMpskRxLockAlpha + l->car_lock;
    if (lockdet_update(&l->car_ld, l->car_lock) && l->lock_time < 0)
        l->lock_time = static_cast<int64_t>(l->n_sym);
    l->car_error = static_cast<double>(e);
    l->n_sym += 1;
    l->freq_ctrl = -(loop_filter_update(&l->car_lf, l->car_error) * l->freq_scale);
    return ox_cf32{p.re * l->rot.re - p.im * l->rot.im, p.im * l->rot.re + p.re * l->rot.im};
}

// Demaps one symbol into its Gray-coded bits, least significant first; returns the bit count.
template <int M>
inline int mpsk_rx_demap(mpsk_rx_loops *l, uint8_t *bits, ox_cf32 sym) {
    constexpr uint32_t kM = M;
    const uint32_t idx = mpsk_nearest_index<M>(sym.re, sym.im);
    uint32_t d = idx;
    if (l->differential) {
        const uint32_t prev = l->have_prev ? l->prev_idx : 0;
        l->prev_idx = idx;
        l->have_prev = 1;
        d = (idx + kM - prev) & (kM - 1);
    }
    const uint32_t g = d ^ (d >> 1);
    bits[0] = static_cast<uint8_t>(g & 1);
    if constexpr (M >= 4) bits[1] = static_cast<uint8_t>((g >> 1) & 1);
    if constexpr (M == 8) bits[2] = static_cast<uint8_t>((g >> 2) & 1);
    return M == 2 ? 1 : (M == 4 ? 2 : 3);
}

}  // namespace ox
