"""Live sample sources: radios and network streams as blocks of complex64.

``open_source(address, ...)`` opens one and starts its reader thread::

    from ostrel.sources import open_source

    with open_source("rtltcp://127.0.0.1:1234", fs=2.4e6, rf=433.92e6, gain=20) as src:
        print(src.fs, src.center, src.datatype, src.info)
        for block in src:                # Block: samples, start, lost, time, gap
            process(block.samples)
            if block.start > 10_000_000:
                break
        print(src.stats())               # received, dropped, lost, gaps

Sources (one module each):

- ``-``: raw samples on standard input (``format``, ``fs``, ``rf`` as for raw files);
- ``rtltcp://HOST[:PORT]``: an rtl_tcp server (port 1234 by default); ``rf``, ``fs``, ``gain``,
  ``ppm`` and ``agc`` are sent to it; 8-bit unsigned I/Q (``cu8``);
- ``udp://[HOST]:PORT``: cf32 datagrams (``udp_seq``: each starts with a 64-bit little-endian
  sequence number, from which lost datagrams are counted);
- ``zmq+tcp://HOST:PORT``, ``zmq+ipc://PATH``: ZeroMQ SUB (or PULL, ``zmq="pull"``) of raw items
  (cf32 unless ``format`` says otherwise); needs pyzmq (the [zmq] extra);
- ``soapy:ARGS`` (``soapy:driver=rtlsdr,serial=...``): a SoapySDR device through Debian's
  python3-soapysdr; device overflows become gaps;
- anything else is a recording (SigMF or a raw file), read as now.

Every source reads on its own thread into a bounded queue; when the consumer falls behind, the
reader drops blocks and counts them (``stats()["dropped"]``), so memory stays bounded.
"""

from __future__ import annotations

from .base import Block, Gap, Source, SourceError

__all__ = ["Block", "Gap", "Source", "SourceError", "open_source", "is_live", "scheme_of"]

SCHEMES = {"rtltcp": "rtltcp", "udp": "udp", "zmq+tcp": "zmq", "zmq+ipc": "zmq"}


def scheme_of(address: str) -> str | None:
    """The source module that reads ``address`` ("stdin", "rtltcp", "udp", "zmq", "soapy"), or
    None for a recording."""
    if address == "-":
        return "stdin"
    if address.startswith("soapy:"):
        return "soapy"
    head, sep, _ = address.partition("://")
    if sep and head.lower() in SCHEMES:
        return SCHEMES[head.lower()]
    return None


def is_live(address: str) -> bool:
    """True when ``address`` names a live source rather than a recording."""
    return scheme_of(str(address)) is not None


def open_source(address: str, *, fs: float | None = None, rf: float | None = None,
                format: str | None = None, gain: float | None = None, ppm: int | None = None,
                agc: bool = False, udp_seq: bool = False, zmq: str = "sub",
                idle_timeout: float | None = None, connect_timeout: float = 5.0,
                queue_samples: int | None = None, stdin=None, block: int = 1 << 16) -> Source:
    """Open the source named by ``address`` and start reading it on its own thread.

    ``fs``/``rf`` set (rtl_tcp, SoapySDR) or declare (stdin, UDP, ZeroMQ) the sample rate and
    centre frequency; ``idle_timeout`` ends the stream after that many seconds without samples
    (None: wait for ever); ``queue_samples`` bounds the samples held between the reader and the
    consumer (default half a second, at least 1 Mi and at most 16 Mi samples). Raises
    SourceError with a one-line message when the source cannot be opened."""
    kind = scheme_of(str(address))
    common = {"queue_samples": queue_samples, "idle_timeout": idle_timeout}
    src: Source
    if kind == "stdin":
        from .stdin import StdinSource
        src = StdinSource(address, fs=fs, rf=rf, format=format, stream=stdin, block=block, **common)
    elif kind == "rtltcp":
        from .rtltcp import RtlTcpSource
        src = RtlTcpSource(address, fs=fs, rf=rf, gain=gain, ppm=ppm, agc=agc,
                           connect_timeout=connect_timeout, block=block, **common)
    elif kind == "udp":
        from .udp import UdpSource
        src = UdpSource(address, fs=fs, rf=rf, format=format, seq=udp_seq, **common)
    elif kind == "zmq":
        from .zmq import ZmqSource
        src = ZmqSource(address, fs=fs, rf=rf, format=format, pattern=zmq, **common)
    elif kind == "soapy":
        from .soapy import SoapySource
        src = SoapySource(address, fs=fs, rf=rf, gain=gain, block=block, **common)
    else:
        from .file import FileSource
        src = FileSource(address, fs=fs, rf=rf, format=format, block=block, **common)
    return src.open()
