"""Recordings: SigMF (metadata + data file, or an uncompressed ``.sigmf`` archive) and raw I/Q
files, read block by block through a memory map so that memory stays constant whatever the
file size, and converted to the toolkit's sample types (complex64, or float32 for real data).

Sample types follow the SigMF datatype names: ``c`` (complex) or ``r`` (real), then ``f32``,
``f64``, ``i16``, ``i8`` or ``u8``, then ``_le`` or ``_be`` for multi-byte types. Integers are
scaled to full scale +-1: ``ci16`` by 1/32768, ``ci8`` by 1/128, and the offset-binary ``cu8``
(what many low-cost receivers write) as (v - 128)/128.
"""

from __future__ import annotations

import hashlib
import json
import math
import mmap
import warnings
from dataclasses import dataclass, field
from pathlib import Path
from typing import Iterator

import numpy as np

from .common import OutputSet, UserError, check_input_file, check_room, check_writable, warn

META_EXT, DATA_EXT, ARCHIVE_EXT = ".sigmf-meta", ".sigmf-data", ".sigmf"

# Raw-file extensions that name their sample type (common receiver and tool conventions).
RAW_EXTENSIONS = {
    ".cf32": "cf32_le", ".fc32": "cf32_le", ".cfile": "cf32_le", ".cf64": "cf64_le",
    ".ci16": "ci16_le", ".cs16": "ci16_le", ".sc16": "ci16_le", ".ci8": "ci8", ".cs8": "ci8",
    ".cu8": "cu8", ".rf32": "rf32_le", ".f32": "rf32_le", ".ri16": "ri16_le", ".s16": "ri16_le",
}


@dataclass(frozen=True)
class Format:
    """One sample type: how its bytes look on disk and how they become toolkit samples."""

    name: str  # canonical SigMF datatype, e.g. "ci16_le"
    complex: bool
    component: np.dtype  # one I or Q (or real) value on disk, with byte order
    scale: float  # multiply after removing the offset
    offset: float  # subtracted first (offset binary)

    @property
    def sample_bytes(self) -> int:
        return self.component.itemsize * (2 if self.complex else 1)

    @property
    def native(self) -> np.dtype:
        """The toolkit type this format is converted to."""
        return np.dtype(np.complex64 if self.complex else np.float32)

    @property
    def zero_copy(self) -> bool:
        """Samples already in the toolkit's type: handed over straight from the memory map."""
        return self.component == np.dtype("=f4")


_KINDS = {"f32": ("f4", 1.0, 0.0), "f64": ("f8", 1.0, 0.0), "i16": ("i2", 1 / 32768, 0.0),
          "i8": ("i1", 1 / 128, 0.0), "u8": ("u1", 1 / 128, 128.0)}
SUPPORTED = sorted(f"{c}{k}" + ("" if k.endswith("8") else "_le")
                   for c in "cr" for k in _KINDS)


def parse_datatype(text: str) -> Format:
    """The Format of a SigMF datatype string; short forms (``cf32``, ``ci16``) mean little-endian."""
    t = str(text).strip().lower()
    base, _, order = t.partition("_")
    if len(base) < 3 or base[0] not in "cr" or base[1:] not in _KINDS:
        raise UserError(f"unsupported datatype {text!r} (supported: {', '.join(SUPPORTED)}, "
                        "with _be for big-endian multi-byte types)")
    code, scale, offset = _KINDS[base[1:]]
    one_byte = code.endswith("1")
    if order not in ("", "le", "be") or (one_byte and order):
        raise UserError(f"unsupported datatype {text!r}: byte order must be _le or _be "
                        "(and none for 8-bit types)")
    endian = ">" if order == "be" else "<"
    name = base if one_byte else f"{base}_{order or 'le'}"
    return Format(name, base[0] == "c", np.dtype(endian + code), scale, offset)


def convert(raw: np.ndarray, fmt: Format, out: np.ndarray) -> np.ndarray:
    """Disk components ``raw`` (2 per complex sample) into ``out`` (complex64 or float32)."""
    flat = out.view(np.float32) if fmt.complex else out
    if fmt.component.kind == "f":
        flat[:] = raw
    elif fmt.offset:
        np.subtract(raw, np.float32(fmt.offset), out=flat, dtype=np.float32)
        flat *= np.float32(fmt.scale)
    else:
        np.multiply(raw, np.float32(fmt.scale), out=flat, dtype=np.float32)
    return out


# --- opening -----------------------------------------------------------------------------------

@dataclass
class Recording:
    """An opened recording: metadata and a memory-mapped view of its samples."""

    path: str  # as given by the user
    kind: str  # "sigmf", "sigmf archive" or "raw"
    fmt: Format
    fs: float
    center: float  # Hz of the samples' DC (0 when unknown)
    center_known: bool
    data_path: Path
    data_offset: int  # bytes before the first sample
    n_samples: int
    trailing: int  # bytes after the last whole sample that are not read
    global_info: dict = field(default_factory=dict)
    captures: list = field(default_factory=list)
    annotations: list = field(default_factory=list)
    meta_path: Path | None = None
    _mm: mmap.mmap | None = None
    _file: object = None

    @property
    def duration(self) -> float:
        return self.n_samples / self.fs

    @property
    def datatype(self) -> str:
        return self.fmt.name

    # -- sample access --
    def _map(self) -> mmap.mmap:
        if self._mm is None:
            self._file = open(self.data_path, "rb")
            self._mm = mmap.mmap(self._file.fileno(), 0, access=mmap.ACCESS_READ)
            if hasattr(mmap, "MADV_SEQUENTIAL"):
                self._mm.madvise(mmap.MADV_SEQUENTIAL)
        return self._mm

    def _raw(self, start: int, count: int) -> np.ndarray:
        comps = 2 if self.fmt.complex else 1
        return np.frombuffer(self._map(), dtype=self.fmt.component, count=count * comps,
                             offset=self.data_offset + start * self.fmt.sample_bytes)

    def read(self, start: int = 0, count: int | None = None) -> np.ndarray:
        """Samples [start, start + count) as a new complex64 (or float32) array."""
        stop = self.n_samples if count is None else min(self.n_samples, start + count)
        n = max(0, stop - start)
        out = np.empty(n, self.fmt.native)
        if n:
            convert(self._raw(start, n), self.fmt, out)
        return out

    def blocks(self, block: int, start: int = 0, stop: int | None = None,
               progress=None) -> Iterator[np.ndarray]:
        """Consecutive blocks of at most ``block`` samples over [start, stop).

        A yielded array is valid until the next one is requested (its buffer is reused, or it
        views the memory map directly when no conversion is needed). Pages already read are
        released from this process as it goes, so memory stays constant for any file size."""
        stop = self.n_samples if stop is None else min(stop, self.n_samples)
        block = max(1, int(block))
        buf = None if self.fmt.zero_copy and self.fmt.complex else np.empty(block, self.fmt.native)
        page = mmap.PAGESIZE
        released = 0
        pos = start
        while pos < stop:
            n = min(block, stop - pos)
            raw = self._raw(pos, n)
            if buf is None and raw.ctypes.data % 8 == 0:
                yield raw.view(np.complex64)
            else:
                if buf is None:
                    buf = np.empty(block, self.fmt.native)
                yield convert(raw, self.fmt, buf[:n])
            del raw
            pos += n
            if progress is not None:
                progress.update(n)
            done = (self.data_offset + pos * self.fmt.sample_bytes) // page * page
            if done - released >= 1 << 24 and hasattr(mmap, "MADV_DONTNEED"):
                self._mm.madvise(mmap.MADV_DONTNEED, released, done - released)
                released = done

    def close(self) -> None:
        if self._mm is not None:
            try:
                self._mm.close()
            except BufferError:  # a caller still holds a view; the map goes with it
                pass
            self._file.close()
            self._mm = None

    def __enter__(self):
        return self

    def __exit__(self, *a):
        self.close()


@dataclass
class Source:
    """How to open raw files (and what to override in SigMF metadata), from the command line."""

    fs: float | None = None
    format: str | None = None
    rf: float | None = None  # centre frequency of a raw recording
    allow_partial: bool = False


def _sigmf():
    try:
        import sigmf
        from sigmf import sigmffile
    except ImportError:
        raise UserError("reading SigMF recordings needs the sigmf package: pip install sigmf") from None
    return sigmf, sigmffile


def _validated(meta: dict, where: str) -> dict:
    """Check metadata against the SigMF schema (through the sigmf package)."""
    sigmf, _ = _sigmf()
    import jsonschema

    if not isinstance(meta, dict) or not isinstance(meta.get("global"), dict):
        raise UserError(f"{where}: not SigMF metadata (no \"global\" object)")
    meta.setdefault("captures", [])
    meta.setdefault("annotations", [])
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            sigmf.validate.validate(meta)
    except jsonschema.exceptions.ValidationError as e:
        loc = "/".join(str(p) for p in e.absolute_path) or "top level"
        raise UserError(f"{where}: invalid SigMF metadata at {loc}: {e.message}") from None
    except (ValueError, TypeError, RecursionError) as e:  # checks of the sigmf package itself
        raise UserError(f"{where}: invalid SigMF metadata: {e}") from None
    return meta


def _no_constant(name: str):
    raise ValueError(f"{name} is not a number JSON allows (metadata numbers are finite)")


def _load_meta_text(text: str, where: str) -> dict:
    try:
        meta = json.loads(text, parse_constant=_no_constant)
    except json.JSONDecodeError as e:
        hint = "" if text.rstrip().endswith("}") else " (the file looks truncated)"
        raise UserError(f"{where}: malformed JSON at line {e.lineno}, column {e.colno}: "
                        f"{e.msg}{hint}") from None
    except ValueError as e:
        raise UserError(f"{where}: {e}") from None
    except RecursionError:
        raise UserError(f"{where}: the JSON is nested too deeply to be SigMF metadata") from None
    return _validated(meta, where)


def _read_text(path: Path) -> str:
    try:
        return path.read_text(encoding="utf-8")
    except UnicodeDecodeError:
        raise UserError(f"{path}: not a text (JSON) file") from None


def sigmf_paths(path: str) -> tuple[Path, Path] | None:
    """(meta, data) paths when ``path`` names a SigMF recording in any of its forms."""
    p = Path(path)
    name = p.name
    if name.endswith(META_EXT) or name.endswith(DATA_EXT):
        base = p.with_name(name[: -len(META_EXT)])
        return base.with_name(base.name + META_EXT), base.with_name(base.name + DATA_EXT)
    meta = p.with_name(name + META_EXT)
    if not p.exists() and meta.exists():
        return meta, p.with_name(name + DATA_EXT)
    return None


def open_recording(path: str, src: Source | None = None) -> Recording:
    """Open a SigMF recording, a ``.sigmf`` archive or a raw I/Q file (which needs ``--fs``
    and a ``--format`` unless its extension names one)."""
    src = src or Source()
    if Path(path).is_dir():
        raise UserError(f"{path} is a directory, not a recording")
    if path.endswith(ARCHIVE_EXT) and Path(path).is_file():
        return _open_archive(path, src)
    sp = sigmf_paths(path)
    if sp is not None:
        return _open_sigmf(path, sp[0], sp[1], src)
    check_input_file(path, "")
    return _open_raw(path, src)


def _open_sigmf(path: str, meta_path: Path, data_default: Path, src: Source) -> Recording:
    if src.format:
        raise UserError("--format applies to raw files; a SigMF recording names its datatype")
    if not meta_path.exists():
        raise UserError(f"{meta_path}: no such metadata file")
    check_input_file(meta_path, "")
    meta = _load_meta_text(_read_text(meta_path), str(meta_path))
    g = meta["global"]
    dataset = g.get("core:dataset")
    if dataset is not None and (not isinstance(dataset, str) or dataset in ("", ".", "..")
                                or any(c in dataset for c in "/\\\0")):
        raise UserError(f"{meta_path}: core:dataset {dataset!r} is not the name of a file beside "
                        "the metadata (a dataset is only looked for in the recording's directory)")
    data_path = meta_path.with_name(dataset) if dataset else data_default
    if not data_path.exists():
        raise UserError(f"{data_path}: no such data file (the samples of {meta_path})")
    check_input_file(data_path, "")
    return _from_meta(path, "sigmf", meta, meta_path, data_path, 0,
                      data_path.stat().st_size, src)


def _open_archive(path: str, src: Source) -> Recording:
    import tarfile

    if src.format:
        raise UserError("--format applies to raw files; a SigMF recording names its datatype")
    try:
        with tarfile.open(path, "r:") as tar:
            members = [m for m in tar.getmembers() if m.isfile()]
            metas = [m for m in members if m.name.endswith(META_EXT)]
            if not metas:
                raise UserError(f"{path}: no {META_EXT} in the archive")
            if len(metas) > 1:
                raise UserError(f"{path}: the archive holds {len(metas)} recordings; extract it "
                                "(tar xf) and name one")
            m = metas[0]
            datas = [d for d in members if d.name == m.name[: -len(META_EXT)] + DATA_EXT]
            if not datas:
                raise UserError(f"{path}: no {DATA_EXT} beside {m.name} in the archive")
            text = tar.extractfile(m).read().decode("utf-8", "replace")
            d = datas[0]
    except tarfile.ReadError:
        raise UserError(f"{path}: not an uncompressed SigMF archive (compressed archives: "
                        "extract them first)") from None
    meta = _load_meta_text(text, f"{path}:{m.name}")
    return _from_meta(path, "sigmf archive", meta, None, Path(path), d.offset_data, d.size, src,
                      size_is_data=True)


def _from_meta(path, kind, meta, meta_path, data_path, base_offset, size, src: Source,
               size_is_data=False) -> Recording:
    g = meta["global"]
    where = str(meta_path or path)
    fmt = parse_datatype(g["core:datatype"])
    if int(g.get("core:num_channels", 1)) != 1:
        raise UserError(f"{where}: {g['core:num_channels']} interleaved channels; only "
                        "single-channel recordings are supported")
    caps = sorted(meta["captures"], key=lambda c: c.get("core:sample_start", 0))
    header = int(caps[0].get("core:header_bytes", 0)) if caps else 0
    if any(c.get("core:header_bytes", 0) for c in caps[1:]):
        raise UserError(f"{where}: headers between captures (core:header_bytes after the "
                        "first capture) are not supported")
    trailing_meta = int(g.get("core:trailing_bytes", 0))
    data_bytes = size - header - trailing_meta
    if data_bytes < 0:
        raise UserError(f"{data_path}: {size} bytes, fewer than the {header} header and "
                        f"{trailing_meta} trailing bytes the metadata declares")
    fs = src.fs if src.fs is not None else g.get("core:sample_rate")
    if fs is None:
        raise UserError(f"{where}: the metadata has no core:sample_rate; give it with --fs")
    _check_rate(fs, where)
    from .truth import check_truth_annotations

    check_truth_annotations(meta["annotations"], where)
    center = caps[0].get("core:frequency") if caps else None
    if src.rf is not None:
        center = src.rf
    rec = Recording(path=path, kind=kind, fmt=fmt, fs=float(fs), center=float(center or 0.0),
                    center_known=center is not None, data_path=data_path,
                    data_offset=base_offset + header, n_samples=0, trailing=0,
                    global_info=g, captures=caps, annotations=list(meta["annotations"]),
                    meta_path=meta_path)
    _count(rec, data_bytes, src, str(data_path))
    return rec


def _open_raw(path: str, src: Source) -> Recording:
    p = Path(path)
    dt = src.format or RAW_EXTENSIONS.get(p.suffix.lower())
    if dt is None:
        raise UserError(f"{path}: not a SigMF recording; for a raw I/Q file give --format "
                        f"(one of {', '.join(SUPPORTED)}) and --fs")
    if src.fs is None:
        raise UserError(f"{path}: a raw file carries no sample rate; give it with --fs")
    _check_rate(src.fs, path)
    fmt = parse_datatype(dt)
    rec = Recording(path=path, kind="raw", fmt=fmt, fs=float(src.fs), center=float(src.rf or 0.0),
                    center_known=src.rf is not None, data_path=p, data_offset=0, n_samples=0,
                    trailing=0)
    _count(rec, p.stat().st_size, src, path)
    return rec


MIN_RATE = 1e-6  # Hz: slower "rates" (5e-324 ...) make every duration and frequency infinite


def _check_rate(fs, where: str) -> None:
    if isinstance(fs, bool) or not isinstance(fs, (int, float)) or not (fs > 0):
        raise UserError(f"{where}: sample rate {fs} is not positive")
    if not (MIN_RATE <= fs < math.inf):
        raise UserError(f"{where}: sample rate {fs:g} Hz is not a usable rate (finite, and at "
                        f"least {MIN_RATE:g} Hz)")


def _count(rec: Recording, data_bytes: int, src: Source, where: str) -> None:
    n, rest = divmod(data_bytes, rec.fmt.sample_bytes)
    if rest:
        if not src.allow_partial:
            raise UserError(f"{where}: {data_bytes} bytes is not a whole number of "
                            f"{rec.fmt.sample_bytes}-byte {rec.fmt.name} samples ({rest} trailing "
                            f"byte{'s' if rest > 1 else ''}); pass --allow-partial to ignore them")
        warn(f"{where}: ignoring {rest} trailing byte{'s' if rest > 1 else ''} after the last "
             f"whole {rec.fmt.name} sample")
    rec.n_samples, rec.trailing = n, rest


# --- writing -----------------------------------------------------------------------------------

def encode(x: np.ndarray, fmt: Format) -> bytes:
    """Samples (complex or real) as the bytes of ``fmt``, integer types rounded and saturated."""
    if fmt.zero_copy and fmt.complex and x.dtype == np.complex64:
        return x.tobytes()
    v = np.empty(2 * len(x), np.float64) if fmt.complex else np.asarray(x, np.float64)
    if fmt.complex:
        v[0::2], v[1::2] = x.real, x.imag
    if fmt.component.kind in "iu":
        info = np.iinfo(fmt.component)
        v = np.clip(np.round(v / fmt.scale + fmt.offset), info.min, info.max)
    return v.astype(fmt.component).tobytes()


EXTENSION = {"name": "ostrel", "version": "1.0.0", "optional": True}


def meta_and_data_paths(out: str) -> tuple[Path, Path]:
    """The two files of a SigMF recording named by any of its forms (``x``, ``x.sigmf-meta``,
    ``x.sigmf-data``)."""
    sp = sigmf_paths(out)
    if sp is not None:
        return sp
    p = Path(out)
    return p.with_name(p.name + META_EXT), p.with_name(p.name + DATA_EXT)


def _sigmf_file(global_info: dict, captures: list, annotations: list, where: str):
    """SigMF metadata through the sigmf package, schema-validated: a value the schema refuses
    (a centre frequency beyond its range ...) or a non-finite number is the user's input."""
    sigmf, sigmffile = _sigmf()
    import jsonschema

    try:
        json.dumps([global_info, captures, annotations], allow_nan=False)
    except ValueError:
        raise UserError(f"{where}: the metadata would hold a non-finite number (NaN or an "
                        "infinity)") from None
    g = {"core:version": sigmf.__specification__, **global_info}
    if any(k.startswith("ostrel:") for a in annotations for k in a) or \
            any(k.startswith("ostrel:") for k in g):
        exts = [e for e in g.get("core:extensions", []) if e.get("name") != "ostrel"]
        g["core:extensions"] = exts + [dict(EXTENSION)]
    f = sigmffile.SigMFFile(global_info=g)
    for c in captures:
        c = dict(c)
        f.add_capture(c.pop("core:sample_start"), metadata=c)
    for a in sorted(annotations, key=lambda a: a["core:sample_start"]):
        a = dict(a)
        start, count = a.pop("core:sample_start"), a.pop("core:sample_count", None)
        f.add_annotation(start, length=count, metadata=a)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            f.validate()
    except jsonschema.exceptions.ValidationError as e:
        loc = "/".join(str(p) for p in e.absolute_path) or "top level"
        raise UserError(f"{where}: the metadata would be invalid SigMF at {loc}: "
                        f"{e.message}") from None
    return f


def _dump_meta(f, fp) -> None:
    f.dump(fp, pretty=True)
    fp.write("\n")


def write_meta(meta_path: Path, global_info: dict, captures: list, annotations: list) -> None:
    """Write SigMF metadata through the sigmf package (schema-validated), as a unit."""
    f = _sigmf_file(global_info, captures, annotations, str(meta_path))
    with OutputSet() as out:
        _dump_meta(f, out.open(meta_path, "w"))


class RecordingWriter:
    """A SigMF recording written as a unit: the data file, the metadata and any side files are
    written under temporary names and published together when the block ends without an
    error; on any failure or interrupt none of them is left. The metadata is checked when it is
    described, before the first sample is written, and completed with the data's SHA-512.

        with RecordingWriter(meta_path, data_path, force=args.force) as w:
            w.describe(global_info, captures, annotations)   # refused here when invalid
            w.expect(n_samples * fmt.sample_bytes)           # refused when the disk has no room
            for block in blocks:
                w.write(encode(block, fmt))
            np.save(w.side(code_path), code)                 # published with the recording

    ``force`` (when not None) checks the outputs first as the command line asks (an existing
    file only with --force, and only a regular file or a link to one)."""

    def __init__(self, meta_path: Path, data_path: Path, force: bool | None = None):
        self.meta_path, self.data_path = Path(meta_path), Path(data_path)
        if force is not None:
            for p in (self.meta_path, self.data_path):
                check_writable(p, force)
        self.sha = hashlib.sha512()
        self.bytes = 0
        self.meta: tuple | None = None
        self.out = OutputSet()
        self.data = None

    def __enter__(self):
        self.data = self.out.open(self.data_path)
        return self

    def describe(self, global_info: dict, captures: list, annotations: list) -> None:
        """The recording's metadata (without core:sha512, added at the end): validated now.
        It may be described again before the block ends (annotations found while recording);
        the last description is the one written."""
        trial = {**global_info, "core:sha512": "0" * 128}
        _sigmf_file(trial, captures, annotations, str(self.meta_path))
        self.meta = (dict(global_info), list(captures), list(annotations))

    def expect(self, n_bytes: float) -> None:
        """Refuse a recording of ``n_bytes`` that the disk has no room for, before writing."""
        check_room(self.data_path, n_bytes)

    def write(self, b: bytes) -> None:
        self.sha.update(b)
        self.data.write(b)
        self.bytes += len(b)

    def side(self, path: Path, mode: str = "wb"):
        """A file published together with the recording (e.g. a reference beside it)."""
        return self.out.open(path, mode)

    def __exit__(self, exc_type, exc, tb):
        if exc_type is not None:
            self.out.discard()
            return False
        try:
            if self.meta is None:
                raise RuntimeError("RecordingWriter: describe() was never called")
            g, caps, anns = self.meta
            f = _sigmf_file({**g, "core:sha512": self.sha.hexdigest()}, caps, anns,
                            str(self.meta_path))
            _dump_meta(f, self.out.open(self.meta_path, "w"))
        except BaseException:
            self.out.discard()
            raise
        self.out.publish()
        return False
