"""The source interface shared by every live input, and its reader thread.

A source delivers ``Block`` objects: complex64 samples (float32 for a real datatype on standard
input), the stream index of their first sample and the number of stream samples missing just
before them. Stream indices count every sample the producer sent, so a gap (datagrams lost on
the network, a device overflow, samples this process had no room for) moves the next block's
``start`` on by the samples that never arrived.

Reading runs on its own thread and hands blocks over through a bounded queue. When the consumer
falls behind and the queue is full, the reader drops the block it holds and counts it
(``dropped``): memory stays bounded and nothing is lost silently.
"""

from __future__ import annotations

import collections
import threading
import time
from dataclasses import dataclass, field

import numpy as np

MAX_GAP_RECORDS = 1000  # gaps listed one by one; further ones are only counted


class SourceError(Exception):
    """A source that cannot be opened or that failed while streaming (one-line message)."""


@dataclass
class Block:
    samples: np.ndarray  # complex64 (float32 for a real datatype)
    start: int  # stream index of samples[0]
    lost: int = 0  # stream samples missing just before samples[0]
    time: float = 0.0  # wall clock (time.time()) when the block was read
    gap: bool = False  # a gap precedes the block (lost may be 0: a device overflow of unknown size)


@dataclass
class Gap:
    sample: int  # stream index of the first missing sample
    lost: int  # stream samples missing (0 when the source could not tell how many)
    cause: str  # "lost" (upstream: network, device), "overflow" (device), "dropped" (here)

    def as_dict(self) -> dict:
        return {"sample": self.sample, "lost": self.lost, "cause": self.cause}


@dataclass
class Counters:
    """Running totals of one source, updated by its reader thread."""

    samples: int = 0  # stream samples seen so far (delivered + lost + dropped)
    delivered: int = 0  # samples handed to the consumer's queue
    dropped: int = 0  # samples dropped here because the queue was full
    lost: int = 0  # samples missing upstream (counted from sequence numbers or timestamps)
    overflows: int = 0  # overflow events a device reported
    gaps: list = field(default_factory=list)  # the first MAX_GAP_RECORDS Gap records
    gap_count: int = 0


class Source:
    """Base of every live source: stream description, reader thread and bounded queue.

    Subclasses set ``fs``, ``center`` (Hz, or None when unknown), ``datatype`` (the SigMF
    datatype on the wire) and ``info`` (what the server or device reports) in ``_open``, and
    implement ``_read`` (one chunk: ``(samples, lost_before)`` or ``(samples, lost_before,
    cause)``, with lost_before -1 for a gap of unknown length; an empty array when nothing
    arrived within ``POLL`` seconds; None at the end of the stream) and ``_close``.

    Use it as an iterator of ``Block`` (``for b in src``) or call ``read(timeout)``; ``close()``
    stops the reader. Thread-safe counters: ``counters`` (samples, dropped, lost, gaps).
    """

    kind = "source"
    backpressure = False  # True: the reader waits for room instead of dropping (files)
    POLL = 0.2  # seconds a subclass's _read may block before returning an empty chunk

    def __init__(self, address: str, *, queue_samples: int | None = None,
                 idle_timeout: float | None = None):
        self.address = address
        self.fs: float = 0.0
        self.center: float | None = None
        self.datatype = "cf32_le"
        self.info: dict = {}
        self.idle_timeout = idle_timeout
        self._queue_samples = queue_samples
        self._queue: collections.deque = collections.deque()
        self._queued = 0
        self._cond = threading.Condition()
        self._stop = threading.Event()
        self._thread: threading.Thread | None = None
        self._ended = False
        self._error: BaseException | None = None
        self._next_start = 0  # stream index just after the last delivered block
        self._gap_pending = False  # a gap (possibly of unknown length) since that block
        self.counters = Counters()
        self.end_reason = ""

    # -- subclass hooks --------------------------------------------------------------------
    def _open(self) -> None:
        raise NotImplementedError

    def _read(self):
        raise NotImplementedError

    def _close(self) -> None:
        pass

    # -- lifecycle -------------------------------------------------------------------------
    def open(self) -> "Source":
        """Connect or open the device (errors surface here, in the caller's thread), then start
        the reader thread."""
        self._open()
        if not (self.fs > 0):
            self._close()
            raise SourceError(f"{self.address}: no sample rate (give --fs)")
        if self._queue_samples is None:
            self._queue_samples = int(min(max(self.fs / 2, 1 << 20), 1 << 24))
        self._thread = threading.Thread(target=self._run, name=f"ostrel source {self.address}",
                                        daemon=True)
        self._thread.start()
        return self

    def close(self) -> None:
        """Stop the reader and release the connection or device (idempotent)."""
        self._stop.set()
        t = self._thread
        if t is not None and t is not threading.current_thread():
            t.join(timeout=2 * self.POLL + 1.0)
        if not getattr(self, "_closed", False):
            self._closed = True
            try:
                self._close()
            except Exception:
                pass

    def __enter__(self):
        return self

    def __exit__(self, *a):
        self.close()

    def __iter__(self):
        while True:
            b = self.read()
            if b is None:
                return
            yield b

    # -- consumer side ---------------------------------------------------------------------
    def read(self, timeout: float | None = None) -> Block | None:
        """The next block; None at the end of the stream (or when ``timeout`` seconds pass
        without one: check ``ended`` to tell them apart). A failure of the reader is raised
        here as SourceError."""
        deadline = None if timeout is None else time.monotonic() + timeout
        with self._cond:
            while not self._queue:
                if self._ended:
                    if self._error is not None:
                        err, self._error = self._error, None
                        raise err if isinstance(err, SourceError) else SourceError(
                            f"{self.address}: {type(err).__name__}: {err}")
                    return None
                wait = 0.25 if deadline is None else min(0.25, deadline - time.monotonic())
                if wait <= 0:
                    return None
                self._cond.wait(wait)  # short waits: a Ctrl-C in the main thread is seen
            b = self._queue.popleft()
            self._queued -= len(b.samples)
            self._cond.notify_all()
            return b

    @property
    def ended(self) -> bool:
        """True once the stream has ended and every block has been read."""
        with self._cond:
            return self._ended and not self._queue

    @property
    def queued(self) -> int:
        return self._queued

    # -- reader thread ---------------------------------------------------------------------
    def _gap(self, sample: int, lost: int, cause: str) -> None:
        c = self.counters
        c.gap_count += 1
        if len(c.gaps) < MAX_GAP_RECORDS:
            c.gaps.append(Gap(sample, lost, cause))

    def _run(self) -> None:
        c = self.counters
        last_data = time.monotonic()
        try:
            while not self._stop.is_set():
                r = self._read()
                if r is None:
                    self.end_reason = self.end_reason or "end of stream"
                    break
                x, lost = r[0], r[1]
                now = time.monotonic()
                if len(x) == 0 and lost == 0:
                    if self.idle_timeout is not None and now - last_data > self.idle_timeout:
                        self.end_reason = f"no samples for {self.idle_timeout:g} s"
                        break
                    continue
                last_data = now
                cause = r[2] if len(r) > 2 else "lost"
                if cause == "overflow":
                    c.overflows += 1
                if lost or cause == "overflow":
                    n = max(lost, 0)  # negative: a gap of unknown length
                    self._gap(c.samples, n, cause)
                    c.lost += n
                    c.samples += n
                    self._gap_pending = True
                if len(x):
                    self._deliver(x)
        except BaseException as e:  # reported to the consumer by read()
            self._error = e
            self.end_reason = f"error: {e}"
        finally:
            with self._cond:
                self._ended = True
                self._cond.notify_all()

    def _deliver(self, x: np.ndarray) -> None:
        c = self.counters
        room = self._queue_samples or 0  # set when the stream opened
        start = c.samples
        c.samples += len(x)
        with self._cond:
            while self.backpressure and self._queued and \
                    self._queued + len(x) > room and not self._stop.is_set():
                self._cond.wait(self.POLL)
            if self._queued and self._queued + len(x) > room:
                # The consumer is behind: drop this block here, count it, and flag the next
                # delivered block as following a gap.
                c.dropped += len(x)
                last = c.gaps[-1] if c.gaps else None
                if last is not None and last.cause == "dropped" and last.sample + last.lost == start:
                    last.lost += len(x)
                else:
                    self._gap(start, len(x), "dropped")
                self._gap_pending = True
                return
            lost = start - self._next_start
            self._queue.append(Block(x, start, lost, time.time(), self._gap_pending or lost > 0))
            self._gap_pending = False
            self._next_start = c.samples
            self._queued += len(x)
            c.delivered += len(x)
            self._cond.notify()

    def describe(self) -> dict:
        """Rate, centre, datatype and what the producer reports, for reports and ``info``."""
        return {"source": self.address, "kind": self.kind, "fs": self.fs, "center_hz": self.center,
                "datatype": self.datatype, "reports": dict(self.info)}

    def stats(self) -> dict:
        c = self.counters
        return {"stream_samples": c.samples, "received": c.delivered, "dropped": c.dropped,
                "lost": c.lost, "overflows": c.overflows, "gaps": c.gap_count,
                "gap_list": [g.as_dict() for g in c.gaps]}


class Wire:
    """Bytes of one SigMF datatype in, toolkit samples out; a trailing partial sample is kept
    for the next call (stream transports cut anywhere)."""

    def __init__(self, datatype: str):
        from ostrel.cli.common import UserError
        from ostrel.cli.recording import parse_datatype

        try:
            self.fmt = parse_datatype(datatype)
        except UserError as e:
            raise SourceError(str(e)) from None
        self.datatype = self.fmt.name
        self.sample_bytes = self.fmt.sample_bytes
        self._rest = b""

    @property
    def pending(self) -> int:
        """Bytes of a partial sample kept for the next call."""
        return len(self._rest)

    def reset(self) -> None:
        """Forget a kept partial sample (the bytes after it were lost)."""
        self._rest = b""

    def samples(self, data) -> np.ndarray:
        """The whole samples in (kept bytes +) ``data`` as a new array."""
        from ostrel.cli.recording import convert

        if self._rest:
            data = self._rest + bytes(data)
        n, r = divmod(len(data), self.sample_bytes)
        self._rest = bytes(data[len(data) - r:]) if r else b""
        comps = 2 if self.fmt.complex else 1
        raw = np.frombuffer(data, dtype=self.fmt.component, count=n * comps)
        return convert(raw, self.fmt, np.empty(n, self.fmt.native))
