"""The type stubs, as mypy sees them: `@asset(...)` keeps the decorated function's types."""

import os
import re
import subprocess

import pytest

from cli_support import REPO

HEADER = '''from collections.abc import Callable
from typing import assert_type
from sorva import AssetWrapper, asset, partitions
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
    """Debian's strict mypy, whichever interpreter runs the suite, on the package, the example and a program.

    Gives the status and, per line of the program after the header, the error codes reported there:
    the wording of the messages is mypy's own and changes between its versions.
    """
    program.write_text(HEADER + "".join(f"{statement}\n" for statement in statements), encoding="utf-8")
    command = ["/usr/bin/python3", "-m", "mypy", "--strict", "--no-error-summary", "--cache-dir", str(cache)]
    done = subprocess.run([*command, "python/sorva", "examples/pipeline.py", str(program)], cwd=REPO, capture_output=True,
                          encoding="utf-8", env={**os.environ, "PYTHONPATH": "", "MYPYPATH": "python"}, timeout=300, check=False)
    codes = re.findall(rf"^{re.escape(str(program))}:(\d+): error: .*\[([a-z-]+)\]$", done.stdout, re.MULTILINE)
    return done.returncode, [(int(line) - LINE, code) for line, code in codes]


def test_a_correct_program_passes_and_keeps_the_types(tmp_path, cache):
    assert mypy(
        cache, tmp_path / "program.py",
        "assert_type(scaled([1], 'oslo', factor=2.0), dict[str, float])",
        "assert_type(raw.__wrapped__, Callable[[], list[int]])",
        "def use(wrapper: AssetWrapper[[], list[int]]) -> int: return len(wrapper()) + len(scaled([1], 'oslo', 2.0))",
        "again: dict[str, float] = scaled.__sorva_original__(data=[2], city='oslo') or {raw.__sorva_kind__: use(raw)}",
    ) == (0, [])


@pytest.mark.parametrize("statements, errors", [
    (["scaled('not numbers', 'oslo')", "scaled([1], city=2)", "scaled([1])"],
     [(0, "arg-type"), (1, "arg-type"), (2, "call-arg")]),
    (["asset(name=1)", "asset(partitions={'city': ['oslo']})", "raw.__sorva_kind__ = 'x'", "assert_type(raw(), list[str])"],
     [(0, "arg-type"), (1, "dict-item"), (2, "misc"), (3, "assert-type")]),
])
def test_a_wrong_use_is_reported(tmp_path, cache, statements, errors):
    assert mypy(cache, tmp_path / "program.py", *statements) == (1, errors)
