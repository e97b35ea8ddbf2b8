"""What the command shows a person: names made safe to print, failure, skip
and usage messages on standard error, the exit statuses, levels, durations
and aligned tables."""

from __future__ import annotations

import errno
import math
import os
import sys
from collections.abc import Sequence

PROG = "sonorik"

# Exit statuses. A run that has several of them ends with the first that
# applies: FAILED, then SKIPPED, then CAPPED.
DONE = 0  # every file handled
FAILED = 1  # at least one file or path failed
USAGE = 2  # the command line is wrong (argparse's own status)
SKIPPED = 3  # a directory held media files that cannot be read; the rest done
CAPPED = 4  # normalize: a target not reached because of the true-peak ceiling
SIGINT_STATUS = 130  # interrupted by SIGINT (Ctrl-C)
SIGTERM_STATUS = 143  # stopped by SIGTERM



def status_epilog(capped: bool = False) -> str:
    """The exit statuses, as the commands' --help ends; `capped` adds
    normalize's status 4."""
    lines = ["exit status:",
             "  0    all done",
             "  1    some file or path failed",
             "  2    usage error",
             "  3    files of a directory skipped (media sonorik cannot read), the rest done"]
    if capped:
        lines.append("  4    all written, but the ceiling kept a file below its target (\"capped\")")
    lines += ["  130  interrupted by SIGINT (Ctrl-C); 143 stopped by SIGTERM",
              f"  with several, the first of 1, 3{', 4' if capped else ''} is given"]
    return "\n".join(lines) + "\n"


def status(failed: int, skipped: int = 0, capped: int = 0) -> int:
    """The exit status of a run that had `failed` failures, `skipped` skipped
    files and `capped` normalisations held back by the ceiling."""
    if failed:
        return FAILED
    if skipped:
        return SKIPPED
    return CAPPED if capped else DONE


def shown(text: str) -> str:
    """`text` with control and other unprintable characters escaped, so that a
    file name cannot break a line of the table or drive the terminal; a byte
    of a name that is not UTF-8 shows as \\xNN."""
    if text.isprintable():
        return text
    return "".join(_shown_char(c) for c in text)


def _shown_char(c: str) -> str:
    if c.isprintable():
        return c
    code = ord(c)
    if 0xDC80 <= code <= 0xDCFF:  # a byte that is not UTF-8, as os.fsdecode keeps it
        return f"\\x{code - 0xDC00:02x}"
    return c.encode("unicode_escape", "backslashreplace").decode("ascii")


def reason(e: BaseException, path: str) -> str:
    """The reason of a failure, without the path that every message line
    already starts with."""
    if isinstance(e, OSError) and e.strerror:
        return e.strerror
    text = str(e) or type(e).__name__
    suffix = f": {path!r}"
    return text[:-len(suffix)] if text.endswith(suffix) else text


def failed_path(e: BaseException, path: str) -> str:
    """The path a failure is about: the file the OSError names (the output,
    when writing it failed), else `path`."""
    name = getattr(e, "filename", None) if isinstance(e, OSError) else None
    return os.fsdecode(name) if isinstance(name, (str, bytes)) else path


def failure(e: BaseException, path: str) -> None:
    """One line for a failure while handling `path`: "sonorik: PATH: REASON",
    PATH being the file that failed (an output the OS refused names the
    output), a missing folder said in plain words."""
    where = failed_path(e, path)
    message = reason(e, where)
    if isinstance(e, OSError) and e.errno == errno.ENOENT and where != path:
        folder = os.path.dirname(where)
        if folder and not os.path.isdir(folder):
            message = f"cannot write it: the folder {shown(folder)} does not exist"
    fail(where, message)


def fail(path: str, message: str) -> None:
    """One line on standard error: "sonorik: PATH: MESSAGE"."""
    print(f"{PROG}: {shown(path)}: {shown(message)}", file=sys.stderr, flush=True)


def skipped(path: str, why: str) -> None:
    """One line on standard error: "sonorik: PATH: skipped: WHY"."""
    fail(path, f"skipped: {why}")


def usage_error(command: str, message: str) -> int:
    """Says what is wrong with the command line; returns the usage status, 2."""
    print(f"{PROG} {command}: error: {message}", file=sys.stderr, flush=True)
    return USAGE


def interrupted(signal_name: str, finished: Sequence[str]) -> None:
    """Says that a run was stopped by `signal_name` and lists the files it had
    finished writing: one line "sonorik: finished: PATH" each."""
    count = f"{len(finished)} file{'s' if len(finished) != 1 else ''} finished before it"
    print(f"{PROG}: interrupted by {signal_name}; {count if finished else 'nothing written'}",
          file=sys.stderr)
    for path in finished:
        print(f"{PROG}: finished: {shown(path)}", file=sys.stderr)
    sys.stderr.flush()


def level(value: float | None) -> str:
    """A level with two decimals; "-" for an undefined one, "-inf" / "inf"."""
    if value is None:
        return "-"
    return str(value) if math.isinf(value) else f"{value:.2f}"


def duration(seconds: float) -> str:
    """hh:mm:ss.sss"""
    minutes, secs = divmod(seconds, 60.0)
    hours, minutes = divmod(int(minutes), 60)
    return f"{hours:02d}:{minutes:02d}:{secs:06.3f}"


def table(headers: Sequence[Sequence[str]], rows: Sequence[Sequence[str]],
          right: Sequence[bool]) -> str:
    """Columns two spaces apart, each as wide as its widest cell, right-aligned
    where `right` says so; the header rows come first."""
    lines = [*headers, *rows]
    widths = [max(len(cells[i]) for cells in lines) for i in range(len(right))]
    out = []
    for cells in lines:
        parts = [c.rjust(w) if r else c.ljust(w) for c, w, r in zip(cells, widths, right)]
        out.append("  ".join(parts).rstrip())
    return "\n".join(out) + "\n"
