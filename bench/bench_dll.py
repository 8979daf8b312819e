"""Dll throughput: samples per second per core and cycles per sample for a 1023-chip code at 2
and 4 samples per chip, one or eight segments, symbol-period aid off and on.

Per sample the loop evaluates four replica taps (noise, prompt, early, late) and accumulates
four complex products; per code period (or partial) it runs the discriminator, the loop filter
and the lock detector. Peers, measured in the same run on the same core:

- NumPy, vectorised: the same four replica taps generated for a whole block (positions, ramps,
  chip lookups) and the four correlations summed per code period: the DLL's per-sample work,
  open loop.
- liquid-dsp: four ``dotprod_crcf`` dot products per code period against precomputed real
  replicas: the correlation part only (no replica generation, no loop), SIMD.
- GNU Radio: four branches of replica source -> ``multiply_cc`` -> ``integrate_cc`` (integrate
  and dump per code period) with precomputed replicas: the correlation part only, measured net of
  the flowgraph's start-up (two lengths, rate from the difference).

There is no DLL block among the Debian SDR libraries; the peers do less than the loop (no
replica generation in liquid-dsp and GNU Radio, no feedback anywhere), so they bound the
correlation cost from below rather than compete on the whole job.
"""

from __future__ import annotations

import ctypes
import subprocess

import numpy as np

import _util
from ostrel import track

L = 1023
PERIOD_PARTIALS = 20 * 8  # the aid: data bits of 20 code periods, 8 partials each

LIQUID_SRC = r"""
#include <complex.h>
#include <liquid/liquid.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

static double now(void) {
    struct timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec + 1e-9 * ts.tv_nsec;
}

int main(int argc, char **argv) {
    const unsigned n = (unsigned)atoi(argv[1]), epochs = (unsigned)atoi(argv[2]);
    const unsigned rounds = (unsigned)atoi(argv[3]);
    float complex *x = malloc(sizeof(float complex) * n * epochs);
    float *h[4];
    dotprod_crcf q[4];
    srand(1);
    for (unsigned i = 0; i < n * epochs; ++i)
        x[i] = (rand() / (float)RAND_MAX - 0.5f) + I * (rand() / (float)RAND_MAX - 0.5f);
    for (int t = 0; t < 4; ++t) {
        h[t] = malloc(sizeof(float) * n);
        for (unsigned i = 0; i < n; ++i) h[t][i] = (rand() & 1) ? 1.0f : -1.0f;
        q[t] = dotprod_crcf_create(h[t], n);
    }
    double best = 1e30;
    float complex acc = 0;
    for (unsigned r = 0; r < rounds; ++r) {
        const double t0 = now();
        for (unsigned e = 0; e < epochs; ++e) {
            for (int t = 0; t < 4; ++t) {
                float complex y;
                dotprod_crcf_execute(q[t], x + (size_t)e * n, &y);
                acc += y;
            }
        }
        const double dt = now() - t0;
        if (dt < best) best = dt;
    }
    printf("%.9g %g\n", best / ((double)n * epochs), crealf(acc));
    return 0;
}
"""

GR_SRC = r"""
import os, sys, time
import numpy as np
from gnuradio import blocks, gr

n_epoch, epochs = int(sys.argv[1]), int(sys.argv[2])
rng = np.random.default_rng(1)

def run(k):
    n = n_epoch * k
    x = (rng.standard_normal(n) + 1j * rng.standard_normal(n)).astype(np.complex64)
    tb = gr.top_block()
    src = blocks.vector_source_c(x.tolist(), False)
    for t in range(4):
        rep = (1.0 - 2.0 * rng.integers(0, 2, n)).astype(np.complex64)
        rsrc = blocks.vector_source_c(rep.tolist(), False)
        mul, dump = blocks.multiply_cc(), blocks.integrate_cc(n_epoch)
        tb.connect(src, (mul, 0))
        tb.connect(rsrc, (mul, 1))
        tb.connect(mul, dump, blocks.null_sink(gr.sizeof_gr_complex))
    t0 = time.perf_counter()
    tb.run()
    return time.perf_counter() - t0

best = {}
for k in (epochs // 8, epochs):
    best[k] = min(run(k) for _ in range(3))
net = (best[epochs] - best[epochs // 8]) / (n_epoch * (epochs - epochs // 8))
print(f"{net:.9g}")
"""


def numpy_correlator(x: np.ndarray, code: np.ndarray, sps: int) -> np.ndarray:
    """Noise, prompt, early and late correlations per code period of x, the replica generated
    for every sample as the loop does (open loop, nominal rate)."""
    n = L * sps
    inc = np.uint64(int(4294967296 / n))
    pos = (np.arange(x.size, dtype=np.uint64) * inc + inc // np.uint64(2)) & np.uint64(0xFFFFFFFF)
    p = pos.astype(np.float64) * (L / 4294967296.0)
    s = 1.0 - 2.0 * (code & 1).astype(np.float64)
    out = np.empty((4, x.size // n), np.complex128)
    for j, off in enumerate((37.0, 0.0, 0.5, -0.5)):
        h = np.mod(2.0 * (p + off) - 0.5, 2.0 * L)
        k = h.astype(np.int64)
        f = h - k
        r = (1.0 - f) * s[k >> 1] + f * s[((k + 1) % (2 * L)) >> 1]
        out[j] = (x * r.astype(np.float32)).reshape(-1, n).sum(axis=1)
    return out


def liquid_rate(sps: int, epochs: int, rounds: int) -> float | None:
    with _util.liquid_program(LIQUID_SRC) as exe:
        if exe is None:
            return None
        out = subprocess.run([str(exe), str(L * sps), str(epochs), str(rounds)],
                             capture_output=True, text=True, check=True).stdout
    return 1.0 / float(out.split()[0])


def gnuradio_rate(sps: int, epochs: int) -> float | None:
    r = _util.run_gnuradio(GR_SRC, L * sps, epochs)
    if r is None or r.returncode:
        return None
    return 1.0 / float(r.stdout.split()[0])


def other_paths(code: np.ndarray, x: np.ndarray, rounds: int) -> list[dict]:
    """The same loop (sps 2, one segment) with a non-dyadic spacing (class-table double path) and
    through dll_steps_reference (the replica by its definition, one long-double modulo per tap),
    both beside the default exact path."""
    lib = ctypes.CDLL(track.__file__)
    ref = lib.dll_steps_reference
    ref.restype = ctypes.c_size_t
    ref.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_void_p,
                    ctypes.c_size_t]
    out = np.empty(x.size, np.complex64)
    fast = track.Dll(code, bn=0.001)
    t_fast = min(_util.cpu_time(lambda: fast.steps(x, out=out)) for _ in range(rounds))
    table = track.Dll(code, bn=0.001, spacing=0.3)
    t_table = min(_util.cpu_time(lambda: table.steps(x, out=out)) for _ in range(rounds))
    d = track.Dll(code, bn=0.001)
    core = ctypes.c_void_p.from_address(id(d) + object.__basicsize__).value
    m = x.size // 8
    t_ref = min(_util.cpu_time(lambda: ref(core, x.ctypes.data, m, out.ctypes.data, out.size))
                for _ in range(2)) * 8
    return [_util.row(f"Dll L={L} sps=2 segments=1 spacing=0.3", x.size / t_table,
                      peer="same loop, dyadic spacing 0.5", peer_value=x.size / t_fast),
            _util.row(f"Dll L={L} sps=2 segments=1 dll_steps", x.size / t_fast,
                      peer="dll_steps_reference (long-double modulo per tap)",
                      peer_value=x.size / t_ref)]


def run(quick: bool) -> list[dict]:
    rng = np.random.default_rng(0)
    code = rng.integers(0, 2, L).astype(np.uint8)
    epochs = 32 if quick else 128
    rounds = 3 if quick else 7
    rows = []
    hz = _util.cpu_hz()
    ours = {}
    for sps in (2, 4):
        n = L * sps * epochs
        chips = np.repeat(1.0 - 2.0 * code, sps)
        x = (np.tile(chips, epochs) + 2.0 * (rng.standard_normal(n) + 1j * rng.standard_normal(n))
             ).astype(np.complex64)
        out = np.empty(n + 8, np.complex64)
        for segments, aid in ((1, False), (8, False), (8, True)):
            d = track.Dll(code, sps=sps, segments=segments, bn=0.001 if segments == 1 else 0.05)
            if aid:
                d.set_symbol_period(PERIOD_PARTIALS)
            t = min(_util.cpu_time(lambda: d.steps(x, out=out)) for _ in range(rounds))
            ours[sps, segments, aid] = n / t
        t_np = min(_util.cpu_time(lambda: numpy_correlator(x, code, sps))
                   for _ in range(max(2, rounds // 2)))
        np_rate = n / t_np
        lq = liquid_rate(sps, epochs, rounds)
        gr_rate = gnuradio_rate(sps, 64 if quick else 256) if sps == 2 else None
        for segments, aid in ((1, False), (8, False), (8, True)):
            name = f"Dll L={L} sps={sps} segments={segments}" + (" aid" if aid else "")
            v = ours[sps, segments, aid]
            if segments == 1:
                rows.append(_util.row(name, v, peer="numpy vectorised 4-tap replica + correlation",
                                      peer_value=np_rate))
                if lq:
                    rows.append(_util.row(name + " vs liquid", v,
                                          peer="liquid-dsp dotprod_crcf x4, precomputed replicas",
                                          peer_value=lq, peer_cycles_per_sample=hz / lq))
                if gr_rate:
                    rows.append(_util.row(name + " vs GNU Radio", v,
                                          peer="GNU Radio multiply_cc + integrate_cc x4, net",
                                          peer_value=gr_rate, peer_cycles_per_sample=hz / gr_rate))
            else:
                rows.append(_util.row(name, v))
        if sps == 2:
            rows += other_paths(code, x, rounds)
    return rows
