"""ostrel.monitoring (noise floor, events with hysteresis and minimum duration) and the
``ostrel monitor`` command on recordings with known bursts, on a pipe, and under Ctrl-C."""

from __future__ import annotations

import datetime as dt
import json
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

from ostrel.cli import main
from ostrel.cli.recording import open_recording, write_meta
from ostrel.monitoring import OccupancyTracker

OSTREL = [str(Path(sys.executable).with_name("ostrel"))]
FS, RF, T0 = 250e3, 433.9e6, "2026-01-02T03:04:05Z"
NOISE_DBFS = -40.0  # total noise power over the 250 kHz
# (centre offset Hz, width Hz (0: a tone), start s, end s, level dBFS)
BURSTS = [(-85e3, 0, 0.3, 1.0, -20.0), (40e3, 0, 0.6, 1.9, -55.0), (-60e3, 16e3, 2.2, 2.9, -38.0),
          (80e3, 0, 3.1, 3.4, -50.0)]


def synth(path: Path, seconds: float, bursts, seed: int = 0, datetime: str | None = T0):
    rng = np.random.default_rng(seed)
    n = int(seconds * FS)
    scale = 10 ** (NOISE_DBFS / 20) / np.sqrt(2)
    x = (rng.normal(size=n) + 1j * rng.normal(size=n)) * scale
    t = np.arange(n) / FS
    for f, width, a, b, lev in bursts:
        i0, i1 = int(a * FS), int(b * FS)
        if width:  # band-limited noise of total power lev, width Hz wide around f
            w = rng.normal(size=i1 - i0) + 1j * rng.normal(size=i1 - i0)
            band_fft = np.fft.fft(w)
            fr = np.fft.fftfreq(len(w), 1 / FS)
            band_fft[np.abs(fr) > width / 2] = 0
            w = np.fft.ifft(band_fft)
            w *= 10 ** (lev / 20) / np.sqrt(np.mean(np.abs(w) ** 2))
            x[i0:i1] += w * np.exp(2j * np.pi * f * t[i0:i1])
        else:
            x[i0:i1] += 10 ** (lev / 20) * np.exp(2j * np.pi * f * t[i0:i1])
    x = x.astype(np.complex64)
    path.with_suffix(".sigmf-data").write_bytes(x.tobytes())
    cap = {"core:sample_start": 0, "core:frequency": RF}
    if datetime:
        cap["core:datetime"] = datetime
    write_meta(path.with_suffix(".sigmf-meta"), {"core:datatype": "cf32_le",
                                                 "core:sample_rate": FS}, [cap], [])
    return x


def run_cli(capsys, *argv):
    rc = main([str(a) for a in argv] + ["--json", "-q"])
    out = capsys.readouterr()
    return rc, (json.loads(out.out)[0] if out.out.strip() else None), out.err


def posix(s: str) -> float:
    return dt.datetime.fromisoformat(s.replace("Z", "+00:00")).timestamp()


def read_jsonl(p: Path) -> list[dict]:
    return [json.loads(line) for line in p.read_text().splitlines()]


def parse_rtl_power(p: Path) -> list[tuple]:
    """Rows as rtl_power's readers take them: date, time, low, high, step, samples, dB..."""
    rows = []
    for line in p.read_text().splitlines():
        f = [c.strip() for c in line.split(",")]
        when = dt.datetime.strptime(f[0] + " " + f[1], "%Y-%m-%d %H:%M:%S")
        low, high, step, samples = int(f[2]), int(f[3]), float(f[4]), int(f[5])
        db = np.array([float(v) for v in f[6:]])
        assert len(db) == round((high - low) / step)
        rows.append((when, low, high, step, samples, db))
    return rows


@pytest.fixture(scope="module")
def scene(tmp_path_factory):
    d = tmp_path_factory.mktemp("monitor")
    synth(d / "b", 4.0, BURSTS)
    synth(d / "n", 3.0, [], seed=1)
    return d


# --- the tracker --------------------------------------------------------------------------------

def frames_of(levels: list[dict], bins: int = 64, seed: int = 0):
    """Frames of -80 dB noise (0.5 dB rms) with {bin: level} added per frame, 0.1 s each."""
    rng = np.random.default_rng(seed)
    for k, lv in enumerate(levels):
        x = -80 + rng.normal(0, 0.5, bins)
        for b, v in lv.items():
            x[b] = v
        yield x, 0.1 * k, 0.1 * (k + 1)


@pytest.mark.parametrize("levels, kw, want", [
    # wavering between threshold - hysteresis and threshold: one event, not three
    ([{}] * 2 + [{10: -65}, {10: -72}, {10: -65}, {10: -72}, {10: -65}] + [{}] * 2,
     {}, [(0.2, 0.7, 10, 10)]),
    # the same without hysteresis: each rise is an event
    ([{}] * 2 + [{10: -65}, {10: -72}, {10: -65}] + [{}] * 2,
     {"hysteresis_db": 0}, [(0.2, 0.3, 10, 10), (0.4, 0.5, 10, 10)]),
    # a one-frame blip is dropped by the minimum duration, the long one kept
    ([{}, {20: -60}, {}] + [{40: -60}] * 4 + [{}],
     {"min_duration": 0.25}, [(0.3, 0.7, 40, 40)]),
    # two clusters growing into each other merge; a neighbour one bin off joins
    ([{5: -60}, {5: -60, 9: -60}, {5: -60, 6: -70, 7: -70, 8: -70, 9: -60}, {}],
     {}, [(0.0, 0.3, 5, 9)]),
    # still open at the end: closed by close()
    ([{}, {30: -60, 31: -60}], {}, [(0.1, 0.2, 30, 31)]),
])
def test_tracker_events(levels, kw, want):
    tr = OccupancyTracker(np.arange(64) * 100.0, **{"threshold_db": 10, "hysteresis_db": 3, **kw})
    got = []
    for x, t0, t1 in frames_of(levels):
        got += tr.update(x, t0, t1)
    got += tr.close()
    assert [(round(e.start, 6), round(e.end, 6), round(e.low_hz + 50) // 100,
             round(e.high_hz - 50) // 100) for e in got] == want
    assert all(e.snr_db > 9 and e.peak_db > -71 for e in got)
    assert tr.floor_db == pytest.approx(-80, abs=0.5)


def test_tracker_refuses_bad_input():
    f = np.arange(8.0)
    for kw in ({"threshold_db": 0}, {"hysteresis_db": 10}, {"min_duration": -1},
               {"floor_alpha": 0}, {"merge_bins": -1}, {"edge_db": 0}):
        with pytest.raises(ValueError):
            OccupancyTracker(f, **kw)
    with pytest.raises(ValueError):
        OccupancyTracker([1.0, 1.0])
    tr = OccupancyTracker(f)
    with pytest.raises(ValueError, match="holds 8"):
        tr.update(np.zeros(7), 0, 1)
    assert tr.update(np.full(8, np.nan), 0, 1) == []  # no crash on garbage frames


# --- the command on recordings -------------------------------------------------------------------

def test_events_match_the_bursts(scene, capsys, tmp_path):
    ev, log, snip = tmp_path / "e.jsonl", tmp_path / "l.csv", tmp_path / "snips"
    rc, r, err = run_cli(capsys, "monitor", scene / "b.sigmf-meta", "--interval", "0.5s",
                         "--events", ev, "--log", log, "--snip", snip)
    assert rc == 0, err
    events = read_jsonl(ev)
    assert len(events) == len(BURSTS) == r["events"]
    t0, rbw, interval = posix(T0), r["rbw_hz"], r["interval_s"]
    for e, (f, width, a, b, lev) in zip(events, BURSTS):
        assert abs(posix(e["start"]) - (t0 + a)) <= interval
        assert abs(posix(e["end"]) - (t0 + b)) <= interval
        assert e["duration_s"] == pytest.approx(posix(e["end"]) - posix(e["start"]), abs=1e-5)
        assert abs(e["low_hz"] - (RF + f - width / 2)) <= 2 * rbw
        assert abs(e["high_hz"] - (RF + f + width / 2)) <= 2 * rbw
        noise = NOISE_DBFS + 10 * np.log10(rbw / FS)
        if not width:
            assert e["peak_dbfs"] == pytest.approx(lev, abs=1.0)
            assert e["snr_db"] == pytest.approx(lev - noise, abs=1.5)
        snap = open_recording(e["snip"])
        ann = snap.annotations[0]
        assert (ann["core:freq_lower_edge"], ann["core:freq_upper_edge"]) == (e["low_hz"], e["high_hz"])
        assert snap.center == RF and posix(snap.captures[0]["core:datetime"]) <= posix(e["start"])
        assert snap.n_samples == pytest.approx((b - a) * FS, abs=4 * r["interval_s"] * FS)
    rows = parse_rtl_power(log)
    assert len(rows) == r["rows"] and 8 <= len(rows) <= 9  # the last interval may be partial
    assert rows[0][0] == dt.datetime(2026, 1, 2, 3, 4, 5) and rows[0][2] - rows[0][1] > 190e3
    assert abs(np.median(rows[0][5]) - r["noise_floor_dbfs"]) < 1
    # the tone's column stands out in the rows it is on, and only there
    col = int(round((RF + 40e3 - rows[0][1]) / rows[0][3]))
    lit = [row[5][col] - np.median(row[5]) > 10 for row in rows]
    assert lit[:8] == [False, True, True, True, False, False, False, False] and not any(lit[8:])


def test_noise_alone_raises_no_event(scene, capsys, tmp_path):
    ev, log = tmp_path / "e.jsonl", tmp_path / "l.csv"
    rc, r, err = run_cli(capsys, "monitor", scene / "n.sigmf-meta", "--events", ev, "--log", log,
                         "--band", "433.85M:433.95M", "--rbw", "500")
    assert rc == 0, err
    assert r["events"] == 0 and ev.read_text() == ""
    rows = parse_rtl_power(log)
    assert len(rows) == 3 and rows[0][1] == pytest.approx(433.85e6, abs=2 * rows[0][3])
    assert rows[0][2] == pytest.approx(433.95e6, abs=2 * rows[0][3])
    assert sum(row[4] for row in rows) == pytest.approx(3 * FS, rel=0.01)


def test_command_line_errors(scene, capsys, tmp_path):
    (tmp_path / "s").mkdir()
    (tmp_path / "s" / "event-00001-x.sigmf-meta").write_text("{}")
    for argv, msg in [
        (["--band", "434.1M:434.2M"], "reaches beyond"),
        (["--threshold", "6dB", "--hysteresis", "6"], "--hysteresis"),
        (["--interval", "1ms", "--rbw", "10"], "shorter than one analyzer segment"),
        (["--snip", tmp_path / "s"], "already holds event recordings"),
    ]:
        rc, _, err = run_cli(capsys, "monitor", scene / "n.sigmf-meta", *argv)
        assert rc != 0 and msg in err, err


# --- live: a pipe, Ctrl-C --------------------------------------------------------------------------

def test_pipe_gives_the_file_s_events(scene, capsys, tmp_path):
    """The same samples through a pipe: the same events, shifted by the arrival time."""
    rc, r, _ = run_cli(capsys, "monitor", scene / "b.sigmf-meta", "--events", tmp_path / "f.jsonl")
    with open(scene / "b.sigmf-data", "rb") as f:
        p = subprocess.run([*OSTREL, "monitor", "-", "--format", "cf32_le", "--fs", str(FS),
                            "--rf", str(RF), "--events", tmp_path / "p.jsonl", "--json", "-q"],
                           stdin=f, capture_output=True, timeout=60)
    assert p.returncode == 0, p.stderr
    live = json.loads(p.stdout)[0]
    assert live["time_source"] == "arrival time" and live["ended"] == "end of stream"
    a, b = read_jsonl(tmp_path / "f.jsonl"), read_jsonl(tmp_path / "p.jsonl")
    assert len(a) == len(b) == len(BURSTS)
    shift = posix(live["start"]) - posix(r["start"])
    for x, y in zip(a, b):
        assert posix(y["start"]) - posix(x["start"]) == pytest.approx(shift, abs=1e-3)
        for k in ("low_hz", "high_hz", "peak_dbfs", "snr_db", "duration_s"):
            assert x[k] == y[k]


def test_ctrl_c_closes_the_open_event_and_leaves_complete_files(tmp_path):
    x = synth(tmp_path / "c", 1.6, [(30e3, 0, 0.5, 1.6, -45.0)], datetime=None)
    log, ev = tmp_path / "l.csv", tmp_path / "e.jsonl"
    p = subprocess.Popen([*OSTREL, "monitor", "-", "--format", "cf32_le", "--fs", str(FS),
                          "--interval", "0.5s", "--log", log, "--events", ev, "--json", "-q"],
                         stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    p.stdin.write(x.tobytes())
    p.stdin.flush()
    t = time.monotonic()
    while (not log.exists() or len(log.read_text().splitlines()) < 2) and time.monotonic() - t < 20:
        time.sleep(0.02)
    time.sleep(0.3)
    p.send_signal(signal.SIGINT)
    p.wait(timeout=20)  # with the pipe still open: the signal, not its end, stops the run
    out, err = p.communicate(timeout=20)
    assert p.returncode == 0, err
    r = json.loads(out)[0]
    assert r["ended"] == "interrupted"
    rows = parse_rtl_power(log)  # every line complete, the interval in progress included
    assert len(rows) == r["rows"] >= 3
    events = read_jsonl(ev)
    assert len(events) == 1 and events[0]["duration_s"] > 0.5
    assert events[0]["peak_dbfs"] == pytest.approx(-45, abs=1)


def test_snips_stay_bounded(scene, capsys, tmp_path):
    rc, r, err = run_cli(capsys, "monitor", scene / "b.sigmf-meta", "--snip", tmp_path,
                         "--snip-max", "0.3s", "--min-duration", "0.5")
    assert rc == 0, err
    assert r["discarded"] == 1 and len(r["snips"]) == len(BURSTS) - 1  # the 0.3 s burst dropped
    for path in r["snips"]:
        snap = open_recording(path)
        assert snap.n_samples <= 0.3 * FS
        assert snap.annotations[0].get("ostrel:truncated") is True  # every kept event is longer


@pytest.mark.parametrize("capacity, sizes, cut, want", [
    (10, [4, 4, 4], (0, 12), (2, 12)),     # the oldest two fell out
    (10, [25], (0, 25), (15, 25)),         # one block larger than the ring
    (10, [3, 3, 3], (4, 7), (4, 7)),       # across two chunks
    (10, [3, 3], (6, 9), (6, 6)),          # not yet there
])
def test_sample_ring(capacity, sizes, cut, want):
    from ostrel.cli.monitor import SampleRing

    ring, pos = SampleRing(capacity), 0
    for n in sizes:
        ring.add(np.arange(pos, pos + n).astype(np.complex64))
        pos += n
        assert ring.held <= capacity + max(sizes)
    first, x = ring.cut(*cut)
    assert (first, first + len(x)) == want
    np.testing.assert_array_equal(x.real, np.arange(*want))


def test_real_recording(tmp_path, capsys):
    """A real (one-sided) recording: a tone reads its power at its frequency."""
    fs = 200e3
    t = np.arange(int(1.5 * fs)) / fs
    x = np.random.default_rng(2).normal(0, 0.01, len(t))
    x[60000:240000] += 0.1 * np.cos(2 * np.pi * 30e3 * t[60000:240000])  # -23 dBFS, 0.3 .. 1.2 s
    x.astype(np.float32).tofile(tmp_path / "r.f32")
    rc, r, err = run_cli(capsys, "monitor", tmp_path / "r.f32", "--format", "rf32_le", "--fs", fs,
                         "--interval", "0.25s", "--events", tmp_path / "e.jsonl")
    assert rc == 0, err
    (e,) = read_jsonl(tmp_path / "e.jsonl")
    assert e["peak_dbfs"] == pytest.approx(-23.0, abs=0.5) and e["peak_hz"] == pytest.approx(30e3, abs=r["rbw_hz"])
    assert abs(e["low_hz"] - 30e3) < 2 * r["rbw_hz"] and abs(e["high_hz"] - 30e3) < 2 * r["rbw_hz"]
    assert abs(posix(e["start"]) - 0.3) <= r["interval_s"] and abs(posix(e["end"]) - 1.2) <= r["interval_s"]
    assert r["time_source"].startswith("none")


def test_open_events_show_the_signal_so_far():
    tr = OccupancyTracker(np.arange(64) * 100.0)
    for x, t0, t1 in frames_of([{}, {12: -60, 13: -62}, {12: -60}]):
        assert tr.update(x, t0, t1) == []
    (ev,) = tr.open_events()
    assert (ev.start, ev.end, ev.low_hz, ev.high_hz) == pytest.approx((0.1, 0.3, 1150, 1350))
    assert ev._hold is None and tr.open_events()[0].id == ev.id  # a copy: the tracker's stays
