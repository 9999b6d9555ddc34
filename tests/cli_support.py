"""Helpers for the command-line tests: run `python -m ...` as a user would, write user modules."""

import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]


def command(*args: str) -> list[str]:
    """`python -m ARGS`; a run uses the executor under test (the `each_executor` fixture), if one is set."""
    executor = os.environ.get("SORVA_TEST_EXECUTOR")
    if args[:1] == ("sorva.run",) and executor:
        args = ("sorva.run", "--executor", executor, *args[1:])
    return [sys.executable, "-m", *args]


def run(*args: str, cwd: Path, stdin: str | None = None, env: dict[str, str] | None = None) -> subprocess.CompletedProcess[str]:
    """`python -m ARGS` in `cwd`, with this process's environment plus `env`."""
    return subprocess.run(
        command(*args), cwd=cwd, input=stdin, stdin=None if stdin is not None else subprocess.DEVNULL,
        capture_output=True, encoding="utf-8", env={**os.environ, **(env or {})}, timeout=120, check=False,
    )


def write_module(folder: Path, name: str, source: str) -> None:
    (folder / f"{name}.py").write_text(textwrap.dedent(source).lstrip("\n"), encoding="utf-8")


def untimed(text: str) -> str:
    """Progress output with the durations, which vary from run to run, blanked."""
    return re.sub(r"\d+\.\d\ds", "X.XXs", text)


# A quick job, a slow one that starts a child process and records both pids, and a job after it.
SLOW_PIPELINE = '''
import os, pathlib, subprocess, time
from sorva import asset
@asset()
def quick(): return 1
@asset()
def slow():
    child = subprocess.Popen(["sleep", "120"])
    pathlib.Path("pids").write_text(f"{os.getpid()} {child.pid}")
    time.sleep(120)
@asset(inputs={"s": slow})
def after(s): return s
'''
