"""`ostrel serve` on loopback: the page in Debian's Chromium (headless, driven by Playwright),
WebSocket clients written here (a second viewer, one that never reads, hostile ones) and the
fixed file routes. The recording holds one tone off centre, so a mirrored drawing or a wrong
frequency axis shows."""

from __future__ import annotations

import base64
import json
import os
import shutil
import socket
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

aiohttp = pytest.importorskip("aiohttp", reason="serve needs aiohttp (the [serve] extra)")

from ostrel.cli.serve import QUEUE_ROWS, Hub, Viewer  # noqa: E402

OSTREL = [str(Path(sys.executable).with_name("ostrel"))]
FS, RF, TONE = 1e6, 100e6, 187.5e3  # the tone lies at RF + TONE
SHOTS = Path(__file__).resolve().parents[1] / "build" / "screenshots"


@pytest.fixture(scope="module")
def recording(tmp_path_factory) -> Path:
    d = tmp_path_factory.mktemp("serve")
    n = 1 << 20
    rng = np.random.default_rng(1)
    t = np.arange(n) / FS
    x = 0.3 * np.exp(2j * np.pi * TONE * t) + \
        1e-3 * (rng.standard_normal(n) + 1j * rng.standard_normal(n))
    # weaker company for the picture: bursts at -120 kHz and a slow chirp below the centre
    x += 0.03 * np.exp(-2j * np.pi * 120e3 * t) * (np.sin(2 * np.pi * 3 * t) > 0.3)
    x += 0.01 * np.exp(2j * np.pi * (-330e3 * t + 60e3 * t * t))
    x.astype(np.complex64).tofile(d / "tone.sigmf-data")
    meta = {"global": {"core:datatype": "cf32_le", "core:sample_rate": FS, "core:version": "1.0.0"},
            "captures": [{"core:sample_start": 0, "core:frequency": RF}], "annotations": []}
    (d / "tone.sigmf-meta").write_text(json.dumps(meta))
    return d / "tone.sigmf-meta"


class Server:
    """`ostrel serve` in a child process, on the port it reports."""

    def __init__(self, rec: Path, *extra, port: int = 0):
        self.p = subprocess.Popen([*OSTREL, "serve", str(rec), "--port", str(port), "--loop", *extra],
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        line = self.p.stdout.readline()
        if " on http://" not in line:
            self.p.kill()
            raise AssertionError(f"no server: {line!r} {self.p.stderr.read()}")
        self.url = line.rsplit(" on ", 1)[1].strip()
        self.port = int(self.url.rsplit(":", 1)[1].strip("/"))

    def rss_kb(self) -> int:
        for line in Path(f"/proc/{self.p.pid}/status").read_text().splitlines():
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
        raise AssertionError("no VmRSS")

    def stop(self) -> int:
        self.p.terminate()
        try:
            return self.p.wait(10)
        finally:
            self.p.stdout.close()
            self.p.stderr.close()


@pytest.fixture
def server(recording):
    s = Server(recording)
    yield s
    if s.p.poll() is None:
        s.stop()


def chromium_path() -> str | None:
    return shutil.which("chromium") or shutil.which("chromium-browser")


@pytest.fixture(scope="module")
def browser():
    exe = chromium_path()
    if exe is None:
        pytest.skip("Debian's chromium is not installed (make test installs it)")
    sync_api = pytest.importorskip("playwright.sync_api", reason="the Playwright Python driver is "
                                                                 "not installed (make build installs it)")
    with sync_api.sync_playwright() as pw:
        # The browser is not the code under test: no sanitizer runtime preloaded into it (under
        # `make sanitize` it would spin instead of starting).
        env = {k: v for k, v in os.environ.items()
               if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
        b = pw.chromium.launch(executable_path=exe, headless=True, env=env,
                               args=["--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage"])
        yield b
        b.close()


def rows(page) -> int:
    return int(page.evaluate("document.body.dataset.rows || 0"))


def wait_rows(page, n: int, timeout: float = 10.0) -> int:
    page.wait_for_function(f"() => (document.body.dataset.rows || 0) >= {n}", timeout=timeout * 1000)
    return rows(page)


# A column's brightness over the newest rows, read from the waterfall canvas's pixels.
COLUMN_LIGHT = """() => {
  const c = document.getElementById('waterfall'), h = 20;
  const d = c.getContext('2d').getImageData(0, 0, c.width, h).data, out = new Array(c.width).fill(0);
  for (let y = 0; y < h; y++) for (let x = 0; x < c.width; x++) {
    const i = 4 * (y * c.width + x);
    out[x] += 0.2126 * d[i] + 0.7152 * d[i + 1] + 0.0722 * d[i + 2];
  }
  return out;
}"""


def test_page_draws_the_tone_where_it_is_and_survives_viewers_and_restarts(browser, recording, tmp_path):
    s = Server(recording, "--rows", "150")
    try:
        page = browser.new_page(viewport={"width": 1280, "height": 860})
        page.goto(s.url)
        wait_rows(page, 30)
        h = page.evaluate("window.ostrelView.header")
        assert h["fs"] == FS and h["center"] == RF and h["db_lo"] < h["db_hi"]
        light = np.array(page.evaluate(COLUMN_LIGHT))
        assert len(light) == h["bins"]
        col = int(np.argmax(light))
        # the brightest column is the tone's, at its absolute frequency (mirrored: 2 x 187.5 kHz off)
        assert abs(h["f0"] + col * h["df"] - (RF + TONE)) <= 2 * h["df"]
        assert light[col] > 2 * np.median(light)
        # the frequency axis is page text, in MHz, absolute, spread over the band
        ticks = page.locator("#freq-axis .tick").all_inner_texts()
        assert page.locator("#freq-axis .unit").inner_text() == "frequency, MHz"
        f = np.array([float(t) for t in ticks]) * 1e6
        assert len(f) >= 4 and np.all(np.diff(f) > 0)
        assert f.min() > RF - FS / 2 and f.max() < RF + FS / 2 and f.max() - f.min() > FS / 3
        # the tick labelled nearest the tone sits where the tone's column is drawn
        box = page.locator("#waterfall").bounding_box()
        for t in page.locator("#freq-axis .tick").all():
            hz = float(t.get_attribute("data-hz"))
            tb = t.bounding_box()
            x = (tb["x"] + tb["width"] / 2 - box["x"]) / box["width"]
            assert abs(h["f0"] + (x * h["bins"] - 0.5) * h["df"] - hz) < 3 * h["df"]
        bar = page.locator("#colour-axis .tick").all_inner_texts()
        assert len(bar) >= 4 and all(b.endswith(" dB") for b in bar)
        page.wait_for_function("() => document.getElementById('status').textContent.includes('viewers 1')")
        status = page.locator("#status").inner_text()
        assert "rate 1.000 MS/s" in status and "centre 100 MHz" in status and "connected" in status
        # the bursts at -120 kHz are marked as events (the monitor's tracker)
        page.wait_for_function("() => document.querySelectorAll('#events li').length > 0")
        ev = page.evaluate("Array.from(window.ostrelView.events.values())")
        assert any(e["f_lo_hz"] <= RF - 120e3 <= e["f_hi_hz"] and e["f_hi_hz"] - e["f_lo_hz"] < 20e3
                   for e in ev), ev
        assert page.locator("#waterfall-markers .marker").count() > 0
        wait_rows(page, 430)  # a screenful of waterfall for the picture
        SHOTS.mkdir(parents=True, exist_ok=True)
        page.screenshot(path=str(SHOTS / "serve.png"))
        # a second viewer: both draw, both are counted
        other = browser.new_page()
        other.goto(s.url)
        wait_rows(other, 10)
        for p in (page, other):
            p.wait_for_function("() => document.getElementById('status').textContent.includes('viewers 2')")
        # the server restarts on the same port: the page reconnects by itself and draws on
        before = rows(page)
        assert s.stop() == 0
        page.wait_for_function("() => document.body.dataset.connected === '0'", timeout=5000)
        s = Server(recording, "--rows", "150", port=s.port)
        page.wait_for_function("() => document.body.dataset.connected === '1'", timeout=10000)
        wait_rows(page, before + 20)
        other.close()
        page.close()
    finally:
        if s.p.poll() is None:
            s.stop()


def arun(coro):
    """asyncio.run on a thread of its own (Playwright's sync API holds a loop on this one)."""
    import asyncio
    from concurrent.futures import ThreadPoolExecutor

    with ThreadPoolExecutor(1) as ex:
        return ex.submit(asyncio.run, coro).result()


def ws_handshake(port: int, rcvbuf: int | None = None) -> socket.socket:
    """A WebSocket opened by hand, returned with the 101 response read."""
    c = socket.socket()
    if rcvbuf:
        c.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
    c.connect(("127.0.0.1", port))
    key = base64.b64encode(os.urandom(16)).decode()
    c.sendall(f"GET /ws HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nUpgrade: websocket\r\n"
              f"Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\nSec-WebSocket-Version: 13\r\n\r\n"
              .encode())
    head = b""
    while b"\r\n\r\n" not in head:
        head += c.recv(1)
    assert head.startswith(b"HTTP/1.1 101"), head
    return c


async def count_rows(url: str, seconds: float) -> tuple[int, dict]:
    """Rows a reading viewer receives in ``seconds``, and the last status it saw."""
    import asyncio

    n, status = 0, {}
    async with aiohttp.ClientSession() as session:
        async with session.ws_connect(url + "ws") as ws:
            t_end = asyncio.get_running_loop().time() + seconds
            while (left := t_end - asyncio.get_running_loop().time()) > 0:
                try:
                    msg = await ws.receive(timeout=left)
                except asyncio.TimeoutError:
                    break
                if msg.type == aiohttp.WSMsgType.BINARY:
                    n += 1
                elif msg.type == aiohttp.WSMsgType.TEXT:
                    m = json.loads(msg.data)
                    if m["type"] == "status":
                        status = m
                else:
                    break
    return n, status


def test_a_viewer_that_never_reads_loses_rows_not_the_server(recording):
    import asyncio

    s = Server(recording, "--fast")
    try:
        base, _ = arun(count_rows(s.url, 0.5))
        stuck = [ws_handshake(s.port, rcvbuf=4096) for _ in range(2)]
        arun(count_rows(s.url, 1.0))  # the stuck viewers' buffers fill
        rss0 = s.rss_kb()
        n, status = arun(count_rows(s.url, 1.5))
        grown = s.rss_kb() - rss0
        assert n > 0.3 * 3 * base, (n, base)  # the reading viewer is not held back
        # (under AddressSanitizer freed memory waits in its quarantine, so RSS says nothing there)
        if "libasan" not in os.environ.get("LD_PRELOAD", ""):
            assert grown < 16_000, f"server memory grew {grown} kB with viewers that never read"
        # The stuck viewers lose rows once their socket buffers are full: how soon depends on the
        # build's speed (a sanitizer build makes rows several times slower), not on a fixed time.
        deadline = time.monotonic() + 30
        while status.get("dropped_views", 0) <= 100 and time.monotonic() < deadline:
            _, status = arun(count_rows(s.url, 1.0))
        assert status["viewers"] == 3 and status["dropped_views"] > 100
        for c in stuck:
            c.close()
    finally:
        s.stop()


def http_get(port: int, target: str, headers: str = "") -> tuple[int, bytes]:
    """A raw request, so the target reaches the server as written (no client normalising)."""
    with socket.create_connection(("127.0.0.1", port), timeout=5) as c:
        c.sendall(f"GET {target} HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n{headers}\r\n"
                  .encode())
        data = b""
        while chunk := c.recv(65536):
            data += chunk
    head, _, body = data.partition(b"\r\n\r\n")
    return int(head.split()[1]), body


def test_hostile_requests_and_messages(server):
    port = server.port
    code, body = http_get(port, "/")
    assert code == 200 and b"<canvas id=\"waterfall\"" in body
    for target in ("/../../../../etc/passwd", "/%2e%2e/%2e%2e/etc/passwd", "/..%2f..%2fetc%2fpasswd",
                   "/static/../cli/serve.py", "/serve.py", "/__init__.py", "//etc/passwd",
                   "/app.js/../../cli/serve.py", "/web/app.js", "/ws/../index.html?x=/etc/passwd"):
        code, body = http_get(port, target)
        assert code in (400, 404), (target, code)
        assert b"root:" not in body and b"import" not in body
    # a name pointed at this machine by another site (DNS rebinding) is refused
    with socket.create_connection(("127.0.0.1", port), timeout=5) as c:
        c.sendall(b"GET / HTTP/1.1\r\nHost: evil.example:80\r\nConnection: close\r\n\r\n")
        assert c.recv(100).startswith(b"HTTP/1.1 403")
    # another site's page may not open the WebSocket through a visitor's browser
    assert http_get(port, "/ws", "Origin: http://evil.example\r\nUpgrade: websocket\r\n"
                    "Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                    "Sec-WebSocket-Version: 13\r\n")[0] == 403

    async def hostile():
        async with aiohttp.ClientSession() as session:
            async with session.ws_connect(server.url + "ws") as ws:  # garbage is ignored
                for m in ("{\"type\": \"header\"}", "rm -rf /", "\x00" * 100, "../../etc/passwd"):
                    await ws.send_str(m)
                await ws.send_bytes(os.urandom(1000))
                got = await ws.receive(timeout=5)
                assert got.type in (aiohttp.WSMsgType.TEXT, aiohttp.WSMsgType.BINARY)
                await ws.send_bytes(b"x" * 100_000)  # oversized: the viewer is dropped
                while (msg := await ws.receive(timeout=5)).type not in (
                        aiohttp.WSMsgType.CLOSE, aiohttp.WSMsgType.CLOSED, aiohttp.WSMsgType.ERROR):
                    pass
                assert ws.close_code == 1009
        n, status = await count_rows(server.url, 1.0)  # the server serves on
        assert n > 0 and status["viewers"] == 1

    import asyncio
    arun(hostile())
    assert server.p.poll() is None


def test_a_slow_viewer_keeps_only_the_newest_rows():
    import asyncio

    async def run():
        hub = Hub(asyncio.get_running_loop())
        v = Viewer(hub, ws=None)
        v.push_text("{}", replace_rows=True)
        for i in range(100):
            v.push_row(bytes([i]))
        assert [r[0] for r in v.rows] == list(range(100 - QUEUE_ROWS, 100))
        assert v.dropped == hub.dropped_total == 100 - QUEUE_ROWS

    arun(run())


def test_live_udp_source(tmp_path):
    """A live source: rows at its rate, the centre it was given, drops counted at the source."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind(("127.0.0.1", 0))
        udp = probe.getsockname()[1]
    p = subprocess.Popen([*OSTREL, "serve", f"udp://127.0.0.1:{udp}", "--fs", "1M", "--rf", "50M",
                          "--port", "0", "--rows", "50"], stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, text=True)
    try:
        line = p.stdout.readline()
        url = line.rsplit(" on ", 1)[1].strip()
        t = np.arange(1 << 18) / FS
        x = (0.1 * np.exp(2j * np.pi * -200e3 * t)).astype(np.complex64)
        stop = []

        def feed():
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as tx:
                i, t0 = 0, time.monotonic()
                while not stop:
                    tx.sendto(x[i:i + 1024].tobytes(), ("127.0.0.1", udp))
                    i = (i + 1024) % len(x)
                    while not stop and time.monotonic() - t0 < i / FS / 2:  # about 2 MS/s
                        time.sleep(0.001)

        import threading
        th = threading.Thread(target=feed)
        th.start()
        try:
            async def watch():
                async with aiohttp.ClientSession() as session:
                    async with session.ws_connect(url + "ws") as ws:
                        h = json.loads((await ws.receive(timeout=10)).data)
                        while (m := await ws.receive(timeout=10)).type != aiohttp.WSMsgType.BINARY:
                            pass
                        return h, np.frombuffer(m.data, "<f4", offset=16)
            h, row = arun(watch())
        finally:
            stop.append(1)
            th.join()
        assert h["type"] == "header" and h["center"] == 50e6 and h["fs"] == FS
        assert abs(h["f0"] + np.argmax(row) * h["df"] - (50e6 - 200e3)) <= 2 * h["df"]
    finally:
        p.terminate()
        assert p.wait(10) == 0
        p.stdout.close()
        p.stderr.close()


@pytest.mark.parametrize("argv, message", [
    (["--loop", "udp://:0", "--fs", "1M"], "--loop and --fast apply to recordings"),
    (["--port", "70000"], "--port must lie between 0 and 65535"),
    (["--span", "5M"], "reaches beyond the recording"),
    (["--seconds", "1"], "bound a live source"),
])
def test_command_errors(recording, argv, message, capsys):
    from ostrel.cli import main

    assert main(["serve", *(argv if "udp://:0" in argv else [str(recording), *argv])]) == 1
    assert message in capsys.readouterr().err


def test_an_input_too_short_for_one_row_is_an_error(tmp_path):
    np.zeros(100, np.complex64).tofile(tmp_path / "short.cf32")
    p = subprocess.run([*OSTREL, "serve", tmp_path / "short.cf32", "--fs", "1M", "--port", "0"],
                       capture_output=True, text=True, timeout=30)
    assert p.returncode == 1 and "the input ended (end of recording) before one waterfall row" \
        in p.stderr, p.stderr
