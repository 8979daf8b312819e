"""The block-processing frame shared by every type: out= rules, trimming, views, input
conversion, error messages and interpreter-lock release, checked on each block method."""

import functools
import importlib
import threading

import numpy as np
import pytest

# (module, type, constructor keywords, block method, input dtype, output dtype)
BLOCKS = [
    ("track", "Costas", dict(tsamps=4), "steps", np.complex64, np.complex64),
    ("track", "CarrierMpsk", dict(tsamps=4), "steps", np.complex64, np.complex64),
    ("track", "SymbolSync", dict(sps=2), "steps", np.complex64, np.complex64),
    ("track", "CarrierNda", {}, "steps", np.complex64, np.complex64),
    ("track", "Dll", dict(code=[1, 0, 0, 1, 0, 1, 1], sps=1, segments=2), "steps", np.complex64,
     np.complex64),
    ("track", "RateSync", dict(sps=2.0), "steps", np.complex64, np.complex64),
    ("track", "MpskReceiver", dict(sps=2.0), "steps", np.complex64, np.complex64),
    ("spectral", "FFT", dict(n=16), "execute_cf32", np.complex64, np.complex64),
    ("spectral", "FFT", dict(n=16), "execute_cf64", np.complex128, np.complex128),
]


def make(module, name, kw):
    mod = importlib.import_module(f"ostrel.{module}")
    if not hasattr(mod, name):
        pytest.skip(f"{module}.{name} not built")
    return getattr(mod, name)(**kw)


def signal(n, dtype, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.standard_normal(n) + 1j * rng.standard_normal(n)
    return x.astype(dtype)


def need(obj, method, n_in):
    return max(getattr(obj, method + "_max_out")(), n_in)


def state(obj):
    return obj.get_state() if hasattr(obj, "get_state") else None


@pytest.fixture(params=BLOCKS, ids=lambda b: f"{b[1]}.{b[3]}")
def case(request):
    module, name, kw, method, din, dout = request.param
    return (lambda: make(module, name, kw)), method, din, dout


def test_fresh_output_is_trimmed_to_the_count_produced(case):
    factory, method, din, dout = case
    obj = factory()
    x = signal(64, din)
    y = getattr(obj, method)(x)
    assert y.dtype == dout and y.ndim == 1 and y.flags.c_contiguous and y.flags.owndata
    assert len(y) <= need(obj, method, len(x))
    empty = getattr(factory(), method)(np.zeros(0, din))
    assert empty.dtype == dout


def test_out_longer_than_needed_gives_a_view_and_leaves_the_tail(case):
    factory, method, din, dout = case
    a, b = factory(), factory()
    x = signal(64, din)
    ref = getattr(a, method)(x)
    out = np.full(need(b, method, 64) + 10, 7 + 7j, dtype=dout)
    y = getattr(b, method)(x, out=out)
    assert y.base is out and np.shares_memory(y, out) and y.ctypes.data == out.ctypes.data
    np.testing.assert_array_equal(y, ref)
    assert (out[len(y):] == dout(7 + 7j)).all()


def test_bad_out_raises_before_the_core_runs(case):
    factory, method, din, dout = case
    obj = factory()
    x = signal(64, din)
    n = need(obj, method, 64)
    before = state(obj)
    other = np.complex128 if dout == np.complex64 else np.complex64
    ro = np.zeros(n, dout)
    ro.flags.writeable = False
    msg = "^out must be a writable, C-contiguous ndarray of the output dtype$"
    swapped = np.zeros(n, np.dtype(dout).newbyteorder())  # same type number, foreign byte order
    for bad in (np.zeros(n, other), np.zeros(2 * n, dout)[::2], ro, np.zeros((n, 2), dout, order="F"),
                list(np.zeros(n, dout)), swapped):
        with pytest.raises(TypeError, match=msg):
            getattr(obj, method)(x, out=bad)
    with pytest.raises(ValueError, match=rf"^out has {n - 1} elements, need >= {n}$"):
        getattr(obj, method)(x, out=np.zeros(n - 1, dout))
    assert state(obj) == before


def test_input_conversion(case):
    factory, method, din, dout = case
    x = signal(48, din)
    a, b = factory(), factory()
    np.testing.assert_array_equal(getattr(a, method)(x.reshape(6, 8)), getattr(b, method)(x))
    if din == np.complex64:
        with pytest.raises(TypeError):
            getattr(factory(), method)(x.astype(np.complex128))  # no unsafe cast
    # a Python sequence converts directly
    assert getattr(factory(), method)([1 + 0j] * 8).dtype == dout
    # a non-contiguous view is copied to a contiguous array first
    c, d = factory(), factory()
    np.testing.assert_array_equal(getattr(c, method)(signal(96, din)[::2]),
                                  getattr(d, method)(np.ascontiguousarray(signal(96, din)[::2])))


def test_destroyed_object(case):
    factory, method, din, _ = case
    obj = factory()
    obj.destroy()
    with pytest.raises(RuntimeError, match="^destroyed$"):
        getattr(obj, method)(signal(8, din))
    with pytest.raises(RuntimeError, match="^destroyed$"):
        getattr(obj, method + "_max_out")()


def test_objects_run_on_several_threads(case):
    """Block calls on different objects from several threads give the sequential results."""
    factory, method, din, _ = case
    blocks = [signal(4096, din, seed) for seed in range(4)]
    ref = []
    for x in blocks:
        obj = factory()
        ref.append([getattr(obj, method)(x) for _ in range(20)])
    got = [None] * len(blocks)

    def work(i):
        obj = factory()
        got[i] = [getattr(obj, method)(blocks[i]) for _ in range(20)]

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(blocks))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for r, g in zip(ref, got):
        for a, b in zip(r, g):
            np.testing.assert_array_equal(a, b)


TELEMETRY = [("track", "Costas", dict(tsamps=4)), ("track", "CarrierNda", {}),
             ("track", "SymbolSync", dict(sps=2)), ("track", "Dll", dict(code=[1, 0, 1], sps=1))]


@pytest.mark.parametrize("module,name,kw", TELEMETRY, ids=lambda v: v if isinstance(v, str) else "")
def test_set_telemetry_capsule_lookup(module, name, kw):
    import ctypes

    from ostrel.telemetry import Telemetry

    obj = make(module, name, kw)
    with Telemetry(1024) as tlm:
        assert obj.set_telemetry(tlm, "a") is None  # object carrying _capsule
        assert obj.set_telemetry(tlm._capsule, "b", decim=2) is None  # the capsule itself
        assert obj.set_telemetry(None, "x") is None  # detach
        assert tlm.probe_names[0].startswith("a.") and any(p.startswith("b.") for p in tlm.probe_names)
        obj.steps(np.ones(64, np.complex64))
        assert tlm.avail == 0  # detached: nothing emitted
        with pytest.raises(AttributeError):
            obj.set_telemetry(object(), "c")
        wrong = ctypes.pythonapi.PyCapsule_New
        wrong.restype = ctypes.py_object
        wrong.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
        with pytest.raises(ValueError):
            obj.set_telemetry(wrong(ctypes.c_void_p(8), b"other.name", None), "c")
        with pytest.raises(ValueError, match=r"^set_telemetry failed \(rc=-4\): "):
            obj.set_telemetry(tlm, "c", decim=0)
        for decim in (2**32, -1):  # 32-bit decimations are range-checked, never wrapped
            with pytest.raises(OverflowError):
                obj.set_telemetry(tlm, "c", decim=decim)
        obj.destroy()
        with pytest.raises(RuntimeError, match="^destroyed$"):
            obj.set_telemetry(None, "x")


# Constructor keywords of the types that have required parameters.
REQUIRED = {
    "Dll": dict(code=[1, 0, 0, 1, 0, 1, 1]),
    "Specan": dict(fs=1.024e6, span=200e3, rbw=8e3),
    "Corr": dict(ref=signal(64, np.complex64, 6), dwell=2),
    "Corr2D": dict(ref=signal(64, np.complex64, 7).reshape(4, 16)),
    "CorrDetector": dict(ref=signal(64, np.complex64, 8), dwell=2),
    "CorrDetector2D": dict(ref=signal(64, np.complex64, 9).reshape(4, 16)),
}


def stateful_types():
    """Every Python type with state blobs, built with its default parameters (or those of
    REQUIRED), and a callable that processes a short block with it."""
    import ostrel.analyzer
    import ostrel.spectral
    import ostrel.track

    x = signal(256, np.complex64, 5)
    required = {"BpskReceiver": dict(sample_rate_hz=8e6, symbol_rate_hz=1e6)}  # no defaults
    real_input = {"LoopFilter": np.float64, "MpskReceiverR": np.float32}
    for mod in (ostrel.track, ostrel.analyzer, ostrel.spectral):
        for name in sorted(dir(mod)):
            tp = getattr(mod, name)
            if not isinstance(tp, type) or not hasattr(tp, "get_state"):
                continue
            if name in required:
                tp = functools.partial(tp, **required[name])
            if hasattr(tp, "steps") or name in required:
                run = (lambda o, t=real_input[name]: o.steps(x.real.astype(t))) if name in real_input \
                    else (lambda o: o.steps(x))
            elif hasattr(tp, "accumulate"):
                run = lambda o: (o.accumulate(np.tile(x, 8)), o.psd_db())  # noqa: E731
            elif hasattr(tp, "execute"):
                run = lambda o: o.execute(x)  # noqa: E731
            elif hasattr(tp, "push"):
                run = lambda o: o.push(x)  # noqa: E731
            else:
                run = lambda o: None  # noqa: E731
            make = functools.partial(tp, **REQUIRED.get(name, {}))
            yield pytest.param(make, run, id=f"{mod.__name__.split('.')[-1]}.{name}")


@pytest.mark.parametrize("tp,run", list(stateful_types()))
def test_any_blob_is_restored_or_rejected_never_crashes(tp, run):
    """Blobs are untrusted: payload bytes mutated at random (header kept valid so the payload
    checks are reached), and wholly random blobs, are either restored or refused with the
    frame's message; the object keeps working afterwards."""
    rng = np.random.default_rng(2024)
    obj = tp()
    run(obj)
    good = obj.get_state()
    for trial in range(200):
        b = bytearray(good)
        lo = 16 if trial % 4 else 0
        for i in rng.integers(lo, len(b), rng.integers(1, 9)):
            b[i] = int(rng.integers(0, 256)) if trial % 3 else b[i] ^ (1 << int(rng.integers(0, 8)))
        try:
            obj.set_state(bytes(b))
        except ValueError as e:
            assert str(e) == "set_state rejected the blob"
            assert obj.get_state() == good  # a rejected blob changes nothing
        run(obj)
        obj.set_state(good)
    for _ in range(20):
        with pytest.raises(ValueError, match="^set_state rejected the blob$"):
            obj.set_state(rng.bytes(len(good)))  # the magic cannot match by chance
