"""``ostrel monitor``: unattended band monitoring: an occupancy log and signal events.

The band (--band LOW:HIGH; the whole span by default) is analysed with the calibrated
spectrum analyzer (analyzer.Specan, flat front end) at --rbw. Every --interval, one row of the
mean spectrum goes to the --log CSV in rtl_power's layout (date, time, Hz low, Hz high, Hz
step, samples, then one dB value per bin), so existing heat-map tools read it. Each interval
is cut into detection frames (up to 8, each the mean of 8 or more segments where the interval
holds them); a signal opens
an event when it rises --threshold above the noise floor (the median over the band, smoothed
over frames) and closes when it falls --hysteresis below that again; events shorter than
--min-duration are dropped. Closed events go to --events as JSON Lines: ISO-8601 UTC start and
end, duration, absolute frequency edges and peak frequency in Hz, peak dBFS, SNR over the
floor. --snip DIR writes each event's samples (the whole input band, from a frame before its
start to a frame after its end, at most --snip-max seconds: the end of a longer event) as a
SigMF recording annotated with the event's edges and times.

Times come from the input: a recording's first core:datetime plus the sample position (a
recording without one starts at 1970-01-01T00:00:00Z), a live source's arrival time of its
first samples plus the position, so a file gives the same log paced or not. --band values are
absolute frequencies when the input's centre frequency is known (SigMF core:frequency, --rf),
offsets from the centre otherwise.

Runs until the input ends, --seconds/--samples (live sources) or Ctrl-C: the first Ctrl-C
closes the open events, writes the interval in progress and exits 0. Log and event lines are
written whole and flushed one at a time (a line on disk is always complete); each snip is
published complete or not at all."""

from __future__ import annotations

import datetime as dt
import json
import math
import os
import re
import time
from collections import deque
from pathlib import Path

import numpy as np

from . import recording as recmod
from .common import UserError, f1, fint, fmt_hz, output_path, output_target, warn
from .live import input_progress, live_interrupts
from .record import pack
from .spectrum import check_band, fmt_rbw, specan_type
from ..monitoring import OccupancyTracker, iso_utc

EXAMPLES = """\
examples:
  ostrel monitor rtltcp://127.0.0.1 --rf 433.92M --fs 2.4M --rbw 5k --log ism.csv --events ism.jsonl
  ostrel monitor capture.sigmf-meta --band 433.8M:434.0M --rbw 1k --threshold 12dB --snip events/
  ostrel monitor udp://:2000 --fs 1M --interval 10s --min-duration 0.5 --events events.jsonl"""

MAX_FRAMES_PER_ROW = 8
MIN_NAVG = 8  # segments per detection frame: a 10 dB threshold over a mean of 8 stays quiet


def _seconds_arg(text: str) -> float:
    import argparse

    m = re.fullmatch(r"\s*([0-9.eE+-]+)\s*(ms|s|min|h)?\s*", text)
    try:
        v = float(m.group(1)) * {"ms": 1e-3, "s": 1.0, "min": 60.0, "h": 3600.0, None: 1.0}[m.group(2)]
    except (AttributeError, ValueError):
        raise argparse.ArgumentTypeError(f"not a duration: {text!r} (examples: 1s, 500ms, 2)") from None
    if not math.isfinite(v) or v < 0:
        raise argparse.ArgumentTypeError(f"not a finite duration >= 0: {text!r}")
    return v


def _db_arg(text: str) -> float:
    import argparse

    s = text.strip()
    if s.lower().endswith("db"):
        s = s[:-2]
    try:
        v = float(s)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a level in dB: {text!r} (examples: 10dB, 6)") from None
    if not math.isfinite(v):
        raise argparse.ArgumentTypeError(f"not a finite level: {text!r}")
    return v


def _band_arg(text: str) -> tuple[float, float]:
    import argparse

    from .common import parse_hz

    parts = text.split(":")
    try:
        if len(parts) != 2:
            raise ValueError(f"not a band: {text!r} (LOW:HIGH, e.g. 433.8M:434.0M)")
        lo, hi = parse_hz(parts[0]), parse_hz(parts[1])
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None
    if not hi > lo:
        raise argparse.ArgumentTypeError(f"--band {text}: HIGH must exceed LOW")
    return lo, hi


def add_event_arguments(g) -> None:
    """The event rules of the occupancy tracker (shared with ``ostrel serve``'s markers)."""
    g.add_argument("--threshold", type=_db_arg, default=10.0, metavar="DB",
                   help="an event opens this far above the noise floor (default 10dB)")
    g.add_argument("--hysteresis", type=_db_arg, default=3.0, metavar="DB",
                   help="and closes when the signal falls below threshold - hysteresis "
                        "(default 3dB)")
    g.add_argument("--min-duration", type=_seconds_arg, default=0.0, metavar="T",
                   help="events shorter than T are dropped (default 0: none)")


def add_arguments(p) -> None:
    from .common import positive_hz_arg

    g = p.add_argument_group("monitoring")
    g.add_argument("--band", type=_band_arg, metavar="LOW:HIGH",
                   help="band to watch, Hz (absolute when the centre frequency is known; default "
                        "the whole span)")
    g.add_argument("--rbw", type=positive_hz_arg, metavar="HZ",
                   help="resolution bandwidth, Hz (default band/440)")
    add_event_arguments(g)
    g.add_argument("--interval", type=_seconds_arg, default=1.0, metavar="T",
                   help="time per log row (default 1s; rounded to whole detection frames)")
    o = p.add_argument_group("files")
    o.add_argument("--log", metavar="FILE.csv", help="occupancy log, one row per interval "
                                                     "(rtl_power's CSV layout)")
    o.add_argument("--events", metavar="FILE.jsonl", help="events as JSON Lines")
    o.add_argument("--snip", metavar="DIR", help="each event's samples as a SigMF recording")
    o.add_argument("--snip-max", type=_seconds_arg, default=2.0, metavar="T",
                   help="longest snip, seconds (default 2; bounds the sample memory kept)")


def prepare(args) -> None:
    if not 0 <= args.hysteresis < args.threshold:
        raise UserError("--hysteresis must lie between 0 and --threshold")
    if not args.threshold > 0:
        raise UserError("--threshold must be positive")
    if not args.interval > 0:
        raise UserError("--interval must be positive")
    if args.snip is not None and not args.snip_max > 0:
        raise UserError("--snip-max must be positive")
    if specan_type() is None:
        raise UserError("this build has no analyzer.Specan, which monitor needs")
    if args.snip is not None:
        d = Path(args.snip)
        if d.exists() and not d.is_dir():
            raise UserError(f"--snip {d}: not a directory")
        if d.is_dir() and not args.force and any(d.glob("event-*.sigmf-meta")):
            raise UserError(f"--snip {d} already holds event recordings (use --force to add to "
                            "them, or another directory)")


def outputs(args, path: str, several: bool) -> list:
    return [p for p in (output_path(args.log, path, several, "--log"),
                        output_path(args.events, path, several, "--events")) if p is not None]


class LineFile:
    """A text file written one whole line per write() call, so every line on disk is complete
    however the run ends (readers may follow it while it grows)."""

    def __init__(self, path: Path):
        self.fd = os.open(output_target(Path(path)), os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o666)
        self.lines = 0

    def write(self, line: str) -> None:
        b = (line + "\n").encode()
        while b:
            b = b[os.write(self.fd, b):]
        self.lines += 1

    def close(self) -> None:
        if self.fd >= 0:
            os.close(self.fd)
            self.fd = -1


def csv_row(t: float, low: float, step: float, samples: int, db: np.ndarray) -> str:
    """One row of rtl_power's layout: date, time, Hz low, Hz high, Hz step, samples, dB ..."""
    d = dt.datetime.fromtimestamp(t, dt.timezone.utc)
    high = low + step * len(db)
    vals = ", ".join(f"{v:.2f}" for v in db)
    return (f"{d:%Y-%m-%d}, {d:%H:%M:%S}, {int(round(low))}, {int(round(high))}, {step:.2f}, "
            f"{samples}, {vals}")


class SampleRing:
    """The most recent ``capacity`` input samples (copied), to cut event snips from."""

    def __init__(self, capacity: int):
        self.capacity = capacity
        self.chunks: deque = deque()  # (first sample index, samples)
        self.held = 0
        self.end = 0  # index after the newest sample

    def add(self, x: np.ndarray) -> None:
        if len(x) > self.capacity:
            self.end += len(x) - self.capacity
            x = x[-self.capacity:]
        self.chunks.append((self.end, x.copy()))
        self.held += len(x)
        self.end += len(x)
        while self.held - len(self.chunks[0][1]) >= self.capacity:
            self.held -= len(self.chunks.popleft()[1])

    def cut(self, start: int, stop: int) -> tuple[int, np.ndarray]:
        """Samples [start, stop) that are still held: (first index, samples)."""
        first = self.end - self.held
        start, stop = max(start, first, self.end - self.capacity), min(stop, self.end)
        if stop <= start:
            return start, np.zeros(0, np.complex64)
        parts = [x[max(0, start - i):stop - i] for i, x in self.chunks
                 if i < stop and i + len(x) > start]
        return start, np.concatenate(parts)


def time_base(rec) -> tuple[float | None, str]:
    """POSIX time of sample 0 and where it comes from (None: a live source's first arrival)."""
    if getattr(rec, "live", False):
        return None, "arrival time"
    for c in sorted(rec.captures, key=lambda c: c.get("core:sample_start", 0)):
        s = c.get("core:datetime")
        if isinstance(s, str):
            try:
                t = dt.datetime.fromisoformat(s.replace("Z", "+00:00"))
            except ValueError:
                warn(f"core:datetime {s!r} is not ISO-8601: times start at 1970-01-01")
                break
            if t.tzinfo is None:
                t = t.replace(tzinfo=dt.timezone.utc)
            return t.timestamp() - c.get("core:sample_start", 0) / rec.fs, "core:datetime"
    return 0.0, "none (times from 1970-01-01T00:00:00Z)"


def _band(rec, args) -> tuple[float, float]:
    """(centre offset, span) of the watched band."""
    real = not rec.fmt.complex
    if args.band is None:
        return (rec.fs / 4, rec.fs / 2) if real else (0.0, rec.fs / 1.28)
    lo, hi = args.band
    if rec.center_known:
        lo, hi = lo - rec.center, hi - rec.center
    center, span = (lo + hi) / 2, hi - lo
    check_band(rec, center, span, rec.center if rec.center_known else 0.0)
    return center, span


class Monitor:
    """The command's loop state: analyzer frames into log rows, events, and snips."""

    def __init__(self, rec, args):
        self.rec, self.args = rec, args
        Specan = specan_type()
        self.real = not rec.fmt.complex
        self.center, span = _band(rec, args)
        rbw = args.rbw or span / 440
        kw = dict(fs=rec.fs, span=span, rbw=rbw, center=self.center, window="kaiser",
                  offset_db=10 * math.log10(2) if self.real else 0.0, flat=True)
        try:
            probe = Specan(**kw)
        except (ValueError, OverflowError, MemoryError) as e:
            raise UserError(f"the spectrum analyzer refuses band {span:g} Hz, RBW {rbw:g} Hz: "
                            f"{e}") from None
        seg_in = probe.n * rec.fs / probe.fs_out
        probe.destroy()
        segs = args.interval * rec.fs / seg_in  # segments per interval
        if segs < 1:
            raise UserError(f"--interval {args.interval:g} s is shorter than one analyzer segment "
                            f"({seg_in / rec.fs:.3g} s at RBW {fmt_rbw(rbw)}): a longer interval "
                            "or a wider --rbw")
        self.frames_per_row = max(1, min(MAX_FRAMES_PER_ROW, int(segs // MIN_NAVG)))
        self.navg = max(1, round(segs / self.frames_per_row))
        self.sa = Specan(**kw, navg=self.navg)
        self.rbw = self.sa.rbw
        self.per_frame = self.sa.n * self.navg * rec.fs / self.sa.fs_out  # input samples
        self.interval = self.per_frame * self.frames_per_row / rec.fs
        half = self.sa.display_size // 2
        self.step = self.sa.fs_out / self.sa.nfft
        base = rec.center if rec.center_known else 0.0
        self.freqs = base + self.center + (np.arange(self.sa.display_size) - half) * self.step
        self.tracker = OccupancyTracker(self.freqs, threshold_db=args.threshold,
                                        hysteresis_db=args.hysteresis,
                                        min_duration=args.min_duration)
        self.t_base, self.time_source = time_base(rec)
        self.frame = 0
        self.row_sum = np.zeros(self.sa.display_size, np.float64)
        self.row_frames = 0
        self.rows = self.events = 0
        self.snips: list[str] = []
        self.log = self.ev_file = None
        self.ring = None
        if args.snip is not None:
            pad = 2 * self.per_frame
            self.ring = SampleRing(int(args.snip_max * rec.fs + 3 * pad + self.per_frame))
            Path(args.snip).mkdir(parents=True, exist_ok=True)

    def t(self, sample: float) -> float:
        return self.t_base + sample / self.rec.fs

    # -- the loop ------------------------------------------------------------------------------
    def run(self, bar) -> None:
        rec, args = self.rec, self.args
        chunk = max(1, min(args.block, int(self.per_frame // 2)))
        z = np.zeros(chunk, np.complex64) if self.real else None
        pos = 0
        for x in rec.blocks(chunk, progress=bar):
            if self.t_base is None:  # a live source: its first samples arrived just now
                self.t_base = time.time() - len(x) / rec.fs
            if z is not None:
                z[:len(x)].real = x
                x = z[:len(x)]
            if self.ring is not None:
                self.ring.add(x)
            pos += len(x)
            frame = self.sa.execute(x)
            if frame is not None:
                self._frame(frame)
            if getattr(rec, "stop_requested", False) and not getattr(rec, "live", False):
                break
        if self.t_base is None:
            raise UserError(f"no samples arrived from {rec.path}")
        self.samples = pos
        if self.row_frames:
            self._row()
        self._closed(self.tracker.close())

    def _frame(self, db: np.ndarray) -> None:
        k = self.frame
        self.frame += 1
        t0, t1 = self.t(k * self.per_frame), self.t((k + 1) * self.per_frame)
        self._closed(self.tracker.update(db, t0, t1))
        self.row_sum += 10 ** (db.astype(np.float64) / 10)
        self.row_frames += 1
        if self.row_frames == self.frames_per_row:
            self._row()

    def _row(self) -> None:
        db = 10 * np.log10(np.maximum(self.row_sum / self.row_frames, 1e-30))
        first = self.frame - self.row_frames
        samples = int(round(self.frame * self.per_frame)) - int(round(first * self.per_frame))
        if self.log is not None:
            self.log.write(csv_row(self.t(first * self.per_frame), self.freqs[0], self.step,
                                   samples, db))
        self.rows += 1
        self.row_sum[:] = 0
        self.row_frames = 0

    def _closed(self, events) -> None:
        for ev in events:
            d = ev.as_dict()
            if self.ring is not None:
                d["snip"] = self._snip(ev)
            self.events += 1
            if self.ev_file is not None:
                self.ev_file.write(json.dumps(d, allow_nan=False))

    def _snip(self, ev) -> str | None:
        fs = self.rec.fs
        s0 = int(math.floor((ev.start - self.t_base) * fs))
        s1 = int(math.ceil((ev.end - self.t_base) * fs))
        pad = int(self.per_frame)
        want0 = max(0, max(s0 - pad, s1 + pad - int(self.args.snip_max * fs)))
        first, x = self.ring.cut(want0, s1 + pad)
        if not len(x):
            return None
        fmt = recmod.parse_datatype("cf32_le")
        name = f"event-{ev.id:05d}-{iso_utc(ev.start).replace(':', '').replace('.', '_')}"
        meta, data = recmod.meta_and_data_paths(str(Path(self.args.snip) / name))
        cap = {"core:sample_start": 0, "core:datetime": iso_utc(self.t(first))}
        if self.rec.center_known:
            cap["core:frequency"] = self.rec.center
        a0 = max(0, s0 - first)
        ann = {"core:sample_start": a0, "core:sample_count": max(1, min(len(x), s1 - first) - a0),
               "core:freq_lower_edge": ev.low_hz, "core:freq_upper_edge": ev.high_hz,
               "core:label": f"event {ev.id}",
               "core:comment": (f"peak {ev.peak_db:.1f} dBFS at {fmt_hz(ev.peak_hz)}, SNR "
                                f"{ev.snr_db:.1f} dB, {iso_utc(ev.start)} .. {iso_utc(ev.end)}")}
        if s0 < first:
            ann["ostrel:truncated"] = True
        g = {"core:datatype": fmt.name, "core:sample_rate": fs, "core:recorder": "ostrel monitor",
             "core:description": f"event {ev.id} of ostrel monitor on {self.rec.path}"}
        with recmod.RecordingWriter(meta, data) as w:
            w.describe(g, [cap], [ann])
            w.write(pack(x.astype(np.complex64, copy=False), fmt))
        self.snips.append(str(meta))
        return str(meta)

    def close(self) -> None:
        self.sa.destroy()
        for f in (self.log, self.ev_file):
            if f is not None:
                f.close()


def run(rec, args, progress: bool) -> dict:
    live = getattr(rec, "live", False)
    m = Monitor(rec, args)
    try:
        several = False
        if args.log:
            m.log = LineFile(output_path(args.log, rec.path, several, "--log"))
        if args.events:
            m.ev_file = LineFile(output_path(args.events, rec.path, several, "--events"))
        with input_progress(rec, progress) as bar:
            if live:
                m.run(bar)
            else:  # a recording: the first Ctrl-C ends the run as it ends a live one
                with live_interrupts(rec):
                    m.run(bar)
    finally:
        m.close()
    if m.frame == 0:
        raise UserError(f"the input ended before one detection frame ({m.per_frame:.0f} samples): "
                        "a shorter --interval or a wider --rbw")
    return {"band_low_hz": float(m.freqs[0] - m.step / 2),
            "band_high_hz": float(m.freqs[-1] + m.step / 2),
            "center_known": rec.center_known, "rbw_hz": m.rbw, "bins": len(m.freqs),
            "bin_step_hz": m.step, "interval_s": m.interval, "frames_per_row": m.frames_per_row,
            "rows": m.rows, "frames": m.frame, "events": m.events,
            "discarded": m.tracker.discarded, "noise_floor_dbfs": m.tracker.floor_db,
            "samples": m.samples, "time_source": m.time_source,
            "start": iso_utc(m.t_base), "snips": m.snips,
            "interrupted": bool(getattr(rec, "stop_requested", False))}


COLUMNS = [("band_low_hz", "band low", fmt_hz), ("band_high_hz", "band high", fmt_hz),
           ("rbw_hz", "RBW", lambda v: fmt_rbw(v)), ("interval_s", "interval (s)", lambda v: f"{v:.4g}"),
           ("rows", "log rows", fint), ("events", "events", fint),
           ("discarded", "shorter than --min-duration", fint),
           ("noise_floor_dbfs", "noise floor (dBFS/RBW)", f1), ("time_source", "time from", str)]
