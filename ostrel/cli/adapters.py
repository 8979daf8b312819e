"""Small adapters between the commands and the components they drive.

* ``DownConverter``: the core-only down-converters of the ``track`` module (``ddc_*`` for
  complex input, ``ddcr_*`` for real input) through their exported C ABI with ctypes.
* ``receiver_type`` / ``detector_type``: the M-PSK receivers and the correlation detector,
  looked up by name so that a build without them reports it plainly instead of failing.
"""

from __future__ import annotations

import ctypes
import functools

import numpy as np

from .common import UserError

_P, _D, _S = ctypes.c_void_p, ctypes.c_double, ctypes.c_size_t


@functools.lru_cache(maxsize=None)
def _track_lib() -> ctypes.CDLL:
    from ostrel import track

    lib = ctypes.CDLL(track.__file__)
    for pre in ("ddc_", "ddcr_"):
        for name, res, args in (("create", _P, [_D, _D]), ("destroy", None, [_P]),
                                ("get_rate", _D, [_P]), ("get_clipped", ctypes.c_int, [_P]),
                                ("execute", _S, [_P, _P, _S, _P, _S])):
            f = getattr(lib, pre + name)
            f.restype, f.argtypes = res, args
    return lib


class DownConverter:
    """Mix ``norm_freq`` (cycles per input sample) to DC and resample by ``rate`` (output over
    input rate, at most 1; below 0.5 for real input, whose band is first made complex by a 2:1
    halfband). Block calls release the interpreter lock (ctypes) and keep their state."""

    def __init__(self, norm_freq: float, rate: float, real: bool):
        self.lib, self.real = _track_lib(), real
        self.pre = "ddcr_" if real else "ddc_"
        lo = -norm_freq
        if real:  # the halfband's output is shifted by a quarter of the input rate, at half rate
            lo = -(2 * norm_freq - 0.5)
            lo = (lo + 0.5) % 1.0 - 0.5
        self.p = getattr(self.lib, self.pre + "create")(lo, rate)
        if not self.p:
            raise UserError(f"the down-converter refuses rate {rate:g} of the input rate"
                            + (" (real input: below 0.5)" if real else ""))
        self.out = np.empty(0, np.complex64)

    @property
    def rate(self) -> float:
        return getattr(self.lib, self.pre + "get_rate")(self.p)

    @property
    def clipped(self) -> bool:
        return bool(getattr(self.lib, self.pre + "get_clipped")(self.p))

    def execute(self, x: np.ndarray) -> np.ndarray:
        """Output samples for the block ``x`` (a view of an internal buffer, valid until the
        next call)."""
        x = np.ascontiguousarray(x, np.float32 if self.real else np.complex64)
        if len(self.out) < len(x):
            self.out = np.empty(len(x), np.complex64)
        n = getattr(self.lib, self.pre + "execute")(self.p, x.ctypes.data, len(x),
                                                    self.out.ctypes.data, len(self.out))
        return self.out[:n]

    def close(self) -> None:
        if self.p:
            getattr(self.lib, self.pre + "destroy")(self.p)
            self.p = None

    def __enter__(self):
        return self

    def __exit__(self, *a):
        self.close()

    def __del__(self):
        self.close()


QUARTER = 0.25  # a 4:1 stage: two halfbands (complex), or the real-to-complex halfband and one


def quarter_stages(ratio: float) -> int:
    """4:1 stages to put in front of a converter whose input over output rate is ``ratio`` so
    that what remains stays below 8: from 8 on the converter's own plan would start with a CIC
    without droop compensation (levels fall towards the band edges and aliases come through
    at about -34 dB), while halfbands and the polyphase resampler are flat to about 0.01 dB."""
    k = 0
    while ratio / 4 ** k >= 8:
        k += 1
    return k


class FlatChain:
    """Down-conversion in flat stages: the first mixes ``norm_freq`` (cycles per input sample)
    to DC and decimates 4:1, each further one decimates 4:1, and an optional last stage
    resamples by ``last`` (output over input rate, above 1/8). Same interface as
    DownConverter."""

    def __init__(self, norm_freq: float, quarters: int, real: bool, last: float | None = None):
        self.stages: list[DownConverter] = []
        try:
            f = norm_freq
            for i in range(quarters):
                self.stages.append(DownConverter(f, QUARTER, real and i == 0))
                f = 0.0
            if last is not None:
                self.stages.append(DownConverter(f, last, real and not quarters))
        except BaseException:
            self.close()
            raise
        self.real = real

    @property
    def rate(self) -> float:
        r = 1.0
        for s in self.stages:
            r *= s.rate
        return r

    @property
    def clipped(self) -> bool:
        return any(s.clipped for s in self.stages)

    def execute(self, x: np.ndarray) -> np.ndarray:
        for s in self.stages:
            x = s.execute(x)
        return x

    def close(self) -> None:
        for s in self.stages:
            s.close()

    def __enter__(self):
        return self

    def __exit__(self, *a):
        self.close()


def flat_converter(norm_freq: float, rate: float, real: bool) -> FlatChain:
    """Mix ``norm_freq`` to DC and resample by ``rate`` (output over input) without a CIC
    stage: 4:1 stages while the ratio is 8 or more, then the converter for what remains."""
    k = quarter_stages(1.0 / rate)
    return FlatChain(norm_freq, k, real, last=rate * 4 ** k)


def _find(module: str, name: str, what: str):
    import importlib

    try:
        mod = importlib.import_module(f"ostrel.{module}")
    except ImportError as e:
        raise UserError(f"ostrel.{module} cannot be imported: {e}") from None
    t = getattr(mod, name, None)
    if t is None:
        raise UserError(f"this build has no {module}.{name} ({what}); update ostrel")
    return t


def receiver(m: int, fs: float, symbol_rate: float, carrier: float, rrc: float | None,
             differential: bool, real: bool, bn_carrier: float, bn_timing: float,
             rrc_span: int = 8, lock_thresh: float = 0.0):
    """The M-PSK receiver for the recording: MpskReceiverR for real samples, BpskReceiver for
    complex BPSK (parameters in Hz; MpskReceiver with m=2 when a lock threshold is given, which
    BpskReceiver does not take), MpskReceiver otherwise."""
    pulse = "rrc" if rrc is not None else "iandd"
    beta = rrc if rrc is not None else 0.35
    sps = fs / symbol_rate
    common = dict(pulse=pulse, rrc_beta=beta, rrc_span=rrc_span, bn_carrier=bn_carrier,
                  bn_timing=bn_timing, differential=int(differential))
    mpsk = dict(m=m, sps=sps, init_norm_freq=carrier / fs, lock_thresh=lock_thresh, **common)
    if real:
        cls = _find("track", "MpskReceiverR", "the real-input M-PSK receiver")
        make = lambda: cls(**mpsk)  # noqa: E731
    elif m == 2 and not lock_thresh:
        cls = _find("track", "BpskReceiver", "the BPSK receiver")
        make = lambda: cls(sample_rate_hz=fs, symbol_rate_hz=symbol_rate,  # noqa: E731
                           carrier_freq_hz=carrier, **common)
    else:
        cls = _find("track", "MpskReceiver", "the M-PSK receiver")
        make = lambda: cls(**mpsk)  # noqa: E731
    try:
        return make()
    except ValueError as e:
        need = "more than 4" if real else "at least 2"
        raise UserError(f"the receiver refuses {sps:.3g} samples per symbol at this symbol rate "
                        f"and carrier (it needs {need} samples per symbol, the carrier inside "
                        f"the band, 0 <= --rrc <= 1): {e}") from None


def corr_detector(ref: np.ndarray, dwell: int):
    """A CorrDetector over ``ref`` that reports every dump (threshold 0): the command applies
    its own threshold, so each result can be matched to the frame that produced it."""
    cls = _find("spectral", "CorrDetector", "the correlation detector")
    try:
        return cls(ref, dwell=dwell, noise_mode="mean", threshold=0.0)
    except (ValueError, MemoryError) as e:
        raise UserError(f"the correlation detector refuses this reference: {e}") from None
