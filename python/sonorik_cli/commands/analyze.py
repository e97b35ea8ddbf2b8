"""`sonorik analyze`: one measurement per file, as a table or a report."""

from __future__ import annotations

import argparse
import functools
import importlib
import sys
from collections.abc import Sequence
from typing import Any

import sonorik_meter

from sonorik_cli import album, reports, terminal
from sonorik_cli.files import Found, add_stream_option, expand, report_failure
from sonorik_cli.jobs import add_jobs_option, run_all

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
Measure = tuple[str, str, str, str, str | None]
# The fields of every record, before the chosen measures.
BASE_COLUMNS = ("file", "channel", "channel_name", "format", "rate_hz", "channels", "duration_s")

EPILOG = """\
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
Ogg Vorbis and Opus, MP3, ...), and the audio of video and AAC containers
(MP4, M4A, MOV, MKV, WebM, MPEG-TS, AAC, AC-3, ...) through PyAV (pip install
"sonorik[video]"; without it such files fail, naming the extra); --stream N
picks their audio stream. Directories are searched recursively for every
extension of those formats, each directory's files sorted by path.
The table and the reports show the same measurement: reports carry every
number at full precision (-inf as the text "-inf", undefined values empty in
CSV/TSV, null in JSON, left out in XML). Without --output the report goes to
standard output. Results are in the order of the PATHs, whatever --jobs is.

--output FILE writes a new file, or replaces (atomically, through a
temporary file) one that holds a report of the same format and columns, or
nothing; --append adds the new records to it instead. Any other existing
file (audio, another report) is refused and left as it is. File names are
written exactly; what a format cannot hold is escaped (a byte that is not
UTF-8 as \\xNN in CSV, TSV, XML and the table, \\udcNN in JSON; a control
character as \\xNN in XML). --safe-csv puts a ' before a CSV/TSV cell that
begins with = + - @ tab, carriage return or ', so spreadsheets do not run it.

A file of a searched directory with a media extension sonorik does not read
(.wv, .ape, .mpc, ...) is reported as skipped; a file of a
format it reads that is damaged or cannot be opened is a failure. Ctrl-C (SIGINT) or SIGTERM stops the run: no report
is written.

--album treats each directory PATH as one album: after its files comes a row
of format "album" with the integrated loudness and loudness range of the
files' gating blocks and short-term readings pooled (as if played one after
the other, in path order) and their largest true peak and sample peak; the
other measures, and rate and channels that differ between files, are left
undefined. A directory with a file that fails gets no album row.

examples:
  sonorik analyze song.flac
  sonorik analyze --integrated --true-peak album/ single.wav
  sonorik analyze --per-channel surround.wav
  sonorik analyze --album --format csv records/first records/second
  sonorik analyze --format csv --output loudness.csv archive/
  sonorik analyze --jobs 4 --format json archive/ > loudness.jsonl
  sonorik analyze --format parquet -o loudness.parquet archive/
  sonorik analyze --scheduler tcp://scheduler:8786 --format parquet -o out.parquet /mnt/archive

--format parquet writes the records as one Parquet table (needs pyarrow: pip
install "sonorik[tables]"); --output FILE is required, --append is refused.
--scheduler ADDRESS measures on that Dask cluster (sonorik_meter.measure_many
with a dask.distributed Client: pip install "sonorik[scale-out]"); each worker
needs sonorik installed and the files at the same paths (a shared file system).

""" + terminal.status_epilog()


def add_parser(commands: Any) -> argparse.ArgumentParser:
    a: argparse.ArgumentParser = commands.add_parser(
        "analyze", formatter_class=argparse.RawDescriptionHelpFormatter, epilog=EPILOG,
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
    a.add_argument("--format", choices=("table", *reports.FORMATS, "parquet"), default="table",
                   help="aligned table (default), a csv, tsv, json or xml report, or a "
                        "Parquet table (needs pyarrow and --output)")
    a.add_argument("-o", "--output", metavar="FILE",
                   help="write to FILE instead of standard output (a new file, or a report of "
                        "the same format and columns, replaced)")
    a.add_argument("--append", action="store_true",
                   help="add the records to the report FILE holds (same format and columns)")
    a.add_argument("--safe-csv", action="store_true",
                   help="defuse CSV/TSV text cells a spreadsheet would run as a formula")
    album.add_album_option(a)
    add_stream_option(a)
    add_jobs_option(a, "measure")
    a.add_argument("--scheduler", metavar="ADDRESS",
                   help="measure on the Dask cluster at ADDRESS (tcp://HOST:8786); the "
                        "workers need the files at the same paths")
    a.set_defaults(run=run)
    return a


def run(args: argparse.Namespace) -> int:
    chosen = [m for m in MEASURES if getattr(args, m[0])] or list(MEASURES)
    columns = [*BASE_COLUMNS, *(m[0] for m in chosen)]
    if (problem := output_problem(args, columns, table_headings(chosen)[0])) is not None:
        return problem
    rows: list[reports.Record] = []
    found = Found()
    try:
        cluster = _Cluster(args.scheduler) if args.scheduler else None
    except (OSError, TimeoutError) as e:
        terminal.fail(args.scheduler, f"cannot reach the Dask scheduler: {e}")
        return terminal.FAILED
    for directory, paths in album.groups(args.paths, args.album):
        part = expand(paths)
        measured = []
        measure = functools.partial(_measure, stream=args.stream)
        outcomes = (cluster.measure(part.files, args.stream) if cluster else
                    run_all(part.files, args.jobs, measure))
        for path, outcome in zip(part.files, outcomes):
            if isinstance(outcome, BaseException):
                report_failure(path, outcome, part)
            else:
                rows.extend(records(path, outcome, chosen, args.per_channel))
                measured.append(outcome)
        if directory is not None and part.files:
            row = album.album_record(directory, measured, len(part.files), chosen)
            part.failed += row is None
            rows.extend([row] if row else [])
        found.failed, found.skipped = found.failed + part.failed, found.skipped + part.skipped
    if cluster:
        cluster.close()

    def write() -> None:
        if args.format == "parquet":
            reports.write_parquet(rows, args.output, columns, TEXT_COLUMNS)
        elif args.format == "table":
            write_table(table(rows, chosen), args.output, table_headings(chosen)[0])
        else:
            reports.write_report(args.format, rows, args.output, columns=columns,
                                 append=args.append, safe_csv=args.safe_csv)

    if not reports.attempt(write, args.output):
        return terminal.FAILED
    if args.output not in (None, "-"):
        args.finished.append(args.output)
    return terminal.status(found.failed, found.skipped)


def output_problem(args: argparse.Namespace, columns: list[str], headings: list[str]) -> int | None:
    """The exit status when the options or the --output file forbid the run
    (said on standard error), None when it may go on: checked before any
    file is measured, and again when the report is written."""
    if args.append and (args.format == "table" or args.output in (None, "-")):
        return terminal.usage_error("analyze", "--append needs --output FILE and a report "
                                               "--format (csv, tsv, json or xml)")
    if args.safe_csv and args.format not in ("csv", "tsv"):
        return terminal.usage_error("analyze", "--safe-csv applies to --format csv and tsv")
    if (problem := _scale_out_problem(args)) is not None:
        return problem

    def check() -> None:
        if args.format == "parquet":
            reports.check_parquet_output(columns, args.output)
        elif args.format != "table":
            reports.check_output(args.format, columns, args.output)
        elif args.output not in (None, "-"):
            _check_table(reports.existing_text(args.output), args.output, headings)

    return None if reports.attempt(check, args.output) else terminal.FAILED


def _measure(path: str, stream: int | None = None) -> sonorik_meter.Measurement | Exception:
    """The measurement of the file at `path` (its audio stream `stream`), or
    why it failed."""
    try:
        return sonorik_meter.measure(path, stream=stream)
    except Exception as e:  # noqa: BLE001 - every failure is reported per file
        return e


def records(path: str, m: sonorik_meter.Measurement, chosen: Sequence[Measure],
            per_channel: bool) -> list[reports.Record]:
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


def table_headings(chosen: Sequence[Measure]) -> list[list[str]]:
    """The table's two heading rows."""
    return [["File", "Duration", "Rate", "Ch", "Format", *(m[2] for m in chosen)],
            ["", "", "Hz", "", "", *(m[3] for m in chosen)]]


def table(rows: list[reports.Record], chosen: Sequence[Measure]) -> str:
    """The records as an aligned table: a row per file (and per channel)."""
    body = []
    for r in rows:
        if r["channel"] is None:
            first = [terminal.shown(r["file"]), terminal.duration(r["duration_s"]),
                     str(r["rate_hz"] or ""), str(r["channels"] or ""), r["format"]]
        else:
            first = [f"  {r['channel']}:{r['channel_name']}", "", "", "", ""]
        body.append(first + [terminal.level(r[name]) for name, *_ in chosen])
    return terminal.table(table_headings(chosen), body,
                          [False, True, True, True, False] + [True] * len(chosen))


def _check_table(text: str, output: str, headings: list[str]) -> None:
    """Raises Refused unless `text` (the file `output`) is empty or starts
    with the table's first heading row."""
    if text and text.split("\n", 1)[0].split() != " ".join(headings).split():
        raise reports.Refused(output, "exists and is not a table of these columns: left as it "
                                      "is (choose another --output)")


def write_table(text: str, output: str | None, headings: list[str]) -> None:
    """The table to standard output (None or "-"), or to the file `output`:
    a new one, or one that held a table of the same columns, replaced."""
    if output is None or output == "-":
        sys.stdout.write(text)
        sys.stdout.flush()
        return

    def new_text(old: str) -> str:
        _check_table(old, output, headings)
        return text

    reports.commit(output, new_text)


# ---- Parquet and a Dask cluster ------------------------------------------------------

TEXT_COLUMNS = ("file", "channel_name", "format")


def _scale_out_problem(args: argparse.Namespace) -> int | None:
    """The exit status when --format parquet or --scheduler cannot be used
    (said on standard error), None when they can."""
    if args.format == "parquet":
        if args.append:
            return terminal.usage_error("analyze", "--append does not apply to --format parquet")
        try:
            reports.parquet_module()
        except ImportError as e:
            return terminal.usage_error("analyze", str(e))
    if args.scheduler:
        if args.album:
            return terminal.usage_error("analyze", "--album is measured on this machine: "
                                                   "leave out --scheduler")
        try:
            importlib.import_module("dask.distributed")
            importlib.import_module("pyarrow")
        except ImportError:
            return terminal.usage_error("analyze", '--scheduler needs dask.distributed and '
                                                   'pyarrow: pip install "sonorik[scale-out,tables]"')
    return None


class _Measured:
    """A row of sonorik_meter.measure_many read as a Measurement."""

    def __init__(self, row: dict[str, Any]) -> None:
        self.__dict__.update(row)


class _Cluster:
    """The Dask cluster at a scheduler address, measuring lists of files."""

    def __init__(self, address: str) -> None:
        Client = importlib.import_module("dask.distributed").Client
        self.client = Client(address)

    def measure(self, files: list[str], stream: int | None) -> list[Any]:
        """A Measurement-like row or the exception for each file, in order."""
        if not files:
            return []
        table = sonorik_meter.measure_many(files, stream=stream, client=self.client)
        out: list[Any] = []
        for row in table.to_pylist():
            error = row.pop("error")
            if error is None:
                row["channel_map"] = tuple(row["channel_map"])
                out.append(_Measured(row))
            else:
                out.append(OSError(error.split(": ", 1)[-1]))
        return out

    def close(self) -> None:
        self.client.close()

