"""`sonorik analyze --album`: each directory named is one album. Its files are
measured and listed as usual, then one album row follows them: integrated
loudness and loudness range over the files' gating blocks and short-term
readings pooled (as if the files were played one after the other in path
order), and the largest true peak and sample peak. The row's format is
"album" and its file the directory; measures not defined for an album are
left undefined. An album with a file that could not be measured gets no row."""

from __future__ import annotations

import argparse
import os
import stat
from collections.abc import Iterator, Sequence
from typing import Any

import sonorik_meter

from sonorik_cli.terminal import fail, reason

# The measures of `analyze` an album has, under the same names (the others are
# not defined for an album).
ALBUM_MEASURES = frozenset({"integrated_lufs", "loudness_range_lu", "true_peak_dbtp",
                            "sample_peak_dbfs"})


def add_album_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--album", action="store_true",
                        help="treat each directory PATH as one album: add an album row after its files")


def groups(paths: Sequence[str], by_directory: bool) -> Iterator[tuple[str | None, list[str]]]:
    """(album directory or None, the paths to measure): with `by_directory`
    one group per path, a directory being an album; else all paths at once."""
    if not by_directory:
        yield None, list(paths)
        return
    for path in paths:
        try:
            is_dir = stat.S_ISDIR(os.stat(path).st_mode)
        except (OSError, ValueError):
            is_dir = False  # expand() reports it
        yield (path if is_dir else None), [path]


def album_record(directory: str, measurements: Sequence[sonorik_meter.Measurement], files: int,
                 chosen: Sequence[tuple[str, Any, Any, Any, Any]]) -> dict[str, Any] | None:
    """The album row of `measurements` (those of the `files` files of
    `directory` that were measured, in order), or None (reported on standard
    error) when some file failed or the album cannot be measured."""
    if len(measurements) < files:
        fail(directory, f"album not measured: {files - len(measurements)} of its {files} files failed")
        return None
    try:
        album = sonorik_meter.measure_album(measurements)
    except (ValueError, TypeError) as e:
        fail(directory, "album not measured: " + reason(e, directory))
        return None
    rates = {m.rate_hz for m in measurements}
    channels = {m.channels for m in measurements}
    return {"file": directory, "channel": None, "channel_name": None, "format": "album",
            "rate_hz": rates.pop() if len(rates) == 1 else None,
            "channels": channels.pop() if len(channels) == 1 else None,
            "duration_s": album.duration_s,
            **{name: getattr(album, name) if name in ALBUM_MEASURES else None
               for name, *_ in chosen}}
