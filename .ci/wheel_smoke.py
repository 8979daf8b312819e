"""Smoke test of an installed ostrel wheel, run from outside the source tree: each extension
module does one real job, the bundled FFTW is the one loaded, the licence files are there, and
the command synthesises a recording and demodulates it."""

import json
import pathlib
import subprocess
import sys
import sysconfig
from importlib import metadata

import numpy as np

import ostrel
from ostrel import analyzer, spectral, telemetry, track
from ostrel.demo.receiver import psk_signal

site = pathlib.Path(sysconfig.get_paths()["platlib"])
assert pathlib.Path(ostrel.__file__).is_relative_to(site), ostrel.__file__

# spectral: an FFT against NumPy, a PSD peak.
x = (np.exp(2j * np.pi * 0.1 * np.arange(4096)) + 0.01).astype(np.complex64)
np.testing.assert_allclose(spectral.FFT(n=4096).execute_cf32(x), np.fft.fft(x), rtol=0, atol=2e-2)
psd = spectral.PSD(n=1024, fs=1.0, window="blackman-harris")
psd.accumulate(x)
assert abs(int(np.argmax(psd.psd_db())) - (512 + round(0.1 * 1024))) <= 1

# track: a QPSK receiver recovers the bits of a synthesised burst.
y, sent = psk_signal(3000, m=4, sps=7.3, esn0_db=12, offset=1e-3, clock_ppm=50)
rx = track.MpskReceiver(m=4, sps=7.3, pulse="rrc", rrc_span=4, bn_carrier=0.02)
rx.steps(y)
assert rx.locked and abs(rx.norm_freq - 1e-3) < 1e-4, (rx.locked, rx.norm_freq)

# analyzer: a span around the tone.
sa = analyzer.Specan(fs=1.0, center=0.1, span=0.05, rbw=0.001)
frames = sa.execute(np.tile(x, 64))
assert frames.size > 0 and np.all(np.isfinite(frames)), frames.shape

# telemetry: a ring attached to a loop receives probes.
with telemetry.Telemetry(1 << 12) as tlm:
    loop = track.Costas(tsamps=8, bn=0.02)
    loop.set_telemetry(tlm, "c")
    loop.steps(y[:4096])
    assert len(tlm.demux(tlm.read())["c.freq"]) == 512
    loop.set_telemetry(None, "c")

# The FFT library inside the wheel is the one the modules load.
maps = pathlib.Path("/proc/self/maps").read_text()
fftw = {line.split()[-1] for line in maps.splitlines() if "libfftw3" in line}
assert fftw and all("ostrel.libs" in p for p in fftw), fftw

# Licence files and the GPL statement in the metadata.
dist = metadata.distribution("ostrel")
names = {pathlib.PurePath(f).name for f in dist.files or ()}
assert {"LICENSE", "GPL-2.0-or-later.txt", "FFTW-NOTICE.txt"} <= names, sorted(names)
assert "GPL-2.0-or-later" in (dist.metadata.get("License-Expression") or ""), dist.metadata

# The command: synthesise a recording, demodulate its QPSK burst against the truth.
exe = pathlib.Path(sys.executable).with_name("ostrel")
subprocess.run([exe, "synth", "--seconds", "0.2", "-q", "rec.sigmf-meta"], check=True)
res = subprocess.run([exe, "demod", "--mod", "qpsk", "--symbol-rate", "50k", "--carrier", "100k",
                      "--json", "-q", "rec.sigmf-meta"], check=True, capture_output=True, text=True)
report = json.loads(res.stdout)[0]
assert report["bits_compared"] > 10000 and report["ber"] < 1e-3, report
print(f"demod: {report['bits_compared']} bits against the truth, BER {report['ber']:.1e}")
print("wheel smoke test passed:", ostrel.__file__)
