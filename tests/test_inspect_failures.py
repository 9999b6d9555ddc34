"""inspect_modules: skipped imports, the failures that end the call, and hostile modules."""

import builtins
import importlib
import inspect
import io
import json
import os
import pathlib
import sys
import textwrap

import pytest

import sorva._sorva as m

ASSET = "from sorva import asset\n\n@asset()\ndef f():\n    pass\n"


def python_error(call):
    """The exception the interpreter itself raises for a call the module makes."""
    with pytest.raises(BaseException) as info:
        call()
    return type(info.value), str(info.value)


def raised(call):
    with pytest.raises(BaseException) as info:
        call()
    return type(info.value), str(info.value)


@pytest.mark.parametrize(
    "source, text",
    [
        (None, "ModuleNotFoundError: No module named '{name}'"),
        ("raise ValueError('boom')", "ValueError: boom"),
        ("def broken(:\n    pass", "SyntaxError: invalid syntax ({name}.py, line 1)"),
        ("raise SystemExit(3)", "SystemExit: 3"),
        ("class E(Exception):\n    def __str__(self):\n        raise RuntimeError\nraise E()", "E: <exception str() failed>"),
        ("class Outer:\n    class Error(Exception):\n        pass\nraise Outer.Error('x')", "Outer.Error: x"),
        ("raise ValueError('a\\ud800b')", "ValueError: a\ufffd\ufffd\ufffdb"),
        ("import no_such_dependency_of_inspect", "ModuleNotFoundError: No module named 'no_such_dependency_of_inspect'"),
    ],
)
def test_skip_line(make_module, capfd, monkeypatch, source, text):
    name = make_module(source) if source is not None else "no_such_inspect_mod"
    python_stderr = io.StringIO()
    monkeypatch.setattr(sys, "stderr", python_stderr)
    assert m.inspect_modules([name]) == '{"assets":[]}'
    assert capfd.readouterr().err == f"sorva: skipping module '{name}': {text.format(name=name)}\n"
    assert python_stderr.getvalue() == ""
    assert name not in sys.modules


@pytest.mark.parametrize(
    "name, text",
    [
        ("", "ValueError: Empty module name"),
        (".rel", "TypeError: the 'package' argument is required to perform a relative import for '.rel'"),
        ("ñ_missing", "ModuleNotFoundError: No module named 'ñ_missing'"),
    ],
)
def test_names_that_cannot_be_imported(capfd, name, text):
    assert m.inspect_modules([name]) == '{"assets":[]}'
    assert capfd.readouterr().err == f"sorva: skipping module '{name}': {text}\n"


def test_skip_lines_come_in_list_order_between_records(make_module, capfd):
    good = make_module(ASSET)
    records = json.loads(m.inspect_modules(["missing_b", good, "missing_a", good]))["assets"]
    assert [r["module_path"] for r in records] == [good, good]
    assert capfd.readouterr().err == (
        "sorva: skipping module 'missing_b': ModuleNotFoundError: No module named 'missing_b'\n"
        "sorva: skipping module 'missing_a': ModuleNotFoundError: No module named 'missing_a'\n"
    )


@pytest.mark.parametrize("exception", ["KeyboardInterrupt('stop')", "type('Sub', (KeyboardInterrupt,), {})('stop')"])
def test_keyboard_interrupt_while_importing_propagates(make_module, capfd, exception):
    good = make_module(ASSET)
    name = make_module(f"raise {exception}")
    with pytest.raises(KeyboardInterrupt) as info:
        m.inspect_modules(["missing_first", good, name, "never_reached"])
    assert info.value.args == ("stop",)
    assert capfd.readouterr().err == (
        "sorva: skipping module 'missing_first': ModuleNotFoundError: No module named 'missing_first'\n"
    )


def test_no_partial_result_when_a_later_module_fails(make_module, capfd):
    good = make_module(ASSET)
    with pytest.raises(TypeError, match="is a built-in module"):
        m.inspect_modules([good, "missing_c", "sys"])
    assert capfd.readouterr().err.startswith("sorva: skipping module 'missing_c'")


def test_module_source_that_cannot_be_read(make_module, tmp_path):
    assert raised(lambda: m.inspect_modules(["sys"])) == python_error(lambda: inspect.getsource(sys))

    gone = make_module(ASSET)
    module = importlib.import_module(gone)
    os.remove(tmp_path / f"{gone}.py")
    expected = python_error(lambda: inspect.getsource(module))
    assert expected[0] is OSError
    assert raised(lambda: m.inspect_modules([gone])) == expected


class Text(str):
    def strip(self):
        return 5


class VersionInfo:
    def __init__(self, **parts):
        self.__dict__.update(parts)


@pytest.mark.parametrize(
    "parts, error",
    [
        ({"major": "3", "minor": 1, "micro": 0}, (TypeError, "'str' object cannot be interpreted as an integer")),
        ({"major": 3, "minor": 2**63, "micro": 0}, (OverflowError, "int too big to convert")),
        ({"major": 3, "micro": 0}, (AttributeError, "'VersionInfo' object has no attribute 'minor'")),
    ],
)
def test_unusable_version_info(monkeypatch, parts, error):
    monkeypatch.setattr(sys, "version_info", VersionInfo(**parts))
    assert raised(lambda: m.inspect_modules([])) == error


def test_version_numbers_are_read_as_64_bit_integers(monkeypatch):
    monkeypatch.setattr(sys, "version_info", VersionInfo(major=True, minor=-(2**63), micro=2**63 - 1))
    assert m.inspect_modules([]) == '{"assets":[]}'


def test_unimportable_standard_module(monkeypatch):
    monkeypatch.setitem(sys.modules, "textwrap", None)
    assert raised(lambda: m.inspect_modules([])) == (ModuleNotFoundError, "import of textwrap halted; None in sys.modules")


def module_with_member(make_module, member_source):
    return make_module(
        "from sorva import asset\n"
        "import inspect\n\n"
        "@asset()\n"
        "def f() -> int:\n"
        "    pass\n\n" + textwrap.dedent(member_source)
    )


class Stub:
    """Stands in for a library function, with a fixed answer for the calls the
    module makes itself; the library's own calls still reach the real function."""

    def __init__(self, real, answer):
        self.real = real
        self.answer = answer
        self.raises = BaseException in type(answer).__mro__

    def __call__(self, *args):
        # A call made from native code has the caller of inspect_modules as
        # its Python caller: a frame of this test module.
        if sys._getframe(1).f_globals.get("__name__") != __name__:
            return self.real(*args)
        if self.raises:
            raise self.answer
        return self.answer


def replace(monkeypatch, module, attribute, answer):
    monkeypatch.setattr(module, attribute, Stub(getattr(module, attribute), answer))


@pytest.mark.parametrize(
    "module, attribute, answer, error",
    [
        (inspect, "getmembers", [["f", 1]], (TypeError, "'list' object cannot be converted to 'PyTuple'")),
        (inspect, "getmembers", [("f",)], (IndexError, "tuple index out of range")),
        (inspect, "getmembers", 5, (TypeError, "'int' object is not iterable")),
        (inspect, "getmembers", LookupError("members"), (LookupError, "members")),
        (inspect, "getsource", 5, python_error(lambda: textwrap.dedent(5))),
        (inspect, "getsource", OSError("no source"), (OSError, "no source")),
        (textwrap, "dedent", io.StringIO(), (AttributeError, "'_io.StringIO' object has no attribute 'strip'")),
        (textwrap, "dedent", Text("x"), (TypeError, "'int' object cannot be converted to 'PyString'")),
        (inspect, "getsourcefile", None, python_error(lambda: pathlib.Path(None))),
        (inspect, "getsourcefile", 5, python_error(lambda: pathlib.Path(5))),
        (inspect, "signature", ValueError("no signature"), (ValueError, "no signature")),
        (inspect, "signature", 5, (AttributeError, "'int' object has no attribute 'return_annotation'")),
        (builtins, "isinstance", "yes", (TypeError, "'str' object cannot be converted to 'PyBool'")),
        (builtins, "isinstance", 1, (TypeError, "'int' object cannot be converted to 'PyBool'")),
    ],
)
def test_replaced_library_functions(make_module, monkeypatch, module, attribute, answer, error):
    name = module_with_member(make_module, "")
    importlib.import_module(name)
    replace(monkeypatch, module, attribute, answer)
    assert raised(lambda: m.inspect_modules([name])) == error


def test_path_text_that_is_not_str(make_module, monkeypatch):
    name = module_with_member(make_module, "")
    importlib.import_module(name)
    monkeypatch.setattr(pathlib.PurePath, "__str__", lambda self: b"/x")
    assert raised(lambda: m.inspect_modules([name])) == (TypeError, "__str__ returned non-string (type bytes)")


@pytest.mark.parametrize("exception", [OSError("none"), KeyboardInterrupt(), SystemExit(1)])
def test_source_file_that_cannot_be_named_is_empty(make_module, monkeypatch, exception):
    name = module_with_member(make_module, "")
    importlib.import_module(name)
    replace(monkeypatch, inspect, "getsourcefile", exception)
    (record,) = json.loads(m.inspect_modules([name]))["assets"]
    assert record["file_path"] == ""


def test_source_file_is_resolved_from_what_getsourcefile_returns(make_module, monkeypatch, tmp_path):
    name = module_with_member(make_module, "")
    importlib.import_module(name)
    monkeypatch.chdir(tmp_path)
    replace(monkeypatch, inspect, "getsourcefile", "relative/../file.py")
    (record,) = json.loads(m.inspect_modules([name]))["assets"]
    assert record["file_path"] == str(tmp_path.resolve() / "file.py")


@pytest.mark.parametrize(
    "member, error",
    [
        (
            "class A:\n    __sorva_kind__ = property(lambda self: 'asset')\n    @property\n    def __sorva_metadata__(self):\n"
            "        raise LookupError('metadata')\nbad = A()",
            (LookupError, "metadata"),
        ),
        ("def bad():\n    pass\nbad.__sorva_kind__ = 'asset'", (AttributeError, "'function' object has no attribute '__sorva_metadata__'")),
        (
            "def bad():\n    pass\nbad.__sorva_kind__ = 'asset'\nbad.__sorva_metadata__ = {'k': object()}",
            (TypeError, "Object of type object is not JSON serializable"),
        ),
        (
            "def bad():\n    pass\nbad.__sorva_kind__ = 'asset'\nbad.__sorva_metadata__ = {'x': float('nan')}",
            (RuntimeError, "JSON parse error: expected value at line 1 column 7"),
        ),
        (
            "bad = asset()(42)",
            python_error(lambda: inspect.getsource(42)),
        ),
        (
            "class Meta(type):\n    @property\n    def __name__(cls):\n        return 5\n"
            "class Bad(metaclass=Meta):\n    pass\nbad = asset()(Bad)",
            (TypeError, "'int' object cannot be converted to 'PyString'"),
        ),
        (
            "class Meta(type):\n    @property\n    def __name__(cls):\n        return 5\n"
            "class Model(metaclass=Meta):\n    pass\n@asset()\ndef bad() -> Model:\n    pass",
            (TypeError, "'int' object cannot be converted to 'PyString'"),
        ),
        ("@asset()\ndef bad() -> '\\ud800':\n    pass", python_error(lambda: "\ud800".encode())),
        (
            "class Odd:\n    def __str__(self):\n        raise LookupError('str')\n@asset()\ndef bad() -> Odd():\n    pass",
            (LookupError, "str"),
        ),
        ("@asset()\ndef bad():\n    pass\nbad.__sorva_original__.__name__ = 'bäd\\ud800'", python_error(lambda: "bäd\ud800".encode())),
    ],
)
def test_members_that_end_the_call(make_module, member, error):
    name = module_with_member(make_module, member)
    assert raised(lambda: m.inspect_modules([name])) == error


def test_module_renamed_during_inspection(make_module):
    name = module_with_member(
        make_module,
        """
        import sys

        class Renames:
            @property
            def __sorva_kind__(self):
                module = sys.modules[__name__]
                module.__name__ = "renamed"
                return "not an asset"

        a_renames = Renames()
        """,
    )
    (record,) = json.loads(m.inspect_modules([name]))["assets"]
    assert record["module_path"] == "renamed"


def test_module_name_that_is_not_text(make_module):
    name = module_with_member(
        make_module,
        """
        import sys

        class Breaks:
            @property
            def __sorva_kind__(self):
                sys.modules[__name__].__name__ = 5
                return "not an asset"

        a_breaks = Breaks()
        """,
    )
    importlib.import_module(name)
    assert raised(lambda: m.inspect_modules([name])) == (TypeError, "'int' object cannot be converted to 'PyString'")


def test_modules_that_mutate_themselves_and_sys_modules(make_module):
    name = module_with_member(
        make_module,
        """
        import sys

        class Mutates:
            @property
            def __sorva_kind__(self):
                module = sys.modules.pop(__name__)
                for key in [k for k in vars(module) if k.startswith("z")]:
                    delattr(module, key)
                module.added = f
                sys.modules["inspect_junk"] = 42
                return None

        a_mutates = Mutates()
        z1 = f
        z2 = f
        """,
    )
    try:
        records = json.loads(m.inspect_modules([name]))["assets"]
    finally:
        sys.modules.pop("inspect_junk", None)
    assert [r["function_name"] for r in records] == ["f", "f", "f"]
    assert name not in sys.modules


def test_members_that_raise_on_every_attribute(make_module):
    name = module_with_member(
        make_module,
        """
        class Hostile:
            def __getattribute__(self, name):
                raise SystemExit(name)

        class Odd:
            __sorva_kind__ = property(lambda self: ["asset"])

        hostile = Hostile()
        odd = Odd()
        """,
    )
    assert [r["function_name"] for r in json.loads(m.inspect_modules([name]))["assets"]] == ["f"]


def test_signature_empty_is_compared_by_identity(make_module, monkeypatch):
    name = module_with_member(make_module, "")
    importlib.import_module(name)

    class AlwaysEqual:
        def __eq__(self, other):
            return True

        def __str__(self):
            return "always"

    class FakeSignature:
        return_annotation = AlwaysEqual()

    replace(monkeypatch, inspect, "signature", FakeSignature())
    (record,) = json.loads(m.inspect_modules([name]))["assets"]
    assert record["return_type"] == "always"
    monkeypatch.setattr(FakeSignature, "return_annotation", inspect.Signature.empty)
    (record,) = json.loads(m.inspect_modules([name]))["assets"]
    assert record["return_type"] is None


PANIC = """
from faults import cause_fault as panic
"""


@pytest.mark.parametrize(
    "trigger",
    [
        "panic()",
        "class Member:\n    @property\n    def __sorva_kind__(self):\n        panic()\nmember = Member()",
        "class Member:\n    __sorva_kind__ = property(lambda self: 'asset')\n    __sorva_metadata__ = {}\n"
        "    @property\n    def __sorva_original__(self):\n        panic()\nmember = Member()",
    ],
)
def test_an_internal_fault_is_never_taken_for_a_failure_to_pass_over(make_module, capfd, trigger):
    name = make_module(PANIC + "\n" + trigger + "\n")
    with pytest.raises(BaseException) as info:
        m.inspect_modules([name])
    assert (type(info.value).__name__, str(info.value)) == ("PanicException", "dictionary changed size during iteration")
    assert "sorva: skipping module" not in capfd.readouterr().err
