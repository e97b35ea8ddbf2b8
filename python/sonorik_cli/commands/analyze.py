"""`sonorik analyze`: one measurement per file, as a table or a report."""

from __future__ import annotations

import argparse
import contextlib
import sys
from collections.abc import Iterator, Sequence
from typing import IO, Any

import sonorik_meter

from sonorik_cli import album, reports, terminal
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
Ogg Vorbis and Opus, MP3, ...); directories are searched recursively for
every extension of those formats, each directory's files sorted by path.
The table and the reports show the same measurement: reports carry every
number at full precision (-inf as the text "-inf", undefined values empty in
CSV/TSV, null in JSON, left out in XML). A report file that exists is appended
to: a CSV/TSV header goes only into a new file. Without --output the report
goes to standard output. Results are in the order of the PATHs, whatever
--jobs is.

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

exit status: 0 all files analysed, 1 some failed, 2 usage error
"""


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
    a.add_argument("--format", choices=("table", *reports.FORMATS), default="table",
                   help="aligned table (default) or a csv, tsv, json or xml report")
    a.add_argument("-o", "--output", metavar="FILE",
                   help="write to FILE instead of standard output (reports are appended)")
    album.add_album_option(a)
    add_jobs_option(a, "measure")
    a.set_defaults(run=run)
    return a


def run(args: argparse.Namespace) -> int:
    chosen = [m for m in MEASURES if getattr(args, m[0])] or list(MEASURES)
    rows: list[reports.Record] = []
    failed = 0
    for directory, files, not_found in album.groups(args.paths, args.album):
        failed += not_found
        measured = []
        for path, outcome in zip(files, run_all(files, args.jobs, _measure)):
            if isinstance(outcome, str):
                terminal.fail(path, outcome)
                failed += 1
            else:
                rows.extend(records(path, outcome, chosen, args.per_channel))
                measured.append(outcome)
        if directory is not None and files:
            row = album.album_record(directory, measured, len(files), chosen)
            failed += row is None
            rows.extend([row] if row else [])
    try:
        if args.format == "table":
            with _open_output(args.output) as out:
                out.write(table(rows, chosen))
        else:
            reports.write_report(args.format, rows, args.output)
    except OSError as e:
        terminal.fail(args.output or "-", e.strerror or str(e))
        return 1
    return 1 if failed else 0


def _measure(path: str) -> sonorik_meter.Measurement | str:
    """The measurement of the file at `path`, or the reason it failed."""
    try:
        return sonorik_meter.measure(path)
    except Exception as e:  # noqa: BLE001 - every failure is reported per file
        return terminal.reason(e, path)


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


def table(rows: list[reports.Record], chosen: Sequence[Measure]) -> str:
    """The records as an aligned table: a row per file (and per channel)."""
    headers = [["File", "Duration", "Rate", "Ch", "Format", *(m[2] for m in chosen)],
               ["", "", "Hz", "", "", *(m[3] for m in chosen)]]
    body = []
    for r in rows:
        if r["channel"] is None:
            first = [terminal.shown(r["file"]), terminal.duration(r["duration_s"]),
                     str(r["rate_hz"] or ""), str(r["channels"] or ""), r["format"]]
        else:
            first = [f"  {r['channel']}:{r['channel_name']}", "", "", "", ""]
        body.append(first + [terminal.level(r[name]) for name, *_ in chosen])
    return terminal.table(headers, body, [False, True, True, True, False] + [True] * len(chosen))


@contextlib.contextmanager
def _open_output(path: str | None) -> Iterator[IO[str]]:
    """Standard output (None or "-"), or the file `path`, replaced."""
    if path is None or path == "-":
        yield sys.stdout
    else:
        with open(path, "w", encoding="utf-8") as f:
            yield f
