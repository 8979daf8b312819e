"""Streaming spectrum analyzer: a down-converter and a Welch PSD in one object.

A constructor argument outside its range raises ValueError naming the argument and the values
it accepts ("dwell must be >= 1, got 0"); MemoryError means memory ran out (or a size
was too large to allocate).
"""

from __future__ import annotations

from typing import Any, final

import numpy as np
import numpy.typing as npt

_ArrayLike = npt.ArrayLike
_F32 = npt.NDArray[np.float32]

@final
class Specan:
    """Streaming spectrum analyzer set up like a bench instrument.

    Input is complex64 I/Q at ``fs`` Hz whose DC sits at the RF frequency ``src_center``. Each
    frame shows ``span`` Hz around ``center`` in dB relative to ``full_scale**2`` (plus
    ``offset_db``), DC-centred.

    - ``center``, ``span``: a down-converter mixes ``center`` to DC and resamples to
      ``fs_out = min(fs, 1.28*span)``; the display shows +-0.390625*fs_out (+-span/2).
    - ``flat`` (default True): while fs/fs_out >= 8 the down-converter decimates 4:1 in
      pairs of halfbands (``predecimation`` reads their factor) and a last converter
      resamples the remaining ratio, so levels are flat to a few hundredths of a dB across the
      display and signals outside the span stay 60 dB or more down. ``flat=False``: one rate
      converter, which from fs/fs_out >= 8 on starts with an uncompensated CIC (levels 1.5 dB
      low a quarter span off centre and several dB at the edges, aliases 20-37 dB down).
      Below 8:1 both are the same chain; their state blobs differ ("SPAF" and "SPAN").
    - ``rbw``: the segment length ``n`` is the power of two >= fs_out/rbw; with the Kaiser
      window its beta is solved so the window's equivalent noise bandwidth equals ``rbw``
      (property ``rbw`` reads the realised value; above fs_out/2 the window has two samples,
      beta 0, and realises fs_out/2). Segments are zero-padded to ``nfft = 2*n``.
    - ``navg``: each frame is the mean of ``navg`` consecutive non-overlapping segments;
      averaging restarts for every frame.
    - ``full_scale``/``bits``: the amplitude reading 0 dB (``bits != 0`` sets 2**(bits-1)).

    Display index ``i`` is at ``center + (i - display_size//2) * fs_out/nfft`` Hz.
    """

    def __init__(self, fs: float, span: float, rbw: float, src_center: float = 0.0,
                 center: float = 0.0, offset_db: float = 0.0, full_scale: float = 1.0,
                 bits: int = 0, window: str = "kaiser", navg: int = 1, flat: bool = True) -> None:
        """``window`` is "hann" or "kaiser"; fs, span, rbw and full_scale must be > 0, navg >= 1
        and bits 0 or 1..1024 (ValueError naming the argument otherwise). Parameters the chain
        cannot realise (a window beyond 2**27 points, a state beyond 4 GiB, ...) and exhausted
        memory raise MemoryError "specan_create returned NULL"."""
    def execute(self, x: _ArrayLike, out: _F32 | None = None) -> _F32 | None:
        """Feed samples; the frame of the last block of n*navg decimated samples completed by
        this call (display_size float32 dB values), or None when no block completed. ``out``
        must hold at least max(display_size, len(x)) float32 elements. Runs without the
        interpreter lock."""
    def execute_max_out(self) -> int:
        """display_size."""
    def retune(self, center: float) -> None:
        """New display centre in Hz; pending samples are dropped (the next frame needs a full
        block at the new tuning). Span and RBW are fixed for the object's life."""
    def reset(self) -> None:
        """Down-converter history, PSD and pending samples cleared; configuration kept."""
    def state_bytes(self) -> int:
        """Length in bytes of the state blob."""
    def get_state(self) -> bytes:
        """Snapshot: down-converter, PSD and pending samples ("SPAN" blob)."""
    def set_state(self, blob: bytes, /) -> None:
        """Restore a snapshot of an analyzer built with the same parameters; a malformed blob
        is rejected with the object unchanged."""
    def destroy(self) -> None:
        """Free the native object now (idempotent)."""
    def __enter__(self) -> Specan: ...
    def __exit__(self, *args: Any) -> None: ...
    @property
    def fs_out(self) -> float:
        """Decimated rate, Hz (= span·1.28, ≤ fs_in)."""
    @property
    def span(self) -> float:
        """Display span, Hz."""
    @property
    def rbw(self) -> float:
        """Realised resolution bandwidth, Hz: enbw * fs_out / n of the analysis window."""
    @property
    def center(self) -> float:
        """Display center frequency, Hz."""
    @property
    def beta(self) -> float:
        """Kaiser beta realising rbw."""
    @property
    def n(self) -> int:
        """Segment / window length (samples)."""
    @property
    def nfft(self) -> int:
        """Zero-padded transform length."""
    @property
    def navg(self) -> int:
        """Segments averaged per emitted frame."""
    @property
    def display_size(self) -> int:
        """Display size."""
    @property
    def flat(self) -> bool:
        """True for the flat front end (halfband pairs ahead of the last converter)."""
    @property
    def predecimation(self) -> int:
        """Decimation of the 4:1 halfband pairs ahead of the last converter (4**k; 1 without
        them: flat=False, or fs/fs_out < 8)."""
