"""The type stubs, as mypy sees them: `@asset(...)` keeps the decorated function's types."""

import os
import re
import subprocess

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


# The first four statements are right and keep the types; each of the others is wrong in one way.
STATEMENTS = [
    "assert_type(scaled([1], 'oslo', factor=2.0), dict[str, float])",
    "assert_type(raw.__wrapped__, Callable[[], list[int]])",
    "def use(wrapper: AssetWrapper[[], list[int]]) -> int: return len(wrapper()) + len(scaled([1], 'oslo', 2.0))",
    "again: dict[str, float] = scaled.__sorva_original__(data=[2], city='oslo') or {raw.__sorva_kind__: use(raw)}",
    "scaled('not numbers', 'oslo')", "scaled([1], city=2)", "scaled([1])",
    "asset(name=1)", "asset(partitions={'city': ['oslo']})", "raw.__sorva_kind__ = 'x'", "assert_type(raw(), list[str])",
]


def test_a_correct_use_keeps_the_types_and_a_wrong_one_is_reported(tmp_path):
    """Debian's strict mypy, whichever interpreter runs the suite, on the package, the example and a program; error
    codes are compared per statement, as mypy words its messages differently from version to version."""
    program = tmp_path / "program.py"
    program.write_text(HEADER + "".join(f"{statement}\n" for statement in STATEMENTS), encoding="utf-8")
    command = ["/usr/bin/python3", "-m", "mypy", "--strict", "--no-error-summary", "--cache-dir", str(tmp_path / "cache")]
    done = subprocess.run([*command, "python/sorva", "examples/pipeline.py", str(program)], cwd=REPO, capture_output=True,
                          encoding="utf-8", env={**os.environ, "PYTHONPATH": "", "MYPYPATH": "python"}, timeout=300, check=False)
    codes = re.findall(rf"^{re.escape(str(program))}:(\d+): error: .*\[([a-z-]+)\]$", done.stdout, re.MULTILINE)
    assert (done.returncode, [(int(line) - LINE, code) for line, code in codes]) == (1, [
        (4, "arg-type"), (5, "arg-type"), (6, "call-arg"), (7, "arg-type"), (8, "dict-item"), (9, "misc"), (10, "assert-type")])
