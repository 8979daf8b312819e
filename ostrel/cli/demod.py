"""``ostrel demod``: demodulate the BPSK, QPSK or 8PSK bursts of a recording to bits.

The toolkit's burst demodulator (track.PskDemodulator) runs over the channel at --carrier: the
recording is first mixed to DC and decimated by a power of two to 8 .. 16 samples per symbol
(less when the recording has fewer) with the toolkit's down-converter; a real recording is
made complex by its real-input form (--carrier is then the IF, 0 .. fs/2; its rate is 0.45 of
the recording's where a quarter would leave fewer than 8 samples per symbol). The demodulator
detects each burst against the noise floor, finds its carrier within +-(--search) of --carrier
(the M-th power spectrum), acquires the symbol timing, tracks, and re-acquires after a gap or a
loss of lock; it yields symbols only while it tracks a burst.

Bits (-o): those of every demodulated symbol, bursts one after another, log2(M) bits per
symbol, one per byte (0/1) or, with --packed, eight per byte (first bit in the most significant
position). A symbol's bits, least significant first, are the Gray code of its index i, the
point at phase 45 + 90 i degrees (QPSK) or 360 i / M degrees (BPSK, 8PSK):
  BPSK   0: 0    180: 1
  QPSK  45: 00   135: 10   225: 11   315: 01
  8PSK   0: 000   45: 100   90: 110  135: 010  180: 011  225: 111  270: 101  315: 001
(the first bit written first). Absolute (non --differential) demodulation keeps the carrier
loop's M-fold phase ambiguity, per burst: resolve it with your frame format, or use
--differential on differentially encoded signals (the bits then code the index step from the
previous symbol, each burst's first symbol referenced to index 0).

The report lists each burst (where it starts and ends in the recording, its symbols, the
carrier and symbol rate the loops track while locked, clock offset in ppm against
--symbol-rate, the modulation error ratio while locked, the demodulator's Es/N0 estimate)
and, when the recording's annotations describe a burst (recordings written by 'ostrel synth'
do), the bit error rate against that truth, with the phase ambiguity resolved. --png draws the
constellation (the [plot] extra).

Exit status 3, with a warning, when nothing trustworthy came out: no burst was demodulated
("no signal demodulated"), a burst's output is far shorter than its length in symbols, or a
clock estimate is absurd (more than 1 % from --symbol-rate)."""

from __future__ import annotations

import contextlib
import math
from dataclasses import dataclass, field

import numpy as np

from . import adapters
from .common import (AtomicFile, UserError, f1, fint, fmt_hz, fyes, output_path,
                     require_matplotlib)
from .live import input_progress
from .truth import BITS_PER_SYMBOL, MODS, Demapper, BerCounter, phase_offset

EXAMPLES = """\
examples:
  ostrel demod demo --mod qpsk --symbol-rate 50k --carrier 100k --rrc 0.35 -o demo.bits
  ostrel demod demo --mod bpsk --symbol-rate 25k --carrier -150k --rrc 0.5 --png const.png
  ostrel demod chan.sigmf-meta --mod qpsk --symbol-rate 50k --rrc 0.35 --packed -o chan.bin
  ostrel demod if.sigmf-meta --mod 8psk --symbol-rate 10k --carrier 250k --search 2k
  ostrel demod bursts.cf32 --fs 2M --mod qpsk --symbol-rate 250k --json

A negative value may follow its option (--carrier -150k) or be attached (--carrier=-150k).
Exit status: 0 bits demodulated, 1 bad input, 2 bad command line, 3 no trustworthy output
(no signal demodulated, output far shorter than the signal, absurd clock estimate)."""

SETTLE = 64  # symbols after a burst's lock before its quality and BER are counted
CONSTELLATION = 4096  # symbols kept for the plot
# Symbols per demodulator call: lock, burst state and estimates are read between calls. Not a
# whole number, so the symbol count read at the calls' ends does not round the same way every
# time. Below the demodulator's acquisition window (128 symbols): a burst's symbols come once
# its window is complete, so a call never holds the symbols of two bursts.
STEP_SYMBOLS = 120.618
FRONT_SPS = 8  # least samples per symbol the front end decimates to, where the recording has them
REAL_RATE = 0.45  # the real-input front end's widest rate (its converter needs one below 1/2)
SHORT = 0.5  # a burst whose symbols fall below this fraction of its length is "far shorter"
ABSURD_CLOCK = 0.01  # a clock estimate this far from --symbol-rate is not a symbol clock
LISTED = 20  # bursts listed in the table report (--json lists all)
MAX_SEARCH = 0.25  # the demodulator's widest carrier search, a fraction of the symbol rate
# The narrowest search: the M-th power line must be told from the spectrum's median around it,
# which a range of a few bins does not give (--search 0 asks for this one).
MIN_SEARCH = 1 / 32


def add_arguments(p) -> None:
    from .common import hz_arg, positive_hz_arg

    g = p.add_argument_group("signal")
    g.add_argument("--mod", choices=list(MODS), required=True, help="modulation")
    g.add_argument("--symbol-rate", type=positive_hz_arg, required=True, metavar="R",
                   help="symbol rate, Bd (Hz)")
    g.add_argument("--carrier", type=hz_arg, default=0.0, metavar="F",
                   help="carrier, Hz offset from the recording's centre (default 0); the IF "
                        "(0 .. fs/2) of a real recording")
    g.add_argument("--rrc", type=float, default=0.35, metavar="BETA",
                   help="roll-off of the root-raised-cosine matched filter, above 0 (default "
                        "0.35)")
    g.add_argument("--differential", action="store_true", help="differential demapping")
    r = p.add_argument_group("demodulator (defaults: the demodulator's own, chosen by measurement)")
    r.add_argument("--search", type=hz_arg, metavar="HZ",
                   help="carrier search range around --carrier, Hz (at most a quarter of the "
                        "symbol rate, at least 1/32 of it, which 0 asks for)")
    r.add_argument("--rrc-span", type=int, metavar="N",
                   help="matched filter half-length, symbols (1 .. 16)")
    for loop, top in (("carrier", 0.2), ("timing", 0.1)):
        r.add_argument(f"--bn-{loop}", type=float, metavar="BN",
                       help=f"{loop} loop noise bandwidth, normalised to the symbol rate (at most "
                            f"{top:g}; wider follows faster, narrower jitters less)")
    r.add_argument("--squelch", type=float, metavar="DB",
                   help="burst detection threshold, dB over the noise floor (1 .. 40)")
    o = p.add_argument_group("files")
    o.add_argument("-o", "--output", metavar="BITS",
                   help="bits file, mapping as above ({stem} is replaced by the recording's name)")
    o.add_argument("--packed", action="store_true", help="eight bits per byte instead of one")
    o.add_argument("--png", metavar="PATH", help="constellation plot")


def prepare(args) -> None:
    if args.png:
        require_matplotlib()
    if not 0 < args.rrc <= 1:
        raise UserError("--rrc must lie between 0 and 1 (above 0)")
    for name, top in (("bn_carrier", 0.2), ("bn_timing", 0.1)):
        v = getattr(args, name)
        if v is not None and not (0 < v <= top):
            raise UserError(f"--{name.replace('_', '-')} must lie in (0, {top:g}]")
    if args.rrc_span is not None and not 1 <= args.rrc_span <= 16:
        raise UserError("--rrc-span must lie between 1 and 16 symbols")
    if args.search is not None and args.search < 0:
        raise UserError("--search must not be negative (0: the narrowest search)")
    if args.squelch is not None and not 1 <= args.squelch <= 40:
        raise UserError("--squelch must lie between 1 and 40 dB")


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


# --- the front end ------------------------------------------------------------------------------

def front_rate(fs: float, symbol_rate: float, real: bool) -> float:
    """Output over input rate of the front end: a power of two (halfbands, no resampler) giving
    FRONT_SPS to 2 x FRONT_SPS samples per symbol, none when the recording has fewer. The
    real-input converter needs a rate below 1/2: it takes a power of two from 1/4 down, and
    REAL_RATE where 1/4 would leave fewer than FRONT_SPS samples per symbol."""
    k = max(0, math.floor(math.log2(fs / (FRONT_SPS * symbol_rate))))
    if real and k < 2:
        return REAL_RATE
    return 2.0 ** -k


def demodulator(args, m: int, fs_dm: float, real: bool):
    """The PskDemodulator at the front end's rate; the command's options mapped onto its
    tuning keywords (those not given keep the demodulator's defaults)."""
    cls = adapters._find("track", "PskDemodulator", "the burst M-PSK demodulator")
    R = args.symbol_rate
    tuning = {}
    if args.search is not None:
        if args.search > MAX_SEARCH * R * (1 + 1e-9):
            raise UserError(f"--search {args.search:g} Hz: the demodulator searches at most a "
                            f"quarter of the symbol rate (+-{fmt_hz(MAX_SEARCH * R)}); give "
                            "--carrier closer to the signal")
        tuning["search"] = max(args.search / R, MIN_SEARCH)  # a fraction of R for the demodulator
    for opt, key in (("rrc_span", "rrc_span"), ("bn_carrier", "bn_carrier"),
                     ("bn_timing", "bn_timing"), ("squelch", "squelch_db")):
        if getattr(args, opt) is not None:
            tuning[key] = getattr(args, opt)
    sps = fs_dm / R
    try:
        return cls(m=m, sps=sps, rrc_beta=args.rrc, differential=args.differential, **tuning)
    except ValueError as e:
        if "search" in tuning and "search" in str(e):
            raise UserError(f"--search {args.search:g} Hz: the demodulator refuses it at "
                            f"{sps:.3g} samples per symbol ({e}); give --carrier closer to "
                            "the signal") from None
        need = "more than 4 (real input)" if real else "at least 2"
        raise UserError(f"the demodulator refuses these settings at {sps:.3g} samples per symbol "
                        f"(it needs {need}): {e}") from None


# --- per-burst bookkeeping ------------------------------------------------------------------------

@dataclass
class Burst:
    """One burst as the demodulator tracked it. Sample indices count the front end's output;
    the lock, carrier and clock figures come from the calls that ended locked."""

    start: int  # front-end sample where the demodulator detected it
    first_symbol: int  # the demodulator's symbol count at its first symbol
    end: int | None = None
    symbols: int = 0
    lock_symbol: int | None = None  # symbols into the burst at its first lock
    lock_sample: int | None = None
    freq_sum: float = 0.0
    freq_n: int = 0
    snr_sum: float = 0.0
    stretch: list | None = None  # [x0, y0, n, sx, sy, sxx, sxy] of the open locked stretch
    sxx: float = 0.0
    sxy: float = 0.0
    rate_last: float = float("nan")
    mer: list = field(default_factory=lambda: [0.0, 0.0, 0])  # signal, error, symbols
    ber: BerCounter | None = None

    def update(self, dm, b: int, n_sym: int) -> None:
        """After a call that ended at front-end sample b with the demodulator's count n_sym."""
        if not dm.locked:
            self._close()
            return
        if self.lock_symbol is None:
            self.lock_symbol, self.lock_sample = n_sym - self.first_symbol, b
        self.freq_sum += dm.norm_freq
        self.snr_sum += dm.snr_db
        self.freq_n += 1
        self.rate_last = dm.timing_rate
        st = self.stretch
        if st is None:
            self.stretch = [b, n_sym, 1, 0.0, 0.0, 0.0, 0.0]
        else:
            x, y = float(b - st[0]), float(n_sym - st[1])
            st[2] += 1
            st[3] += x
            st[4] += y
            st[5] += x * x
            st[6] += x * y

    def _close(self) -> None:
        st, self.stretch = self.stretch, None
        if st is not None and st[2] >= 3:
            n, sx, sy, sxx, sxy = st[2:]
            self.sxx += sxx - sx * sx / n
            self.sxy += sxy - sx * sy / n

    def rate(self) -> float:
        """Front-end samples per symbol: the slope of the symbol count against the samples
        over the locked calls (it measures the recovered clock itself, whatever the loop's
        jitter), the loop's last reading when the burst held lock too briefly."""
        self._close()
        return self.sxx / self.sxy if self.sxy > 0 else self.rate_last


class Quality:
    """Modulation error ratio while locked, decision-directed, in constant memory, per burst
    and pooled.

    A demodulator call (about STEP_SYMBOLS symbols) counts when the demodulator held lock at its
    end and at the end of the next one, from SETTLE symbols after its burst's lock: a call
    that ends locked may hold the tail of a burst, which only the next call's lock clears. Each
    call's symbols are referred to their own mean amplitude, so the AGC's settling is not
    counted as modulation error. The plot keeps the last CONSTELLATION counted symbols, scaled
    the same way."""

    def __init__(self, m: int):
        self.points = np.exp(1j * (phase_offset(m) + 2 * np.pi * np.arange(m) / m))
        self.point_re = self.points.real.astype(np.float32)
        self.point_im = self.points.imag.astype(np.float32)
        self.pooled = [0.0, 0.0, 0]
        self.ring = np.zeros(CONSTELLATION, np.complex64)
        self.fill = 0
        self.held = None  # (symbols, indices, step) of the last call, decided by the next

    def feed(self, sym: np.ndarray, idx: np.ndarray, steps: list) -> None:
        """The symbols of one block, their decisions and its calls (first, stop, counts, burst)
        in the block's symbols; a call without symbols still decides the one before it."""
        if self.held is not None:
            hs, hi, (_, _, hok, hb) = self.held
            k = len(hs)
            sym, idx = np.concatenate((hs, sym)), np.concatenate((hi, idx))
            steps = [(0, k, hok, hb)] + [(a + k, b + k, ok, bu) for a, b, ok, bu in steps]
        if not steps:
            return
        last = steps[-1][0]
        self.held = (sym[last:].copy(), idx[last:].copy(), steps[-1])
        counted = [(a, b, bu) for (a, b, ok, bu), (_, _, nxt, nbu) in zip(steps, steps[1:])
                   if ok and nxt and nbu is bu and b > a]
        if counted:
            self._add(sym, idx, counted)

    def finish(self) -> None:
        """The recording ended: its last call counts when it ended locked."""
        if self.held is not None:
            hs, hi, (a, b, ok, bu) = self.held
            if ok and b > a:
                self._add(hs, hi, [(0, len(hs), bu)])
        self.held = None

    def _add(self, sym: np.ndarray, idx: np.ndarray, counted: list) -> None:
        starts = np.array([a for a, _, _ in counted], np.int64)
        stops = np.array([b for _, b, _ in counted], np.int64)
        re, im = sym.real, sym.imag
        proj = np.append(re * self.point_re[idx] + im * self.point_im[idx], np.float32(0))
        power = np.append(re * re + im * im, np.float32(0))
        # per-call sums over [start, stop), each summed on its own (the same whatever the blocks)
        bounds = np.column_stack((starts, stops)).ravel()
        sp = np.add.reduceat(proj, bounds, dtype=np.float64)[::2]
        sw = np.add.reduceat(power, bounds, dtype=np.float64)[::2]
        n = (stops - starts).astype(np.float64)
        a = sp / n
        for j, (_, _, bu) in enumerate(counted):
            if a[j] > 0:
                # sum |s - a p|^2 over a call = sum |s|^2 - n a^2 when a is its mean projection
                sig, err = n[j] * a[j] * a[j], sw[j] - n[j] * a[j] * a[j]
                for acc in (bu.mer, self.pooled):
                    acc[0] += sig
                    acc[1] += err
                    acc[2] += int(n[j])
        tail, kept = [], 0
        for j in range(len(counted) - 1, -1, -1):  # the last ones, for the plot
            if kept >= CONSTELLATION:
                break
            if a[j] > 0:
                lo, hi = starts[j], stops[j]
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

    @staticmethod
    def mer_db(acc) -> float | None:
        signal, error, n = acc
        if n < 16 or not error > 0:
            return None
        return 10 * math.log10(signal / error)

    def constellation(self) -> np.ndarray:
        return self.ring[: min(self.fill, CONSTELLATION)]


# --- the run ---------------------------------------------------------------------------------------

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
                        f"demodulator needs {'more than 4 (real input)' if real else 'at least 2'}")
    front = adapters.DownConverter(args.carrier / fs, front_rate(fs, R, real), real)
    dm = None
    try:
        fs_dm = fs * front.rate
        if args.search is not None and args.search + R * (1 + args.rrc) / 2 > 0.45 * fs_dm:
            raise UserError(f"--search {args.search:g} Hz reaches beyond the channel's band at "
                            f"this symbol rate (+-{fmt_hz(0.45 * fs_dm - R * (1 + args.rrc) / 2)}; "
                            "give --carrier closer to the signal)")
        dm = demodulator(args, m, fs_dm, real)
        r, q = _demodulate(rec, args, front, dm, m, progress)
    finally:
        if dm is not None:
            dm.destroy()
        front.close()
    if args.png:
        several = len(args.recordings) > 1
        _plot(output_path(args.png, rec.path, several, "--png"), q.constellation(), m, r, rec)
    return r


class Session:
    """One pass of the demodulator over the front end's output, in calls on a fixed grid of
    front-end samples (results do not depend on the recording's read blocks)."""

    def __init__(self, args, dm, m: int, fs_dm: float, truth: dict | None, rate: float):
        self.args, self.dm, self.m, self.fs_dm, self.rate = args, dm, m, fs_dm, rate
        self.step = max(16, int(STEP_SYMBOLS * fs_dm / args.symbol_rate))
        self.demap, self.q = Demapper(m, args.differential), Quality(m)
        self.bursts: list[Burst] = []
        self.missed = 0  # bursts that began and ended inside one call (not listed)
        self.pos = 0  # front-end samples given to the demodulator
        self.n_sym = self.n_bits = 0
        self.pending = np.zeros(0, np.complex64)
        self.truth = truth
        self.carry = np.zeros(0, np.uint8)

    def feed(self, y: np.ndarray, sink, final: bool = False) -> None:
        """Front-end samples y; whole calls only until ``final``."""
        y = np.concatenate((self.pending, y)) if len(self.pending) else y
        whole = len(y) if final else len(y) // self.step * self.step
        self.pending = y[whole:].copy()
        if whole == 0:
            return
        syms, steps, s_block = [], [], self.n_sym
        starts = []  # block symbols where a burst begins (its first symbol comes in that call)
        dm = self.dm
        for a in range(0, whole, self.step):
            s = dm.steps(y[a:a + self.step])
            b = self.pos + min(a + self.step, whole)
            cur, new = self._track(b)
            syms.append(s)
            first = self.n_sym - s_block
            if new:
                starts.append(first)
            self.n_sym += len(s)
            if cur is not None:
                cur.symbols += len(s)
                cur.update(dm, b, self.n_sym)
            ok = cur is not None and bool(dm.locked) and cur.lock_symbol is not None
            if ok:  # not before SETTLE symbols after the burst's lock
                first = max(first, cur.first_symbol + cur.lock_symbol + SETTLE - s_block)
            steps.append((first, self.n_sym - s_block, ok and first < self.n_sym - s_block, cur))
        self.pos += whole
        sym = np.concatenate(syms) if len(syms) > 1 else syms[0]
        idx = self.demap.indices(sym)
        self._bits(idx, sink, starts)
        self.q.feed(sym, idx, steps)
        if self.truth is not None:  # a push per run of counted calls of one burst
            run = None
            for a, b, ok, bu in steps + [(0, 0, False, None)]:
                if run is not None and not (ok and bu is run[2] and a == run[1]):
                    self._ber(run[2], s_block + run[0], idx[run[0]:run[1]])
                    run = None
                if ok and bu is not None:
                    run = [a, b, bu] if run is None else [run[0], b, bu]

    def _track(self, b: int) -> tuple[Burst | None, bool]:
        """Burst bookkeeping after a call ending at front-end sample b: the burst the call's
        symbols belong to, and whether it began in this call. The demodulator counts a burst
        once its acquisition window is complete and returns that window's symbols in the same
        call, so the call's symbols are all the new burst's (the one before ended at least a
        window earlier)."""
        dm = self.dm
        n = int(dm.bursts)
        known = len(self.bursts) + self.missed
        cur = self.bursts[-1] if self.bursts and self.bursts[-1].end is None else None
        new = n > known
        if new:
            if cur is not None:  # it ended, and a new one began, inside this call
                cur.end = int(dm.burst_start)
            self.missed += n - known - 1
            cur = Burst(start=int(dm.burst_start), first_symbol=self.n_sym)
            self.bursts.append(cur)
        if cur is not None and not dm.in_burst:
            end = int(dm.burst_end)
            cur.end = end if end >= 0 else b  # its last symbols came in this call
        return cur, new

    def _bits(self, idx: np.ndarray, sink, starts: list) -> None:
        if sink is None:
            self.n_bits += len(idx) * BITS_PER_SYMBOL[self.m]
            return
        if self.args.differential and starts:
            # as the demodulator's bits(): each burst's first symbol is referenced to index 0
            parts = []
            for lo, hi in zip([0] + starts, starts + [len(idx)]):
                if lo > 0 or starts[0] == 0:
                    self.demap.prev = 0
                parts.append(self.demap.bits(idx[lo:hi]))
            bits = np.concatenate(parts)
        else:
            bits = self.demap.bits(idx)
        self.n_bits += len(bits)
        if self.args.packed:
            bits = np.concatenate((self.carry, bits))
            whole = len(bits) // 8 * 8
            self.carry = bits[whole:]
            bits = np.packbits(bits[:whole])
        sink.write(bits.tobytes())

    def _ber(self, bu: Burst, first: int, idx: np.ndarray) -> None:
        """Scores a burst's locked symbols against the truth, when the burst overlaps it. Each
        burst aligns on its own (the demodulator re-acquires: new phase ambiguity, new delay);
        its symbols are numbered from its start in the recording at the nominal rate."""
        t = self.truth
        sps_t = float(t["ostrel:samples_per_symbol"])
        t0 = float(t["ostrel:first_symbol_sample"])
        t1 = t0 + int(t["ostrel:symbols"]) * sps_t
        start = bu.start / self.rate
        end = (bu.end if bu.end is not None else self.pos) / self.rate
        if end < t0 or start > t1:
            return
        base = int(round(start / sps_t))
        if bu.ber is None:
            bu.ber = BerCounter(self.m, self.args.differential, t["ostrel:prbs"],
                                int(t["ostrel:symbols"]), expect=-int(round(t0 / sps_t)),
                                search=256)
        bu.ber.push(base + first - bu.first_symbol, idx)

    def finish(self, sink) -> None:
        if sink is not None and self.args.packed and len(self.carry):
            sink.write(np.packbits(self.carry).tobytes())  # the last byte zero-padded
        self.q.finish()
        for bu in self.bursts:
            if bu.end is None:
                bu.end = self.pos
            if bu.ber is not None:
                bu.ber.finish()


def _demodulate(rec, args, front, dm, m: int, progress: bool):
    fs, R = rec.fs, args.symbol_rate
    truth = find_truth(rec, m, args.carrier, R)
    ses = Session(args, dm, m, fs * front.rate, truth, front.rate)
    out_path = output_path(args.output, rec.path, len(args.recordings) > 1, "-o")
    with (AtomicFile(out_path) if out_path else contextlib.nullcontext()) as sink, \
            input_progress(rec, progress) as bar:
        for x in rec.blocks(args.block, progress=bar):
            ses.feed(front.execute(x), sink)
        ses.feed(np.zeros(0, np.complex64), sink, final=True)
        ses.finish(sink)
    r = _report(ses, args, fs, R, m, front, out_path)
    return r, ses.q


def _burst_row(bu: Burst, ses: Session, fs: float, R: float, carrier: float) -> dict:
    rate = bu.rate()
    sym_rate = ses.fs_dm / rate if rate > 0 else float("nan")
    locked = bu.freq_n > 0
    ber = bu.ber
    compared = ber is not None and ber.bits > 0
    return {
        "start_sample": int(round(bu.start / ses.rate)), "end_sample": int(round(bu.end / ses.rate)),
        "start_s": bu.start / ses.fs_dm, "end_s": bu.end / ses.fs_dm, "symbols": bu.symbols,
        "lock_after_symbols": bu.lock_symbol,
        "carrier_hz": carrier + bu.freq_sum / bu.freq_n * ses.fs_dm if locked else None,
        "symbol_rate_est": sym_rate if locked else None,
        "clock_ppm_est": (sym_rate / R - 1) * 1e6 if locked else None,
        "mer_db": Quality.mer_db(bu.mer), "snr_db": bu.snr_sum / bu.freq_n if locked else None,
        "bits_compared": ber.bits if compared else None,
        "bit_errors": ber.errors if compared else None, "ber": ber.ber if compared else None,
        "rotation_deg": (ber.rotation * 360 / ses.m if compared and not ses.args.differential
                         else None),
    }


def _warnings(rows: list[dict], R: float, truth_symbols: int | None, truth_rows: list) -> list:
    """Why the output cannot be trusted, if it cannot."""
    locked = [b for b in rows if b["carrier_hz"] is not None]
    if not locked:
        why = "no burst detected" if not rows else f"{len(rows)} burst(s) detected, none locked"
        return [f"no signal demodulated ({why})"]
    out = []
    for i, b in enumerate(rows, 1):
        length = (b["end_s"] - b["start_s"]) * R
        if length > 100 and b["symbols"] < SHORT * length:
            out.append(f"burst {i}: output far shorter than the signal ({b['symbols']:,} symbols "
                       f"over {length:,.0f} symbol periods)")
        if b["clock_ppm_est"] is not None and not abs(b["clock_ppm_est"]) <= ABSURD_CLOCK * 1e6:
            out.append(f"burst {i}: absurd clock estimate ({b['symbol_rate_est']:.6g} Bd, "
                       f"{b['clock_ppm_est']:+.0f} ppm from --symbol-rate)")
    if truth_symbols is not None:
        got = sum(b["symbols"] for b in truth_rows)
        if got < SHORT * truth_symbols:
            out.append(f"output far shorter than the signal: {got:,} symbols demodulated of the "
                       f"annotated burst's {truth_symbols:,}")
    return out


def _report(ses: Session, args, fs: float, R: float, m: int, front, out_path) -> dict:
    rows = [_burst_row(bu, ses, fs, R, args.carrier) for bu in ses.bursts]
    main = max(rows, key=lambda b: (b["mer_db"] is not None, b["symbols"]), default=None)
    first = next((bu for bu in ses.bursts if bu.lock_sample is not None), None)
    dm = ses.dm
    r = {
        "receiver": type(dm).__name__, "mod": args.mod, "symbols": ses.n_sym, "bits": ses.n_bits,
        "front_end_rate_hz": ses.fs_dm, "bursts": len(rows), "bursts_unlisted": ses.missed,
        "lock_sample": None if first is None else int(round(first.lock_sample / ses.rate)),
        "lock_time_s": None if first is None else first.lock_sample / ses.fs_dm,
        "locked_at_end": bool(dm.locked),
        "carrier_hz": main["carrier_hz"] if main else None,
        "symbol_rate_est": main["symbol_rate_est"] if main else None,
        "clock_ppm_est": main["clock_ppm_est"] if main else None,
        "mer_db": Quality.mer_db(ses.q.pooled), "snr_db": main["snr_db"] if main else None,
        "clipped": bool(front.clipped),
        "output": str(out_path) if out_path else None, "burst_list": rows,
    }
    truth, truth_rows = ses.truth, []
    if truth is not None:
        truth_rows = [b for bu, b in zip(ses.bursts, rows) if bu.ber is not None]
        scored = [b for b in truth_rows if b["bits_compared"]]
        sps_t = float(truth["ostrel:samples_per_symbol"])
        t0 = float(truth["ostrel:first_symbol_sample"])
        bits = sum(b["bits_compared"] for b in scored)
        errors = sum(b["bit_errors"] for b in scored)
        best = max(scored, key=lambda b: b["bits_compared"], default=None)
        lock = next((b for b in truth_rows if b["lock_after_symbols"] is not None), None)
        r.update({
            "truth": truth.get("core:label", "psk burst"),
            "carrier_error_hz": (None if best is None or best["carrier_hz"] is None
                                 else best["carrier_hz"] - float(truth["ostrel:freq_offset_hz"])),
            "clock_ppm_true": float(truth.get("ostrel:clock_ppm", float("nan"))),
            "lock_after_symbols": (None if lock is None else
                                   (lock["start_sample"] - t0) / sps_t + lock["lock_after_symbols"]),
            "bits_compared": bits or None, "bit_errors": errors if bits else None,
            "ber": errors / bits if bits else None,
            "rotation_deg": best["rotation_deg"] if best else None})
        if best is not None:  # the truth's burst heads the report
            for k in ("carrier_hz", "symbol_rate_est", "clock_ppm_est", "snr_db"):
                r[k] = best[k]
    warn = _warnings(rows, R, int(truth["ostrel:symbols"]) if truth else None, truth_rows)
    if warn:
        r["warnings"] = warn
    return r


COLUMNS = [("receiver", "receiver", str), ("symbols", "symbols", fint),
           ("bursts", "bursts", fint),
           ("lock_time_s", "first lock", lambda v: f"{v * 1e3:.3f} ms"),
           ("lock_after_symbols", "lock after", lambda v: f"{v:.0f} symbols"),
           ("locked_at_end", "locked at end", fyes),
           ("carrier_hz", "carrier (offset)", lambda v: f"{v:+.1f} Hz"),
           ("symbol_rate_est", "symbol rate", lambda v: f"{v:.2f} Bd"),
           ("clock_ppm_est", "clock offset", lambda v: f"{v:+.1f} ppm"),
           ("mer_db", "MER (dB)", f1), ("snr_db", "Es/N0 est. (dB)", f1),
           ("ber", "BER", lambda v: f"{v:.3g}"), ("bit_errors", "bit errors", fint),
           ("bits_compared", "bits compared", fint)]


def _burst_line(i: int, b: dict) -> str:
    text = (f"burst {i}: {b['start_s'] * 1e3:.3f} .. {b['end_s'] * 1e3:.3f} ms, "
            f"{b['symbols']:,} symbols")
    if b["carrier_hz"] is None:
        return text + ", never locked"
    text += (f", carrier {b['carrier_hz']:+.1f} Hz, clock {b['symbol_rate_est']:.2f} Bd "
             f"({b['clock_ppm_est']:+.1f} ppm)")
    if b["mer_db"] is not None:
        text += f", MER {b['mer_db']:.1f} dB"
    if b["bits_compared"]:
        text += f", {b['bit_errors']:,} bit errors in {b['bits_compared']:,}"
    return text


def details(r: dict):
    rows = r.get("burst_list") or []
    for i, b in enumerate(rows[:LISTED], 1):
        yield _burst_line(i, b)
    if len(rows) > LISTED:
        yield f"... and {len(rows) - LISTED:,} more bursts (--json lists them all)"
    if r.get("bursts_unlisted"):
        yield f"{r['bursts_unlisted']:,} more bursts too short to list (under a demodulator call)"
    if r.get("truth"):
        yield (f"truth: {r['truth']}: "
               + ("" if r.get("carrier_error_hz") is None
                  else f"carrier error {r['carrier_error_hz']:+.1f} Hz, ")
               + f"clock {r['clock_ppm_true']:+.1f} ppm"
               + (f", phase ambiguity resolved at {r['rotation_deg']:g} deg"
                  if r.get("rotation_deg") is not None else "")
               + ("" if r.get("bits_compared") else ", no symbols of it to score"))
    else:
        yield "no truth in the annotations for this signal: no BER"
    if r.get("output"):
        yield f"bits written to {r['output']}"
    for w in r.get("warnings", []):
        yield f"warning: {w}"


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

