"""``zmq+tcp://HOST:PORT``, ``zmq+ipc://PATH``: ZeroMQ SUB (or PULL) of raw items, as the ZMQ
PUB and PUSH sinks of SDR frameworks publish them (tags off): every message is a run of samples
(cf32 unless a format is given). Needs pyzmq, the [zmq] extra.

The source connects to the sink's address. A PUB sink drops messages on its side when a
subscriber falls behind its high-water mark, and says nothing: such losses cannot be counted
here. PULL applies back-pressure instead (the sender waits), and this process counts what it
has to drop.
"""

from __future__ import annotations

from .base import Source, SourceError, Wire

HWM = 1000  # messages held in ZeroMQ's own queue
MAX_MESSAGE = 1 << 26  # bytes; a larger message is refused by ZeroMQ (hostile or misconfigured)
BATCH_BYTES = 1 << 24  # taken per read, when several messages wait


def load_zmq():
    try:
        import zmq
    except ImportError:
        raise SourceError("zmq+tcp:// and zmq+ipc:// sources need pyzmq, the [zmq] extra: "
                          "pip install 'ostrel[zmq]' (or pip install pyzmq)") from None
    return zmq


class ZmqSource(Source):
    kind = "zmq"

    def __init__(self, address, *, fs, rf, format, pattern="sub", **kw):
        super().__init__(address, **kw)
        if not fs:
            raise SourceError(f"{address}: a ZeroMQ stream carries no sample rate; give it with --fs")
        if pattern not in ("sub", "pull"):
            raise SourceError(f"{address}: the ZeroMQ pattern is sub or pull, not {pattern!r}")
        self.address = address.split("+", 1)[1]
        self.pattern = pattern
        self.wire = Wire(format or "cf32_le")
        self.fs, self.center, self.datatype = float(fs), rf, self.wire.datatype
        self.messages = 0

    def _open(self) -> None:
        zmq = load_zmq()
        self._zmq = zmq
        self.ctx = zmq.Context()
        try:
            self.sock = self.ctx.socket(zmq.SUB if self.pattern == "sub" else zmq.PULL)
            self.sock.setsockopt(zmq.RCVHWM, HWM)
            self.sock.setsockopt(zmq.MAXMSGSIZE, MAX_MESSAGE)
            self.sock.setsockopt(zmq.LINGER, 0)
            self.sock.setsockopt(zmq.RECONNECT_IVL, 20)  # join a sink that starts later quickly
            if self.pattern == "sub":
                self.sock.setsockopt(zmq.SUBSCRIBE, b"")
            self.sock.connect(self.address)
        except zmq.ZMQError as e:
            self.ctx.destroy(linger=0)
            raise SourceError(f"{self.address}: {e}") from None
        self.poller = zmq.Poller()
        self.poller.register(self.sock, zmq.POLLIN)
        self.info = {"pattern": self.pattern.upper(), "address": self.address}

    def _read(self):
        zmq = self._zmq
        if not self.poller.poll(int(self.POLL * 1000)):
            return self.wire.samples(b""), 0
        parts, size = [], 0
        try:  # what is queued, up to a bound, in one block
            while size < BATCH_BYTES:
                parts.append(self.sock.recv(zmq.NOBLOCK, copy=False).buffer)
                size += len(parts[-1])
        except zmq.Again:
            pass
        self.messages += len(parts)
        data = parts[0] if len(parts) == 1 else b"".join(parts)
        return self.wire.samples(data), 0

    def _close(self) -> None:
        if getattr(self, "ctx", None) is not None:
            self.sock.close(linger=0)
            self.ctx.term()
