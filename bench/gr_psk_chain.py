"""GNU Radio's M-PSK receive chain on recordings given as files, for bench_psk_demod.py.

Run under the system interpreter that carries GNU Radio (not the project's virtual environment):
``python3 gr_psk_chain.py JOBS.json`` where the file lists runs
``{"in": X.cf32, "out": Y.cf32, "m": M, "sps": SPS, "config": "stock" | "tuned" | {settings}}``;
each run
streams the input file through

    agc2_cc -> symbol_sync_cc (polyphase matched filter, RRC 0.35, 128 arms, ML TED)
            -> costas_loop_cc (order M) -> file_sink

and writes the symbols. ``python3 gr_psk_chain.py --time IN.cf32 SPS`` prints one JSON line with
the process CPU time of the chain and of the bare flowgraph (file source -> null sink) on that
file, best of three, pinned to one core.

Settings: "stock" are the values GNU Radio's own examples and block defaults use (AGC attack
0.1, decay 0.01; timing loop bandwidth 0.045, damping 1, TED gain 1, deviation 1.5; Costas
bandwidth 2 pi / 100); "tuned" the best of a sweep on these signals, per order and oversampling (TUNED).
"""

import json
import math
import os
import sys
import time

from gnuradio import analog, blocks, digital, gr
from gnuradio.filter import firdes

NFILTS = 128
SPAN = 11  # matched filter length in symbols (GNU Radio's examples: 11 x sps x nfilts taps)
STOCK = dict(attack=1e-1, decay=1e-2, sync_bw=0.045, costas_bw=2 * math.pi / 100)
# The best of a sweep (AGC attack/decay 1e-1/1e-2 and 1e-2/1e-3; timing loop 0.045, 0.02, 0.01;
# Costas 2 pi / 100, / 200, / 400) on the benchmark's signals (offset 1e-3 cycles per sample, 50 ppm,
# 8000 symbols, errors from symbol 2000 at two Eb/N0 near BER 1e-3), per order and samples per symbol.
TUNED = {(2, 8): (1e-2, 1e-3, 0.045, 100), (4, 8): (1e-2, 1e-3, 0.045, 400), (8, 8): (1e-2, 1e-3, 0.045, 200),
         (2, 4): (1e-1, 1e-2, 0.02, 200), (4, 4): (1e-2, 1e-3, 0.02, 400), (8, 4): (1e-2, 1e-3, 0.045, 400)}


def tuned(m: int, sps: float) -> dict:
    key = (m, 4 if sps < 6 else 8)
    attack, decay, sync_bw, div = TUNED[key]
    return dict(attack=attack, decay=decay, sync_bw=sync_bw, costas_bw=2 * math.pi / div)


def chain(tb, src, snk, m: int, sps: float, config) -> None:
    if isinstance(config, dict):
        c = {**STOCK, **config}
    else:
        c = STOCK if config == "stock" else tuned(m, sps)
    taps = firdes.root_raised_cosine(NFILTS, NFILTS * sps, 1.0, 0.35, int(SPAN * sps * NFILTS))
    agc = analog.agc2_cc(c["attack"], c["decay"], 1.0, 1.0)
    sync = digital.symbol_sync_cc(digital.TED_SIGNAL_TIMES_SLOPE_ML, sps, c["sync_bw"], 1.0, 1.0, 1.5, 1,
                                  digital.constellation_bpsk().base(), digital.IR_PFB_MF, NFILTS, taps)
    costas = digital.costas_loop_cc(c["costas_bw"], m, False)
    tb.connect(src, agc, sync, costas, snk)


def run_jobs(path: str) -> None:
    jobs = json.load(open(path))
    for j in jobs:
        tb = gr.top_block()
        src = blocks.file_source(gr.sizeof_gr_complex, j["in"], False)
        snk = blocks.file_sink(gr.sizeof_gr_complex, j["out"], False)
        chain(tb, src, snk, j["m"], j["sps"], j["config"])
        tb.run()
        snk.close()
    print(json.dumps({"runs": len(jobs), "gnuradio": gr.version()}))


def timed(path: str, sps: float, full: bool) -> float:
    tb = gr.top_block()
    src = blocks.file_source(gr.sizeof_gr_complex, path, False)
    snk = blocks.null_sink(gr.sizeof_gr_complex)
    if full:
        chain(tb, src, snk, 4, sps, "tuned")
    else:
        tb.connect(src, snk)
    t0 = time.process_time()  # all threads of the process; pinned to one core
    tb.run()
    return time.process_time() - t0


def main() -> None:
    if sys.argv[1] == "--time":
        os.sched_setaffinity(0, {sorted(os.sched_getaffinity(0))[0]})
        path, sps = sys.argv[2], float(sys.argv[3])
        n = os.path.getsize(path) // 8
        chain_s = min(timed(path, sps, True) for _ in range(3))
        base_s = min(timed(path, sps, False) for _ in range(3))
        print(json.dumps({"n": n, "chain_s": chain_s, "base_s": base_s, "gnuradio": gr.version()}))
    else:
        run_jobs(sys.argv[1])


if __name__ == "__main__":
    main()
