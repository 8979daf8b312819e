/* libostrel from C: a QPSK receiver on a synthesised stream, and a Welch PSD of a tone.
 *
 * The transmitter (signals.h) sends differentially coded, Gray-mapped QPSK through
 * root-raised-cosine pulses at 8 samples per symbol, with a carrier offset of 1e-3 cycles per
 * sample and white noise at Es/N0 = 10 dB; the receiver recovers timing, carrier and bits, and
 * the program prints the bit error rate after the loops have settled. Then a tone at
 * 123.456 kHz (sampled at 1 MHz) goes through a Welch estimator; the program prints where the
 * peak is and how high.
 *
 * Exit status 0 when both results are what the settings promise, 1 otherwise: the program
 * doubles as a test of the installed library.
 *
 * Build: cc ostrel_demo.c $(pkg-config --cflags --libs ostrel) -lm
 */
#include <math.h>
#include <stdio.h>
#include <stdlib.h>

#include <ostrel/ostrel.h>

#include "signals.h"

static int qpsk_ber(void) {
    static uint8_t sent[2 * N_SYM];
    ox_cf32 *x = NULL;
    const size_t n = synth_qpsk(&x, sent);

    /* m = 4, m_out and num_phases chosen by the receiver, RRC matched filter spanning SPAN
     * symbols each side, differential demapping, SPS samples per symbol, roll-off 0.35, carrier
     * loop bandwidth 0.02, default damping, timing bandwidth 0.01, default lock threshold, no
     * initial offset, default AGC speed, AGC on. */
    mpsk_receiver *rx = mpsk_receiver_create(4, 0, 1, SPAN, 1, 0, SPS, 0.35, 0.02, 0.0, 0.01, 0.0,
                                             0.0, 0.0, 1);
    if (!rx) {
        fprintf(stderr, "mpsk_receiver_create failed\n");
        return 1;
    }
    /* A call writes at most max(bits_max_out, its input length) bits. */
    const size_t bound = mpsk_receiver_bits_max_out(rx);
    const size_t cap = bound > n ? bound : n;
    uint8_t *got = (uint8_t *)malloc(cap);
    if (!got) exit(2);
    size_t n_got = 0;
    for (size_t at = 0; at < n; at += 4096) { /* any block split gives the same bits */
        const size_t len = n - at < 4096 ? n - at : 4096;
        n_got += mpsk_receiver_bits(rx, x + at, len, got + n_got, cap - n_got);
    }
    size_t compared = 0;
    const size_t errors = count_bit_errors(got, n_got, sent, 2 * N_SYM, &compared);
    printf("QPSK receiver (C): %zu bits, locked %d, carrier %.6f cycles/sample, "
           "BER %.2e (%zu / %zu)\n",
           n_got, mpsk_receiver_get_locked(rx), mpsk_receiver_get_norm_freq(rx),
           compared ? (double)errors / (double)compared : 1.0, errors, compared);
    mpsk_receiver_destroy(rx);
    free(got);
    free(x);
    return ber_ok(errors, compared) ? 0 : 1;
}

static int welch_tone(void) {
    const double fs = 1e6, f0 = 123456.0;
    enum { N = 1 << 16, NFFT = 1024 };
    static ox_cf32 x[N];
    static float db[NFFT];
    synth_tone(x, N, f0, fs);
    /* 1024-sample frames, Blackman-Harris window, no zero padding, 0 dBFS at amplitude 1,
     * frames averaged. */
    psd_state_t *psd = psd_create(NFFT, fs, PSD_WINDOW_BLACKMAN_HARRIS, 0.0f, 1, 1.0, 0,
                                  ACC_TRACE_MEAN, 0.1);
    if (!psd) {
        fprintf(stderr, "psd_create failed\n");
        return 1;
    }
    psd_accumulate(psd, x, N);
    const size_t m = psd_psd_db(psd, 0, db, NFFT);
    size_t peak = 0;
    for (size_t i = 1; i < m; ++i)
        if (db[i] > db[peak]) peak = i;
    const double f_peak = ((double)peak - NFFT / 2) * fs / NFFT;
    printf("Welch PSD (C): %zu bins, peak at %.1f Hz (tone %.1f Hz), %.2f dBFS, "
           "noise floor %.1f dBFS\n",
           m, f_peak, f0, db[peak], psd_noise_floor(psd));
    psd_destroy(psd);
    return m == NFFT && tone_ok(f_peak, db[peak], f0, fs / NFFT) ? 0 : 1;
}

int main(void) {
    const int rx_fail = qpsk_ber();
    const int psd_fail = welch_tone();
    if (rx_fail || psd_fail) {
        fprintf(stderr, "FAILED:%s%s\n", rx_fail ? " receiver" : "", psd_fail ? " psd" : "");
        return 1;
    }
    return 0;
}
