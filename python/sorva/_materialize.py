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
import inspect
from pathlib import Path
from typing import Any

from sorva import _records
from sorva._values import Upstream, load_upstream, store
from sorva.serializers import Serializer, lookup


def materialize(
    module_name: str,
    function_name: str,
    output_dir: str,
    inputs: str | None,
    kwargs: dict[str, Any],
    root: Path | None = None,
    upstream: dict[str, Upstream] | None = None,
) -> int:
    """Runs the asset and returns 0 when it succeeded, 1 when its failure was recorded.

    `inputs` is the JSON text that `kwargs` was decoded from; the upstream
    members of `kwargs` are replaced by the values loaded from under `root`.
    Exceptions from outside the guarded steps (the folder cannot be made, the
    failure record cannot be written) reach the caller, and nothing is recorded.
    """
    if upstream and root is None:
        raise ValueError("upstream values need the run's output folder")
    output = Path(output_dir)
    output.mkdir(parents=True, exist_ok=True)
    record = output / "result.json"
    try:
        member = getattr(importlib.import_module(module_name), function_name)
        serializer = lookup(_declared_serializer(member), function_name)
        if serializer.name == "json" and not upstream:
            return _native(module_name, function_name, output_dir, inputs)
        if upstream and root is not None:
            kwargs = {**kwargs, **load_upstream(root, upstream)}
        try:
            target = member.__sorva_original__
        except BaseException:
            target = member
        value = target(**kwargs)
        _store(value, output, serializer, function_name)
        text = _records.success(
            module_name, function_name, str(output / "value.json"), type(value).__name__, str(inspect.signature(target))
        )
        record.write_text(text, "utf-8")
        return 0
    except BaseException as error:
        if isinstance(error, _Stored):
            text, kind = error.args[0], type(error.__cause__).__name__
        else:
            text, kind = _records.exception_text(error), type(error).__name__
        record.write_text(_records.failure(text, kind), "utf-8")
        return 1


def _native(module_name: str, function_name: str, output_dir: str, inputs: str | None) -> int:
    from sorva._sorva import materialize_asset

    try:
        materialize_asset(module_name, function_name, output_dir, inputs)
    except SystemExit as exit:
        if exit.code == 1:
            return 1
        raise
    return 0


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
    try:
        store(value, output, serializer)
    except Exception as error:
        # A json value fails as the module's own json.dumps fails, unchanged.
        if serializer.name == "json":
            raise
        cause = _records.exception_text(error)
        kind, _, message = cause.partition(": ")
        raise _Stored(
            f"{kind}: asset '{function_name}': serializer '{serializer.name}' cannot store the value: {message}"
        ) from error

