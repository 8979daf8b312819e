/* liquid-dsp's symbol synchroniser on QPSK at 8 samples per symbol, one output per symbol, for
 * the receiver benchmark: prints the samples per second of symsync_crcf_execute over blocks of
 * 4096 samples (thread CPU time, best of five passes). Usage: liquid_symsync N SPAN */
#include <complex.h>
#include <liquid/liquid.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

static double cpu_now(void) {
    struct timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec + 1e-9 * t.tv_nsec;
}

int main(int argc, char **argv) {
    const unsigned n = argc > 1 ? (unsigned)atoi(argv[1]) : 1u << 20;
    const unsigned span = argc > 2 ? (unsigned)atoi(argv[2]) : 8;
    const unsigned k = 8, block = 4096;
    float complex *x = malloc(sizeof(float complex) * n);
    float complex *y = malloc(sizeof(float complex) * (block / k + 8) * 2);
    srand(1);
    for (unsigned i = 0; i < n; i += k) {
        const int s = rand() & 3;
        const float complex a = cexpf(_Complex_I * (float)(M_PI / 2 * s + M_PI / 4));
        for (unsigned j = 0; j < k && i + j < n; ++j)
            x[i + j] = a + 0.05f * ((rand() / (float)RAND_MAX - 0.5f) + _Complex_I * (rand() / (float)RAND_MAX - 0.5f));
    }
    symsync_crcf q = symsync_crcf_create_rnyquist(LIQUID_FIRFILT_RRC, k, span, 0.35f, 32);
    symsync_crcf_set_lf_bw(q, 0.02f);
    symsync_crcf_set_output_rate(q, 1);
    double best = 1e30;
    unsigned long produced = 0;
    for (int pass = 0; pass < 6; ++pass) {
        const double t0 = cpu_now();
        for (unsigned i = 0; i < n; i += block) {
            unsigned ny = 0;
            symsync_crcf_execute(q, x + i, n - i < block ? n - i : block, y, &ny);
            produced += ny;
        }
        const double dt = cpu_now() - t0;
        if (pass > 0 && dt < best) best = dt;  /* the first pass warms up */
    }
    printf("%.6e %lu\n", n / best, produced);
    symsync_crcf_destroy(q);
    free(x);
    free(y);
    return 0;
}
