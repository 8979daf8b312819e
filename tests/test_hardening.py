"""Misuse from Python raises and never crashes, stalls or silently corrupts: telemetry lifetimes,
re-entrant argument conversions, concurrent destroy, malformed sample blocks, integer ranges,
probe-name collisions, record arrays and out-of-memory planning. Cases that crashed the
interpreter before run in a child process, so a regression fails one test instead of the run."""

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from ostrel import spectral, track
from ostrel.telemetry import Telemetry

UNDER_SANITIZER = "asan" in os.environ.get("LD_PRELOAD", "")

PRELUDE = """
import gc, threading, time
import numpy as np
from ostrel import spectral, track
from ostrel.telemetry import Telemetry

def raises(exc, text, fn):
    try:
        fn()
    except exc as e:
        assert text in str(e), (text, str(e))
    else:
        raise AssertionError(f"{fn} did not raise {exc.__name__}")

def ring_mappings():
    with open("/proc/self/maps") as f:
        return sum("ox_shm" in line for line in f)
"""


def run_child(code: str, timeout: float = 120) -> str:
    """Runs `code` (after PRELUDE) in a fresh interpreter; any failure in it, an assertion, an
    exception, a signal or a sanitizer report, fails the calling test."""
    r = subprocess.run([sys.executable, "-P", "-c", PRELUDE + textwrap.dedent(code)],
                       capture_output=True, text=True, timeout=timeout)
    assert r.returncode == 0, f"child exited with {r.returncode}\n{r.stdout}\n{r.stderr[-4000:]}"
    return r.stdout


def test_telemetry_lives_as_long_as_its_owner_or_last_attachment():
    run_child("""
        x = np.ones(4096, np.complex64)
        c = track.Costas(tsamps=4)
        # Leaving the with block while attached retires the ring: the loop keeps writing.
        with Telemetry(4096) as tlm:
            c.set_telemetry(tlm, "car")
            c.steps(x)
        assert tlm.closed and ring_mappings() == 2
        for _ in range(20):
            c.steps(x)
        c.set_telemetry(None, "")  # the last holder lets go: freed
        assert ring_mappings() == 0
        c.steps(x)
        # Destroying the loop, re-initialising it, or attaching elsewhere also lets go (the
        # last one holds the new context instead, whose owner is already gone).
        for let_go, left in ((c.destroy, 0), (lambda: c.__init__(), 0),
                             (lambda: c.set_telemetry(Telemetry(256), "x"), 2)):
            c.__init__(tsamps=4)
            t = Telemetry(256)
            c.set_telemetry(t, "car")
            t.close()
            assert ring_mappings() == 2
            let_go()
            gc.collect()
            assert ring_mappings() == left, ring_mappings()
        c.__init__(tsamps=4)
        assert ring_mappings() == 0
        # Owners dropped without close() after their loops detached are freed, not leaked.
        for _ in range(300):
            t = Telemetry(256)
            c.set_telemetry(t, "car")
            c.steps(x[:64])
            c.set_telemetry(None, "")
            del t
        gc.collect()
        assert ring_mappings() == 0
        # Dropped while still attached: kept for the loop until it is destroyed.
        c.set_telemetry(Telemetry(256), "car")
        gc.collect()
        c.steps(x)
        assert ring_mappings() == 2
        c.destroy()
        assert ring_mappings() == 0
    """)


def test_conversions_that_destroy_or_close_the_object_meanwhile():
    run_child("""
        class Evil:
            def __init__(self, action, value):
                self.action, self.value = action, value
            def __float__(self):
                self.action(); return float(self.value)
            def __index__(self):
                self.action(); return int(self.value)
            def __array__(self, dtype=None, copy=None):
                self.action(); return np.ones(64, dtype or np.complex64)

        def destroyed(make, call):
            obj = make()
            raises(RuntimeError, "destroyed", lambda: call(obj, Evil(obj.destroy, 2)))

        costas = lambda: track.Costas(tsamps=4)
        destroyed(costas, lambda c, e: c.configure(e, 0.707))
        destroyed(costas, lambda c, e: c.configure_lock(0.9, 0.8, e, 2))
        destroyed(costas, lambda c, e: c.steps(e))
        destroyed(costas, lambda c, e: setattr(c, "bn", e))
        destroyed(lambda: track.LoopFilter(), lambda f, e: f.steps(e))
        destroyed(lambda: track.LoopFilter(), lambda f, e: f.step(e))
        destroyed(lambda: spectral.FFT(n=64), lambda f, e: f.execute_cf32(e))
        destroyed(lambda: spectral.FFT(n=64), lambda f, e: f.execute_ci16(e))
        destroyed(lambda: spectral.PSD(n=64), lambda p, e: p.accumulate(e))
        destroyed(lambda: spectral.PSD(n=64), lambda p, e: p.psd_db(e))

        # Re-initialised meanwhile: the call runs on the new core.
        c = costas()
        c.configure(Evil(lambda: c.__init__(tsamps=8), 0.01), 0.707)
        assert c.bn == 0.01 and c.steps_max_out() == 0

        # set_telemetry: a _capsule property that destroys the loop or closes the context.
        class Holder:
            def __init__(self, tlm, action):
                self.tlm, self.action = tlm, action
            @property
            def _capsule(self):
                cap = self.tlm._capsule
                self.action()
                return cap
        c, tlm = costas(), Telemetry(256)
        raises(RuntimeError, "destroyed", lambda: c.set_telemetry(Holder(tlm, c.destroy), "car"))
        c = costas()
        raises(ValueError, "", lambda: c.set_telemetry(Holder(tlm, tlm.close), "car"))
        c.steps(np.ones(64, np.complex64))

        # Telemetry.emit with a value that closes the context.
        t = Telemetry(256)
        pid = t.register("py.x")
        raises(RuntimeError, "closed", lambda: t.emit(pid, Evil(t.close, 1.0)))
    """)


def test_concurrent_destroy_reinit_and_close_raise_instead_of_freeing():
    run_child("""
        x = np.ones(1 << 22, np.complex64)
        tlm = Telemetry(1 << 16)
        for attempt in range(20):
            c = track.CarrierNda()
            c.set_telemetry(tlm, "car")
            worker = threading.Thread(target=c.steps, args=(x,))
            worker.start()
            busy = False
            while worker.is_alive() and not busy:
                try:
                    c.lock
                except RuntimeError as e:
                    assert str(e) == "object is busy"
                    busy = True
            if not busy:
                continue
            for misuse in (c.destroy, lambda: c.__init__(), lambda: c.steps(x[:16]), c.get_state,
                           c.reset, lambda: c.set_telemetry(None, ""), c.__exit__):
                raises(RuntimeError, "object is busy", misuse)
            raises(RuntimeError, "busy", lambda: tlm.resize(1 << 20))
            worker.join()
            c.destroy()
            break
        else:
            raise AssertionError("never caught the block call running")
        # Closing the context under a running block retires the ring instead of freeing it.
        c = track.CarrierNda()
        c.set_telemetry(tlm, "car")
        worker = threading.Thread(target=c.steps, args=(x,))
        worker.start()
        tlm.close()
        worker.join()
        c.steps(x[:1000])
        c.destroy()
        assert ring_mappings() == 0
    """)


# Sample blocks: (factory, method) over the frame's block templates.
BLOCK_CALLS = [
    (lambda: track.Costas(tsamps=4), "steps", np.complex64),
    (lambda: track.CarrierNda(), "steps", np.complex64),
    (lambda: track.SymbolSync(sps=2), "steps", np.complex64),
    (lambda: track.LoopFilter(), "steps", np.float64),
    (lambda: spectral.FFT(n=32), "execute_cf32", np.complex64),
    (lambda: spectral.FFT(n=32), "execute_inplace_cf64", np.complex128),
    (lambda: spectral.PSD(n=32), "accumulate", np.complex64),
]


@pytest.mark.parametrize("make, method, dtype", BLOCK_CALLS)
def test_non_numeric_blocks_are_refused(make, method, dtype):
    obj = make()
    for bad in (None, [1.0, None], np.array([1, None], dtype=object), ["1", "2"], [object()]):
        with pytest.raises(TypeError):
            getattr(obj, method)(bad)
    getattr(obj, method)([1.0, 2.0, 3.0])  # numbers in a list are still taken as given


def test_a_list_of_complex_numbers_is_not_truncated_to_real():
    with pytest.raises(TypeError):
        spectral.PSD(n=4).accumulate_real([1 + 1j, 2.0, 3.0, 4.0])


@pytest.mark.parametrize("make, method, dtype", [c for c in BLOCK_CALLS if c[1] != "accumulate"])
def test_out_overlapping_the_input_gives_the_separate_buffer_result(make, method, dtype):
    rng = np.random.default_rng(5)
    n = 256
    buf = rng.standard_normal(2 * n + 1).astype(dtype)
    if np.dtype(dtype).kind == "c":
        buf.imag = rng.standard_normal(2 * n + 1)
    for x_at, out_at in ((slice(0, n), slice(1, None)), (slice(1, n + 1), slice(0, None)),
                         (slice(0, n), slice(0, None))):
        work = buf.copy()
        want = getattr(make(), method)(work[x_at].copy())
        got = getattr(make(), method)(work[x_at], out=work[out_at][:n])
        np.testing.assert_array_equal(got[: len(want)], want)


def test_integers_are_range_checked_never_wrapped():
    tlm = Telemetry(256)
    c = track.Costas()
    overflow = [
        lambda: Telemetry(2**64 + 4096), lambda: Telemetry(-4096),
        lambda: tlm.register("p", decim=-1), lambda: tlm.register("p", decim=2**32),
        lambda: tlm.set_decim("p", -1), lambda: c.set_telemetry(tlm, "car", decim=-1),
        lambda: track.Costas(tsamps=-1), lambda: track.Costas(tsamps=2**64),
        lambda: c.configure_lock(0.9, 0.8, -1, 2), lambda: spectral.FFT2D(ny=-2, nx=4),
        lambda: spectral.find_peaks_f32(np.zeros(8, np.float32), -1, 0.0),
    ]
    for call in overflow:
        with pytest.raises(OverflowError):
            call()
    tlm.register("p")
    with pytest.raises(ValueError, match="^decim must be in 1..4294967295, got 0$"):
        tlm.set_decim("p", 0)
    # A ring no machine here could back is refused up front, not reserved and filled until
    # the process is killed.
    with pytest.raises(ValueError, match="exceeds this machine's memory"):
        Telemetry(2**40)
    with pytest.raises(ValueError, match="exceeds this machine's memory"):
        tlm.resize(2**40)
    assert tlm.capacity == 256


def test_probe_names_colliding_after_the_cut_are_refused_and_nothing_changes():
    with Telemetry(256) as tlm:
        c = track.Costas(tsamps=4)
        c.set_telemetry(tlm, "car")
        other = track.CarrierNda()
        # 30 characters: ".lock", ".locked" and ".e"+... cut into one name; 26: .lock/.locked.
        for prefix in ("q" * 30, "q" * 26):
            for obj in (c, other):
                with pytest.raises(ValueError, match=r"^set_telemetry failed \(rc=-4\): "):
                    obj.set_telemetry(tlm, prefix)
        assert tlm.probe_names == ["car.lock", "car.e", "car.freq", "car.locked"]
        c.steps(np.ones(64, np.complex64))  # the previous attachment still publishes
        assert set(tlm.read()["probe"]) == {0, 1, 2, 3}
        c.set_telemetry(None, "")


def test_demux_refuses_arrays_that_are_not_records():
    with Telemetry(256) as tlm:
        for bad in (np.zeros(8), np.zeros(8, np.float32), [0.0] * 8,
                    np.zeros(4, dtype=[("tag", "<u8"), ("value", "<f8")])):
            with pytest.raises(TypeError, match="RECORD_DTYPE"):
                tlm.demux(bad)
        assert tlm.demux(tlm.read()) == {}


@pytest.mark.skipif(UNDER_SANITIZER, reason="the sanitizer's shadow memory ignores address-space limits")
def test_fft_planning_out_of_memory_is_a_memory_error():
    run_child("""
        import resource
        with open("/proc/self/status") as f:
            vm = next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize"))
        # A prime length plans with large chirp buffers; leave room for the staging buffers only.
        resource.setrlimit(resource.RLIMIT_AS, (vm + (60 << 20), resource.RLIM_INFINITY))
        for make in (lambda: spectral.FFT(n=1048573), lambda: spectral.FFT2D(ny=1021, nx=2039)):
            raises(MemoryError, "", make)
        spectral.FFT(n=1024).execute_cf32(np.ones(1024, np.complex64))  # still usable
    """)


def _attach_twice(prefix_a, prefix_b):
    tlm = Telemetry(4096)
    a, c = track.Costas(tsamps=4), track.CarrierNda()
    a.set_telemetry(tlm, prefix_a)
    c.set_telemetry(tlm, prefix_b)


def _closed_capsule():
    tlm = Telemetry(256)
    capsule = tlm._capsule
    tlm.close()
    track.Costas().set_telemetry(capsule, "car")


def _full_table():
    tlm = Telemetry(4096)
    loops = [track.Costas(tsamps=4) for _ in range(17)]  # 4 probes each: the 17th finds no room
    for i, loop in enumerate(loops):
        loop.set_telemetry(tlm, f"c{i}")


def _set(obj, name, value):
    setattr(obj, name, value)


# The hostile calls of the second probe: (call, exception, message pattern).
REFUSALS = {
    "np.str_ sample": (lambda: track.Costas(tsamps=1).steps(np.str_("nan")), TypeError, "numpy.str_"),
    "np.str_ number": (lambda: track.Costas(tsamps=1).steps(np.str_("1.5")), TypeError, "array of numbers"),
    "np.bytes_ number": (lambda: spectral.PSD(n=32).accumulate(np.bytes_(b"2.5")), TypeError, "numpy.bytes_"),
    "bytearray": (lambda: track.CarrierNda().steps(bytearray(b"abcd")), TypeError, "bytearray"),
    "same prefix twice": (lambda: _attach_twice("car", "car"), ValueError,
                          r"^set_telemetry failed \(rc=-4\): prefix 'car' is in use by another object"),
    "probe table full": (_full_table, ValueError, r"probe table is full \(64 probes\)"),
    "closed context": (_closed_capsule, ValueError, "the telemetry context is closed"),
    "Corr n_out": (lambda: spectral.Corr(np.ones(64, np.complex64), n_out=2**31), ValueError,
                   r"^n_out=2147483648 needs about \d+ bytes, more than this machine's memory"),
    "Corr2D output": (lambda: spectral.Corr2D(np.ones((4, 4), np.complex64), ny_out=2**20, nx_out=2**20),
                      ValueError, r"^ny_out\*nx_out=1099511627776 needs about"),
    "FFT2D": (lambda: spectral.FFT2D(ny=2**20, nx=2**20), ValueError, "more than this machine's memory"),
    "Dll segments": (lambda: track.Dll([1, 0, 1], segments=2**40), ValueError, "^segments="),
    "RateSync phases": (lambda: track.RateSync(num_phases=2**40), ValueError, "^num_phases\\*span\\*m="),
    "receiver phases": (lambda: track.MpskReceiver(num_phases=2**40), ValueError, "^num_phases\\*taps="),
    "SymbolSync configure": (lambda: track.SymbolSync(sps=2).configure(float("nan"), 0.7), ValueError,
                             "^bn must be finite, got nan$"),
    "Dll.bn": (lambda: _set(track.Dll([1, 0, 1]), "bn", float("inf")), ValueError, "^bn must be finite, got inf$"),
    "Costas.norm_freq": (lambda: _set(track.Costas(), "norm_freq", float("-inf")), ValueError,
                         "^norm_freq must be finite, got -inf$"),
    "Specan centre": (lambda: __import__("ostrel.analyzer").analyzer.Specan(
        fs=1e6, span=1e5, rbw=1e3, center=float("nan")), ValueError, "^center must be finite, got nan$"),
    "Specan retune": (lambda: __import__("ostrel.analyzer").analyzer.Specan(
        fs=1e6, span=1e5, rbw=1e3).retune(float("nan")), ValueError, "^center must be finite"),
    "CorrDetector threshold": (lambda: spectral.CorrDetector(np.ones(64, np.complex64), threshold=float("nan")),
                               ValueError, "^threshold must be finite, got nan$"),
    "Costas constructor": (lambda: track.Costas(bn=float("nan")), ValueError, "^bn must be finite"),
}


@pytest.mark.parametrize("case", list(REFUSALS))
def test_hostile_calls_are_refused_with_a_message_that_helps(case):
    call, exc, pattern = REFUSALS[case]
    with pytest.raises(exc, match=pattern):
        call()


def test_one_prefix_per_object_and_probes_freed_on_detach():
    with Telemetry(4096) as tlm:
        a, c = track.Costas(tsamps=4), track.Costas(tsamps=4)
        a.set_telemetry(tlm, "car")
        a.set_telemetry(tlm, "car")  # the same object again: allowed
        c.set_telemetry(tlm, "car2")
        assert len(tlm.probe_names) == 8
        a.set_telemetry(None, "")  # detached: its names are free for another object
        c.set_telemetry(tlm, "car")
        c.steps(np.ones(64, np.complex64))
        written = {name for name, v in tlm.demux(tlm.read()).items() if v.size}
        assert written == {"car.lock", "car.e", "car.freq", "car.locked"}
        a.set_telemetry(tlm, "a")
        a.destroy()  # destroyed: likewise
        c.set_telemetry(tlm, "a")


def test_detector_backlog_is_bounded_and_drains():
    det = spectral.CorrDetector(np.ones(80, np.complex64), threshold=0)
    x = np.ones(80 * 200, np.complex64)  # 200 dumps a push, 64 reported: 136 frames carried each time
    pushed = dumps = 0
    with pytest.raises(RuntimeError, match="push refused: .* pending .* limit of 16777216"):
        for _ in range(20_000):
            dumps += len(det.push(x))
            pushed += len(x)
    assert 0 < det.pending <= 1 << 24
    while det.pending:  # nothing was lost: the carried input drains to one dump per frame
        dumps += len(det.push(np.zeros(0, np.complex64)))
    assert dumps == pushed // 80
    assert len(det.push(x)) == 64  # and pushing works again
