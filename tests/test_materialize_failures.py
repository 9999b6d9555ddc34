"""materialize_asset on failure: the failure record, SystemExit(1), and the
failures that reach the caller with nothing recorded."""

import errno
import inspect
import json
import os
import sys

import pytest

import sorva._sorva as m


def failure(error, error_type):
    return ('{"error":"%s","error_type":"%s","ok":false}' % (error, error_type)).encode()


def exits(call):
    """Runs call, which must end in SystemExit(1) with nothing chained to it."""
    with pytest.raises(SystemExit) as info:
        call()
    stop = info.value
    assert type(stop) is SystemExit
    assert type(stop.code) is int and stop.code == 1
    assert stop.__context__ is None and stop.__cause__ is None
    return stop


def record_of(folder):
    return (folder / "result.json").read_bytes()


USER_MODULE = """
import json

class Outer:
    class Problem(Exception):
        pass

class BadStr(Exception):
    def __str__(self):
        raise ValueError("str failed")

class Renamed(Exception):
    __qualname__ = "Some.Other.Name"

class QualnameRaises(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise RuntimeError("no qualname")
        return super().__getattribute__(name)

class Hidden(Exception, metaclass=QualnameRaises):
    pass

def needs(x):
    return x

def takes_nothing():
    return 1

NOT_CALLABLE = 5

def raise_(exc):
    def f():
        raise exc
    return f

plain_error = raise_(ValueError("plain"))
empty_error = raise_(RuntimeError())
nested_error = raise_(Outer.Problem("inner"))
exit_three = raise_(SystemExit(3))
interrupt = raise_(KeyboardInterrupt())
bad_str = raise_(BadStr("x"))
renamed = raise_(Renamed("m"))
hidden = raise_(Hidden("h"))
decode_error = raise_(json.JSONDecodeError("Expecting value", "", 0))
quoted = raise_(ValueError('say "hi"\\n\\tthen\\\\ \\x01 / \\x7f'))
non_ascii = raise_(ValueError("gr\\u00fc\\u00df \\u65e5\\u672c \\U0001f600"))
surrogates = raise_(ValueError("a\\ud800b\\udfffc"))

def returns_set():
    return {1}

def returns_object():
    return object()

def returns_cycle():
    cycle = []
    cycle.append(cycle)
    return cycle

builtin_target = dict

def unsigned():
    return [1]

unsigned.__signature__ = "not a signature"

class Surrogate:
    def __repr__(self):
        return "\\ud800"

def surrogate_default(x=Surrogate()):
    return ""
"""


@pytest.fixture
def user(make_module):
    return make_module(USER_MODULE)


@pytest.mark.parametrize(
    "function, inputs, error, error_type",
    [
        ("missing_name", None, "AttributeError: module '{module}' has no attribute 'missing_name'", "AttributeError"),
        ("needs", None, "TypeError: needs() missing 1 required positional argument: 'x'", "TypeError"),
        ("takes_nothing", '{"z": 1}', "TypeError: takes_nothing() got an unexpected keyword argument 'z'", "TypeError"),
        ("takes_nothing", "", "JSONDecodeError: Expecting value: line 1 column 1 (char 0)", "JSONDecodeError"),
        ("takes_nothing", "{", "JSONDecodeError: Expecting property name enclosed in double quotes: line 1 column 2 (char 1)", "JSONDecodeError"),
        ("takes_nothing", "[1, 2]", "TypeError: 'list' object cannot be converted to 'PyDict'", "TypeError"),
        ("takes_nothing", "null", "TypeError: 'NoneType' object cannot be converted to 'PyDict'", "TypeError"),
        ("takes_nothing", '"{}"', "TypeError: 'str' object cannot be converted to 'PyDict'", "TypeError"),
        ("takes_nothing", "1.5", "TypeError: 'float' object cannot be converted to 'PyDict'", "TypeError"),
        ("NOT_CALLABLE", None, "TypeError: 'int' object is not callable", "TypeError"),
        ("plain_error", None, "ValueError: plain", "ValueError"),
        ("empty_error", None, "RuntimeError: ", "RuntimeError"),
        ("nested_error", None, "Outer.Problem: inner", "Problem"),
        ("exit_three", None, "SystemExit: 3", "SystemExit"),
        ("interrupt", None, "KeyboardInterrupt: ", "KeyboardInterrupt"),
        ("bad_str", None, "BadStr: <exception str() failed>", "BadStr"),
        ("renamed", None, "Some.Other.Name: m", "Renamed"),
        ("hidden", None, "<failed to extract type name>: h", "Hidden"),
        ("decode_error", None, "JSONDecodeError: Expecting value: line 1 column 1 (char 0)", "JSONDecodeError"),
        ("returns_set", None, "TypeError: Object of type set is not JSON serializable", "TypeError"),
        ("returns_object", None, "TypeError: Object of type object is not JSON serializable", "TypeError"),
        ("returns_cycle", None, "ValueError: Circular reference detected", "ValueError"),
    ],
)
def test_failure_before_the_value_is_written(user, tmp_path, function, inputs, error, error_type):
    out = tmp_path / "out" / "nested"
    exits(lambda: m.materialize_asset(user, function, str(out), inputs))
    assert record_of(out) == failure(error.format(module=user), error_type)
    assert os.listdir(out) == ["result.json"]


def test_missing_module(tmp_path):
    exits(lambda: m.materialize_asset("sorva_no_such_module", "f", str(tmp_path)))
    assert record_of(tmp_path) == failure("ModuleNotFoundError: No module named 'sorva_no_such_module'", "ModuleNotFoundError")


def test_module_that_fails_to_import(make_module, tmp_path):
    name = make_module("import sys\nsys.modules.setdefault('sorva_half_done', 1)\n1 / 0\n")
    exits(lambda: m.materialize_asset(name, "f", str(tmp_path)))
    assert record_of(tmp_path) == failure("ZeroDivisionError: division by zero", "ZeroDivisionError")
    assert name not in sys.modules
    sys.modules.pop("sorva_half_done")


@pytest.mark.parametrize(
    "function, error",
    [
        ("quoted", 'ValueError: say \\"hi\\"\\n\\tthen\\\\ \\u0001 / \x7f'),
        ("non_ascii", "ValueError: grüß 日本 😀"),
        ("surrogates", "ValueError: a\ufffd\ufffd\ufffdb\ufffd\ufffd\ufffdc"),
    ],
)
def test_message_text_in_the_record(user, tmp_path, function, error):
    exits(lambda: m.materialize_asset(user, function, str(tmp_path)))
    assert record_of(tmp_path) == failure(error, "ValueError")
    assert b"\n" not in record_of(tmp_path)


def signature_error(function):
    """The interpreter's own text for a signature that cannot be read; it
    differs between versions."""
    try:
        inspect.signature(function)
    except Exception as error:
        return f"{type(error).__qualname__}: {error}"
    raise AssertionError("the signature was readable")


@pytest.mark.parametrize(
    "function, value, error",
    [
        ("builtin_target", b"{}", None),
        ("unsigned", b"[1]", None),
        (
            "surrogate_default",
            b'""',
            "UnicodeEncodeError: 'utf-8' codec can't encode character '\\\\ud800' in position 3: surrogates not allowed",
        ),
    ],
)
def test_failure_after_the_value_was_written(user, tmp_path, function, value, error):
    exits(lambda: m.materialize_asset(user, function, str(tmp_path)))
    if error is None:
        error = signature_error(getattr(sys.modules[user], function))
    assert (tmp_path / "value.json").read_bytes() == value
    assert record_of(tmp_path) == failure(error, error.partition(":")[0])


def test_result_type_name_that_fails(make_module, tmp_path):
    name = make_module(
        """
        class NameRaises(type):
            @property
            def __name__(cls):
                raise LookupError("no name")

        class Strange(dict, metaclass=NameRaises):
            pass

        def f():
            return Strange(a=1)
        """
    )
    exits(lambda: m.materialize_asset(name, "f", str(tmp_path)))
    assert (tmp_path / "value.json").read_bytes() == b'{"a": 1}'
    assert record_of(tmp_path) == failure("LookupError: no name", "LookupError")


def test_value_write_that_fails(user, tmp_path):
    (tmp_path / "value.json").mkdir()
    exits(lambda: m.materialize_asset(user, "takes_nothing", str(tmp_path)))
    expected = f"IsADirectoryError: [Errno {errno.EISDIR}] Is a directory: '{tmp_path}/value.json'"
    assert record_of(tmp_path) == failure(expected, "IsADirectoryError")
    assert (tmp_path / "value.json").is_dir()


def test_stale_value_stays_beside_a_new_failure(user, tmp_path):
    m.materialize_asset(user, "takes_nothing", str(tmp_path))
    exits(lambda: m.materialize_asset(user, "plain_error", str(tmp_path)))
    assert (tmp_path / "value.json").read_bytes() == b"1"
    assert record_of(tmp_path) == failure("ValueError: plain", "ValueError")


@pytest.mark.parametrize(
    "name_property, raised, message",
    [
        ('raise LookupError("no name")', LookupError, "no name"),
        ("return 5", TypeError, "'int' object cannot be converted to 'PyString'"),
    ],
)
def test_error_type_name_that_fails_reaches_the_caller(make_module, tmp_path, name_property, raised, message):
    name = make_module(
        f"""
        class Odd(type):
            @property
            def __name__(cls):
                {name_property}

        class Failure(Exception, metaclass=Odd):
            pass

        def f():
            raise Failure("lost")
        """
    )
    with pytest.raises(raised) as info:
        m.materialize_asset(name, "f", str(tmp_path / "out"))
    assert type(info.value) is raised and info.value.args == (message,)
    assert info.value.__context__ is None and info.value.__cause__ is None
    assert os.listdir(tmp_path / "out") == []


def test_record_write_that_fails_reaches_the_caller(user, tmp_path):
    (tmp_path / "result.json").mkdir()
    with pytest.raises(IsADirectoryError) as info:
        m.materialize_asset(user, "takes_nothing", str(tmp_path))
    assert info.value.filename == f"{tmp_path}/result.json"
    assert info.value.__context__ is None
    assert (tmp_path / "value.json").read_bytes() == b"1"


def test_replaced_sys_exit_returns_none(user, tmp_path, monkeypatch):
    codes = []
    monkeypatch.setattr(sys, "exit", codes.append)
    assert m.materialize_asset(user, "plain_error", str(tmp_path)) is None
    assert codes == [1] and type(codes[0]) is int
    assert record_of(tmp_path) == failure("ValueError: plain", "ValueError")


def test_failure_prints_nothing_and_leaves_no_handled_exception(user, tmp_path, capfd):
    exits(lambda: m.materialize_asset(user, "plain_error", str(tmp_path)))
    assert capfd.readouterr() == ("", "")
    assert sys.exc_info() == (None, None, None)


def test_deeply_nested_inputs(user, tmp_path):
    exits(lambda: m.materialize_asset(user, "takes_nothing", str(tmp_path), "[" * 200_000 + "]" * 200_000))
    record = json.loads(record_of(tmp_path))
    assert record["error_type"] == "RecursionError" and record["error"].startswith("RecursionError: maximum recursion")


def test_internal_fault_in_the_asset_is_not_recorded(make_module, tmp_path):
    name = make_module(
        """
        from faults import cause_fault

        def f():
            cause_fault()
        """
    )
    with pytest.raises(BaseException) as info:
        m.materialize_asset(name, "f", str(tmp_path))
    assert type(info.value).__name__ == "PanicException"
    assert str(info.value) == "dictionary changed size during iteration"
    assert not (tmp_path / "result.json").exists()


# Failures of the outer steps: the exception as raised, nothing created or recorded.


@pytest.mark.parametrize("below, raised", [("", FileExistsError), ("sub", NotADirectoryError)])
def test_output_dir_that_is_a_file(user, tmp_path, below, raised):
    area = tmp_path / "area"
    area.mkdir()
    (area / "file").write_text("keep")
    output_dir = area / "file" / below
    with pytest.raises(raised) as info:
        m.materialize_asset(user, "takes_nothing", str(output_dir))
    assert info.value.filename == str(output_dir)
    assert (area / "file").read_text() == "keep"
    assert os.listdir(area) == ["file"]
    assert user not in sys.modules


def test_output_dir_that_cannot_be_created(make_module, tmp_path):
    name = make_module("def f():\n    return 1\n")
    with pytest.raises(FileNotFoundError) as info:
        m.materialize_asset(name, "f", "/proc/sorva-cannot-exist/out")
    assert info.value.filename == "/proc/sorva-cannot-exist"
    assert name not in sys.modules


@pytest.fixture
def unwritable_dir(tmp_path):
    # Permission bits do not stop root; /proc/self is an existing folder in
    # which nobody can create a file.
    if os.geteuid() == 0:
        yield "/proc/self"
        return
    folder = tmp_path / "locked"
    folder.mkdir(mode=0o555)
    yield str(folder)
    folder.chmod(0o755)


def test_unwritable_output_dir_loses_the_record(make_module, unwritable_dir):
    name = make_module("CALLS = []\ndef f():\n    CALLS.append(1)\n    return 1\n")
    with pytest.raises(OSError) as info:
        m.materialize_asset(name, "f", unwritable_dir)
    assert info.value.errno in (errno.EACCES, errno.ENOENT)
    assert info.value.filename == f"{unwritable_dir}/result.json"
    assert sys.modules[name].CALLS == [1]


@pytest.mark.parametrize(
    "args, raised, message",
    [
        (("m", "f", "{out}", 5), TypeError, "argument 'input_kwargs_json': 'int' object cannot be converted to 'PyString'"),
        (("m", "f", "{out}", b"{}"), TypeError, "argument 'input_kwargs_json': 'bytes' object cannot be converted to 'PyString'"),
        (("m", None, "{out}"), TypeError, "argument 'function_name': 'NoneType' object cannot be converted to 'PyString'"),
        (("m", "f", "{out}\udc80"), UnicodeEncodeError, None),
    ],
)
def test_bad_arguments_create_nothing(tmp_path, args, raised, message):
    args = tuple(a.format(out=tmp_path / "out") if isinstance(a, str) else a for a in args)
    with pytest.raises(raised) as info:
        m.materialize_asset(*args)
    if message is not None:
        assert info.value.args == (message,)
    assert os.listdir(tmp_path) == []
