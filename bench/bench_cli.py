"""The ostrel command's own overhead: ``ostrel spectrum`` and ``ostrel demod`` on a large cf32
recording (1 GB; 64 MB with --quick) against the same component driven by a bare NumPy loop
over the same memory map, both as fresh processes (interpreter start and imports on both
sides). Also the memory-map read rate (the disk, or the page cache once the file is warm) and
the command's peak resident memory on that file and on a 16 MB one: constant memory means the
two are alike.

The demod row writes the bits (``-o``) on both sides: the bare loop runs the command's front end
(the down-converter to 10 samples per symbol) and the demodulator's own ``bits()``; the command
recovers symbols, demaps them, and also keeps each burst's lock, carrier, symbol rate and MER. Overheads are given on wall time and on CPU time (steadier on a shared machine),
for the whole run and for the steady state (the fixed start-up costs removed).

The recording is a 1 s synthesised scene (``ostrel synth``) repeated to the size, written to a
temporary directory and deleted afterwards."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import tempfile
import time

import _util

BLOCK = 1 << 20

BARE_SPECTRUM = """
import sys, numpy as np
from ostrel import spectral
x = np.memmap(sys.argv[1], np.complex64, mode="r")
psd = spectral.PSD(n=1024, fs=1e6, window="blackman-harris", pad=2, mode="mean")
for i in range(0, len(x), {block}):
    psd.accumulate(x[i:i + {block}])
print(psd.noise_floor())
"""

BARE_DEMOD = """
import sys, numpy as np
from ostrel import track
from ostrel.cli.adapters import DownConverter
x = np.memmap(sys.argv[1], np.complex64, mode="r")
dc = DownConverter(0.1, 0.5, False)  # the command's front end: 100 kHz to DC, 10 samples per symbol
dm = track.PskDemodulator(m=4, sps=10.0)
with open(sys.argv[2], "wb") as f:
    for i in range(0, len(x), {block}):
        f.write(dm.bits(dc.execute(x[i:i + {block}])).tobytes())
"""

READ = """
import sys, numpy as np
x = np.memmap(sys.argv[1], np.complex64, mode="r")
s = 0.0
for i in range(0, len(x), {block}):
    s += float(x[i:i + {block}].real.sum())
print(s)
"""

RSS = """
import resource, subprocess, sys, time
t = time.perf_counter()
p = subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
dt = time.perf_counter() - t
u = resource.getrusage(resource.RUSAGE_CHILDREN)
print(dt, u.ru_utime + u.ru_stime, u.ru_maxrss, p.returncode, repr(p.stderr[-300:]))
"""


def child(argv: list[str]) -> tuple[float, float, float]:
    """Wall time, CPU time (user + system) and peak resident memory (MB) of one child process,
    measured by a fresh intermediate process so that each figure belongs to this child alone.
    CPU time is the steadier figure on a shared machine. Children run in the temporary
    directory, away from a source tree that would shadow the installed package."""
    out = subprocess.run([sys.executable, "-c", RSS, *argv], capture_output=True, text=True, check=True,
                         cwd=tempfile.gettempdir())
    dt, cpu, rss, rc, err = out.stdout.split(" ", 4)
    if int(rc):
        raise RuntimeError(f"{argv[:4]} failed: {err}")
    return float(dt), float(cpu), int(rss) / 1024


def make_recording(d: str, name: str, size_bytes: int) -> str:
    """A cf32 recording of ``size_bytes``: one synthesised second repeated (constant memory)."""
    seed = os.path.join(d, "seed.sigmf-meta")
    if not os.path.exists(seed):
        subprocess.run([sys.executable, "-m", "ostrel", "synth", seed, "--seconds", "1", "-q"],
                       check=True, stdout=subprocess.DEVNULL, cwd=d)
    block = open(seed.replace("-meta", "-data"), "rb").read()
    meta = json.loads(open(seed).read())
    meta["global"].pop("core:sha512", None)
    meta["annotations"] = []
    base = os.path.join(d, name)
    with open(base + ".sigmf-data", "wb") as f:
        left = size_bytes
        while left > 0:
            f.write(block[:left])
            left -= len(block)
    with open(base + ".sigmf-meta", "w") as f:
        json.dump(meta, f)
    return base + ".sigmf-meta"


def best(argv: list[str], repeat: int) -> tuple[float, float, float]:
    """Best wall and CPU times and the largest peak memory over ``repeat`` runs."""
    runs = [child(argv) for _ in range(repeat)]
    return min(r[0] for r in runs), min(r[1] for r in runs), max(r[2] for r in runs)


def overheads(cmd_big, cmd_small, bare_big, bare_small, k: int) -> tuple[float, float]:
    """(whole-run, steady-state) overhead in % of figure k (0 wall, 1 CPU): the steady state
    removes the fixed costs (start-up, imports, metadata) that the 16 MB runs carry too."""
    whole = 100 * (cmd_big[k] / bare_big[k] - 1)
    steady = 100 * ((cmd_big[k] - cmd_small[k]) / (bare_big[k] - bare_small[k]) - 1)
    return whole, steady


def run(quick: bool) -> list[dict]:
    size = (64 if quick else 1024) << 20
    repeat = 3  # best of three: the machine is shared
    rows = []
    with tempfile.TemporaryDirectory(prefix="ostrel-bench-") as d:
        big = make_recording(d, "big", size)
        small = make_recording(d, "small", 16 << 20)
        data = big.replace("-meta", "-data")
        n = size // 8
        py = sys.executable
        mb = size >> 20
        t_read = best([py, "-c", READ.format(block=BLOCK), data], repeat)[0]
        rows.append(_util.row(f"memory-map read ({mb} MB cf32)", n / t_read))
        bits = os.path.join(d, "out.bits")
        cases = [("spectrum", ["spectrum"], [], BARE_SPECTRUM, "bare PSD loop"),
                 ("demod", ["demod", "--mod", "qpsk", "--symbol-rate", "50k", "--carrier", "100k",
                            "--rrc", "0.35", "-o", bits, "--force"], [bits], BARE_DEMOD,
                  "bare DownConverter + PskDemodulator.bits loop")]
        for name, args, bare_extra, bare, peer in cases:
            cmd = [py, "-m", "ostrel", *args, "-q", "--json"]
            on = lambda rec: cmd[:4] + [rec] + cmd[4:]  # noqa: E731
            c_big, c_small = best(on(big), repeat), best(on(small), repeat)
            bare_argv = [py, "-c", bare.format(block=BLOCK)]
            b_big = best(bare_argv + [data] + bare_extra, repeat)
            b_small = best(bare_argv + [small.replace("-meta", "-data")] + bare_extra, repeat)
            wall, wall_steady = overheads(c_big, c_small, b_big, b_small, 0)
            cpu, cpu_steady = overheads(c_big, c_small, b_big, b_small, 1)
            rows.append(_util.row(f"ostrel {name} ({mb} MB cf32)", n / c_big[0], peer=peer,
                                  peer_value=n / b_big[0], overhead_pct=wall,
                                  steady_overhead_pct=wall_steady, cpu_overhead_pct=cpu,
                                  cpu_steady_overhead_pct=cpu_steady,
                                  start_extra_s=c_small[0] - b_small[0], max_rss_mb=c_big[2],
                                  max_rss_16mb_file=c_small[2], bare_rss_mb=b_big[2]))
    return rows


if __name__ == "__main__":
    t = time.time()
    for r in run("--quick" in sys.argv):
        print(r)
    print(f"{time.time() - t:.1f} s")
