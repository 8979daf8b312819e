"""``ostrel detect``: find a known code (a reference waveform) in a recording.

The toolkit's correlation detector cuts the stream into consecutive frames of the reference's
length n, correlates each frame circularly against the reference (FFT fast convolution), sums
--dwell frames coherently, and compares the correlation peak with the mean correlation
magnitude (the noise estimate): the ratio is the test statistic. A detection reports the
sample where the code starts (first frame of the dwell + lag), the lag within the frame, the
peak, the noise estimate and the statistic.

The threshold follows from --pfa, the probability that a dump of noise alone raises a
detection: for n Rayleigh-distributed correlation bins compared with their mean,
T = sqrt((4/pi) ln(n / pfa)). --threshold sets T directly. Without --ref, a recording whose
annotations name its spread code (those of 'ostrel synth' do) uses that code; its known
occurrences are then checked (true detections, false alarms, bursts found).

The frames are fixed slices of the stream, so a code that repeats (a spread code) is found at
its exact start within each frame it fills; a code sent once usually straddles two frames and
its reported start may then lie a whole code length after the true one (sample - n)."""

from __future__ import annotations

import csv
import io
import json
import math
from pathlib import Path

import numpy as np

from . import adapters
from .common import AtomicFile, UserError, check_input_file, f1, f2, fint, output_path
from .live import input_progress

EXAMPLES = """\
examples:
  ostrel detect demo --ref demo.code.npy
  ostrel detect demo --pfa 1e-9 --dwell 2 -o detections.csv
  ostrel detect capture.cf32 --fs 2M --ref preamble.npy --threshold 8 --json"""

SHOW = 20  # detections listed in the report (all of them go to -o)
KEEP = 1000  # detections kept in the JSON result


def add_arguments(p) -> None:
    g = p.add_argument_group("detector")
    g.add_argument("--ref", metavar="CODE.npy",
                   help="reference waveform (a 1-D NumPy array, complex or real; default: the "
                        "spread code named in the recording's annotations)")
    g.add_argument("--pfa", type=float, default=1e-6, metavar="P",
                   help="false-alarm probability per dump (default 1e-6)")
    g.add_argument("--threshold", type=float, metavar="T", help="test-statistic threshold "
                                                                 "(overrides --pfa)")
    g.add_argument("--dwell", type=int, default=1, metavar="D",
                   help="frames integrated coherently per decision (default 1)")
    g.add_argument("-o", "--output", metavar="FILE",
                   help="all detections as CSV, or JSON when FILE ends in .json ({stem} is "
                        "replaced by the recording's name)")


def prepare(args) -> None:
    if not 0 < args.pfa < 1:
        raise UserError("--pfa must lie between 0 and 1")
    if args.dwell < 1:
        raise UserError("--dwell must be at least 1")
    if args.threshold is not None and not math.isfinite(args.threshold):
        raise UserError("--threshold must be a finite number")
    if args.ref is not None:
        load_ref(args.ref)


def outputs(args, path: str, several: bool) -> list:
    out = output_path(args.output, path, several, "-o")
    return [out] if out is not None else []


def load_ref(path: str) -> np.ndarray:
    check_input_file(path, "--ref ")
    try:
        ref = np.load(path, allow_pickle=False)
    except FileNotFoundError:
        raise UserError(f"--ref {path}: no such file") from None
    except (ValueError, OSError, EOFError) as e:
        raise UserError(f"--ref {path}: not a NumPy .npy array ({e})") from None
    if ref.dtype.kind not in "biufc" or ref.ndim != 1 or ref.size < 2:
        raise UserError(f"--ref {path}: need a 1-D numeric array of at least 2 samples, got "
                        f"shape {ref.shape} of {ref.dtype}")
    if not np.all(np.isfinite(ref)):
        raise UserError(f"--ref {path}: holds NaN or infinite values")
    if not np.any(ref):
        raise UserError(f"--ref {path}: is all zeros")
    return ref.astype(np.complex64)


def threshold_for(n: int, pfa: float, real: bool = False) -> float:
    """Threshold on peak / mean magnitude for a false-alarm probability ``pfa`` per dump of n
    bins: complex correlation magnitudes are Rayleigh (P(ratio > T) = exp(-pi T^2 / 4) per
    bin); a real signal against a real reference gives half-normal ones (erfc(T / sqrt(pi)))."""
    p = min(pfa / n, 0.5)
    if not real:
        return math.sqrt(4 / math.pi * math.log(1 / p))
    lo, hi = 0.0, 64.0
    for _ in range(100):  # erfc is monotonic: bisect erfc(T / sqrt(pi)) = p
        mid = 0.5 * (lo + hi)
        lo, hi = (mid, hi) if math.erfc(mid / math.sqrt(math.pi)) > p else (lo, mid)
    return 0.5 * (lo + hi)


def annotated_code(rec) -> tuple[np.ndarray | None, list]:
    """(code, occurrences) from the annotations: occurrences are (start, count) of each burst."""
    from .synth import spread_code
    from .truth import PRBS

    occ, name = [], None
    for a in rec.annotations:
        if a.get("ostrel:kind") == "code" and a.get("ostrel:code") in PRBS:
            name = name or a["ostrel:code"]
            if a["ostrel:code"] == name:
                occ.append((int(a["core:sample_start"]), int(a.get("core:sample_count", 0))))
    return (spread_code(name) if name else None), occ


class Sink:
    """Detections streamed to CSV or JSON as they are found (constant memory)."""

    FIELDS = ("sample", "time_s", "lag", "peak", "noise", "stat")

    def __init__(self, path: Path | None):
        self.path, self.n = path, 0
        self.atomic = AtomicFile(path, "w") if path else None
        self.f = self.atomic.__enter__() if path else None
        self.json = path is not None and path.suffix.lower() == ".json"
        if self.f is not None:
            if self.json:
                self.f.write("[")
            else:
                self.w = csv.writer(self.f)
                self.w.writerow(self.FIELDS)

    def write(self, d: dict) -> None:
        if self.f is None:
            return
        if self.json:
            self.f.write(("," if self.n else "") + "\n  " + json.dumps(d))
        else:
            self.w.writerow([d[k] for k in self.FIELDS])
        self.n += 1

    def close(self, ok: bool) -> None:
        if self.f is None:
            return
        if self.json and ok:
            self.f.write("\n]\n")
        self.atomic.__exit__(None if ok else RuntimeError, None, None)


def run(rec, args, progress: bool) -> dict:
    code, occ = annotated_code(rec)
    if args.ref is not None:
        ref = load_ref(args.ref)
    elif code is not None:
        ref = code
    else:
        raise UserError("give the reference with --ref CODE.npy (the recording's annotations "
                        "name no spread code)")
    n, dwell = len(ref), args.dwell
    if n * dwell > rec.n_samples and not getattr(rec, "live", False):
        raise UserError(f"the recording ({rec.n_samples} samples) is shorter than one decision "
                        f"({n} x {dwell} samples)")
    real = not rec.fmt.complex and not np.any(ref.imag)
    thr = args.threshold if args.threshold is not None else threshold_for(n, args.pfa, real)
    truth = occ if args.ref is None or (code is not None and len(code) == n
                                        and np.array_equal(code, ref)) else []
    det = adapters.corr_detector(ref, dwell)
    empty = np.zeros(0, np.complex64)
    n_dumps = n_det = 0
    stat_max = 0.0
    found: list = []
    several = len(args.recordings) > 1
    sink = Sink(output_path(args.output, rec.path, several, "-o"))
    ok = False
    try:
        with input_progress(rec, progress) as bar:
            for x in rec.blocks(args.block, progress=bar):
                if not rec.fmt.complex:
                    x = x.astype(np.complex64)
                res = det.push(x)
                while True:
                    # Every dump is reported (threshold 0), in stream order: the k-th result
                    # is dump k, whose first frame starts at sample k * dwell * n.
                    for lag, peak, noise, stat in res:
                        stat_max = max(stat_max, stat)
                        if stat > thr:
                            s = n_dumps * dwell * n + int(lag)
                            d = {"sample": s, "time_s": s / rec.fs, "lag": int(lag),
                                 "peak": float(peak), "noise": float(noise), "stat": float(stat)}
                            n_det += 1
                            sink.write(d)
                            if len(found) < KEEP:
                                found.append(d)
                        n_dumps += 1
                    if not det.pending:  # a push returns at most 64 results and keeps the rest
                        break
                    res = det.push(empty)
        ok = True
    finally:
        sink.close(ok)
        det.destroy()
    if n_dumps != rec.n_samples // (n * dwell):
        raise RuntimeError(f"the detector reported {n_dumps} dumps for {rec.n_samples} samples")
    r = {"n": n, "dwell": dwell, "threshold": thr, "pfa": args.pfa if args.threshold is None else None,
         "dumps": n_dumps, "detections": n_det, "max_stat": stat_max,
         "output": str(sink.path) if sink.path else None, "list": found}
    if truth:
        r.update(score(found, truth, n, dwell, n_det))
    return r


def score(found: list, occ: list, n: int, dwell: int, n_det: int) -> dict:
    """Detections against the known occurrences: a detection is true when its frames overlap
    an occurrence and it lands on one of its code epochs (a whole number of periods from its
    start; the circular correlation cannot tell which period). ``first_epoch`` gives, per
    occurrence, the code period of its first detection (0: its very start), or None."""
    true, first = 0, [None] * len(occ)
    for d in found:
        s, frame0 = d["sample"], d["sample"] - d["lag"]
        for i, (start, count) in enumerate(occ):
            if frame0 < start + max(count, n) and start < frame0 + n * dwell and (s - start) % n == 0:
                true += 1
                if first[i] is None:
                    first[i] = (s - start) // n
                break
    return {"true_detections": true, "false_alarms": n_det - true,
            "bursts_found": sum(f is not None for f in first), "bursts": len(occ),
            "first_epoch": first}


COLUMNS = [("n", "code length", fint), ("dwell", "dwell", str), ("threshold", "threshold", f2),
           ("dumps", "decisions", fint), ("detections", "detections", fint),
           ("max_stat", "max statistic", f1), ("true_detections", "true", fint),
           ("false_alarms", "false alarms", fint),
           ("bursts_found", "bursts found", lambda v: str(v))]


def details(r: dict):
    if r.get("bursts") is not None:
        epochs = ", ".join("missed" if e is None else f"period {e}" for e in r["first_epoch"])
        yield (f"known bursts: {r['bursts_found']} of {r['bursts']} found, each first at its "
               f"code start + a whole period: {epochs}")
    if r["list"]:
        buf = io.StringIO()
        buf.write(f"{'sample':>12}  {'time (s)':>11}  {'lag':>6}  {'peak':>10}  {'noise':>10}  {'stat':>7}")
        for d in r["list"][:SHOW]:
            buf.write(f"\n{d['sample']:>12,}  {d['time_s']:>11.6f}  {d['lag']:>6}  {d['peak']:>10.4g}  "
                      f"{d['noise']:>10.4g}  {d['stat']:>7.2f}")
        if r["detections"] > SHOW:
            buf.write(f"\n... {r['detections'] - SHOW} more" + (f" (all in {r['output']})" if r["output"] else
                                                              " (-o FILE writes them all)"))
        yield buf.getvalue()
    if r.get("output"):
        yield f"detections written to {r['output']}"
