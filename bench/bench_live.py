"""Live sources over loopback: the highest sample rate each network source sustains into
``ostrel record`` and ``ostrel spectrum`` with nothing dropped or lost, and the command's CPU
time per sample against the same command reading the same samples from a file.

Producers: a small C program that sends cf32 datagrams with the 64-bit sequence header
(sendmmsg, paced) for UDP; pyzmq PUSH of 64 Ki-sample messages (paced; the consumer runs
``--zmq pull``) for ZeroMQ; a TCP server of cu8 bytes for rtl_tcp. A rate is sustained when
the consumer received every sample the producer sent at that pace (nothing dropped here,
nothing lost upstream) and the producer kept its pace (TCP and ZeroMQ PUSH wait for a slow
consumer instead of losing samples). Recordings go to /dev/shm so the disk is not measured.

Each step runs ``SECONDS`` of stream; the producer and the consumer are not pinned (they are
two processes on a machine of two cores, which other work shares: figures vary run to run).
Run standalone: ``python bench/bench_live.py``."""

from __future__ import annotations

import json
import os
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

import numpy as np

import _util

SECONDS = 2.0
RATES = [2.5e6, 5e6, 10e6, 20e6, 40e6]
OSTREL = str(Path(sys.executable).with_name("ostrel"))
OUT = Path("/dev/shm") if Path("/dev/shm").is_dir() else Path(tempfile.gettempdir())

UDP_PRODUCER = r"""
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
enum { PER = 183, BATCH = 64, BYTES = 8 + PER * 8 };
static double now(void) { struct timespec t; clock_gettime(CLOCK_MONOTONIC, &t); return t.tv_sec + t.tv_nsec * 1e-9; }
int main(int argc, char **argv) {
    int port = atoi(argv[1]); double rate = atof(argv[2]), secs = atof(argv[3]);
    int s = socket(AF_INET, SOCK_DGRAM, 0), sz = 8 << 20;
    setsockopt(s, SOL_SOCKET, SO_SNDBUF, &sz, sizeof sz);
    struct sockaddr_in a = {0}; a.sin_family = AF_INET; a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(0x7f000001);
    if (connect(s, (struct sockaddr *)&a, sizeof a)) return 1;
    static char buf[BATCH][BYTES]; struct mmsghdr m[BATCH]; struct iovec v[BATCH];
    for (int i = 0; i < BATCH; ++i) {
        float *x = (float *)(buf[i] + 8);
        for (int k = 0; k < 2 * PER; ++k) x[k] = 0.25f * (float)((k * 7919) % 101) / 101.0f;
        v[i].iov_base = buf[i]; v[i].iov_len = BYTES;
        memset(&m[i], 0, sizeof m[i]); m[i].msg_hdr.msg_iov = &v[i]; m[i].msg_hdr.msg_iovlen = 1;
    }
    uint64_t seq = 1, total = (uint64_t)(rate * secs / PER), sent = 0;
    double t0 = now();
    while (sent < total) {
        int n = total - sent < BATCH ? (int)(total - sent) : BATCH;
        for (int i = 0; i < n; ++i) { memcpy(buf[i], &seq, 8); ++seq; }
        int r = sendmmsg(s, m, n, 0);
        if (r > 0) sent += r;
        double ahead = sent * (double)PER / rate - (now() - t0);
        if (ahead > 0) { struct timespec t = {(time_t)ahead, (long)((ahead - (time_t)ahead) * 1e9)}; nanosleep(&t, 0); }
    }
    printf("%f\n", sent * (double)PER / (now() - t0));
    return 0;
}
"""


def free_udp_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_bound(port: int, kind=socket.SOCK_DGRAM, limit: float = 20.0) -> None:
    """Until something has bound ``port`` (the consumer is listening)."""
    t0 = time.monotonic()
    while time.monotonic() - t0 < limit:
        with socket.socket(socket.AF_INET, kind) as s:
            try:
                s.bind(("127.0.0.1", port))
            except OSError:
                return
        time.sleep(0.05)


def consume(argv: list, start_producer, samples: int) -> dict:
    """Runs ``ostrel ARGV --samples N --json`` against a producer; returns its report, CPU
    seconds and the producer's achieved rate."""
    p = subprocess.Popen([OSTREL, *map(str, argv), "--samples", str(samples), "--json", "-q",
                          "--timeout", "3", "--force"], stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, preexec_fn=_all_cores)
    produced = start_producer()
    _, status, usage = os.wait4(p.pid, 0)
    out = p.stdout.read()
    p.returncode = os.waitstatus_to_exitcode(status)
    r = json.loads(out)[0] if out.strip() else {"error": p.stderr.read().decode()[-300:]}
    r["cpu_s"] = usage.ru_utime + usage.ru_stime
    r["produced_rate"] = produced
    return r


def _all_cores() -> None:
    try:
        os.sched_setaffinity(0, range(os.cpu_count() or 1))
    except OSError:
        pass


def udp_step(exe, cmd: list, rate: float) -> dict:
    port = free_udp_port()
    n = int(rate * SECONDS) // 183 * 183

    def produce():
        wait_bound(port)
        r = subprocess.run([str(exe), str(port), str(rate), str(SECONDS)], capture_output=True,
                           text=True, preexec_fn=_all_cores)
        return float(r.stdout or 0)

    return consume([*cmd, f"udp://127.0.0.1:{port}", "--fs", rate, "--udp-seq"], produce, n)


def zmq_step(cmd: list, rate: float) -> dict:
    import zmq

    ctx = zmq.Context()
    push = ctx.socket(zmq.PUSH)
    port = push.bind_to_random_port("tcp://127.0.0.1")
    msg = (np.random.default_rng(1).standard_normal(2 << 16).astype(np.float32) * 0.1).tobytes()
    per = len(msg) // 8
    n = int(rate * SECONDS) // per * per

    def produce():
        t0, sent = time.monotonic(), 0
        while sent < n:
            push.send(msg, copy=False)
            sent += per
            ahead = sent / rate - (time.monotonic() - t0)
            if ahead > 0:
                time.sleep(ahead)
        return sent / (time.monotonic() - t0)

    try:
        return consume([*cmd, f"zmq+tcp://127.0.0.1:{port}", "--zmq", "pull", "--fs", rate],
                       produce, n)
    finally:
        push.close(linger=1000)
        ctx.term()


def rtltcp_step(cmd: list, rate: float) -> dict:
    srv = socket.create_server(("127.0.0.1", 0))
    port = srv.getsockname()[1]
    n = int(rate * SECONDS)
    chunk = bytes(np.random.default_rng(2).integers(0, 256, 1 << 18, dtype=np.uint8))

    def produce():
        conn, _ = srv.accept()
        with conn:
            conn.sendall(b"RTL0" + struct.pack(">II", 5, 29))
            t0, sent = time.monotonic(), 0
            while sent < 2 * n:
                try:
                    conn.sendall(chunk[:min(len(chunk), 2 * n - sent)])
                except OSError:
                    break
                sent += min(len(chunk), 2 * n - sent)
                ahead = sent / 2 / rate - (time.monotonic() - t0)
                if ahead > 0:
                    time.sleep(ahead)
            rate_done = sent / 2 / (time.monotonic() - t0)
            time.sleep(0.5)
            return rate_done

    try:
        return consume([*cmd, f"rtltcp://127.0.0.1:{port}", "--fs", rate], produce, n)
    finally:
        srv.close()


def sustained(r: dict, rate: float) -> bool:
    return (not r.get("error") and r.get("dropped") == 0 and r.get("lost") == 0
            and r.get("produced_rate", 0) >= 0.97 * rate)


def file_cpu(cmd: list, n: int, fmt: str, tmp: Path) -> float:
    """CPU seconds of the same command reading n samples from a file (record: from standard
    input, the cheapest live path, as record takes live sources only)."""
    x = (np.random.default_rng(3).standard_normal(2 * n).astype(np.float32) * 0.1)
    if fmt == "cu8":
        data = (x * 127 + 128).clip(0, 255).astype(np.uint8)
    else:
        data = x
    path = tmp / f"in.{fmt}"
    data.tofile(path)
    stdin = None
    if cmd[0] == "record":
        argv, stdin = [*cmd, "-", "--format", fmt, "--fs", "1M"], open(path, "rb")
    else:
        argv = [*cmd, str(path), "--format", fmt, "--fs", "1M"]
    p = subprocess.Popen([OSTREL, *argv, "--json", "-q", "--force"], stdin=stdin,
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, _, usage = os.wait4(p.pid, 0)
    return usage.ru_utime + usage.ru_stime


def per_sample(cpu: float, n: int, startup: float) -> float:
    """CPU seconds per sample in the steady state: the start-up cost (interpreter, imports,
    metadata) of a run on 16 Ki samples taken off."""
    return max(cpu - startup, 0.0) / n


def run(quick: bool = False, only: str = "") -> list[dict]:
    rows = []
    rates = RATES[:3] if quick else RATES
    tmp = Path(tempfile.mkdtemp(dir=OUT))
    try:
        with _udp_producer() as exe:
            sources = []
            if exe is not None:
                sources.append(("udp", "cf32_le", lambda c, r: udp_step(exe, c, r)))
            try:
                import zmq  # noqa: F401
                sources.append(("zmq", "cf32_le", zmq_step))
            except ImportError:
                pass
            sources.append(("rtltcp", "cu8", rtltcp_step))
            for cmd_name in ("record", "spectrum"):
                cmd = ["record", "-o", tmp / "rec.sigmf-meta"] if cmd_name == "record" else ["spectrum"]
                for name, fmt, step in sources:
                    if only and only not in (name, cmd_name):
                        continue
                    best, cpu = 0.0, None
                    startup = file_cpu(cmd, 1 << 14, fmt, tmp)
                    for rate in rates:
                        r = step(cmd, rate)
                        ok = sustained(r, rate)
                        print(f"  {cmd_name} {name} {rate / 1e6:g} Msps: "
                              f"{'ok' if ok else 'NOT sustained'} (dropped {r.get('dropped')}, "
                              f"lost {r.get('lost')}, producer {r.get('produced_rate', 0) / 1e6:.2f} Msps"
                              + (f", {r['error']}" if r.get("error") else "") + ")", file=sys.stderr)
                        if not ok:
                            break
                        best = rate
                        if r.get("received"):
                            cpu = per_sample(r["cpu_s"], r["received"], startup)
                        for f in tmp.glob("rec.*"):
                            f.unlink()
                    ref = per_sample(file_cpu(cmd, 1 << 23, fmt, tmp), 1 << 23, startup)
                    rows.append(_util.row(f"live {cmd_name} {name}: highest rate with no drops", best,
                                          unit="samples/s"))
                    if cpu is not None:
                        rows.append(_util.row(f"live {cmd_name} {name}: CPU ns per sample", cpu * 1e9,
                                              unit="ns", peer="same command on a file",
                                              peer_value=ref * 1e9))
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    return rows


class _udp_producer:
    """Builds the UDP producer (C, sendmmsg); None without a C compiler."""

    def __enter__(self):
        cc = shutil.which("cc") or shutil.which("gcc")
        self.tmp = tempfile.mkdtemp()
        if not cc:
            return None
        src = Path(self.tmp) / "udp_producer.c"
        src.write_text(UDP_PRODUCER)
        exe = Path(self.tmp) / "udp_producer"
        ok = subprocess.run([cc, "-O2", str(src), "-o", str(exe)], capture_output=True).returncode == 0
        return exe if ok else None

    def __exit__(self, *a):
        shutil.rmtree(self.tmp, ignore_errors=True)


if __name__ == "__main__":
    only = sys.argv[sys.argv.index("--only") + 1] if "--only" in sys.argv else ""
    for row in run(quick="--quick" in sys.argv, only=only):
        print(row)
