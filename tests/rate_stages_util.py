"""Shared ctypes declarations and helpers for the rate-conversion stage tests (FIR, resampler,
halfband decimators, CIC): signatures of the exported symbols, array plumbing, random block
splits and state-blob mutation."""

from __future__ import annotations

import ctypes

import numpy as np

from native import (Core, blob, c_double, c_float, c_int, c_size, c_u32, c_void_p, fn, lib, ptr)


class CF32(ctypes.Structure):
    """ox_cf32 passed by value."""

    _fields_ = [("re", ctypes.c_float), ("im", ctypes.c_float)]


def cf(z: complex) -> CF32:
    return CF32(np.float32(z.real), np.float32(z.imag))


_P = c_void_p

SIGS = {
    # FIR and Kaiser design
    "fir_create": (_P, _P, c_size),
    "fir_create_real": (_P, _P, c_size),
    "fir_destroy": (None, _P),
    "fir_reset": (None, _P),
    "fir_get_num_taps": (c_size, _P),
    "fir_get_is_real": (c_int, _P),
    "fir_dc_gain": (c_double, _P),
    "fir_state_bytes": (c_size, _P),
    "fir_get_state": (None, _P, _P),
    "fir_set_state": (c_int, _P, ctypes.c_char_p),
    "fir_execute_max_out": (c_size, _P),
    "fir_execute": (c_size, _P, _P, c_size, _P),
    "kaiser_beta": (c_double, c_double),
    "kaiser_num_taps": (c_int, c_int, c_double, c_double, c_double),
    # resampler
    "resamp_create": (_P, c_double),
    "resamp_create_custom": (_P, c_size, c_size, _P, c_double),
    "resamp_destroy": (None, _P),
    "resamp_reset": (None, _P),
    "resamp_get_rate": (c_double, _P),
    "resamp_set_rate": (None, _P, c_double),
    "resamp_get_num_phases": (c_size, _P),
    "resamp_get_num_taps": (c_size, _P),
    "resamp_get_delay": (c_double, _P),
    "resamp_dc_gain": (c_double, _P),
    "resamp_get_ctrl_acc": (c_double, _P),
    "resamp_interp_inputs_needed": (c_size, _P, c_size),
    "resamp_interp_fill": (c_size, _P, _P, _P, c_size),
    "resamp_execute": (c_size, _P, _P, c_size, _P, c_size),
    "resamp_execute_ctrl_push": (c_size, _P, _P, c_size, CF32, c_double),
    "resamp_execute_ctrl": (c_size, _P, _P, _P, c_size, _P, c_size),
    "resamp_state_bytes": (c_size, _P),
    "resamp_get_state": (None, _P, _P),
    "resamp_set_state": (c_int, _P, ctypes.c_char_p),
    # halfband decimators
    "hbdecim_create": (_P, c_size, _P),
    "hbdecim_destroy": (None, _P),
    "hbdecim_reset": (None, _P),
    "hbdecim_get_rate": (c_double,),
    "hbdecim_get_num_taps": (c_size, _P),
    "hbdecim_dc_gain": (c_double, _P),
    "hbdecim_execute": (c_size, _P, _P, c_size, _P, c_size),
    "hbdecim_state_bytes": (c_size, _P),
    "hbdecim_get_state": (None, _P, _P),
    "hbdecim_set_state": (c_int, _P, ctypes.c_char_p),
    "hbdecim_r2c_create": (_P, c_size, _P),
    "hbdecim_r2c_destroy": (None, _P),
    "hbdecim_r2c_reset": (None, _P),
    "hbdecim_r2c_get_rate": (c_double,),
    "hbdecim_r2c_get_num_taps": (c_size, _P),
    "hbdecim_r2c_execute": (c_size, _P, _P, c_size, _P, c_size),
    "hbdecim_r2c_state_bytes": (c_size, _P),
    "hbdecim_r2c_get_state": (None, _P, _P),
    "hbdecim_r2c_set_state": (c_int, _P, ctypes.c_char_p),
    # CIC
    "cic_create": (_P, c_u32),
    "cic_destroy": (None, _P),
    "cic_reset": (None, _P),
    "cic_reconfigure": (None, _P, c_u32),
    "cic_dc_gain": (c_double, _P),
    "cic_decimate_max_out": (c_size, _P),
    "cic_decimate": (c_size, _P, _P, c_size, _P, c_size),
    "cic_state_bytes": (c_size, _P),
    "cic_get_state": (None, _P, _P),
    "cic_set_state": (c_int, _P, ctypes.c_char_p),
    "ciccompmf": (None, _P, c_u32, c_u32, c_u32),
}

MODULES = ("track", "analyzer")


def load(module: str = "track") -> ctypes.CDLL:
    """The module's shared object with every rate-stage symbol declared."""
    return declare(lib(module))


def declare(L: ctypes.CDLL) -> ctypes.CDLL:
    """Declares every rate-stage symbol on a shared object exporting them."""
    for name, (res, *args) in SIGS.items():
        fn(L, name, res, *args)
    return L


def cf32(x) -> np.ndarray:
    return np.ascontiguousarray(x, dtype=np.complex64)


def random_cf32(rng: np.random.Generator, n: int, scale: float = 1.0) -> np.ndarray:
    return cf32(scale * (rng.standard_normal(n) + 1j * rng.standard_normal(n)) / np.sqrt(2))


def split_points(rng: np.random.Generator, n: int, max_block: int) -> list[int]:
    """Random cut points 0 = c0 < ... < ck = n with blocks of 0 ... max_block samples."""
    cuts = [0]
    while cuts[-1] < n:
        cuts.append(min(n, cuts[-1] + int(rng.integers(0, max_block + 1))))
    return cuts


def mutate_blobs(good: bytes, rng: np.random.Generator, count: int = 200):
    """Random mutations of a valid blob (header kept valid so the payload checks are reached):
    single-byte flips, random words at random offsets, and whole random payloads."""
    for i in range(count):
        b = bytearray(good)
        kind = i % 3
        if kind == 0:
            pos = int(rng.integers(16, len(b)))
            b[pos] ^= int(rng.integers(1, 256))
        elif kind == 1:
            pos = int(rng.integers(16, max(17, len(b) - 8)))
            b[pos:pos + 8] = rng.integers(0, 256, 8, dtype=np.uint8).tobytes()[: len(b) - pos]
        else:
            b[16:] = rng.integers(0, 256, len(b) - 16, dtype=np.uint8).tobytes()
        yield bytes(b)


def crafted_counters(good: bytes):
    """(blob, acceptable) pairs setting the controlled-mode counters (skip, backlog) of every
    resampler blob embedded in `good` (or `good` itself): a skip count or a backlog no stream
    can leave (the longest step between outputs is 10^6 inputs, plus a carry; a backlog beyond
    that many inputs pushed without output room) must be refused, since either would make each
    push count down billions of times; counts up to that bound are accepted."""
    at = good.find(b"RSMP")
    while at >= 0:
        for skip, backlog, ok in ((0xFFFFFFFE, 0xFFFFFFFF, False), (1000002, 0, False),
                                  (1000001, 0xFFFFFFFF, False), (0, 1000002, False),
                                  (1000001, 1000001, True)):
            b = bytearray(good)
            b[at + 32:at + 40] = skip.to_bytes(4, "little") + backlog.to_bytes(4, "little")
            yield bytes(b), ok
        at = good.find(b"RSMP", at + 4)


def header_mutations(good: bytes):
    """Blobs with a bad magic, version, flag byte or length field (all must be rejected)."""
    for pos, val in ((0, good[0] ^ 0x20), (3, good[3] ^ 1), (4, good[4] + 1), (5, 1), (6, 0),
                     (6, 2), (8, good[8] ^ 4), (9, good[9] + 1), (11, 1)):
        b = bytearray(good)
        b[pos] = val & 0xFF
        yield bytes(b)


def accepted_header_variants(good: bytes):
    """Blobs differing only in bytes the header check never examines (7 and 12..15)."""
    for pos in (7, 12, 13, 14, 15):
        b = bytearray(good)
        b[pos] ^= 0x5A
        yield bytes(b)


__all__ = ["CF32", "Core", "MODULES", "accepted_header_variants", "blob", "c_float", "cf",
           "cf32", "crafted_counters", "declare", "header_mutations", "load", "mutate_blobs", "ptr",
           "random_cf32", "split_points"]
