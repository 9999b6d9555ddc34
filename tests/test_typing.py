"""The type stubs, as mypy sees them: `@asset(...)` keeps the decorated function's types."""

import os
import subprocess
import textwrap

import pytest

from cli_support import REPO

# Debian's mypy, whichever interpreter runs the suite: the stubs are checked
# the same way everywhere.
MYPY = ["/usr/bin/python3", "-m", "mypy"]

HEADER = '''
from typing import Any

from sorva import AssetWrapper, asset, partitions


@asset()
def raw() -> list[int]:
    return [1, 2, 3]


@asset(inputs={"data": raw}, partitions={"city": partitions(["oslo"])}, name="scaled", serializer="json")
def scaled(data: list[int], city: str, factor: float = 1.0) -> dict[str, float]:
    return {city: sum(data) * factor}
'''


@pytest.fixture(scope="module")
def cache(tmp_path_factory):
    return tmp_path_factory.mktemp("mypy-cache")


def mypy(folder, cache, *targets):
    """Runs Debian's mypy in strict mode, with `sorva` resolved to the package sources."""
    done = subprocess.run(
        [*MYPY, "--strict", "--no-error-summary", "--cache-dir", str(cache), *targets],
        cwd=folder,
        capture_output=True,
        encoding="utf-8",
        env={**{k: v for k, v in os.environ.items() if k != "PYTHONPATH"}, "MYPYPATH": str(REPO / "python")},
        timeout=300,
        check=False,
    )
    return done.returncode, done.stdout


def check(tmp_path, cache, body):
    (tmp_path / "program.py").write_text(HEADER + textwrap.dedent(body), encoding="utf-8")
    return mypy(tmp_path, cache, "program.py")


def test_a_correct_program_passes(tmp_path, cache):
    status, output = check(tmp_path, cache, '''
        class Holder:
            source = raw


        def use(wrapper: AssetWrapper[[], list[int]]) -> int:
            return len(wrapper())


        total: dict[str, float] = scaled([1], "oslo", factor=2.0)
        again: dict[str, float] = scaled.__sorva_original__(data=[2], city="oslo")
        metadata: dict[str, Any] = raw.__sorva_metadata__
        kind: str = raw.__sorva_kind__
        name: str = scaled.__name__
        count = use(raw) + len(Holder().source())
    ''')
    assert (status, output) == (0, "")


@pytest.mark.parametrize(
    "expression, revealed",
    [
        ("scaled([1], 'oslo')", "builtins.dict[builtins.str, builtins.float]"),
        (
            "scaled",
            "sorva._sorva.AssetWrapper[[data: builtins.list[builtins.int], city: builtins.str, "
            "factor: builtins.float =], builtins.dict[builtins.str, builtins.float]]",
        ),
        ("raw.__wrapped__", "def () -> builtins.list[builtins.int]"),
        ("partitions([1, 'a'])", "sorva._sorva.Partitions"),
    ],
)
def test_the_decorated_function_keeps_its_types(tmp_path, cache, expression, revealed):
    status, output = check(tmp_path, cache, f"reveal_type({expression})\n")
    line = HEADER.count("\n") + 1
    assert (status, output) == (0, f'program.py:{line}: note: Revealed type is "{revealed}"\n')


@pytest.mark.parametrize(
    "statement, error",
    [
        (
            "scaled('not numbers', 'oslo')",
            'Argument 1 to "__call__" of "AssetWrapper" has incompatible type "str"; expected "List[int]"  [arg-type]',
        ),
        ("scaled([1])", 'Missing positional argument "city" in call to "__call__" of "AssetWrapper"  [call-arg]'),
        ("raw(1)", 'Too many arguments for "__call__" of "AssetWrapper"  [call-arg]'),
        ("x: str = raw()", 'Incompatible types in assignment (expression has type "List[int]", variable has type "str")  [assignment]'),
        ("asset(name=1)", 'Argument "name" to "asset" has incompatible type "int"; expected "Optional[str]"  [arg-type]'),
        ("asset(serializer=b'json')", 'Argument "serializer" to "asset" has incompatible type "bytes"; expected "Optional[str]"  [arg-type]'),
        (
            "asset(inputs={'data': 42})",
            'Dict entry 0 has incompatible type "str": "int"; expected "str": '
            '"Union[AssetWrapper[[VarArg(Any), KwArg(Any)], Any], str]"  [dict-item]',
        ),
        (
            "asset(partitions={'city': ['oslo']})",
            'Dict entry 0 has incompatible type "str": "List[str]"; expected "str": "Partitions"  [dict-item]',
        ),
        ("partitions(('a', 'b'))", 'Argument 1 to "partitions" has incompatible type "Tuple[str, str]"; expected "List[Any]"  [arg-type]'),
        ("asset()(raw).__sorva_kind__ = 'x'", 'Property "__sorva_kind__" defined in "AssetWrapper" is read-only  [misc]'),
    ],
    ids=["argument-type", "missing-argument", "extra-argument", "return-type", "name", "serializer", "inputs",
         "partitions-value", "partitions-list", "read-only"],
)
def test_a_wrong_use_is_reported(tmp_path, cache, statement, error):
    status, output = check(tmp_path, cache, statement + "\n")
    line = HEADER.count("\n") + 1
    assert (status, output) == (1, f"program.py:{line}: error: {error}\n")


def test_the_package_and_the_example_type_check_strictly(tmp_path, cache):
    assert mypy(REPO / "python", cache, "-p", "sorva") == (0, "")
    assert mypy(REPO / "examples", cache, "pipeline.py") == (0, "")
