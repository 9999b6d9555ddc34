"""`python -m sorva.inspect MODULE [MODULE ...]`: prints the assets found in the modules as JSON."""

from __future__ import annotations

import mmap
import os
import signal
from collections.abc import Iterable, Iterator, Sequence

from sorva._cli import (
    FAILED,
    INTERRUPTED,
    USAGE,
    argument_parser,
    exception_text,
    fail,
    flush_streams,
    how_it_ended,
    import_from_cwd,
    new_file,
    partial_path,
    say,
    write_whole,
)

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, BinaryIO, NoReturn

PROG = "python -m sorva.inspect"


class NotImported(Exception):
    """A listed module failed to import and skipping it was not allowed."""


class NotInspected(Exception):
    """A listed module imported but could not be inspected."""


def _import_all(modules: Sequence[str], progress: memoryview) -> None:
    import importlib

    for index, name in enumerate(modules):
        progress[0] = index + 1
        try:
            importlib.import_module(name)
        except KeyboardInterrupt:
            raise
        except BaseException as error:
            raise NotImported(f"cannot import module '{name}': {exception_text(error)}") from None


def _inspect_with_stdout_on_stderr(modules: Sequence[str], strict: bool, progress: memoryview) -> Iterator[str]:
    """The inspection outputs of the modules, each made as it is asked for, while file descriptor 1 points at standard error.

    Importing the modules runs their top-level code, which may print;
    standard output must carry nothing but the JSON text. The descriptor is
    left pointing at standard error afterwards, for the same reason: exit
    handlers of the modules may print too. The modules are inspected one at
    a time, each one's place noted in `progress`, so that an error, or the
    end of the process, names the module it came from; a large module in
    batches of its members, so that its output is never held whole.
    """
    os.dup2(2, 1)
    if strict:
        # A module imported here is taken from sys.modules by the inspection.
        _import_all(modules, progress)
    return _inspect_each(modules, progress)


def _inspect_each(modules: Sequence[str], progress: memoryview) -> Iterator[str]:
    from sorva._member_batches import inspected

    try:
        for index, name in enumerate(modules):
            progress[0] = index + 1
            outputs = inspected(name)
            while (output := _next_output(name, outputs)) is not None:
                yield output
    finally:
        flush_streams()


def _next_output(name: str, outputs: Iterator[str]) -> str | None:
    try:
        return next(outputs, None)
    except KeyboardInterrupt:
        raise
    except BaseException as error:
        raise NotInspected(f"cannot inspect module '{name}': {exception_text(error)}") from None


# Characters encoded at a time: the text may be tens of megabytes, and
# encoding it whole would hold a second copy of it in memory, costing a page
# fault per page; slices this size are encoded within the cache.
_CHUNK = 1 << 16


def _write_utf8(file: BinaryIO, text: str, start: int = 0, end: int | None = None) -> None:
    """Writes `text[start:end]` as UTF-8 without a full-size copy of it."""
    end = len(text) if end is None else end
    for at in range(start, end, _CHUNK):
        file.write(text[at:min(at + _CHUNK, end)].encode("utf-8"))


_OPEN = '{"assets":['

# Bytes of output to standard output held in memory before they go to a temporary file.
_HELD_IN_MEMORY = 1 << 24


def _write_records(file: BinaryIO, outputs: Iterable[str]) -> None:
    """Writes the inspection outputs of the modules, in order, as the one output of them all."""
    file.write(_OPEN.encode())
    first = True
    for output in outputs:
        if len(output) > len(_OPEN) + 2:
            file.write(b"" if first else b",")
            _write_utf8(file, output, len(_OPEN), len(output) - 2)
            first = False
    file.write(b"]}")


def _write_file(path: str, partial: str, outputs: Iterable[str]) -> None:
    """Writes the output so that a reader finds either all of it or no file."""

    def write(partial: str) -> None:
        with new_file(partial) as file:
            _write_records(file, outputs)

    try:
        write_whole(path, write, partial)
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
    flush_streams()
    # Shared with the inspection: [the listed module being imported or inspected, counted from 1;
    # the exit status it decided, plus 1].
    progress = memoryview(mmap.mmap(-1, 8)).cast("i")
    # The output is written while the modules' code still runs, which may end the process outright.
    partial = None if args.output is None else partial_path(args.output)
    try:
        child = os.fork()
    except OSError as error:
        fail(PROG, f"cannot start the inspection: {error.strerror}", FAILED)
    if child == 0:
        _inspect(args, progress, partial)
    _wait_for(child, progress, args.modules, partial)


def _inspect(args: Any, progress: memoryview, partial: str | None) -> NoReturn:
    """Inspects the modules and writes the output; exits with the status it notes in `progress`."""
    for signum in (signal.SIGINT, signal.SIGTERM):
        signal.signal(signum, _stop_once)
    status = FAILED
    try:
        try:
            stdout = os.dup(1)
        except OSError:
            stdout = -1
        outputs = _inspect_with_stdout_on_stderr(args.modules, args.strict, progress)
        _write_output(args.output, partial, stdout, outputs)
        status = 0
    except Exception as error:
        say(f"{PROG}: error: {error if isinstance(error, (NotImported, NotInspected)) else exception_text(error)}")
    except SystemExit as end:
        status = end.code if isinstance(end.code, int) else FAILED
    except KeyboardInterrupt:
        status = 128 + _stopped_by[0] if _stopped_by else INTERRUPTED
    finally:
        progress[1] = status + 1
    raise SystemExit(status)


_stopped_by: list[int] = []  # the signal that stopped the inspection, once one has


def _stop_once(signum: int, frame: object) -> None:
    # A terminal's Ctrl-C reaches both processes, and the waiting one passes its own on: one is enough.
    # Either signal unwinds the inspection, so that a partial --output file is removed.
    for stop in (signal.SIGINT, signal.SIGTERM):
        signal.signal(stop, signal.SIG_IGN)
    _stopped_by.append(signum)
    raise KeyboardInterrupt


def _wait_for(child: int, progress: memoryview, modules: Sequence[str], partial: str | None) -> NoReturn:
    """Exits as the inspection in `child` decided, once it has ended.

    The modules' code runs in the child, and may end it at once (os._exit, a
    fatal signal) with any status: only the status the inspection noted
    stands, so that 0 always means the whole output was written. A child
    that ended otherwise is an error naming the module it was at.
    """
    stops = []

    def pass_on(signum: int, frame: object) -> None:
        stops.append(signum)
        try:
            os.kill(child, signum)
        except ProcessLookupError:
            pass  # ended already

    for signum in (signal.SIGINT, signal.SIGTERM):
        signal.signal(signum, pass_on)
    _, wait_status = os.waitpid(child, 0)
    if partial is not None:
        try:
            os.unlink(partial)  # what a child ended outright left while it wrote the output
        except OSError:
            pass  # never made, or already in its place
    if progress[1]:
        raise SystemExit(progress[1] - 1)
    if stops:
        raise SystemExit(128 + stops[0])  # as a shell reports a process the signal ended
    how = how_it_ended(os.waitstatus_to_exitcode(wait_status))
    who = f"module '{modules[progress[0] - 1]}' ended the process" if progress[0] else "the inspection ended"
    fail(PROG, f"{who} before the output was written ({how})", FAILED)


def _write_output(path: str | None, partial: str | None, stdout: int, outputs: Iterable[str]) -> None:
    if path is not None and partial is not None:
        _write_file(path, partial, outputs)
        return
    if stdout < 0:
        fail(PROG, "standard output is closed", USAGE)
    import shutil
    import tempfile

    # Held until whole, so that a failing inspection prints nothing; in a file once large.
    with tempfile.SpooledTemporaryFile(_HELD_IN_MEMORY) as held:
        try:
            _write_records(held, outputs)
            held.write(b"\n")
        except OSError as error:
            fail(PROG, f"cannot hold the output in a temporary file: {error.strerror}", FAILED)
        held.seek(0)
        try:
            with open(stdout, "wb") as out:
                shutil.copyfileobj(held, out, _CHUNK)
        except OSError as error:
            fail(PROG, f"cannot write to standard output: {error.strerror}", FAILED)


if __name__ == "__main__":
    main()
