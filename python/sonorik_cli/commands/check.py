"""`sonorik check`: each file held against a delivery preset (EBU R 128,
ATSC A/85, ...) or a platform's playback level, with a verdict and an exit
status a script or CI job can act on; reports as text, JSON, CSV or JUnit
XML, an HTML QC report, and --fix to normalise the files that fail."""

from __future__ import annotations

import argparse
import datetime
import os
import time
from dataclasses import dataclass
from typing import Any

import sonorik_meter

from sonorik_cli import qc_report, reports, terminal
from sonorik_cli.files import Found, expand, identity
from sonorik_cli.jobs import add_jobs_option, run_all

NOT_CHECKED = 2  # a file or path could not be measured, a fix not written, an output refused
COLUMNS = ("file", "preset", "verdict", "integrated_lufs", "true_peak_dbtp", "short_term_max_lufs",
           "momentary_max_lufs", "loudness_range_lu", "platform_gain_db", "failed", "reasons",
           "fixed_file", "fixed_verdict", "error")

EPILOG = """\
Each file gets one line: PASS, or FAIL followed by one line per criterion it
missed (the measured value, the limit and by how much it was missed), or
ERROR when it cannot be measured (the reason on standard error). Limits are
inclusive and compared at full precision: -22.5 LUFS passes -23 +-0.5 LU.
--list-presets shows the shipped presets with their source documents.

A delivery preset passes or fails on each of its limits: integrated loudness
within its tolerance, true peak, short-term and momentary maximum at most
their limits (a file too short to define a limited value fails it). A
platform preset (spotify, youtube, apple-music) is a playback level, not a
delivery limit: the line gives the gain the platform would apply and the
file fails only when its true peak after that gain would pass the ceiling.

--preset-file FILE takes a preset of your own, JSON or TOML (TOML needs
Python 3.11), with the fields of the shipped ones:
  {"title": "Our station", "kind": "delivery", "source": "house rules",
   "integrated_lufs": -23, "tolerance_lu": 1, "true_peak_max_dbtp": -2,
   "short_term_max_lufs": -18, "momentary_max_lufs": -15}
kind is "delivery" (default) or "platform" (then integrated_lufs is its
playback level and "turns_up": true says it raises quiet audio).

--format json or csv writes one record per file (file, preset, verdict,
the measured values, failed criteria and reasons); junit writes JUnit XML,
one test case per file (a failure per failed file, an error per file that
cannot be measured) for CI systems. --report FILE writes the report there
(replacing only a report of the same kind) instead of standard output.

--html FILE writes a QC report a person can read: one self-contained page
(no network requests) with a summary, a sortable table that can be filtered
to the failures, and each file's loudness over time against the preset's
band and true-peak ceiling.

--fix -o DIR normalises each failing file to the preset's loudness and
ceiling through sonorik_meter.normalize (the new file is complete and
measured again before it appears) into DIR (a file by its name, a
directory's files by their relative paths), and checks the new file; the
inputs are never changed. Passing files are not copied.

exit status:
  0    every file passed (or, with --fix, passes once fixed)
  1    at least one file failed its check
  2    a file or path could not be checked (or fixed), an output was refused,
       or a usage error
  3    media files of a directory skipped (formats sonorik does not read)
  130  interrupted by SIGINT (Ctrl-C); 143 stopped by SIGTERM
  with several, the first of 2, 1, 3 is given

examples:
  sonorik check --preset ebu-r128 programme.wav
  sonorik check --preset ebu-r128-s1 --format junit --report junit.xml ads/
  sonorik check --preset spotify --html qc.html album/
  sonorik check --preset-file station.json --fix -o fixed/ deliveries/
"""


@dataclass
class Outcome:
    """What checking one file gave."""
    path: str
    verdict: Any = None  # sonorik_meter.CheckVerdict
    error: str | None = None
    seconds: float = 0.0
    fixed: str | None = None
    fixed_verdict: Any = None
    fix_error: str | None = None

    @property
    def label(self) -> str:
        if self.verdict is None:
            return "ERROR"
        return "PASS" if self.verdict.passed else "FAIL"

    @property
    def passes(self) -> bool:
        """Passed, or its fixed copy passes."""
        return self.verdict is not None and (
            self.verdict.passed or (self.fixed_verdict is not None and self.fixed_verdict.passed))


def add_parser(commands: Any) -> argparse.ArgumentParser:
    c: argparse.ArgumentParser = commands.add_parser(
        "check", formatter_class=argparse.RawDescriptionHelpFormatter, epilog=EPILOG,
        help="pass or fail files against a delivery preset (EBU R 128, ATSC A/85, ...)",
        description="Check audio files against a loudness delivery preset or a platform's\n"
                    "playback level: PASS or FAIL per file, with what was missed and by how much.")
    c.add_argument("paths", nargs="*", metavar="PATH", help="audio file or directory")
    which = c.add_mutually_exclusive_group()
    which.add_argument("--preset", metavar="NAME", help="a shipped preset (see --list-presets)")
    which.add_argument("--preset-file", metavar="FILE", help="a preset of your own (.json or .toml)")
    c.add_argument("--list-presets", action="store_true", help="list the presets and their sources")
    c.add_argument("--format", choices=("text", "json", "csv", reports.JUNIT), default="text",
                   help="lines of text (default), JSON lines, CSV or JUnit XML")
    c.add_argument("--report", metavar="FILE", help="write the --format report to FILE")
    c.add_argument("--html", metavar="FILE", help="also write an HTML QC report to FILE")
    c.add_argument("--fix", action="store_true",
                   help="normalise failing files to the preset into -o DIR and check them again")
    c.add_argument("-o", "--output", metavar="DIR", help="where --fix writes")
    add_jobs_option(c, "check")
    c.set_defaults(run=run)
    return c


def list_presets() -> int:
    for name, p in sonorik_meter.check_presets().items():
        print(f"{name}  ({p.kind}) {p.title}\n    {p.limits()}\n    source: {p.source}\n"
              f"    {p.clause}")
    return terminal.DONE


def run(args: argparse.Namespace) -> int:
    if args.list_presets:
        return list_presets()
    if (problem := _usage(args)) is not None:
        return terminal.usage_error("check", problem)
    try:
        preset = (sonorik_meter.load_check_preset(args.preset_file) if args.preset_file
                  else sonorik_meter.check_presets()[args.preset])
    except KeyError:
        return terminal.usage_error("check", f"no preset named {args.preset!r} "
                                             "(sonorik check --list-presets shows them)")
    except (OSError, ValueError) as e:
        message = terminal.reason(e, args.preset_file)
        terminal.fail(args.preset_file, message.removeprefix(args.preset_file + ": "))
        return NOT_CHECKED
    if not reports.attempt(lambda: _check_outputs(args), args.report or args.html):
        return NOT_CHECKED
    found, destinations = _inputs(args)
    if args.fix and (clash := _clash(destinations)) is not None:
        terminal.fail(args.output, clash + "; nothing written")
        return NOT_CHECKED
    started = datetime.datetime.now(datetime.timezone.utc)

    def one(path: str) -> Outcome:
        return _check_one(path, preset, args, destinations.get(path))

    outcomes = run_all(found.files, args.jobs, one)
    for o in outcomes:
        if o.error is not None:
            terminal.fail(o.path, o.error)
        if o.fix_error is not None:
            terminal.fail(o.fixed or o.path, "not fixed: " + o.fix_error)
    if not reports.attempt(lambda: _write(args, preset, outcomes, started), args.report):
        return NOT_CHECKED
    if args.html and not reports.attempt(lambda: _write_html(args, preset, outcomes, started),
                                         args.html):
        return NOT_CHECKED
    if args.html:
        args.finished.append(args.html)
    return status(found, outcomes)


def status(found: Found, outcomes: list[Outcome]) -> int:
    """2 when a path or file could not be checked or fixed, else 1 when a
    file fails, else 3 when files were skipped, else 0."""
    if found.failed or any(o.error or o.fix_error for o in outcomes):
        return NOT_CHECKED
    if not all(o.passes for o in outcomes):
        return terminal.FAILED
    return terminal.SKIPPED if found.skipped else terminal.DONE


def _usage(args: argparse.Namespace) -> str | None:
    if not args.preset and not args.preset_file:
        return "give --preset NAME or --preset-file FILE (or --list-presets)"
    if not args.paths:
        return "give at least one PATH to check"
    if args.report is not None and args.format == "text":
        return "--report FILE needs --format json, csv or junit"
    if args.fix != (args.output is not None):
        return "--fix and -o DIR go together: -o is where the fixed files are written"
    return None


def _check_outputs(args: argparse.Namespace) -> None:
    """Refuses (before anything is measured) a --report or --html file that
    exists and holds something else than such a report."""
    if args.report not in (None, "-"):
        if args.format == reports.JUNIT:
            if not reports.holds_junit(reports.existing_text(args.report)):
                raise reports.Refused(args.report, "exists and is not a JUnit report: left as it "
                                                   "is (choose another --report)")
        else:
            reports.check_output(args.format, COLUMNS, args.report)
    if args.html is not None:
        _html_replaceable(reports.existing_text(args.html), args.html)


def _html_replaceable(text: str, path: str) -> None:
    if text and qc_report.MARK not in text[:4096]:
        raise reports.Refused(path, "exists and is not a sonorik QC report: left as it is "
                                    "(choose another --html)")


def _inputs(args: argparse.Namespace) -> tuple[Found, dict[str, str]]:
    """The files to check, and with --fix where each one's fixed copy goes:
    DIR/NAME for a file, DIR/RELATIVE/PATH for a directory's files."""
    found = Found()
    destinations: dict[str, str] = {}
    for root in args.paths:
        part = expand([root])
        found.files += part.files
        found.failed += part.failed
        found.skipped += part.skipped
        if args.fix:
            for path in part.files:
                relative = os.path.relpath(path, root) if os.path.isdir(root) else os.path.basename(path)
                destinations[path] = os.path.join(args.output, relative)
    return found, destinations


def _clash(destinations: dict[str, str]) -> str | None:
    """Why the fixed copies cannot all be written: two inputs to one output,
    or an output that is one of the inputs."""
    sources = {identity(s): s for s in destinations}
    written: dict[tuple[Any, ...], str] = {}
    for source, dest in destinations.items():
        key = identity(dest)
        if key in sources:
            return (f"the fixed copy of {terminal.shown(source)} would replace the input "
                    f"{terminal.shown(sources[key])}")
        other = written.setdefault(key, source)
        if other != source:
            return (f"{terminal.shown(other)} and {terminal.shown(source)} would both be fixed "
                    f"into {terminal.shown(dest)}")
    return None


def _fix_target(preset: Any) -> tuple[str, float]:
    """The measure and level normalize() brings a file to for `preset`."""
    for measure, field in (("integrated", "integrated_lufs"), ("short_term_max", "short_term_max_lufs"),
                           ("momentary_max", "momentary_max_lufs"), ("true_peak", "true_peak_max_dbtp")):
        if getattr(preset, field) is not None:
            return measure, getattr(preset, field)
    raise ValueError("the preset sets no level to normalise to")


def _check_one(path: str, preset: Any, args: argparse.Namespace, dest: str | None) -> Outcome:
    out = Outcome(path)
    start = time.monotonic()
    try:
        out.verdict = sonorik_meter.check(path, preset, series=bool(args.html))
    except Exception as e:  # noqa: BLE001 - every failure is reported per file
        out.error = terminal.reason(e, path)
    out.seconds = time.monotonic() - start
    if out.verdict is None or out.verdict.passed or dest is None:
        return out
    out.fixed = dest
    try:
        measure, target = _fix_target(preset)
        ceiling = min(preset.true_peak_max_dbtp if preset.true_peak_max_dbtp is not None else -1.0, 0.0)
        parent = os.path.dirname(dest)
        if parent:
            os.makedirs(parent, exist_ok=True)
        report = sonorik_meter.normalize(path, dest, target=target, measure=measure, ceiling=ceiling)
        if report.written:
            args.finished.append(dest)
        out.fixed_verdict = sonorik_meter.check(dest, preset, series=bool(args.html))
    except Exception as e:  # noqa: BLE001
        out.fix_error = terminal.reason(e, dest)
    return out


def record(o: Outcome, preset: Any) -> reports.Record:
    """One file's report record (levels in LUFS, LU, dBTP, gain in dB)."""
    m = o.verdict.measurement if o.verdict is not None else None
    failed = o.verdict.failures if o.verdict is not None else ()
    fixed = o.fixed_verdict
    return {"file": o.path, "preset": preset.name, "verdict": o.label,
            "integrated_lufs": m.integrated_lufs if m else None,
            "true_peak_dbtp": m.true_peak_dbtp if m else None,
            "short_term_max_lufs": m.short_term_max_lufs if m else None,
            "momentary_max_lufs": m.momentary_max_lufs if m else None,
            "loudness_range_lu": m.loudness_range_lu if m else None,
            "platform_gain_db": o.verdict.platform_gain_db if o.verdict is not None else None,
            "failed": ";".join(c.name for c in failed) or None,
            "reasons": "; ".join(c.describe() for c in failed) or None,
            "fixed_file": o.fixed if fixed is not None else None,
            "fixed_verdict": None if fixed is None else "PASS" if fixed.passed else "FAIL",
            "error": o.error or o.fix_error}


def lines(o: Outcome) -> list[str]:
    """The text lines of one file."""
    name = terminal.shown(o.path)
    if o.verdict is None:
        return [f"ERROR {name}"]
    v = o.verdict
    m = v.measurement
    head = f"{o.label:5} {name}  I {terminal.level(m.integrated_lufs)} LUFS, TP {terminal.level(m.true_peak_dbtp)} dBTP"
    if v.platform_gain_db is not None:
        head += f", {v.preset.name} gain {v.platform_gain_db:+.2f} dB"
    out = [head] + [f"      {terminal.shown(c.describe())}" for c in v.failures]
    if o.fixed_verdict is not None:
        after = o.fixed_verdict
        out.append(f"FIXED {name} -> {terminal.shown(o.fixed or '')}: "
                   f"{'PASS' if after.passed else 'FAIL'}")
        out += [f"      {terminal.shown(c.describe())}" for c in after.failures]
    return out


def _write(args: argparse.Namespace, preset: Any, outcomes: list[Outcome],
           started: datetime.datetime) -> None:
    if args.format == "text":
        text = "".join(line + "\n" for o in outcomes for line in lines(o))
        counts = _counts(outcomes)
        text += (f"{len(outcomes)} file{'s' if len(outcomes) != 1 else ''} checked against "
                 f"{preset.name}: {counts['PASS']} passed, {counts['FAIL']} failed, "
                 f"{counts['ERROR']} not measured"
                 + (f", {counts['FIXED']} fixed" if args.fix else "") + "\n")
        print(text, end="", flush=True)
        return
    if args.format == reports.JUNIT:
        cases = [reports.JUnitCase(
            name=o.path, classname=f"sonorik.check.{preset.name}", time_s=o.seconds,
            failure=None if o.verdict is None or o.passes else "\n".join(
                line.strip() for line in lines(o)[1:]) or o.label,
            error=o.error or o.fix_error, output="\n".join(lines(o)))
            for o in outcomes]
        reports.write_junit(f"sonorik check {preset.name}", cases,
                            started.strftime("%Y-%m-%dT%H:%M:%S"), args.report)
        return
    reports.write_report(args.format, [record(o, preset) for o in outcomes], args.report,
                         columns=COLUMNS)


def _counts(outcomes: list[Outcome]) -> dict[str, int]:
    counts = {"PASS": 0, "FAIL": 0, "ERROR": 0, "FIXED": 0}
    for o in outcomes:
        counts[o.label] += 1
        counts["FIXED"] += o.fixed_verdict is not None and o.fixed_verdict.passed
    return counts


def _write_html(args: argparse.Namespace, preset: Any, outcomes: list[Outcome],
                started: datetime.datetime) -> None:
    entries = [qc_report.Entry(o.path, o.verdict, o.error or o.fix_error, o.fixed, o.fixed_verdict)
               for o in outcomes]
    page = qc_report.page(preset, entries, started, sonorik_meter.__version__)

    def new_text(old: str) -> str:
        _html_replaceable(old, args.html)
        return page

    reports.commit(args.html, new_text)
