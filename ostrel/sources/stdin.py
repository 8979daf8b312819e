"""``-``: raw samples on standard input (the pipe convention of command-line receiver tools)."""

from __future__ import annotations

import os
import select
import sys

from .base import Source, SourceError, Wire


class StdinSource(Source):
    kind = "stdin"

    def __init__(self, address, *, fs, rf, format, stream=None, block=1 << 16, **kw):
        super().__init__(address, **kw)
        if not format:
            raise SourceError("-: samples on standard input need --format (cf32_le, ci16_le, cu8 ...)")
        if not fs:
            raise SourceError("-: samples on standard input need --fs")
        self.wire = Wire(format)
        self.fs, self.center, self.datatype = float(fs), rf, self.wire.datatype
        self._stream = stream
        self._buf = bytearray(max(1, block) * self.wire.sample_bytes)

    def _open(self) -> None:
        f = self._stream if self._stream is not None else sys.stdin.buffer
        try:
            self._fd = f.fileno()
        except (AttributeError, OSError, ValueError):
            raise SourceError("-: standard input is not readable") from None
        self.info = {"input": "standard input"}

    def _read(self):
        ready, _, _ = select.select([self._fd], [], [], self.POLL)
        if not ready:
            return self.wire.samples(b""), 0
        n = os.readv(self._fd, [self._buf])
        if n == 0:
            return None
        return self.wire.samples(memoryview(self._buf)[:n]), 0
