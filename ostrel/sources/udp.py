"""``udp://[HOST]:PORT``: sample datagrams as network sinks of SDR frameworks send them
(cf32 by default; 1472-byte payloads on a standard network).

With ``seq`` (``--udp-seq``) every datagram starts with a 64-bit sequence number in the
sender's byte order (little-endian here) that counts datagrams from 1; a jump in it counts the
datagrams lost on the way, reported as a gap of that many datagrams' samples. A datagram that
goes back (a restarted sender) starts counting afresh. An empty datagram ends the stream (the
sender's end-of-stream marker). HOST defaults to 127.0.0.1; give 0.0.0.0 to listen on every
interface.
"""

from __future__ import annotations

import ctypes
import errno
import os
import select
import socket
import sys

import numpy as np

from .base import Source, SourceError, Wire

# Linux's recvmmsg through ctypes: a batch of datagrams in one system call (and without the
# interpreter lock), instead of one Python call per datagram. Elsewhere: recv_into per datagram.
MSG_DONTWAIT = getattr(socket, "MSG_DONTWAIT", 0x40)


class _IoVec(ctypes.Structure):
    _fields_ = [("base", ctypes.c_void_p), ("len", ctypes.c_size_t)]


class _MsgHdr(ctypes.Structure):
    _fields_ = [("name", ctypes.c_void_p), ("namelen", ctypes.c_uint32),
                ("iov", ctypes.POINTER(_IoVec)), ("iovlen", ctypes.c_size_t),
                ("control", ctypes.c_void_p), ("controllen", ctypes.c_size_t),
                ("flags", ctypes.c_int)]


class _MMsgHdr(ctypes.Structure):
    _fields_ = [("hdr", _MsgHdr), ("len", ctypes.c_uint)]


def _libc_recvmmsg():
    if not sys.platform.startswith("linux"):
        return None
    try:
        f = ctypes.CDLL(None, use_errno=True).recvmmsg
    except (OSError, AttributeError):
        return None
    f.argtypes = [ctypes.c_int, ctypes.POINTER(_MMsgHdr), ctypes.c_uint, ctypes.c_int,
                  ctypes.c_void_p]
    f.restype = ctypes.c_int
    return f


_recvmmsg = _libc_recvmmsg()


def _batch_headers(slab: np.ndarray):
    """recvmmsg headers whose buffers are the slab's rows, and a view of their lengths; (None,
    None) where recvmmsg is not available."""
    if _recvmmsg is None:
        return None, None
    rows, width = slab.shape
    iov = (_IoVec * rows)(*[_IoVec(slab.ctypes.data + i * width, width) for i in range(rows)])
    msgs = (_MMsgHdr * rows)()
    for i in range(rows):
        msgs[i].hdr.iov = ctypes.pointer(iov[i])
        msgs[i].hdr.iovlen = 1
    msgs._iov = iov  # the headers point into it: keep it alive with them
    lens = np.frombuffer(msgs, np.uint8).reshape(rows, ctypes.sizeof(_MMsgHdr))[
        :, _MMsgHdr.len.offset:_MMsgHdr.len.offset + 4].view(np.uint32)[:, 0]
    return msgs, lens
from .rtltcp import host_port

ROW = 1 << 16  # the largest datagram
BATCH = 128  # datagrams taken per read, as long as they keep coming
SEQ_BYTES = 8
EMPTY = np.zeros(0, np.complex64)
RCVBUF = 64 << 20  # bytes of kernel buffer: about 0.3 s at 20 Msps of 1472-byte datagrams


class UdpSource(Source):
    kind = "udp"

    def __init__(self, address, *, fs, rf, format, seq=False, **kw):
        super().__init__(address, **kw)
        if not fs:
            raise SourceError(f"{address}: a UDP stream carries no sample rate; give it with --fs")
        self.host, self.port = host_port(address, None, "udp")
        self.wire = Wire(format or "cf32_le")
        self.fs, self.center, self.datatype = float(fs), rf, self.wire.datatype
        self.seq = seq
        self.hdr = SEQ_BYTES if seq else 0
        self._slab = np.empty((BATCH, ROW), np.uint8)
        self._rows = [memoryview(self._slab[i]) for i in range(BATCH)]
        self._expected = None  # next sequence number
        self._per_datagram = 0  # samples in the last datagram (what a lost one held)
        self.datagrams = 0
        self._pending: list[int] = []  # datagrams left in the slab after a gap inside a batch
        self._eof = False
        self._split = 0  # where a gap cut the batch being read

    def _open(self) -> None:
        host = self.host or "127.0.0.1"
        try:
            info = socket.getaddrinfo(host, self.port, type=socket.SOCK_DGRAM)[0]
            self.sock = socket.socket(info[0], socket.SOCK_DGRAM)
        except OSError as e:
            raise SourceError(f"{self.address}: {e.strerror or e}") from None
        for opt in (getattr(socket, "SO_RCVBUFFORCE", None), socket.SO_RCVBUF):
            if opt is None:
                continue
            try:
                self.sock.setsockopt(socket.SOL_SOCKET, opt, RCVBUF)
                break
            except OSError:
                continue
        try:
            self.sock.bind(info[4])
        except OSError as e:
            self.sock.close()
            raise SourceError(f"{self.address}: cannot listen: {e.strerror or e}") from None
        self.sock.setblocking(False)
        self._mmsg, self._mmsg_len = _batch_headers(self._slab)
        self._poll = select.poll()
        self._poll.register(self.sock, select.POLLIN)
        self.info = {"listening": f"{info[4][0]}:{self.sock.getsockname()[1]}",
                     "sequence_header": self.seq,
                     "receive_buffer": self.sock.getsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF)}

    def _receive(self) -> list[int] | None:
        """Datagram lengths received into the slab's rows (the first waits up to POLL); None at
        an empty datagram before any other."""
        if not self._poll.poll(int(self.POLL * 1000)):
            return []
        if self._mmsg is not None:  # one system call for the whole batch
            n = _recvmmsg(self.sock.fileno(), self._mmsg, BATCH, MSG_DONTWAIT, None)
            if n < 0:
                err = ctypes.get_errno()
                if err in (errno.EAGAIN, errno.EWOULDBLOCK, errno.EINTR):
                    return []
                raise OSError(err, os.strerror(err))
            lengths = self._mmsg_len[:n].tolist()
            if 0 in lengths:  # the end-of-stream marker: what came before it, then the end
                lengths = lengths[:lengths.index(0)]
                if not lengths:
                    return None
                self._eof = True
            return lengths
        lengths = []
        for i in range(BATCH):
            try:
                n = self.sock.recv_into(self._rows[i])
            except (BlockingIOError, InterruptedError):
                break
            if n == 0:
                if not lengths:
                    return None
                self._eof = True
                break
            lengths.append(n)
        return lengths

    def _read(self):
        if self._pending:
            lengths, self._pending = self._pending, []
        elif self._eof:
            return None
        else:
            try:
                lengths = self._receive()
            except OSError as e:
                raise SourceError(f"{self.address}: {e.strerror or e}") from None
            if lengths is None:
                return None
            if not lengths:
                return EMPTY, 0
            self.datagrams += len(lengths)
        lost = 0
        lengths_all = lengths
        if self.seq:
            lengths, lost = self._sequence(lengths)
        if not lengths:
            return EMPTY, lost
        L, k = lengths[0], len(lengths)
        same = all(n == L for n in lengths)
        if same and self.wire.fmt.zero_copy and self.wire.fmt.complex and \
                (L - self.hdr) % 8 == 0 and not self.wire.pending:
            # the usual case: equal cf32 payloads gathered straight into the block
            x = np.empty(k * (L - self.hdr) // 8, np.complex64)
            x.view(np.uint8).reshape(k, L - self.hdr)[:] = self._slab[:k, self.hdr:L]
        else:
            payload = self._slab[:k, self.hdr:L].tobytes() if same else \
                b"".join(self._rows[i][self.hdr:n] for i, n in enumerate(lengths))
            x = self.wire.samples(payload)
        if self._split:  # the datagrams after a gap move to the slab's top for the next call
            rest, i = lengths_all[self._split:], self._split
            width = max(rest)
            self._slab[:len(rest), :width] = self._slab[i:i + len(rest), :width]
            self._pending, self._split = rest, 0
        self._per_datagram = (lengths[-1] - self.hdr) // self.wire.sample_bytes
        return x, lost

    def _sequence(self, lengths: list[int]) -> tuple[list[int], int]:
        """Checks the sequence numbers of the batch; returns the datagrams to keep and the
        samples lost before the first of them. A gap inside the batch splits it: the rest is
        read again (it stays in the slab) on the next call."""
        seqs = self._slab[:len(lengths), :SEQ_BYTES].copy().view("<u8")[:, 0]
        if self._expected is not None and min(lengths) >= SEQ_BYTES and \
                seqs[-1] == self._expected + len(seqs) - 1 and \
                np.array_equal(seqs, np.arange(self._expected, self._expected + len(seqs), dtype=np.uint64)):
            self._expected += len(seqs)  # the usual case: no gap, in order
            return lengths, 0
        lost = 0
        keep: list[int] = []
        for i, n in enumerate(lengths):
            s = int(seqs[i])
            if n < SEQ_BYTES:
                continue  # too short to carry the header: malformed, ignored
            if self._expected is not None and s > self._expected:
                if keep:  # deliver what came before the gap first; the rest waits in the slab
                    self._split = i
                    break
                per = self._per_datagram or (n - SEQ_BYTES) // self.wire.sample_bytes
                lost = (s - self._expected) * per
                self.wire.reset()  # a partial sample before the gap belongs to nothing
            self._expected = s + 1
            keep.append(n)
        return keep, lost
