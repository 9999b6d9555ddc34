"""The module object, its registration, and the two classes' type layout."""

import importlib
import inspect
import os
import subprocess
import sys
import weakref
from pathlib import Path

import pytest

import sorva._sorva as m

FUNCTIONS = {
    "asset": "(*, name=None, inputs=None, partitions=None, serializer=None)",
    "partitions": "(values)",
    "inspect_modules": "(modules)",
    "materialize_asset": "(module_name, function_name, output_dir, input_kwargs_json=None)",
}
DOC_STARTS = {
    "asset": "Decorator that registers a Python function as a sorva asset.\n\nUsage\n-----\n",
    "partitions": "Declare a static partition universe for use with ``@asset(partitions=...)``.\n",
    "inspect_modules": "Inspect modules for sorva assets. Called by the `python -m sorva.inspect` CLI stub.\n",
    "materialize_asset": "Materialize a single asset function. Called by the `python -m sorva.worker` CLI stub.\n",
}
DOC_ENDS = {
    "asset": "serializer : str, optional\n    Reserved for future use.  Leave unset.",
    "partitions": "    def prices(ticker: str): ...",
    "inspect_modules": "extracts source and metadata, returns JSON string to stdout.",
    "materialize_asset": "passed as keyword arguments to the function.",
}


def test_module_identity():
    assert m.__name__ == "sorva._sorva"
    assert m.__doc__ == "The native `_sorva` module."
    assert m.__all__ == ["AssetWrapper", "Partitions", "asset", "partitions", "inspect_modules", "materialize_asset"]


def test_reimport_gives_the_same_module_object():
    first = sys.modules.pop("sorva._sorva")
    try:
        again = importlib.import_module("sorva._sorva")
        assert again is first
        assert importlib.reload(again) is first
        assert again.__all__ == first.__all__ and len(again.__all__) == 6
    finally:
        sys.modules["sorva._sorva"] = first


@pytest.mark.parametrize("name", list(FUNCTIONS))
def test_function_record(name):
    function = getattr(m, name)
    assert function.__name__ == name
    assert function.__text_signature__ == FUNCTIONS[name]
    assert function.__doc__.startswith(DOC_STARTS[name])
    assert function.__doc__.endswith(DOC_ENDS[name])
    assert function.__module__ == "sorva._sorva"
    assert function.__self__ is m
    assert str(inspect.signature(function)) == FUNCTIONS[name]


def test_asset_docstring_whole_lines():
    lines = m.asset.__doc__.split("\n")
    assert len(lines) == 43
    assert lines[8] == '        return {"value": 42}'
    assert lines[20] == "    Example::"
    assert lines[37] == '        @asset(partitions={"ticker": partitions(["AAPL", "MSFT", "GOOG"])})'


@pytest.mark.parametrize(
    "cls, doc",
    [
        (m.AssetWrapper, "The `@asset()` decorator wrapper. Stores the original function and metadata."),
        (m.Partitions, "Marker type returned by `partitions([...])`. Stores the static values."),
    ],
)
def test_class_record(cls, doc):
    assert cls.__doc__ == doc
    assert cls.__qualname__ == cls.__name__
    assert cls.__base__ is object
    with pytest.raises(TypeError) as info:
        cls()
    assert info.value.args == (f"No constructor defined for {cls.__name__}",)
    with pytest.raises(TypeError) as info:
        cls(1, x=2)
    assert info.value.args == (f"No constructor defined for {cls.__name__}",)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    assert not cls.__flags__ & (1 << 14)  # not collected by the cyclic GC


def test_partitions_class_module_is_builtins():
    assert m.Partitions.__module__ == "builtins"


@pytest.mark.parametrize("make", [lambda: m.partitions([1]), lambda: m.asset()(len)])
def test_instances_refuse_attributes_and_weak_references(make):
    instance = make()
    with pytest.raises(AttributeError):
        instance.anything = 1
    assert not hasattr(instance, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(instance)


def test_subinterpreter_import_is_refused():
    build = os.environ.get("SORVA_BUILD")
    if not build:
        pytest.skip("SORVA_BUILD names the build folder holding the embedding program")
    program = Path(build) / "tests" / "embed" / "subinterpreter"
    staging = Path(build) / "dev"
    result = subprocess.run([str(program), str(staging)], capture_output=True, text=True, timeout=60)
    assert result.stdout.splitlines() == [
        "main: imported",
        "sub: ImportError: sorva._sorva does not support sub-interpreters",
    ], result.stderr
    assert result.returncode == 0
