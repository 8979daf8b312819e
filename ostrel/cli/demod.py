"""``ostrel demod``: demodulate a BPSK, QPSK or 8PSK signal of a recording to bits.

The toolkit's M-PSK receiver (matched down-converter at --carrier, timing recovery at
--symbol-rate, carrier recovery, Gray demapping) runs over the whole recording; a real
recording uses the real-input receiver. Bits go to -o, one per byte (0/1) or, with --packed,
eight per byte (first bit in the most significant position). Absolute (non --differential)
demodulation keeps the carrier loop's M-fold phase ambiguity: resolve it with your frame
format, or use --differential on differentially encoded signals.

The report: lock time, the tracked carrier and symbol rate (clock offset in ppm), the
modulation error ratio after lock, and, when the recording's annotations describe the burst
(recordings written by 'ostrel synth' do), the bit error rate against that truth, with the
phase ambiguity resolved. --png draws the constellation after lock (the [plot] extra)."""

from __future__ import annotations

import contextlib
import math

import numpy as np

from . import adapters
from .common import (AtomicFile, UserError, f1, fint, fmt_hz, fyes, output_path,
                     progress_bar, require_matplotlib)
from .truth import MODS, Demapper, BerCounter, phase_offset

EXAMPLES = """\
examples:
  ostrel demod demo --mod qpsk --symbol-rate 50k --carrier 100k --rrc 0.35 -o demo.bits
  ostrel demod demo --mod bpsk --symbol-rate 25k --carrier -150k --rrc 0.5 --png const.png
  ostrel demod chan.sigmf-meta --mod qpsk --symbol-rate 50k --rrc 0.35 --packed -o chan.bin"""

SETTLE = 64  # symbols after the lock decision before quality and BER are counted
CONSTELLATION = 4096  # symbols kept for the plot


def add_arguments(p) -> None:
    from .common import hz_arg, positive_hz_arg

    g = p.add_argument_group("signal")
    g.add_argument("--mod", choices=list(MODS), required=True, help="modulation")
    g.add_argument("--symbol-rate", type=positive_hz_arg, required=True, metavar="R",
                   help="symbol rate, Bd (Hz)")
    g.add_argument("--carrier", type=hz_arg, default=0.0, metavar="F",
                   help="carrier, Hz offset from the recording's centre (default 0)")
    g.add_argument("--rrc", type=float, metavar="BETA",
                   help="root-raised-cosine matched filter of roll-off BETA (default: "
                        "integrate-and-dump, for rectangular pulses)")
    g.add_argument("--differential", action="store_true", help="differential demapping")
    for loop in ("carrier", "timing"):
        g.add_argument(f"--bn-{loop}", type=float, default=0.01, metavar="BN",
                       help=f"{loop} loop noise bandwidth, normalised to the symbol rate (default 0.01)")
    o = p.add_argument_group("files")
    o.add_argument("-o", "--output", metavar="BITS", help="bits file ({stem} is replaced by the "
                                                          "recording's name)")
    o.add_argument("--packed", action="store_true", help="eight bits per byte instead of one")
    o.add_argument("--png", metavar="PATH", help="constellation plot")


def prepare(args) -> None:
    if args.png:
        require_matplotlib()
    if args.rrc is not None and not 0 <= args.rrc <= 1:
        raise UserError("--rrc must lie between 0 and 1")
    for name in ("bn_carrier", "bn_timing"):
        v = getattr(args, name)
        if not (0 <= v < 0.5):
            raise UserError(f"--{name.replace('_', '-')} must lie in [0, 0.5)")


def outputs(args, path: str, several: bool) -> list:
    return [p for p in (output_path(args.output, path, several, "-o"),
                        output_path(args.png, path, several, "--png")) if p is not None]


def find_truth(rec, m: int, carrier: float, symbol_rate: float) -> dict | None:
    """The annotated burst this demodulation is about: same order, symbol rate within 1 %,
    carrier within half a symbol rate; the nearest one wins."""
    best = None
    for a in rec.annotations:
        if a.get("ostrel:kind") != "psk" or a.get("ostrel:m") != m:
            continue
        try:
            f, r = float(a["ostrel:freq_offset_hz"]), float(a["ostrel:symbol_rate"])
            float(a["ostrel:first_symbol_sample"]), int(a["ostrel:symbols"])
        except (KeyError, TypeError, ValueError):
            continue
        if abs(r / symbol_rate - 1) > 0.01 or abs(f - carrier) > 0.5 * symbol_rate:
            continue
        if a.get("ostrel:prbs") not in ("prbs15",):
            continue
        if best is None or abs(f - carrier) < abs(best["ostrel:freq_offset_hz"] - carrier):
            best = a
    return best


class Quality:
    """Modulation error ratio after lock, decision-directed, in constant memory."""

    def __init__(self, m: int):
        self.points = np.exp(1j * (phase_offset(m) + 2 * np.pi * np.arange(m) / m))
        self.n = 0
        self.s2 = self.proj = 0.0
        self.ring = np.zeros(CONSTELLATION, np.complex64)
        self.fill = 0

    def add(self, sym: np.ndarray, idx: np.ndarray) -> None:
        if not len(sym):
            return
        s = sym.astype(np.complex128)
        self.s2 += float(np.sum(s.real ** 2 + s.imag ** 2))
        self.proj += float(np.sum((s * np.conj(self.points[idx])).real))
        self.n += len(s)
        tail = sym[-CONSTELLATION:]
        pos = self.fill % CONSTELLATION
        first = min(len(tail), CONSTELLATION - pos)
        self.ring[pos:pos + first] = tail[:first]
        self.ring[:len(tail) - first] = tail[first:]
        self.fill += len(tail)

    def mer_db(self) -> float | None:
        if self.n < 16:
            return None
        a = self.proj / self.n
        err = self.s2 / self.n - a * a
        return 10 * math.log10(a * a / err) if err > 0 and a > 0 else None

    def constellation(self) -> np.ndarray:
        return self.ring[: min(self.fill, CONSTELLATION)]


def run(rec, args, progress: bool) -> dict:
    m = MODS[args.mod]
    real = not rec.fmt.complex
    fs, R = rec.fs, args.symbol_rate
    lo, hi = (0.0, fs / 2) if real else (-fs / 2, fs / 2)
    if not lo < args.carrier < hi:
        raise UserError(f"--carrier {args.carrier:g} Hz lies outside the recording's band "
                        f"({fmt_hz(lo)} .. {fmt_hz(hi)})")
    rx = adapters.receiver(m, fs, R, args.carrier, args.rrc, args.differential, real,
                           args.bn_carrier, args.bn_timing)
    truth = find_truth(rec, m, args.carrier, R)
    ber = None
    if truth is not None:
        sps_t = float(truth["ostrel:samples_per_symbol"])
        t0 = float(truth["ostrel:first_symbol_sample"])
        ber = BerCounter(m, args.differential, truth["ostrel:prbs"], int(truth["ostrel:symbols"]),
                         expect=-int(round(t0 / sps_t)), search=None)
    demap, q = Demapper(m, args.differential), Quality(m)
    several = len(args.recordings) > 1
    out_path = output_path(args.output, rec.path, several, "-o")
    n_sym = n_bits = 0
    carry = np.zeros(0, np.uint8)
    with (AtomicFile(out_path) if out_path else contextlib.nullcontext()) as sink, \
            progress_bar(rec.n_samples, rec.data_path.name, progress) as bar:
        for x in rec.blocks(args.block, progress=bar):
            sym = rx.steps(x)
            idx = demap.indices(sym)
            bits = demap.bits(idx)
            n_bits += len(bits)
            if sink is not None:
                if args.packed:
                    bits = np.concatenate((carry, bits))
                    whole = len(bits) // 8 * 8
                    carry = bits[whole:]
                    bits = np.packbits(bits[:whole])
                sink.write(bits.tobytes())
            lt = rx.lock_time
            if lt >= 0:
                k0 = max(0, lt + SETTLE - n_sym)
                if k0 < len(sym):
                    q.add(sym[k0:], idx[k0:])
                    if ber is not None:
                        ber.push(n_sym + k0, idx[k0:])
            n_sym += len(sym)
        if sink is not None and args.packed and len(carry):
            sink.write(np.packbits(carry).tobytes())  # the last byte zero-padded
    if ber is not None:
        ber.finish()
    rate_est = fs / rx.timing_rate if rx.timing_rate > 0 else float("nan")
    lt = rx.lock_time
    r = {
        "receiver": type(rx).__name__, "mod": args.mod, "symbols": n_sym, "bits": n_bits,
        "locked": bool(rx.locked), "lock_time_symbols": lt if lt >= 0 else None,
        "lock_time_s": lt / R if lt >= 0 else None,
        "carrier_hz": rx.norm_freq * fs, "symbol_rate_est": rate_est,
        "clock_ppm_est": (rate_est / R - 1) * 1e6, "mer_db": q.mer_db(),
        "agc_gain_db": rx.agc_gain_db, "clipped": bool(rx.clipped), "output": str(out_path) if out_path else None,
    }
    if truth is not None:
        r.update({"truth": truth.get("core:label", "psk burst"),
                  "carrier_error_hz": r["carrier_hz"] - float(truth["ostrel:freq_offset_hz"]),
                  "clock_ppm_true": float(truth.get("ostrel:clock_ppm", float("nan"))),
                  "bits_compared": ber.bits, "bit_errors": ber.errors, "ber": ber.ber,
                  "rotation_deg": None if args.differential else ber.rotation * 360 / m})
    rx.destroy()
    if args.png:
        _plot(output_path(args.png, rec.path, several, "--png"), q.constellation(), m, r, rec)
    return r


COLUMNS = [("receiver", "receiver", str), ("symbols", "symbols", fint), ("locked", "locked", fyes),
           ("lock_time_s", "lock time", lambda v: f"{v * 1e3:.2f} ms"),
           ("carrier_hz", "carrier (offset)", lambda v: f"{v:+.1f} Hz"),
           ("symbol_rate_est", "symbol rate", lambda v: f"{v:.2f} Bd"),
           ("clock_ppm_est", "clock offset", lambda v: f"{v:+.1f} ppm"),
           ("mer_db", "MER (dB)", f1), ("agc_gain_db", "AGC gain (dB)", f1),
           ("ber", "BER", lambda v: f"{v:.3g}"), ("bit_errors", "bit errors", fint),
           ("bits_compared", "bits compared", fint)]


def details(r: dict):
    if r.get("truth"):
        yield (f"truth: {r['truth']}: carrier error {r['carrier_error_hz']:+.1f} Hz, clock "
               f"{r['clock_ppm_true']:+.1f} ppm"
               + (f", phase ambiguity resolved at {r['rotation_deg']:g} deg"
                  if r.get("rotation_deg") is not None else ""))
    else:
        yield "no truth in the annotations for this signal: no BER"
    if r.get("output"):
        yield f"bits written to {r['output']}"


def _plot(path, pts, m, r, rec) -> None:
    from .common import pyplot

    plt = pyplot()
    fig, ax = plt.subplots(figsize=(5.5, 5.5))
    if len(pts):
        a = np.sqrt(np.mean(np.abs(pts) ** 2))
        ax.plot(pts.real / a, pts.imag / a, ".", ms=2, alpha=0.5)
    ideal = np.exp(1j * (phase_offset(m) + 2 * np.pi * np.arange(m) / m))
    ax.plot(ideal.real, ideal.imag, "+", color="tab:red", ms=12)
    ax.set_aspect("equal")
    ax.set_xlim(-1.8, 1.8)
    ax.set_ylim(-1.8, 1.8)
    ax.grid(alpha=0.3)
    mer = f"MER {r['mer_db']:.1f} dB" if r.get("mer_db") is not None else "not locked"
    ax.set_title(f"{rec.data_path.name}: {r['mod']}, {mer}" + (
        f", BER {r['ber']:.2g}" if r.get("ber") is not None else ""), fontsize=9)
    fig.tight_layout()
    tmp = path.with_name(f".{path.name}.part.png")
    fig.savefig(tmp, dpi=110)
    plt.close(fig)
    tmp.replace(path)

