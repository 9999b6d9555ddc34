"""What the commands share: one-line errors, exit statuses and the import path.

This module is on the worker's path for every job, so it imports nothing
beyond what the interpreter has loaded at start-up; the argument parser
lives in `_parser`.
"""

from __future__ import annotations

import os
import sys

# `typing` costs milliseconds per worker; only type checkers need NoReturn.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import NoReturn

# Exit statuses shared by the commands.
FAILED = 1
USAGE = 2
# A command stopped by SIGINT exits as a shell reports a process killed by it.
INTERRUPTED = 130


def fail(prog: str, message: str, status: int) -> NoReturn:
    """Ends the command with `prog: error: message` on standard error."""
    say(f"{prog}: error: {message}")
    raise SystemExit(status)


def say(line: str) -> None:
    """Writes one line of the command's own to standard error, after whatever was printed before it.

    User code may leave anything in sys.stdout and sys.stderr (a StringIO,
    None); the command's own lines go to the streams the interpreter
    started with.
    """
    flush_streams()
    stderr = sys.__stderr__
    if stderr is not None:
        stderr.write(line + "\n")
        stderr.flush()


def flush_streams() -> None:
    """Flushes what was printed so far, to the streams user code left in place and to the original ones."""
    for stream in (sys.stdout, sys.stderr, sys.__stdout__, sys.__stderr__):
        try:
            stream.flush()
        except Exception:
            pass  # replaced by something that cannot flush, or closed


def drop_stdout() -> None:
    """Sends the rest of standard output nowhere, once its reader has gone (`... | head`).

    Whatever the command still prints, and the interpreter's last flush at
    exit, then succeed quietly instead of raising BrokenPipeError again.
    """
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
    except OSError:
        return
    os.dup2(devnull, sys.stdout.fileno())
    os.close(devnull)


def exception_text(error: BaseException) -> str:
    """An exception as one line: its type's qualified name, then its message."""
    return f"{type(error).__qualname__}: {error}"


# How much of an error the lines, the report page and the run history keep: its start.
ERROR_KEPT = 1000


def clipped(text: str, where: str, kept: int = ERROR_KEPT) -> str:
    """The start of a long text with how much was left out and the file that holds it whole."""
    if len(text) <= kept:
        return text
    return f"{text[:kept]}... ({len(text) - kept:,} more characters in {where})"


def import_from_cwd() -> None:
    """Makes modules in the current folder importable, as `python -m` does.

    `python -P` and PYTHONSAFEPATH leave the folder off the path; the user's
    pipeline modules normally live there, so the commands put it back.
    """
    cwd = os.getcwd()
    if sys.path[:1] != [cwd]:
        sys.path.insert(0, cwd)
