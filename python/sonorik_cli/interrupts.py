"""Stopping on SIGINT and SIGTERM. SIGINT is the interpreter's own
KeyboardInterrupt; sigterm_interrupts() makes SIGTERM raise Terminated, a
kind of KeyboardInterrupt, in the main thread. sonorik_meter stops its calls
at their next block on either signal and commits nothing, and the command
ends the same way for both (exit status 130 or 143, the files finished
listed)."""

from __future__ import annotations

import contextlib
import signal
import threading
from collections.abc import Iterator
from types import FrameType

from sonorik_cli import terminal


class Terminated(KeyboardInterrupt):
    """SIGTERM arrived."""


def _on_sigterm(signum: int, frame: FrameType | None) -> None:
    raise Terminated()


@contextlib.contextmanager
def sigterm_interrupts() -> Iterator[None]:
    """While the block runs, SIGTERM raises Terminated in the main thread;
    the handler that was there is put back after it. Nothing changes off the
    main thread, or when the process was started with SIGTERM ignored."""
    if (threading.current_thread() is not threading.main_thread()
            or signal.getsignal(signal.SIGTERM) is signal.SIG_IGN):
        yield
        return
    previous = signal.signal(signal.SIGTERM, _on_sigterm)
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, previous)


def name(e: KeyboardInterrupt) -> str:
    return "SIGTERM" if isinstance(e, Terminated) else "SIGINT"


def status(e: KeyboardInterrupt) -> int:
    return terminal.SIGTERM_STATUS if isinstance(e, Terminated) else terminal.SIGINT_STATUS
