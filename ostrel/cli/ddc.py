"""``ostrel ddc``: down-convert one channel of a recording into a new SigMF recording.

The channel at --freq (offset from the recording's centre) is mixed to DC and resampled to
--rate by the toolkit's digital down-converter (local oscillator, halfbands and a polyphase
resampler). Large ratios run as 4:1 halfband stages followed by the converter for the rest, so
levels stay flat across the new band (to about 0.01 dB; a single converter would start with an
uncompensated CIC from 8:1 on, several dB of droop towards the band edges). Real recordings
first pass a 2:1 real-to-complex halfband and come out as the analytic signal: a real tone of
amplitude a becomes a complex tone of amplitude a, so a full-scale real sine stays at full
scale. The output's metadata is consistent with its samples: sample rate, centre frequency
(the recording's centre + --freq), and the annotations that overlap the new band, their sample
positions scaled to the new rate and their frequency offsets moved to the new centre."""

from __future__ import annotations

import math

from . import recording as recmod
from .adapters import flat_converter
from .common import UserError, fint, fmt_hz, output_path, stem_of, fyes
from .live import input_progress

EXAMPLES = """\
examples:
  ostrel ddc demo --freq 100k --rate 200k -o chan.sigmf-meta
  ostrel ddc demo --freq -150k --rate 100k --datatype ci16_le -o bpsk.sigmf-meta
  ostrel ddc day*.sigmf-meta --freq 25k --rate 50k -o 'chan/{stem}-25k.sigmf-meta' --jobs 4"""

# Annotation fields (written by synth) that are frequency offsets or sample positions/lengths.
FREQ_KEYS = ("ostrel:freq_offset_hz", "ostrel:nominal_freq_offset_hz")
SAMPLE_KEYS = ("ostrel:first_symbol_sample", "ostrel:samples_per_symbol")


def add_arguments(p) -> None:
    from .common import hz_arg, positive_hz_arg

    g = p.add_argument_group("channel")
    g.add_argument("--freq", type=hz_arg, required=True, metavar="F", help="channel centre, Hz offset from the "
                                                              "recording's centre")
    g.add_argument("--rate", type=positive_hz_arg, required=True, metavar="R", help="output sample rate, Hz")
    g.add_argument("-o", "--output", required=True, metavar="OUT.sigmf-meta",
                   help="output recording ({stem} is replaced by the input's name)")
    g.add_argument("--datatype", default="cf32_le",
                   help="output sample type: cf32_le (default), cf64_le, ci16_le, ci8, cu8")


def prepare(args) -> None:
    fmt = recmod.parse_datatype(args.datatype)
    if not fmt.complex:
        raise UserError("--datatype: the down-converted channel is complex (cf32_le, ci16_le, ...)")


def outputs(args, path: str, several: bool) -> list:
    meta, data = recmod.meta_and_data_paths(str(output_path(args.output, path, several, "-o")))
    return [meta, data]


def run(rec, args, progress: bool) -> dict:
    fmt = recmod.parse_datatype(args.datatype)
    real = not rec.fmt.complex
    ratio = args.rate / rec.fs
    limit = 0.5 if real else 1.0
    if not ratio <= limit or (real and ratio == 0.5):
        raise UserError(f"--rate {args.rate:g} Hz: the output rate must be "
                        + ("below half the sample rate of a real recording" if real
                           else "at most the recording's sample rate") + f" ({rec.fs:g} Hz)")
    lo_edge = 0.0 if real else -rec.fs / 2
    if not lo_edge <= args.freq <= rec.fs / 2:
        raise UserError(f"--freq {args.freq:g} Hz lies outside the recording's band "
                        f"({fmt_hz(lo_edge)} .. {fmt_hz(rec.fs / 2)})")
    meta_path, data_path = outputs(args, rec.path, len(args.recordings) > 1)
    n_out = 0
    with flat_converter(args.freq / rec.fs, ratio, real) as dc, \
            recmod.RecordingWriter(meta_path, data_path) as w:
        rate = dc.rate  # as realised (both converters report the output over input rate)
        fs_out = rec.fs * rate
        center = (rec.center if rec.center_known else 0.0) + args.freq
        g = {k: v for k, v in rec.global_info.items()
             if k in ("core:author", "core:hw", "core:license", "ostrel:noise_dbfs")}
        g.update({"core:datatype": fmt.name, "core:sample_rate": fs_out,
                  "core:description": f"ostrel ddc of {stem_of(rec.path)}: {fmt_hz(args.freq)} "
                                      f"offset to DC, {fmt_hz(rec.fs)} -> {fmt_hz(fs_out)}",
                  "core:recorder": "ostrel ddc"})
        anns = translate_annotations(rec.annotations, rate, args.freq, center, fs_out,
                                     rec.center_known)
        w.describe(g, [{"core:sample_start": 0, "core:frequency": center}], anns)
        w.expect(math.ceil(rec.n_samples * rate) * fmt.sample_bytes)
        with input_progress(rec, progress) as bar:
            for x in rec.blocks(args.block, progress=bar):
                y = dc.execute(x)
                w.write(recmod.encode(y, fmt))
                n_out += len(y)
        clipped = dc.clipped
    return {"output": str(meta_path), "fs_out": fs_out, "center_hz": center, "samples_out": n_out,
            "annotations": len(anns), "clipped": clipped}


def translate_annotations(anns: list, rate: float, shift: float, center: float, fs_out: float,
                          absolute: bool) -> list:
    """Annotations overlapping the new band, moved to its sample rate and centre frequency."""
    out = []
    lo_band, hi_band = center - fs_out / 2, center + fs_out / 2
    for a in anns:
        lo, hi = a.get("core:freq_lower_edge"), a.get("core:freq_upper_edge")
        if absolute and lo is not None and hi is not None and (hi < lo_band or lo > hi_band):
            continue
        b = dict(a)
        start = a.get("core:sample_start", 0)
        b["core:sample_start"] = int(math.floor(start * rate))
        if "core:sample_count" in a:
            b["core:sample_count"] = max(1, int(math.ceil(a["core:sample_count"] * rate)))
        for k in FREQ_KEYS:
            if k in b:
                b[k] = b[k] - shift
        for k in SAMPLE_KEYS:
            if k in b:
                b[k] = b[k] * rate
        if not absolute and lo is not None and hi is not None:
            b.pop("core:freq_lower_edge"), b.pop("core:freq_upper_edge")
        out.append(b)
    return out


COLUMNS = [("output", "output", str), ("fs_out", "sample rate", fmt_hz), ("center_hz", "centre", fmt_hz),
           ("samples_out", "samples", fint), ("annotations", "annotations", str),
           ("clipped", "clipped", fyes)]
