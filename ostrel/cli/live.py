"""Live runs: a source (``ostrel.sources``) behind the interface the subcommands read recordings
through, bounded by --seconds / --samples, with Ctrl-C handling and a progress line that shows
samples, the achieved rate and drops.

``LiveRecording.blocks(block)`` yields blocks of exactly ``block`` samples (the last one
shorter), as a recording does, so a command computes the same results on a stream as on a file
of the same samples however the network cuts them. Several iterators may run over one stream
(the demodulator's carrier search reads ahead of the receiver): what the slowest has not taken
yet is kept, and nothing more.

First Ctrl-C: the stream ends after the block in hand, the command finishes its outputs and
the run exits 0. Second Ctrl-C: KeyboardInterrupt at once (exit 130; temporary outputs removed).
"""

from __future__ import annotations

import collections
import contextlib
import re
import signal
import sys
import threading
import time
from pathlib import PurePosixPath
from typing import Iterator

import numpy as np

from ostrel.sources import SourceError, is_live, open_source, scheme_of

from .common import NoProgress, UserError, fint, progress_bar, warn
from .recording import parse_datatype

__all__ = ["LiveRecording", "is_live", "open_live", "input_progress", "add_live_arguments",
           "live_stem", "live_interrupts", "LIVE_COLUMNS"]


def live_stem(address: str) -> str:
    """A file-name stem for a live source: ``udp://:5000`` -> ``udp-5000``, ``-`` -> ``stdin``."""
    if address == "-":
        return "stdin"
    s = re.sub(r"[^A-Za-z0-9.=_-]+", "-", address.replace("://", "-")).strip("-.")
    return s or "live"


def add_live_arguments(p, bounds: bool = True) -> None:
    """The options of live sources (for every subcommand that reads an input)."""
    g = p.add_argument_group("live sources (-, rtltcp://, udp://, zmq+tcp://, zmq+ipc://, soapy:)")
    if bounds:
        b = g.add_mutually_exclusive_group()
        b.add_argument("--seconds", type=float, metavar="T",
                       help="stop after T seconds of stream (T x sample rate samples, gaps included)")
        b.add_argument("--samples", type=int, metavar="N",
                       help="stop after N stream samples (gaps included)")
    g.add_argument("--gain", type=float, metavar="DB",
                   help="tuner gain sent to rtl_tcp or set on a SoapySDR device (default automatic)")
    g.add_argument("--ppm", type=int, metavar="PPM", help="frequency correction sent to rtl_tcp")
    g.add_argument("--agc", action="store_true", help="turn on the RTL2832's digital AGC (rtl_tcp)")
    g.add_argument("--udp-seq", action="store_true",
                   help="udp://: each datagram starts with a 64-bit sequence number (lost "
                        "datagrams are counted as gaps)")
    g.add_argument("--zmq", choices=["sub", "pull"], default="sub",
                   help="ZeroMQ socket: sub (of a PUB sink, default) or pull (of a PUSH sink)")
    g.add_argument("--timeout", type=float, metavar="S",
                   help="end the stream after S seconds without samples (default: wait, until "
                        "Ctrl-C); also bounds connecting")


def open_live(address: str, args) -> "LiveRecording":
    """Open a live source from the command-line options (a SourceError becomes a UserError)."""
    limit = None
    seconds, samples = getattr(args, "seconds", None), getattr(args, "samples", None)
    if samples is not None and samples < 1:
        raise UserError("--samples must be at least 1")
    if seconds is not None and not seconds > 0:
        raise UserError("--seconds must be positive")
    timeout = getattr(args, "timeout", None)
    if timeout is not None and not timeout > 0:
        raise UserError("--timeout must be positive")
    try:
        src = open_source(address, fs=args.fs, rf=args.rf, format=args.format,
                          gain=getattr(args, "gain", None), ppm=getattr(args, "ppm", None),
                          agc=getattr(args, "agc", False), udp_seq=getattr(args, "udp_seq", False),
                          zmq=getattr(args, "zmq", "sub"), idle_timeout=timeout,
                          connect_timeout=timeout or 5.0)
    except SourceError as e:
        raise UserError(str(e)) from None
    if samples is not None:
        limit = samples
    elif seconds is not None:
        limit = max(1, round(seconds * src.fs))
    return LiveRecording(address, src, limit)


class LiveProgress:
    """Samples, achieved rate and drops of a live run on stderr (tqdm, when a terminal)."""

    def __init__(self, rec: "LiveRecording", enabled: bool):
        self.rec = rec
        self.bar = progress_bar(rec.limit or 0, rec.data_path.name, enabled) if rec.limit else (
            _unbounded_bar(rec.data_path.name) if enabled and sys.stderr.isatty() else NoProgress())
        self.shown = None  # (dropped, lost) last shown: shown from the first update on

    def advance(self, n: int) -> None:
        self.bar.update(n)
        s = self.rec.source.counters
        d = (s.dropped, s.lost)
        if d != self.shown and hasattr(self.bar, "set_postfix_str"):
            self.shown = d
            self.bar.set_postfix_str(f"dropped {fint(d[0])}, lost {fint(d[1])}", refresh=False)

    def update(self, n: int = 1) -> None:  # blocks(progress=...) is driven by advance instead
        pass

    def close(self) -> None:
        self.bar.close()

    def __enter__(self):
        self.rec._progress = self
        return self

    def __exit__(self, *a):
        self.rec._progress = None
        self.close()


def _unbounded_bar(desc: str):
    try:
        from tqdm import tqdm
    except ImportError:
        return NoProgress()
    return tqdm(total=None, desc=desc, unit="S", unit_scale=True, file=sys.stderr, leave=False,
                dynamic_ncols=True, smoothing=0.1)


def input_progress(rec, enabled: bool):
    """The progress display of a command's input: a percentage bar for a recording, samples,
    rate and drops for a live source."""
    if getattr(rec, "live", False):
        return LiveProgress(rec, enabled)
    return progress_bar(rec.n_samples, rec.data_path.name, enabled)


class LiveRecording:
    """A live source seen as a recording by the subcommands (``fs``, ``center``, ``fmt``,
    ``blocks()``); ``n_samples`` counts the samples received so far, ``limit`` the stream
    samples the run may take (None: until end of stream or Ctrl-C)."""

    live = True
    kind = "live"

    def __init__(self, address: str, source, limit: int | None):
        self.path = address
        self.source = source
        self.fmt = parse_datatype(source.datatype)
        self.fs = source.fs
        self.center_known = source.center is not None
        self.center = float(source.center) if self.center_known else 0.0
        self.data_path = PurePosixPath(live_stem(address))
        self.meta_path = None
        self.global_info: dict = {}
        self.captures: list = []
        self.annotations: list = []
        self.trailing = 0
        self.limit = limit
        self.n_samples = 0  # samples received (delivered to the command)
        self.stream_samples = 0  # stream samples covered (received + lost + dropped)
        self.stop_requested = False
        self.ended = ""
        self.failure: str | None = None
        self.started = self.finished = None
        self._progress: LiveProgress | None = None
        self._gen = None
        self._chunks: collections.deque = collections.deque()  # (first index, samples)
        self._pulled = 0  # samples appended to _chunks so far
        self._cursors: dict[int, int] = {}
        self._next_cursor = 0
        self._done = False

    @property
    def duration(self) -> float:
        return self.n_samples / self.fs

    @property
    def datatype(self) -> str:
        return self.fmt.name

    def progress(self, enabled: bool) -> LiveProgress:
        return LiveProgress(self, enabled)

    # -- the stream ----------------------------------------------------------------------------
    def stream(self) -> Iterator:
        """Source blocks up to the limit, Ctrl-C or the end of the stream (``Block`` objects,
        their ``start`` in stream samples). One consumer: ``blocks()`` or a writer."""
        src = self.source
        self.started = self.started or time.monotonic()
        try:
            while True:
                if self.stop_requested:
                    self.ended = "interrupted"
                    return
                if self.limit is not None and self.stream_samples >= self.limit:
                    self.ended = "limit reached"
                    return
                try:
                    b = src.read(timeout=0.25)
                except SourceError as e:
                    self.failure = str(e)
                    self.ended = f"error: {e}"
                    warn(f"{self.path}: {e}; the outputs hold the {self.n_samples:,} samples "
                         "received before")
                    return
                if b is None:
                    if src.ended:
                        self.ended = src.end_reason or "end of stream"
                        return
                    continue
                if self.limit is not None:
                    if b.start >= self.limit:
                        self.stream_samples = self.limit
                        self.ended = "limit reached"
                        return
                    b.samples = b.samples[:self.limit - b.start]
                step = b.start + len(b.samples) - self.stream_samples
                self.stream_samples += step
                self.n_samples += len(b.samples)
                if self._progress is not None:
                    self._progress.advance(step)
                yield b
        finally:
            self.finished = time.monotonic()

    def _pull(self) -> bool:
        """One more source block into the shared buffer; False at the end of the stream."""
        if self._done:
            return False
        if self._gen is None:
            self._gen = self.stream()
        b = next(self._gen, None)
        if b is None:
            self._done = True
            return False
        if len(b.samples):
            self._chunks.append((self._pulled, b.samples))
            self._pulled += len(b.samples)
        return True

    def _trim(self) -> None:
        low = min(self._cursors.values(), default=self._pulled)
        while self._chunks and self._chunks[0][0] + len(self._chunks[0][1]) <= low:
            self._chunks.popleft()

    def _take(self, pos: int, n: int) -> np.ndarray:
        """Samples [pos, pos + n) from the buffer (a view when one chunk holds them)."""
        pieces = []
        for first, x in self._chunks:
            if first + len(x) <= pos:
                continue
            if first >= pos + n:
                break
            pieces.append(x[max(0, pos - first):pos + n - first])
        return pieces[0] if len(pieces) == 1 else np.concatenate(pieces)

    def blocks(self, block: int, start: int = 0, stop: int | None = None,
               progress=None) -> "_Cursor":
        """Consecutive blocks of exactly ``block`` samples (the last one shorter) over the
        stream's received samples, as ``Recording.blocks`` gives them for a file. The iterator
        holds its place in the stream from this call on (not from its first step), until it
        ends or is closed."""
        return _Cursor(self, max(1, int(block)), start, stop)

    def read(self, start: int = 0, count: int | None = None) -> np.ndarray:
        raise UserError("this command needs random access to a recording; a live source is "
                        "read as a stream")

    # -- report --------------------------------------------------------------------------------
    def report(self) -> dict:
        s = self.source.stats()
        elapsed = (self.finished or time.monotonic()) - (self.started or time.monotonic())
        return {"source": self.path, "source_kind": self.source.kind, "received": self.n_samples,
                "stream_samples": self.stream_samples, "dropped": s["dropped"], "lost": s["lost"],
                "overflows": s["overflows"], "gaps": s["gaps"], "gap_list": s["gap_list"],
                "elapsed_s": elapsed, "rate_sps": self.stream_samples / elapsed if elapsed > 0 else None,
                "ended": self.ended, "reports": self.source.info}

    def close(self) -> None:
        if self._gen is not None:
            self._gen.close()
        self.source.close()

    def __enter__(self):
        return self

    def __exit__(self, *a):
        self.close()


class _Cursor:
    """One reader's place in a live stream (see ``LiveRecording.blocks``)."""

    def __init__(self, rec: LiveRecording, block: int, start: int, stop: int | None):
        self.rec, self.block, self.pos, self.stop = rec, block, start, stop
        self.id = rec._next_cursor
        rec._next_cursor += 1
        rec._cursors[self.id] = start

    def __iter__(self):
        return self

    def __next__(self) -> np.ndarray:
        rec = self.rec
        if self.id not in rec._cursors:
            raise StopIteration
        pos = self.pos
        want = self.block if self.stop is None else min(self.block, self.stop - pos)
        while rec._pulled < pos + want and rec._pull():
            pass
        n = min(want, rec._pulled - pos)
        if n <= 0:
            self.close()
            raise StopIteration
        x = rec._take(pos, n)
        self.pos = pos + n
        rec._cursors[self.id] = self.pos
        rec._trim()
        return x

    def close(self) -> None:
        if self.rec._cursors.pop(self.id, None) is not None:
            self.rec._trim()

    def __del__(self):
        self.close()


LIVE_COLUMNS = [("received", "received", fint), ("dropped", "dropped", fint),
                ("lost", "lost upstream", fint), ("ended", "ended", str)]


@contextlib.contextmanager
def live_interrupts(rec: LiveRecording):
    """First Ctrl-C: end the stream after the block in hand (the command completes its outputs);
    second: KeyboardInterrupt at once."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    hits = 0

    def handler(signum, frame):
        nonlocal hits
        hits += 1
        if hits > 1:
            raise KeyboardInterrupt
        rec.stop_requested = True
        print("\nostrel: stopping after the current block; Ctrl-C again to abort", file=sys.stderr)

    old = signal.signal(signal.SIGINT, handler)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, old)


def check_live_options(args, live: bool) -> None:
    """--seconds / --samples bound live runs only."""
    if not live and (getattr(args, "seconds", None) is not None
                     or getattr(args, "samples", None) is not None):
        raise UserError("--seconds and --samples bound a live source (a recording is read whole)")


def live_kind(address: str) -> str | None:
    return scheme_of(address)
