"""`python -m sorva.inspect MODULE [MODULE ...]`: prints the assets found in the modules as JSON."""

from __future__ import annotations

import os
import sys
from collections.abc import Sequence

from sorva._cli import (
    FAILED,
    INTERRUPTED,
    USAGE,
    argument_parser,
    exception_text,
    fail,
    import_from_cwd,
    new_file,
    write_whole,
)

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import BinaryIO

PROG = "python -m sorva.inspect"


class NotImported(Exception):
    """A listed module failed to import and skipping it was not allowed."""


def _import_all(modules: Sequence[str]) -> None:
    import importlib

    for name in modules:
        try:
            importlib.import_module(name)
        except KeyboardInterrupt:
            raise
        except BaseException as error:
            raise NotImported(f"cannot import module '{name}': {exception_text(error)}") from None


def _inspect_with_stdout_on_stderr(modules: Sequence[str], strict: bool) -> str:
    """Runs the inspection while file descriptor 1 points at standard error.

    Importing the modules runs their top-level code, which may print;
    standard output must carry nothing but the JSON text. The descriptor is
    left pointing at standard error afterwards, for the same reason: exit
    handlers of the modules may print too.
    """
    from sorva._sorva import inspect_modules

    os.dup2(2, 1)
    if strict:
        # A module imported here is taken from sys.modules by the inspection.
        _import_all(modules)
    try:
        return inspect_modules(modules)
    finally:
        try:
            sys.stdout.flush()
        except Exception:
            pass  # a module may have replaced sys.stdout with anything


# Characters encoded at a time: the text may be tens of megabytes, and
# encoding it whole would hold a second copy of it in memory, costing a page
# fault per page; slices this size are encoded within the cache.
_CHUNK = 1 << 16


def _write_utf8(file: BinaryIO, text: str) -> None:
    """Writes `text` as UTF-8 without a full-size copy of it."""
    for start in range(0, len(text), _CHUNK):
        file.write(text[start:start + _CHUNK].encode("utf-8"))


def _write_file(path: str, text: str) -> None:
    """Writes `text` so that a reader finds either all of it or no file."""

    def write(partial: str) -> None:
        with new_file(partial) as file:
            _write_utf8(file, text)

    try:
        write_whole(path, write)
    except OSError as error:
        fail(PROG, f"cannot write '{path}': {error.strerror}", USAGE)


def main(argv: Sequence[str] | None = None) -> None:
    parser = argument_parser(
        PROG,
        (
            "Import the modules and print one JSON object describing every asset "
            "found in them. Modules that fail to import are skipped with a line "
            "on standard error."
        ),
    )
    parser.add_argument("modules", nargs="+", metavar="MODULE", help="dotted module name")
    parser.add_argument(
        "--output",
        metavar="PATH",
        help="write the JSON text to PATH instead of standard output; whatever the modules print "
        "can then never mix with it, and PATH holds all of it or does not exist",
    )
    parser.add_argument(
        "--strict",
        action="store_true",
        help="a module that fails to import is an error (exit status 1) instead of being skipped",
    )
    args = parser.parse_args(argv)
    import_from_cwd()
    sys.stdout.flush()
    try:
        stdout = os.dup(1)
    except OSError:
        stdout = -1
    try:
        text = _inspect_with_stdout_on_stderr(args.modules, args.strict)
    except KeyboardInterrupt:
        raise SystemExit(INTERRUPTED) from None
    except Exception as error:
        message = str(error) if isinstance(error, NotImported) else exception_text(error)
        fail(PROG, message, FAILED)
    try:
        _write_output(args.output, stdout, text)
    except KeyboardInterrupt:
        raise SystemExit(INTERRUPTED) from None


def _write_output(path: str | None, stdout: int, text: str) -> None:
    if path is not None:
        _write_file(path, text)
        return
    if stdout < 0:
        fail(PROG, "standard output is closed", USAGE)
    try:
        with open(stdout, "wb") as out:
            _write_utf8(out, text)
            out.write(b"\n")
    except OSError as error:
        fail(PROG, f"cannot write to standard output: {error.strerror}", FAILED)


if __name__ == "__main__":
    main()
