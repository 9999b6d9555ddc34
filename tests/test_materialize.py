"""materialize_asset: value.json, the success and failure records."""

import errno
import json
import os
import sys

import pytest

import sorva._sorva as m


def success(module, function, signature, value_path, result_type):
    return ('{"artifact_format":"json","function_name":"%s","module_path":"%s","ok":true,"result_type":"%s",'
            '"signature":"%s","value_path":"%s"}' % (function, module, result_type, signature, value_path)).encode()


def failure(error, error_type):
    return ('{"error":"%s","error_type":"%s","ok":false}' % (error, error_type)).encode()


def exits(call):  # call must end in SystemExit(1) with nothing chained to it
    with pytest.raises(SystemExit) as info:
        call()
    assert type(info.value) is SystemExit and type(info.value.code) is int and info.value.code == 1
    assert info.value.__context__ is None and info.value.__cause__ is None


def test_success_writes_both_files_byte_exact(make_module, tmp_path):
    name = make_module('from sorva._sorva import asset\n'
                       '@asset(name="renamed", inputs={"x": "elsewhere:x"}, serializer="pickle")\n'
                       'def report(scale: int = 2, key="\u00e9") -> dict:\n'
                       '    return {"z": [1, 2.5, None, True], "a": "\u00e9\U0001f600", "n": float("nan"), "t": (1, "q\\"")}\n')
    out = tmp_path / "\u00fc out"
    assert m.materialize_asset(name, "report", str(out)) is None
    # value.json escapes non-ASCII text; result.json keeps it raw.
    assert (out / "value.json").read_bytes() == b'{"z": [1, 2.5, null, true], "a": "\\u00e9\\ud83d\\ude00", "n": NaN, "t": [1, "q\\""]}'
    expected = success(name, "report", "(scale: int = 2, key='\u00e9') -> dict", f"{out}/value.json", "dict")
    assert (out / "result.json").read_bytes() == expected
    assert sorted(os.listdir(out)) == ["result.json", "value.json"]


@pytest.mark.parametrize("expression, value_text, result_type", [
    ("None", b"null", "NoneType"), ("Outer.Inner(k=[])", b'{"k": []}', "Inner"), ("Text('s')", b'"s"', "Text"),
])
def test_value_and_result_type(make_module, tmp_path, expression, value_text, result_type):
    name = make_module("class Outer:\n    class Inner(dict):\n        pass\nclass Text(str):\n    pass\n"
                       f"def f():\n    return {expression}\n")
    assert m.materialize_asset(name, "f", str(tmp_path)) is None
    assert (tmp_path / "value.json").read_bytes() == value_text
    assert json.loads((tmp_path / "result.json").read_bytes())["result_type"] == result_type


@pytest.mark.parametrize("output_dir, value_path", [(".", "value.json"), ("out/", "out/value.json"), ("./x", "x/value.json"),
                                                    ("a//b///c", "a/b/c/value.json"), ("a/./b/.", "a/b/value.json"),
                                                    ("a/../b", "a/../b/value.json")])
def test_value_path_rendering(make_module, tmp_path, monkeypatch, output_dir, value_path):
    name = make_module("def f():\n    return 1\n")
    (tmp_path / "work" / "a").mkdir(parents=True)
    monkeypatch.chdir(tmp_path / "work")
    m.materialize_asset(name, "f", output_dir)
    record = (tmp_path / "work" / os.path.dirname(value_path) / "result.json").read_bytes()
    assert record == success(name, "f", "()", value_path, "int")


UNWRAPPING = ("def original(*args, **kwargs): return [args, kwargs]\n"
              "class Front:\n    __sorva_original__ = staticmethod(original)\n"
              "    def __call__(self, **kwargs): raise AssertionError('called through the front object')\nfront = Front()\n")


# Inputs go to the original, never through the object.
@pytest.mark.parametrize("inputs, value", [(None, b"[[], {}]"), ('{"b": 1, "a": null}', b'[[], {"b": 1, "a": null}]')])
def test_the_original_is_called(make_module, tmp_path, inputs, value):
    m.materialize_asset(make_module(UNWRAPPING), "front", str(tmp_path), inputs)
    assert (tmp_path / "value.json").read_bytes() == value
    assert json.loads((tmp_path / "result.json").read_bytes())["signature"] == "(*args, **kwargs)"


HELPERS = """
class Outer:
    class Problem(Exception): pass
class BadStr(Exception):
    def __str__(self): raise ValueError("str failed")
def throw(error): raise error
class NoQualname(type):
    __getattribute__ = lambda cls, name: throw(RuntimeError()) if name == "__qualname__" else type.__getattribute__(cls, name)
class Hidden(Exception, metaclass=NoQualname): pass
class Surrogate:
    def __repr__(self): return "\\ud800"
"""
SURROGATE_ERROR = "UnicodeEncodeError: 'utf-8' codec can't encode character '\\\\ud800' in position 3: surrogates not allowed"


@pytest.mark.parametrize("source, inputs, error, error_type, value", [
    ("import sorva_no_such_module", None, "ModuleNotFoundError: No module named 'sorva_no_such_module'", None, None),
    ("g = 1", None, "AttributeError: module '{module}' has no attribute 'f'", None, None),
    ("def f(x): return x", None, "TypeError: f() missing 1 required positional argument: 'x'", None, None),
    ("def f(): return 1", "{", "JSONDecodeError: Expecting property name enclosed in double quotes: line 1 column 2 (char 1)", None, None),
    ("def f(): return 1", "[1, 2]", "TypeError: 'list' object cannot be converted to 'PyDict'", None, None),
    ("f = 5", None, "TypeError: 'int' object is not callable", None, None),
    ("def f(): return {1}", None, "TypeError: Object of type set is not JSON serializable", None, None),
    ("def f(): raise ValueError('plain')", None, "ValueError: plain", None, None),
    ("def f(): raise Outer.Problem('inner')", None, "Outer.Problem: inner", "Problem", None),
    ("def f(): raise SystemExit(3)", None, "SystemExit: 3", None, None),
    ("def f(): raise KeyboardInterrupt", None, "KeyboardInterrupt: ", None, None),
    ("def f(): raise BadStr('x')", None, "BadStr: <exception str() failed>", None, None),
    ("def f(): raise Hidden('h')", None, "<failed to extract type name>: h", "Hidden", None),
    (r"""def f(): raise ValueError('say "hi"\n\tthen\\ \x01 / \x7f')""", None, 'ValueError: say \\"hi\\"\\n\\tthen\\\\ \\u0001 / \x7f', None, None),
    (r"def f(): raise ValueError('a\ud800b')", None, "ValueError: a\ufffd\ufffd\ufffdb", None, None),
    # Failures after value.json was written leave it in place.
    ("def f(x=Surrogate()): return ''", None, SURROGATE_ERROR, None, b'""'),
])
def test_failure_is_recorded(make_module, tmp_path, source, inputs, error, error_type, value):
    name = make_module(HELPERS + source + "\n")
    out = tmp_path / "out" / "nested"
    exits(lambda: m.materialize_asset(name, "f", str(out), inputs))
    expected = failure(error.format(module=name), error_type or error.partition(":")[0])
    assert (out / "result.json").read_bytes() == expected
    assert sorted(os.listdir(out)) == ["result.json"] + (["value.json"] if value else [])
    assert value is None or (out / "value.json").read_bytes() == value


def test_value_write_that_fails(make_module, tmp_path):
    name = make_module("def f():\n    return 1\n")
    (tmp_path / "value.json").mkdir()
    exits(lambda: m.materialize_asset(name, "f", str(tmp_path)))
    error = f"IsADirectoryError: [Errno {errno.EISDIR}] Is a directory: '{tmp_path}/value.json'"
    assert (tmp_path / "result.json").read_bytes() == failure(error, "IsADirectoryError")


@pytest.mark.parametrize("below, raised", [("", FileExistsError), ("sub", NotADirectoryError)])
def test_output_dir_that_is_a_file_records_nothing(make_module, tmp_path, below, raised):
    user = make_module("def f():\n    return 1\n")
    (tmp_path / "file").write_text("keep")
    with pytest.raises(raised) as info:
        m.materialize_asset(user, "f", str(tmp_path / "file" / below))
    assert info.value.filename == str(tmp_path / "file" / below)
    assert (tmp_path / "file").read_text() == "keep" and sorted(os.listdir(tmp_path)) == ["file", f"{user}.py"]
    assert user not in sys.modules
