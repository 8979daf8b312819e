"""Spectrum-analyzer section of the tour: a Specan display of a multi-tone RF capture.

A 10 MHz-wide I/Q capture centred at 100 MHz carries four tones; the analyzer is set up like a
bench instrument (centre 101.1 MHz, span 1 MHz, RBW 2 kHz, 8 averages), fed in streaming blocks,
and its frame is printed as a small text plot with the tone levels it measures. A tone outside
the span shows what the down-converter rejects. Then the analyzer is retuned.
"""

from __future__ import annotations

import numpy as np

from ostrel import spectral
from ostrel.analyzer import Specan

FS = 10e6  # input sample rate, Hz
SRC_CENTER = 100e6  # RF frequency of the capture's DC, Hz
TONES = [  # (RF frequency Hz, level dBFS)
    (101.2e6, -10.0),
    (100.9e6, -25.0),
    (101.35e6, -40.0),
    (103.0e6, -3.0),  # outside the span
]
NOISE_DBFS = -60.0  # total complex noise power over the 10 MHz capture
BLOCK = 65536


def capture(n: int, rng: np.random.Generator) -> np.ndarray:
    t = np.arange(n) / FS
    x = np.zeros(n, np.complex128)
    for f, level in TONES:
        x += 10 ** (level / 20) * np.exp(2j * np.pi * ((f - SRC_CENTER) * t + rng.random()))
    sigma = 10 ** (NOISE_DBFS / 20) / np.sqrt(2)
    x += sigma * (rng.standard_normal(n) + 1j * rng.standard_normal(n))
    return x.astype(np.complex64)


def text_plot(db: np.ndarray, center: float, span: float, width: int = 64, rows: int = 10,
              top: float = 0.0, floor: float = -100.0) -> str:
    """One column per group of display bins (the group's maximum), '#' up to the level."""
    level = np.array([c.max() for c in np.array_split(db, width)])
    step = (top - floor) / rows
    lines = []
    for r in range(rows):
        thresh = top - (r + 1) * step
        lines.append(f"{top - r * step:6.0f} |" + "".join("#" if v >= thresh else " " for v in level) + "|")
    lines.append(" " * 7 + "+" + "-" * width + "+")
    left, mid, right = (f"{(center - span / 2) / 1e6:.2f}", f"{center / 1e6:.2f} MHz",
                        f"{(center + span / 2) / 1e6:.2f}")
    pad = width + 2 - len(left) - len(mid) - len(right)
    lines.append(" " * 7 + left + " " * (pad // 2) + mid + " " * (pad - pad // 2) + right)
    return "\n".join(lines)


def first_frame(sa: Specan, x: np.ndarray) -> tuple[np.ndarray, int]:
    """Feeds x block by block until the analyzer emits a frame; returns it and the samples used."""
    for i in range(0, len(x), BLOCK):
        frame = sa.execute(x[i:i + BLOCK])
        if frame is not None:
            return frame, min(i + BLOCK, len(x))
    raise RuntimeError("no frame")


def measured_tones(sa: Specan, db: np.ndarray, min_db: float) -> list[tuple[float, float]]:
    """(RF frequency Hz, level dBFS) of the display's peaks, interpolated between bins."""
    df = sa.fs_out / sa.nfft
    peaks = spectral.find_peaks_f32(db, 8, min_db)
    return sorted((sa.center + fr * len(db) * df, lv) for fr, lv in peaks)


# Peak gate, dBFS: above the noise and the window's sidelobes (about -55 dB below each tone).
MIN_DB = -60.0


def show(sa: Specan, db: np.ndarray) -> None:
    print(text_plot(db, sa.center, sa.span))
    print(f"  noise floor (median) {spectral.noise_floor_db(db):7.2f} dBFS per {sa.rbw:.0f} Hz")
    for f, level in measured_tones(sa, db, MIN_DB):
        want = [lv for ft, lv in TONES if abs(ft - f) < 2 * sa.rbw]
        note = f"(set {want[0]:.1f})" if want else ""
        print(f"  tone at {f / 1e6:10.5f} MHz  {level:7.2f} dBFS {note}")


def run() -> None:
    print("== Spectrum analyzer: a 1 MHz span of a 10 MHz RF capture")
    rng = np.random.default_rng(7)
    x = capture(2_000_000, rng)
    with Specan(fs=FS, span=1e6, rbw=2e3, src_center=SRC_CENTER, center=101.1e6, navg=8) as sa:
        print(f"input {FS / 1e6:g} MS/s at {SRC_CENTER / 1e6:g} MHz; display centre "
              f"{sa.center / 1e6:g} MHz, span {sa.span / 1e6:g} MHz")
        print(f"down-converted to fs_out {sa.fs_out / 1e3:g} kHz; Kaiser window of n={sa.n} "
              f"(beta {sa.beta:.3f}) realises RBW {sa.rbw:.1f} Hz; nfft {sa.nfft}, "
              f"{sa.display_size} display bins, {sa.navg} averages per frame")
        db, used = first_frame(sa, x)
        print(f"first frame after {used} input samples ({used / FS * 1e3:.1f} ms of signal):")
        show(sa, db)
        print("  (the -3 dBFS tone at 103 MHz lies outside the span and is rejected)")
        sa.retune(100.9e6)
        db, _ = first_frame(sa, x[used:])
        print(f"retuned to {sa.center / 1e6:g} MHz:")
        print("peaks: " + ", ".join(f"{f / 1e6:.4f} MHz {lv:.1f} dBFS"
                                    for f, lv in measured_tones(sa, db, MIN_DB)))


if __name__ == "__main__":
    run()
