"""Known sequences and the bit <-> symbol mapping of the M-PSK receivers, shared by ``synth``
(which writes recordings of known content) and ``demod`` (which scores bits against it).

Mapping (that of the receivers' demapper): a symbol's bits, least significant first, form the
Gray code g of its index; index i sits at phase off + 2*pi*i/M with off = pi/4 for QPSK and 0
otherwise. Differential mode encodes the index step from the previous symbol instead.
"""

from __future__ import annotations

import functools

import numpy as np

from .._waveforms import gray, gray_inverse

MODS = {"bpsk": 2, "qpsk": 4, "8psk": 8}
BITS_PER_SYMBOL = {2: 1, 4: 2, 8: 3}

# Maximal-length LFSR sequences by name: (degree, taps of x^a + x^b + 1).
PRBS = {"prbs7": (7, 6), "prbs9": (9, 5), "prbs10": (10, 7), "prbs15": (15, 14), "prbs23": (23, 18)}


@functools.lru_cache(maxsize=8)
def prbs(name: str) -> np.ndarray:
    """One period (2^n - 1 bits, uint8) of the named Fibonacci LFSR sequence started from the
    all-ones state: bit k = b[k - a] xor b[k - b] with the taps (a, b) of x^a + x^b + 1."""
    a, b = PRBS[name]
    n = (1 << a) - 1
    out = np.empty(n + a, np.uint8)
    out[:a] = 1
    # Vectorised in runs of (a - b) bits: every bit of a run depends only on earlier runs.
    k, step = a, a - b
    while k < n + a:
        m = min(step, n + a - k)
        out[k:k + m] = out[k - a:k - a + m] ^ out[k - b:k - b + m]
        k += m
    return out[a:].copy()


def phase_offset(m: int) -> float:
    return np.pi / 4 if m == 4 else 0.0


def bits_to_indices(bits: np.ndarray, m: int) -> np.ndarray:
    """Symbol indices for bits taken least significant first, log2(m) per symbol."""
    k = BITS_PER_SYMBOL[m]
    b = bits[: len(bits) // k * k].reshape(-1, k).astype(np.int64)
    g = (b << np.arange(k)).sum(axis=1)
    return gray_inverse(g)


def indices_to_bits(idx: np.ndarray, m: int) -> np.ndarray:
    """Bits (uint8, one per byte, least significant first) of the Gray codes of ``idx``."""
    k = BITS_PER_SYMBOL[m]
    g = gray(idx.astype(np.int64))
    return ((g[:, None] >> np.arange(k)) & 1).astype(np.uint8).ravel()


_TWO_PI = 6.283185307179586
_QUARTER_PI = 0.7853981633974483


def symbol_indices(sym: np.ndarray, m: int) -> np.ndarray:
    """The demapper's decision, in the receivers' own arithmetic (double precision): the phase
    u in units of the constellation step from the first point, rounded to the nearest integer
    with ties towards zero; a NaN symbol decides 0.

    BPSK and QPSK decide by signs where that gives the same answer (a symbol well away from
    the axes, where the decision boundaries lie), the phase formula only for the rest."""
    if m == 8:
        return _phase_indices(sym, m)
    re, im = sym.real, sym.imag
    if m == 2:
        idx = (re < 0).astype(np.int64)
    else:  # quadrants 0 .. 3 counterclockwise from the first: 2 x (im < 0) + (re < 0 xor im < 0)
        below = im < 0
        idx = ((below.view(np.uint8) << 1) + (below ^ (re < 0)).view(np.uint8)).astype(np.int64)
    # near an axis (relative to the other component), exactly on one, or NaN: the phase rule
    ar, ai = np.abs(re), np.abs(im)
    edge = ~((ar > 1e-12 * ai) & (ai > 1e-12 * ar)) if m == 4 else ~(ar > 1e-12 * ai)
    if edge.any():
        idx[edge] = _phase_indices(sym[edge], m)
    return idx


def _phase_indices(sym: np.ndarray, m: int) -> np.ndarray:
    phi = np.arctan2(sym.imag.astype(np.float64), sym.real.astype(np.float64))
    u = ((1.0 / _TWO_PI) * m) * (phi - (_QUARTER_PI if m == 4 else 0.0))
    whole = np.trunc(u)
    nearest = np.trunc(u + np.copysign(0.49999999999999994, u))
    nearest = np.where(np.abs(u - whole) == 0.5, whole, nearest)
    nearest[np.isnan(nearest)] = 0.0
    return nearest.astype(np.int64) & (m - 1)


class Demapper:
    """Symbols to bits exactly as the receivers' demapper does, streaming: in differential mode
    the index step is taken across block boundaries (the first symbol is referenced to 0)."""

    def __init__(self, m: int, differential: bool):
        self.m, self.differential, self.prev = m, differential, 0

    def indices(self, sym: np.ndarray) -> np.ndarray:
        """Absolute decision indices (before differential decoding)."""
        return symbol_indices(sym, self.m)

    def bits(self, idx: np.ndarray) -> np.ndarray:
        if self.differential and len(idx):
            prev = np.concatenate(([self.prev], idx[:-1]))
            self.prev = int(idx[-1])
            idx = (idx - prev) % self.m
        return indices_to_bits(idx, self.m)


def truth_indices(name: str, m: int, start_symbol: int, count: int) -> np.ndarray:
    """Indices of symbols [start, start + count) of a burst whose bits are the named PRBS
    (the symbol sequence repeats every period of the PRBS, an odd number of symbols)."""
    table = _indices_table(name, m)
    return table[(start_symbol + np.arange(count)) % len(table)]


@functools.lru_cache(maxsize=8)
def _indices_table(name: str, m: int) -> np.ndarray:
    seq = prbs(name)
    k = BITS_PER_SYMBOL[m]
    bits = np.tile(seq, k)  # k periods hold exactly len(seq) symbols
    return bits_to_indices(bits, m)


# The numbers a PSK annotation (ostrel:kind "psk") carries about its burst, and what each must be.
PSK_FIELDS = {
    "ostrel:samples_per_symbol": ("a positive number", lambda v: v > 0),
    "ostrel:first_symbol_sample": ("a finite number", lambda v: True),
    "ostrel:symbol_rate": ("a positive number", lambda v: v > 0),
    "ostrel:freq_offset_hz": ("a finite number", lambda v: True),
    "ostrel:symbols": ("a whole number of symbols", lambda v: v >= 0 and float(v).is_integer()),
}
PSK_OPTIONAL = {"ostrel:clock_ppm": ("a finite number", lambda v: True)}


def check_truth_annotations(annotations: list, where: str) -> None:
    """Refuse PSK annotations whose truth a demodulation could not use (a missing or zero
    samples-per-symbol, a NaN first symbol, a clock offset given as text ...): the metadata is
    the user's input, reported in one line."""
    from .common import UserError

    for i, a in enumerate(annotations):
        if not isinstance(a, dict) or a.get("ostrel:kind") != "psk":
            continue
        for key, (what, ok) in (*PSK_FIELDS.items(), *PSK_OPTIONAL.items()):
            if key not in a:
                if key in PSK_FIELDS:
                    raise UserError(f"{where}: PSK annotation {i} has no {key}")
                continue
            v = a[key]
            number = isinstance(v, (int, float)) and not isinstance(v, bool)
            if not (number and np.isfinite(v) and ok(v)):
                raise UserError(f"{where}: PSK annotation {i}: {key} must be {what}, got {v!r}")


class BerCounter:
    """Bit errors of a received symbol-index stream against a burst's known symbols.

    The first ``window`` received indices (after lock) are aligned to the truth by correlation,
    which also resolves the carrier loop's M-fold phase ambiguity (absolute mode); from there on
    the stream is compared symbol by symbol, in constant memory."""

    def __init__(self, m: int, differential: bool, prbs_name: str, n_truth: int,
                 expect: int, search: int | None = None, window: int = 1024):
        self.m, self.differential, self.name = m, differential, prbs_name
        self.n_truth, self.expect, self.search, self.window = n_truth, expect, search, window
        self.pending: list[np.ndarray] = []
        self.pending_len = 0
        self.first_index = None  # receiver symbol index of pending[0][0]
        self.offset = None  # truth index = received index + offset
        self.rotation = 0
        self.bits = self.errors = 0
        self.prev_rx = self.prev_tx = None

    def push(self, first: int, idx: np.ndarray) -> None:
        """Received indices for receiver symbols first, first + 1, ..."""
        if self.offset is None:
            if self.first_index is None:
                self.first_index = first
            self.pending.append(idx.copy())
            self.pending_len += len(idx)
            if self.pending_len >= self.window:
                self._align()
            return
        self._compare(first, idx)

    def finish(self) -> None:
        if self.offset is None and self.pending_len >= 64:
            self._align()

    def _align(self) -> None:
        rx = np.concatenate(self.pending)
        self.pending, self.pending_len = [], 0
        first = self.first_index
        # Before lock the timing loop may have run anywhere within +-50 % of the symbol rate.
        search = self.search if self.search is not None else first // 2 + 256
        lo = max(0, first + self.expect - search)
        hi = min(self.n_truth, first + self.expect + search + len(rx))
        if hi - lo < len(rx) // 2:  # the window lies outside the burst: try the next one
            self.first_index = None
            return
        tx = truth_indices(self.name, self.m, lo, hi - lo)
        w = 2 * np.pi / self.m
        a, b = self._series(rx), self._series(tx)
        ua, ub = np.exp(1j * w * a), np.exp(1j * w * b)
        nfft = 1 << int(np.ceil(np.log2(len(ua) + len(ub))))
        c = np.fft.ifft(np.fft.fft(ub, nfft) * np.conj(np.fft.fft(ua, nfft)))
        # lag L pairs rx[k] with tx[k + L]; keep lags where at least half the shorter overlaps
        half = min(len(ua), len(ub)) // 2
        lags = np.arange(-(len(ua) - half), len(ub) - half + 1)
        best = int(lags[np.argmax(np.abs(c[lags % nfft]))])
        c_best = c[best % nfft]
        self.offset = lo + int(best) - first
        if not self.differential:
            self.rotation = int(np.round(np.angle(c_best) / w)) % self.m
        self.prev_rx = self.prev_tx = None
        self._compare(first, rx)

    def _series(self, idx: np.ndarray) -> np.ndarray:
        return np.diff(idx) % self.m if self.differential else idx

    def _compare(self, first: int, idx: np.ndarray) -> None:
        t0 = first + self.offset
        lo, hi = max(0, -t0), min(len(idx), self.n_truth - t0)
        if hi <= lo:
            return
        rx = idx[lo:hi]
        tx = truth_indices(self.name, self.m, t0 + lo, hi - lo)
        if self.differential:
            rxc = rx if self.prev_rx is None else np.concatenate((self.prev_rx, rx))
            txc = tx if self.prev_tx is None else np.concatenate((self.prev_tx, tx))
            self.prev_rx, self.prev_tx = rx[-1:], tx[-1:]
            rx, tx = np.diff(rxc) % self.m, np.diff(txc) % self.m
        else:
            rx = (rx + self.rotation) % self.m
        diff = gray(rx.astype(np.int64)) ^ gray(tx.astype(np.int64))
        self.errors += int(np.unpackbits(diff.astype(np.uint8)[:, None], axis=1).sum())
        self.bits += len(rx) * BITS_PER_SYMBOL[self.m]

    @property
    def ber(self) -> float | None:
        return self.errors / self.bits if self.bits else None
