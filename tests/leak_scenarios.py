"""Scenarios for the leak check: each one exercises entry points, error
paths included, and must leave no reference or memory block behind."""

import atexit
import contextlib
import importlib
import inspect
import os
import pathlib
import pickle
import shutil
import sys
import tempfile
from unittest.mock import patch

import sorva._sorva as m

SCENARIOS = []


def scenario(function):
    SCENARIOS.append(function)
    return function


def raises(call, error):
    try:
        call()
    except error as caught:
        return caught
    raise AssertionError(f"{call} did not raise {error.__name__}")


def upstream():
    return [1, 2, 3]


UPSTREAM = m.asset()(upstream)


def interrupt(*args):
    raise KeyboardInterrupt


def kind(value):
    return type("Kind", (), {"__sorva_kind__": value})()


class LyingLength(list):
    def __len__(self):
        return 2**62


def wrapper_cycle():
    def own():
        return wrapper

    wrapper = m.asset()(own)


def chain(depth):
    w = upstream
    for _ in range(depth):
        w = m.asset()(w)
    return w


DEEP_CHAIN = chain(5000)

# User modules, written once to a scratch folder on the path.
SCRATCH = tempfile.mkdtemp(prefix="sorva-leak-")
atexit.register(shutil.rmtree, SCRATCH, True)
MODULES = {
    # Characters of every width and over a megabyte of source: the output
    # widens and grows while it is built.
    "leak_wide": "".join(f"# \u00e9 \u65e5 \U0001f600 {n}\n" for n in range(60000))
    + "from sorva._sorva import asset\n@asset()\ndef wide():\n    return 1\n",
    "leak_assets": """
from sorva._sorva import asset, partitions

@asset(name='n', inputs={'data': 'up:raw'}, partitions={'d': partitions(['a', 1])})
def joined(data, sep='-') -> 'Frame':
    return {'joined': sep.join(map(str, data)), 'text': '\\u00e9'}

def boom(): raise ValueError('boom \\u00fc \\ud800')
class BadStr(Exception): __str__ = lambda self: 1 / 0
def bad_str(): raise BadStr
def exits(): raise SystemExit(3)
unencodable = lambda: {1, 2}
unsigned = dict
class NameRaises(type): __name__ = property(lambda cls: 1 / 0)
class Nameless(Exception, metaclass=NameRaises): pass
def nameless(): raise Nameless('lost')

duck = lambda: None
duck.__sorva_kind__ = 'asset'
duck.__sorva_metadata__ = {'k': [1, None]}
alias = joined
""",
    "leak_import_fails": "raise ValueError('import fails \\ud800')\n",
    "leak_interrupt": "raise KeyboardInterrupt('stop')\n",
    "leak_bad_metadata": "def bad():\n    pass\nbad.__sorva_kind__ = 'asset'\nbad.__sorva_metadata__ = {'x': float('nan')}\n",
    "leak_bad_original": "from sorva._sorva import asset\nbad = asset()(42)\n",
    "leak_empty": "",
}
for name, source in MODULES.items():
    pathlib.Path(SCRATCH, name + ".py").write_text(source, "utf-8")
sys.path.insert(0, SCRATCH)
OUT = os.path.join(SCRATCH, "out")
A_FILE = os.path.join(SCRATCH, "a-file")
open(A_FILE, "w").close()
BLOCKED = os.path.join(SCRATCH, "blocked")  # its result.json is a folder
os.makedirs(os.path.join(BLOCKED, "result.json"))


@contextlib.contextmanager
def silenced_stderr():
    saved, null = os.dup(2), os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 2)
    try:
        yield
    finally:
        os.dup2(saved, 2)
        os.close(saved)
        os.close(null)


@scenario
def binding_and_conversion_errors():
    raises(lambda: m.partitions(), TypeError)
    raises(lambda: m.partitions([1], values=[2]), TypeError)
    raises(lambda: m.asset(len), TypeError)
    raises(lambda: m.asset(bogus=1), TypeError)
    raises(lambda: m.materialize_asset("m", "f", "o", None, 1), TypeError)
    raises(lambda: m.asset(name=1), TypeError)
    raises(lambda: m.asset(serializer="\ud800"), UnicodeEncodeError)
    raises(lambda: m.partitions((1,)), TypeError)
    raises(lambda: m.inspect_modules("x"), TypeError)
    raises(lambda: m.inspect_modules(["a", 2]), TypeError)
    raises(m.Partitions, TypeError)
    raises(m.AssetWrapper, TypeError)


@scenario
def declaration():
    repr(m.partitions(["a", 1, 2.5, None, True, {"b": [1, {"c": "d"}]}, (1, 2), 2**70]))
    raises(lambda: m.partitions([float("nan")]), ValueError)
    raises(lambda: m.partitions([object()]), TypeError)
    decorator = m.asset(name="n", serializer="s", inputs={"data": UPSTREAM, "other": "ref"},
                        partitions={"d": m.partitions(["x"])})
    wrapper = decorator(upstream)
    wrapper.__sorva_metadata__, wrapper.__sorva_kind__, wrapper.__wrapped__
    wrapper.__name__, wrapper.__qualname__, wrapper.__module__, wrapper.__doc__
    wrapper()
    raises(lambda: decorator(1, 2), TypeError)
    raises(lambda: m.asset(inputs={1: "x"}), TypeError)
    raises(lambda: m.asset(inputs={"x": kind(property(lambda self: 1 / 0))}), TypeError)
    raises(lambda: m.asset(inputs={"x": kind(property(interrupt))}), KeyboardInterrupt)
    wrapper_cycle()
    pickle.loads(pickle.dumps(importlib.import_module("leak_assets").joined))
    raises(lambda: m.asset(inputs={"x": m.asset()(len)}), TypeError)
    raises(lambda: m.asset(partitions={"d": ["a"]}), TypeError)


@scenario
def wrapper_errors():
    raises(lambda: m.asset()(upstream)(1), TypeError)
    raises(lambda: m.asset()(42).__name__, AttributeError)
    raises(lambda: DEEP_CHAIN(1), RecursionError)
    raises(lambda: DEEP_CHAIN.__name__, RecursionError)
    chain(3000)


@scenario
def materialize_success():
    m.materialize_asset("leak_assets", "joined", OUT, '{"data": [1, 2, 3], "sep": "+"}')
    m.materialize_asset("leak_scenarios", "UPSTREAM", OUT)


@scenario
def materialize_failures():
    for function in ("boom", "bad_str", "exits", "unencodable", "unsigned", "missing"):
        assert raises(lambda: m.materialize_asset("leak_assets", function, OUT), SystemExit).code == 1
    for inputs in ("", "[1]", '{"unexpected": 1}'):
        assert raises(lambda: m.materialize_asset("leak_assets", "joined", OUT, inputs), SystemExit).code == 1
    raises(lambda: m.materialize_asset("leak_assets", "nameless", OUT), ZeroDivisionError)
    raises(lambda: m.materialize_asset("leak_assets", "joined", A_FILE), FileExistsError)
    raises(lambda: m.materialize_asset("leak_assets", "boom", BLOCKED), IsADirectoryError)


@scenario
def inspection():
    with silenced_stderr():
        m.inspect_modules(["leak_assets", "leak_assets", "no_such_leak_module", "leak_import_fails", ""])
        m.inspect_modules(["leak_assets", "leak_wide"])
        raises(lambda: m.inspect_modules(["leak_interrupt"]), KeyboardInterrupt)
    m.inspect_modules([])
    m.inspect_modules(LyingLength(["leak_empty"]))
    raises(lambda: m.inspect_modules(["sys"]), TypeError)
    raises(lambda: m.inspect_modules(["leak_bad_metadata"]), RuntimeError)
    raises(lambda: m.inspect_modules(["leak_bad_original"]), TypeError)
    with patch.object(inspect, "getmembers", lambda module: [("x",)]):
        raises(lambda: m.inspect_modules(["leak_assets"]), IndexError)
    with patch.object(inspect, "signature", lambda obj: 1 / 0):
        raises(lambda: m.inspect_modules(["leak_assets"]), ZeroDivisionError)
    with patch.object(sys, "version_info", type("Version", (), {"major": 3, "minor": "x", "micro": 0})):
        raises(lambda: m.inspect_modules([]), TypeError)
