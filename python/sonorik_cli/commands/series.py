"""`sonorik analyze --series`: loudness over time as a report, one record per
100 ms step of each file (file, time_s, momentary_lufs, short_term_lufs,
true_peak_dbtp), measured through sonorik_meter with series=True."""

from __future__ import annotations

import argparse
import math

import sonorik_meter

from sonorik_cli import reports, terminal
from sonorik_cli.files import expand, report_failure

FORMATS = ("csv", "tsv", "json")


def add_options(analyze: argparse.ArgumentParser) -> None:
    """Adds --series to the analyze command's parser; main runs this module
    instead of analyze when it is given."""
    analyze.add_argument(
        "--series", action="store_true",
        help="report loudness over time instead: one record per 100 ms step (file, time_s, "
             "momentary_lufs, short_term_lufs, true_peak_dbtp) in a csv, tsv or json report")


COLUMNS = ("file", "time_s", "momentary_lufs", "short_term_lufs", "true_peak_dbtp")


def run(args: argparse.Namespace) -> int:
    if args.format not in FORMATS:
        return terminal.usage_error("analyze", "--series writes a csv, tsv or json report: add "
                                               "--format csv or --format json")
    if args.append and args.output in (None, "-"):
        return terminal.usage_error("analyze", "--append needs --output FILE")
    if args.safe_csv and args.format not in ("csv", "tsv"):
        return terminal.usage_error("analyze", "--safe-csv applies to --format csv and tsv")
    if not reports.attempt(lambda: reports.check_output(args.format, COLUMNS, args.output),
                           args.output):
        return terminal.FAILED
    found = expand(args.paths)
    rows: list[reports.Record] = []
    for path in found.files:
        try:
            m = sonorik_meter.measure(path, series=True, stream=args.stream)
        except Exception as e:  # noqa: BLE001 - every failure is reported per file
            report_failure(path, e, found)
            continue
        rows.extend(records(path, m))
    if not reports.attempt(lambda: reports.write_report(
            args.format, rows, args.output, columns=COLUMNS, append=args.append,
            safe_csv=args.safe_csv), args.output):
        return terminal.FAILED
    if args.output not in (None, "-"):
        args.finished.append(args.output)
    return terminal.status(found.failed, found.skipped)


def _reading(value: float) -> float | None:
    """A step's reading, or None for a step without one: NaN (the window is
    not yet full) and -inf (digital silence) are both gaps in the series, so
    that spreadsheets and pandas read every column as numbers."""
    return value if math.isfinite(value) else None


def records(path: str, m: sonorik_meter.Measurement) -> list[reports.Record]:
    """One record per step of a measurement taken with series=True."""
    t, mom, st, tp = (m.series_time_s, m.series_momentary_lufs, m.series_short_term_lufs,
                      m.series_true_peak_dbtp)
    assert t is not None and mom is not None and st is not None and tp is not None
    return [{"file": path, "time_s": float(a), "momentary_lufs": _reading(float(b)),
             "short_term_lufs": _reading(float(c)), "true_peak_dbtp": _reading(float(d))}
            for a, b, c, d in zip(t, mom, st, tp)]
