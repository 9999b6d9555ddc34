"""The fork and pool executors: the same files and statuses as `python -m sorva.worker`, nothing left behind."""

import json
import os
import re
import shutil
import signal
import subprocess
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

from cli_support import REPO, run, write_module
from sorva._executor import Ended, ExecutorError, Task
from sorva._fork import ForkExecutor, ForkUnsafeError
from sorva._pool import PoolExecutor

ASSETS = '''
import os, signal, sys, time
from sorva import asset, partitions
print("loading assets")
print("warming up", file=sys.stderr)
SEEN = []
@asset(partitions={"n": partitions([1, 2])})
def counted(n):
    SEEN.append(n)
    print("seen", SEEN)
    return SEEN
@asset()
def chatty():
    print("to stdout"); print("to stderr", file=sys.stderr); return "\\u00e9t\\u00e9"
@asset()
def broken(): raise KeyError("gone")
@asset()
def leaving(): raise SystemExit(3)
@asset()
def unencodable(): return {1, 2}
@asset()
def takes(numbers: list[int], factor: int = 2) -> list[int]: return [n * factor for n in numbers]
@asset()
def crash(): os.kill(os.getpid(), signal.SIGKILL)
@asset()
def exits(): os._exit(3)
@asset()
def leaves(pid_file):
    import subprocess
    with open(pid_file, "w") as file: file.write(str(subprocess.Popen(["sleep", "60"]).pid))
@asset()
def kills_server(): os.kill(os.getppid(), signal.SIGKILL); time.sleep(60)
@asset()
def stubborn(pid_file):
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
    sleeper(pid_file)
@asset()
def sleeper(pid_file):
    import subprocess
    helper = subprocess.Popen(["sleep", "60"])
    with open(pid_file, "w") as file: file.write(f"{os.getpid()} {helper.pid}")
    time.sleep(60)
'''
FAILS_TO_IMPORT = "import sys\nprint('half way', file=sys.stderr)\nraise RuntimeError('not today')\n"
LATE = "from sorva import asset\nprint('late import')\n@asset()\ndef late(): return 1\n"
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
HELD = f"""
import sys
from sorva import asset
@asset()
def held():
    return sorted(name for name in {UNNEEDED!r} if name in sys.modules)
"""
STARTS_THREAD = "import threading\nthreading.Thread(target=threading.Event().wait, daemon=True).start()\n"
STARTED = ["assets", "fails_to_import"]  # "late" is imported by its job only


def write_pipeline(folder):
    for name, source in [("assets", ASSETS), ("fails_to_import", FAILS_TO_IMPORT), ("late", LATE),
                         ("starts_thread", STARTS_THREAD), ("at_fork", AT_FORK), ("held", HELD)]:
        write_module(folder, name, source)


@pytest.fixture
def pipeline(tmp_path, monkeypatch):
    """The user's folder, made current as the runner's would be."""
    write_pipeline(tmp_path)
    monkeypatch.chdir(tmp_path)
    return tmp_path


@pytest.fixture
def executor(request, pipeline):
    executor = getattr(request, "param", ForkExecutor)()
    executor.start(STARTED, 2)
    yield executor
    executor.close()


@pytest.fixture(scope="module", params=[(ForkExecutor, ""), (ForkExecutor, "1"), (PoolExecutor, ""), (PoolExecutor, "1")],
                ids=["fork-buffered", "fork-unbuffered", "pool-buffered", "pool-unbuffered"])
def beside_worker(request, tmp_path_factory):
    """An executor and the environment its processes have, to run the worker command in the same."""
    kind, unbuffered = request.param
    folder = tmp_path_factory.mktemp("pipeline")
    write_pipeline(folder)
    env = {**os.environ, "PYTHONUNBUFFERED": unbuffered}
    with pytest.MonkeyPatch.context() as patch:
        patch.chdir(folder)
        patch.setenv("PYTHONUNBUFFERED", unbuffered)
        executor = kind()
        executor.start(STARTED, 1)  # one pool worker runs every job of the table
    yield executor, folder, env
    executor.close()


def task(folder, module, function, inputs=None, timeout=None):
    folder.mkdir(parents=True, exist_ok=True)
    return Task(module, function, folder.resolve(), inputs, timeout)


def by_worker(job, cwd, env):
    """What `python -m sorva.worker` leaves for the task, as the process executor runs it."""
    command = [sys.executable, "-m", "sorva.worker", job.module, job.function, str(job.folder)]
    with open(job.folder / "worker.log", "wb") as log:
        done = subprocess.run(command + (["--inputs-file", "-"] if job.inputs is not None else []),
                              input=job.inputs, stdin=None if job.inputs is not None else subprocess.DEVNULL,
                              stdout=log, stderr=subprocess.STDOUT, cwd=cwd, env=env, timeout=60, check=False)
    return Ended(done.returncode)


def left(folder):
    return {path.name: path.read_bytes() for path in sorted(folder.iterdir())}


def alive(pid):
    """A pid still running; a zombie no parent has reaped yet counts as ended."""
    try:
        with open(f"/proc/{pid}/stat", encoding="utf-8") as file:
            return file.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


def wait_until(condition, limit=30.0):
    ends = time.monotonic() + limit
    while not condition() and time.monotonic() < ends:
        time.sleep(0.02)
    return condition()


@pytest.mark.parametrize("module, function, inputs, status", [
    ("assets", "chatty", None, 0),
    ("assets", "takes", b'{"numbers": [1, 2], "factor": 10}', 0),
    ("assets", "counted", b'{"n": 2}', 0),
    ("assets", "takes", None, 1),  # a missing argument is the asset's own failure
    ("assets", "takes", b"[1]", 2),  # refused before anything is imported
    ("assets", "takes", b"", 2),
    ("assets", "broken", None, 1),
    ("assets", "leaving", None, 1),
    ("assets", "unencodable", None, 1),
    ("assets", "nowhere", None, 1),
    ("assets", "takes", b'{"numbers": ["\xe9"]}', 2),
    ("fails_to_import", "anything", None, 1),
    ("late", "late", None, 0),
    ("late", "late", None, 0),  # imported by an earlier job, printed again as the worker's import would
    ("no_such_module", "late", None, 1),
])
def test_a_job_leaves_what_the_worker_leaves(beside_worker, module, function, inputs, status):
    executor, folder, env = beside_worker
    job = task(folder / "job", module, function, inputs)
    try:
        forked = executor.run(job), left(job.folder)
    finally:
        shutil.rmtree(job.folder)
    ran = by_worker(task(job.folder, module, function, inputs), folder, env), left(job.folder)
    shutil.rmtree(job.folder)
    assert (forked, ran[0].status) == (ran, status)


def test_no_job_sees_what_another_changed(executor, pipeline):
    first, second = (executor.run(task(pipeline / f"out{n}", "assets", "counted", b'{"n": %d}' % n)) for n in (1, 2))
    assert (first, second) == (Ended(0), Ended(0))
    assert [(pipeline / f"out{n}/value.json").read_text() for n in (1, 2)] == ["[1]", "[2]"]


def test_every_job_runs_the_at_fork_handlers_of_the_imported_modules(pipeline):
    executor = ForkExecutor()
    executor.start(["at_fork"], 2)
    try:
        # The first job of an asset is the one that learns which pages its jobs write.
        ended = [executor.run(task(pipeline / f"out{n}", "at_fork", "forked", b'{"n": %d}' % n)) for n in range(4)]
    finally:
        executor.close()
    values = [json.loads((pipeline / f"out{n}/value.json").read_text()) for n in range(4)]
    assert ended == [Ended(0)] * 4
    assert [value[2:] for value in values] == [[True, True]] * 4
    assert len({value[0] for value in values}) == len({value[1] for value in values}) == 4


def test_the_server_holds_only_what_jobs_need(pipeline):
    executor = ForkExecutor()
    executor.start(["held"], 2)
    try:
        ended = executor.run(task(pipeline / "out", "held", "held"))
    finally:
        executor.close()
    # The server needs ctypes, which on some interpreters brings threading along.
    brought = subprocess.run([sys.executable, "-c", f"import ctypes, json, sys; print(json.dumps([name for name in "
                              f"{UNNEEDED!r} if name in sys.modules]))"],
                             capture_output=True, text=True, timeout=60, check=True)
    assert (ended, (pipeline / "out/value.json").read_text()) == (Ended(0), brought.stdout.strip())


EACH = pytest.mark.parametrize("executor", [ForkExecutor, PoolExecutor], indirect=True, ids=["fork", "pool"])


@EACH
def test_a_killed_job_fails_alone_and_the_server_goes_on(executor, pipeline):
    with ThreadPoolExecutor(2) as pool:
        crashed = pool.submit(executor.run, task(pipeline / "crash", "assets", "crash"))
        fine = pool.submit(executor.run, task(pipeline / "fine", "assets", "chatty"))
        assert (crashed.result(60), fine.result(60)) == (Ended(-signal.SIGKILL), Ended(0))
    assert executor.run(task(pipeline / "after", "assets", "chatty")) == Ended(0)
    assert not (pipeline / "crash/result.json").exists()


# Asked to end with SIGTERM, as by the process executor; killed when it will not.
@pytest.mark.parametrize("function, status", [("sleeper", -signal.SIGTERM), ("stubborn", -signal.SIGKILL)])
@EACH
def test_a_timeout_ends_the_job_and_everything_it_started(executor, pipeline, function, status):
    pid_file = pipeline / "pids"
    inputs = json.dumps({"pid_file": str(pid_file)}).encode()
    ended = executor.run(task(pipeline / "slow", "assets", function, inputs, timeout=1.5))
    assert ended == Ended(status, "timed out after 1.5 s")
    assert [pid for pid in map(int, pid_file.read_text().split()) if wait_until(lambda p=pid: not alive(p)) is False] == []


def test_jobs_of_a_dead_server_fail_with_the_reason_and_a_new_server_takes_over(executor, pipeline):
    pid_file = pipeline / "pids"
    with ThreadPoolExecutor(2) as pool:
        sleeping = pool.submit(executor.run, task(pipeline / "slow", "assets", "sleeper",
                                                  json.dumps({"pid_file": str(pid_file)}).encode()))
        assert wait_until(pid_file.exists)
        killer = executor.run(task(pipeline / "killer", "assets", "kills_server"))
        reason = "the fork server was killed by SIGKILL"
        assert (killer, sleeping.result(60)) == (Ended(-signal.SIGKILL, reason), Ended(-signal.SIGKILL, reason))
    assert executor.run(task(pipeline / "after", "assets", "chatty")) == Ended(0)
    pids = [int(pid) for pid in pid_file.read_text().split()]
    assert [pid for pid in pids if wait_until(lambda p=pid: not alive(p)) is False] == []


def test_a_child_forked_ahead_that_died_is_replaced_and_none_outlives_the_server(executor, pipeline):
    server = executor._server.process.pid

    def waiting():
        with open(f"/proc/{server}/task/{server}/children", encoding="ascii") as children:
            return [int(pid) for pid in children.read().split()]

    assert wait_until(lambda: len(waiting()) == 1)
    killed = waiting()[0]
    os.kill(killed, signal.SIGKILL)
    # Once the server has seen it end, it has another ready; a child killed as it is handed
    # its job fails that job, as any job's process killed at its start does.
    assert wait_until(lambda: waiting() not in ([], [killed]))
    assert executor.run(task(pipeline / "after", "assets", "chatty")) == Ended(0)
    assert wait_until(lambda: len(waiting()) == 1)
    spare = waiting()[0]
    executor.close()
    assert wait_until(lambda: not alive(spare))


def test_a_job_for_a_server_that_died_idle_runs_on_the_next(executor, pipeline):
    server = executor._server.process
    server.kill()
    server.wait()
    assert executor.run(task(pipeline / "queued", "assets", "chatty")) == Ended(0)
    assert (pipeline / "queued/value.json").read_text() == '"\\u00e9t\\u00e9"'


@EACH
def test_interrupt_stops_every_job_and_what_it_started(executor, pipeline):
    pid_files = [pipeline / f"pids{n}" for n in range(2)]
    with ThreadPoolExecutor(2) as pool:
        running = [pool.submit(executor.run, task(pipeline / f"slow{n}", "assets", "sleeper",
                                                  json.dumps({"pid_file": str(pid_files[n])}).encode())) for n in range(2)]
        assert wait_until(lambda: all(path.exists() for path in pid_files))
        executor.interrupt()
        assert [future.result(60) for future in running] == [Ended(-signal.SIGTERM)] * 2
    assert executor.run(task(pipeline / "after", "assets", "chatty")) == Ended(-signal.SIGTERM, "interrupted before it started")
    pids = [int(pid) for path in pid_files for pid in path.read_text().split()]
    assert [pid for pid in pids if wait_until(lambda p=pid: not alive(p)) is False] == []


@pytest.mark.parametrize("executor_class", ["sorva._fork.ForkExecutor", "sorva._executor.ProcessExecutor",
                                            "sorva._pool.PoolExecutor"])
def test_nothing_outlives_a_runner_that_was_killed(pipeline, executor_class):
    pid_file = pipeline / "pids"
    module, name = executor_class.rsplit(".", 1)
    runner = (
        f"import json, sys, pathlib\nfrom {module} import {name}\nfrom sorva._executor import Task\n"
        f"executor = {name}()\nexecutor.start(['assets'], 1)\nfolder = pathlib.Path('slow').resolve()\n"
        "folder.mkdir()\nprint('started', flush=True)\n"
        f"executor.run(Task('assets', 'sleeper', folder, json.dumps({{'pid_file': {str(pid_file)!r}}}).encode()))\n"
    )
    with subprocess.Popen([sys.executable, "-c", runner], stdout=subprocess.PIPE) as process:
        try:
            assert process.stdout.readline() == b"started\n"
            assert wait_until(pid_file.exists)
        finally:
            process.kill()
    pids = [int(pid) for pid in pid_file.read_text().split()]
    assert [pid for pid in pids if wait_until(lambda p=pid: not alive(p)) is False] == []


@pytest.mark.parametrize("folder, reason", [
    ("missing", "could not start the job: could not open worker.log: No such file or directory"),
])
@EACH
def test_a_job_that_cannot_start_says_why(executor, pipeline, folder, reason):
    job = Task("assets", "chatty", pipeline / folder, None)
    assert executor.run(job) == Ended(2, reason)


# A pool worker keeps its modules' state from job to job (`counted` remembers the partitions it saw) and
# ends what each job left running; it is replaced when it dies, overruns its time limit (ended with all
# it started) or has run its --pool-recycle jobs, and only the job it was running fails.
@pytest.mark.parametrize("recycle, function, timeout, ended, seen", [
    (None, "leaves", None, Ended(0), [1, 2]),
    (2, "leaves", None, Ended(0), [2]),
    (None, "crash", None, Ended(-signal.SIGKILL), [2]),
    (None, "exits", None, Ended(3), [2]),
    (None, "sleeper", 1.5, Ended(-signal.SIGTERM, "timed out after 1.5 s"), [2]),
    (None, "stubborn", 1.5, Ended(-signal.SIGKILL, "timed out after 1.5 s"), [2]),
])
def test_a_pool_worker_keeps_its_state_until_it_dies_times_out_or_is_recycled(pipeline, recycle, function, timeout,
                                                                               ended, seen):
    pid_file = pipeline / "pids"
    inputs = json.dumps({"pid_file": str(pid_file)}).encode() if function in ("leaves", "sleeper", "stubborn") else None
    executor = PoolExecutor(recycle)
    executor.start(["assets"], 1)
    try:
        ran = [executor.run(task(pipeline / "one", "assets", "counted", b'{"n": 1}')),
               executor.run(task(pipeline / "first", "assets", function, inputs, timeout)),
               executor.run(task(pipeline / "two", "assets", "counted", b'{"n": 2}'))]
        pids = [int(pid) for pid in pid_file.read_text().split()] if pid_file.exists() else []
        assert [pid for pid in pids if wait_until(lambda p=pid: not alive(p), 5) is False] == []
    finally:
        executor.close()
    assert (ran, json.loads((pipeline / "two/value.json").read_text())) == ([Ended(0), ended, Ended(0)], seen)


def test_a_module_that_starts_a_thread_at_import_refuses_the_fork_executor(pipeline):
    executor = ForkExecutor()
    with pytest.raises(ForkUnsafeError) as raised:
        executor.start(["assets", "starts_thread"], 2)
    executor.close()
    assert isinstance(raised.value, ExecutorError)
    assert str(raised.value) == (
        "importing the modules left 2 threads running and forking them is unsafe; this run uses the process executor"
    )


def test_a_server_that_dies_while_importing_is_an_executor_error(pipeline):
    write_module(pipeline, "dies", "import os, signal\nos.kill(os.getpid(), signal.SIGKILL)\n")
    executor = ForkExecutor()
    with pytest.raises(ExecutorError) as raised:
        executor.start(["dies"], 2)
    executor.close()
    assert str(raised.value) == "the fork server was killed by SIGKILL while importing the modules"


def test_an_interrupt_while_the_server_imports_ends_the_start(pipeline):
    write_module(pipeline, "slow_import", "import time\ntime.sleep(60)\n")
    executor = ForkExecutor()
    stopper = threading.Timer(0.5, executor.interrupt)
    stopper.start()
    with pytest.raises(ExecutorError) as raised:
        executor.start(["slow_import"], 2)
    stopper.join()
    executor.close()
    assert str(raised.value) == "interrupted while the fork server imported the modules"


FAILING = '''
import os, signal, sys
from sorva import asset, partitions
print("imported")
@asset(partitions={"city": partitions(["lisbon", "oslo"])})
def readings(city):
    print("reading", city, file=sys.stderr)
    return {"lisbon": 1}[city]
@asset(inputs={"every": readings})
def summary(every): return len(every)
@asset()
def crash(): os.kill(os.getpid(), signal.SIGKILL)
@asset()
def exits(): os._exit(3)
@asset()
def leaves(pid_file):
    import subprocess
    with open(pid_file, "w") as file: file.write(str(subprocess.Popen(["sleep", "60"]).pid))
@asset()
def unencodable(): return {1}
'''


def job_files(out):
    # The history and the report page hold times, which differ from run to run.
    return {str(path.relative_to(out)): path.read_bytes() for path in sorted(out.rglob("*"))
            if path.is_file() and path.name not in ("sorva.db", "sorva.lock", "report.html")}


@pytest.mark.parametrize("folder, modules, status", [(REPO / "examples", ["pipeline"], 0), (None, ["failing"], 1)])
def test_every_executor_leaves_the_same_files_and_reports_the_same(tmp_path, folder, modules, status):
    if folder is None:
        folder = tmp_path
        write_module(folder, "failing", FAILING)
    out = tmp_path / "out"
    seen = []
    for executor in ("process", "fork", "pool"):
        done = run("sorva.run", *modules, "--out", str(out), "--jobs", "1", "--executor", executor, cwd=folder)
        seen.append((done.returncode, done.stderr, re.sub(r"\d+\.\d\ds", "X", done.stdout), job_files(out)))
        shutil.rmtree(out)
    assert seen[0] == seen[1] == seen[2]
    assert seen[0][0] == status


def test_a_module_that_starts_a_thread_at_import_runs_with_the_process_executor(pipeline):
    write_module(pipeline, "threaded", "from sorva import asset\nimport starts_thread\n@asset()\ndef one(): return 1\n")
    done = run("sorva.run", "threaded", "--executor", "fork", cwd=pipeline)
    assert (done.returncode, done.stderr) == (0, "python -m sorva.run: importing the modules left 2 threads running "
                                                 "and forking them is unsafe; this run uses the process executor\n")
    history = json.loads(run("sorva.runs", "--json", cwd=pipeline).stdout)
    assert [entry["executor"] for entry in history] == ["process"]
