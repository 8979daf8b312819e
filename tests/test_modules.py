"""The extension modules: import, type tables, and each module's own copy of shared code."""

import ctypes
import subprocess
import sys

import pytest

from native import lib

MODULES = ("track", "analyzer", "spectral")


def test_all_modules_import_together_in_one_process():
    code = ("import ostrel.track, ostrel.analyzer, ostrel.spectral, ostrel.telemetry, numpy;"
            "print(numpy.__version__)")
    out = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True, check=True,
                         cwd="/")
    assert out.stdout.strip()


def test_shared_components_are_exported_by_each_module_at_distinct_addresses():
    """track and analyzer both carry the oscillator table and the telemetry ring: each module
    exports its own copy, so the same symbol resolves to different addresses."""
    addrs = {}
    for module in ("track", "analyzer"):
        L = lib(module)
        lut = ctypes.c_float.in_dll(L, "lo_sin_lut")
        addrs[module] = (ctypes.addressof(lut), ctypes.cast(L.ox_tlm_create, ctypes.c_void_p).value)
    assert addrs["track"][0] != addrs["analyzer"][0]
    assert addrs["track"][1] != addrs["analyzer"][1]
    # the telemetry owner module has its own ring code too
    assert ctypes.cast(lib("_telemetry").ox_tlm_create, ctypes.c_void_p).value not in addrs["track"]


def test_spectral_does_not_carry_the_tracking_components():
    with pytest.raises(AttributeError):
        lib("spectral").lo_create  # noqa: B018
    with pytest.raises(AttributeError):
        lib("analyzer").loop_filter_create  # noqa: B018


def exported(module):
    """Dynamic symbols defined by the module's shared object."""
    path = lib(module)._name
    out = subprocess.run(["nm", "-D", "--defined-only", path], capture_output=True, text=True)
    if out.returncode != 0:
        pytest.skip("nm not available")
    return [line.split()[-1] for line in out.stdout.splitlines() if line.strip()]


@pytest.mark.parametrize("module", MODULES)
def test_only_the_flat_c_abi_is_exported(module):
    """Internal C++ helpers stay hidden: every exported symbol is an unmangled C name."""
    names = exported(module)
    assert f"PyInit_{module}" in names
    assert [n for n in names if n.startswith("_Z") and not n.startswith(("_ZNSt", "_ZSt"))] == []


@pytest.mark.parametrize("module", MODULES)
def test_module_docstrings_and_type_names(module):
    mod = __import__(f"ostrel.{module}", fromlist=["x"])
    assert mod.__doc__
    for name in dir(mod):
        obj = getattr(mod, name)
        if isinstance(obj, type):
            assert obj.__name__ == name and obj.__module__ == module
            assert obj.__doc__, f"{module}.{name} has no docstring"


def has(module, name):
    return hasattr(lib(module), name)


def test_each_module_carries_exactly_its_subsystems():
    """track: loops, carrier, timing, receivers + rate conversion, telemetry and the 1-D FFT engine
    (the burst demodulator's carrier search); analyzer: rate
    conversion without the real-input down-converter, telemetry, the 1-D FFT engine, windows,
    PSD and trace accumulator; spectral: FFTs (1-D and 2-D), windows, PSD, correlators."""
    for name in ("loop_filter_create", "nco_create", "lockdet_create", "marcum_q", "det_q_inv",
                 "lo_create", "ddcr_create", "ox_tlm_create", "fft_create", "psk_demod_create"):
        assert has("track", name), name
    for name in ("fft2d_create", "psd_create", "specan_create"):
        assert not has("track", name), name
    for name in ("lo_create", "ox_tlm_create", "fft_create", "psd_create", "acc_trace_create",
                 "specan_create"):
        assert has("analyzer", name), name
    for name in ("fft2d_create", "ddcr_create", "loop_filter_create", "nco_create",
                 "lockdet_create", "marcum_q", "costas_create"):
        assert not has("analyzer", name), name
    for name in ("fft_create", "fft2d_create", "psd_create", "acc_trace_create"):
        assert has("spectral", name), name
    for name in ("lo_create", "ox_tlm_create", "loop_filter_create", "marcum_q", "specan_create"):
        assert not has("spectral", name), name


@pytest.mark.parametrize("module", MODULES)
def test_numpy_import_failure_becomes_import_error(module):
    """Module initialisation imports NumPy's C API first; a broken array API is printed and
    replaced by ImportError, and the module is not created."""
    code = ("import sys, types\n"
            "import numpy\n"
            "fake = types.ModuleType('numpy._core._multiarray_umath')\n"
            "fake._ARRAY_API = 1\n"
            "sys.modules['numpy._core._multiarray_umath'] = fake\n"
            "try:\n"
            f"    import ostrel.{module}\n"
            "except ImportError as e:\n"
            "    print('IMPORT-ERROR:', e)\n")
    out = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True,
                         cwd="/", timeout=60)
    assert "IMPORT-ERROR: numpy._core.multiarray failed to import" in out.stdout
    assert "_ARRAY_API is not PyCapsule object" in out.stderr


def test_generic_methods_have_signatures():
    import inspect

    from ostrel.track import Costas, LoopFilter

    for tp in (LoopFilter, Costas):
        for name in ("reset", "state_bytes", "get_state", "set_state", "destroy", "__enter__",
                     "__exit__"):
            assert str(inspect.signature(getattr(tp(), name))).startswith("("), name
    assert str(inspect.signature(Costas().steps_max_out)) == "()"
    assert str(inspect.signature(LoopFilter().set_state)) == "(blob, /)"


def test_readme_examples_run(capsys):
    """The README's Python examples run as written, in order, in one namespace."""
    import pathlib
    import re

    readme = pathlib.Path(__file__).resolve().parent.parent / "README.md"
    if not readme.exists():
        pytest.skip("README not beside the tests")
    blocks = re.findall(r"```python\n(.*?)```", readme.read_text(), re.S)
    assert blocks
    namespace: dict = {}
    for block in blocks:
        exec(compile(block, str(readme), "exec"), namespace)
