"""The ``ostrel`` command: spectrum, demodulation, detection and down-conversion of recordings
and live sources, and recording of live sources.

``main(argv)`` is the console script (also ``python -m ostrel``). Each subcommand lives in its
own module of this package and exposes ``add_arguments(parser)``, ``run(...)`` and, for the
commands that process recordings, the columns of its result table.
"""

from __future__ import annotations

import argparse
import importlib
import re
import sys
import traceback
import warnings

from .common import UserError, check_writable, render_single, render_table, to_json

PROG = "ostrel"
EXIT_NOTHING = 3  # the command ran but produced nothing trustworthy

DESCRIPTION = """\
Spectrum, demodulation and detection on I/Q recordings, streamed block by block through a
memory map (constant memory for files of any size), with a progress bar on stderr.

Recordings are SigMF (NAME.sigmf-meta + NAME.sigmf-data, or an uncompressed NAME.sigmf
archive; datatypes cf32_le, cf64_le, ci16_le, ci8, cu8 and their real rf/ri/ru forms) or raw
I/Q files, which need --fs and --format (unless the extension says: .cf32, .cs16, .cu8 ...).
Frequencies are offsets from the recording's centre frequency, in Hz, with optional SI
suffixes: 100k, -2.5M. A negative value may follow its option (--carrier -150k) or be
attached to it (--carrier=-150k).

Live sources take the place of a recording: - (raw samples on standard input), rtltcp://HOST
[:PORT], udp://[HOST]:PORT, zmq+tcp://HOST:PORT, zmq+ipc://PATH, soapy:ARGS. --seconds or
--samples bound a live run; the first Ctrl-C ends it with complete outputs, a second aborts."""

EPILOG = """\
start here:
  ostrel synth demo.sigmf-meta                 # a recording with known content
  ostrel info demo                             # what is in it
  ostrel spectrum demo --png demo-spectrum.png # calibrated spectrum, peaks, waterfall
  ostrel demod demo --mod qpsk --symbol-rate 50k --carrier 100k --rrc 0.35 -o demo.bits
  ostrel detect demo --ref demo.code.npy       # correlation detections of a known code
  ostrel ddc demo --freq 100k --rate 200k -o chan.sigmf-meta
  ostrel demod chan --mod qpsk --symbol-rate 50k --rrc 0.35   # the channel at DC
  ostrel record rtltcp://127.0.0.1 --rf 433.92M --fs 2.4M --seconds 10 -o ism.sigmf-meta
  ostrel spectrum udp://:2000 --fs 4M --udp-seq               # a live spectrum until Ctrl-C
  ostrel monitor rtltcp://127.0.0.1 --rf 433.92M --fs 2.4M --log ism.csv --events ism.jsonl
  ostrel serve demo --loop     # live spectrum and waterfall on http://127.0.0.1:8073/

many recordings: every command but synth, record, monitor and serve takes several; --jobs N
runs them in N processes (a local Dask cluster, the [dask] extra), --scheduler HOST:PORT on an
existing Dask cluster. 'ostrel COMMAND --help' tells more. Exit status: 0 success, 1 bad input or a failed file,
2 bad command line, 3 no trustworthy result (demod: no signal demodulated), 130 aborted
(Ctrl-C; twice on a live source)."""

COMMANDS = {
    "synth": "write a recording of known content (tones, PSK bursts, a spread code in noise)",
    "info": "sample rate, centre frequency, datatype, length, captures and annotations",
    "spectrum": "calibrated spectrum: average and max-hold traces, measurements, waterfall",
    "demod": "demodulate BPSK/QPSK/8PSK bursts to bits, with a per-burst report (BER vs truth)",
    "detect": "correlation detector: detections of a known code with lag and test statistic",
    "ddc": "down-convert and resample one channel into a new SigMF recording",
    "record": "record a live source (radio, network stream, pipe) into a SigMF recording",
    "monitor": "watch a band: occupancy log (rtl_power CSV), signal events (JSON Lines), snips",
    "serve": "live spectrum and waterfall of a recording or live source in the browser",
}
LIVE_BOUNDED = {"spectrum", "demod", "detect", "ddc", "record", "monitor", "serve"}  # take --seconds


class Formatter(argparse.RawDescriptionHelpFormatter):
    def __init__(self, prog):
        super().__init__(prog, max_help_position=30)


class Parser(argparse.ArgumentParser):
    """A usage error is one line naming the command, and where to read more (not the usage
    block, which buries the error); exit status 2."""

    def error(self, message):
        self.exit(2, f"{self.prog}: error: {message} (see '{self.prog} --help')\n")


def finite_options(p: argparse.ArgumentParser) -> None:
    """Every plain-number option of ``p`` refuses NaN and infinities."""
    from .common import finite_float

    for action in p._actions:
        if action.type is float:
            action.type = finite_float


def command_module(name: str):
    return importlib.import_module(f"ostrel.cli.{name}")


def _add_common(p: argparse.ArgumentParser, recordings: bool) -> None:
    g = p.add_argument_group("output and behaviour")
    g.add_argument("-q", "--quiet", action="store_true", help="no progress bar")
    g.add_argument("--json", action="store_true", help="print the results as JSON on stdout")
    g.add_argument("--force", action="store_true", help="overwrite existing output files")
    g.add_argument("--debug", action="store_true", help="show the traceback of an internal error")
    if not recordings:
        return
    from .common import hz_arg, positive_hz_arg

    r = p.add_argument_group("input (raw files, or overriding the metadata)")
    r.add_argument("--fs", type=positive_hz_arg, metavar="HZ", help="sample rate, Hz (required for raw files)")
    r.add_argument("--format", metavar="DATATYPE",
                   help="sample type of a raw file: cf32_le, cf64_le, ci16_le, ci8, cu8, rf32_le ...")
    r.add_argument("--rf", type=hz_arg, metavar="HZ", help="centre frequency of a raw file, Hz (display only)")
    r.add_argument("--allow-partial", action="store_true",
                   help="read a data file that ends inside a sample, ignoring the trailing bytes")
    r.add_argument("--block", type=int, default=1 << 20, help=argparse.SUPPRESS)
    j = p.add_argument_group("many recordings (Dask)")
    j.add_argument("--jobs", type=int, default=1, metavar="N",
                   help="process the recordings in N parallel processes (local Dask cluster)")
    j.add_argument("--scheduler", metavar="ADDRESS",
                   help="send the work to an existing Dask scheduler (e.g. tcp://host:8786); "
                        "the recordings must be readable at the same paths on the workers")


def build_parser() -> argparse.ArgumentParser:
    ap = Parser(prog=PROG, description=DESCRIPTION, epilog=EPILOG, formatter_class=Formatter)
    from ostrel import __version__

    ap.add_argument("--version", action="version", version=f"ostrel {__version__}")
    sub = ap.add_subparsers(dest="command", metavar="COMMAND", title="commands")
    for name, summary in COMMANDS.items():
        mod = command_module(name)
        p = sub.add_parser(name, help=summary, description=mod.__doc__.replace("``", ""),
                           epilog=getattr(mod, "EXAMPLES", None), formatter_class=Formatter)
        if name == "record":
            p.add_argument("recordings", nargs=1, metavar="SOURCE",
                           help="a live source: -, rtltcp://HOST[:PORT], udp://[HOST]:PORT, "
                                "zmq+tcp://HOST:PORT, zmq+ipc://PATH, soapy:ARGS")
        elif name == "serve":
            p.add_argument("recordings", nargs=1, metavar="SOURCE",
                           help="a recording (paced at its real rate) or a live source")
        elif name == "monitor":
            p.add_argument("recordings", nargs=1, metavar="SOURCE",
                           help="a recording (NAME.sigmf-meta, a raw file) or a live source: -, "
                                "rtltcp://HOST[:PORT], udp://[HOST]:PORT, zmq+tcp://HOST:PORT, "
                                "zmq+ipc://PATH, soapy:ARGS")
        elif name != "synth":
            p.add_argument("recordings", nargs="+", metavar="REC",
                           help="recordings: NAME.sigmf-meta (or NAME, NAME.sigmf-data, NAME.sigmf) "
                                "or raw files; or one live source: - (standard input), "
                                "rtltcp://HOST[:PORT], udp://[HOST]:PORT, zmq+tcp://HOST:PORT, "
                                "zmq+ipc://PATH, soapy:ARGS")
        mod.add_arguments(p)
        _add_common(p, name != "synth")
        if name != "synth":
            from .live import add_live_arguments

            add_live_arguments(p, bounds=name in LIVE_BOUNDED)
        finite_options(p)
    return ap


# --- running one recording ---------------------------------------------------------------------

def process(name: str, args: argparse.Namespace, path: str, progress: bool) -> dict:
    """Run command ``name`` on one recording; a user error becomes the result's "error"."""
    from .live import check_live_options, is_live
    from .recording import Source, open_recording

    mod = command_module(name)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            if is_live(path):
                return _process_live(mod, args, path, progress)
            check_live_options(args, False)
            if getattr(mod, "LIVE_ONLY", False):
                raise UserError(f"{path}: {name} reads a live source (-, rtltcp://, udp://, "
                                "zmq+tcp://, zmq+ipc://, soapy:)")
            src = Source(fs=args.fs, format=args.format, rf=args.rf, allow_partial=args.allow_partial)
            with open_recording(path, src) as rec:
                if rec.n_samples == 0 and not getattr(mod, "ACCEPTS_EMPTY", False):
                    raise UserError("the recording holds no samples")
                r = mod.run(rec, args, progress)
        return {"file": path, **r}
    except UserError as e:
        return {"file": path, "error": str(e)}
    except OSError as e:
        return {"file": path, "error": f"{e.strerror or e}" + (f": {e.filename}" if e.filename else "")}
    except MemoryError:
        return {"file": path, "error": "out of memory"}


def _process_live(mod, args, path: str, progress: bool) -> dict:
    """Run a command on a live source: bounded by --seconds/--samples, ended by the stream or
    the first Ctrl-C; the report carries what was received, dropped and lost."""
    from .live import live_interrupts, open_live

    rec = open_live(path, args)
    with rec, live_interrupts(rec):
        r = mod.run(rec, args, progress)
    live = rec.report()
    out = {"file": path, **r, "received": live["received"], "dropped": live["dropped"],
           "lost": live["lost"], "ended": live["ended"], "live": live}
    if rec.failure:
        out["error"] = (f"{rec.failure} (after {rec.n_samples:,} samples; the outputs hold what "
                        "was received)")
    return out


def _process_quiet(name: str, args: argparse.Namespace, path: str) -> dict:
    """Worker-side entry (no progress bars in worker processes)."""
    return process(name, args, path, False)


def run_parallel(name: str, args: argparse.Namespace, paths: list[str]) -> list[dict]:
    """One task per recording on a Dask cluster (local with --jobs, or --scheduler's); results
    come back in the order of ``paths``."""
    try:
        from dask.distributed import Client, LocalCluster, as_completed
    except ImportError:
        raise UserError("--jobs and --scheduler need Dask, the [dask] extra: "
                        "pip install 'ostrel[dask]'") from None
    from .common import progress_bar

    cluster = None
    try:
        if args.scheduler:
            try:
                client = Client(args.scheduler, timeout="10s")
            except (OSError, TimeoutError, ValueError) as e:
                raise UserError(f"cannot reach the Dask scheduler at {args.scheduler}: {e}") from None
        else:
            cluster = LocalCluster(n_workers=args.jobs, threads_per_worker=1, processes=True,
                                   dashboard_address=None, silence_logs=50)
            client = Client(cluster)
        with client:
            futures = {client.submit(_process_quiet, name, args, p, pure=False): i
                       for i, p in enumerate(paths)}
            results: list = [None] * len(paths)
            with progress_bar(len(paths), name, not args.quiet, unit="file") as bar:
                for fut in as_completed(futures):
                    i = futures[fut]
                    try:
                        results[i] = fut.result()
                    except Exception as e:  # a worker died or the task could not run
                        results[i] = {"file": paths[i], "error": f"task failed: {e}"}
                    bar.update(1)
            return results
    finally:
        if cluster is not None:
            cluster.close()


def run_recordings(name: str, args: argparse.Namespace) -> int:
    mod = command_module(name)
    paths = list(args.recordings)
    several = len(paths) > 1
    if args.jobs < 1:
        raise UserError("--jobs must be at least 1")
    from .live import LIVE_COLUMNS, is_live

    live = any(is_live(p) for p in paths)
    if live and several:
        raise UserError("a live source must be the only input of a run")
    if live and (args.jobs > 1 or args.scheduler):
        raise UserError("--jobs and --scheduler apply to recordings, not to a live source")
    columns = mod.COLUMNS + LIVE_COLUMNS if live and name != "info" else mod.COLUMNS
    if hasattr(mod, "prepare"):
        mod.prepare(args)
    seen = set()
    for p in paths:  # refuse existing outputs before any work starts
        for out in mod.outputs(args, p, several) if hasattr(mod, "outputs") else []:
            if out in seen:
                raise UserError(f"two recordings would write {out}: give outputs with {{stem}}")
            seen.add(out)
            check_writable(out, args.force)
    if args.jobs > 1 or args.scheduler:
        results = run_parallel(name, args, paths)
    else:
        results = [process(name, args, p, not args.quiet) for p in paths]
    failed = [r for r in results if r.get("error")]
    if args.json:
        print(to_json(results))
    elif not several and failed:
        pass
    elif not several:
        print(render_single(columns, results[0], getattr(mod, "details", None)))
    else:
        print(render_table(mod.COLUMNS, results))
    for r in failed:
        print(f"{PROG} {name}: error: {r['file']}: {r['error']}" if several or args.json
              else f"{PROG} {name}: error: {r['error']}", file=sys.stderr)
    # A result that carries warnings produced nothing trustworthy (demod: no signal
    # demodulated, or output that cannot be the signal's): status 3 unless a file failed.
    warned = [r for r in results if r.get("warnings")]
    for r in warned:
        for w in r["warnings"]:
            print(f"{PROG} {name}: warning: {r['file']}: {w}" if several or args.json
                  else f"{PROG} {name}: warning: {w}", file=sys.stderr)
    return 1 if failed else EXIT_NOTHING if warned else 0


NEGATIVE = re.compile(r"^-\.?\d")  # -150k, -1.5e5, -.5: a value, never an option here


def attach_negative_values(parser: argparse.ArgumentParser, argv: list[str]) -> list[str]:
    """``--carrier -150k`` as ``--carrier=-150k``: argparse takes a token that starts with '-'
    for an option unless it is a plain number, so frequencies with SI suffixes or exponents
    would not reach their option. No option of this command starts with '-' and a digit, so
    such a token after an option that takes a value is always that value."""
    takes_value = set()
    parsers = [parser]
    while parsers:
        p = parsers.pop()
        for action in p._actions:
            if isinstance(action, argparse._SubParsersAction):
                parsers.extend(action.choices.values())
            elif action.option_strings and action.nargs is None and not action.const:
                takes_value.update(action.option_strings)
    out: list[str] = []
    i = 0
    while i < len(argv):
        a = argv[i]
        if a == "--":
            out.extend(argv[i:])
            break
        if a in takes_value and i + 1 < len(argv) and NEGATIVE.match(argv[i + 1]):
            out.append(f"{a}={argv[i + 1]}")
            i += 2
            continue
        out.append(a)
        i += 1
    return out


def main(argv: list[str] | None = None) -> int:
    """Console entry point; returns the exit status (0 success, 1 input error, 2 usage, 3 no
    trustworthy result, 130 aborted)."""
    # File names that the output encoding cannot show (bytes that are not UTF-8) are printed
    # escaped instead of failing the command.
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.reconfigure(errors="backslashreplace")
        except (AttributeError, ValueError, OSError):
            pass
    parser = build_parser()
    argv = sys.argv[1:] if argv is None else list(argv)
    if not argv:
        parser.print_help()
        return 2
    try:
        args = parser.parse_args(attach_negative_values(parser, argv))
    except SystemExit as e:  # --help, --version, usage errors
        return int(e.code or 0) if not isinstance(e.code, str) else 2
    name = args.command
    try:
        if name == "synth":
            r = command_module("synth").run(args)
            if args.json:
                print(to_json([r]))
            else:
                print(f"wrote {r['file']} and {r['data']}: {r['samples']:,} {r['datatype']} samples "
                      f"({r['seconds']:g} s at {r['fs']:g} Hz), {r['annotations']} annotations; "
                      f"spread-code reference {r['code']}")
            return 0
        if name == "serve":
            return command_module("serve").main(args)
        return run_recordings(name, args)
    except UserError as e:
        print(f"{PROG} {name}: error: {e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(f"{PROG} {name}: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:  # e.g. piped into head
        return 0
    except OSError as e:
        print(f"{PROG} {name}: error: {e.strerror or e}" + (f": {e.filename}" if e.filename else ""),
              file=sys.stderr)
        return 1
    except Exception as e:
        if getattr(args, "debug", False):
            traceback.print_exc()
        else:
            print(f"{PROG} {name}: internal error: {type(e).__name__}: {e} (rerun with --debug for "
                  "the traceback, and please report it)", file=sys.stderr)
        return 70
