"""``ostrel spectrum``: a calibrated spectrum of a recording, streamed over the whole file.

The whole band is analysed with the Welch estimator (spectral.PSD: non-overlapping windowed
segments, zero-padded 2x); --center and --span zoom into a band with the spectrum analyzer
(analyzer.Specan: down-conversion to 1.28 x span, then the same estimator with a Kaiser window
whose length and shape realise --rbw). Each displayed frame is the mean of --navg segments; the
result is the average of all frames and their max-hold, and a waterfall of the frames over time.

Levels are dBFS: a full-scale complex tone reads 0 dBFS (a real recording is shown one-sided,
0 ... fs/2, where a tone reads its power, zoomed or not). Zoomed levels are flat across the
span to about 0.01 dB, and signals outside it are suppressed by 60 dB or more: when the span is
narrow (fs / (1.28 x span) of 8 or more), the analyzer's flat front end decimates 4:1 in
halfband pairs ahead of its last converter. The report's "decimation" line shows the factor of
those pairs.

Measurements on the average trace: the noise floor (median bin, also as a density in dBFS/Hz),
the peaks above the floor + --peak-threshold, the SNR of the strongest peak over the floor, the
SFDR (the strongest peak, the carrier, over the strongest spur outside the carrier's own
occupied band: the band holding --obw of the power standing above the floor +
--peak-threshold) and the occupied bandwidth holding --obw of the power. --png
draws the traces and the waterfall (needs matplotlib, the [plot] extra); --csv writes the
traces."""

from __future__ import annotations

import csv
import math

import numpy as np

from .common import (AtomicFile, UserError, f1, f2, fint, fmt_hz, output_path,
                     require_matplotlib, warn)
from .live import input_progress

EXAMPLES = """\
examples:
  ostrel spectrum demo                                   # whole band, default RBW
  ostrel spectrum demo --rbw 500 --png spectrum.png --csv spectrum.csv
  ostrel spectrum demo --center 100k --span 150k --rbw 200   # zoom (spectrum analyzer)
  ostrel spectrum capture.cu8 --fs 2.4M --json"""

WATERFALL_ROWS = 200
MIN_SPAN = 1e-9  # of the sample rate: a narrower band would need some 15 4:1 stages and more
MAX_NAVG = 1 << 31  # frames averaged per displayed frame


def add_arguments(p) -> None:
    from .common import hz_arg, positive_hz_arg

    g = p.add_argument_group("analysis")
    g.add_argument("--center", type=hz_arg, metavar="F", help="centre of a zoomed band, Hz offset (spectrum analyzer)")
    g.add_argument("--span", type=positive_hz_arg, metavar="S", help="width of a zoomed band, Hz (spectrum analyzer)")
    g.add_argument("--rbw", type=positive_hz_arg, metavar="R",
                   help="resolution bandwidth, Hz (default: 1024-sample segments over the whole "
                        "band, span/440 when zoomed, which the analyzer realises with a Kaiser "
                        "window of beta about 9.7: sidelobes below -70 dB)")
    g.add_argument("--navg", type=int, metavar="N",
                   help="segments averaged per displayed frame (default: enough for about 65536 "
                        "input samples, and at least 8 frames over the recording)")
    g.add_argument("--window", choices=["hann", "kaiser", "blackman-harris"],
                   help="window (default blackman-harris for the whole band, kaiser zoomed)")
    g.add_argument("--peaks", type=int, default=8, metavar="K", help="peaks to list (default 8)")
    g.add_argument("--peak-threshold", type=float, default=10.0, metavar="DB",
                   help="peaks must stand this far above the noise floor (default 10 dB)")
    g.add_argument("--prominence", type=float, default=6.0, metavar="DB",
                   help="and stand this far above the valleys that separate them from stronger "
                        "parts of the trace, so a modulated hump counts once (default 6 dB)")
    g.add_argument("--obw", type=float, default=0.99, metavar="FRACTION",
                   help="power fraction of the occupied bandwidth (default 0.99)")
    o = p.add_argument_group("files")
    o.add_argument("--png", metavar="PATH", help="plot of the traces and the waterfall "
                                                 "({stem} is replaced by the recording's name)")
    o.add_argument("--csv", metavar="PATH", help="traces as CSV: frequency, average, max-hold")


def prepare(args) -> None:
    if args.png:
        require_matplotlib()
    if args.navg is not None and not 1 <= args.navg <= MAX_NAVG:
        raise UserError(f"--navg must lie between 1 and {MAX_NAVG}")
    if not 0 < args.obw < 1:
        raise UserError("--obw must lie between 0 and 1")
    if (args.center is not None or args.span is not None) and specan_type() is None:
        raise UserError("this build has no analyzer.Specan: --center and --span need the spectrum "
                        "analyzer (without them the whole band is analysed with spectral.PSD)")


def outputs(args, path: str, several: bool) -> list:
    return [p for p in (output_path(args.png, path, several, "--png"),
                        output_path(args.csv, path, several, "--csv")) if p is not None]


def specan_type():
    try:
        from ostrel import analyzer
    except ImportError:
        return None
    return getattr(analyzer, "Specan", None)


class Traces:
    """Average (weighted by segments), max-hold and a bounded waterfall of linear frames.

    ``total_frames`` sizes the waterfall; None (a live stream of unknown length) starts with one
    frame per row and, when the rows are full, merges neighbouring rows (two frames a row, then
    four ...), so the waterfall always covers the whole run in at most WATERFALL_ROWS rows."""

    def __init__(self, width: int, total_frames: int | None):
        self.sum = np.zeros(width, np.float64)
        self.max = np.zeros(width, np.float32)
        self.segments = self.frames = 0
        self.growing = total_frames is None
        rows = WATERFALL_ROWS if self.growing else None
        self.group = 1 if self.growing else max(1, math.ceil(total_frames / WATERFALL_ROWS))
        if rows is None:
            rows = max(1, math.ceil(total_frames / self.group))
        self.rows = np.zeros((rows, width), np.float32)
        self.row_fill = np.zeros(len(self.rows), np.int64)

    def add(self, p: np.ndarray, segments: int, full: bool = True) -> None:
        self.sum += p * segments if segments != 1 else p
        self.segments += segments
        if not full:
            return
        np.maximum(self.max, p, out=self.max)
        if self.growing and self.frames // self.group >= len(self.rows):
            self._merge()
        r = min(self.frames // self.group, len(self.rows) - 1)
        self.rows[r] += p
        self.row_fill[r] += 1
        self.frames += 1

    def _merge(self) -> None:
        """Two rows into one: the waterfall's time step doubles."""
        h = len(self.rows) // 2
        self.rows[:h] = self.rows[0:2 * h:2] + self.rows[1:2 * h:2]
        self.row_fill[:h] = self.row_fill[0:2 * h:2] + self.row_fill[1:2 * h:2]
        self.rows[h:] = 0
        self.row_fill[h:] = 0
        self.group *= 2

    def average(self) -> np.ndarray:
        return self.sum / max(self.segments, 1)

    def waterfall(self) -> np.ndarray:
        k = self.row_fill > 0
        return self.rows[k] / self.row_fill[k, None]


def expected_samples(rec) -> int | None:
    """Samples the run will read: the recording's length, a live run's bound, or None."""
    return rec.limit if getattr(rec, "live", False) else rec.n_samples


def _one_sided(p: np.ndarray) -> np.ndarray:
    """Real input: the two-sided trace (DC at the centre) folded onto 0 ... fs/2."""
    h = p.shape[-1] // 2
    out = 2 * p[..., h:].copy()
    out[..., 0] = p[..., h]
    return out


def run(rec, args, progress: bool) -> dict:
    live = getattr(rec, "live", False)
    if rec.n_samples == 0 and not live:
        raise UserError("the recording holds no samples")
    zoom = args.center is not None or args.span is not None
    with input_progress(rec, progress) as bar:
        t, axis, info = (_run_specan if zoom else _run_psd)(rec, args, bar)
    avg, peak = t.average(), t.max
    wf = t.waterfall()
    if not rec.fmt.complex and not zoom:
        avg, peak, wf = _one_sided(avg), _one_sided(peak), _one_sided(wf)
        axis = axis[len(axis) // 2:]
    r = dict(info)
    r.update(measure(avg, axis, info["rbw_hz"], args))
    r["frames"], r["segments"] = t.frames, t.segments
    if rec.center_known:
        for pk in r["peaks"]:
            pk["freq_hz"] = rec.center + pk["freq_offset_hz"]
    path = rec.path
    several = len(args.recordings) > 1
    if args.csv:
        _write_csv(output_path(args.csv, path, several, "--csv"), axis, avg, peak, rec)
    if args.png:
        _plot(output_path(args.png, path, several, "--png"), axis, avg, peak, wf, r, rec)
    return r


def _db(p: np.ndarray) -> np.ndarray:
    return (10 * np.log10(np.maximum(p, 1e-20))).astype(np.float32)


def _window_enbw(window: str, n: int, beta: float) -> float:
    from ostrel import spectral

    w = np.zeros(n, np.float32)
    if window == "hann":
        spectral.hann_window(w)
    elif window == "kaiser":
        spectral.kaiser_window(w, beta)
    else:
        spectral.blackman_harris_window(w)
    return spectral.kaiser_enbw(w)


def _run_psd(rec, args, bar):
    from ostrel import spectral

    window = args.window or "blackman-harris"
    beta = spectral.kaiser_beta_for_sidelobe(100.0) if window == "kaiser" else 0.0
    n = 1024
    if args.rbw:
        n = 2
        while _window_enbw(window, n, beta) * rec.fs / n > args.rbw:
            n *= 2
            if n > 1 << 22:
                raise UserError(f"--rbw {args.rbw:g} Hz needs segments longer than 4M samples")
    if not getattr(rec, "live", False) and n > rec.n_samples:
        raise UserError(f"{rec.n_samples} samples are fewer than one {n}-sample segment "
                        "(ask for a wider --rbw)")
    navg = args.navg or max(1, (1 << 16) // n)
    seg = n * navg
    with spectral.PSD(n=n, fs=rec.fs, window=window, beta=beta, pad=2, mode="mean") as psd:
        total = expected_samples(rec)
        t = Traces(psd.nfft, None if total is None else total // seg)
        fold = psd.accumulate if rec.fmt.complex else psd.accumulate_real
        # The estimator folds whole segments only: blocks of whole segments (never more than
        # --block samples, whatever the frame), a frame may span several blocks.
        filled = 0  # samples folded into the current frame
        for x in rec.blocks(n * max(1, args.block // n), progress=bar):
            pos = 0
            while len(x) - pos >= n:
                take = min(seg - filled, (len(x) - pos) // n * n)
                fold(x[pos:pos + take])
                filled, pos = filled + take, pos + take
                if filled == seg:
                    t.add(psd.power_twosided(), navg)
                    psd.reset()
                    filled = 0
        if filled:  # the file's last, partial frame counts in the average
            t.add(psd.power_twosided(), psd.count, full=t.frames == 0)
            psd.reset()
        nfft, rbw = psd.nfft, psd.rbw
    if t.segments == 0:
        raise UserError(f"the stream ended after {rec.n_samples} samples, fewer than one {n}-sample "
                        "segment")
    axis = (np.arange(nfft) - nfft // 2) * (rec.fs / nfft)
    return t, axis, {"engine": "spectral.PSD", "window": window, "n": n, "nfft": nfft,
                     "navg": navg, "rbw_hz": rbw, "span_hz": rec.fs, "center_offset_hz": 0.0}


def check_band(rec, center: float, span: float, base: float = 0.0) -> None:
    """The band center +- span/2 (offsets) must lie inside the recording's band; the message
    shows frequencies plus ``base`` (the centre frequency, for absolute values)."""
    real = not rec.fmt.complex
    lo, hi = (0.0, rec.fs / 2) if real else (-rec.fs / 2, rec.fs / 2)
    if not (lo - 1e-6 * rec.fs <= center - span / 2 and center + span / 2 <= hi + 1e-6 * rec.fs) \
            or span <= 0:
        raise UserError(f"band {fmt_hz(base + center - span / 2)} .. "
                        f"{fmt_hz(base + center + span / 2)} reaches beyond the recording's "
                        f"{fmt_hz(base + lo)} .. {fmt_hz(base + hi)}"
                        + (" (a real recording)" if real else ""))
    if span < rec.fs * MIN_SPAN:
        raise UserError(f"a span of {span:g} Hz is too narrow for a recording at "
                        f"{fmt_hz(rec.fs)}: at least {rec.fs * MIN_SPAN:g} Hz")


def band_settings(rec, center, span) -> tuple:
    """The analysed band of a recording or stream: (centre offset, span, level offset dB),
    defaults filled in (the whole band) and checked against what the input holds."""
    real = not rec.fmt.complex
    center = center if center is not None else (rec.fs / 4 if real else 0.0)
    span = span or (min(center, rec.fs / 2 - center) * 2 if real else rec.fs / 1.28)
    check_band(rec, center, span)
    # A real recording enters the analyzer as complex samples (each tone also shows its mirror
    # image, outside the band), its tones at half their power: offset +3.01 dB, so a real tone
    # reads its power as in the whole-band view.
    return center, span, (10 * math.log10(2) if real else 0.0)


def _run_specan(rec, args, bar):
    Specan = specan_type()
    real = not rec.fmt.complex
    center, span, offset_db = band_settings(rec, args.center, args.span)
    rbw = args.rbw or span / 440
    window = args.window or "kaiser"
    if window not in ("hann", "kaiser"):
        raise UserError("the spectrum analyzer's windows are hann and kaiser")
    # The analyzer's flat front end mixes the centre to DC and decimates in halfband pairs to
    # below 8:1 before its last converter.
    kw = dict(fs=rec.fs, span=span, rbw=rbw, center=center, window=window, offset_db=offset_db,
              flat=True)
    try:
        probe = Specan(**kw, navg=args.navg or 1)
    except (ValueError, OverflowError, MemoryError) as e:
        raise UserError(f"the spectrum analyzer refuses span {span:g} Hz, RBW {rbw:g} Hz: "
                        f"{e}") from None
    seg_in = probe.n * rec.fs / probe.fs_out  # input samples per segment
    if window == "kaiser" and probe.beta < 6:
        better = 0.92 * probe.fs_out / probe.n
        warn(f"RBW {fmt_hz(probe.rbw)} needs a Kaiser window of beta {probe.beta:.1f}, whose "
             f"sidelobes (about {_kaiser_sidelobe_db(probe.beta):.0f} dB) show beside strong "
             f"tones; --rbw {better:.4g} gives beta 9.9 (sidelobes below -70 dB)")
    probe.destroy()
    # about 65536 input samples per frame, as over the whole band, and at least 8 frames
    total = expected_samples(rec)
    navg = args.navg or max(1, min(int((1 << 16) // seg_in),
                                   int((total if total is not None else 1 << 62) // (8 * seg_in))))
    with Specan(**kw, navg=navg) as sa:
        per_frame = sa.n * navg * rec.fs / sa.fs_out  # input samples per displayed frame
        # one call never completes two frames, nor reads more than --block samples
        chunk = max(1, min(args.block, int(per_frame // 2)))
        t = Traces(sa.display_size, None if total is None else int(total // per_frame))
        z = np.zeros(chunk, np.complex64) if real else None
        for x in rec.blocks(chunk, progress=bar):
            if z is not None:
                z[:len(x)].real = x
                x = z[:len(x)]
            frame = sa.execute(x)
            if frame is not None:
                t.add(10 ** (frame.astype(np.float64) / 10), navg)
        half = sa.display_size // 2
        axis = center + (np.arange(sa.display_size) - half) * (sa.fs_out / sa.nfft)
        info = {"engine": "analyzer.Specan", "window": window, "n": sa.n, "nfft": sa.nfft,
                "navg": navg, "rbw_hz": sa.rbw, "span_hz": span, "center_offset_hz": center,
                "predecimation": sa.predecimation}
    if t.frames == 0:
        raise UserError(f"the recording is shorter than one frame ({per_frame:.0f} samples: "
                        "fewer --navg, or a wider --rbw)")
    return t, axis, info


def _kaiser_sidelobe_db(beta: float) -> float:
    """Highest sidelobe of a Kaiser window relative to its main lobe, dB (measured at these
    betas, interpolated between; rectangular at beta 0)."""
    return float(np.interp(beta, [0, 2, 4, 6, 8, 10, 12],
                           [-13.3, -18.4, -30.0, -43.8, -58.7, -74.1, -90.0]))


def prominence(db: np.ndarray, i: int, level: float) -> float:
    """How far a peak stands above the higher of the two lowest points that separate it from
    stronger parts of the trace (or from its ends): ripples on a modulated hump have little,
    a tone or the hump's top a lot."""
    left, right = db[:i], db[i + 1:]
    hi_l = np.flatnonzero(left >= level)  # of two equal tops, the left one stands
    hi_r = np.flatnonzero(right > level)
    base_l = left[hi_l[-1] + 1:].min() if len(hi_l) else (left.min() if len(left) else level)
    base_r = right[:hi_r[0]].min() if len(hi_r) else (right.min() if len(right) else level)
    return float(level - max(base_l, base_r))


def carrier_band(p: np.ndarray, db: np.ndarray, k: int, level: float, fraction: float) -> tuple:
    """First and last bin of the carrier's own occupied band: the band holding ``fraction`` of
    the power that stands above ``level`` (dB; bins below it count as noise), holding bin
    ``k`` and widened to whole runs of bins above that level at both edges (a line at the edge
    belongs to the band with its skirts). Modulation sidebands lie inside it; a spur holding a
    negligible share of the power lies outside."""
    excess = np.where(db > level, p - 10 ** (level / 10), 0.0)
    cum = np.cumsum(excess)
    lo = hi = k
    if cum[-1] > 0:
        lo = min(k, int(np.searchsorted(cum, (1 - fraction) / 2 * cum[-1])))
        hi = max(k, min(len(db) - 1, int(np.searchsorted(cum, (1 + fraction) / 2 * cum[-1]))))
    below = np.flatnonzero(db <= level)
    left, right = below[below < lo], below[below > hi]
    return (left[-1] + 1 if len(left) else 0), (right[0] - 1 if len(right) else len(db) - 1)


def sfdr(p: np.ndarray, db: np.ndarray, peaks: list, k: int, level: float, fraction: float):
    """The carrier's (strongest peak's) level minus the strongest spur outside its own occupied
    band (a listed peak's interpolated level, or the highest bin there); None without a carrier
    or when its band covers the whole trace."""
    if not peaks:
        return None
    lo, hi = carrier_band(p, db, k, level, fraction)
    outside = np.concatenate([db[:lo], db[hi + 1:]])
    if not len(outside):
        return None
    spur = max([float(outside.max())] + [q["level_dbfs"] for q in peaks[1:]
                                         if not lo <= q["index"] <= hi])
    return peaks[0]["level_dbfs"] - spur


def measure(avg: np.ndarray, axis: np.ndarray, rbw: float, args) -> dict:
    """Noise floor, peaks, SNR, SFDR and occupied bandwidth of a linear trace on ``axis``."""
    from ostrel import spectral

    db = _db(avg)
    step = axis[1] - axis[0]
    nf = spectral.noise_floor_db(db)
    peaks = []
    if args.peaks > 0:
        for fn, lvl in spectral.find_peaks_f32(db, 256, nf + args.peak_threshold):
            idx = fn * len(db) + len(db) // 2
            if prominence(db, int(round(idx)), lvl) >= args.prominence:
                peaks.append({"freq_offset_hz": float(axis[0] + idx * step), "level_dbfs": float(lvl),
                              "index": int(round(idx))})
                if len(peaks) == args.peaks:
                    break
    spur_free = sfdr(avg, db, peaks, peaks[0]["index"] if peaks else 0, nf + args.peak_threshold,
                     args.obw)
    for q in peaks:
        del q["index"]
    obw = spectral.obw_from_power(avg.astype(np.float64), len(db) * step, args.obw)
    return {
        "noise_floor_db": nf, "noise_density_dbhz": nf - 10 * math.log10(rbw),
        "peak_offset_hz": peaks[0]["freq_offset_hz"] if peaks else None,
        "peak_dbfs": peaks[0]["level_dbfs"] if peaks else None,
        "snr_db": peaks[0]["level_dbfs"] - nf if peaks else None,
        "sfdr_db": spur_free,
        "obw_hz": obw, "obw_fraction": args.obw, "peaks": peaks,
    }


COLUMNS = [("engine", "engine", str),
           ("predecimation", "decimation", lambda v: f"{v}:1 in halfband pairs" if v > 1 else "none"),
           ("rbw_hz", "RBW", lambda v: fmt_rbw(v)), ("frames", "frames", fint),
           ("noise_floor_db", "noise floor (dBFS/RBW)", f1),
           ("noise_density_dbhz", "noise density (dBFS/Hz)", f1),
           ("peak_offset_hz", "strongest peak (offset)", fmt_hz), ("peak_dbfs", "peak (dBFS)", f2),
           ("snr_db", "SNR (dB)", f1), ("sfdr_db", "SFDR (dB)", f1), ("obw_hz", "occupied bw", fmt_hz)]


def details(r: dict):
    if not r["peaks"]:
        return
    yield "peaks:"
    for i, p in enumerate(r["peaks"]):
        absf = f"  ({fmt_hz(p['freq_hz'])})" if "freq_hz" in p else ""
        yield f"  {i + 1:2d}  {p['freq_offset_hz']:+14.1f} Hz{absf}  {p['level_dbfs']:8.2f} dBFS"


def _write_csv(path, axis, avg, peak, rec) -> None:
    with AtomicFile(path, "w") as f:
        w = csv.writer(f)
        w.writerow(["freq_offset_hz", "freq_hz", "average_dbfs", "maxhold_dbfs"])
        center = rec.center if rec.center_known else 0.0
        for fr, a, m in zip(axis, _db(avg), _db(peak)):
            w.writerow([f"{fr:.3f}", f"{center + fr:.3f}", f"{a:.3f}", f"{m:.3f}"])


def fmt_rbw(v: float) -> str:
    """A resolution bandwidth to three significant figures: 45.5 Hz, 1.96 kHz."""
    for unit, scale in (("MHz", 1e6), ("kHz", 1e3)):
        if v >= scale:
            return f"{v / scale:.3g} {unit}"
    return f"{v:.3g} Hz"


def freq_unit(f: np.ndarray) -> tuple:
    """Scale and unit that show the absolute frequencies ``f`` (Hz) with short numbers."""
    top = float(np.max(np.abs(f))) if len(f) else 0.0
    for unit, scale in (("GHz", 1e9), ("MHz", 1e6), ("kHz", 1e3)):
        if top >= scale:
            return scale, unit
    return 1.0, "Hz"


def _plot(path, axis, avg, peak, wf, r, rec) -> None:
    from matplotlib.ticker import MaxNLocator, ScalarFormatter

    from .common import pyplot

    plt = pyplot()
    f_abs = (rec.center if rec.center_known else 0.0) + axis
    scale, unit = freq_unit(f_abs)
    x = f_abs / scale
    fig = plt.figure(figsize=(10, 7.5))
    grid = fig.add_gridspec(2, 2, height_ratios=[1, 1.2], width_ratios=[1, 0.022], hspace=0.08,
                            wspace=0.03)
    a1 = fig.add_subplot(grid[0, 0])
    a2 = fig.add_subplot(grid[1, 0], sharex=a1)
    bar = fig.add_subplot(grid[1, 1])
    a1.plot(x, _db(peak), lw=0.6, color="tab:orange", label="max hold")
    a1.plot(x, _db(avg), lw=0.8, color="tab:blue", label="average")
    a1.axhline(r["noise_floor_db"], color="gray", ls="--", lw=0.8,
               label=f"noise floor {r['noise_floor_db']:.1f} dBFS")
    for p in r["peaks"]:
        a1.plot([p.get("freq_hz", p["freq_offset_hz"]) / scale], [p["level_dbfs"]], "v",
                color="tab:red", ms=4)
    rbw = fmt_rbw(r["rbw_hz"])
    level = f"dBFS per {rbw} RBW"
    a1.set_ylabel(level)
    zoom = r.get("predecimation") is not None
    where = (f"{fmt_hz(r['span_hz'])} span around {fmt_hz(f_abs[len(f_abs) // 2])}" if zoom
             else "whole band")
    avg_of = f"{r['frames']} frame{'s' if r['frames'] != 1 else ''}"
    if r["navg"] > 1:
        avg_of += f" of {r['navg']} segments"
    a1.set_title(f"{rec.data_path.name}: {where}, RBW {rbw}, average of {avg_of}")
    a1.grid(alpha=0.3)
    # headroom above the strongest line for the legend's one row, so it hides no signal
    lo_db, hi_db = a1.get_ylim()
    a1.set_ylim(lo_db, float(_db(peak).max()) + 0.25 * (hi_db - lo_db) + 3)
    a1.legend(loc="upper left", ncol=3, fontsize=8, framealpha=0.9)
    a1.tick_params(labelbottom=False)
    wdb = _db(wf)
    im = a2.imshow(wdb, aspect="auto", origin="upper", cmap="viridis",
                   vmin=np.percentile(wdb, 5), vmax=wdb.max(),
                   extent=[x[0], x[-1], rec.duration, 0], interpolation="nearest")
    fig.colorbar(im, cax=bar, label=level)
    a2.set_ylabel("time, s")
    a2.set_xlabel(f"frequency, {unit}" + ("" if rec.center_known else " (offset from the recording's centre)"))
    # absolute values on every tick: no offset or exponent to add in one's head
    plain = ScalarFormatter(useOffset=False)
    plain.set_scientific(False)
    a2.xaxis.set_major_formatter(plain)
    a2.xaxis.set_major_locator(MaxNLocator(8, steps=[1, 2, 2.5, 5, 10]))
    fig.subplots_adjust(left=0.08, right=0.92, top=0.95, bottom=0.08)
    tmp = path.with_name(f".{path.name}.part.png")
    fig.savefig(tmp, dpi=110)
    plt.close(fig)
    tmp.replace(path)
