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

FUNCTIONS = [
    ("asset", "(*, name=None, inputs=None, partitions=None, serializer=None)",
     "Decorator that registers a Python function as a sorva asset.\n\nUsage\n-----\n",
     "serializer : str, optional\n    Reserved for future use.  Leave unset."),
    ("partitions", "(values)", "Declare a static partition universe for use with ``@asset(partitions=...)``.\n",
     "    def prices(ticker: str): ..."),
    ("inspect_modules", "(modules)",
     "Inspect modules for sorva assets. Called by the `python -m sorva.inspect` CLI stub.\n",
     "extracts source and metadata, returns JSON string to stdout."),
    ("materialize_asset", "(module_name, function_name, output_dir, input_kwargs_json=None)",
     "Materialize a single asset function. Called by the `python -m sorva.worker` CLI stub.\n",
     "passed as keyword arguments to the function."),
]


def test_module_identity_and_reimport():
    assert (m.__name__, m.__doc__) == ("sorva._sorva", "The native `_sorva` module.")
    assert m.__all__ == ["AssetWrapper", "Partitions", "asset", "partitions", "inspect_modules", "materialize_asset"]
    first = sys.modules.pop("sorva._sorva")
    try:
        assert importlib.import_module("sorva._sorva") is first
        assert importlib.reload(first) is first and len(first.__all__) == 6
    finally:
        sys.modules["sorva._sorva"] = first


@pytest.mark.parametrize("name, signature, doc_start, doc_end", FUNCTIONS)
def test_function_record(name, signature, doc_start, doc_end):
    function = getattr(m, name)
    assert (function.__name__, function.__text_signature__) == (name, signature)
    assert function.__doc__.startswith(doc_start) and function.__doc__.endswith(doc_end)
    assert function.__module__ == "sorva._sorva" and function.__self__ is m
    assert str(inspect.signature(function)) == signature


@pytest.mark.parametrize(
    "cls, doc, make",
    [
        (m.AssetWrapper, "The `@asset()` decorator wrapper. Stores the original function and metadata.", lambda: m.asset()(len)),
        (m.Partitions, "Marker type returned by `partitions([...])`. Stores the static values.", lambda: m.partitions([1])),
    ],
)
def test_class_record(cls, doc, make):
    assert (cls.__doc__, cls.__qualname__, cls.__base__) == (doc, cls.__name__, object)
    with pytest.raises(TypeError) as info:
        cls(1, x=2)
    assert info.value.args == (f"No constructor defined for {cls.__name__}",)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    instance = make()
    with pytest.raises(AttributeError):
        instance.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(instance)
    assert m.Partitions.__module__ == "builtins"


def test_subinterpreter_import_is_refused():
    build = os.environ.get("SORVA_BUILD")
    if not build:
        pytest.skip("SORVA_BUILD names the build folder holding the embedding program")
    program = Path(build) / "tests" / "embed" / "subinterpreter"
    result = subprocess.run([str(program), str(Path(build) / "dev")], capture_output=True, text=True, timeout=60)
    assert result.stdout.splitlines() == [
        "main: imported",
        "sub: ImportError: sorva._sorva does not support sub-interpreters",
    ], result.stderr
    assert result.returncode == 0
