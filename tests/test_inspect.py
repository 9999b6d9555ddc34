"""inspect_modules: records for real modules in temporary folders, skipped imports and failures."""

import builtins
import inspect
import io
import json
import sys
import textwrap
from types import SimpleNamespace

import pytest

import sorva._sorva as m

VERSION = "{}.{}.{}".format(*sys.version_info[:3])
ASSET = "from sorva import asset\n\n@asset()\ndef f() -> int:\n    pass\n"


def assets(*names):
    return json.loads(m.inspect_modules(list(names)))["assets"]


class Stub:
    """Answers the calls inspect_modules makes (their caller is a frame of this file), once the module named
    `after` is imported if one is named; others reach the real one."""

    def __init__(self, real, answer):
        self.real, self.answer, self.raises, self.after = real, answer, isinstance(answer, BaseException), None

    def __call__(self, *args):
        if sys._getframe(1).f_globals.get("__name__") != __name__ or self.after not in (None, *sys.modules):
            return self.real(*args)
        if self.raises:
            raise self.answer
        return self.answer


def stub(module, attribute, answer):
    return module, attribute, Stub(getattr(module, attribute), answer)


def raised(call):
    with pytest.raises(BaseException) as info:
        call()
    return type(info.value), info.value.args, info.value.__cause__


def test_output_text_of_a_record(make_module, tmp_path):
    function = '@asset()\ndef raw() -> list[int]:\n    return ["é\\t"]\n'
    name = make_module(source := "from sorva import asset\n\n\n" + function)
    text = lambda value: json.dumps(value, ensure_ascii=False)  # noqa: E731
    assert m.inspect_modules([name]) == (
        '{"assets":[{"decorator_metadata":{"inputs":null,"kind":"asset","name":null,"partitions":null,"serializer":null},'
        f'"file_path":{text(str((tmp_path / f"{name}.py").resolve()))},"function_name":"raw",'
        f'"function_source":{text(function)},"kind":"asset","module_path":"{name}","module_source":{text(source)},'
        f'"python_version":"{VERSION}","return_type":"list[int]"}}]}}')
    assert m.inspect_modules([]) == '{"assets":[]}'


# Text of every width, in outputs below and above the size where the buffer is grown by copying, comes back
# whole and as the interpreter itself would build the str: a str of a wider kind than its text needs is unequal
# to the same text decoded by the interpreter. The JSON writer's room moves as a long source grows it, and is
# taken away and reused for the second record.
@pytest.mark.parametrize("letter", ["e", "é", "日", "😀"])
@pytest.mark.parametrize("lines", [1, 60000])
def test_output_text_of_every_width_and_size(make_module, letter, lines):
    filler = "".join(f"# {letter} {n}\n" for n in range(lines))
    name = make_module(filler + ASSET)
    text = m.inspect_modules([name, name])
    assert text == text.encode("utf-8").decode("utf-8")
    assert [record["module_source"] for record in json.loads(text)["assets"]] == [filler + ASSET] * 2


def test_records_follow_member_names_repeat_and_top_level_code_runs_once(make_module, tmp_path, capfd):
    runs = tmp_path / "runs.txt"
    a = make_module(f"with open({str(runs)!r}, 'a') as out:\n    out.write('run')\n"
                    "from sorva import asset\n\ndef zeta():\n    return 1\n\ndef alpha():\n    return 2\n\n"
                    "b_member = asset()(alpha)\na_member = asset()(zeta)\nB_member = asset()(alpha)\n")
    b = make_module(f"from {a} import a_member\n")
    records = assets(a, b, a)
    assert [(r["module_path"], r["function_name"]) for r in records] == (
        [(a, "alpha"), (a, "zeta"), (a, "alpha"), (b, "zeta")] + [(a, "alpha"), (a, "zeta"), (a, "alpha")])
    assert records[3]["module_source"] == f"from {a} import a_member\n"
    assert {k for k in records[1] if records[1][k] != records[3][k]} == {"module_path", "module_source"}
    assert m.inspect_modules([a]) == m.inspect_modules([a])
    assert runs.read_text() == "run" and capfd.readouterr().err == ""


@pytest.mark.parametrize("source, expected", [
    ("def member(x) -> int:\n    return x\nmember.__sorva_kind__ = 'asset'\nmember.__sorva_metadata__ = {}",
     ("member", {}, "int")),
    ("import types\ndef target():\n    pass\nmember = types.SimpleNamespace(__sorva_kind__='asset', "
     "__sorva_metadata__=[1, {'b': 2.5, 'a': None}], __sorva_original__=target)",
     ("target", [1, {"a": None, "b": 2.5}], None)),
    # A str subclass is compared as text; a failing __sorva_original__ means the member stands for itself.
    ("class Kind(str):\n    __eq__ = lambda self, other: False\n    __hash__ = str.__hash__\n"
     "class Raising(type):\n    __sorva_original__ = property(lambda cls: 1 / 0)\n"
     "class member(metaclass=Raising):\n    __sorva_kind__ = Kind('asset')\n    __sorva_metadata__ = 'text'",
     ("member", "text", None)),
] + [
    (f"class Member:\n    __sorva_kind__ = {kind}\n    __sorva_metadata__ = {{}}\nmember = Member()", None)
    for kind in ['"Asset"', '"asset "', '"asset\\0"', 'b"asset"', "1", "property(lambda self: 1 / 0)"]
])
def test_duck_typed_assets(make_module, source, expected):
    records = assets(make_module(source))
    fields = ["function_name", "decorator_metadata", "return_type"]
    assert [tuple(r[k] for k in fields) for r in records] == ([expected] if expected else [])


@pytest.mark.parametrize("annotation, expected", [
    ("", None), ("-> Meta", "Meta"), ("-> dict[str, int]", "dict[str, int]"), ("-> None", "None"),
    ('-> "list[Undefined]"', "list[Undefined]"), ("-> Always()", "always"), ("-> inspect.Signature.empty", None),
])
def test_return_types(make_module, annotation, expected):
    name = make_module("import inspect\nfrom sorva import asset\n\nclass Meta(type):\n    pass\n\n"
                       "class Always:\n    __eq__ = lambda self, other: True\n    __str__ = lambda self: 'always'\n\n"
                       f"@asset()\ndef f() {annotation}:\n    pass\n")
    assert [r["return_type"] for r in assets(name)] == [expected]


def test_sources_are_dedented_empty_modules_read_as_empty_and_an_unknown_file_is_empty(make_module, tmp_path, monkeypatch):
    body = "if True:\n    from sorva import asset\n\n    @asset()\n    def nested():\n        return 1\n"
    (record,) = assets(make_module("\n\n   \n" + body + "\n\n\n    \t  \n"))
    assert (record["function_source"], record["module_source"]) == ("@asset()\ndef nested():\n    return 1\n", body)
    (tmp_path / "pkg_empty_init").mkdir()
    (tmp_path / "pkg_empty_init/__init__.py").touch()
    (tmp_path / "pkg_empty_init/base.py").write_text(ASSET)
    records = assets(make_module(""), "pkg_empty_init", "pkg_empty_init.base")
    assert [(r["module_path"], r["module_source"]) for r in records] == [("pkg_empty_init.base", ASSET)]
    monkeypatch.setattr(*stub(inspect, "getsourcefile", OSError("none")))
    assert [r["file_path"] for r in assets("pkg_empty_init.base")] == [""]


@pytest.mark.parametrize("name, source, text", [
    ("missing_x", None, "ModuleNotFoundError: No module named 'missing_x'"),
    (".rel", None, "TypeError: the 'package' argument is required to perform a relative import for '.rel'"),
    (None, "raise ValueError('boom')", "ValueError: boom"),
    (None, "def broken(:\n    pass", "SyntaxError: invalid syntax ({name}.py, line 1)"),
    (None, "raise SystemExit(3)", "SystemExit: 3"),
])
def test_skip_lines_are_written_to_descriptor_2(make_module, capfd, monkeypatch, name, source, text):
    name = make_module(source) if name is None else name
    monkeypatch.setattr(sys, "stderr", io.StringIO())
    assert m.inspect_modules([name]) == '{"assets":[]}'
    assert capfd.readouterr().err == f"sorva: skipping module '{name}': {text.format(name=name)}\n"
    assert sys.stderr.getvalue() == ""


INTERRUPTS = "def interrupt(*args):\n    raise KeyboardInterrupt('stop')\n"
ANY_READ = INTERRUPTS + "class Member:\n    __getattr__ = interrupt\nmember = Member()\n"
ORIGINAL_READ = INTERRUPTS + ("class Member:\n    __sorva_kind__ = property(lambda self: 'asset')\n    __sorva_metadata__ = {}\n"
                              "    __sorva_original__ = property(interrupt)\nmember = Member()\n")


@pytest.mark.parametrize("modules", [
    lambda make, monkeypatch: [make(ASSET), make("raise KeyboardInterrupt('stop')")],
    lambda make, monkeypatch: [make("raise type('Sub', (KeyboardInterrupt,), {})('stop')")],
    lambda make, monkeypatch: [make(ANY_READ)],
    lambda make, monkeypatch: [make(ORIGINAL_READ)],
    lambda make, monkeypatch: monkeypatch.setattr(*stub(inspect, "getsourcefile", KeyboardInterrupt("stop"))) or [make(ASSET)],
], ids=["import", "import subclass", "kind", "original", "source file"])
def test_ctrl_c_while_importing_or_in_a_tolerant_read_propagates(make_module, monkeypatch, capfd, modules):
    # What was skipped before it has been reported; no module after it is reached.
    with pytest.raises(KeyboardInterrupt) as info:
        m.inspect_modules(["missing_a", *modules(make_module, monkeypatch), "never_reached"])
    assert (info.value.args, capfd.readouterr().err) == (
        ("stop",), "sorva: skipping module 'missing_a': ModuleNotFoundError: No module named 'missing_a'\n")


DUCK = "def bad():\n    pass\nbad.__sorva_kind__ = 'asset'\n"
LATE = "listed_after_a_good_one"


# A failure in a module listed after one that was inspected whole: the very exception, with its own type and
# arguments and nothing chained; the module's own checks raise their message as the only argument.
@pytest.mark.parametrize("member, patch, error", [
    (DUCK, None, (AttributeError, "'function' object has no attribute '__sorva_metadata__'")),
    (DUCK + "bad.__sorva_metadata__ = {'k': object()}", None, (TypeError, "Object of type object is not JSON serializable")),
    (DUCK + "bad.__sorva_metadata__ = {}", stub(json, "dumps", TypeError("not JSON")), (TypeError, "not JSON")),
    (DUCK + "bad.__sorva_metadata__ = {'x': float('nan')}", None,
     (RuntimeError, "JSON parse error: expected value at line 1 column 7")),
    (DUCK + "bad.__sorva_metadata__ = {'s': '\\ud800'}", None,
     (RuntimeError, "JSON parse error: unexpected end of hex escape at line 1 column 14")),
    ("bad = asset()(42)", None, raised(lambda: inspect.getsource(42))),
    ("class Meta(type):\n    __name__ = property(lambda cls: 5)\nclass Model(metaclass=Meta):\n    pass\n"
     "@asset()\ndef bad() -> Model:\n    pass", None, (TypeError, "'int' object cannot be converted to 'PyString'")),
    ("@asset()\ndef bad() -> '\\ud800':\n    pass", None, raised(lambda: "\ud800".encode())),
    ("class Odd:\n    __str__ = lambda self: 1 / 0\n@asset()\ndef bad() -> Odd():\n    pass", None,
     (ZeroDivisionError, "division by zero")),
    ("", stub(inspect, "getmembers", [["f", 1]]), (TypeError, "'list' object cannot be converted to 'PyTuple'")),
    ("", stub(inspect, "getsource", 5), raised(lambda: textwrap.dedent(5))),
    # A module whose source cannot be read is not taken for an empty one.
    ("", stub(inspect, "getsource", OSError("could not get source code")), (OSError, "could not get source code")),
    ("", stub(textwrap, "dedent", type("Text", (str,), {"strip": lambda self: 5})()),
     (TypeError, "'int' object cannot be converted to 'PyString'")),
    ("", stub(inspect, "signature", ValueError("no signature")), (ValueError, "no signature")),
    ("", stub(builtins, "isinstance", "yes"), (TypeError, "'str' object cannot be converted to 'PyBool'")),
    # Before any listed module is reached.
    ("", (sys, "version_info", SimpleNamespace(major="3", minor=1, micro=0)),
     (TypeError, "'str' object cannot be interpreted as an integer")),
    ("", (sys.modules, "textwrap", None), (ModuleNotFoundError, "import of textwrap halted; None in sys.modules")),
])
def test_failures_that_end_the_call(make_module, monkeypatch, member, patch, error):
    good = make_module(ASSET)
    make_module(ASSET + member, name=LATE)
    if patch:
        if isinstance(patch[2], Stub):
            patch[2].after = LATE  # the good module is inspected as it is
        (monkeypatch.setitem if type(patch[0]) is dict else monkeypatch.setattr)(*patch)
    expected = error if len(error) == 3 else (error[0], (error[1],), None)
    stubbed = patch[2].answer if patch and getattr(patch[2], "raises", False) else None
    with pytest.raises(BaseException) as info:
        m.inspect_modules([good, LATE])
    assert (type(info.value), info.value.args, info.value.__cause__) == expected
    assert stubbed is None or info.value is stubbed


@pytest.mark.parametrize("trigger", [
    "panic()", "class Member:\n    __sorva_kind__ = property(lambda self: panic())\nmember = Member()",
])
def test_an_internal_fault_is_never_passed_over(make_module, capfd, trigger):
    name = make_module("from faults import cause_fault as panic\n" + trigger + "\n")
    kind, args, _ = raised(lambda: m.inspect_modules([name]))
    assert (kind.__name__, args) == ("PanicException", ("dictionary changed size during iteration",))
    assert "sorva: skipping module" not in capfd.readouterr().err
