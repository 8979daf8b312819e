"""libostrel, the shared library for C and C++ callers: its exports, its independence from
Python, and the scalar path of the vector kernels against the vector path, bit for bit.

The library and the scalar-kernel check library (the vector-kernel sources compiled on their
scalar path, linked against libostrel for the rest) are built beside the extension modules by
`make build`, in build/py (OSTREL_BUILD_DIR selects another build, as `make sanitize` does).
The C and C++ example programs, built against the installed library and run by `make test`,
cover the headers, pkg-config and CMake files.
"""

from __future__ import annotations

import ctypes
import os
import pathlib
import re
import shutil
import subprocess
import sys

import numpy as np
import pytest

from native import c_double, c_size, c_u64, c_void_p, fn, lib, ptr
from rate_stages_util import Core, declare, random_cf32

ROOT = pathlib.Path(__file__).resolve().parent.parent
BUILD = pathlib.Path(os.environ.get("OSTREL_BUILD_DIR", ROOT / "build" / "py"))
LIBOSTREL = BUILD / "libostrel.so"
SCALAR = BUILD / "libostrel_scalar_check.so"

pytestmark = pytest.mark.skipif(not LIBOSTREL.exists() or not SCALAR.exists(),
                                reason=f"libostrel not built in {BUILD} (`make build` builds it)")


def dynamic_symbols(path, *flags) -> set[str]:
    """Dynamic symbols of a shared object, less the ones a sanitizer build adds (__odr_asan.*,
    __asan_*, ...): reserved names no caller links against."""
    out = subprocess.run(["nm", "-D", *flags, str(path)], check=True, capture_output=True,
                         text=True).stdout
    names = {line.split()[-1].split("@")[0] for line in out.splitlines() if line.strip()}
    return {n for n in names if not n.startswith("__")}


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm (binutils) not installed")
def test_exports_are_the_core_abi_of_the_modules():
    """libostrel exports exactly the unmangled core functions the extension modules export
    (their module entry points aside), nothing mangled, and needs no Python symbol."""
    ours = dynamic_symbols(LIBOSTREL, "--defined-only") - {"OSTREL_0"}
    modules = set()
    for name in ("track", "analyzer", "spectral", "_telemetry"):
        modules |= dynamic_symbols(lib(name)._name, "--defined-only")
    assert ours == {s for s in modules if not s.startswith("PyInit_")}
    assert not [s for s in ours if s.startswith("_Z")]
    undefined = dynamic_symbols(LIBOSTREL, "--undefined-only")
    assert not [s for s in undefined if s.startswith(("Py", "_Py"))]
    needed = subprocess.run(["readelf", "-d", str(LIBOSTREL)], check=True, capture_output=True,
                            text=True).stdout
    assert "libpython" not in needed
    assert "Library soname: [libostrel.so.0." in needed


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm (binutils) not installed")
def test_generated_headers_declare_every_export():
    """The C headers generated from the core headers declare every exported function and table
    once, and nothing the library does not export."""
    declared = []
    for header in sorted((BUILD / "include" / "ostrel").glob("*.h")):
        text = header.read_text().split("namespace ostrel")[0]  # the C part
        text = re.sub(r"/\*.*?\*/", "", text, flags=re.S)
        text = re.sub(r"^#.*$|typedef struct[^;]*;|enum \{[^}]*\};", "", text, flags=re.M)
        for decl in text.split(";"):
            m = re.search(r"([A-Za-z_]\w*)\s*(\(|\[\])", decl)
            if m:
                declared.append(m.group(1))
    assert len(declared) == len(set(declared))
    assert set(declared) == dynamic_symbols(LIBOSTREL, "--defined-only") - {"OSTREL_0"}


def test_loads_and_runs_in_a_process_without_ostrel_modules():
    """dlopen from a fresh interpreter that imported none of the modules, and a call."""
    code = ("import ctypes, sys; L = ctypes.CDLL(sys.argv[1]);"
            "L.kaiser_beta.restype = ctypes.c_double; L.kaiser_beta.argtypes = [ctypes.c_double];"
            "print(L.kaiser_beta(60.0)); print(sorted(m for m in sys.modules if 'ostrel' in m))")
    out = subprocess.run([sys.executable, "-I", "-c", code, str(LIBOSTREL)], check=True,
                         capture_output=True, text=True).stdout.split("\n")
    assert float(out[0]) == pytest.approx(0.1102 * (60.0 - 8.7)) and out[1] == "[]"


# ---------------------------------------------------------------------------------------------
# Scalar path against vector path
# ---------------------------------------------------------------------------------------------
@pytest.fixture(scope="module")
def paths():
    vector = declare(ctypes.CDLL(str(LIBOSTREL)))
    scalar = declare(ctypes.CDLL(str(SCALAR)))
    for L in (vector, scalar):
        fn(L, "dll_create", c_void_p, c_void_p, c_size, c_u64, c_u64, c_double, c_double,
           c_double, c_double)
        fn(L, "dll_destroy", None, c_void_p)
        fn(L, "dll_steps", c_size, c_void_p, c_void_p, c_size, c_void_p, c_size)
        fn(L, "dll_steps_max_out", c_size, c_void_p)
        fn(L, "dll_state_bytes", c_size, c_void_p)
        fn(L, "dll_get_state", None, c_void_p, c_void_p)
    return vector, scalar


def awkward(rng, n):
    """Complex samples with every float class the kernels meet: normal values, zeros of both
    signs, subnormals, huge values, infinities and NaN."""
    x = random_cf32(rng, n, 3.0).view(np.float32)
    special = np.array([0.0, -0.0, 1e-40, -1e-42, 3e38, -3e38, np.inf, -np.inf, np.nan, 2.5, -2.5,
                        1.9999, -2.0001], np.float32)
    pick = rng.random(x.size) < 0.05
    x[pick] = rng.choice(special, int(pick.sum()))
    return x.view(np.complex64)


def canon(data: bytes) -> bytes:
    """The bytes with every float32-aligned NaN pattern made one NaN: both paths give NaN where
    NaN arises, but which operand's NaN an add passes on (its sign and payload) is the
    compiler's choice on either path."""
    f = np.frombuffer(data + bytes(-len(data) % 4), np.float32).copy()
    f[np.isnan(f)] = np.float32("nan")
    return f.tobytes()


def run_stage(L, prefix, create, args, method, x, growth, blocks):
    """Outputs and final state blob of one object fed `x` in the given blocks."""
    obj = Core(L, prefix, *args, create=create)
    out = []
    for a, b in zip(blocks[:-1], blocks[1:]):
        y = np.zeros(int((b - a) * growth) + 4, np.complex64)
        k = obj.call(method, ptr(x[a:b]), b - a, ptr(y), len(y))
        out.append(y[:k])
    state = obj.state()
    obj.close()
    return np.concatenate(out), state


def stage_cases(rng, keep):
    """(prefix, constructor, its arguments, block method, outputs per input) covering the tail
    lengths of each kernel; `keep` holds the tables while the objects copy them."""
    for T in (1, 2, 3, 5, 8, 11, 19, 33):
        real, cplx = rng.standard_normal(T).astype(np.float32), random_cf32(rng, T)
        keep += [real, cplx]
        yield "fir", "create_real", (ptr(real), T), "execute", 1.0
        yield "fir", "create", (ptr(cplx), T), "execute", 1.0
    for T in (1, 3, 6, 7, 12, 19):
        bank = rng.standard_normal(32 * T).astype(np.float32)
        keep.append(bank)
        for rate in (1.37, 0.61):
            yield "resamp", "create_custom", (32, T, ptr(bank), rate), "execute", rate
    for n in (3, 7, 11, 19, 23, 31):
        table = rng.standard_normal(n).astype(np.float32) * 0.2
        keep.append(table)
        yield "hbdecim", "create", (n, ptr(table)), "execute", 0.5
    for R in (2, 4, 16, 64):
        yield "cic", "create", (R,), "decimate", 1.0


def test_scalar_kernels_give_the_vector_bits(paths):
    """FIR (real and complex taps), resampler (both directions), halfband and CIC decimators:
    outputs and state blobs of the scalar build equal the vector build's, on inputs with NaN,
    infinities, subnormals and clipping values, in blocks of every tail length."""
    rng = np.random.default_rng(16)
    x = awkward(rng, 3000)
    blocks = [0, 1, 2, 5, 12, 29, 64, 200, 777, 1500, 3000]
    keep = []
    for prefix, create, args, method, growth in stage_cases(rng, keep):
        (yv, sv), (ys, ss) = (run_stage(L, prefix, create, args, method, x, growth, blocks)
                              for L in paths)
        assert canon(yv.tobytes()) == canon(ys.tobytes()) and len(yv) > 0, (prefix, create, growth)
        assert canon(sv) == canon(ss), (prefix, create, growth)


@pytest.mark.parametrize("L,sps,segments,spacing", [(127, 2, 1, 0.5), (63, 3, 4, 0.3),
                                                    (31, 1, 1, 1.75)])
def test_scalar_dll_correlators_give_the_vector_bits(paths, L, sps, segments, spacing):
    """The DLL's four-lane correlator sums on both paths: the dyadic (exact) and the class
    table tap banks."""
    rng = np.random.default_rng(L)
    code = rng.integers(0, 2, L).astype(np.uint8)
    chips = np.where(code == 1, -1.0, 1.0)
    x = (np.repeat(np.tile(chips, 20), sps) + 0.5 * (rng.standard_normal(20 * L * sps)
                                                      + 1j * rng.standard_normal(20 * L * sps)))
    x = np.ascontiguousarray(np.roll(x, 5), np.complex64)
    got = []
    for lib_ in paths:
        d = lib_.dll_create(ptr(code), L, sps, segments, 0.0, 0.02, 0.707, spacing)
        y = np.zeros(lib_.dll_steps_max_out(d) + len(x), np.complex64)
        k = lib_.dll_steps(d, ptr(x), len(x), ptr(y), len(y))
        state = (ctypes.c_uint8 * lib_.dll_state_bytes(d))()
        lib_.dll_get_state(d, state)
        lib_.dll_destroy(d)
        got.append((canon(y[:k].tobytes()), canon(bytes(state))))
    assert got[0] == got[1] and len(got[0][0]) > 0
