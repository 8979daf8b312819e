// Symbol synchroniser: timing-error-detector S-curve model (the expected detector output against
// a timing offset), used to normalise detector gains.
#pragma once

#include "common/ox_common.h"

// Expected output of the timing-error detector `ted` (1 = DTTL, anything else = Gardner) at a
// timing offset of `tau` symbols for a triangle pulse (pulse = 0) or a raised-cosine pulse of
// roll-off `beta` (any other pulse); Gardner sums the symbol neighbours -span-2 .. span+2.
OX_API double symsync_s_curve(int ted, int pulse, int64_t span, double beta, double tau);
// Magnitude of the S-curve's slope at zero offset (central difference over +-1e-4 symbols).
OX_API double symsync_ted_slope(int ted, int pulse, int64_t span, double beta);
