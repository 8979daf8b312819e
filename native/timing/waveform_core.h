// Reference waveform generators: root-raised-cosine taps, polyphase splits of a prototype,
// direct-sequence spreading and chip sequences with a data clock not locked to the code.
// Codes are byte arrays whose bit 0 is the chip or bit: set means -1 (inverted), clear +1.
#pragma once

#include "common/ox_common.h"

OX_API void wfm_rrc_taps(int sps, int span, float *taps, double beta);
OX_API void wfm_polyphase_bank(const float *proto, size_t count, size_t n_phases,
                               size_t taps_per_phase, float *bank);
OX_API void wfm_rrc_polyphase_bank(int n_phases, unsigned span, float *bank, double beta);
OX_API void wfm_dsss_spread(const ox_cf32 *symbols, size_t n_symbols, const uint8_t *code,
                            size_t code_len, ox_cf32 *out);
OX_API size_t wfm_cont_dsss_chips(const uint8_t *code, size_t code_len, const uint8_t *bits,
                                  size_t n_bits, size_t n_chips, uint8_t *out,
                                  double chips_per_bit);
