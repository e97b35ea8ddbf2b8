"""`sonorik normalize`: one gain per file so that a measure reaches a target,
through sonorik_meter.normalize; a line of text or a JSON record per file."""

from __future__ import annotations

import argparse
import os
import sys
from typing import Any

import sonorik_meter

from sonorik_cli import reports, terminal
from sonorik_cli.files import audio_files
from sonorik_cli.jobs import add_jobs_option, run_all

# normalize --to NAME -> sonorik_meter.normalize measure
NORMALIZERS = {
    "integrated": "integrated",
    "short-term": "short_term_max",
    "momentary": "momentary_max",
    "true-peak": "true_peak",
    "rms-max": "rms_max",
    "rms-average": "rms_average",
}

EPILOG = """\
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

Tags (standard and custom), embedded pictures and WAV bext/iXML chunks are
carried to the output where its format holds them; ReplayGain and R128 gain
tags are changed by the gain applied. Whatever the output cannot hold is
named on standard error ("sonorik: INPUT: note: not carried to the CAF
output: tags TITLE, ARTIST").

Each file prints one line: the measure before and after, the gain, whether it
was capped, and the true peak before and after (JSON lines with --format
json: file, destination, measure, unit, target, input_level, output_level,
gain_asked_db, gain_applied_db, capped_by, ceiling_dbtp, ..., notes).

examples:
  sonorik normalize --to integrated -16 --ceiling -1 in.flac -o out.flac
  sonorik normalize --to integrated -23 speech.wav -o speech_-23.wav
  sonorik normalize --to true-peak -1 master.wav
  sonorik normalize --to integrated -16 --range -18 -14 podcast.wav
  sonorik normalize --to integrated -14 --jobs 2 --format json album/ -o loud/

exit status: 0 all written, 1 some failed, 2 usage error
"""


def _level(text: str) -> float:
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a level: {text!r}") from None


def add_parser(commands: Any) -> argparse.ArgumentParser:
    n: argparse.ArgumentParser = commands.add_parser(
        "normalize", formatter_class=argparse.RawDescriptionHelpFormatter, epilog=EPILOG,
        help="apply one gain so that a measure reaches a target level, never clipping",
        description="Rewrite audio files so that one measure reaches TARGET, with one gain\n"
                    "capped by a true-peak ceiling.")
    n.add_argument("--to", required=True, choices=tuple(NORMALIZERS), help="measure to normalize")
    n.add_argument("target", type=_level, metavar="TARGET", help="target level (see below)")
    n.add_argument("input", metavar="INPUT", help="audio file or directory to read")
    n.add_argument("--ceiling", type=_level, default=-1.0, metavar="DBTP",
                   help="highest true peak of the output, dBTP (default: %(default)s)")
    n.add_argument("--range", type=_level, nargs=2, metavar=("LOW", "HIGH"),
                   help="leave files whose level is already between LOW and HIGH as they are")
    n.add_argument("-o", "--output", metavar="OUTPUT",
                   help="file (or, for a directory INPUT, directory) to write; default: replace INPUT")
    n.add_argument("--audio-format", metavar="FMT",
                   help="output format (wav, flac, aiff, caf, w64, rf64, ogg, opus, mp3, ...)")
    n.add_argument("--format", choices=("text", "json"), default="text",
                   help="one line of text (default) or one JSON object per file")
    add_jobs_option(n, "normalize")
    n.set_defaults(run=run)
    return n


def run(args: argparse.Namespace) -> int:
    if args.audio_format and args.output is None:
        # The input's own name would no longer match what it holds.
        print(f"{terminal.PROG} normalize: --audio-format needs -o", file=sys.stderr)
        return 2
    try:
        pairs = jobs(args)
    except OSError as e:
        terminal.fail(args.input, terminal.reason(e, args.input))
        return 1
    if not pairs:
        terminal.fail(args.input, "no audio files found")
        return 1
    destinations = dict(pairs)
    low_high = tuple(sorted(args.range)) if args.range else None
    into_directory = os.path.isdir(args.input) and args.output is not None

    def one(path: str) -> sonorik_meter.NormalizeReport | str:
        try:
            dest = destinations[path]
            parent = os.path.dirname(dest)
            if parent and into_directory:
                os.makedirs(parent, exist_ok=True)
            return sonorik_meter.normalize(path, dest, target=args.target,
                                           measure=NORMALIZERS[args.to], ceiling=args.ceiling,
                                           range=low_high, format=args.audio_format)
        except (OSError, ValueError) as e:
            return terminal.reason(e, path)

    failed = 0
    paths = [p for p, _ in pairs]
    for path, outcome in zip(paths, run_all(paths, args.jobs, one)):
        if isinstance(outcome, str):
            terminal.fail(path, outcome)
            failed += 1
        elif args.format == "json":
            reports.write_report("json", [record(outcome)], None)
        else:
            print(line(outcome), flush=True)
        if not isinstance(outcome, str):
            for note in outcome.notes:
                terminal.fail(path, "note: " + note)
    return 1 if failed else 0


def jobs(args: argparse.Namespace) -> list[tuple[str, str]]:
    """(source, destination) pairs: a file to -o or onto itself; every audio
    file of a directory onto itself, or to the same relative path under -o.
    --audio-format changes the destinations' extension. Raises OSError when
    the directory cannot be searched."""
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


def record(r: sonorik_meter.NormalizeReport) -> reports.Record:
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
            "dithered": r.dithered, "written": r.written, "notes": list(r.notes)}


def line(r: sonorik_meter.NormalizeReport) -> str:
    """One line of text: source, destination, the measure before and after,
    the gain and why it was limited, the true peaks."""
    limit = {"ceiling": f", capped by the {r.ceiling_dbtp:g} dBTP ceiling "
                        f"(asked {r.gain_asked_db:+.2f} dB)",
             "in range": ", in range: left as it was"}.get(r.capped_by or "", "")
    dest = "unchanged" if not r.written else terminal.shown(r.destination)
    level = terminal.level
    return (f"{terminal.shown(r.source)} -> {dest}: {r.measure} {level(r.input_level)} -> "
            f"{level(r.output_level)} {r.unit}, gain {r.gain_applied_db:+.2f} dB{limit}, "
            f"true peak {level(r.input_true_peak_dbtp)} -> {level(r.output_true_peak_dbtp)} dBTP")
