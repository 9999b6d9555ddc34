"""What every executor must do: leave what `python -m sorva.worker` leaves, keep a failure to its job, stop jobs
on a timeout or an interrupt with all they started, and report a lost worker. Dask runs on a real local cluster."""

import contextlib
import json
import re
import shutil
import signal
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

import pytest

from cli_support import REPO, WAIT, alive, job_files, run, squeezed, wait_until, write_module
from sorva._executors import Ended, Task, executor_class

JOBS = '''
import os, signal, sys, time
from sorva import asset, partitions
print("loading jobs")
print("warming up", file=sys.stderr)
SEEN = []
@asset(partitions={"n": partitions([1, 2])})
def counted(n):
    SEEN.append(n)
    return SEEN
@asset()
def chatty():
    print("to stdout"); print("to stderr \\u00e9", file=sys.stderr); return "\\u00e9t\\u00e9\\U0001f600"
@asset()
def broken(): raise ValueError('a "quoted"\\nmessage \\u00e9')
@asset()
def leaving(): raise SystemExit(3)
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
'''
MODULES = {"jobs": JOBS, "late": "from sorva import asset\nprint('late import')\n@asset()\ndef late(): return 1\n",
           "fails_to_import": "import sys\nprint('half way', file=sys.stderr)\nraise RuntimeError('not today')\n"}
# Tornado, under the distributed version Debian ships, warns about its own event loop handling.
pytestmark = pytest.mark.filterwarnings("ignore:make_current is deprecated:DeprecationWarning")


def started(name, folder):
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
        executor.start(["jobs", "fails_to_import"], 2)
    return executor


@pytest.fixture(scope="module", params=["process", "fork", "pool", "dask"])
def shared(request, tmp_path_factory):
    folder = tmp_path_factory.mktemp(request.param)
    for name, source in MODULES.items():
        write_module(folder, name, source)
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


def left(folder):
    return {path.name: path.read_bytes() for path in sorted(folder.iterdir())} if folder.exists() else {}


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
    if shared[0] == "pool":
        return  # a pool worker keeps its modules' state from job to job (test_pool.py)
    # No job sees what another changed in the modules it imported.
    assert [executor.run(task(tmp_path / f"out{n}", "counted", {"n": n})) for n in (1, 2)] == [Ended(0)] * 2
    assert [(tmp_path / f"out{n}/value.json").read_text() for n in (1, 2)] == ["[1]", "[2]"]


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
    with subprocess.Popen([sys.executable, "-c", runner], stdout=subprocess.PIPE, cwd=tmp_path) as process:
        try:
            assert process.stdout.readline() == b"started\n"
            wait_until((tmp_path / "pids").exists, "the job did not start")
        finally:
            process.kill()
    all_ended(tmp_path / "pids")


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
def unencodable(): return {1}
@asset(serializer="pickle")
def pickled(): return {1: b"x"}
@asset(inputs={"value": pickled})
def unpickled(value): return sorted(value)
'''


@pytest.mark.parametrize("name", ["fork", "pool", "dask"])
@pytest.mark.parametrize("folder, module, status", [(REPO / "examples", "pipeline", 0), (None, "failing", 1)])
def test_a_run_leaves_and_reports_what_a_process_run_does(tmp_path, name, folder, module, status):
    if name == "dask":
        pytest.importorskip("distributed", reason="the Dask executor needs 'distributed' (python3-distributed)")
    if folder is None:
        folder = tmp_path
        write_module(folder, module, FAILING)
    seen = []
    for executor in ("process", name):
        out = tmp_path / executor
        done = run("sorva.run", module, "--out", str(out), "--jobs", "1", "--executor", executor, cwd=folder)
        seen.append((done.returncode, done.stderr, squeezed(done.stdout).replace(str(out), "OUT"), job_files(out)))
    assert seen[0] == seen[1]
    assert seen[0][0] == status
