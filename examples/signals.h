/* Test signals of the examples (plain C, also valid C++): differentially coded Gray QPSK
 * through root-raised-cosine pulses with a carrier offset and noise, a noisy complex tone, and
 * a bit-error count at the best alignment. A fixed generator makes every run the same. */
#ifndef OSTREL_EXAMPLE_SIGNALS_H
#define OSTREL_EXAMPLE_SIGNALS_H

#include <math.h>
#include <stdlib.h>

#include <ostrel/ostrel.h>

#define SPS 8         /* samples per symbol */
#define SPAN 4        /* pulse length: symbols each side */
#define N_SYM 6000    /* symbols sent */
#define SETTLE 1000   /* symbols left out of the count while the loops pull in */
#define ESN0_DB 10.0  /* energy per symbol over the noise density */
#define OFFSET 1e-3   /* carrier offset, cycles per sample */

static const double kPi = 3.14159265358979323846;

/* xorshift64* uniform in (0, 1) and Box-Muller normals. */
static uint64_t rng_state = 0x9E3779B97F4A7C15u;
static double uniform(void) {
    rng_state ^= rng_state >> 12;
    rng_state ^= rng_state << 25;
    rng_state ^= rng_state >> 27;
    return (double)((rng_state * 0x2545F4914F6CDD1Du) >> 11) * 0x1p-53 + 0x1p-54;
}
static double normal(void) { return sqrt(-2.0 * log(uniform())) * cos(2.0 * kPi * uniform()); }

/* Complex samples of N_SYM symbols into *out (malloc'ed; the caller frees it); sent receives
 * 2 * N_SYM bits, least significant bit of each symbol first. Returns the sample count. */
static size_t synth_qpsk(ox_cf32 **out, uint8_t *sent) {
    const size_t n = (size_t)(N_SYM + 2 * SPAN) * SPS;
    const size_t ntaps = 2 * SPS * SPAN + 1;
    float *taps = (float *)malloc(ntaps * sizeof *taps);
    double *re = (double *)calloc(n, sizeof *re), *im = (double *)calloc(n, sizeof *im);
    ox_cf32 *x = (ox_cf32 *)malloc(n * sizeof *x);
    if (!taps || !re || !im || !x) exit(2);
    wfm_rrc_taps(SPS, SPAN, taps, 0.35);

    unsigned idx = 0;
    for (size_t s = 0; s < N_SYM; ++s) {
        const unsigned g = (unsigned)(uniform() < 0.5) | (unsigned)(uniform() < 0.5) << 1;
        sent[2 * s] = (uint8_t)(g & 1);
        sent[2 * s + 1] = (uint8_t)(g >> 1);
        idx = (idx + (g ^ (g >> 1))) & 3; /* the Gray-decoded bits are the phase step */
        const double ph = 2.0 * kPi * idx / 4 + kPi / 4;
        for (size_t k = 0; k < ntaps; ++k) {
            re[s * SPS + k] += cos(ph) * taps[k];
            im[s * SPS + k] += sin(ph) * taps[k];
        }
    }
    double power = 0.0;
    for (size_t i = 0; i < n; ++i) power += re[i] * re[i] + im[i] * im[i];
    power /= (double)n;
    const double n0 = power * SPS / pow(10.0, ESN0_DB / 10.0);
    const double sigma = sqrt(n0 / 2.0);
    for (size_t i = 0; i < n; ++i) {
        const double ph = 2.0 * kPi * OFFSET * (double)i + 0.7;
        x[i].re = (float)(re[i] * cos(ph) - im[i] * sin(ph) + sigma * normal());
        x[i].im = (float)(re[i] * sin(ph) + im[i] * cos(ph) + sigma * normal());
    }
    free(taps);
    free(re);
    free(im);
    *out = x;
    return n;
}

/* Bit errors of got against sent, past the first SETTLE symbols, at the best alignment within
 * +-64 bits; *compared receives the number of bits counted. */
static size_t count_bit_errors(const uint8_t *got, size_t n_got, const uint8_t *sent,
                               size_t n_sent, size_t *compared) {
    size_t best = (size_t)-1;
    *compared = 0;
    for (long shift = -64; shift <= 64; ++shift) {
        size_t err = 0, cmp = 0;
        for (size_t i = 2 * SETTLE; i < n_got; ++i) {
            const long j = (long)i + shift;
            if (j < 0 || (size_t)j >= n_sent) continue;
            err += got[i] != sent[j];
            ++cmp;
        }
        if (cmp > 0 && err < best) {
            best = err;
            *compared = cmp;
        }
    }
    return best;
}

/* The receiver counts as working when nearly every bit past the settling time was compared
 * and the error rate is below 1e-2 (differential QPSK at 10 dB: about 2e-3 in theory). */
static int ber_ok(size_t errors, size_t compared) {
    return compared > 2 * (N_SYM - SETTLE) - 256 && (double)errors < 1e-2 * (double)compared;
}

/* n samples of a complex tone of amplitude 0.5 at f0 / fs cycles per sample, in faint noise. */
static void synth_tone(ox_cf32 *x, size_t n, double f0, double fs) {
    for (size_t i = 0; i < n; ++i) {
        const double ph = 2.0 * kPi * f0 / fs * (double)i;
        x[i].re = (float)(0.5 * cos(ph) + 1e-4 * normal());
        x[i].im = (float)(0.5 * sin(ph) + 1e-4 * normal());
    }
}

/* The Welch trace's peak lies within one bin of the tone, at -6.02 dBFS less at most the
 * window's scalloping loss. */
static int tone_ok(double f_peak, double level_db, double f0, double bin_hz) {
    return fabs(f_peak - f0) <= bin_hz && level_db < -6.0 && level_db > -7.0;
}

#endif
