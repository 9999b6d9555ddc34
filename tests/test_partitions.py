"""partitions(values) and the Partitions marker."""

import json

import pytest

import sorva._sorva as m


def values_json(p):
    return m.asset(partitions={"d": p})(len).__sorva_metadata__["partitions"]["d"]["values_json"]


@pytest.mark.parametrize(
    "values, text",
    [
        ([], "[]"),
        (["AAPL", "MSFT", "GOOG"], '["AAPL","MSFT","GOOG"]'),
        ([1, 2.5, None, True], "[1,2.5,null,true]"),
        (["a", "a"], '["a","a"]'),
        ([{"b": 1, "a": 2}], '[{"a":2,"b":1}]'),
        ([(1, 2)], "[[1,2]]"),
        ([{1: "x", "1": "y"}], '[{"1":"y"}]'),
        ([2**64 - 1, 2**64, -(2**63), -(2**63) - 1], "[18446744073709551615,1.8446744073709552e+19,-9223372036854775808,-9.223372036854776e+18]"),
        ([0.1, 1e16, 1e-7, -0.0, 100.0], "[0.1,1e+16,1e-7,-0.0,100.0]"),
        (["é/\x7f\x1b\n"], '["é/\x7f\\u001b\\n"]'),
        (["\U0001f600"], '["\U0001f600"]'),
    ],
)
def test_values_text(values, text):
    p = m.partitions(values)
    assert repr(p) == f"Partitions({len(values)} values)"
    assert values_json(p) == text


def test_random_floats_keep_their_value():
    import random

    rng = random.Random(7)
    floats = [rng.uniform(0, 1000) for _ in range(2000)] + [rng.random() * 10 ** rng.randint(-300, 300) for _ in range(2000)]
    assert json.loads(values_json(m.partitions(floats))) == floats


def test_list_subclass_and_keyword():
    class Keys(list):
        def __iter__(self):
            raise AssertionError("the walk goes by index")

    assert values_json(m.partitions(values=Keys(["x"]))) == '["x"]'


def test_later_mutation_does_not_reach_the_marker():
    values = ["a"]
    p = m.partitions(values)
    values.append("b")
    assert values_json(p) == '["a"]'
    assert repr(p) == "Partitions(1 values)"


def test_list_shrinking_during_the_walk():
    values = []

    class Shrinks:
        def __init__(self, n):
            self.n = n

    def dumps(obj, **kwargs):
        if isinstance(obj, Shrinks):
            del values[1:]
            return str(obj.n)
        return json_dumps(obj, **kwargs)

    json_dumps = json.dumps
    values.extend([Shrinks(1), "b", "c"])
    json.dumps = dumps
    try:
        p = m.partitions(values)
    finally:
        json.dumps = json_dumps
    assert values_json(p) == "[1]"


def test_dumps_is_looked_up_for_every_element(monkeypatch):
    calls = []

    def dumps(obj):
        calls.append(obj)
        if len(calls) == 2:
            monkeypatch.setattr(json, "dumps", lambda obj: '"second"')
        return "1"

    monkeypatch.setattr(json, "dumps", dumps)
    p = m.partitions(["x", "y", "z"])
    assert calls == ["x", "y"]
    monkeypatch.undo()
    assert values_json(p) == '[1,1,"second"]'


@pytest.mark.parametrize(
    "value, message",
    [
        (float("nan"), "invalid partition value: expected value at line 1 column 1"),
        (float("inf"), "invalid partition value: expected value at line 1 column 1"),
        (float("-inf"), "invalid partition value: invalid number at line 1 column 2"),
        ([1, float("nan")], "invalid partition value: expected value at line 1 column 5"),
        ("\ud800", "invalid partition value: unexpected end of hex escape at line 1 column 8"),
        ("\udc00", "invalid partition value: lone leading surrogate in hex escape at line 1 column 7"),
    ],
)
def test_values_that_are_not_json(value, message):
    with pytest.raises(ValueError) as info:
        m.partitions(["fine", value])
    assert type(info.value) is ValueError
    assert info.value.args == (message,)


def test_dumps_errors_pass_unchanged():
    with pytest.raises(TypeError, match="Object of type object is not JSON serializable"):
        m.partitions([object()])
    circular = []
    circular.append(circular)
    with pytest.raises(ValueError, match="Circular reference detected"):
        m.partitions([circular])


# The parser is reachable with any text by standing in for json.dumps.
PARSER_ERRORS = [
    ("", "EOF while parsing a value at line 1 column 0"),
    ("[1,]", "trailing comma at line 1 column 4"),
    ("[1,\n2,]", "trailing comma at line 2 column 3"),
    ('{"a":1} x', "trailing characters at line 1 column 9"),
    ("01", "invalid number at line 1 column 2"),
    ("1e400", "number out of range at line 1 column 5"),
    ("NaN", "expected value at line 1 column 1"),
    ('"é\x01"', "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 4"),
    ("[" * 128, "recursion limit exceeded at line 1 column 128"),
    ("nul", "EOF while parsing a value at line 1 column 3"),
    ("nulx", "expected ident at line 1 column 4"),
    ('{"a" 1}', "expected `:` at line 1 column 6"),
    ("{1:2}", "key must be a string at line 1 column 2"),
    ('"\\x"', "invalid escape at line 1 column 3"),
]


@pytest.mark.parametrize("text, error", PARSER_ERRORS)
def test_parser_messages_end_to_end(monkeypatch, text, error):
    monkeypatch.setattr(json, "dumps", lambda obj: text)
    with pytest.raises(ValueError) as info:
        m.partitions([0])
    assert info.value.args == ("invalid partition value: " + error,)


@pytest.mark.parametrize("result", [b"1", 1, None])
def test_dumps_returning_non_text(monkeypatch, result):
    monkeypatch.setattr(json, "dumps", lambda obj: result)
    with pytest.raises(TypeError) as info:
        m.partitions([0])
    assert info.value.args == (f"'{type(result).__qualname__}' object cannot be converted to 'PyString'",)


def test_dumps_text_with_surrogate(monkeypatch):
    monkeypatch.setattr(json, "dumps", lambda obj: '"\ud800"')
    with pytest.raises(UnicodeEncodeError):
        m.partitions([0])


def test_marker_has_identity_semantics():
    p, q = m.partitions([1]), m.partitions([1])
    assert p != q and p == p
    assert hash(p) == hash(p)
    with pytest.raises(TypeError):
        len(p)
