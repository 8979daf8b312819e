"""Bursts made by GNU Radio's own modulator, for the demodulator's tests: signals nobody on
this project synthesised.

Run under the system interpreter that carries GNU Radio (not the project's virtual environment):

    python3 gr_bursts.py OUT.cf32 MOD SPS SYMBOLS BURSTS NOISE_SAMPLES GAP_SAMPLES OFFSET ESN0_DB SEED

writes OUT.cf32 (complex float32, through blocks.file_sink): NOISE_SAMPLES of noise alone, then
BURSTS bursts of SYMBOLS random symbols each, modulated by digital.generic_mod (RRC, roll-off
0.35, SPS samples per symbol) and turned by a carrier of OFFSET cycles per sample
(blocks.rotator_cc), separated by GAP_SAMPLES exact zeros; white noise of Es/N0 ESN0_DB over the
noise prefix and the bursts (BURSTS 0: NOISE_SAMPLES of unit-power noise alone). OUT.json gives
each burst's first sample, its sample count and its symbols as constellation phases in units of
2 pi / M from the first point at 0 degrees (BPSK) or 45 degrees (QPSK).
"""

import json
import sys

import numpy as np
from gnuradio import blocks, digital, gr


def modulate(mod: str, sps: int, n_sym: int, offset: float, rng) -> tuple:
    """One burst through generic_mod: (samples, symbol phases)."""
    const = digital.constellation_qpsk() if mod == "qpsk" else digital.constellation_bpsk()
    k = const.bits_per_symbol()
    bits = rng.integers(0, 2, n_sym * k).astype(np.uint8)
    tb = gr.top_block()
    src = blocks.vector_source_b(np.packbits(bits).tolist(), False)
    mod_blk = digital.generic_mod(const, differential=False, samples_per_symbol=sps, pre_diff_code=True,
                                  excess_bw=0.35)
    rot = blocks.rotator_cc(2 * np.pi * offset)
    sink = blocks.vector_sink_c()
    tb.connect(src, mod_blk, rot, sink)
    tb.run()
    x = np.array(sink.data(), np.complex64)
    # The symbols sent, from the same bits: generic_mod unpacks MSB first, k bits per symbol,
    # maps them through the constellation's pre-differential code and its points.
    b = bits.reshape(-1, k)
    value = (b * (1 << np.arange(k - 1, -1, -1))).sum(axis=1)
    code = np.array(const.pre_diff_code()) if const.apply_pre_diff_code() else np.arange(2 ** k)
    pts = np.array(const.points())[code[value]]
    base = np.pi / 4 if mod == "qpsk" else 0.0
    m = 2 ** k
    phases = np.round((np.angle(pts) - base) / (2 * np.pi / m)).astype(int) % m
    return x, phases


def main() -> None:
    out, mod = sys.argv[1], sys.argv[2]
    sps, n_sym, n_bursts, n_noise, gap = (int(v) for v in sys.argv[3:8])
    offset, esn0_db, seed = float(sys.argv[8]), float(sys.argv[9]), int(sys.argv[10])
    rng = np.random.default_rng(seed)
    parts, meta, pos = [], [], 0
    noise_std = None if n_bursts else np.sqrt(0.5)  # noise alone: unit power
    if not n_bursts:
        parts.append((noise_std * (rng.standard_normal(n_noise) + 1j * rng.standard_normal(n_noise)))
                     .astype(np.complex64))
    for i in range(n_bursts):
        x, phases = modulate(mod, sps, n_sym, offset, rng)
        if noise_std is None:  # Es/N0 from the first burst's power over its symbols
            es = np.sum(np.abs(x) ** 2) / n_sym
            noise_std = np.sqrt(es / 10 ** (esn0_db / 10) / 2)
            pre = noise_std * (rng.standard_normal(n_noise) + 1j * rng.standard_normal(n_noise))
            parts.append(pre.astype(np.complex64))
            pos += n_noise
        elif gap:
            parts.append(np.zeros(gap, np.complex64))
            pos += gap
        x = x + noise_std * (rng.standard_normal(len(x)) + 1j * rng.standard_normal(len(x)))
        parts.append(x.astype(np.complex64))
        meta.append({"start": pos, "samples": len(x), "phases": phases.tolist()})
        pos += len(x)
    y = np.concatenate(parts).astype(np.complex64)
    tb = gr.top_block()
    tb.connect(blocks.vector_source_c(y.tolist(), False), blocks.file_sink(gr.sizeof_gr_complex, out, False))
    tb.run()
    with open(out.rsplit(".", 1)[0] + ".json", "w") as f:
        json.dump({"gnuradio": gr.version(), "mod": mod, "sps": sps, "bursts": meta}, f)


if __name__ == "__main__":
    main()
