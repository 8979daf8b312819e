"""Telemetry contexts: lock-free rings that tracking loops publish probe records into.

A :class:`Telemetry` owns one context. Attach it to a component with
``component.set_telemetry(tlm, "car")``; while the component processes blocks it emits one
record per event (per symbol, per sample...) for each of its probes, named ``prefix + suffix``
("car.lock", "car.freq", ...). Another thread drains the records with :meth:`Telemetry.read`.

One thread produces (the one running the block calls of every attached component) and one
thread consumes. When the ring is full, new records are dropped and counted in
:attr:`Telemetry.dropped`; producers never block.

Lifetime: a ring lives as long as its owner or its last attachment, whichever is later. Each
``set_telemetry(tlm, ...)`` holds the context until the component detaches
(``set_telemetry(None, "")``), attaches elsewhere, or is destroyed. :meth:`Telemetry.close` (or
leaving a ``with Telemetry(...)`` block, or the Telemetry being garbage-collected) releases the
owner's hold: the ring is freed at once when nothing is attached, and otherwise retired, kept
for the components still writing into it and freed when the last of them lets go; its records
can no longer be read. After ``close()`` every method of the Telemetry raises RuntimeError and
the capsule it handed out is invalidated, so it can no longer be attached anywhere.
:meth:`Telemetry.resize` refuses with RuntimeError while an attached component is processing a
block on another thread.
"""

from __future__ import annotations

import numpy as np

from . import _telemetry

__all__ = ["Telemetry", "RECORD_DTYPE"]

#: One 16-byte ring record: the context's tag at emission, the value and the probe id.
RECORD_DTYPE = np.dtype(
    {"names": ["tag", "value", "probe"], "formats": ["<u8", "<f4", "<u2"],
     "offsets": [0, 8, 12], "itemsize": 16}
)


def _is_record_array(a) -> bool:
    """An array of ring records: the fields of RECORD_DTYPE with their types (packing aside, as
    NumPy may drop the padding when it concatenates record arrays)."""
    if not isinstance(a, np.ndarray) or a.dtype.names != RECORD_DTYPE.names:
        return False
    fields, want = a.dtype.fields, RECORD_DTYPE.fields
    assert fields is not None and want is not None  # both are structured dtypes
    return all(fields[n][0] == want[n][0] for n in want)


class Telemetry:
    """A telemetry ring of ``capacity`` records (a power of two, at least one page of records,
    at most what this machine's memory could hold: ValueError beyond; OverflowError for a
    negative or wider than 64-bit value).

    Example::

        with Telemetry(4096) as tlm:
            loop.set_telemetry(tlm, "car")
            loop.steps(x)
            loop.set_telemetry(None, "car")
            per_probe = tlm.demux(tlm.read())   # {"car.lock": array([...], float32), ...}
    """

    __slots__ = ("_ctx",)

    def __init__(self, capacity: int = 4096) -> None:
        self._ctx = _telemetry.Context(capacity)

    @property
    def _capsule(self):
        """The capsule ("ostrel.telemetry.ox_tlm") that components attach to."""
        return self._ctx.capsule

    @property
    def tag(self) -> int:
        """Unsigned 64-bit value stamped into every record emitted from now on."""
        return self._ctx.tag

    @tag.setter
    def tag(self, value: int) -> None:
        self._ctx.tag = value

    @property
    def capacity(self) -> int:
        """Ring capacity in records."""
        return self._ctx.capacity

    @property
    def avail(self) -> int:
        """Records waiting to be read."""
        return self._ctx.avail

    @property
    def dropped(self) -> int:
        """Records lost because the ring was full (since creation or the last resize)."""
        return self._ctx.dropped

    @property
    def closed(self) -> bool:
        """True once :meth:`close` has run."""
        return self._ctx.closed

    def read(self, max: int = 0) -> np.ndarray:  # noqa: A002 - mirrors the ring's API
        """Drain up to ``max`` records (0: all available) as a structured array of
        :data:`RECORD_DTYPE` with fields ``tag`` (u8), ``value`` (f4) and ``probe`` (u2)."""
        if max < 0:
            raise ValueError(f"max must be >= 0, got {max}")
        n = self._ctx.avail
        if max:
            n = min(n, max)
        recs = np.empty(n, dtype=RECORD_DTYPE)
        got = self._ctx.read_into(recs, n) if n else 0
        return recs[:got]

    @property
    def probe_names(self) -> list[str]:
        """Registered probe names, in id order."""
        return self._ctx.probe_names()

    def probe_id(self, name: str) -> int:
        """Id of a registered probe; KeyError when unknown."""
        return self._ctx.probe_id(name)

    def register(self, name: str, decim: int = 1) -> int:
        """Register (or re-tune) a probe of your own and return its id, for publishing Python-side
        values with :meth:`emit` beside the components' probes. Names are at most 31
        characters; at most 64 probes per context."""
        return self._ctx.register(name, decim)

    def emit(self, probe: int, value: float) -> None:
        """Publish one event of probe id ``probe`` (decimation applies; dropped when full)."""
        self._ctx.emit(probe, value)

    def set_decim(self, name: str, decim: int) -> None:
        """Publish only every ``decim``-th event of probe ``name`` (the next event is emitted)."""
        self._ctx.set_decim(name, decim)

    def resize(self, capacity: int) -> None:
        """Grow the ring to at least ``capacity`` records. Unread records and the counters are
        discarded; probe ids are kept. A capacity not above the current one does nothing.
        Raises RuntimeError while an attached component is processing a block, and
        ValueError for a ring larger than this machine's memory. Call while nobody reads."""
        self._ctx.resize(capacity)

    def stats(self) -> dict:
        """Counters: ``dropped``, ``emitted`` (records written, all probes), ``capacity``,
        ``probes`` (registered count) and ``avail``."""
        return self._ctx.stats()

    def demux(self, records: np.ndarray) -> dict[str, np.ndarray]:
        """Split records by probe: a dict from probe name to the float32 values in record
        order (every registered probe is present, possibly with an empty array). ``records``
        is an array of :data:`RECORD_DTYPE` as returned by :meth:`read`; anything else raises
        TypeError (other arrays are never reinterpreted as records)."""
        if not _is_record_array(records):
            got = records.dtype if isinstance(records, np.ndarray) else type(records).__name__
            raise TypeError(f"records must be a numpy array of ostrel.telemetry.RECORD_DTYPE, got {got}")
        recs = np.ascontiguousarray(records, dtype=RECORD_DTYPE)
        names = self.probe_names
        parts = _telemetry.demux(recs, len(names))
        return {name: np.frombuffer(part, dtype=np.float32) for name, part in zip(names, parts)}

    def close(self) -> None:
        """Release the owner's hold on the ring (idempotent). Freed now when no component is
        attached; otherwise freed when the last attached component detaches or is destroyed
        (until then its records are written but can no longer be read)."""
        self._ctx.close()

    def __enter__(self) -> "Telemetry":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def __repr__(self) -> str:
        if self.closed:
            return "<Telemetry closed>"
        return f"<Telemetry capacity={self.capacity} probes={len(self.probe_names)} avail={self.avail}>"
