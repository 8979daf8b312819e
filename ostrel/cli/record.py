"""``ostrel record``: record a live source into a SigMF recording while it streams.

Samples are written as they arrive (in the source's own datatype unless --datatype says
otherwise: cu8 from rtl_tcp, cf32_le from UDP, ZeroMQ and SoapySDR), under temporary names;
when the stream ends, --seconds/--samples are reached or Ctrl-C is pressed once, the metadata is
completed (sample rate, centre frequency, datatype, the core:datetime of the first sample) and
both files are published together, so what was received is always a complete, valid recording.
A second Ctrl-C abandons the run and leaves nothing behind.

Each gap in the stream (datagrams lost on the network, a device overflow, blocks this process
had to drop because the disk or the machine fell behind) starts a new capture segment whose
core:global_index skips the samples that never arrived and whose ostrel:lost_samples gives
their count."""

from __future__ import annotations

import datetime as dt
import os
from pathlib import Path

import numpy as np

from . import recording as recmod
from .common import UserError, fint, fmt_hz, output_path
from .live import input_progress

EXAMPLES = """\
examples:
  ostrel record rtltcp://127.0.0.1 --rf 433.92M --fs 2.4M --gain 20 --seconds 10 -o ism.sigmf-meta
  ostrel record udp://:2000 --fs 10M --udp-seq -o capture.sigmf-meta
  ostrel record zmq+tcp://127.0.0.1:5555 --fs 1M --rf 100M --samples 5M -o fm.sigmf-meta
  rtl_sdr -f 100M -s 2.4M - | ostrel record - --format cu8 --fs 2.4M --rf 100M -o fm.sigmf-meta"""

LIVE_ONLY = True


def add_arguments(p) -> None:
    g = p.add_argument_group("recording")
    g.add_argument("-o", "--output", required=True, metavar="OUT.sigmf-meta",
                   help="the recording to write (NAME, NAME.sigmf-meta or NAME.sigmf-data)")
    g.add_argument("--datatype", metavar="DATATYPE",
                   help="sample type written (default: the source's own)")


def prepare(args) -> None:
    if args.datatype is not None and not recmod.parse_datatype(args.datatype).complex:
        raise UserError("--datatype: a live source is complex (cf32_le, ci16_le, cu8 ...)")


def outputs(args, path: str, several: bool) -> list:
    meta, data = recmod.meta_and_data_paths(str(output_path(args.output, path, several, "-o")))
    return [meta, data]


def utc_iso(t: float) -> str:
    return dt.datetime.fromtimestamp(t, dt.timezone.utc).strftime("%Y-%m-%dT%H:%M:%S.%fZ")


def pack(x: np.ndarray, fmt) -> memoryview | bytes:
    """Samples as the bytes of ``fmt``: complex64 as it is, integer types in single precision
    (exact here: their scales are powers of two and their codes below 2**24, so the result is
    ``recording.encode``'s, in a quarter of the time), anything else through ``encode``."""
    if x.dtype != np.complex64 or not fmt.complex:
        return recmod.encode(x, fmt)
    if fmt.zero_copy:
        return memoryview(x).cast("B")
    if fmt.component.kind not in "iu" or fmt.component.itemsize > 2:
        return recmod.encode(x, fmt)
    v = x.view(np.float32) * np.float32(1 / fmt.scale)
    if fmt.offset:
        v += np.float32(fmt.offset)
    info = np.iinfo(fmt.component)
    np.clip(np.rint(v, out=v), info.min, info.max, out=v)
    return memoryview(v.astype(fmt.component)).cast("B")


class StreamWriter:
    """A SigMF recording written block by block: the data under a temporary name as it arrives,
    a capture segment at the start and after every gap, and on ``finish`` the metadata; the data
    and then the metadata are moved into place (on any failure, or ``abort``, nothing is left).
    """

    def __init__(self, meta_path: Path, data_path: Path, fmt, fs: float, center: float | None):
        self.meta_path, self.data_path, self.fmt = Path(meta_path), Path(data_path), fmt
        self.fs, self.center = fs, center
        self.tmp = self.data_path.with_name(f".{self.data_path.name}.part-{os.getpid()}")
        self.f = open(self.tmp, "wb")
        self.written = 0
        self.captures: list[dict] = []
        self.t0: float | None = None  # wall clock of stream sample 0

    def write(self, block) -> None:
        x = block.samples
        if not len(x):
            return
        if not self.captures or block.gap:
            self._capture(block)
        self.f.write(pack(x, self.fmt))
        self.written += len(x)

    def _capture(self, block) -> None:
        if self.t0 is None:  # the first sample arrived a block's duration before the block
            self.t0 = block.time - (len(block.samples) + block.start) / self.fs
        c = {"core:sample_start": self.written, "core:global_index": int(block.start),
             "core:datetime": utc_iso(self.t0 + block.start / self.fs)}
        if self.center is not None:
            c["core:frequency"] = self.center
        if self.captures:
            c["ostrel:lost_samples"] = int(block.lost)
        self.captures.append(c)

    def finish(self, global_info: dict) -> None:
        self.f.close()
        os.replace(self.tmp, self.data_path)
        try:
            recmod.write_meta(self.meta_path, global_info, self.captures, [])
        except BaseException:
            self.data_path.unlink(missing_ok=True)
            raise

    def abort(self) -> None:
        self.f.close()
        self.tmp.unlink(missing_ok=True)

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        if exc_type is not None:
            self.abort()
        return False


def run(rec, args, progress: bool) -> dict:
    fmt = recmod.parse_datatype(args.datatype or rec.datatype)
    meta_path, data_path = outputs(args, rec.path, False)
    center = rec.center if rec.center_known else None
    with StreamWriter(meta_path, data_path, fmt, rec.fs, center) as w, \
            input_progress(rec, progress):
        for b in rec.stream():
            w.write(b)
        if w.written == 0:
            raise UserError(f"no samples arrived from {rec.path} ({rec.ended or 'end of stream'}): "
                            "nothing written")
        live = rec.report()
        g = {"core:datatype": fmt.name, "core:sample_rate": rec.fs, "core:recorder": "ostrel record",
             "core:description": f"ostrel record of {rec.path}",
             "core:extensions": [dict(recmod.EXTENSION)],
             "ostrel:source": rec.path, "ostrel:lost_samples": live["lost"],
             "ostrel:dropped_samples": live["dropped"]}
        hw = ", ".join(f"{k} {v}" for k, v in rec.source.info.items()
                       if k in ("tuner", "driver", "hardware"))
        if hw:
            g["core:hw"] = hw
        w.finish(g)
    return {"output": str(meta_path), "datatype": fmt.name, "fs": rec.fs,
            "center_hz": center, "samples": w.written, "captures": len(w.captures),
            "gaps": len(w.captures) - 1}


COLUMNS = [("output", "output", str), ("datatype", "datatype", str), ("fs", "sample rate", fmt_hz),
           ("center_hz", "centre", fmt_hz), ("samples", "samples written", fint),
           ("gaps", "gaps", fint)]
