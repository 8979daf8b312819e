"""Rate conversion tour: a down-converter brings a tone at an offset to near 0 Hz and decimates
it by an odd ratio; the rate converter's stage plans; the spurious-free range of the result.

The rate-conversion components are core objects without Python types; the tour calls their
exported C functions through ctypes on the ``ostrel.track`` module's shared object.
"""

from __future__ import annotations

import ctypes

import numpy as np

from .. import track


def _api() -> ctypes.CDLL:
    lib = ctypes.CDLL(track.__file__)
    P, S, D, I = ctypes.c_void_p, ctypes.c_size_t, ctypes.c_double, ctypes.c_int
    for name, res, args in [
        ("ddc_create", P, [D, D]), ("ddc_destroy", None, [P]), ("ddc_execute", S, [P, P, S, P, S]),
        ("RateConverter_create", P, [I, D]), ("RateConverter_destroy", None, [P]),
        ("RateConverter_num_stages", I, [P]), ("RateConverter_stages_value", ctypes.c_char_p, [P, I]),
        ("RateConverter_gain", D, [P]),
    ]:
        f = getattr(lib, name)
        f.restype, f.argtypes = res, args
    return lib


def _plan(lib, rate: float, comp: int = 0) -> str:
    rc = lib.RateConverter_create(comp, rate)
    try:
        n = lib.RateConverter_num_stages(rc)
        return " -> ".join(lib.RateConverter_stages_value(rc, i).decode() for i in range(n))
    finally:
        lib.RateConverter_destroy(rc)


def _sfdr(y: np.ndarray) -> tuple[float, float]:
    """Spurious-free range (dB) and frequency of the strongest tone, 4-term Blackman-Harris."""
    n = len(y)
    t = 2 * np.pi * np.arange(n) / (n - 1)
    w = 0.35875 - 0.48829 * np.cos(t) + 0.14128 * np.cos(2 * t) - 0.01168 * np.cos(3 * t)
    p = np.abs(np.fft.fft(y * w)) ** 2
    k = int(np.argmax(p))
    d = (np.arange(n) - k) % n
    rest = np.where((d <= 8) | (d >= n - 8), 0.0, p)
    return 10 * np.log10(p[k] / rest.max()), float(np.fft.fftfreq(n)[k])


def run() -> None:
    lib = _api()
    print("== Rate conversion: down-convert a tone and decimate by 25")
    rate, offset, f_out = 1 / 25, 0.21, 0.05
    n = 26 * 4096 + 2000
    k = np.arange(n)
    x = (0.5 * np.exp(2j * np.pi * (offset + f_out * rate) * k)).astype(np.complex64)
    out = np.empty(n, np.complex64)
    d = lib.ddc_create(-offset, rate)
    try:
        m = lib.ddc_execute(d, x.ctypes.data, n, out.ctypes.data, n)
    finally:
        lib.ddc_destroy(d)
    y = out[:m][-4096:]
    sfdr, f = _sfdr(y)
    print(f"  tone at {offset + f_out * rate:+.4f} cycles/sample, LO at {-offset:+.4f}: {n} in -> {m} out")
    print(f"  output tone at {f:+.4f} cycles/output sample (expected {f_out:+.4f}), "
          f"amplitude {np.mean(np.abs(y)):.4f}, spurious-free range {sfdr:.1f} dB")
    print("  stage plans:")
    for r in (1 / 2, 1 / 4, 1 / 8, 1 / 3, 1 / 10, 1 / 12, 1 / 25, 0.37, 1 / 4096, 1.6):
        print(f"    rate {r:<12.6g} {_plan(lib, r)}")
    print(f"    rate 1/10 with compensation: {_plan(lib, 0.1, 1)}")
