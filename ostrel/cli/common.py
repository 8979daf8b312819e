"""What every subcommand shares: the user-error type, number parsing, output paths, progress
bars, result rendering (table and JSON) and the optional plotting import."""

from __future__ import annotations

import json
import math
import os
import shutil
import stat
import string
import sys
from pathlib import Path
from typing import Any, Callable, Iterable, Sequence


class UserError(Exception):
    """A problem with the user's input or command line: reported as one clear message and a
    non-zero exit, never as a traceback."""


SI = {"k": 1e3, "K": 1e3, "M": 1e6, "G": 1e9, "m": 1e-3, "u": 1e-6}


def parse_hz(text: str) -> float:
    """A frequency or rate in Hz: plain (``100000``, ``1e5``) or with an SI suffix (``100k``,
    ``2.4M``, ``1G``); a trailing ``Hz`` is allowed (``433.92MHz``)."""
    s = text.strip()
    if s.lower().endswith("hz"):
        s = s[:-2]
    scale = 1.0
    if s and s[-1] in SI:
        scale, s = SI[s[-1]], s[:-1]
    try:
        v = float(s) * scale
    except ValueError:
        raise ValueError(f"not a frequency: {text!r} (examples: 250000, 250e3, 250k, 1.2M)") from None
    if not math.isfinite(v):
        raise ValueError(f"not a finite frequency: {text!r}")
    return v


def hz_arg(text: str) -> float:
    """argparse type for frequencies (argparse turns the ValueError into a usage error)."""
    import argparse

    try:
        return parse_hz(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def finite_float(text: str) -> float:
    """argparse type for plain numbers: NaN and infinities are refused (a usage error)."""
    import argparse

    try:
        v = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not math.isfinite(v):
        raise argparse.ArgumentTypeError(f"not a finite number: {text!r}")
    return v


def positive_hz_arg(text: str) -> float:
    import argparse

    v = hz_arg(text)
    if v <= 0:
        raise argparse.ArgumentTypeError(f"must be positive, got {text!r}")
    return v


def fmt_hz(v: float | None) -> str:
    """Human-readable frequency: 433.920 MHz, -12.500 kHz, 35 Hz."""
    if v is None or not math.isfinite(v):
        return "-"
    a = abs(v)
    for unit, scale in (("GHz", 1e9), ("MHz", 1e6), ("kHz", 1e3)):
        if a >= scale:
            return f"{v / scale:.6g} {unit}"
    return f"{v:.4g} Hz"


# --- output paths ------------------------------------------------------------------------------

def stem_of(path: str | os.PathLike) -> str:
    """The recording's name without its SigMF (or raw) extension: ``a/b.sigmf-meta`` -> ``b``
    (a live source's name made file-safe: ``udp://:5000`` -> ``udp-5000``)."""
    from .live import is_live, live_stem

    if is_live(str(path)):
        return live_stem(str(path))
    name = Path(path).name
    for ext in (".sigmf-meta", ".sigmf-data", ".sigmf"):
        if name.endswith(ext):
            return name[: -len(ext)]
    return Path(name).stem or name


def output_path(template: str | None, rec_path: str, several: bool, option: str) -> Path | None:
    """The output file for one recording. With several recordings the template must contain
    ``{stem}`` (replaced by each recording's name) so that outputs do not overwrite each other."""
    if template is None:
        return None
    if several and "{stem}" not in template:
        raise UserError(f"{option} {template}: with several recordings the name must contain "
                        f"{{stem}} (for example {option} 'out/{{stem}}{Path(template).suffix}')")
    try:
        fields = [(f, conv, format_spec)
                  for _, f, format_spec, conv in string.Formatter().parse(template) if f is not None]
    except ValueError:
        fields = [("?", None, "")]
    if any(f != "stem" or conv or format_spec for f, conv, format_spec in fields):
        raise UserError(f"{option} {template}: the only placeholder allowed is {{stem}}, "
                        "without conversion or format (use {{ and }} for literal braces)")
    return Path(template.format(stem=stem_of(rec_path)))


def file_kind(mode: int) -> str:
    """What a file that is not a regular file is, in words."""
    for test, what in ((stat.S_ISDIR, "a directory"), (stat.S_ISCHR, "a character device"),
                       (stat.S_ISBLK, "a block device"), (stat.S_ISFIFO, "a FIFO"),
                       (stat.S_ISSOCK, "a socket"), (stat.S_ISLNK, "a symbolic link")):
        if test(mode):
            return what
    return "not a regular file"


def output_target(path: Path) -> Path:
    """Where an output named ``path`` is written: the path itself, or the regular file a
    symbolic link at ``path`` points to (the link is followed, never replaced)."""
    path = Path(path)
    return Path(os.path.realpath(path)) if path.is_symlink() else path


def check_writable(path: Path, force: bool) -> None:
    """Refuse to overwrite an existing output without --force, and anything but a regular file
    (or a symbolic link to one) even with it; refuse a missing directory."""
    path = Path(path)
    if path.is_symlink():
        if not path.exists():
            raise UserError(f"{path} is a symbolic link to a missing file: refusing to write "
                            "through it")
        target = output_target(path)
        mode = target.stat().st_mode
        if not stat.S_ISREG(mode):
            raise UserError(f"{path} is a symbolic link to {file_kind(mode)} ({target}): only "
                            "regular files are overwritten")
    elif os.path.lexists(path):
        mode = path.lstat().st_mode
        if stat.S_ISDIR(mode):
            raise UserError(f"{path} is a directory")
        if not stat.S_ISREG(mode):
            raise UserError(f"{path} is {file_kind(mode)}: only regular files are overwritten")
    if os.path.lexists(path) and not force:
        raise UserError(f"{path} exists (pass --force to overwrite it)")
    parent = path.parent if str(path.parent) else Path(".")
    if not parent.is_dir():
        raise UserError(f"{path}: directory {parent} does not exist")


def check_input_file(path: str | os.PathLike, what: str) -> Path:
    """An input named on the command line must be an existing regular file (a FIFO or a device
    would block the command or never end): one clear error otherwise."""
    p = Path(path)
    try:
        mode = p.stat().st_mode
    except FileNotFoundError:
        raise UserError(f"{what}{p}: no such file") from None
    except OSError as e:
        raise UserError(f"{what}{p}: {e.strerror or e}") from None
    if not stat.S_ISREG(mode):
        raise UserError(f"{what}{p} is {file_kind(mode)}, not a regular file")
    return p


def check_room(path: Path, n_bytes: float) -> None:
    """Refuse to start writing ``n_bytes`` that the file system holding ``path`` has no room
    for (an absurd size would otherwise run until the disk is full)."""
    parent = Path(path).parent if str(Path(path).parent) else Path(".")
    try:
        free = shutil.disk_usage(parent).free
    except OSError:
        return
    if n_bytes > free:
        raise UserError(f"{path}: would write {n_bytes:.4g} bytes, more than the {free:,} bytes "
                        f"free on {parent}")


class OutputSet:
    """Files written under temporary names and published together: on success every file is
    renamed into place (in the order opened), on any failure or interrupt none of them is left,
    neither a temporary nor a file published before the failure. Outputs that are symbolic
    links to regular files are written through (the target is replaced, the link kept).

        with OutputSet() as out:
            f = out.open(data_path)
            g = out.open(meta_path, "w")   # ... write both ...
        # both published here, or neither
    """

    def __init__(self):
        self.files: list[tuple[Path, Path, object]] = []  # (target, temporary, handle)

    def open(self, path: Path, mode: str = "wb"):
        target = output_target(Path(path))
        tmp = target.with_name(f".{target.name}.part-{os.getpid()}")
        f = open(tmp, mode)
        self.files.append((target, tmp, f))
        return f

    def publish(self) -> None:
        done: list[Path] = []
        try:
            for _, _, f in self.files:
                f.close()
            for target, tmp, _ in self.files:
                os.replace(tmp, target)
                done.append(target)
        except BaseException:
            for target in done:
                _unlink(target)
            self.discard()
            raise
        self.files = []

    def discard(self) -> None:
        for _, tmp, f in self.files:
            f.close()
            _unlink(tmp)
        self.files = []

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        if exc_type is None:
            self.publish()
        else:
            self.discard()
        return False


def _unlink(path: Path) -> None:
    try:
        os.unlink(path)
    except OSError:
        pass


class AtomicFile:
    """One file written under a temporary name and renamed into place only when complete, so an
    interrupted run never leaves a truncated output that looks finished."""

    def __init__(self, path: Path, mode: str = "wb"):
        self.set = OutputSet()
        self.f = self.set.open(path, mode)

    def __enter__(self):
        return self.f

    def __exit__(self, exc_type, exc, tb):
        return self.set.__exit__(exc_type, exc, tb)


# --- progress ----------------------------------------------------------------------------------

class NoProgress:
    """Stand-in for a progress bar when bars are off (quiet, not a terminal, worker process)."""

    def update(self, n: int = 1) -> None:
        pass

    def close(self) -> None:
        pass

    def __enter__(self):
        return self

    def __exit__(self, *a):
        self.close()


def progress_bar(total: int, desc: str, enabled: bool, unit: str = "S"):
    """A progress bar on stderr (tqdm) counting ``unit``; a no-op when disabled or when stderr is
    not a terminal."""
    if not enabled or not sys.stderr.isatty():
        return NoProgress()
    try:
        from tqdm import tqdm
    except ImportError:
        return NoProgress()
    return tqdm(total=total, desc=desc, unit=unit, unit_scale=True, file=sys.stderr, leave=False,
                dynamic_ncols=True, smoothing=0.1)


def warn(msg: str) -> None:
    print(f"ostrel: warning: {msg}", file=sys.stderr)


# --- plotting ----------------------------------------------------------------------------------

PLOT_HINT = ("plots need matplotlib, which is the [plot] extra: pip install 'ostrel[plot]' "
             "(or pip install matplotlib)")


def require_matplotlib() -> None:
    """Fail early, before a long pass, when a plot was asked for and matplotlib is missing."""
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        raise UserError(PLOT_HINT) from None


def pyplot():
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    return plt


# --- results -----------------------------------------------------------------------------------

Column = tuple  # (key, header, formatter)


def _plain(v: Any) -> Any:
    """JSON-safe value: NaN and infinities become null, NumPy scalars plain numbers."""
    if isinstance(v, dict):
        return {k: _plain(x) for k, x in v.items()}
    if isinstance(v, (list, tuple)):
        return [_plain(x) for x in v]
    if hasattr(v, "item") and not isinstance(v, (str, bytes)):
        v = v.item()
    if isinstance(v, float) and not math.isfinite(v):
        return None
    return v


def to_json(results: Sequence[dict]) -> str:
    return json.dumps([_plain(r) for r in results], indent=2)


def cell(col: Column, r: dict) -> str:
    key, _, f = col
    v = r.get(key)
    if v is None:
        return "-"
    try:
        return f(v)
    except (TypeError, ValueError):
        return str(v)


def render_table(columns: Sequence[Column], results: Sequence[dict]) -> str:
    """One row per recording (failed ones show their error), aligned columns."""
    heads = ["file"] + [c[1] for c in columns]
    rows = []
    for r in results:
        if r.get("error"):
            rows.append([r.get("file", "?"), "error: " + r["error"]])
        else:
            rows.append([r.get("file", "?")] + [cell(c, r) for c in columns])
    widths = [len(h) for h in heads]
    for row in rows:
        cells = row if len(row) == len(heads) else row[:1]
        widths[:len(cells)] = [max(w, len(v)) for w, v in zip(widths, cells)]
    out = ["  ".join(h.ljust(w) for h, w in zip(heads, widths)).rstrip()]
    for row in rows:
        out.append("  ".join(v.ljust(w) for v, w in zip(row, widths)).rstrip())
    return "\n".join(out)


def render_single(columns: Sequence[Column], r: dict, details: Callable[[dict], Iterable[str]] | None) -> str:
    """One recording: a label per line, then the command's detail lines."""
    width = max(len(c[1]) for c in columns)
    lines = [f"{'file'.ljust(width)}  {r.get('file', '?')}"]
    lines += [f"{c[1].ljust(width)}  {cell(c, r)}" for c in columns if r.get(c[0]) is not None]
    if details:
        lines += list(details(r))
    return "\n".join(lines)


def f1(v):
    return f"{v:.1f}"


def f2(v):
    return f"{v:.2f}"


def fint(v):
    return f"{int(v):,}"


def fsec(v):
    return f"{v:.6g} s"


def fyes(v):
    return "yes" if v else "no"
