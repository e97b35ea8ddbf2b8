"""Finding the audio files the command's arguments name, and saying which
media files of a directory are skipped because they cannot be read."""

from __future__ import annotations

import argparse
import os
import stat
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Any

import sonorik_meter

from sonorik_cli import terminal

# Extensions of audio and video files a person expects a loudness tool to
# look at. Those the reader does not handle (sonorik_meter.extensions()) are
# listed as skipped when a directory holds them.
MEDIA_EXTENSIONS = frozenset((
    "3gp", "aac", "ac3", "aif", "aifc", "aiff", "alac", "amr", "ape", "asf", "au", "avi", "caf",
    "dts", "eac3", "f4a", "f4v", "flac", "flv", "m2ts", "m4a", "m4b", "m4p", "m4v", "mka",
    "mkv", "mov", "mp1", "mp2", "mp3", "mp4", "mpc", "mpeg", "mpg", "mts", "mxf", "oga", "ogg",
    "ogv", "opus", "ra", "rf64", "rm", "shn", "spx", "ts", "tta", "vob", "w64", "wav", "weba",
    "webm", "wma", "wmv", "wv",
))


@dataclass
class Found:
    """The files to work on, in order; which of them were found in a
    directory; and how many paths failed and media files were skipped while
    finding."""
    files: list[str] = field(default_factory=list)
    failed: int = 0
    skipped: int = 0


def media_files(root: str) -> tuple[list[str], list[str]]:
    """The files below the directory `root` the reader handles (by extension),
    and those with a media extension it does not handle, each list sorted by
    path component by component as bytes ("dir/a/x.wav" before "dir/a.wav").
    Directory links are followed, except back into a directory on the current
    path. Raises OSError when `root` cannot be searched."""
    handled = frozenset(sonorik_meter.extensions())
    everything = sonorik_meter.find_audio_files(root, extensions=sorted(MEDIA_EXTENSIONS | handled))
    readable = [p for p in everything if _extension(p) in handled]
    return readable, [p for p in everything if _extension(p) not in handled]


def scan(root: str, found: Found) -> None:
    """Adds the audio files below the directory `root` to `found`, and
    reports each media file there the reader does not handle as skipped.
    Raises OSError (ValueError for a NUL in the name) when `root` cannot be
    searched."""
    files, unreadable = media_files(root)
    found.files.extend(files)
    for path in unreadable:
        terminal.skipped(path, f".{_extension(path)} files are not read by sonorik")
        found.skipped += 1
    if not files and not found.skipped:
        terminal.fail(root, "no audio files found")
        found.failed += 1


def expand(paths: Sequence[str]) -> Found:
    """The audio files named by `paths` (a file as given, whatever its name;
    directories searched recursively); each path that could not be searched
    or held no audio file, and each media file skipped, reported on standard
    error and counted."""
    found = Found()
    for path in paths:
        try:
            if stat.S_ISDIR(os.stat(path).st_mode):
                scan(path, found)
            else:
                found.files.append(path)
        except (OSError, ValueError) as e:
            terminal.fail(path, terminal.reason(e, path))
            found.failed += 1
    return found


def report_failure(path: str, e: BaseException, found: Found) -> None:
    """Reports that handling `path` failed with `e`. A file of a format the
    reader handles that cannot be read is damaged or not what its name says:
    a failure, never a skip."""
    terminal.failure(e, path)
    found.failed += 1


def add_stream_option(parser: argparse.ArgumentParser) -> None:
    """Adds --stream N: which audio stream of a video or AAC container to read."""
    parser.add_argument(
        "--stream", type=_stream, metavar="N",
        help="audio stream N of video and AAC containers, counted among the audio streams "
             "from 0 (default: the one marked default, else the first); `sonorik info` "
             "lists them")


def _stream(text: str) -> int:
    try:
        n = int(text)
    except ValueError:
        n = -1
    if n < 0:
        raise argparse.ArgumentTypeError(f"not an audio stream number (0, 1, ...): {text!r}")
    return n


def _extension(path: str) -> str:
    return os.path.splitext(path)[1][1:].lower()


def identity(path: str) -> tuple[Any, ...]:
    """What tells files apart: device and inode of a file that exists (one
    file under two names is one file), else its resolved path."""
    try:
        st = os.stat(path)
    except OSError:
        return ("path", os.path.realpath(path))
    return ("file", st.st_dev, st.st_ino)
