"""Finding the audio files the command's arguments name."""

from __future__ import annotations

import os
import stat
from collections.abc import Sequence

import sonorik_meter

from sonorik_cli.terminal import fail, reason


def audio_files(root: str) -> list[str]:
    """Every file below the directory `root` whose extension is one the reader
    handles, sorted by path component by component as bytes ("dir/a/x.wav"
    before "dir/a.wav"). Directory links are followed, except back into a
    directory on the current path. Raises OSError when `root` cannot be
    searched."""
    return sonorik_meter.find_audio_files(root)


def expand(paths: Sequence[str]) -> tuple[list[str], int]:
    """The audio files named by `paths` (a file as given, whatever its name;
    directories searched recursively), and the number of paths that could not
    be searched or held no audio file (each reported on standard error)."""
    files: list[str] = []
    failed = 0
    for path in paths:
        try:
            found = audio_files(path) if stat.S_ISDIR(os.stat(path).st_mode) else [path]
        except (OSError, ValueError) as e:
            fail(path, reason(e, path))
            failed += 1
            continue
        if not found:
            fail(path, "no audio files found")
            failed += 1
        files.extend(found)
    return files, failed
