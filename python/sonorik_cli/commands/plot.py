"""`sonorik plot`: a picture of each file's loudness over time, drawn by
sonorik_meter.plot from a measurement taken with series=True. matplotlib is
imported only here, and only when the command runs; without it the command
says how to install it and exits with status 2."""

from __future__ import annotations

import argparse
import contextlib
import errno
import math
import os
import tempfile
import threading
from typing import Any

import sonorik_meter

from sonorik_cli import terminal
from sonorik_cli.files import add_stream_option, expand, report_failure

INSTALL_HINT = ('plot needs matplotlib, which is not installed: pip install "sonorik[plot]" '
                "(or pip install matplotlib)")
PICTURE_FORMATS = ("png", "svg")

EPILOG = """\
Each picture shows momentary (400 ms) and short-term (3 s) loudness against
time (m:ss), the integrated loudness as a line, the loudness range as a band
between its 10th and 95th percentiles, the 100 ms steps whose true peak passes
--ceiling as red marks along the top, and, with --target, the target line and
its band of +-tolerance. The title holds the file name and the summary values
(LUFS, LU, dBTP). Digital silence and the first 400 ms / 3 s, where a window is
not yet full, are gaps. Long files are drawn at one point per pixel column
(the column's maximum).

With one FILE, OUT is the picture (PNG or SVG by its extension). With several
files, or a directory among the inputs, OUT is a directory (created if
missing) that receives one picture per file, named after the file
(song.flac -> song.flac.png).

Needs matplotlib: pip install "sonorik[plot]".

examples:
  sonorik plot mix.flac -o mix.png
  sonorik plot --target -23 --ceiling -1 episode.wav -o episode.svg
  sonorik plot album/ -o graphs/

Without matplotlib the command exits with status 2.

""" + terminal.status_epilog()


def _number(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"not a finite number: {text!r}")
    return value


def _pixels(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if not 100 <= value <= 20000:
        raise argparse.ArgumentTypeError(f"must be between 100 and 20000 pixels (got {value})")
    return value


def add_parser(commands: Any) -> argparse.ArgumentParser:
    p: argparse.ArgumentParser = commands.add_parser(
        "plot", formatter_class=argparse.RawDescriptionHelpFormatter, epilog=EPILOG,
        help="draw loudness over time (PNG or SVG)",
        description="Draw the loudness of audio files over time.")
    p.add_argument("paths", nargs="+", metavar="FILE", help="audio file or directory")
    p.add_argument("-o", "--output", required=True, metavar="OUT",
                   help="picture (.png or .svg) or, for several files, a directory")
    p.add_argument("--target", type=_number, metavar="LUFS", help="draw a target line at LUFS")
    p.add_argument("--tolerance", type=_number, default=1.0, metavar="LU",
                   help="half-width of the target band (default %(default)s LU)")
    p.add_argument("--ceiling", type=_number, default=-1.0, metavar="DBTP",
                   help="mark true peaks above DBTP (default %(default)s dBTP)")
    p.add_argument("--picture-format", choices=PICTURE_FORMATS, default="png",
                   help="format of the pictures written into a directory (default png)")
    p.add_argument("--width", type=_pixels, default=1200, metavar="PX", help="default 1200")
    p.add_argument("--height", type=_pixels, default=500, metavar="PX", help="default 500")
    add_stream_option(p)
    p.set_defaults(run=run)
    return p


def run(args: argparse.Namespace) -> int:
    try:
        import matplotlib  # noqa: F401 - only to say how to install it when missing
    except ImportError:
        return terminal.usage_error("plot", INSTALL_HINT)

    out: str = args.output
    many = len(args.paths) > 1 or os.path.isdir(out) or out.endswith(os.sep)
    if not many and _extension(out) not in PICTURE_FORMATS:
        return terminal.usage_error(
            "plot", f"OUT must end in .png or .svg, or be a directory (got {out!r})")
    found = expand(args.paths)
    files = found.files
    if len(files) > 1:
        many = True
    if many:
        try:
            os.makedirs(out, exist_ok=True)
        except OSError as e:
            terminal.failure(e, out)
            return terminal.FAILED
    targets = _pictures(files, out, args.picture_format) if many else [out] * len(files)
    loader = threading.Thread(target=_load_drawing, daemon=True)
    loader.start()
    for path, target in zip(files, targets):
        try:
            m = sonorik_meter.measure(path, series=True, stream=args.stream)
            loader.join()
            _draw(m, target, name=_title(path), target_lufs=args.target,
                  tolerance_lu=args.tolerance, ceiling_dbtp=args.ceiling,
                  width_px=args.width, height_px=args.height)
        except Exception as e:  # noqa: BLE001 - every failure is reported per file
            report_failure(path, e, found)
            continue
        args.finished.append(target)
        print(f"wrote {terminal.shown(target)}", flush=True)
    return terminal.status(found.failed, found.skipped)


def _title(path: str) -> str:
    """The file's name as the picture's title shows it (a byte that is not
    UTF-8 as \\xNN)."""
    return terminal.shown(os.path.basename(path))


def _draw(m: sonorik_meter.Measurement, target: str, **options: Any) -> None:
    """Draws `m` into a temporary file beside `target` that then replaces
    it, so an interrupted drawing leaves no half picture. Raises OSError
    naming `target` when its folder does not exist."""
    folder = os.path.dirname(target) or "."
    if not os.path.isdir(folder):
        raise FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), target)
    fd, temporary = tempfile.mkstemp(prefix=".sonorik-", suffix=".tmp." + _extension(target),
                                     dir=folder)
    os.close(fd)
    try:
        sonorik_meter.plot(m, temporary, **options)
        mask = os.umask(0o22)
        os.umask(mask)
        os.chmod(temporary, 0o666 & ~mask)
        os.replace(temporary, target)
    except BaseException as e:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        if isinstance(e, OSError) and e.filename == temporary:
            e.filename = target  # the picture the user asked for is what failed
        raise


def _extension(path: str) -> str:
    return os.path.splitext(path)[1][1:].lower()


def _pictures(files: list[str], out: str, fmt: str) -> list[str]:
    """One picture per file in the directory `out`: the file's name plus the
    picture's extension, numbered when two files share a name."""
    taken: set[str] = set()
    names = []
    for path in files:
        base = os.path.basename(path.rstrip(os.sep)) or "audio"
        name, n = f"{base}.{fmt}", 1
        while name in taken:
            n += 1
            name = f"{base}-{n}.{fmt}"
        taken.add(name)
        names.append(os.path.join(out, name))
    return names


def _load_drawing() -> None:
    """Imports what drawing needs. Run beside the first measurement, which
    leaves the interpreter free; a failure is reported by the drawing's own
    import."""
    try:
        import matplotlib.backends.backend_agg  # noqa: F401
        import matplotlib.figure  # noqa: F401
        import matplotlib.ticker  # noqa: F401
    except Exception:  # noqa: BLE001, S110
        pass
