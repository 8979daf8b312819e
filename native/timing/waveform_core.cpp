#include "timing/waveform_core.h"

#include <cmath>

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kFourOverPiMinusOne = 0.27323954473516276;  // 4/pi - 1
constexpr double kOnePlusTwoOverPi = 1.6366197723675815;     // 1 + 2/pi
constexpr double kOneMinusTwoOverPi = 0.3633802276324186;    // 1 - 2/pi

// Root-raised-cosine impulse response at t symbols (unnormalised), with the closed-form limits
// at t = 0 and at the two singular points |t| = 1/(4 beta).
double rrc_h(double t, double beta) {
    if (std::fabs(t) < 1e-9) return 1.0 + beta * kFourOverPiMinusOne;
    if (beta > 0.0 && std::fabs(std::fabs(t) - 1.0 / (4.0 * beta)) < 1e-9) {
        const double x = kPi / (4.0 * beta);
        return (beta / std::sqrt(2.0)) *
               (kOnePlusTwoOverPi * std::sin(x) + kOneMinusTwoOverPi * std::cos(x));
    }
    const double bt4 = 4.0 * beta * t;
    const double num = std::sin(kPi * t * (1.0 - beta)) + 4.0 * beta * t * std::cos(kPi * t * (1.0 + beta));
    const double den = kPi * t * (1.0 - bt4 * bt4);
    return num / den;
}

// The RRC prototype of 2*span*sps + 1 taps, sampled at t_i = (i - span*sps) * (1/sps) symbols,
// evaluated tap by tap so no buffer is needed: the energy pass and the write pass compute
// bit-identical values.
struct Rrc {
    int64_t sps, span;
    double inv_sps, beta, norm;

    Rrc(int64_t sps_, int64_t span_, double beta_)
        : sps(sps_), span(span_), inv_sps(1.0 / static_cast<double>(sps_)), beta(beta_) {
        double energy = 0.0;
        for (int64_t i = 0; i < count(); ++i) {
            const double h = raw(i);
            energy += h * h;
        }
        norm = energy > 0.0 ? 1.0 / std::sqrt(energy) : 1.0;
    }
    int64_t count() const { return 2 * span * sps + 1; }
    double raw(int64_t i) const {
        return rrc_h(static_cast<double>(i - span * sps) * inv_sps, beta);
    }
    float tap(int64_t i) const { return static_cast<float>(raw(i) * norm); }
};

}  // namespace

// A non-positive sps or a negative span describes no filter; nothing is written.
void wfm_rrc_taps(int sps, int span, float *taps, double beta) {
    if (!taps || sps < 1 || span < 0) return;
    const Rrc rrc(sps, span, beta);
    for (int64_t i = 0; i < rrc.count(); ++i) taps[i] = rrc.tap(i);
}

void wfm_polyphase_bank(const float *proto, size_t count, size_t n_phases, size_t taps_per_phase,
                        float *bank) {
    if (n_phases == 0 || taps_per_phase == 0 || !bank) return;
    for (size_t p = 0; p < n_phases; ++p) {
        for (size_t k = 0; k < taps_per_phase; ++k) {
            const size_t src = p + k * n_phases;
            bank[p * taps_per_phase + k] = (proto && src < count) ? proto[src] : 0.0f;
        }
    }
}

// The prototype is wfm_rrc_taps(n_phases, span, beta) scaled by sqrt(n_phases) in float32 and
// split like wfm_polyphase_bank into n_phases rows of 2*span + 1 taps. Each prototype tap is
// evaluated where the split needs it, so the call needs no buffer and cannot fail to allocate.
void wfm_rrc_polyphase_bank(int n_phases, unsigned span, float *bank, double beta) {
    if (!bank || n_phases < 1) return;
    const Rrc rrc(n_phases, span, beta);
    const float g = static_cast<float>(std::sqrt(static_cast<double>(n_phases)));
    const int64_t P = n_phases;
    const int64_t T = 2 * static_cast<int64_t>(span) + 1;
    for (int64_t p = 0; p < P; ++p) {
        for (int64_t k = 0; k < T; ++k) {
            const int64_t src = p + k * P;
            bank[p * T + k] = src < rrc.count() ? rrc.tap(src) * g : 0.0f;
        }
    }
}

void wfm_dsss_spread(const ox_cf32 *symbols, size_t n_symbols, const uint8_t *code, size_t code_len,
                     ox_cf32 *out) {
    if (n_symbols == 0 || code_len == 0 || !symbols || !code || !out) return;
    for (size_t s = 0; s < n_symbols; ++s) {
        const ox_cf32 v = symbols[s];
        const ox_cf32 neg{-v.re, -v.im};
        ox_cf32 *o = out + s * code_len;
        for (size_t i = 0; i < code_len; ++i) o[i] = (code[i] & 1u) ? neg : v;
    }
}

size_t wfm_cont_dsss_chips(const uint8_t *code, size_t code_len, const uint8_t *bits, size_t n_bits,
                           size_t n_chips, uint8_t *out, double chips_per_bit) {
    if (!code || !bits || !out || code_len == 0 || n_bits == 0 || n_chips == 0) return 0;
    if (!(chips_per_bit > 0.0)) return 0;
    const double inv = 1.0 / chips_per_bit;
    if (!std::isfinite(inv)) return 0;  // chips_per_bit so small that 1/cpb overflows
    const double nb = static_cast<double>(n_bits);
    for (size_t i = 0; i < n_chips; ++i) {
        const double pos = std::floor(static_cast<double>(i) * inv);
        // Bit positions beyond 2^63 (absurdly small chips_per_bit) are reduced exactly with fmod.
        const size_t j = pos < 9223372036854775808.0 ? static_cast<size_t>(pos) % n_bits
                                                      : static_cast<size_t>(std::fmod(pos, nb));
        out[i] = static_cast<uint8_t>((bits[j] ^ code[i % code_len]) & 1u);
    }
    return n_chips;
}
