"""``rtltcp://HOST[:PORT]``: an rtl_tcp server (port 1234 by default).

The server opens with a 12-byte header: the magic ``RTL0``, then the tuner type and the number
of gain steps (big-endian 32-bit each). Commands are 5 bytes: a command byte and a big-endian
32-bit parameter. Samples follow as interleaved unsigned 8-bit I/Q (``cu8``), converted as
(v - 128) / 128.
"""

from __future__ import annotations

import socket
import struct

from .base import Source, SourceError, Wire

DEFAULT_PORT = 1234
MAGIC = b"RTL0"
TUNERS = {0: "unknown", 1: "E4000", 2: "FC0012", 3: "FC0013", 4: "FC2580", 5: "R820T", 6: "R828D"}

# Command bytes of the protocol.
SET_FREQUENCY, SET_SAMPLE_RATE, SET_GAIN_MODE, SET_GAIN, SET_FREQ_CORRECTION = 1, 2, 3, 4, 5
SET_AGC_MODE = 8


def command(cmd: int, value: int) -> bytes:
    """One 5-byte command: the command byte and a big-endian unsigned 32-bit parameter (signed
    values, the frequency correction and gains, travel as their two's complement)."""
    return struct.pack(">BI", cmd, int(value) & 0xFFFFFFFF)


def host_port(address: str, default_port: int | None, scheme: str) -> tuple[str, int]:
    """HOST and PORT of ``scheme://HOST[:PORT]`` (IPv6 hosts in brackets); HOST may be empty.
    Without ``default_port`` the port must be given (0 listens on a free one)."""
    rest = address.split("://", 1)[1].rstrip("/")
    if rest.startswith("["):
        host, _, tail = rest[1:].partition("]")
        port = tail[1:] if tail.startswith(":") else ""
    else:
        host, _, port = rest.rpartition(":") if ":" in rest else (rest, "", "")
    try:
        p = int(port) if port else default_port
    except ValueError:
        raise SourceError(f"{address}: the port must be a number ({scheme}://HOST:PORT)") from None
    if p is None:
        raise SourceError(f"{address}: give the port ({scheme}://HOST:PORT)")
    if not (0 if default_port is None else 1) <= p < 65536:
        raise SourceError(f"{address}: port {p} is out of range")
    return host, p


def recv_exact(sock: socket.socket, n: int) -> bytes:
    data = b""
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        if not chunk:
            break
        data += chunk
    return data


class RtlTcpSource(Source):
    kind = "rtltcp"

    def __init__(self, address, *, fs, rf, gain, ppm, agc, connect_timeout=5.0, block=1 << 16, **kw):
        super().__init__(address, **kw)
        if not fs:
            raise SourceError(f"{address}: give the sample rate to set on the server with --fs")
        self.host, self.port = host_port(address, DEFAULT_PORT, "rtltcp")
        self.fs, self.center = float(fs), rf
        self.gain, self.ppm, self.agc = gain, ppm, agc
        self.connect_timeout = connect_timeout
        self.wire = Wire("cu8")
        self.datatype = "cu8"
        self._buf = bytearray(2 * max(1, block))
        self.sent: list[tuple[int, int]] = []  # (command, parameter) in the order sent

    def _send(self, cmd: int, value: int) -> None:
        self.sock.sendall(command(cmd, value))
        self.sent.append((cmd, int(value)))

    def _open(self) -> None:
        host = self.host or "127.0.0.1"
        try:
            self.sock = socket.create_connection((host, self.port), timeout=self.connect_timeout)
        except OSError as e:
            raise SourceError(f"{self.address}: cannot connect: {e.strerror or e}") from None
        try:
            header = recv_exact(self.sock, 12)
            if len(header) < 12 or header[:4] != MAGIC:
                raise SourceError(f"{self.address}: not an rtl_tcp server (expected a 12-byte header "
                                  f"starting with RTL0, got {header[:12]!r})")
            tuner, gains = struct.unpack(">II", header[4:12])
            self.info = {"tuner": TUNERS.get(tuner, f"type {tuner}"), "tuner_type": tuner,
                         "gain_count": gains}
            self._send(SET_SAMPLE_RATE, round(self.fs))
            if self.center is not None:
                if not 0 <= self.center < 2 ** 32:
                    raise SourceError(f"{self.address}: centre frequency {self.center:g} Hz is out of "
                                      "the protocol's range (0 to 4.29 GHz)")
                self._send(SET_FREQUENCY, round(self.center))
            if self.ppm:
                self._send(SET_FREQ_CORRECTION, int(self.ppm))
            if self.gain is None:
                self._send(SET_GAIN_MODE, 0)  # automatic tuner gain
            else:
                self._send(SET_GAIN_MODE, 1)
                self._send(SET_GAIN, round(self.gain * 10))  # tenths of a dB
            if self.agc:
                self._send(SET_AGC_MODE, 1)
            self.sock.settimeout(self.POLL)
        except socket.timeout:
            self.sock.close()
            raise SourceError(f"{self.address}: the server sent no header within "
                              f"{self.connect_timeout:g} s") from None
        except (SourceError, OSError) as e:
            self.sock.close()
            raise e if isinstance(e, SourceError) else SourceError(f"{self.address}: {e}") from None

    def _read(self):
        try:
            n = self.sock.recv_into(self._buf)
        except socket.timeout:
            return self.wire.samples(b""), 0
        except OSError as e:
            raise SourceError(f"{self.address}: connection failed: {e.strerror or e}") from None
        if n == 0:
            return None
        return self.wire.samples(memoryview(self._buf)[:n]), 0

    def _close(self) -> None:
        sock = getattr(self, "sock", None)
        if sock is not None:
            sock.close()
