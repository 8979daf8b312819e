// The M-PSK hard decision shared by the decision-directed carrier loop and the receivers'
// demapper: the index of the constellation point nearest to a sample's phase.
#pragma once

#include <cmath>

#include "common/ox_common.h"

namespace ox {

constexpr double kMpskQuarterPi = 0.7853981633974483;

// Index 0..M-1 of the nearest point of the M-PSK constellation (QPSK at 45, 135, 225, 315
// degrees, BPSK and 8-PSK starting at 0 degrees), counted counter-clockwise: u = M/(2 pi) times
// (atan2(im, re) - offset), rounded to the nearest integer with an exact half going toward zero,
// wrapped into 0..M-1.
// Adding 0.49999999999999994 (the largest double below one half) keeps values just below a half
// from rounding up, but in double arithmetic an exact half still rounds away from zero
// (k + 0.5 + 0.49999999999999994 rounds to k + 1), so exact halves are sent toward zero
// explicitly; every other u gets the nearest integer from the sum. A NaN sample takes index 0
// instead of an undefined float-to-integer conversion.
template <int M>
inline uint32_t mpsk_nearest_index(float re, float im) {
    static_assert(M == 2 || M == 4 || M == 8);
    constexpr double off = M == 4 ? kMpskQuarterPi : 0.0;
    const double phi = std::atan2(static_cast<double>(im), static_cast<double>(re));
    const double u = ((1.0 / kTwoPi) * M) * (phi - off);
    const double whole = std::trunc(u);
    const double nearest = std::fabs(u - whole) == 0.5
                               ? whole
                               : std::trunc(u + std::copysign(0.49999999999999994, u));
    const int64_t idx = nearest == nearest ? static_cast<int64_t>(nearest) : 0;
    return static_cast<uint32_t>(idx & (M - 1));
}

}  // namespace ox
