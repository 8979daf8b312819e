"""The ostrel command end to end on small synthesised recordings: results against the
recordings' truth, every bad-input case, sample conversion, block reading, the Dask path."""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("sigmf")

from ostrel import spectral, track  # noqa: E402
from ostrel.cli import main  # noqa: E402
from ostrel.cli.recording import Source, open_recording  # noqa: E402
from ostrel.cli.truth import BerCounter, Demapper, truth_indices  # noqa: E402

FS = 1e6


def run(capsys, *argv) -> tuple[int, str, str]:
    rc = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    assert "Traceback" not in err
    return rc, out, err


def results(capsys, *argv) -> list[dict]:
    rc, out, err = run(capsys, *argv, "--json", "-q")
    assert rc == 0, err
    return json.loads(out)


@pytest.fixture(scope="session")
def recs(tmp_path_factory) -> dict:
    """Complex (cf32, cu8) and real (ri16) recordings of 0.5 s, synthesised once."""
    d = tmp_path_factory.mktemp("rec")
    paths = {}
    for name, dt in (("cplx", "cf32_le"), ("real", "ri16_le"), ("u8", "cu8")):
        paths[name] = d / f"{name}.sigmf-meta"
        assert main(["synth", str(paths[name]), "--seconds", "0.5", "--datatype", dt, "-q"]) == 0
    return paths


def annotations(path: Path, kind: str) -> list[dict]:
    meta = json.loads(Path(path).read_text())
    return [a for a in meta["annotations"] if a.get("ostrel:kind") == kind]


def near(peaks: list[dict], f: float, tol: float = 1e3) -> dict:
    hits = [p for p in peaks if abs(p["freq_offset_hz"] - f) < tol]
    assert hits, f"no peak near {f} Hz in {peaks}"
    return hits[0]


# --- spectrum, info, ddc ----------------------------------------------------------------------

@pytest.mark.parametrize("name", ["cplx", "real", "u8"])
def test_spectrum_finds_the_tones_at_their_levels(capsys, recs, name):
    r, = results(capsys, "spectrum", recs[name])
    for t in annotations(recs[name], "tone"):
        p = near(r["peaks"], t["ostrel:freq_offset_hz"])
        assert p["level_dbfs"] == pytest.approx(t["ostrel:level_dbfs"], abs=0.3)
        assert p["freq_hz"] == pytest.approx(433.92e6 + t["ostrel:freq_offset_hz"], abs=300)
    # white noise plus the spread-code bursts spread over the band, per Hz
    meta = json.loads(Path(recs[name]).read_text())
    code = annotations(recs[name], "code")
    duty = sum(a["core:sample_count"] for a in code) / (0.5 * FS)
    density = 10 ** (meta["global"]["ostrel:noise_dbfs"] / 10) + duty * 10 ** (code[0]["ostrel:level_dbfs"] / 10)
    band = FS if name == "cplx" else FS / 2
    if name != "u8":  # 8-bit quantisation noise lies above the -45 dBFS of the scene
        assert r["noise_density_dbhz"] == pytest.approx(10 * np.log10(density / band), abs=0.5)
    assert r["peak_dbfs"] == pytest.approx(-25.0, abs=0.3) and r["snr_db"] > 35


def test_spectrum_png_csv_and_info(capsys, recs, tmp_path):
    pytest.importorskip("matplotlib")
    png, csv = tmp_path / "s.png", tmp_path / "s.csv"
    r, = results(capsys, "spectrum", recs["cplx"], "--rbw", "500", "--png", png, "--csv", csv)
    assert r["rbw_hz"] <= 500 and png.read_bytes()[:4] == b"\x89PNG"
    trace = np.loadtxt(csv, delimiter=",", skiprows=1)
    assert trace[np.argmax(trace[:, 2]), 0] == pytest.approx(310e3, abs=2 * r["rbw_hz"])
    info, = results(capsys, "info", recs["cplx"], "--verify")
    assert (info["samples"], info["fs"], info["sha512"]) == (500_000, FS, "ok")
    assert len(info["annotations"]) == 7


def test_ddc_writes_a_consistent_channel(capsys, recs, tmp_path):
    out = tmp_path / "chan.sigmf-meta"
    r, = results(capsys, "ddc", recs["cplx"], "--freq", "100k", "--rate", "200k", "-o", out)
    assert r["fs_out"] == pytest.approx(200e3) and r["samples_out"] == pytest.approx(100_000, abs=4)
    info, = results(capsys, "info", out, "--verify")
    assert info["center_hz"] == 433.92e6 + 100e3 and info["sha512"] == "ok"
    psk, = [a for a in info["annotations"] if a.get("ostrel:kind") == "psk"]  # the BPSK burst is out of band
    src = annotations(recs["cplx"], "psk")[0]
    assert psk["ostrel:freq_offset_hz"] == pytest.approx(src["ostrel:freq_offset_hz"] - 100e3)
    assert psk["ostrel:samples_per_symbol"] == pytest.approx(src["ostrel:samples_per_symbol"] / 5)
    spec, = results(capsys, "spectrum", out, "--peaks", "1")
    assert abs(spec["peaks"][0]["freq_offset_hz"] - 1234) < 25e3  # the QPSK hump now at DC


def test_ddc_of_a_real_recording(capsys, recs, tmp_path):
    """The real-input down-converter: the real recording's tone at +405 kHz lands at +5 kHz."""
    out = tmp_path / "r.sigmf-meta"
    results(capsys, "ddc", recs["real"], "--freq", "400k", "--rate", "50k", "-o", out)
    spec, = results(capsys, "spectrum", out, "--peaks", "1")
    assert spec["peaks"][0]["freq_offset_hz"] == pytest.approx(5e3, abs=100)
    # the analytic signal: a real tone of amplitude a becomes a complex tone of amplitude a
    assert spec["peaks"][0]["level_dbfs"] == pytest.approx(-25 + 3.01, abs=0.5)


def test_zoomed_spectrum_with_the_analyzer(capsys, recs):
    from ostrel import analyzer

    need(analyzer, "Specan")
    r, = results(capsys, "spectrum", recs["cplx"], "--center", "300k", "--span", "200k", "--rbw", "100")
    assert r["engine"] == "analyzer.Specan" and r["rbw_hz"] <= 110
    assert near(r["peaks"], 310e3, tol=200)["level_dbfs"] == pytest.approx(-25, abs=0.5)


def test_several_recordings_one_table_with_errors(capsys, recs, tmp_path):
    rc, out, err = run(capsys, "spectrum", recs["cplx"], tmp_path / "gone.sigmf-meta", "--csv",
                       tmp_path / "{stem}.csv", "-q")
    lines = out.splitlines()
    assert rc == 1 and len(lines) == 3 and "error: " in lines[2] and "no such metadata file" in err
    assert (tmp_path / "cplx.csv").exists()


def test_sigmf_archive_reads_like_the_pair(recs, tmp_path):
    import tarfile

    arc = tmp_path / "a.sigmf"
    with tarfile.open(arc, "w") as tar:
        for ext in (".sigmf-meta", ".sigmf-data"):
            tar.add(recs["u8"].with_suffix(ext), arcname=f"a/a{ext}")
    with open_recording(str(arc)) as a, open_recording(str(recs["u8"])) as b:
        assert (a.kind, a.n_samples, a.fs) == ("sigmf archive", b.n_samples, b.fs)
        np.testing.assert_array_equal(a.read(1000, 5000), b.read(1000, 5000))


# --- demod and detect (once the receivers and the detector are in the build) ------------------

def need(module, name):
    if not hasattr(module, name):
        pytest.skip(f"this build has no {module.__name__}.{name}")


@pytest.mark.parametrize("name, mod, args, rx", [
    ("cplx", "qpsk", ["--symbol-rate", "50k", "--carrier", "100k", "--rrc", "0.35"], "MpskReceiver"),
    ("cplx", "bpsk", ["--symbol-rate", "25k", "--carrier=-150k", "--rrc", "0.5"], "BpskReceiver"),
    ("real", "qpsk", ["--symbol-rate", "50k", "--carrier", "300k", "--rrc", "0.35"], "MpskReceiverR"),
])
def test_demod_bits_error_free_against_truth(capsys, recs, tmp_path, name, mod, args, rx):
    need(track, rx)
    bits = tmp_path / "b.bits"
    r, = results(capsys, "demod", recs[name], "--mod", mod, *args, "-o", bits)
    truth, = [a for a in annotations(recs[name], "psk") if a["ostrel:mod"] == mod]
    assert r["receiver"] == rx and r["bits_compared"] > 10_000
    assert r["ber"] == 0.0
    # locked within 100 symbols of the burst's first symbol (the recording ends in noise, where
    # the lock drops: the first lock is what counts)
    assert 0 < r["lock_after_symbols"] < 100 and not r["locked_at_end"]
    assert abs(r["carrier_error_hz"]) < 1
    assert r["clock_ppm_est"] == pytest.approx(truth["ostrel:clock_ppm"], abs=15)
    assert os.path.getsize(bits) == r["bits"]


def test_demod_bits_are_the_receivers_own(recs):
    """The command's demapper gives exactly the bits of the receiver's bits() on the same input."""
    need(track, "MpskReceiver")
    x = open_recording(str(recs["cplx"])).read(0, 200_000)
    kw = dict(m=4, sps=20.0, pulse="rrc", rrc_beta=0.35, init_norm_freq=0.1)
    for diff in (0, 1):
        sym = track.MpskReceiver(differential=diff, **kw).steps(x)
        d = Demapper(4, bool(diff))
        mine = np.concatenate([d.bits(d.indices(s)) for s in np.array_split(sym, 7)])
        np.testing.assert_array_equal(mine, track.MpskReceiver(differential=diff, **kw).bits(x))


@pytest.mark.parametrize("dwell", [1, 2])
def test_detect_finds_every_code_burst_at_its_lag(capsys, recs, tmp_path, dwell):
    need(spectral, "CorrDetector")
    out = tmp_path / "d.csv"
    r, = results(capsys, "detect", recs["cplx"], "--dwell", dwell, "-o", out)
    starts = [a["core:sample_start"] for a in annotations(recs["cplx"], "code")]
    assert r["bursts_found"] == r["bursts"] == len(starts) == 3 and r["false_alarms"] == 0
    for d in r["list"]:
        assert any((d["sample"] - s) % 1023 == 0 and d["lag"] == s % 1023 for s in starts)
    assert len(out.read_text().splitlines()) == r["detections"] + 1


# --- bad input ---------------------------------------------------------------------------------

def _truncate_data(d):
    with open(d / "x.sigmf-data", "ab") as f:
        f.write(b"\x01\x02\x03")


def _edit_meta(d, fn):
    p = d / "x.sigmf-meta"
    p.write_text(fn(p.read_text()))


BAD = {  # case: (spoil the recording in directory d, argv, message)
    "missing data": (lambda d: (d / "x.sigmf-data").unlink(), ["info", "{rec}"], "no such data file"),
    "trailing bytes": (_truncate_data, ["info", "{rec}"], "3 trailing bytes"),
    "unknown datatype": (lambda d: _edit_meta(d, lambda s: s.replace("cf32_le", "ci32_le")),
                         ["info", "{rec}"], "unsupported datatype 'ci32_le'"),
    "no sample rate": (lambda d: _edit_meta(d, lambda s: s.replace('"core:sample_rate"', '"x:rate"')),
                       ["info", "{rec}"], "give it with --fs"),
    "truncated meta": (lambda d: _edit_meta(d, lambda s: s[:200]), ["info", "{rec}"], "looks truncated"),
    "malformed meta": (lambda d: _edit_meta(d, lambda s: s.replace('"global"', '"globe"')),
                       ["info", "{rec}"], "not SigMF metadata"),
    "output exists": (lambda d: (d / "o.csv").write_text("x"), ["spectrum", "{rec}", "--csv", "{d}/o.csv"],
                      "exists (pass --force"),
    "missing file": (lambda d: None, ["info", "{d}/nothing.cf32"], "no such file"),
    "raw without fs": (lambda d: shutil.copy(d / "x.sigmf-data", d / "r.cu8"), ["info", "{d}/r.cu8"],
                       "give it with --fs"),
    "several, no stem": (lambda d: None, ["spectrum", "{rec}", "{rec}", "--csv", "{d}/o.csv"],
                         "must contain {stem}"),
}


@pytest.mark.parametrize("case", list(BAD))
def test_bad_input_is_one_clear_error(capsys, tmp_path, case):
    assert run(capsys, "synth", tmp_path / "x.sigmf-meta", "--seconds", "0.01")[0] == 0
    spoil, argv, message = BAD[case]
    spoil(tmp_path)
    rc, out, err = run(capsys, *[a.format(d=tmp_path, rec=tmp_path / "x.sigmf-meta") for a in argv])
    assert rc == 1 and message in err and err.startswith("ostrel ") and out == ""


def test_partial_sample_allowed_on_request(capsys, tmp_path):
    run(capsys, "synth", tmp_path / "x.sigmf-meta", "--seconds", "0.01")
    _truncate_data(tmp_path)
    rc, out, err = run(capsys, "info", tmp_path / "x", "--allow-partial", "--json")
    r, = json.loads(out)
    assert rc == 0 and r["samples"] == 10_000 and r["trailing_bytes"] == 3
    assert "ignoring 3 trailing bytes" in err


def test_existing_synth_output_and_missing_plot_extra(capsys, tmp_path, monkeypatch):
    run(capsys, "synth", tmp_path / "x.sigmf-meta", "--seconds", "0.01")
    rc, _, err = run(capsys, "synth", tmp_path / "x.sigmf-meta", "--seconds", "0.01")
    assert rc == 1 and "exists" in err
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    rc, _, err = run(capsys, "spectrum", tmp_path / "x", "--png", tmp_path / "p.png")
    assert rc == 1 and "pip install 'ostrel[plot]'" in err and not (tmp_path / "p.png").exists()


# --- sample conversion and block reading -------------------------------------------------------

@pytest.mark.parametrize("fmt, dtype, ref", [
    ("cu8", np.uint8, lambda r: ((r[0::2] - 128.0) + 1j * (r[1::2] - 128.0)) / 128),
    ("ci16_le", "<i2", lambda r: (r[0::2] + 1j * r[1::2]) / 32768),
    ("ci16_be", ">i2", lambda r: (r[0::2] + 1j * r[1::2]) / 32768),
    ("ci8", np.int8, lambda r: (r[0::2] + 1j * r[1::2]) / 128),
    ("cf64_le", "<f8", lambda r: r[0::2] + 1j * r[1::2]),
    ("ru8", np.uint8, lambda r: (r - 128.0) / 128),
])
def test_conversion_against_numpy(tmp_path, fmt, dtype, ref):
    info = np.iinfo(dtype) if np.dtype(dtype).kind in "iu" else None
    rng = np.random.default_rng(5)
    raw = (rng.integers(info.min, info.max, 2 * 999, endpoint=True) if info
           else rng.standard_normal(2 * 999)).astype(dtype)
    path = tmp_path / "r.raw"
    raw.tofile(path)
    rec = open_recording(str(path), Source(fs=1.0, format=fmt))
    x = rec.read()
    want = ref(raw.astype(np.float64))
    assert x.dtype == (np.complex64 if fmt[0] == "c" else np.float32)
    np.testing.assert_allclose(x, want.astype(x.dtype), rtol=0, atol=1e-7)


@pytest.mark.parametrize("fmt, header", [("cf32_le", 0), ("cf32_le", 4), ("ci16_le", 2)])
def test_blocks_equal_one_whole_read(tmp_path, fmt, header):
    rng = np.random.default_rng(1)
    body = rng.integers(0, 256, 8 * 5000 if fmt == "cf32_le" else 4 * 5000, dtype=np.uint8)
    if fmt == "cf32_le":
        body = rng.standard_normal(10_000).astype("<f4").view(np.uint8)
    (tmp_path / "h.sigmf-data").write_bytes(b"H" * header + body.tobytes())
    meta = {"global": {"core:datatype": fmt, "core:sample_rate": 1.0, "core:version": "1.0.0"},
            "captures": [{"core:sample_start": 0, "core:header_bytes": header}], "annotations": []}
    (tmp_path / "h.sigmf-meta").write_text(json.dumps(meta))
    with open_recording(str(tmp_path / "h.sigmf-meta")) as rec:
        whole = rec.read()
        assert len(whole) == 5000
        for block in (1, 777, 4096, 10_000):
            np.testing.assert_array_equal(np.concatenate([b.copy() for b in rec.blocks(block)]), whole)
        np.testing.assert_array_equal(rec.read(123, 1000), whole[123:1123])


def test_ber_counter_resolves_alignment_rotation_and_counts_errors():
    m, n = 4, 20_000
    tx = truth_indices("prbs15", m, 0, n)
    rx = np.concatenate((np.random.default_rng(0).integers(0, m, 300), (tx[:n - 500] + 3) % m))
    rx[5000] = (rx[5000] + 2) % m  # two bit errors (Gray: opposite point)
    for diff in (False, True):
        b = BerCounter(m, diff, "prbs15", n, expect=-300, search=None)
        for i in range(0, len(rx), 4099):
            b.push(i, rx[i:i + 4099])
        b.finish()
        assert b.errors == (2 if not diff else 4) and b.bits > 2 * (n - 2000)
        assert diff or b.rotation == 1


@pytest.mark.parametrize("real", [False, True])
def test_pfa_threshold_holds_on_noise(real):
    """The statistic the detector forms (peak over mean magnitude of n circular correlation
    bins) on noise alone exceeds the --pfa threshold at about the asked rate."""
    from ostrel.cli.detect import threshold_for

    rng, n, pfa, trials = np.random.default_rng(3), 256, 0.05, 4000
    ref = np.sign(rng.standard_normal(n)) + (0 if real else 1j * np.sign(rng.standard_normal(n)))
    x = rng.standard_normal((trials, n)) + (0 if real else 1j * rng.standard_normal((trials, n)))
    mag = np.abs(np.fft.ifft(np.fft.fft(x) * np.conj(np.fft.fft(ref))))
    rate = np.mean(mag.max(axis=1) / mag.mean(axis=1) > threshold_for(n, pfa, real))
    assert pfa / 2 < rate < pfa * 1.6


def test_demapper_streams_across_blocks():
    sym = np.exp(1j * (np.pi / 4 + np.pi / 2 * np.random.default_rng(2).integers(0, 4, 999))).astype(np.complex64)
    for diff in (False, True):
        whole = Demapper(4, diff).bits(Demapper(4, diff).indices(sym))
        d = Demapper(4, diff)
        parts = np.concatenate([d.bits(d.indices(s)) for s in np.array_split(sym, 13)])
        np.testing.assert_array_equal(parts, whole)
    assert list(Demapper(4, False).bits(Demapper(4, False).indices(sym[:1] * 0 + np.exp(3j * np.pi / 4)))) == [1, 0]


# --- many recordings ---------------------------------------------------------------------------

@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="worker processes of the sanitizer run: covered by the plain run")
def test_jobs_give_the_serial_table(capsys, recs):
    pytest.importorskip("dask.distributed")
    argv = ["spectrum", recs["cplx"], recs["real"], "--rbw", "4k"]
    assert results(capsys, *argv, "--jobs", "2") == results(capsys, *argv)


# --- the console script ------------------------------------------------------------------------

def test_console_script_and_module(recs, tmp_path):
    exe = Path(sys.executable).with_name("ostrel")
    if not exe.exists():
        pytest.skip("no ostrel console script beside this interpreter")
    p = subprocess.run([str(exe), "--help"], capture_output=True, text=True)
    assert p.returncode == 0 and "synth" in p.stdout and "ddc" in p.stdout
    p = subprocess.run([sys.executable, "-m", "ostrel", "info", str(tmp_path / "none.sigmf-meta")],
                       capture_output=True, text=True, cwd=tmp_path)
    assert p.returncode == 1 and "no such metadata file" in p.stderr and "Traceback" not in p.stderr
