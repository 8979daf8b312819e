"""The ostrel command's own overhead: ``ostrel spectrum`` and ``ostrel demod`` on a large cf32
recording (1 GB; 64 MB with --quick) against the same component driven by a bare NumPy loop
over the same memory map, both as fresh processes (interpreter start and imports on both
sides). Also the memory-map read rate (the disk, or the page cache once the file is warm) and
the command's peak resident memory on that file and on a 16 MB one: constant memory means the
two are alike.

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
x = np.memmap(sys.argv[1], np.complex64, mode="r")
rx = track.MpskReceiver(m=4, sps=20.0, pulse="rrc", rrc_beta=0.35, init_norm_freq=0.1)
n = 0
for i in range(0, len(x), {block}):
    n += len(rx.steps(x[i:i + {block}]))
print(n)
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
print(dt, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss, p.returncode, repr(p.stderr[-300:]))
"""


def child(argv: list[str]) -> tuple[float, float]:
    """Wall time and peak resident memory (MB) of one child process, measured by a fresh
    intermediate process so that each figure belongs to this child alone. Children run in the
    temporary directory, away from a source tree that would shadow the installed package."""
    out = subprocess.run([sys.executable, "-c", RSS, *argv], capture_output=True, text=True, check=True,
                         cwd=tempfile.gettempdir())
    dt, rss, rc, err = out.stdout.split(" ", 3)
    if int(rc):
        raise RuntimeError(f"{argv[:4]} failed: {err}")
    return float(dt), int(rss) / 1024


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


def best(argv: list[str], repeat: int) -> tuple[float, float]:
    runs = [child(argv) for _ in range(repeat)]
    return min(r[0] for r in runs), max(r[1] for r in runs)


def run(quick: bool) -> list[dict]:
    from ostrel import track

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
        t_read, _ = best([py, "-c", READ.format(block=BLOCK), data], repeat)
        rows.append(_util.row(f"memory-map read ({mb} MB cf32)", n / t_read))
        cases = [("spectrum", ["spectrum"], BARE_SPECTRUM, "bare PSD loop")]
        if hasattr(track, "MpskReceiver"):
            cases.append(("demod", ["demod", "--mod", "qpsk", "--symbol-rate", "50k", "--carrier", "100k",
                                    "--rrc", "0.35"], BARE_DEMOD, "bare MpskReceiver loop"))
        for name, args, bare, peer in cases:
            cmd = [py, "-m", "ostrel", *args, "-q", "--json"]
            t_cmd, rss_big = best(cmd[:4] + [big] + cmd[4:], repeat)
            t_cmd16, rss_small = best(cmd[:4] + [small] + cmd[4:], repeat)
            bare_argv = [py, "-c", bare.format(block=BLOCK)]
            t_bare, rss_bare = best(bare_argv + [data], repeat)
            t_bare16, _ = best(bare_argv + [small.replace("-meta", "-data")], repeat)
            # steady state: the 16 MB runs carry the same fixed costs (start-up, imports, set-up)
            steady = (t_cmd - t_cmd16) / (t_bare - t_bare16) - 1
            rows.append(_util.row(f"ostrel {name} ({mb} MB cf32)", n / t_cmd, peer=peer, peer_value=n / t_bare,
                                  overhead_pct=100 * (t_cmd / t_bare - 1), steady_overhead_pct=100 * steady,
                                  start_extra_s=t_cmd16 - t_bare16, max_rss_mb=rss_big,
                                  max_rss_16mb_file=rss_small, bare_rss_mb=rss_bare))
        if not hasattr(track, "MpskReceiver"):
            print("  (this build has no track.MpskReceiver: ostrel demod not measured)")
    return rows


if __name__ == "__main__":
    t = time.time()
    for r in run("--quick" in sys.argv):
        print(r)
    print(f"{time.time() - t:.1f} s")
