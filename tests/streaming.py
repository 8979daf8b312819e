"""Shared checks of the streaming contract every stateful type keeps: any split of a stream into
blocks gives the output of one block, a snapshot taken mid-stream restores the continuation bit
for bit, and a mutated blob is either restored or rejected with the object unchanged.

``make()`` builds a fresh object; ``run(obj, x)`` feeds one block and returns its output (an
array, or anything ``numpy.concatenate`` accepts after wrapping in a list). Use with hypothesis
for the cut points: ``@given(st.lists(st.integers(0, n)))`` then ``assert_split_invariant(...)``.
"""

from __future__ import annotations

from typing import Callable, Iterable

import numpy as np


def edges(n: int, cuts: Iterable[int]) -> list[int]:
    """Block edges 0 = e0 <= ... <= ek = n from arbitrary cut points (clipped into 0..n)."""
    return [0, *sorted(min(max(int(c), 0), n) for c in cuts), n]


def _cat(parts: list) -> np.ndarray:
    parts = [np.atleast_1d(np.asarray(p)) for p in parts]
    return np.concatenate(parts) if parts else np.zeros(0)


def assert_split_invariant(make: Callable, run: Callable, x, cuts: Iterable[int],
                           state: Callable | None = None) -> None:
    """One block against the same stream cut at ``cuts``: equal outputs to the bit and, when the
    type has ``get_state`` (or a ``state(obj)`` is given), equal final states."""
    whole = make()
    ref = np.atleast_1d(np.asarray(run(whole, x)))
    split = make()
    e = edges(len(x), cuts)
    got = _cat([run(split, x[a:b]) for a, b in zip(e, e[1:])])
    np.testing.assert_array_equal(got.view(np.uint8) if got.dtype.kind == "c" else got,
                                  ref.view(np.uint8) if ref.dtype.kind == "c" else ref)
    snap = state or (lambda o: o.get_state() if hasattr(o, "get_state") else None)
    assert snap(split) == snap(whole)


def assert_restore_continues(make: Callable, run: Callable, x, at: int,
                             fresh: Callable | None = None) -> bytes:
    """A snapshot taken after ``x[:at]`` and restored into another object (``fresh()``, default
    ``make()``; may be built with other parameters where the blob carries them) continues with
    exactly the original's output and final state. Returns the snapshot."""
    a = make()
    run(a, x[:at])
    blob = a.get_state()
    ya = np.atleast_1d(np.asarray(run(a, x[at:])))
    b = (fresh or make)()
    b.set_state(blob)
    yb = np.atleast_1d(np.asarray(run(b, x[at:])))
    assert ya.dtype == yb.dtype and ya.shape == yb.shape
    assert ya.tobytes() == yb.tobytes()
    assert a.get_state() == b.get_state()
    return blob


def mutations(good: bytes, rng: np.random.Generator, count: int, lo: int = 16,
              hi: int | None = None):
    """Mutated copies of a valid blob with the header kept intact, so the payload checks are
    what decides: a few random bytes in ``[lo, hi)``, random 4- and 8-byte words (counts,
    indices), and every fourth one a wholly random payload."""
    hi = len(good) if hi is None else hi
    for i in range(count):
        b = bytearray(good)
        kind = i % 4
        if kind == 0:
            b[16:] = rng.integers(0, 256, len(b) - 16, dtype=np.uint8).tobytes()
        elif kind == 1:
            for pos in rng.integers(lo, hi, int(rng.integers(1, 6))):
                b[pos] = int(rng.integers(0, 256))
        else:
            width = 4 if kind == 2 else 8
            pos = int(rng.integers(lo, max(lo + 1, hi - width + 1)))
            word = rng.choice([0, 1, 2**31, 2**32 - 1, 2**63, 2**64 - 1,
                               int(rng.integers(0, 2**63))])
            b[pos:pos + width] = int(word % (1 << (8 * width))).to_bytes(width, "little")
        yield bytes(b[:len(good)])


def fuzz_blobs(obj, rng: np.random.Generator, exercise: Callable, count: int = 300,
               lo: int = 16, hi: int | None = None) -> int:
    """Feeds mutated blobs to ``obj.set_state``: a rejection must leave the state unchanged; an
    accepted blob must survive ``exercise(obj)`` (process a block, read properties) without a
    crash. The original state is restored after each accepted blob. Returns the number
    accepted."""
    good = obj.get_state()
    accepted = 0
    for b in mutations(good, rng, count, lo, hi):
        before = obj.get_state()
        try:
            obj.set_state(b)
        except ValueError:
            assert obj.get_state() == before
            continue
        accepted += 1
        exercise(obj)
        obj.set_state(good)
    return accepted
