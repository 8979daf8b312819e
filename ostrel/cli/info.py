"""``ostrel info``: what a recording holds: sample rate, centre frequency, datatype, length,
duration, its captures and annotations (with any known truth the annotations carry).

With --verify the data file's SHA-512 is checked against the metadata's core:sha512."""

from __future__ import annotations

import hashlib

from .common import UserError, fint, fmt_hz, fsec, progress_bar

EXAMPLES = """\
examples:
  ostrel info demo.sigmf-meta
  ostrel info capture.cu8 --fs 2.4M --rf 433.92M
  ostrel info *.sigmf-meta --json"""

ACCEPTS_EMPTY = True  # an empty recording is described like any other

COLUMNS = [("datatype", "datatype", str), ("fs", "sample rate", fmt_hz),
           ("center_hz", "centre", fmt_hz), ("samples", "samples", fint),
           ("duration_s", "duration", fsec), ("captures", "captures", lambda v: str(len(v))),
           ("annotations", "annotations", lambda v: str(len(v))), ("sha512", "sha512", str)]


def add_arguments(p) -> None:
    p.add_argument("--verify", action="store_true", help="check the data against core:sha512")


def run(rec, args, progress: bool) -> dict:
    if getattr(rec, "live", False):
        return run_live(rec, args)
    r = {"kind": rec.kind, "datatype": rec.datatype, "fs": rec.fs,
         "center_hz": rec.center if rec.center_known else None, "samples": rec.n_samples,
         "duration_s": rec.duration, "data_file": str(rec.data_path), "trailing_bytes": rec.trailing,
         "captures": rec.captures, "annotations": rec.annotations}
    for key in ("core:description", "core:author", "core:recorder", "core:hw"):
        if key in rec.global_info:
            r[key.split(":")[1]] = rec.global_info[key]
    if args.verify:
        want = rec.global_info.get("core:sha512")
        if not want:
            raise UserError("--verify: the metadata has no core:sha512")
        r["sha512"] = "ok" if _sha512(rec, progress) == want else "MISMATCH"
        if r["sha512"] != "ok":
            raise UserError(f"{rec.data_path}: SHA-512 does not match the metadata's core:sha512")
    return r


def run_live(rec, args) -> dict:
    """A live source: what it is set to and what the server or device reports, and whether
    samples flow (the first block, waited for up to --timeout or 2 s)."""
    if args.verify:
        raise UserError("--verify checks a recording's data, not a live source")
    src = rec.source
    b = src.read(timeout=min(args.timeout or 2.0, 10.0))
    return {"kind": f"live ({src.kind})", "datatype": rec.datatype, "fs": rec.fs,
            "center_hz": rec.center if rec.center_known else None,
            "first_block": len(b.samples) if b is not None else None,
            "reports": dict(src.info), "captures": [], "annotations": []}


def _sha512(rec, progress: bool) -> str:
    h = hashlib.sha512()
    size = rec.data_path.stat().st_size if rec.kind != "sigmf archive" else None
    if size is None:
        raise UserError("--verify is not available inside archives")
    with open(rec.data_path, "rb") as f, progress_bar(size, "sha512", progress, unit="B") as bar:
        while chunk := f.read(1 << 22):
            h.update(chunk)
            bar.update(len(chunk))
    return h.hexdigest()


def details(r: dict):
    if r.get("reports") is not None:
        for k, v in r["reports"].items():
            yield f"{k}: {v}"
        yield ("samples flow: first block of " + f"{r['first_block']:,} samples"
               if r.get("first_block") else "no samples arrived yet")
    if r.get("description"):
        yield f"description  {r['description']}"
    for c in r["captures"]:
        start = c.get("core:sample_start", 0)
        extra = ", ".join(f"{k}={v}" for k, v in c.items() if k not in ("core:sample_start", "core:frequency"))
        yield f"capture @ {start:,}: {fmt_hz(c.get('core:frequency'))}" + (f" ({extra})" if extra else "")
    for a in r["annotations"]:
        start, count = a.get("core:sample_start", 0), a.get("core:sample_count")
        span = f"{start:,} +{count:,}" if count is not None else f"{start:,}"
        label = a.get("core:label", "")
        lo, hi = a.get("core:freq_lower_edge"), a.get("core:freq_upper_edge")
        band = f"  {fmt_hz(lo)} .. {fmt_hz(hi)}" if lo is not None and hi is not None else ""
        truth = [f"{k[7:]}={_short(v)}" for k, v in a.items() if k.startswith("ostrel:") and k != "ostrel:kind"]
        yield f"annotation {span}: {label}{band}" + (f"\n    truth: {' '.join(truth)}" if truth else "")


def _short(v):
    return f"{v:.6g}" if isinstance(v, float) else str(v)


