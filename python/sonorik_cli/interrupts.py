"""Stopping on SIGINT and SIGTERM. SIGINT is the interpreter's own
KeyboardInterrupt; install() makes SIGTERM raise Terminated, a kind of
KeyboardInterrupt, in the main thread, so sonorik_meter stops a call running
there at its next block and commits nothing, and the command ends the same
way for both (exit status 130 or 143)."""

from __future__ import annotations

import signal
import threading
from types import FrameType

from sonorik_cli import terminal


class Terminated(KeyboardInterrupt):
    """SIGTERM arrived."""


def _on_sigterm(signum: int, frame: FrameType | None) -> None:
    raise Terminated()


def install() -> None:
    """SIGTERM raises Terminated in the main thread from now on, unless the
    process was started with SIGTERM ignored."""
    if threading.current_thread() is not threading.main_thread():
        return
    if signal.getsignal(signal.SIGTERM) is signal.SIG_IGN:
        return
    signal.signal(signal.SIGTERM, _on_sigterm)


def name(e: KeyboardInterrupt) -> str:
    return "SIGTERM" if isinstance(e, Terminated) else "SIGINT"


def status(e: KeyboardInterrupt) -> int:
    return terminal.SIGTERM_STATUS if isinstance(e, Terminated) else terminal.SIGINT_STATUS
