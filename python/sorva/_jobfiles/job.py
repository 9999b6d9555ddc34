"""One job, as `python -m sorva.worker` runs it: the inputs checked, the asset materialised, the record read.

The worker command runs it in a process of its own, and the fork server in
each child it forks, so this module is kept cheap to import: what only a
failing job or an unusual one needs is imported when it does.
"""

from __future__ import annotations

import os

from sorva._cli import FAILED, USAGE, exception_text, import_from_cwd, say
from sorva._jobfiles import inputfiles as _inputfiles
from sorva._jobfiles import records

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Sequence
    from pathlib import Path
    from types import ModuleType
    from typing import Any

    from sorva._jobfiles.values import Upstream

PROG = "python -m sorva.worker"  # the command whose messages a job prints


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
    from sorva._jobfiles.materialize import materialize
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
        records.remove_left(folder)
        if not isinstance(error, Exception):
            raise
        say(f"{PROG}: error: {exception_text(error)}")
        return USAGE
    try:
        _inputfiles.write(folder, () if root is None else (os.path.abspath(root),))
    except OSError as error:
        records.remove_left(folder)
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
    from sorva._jobfiles.values import parse_upstream

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
        records.remove_left(folder)
        raise
    try:
        os.makedirs(folder, exist_ok=True)
        # A record of an earlier run must not outlive a run that records nothing.
        for name in records.LEFT:
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
    path = os.path.join(folder, records.RECORD)
    try:
        record = records.read(folder)
        ok = record["ok"]
    except (OSError, ValueError, KeyError, TypeError):
        records.remove_left(folder)
        say(f"{PROG}: error: no readable record was written to {path}")
        return USAGE
    if ok is True:
        return 0
    error = str(record.get("error", "")).splitlines()
    reason = f" ({error[0]})" if error else ""
    say(f"{PROG}: asset '{function}' of module '{module}' failed{reason}; its record is {path}")
    return FAILED


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
