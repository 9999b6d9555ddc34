"""What the commands share: one-line errors, exit statuses, the argument parser, the import path, whole files.

This module is on the worker's path for every job, so it imports nothing
beyond what the interpreter has loaded at start-up; argparse is loaded only
when a command makes its parser.
"""

from __future__ import annotations

import os
import sys

# `typing` costs milliseconds per worker; only type checkers need these.
TYPE_CHECKING = False
if TYPE_CHECKING:
    import argparse
    from collections.abc import Callable
    from typing import BinaryIO, NoReturn

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


def argument_parser(prog: str, description: str) -> argparse.ArgumentParser:
    """An argument parser whose errors are one line on standard error and status 2.

    Orchestrators read standard error line by line, so the usage block that
    argparse would print first is left out; `--help` still shows it.
    """
    import argparse

    class ArgumentParser(argparse.ArgumentParser):
        def error(self, message: str) -> NoReturn:
            fail(self.prog, message, USAGE)

    return ArgumentParser(prog=prog, description=description)


def whole_number(least: int) -> Callable[[str], int]:
    """An option type for whole numbers of at least `least`, with a one-line error otherwise."""

    def parse(text: str) -> int:
        import argparse

        try:
            number = int(text)
        except ValueError:
            number = least - 1
        if number < least:
            raise argparse.ArgumentTypeError(f"expected a whole number of at least {least}, got '{text}'")
        return number

    return parse


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
    """An exception as one line: its type's qualified name, then its message, as the native module forms it.

    A message that cannot be made reads "<exception str() failed>"; a lone
    surrogate, which cannot be written as UTF-8, comes out as three U+FFFD.
    """
    try:
        message = str(error)
    except Exception:
        message = "<exception str() failed>"
    message = message.encode("utf-8", "surrogatepass").decode("utf-8", "replace")
    return f"{type(error).__qualname__}: {message}"


# How much of an error the lines, the report page and the run history keep: its start.
ERROR_KEPT = 1000


def clipped(text: str, where: str, kept: int = ERROR_KEPT) -> str:
    """The start of a long text with how much was left out and the file that holds it whole."""
    if len(text) <= kept:
        return text
    return f"{text[:kept]}... ({len(text) - kept:,} more characters in {where})"


def how_it_ended(status: int, *, verb: bool = False) -> str:
    """A process's return code in words: "exit status 1", "killed by SIGKILL"; with `verb`, "exited with status 1",
    "was killed by SIGKILL"."""
    if status >= 0:
        return f"exited with status {status}" if verb else f"exit status {status}"
    import signal

    try:
        killed = f"killed by {signal.Signals(-status).name}"
    except ValueError:
        killed = f"killed by signal {-status}"
    return f"was {killed}" if verb else killed


def partial_path(path: str | os.PathLike[str]) -> str:
    """A new name beside `path` for the file that is written to take its place.

    It ends as the path's does: some writers add a suffix they do not find.
    """
    folder, name = os.path.split(os.fspath(path))
    return os.path.join(folder, f".{os.getpid()}-{os.urandom(4).hex()}-{name}")


def write_whole(
    path: str | os.PathLike[str], content: bytes | Callable[[str], object], partial: str | None = None
) -> None:
    """Puts a new file in the place of `path`: `content`, or what `content(partial)` writes at the path it is given.

    A reader finds the old file or the new one, never part of one; whatever
    stops the writing (an error, a full disk, Ctrl-C) leaves no partial file,
    and nothing is written through a link planted in the folder. A process
    that may be ended outright while it writes is given its `partial` name by
    one that outlives it and removes what is left there.
    """
    partial = partial or partial_path(path)
    try:
        if isinstance(content, bytes):
            descriptor = _new_descriptor(partial)
            try:
                written = 0
                while written < len(content):
                    written += os.write(descriptor, content[written:])
            finally:
                os.close(descriptor)
        else:
            content(partial)
        os.replace(partial, path)
    except BaseException:
        try:
            os.unlink(partial)
        except OSError:
            pass  # never made
        raise


def new_file(path: str) -> BinaryIO:
    """A file made at `path` for writing; raises FileExistsError when anything is there already, a link too."""
    return open(_new_descriptor(path), "wb")


def _new_descriptor(path: str) -> int:
    return os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW, 0o666)


def import_from_cwd() -> None:
    """Makes modules in the current folder importable, as `python -m` does.

    `python -P` and PYTHONSAFEPATH leave the folder off the path; the user's
    pipeline modules normally live there, so the commands put it back.
    """
    cwd = os.getcwd()
    if sys.path[:1] != [cwd]:
        sys.path.insert(0, cwd)
