"""`python -m sorva.worker` with serializers: values stored in files, and upstream values loaded from job folders."""

import hashlib
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


@asset(inputs={"frame": as_pickle})
def rows(frame):
    return len(frame)


@asset(serializer="parquet")
def unknown():
    raise AssertionError("never runs")


@asset(serializer="npy")
def wrong_kind():
    return [1, 2]
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


def test_each_value_is_stored_through_its_serializer_beside_a_reference(folder):
    out = folder / "out"
    assert (out / "as_csv/value.csv").read_text("utf-8") == ",city,amount\n0,oslo,1.5\n1,oslo,2.0\n"
    assert (out / "as_lines/value.txt").read_text("utf-8") == "first\nsecond"
    for name, file in [("as_csv", "value.csv"), ("as_npy", "value.npy"), ("as_pickle/oslo", "value.pkl"), ("as_lines", "value.txt")]:
        data = (out / name / file).read_bytes()
        reference = {"format": UPSTREAM_FORMATS[file], "file": file, "size": len(data),
                     "sha256": hashlib.sha256(data).hexdigest()}
        assert (out / name / "value.json").read_text("utf-8") == json.dumps(reference)
    assert (out / "as_npy/result.json").read_text("utf-8") == (
        '{"artifact_format":"json","function_name":"as_npy","module_path":"frames","ok":true,"result_type":"ndarray",'
        f'"signature":"()","value_path":"{out}/as_npy/value.json"}}')


UPSTREAM_FORMATS = {"value.csv": "csv", "value.npy": "npy", "value.pkl": "pickle", "value.txt": "lines"}


def test_a_downstream_job_receives_the_loaded_objects(folder):
    done = run("sorva.worker", "frames", "summary", "out/summary", "--inputs-file", "-", "--root", "out",
               "--upstream", "csv", "array", "lines", "pickles", cwd=folder, stdin=json.dumps(UPSTREAM))
    assert (done.returncode, done.stdout, done.stderr) == (0, "", "")
    assert json.loads((folder / "out/summary/value.json").read_text("utf-8")) == {
        "csv": ["DataFrame", 3.5],
        "array": ["int16", [[0, 1, 2], [3, 4, 5]]],
        "lines": ["first", "second"],
        "pickles": [[{"city": "quito"}, "DataFrame", ["quito", "quito"]], [{"city": "oslo"}, "DataFrame", ["oslo", "oslo"]]],
    }


@pytest.mark.parametrize("function, error, error_type", [
    ("unknown", "LookupError: asset 'unknown' declares the unknown serializer 'parquet'; known serializers: csv, json, lines, "
                "npy, pickle", "LookupError"),
    ("wrong_kind", "TypeError: asset 'wrong_kind': serializer 'npy' cannot store the value: npy stores a numpy array, not 'list'",
     "TypeError"),
])
def test_a_value_that_cannot_be_stored_fails_the_job_naming_the_asset(folder, function, error, error_type):
    done = run("sorva.worker", "frames", function, "out/failed", cwd=folder)
    assert (done.returncode, done.stdout) == (1, "")
    assert (folder / "out/failed/result.json").read_text("utf-8") == json.dumps(
        {"error": error, "error_type": error_type, "ok": False}, separators=(",", ":"))
    assert sorted(p.name for p in (folder / "out/failed").iterdir()) == ["result.json"]


def test_a_pickle_outside_the_root_is_not_loaded(folder):
    (folder / "other").mkdir()
    (folder / "other/link").symlink_to(folder / "out/as_pickle/oslo", target_is_directory=True)
    done = run("sorva.worker", "frames", "rows", "other/rows", "--inputs", '{"frame": {"folder": "link", "serializer": "pickle"}}',
               "--root", "other", "--upstream", "frame", cwd=folder)
    assert (done.returncode, done.stdout) == (1, "")
    assert json.loads((folder / "other/rows/result.json").read_text("utf-8")) == {
        "error": f"LoadError: parameter 'frame': '{folder}/other/link' lies outside the run's output folder '{folder}/other'",
        "error_type": "LoadError", "ok": False}


@pytest.mark.parametrize("args, stdin, message", [
    (["--upstream", "csv"], None, "argument --upstream: needs --root"),
    (["--root", "out", "--upstream", "csv"], None, "the inputs have no member 'csv' to load an upstream value into"),
    (["--root", "out", "--upstream", "csv", "--inputs", "[]"], None, "the inputs must be a JSON object of keyword arguments, not an array"),
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
    argv = ["worker", "light", "twice", "out/twice", "--inputs", '{"n": {"folder": "up"}}', "--root", "out", "--upstream", "n"]
    code = (f"import runpy, sys\nsys.argv = {argv!r}\ntry:\n"
            "    runpy.run_module('sorva.worker', run_name='__main__', alter_sys=True)\nexcept SystemExit as end:\n"
            "    print(end.code, sorted({'argparse', 'typing'} & set(sys.modules)))\n")
    done = subprocess.run([sys.executable, "-S", "-c", code], cwd=tmp_path, capture_output=True, encoding="utf-8",
                          timeout=60, check=False)
    assert (done.stdout, done.stderr) == ("0 []\n", "")
    assert (tmp_path / "out/twice/value.json").read_text("utf-8") == "42"


def test_a_job_run_in_process_after_importing_leaves_the_same_files_as_the_command(folder):
    """What an executor that imports the modules once and then runs each job in-process leaves."""
    done = run("sorva.worker", "frames", "summary", "out/summary", "--inputs-file", "-", "--root", "out",
               "--upstream", *UPSTREAM, cwd=folder, stdin=json.dumps(UPSTREAM))
    assert done.returncode == 0
    code = (
        "import json, sys\n"
        "import frames\n"
        "from sorva.worker import run_job\n"
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
