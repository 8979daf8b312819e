"""``ostrel spectrum``: a calibrated spectrum of a recording, streamed over the whole file.

The whole band is analysed with the Welch estimator (spectral.PSD: non-overlapping windowed
segments, zero-padded 2x); --center and --span zoom into a band with the spectrum analyzer
(analyzer.Specan: down-conversion to 1.28 x span, then the same estimator with a Kaiser window
whose length and shape realise --rbw). Each displayed frame is the mean of --navg segments; the
result is the average of all frames and their max-hold, and a waterfall of the frames over time.

Levels are dBFS: a full-scale complex tone reads 0 dBFS (a real recording is shown one-sided,
0 ... fs/2, where a tone reads its power, zoomed or not). Zoomed levels are flat across the
span to about 0.01 dB, and signals outside it are suppressed by 60 dB or more (60 just outside
its edges, far more further out): when the span is narrow (fs / (1.28 x span) of 8 or more),
4:1 halfband stages decimate in front of the analyzer, whose own down-converter would otherwise
start with an uncompensated CIC (levels 1.4 to 4 dB low a quarter of the span from the centre
and 5 to 23 dB low at its edges, depending on the ratio; aliases only 20 to 35 dB down). The
report's "decimation" line shows the factor of those stages.

Measurements on the average trace: the noise floor (median bin, also as a density in dBFS/Hz),
the peaks above the floor + --peak-threshold, the SNR of the strongest peak over the floor, the
SFDR (strongest minus second peak) and the occupied bandwidth holding --obw of the power. --png
draws the traces and the waterfall (needs matplotlib, the [plot] extra); --csv writes the
traces."""

from __future__ import annotations

import csv
import math

import numpy as np

from .adapters import FlatChain, quarter_stages
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
    if args.navg is not None and args.navg < 1:
        raise UserError("--navg must be at least 1")
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


def _run_specan(rec, args, bar):
    Specan = specan_type()
    real = not rec.fmt.complex
    center = args.center if args.center is not None else (rec.fs / 4 if real else 0.0)
    span = args.span or (min(center, rec.fs / 2 - center) * 2 if real else rec.fs / 1.28)
    lo, hi = (0.0, rec.fs / 2) if real else (-rec.fs / 2, rec.fs / 2)
    if not (lo - 1e-6 * rec.fs <= center - span / 2 and center + span / 2 <= hi + 1e-6 * rec.fs) \
            or span <= 0:
        raise UserError(f"band {fmt_hz(center - span / 2)} .. {fmt_hz(center + span / 2)} reaches "
                        f"beyond the recording's {fmt_hz(lo)} .. {fmt_hz(hi)}"
                        + (" (a real recording)" if real else ""))
    rbw = args.rbw or span / 440
    window = args.window or "kaiser"
    if window not in ("hann", "kaiser"):
        raise UserError("the spectrum analyzer's windows are hann and kaiser")
    # Keep the analyzer's own down-converter below 8:1 (flat, alias-free); 4:1 stages in front
    # take the rest. A real recording becomes its analytic signal in the first stage (a tone
    # of power P then reads P + 3 dB: offset -3.01 dB), or, when the band is too wide for
    # that, enters as complex samples (each tone also shows its mirror image, outside the
    # band: offset +3.01 dB), so a real tone reads its power as in the whole-band view.
    ratio = rec.fs / (1.28 * span)
    quarters = quarter_stages(ratio)
    if real and ratio >= 4:
        quarters = max(quarters, 1)
    chain = FlatChain(center / rec.fs, quarters, real) if quarters else None
    fs_in = rec.fs / 4 ** quarters
    tune = 0.0 if chain else center
    offset_db = 0.0 if not real else (-10 * math.log10(2) if chain else 10 * math.log10(2))
    navg0 = args.navg or 1
    try:
        try:
            probe = Specan(fs=fs_in, span=span, rbw=rbw, center=tune, window=window, navg=navg0,
                           offset_db=offset_db)
        except (ValueError, MemoryError) as e:
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
        with Specan(fs=fs_in, span=span, rbw=rbw, center=tune, window=window, navg=navg,
                    offset_db=offset_db) as sa:
            per_frame = sa.n * navg * rec.fs / sa.fs_out  # input samples per displayed frame
            # one call never completes two frames, nor reads more than --block samples
            chunk = max(1, min(args.block, int(per_frame // 2)))
            t = Traces(sa.display_size, None if total is None else int(total // per_frame))
            z = None if rec.fmt.complex or chain else np.zeros(chunk, np.complex64)
            for x in rec.blocks(chunk, progress=bar):
                if chain is not None:
                    x = chain.execute(x)
                elif z is not None:
                    z[:len(x)].real = x
                    x = z[:len(x)]
                frame = sa.execute(x)
                if frame is not None:
                    t.add(10 ** (frame.astype(np.float64) / 10), navg)
            half = sa.display_size // 2
            axis = center + (np.arange(sa.display_size) - half) * (sa.fs_out / sa.nfft)
            info = {"engine": "analyzer.Specan", "window": window, "n": sa.n, "nfft": sa.nfft,
                    "navg": navg, "rbw_hz": sa.rbw, "span_hz": span, "center_offset_hz": center,
                    "predecimation": 4 ** quarters}
    finally:
        if chain is not None:
            chain.close()
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
                peaks.append({"freq_offset_hz": float(axis[0] + idx * step), "level_dbfs": float(lvl)})
                if len(peaks) == args.peaks:
                    break
    obw = spectral.obw_from_power(avg.astype(np.float64), len(db) * step, args.obw)
    return {
        "noise_floor_db": nf, "noise_density_dbhz": nf - 10 * math.log10(rbw),
        "peak_offset_hz": peaks[0]["freq_offset_hz"] if peaks else None,
        "peak_dbfs": peaks[0]["level_dbfs"] if peaks else None,
        "snr_db": peaks[0]["level_dbfs"] - nf if peaks else None,
        "sfdr_db": peaks[0]["level_dbfs"] - peaks[1]["level_dbfs"] if len(peaks) > 1 else None,
        "obw_hz": obw, "obw_fraction": args.obw, "peaks": peaks,
    }


COLUMNS = [("engine", "engine", str),
           ("predecimation", "decimation", lambda v: f"{v}:1 in halfband stages" if v > 1 else "none"),
           ("rbw_hz", "RBW", fmt_hz), ("frames", "frames", fint),
           ("noise_floor_db", "noise floor (dBFS/bin)", f1),
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


def _plot(path, axis, avg, peak, wf, r, rec) -> None:
    from .common import pyplot

    plt = pyplot()
    scale, unit = (1e6, "MHz") if rec.center_known else (1e3, "kHz")
    x = ((rec.center if rec.center_known else 0.0) + axis) / scale
    fig, (a1, a2) = plt.subplots(2, 1, figsize=(10, 7), sharex=True,
                                 gridspec_kw={"height_ratios": [1, 1.2]})
    a1.plot(x, _db(peak), lw=0.6, color="tab:orange", label="max hold")
    a1.plot(x, _db(avg), lw=0.8, color="tab:blue", label="average")
    a1.axhline(r["noise_floor_db"], color="gray", ls="--", lw=0.8,
               label=f"noise floor {r['noise_floor_db']:.1f} dBFS")
    for p in r["peaks"]:
        a1.plot([(p.get("freq_hz", p["freq_offset_hz"])) / scale], [p["level_dbfs"]], "v", color="tab:red", ms=4)
    a1.set_ylabel("dBFS")
    a1.set_title(f"{rec.data_path.name}: {r['engine']}, RBW {fmt_hz(r['rbw_hz'])}, "
                 f"{r['frames']} frames of {r['navg']} segments")
    a1.grid(alpha=0.3)
    a1.legend(loc="upper right", fontsize=8)
    wdb = _db(wf)
    lo = np.percentile(wdb, 5)
    a2.imshow(wdb, aspect="auto", origin="upper", cmap="viridis", vmin=lo, vmax=wdb.max(),
              extent=[x[0], x[-1], rec.duration, 0], interpolation="nearest")
    a2.set_ylabel("time, s")
    a2.set_xlabel(f"frequency, {unit}")
    fig.tight_layout()
    tmp = path.with_name(f".{path.name}.part.png")
    fig.savefig(tmp, dpi=110)
    plt.close(fig)
    tmp.replace(path)
