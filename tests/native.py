"""ctypes access to the exported C ABI of the built extension modules.

Core components without a Python type are tested through their unmangled exported symbols.
``lib("track")`` returns the module's shared object as a ``ctypes.CDLL``; ``fn(lib, name,
restype, *argtypes)`` declares and returns one function. Each module exports its own copy of the
shared components, so the same symbol may be looked up in several modules.
"""

from __future__ import annotations

import ctypes
import functools
import importlib

import numpy as np

c_size = ctypes.c_size_t
c_double = ctypes.c_double
c_float = ctypes.c_float
c_int = ctypes.c_int
c_u32 = ctypes.c_uint32
c_u64 = ctypes.c_uint64
c_void_p = ctypes.c_void_p
c_char_p = ctypes.c_char_p

OX_OK = 0
OX_EINVAL = -4


@functools.lru_cache(maxsize=None)
def lib(module: str) -> ctypes.CDLL:
    """The shared object of ``ostrel.<module>`` (track, analyzer, spectral, _telemetry)."""
    mod = importlib.import_module(f"ostrel.{module}")
    return ctypes.CDLL(mod.__file__)


def fn(library: ctypes.CDLL, name: str, restype, *argtypes):
    """Declare and return ``library.name`` with the given signature."""
    f = getattr(library, name)
    f.restype = restype
    f.argtypes = list(argtypes)
    return f


def ptr(a: np.ndarray) -> ctypes.c_void_p:
    """Data pointer of a C-contiguous array, for ``c_void_p`` arguments."""
    assert a.flags.c_contiguous
    return ctypes.c_void_p(a.ctypes.data)


def blob(size: int) -> ctypes.Array:
    """A zeroed byte buffer for get_state calls."""
    return (ctypes.c_uint8 * size)()


def core_pointer(obj) -> int:
    """The core pointer of a live Python wrapper (stored right after the object header), for
    calling the core's exported functions on the wrapper's own object."""
    return ctypes.c_void_p.from_address(id(obj) + object.__basicsize__).value


def tlm_pointer(tlm) -> int:
    """The ``ox_tlm`` context of an ``ostrel.telemetry.Telemetry``, for native attachments."""
    get = ctypes.pythonapi.PyCapsule_GetPointer
    get.restype = ctypes.c_void_p
    get.argtypes = [ctypes.py_object, ctypes.c_char_p]
    return get(tlm._capsule, b"ostrel.telemetry.ox_tlm")


class Core:
    """A core object created through its exported API and destroyed with the Python object.

    ``Core(lib("track"), "lo", 0.25)`` calls ``lo_create(0.25)``; ``obj.call("steps", ...)``
    calls ``lo_steps(ptr, ...)`` with the declared signature. Declare signatures first with
    :func:`fn` (any function used through ``call`` must have been declared).
    """

    def __init__(self, library: ctypes.CDLL, prefix: str, *create_args, create: str = "create"):
        self.lib = library
        self.prefix = prefix
        self.p = getattr(library, f"{prefix}_{create}")(*create_args)
        if not self.p:
            raise MemoryError(f"{prefix}_{create} returned NULL")

    def call(self, name: str, *args):
        return getattr(self.lib, f"{self.prefix}_{name}")(self.p, *args)

    def state(self) -> bytes:
        n = self.call("state_bytes")
        b = blob(n)
        self.call("get_state", b)
        return bytes(b)

    def set_state(self, data: bytes) -> int:
        return self.call("set_state", data)

    def close(self) -> None:
        if self.p:
            getattr(self.lib, f"{self.prefix}_destroy")(self.p)
            self.p = None

    def __del__(self):
        self.close()
