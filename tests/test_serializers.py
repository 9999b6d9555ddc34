"""sorva.serializers: registering serializers and looking them up by name."""

import subprocess
import sys

import pytest

from sorva import serializers


pytestmark = pytest.mark.usefixtures("registry")


dump, load = print, open  # the registry keeps any callables as they are


@pytest.mark.parametrize("name, suffix, dumper, loader, error, message", [
    (1, ".x", dump, load, TypeError, "serializer name must be a str, not 'int'"),
    ("x", None, dump, load, TypeError, "serializer suffix must be a str, not 'NoneType'"),
    ("x", ".x", "dump", load, TypeError, "serializer dump must be callable, not 'str'"),
    ("x", ".x", dump, None, TypeError, "serializer load must be callable, not 'NoneType'"),
    ("", ".x", dump, load, ValueError, "serializer name '' must be letters, digits, '.', '_' or '-', starting with a letter or digit"),
    ("a b", ".x", dump, load, ValueError, "serializer name 'a b' must be letters, digits, '.', '_' or '-', starting with a letter or digit"),
    ("pickle", ".p", dump, load, ValueError, "serializer 'pickle' is built in and cannot be replaced"),
    ("x", "x", dump, load, ValueError, "serializer suffix 'x' must be '.' followed by letters, digits, '.', '_' or '-'"),
    ("x", ".json", dump, load, ValueError, "serializer suffix '.json' is taken: value.json holds the reference to the value's file"),
])
def test_register_refuses_bad_arguments_with_one_line(name, suffix, dumper, loader, error, message):
    with pytest.raises(error) as info:
        serializers.register(name, suffix, dumper, loader)
    assert str(info.value) == message
    assert serializers.names() == ["csv", "json", "npy", "pickle"]


def test_a_registered_serializer_is_found_and_replaced_by_a_later_registration():
    serializers.register("text", ".txt", dump, load)
    serializers.register("text", ".text", dump, load)
    found = serializers.lookup("text", "report")
    assert (found.name, found.suffix, found.dump, found.load) == ("text", ".text", dump, load)
    assert serializers.names() == ["csv", "json", "npy", "pickle", "text"]


@pytest.mark.parametrize("name, shown", [("parquet", "'parquet'"), ("JSON", "'JSON'"), ("a\tb", "'a\\tb'")])
def test_an_unknown_name_is_one_line_naming_the_asset_and_the_known_names(name, shown):
    with pytest.raises(LookupError) as info:
        serializers.lookup(name, "report")
    assert str(info.value) == f"asset 'report' declares the unknown serializer {shown}; known serializers: csv, json, npy, pickle"


def test_pandas_and_numpy_are_imported_only_when_a_value_needs_them():
    script = ("import sys, pathlib, tempfile\nfrom sorva import serializers\nfolder = pathlib.Path(tempfile.mkdtemp())\n"
              "for name in ('csv', 'npy', 'pickle'):\n    try:\n        serializers.lookup(name, 'a').dump([1], folder / 'v')\n"
              "    except TypeError:\n        pass\nprint(sorted({'pandas', 'numpy'} & set(sys.modules)))\n")
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60, check=False)
    assert (done.stdout, done.stderr) == ("[]\n", "")
