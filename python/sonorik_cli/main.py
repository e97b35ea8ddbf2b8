"""`sonorik analyze | normalize | info`: the everyday jobs of the library from
a shell.

Exit status: 0 when every file was handled, 1 when at least one failed (each
failure is one line "sonorik: {path}: {message}" on standard error), 2 for a
usage error. The library's own notices (written straight to file descriptor 1
by the analysis) are discarded, or sent to standard error with --verbose, so
that standard output carries only the command's results.
"""

from __future__ import annotations

import argparse
import contextlib
import multiprocessing
import os
import sys
import tempfile
from collections.abc import Iterator, Sequence
from concurrent.futures import ProcessPoolExecutor, as_completed
from dataclasses import dataclass
from typing import IO, Any, Union

import sonorik

PROG = "sonorik"

# (analyze_audio keyword, option, column heading, unit), in the library's order.
MEASURES = (
    ("integrated_loudness", "--integrated", "Integrated", "LUFS"),
    ("short_term_loudness", "--short-term", "Short-term", "max LUFS"),
    ("momentary_loudness", "--momentary", "Momentary", "max LUFS"),
    ("loudness_range", "--loudness-range", "Range", "LU"),
    ("true_peak", "--true-peak", "True peak", "dBTP"),
    ("rms_max", "--rms-max", "RMS max", "dB"),
    ("rms_average", "--rms-average", "RMS avg", "dB"),
)
REPORT_FORMATS = ("csv", "tsv", "json", "xml")

# normalize --to NAME -> (library function, unit of TARGET)
NORMALIZERS = {
    "integrated": ("normalize_integrated_loudness", "LUFS"),
    "short-term": ("normalize_short_term_loudness", "LUFS"),
    "momentary": ("normalize_momentary_loudness", "LUFS"),
    "true-peak": ("normalize_true_peak", "dBTP"),
    "rms-max": ("normalize_rms_max", "dB"),
    "rms-average": ("normalize_rms_average", "dB"),
}


# ---- work done per file (in this process or in a worker) -------------------

@dataclass(frozen=True)
class Job:
    path: str
    flags: tuple[bool, ...]  # the seven measure flags, in MEASURES order
    report: str | None       # a REPORT_FORMATS member, or None for the table


# A row of the table (a dict) or the bytes of one report record.
Value = Union[dict[str, Any], bytes]


@dataclass(frozen=True)
class Outcome:
    value: Value | None
    error: str | None = None


def run_job(job: Job) -> Outcome:
    try:
        return Outcome(_report_record(job) if job.report else _table_row(job))
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as e:  # noqa: BLE001 - includes the library's FatalCallError
        return Outcome(None, str(e) or type(e).__name__)


def _table_row(job: Job) -> dict[str, Any]:
    info, results = sonorik.analyze_audio(job.path, *job.flags)
    row: dict[str, Any] = {
        "path": job.path,
        "duration": info.duration_formatted,
        "sample_rate": info.sample_rate,
        "channels": info.channels,
        "sample_format": info.sample_format,
    }
    for name, *_ in MEASURES:
        row[name] = getattr(results, name)
    return row


def _export(fmt: str, paths: list[str], output: str, flags: tuple[bool, ...]) -> None:
    getattr(sonorik, f"export_to_{fmt}")(paths, output, *flags)


def _report_record(job: Job) -> bytes:
    """The record the export function writes for this one file, without the
    CSV/TSV header line."""
    assert job.report is not None
    with tempfile.TemporaryDirectory(prefix="sonorik-") as tmp:
        out = os.path.join(tmp, "report")
        _export(job.report, [job.path], out, job.flags)
        with open(out, "rb") as f:
            data = f.read()
    if job.report in ("csv", "tsv"):
        data = data.split(b"\n", 1)[1]
    return data


def report_header(fmt: str, flags: tuple[bool, ...]) -> bytes:
    """What the export function writes into a new report before any record."""
    with tempfile.TemporaryDirectory(prefix="sonorik-") as tmp:
        out = os.path.join(tmp, "report")
        _export(fmt, [], out, flags)
        try:
            with open(out, "rb") as f:
                return f.read()
        except FileNotFoundError:
            return b""


@contextlib.contextmanager
def library_notices(verbose: bool) -> Iterator[None]:
    """Routes what the library writes to descriptor 1 to standard error
    (verbose) or nowhere, restoring descriptor 1 afterwards."""
    sys.stdout.flush()
    saved = os.dup(1)
    target = os.dup(2) if verbose else os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(target, 1)
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)
        os.close(target)


def _init_worker(verbose: bool) -> None:
    # A worker never prints results, so its descriptor 1 is redirected for good.
    target = 2 if verbose else os.open(os.devnull, os.O_WRONLY)
    os.dup2(target, 1)


def run_jobs(jobs: list[Job], workers: int, verbose: bool) -> list[Outcome]:
    """Outcomes in the order of `jobs`. Files are spread over `workers`
    processes started afresh (spawn: the library's thread pool does not survive
    a fork), or handled here when one worker is enough."""
    from tqdm import tqdm  # type: ignore[import-untyped,unused-ignore]

    show = len(jobs) > 1 and sys.stderr.isatty()
    with tqdm(total=len(jobs), unit="file", file=sys.stderr, disable=not show,
              leave=False, dynamic_ncols=True) as bar:
        if workers <= 1 or len(jobs) <= 1:
            outcomes = []
            with library_notices(verbose):
                for job in jobs:
                    outcomes.append(run_job(job))
                    bar.update(1)
            return outcomes
        context = multiprocessing.get_context("spawn")
        with ProcessPoolExecutor(max_workers=min(workers, len(jobs)), mp_context=context,
                                 initializer=_init_worker, initargs=(verbose,)) as pool:
            futures = [pool.submit(run_job, job) for job in jobs]
            try:
                for _ in as_completed(futures):
                    bar.update(1)
            except KeyboardInterrupt:
                pool.shutdown(wait=False, cancel_futures=True)
                raise
        return [_outcome_of(f) for f in futures]


def _outcome_of(future: Any) -> Outcome:
    try:
        result: Outcome = future.result()
        return result
    except Exception as e:  # a worker that died (BrokenProcessPool)
        return Outcome(None, f"worker process failed: {e}")


# ---- output ------------------------------------------------------------------

def shown(text: str) -> str:
    """`text` with control and other unprintable characters escaped, so that a
    file name cannot break a line of the table or drive the terminal."""
    if text.isprintable():
        return text
    return "".join(c if c.isprintable() else c.encode("unicode_escape").decode("ascii")
                   for c in text)


def fail(path: str, message: str) -> None:
    print(f"{PROG}: {shown(path)}: {shown(message)}", file=sys.stderr, flush=True)


def _level(value: float | None) -> str:
    return "-" if value is None else f"{value:.2f}"


def format_table(headers: Sequence[Sequence[str]], rows: Sequence[Sequence[str]],
                 right: Sequence[bool]) -> str:
    """Columns two spaces apart, each as wide as its widest cell; the header
    rows come first."""
    lines = [*headers, *rows]
    widths = [max(len(cells[i]) for cells in lines) for i in range(len(right))]
    out = []
    for cells in lines:
        parts = [c.rjust(w) if r else c.ljust(w) for c, w, r in zip(cells, widths, right)]
        out.append("  ".join(parts).rstrip())
    return "\n".join(out) + "\n"


def analysis_table(rows: list[dict[str, Any]], flags: tuple[bool, ...]) -> str:
    chosen = [m for m, on in zip(MEASURES, flags) if on]
    headers = [["File", "Duration", "Rate", "Ch", "Format", *(m[2] for m in chosen)],
               ["", "", "Hz", "", "", *(m[3] for m in chosen)]]
    body = [[shown(r["path"]), r["duration"], str(r["sample_rate"]), str(r["channels"]),
             r["sample_format"], *(_level(r[name]) for name, *_ in chosen)] for r in rows]
    return format_table(headers, body, [False, True, True, True, False] + [True] * len(chosen))


@contextlib.contextmanager
def open_output(path: str | None, binary: bool = False) -> Iterator[IO[Any]]:
    if path is None or path == "-":
        yield sys.stdout.buffer if binary else sys.stdout
    else:
        with open(path, "ab" if binary else "w", encoding=None if binary else "utf-8") as f:
            yield f


# ---- commands ----------------------------------------------------------------

def default_jobs() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count() or 1


def expand(paths: Sequence[str]) -> tuple[list[str], int]:
    """The audio files named by `paths` (directories searched recursively),
    and the number of paths that could not be searched."""
    files: list[str] = []
    failed = 0
    for path in paths:
        try:
            found = sonorik.find_audio_files(path)
        except OSError as e:
            fail(path, str(e))
            failed += 1
            continue
        if not found:
            fail(path, "no audio files found")
            failed += 1
        files.extend(found)
    return files, failed


def cmd_analyze(args: argparse.Namespace) -> int:
    flags = tuple(bool(getattr(args, name)) for name, *_ in MEASURES)
    if not any(flags):
        flags = (True,) * len(MEASURES)
    report = None if args.format == "table" else args.format
    files, failed = expand(args.paths)
    outcomes = run_jobs([Job(p, flags, report) for p in files], args.jobs, args.verbose)
    for path, outcome in zip(files, outcomes):
        if outcome.error is not None:
            fail(path, outcome.error)
            failed += 1
    done = [o.value for o in outcomes if o.error is None]

    try:
        if report is None:
            rows = [v for v in done if isinstance(v, dict)]
            with open_output(args.output) as out:
                out.write(analysis_table(rows, flags))
        else:
            records = b"".join(v for v in done if isinstance(v, bytes))
            write_report(report, flags, records, args.output)
    except OSError as e:
        fail(args.output or "-", e.strerror or str(e))
        return 1
    return 1 if failed else 0


def write_report(fmt: str, flags: tuple[bool, ...], records: bytes, output: str | None) -> None:
    if output is None or output == "-":
        sys.stdout.flush()
        sys.stdout.buffer.write(report_header(fmt, flags) + records)
        sys.stdout.buffer.flush()
        return
    # The export function creates missing directories and, for a new CSV or
    # TSV report, its header line; the records are then appended in order.
    _export(fmt, [], output, flags)
    if records:
        with open(output, "ab") as f:
            f.write(records)


def cmd_normalize(args: argparse.Namespace) -> int:
    function, _ = NORMALIZERS[args.to]
    output = args.output if args.output is not None else args.input
    try:
        with library_notices(args.verbose):
            getattr(sonorik, function)(args.input, args.target, args.output, args.range)
    except (OSError, RuntimeError) as e:
        fail(args.input, str(e))
        return 1
    print(f"wrote {shown(output)}")
    return 0


def cmd_info(args: argparse.Namespace) -> int:
    rows = []
    failed = 0
    for path in args.files:
        try:
            info = sonorik.get_audio_info_py(path)
        except OSError as e:
            fail(path, str(e))
            failed += 1
            continue
        rows.append([shown(path), info.sample_format, str(info.bit_depth), str(info.sample_rate),
                     str(info.channels), str(info.total_samples), info.duration_formatted,
                     f"{info.duration_seconds:.3f}"])
    if rows:
        headers = [["File", "Format", "Bits", "Rate", "Ch", "Samples", "Duration", "Seconds"],
                   ["", "", "", "Hz", "", "", "", ""]]
        sys.stdout.write(format_table(headers, rows, [False, False] + [True] * 6))
    return 1 if failed else 0


# ---- argument parsing ----------------------------------------------------------

def _jobs(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1 (got {value})")
    return value


def _level_arg(text: str) -> float:
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a level: {text!r}") from None


ANALYZE_EPILOG = """\
measures and units:
  integrated       integrated (programme) loudness over the whole file, LUFS
  short-term       loudest 3 s window (short-term loudness maximum), LUFS
  momentary        loudest 400 ms window (momentary loudness maximum), LUFS
  loudness-range   spread of the short-term loudness (LRA), LU
  true-peak        highest inter-sample peak, dBTP (dB relative to full scale)
  rms-max          loudest RMS window, dB relative to full scale
  rms-average      RMS of the whole file, dB relative to full scale

The table is measured by analyze_audio (the WAV fast path). The reports are
written by the export_to_* functions, which decode each file and measure it
with the general analyzer, so their values can differ from the table's
(true peak and RMS maximum in particular; the table's RMS maximum is over
100 ms blocks, the reports' over 50 ms windows). A report file that exists is
appended to: a CSV/TSV header goes only into a new file. Without --output the
report goes to standard output. Results are in the order of the PATHs, each
directory's files sorted by path, whatever --jobs is.

examples:
  sonorik analyze song.wav
  sonorik analyze --integrated --true-peak album/ single.wav
  sonorik analyze --format csv --output loudness.csv archive/
  sonorik analyze --jobs 4 --format json archive/ > loudness.jsonl

exit status: 0 all files analysed, 1 some failed, 2 usage error
"""

NORMALIZE_EPILOG = """\
TARGET is a level in the unit of the chosen measure:
  integrated, short-term, momentary   LUFS
  true-peak                           dBTP
  rms-max, rms-average                dB relative to full scale

One gain is applied to the whole file. With --range BOUND the target is the
range between TARGET and BOUND: a file already inside it is written unchanged,
one outside is brought to the nearer edge. Without -o the input file is
replaced; either way the destination is replaced only once the new file is
complete, so a failed write leaves it as it was.

examples:
  sonorik normalize --to integrated -23 speech.wav -o speech_-23.wav
  sonorik normalize --to true-peak -1 master.wav
  sonorik normalize --to integrated -16 --range -18 podcast.wav

exit status: 0 written, 1 failed, 2 usage error
"""

INFO_EPILOG = """\
Columns: sample format (U8, I16, I24, I32, F32, F64), bits per sample, sample
rate in Hz, channels, samples, duration as hh:mm:ss.sss and in seconds. Audio
shorter than 0.1 s is described as loaded, that is repeated to 0.1 s.

examples:
  sonorik info take1.wav take2.wav

exit status: 0 all files read, 1 some failed, 2 usage error
"""


def build_parser() -> argparse.ArgumentParser:
    raw = argparse.RawDescriptionHelpFormatter
    parser = argparse.ArgumentParser(
        prog=PROG, formatter_class=raw,
        description="Loudness (EBU R 128 / ITU-R BS.1770), true peak and RMS of WAV files.",
        epilog="Run 'sonorik COMMAND --help' for each command's options and examples.")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")

    a = commands.add_parser(
        "analyze", formatter_class=raw, epilog=ANALYZE_EPILOG,
        help="measure files and directories (table or report)",
        description="Measure audio files. Directories are searched recursively for .wav,\n"
                    ".aif and .aiff files. Without measure options every measure is taken.")
    a.add_argument("paths", nargs="+", metavar="PATH", help="audio file or directory")
    group = a.add_argument_group("measures (default: all)")
    for name, option, title, unit in MEASURES:
        group.add_argument(option, dest=name, action="store_true",
                           help=f"{name.replace('_', ' ')} ({unit.split()[-1]})")
    a.add_argument("--format", choices=("table", *REPORT_FORMATS), default="table",
                   help="aligned table (default) or a report written by the export functions")
    a.add_argument("-o", "--output", metavar="FILE",
                   help="write to FILE instead of standard output (reports are appended)")
    a.add_argument("-j", "--jobs", type=_jobs, default=default_jobs(), metavar="N",
                   help="analyse in N worker processes (default: one per core, %(default)s here)")
    a.add_argument("-v", "--verbose", action="store_true",
                   help="show the analyzer's notices on standard error")
    a.set_defaults(run=cmd_analyze)

    n = commands.add_parser(
        "normalize", formatter_class=raw, epilog=NORMALIZE_EPILOG,
        help="apply one gain so that a measure reaches a target level",
        description="Rewrite a WAV file so that one measure reaches TARGET.")
    n.add_argument("--to", required=True, choices=tuple(NORMALIZERS), help="measure to normalize")
    n.add_argument("target", type=_level_arg, metavar="TARGET", help="target level (see below)")
    n.add_argument("input", metavar="INPUT", help="WAV file to read")
    n.add_argument("--range", type=_level_arg, metavar="BOUND",
                   help="second edge of a target range, same unit as TARGET")
    n.add_argument("-o", "--output", metavar="OUTPUT",
                   help="file to write (default: replace INPUT)")
    n.add_argument("-v", "--verbose", action="store_true",
                   help="show the analyzer's notices on standard error")
    n.set_defaults(run=cmd_normalize)

    i = commands.add_parser(
        "info", formatter_class=raw, epilog=INFO_EPILOG, help="show file information",
        description="Show the format and duration of WAV files.")
    i.add_argument("files", nargs="+", metavar="FILE", help="audio file")
    i.set_defaults(run=cmd_info)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.command is None:
        parser.print_help(sys.stderr)
        return 2
    try:
        status: int = args.run(args)
        return status
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        # The reader went away (`sonorik analyze dir | head`): not an error of ours.
        with contextlib.suppress(OSError):
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0


if __name__ == "__main__":
    sys.exit(main())
