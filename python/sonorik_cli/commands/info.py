"""`sonorik info`: each file's format, length and channel layout, without
measuring it."""

from __future__ import annotations

import argparse
import sys
from typing import Any

import sonorik_meter

from sonorik_cli import terminal
from sonorik_cli.files import add_stream_option

EPILOG = """\
Columns: format (container and encoding, e.g. WAV PCM_24, FLAC PCM_16), sample
rate in Hz, channels, frames (samples per channel) and duration as the file
declares them (hh:mm:ss.sss and seconds), and the channel layout used for
loudness weighting. For a video or AAC container (MP4, M4A, MKV, WebM, ...,
read through PyAV: pip install "sonorik[video]") the row describes the audio
stream --stream N (default: the one marked default), and when the file holds
more than one audio stream, or tags its language, a row per audio stream
follows: "  #N LANGUAGE", its codec, rate, channels, duration and layout
("*" marks the default stream).

examples:
  sonorik info take1.wav take2.flac
  sonorik info --stream 1 film.mkv

""" + terminal.status_epilog()


def add_parser(commands: Any) -> argparse.ArgumentParser:
    i: argparse.ArgumentParser = commands.add_parser(
        "info", formatter_class=argparse.RawDescriptionHelpFormatter, epilog=EPILOG,
        help="show file information",
        description="Show the format, length and channel layout of audio files.")
    i.add_argument("files", nargs="+", metavar="FILE", help="audio file")
    add_stream_option(i)
    i.set_defaults(run=run)
    return i


def run(args: argparse.Namespace) -> int:
    rows = []
    failed = 0
    for path in args.files:
        try:
            info = sonorik_meter.info(path, stream=args.stream)
        except (OSError, ValueError, ImportError) as e:
            terminal.fail(path, terminal.reason(e, path))
            failed += 1
            continue
        rows.append([terminal.shown(path), info.format, str(info.rate_hz), str(info.channels),
                     str(info.frames), terminal.duration(info.duration_s),
                     f"{info.duration_s:.3f}", " ".join(info.channel_map)])
        if len(info.streams) > 1 or any(s.language for s in info.streams):
            rows.extend(_stream_row(s) for s in info.streams)
    if rows:
        headers = [["File", "Format", "Rate", "Ch", "Frames", "Duration", "Seconds", "Layout"],
                   ["", "", "Hz", "", "", "", "", ""]]
        sys.stdout.write(terminal.table(headers, rows, [False, False] + [True] * 5 + [False]))
    return 1 if failed else 0


def _stream_row(s: sonorik_meter.AudioStream) -> list[str]:
    """A row for one audio stream of a container, under its file's row."""
    seconds = s.duration_s
    return [f"  #{s.index}{'*' if s.default else ''} {s.language or ''}".rstrip(), s.codec,
            str(s.rate_hz), str(s.channels), "",
            terminal.duration(seconds) if seconds is not None else "",
            f"{seconds:.3f}" if seconds is not None else "", " ".join(s.channel_map)]
