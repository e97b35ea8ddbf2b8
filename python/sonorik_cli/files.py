"""Finding the audio files the command's arguments name, and saying which
media files of a directory are skipped because they cannot be read."""

from __future__ import annotations

import os
import stat
from collections.abc import Sequence
from dataclasses import dataclass, field

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
    directory (a file there that cannot be opened is skipped, not failed);
    and how many paths failed and media files were skipped while finding."""
    files: list[str] = field(default_factory=list)
    scanned: set[str] = field(default_factory=set)
    failed: int = 0
    skipped: int = 0


def audio_files(root: str) -> list[str]:
    """Every file below the directory `root` whose extension is one the reader
    handles, sorted by path component by component as bytes ("dir/a/x.wav"
    before "dir/a.wav"). Directory links are followed, except back into a
    directory on the current path. Raises OSError when `root` cannot be
    searched."""
    return sonorik_meter.find_audio_files(root)


def scan(root: str, found: Found) -> None:
    """Adds the audio files below the directory `root` to `found`, and
    reports each media file there the reader does not handle as skipped.
    Raises OSError (ValueError for a NUL in the name) when `root` cannot be
    searched."""
    files = audio_files(root)
    found.files.extend(files)
    found.scanned.update(files)
    for path in unreadable_media(root):
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
    """Reports that handling `path` failed with `e`: a file found in a
    directory that cannot even be opened is skipped (counted in
    found.skipped), anything else a failure (found.failed)."""
    if path in found.scanned:
        try:
            sonorik_meter.info(path)
        except (OSError, ValueError) as opening:
            terminal.skipped(path, f"cannot be opened: {terminal.reason(opening, path)}")
            found.skipped += 1
            return
    terminal.failure(e, path)
    found.failed += 1


def _extension(path: str) -> str:
    return os.path.splitext(path)[1][1:].lower()


def unreadable_media(root: str) -> list[str]:
    """The files below `root` whose extension is in MEDIA_EXTENSIONS but not
    one the reader handles (each directory's files, then its directories,
    sorted as bytes); links followed as audio_files() follows them. Directories that cannot be read are passed over (audio_files
    reports them)."""
    handled = set(sonorik_meter.extensions())
    wanted = MEDIA_EXTENSIONS - handled
    out: list[str] = []
    try:
        top = os.stat(root)
    except OSError:
        return out
    # Depth first, each directory's entries sorted as bytes; the identities
    # of the directories on the current path stop a link from looping.
    stack: list[tuple[str, frozenset[tuple[int, int]]]] = [
        (root, frozenset({(top.st_dev, top.st_ino)}))]
    while stack:
        directory, above = stack.pop()
        try:
            with os.scandir(directory) as it:
                entries = sorted(it, key=lambda e: os.fsencode(e.name))
        except OSError:
            continue
        below = []
        for entry in entries:
            try:
                if entry.is_dir():
                    st = entry.stat()
                    key = (st.st_dev, st.st_ino)
                    if key not in above:
                        below.append((entry.path, above | {key}))
                elif _extension(entry.name) in wanted:
                    out.append(entry.path)
            except OSError:
                continue
        stack.extend(reversed(below))
    return out
