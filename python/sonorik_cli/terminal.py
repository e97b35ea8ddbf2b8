"""What the command shows a person: names made safe to print, failure and
usage messages on standard error, levels, durations and aligned tables."""

from __future__ import annotations

import math
import sys
from collections.abc import Sequence

PROG = "sonorik"


def shown(text: str) -> str:
    """`text` with control and other unprintable characters escaped, so that a
    file name cannot break a line of the table or drive the terminal."""
    if text.isprintable():
        return text
    return "".join(c if c.isprintable() else c.encode("unicode_escape").decode("ascii")
                   for c in text)


def reason(e: BaseException, path: str) -> str:
    """The reason of a failure, without the path that every message line
    already starts with."""
    if isinstance(e, OSError) and e.strerror:
        return e.strerror
    text = str(e) or type(e).__name__
    suffix = f": {path!r}"
    return text[:-len(suffix)] if text.endswith(suffix) else text


def fail(path: str, message: str) -> None:
    """One line on standard error: "sonorik: PATH: MESSAGE"."""
    print(f"{PROG}: {shown(path)}: {shown(message)}", file=sys.stderr, flush=True)


def usage_error(command: str, message: str) -> int:
    """Says what is wrong with the command line; returns the usage status, 2."""
    print(f"{PROG} {command}: error: {message}", file=sys.stderr, flush=True)
    return 2


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
