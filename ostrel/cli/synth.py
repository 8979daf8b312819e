"""``ostrel synth``: a recording of known content, with that content in its SigMF annotations.

The scene (frequencies scale with the sample rate; figures for the default 1 MHz):

* two tones, +310 kHz at -25 dBFS and -370 kHz at -50 dBFS;
* a QPSK burst (``--mod`` changes it) nominally at +100 kHz, 50 kBd, root-raised-cosine 0.35,
  -20 dBFS, with a carrier offset of +1234 Hz and a symbol-clock offset of +40 ppm;
* a BPSK burst nominally at -150 kHz, 25 kBd, RRC 0.5, -26 dBFS, offsets -567 Hz and -80 ppm;
* a spread code (the 1023-chip prbs10 m-sequence, one chip per sample, at DC, -30 dBFS) in
  bursts of four code periods at 20 %, 50 % and 80 % of the recording;
* complex white noise at -45 dBFS (``--noise``).

The bursts' bits are the prbs15 sequence; the annotations give every burst's true carrier,
symbol rate, first-symbol instant and sequence, so ``demod`` can score its bits (BER) and
``detect`` and ``spectrum`` can be checked against the truth. A real datatype (``rf32_le``...)
writes a real recording: every carrier moves to fs/4 + f/2 (the tones and bursts stay inside
0 ... fs/2) and the spread code stays at DC. Beside the recording, ``<name>.code.npy`` holds
the spread code as a reference for ``detect --ref``.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

from .._waveforms import rrc_pulse
from . import recording as recmod
from .common import UserError, check_writable, progress_bar, stem_of
from .truth import MODS, _indices_table, phase_offset, prbs

CHUNK = 1 << 16  # generation unit: the noise of chunk c comes from its own seed (seed, c)
SPAN = 8  # root-raised-cosine pulse half-length, symbols


@dataclass
class Psk:
    label: str
    m: int
    freq: float  # nominal carrier, fraction of fs
    freq_offset: float  # carrier offset, fraction of fs
    rate: float  # nominal symbol rate, fraction of fs
    ppm: float  # symbol-clock offset
    beta: float
    level: float  # dBFS
    span: tuple  # (start, stop) as fractions of the recording


def scene(mod: str) -> dict:
    return {
        "tones": [(0.31, -25.0), (-0.37, -50.0)],
        "psk": [Psk(f"{mod} burst", MODS[mod], 0.10, 1.234e-3, 0.05, 40.0, 0.35, -20.0, (0.02, 0.98)),
                Psk("bpsk burst", 2, -0.15, -0.567e-3, 0.025, -80.0, 0.5, -26.0, (0.05, 0.95))],
        "code": ("prbs10", -30.0, 4, (0.2, 0.5, 0.8)),  # sequence, level, periods, burst starts
    }


class PulseTable:
    """The pulse on a fine grid, linearly interpolated (cheap per-sample evaluation)."""

    STEPS = 512

    def __init__(self, beta: float):
        self.grid = rrc_pulse(np.arange(-SPAN * self.STEPS, SPAN * self.STEPS + 2) / self.STEPS, beta)

    def __call__(self, t: np.ndarray) -> np.ndarray:
        x = (t + SPAN) * self.STEPS
        i = np.floor(x).astype(np.int64)
        np.clip(i, 0, len(self.grid) - 2, out=i)
        f = x - i
        v = self.grid[i] * (1 - f) + self.grid[i + 1] * f
        v[np.abs(t) > SPAN] = 0.0
        return v


class Burst:
    """One PSK burst placed in an n-sample recording; evaluates any range of samples."""

    def __init__(self, p: Psk, n: int, fs: float, real: bool):
        self.p, self.real = p, real
        f = p.freq + p.freq_offset
        self.f_nominal = 0.25 + 0.5 * p.freq if real else p.freq
        self.f_true = 0.25 + 0.5 * f if real else f
        self.sps = 1.0 / (p.rate * (1 + p.ppm * 1e-6))  # true samples per symbol
        self.start, self.stop = int(p.span[0] * n), int(p.span[1] * n)
        self.t0 = self.start + SPAN * self.sps  # centre of symbol 0, samples
        self.n_sym = max(0, int((self.stop - self.start - 2 * SPAN * self.sps) // self.sps))
        self.table = _indices_table("prbs15", p.m)
        self.points = np.exp(1j * (phase_offset(p.m) + 2 * np.pi * np.arange(p.m) / p.m))
        self.pulse = PulseTable(p.beta)
        self.amp = 10 ** (p.level / 20) * (math.sqrt(2) if real else 1.0)

    def render(self, a: int, b: int) -> np.ndarray | None:
        lo, hi = max(a, self.start), min(b, self.stop)
        if hi <= lo or self.n_sym == 0:
            return None
        n = np.arange(lo, hi, dtype=np.float64)
        u = (n - self.t0) / self.sps
        base = np.floor(u).astype(np.int64)
        acc = np.zeros(hi - lo, np.complex128)
        for j in range(-SPAN, SPAN + 2):
            k = base + j
            ok = (k >= 0) & (k < self.n_sym)
            if not ok.any():
                continue
            sym = self.points[self.table[np.where(ok, k, 0) % len(self.table)]]
            acc += np.where(ok, sym, 0) * self.pulse(u - k)
        acc *= self.amp * np.exp(2j * np.pi * self.f_true * n)
        out = np.zeros(b - a, np.complex128)
        out[lo - a:hi - a] = acc
        return out

    def annotation(self, fs: float, rf: float) -> dict:
        p, bw = self.p, self.p.rate * (1 + self.p.beta) * fs / 2
        mod = {2: "bpsk", 4: "qpsk", 8: "8psk"}[p.m]
        return {
            "core:sample_start": self.start, "core:sample_count": self.stop - self.start,
            "core:label": p.label, "core:freq_lower_edge": rf + self.f_true * fs - bw,
            "core:freq_upper_edge": rf + self.f_true * fs + bw,
            "core:comment": f"{mod} at {self.f_true * fs:+.1f} Hz, {p.rate * fs:g} Bd "
                            f"{p.ppm:+g} ppm, RRC {p.beta}, prbs15 bits",
            "ostrel:kind": "psk", "ostrel:mod": mod, "ostrel:m": p.m,
            "ostrel:freq_offset_hz": self.f_true * fs,
            "ostrel:nominal_freq_offset_hz": self.f_nominal * fs,
            "ostrel:symbol_rate": fs / self.sps, "ostrel:nominal_symbol_rate": p.rate * fs,
            "ostrel:clock_ppm": p.ppm, "ostrel:rrc_beta": p.beta, "ostrel:level_dbfs": p.level,
            "ostrel:prbs": "prbs15", "ostrel:first_symbol_sample": self.t0,
            "ostrel:samples_per_symbol": self.sps, "ostrel:symbols": self.n_sym,
        }


def spread_code(name: str = "prbs10") -> np.ndarray:
    """The spread code as complex64 chips of +-1."""
    return (1.0 - 2.0 * prbs(name)).astype(np.complex64)


def synthesize(n: int, fs: float, fmt: recmod.Format, mod: str, noise_dbfs: float, seed: int,
               rf: float):
    """(generator of float/complex chunks, annotations) of the scene over n samples."""
    sc = scene(mod)
    real = not fmt.complex
    bursts = [Burst(p, n, fs, real) for p in sc["psk"]]
    code_name, code_level, periods, starts = sc["code"]
    code = spread_code(code_name).real.astype(np.float64)
    L = len(code)
    code_starts = [int(s * n) for s in starts if int(s * n) + periods * L <= n]
    code_amp = 10 ** (code_level / 20)
    tones = [((0.25 + 0.5 * f) if real else f, lvl) for f, lvl in sc["tones"]]
    noise_amp = 10 ** (noise_dbfs / 20)

    def chunks():
        for a in range(0, n, CHUNK):
            b = min(n, a + CHUNK)
            t = np.arange(a, b, dtype=np.float64)
            x = np.zeros(b - a, np.complex128)
            for f, lvl in tones:
                amp = 10 ** (lvl / 20) * (math.sqrt(2) if real else 1.0)
                x += amp * np.exp(2j * np.pi * f * t + 1j * 0.7)
            for bu in bursts:
                y = bu.render(a, b)
                if y is not None:
                    x += y
            for s in code_starts:
                lo, hi = max(a, s), min(b, s + periods * L)
                if hi > lo:
                    x[lo - a:hi - a] += code_amp * code[(np.arange(lo, hi) - s) % L]
            rng = np.random.default_rng([seed, a // CHUNK])
            if real:
                y = x.real + noise_amp * rng.standard_normal(b - a)
            else:
                y = x + noise_amp / math.sqrt(2) * (rng.standard_normal(b - a)
                                                     + 1j * rng.standard_normal(b - a))
            yield y

    ann = []
    for f, lvl in tones:
        ann.append({"core:sample_start": 0, "core:sample_count": n, "core:label": "tone",
                    "core:freq_lower_edge": rf + f * fs - 1.0, "core:freq_upper_edge": rf + f * fs + 1.0,
                    "ostrel:kind": "tone", "ostrel:freq_offset_hz": f * fs, "ostrel:level_dbfs": lvl})
    ann += [bu.annotation(fs, rf) for bu in bursts if bu.n_sym]
    for s in code_starts:
        ann.append({"core:sample_start": s, "core:sample_count": periods * L,
                    "core:label": "spread code", "core:freq_lower_edge": rf - fs / 2,
                    "core:freq_upper_edge": rf + fs / 2, "ostrel:kind": "code",
                    "ostrel:code": code_name, "ostrel:code_length": L, "ostrel:periods": periods,
                    "ostrel:freq_offset_hz": 0.0, "ostrel:level_dbfs": code_level})
    return chunks(), ann


def add_arguments(p) -> None:
    from .common import hz_arg, positive_hz_arg

    p.add_argument("out", metavar="OUT.sigmf-meta",
                   help="recording to write (OUT.sigmf-meta and OUT.sigmf-data, plus OUT.code.npy)")
    p.add_argument("--fs", type=positive_hz_arg, default=1e6, metavar="HZ", help="sample rate, Hz (default 1M)")
    p.add_argument("--seconds", type=float, default=1.0, help="duration (default 1.0)")
    p.add_argument("--datatype", default="cf32_le",
                   help="sample type: cf32_le (default), cf64_le, ci16_le, ci8, cu8, or a real "
                        "one (rf32_le, ri16_le, ...) for a real recording")
    p.add_argument("--rf", type=hz_arg, default=433.92e6, metavar="HZ",
                   help="centre frequency written to the metadata (default 433.92M)")
    p.add_argument("--mod", choices=sorted(MODS), default="qpsk",
                   help="modulation of the first burst (default qpsk)")
    p.add_argument("--noise", type=float, default=-45.0, metavar="DBFS",
                   help="white-noise power, dBFS (default -45)")
    p.add_argument("--seed", type=int, default=1, help="noise seed (default 1)")


NOISE_RANGE = (-300.0, 60.0)  # dBFS: beyond, the noise power is 0 or not a number


def run(args) -> dict:
    fmt = recmod.parse_datatype(args.datatype)
    if not (args.seconds > 0 and math.isfinite(args.seconds)):
        raise UserError("--seconds must be positive")
    if args.seed < 0:
        raise UserError(f"--seed {args.seed}: the seed must not be negative")
    lo, hi = NOISE_RANGE
    if not lo <= args.noise <= hi:
        raise UserError(f"--noise {args.noise:g} dBFS: the noise power must lie between {lo:g} "
                        f"and {hi:g} dBFS")
    n = round(args.seconds * args.fs)
    if n < 1024:
        raise UserError(f"{n} samples is too short: ask for at least 1024 (--seconds, --fs)")
    meta_path, data_path = recmod.meta_and_data_paths(args.out)
    code_path = meta_path.with_name(stem_of(meta_path) + ".code.npy")
    check_writable(code_path, args.force)
    with recmod.RecordingWriter(meta_path, data_path, force=args.force) as w:
        w.expect(n * fmt.sample_bytes)
        chunks, ann = synthesize(n, args.fs, fmt, args.mod, args.noise, args.seed, args.rf)
        w.describe({"core:datatype": fmt.name, "core:sample_rate": float(args.fs),
                    "core:description": "ostrel synth: tones, PSK bursts and a spread code in "
                                        "noise, with their truth in the annotations",
                    "core:recorder": "ostrel synth", "ostrel:noise_dbfs": args.noise,
                    "ostrel:seed": args.seed},
                   [{"core:sample_start": 0, "core:frequency": float(args.rf)}], ann)
        with progress_bar(n, stem_of(meta_path), not args.quiet) as bar:
            for y in chunks:
                w.write(recmod.encode(y, fmt))
                bar.update(len(y))
        np.save(w.side(code_path), spread_code())
    return {"file": str(meta_path), "samples": n, "seconds": n / args.fs, "datatype": fmt.name,
            "fs": float(args.fs), "annotations": len(ann), "data": str(data_path),
            "code": str(code_path)}

