"""asset(...): the checks, the asset metadata record, refs and the decorator."""

import os

import pytest

import sorva._sorva as m


def metadata(decorator):
    return decorator(len).__sorva_metadata__


def test_defaults():
    assert metadata(m.asset()) == {"kind": "asset", "name": None, "serializer": None, "inputs": None, "partitions": None}
    assert list(metadata(m.asset())) == ["kind", "name", "serializer", "inputs", "partitions"]


@pytest.mark.parametrize(
    "kwargs, expected",
    [
        ({"inputs": {}}, {"inputs": {}}),
        ({"partitions": {}}, {"partitions": {}}),
        ({"name": ""}, {"name": ""}),
        ({"name": "ñ", "serializer": "pickle"}, {"name": "ñ", "serializer": "pickle"}),
        ({"inputs": {"x": "not/checked:at all"}}, {"inputs": {"x": "not/checked:at all"}}),
        (
            {"partitions": {"ticker": m.partitions(["AAPL", "MSFT"]), "n": m.partitions([])}},
            {"partitions": {"ticker": {"kind": "inline", "values_json": '["AAPL","MSFT"]'}, "n": {"kind": "inline", "values_json": "[]"}}},
        ),
    ],
)
def test_record_fields(kwargs, expected):
    got = metadata(m.asset(**kwargs))
    for key, value in expected.items():
        assert got[key] == value
    assert got["kind"] == "asset"


def test_partition_entry_key_order():
    entry = metadata(m.asset(partitions={"d": m.partitions([1])}))["partitions"]["d"]
    assert list(entry) == ["kind", "values_json"]


def test_ref_of_a_decorated_upstream(make_module, tmp_path):
    name = make_module(
        """
        from sorva._sorva import asset

        @asset(name="ignored for refs")
        def raw():
            return [1]
        """
    )
    module = __import__(name)
    ref = f"{(tmp_path / (name + '.py')).resolve()}:raw"
    assert metadata(m.asset(inputs={"data": module.raw}))["inputs"] == {"data": ref}


def test_ref_through_a_symbolic_link(tmp_path, make_module):
    real = tmp_path / "real"
    real.mkdir()
    (real / "linked_target.py").write_text("from sorva._sorva import asset\n\n@asset()\ndef up():\n    pass\n")
    name = make_module("")
    os.symlink(real / "linked_target.py", tmp_path / f"{name}_link.py")
    module = __import__(f"{name}_link")
    try:
        assert metadata(m.asset(inputs={"u": module.up}))["inputs"] == {"u": f"{(real / 'linked_target.py').resolve()}:up"}
    finally:
        import sys

        sys.modules.pop(f"{name}_link", None)


def test_duck_typed_upstreams():
    def original():
        pass

    class WithOriginal:
        __sorva_kind__ = "asset"
        __sorva_original__ = original

    class Itself:
        __sorva_kind__ = "asset"

        def __init__(self):
            self.__name__ = "itself"

    here = os.path.realpath(__file__)
    got = metadata(m.asset(inputs={"a": WithOriginal(), "b": Itself}))["inputs"]
    assert got["a"] == f"{here}:original"
    assert got["b"] == f"{here}:Itself"


class NamedKind(str):
    pass


@pytest.mark.parametrize(
    "value, ref",
    [
        ("plain", "plain"),
        (NamedKind("sub"), "sub"),
    ],
)
def test_text_refs(value, ref):
    assert metadata(m.asset(inputs={"x": value}))["inputs"] == {"x": ref}


def kind_raises():
    class K:
        @property
        def __sorva_kind__(self):
            raise RuntimeError("unreadable")

    return K()


def kind_is(value):
    return type("K", (), {"__sorva_kind__": value})()


BAD_INPUTS = [
    ({"x": 42}, "inputs values must be @asset-decorated functions or asset ref strings"),
    ({"x": kind_is("Asset")}, "inputs values must be @asset-decorated functions or asset ref strings"),
    ({"x": kind_is(b"asset")}, "inputs values must be @asset-decorated functions or asset ref strings"),
    ({"x": kind_raises()}, "inputs values must be @asset-decorated functions or asset ref strings"),
    ({"x": m.AssetWrapper}, "inputs values must be @asset-decorated functions or asset ref strings"),
    ({1: "x"}, "'int' object cannot be converted to 'PyString'"),
    ({"ok": "x", (1,): "y"}, "'tuple' object cannot be converted to 'PyString'"),
]


@pytest.mark.parametrize("inputs, message", BAD_INPUTS)
def test_bad_inputs(inputs, message):
    with pytest.raises(TypeError) as info:
        m.asset(inputs=inputs)
    assert type(info.value) is TypeError
    assert info.value.args == (message,)
    assert info.value.__cause__ is None and info.value.__context__ is None


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"inputs": [len]}, "'list' object cannot be converted to 'PyDict'"),
        ({"partitions": ("a",)}, "'tuple' object cannot be converted to 'PyDict'"),
        ({"partitions": {"d": ["a", "b"]}}, "partition values must be partitions([...]) instances"),
        ({"partitions": {"d": m.Partitions}}, "partition values must be partitions([...]) instances"),
        ({"partitions": {2: m.partitions([])}}, "'int' object cannot be converted to 'PyString'"),
        ({"serializer": 1, "inputs": 5}, "argument 'serializer': 'int' object cannot be converted to 'PyString'"),
        ({"inputs": [1], "partitions": 5}, "'list' object cannot be converted to 'PyDict'"),
        ({"inputs": {"x": 1}, "partitions": {"d": 1}}, "inputs values must be @asset-decorated functions or asset ref strings"),
    ],
)
def test_check_order_and_messages(kwargs, message):
    with pytest.raises(TypeError) as info:
        m.asset(**kwargs)
    assert info.value.args == (message,)


def test_failures_forming_a_ref_pass_unchanged():
    builtin_asset = type("K", (), {"__sorva_kind__": "asset", "__sorva_original__": len})()
    with pytest.raises(TypeError, match="got builtin_function_or_method"):
        m.asset(inputs={"x": builtin_asset})

    no_source = type("K", (), {"__sorva_kind__": "asset", "__sorva_original__": 42})()
    with pytest.raises(TypeError, match="module, class, method, function, traceback, frame, or code object was expected"):
        m.asset(inputs={"x": no_source})


def test_lone_surrogate_in_an_input_key():
    with pytest.raises(UnicodeEncodeError):
        m.asset(inputs={"\udcff": "x"})


def test_dict_subclass_iteration_is_not_used():
    class Inputs(dict):
        def __iter__(self):
            raise AssertionError("own entries are walked")

        def items(self):
            raise AssertionError("own entries are walked")

    assert metadata(m.asset(inputs=Inputs(a="ref")))["inputs"] == {"a": "ref"}


def test_snapshot_and_separate_records():
    inputs = {"a": "ref"}
    parts = {"d": m.partitions([1])}
    decorator = m.asset(inputs=inputs, partitions=parts)
    inputs["b"] = "more"
    parts["e"] = m.partitions([2])
    first, second = decorator(len), decorator(abs)
    assert first.__sorva_metadata__ == second.__sorva_metadata__
    assert first.__sorva_metadata__["inputs"] == {"a": "ref"}
    assert list(first.__sorva_metadata__["partitions"]) == ["d"]
    del decorator
    assert second.__sorva_metadata__["inputs"] == {"a": "ref"}


def test_decorator_object():
    decorator = m.asset()
    assert decorator.__name__ == "asset_decorator"
    assert decorator.__doc__ is None
    assert callable(decorator)


@pytest.mark.parametrize("call", [lambda d: d(), lambda d: d(len, abs), lambda d: d(f=len)])
def test_decorator_arity(call):
    with pytest.raises(TypeError) as info:
        call(m.asset())
    assert info.value.args == ("asset() decorator expects exactly one argument (the function)",)


def test_decorator_ignores_keywords_and_wraps_anything():
    assert m.asset()(len, extra=1).__sorva_original__ is len
    wrapper = m.asset()(42)
    assert wrapper.__sorva_original__ == 42 and wrapper.__sorva_kind__ == "asset"
    with pytest.raises(AttributeError):
        wrapper.__name__
