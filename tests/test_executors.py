"""What every executor must do: leave what `python -m sorva.worker` leaves, keep a failure to its job, stop jobs
on a timeout or an interrupt with all they started, and report a lost worker. Dask runs on a real local cluster.
Then what only one executor has: the fork server, and the pool's workers that keep their modules' state."""

import contextlib
import json
import re
import os
import shutil
import signal
import subprocess
import sys
import threading
from concurrent.futures import ThreadPoolExecutor

import pytest

from cli_support import WAIT, Started, alive, left, run, wait_until, write_module, write_modules
from sorva._executors import Ended, ExecutorError, Settings, Task, executor_class

JOBS = '''
import os, signal, sys, time
from sorva import asset, partitions
print("loading jobs")
print("warming up", file=sys.stderr)
SEEN = []
@asset(partitions={"n": partitions([1, 2])})
def counted(n): return SEEN.append(n) or SEEN
@asset()
def chatty():
    print("to stdout"); print("to stderr \\u00e9", file=sys.stderr); return "\\u00e9t\\u00e9\\U0001f600"
@asset()
def broken(): raise ValueError('a "quoted"\\nmessage \\u00e9')
@asset()
def leaving(): raise SystemExit(3)
@asset()
def exits(): os._exit(3)
@asset()
def unencodable(): return {1, 2}
@asset()
def takes(numbers: list, factor: int = 2) -> list: return [n * factor for n in numbers]
@asset()
def big(text): return text[::-1]
@asset()
def crash(): print("going down", flush=True); os.kill(os.getpid(), signal.SIGKILL)
@asset()
def kills_parent(): os.kill(os.getppid(), signal.SIGKILL); time.sleep(60)
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
@asset()
def leaves(pid_file):
    import subprocess
    with open(pid_file, "w") as file: file.write(str(subprocess.Popen(["sleep", "300"]).pid))
@asset()
def held(names): return sorted(name for name in names if name in sys.modules)
'''
# Each job must get the at-fork handlers of the modules it imported: fresh random numbers, and threading's view
# of the job's own process; and no job may see what another changed in the modules.
AT_FORK = """
import os, random, threading
from sorva import asset
SEEN = []
@asset()
def forked(n):
    return SEEN.append(n) or [random.random(), os.getpid(), threading.main_thread().ident == threading.get_ident(),
            [thread.ident for thread in threading.enumerate()] == [threading.get_ident()], SEEN]
"""
MODULES = {"jobs": JOBS, "at_fork": AT_FORK, "late": "from sorva import asset\nprint('late import')\n@asset()\ndef late(): return 1\n",
           "fails_to_import": "import sys\nprint('half way', file=sys.stderr)\nraise RuntimeError('not today')\n"}
# Tornado, under the distributed version Debian ships, warns about its own event loop handling.
pytestmark = pytest.mark.filterwarnings("ignore:make_current is deprecated:DeprecationWarning")


def started(name, folder, modules=("jobs", "fails_to_import", "at_fork")):
    """An executor of this name started on the modules in `folder`, as the runner starts it there."""
    config = contextlib.nullcontext()
    if name == "dask":
        pytest.importorskip("distributed", reason="the Dask executor needs 'distributed' (python3-distributed)")
        import dask
        # A job that kills its worker twice is given up on; the local cluster's workers start in `folder`.
        config = dask.config.set({"distributed.scheduler.allowed-failures": 1})
    with pytest.MonkeyPatch.context() as patch, config:
        patch.chdir(folder)
        executor = executor_class(name)()
        executor.start(modules, 2)
    return executor


@pytest.fixture(scope="module", params=["process", "fork", "pool", "dask"])
def shared(request, tmp_path_factory):
    folder = write_modules(tmp_path_factory.mktemp(request.param), **MODULES)
    executor = started(request.param, folder)
    yield request.param, executor, folder
    executor.close()


@pytest.fixture
def executor(shared, monkeypatch):
    monkeypatch.chdir(shared[2])
    return shared[1]


def task(folder, function, inputs=None, module="jobs", timeout=None):
    folder.mkdir(parents=True, exist_ok=True)
    return Task(module, function, folder.resolve(), inputs if inputs is None else json.dumps(inputs).encode(), timeout)


def all_ended(*pid_files):
    pids = [int(pid) for path in pid_files for pid in path.read_text().split()]
    wait_until(lambda: not [pid for pid in pids if alive(pid)], "a job or what it started runs on")


@pytest.mark.parametrize("module, function, inputs, status", [
    ("jobs", "chatty", None, 0),
    ("jobs", "takes", {"numbers": [1, 2], "factor": 10}, 0),
    ("jobs", "counted", {"n": 2}, 0),
    ("jobs", "big", {"text": "ab\u00e9" * 1_000_000}, 0),
    ("jobs", "takes", None, 1),  # a missing argument is the asset's own failure
    ("jobs", "takes", b"[1]", 2),  # refused before anything is imported
    ("jobs", "takes", b"", 2),
    ("jobs", "takes", b'{"numbers": ["\xe9"]}', 2),
    ("jobs", "broken", None, 1),
    ("jobs", "leaving", None, 1),
    ("jobs", "exits", None, 3),
    ("jobs", "unencodable", None, 1),
    ("jobs", "nowhere", None, 1),
    ("jobs", "crash", None, -signal.SIGKILL),  # no record, but the output up to the end
    ("fails_to_import", "anything", None, 1),
    ("late", "late", None, 0),  # imported by its job only
    ("no_such_module", "late", None, 1),
])
def test_a_job_leaves_what_the_worker_leaves(executor, shared, module, function, inputs, status):
    inputs = json.dumps(inputs).encode() if isinstance(inputs, dict) else inputs
    # The record names the folder; every character the record writer escapes is in this one.
    job = Task(module, function, shared[2] / 'a "b" \\c\nd\te\x1bf \u00e9 \U0001f600', inputs)
    job.folder.mkdir()
    try:
        ran = executor.run(job), left(job.folder)
    finally:
        shutil.rmtree(job.folder)
    job.folder.mkdir()
    with open(job.folder / "worker.log", "wb") as log:
        by_worker = subprocess.run([sys.executable, "-m", "sorva.worker", module, function, str(job.folder)]
                                   + (["--inputs-file", "-"] if inputs is not None else []), input=inputs,
                                   stdin=None if inputs is not None else subprocess.DEVNULL, stdout=log,
                                   stderr=subprocess.STDOUT, timeout=WAIT, check=False)
    expected = left(job.folder)
    shutil.rmtree(job.folder)
    assert ran == (Ended(by_worker.returncode), expected)
    assert by_worker.returncode == status


def test_a_failure_stays_with_its_job(shared, executor, tmp_path):
    with ThreadPoolExecutor(2) as pool:
        crashed = pool.submit(executor.run, task(tmp_path / "crash", "crash"))
        fine = pool.submit(executor.run, task(tmp_path / "fine", "chatty"))
        assert (crashed.result(WAIT), fine.result(WAIT)) == (Ended(-signal.SIGKILL), Ended(0))


def test_every_job_has_fresh_random_numbers_its_own_modules_and_is_its_process_only_thread(shared, executor, tmp_path):
    ran = [executor.run(task(tmp_path / f"out{n}", "forked", {"n": n}, "at_fork")) for n in range(4)]
    values = [json.loads((tmp_path / f"out{n}/value.json").read_text()) for n in range(4)]
    assert (ran, [value[2:4] for value in values], len({value[0] for value in values})) == ([Ended(0)] * 4, [[True] * 2] * 4, 4)
    # A pool's two workers run job after job, keeping their modules' state (test_a_pool_worker_keeps_its_state_...);
    # every other executor gives each job a process of its own.
    own = shared[0] != "pool"
    assert (len({value[1] for value in values}) == 4, [value[4] for value in values] == [[n] for n in range(4)]) == (own, own)


def test_a_job_whose_folder_is_missing_fails_with_the_reason(shared, executor, tmp_path):
    # A Dask job runs in a folder of the worker's; what it left is written back into a folder made for it.
    assert executor.run(Task("jobs", "chatty", tmp_path / "missing", None)) == {
        "dask": Ended(0),
        "process": Ended(2, f"could not start the worker: [Errno 2] No such file or directory: '{tmp_path}/missing/worker.log'"),
    }.get(shared[0], Ended(2, "could not start the job: could not open worker.log: No such file or directory"))


# Asked to end with SIGTERM; killed when it will not.
@pytest.mark.parametrize("function, status", [("sleeper", -signal.SIGTERM), ("stubborn", -signal.SIGKILL)])
def test_a_timeout_ends_the_job_and_everything_it_started(executor, tmp_path, function, status):
    job = task(tmp_path / "slow", function, {"pid_file": str(tmp_path / "pids")}, timeout=1.5)
    assert executor.run(job) == Ended(status, "timed out after 1.5 s")
    assert "result.json" not in left(job.folder)
    all_ended(tmp_path / "pids")


def test_interrupt_stops_every_job_and_what_it_started(shared, tmp_path, monkeypatch):
    name, _, folder = shared
    monkeypatch.chdir(folder)
    executor = started(name, folder)
    pid_files = [tmp_path / f"pids{n}" for n in range(3)]
    try:
        with ThreadPoolExecutor(3) as pool:
            running = [pool.submit(executor.run, task(tmp_path / f"slow{n}", "sleeper", {"pid_file": str(path)}))
                       for n, path in enumerate(pid_files)]
            wait_until(lambda: sum(path.exists() for path in pid_files) >= 2, "two jobs did not start")
            executor.interrupt()
            endings = [future.result(WAIT) for future in running]
        after = executor.run(task(tmp_path / "after", "chatty"))
    finally:
        executor.close()
    # A Dask cluster started for two jobs holds the third back: it never starts. What started sent its output back.
    reasons = sorted(ended.reason for ended in endings)
    assert (reasons[:2], {ended.status for ended in endings}) == (["", ""], {-signal.SIGTERM})
    assert reasons[2] in ("", "interrupted before it started") and (name != "dask" or reasons[2])
    assert [left(tmp_path / f"slow{n}").keys() for n in range(3)] == [{"worker.log"} if not e.reason else set() for e in endings]
    assert after == Ended(-signal.SIGTERM, "interrupted before it started")
    all_ended(*(path for path in pid_files if path.exists()))


def test_a_job_that_kills_its_worker_fails_with_the_reason_and_the_next_runs(shared, executor, tmp_path):
    if shared[0] in ("process", "pool"):
        pytest.skip("the worker is the job's own process (its parent is the runner)")
    ended = executor.run(task(tmp_path / "killer", "kills_parent"))
    assert (ended.status, re.sub(r"tcp://[\d.:]+", "ADDRESS", ended.reason)) == {
        "fork": (-signal.SIGKILL, "the fork server was killed by SIGKILL"),
        "dask": (2, "the Dask worker running it was lost 2 times (the last one at ADDRESS); the scheduler gave up on it"),
    }[shared[0]]
    assert executor.run(task(tmp_path / "after", "chatty")) == Ended(0)


@pytest.mark.parametrize("name", ["process", "fork", "pool"])
def test_nothing_outlives_a_runner_that_was_killed(tmp_path, name):
    write_module(tmp_path, "jobs", JOBS)
    runner = (
        f"import json, pathlib\nfrom sorva._executors import Task, executor_class\n"
        f"executor = executor_class({name!r})()\nexecutor.start(['jobs'], 1)\nfolder = pathlib.Path('slow').resolve()\n"
        f"folder.mkdir()\nprint('started', flush=True)\nexecutor.run(Task('jobs', 'sleeper', folder, b'{{\"pid_file\": \"pids\"}}'))\n"
    )
    with Started([sys.executable, "-c", runner], stdout=subprocess.PIPE, cwd=tmp_path) as process:
        assert process.stdout.readline() == b"started\n"
        wait_until((tmp_path / "pids").exists, "the job did not start")
    all_ended(tmp_path / "pids")


KILLED = "import os, signal\nos.kill(os.getpid(), signal.SIGKILL)\n"


@pytest.mark.parametrize("name, source, interrupt, message", [
    ("fork", KILLED, False, "the fork server was killed by SIGKILL while importing the modules"),
    ("fork", "import time\ntime.sleep(60)\n", True, "interrupted while the fork server imported the modules"),
    ("pool", KILLED, False, "a pool worker was killed by SIGKILL while importing the modules"),
])
def test_a_start_that_cannot_import_the_modules_is_an_executor_error(tmp_path, monkeypatch, name, source, interrupt, message):
    write_module(tmp_path, "importing", source)
    monkeypatch.chdir(tmp_path)
    executor = executor_class(name)()
    stopper = threading.Timer(0.5, executor.interrupt if interrupt else lambda: None)
    stopper.start()
    with pytest.raises(ExecutorError) as raised:
        executor.start(["importing"], 2)
    stopper.join()
    executor.close()
    assert str(raised.value) == message


# A stop runs in the main thread's signal handler: it may come while that thread starts or closes the executor
# under its own lock, and must not wait for itself.
@pytest.mark.parametrize("name", ["process", "pool"])
def test_a_stop_while_the_main_thread_holds_the_executors_lock_returns(name):
    executor = executor_class(name)()
    stopping = threading.Thread(target=lambda: (executor._running.lock.acquire(), executor.interrupt()), daemon=True)
    stopping.start()
    stopping.join(10)
    assert not stopping.is_alive()


def test_the_fork_server_holds_only_what_jobs_need_and_is_replaced_with_its_children_when_they_die(tmp_path, monkeypatch,
                                                                                                   request):
    monkeypatch.chdir(write_modules(tmp_path, **MODULES))
    fork = started("fork", tmp_path, ["jobs"])  # on the jobs module alone
    request.addfinalizer(fork.close)
    # Each module the server holds makes every fork dearer; a job needs none of these.
    unneeded = ["argparse", "rich", "sqlite3", "typing", "threading", "traceback"]
    ended = fork.run(task(tmp_path / "out", "held", {"names": unneeded}))
    # The server needs ctypes, which on some interpreters brings threading along.
    brought = subprocess.run([sys.executable, "-c", f"import ctypes, json, sys; print(json.dumps(sorted(name for name in "
                              f"{unneeded!r} if name in sys.modules)))"], capture_output=True, text=True, timeout=WAIT, check=True)
    assert (ended, (tmp_path / "out/value.json").read_text()) == (Ended(0), brought.stdout.strip())
    # Every job of a dead server fails with the reason, and a new server takes over.
    with ThreadPoolExecutor(2) as pool:
        sleeping = pool.submit(fork.run, task(tmp_path / "slow", "sleeper", {"pid_file": str(tmp_path / "pids")}))
        wait_until((tmp_path / "pids").exists, "the job did not start")
        assert fork.run(task(tmp_path / "killer", "kills_parent")) == Ended(-signal.SIGKILL, "the fork server was killed by SIGKILL")
        assert sleeping.result(WAIT) == Ended(-signal.SIGKILL, "the fork server was killed by SIGKILL")
    all_ended(tmp_path / "pids")
    # A server that dies idle is replaced too, for the job that finds it dead.
    fork._server.process.kill()
    fork._server.process.wait()
    assert fork.run(task(tmp_path / "after", "chatty")) == Ended(0)
    server = fork._server.process.pid

    def waiting():
        with open(f"/proc/{server}/task/{server}/children", encoding="ascii") as children:
            return [int(pid) for pid in children.read().split()]

    # A child forked ahead that died is replaced: once the server has seen it end, it has another ready; a child
    # killed as it is handed its job fails that job, as any job's process killed at its start does.
    wait_until(lambda: len(waiting()) == 1, "no child was forked ahead")
    killed = waiting()[0]
    os.kill(killed, signal.SIGKILL)
    wait_until(lambda: waiting() not in ([], [killed]), "the dead child was not replaced")
    assert fork.run(task(tmp_path / "again", "chatty")) == Ended(0)
    wait_until(lambda: len(waiting()) == 1, "no child was forked ahead")
    spare = waiting()[0]
    fork.close()
    wait_until(lambda: not alive(spare), "a child outlived the server")


def test_a_module_that_starts_a_thread_at_import_runs_with_the_process_executor(tmp_path):
    write_module(tmp_path, "starts_thread", "import threading\nthreading.Thread(target=threading.Event().wait, daemon=True).start()\n")
    write_module(tmp_path, "threaded", "from sorva import asset\nimport starts_thread\n@asset()\ndef one(): return 1\n")
    done = run("sorva.run", "threaded", "--executor", "fork", cwd=tmp_path)
    assert (done.returncode, done.stderr) == (0, "python -m sorva.run: importing the modules left 2 threads running "
                                                 "and forking them is unsafe; this run uses the process executor\n")
    assert [entry["executor"] for entry in json.loads(run("sorva.runs", "--json", cwd=tmp_path).stdout)] == ["process"]


# One pool worker runs `counted` (which remembers the partitions it saw), the job twice, `counted` again. The worker
# ends what each job left running, prints a module's import output in each of its jobs' logs, and is replaced
# when it dies, overruns its time limit (ended with all it started) or has run its --pool-recycle jobs; only
# the job it was running fails.
@pytest.mark.parametrize("recycle, module, function, timeout, ended, seen", [
    (None, "jobs", "leaves", None, Ended(0), [1, 2]),
    (3, "jobs", "leaves", None, Ended(0), [2]),
    (None, "late", "late", None, Ended(0), [1, 2]),
    (None, "jobs", "crash", None, Ended(-9), [2]),
    (None, "jobs", "sleeper", 1.5, Ended(-15, "timed out after 1.5 s"), [2]),
])
def test_a_pool_worker_keeps_its_state_until_it_dies_times_out_or_is_recycled(tmp_path, monkeypatch, recycle, module,
                                                                              function, timeout, ended, seen):
    monkeypatch.chdir(write_modules(tmp_path, **MODULES))
    pids = {name: {"pid_file": str(tmp_path / name / "pids")} if function in ("leaves", "sleeper") else None
            for name in ("first", "second")}
    tasks = [task(tmp_path / "one", "counted", {"n": 1}), *(task(tmp_path / name, function, inputs, module, timeout)
             for name, inputs in pids.items()), task(tmp_path / "two", "counted", {"n": 2})]
    executor = executor_class("pool")(Settings(recycle=recycle))
    executor.start(["jobs"], 1)
    try:
        ran = [executor.run(job) for job in tasks]
        all_ended(*tmp_path.glob("*/pids"))
    finally:
        executor.close()
    logs = [(tmp_path / name / "worker.log").read_bytes() for name in ("first", "second")]
    assert (ran, logs[0] == logs[1], json.loads((tmp_path / "two/value.json").read_text())) == (
        [Ended(0), ended, ended, Ended(0)], True, seen)
