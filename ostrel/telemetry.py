"""Telemetry contexts: lock-free rings that tracking loops publish probe records into.

A :class:`Telemetry` owns one context. Attach it to a component with
``component.set_telemetry(tlm, "car")``; while the component processes blocks it emits one
record per event (per symbol, per sample...) for each of its probes, named ``prefix + suffix``
("car.lock", "car.freq", ...). Another thread drains the records with :meth:`Telemetry.read`.

One thread produces (the one running the block calls of every attached component) and one
thread consumes. When the ring is full, new records are dropped and counted in
:attr:`Telemetry.dropped`; producers never block.

Lifetime: components keep a raw pointer to the context. A context must outlive every component
attached to it: detach (``set_telemetry(None, "")``) or destroy the components before
:meth:`Telemetry.close`. After ``close()`` every method of the Telemetry raises RuntimeError and
the capsule it handed out is invalidated, so it can no longer be attached anywhere. As a safety
net, a Telemetry that is garbage-collected *without* ``close()`` while it has probes registered
does not free the ring its components may still write into: it keeps a minimal one-page ring
alive (a few kilobytes) so a forgotten attachment cannot corrupt memory; its records are lost.
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


class Telemetry:
    """A telemetry ring of ``capacity`` records (a power of two, at least one page of records).

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
        Only call while no component is processing and nobody reads."""
        self._ctx.resize(capacity)

    def stats(self) -> dict:
        """Counters: ``dropped``, ``emitted`` (records written, all probes), ``capacity``,
        ``probes`` (registered count) and ``avail``."""
        return self._ctx.stats()

    def demux(self, records: np.ndarray) -> dict[str, np.ndarray]:
        """Split records by probe: a dict from probe name to the float32 values in record
        order (every registered probe is present, possibly with an empty array)."""
        recs = np.ascontiguousarray(records, dtype=RECORD_DTYPE)
        names = self.probe_names
        parts = _telemetry.demux(recs, len(names))
        return {name: np.frombuffer(part, dtype=np.float32) for name, part in zip(names, parts)}

    def close(self) -> None:
        """Release the ring. Detach or destroy every attached component first."""
        self._ctx.close()

    def __enter__(self) -> "Telemetry":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def __repr__(self) -> str:
        if self.closed:
            return "<Telemetry closed>"
        return f"<Telemetry capacity={self.capacity} probes={len(self.probe_names)} avail={self.avail}>"
