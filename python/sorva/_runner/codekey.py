"""What of a module's code an asset's function can use: the digests a job key holds instead of the whole module.

The module is parsed once and each top-level statement is digested as its
syntax tree without positions (`ast.dump(..., include_attributes=False)`),
so comments, blank lines and the layout of the text do not count; docstrings
do, as code may read them. An asset's code is its function's statement
(decorators, defaults and annotations included) and, transitively, the
statements that bind the module-level names it mentions: functions,
classes, constants and imports. A name mentioned is over-approximated (a
local that shadows a module-level name counts as using it), which costs at
most a needless rerun.

Where the analysis cannot be sure what the function uses, the whole module
counts, as a key over its source would: the module does not parse, the
function is not a plain top-level definition, a star import, a `global`
statement, the use of `globals`, `locals`, `vars`, `eval`, `exec` or
`__import__`, a name that is neither bound in the module nor a builtin, or a
name the module binds more than once or inside other statements (an `if`, a
loop, a `try`, a call at top level that may change it).
"""

from __future__ import annotations

import ast
import builtins
import hashlib
from collections.abc import Iterator
from dataclasses import dataclass

WHOLE_MODULE = "(module)"  # the one name of a fallback's digests

# Names a module has without binding them.
_GIVEN = frozenset(dir(builtins)) | {"__file__", "__builtins__", "__annotations__", "__path__", "__cached__"}
# Names that reach the module's namespace by a route the analysis cannot follow.
_OPAQUE = frozenset({"globals", "locals", "vars", "eval", "exec", "__import__"})

_TOO_DEEP = "the module nests too deeply to be read"
# What a name is, as the dry run says it: "helper `clean` changed"; any other statement binds a "constant".
_KINDS = {
    ast.FunctionDef: "helper",
    ast.AsyncFunctionDef: "helper",
    ast.ClassDef: "helper",
    ast.Import: "import",
    ast.ImportFrom: "import",
}


@dataclass(frozen=True)
class Code:
    """What an asset's key holds of its code: a digest per module-level name it uses, or the whole module's.

    `digests` maps each name (the function's own first) to a short digest of
    the statement binding it; `kinds` says what each is ("helper", "constant",
    "import"); a fallback has the single name WHOLE_MODULE and `why` says
    what made the analysis give up.
    """

    digests: dict[str, str]
    kinds: dict[str, str]
    why: str = ""


def _digest(text: str) -> str:
    return hashlib.sha256(text.encode("utf-8", "surrogatepass")).hexdigest()[:20]


class ModuleCode:
    """One module's top-level statements, parsed once for all the assets it defines."""

    def __init__(self, source: str) -> None:
        self.source = source
        self.problem = ""  # why no function of the module can do without the whole module
        self.bound: dict[str, ast.stmt] = {}  # name -> the one statement that binds it
        self.unsure: dict[str, str] = {}  # name -> why its value cannot be told from one statement
        self.names: dict[str, tuple[set[str], set[str]]] = {}  # `_names` of the statement binding a name
        self.digests: dict[str, str] = {}  # the digest of the statement binding a name
        try:
            tree = ast.parse(source)
        except (SyntaxError, ValueError):
            self.problem = "the module does not parse"
            return
        except RecursionError:
            self.problem = _TOO_DEEP
            return
        for statement in tree.body:
            self._read(statement)

    def _read(self, statement: ast.stmt) -> None:
        if any(isinstance(node, ast.Global) for node in ast.walk(statement)):
            self.problem = "a `global` statement"
        if isinstance(statement, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
            self._bind(statement.name, statement)
        elif isinstance(statement, (ast.Import, ast.ImportFrom)):
            for alias in statement.names:
                if alias.name == "*":
                    self.problem = "a star import"
                self._bind(alias.asname or alias.name.split(".")[0], statement)
        elif isinstance(statement, (ast.Assign, ast.AnnAssign)):
            for target in statement.targets if isinstance(statement, ast.Assign) else [statement.target]:
                for name in _mentioned(target):
                    if _plain(target):
                        self._bind(name, statement)
                    else:  # `X.attr = ...`, `X[key] = ...` change X
                        self.unsure[name] = f"`{name}` is changed at module level"
        elif not isinstance(statement, ast.Pass) and not (
            isinstance(statement, ast.Expr) and isinstance(statement.value, ast.Constant)
        ):
            # An `if`, a loop, a `try`, a call...: whatever it mentions may be bound or changed there,
            # but for a function it only calls (`if __name__ == "__main__": main()`).
            for name in _mentioned(statement, calls=False):
                self.unsure.setdefault(name, f"`{name}` is bound or changed in a module-level statement")

    def _bind(self, name: str, statement: ast.stmt) -> None:
        if name in self.bound and self.bound[name] is not statement:
            self.unsure[name] = f"`{name}` is bound more than once"
        self.bound[name] = statement

    def code(self, function: str, function_source: str) -> Code:
        """The digests of what `function` uses, or of the whole module where that cannot be told."""
        why = self._why_not(function)
        digests: dict[str, str] = {}
        kinds: dict[str, str] = {}
        for name in [] if why else self._closure(function):
            statement = self.bound[name]
            if name not in self.digests:
                try:
                    self.digests[name] = _digest(ast.dump(statement, include_attributes=False))
                except RecursionError:  # the other functions of the module may do without this statement
                    why = _TOO_DEEP
                    break
            digests[name] = self.digests[name]
            kinds[name] = _KINDS.get(type(statement), "constant")
        if why:
            whole = _digest(self.source + "\0" + function_source)
            return Code({WHOLE_MODULE: whole}, {WHOLE_MODULE: "module"}, why)
        return Code(digests, kinds)

    def _why_not(self, function: str) -> str:
        """Why `function`'s code cannot be told from the statements it uses, in a few words; "" when it can."""
        if self.problem:
            return self.problem
        if not isinstance(self.bound.get(function), (ast.FunctionDef, ast.AsyncFunctionDef)):
            return f"`{function}` is not a plain module-level function"
        for name in self._closure(function):
            if name in self.unsure:
                return self.unsure[name]
            read, local = self._names(name)
            for used in sorted(read):
                if used in _OPAQUE:
                    return f"it uses `{used}`"
                if used not in self.bound and used not in self.unsure and used not in local and used not in _GIVEN:
                    return f"`{used}` is not a module-level name"
        return ""

    def _closure(self, function: str) -> list[str]:
        """`function` and the module-level names it reads, transitively, the function first."""
        found = {function: None}
        todo = [function]
        while todo:
            name = todo.pop()
            if name not in self.bound:
                continue
            read, local = self._names(name)
            for used in sorted(read):
                if used not in found and (used in self.bound or used in self.unsure and used not in local):
                    found[used] = None
                    todo.append(used)
        return list(found)

    def _names(self, name: str) -> tuple[set[str], set[str]]:
        if name not in self.names:
            self.names[name] = _names(self.bound[name])
        return self.names[name]


def _plain(target: ast.expr) -> bool:
    """A target that only binds names (`a`, `a, b`, `[a, *b]`)."""
    if isinstance(target, ast.Name):
        return True
    if isinstance(target, ast.Starred):
        return _plain(target.value)
    return isinstance(target, (ast.Tuple, ast.List)) and all(_plain(element) for element in target.elts)


def _mentioned(node: ast.AST, calls: bool = True) -> Iterator[str]:
    """The names in a piece of syntax, read or bound; without the names of functions called where `calls` is false."""
    called = set() if calls else {id(inner.func) for inner in ast.walk(node) if isinstance(inner, ast.Call)}
    for inner in ast.walk(node):
        if isinstance(inner, ast.Name) and id(inner) not in called:
            yield inner.id
        elif isinstance(inner, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
            yield inner.name
        elif isinstance(inner, ast.alias):
            yield inner.asname or inner.name.split(".")[0]


def _names(statement: ast.stmt) -> tuple[set[str], set[str]]:
    """The names a top-level statement reads, and those it binds inside itself (parameters, locals...).

    A name read counts as the module's wherever the module binds it, even
    where a local of the same name shadows it: at worst a needless rerun.
    """
    if isinstance(statement, (ast.Import, ast.ImportFrom)):
        return set(), set()
    read: set[str] = set()
    local: set[str] = set()
    upstream = _upstream_names(statement)
    if isinstance(statement, ast.AnnAssign):
        parts: list[ast.AST] = [statement.annotation, *([statement.value] if statement.value else [])]
    elif isinstance(statement, ast.Assign):
        parts = [statement.value]
    else:
        parts = [statement]
    for node in (inner for part in parts for inner in ast.walk(part)):
        if isinstance(node, ast.Name):
            if id(node) not in upstream:
                (read if isinstance(node.ctx, ast.Load) else local).add(node.id)
        elif isinstance(node, ast.arg):
            local.add(node.arg)
        elif isinstance(node, ast.ExceptHandler) and node.name:
            local.add(node.name)
        elif isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)) and node is not statement:
            local.add(node.name)
        elif isinstance(node, ast.alias):
            local.add(node.asname or node.name.split(".")[0])
        elif isinstance(node, (ast.MatchAs, ast.MatchStar)) and node.name:
            local.add(node.name)
        elif isinstance(node, ast.MatchMapping) and node.rest:
            local.add(node.rest)
    return read, local


def _upstream_names(statement: ast.stmt) -> set[int]:
    """The upstreams named in the decorator's `inputs={"rows": raw}`: their values feed the key, not their code."""
    if not isinstance(statement, (ast.FunctionDef, ast.AsyncFunctionDef)):
        return set()
    return {
        id(value)
        for decorator in statement.decorator_list
        if isinstance(decorator, ast.Call)
        for keyword in decorator.keywords
        if keyword.arg == "inputs" and isinstance(keyword.value, ast.Dict)
        for value in keyword.value.values
        if isinstance(value, ast.Name)
    }


def code_of(modules: dict[str, ModuleCode], module_source: str, function: str, function_source: str) -> Code:
    """The code digests of one asset; `modules` caches each module's analysis by its source."""
    module = modules.get(module_source)
    if module is None:
        module = modules[module_source] = ModuleCode(module_source)
    return module.code(function, function_source)
