"""`python -m sorva.worker`: one asset materialised into a folder, with the exit status of its outcome."""

import json

import pytest

from cli_support import run, write_module

ASSETS = '''
from sorva import asset


@asset()
def scale(numbers: list[int], factor: int = 2) -> list[int]:
    return [n * factor for n in numbers]


@asset()
def greeting():
    return "héllo"


@asset()
def broken(reason: str) -> None:
    raise ValueError(f"cannot go on: {reason}")
'''

SCALED = (
    '{"artifact_format":"json","function_name":"scale","module_path":"assets","ok":true,"result_type":"list",'
    '"signature":"(numbers: list[int], factor: int = 2) -> list[int]","value_path":"out/value.json"}'
)


@pytest.fixture
def folder(tmp_path):
    write_module(tmp_path, "assets", ASSETS)
    (tmp_path / "inputs.json").write_text('{"numbers": [1, 2, 3], "factor": 10}', encoding="utf-8")
    return tmp_path


@pytest.mark.parametrize(
    "options, stdin",
    [
        (["--inputs", '{"numbers": [1, 2, 3], "factor": 10}'], None),
        (["--inputs-file", "inputs.json"], None),
        (["--inputs-file", "-"], '{"numbers": [1, 2, 3], "factor": 10}'),
    ],
    ids=["inline", "file", "stdin"],
)
def test_inputs_become_keyword_arguments(folder, options, stdin):
    done = run("sorva.worker", "assets", "scale", "out", *options, cwd=folder, stdin=stdin)
    assert (done.returncode, done.stdout, done.stderr) == (0, "", "")
    assert (folder / "out/value.json").read_text(encoding="utf-8") == "[10, 20, 30]"
    assert (folder / "out/result.json").read_text(encoding="utf-8") == SCALED


def test_without_inputs_the_asset_is_called_without_arguments(folder):
    done = run("sorva.worker", "assets", "greeting", "deep/er/out", cwd=folder)
    assert (done.returncode, done.stdout, done.stderr) == (0, "", "")
    assert (folder / "deep/er/out/value.json").read_bytes() == b'"h\\u00e9llo"'
    assert json.loads((folder / "deep/er/out/result.json").read_text(encoding="utf-8"))["signature"] == "()"


@pytest.mark.parametrize(
    "args, record",
    [
        (
            ["broken", "out", "--inputs", '{"reason": "no \\"disk\\""}'],
            '{"error":"ValueError: cannot go on: no \\"disk\\"","error_type":"ValueError","ok":false}',
        ),
        (
            ["scale", "out"],
            '{"error":"TypeError: scale() missing 1 required positional argument: \'numbers\'",'
            '"error_type":"TypeError","ok":false}',
        ),
        (
            ["scale", "out", "--inputs", "[1, 2]"],
            "{\"error\":\"TypeError: 'list' object cannot be converted to 'PyDict'\",\"error_type\":\"TypeError\",\"ok\":false}",
        ),
        (
            ["scale", "out", "--inputs", "{numbers: [1]}"],
            '{"error":"JSONDecodeError: Expecting property name enclosed in double quotes: line 1 column 2 (char 1)",'
            '"error_type":"JSONDecodeError","ok":false}',
        ),
        (
            ["no_such_asset", "out"],
            "{\"error\":\"AttributeError: module 'assets' has no attribute 'no_such_asset'\","
            '"error_type":"AttributeError","ok":false}',
        ),
    ],
    ids=["raises", "missing-argument", "inputs-not-an-object", "inputs-not-json", "unknown-asset"],
)
def test_a_failed_asset_exits_1_with_its_record_and_no_traceback(folder, args, record):
    done = run("sorva.worker", "assets", *args, cwd=folder)
    assert (done.returncode, done.stdout, done.stderr) == (1, "", "")
    assert (folder / "out/result.json").read_text(encoding="utf-8") == record
    assert not (folder / "out/value.json").exists()


def test_the_current_folder_is_importable_in_safe_path_mode(folder):
    done = run("sorva.worker", "assets", "greeting", "out", cwd=folder, env={"PYTHONSAFEPATH": "1"})
    assert (done.returncode, done.stderr) == (0, "")


@pytest.mark.parametrize(
    "args, message",
    [
        ([], "the following arguments are required: MODULE, FUNCTION, OUTPUT_DIR"),
        (["assets", "scale"], "the following arguments are required: OUTPUT_DIR"),
        (["assets", "scale", "out", "extra"], "unrecognized arguments: extra"),
        (
            ["assets", "scale", "out", "--inputs", "{}", "--inputs-file", "inputs.json"],
            "argument --inputs-file: not allowed with argument --inputs",
        ),
        (["assets", "scale", "out", "--inputs-file", "nowhere.json"], "cannot read inputs file 'nowhere.json': No such file or directory"),
        (["assets", "scale", "out", "--inputs-file", "."], "cannot read inputs file '.': Is a directory"),
        (["assets", "scale", "out", "--inputs-file", "latin1.json"], "inputs file 'latin1.json' is not UTF-8 text: invalid continuation byte"),
    ],
)
def test_a_wrong_invocation_is_one_line_and_status_2(folder, args, message):
    (folder / "latin1.json").write_bytes(b'{"numbers": ["\xe9"]}')
    done = run("sorva.worker", *args, cwd=folder)
    assert (done.returncode, done.stdout, done.stderr) == (2, "", f"python -m sorva.worker: error: {message}\n")
    assert not (folder / "out").exists()


def test_an_output_folder_that_cannot_be_made_is_reported_without_a_record(folder):
    (folder / "taken").write_text("a file, not a folder", encoding="utf-8")
    done = run("sorva.worker", "assets", "greeting", "taken", cwd=folder)
    assert (done.returncode, done.stdout) == (2, "")
    assert done.stderr == "python -m sorva.worker: error: FileExistsError: [Errno 17] File exists: 'taken'\n"


def test_help_names_the_arguments(folder):
    done = run("sorva.worker", "--help", env={"COLUMNS": "80"}, cwd=folder)
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout.startswith(
        "usage: python -m sorva.worker [-h] [--inputs JSON | --inputs-file PATH]\n"
        "                              MODULE FUNCTION OUTPUT_DIR\n"
    )
