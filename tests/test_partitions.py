"""partitions(values) and the Partitions marker, and the parser reached
through it with any text by standing in for json.dumps."""

import json

import pytest

import sorva._sorva as m


def values_json(p):
    return m.asset(partitions={"d": p})(len).__sorva_metadata__["partitions"]["d"]["values_json"]


@pytest.mark.parametrize("values, text", [
    ([], "[]"),
    (["a", "a", 1, 2.5, None, True], '["a","a",1,2.5,null,true]'),
    ([{"b": 1, "a": 2}, (1, 2), {1: "x", "1": "y"}], '[{"a":2,"b":1},[1,2],{"1":"y"}]'),
    ([2**64 - 1, 2**64, -(2**63), -(2**63) - 1], "[18446744073709551615,1.8446744073709552e+19,-9223372036854775808,-9.223372036854776e+18]"),
    ([0.1, 1e16, 1e-7, -0.0, 100.0], "[0.1,1e+16,1e-7,-0.0,100.0]"),
    (["é/\x7f\x1b\n\U0001f600"], '["é/\x7f\\u001b\\n\U0001f600"]'),
])
def test_values_text_and_repr(values, text):
    p = m.partitions(values)
    assert repr(p) == f"Partitions({len(values)} values)"
    assert values_json(p) == text


def test_the_list_is_copied_and_may_shrink_during_the_walk(monkeypatch):
    values = ["first", "b", "c"]
    copied = m.partitions(values=values)
    dumps = json.dumps

    def shrinking(obj):
        del values[1:]
        return dumps(obj)

    monkeypatch.setattr(json, "dumps", shrinking)
    assert (repr(m.partitions(values)), values_json(copied)) == ("Partitions(1 values)", '["first","b","c"]')


def dumping(text):
    """json.dumps standing in to hand the parser `text`, whatever the values."""
    return lambda obj: text


@pytest.mark.parametrize("values, dumps, error, message", [
    (["fine", float("nan")], None, ValueError, "invalid partition value: expected value at line 1 column 1"),
    (["fine", float("-inf")], None, ValueError, "invalid partition value: invalid number at line 1 column 2"),
    (["fine", [1, float("nan")]], None, ValueError, "invalid partition value: expected value at line 1 column 5"),
    (["fine", "\ud800"], None, ValueError, "invalid partition value: unexpected end of hex escape at line 1 column 8"),
    (["fine", "\udc00"], None, ValueError, "invalid partition value: lone leading surrogate in hex escape at line 1 column 7"),
    ([object()], None, TypeError, "Object of type object is not JSON serializable"),  # json.dumps's own, unchanged
    # The parser's own messages, with line and column, reach the caller (the C++ units test each one).
    ([0], dumping("[1,\n2,]"), ValueError, "invalid partition value: trailing comma at line 2 column 3"),
    ([0], dumping('"\u00e9\x01"'), ValueError,
     "invalid partition value: control character (\\u0000-\\u001F) found while parsing a string at line 1 column 4"),
    ([0], dumping("[" * 128), ValueError, "invalid partition value: recursion limit exceeded at line 1 column 128"),
    ([0], dumping(b"1"), TypeError, "'bytes' object cannot be converted to 'PyString'"),
])
def test_values_that_are_not_json_and_texts_the_parser_refuses(monkeypatch, values, dumps, error, message):
    if dumps is not None:
        monkeypatch.setattr(json, "dumps", dumps)
    with pytest.raises(error) as info:
        m.partitions(values)
    assert type(info.value) is error and info.value.args == (message,)
