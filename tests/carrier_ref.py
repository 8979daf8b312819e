"""Reference implementations of the integrate-and-dump carrier loops in NumPy.

They follow the loops' arithmetic operation by operation (float32 where the loop works in
float32, Python floats where it works in double, the oscillator's shared sine table read from
the built module) so the tests can demand bit-identical prompts and estimates. The per-sample
part is vectorised per dump: the de-rotated samples of one dump are summed with a sequential
float32 accumulate (``np.add.accumulate`` is strictly left to right, unlike ``np.sum``). The
per-dump part is a plain Python loop. The benchmarks use them as the NumPy baseline.
"""

from __future__ import annotations

import ctypes
import math
from dataclasses import dataclass, field

import numpy as np

from reference import loop_gains, phase_inc  # noqa: F401 (re-exported)

TWO_PI = 6.283185307179586
INV_TWO_PI = 1.0 / TWO_PI
F32 = np.float32
EPS = F32(1e-12)
HALF_DOWN = 0.49999999999999994


def sine_table() -> np.ndarray:
    """The 65536-entry float32 sine table exported by ``ostrel.track`` (built on first use)."""
    from ostrel import track

    track.Costas()  # makes sure the table is built
    lib = ctypes.CDLL(track.__file__)
    arr = (ctypes.c_float * 65536).in_dll(lib, "lo_sin_lut")
    return np.ctypeslib.as_array(arr).copy()


@dataclass
class _Loop:
    """State shared by both reference loops."""

    tsamps: int
    bn: float
    zeta: float
    f0: float
    bn_fll: float
    lut: np.ndarray
    phase: int = 0
    inc: int = 0
    norm_freq: float = 0.0
    integ: float = 0.0
    kp: float = 0.0
    ki: float = 0.0
    have_prev: bool = False
    lock_metric: float = 0.0
    last_error: float = 0.0
    acc: np.ndarray = field(default_factory=lambda: np.zeros(0, np.complex64))

    def __post_init__(self):
        self.tsamps = max(int(self.tsamps), 1)
        self.kp, self.ki = loop_gains(self.bn, self.zeta)
        self.fll_gain = 4.0 * self.bn_fll
        self.phase = 0
        self.inc = phase_inc(self.f0)
        self.norm_freq = self.f0
        self.integ = self.f0 * TWO_PI * self.tsamps
        self.acc = np.zeros(0, np.complex64)  # samples of the dump in progress

    def _prompt(self, seg: np.ndarray) -> tuple[np.float32, np.float32]:
        """De-rotate one dump's samples and sum them sequentially in float32."""
        k = np.arange(len(seg), dtype=np.uint64)
        ph = ((self.phase + k * self.inc) & 0xFFFFFFFF).astype(np.uint32)
        idx = ph >> 16
        s = self.lut[idx]
        c = self.lut[(idx + 16384) & 0xFFFF]
        xi = seg.real.astype(F32)
        xq = seg.imag.astype(F32)
        tr = xi * c + xq * s
        ti = xq * c - xi * s
        self.phase = (self.phase + len(seg) * self.inc) & 0xFFFFFFFF
        # The accumulator starts from +0 (0 + -0 is +0: a dump of zero products is +0).
        pr = np.add.accumulate(np.concatenate([[F32(0)], tr]), dtype=F32)[-1]
        pi = np.add.accumulate(np.concatenate([[F32(0)], ti]), dtype=F32)[-1]
        return F32(pr), F32(pi)

    def _update(self, e: float, u: float) -> None:
        self.integ = self.ki * e + u
        self.norm_freq = self.integ / self.tsamps / TWO_PI
        self.inc = phase_inc(self.norm_freq)
        self.phase = (self.phase + phase_inc(INV_TWO_PI * self.kp * e)) & 0xFFFFFFFF

    def steps(self, x: np.ndarray) -> np.ndarray:
        x = np.concatenate([self.acc, np.asarray(x, np.complex64).ravel()])
        n_dumps = len(x) // self.tsamps
        out = np.empty(n_dumps, np.complex64)
        scale = F32(self.tsamps)
        for d in range(n_dumps):
            pr, pi = self._prompt(x[d * self.tsamps:(d + 1) * self.tsamps])
            self._dump(pr, pi)
            out[d] = complex(pr / scale, pi / scale)
        # The partial dump is kept as raw samples and re-rotated from the dump's start phase
        # once it completes.
        self.acc = x[n_dumps * self.tsamps:]
        return out


class CostasRef(_Loop):
    """Costas loop with the embedded lock detector (default tuning)."""

    def __init__(self, bn=0.05, zeta=0.707, init_norm_freq=0.0, tsamps=64, bn_fll=0.0, lut=None):
        super().__init__(tsamps, bn, zeta, init_norm_freq, bn_fll, sine_table() if lut is None else lut)
        self.prev = (F32(0), F32(0))
        self.up, self.down, self.n_up, self.n_down = 0.85, 0.78, 8, 32
        self.count = 0
        self.locked = False
        self.trace: list[tuple[float, float, float, float]] = []  # probes per dump

    def _dump(self, pr, pi):
        mag = F32(np.sqrt(F32(pr * pr + pi * pi)) + EPS)
        e = F32((pi if pr >= 0 else -pi) / mag)
        self.last_error = float(e)
        u = self.integ
        if self.fll_gain > 0 and self.have_prev:
            qr, qi = self.prev
            sgn = lambda v: F32(-1.0) if v < 0 else F32(1.0)  # noqa: E731
            cross = F32(F32(F32(qr * pi - qi * pr) * sgn(pr)) * sgn(qr))
            pmag = F32(np.sqrt(F32(qr * qr + qi * qi)) + EPS)
            u = self.integ + self.fll_gain * float(cross) / float(F32(pmag * mag))
        self.prev = (pr, pi)
        self.have_prev = True
        self._update(float(e), u)
        ratio = F32(abs(pr) / mag)
        self.lock_metric = (float(ratio) - self.lock_metric) * 0.1 + self.lock_metric
        s = self.lock_metric
        if not self.locked:
            if s > self.up:
                self.count += 1
                if self.count >= self.n_up:
                    self.locked, self.count = True, 0
            else:
                self.count = 0
        else:
            if not s >= self.down:
                self.count += 1
                if self.count >= self.n_down:
                    self.locked, self.count = False, 0
            else:
                self.count = 0
        self.trace.append((self.lock_metric, self.last_error, self.norm_freq, float(self.locked)))


class CarrierMpskRef(_Loop):
    """Decision-directed M-PSK carrier loop."""

    def __init__(self, bn=0.05, zeta=0.707, init_norm_freq=0.0, tsamps=64, bn_fll=0.0, m=4, lut=None):
        super().__init__(tsamps, bn, zeta, init_norm_freq, bn_fll, sine_table() if lut is None else lut)
        assert m in (2, 4, 8)
        self.m = m
        self.prev = (F32(0), F32(0))
        self.prev_mag = 0.0

    def _dump(self, pr, pi):
        m = self.m
        off = 0.7853981633974483 if m == 4 else 0.0
        phi = math.atan2(float(pi), float(pr))
        u = (INV_TWO_PI * m) * (phi - off)
        whole = math.trunc(u)
        nearest = whole if abs(u - whole) == 0.5 else math.trunc(u + math.copysign(HALF_DOWN, u))
        idx = int(nearest) & (m - 1)
        alpha = idx * TWO_PI / m + off
        s, c = F32(math.sin(alpha)), F32(math.cos(alpha))
        cr = F32(pr * c + pi * s)
        ci = F32(pi * c - pr * s)
        mag = F32(np.sqrt(F32(pr * pr + pi * pi)) + EPS)
        e = float(ci) / float(mag)
        self.last_error = e
        u = self.integ
        if self.fll_gain > 0 and self.have_prev:
            qr, qi = self.prev
            u = self.integ + self.fll_gain * float(F32(ci * qr - qi * cr)) / (self.prev_mag * float(mag))
        self.prev = (cr, ci)
        self.have_prev = True
        self.prev_mag = float(mag)
        self._update(e, u)
        self.lock_metric = (float(F32(cr / mag)) - self.lock_metric) * 0.1 + self.lock_metric


# ---------------------------------------------------------------------------------------------
# Signals and loop theory shared by the carrier-loop tests.
# ---------------------------------------------------------------------------------------------
def psk_symbols(m: int, n: int, rng: np.random.Generator) -> np.ndarray:
    """Unit M-PSK symbols on the loops' constellations (QPSK at odd multiples of 45 degrees)."""
    off = np.pi / 4 if m == 4 else 0.0
    return np.exp(1j * (2 * np.pi * rng.integers(0, m, n) / m + off))


def psk_signal(m: int, nsym: int, tsamps: int, freq: float = 0.0, esn0_db: float | None = None,
               phase: float = 0.0, seed: int = 0):
    """Rectangular-pulse M-PSK at ``tsamps`` samples per symbol (aligned with the dumps), with a
    carrier offset ``freq`` (cycles per sample) and complex white noise at ``esn0_db`` per
    symbol. Returns (x complex64, clean signal complex128, symbols)."""
    rng = np.random.default_rng(seed)
    sym = psk_symbols(m, nsym, rng)
    clean = np.repeat(sym, tsamps) * np.exp(1j * (2 * np.pi * freq * np.arange(nsym * tsamps) + phase))
    x = clean
    if esn0_db is not None:
        sigma2 = tsamps / 10 ** (esn0_db / 10)  # per-sample noise power for that Es/N0
        x = clean + (rng.normal(size=clean.size) + 1j * rng.normal(size=clean.size)) * math.sqrt(sigma2 / 2)
    return x.astype(np.complex64), clean, sym


def closed_loop_noise_gain(bn: float, zeta: float, n: int = 20000) -> float:
    """Sum of squares of the impulse response from discriminator noise to oscillator phase of
    the dumped loop: theta[k+1] = theta[k] + integ[k-1] + kp e[k], integ[k] = integ[k-1] + ki e[k].
    The steady-state phase variance is this times the discriminator noise variance."""
    kp, ki = loop_gains(bn, zeta)
    theta = integ = 0.0
    h = np.empty(n)
    for k in range(n):
        e = (1.0 if k == 0 else 0.0) - theta
        theta = theta + integ + kp * e
        integ = integ + ki * e
        h[k] = theta
    return float(np.sum(h * h))


def tracked_phase_error(loop, clean: np.ndarray, x: np.ndarray, sym: np.ndarray, m: int,
                        tsamps: int) -> np.ndarray:
    """Run ``loop`` dump by dump on ``x`` and return, per dump, the oscillator's true phase
    error against the noise-free signal (modulo the M-fold ambiguity). The oscillator phase and
    increment are read from the state blob (payload offsets 0 and 4) before each dump."""
    nsym = len(sym)
    ph0 = np.empty(nsym, np.uint64)
    inc = np.empty(nsym, np.uint64)
    for k in range(nsym):
        st = np.frombuffer(loop.get_state(), np.uint32, 2, 16)
        ph0[k], inc[k] = st
        loop.steps(x[k * tsamps:(k + 1) * tsamps])
    j = np.arange(tsamps, dtype=np.uint64)
    words = (ph0[:, None] + j[None, :] * inc[:, None]) & 0xFFFFFFFF
    nco = words.astype(np.float64) * (2 * np.pi / 2**32)
    prompt = (clean.reshape(nsym, tsamps) * np.exp(-1j * nco)).mean(axis=1)
    return np.angle((prompt * np.conj(sym)) ** m) / m


def second_order_step(delta: float, bn: float, zeta: float, k: np.ndarray) -> np.ndarray:
    """Phase error of an underdamped continuous second-order loop after a phase step ``delta``,
    sampled at update indices ``k`` (natural frequency from the loop filter's gain formula)."""
    wn = (bn * 8 * zeta) / (zeta * zeta * 4 + 1)
    wd = wn * math.sqrt(1 - zeta * zeta)
    return delta * np.exp(-zeta * wn * k) * (np.cos(wd * k) - zeta / math.sqrt(1 - zeta * zeta) * np.sin(wd * k))


def fuzz_dump_loop_blobs(loop, x, payload_end: int, n_acc_offset: int, rng, trials: int = 400,
                         check=None) -> int:
    """Mutates the payload of an integrate-and-dump loop's blob (wholly random every fourth
    trial, a few bytes below ``payload_end`` otherwise): each blob is either rejected with the
    loop unchanged, or restored and then yields exactly floor((n_acc + 64) / tsamps) prompts on
    64 more samples (and passes ``check(loop)`` when given). Returns the number of accepted blobs."""
    good = loop.get_state()
    accepted = 0
    for trial in range(trials):
        b = bytearray(good)
        if trial % 4 == 0:
            b[16:] = rng.integers(0, 256, len(b) - 16, dtype=np.uint8).tobytes()
        else:
            for i in rng.integers(16, payload_end, rng.integers(1, 6)):
                b[i] = int(rng.integers(0, 256))
        before = loop.get_state()
        try:
            loop.set_state(bytes(b))
        except ValueError:
            assert loop.get_state() == before
            continue
        accepted += 1
        n_acc = int(np.frombuffer(bytes(b), np.uint64, 1, 16 + n_acc_offset)[0])
        tsamps = int(np.frombuffer(bytes(b), np.uint64, 1, 16 + 64)[0])
        assert len(loop.steps(x[:64])) == (n_acc + 64) // tsamps
        if check:
            check(loop)
        loop.set_state(good)
    return accepted
