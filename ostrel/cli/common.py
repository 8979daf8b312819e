"""What every subcommand shares: the user-error type, number parsing, output paths, progress
bars, result rendering (table and JSON) and the optional plotting import."""

from __future__ import annotations

import json
import math
import os
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
        return Path(template.format(stem=stem_of(rec_path)))
    except (KeyError, IndexError, ValueError):
        raise UserError(f"{option} {template}: the only placeholder allowed is {{stem}}") from None


def check_writable(path: Path, force: bool) -> None:
    """Refuse to overwrite an existing output without --force; refuse a missing directory."""
    if path.exists() and not force:
        raise UserError(f"{path} exists (pass --force to overwrite it)")
    if path.is_dir():
        raise UserError(f"{path} is a directory")
    parent = path.parent if str(path.parent) else Path(".")
    if not parent.is_dir():
        raise UserError(f"{path}: directory {parent} does not exist")


class AtomicFile:
    """A file written under a temporary name and renamed into place only when complete, so an
    interrupted run never leaves a truncated output that looks finished."""

    def __init__(self, path: Path, mode: str = "wb"):
        self.path = Path(path)
        self.tmp = self.path.with_name(f".{self.path.name}.part-{os.getpid()}")
        self.f = open(self.tmp, mode)

    def __enter__(self):
        return self.f

    def __exit__(self, exc_type, exc, tb):
        self.f.close()
        if exc_type is None:
            os.replace(self.tmp, self.path)
        else:
            try:
                os.unlink(self.tmp)
            except OSError:
                pass
        return False


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
