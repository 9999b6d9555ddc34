"""The package's dependency rule, read from the imports of its sources (imports for type checkers only aside)."""

import ast
from pathlib import Path

PACKAGE = Path(__file__).resolve().parent.parent / "python" / "sorva"
ENTRY_POINTS = {"run", "runs", "graph", "inspect", "worker", "serve"}
LEAVES = {"_cli", "_outcomes", "_history", "serializers"}
SAME_PART = {"_historydb": "_history"}  # the history's two databases beside it


def imports(path):
    """The `sorva` modules that the module at `path` imports when it runs."""
    tree = ast.parse(path.read_text(encoding="utf-8"))
    for node in ast.walk(tree):
        if isinstance(node, ast.If) and getattr(node.test, "id", "") == "TYPE_CHECKING":
            node.body = []
    found = set()
    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            found.update(alias.name for alias in node.names)
        elif isinstance(node, ast.ImportFrom) and node.module:
            base = node.module.replace(".", "/").removeprefix("sorva")
            found.update(f"{node.module}.{alias.name}" if (PACKAGE / f"{base}/{alias.name}.py".lstrip("/")).exists()
                         else node.module for alias in node.names)
    return {name for name in found if name.startswith("sorva.") and name != "sorva._sorva"}


def forbidden(importer, imported):
    """Entry points -> the runner -> executors, job files, reporting -> the leaves; never back."""
    part, other = (SAME_PART.get(name.split(".")[1], name.split(".")[1]) for name in (importer, imported))
    if part == other:
        return False
    if other in ENTRY_POINTS or part in LEAVES:
        return True
    return {"_jobfiles": other not in ("serializers", "_cli"), "_executors": other in ("_runner", "_history", "_reporting"),
            "_reporting": other in ("_runner", "_executors")}.get(part, other == "_runner" and part not in ENTRY_POINTS)


def test_dependencies_point_one_way():
    modules = {".".join(("sorva", *path.relative_to(PACKAGE).with_suffix("").parts)).removesuffix(".__init__"): path
               for path in PACKAGE.rglob("*.py")}
    edges = {(importer, imported) for importer, path in modules.items() if importer != "sorva" for imported in imports(path)}
    assert {edge for edge in edges if forbidden(*edge)} == set()
    # The rule reads what is there: every part imports something, and the runner reaches every part below it.
    assert {imported.split(".")[1] for importer, imported in edges if importer.startswith("sorva._runner")} >= {
        "_executors", "_jobfiles", "_reporting", "_history", "_outcomes", "_cli"}
