"""``soapy:ARGS``: a SoapySDR device (``soapy:driver=rtlsdr,serial=...``) through the Python
bindings of Debian's python3-soapysdr. The device is tuned to ``rf`` at ``fs`` with ``gain`` (dB,
else automatic gain) and streamed as CF32. Overflows the device reports become gaps; with
hardware timestamps the gap's length is computed from them, else it is unknown (0).

The bindings live in Debian's interpreter directory; from a virtual environment of the same
Python version they are found there."""

from __future__ import annotations

import sys

import numpy as np

from .base import Source, SourceError

DEBIAN_DIST = "/usr/lib/python3/dist-packages"
HINT = ("soapy: sources need SoapySDR's Python bindings, Debian package python3-soapysdr "
        "(apt-get install python3-soapysdr)")


def load_soapy():
    try:
        import SoapySDR  # type: ignore[import-not-found]  # Debian's python3-soapysdr, optional
        return SoapySDR
    except ImportError:
        pass
    # A virtual environment does not see Debian's packages: look there for this module only.
    if DEBIAN_DIST not in sys.path:
        sys.path.append(DEBIAN_DIST)
        try:
            import SoapySDR
            return SoapySDR
        except ImportError:
            pass
        finally:
            sys.path.remove(DEBIAN_DIST)
    raise SourceError(HINT)


def parse_args(text: str) -> dict:
    """``key=value,key=value`` device arguments."""
    out = {}
    for part in filter(None, (p.strip() for p in text.split(","))):
        k, sep, v = part.partition("=")
        if not sep or not k:
            raise SourceError(f"soapy:{text}: device arguments are key=value pairs separated by commas")
        out[k.strip()] = v.strip()
    return out


class SoapySource(Source):
    kind = "soapy"

    def __init__(self, address, *, fs, rf, gain, block=1 << 16, **kw):
        super().__init__(address, **kw)
        if not fs:
            raise SourceError(f"{address}: give the sample rate to set on the device with --fs")
        self.args = parse_args(address[len("soapy:"):])
        self.fs, self.center, self.gain = float(fs), rf, gain
        self.datatype = "cf32_le"
        self.block = max(1, min(block, 1 << 18))
        self._next_time = None  # device time (ns) of the next sample, from the timestamps
        self._overflow = False

    def _open(self) -> None:
        S = load_soapy()
        self.S = S
        try:
            self.dev = S.Device(self.args)
        except (RuntimeError, ValueError) as e:
            raise SourceError(f"{self.address}: no device: {e}") from None
        try:
            rx = S.SOAPY_SDR_RX
            self.dev.setSampleRate(rx, 0, self.fs)
            self.fs = float(self.dev.getSampleRate(rx, 0))
            if self.center is not None:
                self.dev.setFrequency(rx, 0, self.center)
            if self.gain is None:
                if self.dev.hasGainMode(rx, 0):
                    self.dev.setGainMode(rx, 0, True)
            else:
                self.dev.setGain(rx, 0, self.gain)
            self.stream = self.dev.setupStream(rx, S.SOAPY_SDR_CF32)
            self.dev.activateStream(self.stream)
            self.info = {"driver": self.dev.getDriverKey(), "hardware": self.dev.getHardwareKey(),
                         **{str(k): str(v) for k, v in dict(self.dev.getHardwareInfo()).items()}}
            if self.center is None:
                self.center = float(self.dev.getFrequency(rx, 0))
        except (RuntimeError, ValueError) as e:
            raise SourceError(f"{self.address}: {e}") from None
        self.mtu = max(1, int(self.dev.getStreamMTU(self.stream)))

    def _read(self):
        S = self.S
        buf = np.empty(self.block, np.complex64)
        sr = self.dev.readStream(self.stream, [buf], len(buf), timeoutUs=int(self.POLL * 1e6))
        if sr.ret == S.SOAPY_SDR_TIMEOUT:
            return buf[:0], 0
        if sr.ret == S.SOAPY_SDR_OVERFLOW:  # reported with the next samples, when their
            self._overflow = True              # timestamp tells how many were lost
            return buf[:0], 0
        if sr.ret < 0:
            self.end_reason = f"device stream ended ({S.SoapySDR_errToStr(sr.ret)})"
            return None
        lost = 0
        if sr.flags & S.SOAPY_SDR_HAS_TIME:
            if self._next_time is not None and sr.timeNs > self._next_time:
                lost = round((sr.timeNs - self._next_time) * self.fs / 1e9)
            self._next_time = sr.timeNs + sr.ret * 1e9 / self.fs
        elif self._overflow:
            lost = -1  # a gap of unknown length
        overflow, self._overflow = self._overflow, False
        return buf[:sr.ret], lost, "overflow" if overflow else "lost"

    def _close(self) -> None:
        dev = getattr(self, "dev", None)
        if dev is not None and getattr(self, "stream", None) is not None:
            dev.deactivateStream(self.stream)
            dev.closeStream(self.stream)
        self.dev = None
