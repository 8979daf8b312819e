"""Correlators and detectors: spectral.Corr (dwell 1 and 16), CorrDetector streaming in
1000-sample chunks, Corr2D 64 x 1024 in row mode and 2-D mode, each beside SciPy computing the
same circular correlation (scipy.signal.correlate, method="fft", on the wrapped frame; SciPy has
no frequency-domain integration, so a dwell of 16 costs it 16 correlations). Samples per second
of frame data on one core."""

from __future__ import annotations

import numpy as np

import _util

C64 = np.complex64


def cnoise(shape, seed):
    rng = np.random.default_rng(seed)
    return (rng.standard_normal(shape) + 1j * rng.standard_normal(shape)).astype(C64)


def scipy_circular(x, ref):
    """sum_j x[(j + m) % n] * conj(ref[j]) for every lag m, 1-D or 2-D, through SciPy's FFT
    correlation of the frame wrapped by n - 1 samples along each axis."""
    from scipy import signal

    wrapped = np.pad(x, [(0, s - 1) for s in x.shape], mode="wrap")
    return signal.correlate(wrapped, ref, mode="valid", method="fft")


def corr_rows(quick: bool) -> list[dict]:
    from ostrel import spectral

    rows = []
    frames_per_call = 16
    for n in (1024, 4096, 65536):
        ref = cnoise(n, 1)
        frames = cnoise((frames_per_call, n), 2)
        for dwell in (1, 16):
            corr = spectral.Corr(ref, dwell=dwell)
            out = np.empty(n, C64)

            def ours():
                for f in frames:
                    corr.execute(f, out=out)

            def peer():
                for k in range(0, frames_per_call, dwell):
                    acc = scipy_circular(frames[k], ref)
                    for f in frames[k + 1:k + dwell]:
                        acc += scipy_circular(f, ref)

            # Same result: the last dump against SciPy's sum over the same frames.
            corr.reset()
            ours()
            want = sum(scipy_circular(f, ref) for f in frames[-dwell:])
            assert np.allclose(out, want, atol=1e-4 * np.abs(want).max())
            repeat = 2 if quick else 5
            items = frames_per_call * n
            ours_rate = _util.rate(ours, items, repeat=repeat)
            peer_rate = _util.rate(peer, items, repeat=repeat, min_time=0.0 if quick else 0.05)
            rows.append(_util.row(f"Corr n={n} dwell={dwell}", ours_rate,
                                  peer="scipy.signal.correlate(fft)", peer_value=peer_rate))
    return rows


def detector_rows(quick: bool) -> list[dict]:
    """The streaming path (1000-sample pushes through the ring) beside Corr alone on the same
    frames; the detector adds the ring copy of the input and the per-dump evaluation."""
    from ostrel import spectral

    rows = []
    for n, dwell in ((1024, 1), (4096, 1), (1024, 16)):
        frames = 64 if n == 1024 else 16
        ref = cnoise(n, 3)
        x = cnoise(n * frames, 4)
        chunks = [x[i:i + 1000] for i in range(0, x.size, 1000)]
        det = spectral.CorrDetector(ref, dwell=dwell, noise_mode="mean", threshold=8.0)
        corr = spectral.Corr(ref, dwell=dwell)
        out = np.empty(n, C64)
        frame_views = x.reshape(frames, n)

        def ours():
            for c in chunks:
                det.push(c)

        def alone():
            for f in frame_views:
                corr.execute(f, out=out)

        repeat = 2 if quick else 5
        det_rate = _util.rate(ours, x.size, repeat=repeat)
        corr_rate = _util.rate(alone, x.size, repeat=repeat)
        rows.append(_util.row(f"CorrDetector n={n} dwell={dwell} push(1000)", det_rate,
                              peer="spectral.Corr same frames", peer_value=corr_rate))
    return rows


def corr2d_rows(quick: bool) -> list[dict]:
    from ostrel import spectral

    ny, nx = 64, 1024
    frames = cnoise((4, ny, nx), 5)
    row_ref = np.zeros((ny, nx), C64)
    row_ref[0] = cnoise(nx, 6)
    full_ref = row_ref.copy()
    full_ref[ny // 2, 7] = 1.0  # one sample below row 0: the 2-D path
    rows, rates = [], {}
    for label, ref in (("row mode", row_ref), ("2-D mode", full_ref)):
        corr = spectral.Corr2D(ref)
        assert corr.row_mode == (label == "row mode")
        out = np.empty(ny * nx, C64)

        def ours():
            for f in frames:
                corr.execute(f, out=out)

        def peer():
            for f in frames:
                scipy_circular(f, ref)

        want = scipy_circular(frames[-1], ref)
        ours()
        assert np.allclose(out.reshape(ny, nx), want, atol=1e-4 * np.abs(want).max())
        repeat = 2 if quick else 4
        rates[label] = _util.rate(ours, frames.size, repeat=repeat)
        peer_rate = _util.rate(peer, frames.size, repeat=repeat, min_time=0.0)
        rows.append(_util.row(f"Corr2D {ny}x{nx} {label}", rates[label],
                              peer="scipy.signal.correlate(fft) 2-D", peer_value=peer_rate))
    rows[0]["row_vs_2d"] = rates["row mode"] / rates["2-D mode"]
    return rows


def run(quick: bool) -> list[dict]:
    return corr_rows(quick) + detector_rows(quick) + corr2d_rows(quick)
