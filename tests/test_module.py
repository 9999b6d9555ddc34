"""The module object, its registration, and the two classes' type layout."""

import importlib
import os
import subprocess
import sys
import weakref
from pathlib import Path

import pytest

import sorva._sorva as m


def test_module_identity_and_reimport():
    assert m.__all__ == ["AssetWrapper", "Partitions", "asset", "partitions", "inspect_modules", "materialize_asset"]
    first = sys.modules.pop("sorva._sorva")
    try:
        assert importlib.import_module("sorva._sorva") is first
        assert importlib.reload(first) is first and len(first.__all__) == 6
    finally:
        sys.modules["sorva._sorva"] = first


@pytest.mark.parametrize("cls, make", [(m.AssetWrapper, lambda: m.asset()(len)), (m.Partitions, lambda: m.partitions([1]))])
def test_class_record(cls, make):
    assert (cls.__qualname__, cls.__base__) == (cls.__name__, object)
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
