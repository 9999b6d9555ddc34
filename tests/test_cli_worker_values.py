"""`python -m sorva.worker` with serializers: values stored in files, and upstream values loaded from job folders."""

import json
import subprocess
import sys

import pytest

from cli_support import run, write_module

FRAMES = """
import numpy
import pandas
from sorva import asset, partitions
from sorva.serializers import register
register("lines", ".txt", lambda rows, path: path.write_text("\\n".join(rows)), lambda path: path.read_text().split("\\n"))
def table(city):
    return pandas.DataFrame({"city": [city, city], "amount": [1.5, 2.0]})
@asset(serializer="csv")
def as_csv():
    return table("oslo")
@asset(serializer="pickle", partitions={"city": partitions(["oslo", "quito"])})
def as_pickle(city):
    return table(city)
@asset(serializer="npy")
def as_npy():
    return numpy.arange(6, dtype=numpy.int16).reshape(2, 3)
@asset(serializer="lines")
def as_lines():
    return ["first", "second"]
@asset(inputs={"csv": as_csv, "array": as_npy, "lines": as_lines, "pickles": as_pickle})
def summary(csv, array, lines, pickles):
    return {
        "csv": [type(csv).__name__, csv["amount"].sum()],
        "array": [str(array.dtype), array.tolist()],
        "lines": lines,
        "pickles": [[entry["partition"], type(entry["value"]).__name__, entry["value"]["city"].tolist()] for entry in pickles],
    }
"""

UPSTREAM = {
    "csv": {"folder": "as_csv", "serializer": "csv"},
    "array": {"folder": "as_npy", "serializer": "npy"},
    "lines": {"folder": "as_lines", "serializer": "lines", "module": "frames"},
    "pickles": [{"partition": {"city": "quito"}, "folder": "as_pickle/quito", "serializer": "pickle"},
                {"partition": {"city": "oslo"}, "folder": "as_pickle/oslo", "serializer": "pickle"}],
}


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    """The stored values of the upstream assets, made once: each worker pays for importing pandas."""
    pytest.importorskip("pandas")
    pytest.importorskip("numpy")
    tmp_path = tmp_path_factory.mktemp("frames")
    write_module(tmp_path, "frames", FRAMES)
    for function, inputs, out in [("as_csv", None, "as_csv"), ("as_npy", None, "as_npy"), ("as_lines", None, "as_lines"),
                                  ("as_pickle", '{"city": "oslo"}', "as_pickle/oslo"),
                                  ("as_pickle", '{"city": "quito"}', "as_pickle/quito")]:
        done = run("sorva.worker", "frames", function, f"out/{out}", *(["--inputs", inputs] if inputs else []), cwd=tmp_path)
        assert (done.returncode, done.stderr) == (0, "")
    return tmp_path


@pytest.mark.parametrize("args, stdin, message", [
    (["--upstream", "csv"], None, "argument --upstream: needs --root"),
    (["--root", "out", "--upstream-json", "csv"], None, "argument --upstream-json: expected a JSON array of texts"),
    (["--root", "out", "--upstream", "csv"], None, "the inputs have no member 'csv' to load an upstream value into"),
    (["--root", "out", "--upstream", "csv", "--inputs-file", "-"], '{"csv": {"folder": "../x"}}',
     "upstream member 'csv': folder '../x' is not a relative path inside the run's output folder"),
])
def test_a_wrong_upstream_invocation_is_one_line_and_status_2(folder, args, stdin, message):
    done = run("sorva.worker", "frames", "summary", "out/refused", *args, cwd=folder, stdin=stdin)
    assert (done.returncode, done.stdout, done.stderr) == (2, "", f"python -m sorva.worker: error: {message}\n")
    assert not (folder / "out/refused").exists()


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
    assert (done.stdout, done.stderr) == ("0 []\n", "")
    assert (tmp_path / "out/twice/value.json").read_text("utf-8") == "42"


def test_loaded_upstream_values_and_a_job_run_in_process_leave_what_the_command_leaves(folder):
    """Upstream values loaded by the command, and what an executor that runs each job in-process after importing leaves."""
    done = run("sorva.worker", "frames", "summary", "out/summary", "--inputs-file", "-", "--root", "out",
               "--upstream", *UPSTREAM, cwd=folder, stdin=json.dumps(UPSTREAM))
    assert (done.returncode, done.stdout, done.stderr) == (0, "", "")
    # Each upstream value arrives as the object its serializer loads; a fan-in in the order given.
    assert json.loads((folder / "out/summary/value.json").read_text("utf-8")) == {
        "csv": ["DataFrame", 3.5],
        "array": ["int16", [[0, 1, 2], [3, 4, 5]]],
        "lines": ["first", "second"],
        "pickles": [[{"city": "quito"}, "DataFrame", ["quito", "quito"]], [{"city": "oslo"}, "DataFrame", ["oslo", "oslo"]]],
    }
    code = (
        "import json, sys\n"
        "import frames\n"
        "from sorva._jobfiles.job import run_job\n"
        "statuses = [run_job('frames', 'as_pickle', 'again/as_pickle/oslo', '{\"city\": \"oslo\"}'),\n"
        "            run_job('frames', 'summary', 'again/summary', sys.stdin.read(), 'out', list(json.loads(sys.argv[1])))]\n"
        "print(statuses)\n"
    )
    done = subprocess.run([sys.executable, "-c", code, json.dumps(list(UPSTREAM))], cwd=folder, input=json.dumps(UPSTREAM),
                          capture_output=True, encoding="utf-8", timeout=120, check=False)
    assert (done.stdout, done.stderr) == ("[0, 0]\n", "")
    for job in ("as_pickle/oslo", "summary"):
        again = {path.name: path.read_bytes() for path in (folder / "again" / job).iterdir()}
        command = {path.name: path.read_bytes() for path in (folder / "out" / job).iterdir()}
        again["result.json"] = again["result.json"].replace(b"/again/", b"/out/")
        assert again == command
