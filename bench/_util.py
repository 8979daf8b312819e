"""Timing helpers shared by the benchmarks: best-of-N wall-clock rates on one core."""

from __future__ import annotations

import contextlib
import ctypes
import functools
import os
import pathlib
import platform
import shutil
import subprocess
import tempfile
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


def nominal_hz() -> float:
    """Nominal clock of this machine (from /proc/cpuinfo)."""
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("cpu MHz"):
                    return float(line.split(":")[1]) * 1e6
    except OSError:
        pass
    return float("nan")


CLOCK_SRC = r"""
#include <stdint.h>
/* n rounds of four dependent 64-bit multiplies: 3 cycles each on current x86 cores. */
uint64_t chain(uint64_t n) {
    uint64_t x = 3;
    for (uint64_t i = 0; i < n; ++i)
        __asm__ volatile("imul %0, %0\n\timul %0, %0\n\timul %0, %0\n\timul %0, %0" : "+r"(x));
    return x;
}
"""


def cpu_time(call) -> float:
    """Thread CPU time of one call: time slices spent descheduled on a shared machine are not
    charged to the code under test."""
    t0 = time.thread_time()
    call()
    return time.thread_time() - t0


@functools.lru_cache(maxsize=None)
def cpu_hz() -> float:
    """The clock the core actually runs at (turbo included), measured with a chain of dependent
    integer multiplies of known latency compiled on the fly; the nominal clock when that is not
    possible. Cycle figures computed from the nominal clock understate a boosted core."""
    if platform.machine() not in ("x86_64", "AMD64") or not shutil.which("cc"):
        return nominal_hz()
    with tempfile.TemporaryDirectory() as tmp:
        src, so = os.path.join(tmp, "clk.c"), os.path.join(tmp, "clk.so")
        with open(src, "w") as f:
            f.write(CLOCK_SRC)
        if subprocess.run(["cc", "-O2", "-shared", "-fPIC", src, "-o", so],
                          capture_output=True).returncode:
            return nominal_hz()
        chain = ctypes.CDLL(so).chain
        chain.argtypes, chain.restype = [ctypes.c_uint64], ctypes.c_uint64
        n = 20_000_000
        return max(12 * n / cpu_time(lambda: chain(n)) for _ in range(5))


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


# ---------------------------------------------------------------------------------------------
# SDR-library peers from Debian: liquid-dsp from C, GNU Radio under Debian's own interpreter.
# ---------------------------------------------------------------------------------------------
GR_PYTHON = "/usr/bin/python3"
LIQUID_HEADER = "/usr/include/liquid/liquid.h"


@contextlib.contextmanager
def liquid_program(source: str | pathlib.Path, opt: str = "-O3"):
    """Compiles a C program (source text, or a path to a .c file) against liquid-dsp in a
    temporary directory and yields the executable's path; yields None when liquid-dsp or a C
    compiler is missing or the build fails (the peer is then skipped)."""
    cc = shutil.which("cc") or shutil.which("gcc")
    if not cc or not os.path.exists(LIQUID_HEADER):
        yield None
        return
    with tempfile.TemporaryDirectory() as tmp:
        src = pathlib.Path(source) if isinstance(source, pathlib.Path) else pathlib.Path(tmp) / "peer.c"
        if not isinstance(source, pathlib.Path):
            src.write_text(source)
        exe = pathlib.Path(tmp) / "peer"
        built = subprocess.run([cc, opt, str(src), "-o", str(exe), "-lliquid", "-lm"], capture_output=True)
        yield exe if built.returncode == 0 else None


def run_gnuradio(script: str | pathlib.Path, *args, timeout: float = 600) -> subprocess.CompletedProcess | None:
    """Runs a GNU Radio script (source text, or a path) with its arguments under Debian's
    python3, where GNU Radio is installed, pinned to this process's core; None when that
    interpreter is missing or the run fails to start."""
    if not os.path.exists(GR_PYTHON):
        return None
    cpu = str(sorted(os.sched_getaffinity(0))[0])
    with tempfile.TemporaryDirectory() as tmp:
        if not isinstance(script, pathlib.Path):
            path = pathlib.Path(tmp) / "gr_peer.py"
            path.write_text(script)
            script = path
        cmd = [GR_PYTHON, str(script), *map(str, args)]
        if shutil.which("taskset"):
            cmd = ["taskset", "-c", cpu, *cmd]
        try:
            return subprocess.run(cmd, capture_output=True, text=True, timeout=timeout, cwd=tmp)
        except (OSError, subprocess.TimeoutExpired):
            return None
