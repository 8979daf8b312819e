"""``ostrel monitor`` against ``ostrel spectrum`` zoomed to the same band and RBW (the same
flat analyzer chain) on one cf32 recording (256 MB; 64 MB with --quick), as fresh processes:
samples per CPU second of each and the monitor's peak resident memory, without and with
--log, --events and --snip (the sample ring for snips is the memory that grows with
--snip-max, not with the run). The difference is the price of the noise floor, the event
tracking and the log rows."""

from __future__ import annotations

import os
import sys
import tempfile

import _util
from bench_cli import best, make_recording


def run(quick: bool) -> list[dict]:
    size = (64 if quick else 256) << 20
    n = size // 8
    py = sys.executable
    rows = []
    with tempfile.TemporaryDirectory(prefix="ostrel-bench-") as d:
        rec = make_recording(d, "mon", size)
        band = ["--rbw", "1776"]  # the monitor's default band (span fs/1.28) at its default RBW
        spectrum_run = best([py, "-m", "ostrel", "spectrum", rec, "--center", "0", "--span", "781.25k",
                     *band, "-q", "--json"], 3)
        files = ["--log", os.path.join(d, "l.csv"), "--events", os.path.join(d, "e.jsonl"),
                 "--snip", os.path.join(d, "snips"), "--force"]
        for label, extra in (("no files", []), ("log, events, snips", files)):
            mon = best([py, "-m", "ostrel", "monitor", rec, *band, *extra, "-q", "--json"], 3)
            rows.append(_util.row(f"ostrel monitor, {label} ({size >> 20} MB cf32, CPU)",
                                  n / mon[1], peer="ostrel spectrum --center --span (CPU)",
                                  peer_value=n / spectrum_run[1], peak_rss_mb=mon[2],
                                  spectrum_peak_rss_mb=spectrum_run[2]))
    return rows
