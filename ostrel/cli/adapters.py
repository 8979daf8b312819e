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
             differential: bool, real: bool, bn_carrier: float, bn_timing: float):
    """The M-PSK receiver for the recording: MpskReceiverR for real samples, BpskReceiver for
    complex BPSK (parameters in Hz), MpskReceiver otherwise."""
    pulse = "rrc" if rrc is not None else "iandd"
    beta = rrc if rrc is not None else 0.35
    sps = fs / symbol_rate
    common = dict(pulse=pulse, rrc_beta=beta, bn_carrier=bn_carrier, bn_timing=bn_timing,
                  differential=int(differential))
    if real:
        cls = _find("track", "MpskReceiverR", "the real-input M-PSK receiver")
        make = lambda: cls(m=m, sps=sps, init_norm_freq=carrier / fs, **common)  # noqa: E731
    elif m == 2:
        cls = _find("track", "BpskReceiver", "the BPSK receiver")
        make = lambda: cls(sample_rate_hz=fs, symbol_rate_hz=symbol_rate,  # noqa: E731
                           carrier_freq_hz=carrier, **common)
    else:
        cls = _find("track", "MpskReceiver", "the M-PSK receiver")
        make = lambda: cls(m=m, sps=sps, init_norm_freq=carrier / fs, **common)  # noqa: E731
    try:
        return make()
    except ValueError as e:
        need = "more than 16" if real else "at least 2"
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
