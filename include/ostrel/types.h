/* ostrel: the types every part of the C interface shares. */
#ifndef OSTREL_TYPES_H
#define OSTREL_TYPES_H

#include <stddef.h>
#include <stdint.h>

/* Status codes of the functions that can fail and do not return a pointer. */
enum {
    OX_OK = 0,
    OX_EINVAL = -4
};

/* Interleaved complex samples (the memory layout of float _Complex / std::complex<float>). */
typedef struct ox_cf32 {
    float re;
    float im;
} ox_cf32;

typedef struct ox_cf64 {
    double re;
    double im;
} ox_cf64;

#endif
