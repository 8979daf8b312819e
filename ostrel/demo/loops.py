"""Loop primitives: a loop filter's step response, and telemetry drained from a second thread."""

import threading

import numpy as np

from ostrel.telemetry import Telemetry
from ostrel.track import LoopFilter


def phase_step_response(bn=0.02, zeta=0.707, n=200):
    """A phase-locked loop built from a LoopFilter tracking a unit phase step: returns the
    phase error per update (the loop's closed-loop step response)."""
    lf = LoopFilter(bn=bn, zeta=zeta)
    nco_phase, errors = 0.0, np.empty(n)
    for k in range(n):
        errors[k] = 1.0 - nco_phase
        nco_phase += lf.step(errors[k])
    return lf, errors


def run():
    print("== Loop filter: second-order PI loop closing on a unit phase step")
    lf, e = phase_step_response()
    print(f"   bn=0.02 zeta=0.707 -> kp={lf.kp:.6f} ki={lf.ki:.6f}")
    print("   update   phase error")
    for k in (0, 5, 10, 20, 40, 80, 160):
        bar = "#" * int(round(abs(e[k]) * 40))
        print(f"   {k:6d}   {e[k]:+.4f}  {bar}")

    print("\n== Telemetry: a producer thread publishes, the main thread drains")
    with Telemetry(8192) as tlm:
        err_id = tlm.register("pll.e")
        integ_id = tlm.register("pll.integ", decim=10)
        done = threading.Event()

        def producer():
            lf = LoopFilter(bn=0.05)
            phase = 0.0
            for k in range(2000):
                tlm.tag = k  # stamp records with the update index
                err = 0.3 - phase
                phase += lf.step(err)
                tlm.emit(err_id, err)
                tlm.emit(integ_id, lf.integ)
            done.set()

        worker = threading.Thread(target=producer)
        worker.start()
        chunks = []
        while not (done.is_set() and tlm.avail == 0):
            chunks.append(tlm.read())
        worker.join()
        recs = np.concatenate(chunks)
        per_probe = tlm.demux(recs)
        print(f"   records read {len(recs)}, dropped {tlm.dropped}, stats {tlm.stats()}")
        print("   probe        records   first      last")
        for name, values in per_probe.items():
            print(f"   {name:<12} {len(values):7d}   {values[0]:+.5f}  {values[-1]:+.5f}")
