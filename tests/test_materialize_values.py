"""Assets run with their serializer and with upstream values loaded from files: the same records as the native module."""

import json
import os
import pickle

import pytest

from cli_support import left
from sorva._jobfiles.materialize import materialize
from sorva._sorva import materialize_asset
from sorva._jobfiles.values import parse_upstream

BODIES = {
    "ok": 'return {"caf\\u00e9": x, "city": city, "t": (1, None)}',
    "raises": "raise ValueError('a \"quoted\"\\nline \\ud800 caf\\u00e9 \\x1b')",
    "unwritable": "return {1, 2}",
    "exits": "raise SystemExit(3)",
    "nested": "raise Outer.Inner()",
    "mute": "raise Mute()",
}
SOURCE = """
from sorva import asset
class Outer:
    class Inner(Exception): pass
class Mute(Exception): __str__ = lambda self: 1 / 0
def plain(x, city): return [x, city]
@asset(serializer="parquet", inputs={"x": "up"})
def unknown(x, city): raise AssertionError("never called")
not_callable = 5
class Stopping:
    def __getattr__(self, name):
        if name == "__sorva_original__": raise KeyboardInterrupt
        raise AttributeError(name)
stopping = Stopping()
@asset(serializer="pickle")
def handle(): return open(__file__)
@asset(serializer="pickle")
def kept(**kwargs): return kwargs
""" + "".join(f'@asset(inputs={{"x": "up"}})\ndef {name}(x, city): {body}\n' for name, body in BODIES.items())


@pytest.fixture
def module(make_module):
    return make_module(SOURCE)


def status(folder, call):
    """The exit status of a job run from the folder."""
    os.chdir(folder)
    try:
        call()
    except SystemExit as exit:
        assert exit.__context__ is None
        return exit.code
    return 0


def native(tmp_path, module, function):
    inputs = json.dumps({"x": [1, 2.5], "city": "oslo"})
    return status(tmp_path / "native", lambda: materialize_asset(module, function, "job", inputs))


def loaded(tmp_path, module, function):
    root, inputs = tmp_path / "loaded", {"x": {"folder": "up", "serializer": None}, "city": "oslo"}
    return status(root, lambda: materialize(module, function, "job", json.dumps(inputs), root, parse_upstream(inputs, ["x"])))


@pytest.fixture
def folders(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    for name in ("native", "loaded/up"):
        (tmp_path / name).mkdir(parents=True)
    (tmp_path / "loaded/up/value.json").write_text("[1, 2.5]", "utf-8")
    return tmp_path


@pytest.mark.parametrize("function, status", [
    ("ok", 0), ("raises", 1), ("unwritable", 1), ("exits", 1), ("nested", 1), ("mute", 1), ("plain", 0),
    ("not_callable", 1), ("stopping", 1), ("missing", 1), ("no module", 1),
])
def test_a_job_with_loaded_inputs_leaves_what_the_native_module_leaves(folders, module, function, status):
    if function == "no module":
        module, function = "no_such_module_here", "f"
    assert native(folders, module, function) == status
    assert loaded(folders, module, function) == status
    assert left(folders / "loaded/job") == left(folders / "native/job")


@pytest.mark.parametrize("inputs", ["[1]", "null", "{bad", ""])
def test_inputs_that_are_no_keyword_arguments_fail_as_in_the_native_module(folders, module, inputs):
    assert status(folders / "native", lambda: materialize_asset(module, "kept", "job", inputs)) == 1
    assert status(folders / "loaded", lambda: materialize(module, "kept", "job", inputs)) == 1
    assert left(folders / "loaded/job") == left(folders / "native/job")


def test_an_unknown_serializer_or_a_value_it_cannot_store_fails_naming_the_asset(folders, module):
    # pickle's own words differ between interpreter versions.
    with open(__file__) as handle, pytest.raises(TypeError) as refused:
        pickle.dumps(handle)
    for function, error in [
        ("unknown", "LookupError: asset 'unknown' declares the unknown serializer 'parquet'; "
                    "known serializers: csv, json, npy, pickle"),
        ("handle", f"TypeError: asset 'handle': serializer 'pickle' cannot store the value: {refused.value}"),
    ]:
        # With no inputs at all, a run of the asset would fail otherwise.
        assert status(folders, lambda: materialize(module, function, function, None)) == 1
        assert left(folders / function) == {"result.json": json.dumps(
            {"error": error, "error_type": error.partition(":")[0], "ok": False}, separators=(",", ":")).encode()}
