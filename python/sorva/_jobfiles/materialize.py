"""Materialises one asset with its declared serializer and with upstream values loaded from their files.

The native module's `materialize_asset` takes keyword arguments as JSON text
and writes the value as JSON; that stays its contract. An asset whose value
is stored through another serializer, or that receives upstream values
stored in files, is run here instead, step for step as the module runs one,
leaving the same files and records. A plain JSON job is still handed to the
module.
"""

from __future__ import annotations

import importlib
from pathlib import Path

from sorva._cli import exception_text
from sorva._jobfiles import records as _records
from sorva.serializers import lookup

# A plain JSON job passes through here on its way to the native module: it
# pays for no more than deciding so.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable
    from typing import Any, NoReturn

    from sorva._jobfiles.values import Upstream
    from sorva.serializers import Serializer


def materialize(
    module_name: str,
    function_name: str,
    output_dir: str,
    inputs: str | None,
    root: Path | None = None,
    upstream: dict[str, Upstream] | None = None,
    native: Callable[[], None] | None = None,
) -> None:
    """Materialises the asset as `materialize_asset` does, honouring its serializer and upstream values.

    `inputs` is the JSON text of the keyword arguments; its members named in
    `upstream` are replaced by the values loaded from under `root`. Returns
    None on success; raises SystemExit(1) once a failure is recorded. An
    exception from outside the guarded steps (the folder cannot be made, the
    record cannot be written) reaches the caller, and nothing is recorded. A
    plain JSON job is handed to `native`, by default `materialize_asset`
    with the same arguments.
    """
    if upstream and root is None:
        raise ValueError("upstream values need the run's output folder")
    output = Path(output_dir)
    output.mkdir(parents=True, exist_ok=True)
    record = output / "result.json"
    failed: BaseException | None = None
    try:
        member = getattr(importlib.import_module(module_name), function_name)
        serializer = lookup(_declared_serializer(member), function_name)
    except BaseException as error:
        failed = error
    if failed is not None:
        _fail(record, failed)
    if serializer.name == "json" and not upstream:
        if native is None:
            from sorva._sorva import materialize_asset

            materialize_asset(module_name, function_name, output_dir, inputs)
        else:
            native()
        return
    import inspect

    from sorva._jobfiles.values import load_upstream

    try:
        kwargs = _keywords(inputs)
        if upstream and root is not None:
            kwargs.update(load_upstream(root, upstream))
        try:
            target = member.__sorva_original__
        except KeyboardInterrupt:
            raise  # the user stopping the job, never a member that is no wrapper
        except BaseException:
            target = member
        value = target(**kwargs)
        _store(value, output, serializer, function_name)
        text = _records.success(
            module_name, function_name, str(output / "value.json"), type(value).__name__, str(inspect.signature(target))
        )
        record.write_text(text, "utf-8")
    except BaseException as error:
        failed = error
    if failed is not None:
        _fail(record, failed)


def _fail(record: Path, error: BaseException) -> NoReturn:
    """Records the failure and ends as the native module does, with nothing chained to the exit."""
    if isinstance(error, _Stored):
        text, kind = error.args[0], type(error.__cause__).__name__
    else:
        text, kind = exception_text(error), type(error).__name__
    record.write_text(_records.failure(text, kind), "utf-8")
    raise SystemExit(1)


def _keywords(inputs: str | None) -> dict[str, Any]:
    import json

    if inputs is None:
        return {}
    kwargs = json.loads(inputs)
    if not isinstance(kwargs, dict):
        raise TypeError(f"'{type(kwargs).__qualname__}' object cannot be converted to 'PyDict'")
    return kwargs


def _declared_serializer(member: Any) -> str | None:
    """The serializer named in the asset's metadata; None (json) for a plain function."""
    try:
        metadata = member.__sorva_metadata__
    except Exception:
        return None
    name = metadata.get("serializer") if isinstance(metadata, dict) else None
    return name if name is None or isinstance(name, str) else repr(name)


class _Stored(Exception):
    """A value its serializer cannot store; the text names the asset and the cause is the serializer's error."""


def _store(value: Any, output: Path, serializer: Serializer, function_name: str) -> None:
    from sorva._jobfiles.values import store

    try:
        store(value, output, serializer)
    except Exception as error:
        # A json value fails as the module's own json.dumps fails, unchanged.
        if serializer.name == "json":
            raise
        cause = exception_text(error)
        kind, _, message = cause.partition(": ")
        raise _Stored(
            f"{kind}: asset '{function_name}': serializer '{serializer.name}' cannot store the value: {message}"
        ) from error

