"""The Dask executor against a real scheduler and workers on 127.0.0.1: the files a job leaves match the local worker's.

The example pipeline's jobs are compared through the runner, job folder by job folder, in the end-to-end test.
"""

from __future__ import annotations

import contextlib
import json
import os
import re
import shutil
import signal
import socket
import sqlite3
import subprocess
import sys
import threading
from collections.abc import Iterator
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from pathlib import Path

import pytest

from cli_support import (
    REPO, SLOW_PIPELINE, STOPPED, WAIT, alive, job_files, run, squeezed, start, untimed, wait_for, wait_until,
    write_module,
)

distributed = pytest.importorskip("distributed", reason="the Dask executor needs 'distributed' (python3-distributed)")
import dask  # noqa: E402 - installed with distributed

from sorva._dask import DaskExecutor  # noqa: E402 - only with distributed installed
from sorva._executor import Ended, ExecutorError, Task  # noqa: E402

# Tornado, under the distributed version Debian ships, warns about its own event loop handling.
pytestmark = pytest.mark.filterwarnings("ignore:make_current is deprecated:DeprecationWarning")

EDGE = '''
import os, sys, time
from sorva import asset, partitions
@asset()
def noisy():
    print("to stdout", flush=True)
    print("to stderr \\u00e9", file=sys.stderr, flush=True)
    return "\\u00e9\\U0001f600"
@asset()
def fails():
    raise ValueError('a "quoted"\\nmessage \\u00e9')
@asset()
def crashes():
    print("going down", flush=True)
    os.kill(os.getpid(), 9)
@asset()
def big(text):
    return text[::-1]
@asset()
def sleeps(seconds, pids):
    with open(os.path.join(pids, str(os.getpid())), "w"):
        pass
    time.sleep(seconds)
    return seconds
@asset(partitions={"n": partitions(list(range(24)))})
def slow(n, pids):
    with open(os.path.join(pids, str(os.getpid())), "w"):
        pass
    time.sleep(0.4)
    return n * n
@asset()
def kills_its_worker():
    os.kill(os.getppid(), 9)
'''


@dataclass
class Cluster:
    """A scheduler and its workers as separate processes; the workers run in `code`."""

    address: str
    code: Path
    logs: Path
    client: distributed.Client | None = None
    processes: list[subprocess.Popen[bytes]] = field(default_factory=list)

    def spawn(self, name: str, *args: str) -> subprocess.Popen[bytes]:
        with open(self.logs / f"{name}.log", "wb") as log:
            process = subprocess.Popen(
                [sys.executable, "-m", *args], cwd=self.code, stdout=log, stderr=subprocess.STDOUT,
                stdin=subprocess.DEVNULL,
            )
        self.processes.append(process)
        return process

    def add_worker(self, name: str) -> subprocess.Popen[bytes]:
        process = self.spawn(
            name, "distributed.cli.dask_worker", self.address, "--name", name, "--nthreads", "2", "--no-nanny",
            "--no-dashboard", "--host", "127.0.0.1",
        )
        assert self.client is not None
        wait_until(lambda: name in {info["name"] for info in self.client.scheduler_info()["workers"].values()}
                   or process.poll() is not None, f"worker {name} did not join")
        assert process.poll() is None, (self.logs / f"{name}.log").read_text()
        return process

    def worker_address(self, name: str) -> str:
        assert self.client is not None
        return next(a for a, info in self.client.scheduler_info()["workers"].items() if info["name"] == name)

    def stop(self) -> None:
        if self.client is not None:
            self.client.close(timeout=10)
        for process in reversed(self.processes):
            process.terminate()
        for process in reversed(self.processes):
            try:
                process.wait(timeout=15)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait(timeout=15)


def start_scheduler(folder: Path) -> tuple[Cluster, subprocess.Popen[bytes]]:
    code, logs = folder / "code", folder / "logs"
    code.mkdir()
    logs.mkdir()
    address_file = folder / "scheduler.json"
    cluster = Cluster("", code, logs)
    scheduler = cluster.spawn(
        "scheduler", "distributed.cli.dask_scheduler", "--host", "127.0.0.1", "--port", "0", "--no-dashboard",
        "--scheduler-file", str(address_file),
    )
    try:
        wait_until(lambda: address_file.exists() and address_file.read_text() or scheduler.poll() is not None,
                   "the scheduler did not start")
        assert scheduler.poll() is None, (logs / "scheduler.log").read_text()
    except AssertionError:
        cluster.stop()
        raise
    cluster.address = json.loads(address_file.read_text())["address"]
    cluster.client = distributed.Client(cluster.address, timeout=WAIT, set_as_default=False)
    return cluster, scheduler


@pytest.fixture(scope="session")
def cluster(tmp_path_factory: pytest.TempPathFactory) -> Iterator[Cluster]:
    """`dask scheduler` and two `dask worker` processes, shared by the tests of this file."""
    cluster, _ = start_scheduler(tmp_path_factory.mktemp("dask"))
    try:
        shutil.copy(REPO / "examples" / "pipeline.py", cluster.code)
        write_module(cluster.code, "edge", EDGE)
        for name in ("first", "second"):
            cluster.add_worker(name)
        yield cluster
    finally:
        cluster.stop()


@pytest.fixture(scope="session")
def remote(cluster: Cluster) -> Iterator[DaskExecutor]:
    """An executor connected to the shared cluster."""
    executor = DaskExecutor(cluster.address)
    executor.start(["pipeline", "edge"], 4)
    yield executor
    executor.close()


def local_run(code: Path, module: str, function: str, folder: Path, inputs: bytes | None) -> tuple[int, dict[str, bytes]]:
    """What `python -m sorva.worker` leaves in the folder, and its output as worker.log."""
    command = [sys.executable, "-m", "sorva.worker", module, function, str(folder)]
    done = subprocess.run(
        command + (["--inputs-file", "-"] if inputs is not None else []), cwd=code, input=inputs,
        stdin=subprocess.DEVNULL if inputs is None else None, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
        timeout=WAIT, check=False,
    )
    return done.returncode, {**files(folder), "worker.log": done.stdout}


def files(folder: Path) -> dict[str, bytes]:
    return {path.name: path.read_bytes() for path in folder.iterdir()} if folder.exists() else {}


def run_bounded(executor: DaskExecutor, task: Task) -> Ended:
    """`executor.run(task)`, failing the test instead of waiting past WAIT seconds."""
    ended: list[Ended] = []
    waiter = threading.Thread(target=lambda: ended.append(executor.run(task)), daemon=True)
    waiter.start()
    waiter.join(WAIT)
    assert ended, f"{task.function} did not end within {WAIT} s"
    return ended[0]


def remote_run(executor: DaskExecutor, module: str, function: str, folder: Path, inputs: bytes | None) -> tuple[Ended, dict[str, bytes]]:
    folder.mkdir(parents=True, exist_ok=True)
    return run_bounded(executor, Task(module, function, folder, inputs)), files(folder)


def both(cluster: Cluster, executor: DaskExecutor, module: str, function: str, folder: Path, inputs: bytes | None):
    """The local worker's run and then the executor's, in the same folder (records name it)."""
    local = local_run(cluster.code, module, function, folder, inputs)
    shutil.rmtree(folder, ignore_errors=True)
    ended, left = remote_run(executor, module, function, folder, inputs)
    return local, ((ended.status, left), ended.reason)


def encoded(kwargs: dict[str, object]) -> bytes:
    return json.dumps(kwargs).encode("ascii")


ALL = ["input_files.json", "result.json", "value.json", "worker.log"]


@pytest.mark.parametrize(
    "module, function, inputs, folder, status, left",
    [
        ("edge", "noisy", None, "job", 0, ALL),
        ("edge", "fails", None, "job", 1, ["input_files.json", "result.json", "worker.log"]),
        ("edge", "big", encoded({"text": "ab\u00e9" * 1_000_000}), "job", 0, ALL),
        # The record names the folder; every character the record writer escapes is in this one.
        ("pipeline", "prices", None, 'a "b" \\c\nd\te\x1bf \u00e9 \U0001f600', 0, ALL),
        # Killed: no record, but the output up to the end; the Dask worker lives on for the next jobs.
        ("edge", "crashes", None, "job", -signal.SIGKILL, ["worker.log"]),
    ],
    ids=["output", "failure", "large", "escaped folder", "crash"],
)
def test_jobs_leave_what_the_local_worker_leaves(cluster, remote, tmp_path, module, function, inputs, folder, status, left):
    local, (dask, reason) = both(cluster, remote, module, function, tmp_path / folder, inputs)
    assert (dask, reason) == (local, "")
    assert (local[0], sorted(local[1])) == (status, left)
    assert status >= 0 or local[1]["worker.log"] == b"going down\n"


def test_a_folder_that_is_not_utf8_is_refused_like_the_local_worker_does(cluster, remote, tmp_path):
    folder = tmp_path / "bad\udcff"
    local_status, left = local_run(cluster.code, "pipeline", "prices", folder, None)
    ended, dask_left = remote_run(remote, "pipeline", "prices", folder, None)
    assert (local_status, set(left), ended, dask_left) == (2, {"worker.log"}, Ended(2, "the job folder's path is not UTF-8 text"), {})


def test_files_that_cannot_be_written_into_the_folder_fail_the_job_with_the_reason(remote, tmp_path):
    (tmp_path / "job" / "value.json").mkdir(parents=True)
    ended = run_bounded(remote, Task("pipeline", "prices", tmp_path / "job", None))
    assert (ended.status, ended.reason.split(": ")[:2]) == (
        2, ["could not write what the job left into its folder", "[Errno 21] Is a directory"]
    )
    # The output was written first; no partial file is left.
    assert sorted(path.name for path in (tmp_path / "job").iterdir()) == ["value.json", "worker.log"]


def running(pids: Path) -> list[int]:
    """The job processes, named by the files they left, that still run."""
    return [int(path.name) for path in pids.iterdir() if alive(int(path.name))]


def test_a_job_past_its_timeout_is_stopped(remote, tmp_path):
    pids = tmp_path / "pids"
    pids.mkdir()
    task = Task("edge", "sleeps", tmp_path / "job", encoded({"seconds": 300, "pids": str(pids)}), timeout=1)
    task.folder.mkdir()
    assert run_bounded(remote, task) == Ended(-signal.SIGTERM, "timed out after 1 s")
    assert not (task.folder / "result.json").exists()
    wait_until(lambda: not running(pids), "the timed-out job still runs")


def test_interrupt_cancels_running_and_pending_jobs_on_the_cluster(cluster, tmp_path):
    executor = DaskExecutor(cluster.address)
    executor.start(["edge"], 8)
    pids = tmp_path / "pids"
    pids.mkdir()
    tasks = [Task("edge", "sleeps", tmp_path / str(n), encoded({"seconds": 300, "pids": str(pids)})) for n in range(8)]
    for task in tasks:
        task.folder.mkdir()
    try:
        with ThreadPoolExecutor(len(tasks)) as pool:
            runs = [pool.submit(executor.run, task) for task in tasks]
            # Two workers of two threads: four run, four wait.
            wait_until(lambda: len(list(pids.iterdir())) == 4, "four jobs did not start")
            executor.interrupt()
            endings = [run.result(timeout=WAIT) for run in runs]
    finally:
        executor.close()
    # The running jobs were stopped as local ones are and sent back their output; the others never started.
    assert sorted(endings, key=lambda ended: ended.reason) == (
        [Ended(-signal.SIGTERM)] * 4 + [Ended(-signal.SIGTERM, "interrupted before it started")] * 4
    )
    assert sorted(tuple(files(task.folder)) for task in tasks) == [()] * 4 + [("worker.log",)] * 4
    wait_until(lambda: not running(pids), "a cancelled job still runs")
    assert len(list(pids.iterdir())) == 4


def test_a_worker_killed_mid_run_loses_nothing(cluster, remote, tmp_path):
    worker = cluster.add_worker("doomed")
    address = cluster.worker_address("doomed")
    pids = tmp_path / "pids"
    pids.mkdir()
    tasks = [Task("edge", "slow", tmp_path / str(n), encoded({"n": n, "pids": str(pids)})) for n in range(24)]
    for task in tasks:
        task.folder.mkdir()
    assert cluster.client is not None
    with ThreadPoolExecutor(6) as pool:
        runs = [pool.submit(remote.run, task) for task in tasks]
        wait_until(lambda: cluster.client.processing(workers=[address])[address], "the doomed worker got no job")
        worker.kill()
        endings = [run.result(timeout=WAIT) for run in runs]
    assert endings == [Ended(0)] * len(tasks)
    assert [(task.folder / "value.json").read_text() for task in tasks] == [str(n * n) for n in range(24)]
    # The killed worker's jobs died with it.
    wait_until(lambda: not running(pids), "a job of the killed worker still runs")


def test_a_job_that_keeps_killing_its_worker_fails_with_the_reason(tmp_path, monkeypatch):
    write_module(tmp_path, "edge", EDGE)
    monkeypatch.chdir(tmp_path)  # the local cluster's workers run in the runner's folder
    executor = DaskExecutor()
    with dask.config.set({"distributed.scheduler.allowed-failures": 1}):
        executor.start(["edge"], 2)
    try:
        (tmp_path / "job").mkdir()
        ended = run_bounded(executor, Task("edge", "kills_its_worker", tmp_path / "job", None))
    finally:
        executor.close()
    assert ended.status == 2
    assert re.fullmatch(
        r"the Dask worker running it was lost 2 times \(the last one at tcp://127\.0\.0\.1:\d+\); "
        r"the scheduler gave up on it",
        ended.reason,
    )


def test_a_scheduler_without_workers_is_refused(tmp_path, monkeypatch):
    monkeypatch.setattr("sorva._dask.CONNECT_TIMEOUT", 1.0)
    cluster, _ = start_scheduler(tmp_path)
    try:
        with pytest.raises(ExecutorError) as raised:
            DaskExecutor(cluster.address).start(["edge"], 1)
    finally:
        cluster.stop()
    assert str(raised.value) == f"the Dask scheduler at {cluster.address} has no workers (none joined within 1 s)"


def test_the_example_pipeline_through_the_cluster_leaves_what_a_local_run_leaves(cluster, tmp_path):
    out = tmp_path / "out"
    local = run("sorva.run", "pipeline", "--out", str(out), cwd=cluster.code)
    local_files = job_files(out)
    dask = run("sorva.run", "pipeline", "--out", str(out), "--force", "--executor", "dask", "--scheduler",
               cluster.address, cwd=cluster.code)
    assert (dask.returncode, dask.stderr, untimed(dask.stdout).splitlines()[-1]) == (
        0, "", f"8 jobs in X.XXs: 8 succeeded, 0 fresh, 0 failed, 0 skipped; outputs in {out}; report in {out}/report.html"
    )
    assert (local.returncode, job_files(out)) == (0, local_files)
    assert len(local_files) == 8 * 2
    # Nothing listens at this address: an unchanged rerun never contacts a scheduler, as it starts no cluster.
    again = run("sorva.run", "pipeline", "--out", str(out), "--executor", "dask", "--scheduler",
                f"tcp://127.0.0.1:{free_port()}", cwd=cluster.code)
    assert (again.returncode, again.stderr, untimed(again.stdout).splitlines()[-1]) == (
        0, "", f"8 jobs in X.XXs: 0 succeeded, 8 fresh, 0 failed, 0 skipped; outputs in {out}; report in {out}/report.html"
    )


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


# An executor that cannot start ends the run it was started for as failed; a wrong command line records no run.
@pytest.mark.parametrize(
    "options, message, runs",
    [
        (["--executor", "dask", "--scheduler", "tcp://127.0.0.1:{port}"],
         "no Dask scheduler at tcp://127.0.0.1:{port}: Connection refused", [("failed", "dask")]),
        (["--executor", "dask", "--scheduler", "tcp://127.0.0.1"],
         "argument --scheduler: 'tcp://127.0.0.1' is not a scheduler address (tcp://HOST:PORT)", [("failed", "dask")]),
        (["--executor", "dask", "--scheduler", "127.0.0.1:port"],
         "argument --scheduler: '127.0.0.1:port' is not a scheduler address (tcp://HOST:PORT)", [("failed", "dask")]),
        (["--scheduler", "tcp://127.0.0.1:{port}"], "argument --scheduler: only with --executor dask", None),
    ],
)
def test_no_scheduler_at_the_address_is_one_line_and_nothing_runs(tmp_path, options, message, runs):
    write_module(tmp_path, "edge", EDGE)
    port = free_port()
    done = run("sorva.run", "edge", *(option.format(port=port) for option in options), cwd=tmp_path)
    assert (done.returncode, done.stdout, done.stderr) == (2, "", f"python -m sorva.run: error: {message.format(port=port)}\n")
    assert not list((tmp_path / "sorva-out").rglob("result.json"))
    history = tmp_path / "sorva-out/sorva.db"
    if runs is None:
        assert not history.exists()
    else:
        with contextlib.closing(sqlite3.connect(history)) as db:
            assert db.execute("SELECT outcome, executor FROM runs").fetchall() == runs


def test_without_distributed_the_runner_says_what_to_install(tmp_path):
    # An interpreter where `import distributed` finds nothing.
    shadow = tmp_path / "shadow" / "distributed"
    shadow.mkdir(parents=True)
    (shadow / "__init__.py").write_text("raise ModuleNotFoundError(\"No module named 'distributed'\", name='distributed')\n")
    write_module(tmp_path, "edge", EDGE)
    path = os.pathsep.join([str(shadow.parent), os.environ.get("PYTHONPATH", "")])
    done = run("sorva.run", "edge", "--executor", "dask", cwd=tmp_path, env={"PYTHONPATH": path})
    assert (done.returncode, done.stdout, done.stderr) == (2, "", (
        "python -m sorva.run: error: the dask executor needs the 'distributed' package: "
        "install python3-distributed (Debian) or pip install 'sorva[dask]'\n"
    ))


# A terminal's Ctrl-C reaches the whole foreground process group, the local cluster's workers included.
@pytest.mark.parametrize("signum, to_group, status", [(signal.SIGINT, True, 130), (signal.SIGTERM, False, 143)])
def test_a_stopped_run_on_a_local_cluster_stops_everything(tmp_path, signum, to_group, status):
    write_module(tmp_path, "sleepy", SLOW_PIPELINE)
    runner = start("sorva.run", "sleepy", "--jobs", "1", "--executor", "dask", cwd=tmp_path)
    try:
        pids = [int(pid) for pid in wait_for(tmp_path / "pids").split()]
        (os.killpg if to_group else os.kill)(runner.pid, signum)
        stdout, stderr = runner.communicate(timeout=WAIT)
    finally:
        runner.kill()
    assert (runner.returncode, squeezed(stdout), stderr) == (status, STOPPED.format(name=signal.Signals(signum).name), "")
    wait_until(lambda: not [pid for pid in pids if alive(pid)], "a job runs on")
    wait_until(lambda: not group_alive(runner.pid), "a worker of the local cluster runs on")


def group_alive(group: int) -> bool:
    try:
        os.killpg(group, 0)
    except ProcessLookupError:
        return False
    return True
