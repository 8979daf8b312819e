"""Telemetry ring: the ox_tlm core ABI (ctypes) and the ostrel.telemetry.Telemetry owner."""

import ctypes
import threading

import numpy as np
import pytest

from native import OX_EINVAL, OX_OK, c_char_p, c_double, c_int, c_size, c_u32, c_u64, c_void_p, fn, lib
from ostrel.telemetry import RECORD_DTYPE, Telemetry

SIZE_MAX = 2**64 - 1


class Api:
    """The ox_tlm functions of one module, declared once."""

    def __init__(self, module):
        L = lib(module)
        self.create = fn(L, "ox_tlm_create", c_void_p, c_size)
        self.destroy = fn(L, "ox_tlm_destroy", None, c_void_p)
        self.probe = fn(L, "ox_tlm_probe", c_int, c_void_p, c_char_p, c_u32)
        self.probe_id = fn(L, "ox_tlm_probe_id", c_int, c_void_p, c_char_p)
        self.set_decim = fn(L, "ox_tlm_set_decim", c_int, c_void_p, c_char_p, c_u32)
        self.emit = fn(L, "ox_tlm_emit_checked", c_int, c_void_p, c_int, c_double)
        self.probe_name = fn(L, "ox_tlm_probe_name", c_char_p, c_void_p, c_int)
        self.probe_count = fn(L, "ox_tlm_probe_count", c_u32, c_void_p)
        self.probe_id_at = fn(L, "ox_tlm_probe_id_at", c_int, c_void_p, c_u32)
        self.capacity = fn(L, "ox_tlm_capacity", c_size, c_void_p)
        self.block_bound = fn(L, "ox_tlm_block_bound", c_size, c_void_p, c_size)
        self.avail = fn(L, "ox_tlm_avail", c_size, c_void_p)
        self.read_max_out = fn(L, "ox_tlm_read_max_out", c_size, c_void_p)
        self.read = fn(L, "ox_tlm_read", c_size, c_void_p, c_size, c_void_p, c_size)
        self.resize = fn(L, "ox_tlm_resize", c_int, c_void_p, c_size)
        self.demux_counts = fn(L, "ox_tlm_demux_counts", None, c_void_p, c_size, c_void_p, c_size)
        self.demux = fn(L, "ox_tlm_demux", None, c_void_p, c_size, c_void_p, c_void_p, c_void_p, c_size)
        self.dropped = fn(L, "ox_tlm_dropped", c_u64, c_void_p)
        self.stats = fn(L, "ox_tlm_stats", None, c_void_p, c_void_p)
        self.emitted = fn(L, "ox_tlm_emitted", c_u64, c_void_p, c_int)

    def records(self, t, n=0, buf_len=1 << 16):
        buf = np.zeros(buf_len, RECORD_DTYPE)
        got = self.read(t, n, buf.ctypes.data, buf_len)
        return buf[:got]


@pytest.fixture(params=["track", "analyzer", "_telemetry"])
def api(request):
    return Api(request.param)


@pytest.fixture
def ring(api):
    t = api.create(256)
    yield t
    api.destroy(t)


def test_create_rounds_up_to_a_page_and_refuses_non_powers_of_two(api):
    assert not api.create(0) and not api.create(3) and not api.create(1000)
    t = api.create(1)
    assert api.capacity(t) == 256  # one 4096-byte page of 16-byte records
    api.destroy(t)
    api.destroy(None)
    for f, v in ((api.capacity, 0), (api.avail, 0), (api.probe_count, 0), (api.dropped, 0)):
        assert f(None) == v


def test_probe_registry(api, ring):
    assert api.probe(ring, b"a.lock", 1) == 0
    assert api.probe(ring, b"a.e", 2) == 1
    assert api.emit(ring, 0, 1.0) == OX_OK
    assert api.probe(ring, b"a.lock", 5) == 0  # same id, new decimation, emitted kept
    assert api.emitted(ring, 0) == 1
    assert api.probe(ring, b"x" * 31, 1) == 2
    assert api.probe(ring, b"x" * 32, 1) == OX_EINVAL
    assert api.probe(ring, b"zero", 0) == OX_EINVAL
    assert api.probe(None, b"n", 1) == OX_EINVAL and api.probe(ring, None, 1) == OX_EINVAL
    assert api.probe_id(ring, b"a.e") == 1 and api.probe_id(ring, b"a.") == OX_EINVAL
    assert api.probe_name(ring, 1) == b"a.e" and api.probe_name(ring, 3) is None
    assert api.probe_id_at(ring, 2) == 2 and api.probe_id_at(ring, 3) == OX_EINVAL
    assert api.set_decim(ring, b"nope", 2) == OX_EINVAL and api.set_decim(ring, b"a.e", 0) == OX_EINVAL
    for i in range(3, 64):
        assert api.probe(ring, f"p{i}".encode(), 1) == i
    assert api.probe(ring, b"p64", 1) == OX_EINVAL  # the 65th distinct name
    assert api.probe(ring, b"p10", 3) == 10  # an existing name still re-tunes
    assert api.emit(ring, 64, 1.0) == OX_EINVAL and api.emit(ring, -1, 1.0) == OX_EINVAL
    assert api.emit(None, 0, 1.0) == OX_EINVAL


def test_decimation_emits_the_first_event_then_every_nth(api, ring):
    pid = api.probe(ring, b"d", 4)
    for k in range(1, 13):
        api.emit(ring, pid, float(k))
    np.testing.assert_array_equal(api.records(ring)["value"], [1, 5, 9])
    assert api.set_decim(ring, b"d", 2) == OX_OK  # next event emitted, then every 2nd
    for k in range(13, 18):
        api.emit(ring, pid, float(k))
    np.testing.assert_array_equal(api.records(ring)["value"], [13, 15, 17])


def test_full_ring_drops_and_keeps_contents(api, ring):
    pid = api.probe(ring, b"v", 1)
    cap = api.capacity(ring)
    for k in range(cap):
        api.emit(ring, pid, float(k))
    assert api.dropped(ring) == 0 and api.avail(ring) == cap == api.read_max_out(ring)
    api.emit(ring, pid, -1.0)
    assert api.dropped(ring) == 1 and api.emitted(ring, pid) == cap
    recs = api.records(ring)
    np.testing.assert_array_equal(recs["value"], np.arange(cap, dtype=np.float32))
    assert (recs["probe"] == pid).all()


def test_reads_across_the_wrap_point_are_in_order(api, ring):
    pid = api.probe(ring, b"v", 1)
    cap = api.capacity(ring)
    seq = 0
    for chunk in (cap - 10, 7, 100, cap, 3):  # positions straddle the end of the storage
        for _ in range(chunk):
            api.emit(ring, pid, float(seq))
            seq += 1
        got = api.records(ring, n=0, buf_len=cap)
        np.testing.assert_array_equal(got["value"], np.arange(seq - chunk, seq, dtype=np.float32))
    for _ in range(20):
        api.emit(ring, pid, 1.0)
    assert len(api.records(ring, n=5)) == 5  # max limits
    assert len(api.records(ring, n=0, buf_len=4)) == 4  # and so does the buffer
    assert len(api.records(ring, n=100)) == 11
    assert api.read(ring, 0, None, 10) == 0 and api.read(None, 0, None, 10) == 0


def test_resize_grows_empties_and_keeps_ids(api, ring):
    a = api.probe(ring, b"a", 1)
    b = api.probe(ring, b"b", 1)
    for _ in range(300):
        api.emit(ring, b, 2.0)
    assert api.dropped(ring) > 0
    assert api.resize(ring, 100) == OX_OK and api.capacity(ring) == 256 and api.avail(ring) == 256
    assert api.resize(ring, 1000) == OX_OK
    assert api.capacity(ring) == 1024 and api.avail(ring) == 0 and api.dropped(ring) == 0
    assert api.probe_id(ring, b"b") == b and api.emitted(ring, b) == 256
    api.emit(ring, a, 3.0)
    assert api.records(ring)["probe"].tolist() == [a]
    assert api.resize(None, 4096) == OX_EINVAL
    assert api.resize(ring, 2**62) == OX_EINVAL and api.capacity(ring) == 1024  # old ring kept


def test_block_bound_saturates(api, ring):
    assert api.block_bound(ring, 10) == 0 and api.block_bound(None, 10) == 0
    for i in range(3):
        api.probe(ring, f"p{i}".encode(), 1)
    assert api.block_bound(ring, 10) == 30 and api.block_bound(ring, 0) == 0
    assert api.block_bound(ring, 2**63) == SIZE_MAX


def test_demux_and_stats(api, ring):
    ids = [api.probe(ring, n, 1) for n in (b"a", b"b", b"c")]
    order = [0, 1, 0, 2, 0, 1]
    for k, i in enumerate(order):
        api.emit(ring, ids[i], float(k))
    recs = api.records(ring)
    counts = np.full(4, 99, np.uintp)
    api.demux_counts(recs.ctypes.data, len(recs), counts.ctypes.data, 4)
    assert counts.tolist() == [3, 2, 1, 0]
    api.demux_counts(recs.ctypes.data, len(recs), counts.ctypes.data, 2)  # ids >= 2 not counted
    assert counts[:2].tolist() == [3, 2]
    vals = [np.zeros(4, np.float32) for _ in range(3)]
    tags = [np.zeros(4, np.uint64) for _ in range(3)]
    vptr = (ctypes.c_void_p * 3)(*[v.ctypes.data for v in vals])
    tptr = (ctypes.c_void_p * 3)(tags[0].ctypes.data, None, tags[2].ctypes.data)  # NULL entry skipped
    caps = np.array([2, 4, 4], np.uintp)  # probe 0 capped at two entries
    api.demux(recs.ctypes.data, len(recs), vptr, tptr, caps.ctypes.data, 3)
    assert vals[0].tolist() == [0, 2, 0, 0] and vals[1].tolist() == [1, 5, 0, 0] and vals[2][0] == 3
    api.demux(recs.ctypes.data, len(recs), None, None, caps.ctypes.data, 3)  # no tables: nothing
    out = np.zeros(4, np.uint64)
    api.stats(out.ctypes.data, ring)
    assert out.tolist() == [0, 6, 256, 3]
    api.stats(out.ctypes.data, None)
    assert out.tolist() == [0, 0, 0, 0]


def test_producer_and_consumer_threads_lose_nothing_uncounted(api):
    """A producer thread emits a counter while a consumer drains: every value arrives once,
    in order, except exactly the ones counted as dropped."""
    t = api.create(256)
    pid = api.probe(t, b"seq", 1)
    n_total = 60000
    done = threading.Event()
    got = []

    def producer():
        for k in range(n_total):
            api.emit(t, pid, float(k))  # ctypes releases the interpreter lock during the call
        done.set()

    def consumer():
        buf = np.zeros(256, RECORD_DTYPE)
        while True:
            finished = done.is_set()
            n = api.read(t, 0, buf.ctypes.data, 256)
            got.append(buf["value"][:n].copy())
            if finished and n == 0:
                return

    threads = [threading.Thread(target=producer), threading.Thread(target=consumer)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    values = np.concatenate(got).astype(np.int64)
    assert len(values) + api.dropped(t) == n_total
    assert (np.diff(values) > 0).all()  # in order, no duplicates
    assert api.emitted(t, pid) == len(values)
    api.destroy(t)


# ------------------------------------------------------------------------------------------------
# The Python owner
# ------------------------------------------------------------------------------------------------

def capsule_pointer(capsule, name=b"ostrel.telemetry.ox_tlm"):
    get = ctypes.pythonapi.PyCapsule_GetPointer
    get.restype = ctypes.c_void_p
    get.argtypes = [ctypes.py_object, ctypes.c_char_p]
    return get(capsule, name)


def test_telemetry_object_end_to_end():
    api = Api("track")
    with Telemetry(1024) as tlm:
        assert tlm.capacity == 1024 and tlm.avail == 0 and tlm.dropped == 0
        ptr = capsule_pointer(tlm._capsule)
        a = api.probe(ptr, b"car.lock", 1)
        b = api.probe(ptr, b"car.e", 1)
        assert tlm.probe_names == ["car.lock", "car.e"] and tlm.probe_id("car.e") == b
        with pytest.raises(KeyError):
            tlm.probe_id("car.nope")
        for bad in (2**64 + 7, -1):  # an unsigned 64-bit tag, never wrapped
            with pytest.raises(OverflowError):
                tlm.tag = bad
        tlm.tag = 7
        api.emit(ptr, a, 0.5)
        tlm.tag = 8
        api.emit(ptr, b, -1.25)
        api.emit(ptr, a, 0.75)
        assert tlm.avail == 3
        first = tlm.read(max=1)
        assert first.dtype == RECORD_DTYPE and first.dtype.itemsize == 16
        assert (first["tag"][0], first["value"][0], first["probe"][0]) == (7, 0.5, a)
        rest = tlm.read()
        assert rest["tag"].tolist() == [8, 8] and rest["value"].tolist() == [-1.25, 0.75]
        parts = tlm.demux(np.concatenate([first, rest]))
        assert list(parts) == ["car.lock", "car.e"]
        assert parts["car.lock"].tolist() == [0.5, 0.75] and parts["car.e"].dtype == np.float32
        assert len(tlm.read()) == 0
        tlm.set_decim("car.lock", 3)
        with pytest.raises(KeyError):
            tlm.set_decim("car.nope", 3)
        with pytest.raises(ValueError):
            tlm.set_decim("car.lock", 0)
        for _ in range(7):
            api.emit(ptr, a, 1.0)
        assert tlm.avail == 3
        st = tlm.stats()
        assert st == {"dropped": 0, "emitted": 6, "capacity": 1024, "probes": 2, "avail": 3}
        tlm.resize(5000)
        assert tlm.capacity == 8192 and tlm.avail == 0 and tlm.probe_names == ["car.lock", "car.e"]
        assert "capacity=8192" in repr(tlm)
    assert tlm.closed and repr(tlm) == "<Telemetry closed>"


def test_telemetry_misuse():
    with pytest.raises(ValueError):
        Telemetry(1000)
    with pytest.raises(ValueError):
        Telemetry(0)
    tlm = Telemetry()
    assert Telemetry().capacity == 4096
    cap = tlm._capsule
    with pytest.raises(ValueError):
        tlm.read(-1)
    tlm.close()
    tlm.close()  # idempotent
    for call in (lambda: tlm._capsule, tlm.read, lambda: tlm.avail, lambda: tlm.tag,
                 lambda: setattr(tlm, "tag", 1), lambda: tlm.probe_names, tlm.stats,
                 lambda: tlm.resize(8192), lambda: tlm.set_decim("a", 1), lambda: tlm.dropped,
                 lambda: tlm.capacity, lambda: tlm.probe_id("a")):
        with pytest.raises(RuntimeError):
            call()
    with pytest.raises(ValueError):  # a capsule taken before close() can no longer be opened
        capsule_pointer(cap)


def test_telemetry_collected_while_still_attached_is_retired_not_freed():
    """A Telemetry dropped without close() while a component still holds its context must not
    leave the component writing into freed memory (run under the sanitizer build too)."""
    import gc

    from ostrel.track import Costas

    loop = Costas(tsamps=4)

    def attach_and_forget():
        tlm = Telemetry(1 << 16)
        loop.set_telemetry(tlm, "car")
        loop.steps(np.ones(64, np.complex64))
        assert tlm.avail == 64

    attach_and_forget()
    gc.collect()
    filler = [np.ones(1 << 16, np.complex64) for _ in range(8)]  # reuse freed memory, if any
    for _ in range(50):
        loop.steps(np.ones(4096, np.complex64))  # records go to the retired one-page ring
    assert loop.locked
    del filler
