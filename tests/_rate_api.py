"""ctypes declarations of the AGC, rate converter and down-converter ABI, shared by their tests."""

from __future__ import annotations

import ctypes

import numpy as np

from native import (Core, c_char_p, c_double, c_float, c_int, c_size, c_u32, c_u64, c_void_p, fn, lib)


class CF32(ctypes.Structure):
    _fields_ = [("re", c_float), ("im", c_float)]


P = c_void_p
c_int_p = ctypes.POINTER(c_int)
CF32_p = ctypes.POINTER(CF32)


def declare(module: str) -> ctypes.CDLL:
    L = lib(module)
    if getattr(L, "_rate_declared", False):
        return L
    # AGC
    fn(L, "agc_create", P, c_double, c_double, c_double)
    fn(L, "agc_destroy", None, P)
    fn(L, "agc_reset", None, P)
    fn(L, "agc_steps", None, P, P, P, c_size)
    fn(L, "agc_steps_per_sample", None, P, P, P, c_size)
    fn(L, "agc_get_applied_gain_db", c_double, P)
    fn(L, "agc_get_gain_db", c_double, P)
    fn(L, "agc_get_level", c_double, P)
    fn(L, "agc_set_block", None, P, c_u64)
    fn(L, "agc_set_update_every", None, P, c_u64)
    fn(L, "agc_set_clip_db", None, P, c_double)
    fn(L, "agc_set_telemetry", c_int, P, P, c_char_p, c_int)
    fn(L, "agc_settling_samples", c_size, c_double, c_double, c_double, c_double)
    fn(L, "settling_samples", c_size, c_double, c_double, c_double, c_double)
    fn(L, "agc_state_bytes", c_size, P)
    fn(L, "agc_get_state", None, P, c_void_p)
    fn(L, "agc_set_state", c_int, P, c_char_p)
    # Rate converter
    rc = "RateConverter_"
    fn(L, rc + "create", P, c_int, c_double)
    fn(L, rc + "create_matched", P, c_int, c_u32, c_size, c_size, c_double, c_double, c_double)
    fn(L, rc + "destroy", None, P)
    fn(L, rc + "reset", None, P)
    fn(L, rc + "set_rate", None, P, c_double)
    fn(L, rc + "get_rate", c_double, P)
    fn(L, rc + "execute", c_size, P, P, c_size, P, c_size)
    fn(L, rc + "execute_ctrl", c_size, P, P, c_size, P, c_size, c_double)
    fn(L, rc + "execute_ctrl_push", c_size, P, P, c_size, CF32, c_double)
    fn(L, rc + "execute_ctrl_push_tap", c_size, P, P, c_size, CF32_p, c_int_p, CF32, c_double)
    fn(L, rc + "execute_max_out", c_size, P)
    fn(L, rc + "execute_ctrl_max_out", c_size, P)
    fn(L, rc + "execute_ctrl_push_max_out", c_size, P)
    fn(L, rc + "enable_agc", c_int, P, c_double, c_double)
    fn(L, rc + "agc_ref_db", c_double, P)
    fn(L, rc + "agc_gain_db", c_double, P)
    fn(L, rc + "set_telemetry", c_int, P, P, c_char_p, c_int)
    fn(L, rc + "get_clipped", c_int, P)
    fn(L, rc + "gain", c_double, P)
    fn(L, rc + "num_stages", c_int, P)
    fn(L, rc + "stage_label", c_int, P, c_int, c_char_p, c_size)
    fn(L, rc + "stages_value", c_char_p, P, c_int)
    fn(L, rc + "num_bank_shape", c_int, P)
    fn(L, rc + "bank_shape_value", c_size, P, c_int)
    fn(L, rc + "get_bank_sps", c_double, P)
    fn(L, rc + "get_narrow_pulse", c_int, P)
    fn(L, rc + "convert", c_size, c_int, P, c_size, P, c_size, c_double)
    fn(L, rc + "state_bytes", c_size, P)
    fn(L, rc + "get_state", None, P, c_void_p)
    fn(L, rc + "set_state", c_int, P, c_char_p)
    # Down-converters (ddcr only where present)
    for pre, xin in (("ddc_", CF32), ("ddcr_", c_float)):
        if not hasattr(L, pre + "create"):
            continue
        fn(L, pre + "create", P, c_double, c_double)
        fn(L, pre + "create_matched", P, c_int, c_size, c_size, c_double, c_double, c_double, c_double)
        fn(L, pre + "destroy", None, P)
        fn(L, pre + "reset", None, P)
        fn(L, pre + "get_norm_freq", c_double, P)
        fn(L, pre + "set_norm_freq", None, P, c_double)
        fn(L, pre + "get_rate", c_double, P)
        fn(L, pre + "execute_max_out", c_size, P, c_size)
        fn(L, pre + "execute_ctrl_max_out", c_size, P, c_size)
        fn(L, pre + "execute_ctrl_push_max_out", c_size, P)
        fn(L, pre + "execute", c_size, P, P, c_size, P, c_size)
        fn(L, pre + "execute_ctrl", c_size, P, P, c_size, P, c_size, c_double, c_double)
        fn(L, pre + "execute_ctrl_push_tap2", c_size, P, P, c_size, CF32_p, c_int_p, CF32_p, xin, c_double,
           c_double, c_int_p)
        fn(L, pre + "execute_ctrl_push_tap", c_size, P, P, c_size, CF32_p, c_int_p, xin, c_double, c_double)
        fn(L, pre + "execute_ctrl_push", c_size, P, P, c_size, xin, c_double, c_double)
        fn(L, pre + "get_bank_sps", c_double, P)
        fn(L, pre + "get_clipped", c_int, P)
        fn(L, pre + "set_telemetry", c_int, P, P, c_char_p, c_int)
        fn(L, pre + "get_narrow_pulse", c_int, P)
        fn(L, pre + "state_bytes", c_size, P)
        fn(L, pre + "get_state", None, P, c_void_p)
        fn(L, pre + "set_state", c_int, P, c_char_p)
        fn(L, pre + "run", c_size, P, c_char_p, c_void_p, P, c_size, P, c_size)
    L._rate_declared = True
    return L


def cf32(z: complex) -> CF32:
    return CF32(float(np.real(z)), float(np.imag(z)))


def pc(a: np.ndarray) -> ctypes.c_void_p:
    """Data pointer of a contiguous array (None for an empty one is fine: counts are 0)."""
    assert a.flags.c_contiguous
    return ctypes.c_void_p(a.ctypes.data)


def tlm_capsule_ptr(tlm) -> int:
    """Raw ox_tlm pointer of an ostrel.telemetry.Telemetry."""
    cap = tlm._capsule
    get = ctypes.pythonapi.PyCapsule_GetPointer
    get.restype = ctypes.c_void_p
    get.argtypes = [ctypes.py_object, ctypes.c_char_p]
    return get(cap, b"ostrel.telemetry.ox_tlm")


class RC(Core):
    """A RateConverter through its exported API."""

    def __init__(self, module: str, *args, matched: bool = False):
        L = declare(module)
        Core.__init__(self, L, "RateConverter", *args, create="create_matched" if matched else "create")

    def execute(self, x: np.ndarray, cap: int | None = None) -> np.ndarray:
        x = np.ascontiguousarray(x, np.complex64)
        rate = self.call("get_rate")
        if cap is None:
            cap = int(len(x) * max(rate, 1.0)) + 8
        out = np.zeros(max(cap, 1), np.complex64)
        n = self.call("execute", pc(x), len(x), pc(out), cap)
        return out[:n].copy()

    def execute_ctrl(self, x: np.ndarray, ctrl: float = 0.0, cap: int | None = None) -> np.ndarray:
        x = np.ascontiguousarray(x, np.complex64)
        if cap is None:
            cap = int(len(x) * max(self.call("get_rate"), 1.0) * 1.1) + 16
        out = np.zeros(max(cap, 1), np.complex64)
        n = self.call("execute_ctrl", pc(x), len(x), pc(out), cap, ctrl)
        return out[:n].copy()

    def push(self, x: np.ndarray, ctrl: float = 0.0) -> np.ndarray:
        out = np.zeros(64, np.complex64)
        res = []
        for v in np.asarray(x, np.complex64):
            n = self.call("execute_ctrl_push", pc(out), 64, cf32(v), ctrl)
            res.append(out[:n].copy())
        return np.concatenate(res) if res else np.zeros(0, np.complex64)

    def labels(self) -> list[str]:
        return [self.call("stages_value", i).decode() for i in range(self.call("num_stages"))]
