"""The ostrel command end to end on small synthesised recordings: results against the
recordings' truth, every bad-input case, the command line, sample conversion, block reading,
the Dask path and the console script."""

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
from ostrel.cli import attach_negative_values, build_parser, main  # noqa: E402
from ostrel.cli.common import parse_hz  # noqa: E402
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
    """Recordings of 0.5 s synthesised once: complex (cf32, cu8), real (ri16) and one whose
    first burst is 8PSK."""
    d = tmp_path_factory.mktemp("rec")
    paths = {}
    for name, extra in (("cplx", []), ("real", ["--datatype", "ri16_le"]),
                        ("u8", ["--datatype", "cu8"]), ("p8", ["--mod", "8psk"])):
        paths[name] = d / f"{name}.sigmf-meta"
        assert main(["synth", str(paths[name]), "--seconds", "0.5", "-q", *extra]) == 0
    return paths


def annotations(path: Path, kind: str) -> list[dict]:
    meta = json.loads(Path(path).read_text())
    return [a for a in meta["annotations"] if a.get("ostrel:kind") == kind]


def near(peaks: list[dict], f: float, tol: float = 1e3) -> dict:
    hits = [p for p in peaks if abs(p["freq_offset_hz"] - f) < tol]
    assert hits, f"no peak near {f} Hz in {peaks}"
    return hits[0]


def need(module, name):
    """Every build has the types the commands drive: a missing one fails the test."""
    assert hasattr(module, name), f"this build has no {module.__name__}.{name}"


# --- the command line --------------------------------------------------------------------------

@pytest.mark.parametrize("argv, attr, value", [
    (["demod", "R", "--mod", "bpsk", "--symbol-rate", "25k", "--carrier", "-150k"], "carrier", -150e3),
    (["demod", "R", "--mod", "bpsk", "--symbol-rate", "25k", "--carrier=-150k"], "carrier", -150e3),
    (["demod", "R", "--mod", "bpsk", "--symbol-rate", "9.6k", "--carrier", "-1.5e5"], "carrier", -150e3),
    (["demod", "R", "--mod", "qpsk", "--symbol-rate", "2.4M", "--carrier", "-1k", "-q"], "quiet", True),
    (["spectrum", "R", "--center", "-.25M", "--span", "10k"], "center", -250e3),
    (["ddc", "R", "--freq", "-150kHz", "--rate", "50k", "-o", "x"], "freq", -150e3),
    (["info", "R", "--rf", "433.92M"], "rf", 433.92e6),
    (["info", "--rf", "1M", "--", "-5k"], "recordings", ["-5k"]),  # after --: a file name
])
def test_option_values_reach_their_options(argv, attr, value):
    parser = build_parser()
    args = parser.parse_args(attach_negative_values(parser, argv))
    assert getattr(args, attr) == value


@pytest.mark.parametrize("text, hz", [
    ("250000", 250e3), ("250e3", 250e3), ("250k", 250e3), ("1.2M", 1.2e6), ("433.92MHz", 433.92e6),
    ("-2.5M", -2.5e6), (" 10 ", 10.0), ("1G", 1e9), ("5m", 5e-3), ("-.5k", -500.0),
])
def test_frequencies_with_si_suffixes(text, hz):
    assert parse_hz(text) == pytest.approx(hz)


@pytest.mark.parametrize("text", ["", "k", "fast", "1e400", "inf", "nan", "1kk"])
def test_frequencies_refused(text):
    with pytest.raises(ValueError, match="frequency"):
        parse_hz(text)


@pytest.mark.parametrize("argv, message", [
    (["demod", "R", "--symbol-rate", "1k"], "--mod"),
    (["spectrum", "R", "--rbw", "fast"], "not a frequency"),
    (["spectrum", "R", "--span", "-5k"], "must be positive"),
    (["demod", "R", "--mod", "16qam", "--symbol-rate", "1k"], "invalid choice"),
    (["resample", "R"], "invalid choice"),
])
def test_usage_errors_exit_2(capsys, argv, message):
    rc, out, err = run(capsys, *argv)
    assert rc == 2 and message in err and out == ""


@pytest.mark.parametrize("command, phrase", [
    ("demod", "--carrier -150k"), ("demod", "--search"), ("spectrum", "halfband"),
    ("detect", "--pfa"), ("ddc", "flat"), ("synth", "annotations"), ("info", "--verify"),
])
def test_every_command_has_help_with_examples(capsys, command, phrase):
    rc, out, _ = run(capsys, command, "--help")
    assert rc == 0 and phrase in out and (command == "synth" or "examples:" in out)


# --- synth and info ----------------------------------------------------------------------------

def test_synth_truth_holds_in_the_samples(recs):
    """What the annotations say is in the samples, checked with NumPy alone: tone levels from
    an FFT, the spread code where the annotations put it, the bursts' carriers from their
    M-th power spectrum."""
    from ostrel.cli.synth import spread_code

    with open_recording(str(recs["cplx"])) as rec:
        x = rec.read().astype(np.complex128)
    n = 200_000  # every tone on a bin
    seg = x[:n] * np.hanning(n)
    spectrum = np.abs(np.fft.fft(seg)) ** 2 / np.sum(np.hanning(n)) ** 2
    freqs = np.fft.fftfreq(n, 1 / FS)
    for t in annotations(recs["cplx"], "tone"):
        k = np.argmin(np.abs(freqs - t["ostrel:freq_offset_hz"]))
        level = 10 * np.log10(spectrum[k - 3:k + 4].max())
        assert level == pytest.approx(t["ostrel:level_dbfs"], abs=0.2)
    code = spread_code("prbs10").astype(np.complex128)
    for a in annotations(recs["cplx"], "code"):
        s = a["core:sample_start"]
        on, off = (abs(np.vdot(code, x[p:p + 1023])) / 1023 for p in (s, s + 500))
        assert on == pytest.approx(10 ** (a["ostrel:level_dbfs"] / 20), rel=0.1) and off < on / 5
    for a in annotations(recs["cplx"], "psk"):
        m, f = a["ostrel:m"], a["ostrel:freq_offset_hz"]
        y = x[a["core:sample_start"]:][:n] * np.exp(-2j * np.pi * round(f, -3) / FS * np.arange(n))
        power, freqs = np.abs(np.fft.fft(y ** m, 4 * n)), np.fft.fftfreq(4 * n, 1 / FS)
        near_dc = np.abs(freqs) < 2000 * m  # the line of the offset from the rounded carrier
        line = freqs[near_dc][np.argmax(power[near_dc])] / m
        assert round(f, -3) + line == pytest.approx(f, abs=2)


@pytest.mark.parametrize("datatype, sample_bytes, tol", [
    ("cf32_le", 8, 0.2), ("cf64_le", 16, 0.2), ("ci16_le", 4, 0.2), ("ci8", 2, 0.5),
    ("cu8", 2, 0.5), ("rf32_le", 4, 0.2), ("ri8", 1, 0.5),
])
def test_synth_writes_every_datatype(capsys, tmp_path, datatype, sample_bytes, tol):
    out = tmp_path / "x.sigmf-meta"
    results(capsys, "synth", out, "--seconds", "0.05", "--datatype", datatype)
    info, = results(capsys, "info", out, "--verify")
    assert (info["datatype"], info["samples"], info["sha512"]) == (datatype, 50_000, "ok")
    assert (tmp_path / "x.sigmf-data").stat().st_size == 50_000 * sample_bytes
    spectrum, = results(capsys, "spectrum", out, "--peaks", "1")
    assert spectrum["peaks"][0]["level_dbfs"] == pytest.approx(-25.0, abs=tol)


def test_info_of_a_raw_file_and_a_rate_given_on_the_command_line(capsys, recs, tmp_path):
    raw = tmp_path / "capture.cs16"
    with open_recording(str(recs["cplx"])) as rec:
        x = rec.read(0, 40_000)
    np.round(np.stack((x.real, x.imag), -1) * 32768).astype("<i2").tofile(raw)
    r, = results(capsys, "info", raw, "--fs", "2M", "--rf", "433.92M")
    assert (r["kind"], r["datatype"], r["samples"], r["duration_s"], r["center_hz"]) == \
        ("raw", "ci16_le", 40_000, 0.02, 433.92e6)
    spectrum, = results(capsys, "spectrum", raw, "--fs", "1M", "--peaks", "1")
    assert spectrum["peaks"][0]["freq_offset_hz"] == pytest.approx(310e3, abs=spectrum["rbw_hz"])
    meta = json.loads(Path(recs["cplx"]).read_text())
    del meta["global"]["core:sample_rate"]
    (tmp_path / "n.sigmf-meta").write_text(json.dumps(meta))
    shutil.copy(recs["cplx"].with_suffix(".sigmf-data"), tmp_path / "n.sigmf-data")
    r, = results(capsys, "info", tmp_path / "n", "--fs", "2M")
    assert r["fs"] == 2e6 and r["duration_s"] == 0.25


@pytest.mark.parametrize("argv", [
    ["spectrum", "{rec}"],
    ["spectrum", "{rec}", "--center", "310k", "--span", "20k"],
    ["detect", "{rec}", "--dwell", "2"],
    ["demod", "{rec}", "--mod", "bpsk", "--symbol-rate", "25k", "--carrier", "-150k", "--rrc", "0.5"],
    ["ddc", "{rec}", "--freq", "300k", "--rate", "30k", "-o", "{d}/{block}.sigmf-meta"],
])
def test_results_do_not_depend_on_the_read_block(capsys, recs, tmp_path, argv):
    """The recording read in blocks of 10007 samples gives the same results as in the default
    blocks of 1 Mi (demod's own blocks are checked on its bits)."""
    table = []
    for block in (None, 10_007):
        args = [a.format(rec=recs["cplx"], d=tmp_path, block=block) for a in argv]
        r, = results(capsys, *args, *([] if block is None else ["--block", block]))
        if argv[0] == "ddc":
            r = {"sha": json.loads(Path(r.pop("output")).read_text())["global"]["core:sha512"], **r}
        table.append(r)
    assert table[0] == table[1]


# --- spectrum ----------------------------------------------------------------------------------

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
    band = FS if name != "real" else FS / 2
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


ZOOM = [  # recording, --center, --span, tone (Hz), its level (dBFS), decimation in front
    ("cplx", "310k", "20k", 310e3, -25.0, 16),  # narrow: halfband stages before the analyzer
    ("cplx", "300k", "25k", 310e3, -25.0, 4),  # the tone at 0.4 span: no droop near the edge
    ("cplx", "-360k", "25k", -370e3, -50.0, 4),
    ("cplx", "300k", "200k", 310e3, -25.0, 1),  # the analyzer alone (below 8:1)
    ("real", "405k", "10k", 405e3, -25.0, 16),  # real: its analytic signal, read one-sided
    ("real", "250k", "400k", 405e3, -25.0, 1),  # real entering the analyzer as complex
]


@pytest.mark.parametrize("name, center, span, tone, level, decimation", ZOOM)
def test_zoomed_levels_are_flat_to_the_span_edges(capsys, recs, name, center, span, tone, level,
                                                   decimation):
    need(__import__("ostrel.analyzer").analyzer, "Specan")
    r, = results(capsys, "spectrum", recs[name], "--center", center, "--span", span)
    assert r["engine"] == "analyzer.Specan" and r["predecimation"] == decimation
    p = near(r["peaks"], tone, tol=2 * r["rbw_hz"])
    assert p["level_dbfs"] == pytest.approx(level, abs=0.05)


def test_zoom_keeps_a_strong_tone_outside_the_span_out(capsys, recs, tmp_path):
    """The -25 dBFS tone 20 kHz off a 25 kHz span would alias into the display 35 dB above the
    noise through an uncompensated CIC; the halfband stages keep it below the noise."""
    csv = tmp_path / "z.csv"
    r, = results(capsys, "spectrum", recs["cplx"], "--center", "290k", "--span", "25k", "--csv", csv)
    trace = np.loadtxt(csv, delimiter=",", skiprows=1)
    assert r["peaks"] == [] and trace[:, 2].max() < r["noise_floor_db"] + 10


def test_occupied_bandwidth_of_the_qpsk_burst(capsys, recs):
    """99 % of a root-raised-cosine signal's power lies in the band that holds 99 % of the
    raised-cosine spectrum (roll-off 0.35 at 50 kBd), computed here from its closed form."""
    f = np.linspace(0, 0.675 * 50e3 / 2 * 2, 200_001)  # 0 .. (1 + beta) R / 2
    T, beta = 1 / 50e3, 0.35
    edge = (1 - beta) / (2 * T)
    rc = np.where(f <= edge, 1.0, 0.5 * (1 + np.cos(np.pi * T / beta * (f - edge))))
    cum = np.cumsum(rc) / np.sum(rc)
    obw = 2 * f[np.searchsorted(cum, 0.99)]
    r, = results(capsys, "spectrum", recs["cplx"], "--center", "101.234k", "--span", "100k",
                 "--obw", "0.99")
    assert r["obw_hz"] == pytest.approx(obw, rel=0.02)


def test_zoom_warns_of_a_rectangular_window(capsys, recs):
    rc, out, err = run(capsys, "spectrum", recs["cplx"], "--center", "300k", "--span", "200k",
                       "--rbw", "500", "-q")
    assert rc == 0 and "beta 0.0" in err and "--rbw 460" in err


# --- ddc ---------------------------------------------------------------------------------------

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
    spectrum, = results(capsys, "spectrum", out, "--peaks", "1")
    assert abs(spectrum["peaks"][0]["freq_offset_hz"] - 1234) < 25e3  # the QPSK hump now at DC


def test_demod_of_a_down_converted_channel_keeps_its_truth(capsys, recs, tmp_path):
    """The channel's annotations follow it to the new rate and centre: its burst demodulates
    at DC with no bit errors against the moved truth."""
    need(track, "PskDemodulator")
    chan = tmp_path / "chan.sigmf-meta"
    results(capsys, "ddc", recs["cplx"], "--freq", "100k", "--rate", "200k", "-o", chan)
    r, = results(capsys, "demod", chan, "--mod", "qpsk", "--symbol-rate", "50k", "--rrc", "0.35")
    assert r["ber"] == 0.0 and r["bits_compared"] > 10_000 and abs(r["carrier_error_hz"]) < 1
    assert r["carrier_hz"] == pytest.approx(1234, abs=1)


@pytest.mark.parametrize("name, freq, rate, tone, level", [
    ("cplx", "300k", "50k", 10e3, -25.0),  # 20:1 (a CIC would droop 1.5 dB here)
    ("cplx", "290k", "50k", 20e3, -25.0),  # the tone at 0.4 of the new rate (6 dB of droop)
    ("cplx", "310k", "7k", 0.0, -25.0),
    ("real", "400k", "20k", 5e3, -25 + 3.01),  # the analytic signal: amplitude kept
    ("real", "400k", "50k", 5e3, -25 + 3.01),
])
def test_ddc_levels_are_flat_across_the_new_band(capsys, recs, tmp_path, name, freq, rate, tone,
                                                 level):
    out = tmp_path / "d.sigmf-meta"
    results(capsys, "ddc", recs[name], "--freq", freq, "--rate", rate, "-o", out)
    spectrum, = results(capsys, "spectrum", out, "--peaks", "1")
    p = spectrum["peaks"][0]
    assert p["freq_offset_hz"] == pytest.approx(tone, abs=spectrum["rbw_hz"])
    assert p["level_dbfs"] == pytest.approx(level, abs=0.1)


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


@pytest.mark.parametrize("argv, lines", [
    (["info", "{rec}"], ["truth: freq_offset_hz=310000 level_dbfs=-25", "capture @ 0: 433.92 MHz"]),
    (["spectrum", "{rec}", "--center", "310k", "--span", "20k"], ["decimation", "16:1 in halfband",
                                                                  "+310000.0 Hz  (434.23 MHz)"]),
    (["demod", "{rec}", "--mod", "qpsk", "--symbol-rate", "50k", "--carrier", "100k", "--rrc", "0.35"],
     ["burst 1: 10.", "carrier +101234.", "0 bit errors in", "phase ambiguity resolved at",
      "BER               0"]),
    (["detect", "{rec}"], ["known bursts: 3 of 3 found", "0.101023"]),
    (["ddc", "{rec}", "--freq", "100k", "--rate", "200k", "-o", "{d}/c.sigmf-meta"],
     ["sample rate  200 kHz", "centre       434.02 MHz"]),
])
def test_reports_read_as_tables(capsys, recs, tmp_path, argv, lines):
    rc, out, err = run(capsys, *[a.format(rec=recs["cplx"], d=tmp_path) for a in argv], "-q")
    assert rc == 0 and err == ""
    for line in lines:
        assert line in out


# --- demod -------------------------------------------------------------------------------------

DEMOD = [  # recording, modulation, arguments, lock within (symbols after the burst's first)
    ("cplx", "qpsk", ["--symbol-rate", "50k", "--carrier", "100k", "--rrc", "0.35"], 300),
    ("cplx", "bpsk", ["--symbol-rate", "25k", "--carrier=-150k", "--rrc", "0.5"], 300),
    ("real", "qpsk", ["--symbol-rate", "50k", "--carrier", "300k", "--rrc", "0.35"], 300),
    ("p8", "8psk", ["--symbol-rate", "50k", "--carrier", "100k", "--rrc", "0.35"], 400),  # longer window
    ("cplx", "qpsk", ["--symbol-rate", "50k", "--carrier", "100k", "--rrc", "0.35", "--differential"], 300),
    ("u8", "qpsk", ["--symbol-rate", "50k", "--carrier", "100k", "--rrc", "0.35"], 300),
]


@pytest.mark.parametrize("name, mod, args, within", DEMOD)
def test_demod_bits_error_free_against_truth(capsys, recs, tmp_path, name, mod, args, within):
    """Each synthesised burst is one burst of the report, demodulated with no bit error, its
    carrier, clock and MER read right; the bits file holds every demodulated symbol."""
    need(track, "PskDemodulator")
    bits = tmp_path / "b.bits"
    r, = results(capsys, "demod", recs[name], "--mod", mod, *args, "-o", bits)
    truth, = [a for a in annotations(recs[name], "psk") if a["ostrel:mod"] == mod]
    assert r["receiver"] == "PskDemodulator" and r["bits_compared"] > 10_000 and r["ber"] == 0.0
    assert 0 < r["lock_after_symbols"] < within and not r["locked_at_end"]
    assert abs(r["carrier_error_hz"]) < 1
    assert r["clock_ppm_est"] == pytest.approx(truth["ostrel:clock_ppm"], abs=15)
    assert r["mer_db"] > 20 and "warnings" not in r
    burst, = [b for b in r["burst_list"] if b["bits_compared"]]
    first = truth["ostrel:first_symbol_sample"]
    end = first + truth["ostrel:symbols"] * truth["ostrel:samples_per_symbol"]
    assert abs(burst["start_sample"] - first) < 300 * truth["ostrel:samples_per_symbol"]
    assert abs(burst["end_sample"] - end) < 300 * truth["ostrel:samples_per_symbol"]
    assert burst["symbols"] > 0.95 * truth["ostrel:symbols"]
    assert os.path.getsize(bits) == r["bits"] == r["symbols"] * {"bpsk": 1, "qpsk": 2, "8psk": 3}[mod]


def test_demod_quality_report_at_low_snr(capsys, tmp_path):
    """At noise -17 dBFS the QPSK burst (-20 dBFS, 50 kBd) has Es/N0 10 dB: the MER reads it
    and the BER is that of coherent QPSK in white noise (Eb/N0 7 dB), within the counting
    noise of some 40 errors."""
    from scipy.special import erfc

    need(track, "PskDemodulator")
    path = tmp_path / "n.sigmf-meta"
    results(capsys, "synth", path, "--seconds", "0.5", "--noise=-17")
    r, = results(capsys, "demod", path, "--mod", "qpsk", "--symbol-rate", "50k", "--carrier", "100k",
                 "--rrc", "0.35")
    theory = 0.5 * erfc(np.sqrt(10 ** 0.7))
    assert r["mer_db"] == pytest.approx(10.0, abs=0.7)
    assert theory / 2 < r["ber"] < theory * 2 and r["bits_compared"] > 40_000


@pytest.mark.parametrize("carrier, search", [
    ("104k", None),  # -2.8 kHz from the signal: within the default search (1/8 of the rate)
    ("96k", None),  # +5.2 kHz
    ("108k", "10k"),  # -6.8 kHz: a wider search
    ("92k", "12.5k"),  # +9.2 kHz: the widest, a quarter of the rate
    ("101k", "0"),  # +0.2 kHz: the narrowest search (1/32 of the rate)
])
def test_demod_carrier_search(capsys, recs, carrier, search):
    need(track, "PskDemodulator")
    extra = [] if search is None else ["--search", search]
    r, = results(capsys, "demod", recs["cplx"], "--mod", "qpsk", "--symbol-rate", "50k", "--rrc",
                 "0.35", "--carrier", carrier, *extra)
    truth = annotations(recs["cplx"], "psk")[0]["ostrel:freq_offset_hz"]
    assert r["carrier_hz"] == pytest.approx(truth, abs=1) and r["ber"] == 0.0
    assert r["lock_time_s"] < 0.01 + 300 / 50e3  # the burst starts at 10 ms


def test_demod_bits_packed_and_in_any_blocks(capsys, recs, tmp_path):
    """Packed bits are the unpacked ones eight to a byte, and blocks of any size give the same
    bits and report."""
    need(track, "PskDemodulator")
    pytest.importorskip("matplotlib")
    args = ["demod", recs["cplx"], "--mod", "qpsk", "--symbol-rate", "50k", "--carrier", "100k",
            "--rrc", "0.35"]
    a, b, c, png = tmp_path / "a", tmp_path / "b", tmp_path / "c", tmp_path / "k.png"
    r, = results(capsys, *args, "-o", a, "--png", png)
    results(capsys, *args, "-o", b, "--packed")
    rc, = results(capsys, *args, "-o", c, "--block", "4099")
    unpacked = np.fromfile(a, np.uint8)
    assert set(np.unique(unpacked)) == {0, 1} and len(unpacked) == r["bits"]
    np.testing.assert_array_equal(np.fromfile(b, np.uint8), np.packbits(unpacked))
    assert c.read_bytes() == a.read_bytes()
    assert {**rc, "output": None} == {**r, "output": None}
    assert png.read_bytes()[:4] == b"\x89PNG"


def _burst_row(start, end, symbols, ppm=40.0):
    return {"start_s": start, "end_s": end, "symbols": symbols, "carrier_hz": 0.0 if symbols else None,
            "clock_ppm_est": ppm if symbols else None, "symbol_rate_est": 50e3 * (1 + ppm * 1e-6)}


@pytest.mark.parametrize("rows, truth, truth_rows, warning", [
    ([_burst_row(0.01, 0.49, 24_000)], 24_000, [0], None),
    ([], None, [], "no signal demodulated (no burst detected)"),
    ([_burst_row(0.01, 0.02, 0)], None, [], "no signal demodulated (1 burst(s) detected, none locked)"),
    # a stalled receiver: 248 symbols over the 480 ms of a burst
    ([_burst_row(0.01, 0.49, 248)], None, [], "burst 1: output far shorter than the signal"),
    ([_burst_row(0.01, 0.49, 24_000, ppm=-1.1e6)], None, [], "burst 1: absurd clock estimate"),
    ([_burst_row(0.01, 0.49, 24_000, ppm=float("nan"))], None, [], "burst 1: absurd clock estimate"),
    # bursts of their own length, but only a fifth of the annotated one's symbols
    ([_burst_row(0.01, 0.03, 1000)] * 5, 25_000, [0, 1, 2, 3, 4], "output far shorter than the signal: 5,000"),
])
def test_demod_warnings_when_the_output_cannot_be_trusted(rows, truth, truth_rows, warning):
    from ostrel.cli.demod import _warnings

    got = _warnings(rows, 50e3, truth, [rows[i] for i in truth_rows])
    assert (got == []) if warning is None else any(w.startswith(warning) for w in got), got


EXIT = {  # case: (argv after the recording, exit status, text on stderr, text never on stdout)
    "demodulated": (["--mod", "qpsk", "--symbol-rate", "50k", "--carrier", "100k"], 0, "", "warning"),
    "nothing at the carrier": (["--mod", "qpsk", "--symbol-rate", "50k", "--carrier=-300k"], 3,
                               "warning: no signal demodulated", "bit errors"),
    # the annotations describe a burst the samples (noise alone) do not hold: no BER over 0 bits
    "annotated but absent": (["--mod", "qpsk", "--symbol-rate", "50k", "--carrier", "100k"], 3,
                             "warning: no signal demodulated", "bit errors"),
    "bad option": (["--mod", "qpsk", "--symbol-rate", "50k", "--rrc", "2"], 1, "--rrc must lie", "symbols"),
    "usage": (["--mod", "qpsk"], 2, "--symbol-rate", "symbols"),
}


@pytest.mark.parametrize("case", list(EXIT))
def test_demod_exit_statuses(capsys, recs, tmp_path, case):
    need(track, "PskDemodulator")
    argv, status, err_text, never = EXIT[case]
    rec = recs["cplx"]
    if case == "annotated but absent":  # the recording's metadata over samples of noise alone
        shutil.copy(rec, tmp_path / "n.sigmf-meta")
        n = os.path.getsize(rec.with_suffix(".sigmf-data")) // 8
        noise = np.random.default_rng(1).standard_normal(2 * n).astype(np.float32) * np.float32(1e-3)
        noise.tofile(tmp_path / "n.sigmf-data")
        rec = tmp_path / "n.sigmf-meta"
    rc, out, err = run(capsys, "demod", rec, *argv, "-q")
    assert rc == status and err_text in err and never not in out
    if case == "annotated but absent":
        assert "no symbols of it to score" in out


def test_readme_synth_ddc_demod_example(capsys, tmp_path, monkeypatch):
    """The README's down-converted channel example, as written there, on a 2 s recording."""
    import re
    import shlex

    need(track, "PskDemodulator")
    readme = Path(__file__).resolve().parent.parent / "README.md"
    if not readme.exists():
        pytest.skip("README not beside the tests")
    text = readme.read_text()
    lines = [ln.split("#")[0] for ln in re.findall(r"^ostrel (?:ddc demo|demod qpsk-channel) .*$", text, re.M)]
    assert len(lines) == 2
    monkeypatch.chdir(tmp_path)
    assert main(["synth", "demo.sigmf-meta", "--seconds", "2", "-q"]) == 0
    for line in lines:
        rc, out, err = run(capsys, *shlex.split(line)[1:], "-q")
        assert rc == 0 and "warning" not in err, out + err
    assert "BER               0\n" in out and "burst 1:" in out and "burst 2:" not in out
    compared = int(re.search(r"bits compared +([\d,]+)", out).group(1).replace(",", ""))
    assert compared > 190_000 and re.search(r"carrier error [+-]0\.\d Hz", out)


def test_demod_lists_every_burst_of_a_train(capsys, tmp_path):
    """A raw file of 12 short bursts (200 symbols, noise gaps, own phases and carriers): each is
    one burst of the report, at its place; the differential bits are those of the demodulator's
    own bits() (each burst referenced anew), whatever the read blocks."""
    import bursts

    need(track, "PskDemodulator")
    from ostrel.cli.adapters import DownConverter

    sc = bursts.train(n_bursts=12, n_sym=200, gap_sym=(40, 300), seed=3, esn0_db=25, differential=True)
    raw = tmp_path / "train.cf32"
    sc.x.tofile(raw)
    argv = ["demod", raw, "--fs", "400k", "--mod", "qpsk", "--symbol-rate", "50k", "--differential"]
    r, = results(capsys, *argv, "-o", tmp_path / "a.bits")
    results(capsys, *argv, "-o", tmp_path / "b.bits", "--block", "5003")
    assert r["bursts"] == 12 and r["bursts_unlisted"] == 0 and "warnings" not in r
    for b, start in zip(r["burst_list"], sc.starts):
        # the start is where the demodulator's acquisition window began: at most a window
        # (128 symbols) ahead of the first symbol
        assert -128 * 8 <= b["start_sample"] - start < 40 * 8 and 170 <= b["symbols"] <= 330
        assert b["mer_db"] is None or b["mer_db"] > 15
    with DownConverter(0.0, 1.0, False) as dc:
        y = dc.execute(sc.x).copy()
    own = track.PskDemodulator(m=4, sps=8.0, differential=True).bits(y)
    np.testing.assert_array_equal(np.fromfile(tmp_path / "a.bits", np.uint8), own)
    assert (tmp_path / "b.bits").read_bytes() == (tmp_path / "a.bits").read_bytes()


@pytest.mark.parametrize("scene", ["after_noise", "after_zeros", "spike", "power_step"])
def test_demod_holds_on_bursty_recordings(capsys, tmp_path, scene):
    """The scenes that stopped the old command (a burst after 100,000 noise samples or 2000
    symbols of exact zeros, one NaN in it, a +20 dB step): one burst, all of its symbols, right
    from within 300 symbols of its start, exit status 0."""
    import bursts

    need(track, "PskDemodulator")
    kw = {"after_zeros": dict(gap_sym=2000), "power_step": dict(step_db=20.0)}.get(scene, {})
    sc = getattr(bursts, scene)(seed=5, esn0_db=15, n_sym=2000, **kw)
    raw = tmp_path / "scene.cf32"
    sc.x.tofile(raw)
    bits = tmp_path / "b.bits"
    rc, out, err = run(capsys, "demod", raw, "--fs", "400k", "--mod", "qpsk", "--symbol-rate", "50k", "-o",
                       bits, "--json", "-q")
    r, = json.loads(out)
    assert rc == 0 and r["bursts"] == 1 and r["symbols"] > 0.95 * 2000, err
    rows = bursts.windows(np.fromfile(bits, np.uint8), sc.bits, 4, window=50)
    assert bursts.recovered_at(rows, 0.02, window=50) <= 300


@pytest.mark.parametrize("m, name, fs", [(4, "cplx", 5e5), (2, "cplx", 5e5), (8, "p8", 5e5)])
def test_demod_bits_are_the_demodulators_own(recs, m, name, fs):
    """The command's demapper gives exactly the bits of PskDemodulator.bits() on the same input,
    absolute and differential, across block boundaries."""
    need(track, "PskDemodulator")
    from ostrel.cli.adapters import DownConverter

    x = open_recording(str(recs[name])).read(0, 300_000)
    with DownConverter(100e3 / 1e6, 0.5, False) as dc:
        y = dc.execute(x).copy()
    for diff in (False, True):
        sym = track.PskDemodulator(m=m, sps=fs / 50e3, differential=diff).steps(y)
        assert len(sym) > 1000
        d = Demapper(m, diff)
        mine = np.concatenate([d.bits(d.indices(s)) for s in np.array_split(sym, 7)])
        np.testing.assert_array_equal(mine, track.PskDemodulator(m=m, sps=fs / 50e3, differential=diff).bits(y))


@pytest.mark.parametrize("m, points, indices", [
    # on the decision boundaries the phase in steps is exactly +-0.5 or +-1.5 and ties go
    # towards zero, as in the receivers (QPSK -1 is point 1, not 2); the origin and NaN decide 0
    (2, [1j, -1j, 0, 1, -1, complex(np.nan, 0)], [0, 0, 0, 0, 1, 0]),
    (4, [1, 1j, -1, -1j, 1 + 1j, -1 - 1j, 0, complex(1, np.nan)], [0, 0, 1, 3, 0, 2, 0, 0]),
    (8, [1, -1, 1j, -1j, 0], [0, 4, 2, 6, 0]),
])
def test_demapper_decisions_on_the_boundaries(m, points, indices):
    d = Demapper(m, False)
    assert list(d.indices(np.array(points, np.complex64))) == indices


def test_demapper_streams_across_blocks():
    sym = np.exp(1j * (np.pi / 4 + np.pi / 2 * np.random.default_rng(2).integers(0, 4, 999))).astype(np.complex64)
    for diff in (False, True):
        whole = Demapper(4, diff).bits(Demapper(4, diff).indices(sym))
        d = Demapper(4, diff)
        parts = np.concatenate([d.bits(d.indices(s)) for s in np.array_split(sym, 13)])
        np.testing.assert_array_equal(parts, whole)
    assert list(Demapper(4, False).bits(Demapper(4, False).indices(sym[:1] * 0 + np.exp(3j * np.pi / 4)))) == [1, 0]


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


# --- detect ------------------------------------------------------------------------------------

@pytest.mark.parametrize("name, dwell", [("cplx", 1), ("cplx", 2), ("real", 1)])
def test_detect_finds_every_code_burst_at_its_lag(capsys, recs, tmp_path, name, dwell):
    need(spectral, "CorrDetector")
    out = tmp_path / "d.csv"
    r, = results(capsys, "detect", recs[name], "--dwell", dwell, "-o", out)
    starts = [a["core:sample_start"] for a in annotations(recs[name], "code")]
    assert r["bursts_found"] == r["bursts"] == len(starts) == 3 and r["false_alarms"] == 0
    for d in r["list"]:
        assert any((d["sample"] - s) % 1023 == 0 and d["lag"] == s % 1023 for s in starts)
    assert len(out.read_text().splitlines()) == r["detections"] + 1
    assert r["dumps"] == 500_000 // (1023 * dwell)


def test_detect_many_detections_per_block_are_all_exact(capsys, tmp_path):
    """A code repeated without a gap is detected in every frame: thousands of detections in one
    block, more than the detector returns per push, each at its exact sample."""
    need(spectral, "CorrDetector")
    rng = np.random.default_rng(4)
    n, periods, start = 31, 3000, 7
    code = np.exp(2j * np.pi * rng.random(n)).astype(np.complex64)
    x = 0.05 * (rng.standard_normal(start + n * periods) + 1j * rng.standard_normal(start + n * periods))
    x[start:] += np.tile(code, periods)
    x.astype(np.complex64).tofile(tmp_path / "r.cf32")
    np.save(tmp_path / "code.npy", code)
    out = tmp_path / "d.json"
    r, = results(capsys, "detect", tmp_path / "r.cf32", "--fs", "1M", "--ref", tmp_path / "code.npy",
                 "--threshold", "4", "-o", out)
    found = json.loads(out.read_text())
    assert r["dumps"] == r["detections"] == len(found) == (start + n * periods) // n
    assert [d["sample"] for d in found] == [k * n + start for k in range(len(found))]
    assert r["list"] == found[:len(r["list"])]


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


# --- bad input ---------------------------------------------------------------------------------

def _truncate_data(d):
    with open(d / "x.sigmf-data", "ab") as f:
        f.write(b"\x01\x02\x03")


def _edit_meta(d, fn):
    p = d / "x.sigmf-meta"
    p.write_text(fn(p.read_text()))


def _raw_copy(d):
    shutil.copy(d / "x.sigmf-data", d / "r.bin")


def _flip_byte(path):
    b = bytearray(path.read_bytes())
    b[1000] ^= 1
    path.write_bytes(bytes(b))


def _two_in_archive(d):
    import tarfile

    with tarfile.open(d / "two.sigmf", "w") as tar:
        for name in ("a", "b"):
            for ext in (".sigmf-meta", ".sigmf-data"):
                tar.add(d / f"x{ext}", arcname=f"{name}/{name}{ext}")


DEMOD_X = ["demod", "{rec}", "--mod", "qpsk", "--symbol-rate", "50k"]
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
    "schema violation": (lambda d: _edit_meta(d, lambda s: s.replace('"core:sample_rate": 1000000.0',
                                                                     '"core:sample_rate": "fast"')),
                         ["info", "{rec}"], "invalid SigMF metadata"),
    "data changed": (lambda d: _flip_byte(d / "x.sigmf-data"), ["info", "{rec}", "--verify"],
                     "does not match the metadata's core:sha512"),
    "archive of two": (_two_in_archive, ["info", "{d}/two.sigmf"], "holds 2 recordings"),
    "archive compressed": (lambda d: (d / "c.sigmf").write_bytes(b"\x1f\x8b" + bytes(600)),
                           ["info", "{d}/c.sigmf"], "not an uncompressed SigMF archive"),
    "output exists": (lambda d: (d / "o.csv").write_text("x"), ["spectrum", "{rec}", "--csv", "{d}/o.csv"],
                      "exists (pass --force"),
    "output directory missing": (lambda d: None, ["spectrum", "{rec}", "--csv", "{d}/no/o.csv"],
                                 "does not exist"),
    "missing file": (lambda d: None, ["info", "{d}/nothing.cf32"], "no such file"),
    "raw without fs": (lambda d: shutil.copy(d / "x.sigmf-data", d / "r.cu8"), ["info", "{d}/r.cu8"],
                       "give it with --fs"),
    "raw without format": (_raw_copy, ["info", "{d}/r.bin", "--fs", "1M"], "give --format"),
    "raw bad format": (_raw_copy, ["info", "{d}/r.bin", "--fs", "1M", "--format", "cf16"],
                       "unsupported datatype"),
    "format on sigmf": (lambda d: None, ["info", "{rec}", "--format", "cu8"], "applies to raw files"),
    "several, no stem": (lambda d: None, ["spectrum", "{rec}", "{rec}", "--csv", "{d}/o.csv"],
                         "must contain {stem}"),
    "jobs 0": (lambda d: None, ["info", "{rec}", "--jobs", "0"], "--jobs must be at least 1"),
    "zoom out of band": (lambda d: None, ["spectrum", "{rec}", "--center", "450k", "--span", "200k"],
                         "reaches beyond"),
    "zoom window": (lambda d: None, ["spectrum", "{rec}", "--center", "0", "--span", "100k", "--window",
                                     "blackman-harris"], "hann and kaiser"),
    "carrier out of band": (lambda d: None, DEMOD_X + ["--carrier", "600k"], "outside the recording's band"),
    "too few samples per symbol": (lambda d: None, ["demod", "{rec}", "--mod", "qpsk", "--symbol-rate",
                                                    "600k"], "samples per symbol"),
    "search too wide": (lambda d: None, ["demod", "{rec}", "--mod", "8psk", "--symbol-rate", "200k",
                                         "--search", "60k"], "--search 60000 Hz: the demodulator searches"),
    "roll-off": (lambda d: None, DEMOD_X + ["--rrc", "1.5"], "--rrc must lie between 0 and 1"),
    "squelch": (lambda d: None, DEMOD_X + ["--squelch", "0.5"], "--squelch must lie"),
    "loop bandwidth": (lambda d: None, DEMOD_X + ["--bn-carrier", "0"], "--bn-carrier must lie"),
    "reference missing": (lambda d: None, ["detect", "{rec}", "--ref", "{d}/none.npy"], "no such file"),
    "reference 2-D": (lambda d: np.save(d / "r.npy", np.ones((4, 4))), ["detect", "{rec}", "--ref",
                                                                        "{d}/r.npy"], "1-D numeric array"),
    "reference zeros": (lambda d: np.save(d / "r.npy", np.zeros(64)), ["detect", "{rec}", "--ref",
                                                                       "{d}/r.npy"], "all zeros"),
    "reference too long": (lambda d: np.save(d / "r.npy", np.ones(20_000)), ["detect", "{rec}", "--ref",
                                                                             "{d}/r.npy"], "shorter than"),
    "pfa": (lambda d: None, ["detect", "{rec}", "--pfa", "2"], "--pfa must lie"),
    "ddc rate": (lambda d: None, ["ddc", "{rec}", "--freq", "0", "--rate", "2M", "-o", "{d}/o"],
                 "at most the recording's sample rate"),
    "ddc real output": (lambda d: None, ["ddc", "{rec}", "--freq", "0", "--rate", "10k", "-o", "{d}/o",
                                         "--datatype", "rf32_le"], "complex"),
}


@pytest.mark.parametrize("case", list(BAD))
def test_bad_input_is_one_clear_error(capsys, tmp_path, case):
    assert run(capsys, "synth", tmp_path / "x.sigmf-meta", "--seconds", "0.01")[0] == 0
    spoil, argv, message = BAD[case]
    spoil(tmp_path)
    rc, out, err = run(capsys, *[a.format(d=tmp_path, rec=tmp_path / "x.sigmf-meta") for a in argv])
    assert rc == 1 and message in err and err.startswith("ostrel ") and out == ""


def test_zoom_of_a_real_recording_stays_in_its_band(capsys, recs):
    rc, _, err = run(capsys, "spectrum", recs["real"], "--center", "10k", "--span", "100k")
    assert rc == 1 and "(a real recording)" in err


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
    p = subprocess.run([str(exe), "demod", "--help"], capture_output=True, text=True)
    assert p.returncode == 0 and "--carrier" in p.stdout
    p = subprocess.run([str(exe), "ddc", str(recs["cplx"]), "--freq", "-150k", "--rate", "50k", "-o",
                        str(tmp_path / "c.sigmf-meta"), "-q"], capture_output=True, text=True)
    assert p.returncode == 0 and (tmp_path / "c.sigmf-data").exists(), p.stderr
    p = subprocess.run([sys.executable, "-m", "ostrel", "info", str(tmp_path / "none.sigmf-meta")],
                       capture_output=True, text=True, cwd=tmp_path)
    assert p.returncode == 1 and "no such metadata file" in p.stderr and "Traceback" not in p.stderr


# --- spectrum: SFDR and figures ------------------------------------------------------------------

def _scene(kind: str, fs: float = 1e6, n: int = 1 << 18) -> np.ndarray:
    """Lines on the bins of the whole-band trace (fs/2048 apart) over a -80 dBFS floor: a clean
    FM signal (index 1), a carrier with -13 dBc sidebands and a spur 50 dB down, or noise."""
    t, b = np.arange(n), fs / 2048
    w = lambda k: 2 * np.pi * k * b / fs * t  # noqa: E731
    x = {"fm": 0.5 * np.exp(1j * (w(100) + np.sin(w(20)))),
         "am": 0.5 * np.exp(1j * w(100)) * (1 + 2 * 10 ** (-13 / 20) * np.cos(w(20)))
         + 0.5 * 10 ** (-50 / 20) * np.exp(-1j * w(400)),
         "noise": np.zeros(n)}[kind]
    rng = np.random.default_rng(1)
    return (x + 1e-4 * (rng.standard_normal(n) + 1j * rng.standard_normal(n))).astype(np.complex64)


@pytest.mark.parametrize("kind, sfdr", [
    ("fm", 20 * np.log10(0.7651976866 / 0.0195633540)),  # J0(1) over J3(1): J3 lies outside 99 %
    ("am", 50.0),  # the sidebands are the carrier's own; the spur is not
    ("noise", None),  # no carrier
])
def test_sfdr_is_the_carrier_over_the_strongest_spur_outside_its_band(capsys, tmp_path, kind, sfdr):
    raw = tmp_path / f"{kind}.cf32"
    _scene(kind).tofile(raw)
    r, = results(capsys, "spectrum", raw, "--fs", "1M")
    assert r["sfdr_db"] == (None if sfdr is None else pytest.approx(sfdr, abs=0.1))


def test_zoomed_png_shows_absolute_frequencies_and_a_db_colour_bar(recs, tmp_path, monkeypatch):
    """The figure as drawn: tick labels are whole absolute frequencies (no offset text), the
    colour bar and the level axis say dBFS per RBW, the title has no class names."""
    pytest.importorskip("matplotlib")
    import matplotlib.figure

    figs = []
    save = matplotlib.figure.Figure.savefig
    monkeypatch.setattr(matplotlib.figure.Figure, "savefig",
                        lambda self, *a, **k: (figs.append(self), save(self, *a, **k))[1])
    png = tmp_path / "z.png"
    assert main(["spectrum", str(recs["cplx"]), "--center", "310k", "--span", "20k",
                 "--png", str(png), "-q"]) == 0
    fig, = figs
    fig.canvas.draw()
    a1, a2, bar = fig.axes
    ticks = [float(t.get_text()) for t in a2.get_xticklabels() if t.get_text()]
    assert a2.xaxis.get_offset_text().get_text() == "" and a2.get_xlabel() == "frequency, MHz"
    assert all(434.2195 <= v <= 434.2405 for v in ticks) and len(ticks) >= 4
    assert a1.get_ylabel() == bar.get_ylabel() == "dBFS per 45.5 Hz RBW"
    assert "Specan" not in a1.get_title() and "20 kHz span around 434.23 MHz" in a1.get_title()
    assert png.read_bytes()[:4] == b"\x89PNG"
