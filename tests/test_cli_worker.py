"""`python -m sorva.worker`: one asset materialised into a folder, with the exit status of its outcome."""

import json
import os
import resource
import signal

import pytest

from cli_support import run, write_module

INPUTS = '{"numbers": [1, 2, 3], "factor": 10}'
ASSETS = '''
import os, pathlib
from sorva import asset
pathlib.Path("imported").touch()
@asset()
def scale(numbers: list[int] = [5], factor: int = 2) -> list[int]:
    return [n * factor for n in numbers]
@asset()
def wander() -> str:
    open("inputs.json").close()
    os.chdir("/")
    open("etc/passwd").close()  # input files: relative to the folder the asset is in at the time
    return "elsewhere"
@asset()
def shout(size: int) -> None: raise ValueError("x" * size)
@asset()
def added(n, m): return n + m
'''
E = "python -m sorva.worker: error: "


@pytest.fixture
def folder(tmp_path):
    write_module(tmp_path, "assets", ASSETS)
    write_module(tmp_path, "broken", "import os\n\ndef helper():\n    raise OSError('no disk today')\n\nhelper()\n")
    (tmp_path / "inputs.json").write_text(INPUTS, encoding="utf-8")
    (tmp_path / "latin1.json").write_bytes(b'{"numbers": ["\xe9"]}')
    (tmp_path / "taken").write_text("a file, not a folder", encoding="utf-8")
    for name in ("n", "m"):
        (tmp_path / "up" / name).mkdir(parents=True)
        (tmp_path / "up" / name / "value.json").write_text("21", "utf-8")
    return tmp_path.resolve()


# PYTHONSAFEPATH leaves the current folder off the path; the asset's module is found there all the same. A relative
# OUTPUT_DIR is the one named when the worker started, whatever folder the asset moves to. Upstream members are named
# either way (what serializers load is checked in test_values). A job imports neither argparse nor typing.
UPSTREAM = ["--inputs", '{"n": {"folder": "n"}, "m": {"folder": "m"}}', "--root", "up", "--upstream", "n", "--upstream-json", '["m"]']


@pytest.mark.parametrize("function, options, stdin, value", [
    ("scale", ["--inputs", INPUTS], None, "[10, 20, 30]"), ("scale", ["--inputs-file", "inputs.json"], None, "[10, 20, 30]"),
    ("scale", ["--inputs-file", "-"], INPUTS, "[10, 20, 30]"), ("wander", [], None, '"elsewhere"'), ("added", UPSTREAM, None, "42"),
])
def test_inputs_become_keyword_arguments(folder, function, options, stdin, value):
    code = ("import runpy, sys\ntry:\n    runpy.run_module('sorva.worker', run_name='__main__', alter_sys=True)\n"
            "except SystemExit as end:\n    print(end.code, sorted({'argparse', 'typing'} & set(sys.modules)))\n")
    done = run("-S", "-c", code, "assets", function, "out", *options, cwd=folder, stdin=stdin, env={"PYTHONSAFEPATH": "1"})
    assert (done.stdout, done.stderr, (folder / "out/value.json").read_text("utf-8")) == ("0 []\n", "", value)
    record = json.loads((folder / "out/result.json").read_text("utf-8"))
    assert (record["ok"], record["function_name"], record["value_path"]) == (True, function, str(folder / "out/value.json"))
    read = [entry["path"] for entry in json.loads((folder / "out/input_files.json").read_bytes())]
    assert read == (["inputs.json", "/etc/passwd"] if function == "wander" else [])


# The record holds the error; standard error adds where it happened (the user's file and line) and one line saying so.
TRACEBACK = "Traceback (most recent call last):"


@pytest.mark.parametrize("module, function, inputs, error, traceback", [
    ("assets", "scale", '{"numbers": null}', "TypeError: 'NoneType' object is not iterable",
     [TRACEBACK, '  File "{folder}/assets.py", line 6, in scale', "    return [n * factor for n in numbers]"]),
    ("broken", "helper", None, "OSError: no disk today",
     [TRACEBACK, '  File "{folder}/broken.py", line 6, in <module>', "    helper()",
      '  File "{folder}/broken.py", line 4, in helper', "    raise OSError('no disk today')"]),
    ("assets", "nothing", None, "AttributeError: module 'assets' has no attribute 'nothing'", []),
])
def test_a_failed_asset_exits_1_with_its_record_and_its_traceback_on_stderr(folder, module, function, inputs, error, traceback):
    done = run("sorva.worker", module, function, "out", *(["--inputs", inputs] if inputs else []), cwd=folder)
    path = folder / "out/result.json"  # the record's text is checked in test_materialize
    assert (done.returncode, done.stdout, json.loads(path.read_text("utf-8"))["error"], (folder / "out/value.json").exists()) == (
        1, "", error, False)
    shown = [line.format(folder=folder) for line in traceback] + ([error] if traceback else [])
    assert [line for line in done.stderr.splitlines() if line.strip(" ^~")] == shown + [
        f"python -m sorva.worker: asset '{function}' of module '{module}' failed ({error}); its record is {path}"]


# Inputs are checked before the user's module is imported ("imported" is the module's mark). Once the
# command line names OUTPUT_DIR, a refused run removes the record and value of an earlier run there,
# so that they cannot pass for this run's.
@pytest.mark.parametrize("args, stdin, message, kept", [
    (["scale"], "", "the following arguments are required: OUTPUT_DIR", True),
    (["scale", "out", "--inputs", "{}", "--inputs-file", "-"], "", "argument --inputs-file: not allowed with argument --inputs", True),
    (["scale", "out", "--inputs-file", "nowhere.json"], "", "cannot read inputs file 'nowhere.json': No such file or directory", False),
    (["scale", "out", "--inputs-file", "."], "", "cannot read inputs file '.': Is a directory", False),
    (["scale", "out", "--inputs-file", "latin1.json"], "", "inputs file 'latin1.json' is not UTF-8 text: invalid continuation byte", False),
    (["scale", "out", "--inputs-file", "-"], None, "cannot read inputs file '-': standard input is closed", False),
    (["scale", "out", "--inputs", "[1, 2]"], "", "the inputs must be a JSON object of keyword arguments, not an array", False),
    (["scale", "out", "--inputs", "{numbers: [1]}"], "",
     "the inputs are not valid JSON: Expecting property name enclosed in double quotes: line 1 column 2 (char 1)", False),
    (["scale", "out", "--inputs", "[" * 100_000], "", "the inputs are nested too deeply to read", False),
    (["scale", "taken"], "", "FileExistsError: [Errno 17] File exists: '{folder}/taken'", True),
    (["scale", "out", "--upstream", "numbers"], "", "argument --upstream: needs --root", False),
    (["scale", "out", "--root", "out", "--upstream-json", "numbers"], "", "argument --upstream-json: expected a JSON array of texts", False),
    (["scale", "out", "--root", "out", "--upstream", "numbers"], "", "the inputs have no member 'numbers' to load an upstream value into", False),
    (["scale", "out", "--root", "out", "--upstream", "numbers", "--inputs-file", "-"], '{"numbers": {"folder": "../x"}}',
     "upstream member 'numbers': folder '../x' is not a relative path inside the run's output folder", False),
])
def test_a_wrong_invocation_is_one_line_and_status_2_with_no_record(folder, args, stdin, message, kept):
    (folder / "out").mkdir()
    (folder / "out/result.json").write_text('{"ok":true}', encoding="utf-8")
    (folder / "out/value.json").write_text("1", encoding="utf-8")
    # A worker started with `<&-` has no standard input at all.
    done = run("sorva.worker", "assets", *args, cwd=folder, stdin=stdin, preexec_fn=(lambda: os.close(0)) if stdin is None else None)
    assert (done.returncode, done.stdout, done.stderr) == (2, "", E + message.format(folder=folder) + "\n")
    left = sorted(path.name for path in (folder / "out").iterdir())
    assert (left, (folder / "imported").exists()) == (["result.json", "value.json"] if kept else [], False)


# Files may grow to 64 kB: the failure record of a 100 kB message cannot be written whole, as on a full disk.
def test_a_record_that_cannot_be_written_whole_is_removed(folder):
    def limit_file_size():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (65536, 65536))

    done = run("sorva.worker", "assets", "shout", "out", "--inputs", '{"size": 100000}', cwd=folder, preexec_fn=limit_file_size)
    assert (done.returncode, done.stderr.splitlines()[-1], list((folder / "out").iterdir())) == (
        2, E + "OSError: [Errno 27] File too large", [])
