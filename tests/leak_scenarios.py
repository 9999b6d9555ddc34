"""Scenarios for the leak check: each one exercises an entry point, error
paths included, and must leave no reference or memory block behind."""

import sorva._sorva as m

SCENARIOS = []


def scenario(function):
    SCENARIOS.append(function)
    return function


def raises(call, *types):
    try:
        call()
    except types or BaseException:
        return
    raise AssertionError(f"{call} did not raise")


def upstream():
    return [1, 2, 3]


UPSTREAM = m.asset()(upstream)


@scenario
def binding_errors():
    raises(lambda: m.partitions(), TypeError)
    raises(lambda: m.partitions([1], values=[2]), TypeError)
    raises(lambda: m.asset(len), TypeError)
    raises(lambda: m.asset(bogus=1), TypeError)
    raises(lambda: m.materialize_asset("m", "f", "o", None, 1), TypeError)
    raises(lambda: m.materialize_asset(), TypeError)


@scenario
def conversion_errors():
    raises(lambda: m.asset(name=1), TypeError)
    raises(lambda: m.asset(serializer="\ud800"), UnicodeEncodeError)
    raises(lambda: m.partitions((1,)), TypeError)
    raises(lambda: m.inspect_modules("x"), TypeError)
    raises(lambda: m.inspect_modules(["a", 2]), TypeError)
    raises(lambda: m.materialize_asset(1, "f", "o"), TypeError)

    def fails():
        error = TypeError("x")
        error.__cause__ = KeyError("k")
        raise error

    class Names:
        def __len__(self):
            return 0

        def __getitem__(self, i):
            raise IndexError

        def __iter__(self):
            fails()

    raises(lambda: m.inspect_modules(Names()), TypeError)


@scenario
def construction_refused():
    raises(m.Partitions, TypeError)
    raises(m.AssetWrapper, TypeError)


@scenario
def partitions_values():
    p = m.partitions(["a", 1, 2.5, None, True, {"b": [1, {"c": "d"}]}, (1, 2), 2**70, -(2**70)])
    repr(p)
    raises(lambda: m.partitions([float("nan")]), ValueError)
    raises(lambda: m.partitions([object()]), TypeError)
    raises(lambda: m.partitions(["ok", "\ud800"]), ValueError)


@scenario
def declare_and_wrap():
    parts = {"d": m.partitions(["x", "y"]), "e": m.partitions([1])}
    decorator = m.asset(name="n", serializer="s", inputs={"data": UPSTREAM, "other": "ref"}, partitions=parts)
    wrapper = decorator(upstream)
    wrapper.__sorva_metadata__
    wrapper.__sorva_kind__, wrapper.__sorva_original__, wrapper.__wrapped__
    wrapper.__name__, wrapper.__qualname__, wrapper.__module__, wrapper.__doc__
    wrapper()
    wrapper.__get__(None, object)
    raises(lambda: decorator(), TypeError)
    raises(lambda: decorator(1, 2), TypeError)
    decorator(42, extra=1)


@scenario
def declare_errors():
    raises(lambda: m.asset(inputs=[1]), TypeError)
    raises(lambda: m.asset(inputs={1: "x"}), TypeError)
    raises(lambda: m.asset(inputs={"x": 42}), TypeError)
    raises(lambda: m.asset(inputs={"x": m.asset()(len)}), TypeError)
    raises(lambda: m.asset(partitions={"d": ["a"]}), TypeError)
    raises(lambda: m.asset(partitions=5), TypeError)

    class Raises:
        @property
        def __sorva_kind__(self):
            raise RuntimeError("no kind")

    raises(lambda: m.asset(inputs={"x": Raises()}), TypeError)


@scenario
def wrapper_call_errors():
    def boom(*args, **kwargs):
        raise ValueError(args, kwargs)

    w = m.asset()(boom)
    raises(lambda: w(1, b=2), ValueError)
    raises(lambda: m.asset()(42)(), TypeError)
    raises(lambda: m.asset()(42).__name__, AttributeError)

    def assign():
        w.__name__ = "x"

    raises(assign, AttributeError)


# materialize_asset: a module of assets written once to a scratch folder; each
# run overwrites the same two files.

import atexit as _atexit  # noqa: E402
import os as _os  # noqa: E402
import shutil as _shutil  # noqa: E402
import sys as _sys  # noqa: E402
import tempfile as _tempfile  # noqa: E402

_SCRATCH = _tempfile.mkdtemp(prefix="sorva-leak-")
_atexit.register(_shutil.rmtree, _SCRATCH, True)
_OUT = _os.path.join(_SCRATCH, "out")
with open(_os.path.join(_SCRATCH, "sorva_leak_assets.py"), "w", encoding="utf-8") as _file:
    _file.write(
        "from sorva._sorva import asset\n"
        "@asset(inputs={'data': 'up:raw'})\n"
        "def joined(data, sep='-'):\n"
        "    return {'joined': sep.join(map(str, data)), 'n': len(data), 'text': '\\u00e9'}\n"
        "def boom():\n"
        "    raise ValueError('boom \\u00fc \\ud800')\n"
        "class BadStr(Exception):\n"
        "    def __str__(self):\n"
        "        raise RuntimeError('no str')\n"
        "def bad_str():\n"
        "    raise BadStr\n"
        "def exits():\n"
        "    raise SystemExit(3)\n"
        "def unencodable():\n"
        "    return {1, 2}\n"
        "unsigned = dict\n"
    )
    _file.write(
        "class NameRaises(type):\n"
        "    @property\n"
        "    def __name__(cls):\n"
        "        raise LookupError('no name')\n"
        "class Nameless(Exception, metaclass=NameRaises):\n"
        "    pass\n"
        "def nameless():\n"
        "    raise Nameless('lost')\n"
    )
_sys.path.insert(0, _SCRATCH)
# An output folder that is a file, and one whose result.json cannot be written.
_FILE = _os.path.join(_SCRATCH, "a-file")
open(_FILE, "w").close()
_BLOCKED = _os.path.join(_SCRATCH, "blocked")
_os.makedirs(_os.path.join(_BLOCKED, "result.json"))


def exits_with_one(call):
    try:
        call()
    except SystemExit as stop:
        assert stop.code == 1 and stop.__context__ is None
        return
    raise AssertionError(f"{call} did not exit")


@scenario
def materialize_success():
    m.materialize_asset("sorva_leak_assets", "joined", _OUT, '{"data": [1, 2, 3], "sep": "+"}')
    m.materialize_asset("leak_scenarios", "UPSTREAM", _OUT)


@scenario
def materialize_recorded_failures():
    for function in ("boom", "bad_str", "exits", "unencodable", "unsigned", "missing"):
        exits_with_one(lambda: m.materialize_asset("sorva_leak_assets", function, _OUT))
    for inputs in ("", "[1]", "null", '{"unexpected": 1}'):
        exits_with_one(lambda: m.materialize_asset("sorva_leak_assets", "joined", _OUT, inputs))
    exits_with_one(lambda: m.materialize_asset("sorva_leak_no_such_module", "f", _OUT))


@scenario
def materialize_unrecorded_failures():
    raises(lambda: m.materialize_asset("sorva_leak_assets", "nameless", _OUT), LookupError)
    raises(lambda: m.materialize_asset("sorva_leak_assets", "joined", _FILE), FileExistsError)
    raises(lambda: m.materialize_asset("sorva_leak_assets", "boom", _BLOCKED), IsADirectoryError)
    raises(lambda: m.materialize_asset("sorva_leak_assets", "joined", _BLOCKED, '{"data": []}'), IsADirectoryError)
    raises(lambda: m.materialize_asset("sorva_leak_assets", "joined", _OUT, 5), TypeError)
