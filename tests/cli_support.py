"""Helpers for the command-line tests: run `python -m ...` as a user would, write user modules, watch processes."""

import contextlib
import os
import re
import sqlite3
import subprocess
import sys
import textwrap
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
WAIT = 60  # seconds any one start, job or stop may take on a loaded machine


def command(*args: str) -> list[str]:
    """`python -m ARGS` or `python -c ...`; a run uses the executor under test (`each_executor`), if one is set."""
    executor = os.environ.get("SORVA_TEST_EXECUTOR")
    if args[:1] == ("sorva.run",) and executor:
        args = ("sorva.run", "--executor", executor, *args[1:])
    return [sys.executable, *args] if args[0].startswith("-") else [sys.executable, "-m", *args]


def run(*args: str, cwd: Path, stdin: str | None = None, env: dict | None = None, **options) -> subprocess.CompletedProcess:
    """`python -m ARGS` in `cwd`, with this process's environment plus `env`; `options` go to `subprocess.run`."""
    return subprocess.run(command(*args), cwd=cwd, input=stdin, stdin=None if stdin is not None else subprocess.DEVNULL,
                          capture_output=True, encoding="utf-8", env={**os.environ, **(env or {})}, timeout=120, check=False,
                          **options)


class Started(subprocess.Popen):
    """A process that leaving its `with` kills, if it still runs, rather than waiting for it."""

    def __exit__(self, *raised):
        self.kill()
        return super().__exit__(*raised)


def start(*args: str, cwd: Path) -> Started:
    """`python -m ARGS` in a session of its own, as a terminal's foreground job; output captured."""
    return Started(command(*args), cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, encoding="utf-8",
                   start_new_session=True)


def write_module(folder: Path, name: str, source: str) -> None:
    (folder / f"{name}.py").write_text(textwrap.dedent(source).lstrip("\n"), encoding="utf-8")


def write_modules(folder: Path, **sources: str) -> Path:
    for name, source in sources.items():
        write_module(folder, name, source)
    return folder


def history_db(folder: Path, **options) -> contextlib.closing:
    """The run history in `folder`'s sorva-out, closed when its `with` ends."""
    return contextlib.closing(sqlite3.connect(folder / "sorva-out/sorva.db", **options))


def untimed(text: str) -> str:
    """Progress output with the durations, which vary from run to run, blanked."""
    return re.sub(r"\d+\.\d\ds", "X.XXs", text)


def alive(pid: int) -> bool:
    """Whether the process exists and has not ended (a zombie has ended)."""
    try:
        state = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0]
    except (FileNotFoundError, ProcessLookupError):
        return False
    return state not in ("Z", "X")


def wait_until(condition, what: str) -> None:
    deadline = time.monotonic() + WAIT
    while not condition():
        assert time.monotonic() < deadline, what
        time.sleep(0.05)


def wait_for(path: Path) -> str:
    """The text of a file a job writes once it runs."""
    wait_until(lambda: path.exists() and path.read_text(), f"{path} never appeared")
    return path.read_text()


# A quick job, a slow one, and a job after it. While the file "hold" exists, the slow one starts a child process,
# records both pids in "pids", and waits.
SLOW_PIPELINE = '''
import os, pathlib, subprocess, time
from sorva import asset
@asset()
def quick(): return 1
@asset(inputs={"q": quick})
def slow(q):
    if pathlib.Path("hold").exists():
        child = subprocess.Popen(["sleep", "120"])
        pathlib.Path("pids").write_text(f"{os.getpid()} {child.pid}")
        while pathlib.Path("hold").exists(): time.sleep(0.05)
    return q + 1
@asset(inputs={"s": slow})
def later(s): return s
'''
# What a run stopped during `slow` reports, by the signal's name.
STOPPED = (
    "[1/3] ok quick X.XXs 1\n"
    "[2/3] interrupted slow X.XXs stopped by {name}\n"
    "3 jobs in X.XXs: 1 succeeded, 0 fresh, 0 failed, 0 skipped, 1 interrupted, 1 not started; outputs in sorva-out; "
    "report in sorva-out/report.html\n"
    "stopped by {name}\n"
)


def left(folder: Path) -> dict[str, bytes]:
    """The files in `folder` (none if there is no folder), their bytes by name."""
    return {path.name: path.read_bytes() for path in sorted(folder.iterdir())} if folder.exists() else {}


def job_files(out: Path) -> dict[str, bytes]:
    """Every file the jobs of a run left but their logs, by path under `out`, with `out` itself written OUT."""
    return {str(path.relative_to(out)): path.read_bytes().replace(str(out).encode(), b"OUT")
            for path in sorted(out.rglob("*")) if path.is_file() and path.parent != out and path.name != "worker.log"}


def outcomes(done: subprocess.CompletedProcess) -> dict[str, str]:
    """The outcome of each job by name, from the progress lines."""
    found = re.findall(r"^\[\d+/\d+\] (\S+) +(\S+(?: n=\d)?)", done.stdout, re.MULTILINE)
    return {name: state for state, name in found}


def squeezed(text: str) -> str:
    """Progress output with the durations blanked and the column padding, which depends on them, dropped."""
    return re.sub(r"(?<=\S) {2,}", " ", untimed(text))
