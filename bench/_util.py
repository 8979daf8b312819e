"""Timing helpers shared by the benchmarks: best-of-N wall-clock rates on one core."""

from __future__ import annotations

import os
import time


def best_time(fn, repeat: int = 5, min_time: float = 0.05) -> float:
    """Best wall time of one call of ``fn`` over ``repeat`` rounds (each round loops until it
    has run at least ``min_time`` seconds and reports the per-call mean)."""
    best = float("inf")
    fn()  # warm-up: first-touch pages, lazy tables, plans
    for _ in range(repeat):
        calls, t0 = 0, time.perf_counter()
        while True:
            fn()
            calls += 1
            dt = time.perf_counter() - t0
            if dt >= min_time:
                break
        best = min(best, dt / calls)
    return best


def rate(fn, items: int, **kw) -> float:
    """Items (samples, records, transforms) per second of ``fn`` processing ``items`` per call."""
    return items / best_time(fn, **kw)


def cpu_hz() -> float:
    """Nominal clock of this machine (from /proc/cpuinfo), for cycles-per-sample estimates."""
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("cpu MHz"):
                    return float(line.split(":")[1]) * 1e6
    except OSError:
        pass
    return float("nan")


def row(name: str, value: float, unit: str = "samples/s", peer: str = "", peer_value: float | None = None,
        **extra) -> dict:
    """One result row: ``value`` of ours beside an optional peer's figure for the same work."""
    r = {"name": name, "value": value, "unit": unit}
    if unit == "samples/s":
        r["cycles_per_sample"] = cpu_hz() / value if value else float("nan")
    if peer:
        r["peer"] = peer
        r["peer_value"] = peer_value
        r["ratio"] = value / peer_value if peer_value else float("nan")
    r.update(extra)
    return r


def pin_one_core() -> None:
    """Run on one core so rates are per core."""
    try:
        os.sched_setaffinity(0, {sorted(os.sched_getaffinity(0))[0]})
    except (AttributeError, OSError):
        pass
