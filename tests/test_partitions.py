"""partitions(values) and the Partitions marker, and the parser reached
through it with any text by standing in for json.dumps."""

import json

import pytest

import sorva._sorva as m


def values_json(p):
    return m.asset(partitions={"d": p})(len).__sorva_metadata__["partitions"]["d"]["values_json"]


@pytest.mark.parametrize(
    "values, text",
    [
        ([], "[]"),
        (["a", "a", 1, 2.5, None, True], '["a","a",1,2.5,null,true]'),
        ([{"b": 1, "a": 2}, (1, 2), {1: "x", "1": "y"}], '[{"a":2,"b":1},[1,2],{"1":"y"}]'),
        ([2**64 - 1, 2**64, -(2**63), -(2**63) - 1], "[18446744073709551615,1.8446744073709552e+19,-9223372036854775808,-9.223372036854776e+18]"),
        ([0.1, 1e16, 1e-7, -0.0, 100.0], "[0.1,1e+16,1e-7,-0.0,100.0]"),
        (["é/\x7f\x1b\n\U0001f600"], '["é/\x7f\\u001b\\n\U0001f600"]'),
    ],
)
def test_values_text_and_repr(values, text):
    p = m.partitions(values)
    assert repr(p) == f"Partitions({len(values)} values)"
    assert values_json(p) == text


def test_the_list_is_copied():
    values = ["a"]
    p = m.partitions(values=values)
    values.append("b")
    assert values_json(p) == '["a"]'


def test_list_shrinking_during_the_walk(monkeypatch):
    values = ["first", "b", "c"]
    dumps = json.dumps

    def shrinking(obj):
        del values[1:]
        return dumps(obj)

    monkeypatch.setattr(json, "dumps", shrinking)
    assert repr(m.partitions(values)) == "Partitions(1 values)"


@pytest.mark.parametrize(
    "value, error",
    [
        (float("nan"), "expected value at line 1 column 1"),
        (float("-inf"), "invalid number at line 1 column 2"),
        ([1, float("nan")], "expected value at line 1 column 5"),
        ("\ud800", "unexpected end of hex escape at line 1 column 8"),
        ("\udc00", "lone leading surrogate in hex escape at line 1 column 7"),
    ],
)
def test_values_that_are_not_json(value, error):
    with pytest.raises(ValueError) as info:
        m.partitions(["fine", value])
    assert type(info.value) is ValueError and info.value.args == ("invalid partition value: " + error,)


def test_dumps_errors_pass_unchanged():
    with pytest.raises(TypeError, match="Object of type object is not JSON serializable"):
        m.partitions([object()])


@pytest.mark.parametrize(
    "text, error",
    [
        # The parser's own messages, with line and column, reach the caller (the C++ units test each one).
        ("[1,\n2,]", "trailing comma at line 2 column 3"),
        ('"é\x01"', "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 4"),
        ("[" * 128, "recursion limit exceeded at line 1 column 128"),
    ],
)
def test_parser_messages_end_to_end(monkeypatch, text, error):
    monkeypatch.setattr(json, "dumps", lambda obj: text)
    with pytest.raises(ValueError) as info:
        m.partitions([0])
    assert info.value.args == ("invalid partition value: " + error,)


def test_dumps_returning_non_text(monkeypatch):
    monkeypatch.setattr(json, "dumps", lambda obj: b"1")
    with pytest.raises(TypeError) as info:
        m.partitions([0])
    assert info.value.args == ("'bytes' object cannot be converted to 'PyString'",)
