"""`sonorik tag`: ReplayGain 2.0 (and, for Opus, R128) gain tags written into
the files, the audio left exactly as it is."""

from __future__ import annotations

import argparse
import math
from collections.abc import Sequence
from typing import Any

import sonorik_meter

from sonorik_cli import album, reports, terminal
from sonorik_cli.files import Found, expand, report_failure
from sonorik_cli.jobs import add_jobs_option, run_all

COLUMNS = ("file", "format", "action", "integrated_lufs", "track_gain_db", "track_peak",
           "album_lufs", "album_gain_db", "album_peak", "reference_lufs", "peak", "opus_header_gain",
           "tags")
HEADINGS = [["File", "Action", "Integrated", "Track gain", "Track peak", "Album gain", "Album peak"],
            ["", "", "LUFS", "dB", "linear", "dB", "linear"]]

EPILOG = """\
values (ReplayGain 2.0):
  track gain   reference - the track's integrated loudness (dB); reference -18
               LUFS unless --reference is given (then REPLAYGAIN_REFERENCE_LOUDNESS
               is written too)
  album gain   reference - the album's loudness: the 400 ms blocks of all its
               files pooled (--album: each directory PATH is one album)
  peaks        true peak (default) or, with --sample-peak, sample peak, as a
               linear amplitude (1.0 = full scale), never clipped: a lossy file
               may peak above 1.0

tags written: gains as "%.2f dB", peaks as "%.6f":
  FLAC, Ogg Vorbis  Vorbis comments REPLAYGAIN_TRACK_GAIN, REPLAYGAIN_TRACK_PEAK,
                    REPLAYGAIN_ALBUM_GAIN, REPLAYGAIN_ALBUM_PEAK
  MP3               ID3v2 TXXX frames of those names (the tag keeps its version;
                    a new tag is ID3v2.4)
  WAV, AIFF         the same frames in the file's id3 chunk
  M4A               freeform items ----:com.apple.iTunes:REPLAYGAIN_* (once
                    AAC is read: the file must be measured)
  Opus              R128_TRACK_GAIN and R128_ALBUM_GAIN: whole 1/256 dB steps
                    relative to -23 LUFS, whatever --reference; no peak tags.
                    The audio is measured as players decode it, with the
                    OpusHead output gain applied; that header is left alone
                    unless --opus-header is given.
Tags of these names already in a file are replaced; without --album a file's
album tags are kept; a REPLAYGAIN_REFERENCE_LOUDNESS not written again is
removed; an Opus file keeps no REPLAYGAIN_* tag. RF64, W64, CAF and other formats are
refused: they have no place for the tags that players read.

The audio is never rewritten: each file is copied beside itself, the copy is
tagged, checked (its audio stream is byte for byte the original's: for Ogg
every audio page, for M4A every sample through the sample tables; every
other tag, picture and chunk reads back unchanged) and renamed over the
file: no write is made in place. A file that fails (damaged
audio fails when it is measured) is left as it was; an album with a file
that fails is not tagged.

--opus-header (Opus files) adds the gain to the OpusHead output gain, which
every decoder applies, even one that reads no tags: the album gain with
--album, else the track gain. The R128 tags are then relative to the new
header (R128_ALBUM_GAIN 0 with --album, else R128_TRACK_GAIN 0), as players
apply them in addition to it. The audio is measured with the header's gain
applied, so the header gain written is the old one plus the gain measured,
and running it again changes nothing more than rounding. Only the header's
two bytes and its page checksum change: every audio page is checked byte for
byte, and the copy must decode to the original's audio at the new gain. A
header gain beyond +-128 dB is refused. The "opus_header_gain" column of the
reports is the gain added, in 1/256 dB.

--dry-run measures and shows what would be written, writing nothing.
--skip-tagged leaves files that already carry a track gain tag (with
--album: an album whose files all carry track and album gain tags) alone,
without reading their audio. The table (or a --format report on standard
output) shows every gain and peak; "action" says written, would write or
already tagged.

examples:
  sonorik tag song.flac
  sonorik tag --album music/first-album music/second-album
  sonorik tag --album --skip-tagged --jobs 2 music/*/
  sonorik tag --dry-run --format json album/

""" + terminal.status_epilog()


def add_parser(commands: Any) -> argparse.ArgumentParser:
    a: argparse.ArgumentParser = commands.add_parser(
        "tag", formatter_class=argparse.RawDescriptionHelpFormatter, epilog=EPILOG,
        help="write ReplayGain / R128 gain tags (the audio is left as it is)",
        description="Measure audio files and write their ReplayGain 2.0 gain and peak tags\n"
                    "(R128 gain tags for Opus). Directories are searched recursively.")
    a.add_argument("paths", nargs="+", metavar="PATH", help="audio file or directory")
    a.add_argument("--album", action="store_true",
                   help="treat each directory PATH as one album: write album gains and peaks too")
    a.add_argument("--sample-peak", action="store_true",
                   help="write sample peaks instead of true peaks")
    a.add_argument("--reference", type=_reference, default=-18.0, metavar="LUFS",
                   help="reference loudness (default -18 LUFS)")
    a.add_argument("--opus-header", action="store_true",
                   help="Opus: put the gain into the OpusHead output gain, the R128 tags "
                        "relative to it")
    a.add_argument("-n", "--dry-run", action="store_true", help="show what would be written")
    a.add_argument("--skip-tagged", action="store_true",
                   help="leave files (albums) that already carry gain tags alone")
    a.add_argument("--format", choices=("table", *reports.FORMATS), default="table",
                   help="aligned table (default) or a csv, tsv, json or xml report")
    add_jobs_option(a, "measure and tag")
    a.set_defaults(run=run)
    return a


def _reference(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not -70.0 <= value <= 0.0:
        raise argparse.ArgumentTypeError(f"must be from -70 to 0 LUFS (got {text})")
    return value


def run(args: argparse.Namespace) -> int:
    rows: list[reports.Record] = []
    found = Found()
    for directory, paths in album.groups(args.paths, args.album):
        part = expand(paths)
        as_album = directory is not None
        rows.extend(_tag_group(args, directory, part, as_album))
        found.failed, found.skipped = found.failed + part.failed, found.skipped + part.skipped
    if args.format == "table":
        if rows:
            print(terminal.table(HEADINGS, [_table_row(r) for r in rows],
                                 [False, False] + [True] * 5), end="", flush=True)
    else:
        reports.write_report(args.format, rows, None, columns=COLUMNS)
    return terminal.status(found.failed, found.skipped)


def _tag_group(args: argparse.Namespace, directory: str | None, part: Found,
               as_album: bool) -> list[reports.Record]:
    """The records of the files of one album (or of loose files)."""
    files = part.files
    if not files:
        return []
    tagged: dict[str, dict[str, str]] = {}
    if args.skip_tagged:
        tagged = _already_tagged(files, as_album)
        if as_album and len(tagged) == len(files):
            return [_tagged_record(p, tagged[p]) for p in files]
        if as_album:
            tagged = {}  # the album's gain needs every file measured again
    todo = [p for p in files if p not in tagged]
    measured: list[tuple[str, sonorik_meter.Measurement]] = []
    for path, outcome in zip(todo, run_all(todo, args.jobs, _measure)):
        if isinstance(outcome, BaseException):
            report_failure(path, outcome, part)
        else:
            measured.append((path, outcome))
    audible = [(p, m) for p, m in measured if math.isfinite(m.integrated_lufs)]
    for path, _ in (pm for pm in measured if pm not in audible):
        terminal.fail(path, "no audio above the gates (silence): it has no gain")
        part.failed += 1
    if as_album and len(audible) < len(todo):
        terminal.fail(directory or "", f"album not tagged: {len(todo) - len(audible)} of its "
                                       f"{len(todo)} files failed")
        return []
    rows = {p: _tagged_record(p, tags) for p, tags in tagged.items()}
    if audible:
        gains = sonorik_meter.replaygain([m for _, m in audible], album=as_album,
                                         reference=args.reference, sample_peak=args.sample_peak,
                                         opus_header=args.opus_header)
        pairs = [(path, g) for (path, _), g in zip(audible, gains)]
        rows.update(_write_all(args, pairs, part))
    return [rows[p] for p in files if p in rows]


def _write_all(args: argparse.Namespace, pairs: list[tuple[str, sonorik_meter.GainRecord]],
               part: Found) -> dict[str, reports.Record]:
    """The records of the files given their gains, written unless --dry-run."""
    if args.dry_run:
        return {p: _record(p, g, "would write") for p, g in pairs}
    rows = {}
    # run_all hands out strings: each pair's place (a file named twice is written twice)
    places = [str(i) for i in range(len(pairs))]
    written = run_all(places, args.jobs, lambda i: _write(*pairs[int(i)]))
    for (path, g), error in zip(pairs, written):
        if error is not None:
            report_failure(path, error, part)
        else:
            args.finished.append(path)
            rows[path] = _record(path, g, "written")
    return rows


def _already_tagged(files: Sequence[str], as_album: bool) -> dict[str, dict[str, str]]:
    """The files that carry gain tags, with them."""
    out = {}
    for path in files:
        try:
            tags = sonorik_meter.read_gain_tags(path)
        except OSError:
            continue  # measuring it reports why
        track = "REPLAYGAIN_TRACK_GAIN" in tags or "R128_TRACK_GAIN" in tags
        whole = "REPLAYGAIN_ALBUM_GAIN" in tags or "R128_ALBUM_GAIN" in tags
        if track and (whole or not as_album):
            out[path] = tags
    return out


def _measure(path: str) -> sonorik_meter.Measurement | Exception:
    try:
        return sonorik_meter.measure(path)
    except Exception as e:  # noqa: BLE001 - every failure is reported per file
        return e


def _write(path: str, g: sonorik_meter.GainRecord) -> Exception | None:
    try:
        sonorik_meter.write_gain_tags(path, g.tags, opus_header_gain=g.opus_header_gain)
        return None
    except Exception as e:  # noqa: BLE001
        return e


def _tags_text(tags: dict[str, str]) -> str:
    return "; ".join(f"{k}={v}" for k, v in tags.items())


def _record(path: str, g: sonorik_meter.GainRecord, action: str) -> reports.Record:
    return {"file": path, "format": g.format, "action": action,
            "integrated_lufs": g.integrated_lufs, "track_gain_db": g.track_gain_db,
            "track_peak": g.track_peak, "album_lufs": g.album_lufs,
            "album_gain_db": g.album_gain_db, "album_peak": g.album_peak,
            "reference_lufs": g.reference_lufs, "peak": "sample" if g.sample_peak else "true",
            "opus_header_gain": g.opus_header_gain, "tags": _tags_text(g.tags)}


def _tagged_record(path: str, tags: dict[str, str]) -> reports.Record:
    return {"file": path, "format": None, "action": "already tagged",
            **{c: None for c in COLUMNS[3:-1]}, "tags": _tags_text(tags)}


def _peak(value: float | None) -> str:
    return "-" if value is None or math.isnan(value) else f"{value:.6f}"


def _table_row(r: reports.Record) -> list[str]:
    return [terminal.shown(r["file"]), r["action"], terminal.level(r["integrated_lufs"]),
            terminal.level(r["track_gain_db"]), _peak(r["track_peak"]),
            terminal.level(r["album_gain_db"]), _peak(r["album_peak"])]
