"""`python -m sorva.inspect`: the inspection output on standard output, skip lines and errors on standard error."""

import sys

import pytest

from cli_support import run, write_module


# PYTHONSAFEPATH leaves the current folder off the path; the user's module is found there all the same.
# What modules print while imported goes to standard error; the output is UTF-8 whatever the locale.
def test_prints_the_assets_and_skips_modules_that_fail_to_import(tmp_path):
    write_module(tmp_path, "menu", 'print("hi")\nfrom sorva import asset\n@asset()\ndef dish() -> str: return "café"\n')
    write_module(tmp_path, "broken", "raise RuntimeError('no database today')\n")
    path, version = (tmp_path / "menu.py").resolve(), "{}.{}.{}".format(*sys.version_info[:3])
    env = {"PYTHONSAFEPATH": "1", "PYTHONIOENCODING": "ascii"}
    done = run("sorva.inspect", "nowhere", "broken", "menu", cwd=tmp_path, env=env)
    assert (done.returncode, done.stdout) == (0, (
        '{"assets":[{"decorator_metadata":{"inputs":null,"kind":"asset","name":null,"partitions":null,"serializer":null},'
        f'"file_path":"{path}","function_name":"dish","function_source":"@asset()\\ndef dish() -> str: return \\"café\\"\\n",'
        '"kind":"asset","module_path":"menu","module_source":"print(\\"hi\\")\\nfrom sorva import asset\\n@asset()\\n'
        f'def dish() -> str: return \\"café\\"\\n","python_version":"{version}","return_type":"str"}}]}}\n'
    ))
    assert done.stderr == (
        "sorva: skipping module 'nowhere': ModuleNotFoundError: No module named 'nowhere'\n"
        "sorva: skipping module 'broken': RuntimeError: no database today\nhi\n"
    )


@pytest.mark.parametrize("args, status, stdout, error", [
    (["plain"], 0, '{"assets":[]}\n', None),
    ([], 2, "", "the following arguments are required: MODULE"),
    (["plain", "--deep"], 2, "", "unrecognized arguments: --deep"),
    # `sys` imports, but a built-in module has no source to read.
    (["sys"], 1, "", "TypeError: <module 'sys' (built-in)> is a built-in module"),
])
def test_outcomes_without_assets(tmp_path, args, status, stdout, error):
    write_module(tmp_path, "plain", "VALUE = 1\n")
    done = run("sorva.inspect", *args, cwd=tmp_path)
    stderr = f"python -m sorva.inspect: error: {error}\n" if error else ""
    assert (done.returncode, done.stdout, done.stderr) == (status, stdout, stderr)
