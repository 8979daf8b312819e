// Code-tracking delay-locked loop (DLL) for direct-sequence spread-spectrum signals.
//
// The loop correlates a carrier-wiped complex baseband stream against a local copy of a binary
// spreading code with early, prompt and late taps (plus an off-peak noise tap for the lock
// detector), steers a 32-bit code-phase NCO (one wrap per code period, the epoch) from a
// non-coherent early-minus-late power discriminator, and emits the prompt correlations:
//   - segments = 1: one coherent integrate-and-dump per epoch, one prompt per epoch;
//   - segments = n >= 2: n partial correlations per epoch, all emitted (a despread stream of n
//     samples per epoch, normalised by the strongest one-epoch window), the discriminator running
//     on the one-epoch window, found by a look-back over the previous epoch, that holds the most
//     prompt power, so that a data transition inside the epoch cannot collapse it.
//
// Lock detection: every look (an epoch, a partial, or a symbol window with the symbol-period aid)
// adds its prompt power; an extra tap at a random off-peak code phase, re-drawn every epoch,
// gives a signal-free noise reference E|O|^2 (constant false-alarm rate). N looks form one
// decision on R = sqrt(2 sum|P|^2 / E|O|^2), fed to a hysteresis lock detector.
//
// Symbol-period aid (segments >= 2): given the data-symbol period in partials, the loop searches
// the symbol-boundary phase blindly by power, integrates each look over a transition-free window
// of W partials and steers once per symbol.
//
// Loop scaling. In single-segment mode the integrator is the fractional code-rate offset itself
// (it moves the phase by integ L chips per epoch) while the proportional path moves it by kp e
// chips: the integral path is L times stronger than a loop designed for bn would have it. With
// the discriminator output measured over the epoch before the correction acts, the loop is then
// lightly damped and stable only while L ki < 2 kp about, i.e. bn < (1 + 4 zeta^2) / (2 L)
// (0.0015 per epoch for 1023 chips at zeta 0.707), whatever the discriminator gain; it settles
// fastest for bn near 0.5 / L to 1 / L. In segmented mode (and with the symbol aid) the filter
// output A moves the phase by A / sps chips per update, both paths alike.
//
// Replica. For a code position t in chips, h = (2t - 0.5) mod 2L in [0, 2L), k = floor(h),
// f = h - k; the replica is (1 - f) s(code[k/2]) + f s(code[(k+1)/2]) (code[0] past the end),
// s(v) = -1 when bit 0 of v is set, else +1: +-1 on the middle half of each chip with linear
// quarter-chip ramps on either side of every chip boundary. The definition evaluates, per tap,
// t = p + offset in double (p = pos L / 2^32, pos the 32-bit code phase at the middle of the
// sample), h with one long-double modulo, f in double, the replica in double narrowed to float;
// the correlator sums are float32 (sum += x.re r, x.im r). `dll_steps_reference` runs exactly
// that definition. `dll_steps` gives the same results to the bit without the modulo: with tap
// offsets that are multiples of 2^-32 chip (any dyadic spacing; the noise offset is a whole
// number of chips) and codes of at most 2^20 chips nothing in the definition rounds before the
// final narrowing, so the replica comes from integer arithmetic on the phase word and a per-code
// table of replica classes; other spacings use the table with an exact double path, and objects
// without a table (borrowed codes, longer codes) an exact double path on the code bytes; the few
// positions near the code wrap where the definition itself rounds are evaluated by it.
//
// Points this loop decides:
//   - Fewer than one sample per segment (segments > L sps): one sample can cross several segment
//     boundaries, and the epoch wrap can fall before every boundary of the epoch was crossed.
//     Every epoch nevertheless closes exactly `segments` segments in order: the segment being
//     integrated is closed with its sums and each skipped one is closed empty (a zero partial and
//     a zero look), so no stale partial from an earlier epoch reaches the look-back, the
//     discriminator or the output, and the output keeps `segments` partials per epoch. Output
//     room per call is the input length (the block-call contract; `dll_steps_max_out` is 0), so
//     partials beyond it are dropped; a caller who needs every partial gives room for the
//     epochs a call can complete times `segments` (about n + segments per call of n samples, and
//     n segments / (L sps) + segments with fewer than one sample per segment).
//   - `dll_set_symbol_period` allocates the new rings and hypothesis powers before it changes
//     anything; when an allocation fails (or the sizes would overflow the blob's 32-bit length)
//     it returns OX_EINVAL and the object keeps running exactly as before: previous aid setting,
//     rings, lock state and loop.
#pragma once

#include "common/ox_common.h"
#include "loops/lockdet_core.h"
#include "loops/loop_filter_core.h"

struct ox_tlm;

constexpr uint32_t DLL_N_PROBES = 4;  // "%s.e", "%s.rate", "%s.lock", "%s.locked"

struct dll {
    loop_filter loop;            // t = 1, or period/segments with the symbol aid
    uint32_t phase;              // code NCO; one wrap per code period
    uint32_t inc;                // NCO increment per input sample
    double nominal;              // 1/(sps L), set at reset
    uint8_t reserved[8];         // zero
    uint8_t *code;               // L bytes; bit 0 of each byte is the chip (0: +1, 1: -1)
    uint64_t L;                  // code length, chips
    uint64_t sps;                // samples per chip (>= 1)
    double inv_sps;              // 1/sps
    double inv_epoch;            // 1/(sps L)
    double inv_epoch_sq;         // 1/(sps L)^2
    double inv_epoch_len;        // 1/(sps L L)
    double rate_scale;           // 1/t of the loop filter (1 without the symbol aid)
    double spacing;              // early/late offset, chips
    double code_phase;           // phase L / 2^32, chips
    double code_rate;            // tracked chips per nominal chip
    double rate_aid;             // fractional code-rate bias (0: off)
    double init_chip;            // code phase restored by reset, chips
    double bn;                   // configured loop noise bandwidth (per epoch)
    double zeta;                 // configured damping
    ox_cf32 early;               // running correlator sums of the current epoch or segment
    ox_cf32 prompt;
    ox_cf32 late;
    double last_error;           // last discriminator output, [-1, 1]
    uint64_t segments;           // partial correlations per epoch (>= 1)
    double chips_per_segment;    // L / segments
    double samples_per_segment;  // L sps / segments
    uint64_t segment;            // index of the segment being integrated
    ox_cf32 *seg_prompt;         // this epoch's partial prompts        (segments >= 2 only)
    ox_cf32 *seg_early;          // this epoch's partial early sums
    ox_cf32 *seg_late;           // this epoch's partial late sums
    ox_cf32 *seg_prefix;         // prompt prefix sums (scratch, not serialised)
    ox_cf32 *prev_suffix;        // previous epoch's prompt suffix sums: [k] = P_k + ... + P_n-1
    ox_cf32 *prev_early;         // previous epoch's partial early sums
    ox_cf32 *prev_late;          // previous epoch's partial late sums
    uint32_t have_prev_epoch;    // 1 after the first completed epoch (segments >= 2)
    ox_cf32 noise;               // off-peak (noise) tap sum
    uint32_t pad0;               // zero
    double noise_offset;         // noise tap offset from the prompt, whole chips, [0, L)
    double noise_guard;          // spacing + 2: chips kept clear of the correlation peak
    uint32_t rng;                // xorshift32 state
    uint32_t pad1;               // zero
    double noise_est;            // EMA of the noise-tap power E|O|^2
    double alpha;                // EMA coefficient of the noise reference
    double power_sum;            // sum |P|^2 of the looks of the current decision
    uint64_t looks;              // looks gathered in the current decision, < n_looks
    uint64_t n_looks;            // looks per decision N (>= 1)
    double lock_stat;            // last statistic R
    uint64_t noise_count;        // noise looks since the last lock configuration
    lockdet ld;                  // thresholds on R, verify counts, decision
    double period;               // symbol period in partials (0: aid off)
    uint64_t window;             // W, partials per symbol window
    uint64_t hypotheses;         // H = ceil(period)
    uint64_t ring_size;          // power-of-two length of the look rings
    uint64_t best;               // winning boundary hypothesis, < H
    uint64_t ring_count;         // looks written to the rings since reset or enable
    double hyp_alpha;            // 0.03125, EMA coefficient of the hypothesis powers
    ox_cf32 *ring_prompt;        // look rings (aid on only)
    ox_cf32 *ring_noise;
    ox_cf32 *ring_early;
    ox_cf32 *ring_late;
    double *hyp_power;           // EMA of each hypothesis' window power [H]
    uint32_t owns_code;          // 1: `code` is a private copy freed by destroy
    uint32_t pad2;               // zero
    ox_tlm *tlm;                 // attached telemetry ring, or NULL (never serialised)
    int32_t tlm_ids[DLL_N_PROBES];
    // Private, past the serialised image: the replica class of every half-chip index over two
    // code periods (4L bytes), built by dll_create for codes of at most 2^20 chips, else NULL.
    uint8_t *replica_table;
};

// The first 568 bytes are the payload image of the state blob (pointers, ownership, telemetry
// written as zeros); pin the layout.
static_assert(offsetof(dll, phase) == 48 && offsetof(dll, nominal) == 56 &&
              offsetof(dll, code) == 72 && offsetof(dll, L) == 80 && offsetof(dll, sps) == 88 &&
              offsetof(dll, inv_sps) == 96 && offsetof(dll, rate_scale) == 128 &&
              offsetof(dll, spacing) == 136 && offsetof(dll, code_phase) == 144 &&
              offsetof(dll, init_chip) == 168 && offsetof(dll, bn) == 176 &&
              offsetof(dll, early) == 192 && offsetof(dll, late) == 208 &&
              offsetof(dll, last_error) == 216 && offsetof(dll, segments) == 224 &&
              offsetof(dll, segment) == 248 && offsetof(dll, seg_prompt) == 256 &&
              offsetof(dll, prev_late) == 304 && offsetof(dll, have_prev_epoch) == 312 &&
              offsetof(dll, noise) == 316 && offsetof(dll, noise_offset) == 328 &&
              offsetof(dll, noise_guard) == 336 && offsetof(dll, rng) == 344 &&
              offsetof(dll, noise_est) == 352 && offsetof(dll, looks) == 376 &&
              offsetof(dll, n_looks) == 384 && offsetof(dll, lock_stat) == 392 &&
              offsetof(dll, noise_count) == 400 && offsetof(dll, ld) == 408 &&
              offsetof(dll, period) == 440 && offsetof(dll, window) == 448 &&
              offsetof(dll, ring_size) == 464 && offsetof(dll, best) == 472 &&
              offsetof(dll, ring_count) == 480 && offsetof(dll, hyp_alpha) == 488 &&
              offsetof(dll, ring_prompt) == 496 && offsetof(dll, hyp_power) == 528 &&
              offsetof(dll, owns_code) == 536 && offsetof(dll, tlm) == 544 &&
              offsetof(dll, tlm_ids) == 552 && offsetof(dll, replica_table) == 568,
              "the DLL record up to replica_table is the payload image of its state blob");

// NULL also for more segments than the state blob's 32-bit length can carry (about 89 million:
// 48 bytes each).
OX_API dll *dll_create(const uint8_t *code, size_t L, uint64_t sps, uint64_t segments,
                       double init_chip, double bn, double zeta, double spacing);
// Initialises caller storage (sizeof(dll) bytes) with a borrowed code (not copied, never freed)
// and segments = 1. Returns OX_EINVAL, leaving an object whose steps produce nothing, when `code`
// is NULL or L is 0. Such an object owns no memory and is never passed to dll_destroy.
OX_API int dll_init(dll *d, uint8_t *code, size_t L, uint64_t sps, double init_chip, double bn,
                    double zeta, double spacing);
OX_API void dll_destroy(dll *d);
OX_API void dll_reset(dll *d);
OX_API void dll_configure(dll *d, double bn, double zeta);
OX_API void dll_set_bn(dll *d, double bn);
OX_API double dll_get_bn(const dll *d);
OX_API void dll_set_rate_aid(dll *d, double rate_aid);
OX_API size_t dll_steps(dll *d, const ox_cf32 *x, size_t n, ox_cf32 *out, size_t out_cap);
// The same block call with the replica evaluated by its definition (one long-double modulo per
// tap): the reference the fast path is checked against; identical results, several times slower.
OX_API size_t dll_steps_reference(dll *d, const ox_cf32 *x, size_t n, ox_cf32 *out,
                                  size_t out_cap);
OX_API size_t dll_steps_max_out(const dll *d);
OX_API double dll_get_code_phase(const dll *d);
OX_API double dll_get_code_rate(const dll *d);
OX_API double dll_get_last_error(const dll *d);
OX_API uint64_t dll_get_segments(const dll *d);
OX_API int dll_set_telemetry(dll *d, ox_tlm *tlm, const char *prefix, unsigned decim);
OX_API void dll_tlm_flush(dll *d);
OX_API size_t dll_state_bytes(const dll *d);
OX_API void dll_get_state(const dll *d, void *buf);
OX_API int dll_set_state(dll *d, const void *buf);

// Lock detector and symbol-period aid.
// OX_EINVAL unless 0 < pfa < 1; also when n_looks exceeds INT_MAX (the detection statistics
// count looks in an int).
OX_API int dll_configure_lock(dll *d, uint64_t n_looks, double pfa, double ref_snr_db);
OX_API void dll_configure_lock_raw(dll *d, uint64_t n_looks, int n_up, int n_down,
                                   double up_thresh, double down_thresh, double alpha);
// OX_EINVAL when either count is not positive.
OX_API int dll_set_lock_verify(dll *d, int n_up, int n_down);
OX_API int dll_set_symbol_period(dll *d, double partials_per_symbol);
OX_API uint64_t dll_get_symbol_window(const dll *d);
OX_API int dll_get_locked(const dll *d);
OX_API double dll_get_lock_stat(const dll *d);
OX_API double dll_get_noise_est(const dll *d);
OX_API void dll_lock_look(dll *d, double scale);
OX_API void dll_lock_epoch(dll *d);
// Cost O(sqrt(n)).
OX_API uint64_t dll_lookback_segments(uint64_t n, double loss_db);
