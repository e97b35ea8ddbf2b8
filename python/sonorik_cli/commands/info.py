"""`sonorik info`: each file's format, length and channel layout, without
measuring it."""

from __future__ import annotations

import argparse
import sys
from typing import Any

import sonorik_meter

from sonorik_cli import terminal

EPILOG = """\
Columns: format (container and encoding, e.g. WAV PCM_24, FLAC PCM_16), sample
rate in Hz, channels, frames (samples per channel) and duration as the file
declares them (hh:mm:ss.sss and seconds), and the channel layout used for
loudness weighting.

examples:
  sonorik info take1.wav take2.flac

""" + terminal.status_epilog()


def add_parser(commands: Any) -> argparse.ArgumentParser:
    i: argparse.ArgumentParser = commands.add_parser(
        "info", formatter_class=argparse.RawDescriptionHelpFormatter, epilog=EPILOG,
        help="show file information",
        description="Show the format, length and channel layout of audio files.")
    i.add_argument("files", nargs="+", metavar="FILE", help="audio file")
    i.set_defaults(run=run)
    return i


def run(args: argparse.Namespace) -> int:
    rows = []
    failed = 0
    for path in args.files:
        try:
            info = sonorik_meter.info(path)
        except (OSError, ValueError) as e:
            terminal.fail(path, terminal.reason(e, path))
            failed += 1
            continue
        rows.append([terminal.shown(path), info.format, str(info.rate_hz), str(info.channels),
                     str(info.frames), terminal.duration(info.duration_s),
                     f"{info.duration_s:.3f}", " ".join(info.channel_map)])
    if rows:
        headers = [["File", "Format", "Rate", "Ch", "Frames", "Duration", "Seconds", "Layout"],
                   ["", "", "Hz", "", "", "", "", ""]]
        sys.stdout.write(terminal.table(headers, rows, [False, False] + [True] * 5 + [False]))
    return 1 if failed else 0
