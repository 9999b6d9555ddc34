"""What the three commands share: argument parsing with one-line errors, and the import path."""

from __future__ import annotations

import argparse
import os
import sys
from typing import NoReturn

# Exit statuses shared by the commands.
FAILED = 1
USAGE = 2


class ArgumentParser(argparse.ArgumentParser):
    """An argument parser whose errors are one line on standard error and status 2.

    Orchestrators read standard error line by line, so the usage block that
    argparse would print first is left out; `--help` still shows it.
    """

    def error(self, message: str) -> NoReturn:
        fail(self.prog, message, USAGE)


def fail(prog: str, message: str, status: int) -> NoReturn:
    """Ends the command with `prog: error: message` on standard error."""
    sys.stdout.flush()
    sys.stderr.write(f"{prog}: error: {message}\n")
    sys.stderr.flush()
    raise SystemExit(status)


def exception_text(error: BaseException) -> str:
    """An exception as one line: its type's qualified name, then its message."""
    return f"{type(error).__qualname__}: {error}"


def import_from_cwd() -> None:
    """Makes modules in the current folder importable, as `python -m` does.

    `python -P` and PYTHONSAFEPATH leave the folder off the path; the user's
    pipeline modules normally live there, so the commands put it back.
    """
    cwd = os.getcwd()
    if sys.path[:1] != [cwd]:
        sys.path.insert(0, cwd)
