"""`python -m sorva.worker`: one asset materialised into a folder, with the exit status of its outcome."""

import pytest

from cli_support import run, write_module

INPUTS = '{"numbers": [1, 2, 3], "factor": 10}'


@pytest.fixture
def folder(tmp_path):
    write_module(tmp_path, "assets", "from sorva import asset\n@asset()\n"
                 "def scale(numbers: list[int] = [5], factor: int = 2) -> list[int]: return [n * factor for n in numbers]\n")
    (tmp_path / "inputs.json").write_text(INPUTS, encoding="utf-8")
    (tmp_path / "latin1.json").write_bytes(b'{"numbers": ["\xe9"]}')
    (tmp_path / "taken").write_text("a file, not a folder", encoding="utf-8")
    return tmp_path


# PYTHONSAFEPATH leaves the current folder off the path; the asset's module is found there all the same.
@pytest.mark.parametrize("options, stdin, value", [
    (["--inputs", INPUTS], None, "[10, 20, 30]"), (["--inputs-file", "inputs.json"], None, "[10, 20, 30]"),
    (["--inputs-file", "-"], INPUTS, "[10, 20, 30]"), ([], None, "[10]"),
])
def test_inputs_become_keyword_arguments(folder, options, stdin, value):
    done = run("sorva.worker", "assets", "scale", "out", *options, cwd=folder, stdin=stdin, env={"PYTHONSAFEPATH": "1"})
    assert (done.returncode, done.stdout, done.stderr) == (0, "", "")
    assert (folder / "out/value.json").read_text(encoding="utf-8") == value
    assert (folder / "out/result.json").read_text(encoding="utf-8") == (
        '{"artifact_format":"json","function_name":"scale","module_path":"assets","ok":true,"result_type":"list",'
        '"signature":"(numbers: list[int] = [5], factor: int = 2) -> list[int]","value_path":"out/value.json"}'
    )


@pytest.mark.parametrize("inputs, error", [
    ('{"numbers": null}', "TypeError: 'NoneType' object is not iterable"),
    ("{numbers: [1]}", "JSONDecodeError: Expecting property name enclosed in double quotes: line 1 column 2 (char 1)"),
])
def test_a_failed_asset_exits_1_with_its_record_and_no_traceback(folder, inputs, error):
    done = run("sorva.worker", "assets", "scale", "out", "--inputs", inputs, cwd=folder)
    assert (done.returncode, done.stdout, done.stderr) == (1, "", "")
    record = f'{{"error":"{error}","error_type":"{error.split(":")[0]}","ok":false}}'
    assert ((folder / "out/result.json").read_text(encoding="utf-8"), (folder / "out/value.json").exists()) == (record, False)


@pytest.mark.parametrize("args, message", [
    (["scale"], "the following arguments are required: OUTPUT_DIR"),
    (["scale", "out", "--inputs", "{}", "--inputs-file", "-"], "argument --inputs-file: not allowed with argument --inputs"),
    (["scale", "out", "--inputs-file", "nowhere.json"], "cannot read inputs file 'nowhere.json': No such file or directory"),
    (["scale", "out", "--inputs-file", "."], "cannot read inputs file '.': Is a directory"),
    (["scale", "out", "--inputs-file", "latin1.json"], "inputs file 'latin1.json' is not UTF-8 text: invalid continuation byte"),
    (["scale", "taken"], "FileExistsError: [Errno 17] File exists: 'taken'"),
])
def test_a_wrong_invocation_is_one_line_and_status_2_with_no_record(folder, args, message):
    done = run("sorva.worker", "assets", *args, cwd=folder)
    assert (done.returncode, done.stdout, done.stderr) == (2, "", f"python -m sorva.worker: error: {message}\n")
    assert not (folder / "out").exists()
