"""The `sonorik` command's parser and dispatch: `sonorik analyze | normalize |
info | plot | tag | check`, each command a module of sonorik_cli.commands.

Exit status (terminal.py): 0 when every file was handled, 1 when at least one
failed (each failure is one line "sonorik: {path}: {message}" on standard
error), 2 for a usage error, 3 when files of a directory were skipped, 4 when
normalize could not reach a target because of the ceiling, 130 on SIGINT and
143 on SIGTERM (the files finished before it listed on standard error).
`check` gives its verdicts its own way: 1 when a file fails a limit, 2 when one
cannot be checked (see its --help).
Standard output carries only the command's results.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import sys
from collections.abc import Sequence

import sonorik_meter

from sonorik_cli import interrupts, terminal
from sonorik_cli.commands import analyze, info, normalize, plot, series, tag
from sonorik_cli.commands import check
from sonorik_cli.terminal import PROG


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG, formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Loudness (EBU R 128 / ITU-R BS.1770), true peak and RMS of audio files.",
        epilog="Run 'sonorik COMMAND --help' for each command's options and examples.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {sonorik_meter.__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    series.add_options(analyze.add_parser(commands))
    normalize.add_parser(commands)
    info.add_parser(commands)
    plot.add_parser(commands)
    tag.add_parser(commands)
    check.add_parser(commands)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    with interrupts.sigterm_interrupts():
        return _main(argv)


def _main(argv: Sequence[str] | None) -> int:
    for stream in (sys.stdout, sys.stderr):
        # A name no encoding of the terminal can show never stops the run.
        if hasattr(stream, "reconfigure"):
            stream.reconfigure(errors="backslashreplace")
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.command is None:
        parser.print_help(sys.stderr)
        return terminal.USAGE
    run = series.run if args.command == "analyze" and args.series else args.run
    args.finished = []  # what the command has written so far, for an interrupt to list
    try:
        status: int = run(args)
        return status
    except KeyboardInterrupt as e:  # SIGINT, or SIGTERM as interrupts.Terminated
        terminal.interrupted(interrupts.name(e), args.finished)
        return interrupts.status(e)
    except BrokenPipeError:
        # The reader went away (`sonorik analyze dir | head`): not an error of ours.
        with contextlib.suppress(OSError):
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0


if __name__ == "__main__":
    sys.exit(main())
