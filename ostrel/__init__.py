"""ostrel: streaming signal processing for software-radio receivers and spectrum monitoring.

Extension modules:

* :mod:`ostrel.track`     carrier and timing tracking loops, M-PSK receivers
* :mod:`ostrel.analyzer`  streaming spectrum analyzer
* :mod:`ostrel.spectral`  FFTs, Welch PSD, windows, correlators and detectors
* :mod:`ostrel.telemetry` lock-free probe rings that the tracking loops publish into

Every streaming object takes NumPy blocks of any length, keeps its state between calls, and
can be reset, snapshotted with ``get_state()`` and restored bit-exactly with ``set_state()``.
"""

from typing import TYPE_CHECKING

if TYPE_CHECKING:  # imported on first use at run time; named here for type checkers
    from . import analyzer, spectral, telemetry, track

__version__ = "0.1.0"
__all__ = ["track", "analyzer", "spectral", "telemetry"]
