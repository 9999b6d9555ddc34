"""`python -m sorva.worker` with serializers: values stored in files, and upstream values loaded from job folders."""

import json
import subprocess
import sys

import pytest

from cli_support import run, write_module

STORED = """
import numpy
from sorva import asset, partitions
from sorva.serializers import register
register("lines", ".txt", lambda rows, path: path.write_text("\\n".join(rows)), lambda path: path.read_text().split("\\n"))
@asset(serializer="pickle", partitions={"city": partitions(["oslo", "quito"])})
def as_pickle(city): return {city}
@asset(serializer="npy")
def as_npy(): return numpy.arange(6, dtype=numpy.int16).reshape(2, 3)
@asset(serializer="lines")
def as_lines(): return ["first", "second"]
@asset(inputs={"array": as_npy, "lines": as_lines, "pickles": as_pickle})
def summary(array, lines, pickles):
    return {"array": [str(array.dtype), array.tolist()], "lines": lines,
            "pickles": [[entry["partition"], sorted(entry["value"])] for entry in pickles]}
"""
UPSTREAM = {
    "array": {"folder": "as_npy", "serializer": "npy"},
    "lines": {"folder": "as_lines", "serializer": "lines", "module": "stored"},
    "pickles": [{"partition": {"city": "quito"}, "folder": "as_pickle/quito", "serializer": "pickle"},
                {"partition": {"city": "oslo"}, "folder": "as_pickle/oslo", "serializer": "pickle"}],
}


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    """The stored values of the upstream assets, made once."""
    pytest.importorskip("numpy")
    tmp_path = tmp_path_factory.mktemp("stored")
    write_module(tmp_path, "stored", STORED)
    for function, out, inputs in [("as_npy", "as_npy", "{}"), ("as_lines", "as_lines", "{}"),
                                  ("as_pickle", "as_pickle/oslo", '{"city": "oslo"}'),
                                  ("as_pickle", "as_pickle/quito", '{"city": "quito"}')]:
        done = run("sorva.worker", "stored", function, f"out/{out}", "--inputs", inputs, cwd=tmp_path)
        assert (done.returncode, done.stderr) == (0, "")
    return tmp_path


@pytest.mark.parametrize("args, stdin, message", [
    (["--upstream", "array"], None, "argument --upstream: needs --root"),
    (["--root", "out", "--upstream-json", "array"], None, "argument --upstream-json: expected a JSON array of texts"),
    (["--root", "out", "--upstream", "array"], None, "the inputs have no member 'array' to load an upstream value into"),
    (["--root", "out", "--upstream", "array", "--inputs-file", "-"], '{"array": {"folder": "../x"}}',
     "upstream member 'array': folder '../x' is not a relative path inside the run's output folder"),
])
def test_a_wrong_upstream_invocation_is_one_line_and_status_2(folder, args, stdin, message):
    done = run("sorva.worker", "stored", "summary", "out/refused", *args, cwd=folder, stdin=stdin)
    assert (done.returncode, done.stdout, done.stderr) == (2, "", f"python -m sorva.worker: error: {message}\n")
    assert not (folder / "out/refused").exists()


# Each upstream value arrives as the object its serializer loads (one registered by the module named); a fan-in
# in the order given. Jobs loading upstream values in-process (fork, pool) are compared with this command's in test_executors.
def test_upstream_values_are_loaded_by_their_serializers(folder):
    done = run("sorva.worker", "stored", "summary", "out/summary", "--inputs-file", "-", "--root", "out",
               "--upstream", *UPSTREAM, cwd=folder, stdin=json.dumps(UPSTREAM))
    assert (done.returncode, done.stdout, done.stderr) == (0, "", "")
    assert json.loads((folder / "out/summary/value.json").read_text("utf-8")) == {
        "array": ["int16", [[0, 1, 2], [3, 4, 5]]], "lines": ["first", "second"],
        "pickles": [[{"city": "quito"}, ["quito"]], [{"city": "oslo"}, ["oslo"]]]}


def test_a_job_loading_upstream_values_imports_neither_argparse_nor_typing(tmp_path):
    write_module(tmp_path, "light", "from sorva import asset\n@asset(inputs={'n': 'x'})\ndef twice(n): return 2 * n\n")
    (tmp_path / "out/up").mkdir(parents=True)
    (tmp_path / "out/up/value.json").write_text("21", "utf-8")
    argv = ["worker", "light", "twice", "out/twice", "--inputs", '{"n": {"folder": "up"}}', "--root", "out", "--upstream-json", '["n"]']
    code = (f"import runpy, sys\nsys.argv = {argv!r}\ntry:\n"
            "    runpy.run_module('sorva.worker', run_name='__main__', alter_sys=True)\nexcept SystemExit as end:\n"
            "    print(end.code, sorted({'argparse', 'typing'} & set(sys.modules)))\n")
    done = subprocess.run([sys.executable, "-S", "-c", code], cwd=tmp_path, capture_output=True, encoding="utf-8",
                          timeout=60, check=False)
    assert (done.stdout, done.stderr, (tmp_path / "out/twice/value.json").read_text("utf-8")) == ("0 []\n", "", "42")
