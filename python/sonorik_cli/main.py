"""`sonorik analyze | normalize | info`: the everyday jobs of the library from
a shell.

`analyze` and `info` read every format libsndfile reads and measure through
sonorik_meter; `normalize` rewrites them through sonorik_meter.normalize.

Exit status: 0 when every file was handled, 1 when at least one failed (each
failure is one line "sonorik: {path}: {message}" on standard error), 2 for a
usage error. The notices sonorik's normalization writes to file descriptor 1
are discarded, or sent to standard error with --verbose, so that standard
output carries only the command's results.
"""

from __future__ import annotations

import argparse
import contextlib
import csv
import html
import io
import json
import os
import stat
import sys
from collections.abc import Callable, Iterator, Sequence
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from typing import IO, Any, TypeVar

import sonorik
import sonorik_meter
from sonorik_cli import timeline

PROG = "sonorik"

# (Measurement attribute, option, column heading, unit, per-channel attribute)
MEASURES = (
    ("integrated_lufs", "--integrated", "Integrated", "LUFS", "channel_integrated_lufs"),
    ("short_term_max_lufs", "--short-term", "Short-term", "max LUFS", None),
    ("momentary_max_lufs", "--momentary", "Momentary", "max LUFS", None),
    ("loudness_range_lu", "--loudness-range", "Range", "LU", None),
    ("true_peak_dbtp", "--true-peak", "True peak", "dBTP", "channel_true_peak_dbtp"),
    ("sample_peak_dbfs", "--sample-peak", "Sample peak", "dBFS", "channel_sample_peak_dbfs"),
    ("rms_max_dbfs", "--rms-max", "RMS max", "dBFS", "channel_rms_max_dbfs"),
    ("rms_average_dbfs", "--rms-average", "RMS avg", "dBFS", "channel_rms_average_dbfs"),
)
REPORT_FORMATS = ("csv", "tsv", "json", "xml")
# The fields of a report record before the chosen measures.
RECORD_FIELDS = ("file", "channel", "channel_name", "format", "rate_hz", "channels", "duration_s")

# normalize --to NAME -> sonorik_meter.normalize measure
NORMALIZERS = {
    "integrated": "integrated",
    "short-term": "short_term_max",
    "momentary": "momentary_max",
    "true-peak": "true_peak",
    "rms-max": "rms_max",
    "rms-average": "rms_average",
}


# ---- measuring -----------------------------------------------------------------

@dataclass(frozen=True)
class Outcome:
    measurement: sonorik_meter.Measurement | None
    error: str | None = None


def reason(e: BaseException, path: str) -> str:
    """The reason of a failure, without the path that every message line
    already starts with."""
    if isinstance(e, OSError) and e.strerror:
        return e.strerror
    text = str(e) or type(e).__name__
    suffix = f": {path!r}"
    return text[:-len(suffix)] if text.endswith(suffix) else text


def measure_file(path: str) -> Outcome:
    try:
        return Outcome(sonorik_meter.measure(path))
    except Exception as e:  # noqa: BLE001 - every failure is reported per file
        return Outcome(None, reason(e, path))


def measure_all(paths: list[str], jobs: int) -> list[Outcome]:
    """Outcomes in the order of `paths`, measured `jobs` at a time in threads
    (the measurement releases the interpreter lock)."""
    return run_all(paths, jobs, measure_file)


T = TypeVar("T")


def run_all(paths: list[str], jobs: int, work: Callable[[str], T]) -> list[T]:
    """work(path) for every path, in the order of `paths`, `jobs` at a time in
    threads, with a progress bar on a terminal."""
    from tqdm import tqdm  # type: ignore[import-untyped,unused-ignore]

    show = len(paths) > 1 and sys.stderr.isatty()
    with tqdm(total=len(paths), unit="file", file=sys.stderr, disable=not show,
              leave=False, dynamic_ncols=True) as bar:
        def one(path: str) -> T:
            outcome = work(path)
            bar.update(1)
            return outcome
        if jobs <= 1 or len(paths) <= 1:
            return [one(p) for p in paths]
        with ThreadPoolExecutor(max_workers=min(jobs, len(paths))) as pool:
            return list(pool.map(one, paths))


def records(path: str, m: sonorik_meter.Measurement, chosen: Sequence[tuple[Any, ...]],
            per_channel: bool) -> list[dict[str, Any]]:
    """The whole-file record, then one record per channel if asked for. A
    measure not defined per channel is None in a channel record."""
    base = {"file": path, "channel": None, "channel_name": None, "format": m.format,
            "rate_hz": m.rate_hz, "channels": m.channels, "duration_s": m.duration_s}
    out = [{**base, **{name: getattr(m, name) for name, *_ in chosen}}]
    if per_channel:
        for i, channel_name in enumerate(m.channel_map):
            out.append({**base, "channel": i + 1, "channel_name": channel_name,
                        **{name: getattr(m, each)[i] if each else None
                           for name, _, _, _, each in chosen}})
    return out


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
    if value is None:
        return "-"
    return f"{value:.2f}" if value not in (float("inf"), float("-inf")) else str(value)


def _duration(seconds: float) -> str:
    minutes, secs = divmod(seconds, 60.0)
    hours, minutes = divmod(int(minutes), 60)
    return f"{hours:02d}:{minutes:02d}:{secs:06.3f}"


def _report_value(value: Any) -> Any:
    """A record value as reports hold it: None stays None (empty / null),
    infinities become the text "-inf" / "inf"."""
    if isinstance(value, float) and value in (float("inf"), float("-inf")):
        return str(value)
    return value


def _xml_attribute(text: str) -> str:
    """`text` quoted as an XML attribute value, line breaks and tabs kept."""
    escaped = html.escape(text, quote=True)
    return '"' + escaped.replace("\n", "&#10;").replace("\r", "&#13;").replace("\t", "&#9;") + '"'


def report_text(fmt: str, rows: list[dict[str, Any]], header: bool) -> str:
    """Report records: CSV/TSV lines (with the header line if asked for),
    JSON lines, or one XML element per record."""
    if fmt in ("csv", "tsv"):
        buf = io.StringIO()
        writer = csv.writer(buf, delimiter="," if fmt == "csv" else "\t", lineterminator="\n")
        if header and rows:
            writer.writerow(rows[0].keys())
        for row in rows:
            writer.writerow(["" if v is None else _report_value(v) for v in row.values()])
        return buf.getvalue()
    if fmt == "json":
        return "".join(json.dumps({k: _report_value(v) for k, v in row.items()}) + "\n"
                       for row in rows)
    return "".join("<measurement " + " ".join(f"{k}={_xml_attribute(str(_report_value(v)))}"
                                              for k, v in row.items() if v is not None) + "/>\n"
                   for row in rows)


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


def analysis_table(rows: list[dict[str, Any]], chosen: Sequence[tuple[Any, ...]]) -> str:
    headers = [["File", "Duration", "Rate", "Ch", "Format", *(m[2] for m in chosen)],
               ["", "", "Hz", "", "", *(m[3] for m in chosen)]]
    body = []
    for r in rows:
        if r["channel"] is None:
            first = [shown(r["file"]), _duration(r["duration_s"]), str(r["rate_hz"]),
                     str(r["channels"]), r["format"]]
        else:
            first = [f"  {r['channel']}:{r['channel_name']}", "", "", "", ""]
        body.append(first + [_level(r[name]) for name, *_ in chosen])
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


def _extension(name: str) -> str:
    dot = name.rfind(".")
    return name[dot + 1:].lower() if dot > 0 else ""


def _sort_key(path: str) -> list[bytes]:
    """Component by component, as byte strings; a component that is a prefix
    of the other sorts first ("dir/a/x.wav" before "dir/a.wav")."""
    raw = os.fsencode(path)
    parts = [b"/"] if raw.startswith(b"/") else []
    for c in raw.split(b"/"):
        if c and not (c == b"." and parts):
            parts.append(c)
    return parts


def audio_files(root: str) -> list[str]:
    """Every file below the directory `root` whose extension is one the reader
    handles, sorted by path. Directory links are followed, except back into a
    directory on the current path."""
    extensions = set(sonorik_meter.extensions())
    found: list[str] = []

    def scan(directory: str, ancestors: frozenset[tuple[int, int]]) -> None:
        with os.scandir(directory) as listing:
            entries = list(listing)
        for e in entries:
            try:
                st = os.stat(e.path)
            except OSError:
                st = None
            if st is not None and stat.S_ISDIR(st.st_mode):
                if (st.st_dev, st.st_ino) not in ancestors:
                    scan(e.path, ancestors | {(st.st_dev, st.st_ino)})
            elif _extension(e.name) in extensions:
                found.append(e.path)

    st = os.stat(root)
    scan(root, frozenset({(st.st_dev, st.st_ino)}))
    return sorted(found, key=_sort_key)


def expand(paths: Sequence[str]) -> tuple[list[str], int]:
    """The audio files named by `paths` (a file as given, whatever its name;
    directories searched recursively), and the number of paths that could not
    be searched."""
    files: list[str] = []
    failed = 0
    for path in paths:
        try:
            found = audio_files(path) if stat.S_ISDIR(os.stat(path).st_mode) else [path]
        except (OSError, ValueError) as e:
            fail(path, reason(e, path))
            failed += 1
            continue
        if not found:
            fail(path, "no audio files found")
            failed += 1
        files.extend(found)
    return files, failed


def cmd_analyze(args: argparse.Namespace) -> int:
    if args.series:
        return timeline.cmd_series(args)
    chosen = [m for m in MEASURES if getattr(args, m[0])] or list(MEASURES)
    files, failed = expand(args.paths)
    rows: list[dict[str, Any]] = []
    for path, outcome in zip(files, measure_all(files, args.jobs)):
        if outcome.measurement is None:
            fail(path, outcome.error or "failed")
            failed += 1
        else:
            rows.extend(records(path, outcome.measurement, chosen, args.per_channel))
    try:
        if args.format == "table":
            with open_output(args.output) as out:
                out.write(analysis_table(rows, chosen))
        else:
            write_report(args.format, rows, args.output)
    except OSError as e:
        fail(args.output or "-", e.strerror or str(e))
        return 1
    return 1 if failed else 0


def write_report(fmt: str, rows: list[dict[str, Any]], output: str | None) -> None:
    """To standard output, or appended to `output` (its directories created;
    a CSV/TSV header line only in a new or empty file)."""
    if output is None or output == "-":
        sys.stdout.write(report_text(fmt, rows, header=True))
        sys.stdout.flush()
        return
    parent = os.path.dirname(output)
    if parent:
        os.makedirs(parent, exist_ok=True)
    with open(output, "a", encoding="utf-8", newline="") as f:
        f.write(report_text(fmt, rows, header=f.tell() == 0))


# ---- normalize ----------------------------------------------------------------

def normalize_record(r: sonorik_meter.NormalizeReport) -> dict[str, Any]:
    """The report of one normalisation as a flat record (levels in `unit`,
    gains in dB, peaks in dBTP)."""
    return {"file": r.source, "destination": r.destination, "measure": r.measure,
            "unit": r.unit, "target": r.target, "input_level": r.input_level,
            "output_level": r.output_level, "gain_asked_db": r.gain_asked_db,
            "gain_applied_db": r.gain_applied_db, "capped_by": r.capped_by,
            "ceiling_dbtp": r.ceiling_dbtp, "input_true_peak_dbtp": r.input_true_peak_dbtp,
            "output_true_peak_dbtp": r.output_true_peak_dbtp,
            "input_integrated_lufs": r.input_integrated_lufs,
            "output_integrated_lufs": r.output_integrated_lufs,
            "input_format": r.input_format, "output_format": r.output_format,
            "dithered": r.dithered, "written": r.written}


def normalize_line(r: sonorik_meter.NormalizeReport) -> str:
    """One line of text: source, destination, the measure before and after,
    the gain and why it was limited, the true peaks."""
    limit = {"ceiling": f", capped by the {r.ceiling_dbtp:g} dBTP ceiling "
                        f"(asked {r.gain_asked_db:+.2f} dB)",
             "in range": ", in range: left as it was"}.get(r.capped_by or "", "")
    dest = "unchanged" if not r.written else shown(r.destination)
    return (f"{shown(r.source)} -> {dest}: {r.measure} {_level(r.input_level)} -> "
            f"{_level(r.output_level)} {r.unit}, gain {r.gain_applied_db:+.2f} dB{limit}, "
            f"true peak {_level(r.input_true_peak_dbtp)} -> {_level(r.output_true_peak_dbtp)} dBTP")


def normalize_jobs(args: argparse.Namespace) -> list[tuple[str, str]]:
    """(source, destination) pairs: a file to -o or onto itself; every audio
    file of a directory onto itself, or to the same relative path under -o
    (directories created). --audio-format changes the destinations' extension."""
    if not os.path.isdir(args.input):
        return [(args.input, args.output if args.output is not None else args.input)]
    pairs = []
    for path in audio_files(args.input):
        dest = path
        if args.output is not None:
            dest = os.path.join(args.output, os.path.relpath(path, args.input))
        if args.audio_format:
            dest = os.path.splitext(dest)[0] + "." + args.audio_format.lower()
        pairs.append((path, dest))
    return pairs


def cmd_normalize(args: argparse.Namespace) -> int:
    if args.audio_format and args.output is None:
        # The input's own name would no longer match what it holds.
        print(f"{PROG} normalize: --audio-format needs -o", file=sys.stderr)
        return 2
    try:
        pairs = normalize_jobs(args)
    except OSError as e:
        fail(args.input, reason(e, args.input))
        return 1
    if not pairs:
        fail(args.input, "no audio files found")
        return 1
    destinations = dict(pairs)
    low_high = tuple(sorted(args.range)) if args.range else None

    def one(path: str) -> sonorik_meter.NormalizeReport | str:
        try:
            dest = destinations[path]
            parent = os.path.dirname(dest)
            if parent and os.path.isdir(args.input) and args.output is not None:
                os.makedirs(parent, exist_ok=True)
            return sonorik_meter.normalize(path, dest, target=args.target,
                                           measure=NORMALIZERS[args.to], ceiling=args.ceiling,
                                           range=low_high, format=args.audio_format)
        except (OSError, ValueError) as e:
            return reason(e, path)

    failed = 0
    paths = [p for p, _ in pairs]
    for path, outcome in zip(paths, run_all(paths, args.jobs, one)):
        if isinstance(outcome, str):
            fail(path, outcome)
            failed += 1
        elif args.format == "json":
            print(json.dumps({k: _report_value(v) for k, v in normalize_record(outcome).items()}),
                  flush=True)
        else:
            print(normalize_line(outcome), flush=True)
    return 1 if failed else 0


def cmd_info(args: argparse.Namespace) -> int:
    rows = []
    failed = 0
    for path in args.files:
        try:
            info = sonorik_meter.info(path)
        except (OSError, ValueError) as e:
            fail(path, reason(e, path))
            failed += 1
            continue
        rows.append([shown(path), info.format, str(info.rate_hz), str(info.channels),
                     str(info.frames), _duration(info.duration_s), f"{info.duration_s:.3f}",
                     " ".join(info.channel_map)])
    if rows:
        headers = [["File", "Format", "Rate", "Ch", "Frames", "Duration", "Seconds", "Layout"],
                   ["", "", "Hz", "", "", "", "", ""]]
        sys.stdout.write(format_table(headers, rows, [False, False] + [True] * 5 + [False]))
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
measures and units (sonorik_meter, by ITU-R BS.1770-4 and EBU R 128 as written):
  integrated       integrated (programme) loudness over the whole file, LUFS
  short-term       loudest 3 s window (short-term loudness maximum), LUFS
  momentary        loudest 400 ms window (momentary loudness maximum), LUFS
  loudness-range   spread of the short-term loudness (LRA, EBU Tech 3342), LU
  true-peak        highest inter-sample peak, dBTP (dB relative to full scale)
  sample-peak      highest sample, dBFS
  rms-max          loudest 100 ms RMS block, dBFS
  rms-average      RMS of the whole file, dBFS

"-" marks a value the file is too short to define (short-term and range need
3 s, momentary 400 ms); digital silence reads -inf. --per-channel adds one row
per channel (its layout name, e.g. 1:L) with the values defined per channel:
each channel's own integrated loudness, true peak, sample peak and RMS.

Every format libsndfile reads is measured (WAV, RF64, W64, AIFF, CAF, FLAC,
Ogg Vorbis and Opus, MP3, ...); directories are searched recursively for
every extension of those formats, each directory's files sorted by path.
The table and the reports show the same measurement: reports carry every
number at full precision (-inf as the text "-inf", undefined values empty in
CSV/TSV, null in JSON, left out in XML). A report file that exists is appended
to: a CSV/TSV header goes only into a new file. Without --output the report
goes to standard output. Results are in the order of the PATHs, whatever
--jobs is.

examples:
  sonorik analyze song.flac
  sonorik analyze --integrated --true-peak album/ single.wav
  sonorik analyze --per-channel surround.wav
  sonorik analyze --format csv --output loudness.csv archive/
  sonorik analyze --jobs 4 --format json archive/ > loudness.jsonl

exit status: 0 all files analysed, 1 some failed, 2 usage error
"""

NORMALIZE_EPILOG = """\
TARGET is a level in the unit of the chosen measure:
  integrated, short-term, momentary   LUFS (short-term and momentary: their maximum)
  true-peak                           dBTP
  rms-max, rms-average                dBFS

One gain is applied to the whole file, never more than keeps the output's true
peak at or below --ceiling (default -1 dBTP): the report then says "capped".
With --range LOW HIGH a file already inside the range is left as it was. Every
format libsndfile reads is read; the output keeps the input's rate, channels,
channel mask and sample format, in the format of its extension (or
--audio-format; WAV when the extension is not a format), with TPDF dither
when integer samples are requantised. Without -o the input is replaced; either
way the destination is replaced only once the new file is complete, so a
failed write leaves it as it was. A directory INPUT normalises every audio
file in it (onto itself, or to the same relative paths under the directory
-o names), --jobs at a time, with a progress bar on a terminal.

Each file prints one line: the measure before and after, the gain, whether it
was capped, and the true peak before and after (JSON lines with --format
json: file, destination, measure, unit, target, input_level, output_level,
gain_asked_db, gain_applied_db, capped_by, ceiling_dbtp, ...).

examples:
  sonorik normalize --to integrated -16 --ceiling -1 in.flac -o out.flac
  sonorik normalize --to integrated -23 speech.wav -o speech_-23.wav
  sonorik normalize --to true-peak -1 master.wav
  sonorik normalize --to integrated -16 --range -18 -14 podcast.wav
  sonorik normalize --to integrated -14 --jobs 2 --format json album/ -o loud/

exit status: 0 all written, 1 some failed, 2 usage error
"""

INFO_EPILOG = """\
Columns: format (container and encoding, e.g. WAV PCM_24, FLAC PCM_16), sample
rate in Hz, channels, frames (samples per channel) and duration as the file
declares them (hh:mm:ss.sss and seconds), and the channel layout used for
loudness weighting.

examples:
  sonorik info take1.wav take2.flac

exit status: 0 all files read, 1 some failed, 2 usage error
"""


def build_parser() -> argparse.ArgumentParser:
    raw = argparse.RawDescriptionHelpFormatter
    parser = argparse.ArgumentParser(
        prog=PROG, formatter_class=raw,
        description="Loudness (EBU R 128 / ITU-R BS.1770), true peak and RMS of audio files.",
        epilog="Run 'sonorik COMMAND --help' for each command's options and examples.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {sonorik_meter.__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")

    a = commands.add_parser(
        "analyze", formatter_class=raw, epilog=ANALYZE_EPILOG,
        help="measure files and directories (table or report)",
        description="Measure audio files. Directories are searched recursively for every\n"
                    "audio format the reader handles. Without measure options every measure\n"
                    "is taken.")
    a.add_argument("paths", nargs="+", metavar="PATH", help="audio file or directory")
    group = a.add_argument_group("measures (default: all)")
    for name, option, title, unit, _ in MEASURES:
        group.add_argument(option, dest=name, action="store_true",
                           help=f"{title.lower()} ({unit.split()[-1]})")
    a.add_argument("--per-channel", action="store_true",
                   help="add a row for each channel with its own values")
    a.add_argument("--format", choices=("table", *REPORT_FORMATS), default="table",
                   help="aligned table (default) or a csv, tsv, json or xml report")
    a.add_argument("-o", "--output", metavar="FILE",
                   help="write to FILE instead of standard output (reports are appended)")
    a.add_argument("-j", "--jobs", type=_jobs, default=default_jobs(), metavar="N",
                   help="measure N files at once (default: one per core, %(default)s here)")
    a.add_argument("-v", "--verbose", action="store_true",
                   help="accepted for older scripts (the measurement writes no notices)")
    timeline.add_series_option(a)
    a.set_defaults(run=cmd_analyze)

    n = commands.add_parser(
        "normalize", formatter_class=raw, epilog=NORMALIZE_EPILOG,
        help="apply one gain so that a measure reaches a target level, never clipping",
        description="Rewrite audio files so that one measure reaches TARGET, with one gain\n"
                    "capped by a true-peak ceiling.")
    n.add_argument("--to", required=True, choices=tuple(NORMALIZERS), help="measure to normalize")
    n.add_argument("target", type=_level_arg, metavar="TARGET", help="target level (see below)")
    n.add_argument("input", metavar="INPUT", help="audio file or directory to read")
    n.add_argument("--ceiling", type=_level_arg, default=-1.0, metavar="DBTP",
                   help="highest true peak of the output, dBTP (default: %(default)s)")
    n.add_argument("--range", type=_level_arg, nargs=2, metavar=("LOW", "HIGH"),
                   help="leave files whose level is already between LOW and HIGH as they are")
    n.add_argument("-o", "--output", metavar="OUTPUT",
                   help="file (or, for a directory INPUT, directory) to write; default: replace INPUT")
    n.add_argument("--audio-format", metavar="FMT",
                   help="output format (wav, flac, aiff, caf, w64, rf64, ogg, opus, mp3, ...)")
    n.add_argument("--format", choices=("text", "json"), default="text",
                   help="one line of text (default) or one JSON object per file")
    n.add_argument("-j", "--jobs", type=_jobs, default=default_jobs(), metavar="N",
                   help="normalize N files at once (default: one per core, %(default)s here)")
    n.add_argument("-v", "--verbose", action="store_true",
                   help="accepted for older scripts (normalisation writes no notices)")
    n.set_defaults(run=cmd_normalize)

    i = commands.add_parser(
        "info", formatter_class=raw, epilog=INFO_EPILOG, help="show file information",
        description="Show the format, length and channel layout of audio files.")
    i.add_argument("files", nargs="+", metavar="FILE", help="audio file")
    i.set_defaults(run=cmd_info)

    timeline.add_plot_command(commands)
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
