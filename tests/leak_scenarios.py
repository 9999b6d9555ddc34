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
    raises(lambda: DEEP_CHAIN(1), RecursionError)
    raises(lambda: DEEP_CHAIN.__name__, RecursionError)


def deep_chain(depth):
    w = upstream
    for _ in range(depth):
        w = m.asset()(w)
    return w


DEEP_CHAIN = deep_chain(5000)


@scenario
def wrapper_chains():
    deep_chain(3000)


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


# inspect_modules: modules written once to their own scratch folder; skip
# lines go to a silenced file descriptor 2.

import atexit as _inspect_atexit  # noqa: E402
import builtins as _inspect_builtins  # noqa: E402
import contextlib as _inspect_contextlib  # noqa: E402
import inspect as _inspect  # noqa: E402
import os as _inspect_os  # noqa: E402
import shutil as _inspect_shutil  # noqa: E402
import sys as _inspect_sys  # noqa: E402
import tempfile as _inspect_tempfile  # noqa: E402

_INSPECT_DIR = _inspect_tempfile.mkdtemp(prefix="sorva-leak-inspect-")
_inspect_atexit.register(_inspect_shutil.rmtree, _INSPECT_DIR, True)
_INSPECT_MODULES = {
    "sorva_leak_inspect_ok": (
        "import typing\n"
        "from sorva._sorva import asset, partitions, AssetWrapper\n"
        "class Model:\n"
        "    pass\n"
        "@asset()\n"
        "def raw() -> list[int]:\n"
        "    return [1]\n"
        "@asset(name='n', serializer='s', inputs={'data': raw, 'x': 'y'},\n"
        "       partitions={'d': partitions(['a', 1, 2.5])})\n"
        "def processed(data, d) -> Model:\n"
        "    return data\n"
        "if True:\n"
        "    @asset()\n"
        "    def nested() -> 'Frame \\u00e9':\n"
        "        '''tab\\there \"quoted\" \\\\'''\n"
        "@asset()\n"
        "def optional() -> typing.Optional[int]:\n"
        "    pass\n"
        "def duck():\n"
        "    pass\n"
        "duck.__sorva_kind__ = 'asset'\n"
        "duck.__sorva_metadata__ = {'k': [1, None]}\n"
        "alias = raw\n"
        "class NotAsset:\n"
        "    __sorva_kind__ = 'Asset'\n"
        "class Hostile:\n"
        "    def __getattribute__(self, name):\n"
        "        raise SystemExit(name)\n"
        "hostile = Hostile()\n"
    ),
    "sorva_leak_inspect_raises": "raise ValueError('import fails \\ud800')\n",
    "sorva_leak_inspect_interrupt": "raise KeyboardInterrupt('stop')\n",
    "sorva_leak_inspect_bad_str": (
        "class E(Exception):\n"
        "    def __str__(self):\n"
        "        raise RuntimeError\n"
        "raise E()\n"
    ),
    "sorva_leak_inspect_empty": "",
}
_INSPECT_BAD_MEMBERS = {
    "metadata_raises": "class A:\n    __sorva_kind__ = property(lambda s: 'asset')\n"
    "    __sorva_metadata__ = property(lambda s: 1 / 0)\nbad = A()\n",
    "metadata_nan": "def bad():\n    pass\nbad.__sorva_kind__ = 'asset'\nbad.__sorva_metadata__ = {'x': float('nan')}\n",
    "metadata_object": "def bad():\n    pass\nbad.__sorva_kind__ = 'asset'\nbad.__sorva_metadata__ = {'x': object()}\n",
    "original_int": "from sorva._sorva import asset\nbad = asset()(42)\n",
    "name_not_text": "from sorva._sorva import asset\nclass M(type):\n    __name__ = property(lambda c: 5)\n"
    "class B(metaclass=M):\n    pass\nbad = asset()(B)\n",
    "annotation_surrogate": "from sorva._sorva import asset\n@asset()\ndef bad() -> '\\ud800':\n    pass\n",
}
for _name, _source in _INSPECT_MODULES.items():
    with open(_inspect_os.path.join(_INSPECT_DIR, _name + ".py"), "w", encoding="utf-8") as _file:
        _file.write(_source)
for _name, _source in _INSPECT_BAD_MEMBERS.items():
    with open(_inspect_os.path.join(_INSPECT_DIR, "sorva_leak_inspect_" + _name + ".py"), "w", encoding="utf-8") as _file:
        _file.write(_source)
_inspect_sys.path.insert(0, _INSPECT_DIR)


@_inspect_contextlib.contextmanager
def _silenced_stderr():
    saved = _inspect_os.dup(2)
    null = _inspect_os.open(_inspect_os.devnull, _inspect_os.O_WRONLY)
    _inspect_os.dup2(null, 2)
    try:
        yield
    finally:
        _inspect_os.dup2(saved, 2)
        _inspect_os.close(saved)
        _inspect_os.close(null)


@_inspect_contextlib.contextmanager
def _swapped(owner, attribute, value):
    saved = getattr(owner, attribute)
    setattr(owner, attribute, value)
    try:
        yield
    finally:
        setattr(owner, attribute, saved)


def _replaced(owner, attribute, answer):
    """Replaces a library function for the calls that inspect_modules makes
    itself (their Python caller is a frame of this file); the library's own
    calls still reach the real one. A callable answer is called for a fresh
    answer each time."""
    real = getattr(owner, attribute)

    def stub(*args):
        if _inspect_sys._getframe(1).f_globals.get("__name__") != __name__:
            return real(*args)
        return answer() if callable(answer) else answer

    return _swapped(owner, attribute, stub)


@scenario
def inspect_success():
    with _silenced_stderr():
        m.inspect_modules(["sorva_leak_inspect_ok", "sorva_leak_inspect_ok", "no_such_leak_module"])
        m.inspect_modules(("sorva_leak_inspect_raises", "sorva_leak_inspect_bad_str", "", ".rel"))
        m.inspect_modules([])
        raises(lambda: m.inspect_modules(["no_such_leak_module", "sorva_leak_inspect_interrupt"]), KeyboardInterrupt)


@scenario
def inspect_failures():
    raises(lambda: m.inspect_modules(["sys"]), TypeError)
    raises(lambda: m.inspect_modules(["sorva_leak_inspect_empty"]), OSError)
    for name in _INSPECT_BAD_MEMBERS:
        raises(lambda: m.inspect_modules(["sorva_leak_inspect_" + name]), Exception)


def _no_file():
    raise OSError("no file")


class _UnusableVersion:
    major, minor, micro = 3, "x", 0


@scenario
def inspect_replaced_library():
    ok = ["sorva_leak_inspect_ok"]
    with _replaced(_inspect, "getsourcefile", _no_file):
        m.inspect_modules(ok)
    for answer, error in (([["x", 1]], TypeError), ([("x",)], IndexError), (5, TypeError), (_no_file, OSError)):
        with _replaced(_inspect, "getmembers", answer):
            raises(lambda: m.inspect_modules(ok), error)
    with _replaced(_inspect_builtins, "isinstance", "yes"):
        raises(lambda: m.inspect_modules(ok), TypeError)
    with _swapped(_inspect_sys, "version_info", _UnusableVersion):
        raises(lambda: m.inspect_modules([]), TypeError)
