"""Spectrum analyzer throughput: analyzer.Specan beside the same display made with SciPy, an
oscillator mix (NumPy; the oscillator table is precomputed once, in the peer's favour), then
scipy.signal.resample_poly to fs_out and scipy.signal.welch with the same Kaiser window, segment,
zero-padding and averages, cropped to the span and converted to dB.

Each call carries exactly one frame's worth of samples (n*navg decimated samples), so both sides
emit one display per call. The flat analyzer (the default) and the plain one (flat=False) run
side by side: below 8:1 they are the same chain; at 78:1 the flat one decimates in halfband
pairs where the plain one starts with a CIC."""

from __future__ import annotations

from fractions import Fraction

import numpy as np

import _util

CASES = [  # (fs, span, rbw, centre offset from the input's DC, navg)
    (10e6, 1e6, 1e3, 1.5e6, 16),
    (10e6, 1e6, 1e3, 1.5e6, 4),
    (10e6, 100e3, 100.0, 1.5e6, 4),  # 78:1, two halfband pairs in the flat front end
]


def stream(n: int, fs: float, offset: float, span: float) -> np.ndarray:
    rng = np.random.default_rng(0)
    x = 0.01 * rng.standard_normal(2 * n, dtype=np.float32).view(np.complex64)
    t = np.arange(n) / fs
    x += (0.5 * np.exp(2j * np.pi * (offset + 0.1234 * span) * t)).astype(np.complex64)
    x += (0.01 * np.exp(2j * np.pi * (offset - 0.301 * span) * t)).astype(np.complex64)
    return x


def run(quick: bool) -> list[dict]:
    from scipy import signal

    from ostrel.analyzer import Specan

    rows = []
    for fs, span, rbw, offset, navg in CASES:
        probe = Specan(fs=fs, span=span, rbw=rbw, center=offset, navg=navg)
        ratio = Fraction(probe.fs_out / fs).limit_denominator(10000)
        per_call = int(probe.n * navg / ratio)  # input samples per frame
        calls = 4 if quick else 16
        total = per_call * calls
        x = stream(total, fs, offset, span)
        blocks = [x[i * per_call:(i + 1) * per_call] for i in range(calls)]
        half, nfft = probe.display_size // 2, probe.nfft
        w = signal.windows.kaiser(probe.n, probe.beta, sym=True)
        # The oscillator repeats every call when offset * per_call / fs is a whole number.
        assert float(offset * per_call / fs).is_integer()
        lo = np.exp(-2j * np.pi * offset / fs * np.arange(per_call)).astype(np.complex64)
        analyzer = Specan(fs=fs, span=span, rbw=rbw, center=offset, navg=navg)
        plain = Specan(fs=fs, span=span, rbw=rbw, center=offset, navg=navg, flat=False)

        def ours():
            return [analyzer.execute(b) for b in blocks]

        def ours_plain():
            return [plain.execute(b) for b in blocks]

        def peer():
            out = []
            for b in blocks:
                y = signal.resample_poly(b * lo, ratio.numerator, ratio.denominator)
                _, p = signal.welch(y, fs=probe.fs_out, window=w, nperseg=probe.n, noverlap=0,
                                    nfft=nfft, detrend=False, return_onesided=False,
                                    scaling="spectrum")
                out.append(10 * np.log10(np.fft.fftshift(p)[nfft // 2 - half:nfft // 2 + half + 1]
                                         + 1e-20))
            return out

        # Same display: the strong tone at the same bin and level on both sides.
        a, b = ours()[-1], peer()[-1]
        assert a.shape == b.shape and np.argmax(a) == np.argmax(b)
        assert abs(float(a.max()) - float(b.max())) < 0.05
        repeat = 2 if quick else 3
        ours_rate = _util.rate(ours, total, repeat=repeat, min_time=0.0)
        plain_rate = _util.rate(ours_plain, total, repeat=repeat, min_time=0.0)
        peer_rate = _util.rate(peer, total, repeat=repeat, min_time=0.0)
        name = f"Specan fs {fs / 1e6:g}M span {span / 1e6:g}M rbw {rbw:g} navg {navg}"
        rows.append(_util.row(f"{name} (flat, {analyzer.predecimation}:1 in halfband pairs)",
                              ours_rate, peer="resample_poly+welch", peer_value=peer_rate,
                              plain_value=plain_rate, flat_over_plain=ours_rate / plain_rate))
        rows.append(_util.row(f"{name} (plain, flat=False)", plain_rate,
                              peer="resample_poly+welch", peer_value=peer_rate))
    return rows
