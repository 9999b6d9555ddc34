"""asset(...): the checks, the asset metadata record, refs and the decorator."""

import os

import pytest

import sorva._sorva as m

HERE = os.path.realpath(__file__)


def metadata(decorator):
    return decorator(len).__sorva_metadata__


def test_record_and_its_dictionary_form():
    assert list(metadata(m.asset()).items()) == [
        ("kind", "asset"), ("name", None), ("serializer", None), ("inputs", None), ("partitions", None)]
    got = metadata(m.asset(name="", serializer="s", inputs={}, partitions={"t": m.partitions(["A", 1]), "n": m.partitions([])}))
    assert (got["name"], got["serializer"], got["inputs"]) == ("", "s", {})
    assert got["partitions"] == {"t": {"kind": "inline", "values_json": '["A",1]'}, "n": {"kind": "inline", "values_json": "[]"}}


def original():
    pass


def kind(value, **attributes):
    return type("K", (), {"__sorva_kind__": value, **attributes})()


class Itself:
    __sorva_kind__ = "asset"


@pytest.mark.parametrize("value, ref", [
    (m.asset(name="declared names play no part")(original), f"{HERE}:original"),
    (kind("asset", __sorva_original__=original), f"{HERE}:original"),
    (Itself, f"{HERE}:Itself"),
    ("not/checked:at all", "not/checked:at all"),
    (type("KindText", (str,), {"__sorva_kind__": "not an asset"})("text"), "text"),
])
def test_refs(value, ref):
    assert metadata(m.asset(inputs={"x": value}))["inputs"] == {"x": ref}


def test_ref_through_a_symbolic_link(tmp_path, make_module):
    real = tmp_path / "real.py"
    real.write_text("def up():\n    pass\n")
    name = make_module("")
    os.symlink(real, tmp_path / f"{name}_link.py")
    module = __import__(f"{name}_link")
    assert metadata(m.asset(inputs={"u": m.asset()(module.up)}))["inputs"] == {"u": f"{real.resolve()}:up"}


BAD_INPUT = "inputs values must be @asset-decorated functions or asset ref strings"
BAD_PARTITION = "partition values must be partitions([...]) instances"


@pytest.mark.parametrize("kwargs, message", [
    ({"inputs": {"x": 42}}, BAD_INPUT),
    ({"inputs": {"x": m.AssetWrapper}}, BAD_INPUT),
    ({"inputs": {"ok": "x", 1: "y"}}, "'int' object cannot be converted to 'PyString'"),
    ({"inputs": [len]}, "'list' object cannot be converted to 'PyDict'"),
    ({"partitions": ("a",)}, "'tuple' object cannot be converted to 'PyDict'"),
    ({"partitions": {2: m.partitions([])}}, "'int' object cannot be converted to 'PyString'"),
    ({"partitions": {"d": ["a", "b"]}}, BAD_PARTITION),
    # The order of the checks decides which error is reported.
    ({"serializer": 1, "inputs": 5}, "argument 'serializer': 'int' object cannot be converted to 'PyString'"),
    ({"inputs": {"x": 1}, "partitions": {"d": 1}}, BAD_INPUT),
])
def test_bad_arguments(kwargs, message):
    with pytest.raises(TypeError) as info:
        m.asset(**kwargs)
    assert type(info.value) is TypeError and info.value.args == (message,)
    assert info.value.__cause__ is None and info.value.__context__ is None
    # A failure forming a ref passes unchanged.
    with pytest.raises(TypeError, match="got builtin_function_or_method"):
        m.asset(inputs={"x": m.asset()(len)})


def test_dict_subclass_iteration_is_not_used():
    class Inputs(dict):
        def items(self):
            raise AssertionError("own entries are walked")

        __iter__ = items

    assert metadata(m.asset(inputs=Inputs(a="ref")))["inputs"] == {"a": "ref"}


def test_the_decorator_and_its_records_snapshot_and_separate():
    bare = m.asset()
    for call in [lambda: bare(), lambda: bare(len, abs), lambda: bare(f=len)]:
        with pytest.raises(TypeError) as info:
            call()
        assert info.value.args == ("asset() decorator expects exactly one argument (the function)",)
    assert bare(42, extra=1).__sorva_original__ == 42
    inputs = {"a": "ref"}
    decorator = m.asset(inputs=inputs)
    inputs["b"] = "more"
    first, second = decorator(len), decorator(abs)
    del decorator
    assert first.__sorva_metadata__ == second.__sorva_metadata__ == metadata(m.asset(inputs={"a": "ref"}))
