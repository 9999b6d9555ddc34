"""The type stubs, as mypy sees them: `@asset(...)` keeps the decorated function's types."""

import os
import subprocess

import pytest

from cli_support import REPO

HEADER = '''from sorva import AssetWrapper, asset, partitions
@asset()
def raw() -> list[int]: return [1, 2, 3]
@asset(inputs={"data": raw}, partitions={"city": partitions(["oslo"])}, name="scaled", serializer="json")
def scaled(data: list[int], city: str, factor: float = 1.0) -> dict[str, float]: return {city: sum(data) * factor}
'''
LINE = HEADER.count("\n") + 1


@pytest.fixture(scope="module")
def cache(tmp_path_factory):
    return tmp_path_factory.mktemp("mypy-cache")


def mypy(cache, program, *statements):
    """Debian's strict mypy, whichever interpreter runs the suite, on the package, the example and a program."""
    program.write_text(HEADER + "".join(f"{statement}\n" for statement in statements), encoding="utf-8")
    command = ["/usr/bin/python3", "-m", "mypy", "--strict", "--no-error-summary", "--cache-dir", str(cache)]
    done = subprocess.run([*command, "python/sorva", "examples/pipeline.py", str(program)], cwd=REPO, capture_output=True,
                          encoding="utf-8", env={**os.environ, "PYTHONPATH": "", "MYPYPATH": "python"}, timeout=300, check=False)
    return done.returncode, done.stdout.replace(f"{program}:", "")


def test_a_correct_program_passes_and_keeps_the_types(tmp_path, cache):
    assert mypy(
        cache, tmp_path / "program.py", "reveal_type(scaled)", "reveal_type(raw.__wrapped__)",
        "def use(wrapper: AssetWrapper[[], list[int]]) -> int: return len(wrapper()) + len(scaled([1], 'oslo', 2.0))",
        "again: dict[str, float] = scaled.__sorva_original__(data=[2], city='oslo') or {raw.__sorva_kind__: use(raw)}",
    ) == (0, (
        f'{LINE}: note: Revealed type is "sorva._sorva.AssetWrapper[[data: builtins.list[builtins.int], city: builtins.str, '
        f'factor: builtins.float =], builtins.dict[builtins.str, builtins.float]]"\n'
        f'{LINE + 1}: note: Revealed type is "def () -> builtins.list[builtins.int]"\n'
    ))


@pytest.mark.parametrize("statements, errors", [
    (["scaled('not numbers', 'oslo')"],
     ['Argument 1 to "__call__" of "AssetWrapper" has incompatible type "str"; expected "List[int]"  [arg-type]']),
    (["asset(name=1)", "asset(partitions={'city': ['oslo']})", "raw.__sorva_kind__ = 'x'"], [
        'Argument "name" to "asset" has incompatible type "int"; expected "Optional[str]"  [arg-type]',
        'Dict entry 0 has incompatible type "str": "List[str]"; expected "str": "Partitions"  [dict-item]',
        'Property "__sorva_kind__" defined in "AssetWrapper" is read-only  [misc]',
    ]),
])
def test_a_wrong_use_is_reported(tmp_path, cache, statements, errors):
    expected = "".join(f"{LINE + n}: error: {error}\n" for n, error in enumerate(errors))
    assert mypy(cache, tmp_path / "program.py", *statements) == (1, expected)
