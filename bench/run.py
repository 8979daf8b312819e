"""Run the throughput benchmarks (bench/bench_*.py) and print / save the figures.

Each benchmark module defines ``run(quick: bool) -> list[dict]`` returning rows made with
``_util.row``. ``--only NAME`` runs the modules whose file name contains NAME.
"""

from __future__ import annotations

import argparse
import importlib.util
import json
import pathlib
import platform
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import _util  # noqa: E402


def fmt(v) -> str:
    if isinstance(v, float):
        return f"{v:.4g}"
    return str(v)


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--json", help="write the rows to this file")
    ap.add_argument("--only", default="", help="run only benchmark files containing this")
    ap.add_argument("--quick", action="store_true", help="smaller inputs, fewer rounds")
    args = ap.parse_args()
    _util.pin_one_core()
    rows = []
    for path in sorted(HERE.glob("bench_*.py")):
        if args.only not in path.stem:
            continue
        mod_spec = importlib.util.spec_from_file_location(path.stem, path)
        mod = importlib.util.module_from_spec(mod_spec)
        mod_spec.loader.exec_module(mod)
        print(f"== {path.stem}", flush=True)
        for r in mod.run(args.quick):
            r["bench"] = path.stem
            rows.append(r)
            extra = "  ".join(f"{k}={fmt(v)}" for k, v in r.items()
                              if k not in ("name", "value", "unit", "bench"))
            print(f"  {r['name']:<44} {fmt(r['value']):>12} {r['unit']:<12} {extra}", flush=True)
    if args.json:
        meta = {"machine": platform.machine(), "python": platform.python_version(),
                "cpu_hz": _util.cpu_hz(), "nominal_hz": _util.nominal_hz()}
        pathlib.Path(args.json).write_text(json.dumps({"meta": meta, "rows": rows}, indent=1))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
