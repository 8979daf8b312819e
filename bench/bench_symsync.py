"""Symbol synchroniser: samples per second per core and cycles per sample of SymbolSync at 2, 4
and 8 samples per symbol, Gardner and DTTL detectors, with and without telemetry, beside the
symbol synchronisers of GNU Radio and liquid-dsp at the same samples per symbol.

Input: 1 M samples of matched-filtered RRC QPSK (roll-off 0.35) with a timing offset, a 150 ppm
clock offset and 20 dB Es/N0, the same samples for every synchroniser.

- SymbolSync: thread CPU time of ``steps`` calls of 16 k samples into a preallocated ``out``,
  summed over the 1 M samples, best of several passes. With telemetry the reader drains the
  ring between calls, outside the timing (the producer's cost only; the ring stays in cache as
  it does for a reader that keeps up).
- GNU Radio ``digital.symbol_sync_cc`` (8-tap MMSE interpolator; Gardner, and the
  decision-directed zero-crossing detector for DTTL, which is the same detector), run under
  Debian's ``/usr/bin/python3`` in a subprocess: process CPU time of a flowgraph
  source -> head -> symbol_sync -> null sink minus that of the same flowgraph without the
  synchroniser (the framework's share), best of three.
- liquid-dsp ``symsync_crcf`` (polyphase RRC matched-filter bank, 32 arms, delay 3 symbols,
  its own maximum-likelihood detector), from a C program compiled here against -lliquid:
  thread CPU time of 64 k-sample ``execute`` calls over the block, best of several rounds. It
  also does the matched filtering that SymbolSync leaves to the caller.

The common sample (no strobe) is costed from two long-symbol runs: with c(sps) the cycles per
sample, (256 c(256) - 64 c(64)) / 192 is the cost of one sample that crosses neither strobe.
Every process is pinned to the benchmark's core, so the figures are per core.
"""

from __future__ import annotations

import pathlib
import subprocess
import sys
import tempfile
import time

import numpy as np

import _util
from ostrel import track
from ostrel.demo.symsync import timing_signal
from ostrel.telemetry import Telemetry

N = 1 << 20
BLOCK = 1 << 14  # samples per steps call
SPS = (2, 4, 8)
TEDS = ("gardner", "dttl")

LIQUID_SRC = r"""
#include <complex.h>
#include <liquid/liquid.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

static double cpu(void) {
    struct timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec + 1e-9 * t.tv_nsec;
}

/* usage: symsync_liquid FILE N SPS ROUNDS; FILE holds N complex64 samples. Prints samples/s. */
int main(int argc, char **argv) {
    unsigned n = (unsigned)atoi(argv[2]), k = (unsigned)atoi(argv[3]), rounds = (unsigned)atoi(argv[4]);
    float complex *x = malloc(n * sizeof *x), *y = malloc((n + 64) * sizeof *y);
    FILE *f = fopen(argv[1], "rb");
    if (!f || fread(x, sizeof *x, n, f) != n) return 1;
    fclose(f);
    symsync_crcf q = symsync_crcf_create_rnyquist(LIQUID_FIRFILT_RRC, k, 3, 0.35f, 32);
    symsync_crcf_set_lf_bw(q, 0.02f);
    double best = 1e30;
    for (unsigned r = 0; r <= rounds; r++) {
        double t0 = cpu();
        for (unsigned i = 0; i < n; i += 65536) {
            unsigned ny, len = n - i < 65536 ? n - i : 65536;
            symsync_crcf_execute(q, x + i, len, y, &ny);
        }
        double dt = cpu() - t0;
        if (r && dt < best) best = dt; /* round 0 warms up */
    }
    printf("%.6e\n", n / best);
    symsync_crcf_destroy(q);
    return 0;
}
"""

GNURADIO_SRC = r"""
import sys, time
import numpy as np
from gnuradio import blocks, digital, gr

path, n, reps = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
x = np.fromfile(path, np.complex64)
for arg in sys.argv[4:]:
    sps, ted = int(arg.split(":")[0]), arg.split(":")[1]

    def graph(with_sync):
        tb = gr.top_block()
        src = blocks.vector_source_c(x, True)
        head = blocks.head(gr.sizeof_gr_complex, n * reps)
        snk = blocks.null_sink(gr.sizeof_gr_complex)
        if with_sync:
            kind = digital.TED_GARDNER if ted == "gardner" else digital.TED_ZERO_CROSSING
            sync = digital.symbol_sync_cc(kind, sps, 0.045, 1.0, 1.0, 1.5, 1,
                                          digital.constellation_qpsk().base(),
                                          digital.IR_MMSE_8TAP, 128, [])
            tb.connect(src, head, sync, snk)
        else:
            tb.connect(src, head, snk)
        return tb

    best = {}
    for with_sync in (False, True):
        t = []
        for _ in range(3):
            tb = graph(with_sync)
            t0 = time.process_time()
            tb.run()
            t.append(time.process_time() - t0)
        best[with_sync] = min(t)
    print(arg, n * reps / max(best[True] - best[False], 1e-9))
"""


def _thread_rate(call, items: int, rounds: int) -> float:
    call()
    best = float("inf")
    for _ in range(rounds):
        t0 = time.thread_time()
        call()
        best = min(best, time.thread_time() - t0)
    return items / best


def _block_rate(sync, x: np.ndarray, out: np.ndarray, rounds: int, drain=None) -> float:
    """samples/s of ``sync.steps`` over ``x`` fed in BLOCK-sample calls: the best of ``rounds``
    passes, each the sum of the calls' thread CPU times; ``drain`` (the telemetry reader's
    work) runs between calls, outside the timing."""
    best = float("inf")
    for r in range(rounds + 1):
        total = 0.0
        for a in range(0, len(x), BLOCK):
            t0 = time.thread_time()
            sync.steps(x[a:a + BLOCK], out=out)
            total += time.thread_time() - t0
            if drain:
                drain()
        if r:  # the first pass warms up
            best = min(best, total)
    return len(x) / best


def liquid_rates(paths: dict, n: int, rounds: int) -> dict:
    """samples/s of liquid-dsp's synchroniser per samples-per-symbol, {} when unavailable."""
    with _util.liquid_program(LIQUID_SRC, opt="-O2") as exe:
        if exe is None:
            return {}
        rates = {}
        for sps, path in paths.items():
            out = subprocess.run([str(exe), path, str(n), str(sps), str(rounds)],
                                 capture_output=True, text=True)
            if out.returncode == 0:
                rates[sps] = float(out.stdout)
        return rates


def gnuradio_rates(paths: dict, n: int, reps: int) -> dict:
    rates = {}
    for sps, path in paths.items():
        out = _util.run_gnuradio(GNURADIO_SRC, path, n, reps, *(f"{sps}:{ted}" for ted in TEDS))
        for line in (out.stdout.splitlines() if out else []):
            key, value = line.split()
            s, ted = key.split(":")
            rates[(int(s), ted)] = float(value)
    return rates


def common_sample_cycles(rounds: int) -> float:
    """Cycles of a sample that crosses neither strobe, from runs at 64 and 256 samples/symbol."""
    hz = _util.cpu_hz()
    cyc = {}
    for sps in (64, 256):
        x, _ = timing_signal(N // sps + 30, sps, esn0_db=20, seed=2)
        x = x[: (len(x) // 1024) * 1024]
        s, out = track.SymbolSync(sps=sps), np.empty(len(x), np.complex64)
        cyc[sps] = hz / _thread_rate(lambda: s.steps(x, out=out), len(x), rounds)
    return (256 * cyc[256] - 64 * cyc[64]) / 192


def run(quick: bool) -> list[dict]:
    n = (1 << 16) if quick else N
    rounds = 5 if quick else 15
    hz = _util.cpu_hz()
    rows, signals, paths = [], {}, {}
    with tempfile.TemporaryDirectory() as tmp:
        for sps in SPS:
            x, _ = timing_signal(int(n / sps * 1.001) + 30, sps, esn0_db=20, seed=1)
            signals[sps] = x[:n]
            assert len(signals[sps]) == n
            paths[sps] = str(pathlib.Path(tmp) / f"x{sps}.cf32")
            signals[sps].tofile(paths[sps])
        gr = gnuradio_rates(paths, n, 2 if quick else 4)
        liq = liquid_rates(paths, n, rounds)

    out = np.empty(BLOCK, np.complex64)
    for sps in SPS:
        x = signals[sps]
        for ted in TEDS:
            ours = _block_rate(track.SymbolSync(sps=sps, ted=ted), x, out, rounds)
            # One block's records (5 per symbol) fit the ring; the reader drains it between calls.
            tlm = Telemetry(1 << 16)
            attached = track.SymbolSync(sps=sps, ted=ted)
            attached.set_telemetry(tlm, "sync")
            with_tlm = _block_rate(attached, x, out, rounds, drain=tlm.read)
            assert tlm.dropped == 0
            attached.set_telemetry(None, "sync")
            tlm.close()
            extra = {}
            peer_gr = gr.get((sps, ted))
            if liq.get(sps):
                extra = dict(liquid_dsp=liq[sps], ratio_liquid=ours / liq[sps],
                             liquid_cycles_per_sample=hz / liq[sps])
            if peer_gr:
                extra["peer_cycles_per_sample"] = hz / peer_gr
            rows.append(_util.row(f"SymbolSync sps={sps} {ted}", ours,
                                  peer=f"GNU Radio symbol_sync_cc ({'Gardner' if ted == 'gardner' else 'zero-crossing'})",
                                  peer_value=peer_gr, **extra))
            rows.append(_util.row(f"SymbolSync sps={sps} {ted} + telemetry", with_tlm,
                                  overhead_pct=100.0 * (ours / with_tlm - 1.0)))
    rows.append(_util.row("SymbolSync common sample (no strobe)", common_sample_cycles(rounds),
                          unit="cycles/sample"))
    return rows


if __name__ == "__main__":
    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
    _util.pin_one_core()
    for r in run("--quick" in sys.argv):
        print(r)
