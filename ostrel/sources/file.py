"""A recording (SigMF or a raw file) behind the source interface, for callers that take any
source; the command line reads recordings directly instead."""

from __future__ import annotations

from .base import Source, SourceError


class FileSource(Source):
    kind = "file"
    backpressure = True

    def __init__(self, address, *, fs, rf, format, block=1 << 16, **kw):
        super().__init__(address, **kw)
        from ostrel.cli.common import UserError
        from ostrel.cli.recording import Source as Options, open_recording

        try:
            self.rec = open_recording(address, Options(fs=fs, format=format, rf=rf))
        except UserError as e:
            raise SourceError(str(e)) from None
        r = self.rec
        self.fs, self.datatype = r.fs, r.datatype
        self.center = r.center if r.center_known else None
        self.block = max(1, block)
        self._pos = 0

    def _open(self) -> None:
        self.info = {"file": str(self.rec.data_path), "samples": self.rec.n_samples}

    def _read(self):
        if self._pos >= self.rec.n_samples:
            return None
        x = self.rec.read(self._pos, self.block)
        self._pos += len(x)
        return x, 0

    def _close(self) -> None:
        self.rec.close()
