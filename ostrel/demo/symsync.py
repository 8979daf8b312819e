"""Demo: symbol-timing recovery on root-raised-cosine QPSK with a timing and a clock offset.

The transmitter shapes QPSK symbols with a root-raised-cosine pulse; the receiver's matched
filter (the same pulse) leaves a raised-cosine pulse, sampled here at 4 samples per symbol by a
clock that is 0.37 symbols late and runs 150 ppm fast. Sampling at fixed instants would drift
through the eye; a ``SymbolSync`` (Gardner detector, cubic interpolator) finds the eye centre
and follows the clock. Its telemetry probes ("sync.e", "sync.freq", "sync.rate", "sync.lock",
"sync.locked", one record each per symbol) are read back to show the timing error and the
tracked clock rate against time, and the constellation is drawn before and after.

``timing_signal`` builds such test signals (raised-cosine or, for rectangular pulses, triangle
matched-filter outputs with any timing offset, clock offset and noise); the tests and the
benchmark use it too.
"""

from __future__ import annotations

import ctypes

import numpy as np

from ostrel import track
from ostrel.telemetry import Telemetry

from .carrier_nda import spark

SPS = 4
TAU = 0.37  # timing offset of the receiver clock, symbols
PPM = 150.0  # receiver clock rate offset, parts per million (fast: more symbols per sample)
BETA = 0.35  # roll-off of the root-raised-cosine pulse
ESN0_DB = 20.0
N_SYM = 6000
ROWS = (0, 10, 20, 40, 80, 160, 320, 1000, 2000, 3000, 4000, 5000, 6000)  # table row edges, symbols


def raised_cosine(t: np.ndarray, beta: float) -> np.ndarray:
    """Raised-cosine pulse (a root-raised-cosine pulse through its matched filter), t in symbols,
    with its removable singularities at t = +-1/(2 beta) taken by their limit."""
    t = np.asarray(t, dtype=float)
    den = 1.0 - (2.0 * beta * t) ** 2
    edge = np.abs(den) < 1e-10
    with np.errstate(divide="ignore", invalid="ignore"):
        p = np.sinc(t) * np.cos(np.pi * beta * t) / den
    return np.where(edge, np.pi / 4 * np.sinc(1 / (2 * beta)) if beta > 0 else 1.0, p)


def triangle(t: np.ndarray) -> np.ndarray:
    """A rectangular pulse through its matched filter."""
    return np.maximum(0.0, 1.0 - np.abs(np.asarray(t, dtype=float)))


def rrc_taps(sps: int, span: int, beta: float) -> np.ndarray:
    """Unit-energy root-raised-cosine taps from the module's waveform generator."""
    lib = ctypes.CDLL(track.__file__)
    f = lib.wfm_rrc_taps
    f.restype, f.argtypes = None, [ctypes.c_int, ctypes.c_int, ctypes.c_void_p, ctypes.c_double]
    taps = np.zeros(2 * span * sps + 1, np.float32)
    f(sps, span, taps.ctypes.data, beta)
    return taps


def timing_signal(n_sym: int, sps: int, tau: float = TAU, ppm: float = PPM, beta: float = BETA,
                  pulse: str = "rrc", esn0_db: float | None = ESN0_DB, seed: int = 1,
                  span: int = 10) -> tuple[np.ndarray, np.ndarray]:
    """Matched-filter output of unit-energy QPSK symbols sampled by an offset receiver clock.

    Sample n is taken at ``span + tau + n (1 + ppm 1e-6) / sps`` symbols, so the receiver sees
    ``sps / (1 + ppm 1e-6)`` samples per symbol. ``pulse`` is "rrc" (root-raised-cosine
    transmit and receive filters: a raised-cosine pulse) or "rect" (rectangular: a triangle).
    Noise at ``esn0_db`` (None: none) is white noise through the same matched filter. Returns
    the complex64 samples and the transmitted symbols (symbol k peaks at time k)."""
    rng = np.random.default_rng(seed)
    sym = (rng.choice([-1.0, 1.0], n_sym) + 1j * rng.choice([-1.0, 1.0], n_sym)) / np.sqrt(2)
    n = int((n_sym - 2 * span - 2) * sps / (1 + ppm * 1e-6))
    t = span + tau + np.arange(n) * ((1 + ppm * 1e-6) / sps)
    k0 = np.floor(t).astype(np.int64)
    x = np.zeros(n, complex)
    for d in range(-span, span + 1):
        k = k0 + d
        x += sym[k] * (raised_cosine(t - k, beta) if pulse == "rrc" else triangle(t - k))
    if esn0_db is not None:
        mf = rrc_taps(sps, 6, beta) if pulse == "rrc" else np.full(sps, 1 / np.sqrt(sps))
        w = rng.standard_normal(n + mf.size) + 1j * rng.standard_normal(n + mf.size)
        noise = np.convolve(w, mf, mode="valid")[:n]
        x += np.sqrt(10 ** (-esn0_db / 10) / 2) * noise
    return x.astype(np.complex64), sym


def constellation(z: np.ndarray, width: int = 33, height: int = 13, lim: float = 1.2) -> list[str]:
    """A text density plot of complex points in [-lim, lim]^2, one character per cell."""
    shades = " .:+*#"
    h, _, _ = np.histogram2d(-z.imag, z.real, bins=(height, width), range=[[-lim, lim], [-lim, lim]])
    level = np.ceil(h / max(h.max(), 1) * (len(shades) - 1)).astype(int)
    return ["|" + "".join(shades[v] for v in row) + "|" for row in level]


def run() -> None:
    x, _ = timing_signal(N_SYM, SPS)
    sync = track.SymbolSync(sps=SPS, bn=0.01, order="cubic", ted="gardner")
    with Telemetry(1 << 16) as tlm:
        sync.set_telemetry(tlm, "sync")
        y = sync.steps(x)
        sync.set_telemetry(None, "sync")
        p = tlm.demux(tlm.read())
    e, rate = p["sync.e"].astype(float), p["sync.rate"].astype(float)
    lock, locked = p["sync.lock"], p["sync.locked"]
    clock_ppm = (SPS / rate - 1) * 1e6  # the receiver clock offset the tracked rate implies

    print(f"== Symbol synchroniser: RRC QPSK (roll-off {BETA}), {SPS} samples/symbol, timing "
          f"offset {TAU} symbols, clock {PPM:+g} ppm, Es/N0 {ESN0_DB:g} dB")
    print(f"  {len(x)} samples in, {len(y)} symbols out; Gardner detector, cubic interpolator, "
          f"bn 0.01 per symbol")
    print(f"  {'symbols':>11}  {'timing error':>12}  {'(rms)':>6}  {'rate (samp/sym)':>15}  "
          f"{'clock offset':>12}  {'lock stat':>9}  locked   (row means; lock at the row's end)")
    for a, b in zip(ROWS, ROWS[1:]):
        b = min(b, len(e))
        print(f"  {a:>5}-{b - 1:<5}  {np.mean(e[a:b]):>+12.3f}  {np.sqrt(np.mean(e[a:b] ** 2)):>6.3f}  "
              f"{np.mean(rate[a:b]):>15.5f}  {np.mean(clock_ppm[a:b]):>+8.0f} ppm  {lock[b - 1]:>9.3f}  "
              f"{'yes' if locked[b - 1] else 'no'}")
    print(f"  timing error (mean of 25 symbols), -0.5..0.5  "
          f"{spark(np.convolve(e, np.ones(25) / 25, mode='valid'), -0.5, 0.5, 48)}")
    smooth = np.convolve(clock_ppm, np.ones(250) / 250, mode="valid")
    print(f"  clock offset (mean of 250 symbols), 0..{2 * PPM:g} ppm {spark(smooth, 0.0, 2 * PPM, 48)}")
    first = int(np.argmax(locked > 0)) + 1 if locked.any() else None
    print(f"  tracked rate over the last half {np.mean(rate[len(rate) // 2:]):.5f} samples/symbol "
          f"(receiver clock: {SPS / (1 + PPM * 1e-6):.5f}); "
          + (f"lock declared after {first} symbols" if first else "no lock declared"))

    before = x[::SPS][-2000:]  # fixed-phase sampling at the nominal rate
    after = y[-2000:]
    print("  constellation, last 2000 symbols:")
    print(f"  {'fixed sampling every 4th sample':<35}   {'after SymbolSync':<35}")
    for left, right in zip(constellation(before), constellation(after)):
        print(f"  {left}   {right}")
    spread = np.std(np.abs(after.real)), np.std(np.abs(before.real))
    print(f"  spread of |I| about its mean: {spread[1]:.3f} before, {spread[0]:.3f} after")


if __name__ == "__main__":
    run()
