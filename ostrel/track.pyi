"""Type stubs for the ``ostrel.track`` extension module."""

from typing import Any

import numpy as np
import numpy.typing as npt

_C64 = npt.NDArray[np.complex64]
_F64 = npt.NDArray[np.float64]

class LoopFilter:
    """Second-order proportional-integral loop filter."""

    def __init__(self, bn: float = 0.01, zeta: float = 0.707, t: float = 1.0) -> None: ...
    def step(self, x: float) -> float: ...
    def steps(self, x: npt.ArrayLike, out: _F64 | None = None) -> _F64: ...
    def configure(self, bn: float, zeta: float, t: float) -> None: ...
    def reset(self) -> None: ...
    def state_bytes(self) -> int: ...
    def get_state(self) -> bytes: ...
    def set_state(self, blob: bytes, /) -> None: ...
    def destroy(self) -> None: ...
    def __enter__(self) -> LoopFilter: ...
    def __exit__(self, *args: object) -> None: ...
    @property
    def kp(self) -> float: ...
    @property
    def ki(self) -> float: ...
    @property
    def bn(self) -> float: ...
    @property
    def zeta(self) -> float: ...
    @property
    def t(self) -> float: ...
    integ: float

# --- Costas -------------------------------------------------------------------------------------
class Costas:
    """BPSK Costas carrier loop with integrate-and-dump."""

    def __init__(
        self,
        bn: float = 0.05,
        zeta: float = 0.707,
        init_norm_freq: float = 0.0,
        tsamps: int = 64,
        bn_fll: float = 0.0,
    ) -> None: ...
    def steps(self, x: npt.ArrayLike, out: _C64 | None = None) -> _C64: ...
    def steps_max_out(self) -> int: ...
    def set_telemetry(self, tlm: Any, prefix: str, decim: int = 1) -> None: ...
    def configure(self, bn: float, zeta: float) -> None: ...
    def configure_lock(self, up_thresh: float, down_thresh: float, n_up: int, n_down: int) -> None: ...
    def reset(self) -> None: ...
    def state_bytes(self) -> int: ...
    def get_state(self) -> bytes: ...
    def set_state(self, blob: bytes, /) -> None: ...
    def destroy(self) -> None: ...
    def __enter__(self) -> Costas: ...
    def __exit__(self, *args: object) -> None: ...
    bn: float
    norm_freq: float
    bn_fll: float
    @property
    def lock_metric(self) -> float: ...
    @property
    def locked(self) -> bool: ...
    @property
    def last_error(self) -> float: ...

# --- Dll ----------------------------------------------------------------------------------------
class Dll:
    """Code-tracking delay-locked loop for direct-sequence spread-spectrum signals.

    ``code`` holds one element per chip, cast to uint8 (bit 0: 0 is +1, 1 is -1; a code held as
    +-1 values is passed as ``(1 - c) // 2``); the input is carrier-wiped
    complex baseband at ``sps`` samples per chip. Early, prompt and late correlators (``spacing``
    chips either side) steer a 32-bit code NCO through a second-order loop (``bn``, ``zeta``; bn
    per code period) from a non-coherent early-minus-late power discriminator, starting at
    ``init_chip`` chips. ``segments=1`` integrates and dumps each code period; ``segments=n``
    splits it into n partial correlations, all emitted, and runs the discriminator on the
    strongest one-period window, so data transitions inside a period do not collapse it
    (segments may exceed L*sps: every period still yields n partials, those no sample fell in
    being 0). In
    single-segment mode the rate integrator moves the phase L times more per update than the
    proportional path (it is the fractional rate itself), so long codes want a narrow bn there
    (about 0.002 for 1023 chips at 2 samples per chip). An off-peak noise tap, re-drawn every
    period, gives a constant-false-alarm lock detector (``locked``, ``lock_stat``).
    """

    def __init__(
        self,
        code: npt.ArrayLike,
        sps: int = 2,
        init_chip: float = 0.0,
        bn: float = 0.01,
        zeta: float = 0.707,
        spacing: float = 0.5,
        segments: int = 1,
    ) -> None: ...
    def steps(self, x: npt.ArrayLike, out: _C64 | None = None) -> _C64:
        """Correlate complex64 samples against the code and track it; return the prompts: one
        per code period (the sum divided by sps*L) with segments=1, the ``segments`` partial
        correlations of each period (normalised by the strongest one-period window) otherwise.
        Output room is len(x), or len(out): give an ``out`` with ``segments`` elements more than
        ``x`` so that no partial is dropped."""
        ...
    def steps_max_out(self) -> int: ...
    def set_telemetry(self, tlm: Any, prefix: str, decim: int = 1) -> None:
        """Attach a telemetry context: probes prefix + ".e", ".rate", ".lock", ".locked", once
        per code period; None detaches."""
        ...
    def configure(self, bn: float, zeta: float) -> None:
        """Re-derive the loop gains; rate, phase and lock state are kept."""
        ...
    def set_rate_aid(self, rate_aid: float) -> None:
        """Fractional code-rate bias fed forward into the NCO (e.g. Doppler / carrier frequency);
        the loop then tracks only the residual. 0 turns it off."""
        ...
    def configure_lock(self, pfa: float, n_looks: int, ref_snr_db: float = 0.0) -> None:
        """Size the lock detector for false-alarm probability ``pfa`` per decision of
        ``n_looks`` looks (threshold on R = sqrt(2 sum|P|^2 / E|O|^2) from the non-coherent
        detection statistics, verify count bringing false lock to pfa/1000, loss after 2).
        ValueError "configure_lock failed (rc=-4)" unless 0 < pfa < 1."""
        ...
    def configure_lock_raw(
        self, up_thresh: float, down_thresh: float, n_looks: int, alpha: float, n_up: int, n_down: int
    ) -> None:
        """Set thresholds, looks per decision, noise-reference EMA coefficient and verify counts
        directly; clears the decision."""
        ...
    def set_lock_verify(self, n_up: int, n_down: int) -> None:
        """Change the verify counts (thresholds kept); clears the decision. ValueError
        "set_lock_verify failed (rc=-4)" when either is 0."""
        ...
    def set_symbol_period(self, partials_per_symbol: float) -> None:
        """Symbol-period aid (segments >= 2): data symbol period in partials (>= 2; <= 0 turns
        it off). ValueError "set_symbol_period failed (rc=-4)" for a period in (0, 2), with
        segments=1, or when the rings cannot be allocated (the object is then unchanged)."""
        ...
    def reset(self) -> None: ...
    def state_bytes(self) -> int: ...
    def get_state(self) -> bytes: ...
    def set_state(self, blob: bytes, /) -> None: ...
    def destroy(self) -> None: ...
    def __enter__(self) -> Dll: ...
    def __exit__(self, *args: object) -> None: ...
    bn: float
    @property
    def code_phase(self) -> float:
        """Code phase of the local replica, chips in [0, L)."""
        ...
    @property
    def code_rate(self) -> float:
        """Tracked code rate, chips per nominal chip (1 = nominal)."""
        ...
    @property
    def last_error(self) -> float:
        """Last discriminator output, in [-1, 1]."""
        ...
    @property
    def segments(self) -> int: ...
    @property
    def locked(self) -> bool: ...
    @property
    def lock_stat(self) -> float:
        """Last lock statistic R (about sqrt(2 N) on noise alone)."""
        ...
    @property
    def noise_est(self) -> float:
        """Noise reference E|O|^2 from the off-peak tap."""
        ...
    @property
    def symbol_window(self) -> int:
        """Partials per symbol window with the symbol-period aid on, else 0."""
        ...

# --- SymbolSync ---------------------------------------------------------------------------------
class SymbolSync:
    """Symbol-timing synchroniser: one interpolated sample per recovered symbol.

    A 32-bit timing NCO steps once per input sample (nominally ``sps`` samples per symbol); its
    half-way crossing and its wrap mark the mid-symbol and on-time instants, and a four-tap
    Farrow interpolator (``order`` "linear", "parabolic" or "cubic") forms both strobes. A
    Gardner or DTTL timing-error detector (``ted``), normalised by the on-time power, drives a
    second-order loop (``bn``, ``zeta``; ``bn`` normalised to the symbol rate) that scales the
    NCO rate. An eye-opening lock detector averages over blocks of symbols. Feed it
    matched-filtered samples (for RRC pulses, the output of the RRC matched filter).
    """

    def __init__(
        self,
        sps: int = 4,
        bn: float = 0.01,
        zeta: float = 0.707,
        order: str = "cubic",
        ted: str = "gardner",
    ) -> None:
        """``sps`` 0 counts as 1 (at 1 the NCO never moves and no symbol is produced); ``order``
        and ``ted`` outside their sets raise ValueError."""
    def steps(self, x: npt.ArrayLike, out: _C64 | None = None) -> _C64:
        """Process complex64 samples; return one on-time sample per recovered symbol (the first
        strobe after construction or reset only primes the detector). A given ``out`` needs at
        least ``len(x)`` elements; the result is a view of its first elements."""
    def steps_max_out(self) -> int:
        """0: a call never produces more symbols than it is given samples."""
    def set_telemetry(self, tlm: Any, prefix: str, decim: int = 1) -> None:
        """Attach a telemetry ring (None detaches): probes ``prefix`` + ".e", ".freq" (NCO rate
        offset), ".rate", ".lock", ".locked", once per symbol, every ``decim``-th kept."""
    def configure(self, bn: float, zeta: float) -> None:
        """Re-derive the loop gains; NCO phase, rate estimate and lock state are kept."""
    def configure_lock(self, rolloff: float, esno_min_db: float, pfa: float, pd: float) -> None:
        """Size the lock detector (block length and threshold) for pulses of roll-off
        ``rolloff`` down to Es/N0 ``esno_min_db`` dB, with false-alarm probability ``pfa`` and
        detection probability ``pd`` per decision. ValueError "configure_lock failed (rc=-4)"
        unless 0 < pfa < pd < 1 and the block length is attainable."""
    def configure_lock_raw(
        self, avgs: int, up_thresh: float, down_thresh: float, n_up: int, n_down: int
    ) -> None:
        """Set the lock detector directly: average over ``avgs`` symbols (0 counts as 1), lock
        after ``n_up`` averages above ``up_thresh``, drop after ``n_down`` below ``down_thresh``."""
    def reset(self) -> None:
        """Back to the nominal rate, zero phase and no lock; configuration kept."""
    def state_bytes(self) -> int:
        """304."""
    def get_state(self) -> bytes:
        """Snapshot (configuration included: sps, order, detector, loop and lock settings)."""
    def set_state(self, blob: bytes, /) -> None:
        """Restore a snapshot; a malformed or inconsistent blob raises ValueError and changes
        nothing."""
    def destroy(self) -> None:
        """Free the native object now (idempotent)."""
    def __enter__(self) -> SymbolSync: ...
    def __exit__(self, *args: object) -> None: ...
    bn: float
    """Loop noise bandwidth per symbol; assigning re-derives the gains."""
    @property
    def timing_error(self) -> float:
        """Last timing-detector output, normalised by the on-time power."""
    @property
    def rate(self) -> float:
        """Smoothed tracked samples per symbol (starts at ``sps``)."""
    @property
    def lock_stat(self) -> float:
        """Last block-averaged eye-opening lock signal: about 0.4 for well-timed RRC pulses of
        roll-off 0.35, 0.75 for rectangular ones (at good Es/N0), near 0 in noise."""
    @property
    def locked(self) -> bool:
        """Timing-lock decision."""

# --- CarrierMpsk --------------------------------------------------------------------------------
class CarrierMpsk:
    """Decision-directed M-PSK carrier loop (m = 2, 4 or 8) with integrate-and-dump."""

    def __init__(
        self,
        bn: float = 0.05,
        zeta: float = 0.707,
        init_norm_freq: float = 0.0,
        tsamps: int = 64,
        bn_fll: float = 0.0,
        m: int = 4,
    ) -> None: ...
    def steps(self, x: npt.ArrayLike, out: _C64 | None = None) -> _C64: ...
    def steps_max_out(self) -> int: ...
    def configure(self, bn: float, zeta: float) -> None: ...
    def reset(self) -> None: ...
    def state_bytes(self) -> int: ...
    def get_state(self) -> bytes: ...
    def set_state(self, blob: bytes, /) -> None: ...
    def destroy(self) -> None: ...
    def __enter__(self) -> CarrierMpsk: ...
    def __exit__(self, *args: object) -> None: ...
    bn: float
    norm_freq: float
    bn_fll: float
    @property
    def lock_metric(self) -> float: ...
    @property
    def last_error(self) -> float: ...
    @property
    def m(self) -> int: ...

# --- CarrierNda ---------------------------------------------------------------------------------
class CarrierNda:
    """Non-data-aided M-th-power carrier loop at the sample rate (m = 2, 4 or 8)."""

    def __init__(
        self,
        bn: float = 0.01,
        zeta: float = 0.707,
        init_norm_freq: float = 0.0,
        sps: int = 8,
        n: int = 4,
        m: int = 4,
    ) -> None: ...
    def steps(self, x: npt.ArrayLike, out: _C64 | None = None) -> _C64: ...
    def steps_max_out(self) -> int: ...
    def set_telemetry(self, tlm: Any, prefix: str, decim: int = 1) -> None: ...
    def configure_lock(self, up_thresh: float, down_thresh: float, n_up: int, n_down: int) -> None: ...
    def reset(self) -> None: ...
    def state_bytes(self) -> int: ...
    def get_state(self) -> bytes: ...
    def set_state(self, blob: bytes, /) -> None: ...
    def destroy(self) -> None: ...
    def __enter__(self) -> CarrierNda: ...
    def __exit__(self, *args: object) -> None: ...
    norm_freq: float
    bn: float
    @property
    def lock(self) -> float: ...
    @property
    def locked(self) -> bool: ...
    @property
    def last_error(self) -> float: ...
    @property
    def m(self) -> int: ...
    @property
    def n(self) -> int: ...
    @property
    def sps(self) -> int: ...
