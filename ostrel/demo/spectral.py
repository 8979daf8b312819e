"""Spectral section of the tour: the Welch PSD of a multi-tone signal in noise.

Prints the averaged spectrum as a compact text plot with its measurements (noise floor, SNR,
SFDR, occupied bandwidth, the strongest peaks) and, when matplotlib is installed (extra
``[plot]``), saves the same plot as ``ostrel-demo/demo_psd.png``.
"""

from __future__ import annotations

import os

import numpy as np

from ostrel import spectral

from . import OUT_DIR

FS = 1.0e6  # Hz
N = 1024  # frame length
FRAMES = 64
TONES = [  # (frequency in Hz, amplitude relative to full scale)
    (100e3, 10 ** (-6 / 20)),
    (-230e3, 10 ** (-30 / 20)),
    (352e3, 10 ** (-52 / 20)),
]
NOISE_RMS = 10 ** (-45 / 20)  # complex noise, -45 dBFS total power


def make_signal(rng: np.random.Generator) -> np.ndarray:
    t = np.arange(N * FRAMES) / FS
    x = np.zeros(t.size, np.complex128)
    for f, a in TONES:
        x += a * np.exp(2j * np.pi * (f * t + rng.random()))
    x += NOISE_RMS / np.sqrt(2) * (rng.standard_normal(t.size) + 1j * rng.standard_normal(t.size))
    return x.astype(np.complex64)


def text_plot(db: np.ndarray, fs: float, width: int = 64, rows: int = 12, floor: float = -110.0,
              top: float = 0.0) -> str:
    """A column per group of bins (the group's maximum), '#' filled up to the level."""
    cols = np.array_split(db, width)
    level = np.array([c.max() for c in cols])
    step = (top - floor) / rows
    lines = []
    for r in range(rows):
        thresh = top - (r + 1) * step
        bar = "".join("#" if v >= thresh else " " for v in level)
        lines.append(f"{top - r * step:7.0f} |{bar}|")
    lines.append(" " * 8 + "+" + "-" * width + "+")
    left, mid, right = f"{-fs / 2e3:.0f} kHz", "0", f"{fs / 2e3:.0f} kHz"
    pad = width - len(left) - len(right) - len(mid)
    lines.append(" " * 9 + left + " " * (pad // 2) + mid + " " * (pad - pad // 2) + right)
    return "\n".join(lines)


def save_png(freqs: np.ndarray, db: np.ndarray, nf: float, path: str) -> bool:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return False
    fig, ax = plt.subplots(figsize=(8, 4))
    ax.plot(freqs / 1e3, db, lw=0.8)
    ax.axhline(nf, color="gray", ls="--", lw=0.8, label=f"noise floor {nf:.1f} dBFS")
    ax.set_xlabel("frequency, kHz")
    ax.set_ylabel("dBFS")
    ax.set_title("Welch PSD, Blackman-Harris window, 64 frames of 1024")
    ax.grid(alpha=0.3)
    ax.legend(loc="upper right")
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    plt.close(fig)
    return True


def run() -> None:
    print("== Spectral: Welch PSD of three tones in noise")
    rng = np.random.default_rng(2024)
    x = make_signal(rng)
    with spectral.PSD(n=N, fs=FS, window="blackman-harris", mode="mean") as psd:
        psd.accumulate(x)
        db = psd.psd_db()
        freqs = (np.arange(psd.nfft) - psd.nfft // 2) * FS / psd.nfft
        nf = psd.noise_floor()
        f0, a0 = TONES[0]
        snr = psd.snr(f0 - 5e3, f0 + 5e3)
        sfdr = psd.sfdr(nf + 10.0)
        obw = psd.occupied_bw(0.99)
        tone_power = psd.total_band_power([f0 - 5e3, f0 + 5e3])
        print(f"fs {FS / 1e6:g} MHz, n {psd.n}, nfft {psd.nfft}, {psd.count} frames, "
              f"RBW {psd.rbw:.0f} Hz (ENBW {psd.enbw:.3f} bins)")
        print(text_plot(db, FS, floor=10.0 * np.floor(nf / 10.0) - 10.0))
        print(f"noise floor (median)  {nf:8.2f} dBFS per bin")
        print(f"SNR at {f0 / 1e3:.0f} kHz        {snr:8.2f} dB")
        print(f"SFDR                  {sfdr:8.2f} dB")
        print(f"occupied bw (99 %)    {obw / 1e3:8.2f} kHz")
        print(f"tone power {f0 / 1e3:.0f} kHz    {tone_power:8.2f} dBFS "
              f"(set {20 * np.log10(a0):.2f})")
        peaks = spectral.find_peaks_f32(db, 3, nf + 10.0)
        print("peaks: " + ", ".join(f"{fr * FS / 1e3:+.1f} kHz {lv:.1f} dBFS" for fr, lv in peaks))
        os.makedirs(OUT_DIR, exist_ok=True)
        path = os.path.join(OUT_DIR, "demo_psd.png")
        if save_png(freqs, db, nf, path):
            print(f"plot saved to {path}")
        else:
            print("(install the [plot] extra, matplotlib, to also save the plot as a PNG)")


if __name__ == "__main__":
    run()
