"""FFTs (1-D and 2-D), Welch PSD with calibrated measurements, windows and spectral helpers,
FFT correlators and correlation detectors."""

from __future__ import annotations

from types import TracebackType
from typing import Any, Sequence

import numpy as np
import numpy.typing as npt

_ArrayLike = npt.ArrayLike
_F32 = npt.NDArray[np.float32]

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
