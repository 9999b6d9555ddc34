"""Stored values: value files and their references, digests, and loading upstream values from inside the run's folder."""

import hashlib
import json
import os
import pickle
import sys
from pathlib import PurePosixPath

import pytest

from sorva import serializers
from sorva._jobfiles.values import (
    FanIn, LoadError, Stored, entries, load_upstream, needed_files, parse_upstream, store, upstream_files, value_digest,
)


pytestmark = pytest.mark.usefixtures("registry")


@pytest.fixture
def root(tmp_path):
    """A run's output folder with a json, a pickle and a text value stored in job folders."""
    out = tmp_path / "out"
    serializers.register("text", ".txt", lambda value, path: path.write_text(value, "utf-8"), lambda path: path.read_text("utf-8"))
    for folder, name, value in [("plain", "json", {"a": [1, 2.5]}), ("kept/part=1", "pickle", {1: b"x"}),
                                ("kept/part=2", "pickle", {2: b"y"}), ("words", "text", "hello")]:
        (out / folder).mkdir(parents=True)
        store(value, out / folder, serializers.lookup(name, "a"))
    return out


def test_a_serialized_value_is_its_file_and_a_reference_in_value_json(root):
    data = pickle.dumps({1: b"x"}, protocol=5)
    assert (root / "kept/part=1/value.pkl").read_bytes() == data
    assert (root / "kept/part=1/value.json").read_text("utf-8") == (
        f'{{"format": "pickle", "file": "value.pkl", "size": {len(data)}, "sha256": "{hashlib.sha256(data).hexdigest()}"}}')
    assert (root / "plain/value.json").read_text("utf-8") == '{"a": [1, 2.5]}'


@pytest.mark.parametrize("dump, error", [
    (lambda value, path: (path.write_bytes(b"half"), 1 / 0), "division by zero"),
    (lambda value, path: None, "serializer 'broken' wrote no file"),
])
def test_a_failed_store_leaves_no_file_behind(tmp_path, dump, error):
    serializers.register("broken", ".b", dump, lambda path: None)
    with pytest.raises(Exception) as info:
        store(1, tmp_path, serializers.lookup("broken", "a"))
    assert (str(info.value), os.listdir(tmp_path)) == (error, [])


def test_upstream_values_load_as_keyword_arguments_with_fan_in_in_partition_order(root):
    (root / "away").symlink_to(root / "plain", target_is_directory=True)  # a link that stays inside the root is followed
    inputs = {"plain": {"folder": "away", "serializer": None}, "words": {"folder": "words", "serializer": "text"},
              "parts": [{"partition": {"part": 2}, "folder": "kept/part=2", "serializer": "pickle"},
                        {"partition": {"part": 1}, "folder": "kept/part=1", "serializer": "pickle", "module": "nowhere"}],
              "city": "oslo"}
    upstream = parse_upstream(inputs, ["plain", "words", "parts"])
    assert entries(upstream.items()) == {key: value for key, value in inputs.items() if key != "city"}
    assert load_upstream(root, upstream) == {"plain": {"a": [1, 2.5]}, "words": "hello", "parts": [
        {"partition": {"part": 2}, "value": {2: b"y"}}, {"partition": {"part": 1}, "value": {1: b"x"}}]}
    assert needed_files(root, upstream) == [PurePosixPath(p) for p in (
        "away/value.json", "words/value.json", "words/value.txt", "kept/part=2/value.json", "kept/part=2/value.pkl",
        "kept/part=1/value.json", "kept/part=1/value.pkl")]


@pytest.mark.parametrize("inputs, message", [
    ({}, "the inputs have no member 'x' to load an upstream value into"),
    ({"x": 5}, "upstream member 'x': expected an object with a \"folder\" text"),
    ({"x": {"folder": "a", "size": 1}}, "upstream member 'x': unknown key 'size'"),
    ({"x": {"folder": "/etc"}}, "upstream member 'x': folder '/etc' is not a relative path inside the run's output folder"),
    ({"x": {"folder": "a/../../b"}}, "upstream member 'x': folder 'a/../../b' is not a relative path inside the run's output folder"),
    ({"x": {"folder": "a", "serializer": 1}}, "upstream member 'x': \"serializer\" must be a text or null"),
    ({"x": [{"folder": "a"}]}, "upstream member 'x' item 0: expected an object with \"partition\" and \"folder\""),
])
def test_malformed_upstream_members_are_refused_with_one_line(inputs, message):
    with pytest.raises(ValueError) as info:
        parse_upstream(inputs, ["x"])
    assert str(info.value) == message


def flip_a_bit(path):
    data = bytearray(path.read_bytes())
    data[-2] ^= 1
    path.write_bytes(bytes(data))


def link_out(path):
    outside = path.parents[3] / "evil.pkl"
    outside.write_bytes(path.read_bytes())
    path.unlink()
    path.symlink_to(outside)


def move_out(path):  # the job's folder itself
    path.rename(path.parents[2] / "moved")
    path.symlink_to(path.parents[2] / "moved", target_is_directory=True)


NO_REFERENCE = "'{f}/value.json' holds no reference to a value stored with 'pickle'"


@pytest.mark.parametrize("file, damage, message", [
    ("value.pkl", lambda path: path.write_bytes(b"\x80"), "'{f}/value.pkl' has 1 bytes where its reference says {size}"),
    ("value.pkl", flip_a_bit, "'{f}/value.pkl' does not match the SHA-256 in its reference"),
    ("value.pkl", lambda path: path.unlink(), "cannot read '{f}/value.pkl': No such file or directory"),
    ("value.json", lambda path: path.write_text(path.read_text("utf-8").replace("value.pkl", "../../plain/value.json")),
     NO_REFERENCE),
    ("value.json", lambda path: path.write_text('{"a": 1}'), NO_REFERENCE),
    ("value.json", lambda path: path.write_text("[" * 100_000), NO_REFERENCE),
    ("value.pkl", link_out, "'{f}/value.pkl' lies outside the run's output folder '{root}'"),
    ("", move_out, "'{f}' lies outside the run's output folder '{root}'"),
])
def test_a_damaged_or_foreign_value_is_never_loaded(root, file, damage, message):
    size = (root / "kept/part=1/value.pkl").stat().st_size
    damage(root / "kept/part=1" / file)
    upstream = parse_upstream({"x": {"folder": "kept/part=1", "serializer": "pickle"}}, ["x"])
    expected = "parameter 'x': " + message.format(f=root / "kept/part=1", root=root, size=size)
    with pytest.raises(LoadError) as info:
        load_upstream(root, upstream)
    assert str(info.value) == expected
    if damage not in (link_out, move_out):
        with pytest.raises(LoadError) as info:
            value_digest(root / "kept/part=1", "pickle")
        assert "parameter 'x': " + str(info.value) == expected


def test_an_unregistered_serializer_is_sought_in_the_upstream_module(root, make_module):
    upper_words = make_module("from sorva.serializers import register\n"
                              "register('upper', '.up', lambda v, p: p.write_text(v.upper()), lambda p: p.read_text())\n")
    source = FanIn(((1, Stored(PurePosixPath("words"), "upper")),))
    with pytest.raises(LoadError) as info:
        load_upstream(root, {"w": source})
    assert str(info.value) == ("parameter 'w': 'words' was stored with the serializer 'upper', which is not registered "
                               "here; known serializers: csv, json, npy, pickle, text")
    (root / "shouted").mkdir()
    store("hi", root / "shouted", serializers.Serializer("upper", ".up", lambda v, p: p.write_text(v.upper()), print))
    assert load_upstream(root, {"w": Stored(PurePosixPath("shouted"), "upper", upper_words)}) == {"w": "HI"}


@pytest.mark.parametrize("text, error", [
    ("{oops", "JSONDecodeError: Expecting property name enclosed in double quotes: line 1 column 2 (char 1)"),
    pytest.param("[" * 100_000 + "]" * 100_000,
                 "RecursionError: maximum recursion depth exceeded while decoding a JSON array from a unicode string",
                 # from 3.12 on, JSON nests as deep as the C stack allows
                 marks=pytest.mark.skipif(sys.version_info >= (3, 12), reason="decodes any depth")),
])
def test_a_loader_failure_names_the_file_and_the_serializer(root, text, error):
    (root / "plain/value.json").write_text(text, "utf-8")
    with pytest.raises(LoadError) as info:
        load_upstream(root, {"p": Stored(PurePosixPath("plain"))})
    assert str(info.value) == f"parameter 'p': cannot load '{root}/plain/value.json' with 'json': {error}"


def test_the_files_of_a_task_are_listed_from_its_inputs(root):
    inputs = json.dumps({"k": 1, "p": {"folder": "kept/part=2", "serializer": "pickle"}}).encode()
    assert upstream_files(root, inputs, ("p",)) == [PurePosixPath("kept/part=2/value.json"), PurePosixPath("kept/part=2/value.pkl")]
    assert upstream_files(root, None, ()) == []
    with pytest.raises(ValueError) as info:
        upstream_files(root, b"[]", ("p",))
    assert str(info.value) == "the inputs must be a JSON object of keyword arguments"
    # A reference that cannot be read lists value.json alone.
    (root / "kept/part=2/value.json").unlink()
    assert upstream_files(root, inputs, ("p",)) == [PurePosixPath("kept/part=2/value.json")]
