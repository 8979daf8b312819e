// Burst-capable M-PSK demodulator: finds bursts against the noise floor, acquires each one on a
// buffered window (carrier from the M-th power spectrum, timing from the squared envelope of the
// matched filter's output, carrier phase from the first symbols), then replays the window
// through the tracking chain so that no symbol of the burst is lost: oscillator mix, matched
// filter and fractional timing in a matched rate converter at 4 samples per symbol steered by a
// power-normalised Gardner loop, and a decision-directed carrier phase loop after the matched
// filter whose frequency is slowly handed back to the oscillator. Ends a burst when the power
// falls back to the floor, re-acquires after a lasting loss of lock.
#pragma once

#include "common/ox_common.h"
#include "ox_tlm/ox_tlm_core.h"

struct psk_demod;

// Construction parameters (all validated by psk_demod_invalid).
struct psk_demod_params {
    int32_t m;              // constellation order: 2, 4 or 8
    int32_t differential;   // 1: bits code the phase step from the previous symbol
    double sps;             // input samples per symbol, >= 2
    double rrc_beta;        // root-raised-cosine roll-off, 0 < beta <= 1
    int32_t rrc_span;       // matched filter half-length, symbols (1..16)
    int32_t acq_symbols;    // acquisition window, symbols (32..1024)
    double bn_timing;       // timing loop noise bandwidth per symbol, (0, 0.1]
    double bn_carrier;      // carrier phase loop noise bandwidth per symbol, (0, 0.2]
    double squelch_db;      // burst start: power this far above the noise floor, [1, 40]
    double search;          // carrier search range, fraction of the symbol rate, (0, 0.25]
    double init_norm_freq;  // centre of the carrier search, cycles per input sample, |f| < 0.5
    double line_db;         // M-th power line over the spectrum's median needed, [6, 40] dB
};

// Defaults chosen by measurement.
OX_API void psk_demod_default_params(psk_demod_params *p);
// NULL when p is valid, else a message naming the first parameter out of range.
OX_API const char *psk_demod_invalid(const psk_demod_params *p);
// NULL for invalid parameters or exhausted memory.
OX_API psk_demod *psk_demod_create(const psk_demod_params *p);
OX_API void psk_demod_destroy(psk_demod *d);
OX_API void psk_demod_reset(psk_demod *d);

// Block functions: symbols (unit energy; QPSK at 45 degrees, BPSK and 8-PSK from 0) or bits
// (log2(m) per symbol, least significant first, Gray-coded). Output comes only while a burst is
// tracked; outputs past cap are dropped (every input still advances the state).
OX_API size_t psk_demod_steps(psk_demod *d, const ox_cf32 *x, size_t n, ox_cf32 *out, size_t cap);
OX_API size_t psk_demod_bits(psk_demod *d, const ox_cf32 *x, size_t n, uint8_t *out, size_t cap);
// Bound of what one call can yield beyond one output per input sample (a burst's window is
// replayed inside the call that completes it).
OX_API size_t psk_demod_steps_max_out(const psk_demod *d);
OX_API size_t psk_demod_bits_max_out(const psk_demod *d);

OX_API int psk_demod_get_locked(const psk_demod *d);
OX_API double psk_demod_get_norm_freq(const psk_demod *d);
OX_API double psk_demod_get_timing_rate(const psk_demod *d);
OX_API double psk_demod_get_snr_db(const psk_demod *d);
OX_API int psk_demod_get_in_burst(const psk_demod *d);
OX_API uint64_t psk_demod_get_bursts(const psk_demod *d);
OX_API uint64_t psk_demod_get_n_sym(const psk_demod *d);
OX_API int64_t psk_demod_get_burst_start(const psk_demod *d);
OX_API int64_t psk_demod_get_burst_end(const psk_demod *d);
OX_API uint64_t psk_demod_get_samples(const psk_demod *d);
OX_API double psk_demod_get_noise_floor(const psk_demod *d);
OX_API int psk_demod_get_m(const psk_demod *d);
OX_API double psk_demod_get_sps(const psk_demod *d);

// Probes (per symbol): prefix + ".lock", ".freq", ".rate", ".e", ".sym.i", ".sym.q"
// (prefix "demod" when NULL).
OX_API int psk_demod_set_telemetry(psk_demod *d, ox_tlm *tlm, const char *prefix, int decim);

// Blob "PSKD" v1: the detector and loop state, the acquisition window, then the matched
// converter's own blob. Fixed length for a given configuration; restore is all or nothing.
OX_API size_t psk_demod_state_bytes(const psk_demod *d);
OX_API void psk_demod_get_state(const psk_demod *d, void *buf);
OX_API int psk_demod_set_state(psk_demod *d, const void *buf);
