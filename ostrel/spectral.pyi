"""FFTs (1-D and 2-D), Welch PSD with calibrated measurements, windows and spectral helpers,
FFT correlators and correlation detectors.

A constructor argument outside its range raises ValueError naming the argument and the values
it accepts ("dwell must be >= 1, got 0"); MemoryError means memory ran out (or a size
was too large to allocate).
"""

from __future__ import annotations

from typing import Any, final

import numpy as np
import numpy.typing as npt

_ArrayLike = npt.ArrayLike
_F32 = npt.NDArray[np.float32]
_C64 = npt.NDArray[np.complex64]
_C128 = npt.NDArray[np.complex128]

# --- FFT, FFT2D --------------------------------------------------------------------------------

@final
class FFT:
    """Fixed-length, unnormalised complex DFT (sign < 0 forward, else backward)."""

    def __init__(self, n: int = 1024, sign: int = -1, nthreads: int = 1) -> None: ...
    @property
    def n(self) -> int:
        """Transform length (samples)."""
    @property
    def sign(self) -> int:
        """-1 forward, +1 inverse."""
    def reset(self) -> None:
        """No-op reset (plans are immutable after creation)."""
    def execute_cf64(self, x: _ArrayLike, out: _C128 | None = None) -> _C128: ...
    def execute_cf64_max_out(self) -> int: ...
    def execute_cf32(self, x: _ArrayLike, out: _C64 | None = None) -> _C64: ...
    def execute_cf32_max_out(self) -> int: ...
    def execute_ci16(self, iq: _ArrayLike, /) -> _C64: ...
    def execute_ci8(self, iq: _ArrayLike, /) -> _C64: ...
    def execute_inplace_cf64(self, x: _ArrayLike, out: _C128 | None = None) -> _C128: ...
    def execute_inplace_cf64_max_out(self) -> int: ...
    def execute_inplace_cf32(self, x: _ArrayLike, out: _C64 | None = None) -> _C64: ...
    def execute_inplace_cf32_max_out(self) -> int: ...
    def destroy(self) -> None: ...
    def __enter__(self) -> FFT: ...
    def __exit__(self, *args: Any) -> None: ...

@final
class FFT2D:
    """Fixed-size, unnormalised 2-D complex DFT over ny rows of nx samples, flat row-major."""

    def __init__(self, ny: int = 64, nx: int = 64, sign: int = -1, nthreads: int = 1) -> None: ...
    @property
    def ny(self) -> int:
        """Row count."""
    @property
    def nx(self) -> int:
        """Column count."""
    @property
    def sign(self) -> int:
        """-1 forward, +1 inverse."""
    def reset(self) -> None:
        """No-op reset (plans are immutable after creation)."""
    def execute_cf64(self, x: _ArrayLike, out: _C128 | None = None) -> _C128: ...
    def execute_cf64_max_out(self) -> int: ...
    def execute_cf32(self, x: _ArrayLike, out: _C64 | None = None) -> _C64: ...
    def execute_cf32_max_out(self) -> int: ...
    def execute_inplace_cf64(self, x: _ArrayLike, out: _C128 | None = None) -> _C128: ...
    def execute_inplace_cf64_max_out(self) -> int: ...
    def execute_inplace_cf32(self, x: _ArrayLike, out: _C64 | None = None) -> _C64: ...
    def execute_inplace_cf32_max_out(self) -> int: ...
    def destroy(self) -> None: ...
    def __enter__(self) -> FFT2D: ...
    def __exit__(self, *args: Any) -> None: ...

# --- correlators -------------------------------------------------------------------------------

@final
class Corr:
    """Circular cross-correlation of complex64 frames against a reference by fast convolution,
    with coherent integrate-and-dump over dwell frames (one inverse FFT per dump).

    out[m] = sum over the dwell frames of sum_j x[(j + m) % n] * conj(ref[j]); n_out > n
    interpolates the lags (m * n / n_out) by zero-padding the cross-spectrum."""

    def __init__(self, ref: _ArrayLike, dwell: int = 1, nthreads: int = 1,
                 n_out: int = 0) -> None: ...
    def reset(self) -> None:
        """Discard the partial integration (count back to 0)."""
    def execute(self, x: _ArrayLike, out: _C64 | None = None) -> _C64 | None:
        """Correlate one frame of n samples (shorter frames are zero-padded); None until the
        dwell-th frame, then the n_out integrated correlation values."""
    def execute_max_out(self) -> int:
        """Output length of a dump: n_out."""
    def state_bytes(self) -> int: ...
    def get_state(self) -> bytes: ...
    def set_state(self, blob: bytes, /) -> None: ...
    def destroy(self) -> None: ...
    def __enter__(self) -> Corr: ...
    def __exit__(self, *args: Any) -> None: ...
    @property
    def n(self) -> int:
        """FFT / reference length (samples)."""
    @property
    def n_out(self) -> int:
        """Output length (== n unless decoupled)."""
    @property
    def dwell(self) -> int:
        """Integration depth; dump every dwell calls."""
    @property
    def count(self) -> int:
        """Frames accumulated so far (0 … dwell-1)."""

@final
class Corr2D:
    """2-D circular cross-correlation of ny x nx complex64 frames (flat row-major) against a 2-D
    reference, with coherent integrate-and-dump. A reference non-zero only in row 0 runs in the
    cheaper row mode (1-D transforms per row, same result). ny_out / nx_out interpolate."""

    def __init__(self, ref: _ArrayLike, dwell: int = 1, nthreads: int = 1, ny_out: int = 0,
                 nx_out: int = 0) -> None: ...
    def reset(self) -> None:
        """Discard the partial integration (count back to 0)."""
    def execute(self, x: _ArrayLike, out: _C64 | None = None) -> _C64 | None:
        """Correlate one ny x nx frame (any shape, taken flat); None until the dwell-th frame,
        then ny_out * nx_out values, flat row-major (lag (dy, dx) at dy * nx_out + dx)."""
    def execute_max_out(self) -> int:
        """Output length of a dump: ny_out * nx_out."""
    def state_bytes(self) -> int: ...
    def get_state(self) -> bytes: ...
    def set_state(self, blob: bytes, /) -> None: ...
    def destroy(self) -> None: ...
    def __enter__(self) -> Corr2D: ...
    def __exit__(self, *args: Any) -> None: ...
    @property
    def ny(self) -> int:
        """Row count."""
    @property
    def nx(self) -> int:
        """Column count."""
    @property
    def ny_out(self) -> int:
        """Output rows (== ny unless decoupled)."""
    @property
    def nx_out(self) -> int:
        """Output columns (== nx unless decoupled)."""
    @property
    def n_out(self) -> int:
        """Output length ny_out * nx_out."""
    @property
    def dwell(self) -> int:
        """Integration depth; dump every dwell calls."""
    @property
    def count(self) -> int:
        """Frames accumulated so far (0 … dwell-1)."""
    @property
    def row_mode(self) -> bool:
        """True when the row-only reference selected the 1-D-per-row path."""

# --- correlation detectors ---------------------------------------------------------------------

@final
class CorrDetector:
    """Streaming correlation detector: push chunks of any length; every dump of the integrated
    correlation of consecutive n-sample frames against ref yields (lag, peak_mag, noise_est,
    test_stat) when test_stat = peak / noise passes threshold (0 reports every dump). Noise is
    the 'mean', 'median', 'min' or 'max' magnitude over bins noise_lo .. noise_hi."""

    def __init__(self, ref: _ArrayLike, dwell: int = 1, noise_lo: int = 0, noise_hi: int = -1,
                 noise_mode: str = "mean", threshold: float = 0.0, nthreads: int = 1) -> None: ...
    def reset(self) -> None:
        """Discard queued and pending samples and the partial integration."""
    def push(self, x: _ArrayLike, /) -> list[tuple[int, float, float, float]]:
        """Queue x and process every complete frame; at most 64 detections per call, the rest
        of the input is processed first by the next push (nothing is lost). At most 2**24
        samples are carried that way: a push that would pass that while input is pending
        raises RuntimeError and takes nothing (push empty blocks to drain)."""
    def state_bytes(self) -> int: ...
    def get_state(self) -> bytes:
        """Snapshot; RuntimeError while input of an earlier push is pending."""
    def set_state(self, blob: bytes, /) -> None: ...
    def destroy(self) -> None: ...
    def __enter__(self) -> CorrDetector: ...
    def __exit__(self, *args: Any) -> None: ...
    @property
    def n(self) -> int:
        """Frame / FFT length in complex samples."""
    @property
    def dwell(self) -> int:
        """Frames integrated per dump."""
    @property
    def count(self) -> int:
        """Frames accumulated by the correlator so far (0 … dwell-1)."""
    @property
    def ring_cap(self) -> int:
        """Ring buffer capacity in complex samples."""
    @property
    def noise_lo(self) -> int:
        """First noise bin (inclusive, clamped into the frame)."""
    @property
    def noise_hi(self) -> int:
        """Last noise bin (inclusive, clamped into the frame)."""
    @property
    def threshold(self) -> float:
        """0 = always fire; >0 = gate on test_stat."""
    @property
    def last_corr(self) -> _C64 | None:
        """Read-only view of the last dump's correlation (n values), None before the first
        dump; overwritten in place by the next dump."""
    @property
    def pending(self) -> int:
        """Samples of earlier pushes not yet taken in (after a push returned 64 detections);
        bounded by 2**24 while pushes go on (see push)."""

@final
class CorrDetector2D:
    """CorrDetector over ny x nx frames (ref a 2-D (ny, nx) array), correlated with Corr2D;
    detections are (row, col, peak_mag, noise_est, test_stat), noise bins flat row-major."""

    def __init__(self, ref: _ArrayLike, dwell: int = 1, noise_lo: int = 0, noise_hi: int = -1,
                 noise_mode: str = "mean", threshold: float = 0.0, nthreads: int = 1) -> None: ...
    def reset(self) -> None:
        """Discard queued and pending samples and the partial integration."""
    def push(self, x: _ArrayLike, /) -> list[tuple[int, int, float, float, float]]:
        """Queue x (any shape, taken flat) and process every complete frame; at most 64
        detections per call, the rest of the input is processed first by the next push."""
    def destroy(self) -> None: ...
    def __enter__(self) -> CorrDetector2D: ...
    def __exit__(self, *args: Any) -> None: ...
    def state_bytes(self) -> int: ...
    def get_state(self) -> bytes:
        """Snapshot; RuntimeError while input of an earlier push is pending."""
    def set_state(self, blob: bytes, /) -> None: ...
    @property
    def ny(self) -> int:
        """Row count of the frame."""
    @property
    def nx(self) -> int:
        """Column count of the frame."""
    @property
    def n(self) -> int:
        """Frame length ny * nx in complex samples."""
    @property
    def dwell(self) -> int:
        """Frames integrated per dump."""
    @property
    def count(self) -> int:
        """Frames accumulated by the correlator so far (0 … dwell-1)."""
    @property
    def ring_cap(self) -> int:
        """Ring buffer capacity in complex samples."""
    @property
    def noise_lo(self) -> int:
        """First noise bin (inclusive, clamped into the frame)."""
    @property
    def noise_hi(self) -> int:
        """Last noise bin (inclusive, clamped into the frame)."""
    @property
    def threshold(self) -> float:
        """0 = always fire; >0 = gate on test_stat."""
    @property
    def last_corr(self) -> _C64 | None:
        """Read-only flat view of the last dump's correlation (ny * nx values), or None."""
    @property
    def pending(self) -> int:
        """Samples of earlier pushes not yet taken in (after a push returned 64 detections)."""

# --- windows and spectral helpers --------------------------------------------------------------

def kaiser_enbw(w: _ArrayLike) -> float:
    """Equivalent noise bandwidth of window w, bins: len(w)*sum(w**2)/sum(w)**2."""
def kaiser_window(w: _F32, beta: float) -> None:
    """Fill the float32 array w in place with the symmetric Kaiser window."""
def kaiser_beta_for_sidelobe(atten_db: float) -> float:
    """Kaiser beta for a window sidelobe attenuation in dB."""
def hann_window(w: _F32) -> None:
    """Fill the float32 array w in place with the symmetric Hann window."""
def blackman_harris_window(w: _F32) -> None:
    """Fill the float32 array w in place with the 4-term Blackman-Harris window."""
def magnitude_db_cf32(x: _ArrayLike, lin_floor: float, offset_db: float) -> _F32:
    """20*log10(max(|x|, lin_floor)) + offset_db of a complex64 array."""
def magnitude_db_cf64(x: _ArrayLike, lin_floor: float, offset_db: float) -> _F32:
    """20*log10(max(|x|, lin_floor)) + offset_db of a complex128 array."""
def find_peaks_f32(db: _ArrayLike, n_peaks: int, min_db: float) -> list[tuple[float, float]]:
    """Up to n_peaks (freq_norm, level_db) peaks of a DC-centred dB trace, strongest first."""
def obw_from_power(pwr: _ArrayLike, fs: float, frac: float) -> float:
    """Occupied bandwidth in Hz of linear power bins spanning fs."""
def noise_floor_db(db: _ArrayLike) -> float:
    """Median of a dB trace (0.0 when empty)."""

# --- PSD ---------------------------------------------------------------------------------------

@final
class PSD:
    """Welch power-spectral-density estimator with calibrated measurements."""

    def __init__(self, n: int = 1024, fs: float = 1.0, window: str = "hann", beta: float = 0.0,
                 pad: int = 1, full_scale: float = 1.0, bits: int = 0, mode: str = "mean",
                 alpha: float = 0.1) -> None: ...
    def accumulate(self, x: _ArrayLike) -> None: ...
    def accumulate_real(self, x: _ArrayLike) -> None: ...
    def reset(self) -> None: ...
    def psd_db(self, count: int = 1, out: _F32 | None = None) -> _F32 | None: ...
    def psd_dbhz(self, count: int = 1, out: _F32 | None = None) -> _F32 | None: ...
    def power_twosided(self, count: int = 1, out: _F32 | None = None) -> _F32 | None: ...
    def power_onesided(self, count: int = 1, out: _F32 | None = None) -> _F32 | None: ...
    def psd_db_max_out(self) -> int: ...
    def psd_dbhz_max_out(self) -> int: ...
    def power_twosided_max_out(self) -> int: ...
    def power_onesided_max_out(self) -> int: ...
    def band_power(self, bands: _ArrayLike, out: _F32 | None = None) -> _F32: ...
    def band_power_max_out(self) -> int: ...
    def total_band_power(self, bands: _ArrayLike) -> float: ...
    def occupied_bw(self, fraction: float) -> float: ...
    def noise_floor(self) -> float: ...
    def snr(self, lo_hz: float, hi_hz: float) -> float: ...
    def sfdr(self, min_db: float) -> float: ...
    def state_bytes(self) -> int: ...
    def get_state(self) -> bytes: ...
    def set_state(self, blob: bytes, /) -> None: ...
    def destroy(self) -> None: ...
    def __enter__(self) -> PSD: ...
    def __exit__(self, *args: Any) -> None: ...
    @property
    def n(self) -> int:
        """Window / frame length (samples)."""
    @property
    def nfft(self) -> int:
        """Zero-padded transform length."""
    @property
    def fs(self) -> float:
        """Sample rate, Hz."""
    @property
    def full_scale(self) -> float:
        """Amplitude that reads 0 dBFS."""
    @property
    def bits(self) -> int:
        """ADC depth that set full_scale, else 0."""
    @property
    def enbw(self) -> float:
        """Equivalent noise bandwidth, bins."""
    @property
    def rbw(self) -> float:
        """Resolution bandwidth enbw * fs / n, Hz."""
    @property
    def count(self) -> int:
        """Frames folded in so far."""
    @property
    def mode(self) -> int:
        """Reduction mode (0 mean, 1 exp, 2 maxhold, 3 minhold)."""
