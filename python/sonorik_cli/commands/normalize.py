"""`sonorik normalize`: one gain per file so that a measure reaches a target,
through sonorik_meter.normalize; a line of text or a JSON record per file."""

from __future__ import annotations

import argparse
import os
from typing import Any

import sonorik_meter

from sonorik_cli import reports, terminal
from sonorik_cli.files import Found, identity, report_failure, scan
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
channel layout and sample format, in the format of its extension (or
--audio-format; WAV when the name has no extension; an extension or format
sonorik does not write is refused, nothing written), with TPDF dither when
integer samples are requantised. --rate HZ resamples (libsoxr); Opus is
always written at 48 kHz, and a rate the format cannot take becomes the
nearest usual one below it. A layout the output cannot declare is noted. Without -o the input is replaced; either
way the destination is replaced only once the new file is complete, so a
failed write leaves it as it was. A directory INPUT normalises every audio
file in it (onto itself, or to the same relative paths under the directory
-o names), --jobs at a time, with a progress bar on a terminal. Before
anything is written the command refuses (nothing written) when two inputs
would be written to one output (in/song.wav and in/song.flac with
--audio-format flac) or an output would replace another input (the same
file under two names included). A file of the directory with a media
extension sonorik does not read (.wv, .ape, .mpc, ...) is reported as
skipped; a damaged file of a format it reads is a failure.

Video and AAC containers (MP4, M4A, MOV, MKV, WebM, MPEG-TS, AAC, AC-3; read
and written through PyAV: pip install "sonorik[video]") are written as the
same container: the video, subtitle and other streams copied packet for
packet, the tags and stream languages kept, and only the default audio stream
encoded again with its own codec at its bit rate or higher. The new file is
measured before it replaces the destination (the target within 0.1 LU, under
the ceiling, the other streams' packets unchanged); a lossy coding that
misses is encoded again with the gain corrected. Such an output keeps the
input's extension; --audio-format and --rate do not apply to it.

Ctrl-C (SIGINT) or SIGTERM stops the files being normalised at once (on
every thread): they and their destinations are left as they were, no
temporary file stays, and files not yet started are not touched. Standard
error lists the files finished before the stop.

Tags (standard and custom), embedded pictures and WAV bext/iXML chunks are
carried to the output where its format holds them; ReplayGain and R128 gain
tags are changed by the gain applied. Whatever the output cannot hold is
named on standard error ("sonorik: INPUT: note: not carried to the CAF
output: tags TITLE, ARTIST").

--limit reaches the target where the ceiling would cap the gain: the full gain
is applied and a look-ahead true-peak limiter (one gain for all channels;
attack 5 ms, hold 20 ms, release 150 ms) takes off only what the ceiling
needs, with the gain trimmed so the level lands on the target; the line adds
the deepest reduction, how often and how long it limited, and the loudness
range before and after. Without it a capped file keeps exit status 4 and its
line says how much --limit would reduce the peaks.

Each file prints one line: the measure before and after, the gain, whether it
was capped, and the true peak before and after (JSON lines with --format
json: file, destination, measure, unit, target, input_level, output_level,
gain_asked_db, gain_applied_db, capped_by, ceiling_dbtp, ..., copied,
rate_hz, output_rate_hz, notes).

examples:
  sonorik normalize --to integrated -16 --ceiling -1 in.flac -o out.flac
  sonorik normalize --to integrated -23 speech.wav -o speech_-23.wav
  sonorik normalize --to true-peak -1 master.wav
  sonorik normalize --to integrated -16 --range -18 -14 podcast.wav
  sonorik normalize --to integrated -16 --ceiling -1 --limit episode.mp3 -o ep.mp3
  sonorik normalize --to integrated -14 --jobs 2 --format json album/ -o loud/

""" + terminal.status_epilog(capped=True)


def _level(text: str) -> float:
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a level: {text!r}") from None


def _audio_format(text: str) -> str:
    """A format name, which also becomes the outputs' extension: letters and
    digits only, so that it cannot lead a path elsewhere."""
    if not text.isascii() or not text.isalnum():
        raise argparse.ArgumentTypeError(f"not a format name: {text!r}")
    return text.lower()


def _rate(text: str) -> int:
    try:
        hz = int(text)
    except ValueError:
        hz = 0
    if hz <= 0:
        raise argparse.ArgumentTypeError(f"not a rate in Hz: {text!r}")
    return hz


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
    n.add_argument("--audio-format", type=_audio_format, metavar="FMT",
                   help="output format (wav, flac, aiff, caf, w64, rf64, ogg, opus, mp3, ...)")
    n.add_argument("--rate", type=_rate, metavar="HZ",
                   help="output sample rate, Hz (default: the input's, or one the format takes)")
    n.add_argument("--limit", action="store_true",
                   help="reach the target even when the ceiling caps the gain: the full gain "
                        "and a true-peak limiter (see below)")
    n.add_argument("--format", choices=("text", "json"), default="text",
                   help="one line of text (default) or one JSON object per file")
    add_jobs_option(n, "normalize")
    n.set_defaults(run=run)
    return n


def run(args: argparse.Namespace) -> int:
    if args.audio_format and args.output is None:
        # The input's own name would no longer match what it holds.
        return terminal.usage_error("normalize", "--audio-format needs -o")
    found = Found()
    try:
        pairs = jobs(args, found)
    except (OSError, ValueError) as e:
        terminal.failure(e, args.input)
        return terminal.FAILED
    if (clash := collision(pairs)) is not None:
        terminal.fail(args.input, clash + "; nothing written")
        return terminal.FAILED
    destinations = dict(pairs)
    low_high = tuple(sorted(args.range)) if args.range else None
    into_directory = os.path.isdir(args.input) and args.output is not None

    def one(path: str) -> sonorik_meter.NormalizeReport | Exception:
        try:
            dest = destinations[path]
            parent = os.path.dirname(dest)
            if parent and into_directory:
                os.makedirs(parent, exist_ok=True)
            r = sonorik_meter.normalize(path, dest, target=args.target,
                                        measure=NORMALIZERS[args.to], ceiling=args.ceiling,
                                        range=low_high, format=args.audio_format, rate=args.rate,
                                        limit=args.limit)
        except Exception as e:  # noqa: BLE001 - every failure is reported per file
            return e
        if r.written:
            args.finished.append(dest)
        return r

    capped = 0
    paths = [p for p, _ in pairs]
    for path, outcome in zip(paths, run_all(paths, args.jobs, one)):
        if isinstance(outcome, Exception):
            report_failure(path, outcome, found)
            continue
        capped += outcome.capped_by == "ceiling"
        if args.format == "json":
            reports.write_report("json", [record(outcome)], None)
        else:
            print(line(outcome), flush=True)
        for note in outcome.notes:
            terminal.fail(path, "note: " + note)
    return terminal.status(found.failed, found.skipped, capped)


def jobs(args: argparse.Namespace, found: Found) -> list[tuple[str, str]]:
    """(source, destination) pairs: a file to -o or onto itself; every audio
    file of a directory onto itself, or to the same relative path under -o
    (media files it cannot read reported as skipped in `found`).
    --audio-format changes the destinations' extension. Raises OSError when
    the directory cannot be searched."""
    if not os.path.isdir(args.input):
        return [(args.input, args.output if args.output is not None else args.input)]
    scan(args.input, found)
    pairs = []
    for path in found.files:
        dest = path
        if args.output is not None:
            dest = os.path.join(args.output, os.path.relpath(path, args.input))
        if args.audio_format:
            dest = os.path.splitext(dest)[0] + "." + args.audio_format
        pairs.append((path, dest))
    return pairs


def collision(pairs: list[tuple[str, str]]) -> str | None:
    """Why the (source, destination) pairs cannot all be written, naming the
    inputs: two inputs written to one output (one file linked under two
    names, normalised in place, included), or an output that would replace
    another input; None when they can."""
    if len(pairs) < 2:
        return None
    sources: dict[tuple[Any, ...], str] = {}
    for source, _ in pairs:
        sources.setdefault(identity(source), source)
    written: dict[tuple[Any, ...], str] = {}
    for source, dest in pairs:
        key = identity(dest)
        other = written.setdefault(key, source)
        if other != source:
            return (f"{terminal.shown(other)} and {terminal.shown(source)} would both be written "
                    f"to {terminal.shown(dest)}")
        other = sources.get(key, source)
        if other != source:
            return (f"{terminal.shown(source)} would be written to {terminal.shown(dest)}, "
                    f"replacing the input {terminal.shown(other)}")
    return None


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
            "dithered": r.dithered, "written": r.written, "copied": r.copied,
            "rate_hz": r.rate_hz, "output_rate_hz": r.output_rate_hz, "notes": list(r.notes),
            "limiting_needed_db": r.limiting_needed_db, "limited": r.limited,
            "limiter_max_reduction_db": r.limiter_max_reduction_db,
            "limiter_share": r.limiter_share, "limiter_events": r.limiter_events,
            "input_loudness_range_lu": r.input_loudness_range_lu,
            "output_loudness_range_lu": r.output_loudness_range_lu}


def line(r: sonorik_meter.NormalizeReport) -> str:
    """One line of text: source, destination, the measure before and after,
    the gain and why it was limited, the true peaks."""
    limit = {"ceiling": f", capped by the {r.ceiling_dbtp:g} dBTP ceiling "
                        f"(asked {r.gain_asked_db:+.2f} dB; --limit would reduce peaks by up "
                        f"to {r.limiting_needed_db:.2f} dB)",
             "in range": ", in range: left as it was"}.get(r.capped_by or "", "")
    if r.limited and r.capped_by == "ceiling":
        limit = (f", short of the target even with the limiter (asked {r.gain_asked_db:+.2f} dB, "
                 f"made up at most 6 dB)")
    if r.copied:
        limit += " (copied byte for byte)"
    dest = "unchanged" if not r.written else terminal.shown(r.destination)
    level = terminal.level
    rate = f", resampled to {r.output_rate_hz} Hz" if r.output_rate_hz != r.rate_hz else ""
    return (f"{terminal.shown(r.source)} -> {dest}: {r.measure} {level(r.input_level)} -> "
            f"{level(r.output_level)} {r.unit}, gain {r.gain_applied_db:+.2f} dB{limit}, "
            f"true peak {level(r.input_true_peak_dbtp)} -> {level(r.output_true_peak_dbtp)} dBTP"
            f"{rate}{_limiting(r)}")


def _limiting(r: sonorik_meter.NormalizeReport) -> str:
    """What the limiter did, and the loudness range it left (empty without it)."""
    if not r.limited:
        return ""
    lra = ""
    if r.input_loudness_range_lu is not None and r.output_loudness_range_lu is not None:
        lra = (f", loudness range {r.input_loudness_range_lu:.1f} -> "
               f"{r.output_loudness_range_lu:.1f} LU")
    return (f", limited: up to {r.limiter_max_reduction_db:.2f} dB, {r.limiter_events} times, "
            f"{100 * (r.limiter_share or 0.0):.1f}% of the time{lra}")
