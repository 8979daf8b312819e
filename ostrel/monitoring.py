"""Band occupancy and signal events from a stream of calibrated spectrum frames.

An :class:`OccupancyTracker` is fed one frame at a time: dB values (dBFS per RBW, as
``analyzer.Specan`` gives them) over a fixed frequency axis, with the frame's start and end
time. It keeps a robust noise-floor estimate (the median over the band of each frame,
smoothed over frames, so signals occupying less than half the band do not lift it) and
tracks signals as events:

- a run of neighbouring bins opens an event when at least one of its bins stands
  ``threshold_db`` above the floor; the event stays open while its bins stand
  ``threshold_db - hysteresis_db`` above it (so a signal wavering at the threshold does
  not flicker into many events);
- bins within ``merge_bins`` of each other belong to one cluster; a cluster touching an
  open event's frequency extent continues it, one touching two events merges them;
- an event whose bins stay below the lower level for a frame closes at the end of its last
  frame above it; an event shorter than ``min_duration`` is dropped when it closes (it is
  counted in ``discarded``).

Usage::

    tr = OccupancyTracker(freqs, threshold_db=10, hysteresis_db=3, min_duration=0.2)
    for t0, t1, db in frames:
        for ev in tr.update(db, t0, t1):
            print(ev.as_dict())        # closed events, in closing order
    for ev in tr.close():              # end of the run: open events close at the last frame
        ...
    tr.floor_db                        # the current floor estimate; tr.open_events() for markers

Times are whatever the caller uses (seconds, typically POSIX time); frequencies are the
frame's axis (absolute Hz, or offsets). The tracker holds O(bins) state and the open
events only; it never buffers frames.
"""

from __future__ import annotations

import dataclasses
import datetime as _dt
import math
from typing import Iterator

import numpy as np

__all__ = ["Event", "OccupancyTracker", "iso_utc"]


def iso_utc(t: float) -> str:
    """POSIX seconds as ISO-8601 UTC with microseconds: ``2026-12-08T12:00:00.250000Z``."""
    return _dt.datetime.fromtimestamp(t, _dt.timezone.utc).strftime("%Y-%m-%dT%H:%M:%S.%fZ")


@dataclasses.dataclass(eq=False)
class Event:
    """One signal: its time span, frequency edges and strongest reading.

    ``low_hz``/``high_hz`` are the outer edges of the bins it occupied (bin centre -+ half a
    bin step), ``peak_db`` its strongest bin reading, ``peak_hz`` where, ``snr_db`` the peak
    over the noise floor of the frame holding the peak, ``floor_db`` that floor."""

    id: int
    start: float
    end: float
    low_hz: float
    high_hz: float
    peak_db: float
    peak_hz: float
    snr_db: float
    floor_db: float
    frames: int = 1
    lo_bin: int = 0
    hi_bin: int = 0

    @property
    def duration(self) -> float:
        return self.end - self.start

    def as_dict(self, iso: bool = True) -> dict:
        """The JSON form: times ISO-8601 UTC (``iso``) or as given, edges in Hz."""
        d = {"id": self.id,
             "start": iso_utc(self.start) if iso else self.start,
             "end": iso_utc(self.end) if iso else self.end,
             "duration_s": round(self.duration, 6),
             "low_hz": self.low_hz, "high_hz": self.high_hz,
             "bandwidth_hz": self.high_hz - self.low_hz,
             "peak_hz": self.peak_hz, "peak_dbfs": round(self.peak_db, 2),
             "snr_db": round(self.snr_db, 2), "floor_dbfs": round(self.floor_db, 2),
             "frames": self.frames}
        return d


class OccupancyTracker:
    """Noise floor and signal events over a stream of dB frames (see the module docstring).

    ``freqs``: the frequency of each bin (evenly spaced, ascending). ``floor_alpha``: the
    weight of each frame's median in the smoothed floor (1: no smoothing); the first frame
    sets the floor directly. ``merge_bins``: bins up to this many apart (gaps below the
    lower level) still form one cluster."""

    def __init__(self, freqs, *, threshold_db: float = 10.0, hysteresis_db: float = 3.0,
                 min_duration: float = 0.0, floor_alpha: float = 0.2, merge_bins: int = 1):
        f = np.asarray(freqs, np.float64)
        if f.ndim != 1 or len(f) < 2:
            raise ValueError("freqs must hold at least two bin frequencies")
        step = np.diff(f)
        if not (np.all(step > 0) and np.all(np.isfinite(f))):
            raise ValueError("freqs must be finite and ascending")
        if not (math.isfinite(threshold_db) and threshold_db > 0):
            raise ValueError("threshold_db must be positive")
        if not (math.isfinite(hysteresis_db) and 0 <= hysteresis_db < threshold_db):
            raise ValueError("hysteresis_db must lie in [0, threshold_db)")
        if not (math.isfinite(min_duration) and min_duration >= 0):
            raise ValueError("min_duration must be >= 0")
        if not 0 < floor_alpha <= 1:
            raise ValueError("floor_alpha must lie in (0, 1]")
        if merge_bins < 0:
            raise ValueError("merge_bins must be >= 0")
        self.freqs = f
        self.step = float(np.mean(step))
        self.threshold_db = float(threshold_db)
        self.hysteresis_db = float(hysteresis_db)
        self.min_duration = float(min_duration)
        self.floor_alpha = float(floor_alpha)
        self.merge_bins = int(merge_bins)
        self.floor_db: float | None = None
        self.frames = 0
        self.discarded = 0  # events shorter than min_duration
        self.last_end: float | None = None
        self._open: list[Event] = []
        self._next_id = 1

    # -- feeding -------------------------------------------------------------------------------
    def update(self, db, t0: float, t1: float) -> list[Event]:
        """Fold one frame (``len(freqs)`` dB values covering times t0 .. t1); returns the
        events that closed with it (their last frame was an earlier one)."""
        x = np.asarray(db, np.float64)
        if x.shape != self.freqs.shape:
            raise ValueError(f"a frame holds {len(self.freqs)} values, got shape {x.shape}")
        if not t1 >= t0:
            raise ValueError("a frame must end no earlier than it starts")
        med = float(np.median(x))
        if not math.isfinite(med):
            x = np.nan_to_num(x, nan=-300.0, posinf=300.0, neginf=-300.0)
            med = float(np.median(x))
        if self.floor_db is None:
            self.floor_db = med
        else:
            self.floor_db += self.floor_alpha * (med - self.floor_db)
        floor = self.floor_db
        self.frames += 1
        touched: list[Event] = []
        for lo, hi in self._clusters(x, floor):
            k = lo + int(np.argmax(x[lo:hi + 1]))
            ev = self._continue(lo, hi, touched)
            if ev is None:
                ev = Event(self._next_id, t0, t1, 0.0, 0.0, -math.inf, 0.0, 0.0, floor,
                           0, lo, hi)
                self._next_id += 1
                self._open.append(ev)
            ev.lo_bin, ev.hi_bin = min(ev.lo_bin, lo), max(ev.hi_bin, hi)
            ev.end = t1
            if ev not in touched:
                ev.frames += 1
                touched.append(ev)
            if x[k] > ev.peak_db:
                ev.peak_db, ev.peak_hz = float(x[k]), float(self.freqs[k])
                ev.snr_db, ev.floor_db = float(x[k] - floor), floor
        closed = [ev for ev in self._open if ev not in touched]
        self._open = touched
        self.last_end = t1
        return self._finish(closed)

    def close(self) -> list[Event]:
        """End of the run: every open event closes at the end of its last frame; returns those
        long enough."""
        closed, self._open = self._open, []
        return self._finish(closed)

    def open_events(self) -> list[Event]:
        """The events open now (ends at their latest frame; edges so far), for live markers."""
        return [self._edges(dataclasses.replace(ev)) for ev in self._open]

    # -- internals -----------------------------------------------------------------------------
    def _clusters(self, x: np.ndarray, floor: float) -> Iterator[tuple[int, int]]:
        """(lo, hi) bin runs above the lower level holding a bin above the opening level, or
        continuing an open event."""
        keep = x > floor + self.threshold_db - self.hysteresis_db
        if not keep.any():
            return
        idx = np.flatnonzero(keep)
        breaks = np.flatnonzero(np.diff(idx) > self.merge_bins + 1)
        starts = np.concatenate(([0], breaks + 1))
        ends = np.concatenate((breaks, [len(idx) - 1]))
        high = floor + self.threshold_db
        for s, e in zip(starts, ends):
            lo, hi = int(idx[s]), int(idx[e])
            if x[lo:hi + 1].max() > high or self._overlapping(lo, hi):
                yield lo, hi

    def _overlapping(self, lo: int, hi: int) -> list[Event]:
        g = self.merge_bins
        return [ev for ev in self._open if lo <= ev.hi_bin + g and hi >= ev.lo_bin - g]

    def _continue(self, lo: int, hi: int, touched: list) -> Event | None:
        """The open event this cluster continues (several: merged into the earliest)."""
        hits = self._overlapping(lo, hi)
        if not hits:
            return None
        ev = min(hits, key=lambda e: (e.start, e.id))
        for other in hits:
            if other is ev:
                continue
            ev.lo_bin, ev.hi_bin = min(ev.lo_bin, other.lo_bin), max(ev.hi_bin, other.hi_bin)
            ev.end = max(ev.end, other.end)
            ev.frames = max(ev.frames, other.frames)
            if other.peak_db > ev.peak_db:
                ev.peak_db, ev.peak_hz = other.peak_db, other.peak_hz
                ev.snr_db, ev.floor_db = other.snr_db, other.floor_db
            self._open.remove(other)
            if other in touched:
                touched.remove(other)
                if ev not in touched:
                    touched.append(ev)
        return ev

    def _edges(self, ev: Event) -> Event:
        h = self.step / 2
        ev.low_hz = float(self.freqs[ev.lo_bin] - h)
        ev.high_hz = float(self.freqs[ev.hi_bin] + h)
        return ev

    def _finish(self, closed: list[Event]) -> list[Event]:
        out = []
        for ev in sorted(closed, key=lambda e: (e.start, e.id)):
            if ev.duration + 1e-12 < self.min_duration:
                self.discarded += 1
                continue
            out.append(self._edges(ev))
        return out
