"""materialize_asset on success: the call it makes, value.json and the success record."""

import builtins
import json
import os
import pathlib
import sys

import pytest

import sorva._sorva as m


def success(module, function, signature, value_path, result_type):
    return (
        '{"artifact_format":"json","function_name":"%s","module_path":"%s","ok":true,'
        '"result_type":"%s","signature":"%s","value_path":"%s"}' % (function, module, result_type, signature, value_path)
    ).encode()


def artefacts(folder):
    return (folder / "value.json").read_bytes(), (folder / "result.json").read_bytes()


def test_asset_writes_both_files(make_module, tmp_path):
    name = make_module(
        """
        from sorva._sorva import asset

        @asset(name="renamed", inputs={"x": "elsewhere:x"}, serializer="pickle")
        def report(scale: int = 2) -> dict:
            return {"z": [1, 2.5, None, True], "a": "\u00e9\U0001f600", "n": float("nan"), "t": (1, "q\\"")}
        """
    )
    out = tmp_path / "out"
    assert m.materialize_asset(name, "report", str(out)) is None
    value, record = artefacts(out)
    assert value == b'{"z": [1, 2.5, null, true], "a": "\\u00e9\\ud83d\\ude00", "n": NaN, "t": [1, "q\\""]}'
    assert record == success(name, "report", "(scale: int = 2) -> dict", f"{out}/value.json", "dict")
    assert sorted(os.listdir(out)) == ["result.json", "value.json"]


OUTER_CALLS = [
    ("import", "importlib"),
    ("import", "inspect"),
    ("import", "json"),
    ("import", "pathlib"),
    ("mkdir", (), [("parents", True), ("exist_ok", True)]),
    ("join", "result.json"),
]
VALUE_WRITE = [("join", "value.json"), ("write_text", "value.json", ("utf-8",), {})]
RECORD_WRITE = [("write_text", "result.json", ("utf-8",), {})]


@pytest.mark.parametrize(
    "function, expected",
    [
        ("f", OUTER_CALLS + VALUE_WRITE + RECORD_WRITE),
        ("g", OUTER_CALLS + RECORD_WRITE + [("import", "sys")]),
        ("h", OUTER_CALLS + [("join", "value.json")] + RECORD_WRITE + [("import", "sys")]),
    ],
)
def test_calls_into_the_standard_library(make_module, tmp_path, monkeypatch, function, expected):
    name = make_module("def f():\n    return 1\ndef g():\n    raise KeyError\ndef h():\n    return {1}\n")
    calls = []

    concrete = type(pathlib.Path())
    real_mkdir, real_join, real_write = concrete.mkdir, concrete.__truediv__, concrete.write_text

    def mkdir(self, *args, **kwargs):
        calls.append(("mkdir", args, list(kwargs.items())))
        return real_mkdir(self, *args, **kwargs)

    def join(self, key):
        calls.append(("join", key))
        return real_join(self, key)

    def write_text(self, *args, **kwargs):
        calls.append(("write_text", self.name, args[1:], kwargs))
        return real_write(self, *args, **kwargs)

    real_import = builtins.__import__

    def recording_import(module, *args, **kwargs):
        # pathlib imports helpers of its own on the way.
        if module in ("importlib", "inspect", "json", "pathlib", "sys"):
            calls.append(("import", module))
        return real_import(module, *args, **kwargs)

    monkeypatch.setattr(concrete, "mkdir", mkdir)
    monkeypatch.setattr(concrete, "__truediv__", join)
    monkeypatch.setattr(concrete, "write_text", write_text)
    monkeypatch.setattr(builtins, "__import__", recording_import)
    try:
        m.materialize_asset(name, function, str(tmp_path))
    except SystemExit:
        pass
    monkeypatch.undo()
    assert calls == expected


@pytest.mark.parametrize(
    "expression, value_text, result_type",
    [
        ("None", b"null", "NoneType"),
        ("[]", b"[]", "list"),
        ("(1, 'b')", b'[1, "b"]', "tuple"),
        ("'\u00fc\\n'", b'"\\u00fc\\n"', "str"),
        ("-0.0", b"-0.0", "float"),
        ("float('-inf')", b"-Infinity", "float"),
        ("2**70", b"1180591620717411303424", "int"),
        ("False", b"false", "bool"),
        ("{1: 'one', None: 2}", b'{"1": "one", "null": 2}', "dict"),
        ("Bag(b=1)", b'{"b": 1}', "Bag"),
        ("Outer.Inner(k=[])", b'{"k": []}', "Inner"),
        ("Text('s')", b'"s"', "Text"),
    ],
)
def test_value_and_result_type(make_module, tmp_path, expression, value_text, result_type):
    name = make_module(
        f"""
        class Bag(dict):
            pass

        class Outer:
            class Inner(dict):
                pass

        class Text(str):
            pass

        def produce():
            return {expression}
        """
    )
    assert m.materialize_asset(name, "produce", str(tmp_path)) is None
    value, record = artefacts(tmp_path)
    assert value == value_text
    assert json.loads(record)["result_type"] == result_type


@pytest.mark.parametrize(
    "output_dir, value_path",
    [
        (".", "value.json"),
        ("./", "value.json"),
        ("out", "out/value.json"),
        ("out/", "out/value.json"),
        ("./x", "x/value.json"),
        ("a//b///c", "a/b/c/value.json"),
        ("a/./b/.", "a/b/value.json"),
        ("deep/er/still/more", "deep/er/still/more/value.json"),
        ("ünï cödé", "ünï cödé/value.json"),
        ("a/../b", "a/../b/value.json"),
    ],
)
def test_value_path_renders_like_the_path_class(make_module, tmp_path, monkeypatch, output_dir, value_path):
    name = make_module("def f():\n    return 1\n")
    work = tmp_path / "work"
    (work / "a").mkdir(parents=True)
    monkeypatch.chdir(work)
    assert m.materialize_asset(name, "f", output_dir) is None
    value, record = artefacts(work / os.path.dirname(value_path))
    assert value == b"1"
    assert record == success(name, "f", "()", value_path, "int")


def test_absolute_output_dir_is_kept_as_given(make_module, tmp_path):
    name = make_module("def f():\n    return 1\n")
    link = tmp_path / "link"
    link.symlink_to(tmp_path / "real", target_is_directory=True)
    (tmp_path / "real").mkdir()
    m.materialize_asset(name, "f", f"{tmp_path}//link/")
    assert json.loads((tmp_path / "real" / "result.json").read_text())["value_path"] == f"{link}/value.json"


@pytest.mark.parametrize("extra", [(), (None,)])
def test_no_inputs_means_no_arguments(make_module, tmp_path, extra):
    name = make_module("def f(*args, **kwargs):\n    return [args, kwargs]\n")
    m.materialize_asset(name, "f", str(tmp_path), *extra)
    assert (tmp_path / "value.json").read_bytes() == b"[[], {}]"


@pytest.mark.parametrize(
    "inputs, value_text",
    [
        ("{}", b"[[], {}]"),
        (' {"data": [1, 2, 3]} ', b'[[], {"data": [1, 2, 3]}]'),
        ('{"b": 1, "a": {"x": null}}', b'[[], {"b": 1, "a": {"x": null}}]'),
        ('{"\u00fc": "\u00e9", "k": 1.5}', b'[[], {"\\u00fc": "\\u00e9", "k": 1.5}]'),
        ('{"k": 1, "k": 2}', b'[[], {"k": 2}]'),
        ('{"deep": ' + "[" * 500 + "]" * 500 + "}", b'[[], {"deep": ' + b"[" * 500 + b"]" * 500 + b"}]"),
    ],
)
def test_inputs_become_exactly_the_keyword_arguments(make_module, tmp_path, inputs, value_text):
    name = make_module(
        """
        from sorva._sorva import asset

        @asset(inputs={"data": "up:raw"})
        def f(*args, **kwargs):
            return [args, kwargs]
        """
    )
    m.materialize_asset(name, "f", str(tmp_path), input_kwargs_json=inputs)
    assert (tmp_path / "value.json").read_bytes() == value_text


def test_named_parameters_take_the_members(make_module, tmp_path):
    name = make_module("def f(data, n=1, *, scale: float = 1.0):\n    return [data, n, scale]\n")
    m.materialize_asset(name, "f", str(tmp_path), '{"scale": 3, "data": "d"}')
    value, record = artefacts(tmp_path)
    assert value == b'["d", 1, 3]'
    assert record == success(name, "f", "(data, n=1, *, scale: float = 1.0)", f"{tmp_path}/value.json", "list")


def test_call_goes_to_the_original_never_through_the_object(make_module, tmp_path):
    name = make_module(
        """
        def original(x='d'):
            return 'original ' + x

        class Front:
            __sorva_original__ = staticmethod(original)

            def __call__(self, **kwargs):
                raise AssertionError('called through the front object')

        front = Front()
        """
    )
    m.materialize_asset(name, "front", str(tmp_path), '{"x": "y"}')
    value, record = artefacts(tmp_path)
    assert value == b'"original y"'
    assert json.loads(record)["signature"] == "(x='d')"


@pytest.mark.parametrize("raised", ["RuntimeError('no')", "KeyboardInterrupt", "SystemExit(4)", "AttributeError"])
def test_failing_unwrap_falls_back_to_the_object(make_module, tmp_path, raised):
    name = make_module(
        f"""
        class Callable:
            @property
            def __sorva_original__(self):
                raise {raised}

            def __call__(self):
                return 'the object itself'

        obj = Callable()
        """
    )
    m.materialize_asset(name, "obj", str(tmp_path))
    value, record = artefacts(tmp_path)
    assert value == b'"the object itself"'
    assert json.loads(record)["signature"] == "()"
    assert sys.exc_info() == (None, None, None)


def test_plain_function_and_signature_rendering(make_module, tmp_path):
    name = make_module(
        """
        def plain(a: 'list[int]' = (), b: str = None, *rest, key="\u00e9\\"", **extra) -> None:
            pass
        """
    )
    m.materialize_asset(name, "plain", str(tmp_path))
    value, record = artefacts(tmp_path)
    assert value == b"null"
    signature = "(a: 'list[int]' = (), b: str = None, *rest, key='\u00e9\\\"', **extra) -> None"
    assert record == success(name, "plain", signature, f"{tmp_path}/value.json", "NoneType")


def test_dotted_module_name_is_recorded_as_given(tmp_path, monkeypatch):
    package = tmp_path / "pkg_mat"
    package.mkdir()
    (package / "__init__.py").write_text("")
    (package / "jobs.py").write_text("def f():\n    return 'ok'\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    try:
        m.materialize_asset("pkg_mat.jobs", "f", str(tmp_path / "o"))
    finally:
        sys.modules.pop("pkg_mat.jobs", None)
        sys.modules.pop("pkg_mat", None)
    assert json.loads((tmp_path / "o" / "result.json").read_bytes())["module_path"] == "pkg_mat.jobs"


def test_module_is_imported_once_and_stays(make_module, tmp_path):
    name = make_module("CALLS = []\ndef f():\n    CALLS.append(1)\n    return len(CALLS)\n")
    m.materialize_asset(name, "f", str(tmp_path / "1"))
    m.materialize_asset(name, "f", str(tmp_path / "2"))
    assert (tmp_path / "2" / "value.json").read_bytes() == b"2"
    assert sys.modules[name].CALLS == [1, 1]


def test_earlier_files_are_replaced(make_module, tmp_path):
    name = make_module("def f():\n    return 1\n")
    (tmp_path / "value.json").write_text("x" * 1000)
    (tmp_path / "result.json").write_text("y" * 1000)
    m.materialize_asset(name, "f", str(tmp_path))
    value, record = artefacts(tmp_path)
    assert value == b"1"
    assert record == success(name, "f", "()", f"{tmp_path}/value.json", "int")


def test_huge_value(make_module, tmp_path):
    name = make_module("def f():\n    return {'rows': [[i, str(i) * 3, i / 7] for i in range(200_000)]}\n")
    m.materialize_asset(name, "f", str(tmp_path))
    module = sys.modules[name]
    assert (tmp_path / "value.json").read_bytes() == json.dumps(module.f()).encode()
    assert (tmp_path / "value.json").stat().st_size > 5_000_000


def test_nothing_is_printed(make_module, tmp_path, capfd):
    name = make_module("def f():\n    return 1\n")
    m.materialize_asset(name, "f", str(tmp_path))
    assert capfd.readouterr() == ("", "")
