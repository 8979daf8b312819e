"""Type stubs for the ``ostrel.track`` extension module.

A constructor argument outside its range raises ValueError naming the argument and the values
it accepts ("dwell must be >= 1, got 0"); MemoryError means memory ran out (or a size
was too large to allocate).
"""

from typing import Any, final, type_check_only

import numpy as np
import numpy.typing as npt

_C64 = npt.NDArray[np.complex64]
_F64 = npt.NDArray[np.float64]

@final
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
@final
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
@final
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
    being 0). An off-peak noise tap, re-drawn every period, gives a constant-false-alarm lock
    detector (``locked``, ``lock_stat``).

    With ``segments=1`` the rate integrator is the fractional code rate itself, so it moves the
    phase L times more per update than the proportional path (kp e chips): the loop is lightly
    damped and stable only for ``bn < (1 + 4 zeta**2) / (2 L)``, about 1.5 / L at zeta 0.707
    (0.0015 for 1023 chips); it settles fastest for bn between about 0.5 / L and 1 / L (0.0005
    to 0.001 for 1023 chips). With ``segments >= 2`` both paths scale alike and bn ~ 0.05 works.
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
        correlations of each period otherwise, normalised so that the mean of the strongest
        one-period window's partials has unit magnitude. Output room is len(x), or len(out):
        give an ``out`` with ``segments`` elements more than ``x`` so that no partial is dropped
        (with more segments than samples per period, len(x) * segments / (sps * L) + segments)."""
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
@final
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
        """``sps`` must be >= 2 (at 1 the NCO would never move and no symbol be produced),
        ``bn`` >= 0 and ``zeta`` > 0; these and ``order`` and ``ted`` outside their sets raise
        ValueError."""
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
@final
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
@final
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

# --- RateSync -----------------------------------------------------------------------------------
@final
class RateSync:
    """Symbol timing recovery at any real oversampling through a matched rate converter.

    A rate converter brings the stream to ``m`` samples per symbol; its terminal polyphase stage
    is the matched filter for ``pulse`` ("iandd" or "rrc" of roll-off ``beta``, +-``span``
    symbols) in ``num_phases`` fractional delays, and the timing loop (Gardner or DTTL detector
    normalised by its S-curve slope, PI loop of bandwidth ``bn`` per symbol) steers its rate.
    Feed a constellation of about unit amplitude (the detector is not power-normalised: the
    loop gain grows with the power). The tracked period is held within 0.5..1.5 ``sps``, and
    detector outputs no signal gives (a NaN, an infinity, a spike through the filter) are not
    fed to the loop, so symbols keep coming whatever the input.
    """

    def __init__(
        self,
        sps: float = 4.0,
        pulse: str = "rrc",
        beta: float = 0.35,
        span: int = 8,
        m: int = 2,
        num_phases: int = 1024,
        bn: float = 0.01,
        zeta: float = 0.707,
        ted: str = "gardner",
    ) -> None: ...
    def steps(self, x: npt.ArrayLike, out: _C64 | None = None) -> _C64:
        """Recovered symbols (complex64), at most one per input sample."""
    def steps_max_out(self) -> int: ...
    def set_telemetry(self, tlm: Any, prefix: str, decim: int = 1) -> None:
        """Probes prefix + ".e", ".ctrl", ".rate", ".lock", ".locked", ".mu", per symbol."""
    def configure(self, bn: float, zeta: float) -> None:
        """New loop gains; estimates and lock kept; bn < 0 or zeta <= 0 ignored."""
    def configure_lock_raw(self, avgs: int, up_thresh: float, down_thresh: float, n_up: int, n_down: int) -> None:
        """Lock statistic averaged over avgs symbols, hysteresis thresholds and counts; drops the lock."""
    def reset(self) -> None: ...
    def state_bytes(self) -> int: ...
    def get_state(self) -> bytes: ...
    def set_state(self, blob: bytes, /) -> None: ...
    def destroy(self) -> None: ...
    def __enter__(self) -> RateSync: ...
    def __exit__(self, *args: object) -> None: ...
    bn: float
    @property
    def timing_error(self) -> float: ...
    @property
    def rate(self) -> float:
        """Tracked input samples per symbol."""
    @property
    def ctrl(self) -> float: ...
    @property
    def lock_stat(self) -> float:
        """Block-averaged eye-opening statistic (near 1 when the eye is open)."""
    @property
    def locked(self) -> bool: ...
    @property
    def clipped(self) -> bool: ...

# --- M-PSK receivers ----------------------------------------------------------------------------
@type_check_only
class _Receiver:
    """Methods and read-outs shared by the three M-PSK receivers.

    How the settings interact:

    * ``sps`` is the input samples per symbol (any real value); the matched filter runs at
      ``m_out`` samples per symbol (0 = automatic: 8 when sps allows), decimating stages in
      front bring sps down to it.
    * ``pulse`` is the transmitter's: "iandd" (rectangular symbols) or "rrc" (root raised
      cosine, roll-off ``rrc_beta``, +-``rrc_span`` symbols). The carrier loop sees the matched
      filter's delay of about ``rrc_span`` symbols: it pulls in only while
      ``m * |offset per symbol| * rrc_span`` stays below about a quarter cycle, so for large
      offsets shorten the span (4 is plenty for roll-offs >= 0.25) or set ``init_norm_freq``.
    * ``bn_carrier`` and ``bn_timing`` are loop noise bandwidths per symbol: wider loops acquire
      faster (pull-in time grows as the square of the offset over the cube of the bandwidth),
      narrower ones jitter less. At Es/N0 10 dB a QPSK offset of 5e-3 cycles per symbol takes
      about 1000 symbols to pull in with 0.01 and about 200 with 0.02 (rrc_span 4), for about
      0.2 dB of BER.
    * The AGC (``agc=1``) runs at ``bn_agc_ratio`` times the slower loop; without it give
      symbols of about unit amplitude. It holds its gain while the input is silent (exact
      zeros), takes a burst arriving more than 6 dB above its level down at once, limits single
      samples more than 14 dB above the level (blanking NaN and infinity) and keeps its gain
      within +-200 dB; on an ordinary signal it is the plain slow loop.
    * The timing loop holds the tracked period within 0.5..1.5 ``sps`` and drops detector
      outputs no signal gives, so one bad sample costs a few symbols, not the stream.
    * Lock: the lock EMA (mean cosine of m times the phase error) above ``lock_thresh``
      (default 0.4999) for 8 symbols declares lock, below 0.8 x ``lock_thresh`` for 32 drops
      it. Its level falls with SNR (QPSK about 0.66 at Es/N0 10 dB, 8-PSK 0.21): for 8-PSK
      below about 15 dB lower ``lock_thresh``.
    * The carrier settles on one of m phases; ``differential=1`` resolves the ambiguity.
    """

    def set_telemetry(self, tlm: Any, prefix: str, decim: int = 1) -> None:
        """15 probes with AGC (13 without): prefix + ".lock", ".car.e", ".car.freq", ".car.nco",
        ".car.locked", ".sym.i", ".sym.q", ".sync.*" (6) and ".agc.gain_db", ".agc.level_db"."""
    def steps(self, x: npt.ArrayLike, out: _C64 | None = None) -> _C64:
        """Recovered symbols (complex64), at most one per input sample."""
    def steps_max_out(self) -> int: ...
    def bits(self, x: npt.ArrayLike, out: npt.NDArray[np.uint8] | None = None) -> npt.NDArray[np.uint8]:
        """Hard bits (0/1 per byte, log2(m) per symbol, least significant first, Gray-coded).
        Without ``out`` the result holds every bit; a given ``out`` needs at least len(x)
        elements and bits beyond its length are dropped."""
    def bits_max_out(self) -> int: ...
    def reset(self) -> None: ...
    def state_bytes(self) -> int: ...
    def get_state(self) -> bytes: ...
    def set_state(self, blob: bytes, /) -> None: ...
    def destroy(self) -> None: ...
    def __exit__(self, *args: object) -> None: ...
    norm_freq: float
    """Tracked carrier, cycles per input sample; assigning re-tunes (timing and lock kept)."""
    @property
    def agc_gain_db(self) -> float: ...
    @property
    def lock(self) -> float: ...
    @property
    def zeta(self) -> float: ...
    @property
    def num_phases(self) -> int: ...
    @property
    def lock_thresh(self) -> float: ...
    @property
    def lock_drop_thresh(self) -> float: ...
    @property
    def sync_lock_thresh(self) -> float: ...
    @property
    def sync_lock_drop_thresh(self) -> float: ...
    @property
    def bn_agc_ratio(self) -> float: ...
    @property
    def lock_time(self) -> int:
        """Symbol count at the first carrier lock since construction or reset; -1 before."""
    @property
    def timing_rate(self) -> float:
        """Tracked input samples per symbol."""
    @property
    def m(self) -> int: ...
    @property
    def sps(self) -> float: ...
    @property
    def m_out(self) -> int: ...
    @property
    def clipped(self) -> bool: ...
    @property
    def locked(self) -> bool: ...

@final
class MpskReceiver(_Receiver):
    """M-PSK demodulator (m = 2, 4, 8) from complex64 samples; parameters in normalised units."""

    def __init__(
        self,
        m: int = 4,
        sps: float = 8.0,
        m_out: int = 0,
        pulse: str = "iandd",
        rrc_beta: float = 0.35,
        rrc_span: int = 8,
        bn_carrier: float = 0.01,
        zeta: float = 0.0,
        bn_timing: float = 0.01,
        lock_thresh: float = 0.0,
        init_norm_freq: float = 0.0,
        differential: int = 0,
        num_phases: int = 0,
        agc: int = 1,
        bn_agc_ratio: float = 0.0,
    ) -> None: ...
    def __enter__(self) -> MpskReceiver: ...

@final
class MpskReceiverR(_Receiver):
    """M-PSK demodulator for real float32 (IF) samples: a 2:1 real-to-complex halfband, then the
    MpskReceiver chain. ``init_norm_freq`` is the IF in cycles per input sample (0 < f < 0.5)."""

    def __init__(
        self,
        m: int = 4,
        sps: float = 32.0,
        m_out: int = 0,
        pulse: str = "iandd",
        rrc_beta: float = 0.35,
        rrc_span: int = 8,
        bn_carrier: float = 0.01,
        zeta: float = 0.0,
        bn_timing: float = 0.01,
        lock_thresh: float = 0.0,
        init_norm_freq: float = 0.0,
        differential: int = 0,
        num_phases: int = 0,
        agc: int = 1,
        bn_agc_ratio: float = 0.0,
    ) -> None: ...
    def steps(self, x: npt.ArrayLike, out: _C64 | None = None) -> _C64:
        """Recovered symbols from float32 samples."""
    def bits(self, x: npt.ArrayLike, out: npt.NDArray[np.uint8] | None = None) -> npt.NDArray[np.uint8]: ...
    def __enter__(self) -> MpskReceiverR: ...

@final
class BpskReceiver(_Receiver):
    """BPSK demodulator from complex64 samples, configured in hertz (sps = fs / symbol rate)."""

    def __init__(
        self,
        sample_rate_hz: float,
        symbol_rate_hz: float,
        carrier_freq_hz: float = 0.0,
        pulse: str = "iandd",
        rrc_beta: float = 0.35,
        rrc_span: int = 8,
        bn_carrier: float = 0.01,
        bn_timing: float = 0.01,
        differential: int = 0,
        agc: int = 1,
    ) -> None: ...
    def __enter__(self) -> BpskReceiver: ...

@final
class PskDemodulator:
    """Burst-capable M-PSK demodulator with defaults that acquire: squelch against a tracked
    noise floor, carrier search on the m-th power spectrum of a buffered window, timing from
    the squared envelope, then the window replayed through a power-normalised Gardner loop and
    a decision-directed carrier phase loop after the matched filter. Symbols come only while a
    burst is tracked."""

    def __init__(
        self,
        m: int = 4,
        sps: float = 8.0,
        rrc_beta: float = 0.35,
        differential: bool = False,
        *,
        rrc_span: int = 3,
        acq_symbols: int = 0,
        bn_timing: float = 0.002,
        bn_carrier: float = 0.005,
        squelch_db: float = 6.0,
        search: float = 0.25,
        init_norm_freq: float = 0.0,
        line_db: float = 0.0,
    ) -> None: ...
    def set_telemetry(self, tlm: Any, prefix: str, decim: int = 1) -> None:
        """Per symbol: prefix + ".lock", ".freq", ".rate", ".e", ".sym.i", ".sym.q"."""
    def steps(self, x: npt.ArrayLike, out: _C64 | None = None) -> _C64:
        """Unit-energy symbols of the bursts tracked (QPSK at 45 degrees, BPSK and 8-PSK from 0);
        the call completing a burst's acquisition window also returns the window's symbols."""
    def steps_max_out(self) -> int: ...
    def bits(self, x: npt.ArrayLike, out: npt.NDArray[np.uint8] | None = None) -> npt.NDArray[np.uint8]:
        """Hard bits (0/1 per byte, log2(m) per symbol, least significant first, Gray-coded as
        MpskReceiver's; differential: the phase step from the previous symbol, the first symbol
        of each burst referenced to index 0)."""
    def bits_max_out(self) -> int: ...
    def reset(self) -> None: ...
    def state_bytes(self) -> int: ...
    def get_state(self) -> bytes: ...
    def set_state(self, blob: bytes, /) -> None: ...
    def destroy(self) -> None: ...
    def __enter__(self) -> PskDemodulator: ...
    def __exit__(self, *args: object) -> None: ...
    @property
    def locked(self) -> bool: ...
    @property
    def norm_freq(self) -> float:
        """Carrier estimate, cycles per input sample."""
    @property
    def timing_rate(self) -> float:
        """Samples per symbol estimate."""
    @property
    def snr_db(self) -> float:
        """Estimated Es/N0 of the current or last burst."""
    @property
    def in_burst(self) -> bool: ...
    @property
    def bursts(self) -> int: ...
    @property
    def n_sym(self) -> int: ...
    @property
    def burst_start(self) -> int:
        """Input sample index where the current or last burst's window began; -1 before any."""
    @property
    def burst_end(self) -> int:
        """Input sample index where the last burst ended; -1 while in a burst or before any."""
    @property
    def samples(self) -> int: ...
    @property
    def noise_floor(self) -> float:
        """Mean noise power per sample (nan until known)."""
    @property
    def m(self) -> int: ...
    @property
    def sps(self) -> float: ...
