"""Live sources on loopback: an rtl_tcp replay server written here, GNU Radio's ZMQ and UDP sinks
as an independent producer, a pipe into '-', a SoapySDR device module built here, and Ctrl-C
during record and spectrum. Results on a stream must equal the results on the same samples read
from a file."""

from __future__ import annotations

import json
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import textwrap
import threading
import time
from pathlib import Path

import numpy as np
import pytest

from ostrel.cli import main
from ostrel.cli.recording import open_recording
from ostrel.sources import SourceError, open_source

GR_PYTHON = "/usr/bin/python3"
OSTREL = [str(Path(sys.executable).with_name("ostrel"))]  # the installed command
LIVE_KEYS = {"file", "received", "dropped", "lost", "ended", "live"}


def foreign_env() -> dict:
    """The environment for programs that are not ours (GNU Radio, the compiler): without the
    sanitizer runtime a sanitized test run preloads."""
    return {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}


def run_cli(capsys, *argv) -> tuple[int, list]:
    rc = main([str(a) for a in argv] + ["--json", "-q"])
    out = capsys.readouterr().out
    return rc, json.loads(out) if out.strip() else []


def same_results(a: dict, b: dict) -> None:
    keys = (set(a) | set(b)) - LIVE_KEYS
    assert {k: a.get(k) for k in keys} == {k: b.get(k) for k in keys}


# --- an rtl_tcp replay server ------------------------------------------------------------------

class RtlTcpReplay:
    """Serves cu8 bytes after the 12-byte header, at ``fs`` samples per second in sends of
    random sizes, and records the commands it receives."""

    def __init__(self, data: bytes, fs: float, tuner: int = 5, gains: int = 29, seed: int = 0):
        self.data, self.fs = data, fs
        self.header = b"RTL0" + struct.pack(">II", tuner, gains)
        self.commands: list[tuple[int, int]] = []
        self.rng = np.random.default_rng(seed)
        self.srv = socket.create_server(("127.0.0.1", 0))
        self.srv.settimeout(10)
        self.port = self.srv.getsockname()[1]
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self) -> None:
        try:
            conn, _ = self.srv.accept()
        except OSError:
            return
        with conn:
            conn.sendall(self.header)
            conn.settimeout(0.5)
            self._commands(conn)  # the client sends its settings right after the header
            conn.settimeout(0)
            t0, pos = time.monotonic(), 0
            while pos < len(self.data):
                self._commands(conn)
                n = int(self.rng.integers(1, 20000))
                try:
                    conn.sendall(self.data[pos:pos + n])
                except OSError:
                    return
                pos += n
                ahead = pos / 2 / self.fs - (time.monotonic() - t0)  # real-time pacing
                if ahead > 0:
                    time.sleep(ahead)
            self._commands(conn)

    def _commands(self, conn) -> None:
        buf = getattr(self, "_buf", b"")
        try:
            buf += conn.recv(4096)
        except OSError:  # nothing more (timeout, would block)
            pass
        while len(buf) >= 5:
            self.commands.append(struct.unpack(">BI", buf[:5]))
            buf = buf[5:]
        self._buf = buf

    def close(self) -> None:
        self.srv.close()
        self.thread.join(timeout=5)


@pytest.fixture(scope="module")
def scene(tmp_path_factory):
    """A short synthesised recording at 2.4 MHz in cu8 (rtl_tcp's format), and the same bytes
    as a raw file."""
    d = tmp_path_factory.mktemp("live")
    assert main(["synth", str(d / "s.sigmf-meta"), "--fs", "2.4M", "--seconds", "0.1",
                 "--datatype", "cu8", "-q", "--json"]) == 0
    raw = d / "s.cu8"
    shutil.copy(d / "s.sigmf-data", raw)
    return d, raw


def test_rtltcp_spectrum_demod_record_equal_the_file(scene, capsys):
    d, raw = scene
    data = raw.read_bytes()
    n = len(data) // 2
    opts = ["--fs", "2.4M", "--rf", "433.92M"]
    demod = ["--mod", "qpsk", "--symbol-rate", "120k", "--carrier", "240k", "--rrc", "0.35"]
    for cmd, extra in (("spectrum", []), ("demod", demod), ("record", ["-o", d / "rec.sigmf-meta"])):
        srv = RtlTcpReplay(data, 2.4e6, seed=len(cmd))
        try:
            rc, live = run_cli(capsys, cmd, f"rtltcp://127.0.0.1:{srv.port}", *opts, "--gain", "20.7",
                               "--ppm", "-3", "--samples", n, "--timeout", "5", *extra)
        finally:
            srv.close()
        assert rc == 0, live
        assert srv.commands == [(2, 2400000), (1, 433920000), (5, 2 ** 32 - 3), (3, 1), (4, 207)]
        assert live[0]["received"] == n and live[0]["dropped"] == 0 and live[0]["lost"] == 0
        assert live[0]["live"]["reports"] == {"tuner": "R820T", "tuner_type": 5, "gain_count": 29}
        if cmd == "record":
            rec = open_recording(str(d / "rec.sigmf-meta"))
            assert rec.datatype == "cu8" and rec.fs == 2.4e6 and rec.center == 433.92e6
            assert (d / "rec.sigmf-data").read_bytes() == data
            cap = rec.captures[0]
            assert cap["core:global_index"] == 0 and cap["core:datetime"].endswith("Z")
            assert rec.global_info["core:hw"] == "tuner R820T"
            continue
        rc, ref = run_cli(capsys, cmd, raw, "--format", "cu8", *opts, *extra)
        assert rc == 0
        same_results(live[0], ref[0])


def test_rtltcp_refuses_a_server_of_another_protocol():
    srv = socket.create_server(("127.0.0.1", 0))
    port = srv.getsockname()[1]

    def serve():
        conn, _ = srv.accept()
        conn.sendall(b"HTTP/1.1 200 OK\r\n\r\n")
        time.sleep(0.5)
        conn.close()

    t = threading.Thread(target=serve, daemon=True)
    t.start()
    with pytest.raises(SourceError, match="not an rtl_tcp server"):
        open_source(f"rtltcp://127.0.0.1:{port}", fs=1e6, connect_timeout=2)
    srv.close()
    with pytest.raises(SourceError, match="cannot connect"):
        open_source(f"rtltcp://127.0.0.1:{port}", fs=1e6, connect_timeout=2)
    with pytest.raises(SourceError, match="--fs"):
        open_source("rtltcp://127.0.0.1:1")


# --- standard input ------------------------------------------------------------------------------

def test_pipe_into_stdin_equals_the_file(scene, capsys):
    d, raw = scene
    opts = ["--format", "cu8", "--fs", "2.4M"]
    with open(raw, "rb") as f:
        p = subprocess.run([*OSTREL, "spectrum", "-", *opts, "--json", "-q"],
                           stdin=f, capture_output=True, timeout=60)
    assert p.returncode == 0, p.stderr
    live = json.loads(p.stdout)[0]
    rc, ref = run_cli(capsys, "spectrum", raw, *opts)
    same_results(live, ref[0])
    assert live["ended"] == "end of stream" and live["received"] == raw.stat().st_size // 2


# --- UDP: sequence numbers, gaps, drops -----------------------------------------------------------

def ramp(start: int, n: int) -> np.ndarray:
    """Samples that name their own stream index (exact in float32 below 2**24)."""
    k = np.arange(start, start + n, dtype=np.float32)
    return (k - 1j * k).astype(np.complex64)


def datagrams(first_seq: int, first_sample: int, count: int, per: int = 183) -> list[bytes]:
    return [struct.pack("<Q", first_seq + i) + ramp(first_sample + i * per, per).tobytes()
            for i in range(count)]


def test_udp_sequence_gaps_are_counted_and_samples_are_exact():
    src = open_source("udp://127.0.0.1:0", fs=1e6, udp_seq=True, idle_timeout=2)
    port = src.sock.getsockname()[1]
    tx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sent = datagrams(1, 0, 10)
    del sent[4:6]  # two datagrams lost on the way
    for dgram in sent + [b""]:
        tx.sendto(dgram, ("127.0.0.1", port))
    blocks = list(src)
    src.close()
    x = np.concatenate([b.samples for b in blocks])
    np.testing.assert_array_equal(x, np.concatenate([ramp(0, 4 * 183), ramp(6 * 183, 4 * 183)]))
    after = [b for b in blocks if b.gap]
    assert len(after) == 1 and after[0].lost == 2 * 183 and after[0].start == 6 * 183
    s = src.stats()
    assert (s["lost"], s["gaps"], s["stream_samples"], s["received"]) == (366, 1, 1830, 1464)
    assert s["gap_list"] == [{"sample": 4 * 183, "lost": 366, "cause": "lost"}]
    assert src.end_reason == "end of stream"


def test_a_slow_consumer_drops_at_the_source_and_counts_it():
    src = open_source("udp://127.0.0.1:0", fs=1e6, queue_samples=1000, idle_timeout=1)
    port = src.sock.getsockname()[1]
    tx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    for i in range(20):  # nobody reads: the queue holds at most 1000 samples, then drops
        tx.sendto(ramp(i * 184, 184).tobytes(), ("127.0.0.1", port))
        time.sleep(0.005)
    time.sleep(0.3)
    tx.sendto(b"", ("127.0.0.1", port))
    got = list(src)
    s = src.stats()
    assert s["received"] + s["dropped"] == s["stream_samples"] == 20 * 184
    assert s["dropped"] >= 20 * 184 - 1000 - 184 * 19 // 2 and s["dropped"] > 0
    assert sum(len(b.samples) for b in got) == s["received"]
    assert s["gap_list"][0]["cause"] == "dropped" and sum(g["lost"] for g in s["gap_list"]) == s["dropped"]
    for b in got:  # every delivered block is where the stream says it is
        np.testing.assert_array_equal(b.samples, ramp(b.start, len(b.samples)))
    assert [b.gap for b in got].count(True) <= s["gaps"]  # drops at the end precede no block


# --- GNU Radio as the producer ------------------------------------------------------------------

GR_SCRIPT = textwrap.dedent("""
    import sys
    import numpy as np
    from gnuradio import blocks, gr, network, zeromq
    zport, uport, n = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
    k = np.arange(1 << 20, dtype=np.float32)
    tb = gr.top_block()
    src = blocks.vector_source_c((k - 1j * k).astype(np.complex64).tolist(), False)
    thr = blocks.throttle(gr.sizeof_gr_complex, 1e6)
    head = blocks.head(gr.sizeof_gr_complex, n)
    pub = zeromq.pub_sink(gr.sizeof_gr_complex, 1, f"tcp://127.0.0.1:{zport}", 100, False, -1)
    udp = network.udp_sink(gr.sizeof_gr_complex, 1, "127.0.0.1", uport, 1, 1472, True)
    tb.connect(src, thr, head)
    tb.connect(head, pub)
    tb.connect(head, udp)
    tb.run()
""")


def free_port(kind=socket.SOCK_STREAM) -> int:
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class DroppingRelay:
    """Forwards datagrams to ``dest``, dropping the ones whose position is in ``drop``."""

    def __init__(self, dest: int, drop: set):
        self.rx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.rx.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 << 20)
        self.rx.bind(("127.0.0.1", 0))
        self.rx.settimeout(10)
        self.port, self.dest, self.drop = self.rx.getsockname()[1], dest, drop
        self.t = threading.Thread(target=self._run, daemon=True)
        self.t.start()

    def _run(self):
        tx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        i = 0
        while True:
            try:
                d = self.rx.recv(65536)
            except OSError:
                return
            if i not in self.drop or not d:
                tx.sendto(d, ("127.0.0.1", self.dest))
            i += 1
            if not d:
                return


def test_gnuradio_zmq_and_udp_sinks_deliver_exact_samples():
    if not Path(GR_PYTHON).exists() or subprocess.run(
            [GR_PYTHON, "-c", "from gnuradio import network, zeromq"], capture_output=True,
            env=foreign_env()).returncode:
        pytest.skip("GNU Radio (Debian's gnuradio, with gr-network and gr-zeromq) is not installed")
    pytest.importorskip("zmq", reason="pyzmq (the [zmq] extra) is not installed")
    n = 150_000
    zport = free_port()
    udp = open_source("udp://127.0.0.1:0", fs=4e6, udp_seq=True, idle_timeout=5)
    relay = DroppingRelay(udp.sock.getsockname()[1], drop={100})
    zsrc = open_source(f"zmq+tcp://127.0.0.1:{zport}", fs=4e6, idle_timeout=1.5)
    gr = subprocess.Popen([GR_PYTHON, "-c", GR_SCRIPT, str(zport), str(relay.port), str(n)],
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=foreign_env())
    try:
        ublocks = list(udp)
        zblocks = list(zsrc)
        assert gr.wait(timeout=30) == 0, gr.stderr.read()
    finally:
        gr.kill()
        udp.close()
        zsrc.close()
    # UDP: 183 samples a datagram after the 8-byte header; datagram 100 was dropped on the way
    per = (1472 - 8) // 8
    x = np.concatenate([b.samples for b in ublocks])
    assert (udp.stats()["lost"], udp.stats()["gaps"]) == (per, 1), udp.stats()["gap_list"]
    first = int(x[0].real)  # the sink numbers from where the stream started
    gap = [b for b in ublocks if b.gap][0]
    assert gap.lost == per and int(gap.samples[0].real) == gap.start + first
    end = first + (n - first) // per * per  # the sink sends whole datagrams only
    expect = np.concatenate([ramp(first, 100 * per), ramp(first + 101 * per, end - 101 * per - first)])
    np.testing.assert_array_equal(x, expect)
    # ZMQ: a subscriber misses what was published before it joined, then gets every sample
    z = np.concatenate([b.samples for b in zblocks])
    assert len(z) > 1000
    np.testing.assert_array_equal(z, ramp(int(z[0].real), len(z)))
    assert int(z[-1].real) == n - 1


def test_zmq_ipc_pull_of_messages_cut_inside_samples(tmp_path):
    zmq = pytest.importorskip("zmq", reason="pyzmq (the [zmq] extra) is not installed")
    ctx = zmq.Context()
    push = ctx.socket(zmq.PUSH)
    push.bind(f"ipc://{tmp_path}/rx")
    src = open_source(f"zmq+ipc://{tmp_path}/rx", fs=1e6, zmq="pull", idle_timeout=0.5)
    data = ramp(0, 1000).tobytes()
    try:
        for a, b in ((0, 13), (13, 4000), (4000, 8000)):  # messages need not hold whole samples
            push.send(data[a:b])
        got = np.concatenate([b.samples for b in src])
    finally:
        src.close()
        push.close(linger=0)
        ctx.term()
    np.testing.assert_array_equal(got, ramp(0, 1000))
    assert src.info == {"pattern": "PULL", "address": f"ipc://{tmp_path}/rx"}


def test_zmq_source_names_its_extra_when_pyzmq_is_missing(monkeypatch):
    monkeypatch.setitem(sys.modules, "zmq", None)
    with pytest.raises(SourceError, match=r"need pyzmq, the \[zmq\] extra"):
        open_source("zmq+tcp://127.0.0.1:1", fs=1e6)


# --- SoapySDR ------------------------------------------------------------------------------------

SOAPY_MODULE = r"""
#include <SoapySDR/Device.hpp>
#include <SoapySDR/Formats.hpp>
#include <SoapySDR/Registry.hpp>
#include <algorithm>
#include <complex>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

// Replays a cf32 file; at sample `overflow_at` it reports one overflow and skips `skip` samples
// (the next read's timestamp tells how many).
class Replay : public SoapySDR::Device {
public:
    explicit Replay(const SoapySDR::Kwargs &a) {
        FILE *f = std::fopen(a.at("file").c_str(), "rb");
        if (!f) throw std::runtime_error("cannot open the replay file");
        std::complex<float> v;
        while (std::fread(&v, sizeof v, 1, f) == 1) data_.push_back(v);
        std::fclose(f);
        overflow_at_ = a.count("overflow_at") ? std::stoul(a.at("overflow_at")) : ~size_t{0};
        skip_ = a.count("skip") ? std::stoul(a.at("skip")) : 0;
    }
    std::string getDriverKey() const override { return "ostreltest"; }
    std::string getHardwareKey() const override { return "file replay"; }
    SoapySDR::Kwargs getHardwareInfo() const override { return {{"samples", std::to_string(data_.size())}}; }
    size_t getNumChannels(const int) const override { return 1; }
    void setSampleRate(const int, const size_t, const double r) override { rate_ = r; }
    double getSampleRate(const int, const size_t) const override { return rate_; }
    void setFrequency(const int, const size_t, const double f, const SoapySDR::Kwargs &) override { freq_ = f; }
    double getFrequency(const int, const size_t) const override { return freq_; }
    bool hasGainMode(const int, const size_t) const override { return true; }
    void setGainMode(const int, const size_t, const bool) override {}
    void setGain(const int, const size_t, const double) override {}
    SoapySDR::Stream *setupStream(const int, const std::string &fmt, const std::vector<size_t> &,
                                  const SoapySDR::Kwargs &) override {
        if (fmt != SOAPY_SDR_CF32) throw std::runtime_error("CF32 only");
        return reinterpret_cast<SoapySDR::Stream *>(this);
    }
    void closeStream(SoapySDR::Stream *) override {}
    size_t getStreamMTU(SoapySDR::Stream *) const override { return 4096; }
    int activateStream(SoapySDR::Stream *, const int, const long long, const size_t) override { return 0; }
    int deactivateStream(SoapySDR::Stream *, const int, const long long) override { return 0; }
    int readStream(SoapySDR::Stream *, void *const *buffs, const size_t n, int &flags,
                   long long &timeNs, const long) override {
        if (pos_ >= data_.size()) {
            flags = SOAPY_SDR_END_ABRUPT;
            return SOAPY_SDR_STREAM_ERROR;  // the file is over
        }
        if (pos_ >= overflow_at_) {
            overflow_at_ = ~size_t{0};
            pos_ += skip_;
            return SOAPY_SDR_OVERFLOW;
        }
        size_t k = std::min({n, size_t{4096}, data_.size() - pos_, overflow_at_ - pos_});
        std::memcpy(buffs[0], &data_[pos_], k * sizeof(data_[0]));
        flags = SOAPY_SDR_HAS_TIME;
        timeNs = static_cast<long long>(pos_ * 1e9 / rate_ + 0.5);
        pos_ += k;
        return static_cast<int>(k);
    }
private:
    std::vector<std::complex<float>> data_;
    size_t pos_ = 0, overflow_at_, skip_;
    double rate_ = 1e6, freq_ = 0;
};

static SoapySDR::KwargsList find(const SoapySDR::Kwargs &a) {
    if (a.count("driver") && a.at("driver") != "ostreltest") return {};
    return {{{"driver", "ostreltest"}}};
}
static SoapySDR::Device *make(const SoapySDR::Kwargs &a) { return new Replay(a); }
static SoapySDR::Registry registry("ostreltest", &find, &make, SOAPY_SDR_ABI_VERSION);
"""


@pytest.fixture(scope="module")
def soapy_module(tmp_path_factory):
    from ostrel.sources.soapy import load_soapy

    try:
        load_soapy()
    except SourceError as e:
        pytest.skip(str(e))
    if not Path("/usr/include/SoapySDR/Device.hpp").exists() or not shutil.which("g++"):
        pytest.skip("building a SoapySDR test module needs libsoapysdr-dev and g++")
    d = tmp_path_factory.mktemp("soapy")
    (d / "replay.cpp").write_text(SOAPY_MODULE)
    p = subprocess.run(["g++", "-O1", "-shared", "-fPIC", "-o", str(d / "libostreltest.so"),
                        str(d / "replay.cpp"), "-lSoapySDR"], capture_output=True, text=True,
                       env=foreign_env())
    assert p.returncode == 0, p.stderr
    return d


def test_soapy_device_records_with_overflow_gaps(soapy_module, tmp_path, capsys):
    data = ramp(0, 50_000)
    f = tmp_path / "replay.cf32"
    data.tofile(f)
    os.environ["SOAPY_SDR_PLUGIN_PATH"] = str(soapy_module)
    try:
        rc, r = run_cli(capsys, "record", f"soapy:driver=ostreltest,file={f},overflow_at=20000,skip=300",
                        "--fs", "1M", "--rf", "100M", "-o", tmp_path / "rec.sigmf-meta", "--timeout", "3")
    finally:
        del os.environ["SOAPY_SDR_PLUGIN_PATH"]
    assert rc == 0, r
    rec = open_recording(str(tmp_path / "rec.sigmf-meta"))
    np.testing.assert_array_equal(rec.read(), np.concatenate([data[:20000], data[20300:]]))
    assert [(c["core:sample_start"], c["core:global_index"], c.get("ostrel:lost_samples"))
            for c in rec.captures] == [(0, 0, None), (20000, 20300, 300)]
    assert r[0]["live"]["overflows"] == 1 and r[0]["live"]["reports"]["driver"] == "ostreltest"
    assert rec.center == 100e6


def test_soapy_names_the_missing_package(monkeypatch):
    import ostrel.sources.soapy as soapy

    monkeypatch.setitem(sys.modules, "SoapySDR", None)
    monkeypatch.setattr(soapy, "DEBIAN_DIST", "/nonexistent")
    with pytest.raises(SourceError, match="Debian package python3-soapysdr"):
        open_source("soapy:driver=x", fs=1e6)


# --- Ctrl-C --------------------------------------------------------------------------------------

def start(argv: list, **kw) -> subprocess.Popen:
    return subprocess.Popen([*OSTREL, *map(str, argv)], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, **kw)


def feed_until(port: int, done, limit: float = 20.0) -> int:
    """Sends ramp datagrams to ``port`` until ``done()``; returns the number sent."""
    tx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    t0, i = time.monotonic(), 0
    while not done() and time.monotonic() - t0 < limit:
        tx.sendto(ramp(i * 184, 184).tobytes(), ("127.0.0.1", port))
        i += 1
        time.sleep(0.0005)
    return i


@pytest.mark.parametrize("presses", [1, 2])
def test_ctrl_c_during_record(tmp_path, presses):
    port = free_port(socket.SOCK_DGRAM)
    out = tmp_path / "r.sigmf-meta"
    p = start(["record", f"udp://127.0.0.1:{port}", "--fs", "1M", "-o", out, "-q"])
    feed_until(port, lambda: any(tmp_path.glob(".r.sigmf-data.part-*"))
               and next(tmp_path.glob(".r.sigmf-data.part-*")).stat().st_size > 0)
    for _ in range(presses):
        p.send_signal(signal.SIGINT)
        time.sleep(0.05)
    rc = p.wait(timeout=20)
    if presses == 2:
        assert rc == 130
        assert list(tmp_path.iterdir()) == []  # nothing half-written
        return
    assert rc == 0, p.stderr.read()
    rec = open_recording(str(out))
    x = rec.read()
    assert len(x) > 0 and len(x) % 184 == 0
    np.testing.assert_array_equal(x, ramp(int(x[0].real), len(x)))
    assert [f.name for f in tmp_path.iterdir()] == sorted(["r.sigmf-meta", "r.sigmf-data"]) or \
        sorted(f.name for f in tmp_path.iterdir()) == ["r.sigmf-data", "r.sigmf-meta"]


def test_ctrl_c_during_spectrum_writes_complete_outputs(tmp_path):
    p = start(["spectrum", "-", "--format", "cf32_le", "--fs", "1M", "--csv", tmp_path / "s.csv",
               "--json", "-q"], stdin=subprocess.PIPE)
    x = (np.exp(2j * np.pi * 0.1 * np.arange(1 << 18)) * 0.5).astype(np.complex64).tobytes()
    p.stdin.write(x)  # the pipe holds far less: the command is reading
    p.stdin.flush()
    p.send_signal(signal.SIGINT)
    out, err = p.communicate(timeout=20)
    assert p.returncode == 0, err
    r = json.loads(out)[0]
    assert r["ended"] == "interrupted" and r["received"] >= 1024
    assert r["peak_offset_hz"] == pytest.approx(1e5, abs=r["rbw_hz"])
    lines = (tmp_path / "s.csv").read_text().splitlines()
    assert lines[0].startswith("freq_offset_hz") and len(lines) == 2048 + 1


# --- command line ----------------------------------------------------------------------------------

def test_live_command_line_errors(tmp_path, capsys, scene):
    _, raw = scene
    cases = [
        (["spectrum", raw, "--format", "cu8", "--fs", "1M", "--seconds", "1"], "bound a live source"),
        (["record", raw, "--format", "cu8", "--fs", "1M", "-o", tmp_path / "x"], "reads a live source"),
        (["spectrum", "udp://127.0.0.1:0", raw, "--fs", "1M"], "only input"),
        (["spectrum", "-", "--fs", "1M"], "need --format"),
        (["spectrum", "udp://127.0.0.1:x", "--fs", "1M"], "port must be a number"),
        (["spectrum", "udp://127.0.0.1:0", "--fs", "1M", "--samples", "0"], "at least 1"),
    ]
    for argv, msg in cases:
        assert main([str(a) for a in argv] + ["-q"]) == 1
        assert msg in capsys.readouterr().err
    # a stream that never delivers: no output, non-zero exit
    assert main(["record", "udp://127.0.0.1:0", "--fs", "1M", "--timeout", "0.3", "-q",
                 "-o", str(tmp_path / "none")]) == 1
    assert "nothing written" in capsys.readouterr().err and list(tmp_path.iterdir()) == []


def test_info_describes_a_live_source(capsys):
    srv = RtlTcpReplay(bytes(range(256)) * 400, 1e6)
    try:
        rc, r = run_cli(capsys, "info", f"rtltcp://127.0.0.1:{srv.port}", "--fs", "1M", "--rf", "100M")
    finally:
        srv.close()
    assert rc == 0
    assert (r[0]["datatype"], r[0]["fs"], r[0]["center_hz"]) == ("cu8", 1e6, 100e6)
    assert r[0]["reports"]["tuner"] == "R820T" and r[0]["first_block"] > 0


def test_waterfall_of_a_stream_of_unknown_length_keeps_every_frame_in_bounded_rows():
    from ostrel.cli.spectrum import WATERFALL_ROWS, Traces

    t = Traces(4, None)
    frames = np.arange(2.5 * WATERFALL_ROWS)[:, None] * np.ones(4)
    for f in frames:
        t.add(f, 1)
    w = t.waterfall()
    assert t.group == 4 and len(w) == -(-len(frames) // 4) <= WATERFALL_ROWS
    np.testing.assert_allclose(w[:, 0], [frames[i:i + 4, 0].mean() for i in range(0, len(frames), 4)])
    np.testing.assert_allclose(t.average(), frames.mean(axis=0))
