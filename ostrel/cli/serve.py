"""``ostrel serve``: a live spectrum and waterfall of a recording or live source in the browser.

One port serves the page (plain HTML, JavaScript and CSS shipped inside the package) and a
WebSocket at /ws. A viewer first receives a JSON header (sample rate, centre, band, bins, dB
range), then one binary frame per spectrum row: 16 bytes (uint32 sequence number, uint32
zero, float64 stream time in seconds, little-endian) and the row's dB values as float32. Text
messages carry the status (once a second) and events (markers). The page draws the average and
max-hold traces, a waterfall with the newest row on top, an absolute-frequency axis, a dB colour
bar and the status line, and reconnects by itself when the server restarts.

The band is analysed by the calibrated spectrum analyzer (analyzer.Specan with its flat front
end): the whole band by default, --center/--span zoom. A recording is paced at its real rate,
so the waterfall scrolls in recorded time (--fast: as fast as it can be read; --loop: from the
start again at the end). Reading and processing run on their own thread; the server's event
loop only fans rows out. Each viewer has a short queue: a viewer that cannot keep up loses the
oldest rows (counted, shown on its status line) and never slows the processing or the other
viewers, nor makes the server's memory grow.

The server binds 127.0.0.1 unless --host says otherwise. It serves its fixed files and nothing
else; what a viewer sends on the WebSocket is read (at most 4 KiB a message) and ignored. The
first Ctrl-C stops the server (exit 0), a second aborts."""

from __future__ import annotations

import asyncio
import collections
import json
import math
import signal
import struct
import sys
import threading
import time
from importlib import resources

import numpy as np

from ..monitoring import OccupancyTracker
from .common import UserError, fmt_hz

EXAMPLES = """\
examples:
  ostrel serve demo                                  # then open http://127.0.0.1:8073/
  ostrel serve demo --center 100k --span 150k --loop
  ostrel serve rtltcp://127.0.0.1 --rf 433.92M --fs 2.4M
  ostrel serve udp://:2000 --fs 4M --host 0.0.0.0 --port 8080   # visible to the network"""

ASSETS = {"/": ("index.html", "text/html"), "/index.html": ("index.html", "text/html"),
          "/app.js": ("app.js", "text/javascript"), "/style.css": ("style.css", "text/css")}
QUEUE_ROWS = 8  # rows a viewer may lag behind before it loses the oldest
MAX_CLIENT_MESSAGE = 4096  # bytes; a longer message closes the viewer's connection
MAX_VIEWERS = 64
FRAME_HEADER = struct.Struct("<IId")
SECURITY_HEADERS = {
    "Content-Security-Policy": "default-src 'self'; connect-src 'self'; img-src 'self' data:; "
                               "frame-ancestors 'none'; base-uri 'none'; form-action 'none'",
    "X-Content-Type-Options": "nosniff", "Referrer-Policy": "no-referrer",
    "Cache-Control": "no-cache",
}


def add_arguments(p) -> None:
    from .common import hz_arg, positive_hz_arg
    from .monitor import add_event_arguments

    g = p.add_argument_group("server")
    g.add_argument("--port", type=int, default=8073, help="TCP port (default 8073; 0 picks a free one)")
    g.add_argument("--host", default="127.0.0.1",
                   help="address to listen on (default 127.0.0.1: this machine only; 0.0.0.0 "
                        "makes the page visible to the network)")
    a = p.add_argument_group("analysis")
    a.add_argument("--center", type=hz_arg, metavar="F", help="centre of a zoomed band, Hz offset")
    a.add_argument("--span", type=positive_hz_arg, metavar="S", help="width of a zoomed band, Hz")
    a.add_argument("--rbw", type=positive_hz_arg, metavar="R",
                   help="resolution bandwidth, Hz (default span/440)")
    a.add_argument("--rows", type=float, default=20.0, metavar="N",
                   help="waterfall rows per second of signal (default 20; each row averages "
                        "the segments in its time)")
    m = p.add_argument_group("event markers")
    add_event_arguments(m)
    a.add_argument("--fast", action="store_true",
                   help="read a recording as fast as possible instead of at its real rate")
    a.add_argument("--loop", action="store_true", help="play a recording again from the start at its end")


class Hub:
    """The viewers of one server and what they are sent. ``publish``/``publish_event`` may be
    called from any thread; everything else runs on the event loop."""

    def __init__(self, loop: asyncio.AbstractEventLoop):
        self.loop = loop
        self.viewers: set = set()
        self.header: dict | None = None
        self.status: dict = {}
        self.events: dict = {}  # id -> the newest of each event (200 at most), for new viewers
        self.dropped_total = 0
        self._lock = threading.Lock()
        # from the processing thread: rows (the newest 64 wait), and the header, status and
        # events, which are never dropped (few: one header, a status a second, events)
        self._rows: collections.deque = collections.deque(maxlen=64)
        self._inbox: collections.deque = collections.deque()
        self._wake_pending = False

    # -- from the processing thread -------------------------------------------------------------
    def publish(self, kind: str, payload) -> None:
        """Queue a header, row, status or event for the viewers (never blocks)."""
        with self._lock:
            if kind == "row":
                self._rows.append(payload)
            else:
                self._inbox.append((kind, payload))
            if self._wake_pending:
                return
            self._wake_pending = True
        try:
            self.loop.call_soon_threadsafe(self._drain)
        except RuntimeError:  # the loop has closed: the server is stopping
            pass

    def publish_event(self, event: dict) -> None:
        """A marker: ``id``, ``f_lo_hz``/``f_hi_hz`` (absolute), ``start``/``end`` (stream
        seconds, end None while open), ``peak_dbfs``, ``snr_db``; a later one of the same id
        replaces it."""
        self.publish("event", event)

    # -- on the loop -----------------------------------------------------------------------------
    def _drain(self) -> None:
        with self._lock:
            items = list(self._inbox) + [("row", r) for r in self._rows]
            self._inbox.clear()
            self._rows.clear()
            self._wake_pending = False
        for kind, payload in items:
            if kind == "header":
                self.header = payload
                text = json.dumps(payload)
                for v in self.viewers:
                    v.push_text(text, replace_rows=True)
            elif kind == "row":
                for v in self.viewers:
                    if v.has_header:
                        v.push_row(payload)
            elif kind == "event":
                self.events.pop(payload.get("id"), None)
                self.events[payload.get("id")] = payload
                if len(self.events) > 200:
                    del self.events[next(iter(self.events))]
                text = json.dumps({"type": "event", **payload})
                for v in self.viewers:
                    v.push_text(text)
            elif kind == "status":
                self.status = payload

    def status_text(self, viewer: "Viewer") -> str:
        return json.dumps({"type": "status", **self.status, "viewers": len(self.viewers),
                           "dropped_view": viewer.dropped, "dropped_views": self.dropped_total})


class Viewer:
    """One WebSocket viewer: a bounded queue of rows (latest wins) and of text messages."""

    def __init__(self, hub: Hub, ws):
        self.hub, self.ws = hub, ws
        self.rows: collections.deque = collections.deque()
        self.texts: collections.deque = collections.deque(maxlen=1024)  # header and events
        self.dropped = 0
        self.has_header = False
        self.status_due = False  # the status is sent as it stands when its turn comes
        self.wake = asyncio.Event()

    def push_row(self, row: bytes) -> None:
        if len(self.rows) >= QUEUE_ROWS:
            self.rows.popleft()
            self.dropped += 1
            self.hub.dropped_total += 1
        self.rows.append(row)
        self.wake.set()

    def push_text(self, text: str, replace_rows: bool = False) -> None:
        if replace_rows:  # a new header: rows of the old layout must not follow it
            self.rows.clear()
            self.has_header = True
        self.texts.append(text)
        self.wake.set()

    def want_status(self) -> None:
        self.status_due = True
        self.wake.set()

    async def send_loop(self) -> None:
        while not self.ws.closed:
            await self.wake.wait()
            self.wake.clear()
            while self.texts or self.rows or self.status_due:
                if self.texts:
                    await self.ws.send_str(self.texts.popleft())
                elif self.status_due:
                    self.status_due = False
                    await self.ws.send_str(self.hub.status_text(self))
                else:
                    await self.ws.send_bytes(self.rows.popleft())


LOOPBACK_NAMES = {"localhost", "::1", "[::1]"}


def loopback(host: str) -> bool:
    return host in LOOPBACK_NAMES or host.startswith("127.")


def make_app(hub: Hub, local_only: bool = True):
    """The aiohttp application: the fixed page files, /ws, and nothing else. ``local_only``
    (a server on a loopback address): requests must name a loopback host, so that a web page
    whose name was pointed at this machine (DNS rebinding) cannot read the spectrum."""
    from aiohttp import WSMsgType, web

    web_dir = resources.files("ostrel") / "web"
    files = {}
    for route, (name, ctype) in ASSETS.items():
        files[route] = (web_dir.joinpath(name).read_bytes(), ctype)

    @web.middleware
    async def headers(request, handler):
        if local_only:
            try:
                name = request.url.host or ""
            except ValueError:  # a Host header that is no host
                name = ""
            if not loopback(name):
                raise web.HTTPForbidden(text="this server answers to a loopback address only")
        resp = await handler(request)
        resp.headers.update(SECURITY_HEADERS)
        return resp

    async def asset(request):
        body, ctype = files[request.path]
        return web.Response(body=body, content_type=ctype, charset="utf-8")

    async def websocket(request):
        # A page of another site must not read the spectrum through the visitor's browser.
        origin = request.headers.get("Origin")
        if origin is not None and origin.split("://", 1)[-1] != request.host:
            raise web.HTTPForbidden(text="cross-origin WebSocket refused")
        if len(hub.viewers) >= MAX_VIEWERS:
            raise web.HTTPServiceUnavailable(text="too many viewers")
        ws = web.WebSocketResponse(max_msg_size=MAX_CLIENT_MESSAGE, heartbeat=20.0,
                                   compress=False)
        await ws.prepare(request)
        v = Viewer(hub, ws)
        hub.viewers.add(v)
        if hub.header is not None:
            v.push_text(json.dumps(hub.header), replace_rows=True)
        for e in hub.events.values():
            v.push_text(json.dumps({"type": "event", **e}))
        sender = asyncio.ensure_future(v.send_loop())
        try:
            async for msg in ws:  # what a viewer sends is read and ignored
                if msg.type in (WSMsgType.ERROR, WSMsgType.CLOSE):
                    break
        finally:
            hub.viewers.discard(v)
            sender.cancel()
            await asyncio.gather(sender, return_exceptions=True)
        return ws

    app = web.Application(middlewares=[headers], client_max_size=MAX_CLIENT_MESSAGE)
    for route in ASSETS:
        app.router.add_get(route, asset)
    app.router.add_get("/ws", websocket)
    return app


class Processor(threading.Thread):
    """Reads the input and turns it into rows (on its own thread; the native calls release the
    GIL), paced at the input's real rate unless fast."""

    def __init__(self, rec, args):
        super().__init__(name="ostrel-serve", daemon=True)
        from .spectrum import band_settings, specan_type

        self.rec, self.args = rec, args
        self.hub: Hub | None = None  # set before start()
        self.stop = threading.Event()
        self.error: str | None = None
        self.ended = ""
        self.rows = 0
        Specan = specan_type()
        if Specan is None:
            raise UserError("this build has no analyzer.Specan, which serve needs")
        center, span, offset_db = band_settings(rec, args.center, args.span)
        rbw = args.rbw or span / 440
        if not args.rows > 0:
            raise UserError("--rows must be positive")
        kw = dict(fs=rec.fs, span=span, rbw=rbw, center=center, window="kaiser",
                  offset_db=offset_db, flat=True)
        try:
            probe = Specan(**kw)
            seg_in = probe.n * rec.fs / probe.fs_out
            probe.destroy()
            navg = max(1, round(rec.fs / args.rows / seg_in))
            self.sa = Specan(**kw, navg=navg)
        except (ValueError, OverflowError, MemoryError) as e:
            raise UserError(f"the spectrum analyzer refuses span {span:g} Hz, RBW {rbw:g} Hz: "
                            f"{e}") from None
        sa = self.sa
        self.per_row = sa.n * navg * rec.fs / sa.fs_out  # input samples per row
        self.chunk = max(1, min(1 << 16, int(self.per_row // 2)))
        base = rec.center if rec.center_known else 0.0
        df = sa.fs_out / sa.nfft
        self.header = {"type": "header", "fs": rec.fs, "center": base + center,
                       "center_known": rec.center_known, "span": span, "rbw": sa.rbw,
                       "bins": sa.display_size, "df": df,
                       "f0": base + center - (sa.display_size // 2) * df,
                       "row_seconds": self.per_row / rec.fs, "source": rec.data_path.name.removesuffix(".sigmf-data"),
                       "db_lo": None, "db_hi": None}
        if not 0 <= args.hysteresis < args.threshold:
            raise UserError("--hysteresis must lie between 0 and --threshold")
        self.tracker = OccupancyTracker(
            self.header["f0"] + np.arange(sa.display_size) * df, threshold_db=args.threshold,
            hysteresis_db=args.hysteresis, min_duration=args.min_duration)
        self.shown: dict = {}  # open events as last sent: id -> edges

    def db_range(self, row: np.ndarray) -> tuple:
        """A fixed colour range from the first row: 10 dB under the noise floor (the median
        bin) to 5 dB over the strongest line, in 10 dB steps, at least 60 dB."""
        floor, top = float(np.median(row)), float(np.max(row))
        lo = math.floor(floor / 10) * 10 - 10
        hi = max(lo + 60, math.ceil((top + 5) / 10) * 10)
        return float(lo), float(hi)

    def run(self) -> None:
        try:
            self._run()
        except Exception as e:  # reported on the status line and by the command
            self.error = f"{type(e).__name__}: {e}"
        finally:
            self.hub.publish("status", self.status())

    def status(self) -> dict:
        rec = self.rec
        s = rec.source.counters if getattr(rec, "live", False) else None
        return {"fs": rec.fs, "center": self.header["center"], "rows": self.rows,
                "dropped_source": int(s.dropped + s.lost) if s is not None else 0,
                "ended": self.ended, "error": self.error}

    def _run(self) -> None:
        rec, sa = self.rec, self.sa
        real = not rec.fmt.complex
        z = np.zeros(self.chunk, np.complex64) if real else None
        out = np.zeros(max(sa.display_size, self.chunk), np.float32)
        paced = not self.args.fast and not getattr(rec, "live", False)
        t_status = 0.0
        stream_pos = 0  # samples processed over all passes (the stream time)
        while True:
            t0, n0 = time.monotonic(), stream_pos
            for x in rec.blocks(self.chunk):
                if self.stop.is_set():
                    self.ended = "stopped"
                    return
                if z is not None:
                    z[:len(x)].real = x
                    x = z[:len(x)]
                row = sa.execute(x, out)
                stream_pos += len(x)
                if row is not None:
                    self._emit(row, stream_pos)
                now = time.monotonic()
                if now - t_status >= 0.5:
                    t_status = now
                    self.hub.publish("status", self.status())
                if paced:
                    ahead = t0 + (stream_pos - n0) / rec.fs - time.monotonic()
                    if ahead > 0 and self.stop.wait(ahead):
                        self.ended = "stopped"
                        return
            if getattr(rec, "live", False):
                self.ended = rec.ended or "end of stream"
                return
            if not self.args.loop:
                self.ended = "end of recording"
                return

    def _emit(self, row: np.ndarray, stream_pos: int) -> None:
        if self.header["db_lo"] is None:
            self.header["db_lo"], self.header["db_hi"] = self.db_range(row)
            self.hub.publish("header", dict(self.header))
        self.rows += 1
        frame = FRAME_HEADER.pack(self.rows & 0xFFFFFFFF, 0, stream_pos / self.rec.fs) + \
            np.ascontiguousarray(row[:self.sa.display_size], "<f4").tobytes()
        self.hub.publish("row", frame)
        self._markers(row, stream_pos / self.rec.fs)

    def _markers(self, row: np.ndarray, t1: float) -> None:
        """Events of the row (the monitor's tracker): each one sent when it opens, when its
        edges change and when it closes."""
        closed = self.tracker.update(row, t1 - self.header["row_seconds"], t1)
        for ev in closed:
            self.shown.pop(ev.id, None)
            self.hub.publish_event(_marker(ev, closed=True))
        for ev in self.tracker.open_events():
            edges = (ev.low_hz, ev.high_hz)
            if self.shown.get(ev.id) != edges:
                self.shown[ev.id] = edges
                self.hub.publish_event(_marker(ev, closed=False))


def _marker(ev, closed: bool) -> dict:
    return {"id": ev.id, "f_lo_hz": ev.low_hz, "f_hi_hz": ev.high_hz, "start": ev.start,
            "end": ev.end if closed else None, "peak_dbfs": round(ev.peak_db, 2),
            "snr_db": round(ev.snr_db, 2)}


def open_input(path: str, args):
    """A recording (read from the start, again with --loop) or a live source."""
    from .live import is_live, open_live
    from .recording import Source, open_recording

    if is_live(path):
        if args.loop or args.fast:
            raise UserError("--loop and --fast apply to recordings, not to a live source")
        return open_live(path, args)
    if getattr(args, "seconds", None) is not None or getattr(args, "samples", None) is not None:
        raise UserError("--seconds and --samples bound a live source (a recording is read whole)")
    rec = open_recording(path, Source(fs=args.fs, format=args.format, rf=args.rf,
                                      allow_partial=args.allow_partial))
    if rec.n_samples == 0:
        rec.close()
        raise UserError("the recording holds no samples")
    return rec


async def serve(args, rec, proc: Processor) -> int:
    """Run the server until Ctrl-C (or SIGTERM)."""
    from aiohttp import web

    loop = asyncio.get_running_loop()
    hub = proc.hub = Hub(loop)
    runner = web.AppRunner(make_app(hub, loopback(args.host)), handle_signals=False,
                           access_log=None)
    await runner.setup()
    try:
        site = web.TCPSite(runner, args.host, args.port, shutdown_timeout=1.0)
        await site.start()
    except OSError as e:
        await runner.cleanup()
        raise UserError(f"cannot listen on {args.host}:{args.port}: {e.strerror or e}") from None
    port = site._server.sockets[0].getsockname()[1]
    host = f"[{args.host}]" if ":" in args.host else args.host
    url = f"http://{host}:{port}/"
    stop = asyncio.Event()
    hits = 0

    def on_signal():
        nonlocal hits
        hits += 1
        if hits > 1:
            import os
            os._exit(130)
        stop.set()

    for sig in (signal.SIGINT, signal.SIGTERM):
        try:
            loop.add_signal_handler(sig, on_signal)
        except (NotImplementedError, RuntimeError):  # not the main thread
            pass
    print(f"ostrel serve: {rec.path} ({fmt_hz(rec.fs)}, band {fmt_hz(proc.header['span'])} "
          f"around {fmt_hz(proc.header['center'])}) on {url}", flush=True)
    proc.start()
    try:
        while not stop.is_set():
            if not proc.is_alive() and proc.rows == 0:
                break  # nothing to show: said below, not served as an empty page
            for v in list(hub.viewers):
                v.want_status()
            try:
                await asyncio.wait_for(stop.wait(), 1.0)
            except asyncio.TimeoutError:
                pass
    finally:
        proc.stop.set()
        if hasattr(rec, "stop_requested"):
            rec.stop_requested = True
        # going away: the pages reconnect; a viewer that does not answer is not waited for
        await asyncio.gather(*(asyncio.wait_for(v.ws.close(code=1001, message=b"server stopping"), 1.0)
                               for v in list(hub.viewers)), return_exceptions=True)
        await runner.cleanup()
        await loop.run_in_executor(None, proc.join, 5.0)
    print(f"ostrel serve: stopped after {proc.rows:,} rows"
          + (f" ({proc.ended})" if proc.ended else ""), file=sys.stderr)
    if proc.error:
        raise UserError(f"processing failed: {proc.error}")
    if proc.rows == 0 and not stop.is_set():
        raise UserError(f"the input ended ({proc.ended or 'no samples'}) before one waterfall row "
                        f"({proc.per_row:.0f} samples; a wider --rbw or more --rows shorten it)")
    return 0


def main(args) -> int:
    try:
        import aiohttp  # noqa: F401
    except ImportError:
        raise UserError("serve needs aiohttp, the [serve] extra: pip install 'ostrel[serve]'") from None
    if not 0 <= args.port <= 65535:
        raise UserError("--port must lie between 0 and 65535")
    rec = open_input(args.recordings[0], args)
    with rec:
        proc = Processor(rec, args)  # bad options are refused before the server starts
        return asyncio.run(serve(args, rec, proc))
