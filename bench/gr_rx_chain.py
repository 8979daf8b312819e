"""The GNU Radio chain the receiver benchmark compares against: AGC, polyphase matched-filter
symbol synchroniser and Costas loop on QPSK at 8 samples per symbol, one core.

Run by bench_rx.py under the system interpreter that carries GNU Radio (not the project's
virtual environment): ``python3 gr_rx_chain.py N SPAN`` prints one JSON line with the process
CPU time of the chain (AGC -> pfb_clock_sync_ccf -> costas_loop_cc) and of the bare flowgraph
(source -> sink) over N samples, best of three runs each. The difference is the chain's cost net
of the framework (scheduler, buffers, source and sink).
"""

import json
import os
import sys
import time

import numpy as np
from gnuradio import analog, blocks, digital, gr
from gnuradio.filter import firdes

SPS = 8
NFILTS = 32


def signal(n: int) -> np.ndarray:
    rng = np.random.default_rng(0)
    sym = np.exp(2j * np.pi * (rng.integers(0, 4, n // SPS + 1) / 4 + 1 / 8))
    noise = 0.05 * (rng.standard_normal(n) + 1j * rng.standard_normal(n))
    return (np.repeat(sym, SPS)[:n] + noise).astype(np.complex64)


def run_once(x: np.ndarray, chain: bool, span: float) -> float:
    tb = gr.top_block()
    src = blocks.vector_source_c(x, False)
    snk = blocks.null_sink(gr.sizeof_gr_complex)
    if chain:
        taps = firdes.root_raised_cosine(NFILTS, NFILTS * SPS, 1.0, 0.35, int(2 * span * SPS * NFILTS) + 1)
        agc = analog.agc2_cc(1e-3, 1e-4, 1.0, 1.0)
        sync = digital.pfb_clock_sync_ccf(SPS, 2 * np.pi / 100, taps, NFILTS, NFILTS // 2, 1.5, 1)
        costas = digital.costas_loop_cc(2 * np.pi / 100, 4, False)
        tb.connect(src, agc, sync, costas, snk)
    else:
        tb.connect(src, snk)
    t0 = time.process_time()  # all threads of the process; pinned to one core
    tb.run()
    return time.process_time() - t0


def main() -> None:
    os.sched_setaffinity(0, {sorted(os.sched_getaffinity(0))[0]})
    n, span = int(sys.argv[1]), float(sys.argv[2])
    x = signal(n)
    chain = min(run_once(x, True, span) for _ in range(3))
    base = min(run_once(x, False, span) for _ in range(3))
    print(json.dumps({"n": n, "chain_s": chain, "base_s": base, "gnuradio": gr.version()}))


if __name__ == "__main__":
    main()
