"""Working through many files: N at a time in threads, in input order, with a
progress bar on a terminal; and the --jobs option shared by the commands."""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Callable
from concurrent.futures import ThreadPoolExecutor
from typing import TypeVar

T = TypeVar("T")


def default_jobs() -> int:
    """One job per core this process may run on."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count() or 1


def add_jobs_option(parser: argparse.ArgumentParser, verb: str) -> None:
    """-j/--jobs N: `verb` N files at once (default: one per core)."""
    parser.add_argument("-j", "--jobs", type=_jobs, default=default_jobs(), metavar="N",
                        help=f"{verb} N files at once (default: one per core, %(default)s here)")


def _jobs(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1 (got {value})")
    return value


def run_all(paths: list[str], jobs: int, work: Callable[[str], T]) -> list[T]:
    """work(path) for every path, in the order of `paths`, `jobs` at a time in
    threads (the library releases the interpreter lock while it reads and
    measures), with a progress bar on standard error when it is a terminal
    and there is more than one path. When an exception (KeyboardInterrupt)
    ends the wait, paths not yet started are dropped; calls into the library
    under way in threads stop at their next block on the same signal."""
    from tqdm import tqdm  # type: ignore[import-untyped,unused-ignore]

    show = len(paths) > 1 and sys.stderr.isatty()
    with tqdm(total=len(paths), unit="file", file=sys.stderr, disable=not show,
              leave=False, dynamic_ncols=True) as bar:
        def one(path: str) -> T:
            outcome = work(path)
            bar.update(1)
            return outcome
        if jobs <= 1 or len(paths) <= 1:
            return [one(p) for p in paths]
        pool = ThreadPoolExecutor(max_workers=min(jobs, len(paths)))
        try:
            return list(pool.map(one, paths))
        finally:
            pool.shutdown(wait=True, cancel_futures=True)
