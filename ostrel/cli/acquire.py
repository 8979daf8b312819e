"""Coarse carrier acquisition for ``demod``: where an M-PSK signal first shows in a recording
and how far its carrier lies from the one the user gave.

Raising M-PSK symbols to the M-th power removes the modulation (every constellation point maps
to the same phase), so the M-th power of the band-limited signal holds a spectral line at M
times its carrier offset. The search down-converts the channel at --carrier to 8 to 16 samples
per symbol, low-pass filters it to the signal's band plus the search range, and looks at the
M-th power spectrum of consecutive windows. A window holds the signal when the strongest line
of the search range stands clear of the range's median (by ``DETECT_DB``) and is the strongest
of the whole spectrum: a signal whose carrier lies beyond the range leaves the flank of its
M-th power and its weaker lines (one symbol rate either side of the main one) inside the range,
but its main line outside. The first such window marks where the signal shows; the strongest
line of that window and the next REFINE ones (the signal may fill the first only partly) gives
the offset, refined by a parabola through the peak's neighbours.

The receivers' carrier loop then starts at that estimate, so its pull-in range no longer limits
which offsets the command can demodulate; the search range is what the M-th power spectrum can
tell apart (its line must stay inside the decimated band: |M x offset| < half the rate).
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

from ostrel import spectral

from .adapters import DownConverter
from .common import UserError, fmt_hz

SPS = 8  # least samples per symbol of the search's down-converted stream, where fs allows
WINDOW_SYMBOLS = 1024  # symbols per M-th power spectrum
DETECT_DB = 18.0  # line over the median of the spectrum's search range (noise: ~12 dB at most)
TAPS = 65  # low-pass filter length at the search rate
REFINE = 2  # windows after the first detection whose stronger line may refine the offset
LOOKAHEAD = 1 + REFINE + 0.5  # windows the search runs ahead of the receiver


@dataclass
class Acquired:
    """The first window where the signal shows: its first input sample, the carrier offset
    from the given carrier (Hz) and how far the line stands above the median (dB)."""

    sample: int
    offset_hz: float
    strength_db: float


def search_rate(fs: float, symbol_rate: float, real: bool) -> float:
    """Output over input rate of the search's down-converter: a power of two (halfbands, no
    resampler) giving SPS to 2 x SPS samples per symbol, or the least decimation the converter
    takes (none; 1/4 for real input, whose converter needs a rate below 1/2)."""
    k = max(0, math.floor(math.log2(fs / (SPS * symbol_rate))))
    return 2.0 ** -max(k, 2 if real else 0)


def max_search(fs: float, symbol_rate: float, m: int, real: bool) -> float:
    """Largest offset the M-th power spectrum tells apart: its line at m x offset must stay
    inside 90 % of the half band of the decimated stream."""
    fsd = search_rate(fs, symbol_rate, real) * fs
    return 0.45 * fsd / m


def default_search(fs: float, symbol_rate: float, m: int, real: bool) -> float:
    """Half the symbol rate, or less when the M-th power spectrum cannot reach that far."""
    return min(0.5 * symbol_rate, max_search(fs, symbol_rate, m, real))


def _lowpass(cutoff: float, taps: int) -> np.ndarray:
    """Blackman-windowed sinc low-pass, cutoff in cycles per sample, unit gain at DC."""
    t = np.arange(taps) - (taps - 1) / 2
    h = np.sinc(2 * cutoff * t) * np.blackman(taps)
    return (h / h.sum()).astype(np.float32)


class CarrierSearch:
    """Streams the recording ahead of the receiver until the signal shows (``result``) or the
    recording ends (``done`` with ``result`` None). Memory is a few windows, whatever the file."""

    def __init__(self, rec, carrier: float, symbol_rate: float, m: int, beta: float,
                 search: float, block: int = 1 << 16):
        real = not rec.fmt.complex
        limit = max_search(rec.fs, symbol_rate, m, real)
        if search > limit * (1 + 1e-9):
            raise UserError(f"--search {search:g} Hz: the {m}-th power spectrum at this symbol "
                            f"rate reaches +-{fmt_hz(limit)} (give --carrier closer to the signal)")
        self.m, self.search = m, search
        self.dc = DownConverter(carrier / rec.fs, search_rate(rec.fs, symbol_rate, real), real)
        self.rate = self.dc.rate  # output over input rate, as realised
        fsd = rec.fs * self.rate
        cutoff = min(0.45, (symbol_rate * (1 + beta) / 2 + search) / fsd)
        self.h = _lowpass(cutoff, TAPS)
        self.L = max(256, int(WINDOW_SYMBOLS * fsd / symbol_rate))
        self.nfft = 1 << int(math.ceil(math.log2(2 * self.L)))  # parabola refines the bin
        self.freqs = np.fft.fftfreq(self.nfft, 1 / fsd)
        self.in_range = np.flatnonzero(np.abs(self.freqs) <= m * search)
        self.taper = np.hanning(self.L).astype(np.float32)
        self.fft = spectral.FFT(n=self.nfft)
        self.padded = np.zeros(self.nfft, np.complex64)  # window, then zeros
        self.spectrum = np.empty(self.nfft, np.complex64)
        self.blocks = rec.blocks(block)
        self.buf = np.zeros(0, np.complex64)
        self.buf_start = 0  # decimated index of buf[0]
        self.scanned = 0  # input samples taken so far
        self.window_in = self.L / self.rate  # one window, in input samples
        self.candidate: Acquired | None = None  # first detection, refined by REFINE windows
        self.left = 0
        self.result: Acquired | None = None
        self.done = False

    def advance(self, upto: float) -> None:
        """Scan until ``upto`` input samples are taken, the signal is found, or the file ends."""
        while not self.done and self.scanned < upto:
            x = next(self.blocks, None)
            if x is None:
                self.result = self.candidate
                self.close()
                return
            self.scanned += len(x)
            self.buf = np.concatenate((self.buf, self.dc.execute(x)))
            while len(self.buf) >= self.L and not self.done:
                self._window(self.buf[:self.L])
                if not self.done:
                    self.buf, self.buf_start = self.buf[self.L:], self.buf_start + self.L

    def _window(self, y: np.ndarray) -> None:
        z = np.convolve(y, self.h, mode="same")
        z /= np.float32(np.sqrt(np.mean(np.abs(z) ** 2)) or 1.0)  # unit power: no overflow
        for _ in range(self.m.bit_length() - 1):  # z ** m by squaring (m = 2, 4, 8)
            z = z * z
        np.multiply(z, self.taper, out=self.padded[:self.L])
        f = self.fft.execute_cf32(self.padded, out=self.spectrum)
        p = f.real.astype(np.float64) ** 2 + f.imag.astype(np.float64) ** 2
        pr = p[self.in_range]
        k = int(np.argmax(pr))
        median = float(np.median(pr[::4]))  # of every 4th bin: as robust, a quarter the work
        strength = 10 * math.log10(pr[k] / median) if median > 0 and pr[k] > 0 else 0.0
        if self.candidate is None and strength <= DETECT_DB:
            return
        i = int(self.in_range[k])
        if p.max() > p[i] * 1.01:
            # A stronger line outside the search range: a signal whose carrier lies beyond it.
            # What it leaves inside the range (the flank of its M-th power, the weaker lines
            # one symbol rate either side of its main line) is not a carrier estimate.
            return
        a, b, c = (math.log(max(p[j % self.nfft], 1e-300)) for j in (i - 1, i, i + 1))
        den = a - 2 * b + c
        frac = 0.5 * (a - c) / den if den < 0 else 0.0  # vertex of the parabola through the peak
        offset = (self.freqs[i] + frac * (self.freqs[1] - self.freqs[0])) / self.m
        if self.candidate is None:  # where the signal shows first: the re-tuning point
            self.candidate = Acquired(int(self.buf_start / self.rate), offset, strength)
            self.left = REFINE
            return
        if strength > self.candidate.strength_db:  # a window the signal fills better
            self.candidate.offset_hz, self.candidate.strength_db = offset, strength
        self.left -= 1
        if self.left == 0:
            self.result = self.candidate
            self.close()

    def close(self) -> None:
        if not self.done:
            self.done = True
            self.blocks.close()
            self.dc.close()
            self.fft.destroy()
            self.buf = np.zeros(0, np.complex64)
