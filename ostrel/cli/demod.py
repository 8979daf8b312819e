"""``ostrel demod``: demodulate a BPSK, QPSK or 8PSK signal of a recording to bits.

The toolkit's M-PSK receiver (matched down-converter at --carrier, timing recovery at
--symbol-rate, carrier recovery, Gray demapping) runs over the whole recording; a real
recording uses the real-input receiver (--carrier is then the IF, 0 .. fs/2). Bits go to -o,
one per byte (0/1) or, with --packed, eight per byte (first bit in the most significant
position), for every symbol from the start of the recording. Absolute (non --differential)
demodulation keeps the carrier loop's M-fold phase ambiguity: resolve it with your frame
format, or use --differential on differentially encoded signals.

Acquisition: the carrier loop alone pulls in only small offsets (m x offset per symbol x
--rrc-span below about a quarter cycle, and slowly). So the command first finds where the
signal shows and its carrier offset from --carrier, within +-(--search): the spectrum of the
M-th power of the channel (which strips the modulation) over windows of 1024 symbols holds a
line at M times the offset. The receiver is re-tuned to that estimate just before the signal
starts. The search stops once it has its estimate (a few windows into the signal); where the
signal never shows it runs to the end of the recording, which takes about as long again as
the demodulation. --search 0 skips it and starts the loop at --carrier.

The report: the acquired offset, lock time (first lock; the instant in the recording and, when
the annotations describe the signal, in symbols after its first symbol), the carrier and symbol
rate the loops track while locked (clock offset in ppm against --symbol-rate), the modulation
error ratio while locked, and, when the recording's annotations describe the burst (recordings
written by 'ostrel synth' do), the bit error rate against that truth, with the phase ambiguity
resolved. --png draws the constellation after lock (the [plot] extra)."""

from __future__ import annotations

import contextlib
import math

import numpy as np

from . import acquire, adapters
from .common import (AtomicFile, UserError, f1, fint, fmt_hz, fyes, output_path,
                     require_matplotlib)
from .live import input_progress
from .truth import BITS_PER_SYMBOL, MODS, Demapper, BerCounter, phase_offset

EXAMPLES = """\
examples:
  ostrel demod demo --mod qpsk --symbol-rate 50k --carrier 100k --rrc 0.35 -o demo.bits
  ostrel demod demo --mod bpsk --symbol-rate 25k --carrier -150k --rrc 0.5 --png const.png
  ostrel demod chan.sigmf-meta --mod qpsk --symbol-rate 50k --rrc 0.35 --packed -o chan.bin
  ostrel demod if.sigmf-meta --mod 8psk --symbol-rate 10k --carrier 250k --lock-thresh 0.2

A negative value may follow its option (--carrier -150k) or be attached (--carrier=-150k)."""

SETTLE = 64  # symbols after the lock decision before quality and BER are counted
CONSTELLATION = 4096  # symbols kept for the plot
# Symbols per receiver call: lock and estimates are read between calls. Not a whole number, so
# the symbol count read at the calls' ends does not round the same way every time.
STEP_SYMBOLS = 256.618


def add_arguments(p) -> None:
    from .common import hz_arg, positive_hz_arg

    g = p.add_argument_group("signal")
    g.add_argument("--mod", choices=list(MODS), required=True, help="modulation")
    g.add_argument("--symbol-rate", type=positive_hz_arg, required=True, metavar="R",
                   help="symbol rate, Bd (Hz)")
    g.add_argument("--carrier", type=hz_arg, default=0.0, metavar="F",
                   help="carrier, Hz offset from the recording's centre (default 0); the IF "
                        "(0 .. fs/2) of a real recording")
    g.add_argument("--rrc", type=float, metavar="BETA",
                   help="root-raised-cosine matched filter of roll-off BETA (default: "
                        "integrate-and-dump, for rectangular pulses)")
    g.add_argument("--differential", action="store_true", help="differential demapping")
    r = p.add_argument_group("receiver")
    r.add_argument("--search", type=hz_arg, metavar="HZ",
                   help="coarse carrier search range around --carrier (default: half the "
                        "symbol rate, less for 8PSK at low oversampling; 0: none)")
    r.add_argument("--rrc-span", type=int, default=4, metavar="N",
                   help="matched filter half-length, symbols (default 4: plenty for roll-offs "
                        ">= 0.25, and a short filter delays the carrier loop less)")
    for loop in ("carrier", "timing"):
        r.add_argument(f"--bn-{loop}", type=float, default=0.01, metavar="BN",
                       help=f"{loop} loop noise bandwidth, normalised to the symbol rate (default "
                            "0.01; wider acquires faster, narrower jitters less)")
    r.add_argument("--lock-thresh", type=float, default=0.0, metavar="T",
                   help="carrier lock threshold on the lock indicator, 0 .. 1 (default: the "
                        "receiver's 0.5); lower it for 8PSK below about 15 dB Es/N0")
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
        if not (0 < v < 0.5):
            raise UserError(f"--{name.replace('_', '-')} must lie in (0, 0.5)")
    if not 1 <= args.rrc_span <= 64:
        raise UserError("--rrc-span must lie between 1 and 64 symbols")
    if not 0 <= args.lock_thresh < 1:
        raise UserError("--lock-thresh must lie in [0, 1) (0: the receiver's default)")
    if args.search is not None and args.search < 0:
        raise UserError("--search must not be negative (0 turns the carrier search off)")


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
    """Modulation error ratio while locked, decision-directed, in constant memory.

    A receiver step (about STEP_SYMBOLS symbols) counts when the receiver held lock at its end
    and at the end of the next one: the lock drops only some 32 symbols after a burst ends, so
    a step that ends still locked may hold the noise after the burst; the next step's lock
    proves it did not. Each step's symbols are referred to their own mean amplitude, so the
    AGC's slow settling after a burst starts is not counted as modulation error. The plot keeps
    the last CONSTELLATION counted symbols, scaled the same way."""

    def __init__(self, m: int):
        self.points = np.exp(1j * (phase_offset(m) + 2 * np.pi * np.arange(m) / m))
        self.point_re = self.points.real.astype(np.float32)
        self.point_im = self.points.imag.astype(np.float32)
        self.n = 0
        self.signal = self.error = 0.0
        self.ring = np.zeros(CONSTELLATION, np.complex64)
        self.fill = 0
        self.held = None  # (symbols, indices, locked) of the last step, decided by the next

    def feed(self, sym: np.ndarray, idx: np.ndarray, steps: list) -> None:
        """The symbols of one block, their decisions and its steps (start, stop, locked)."""
        steps = [st for st in steps if st[1] > st[0]]
        if self.held is not None:
            hs, hi, hok = self.held
            k = len(hs)
            sym, idx = np.concatenate((hs, sym)), np.concatenate((hi, idx))
            steps = [(0, k, hok)] + [(a + k, b + k, ok) for a, b, ok in steps]
        if not steps:
            return
        last = steps[-1][0]
        self.held = (sym[last:].copy(), idx[last:].copy(), steps[-1][2])
        counted = [ok and nxt for (_, _, ok), (_, _, nxt) in zip(steps, steps[1:])]
        if any(counted):
            self._add(sym[:last], idx[:last], np.array([a for a, _, _ in steps[:-1]], np.int64),
                      np.array(counted, np.bool_))

    def finish(self) -> None:
        """The recording ended: its last step counts when it ended locked."""
        if self.held is not None and self.held[2]:
            self._add(self.held[0], self.held[1], np.zeros(1, np.int64), np.ones(1, np.bool_))
        self.held = None

    def _add(self, sym: np.ndarray, idx: np.ndarray, starts: np.ndarray, good: np.ndarray) -> None:
        """``starts`` the first symbol of each step (ascending), ``good`` which of them count."""
        re, im = sym.real, sym.imag
        proj = re * self.point_re[idx] + im * self.point_im[idx]
        power = re * re + im * im
        sp = np.add.reduceat(proj, starts, dtype=np.float64)[good]  # per-step sums
        sw = np.add.reduceat(power, starts, dtype=np.float64)[good]
        bounds = np.append(starts, len(sym))
        n = np.diff(bounds)[good].astype(np.float64)
        a = sp / n
        ok = a > 0
        # sum |s - a p|^2 over a step = sum |s|^2 - n a^2 when a is the step's mean projection
        self.signal += float(np.sum((n * a * a)[ok]))
        self.error += float(np.sum((sw - n * a * a)[ok]))
        self.n += int(np.sum(n[ok]))
        tail, kept = [], 0
        for j, k in reversed(list(enumerate(np.flatnonzero(good)))):  # the last, for the plot
            if kept >= CONSTELLATION:
                break
            if a[j] > 0:
                lo, hi = bounds[k], bounds[k + 1]
                tail.append(sym[max(lo, hi - (CONSTELLATION - kept)):hi] / np.float32(a[j]))
                kept += len(tail[-1])
        for t in reversed(tail):
            self._keep(t.astype(np.complex64))

    def _keep(self, tail: np.ndarray) -> None:
        pos = self.fill % CONSTELLATION
        first = min(len(tail), CONSTELLATION - pos)
        self.ring[pos:pos + first] = tail[:first]
        self.ring[:len(tail) - first] = tail[first:]
        self.fill += len(tail)

    def mer_db(self) -> float | None:
        if self.n < 16 or not self.error > 0:
            return None
        return 10 * math.log10(self.signal / self.error)

    def constellation(self) -> np.ndarray:
        return self.ring[: min(self.fill, CONSTELLATION)]


class Estimates:
    """The lock instant and the loops' estimates, read between receiver calls of about
    STEP_SYMBOLS symbols. The symbol rate is the slope of the symbols produced against the
    input samples taken while the receiver holds lock (a least-squares line per locked
    stretch, pooled over the stretches), so it measures the recovered clock itself, whatever
    the loop's jitter; the step is not a whole number of symbols, so the count's rounding
    averages out. The carrier is the mean of the loop's readings while locked."""

    def __init__(self):
        self.lock_sample = None  # input sample of the first lock (within one symbol)
        self.freq_sum, self.freq_n = 0.0, 0
        self.sxx = self.sxy = 0.0  # pooled over closed stretches
        self.stretch: list | None = None  # [x0, y0, n, sx, sy, sxx, sxy] of the open stretch

    def update(self, rx, a: int, b: int, s0: int, s1: int) -> bool:
        """After input samples [a, b) produced receiver symbols [s0, s1); True when these
        symbols count as locked (lock held at the end, SETTLE symbols past the first lock)."""
        lt = rx.lock_time
        if self.lock_sample is None and 0 <= lt < s1:
            frac = (lt - s0 + 1) / max(s1 - s0, 1) if lt >= s0 else 0.0
            self.lock_sample = a + int(round(frac * (b - a)))
        if not (rx.locked and 0 <= lt and s1 >= lt + SETTLE):
            self._close()
            return False
        self.freq_sum += rx.norm_freq
        self.freq_n += 1
        st = self.stretch
        if st is None:
            self.stretch = [b, s1, 1, 0.0, 0.0, 0.0, 0.0]
        else:
            x, y = float(b - st[0]), float(s1 - st[1])
            st[2] += 1
            st[3] += x
            st[4] += y
            st[5] += x * x
            st[6] += x * y
        return True

    def _close(self) -> None:
        st, self.stretch = self.stretch, None
        if st is not None and st[2] >= 3:
            n, sx, sy, sxx, sxy = st[2:]
            self.sxx += sxx - sx * sx / n
            self.sxy += sxy - sx * sy / n

    def values(self, rx) -> tuple[float, float]:
        """(carrier in cycles per input sample, input samples per symbol); the loops' last
        readings when the receiver never held lock long enough."""
        self._close()
        freq = self.freq_sum / self.freq_n if self.freq_n else rx.norm_freq
        rate = self.sxx / self.sxy if self.sxy > 0 else rx.timing_rate
        return freq, rate


def _steps(n: int, step: int, cut: int | None):
    """Receiver calls over a block of n samples: (start, stop) pieces of ``step`` samples (the
    last one shorter), one of them starting at ``cut`` (the re-tuning point) when given."""
    bounds = list(range(0, n, step)) + [n]
    if cut is not None and cut not in bounds:
        bounds = sorted(bounds + [cut])
    return list(zip(bounds[:-1], bounds[1:]))


def run(rec, args, progress: bool) -> dict:
    m = MODS[args.mod]
    real = not rec.fmt.complex
    fs, R = rec.fs, args.symbol_rate
    lo, hi = (0.0, fs / 2) if real else (-fs / 2, fs / 2)
    if not lo < args.carrier < hi:
        raise UserError(f"--carrier {args.carrier:g} Hz lies outside the recording's band "
                        f"({fmt_hz(lo)} .. {fmt_hz(hi)})")
    sps = fs / R
    if sps < (4.5 if real else 2):
        raise UserError(f"--symbol-rate {fmt_hz(R)} leaves {sps:.3g} samples per symbol: the "
                        f"receiver needs {'more than 4 (real input)' if real else 'at least 2'}")
    rx = adapters.receiver(m, fs, R, args.carrier, args.rrc, args.differential, real,
                           args.bn_carrier, args.bn_timing, args.rrc_span, args.lock_thresh)
    finder = None
    try:
        search_hz = (acquire.default_search(fs, R, m, real) if args.search is None else args.search)
        if search_hz > 0:
            beta = args.rrc if args.rrc is not None else 1.0
            finder = acquire.CarrierSearch(rec, args.carrier, R, m, beta, search_hz)
        r, q, est = _demodulate(rec, args, rx, finder, m, progress)
    finally:
        rx.destroy()
        if finder is not None:
            finder.close()
    if args.png:
        several = len(args.recordings) > 1
        _plot(output_path(args.png, rec.path, several, "--png"), q.constellation(), m, r, rec)
    return r


def _demodulate(rec, args, rx, finder, m: int, progress: bool):
    fs, R = rec.fs, args.symbol_rate
    truth = find_truth(rec, m, args.carrier, R)
    ber = None
    if truth is not None:
        sps_t = float(truth["ostrel:samples_per_symbol"])
        t0 = float(truth["ostrel:first_symbol_sample"])
        ber = BerCounter(m, args.differential, truth["ostrel:prbs"], int(truth["ostrel:symbols"]),
                         expect=-int(round(t0 / sps_t)), search=None)
    demap, q, est = Demapper(m, args.differential), Quality(m), Estimates()
    out_path = output_path(args.output, rec.path, len(args.recordings) > 1, "-o")
    # receiver calls of STEP_SYMBOLS symbols, or a multiple when that is under 4096 samples
    sps = fs / R
    step = int(STEP_SYMBOLS * math.ceil(4096 / (STEP_SYMBOLS * sps)) * sps)
    block = step * max(1, args.block // step)  # steps on one grid whatever the block size
    n_sym = n_bits = pos = 0
    retune = None  # input sample where the receiver re-tunes to the acquired carrier
    carry = np.zeros(0, np.uint8)
    with (AtomicFile(out_path) if out_path else contextlib.nullcontext()) as sink, \
            input_progress(rec, progress) as bar:
        for x in rec.blocks(block, progress=bar):
            a = pos
            if finder is not None and not finder.done:
                # The search runs ahead of the receiver; the receiver re-tunes half a window
                # before the window where the signal showed (it may start inside it). That
                # point still lies ahead: one block earlier the search had not yet decided.
                finder.advance(a + len(x) + acquire.LOOKAHEAD * finder.window_in)
                if finder.result is not None:
                    retune = max(a, int(finder.result.sample - finder.window_in / 2))
            cut = None
            if retune is not None and a <= retune < a + len(x):
                cut, retune = retune - a, None
            syms, steps = [], []  # steps: (first, stop, locked) in the block's symbols
            s_block = n_sym
            for lo, hi in _steps(len(x), step, cut):
                if lo == cut:
                    rx.norm_freq = (args.carrier + finder.result.offset_hz) / fs
                s = rx.steps(x[lo:hi])
                syms.append(s)
                ok = est.update(rx, a + lo, a + hi, n_sym, n_sym + len(s))
                first = max(n_sym, rx.lock_time + SETTLE) if ok else n_sym  # not before lock
                steps.append((first - s_block, n_sym - s_block + len(s), ok))
                n_sym += len(s)
            pos = a + len(x)
            sym = np.concatenate(syms) if len(syms) > 1 else syms[0]
            idx = demap.indices(sym)
            if sink is None:
                n_bits += len(idx) * BITS_PER_SYMBOL[m]
            else:
                bits = demap.bits(idx)
                n_bits += len(bits)
                if args.packed:
                    bits = np.concatenate((carry, bits))
                    whole = len(bits) // 8 * 8
                    carry = bits[whole:]
                    bits = np.packbits(bits[:whole])
                sink.write(bits.tobytes())
            q.feed(sym, idx, steps)
            lt = rx.lock_time
            if lt >= 0 and ber is not None:
                k0 = max(0, lt + SETTLE - s_block)
                if k0 < len(sym):
                    ber.push(s_block + k0, idx[k0:])
        if sink is not None and args.packed and len(carry):
            sink.write(np.packbits(carry).tobytes())  # the last byte zero-padded
    q.finish()
    if ber is not None:
        ber.finish()
    freq, rate = est.values(rx)
    r = _report(rx, args, fs, R, n_sym, n_bits, freq, rate, est, finder, q, out_path)
    if truth is not None:
        sps_t = float(truth["ostrel:samples_per_symbol"])
        first = float(truth["ostrel:first_symbol_sample"])
        r.update({"truth": truth.get("core:label", "psk burst"),
                  "carrier_error_hz": r["carrier_hz"] - float(truth["ostrel:freq_offset_hz"]),
                  "clock_ppm_true": float(truth.get("ostrel:clock_ppm", float("nan"))),
                  "lock_after_symbols": (None if est.lock_sample is None
                                         else (est.lock_sample - first) / sps_t),
                  "bits_compared": ber.bits, "bit_errors": ber.errors, "ber": ber.ber,
                  "rotation_deg": None if args.differential else ber.rotation * 360 / m})
    return r, q, est


def _report(rx, args, fs, R, n_sym, n_bits, freq, rate, est, finder, q, out_path) -> dict:
    lt = rx.lock_time
    rate_est = fs / rate if rate > 0 else float("nan")
    acq = finder.result if finder is not None else None
    return {
        "receiver": type(rx).__name__, "mod": args.mod, "symbols": n_sym, "bits": n_bits,
        "search_hz": finder.search if finder is not None else 0.0,
        "search_window_s": finder.window_in / fs if finder is not None else None,
        "acquired_offset_hz": acq.offset_hz if acq else None,
        "acquired_at_s": acq.sample / fs if acq else None,
        "acquired_strength_db": acq.strength_db if acq else None,
        "lock_time_symbols": lt if lt >= 0 else None,
        "lock_sample": est.lock_sample, "lock_time_s": (None if est.lock_sample is None
                                                        else est.lock_sample / fs),
        "locked_at_end": bool(rx.locked),
        "carrier_hz": freq * fs, "symbol_rate_est": rate_est,
        "clock_ppm_est": (rate_est / R - 1) * 1e6, "mer_db": q.mer_db(),
        "agc_gain_db": rx.agc_gain_db, "clipped": bool(rx.clipped),
        "output": str(out_path) if out_path else None,
    }


COLUMNS = [("receiver", "receiver", str), ("symbols", "symbols", fint),
           ("acquired_offset_hz", "acquired offset", lambda v: f"{v:+.1f} Hz"),
           ("lock_time_s", "lock time", lambda v: f"{v * 1e3:.3f} ms"),
           ("lock_after_symbols", "lock after", lambda v: f"{v:.0f} symbols"),
           ("locked_at_end", "locked at end", fyes),
           ("carrier_hz", "carrier (offset)", lambda v: f"{v:+.1f} Hz"),
           ("symbol_rate_est", "symbol rate", lambda v: f"{v:.2f} Bd"),
           ("clock_ppm_est", "clock offset", lambda v: f"{v:+.1f} ppm"),
           ("mer_db", "MER (dB)", f1), ("agc_gain_db", "AGC gain (dB)", f1),
           ("ber", "BER", lambda v: f"{v:.3g}"), ("bit_errors", "bit errors", fint),
           ("bits_compared", "bits compared", fint)]


def details(r: dict):
    if r.get("search_hz"):
        if r.get("acquired_offset_hz") is None:
            yield (f"carrier search: no signal within +-{fmt_hz(r['search_hz'])} of --carrier; "
                   "the carrier loop started at --carrier")
        else:
            at = r["acquired_at_s"] * 1e3
            yield (f"carrier search: signal within {at:.3f} .. {at + r['search_window_s'] * 1e3:.3f} "
                   f"ms, {r['acquired_offset_hz']:+.1f} Hz from --carrier (M-th power line "
                   f"{r['acquired_strength_db']:.0f} dB over the median)")
    if r.get("lock_time_s") is None:
        yield "the carrier loop never locked: no MER or BER (see 'ostrel demod --help')"
    else:
        yield (f"first lock at sample {r['lock_sample']:,} (symbol {r['lock_time_symbols']:,} "
               "of the receiver)")
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
    ax.set_xlabel("I")
    ax.set_ylabel("Q")
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

