"""Telemetry: emission cost per event in a native loop, and the Python drain rate."""

from __future__ import annotations

import pathlib
import subprocess
import tempfile


from _util import cpu_hz, rate, row

ROOT = pathlib.Path(__file__).resolve().parent.parent


def native_emit_costs() -> dict:
    with tempfile.TemporaryDirectory() as tmp:
        exe = pathlib.Path(tmp) / "tlm_emit"
        subprocess.run(["g++", "-std=c++20", "-O3", "-ffp-contract=off", f"-I{ROOT / 'native'}",
                        str(ROOT / "bench" / "tlm_emit.cpp"),
                        str(ROOT / "native" / "ox_tlm" / "ox_tlm_core.cpp"),
                        str(ROOT / "native" / "common" / "mirror_map.cpp"), "-o", str(exe)],
                       check=True)
        out = subprocess.run([str(exe)], capture_output=True, text=True, check=True).stdout
    return {k: float(v) for k, v in (line.split() for line in out.splitlines())}


def run(quick: bool) -> list[dict]:
    from ostrel.telemetry import Telemetry

    rows = []
    hz = cpu_hz()
    for name, ns in native_emit_costs().items():
        rows.append(row(f"ox_tlm emit, {name} event", ns, unit="ns/event",
                        cycles_per_event=ns * 1e-9 * hz))
    n = 1 << 14
    with Telemetry(n) as tlm:
        pid = tlm.register("drain")

        def fill_and_drain():
            for _ in range(256):
                tlm.emit(pid, 1.0)
            tlm.read()

        rows.append(row("Telemetry.emit + read from Python", rate(fill_and_drain, 256), unit="records/s"))
    return rows
