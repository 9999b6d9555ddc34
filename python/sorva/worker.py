"""`python -m sorva.worker MODULE FUNCTION OUTPUT_DIR`: materialises one asset into OUTPUT_DIR.

One worker process runs per job, so this module is kept cheap to import:
the usual command lines are read by hand, and argparse is loaded only for
`--help`, unusual spellings and errors.
"""

from __future__ import annotations

import os
import sys

from sorva import _inputfiles
from sorva._cli import FAILED, INTERRUPTED, USAGE, exception_text, fail, import_from_cwd, say

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Sequence
    from pathlib import Path
    from types import ModuleType
    from typing import Any

    from sorva._values import Upstream

PROG = "python -m sorva.worker"
RECORDS = ("result.json", "value.json", "input_files.json")
VALUE_OPTIONS = ("--inputs", "--inputs-file", "--root", "--upstream-json")


class Refused(Exception):
    """The job cannot start; the message is one line for the user and nothing is recorded."""


def run_job(
    module: str,
    function: str,
    output_dir: str,
    inputs: str | None,
    root: str | None = None,
    upstream: Sequence[str] = (),
) -> int:
    """Runs one job as the command does and returns the status the command exits with.

    The members of `inputs` named in `upstream` say where an upstream value
    lies under `root` (the run's output folder); the job loads them itself.
    Prints on standard error what the command prints there: the traceback and
    one line when the asset fails, one error line when the job is refused.
    """
    try:
        folder, stored = _prepare(output_dir, inputs, root, upstream)
    except Refused as refusal:
        say(f"{PROG}: error: {refusal}")
        return USAGE
    import_from_cwd()
    from sorva._materialize import materialize
    from sorva._sorva import materialize_asset

    def natively() -> None:
        with _Tracing(function):
            materialize_asset(module, function, folder, inputs)

    try:
        # The asset's module is imported once, traced; a plain JSON job is then
        # handed to the native module, which imports it again from the cache.
        with _Tracing(function):
            materialize(module, function, folder, inputs, _root(root), stored, natively)
    except SystemExit:
        pass  # the asset failed and its failure record is written; the record says so below
    except BaseException as error:
        # Outside the guarded steps: whatever was half-written must not pass for a record.
        _remove_records(folder)
        if not isinstance(error, Exception):
            raise
        say(f"{PROG}: error: {exception_text(error)}")
        return USAGE
    try:
        _inputfiles.write(folder, () if root is None else (os.path.abspath(root),))
    except OSError as error:
        _remove_records(folder)
        say(f"{PROG}: error: cannot write {os.path.join(folder, _inputfiles.FILE)}: {error.strerror}")
        return USAGE
    return _outcome(module, function, folder)


def _root(root: str | None) -> Path | None:
    from pathlib import Path

    return None if root is None else Path(os.path.abspath(root))


def _stored_upstream(inputs: dict[str, Any], root: str | None, upstream: Sequence[str]) -> dict[str, Upstream]:
    """Where the upstream values named in `upstream` lie, as the inputs say."""
    if not upstream:
        return {}
    if root is None:
        raise Refused("argument --upstream: needs --root")
    from sorva._values import parse_upstream

    try:
        return parse_upstream(inputs, upstream)
    except ValueError as error:
        raise Refused(str(error)) from None


def _prepare(
    output_dir: str, inputs: str | None, root: str | None, upstream: Sequence[str]
) -> tuple[str, dict[str, Upstream]]:
    """Checks the inputs, makes the folder absolute and empties it of earlier records.

    The folder is made absolute before the asset runs, since an asset may
    change the working directory; the inputs, and where they say upstream
    values lie, are checked before the user's module is imported, so a bad
    invocation runs no user code. Returns the folder and those upstream values.
    """
    folder = os.path.abspath(output_dir)
    try:
        stored = _stored_upstream({} if inputs is None else _check_inputs(inputs), root, upstream)
    except Refused:
        _remove_records(folder)
        raise
    try:
        os.makedirs(folder, exist_ok=True)
        # A record of an earlier run must not outlive a run that records nothing.
        for name in RECORDS:
            path = os.path.join(folder, name)
            if os.path.lexists(path):
                os.unlink(path)
    except (OSError, ValueError) as error:
        raise Refused(exception_text(error)) from None
    return folder, stored


def _check_inputs(text: str) -> dict[str, Any]:
    import json

    try:
        value = json.loads(text)
    except RecursionError:
        raise Refused("the inputs are nested too deeply to read") from None
    except ValueError as error:
        raise Refused(f"the inputs are not valid JSON: {error}") from None
    if not isinstance(value, dict):
        raise Refused(f"the inputs must be a JSON object of keyword arguments, not {_json_kind(value)}")
    return value


def _json_kind(value: object) -> str:
    if isinstance(value, list):
        return "an array"
    if isinstance(value, str):
        return "a string"
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "a boolean"
    return "a number"


def _outcome(module: str, function: str, folder: str) -> int:
    """The status that the record in `folder` stands for.

    The record decides, not how materialize_asset ended: user code that
    replaces `sys.exit` makes a failure return normally.
    """
    import json

    path = os.path.join(folder, "result.json")
    try:
        with open(path, "rb") as file:
            record = json.loads(file.read())
        ok = record["ok"]
    except (OSError, ValueError, KeyError, TypeError):
        _remove_records(folder)
        say(f"{PROG}: error: no readable record was written to {path}")
        return USAGE
    if ok is True:
        return 0
    error = str(record.get("error", "")).splitlines()
    reason = f" ({error[0]})" if error else ""
    say(f"{PROG}: asset '{function}' of module '{module}' failed{reason}; its record is {path}")
    return FAILED


def _remove_records(folder: str) -> None:
    for name in RECORDS:
        try:
            os.unlink(os.path.join(folder, name))
        except OSError:
            pass  # absent, or beyond repair; the exit status says no record was written


class _Tracing:
    """Shows the traceback of a failed asset on standard error.

    materialize_asset records only an exception's type and message, and the
    user needs the file and line. While the job runs, the worker stands in
    for `importlib.import_module`: for the job's own import, a failure is
    printed with its traceback and raised on, and the module is handed to
    materialize_asset as a view holding only the asset's function, wrapped
    so that it prints the traceback of whatever it raises. The user's module
    itself is left as it is.
    """

    def __init__(self, function: str) -> None:
        self.function = function

    def __enter__(self) -> None:
        import importlib

        self.importlib = importlib
        self.real = importlib.import_module
        setattr(importlib, "import_module", self.import_module)

    def __exit__(self, *exc_info: object) -> None:
        setattr(self.importlib, "import_module", self.real)

    def import_module(self, name: str, package: str | None = None) -> ModuleType:
        # Only the first import is the job's; the user's own imports go straight through.
        setattr(self.importlib, "import_module", self.real)
        try:
            module = self.real(name, package)
        except BaseException as error:
            _print_traceback(error, skip=2)  # this frame and import_module's own
            raise
        try:
            found = getattr(module, self.function)
        except Exception:
            return module  # materialize_asset records the missing member itself
        try:
            target = found.__sorva_original__
        except Exception:
            target = found
        traced = _traced(target)
        try:
            # The job reads the declared serializer from the function it is handed.
            setattr(traced, "__sorva_metadata__", found.__sorva_metadata__)
        except Exception:
            pass  # a plain function: its value is JSON
        view = type(module)(module.__name__)
        vars(view)[self.function] = traced
        return view


def _traced(target: Callable[..., Any]) -> Callable[..., Any]:
    def call(*args: Any, **kwargs: Any) -> Any:
        _inputfiles.start()
        try:
            return target(*args, **kwargs)
        except BaseException as error:
            _inputfiles.stop()  # the traceback reads the sources, which are no inputs
            _print_traceback(error, skip=1)
            raise
        finally:
            _inputfiles.stop()

    # inspect.signature follows __wrapped__, so the record shows the target's own signature.
    call.__wrapped__ = target  # type: ignore[attr-defined]
    return call


def _print_traceback(error: BaseException, skip: int) -> None:
    """Prints `error` as the interpreter would, without the worker's and the import system's frames."""
    import traceback

    try:
        tb = error.__traceback__
        for _ in range(skip):
            tb = tb.tb_next if tb is not None else None
        report = traceback.TracebackException(type(error), error, tb)
        report.stack = traceback.StackSummary.from_list(
            [frame for frame in report.stack if not frame.filename.startswith("<frozen importlib")]
        )
        say("".join(report.format()).removesuffix("\n"))
    except Exception:
        pass  # a traceback that cannot be shown must not change the job's outcome


def _read_inputs_file(path: str, output_dir: str) -> str:
    try:
        if path == "-":
            if sys.stdin is None:
                raise Refused("cannot read inputs file '-': standard input is closed")
            return sys.stdin.buffer.read().decode("utf-8")
        with open(path, encoding="utf-8") as file:
            return file.read()
    except OSError as error:
        problem = f"cannot read inputs file '{path}': {error.strerror}"
    except UnicodeDecodeError as error:
        problem = f"inputs file '{path}' is not UTF-8 text: {error.reason}"
    except Refused as refusal:
        problem = str(refusal)
    # The earlier run's record must not pass for this one's.
    _remove_records(os.path.abspath(output_dir))
    fail(PROG, problem, USAGE)


def _json_names(text: str | None, output_dir: str) -> list[str]:
    """The parameter names in the text of `--upstream-json`."""
    if text is None:
        return []
    import json

    try:
        names = json.loads(text)
    except (ValueError, RecursionError):
        names = None
    if isinstance(names, list) and all(isinstance(name, str) for name in names):
        return names
    # The earlier run's record must not pass for this one's.
    _remove_records(os.path.abspath(output_dir))
    fail(PROG, "argument --upstream-json: expected a JSON array of texts", USAGE)


def _quick_arguments(argv: Sequence[str]) -> tuple[tuple[str, str, str], dict[str, Any]] | None:
    """The positionals and options of a usual command line; None for any other."""
    if len(argv) < 3 or any(arg.startswith("-") for arg in argv[:3]):
        return None
    positional, rest = (argv[0], argv[1], argv[2]), list(argv[3:])
    if len(rest) == 1 and "=" in rest[0]:
        rest = rest[0].split("=", 1)
    options: dict[str, Any] = {}
    while rest:
        option = rest.pop(0)
        key = option[2:].replace("-", "_")
        if key in options:
            return None
        if option == "--upstream":
            names = []
            while rest and not rest[0].startswith("-"):
                names.append(rest.pop(0))
            if not names:
                return None
            options[key] = names
        elif option in VALUE_OPTIONS and rest and (rest[0] == "-" or not rest[0].startswith("-")):
            options[key] = rest.pop(0)
        else:
            return None
    if "inputs" in options and "inputs_file" in options:
        return None
    return positional, options


def _parsed_arguments(argv: Sequence[str]) -> tuple[tuple[str, str, str], dict[str, Any]]:
    from sorva._parser import ArgumentParser

    parser = ArgumentParser(
        prog=PROG,
        description=(
            "Call one asset and write value.json and result.json into OUTPUT_DIR. "
            "Exit status 0 when the asset succeeded, 1 when it failed (result.json "
            "holds the error and its traceback is printed), 2 for a wrong invocation "
            "(no record is left)."
        ),
    )
    parser.add_argument("module", metavar="MODULE", help="dotted name of the module holding the asset")
    parser.add_argument("function", metavar="FUNCTION", help="name of the asset in that module")
    parser.add_argument("output_dir", metavar="OUTPUT_DIR", help="folder for the artefacts, created if missing")
    source = parser.add_mutually_exclusive_group()
    source.add_argument(
        "--inputs", metavar="JSON", help="JSON object whose members are passed as keyword arguments"
    )
    source.add_argument(
        "--inputs-file", metavar="PATH", help="read that JSON object from a file, or from standard input for '-'"
    )
    parser.add_argument(
        "--root",
        metavar="DIR",
        help="the run's output folder: upstream folders are relative to it, and values are loaded only from inside it",
    )
    parser.add_argument(
        "--upstream",
        nargs="+",
        action="extend",
        metavar="PARAM",
        help="members of the inputs that say where a stored upstream value lies; the value is loaded and passed instead",
    )
    parser.add_argument(
        "--upstream-json",
        metavar="JSON",
        help="the same as --upstream, as a JSON array of texts: for names that a command line cannot carry",
    )
    args = parser.parse_args(argv)
    options = {key: value for key, value in vars(args).items() if value is not None}
    return (args.module, args.function, args.output_dir), options


def main(argv: Sequence[str] | None = None) -> None:
    argv = sys.argv[1:] if argv is None else list(argv)
    try:
        (module, function, output_dir), options = _quick_arguments(argv) or _parsed_arguments(argv)
        inputs = options.get("inputs")
        if options.get("inputs_file") is not None:
            inputs = _read_inputs_file(options["inputs_file"], output_dir)
        upstream = [*options.get("upstream", ()), *_json_names(options.get("upstream_json"), output_dir)]
        status = run_job(module, function, output_dir, inputs, options.get("root"), upstream)
    except KeyboardInterrupt:
        status = INTERRUPTED
    raise SystemExit(status)


if __name__ == "__main__":
    main()
