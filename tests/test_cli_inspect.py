"""`python -m sorva.inspect`: the inspection output on standard output, skip lines and errors on standard error."""

import sys

import pytest

from cli_support import run, write_module

PIPELINE = '''
from sorva import asset


@asset()
def raw() -> list[int]:
    return [1, 2, 3]
'''


def expected_output(file_path):
    version = "{}.{}.{}".format(*sys.version_info[:3])
    return (
        '{"assets":[{"decorator_metadata":{"inputs":null,"kind":"asset","name":null,"partitions":null,'
        f'"serializer":null}},"file_path":"{file_path}","function_name":"raw",'
        '"function_source":"@asset()\\ndef raw() -> list[int]:\\n    return [1, 2, 3]\\n","kind":"asset",'
        '"module_path":"pipeline","module_source":"from sorva import asset\\n\\n\\n@asset()\\n'
        'def raw() -> list[int]:\\n    return [1, 2, 3]\\n",'
        f'"python_version":"{version}","return_type":"list[int]"}}]}}\n'
    )


# PYTHONSAFEPATH keeps `python -m` from putting the current folder on the
# path; the command must find the user's module there all the same.
@pytest.mark.parametrize("env", [{}, {"PYTHONSAFEPATH": "1"}], ids=["plain", "safe-path"])
def test_prints_the_inspection_output_and_one_line_feed(tmp_path, env):
    path = write_module(tmp_path, "pipeline", PIPELINE)
    done = run("sorva.inspect", "pipeline", cwd=tmp_path, env=env)
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout == expected_output(path.resolve())


def test_modules_that_fail_to_import_are_skipped_with_a_line_each(tmp_path):
    path = write_module(tmp_path, "pipeline", PIPELINE)
    write_module(tmp_path, "broken", "raise RuntimeError('no database today')\n")
    done = run("sorva.inspect", "no_such_mod", "broken", "pipeline", cwd=tmp_path)
    assert done.returncode == 0
    assert done.stdout == expected_output(path.resolve())
    assert done.stderr == (
        "sorva: skipping module 'no_such_mod': ModuleNotFoundError: No module named 'no_such_mod'\n"
        "sorva: skipping module 'broken': RuntimeError: no database today\n"
    )


def test_no_assets_gives_an_empty_list(tmp_path):
    write_module(tmp_path, "plain", "VALUE = 1\n")
    done = run("sorva.inspect", "plain", cwd=tmp_path)
    assert (done.returncode, done.stdout, done.stderr) == (0, '{"assets":[]}\n', "")


def test_what_modules_print_while_imported_goes_to_standard_error(tmp_path):
    path = write_module(tmp_path, "pipeline", "print('loading the pipeline')\n" + PIPELINE)
    done = run("sorva.inspect", "pipeline", cwd=tmp_path)
    assert done.returncode == 0
    assert done.stderr == "loading the pipeline\n"
    assert done.stdout.startswith('{"assets":[{"decorator_metadata":')
    assert f'"file_path":"{path.resolve()}"' in done.stdout


def test_non_ascii_source_is_written_as_utf8_whatever_the_locale(tmp_path):
    write_module(tmp_path, "menu", 'from sorva import asset\n\n\n@asset()\ndef dish():\n    return "café"\n')
    done = run("sorva.inspect", "menu", cwd=tmp_path, env={"PYTHONIOENCODING": "ascii", "LC_ALL": "C"})
    assert (done.returncode, done.stderr) == (0, "")
    assert '"function_source":"@asset()\\ndef dish():\\n    return \\"café\\"\\n"' in done.stdout


@pytest.mark.parametrize(
    "args, message",
    [
        ([], "the following arguments are required: MODULE"),
        (["pipeline", "--deep"], "unrecognized arguments: --deep"),
    ],
)
def test_a_wrong_invocation_is_one_line_and_status_2(tmp_path, args, message):
    done = run("sorva.inspect", *args, cwd=tmp_path)
    assert (done.returncode, done.stdout, done.stderr) == (2, "", f"python -m sorva.inspect: error: {message}\n")


def test_help_names_the_arguments(tmp_path):
    done = run("sorva.inspect", "--help", env={"COLUMNS": "80"}, cwd=tmp_path)
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout.startswith("usage: python -m sorva.inspect [-h] MODULE [MODULE ...]\n")


def test_a_module_that_cannot_be_inspected_fails_with_status_1_and_no_traceback(tmp_path):
    # `sys` imports, but a built-in module has no source to read.
    done = run("sorva.inspect", "sys", cwd=tmp_path)
    assert (done.returncode, done.stdout) == (1, "")
    assert done.stderr == "python -m sorva.inspect: error: TypeError: <module 'sys' (built-in)> is a built-in module\n"
