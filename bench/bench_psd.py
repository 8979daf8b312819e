"""Welch PSD throughput: spectral.PSD.accumulate beside scipy.signal.welch on the same stream
(non-overlapping Hann frames, no detrend, two-sided, same segment and FFT length)."""

from __future__ import annotations

import numpy as np

import _util


def stream(n_samples: int) -> np.ndarray:
    rng = np.random.default_rng(0)
    x = rng.standard_normal(2 * n_samples, dtype=np.float32).view(np.complex64)
    x += np.exp(2j * np.pi * 0.123 * np.arange(n_samples)).astype(np.complex64)
    return x


def run(quick: bool) -> list[dict]:
    from scipy import signal

    from ostrel import spectral

    total = 2_000_000 if quick else 10_000_000
    x = stream(total)
    rows = []
    for n in (1024, 4096):
        psd = spectral.PSD(n=n, fs=1.0, window="hann")
        w = np.zeros(n, np.float32)
        spectral.hann_window(w)
        wd = w.astype(np.float64)

        def ours():
            psd.reset()
            psd.accumulate(x)
            return psd.psd_db()

        def peer():
            return signal.welch(x, window=wd, nperseg=n, noverlap=0, nfft=n, detrend=False,
                                return_onesided=False, scaling="spectrum")

        # Same estimate: the two agree to single-precision rounding.
        ref = np.fft.fftshift(peer()[1])
        assert np.allclose(ours(), 10 * np.log10(ref), atol=1e-2)
        repeat = 2 if quick else 3
        ours_rate = _util.rate(ours, total, repeat=repeat, min_time=0.0)
        peer_rate = _util.rate(peer, total, repeat=repeat, min_time=0.0)
        rows.append(_util.row(f"PSD.accumulate n={n} ({total // 1_000_000}M cf32)", ours_rate,
                              peer="scipy.signal.welch", peer_value=peer_rate))
    return rows
