"""What only the fork executor has: a server that imports the modules once and forks a process per job."""

import json
import os
import signal
import subprocess
import sys
import threading
from concurrent.futures import ThreadPoolExecutor

import pytest

from cli_support import WAIT, alive, run, wait_until, write_module
from sorva._executors import Ended, ExecutorError, Task
from sorva._executors.fork import ForkExecutor
from test_executors import JOBS

# Each job must get the at-fork handlers of the modules it imported: fresh
# random numbers, and threading's view of the job's own process.
AT_FORK = """
import os, random, threading
from sorva import asset
@asset()
def forked(n):
    return [random.random(), os.getpid(), threading.main_thread().ident == threading.get_ident(),
            [thread.ident for thread in threading.enumerate()] == [threading.get_ident()]]
"""
# Each module the server holds makes every fork dearer; a job needs none of these.
UNNEEDED = ("argparse", "rich", "sqlite3", "typing", "threading", "traceback")
HELD = f"import sys\nfrom sorva import asset\n@asset()\ndef held(): return sorted(name for name in {UNNEEDED!r} if name in sys.modules)\n"
STARTS_THREAD = "import threading\nthreading.Thread(target=threading.Event().wait, daemon=True).start()\n"


@pytest.fixture
def started(tmp_path, monkeypatch):
    """Starts a fork executor on modules written to the current folder; closes it after the test."""
    for name, source in [("jobs", JOBS), ("at_fork", AT_FORK), ("held", HELD), ("starts_thread", STARTS_THREAD)]:
        write_module(tmp_path, name, source)
    monkeypatch.chdir(tmp_path)
    executors = []

    def start(*modules):
        executors.append(ForkExecutor())
        executors[-1].start(list(modules), 2)
        return executors[-1]

    yield start
    for executor in executors:
        executor.close()


def task(name, function, inputs=None, module="jobs"):
    os.mkdir(name)
    return Task(module, function, os.path.abspath(name), inputs if inputs is None else json.dumps(inputs).encode())


def value(name):
    with open(os.path.join(name, "value.json"), encoding="utf-8") as file:
        return json.load(file)


def test_every_job_runs_the_at_fork_handlers_of_the_imported_modules(started):
    executor = started("at_fork")
    # The first job of an asset is the one that learns which pages its jobs write.
    assert [executor.run(task(f"out{n}", "forked", {"n": n}, "at_fork")) for n in range(4)] == [Ended(0)] * 4
    values = [value(f"out{n}") for n in range(4)]
    assert [value[2:] for value in values] == [[True, True]] * 4
    assert len({value[0] for value in values}) == len({value[1] for value in values}) == 4


def test_the_server_holds_only_what_jobs_need(started):
    ended = started("held").run(task("out", "held", module="held"))
    # The server needs ctypes, which on some interpreters brings threading along.
    brought = subprocess.run([sys.executable, "-c", f"import ctypes, json, sys; print(json.dumps(sorted(name for name in "
                              f"{UNNEEDED!r} if name in sys.modules)))"], capture_output=True, text=True, timeout=WAIT, check=True)
    assert (ended, value("out")) == (Ended(0), json.loads(brought.stdout))


def test_every_job_of_a_dead_server_fails_with_the_reason_and_a_new_server_takes_over(started, tmp_path):
    executor = started("jobs")
    with ThreadPoolExecutor(2) as pool:
        sleeping = pool.submit(executor.run, task("slow", "sleeper", {"pid_file": str(tmp_path / "pids")}))
        wait_until((tmp_path / "pids").exists, "the job did not start")
        assert executor.run(task("killer", "kills_parent")) == Ended(-signal.SIGKILL, "the fork server was killed by SIGKILL")
        assert sleeping.result(WAIT) == Ended(-signal.SIGKILL, "the fork server was killed by SIGKILL")
    pids = [int(pid) for pid in (tmp_path / "pids").read_text().split()]
    wait_until(lambda: not [pid for pid in pids if alive(pid)], "a job of the dead server runs on")
    # A server that dies idle is replaced too, for the job that finds it dead.
    executor._server.process.kill()
    executor._server.process.wait()
    assert (executor.run(task("after", "chatty")), value("after")) == (Ended(0), "\u00e9t\u00e9\U0001f600")


def test_a_child_forked_ahead_that_died_is_replaced_and_none_outlives_the_server(started):
    executor = started("jobs")
    server = executor._server.process.pid

    def waiting():
        with open(f"/proc/{server}/task/{server}/children", encoding="ascii") as children:
            return [int(pid) for pid in children.read().split()]

    wait_until(lambda: len(waiting()) == 1, "no child was forked ahead")
    killed = waiting()[0]
    os.kill(killed, signal.SIGKILL)
    # Once the server has seen it end, it has another ready; a child killed as it is handed
    # its job fails that job, as any job's process killed at its start does.
    wait_until(lambda: waiting() not in ([], [killed]), "the dead child was not replaced")
    assert executor.run(task("after", "chatty")) == Ended(0)
    wait_until(lambda: len(waiting()) == 1, "no child was forked ahead")
    spare = waiting()[0]
    executor.close()
    wait_until(lambda: not alive(spare), "a child outlived the server")


def test_a_job_that_cannot_start_says_why(started, tmp_path):
    assert started("jobs").run(Task("jobs", "chatty", tmp_path / "missing", None)) == Ended(
        2, "could not start the job: could not open worker.log: No such file or directory")


@pytest.mark.parametrize("source, interrupt, message", [
    ("import os, signal\nos.kill(os.getpid(), signal.SIGKILL)\n", False,
     "the fork server was killed by SIGKILL while importing the modules"),
    ("import time\ntime.sleep(60)\n", True, "interrupted while the fork server imported the modules"),
])
def test_a_server_that_cannot_import_the_modules_is_an_executor_error(started, tmp_path, source, interrupt, message):
    write_module(tmp_path, "importing", source)
    executor = ForkExecutor()
    stopper = threading.Timer(0.5, executor.interrupt if interrupt else lambda: None)
    stopper.start()
    with pytest.raises(ExecutorError) as raised:
        executor.start(["importing"], 2)
    stopper.join()
    executor.close()
    assert str(raised.value) == message


def test_a_module_that_starts_a_thread_at_import_runs_with_the_process_executor(started, tmp_path):
    write_module(tmp_path, "threaded", "from sorva import asset\nimport starts_thread\n@asset()\ndef one(): return 1\n")
    done = run("sorva.run", "threaded", "--executor", "fork", cwd=tmp_path)
    assert (done.returncode, done.stderr) == (0, "python -m sorva.run: importing the modules left 2 threads running "
                                                 "and forking them is unsafe; this run uses the process executor\n")
    assert [entry["executor"] for entry in json.loads(run("sorva.runs", "--json", cwd=tmp_path).stdout)] == ["process"]
